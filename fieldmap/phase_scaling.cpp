// Phase scaling and the polar conversion (being written).
#include "fieldmap/phase_scaling.h"

namespace warpmender {
void data2radians(datahandler<double>*) {}
void data2radians(datahandler<double>*, int) {}
void float2radians(datahandler<float>*) {}
void data2hertz(datahandler<double>*) {}
double msec2sec(double ms) { return ms * 0.001; }
double sec2msec(double s) { return s * 1000.0; }
bool convertcomplexnotation(int, const std::string&, const std::string&) { return false; }
const char* getconversionname(int) { return "Conversion"; }
bool getdatafromfile(const std::string&, int, datahandler<double>*, const char*) { return false; }
}  // namespace warpmender
