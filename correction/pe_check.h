// Phase-encoding sense checked by the data: the EPI corrected with both senses, scored against the magnitude.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace warpmender {
namespace correction {

// A sidecar with the wrong sense (a sign lost in a converter, a sidecar
// from another protocol) makes the correction double the distortion
// instead of removing it. The field map's magnitude is free of that
// distortion, so the mean EPI corrected with the right sense resembles it
// more than the one corrected with the opposite sense.
//
// The measure: normalised mutual information,
//   NMI = (H(A) + H(B)) / H(A, B)      (1 for independent images, 2 for
//                                        images that determine each other)
// from a joint histogram of kNmiBins x kNmiBins over the mask, each image's
// bins spanning its own 1st..99th percentile inside the mask (values beyond
// fall into the outer bins). It asks only how well one image predicts the
// other, not which contrast each has. A gradient measure (the normalised
// gradient field: the mean squared cosine between the two images' gradients,
// normalized_gradient_field) was measured beside it on the same data and
// kept out: on the real maps it separated the senses too (0.018..0.065 on
// scores of 0.07..0.15), but on the sim by only 0.004..0.006 for codes 1..4
// (scores about 0.21), within the differences a faint field makes, so it
// could not tell the senses apart there; NMI separated every case.
constexpr int kNmiBins = 32;

// Margin on NMI: the opposite sense must score this much above the given one
// before the check says the sense is wrong, and the given sense this much
// above the opposite before it says the sense is right; between the two the
// data cannot tell. Measured in tests/correction_pe_check_test.cpp as
// NMI(right sense) - NMI(wrong sense), the EPI distorted with the right one:
//   sim, 64 x 64 x 24 head, 29.5 Hz/voxel (max |shift| 14 voxels)
//     codes 1..6:             0.101 0.101 0.086 0.081 0.065 0.094
//     the same with noise:    0.053 0.055 0.049 0.048 0.070 0.061
//   real maps, stand-in EPI (square root of the magnitude, blurred), 25 Hz/voxel
//     GE codes 1..4:          0.040 0.037 0.041 0.044
//     Philips codes 1..4:     0.039 0.031 0.034 0.035
//   sim field scaled to max |shift| 0.7 voxel: 0.002..0.018 (mostly undecided);
//   1.4 voxels: 0.013..0.026 (all confirmed); never an alarm on the right sense.
// 0.01 is a third of the smallest real separation: a flipped sense is caught
// whenever the field moves the head by a voxel or more, and a field too faint
// to matter leaves the check undecided rather than alarmed.
constexpr double kPeCheckMargin = 0.01;

enum class PeVerdict {
    kGivenSenseRight,      // given - opposite >= margin
    kOppositeSenseBetter,  // opposite - given >= margin: the metadata's sense is most likely wrong
    kUndecided,            // neither
};

// "given sense right", "opposite sense clearly better", "undecided"
const char* verdict_text(PeVerdict verdict);

struct PeCheck {
    int code = 0;              // the phase-encoding code the metadata give (1..6)
    int opposite_code = 0;     // its partner along the same axis
    double given = 0.0;        // NMI of the EPI corrected with `code`
    double opposite = 0.0;     // NMI of the EPI corrected with `opposite_code`
    double uncorrected = 0.0;  // NMI of the distorted EPI as it is
    double margin = kPeCheckMargin;
    PeVerdict verdict = PeVerdict::kUndecided;
    std::size_t mask_voxels = 0;  // voxels the scores were taken over
};

// 1 <-> 2, 3 <-> 4, 5 <-> 6. Throws std::invalid_argument outside 1..6.
int opposite_pe_code(int code);

// NMI as above, of a and b over the voxels where mask is not 0 (all n when
// mask is null), with `bins` bins per image (2..1024). Non-finite values are
// left out. Throws std::invalid_argument for a bad bin count or fewer than 2
// voxels to score.
double normalized_mutual_information(const float* a, const float* b, const std::uint8_t* mask, std::size_t n,
                                     int bins = kNmiBins);

// Normalised gradient field of two volumes on one nx x ny x nz grid (element
// (x, y, z) at x + nx*(y + ny*z)), over the mask: the mean over the masked
// voxels of (ga . gb)^2 / ((|ga|^2 + ea^2) (|gb|^2 + eb^2)), gradients by
// central differences in voxel units (one-sided at the edges), e and eb each
// image's mean gradient length over the mask (so flat noise counts little).
// 0..1. Throws std::invalid_argument for sizes below 1 or no voxel to score.
double normalized_gradient_field(const float* a, const float* b, const std::uint8_t* mask, long nx, long ny, long nz);

// A mask of the head from the magnitude: above 10% of its 99th percentile
// (of the finite non-zero values), then grown by `grow` voxels in every
// direction, so that the scores see the head's outline, where a wrong sense
// moves the most. Values element by element as above.
std::vector<std::uint8_t> head_mask_from_magnitude(const float* magnitude, long nx, long ny, long nz, int grow = 2);

// The check itself. On one nx x ny x nz grid (the EPI's): the field map's
// magnitude, the mean EPI as acquired (distorted), the shift map in voxels
// applied for `code`, and the mask to score over (null: head_mask_from_magnitude).
// Corrects the mean EPI with the plug-in's own undistortion for `code` and
// for opposite_pe_code(code) and scores both, and the uncorrected EPI,
// against the magnitude. Throws std::invalid_argument for a code outside
// 1..6, sizes below 1 or a shift map the undistortion refuses.
PeCheck check_pe_sense(const float* magnitude, const float* mean_epi, const double* shift_voxels, long nx, long ny,
                       long nz, int code, const std::uint8_t* mask = nullptr, double margin = kPeCheckMargin);

// The same, scored with normalized_gradient_field instead (for the comparison; same verdict rule).
PeCheck check_pe_sense_gradient(const float* magnitude, const float* mean_epi, const double* shift_voxels, long nx,
                                long ny, long nz, int code, const std::uint8_t* mask = nullptr,
                                double margin = kPeCheckMargin);

}  // namespace correction
}  // namespace warpmender
