// warpmender bids run as a process on a small BIDS study made by the sim: plan, derivatives, reruns, Snakemake.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include <nifti1_io.h>

#include "tests/bids_sim_dataset.h"
#include "tests/command_run.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using Ran = test::RunResult;
using test::quote;
using test::slurp;

// Another program (python3, snakemake) run as test::run_command runs the command.
Ran run_program(const std::string& program, const std::vector<std::string>& args) {
    static int counter = 0;
    const std::string base = std::string(WARPMENDER_BINARY_DIR) + "/test-scratch/bids" + std::to_string(getpid()) +
                             "_" + std::to_string(counter++);
    std::string cmd = quote(program);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " </dev/null >" + quote(base + ".out") + " 2>" + quote(base + ".err");
    const int raw = std::system(cmd.c_str());
    Ran r;
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return r;
}

Ran bids(std::vector<std::string> args) {
    args.insert(args.begin(), "bids");
    return test::run_command(args);
}

// Every file under dir (relative path -> content), links and folders aside.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).generic_string()] = slurp(e.path().string());
    return out;
}

std::set<std::string> names(const std::map<std::string, std::string>& t) {
    std::set<std::string> s;
    for (const auto& [k, v] : t) s.insert(k);
    return s;
}

json read_json(const std::string& path) { return json::parse(slurp(path)); }

// A float NIfTI's voxels.
std::vector<float> voxels(const std::string& path) {
    nifti_image* im = nifti_image_read(path.c_str(), 1);
    std::vector<float> v;
    if (im == nullptr) return v;
    if (im->datatype == DT_FLOAT32) v.assign(static_cast<float*>(im->data), static_cast<float*>(im->data) + im->nvox);
    nifti_image_free(im);
    return v;
}

// The eight files a corrected series leaves, relative to OUTPUT_DIR.
std::set<std::string> derivatives_of(const std::string& folder, const std::string& entities, const std::string& suffix) {
    const std::string figures = folder.substr(0, folder.rfind('/')) + "/figures/";
    return {folder + "/" + entities + "_desc-preproc_" + suffix + ".nii.gz",
            folder + "/" + entities + "_desc-preproc_" + suffix + ".json",
            folder + "/" + entities + "_desc-" + suffix + "_fieldmap.nii.gz",
            folder + "/" + entities + "_desc-" + suffix + "_fieldmap.json",
            folder + "/" + entities + "_desc-" + suffix + "_shiftmap.nii.gz",
            folder + "/" + entities + "_desc-" + suffix + "_shiftmap.json",
            figures + entities + "_desc-" + suffix + "_report.html",
            figures + entities + "_desc-" + suffix + "_report.json"};
}

// Every derivative of the study's series that a field map serves without fault.
std::set<std::string> expected_derivatives(bool sub01, bool sub02) {
    std::set<std::string> all = {"dataset_description.json", "index.html"};
    std::vector<std::set<std::string>> parts;
    if (sub01) {
        parts.push_back(derivatives_of("sub-01/func", "sub-01_task-rest", "bold"));
        parts.push_back(derivatives_of("sub-01/func", "sub-01_task-motor", "bold"));
        parts.push_back(derivatives_of("sub-01/dwi", "sub-01_dir-AP", "dwi"));
        parts.push_back(derivatives_of("sub-01/dwi", "sub-01_dir-PA", "dwi"));
    }
    if (sub02) {
        parts.push_back(derivatives_of("sub-02/ses-1/func", "sub-02_ses-1_task-rest", "bold"));
        parts.push_back(derivatives_of("sub-02/ses-2/func", "sub-02_ses-2_task-rest", "bold"));
    }
    for (const auto& p : parts) all.insert(p.begin(), p.end());
    return all;
}

class BidsCommand : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch_ = test::scratch_dir(std::string("bids-command.") + t->name());
        study_ = test::make_sim_study(scratch_ + "/study", faults());
    }
    virtual bool faults() const { return true; }
    std::string out(const std::string& name) const { return scratch_ + "/" + name; }
    std::string series(const std::string& rel) const { return study_.root + "/" + rel; }

    std::string scratch_;
    test::SimStudy study_;
};

class CleanStudy : public BidsCommand {
protected:
    bool faults() const override { return false; }
};

TEST_F(BidsCommand, dry_run_shows_each_series_its_field_map_values_and_what_is_skipped_or_failed) {
    const Ran r = bids({study_.root, out("deriv"), "participant", "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* text : {"sub-01/func/sub-01_task-rest_bold.nii.gz", "phasediff", "phase1/phase2", "fieldmap",
                             "IntendedFor in sub-01/fmap/sub-01_phasediff.json", "B0FieldIdentifier",
                             "task-rest_bold.json", "sub-01_task-nofmap_bold.nii.gz", "sub-02_ses-2_task-motor_bold"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    EXPECT_FALSE(fs::exists(out("deriv"))) << "a dry run writes nothing";

    const Ran j = bids({study_.root, out("deriv"), "participant", "--dry-run", "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    const json plan = json::parse(j.out);
    ASSERT_EQ(plan["series"].size(), 7u) << j.out;  // four of sub-01, three of sub-02 (the broken one planned)
    std::set<std::string> runs;
    for (const json& s : plan["series"]) {
        runs.insert(s["run"].get<std::string>());
        EXPECT_GT(s["memory"]["mb"].get<int>(), 64);
        EXPECT_FALSE(s["up_to_date"].get<bool>());
    }
    EXPECT_EQ(runs, (std::set<std::string>{"sub-01_task-rest_bold", "sub-01_task-motor_bold", "sub-01_dir-AP_dwi",
                                           "sub-01_dir-PA_dwi", "sub-02_ses-1_task-rest_bold",
                                           "sub-02_ses-2_task-rest_bold", "sub-02_ses-2_task-broken_bold"}));
    ASSERT_EQ(plan["skipped"].size(), 1u);
    EXPECT_NE(plan["skipped"][0]["series"].get<std::string>().find("task-nofmap"), std::string::npos);
    ASSERT_EQ(plan["failed"].size(), 1u);
    const std::string why = plan["failed"][0]["reason"];
    EXPECT_NE(why.find("sub-02_ses-2_acq-pd_phasediff"), std::string::npos) << why;
    EXPECT_NE(why.find("sub-02_ses-2_fieldmap"), std::string::npos) << why;
    EXPECT_EQ(plan["work_dir"], out("deriv") + "/.warpmender-work");
}

TEST_F(BidsCommand, refuses_bad_usage_with_status_2) {
    EXPECT_EQ(bids({study_.root, out("d"), "group"}).status, 2);
    const Ran inside = bids({study_.root, study_.root + "/sub-01/deriv", "participant"});
    EXPECT_EQ(inside.status, 2);
    EXPECT_NE(inside.err.find("lies in the dataset"), std::string::npos) << inside.err;
    EXPECT_EQ(bids({study_.root, study_.root, "participant"}).status, 2);
    EXPECT_EQ(bids({study_.root, out("d"), "participant", "--json"}).status, 2) << "--json needs --dry-run";
    EXPECT_EQ(bids({study_.root, out("d"), "participant", "--nprocs", "0"}).status, 2);
    const Ran unknown = bids({study_.root, out("d"), "participant", "--run", "sub-09_task-rest_bold"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("sub-09_task-rest_bold"), std::string::npos) << unknown.err;
    const Ran label = bids({study_.root, out("d"), "participant", "--participant-label", "07"});
    EXPECT_EQ(label.status, 2);
    EXPECT_NE(label.err.find("07"), std::string::npos) << label.err;
    EXPECT_FALSE(fs::exists(study_.root + "/sub-01/deriv"));
}

TEST_F(BidsCommand, corrects_the_study_into_derivatives_reports_skips_and_failures_and_reruns_nothing_done) {
    const std::string d = out("deriv");
    const auto inputs_before = tree(study_.root);
    const Ran r = bids({study_.root, d, "participant", "--nprocs", "2"});
    EXPECT_EQ(r.status, 1) << "a failed series makes the status 1\n" << r.out << r.err;
    EXPECT_EQ(tree(study_.root), inputs_before) << "the dataset is left as it was";

    // Exactly the derivatives: no lock, no work of a corrected series, nothing of the failed ones but the
    // log of the one correct refused, kept for a look.
    std::set<std::string> expected = expected_derivatives(true, true);
    expected.insert({".warpmender-work/sub-02_ses-2_task-broken_bold/stdout.txt",
                     ".warpmender-work/sub-02_ses-2_task-broken_bold/stderr.txt"});
    EXPECT_EQ(names(tree(d)), expected) << r.out << r.err;

    // The summary: every series once, with its reason.
    EXPECT_NE(r.out.find("Summary: 6 corrected, 0 up to date, 1 skipped, 2 failed"), std::string::npos) << r.out;
    std::istringstream lines(r.out);
    std::map<std::string, std::string> status_of;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream w(line);
        std::string first, second;
        w >> first >> second;
        if (first == "corrected" || first == "skipped" || first == "failed") status_of[second] = first + line;
    }
    EXPECT_EQ(status_of.size(), 9u) << r.out;
    // Every sense right: no corrected series carries a warning of its report.
    for (const auto& [run, line] : status_of) {
        if (line.rfind("corrected", 0) != 0) continue;
        EXPECT_EQ(line.find("warning"), std::string::npos) << line;
    }
    EXPECT_NE(status_of["sub-01_task-nofmap_bold"].find("skipped"), std::string::npos);
    EXPECT_NE(status_of["sub-01_task-nofmap_bold"].find("no field map"), std::string::npos) << r.out;
    EXPECT_NE(status_of["sub-02_ses-2_task-motor_bold"].find("sub-02_ses-2_fieldmap"), std::string::npos) << r.out;
    const std::string broken = status_of["sub-02_ses-2_task-broken_bold"];
    EXPECT_EQ(broken.rfind("failed", 0), 0u) << broken;
    EXPECT_NE(broken.find("bandwidth per voxel"), std::string::npos) << broken;
    EXPECT_NE(broken.find("exit status 2"), std::string::npos) << broken;
    EXPECT_NE(broken.find(d + "/.warpmender-work/sub-02_ses-2_task-broken_bold/stderr.txt"), std::string::npos);
    // The progress line names the runs done, the total and the time.
    EXPECT_NE(r.err.find("[7/7] elapsed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("at work: "), std::string::npos) << r.err;

    // Sidecars.
    const json bold = read_json(d + "/sub-01/func/sub-01_task-rest_desc-preproc_bold.json");
    EXPECT_EQ(bold["Sources"], json::array({"bids:raw:sub-01/func/sub-01_task-rest_bold.nii.gz",
                                            "bids:raw:sub-01/fmap/sub-01_phasediff.nii.gz",
                                            "bids:raw:sub-01/fmap/sub-01_magnitude1.nii.gz"}));
    EXPECT_EQ(bold["AcquisitionValues"]["EffectiveEchoSpacing"]["Source"], "task-rest_bold.json");
    EXPECT_EQ(bold["AcquisitionValues"]["PhaseEncodingDirection"]["Source"], "sub-01/func/sub-01_task-rest_bold.json");
    EXPECT_EQ(bold["AcquisitionValues"]["EchoTime1"]["Source"], "sub-01/fmap/sub-01_phasediff.json");
    EXPECT_NEAR(bold["AppliedValues"]["EchoTimeDifference"]["Value"].get<double>(), study_.along_j.echo_time_diff_ms,
                1e-9);
    EXPECT_EQ(bold["AppliedValues"]["EchoTimeDifference"]["Units"], "ms");
    EXPECT_NEAR(bold["AppliedValues"]["BandwidthPerVoxel"]["Value"].get<double>(), study_.along_j.bandwidth_pe_hz,
                1e-9 * study_.along_j.bandwidth_pe_hz);
    EXPECT_EQ(bold["PhaseEncodingDirection"], "j");
    EXPECT_EQ(bold["FieldMap"]["Layout"], "phasediff");
    EXPECT_EQ(bold["SkullStripped"], false);
    for (const char* key : {"CorrectionMethod", "UnwrappingMethod", "IntensityCorrection", "Description"})
        EXPECT_TRUE(bold[key].is_string()) << key;
    EXPECT_EQ(bold["GeneratedBy"][0]["Name"], "warpmender");
    EXPECT_EQ(bold["GeneratedBy"][0]["Version"], "1.1.0");
    const json pa = read_json(d + "/sub-01/dwi/sub-01_dir-PA_desc-preproc_dwi.json");
    EXPECT_EQ(pa["FieldMap"]["Layout"], "phase1/phase2");
    EXPECT_EQ(pa["PhaseEncodingDirection"], "j-");
    EXPECT_NE(pa["FieldMap"]["MatchedBy"].get<std::string>().find("sub-01_acq-dwi_phase1.json"), std::string::npos);
    EXPECT_NE(pa["AppliedValues"]["BandwidthPerVoxel"]["DerivedFrom"].get<std::string>().find("TotalReadoutTime"),
              std::string::npos);
    const json motor = read_json(d + "/sub-01/func/sub-01_task-motor_desc-preproc_bold.json");
    EXPECT_EQ(motor["FieldMap"]["Layout"], "fieldmap");
    EXPECT_NE(motor["FieldMap"]["MatchedBy"].get<std::string>().find("b0direct"), std::string::npos);
    EXPECT_EQ(motor["AcquisitionValues"]["Units"]["Value"], "Hz");
    EXPECT_FALSE(motor["AppliedValues"].contains("EchoTimeDifference"));
    // Two phase images make the field their difference makes as a phasediff (up to the stored values' rounding).
    const std::vector<float> from_difference = voxels(d + "/sub-01/func/sub-01_task-rest_desc-bold_fieldmap.nii.gz");
    const std::vector<float> from_two = voxels(d + "/sub-01/dwi/sub-01_dir-AP_desc-dwi_fieldmap.nii.gz");
    ASSERT_EQ(from_difference.size(), 32u * 32u * 12u);
    ASSERT_EQ(from_two.size(), from_difference.size());
    size_t head = 0;
    double worst = 0.0;
    for (size_t i = 0; i < from_two.size(); ++i) {
        if (from_difference[i] == 0.0f && from_two[i] == 0.0f) continue;
        ++head;
        worst = std::max(worst, std::fabs(static_cast<double>(from_two[i]) - from_difference[i]));
    }
    EXPECT_GT(head, from_two.size() / 5);
    EXPECT_LT(worst, 0.05) << "Hz";
    const json rad = read_json(d + "/sub-02/ses-2/func/sub-02_ses-2_task-rest_desc-preproc_bold.json");
    EXPECT_EQ(rad["AcquisitionValues"]["Units"]["Value"], "rad/s");
    EXPECT_EQ(read_json(d + "/sub-01/func/sub-01_task-rest_desc-bold_fieldmap.json")["Units"], "Hz");
    const json shift = read_json(d + "/sub-01/dwi/sub-01_dir-PA_desc-dwi_shiftmap.json");
    EXPECT_EQ(shift["Units"], "voxels");
    EXPECT_EQ(shift["PhaseEncodingDirection"], "j-");
    const json description = read_json(d + "/dataset_description.json");
    EXPECT_EQ(description["DatasetType"], "derivative");
    EXPECT_EQ(description["GeneratedBy"][0]["Name"], "warpmender");
    EXPECT_EQ(description["DatasetLinks"]["raw"], "file://" + study_.root);
    const std::string index = slurp(d + "/index.html");
    EXPECT_NE(index.find("sub-01/figures/sub-01_task-rest_desc-bold_report.html"), std::string::npos);
    EXPECT_NE(index.find("sub-02/ses-2/figures/sub-02_ses-2_task-rest_desc-bold_report.html"), std::string::npos);

    // A rerun finds everything done and touches nothing; the failed series are tried again.
    const auto done = tree(d);
    std::map<std::string, fs::file_time_type> times;
    for (const auto& [rel, content] : done) times[rel] = fs::last_write_time(d + "/" + rel);
    const Ran again = bids({study_.root, d, "participant", "--nprocs", "2"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("Summary: 0 corrected, 6 up to date, 1 skipped, 2 failed"), std::string::npos)
        << again.out;
    for (const auto& [rel, t] : times) {
        if (rel.rfind("sub-", 0) != 0) continue;
        EXPECT_EQ(fs::last_write_time(d + "/" + rel), t) << rel;
    }

    // An input newer than its derivatives makes its series due again, and only it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string edited = series("sub-01/func/sub-01_task-rest_bold.json");
    std::ofstream(edited, std::ios::app) << "\n";
    const Ran third = bids({study_.root, d, "participant", "--participant-label", "sub-01"});
    EXPECT_EQ(third.status, 0) << third.out << third.err;
    EXPECT_NE(third.out.find("Summary: 1 corrected, 3 up to date, 1 skipped, 0 failed"), std::string::npos)
        << third.out;
    EXPECT_EQ(slurp(d + "/sub-01/func/sub-01_task-rest_desc-preproc_bold.nii.gz"),
              done.at("sub-01/func/sub-01_task-rest_desc-preproc_bold.nii.gz"));
}

TEST_F(BidsCommand, participant_label_with_or_without_prefix_limits_the_series) {
    const Ran a = bids({study_.root, out("a"), "participant", "--participant-label", "01"});
    EXPECT_EQ(a.status, 0) << a.out << a.err;
    EXPECT_EQ(names(tree(out("a"))), expected_derivatives(true, false)) << a.out;
    EXPECT_NE(a.out.find("Summary: 4 corrected, 0 up to date, 1 skipped, 0 failed"), std::string::npos) << a.out;
    const Ran b = bids({study_.root, out("b"), "participant", "--participant-label", "sub-02", "--session-label", "1"});
    EXPECT_EQ(b.status, 0) << b.out << b.err;
    std::set<std::string> one = derivatives_of("sub-02/ses-1/func", "sub-02_ses-1_task-rest", "bold");
    one.insert({"dataset_description.json", "index.html"});
    EXPECT_EQ(names(tree(out("b"))), one);
}

TEST_F(BidsCommand, run_option_corrects_one_series_and_reports_a_skipped_or_failed_one) {
    const std::string d = out("deriv");
    const Ran one = bids({study_.root, d, "participant", "--run", "sub-02_ses-1_task-rest_bold"});
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_EQ(names(tree(d)), derivatives_of("sub-02/ses-1/func", "sub-02_ses-1_task-rest", "bold"));
    const Ran skipped = bids({study_.root, d, "participant", "--run", "sub-01_task-nofmap_bold"});
    EXPECT_EQ(skipped.status, 0);
    EXPECT_NE(skipped.out.find("skipped: "), std::string::npos) << skipped.out;
    const Ran failed = bids({study_.root, d, "participant", "--run", "sub-02_ses-2_task-motor_bold"});
    EXPECT_EQ(failed.status, 1);
    const Ran index = bids({study_.root, d, "participant", "--write-index"});
    EXPECT_EQ(index.status, 0) << index.err;
    EXPECT_TRUE(fs::exists(d + "/dataset_description.json"));
    EXPECT_NE(slurp(d + "/index.html").find("sub-02_ses-1_task-rest_desc-bold_report.html"), std::string::npos);
    EXPECT_FALSE(fs::exists(d + "/.warpmender-work"));
}

// A series corrected with a flipped phase-encoding sense is corrected, and the summary says what its report warns.
TEST_F(BidsCommand, the_summary_carries_the_reports_warning_of_a_flipped_sense) {
    std::ofstream(series("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.json")) << R"({"PhaseEncodingDirection": "j-"})";
    const Ran r = bids({study_.root, out("deriv"), "participant", "--participant-label", "02", "--session-label", "1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const size_t line = r.out.find("  corrected   sub-02_ses-1_task-rest_bold  warning: ");
    ASSERT_NE(line, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PHASE-ENCODING SENSE LOOKS WRONG", line), std::string::npos) << r.out;
}

// SIGTERM (a scheduler's, a user's kill) stops the series under way: the children are told, nothing
// half-written stays, the lock goes, the status says which signal.
TEST_F(BidsCommand, a_signal_stops_the_children_and_leaves_nothing_half_written) {
    const std::string d = out("deriv");
    const std::string err = out("stderr.txt");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(WARPMENDER_COMMAND_PATH, "warpmender", "bids", study_.root.c_str(), d.c_str(), "participant",
                "--nprocs", "2", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Once two series are at work.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (slurp(err).find("at work: ") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int raw = 0;
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by the signal itself instead of stopping";
    const std::string log = slurp(err);
    if (WEXITSTATUS(raw) != 128 + SIGTERM) GTEST_SKIP() << "the batch ended before the signal came:\n" << log;
    EXPECT_NE(log.find("stopped by signal 15"), std::string::npos) << log;
    for (const auto& e : fs::recursive_directory_iterator(d)) {
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
        EXPECT_NE(e.path().filename(), ".warpmender.lock");
    }
    EXPECT_FALSE(fs::exists(d + "/dataset_description.json")) << "the batch did not finish";
    // No correct of this batch lives on (each names its work folder under d in its arguments).
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string cmdline = slurp(e.path().string() + "/cmdline");
        for (char& c : cmdline)
            if (c == '\0') c = ' ';
        EXPECT_EQ(cmdline.find(d + "/.warpmender-work"), std::string::npos) << e.path() << ": " << cmdline;
    }
}

// The derivatives read back by nibabel: shapes, the source's affine, units, and finite values.
TEST_F(CleanStudy, derivatives_read_back_with_nibabel_on_the_series_grid) {
    const std::string python = "/usr/bin/python3";
    if (run_program(python, {"-c", "import nibabel"}).status != 0)
        GTEST_SKIP() << "nibabel is not installed for /usr/bin/python3 (scripts/setup installs python3-nibabel)";
    const std::string d = out("deriv");
    const Ran r = bids({study_.root, d, "participant", "--participant-label", "02"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string script = R"(
import sys, nibabel, numpy
src, out = sys.argv[1], sys.argv[2]
for source, stem in (("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii", "sub-02/ses-1/func/sub-02_ses-1_task-rest"),
                     ("sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz", "sub-02/ses-2/func/sub-02_ses-2_task-rest")):
    s = nibabel.load(f"{src}/{source}")
    c = nibabel.load(f"{out}/{stem}_desc-preproc_bold.nii.gz")
    f = nibabel.load(f"{out}/{stem}_desc-bold_fieldmap.nii.gz")
    m = nibabel.load(f"{out}/{stem}_desc-bold_shiftmap.nii.gz")
    assert c.shape == s.shape, (c.shape, s.shape)
    assert f.shape[:3] == s.shape[:3] and m.shape[:3] == s.shape[:3], (f.shape, m.shape)
    for img in (c, f, m):
        assert numpy.allclose(img.affine, s.affine, atol=1e-4), (img.affine, s.affine)
        assert numpy.isfinite(img.get_fdata()).all()
    field = f.get_fdata()
    assert abs(field).max() > 10, abs(field).max()
    print("ok", c.shape, float(abs(field).max()), float(abs(m.get_fdata()).max()))
)";
    const Ran py = run_program(python, {"-c", script, study_.root, d});
    EXPECT_EQ(py.status, 0) << py.out << py.err;
    EXPECT_EQ(py.out.rfind("ok (32, 32, 12, 2)", 0), 0u) << py.out << py.err;
}

// Snakemake's jobs and the one command leave the same files, byte for byte.
TEST_F(CleanStudy, snakefile_gives_the_same_derivatives_as_the_command) {
    if (run_program("snakemake", {"--version"}).status != 0)
        GTEST_SKIP() << "snakemake is not installed (scripts/setup installs it; CI runs this test)";
    const Ran direct = bids({study_.root, out("direct"), "participant", "--nprocs", "2"});
    ASSERT_EQ(direct.status, 0) << direct.out << direct.err;
    const std::string snakefile = std::string(WARPMENDER_SOURCE_DIR) + "/workflow/Snakefile";
    const std::string work = out("snakemake-state");
    fs::create_directories(work);
    const Ran sm = run_program("snakemake", {"-s", snakefile, "--cores", "2", "--directory", work, "--config",
                                             "bids_dir=" + study_.root, "output_dir=" + out("snake"),
                                             std::string("warpmender=") + WARPMENDER_COMMAND_PATH});
    ASSERT_EQ(sm.status, 0) << sm.out << sm.err;
    const auto a = tree(out("direct")), b = tree(out("snake"));
    EXPECT_EQ(names(a), names(b));
    EXPECT_EQ(names(a), expected_derivatives(true, true));
    for (const auto& [rel, content] : a) EXPECT_TRUE(b.count(rel) && b.at(rel) == content) << rel;
    // Six jobs of one series each, memory declared, and the dataset's files last.
    EXPECT_NE(sm.err.find("correct_sub_01_task_rest_bold"), std::string::npos) << sm.err;
    EXPECT_NE(sm.err.find("mem_mb="), std::string::npos) << sm.err;
    // Run again: nothing to do.
    const Ran again = run_program("snakemake", {"-s", snakefile, "--cores", "2", "--directory", work, "--config",
                                                "bids_dir=" + study_.root, "output_dir=" + out("snake"),
                                                std::string("warpmender=") + WARPMENDER_COMMAND_PATH});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE((again.out + again.err).find("Nothing to be done"), std::string::npos) << again.out << again.err;
}

// Two vendors' real field maps under BIDS names, as a converter and a curator leave them (links to the
// copies in tests/data; sidecars with IntendedFor added), each with a stand-in series: its magnitude
// repeated twice, so the series lies on the field map's grid and in its place. Nobody here wrote these
// headers and sidecars; no path is given by hand.
class BidsCommandRealMaps : public ::testing::Test {
protected:
    const std::string maps = std::string(WARPMENDER_SOURCE_DIR) + "/tests/data/fieldmaps/";
    void SetUp() override {
        ASSERT_TRUE(fs::exists(maps + "siemens_phasediff.nii.gz"));
        root_ = test::scratch_dir("bids-command.real-maps") + "/study";
        fs::create_directories(root_);
        std::ofstream(root_ + "/dataset_description.json") << R"({"Name": "vendors", "BIDSVersion": "1.10.0"})";
        link("siemens_phasediff.nii.gz", "sub-siemens/fmap/sub-siemens_phasediff.nii.gz");
        link("siemens_magnitude1.nii.gz", "sub-siemens/fmap/sub-siemens_magnitude1.nii.gz");
        link("siemens_magnitude1.json", "sub-siemens/fmap/sub-siemens_magnitude1.json");
        with_key("siemens_phasediff.json", "sub-siemens/fmap/sub-siemens_phasediff.json", "IntendedFor",
                 "func/sub-siemens_task-rest_bold.nii.gz");
        series("siemens_magnitude1.nii.gz", "sub-siemens/func/sub-siemens_task-rest_bold",
               {{"EffectiveEchoSpacing", 0.00053}, {"PhaseEncodingDirection", "j-"}});
        link("philips_fieldmap.nii.gz", "sub-philips/fmap/sub-philips_fieldmap.nii.gz");
        link("philips_magnitude.nii.gz", "sub-philips/fmap/sub-philips_magnitude.nii.gz");
        with_key("philips_fieldmap.json", "sub-philips/fmap/sub-philips_fieldmap.json", "IntendedFor",
                 "bids::sub-philips/func/sub-philips_task-rest_bold.nii.gz");
        series("philips_magnitude.nii.gz", "sub-philips/func/sub-philips_task-rest_bold",
               {{"TotalReadoutTime", 0.03}, {"PhaseEncodingDirection", "j"}});
    }
    void link(const std::string& vendor, const std::string& rel) {
        fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
        fs::create_symlink(maps + vendor, root_ + "/" + rel);
    }
    void with_key(const std::string& vendor, const std::string& rel, const std::string& key, const json& value) {
        json j = json::parse(slurp(maps + vendor));
        j[key] = value;
        std::ofstream(root_ + "/" + rel) << j.dump(2);
    }
    // The magnitude as a two-volume float series with the magnitude's header (grid and affine).
    void series(const std::string& magnitude, const std::string& stem, const json& sidecar) {
        nifti_image* m = nifti_image_read((maps + magnitude).c_str(), 1);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(nifti_image_load(m), 0);
        nifti_image* s = nifti_copy_nim_info(m);
        s->ndim = s->dim[0] = 4;
        s->nt = s->dim[4] = 2;
        s->datatype = DT_FLOAT32;
        s->nbyper = 4;
        s->scl_slope = 0.0f;
        s->scl_inter = 0.0f;
        s->nvox = m->nvox * 2;
        s->data = calloc(s->nvox, 4);
        float* v = static_cast<float*>(s->data);
        for (size_t i = 0; i < m->nvox; ++i) {
            const double x = m->datatype == DT_INT16 ? static_cast<const int16_t*>(m->data)[i]
                             : m->datatype == DT_UINT16 ? static_cast<const uint16_t*>(m->data)[i]
                                                          : static_cast<const float*>(m->data)[i];
            v[i] = v[i + m->nvox] = static_cast<float>(m->scl_slope != 0.0f ? x * m->scl_slope + m->scl_inter : x);
        }
        fs::create_directories(fs::path(root_ + "/" + stem).parent_path());
        ASSERT_EQ(nifti_set_filenames(s, (root_ + "/" + stem + ".nii.gz").c_str(), 0, 1), 0);
        nifti_image_write(s);
        nifti_image_free(s);
        nifti_image_free(m);
        std::ofstream(root_ + "/" + stem + ".json") << sidecar.dump(2);
    }
    std::string root_;
};

TEST_F(BidsCommandRealMaps, a_dataset_nobody_here_made_is_corrected_without_a_path_given) {
    const std::string d = fs::path(root_).parent_path().string() + "/deriv";
    const Ran r = bids({root_, d, "participant", "--nprocs", "2"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Summary: 2 corrected, 0 up to date, 0 skipped, 0 failed"), std::string::npos) << r.out;
    std::set<std::string> expected = {"dataset_description.json", "index.html"};
    for (const auto& part : {derivatives_of("sub-siemens/func", "sub-siemens_task-rest", "bold"),
                             derivatives_of("sub-philips/func", "sub-philips_task-rest", "bold")})
        expected.insert(part.begin(), part.end());
    EXPECT_EQ(names(tree(d)), expected);
    const json philips = read_json(d + "/sub-philips/func/sub-philips_task-rest_desc-preproc_bold.json");
    EXPECT_EQ(philips["AcquisitionValues"]["Units"]["Source"], "sub-philips/fmap/sub-philips_fieldmap.json");
    EXPECT_NEAR(philips["AppliedValues"]["BandwidthPerVoxel"]["Value"].get<double>(), 1.0 / (0.03 / 63.0 * 64.0),
                1e-9);
    const json siemens = read_json(d + "/sub-siemens/func/sub-siemens_task-rest_desc-preproc_bold.json");
    EXPECT_NEAR(siemens["AppliedValues"]["EchoTimeDifference"]["Value"].get<double>(), 2.46, 1e-9);

    // The Philips map applied is the vendor's, in Hz (the same grid: nothing to resample), wherever the
    // derivative gives a field (the head; 0 outside).
    nifti_image* a = nifti_image_read((maps + "philips_fieldmap.nii.gz").c_str(), 1);
    nifti_image* b = nifti_image_read((d + "/sub-philips/func/sub-philips_task-rest_desc-bold_fieldmap.nii.gz").c_str(), 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(a->nvox, b->nvox);
    ASSERT_EQ(a->datatype, DT_INT16);
    ASSERT_EQ(b->datatype, DT_FLOAT32);
    size_t n = 0;
    double worst = 0.0, largest = 0.0;
    for (size_t i = 0; i < a->nvox; ++i) {
        const double y = static_cast<const float*>(b->data)[i];
        if (y == 0.0) continue;
        double x = static_cast<const int16_t*>(a->data)[i];
        if (a->scl_slope != 0.0f) x = x * a->scl_slope + a->scl_inter;
        worst = std::max(worst, std::fabs(x - y));
        largest = std::max(largest, std::fabs(y));
        ++n;
    }
    const size_t voxels = a->nvox;
    nifti_image_free(a);
    nifti_image_free(b);
    EXPECT_GT(n, voxels / 4) << "the head's voxels";
    EXPECT_GT(largest, 100.0) << "Hz, not rad/s or a scaled copy";
    EXPECT_LT(worst, 1e-3) << "Hz over " << n << " voxels";
}

}  // namespace
}  // namespace warpmender
