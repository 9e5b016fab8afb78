// Tests of the error of a series against its truth inside a mask.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/error.h"
#include "sim/error_metrics.h"

namespace warpmender {
namespace sim {
namespace {

// Two volumes of four voxels, the last voxel outside the mask (its error of
// 1000 must not count). Inside: differences +1, -2, +2 and -1, 0, +3 over
// truth values averaging 10.
TEST(SimErrorMetrics, hand_computed_rms_and_mean_absolute_error) {
    const std::vector<float> truth = {8, 10, 12, 5, 9, 10, 11, 5};
    const std::vector<float> series = {9, 8, 14, 1005, 8, 10, 14, 5};
    const std::vector<std::uint8_t> mask = {1, 1, 1, 0};
    const SeriesError e = series_error(series, truth, mask, 2);
    EXPECT_EQ(e.voxels, 3u);
    EXPECT_EQ(e.volumes, 2);
    EXPECT_DOUBLE_EQ(e.mean_truth, 10.0);
    EXPECT_DOUBLE_EQ(e.rms, std::sqrt((1 + 4 + 4 + 1 + 0 + 9) / 6.0));
    EXPECT_DOUBLE_EQ(e.mean_abs, (1 + 2 + 2 + 1 + 0 + 3) / 6.0);
    EXPECT_DOUBLE_EQ(e.rms_relative, e.rms / 10.0);
    EXPECT_DOUBLE_EQ(e.mean_abs_relative, 1.5 / 10.0);
}

TEST(SimErrorMetrics, a_series_equal_to_its_truth_has_no_error) {
    const std::vector<float> truth = {3, 1, 4, 1, 5, 9};
    const SeriesError e = series_error(truth, truth, {1, 1, 1, 1, 1, 1}, 1);
    EXPECT_EQ(e.rms, 0.0);
    EXPECT_EQ(e.mean_abs, 0.0);
}

TEST(SimErrorMetrics, a_nan_in_the_series_cannot_look_perfect) {
    const std::vector<float> truth = {1, 2, 3};
    const std::vector<float> series = {1, std::numeric_limits<float>::quiet_NaN(), 3};
    const SeriesError e = series_error(series, truth, {1, 1, 1}, 1);
    EXPECT_TRUE(std::isinf(e.rms));
    EXPECT_TRUE(std::isinf(e.mean_abs));
}

TEST(SimErrorMetrics, empty_mask_gives_zeros_and_mismatched_sizes_are_refused) {
    const std::vector<float> v = {1, 2, 3, 4};
    const SeriesError e = series_error(v, v, {0, 0}, 2);
    EXPECT_EQ(e.voxels, 0u);
    EXPECT_EQ(e.rms, 0.0);
    EXPECT_EQ(e.rms_relative, 0.0);
    EXPECT_THROW(series_error(v, v, {1, 1}, 3), Error);
    EXPECT_THROW(series_error(v, {1, 2, 3}, {1, 1}, 2), Error);
    EXPECT_THROW(series_error(v, v, {}, 1), Error);
    EXPECT_THROW(series_error(v, v, {1, 1}, 0), Error);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
