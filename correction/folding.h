// Folding and pile-up: where the sampling positions of the correction fold over or crowd together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace warpmender {
namespace correction {

// The corrected voxel c samples the distorted image at p(c) = c +- s(c)
// (correction/jacobian.h). One true voxel was squeezed into p'(c) voxels of
// the distorted image, its intensity raised 1 / p'(c) times:
//  - p'(c) <= 0: a fold; several true places landed on one and no
//    correction can tell them apart;
//  - 0 < p'(c) < 1 / kPileUpFactor: a pile-up beyond kPileUpFactor; the
//    content of two or more voxels lies in one, its detail lost to the
//    resolution even where the intensity correction restores the level.
// p' is the same derivative as the intensity correction's (central
// differences, one-sided at the axis ends), unclamped.
constexpr double kPileUpFactor = 2.0;

// Values of the mask.
constexpr std::uint8_t kNoFold = 0;
constexpr std::uint8_t kPileUp = 1;
constexpr std::uint8_t kFold = 2;

struct Folding {
    std::vector<std::uint8_t> mask;  // kNoFold, kPileUp or kFold at every voxel (in and out of the brain)
    std::size_t brain_voxels = 0;    // voxels of the brain mask (all voxels when none was given)
    std::size_t folded = 0;          // of those, kFold
    std::size_t piled_up = 0;        // of those, kPileUp
    double folded_percent = 0.0;     // 100 folded / brain_voxels (0 for an empty brain)
    double piled_up_percent = 0.0;
    double pile_up_factor = kPileUpFactor;
};

// For an nx x ny x nz shift map in voxels (element (x, y, z) at
// x + nx*(y + ny*z)) applied for phase-encoding code 1..6, and a brain mask
// (null: every voxel counts). Throws std::invalid_argument for a code
// outside 1..6, a size below 1 or a pile-up factor not above 1.
Folding find_folding(const double* shift_voxels, long nx, long ny, long nz, int code,
                     const std::uint8_t* brain = nullptr, double pile_up_factor = kPileUpFactor);

}  // namespace correction
}  // namespace warpmender
