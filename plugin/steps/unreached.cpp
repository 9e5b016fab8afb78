// Functions of the plug-in's interface that no command calls.
#include "plugin/steps/unreached.h"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "core/atomic_file.h"
#include "core/helper_tools.h"
#include "fieldmap/phase_to_shift.h"
#include "hostlink/host_binding.h"
#include "hostlink/log_sink.h"
#include "io/display_funcs.h"

namespace warpmender {

namespace {

void log_summary(const datahandler<double>& d, const char* label) { log_line(d.displayintensityvalues(label)); }

}  // namespace

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

const char* getconversionname(int code) {
    switch (code) {
        case 40: return "Polar to rectangular (phase+magn to cos+sin)";
        case 41: return "Rectangular to polar (cos+sin to phase+magn)";
        case 42: return "Scale to radians";
        case 43: return "Radians to Hertz";
        case 44: return "Fourier transform";
        case 45: return "Inverse Fourier transform";
        default: return "Conversion";
    }
}

void data2radians(datahandler<double>* phase, int method) {
    if (phase == nullptr) return;
    hs::hsLogText("Scale to radians between -pi and pi...");
    log_summary(*phase, "data");
    hs::hsLogText(displayFuncs().getScale2RadString(method));
    // Single precision and 0 included, taken before any element changes.
    const float mn = phase->getmin();
    const float mx = phase->getmax();
    const long nx = phase->getnx(), ny = phase->getny(), nz = phase->getnz();
    auto each = [&](auto f) {
        for (long z = 0; z < nz; ++z)
            for (long y = 0; y < ny; ++y)
                for (long x = 0; x < nx; ++x) phase->setvalue(x, y, z, f(phase->get(x, y, z)));
    };
    switch (method) {
        case 1:
            datahandler<double>::scaleintensities_nijdam(phase->getdata(), phase->getnrofelems(), -kPi15, kPi15);
            break;
        case 2:  // folds into -pi/2..pi/2, then lifts the negative half: 0..pi/2 or 3pi/2..2pi
            each([](double x) {
                double y = std::asin(std::sin(x));
                if (y < 0) y = y + kTwoPi15;
                return y;
            });
            break;
        case 3: {
            const float range = mx - mn;
            each([&](double x) { return (2.0 * (x - mn)) * kPi15 / range - kPi15; });
            break;
        }
        case 4: each([](double x) { return kPi15 * x / 2048.0; }); break;
        default: break;
    }
    log_summary(*phase, "data");
}

void float2radians(datahandler<float>* phase) {
    if (phase == nullptr) return;
    hs::hsLogText(phase->displayintensityvalues().c_str());
    datahandler<float>::scaleintensities_nijdam<float>(phase->getdata(), phase->getnrofelems(), -kPi15, kPi15);
    hs::hsLogText(phase->displayintensityvalues().c_str());
}

double msec2sec(double ms) { return ms * 0.001; }

double sec2msec(double s) { return s * 1000.0; }

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

// --- the parameter record of the interactive tool ---------------------------------------

std::string fmgparams_text(const fmgparams& p) {
    std::string t = "~~~ unwrapping (WFMG) parameters file ~~~\n\n";
    auto entry = [&t](const char* key, const std::string& value) {
        t += key;
        t += "\n";
        t += value;
        t += "\n";
    };
    entry("quality_mode:", p.quality_mode);
    entry("debug_flag:", std::to_string(p.debug_flag));
    entry("num_gaussseidel_iter:", std::to_string(p.num_gaussseidel_iter));
    entry("thresh_on_quality_map:", std::to_string(p.thresh_on_quality_map));
    entry("template_size:", std::to_string(p.template_size));
    entry("num_fmg_cycles:", std::to_string(p.num_fmg_cycles));
    entry("nrpix_thickening:", std::to_string(p.nrpix_thickening));
    entry("mask_file:", p.mask_file);
    entry("cross_corr_file:", p.cross_corr_file);
    entry("differential_phase_image_name:", p.differential_phase_image_name);
    t += "\n";
    return t;
}

std::string fmgparams_path(const fmgparams& p) {
    std::string dir = help.getfilepath(p.differential_phase_image_name);
    // getfilepath says "-1" for a bare name; "-1unwrapparams_fmg.txt" is no place for the file.
    if (dir == "-1") dir.clear();
    return dir + "unwrapparams_fmg.txt";
}

bool write_fmgparams(const fmgparams& p) {
    log_line("Start writing WFMG parameters file...");
    const std::string path = fmgparams_path(p);
    if (!write_file_atomically(path, fmgparams_text(p))) {
        log_line("Writing of WFMG parameters to disk did not succeed.");
        return false;
    }
    log_line("Wrote file " + path);
    return true;
}

void log_fmgparams(const fmgparams& p) {
    auto yes = [](bool b) { return b ? "yes" : "no"; };
    char text[1200];
    std::snprintf(text, sizeof text, "Quality mode for unwrapping: %s", p.quality_mode);
    log_line(text);
    std::snprintf(text, sizeof text, "Save intermediate files: %s\nNumber of Gauss-Seidel iterations: %i",
                  yes(p.debug_flag == 1), p.num_gaussseidel_iter);
    log_line(text);
    std::snprintf(text, sizeof text, "Apply threshold to quality map: %s\nTemplate size: %i",
                  yes(p.thresh_on_quality_map == 1), p.template_size);
    log_line(text);
    std::snprintf(text, sizeof text,
                  "Number of full-multigrid cycles: %i\nNumber of pixels for thickening quality mask: %i",
                  p.num_fmg_cycles, p.nrpix_thickening);
    log_line(text);
    std::snprintf(text, sizeof text, "Byte-file of masks for undefined phase values: %s", p.mask_file);
    log_line(text);
    std::snprintf(text, sizeof text, "Byte-file of cross-correlation values: %s", p.cross_corr_file);
    log_line(text);
    std::snprintf(text, sizeof text, "Name of unwrapped differential phase image: %s", p.differential_phase_image_name);
    log_line(text);
    std::snprintf(text, sizeof text, "FMG parameters valid: %s", yes(p.status == 89));
    log_line(text);
}

}  // namespace warpmender
