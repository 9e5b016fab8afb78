// Intensity (Jacobian) correction: the derivative of the sampling position along each phase-encoding axis.
#include "correction/jacobian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fieldmap/undistort.h"
#include "sim/epi.h"

namespace warpmender {
namespace {

constexpr long kNx = 23, kNy = 17, kNz = 11;

long coordinate(long x, long y, long z, int axis) { return axis == 0 ? x : axis == 1 ? y : z; }

// A shift map that is f(c) along the code's axis, plus a term along another
// axis, which must not count.
std::vector<double> shift_along(int code, double (*f)(long)) {
    const int axis = (code - 1) / 2;
    std::vector<double> s(kNx * kNy * kNz);
    for (long z = 0; z < kNz; ++z)
        for (long y = 0; y < kNy; ++y)
            for (long x = 0; x < kNx; ++x)
                s[x + kNx * (y + kNy * z)] = f(coordinate(x, y, z, axis)) + 0.25 * coordinate(x, y, z, (axis + 1) % 3);
    return s;
}

struct CodeCase {
    int code;
    double expected;  // 1 + sense * 0.3 for s = 0.3 c
};

TEST(CorrectionJacobian, linear_shift_gives_a_constant_derivative_of_the_code_sense_on_each_axis) {
    const CodeCase cases[] = {{1, 1.3}, {2, 0.7}, {3, 1.3}, {4, 0.7}, {5, 1.3}, {6, 0.7}};
    for (const CodeCase& c : cases) {
        const std::vector<double> s = shift_along(c.code, [](long i) { return 0.3 * i; });
        const std::vector<double> j = correction::jacobian_map(s.data(), kNx, kNy, kNz, c.code);
        ASSERT_EQ(j.size(), s.size());
        for (size_t v = 0; v < j.size(); ++v)
            ASSERT_NEAR(j[v], c.expected, 1e-12) << "code " << c.code << " voxel " << v;
    }
}

// s = 0.1 c^2 on each axis: central differences inside (1 + 0.2 c), one-sided at the ends.
TEST(CorrectionJacobian, curved_shift_uses_central_differences_inside_and_one_sided_at_the_ends) {
    for (int code = 1; code <= 6; ++code) {
        const int axis = (code - 1) / 2;
        const long n = axis == 0 ? kNx : axis == 1 ? kNy : kNz;
        const double sense = code % 2 ? 1.0 : -1.0;
        const std::vector<double> s = shift_along(code, [](long i) { return 0.1 * i * i; });
        const std::vector<double> j = correction::jacobian_map(s.data(), kNx, kNy, kNz, code);
        for (long z = 0; z < kNz; ++z)
            for (long y = 0; y < kNy; ++y)
                for (long x = 0; x < kNx; ++x) {
                    const long c = coordinate(x, y, z, axis);
                    // ends: 0.1 (1 - 0) and 0.1 (c^2 - (c-1)^2) = 0.1 (2c - 1)
                    const double ds = c == 0 ? 0.1 : c == n - 1 ? 0.1 * (2 * c - 1) : 0.2 * c;
                    const double want = std::min(std::max(1.0 + sense * ds, 0.0), 4.0);
                    ASSERT_NEAR(j[x + kNx * (y + kNy * z)], want, 1e-12) << "code " << code << " c " << c;
                }
    }
}

TEST(CorrectionJacobian, step_in_the_shift_raises_or_lowers_the_two_voxels_beside_it) {
    // One row along y: s = 0 below y = 5, 1 from there on.
    std::vector<double> s(9);
    for (long y = 0; y < 9; ++y) s[y] = y >= 5 ? 1.0 : 0.0;
    const std::vector<double> up = correction::jacobian_map(s.data(), 1, 9, 1, 3);
    const std::vector<double> down = correction::jacobian_map(s.data(), 1, 9, 1, 4);
    const std::vector<double> want_up = {1, 1, 1, 1, 1.5, 1.5, 1, 1, 1};
    const std::vector<double> want_down = {1, 1, 1, 1, 0.5, 0.5, 1, 1, 1};
    EXPECT_EQ(up, want_up);
    EXPECT_EQ(down, want_down);
}

TEST(CorrectionJacobian, derivative_is_clamped_to_the_stated_range) {
    struct Case {
        double slope;
        int code;
        double expected;
    };
    const Case cases[] = {
        {3.0, 1, 4.0},   // exactly the upper bound
        {5.0, 1, 4.0},   // 6 clamped
        {1.0, 2, 0.0},   // exactly the lower bound: the edge of a fold
        {2.0, 2, 0.0},   // -1: a fold
        {-0.5, 2, 1.5},  // within
    };
    for (const Case& c : cases) {
        std::vector<double> s(7);
        for (long x = 0; x < 7; ++x) s[x] = c.slope * x;
        for (double j : correction::jacobian_map(s.data(), 7, 1, 1, c.code))
            EXPECT_EQ(j, c.expected) << "slope " << c.slope << " code " << c.code;
    }
    std::vector<double> s = {0.0, 1.0, 2.0};
    EXPECT_EQ(correction::jacobian_map(s.data(), 3, 1, 1, 1, 0.5, 1.5), (std::vector<double>{1.5, 1.5, 1.5}));
}

TEST(CorrectionJacobian, single_voxel_axis_and_missing_shift_leave_the_intensity_alone) {
    const std::vector<double> s = {0.0, 2.0, 5.0};
    EXPECT_EQ(correction::jacobian_map(s.data(), 3, 1, 1, 5), (std::vector<double>{1.0, 1.0, 1.0}));
    const std::vector<double> gap = {0.0, 0.1, std::nan(""), 0.3, 0.4};
    const std::vector<double> j = correction::jacobian_map(gap.data(), 5, 1, 1, 1);
    EXPECT_DOUBLE_EQ(j[0], 1.1);
    EXPECT_EQ(j[1], 1.0);         // beside the NaN
    EXPECT_DOUBLE_EQ(j[2], 1.1);  // its central difference skips the NaN: 1 + (0.3 - 0.1) / 2
    EXPECT_EQ(j[3], 1.0);
    EXPECT_DOUBLE_EQ(j[4], 1.1);
}

TEST(CorrectionJacobian, bad_code_size_or_range_is_refused_with_its_reason) {
    const std::vector<double> s(6, 0.0);
    try {
        correction::jacobian_map(s.data(), 6, 1, 1, 7);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "phase-encoding code 7 is not one of 1..6 (1 +x, 2 -x, 3 +y, 4 -y, 5 +z, 6 -z)");
    }
    EXPECT_THROW(correction::jacobian_map(s.data(), 6, 1, 1, 0), std::invalid_argument);
    EXPECT_THROW(correction::jacobian_map(s.data(), 6, 0, 1, 1), std::invalid_argument);
    EXPECT_THROW(correction::jacobian_map(s.data(), 6, 1, 1, 1, 2.0, 1.0), std::invalid_argument);
}

TEST(CorrectionJacobian, apply_multiplies_every_volume_of_float_and_double_series) {
    const std::vector<double> j = {0.5, 2.0, 1.0};
    std::vector<float> f = {2, 3, 4, 10, 20, 30};
    std::vector<double> d = {2, 3, 4, 10, 20, 30};
    correction::apply_jacobian(f.data(), 3, 2, j.data());
    correction::apply_jacobian(d.data(), 3, 2, j.data());
    EXPECT_EQ(f, (std::vector<float>{1, 6, 4, 5, 40, 30}));
    EXPECT_EQ(d, (std::vector<double>{1, 6, 4, 5, 40, 30}));
}

// The plug-in's undistortion of one volume (double).
std::vector<double> undistort(const std::vector<float>& distorted, const std::vector<double>& shift, long nx, long ny,
                              long nz, int code) {
    std::vector<double> v(distorted.begin(), distorted.end());
    UndistortPlan plan;
    EXPECT_TRUE(plan.build(shift.data(), nx, ny, nz, code));
    plan.correct(v.data());
    return v;
}

// A 1D profile through the forward model with pile-up: where the shift
// compresses the image the intensity rises, where it stretches it falls.
// The pixel shift puts the content back in place but not its amount; the
// Jacobian brings the sum back.
TEST(CorrectionJacobian, restores_the_sum_of_a_profile_the_distortion_piled_up) {
    const int n = 96;
    sim::Grid g{n, 1, 1, 2.0, 2.0, 2.0};
    std::vector<float> truth(n, 0.0f);
    std::vector<double> shift(n);
    for (int x = 0; x < n; ++x) {
        const double u = (x - 40.0) / 9.0;
        truth[x] = static_cast<float>(x >= 16 && x < 80 ? 100.0 + 40.0 * std::cos(0.3 * x) : 0.0);
        shift[x] = 4.0 * std::exp(-u * u) - 1.0;  // a derivative up to +-0.38 per voxel
    }
    double sum_truth = 0;
    for (float v : truth) sum_truth += v;
    for (int code : {1, 2}) {
        std::vector<float> distorted(n);
        std::vector<double> scratch(n);
        sim::distort_volume(g, truth.data(), shift.data(), code, distorted.data(), scratch.data());
        const std::vector<double> plain = undistort(distorted, shift, n, 1, 1, code);
        std::vector<double> corrected = plain;
        const std::vector<double> jac = correction::jacobian_map(shift.data(), n, 1, 1, code);
        correction::apply_jacobian(corrected.data(), n, 1, jac.data());
        double sum_plain = 0, sum_corrected = 0, err_plain = 0, err_corrected = 0;
        for (int x = 0; x < n; ++x) {
            sum_plain += plain[x];
            sum_corrected += corrected[x];
            err_plain += std::fabs(plain[x] - truth[x]);
            err_corrected += std::fabs(corrected[x] - truth[x]);
        }
        const double off_plain = std::fabs(sum_plain - sum_truth) / sum_truth;
        const double off_corrected = std::fabs(sum_corrected - sum_truth) / sum_truth;
        std::printf("code %d: sum off by %.4f%% without, %.4f%% with the Jacobian; mean |error| %.3f vs %.3f\n", code,
                    100 * off_plain, 100 * off_corrected, err_plain / n, err_corrected / n);
        EXPECT_GT(off_plain, 0.015) << "code " << code;  // the pile-up is real: 4.6% and 2.2% measured
        EXPECT_LT(off_corrected, off_plain / 10.0) << "code " << code;
        EXPECT_LT(err_corrected, err_plain / 3.0) << "code " << code;
    }
}

}  // namespace
}  // namespace warpmender
