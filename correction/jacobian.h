// Intensity (Jacobian) correction: the signal the distortion piled up or spread out, restored after the pixel shift.
#pragma once

#include <vector>

namespace warpmender {
namespace correction {

// Sign convention (the plug-in's undistortion, fieldmap/undistort.h): with
// the shift map s in voxels on the EPI grid, the corrected voxel at
// coordinate c along the phase-encoding axis takes the distorted image at
// the sampling position
//   p(c) = c + s(c)   for codes 1 (+x), 3 (+y), 5 (+z)
//   p(c) = c - s(c)   for codes 2 (-x), 4 (-y), 6 (-z).
// The distortion squeezed the content of one true voxel into p'(c) voxels of
// the distorted image, so its intensity there is the true one divided by
// p'(c): multiplying the pixel-shift result by p'(c) gives the true
// intensity back.
//
// p'(c) = 1 +- ds/dc, with ds/dc by central differences, (s[c+1] - s[c-1]) / 2,
// and one-sided at the two ends of the axis (0 on an axis of one voxel).
// Clamped to [kLeastJacobian, kMostJacobian]:
//  - p' <= 0 is a fold: several true places landed on one, and no intensity
//    can be told apart there, so the voxel is set to 0 rather than given a
//    negative or arbitrary value;
//  - p' > 4 would raise a voxel more than fourfold, from content squeezed
//    into a quarter voxel or less: mostly noise and interpolation error, so
//    the gain stops there.
// A derivative that is not finite (a shift map holding NaN) gives 1: the
// plug-in's value is left as it is.
constexpr double kLeastJacobian = 0.0;
constexpr double kMostJacobian = 4.0;

// p'(c) at every voxel of an nx x ny x nz shift map (element (x, y, z) at
// x + nx*(y + ny*z); x fastest), for a phase-encoding code 1..6. Throws
// std::invalid_argument for a code outside 1..6, a size below 1 or
// least > most.
std::vector<double> jacobian_map(const double* shift_voxels, long nx, long ny, long nz, int code,
                                 double least = kLeastJacobian, double most = kMostJacobian);

// Multiplies each of nt consecutive volumes of `voxels` values by the map,
// in place (the volume after the plug-in's undistortion).
void apply_jacobian(float* series, long voxels, long nt, const double* jacobian);
void apply_jacobian(double* series, long voxels, long nt, const double* jacobian);

}  // namespace correction
}  // namespace warpmender
