// How far a series is from the truth inside a mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace warpmender {
namespace sim {

struct SeriesError {
    std::size_t voxels = 0;  // mask voxels per volume
    int volumes = 0;
    double mean_truth = 0.0;  // mean truth intensity over mask and volumes
    double rms = 0.0;         // root mean square of (series - truth)
    double mean_abs = 0.0;    // mean |series - truth|
    // Both divided by mean_truth (0 when mean_truth is 0): comparable across contrasts.
    double rms_relative = 0.0;
    double mean_abs_relative = 0.0;
};

// Over every volume t < nt and every voxel i with mask[i] != 0 (the mask is
// one volume, applied to each). A non-finite value in the series makes rms
// and mean_abs infinite, so a broken correction cannot look good. An empty
// mask gives all zeros. Throws warpmender::Error when the sizes do not fit
// together.
SeriesError series_error(const std::vector<float>& series, const std::vector<float>& truth,
                         const std::vector<std::uint8_t>& mask, int nt);

}  // namespace sim
}  // namespace warpmender
