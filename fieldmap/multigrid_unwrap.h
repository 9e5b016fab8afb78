// Least-squares phase unwrapping: wrapped Laplacian solved by full multigrid.
#pragma once

#include <string>

#include "core/datahandler.h"

namespace warpmender {

// phase in radians; returns a new volume (status 94 on failure) saved under a
// name that records cycles and iterations.
datahandler<double>* unwrap_multigrid(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                      int cycles, int iterations);
datahandler<double>* fullmultigridsolving(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                          int cycles, int iterations);
datahandler<double>* computegradient(datahandler<double>* phase, int direction);
datahandler<double>* getlaplacian(datahandler<double>* gx, datahandler<double>* gy, datahandler<double>* gz);
datahandler<double>* computequalitymask(datahandler<double>* magnitude);
bool applymask(datahandler<double>* v, datahandler<double>* mask);
bool removemean(datahandler<double>* v);
datahandler<double>* fullmultigrid(datahandler<double>* rhs, bool verbose, int cycles, int iterations);
bool assumesmoothness(datahandler<double>* phase, datahandler<double>* u);

}  // namespace warpmender
