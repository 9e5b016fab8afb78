// Least-squares phase unwrapping: wrapped Laplacian solved by full multigrid.
#pragma once

#include "core/datahandler.h"

namespace warpmender {

// phase in radians: the gradients, the wrapped Laplacian (masked by the
// magnitude on request), the solve and the shift to the phase's mean; a new
// volume, status 94 when any of it failed. Logs through the sink, saves nothing.
datahandler<double>* multigrid_unwrapped_phase(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                               int cycles, int iterations);

// Wrapped difference to the next voxel (periodic) plus 2 pi, in pi..3pi;
// direction 1 = x, 3 = y, 5 = z.
datahandler<double>* computegradient(datahandler<double>* phase, int direction);
// Backward differences of the three gradients: minus the wrapped Laplacian.
datahandler<double>* getlaplacian(datahandler<double>* gx, datahandler<double>* gy, datahandler<double>* gz);
// 1 where the magnitude's first volume exceeds 200, else 0; status 94 when
// no mask could be made.
datahandler<double>* computequalitymask(datahandler<double>* magnitude);
bool applymask(datahandler<double>* v, datahandler<double>* mask);
bool removemean(datahandler<double>* v);
// (0.0001 I + membrane operator) u = rhs on the first volume; status 94 for a
// grid outside the solver's range or when memory runs out.
datahandler<double>* fullmultigrid(datahandler<double>* rhs, bool verbose, int cycles, int iterations);
bool assumesmoothness(datahandler<double>* phase, datahandler<double>* u);

}  // namespace warpmender
