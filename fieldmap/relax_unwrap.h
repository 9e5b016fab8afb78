// Unwrapping by weighted, regularised red-black relaxation with periodic neighbours.
#pragma once

namespace warpmender {

// phase (cycles), weight and out hold dims[0]*dims[1]*dims[2] doubles, x fastest;
// out is the starting estimate and the result.
void relax_unwrap(const int* dims, const double* phase, const double* weight, double* out, int iterations,
                  double lambda);

}  // namespace warpmender
