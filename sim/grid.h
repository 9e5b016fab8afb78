// The sampling grid every synthetic image lives on, and its placement in RAS millimetres.
#pragma once

#include <array>
#include <cstddef>

namespace warpmender {
namespace sim {

// Images are plain arrays: element (x, y, z, t) at x + nx*(y + ny*(z + nz*t)); x fastest.
//
// The voxel axes are the patient axes of the phase-encoding codes 1..6:
// x grows from right to left, y from anterior to posterior, z from inferior
// to superior (DICOM's LPS). So "anterior" is low y and "inferior" low z,
// and a code names an array axis directly (3 = +y = along j).
struct Grid {
    int nx = 128, ny = 128, nz = 64;
    double dx = 2.0, dy = 2.0, dz = 2.0;  // mm

    std::size_t voxels() const {
        return static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz);
    }
    std::size_t index(int x, int y, int z) const {
        return static_cast<std::size_t>(x) +
               static_cast<std::size_t>(nx) *
                   (static_cast<std::size_t>(y) + static_cast<std::size_t>(ny) * static_cast<std::size_t>(z));
    }

    // Voxel (i, j, k, 1) -> (R, A, S, 1) in mm, row-major, for a NIfTI sform/qform:
    // the grid's centre sits at the origin, i points to the left (-R), j to the
    // posterior (-A), k to the superior (+S).
    std::array<std::array<double, 4>, 4> affine() const {
        return {{{-dx, 0.0, 0.0, dx * 0.5 * (nx - 1)},
                 {0.0, -dy, 0.0, dy * 0.5 * (ny - 1)},
                 {0.0, 0.0, dz, -dz * 0.5 * (nz - 1)},
                 {0.0, 0.0, 0.0, 1.0}}};
    }
};

// The demo's grid: 128 x 128 x 64 voxels of 2 mm.
inline Grid default_grid() { return Grid{}; }

// A coarse grid over nearly the same field of view (256 x 256 x 120 mm), for fast tests.
inline Grid small_grid() { return Grid{64, 64, 24, 4.0, 4.0, 5.0}; }

// Throws warpmender::Error unless every size and spacing is positive and finite.
void check_grid(const Grid& grid, const char* what);

}  // namespace sim
}  // namespace warpmender
