// The warpmender command run as a process on real files, as a user runs it.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/demo_figure.h"
#include "cli/phantom_files.h"
#include "host/document_files.h"
#include "sim/dataset.h"
#include "sim/epi.h"
#include "sim/error_metrics.h"
#include "sim/figure.h"
#include "tests/command_run.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using test::RunResult;
using test::slurp;

RunResult run(const std::vector<std::string>& args, const std::string& cwd = "") {
    return test::run_command(args, cwd);
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

class Command : public test::PhantomFiles<Command> {};

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
    for (const char* made : {"bold_corrected.nii.gz", "bold_fieldmap.nii.gz", "bold_shiftmap.nii.gz",
                             "bold_foldmask.nii.gz", "bold_report.html", "bold_report.json"})
        EXPECT_TRUE(fs::exists(out1 + "/" + made)) << made;
    // The series goes out once, as the corrected one, not also as the plug-in's.
    for (const char* twin : {"bold_undistort.fmr", "bold_undistort.stc", "bold_undistort.nii.gz"})
        EXPECT_FALSE(fs::exists(out1 + "/" + twin)) << twin;

    char bw[64];
    std::snprintf(bw, sizeof bw, "%.9g", data_->bandwidth_pe_hz);
    const RunResult b =
        run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out", out2,
             "--echo-time-diff", "2.46", "--bandwidth", bw, "--pe-dir", "3"});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("(--echo-time-diff)"), std::string::npos);
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
    ASSERT_EQ(run(with({"--out", right, "--no-jacobian"})).status, 0);
    ASSERT_EQ(run(with({"--out", wrong, "--no-jacobian", "--pe-dir", "j-"})).status, 0);
    const int nt = data_->nt;
    const double distorted = sim::series_error(data_->epi, data_->truth, data_->brain, nt).rms;
    const double corrected =
        sim::series_error(series_of(right + "/bold_corrected.nii.gz"), data_->truth, data_->brain, nt).rms;
    const double opposite =
        sim::series_error(series_of(wrong + "/bold_corrected.nii.gz"), data_->truth, data_->brain, nt).rms;
    std::printf("RMS error in the brain: distorted %.2f, corrected %.2f, opposite sign %.2f\n", distorted, corrected,
                opposite);
    EXPECT_LT(corrected, 0.8 * distorted);
    EXPECT_GT(opposite, distorted);
}

TEST_F(Command, the_corrected_series_on_disk_is_the_epi_resampled_with_the_saved_shift_map) {
    const std::string out = test::scratch_dir("independent");
    ASSERT_EQ(run({"correct", "--phase", files_->phase, "--magnitude", files_->magnitude, "--epi", files_->epi, "--out",
                   out, "--method", "multigrid", "--no-jacobian"})
                  .status,
              0);
    const std::vector<float> shift_f =
        series_of(out + "/fieldmap_phasediff_unwrapped3vcyc5its_smoothed_pixshift.nii.gz");
    EXPECT_EQ(series_of(out + "/bold_shiftmap.nii.gz"), shift_f);  // the map applied is the plug-in's
    const std::vector<double> shift(shift_f.begin(), shift_f.end());
    const std::vector<float> corrected = series_of(out + "/bold_corrected.nii.gz");
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
    for (const char* series : {"/bold_corrected.nii.gz"}) {
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
    // Saved through the EPI's document, opened from NIfTI: written as NIfTI only.
    EXPECT_EQ(calls[4]["saved"][0]["requested"], out + "/bold_undistort_diffimg.fmr");
    EXPECT_EQ(calls[4]["saved"][0]["path"], out + "/bold_undistort_diffimg.nii.gz");
    EXPECT_EQ(calls[4]["saved"][0]["files"], json::array({out + "/bold_undistort_diffimg.nii.gz"}));
    EXPECT_EQ(calls[4]["saved"][0]["fmr"], "");
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
    EXPECT_TRUE(fs::exists(out + "/bold_undistort.nii.gz"));
    EXPECT_FALSE(fs::exists(out + "/bold_undistort.stc"));
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

// An 8-bit RGB PNG as libpng decodes it; width 0 when it does not.
host::Image decode_png(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    host::Image img;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return img;
    png.format = PNG_FORMAT_RGB;
    img.pixels.resize(PNG_IMAGE_SIZE(png) / 3);
    if (!png_image_finish_read(&png, nullptr, img.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return host::Image{};
    }
    img.width = static_cast<int>(png.width);
    img.height = static_cast<int>(png.height);
    return img;
}

TEST(CommandDemo, figure_has_a_colour_bar_under_every_panel_and_the_signed_difference_to_the_truth) {
    const std::string out = test::scratch_dir("demo-figure");
    const RunResult r = run({"demo", "--out", out, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const host::Image png = decode_png(out + "/figure.png");
    ASSERT_GT(png.width, 0) << "libpng cannot decode " << out << "/figure.png";

    // The panels of the same phantom with the corrected series the demo wrote.
    const sim::Dataset ds = sim::make_dataset(host::demo_dataset_params(false));
    const std::vector<float> corrected = series_of(out + "/results/bold_corrected.nii.gz");
    ASSERT_EQ(corrected.size(), ds.truth.size());
    const std::vector<sim::Panel> panels = host::demo_figure_panels(ds, corrected);
    const std::vector<std::pair<std::string, std::string>> expected = {{"distorted", "intensity (a.u.)"},
                                                                       {"corrected", "intensity (a.u.)"},
                                                                       {"truth", "intensity (a.u.)"},
                                                                       {"corrected - truth", "intensity (a.u.)"},
                                                                       {"field map", "Hz"}};
    ASSERT_EQ(panels.size(), expected.size());
    for (std::size_t k = 0; k < panels.size(); ++k) {
        EXPECT_EQ(panels[k].label, expected[k].first);
        EXPECT_EQ(panels[k].units, expected[k].second);
    }
    const sim::FigureLayout layout = sim::figure_layout(panels, host::kDemoFigureZoom);
    ASSERT_EQ(png.width, layout.width);
    ASSERT_EQ(png.height, layout.height);
    EXPECT_EQ(layout.panels[0].image_width, ds.grid.nx * host::kDemoFigureZoom);
    auto pixel = [&](int x, int y) { return png.pixels[static_cast<std::size_t>(y) * png.width + x]; };

    // Every bar: framed, each column one colour, the colours in the map's order from end to end.
    for (std::size_t k = 0; k < panels.size(); ++k) {
        const sim::PanelPlace& at = layout.panels[k];
        ASSERT_EQ(at.bar_width, at.image_width) << panels[k].label;
        ASSERT_GT(at.bar_height, 2);
        std::vector<host::Rgb> row;
        for (int i = 0; i < at.bar_width; ++i) {
            const host::Rgb c = pixel(at.bar_x + i, at.bar_y);
            for (int y = at.bar_y + 1; y < at.bar_y + at.bar_height; ++y) {
                const host::Rgb d = pixel(at.bar_x + i, y);
                ASSERT_TRUE(c.r == d.r && c.g == d.g && c.b == d.b) << panels[k].label << " column " << i;
            }
            row.push_back(c);
        }
        const host::Rgb frame = pixel(at.bar_x - 1, at.bar_y - 1);
        EXPECT_TRUE(frame.r == 235 && frame.g == 235 && frame.b == 235) << panels[k].label;
        if (panels[k].style == sim::PanelStyle::grey) {
            // Black to white through greys.
            EXPECT_LE(row.front().r, 1) << panels[k].label;
            EXPECT_GE(row.back().r, 254) << panels[k].label;
            for (std::size_t i = 0; i < row.size(); ++i) {
                ASSERT_TRUE(row[i].r == row[i].g && row[i].g == row[i].b) << panels[k].label << " " << i;
                if (i > 0) {
                    ASSERT_GE(row[i].r, row[i - 1].r) << panels[k].label << " " << i;
                }
            }
        } else {
            // Blue, whitening to white at the middle, reddening to red: red never falls, blue never rises.
            EXPECT_TRUE(row.front().r <= 1 && row.front().b == 255) << panels[k].label;
            EXPECT_TRUE(row.back().r == 255 && row.back().b <= 1) << panels[k].label;
            const host::Rgb mid = row[row.size() / 2];
            EXPECT_TRUE(mid.r >= 254 && mid.g >= 254 && mid.b >= 254) << panels[k].label;
            for (std::size_t i = 1; i < row.size(); ++i) {
                ASSERT_GE(row[i].r, row[i - 1].r) << panels[k].label << " " << i;
                ASSERT_LE(row[i].b, row[i - 1].b) << panels[k].label << " " << i;
            }
        }
    }

    // The difference panel is red where the corrected slice is brighter than the truth and blue where
    // darker, by the data: at voxels beyond half its window the colour is far from white.
    const sim::Panel& diff = panels[3];
    const sim::PanelPlace& at = layout.panels[3];
    const int z = ds.figure_slice, zoom = host::kDemoFigureZoom;
    std::size_t brighter = 0, darker = 0;
    for (int y = 0; y < ds.grid.ny; ++y)
        for (int x = 0; x < ds.grid.nx; ++x) {
            const std::size_t i = ds.grid.index(x, y, z);
            const double d = static_cast<double>(corrected[i]) - ds.truth[i];
            const host::Rgb c = pixel(at.image_x + x * zoom + zoom / 2, at.image_y + y * zoom + zoom / 2);
            if (!ds.head[i]) {
                ASSERT_TRUE(c.r == 0 && c.g == 0 && c.b == 0) << x << "," << y;
            } else if (d > 0.5 * diff.high) {
                ++brighter;
                ASSERT_TRUE(c.r == 255 && c.b <= 128) << x << "," << y << " " << d;
            } else if (d < 0.5 * diff.low) {
                ++darker;
                ASSERT_TRUE(c.b == 255 && c.r <= 128) << x << "," << y << " " << d;
            }
        }
    EXPECT_GT(brighter, 20u);
    EXPECT_GT(darker, 20u);

    // And the file holds exactly the figure of these panels.
    const host::Image expected_image = sim::render_figure(panels, zoom);
    ASSERT_EQ(expected_image.pixels.size(), png.pixels.size());
    for (std::size_t i = 0; i < png.pixels.size(); ++i)
        ASSERT_TRUE(png.pixels[i].r == expected_image.pixels[i].r && png.pixels[i].g == expected_image.pixels[i].g &&
                    png.pixels[i].b == expected_image.pixels[i].b)
            << "pixel " << i % png.width << "," << i / png.width;
}

}  // namespace
}  // namespace warpmender
