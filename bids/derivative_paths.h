// Where the corrected series, its field map and its shift map go in the derivatives folder, and their names.
#pragma once

#include <string>
#include <vector>

#include "bids/file_name.h"

namespace warpmender {
namespace bids {

// Every output keeps the source's entities; `desc` says what it is (a raw
// file carries no desc; one that does has it replaced). The field map and the
// shift map name the source's suffix in `desc`, so that a series and another
// of the same entities (a BOLD and its sbref) never share a map's name.
// Images are always .nii.gz, whatever the source's extension; each has a
// .json sidecar of the same name.
//
//   source, in BIDS_DIR/sub-01/ses-1/func/      outputs, in OUTPUT_DIR/sub-01/ses-1/func/
//   sub-01_ses-1_task-rest_run-1_bold.nii.gz -> sub-01_ses-1_task-rest_run-1_desc-preproc_bold.nii.gz
//                                               sub-01_ses-1_task-rest_run-1_desc-bold_fieldmap.nii.gz  (Hz)
//                                               sub-01_ses-1_task-rest_run-1_desc-bold_shiftmap.nii.gz  (voxels)
//   source, in BIDS_DIR/sub-02/dwi/             outputs, in OUTPUT_DIR/sub-02/dwi/
//   sub-02_dir-AP_dwi.nii                    -> sub-02_dir-AP_desc-preproc_dwi.nii.gz
//                                               sub-02_dir-AP_desc-dwi_fieldmap.nii.gz
//                                               sub-02_dir-AP_desc-dwi_shiftmap.nii.gz
//
// The field map is the one applied to this series (Hz, as the correction
// used it); the shift map is the displacement actually applied, in voxels
// along the phase-encoding axis, with the series' grid and affine.
//
// The run's report goes beside the subject's (and session's) other figures:
//   OUTPUT_DIR/sub-01/ses-1/figures/sub-01_ses-1_task-rest_run-1_desc-bold_report.html (and .json)
struct DerivativePaths {
    std::string run;     // the source's name without extension: "sub-01_ses-1_task-rest_run-1_bold"
    std::string folder;  // OUTPUT_DIR/sub-X[/ses-Y]/<datatype>
    std::string corrected, corrected_sidecar;
    std::string fieldmap, fieldmap_sidecar;
    std::string shift_map, shift_map_sidecar;
    std::string figures;  // OUTPUT_DIR/sub-X[/ses-Y]/figures
    std::string report_html, report_json;

    // The six files, images before their sidecars.
    std::vector<std::string> all() const;
    // The six files and the report's two: everything a corrected series leaves.
    std::vector<std::string> with_report() const;
};

// The base names alone, by the table above: "<entities>_desc-preproc_<suffix>.nii.gz" etc.
std::string corrected_name(const FileName& source);
std::string fieldmap_name(const FileName& source);
std::string shift_map_name(const FileName& source);
// "<entities>_desc-<suffix>_report.html"
std::string report_name(const FileName& source);

// The paths for a source of the given datatype ("func", "dwi", "perf"). The
// folder follows the source's sub and ses entities. Throws Error when the
// source has no sub entity or the datatype is empty.
DerivativePaths derivative_paths(const std::string& output_dir, const FileName& source, const std::string& datatype);

}  // namespace bids
}  // namespace warpmender
