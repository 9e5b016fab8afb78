// The multigrid unwrapping step: the result saved under a name that records cycles and iterations.
#pragma once

#include <string>

#include "core/datahandler.h"

namespace warpmender {

// phase in radians; returns a new volume (status 94 on failure) saved under a
// name that records cycles and iterations.
datahandler<double>* unwrap_multigrid(datahandler<double>* phase, datahandler<double>* magnitude, bool mask, int cycles,
                                      int iterations);
datahandler<double>* fullmultigridsolving(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                          int cycles, int iterations);

// "_unwrapped3vcyc5its_smoothed" for 3 cycles and 5 iterations.
std::string multigrid_suffix(int cycles, int iterations);

}  // namespace warpmender
