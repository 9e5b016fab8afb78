// Magnitude scale: whether the mask's fixed threshold of 200 fits a magnitude image, and the rescale to 12 bits.
#pragma once

#include <cstddef>

namespace warpmender {
namespace correction {

// The plug-in masks the field map where the magnitude is <= 200, a
// threshold made for 12-bit magnitudes (0..4095), where it falls between the
// background noise and the head.
constexpr double kMaskThreshold = 200.0;

// The judgement counts the voxels above the threshold among those that are
// not exactly 0: scanners and converters fill the corners of a field of view
// (and whole slices) with exact zeros, whose share says nothing about the
// scale (a quarter of the Philips magnitude). A head fills roughly 20-50% of
// a field of view; measured on the real magnitudes:
//   Siemens (0..3967)     35% above 200
//   GE      (0..2516)     33%
//   Philips (0..2.4e8)   100% (its smallest non-zero value is 118362)
// The threshold is meaningless when
//  - fewer than kFewAbove (1%) are above it: the mask would drop the head and
//    the field map would be (almost) zero (the command's warning uses the
//    same 1%), or
//  - more than kMostAbove (99%) are above it: the background noise passes
//    too, and the mask keeps the noisy field outside the head. Not lower: a
//    magnitude whose air is exactly 0 (masked by the scanner or converter,
//    or the project's phantom) has only tissue among its non-zero voxels,
//    and 96-97% of those above 200 is a 12-bit head, not a wrong scale.
constexpr double kFewAbove = 0.01;
constexpr double kMostAbove = 0.99;

struct MagnitudeScale {
    std::size_t nonzero = 0;   // finite values other than 0
    std::size_t above = 0;     // of those, above kMaskThreshold
    double share_above = 0.0;  // above / nonzero (0 when nonzero is 0)
    bool meaningless = false;  // the threshold cannot separate the head from the background
};

// The judgement above for n values (a whole image, all volumes). An image
// with no non-zero finite value is meaningless too (nothing above).
MagnitudeScale judge_magnitude_scale(const float* magnitude, std::size_t n);

// The rescale that --rescale-magnitude performs: linear from the image's
// minimum and maximum to 0..4095, in place,
//   v -> float(0 + (v - min) * (4095 / (max - min)))   (the factor in double)
// and nothing when all values are equal. It needs no robust percentile:
// the maximum of a magnitude is the brightest tissue, and after it the
// Philips magnitude has 44% of its voxels above 200, like the others.
void rescale_magnitude(float* magnitude, std::size_t n);

}  // namespace correction
}  // namespace warpmender
