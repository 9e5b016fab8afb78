// The plan of a dataset: values and their sources, memory, derivative paths, dry-run text and JSON; the
// derivatives' description; rerun completeness.
#include <filesystem>

#include <gtest/gtest.h>

#include "bids/dataset_description.h"
#include "bids/error.h"
#include "bids/plan.h"
#include "bids/rerun.h"
#include "tests/bids_test_dataset.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {
namespace {

const SeriesPlan* find_plan(const Plan& plan, const std::string& relative) {
    for (const SeriesPlan& p : plan.series)
        if (p.series.relative == relative) return &p;
    return nullptr;
}

std::string failure_of(const Plan& plan, const std::string& relative) {
    for (const Excluded& e : plan.failed)
        if (e.series.relative == relative) return e.reason;
    return "";
}

class BidsPlan : public ::testing::Test {
protected:
    BidsPlan() : d("bids_plan"), out(test::own_scratch_dir("bids_plan_out")) { test::build_study(d); }
    Plan plan() const { return make_plan(discover(d.root()), out); }
    test::TinyDataset d;
    std::string out;  // emptied for each test, like the dataset
};

TEST_F(BidsPlan, values_come_with_the_sidecar_each_came_from) {
    const Plan p = plan();
    ASSERT_EQ(p.series.size(), 6u) << plan_text(p);
    EXPECT_EQ(p.skipped.size(), 1u);
    EXPECT_EQ(p.failed.size(), 1u);

    const SeriesPlan* run1 = find_plan(p, "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
    ASSERT_NE(run1, nullptr);
    EXPECT_EQ(run1->echo_time1->key, "EchoTime1");
    EXPECT_EQ(run1->echo_time1->value, 0.00492);
    EXPECT_EQ(run1->echo_time1->source, "sub-01/fmap/sub-01_phasediff.json");
    EXPECT_EQ(run1->echo_time2->value, 0.00738);
    EXPECT_EQ(run1->effective_echo_spacing->value, 0.0005);
    EXPECT_EQ(run1->effective_echo_spacing->source, "task-rest_bold.json");  // inherited from the root
    EXPECT_FALSE(run1->total_readout_time.has_value());
    EXPECT_EQ(run1->phase_encoding_direction.value, "j");  // the run's own sidecar overrides the root's j-
    EXPECT_EQ(run1->phase_encoding_direction.source, "sub-01/func/sub-01_task-rest_run-1_bold.json");
    EXPECT_FALSE(run1->units.has_value());

    const SeriesPlan* run2 = find_plan(p, "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz");
    ASSERT_NE(run2, nullptr);
    EXPECT_EQ(run2->phase_encoding_direction.value, "j-");
    EXPECT_EQ(run2->phase_encoding_direction.source, "task-rest_bold.json");

    const SeriesPlan* motor = find_plan(p, "sub-01/func/sub-01_task-motor_bold.nii.gz");
    ASSERT_NE(motor, nullptr);
    EXPECT_EQ(motor->units->value, "Hz");
    EXPECT_EQ(motor->units->source, "sub-01/fmap/sub-01_acq-direct_fieldmap.json");
    EXPECT_FALSE(motor->echo_time1.has_value());
    EXPECT_EQ(motor->total_readout_time->value, 0.03);
    EXPECT_FALSE(motor->effective_echo_spacing.has_value());  // task-rest_bold.json does not apply to motor

    const SeriesPlan* ap = find_plan(p, "sub-01/dwi/sub-01_dir-AP_dwi.nii.gz");
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(ap->echo_time1->key, "EchoTime");
    EXPECT_EQ(ap->echo_time1->value, 0.004);
    EXPECT_EQ(ap->echo_time1->source, "sub-01/fmap/sub-01_acq-dwi_phase1.json");
    EXPECT_EQ(ap->echo_time2->value, 0.0065);
    EXPECT_EQ(ap->echo_time2->source, "sub-01/fmap/sub-01_acq-dwi_phase2.json");

    const SeriesPlan* s1 = find_plan(p, "sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1->units->value, "rad/s");
    EXPECT_EQ(s1->outputs.corrected,
              p.output_dir + "/sub-02/ses-1/func/sub-02_ses-1_task-rest_desc-preproc_bold.nii.gz");
}

TEST_F(BidsPlan, memory_is_declared_from_the_headers_by_the_stated_formula) {
    const Plan p = plan();
    const SeriesPlan* run1 = find_plan(p, "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
    ASSERT_NE(run1, nullptr);
    // series 5x4x3x2 float32: S = 120, s = 4, E = 60; field map 6x5x4: F = 120
    //   120 (4 + 16) + 32 * 60 + 96 * 120 + 64 MiB = 2400 + 1920 + 11520 + 67108864
    EXPECT_EQ(run1->memory.bytes, 67124704u);
    EXPECT_EQ(run1->memory.mebibytes(), 65u);  // 64.015 MiB, rounded up
    EXPECT_EQ(run1->memory.series.nt, 2);
    EXPECT_EQ(run1->memory.fieldmap.nx, 6);
}

TEST(BidsMemory, estimate_by_hand_for_a_typical_run) {
    ImageHeader series;
    series.nx = 64, series.ny = 64, series.nz = 33, series.nt = 200, series.bytes_per_voxel = 2;
    ImageHeader fmap;
    fmap.nx = 64, fmap.ny = 64, fmap.nz = 36, fmap.nt = 1, fmap.bytes_per_voxel = 2;
    // 27033600 * 18 + 135168 * 32 + 147456 * 96 + 67108864
    const MemoryEstimate m = estimate_memory(series, fmap);
    EXPECT_EQ(m.bytes, 486604800ull + 4325376ull + 14155776ull + 67108864ull);
    EXPECT_EQ(m.mebibytes(), 546u);  // 545.69 MiB, rounded up
}

TEST(BidsMemory, header_of_a_file_that_is_not_nifti_is_refused_naming_it) {
    test::TinyDataset d("bids_memory_bad");
    d.text("x.nii.gz", "not a nifti");
    EXPECT_THROW(read_image_header(d.path("x.nii.gz")), Error);
    try {
        read_image_header(d.path("x.nii.gz"));
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(d.path("x.nii.gz")), std::string::npos);
    }
}

TEST_F(BidsPlan, inputs_hold_images_and_every_sidecar_that_applied) {
    const Plan p = plan();
    const SeriesPlan* run2 = find_plan(p, "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz");
    ASSERT_NE(run2, nullptr);
    const std::vector<std::string> expected = {d.path("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz"),
                                               d.path("task-rest_bold.json"),
                                               d.path("sub-01/fmap/sub-01_phasediff.nii.gz"),
                                               d.path("sub-01/fmap/sub-01_phasediff.json"),
                                               d.path("sub-01/fmap/sub-01_magnitude1.nii.gz"),
                                               d.path("sub-01/fmap/sub-01_magnitude2.nii.gz")};
    EXPECT_EQ(run2->inputs, expected);
}

struct BadValue {
    const char* file;  // sidecar rewritten
    const char* content;
    const char* series;
    const char* reason;  // part of the failure, with the file named
};

TEST_F(BidsPlan, missing_or_wrong_values_fail_the_series_naming_key_and_file) {
    const BadValue cases[] = {
        {"sub-01/fmap/sub-01_phasediff.json",
         R"({"EchoTime1": 4.92, "EchoTime2": 7.38, "IntendedFor": "func/sub-01_task-rest_run-1_bold.nii.gz"})",
         "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz",
         "sidecar \"sub-01/fmap/sub-01_phasediff.json\": \"EchoTime1\" is 4.92, not a time in seconds between 0 and 1"},
        {"sub-01/fmap/sub-01_phasediff.json",
         R"({"EchoTime1": 0.007, "EchoTime2": 0.005, "IntendedFor": "func/sub-01_task-rest_run-1_bold.nii.gz"})",
         "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz",
         "the echo times of \"sub-01/fmap/sub-01_phasediff.nii.gz\" do not increase"},
        {"sub-01/fmap/sub-01_phasediff.json",
         R"({"EchoTime2": 0.007, "IntendedFor": "func/sub-01_task-rest_run-1_bold.nii.gz"})",
         "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz",
         "\"EchoTime1\" of \"sub-01/fmap/sub-01_phasediff.nii.gz\" is in no sidecar (searched "
         "\"sub-01/fmap/sub-01_phasediff.json\")"},
        {"sub-01/fmap/sub-01_acq-direct_fieldmap.json", R"({"B0FieldIdentifier": "b0direct"})",
         "sub-01/func/sub-01_task-motor_bold.nii.gz",
         "\"Units\" of the field map \"sub-01/fmap/sub-01_acq-direct_fieldmap.nii.gz\" is in no sidecar"},
        {"sub-01/fmap/sub-01_acq-direct_fieldmap.json", R"({"Units": "T", "B0FieldIdentifier": "b0direct"})",
         "sub-01/func/sub-01_task-motor_bold.nii.gz",
         "sidecar \"sub-01/fmap/sub-01_acq-direct_fieldmap.json\": \"Units\" is \"T\"; a field map must be in \"Hz\" "
         "or \"rad/s\""},
        {"sub-01/func/sub-01_task-motor_bold.json", R"({"PhaseEncodingDirection": "i", "B0FieldSource": "b0direct"})",
         "sub-01/func/sub-01_task-motor_bold.nii.gz",
         "neither \"EffectiveEchoSpacing\" nor \"TotalReadoutTime\" of \"sub-01/func/sub-01_task-motor_bold.nii.gz\" "
         "is in a "
         "sidecar (searched \"sub-01/func/sub-01_task-motor_bold.json\")"},
        {"sub-01/func/sub-01_task-motor_bold.json",
         R"({"TotalReadoutTime": 0.03, "PhaseEncodingDirection": "y", "B0FieldSource": "b0direct"})",
         "sub-01/func/sub-01_task-motor_bold.nii.gz",
         "sidecar \"sub-01/func/sub-01_task-motor_bold.json\": \"PhaseEncodingDirection\" is \"y\"; expected one of i, "
         "i-, j, j-, k, k-"},
        {"task-rest_bold.json", R"({"EffectiveEchoSpacing": 0.0005})", "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz",
         "\"PhaseEncodingDirection\" of \"sub-01/func/sub-01_task-rest_run-2_bold.nii.gz\" is in no sidecar (searched "
         "\"task-rest_bold.json\")"},
        {"task-rest_bold.json", R"({"EffectiveEchoSpacing": "0.0005", "PhaseEncodingDirection": "j"})",
         "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz",
         "sidecar \"task-rest_bold.json\": \"EffectiveEchoSpacing\" must be a number of seconds"},
    };
    for (const BadValue& c : cases) {
        SCOPED_TRACE(c.reason);
        test::TinyDataset fresh("bids_plan_bad");
        test::build_study(fresh);
        fresh.text(c.file, c.content);
        const Plan p = make_plan(discover(fresh.root()), fresh.root() + "/derivatives/out");
        EXPECT_EQ(find_plan(p, c.series), nullptr);
        const std::string reason = failure_of(p, c.series);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST_F(BidsPlan, dry_run_text_lists_series_values_sources_and_reasons) {
    const std::string text = plan_text(plan());
    const char* expected[] = {
        "6 to correct, 1 skipped, 1 failed\n",
        "\nsub-01/func/sub-01_task-rest_run-1_bold.nii.gz\n"
        "  field map   phasediff: sub-01/fmap/sub-01_phasediff.nii.gz, sub-01/fmap/sub-01_magnitude1.nii.gz, "
        "sub-01/fmap/sub-01_magnitude2.nii.gz\n"
        "  matched by  IntendedFor in sub-01/fmap/sub-01_phasediff.json\n"
        "  EchoTime1               0.00492 s  (sub-01/fmap/sub-01_phasediff.json)\n"
        "  EchoTime2               0.00738 s  (sub-01/fmap/sub-01_phasediff.json)\n"
        "  EffectiveEchoSpacing    0.0005 s  (task-rest_bold.json)\n"
        "  PhaseEncodingDirection  j  (sub-01/func/sub-01_task-rest_run-1_bold.json)\n"
        "  outputs     sub-01/func/sub-01_task-rest_run-1_desc-preproc_bold.nii.gz\n"
        "              sub-01/func/sub-01_task-rest_run-1_desc-bold_fieldmap.nii.gz\n"
        "              sub-01/func/sub-01_task-rest_run-1_desc-bold_shiftmap.nii.gz  (and a .json beside each)\n"
        "  memory      65 MiB  (series 5x4x3x2 at 4 B, field map 6x5x4; S (s + 16) + 32 E + 96 F + 64 MiB)\n",
        "  EchoTime (phase1)       0.004 s  (sub-01/fmap/sub-01_acq-dwi_phase1.json)\n",
        "  Units                   rad/s  (sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.json)\n",
        "\nskipped\n  sub-02/ses-2/func/sub-02_ses-2_task-rest_run-2_bold.nii.gz: no field map: no IntendedFor names "
        "it "
        "and it has no B0FieldSource\n",
        "\nfailed\n  sub-02/ses-2/func/sub-02_ses-2_task-rest_run-1_bold.nii.gz: claimed by 2 field maps: ",
    };
    for (const char* e : expected) EXPECT_NE(text.find(e), std::string::npos) << e << "\n--- in ---\n" << text;
}

TEST_F(BidsPlan, json_holds_absolute_paths_values_outputs_and_memory) {
    const Plan p = plan();
    const nlohmann::json j = plan_json(p);
    EXPECT_EQ(j["bids_dir"], d.root());
    EXPECT_EQ(j["memory_formula"], "S (s + 16) + 32 E + 96 F + 64 MiB");
    ASSERT_EQ(j["series"].size(), 6u);
    const nlohmann::json* ap = nullptr;
    for (const auto& s : j["series"])
        if (s["series"] == d.path("sub-01/dwi/sub-01_dir-AP_dwi.nii.gz")) ap = &s;
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ((*ap)["datatype"], "dwi");
    EXPECT_EQ((*ap)["subject"], "01");
    EXPECT_EQ((*ap)["fieldmap"]["layout"], "phase1/phase2");
    EXPECT_EQ((*ap)["fieldmap"]["images"]["phase2"], d.path("sub-01/fmap/sub-01_acq-dwi_phase2.nii.gz"));
    EXPECT_FALSE((*ap)["fieldmap"]["images"].contains("phasediff"));
    EXPECT_EQ((*ap)["values"]["EchoTime2"]["value"], 0.0065);
    EXPECT_EQ((*ap)["values"]["EchoTime2"]["key"], "EchoTime");
    EXPECT_EQ((*ap)["values"]["EchoTime2"]["source"], "sub-01/fmap/sub-01_acq-dwi_phase2.json");
    EXPECT_EQ((*ap)["values"]["TotalReadoutTime"]["value"], 0.05);
    EXPECT_EQ((*ap)["outputs"]["shift_map"], p.output_dir + "/sub-01/dwi/sub-01_dir-AP_desc-dwi_shiftmap.nii.gz");
    EXPECT_EQ((*ap)["memory"]["mb"], 65);
    EXPECT_EQ(j["skipped"].size(), 1u);
    EXPECT_EQ(j["failed"][0]["series"], d.path("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-1_bold.nii.gz"));
    // what plan_json writes, a reader takes back
    EXPECT_EQ(nlohmann::json::parse(j.dump()), j);
}

TEST_F(BidsPlan, derivative_description_names_the_program_and_the_source) {
    const nlohmann::json j = derivative_description(d.root(), "1.1.0", std::string("https://example.org/warpmender"));
    const nlohmann::json expected = {
        {"Name", "warpmender: tiny study"},
        {"BIDSVersion", "1.10.0"},
        {"DatasetType", "derivative"},
        {"GeneratedBy",
         {{{"Name", "warpmender"}, {"Version", "1.1.0"}, {"CodeURL", "https://example.org/warpmender"}}}},
        {"SourceDatasets", {{{"URL", "file://" + d.root()}, {"DOI", "doi:10.0/tiny"}}}}};
    EXPECT_EQ(j, expected);
    fs::remove(d.path("dataset_description.json"));
    const nlohmann::json bare = derivative_description(d.root() + "/", "2.0");
    EXPECT_EQ(bare["Name"], "warpmender");
    EXPECT_FALSE(bare["GeneratedBy"][0].contains("CodeURL"));
    EXPECT_EQ(bare["SourceDatasets"], nlohmann::json::array({{{"URL", "file://" + d.root()}}}));
    EXPECT_THROW(derivative_description(d.root(), ""), Error);
    d.text("dataset_description.json", R"({"Name": "a", "Name": "b"})");
    EXPECT_THROW(derivative_description(d.root(), "1.1.0"), Error);
}

TEST_F(BidsPlan, rerun_is_complete_only_when_every_output_is_newer_than_every_input) {
    const Plan p = plan();
    const SeriesPlan* run2 = find_plan(p, "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz");
    ASSERT_NE(run2, nullptr);
    const fs::file_time_type base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    const auto at = [&](int seconds) { return base + std::chrono::seconds(seconds); };
    for (const std::string& in : run2->inputs) fs::last_write_time(in, at(0));

    RerunState s = rerun_state(*run2);
    EXPECT_FALSE(s.complete);
    EXPECT_EQ(s.reason, "missing \"" + run2->outputs.corrected + "\"");

    fs::create_directories(run2->outputs.folder);
    for (const std::string& out : run2->outputs.all()) {
        std::ofstream(out) << "x";
        fs::last_write_time(out, at(10));
    }
    fs::remove(run2->outputs.shift_map_sidecar);
    EXPECT_EQ(rerun_state(*run2).reason, "missing \"" + run2->outputs.shift_map_sidecar + "\"");
    std::ofstream(run2->outputs.shift_map_sidecar) << "x";
    fs::last_write_time(run2->outputs.shift_map_sidecar, at(10));
    s = rerun_state(*run2);
    EXPECT_TRUE(s.complete) << s.reason;
    EXPECT_EQ(s.reason, "");

    // an output as new as its newest input is up to date (make's rule)
    fs::last_write_time(run2->outputs.fieldmap, at(0));
    EXPECT_TRUE(rerun_state(*run2).complete);

    // the inherited root sidecar edited after the run: the series is due again
    fs::last_write_time(d.path("task-rest_bold.json"), at(20));
    s = rerun_state(*run2);
    EXPECT_FALSE(s.complete);
    EXPECT_EQ(s.reason, "\"" + run2->outputs.corrected + "\" is older than \"" + d.path("task-rest_bold.json") + "\"");

    // so is a field-map image
    fs::last_write_time(d.path("task-rest_bold.json"), at(0));
    fs::last_write_time(d.path("sub-01/fmap/sub-01_magnitude2.nii.gz"), at(11));
    EXPECT_FALSE(rerun_state(*run2).complete);
    fs::last_write_time(d.path("sub-01/fmap/sub-01_magnitude2.nii.gz"), at(0));
    EXPECT_TRUE(rerun_state(*run2).complete);

    // an input gone: not complete, the input named
    fs::remove(d.path("sub-01/fmap/sub-01_magnitude2.nii.gz"));
    s = rerun_state(*run2);
    EXPECT_FALSE(s.complete);
    EXPECT_NE(s.reason.find(d.path("sub-01/fmap/sub-01_magnitude2.nii.gz")), std::string::npos) << s.reason;
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
