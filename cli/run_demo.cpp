// warpmender demo: a synthetic head, distorted and corrected in-process, with errors and a figure.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "cli/command.h"
#include "cli/demo_figure.h"
#include "cli/interrupt.h"
#include "cli/output_folder.h"
#include "cli/phantom_files.h"
#include "cli/run_lock.h"
#include "core/error.h"
#include "host/document_files.h"
#include "hostlink/protocol.h"
#include "sim/dataset.h"
#include "sim/error_metrics.h"

namespace warpmender {
namespace host {

struct DemoOptions {
    std::string out = "demo-output";
    std::string plugin;
    bool quiet = false;
};

namespace fs = std::filesystem;

namespace {

std::vector<float> series_of(const Document& d) {
    std::vector<float> out;
    for (const auto& v : d.float_volumes) out.insert(out.end(), v.begin(), v.end());
    return out;
}

void print_error(const char* what, const sim::SeriesError& e) {
    std::printf("  %-34s RMS %8.2f (%5.2f%% of the mean)   mean |error| %8.2f (%5.2f%%)\n", what, e.rms,
                100.0 * e.rms_relative, e.mean_abs, 100.0 * e.mean_abs_relative);
}

}  // namespace

int run_demo(const DemoOptions& o) {
    const auto t0 = std::chrono::steady_clock::now();
    const fs::path out = fs::absolute(o.out);
    const fs::path phantom_dir = out / "phantom";
    const fs::path results_dir = out / "results";
    std::error_code ec;
    for (const fs::path& p : {out, phantom_dir, results_dir}) {
        if (fs::exists(p, ec) && !fs::is_directory(p, ec))
            throw Error("demo folder \"" + p.string() + "\" cannot be created: a file of that name exists");
        fs::create_directories(p, ec);
        if (ec) throw Error("demo folder \"" + p.string() + "\" cannot be created: " + ec.message());
    }

    // Two demos into one folder would mix their phantoms; an interrupted one leaves no temporaries.
    install_interrupt_handlers();
    const RunLock lock(out.string());
    watch_folder_on_interrupt(out.string());
    watch_folder_on_interrupt(phantom_dir.string());
    remove_stale_temporaries(out.string());
    remove_stale_temporaries(phantom_dir.string());

    std::printf("Synthesising a head phantom with an air cavity...\n");
    const sim::Dataset ds = sim::make_dataset(demo_dataset_params(false));
    const sim::Grid& g = ds.grid;
    std::printf("  %d x %d x %d voxels of %.1f mm, %d volumes; field %s to %s Hz, bandwidth %.2f Hz per voxel, "
                "phase encoding %s\n",
                g.nx, g.ny, g.nz, g.dx, ds.nt,
                std::to_string(*std::min_element(ds.field_hz.begin(), ds.field_hz.end())).c_str(),
                std::to_string(*std::max_element(ds.field_hz.begin(), ds.field_hz.end())).c_str(), ds.bandwidth_pe_hz,
                pe_direction_name(ds.pe_dir));

    const PhantomFiles files = write_phantom_files(ds, phantom_dir);
    const std::string& phase = files.phase;
    const std::string& magnitude = files.magnitude;
    const std::string& bold = files.epi;
    std::printf("  wrote %s (phase difference, magnitude, BOLD series, truth, field; JSON sidecars)\n",
                phantom_dir.c_str());

    std::printf("Correcting with the plug-in (values from the sidecars)...\n");
    CorrectOptions c;
    c.phase = phase;
    c.magnitude = magnitude;
    c.epi = bold;
    c.common.out = results_dir.string();
    c.common.nifti = true;
    c.common.plugin = o.plugin;
    c.common.log_file = o.quiet ? (out / "demo.log").string() : "";
    c.common.report = (out / "report.json").string();
    CorrectionOutputs outputs;
    const int status = run_correct(c, &outputs);
    if (status != kExitOk) {
        std::fprintf(stderr, "warpmender demo: the correction failed (exit status %d); see %s\n", status,
                     c.common.report.c_str());
        return status;
    }
    const std::string corrected_fmr = outputs.corrected;
    const Document corrected = open_document(instance(), corrected_fmr, false);
    const std::vector<float> corrected_series = series_of(corrected);

    const sim::SeriesError before = sim::series_error(ds.epi, ds.truth, ds.head, ds.nt);
    const sim::SeriesError after = sim::series_error(corrected_series, ds.truth, ds.head, ds.nt);
    const sim::SeriesError best = sim::series_error(ds.ideal, ds.truth, ds.head, ds.nt);
    std::printf("Error against the undistorted truth inside the head (%zu voxels x %d volumes):\n", before.voxels,
                before.volumes);
    print_error("distorted", before);
    print_error("corrected", after);
    print_error("corrected with the true shift map", best);

    const int z = ds.figure_slice;
    const std::string figure = (out / "figure.png").string();
    sim::write_figure_png(figure, demo_figure_panels(ds, corrected_series), kDemoFigureZoom);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("Figure (slice %d): %s\nResults: %s\nDone in %.1f s.\n", z, figure.c_str(), results_dir.c_str(),
                seconds);
    return after.rms < before.rms ? kExitOk : kExitPluginFailed;
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<DemoOptions>();
    cmd.add_option("--out", o->out, "Folder for the phantom, the results and the figure")->capture_default_str();
    cmd.add_option("--plugin", o->plugin, "Path of libwarpmender.so");
    cmd.add_flag("--quiet", o->quiet, "Write the plug-in's log to DIR/demo.log instead of standard error");
    return [o] { return run_demo(*o); };
}
}  // namespace

extern const Subcommand subcommand_demo = {
    "demo",
    "Synthesise a head phantom with an air cavity, distort an EPI series with its field, correct it, "
    "print the error before and after and write a figure; needs no input",
    declare};

}  // namespace host
}  // namespace warpmender
