// A map carried from one functional grid to another through the anatomical grid, nearest neighbour.
#pragma once

namespace warpmender {

// Sizes (x, y, z) of a grid, x fastest.
struct GridSize {
    long nx, ny, nz;
};

// For every voxel of the anatomy (centred position p), M_target p and
// M_source p give centred positions in the target and source grids; the
// source value there, rounded to single precision, lands in the target
// voxel. The last anatomy voxel in scan order that reaches a target voxel
// wins; unreached voxels keep their value. Positions outside a grid, beyond
// the int range or NaN are skipped.
void scatter_through_anatomy(GridSize anatomy, const float to_target[4][4], GridSize target_grid, double* target,
                             const float to_source[4][4], GridSize source_grid, const double* source);

}  // namespace warpmender
