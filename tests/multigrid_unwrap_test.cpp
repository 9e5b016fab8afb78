// Multigrid unwrapping as the procedure drives it: gradients, Laplacian, masks, recovery, names, refusals.
#include "fieldmap/multigrid_unwrap.h"
#include "plugin/steps/multigrid_unwrap.h"
#include "plugin/steps/unreached.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "tests/kernel_forms.h"
#include "tests/test_support.h"
#include "tests/unwrap_fields.h"
#include "tests/unwrap_reference.h"

namespace warpmender {
namespace {

using Volume = std::unique_ptr<datahandler<double>>;
constexpr double kPi = 3.141592653589793;

Volume volume_of(const std::vector<double>& values, int nx, int ny, int nz, const char* name = "data/phase.fmr") {
    double* d = new double[values.size()];
    std::copy(values.begin(), values.end(), d);
    Volume v(new datahandler<double>(d, nx, ny, nz, 1, 8));
    v->setname(name);
    v->setstatus(STATUS_VALID);
    return v;
}

std::vector<double> values_of(const datahandler<double>& v) {
    return std::vector<double>(v.getdata(), v.getdata() + v.getnrofelems());
}

class UnwrapMultigrid : public ::testing::Test {
protected:
    void SetUp() override {
        test::fresh_host();
        InitHSAccess();
    }
    const std::vector<std::string>& log() { return host::instance().log; }
    bool logged(const std::string& line) { return test::log_contains(host::instance(), line); }
};

TEST_F(UnwrapMultigrid, gradient_matches_the_wrapped_forward_difference_on_every_axis) {
    // Voxels of unequal odd sizes, random phases of several periods: catches a
    // transposed axis and checks the inline modulo against helperTools::modulo.
    const int nx = 23, ny = 17, nz = 11;
    const std::vector<double> phi = test::random_values(nx * ny * nz, -10, 10, 3);
    Volume phase = volume_of(phi, nx, ny, nz);
    const struct { int direction, dx, dy, dz; } axes[] = {{1, 1, 0, 0}, {3, 0, 1, 0}, {5, 0, 0, 1}};
    for (const auto& a : axes) {
        Volume g(computegradient(phase.get(), a.direction));
        ASSERT_EQ(g->getstatus(), STATUS_VALID);
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const double d =
                        phase->get(x, y, z) - phase->get((x + a.dx) % nx, (y + a.dy) % ny, (z + a.dz) % nz);
                    const double expected = kPi + help.modulo(d + kPi, 2 * kPi);
                    ASSERT_EQ(g->get(x, y, z), expected) << a.direction << " at " << x << "," << y << "," << z;
                }
    }
}

TEST_F(UnwrapMultigrid, gradient_of_a_constant_is_exactly_two_pi) {
    Volume phase = volume_of(std::vector<double>(7 * 5 * 3, 1.7), 7, 5, 3);
    for (int direction : {1, 3, 5}) {
        Volume g(computegradient(phase.get(), direction));
        for (double v : values_of(*g)) ASSERT_EQ(v, 2 * kPi) << direction;
    }
    EXPECT_EQ(log(), (std::vector<std::string>{"X direction...", "Y direction...", "Z direction..."}));
}

TEST_F(UnwrapMultigrid, differences_of_exactly_minus_and_plus_pi_both_wrap_to_minus_pi) {
    // phase {0, pi}: D = -pi at x = 0 and D = +pi at x = 1 (across the seam); both give pi.
    Volume phase = volume_of({0.0, kPi}, 2, 1, 1);
    Volume g(computegradient(phase.get(), 1));
    EXPECT_EQ(g->get(0L), kPi);
    EXPECT_EQ(g->get(1L), kPi);
}

TEST_F(UnwrapMultigrid, gradient_refuses_unknown_directions_and_invalid_phases) {
    Volume phase = volume_of({1, 2, 3}, 3, 1, 1);
    Volume g(computegradient(phase.get(), 2));
    EXPECT_EQ(g->getstatus(), STATUS_INVALID);
    EXPECT_TRUE(logged("Unknown gradient direction."));
    phase->setstatus(STATUS_NODATA);
    Volume h(computegradient(phase.get(), 1));
    EXPECT_EQ(h->getstatus(), STATUS_INVALID);
    EXPECT_TRUE(logged("Unvalid image."));
    Volume none(computegradient(nullptr, 1));
    EXPECT_EQ(none->getstatus(), STATUS_INVALID);
}

TEST_F(UnwrapMultigrid, ramp_has_a_laplacian_only_beside_the_seam) {
    // 0.5 rad per voxel along x: D = -0.5 away from the seam, so the gradient is
    // 2 pi - 0.5 (to one rounding) and its backward difference exactly 0.
    const int nx = 9, ny = 4, nz = 3;
    std::vector<double> phi(nx * ny * nz);
    for (int i = 0; i < nx * ny * nz; ++i) phi[i] = 0.5 * (i % nx);
    Volume phase = volume_of(phi, nx, ny, nz);
    Volume gx(computegradient(phase.get(), 1)), gy(computegradient(phase.get(), 3)),
        gz(computegradient(phase.get(), 5));
    EXPECT_NEAR(gx->get(3, 2, 1), 2 * kPi - 0.5, 1e-15);
    Volume l(getlaplacian(gx.get(), gy.get(), gz.get()));
    ASSERT_EQ(l->getstatus(), STATUS_VALID);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                if (x == 0 || x == nx - 1)
                    EXPECT_NE(l->get(x, y, z), 0.0) << x;
                else
                    EXPECT_EQ(l->get(x, y, z), 0.0) << x << "," << y << "," << z;
            }
    // The two seam values cancel: the Laplacian of a periodic field sums to 0.
    EXPECT_NEAR(l->get(0, 0, 0) + l->get(nx - 1, 0, 0), 0.0, 1e-14);
}

TEST_F(UnwrapMultigrid, single_slice_has_no_z_part) {
    const std::vector<double> phi = test::random_values(7 * 5, -4, 4, 8);
    Volume phase = volume_of(phi, 7, 5, 1);
    Volume gz(computegradient(phase.get(), 5));
    for (double v : values_of(*gz)) ASSERT_EQ(v, 2 * kPi);  // each voxel is its own z neighbour
}

TEST_F(UnwrapMultigrid, laplacian_adds_the_backward_differences_x_then_y_then_z) {
    const int nx = 5, ny = 4, nz = 3;
    const long m = nx * ny * nz;
    Volume gx = volume_of(test::random_values(m, 3, 9, 1), nx, ny, nz);
    Volume gy = volume_of(test::random_values(m, 3, 9, 2), nx, ny, nz);
    Volume gz = volume_of(test::random_values(m, 3, 9, 3), nx, ny, nz);
    Volume l(getlaplacian(gx.get(), gy.get(), gz.get()));
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                double e = 0.0;
                e += gx->get(x, y, z) - gx->get((x + nx - 1) % nx, y, z);
                e += gy->get(x, y, z) - gy->get(x, (y + ny - 1) % ny, z);
                e += gz->get(x, y, z) - gz->get(x, y, (z + nz - 1) % nz);
                ASSERT_EQ(l->get(x, y, z), e);
            }
    EXPECT_EQ(log(), (std::vector<std::string>{"Add 2nd difference for X...", "Add 2nd difference for Y...",
                                               "Add 2nd difference for Z..."}));
}

TEST_F(UnwrapMultigrid, constant_phase_comes_back_as_that_constant) {
    Volume phase = volume_of(std::vector<double>(23 * 17 * 11, 1.25), 23, 17, 11);
    Volume u(unwrap_multigrid(phase.get(), nullptr, false, 2, 2));
    ASSERT_EQ(u->getstatus(), STATUS_VALID);
    for (double v : values_of(*u)) ASSERT_EQ(v, 1.25);  // Laplacian 0, solution 0, mean shift 1.25
}

TEST_F(UnwrapMultigrid, recovers_a_smooth_field_with_several_wraps_up_to_a_constant) {
    const int nx = 32, ny = 28, nz = 6;
    const test::SmoothField field{nx, ny, nz};
    const std::vector<double> truth = field.values();
    std::vector<double> wrapped(truth.size());
    for (size_t i = 0; i < truth.size(); ++i) wrapped[i] = test::wrap_radians(truth[i]);
    const std::vector<double> magnitude = test::ellipsoid_magnitude(nx, ny, nz);
    Volume phase = volume_of(wrapped, nx, ny, nz);
    Volume mag = volume_of(magnitude, nx, ny, nz, "data/magnitude.fmr");
    Volume u(unwrap_multigrid(phase.get(), mag.get(), false, 3, 5));
    ASSERT_EQ(u->getstatus(), STATUS_VALID);
    // Every wrapped difference is the true one, so what remains is the bias of
    // the regularisation a = 1e-4: each periodic mode comes back scaled by
    // lambda_k / (lambda_k + a), lambda_k = 2 - 2 cos(2 pi / n). For the modes
    // here (3 pi along 32, 2 pi along 28, pi / 2 along 6) that is at most
    // 0.0245 + 0.0125 + 0.0002 = 0.037 rad; measured 0.0387 (0.0387 also after
    // 5 cycles: converged). 0.05 rad is two orders below a 2 pi jump.
    EXPECT_LT(test::max_error_up_to_constant(values_of(*u), truth, magnitude), 0.05);
    // The mean is the wrapped input's mean.
    EXPECT_NEAR(u->getmean_d(), phase->getmean_d(), 1e-6);
}

TEST_F(UnwrapMultigrid, logs_the_steps_and_names_the_result_after_the_solver_settings) {
    EXPECT_EQ(multigrid_suffix(3, 5), "_unwrapped3vcyc5its_smoothed");
    Volume phase = volume_of(test::random_values(6 * 5 * 4, -3, 3, 9), 6, 5, 4, "data/phase.fmr");
    Volume u(unwrap_multigrid(phase.get(), nullptr, false, 3, 5));
    ASSERT_EQ(u->getstatus(), STATUS_VALID);
    EXPECT_STREQ(u->getname(), "phase_unwrapped3vcyc5its_smoothed.fmr");
    const char* steps[] = {"Compute x, y and z gradients...",
                           "X direction...",
                           "Y direction...",
                           "Z direction...",
                           "Get Laplacian...",
                           "Remove mean...",
                           "Solve...",
                           "Resize...",
                           "Apply smoothing...",
                           "phase_unwrapped3vcyc5its_smoothed.fmr"};
    size_t at = 0;
    for (const char* s : steps) {
        const long k = test::find_log(host::instance(), s, at);
        ASSERT_GE(k, 0) << "missing or out of order: " << s;
        at = static_cast<size_t>(k) + 1;
    }
    EXPECT_EQ(log()[test::find_log(host::instance(), "Remove mean...") - 1].rfind("Values of laplacian:", 0), 0u);
}

// The method step by step, each step through its own operation (the solve
// through the plain twin of fmg), logging what the method logs up to "Apply
// smoothing...": what the fused passes of fullmultigridsolving must reproduce.
std::vector<double> unwrapped_step_by_step(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                           int cycles, int iterations, std::vector<std::string>& lines) {
    const size_t from = host::instance().log.size();
    hs::hsLogText("Compute x, y and z gradients...");
    Volume gx(computegradient(phase, 1)), gy(computegradient(phase, 3)), gz(computegradient(phase, 5));
    hs::hsLogText("Get Laplacian...");
    Volume l(getlaplacian(gx.get(), gy.get(), gz.get()));
    if (mask) {
        hs::hsLogText("Compute and apply quality mask...");
        Volume q(computequalitymask(magnitude));
        EXPECT_TRUE(applymask(l.get(), q.get()));
    }
    hs::hsLogText(l->displayintensityvalues("laplacian").c_str());
    hs::hsLogText("Remove mean...");
    removemean(l.get());
    hs::hsLogText(l->displayintensityvalues("laplacian, mean removed").c_str());
    hs::hsLogText("Solve...");
    hs::hsLogText("Resize...");
    const int dims[3] = {int(l->getnx()), int(l->getny()), int(l->getnz())};
    const long n = l->getnrofelems();
    const std::vector<double> a(n, 0.0001);
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    std::vector<double> u(n);
    reference::fmg(dims, a.data(), l->getdata(), param, cycles, iterations, u.data());
    hs::hsLogText("Apply smoothing...");
    Volume solved = volume_of(u, dims[0], dims[1], dims[2]);
    const double shift = phase->getmean_d() - static_cast<double>(solved->getmean());
    for (double& v : u) v += shift;
    lines.assign(host::instance().log.begin() + from, host::instance().log.end());
    return u;
}

TEST_F(UnwrapMultigrid, fused_passes_reproduce_the_steps_bit_for_bit_with_their_log) {
    // Unequal odd sizes, sizes 1 and 2 on each axis, one grid long enough for
    // the vector lanes; phases of several periods, so every gradient wraps.
    const int grids[][3] = {{23, 17, 11}, {1, 5, 4}, {6, 1, 3}, {5, 4, 1}, {2, 2, 2}, {1, 1, 1}, {40, 12, 6}};
    for (KernelIsa form : test::kernel_forms()) {
        const test::KernelForm cap(form);
        for (const auto& g : grids) {
            const long m = long(g[0]) * g[1] * g[2];
            Volume phase = volume_of(test::random_values(m, -10, 10, 30 + m), g[0], g[1], g[2]);
            Volume mag = volume_of(test::random_values(m, 0, 400, 31 + m), g[0], g[1], g[2], "data/magnitude.fmr");
            for (bool mask : {false, true}) {
                std::vector<std::string> expected;
                const std::vector<double> want = unwrapped_step_by_step(phase.get(), mag.get(), mask, 2, 3, expected);
                host::instance().log.clear();
                Volume u(fullmultigridsolving(phase.get(), mag.get(), mask, 2, 3));
                ASSERT_EQ(u->getstatus(), STATUS_VALID);
                const std::string what = std::string(test::form_name(form)) + " " + std::to_string(g[0]) + "x" +
                                         std::to_string(g[1]) + "x" + std::to_string(g[2]) + (mask ? " masked" : "");
                EXPECT_EQ(test::first_bit_difference(values_of(*u), want), -1) << what;
                ASSERT_GE(log().size(), expected.size()) << what;
                EXPECT_EQ(std::vector<std::string>(log().begin(), log().begin() + expected.size()), expected) << what;
                host::instance().log.clear();
            }
        }
    }
}

TEST_F(UnwrapMultigrid, invalid_phase_gives_an_empty_invalid_volume_and_no_file) {
    Volume phase = volume_of({1, 2, 3, 4}, 2, 2, 1);
    phase->setstatus(STATUS_NODATA);
    Volume u(unwrap_multigrid(phase.get(), nullptr, true, 3, 5));
    EXPECT_EQ(u->getstatus(), STATUS_INVALID);
    EXPECT_FALSE(u->hasdata());
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(host::instance().saves.empty());
    Volume none(unwrap_multigrid(nullptr, nullptr, true, 3, 5));
    EXPECT_EQ(none->getstatus(), STATUS_INVALID);
}

TEST_F(UnwrapMultigrid, a_40000_wide_axis_is_refused_with_a_log_line) {
    Volume phase = volume_of(std::vector<double>(40000, 0.5), 40000, 1, 1);
    Volume u(unwrap_multigrid(phase.get(), nullptr, false, 3, 5));
    EXPECT_EQ(u->getstatus(), STATUS_INVALID);
    const std::string refusal =
        "Multigrid unwrapping refused: the grid of 40000 x 1 x 1 voxels exceeds the solver's limit of 32768 voxels "
        "along each axis.";
    EXPECT_EQ(log(), std::vector<std::string>{refusal});
    host::instance().log.clear();
    Volume v(fullmultigrid(phase.get(), true, 3, 5));
    EXPECT_EQ(v->getstatus(), STATUS_INVALID);
    EXPECT_EQ(log(), std::vector<std::string>{refusal});
}

TEST_F(UnwrapMultigrid, fullmultigrid_reports_its_scratch_and_keeps_one_volume) {
    // A two-volume right-hand side: the solution is the first volume's, and its
    // header must count only what its buffer holds.
    Volume rhs = volume_of(std::vector<double>(12, 0.0), 3, 2, 1);
    rhs->setnt(2);
    double* two = new double[12]();
    rhs->setdata(two);
    Volume u(fullmultigrid(rhs.get(), true, 1, 1));
    ASSERT_EQ(u->getstatus(), STATUS_VALID);
    EXPECT_EQ(u->getnrofelems(), 6);
    EXPECT_TRUE(logged("Scratchsize: 40, dims[0:3], dims[1: 2], dims[2: 1], dims[3: 1]"));
}

TEST_F(UnwrapMultigrid, masks_and_means) {
    Volume v = volume_of({1, 2, 3, 6}, 4, 1, 1);
    Volume mask = volume_of({1, 0, 1, 0}, 4, 1, 1);
    Volume shorter = volume_of({1, 1}, 2, 1, 1);
    EXPECT_FALSE(applymask(v.get(), shorter.get()));
    EXPECT_EQ(values_of(*v), (std::vector<double>{1, 2, 3, 6}));
    EXPECT_TRUE(applymask(v.get(), mask.get()));
    EXPECT_EQ(values_of(*v), (std::vector<double>{1, 0, 3, 0}));
    EXPECT_TRUE(removemean(v.get()));
    EXPECT_EQ(values_of(*v), (std::vector<double>{0, -1, 2, -1}));
    Volume phase = volume_of({10, 20}, 2, 1, 1), u = volume_of({1, 3}, 2, 1, 1);
    EXPECT_TRUE(assumesmoothness(phase.get(), u.get()));
    EXPECT_EQ(values_of(*u), (std::vector<double>{14, 16}));  // shifted by 15 - 2
    u->setstatus(STATUS_INVALID);
    EXPECT_FALSE(assumesmoothness(phase.get(), u.get()));
    EXPECT_FALSE(removemean(u.get()));
}

TEST_F(UnwrapMultigrid, zero_magnitude_with_the_mask_gives_the_phase_mean) {
    Volume probe = volume_of({0.0}, 1, 1, 1);
    Volume q(computequalitymask(probe.get()));
    if (q->getstatus() != STATUS_VALID) GTEST_SKIP() << "no quality mask in this build yet";
    const std::vector<double> phi = test::random_values(9 * 7 * 3, -3, 3, 12);
    Volume phase = volume_of(phi, 9, 7, 3);
    Volume mag = volume_of(std::vector<double>(phi.size(), 0.0), 9, 7, 3, "data/magnitude.fmr");
    Volume u(unwrap_multigrid(phase.get(), mag.get(), true, 2, 2));
    ASSERT_EQ(u->getstatus(), STATUS_VALID);
    for (double v : values_of(*u)) ASSERT_EQ(v, phase->getmean_d());
}

TEST_F(UnwrapMultigrid, quality_mask_is_one_above_200) {
    Volume mag = volume_of({0, 200, 200.5, 4000, -300, 201}, 3, 2, 1);
    Volume q(computequalitymask(mag.get()));
    if (q->getstatus() != STATUS_VALID) GTEST_SKIP() << "no quality mask in this build yet";
    EXPECT_EQ(values_of(*q), (std::vector<double>{0, 0, 1, 1, 0, 1}));
    Volume none(computequalitymask(nullptr));
    EXPECT_EQ(none->getstatus(), STATUS_INVALID);
}

TEST_F(UnwrapMultigrid, a_mask_of_another_size_is_reported_and_the_laplacian_solved_unmasked) {
    Volume phase = volume_of(std::vector<double>(4 * 3 * 2, 0.75), 4, 3, 2);
    Volume mag = volume_of(std::vector<double>(5, 1000.0), 5, 1, 1);
    Volume u(unwrap_multigrid(phase.get(), mag.get(), true, 1, 1));
    EXPECT_EQ(u->getstatus(), STATUS_VALID);
    EXPECT_TRUE(logged("Quality mask could not be applied (magnitude missing, invalid or of another size): "
                       "the Laplacian is solved unmasked."));
}

// --- the parameter record of the interactive tool -----------------------------------------

fmgparams filled(const std::string& image) {
    fmgparams p;
    set_fmgparams_text(p.quality_mode, "max_corr");
    p.debug_flag = 1;
    p.num_gaussseidel_iter = 4;
    p.thresh_on_quality_map = 0;
    p.template_size = 3;
    p.num_fmg_cycles = 2;
    p.nrpix_thickening = 5;
    set_fmgparams_text(p.mask_file, "none");
    set_fmgparams_text(p.cross_corr_file, "/data/cc.byte");
    set_fmgparams_text(p.differential_phase_image_name, image.c_str());
    p.status = 89;
    return p;
}

const char* const kFilledText = "~~~ unwrapping (WFMG) parameters file ~~~\n\n"
                                "quality_mode:\nmax_corr\n"
                                "debug_flag:\n1\n"
                                "num_gaussseidel_iter:\n4\n"
                                "thresh_on_quality_map:\n0\n"
                                "template_size:\n3\n"
                                "num_fmg_cycles:\n2\n"
                                "nrpix_thickening:\n5\n"
                                "mask_file:\nnone\n"
                                "cross_corr_file:\n/data/cc.byte\n"
                                "differential_phase_image_name:\n";

class FmgParams : public UnwrapMultigrid {};

TEST_F(FmgParams, file_lands_beside_the_image_with_every_key) {
    const std::string dir = test::scratch_dir("fmgparams_ok");
    const std::string image = dir + "/phase_unwrapped.fmr";
    ASSERT_TRUE(write_fmgparams(filled(image)));
    const std::string path = dir + "/unwrapparams_fmg.txt";
    std::ifstream in(path, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), std::string(kFilledText) + image + "\n\n");
    EXPECT_EQ(log(), (std::vector<std::string>{"Start writing WFMG parameters file...", "Wrote file " + path}));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(FmgParams, rewriting_truncates_the_old_file) {
    const std::string dir = test::scratch_dir("fmgparams_truncate");
    const std::string path = dir + "/unwrapparams_fmg.txt";
    { std::ofstream(path) << std::string(5000, 'x'); }
    ASSERT_TRUE(write_fmgparams(filled(dir + "/p.fmr")));
    EXPECT_EQ(std::filesystem::file_size(path), std::string(kFilledText).size() + dir.size() + 6 + 2);
}

TEST_F(FmgParams, failed_write_leaves_no_file_and_says_so) {
    const std::string dir = test::scratch_dir("fmgparams_fail") + "/missing";
    EXPECT_FALSE(write_fmgparams(filled(dir + "/phase.fmr")));
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_EQ(log(), (std::vector<std::string>{"Start writing WFMG parameters file...",
                                               "Writing of WFMG parameters to disk did not succeed."}));
}

TEST_F(FmgParams, bare_image_name_puts_the_file_in_the_current_directory) {
    EXPECT_EQ(fmgparams_path(fmgparams()), "unwrapparams_fmg.txt");  // "unknown": no directory
    EXPECT_EQ(fmgparams_path(filled("a/b/c.fmr")), "a/b/unwrapparams_fmg.txt");
}

TEST_F(FmgParams, texts_are_cut_to_their_fields) {
    fmgparams p;
    set_fmgparams_text(p.quality_mode, "max_pseudocorrelation");
    EXPECT_STREQ(p.quality_mode, "max_pseud");  // 9 characters and the terminator
    set_fmgparams_text(p.mask_file, std::string(900, 'm').c_str());
    EXPECT_EQ(std::string(p.mask_file).size(), 500u);
}

TEST_F(FmgParams, log_form) {
    log_fmgparams(filled("dir/phase.fmr"));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "Quality mode for unwrapping: max_corr",
                         "Save intermediate files: yes\nNumber of Gauss-Seidel iterations: 4",
                         "Apply threshold to quality map: no\nTemplate size: 3",
                         "Number of full-multigrid cycles: 2\nNumber of pixels for thickening quality mask: 5",
                         "Byte-file of masks for undefined phase values: none",
                         "Byte-file of cross-correlation values: /data/cc.byte",
                         "Name of unwrapped differential phase image: dir/phase.fmr",
                         "FMG parameters valid: yes",
                     }));
    host::instance().log.clear();
    log_fmgparams(fmgparams());
    EXPECT_EQ(log().back(), "FMG parameters valid: no");
}

}  // namespace
}  // namespace warpmender
