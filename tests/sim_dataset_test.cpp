// Tests of the assembled synthetic data set: shapes, consistency, and a distortion worth correcting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error.h"
#include "sim/dataset.h"
#include "sim/error_metrics.h"

namespace warpmender {
namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The coarse data set, made once for the suite.
class SimDataset : public ::testing::Test {
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
Dataset* SimDataset::data_ = nullptr;

TEST_F(SimDataset, images_have_the_shapes_and_parameters_the_command_writes) {
    const Dataset& d = *data_;
    const std::size_t n = d.grid.voxels();
    EXPECT_EQ(d.nt, 10);
    EXPECT_EQ(d.pe_dir, 3);
    EXPECT_DOUBLE_EQ(d.bandwidth_pe_hz, 29.48);
    EXPECT_DOUBLE_EQ(d.echo_time_diff_ms, 2.46);
    EXPECT_DOUBLE_EQ(d.echo_time1_s, 0.00492);
    EXPECT_NEAR(d.echo_time2_s - d.echo_time1_s, 0.00246, 1e-15);
    EXPECT_NEAR(1.0 / (d.effective_echo_spacing_s * d.grid.ny), 29.48, 1e-9);
    EXPECT_STREQ(d.bids_pe_direction, "j");
    for (std::size_t size :
         {d.phase.size(), d.magnitude.size(), d.field_hz.size(), d.shift.size(), d.head.size(), d.brain.size()})
        EXPECT_EQ(size, n);
    EXPECT_EQ(d.epi.size(), 10 * n);
    EXPECT_EQ(d.truth.size(), 10 * n);
    EXPECT_EQ(d.ideal.size(), 10 * n);
    EXPECT_GE(d.figure_slice, 0);
    EXPECT_LT(d.figure_slice, d.grid.nz);
    for (std::size_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(d.shift[i], d.field_hz[i] / 29.48);
}

TEST_F(SimDataset, series_are_the_truth_distorted_and_corrected_with_the_true_map) {
    const Dataset& d = *data_;
    EXPECT_EQ(d.epi, distort_series(d.grid, d.nt, d.truth, d.shift, d.pe_dir));
    EXPECT_EQ(d.ideal, undistort_series(d.grid, d.nt, d.epi, d.shift, d.pe_dir));
    // The task blocks (volumes 5..9) differ from rest (0..4) in the truth.
    const std::size_t n = d.grid.voxels();
    std::size_t changed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(d.truth[i], d.truth[4 * n + i]);
        changed += d.truth[5 * n + i] > d.truth[i];
    }
    EXPECT_GT(changed, 10u);
}

// The shimmed field over the brain: mean about 0, and the sinus gives
// shifts of a few voxels where it reaches the brain.
TEST_F(SimDataset, field_is_shimmed_and_the_sinus_moves_the_brain_by_voxels) {
    const Dataset& d = *data_;
    double mean = 0.0, max_shift = 0.0;
    std::size_t brain = 0;
    for (std::size_t i = 0; i < d.field_hz.size(); ++i)
        if (d.brain[i]) {
            mean += d.field_hz[i];
            max_shift = std::max(max_shift, std::fabs(d.shift[i]));
            ++brain;
        }
    EXPECT_NEAR(mean / brain, 0.0, 1e-6);
    EXPECT_GT(max_shift, 1.5);
    EXPECT_LT(max_shift, 10.0);
}

// Where the distortion moves content by a voxel or more, the correction
// with the true map brings the image close to the truth with the
// distortion's intensity change left in (truth / J, J = 1 + ds/dy, what a
// correction without intensity correction aims at): measured 0.64 -> 0.18
// of the mean; a wrong sense or axis would leave it near the distorted one.
TEST_F(SimDataset, correcting_with_the_true_map_undoes_the_displacement) {
    const Dataset& d = *data_;
    const Grid& g = d.grid;
    const std::size_t n = g.voxels();
    std::vector<float> target(d.truth.size());
    std::vector<std::uint8_t> moved(n, 0);
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const std::size_t i = g.index(x, y, z);
                const int y0 = std::max(y - 1, 0), y1 = std::min(y + 1, g.ny - 1);
                const double j = 1.0 + (d.shift[g.index(x, y1, z)] - d.shift[g.index(x, y0, z)]) / (y1 - y0);
                for (int t = 0; t < d.nt; ++t)
                    target[n * t + i] = static_cast<float>(d.truth[n * t + i] / std::max(j, 0.05));
                moved[i] = d.head[i] && d.truth[i] > 150.0f && std::fabs(d.shift[i]) >= 1.0;
            }
    const SeriesError before = series_error(d.epi, target, moved, d.nt);
    const SeriesError after = series_error(d.ideal, target, moved, d.nt);
    ASSERT_GT(before.voxels, 100u);
    EXPECT_LT(after.rms_relative, 0.4 * before.rms_relative);
    EXPECT_GT(before.rms_relative, 0.3);
}

TEST(SimDatasetOptions, other_codes_noise_and_bad_parameters) {
    DatasetParams p;
    p.phantom.grid = Grid{32, 32, 16, 8.0, 8.0, 8.0};
    p.epi.pe_dir = 2;
    p.epi.nt = 2;
    p.epi.noise = 5.0;
    const Dataset d = make_dataset(p);
    EXPECT_EQ(d.pe_dir, 2);
    EXPECT_STREQ(d.bids_pe_direction, "i-");
    EXPECT_NEAR(1.0 / (d.effective_echo_spacing_s * d.grid.nx), 29.48, 1e-9);
    EXPECT_NE(d.epi, distort_series(d.grid, d.nt, d.truth, d.shift, 2)) << "noise was added";
    EXPECT_EQ(d.ideal, undistort_series(d.grid, d.nt, distort_series(d.grid, d.nt, d.truth, d.shift, 2), d.shift, 2))
        << "the ideal correction is of the noise-free series";
    p.epi.pe_dir = 9;
    EXPECT_THROW(make_dataset(p), Error);
    p.epi.pe_dir = 3;
    p.epi.bandwidth_pe_hz = 0.0;
    EXPECT_THROW(make_dataset(p), Error);
}

// The demo's own grid: realistic field values at 3 T, and a wrapped phase
// that stays unwrappable (every step between neighbours in the plug-in's
// mask below pi).
TEST(SimDatasetDefault, default_grid_field_is_realistic_and_unwrappable) {
    const Dataset d = make_dataset();
    const Grid& g = d.grid;
    EXPECT_EQ(g.nx, 128);
    EXPECT_EQ(g.ny, 128);
    EXPECT_EQ(g.nz, 64);
    const double dte = d.echo_time_diff_ms * 1e-3;
    double lo = 0.0, hi = 0.0, step = 0.0;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const std::size_t i = g.index(x, y, z);
                if (!(d.magnitude[i] > 200.0f)) continue;
                lo = std::min(lo, d.field_hz[i]);
                hi = std::max(hi, d.field_hz[i]);
                const std::size_t next[3] = {x + 1 < g.nx ? i + 1 : i, y + 1 < g.ny ? i + g.nx : i,
                                             z + 1 < g.nz ? i + static_cast<std::size_t>(g.nx) * g.ny : i};
                for (std::size_t j : next)
                    if (d.magnitude[j] > 200.0f)
                        step = std::max(step, 2 * kPi * std::fabs(d.field_hz[j] - d.field_hz[i]) * dte);
            }
    // Measured: -111..206 Hz, steps up to 0.6 rad.
    EXPECT_LT(lo, -50.0);
    EXPECT_GT(hi, 100.0);
    EXPECT_GT(lo, -300.0);
    EXPECT_LT(hi, 400.0);
    EXPECT_LT(step, kPi / 2);
    EXPECT_GT(step, 0.1);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
