// Field sources: units of direct field maps, phase-image scales and the two-echo phase difference.
#include "correction/field_sources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace warpmender {
namespace {

using correction::PhaseScale;
constexpr double kPi = 3.14159265358979323846;

std::string message_of(void (*f)()) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(CorrectionFieldSources, units_of_a_direct_field_map_become_hertz) {
    EXPECT_EQ(correction::hertz_per_unit(std::string("Hz"), "f.nii"), 1.0);
    EXPECT_DOUBLE_EQ(correction::hertz_per_unit(std::string("rad/s"), "f.nii"), 1.0 / (2.0 * kPi));
    std::vector<double> field = {2.0 * kPi * 50.0, -2.0 * kPi * 12.5, 0.0};
    correction::field_to_hertz(field.data(), field.size(), std::string("rad/s"), "f.nii");
    EXPECT_NEAR(field[0], 50.0, 1e-12);
    EXPECT_NEAR(field[1], -12.5, 1e-12);
    EXPECT_EQ(field[2], 0.0);
    std::vector<double> hz = {217.0, -3.5};
    correction::field_to_hertz(hz.data(), hz.size(), std::string("Hz"), "f.nii");
    EXPECT_EQ(hz, (std::vector<double>{217.0, -3.5}));
}

TEST(CorrectionFieldSources, missing_or_unknown_unit_is_refused_naming_file_and_unit) {
    EXPECT_EQ(message_of([] { correction::hertz_per_unit(std::nullopt, "sub-01_fieldmap.nii.gz"); }),
              "field map \"sub-01_fieldmap.nii.gz\": its sidecar gives no \"Units\"; the field's unit must be \"Hz\" "
              "or \"rad/s\"");
    EXPECT_EQ(message_of([] { correction::hertz_per_unit(std::string("ppm"), "sub-01_fieldmap.nii.gz"); }),
              "field map \"sub-01_fieldmap.nii.gz\": unit \"ppm\" is not supported; the field's unit must be \"Hz\" "
              "or \"rad/s\"");
    for (const char* u : {"hz", "Hertz", "", "rad/sec", "T"})
        EXPECT_THROW(correction::hertz_per_unit(std::string(u), "f.nii"), std::invalid_argument) << u;
    std::vector<double> field = {1.0, 2.0};
    EXPECT_THROW(correction::field_to_hertz(field.data(), 2, std::string("kHz"), "f.nii"), std::invalid_argument);
    EXPECT_EQ(field, (std::vector<double>{1.0, 2.0}));  // untouched when refused
}

TEST(CorrectionFieldSources, phase_scale_is_told_from_the_range) {
    struct Case {
        std::vector<double> values;
        PhaseScale scale;
        double radians_per_unit;
    };
    const Case cases[] = {
        {{-3.14159, 0.0, 3.14159}, PhaseScale::kRadians, 1.0},
        {{0.0, 6.2831}, PhaseScale::kRadians, 1.0},
        {{-3.1421, 1.0, std::nan("")}, PhaseScale::kRadians, 1.0},  // float rounding of pi, NaN ignored
        {{-4096.0, 12.0, 4094.0}, PhaseScale::kSigned4096, kPi / 4096.0},
        {{-5.0, 300.0}, PhaseScale::kSigned4096, kPi / 4096.0},
        {{0.0, 2048.0, 4095.0}, PhaseScale::kUnsigned4096, 2.0 * kPi / 4096.0},
    };
    for (const Case& c : cases) {
        const PhaseScale s = correction::detect_phase_scale(c.values.data(), c.values.size(), "p.nii");
        EXPECT_EQ(s, c.scale) << c.values.front() << " .. " << c.values.back();
        EXPECT_DOUBLE_EQ(correction::radians_per_unit(s), c.radians_per_unit);
    }
    // The scanner's integer scale maps its ends onto -pi and pi (just below for 4094).
    EXPECT_DOUBLE_EQ(-4096.0 * correction::radians_per_unit(PhaseScale::kSigned4096), -kPi);
}

TEST(CorrectionFieldSources, phase_outside_every_scale_is_refused_with_its_range) {
    EXPECT_EQ(message_of([] {
                  const std::vector<double> v = {-100.0, 5000.0};
                  correction::detect_phase_scale(v.data(), v.size(), "phase1.nii");
              }),
              "phase image \"phase1.nii\" ranges over -100 .. 5000, which is neither radians (-pi..pi or 0..2pi) nor "
              "the scanner's integer scale (-4096..4095 or 0..4095)");
    EXPECT_EQ(message_of([] {
                  const std::vector<double> v = {std::nan(""), INFINITY};
                  correction::detect_phase_scale(v.data(), v.size(), "phase2.nii");
              }),
              "phase image \"phase2.nii\" holds no finite value");
}

TEST(CorrectionFieldSources, phase_difference_is_the_wrapped_difference_of_the_complex_signals) {
    struct Case {
        double phi1, phi2, expected;
    };
    const Case cases[] = {
        {0.0, 1.0, 1.0},
        {1.0, 0.0, -1.0},
        {3.0, -3.0, 2.0 * kPi - 6.0},  // across the cut: +0.283, not -6
        {-3.0, 3.0, 6.0 - 2.0 * kPi},
        {0.5, 0.5 + 4.0 * kPi + 0.25, 0.25},  // whole turns vanish
        {-kPi / 2, kPi / 2, kPi},
    };
    std::vector<double> p1, p2;
    for (const Case& c : cases) p1.push_back(c.phi1), p2.push_back(c.phi2);
    std::vector<double> out(p1.size());
    correction::phase_difference(p1.data(), p2.data(), nullptr, nullptr, p1.size(), out.data());
    for (size_t i = 0; i < out.size(); ++i) {
        const double e = cases[i].expected;
        // atan2 gives pi or -pi for the half turn, both right.
        if (std::fabs(std::fabs(e) - kPi) < 1e-12)
            EXPECT_NEAR(std::fabs(out[i]), kPi, 1e-12) << i;
        else
            EXPECT_NEAR(out[i], e, 1e-12) << i;
    }
}

TEST(CorrectionFieldSources, magnitudes_change_nothing_but_silence_voxels_without_signal) {
    const std::vector<double> p1 = {0.2, 1.0, -2.0, 3.0}, p2 = {0.7, 2.5, 2.0, 1.0};
    const std::vector<double> m1 = {1.0, 1e6, 0.0, 30.0}, m2 = {0.01, 2.0, 5.0, 0.0};
    std::vector<double> with(4), without(4);
    correction::phase_difference(p1.data(), p2.data(), m1.data(), m2.data(), 4, with.data());
    correction::phase_difference(p1.data(), p2.data(), nullptr, nullptr, 4, without.data());
    EXPECT_NEAR(with[0], without[0], 1e-12);
    EXPECT_NEAR(with[1], without[1], 1e-12);
    EXPECT_EQ(with[2], 0.0);
    EXPECT_EQ(with[3], 0.0);
    EXPECT_NE(without[2], 0.0);
}

// Congruence: on many random pairs, in the scanner's integer scale, the
// difference lies in [-pi, pi] and differs from phi2 - phi1 by whole turns.
TEST(CorrectionFieldSources, phase_difference_is_congruent_with_the_plain_difference) {
    std::mt19937_64 rng(15);
    std::uniform_int_distribution<int> raw(-4096, 4094);
    const size_t n = 20000;
    std::vector<double> a(n), b(n);
    for (size_t i = 0; i < n; ++i) a[i] = raw(rng), b[i] = raw(rng);
    const PhaseScale s = correction::detect_phase_scale(a.data(), n, "phase1.nii");
    ASSERT_EQ(s, PhaseScale::kSigned4096);
    const double f = correction::radians_per_unit(s);
    for (size_t i = 0; i < n; ++i) a[i] *= f, b[i] *= f;
    std::vector<double> d(n);
    correction::phase_difference(a.data(), b.data(), nullptr, nullptr, n, d.data());
    for (size_t i = 0; i < n; ++i) {
        ASSERT_LE(std::fabs(d[i]), kPi) << i;
        const double turns = (b[i] - a[i] - d[i]) / (2.0 * kPi);
        ASSERT_NEAR(turns, std::round(turns), 1e-9) << i;
    }
}

TEST(CorrectionFieldSources, echo_time_difference_comes_from_the_two_sidecars) {
    EXPECT_NEAR(correction::echo_time_difference_ms(0.00519, 0.00765, "phase1.json", "phase2.json"), 2.46, 1e-12);
    EXPECT_EQ(message_of([] { correction::echo_time_difference_ms(0.00765, 0.00519, "phase1.json", "phase2.json"); }),
              "echo times of \"phase1.json\" (0.00765 s) and \"phase2.json\" (0.00519 s): the second echo must come at "
              "least 0.1 ms after the first (difference -2.46 ms); give phase1 the earlier echo");
    EXPECT_THROW(correction::echo_time_difference_ms(0.005, 0.00505, "a", "b"), std::invalid_argument);
    EXPECT_THROW(correction::echo_time_difference_ms(0.0, 0.005, "a", "b"), std::invalid_argument);
    EXPECT_THROW(correction::echo_time_difference_ms(std::nan(""), 0.005, "a", "b"), std::invalid_argument);
    EXPECT_THROW(correction::echo_time_difference_ms(0.005, INFINITY, "a", "b"), std::invalid_argument);
}

}  // namespace
}  // namespace warpmender
