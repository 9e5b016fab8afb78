// World alignment: grid comparison, overlap and resampling through the scanner frame.
#include "correction/world_grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/correction_real_maps.h"

namespace warpmender {
namespace {

using correction::WorldGrid;
using Affine = std::array<std::array<double, 4>, 4>;

constexpr double kPi = 3.14159265358979323846;

// 23 x 17 x 11 voxels of 2 x 3 x 4 mm, axes flipped as in a radiological file, placed off-centre.
WorldGrid odd_grid() {
    WorldGrid g;
    g.nx = 23;
    g.ny = 17;
    g.nz = 11;
    g.affine = {{{-2.0, 0.0, 0.0, 30.0}, {0.0, 3.0, 0.0, -20.0}, {0.0, 0.0, 4.0, -15.0}, {0.0, 0.0, 0.0, 1.0}}};
    return g;
}

// Each voxel holds a linear function of its index, which trilinear interpolation reproduces exactly.
std::vector<double> indexed(const WorldGrid& g) {
    std::vector<double> v(g.voxels());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) v[x + g.nx * (y + g.ny * z)] = x + 100.0 * y + 10000.0 * z;
    return v;
}

// The grid moved by (a, b, c) of its own voxels.
WorldGrid moved(WorldGrid g, double a, double b, double c) {
    for (int r = 0; r < 3; ++r) g.affine[r][3] += g.affine[r][0] * a + g.affine[r][1] * b + g.affine[r][2] * c;
    return g;
}

TEST(CorrectionWorldGrid, identity_reproduces_the_map_and_counts_as_the_same_grid) {
    const WorldGrid g = odd_grid();
    const std::vector<double> src = indexed(g);
    std::vector<double> out(g.voxels(), -1.0);
    std::vector<std::uint8_t> inside(g.voxels(), 7);
    correction::resample_to_grid(g, src.data(), g, out.data(), inside.data());
    for (size_t v = 0; v < src.size(); ++v) {
        ASSERT_NEAR(out[v], src[v], 1e-9) << v;
        ASSERT_EQ(inside[v], 1) << v;
    }
    EXPECT_TRUE(correction::same_grid(g, g));
    EXPECT_EQ(correction::corner_mismatch_voxels(g, g), 0.0);
    EXPECT_EQ(correction::overlap_fraction(g, g), 1.0);
}

TEST(CorrectionWorldGrid, whole_voxel_translation_moves_values_and_zeroes_what_leaves_the_field_of_view) {
    const WorldGrid src = odd_grid();
    const WorldGrid dst = moved(src, 2.0, -1.0, 0.0);  // target voxel (x, y, z) is source (x + 2, y - 1, z)
    const std::vector<double> map = indexed(src);
    std::vector<double> out(dst.voxels());
    std::vector<std::uint8_t> inside(dst.voxels());
    correction::resample_to_grid(src, map.data(), dst, out.data(), inside.data());
    for (int z = 0; z < dst.nz; ++z)
        for (int y = 0; y < dst.ny; ++y)
            for (int x = 0; x < dst.nx; ++x) {
                const size_t v = x + dst.nx * (y + dst.ny * z);
                const bool in = x + 2 <= src.nx - 1 && y - 1 >= 0;
                ASSERT_EQ(inside[v], in ? 1 : 0) << x << " " << y << " " << z;
                const double expected = in ? (x + 2) + 100.0 * (y - 1) + 10000.0 * z : 0.0;
                ASSERT_NEAR(out[v], expected, 1e-9) << x << " " << y << " " << z;
            }
    // Two columns of x and one row of y fall outside: (21 * 16) / (23 * 17).
    EXPECT_NEAR(correction::overlap_fraction(dst, src), (21.0 * 16.0) / (23.0 * 17.0), 1e-12);
    EXPECT_FALSE(correction::same_grid(src, dst));
}

TEST(CorrectionWorldGrid, half_voxel_translation_averages_neighbours_and_continues_the_edge_value) {
    const WorldGrid src = odd_grid();
    const WorldGrid dst = moved(src, 0.5, 0.0, -0.25);
    const std::vector<double> map = indexed(src);
    std::vector<double> out(dst.voxels());
    std::vector<std::uint8_t> inside(dst.voxels());
    correction::resample_to_grid(src, map.data(), dst, out.data(), inside.data());
    for (int x = 0; x < dst.nx; ++x) {
        // z = 0 sits at source z = -0.25: inside the field of view, the edge slice's value.
        const size_t v0 = x + dst.nx * (3 + dst.ny * 0);
        const size_t v5 = x + dst.nx * (3 + dst.ny * 5);
        // The last column sits at source x = 22.5, on the field of view's face: the edge value.
        const double sx = x == dst.nx - 1 ? 22.0 : x + 0.5;
        EXPECT_EQ(inside[v0], 1);
        EXPECT_NEAR(out[v0], sx + 300.0, 1e-9) << x;
        EXPECT_NEAR(out[v5], sx + 300.0 + 10000.0 * 4.75, 1e-9) << x;
    }
}

// Target axes in another order and sense: target i runs along source -z,
// target j along source x, target k along source y; the same world frame.
TEST(CorrectionWorldGrid, axis_permutation_with_flip_moves_every_value_to_its_place) {
    const WorldGrid src = odd_grid();
    WorldGrid dst;
    dst.nx = src.nz;
    dst.ny = src.nx;
    dst.nz = src.ny;
    // source index of target (i, j, k) = (j, k, nz - 1 - i)
    const Affine p = {
        {{0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}, {-1.0, 0.0, 0.0, src.nz - 1.0}, {0.0, 0.0, 0.0, 1.0}}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            double s = 0;
            for (int q = 0; q < 4; ++q) s += src.affine[r][q] * p[q][c];
            dst.affine[r][c] = s;
        }
    const std::vector<double> map = indexed(src);
    std::vector<double> out(dst.voxels());
    correction::resample_to_grid(src, map.data(), dst, out.data());
    for (int k = 0; k < dst.nz; ++k)
        for (int j = 0; j < dst.ny; ++j)
            for (int i = 0; i < dst.nx; ++i)
                ASSERT_NEAR(out[i + dst.nx * (j + dst.ny * k)], map[j + src.nx * (k + src.ny * (src.nz - 1 - i))], 1e-9)
                    << i << " " << j << " " << k;
    EXPECT_EQ(correction::overlap_fraction(dst, src), 1.0);
    EXPECT_FALSE(correction::same_grid(src, dst));
}

TEST(CorrectionWorldGrid, same_grid_tolerates_a_hundredth_of_a_voxel_at_the_corners) {
    const WorldGrid g = odd_grid();
    struct Case {
        const char* what;
        WorldGrid other;
        bool same;
    };
    WorldGrid bigger = g;
    bigger.nx += 1;
    WorldGrid scaled = g;  // far corner at 22.5 / 1.0004 of the other's voxels: 0.009 voxel off
    for (int r = 0; r < 3; ++r) scaled.affine[r][0] *= 1.0004;
    WorldGrid stretched = g;  // 22.5 - 22.5 / 1.001 = 0.022 voxel off
    for (int r = 0; r < 3; ++r) stretched.affine[r][0] *= 1.001;
    const Case cases[] = {
        {"identical", g, true},
        {"0.009 voxel along x", moved(g, 0.009, 0.0, 0.0), true},
        {"0.011 voxel along x", moved(g, 0.011, 0.0, 0.0), false},
        {"0.006 voxel along x and y (0.0085 diagonal)", moved(g, 0.006, 0.006, 0.0), true},
        {"0.008 voxel along x, y and z (0.0139 diagonal)", moved(g, 0.008, 0.008, 0.008), false},
        {"voxel 0.04% longer", scaled, true},
        {"voxel 0.1% longer", stretched, false},
        {"one more column", bigger, false},
    };
    for (const Case& c : cases) EXPECT_EQ(correction::same_grid(g, c.other), c.same) << c.what;
}

TEST(CorrectionWorldGrid, overlap_of_a_grid_moved_by_most_of_its_field_of_view_is_below_the_threshold) {
    const WorldGrid src = odd_grid();
    const double f = correction::overlap_fraction(moved(src, 16.0, 0.0, 0.0), src);  // 7 of 23 columns remain
    EXPECT_NEAR(f, 7.0 / 23.0, 1e-12);
    EXPECT_LT(f, correction::kLeastOverlap);
    EXPECT_GT(correction::overlap_fraction(moved(src, 11.0, 0.0, 0.0), src), correction::kLeastOverlap);
}

TEST(CorrectionWorldGrid, grids_without_a_place_in_the_scanner_frame_are_refused) {
    WorldGrid flat = odd_grid();
    for (int r = 0; r < 3; ++r) flat.affine[r][2] = flat.affine[r][0];  // k along i
    WorldGrid empty = odd_grid();
    empty.ny = 0;
    WorldGrid nan = odd_grid();
    nan.affine[1][3] = std::nan("");
    std::vector<double> map(odd_grid().voxels()), out(odd_grid().voxels());
    for (const WorldGrid& bad : {flat, empty, nan}) {
        EXPECT_THROW(correction::check_grid(bad, "the EPI"), std::invalid_argument);
        EXPECT_THROW(correction::overlap_fraction(odd_grid(), bad), std::invalid_argument);
    }
    try {
        correction::check_grid(empty, "the EPI");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "the EPI has 23 x 0 x 11 voxels; every size must be at least 1");
    }
}

// An oblique target against a resampling written out here: the source is
// axis-aligned, so a world position's source index is (world - origin) /
// spacing on each axis, and the field is known in closed form.
struct SmoothField {
    // Hz at a world position (mm): a broad bump over a gentle gradient.
    double operator()(double x, double y, double z) const {
        const double dx = x - 12.0, dy = y + 8.0, dz = z - 5.0;
        return 80.0 * std::exp(-(dx * dx + dy * dy) / (2.0 * 30.0 * 30.0) - dz * dz / (2.0 * 25.0 * 25.0)) + 0.4 * x -
               0.2 * z;
    }
};

Affine oblique_affine(const WorldGrid& around, double voxel_mm, int nx, int ny, int nz, double rz_deg, double rx_deg,
                      const double shift_mm[3]) {
    const double a = rz_deg * kPi / 180.0, b = rx_deg * kPi / 180.0;
    // R = Rz(a) * Rx(b), columns scaled by the voxel size.
    const double rz[3][3] = {{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
    const double rx[3][3] = {{1, 0, 0}, {0, std::cos(b), -std::sin(b)}, {0, std::sin(b), std::cos(b)}};
    Affine m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            double s = 0;
            for (int q = 0; q < 3; ++q) s += rz[r][q] * rx[q][c];
            m[r][c] = s * voxel_mm;
        }
    // Centre of the target at the centre of `around`, plus the shift.
    double centre[3];
    for (int r = 0; r < 3; ++r)
        centre[r] = around.affine[r][0] * (around.nx - 1) * 0.5 + around.affine[r][1] * (around.ny - 1) * 0.5 +
                    around.affine[r][2] * (around.nz - 1) * 0.5 + around.affine[r][3];
    for (int r = 0; r < 3; ++r)
        m[r][3] =
            centre[r] + shift_mm[r] - (m[r][0] * (nx - 1) * 0.5 + m[r][1] * (ny - 1) * 0.5 + m[r][2] * (nz - 1) * 0.5);
    m[3] = {0.0, 0.0, 0.0, 1.0};
    return m;
}

// Plain trilinear sampling of an axis-aligned source at continuous index (px, py, pz), edge value continued.
double sample_axis_aligned(const WorldGrid& s, const std::vector<double>& map, double px, double py, double pz) {
    auto clampi = [](long i, long n) { return i < 0 ? 0 : i > n - 1 ? n - 1 : i; };
    const long x0 = static_cast<long>(std::floor(px)), y0 = static_cast<long>(std::floor(py)),
               z0 = static_cast<long>(std::floor(pz));
    const double fx = px - x0, fy = py - y0, fz = pz - z0;
    double sum = 0;
    for (int c = 0; c < 8; ++c) {
        const long x = clampi(x0 + (c & 1), s.nx), y = clampi(y0 + ((c >> 1) & 1), s.ny),
                   z = clampi(z0 + (c >> 2), s.nz);
        const double w = ((c & 1) ? fx : 1 - fx) * ((c & 2) ? fy : 1 - fy) * ((c & 4) ? fz : 1 - fz);
        sum += w * map[x + s.nx * (y + s.ny * z)];
    }
    return sum;
}

// Checks resample_to_grid against the plain sampling for an axis-aligned
// source; returns the largest difference and counts the voxels inside.
double largest_difference_from_plain(const WorldGrid& src, const std::vector<double>& map, const WorldGrid& dst,
                                     const std::vector<double>& out, const std::vector<std::uint8_t>& inside,
                                     size_t& inside_count) {
    double worst = 0;
    inside_count = 0;
    for (int k = 0; k < dst.nz; ++k)
        for (int j = 0; j < dst.ny; ++j)
            for (int i = 0; i < dst.nx; ++i) {
                const size_t v = i + dst.nx * (j + dst.ny * k);
                double w[3], p[3];
                for (int r = 0; r < 3; ++r)
                    w[r] = dst.affine[r][0] * i + dst.affine[r][1] * j + dst.affine[r][2] * k + dst.affine[r][3];
                for (int r = 0; r < 3; ++r) p[r] = (w[r] - src.affine[r][3]) / src.affine[r][r];
                const int n[3] = {src.nx, src.ny, src.nz};
                bool in = true;
                for (int r = 0; r < 3; ++r) in = in && p[r] >= -0.5 && p[r] <= n[r] - 0.5;
                // A centre on the very face may fall either way by rounding; such voxels are not judged.
                bool near_face = false;
                for (int r = 0; r < 3; ++r)
                    near_face = near_face || std::fabs(p[r] + 0.5) < 1e-9 || std::fabs(p[r] - (n[r] - 0.5)) < 1e-9;
                if (near_face) continue;
                EXPECT_EQ(inside[v], in ? 1 : 0) << i << " " << j << " " << k;
                const double expected = in ? sample_axis_aligned(src, map, p[0], p[1], p[2]) : 0.0;
                worst = std::max(worst, std::fabs(out[v] - expected));
                inside_count += in;
            }
    return worst;
}

TEST(CorrectionWorldGrid, oblique_target_matches_a_plain_resampling_and_the_smooth_field_within_a_tenth_voxel) {
    WorldGrid src;
    src.nx = 48;
    src.ny = 52;
    src.nz = 30;
    src.affine = {{{-4.0, 0.0, 0.0, 94.0}, {0.0, 4.0, 0.0, -102.0}, {0.0, 0.0, 4.5, -65.25}, {0.0, 0.0, 0.0, 1.0}}};
    const SmoothField field;
    std::vector<double> map(src.voxels());
    for (int z = 0; z < src.nz; ++z)
        for (int y = 0; y < src.ny; ++y)
            for (int x = 0; x < src.nx; ++x)
                map[x + src.nx * (y + src.ny * z)] =
                    field(src.affine[0][0] * x + src.affine[0][3], src.affine[1][1] * y + src.affine[1][3],
                          src.affine[2][2] * z + src.affine[2][3]);
    WorldGrid dst;
    dst.nx = 64;
    dst.ny = 64;
    dst.nz = 33;
    const double shift[3] = {14.0, -9.6, 6.0};
    dst.affine = oblique_affine(src, 3.0, dst.nx, dst.ny, dst.nz, 15.0, -12.0, shift);
    std::vector<double> out(dst.voxels());
    std::vector<std::uint8_t> inside(dst.voxels());
    correction::resample_to_grid(src, map.data(), dst, out.data(), inside.data());

    size_t n_inside = 0;
    EXPECT_LT(largest_difference_from_plain(src, map, dst, out, inside, n_inside), 1e-9);
    EXPECT_GT(n_inside, dst.voxels() / 2);

    // Against the field itself, as a shift at a bandwidth of 20 Hz per voxel:
    // interpolation between 4 mm samples of a field this smooth errs by far
    // less than the 0.1 voxel asked of world alignment.
    double worst_voxels = 0;
    for (int k = 0; k < dst.nz; ++k)
        for (int j = 0; j < dst.ny; ++j)
            for (int i = 0; i < dst.nx; ++i) {
                const size_t v = i + dst.nx * (j + dst.ny * k);
                if (!inside[v]) continue;
                double w[3];
                for (int r = 0; r < 3; ++r)
                    w[r] = dst.affine[r][0] * i + dst.affine[r][1] * j + dst.affine[r][2] * k + dst.affine[r][3];
                // Only where the source holds samples on both sides: the outer half voxel repeats the edge.
                bool interior = true;
                const int n[3] = {src.nx, src.ny, src.nz};
                for (int r = 0; r < 3; ++r) {
                    const double p = (w[r] - src.affine[r][3]) / src.affine[r][r];
                    interior = interior && p >= 0 && p <= n[r] - 1;
                }
                if (!interior) continue;
                worst_voxels = std::max(worst_voxels, std::fabs(out[v] - field(w[0], w[1], w[2])) / 20.0);
            }
    std::printf("oblique resampling: largest error %.4f voxel (at 20 Hz per voxel)\n", worst_voxels);
    EXPECT_LT(worst_voxels, 0.1);
    EXPECT_FALSE(correction::same_grid(src, dst));
}

// Real field maps carried onto an oblique 64 x 64 x 33 grid of 3.5 mm,
// like an EPI's, and back: the affines come from the scanners' own files.
struct RealCase {
    const char* file;
    const char* magnitude;
    double rz_deg, rx_deg;
};

class CorrectionWorldGridReal : public ::testing::TestWithParam<RealCase> {};

TEST_P(CorrectionWorldGridReal, field_map_goes_to_an_oblique_epi_grid_and_back) {
    const RealCase c = GetParam();
    const test::RealMap m = test::read_real_map(c.file);
    WorldGrid epi;
    epi.nx = 64;
    epi.ny = 64;
    epi.nz = 33;
    const double shift[3] = {14.0, -9.6, 3.0};
    epi.affine = oblique_affine(m.grid, 3.5, epi.nx, epi.ny, epi.nz, c.rz_deg, c.rx_deg, shift);
    EXPECT_FALSE(correction::same_grid(m.grid, epi));
    const double overlap = correction::overlap_fraction(epi, m.grid);
    EXPECT_GE(overlap, correction::kLeastOverlap);

    std::vector<double> on_epi(epi.voxels());
    std::vector<std::uint8_t> inside(epi.voxels());
    correction::resample_to_grid(m.grid, m.values.data(), epi, on_epi.data(), inside.data());
    std::vector<double> back(m.grid.voxels());
    std::vector<std::uint8_t> back_inside(m.grid.voxels());
    correction::resample_to_grid(epi, on_epi.data(), m.grid, back.data(), back_inside.data());

    // A direct check of the forward step at every EPI voxel: the source
    // index by solving the scanner's affine (Cramer's rule, written out
    // here), then plain trilinear sampling.
    const auto& a = m.grid.affine;
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    double worst = 0;
    for (int k = 0; k < epi.nz; ++k)
        for (int j = 0; j < epi.ny; ++j)
            for (int i = 0; i < epi.nx; ++i) {
                const size_t v = i + epi.nx * (j + epi.ny * k);
                if (!inside[v]) continue;
                double b[3];
                for (int r = 0; r < 3; ++r)
                    b[r] =
                        epi.affine[r][0] * i + epi.affine[r][1] * j + epi.affine[r][2] * k + epi.affine[r][3] - a[r][3];
                double p[3];
                for (int col = 0; col < 3; ++col) {
                    double mm[3][3];
                    for (int r = 0; r < 3; ++r)
                        for (int q = 0; q < 3; ++q) mm[r][q] = q == col ? b[r] : a[r][q];
                    p[col] = (mm[0][0] * (mm[1][1] * mm[2][2] - mm[1][2] * mm[2][1]) -
                              mm[0][1] * (mm[1][0] * mm[2][2] - mm[1][2] * mm[2][0]) +
                              mm[0][2] * (mm[1][0] * mm[2][1] - mm[1][1] * mm[2][0])) /
                             det;
                }
                worst = std::max(worst, std::fabs(on_epi[v] - sample_axis_aligned(m.grid, m.values, p[0], p[1], p[2])));
            }
    EXPECT_LT(worst, 1e-6) << "Hz";

    // Round trip inside the head (magnitude above a tenth of its maximum;
    // outside, the field is noise that no resampling keeps), where the way
    // back lands inside the EPI's grid: the 3.5 mm grid smooths the field,
    // so agreement is judged by correlation and a robust error.
    const test::RealMap mag = test::read_real_map(c.magnitude);
    ASSERT_EQ(mag.values.size(), m.values.size());
    const double head = 0.1 * *std::max_element(mag.values.begin(), mag.values.end());
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    size_t n = 0;
    std::vector<double> err;
    for (size_t v = 0; v < back.size(); ++v) {
        if (!back_inside[v] || !(mag.values[v] > head)) continue;
        const double x = m.values[v], y = back[v];
        sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y, ++n;
        err.push_back(std::fabs(x - y));
    }
    ASSERT_GT(n, 0u);
    const double cov = sab / n - (sa / n) * (sb / n);
    const double r = cov / std::sqrt((saa / n - (sa / n) * (sa / n)) * (sbb / n - (sb / n) * (sb / n)));
    std::nth_element(err.begin(), err.begin() + err.size() / 2, err.end());
    const double median = err[err.size() / 2];
    std::printf("%s: overlap %.3f, round trip over %zu voxels: correlation %.4f, median |error| %.2f Hz\n", c.file,
                overlap, n, r, median);
    EXPECT_GT(r, 0.9);
    EXPECT_LT(median, 10.0);
}

INSTANTIATE_TEST_SUITE_P(Vendors, CorrectionWorldGridReal,
                         ::testing::Values(RealCase{"ge_fieldmap.nii.gz", "ge_magnitude.nii.gz", 12.0, 8.0},
                                           RealCase{"philips_fieldmap.nii.gz", "philips_magnitude.nii.gz", -17.0,
                                                    10.0}),
                         [](const ::testing::TestParamInfo<RealCase>& i) {
                             return std::string(i.param.file).substr(0, std::string(i.param.file).find('_'));
                         });

TEST(CorrectionWorldGrid, real_affine_counts_as_the_same_grid_after_float_rounding_only) {
    const test::RealMap m = test::read_real_map("philips_fieldmap.nii.gz");
    WorldGrid rounded = m.grid;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) rounded.affine[r][c] = static_cast<float>(m.grid.affine[r][c] * (1.0 + 3e-7));
    EXPECT_TRUE(correction::same_grid(m.grid, rounded));
    EXPECT_LT(correction::corner_mismatch_voxels(m.grid, rounded), 1e-3);
}

}  // namespace
}  // namespace warpmender
