// The "Start" command: the pixel-shift pipeline from wrapped phase to undistorted EPI.
#pragma once

#include <string>

#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// Working state of one execute() call; nothing of it survives the call.
struct CallState {
    bool success = true;
    std::string failure = "An error occurred.";
    fieldmapparams params;
};

// Runs the procedure named by "Procedure" and records the outcome in state.
void startprocedure(CallState& state);

}  // namespace warpmender
