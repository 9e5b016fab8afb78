// Small BIDS datasets written by the tests: tiny NIfTI images and JSON sidecars in a scratch folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <nlohmann/json.hpp>

#include "tests/test_support.h"

namespace warpmender {
namespace test {

// A scratch folder of this test alone (CTest runs tests in parallel processes):
// "<name>.<test suite>.<test name>", emptied.
inline std::string own_scratch_dir(const std::string& name) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return scratch_dir(t ? name + "." + t->test_suite_name() + "." + t->name() : name);
}

// A dataset rooted at a fresh scratch folder of its own; every path given relative to it.
class TinyDataset {
public:
    explicit TinyDataset(const std::string& name) : root_(own_scratch_dir(name)) {}

    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }

    // A float32 image of nx x ny x nz x nt voxels, each holding its index.
    void image(const std::string& relative, int nx = 5, int ny = 4, int nz = 3, int nt = 2) const {
        const std::string p = path(relative);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        int dims[8] = {nt > 1 ? 4 : 3, nx, ny, nz, nt, 1, 1, 1};
        nifti_image* nim = nifti_make_new_nim(dims, DT_FLOAT32, 1);
        ASSERT_NE(nim, nullptr);
        float* v = static_cast<float*>(nim->data);
        for (size_t i = 0; i < nim->nvox; ++i) v[i] = static_cast<float>(i);
        ASSERT_EQ(nifti_set_filenames(nim, p.c_str(), 0, 1), 0);
        nifti_image_write(nim);
        nifti_image_free(nim);
        ASSERT_TRUE(std::filesystem::exists(p)) << p;
    }

    void json(const std::string& relative, const nlohmann::json& j) const { text(relative, j.dump(2)); }

    void text(const std::string& relative, const std::string& content) const {
        const std::string p = path(relative);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }

private:
    std::string root_;
};

// The study most tests read (every image 5 x 4 x 3 x 2 float32 unless said):
//   task-rest_bold.json                 EffectiveEchoSpacing 0.0005, PhaseEncodingDirection j-
//   .bidsignore                         "*_task-ignored_*"
//   derivatives/, sourcedata/, code/    hold BOLD-named images that must not be found
//   sub-01/func  task-rest run-1 bold   own sidecar: PhaseEncodingDirection j (overrides the root)
//                task-rest run-2 bold   no sidecar of its own
//                task-rest run-1 sbref  not a series unless asked
//                task-motor bold        TotalReadoutTime 0.03, PE i, B0FieldSource "b0direct"
//                task-ignored bold      listed in .bidsignore
//   sub-01/fmap  phasediff + magnitude1/2 (6x5x4)   IntendedFor [run-1, run-2] (relative to sub-01/)
//                acq-direct fieldmap + magnitude     Units Hz, B0FieldIdentifier "b0direct"
//                acq-dwi phase1/phase2 + magnitude1/2  EchoTime 0.004 / 0.0065; IntendedFor as bids:: URIs:
//                                                    phase1 -> AP, phase2 -> [PA, AP]
//                dir-AP epi                          B0FieldIdentifier "pepolar"
//   sub-01/dwi   dir-AP dwi (PE j-), dir-PA dwi (PE j); TotalReadoutTime 0.05
//   sub-02/ses-1 func task-rest bold    B0FieldSource "ses1map"
//                fmap fieldmap + magnitude           Units rad/s, B0FieldIdentifier ["ses1map", "other"]
//   sub-02/ses-2 func task-rest run-1   claimed by the phasediff (IntendedFor) and by acq-b (B0FieldSource "ses2map")
//                func task-rest run-2   no field map
//                fmap phasediff + magnitude1         IntendedFor "ses-2/func/...run-1_bold.nii.gz"
//                fmap acq-b fieldmap + magnitude     Units Hz, B0FieldIdentifier "ses2map"
inline void build_study(const TinyDataset& d) {
    using nlohmann::json;
    d.json("dataset_description.json",
           {{"Name", "tiny study"}, {"BIDSVersion", "1.10.0"}, {"DatasetDOI", "doi:10.0/tiny"}});
    d.json("task-rest_bold.json",
           {{"EffectiveEchoSpacing", 0.0005}, {"PhaseEncodingDirection", "j-"}, {"TaskName", "rest"}});
    d.text(".bidsignore", "# not ours\n*_task-ignored_*\n");
    d.image("derivatives/sub-01/func/sub-01_task-rest_desc-preproc_bold.nii.gz");
    d.image("sourcedata/sub-01/func/sub-01_task-rest_bold.nii.gz");
    d.image("code/sub-01/func/sub-01_task-rest_bold.nii.gz");
    d.image(".hidden/sub-01/func/sub-01_task-rest_bold.nii.gz");

    d.image("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
    d.json("sub-01/func/sub-01_task-rest_run-1_bold.json", {{"PhaseEncodingDirection", "j"}});
    d.image("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz");
    d.image("sub-01/func/sub-01_task-rest_run-1_sbref.nii.gz");
    d.image("sub-01/func/sub-01_task-motor_bold.nii.gz");
    d.json("sub-01/func/sub-01_task-motor_bold.json",
           {{"TotalReadoutTime", 0.03}, {"PhaseEncodingDirection", "i"}, {"B0FieldSource", "b0direct"}});
    d.image("sub-01/func/sub-01_task-ignored_bold.nii.gz");
    for (const char* s : {"phasediff", "magnitude1", "magnitude2"})
        d.image(std::string("sub-01/fmap/sub-01_") + s + ".nii.gz", 6, 5, 4, 1);
    d.json("sub-01/fmap/sub-01_phasediff.json",
           {{"EchoTime1", 0.00492},
            {"EchoTime2", 0.00738},
            {"IntendedFor",
             json::array({"func/sub-01_task-rest_run-1_bold.nii.gz", "func/sub-01_task-rest_run-2_bold.nii.gz"})}});
    d.image("sub-01/fmap/sub-01_acq-direct_fieldmap.nii.gz", 6, 5, 4, 1);
    d.image("sub-01/fmap/sub-01_acq-direct_magnitude.nii.gz", 6, 5, 4, 1);
    d.json("sub-01/fmap/sub-01_acq-direct_fieldmap.json", {{"Units", "Hz"}, {"B0FieldIdentifier", "b0direct"}});
    for (const char* s : {"phase1", "phase2", "magnitude1", "magnitude2"})
        d.image(std::string("sub-01/fmap/sub-01_acq-dwi_") + s + ".nii.gz", 6, 5, 4, 1);
    d.json("sub-01/fmap/sub-01_acq-dwi_phase1.json",
           {{"EchoTime", 0.004}, {"IntendedFor", "bids::sub-01/dwi/sub-01_dir-AP_dwi.nii.gz"}});
    d.json("sub-01/fmap/sub-01_acq-dwi_phase2.json",
           {{"EchoTime", 0.0065},
            {"IntendedFor",
             json::array({"bids::sub-01/dwi/sub-01_dir-PA_dwi.nii.gz", "bids::sub-01/dwi/sub-01_dir-AP_dwi.nii.gz"})}});
    d.image("sub-01/fmap/sub-01_dir-AP_epi.nii.gz", 5, 4, 3, 1);
    d.json("sub-01/fmap/sub-01_dir-AP_epi.json", {{"B0FieldIdentifier", "pepolar"}, {"PhaseEncodingDirection", "j-"}});
    d.image("sub-01/dwi/sub-01_dir-AP_dwi.nii.gz");
    d.json("sub-01/dwi/sub-01_dir-AP_dwi.json", {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", 0.05}});
    d.image("sub-01/dwi/sub-01_dir-PA_dwi.nii.gz");
    d.json("sub-01/dwi/sub-01_dir-PA_dwi.json", {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", 0.05}});

    d.image("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    d.json("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.json", {{"B0FieldSource", "ses1map"}});
    d.image("sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.nii.gz", 6, 5, 4, 1);
    d.image("sub-02/ses-1/fmap/sub-02_ses-1_magnitude.nii.gz", 6, 5, 4, 1);
    d.json("sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.json",
           {{"Units", "rad/s"}, {"B0FieldIdentifier", json::array({"ses1map", "other"})}});
    d.image("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-1_bold.nii.gz");
    d.json("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-1_bold.json", {{"B0FieldSource", "ses2map"}});
    d.image("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-2_bold.nii.gz");
    d.image("sub-02/ses-2/fmap/sub-02_ses-2_phasediff.nii.gz", 6, 5, 4, 1);
    d.image("sub-02/ses-2/fmap/sub-02_ses-2_magnitude1.nii.gz", 6, 5, 4, 1);
    d.json("sub-02/ses-2/fmap/sub-02_ses-2_phasediff.json",
           {{"EchoTime1", 0.00492},
            {"EchoTime2", 0.00738},
            {"IntendedFor", "ses-2/func/sub-02_ses-2_task-rest_run-1_bold.nii.gz"}});
    d.image("sub-02/ses-2/fmap/sub-02_ses-2_acq-b_fieldmap.nii.gz", 6, 5, 4, 1);
    d.image("sub-02/ses-2/fmap/sub-02_ses-2_acq-b_magnitude.nii.gz", 6, 5, 4, 1);
    d.json("sub-02/ses-2/fmap/sub-02_ses-2_acq-b_fieldmap.json", {{"Units", "Hz"}, {"B0FieldIdentifier", "ses2map"}});
}

}  // namespace test
}  // namespace warpmender
