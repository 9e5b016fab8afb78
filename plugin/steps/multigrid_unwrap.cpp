// The multigrid unwrapping step: the solve of fieldmap/ with its saved, named result; the interactive tool's parameter file.
#include "plugin/steps/multigrid_unwrap.h"

#include <cstdio>
#include <string>

#include "core/atomic_file.h"
#include "core/helper_tools.h"
#include "fieldmap/multigrid_unwrap.h"
#include "hostlink/log_sink.h"
#include "io/fmr_writer.h"

namespace warpmender {

std::string multigrid_suffix(int cycles, int iterations) {
    char text[96];
    std::snprintf(text, sizeof text, "%s%i%s%i%s", "_unwrapped", cycles, "vcyc", iterations, "its_smoothed");
    return text;
}

datahandler<double>* unwrap_multigrid(datahandler<double>* phase, datahandler<double>* magnitude, bool mask, int cycles,
                                      int iterations) {
    if (phase == nullptr || phase->getstatus() != STATUS_VALID) {
        auto* v = new datahandler<double>();
        v->setstatus(STATUS_INVALID);
        return v;
    }
    return fullmultigridsolving(phase, magnitude, mask, cycles, iterations);
}

datahandler<double>* fullmultigridsolving(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                          int cycles, int iterations) {
    datahandler<double>* u = multigrid_unwrapped_phase(phase, magnitude, mask, cycles, iterations);
    if (u->getstatus() != STATUS_VALID) return u;
    const std::string suffix = multigrid_suffix(cycles, iterations);
    const std::string name = help.getbasename(help.createFileName(u->getname(), suffix.c_str()).c_str(), false, false);
    log_line(name);
    saveashs2fmr(u, name.c_str(), false, false);  // a failed save leaves the result usable
    u->setname(name.c_str());
    return u;
}

}  // namespace warpmender
