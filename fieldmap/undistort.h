// Undistortion of an EPI series along the phase-encoding axis with a pixel-shift map.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/datahandler.h"
#include "core/intensity_summary.h"

namespace warpmender {

// Offsets of a voxel's lower and upper neighbour on the axis.
template <typename I>
struct Neighbours {
    I lo, hi;
};

// The resampling of one volume, which depends only on the shift map and the
// direction: for every voxel v the offsets of its lower and upper neighbour
// on the axis, clamped to the axis, and the upper weight w taken before
// clamping. Built once, then applied to every volume of the series:
//   out[v] = in[hi[v]] * w[v] + in[lo[v]] * (1 - w[v])
// A voxel reads only its own block (a slice for x and y, the volume for z),
// and the plan keeps its neighbours as offsets into a ring that holds the
// few rows (slices for z) of the block that the rows being corrected read.
class UndistortPlan {
public:
    // shift: nx*ny*nz values, x fastest. False for a direction outside 1..6,
    // an empty grid or too little memory.
    bool build(const double* shift, long nx, long ny, long nz, int direction);
    // One volume: in and out hold the plan's voxel count and must not overlap.
    void apply(const double* in, double* out);
    long voxels() const { return voxels_; }
    // nt consecutive volumes corrected in place, block by block through the
    // working buffer: each volume from its own uncorrected data. before and
    // after, if both given, receive the whole series in index order,
    // uncorrected and corrected.
    void correct_series(double* series, long nt, IntensityAccumulator* before = nullptr,
                        IntensityAccumulator* after = nullptr);
    void correct(double* volume) { correct_series(volume, 1); }
    // Share of the groups of four neighbours along x that read four
    // consecutive voxels (one vector load instead of four), for the benchmarks.
    double contiguous_share() const;
    // Volumes corrected side by side when no summaries are asked for (1 or
    // 2), for the tests and benchmarks.
    long volumes_side_by_side() const { return together_; }

private:
    // Per group of four voxels x = 4g .. 4g + 3 of a row: the ring offsets of
    // lane 0's lower and upper neighbours when all four lanes read
    // consecutive voxels (one vector load each), else the type's largest
    // value and the lanes' own offsets next in the spill table, as are those
    // of the last nx mod 4 voxels of every row. I is the narrowest type that
    // holds an offset within a block: the tables are read once per volume,
    // so their size is much of the correction's memory traffic.
    struct BlockTables {
        long ring;   // units the ring holds
        long ahead;  // how far past an output unit its sources reach
        long spill;  // where the block's spilled offsets start
    };
    template <typename I>
    struct Tables {
        std::vector<Neighbours<I>> group, spill;
        std::vector<BlockTables> blocks;
        double contiguous_share() const;
    };
    template <typename I>
    bool build_offsets(const double* shift, int direction, Tables<I>& t);
    template <typename I>
    void correct_blocks(const Tables<I>& t, double* series, long nt, IntensityAccumulator* before,
                        IntensityAccumulator* after);

    // Doubles on 64-byte boundaries: vector loads of the weights and of the
    // ring then never straddle two cache lines (a tenth or more slower when
    // they did).
    class Doubles {
    public:
        bool allocate(long n);
        double* data() const { return data_; }

    private:
        std::unique_ptr<double[]> raw_;
        double* data_ = nullptr;
    };

    long nx_ = 0, ny_ = 0, nz_ = 0, voxels_ = 0, block_ = 0, unit_ = 0;
    // The working buffer holds together_ rings (volumes corrected side by
    // side), ring_span_ doubles apart.
    long ring_span_ = 0, together_ = 1;
    Tables<uint16_t> t16_;
    Tables<int32_t> t32_;
    Tables<int64_t> t64_;
    Doubles w_, work_;
};

}  // namespace warpmender
