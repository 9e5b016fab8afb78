// Relaxation unwrapping: wrapped residuals, red-black order against the plain loops, recovery of a smooth field.
#include "fieldmap/relax_unwrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/kernel_forms.h"
#include "tests/unwrap_fields.h"
#include "tests/unwrap_reference.h"

namespace warpmender {
namespace {

using test::first_bit_difference;
using test::random_values;

// p0's update on a 2 x 1 x 1 grid from u = 0, unit weights, lambda 0: both x
// neighbours are p1 (residual r counted twice), the four y and z neighbours
// are p0 itself (residual 0, weight 1). One iteration updates p0 in the first
// half-pass only, so out[0] = R / W with the sums formed in neighbour order.
double first_update(double psi0, double psi1) {
    const int n[3] = {2, 1, 1};
    std::vector<double> phase = {psi0, psi1}, weight = {1.0, 1.0}, out = {0.0, 0.0};
    relax_unwrap(n, phase.data(), weight.data(), out.data(), 1, 0.0);
    return out[0];
}
double expected_update(double r) {
    const double W = 1e-6 + 1.0 + 1.0 + 1.0 + 1.0 + 1.0 + 1.0;
    const double R = 0.0 + r + r + 0.0 + 0.0 + 0.0 + 0.0;
    return (0.0 * 0.0 + (0.0 * W + R)) / (6 * 0.0 + W);
}

TEST(UnwrapRelax, residuals_wrap_into_one_period) {
    // The half-period cases are exact; the others carry the rounding of
    // (psi0 - psi1) + 0.5 and are compared within 1e-15.
    const struct {
        double psi0, psi1, r, tolerance;
        const char* what;
    } cases[] = {
        {0.0, 0.5, -0.5, 0.0, "a residual of exactly -0.5 stays -0.5"},
        {0.5, 0.0, -0.5, 0.0, "one of exactly +0.5 becomes -0.5 (floor of 1.0 is 1)"},
        {0.1, 0.3, -0.2, 1e-15, "small differences pass unchanged"},
        {0.3, 0.1, 0.2, 1e-15, "in both senses"},
        {0.45, -0.45, -0.1, 1e-15, "0.9 cycles wrap to -0.1, not 0.9"},
        {-0.45, 0.45, 0.1, 1e-15, "and -0.9 to +0.1"},
    };
    for (const auto& c : cases) {
        if (c.tolerance == 0.0)
            EXPECT_EQ(first_update(c.psi0, c.psi1), expected_update(c.r)) << c.what;
        else
            EXPECT_NEAR(first_update(c.psi0, c.psi1), expected_update(c.r), c.tolerance) << c.what;
    }
}

TEST(UnwrapRelax, single_voxel_sees_itself_on_every_axis) {
    // Six self-neighbours: residual 0 each (d = 0.5 exactly), weight w^2, S = 6u.
    const int n[3] = {1, 1, 1};
    double phase = 0.75, weight = 2.0, out = 0.25;
    const double lambda = 0.3;
    relax_unwrap(n, &phase, &weight, &out, 1, lambda);
    const double W = 1e-6 + 4.0 + 4.0 + 4.0 + 4.0 + 4.0 + 4.0;
    const double S = 0.25 + 0.25 + 0.25 + 0.25 + 0.25 + 0.25;
    EXPECT_EQ(out, (lambda * S + (0.25 * W + 0.0)) / (6 * lambda + W));
}

TEST(UnwrapRelax, iterations_zero_or_negative_leave_the_estimate_unchanged) {
    const int n[3] = {5, 4, 3};
    const std::vector<double> phase = random_values(60, -0.5, 0.5, 1), weight = random_values(60, 0, 2, 2),
                              start = random_values(60, -3, 3, 3);
    for (int iterations : {0, -1, -1000}) {
        std::vector<double> out = start;
        relax_unwrap(n, phase.data(), weight.data(), out.data(), iterations, 0.5);
        EXPECT_EQ(first_bit_difference(out, start), -1) << iterations;
    }
}

TEST(UnwrapRelax, constant_phase_from_zero_stays_zero) {
    const int n[3] = {6, 5, 4};
    const std::vector<double> phase(120, 0.3), weight = random_values(120, 0, 3, 4);
    std::vector<double> out(120, 0.0);
    relax_unwrap(n, phase.data(), weight.data(), out.data(), 10, 0.2);
    for (double v : out) ASSERT_EQ(v, 0.0);
}

TEST(UnwrapRelax, zero_weights_and_zero_lambda_change_nothing) {
    // Each update is up * 1e-6 / 1e-6: up again, to within the rounding of one
    // product and one quotient (EXPECT_DOUBLE_EQ allows 4 ulps).
    const int n[3] = {7, 4, 3};
    const std::vector<double> phase = random_values(84, -0.5, 0.5, 5), weight(84, 0.0),
                              start = random_values(84, -4, 4, 6);
    std::vector<double> out = start;
    relax_unwrap(n, phase.data(), weight.data(), out.data(), 1, 0.0);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_DOUBLE_EQ(out[i], start[i]) << i;
}

TEST(UnwrapRelax, agrees_bit_for_bit_with_the_plain_loops) {
    // Sizes 1 and 2 on each axis, odd and even seams, and rows long enough
    // for the vector lanes (23, 16 and 37 wide) with every tail length.
    const int grids[][3] = {{1, 1, 1},  {2, 1, 1}, {1, 2, 1},  {1, 1, 2},  {2, 2, 2}, {3, 1, 1}, {1, 3, 1},
                            {1, 1, 3},  {5, 4, 1}, {4, 1, 5},  {1, 6, 7},  {2, 7, 3}, {7, 2, 5}, {23, 17, 11},
                            {16, 8, 4}, {9, 9, 9}, {37, 3, 2}, {18, 5, 3}, {20, 3, 3}};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const auto& n : grids) {
            const long m = long(n[0]) * n[1] * n[2];
            const std::vector<double> phase = random_values(m, -0.5, 0.5, 10 + m),
                                      weight = random_values(m, 0, 2, 11 + m), start = random_values(m, -1, 1, 12 + m);
            for (double lambda : {0.0, 0.05}) {
                std::vector<double> out = start, ref = start;
                relax_unwrap(n, phase.data(), weight.data(), out.data(), 3, lambda);
                reference::relax_unwrap(n, phase.data(), weight.data(), ref.data(), 3, lambda);
                EXPECT_EQ(first_bit_difference(out, ref), -1)
                    << test::form_name(form) << " " << n[0] << "x" << n[1] << "x" << n[2] << " lambda " << lambda;
            }
        }
    }
}

TEST(UnwrapRelax, agrees_bit_for_bit_on_half_integers_and_huge_values) {
    // Residuals of exactly +-0.5 and integers, and differences beyond 2^52 where
    // every double is an integer: the floors of the vector lanes must match.
    const int n[3] = {23, 5, 3};
    const long m = 23 * 5 * 3;
    std::vector<double> phase = random_values(m, -4, 4, 77), weight = random_values(m, 0, 2, 78);
    for (long i = 0; i < m; ++i) {
        if (i % 3 == 0) phase[i] = std::round(phase[i] * 2) / 2;
        if (i % 7 == 0) phase[i] *= 3e17;
        if (i % 11 == 0) phase[i] = -0.0;
    }
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        std::vector<double> out(m, 0.0), ref(m, 0.0);
        relax_unwrap(n, phase.data(), weight.data(), out.data(), 4, 0.1);
        reference::relax_unwrap(n, phase.data(), weight.data(), ref.data(), 4, 0.1);
        EXPECT_EQ(first_bit_difference(out, ref), -1) << test::form_name(form);
    }
}

TEST(UnwrapRelax, estimate_in_the_phase_or_weight_array_agrees_with_the_plain_loops) {
    // Written into an input, each update changes what the next one reads: the
    // plain loop's order must hold voxel by voxel.
    const int n[3] = {21, 6, 4};
    const long m = 21 * 6 * 4;
    const std::vector<double> phase = random_values(m, -0.5, 0.5, 81), weight = random_values(m, 0, 2, 82);
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (bool into_phase : {true, false}) {
            std::vector<double> p = phase, w = weight, pr = phase, wr = weight;
            double* out = into_phase ? p.data() : w.data();
            double* ref = into_phase ? pr.data() : wr.data();
            relax_unwrap(n, p.data(), w.data(), out, 2, 0.05);
            reference::relax_unwrap(n, pr.data(), wr.data(), ref, 2, 0.05);
            EXPECT_EQ(first_bit_difference(into_phase ? p : w, into_phase ? pr : wr), -1)
                << test::form_name(form) << (into_phase ? " into phase" : " into weight");
        }
    }
}

TEST(UnwrapRelax, recovers_a_smooth_field_with_several_wraps_inside_the_magnitude) {
    // 5.5 pi peak to peak in radians, i.e. more than five wraps; in cycles as
    // the procedure passes it, weights = magnitude inside the ellipsoid, 0 outside.
    const test::SmoothField field{32, 28, 6};
    const std::vector<double> truth = field.values();
    const std::vector<double> magnitude = test::ellipsoid_magnitude(32, 28, 6);
    std::vector<double> psi(truth.size()), weight(truth.size()), cycles_truth(truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        psi[i] = test::wrap_radians(truth[i]) / (2 * test::kTestPi);
        cycles_truth[i] = truth[i] / (2 * test::kTestPi);
        weight[i] = magnitude[i] > 0 ? 1.0 : 0.0;
    }
    const int n[3] = {32, 28, 6};
    std::vector<double> u(truth.size(), 0.0);
    relax_unwrap(n, psi.data(), weight.data(), u.data(), 1500, 1e-4);
    // Measured worst voxel: 0.97, 0.20 and 1.8e-3 cycles after 100, 300 and
    // 1000 iterations, 8.2e-4 after 1500 and 8.0e-4 after 3000: converged to the
    // pull of lambda at the mask's edge towards the free background. 2e-3
    // cycles (0.013 rad) is far below the whole cycles a failed unwrapping leaves.
    EXPECT_LT(test::max_error_up_to_constant(u, cycles_truth, magnitude), 2e-3);
}

}  // namespace
}  // namespace warpmender
