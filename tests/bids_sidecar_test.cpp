// Sidecars: safe reading (regular files, bounded size, no key twice) and the inheritance principle.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "bids/error.h"
#include "bids/inheritance.h"
#include "bids/json_file.h"
#include "tests/bids_test_dataset.h"

namespace warpmender {
namespace bids {
namespace {

// The message of the Error fn throws; "" when it throws none.
template <class Fn>
std::string error_of(Fn fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(BidsJsonFile, reads_an_object) {
    test::TinyDataset d("bids_json_ok");
    d.text("a.json", R"({"EchoTime": 0.005, "Nested": {"a": 1, "b": [{"a": 2}, {"a": 3}]}})");
    const auto j = read_json_object(d.path("a.json"));
    EXPECT_EQ(j["EchoTime"].get<double>(), 0.005);
    EXPECT_EQ(j["Nested"]["b"][1]["a"].get<int>(), 3);
}

TEST(BidsJsonFile, malformed_sidecars_are_refused_naming_the_file) {
    test::TinyDataset d("bids_json_bad");
    struct Case {
        const char* name;
        const char* content;
        const char* message;  // after "sidecar \"<path>\"" or "cannot read sidecar \"<path>\""
    };
    const Case cases[] = {
        {"dup.json", R"({"EchoTime": 0.005, "EchoTime": 0.007})", "the key \"EchoTime\" appears twice in one object"},
        {"dupnested.json", R"({"a": {"x": 1, "y": 2, "x": 3}})", "the key \"x\" appears twice in one object"},
        {"duplist.json", R"({"a": [{"x": 1}, {"x": 2, "x": 2}]})", "the key \"x\" appears twice in one object"},
        {"array.json", R"([1, 2])", "the top level must be an object, not array"},
        {"broken.json", R"({"a": )", "not valid JSON"},
        {"huge.json", R"({"a": 1e999})", "not valid JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        d.text(c.name, c.content);
        const std::string message = error_of([&] { read_json_object(d.path(c.name)); });
        EXPECT_NE(message.find("\"" + d.path(c.name) + "\""), std::string::npos) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

TEST(BidsJsonFile, the_same_key_in_sibling_objects_is_not_a_duplicate) {
    test::TinyDataset d("bids_json_siblings");
    d.text("s.json", R"({"a": {"x": 1}, "b": {"x": 2}, "x": [{"x": 1}, {"x": 2}]})");
    EXPECT_NO_THROW(read_json_object(d.path("s.json")));
}

TEST(BidsJsonFile, a_folder_or_a_fifo_is_not_a_regular_file) {
    test::TinyDataset d("bids_json_kinds");
    std::filesystem::create_directories(d.path("folder.json"));
    std::string m = error_of([&] { read_json_object(d.path("folder.json")); });
    EXPECT_NE(m.find("\"" + d.path("folder.json") + "\": not a regular file (a folder)"), std::string::npos) << m;
    ASSERT_EQ(::mkfifo(d.path("fifo.json").c_str(), 0600), 0);
    m = error_of([&] { read_json_object(d.path("fifo.json")); });  // must not block on the FIFO
    EXPECT_NE(m.find("\"" + d.path("fifo.json") + "\": not a regular file"), std::string::npos) << m;
    m = error_of([&] { read_json_object(d.path("absent.json")); });
    EXPECT_NE(m.find("\"" + d.path("absent.json") + "\": No such file"), std::string::npos) << m;
}

TEST(BidsJsonFile, a_file_over_16_mb_is_refused_before_reading) {
    test::TinyDataset d("bids_json_big");
    d.text("big.json", "{}");
    std::filesystem::resize_file(d.path("big.json"), kMaxJsonBytes + 1);  // sparse: no 16 MB written
    const std::string m = error_of([&] { read_json_object(d.path("big.json")); });
    EXPECT_NE(m.find("\"" + d.path("big.json") + "\": 16777217 bytes, more than the 16 MB"), std::string::npos) << m;
    // exactly at the limit it is read (the JSON reader ends the text at the first NUL of the padding)
    std::filesystem::resize_file(d.path("big.json"), kMaxJsonBytes);
    EXPECT_EQ(read_json_object(d.path("big.json")), nlohmann::json::object());
}

TEST(BidsJsonFile, a_symbolic_link_to_a_sidecar_is_followed) {
    test::TinyDataset d("bids_json_link");
    d.text("real.json", R"({"Units": "Hz"})");
    std::filesystem::create_symlink(d.path("real.json"), d.path("link.json"));
    EXPECT_EQ(read_json_object(d.path("link.json"))["Units"], "Hz");
}

// The inheritance principle on one dataset with sidecars at every level.
class BidsInheritance : public ::testing::Test {
protected:
    BidsInheritance() : d("bids_inheritance") {
        d.json("task-rest_bold.json",
               {{"EffectiveEchoSpacing", 0.0005}, {"PhaseEncodingDirection", "j-"}, {"Root", 1}});
        d.json("task-motor_bold.json", {{"EffectiveEchoSpacing", 0.0009}});
        d.json("sub-01/sub-01_task-rest_bold.json", {{"PhaseEncodingDirection", "j"}, {"Subject", 1}});
        d.json("sub-01/func/sub-01_task-rest_run-1_bold.json", {{"EffectiveEchoSpacing", 0.0006}});
        d.json("sub-01/func/sub-01_task-rest_run-1_sbref.json", {{"SbrefOnly", 1}});
        d.image("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
        d.image("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz");
        d.image("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    }
    test::TinyDataset d;
};

TEST_F(BidsInheritance, lower_levels_override_and_every_key_names_its_file) {
    SidecarReader reader(d.root());
    const Metadata& m = reader.metadata(d.path("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz"));
    EXPECT_EQ(m.values["EffectiveEchoSpacing"].get<double>(), 0.0006);
    EXPECT_EQ(m.source_of("EffectiveEchoSpacing"), d.path("sub-01/func/sub-01_task-rest_run-1_bold.json"));
    EXPECT_EQ(m.values["PhaseEncodingDirection"], "j");
    EXPECT_EQ(m.source_of("PhaseEncodingDirection"), d.path("sub-01/sub-01_task-rest_bold.json"));
    EXPECT_EQ(m.source_of("Root"), d.path("task-rest_bold.json"));
    EXPECT_FALSE(m.values.contains("SbrefOnly"));  // another suffix
    ASSERT_EQ(m.files.size(), 3u);
    EXPECT_EQ(m.files[0], d.path("task-rest_bold.json"));  // root level first
    EXPECT_EQ(m.find("Missing"), nullptr);
    EXPECT_EQ(m.source_of("Missing"), "");
}

TEST_F(BidsInheritance, a_root_level_task_sidecar_reaches_every_subject_and_session) {
    SidecarReader reader(d.root());
    const Metadata& run2 = reader.metadata(d.path("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz"));
    EXPECT_EQ(run2.values["EffectiveEchoSpacing"].get<double>(), 0.0005);
    EXPECT_EQ(run2.values["PhaseEncodingDirection"], "j");  // sub-01's level
    const Metadata& other = reader.metadata(d.path("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz"));
    EXPECT_EQ(other.values["PhaseEncodingDirection"], "j-");
    EXPECT_EQ(other.source_of("PhaseEncodingDirection"), d.path("task-rest_bold.json"));
    EXPECT_FALSE(other.values.contains("Subject"));
    EXPECT_EQ(other.files.size(), 1u);  // task-motor_bold.json does not apply
}

TEST_F(BidsInheritance, two_sidecars_at_one_level_are_an_error_naming_both) {
    d.json("sub-01/func/sub-01_run-2_bold.json", {{"A", 1}});
    d.json("sub-01/func/sub-01_task-rest_bold.json", {{"A", 2}});
    SidecarReader reader(d.root());
    const std::string m = error_of([&] { reader.metadata(d.path("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz")); });
    EXPECT_NE(m.find("\"" + d.path("sub-01/func/sub-01_run-2_bold.json") + "\""), std::string::npos) << m;
    EXPECT_NE(m.find("\"" + d.path("sub-01/func/sub-01_task-rest_bold.json") + "\""), std::string::npos) << m;
}

TEST_F(BidsInheritance, a_malformed_inherited_sidecar_is_named) {
    d.text("task-rest_bold.json", R"({"PhaseEncodingDirection": "j", "PhaseEncodingDirection": "j-"})");
    SidecarReader reader(d.root());
    const std::string m = error_of([&] { reader.metadata(d.path("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz")); });
    EXPECT_NE(m.find("\"" + d.path("task-rest_bold.json") + "\""), std::string::npos) << m;
    EXPECT_NE(m.find("\"PhaseEncodingDirection\" appears twice"), std::string::npos) << m;
}

TEST_F(BidsInheritance, a_file_outside_the_dataset_is_refused) {
    SidecarReader reader(d.root() + "/sub-02");
    EXPECT_THROW(reader.metadata(d.path("sub-01/func/sub-01_task-rest_run-2_bold.nii.gz")), Error);
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
