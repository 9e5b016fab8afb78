// Phase scaling: to radians, to cycles, and magnitude/phase from a real/imaginary pair.
#pragma once

#include <string>

#include "core/datahandler.h"
#include "fieldmap/phase_to_shift.h"

namespace warpmender {

void data2radians(datahandler<double>* phase);
void data2hertz(datahandler<double>* phase);
bool convertcomplexnotation(int target, const std::string& realFile, const std::string& imagFile);
bool getdatafromfile(const std::string& path, int kind, datahandler<double>* out, const char* prompt);

}  // namespace warpmender
