// Physical ranges of the acquisition values a correction takes from options and sidecars.
#pragma once

#include <string>

namespace warpmender {
namespace host {

struct PhysicalRange {
    const char* quantity;  // "echo-time difference"
    double low, high;      // inclusive, in unit
    const char* unit;      // "ms"
    const char* why;       // why values outside cannot be right
};

// 0.1 .. 100 ms: echoes of a field-map scan lie at least about 0.1 ms apart
// (gradient switching) and well within 100 ms (the signal has decayed).
extern const PhysicalRange kEchoTimeDifferenceMs;
// 1e-5 .. 1e-2 s: EPI echo spacings of about 0.1 to 2 ms, divided by a parallel-imaging factor of at most about 10.
extern const PhysicalRange kEffectiveEchoSpacingS;
// 1 .. 100000 Hz per voxel: below, a readout would last more than a second;
// above, any field shifts voxels by less than a hundredth of a voxel.
extern const PhysicalRange kBandwidthPerVoxelHz;

// Throws Error when value lies outside the range:
//   "the echo-time difference (--echo-time-diff) is 1e-12 ms, outside 0.1 .. 100 ms: <why>"
void check_physical(double value, const PhysicalRange& range, const std::string& from);

// A value as messages show it: six significant digits (2.46, 0.00053, 1e-12).
std::string shown(double v);

}  // namespace host
}  // namespace warpmender
