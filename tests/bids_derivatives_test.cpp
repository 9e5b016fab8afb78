// One series handed to correct and its derivatives written: the arguments, the answer read, sidecars, images, the index.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nifti1_io.h>

#include "bids/correct_call.h"
#include "bids/dataset_files.h"
#include "bids/derivatives.h"
#include "bids/error.h"
#include "bids/plan.h"
#include "tests/bids_test_dataset.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace warpmender {
namespace bids {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class BidsDerivatives : public ::testing::Test {
protected:
    BidsDerivatives() : d("bids_derivatives"), out(test::own_scratch_dir("bids_derivatives_out")) {
        test::build_study(d);
        plan = make_plan(discover(d.root()), out);
    }
    const SeriesPlan& series(const std::string& relative) const {
        for (const SeriesPlan& p : plan.series)
            if (p.series.relative == relative) return p;
        throw std::runtime_error("not planned: " + relative);
    }
    test::TinyDataset d;
    std::string out;
    Plan plan;
};

std::string shortest(double v) { return json(v).dump(); }

// Every layout, and the echo spacing from EffectiveEchoSpacing or TotalReadoutTime; bandwidths by hand.
TEST_F(BidsDerivatives, correct_is_given_every_value_explicitly) {
    struct Case {
        std::string series;
        std::vector<std::string> source;  // the field-map options
        double echo_ms;                   // 0: none (a direct map)
        double bandwidth;
        std::string pe;
    };
    const std::string fmap = d.path("sub-01/fmap/sub-01_");
    const Case cases[] = {
        // 1 / (0.0005 s x 4 voxels along j); 7.38 - 4.92 ms
        {"sub-01/func/sub-01_task-rest_run-1_bold.nii.gz",
         {"--magnitude", fmap + "magnitude1.nii.gz", "--phase", fmap + "phasediff.nii.gz"}, 2.46, 500.0, "j"},
        // TotalReadoutTime 0.03 s over 5 voxels along i: 1 / (0.03 / 4 x 5)
        {"sub-01/func/sub-01_task-motor_bold.nii.gz",
         {"--magnitude", fmap + "acq-direct_magnitude.nii.gz", "--fieldmap", fmap + "acq-direct_fieldmap.nii.gz",
          "--fieldmap-units", "Hz"},
         0.0,
         1.0 / (0.03 / 4.0 * 5.0), "i"},
        // EchoTime 4 and 6.5 ms; TotalReadoutTime 0.05 s over 4 voxels along j: 1 / (0.05 / 3 x 4) = 15 Hz
        {"sub-01/dwi/sub-01_dir-AP_dwi.nii.gz",
         {"--magnitude", fmap + "acq-dwi_magnitude1.nii.gz", "--phase1", fmap + "acq-dwi_phase1.nii.gz", "--phase2",
          fmap + "acq-dwi_phase2.nii.gz"},
         2.5, 15.0, "j-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.series);
        const SeriesPlan& p = series(c.series);
        CorrectSettings settings;
        settings.method = "relax";
        settings.jacobian = false;
        const CorrectCall call = correct_call(p, "/work/run", settings);
        std::vector<std::string> expected = {"correct", "--epi", d.path(c.series)};
        expected.insert(expected.end(), c.source.begin(), c.source.end());
        if (c.echo_ms > 0) {
            const double ms = call.applied["EchoTimeDifference"]["Value"].get<double>();
            EXPECT_NEAR(ms, c.echo_ms, 1e-12);
            expected.insert(expected.end(), {"--echo-time-diff", shortest(ms)});
        } else {
            EXPECT_FALSE(call.applied.contains("EchoTimeDifference"));
        }
        const double bw = call.applied["BandwidthPerVoxel"]["Value"].get<double>();
        EXPECT_NEAR(bw, c.bandwidth, 1e-9 * c.bandwidth);
        expected.insert(expected.end(), {"--bandwidth", shortest(bw), "--pe-dir", c.pe});
        if (c.echo_ms > 0) expected.insert(expected.end(), {"--method", "relax"});
        expected.insert(expected.end(), {"--no-jacobian", "--out", "/work/run"});
        EXPECT_EQ(call.arguments, expected);
        EXPECT_EQ(std::stod(shortest(bw)), bw) << "the number reads back to the same double";
    }
    const CorrectCall plain = correct_call(series(cases[0].series), "/o", CorrectSettings{});
    EXPECT_EQ(std::count(plain.arguments.begin(), plain.arguments.end(), "--no-jacobian"), 0);
    EXPECT_EQ(plain.applied["BandwidthPerVoxel"]["DerivedFrom"], "1 / (EffectiveEchoSpacing x 4)");
    EXPECT_EQ(plain.applied["EchoTimeDifference"]["DerivedFrom"], "EchoTime2 - EchoTime1");
}

TEST_F(BidsDerivatives, correct_output_lines_name_the_files) {
    const CorrectOutputs o = parse_correct_output(
        "echo-time difference: 2.46 ms (--echo-time-diff)\n"
        "corrected EPI: /w/bold_corrected.nii.gz\nfield map: /w/bold_fieldmap.nii.gz\n"
        "shift map: /w/a b/bold_shiftmap.nii.gz\nreport: /w/bold_report.html\nwarning: field map: x\n");
    EXPECT_EQ(o.corrected, "/w/bold_corrected.nii.gz");
    EXPECT_EQ(o.fieldmap, "/w/bold_fieldmap.nii.gz");
    EXPECT_EQ(o.shift_map, "/w/a b/bold_shiftmap.nii.gz");
    EXPECT_EQ(o.report_html, "/w/bold_report.html");
    EXPECT_EQ(o.report_json, "/w/bold_report.json");
    const CorrectOutputs today = parse_correct_output("corrected EPI: /w/bold_undistort.fmr\n");
    EXPECT_EQ(today.corrected, "/w/bold_undistort.fmr");
    EXPECT_EQ(today.fieldmap, "");
    EXPECT_EQ(today.report_json, "");
}

TEST_F(BidsDerivatives, sidecars_hold_sources_values_with_their_files_method_and_program) {
    const SeriesPlan& p = series("sub-01/dwi/sub-01_dir-AP_dwi.nii.gz");
    const CorrectCall call = correct_call(p, "/o", CorrectSettings{});
    const json s = corrected_sidecar(p, call, CorrectSettings{}, Producer{"warpmender", "9.8.7"});
    EXPECT_EQ(s["Sources"], json::array({"bids:raw:sub-01/dwi/sub-01_dir-AP_dwi.nii.gz",
                                         "bids:raw:sub-01/fmap/sub-01_acq-dwi_phase1.nii.gz",
                                         "bids:raw:sub-01/fmap/sub-01_acq-dwi_phase2.nii.gz",
                                         "bids:raw:sub-01/fmap/sub-01_acq-dwi_magnitude1.nii.gz",
                                         "bids:raw:sub-01/fmap/sub-01_acq-dwi_magnitude2.nii.gz"}));
    EXPECT_EQ(s["AcquisitionValues"]["EchoTime (phase1)"],
              json({{"Value", 0.004}, {"Source", "sub-01/fmap/sub-01_acq-dwi_phase1.json"}}));
    EXPECT_EQ(s["AcquisitionValues"]["EchoTime (phase2)"]["Source"], "sub-01/fmap/sub-01_acq-dwi_phase2.json");
    EXPECT_EQ(s["AcquisitionValues"]["TotalReadoutTime"],
              json({{"Value", 0.05}, {"Source", "sub-01/dwi/sub-01_dir-AP_dwi.json"}}));
    EXPECT_EQ(s["AppliedValues"], call.applied);
    EXPECT_EQ(s["FieldMap"]["Layout"], "phase1/phase2");
    EXPECT_EQ(s["UnwrappingMethod"], CorrectSettings{}.method);
    EXPECT_EQ(s["IntensityCorrection"], "Jacobian of the shift");
    EXPECT_EQ(s["GeneratedBy"], json::array({{{"Name", "warpmender"}, {"Version", "9.8.7"}}}));
    CorrectSettings none;
    none.jacobian = false;
    EXPECT_EQ(corrected_sidecar(p, call, none, Producer{})["IntensityCorrection"], "none");

    const SeriesPlan& direct = series("sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz");
    const json ds = corrected_sidecar(direct, correct_call(direct, "/o", CorrectSettings{}), CorrectSettings{}, Producer{});
    EXPECT_EQ(ds["UnwrappingMethod"], "none (a field map in rad/s)");
    EXPECT_EQ(ds["AcquisitionValues"]["Units"]["Source"], "sub-02/ses-1/fmap/sub-02_ses-1_fieldmap.json");
    EXPECT_EQ(ds["AppliedValues"]["FieldMapUnits"]["Value"], "rad/s");
    EXPECT_EQ(fieldmap_sidecar(direct, Producer{})["Units"], "Hz");
    const json shift = shift_map_sidecar(direct, Producer{});
    EXPECT_EQ(shift["Units"], "voxels");
    EXPECT_EQ(shift["PhaseEncodingDirection"], "j-");  // inherited from the root's task-rest_bold.json
}

TEST_F(BidsDerivatives, images_are_installed_compressed_whole_and_the_source_kept) {
    d.image("x/a.nii", 5, 4, 3, 2);
    const std::string source = d.path("x/a.nii");
    const std::string before = slurp(source);
    const std::string target = out + "/a_desc-preproc_bold.nii.gz";
    install_image(source, target);
    EXPECT_EQ(slurp(source), before);
    nifti_image* a = nifti_image_read(source.c_str(), 1);
    nifti_image* b = nifti_image_read(target.c_str(), 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(a->nvox, b->nvox);
    EXPECT_EQ(std::memcmp(a->data, b->data, a->nvox * a->nbyper), 0);
    nifti_image_free(a);
    nifti_image_free(b);
    const std::string packed = slurp(target);
    ASSERT_GT(packed.size(), 10u);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);  // gzip
    EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
    EXPECT_EQ(packed.substr(4, 4), std::string(4, '\0')) << "no time in the header: equal inputs, equal files";

    // A .nii.gz goes over byte for byte.
    d.image("x/b.nii.gz");
    install_image(d.path("x/b.nii.gz"), out + "/b.nii.gz");
    EXPECT_EQ(slurp(out + "/b.nii.gz"), slurp(d.path("x/b.nii.gz")));

    EXPECT_THROW(install_image(d.path("x/a.json"), out + "/c.nii.gz"), Error);
    EXPECT_THROW(install_image(source, out + "/missing/c.nii.gz"), Error);
    EXPECT_THROW(install_image(d.path("x/none.nii"), out + "/d.nii.gz"), Error);
    for (const auto& e : fs::directory_iterator(out))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
    EXPECT_FALSE(fs::exists(out + "/d.nii.gz"));
}

TEST_F(BidsDerivatives, outputs_off_the_series_grid_are_refused_before_anything_is_written) {
    const SeriesPlan& p = series("sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
    d.image("w/corrected.nii.gz", 5, 4, 3, 2);
    d.image("w/field.nii.gz", 5, 4, 3, 1);
    d.image("w/shift.nii.gz", 6, 5, 4, 1);  // on the field map's grid, not the series'
    CorrectOutputs o{d.path("w/corrected.nii.gz"), d.path("w/field.nii.gz"), d.path("w/shift.nii.gz"), "", ""};
    const CorrectCall call = correct_call(p, "/o", CorrectSettings{});
    try {
        install_derivatives(p, call, CorrectSettings{}, o, Producer{});
        ADD_FAILURE() << "not refused";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("shift.nii.gz"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("6 x 5 x 4"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(p.outputs.folder));
    o.shift_map = d.path("w/field.nii.gz");
    o.corrected = d.path("w/field.nii.gz");  // one volume for a series of two
    EXPECT_THROW(install_derivatives(p, call, CorrectSettings{}, o, Producer{}), Error);
    o.corrected = "";
    EXPECT_THROW(install_derivatives(p, call, CorrectSettings{}, o, Producer{}), Error);
    o.corrected = d.path("w/corrected.nii.gz");
    install_derivatives(p, call, CorrectSettings{}, o, Producer{"warpmender", "1"});
    for (const std::string& f : p.outputs.all()) EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_FALSE(fs::exists(p.outputs.report_html)) << "no report given, none written";
}

TEST_F(BidsDerivatives, index_lists_every_run_report_in_the_derivatives) {
    const json report = {{"run", "sub-01_task-rest_run-1_bold"},
                         {"pe_check",
                          {{"checked", true},
                           {"given", 1.2},
                           {"opposite", 1.1},
                           {"uncorrected", 1.15},
                           {"verdict", "given sense right"}}},
                         {"shift", {{"abs_p99", 2.5}}},
                         {"folding", {{"folded_percent", 0.25}}},
                         {"warnings", json::array({"w1"})}};
    const report::RunSummary s = run_summary(report, "r.json");
    EXPECT_EQ(s.run, "sub-01_task-rest_run-1_bold");
    EXPECT_TRUE(s.pe_checked);
    EXPECT_EQ(s.pe_given, 1.2);
    EXPECT_FALSE(s.pe_failed);
    EXPECT_EQ(s.shift_abs_p99, 2.5);
    EXPECT_EQ(s.folded_percent, 0.25);
    EXPECT_EQ(s.warnings, std::vector<std::string>{"w1"});
    json bad = report;
    bad["shift"].erase("abs_p99");
    try {
        run_summary(bad, "sub-01/figures/r.json");
        ADD_FAILURE() << "not refused";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("sub-01/figures/r.json"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("abs_p99"), std::string::npos);
    }
    json flipped = report;
    flipped["pe_check"]["verdict"] = "opposite sense clearly better";
    EXPECT_TRUE(run_summary(flipped, "r").pe_failed);

    const std::string a = out + "/sub-02/ses-1/figures/sub-02_ses-1_task-rest_desc-bold_report.json";
    const std::string b = out + "/sub-01/figures/sub-01_task-rest_run-1_desc-bold_report.json";
    for (const std::string& f : {a, b}) {
        fs::create_directories(fs::path(f).parent_path());
        std::ofstream(f) << report.dump();
    }
    std::ofstream(out + "/sub-01/figures/.x_report.json") << "{}";  // a dot-file is nobody's report
    EXPECT_EQ(find_run_reports(out), (std::vector<std::string>{b, a}));
    write_dataset_files(d.root(), out, "1.2.3");
    const std::string index = slurp(index_path(out));
    EXPECT_NE(index.find("href=\"sub-01/figures/sub-01_task-rest_run-1_desc-bold_report.html\""), std::string::npos)
        << index;
    EXPECT_NE(index.find("href=\"sub-02/ses-1/figures/sub-02_ses-1_task-rest_desc-bold_report.html\""),
              std::string::npos);
    const json description = json::parse(slurp(out + "/dataset_description.json"));
    EXPECT_EQ(description["DatasetType"], "derivative");
    EXPECT_EQ(description["GeneratedBy"][0]["Version"], "1.2.3");
    EXPECT_EQ(description["DatasetLinks"]["raw"], "file://" + d.root());
    std::ofstream(a) << "{\"run\": 3}";
    EXPECT_THROW(write_dataset_files(d.root(), out, "1.2.3"), Error);
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
