// What a two-echo gradient-echo field-map scan delivers: a wrapped phase-difference image and a magnitude image.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/grid.h"

namespace warpmender {
namespace sim {

// The phase difference is stored the way scanners store it: whole numbers
// from kPhaseStoredMin to kPhaseStoredMax standing linearly for -pi..pi.
// scan_fieldmap makes sure both extremes occur in every image (see there),
// so the plug-in's scaling to radians, which maps min(0, smallest) to -pi
// and max(0, largest) to +pi, recovers radians with no scaling parameter.
constexpr float kPhaseStoredMin = -4096.0f;
constexpr float kPhaseStoredMax = 4095.0f;

struct FieldmapScanParams {
    double echo_time_diff_ms = 2.46;  // TE2 - TE1 of the two echoes (4.92 and 7.38 ms at 3 T)
    double echo_time1_ms = 4.92;      // the magnitude image's echo, for its dephasing (make_dataset)
    // Standard deviation of Gaussian noise added to the magnitude inside the
    // head; air stays exactly 0, so the plug-in's mask (magnitude > 200)
    // excludes it.
    double magnitude_noise = 0.0;
    // Round the stored phase to whole numbers, as a scanner does (an error of
    // at most pi/8191 rad, 0.025 Hz at 2.46 ms); false keeps the exact value.
    bool quantise_phase = true;
    // Where there is no signal (magnitude 0) a scanner's phase is noise;
    // false stores the true wrapped phase of the field there as well.
    bool noisy_phase_in_air = true;
    std::uint64_t seed = 20240607;
};

struct FieldmapScan {
    std::vector<float> phase;      // stored units, kPhaseStoredMin..kPhaseStoredMax
    std::vector<float> magnitude;  // 0 in air, up to 3700 in tissue
};

// Wraps radians into (-pi, pi].
double wrap_phase(double radians);

// wrapped radians (-pi..pi) -> stored units, unrounded: -pi -> -4096, pi -> 4095.
double phase_to_stored(double wrapped_radians);
// The exact inverse: the linear map of -4096..4095 onto -pi..pi.
double stored_to_radians(double stored);

// The scan of a field offset (Hz): phase difference 2 pi f dTE, wrapped into
// (-pi, pi] and stored; magnitude_contrast (the phantom's) plus noise. The
// first voxel with magnitude 0 holds kPhaseStoredMin and the last such voxel
// kPhaseStoredMax: outside the head, where the mask ignores them, they pin the
// image's range to the exact extremes. Throws warpmender::Error for
// mismatched sizes or a non-positive echo-time difference.
FieldmapScan scan_fieldmap(const Grid& grid, const std::vector<double>& field_hz,
                           const std::vector<float>& magnitude_contrast,
                           const FieldmapScanParams& params = FieldmapScanParams{});

// Small deterministic random numbers, the same on every platform (the
// standard library's distributions are not).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();  // splitmix64
    double uniform();      // [0, 1)
    double normal();       // standard normal (Box-Muller)

private:
    std::uint64_t state_;
    bool has_spare_ = false;
    double spare_ = 0.0;
};

}  // namespace sim
}  // namespace warpmender
