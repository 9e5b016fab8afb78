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

datahandler<double>* unwrap_multigrid(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                      int cycles, int iterations) {
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
    std::snprintf(text, sizeof text, "Name of unwrapped differential phase image: %s",
                  p.differential_phase_image_name);
    log_line(text);
    std::snprintf(text, sizeof text, "FMG parameters valid: %s", yes(p.status == 89));
    log_line(text);
}

}  // namespace warpmender
