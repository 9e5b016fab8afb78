// Discovery: which series a dataset holds, which field map serves each, and which are skipped or failed, and why.
#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "bids/discovery.h"
#include "bids/error.h"
#include "tests/bids_test_dataset.h"

namespace warpmender {
namespace bids {
namespace {

// series (relative) -> "<field map name> | <layout>" or "skipped: <reason>" / "failed: <reason>"
std::map<std::string, std::string> outcome(const Discovery& d) {
    std::map<std::string, std::string> out;
    for (const Selected& s : d.selected)
        out[s.series.relative] = d.fieldmaps[s.fieldmap].name + " | " + layout_name(d.fieldmaps[s.fieldmap].layout);
    for (const Excluded& e : d.skipped) out[e.series.relative] = "skipped: " + e.reason;
    for (const Excluded& e : d.failed) out[e.series.relative] = "failed: " + e.reason;
    return out;
}

const Selected* find_selected(const Discovery& d, const std::string& relative) {
    for (const Selected& s : d.selected)
        if (s.series.relative == relative) return &s;
    return nullptr;
}

class BidsDiscovery : public ::testing::Test {
protected:
    BidsDiscovery() : d("bids_discovery") { test::build_study(d); }
    test::TinyDataset d;
};

TEST_F(BidsDiscovery, finds_every_series_and_its_field_map_in_every_layout) {
    const Discovery found = discover(d.root());
    const std::map<std::string, std::string> expected = {
        {"sub-01/func/sub-01_task-rest_run-1_bold.nii.gz", "sub-01/fmap/sub-01_phasediff.nii.gz | phasediff"},
        {"sub-01/func/sub-01_task-rest_run-2_bold.nii.gz", "sub-01/fmap/sub-01_phasediff.nii.gz | phasediff"},
        {"sub-01/func/sub-01_task-motor_bold.nii.gz", "sub-01/fmap/sub-01_acq-direct_fieldmap.nii.gz | fieldmap"},
        {"sub-01/dwi/sub-01_dir-AP_dwi.nii.gz", "sub-01/fmap/sub-01_acq-dwi_phase1.nii.gz | phase1/phase2"},
        {"sub-01/dwi/sub-01_dir-PA_dwi.nii.gz", "sub-01/fmap/sub-01_acq-dwi_phase1.nii.gz | phase1/phase2"},
        {"sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz",
         "sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.nii.gz | fieldmap"},
        {"sub-02/ses-2/func/sub-02_ses-2_task-rest_run-1_bold.nii.gz",
         "failed: claimed by 2 field maps: \"sub-02/ses-2/fmap/sub-02_ses-2_phasediff.nii.gz\" (IntendedFor in "
         "sub-02/ses-2/fmap/sub-02_ses-2_phasediff.json) and \"sub-02/ses-2/fmap/sub-02_ses-2_acq-b_fieldmap.nii.gz\" "
         "(B0FieldIdentifier \"ses2map\"); keep one"},
        {"sub-02/ses-2/func/sub-02_ses-2_task-rest_run-2_bold.nii.gz",
         "skipped: no field map: no IntendedFor names it and it has no B0FieldSource"},
    };
    EXPECT_EQ(outcome(found), expected);
    EXPECT_EQ(found.bids_dir, d.root());
}

TEST_F(BidsDiscovery, says_how_each_field_map_was_matched) {
    const Discovery found = discover(d.root());
    const struct {
        const char* series;
        const char* how;
    } cases[] = {
        {"sub-01/func/sub-01_task-rest_run-1_bold.nii.gz", "IntendedFor in sub-01/fmap/sub-01_phasediff.json"},
        {"sub-01/func/sub-01_task-motor_bold.nii.gz", "B0FieldIdentifier \"b0direct\""},
        // both phase images name AP: one field map, named by the first sidecar that does
        {"sub-01/dwi/sub-01_dir-AP_dwi.nii.gz", "IntendedFor in sub-01/fmap/sub-01_acq-dwi_phase1.json"},
        {"sub-01/dwi/sub-01_dir-PA_dwi.nii.gz", "IntendedFor in sub-01/fmap/sub-01_acq-dwi_phase2.json"},
        {"sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz", "B0FieldIdentifier \"ses1map\""},
    };
    for (const auto& c : cases) {
        const Selected* s = find_selected(found, c.series);
        ASSERT_NE(s, nullptr) << c.series;
        EXPECT_EQ(s->matched_by, c.how) << c.series;
    }
}

TEST_F(BidsDiscovery, field_map_members_and_series_labels_are_filled) {
    const Discovery found = discover(d.root());
    const Selected* ap = find_selected(found, "sub-01/dwi/sub-01_dir-AP_dwi.nii.gz");
    ASSERT_NE(ap, nullptr);
    const FieldMap& fm = found.fieldmaps[ap->fieldmap];
    EXPECT_EQ(fm.phase1, d.path("sub-01/fmap/sub-01_acq-dwi_phase1.nii.gz"));
    EXPECT_EQ(fm.phase2, d.path("sub-01/fmap/sub-01_acq-dwi_phase2.nii.gz"));
    EXPECT_EQ(fm.magnitude1, d.path("sub-01/fmap/sub-01_acq-dwi_magnitude1.nii.gz"));
    EXPECT_EQ(fm.magnitude2, d.path("sub-01/fmap/sub-01_acq-dwi_magnitude2.nii.gz"));
    EXPECT_TRUE(fm.phasediff.empty());
    EXPECT_EQ(fm.images().size(), 4u);
    EXPECT_EQ(fm.missing, "");
    EXPECT_EQ(ap->series.path, d.path("sub-01/dwi/sub-01_dir-AP_dwi.nii.gz"));
    EXPECT_EQ(ap->series.subject, "01");
    EXPECT_EQ(ap->series.session, "");
    EXPECT_EQ(ap->series.datatype, "dwi");
    const Selected* s2 = find_selected(found, "sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    ASSERT_NE(s2, nullptr);
    EXPECT_EQ(s2->series.session, "1");
    EXPECT_EQ(s2->series.field_sources, std::vector<std::string>{"ses1map"});
    EXPECT_EQ(found.fieldmaps[s2->fieldmap].identifiers, (std::vector<std::string>{"other", "ses1map"}));
}

TEST_F(BidsDiscovery, skips_what_lies_outside_subjects_hidden_ignored_or_not_a_series) {
    const Discovery found = discover(d.root());
    const auto all = outcome(found);
    for (const auto& [series, what] : all) {
        EXPECT_EQ(series.rfind("sub-", 0), 0u) << series;  // never derivatives/, sourcedata/, code/, .hidden/
        EXPECT_EQ(series.find("task-ignored"), std::string::npos) << series;
        EXPECT_EQ(series.find("sbref"), std::string::npos) << series;
        EXPECT_EQ(series.find("_epi"), std::string::npos) << series;
    }
    EXPECT_EQ(all.size(), 8u);
}

TEST_F(BidsDiscovery, sbref_is_corrected_when_asked) {
    DiscoveryOptions o;
    o.include_sbref = true;
    const auto all = outcome(discover(d.root(), o));
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-1_sbref.nii.gz"),
              "skipped: no field map: no IntendedFor names it and it has no B0FieldSource");
}

TEST_F(BidsDiscovery, participant_filter_with_or_without_prefix) {
    for (const char* label : {"02", "sub-02"}) {
        DiscoveryOptions o;
        o.participant_labels = {label};
        const auto all = outcome(discover(d.root(), o));
        EXPECT_EQ(all.size(), 3u) << label;
        for (const auto& [series, what] : all) EXPECT_EQ(series.rfind("sub-02/", 0), 0u) << series;
    }
    DiscoveryOptions both;
    both.participant_labels = {"sub-01", "02"};
    EXPECT_EQ(outcome(discover(d.root(), both)).size(), 8u);
}

TEST_F(BidsDiscovery, session_and_task_filters) {
    DiscoveryOptions o;
    o.participant_labels = {"02"};
    o.session_labels = {"ses-2"};
    auto all = outcome(discover(d.root(), o));
    EXPECT_EQ(all.size(), 2u);
    for (const auto& [series, what] : all) EXPECT_EQ(series.rfind("sub-02/ses-2/", 0), 0u) << series;

    DiscoveryOptions t;
    t.tasks = {"motor"};
    all = outcome(discover(d.root(), t));
    ASSERT_EQ(all.size(), 1u);  // the DWI series have no task: not chosen
    EXPECT_EQ(all.begin()->first, "sub-01/func/sub-01_task-motor_bold.nii.gz");
}

TEST_F(BidsDiscovery, unknown_participant_or_session_is_an_error_listing_what_exists) {
    DiscoveryOptions o;
    o.participant_labels = {"sub-07"};
    try {
        discover(d.root(), o);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("--participant-label \"sub-07\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("(subjects: 01, 02)"), std::string::npos) << e.what();
    }
    DiscoveryOptions s;
    s.participant_labels = {"01"};
    s.session_labels = {"1"};  // sub-01 has no sessions
    EXPECT_THROW(discover(d.root(), s), Error);
    DiscoveryOptions t;
    t.participant_labels = {"02"};
    t.tasks = {"task-motor"};  // sub-01's task only
    try {
        discover(d.root(), t);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "--task \"task-motor\": the chosen subjects have no series of task-motor (tasks: rest)"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(discover(d.path("nothing-here")), Error);
}

TEST_F(BidsDiscovery, b0_field_source_naming_only_epi_images_is_skipped_saying_so) {
    d.json("sub-01/func/sub-01_task-motor_bold.json",
           {{"TotalReadoutTime", 0.03}, {"PhaseEncodingDirection", "i"}, {"B0FieldSource", "pepolar"}});
    auto all = outcome(discover(d.root()));
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-motor_bold.nii.gz"),
              "skipped: B0FieldSource \"pepolar\" names only _epi images (reversed phase encoding), which warpmender "
              "does not use");
    d.json("sub-01/func/sub-01_task-motor_bold.json", {{"B0FieldSource", nlohmann::json::array({"nothing", "none"})}});
    all = outcome(discover(d.root()));
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-motor_bold.nii.gz"),
              "skipped: no field map: B0FieldSource \"nothing\", \"none\" matches no B0FieldIdentifier in sub-01");
}

TEST_F(BidsDiscovery, b0_field_identifier_of_another_session_does_not_match) {
    // ses-2's run-2 names ses-1's identifier: a field map of another session is not taken
    d.json("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-2_bold.json", {{"B0FieldSource", "ses1map"}});
    EXPECT_EQ(outcome(discover(d.root())).at("sub-02/ses-2/func/sub-02_ses-2_task-rest_run-2_bold.nii.gz"),
              "skipped: no field map: B0FieldSource \"ses1map\" matches no B0FieldIdentifier in sub-02/ses-2");
}

TEST_F(BidsDiscovery, incomplete_field_map_fails_its_series_naming_what_is_missing) {
    std::filesystem::remove(d.path("sub-01/fmap/sub-01_magnitude1.nii.gz"));
    const auto all = outcome(discover(d.root()));
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz"),
              "failed: its field map \"sub-01/fmap/sub-01_phasediff.nii.gz\" (IntendedFor in "
              "sub-01/fmap/sub-01_phasediff.json) lacks _magnitude1");
}

TEST_F(BidsDiscovery, malformed_sidecars_fail_the_series_they_touch_naming_the_file) {
    d.text("sub-01/func/sub-01_task-motor_bold.json", R"({"B0FieldSource": "b0direct", "B0FieldSource": "x"})");
    d.text("sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.json", R"({"Units": "Hz", "IntendedFor": 7})");
    const Discovery found = discover(d.root());
    const auto all = outcome(found);
    const std::string motor = all.at("sub-01/func/sub-01_task-motor_bold.nii.gz");
    EXPECT_EQ(motor.rfind("failed: ", 0), 0u) << motor;
    EXPECT_NE(motor.find(d.path("sub-01/func/sub-01_task-motor_bold.json")), std::string::npos) << motor;
    EXPECT_NE(motor.find("\"B0FieldSource\" appears twice"), std::string::npos) << motor;
    // the field map that cannot be read leaves its session's series failed, not merely skipped
    const std::string s1 = all.at("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    EXPECT_EQ(s1.rfind("failed: no usable field map; in sub-02/ses-1 these could not be used: "
                       "sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.nii.gz",
                       0),
              0u)
        << s1;
    EXPECT_NE(s1.find("\"IntendedFor\" must be a string or a list of strings"), std::string::npos) << s1;
    // everything else is still found
    EXPECT_EQ(found.selected.size(), 4u);
}

TEST_F(BidsDiscovery, intended_for_a_missing_file_or_outside_the_dataset_is_noted) {
    d.json("sub-01/fmap/sub-01_phasediff.json",
           {{"EchoTime1", 0.00492},
            {"EchoTime2", 0.00738},
            {"IntendedFor",
             nlohmann::json::array({"func/sub-01_task-rest_run-1_bold.nii.gz", "func/sub-01_task-gone_bold.nii.gz",
                                    "../../etc/passwd", "bids:other:sub-01/func/x_bold.nii.gz"})}});
    const Discovery found = discover(d.root());
    const std::string notes = [&] {
        std::string all;
        for (const std::string& n : found.notes) all += n + "\n";
        return all;
    }();
    EXPECT_NE(notes.find("IntendedFor \"func/sub-01_task-gone_bold.nii.gz\" names no file"), std::string::npos)
        << notes;
    EXPECT_NE(notes.find("IntendedFor \"../../etc/passwd\" lies outside BIDS_DIR"), std::string::npos) << notes;
    EXPECT_NE(notes.find("names another dataset"), std::string::npos) << notes;
    EXPECT_NE(find_selected(found, "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz"), nullptr);
    EXPECT_EQ(outcome(found).at("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz").rfind("skipped: no field map", 0),
              0u);
}

TEST_F(BidsDiscovery, a_phase_part_is_not_an_intensity_series) {
    d.image("sub-01/func/sub-01_task-rest_run-1_part-phase_bold.nii.gz");
    d.image("sub-01/func/sub-01_task-rest_run-3_part-mag_bold.nii.gz");
    const auto all = outcome(discover(d.root()));
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-1_part-phase_bold.nii.gz"),
              "skipped: part-phase is not an intensity image");
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-3_part-mag_bold.nii.gz").rfind("skipped: no field map", 0), 0u);
}

TEST_F(BidsDiscovery, one_series_as_nii_and_nii_gz_fails_naming_both) {
    d.image("sub-01/func/sub-01_task-rest_run-2_bold.nii");
    const auto all = outcome(discover(d.root()));
    const std::string both = "failed: one series stored twice (sub-01/func/sub-01_task-rest_run-2_bold.nii, "
                             "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz); keep one";
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-2_bold.nii"), both);
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz"), both);
    EXPECT_EQ(all.at("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz"),
              "sub-01/fmap/sub-01_phasediff.nii.gz | phasediff");
}

TEST_F(BidsDiscovery, a_file_in_the_wrong_subject_folder_is_noted_not_taken) {
    d.image("sub-01/func/sub-02_task-rest_bold.nii.gz");
    const Discovery found = discover(d.root());
    EXPECT_EQ(outcome(found).count("sub-01/func/sub-02_task-rest_bold.nii.gz"), 0u);
    EXPECT_NE(
        std::find(
            found.notes.begin(), found.notes.end(),
            "\"sub-01/func/sub-02_task-rest_bold.nii.gz\" is ignored: its sub-/ses- entities do not match its folder"),
        found.notes.end());
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
