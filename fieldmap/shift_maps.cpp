// Field-inhomogeneity (B0, Hz) and pixel-shift (voxels) maps, and the acquisition-parameter file.
#include "fieldmap/shift_maps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "core/helper_tools.h"
#include "core/temporary_names.h"
#include "fieldmap/phase_scaling.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "plugin/host_binding.h"

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

// Writes text to path through a temporary file beside it, renamed into place,
// so that a failed write leaves neither a partial file nor a stray temporary.
bool write_file_atomically(const std::string& path, const std::string& text) {
    std::string tmp;
    const int fd = create_temporary_beside(path, "", &tmp);
    if (fd < 0) return false;
    bool ok = true;
    const char* p = text.data();
    size_t left = text.size();
    while (ok && left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace

datahandler<double>* computefieldinhomogeneity(datahandler<double>* phase, fieldmapparams* params) {
    hs::hsLogText("Compute field inhomogeneity...");
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
    const double factor = 1.0 / params->echoTimeDiffSec;
    const double* in = phase->getdata();
    double* o = out->getdata();
    const long nvox = phase->getvoxelspervolume();  // first volume only; the rest stay 0.0
    for (long i = 0; i < nvox; ++i) o[i] = in[i] * factor;
    log_summary(*out, "field inhomogeneity map (Hz)");
    save2amr(out, "_b0");
    // Full path kept: "/data/fmap.fmr" -> "/data/fmap_b0.fmr"
    const std::string name = help.exchangeExtension(help.createFileName(out->getname(), "_b0").c_str(), ".fmr");
    hs::hsLogText(name.c_str());
    out->setstatus(saveashs2fmr(out, name.c_str()) ? STATUS_VALID : STATUS_INVALID);
    return out;
}

datahandler<double>* computepixelshiftmap(datahandler<double>* b0, fieldmapparams* params) {
    hs::hsLogText("Compute pixel shift map...");
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
    // 2 pi times the bandwidth is formed first, as the stored maps were.
    const double divisor = params->applyTwoPi == 1 ? kTwoPi15 * params->bandwidthPE : params->bandwidthPE;
    const double* in = b0->getdata();
    double* o = out->getdata();
    const long nvox = b0->getvoxelspervolume();
    for (long i = 0; i < nvox; ++i) o[i] = in[i] / divisor;
    log_summary(*out, "pixelshift map");
    save2amr(out, "_pixshift");
    // Last path component: "/data/fmap_b0.fmr" -> "fmap_b0_pixshift.fmr"
    const std::string name =
        help.getbasename(help.createFileName(out->getname(), "_pixshift").c_str(), false, false);
    hs::hsLogText(name.c_str());
    saveashs2fmr(out, name.c_str());  // a failed save is not reported; the map stays usable
    return out;
}

int writeacquisitionparamsfile(fieldmapparams* params) {
    if (params == nullptr) return 0;
    char path[kChooserPathSize] = "fieldmapparams.txt";
    // The dialog's answer is not checked: a cancelled dialog leaves the default name.
    hs::hsGetSaveFileName("Please select a folder to save the parameters", "fieldmapparams.txt",
                          "acquisition parameters (*.txt)", path);
    hs::hsLogText("Writing fieldmap parameters file...");
    std::ostringstream text;
    text << "~~~ fieldmap parameters file ~~~\n"
         << "\n"
         << "difference_in_echo_time_sec:\n"
         << params->echoTimeDiffSec << "\n"
         << "effective_pe_bandwidth_hz:\n"
         << params->bandwidthPE << "\n"
         << "phase_encoding_direction:\n"
         << params->phaseEncodingDir << "\n";
    if (path[0] == '\0' || !write_file_atomically(path, text.str())) {
        hs::hsLogText((std::string("Could not write the fieldmap parameters file \"") + path + "\".").c_str());
        return 0;
    }
    return 1;
}

}  // namespace warpmender
