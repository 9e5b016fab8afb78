// The multigrid solver: scratch layout, B-spline resampling, kernels against their plain twins, solves.
#include "fieldmap/fmg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "hostlink/host_binding.h"
#include "tests/kernel_forms.h"
#include "tests/test_support.h"
#include "tests/unwrap_fields.h"
#include "tests/unwrap_reference.h"

namespace warpmender {
namespace {

using test::first_bit_difference;
using test::random_values;

struct Grid {
    int n[3];
    long count() const { return long(n[0]) * n[1] * n[2]; }
    std::string text() const { return std::to_string(n[0]) + "x" + std::to_string(n[1]) + "x" + std::to_string(n[2]); }
};

// Odd and even sizes, and 1 and 2 along each axis in turn.
const Grid kGrids[] = {{{1, 1, 1}},    {{2, 1, 1}},   {{1, 2, 1}}, {{1, 1, 2}},   {{2, 2, 2}}, {{3, 2, 1}},
                       {{1, 5, 4}},    {{6, 1, 3}},   {{5, 4, 1}}, {{2, 7, 3}},   {{7, 2, 5}}, {{4, 6, 2}},
                       {{23, 17, 11}}, {{16, 12, 8}}, {{9, 9, 9}}, {{12, 10, 26}}};

class FmgTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::fresh_host();
        InitHSAccess();
        verboselevel = 1;
    }
    void TearDown() override { verboselevel = 1; }
    const std::vector<std::string>& log() { return host::instance().log; }
};

TEST_F(FmgTest, scratch_sizes_follow_the_pyramid) {
    const struct {
        Grid g;
        int expected;
    } cases[] = {
        {{{64, 64, 1}}, 23892},    // 7 levels, S = 1365
        {{{64, 64, 30}}, 208020},  // 7 levels ending 2x2x1, 1x1x1; S = 17701
        {{{3, 2, 1}}, 40},         // 3 levels, S = 3
        {{{1, 1, 1}}, 9},          // a second 1x1x1 level all the same
        {{{2, 2, 2}}, 26},
    };
    for (const auto& c : cases) EXPECT_EQ(fmg_scratchsize(c.g.n), c.expected) << c.g.text();
}

TEST_F(FmgTest, scratch_size_refuses_grids_outside_the_range) {
    const int too_wide[3] = {40000, 4, 1}, empty[3] = {0, 4, 4}, limit[3] = {32768, 1, 1};
    EXPECT_EQ(fmg_scratchsize(too_wide), -1);
    EXPECT_EQ(fmg_scratchsize(empty), -1);
    EXPECT_GT(fmg_scratchsize(limit), 0);
    // 32768 x 32768 x 8 needs more than 2^31 doubles: beyond the solver's 32-bit counts.
    const int huge[3] = {32768, 32768, 8};
    EXPECT_EQ(fmg_scratchsize(huge), -1);
    EXPECT_GT(fmg_scratchsize_long(huge), 2147483647L);
}

TEST_F(FmgTest, bspline_weights) {
    const struct {
        double d, w;
    } cases[] = {{0.0, 0.75}, {0.5, 0.5},     {-0.5, 0.5},     {1.0, 0.125},    {-1.0, 0.125}, {1.5, 0.0},
                 {-1.5, 0.0}, {0.25, 0.6875}, {0.75, 0.28125}, {1.25, 0.03125}, {2.0, 0.0}};
    for (const auto& c : cases) EXPECT_EQ(wt2(c.d), c.w) << c.d;
    // Partition of unity: within two roundings of the sum.
    for (double d = -0.5; d <= 0.5; d += 1.0 / 64.0) EXPECT_NEAR(wt2(d - 1) + wt2(d) + wt2(d + 1), 1.0, 1e-15) << d;
}

// c = resize(e_i) along x: the weight of input i in every output.
std::vector<double> x_weights(int na, int nc, int i) {
    std::vector<double> a(na, 0.0), c(nc, 0.0), work(3 * nc + na);
    a[i] = 1.0;
    const int an[3] = {na, 1, 1}, cn[3] = {nc, 1, 1};
    resize(an, a.data(), cn, c.data(), work.data());
    return c;
}

TEST_F(FmgTest, resize_halving_averages_pairs_and_doubling_uses_the_quadratic_taps) {
    // Size-1 y and z axes resample with weights 0.125, 0.75, 0.125 on one value:
    // for the powers of two here that is exactly the identity.
    EXPECT_EQ(x_weights(8, 4, 2), (std::vector<double>{0, 0.5, 0, 0}));  // 2k + 2 for k = 0 weighs 0
    EXPECT_EQ(x_weights(8, 4, 3), (std::vector<double>{0, 0.5, 0, 0}));  // 2k + 1
    EXPECT_EQ(x_weights(8, 4, 0), (std::vector<double>{0.5, 0, 0, 0}));  // periodic: 0 pairs with 1 only
    // Doubling: output 4 (even, k/2 = 2) takes 0.28125, 0.6875, 0.03125 of inputs 1, 2, 3;
    // output 5 (odd) takes 0.03125, 0.6875, 0.28125.
    EXPECT_EQ(x_weights(4, 8, 2), (std::vector<double>{0, 0, 0.03125, 0.28125, 0.6875, 0.6875, 0.28125, 0.03125}));
    EXPECT_EQ(x_weights(4, 8, 0), (std::vector<double>{0.6875, 0.6875, 0.28125, 0.03125, 0, 0, 0.03125, 0.28125}));
}

TEST_F(FmgTest, resize_between_sizes_one_and_two) {
    for (int axis = 0; axis < 3; ++axis) {
        int two[3] = {1, 1, 1}, one[3] = {1, 1, 1};
        two[axis] = 2;
        std::vector<double> pair = {1.0, 3.0}, single(1), work(8);
        resize(two, pair.data(), one, single.data(), work.data());
        EXPECT_EQ(single[0], 2.0) << "axis " << axis;  // the mean
        std::vector<double> value = {5.0}, doubled(2);
        resize(one, value.data(), two, doubled.data(), work.data());
        EXPECT_EQ(doubled, (std::vector<double>{5.0, 5.0})) << "axis " << axis;  // the value twice
    }
}

TEST_F(FmgTest, resize_agrees_bit_for_bit_with_the_plain_loops) {
    // Every z ratio from 1..9 onto 1..9 drives the plane reuse through all its
    // cases; the x and y sizes cover odd, even, 1 and 2 and halving and doubling.
    const int xy[][4] = {{3, 2, 2, 1}, {1, 1, 2, 2},   {2, 5, 1, 3}, {5, 4, 10, 8},
                         {7, 3, 4, 2}, {17, 11, 9, 6}, {9, 3, 18, 6}};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const auto& s : xy)
            for (int naz = 1; naz <= 9; ++naz)
                for (int ncz = 1; ncz <= 9; ++ncz) {
                    const int na[3] = {s[0], s[1], naz}, nc[3] = {s[2], s[3], ncz};
                    const long in = long(na[0]) * na[1] * na[2], out = long(nc[0]) * nc[1] * nc[2];
                    const std::vector<double> a = random_values(in, -10, 10, 7 * naz + ncz);
                    // exactly the documented work size, so that the sanitizer sees any overrun
                    std::vector<double> c(out), cr(out), work(3 * nc[0] * nc[1] + nc[1] * na[0]), workr(work.size());
                    resize(na, a.data(), nc, c.data(), work.data());
                    reference::resize(na, a.data(), nc, cr.data(), workr.data());
                    ASSERT_EQ(first_bit_difference(c, cr), -1)
                        << test::form_name(form) << " " << s[0] << "x" << s[1] << "x" << naz << " -> " << s[2] << "x"
                        << s[3] << "x" << ncz;
                }
    }
}

TEST_F(FmgTest, resize_of_a_large_plane_uses_several_column_blocks) {
    // Halving and doubling across blocks of 256 columns, the last block of a
    // doubled row two columns wide.
    const int cases[][6] = {{600, 3, 2, 300, 5, 1}, {300, 4, 2, 600, 8, 3}, {257, 2, 1, 514, 3, 1}};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const auto& k : cases) {
            const int na[3] = {k[0], k[1], k[2]}, nc[3] = {k[3], k[4], k[5]};
            const std::vector<double> a = random_values(long(k[0]) * k[1] * k[2], -1, 1, 99);
            std::vector<double> c(long(k[3]) * k[4] * k[5]), cr(c.size()), work(3 * k[3] * k[4] + k[4] * k[0]),
                workr(work.size());
            resize(na, a.data(), nc, c.data(), work.data());
            reference::resize(na, a.data(), nc, cr.data(), workr.data());
            EXPECT_EQ(first_bit_difference(c, cr), -1) << test::form_name(form) << " " << k[0] << " -> " << k[3];
        }
    }
}

TEST_F(FmgTest, membrane_operator_and_smoother_agree_bit_for_bit_with_the_plain_loops) {
    const double param[5] = {1.1, 0.7, 1.3, 0.9, 0.01};
    for (const Grid& g : kGrids) {
        const long m = g.count();
        const std::vector<double> u0 = random_values(m, -3, 3, 1 + m), a = random_values(m, 0, 0.5, 2 + m),
                                  b = random_values(m, -1, 1, 3 + m);
        std::vector<double> out(m), outr(m);
        LtLf_me(g.n, u0.data(), param, out.data());
        reference::LtLf_me(g.n, u0.data(), param, outr.data());
        EXPECT_EQ(first_bit_difference(out, outr), -1) << "LtLf_me " << g.text();
        for (int nit : {0, 1, 3}) {
            std::vector<double> u = u0, ur = u0;
            relax_me(g.n, a.data(), b.data(), param, nit, u.data());
            reference::relax_me(g.n, a.data(), b.data(), param, nit, ur.data());
            EXPECT_EQ(first_bit_difference(u, ur), -1) << "relax_me " << g.text() << " nit " << nit;
        }
    }
}

TEST_F(FmgTest, smoother_on_split_planes_agrees_bit_for_bit_with_the_plain_loops) {
    // Even nx takes the split copies: with nz even in a wavefront (all planes in
    // slots, or 14 and 30 planes through a ring once 2 * nit passes leave room;
    // a work area short of that runs shallower wavefronts in turn), with nz odd
    // pass after pass; odd nx, nit 0 and a work area too small for any wavefront
    // fall back to the plain loops. Sizes 1 and 2 make rows and planes their own
    // neighbours; odd ny makes the y seam meet one colour.
    const Grid grids[] = {{{2, 1, 1}},   {{2, 2, 2}},  {{4, 1, 2}},  {{2, 5, 4}}, {{6, 3, 1}},   {{8, 7, 3}},
                          {{10, 4, 14}}, {{6, 5, 30}}, {{12, 2, 9}}, {{7, 6, 4}}, {{16, 12, 8}}, {{10, 17, 12}}};
    const double param[5] = {1.1, 0.7, 1.3, 0.9, 0.01};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const Grid& g : grids) {
            const long m = g.count();
            const std::vector<double> u0 = random_values(m, -3, 3, 1 + m), varying = random_values(m, 0, 0.5, 2 + m),
                                      same(m, 0.25), b = random_values(m, -1, 1, 3 + m);
            for (const std::vector<double>* a : {&varying, &same})
                for (int nit : {0, 1, 3}) {
                    const bool a_uniform = uniform_weight(a->data(), m);
                    const long need = relax_me_work(g.n, nit, a_uniform), slot = long(g.n[0] + 8) * g.n[1];
                    // All passes in one wavefront; shallower ones one after the other (down
                    // to two passes in six slots); too little for any.
                    for (long work_size : {need, need - 4, 6 * slot + 3, 5 * slot + 3}) {
                        std::vector<double> ur = u0;
                        reference::relax_me(g.n, a->data(), b.data(), param, nit, ur.data());
                        // The work area as given and one double further on, which moves the slots' start.
                        for (int shift : {0, 1}) {
                            std::vector<double> u = u0, work(work_size > 0 ? work_size + shift : 1, -7.0);
                            relax_me_split(g.n, a->data(), a_uniform, b.data(), param, nit, u.data(),
                                           work.data() + (work_size > 0 ? shift : 0), work_size);
                            EXPECT_EQ(first_bit_difference(u, ur), -1)
                                << test::form_name(form) << " " << g.text() << " nit " << nit
                                << (a_uniform ? " uniform a" : "") << " work " << work_size << " of " << need
                                << " shifted " << shift;
                        }
                    }
                }
        }
    }
}

TEST_F(FmgTest, split_smoother_needs_planes_for_the_wavefront_only) {
    // Slots of (nx + 8)*ny doubles for u (and a + d unless a is uniform): every
    // plane, or the head of 2 * nit planes plus a ring of 2 * nit + 2; and three
    // to start them on a 32-byte boundary.
    const struct {
        Grid g;
        int nit;
        bool a_uniform;
        long expected;
    } cases[] = {
        {{{128, 128, 64}}, 5, true, 22L * 136 * 128 + 3},  // 64 planes > 22: ring
        {{{128, 128, 64}}, 5, false, 22L * 136 * 128 * 2 + 3},
        {{{64, 64, 16}}, 5, true, 16L * 72 * 64 + 3},  // 16 planes fit in 22
        {{{64, 64, 31}}, 5, true, 31L * 72 * 64 + 3},  // odd nz: no wavefront, every plane
        {{{63, 64, 64}}, 5, true, 0},                  // odd nx: the plain loops
        {{{64, 64, 64}}, 0, true, 0},                  // nothing to do
    };
    for (const auto& c : cases)
        EXPECT_EQ(relax_me_work(c.g.n, c.nit, c.a_uniform), c.expected) << c.g.text() << " nit " << c.nit;
    const double same[4] = {0.5, 0.5, 0.5, 0.5}, differ[4] = {0.5, 0.5, -0.5, 0.5}, zeros[2] = {0.0, -0.0};
    EXPECT_TRUE(uniform_weight(same, 4));
    EXPECT_FALSE(uniform_weight(differ, 4));
    EXPECT_FALSE(uniform_weight(zeros, 2));  // 0.0 + d and -0.0 + d may differ (d = -0.0)
}

TEST_F(FmgTest, operator_products_and_residual) {
    const Grid g{{5, 4, 3}};
    const long m = g.count();
    const double param[5] = {1.0, 0.5, 2.0, 1.5, 0.2};
    const std::vector<double> u = random_values(m, -2, 2, 11), a = random_values(m, 0, 1, 12),
                              b = random_values(m, -2, 2, 13);
    std::vector<double> mu(m), au = random_values(m, -1, 1, 14);
    LtLf_me(g.n, u.data(), param, mu.data());
    std::vector<double> expected(m);
    for (long i = 0; i < m; ++i) expected[i] = u[i] * a[i] + au[i];
    Atimesp1(g.n, a.data(), u.data(), au.data());
    EXPECT_EQ(first_bit_difference(au, expected), -1);
    std::vector<double> full(m);
    Atimesp_me(g.n, a.data(), param, u.data(), full.data());
    double ss = 0.0;
    for (long i = 0; i < m; ++i) {
        EXPECT_EQ(full[i], u[i] * a[i] + mu[i]);
        ss += (full[i] - b[i]) * (full[i] - b[i]);
    }
    EXPECT_EQ(sumsq_me(g.n, a.data(), b.data(), param, u.data()), ss);
}

TEST_F(FmgTest, vector_helpers) {
    std::vector<double> v = {1, 2, 3}, w = {4, -5, 6};
    EXPECT_EQ(dotprod(3, v.data(), w.data()), 12.0);
    EXPECT_EQ(norm(2, std::vector<double>{3, 4}.data()), 5.0);
    addscaled(3, v.data(), w.data(), 0.5);
    EXPECT_EQ(v, (std::vector<double>{3, -0.5, 6}));
    addto(3, v.data(), w.data());
    EXPECT_EQ(v, (std::vector<double>{7, -5.5, 12}));
    copy(3, w.data(), v.data());
    EXPECT_EQ(v, w);
    zeros(3, v.data());
    EXPECT_EQ(v, (std::vector<double>{0, 0, 0}));
}

TEST_F(FmgTest, single_voxel_grid_has_the_closed_form) {
    // b / (mu + a) = 3 / (0.25 + 0.5) = 4; the values make every step exact.
    const int n[3] = {1, 1, 1};
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.25};
    for (int nfmg : {0, 1, 3})
        for (int nit : {0, 1, 4}) {
            double a = 0.5, b = 3.0, u = -77.0;
            std::vector<double> scratch(fmg_scratchsize(n));
            fmg(n, &a, &b, 2, param, nfmg, nit, &u, scratch.data());
            EXPECT_EQ(u, 4.0) << nfmg << " cycles, " << nit << " iterations";
        }
}

TEST_F(FmgTest, zero_right_hand_side_gives_zero) {
    const Grid g{{23, 17, 11}};
    const long m = g.count();
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    const std::vector<double> a = random_values(m, 0.0001, 0.01, 5), b(m, 0.0);
    for (int nfmg : {0, 1, 2})
        for (int nit : {0, 2}) {
            std::vector<double> u = random_values(m, -5, 5, 6), scratch(fmg_scratchsize(g.n));
            fmg(g.n, a.data(), b.data(), 2, param, nfmg, nit, u.data(), scratch.data());
            for (long i = 0; i < m; ++i) ASSERT_EQ(u[i], 0.0) << i << ", " << nfmg << " cycles, " << nit << " its";
        }
}

TEST_F(FmgTest, whole_solve_agrees_bit_for_bit_with_the_plain_loops) {
    // A varying a and a uniform one (as the unwrapping passes, which the
    // smoother and the residual read as a single value), in both kernel forms.
    const double param[5] = {1.0, 0.8, 1.2, 1.0, 0.001};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const Grid& g : kGrids) {
            const long m = g.count();
            const std::vector<double> varying = random_values(m, 0.0001, 0.1, 21 + m), same(m, 0.0001),
                                      b = random_values(m, -1, 1, 22 + m);
            for (const std::vector<double>* a : {&varying, &same})
                for (int nfmg : {0, 1, 2})
                    for (int nit : {0, 2}) {
                        std::vector<double> u(m, 0.0), ur(m), scratch(fmg_scratchsize(g.n));
                        fmg(g.n, a->data(), b.data(), 2, param, nfmg, nit, u.data(), scratch.data());
                        reference::fmg(g.n, a->data(), b.data(), param, nfmg, nit, ur.data());
                        EXPECT_EQ(first_bit_difference(u, ur), -1)
                            << test::form_name(form) << " " << g.text() << (a == &same ? " uniform a " : " ") << nfmg
                            << " cycles " << nit << " its";
                    }
        }
    }
}

TEST_F(FmgTest, one_value_of_a_solves_as_an_array_of_it) {
    // Odd and even nx (the plain smoother and the split one read the single
    // value), level 0 through its first resampling, with mu and without.
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const Grid& g : kGrids) {
            const long m = g.count();
            const std::vector<double> b = random_values(m, -1, 1, 61 + m);
            for (double mu : {0.0, 0.01}) {
                const double param[5] = {1.0, 0.9, 1.1, 1.0, mu};
                const std::vector<double> a(m, 0.0001);
                std::vector<double> u(m), ur(m), scratch(fmg_scratchsize(g.n));
                fmg_uniform(g.n, 0.0001, b.data(), param, 2, 3, u.data(), scratch.data());
                reference::fmg(g.n, a.data(), b.data(), param, 2, 3, ur.data());
                EXPECT_EQ(first_bit_difference(u, ur), -1) << test::form_name(form) << " " << g.text() << " mu " << mu;
            }
        }
    }
}

TEST_F(FmgTest, no_cycles_gives_the_prolongated_coarse_solution) {
    const int n0[3] = {8, 6, 3};
    const long m0 = 8 * 6 * 3;
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.5};
    const std::vector<double> a = random_values(m0, 0.1, 1, 31), b = random_values(m0, -1, 1, 32);
    // Pyramid 8x6x3, 4x3x2, 2x2x1, 1x1x1: restrict, solve the single voxel, prolongate back.
    const int n[4][3] = {{8, 6, 3}, {4, 3, 2}, {2, 2, 1}, {1, 1, 1}};
    std::vector<double> bl[4], al[4], work(3 * 8 * 6 + 8 * 6);
    bl[0] = b;
    al[0] = a;
    for (int j = 1; j < 4; ++j) {
        const long m = long(n[j][0]) * n[j][1] * n[j][2];
        bl[j].resize(m);
        al[j].resize(m);
        reference::resize(n[j - 1], bl[j - 1].data(), n[j], bl[j].data(), work.data());
        reference::resize(n[j - 1], al[j - 1].data(), n[j], al[j].data(), work.data());
    }
    std::vector<double> u = {bl[3][0] / (0.5 + al[3][0])};
    for (int j = 2; j >= 0; --j) {
        std::vector<double> finer(long(n[j][0]) * n[j][1] * n[j][2]);
        reference::resize(n[j + 1], u.data(), n[j], finer.data(), work.data());
        u = finer;
    }
    std::vector<double> got(m0, 9.0), scratch(fmg_scratchsize(n0));
    fmg(n0, a.data(), b.data(), 2, param, 0, 5, got.data(), scratch.data());
    EXPECT_EQ(first_bit_difference(got, u), -1);
}

TEST_F(FmgTest, cycles_without_smoothing_still_add_coarse_corrections) {
    const int n[3] = {16, 16, 4};
    const long m = 16 * 16 * 4;
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    const std::vector<double> a(m, 0.01), b = random_values(m, -1, 1, 41);
    std::vector<double> none(m), with(m), scratch(fmg_scratchsize(n));
    fmg(n, a.data(), b.data(), 2, param, 0, 0, none.data(), scratch.data());
    fmg(n, a.data(), b.data(), 2, param, 2, 0, with.data(), scratch.data());
    EXPECT_NE(first_bit_difference(none, with), -1);
    std::vector<double> ref(m);
    reference::fmg(n, a.data(), b.data(), param, 2, 0, ref.data());
    EXPECT_EQ(first_bit_difference(with, ref), -1);
}

TEST_F(FmgTest, cycles_reduce_the_residual_by_orders_of_magnitude) {
    // The unwrapping system: a = 0.0001, unit membrane, no mu, a mean-free right-hand side.
    const int n[3] = {32, 32, 8};
    const long m = 32 * 32 * 8;
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    const std::vector<double> a(m, 0.0001);
    std::vector<double> b = random_values(m, -1, 1, 51);
    double mean = 0.0;
    for (double v : b) mean += v;
    for (double& v : b) v -= mean / m;
    const std::vector<double> zero(m, 0.0);
    const double start = sumsq_me(n, a.data(), b.data(), param, zero.data());
    double previous = start;
    for (int nfmg : {1, 2, 4}) {
        std::vector<double> u(m), scratch(fmg_scratchsize(n));
        fmg(n, a.data(), b.data(), 2, param, nfmg, 2, u.data(), scratch.data());
        const double ss = sumsq_me(n, a.data(), b.data(), param, u.data());
        EXPECT_LT(ss, previous) << nfmg << " cycles";
        previous = ss;
    }
    // Measured: 2e-4, 1e-6 and 7e-11 of the starting residual after 1, 2 and 4
    // cycles of two iterations; 1e-8 for four cycles leaves two orders of slack.
    EXPECT_LT(previous / start, 1e-8);
}

TEST_F(FmgTest, grids_beyond_the_range_are_refused_with_a_log_line) {
    const int n[3] = {40000, 1, 1};
    std::vector<double> a(40000, 1.0), b(40000, 1.0), u(40000, 7.0), scratch(16);
    const double param[5] = {1, 1, 1, 1, 0};
    fmg(n, a.data(), b.data(), 2, param, 2, 2, u.data(), scratch.data());
    EXPECT_TRUE(test::log_contains(host::instance(),
                                   "fmg: a grid of 40000 x 1 x 1 voxels is outside the solver's range (1 to 32768 "
                                   "voxels along each axis, scratch within 32-bit counts); nothing solved."));
    EXPECT_EQ(u[0], 7.0);
    EXPECT_EQ(u[39999], 7.0);
}

TEST_F(FmgTest, log_levels_select_the_progress_lines) {
    const int n[3] = {4, 4, 1};
    const double param[5] = {1, 1, 1, 1, 0};
    std::vector<double> a(16, 0.1), b(16, 1.0), u(16), scratch(fmg_scratchsize(n));
    auto count = [&](const std::string& line) {
        long k = 0;
        for (const auto& l : log()) k += l == line;
        return k;
    };
    verboselevel = 0;
    fmg(n, a.data(), b.data(), 2, param, 1, 1, u.data(), scratch.data());
    EXPECT_TRUE(log().empty());

    verboselevel = 1;
    fmg(n, a.data(), b.data(), 2, param, 1, 1, u.data(), scratch.data());
    EXPECT_EQ(log(), std::vector<std::string>{"Resize..."});

    host::instance().log.clear();
    verboselevel = 2;
    fmg(n, a.data(), b.data(), 2, param, 1, 1, u.data(), scratch.data());
    ASSERT_GE(log().size(), 6u);
    EXPECT_EQ(log()[0], "Loop 16x through n[j]...");
    EXPECT_EQ(log()[1], "Set last values...");
    EXPECT_EQ(log()[2], "Resize...");
    EXPECT_EQ(log()[3], "Resize: 4,4,1 -> 2,2,1");
    EXPECT_EQ(log()[4], "resize, loop tot nc[2]: 1");
    EXPECT_EQ(log()[5], "Resize all...");
    EXPECT_GT(count("Ltlf_me..."), 0);
    EXPECT_GT(count("resized_plane..."), 0);
    EXPECT_EQ(count("Relax..."), 0);  // only above level 2

    host::instance().log.clear();
    verboselevel = 3;
    relax_me(n, a.data(), b.data(), param, 3, u.data());
    EXPECT_EQ(log(), std::vector<std::string>{"Relax..."});  // once per call

    // Levels 4x4x1, 2x2x1, 1x1x1: two cycles from level 1 smooth level 1 twice
    // each; two from level 0 smooth levels 0 and 1 twice each: 12 calls, one
    // line each, also where one cycle's last smoothing runs on into the next's first.
    host::instance().log.clear();
    fmg(n, a.data(), b.data(), 2, param, 2, 1, u.data(), scratch.data());
    EXPECT_EQ(count("Relax..."), 12);

    host::instance().log.clear();
    verboselevel = 2;
    const int one[3] = {3, 2, 1};
    std::vector<double> six(6, 0.0);
    sumsq_me(one, six.data(), six.data(), param, six.data());
    EXPECT_EQ(log(),
              (std::vector<std::string>{"sumsq_me...", "in sumsq_me: w000: 6.000000, w001: -1.000000, w010: -1.000000, "
                                                       "w1000: -1.000000\ndm0: 3, dm1: 2, dm2: 1"}));
}

}  // namespace
}  // namespace warpmender
