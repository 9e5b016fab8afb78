// Magnitude scale: the mask threshold judged on the three vendors' real magnitudes, and the 12-bit rescale.
#include "correction/magnitude_scale.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/correction_real_maps.h"

namespace warpmender {
namespace {

std::vector<float> real_magnitude(const std::string& name) {
    const test::RealMap m = test::read_real_map(name);
    return std::vector<float>(m.values.begin(), m.values.end());
}

struct VendorCase {
    const char* file;
    bool meaningless;
};

class CorrectionMagnitudeScaleReal : public ::testing::TestWithParam<VendorCase> {};

TEST_P(CorrectionMagnitudeScaleReal, threshold_judged_as_expected_and_rescale_makes_it_meaningful) {
    const VendorCase c = GetParam();
    std::vector<float> m = real_magnitude(c.file);
    const correction::MagnitudeScale before = correction::judge_magnitude_scale(m.data(), m.size());
    correction::rescale_magnitude(m.data(), m.size());
    const correction::MagnitudeScale after = correction::judge_magnitude_scale(m.data(), m.size());
    std::printf("%s: %.1f%% of %zu non-zero voxels above 200, %.1f%% after the rescale\n", c.file,
                100 * before.share_above, before.nonzero, 100 * after.share_above);
    EXPECT_EQ(before.meaningless, c.meaningless);
    EXPECT_FALSE(after.meaningless);
    // After the rescale the threshold falls between background and head:
    // 35%, 34% and 60% of the non-zero voxels (Philips' zero-filled quarter
    // excluded, its head is 44% of the whole field of view).
    EXPECT_GT(after.share_above, 0.2);
    EXPECT_LT(after.share_above, 0.7);
}

INSTANTIATE_TEST_SUITE_P(Vendors, CorrectionMagnitudeScaleReal,
                         ::testing::Values(VendorCase{"siemens_magnitude1.nii.gz", false},
                                           VendorCase{"ge_magnitude.nii.gz", false},
                                           VendorCase{"philips_magnitude.nii.gz", true}),
                         [](const ::testing::TestParamInfo<VendorCase>& i) {
                             return std::string(i.param.file).substr(0, std::string(i.param.file).find('_'));
                         });

TEST(CorrectionMagnitudeScale, shares_at_the_two_bounds_decide) {
    struct Case {
        int above, at_or_below, zeros;
        bool meaningless;
    };
    const Case cases[] = {
        {0, 100, 0, true},     // nothing above
        {1, 199, 0, true},     // 0.5%
        {1, 99, 0, false},     // 1%: the bound itself is still usable
        {40, 60, 900, false},  // zeros do not count
        {97, 3, 0, false},     // 97%: a head whose air is exactly 0
        {99, 1, 0, false},     // 99%
        {199, 1, 0, true},     // 99.5%
        {100, 0, 50, true},    // everything non-zero above
        {0, 0, 10, true},      // nothing but zeros
    };
    for (const Case& c : cases) {
        std::vector<float> m;
        m.insert(m.end(), c.above, 201.0f);
        m.insert(m.end(), c.at_or_below, 200.0f);
        m.insert(m.end(), c.zeros, 0.0f);
        const correction::MagnitudeScale s = correction::judge_magnitude_scale(m.data(), m.size());
        EXPECT_EQ(s.meaningless, c.meaningless)
            << c.above << " above, " << c.at_or_below << " not, " << c.zeros << " zeros";
        EXPECT_EQ(s.above, static_cast<size_t>(c.above));
        EXPECT_EQ(s.nonzero, static_cast<size_t>(c.above + c.at_or_below));
    }
}

TEST(CorrectionMagnitudeScale, rescale_maps_minimum_and_maximum_onto_0_and_4095) {
    std::vector<float> m = {1000.0f, 3000.0f, 5000.0f, 2000.0f};
    correction::rescale_magnitude(m.data(), m.size());
    EXPECT_EQ(m, (std::vector<float>{0.0f, 2047.5f, 4095.0f, 1023.75f}));
    std::vector<float> flat = {7.0f, 7.0f};
    correction::rescale_magnitude(flat.data(), flat.size());
    EXPECT_EQ(flat, (std::vector<float>{7.0f, 7.0f}));
    std::vector<float> big = {0.0f, 2.4e8f, 1.2e8f};
    correction::rescale_magnitude(big.data(), big.size());
    EXPECT_EQ(big, (std::vector<float>{0.0f, 4095.0f, 2047.5f}));
}

}  // namespace
}  // namespace warpmender
