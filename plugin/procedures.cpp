// The "Start" command.
#include "plugin/procedures.h"

namespace warpmender {

void startprocedure(CallState& state) {
    // The pipeline is not wired in yet: never report success for work not done.
    state.success = false;
}

const char* getfieldmapcorrectionname(int code) {
    switch (code) {
        case 50: return "Prepare phase map (=> radians => Hertz)";
        case 52: return "Unwrap phase map";
        case 53: return "Collect acquisition parameters";
        case 54: return "Compute field inhomogeneity map";
        case 55: return "Compute pixel shift map";
        case 56: return "Undistort EPI with pixel shift map";
        case 57: return "Perform all steps at once";
        default: return "Fieldmap correction";
    }
}

}  // namespace warpmender
