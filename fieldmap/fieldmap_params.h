// fieldmapparams: the acquisition parameters of one run.
#pragma once

namespace warpmender {

struct fieldmapparams {
    double bandwidthPE = 0.0;      // Hz per voxel along the phase-encoding axis
    double echoTimeDiffSec = 0.0;  // evolution time between the two phase images, seconds
    int phaseEncodingDir = 0;      // 1..6: +x, -x, +y, -y, +z, -z
    int applyTwoPi = 0;            // 1: the shift step also divides by 2 pi
    int status = 0;                // 89 complete, 91 cancelled, 92 unreadable (interactive entry only)
};

}  // namespace warpmender
