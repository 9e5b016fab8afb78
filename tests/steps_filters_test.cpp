// 3x3 filters (centred), magnitude masks and their refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/steps/filters.h"
#include "tests/steps_support.h"

namespace warpmender {
namespace {

using test::index_volume;

struct KernelCase {
    int code;
    const char* name;
    float k[3][3];
};

TEST(StepsFilterKernels, codes_names_and_kernels) {
    const float n = 0.11111111f, e = 0.0055555557f;
    const KernelCase cases[] = {
        {1, "Delta", {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}},
        {2, "Smooth", {{n, n, n}, {n, n, n}, {n, n, n}}},
        {11, "ShiftSubtract", {{0, 0, 0}, {0, 1, 0}, {0, 0, -1}}},
        {12, "EdgeDetection", {{-0.125f, -0.125f, -0.125f}, {-0.125f, 1, -0.125f}, {-0.125f, -0.125f, -0.125f}}},
        {13, "EdgeEnhancement", {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}},
        {14, "Sobel", {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}},
        {21, "Laplacian", {{0, 1, 0}, {1, -4, 1}, {0, 1, 0}}},
        {25, "Filter", {{e, e, e}, {e, 0.95555556f, e}, {e, e, e}}},
        {0, "Filter", {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}},
        {99, "Filter", {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(getfiltername(c.code), c.name) << c.code;
        float k[3][3];
        getkernel(c.code, k);
        for (int r = 0; r < 3; ++r)
            for (int q = 0; q < 3; ++q) EXPECT_EQ(k[r][q], c.k[r][q]) << c.code << " [" << r << "][" << q << "]";
    }
}

class StepsFilters : public test::StepsTest {};

TEST_F(StepsFilters, identity_codes_leave_the_volume_unchanged) {
    for (int code : {1, 13, 14, 99}) {
        auto v = index_volume(23, 17, 11, 3);
        auto before = index_volume(23, 17, 11, 3);
        EXPECT_TRUE(filterdata(code, v.get(), false));
        EXPECT_EQ(0, std::memcmp(v->getdata(), before->getdata(), sizeof(double) * v->getnrofelems())) << code;
    }
}

TEST_F(StepsFilters, smoothing_a_single_voxel_spreads_it_around_itself) {
    // 9.0 at (5, 5) of slice 4, volume 1: the centred kernel spreads 9 x (float 1/9)
    // over x and y 4..6 of that slice only.
    auto v = test::filled_volume(23, 17, 11, 3, 0.0);
    v->setvalue(5, 5, 4, 1, 9.0);
    ASSERT_TRUE(filterdata(2, v.get(), false));
    const double spread = 0.0 + static_cast<double>(1.0f / 9.0f) * 9.0;
    for (long t = 0; t < 3; ++t)
        for (long z = 0; z < 11; ++z)
            for (long y = 0; y < 17; ++y)
                for (long x = 0; x < 23; ++x) {
                    const bool inside = t == 1 && z == 4 && x >= 4 && x <= 6 && y >= 4 && y <= 6;
                    ASSERT_EQ(v->get(x, y, z, t), inside ? spread : 0.0) << x << "," << y << "," << z << "," << t;
                }
    EXPECT_NEAR(spread, 1.0, 1e-8);  // the float 1/9 is 7.5e-9 too large
}

TEST_F(StepsFilters, smoothing_a_constant_slice_sees_zeros_beyond_every_edge) {
    auto v = test::filled_volume(23, 17, 2, 1, 9.0);
    ASSERT_TRUE(filterdata(2, v.get(), false));
    // The same number of terms as the voxel has neighbours inside the slice, added in order.
    auto terms = [](int n) {
        double s = 0.0;
        for (int i = 0; i < n; ++i) s += static_cast<double>(1.0f / 9.0f) * 9.0;
        return s;
    };
    for (long z = 0; z < 2; ++z)
        for (long y = 0; y < 17; ++y)
            for (long x = 0; x < 23; ++x) {
                const int nxn = (x > 0) + 1 + (x < 22), nyn = (y > 0) + 1 + (y < 16);
                ASSERT_EQ(v->get(x, y, z), terms(nxn * nyn)) << x << "," << y;
            }
    EXPECT_EQ(v->get(0, 0, 0), terms(4));
    EXPECT_EQ(v->get(22, 16, 1), terms(4));
    EXPECT_EQ(v->get(0, 8, 0), terms(6));
    EXPECT_EQ(v->get(11, 8, 0), terms(9));
}

TEST_F(StepsFilters, shift_subtract_is_the_voxel_minus_its_lower_diagonal_neighbour) {
    auto v = index_volume(23, 17, 11, 3);
    auto in = index_volume(23, 17, 11, 3);
    ASSERT_TRUE(filterdata(11, v.get(), false));
    for (long t = 0; t < 3; ++t)
        for (long z = 0; z < 11; ++z)
            for (long y = 0; y < 17; ++y)
                for (long x = 0; x < 23; ++x) {
                    const double lower = x > 0 && y > 0 ? in->get(x - 1, y - 1, z, t) : 0.0;
                    ASSERT_EQ(v->get(x, y, z, t), in->get(x, y, z, t) - lower) << x << "," << y << "," << z;
                }
}

TEST_F(StepsFilters, logs_the_kernel_and_brackets_the_work_with_the_busy_cursor) {
    auto v = index_volume(5, 4, 3, 1);
    ASSERT_TRUE(filterdata(2, v.get(), false));
    EXPECT_TRUE(test::log_contains(
        *h,
        "warpmender > Smooth: \n\t0.111111\t0.111111\t0.111111\n\t0.111111\t0.111111\t0.111111\n\t0.111111\t0.111111\t0.111111"));
    const long kernel = test::find_log(*h, "...convolution kernel.");
    ASSERT_GE(kernel, 0);
    EXPECT_GT(test::find_log(*h, "Start convolution...", static_cast<size_t>(kernel)), kernel);
    EXPECT_EQ(h->busy_shown, 1);
    EXPECT_EQ(h->busy_depth, 0);
}

TEST_F(StepsFilters, segmentation_thresholds_strictly_on_the_first_volume) {
    struct Case {
        double threshold;
        double value, expected;
    } cases[] = {
        {-40000.0, 300.0, 0.0},                       // below -32768: the threshold becomes 300
        {-40000.0, 300.5, 7.0}, {200.0, 200.0, 0.0},  // equal to the threshold is not above it
        {200.0, 200.001, 7.0},  {-32768.0, -32767.0, 7.0},
    };
    for (const auto& c : cases) {
        auto source = test::filled_volume(3, 2, 2, 2, c.value);
        source->setvalue(0, 0, 0, 1, 1e6);  // volume 1 is not looked at
        std::unique_ptr<datahandler<double>> mask(segmentdatahandlerobject(source.get(), c.threshold, 7.0));
        ASSERT_TRUE(mask);
        EXPECT_EQ(mask->getnt(), 1);
        ASSERT_EQ(mask->getnrofelems(), 12);
        for (long i = 0; i < 12; ++i) EXPECT_EQ(mask->get(i), c.expected) << c.threshold << " " << c.value;
    }
    EXPECT_EQ(test::find_log(
                  *h, "Values of mask:\n\tMaximum: 0.000000\n\tMinimum: 0.000000\n\tRange: 0.000000\n\tMean: 0.000000"),
              0);
}

TEST_F(StepsFilters, masking_zeroes_the_target_where_the_magnitude_is_not_above_the_threshold) {
    const std::string dir = test::scratch_dir("steps_filters_mask");
    auto target = index_volume(23, 17, 11, 1, dir + "/phase.fmr");
    auto magnitude = index_volume(23, 17, 11, 1, dir + "/magnitude.fmr");
    for (long i = 0; i < magnitude->getnrofelems(); ++i) magnitude->setvalue(i, i % 2 ? 250.0 : 200.0);
    ASSERT_TRUE(maskimage(target.get(), magnitude.get(), 200.0, 4000.0));
    for (long i = 0; i < target->getnrofelems(); ++i) ASSERT_EQ(target->get(i), i % 2 ? double(i) : 0.0) << i;
    EXPECT_TRUE(test::log_contains(*h, "phase_masked.fmr"));
}

TEST_F(StepsFilters, a_mask_value_below_one_zeroes_everything) {
    auto target = index_volume(5, 4, 3, 1, test::scratch_dir("steps_filters_half") + "/p.fmr");
    auto magnitude = test::filled_volume(5, 4, 3, 1, 1000.0);
    ASSERT_TRUE(maskimage(target.get(), magnitude.get(), 200.0, 0.5));
    for (long i = 0; i < target->getnrofelems(); ++i) ASSERT_EQ(target->get(i), 0.0);
}

TEST_F(StepsFilters, masking_refuses_a_target_larger_than_its_mask) {
    struct Case {
        long tx, ty, tz, tt;
        const char* line;
    } cases[] = {
        {5, 4, 3, 2, "The image to be masked has more voxels (120) than the mask (60), masking not possible."},
        {6, 4, 3, 1, "The image to be masked has more voxels (72) than the mask (60), masking not possible."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        auto target = index_volume(c.tx, c.ty, c.tz, c.tt, "p.fmr");
        auto before = index_volume(c.tx, c.ty, c.tz, c.tt);
        auto magnitude = test::filled_volume(5, 4, 3, 2, 0.0);  // mask: one volume of 60
        EXPECT_FALSE(maskimage(target.get(), magnitude.get(), 200.0, 4000.0));
        EXPECT_EQ(0, std::memcmp(target->getdata(), before->getdata(), sizeof(double) * target->getnrofelems()));
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.line;
        EXPECT_TRUE(h->saves.empty());
    }
}

}  // namespace
}  // namespace warpmender
