// The ranges acquisition values must lie in, and the refusal that says why.
#include "cli/acquisition_ranges.h"

#include <sstream>

#include "core/error.h"

namespace warpmender {
namespace host {

const PhysicalRange kEchoTimeDifferenceMs = {
    "echo-time difference", 0.1, 100.0, "ms",
    "the echoes of a field-map scan lie at least about 0.1 ms apart and well within 100 ms of each other; "
    "a value outside is a unit mistake or a damaged header"};
const PhysicalRange kEffectiveEchoSpacingS = {
    "effective echo spacing", 1e-5, 1e-2, "s",
    "EPI echo spacings of about 0.1 to 2 ms, divided by a parallel-imaging factor of at most about 10, lie "
    "within 10 microseconds and 10 ms; a value outside is a unit mistake or a damaged sidecar"};
const PhysicalRange kBandwidthPerVoxelHz = {
    "bandwidth per voxel", 1.0, 100000.0, "Hz",
    "below 1 Hz a readout would last more than a second, above 100 kHz no field shifts a voxel by a hundredth; "
    "a value outside is a unit mistake"};

std::string shown(double v) {
    std::ostringstream s;
    s.precision(6);
    s << v;
    return s.str();
}

void check_physical(double value, const PhysicalRange& r, const std::string& from) {
    if (value >= r.low && value <= r.high) return;
    throw Error(std::string("the ") + r.quantity + " (" + from + ") is " + shown(value) + " " + r.unit + ", outside " +
                shown(r.low) + " .. " + shown(r.high) + " " + r.unit + ": " + r.why);
}

}  // namespace host
}  // namespace warpmender
