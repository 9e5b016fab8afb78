// The field-map scan: wrapped, stored phase difference and magnitude.
#include "sim/fieldmap_scan.h"

#include <cmath>
#include <string>

#include "core/error.h"

namespace warpmender {
namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kStoredSpan = static_cast<double>(kPhaseStoredMax) - static_cast<double>(kPhaseStoredMin);  // 8191

}  // namespace

std::uint64_t Random::next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Random::uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

double Random::normal() {
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    const double u = 1.0 - uniform();  // (0, 1]: log stays finite
    const double v = uniform();
    const double r = std::sqrt(-2.0 * std::log(u));
    spare_ = r * std::sin(kTwoPi * v);
    has_spare_ = true;
    return r * std::cos(kTwoPi * v);
}

double wrap_phase(double radians) {
    double w = radians - kTwoPi * std::ceil((radians - kPi) / kTwoPi);
    // The subtraction can land a rounding step outside the interval.
    if (w <= -kPi) w += kTwoPi;
    if (w > kPi) w -= kTwoPi;
    return w;
}

double phase_to_stored(double wrapped_radians) {
    return static_cast<double>(kPhaseStoredMin) + (wrapped_radians + kPi) * (kStoredSpan / kTwoPi);
}

double stored_to_radians(double stored) {
    return -kPi + (stored - static_cast<double>(kPhaseStoredMin)) * (kTwoPi / kStoredSpan);
}

FieldmapScan scan_fieldmap(const Grid& g, const std::vector<double>& field_hz,
                           const std::vector<float>& magnitude_contrast, const FieldmapScanParams& params) {
    check_grid(g, "field-map scan");
    const std::size_t n = g.voxels();
    if (field_hz.size() != n || magnitude_contrast.size() != n)
        throw Error("field-map scan: field of " + std::to_string(field_hz.size()) + " and magnitude of " +
                    std::to_string(magnitude_contrast.size()) + " voxels for a grid of " + std::to_string(n));
    if (!(params.echo_time_diff_ms > 0.0) || !std::isfinite(params.echo_time_diff_ms))
        throw Error("field-map scan: echo-time difference " + std::to_string(params.echo_time_diff_ms) +
                    " ms must be positive");
    if (!(params.magnitude_noise >= 0.0) || !std::isfinite(params.magnitude_noise))
        throw Error("field-map scan: magnitude noise " + std::to_string(params.magnitude_noise) + " must be 0 or more");

    FieldmapScan scan;
    scan.phase.resize(n);
    scan.magnitude.resize(n);
    Random rng(params.seed);
    const double dte = params.echo_time_diff_ms * 1e-3;
    std::size_t first_air = n, last_air = n;
    for (std::size_t i = 0; i < n; ++i) {
        const bool air = magnitude_contrast[i] <= 0.0f;
        double stored;
        if (air && params.noisy_phase_in_air) {
            stored = kPhaseStoredMin + rng.uniform() * (kStoredSpan + 1.0);  // uniform over the stored range
            stored = std::fmin(stored, static_cast<double>(kPhaseStoredMax));
        } else {
            stored = phase_to_stored(wrap_phase(kTwoPi * field_hz[i] * dte));
        }
        if (params.quantise_phase) stored = std::floor(stored + 0.5);
        scan.phase[i] = static_cast<float>(stored);

        if (air) {
            scan.magnitude[i] = 0.0f;
            if (first_air == n) first_air = i;
            last_air = i;
        } else {
            double m = magnitude_contrast[i];
            if (params.magnitude_noise > 0.0) m = std::fabs(m + params.magnitude_noise * rng.normal());
            scan.magnitude[i] = static_cast<float>(m);
        }
    }
    if (first_air < n) scan.phase[first_air] = kPhaseStoredMin;
    if (last_air < n && last_air != first_air) scan.phase[last_air] = kPhaseStoredMax;
    return scan;
}

}  // namespace sim
}  // namespace warpmender
