// Size checks made before any allocation, and the replacement of non-finite values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

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

// Every bit pattern class, at every position of a long run (the vectorised
// loop and its tail): finite values keep their bits, the others become +0.
TEST(HostFileChecks, zeroing_keeps_every_finite_bit_pattern_and_zeroes_every_other_anywhere_in_a_run) {
    const float inf = std::numeric_limits<float>::infinity();
    const uint32_t patterns[] = {0x00000000u, 0x80000000u, 0x00000001u, 0x807fffffu, 0x3f800000u, 0x7f7fffffu,
                                 0xff7fffffu, 0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00000u, 0x7f800001u,
                                 0xffffffffu, 0x7fbfffffu};
    for (const uint32_t p : patterns) {
        float x;
        std::memcpy(&x, &p, sizeof x);
        const bool finite = std::isfinite(x);
        for (const size_t n : {size_t{1}, size_t{7}, size_t{64}, size_t{67}}) {
            for (size_t at = 0; at < n; at += (n > 8 ? 5 : 1)) {
                std::vector<float> v(n, 2.5f);
                v[at] = x;
                EXPECT_EQ(host::zero_non_finite(v.data(), n), finite ? 0u : 1u) << std::hex << p << " " << n;
                uint32_t back;
                std::memcpy(&back, &v[at], sizeof back);
                EXPECT_EQ(back, finite ? p : 0u) << std::hex << p << " " << n << " " << at;
                for (size_t i = 0; i < n; ++i) {
                    if (i != at) {
                        EXPECT_EQ(v[i], 2.5f);
                    }
                }
            }
        }
    }
    // Across the pieces the values are looked through in (4096 at a time):
    // the first and last of a piece, and a piece with none between two with some.
    std::vector<float> pieces(3 * 4096 + 5, 2.5f);
    for (size_t at : {size_t{4095}, size_t{4096}, size_t{3 * 4096 + 4}}) pieces[at] = std::nanf("");
    EXPECT_EQ(host::zero_non_finite(pieces.data(), pieces.size()), 3u);
    for (size_t i = 0; i < pieces.size(); ++i)
        EXPECT_EQ(pieces[i], i == 4095 || i == 4096 || i == 3 * 4096 + 4 ? 0.0f : 2.5f) << i;
    std::vector<float> all(1000, inf);
    EXPECT_EQ(host::zero_non_finite(all.data(), all.size()), 1000u);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](float y) { return y == 0.0f && !std::signbit(y); }));
}

}  // namespace
}  // namespace warpmender
