// "Start" through the loaded plug-in: preparation checks, stop messages, saved names, whole runs.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/test_support.h"

namespace warpmender {
namespace {

using host::Answer;
using host::Document;

constexpr double kTwoPi = 6.283185307179586;

struct Grid {
    int nx, ny, nz;
    long index(int x, int y, int z) const { return x + static_cast<long>(nx) * (y + static_cast<long>(ny) * z); }
};

// A float document whose first volume is f(x, y, z).
template <typename F>
Document volume_document(const std::string& name, const Grid& g, int nt, F f) {
    Document d = host::make_fmr_document(name, g.nx, g.ny, g.nz, nt, 2, 3.0f);
    for (int t = 0; t < nt; ++t)
        for (int z = 0; z < g.nz; ++z)
            for (int y = 0; y < g.ny; ++y)
                for (int x = 0; x < g.nx; ++x) d.float_volumes[t][g.index(x, y, z)] = f(x, y, z, t);
    return d;
}

class Procedures : public ::testing::Test {
protected:
    void SetUp() override {
        h = &test::fresh_host();
        plugin = test::load_plugin();
    }
    void start(const std::string& procedure, int performall) {
        h->set_parameter("Procedure", procedure);
        h->set_parameter("PerformAllSteps", performall);
        test::run_command(*plugin, "Start");
    }
    bool logged(const std::string& line) const { return test::log_contains(*h, line); }
    std::vector<std::string> saved_names() const {
        std::vector<std::string> names;
        for (const auto& s : h->saves) names.push_back(s.fmr);
        return names;
    }
    host::Host* h = nullptr;
    std::unique_ptr<host::PluginLibrary> plugin;
};

const Grid kSmall{8, 6, 3};

Document constant(const std::string& name, float v, int nt = 1, int type = 2) {
    Document d = host::make_fmr_document(name, kSmall.nx, kSmall.ny, kSmall.nz, nt, type, 3.0f);
    for (auto& vol : d.float_volumes) std::fill(vol.begin(), vol.end(), v);
    for (auto& vol : d.int_volumes) std::fill(vol.begin(), vol.end(), static_cast<uint16_t>(v));
    return d;
}

TEST_F(Procedures, sixteen_bit_start_document_fails_before_any_step) {
    h->add_document(constant("/d/phase.fmr", 100, 1, 1));
    h->add_document(constant("/d/magn.fmr", 1000));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    start("Unwrap", 1);
    EXPECT_TRUE(logged("Datatype of phase and magnitude FMRs should be float."));
    EXPECT_FALSE(logged("Started unwrapping procedure..."));
    EXPECT_EQ(h->int_parameter("ErrorNr"), -1);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "An error occurred.");
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, sixteen_bit_magnitude_fails_with_its_own_line) {
    h->add_document(constant("/d/phase.fmr", 1));
    h->add_document(constant("/d/magn.fmr", 1000, 1, 1));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    start("Unwrap", 0);
    EXPECT_TRUE(logged("Datatype of phase AND magnitude FMRs should be float."));
    EXPECT_FALSE(logged("Started unwrapping procedure..."));
    EXPECT_EQ(h->int_parameter("ErrorNr"), -1);
}

TEST_F(Procedures, several_volumes_are_refused_with_both_lines) {
    h->add_document(constant("/d/phase.fmr", 1, 2));
    h->add_document(constant("/d/magn.fmr", 1000));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    start("Unwrap", 1);
    const long at = test::find_log(*h, "Magnitude and/or phase data have more than one volume.");
    ASSERT_GE(at, 0);
    EXPECT_EQ(h->log.at(static_cast<size_t>(at) + 1),
              "Please create FMR phase/magnitude projects of one volume or select *_FirstVol.fmr.");
    EXPECT_FALSE(logged("Started unwrapping procedure..."));
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "An error occurred.");
}

TEST_F(Procedures, unwrap_with_unreadable_magnitude_stops_with_the_unwrapping_message) {
    h->add_document(constant("/d/phase.fmr", 1));
    h->add_document(constant("/d/magn.fmr", 1000));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(2));  // the list's last number names no document: nothing is read
    start("Unwrap", 1);
    EXPECT_TRUE(logged("Could not get FMR data"));
    EXPECT_TRUE(logged("Started unwrapping procedure..."));
    EXPECT_FALSE(logged("Datatype of phase AND magnitude FMRs should be float."));
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped unwrapping procedure: no data or status is not ok.");
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, phase_and_magnitude_of_different_grids_are_refused_before_unwrapping) {
    h->add_document(constant("/d/phase.fmr", 1));
    h->add_document(host::make_fmr_document("/d/magn.fmr", 9, 6, 3, 1, 2, 3.0f));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    start("Unwrap", 1);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped unwrapping procedure: no data or status is not ok.");
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, unknown_procedure_reads_the_start_document_and_succeeds) {
    h->add_document(constant("/d/phase.fmr", 1));
    h->queue_answer(Answer::of(0));
    start("Nothing", 1);
    ASSERT_EQ(h->dialogs.size(), 1u);
    EXPECT_NE(h->dialogs[0].prompt.find("Please select the startfile (phase, b0 or pixelshift)"), std::string::npos);
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, undistort_without_a_readable_start_stops_with_its_message) {
    h->add_document(constant("/d/shift.fmr", 1));
    h->queue_answer(Answer::of(1));  // no such document
    start("Undistort", 0);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped undistortion procedure: no data or status is not ok.");
}

TEST_F(Procedures, field_step_stops_on_a_zero_echo_time_and_saves_nothing) {
    h->add_document(constant("/d/unwrapped.fmr", 0.5f));
    h->queue_answer(Answer::of(0));
    h->set_parameter("EchoTimeDiff", 0.0f);
    h->set_parameter("BandWidthPE", 25.0f);
    start("ComputeB0", 1);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped fieldmap creation procedure: no data or status is not ok.");
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, shift_step_stops_on_a_negative_bandwidth) {
    h->add_document(constant("/d/b0.fmr", 40.0f));
    h->queue_answer(Answer::of(0));
    h->set_parameter("BandWidthPE", -25.0f);
    start("ComputePxshift", 1);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped compute pixelshiftmap procedure: no data or status is not ok.");
    EXPECT_TRUE(h->saves.empty());
}

TEST_F(Procedures, compute_b0_alone_saves_the_map_and_its_smoothed_copy) {
    h->add_document(constant("/d/unwrapped.fmr", 0.5f));
    h->queue_answer(Answer::of(0));
    h->set_parameter("EchoTimeDiff", 2.5f);
    start("ComputeB0", 0);
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    EXPECT_TRUE(logged("Started field inhomogeneity map creation procedure..."));
    const std::vector<std::string> expected = {"/d/unwrapped_b0.fmr", "unwrapped_smooth.fmr"};
    EXPECT_EQ(saved_names(), expected);
    // Hz = cycles / seconds: 0.5 / 0.0025 in the interior (the border meets the zero padding).
    const Document& b0 = h->saved_documents.at("/d/unwrapped_b0.fmr");
    EXPECT_NEAR(b0.float_volumes[0][kSmall.index(3, 3, 1)], 200.0f, 1e-3f);
}

TEST_F(Procedures, echo_time_is_divided_in_single_precision) {
    h->add_document(constant("/d/u.fmr", 1.0f));
    h->queue_answer(Answer::of(0));
    h->set_parameter("EchoTimeDiff", 2.46f);
    start("ComputeB0", 0);
    const Document& b0 = h->saved_documents.at("/d/u_b0.fmr");
    // 1 / 0.002460000105202198 (the float quotient widened), not 1 / 0.00246.
    EXPECT_FLOAT_EQ(b0.float_volumes[0][0], static_cast<float>(1.0 / 0.002460000105202198));
}

// The whole pipeline on a known uniform field: the EPI is the truth shifted
// by s voxels along the axis of each direction code, and "PerformAllSteps"
// from "Unwrap" must shift it back.
struct AxisCase {
    int code;
    int axis;   // 0 x, 1 y, 2 z
    int sense;  // +1 for codes 1, 3, 5
};

TEST_F(Procedures, perform_all_steps_undoes_a_known_shift_along_each_axis_and_sense) {
    const Grid g{14, 12, 10};
    const double dte = 0.0025, bandwidth = 20.0, shift = 2.0;
    const double field = shift * bandwidth;     // Hz
    const double phase = kTwoPi * field * dte;  // radians, below pi: no wrap
    auto truth = [](int x, int y, int z) { return 1000.0 + 37.0 * x + 11.0 * y * y + 5.0 * z + (x * y % 7) * 13.0; };
    const AxisCase cases[] = {{1, 0, 1}, {2, 0, -1}, {3, 1, 1}, {4, 1, -1}, {5, 2, 1}, {6, 2, -1}};
    for (const auto& c : cases) {
        for (int method : {1, 0}) {
            SCOPED_TRACE("code " + std::to_string(c.code) + (method ? " multigrid" : " relaxation"));
            h = &test::fresh_host();
            plugin = test::load_plugin();
            h->add_document(volume_document("/d/phase.fmr", g, 1, [&](int, int, int, int) { return float(phase); }));
            h->add_document(volume_document("/d/magn.fmr", g, 1, [](int, int, int, int) { return 3000.0f; }));
            // Distorted: the content of voxel p appears at p + sense * shift along the axis.
            h->add_document(volume_document("/d/epi.fmr", g, 2, [&](int x, int y, int z, int t) {
                int q[3] = {x, y, z};
                q[c.axis] -= c.sense * static_cast<int>(shift);
                return float(truth(q[0], q[1], q[2]) + 100.0 * t);
            }));
            h->set_parameter("UnwrappingMethod", method);
            h->set_parameter("NrOfVCycles", 2);
            h->set_parameter("NrOfIterations", 4);
            h->set_parameter("NrOfIterationsRelax", 50);
            h->set_parameter("Regularisation", 0.1f);
            h->set_parameter("PhaseToRadians", 0);
            h->set_parameter("EchoTimeDiff", float(dte * 1000.0));
            h->set_parameter("BandWidthPE", float(bandwidth));
            h->set_parameter("PhaseEncodingDir", c.code);
            h->queue_answer(Answer::of(0));
            h->queue_answer(Answer::of(1));
            h->queue_answer(Answer::of(2));
            start("Unwrap", 1);
            ASSERT_EQ(h->int_parameter("ErrorNr"), 0) << h->string_parameter("ErrorMsg");
            const std::string name = h->string_parameter("NameUndistortedFile");
            EXPECT_EQ(name, "epi_undistort.fmr");
            const Document& out = h->saved_documents.at(name);
            ASSERT_EQ(out.float_volumes.size(), 2u);
            // Relaxation leaves a constant phase at its start value (zero: no
            // residual drives it), so only multigrid recovers a uniform field.
            const double expected_shift = method == 1 ? shift : 0.0;
            double worst = 0.0;
            // The smoothing meets the zero padding three times: stay 3 voxels
            // inside in the slice plane, and inside the shifted range on the axis.
            for (int t = 0; t < 2; ++t)
                for (int z = 0; z < g.nz; ++z)
                    for (int y = 3; y < g.ny - 3; ++y)
                        for (int x = 3; x < g.nx - 3; ++x) {
                            int p[3] = {x, y, z};
                            const int n[3] = {g.nx, g.ny, g.nz};
                            if (p[c.axis] < 3 || p[c.axis] >= n[c.axis] - 3) continue;
                            int q[3] = {x, y, z};
                            q[c.axis] += c.sense * static_cast<int>(expected_shift) - c.sense * static_cast<int>(shift);
                            const double want = truth(q[0], q[1], q[2]) + 100.0 * t;
                            const double got = out.float_volumes[t][g.index(x, y, z)];
                            worst = std::max(worst, std::fabs(got - want));
                        }
            // The single-precision echo time and float STC storage leave ~1e-3 of a
            // unit on values near 3000; anything near a voxel's contrast (>= 5) is wrong.
            EXPECT_LT(worst, 0.05);
        }
    }
}

TEST_F(Procedures, run_on_saves_the_smooth_name_twice_with_the_field_map_last) {
    const Grid g{10, 8, 4};
    h->add_document(volume_document("/d/p.fmr", g, 1, [](int, int, int, int) { return 0.5f; }));
    h->add_document(volume_document("/d/m.fmr", g, 1, [](int, int, int, int) { return 3000.0f; }));
    h->add_document(volume_document("/d/e.fmr", g, 1, [](int x, int, int, int) { return float(x); }));
    h->set_parameter("UnwrappingMethod", 1);
    h->set_parameter("NrOfVCycles", 1);
    h->set_parameter("NrOfIterations", 2);
    h->set_parameter("EchoTimeDiff", 2.0f);
    h->set_parameter("BandWidthPE", 30.0f);
    h->set_parameter("PhaseEncodingDir", 3);
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    h->queue_answer(Answer::of(2));
    start("Unwrap", 1);
    ASSERT_EQ(h->int_parameter("ErrorNr"), 0) << h->string_parameter("ErrorMsg");
    const std::string smooth = "p_unwrapped1vcyc2its_smoothed_smooth.fmr";
    int count = 0;
    for (const auto& n : saved_names()) count += n == smooth;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(saved_names().front(), "p_radians.fmr");
    EXPECT_EQ(saved_names().back(), "e_undistort.fmr");
    // The second save holds the smoothed field map in Hz: 0.5 rad / 2 pi / 2 ms.
    const Document& last = h->saved_documents.at(smooth);
    EXPECT_NEAR(last.float_volumes[0][g.index(5, 4, 2)], 0.5 / kTwoPi / 0.002, 0.05);
}

}  // namespace
}  // namespace warpmender
