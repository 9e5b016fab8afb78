// Folding and pile-up counted on hand-made shift maps.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "correction/folding.h"

namespace warpmender {
namespace {

using correction::Folding;

// A profile along the code's axis, repeated over the other two axes (sizes 2 and 3).
struct Volume {
    long nx, ny, nz;
    std::vector<double> shift;
};

Volume along_axis(const std::vector<double>& profile, int code) {
    const int axis = (code - 1) / 2;
    const long n = static_cast<long>(profile.size());
    Volume v{axis == 0 ? n : 2, axis == 1 ? n : (axis == 0 ? 2 : 3), axis == 2 ? n : 3, {}};
    v.shift.resize(static_cast<size_t>(v.nx * v.ny * v.nz));
    for (long z = 0; z < v.nz; ++z)
        for (long y = 0; y < v.ny; ++y)
            for (long x = 0; x < v.nx; ++x) {
                const long c = axis == 0 ? x : axis == 1 ? y : z;
                v.shift[static_cast<size_t>(x + v.nx * (y + v.ny * z))] = profile[static_cast<size_t>(c)];
            }
    return v;
}

// The sampling position's slope p'(c) = 1 +- ds/dc, by central differences:
//   s = 0 0 0 -1 -2 -2 -2         (+ sense) p' = 1 1 .5 0 .5 1 1      -> one fold (p' = 0), 0.5 is no pile-up
//   s = 0 0 -1.2 -2.4 -2.4 -2.4 -2.4  p' = 1 .4 -.2 .4 1 1 1          -> one fold, two pile-ups
// the - sense turns every slope to 1 - ds/dc, so the negated profile gives the same.
struct Case {
    std::vector<double> profile;
    std::vector<std::uint8_t> expected;  // along the axis, for codes 1, 3, 5 (negated profile: 2, 4, 6)
};

const Case kCases[] = {
    {{0, 0, 0, -1, -2, -2, -2}, {0, 0, 0, 2, 0, 0, 0}},
    {{0, 0, -1.2, -2.4, -2.4, -2.4, -2.4}, {0, 1, 2, 1, 0, 0, 0}},
    {{0, 0.5, 1, 1.5, 2}, {0, 0, 0, 0, 0}},  // a stretch folds nothing
    {{0, -0.8, -1.6, -2.4}, {1, 1, 1, 1}},   // a uniform squeeze of 0.2 everywhere
};

TEST(CorrectionFolding, folds_and_pile_ups_are_found_along_every_axis_and_sense) {
    for (const Case& k : kCases)
        for (int code = 1; code <= 6; ++code) {
            std::vector<double> profile = k.profile;
            if (code % 2 == 0)
                for (double& s : profile) s = -s;
            const Volume v = along_axis(profile, code);
            const Folding f = correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, code);
            SCOPED_TRACE("code " + std::to_string(code) + ", profile of " + std::to_string(profile.size()));
            size_t folds = 0, piles = 0;
            for (std::uint8_t e : k.expected) {
                folds += e == correction::kFold;
                piles += e == correction::kPileUp;
            }
            const int axis = (code - 1) / 2;
            for (long z = 0; z < v.nz; ++z)
                for (long y = 0; y < v.ny; ++y)
                    for (long x = 0; x < v.nx; ++x) {
                        const long c = axis == 0 ? x : axis == 1 ? y : z;
                        ASSERT_EQ(f.mask[static_cast<size_t>(x + v.nx * (y + v.ny * z))], k.expected[c])
                            << "at " << x << "," << y << "," << z;
                    }
            EXPECT_EQ(f.brain_voxels, v.shift.size());
            EXPECT_EQ(f.folded, 6 * folds);
            EXPECT_EQ(f.piled_up, 6 * piles);
            EXPECT_DOUBLE_EQ(f.folded_percent, 100.0 * folds / profile.size());
            EXPECT_DOUBLE_EQ(f.piled_up_percent, 100.0 * piles / profile.size());
        }
}

TEST(CorrectionFolding, only_the_brain_is_counted_but_the_mask_covers_everything) {
    const Volume v = along_axis({0, 0, -1.2, -2.4, -2.4, -2.4, -2.4}, 1);  // 7 x 2 x 3
    std::vector<std::uint8_t> brain(v.shift.size(), 0);
    brain[2] = 1;          // the fold of row 0
    brain[7 + 1] = 1;      // a pile-up of row 1
    brain[7 * 2 + 5] = 1;  // nothing
    const Folding f = correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 1, brain.data());
    EXPECT_EQ(f.brain_voxels, 3u);
    EXPECT_EQ(f.folded, 1u);
    EXPECT_EQ(f.piled_up, 1u);
    EXPECT_DOUBLE_EQ(f.folded_percent, 100.0 / 3.0);
    EXPECT_EQ(f.mask[7 * 5 + 2], correction::kFold);  // outside the brain, still marked
}

TEST(CorrectionFolding, the_pile_up_factor_moves_the_bound) {
    // p' = 0.4 everywhere inside: a pile-up at factor 2 (bound 0.5), none at factor 3 (bound 1/3).
    const Volume v = along_axis({0, -0.6, -1.2, -1.8, -2.4}, 3);
    EXPECT_EQ(correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 3, nullptr, 2.0).piled_up, v.shift.size());
    EXPECT_EQ(correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 3, nullptr, 3.0).piled_up, 0u);
}

TEST(CorrectionFolding, empty_brain_gives_zero_percent_and_bad_arguments_are_refused) {
    const Volume v = along_axis({0, 0, 0, -1, -2, -2, -2}, 5);
    const std::vector<std::uint8_t> none(v.shift.size(), 0);
    const Folding f = correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 5, none.data());
    EXPECT_EQ(f.brain_voxels, 0u);
    EXPECT_EQ(f.folded_percent, 0.0);
    EXPECT_THROW(correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 7), std::invalid_argument);
    EXPECT_THROW(correction::find_folding(v.shift.data(), v.nx, v.ny, v.nz, 5, nullptr, 1.0), std::invalid_argument);
}

}  // namespace
}  // namespace warpmender
