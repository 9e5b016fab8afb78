// Tests of the EPI forward model (distortion), its reference correction and the truth series.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/error.h"
#include "sim/epi.h"
#include "sim/phantom.h"

namespace warpmender {
namespace sim {
namespace {

// Unequal odd sizes whose voxels hold their own index: a transposed or
// mis-strided axis shows at once.
const Grid kOdd{23, 17, 11, 2.0, 2.0, 2.0};
constexpr int kOddVolumes = 3;

std::vector<float> index_series(const Grid& g, int nt) {
    std::vector<float> v(g.voxels() * nt);
    std::iota(v.begin(), v.end(), 0.0f);
    return v;
}

struct Coord {
    int x, y, z;
};

double sum(const float* v, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    return s;
}

TEST(SimEpi, phase_encoding_codes_name_axis_and_sense) {
    const struct {
        int code, axis, sense;
    } cases[] = {{1, 0, 1}, {2, 0, -1}, {3, 1, 1}, {4, 1, -1}, {5, 2, 1}, {6, 2, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(pe_axis(c.code).axis, c.axis) << c.code;
        EXPECT_EQ(pe_axis(c.code).sense, c.sense) << c.code;
    }
    for (int bad : {0, 7, -3}) EXPECT_THROW(pe_axis(bad), Error) << bad;
}

TEST(SimEpi, zero_field_is_the_identity_for_every_code) {
    const std::vector<float> in = index_series(kOdd, kOddVolumes);
    const std::vector<double> zero(kOdd.voxels(), 0.0);
    for (int code = 1; code <= 6; ++code) {
        const std::vector<float> out = distort_series(kOdd, kOddVolumes, in, zero, code);
        ASSERT_EQ(out, in) << "code " << code;
    }
}

// A uniform whole-voxel shift moves every voxel's content by exactly that
// many voxels, towards +axis for codes 1, 3, 5 and -axis for 2, 4, 6; what
// nothing lands on is 0.
TEST(SimEpi, uniform_integer_shift_moves_content_by_that_many_voxels) {
    const struct {
        int code;
        double shift;
        Coord move;
    } cases[] = {
        {1, 2.0, {2, 0, 0}}, {2, 2.0, {-2, 0, 0}}, {3, 3.0, {0, 3, 0}},   {4, 3.0, {0, -3, 0}},
        {5, 1.0, {0, 0, 1}}, {6, 1.0, {0, 0, -1}}, {3, -2.0, {0, -2, 0}}, {6, -4.0, {0, 0, 4}},
    };
    const Grid& g = kOdd;
    const std::vector<float> in = index_series(g, kOddVolumes);
    for (const auto& c : cases) {
        const std::vector<float> out =
            distort_series(g, kOddVolumes, in, std::vector<double>(g.voxels(), c.shift), c.code);
        for (int t = 0; t < kOddVolumes; ++t)
            for (int z = 0; z < g.nz; ++z)
                for (int y = 0; y < g.ny; ++y)
                    for (int x = 0; x < g.nx; ++x) {
                        const int sx = x - c.move.x, sy = y - c.move.y, sz = z - c.move.z;
                        const bool from_inside = sx >= 0 && sx < g.nx && sy >= 0 && sy < g.ny && sz >= 0 && sz < g.nz;
                        const float expected = from_inside ? in[g.voxels() * t + g.index(sx, sy, sz)] : 0.0f;
                        ASSERT_EQ(out[g.voxels() * t + g.index(x, y, z)], expected)
                            << "code " << c.code << " shift " << c.shift << " at " << x << "," << y << "," << z;
                    }
    }
}

// Shift 0.25 everywhere: (1 - w) = 0.75 stays, 0.25 goes to the next voxel in the code's sense.
TEST(SimEpi, uniform_fractional_shift_splits_linearly_between_two_voxels) {
    const Grid g{9, 7, 5, 1.0, 1.0, 1.0};
    const Coord at{4, 3, 2};
    std::vector<float> in(g.voxels(), 0.0f);
    in[g.index(at.x, at.y, at.z)] = 8.0f;
    const std::vector<double> shift(g.voxels(), 0.25);
    const struct {
        int code;
        Coord next;
    } cases[] = {{1, {5, 3, 2}}, {2, {3, 3, 2}}, {3, {4, 4, 2}}, {4, {4, 2, 2}}, {5, {4, 3, 3}}, {6, {4, 3, 1}}};
    for (const auto& c : cases) {
        const std::vector<float> out = distort_series(g, 1, in, shift, c.code);
        std::vector<float> expected(g.voxels(), 0.0f);
        expected[g.index(at.x, at.y, at.z)] = 6.0f;
        expected[g.index(c.next.x, c.next.y, c.next.z)] = 2.0f;
        EXPECT_EQ(out, expected) << "code " << c.code;
    }
}

// A smooth field of up to 3 voxels on an image with a margin of 4 empty
// voxels: nothing leaves the grid, so the total is kept. The sums are done
// in double and rounded to float once per voxel, so 1e-6 relative.
TEST(SimEpi, any_field_conserves_total_intensity_inside_the_grid) {
    const Grid& g = kOdd;
    std::vector<float> in(g.voxels(), 0.0f);
    std::vector<double> shift(g.voxels());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const std::size_t i = g.index(x, y, z);
                shift[i] = 3.0 * std::sin(0.4 * x + 0.7 * y) * std::cos(0.5 * z + 0.3 * x);
                if (x >= 4 && x < g.nx - 4 && y >= 4 && y < g.ny - 4 && z >= 4 && z < g.nz - 4)
                    in[i] = 100.0f + static_cast<float>(i % 37);
            }
    const double total = sum(in.data(), in.size());
    for (int code = 1; code <= 6; ++code) {
        const std::vector<float> out = distort_series(g, 1, in, shift, code);
        EXPECT_NEAR(sum(out.data(), out.size()), total, 1e-6 * total) << "code " << code;
        for (float v : out) ASSERT_GE(v, 0.0f);
    }
}

// Stretching by 1.2 (shift growing 0.2 voxel per voxel) thins a uniform
// image evenly to 1/1.2; compressing by 0.7 raises it evenly to 1/0.7. A
// split of each voxel between the two neighbours of its centre's new
// position would instead make stripes between 80% and 100% when stretched.
TEST(SimEpi, stretched_and_compressed_images_change_intensity_evenly) {
    const Grid g{3, 40, 1, 1.0, 1.0, 1.0};
    const std::vector<float> in(g.voxels(), 60.0f);
    for (double rate : {0.2, -0.3}) {
        std::vector<double> shift(g.voxels());
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) shift[g.index(x, y, 0)] = rate * (y - 20);
        const std::vector<float> out = distort_series(g, 1, in, shift, 3);
        // Interior voxels covered by interior sources only.
        for (int y = 12; y < 28; ++y)
            EXPECT_NEAR(out[g.index(1, y, 0)], 60.0 / (1.0 + rate), 1e-4) << "rate " << rate << " y " << y;
    }
}

TEST(SimEpi, content_carried_off_the_grid_or_with_a_bad_shift_is_dropped) {
    const Grid& g = kOdd;
    const std::vector<float> in = index_series(g, 1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double s : {100.0, -1e300, std::numeric_limits<double>::infinity(), nan}) {
        const std::vector<float> out = distort_series(g, 1, in, std::vector<double>(g.voxels(), s), 3);
        for (float v : out) ASSERT_EQ(v, 0.0f) << s;
    }
    // One voxel's NaN loses that voxel and its neighbours on the axis, nothing else.
    std::vector<double> shift(g.voxels(), 0.0);
    shift[g.index(5, 6, 7)] = nan;
    const std::vector<float> out = distort_series(g, 1, in, shift, 3);
    for (int y = 0; y < g.ny; ++y) {
        const std::size_t i = g.index(5, y, 7);
        EXPECT_EQ(out[i], (y >= 5 && y <= 7) ? 0.0f : in[i]) << y;
    }
    EXPECT_EQ(out[g.index(4, 6, 7)], in[g.index(4, 6, 7)]);
}

// A voxel squeezed to a point just outside the first face (the faces land
// at -0.5 - 1e-10 and -0.5 + 5e-10): its content goes to voxel 0, not in
// front of the buffer.
TEST(SimEpi, voxel_squeezed_to_a_point_at_the_first_face_stays_in_the_grid) {
    const Grid g{1, 4, 1, 1.0, 1.0, 1.0};
    const std::vector<float> in = {10.0f, 0.0f, 0.0f, 0.0f};
    const std::vector<double> shift = {-1e-10, -2.0 + 1.1e-9, 0.0, 0.0};
    const std::vector<float> out = distort_series(g, 1, in, shift, 3);
    EXPECT_EQ(out, (std::vector<float>{10.0f, 0.0f, 0.0f, 0.0f}));
}

TEST(SimEpi, distort_series_rejects_mismatched_sizes_and_codes) {
    const Grid& g = kOdd;
    const std::vector<float> in = index_series(g, 2);
    EXPECT_THROW(distort_series(g, 3, in, std::vector<double>(g.voxels(), 0.0), 3), Error);
    EXPECT_THROW(distort_series(g, 2, in, std::vector<double>(5, 0.0), 3), Error);
    EXPECT_THROW(distort_series(g, 2, in, std::vector<double>(g.voxels(), 0.0), 0), Error);
    EXPECT_THROW(undistort_series(g, 2, in, std::vector<double>(g.voxels(), 0.0), 7), Error);
}

// The reference correction, on the cases the plug-in's own are checked with.
TEST(SimEpi, reference_correction_samples_at_the_shifted_position_with_edge_replication) {
    const Grid& g = kOdd;
    const std::vector<float> in = index_series(g, 1);
    auto at = [&](const std::vector<float>& v, int x, int y, int z) { return v[g.index(x, y, z)]; };
    std::vector<float> out(g.voxels());

    undistort_volume(g, in.data(), std::vector<double>(g.voxels(), 2.0).data(), 1, out.data());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x)
                ASSERT_EQ(at(out, x, y, z), at(in, std::min(x + 2, g.nx - 1), y, z)) << x << "," << y << "," << z;

    undistort_volume(g, in.data(), std::vector<double>(g.voxels(), 0.25).data(), 1, out.data());
    EXPECT_FLOAT_EQ(at(out, 3, 4, 5), 0.75f * at(in, 3, 4, 5) + 0.25f * at(in, 4, 4, 5));
    EXPECT_EQ(at(out, g.nx - 1, 4, 5), at(in, g.nx - 1, 4, 5));

    undistort_volume(g, in.data(), std::vector<double>(g.voxels(), 0.25).data(), 2, out.data());
    EXPECT_FLOAT_EQ(at(out, 3, 4, 5), 0.25f * at(in, 2, 4, 5) + 0.75f * at(in, 3, 4, 5));
    EXPECT_EQ(at(out, 0, 4, 5), at(in, 0, 4, 5));

    undistort_volume(g, in.data(), std::vector<double>(g.voxels(), 0.5).data(), 4, out.data());
    EXPECT_FLOAT_EQ(at(out, 3, 4, 5), 0.5f * at(in, 3, 3, 5) + 0.5f * at(in, 3, 4, 5));
    undistort_volume(g, in.data(), std::vector<double>(g.voxels(), 1e300).data(), 5, out.data());
    EXPECT_EQ(at(out, 3, 4, 5), at(in, 3, 4, g.nz - 1));
}

// Distorting and correcting with the same code puts content back where it
// was: the intensity-weighted centre of a blob along the axis returns to
// its place (the operators are linear and each conserves the centre shift
// exactly for a uniform shift, so to rounding).
TEST(SimEpi, correcting_with_the_same_code_restores_the_position_of_content) {
    const Grid g{21, 23, 25, 1.0, 1.0, 1.0};
    std::vector<float> blob(g.voxels(), 0.0f);
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const double r2 = (x - 10.3) * (x - 10.3) + (y - 11.6) * (y - 11.6) + (z - 12.2) * (z - 12.2);
                const double u = std::max(0.0, 1.0 - r2 / 36.0);  // radius 6: nothing reaches an edge
                blob[g.index(x, y, z)] = static_cast<float>(1000.0 * u * u);
            }
    auto centre = [&](const std::vector<float>& v, int axis) {
        double m = 0.0, c = 0.0;
        for (int z = 0; z < g.nz; ++z)
            for (int y = 0; y < g.ny; ++y)
                for (int x = 0; x < g.nx; ++x) {
                    const double w = v[g.index(x, y, z)];
                    m += w;
                    c += w * (axis == 0 ? x : axis == 1 ? y : z);
                }
        return c / m;
    };
    const std::vector<double> shift(g.voxels(), 2.5);
    for (int code = 1; code <= 6; ++code) {
        const PeAxis a = pe_axis(code);
        const double before = centre(blob, a.axis);
        const std::vector<float> distorted = distort_series(g, 1, blob, shift, code);
        EXPECT_NEAR(centre(distorted, a.axis), before + 2.5 * a.sense, 1e-4) << "code " << code;
        const std::vector<float> corrected = undistort_series(g, 1, distorted, shift, code);
        EXPECT_NEAR(centre(corrected, a.axis), before, 1e-4) << "code " << code;
    }
}

TEST(SimEpi, shift_is_field_over_bandwidth) {
    const std::vector<double> s = shift_map_voxels({29.48, -58.96, 0.0}, 29.48);
    EXPECT_DOUBLE_EQ(s[0], 1.0);
    EXPECT_DOUBLE_EQ(s[1], -2.0);
    EXPECT_DOUBLE_EQ(s[2], 0.0);
    EXPECT_THROW(shift_map_voxels({1.0}, 0.0), Error);
    EXPECT_THROW(shift_map_voxels({1.0}, -29.48), Error);
}

TEST(SimEpi, task_blocks_alternate_rest_first) {
    const struct {
        int t, block;
        double expected;
    } cases[] = {{0, 5, 0.0},  {4, 5, 0.0},  {5, 5, 1.0}, {9, 5, 1.0},
                 {10, 5, 0.0}, {15, 5, 1.0}, {3, 0, 0.0}, {1, 1, 1.0}};
    for (const auto& c : cases) EXPECT_EQ(task_regressor(c.t, c.block), c.expected) << c.t << "/" << c.block;
}

// The truth series: rest volumes equal the phantom's EPI contrast times the
// signal factor; task volumes are raised by response_percent exactly where
// the cortex responds.
TEST(SimEpi, truth_series_carries_the_block_response_in_the_responsive_cortex) {
    PhantomParams pp;
    pp.grid = small_grid();
    const Phantom ph = make_head_phantom(pp);
    EpiParams ep;
    ep.nt = 4;
    ep.block_length = 2;
    ep.response_percent = 3.0;
    const std::vector<float> factor(ph.grid.voxels(), 0.5f);
    const std::vector<float> truth = epi_truth_series(ph, ep, factor);
    const std::size_t n = ph.grid.voxels();
    ASSERT_EQ(truth.size(), 4 * n);
    std::size_t responsive = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double rest = 0.5 * ph.epi[i];
        EXPECT_FLOAT_EQ(truth[i], static_cast<float>(rest));
        EXPECT_FLOAT_EQ(truth[n + i], static_cast<float>(rest));
        EXPECT_FLOAT_EQ(truth[2 * n + i], static_cast<float>(rest * (1.0 + 0.03 * ph.activation[i])));
        responsive += ph.activation[i] > 0.0f;
    }
    EXPECT_GT(responsive, 20u);
    EXPECT_THROW(epi_truth_series(ph, EpiParams{0}), Error);
    EXPECT_THROW(epi_truth_series(ph, ep, std::vector<float>(3, 1.0f)), Error);
}

// A field rising g Hz per voxel along one axis leaves |sinc(pi g TE)| of
// the signal; with g TE = 1/2 that is 2/pi. No field, no loss.
TEST(SimEpi, dephasing_follows_the_field_gradient) {
    const Grid g{7, 9, 5, 2.0, 2.0, 2.0};
    const double te_ms = 25.0, per_voxel = 0.5 / 0.025;
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<double> field(g.voxels());
        for (int z = 0; z < g.nz; ++z)
            for (int y = 0; y < g.ny; ++y)
                for (int x = 0; x < g.nx; ++x)
                    field[g.index(x, y, z)] = per_voxel * (axis == 0 ? x : axis == 1 ? y : z);
        const std::vector<float> k = dephasing_factor(g, field, te_ms);
        for (float v : k) ASSERT_NEAR(v, 2.0 / 3.14159265358979, 1e-6) << "axis " << axis;
    }
    for (float v : dephasing_factor(g, std::vector<double>(g.voxels(), 250.0), te_ms)) ASSERT_EQ(v, 1.0f);
    EXPECT_THROW(dephasing_factor(g, std::vector<double>(4, 0.0), te_ms), Error);
    EXPECT_THROW(dephasing_factor(g, std::vector<double>(g.voxels(), 0.0), -1.0), Error);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
