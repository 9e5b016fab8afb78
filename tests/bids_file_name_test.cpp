// BIDS file names: parsing, canonical order, formatting, and the derivatives' names and folders.
#include <gtest/gtest.h>

#include "bids/derivative_paths.h"
#include "bids/error.h"
#include "bids/file_name.h"

namespace warpmender {
namespace bids {
namespace {

struct NameCase {
    const char* input;
    bool valid;
    const char* entities;  // formatted, canonical order
    const char* suffix;
    const char* extension;
};

TEST(BidsFileName, parses_entities_suffix_and_extension) {
    const NameCase cases[] = {
        {"sub-01_ses-1_task-rest_run-2_bold.nii.gz", true, "sub-01_ses-1_task-rest_run-2", "bold", ".nii.gz"},
        {"sub-01_dir-AP_dwi.nii", true, "sub-01_dir-AP", "dwi", ".nii"},
        {"task-rest_bold.json", true, "task-rest", "bold", ".json"},
        {"sub-01_bold", true, "sub-01", "bold", ""},
        {"dwi.bval", true, "", "dwi", ".bval"},
        // out of order in, canonical order out
        {"sub-01_run-1_task-rest_bold.nii.gz", true, "sub-01_task-rest_run-1", "bold", ".nii.gz"},
        {"sub-01_echo-2_part-phase_acq-fast_ce-gd_rec-x_dir-PA_bold.nii", true,
         "sub-01_acq-fast_ce-gd_rec-x_dir-PA_echo-2_part-phase", "bold", ".nii"},
        // unknown keys after the known ones, in their own order
        {"sub-01_zz-1_aa-2_task-x_bold.nii", true, "sub-01_task-x_zz-1_aa-2", "bold", ".nii"},
        {"sub-01_task-re_st_bold.nii", false, "", "", ""},
        {"sub-01_sub-02_bold.nii", false, "", "", ""},
        {"sub-01_task-_bold.nii", false, "", "", ""},
        {"sub-01_-x_bold.nii", false, "", "", ""},
        {"sub-01_bo-ld.nii", false, "", "", ""},
        {"sub-01__bold.nii", false, "", "", ""},
        {"dataset_description.json", false, "", "", ""},
        {"README", false, "", "", ""},
        {"", false, "", "", ""},
        {"sub-01/func/sub-01_bold.nii", false, "", "", ""},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.input);
        const auto n = parse_file_name(c.input);
        ASSERT_EQ(n.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(format_entities(n->entities), c.entities);
        EXPECT_EQ(n->suffix, c.suffix);
        EXPECT_EQ(n->extension, c.extension);
    }
}

TEST(BidsFileName, formats_back_what_it_parsed_in_canonical_order) {
    const std::pair<const char*, const char*> cases[] = {
        {"sub-01_ses-1_task-rest_run-2_bold.nii.gz", "sub-01_ses-1_task-rest_run-2_bold.nii.gz"},
        {"sub-01_run-2_ses-1_bold.json", "sub-01_ses-1_run-2_bold.json"},
        {"dwi.bvec", "dwi.bvec"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(format_file_name(*parse_file_name(in)), out) << in;
}

TEST(BidsFileName, entity_rank_follows_the_entity_table) {
    const char* order[] = {"sub",       "ses",   "sample", "task", "tracksys", "acq",   "nuc",   "voi",
                           "ce",        "trc",   "stain",  "rec",  "dir",      "run",   "mod",   "echo",
                           "flip",      "inv",   "mt",     "part", "proc",     "hemi",  "space", "split",
                           "recording", "chunk", "seg",    "res",  "den",      "label", "desc"};
    for (int i = 0; i + 1 < static_cast<int>(sizeof(order) / sizeof(order[0])); ++i)
        EXPECT_LT(entity_rank(order[i]), entity_rank(order[i + 1])) << order[i];
    EXPECT_GT(entity_rank("unknownkey"), entity_rank("desc"));
}

TEST(BidsFileName, set_entity_inserts_at_the_canonical_place_and_replaces) {
    FileName n = *parse_file_name("sub-01_task-rest_bold.nii.gz");
    n.set_entity("run", "3");
    n.set_entity("ses", "2");
    n.set_entity("task", "motor");
    EXPECT_EQ(format_file_name(n), "sub-01_ses-2_task-motor_run-3_bold.nii.gz");
    n.remove_entity("ses");
    EXPECT_EQ(format_file_name(n), "sub-01_task-motor_run-3_bold.nii.gz");
    EXPECT_EQ(n.entity("run").value_or(""), "3");
    EXPECT_FALSE(n.entity("ses").has_value());
}

struct DerivativeCase {
    const char* source;
    const char* datatype;
    const char* folder;  // under OUTPUT_DIR
    const char* corrected;
    const char* fieldmap;
    const char* shift;
};

TEST(BidsDerivativePaths, names_keep_the_source_entities_and_say_what_they_are) {
    const DerivativeCase cases[] = {
        {"sub-01_ses-1_task-rest_run-1_bold.nii.gz", "func", "sub-01/ses-1/func",
         "sub-01_ses-1_task-rest_run-1_desc-preproc_bold.nii.gz",
         "sub-01_ses-1_task-rest_run-1_desc-bold_fieldmap.nii.gz",
         "sub-01_ses-1_task-rest_run-1_desc-bold_shiftmap.nii.gz"},
        {"sub-02_dir-AP_dwi.nii", "dwi", "sub-02/dwi", "sub-02_dir-AP_desc-preproc_dwi.nii.gz",
         "sub-02_dir-AP_desc-dwi_fieldmap.nii.gz", "sub-02_dir-AP_desc-dwi_shiftmap.nii.gz"},
        // an sbref of the same entities as its bold gets maps of its own
        {"sub-01_task-rest_sbref.nii.gz", "func", "sub-01/func", "sub-01_task-rest_desc-preproc_sbref.nii.gz",
         "sub-01_task-rest_desc-sbref_fieldmap.nii.gz", "sub-01_task-rest_desc-sbref_shiftmap.nii.gz"},
        {"sub-03_ses-pre_acq-mb4_echo-2_asl.nii.gz", "perf", "sub-03/ses-pre/perf",
         "sub-03_ses-pre_acq-mb4_echo-2_desc-preproc_asl.nii.gz",
         "sub-03_ses-pre_acq-mb4_echo-2_desc-asl_fieldmap.nii.gz",
         "sub-03_ses-pre_acq-mb4_echo-2_desc-asl_shiftmap.nii.gz"},
        // a desc already there is replaced, and placed last
        {"sub-01_task-rest_desc-raw_bold.nii.gz", "func", "sub-01/func", "sub-01_task-rest_desc-preproc_bold.nii.gz",
         "sub-01_task-rest_desc-bold_fieldmap.nii.gz", "sub-01_task-rest_desc-bold_shiftmap.nii.gz"},
    };
    for (const DerivativeCase& c : cases) {
        SCOPED_TRACE(c.source);
        const DerivativePaths p = derivative_paths("/out", *parse_file_name(c.source), c.datatype);
        const std::string folder = std::string("/out/") + c.folder;
        EXPECT_EQ(p.folder, folder);
        EXPECT_EQ(p.corrected, folder + "/" + c.corrected);
        EXPECT_EQ(p.fieldmap, folder + "/" + c.fieldmap);
        EXPECT_EQ(p.shift_map, folder + "/" + c.shift);
        const auto json_of = [](const std::string& image) { return image.substr(0, image.size() - 7) + ".json"; };
        EXPECT_EQ(p.corrected_sidecar, json_of(p.corrected));
        EXPECT_EQ(p.fieldmap_sidecar, json_of(p.fieldmap));
        EXPECT_EQ(p.shift_map_sidecar, json_of(p.shift_map));
        EXPECT_EQ(p.all().size(), 6u);
        EXPECT_NE(p.shift_map.find("shift"), std::string::npos);
    }
}

TEST(BidsDerivativePaths, source_without_subject_is_refused_naming_it) {
    try {
        derivative_paths("/out", *parse_file_name("task-rest_bold.nii.gz"), "func");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("\"task-rest_bold.nii.gz\": it has no sub- entity"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(derivative_paths("/out", *parse_file_name("sub-01_bold.nii.gz"), ""), Error);
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
