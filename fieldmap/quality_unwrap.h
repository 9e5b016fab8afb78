// Quality-guided phase unwrapping: region growing over voxel pairs, best pair first, no mask needed.
#pragma once

#include <cstdint>

namespace warpmender {

// Each voxel gets a quality in 0..255: its reliability 1 / (1 + D / 0.5),
// D the mean square of its wrapped second differences along the axes on
// which it has both neighbours (about 6.6 in pure noise, near 0 in tissue),
// times, with a magnitude and where the voxel has signal (below), min(1,
// magnitude / (half the 99th percentile of the positive magnitudes)): any
// scale works. Each voxel pair along x, y and z
// (an "edge") gets a level in 1..255 from its phase coherence,
// 1 - |wrapped difference| / pi, times the lower quality of its two voxels.
// A voxel is reached from the best edge that joins it to what is already
// unwrapped (Prim's maximum spanning tree of the quantised levels, with a
// bucketed queue: O(N)), and takes the whole number of turns that keeps its
// difference to that neighbour within [-pi, pi]. Within one level edges
// leave in the order they were queued (an edge no better than one already
// queued towards the same voxel is not queued), and seeds and regions are
// taken by quality, then by index: the result depends on the input alone.
// About 13 bytes of work memory per voxel, plus the part of the queue in use.
//
// Voxel kinds:
//   - unusable: phase not finite or |phase| >= 2^20 rad; never crossed; its
//     output is its input (a NaN stays NaN, k = 0).
//   - without signal: a magnitude is given, it is not positive (or not
//     finite) there, and the phase is not smooth either (reliability below
//     1/2). These voxels are unwrapped after every voxel with signal, from
//     the phase alone: they follow their neighbours with signal but never
//     join two regions with signal.
//   - with signal: every other voxel (every finite voxel when no magnitude
//     is given; a smooth phase where the magnitude is 0 counts too).
// Regions: the voxels with signal that edges connect (6-neighbourhood) form
// regions, each grown from its most reliable voxel (by quality, then index).
// The largest region is anchored so that its mean lies in [-pi, pi]; each
// other region of 64 voxels or more has its mean brought to the whole number
// of turns nearest the largest region's mean (two blobs with nothing but
// noise between them have no better link). Smaller regions dissolve into the
// voxels without signal and follow their neighbours. Voxels without signal
// that no region reaches form regions of their own, placed like the others.
//
// Result: unwrapped = phase + 2 pi k with an integer k (int32) at every
// voxel, so (unwrapped - phase) / (2 pi) is a whole number to within a
// rounding of unwrapped (1e-9 turns up to |unwrapped| of about 1e6 rad). With
// phases in -pi..pi each step between neighbours changes k by at most 1.

struct QualityUnwrapInfo {
    std::int64_t regions = 0;    // regions grown from a seed (with and without signal)
    std::int64_t largest = 0;    // voxels of the largest region with signal (the anchor)
    std::int64_t unusable = 0;   // voxels left as they were
    std::int64_t no_signal = 0;  // finite voxels without signal
};

// phase (radians, normally -pi..pi), magnitude and unwrapped hold
// dims[0] * dims[1] * dims[2] values, x fastest: element (x, y, z) at
// x + nx * (y + ny * z). magnitude may be null (quality from the phase
// alone); unwrapped may be phase itself. Returns false, leaving unwrapped
// untouched, for null phase/dims/unwrapped, a dimension below 1 or a grid of
// 2^31 voxels or more. info, when not null, receives counts.
bool quality_unwrap(const double* phase, const int* dims, double* unwrapped, QualityUnwrapInfo* info = nullptr);
bool quality_unwrap(const double* phase, const float* magnitude, const int* dims, double* unwrapped,
                    QualityUnwrapInfo* info = nullptr);
bool quality_unwrap(const double* phase, const double* magnitude, const int* dims, double* unwrapped,
                    QualityUnwrapInfo* info = nullptr);

}  // namespace warpmender
