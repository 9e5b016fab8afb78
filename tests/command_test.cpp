// The warpmender command run as a process on real files, as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/phantom_files.h"
#include "host/document_files.h"
#include "sim/dataset.h"
#include "sim/epi.h"
#include "sim/error_metrics.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct RunResult {
    int status = -1;  // exit status; -1 when the process did not exit normally
    bool signalled = false;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

RunResult run(const std::vector<std::string>& args, const std::string& cwd = "") {
    static int counter = 0;
    const std::string base = std::string(WARPMENDER_BINARY_DIR) + "/test-scratch/cmd" + std::to_string(getpid()) + "_" +
                             std::to_string(counter++);
    std::string cmd = (cwd.empty() ? "" : "cd " + quote(cwd) + " && ") + quote(WARPMENDER_COMMAND_PATH);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " </dev/null >" + quote(base + ".out") + " 2>" + quote(base + ".err");
    const int raw = std::system(cmd.c_str());
    RunResult r;
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.signalled = WIFSIGNALED(raw) || (WIFEXITED(raw) && WEXITSTATUS(raw) > 128);
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return r;
}

// Names and sizes of the files in a folder, to show that nothing was added or changed.
std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.insert(e.path().filename().string() + ":" + std::to_string(e.is_regular_file() ? e.file_size() : 0) + ":" +
                   std::to_string(e.last_write_time().time_since_epoch().count()));
    return out;
}

std::vector<float> series_of(const std::string& path) {
    host::instance().reset();
    const host::Document d = host::open_document(path, false);
    std::vector<float> out;
    for (const auto& v : d.float_volumes) out.insert(out.end(), v.begin(), v.end());
    return out;
}

class Command : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new sim::Dataset(sim::make_dataset(host::demo_dataset_params(true)));
        // One folder per process: ctest -j runs each case in a process of its own, all at once.
        inputs_ = test::scratch_dir("command-inputs-" + std::to_string(getpid()));
        files_ = new host::PhantomFiles(host::write_phantom_files(*data_, inputs_));
    }
    static void TearDownTestSuite() {
        delete data_;
        delete files_;
        std::error_code ec;
        fs::remove_all(inputs_, ec);
    }
    static sim::Dataset* data_;
    static host::PhantomFiles* files_;
    static std::string inputs_;
};
sim::Dataset* Command::data_ = nullptr;
host::PhantomFiles* Command::files_ = nullptr;
std::string Command::inputs_;

TEST_F(Command, info_shows_the_plugin_texts) {
    const RunResult r = run({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("warpmender (v1.1.0)"), std::string::npos);
    EXPECT_NE(r.out.find("warpmender_v110.js"), std::string::npos);
    EXPECT_EQ(r.out.find("<BR>"), std::string::npos);  // line breaks shown as line breaks
}

TEST_F(Command, every_subcommand_has_help) {
    for (const char* sub : {"info", "run", "correct", "polar", "diff", "demo", "bids"}) {
        const RunResult r = run({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_NE(r.out.find("--"), std::string::npos) << sub;
    }
    const RunResult r = run({"correct", "--help"});
    EXPECT_NE(r.out.find("samples the distorted image at y + shift"), std::string::npos);
}

TEST_F(Command, correct_from_sidecars_equals_explicit_values_and_writes_only_into_out) {
    const std::string out1 = test::scratch_dir("correct-sidecars");
    const std::string out2 = test::scratch_dir("correct-explicit");
    const auto before = listing(inputs_);
    const RunResult a = run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi",
                             files_->epi, "--out", out1, "--nifti"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("(EchoTime2 - EchoTime1 in " + inputs_ + "/fieldmap_phasediff.json)"), std::string::npos)
        << a.out;
    EXPECT_NE(a.out.find("PhaseEncodingDirection in"), std::string::npos);
    EXPECT_NE(a.out.find("corrected EPI: " + out1 + "/bold_corrected.nii.gz"), std::string::npos) << a.out;
    for (const char* made :
         {"bold_corrected.nii.gz", "bold_fieldmap.nii.gz", "bold_shiftmap.nii.gz", "bold_foldmask.nii.gz",
          "bold_report.html", "bold_report.json", "bold_undistort.stc", "bold_undistort.nii.gz"})
        EXPECT_TRUE(fs::exists(out1 + "/" + made)) << made;

    char bw[64];
    std::snprintf(bw, sizeof bw, "%.9g", data_->bandwidth_pe_hz);
    const RunResult b =
        run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out", out2,
             "--echo-time-diff", "2.46", "--bandwidth", bw, "--pe-dir", "3"});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("(--echo-time-diff)"), std::string::npos);
    EXPECT_EQ(slurp(out1 + "/bold_undistort.stc"), slurp(out2 + "/bold_undistort.stc"));
    EXPECT_EQ(series_of(out1 + "/bold_corrected.nii.gz"), series_of(out2 + "/bold_corrected.nii.gz"));
    EXPECT_EQ(listing(inputs_), before);  // nothing written beside the inputs
}

TEST_F(Command, the_right_sign_reduces_the_error_and_the_wrong_sign_increases_it) {
    const std::string right = test::scratch_dir("sign-right");
    const std::string wrong = test::scratch_dir("sign-wrong");
    const std::vector<std::string> common = {"correct",         "--phase", files_->phase, "--magnitude",
                                             files_->magnitude, "--epi",   files_->epi};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = common;
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    ASSERT_EQ(run(with({"--out", right})).status, 0);
    ASSERT_EQ(run(with({"--out", wrong, "--pe-dir", "j-"})).status, 0);
    const int nt = data_->nt;
    const double distorted = sim::series_error(data_->epi, data_->truth, data_->brain, nt).rms;
    const double corrected =
        sim::series_error(series_of(right + "/bold_undistort.fmr"), data_->truth, data_->brain, nt).rms;
    const double opposite =
        sim::series_error(series_of(wrong + "/bold_undistort.fmr"), data_->truth, data_->brain, nt).rms;
    std::printf("RMS error in the brain: distorted %.2f, corrected %.2f, opposite sign %.2f\n", distorted, corrected,
                opposite);
    EXPECT_LT(corrected, 0.8 * distorted);
    EXPECT_GT(opposite, distorted);
}

TEST_F(Command, the_corrected_series_on_disk_is_the_epi_resampled_with_the_saved_shift_map) {
    const std::string out = test::scratch_dir("independent");
    ASSERT_EQ(run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out",
                   out, "--method", "multigrid"})
                  .status,
              0);
    const std::vector<float> shift_f = series_of(out + "/fieldmap_phasediff_unwrapped3vcyc5its_smoothed_pixshift.fmr");
    const std::vector<double> shift(shift_f.begin(), shift_f.end());
    const std::vector<float> corrected = series_of(out + "/bold_undistort.fmr");
    // The simulator's own resampling, written apart from the plug-in's, from
    // the distorted input and the shift map as saved (float).
    const std::vector<float> expected = sim::undistort_series(data_->grid, data_->nt, data_->epi, shift, data_->pe_dir);
    ASSERT_EQ(corrected.size(), expected.size());
    double worst = 0.0;
    for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::fabs(double(corrected[i]) - expected[i]));
    // The plug-in samples with the double shift map, the saved one is float:
    // a shift rounded by 1e-7 voxel moves a value by 1e-7 of a neighbour's contrast.
    EXPECT_LT(worst, 1e-3);
}

TEST_F(Command, nifti_outputs_keep_the_inputs_shape_and_affine_for_nibabel) {
    // Debian's interpreter, where python3-nibabel is installed (another python3 may come first in PATH).
    if (std::system("/usr/bin/python3 -c 'import nibabel' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-nibabel is missing";
    const std::string out = test::scratch_dir("nibabel");
    ASSERT_EQ(run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out",
                   out, "--nifti"})
                  .status,
              0);
    const std::string script = test::scratch_dir("nibabel-script") + "/check.py";
    std::ofstream(script) << "import sys, nibabel, numpy\n"
                             "a = nibabel.load(sys.argv[1]); b = nibabel.load(sys.argv[2])\n"
                             "assert a.shape == b.shape, (a.shape, b.shape)\n"
                             "assert numpy.allclose(a.affine, b.affine, atol=1e-4), (a.affine, b.affine)\n"
                             "assert b.get_data_dtype() == numpy.float32\n"
                             "assert numpy.isfinite(b.get_fdata()).all()\n"
                             "print('ok', b.shape)\n";
    for (const char* series : {"/bold_undistort.nii.gz", "/bold_corrected.nii.gz"}) {
        const std::string cmd = "/usr/bin/python3 " + script + " " + files_->epi + " " + out + series;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << series;
    }
    for (const char* map : {"/bold_shiftmap.nii.gz", "/bold_fieldmap.nii.gz", "/bold_foldmask.nii.gz"}) {
        const std::string cmd = "/usr/bin/python3 " + script + " " + files_->phase + " " + out + map;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << map;
    }
}

TEST_F(Command, run_replays_every_command_and_reports_each_call) {
    const std::string dir = test::scratch_dir("session");
    const std::string out = dir + "/out";
    const json session = {
        {"host_version", "2.8.0"},
        {"output_dir", "out"},
        {"documents", {{{"path", files_->phase}}, {{"path", files_->magnitude}}, {{"path", files_->epi}}}},
        {"calls",
         {{{"parameters", {{"Command", "GetFiles"}, {"FileStage", 1}, {"FileTypeId", 21}}},
           {"answers", {"/data/phase.fmr", nullptr}}},
          {{"parameters", {{"Command", "GetFile"}, {"FileTypeId", 23}}}, {"answers", {"x.stc"}}},
          {{"parameters", {{"Command", "CreatePolarFile"}, {"RealFile", "r"}, {"ImagFile", "i"}}}, {"answers", {0, 1}}},
          {{"parameters",
            {{"Command", "Start"},
             {"Procedure", "Unwrap"},
             {"PerformAllSteps", 1},
             {"UnwrappingMethod", 1},
             {"NrOfVCycles", 2},
             {"NrOfIterations", 3},
             {"PhaseToRadians", 1},
             {"EchoTimeDiff", 2.46},
             {"BandWidthPE", data_->bandwidth_pe_hz},
             {"PhaseEncodingDir", 3}}},
           {"answers", {0, 1, 2}}},
          // Saving writes into the chosen document (the second): so this comes last.
          {{"parameters", {{"Command", "Evaluate"}}}, {"answers", {2, 2}}},
          {{"parameters", {{"Command", "Nonsense"}}}}}}};
    std::ofstream(dir + "/session.json") << session.dump(2);
    const RunResult r = run({"run", dir + "/session.json", "--report", dir + "/report.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json report = json::parse(slurp(dir + "/report.json"));
    EXPECT_EQ(report["plugin"]["name"], "warpmender (v1.1.0)");
    EXPECT_EQ(report["plugin"]["init"], true);
    EXPECT_TRUE(report["errors"].empty());
    const json& calls = report["calls"];
    ASSERT_EQ(calls.size(), 6u);

    EXPECT_EQ(calls[0]["command"], "GetFiles");
    EXPECT_EQ(calls[0]["ErrorNr"], 0);
    EXPECT_TRUE(calls[0]["ErrorMsg"].is_null());
    EXPECT_EQ(calls[0]["parameters"]["NrOfFiles"], 1);
    EXPECT_EQ(calls[0]["parameters"]["WrPhaseFile"], "/data/phase.fmr");
    ASSERT_EQ(calls[0]["dialogs"].size(), 2u);
    EXPECT_EQ(calls[0]["dialogs"][0]["kind"], "open");
    EXPECT_EQ(calls[0]["dialogs"][0]["prompt"], "Please select the wrapped phase datafile(s)");
    EXPECT_TRUE(calls[0]["dialogs"][1]["answer"].is_null());
    EXPECT_EQ(calls[0]["log"][0], "Welcome to the EPI distortion correction tool 'warpmender'.");

    EXPECT_EQ(calls[1]["parameters"]["FileName"], dir + "/x.stc");  // relative to the session's folder

    EXPECT_EQ(calls[4]["command"], "Evaluate");
    EXPECT_EQ(calls[4]["ErrorNr"], 0);
    // The EPI document was saved as the undistorted series in the call before (save-as).
    EXPECT_EQ(calls[4]["parameters"]["DifferenceImgName"], "bold_undistort_diffimg.fmr");
    ASSERT_EQ(calls[4]["saved"].size(), 1u);
    EXPECT_EQ(calls[4]["saved"][0]["fmr"], out + "/bold_undistort_diffimg.fmr");
    EXPECT_EQ(calls[4]["saved"][0]["ok"], true);
    EXPECT_EQ(calls[4]["dialogs"][0]["kind"], "integer");
    EXPECT_EQ(calls[4]["dialogs"][0]["min"], 0);
    EXPECT_EQ(calls[4]["dialogs"][0]["max"], 3);

    EXPECT_EQ(calls[2]["command"], "CreatePolarFile");
    EXPECT_EQ(calls[2]["ErrorNr"], 0);
    EXPECT_EQ(calls[2]["saved"].size(), 2u);

    EXPECT_EQ(calls[3]["command"], "Start");
    EXPECT_EQ(calls[3]["ErrorNr"], 0) << calls[3]["ErrorMsg"];
    EXPECT_EQ(calls[3]["parameters"]["NameUndistortedFile"], "bold_undistort.fmr");
    EXPECT_TRUE(fs::exists(out + "/bold_undistort.stc"));
    EXPECT_EQ(calls[3]["dialogs"].size(), 3u);

    EXPECT_EQ(calls[5]["log"][2], "Plugin> Received unknown command: \"Nonsense\".");
}

struct BadInput {
    std::vector<std::string> args;
    int status;
    std::string message_part;
};

TEST_F(Command, bad_input_gets_its_exit_status_and_a_message_naming_the_culprit) {
    const std::string dir = test::scratch_dir("bad-input");
    std::ofstream(dir + "/broken.json") << "{\"calls\": [";
    std::ofstream(dir + "/unanswered.json")
        << json{{"documents", {{{"path", files_->phase}}}},
                {"calls", {{{"parameters", {{"Command", "Start"}, {"Procedure", "ComputeB0"}}}}}}}
               .dump();
    std::ofstream(dir + "/unused.json")
        << json{{"calls", {{{"parameters", {{"Command", "GetFile"}}}, {"answers", {"a", "b"}}}}}}.dump();
    std::ofstream(dir + "/failing.json") << json{
        {"documents", {{{"path", files_->phase}}}},
        {"calls",
         {{{"parameters", {{"Command", "Evaluate"}}},
           {"answers", json::array()}}}}}.dump();
    std::ofstream(dir + "/missingdoc.json") << json{{"documents", {{{"path", "nope.fmr"}}}}}.dump();
    std::ofstream(dir + "/afile") << "x";
    std::ofstream(dir + "/truncated.nii.gz") << "not really gzip";
    const BadInput cases[] = {
        {{"run", dir + "/broken.json"}, 2, dir + "/broken.json"},
        {{"run", dir + "/unanswered.json", "--out", dir + "/o1"}, 2, "no answer was left"},
        {{"run", dir + "/unused.json", "--out", dir + "/o2"}, 2, "not used by any dialog"},
        {{"run", dir + "/failing.json", "--out", dir + "/o3"}, 1, "Evaluation procedure did not succeed."},
        {{"run", dir + "/missingdoc.json", "--out", dir + "/o4"}, 2, dir + "/nope.fmr"},
        {{"run", dir + "/nothere.json"}, 2, "nothere.json"},
        {{"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out",
          dir + "/afile"},
         2,
         dir + "/afile"},
        {{"correct", "--phase", dir + "/truncated.nii.gz", "--magnitude", files_->magnitude, "--epi", files_->epi,
          "--out", dir + "/o5", "--echo-time-diff", "2", "--bandwidth", "20", "--pe-dir", "j"},
         2,
         "truncated.nii.gz"},
        {{"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--pe-dir", "y",
          "--out", dir + "/o6"},
         2,
         "--pe-dir \"y\""},
        {{"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi,
          "--echo-time-diff", "-1"},
         2,
         "--echo-time-diff"},
        {{"correct", "--phase", files_->phase}, 2, "--magnitude"},
        {{"frobnicate"}, 2, "frobnicate"},
    };
    for (const auto& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_FALSE(r.signalled) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message_part), std::string::npos) << "stderr lacks \"" << c.message_part << "\":\n"
                                                                 << r.err;
    }
}

TEST_F(Command, correct_without_values_or_sidecars_says_what_is_missing) {
    const std::string dir = test::scratch_dir("no-sidecars");
    for (const char* f : {"fieldmap_phasediff.nii.gz", "fieldmap_magnitude.nii.gz", "bold.nii.gz"})
        fs::copy_file(inputs_ + "/" + f, dir + "/" + f);
    const RunResult r = run({"correct", "--phase", dir + "/fieldmap_phasediff.nii.gz", "--magnitude",
                             dir + "/fieldmap_magnitude.nii.gz", "--epi", dir + "/bold.nii.gz", "--out", dir + "/o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no echo-time difference"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir + "/fieldmap_phasediff.json"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/o/bold_undistort.fmr"));
}

TEST_F(Command, a_magnitude_below_the_mask_threshold_is_rescaled_on_its_own_and_the_field_survives) {
    const std::string dir = test::scratch_dir("dim-magnitude");
    sim::Dataset dim = *data_;
    for (float& v : dim.magnitude) v /= 100.0f;  // ~14..37: nothing above 200
    const host::PhantomFiles f = host::write_phantom_files(dim, dir);
    const std::vector<std::string> args = {"correct", "--phase", f.phase, "--magnitude", f.magnitude, "--epi", f.epi};
    std::vector<std::string> plain = args, rescaled = args;
    plain.insert(plain.end(), {"--out", dir + "/plain"});
    rescaled.insert(rescaled.end(), {"--out", dir + "/rescaled", "--rescale-magnitude"});
    const RunResult a = run(plain);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("were above 200"), std::string::npos) << a.out;
    EXPECT_NE(a.out.find("rescaled to 0..4095"), std::string::npos) << a.out;
    const RunResult b = run(rescaled);
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(b.out.find("rescaled to 0..4095"), std::string::npos) << b.out;  // asked for, not judged
    // Without the rescale the mask would have zeroed the whole field map.
    for (const std::string& out : {dir + "/plain", dir + "/rescaled"}) {
        const std::vector<float> field = series_of(out + "/bold_fieldmap.nii.gz");
        float most = 0.0f;
        for (float v : field) most = std::max(most, std::fabs(v));
        EXPECT_GT(most, 20.0f) << out;  // the phantom's field reaches tens of Hz; masked away it would be 0
    }
}

}  // namespace
}  // namespace warpmender
