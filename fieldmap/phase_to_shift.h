// From phase to pixel shift: the per-voxel arithmetic of the scaling, field and shift steps.
#pragma once

namespace warpmender {

// pi and 2 pi to 15 significant digits, as every stored phase map was scaled.
constexpr double kPi15 = 3.14159265358979;
constexpr double kTwoPi15 = 6.28318530717958;

// Truncation toward zero to a signed 32-bit integer; beyond the range it
// saturates, NaN gives 0 (instead of the undefined conversion).
double truncate_int32(double v);

// Whole-number magnitude and phase (-3..3 radians) of n real/imaginary pairs.
void polar_from_rectangular(const double* re, const double* im, long n, double* magnitude, double* phase);

// Radians to cycles in place: v / 2 pi.
void radians_to_cycles(double* v, long n);

// Field (Hz) of n phase values (cycles) measured over echo_time_diff_s seconds.
void field_from_phase(const double* phase, long n, double echo_time_diff_s, double* field);

// Shift (voxels) of n field values (Hz) at bandwidth_hz per voxel; two_pi
// also divides by 2 pi, 2 pi times the bandwidth formed first.
void shift_from_field(const double* field, long n, double bandwidth_hz, bool two_pi, double* shift);

}  // namespace warpmender
