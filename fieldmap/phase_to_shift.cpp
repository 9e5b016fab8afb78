// From phase to pixel shift, per voxel.
#include "fieldmap/phase_to_shift.h"

#include <cmath>
#include <cstdint>

namespace warpmender {

double truncate_int32(double v) {
    if (!(v == v)) return 0.0;
    if (v >= 2147483647.0) return 2147483647.0;
    if (v <= -2147483648.0) return -2147483648.0;
    return static_cast<double>(static_cast<int32_t>(v));
}

void polar_from_rectangular(const double* re, const double* im, long n, double* magnitude, double* phase) {
    for (long i = 0; i < n; ++i) {
        magnitude[i] = truncate_int32(std::hypot(re[i], im[i]));
        phase[i] = truncate_int32(std::atan2(im[i], re[i]));
    }
}

void radians_to_cycles(double* v, long n) {
    for (long i = 0; i < n; ++i) v[i] = v[i] / kTwoPi15;
}

void field_from_phase(const double* phase, long n, double echo_time_diff_s, double* field) {
    const double factor = 1.0 / echo_time_diff_s;
    for (long i = 0; i < n; ++i) field[i] = phase[i] * factor;
}

void shift_from_field(const double* field, long n, double bandwidth_hz, bool two_pi, double* shift) {
    const double divisor = two_pi ? kTwoPi15 * bandwidth_hz : bandwidth_hz;
    for (long i = 0; i < n; ++i) shift[i] = field[i] / divisor;
}

}  // namespace warpmender
