// The unwrapping methods behind one interface: wrapped phase (radians) in, saved unwrapped phase (cycles) out.
#pragma once

#include <memory>

#include "core/datahandler.h"

namespace warpmender {

// The "UnwrappingMethod" parameter: 0 relaxation, any other value multigrid.
enum class UnwrappingMethod { kRelaxation = 0, kMultigrid = 1 };
UnwrappingMethod unwrapping_method_of(int parameter);

struct UnwrappingSettings {
    int relaxiterations = 0;      // relaxation: red-black sweeps
    double regularisation = 0.0;  // relaxation: smoothness weight
    int cycles = 0;               // multigrid: V-cycles per level
    int iterations = 0;           // multigrid: relaxation iterations per smoothing
    bool masklaplacian = false;   // multigrid: mask the wrapped Laplacian with the magnitude
};

class Unwrapper {
public:
    virtual ~Unwrapper() = default;
    // The log line that starts the method.
    virtual const char* start_line() const = 0;
    // phase (radians, first volume) and magnitude on one grid; the unwrapped
    // phase in cycles, saved and named after the phase. Null when the method
    // failed and said why in the log. phase may be changed on the way.
    virtual std::unique_ptr<datahandler<double>> unwrap(datahandler<double>& phase, datahandler<double>& magnitude) = 0;
};

std::unique_ptr<Unwrapper> make_unwrapper(UnwrappingMethod method, const UnwrappingSettings& settings);

}  // namespace warpmender
