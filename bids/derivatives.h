// Writing one series' derivatives: its images under their BIDS names, and their sidecars.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "bids/correct_call.h"
#include "bids/plan.h"

namespace warpmender {
namespace bids {

// Who made the derivatives, as GeneratedBy names it.
struct Producer {
    std::string name = "warpmender";
    std::string version;
};

// The sidecars. Every path in them is a BIDS URI into the source dataset
// ("bids:raw:sub-01/func/sub-01_task-rest_bold.nii.gz"; dataset_files()
// links "raw" to BIDS_DIR). The corrected series' sidecar holds:
//   Description, Sources (the series, then the field-map images),
//   SkullStripped false, PhaseEncodingDirection (the series'),
//   FieldMap {Layout, MatchedBy},
//   AcquisitionValues {key: {Value, Source}}  what the plan read, and the sidecar of each
//   AppliedValues (CorrectCall::applied)      what correct was given, and how it was derived
//   CorrectionMethod, UnwrappingMethod, IntensityCorrection, GeneratedBy [{Name, Version}]
// The field map's: Units "Hz", Description, Sources, GeneratedBy; the
// shift map's: Units "voxels", PhaseEncodingDirection, Description, Sources, GeneratedBy.
nlohmann::json corrected_sidecar(const SeriesPlan& plan, const CorrectCall& call, const CorrectSettings& settings,
                                 const Producer& producer);
nlohmann::json fieldmap_sidecar(const SeriesPlan& plan, const Producer& producer);
nlohmann::json shift_map_sidecar(const SeriesPlan& plan, const Producer& producer);

// Puts a NIfTI image at target as .nii.gz: a .nii.gz copied as it is, a .nii
// compressed. Written under a temporary name and renamed when complete; the
// source is left as it was. Throws Error naming both files.
void install_image(const std::string& source, const std::string& target);

// Everything a corrected series leaves in the derivatives: checks that the
// three images are on the series' grid (the corrected one with its volumes),
// then installs them, writes the sidecars and copies the report's page and
// JSON (when correct wrote them) into the figures folder. Each file is
// complete or absent. Throws Error naming the file at fault.
void install_derivatives(const SeriesPlan& plan, const CorrectCall& call, const CorrectSettings& settings,
                         const CorrectOutputs& produced, const Producer& producer);

}  // namespace bids
}  // namespace warpmender
