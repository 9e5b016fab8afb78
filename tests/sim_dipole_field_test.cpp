// Tests of the dipole-kernel field computation and the shim fit.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/error.h"
#include "sim/dipole_field.h"

namespace warpmender {
namespace sim {
namespace {

// A sphere of excess susceptibility dchi (radius a mm) centred in the grid,
// with partial-volume edges (sampled 4 x 4 x 4 times per voxel).
std::vector<double> sphere(const Grid& g, double a, double dchi) {
    std::vector<double> chi(g.voxels(), 0.0);
    const double cx = 0.5 * (g.nx - 1), cy = 0.5 * (g.ny - 1), cz = 0.5 * (g.nz - 1);
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                int in = 0;
                for (int k = 0; k < 4; ++k)
                    for (int j = 0; j < 4; ++j)
                        for (int i = 0; i < 4; ++i) {
                            const double px = (x - cx + (i + 0.5) / 4 - 0.5) * g.dx;
                            const double py = (y - cy + (j + 0.5) / 4 - 0.5) * g.dy;
                            const double pz = (z - cz + (k + 0.5) / 4 - 0.5) * g.dz;
                            in += px * px + py * py + pz * pz <= a * a;
                        }
                chi[g.index(x, y, z)] = dchi * in / 64.0;
            }
    return chi;
}

struct SphereErrors {
    double outside = 0.0;  // max |computed - analytic| for r >= 1.5 a, in units of dchi
    double inside = 0.0;   // max |computed| for r <= 0.7 a, in units of dchi
    double pole = 0.0;     // computed value on the z axis nearest r = 1.5 a, in units of dchi
    double pole_r = 0.0;   // its distance from the centre
};

SphereErrors compare_sphere(const Grid& g, double a, double dchi) {
    const std::vector<double> f = dipole_field_ppm(g, sphere(g, a, dchi), 2.0);
    const double cx = 0.5 * (g.nx - 1), cy = 0.5 * (g.ny - 1), cz = 0.5 * (g.nz - 1);
    SphereErrors e;
    double best_pole = 1e9;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const double px = (x - cx) * g.dx, py = (y - cy) * g.dy, pz = (z - cz) * g.dz;
                const double r = std::sqrt(px * px + py * py + pz * pz);
                const double v = f[g.index(x, y, z)];
                if (r <= 0.7 * a) e.inside = std::max(e.inside, std::fabs(v) / dchi);
                if (r >= 1.5 * a && r <= 3.0 * a) {
                    const double c2 = pz * pz / (r * r);
                    const double analytic = dchi / 3.0 * std::pow(a / r, 3) * (3.0 * c2 - 1.0);
                    e.outside = std::max(e.outside, std::fabs(v - analytic) / dchi);
                }
                if (std::fabs(px) < 1e-9 && std::fabs(py) < 1e-9 && std::fabs(r - 1.5 * a) < best_pole) {
                    best_pole = std::fabs(r - 1.5 * a);
                    e.pole = v / dchi;
                    e.pole_r = r;
                }
            }
    return e;
}

// The analytic field of a sphere, outside: dchi/3 (a/r)^3 (3 cos^2 - 1);
// inside 0 (Lorentz sphere). Measured: 0.07% of dchi outside, 0.27% inside
// (the voxelised sphere's edge and the periodic copies beyond the padding,
// ~(a/L)^3 = 1e-3). 0.5% still fails a wrong sign, a missing 1/3 (-33%
// inside) or B0 along another axis, each off by 10% of dchi or more.
TEST(SimDipoleField, sphere_matches_analytic_field_outside_and_is_zero_inside) {
    const Grid g{65, 65, 65, 1.0, 1.0, 1.0};
    const SphereErrors e = compare_sphere(g, 8.0, 9.4);
    EXPECT_LT(e.outside, 0.005);
    EXPECT_LT(e.inside, 0.005);
    // At the pole (along B0) the field is positive: 2/3 dchi (a/r)^3.
    EXPECT_NEAR(e.pole, 2.0 / 3.0 * std::pow(8.0 / e.pole_r, 3), 0.01);
}

// Voxel sizes enter k: the same sphere in mm on a grid of 1 x 1.5 x 2 mm
// voxels must give the same field; a kernel built on voxel indices would
// make an ellipsoid of it. Measured 0.3% outside and 0.8% inside (only five
// voxels across the radius along z).
TEST(SimDipoleField, anisotropic_voxels_scale_k_per_axis) {
    const Grid g{65, 45, 33, 1.0, 1.5, 2.0};
    const SphereErrors e = compare_sphere(g, 10.0, 1.0);
    EXPECT_LT(e.outside, 0.015);
    EXPECT_LT(e.inside, 0.015);
    EXPECT_NEAR(e.pole, 2.0 / 3.0 * std::pow(10.0 / e.pole_r, 3), 0.015);
}

TEST(SimDipoleField, uniform_susceptibility_gives_no_field) {
    const Grid g{23, 17, 11, 2.0, 2.0, 3.0};
    const std::vector<double> f = dipole_field_ppm(g, std::vector<double>(g.voxels(), -9.05), 2.0);
    for (double v : f) ASSERT_NEAR(v, 0.0, 1e-12);
}

TEST(SimDipoleField, field_is_linear_in_susceptibility) {
    const Grid g{23, 17, 11, 2.0, 2.0, 2.0};
    const std::vector<double> a = dipole_field_ppm(g, sphere(g, 6.0, 1.0), 2.0);
    const std::vector<double> b = dipole_field_ppm(g, sphere(g, 6.0, -3.0), 2.0);
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(b[i], -3.0 * a[i], 1e-12);
}

TEST(SimDipoleField, rejects_bad_input) {
    const Grid g{8, 8, 8, 1.0, 1.0, 1.0};
    EXPECT_THROW(dipole_field_ppm(g, std::vector<double>(10, 0.0)), Error);
    EXPECT_THROW(dipole_field_ppm(g, std::vector<double>(g.voxels(), 0.0), 0.5), Error);
    EXPECT_THROW(dipole_field_ppm(Grid{0, 8, 8, 1.0, 1.0, 1.0}, {}), Error);
    EXPECT_THROW(dipole_field_ppm(Grid{8, 8, 8, 1.0, -1.0, 1.0}, std::vector<double>(512, 0.0)), Error);
}

TEST(SimDipoleField, fft_friendly_sizes) {
    const struct {
        int n, expected;
    } cases[] = {{1, 1}, {7, 7}, {11, 12}, {13, 14}, {17, 18}, {23, 24}, {127, 128}, {129, 135}, {256, 256}};
    for (const auto& c : cases) EXPECT_EQ(fft_friendly_size(c.n), c.expected) << c.n;
}

TEST(SimDipoleField, ppm_to_hz_at_3_tesla) {
    EXPECT_NEAR(ppm_to_hz(1.0, 3.0), 127.731, 1e-9);
    EXPECT_NEAR(ppm_to_hz(-2.0, 1.5), -127.731, 1e-9);
}

// A polynomial field of the shim's order disappears; a lower order leaves
// the part it cannot express.
TEST(SimDipoleField, shim_removes_polynomials_up_to_its_order) {
    const Grid g{23, 17, 11, 2.0, 2.0, 2.0};
    std::vector<std::uint8_t> mask(g.voxels(), 0);
    for (int z = 2; z < 9; ++z)
        for (int y = 3; y < 14; ++y)
            for (int x = 4; x < 19; ++x) mask[g.index(x, y, z)] = 1;
    auto poly = [&](int order) {
        std::vector<double> f(g.voxels());
        for (int z = 0; z < g.nz; ++z)
            for (int y = 0; y < g.ny; ++y)
                for (int x = 0; x < g.nx; ++x) {
                    double v = 40.0;
                    if (order >= 1) v += 3.0 * x - 2.0 * y + 5.0 * z;
                    if (order >= 2) v += 0.5 * x * x - 0.25 * y * z + 0.1 * x * y - 0.3 * z * z;
                    f[g.index(x, y, z)] = v;
                }
        return f;
    };
    for (int order = 0; order <= 2; ++order) {
        std::vector<double> f = poly(order);
        shim_field(g, f, mask, order);
        for (double v : f) ASSERT_NEAR(v, 0.0, 1e-8) << "order " << order;
    }
    // Order 1 on a quadratic: the residual over the mask has zero mean and
    // no linear part, but is not zero.
    std::vector<double> f = poly(2);
    shim_field(g, f, mask, 1);
    double mean = 0.0, max_abs = 0.0;
    long n = 0;
    for (std::size_t i = 0; i < f.size(); ++i)
        if (mask[i]) {
            mean += f[i];
            max_abs = std::max(max_abs, std::fabs(f[i]));
            ++n;
        }
    EXPECT_NEAR(mean / n, 0.0, 1e-9);
    EXPECT_GT(max_abs, 1.0);
}

TEST(SimDipoleField, shim_handles_a_single_slice_mask_and_rejects_bad_orders) {
    const Grid g{9, 7, 5, 1.0, 1.0, 1.0};
    std::vector<std::uint8_t> mask(g.voxels(), 0);
    for (int y = 0; y < g.ny; ++y)
        for (int x = 0; x < g.nx; ++x) mask[g.index(x, y, 2)] = 1;
    std::vector<double> f(g.voxels());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) f[g.index(x, y, z)] = 7.0 + x - y;
    shim_field(g, f, mask, 2);  // z is undetermined on one slice: dropped, not a division by zero
    for (int y = 0; y < g.ny; ++y)
        for (int x = 0; x < g.nx; ++x) ASSERT_NEAR(f[g.index(x, y, 2)], 0.0, 1e-9);
    for (double v : f) ASSERT_TRUE(std::isfinite(v));

    std::vector<double> untouched(g.voxels(), 3.0);
    shim_field(g, untouched, std::vector<std::uint8_t>(g.voxels(), 0), 1);  // empty mask: unchanged
    for (double v : untouched) ASSERT_EQ(v, 3.0);
    EXPECT_THROW(shim_field(g, f, mask, 3), Error);
    EXPECT_THROW(shim_field(g, f, mask, -1), Error);
    EXPECT_THROW(shim_field(g, f, std::vector<std::uint8_t>(3, 1), 1), Error);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
