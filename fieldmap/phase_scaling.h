// Phase scaling: to radians, to cycles, and magnitude/phase from a real/imaginary pair.
#pragma once

#include <string>

#include "core/datahandler.h"

namespace warpmender {

// pi and 2 pi to 15 significant digits, as every stored phase map was scaled.
constexpr double kPi15 = 3.14159265358979;
constexpr double kTwoPi15 = 6.28318530717958;

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
