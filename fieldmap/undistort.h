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
// direction: for every voxel v the offsets of its lower and upper neighbour
// on the axis, clamped to the axis, and the upper weight w taken before
// clamping. Built once, then applied to every volume of the series:
//   out[v] = in[hi[v]] * w[v] + in[lo[v]] * (1 - w[v])
// Offsets count from the start of v's block: a slice for x and y (every
// voxel reads only its own slice), the volume for z.
class UndistortPlan {
public:
    // shift: nx*ny*nz values, x fastest. False for a direction outside 1..6,
    // an empty grid or too little memory.
    bool build(const double* shift, long nx, long ny, long nz, int direction);
    // One volume: in and out hold the plan's voxel count and must not overlap.
    void apply(const double* in, double* out) const;
    long voxels() const { return static_cast<long>(w_.size()); }
    // The voxels of a block, and of the working buffer that correct() needs.
    long block() const { return block_; }
    // One volume corrected in place, block by block through work (block() voxels).
    void correct(double* volume, double* work) const;
    // nt consecutive volumes, each exactly as correct() would.
    void correct_series(double* series, long nt, double* work) const;
    // Share of the groups of four neighbours along x that read four
    // consecutive voxels (one vector load instead of four), for the benchmarks.
    double contiguous_share() const;

private:
    template <typename I>
    bool build_offsets(const double* shift, int direction, std::vector<I>& lo, std::vector<I>& hi);
    template <typename I>
    void apply_blocks(const std::vector<I>& lo, const std::vector<I>& hi, const double* in, double* out) const;
    template <typename I>
    void correct_blocks(const std::vector<I>& lo, const std::vector<I>& hi, double* series, long nt,
                        double* work) const;

    long nx_ = 0, ny_ = 0, nz_ = 0, block_ = 0;
    // The narrowest type that holds an offset within a block: the tables are
    // read once per volume, so their size is much of the traffic.
    std::vector<uint16_t> lo16_, hi16_;
    std::vector<int32_t> lo32_, hi32_;
    std::vector<int64_t> lo64_, hi64_;
    std::vector<double> w_;
    // Per group of four voxels x = 4g .. 4g + 3 of a row: 1 when their lower
    // and upper neighbours are four consecutive voxels each.
    std::vector<uint8_t> contiguous_;
};

}  // namespace warpmender
