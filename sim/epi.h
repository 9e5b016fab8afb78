// The EPI series: the undistorted truth with a block-design response, and its distortion along the phase-encoding axis.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/grid.h"
#include "sim/phantom.h"

namespace warpmender {
namespace sim {

// Sign convention, the one the plug-in's undistortion reverses.
//
// The shift of a voxel is s = field_hz / bandwidth_pe_hz voxels, taken at
// the voxel's true (undistorted) position. The distorted image shows the
// content of true position c at c + s for codes 1, 3 and 5 and at c - s for
// codes 2, 4 and 6, where c is the coordinate along the code's axis:
//
//   code  axis  content of c appears at     the plug-in's correction samples
//    1     x         x + s                        x + s
//    2     x         x - s                        x - s
//    3     y         y + s  ("j" in BIDS)         y + s
//    4     y         y - s  ("j-")                y - s
//    5     z         z + s                        z + s
//    6     z         z - s                        z - s
//
// so correcting with the same code and the same shift map puts every
// content back where it came from (up to interpolation, and without the
// intensity change the plug-in does not undo; see distort_volume).

struct EpiParams {
    int nt = 10;                     // volumes
    double echo_time_ms = 30.0;      // for the signal lost to dephasing (see dephasing_factor)
    double bandwidth_pe_hz = 29.48;  // effective bandwidth per voxel along the phase-encoding axis
    int pe_dir = 3;                  // code 1..6, table above
    int block_length = 5;            // volumes per rest block and per task block; rest first
    double response_percent = 3.0;   // signal change of the responsive cortex during task
    double noise = 0.0;              // standard deviation of Gaussian noise on the distorted series
    std::uint64_t seed = 4242;
};

struct PeAxis {
    int axis;   // 0 x, 1 y, 2 z
    int sense;  // +1 or -1
};
// Throws warpmender::Error for a code outside 1..6.
PeAxis pe_axis(int code);

// s = field / bandwidth, voxels. Throws warpmender::Error for a bandwidth that is not positive.
std::vector<double> shift_map_voxels(const std::vector<double>& field_hz, double bandwidth_pe_hz);

// 1 in task blocks, 0 in rest blocks: volumes 0..L-1 rest, L..2L-1 task, ...
double task_regressor(int t, int block_length);

// Share of a voxel's signal left after the spins inside it dephase at echo
// time TE in a field that varies across the voxel: the product over the
// three axes of |sinc(pi * df * TE)|, with df the field's change across one
// voxel (central differences, one-sided at the edges) and sinc(u) = sin(u)/u.
// This is the signal dropout near air cavities; a pixel-shift correction
// cannot bring it back, so the truth series carries it too. Throws
// warpmender::Error for mismatched sizes or a negative echo time.
std::vector<float> dephasing_factor(const Grid& grid, const std::vector<double>& field_hz, double echo_time_ms);

// The undistorted series: nt volumes of the phantom's EPI contrast times
// signal_factor (one volume, e.g. dephasing_factor; empty for none), the
// responsive cortex raised by response_percent during task blocks.
std::vector<float> epi_truth_series(const Phantom& phantom, const EpiParams& params,
                                    const std::vector<float>& signal_factor = {});

// The forward model of one volume. Voxel c covers [c - 1/2, c + 1/2] along
// the axis; the distortion carries that interval to
// [c - 1/2 + s(c - 1/2), c + 1/2 + s(c + 1/2)] (signs per the table; s at a
// face is the mean of the two voxels beside it, the voxel's own at the ends
// of the axis) and the voxel's content is spread evenly over it, each voxel
// receiving the share that overlaps it. For a uniform shift this is the
// linear split between floor(p) and floor(p) + 1 with w = p - floor(p) the
// share of the upper one (p = c + s); where the shift varies the content
// covers as much of the image as its stretched or squeezed interval does, so
// intensity piles up where the image is compressed and thins out where it is
// stretched, as in a real EPI. (Splitting every voxel between the two
// neighbours of its centre's new position instead leaves a stripe pattern
// wherever the image is stretched: at a stretch of 1.2 the voxels alternate
// between 80% and 100% of the signal that should thin evenly to 83%.)
// Content carried beyond the outer faces of the axis is lost; everything
// else is conserved. A shift that is not finite drops the content of its
// voxel and of the voxels beside it on the axis.
// scratch holds grid.voxels() doubles (the sums, so no order of additions
// rounds the result). Throws warpmender::Error for a code outside 1..6.
void distort_volume(const Grid& grid, const float* truth, const double* shift_voxels, int code, float* out,
                    double* scratch);

// distort_volume for every volume of a series of nt volumes, with the same shift map.
// Throws warpmender::Error for mismatched sizes or a code outside 1..6.
std::vector<float> distort_series(const Grid& grid, int nt, const std::vector<float>& truth,
                                  const std::vector<double>& shift_voxels, int code);

// The pixel-shift correction the plug-in performs, written independently as
// a reference: the corrected voxel c is the distorted image sampled at c + s
// (codes 1, 3, 5) or c - s (2, 4, 6), linearly between floor and ceil of that
// position, each clamped to the axis (so beyond an end the edge voxel
// repeats); no intensity correction. Throws warpmender::Error for a code
// outside 1..6.
void undistort_volume(const Grid& grid, const float* distorted, const double* shift_voxels, int code, float* out);
std::vector<float> undistort_series(const Grid& grid, int nt, const std::vector<float>& distorted,
                                    const std::vector<double>& shift_voxels, int code);

// Adds Gaussian noise of the given standard deviation to every voxel (absolute value kept, as a magnitude image).
void add_noise(std::vector<float>& series, double sigma, std::uint64_t seed);

}  // namespace sim
}  // namespace warpmender
