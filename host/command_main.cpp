// main() of the warpmender command: subcommands, options and exit statuses.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "host/command.h"
#include "core/error.h"

using namespace warpmender::host;

namespace {

const char* const kDirectionHelp =
    "Phase-encoding direction codes (--pe-dir): 1 = +x (i), 2 = -x (i-), 3 = +y (j), 4 = -y (j-), "
    "5 = +z (k), 6 = -z (k-), along the image's own voxel axes (column, row, slice index). "
    "Sign convention: with code 3 (\"j\") the distorted image shows the content of voxel y at y + shift, "
    "where shift = field (Hz) / bandwidth per voxel (Hz); the correction therefore samples the distorted "
    "image at y + shift. Codes 2, 4, 6 (i-, j-, k-) sample at position - shift. A shift toward higher "
    "indices for a positive field is what BIDS PhaseEncodingDirection \"j\" means.";

void add_common(CLI::App* app, CommonOptions& c, bool with_report = true) {
    app->add_option("--out", c.out, "Folder for every result (created with its parents; default: the current folder)");
    app->add_option("--log", c.log_file, "Write the plug-in's log to this file instead of standard error");
    if (with_report) app->add_option("--report", c.report, "Write a JSON report of every call to this file");
    app->add_flag("--nifti", c.nifti, "Also write every saved result as NIfTI (.nii.gz, or .nii for .nii sources)");
    app->add_flag("--interactive", c.interactive,
                  "Ask document choices, file choosers and numbers at the terminal instead of answering them "
                  "from the session");
    app->add_option("--plugin", c.plugin, "Path of libwarpmender.so (default: beside the command, or ../lib)");
}

}  // namespace

// A correction touches a few GB of fresh buffers; with 4 KiB pages the
// kernel's page faults cost more than the correction itself (500,000 faults,
// 3 s of system time on a 96 x 96 x 60 x 300 run). glibc backs its large
// allocations with transparent huge pages only when asked at start-up, so the
// command starts itself once more with that setting, keeping any the user set.
// Nothing has been read or written yet; if the restart fails, it runs as is.
static void restart_with_huge_pages(char** argv) {
    const char* key = "glibc.malloc.hugetlb";
    const char* current = std::getenv("GLIBC_TUNABLES");
    if (current != nullptr && std::strstr(current, key) != nullptr) return;
    std::string tunables = current != nullptr && *current != '\0' ? std::string(current) + ":" : std::string();
    tunables += std::string(key) + "=1";
    if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
    execv("/proc/self/exe", argv);
    // Still here: the restart failed; the setting is harmless without it.
}

int main(int argc, char** argv) {
    restart_with_huge_pages(argv);
    CLI::App app{"warpmender: field-map correction of EPI distortion by the pixel-shift method.\n"
                 "Exit status: 0 success, 1 the plug-in reported a failure, 2 bad usage or bad input."};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every subcommand");

    InfoOptions info;
    CLI::App* info_cmd = app.add_subcommand("info", "Show the plug-in's name, description, author, help and GUI script");
    info_cmd->add_option("--plugin", info.plugin, "Path of libwarpmender.so");

    RunOptions run;
    CLI::App* run_cmd = app.add_subcommand(
        "run", "Replay a session file (documents to open, protocol calls with parameters and dialog answers)");
    run_cmd->add_option("session", run.session, "Session file (JSON); see examples/")->required()->check(CLI::ExistingFile);
    add_common(run_cmd, run.common);

    CorrectOptions cor;
    CLI::App* cor_cmd = app.add_subcommand(
        "correct", std::string("Correct an EPI series with a field map in one call: unwrap, B0 map, shift map, "
                               "undistortion. Values not given are taken from BIDS JSON sidecars beside NIfTI "
                               "inputs (EchoTime1/EchoTime2 of the phase image; EffectiveEchoSpacing or "
                               "TotalReadoutTime and PhaseEncodingDirection of the EPI).\n") +
                       kDirectionHelp);
    cor_cmd->add_option("--phase", cor.phase, "Wrapped phase-difference image (FMR or NIfTI)")->required()->check(CLI::ExistingFile);
    cor_cmd->add_option("--magnitude", cor.magnitude, "Magnitude image on the phase image's grid")->required()->check(CLI::ExistingFile);
    cor_cmd->add_option("--epi", cor.epi, "EPI series to correct")->required()->check(CLI::ExistingFile);
    cor_cmd->add_option("--anatomy", cor.anatomy, "Anatomical volume (VMR or NIfTI): carry the shift map into the EPI's grid through it")
        ->check(CLI::ExistingFile);
    cor_cmd->add_option("--echo-time-diff", cor.echo_time_diff_ms, "Echo-time difference of the field map, ms")
        ->check(CLI::PositiveNumber);
    cor_cmd->add_option("--bandwidth", cor.bandwidth_hz, "Bandwidth per voxel along the phase-encoding axis, Hz")
        ->check(CLI::PositiveNumber);
    cor_cmd->add_option("--pe-dir", cor.pe_dir, "Phase-encoding direction: 1..6 or i, i-, j, j-, k, k-");
    cor_cmd->add_option("--method", cor.method, "Unwrapping method")
        ->check(CLI::IsMember({"multigrid", "relax"}))
        ->capture_default_str();
    cor_cmd->add_option("--cycles", cor.cycles, "Multigrid: V-cycles per level")->check(CLI::Range(0, 100))->capture_default_str();
    cor_cmd->add_option("--iterations", cor.iterations, "Multigrid: relaxation iterations per smoothing")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    cor_cmd->add_option("--relax-iterations", cor.relax_iterations, "Relaxation: red-black sweeps")
        ->check(CLI::Range(0, 1000000))
        ->capture_default_str();
    cor_cmd->add_option("--regularisation", cor.regularisation, "Relaxation: smoothness weight")
        ->check(CLI::Range(0.0, 1e6))
        ->capture_default_str();
    cor_cmd->add_flag("--no-radians", cor.no_radians, "The phase is already in radians: do not rescale it to -pi..pi");
    cor_cmd->add_flag("--mask-laplacian", cor.mask_laplacian, "Multigrid: mask the wrapped Laplacian with the magnitude");
    cor_cmd->add_flag("--two-pi", cor.two_pi, "Divide the shift map by a further 2 pi (field map in rad/s)");
    cor_cmd->add_flag("--rescale-magnitude", cor.rescale_magnitude, "Rescale the magnitude to 0..4095 on opening");
    add_common(cor_cmd, cor.common);

    PolarOptions polar;
    CLI::App* polar_cmd = app.add_subcommand("polar", "Build magnitude and phase images from a real/imaginary pair");
    polar_cmd->add_option("--real", polar.real, "Real part")->required()->check(CLI::ExistingFile);
    polar_cmd->add_option("--imag", polar.imag, "Imaginary part")->required()->check(CLI::ExistingFile);
    add_common(polar_cmd, polar.common);

    DiffOptions diff;
    CLI::App* diff_cmd = app.add_subcommand("diff", "Write the difference image A - B of two projects (as B_diffimg)");
    diff_cmd->add_option("A", diff.a, "Source image")->required()->check(CLI::ExistingFile);
    diff_cmd->add_option("B", diff.b, "Image subtracted from A")->required()->check(CLI::ExistingFile);
    add_common(diff_cmd, diff.common);

    DemoOptions demo;
    CLI::App* demo_cmd = app.add_subcommand(
        "demo", "Synthesise a head phantom with an air cavity, distort an EPI series with its field, correct it, "
                "print the error before and after and write a figure; needs no input");
    demo_cmd->add_option("--out", demo.out, "Folder for the phantom, the results and the figure")->capture_default_str();
    demo_cmd->add_option("--plugin", demo.plugin, "Path of libwarpmender.so");
    demo_cmd->add_flag("--quiet", demo.quiet, "Write the plug-in's log to DIR/demo.log instead of standard error");

    const std::string first = argc > 1 ? argv[1] : "";
    const char* const kSubcommands[] = {"info", "run", "correct", "polar", "diff", "demo"};
    if (!first.empty() && first[0] != '-' &&
        std::none_of(std::begin(kSubcommands), std::end(kSubcommands), [&](const char* s) { return first == s; })) {
        std::cerr << "warpmender: unknown subcommand \"" << argv[1]
                  << "\" (use info, run, correct, polar, diff or demo; --help explains them)\n";
        return kExitBadInput;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadInput;
    }

    try {
        if (*info_cmd) return run_info(info);
        if (*run_cmd) return run_run(run);
        if (*cor_cmd) return run_correct(cor);
        if (*polar_cmd) return run_polar(polar);
        if (*diff_cmd) return run_diff(diff);
        if (*demo_cmd) return run_demo(demo);
    } catch (const warpmender::Error& e) {
        std::cerr << "warpmender: " << e.what() << "\n";
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        std::cerr << "warpmender: out of memory\n";
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::cerr << "warpmender: " << e.what() << "\n";
        return kExitBadInput;
    }
    return kExitBadInput;
}
