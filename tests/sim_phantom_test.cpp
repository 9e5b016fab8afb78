// Tests of the head phantom's anatomy, contrasts and susceptibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/error.h"
#include "sim/phantom.h"

namespace warpmender {
namespace sim {
namespace {

class SimPhantomOnGrid : public ::testing::TestWithParam<Grid> {};

INSTANTIATE_TEST_SUITE_P(Grids, SimPhantomOnGrid,
                         ::testing::Values(small_grid(), Grid{23, 17, 11, 8.0, 9.0, 7.0},
                                           Grid{64, 64, 24, 2.0, 2.0, 2.0}),
                         [](const ::testing::TestParamInfo<Grid>& info) {
                             const Grid& g = info.param;
                             return std::to_string(g.nx) + "x" + std::to_string(g.ny) + "x" + std::to_string(g.nz) +
                                    "_at_" + std::to_string(static_cast<int>(g.dx)) + "mm_" +
                                    std::to_string(info.index);
                         });

// A margin of air all round: the field computation pads with the medium of
// the faces, and the head must not be cut off.
TEST_P(SimPhantomOnGrid, head_is_surrounded_by_air) {
    const Phantom ph = make_head_phantom(PhantomParams{GetParam()});
    const Grid& g = ph.grid;
    ASSERT_EQ(ph.chi_ppm.size(), g.voxels());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                if (x != 0 && x != g.nx - 1 && y != 0 && y != g.ny - 1 && z != 0 && z != g.nz - 1) continue;
                const std::size_t i = g.index(x, y, z);
                ASSERT_EQ(ph.magnitude[i], 0.0f);
                ASSERT_EQ(ph.epi[i], 0.0f);
                ASSERT_EQ(ph.chi_ppm[i], kChiAirPpm);
                ASSERT_EQ(ph.head[i], 0);
            }
}

TEST_P(SimPhantomOnGrid, values_stay_within_their_ranges) {
    const Phantom ph = make_head_phantom(PhantomParams{GetParam()});
    std::size_t head = 0, brain = 0;
    for (std::size_t i = 0; i < ph.grid.voxels(); ++i) {
        ASSERT_GE(ph.magnitude[i], 0.0f);
        ASSERT_LE(ph.magnitude[i], 4095.0f);
        ASSERT_GE(ph.epi[i], 0.0f);
        ASSERT_GE(ph.activation[i], 0.0f);
        ASSERT_LE(ph.activation[i], 1.0f);
        ASSERT_GE(ph.chi_ppm[i], kChiTissuePpm - 1e-12);
        ASSERT_LE(ph.chi_ppm[i], kChiAirPpm + 1e-12);
        ASSERT_GE(ph.chi_sinus_ppm[i], 0.0);
        ASSERT_LE(ph.chi_sinus_ppm[i], kChiAirPpm - kChiTissuePpm + 1e-12);
        head += ph.head[i];
        brain += ph.brain[i];
        if (ph.brain[i]) {
            ASSERT_TRUE(ph.head[i]) << i;
        }
    }
    EXPECT_GT(brain, ph.grid.voxels() / 10);
    EXPECT_GT(head, brain);
}

// The sinus: air in the front-bottom of the head (low y is anterior, low z inferior).
TEST_P(SimPhantomOnGrid, sinus_is_air_in_the_front_bottom_of_the_head) {
    const Phantom ph = make_head_phantom(PhantomParams{GetParam()});
    const Grid& g = ph.grid;
    EXPECT_LT(ph.sinus_y, 0.5 * (g.ny - 1));
    EXPECT_LT(ph.sinus_z, 0.5 * (g.nz - 1));
    const std::size_t i = g.index(static_cast<int>(std::lround(ph.sinus_x)), static_cast<int>(std::lround(ph.sinus_y)),
                                  static_cast<int>(std::lround(ph.sinus_z)));
    // Mostly air (a coarse grid resolves the sinus only partly): under the
    // mask threshold, excess susceptibility more than half of air's.
    EXPECT_LT(ph.magnitude[i], 200.0f);
    EXPECT_LT(ph.epi[i], 50.0f);
    EXPECT_EQ(ph.head[i], 0);
    EXPECT_GT(ph.chi_ppm[i], 0.5 * (kChiAirPpm + kChiTissuePpm));
    EXPECT_GT(ph.chi_sinus_ppm[i], 0.5 * (kChiAirPpm - kChiTissuePpm));
    // The centre of the head is tissue, with no excess susceptibility.
    const std::size_t c = g.index(g.nx / 2, g.ny / 2, g.nz / 2);
    EXPECT_NEAR(ph.chi_ppm[c], kChiTissuePpm, 1e-12);
    EXPECT_EQ(ph.chi_sinus_ppm[c], 0.0);
}

TEST(SimPhantom, default_phantom_has_the_contrasts_that_make_a_shift_visible) {
    const Phantom ph = make_head_phantom();
    const Grid& g = ph.grid;
    EXPECT_EQ(g.nx, 128);
    EXPECT_EQ(g.nz, 64);
    // Distinct levels of the compartments in the EPI contrast.
    std::vector<float> levels;
    for (float v : ph.epi)
        if (std::find(levels.begin(), levels.end(), v) == levels.end()) levels.push_back(v);
    for (float want : {300.0f, 640.0f, 900.0f, 1350.0f, 40.0f})
        EXPECT_NE(std::find(levels.begin(), levels.end(), want), levels.end()) << want;
    // Left and right mirror each other apart from the responsive patch.
    std::size_t asymmetric = 0;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x)
                asymmetric +=
                    std::fabs(ph.magnitude[g.index(x, y, z)] - ph.magnitude[g.index(g.nx - 1 - x, y, z)]) > 1e-2f;
    EXPECT_EQ(asymmetric, 0u);
    std::size_t responsive = 0;
    for (float a : ph.activation) responsive += a > 0.0f;
    EXPECT_GT(responsive, 100u);
}

TEST(SimPhantom, no_sinus_leaves_no_excess_susceptibility) {
    PhantomParams p;
    p.grid = small_grid();
    p.sinus_scale = 0.0;
    const Phantom ph = make_head_phantom(p);
    for (double v : ph.chi_sinus_ppm) ASSERT_EQ(v, 0.0);
}

TEST(SimPhantom, rejects_bad_grids_and_scales) {
    EXPECT_THROW(make_head_phantom(PhantomParams{Grid{0, 10, 10, 1.0, 1.0, 1.0}}), Error);
    EXPECT_THROW(make_head_phantom(PhantomParams{Grid{10, 10, 10, 1.0, 0.0, 1.0}}), Error);
    EXPECT_THROW(make_head_phantom(PhantomParams{Grid{5000, 10, 10, 1.0, 1.0, 1.0}}), Error);
    EXPECT_THROW(make_head_phantom(PhantomParams{Grid{23, 17, 7, 1.0, 1.0, 1.0}}), Error);
    EXPECT_THROW(make_head_phantom(PhantomParams{small_grid(), -1.0}), Error);
}

// Voxel (i, j, k) -> RAS: i to the left (-R), j to the posterior (-A), k up (+S), centred.
TEST(SimPhantom, affine_places_the_grid_centre_at_the_origin_in_lps_axis_order) {
    const Grid g{23, 17, 11, 2.0, 3.0, 4.0};
    const auto a = g.affine();
    auto ras = [&](double i, double j, double k, int r) { return a[r][0] * i + a[r][1] * j + a[r][2] * k + a[r][3]; };
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(ras(11, 8, 5, r), 0.0, 1e-12);
    EXPECT_NEAR(ras(12, 8, 5, 0) - ras(11, 8, 5, 0), -2.0, 1e-12);
    EXPECT_NEAR(ras(11, 9, 5, 1) - ras(11, 8, 5, 1), -3.0, 1e-12);
    EXPECT_NEAR(ras(11, 8, 6, 2) - ras(11, 8, 5, 2), 4.0, 1e-12);
    EXPECT_EQ(a[3][3], 1.0);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
