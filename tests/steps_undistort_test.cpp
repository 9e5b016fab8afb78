// Undistortion: bit-identity with the plain resampling, known shifts per axis and sense, refusals, saved result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fieldmap/undistort.h"
#include "plugin/steps/undistort.h"
#include "tests/kernel_forms.h"
#include "tests/steps_support.h"
#include "tests/undistort_reference.h"

namespace warpmender {
namespace {

using test::index_volume;

fieldmapparams direction(int code) {
    fieldmapparams p;
    p.phaseEncodingDir = code;
    return p;
}

class StepsUndistort : public test::StepsTest {
protected:
    void expect_plain_resampling_bits(KernelIsa isa);
};

// Random shifts of every kind the map can hold: fractional within and far
// beyond the axis, whole voxels, negative, zero and nearly zero.
std::unique_ptr<datahandler<double>> random_shifts(long nx, long ny, long nz, unsigned seed) {
    auto map = index_volume(nx, ny, nz, 1, "shift.fmr");
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> wide(-40.0, 40.0), near(-1.5, 1.5);
    std::uniform_int_distribution<int> kind(0, 4), whole(-30, 30);
    for (long i = 0; i < map->getnrofelems(); ++i) {
        double s = 0.0;
        switch (kind(rng)) {
            case 0: s = wide(rng); break;
            case 1: s = near(rng); break;
            case 2: s = whole(rng); break;
            case 3: s = 1e-13 * near(rng); break;
            default: s = 0.0; break;
        }
        map->setvalue(i, s);
    }
    return map;
}

// A field map's shifts: smooth, so that most groups of four neighbours along
// x read consecutive voxels, with whole-voxel steps and exact zeros mixed in.
std::unique_ptr<datahandler<double>> smooth_shifts(long nx, long ny, long nz) {
    auto map = index_volume(nx, ny, nz, 1, "shift.fmr");
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y)
            for (long x = 0; x < nx; ++x) {
                double s = 4.0 * std::sin(0.05 * x + 0.11 * y) + 2.5 * std::cos(0.3 * z) + 0.01 * x;
                if ((x / 8 + y) % 5 == 0) s = 0.0;
                if ((x / 8 + y) % 7 == 0) s = std::floor(s);
                map->setvalue(x, y, z, s);
            }
    return map;
}

// The correction through undistort1d, the summaries included, against the
// plain resampling, with the kernels capped at one form.
void StepsUndistort::expect_plain_resampling_bits(KernelIsa isa) {
    // Odd sizes leave a tail of one to three voxels per row; the second grid
    // needs 32-bit offsets along z, the third along x and y.
    const long grids[][4] = {{23, 17, 11, 3}, {97, 89, 8, 2}, {261, 257, 1, 1}};
    const test::KernelForm form(isa);
    for (const auto& g : grids)
        for (int code = 1; code <= 6; ++code)
            for (bool smooth : {false, true}) {
                auto shift = smooth ? smooth_shifts(g[0], g[1], g[2]) : random_shifts(g[0], g[1], g[2], 1234u + code);
                // A folder per form: each form's test may run beside another's.
                const std::string folder =
                    test::scratch_dir(std::string("steps_undistort_bits_") + test::form_name(isa));
                auto fast = index_volume(g[0], g[1], g[2], g[3], folder + "/epi.fmr");
                auto plain = index_volume(g[0], g[1], g[2], g[3]);
                // Values that are not small integers, so that every rounding shows.
                for (long i = 0; i < fast->getnrofelems(); ++i) {
                    const double v = std::sin(0.37 * i) * 1000.0 + 0.001 * i;
                    fast->setvalue(i, v);
                    plain->setvalue(i, v);
                }
                fieldmapparams p = direction(code);
                const std::string before = plain->displayintensityvalues("distorted data");
                undistort1d(fast.get(), shift.get(), &p);
                reference::undistort(plain.get(), shift.get(), code);
                const std::string what = "direction " + std::to_string(code) + " on " + std::to_string(g[0]) + " x " +
                                         std::to_string(g[1]) + " x " + std::to_string(g[2]) +
                                         (smooth ? ", smooth map" : ", random map") + ", " + test::form_name(isa) +
                                         " kernels";
                EXPECT_EQ(0, std::memcmp(fast->getdata(), plain->getdata(), sizeof(double) * fast->getnrofelems()))
                    << what;
                // The summaries taken during the pass read as those of the whole series.
                EXPECT_TRUE(test::log_contains(*h, before)) << what;
                EXPECT_TRUE(test::log_contains(*h, plain->displayintensityvalues("undistorted data"))) << what;
            }
}

TEST_F(StepsUndistort, matches_the_plain_resampling_to_the_bit_for_all_six_directions) {
    for (KernelIsa isa : test::kernel_forms()) expect_plain_resampling_bits(isa);
}

TEST_F(StepsUndistort, avx512_kernels_match_the_plain_resampling_to_the_bit_for_all_six_directions) {
    if (!test::cpu_runs(KernelIsa::kAvx512)) GTEST_SKIP() << "this CPU does not run the AVX-512 kernels";
    expect_plain_resampling_bits(KernelIsa::kAvx512);
}

// A field map's shifts as they mostly are: a few voxels, slowly varying.
std::unique_ptr<datahandler<double>> gentle_shifts(long nx, long ny, long nz) {
    auto map = index_volume(nx, ny, nz, 1, "shift.fmr");
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y)
            for (long x = 0; x < nx; ++x)
                map->setvalue(x, y, z, 2.3 * std::sin(0.005 * x + 0.03 * y + 0.05 * z) + 0.37);
    return map;
}

TEST(StepsUndistortPlan, a_series_without_summaries_matches_the_plain_resampling_to_the_bit) {
    // Without summaries the plan corrects two volumes side by side where their
    // rings fit in the cache and few groups spill (gentle maps, as a rule),
    // else one by one: an odd count leaves one to go alone, and one volume is
    // all alone.
    const long grids[][3] = {{23, 17, 11}, {97, 89, 8}, {9, 5, 4}};
    for (KernelIsa isa : test::kernel_forms(KernelIsa::kAvx512)) {
        const test::KernelForm form(isa);
        long side_by_side[3] = {0, 0, 0};
        for (const auto& g : grids)
            for (int code = 1; code <= 6; ++code)
                for (int kind = 0; kind < 3; ++kind) {
                    auto shift = kind == 0   ? random_shifts(g[0], g[1], g[2], 99u + code)
                                 : kind == 1 ? smooth_shifts(g[0], g[1], g[2])
                                             : gentle_shifts(g[0], g[1], g[2]);
                    UndistortPlan plan;
                    ASSERT_TRUE(plan.build(shift->getdata(), g[0], g[1], g[2], code));
                    ++side_by_side[plan.volumes_side_by_side()];
                    for (long nt : {1L, 2L, 5L}) {
                        auto fast = index_volume(g[0], g[1], g[2], nt);
                        auto plain = index_volume(g[0], g[1], g[2], nt);
                        for (long i = 0; i < fast->getnrofelems(); ++i) {
                            const double v = std::cos(0.23 * i) * 700.0 - 0.003 * i;
                            fast->setvalue(i, v);
                            plain->setvalue(i, v);
                        }
                        plan.correct_series(fast->getdata(), nt);
                        reference::undistort(plain.get(), shift.get(), code);
                        const char* map = kind == 0   ? ", random map, "
                                          : kind == 1 ? ", smooth map, "
                                                      : ", gentle map, ";
                        EXPECT_EQ(0,
                                  std::memcmp(fast->getdata(), plain->getdata(), sizeof(double) * fast->getnrofelems()))
                            << "direction " << code << " on " << g[0] << " x " << g[1] << " x " << g[2] << " x " << nt
                            << map << test::form_name(isa) << " kernels";
                    }
                }
        // Both ways were taken, each for many cases.
        EXPECT_GE(side_by_side[1], 10) << test::form_name(isa);
        EXPECT_GE(side_by_side[2], 10) << test::form_name(isa);
    }
    // A gentle map: two side by side, but for slices too large for two rings
    // and rows so short that the groups at their ends, which clamp, are many;
    // the random map spills nearly all its groups: one by one.
    UndistortPlan plan;
    for (int code = 1; code <= 6; ++code) {
        ASSERT_TRUE(plan.build(gentle_shifts(97, 89, 8)->getdata(), 97, 89, 8, code));
        EXPECT_EQ(plan.volumes_side_by_side(), code <= 4 ? 2 : 1) << "direction " << code;
        ASSERT_TRUE(plan.build(gentle_shifts(23, 17, 11)->getdata(), 23, 17, 11, code));
        if (code >= 3) {
            EXPECT_EQ(plan.volumes_side_by_side(), 2) << "direction " << code;
        }
        ASSERT_TRUE(plan.build(random_shifts(23, 17, 11, 5u)->getdata(), 23, 17, 11, code));
        EXPECT_EQ(plan.volumes_side_by_side(), 1) << "direction " << code;
    }
}

TEST(KernelIsaChoice, a_kernel_gets_no_wider_form_than_it_has_nor_than_the_cap) {
    const bool runs[3] = {true, test::cpu_runs(KernelIsa::kAvx2), test::cpu_runs(KernelIsa::kAvx512)};
    for (KernelIsa cap : {KernelIsa::kBaseline, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
        const test::KernelForm form(cap);
        // Kernels with an AVX2 form at most (the default) run it on an AVX-512 machine.
        EXPECT_LE(kernel_isa(), KernelIsa::kAvx2) << test::form_name(cap);
        EXPECT_EQ(kernel_isa(KernelIsa::kBaseline), KernelIsa::kBaseline) << test::form_name(cap);
        const KernelIsa widest = kernel_isa(KernelIsa::kAvx512);
        EXPECT_LE(widest, cap);
        EXPECT_EQ(widest == cap, runs[static_cast<int>(cap)]) << test::form_name(cap);
    }
}

TEST(StepsUndistortPlan, smooth_maps_read_most_groups_as_consecutive_voxels) {
    // Along x a smooth map moves whole groups by the same whole number of
    // voxels; along y and z each group's lines are neighbours anyway.
    auto shift = smooth_shifts(48, 40, 6);
    for (int code : {1, 3, 6}) {
        UndistortPlan plan;
        ASSERT_TRUE(plan.build(shift->getdata(), 48, 40, 6, code));
        EXPECT_GT(plan.contiguous_share(), 0.6) << "direction " << code;
    }
}

TEST_F(StepsUndistort, a_map_of_zeros_changes_nothing) {
    for (int code = 1; code <= 6; ++code) {
        auto epi = index_volume(23, 17, 11, 3, test::scratch_dir("steps_undistort_zero") + "/epi.fmr");
        auto before = index_volume(23, 17, 11, 3);
        auto shift = test::filled_volume(23, 17, 11, 1, 0.0);
        fieldmapparams p = direction(code);
        undistort1d(epi.get(), shift.get(), &p);
        EXPECT_EQ(0, std::memcmp(epi->getdata(), before->getdata(), sizeof(double) * epi->getnrofelems()))
            << "direction " << code;
    }
}

// Uniform shifts along each axis and sense; index values keep every expected
// value exact (small integers times quarters).
struct UniformCase {
    int code;
    double shift;
};

TEST_F(StepsUndistort, uniform_shift_along_each_axis_and_sense) {
    const UniformCase cases[] = {{1, 2.0},  {2, 2.0},  {3, 2.0},  {4, 2.0},  {5, 2.0},  {6, 2.0},
                                 {1, 0.25}, {2, 0.25}, {3, 0.25}, {4, 0.25}, {5, 0.25}, {6, 0.25}};
    const long N[3] = {23, 17, 11};
    for (const auto& c : cases) {
        auto epi = index_volume(23, 17, 11, 3, test::scratch_dir("steps_undistort_uniform") + "/epi.fmr");
        auto in = index_volume(23, 17, 11, 3);
        auto shift = test::filled_volume(23, 17, 11, 1, c.shift);
        fieldmapparams p = direction(c.code);
        undistort1d(epi.get(), shift.get(), &p);
        const int axis = (c.code - 1) / 2;
        const bool plus = c.code % 2 == 1;
        const long n = N[axis];
        for (long t = 0; t < 3; ++t)
            for (long z = 0; z < 11; ++z)
                for (long y = 0; y < 17; ++y)
                    for (long x = 0; x < 23; ++x) {
                        long at[3] = {x, y, z};
                        const long k = at[axis];
                        auto input = [&](long kk) {
                            long q[3] = {x, y, z};
                            q[axis] = kk;
                            return in->get(q[0], q[1], q[2], t);
                        };
                        double expected;
                        if (c.shift == 2.0) {
                            // the input two voxels on, the edge voxel for the last two
                            expected = plus ? input(std::min(k + 2, n - 1)) : input(std::max(k - 2, 0L));
                        } else if (plus) {
                            expected = k <= n - 2 ? 0.75 * input(k) + 0.25 * input(k + 1) : input(n - 1);
                        } else {
                            expected = k >= 1 ? 0.25 * input(k - 1) + 0.75 * input(k) : input(0);
                        }
                        ASSERT_EQ(epi->get(x, y, z, t), expected) << "direction " << c.code << " shift " << c.shift
                                                                  << " at " << x << "," << y << "," << z << "," << t;
                    }
    }
}

TEST_F(StepsUndistort, every_volume_of_a_long_series_gets_the_same_shifts) {
    auto epi = index_volume(7, 5, 3, 100, test::scratch_dir("steps_undistort_long") + "/epi.fmr");
    auto shift = test::filled_volume(7, 5, 3, 1, 1.0);
    fieldmapparams p = direction(3);
    undistort1d(epi.get(), shift.get(), &p);
    ASSERT_EQ(epi->getnt(), 100);
    for (long t = 0; t < 100; ++t)
        for (long z = 0; z < 3; ++z)
            for (long y = 0; y < 5; ++y)
                for (long x = 0; x < 7; ++x)
                    ASSERT_EQ(epi->get(x, y, z, t), static_cast<double>(epi->index(x, std::min(y + 1, 4L), z, t)));
}

// Refused calls change no EPI voxel and save nothing.
struct RefusalCase {
    const char* what;
    int code;
    long mx, my, mz;
    const char* line;
};

TEST_F(StepsUndistort, refuses_unknown_directions_and_maps_on_another_grid_before_touching_the_epi) {
    const RefusalCase cases[] = {
        {"code 0", 0, 23, 17, 11, "Phase-encoding direction 0 is not one of 1 to 6; the EPI data are left unchanged."},
        {"code 7", 7, 23, 17, 11, "Phase-encoding direction 7 is not one of 1 to 6; the EPI data are left unchanged."},
        {"code -1", -1, 23, 17, 11,
         "Phase-encoding direction -1 is not one of 1 to 6; the EPI data are left unchanged."},
        {"smaller x", 1, 22, 17, 11,
         "The pixel shift map (22 x 17 x 11) is not on the grid of the EPI (23 x 17 x 11); the EPI data are left "
         "unchanged."},
        {"smaller y", 3, 23, 16, 11,
         "The pixel shift map (23 x 16 x 11) is not on the grid of the EPI (23 x 17 x 11); the EPI data are left "
         "unchanged."},
        {"fewer slices", 5, 23, 17, 10,
         "The pixel shift map (23 x 17 x 10) is not on the grid of the EPI (23 x 17 x 11); the EPI data are left "
         "unchanged."},
        {"transposed", 1, 17, 23, 11,
         "The pixel shift map (17 x 23 x 11) is not on the grid of the EPI (23 x 17 x 11); the EPI data are left "
         "unchanged."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        auto epi = index_volume(23, 17, 11, 3, "epi.fmr");
        auto before = index_volume(23, 17, 11, 3);
        test::add_current_fmr(*h, *epi, "epi.fmr");
        auto shift = test::filled_volume(c.mx, c.my, c.mz, 1, 1.5);
        fieldmapparams p = direction(c.code);
        EXPECT_FALSE(undistort1d(epi.get(), shift.get(), &p)) << c.what;
        EXPECT_EQ(0, std::memcmp(epi->getdata(), before->getdata(), sizeof(double) * epi->getnrofelems())) << c.what;
        if (c.code < 1 || c.code > 6) {
            EXPECT_TRUE(test::log_contains(*h, "Undistort in direction: unknown")) << c.what;
        }
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.what;
        EXPECT_TRUE(h->saves.empty()) << c.what;
        EXPECT_FALSE(h->has_parameter("NameUndistortedFile")) << c.what;
    }
}

TEST_F(StepsUndistort, logs_the_direction_and_hands_back_the_name_even_when_the_save_fails) {
    // No document is current: the host cannot save.
    auto epi = index_volume(23, 17, 11, 3, test::scratch_dir("steps_undistort_name") + "/run1.fmr");
    auto shift = test::filled_volume(23, 17, 11, 1, 0.5);
    fieldmapparams p = direction(4);
    EXPECT_FALSE(undistort1d(epi.get(), shift.get(), &p));
    EXPECT_TRUE(test::log_contains(*h, "Undistort in direction: -y (posterior to anterior)"));
    EXPECT_EQ(h->string_parameter("NameUndistortedFile"), "run1_undistort.fmr");
    EXPECT_TRUE(test::log_contains(*h, "run1_undistort.fmr"));
}

TEST_F(StepsUndistort, saves_the_corrected_series_through_the_current_document) {
    const std::string dir = test::scratch_dir("steps_undistort_save");
    auto epi = index_volume(23, 17, 11, 3, dir + "/run1.fmr");
    test::add_current_fmr(*h, *epi, dir + "/run1.fmr");
    auto shift = test::filled_volume(23, 17, 11, 1, 1.0);
    fieldmapparams p = direction(1);
    ASSERT_TRUE(undistort1d(epi.get(), shift.get(), &p));
    ASSERT_EQ(h->saved_documents.count("run1_undistort.fmr"), 1u);
    const host::Document& saved = h->saved_documents.at("run1_undistort.fmr");
    for (long t = 0; t < 3; ++t)
        for (long z = 0; z < 11; z += 5)
            for (long y = 0; y < 17; y += 4)
                for (long x = 0; x < 23; ++x)
                    EXPECT_EQ(test::saved_value(saved, x, y, z, t),
                              static_cast<float>(epi->index(std::min(x + 1, 22L), y, z, t)));
}

TEST(StepsUndistortPlan, keeps_neighbours_on_the_axis_and_the_weight_before_clamping) {
    // One row of 4 along x: shifts 0.5 inside, -3.25 and +7.75 beyond the edges.
    const double shift[4] = {0.5, -3.25, 7.75, 0.0};
    UndistortPlan plan;
    ASSERT_TRUE(plan.build(shift, 4, 1, 1, 1));
    const double in[4] = {10.0, 20.0, 30.0, 40.0};
    double out[4];
    plan.apply(in, out);
    EXPECT_EQ(out[0], 15.0);  // halfway between voxels 0 and 1
    EXPECT_EQ(out[1], 10.0);  // p = -2.25: both neighbours clamp to voxel 0
    EXPECT_EQ(out[2], 40.0);  // p = 9.75: both clamp to voxel 3
    EXPECT_EQ(out[3], 40.0);
    EXPECT_FALSE(plan.build(shift, 4, 1, 1, 0));
    EXPECT_FALSE(plan.build(shift, 4, 1, 1, 7));
}

TEST(StepsUndistortPlan, huge_and_nan_shifts_stay_inside_the_volume) {
    const double shift[3] = {1e300, -1e300, std::nan("")};
    UndistortPlan plan;
    ASSERT_TRUE(plan.build(shift, 3, 1, 1, 2));
    const double in[3] = {1.0, 2.0, 3.0};
    double out[3];
    plan.apply(in, out);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 3.0);
    EXPECT_TRUE(std::isnan(out[2]));
}

}  // namespace
}  // namespace warpmender
