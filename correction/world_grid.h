// World alignment: a voxel grid placed in the scanner frame, and carrying a map from one grid onto another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace warpmender {
namespace correction {

// A 3D grid in the scanner (world) frame. Maps on it are plain arrays:
// element (x, y, z) at x + nx*(y + ny*z); x fastest.
struct WorldGrid {
    int nx = 0, ny = 0, nz = 0;
    // Voxel index (i, j, k, 1) -> world (mm), row by row: the NIfTI sform
    // (or qform when there is no sform), already in millimetres. The last
    // row is 0 0 0 1.
    std::array<std::array<double, 4>, 4> affine{};

    std::size_t voxels() const {
        return static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz);
    }
};

// Two grids are one when their sizes agree and no corner of the first's
// field of view moves by more than this many voxels (of the second grid)
// when carried through the second's affine. 0.01 voxel is far below any
// effect on a correction (the shift map changes by a hundredth of its own
// gradient) and far above the rounding of affines stored as floats.
constexpr double kSameGridVoxels = 0.01;

// A target grid with less than this share of its voxels inside the source's
// field of view is refused: more than half of the image would get no field
// at all, which is almost always a wrong pairing of files, not a correction.
constexpr double kLeastOverlap = 0.5;

// Throws std::invalid_argument, naming `what`, for a size below 1, an affine
// entry that is not finite, a last row other than 0 0 0 1, or a 3x3 part
// that cannot be inverted.
void check_grid(const WorldGrid& grid, const char* what);

// The largest distance, in voxels of b, between where a corner of a's field
// of view (voxel faces, -1/2 and n - 1/2 on each axis) lands in b's index
// space through a's affine and where the same index lands in b. 0 for
// identical affines. Both grids must pass check_grid.
double corner_mismatch_voxels(const WorldGrid& a, const WorldGrid& b);

// Same sizes and corner_mismatch_voxels(a, b) <= kSameGridVoxels.
bool same_grid(const WorldGrid& a, const WorldGrid& b);

// Share (0..1) of the target's voxel centres that lie inside the source's
// field of view, i.e. whose position in the source's index space is within
// [-1/2, n - 1/2] on each axis.
double overlap_fraction(const WorldGrid& target, const WorldGrid& source);

// Samples a scalar map given on `source` (a field in Hz, a shift in voxels:
// any quantity that is a property of the place, not of the axes) at every
// voxel centre of `target`, through the world frame, by trilinear
// interpolation between the source's voxel centres. Inside the source's
// field of view but beyond its outermost centres (the outer half voxel) the
// edge value continues. Outside the field of view the result is 0 and, if
// `inside` is given, inside[v] = 0 (else 1): 0 is "no shift", so the
// uncorrected data stays where it is instead of being moved by a field
// nobody measured there, as extending the edge value would do.
// A shift map resampled this way keeps its units (voxels along the
// phase-encoding axis) only when both grids have the same voxel size along
// that axis; resample the field (Hz) and form the shift on the target grid
// otherwise. A source value that is not finite reaches every target voxel
// that reads it. source_map holds source.voxels() values, out (and inside)
// target.voxels(). Throws std::invalid_argument for a grid check_grid refuses.
void resample_to_grid(const WorldGrid& source, const double* source_map, const WorldGrid& target, double* out,
                      std::uint8_t* inside = nullptr);

}  // namespace correction
}  // namespace warpmender
