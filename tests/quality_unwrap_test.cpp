// Quality-guided unwrapping: hand-made fields, regions, unusable voxels, the phantom through noise, real Siemens data,
// the fast paths against their plain twin.
#include "fieldmap/quality_unwrap.h"

#include <gtest/gtest.h>
#include <nifti1_io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli/phantom_files.h"
#include "fieldmap/multigrid_unwrap.h"
#include "fieldmap/quality_unwrap_plain.h"
#include "hostlink/host_binding.h"
#include "plugin/steps/multigrid_unwrap.h"
#include "sim/dataset.h"
#include "sim/fieldmap_scan.h"
#include "tests/test_support.h"
#include "tests/unwrap_fields.h"

namespace warpmender {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// Largest distance of (unwrapped - phase) / (2 pi) from a whole number over
// the finite inputs; a non-finite input must come back bit for bit.
double congruence_error(const std::vector<double>& phase, const std::vector<double>& unwrapped) {
    double worst = 0.0;
    for (size_t i = 0; i < phase.size(); ++i) {
        if (!std::isfinite(phase[i])) {
            if (!(std::isnan(phase[i]) ? std::isnan(unwrapped[i]) : unwrapped[i] == phase[i])) return 1.0;
            continue;
        }
        const double turns = (unwrapped[i] - phase[i]) / kTwoPi;
        worst = std::max(worst, std::fabs(turns - std::nearbyint(turns)));
    }
    return worst;
}

struct Unwrapped {
    std::vector<double> values;
    QualityUnwrapInfo info;
};

// Runs the method and checks congruence, as every test here does.
template <class M>
Unwrapped unwrap(const std::vector<double>& phase, const M* magnitude, int nx, int ny, int nz) {
    const int dims[3] = {nx, ny, nz};
    Unwrapped u;
    u.values.assign(phase.size(), -999.0);
    EXPECT_TRUE(quality_unwrap(phase.data(), magnitude, dims, u.values.data(), &u.info));
    EXPECT_LT(congruence_error(phase, u.values), 1e-9);
    return u;
}
Unwrapped unwrap(const std::vector<double>& phase, int nx, int ny, int nz) {
    return unwrap(phase, static_cast<const float*>(nullptr), nx, ny, nz);
}

std::vector<double> wrapped(const std::vector<double>& truth) {
    std::vector<double> w(truth.size());
    for (size_t i = 0; i < truth.size(); ++i) w[i] = test::wrap_radians(truth[i]);
    return w;
}

// Largest |(a - b) - c| over the mask, c the mask's first voxel's difference:
// 0 when a and b differ by one constant there.
double spread(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& mask) {
    double first = 0.0, worst = 0.0;
    bool have = false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(mask[i] > 0)) continue;
        if (!have) first = a[i] - b[i], have = true;
        worst = std::max(worst, std::fabs(a[i] - b[i] - first));
    }
    return worst;
}

// --- hand-made fields ---------------------------------------------------------------------

struct Field {
    const char* what;
    int nx, ny, nz;
    double (*value)(int x, int y, int z);
};

const Field kFields[] = {
    // 1.3 rad per voxel: past pi every three voxels, 40 voxels = 8 turns.
    {"1D ramp", 40, 1, 1, [](int x, int, int) { return 1.3 * x - 20.0; }},
    {"ramp along y only", 1, 33, 1, [](int, int y, int) { return -2.9 * y; }},
    {"ramp along z only", 1, 1, 29, [](int, int, int z) { return 3.0 * z + 0.2; }},
    // Steepest step at the corners: 0.05 * (2 * 20 + 1) = 2.05 rad.
    {"2D wrapped quadratic", 41, 37, 1,
     [](int x, int y, int) { return 0.05 * ((x - 20.0) * (x - 20.0) + (y - 18.0) * (y - 18.0)); }},
    {"3D quadratic and ramp", 23, 17, 11,
     [](int x, int y, int z) {
         return 0.04 * ((x - 11.0) * (x - 11.0) + (y - 8.0) * (y - 8.0)) - 0.09 * (z - 5.0) * (z - 5.0) + 1.1 * x -
                0.7 * z;
     }},
    {"constant", 7, 5, 3, [](int, int, int) { return 1.25; }},
};

std::vector<double> sample(const Field& f) {
    std::vector<double> v(static_cast<size_t>(f.nx) * f.ny * f.nz);
    for (int z = 0; z < f.nz; ++z)
        for (int y = 0; y < f.ny; ++y)
            for (int x = 0; x < f.nx; ++x) v[x + f.nx * (y + static_cast<size_t>(f.ny) * z)] = f.value(x, y, z);
    return v;
}

TEST(QualityUnwrap, smooth_fields_come_back_up_to_whole_turns_with_their_mean_in_minus_pi_pi) {
    for (const Field& f : kFields) {
        const std::vector<double> truth = sample(f);
        const std::vector<double> w = wrapped(truth);
        const Unwrapped u = unwrap(w, f.nx, f.ny, f.nz);
        const std::vector<double> all(truth.size(), 1.0);
        // out = w + 2 pi k and w = truth + 2 pi m: only roundings of a few
        // tens of radians remain.
        EXPECT_LT(spread(u.values, truth, all), 1e-12) << f.what;
        const double offset = (u.values[0] - truth[0]) / kTwoPi;
        EXPECT_NEAR(offset, std::nearbyint(offset), 1e-12) << f.what;
        double mean = 0.0;
        for (double v : u.values) mean += v;
        mean /= static_cast<double>(u.values.size());
        EXPECT_LE(std::fabs(mean), kPi + 1e-12) << f.what;
        EXPECT_EQ(u.info.regions, 1) << f.what;
        EXPECT_EQ(u.info.largest, static_cast<long>(truth.size())) << f.what;
    }
}

TEST(QualityUnwrap, a_constant_within_minus_pi_pi_is_left_exactly_as_it_is) {
    const std::vector<double> phase(7 * 5 * 3, 1.25);
    EXPECT_EQ(unwrap(phase, 7, 5, 3).values, phase);
}

// A sphere of smooth field (several turns) in noise phase of uniform -pi..pi.
struct SphereInNoise {
    int nx = 40, ny = 36, nz = 30;
    std::vector<double> truth, phase, inside;
    std::vector<float> magnitude;
    SphereInNoise() {
        const size_t n = static_cast<size_t>(nx) * ny * nz;
        truth.resize(n), phase.resize(n), inside.resize(n), magnitude.resize(n);
        const std::vector<double> noise = test::random_values(static_cast<long>(n), -kPi, kPi, 77);
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const size_t i = x + nx * (y + static_cast<size_t>(ny) * z);
                    const double dx = x - 20.0, dy = y - 17.0, dz = z - 15.0;
                    truth[i] = 0.9 * dx - 0.6 * dz + 0.02 * (dy * dy - dz * dz);
                    inside[i] = dx * dx + dy * dy + dz * dz <= 12.5 * 12.5 ? 1.0 : 0.0;
                    phase[i] = inside[i] > 0 ? test::wrap_radians(truth[i]) : noise[i];
                    magnitude[i] = inside[i] > 0 ? 2500.0f : 0.0f;
                }
    }
};

TEST(QualityUnwrap, a_field_in_noise_phase_comes_back_without_a_magnitude) {
    const SphereInNoise s;
    const Unwrapped u = unwrap(s.phase, s.nx, s.ny, s.nz);
    EXPECT_LT(spread(u.values, s.truth, s.inside), 1e-12);
}

TEST(QualityUnwrap, a_field_in_noise_phase_comes_back_with_a_magnitude_of_zero_outside) {
    const SphereInNoise s;
    const Unwrapped u = unwrap(s.phase, s.magnitude.data(), s.nx, s.ny, s.nz);
    EXPECT_LT(spread(u.values, s.truth, s.inside), 1e-12);
    EXPECT_EQ(u.info.regions, 1);  // the noise is attached to the sphere, not grown on its own
    long inside = 0;
    for (double v : s.inside) inside += v > 0;
    EXPECT_GE(u.info.largest, inside);  // and the odd noise voxel that looks smooth beside it
    EXPECT_LT(u.info.largest, inside + static_cast<long>(s.phase.size()) / 20);
    // Without signal: the noise, but for the few voxels whose noise looks smooth by chance.
    const long outside = static_cast<long>(s.phase.size()) - inside;
    EXPECT_LE(u.info.no_signal, outside);
    EXPECT_GT(u.info.no_signal, outside * 95 / 100);
}

TEST(QualityUnwrap, the_same_phase_given_in_other_turns_comes_back_the_same) {
    // Whole turns added at random voxels (inputs beyond -pi..pi): only wrapped
    // differences may matter. Roundings of the shifted inputs may move an edge
    // across a level in the noise, so the sphere is compared, to rounding.
    const SphereInNoise s;
    const std::vector<double> want = unwrap(s.phase, s.magnitude.data(), s.nx, s.ny, s.nz).values;
    const std::vector<double> r = test::random_values(static_cast<long>(s.phase.size()), -3.49, 3.49, 8);
    std::vector<double> turned(s.phase.size());
    for (size_t i = 0; i < turned.size(); ++i) turned[i] = s.phase[i] + kTwoPi * std::nearbyint(r[i]);
    const std::vector<double> got = unwrap(turned, s.magnitude.data(), s.nx, s.ny, s.nz).values;
    EXPECT_LT(spread(got, want, s.inside), 1e-12);
    const size_t centre = 20 + s.nx * (17 + static_cast<size_t>(s.ny) * 15);
    ASSERT_GT(s.inside[centre], 0.0);
    EXPECT_NEAR(got[centre], want[centre], 1e-12);  // the same anchor
}

TEST(QualityUnwrap, magnitude_scale_float_or_double_give_the_same_bits) {
    // Powers of two scale exactly, so the qualities, and the result, are the same.
    const SphereInNoise s;
    const std::vector<double> want = unwrap(s.phase, s.magnitude.data(), s.nx, s.ny, s.nz).values;
    for (double factor : {1.0, 1048576.0, 1.0 / 1024.0}) {
        std::vector<float> f(s.magnitude.size());
        std::vector<double> d(s.magnitude.size());
        for (size_t i = 0; i < f.size(); ++i) {
            f[i] = static_cast<float>(s.magnitude[i] * factor);
            d[i] = s.magnitude[i] * factor;
        }
        EXPECT_EQ(test::first_bit_difference(unwrap(s.phase, f.data(), s.nx, s.ny, s.nz).values, want), -1) << factor;
        EXPECT_EQ(test::first_bit_difference(unwrap(s.phase, d.data(), s.nx, s.ny, s.nz).values, want), -1) << factor;
    }
}

TEST(QualityUnwrap, runs_are_identical_and_the_output_may_be_the_input) {
    const SphereInNoise s;
    const std::vector<double> first = unwrap(s.phase, s.nx, s.ny, s.nz).values;
    EXPECT_EQ(test::first_bit_difference(unwrap(s.phase, s.nx, s.ny, s.nz).values, first), -1);
    std::vector<double> in_place = s.phase;
    const int dims[3] = {s.nx, s.ny, s.nz};
    ASSERT_TRUE(quality_unwrap(in_place.data(), dims, in_place.data()));
    EXPECT_EQ(test::first_bit_difference(in_place, first), -1);
}

TEST(QualityUnwrap, two_blobs_each_unwrapped_the_smaller_placed_by_whole_turns_nearest_the_larger) {
    // Two balls of signal in a background of zero magnitude and noise phase;
    // the smaller one's field sits about 3 turns above the larger one's.
    const int nx = 48, ny = 24, nz = 20;
    const size_t n = static_cast<size_t>(nx) * ny * nz;
    std::vector<double> truth(n), phase(n), big(n), small(n);
    std::vector<double> magnitude(n, 0.0);
    const std::vector<double> noise = test::random_values(static_cast<long>(n), -kPi, kPi, 5);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const size_t i = x + nx * (y + static_cast<size_t>(ny) * z);
                const double ax = x - 13.0, bx = x - 36.0, dy = y - 11.5, dz = z - 9.5;
                big[i] = ax * ax + dy * dy + dz * dz <= 81.0 ? 1.0 : 0.0;
                small[i] = bx * bx + dy * dy + dz * dz <= 36.0 ? 1.0 : 0.0;
                truth[i] = big[i] > 0 ? 1.2 * ax + 0.8 * dz + 10.0 : 1.1 * dy - 0.9 * dz + 30.0;
                const bool signal = big[i] > 0 || small[i] > 0;
                phase[i] = signal ? test::wrap_radians(truth[i]) : noise[i];
                magnitude[i] = signal ? 1000.0 + x : 0.0;
            }
    const Unwrapped u = unwrap(phase, magnitude.data(), nx, ny, nz);
    EXPECT_LT(spread(u.values, truth, big), 1e-12);
    EXPECT_LT(spread(u.values, truth, small), 1e-12);
    EXPECT_EQ(u.info.regions, 2);
    double mean_big = 0.0, mean_small = 0.0, count_big = 0.0, count_small = 0.0;
    for (size_t i = 0; i < n; ++i) {
        if (big[i] > 0) mean_big += u.values[i], count_big += 1;
        if (small[i] > 0) mean_small += u.values[i], count_small += 1;
    }
    mean_big /= count_big, mean_small /= count_small;
    EXPECT_GE(u.info.largest, static_cast<long>(count_big));
    EXPECT_LT(u.info.largest, static_cast<long>(count_big) + static_cast<long>(n) / 20);
    EXPECT_LE(std::fabs(mean_big), kPi + 1e-12);               // the anchor: its mean in [-pi, pi]
    EXPECT_LE(std::fabs(mean_small - mean_big), kPi + 1e-12);  // the other: the nearest whole turn
    // Against the truth, whose means differ by about 3 turns, the small one moved.
    double truth_big = 0.0, truth_small = 0.0;
    for (size_t i = 0; i < n; ++i) truth_big += big[i] * truth[i], truth_small += small[i] * truth[i];
    EXPECT_GT((truth_small / count_small - truth_big / count_big) / kTwoPi, 2.5);
}

TEST(QualityUnwrap, non_finite_voxels_stay_as_they_are_and_split_the_grid_into_regions) {
    // A plane of NaN and Inf at x = 10 cuts a ramp in two.
    const int nx = 21, ny = 6, nz = 4;
    std::vector<double> truth(static_cast<size_t>(nx) * ny * nz);
    std::vector<double> left(truth.size()), right(truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        const int x = static_cast<int>(i % nx);
        truth[i] = 1.9 * x + 0.3 * static_cast<double>(i / nx);
        left[i] = x < 10;
        right[i] = x > 10;
    }
    std::vector<double> phase = wrapped(truth);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), 1e300};
    for (size_t i = 0, s = 0; i < phase.size(); ++i)
        if (static_cast<int>(i % nx) == 10) phase[i] = specials[s++ % 4];
    const Unwrapped u = unwrap(phase, nx, ny, nz);  // congruence checks the specials came back unchanged
    EXPECT_LT(spread(u.values, truth, left), 1e-12);
    EXPECT_LT(spread(u.values, truth, right), 1e-12);
    EXPECT_EQ(u.info.regions, 2);
    EXPECT_EQ(u.info.unusable, ny * nz);
    for (size_t i = 0; i < phase.size(); ++i)
        if (static_cast<int>(i % nx) == 10 && !std::isnan(phase[i])) {
            EXPECT_EQ(u.values[i], phase[i]);
        }
}

TEST(QualityUnwrap, a_nan_magnitude_or_one_of_zero_everywhere_falls_back_to_the_phase) {
    // Every 7th voxel NaN on a 41-wide grid: diagonal lines that would cut the
    // magnitude's voxels into strips if a smooth phase did not join them.
    const Field& f = kFields[3];
    const std::vector<double> truth = sample(f);
    const std::vector<double> w = wrapped(truth);
    const std::vector<double> all(truth.size(), 1.0);
    const std::vector<float> zero(truth.size(), 0.0f);
    const Unwrapped u = unwrap(w, zero.data(), f.nx, f.ny, f.nz);
    EXPECT_LT(spread(u.values, truth, all), 1e-12);
    EXPECT_EQ(u.info.no_signal, 0);  // a smooth phase counts as signal
    std::vector<float> holes(truth.size(), 100.0f);
    for (size_t i = 0; i < holes.size(); i += 7) holes[i] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_LT(spread(unwrap(w, holes.data(), f.nx, f.ny, f.nz).values, truth, all), 1e-12);
}

TEST(QualityUnwrap, refuses_bad_arguments_and_leaves_the_output_alone) {
    const std::vector<double> phase(8, 0.5);
    std::vector<double> out(8, 7.0);
    const int good[3] = {2, 2, 2}, zero[3] = {2, 0, 2}, negative[3] = {-1, 2, 2}, huge[3] = {65536, 65536, 1};
    EXPECT_FALSE(quality_unwrap(nullptr, good, out.data()));
    EXPECT_FALSE(quality_unwrap(phase.data(), nullptr, out.data()));
    EXPECT_FALSE(quality_unwrap(phase.data(), good, nullptr));
    EXPECT_FALSE(quality_unwrap(phase.data(), zero, out.data()));
    EXPECT_FALSE(quality_unwrap(phase.data(), negative, out.data()));
    EXPECT_FALSE(quality_unwrap(phase.data(), huge, out.data()));
    EXPECT_EQ(out, std::vector<double>(8, 7.0));
    const int one[3] = {1, 1, 1};
    ASSERT_TRUE(quality_unwrap(phase.data(), one, out.data()));
    EXPECT_EQ(out[0], 0.5);
}

// --- the demo phantom: clean and noisy background ---------------------------------------

// RMS over the head of the shift (voxels) from an unwrapped phase against the
// true shift, the mean difference removed.
double shift_error(const sim::Dataset& ds, const std::vector<double>& unwrapped) {
    const double dte = ds.echo_time_diff_ms * 1e-3;
    double sum = 0.0, count = 0.0;
    std::vector<double> diff(unwrapped.size());
    for (size_t i = 0; i < unwrapped.size(); ++i) {
        diff[i] = unwrapped[i] / (kTwoPi * dte) / ds.bandwidth_pe_hz - ds.shift[i];
        if (ds.head[i]) sum += diff[i], count += 1;
    }
    const double mean = sum / count;
    double sq = 0.0;
    for (size_t i = 0; i < unwrapped.size(); ++i)
        if (ds.head[i]) sq += (diff[i] - mean) * (diff[i] - mean);
    return std::sqrt(sq / count);
}

std::vector<double> radians_of(const sim::Dataset& ds) {
    std::vector<double> r(ds.phase.size());
    for (size_t i = 0; i < r.size(); ++i) r[i] = sim::stored_to_radians(ds.phase[i]);
    return r;
}

// The plug-in's multigrid unwrapping as `correct` runs it (3 cycles of 5, no mask).
std::vector<double> multigrid(const std::vector<double>& phase, int nx, int ny, int nz) {
    test::fresh_host();
    InitHSAccess();
    datahandler<double> p(new double[phase.size()], nx, ny, nz, 1, 8);
    std::copy(phase.begin(), phase.end(), p.getdata());
    p.setstatus(STATUS_VALID);
    std::unique_ptr<datahandler<double>> u(fullmultigridsolving(&p, nullptr, false, 3, 5));
    EXPECT_EQ(u->getstatus(), STATUS_VALID);
    return std::vector<double>(u->getdata(), u->getdata() + phase.size());
}

class QualityUnwrapPhantom : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim::DatasetParams p = host::demo_dataset_params(false);
        clean_ = new sim::Dataset(sim::make_dataset(p));
        p.scan.noisy_phase_in_air = true;
        noisy_ = new sim::Dataset(sim::make_dataset(p));
    }
    static void TearDownTestSuite() {
        delete clean_;
        delete noisy_;
    }
    static sim::Dataset* clean_;
    static sim::Dataset* noisy_;
};
sim::Dataset* QualityUnwrapPhantom::clean_ = nullptr;
sim::Dataset* QualityUnwrapPhantom::noisy_ = nullptr;

TEST_F(QualityUnwrapPhantom, shift_error_in_the_head_holds_through_random_background_phase) {
    const sim::Grid& g = clean_->grid;
    const std::vector<double> clean = radians_of(*clean_), noisy = radians_of(*noisy_);
    // A real scanner's background also has noise magnitude: Rayleigh, about
    // 1 % of the brightest tissue.
    std::vector<float> noisy_magnitude = noisy_->magnitude;
    sim::Random rng(11);
    for (float& m : noisy_magnitude)
        if (m == 0.0f) m = static_cast<float>(std::hypot(35.0 * rng.normal(), 35.0 * rng.normal()));

    const double ours_clean = shift_error(*clean_, unwrap(clean, clean_->magnitude.data(), g.nx, g.ny, g.nz).values);
    const double ours_noisy = shift_error(*noisy_, unwrap(noisy, noisy_->magnitude.data(), g.nx, g.ny, g.nz).values);
    const double ours_noisy_rayleigh =
        shift_error(*noisy_, unwrap(noisy, noisy_magnitude.data(), g.nx, g.ny, g.nz).values);
    const double phase_only_clean = shift_error(*clean_, unwrap(clean, g.nx, g.ny, g.nz).values);
    const double phase_only_noisy = shift_error(*noisy_, unwrap(noisy, g.nx, g.ny, g.nz).values);
    const double multigrid_clean = shift_error(*clean_, multigrid(clean, g.nx, g.ny, g.nz));
    const double multigrid_noisy = shift_error(*noisy_, multigrid(noisy, g.nx, g.ny, g.nz));
    std::printf("RMS shift error in the head (voxels), clean / noisy background:\n"
                "  quality-guided, magnitude 0 outside  %.4f / %.4f\n"
                "  quality-guided, Rayleigh magnitude   %.4f / %.4f\n"
                "  quality-guided, no magnitude         %.4f / %.4f\n"
                "  multigrid (3 cycles of 5)            %.4f / %.4f\n",
                ours_clean, ours_noisy, ours_clean, ours_noisy_rayleigh, phase_only_clean, phase_only_noisy,
                multigrid_clean, multigrid_noisy);
    EXPECT_LE(ours_noisy, 1.1 * ours_clean);
    EXPECT_LE(ours_noisy_rayleigh, 1.1 * ours_clean);
    EXPECT_LE(phase_only_noisy, 1.1 * phase_only_clean);
    // And far better than the least-squares solution through the same noise.
    EXPECT_LT(ours_noisy, 0.5 * multigrid_noisy);
}

// --- real data: Siemens phase difference ---------------------------------------------------

struct NiftiFree {
    void operator()(nifti_image* p) const { nifti_image_free(p); }
};
using Nifti = std::unique_ptr<nifti_image, NiftiFree>;

// The image's voxels as doubles, scaled by scl_slope/scl_inter when set.
std::vector<double> voxels_of(const std::string& name, int* dims) {
    const std::string path = std::string(WARPMENDER_SOURCE_DIR) + "/tests/data/fieldmaps/" + name;
    Nifti nim(nifti_image_read(path.c_str(), 1));
    EXPECT_TRUE(nim) << path;
    if (!nim) return {};
    for (int a = 0; a < 3; ++a) dims[a] = static_cast<int>(nim->dim[a + 1]);
    std::vector<double> v(nim->nvox);
    for (size_t i = 0; i < nim->nvox; ++i) {
        double x = 0.0;
        if (nim->datatype == DT_INT16)
            x = static_cast<const short*>(nim->data)[i];
        else if (nim->datatype == DT_INT8)
            x = static_cast<const signed char*>(nim->data)[i];
        else
            ADD_FAILURE() << name << ": unexpected datatype " << nim->datatype;
        v[i] = nim->scl_slope != 0.0f ? x * nim->scl_slope + nim->scl_inter : x;
    }
    return v;
}

// Least-squares slope of y on x over the mask.
double slope(const std::vector<double>& y, const std::vector<double>& x, const std::vector<std::uint8_t>& mask) {
    double mx = 0.0, my = 0.0, n = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
        if (mask[i]) mx += x[i], my += y[i], n += 1;
    mx /= n, my /= n;
    double sxy = 0.0, sxx = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
        if (mask[i]) sxy += (x[i] - mx) * (y[i] - my), sxx += (x[i] - mx) * (x[i] - mx);
    return sxy / sxx;
}

TEST(QualityUnwrapSiemens, congruent_and_agrees_with_the_careful_reference_inside_the_brain) {
    int dims[3], mdims[3], rdims[3];
    const std::vector<double> stored = voxels_of("siemens_phasediff.nii.gz", dims);
    const std::vector<double> magnitude = voxels_of("siemens_magnitude1.nii.gz", mdims);
    const std::vector<double> turns = voxels_of("siemens_phasediff_reference_turns.nii.gz", rdims);
    ASSERT_EQ(stored.size(), 64u * 64 * 36);
    ASSERT_EQ(magnitude.size(), stored.size());
    ASSERT_EQ(turns.size(), stored.size());
    const size_t n = stored.size();
    std::vector<double> phase(n);
    for (size_t i = 0; i < n; ++i) phase[i] = stored[i] * (kPi / 4096.0);  // -4096..4094 = -pi..pi

    // Brain: magnitude above a fifth of its 99th percentile, eroded twice (6-neighbourhood).
    std::vector<double> positive;
    for (double m : magnitude)
        if (m > 0) positive.push_back(m);
    std::sort(positive.begin(), positive.end());
    const double threshold = 0.2 * positive[static_cast<size_t>(0.99 * (positive.size() - 1))];
    std::vector<std::uint8_t> brain(n);
    for (size_t i = 0; i < n; ++i) brain[i] = magnitude[i] > threshold;
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::uint8_t> eroded(n, 0);
        for (int z = 1; z < nz - 1; ++z)
            for (int y = 1; y < ny - 1; ++y)
                for (int x = 1; x < nx - 1; ++x) {
                    const size_t i = x + nx * (y + static_cast<size_t>(ny) * z);
                    eroded[i] = brain[i] && brain[i - 1] && brain[i + 1] && brain[i - nx] && brain[i + nx] &&
                                brain[i - nx * ny] && brain[i + nx * ny];
                }
        brain.swap(eroded);
    }
    long in_brain = 0;
    for (size_t i = 0; i < n; ++i) in_brain += brain[i];
    ASSERT_GT(in_brain, 30000);  // most of a 64 x 64 x 36 head

    std::vector<double> reference(n);
    for (size_t i = 0; i < n; ++i) {
        if (brain[i]) {
            ASSERT_NE(turns[i], -128.0) << "brain voxel " << i << " outside the reference's head";
        }
        reference[i] = phase[i] + kTwoPi * turns[i];
    }
    const double with_magnitude = slope(unwrap(phase, magnitude.data(), nx, ny, nz).values, reference, brain);
    const double phase_only = slope(unwrap(phase, nx, ny, nz).values, reference, brain);
    const double least_squares = slope(multigrid(phase, nx, ny, nz), reference, brain);
    std::printf("slope against skimage inside the brain (%ld voxels): quality-guided %.4f (no magnitude %.4f), "
                "multigrid %.4f\n",
                in_brain, with_magnitude, phase_only, least_squares);
    EXPECT_GE(with_magnitude, 0.97);
    EXPECT_GE(phase_only, 0.97);
    EXPECT_LE(with_magnitude, 1.03);
}

// --- the fast paths against their plain twin --------------------------------------------

static_assert(sizeof(QualityUnwrapInfo) == 4 * sizeof(std::int64_t), "counts compared as bytes: no padding");

// quality_unwrap and its plain twin on one input: values and counts must
// agree bit for bit (a null magnitude runs the phase-only entry).
template <class M>
void expect_plain_twin(const std::vector<double>& phase, const M* magnitude, int nx, int ny, int nz,
                       const std::string& what) {
    const int dims[3] = {nx, ny, nz};
    std::vector<double> fast(phase.size(), -999.0), plain(phase.size(), -999.0);
    QualityUnwrapInfo fast_info, plain_info;
    const bool ok = magnitude == nullptr ? quality_unwrap(phase.data(), dims, fast.data(), &fast_info)
                                         : quality_unwrap(phase.data(), magnitude, dims, fast.data(), &fast_info);
    ASSERT_TRUE(ok) << what;
    ASSERT_TRUE(detail::quality_unwrap_plain(phase.data(), magnitude, dims, plain.data(), &plain_info)) << what;
    EXPECT_EQ(std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(double)), 0)
        << what << ": first difference at voxel " << test::first_bit_difference(fast, plain);
    EXPECT_EQ(std::memcmp(&fast_info, &plain_info, sizeof fast_info), 0)
        << what << ": regions " << fast_info.regions << " / " << plain_info.regions << ", largest " << fast_info.largest
        << " / " << plain_info.largest << ", unusable " << fast_info.unusable << " / " << plain_info.unusable
        << ", without signal " << fast_info.no_signal << " / " << plain_info.no_signal;
}

// Without a magnitude, with it as float and as double.
void expect_plain_twin_with_each_magnitude(const std::vector<double>& phase, const std::vector<double>& magnitude,
                                           int nx, int ny, int nz, const std::string& what) {
    expect_plain_twin(phase, static_cast<const float*>(nullptr), nx, ny, nz, what + ", no magnitude");
    const std::vector<float> single(magnitude.begin(), magnitude.end());
    expect_plain_twin(phase, single.data(), nx, ny, nz, what + ", float magnitude");
    expect_plain_twin(phase, magnitude.data(), nx, ny, nz, what + ", double magnitude");
}

struct TwinField {
    const char* what;
    int nx, ny, nz;
    double (*truth)(int x, int y, int z);
    double noise;        // standard deviation of Gaussian phase noise (rad)
    bool wrapped;        // false: the truth goes in as it is, many turns from -pi..pi
    bool noise_outside;  // uniform -pi..pi phase outside the magnitude's ellipsoid
    int nan_every;       // every so many voxels NaN (0: none)
};

double quadratic_and_ramp(int x, int y, int z) { return kFields[4].value(x, y, z); }
double steep(int x, int y, int z) { return 2.7 * x - 2.3 * y + 1.9 * z; }  // near pi per step: noise makes residues
double smooth(int x, int y, int z) { return test::SmoothField{31, 27, 19}.value(x, y, z); }
double large(int x, int y, int z) { return 40.0 * test::SmoothField{25, 21, 15}.value(x, y, z) / 3.0; }

const TwinField kTwinFields[] = {
    {"23x17x11 quadratic and ramp", 23, 17, 11, quadratic_and_ramp, 0.0, true, false, 0},
    {"23x17x11 quadratic and ramp, noisy", 23, 17, 11, quadratic_and_ramp, 0.4, true, false, 0},
    {"2 wide along x", 2, 17, 11, quadratic_and_ramp, 0.3, true, false, 0},
    {"2 wide along y", 23, 2, 11, quadratic_and_ramp, 0.3, true, false, 0},
    {"2 wide along z", 23, 17, 2, quadratic_and_ramp, 0.3, true, false, 0},
    {"2x2x2", 2, 2, 2, steep, 0.0, true, false, 0},
    {"3x3x3: one inner voxel", 3, 3, 3, steep, 0.2, true, false, 0},
    {"3 wide along x", 3, 17, 11, steep, 0.2, true, false, 0},
    {"steep ramp with noise", 25, 19, 13, steep, 0.5, true, false, 0},
    {"phantom-like: smooth field, noise, noise outside", 31, 27, 19, smooth, 0.3, true, true, 0},
    {"large wraps, given unwrapped", 25, 21, 15, large, 0.1, false, false, 0},
    {"large wraps, wrapped, noise outside", 25, 21, 15, large, 0.1, true, true, 0},
    {"every 13th voxel NaN", 23, 17, 11, smooth, 0.3, true, false, 13},
};

TEST(QualityUnwrapTwin, fast_paths_give_the_plain_twins_bits_on_hand_made_fields) {
    for (const TwinField& f : kTwinFields) {
        const size_t n = static_cast<size_t>(f.nx) * f.ny * f.nz;
        std::mt19937_64 rng(n);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::uniform_real_distribution<double> uniform(-kPi, kPi);
        // A graded magnitude: zero outside an ellipsoid, 200..1500 inside.
        std::vector<double> magnitude = test::ellipsoid_magnitude(f.nx, f.ny, f.nz);
        std::vector<double> phase(n);
        for (int z = 0; z < f.nz; ++z)
            for (int y = 0; y < f.ny; ++y)
                for (int x = 0; x < f.nx; ++x) {
                    const size_t i = x + f.nx * (y + static_cast<size_t>(f.ny) * z);
                    const double p = f.truth(x, y, z) + f.noise * normal(rng);
                    phase[i] = f.wrapped ? test::wrap_radians(p) : p;
                    if (f.noise_outside && magnitude[i] == 0.0) phase[i] = uniform(rng);
                    if (f.nan_every > 0 && i % f.nan_every == 0) phase[i] = std::numeric_limits<double>::quiet_NaN();
                    magnitude[i] *= 0.2 + 1.3 * (static_cast<double>((i * 7919) % 1000) / 1000.0);
                }
        expect_plain_twin_with_each_magnitude(phase, magnitude, f.nx, f.ny, f.nz, f.what);
    }
}

TEST(QualityUnwrapTwin, fast_paths_give_the_plain_twins_bits_on_a_sphere_in_noise) {
    const SphereInNoise s;
    const std::vector<double> magnitude(s.magnitude.begin(), s.magnitude.end());
    expect_plain_twin_with_each_magnitude(s.phase, magnitude, s.nx, s.ny, s.nz, "sphere in noise");
}

// Three second differences at one voxel whose squares, summed in the order
// the unwrapping adds them ((x + y) + z), give it a quality of 128, just
// enough for signal (a reliability of about 1/2), and summed in another order
// or with a fused multiply-add 127: a fast path that reorders or fuses the
// sum takes the signal from such a voxel.
struct Squares {
    double x, y, z;
};

double sum_in_order(const Squares& s) { return s.x * s.x + s.y * s.y + s.z * s.z; }

// As the unwrapping rounds the quality of a voxel with three second differences.
bool has_signal(double sum) { return 255.0 * (0.5 * 3) / (0.5 * 3 + sum) >= 128.0; }

std::vector<Squares> straddling_squares(int per_alternative) {
    double (*const alternatives[])(const Squares&) = {
        [](const Squares& s) { return s.z * s.z + s.y * s.y + s.x * s.x; },
        [](const Squares& s) { return s.x * s.x + s.z * s.z + s.y * s.y; },
        [](const Squares& s) { return std::fma(s.z, s.z, std::fma(s.y, s.y, s.x * s.x)); },
    };
    std::vector<Squares> found;
    int counts[3] = {};
    for (int i = 0; i < 4000 && static_cast<int>(found.size()) < 3 * per_alternative; ++i) {
        const double x = 0.70 + 1e-4 * i, y = 0.71 - 7e-5 * i;
        // z puts the sum on the line (1.5 * 255 / 128 - 1.5); then a few ulps around it.
        double z = std::sqrt(1.48828125 - x * x - y * y);
        for (int k = 0; k < 40; ++k) z = std::nextafter(z, 0.0);
        for (int k = 0; k < 80; ++k, z = std::nextafter(z, 1.0)) {
            const Squares s{x, y, z};
            if (!has_signal(sum_in_order(s))) continue;
            int a = 0;
            while (a < 3 && !(counts[a] < per_alternative && !has_signal(alternatives[a](s)))) ++a;
            if (a == 3) continue;
            found.push_back(s);
            ++counts[a];
            break;
        }
    }
    for (int a = 0; a < 3; ++a) EXPECT_EQ(counts[a], per_alternative) << "alternative " << a;
    return found;
}

// Each set of squares at a voxel (1, 1, 1) + 3 (i, j, k) of phase 0 whose
// neighbours before it are 0 and after it are the three second differences;
// every other voxel 0.
std::vector<double> probes(const std::vector<Squares>& squares, int nx, int ny, int nz) {
    std::vector<double> phase(static_cast<size_t>(nx) * ny * nz, 0.0);
    size_t next = 0;
    for (int z = 1; z + 1 < nz; z += 3)
        for (int y = 1; y + 1 < ny; y += 3)
            for (int x = 1; x + 1 < nx && next < squares.size(); x += 3, ++next) {
                const size_t i = x + nx * (y + static_cast<size_t>(ny) * z);
                phase[i + 1] = squares[next].x;
                phase[i + nx] = squares[next].y;
                phase[i + static_cast<size_t>(nx) * ny] = squares[next].z;
            }
    EXPECT_EQ(next, squares.size()) << "grid too small for the probes";
    return phase;
}

TEST(QualityUnwrapTwin, fast_paths_give_the_plain_twins_bits_at_qualities_that_hang_on_the_order_of_a_sum) {
    const int nx = 23, ny = 11, nz = 8;  // 7 x 3 x 2 probes
    const std::vector<Squares> squares = straddling_squares(14);
    const std::vector<double> phase = probes(squares, nx, ny, nz);
    // A magnitude of 0: the quality alone says which voxels have signal, and the count shows it.
    const std::vector<double> zero(phase.size(), 0.0);
    expect_plain_twin_with_each_magnitude(phase, zero, nx, ny, nz, "probes on the line");

    // The probes do sit on the line: with x and z swapped the unwrapping sums
    // them in reverse, and exactly those that lose their signal so lack it
    // (their neighbours keep their kinds), at least the ones picked for it.
    std::vector<Squares> swapped;
    long below = 0;
    for (const Squares& s : squares) {
        swapped.push_back(Squares{s.z, s.y, s.x});
        below += !has_signal(sum_in_order(swapped.back()));
    }
    EXPECT_GE(below, 14);
    const int dims[3] = {nx, ny, nz};
    std::vector<double> out(phase.size());
    QualityUnwrapInfo as_picked, reversed;
    ASSERT_TRUE(detail::quality_unwrap_plain(phase.data(), zero.data(), dims, out.data(), &as_picked));
    ASSERT_TRUE(
        detail::quality_unwrap_plain(probes(swapped, nx, ny, nz).data(), zero.data(), dims, out.data(), &reversed));
    EXPECT_EQ(reversed.no_signal - as_picked.no_signal, below);
}

TEST_F(QualityUnwrapPhantom, fast_paths_give_the_plain_twins_bits) {
    const sim::Grid& g = clean_->grid;
    for (const sim::Dataset* ds : {clean_, noisy_}) {
        const std::string what = ds == clean_ ? "phantom, clean background" : "phantom, noisy background";
        const std::vector<double> phase = radians_of(*ds);
        expect_plain_twin(phase, static_cast<const float*>(nullptr), g.nx, g.ny, g.nz, what + ", no magnitude");
        expect_plain_twin(phase, ds->magnitude.data(), g.nx, g.ny, g.nz, what + ", float magnitude");
    }
}

TEST(QualityUnwrapSiemens, fast_paths_give_the_plain_twins_bits) {
    int dims[3], mdims[3];
    const std::vector<double> stored = voxels_of("siemens_phasediff.nii.gz", dims);
    const std::vector<double> magnitude = voxels_of("siemens_magnitude1.nii.gz", mdims);
    ASSERT_EQ(stored.size(), 64u * 64 * 36);
    ASSERT_EQ(magnitude.size(), stored.size());
    std::vector<double> phase(stored.size());
    for (size_t i = 0; i < phase.size(); ++i) phase[i] = stored[i] * (kPi / 4096.0);
    expect_plain_twin_with_each_magnitude(phase, magnitude, dims[0], dims[1], dims[2], "Siemens phase difference");
}

}  // namespace
}  // namespace warpmender
