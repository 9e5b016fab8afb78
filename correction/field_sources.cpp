// Field sources: units of direct field maps, the scale of phase images, and the phase difference of two echoes.
#include "correction/field_sources.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace warpmender {
namespace correction {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadianSlack = 1e-3;

std::string number(double v) {
    std::ostringstream s;
    s.precision(6);
    s << v;
    return s.str();
}

}  // namespace

double hertz_per_unit(const std::optional<std::string>& units, const std::string& source) {
    if (!units)
        throw std::invalid_argument("field map \"" + source +
                                    "\": its sidecar gives no \"Units\"; the field's unit must be \"Hz\" or \"rad/s\"");
    if (*units == "Hz") return 1.0;
    if (*units == "rad/s") return 1.0 / (2.0 * kPi);
    throw std::invalid_argument("field map \"" + source + "\": unit \"" + *units +
                                "\" is not supported; the field's unit must be \"Hz\" or \"rad/s\"");
}

void field_to_hertz(double* field, std::size_t n, const std::optional<std::string>& units, const std::string& source) {
    const double f = hertz_per_unit(units, source);
    if (f == 1.0) return;
    for (std::size_t i = 0; i < n; ++i) field[i] *= f;
}

PhaseScale detect_phase_scale(const double* phase, std::size_t n, const std::string& source) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(phase[i])) {
            if (phase[i] < lo) lo = phase[i];
            if (phase[i] > hi) hi = phase[i];
        }
    if (!(lo <= hi)) throw std::invalid_argument("phase image \"" + source + "\" holds no finite value");
    if (lo >= -kPi - kRadianSlack && hi <= 2.0 * kPi + kRadianSlack) return PhaseScale::kRadians;
    if (lo >= -4096.0 && hi <= 4096.0) return lo < 0.0 ? PhaseScale::kSigned4096 : PhaseScale::kUnsigned4096;
    throw std::invalid_argument("phase image \"" + source + "\" ranges over " + number(lo) + " .. " + number(hi) +
                                ", which is neither radians (-pi..pi or 0..2pi) nor the scanner's integer scale "
                                "(-4096..4095 or 0..4095)");
}

double radians_per_unit(PhaseScale scale) {
    switch (scale) {
        case PhaseScale::kRadians: return 1.0;
        case PhaseScale::kSigned4096: return kPi / 4096.0;
        case PhaseScale::kUnsigned4096: return 2.0 * kPi / 4096.0;
    }
    return 1.0;
}

void phase_difference(const double* phase1, const double* phase2, const double* magnitude1, const double* magnitude2,
                      std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const double m1 = magnitude1 ? magnitude1[i] : 1.0;
        const double m2 = magnitude2 ? magnitude2[i] : 1.0;
        if (!(m1 > 0.0) || !(m2 > 0.0)) {
            out[i] = 0.0;
            continue;
        }
        // z2 * conj(z1) = m1 m2 (cos(phi2 - phi1) + i sin(phi2 - phi1)), formed
        // from the components so that no large difference is ever wrapped by hand.
        const double re1 = m1 * std::cos(phase1[i]), im1 = m1 * std::sin(phase1[i]);
        const double re2 = m2 * std::cos(phase2[i]), im2 = m2 * std::sin(phase2[i]);
        out[i] = std::atan2(im2 * re1 - re2 * im1, re2 * re1 + im2 * im1);
    }
}

double echo_time_difference_ms(double echo_time1_s, double echo_time2_s, const std::string& source1,
                               const std::string& source2) {
    const std::string both = "echo times of \"" + source1 + "\" (" + number(echo_time1_s) + " s) and \"" + source2 +
                             "\" (" + number(echo_time2_s) + " s)";
    if (!std::isfinite(echo_time1_s) || !std::isfinite(echo_time2_s) || !(echo_time1_s > 0.0) || !(echo_time2_s > 0.0))
        throw std::invalid_argument(both + ": each must be a positive number of seconds (\"EchoTime\" in the sidecar)");
    const double diff_ms = (echo_time2_s - echo_time1_s) * 1000.0;
    if (diff_ms < 0.1)
        throw std::invalid_argument(both + ": the second echo must come at least 0.1 ms after the first (difference " +
                                    number(diff_ms) + " ms); give phase1 the earlier echo");
    return diff_ms;
}

}  // namespace correction
}  // namespace warpmender
