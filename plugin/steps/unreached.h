// Functions of the plug-in's interface that no command calls: kept with their names and behaviour,
// grouped here (the interactive tools' parameter files, unit conversions, display names).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "core/datahandler.h"
#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// Display names of the step codes: 52 "Unwrap phase map" ... 57, else "Fieldmap correction".
const char* getfieldmapcorrectionname(int code);
// Display names of the conversion codes 40..45, else "Conversion".
const char* getconversionname(int code);

// To radians by one of four methods (1 Nijdam, 2 Zimmermann, 3 Hutton, 4 Jenkinson), first volume.
void data2radians(datahandler<double>* phase, int method);
void float2radians(datahandler<float>* phase);
double msec2sec(double ms);
double sec2msec(double s);

// "fieldmapparams.txt" through the host's save dialog; 1 when written.
int writeacquisitionparamsfile(fieldmapparams* params);

// Parameters of the interactive multigrid unwrapping tool. The texts live in
// the record (bounded, always terminated), so copies stay independent.
struct fmgparams {
    char quality_mode[10] = "min_grad";  // min_grad, min_var, max_corr or max_pseu
    int debug_flag = 0;                  // 1: save intermediate files
    int num_gaussseidel_iter = 0;
    int thresh_on_quality_map = 0;  // 1: threshold the quality map into a mask
    int template_size = 0;
    int num_fmg_cycles = 0;
    int nrpix_thickening = 0;
    char mask_file[501] = "none";
    char cross_corr_file[501] = "none";
    char differential_phase_image_name[501] = "unknown";
    int status = 91;  // 89 valid, 91 incomplete or cancelled, 92 file could not be read
};

// Copies value into a text field, cut to fit.
template <size_t N>
void set_fmgparams_text(char (&field)[N], const char* value) {
    size_t n = 0;
    if (value != nullptr)
        while (n < N - 1 && value[n] != '\0') ++n;
    if (n > 0) std::memcpy(field, value, n);
    field[n] = '\0';
}

// The content of "unwrapparams_fmg.txt".
std::string fmgparams_text(const fmgparams& p);
// "dir/unwrapparams_fmg.txt" beside differential_phase_image_name; in the
// current directory when that name has no directory.
std::string fmgparams_path(const fmgparams& p);
// Writes the file (a temporary file renamed into place, so a failed write
// leaves none) and logs the outcome; true when written.
bool write_fmgparams(const fmgparams& p);
// The record's log form, one host log line per group.
void log_fmgparams(const fmgparams& p);

}  // namespace warpmender
