// Tests of the simulated field-map scan: wrapping, stored units, magnitude.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error.h"
#include "sim/dataset.h"
#include "sim/fieldmap_scan.h"

namespace warpmender {
namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(SimFieldmapScan, wraps_into_minus_pi_exclusive_to_pi_inclusive) {
    const struct {
        double in, out;
    } cases[] = {{0.0, 0.0},           {kPi, kPi},
                 {-kPi, kPi},          {3 * kPi, kPi},
                 {2 * kPi, 0.0},       {-1.5 * kPi, 0.5 * kPi},
                 {0.25, 0.25},         {-0.25, -0.25},
                 {7.0, 7.0 - 2 * kPi}, {-100.0, -100.0 + 32 * kPi}};
    for (const auto& c : cases) EXPECT_NEAR(wrap_phase(c.in), c.out, 1e-12) << c.in;
    for (double x = -60.0; x < 60.0; x += 0.01) {
        const double w = wrap_phase(x);
        ASSERT_GT(w, -kPi) << x;
        ASSERT_LE(w, kPi) << x;
        ASSERT_NEAR(std::remainder(w - x, 2 * kPi), 0.0, 1e-9) << x;
    }
}

// -pi..pi stands for -4096..4095 linearly, which is what the plug-in's
// rescaling of the zero-inclusive min..max onto -pi..pi undoes.
TEST(SimFieldmapScan, stored_units_map_linearly_onto_minus_pi_to_pi) {
    EXPECT_DOUBLE_EQ(phase_to_stored(-kPi), -4096.0);
    EXPECT_DOUBLE_EQ(phase_to_stored(kPi), 4095.0);
    EXPECT_DOUBLE_EQ(stored_to_radians(-4096.0), -kPi);
    EXPECT_DOUBLE_EQ(stored_to_radians(4095.0), kPi);
    EXPECT_NEAR(stored_to_radians(phase_to_stored(1.234)), 1.234, 1e-12);
    // The same map written as the rescaling of [min, max] onto [-pi, pi]:
    const double lo = kPhaseStoredMin, hi = kPhaseStoredMax;
    for (double v : {-4096.0, -1000.0, 0.0, 17.0, 4095.0})
        EXPECT_NEAR(stored_to_radians(v), -kPi + (v - lo) * (2 * kPi) / (hi - lo), 1e-12) << v;
}

// The scan of the demo's field, on the coarse grid.
class SimFieldmapScanOfPhantom : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        DatasetParams p;
        p.phantom.grid = small_grid();
        data_ = new Dataset(make_dataset(p));
    }
    static void TearDownTestSuite() {
        delete data_;
        data_ = nullptr;
    }
    static Dataset* data_;
};
Dataset* SimFieldmapScanOfPhantom::data_ = nullptr;

TEST_F(SimFieldmapScanOfPhantom, stored_phase_is_whole_numbers_spanning_the_exact_extremes) {
    const Dataset& d = *data_;
    const auto [lo, hi] = std::minmax_element(d.phase.begin(), d.phase.end());
    EXPECT_EQ(*lo, -4096.0f);
    EXPECT_EQ(*hi, 4095.0f);
    for (float v : d.phase) ASSERT_EQ(v, std::round(v));
    // The pinned extremes sit where the mask ignores them.
    EXPECT_EQ(d.magnitude[lo - d.phase.begin()], 0.0f);
    EXPECT_EQ(d.magnitude[hi - d.phase.begin()], 0.0f);
}

// Where there is signal, the stored phase is 2 pi f dTE modulo 2 pi, to
// within the rounding to whole units (half a unit: pi / 8191 rad).
TEST_F(SimFieldmapScanOfPhantom, phase_is_the_field_times_echo_time_difference_modulo_two_pi) {
    const Dataset& d = *data_;
    const double dte = d.echo_time_diff_ms * 1e-3;
    std::size_t checked = 0, wrapped = 0;
    for (std::size_t i = 0; i < d.phase.size(); ++i) {
        if (d.magnitude[i] <= 0.0f) continue;
        const double expected = 2 * kPi * d.field_hz[i] * dte;
        const double got = stored_to_radians(d.phase[i]);
        ASSERT_NEAR(std::remainder(got - expected, 2 * kPi), 0.0, kPi / 8191 + 1e-9) << i;
        ++checked;
        wrapped += std::fabs(expected) > kPi;
    }
    EXPECT_GT(checked, 10000u);
    EXPECT_GT(wrapped, 0u) << "the field should wrap somewhere, or unwrapping is not exercised";
}

// Unwrapping along each row through the plug-in's mask (magnitude > 200)
// with Itoh's method gives back 2 pi f dTE up to one multiple of 2 pi per
// run: the neighbour steps stay below pi, so the data can be unwrapped.
TEST_F(SimFieldmapScanOfPhantom, unwrapping_the_wrapped_phase_recovers_the_field) {
    const Dataset& d = *data_;
    const Grid& g = d.grid;
    const double dte = d.echo_time_diff_ms * 1e-3;
    const double tol = 2 * kPi / 8191 * 2;  // two runs of rounding
    std::size_t runs = 0;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            double unwrapped = 0.0, offset = 0.0;
            bool in_run = false;
            for (int x = 0; x < g.nx; ++x) {
                const std::size_t i = g.index(x, y, z);
                if (!(d.magnitude[i] > 200.0f)) {
                    in_run = false;
                    continue;
                }
                const double w = stored_to_radians(d.phase[i]);
                const double truth = 2 * kPi * d.field_hz[i] * dte;
                if (!in_run) {
                    unwrapped = w;
                    offset = truth - w;  // a multiple of 2 pi, fixed for the run
                    in_run = true;
                    ++runs;
                } else {
                    unwrapped += wrap_phase(w - stored_to_radians(d.phase[i - 1]));
                }
                ASSERT_NEAR(unwrapped + offset, truth, tol) << x << "," << y << "," << z;
            }
        }
    EXPECT_GT(runs, 500u);
}

TEST_F(SimFieldmapScanOfPhantom, magnitude_is_zero_in_air_and_well_above_the_mask_threshold_in_the_brain) {
    const Dataset& d = *data_;
    std::size_t brain = 0, low = 0;
    for (std::size_t i = 0; i < d.magnitude.size(); ++i) {
        ASSERT_GE(d.magnitude[i], 0.0f);
        ASSERT_LE(d.magnitude[i], 4095.0f);
        if (!d.head[i] && d.magnitude[i] != 0.0f) {
            // outside the tissue only partial-volume edge voxels carry signal
            ASSERT_LT(d.magnitude[i], 0.5f * 3700.0f) << i;
        }
        if (d.brain[i]) {
            ++brain;
            low += d.magnitude[i] <= 200.0f;
        }
    }
    EXPECT_EQ(d.magnitude[0], 0.0f);
    // Only the dephased voxels next to the sinus's bony wall may drop under the threshold.
    EXPECT_LT(static_cast<double>(low), 0.01 * brain);
}

TEST(SimFieldmapScan, exact_phase_and_noise_options) {
    const Grid g{5, 3, 2, 1.0, 1.0, 1.0};
    std::vector<double> field(g.voxels());
    std::vector<float> magnitude(g.voxels(), 1000.0f);
    for (std::size_t i = 0; i < field.size(); ++i) field[i] = 37.0 * static_cast<double>(i);
    magnitude[0] = magnitude[7] = magnitude[g.voxels() - 1] = 0.0f;
    FieldmapScanParams p;
    p.quantise_phase = false;
    p.noisy_phase_in_air = false;
    const FieldmapScan s = scan_fieldmap(g, field, magnitude, p);
    EXPECT_EQ(s.phase[0], -4096.0f);              // first air voxel pinned
    EXPECT_EQ(s.phase[g.voxels() - 1], 4095.0f);  // last air voxel pinned
    EXPECT_FLOAT_EQ(s.phase[7], static_cast<float>(phase_to_stored(wrap_phase(2 * kPi * field[7] * 2.46e-3))));
    EXPECT_FLOAT_EQ(s.phase[3], static_cast<float>(phase_to_stored(wrap_phase(2 * kPi * field[3] * 2.46e-3))));
    EXPECT_EQ(s.magnitude[3], 1000.0f);
    EXPECT_EQ(s.magnitude[7], 0.0f);

    p.magnitude_noise = 30.0;
    const FieldmapScan a = scan_fieldmap(g, field, magnitude, p), b = scan_fieldmap(g, field, magnitude, p);
    EXPECT_EQ(a.magnitude, b.magnitude) << "the same seed gives the same noise";
    EXPECT_NE(a.magnitude[3], 1000.0f);
    EXPECT_EQ(a.magnitude[7], 0.0f) << "air stays 0";
    p.seed += 1;
    EXPECT_NE(scan_fieldmap(g, field, magnitude, p).magnitude, a.magnitude);

    p.echo_time_diff_ms = 0.0;
    EXPECT_THROW(scan_fieldmap(g, field, magnitude, p), Error);
    EXPECT_THROW(scan_fieldmap(g, std::vector<double>(3, 0.0), magnitude, FieldmapScanParams{}), Error);
}

TEST(SimFieldmapScan, random_numbers_are_reproducible_and_roughly_normal) {
    Random a(7), b(7);
    double sum = 0.0, sum2 = 0.0;
    constexpr int kN = 20000;
    for (int i = 0; i < kN; ++i) {
        const double v = a.normal();
        ASSERT_EQ(v, b.normal());
        sum += v;
        sum2 += v * v;
    }
    // Mean within 4 standard errors (4 / sqrt(20000) = 0.028), variance within 5%.
    EXPECT_NEAR(sum / kN, 0.0, 0.03);
    EXPECT_NEAR(sum2 / kN, 1.0, 0.05);
    for (int i = 0; i < 1000; ++i) {
        const double u = a.uniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
