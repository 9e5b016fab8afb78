// Phase scaling: to radians, to cycles, and magnitude/phase from a real/imaginary pair.
#pragma once

#include <string>

#include "core/datahandler.h"
#include "fieldmap/phase_to_shift.h"

namespace warpmender {

void data2radians(datahandler<double>* phase);
void data2radians(datahandler<double>* phase, int method);
void float2radians(datahandler<float>* phase);
void data2hertz(datahandler<double>* phase);
double msec2sec(double ms);
double sec2msec(double s);
bool convertcomplexnotation(int target, const std::string& realFile, const std::string& imagFile);
const char* getconversionname(int code);
bool getdatafromfile(const std::string& path, int kind, datahandler<double>* out, const char* prompt);

}  // namespace warpmender
