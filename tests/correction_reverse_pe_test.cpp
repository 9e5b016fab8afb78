// Reverse phase encoding: an AP/PA pair with intensity pile-up agrees after correction only with the Jacobian.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "correction/jacobian.h"
#include "fieldmap/undistort.h"
#include "sim/epi.h"

namespace warpmender {
namespace {

// A smooth head-like phantom: an ellipsoid whose edge falls off over about
// two voxels, with slow structure inside. 48 x 56 x 20 voxels, y is the
// phase-encoding axis (AP = code 3, PA = code 4).
constexpr int kNx = 48, kNy = 56, kNz = 20;

std::vector<float> phantom() {
    std::vector<float> v(kNx * kNy * kNz);
    for (int z = 0; z < kNz; ++z)
        for (int y = 0; y < kNy; ++y)
            for (int x = 0; x < kNx; ++x) {
                const double u = (x - 23.5) / 18.0, w = (y - 27.5) / 22.0, t = (z - 9.5) / 8.5;
                const double r = std::sqrt(u * u + w * w + t * t);
                const double edge = 0.5 * (1.0 - std::tanh((r - 1.0) / 0.06));
                const double inside = 1.0 + 0.3 * std::sin(0.35 * x) * std::cos(0.28 * y) + 0.15 * std::cos(0.5 * z);
                v[x + kNx * (y + kNy * z)] = static_cast<float>(1000.0 * edge * inside);
            }
    return v;
}

// Shift in voxels along y: a frontal bump of up to 3.5 voxels over a gentle
// gradient, as a field of about 100 Hz at 29 Hz per voxel would give.
std::vector<double> shift_map() {
    std::vector<double> s(kNx * kNy * kNz);
    for (int z = 0; z < kNz; ++z)
        for (int y = 0; y < kNy; ++y)
            for (int x = 0; x < kNx; ++x) {
                const double dx = (x - 24.0) / 9.0, dy = (y - 12.0) / 8.0, dz = (z - 6.0) / 6.0;
                s[x + kNx * (y + kNy * z)] = 3.5 * std::exp(-(dx * dx + dy * dy + dz * dz)) + 0.02 * (y - 28.0);
            }
    return s;
}

// Distorted by the forward model with pile-up, then corrected as the plug-in
// corrects (its own undistortion kernel), with or without the Jacobian.
std::vector<double> acquire_and_correct(const std::vector<float>& truth, const std::vector<double>& shift, int code,
                                        bool jacobian) {
    const sim::Grid g{kNx, kNy, kNz, 3.0, 3.0, 3.0};
    std::vector<float> distorted(truth.size());
    std::vector<double> scratch(truth.size());
    sim::distort_volume(g, truth.data(), shift.data(), code, distorted.data(), scratch.data());
    std::vector<double> v(distorted.begin(), distorted.end());
    UndistortPlan plan;
    EXPECT_TRUE(plan.build(shift.data(), kNx, kNy, kNz, code));
    plan.correct(v.data());
    if (jacobian) {
        const std::vector<double> j = correction::jacobian_map(shift.data(), kNx, kNy, kNz, code);
        correction::apply_jacobian(v.data(), static_cast<long>(v.size()), 1, j.data());
    }
    return v;
}

// RMS of a - b inside the object (truth above a tenth of its maximum), over the RMS of the truth there.
double normalised_rms(const std::vector<double>& a, const std::vector<double>& b, const std::vector<float>& truth) {
    double d = 0, t = 0;
    for (size_t i = 0; i < truth.size(); ++i)
        if (truth[i] > 100.0f) {
            d += (a[i] - b[i]) * (a[i] - b[i]);
            t += static_cast<double>(truth[i]) * truth[i];
        }
    return std::sqrt(d / t);
}

TEST(CorrectionReversePe, ap_pa_pair_agrees_far_better_with_the_intensity_correction) {
    const std::vector<float> truth = phantom();
    const std::vector<double> shift = shift_map();
    const std::vector<double> ap = acquire_and_correct(truth, shift, 3, false);
    const std::vector<double> pa = acquire_and_correct(truth, shift, 4, false);
    const std::vector<double> ap_j = acquire_and_correct(truth, shift, 3, true);
    const std::vector<double> pa_j = acquire_and_correct(truth, shift, 4, true);
    const double without = normalised_rms(ap, pa, truth);
    const double with = normalised_rms(ap_j, pa_j, truth);
    const std::vector<double> t(truth.begin(), truth.end());
    std::printf("AP/PA disagreement inside the object (RMS / RMS of the truth): %.4f without, %.4f with the "
                "Jacobian (ratio %.3f); AP against the truth %.4f -> %.4f\n",
                without, with, with / without, normalised_rms(ap, t, truth), normalised_rms(ap_j, t, truth));
    // Measured 0.144 without and 0.005 with (ratio 0.035); asserted at a
    // ratio of 0.25, seven times that, so that a different interpolation
    // order or clamp still passes but a Jacobian of the wrong sense (which
    // doubles the pile-up instead of undoing it) does not.
    EXPECT_GT(without, 0.05);
    EXPECT_LT(with, 0.25 * without);
    EXPECT_LT(normalised_rms(ap_j, t, truth), 0.5 * normalised_rms(ap, t, truth));
}

}  // namespace
}  // namespace warpmender
