// Size checks made before any allocation, and the replacement of non-finite values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/error.h"
#include "formats/file_checks.h"

namespace warpmender {
namespace {

TEST(HostFileChecks, volume_sizes_are_checked_before_allocation) {
    const struct {
        int64_t nx, ny, nz, nt;
        size_t bytes;
        size_t voxels;         // per volume, when accepted
        const char* expected;  // part of the refusal, or null
    } cases[] = {
        {23, 17, 11, 3, 4, 23 * 17 * 11, nullptr},
        {1, 1, 1, 1, 1, 1, nullptr},
        {0, 17, 11, 3, 4, 0, "every dimension must be at least 1, got 0 x 17 x 11 x 3 voxels of 4 bytes"},
        {23, -1, 11, 3, 4, 0, "every dimension must be at least 1"},
        {23, 17, 11, 0, 2, 0, "every dimension must be at least 1"},
        {int64_t{1} << 32, int64_t{1} << 32, 1, 1, 1, 0, "is more than can be addressed"},
        {2147483647, 2147483647, 2147483647, 1, 4, 0, "is more than can be addressed"},
        {int64_t{1} << 31, int64_t{1} << 31, 2, 1, 1, 0, "is more than can be addressed"},
        {65536, 65536, 65536, 1, 1, 0, "bytes of memory of this machine"},
    };
    for (const auto& c : cases) {
        if (c.expected == nullptr) {
            EXPECT_EQ(host::checked_volume_voxels("v.fmr", c.nx, c.ny, c.nz, c.nt, c.bytes), c.voxels);
            continue;
        }
        try {
            host::checked_volume_voxels("v.fmr", c.nx, c.ny, c.nz, c.nt, c.bytes);
            ADD_FAILURE() << "accepted " << c.nx << " x " << c.ny;
        } catch (const Error& e) {
            const std::string m = e.what();
            EXPECT_EQ(m.rfind("cannot open \"v.fmr\": ", 0), 0u) << m;
            EXPECT_NE(m.find(c.expected), std::string::npos) << m;
        }
    }
    EXPECT_GT(host::physical_memory_bytes(), 0u);
}

TEST(HostFileChecks, non_finite_values_become_zero_and_are_counted) {
    const float inf = std::numeric_limits<float>::infinity();
    float v[6] = {1.0f, std::nanf(""), -inf, inf, -0.0f, std::numeric_limits<float>::max()};
    EXPECT_EQ(host::zero_non_finite(v, 6), 3u);
    EXPECT_EQ(v[1], 0.0f);
    EXPECT_EQ(v[2], 0.0f);
    EXPECT_EQ(v[3], 0.0f);
    EXPECT_EQ(v[5], std::numeric_limits<float>::max());
    EXPECT_EQ(host::non_finite_note("a.stc", 3, 6), "\"a.stc\": 3 of 6 voxels were NaN or infinite and were set to 0");
}

}  // namespace
}  // namespace warpmender
