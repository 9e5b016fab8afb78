// Weighted full-multigrid unwrapping: wrapped gradients, Laplacian, quality mask, solve, mean shift.
#include "fieldmap/multigrid_unwrap.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>

#include "core/helper_tools.h"
#include "fieldmap/filters.h"
#include "fieldmap/fmg.h"
#include "io/fmr_writer.h"
#include "plugin/host_binding.h"

namespace warpmender {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

void log_line(const char* text) {
    if (hs::hsLogText) hs::hsLogText(text);
}
void log_line(const std::string& text) { log_line(text.c_str()); }

datahandler<double>* invalid_volume() {
    auto* v = new datahandler<double>();
    v->setstatus(STATUS_INVALID);
    return v;
}

bool usable(const datahandler<double>* v) {
    return v != nullptr && v->getstatus() == STATUS_VALID && v->hasdata();
}

// A zero-filled buffer, or null when memory runs out (the plug-in never throws).
double* zeroed_buffer(long n) { return new (std::nothrow) double[static_cast<size_t>(n > 0 ? n : 1)](); }

void log_out_of_memory(const char* what, long n) {
    char text[200];
    std::snprintf(text, sizeof text, "Not enough memory for the %s (%ld values).", what, n);
    log_line(text);
}

// The solver halves every axis down to one voxel within 16 levels, which
// holds up to 32768 voxels per axis; beyond that its coarsest grid would not
// be a single voxel and the result garbage, so such grids are refused.
bool solvable_grid(const datahandler<double>* v) {
    const long n[3] = {v->getnx(), v->getny(), v->getnz()};
    char text[256];
    if (n[0] < 1 || n[1] < 1 || n[2] < 1) {
        std::snprintf(text, sizeof text, "Multigrid unwrapping refused: the grid of %ld x %ld x %ld voxels is empty.",
                      n[0], n[1], n[2]);
        log_line(text);
        return false;
    }
    if (n[0] > kFmgMaxAxis || n[1] > kFmgMaxAxis || n[2] > kFmgMaxAxis) {
        std::snprintf(text, sizeof text,
                      "Multigrid unwrapping refused: the grid of %ld x %ld x %ld voxels exceeds the solver's limit "
                      "of %d voxels along each axis.",
                      n[0], n[1], n[2], kFmgMaxAxis);
        log_line(text);
        return false;
    }
    const int dims[3] = {int(n[0]), int(n[1]), int(n[2])};
    if (fmg_scratchsize(dims) < 0) {
        std::snprintf(text, sizeof text,
                      "Multigrid unwrapping refused: the grid of %ld x %ld x %ld voxels needs more work memory "
                      "than the solver can address (%ld values).",
                      n[0], n[1], n[2], fmg_scratchsize_long(dims));
        log_line(text);
        return false;
    }
    return true;
}

// helperTools::modulo(d + pi, 2 pi) + pi, written out so the loop makes no calls.
inline double wrapped_gradient(double d) {
    const double a = d + kPi;
    return kPi + (a - std::floor(a / kTwoPi) * kTwoPi);
}

}  // namespace

std::string multigrid_suffix(int cycles, int iterations) {
    char text[96];
    std::snprintf(text, sizeof text, "%s%i%s%i%s", "_unwrapped", cycles, "vcyc", iterations, "its_smoothed");
    return text;
}

datahandler<double>* unwrap_multigrid(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                      int cycles, int iterations) {
    if (phase == nullptr || phase->getstatus() != STATUS_VALID) return invalid_volume();
    return fullmultigridsolving(phase, magnitude, mask, cycles, iterations);
}

datahandler<double>* fullmultigridsolving(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                          int cycles, int iterations) {
    if (phase == nullptr) return invalid_volume();
    // Refused before any work: gradients of a grid the solver cannot take would be wasted memory.
    if (usable(phase) && !solvable_grid(phase)) return invalid_volume();

    log_line("Compute x, y and z gradients...");
    std::unique_ptr<datahandler<double>> gx(computegradient(phase, 1));
    std::unique_ptr<datahandler<double>> gy(computegradient(phase, 3));
    std::unique_ptr<datahandler<double>> gz(computegradient(phase, 5));
    if (gx->getstatus() != STATUS_VALID || gy->getstatus() != STATUS_VALID || gz->getstatus() != STATUS_VALID) {
        log_line("Data invalid.");
        return invalid_volume();
    }

    log_line("Get Laplacian...");
    std::unique_ptr<datahandler<double>> laplacian(getlaplacian(gx.get(), gy.get(), gz.get()));
    gx.reset();
    gy.reset();
    gz.reset();
    if (!usable(laplacian.get())) {
        log_line("Data invalid.");
        return invalid_volume();
    }

    if (mask) {
        log_line("Compute and apply quality mask...");
        std::unique_ptr<datahandler<double>> quality(computequalitymask(magnitude));
        // Solving unmasked is what follows; the user asked for a mask, so say so.
        if (!applymask(laplacian.get(), quality.get()))
            log_line("Quality mask could not be applied (magnitude missing, invalid or of another size): "
                     "the Laplacian is solved unmasked.");
    }
    log_line(laplacian->displayintensityvalues("laplacian"));

    log_line("Remove mean...");
    removemean(laplacian.get());
    log_line(laplacian->displayintensityvalues("laplacian, mean removed"));

    log_line("Solve...");
    datahandler<double>* u = fullmultigrid(laplacian.get(), false, cycles, iterations);
    laplacian.reset();
    if (u->getstatus() != STATUS_VALID) return u;  // fullmultigrid said why

    log_line("Apply smoothing...");
    if (assumesmoothness(phase, u)) {
        const std::string suffix = multigrid_suffix(cycles, iterations);
        const std::string name = help.getbasename(help.createFileName(u->getname(), suffix.c_str()).c_str(), false, false);
        log_line(name);
        saveashs2fmr(u, name.c_str(), false, false);  // a failed save leaves the result usable
        u->setname(name.c_str());
    } else {
        u->setstatus(STATUS_INVALID);
        log_line("Smoothing did not work.");
    }
    return u;
}

datahandler<double>* computegradient(datahandler<double>* phase, int direction) {
    auto* g = new datahandler<double>();
    if (phase == nullptr) {
        log_line("Unvalid image.");
        g->setstatus(STATUS_INVALID);
        return g;
    }
    phase->copyheader(g);
    const long count = phase->getnrofelems();
    double* buffer = zeroed_buffer(count);
    if (buffer == nullptr) {
        log_out_of_memory("gradient", count);
        g->setstatus(STATUS_INVALID);
        return g;
    }
    g->setdata(buffer);
    if (phase->getstatus() != STATUS_VALID || !phase->hasdata()) {
        log_line("Unvalid image.");
        g->setstatus(STATUS_INVALID);
        return g;
    }
    switch (direction) {
        case 1: log_line("X direction..."); break;
        case 3: log_line("Y direction..."); break;
        case 5: log_line("Z direction..."); break;
        default:
            log_line("Unknown gradient direction.");
            g->setstatus(STATUS_INVALID);
            return g;
    }
    const long nx = phase->getnx(), ny = phase->getny(), nz = phase->getnz();
    const std::ptrdiff_t plane = nx * ny;
    const double* phi = phase->getdata();
    // D = phi(p) - phi(next voxel along the axis), the last index followed by 0.
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const std::ptrdiff_t row = z * plane + y * nx;
            const double* p = phi + row;
            double* out = buffer + row;
            if (direction == 1) {
                for (long x = 0; x + 1 < nx; ++x) out[x] = wrapped_gradient(p[x] - p[x + 1]);
                out[nx - 1] = wrapped_gradient(p[nx - 1] - p[0]);
            } else {
                const std::ptrdiff_t next = direction == 3 ? (y == ny - 1 ? -(ny - 1) * nx : nx)
                                                           : (z == nz - 1 ? -(nz - 1) * plane : plane);
                for (long x = 0; x < nx; ++x) out[x] = wrapped_gradient(p[x] - p[x + next]);
            }
        }
    return g;
}

datahandler<double>* getlaplacian(datahandler<double>* gx, datahandler<double>* gy, datahandler<double>* gz) {
    if (!usable(gx) || !usable(gy) || !usable(gz)) return invalid_volume();
    const long nx = gx->getnx(), ny = gx->getny(), nz = gx->getnz();
    for (const datahandler<double>* g : {gy, gz})
        if (g->getnx() != nx || g->getny() != ny || g->getnz() != nz) return invalid_volume();
    auto* l = new datahandler<double>();
    gx->copyheader(l);
    double* out = zeroed_buffer(gx->getnrofelems());
    if (out == nullptr) {
        log_out_of_memory("Laplacian", gx->getnrofelems());
        l->setstatus(STATUS_INVALID);
        return l;
    }
    l->setdata(out);
    const std::ptrdiff_t plane = nx * ny;
    const double* x_ = gx->getdata();
    const double* y_ = gy->getdata();
    const double* z_ = gz->getdata();
    // Backward differences, previous of index 0 being the last; the three axes
    // are added one after the other, as the sums are ordered X, Y, Z.
    log_line("Add 2nd difference for X...");
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const std::ptrdiff_t row = z * plane + y * nx;
            const double* g = x_ + row;
            double* o = out + row;
            o[0] += g[0] - g[nx - 1];
            for (long x = 1; x < nx; ++x) o[x] += g[x] - g[x - 1];
        }
    log_line("Add 2nd difference for Y...");
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const std::ptrdiff_t row = z * plane + y * nx;
            const std::ptrdiff_t prev = y == 0 ? (ny - 1) * nx : -nx;
            const double* g = y_ + row;
            double* o = out + row;
            for (long x = 0; x < nx; ++x) o[x] += g[x] - g[x + prev];
        }
    log_line("Add 2nd difference for Z...");
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const std::ptrdiff_t row = z * plane + y * nx;
            const std::ptrdiff_t prev = z == 0 ? (nz - 1) * plane : -plane;
            const double* g = z_ + row;
            double* o = out + row;
            for (long x = 0; x < nx; ++x) o[x] += g[x] - g[x + prev];
        }
    return l;
}

datahandler<double>* computequalitymask(datahandler<double>* magnitude) {
    if (!usable(magnitude)) return invalid_volume();
    datahandler<double>* q = segmentdatahandlerobject(magnitude, 200.0, 1.0);
    return q != nullptr ? q : invalid_volume();
}

bool applymask(datahandler<double>* v, datahandler<double>* mask) {
    if (!usable(v) || !usable(mask) || v->getnrofelems() != mask->getnrofelems()) return false;
    double* d = v->getdata();
    const double* m = mask->getdata();
    const long n = v->getnrofelems();
    for (long i = 0; i < n; ++i) d[i] = m[i] * d[i];
    return true;
}

bool removemean(datahandler<double>* v) {
    if (!usable(v)) return false;
    const double m = static_cast<double>(v->getmean());  // single precision, as results have always had it
    double* d = v->getdata();
    const long n = v->getnrofelems();
    for (long i = 0; i < n; ++i) d[i] -= m;
    return true;
}

datahandler<double>* fullmultigrid(datahandler<double>* rhs, bool verbose, int cycles, int iterations) {
    if (!usable(rhs)) {
        log_line("Multigrid solve refused: the right-hand side is missing or invalid.");
        return invalid_volume();
    }
    if (!solvable_grid(rhs)) return invalid_volume();
    int dims[4] = {int(rhs->getnx()), int(rhs->getny()), int(rhs->getnz()), 1};
    const long n = long(dims[0]) * dims[1] * dims[2];
    const int s = fmg_scratchsize(dims);
    if (verbose) {
        char text[200];
        std::snprintf(text, sizeof text, "Scratchsize: %i, dims[0:%i], dims[1: %i], dims[2: %i], dims[3: %i]", s,
                      dims[0], dims[1], dims[2], dims[3]);
        log_line(text);
    }
    std::unique_ptr<double[]> a(new (std::nothrow) double[static_cast<size_t>(n)]);
    std::unique_ptr<double[]> u(zeroed_buffer(n));
    std::unique_ptr<double[]> scratch(new (std::nothrow) double[static_cast<size_t>(s)]);
    if (!a || !u || !scratch) {
        log_out_of_memory("multigrid solver", 2 * n + s);
        return invalid_volume();
    }
    for (long i = 0; i < n; ++i) a[i] = 0.0001;
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    fmg(dims, a.get(), rhs->getdata(), 2, param, cycles, iterations, u.get(), scratch.get());

    auto* result = new datahandler<double>();
    rhs->copyheader(result);
    result->setnt(1);  // the solution holds the first volume only; the count must match the buffer
    result->setdata(u.release());
    return result;
}

bool assumesmoothness(datahandler<double>* phase, datahandler<double>* u) {
    if (!usable(phase) || !usable(u)) return false;
    const double shift = phase->getmean_d() - static_cast<double>(u->getmean());
    double* d = u->getdata();
    const long n = u->getnrofelems();
    for (long i = 0; i < n; ++i) d[i] += shift;
    return true;
}

// --- the parameter record of the interactive tool ---------------------------------------

std::string fmgparams_text(const fmgparams& p) {
    std::string t = "~~~ unwrapping (WFMG) parameters file ~~~\n\n";
    auto entry = [&t](const char* key, const std::string& value) {
        t += key;
        t += "\n";
        t += value;
        t += "\n";
    };
    entry("quality_mode:", p.quality_mode);
    entry("debug_flag:", std::to_string(p.debug_flag));
    entry("num_gaussseidel_iter:", std::to_string(p.num_gaussseidel_iter));
    entry("thresh_on_quality_map:", std::to_string(p.thresh_on_quality_map));
    entry("template_size:", std::to_string(p.template_size));
    entry("num_fmg_cycles:", std::to_string(p.num_fmg_cycles));
    entry("nrpix_thickening:", std::to_string(p.nrpix_thickening));
    entry("mask_file:", p.mask_file);
    entry("cross_corr_file:", p.cross_corr_file);
    entry("differential_phase_image_name:", p.differential_phase_image_name);
    t += "\n";
    return t;
}

std::string fmgparams_path(const fmgparams& p) {
    std::string dir = help.getfilepath(p.differential_phase_image_name);
    // getfilepath says "-1" for a bare name; "-1unwrapparams_fmg.txt" is no place for the file.
    if (dir == "-1") dir.clear();
    return dir + "unwrapparams_fmg.txt";
}

bool write_fmgparams(const fmgparams& p) {
    log_line("Start writing WFMG parameters file...");
    const std::string path = fmgparams_path(p);
    const std::string temporary = path + ".tmp";
    const std::string text = fmgparams_text(p);
    bool ok = false;
    if (std::FILE* f = std::fopen(temporary.c_str(), "wb")) {
        ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        ok = (std::fflush(f) == 0) && ok;
        ok = (std::fclose(f) == 0) && ok;
        ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
        if (!ok) std::remove(temporary.c_str());
    }
    if (!ok) {
        log_line("Writing of WFMG parameters to disk did not succeed.");
        return false;
    }
    log_line("Wrote file " + path);
    return true;
}

void log_fmgparams(const fmgparams& p) {
    auto yes = [](bool b) { return b ? "yes" : "no"; };
    char text[1200];
    std::snprintf(text, sizeof text, "Quality mode for unwrapping: %s", p.quality_mode);
    log_line(text);
    std::snprintf(text, sizeof text, "Save intermediate files: %s\nNumber of Gauss-Seidel iterations: %i",
                  yes(p.debug_flag == 1), p.num_gaussseidel_iter);
    log_line(text);
    std::snprintf(text, sizeof text, "Apply threshold to quality map: %s\nTemplate size: %i",
                  yes(p.thresh_on_quality_map == 1), p.template_size);
    log_line(text);
    std::snprintf(text, sizeof text,
                  "Number of full-multigrid cycles: %i\nNumber of pixels for thickening quality mask: %i",
                  p.num_fmg_cycles, p.nrpix_thickening);
    log_line(text);
    std::snprintf(text, sizeof text, "Byte-file of masks for undefined phase values: %s", p.mask_file);
    log_line(text);
    std::snprintf(text, sizeof text, "Byte-file of cross-correlation values: %s", p.cross_corr_file);
    log_line(text);
    std::snprintf(text, sizeof text, "Name of unwrapped differential phase image: %s",
                  p.differential_phase_image_name);
    log_line(text);
    std::snprintf(text, sizeof text, "FMG parameters valid: %s", yes(p.status == 89));
    log_line(text);
}

}  // namespace warpmender
