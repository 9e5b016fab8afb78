// Field-inhomogeneity and pixel-shift maps: values, names, refused parameters, the parameter file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "plugin/steps/phase_scaling.h"
#include "plugin/steps/shift_maps.h"
#include "plugin/steps/unreached.h"
#include "tests/steps_support.h"

namespace warpmender {
namespace {

using test::index_volume;

class StepsShiftMaps : public test::StepsTest {};

fieldmapparams params(double echo, double bandwidth, int twopi = 0) {
    fieldmapparams p;
    p.echoTimeDiffSec = echo;
    p.bandwidthPE = bandwidth;
    p.applyTwoPi = twopi;
    p.phaseEncodingDir = 3;
    return p;
}

// The dispatcher's conversion: milliseconds over 1000 in single precision.
double echo_from_ms(float ms) { return static_cast<double>(ms / 1000.0f); }

TEST_F(StepsShiftMaps, field_map_divides_the_first_volume_by_the_echo_time_difference) {
    const std::string dir = test::scratch_dir("steps_b0");
    auto phase = index_volume(23, 17, 11, 3, dir + "/fmap.fmr");
    test::add_current_fmr(*h, *phase, dir + "/fmap.fmr");
    fieldmapparams p = params(echo_from_ms(2.46f), 29.48);
    std::unique_ptr<datahandler<double>> b0(computefieldinhomogeneity(phase.get(), &p));
    ASSERT_TRUE(b0);
    EXPECT_EQ(b0->getstatus(), STATUS_VALID);
    ASSERT_EQ(b0->getnt(), 3);
    const double factor = 1.0 / 0.002460000105202198;
    EXPECT_NEAR(factor, 406.504, 1e-3);
    for (long t = 0; t < 3; ++t)
        for (long z = 0; z < 11; ++z)
            for (long y = 0; y < 17; ++y)
                for (long x = 0; x < 23; ++x)
                    ASSERT_EQ(b0->get(x, y, z, t), t == 0 ? phase->get(x, y, z) * factor : 0.0);
    EXPECT_EQ(phase->get(5L), 5.0);  // the input is not changed
    EXPECT_EQ(h->log.front(), "Compute field inhomogeneity...");
    EXPECT_TRUE(test::log_contains(*h, dir + "/fmap_b0.fmr"));  // full path kept
    EXPECT_EQ(h->saved_documents.count(dir + "/fmap_b0.fmr"), 1u);
}

TEST_F(StepsShiftMaps, a_failed_save_of_the_field_map_marks_it_invalid) {
    auto phase = index_volume(5, 4, 3, 1, "/data/fmap.fmr");  // no document is current
    fieldmapparams p = params(0.00246, 29.48);
    std::unique_ptr<datahandler<double>> b0(computefieldinhomogeneity(phase.get(), &p));
    EXPECT_EQ(b0->getstatus(), STATUS_INVALID);
    EXPECT_TRUE(test::log_contains(*h, "/data/fmap_b0.fmr"));
}

TEST_F(StepsShiftMaps, shift_map_divides_by_the_bandwidth_and_optionally_two_pi) {
    struct Case {
        int twopi;
        double field, shift, tolerance;
    } cases[] = {
        {0, 29.48, 1.0, 0.0},
        {1, 6.28318530717958 * 29.48, 1.0, 2e-16},
        {2, 29.48, 1.0, 0.0},  // only 1 asks for 2 pi
        {0, -2 * 29.48, -2.0, 0.0},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        const std::string dir = test::scratch_dir("steps_pixshift");
        auto b0 = test::filled_volume(5, 4, 3, 2, c.field, dir + "/fmap_b0.fmr");
        fieldmapparams p = params(0.00246, 29.48, c.twopi);
        std::unique_ptr<datahandler<double>> shift(computepixelshiftmap(b0.get(), &p));
        ASSERT_TRUE(shift);
        EXPECT_EQ(shift->getstatus(), STATUS_VALID);  // even though nothing could be saved
        EXPECT_NEAR(shift->get(2, 1, 1, 0), c.shift, c.tolerance) << c.twopi;
        EXPECT_EQ(shift->get(2, 1, 1, 1), 0.0);
        EXPECT_TRUE(test::log_contains(*h, "fmap_b0_pixshift.fmr"));
        EXPECT_EQ(h->log.front(), "Compute pixel shift map...");
        EXPECT_EQ(h->log.at(1).rfind("Values of field inhomogeneity map (Hz):", 0), 0u);
        EXPECT_EQ(h->log.at(2).rfind("Values of pixelshift map:", 0), 0u);
    }
}

struct RefusedCase {
    double echo, bandwidth;
    bool b0_step;
    const char* line;
};

TEST_F(StepsShiftMaps, refuses_divisors_that_are_not_positive_and_finite) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const RefusedCase cases[] = {
        {0.0, 29.48, true,
         "Cannot compute the field inhomogeneity map: the echo time difference (EchoTimeDiff) is 0 s; it must be a "
         "positive, finite number."},
        {-0.00246, 29.48, true,
         "Cannot compute the field inhomogeneity map: the echo time difference (EchoTimeDiff) is -0.00246 s; it must "
         "be a positive, finite number."},
        {nan, 29.48, true,
         "Cannot compute the field inhomogeneity map: the echo time difference (EchoTimeDiff) is nan s; it must be a "
         "positive, finite number."},
        {inf, 29.48, true,
         "Cannot compute the field inhomogeneity map: the echo time difference (EchoTimeDiff) is inf s; it must be a "
         "positive, finite number."},
        {0.00246, 0.0, false,
         "Cannot compute the pixel shift map: the bandwidth per voxel in the phase-encoding direction (BandWidthPE) "
         "is 0 Hz; it must be a positive, finite number."},
        {0.00246, -29.48, false,
         "Cannot compute the pixel shift map: the bandwidth per voxel in the phase-encoding direction (BandWidthPE) "
         "is -29.48 Hz; it must be a positive, finite number."},
        {0.00246, inf, false,
         "Cannot compute the pixel shift map: the bandwidth per voxel in the phase-encoding direction (BandWidthPE) "
         "is inf Hz; it must be a positive, finite number."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        const std::string dir = test::scratch_dir("steps_refused");
        auto in = index_volume(5, 4, 3, 1, dir + "/fmap.fmr");
        test::add_current_fmr(*h, *in, dir + "/fmap.fmr");
        fieldmapparams p = params(c.echo, c.bandwidth);
        std::unique_ptr<datahandler<double>> out(c.b0_step ? computefieldinhomogeneity(in.get(), &p)
                                                           : computepixelshiftmap(in.get(), &p));
        ASSERT_TRUE(out);
        EXPECT_EQ(out->getstatus(), STATUS_INVALID) << c.line;
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.line;
        EXPECT_TRUE(h->saves.empty()) << c.line;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.line;  // no preview either
    }
}

std::string read_file(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

const char* const kParamsText =
    "~~~ fieldmap parameters file ~~~\n\ndifference_in_echo_time_sec:\n0.00246\neffective_pe_bandwidth_hz:\n"
    "29.48\nphase_encoding_direction:\n3\n";

TEST_F(StepsShiftMaps, parameter_file_is_written_where_the_dialog_says) {
    const std::string dir = test::scratch_dir("steps_params");
    const std::string path = dir + "/run1_params.txt";
    { std::ofstream(path) << "an older, longer file that must be replaced entirely\n"; }
    h->queue_answer(host::Answer::of(path));
    fieldmapparams p = params(echo_from_ms(2.46f), 29.48);
    EXPECT_EQ(writeacquisitionparamsfile(&p), 1);
    EXPECT_EQ(read_file(path), kParamsText);
    ASSERT_EQ(h->dialogs.size(), 1u);
    EXPECT_EQ(h->dialogs[0].kind, "save");
    EXPECT_EQ(h->dialogs[0].prompt, "Please select a folder to save the parameters");
    EXPECT_EQ(h->dialogs[0].filter, "acquisition parameters (*.txt)");
    EXPECT_EQ(h->log.at(0), "Writing fieldmap parameters file...");
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);  // no temporary left beside it
}

TEST_F(StepsShiftMaps, a_cancelled_dialog_writes_under_the_default_name) {
    const std::string dir = test::scratch_dir("steps_params_default");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    h->queue_answer(host::Answer::cancel());
    fieldmapparams p = params(0.00246, 29.48);
    const int result = writeacquisitionparamsfile(&p);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(read_file(dir + "/fieldmapparams.txt"), kParamsText);
}

TEST_F(StepsShiftMaps, a_parameter_file_that_cannot_be_written_leaves_nothing) {
    const std::string dir = test::scratch_dir("steps_params_fail");
    struct Case {
        std::string path;
    } cases[] = {{dir + "/no/such/folder/p.txt"}, {dir}};
    for (const auto& c : cases) {
        h->queue_answer(host::Answer::of(c.path));
        fieldmapparams p = params(0.00246, 29.48);
        EXPECT_EQ(writeacquisitionparamsfile(&p), 0) << c.path;
        EXPECT_TRUE(test::log_contains(*h, "Could not write the fieldmap parameters file \"" + c.path + "\"."))
            << c.path;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

}  // namespace
}  // namespace warpmender
