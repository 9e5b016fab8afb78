// Bench helper: writes the end-to-end run and unwraps the demo phantom for the comparison.
//   bench_data write DIR NT NX NY NZ   phantom field map + EPI series as uncompressed .nii; prints the correct options
//   bench_data unwrap DIR              demo phantom 128x128x64: our multigrid and quality-guided unwrapping, timed,
//                                      plus raw files for Python
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli/phantom_files.h"
#include "core/atomic_file.h"
#include "core/error.h"
#include "fieldmap/multigrid_unwrap.h"
#include "fieldmap/quality_unwrap.h"
#include "formats/nifti_document.h"
#include "host/host.h"
#include "hostlink/host_binding.h"
#include "plugin/steps/multigrid_unwrap.h"
#include "sim/dataset.h"
#include "sim/fieldmap_scan.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A float image of the phantom placed by the grid's affine, to be written uncompressed.
host::Document image(const sim::Grid& g, const std::vector<float>& values, int nt, const std::string& name) {
    return host::phantom_document(g, values, nt, name, false);
}

void write_nii(const fs::path& path, const host::Document& doc) {
    host::AtomicFile file(path.string(), ".nii");
    host::write_nifti(doc, file);
    file.commit();
}

int write_run(const fs::path& dir, int nt, int nx, int ny, int nz) {
    sim::DatasetParams p = host::demo_dataset_params(false);
    // The demo's field of view (256 x 256 x 128 mm) on the requested matrix.
    p.phantom.grid = sim::Grid{nx, ny, nz, 256.0 / nx, 256.0 / ny, 128.0 / nz};
    p.epi.nt = nt;
    const sim::Dataset ds = sim::make_dataset(p);
    fs::create_directories(dir);
    write_nii(dir / "phase.nii", image(ds.grid, ds.phase, 1, "phase"));
    write_nii(dir / "magnitude.nii", image(ds.grid, ds.magnitude, 1, "magnitude"));
    write_nii(dir / "bold.nii", image(ds.grid, ds.epi, ds.nt, "bold"));
    std::printf("--echo-time-diff %.17g --bandwidth %.17g --pe-dir %d\n", ds.echo_time_diff_ms, ds.bandwidth_pe_hz,
                ds.pe_dir);
    return 0;
}

void write_raw(const fs::path& path, const std::vector<double>& v) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(double)));
    if (!f) throw Error("bench_data: cannot write " + path.string());
}

// RMS of (a - b) over the mask after removing the mean difference there.
double rms_error(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& mask) {
    double sum = 0.0, n = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        if (mask[i] > 0) sum += a[i] - b[i], n += 1;
    const double mean = sum / n;
    double sq = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        if (mask[i] > 0) sq += (a[i] - b[i] - mean) * (a[i] - b[i] - mean);
    return std::sqrt(sq / n);
}

// The demo's phantom: wrapped phase in radians, the true (unwrapped) phase
// 2 pi f dTE and the magnitude mask (> 200) go to raw float64 files; the
// plug-in's multigrid unwrapping (3 cycles of 5 iterations, no mask, as
// `correct` runs it) and the quality-guided unwrapping (with the magnitude)
// are each timed on the best of three runs, taking turns.
int unwrap(const fs::path& dir) {
    const sim::Dataset ds = sim::make_dataset(host::demo_dataset_params(false));
    const sim::Grid& g = ds.grid;
    const size_t n = g.voxels();
    std::vector<double> wrapped(n), truth(n), mask(n);
    for (size_t i = 0; i < n; ++i) {
        wrapped[i] = sim::stored_to_radians(ds.phase[i]);
        truth[i] = 2.0 * M_PI * ds.field_hz[i] * ds.echo_time_diff_ms * 1e-3;
        mask[i] = ds.magnitude[i] > 200.0f ? 1.0 : 0.0;
    }
    fs::create_directories(dir);
    write_raw(dir / "wrapped.f64", wrapped);
    write_raw(dir / "truth.f64", truth);
    write_raw(dir / "mask.f64", mask);

    host::instance().reset();
    InitHSAccess();
    double best = 1e300, best_quality = 1e300;
    std::vector<double> result(n), quality(n);
    const int dims[3] = {g.nx, g.ny, g.nz};
    for (int run = 0; run < 3; ++run) {
        const Clock::time_point tq = Clock::now();
        if (!quality_unwrap(wrapped.data(), ds.magnitude.data(), dims, quality.data()))
            throw Error("bench_data unwrap: the quality-guided unwrapping refused the grid");
        best_quality = std::min(best_quality, seconds_since(tq));
        datahandler<double> phase(new double[n], g.nx, g.ny, g.nz, 1, 8);
        std::copy(wrapped.begin(), wrapped.end(), phase.getdata());
        phase.setstatus(STATUS_VALID);
        const Clock::time_point t0 = Clock::now();
        datahandler<double>* u = fullmultigridsolving(&phase, nullptr, false, 3, 5);
        best = std::min(best, seconds_since(t0));
        if (u == nullptr || u->getstatus() != STATUS_VALID) throw Error("bench_data unwrap: the solve failed");
        std::copy(u->getdata(), u->getdata() + n, result.begin());
        delete u;
        host::instance().reset();
    }
    std::printf("{\"seconds\": %.6f, \"rms\": %.6g, \"quality_seconds\": %.6f, \"quality_rms\": %.6g, "
                "\"nx\": %d, \"ny\": %d, \"nz\": %d}\n",
                best, rms_error(result, truth, mask), best_quality, rms_error(quality, truth, mask), g.nx, g.ny, g.nz);
    return 0;
}

}  // namespace
}  // namespace warpmender

int main(int argc, char** argv) {
    using namespace warpmender;
    try {
        const std::string what = argc > 1 ? argv[1] : "";
        if (what == "write" && argc == 7)
            return write_run(argv[2], std::stoi(argv[3]), std::stoi(argv[4]), std::stoi(argv[5]), std::stoi(argv[6]));
        if (what == "unwrap" && argc == 3) return unwrap(argv[2]);
        std::fprintf(stderr, "usage: bench_data write DIR NT NX NY NZ | unwrap DIR\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_data: %s\n", e.what());
        return 2;
    }
}
