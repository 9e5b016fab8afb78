// A small BIDS study made from the sim's phantom, for the bids subcommand's process tests.
#pragma once

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/phantom_files.h"
#include "core/atomic_file.h"
#include "formats/nifti_document.h"
#include "sim/dataset.h"
#include "sim/fieldmap_scan.h"

namespace warpmender {
namespace test {

// Two phantoms on a 32 x 32 x 12 grid of 8 x 8 x 10 mm with 2 volumes, one
// distorted along j (code 3), one along j- (code 4); every field map is of
// the first phantom's field, every image on its grid:
//   dataset_description.json   Name "sim study"
//   task-rest_bold.json        EffectiveEchoSpacing (inherited by every rest run), TaskName
//   sub-01/func  task-rest bold         PE j (own sidecar)      <- phasediff, IntendedFor (relative)
//                task-motor bold        PE j, spacing, B0FieldSource "b0direct" <- direct map in Hz
//                task-nofmap bold       PE j, spacing           skipped: no field map
//   sub-01/dwi   dir-AP dwi (PE j), dir-PA dwi (PE j-), TotalReadoutTime
//                                       <- phase1/phase2, IntendedFor as bids:: URIs
//   sub-01/fmap  phasediff + magnitude1; acq-direct fieldmap + magnitude (Units Hz, B0FieldIdentifier b0direct)
//                on a coarser grid over the same field of view (16 x 16 x 8 of 16 x 16 x 15 mm);
//                acq-dwi phase1 + phase2 + magnitude1 (EchoTime of each)
//   sub-02/ses-1 func task-rest bold, stored as .nii  <- phasediff of ses-1, IntendedFor "ses-1/func/..."
//   sub-02/ses-2 func task-rest bold, B0FieldSource "s2map" <- direct map in rad/s (B0FieldIdentifier s2map)
// With faults (the default) also:
//   sub-02/ses-2 func task-motor bold   claimed by the rad/s map (B0FieldSource s2map) and by ses-2's
//                                       phasediff (IntendedFor): fails, naming both
//                func task-broken bold  EffectiveEchoSpacing 0.5 s: planned, refused by correct
struct SimStudy {
    std::string root;
    sim::Dataset along_j, along_j_minus, coarse;
};

namespace sim_study_detail {

inline void write_image(const std::string& path, const sim::Grid& g, const std::vector<float>& values, int nt) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const bool compressed = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    host::AtomicFile file(path, compressed ? ".nii.gz" : ".nii");
    host::write_nifti(host::phantom_document(g, values, nt, path, compressed), file);
    file.commit();
}

inline void write_json(const std::string& path, const nlohmann::json& j) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << j.dump(2) << "\n";
}

}  // namespace sim_study_detail

inline sim::DatasetParams sim_study_params(int pe_dir) {
    sim::DatasetParams p = host::demo_dataset_params(true);
    p.phantom.grid = sim::Grid{32, 32, 12, 8.0, 8.0, 10.0};
    p.epi.nt = 2;
    p.epi.pe_dir = pe_dir;
    return p;
}

inline SimStudy make_sim_study(const std::string& root, bool faults = true) {
    using nlohmann::json;
    using sim_study_detail::write_image;
    using sim_study_detail::write_json;
    SimStudy s;
    s.root = root;
    s.along_j = sim::make_dataset(sim_study_params(3));
    s.along_j_minus = sim::make_dataset(sim_study_params(4));
    sim::DatasetParams coarse = sim_study_params(3);
    coarse.phantom.grid = sim::Grid{16, 16, 8, 16.0, 16.0, 15.0};
    s.coarse = sim::make_dataset(coarse);
    const sim::Dataset& d = s.along_j;
    const sim::Grid& g = d.grid;
    const auto at = [&](const std::string& rel) { return root + "/" + rel; };
    const double spacing = d.effective_echo_spacing_s;
    const double te1 = 0.00492, te2 = te1 + d.echo_time_diff_ms * 1e-3;
    const std::vector<float> field = sim::to_float(d.field_hz);
    std::vector<float> field_rad_s(field.size());
    for (size_t i = 0; i < field.size(); ++i)
        field_rad_s[i] = static_cast<float>(d.field_hz[i] * 2.0 * 3.141592653589793);
    // Two phases whose difference is the phasediff: the first a ramp of a turn every 7 voxels along x,
    // the second the first plus the difference. As the sim's phasediff, each holds the stored range's
    // ends in its first and last voxel (air), so that scaling the stored values to radians is exact.
    std::vector<float> phase1(d.phase.size()), phase2(d.phase.size());
    const size_t n = d.phase.size();
    for (size_t i = 0; i < n; ++i) {
        const double diff = d.phase[i] * 3.141592653589793 / 4096.0;
        const double first = sim::wrap_phase(2.0 * 3.141592653589793 * static_cast<double>(i % g.nx) / 7.0);
        phase1[i] = static_cast<float>(std::round(sim::phase_to_stored(first)));
        phase2[i] = static_cast<float>(std::round(sim::phase_to_stored(sim::wrap_phase(first + diff))));
    }
    phase1[0] = phase2[0] = sim::kPhaseStoredMin;
    phase1[n - 1] = phase2[n - 1] = sim::kPhaseStoredMax;

    write_json(at("dataset_description.json"), {{"Name", "sim study"}, {"BIDSVersion", "1.10.0"}});
    write_json(at("task-rest_bold.json"), {{"EffectiveEchoSpacing", spacing}, {"TaskName", "rest"}});

    // sub-01
    write_image(at("sub-01/func/sub-01_task-rest_bold.nii.gz"), g, d.epi, d.nt);
    write_json(at("sub-01/func/sub-01_task-rest_bold.json"), {{"PhaseEncodingDirection", "j"}});
    write_image(at("sub-01/func/sub-01_task-motor_bold.nii.gz"), g, d.epi, d.nt);
    write_json(at("sub-01/func/sub-01_task-motor_bold.json"),
               {{"PhaseEncodingDirection", "j"}, {"EffectiveEchoSpacing", spacing}, {"B0FieldSource", "b0direct"}});
    write_image(at("sub-01/func/sub-01_task-nofmap_bold.nii.gz"), g, d.epi, d.nt);
    write_json(at("sub-01/func/sub-01_task-nofmap_bold.json"),
               {{"PhaseEncodingDirection", "j"}, {"EffectiveEchoSpacing", spacing}});
    const double readout = spacing * (g.ny - 1);
    write_image(at("sub-01/dwi/sub-01_dir-AP_dwi.nii.gz"), g, d.epi, d.nt);
    write_json(at("sub-01/dwi/sub-01_dir-AP_dwi.json"), {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", readout}});
    write_image(at("sub-01/dwi/sub-01_dir-PA_dwi.nii.gz"), g, s.along_j_minus.epi, d.nt);
    write_json(at("sub-01/dwi/sub-01_dir-PA_dwi.json"),
               {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", readout}});
    write_image(at("sub-01/fmap/sub-01_phasediff.nii.gz"), g, d.phase, 1);
    write_image(at("sub-01/fmap/sub-01_magnitude1.nii.gz"), g, d.magnitude, 1);
    write_json(at("sub-01/fmap/sub-01_phasediff.json"),
               {{"EchoTime1", te1}, {"EchoTime2", te2}, {"IntendedFor", "func/sub-01_task-rest_bold.nii.gz"}});
    write_image(at("sub-01/fmap/sub-01_acq-direct_fieldmap.nii.gz"), s.coarse.grid, sim::to_float(s.coarse.field_hz), 1);
    write_image(at("sub-01/fmap/sub-01_acq-direct_magnitude.nii.gz"), s.coarse.grid, s.coarse.magnitude, 1);
    write_json(at("sub-01/fmap/sub-01_acq-direct_fieldmap.json"), {{"Units", "Hz"}, {"B0FieldIdentifier", "b0direct"}});
    write_image(at("sub-01/fmap/sub-01_acq-dwi_phase1.nii.gz"), g, phase1, 1);
    write_image(at("sub-01/fmap/sub-01_acq-dwi_phase2.nii.gz"), g, phase2, 1);
    write_image(at("sub-01/fmap/sub-01_acq-dwi_magnitude1.nii.gz"), g, d.magnitude, 1);
    write_json(at("sub-01/fmap/sub-01_acq-dwi_phase1.json"),
               {{"EchoTime", te1},
                {"IntendedFor",
                 json::array({"bids::sub-01/dwi/sub-01_dir-AP_dwi.nii.gz", "bids::sub-01/dwi/sub-01_dir-PA_dwi.nii.gz"})}});
    write_json(at("sub-01/fmap/sub-01_acq-dwi_phase2.json"), {{"EchoTime", te2}});

    // sub-02, two sessions
    write_image(at("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii"), g, d.epi, d.nt);
    write_json(at("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.json"), {{"PhaseEncodingDirection", "j"}});
    write_image(at("sub-02/ses-1/fmap/sub-02_ses-1_phasediff.nii.gz"), g, d.phase, 1);
    write_image(at("sub-02/ses-1/fmap/sub-02_ses-1_magnitude1.nii.gz"), g, d.magnitude, 1);
    write_json(at("sub-02/ses-1/fmap/sub-02_ses-1_phasediff.json"),
               {{"EchoTime1", te1}, {"EchoTime2", te2}, {"IntendedFor", "ses-1/func/sub-02_ses-1_task-rest_bold.nii"}});
    write_image(at("sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz"), g, d.epi, d.nt);
    write_json(at("sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.json"),
               {{"PhaseEncodingDirection", "j"}, {"B0FieldSource", "s2map"}});
    write_image(at("sub-02/ses-2/fmap/sub-02_ses-2_fieldmap.nii.gz"), g, field_rad_s, 1);
    write_image(at("sub-02/ses-2/fmap/sub-02_ses-2_magnitude.nii.gz"), g, d.magnitude, 1);
    write_json(at("sub-02/ses-2/fmap/sub-02_ses-2_fieldmap.json"), {{"Units", "rad/s"}, {"B0FieldIdentifier", "s2map"}});
    if (faults) {
        write_image(at("sub-02/ses-2/func/sub-02_ses-2_task-motor_bold.nii.gz"), g, d.epi, d.nt);
        write_json(at("sub-02/ses-2/func/sub-02_ses-2_task-motor_bold.json"),
                   {{"PhaseEncodingDirection", "j"}, {"EffectiveEchoSpacing", spacing}, {"B0FieldSource", "s2map"}});
        write_image(at("sub-02/ses-2/func/sub-02_ses-2_task-broken_bold.nii.gz"), g, d.epi, d.nt);
        write_json(at("sub-02/ses-2/func/sub-02_ses-2_task-broken_bold.json"),
                   {{"PhaseEncodingDirection", "j"}, {"EffectiveEchoSpacing", 0.5}});
        write_image(at("sub-02/ses-2/fmap/sub-02_ses-2_acq-pd_phasediff.nii.gz"), g, d.phase, 1);
        write_image(at("sub-02/ses-2/fmap/sub-02_ses-2_acq-pd_magnitude1.nii.gz"), g, d.magnitude, 1);
        write_json(at("sub-02/ses-2/fmap/sub-02_ses-2_acq-pd_phasediff.json"),
                   {{"EchoTime1", te1},
                    {"EchoTime2", te2},
                    {"IntendedFor", json::array({"ses-2/func/sub-02_ses-2_task-motor_bold.nii.gz",
                                                 "ses-2/func/sub-02_ses-2_task-broken_bold.nii.gz"})}});
    }
    return s;
}

}  // namespace test
}  // namespace warpmender
