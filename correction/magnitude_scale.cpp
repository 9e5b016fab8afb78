// Magnitude scale: the share above the mask threshold, and the min-max rescale to 0..4095.
#include "correction/magnitude_scale.h"

#include <cmath>

namespace warpmender {
namespace correction {

MagnitudeScale judge_magnitude_scale(const float* magnitude, std::size_t n) {
    MagnitudeScale s;
    for (std::size_t i = 0; i < n; ++i) {
        const float v = magnitude[i];
        if (v == 0.0f || !std::isfinite(v)) continue;
        ++s.nonzero;
        s.above += v > kMaskThreshold;
    }
    s.share_above = s.nonzero ? static_cast<double>(s.above) / static_cast<double>(s.nonzero) : 0.0;
    s.meaningless = s.share_above < kFewAbove || s.share_above > kMostAbove;
    return s;
}

void rescale_magnitude(float* magnitude, std::size_t n) {
    // As the host's document rescale: lo = 0, hi = 4095, the factor in double.
    const float lo = 0.0f, hi = 4095.0f;
    if (n == 0) return;
    float mn = magnitude[0], mx = magnitude[0];
    for (std::size_t i = 1; i < n; ++i) {
        if (magnitude[i] < mn) mn = magnitude[i];
        if (magnitude[i] > mx) mx = magnitude[i];
    }
    if (mx <= mn) return;
    const double scale = (static_cast<double>(hi) - lo) / (static_cast<double>(mx) - mn);
    for (std::size_t i = 0; i < n; ++i) magnitude[i] = static_cast<float>(lo + (magnitude[i] - mn) * scale);
}

}  // namespace correction
}  // namespace warpmender
