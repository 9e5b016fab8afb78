// Field-inhomogeneity (B0, Hz) and pixel-shift (voxels) steps with their logs and saves, and the acquisition-parameter file.
#include "plugin/steps/shift_maps.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "core/atomic_file.h"
#include "core/helper_tools.h"
#include "fieldmap/phase_to_shift.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"

namespace warpmender {
namespace {

// A result with the input's header and a zero-filled buffer; status 89 from
// copyheader. Null when memory is short.
datahandler<double>* zero_copy_of(const datahandler<double>& in) {
    auto out = std::make_unique<datahandler<double>>();
    in.copyheader(out.get());
    double* d = new (std::nothrow) double[static_cast<size_t>(in.getnrofelems())]();
    if (d == nullptr) return nullptr;
    out->setdata(d);
    return out.release();
}

// Returned instead of a map that cannot be made: nothing saved, status 94.
datahandler<double>* refused(const datahandler<double>* in) {
    auto* out = new datahandler<double>();
    if (in != nullptr) {
        in->copyheader(out);
        out->setnt(0);  // holds no elements: no buffer to read
    }
    out->setstatus(STATUS_INVALID);
    return out;
}

// Divisors must be positive and finite: a zero gives infinities, a negative
// one reverses every shift, NaN poisons the whole map.
bool usable_divisor(double v, const char* step, const char* what, const char* unit) {
    if (std::isfinite(v) && v > 0.0) return true;
    char line[512];
    std::snprintf(line, sizeof line, "Cannot compute the %s: the %s is %g %s; it must be a positive, finite number.",
                  step, what, v, unit);
    hs::hsLogText(line);
    return false;
}

bool usable_input(const datahandler<double>* in, const char* step) {
    if (in != nullptr && in->hasdata() && in->getnrofelems() > 0) return true;
    hs::hsLogText((std::string("Cannot compute the ") + step + ": no input data.").c_str());
    return false;
}

void log_summary(const datahandler<double>& d, const char* label) {
    hs::hsLogText(d.displayintensityvalues(label).c_str());
}

}  // namespace

datahandler<double>* computefieldinhomogeneity(datahandler<double>* phase, fieldmapparams* params) {
    hs::hsLogText(protocol::kComputeFieldInhomogeneity);
    const char* step = "field inhomogeneity map";
    if (!usable_input(phase, step)) return refused(phase);
    if (params == nullptr) {
        hs::hsLogText("Cannot compute the field inhomogeneity map: no acquisition parameters.");
        return refused(phase);
    }
    if (!usable_divisor(params->echoTimeDiffSec, step, "echo time difference (EchoTimeDiff)", "s"))
        return refused(phase);
    datahandler<double>* out = zero_copy_of(*phase);
    if (out == nullptr) {
        hs::hsLogText("Not enough memory for the field inhomogeneity map.");
        return refused(phase);
    }
    // First volume only; the rest stay 0.0.
    field_from_phase(phase->getdata(), phase->getvoxelspervolume(), params->echoTimeDiffSec, out->getdata());
    log_summary(*out, "field inhomogeneity map (Hz)");
    save2amr(out, "_b0");
    // Full path kept: "/data/fmap.fmr" -> "/data/fmap_b0.fmr"
    const std::string name = help.exchangeExtension(help.createFileName(out->getname(), "_b0").c_str(), ".fmr");
    hs::hsLogText(name.c_str());
    out->setstatus(saveashs2fmr(out, name.c_str()) ? STATUS_VALID : STATUS_INVALID);
    return out;
}

datahandler<double>* computepixelshiftmap(datahandler<double>* b0, fieldmapparams* params) {
    hs::hsLogText(protocol::kComputePixelShiftMap);
    const char* step = "pixel shift map";
    if (!usable_input(b0, step)) return refused(b0);
    if (params == nullptr) {
        hs::hsLogText("Cannot compute the pixel shift map: no acquisition parameters.");
        return refused(b0);
    }
    if (!usable_divisor(params->bandwidthPE, step, "bandwidth per voxel in the phase-encoding direction (BandWidthPE)",
                        "Hz"))
        return refused(b0);
    datahandler<double>* out = zero_copy_of(*b0);
    if (out == nullptr) {
        hs::hsLogText("Not enough memory for the pixel shift map.");
        return refused(b0);
    }
    log_summary(*b0, "field inhomogeneity map (Hz)");
    shift_from_field(b0->getdata(), b0->getvoxelspervolume(), params->bandwidthPE, params->applyTwoPi == 1,
                     out->getdata());
    log_summary(*out, "pixelshift map");
    save2amr(out, "_pixshift");
    // Last path component: "/data/fmap_b0.fmr" -> "fmap_b0_pixshift.fmr"
    const std::string name = help.getbasename(help.createFileName(out->getname(), "_pixshift").c_str(), false, false);
    hs::hsLogText(name.c_str());
    saveashs2fmr(out, name.c_str());  // a failed save is not reported; the map stays usable
    return out;
}

}  // namespace warpmender
