// The phase-encoding sense check on the sim (every code) and on the vendors' real field maps, both senses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "correction/pe_check.h"
#include "correction_real_maps.h"
#include "sim/dipole_field.h"
#include "sim/epi.h"
#include "sim/phantom.h"

namespace warpmender {
namespace {

using correction::PeCheck;
using correction::PeVerdict;

struct Scene {
    sim::Grid grid;
    std::vector<float> magnitude, epi;  // the EPI undistorted
    std::vector<double> shift;          // voxels
};

// The sim's head on the small grid, its sinus field shimmed over the head, at
// the sim's EPI bandwidth.
const Scene& sim_scene() {
    static const Scene scene = [] {
        sim::PhantomParams pp;
        pp.grid = sim::small_grid();
        const sim::Phantom ph = sim::make_head_phantom(pp);
        Scene s;
        s.grid = ph.grid;
        s.magnitude = ph.magnitude;
        s.epi = ph.epi;
        const std::vector<double> field = sim::field_offset_hz(ph.grid, ph.chi_sinus_ppm, ph.head);
        s.shift = sim::shift_map_voxels(field, sim::EpiParams{}.bandwidth_pe_hz);
        return s;
    }();
    return scene;
}

std::vector<float> distort(const Scene& s, int code) {
    std::vector<float> out(s.grid.voxels());
    std::vector<double> scratch(s.grid.voxels());
    sim::distort_volume(s.grid, s.epi.data(), s.shift.data(), code, out.data(), scratch.data());
    return out;
}

PeCheck check(const Scene& s, const std::vector<float>& distorted, int code, bool gradient = false) {
    const auto& g = s.grid;
    return gradient ? correction::check_pe_sense_gradient(s.magnitude.data(), distorted.data(), s.shift.data(), g.nx,
                                                          g.ny, g.nz, code)
                    : correction::check_pe_sense(s.magnitude.data(), distorted.data(), s.shift.data(), g.nx, g.ny, g.nz,
                                                 code);
}

void print(const std::string& what, const PeCheck& c) {
    std::printf("%-34s code %d: given %.4f opposite %.4f uncorrected %.4f  -> %s\n", what.c_str(), c.code, c.given,
                c.opposite, c.uncorrected, correction::verdict_text(c.verdict));
}

TEST(CorrectionPeCheck, sim_right_sense_is_quiet_and_flipped_sense_is_caught_for_every_code) {
    const Scene& s = sim_scene();
    for (int code = 1; code <= 6; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        const std::vector<float> distorted = distort(s, code);
        const PeCheck right = check(s, distorted, code);
        const PeCheck flipped = check(s, distorted, correction::opposite_pe_code(code));
        print("sim, right sidecar", right);
        print("sim, flipped sidecar", flipped);
        EXPECT_EQ(right.verdict, PeVerdict::kGivenSenseRight);
        EXPECT_EQ(flipped.verdict, PeVerdict::kOppositeSenseBetter);
        // The same two corrections, seen from either sidecar.
        EXPECT_DOUBLE_EQ(right.given, flipped.opposite);
        EXPECT_DOUBLE_EQ(right.opposite, flipped.given);
        // The wrong correction is worse than leaving the EPI distorted; in plane the right one is
        // better than that (along z, 5 mm voxels, its interpolation blur costs as much as it gains).
        EXPECT_LT(right.opposite, right.uncorrected);
        if (code <= 4) {
            EXPECT_GT(right.given, right.uncorrected);
        }
        EXPECT_GE(right.given - right.opposite, 0.05);  // five times the margin
        const PeCheck ngf = check(s, distorted, code, true);
        print("sim, gradient measure", ngf);
        // Why NMI: the gradient measure separates the senses less on every code of the sim.
        EXPECT_LT(ngf.given - ngf.opposite, right.given - right.opposite);
        // With noise as in a single EPI volume (sigma 30 against tissue at 300..1350), the same verdicts.
        std::vector<float> noisy = distorted;
        sim::add_noise(noisy, 30.0, 17 + code);
        const PeCheck noisy_right = check(s, noisy, code);
        const PeCheck noisy_flipped = check(s, noisy, correction::opposite_pe_code(code));
        print("sim with noise, right sidecar", noisy_right);
        EXPECT_EQ(noisy_right.verdict, PeVerdict::kGivenSenseRight);
        EXPECT_EQ(noisy_flipped.verdict, PeVerdict::kOppositeSenseBetter);
    }
}

TEST(CorrectionPeCheck, sim_without_shift_is_undecided_and_a_faint_field_does_not_raise_an_alarm) {
    Scene s = sim_scene();
    const std::vector<double> full = s.shift;
    for (double scale : {0.0, 0.05, 0.1, 0.2}) {
        for (size_t i = 0; i < full.size(); ++i) s.shift[i] = full[i] * scale;
        double largest = 0.0;
        for (double v : s.shift) largest = std::max(largest, std::fabs(v));
        for (int code = 1; code <= 6; ++code) {
            SCOPED_TRACE("scale " + std::to_string(scale) + ", code " + std::to_string(code));
            const std::vector<float> distorted = distort(s, code);
            const PeCheck right = check(s, distorted, code);
            print("sim, field x " + std::to_string(scale).substr(0, 4) + " (max " +
                      std::to_string(largest).substr(0, 4) + " vox)",
                  right);
            // Never the alarm on the right sidecar, however faint the field.
            EXPECT_NE(right.verdict, PeVerdict::kOppositeSenseBetter);
            if (scale == 0.0) {
                EXPECT_EQ(right.given, right.opposite);
                EXPECT_EQ(right.verdict, PeVerdict::kUndecided);
            }
        }
    }
}

TEST(CorrectionPeCheck, nmi_of_hand_made_images) {
    // b = a relabelled (a function of a): each determines the other, NMI 2.
    // b independent of a over the mask (all four pairs equally often): NMI 1.
    const float a[] = {0, 0, 1, 1, 0, 0, 1, 1};
    const float same[] = {5, 5, 2, 2, 5, 5, 2, 2};
    const float indep[] = {0, 1, 0, 1, 0, 1, 0, 1};
    EXPECT_DOUBLE_EQ(correction::normalized_mutual_information(a, same, nullptr, 8, 2), 2.0);
    EXPECT_DOUBLE_EQ(correction::normalized_mutual_information(a, indep, nullptr, 8, 2), 1.0);
    // Voxels 0, 2, 5, 7 give the pairs 0-0, 1-0, 0-1, 1-1: independent again.
    const std::uint8_t mask[] = {1, 0, 1, 0, 0, 1, 0, 1};
    EXPECT_DOUBLE_EQ(correction::normalized_mutual_information(a, indep, mask, 8, 2), 1.0);
    const std::uint8_t follow[] = {1, 0, 0, 1, 1, 0, 0, 1};  // pairs 0-0, 1-1, 0-0, 1-1: one follows the other
    EXPECT_DOUBLE_EQ(correction::normalized_mutual_information(a, indep, follow, 8, 2), 2.0);
    EXPECT_THROW(correction::normalized_mutual_information(a, indep, nullptr, 8, 1), std::invalid_argument);
    const std::uint8_t one[] = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_THROW(correction::normalized_mutual_information(a, indep, one, 8, 2), std::invalid_argument);
    EXPECT_EQ(correction::opposite_pe_code(3), 4);
    EXPECT_EQ(correction::opposite_pe_code(6), 5);
    EXPECT_THROW(correction::opposite_pe_code(0), std::invalid_argument);
}

TEST(CorrectionPeCheck, head_mask_is_the_bright_part_grown_and_bad_codes_are_refused) {
    // 7 x 1 x 1: 99th percentile of the non-zero values 100 -> level 10; 5 is below, then grown by one.
    const float magnitude[] = {0, 0, 5, 100, 80, 0, 0};
    const std::vector<std::uint8_t> grown = correction::head_mask_from_magnitude(magnitude, 7, 1, 1, 1);
    EXPECT_EQ(grown, (std::vector<std::uint8_t>{0, 0, 1, 1, 1, 1, 0}));
    EXPECT_EQ(correction::head_mask_from_magnitude(magnitude, 7, 1, 1, 0),
              (std::vector<std::uint8_t>{0, 0, 0, 1, 1, 0, 0}));
    const float epi[] = {0, 1, 2, 3, 4, 5, 6};
    const double shift[] = {0, 0, 0, 0, 0, 0, 0};
    EXPECT_THROW(correction::check_pe_sense(magnitude, epi, shift, 7, 1, 1, 7), std::invalid_argument);
    EXPECT_THROW(correction::check_pe_sense(magnitude, epi, shift, 0, 1, 1, 1), std::invalid_argument);
}

// A real vendor map: the magnitude (a stand-in EPI is made from it) and the
// field in Hz, zeroed outside the head as the plug-in's mask would.
constexpr double kRealBandwidthHz = 25.0;

Scene real_scene(const std::string& field_name, const std::string& magnitude_name) {
    const test::RealMap field = test::read_real_map(field_name);
    const test::RealMap mag = test::read_real_map(magnitude_name);
    Scene s;
    const auto& a = field.grid.affine;
    auto length = [&](int c) { return std::sqrt(a[0][c] * a[0][c] + a[1][c] * a[1][c] + a[2][c] * a[2][c]); };
    s.grid = sim::Grid{field.grid.nx, field.grid.ny, field.grid.nz, length(0), length(1), length(2)};
    const size_t n = s.grid.voxels();
    s.magnitude.assign(mag.values.begin(), mag.values.end());
    const std::vector<std::uint8_t> head =
        correction::head_mask_from_magnitude(s.magnitude.data(), s.grid.nx, s.grid.ny, s.grid.nz, 0);
    // The stand-in EPI: another contrast (square root) and blurred in plane (1 2 1 / 4 along x and y).
    double top = 0.0;
    for (float v : s.magnitude) top = std::max(top, static_cast<double>(v));
    std::vector<float> e(n);
    for (size_t i = 0; i < n; ++i) e[i] = static_cast<float>(1000.0 * std::sqrt(std::max(0.0f, s.magnitude[i]) / top));
    s.epi = e;
    const int nx = s.grid.nx, ny = s.grid.ny;
    for (size_t i = 0; i < n; ++i) {
        const int x = static_cast<int>(i % nx), y = static_cast<int>(i / nx % ny);
        const size_t l = x > 0 ? i - 1 : i, r = x < nx - 1 ? i + 1 : i;
        const size_t u = y > 0 ? i - nx : i, d = y < ny - 1 ? i + nx : i;
        s.epi[i] = (4 * e[i] + e[l] + e[r] + e[u] + e[d]) / 8;
    }
    s.shift.resize(n);
    for (size_t i = 0; i < n; ++i) s.shift[i] = head[i] ? field.values[i] / kRealBandwidthHz : 0.0;
    return s;
}

TEST(CorrectionPeCheck, real_maps_distorted_with_their_own_field_in_both_senses_along_both_in_plane_axes) {
    const struct {
        const char *field, *magnitude;
    } kMaps[] = {{"ge_fieldmap.nii.gz", "ge_magnitude.nii.gz"},
                 {"philips_fieldmap.nii.gz", "philips_magnitude.nii.gz"}};
    for (const auto& m : kMaps) {
        const Scene s = real_scene(m.field, m.magnitude);
        for (int code = 1; code <= 4; ++code) {
            SCOPED_TRACE(std::string(m.field) + ", code " + std::to_string(code));
            const std::vector<float> distorted = distort(s, code);
            const PeCheck right = check(s, distorted, code);
            const PeCheck flipped = check(s, distorted, correction::opposite_pe_code(code));
            print(std::string(m.field) + " right", right);
            print(std::string(m.field) + " flipped", flipped);
            const PeCheck ngf = check(s, distorted, code, true);
            print(std::string(m.field) + " gradient", ngf);
            EXPECT_EQ(ngf.verdict, PeVerdict::kGivenSenseRight);  // on the real maps it works too
            EXPECT_EQ(right.verdict, PeVerdict::kGivenSenseRight);
            EXPECT_EQ(flipped.verdict, PeVerdict::kOppositeSenseBetter);
            EXPECT_LT(right.opposite, right.uncorrected);
        }
    }
}

}  // namespace
}  // namespace warpmender
