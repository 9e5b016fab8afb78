// Undistortion of an EPI series along the phase-encoding axis with a pixel-shift map.
#pragma once

#include <cstdint>
#include <vector>

#include "core/datahandler.h"
#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// Corrects epi in place, saves it as "<name>_undistort.fmr" and hands the name
// back in "NameUndistortedFile"; true when saved. A map whose grid differs from
// the EPI's, or a direction outside 1..6, is refused before any data change.
bool undistort1d(datahandler<double>* epi, datahandler<double>* pixelshift, fieldmapparams* params);

// The resampling of one volume, which depends only on the shift map and the
// direction: for every voxel v the offsets (within the volume) of its lower and
// upper neighbour on the axis, clamped to the axis, and the upper weight w taken
// before clamping. Built once, then applied to every volume of the series:
//   out[v] = in[hi[v]] * w[v] + in[lo[v]] * (1 - w[v])
class UndistortPlan {
public:
    // shift: nx*ny*nz values, x fastest. False for a direction outside 1..6,
    // an empty grid or too little memory.
    bool build(const double* shift, long nx, long ny, long nz, int direction);
    // One volume: in and out hold the plan's voxel count and must not overlap.
    void apply(const double* in, double* out) const;
    // Voxels first .. first + count - 1 of one volume into out[0 .. count - 1].
    void apply(const double* in, long first, long count, double* out) const;
    long voxels() const { return static_cast<long>(w_.size()); }
    // Every voxel of a block reads only voxels of its own block (its row for
    // x, its slice for y, the volume for z): a volume may be corrected in
    // place block by block through a working buffer of this many voxels.
    long block() const { return block_; }
    // One volume corrected in place, block by block through work (block() voxels).
    void correct(double* volume, double* work) const;
    // nt consecutive volumes, each exactly as correct() would.
    void correct_series(double* series, long nt, double* work) const;

private:
    // 32-bit offsets whenever a volume allows it: the tables are read once per
    // volume, so their size is most of the memory traffic of the correction.
    std::vector<int32_t> lo32_, hi32_;
    std::vector<int64_t> lo64_, hi64_;
    std::vector<double> w_;
    long block_ = 0;
};

}  // namespace warpmender
