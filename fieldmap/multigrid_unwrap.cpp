// Weighted full-multigrid unwrapping: wrapped gradients, Laplacian, quality mask, solve, mean shift.
// Progress and refusals go to the log sink; nothing is saved here.
#include "fieldmap/multigrid_unwrap.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "fieldmap/filter_kernels.h"
#include "fieldmap/fmg.h"
#include "fieldmap/kernel_isa.h"
#include "hostlink/log_sink.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

datahandler<double>* invalid_volume() {
    auto* v = new datahandler<double>();
    v->setstatus(STATUS_INVALID);
    return v;
}

bool usable(const datahandler<double>* v) { return v != nullptr && v->getstatus() == STATUS_VALID && v->hasdata(); }

// A zero-filled buffer, or null when memory runs out (the plug-in never throws).
double* zeroed_buffer(long n) { return new (std::nothrow) double[static_cast<size_t>(n > 0 ? n : 1)](); }

// An uninitialised buffer of n doubles for the solve's volumes, or null when
// memory runs out. Fresh pages cost a fault each on first touch, and the solve
// touches tens of megabytes once per call: where the kernel offers huge pages
// on request, the buffer asks for them, a fault per 2 MB instead of per 4 kB.
double* volume_buffer(long n) {
    double* p = new (std::nothrow) double[static_cast<size_t>(n > 0 ? n : 1)];
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t(1) << 21;
    if (p != nullptr) {
        const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t to = reinterpret_cast<std::uintptr_t>(p + n) & ~(kHuge - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // a hint: failure is harmless
    }
#endif
    return p;
}

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

// --- the pipeline's passes, fused -----------------------------------------------------
// Each produces exactly the numbers of the steps it stands for: the same
// operations per voxel in the same order, and sums over the voxels in index order.

#if defined(__GNUC__) || defined(__clang__)
#define WARPMENDER_INLINE_BODY __attribute__((always_inline)) inline
#else
#define WARPMENDER_INLINE_BODY inline
#endif

// What displayintensityvalues sums up: extremes that start at 0 and the sum.
struct Summary {
    double mn = 0.0, mx = 0.0, sum = 0.0;
    void add(double v) {
        if (mn > v) mn = v;
        if (v > mx) mx = v;
        sum += v;
    }
};

// The text of datahandler::displayintensityvalues for these numbers.
std::string summary_text(const char* label, const Summary& s, long n) {
    char text[512];
    std::snprintf(text, sizeof text, "Values of %s:\n\tMaximum: %lf\n\tMinimum: %lf\n\tRange: %lf\n\tMean: %lf", label,
                  s.mx, s.mn, std::fabs(s.mn) + s.mx, s.sum / static_cast<double>(n));
    return text;
}

// getmean's single-precision running sum, one step.
inline float add_single(float sum, double v) { return static_cast<float>(static_cast<double>(sum) + v); }

// What the steps after the Laplacian sum up, gathered row by row while the
// Laplacian is formed, each sum in index order: displayintensityvalues and
// getmean() of the Laplacian, the sum of getmean_d() of the phase.
struct LaplacianSums {
    Summary laplacian;
    float laplacian_single = 0.0f;
    double phase = 0.0;
};

// getlaplacian(computegradient(phi, 1), computegradient(phi, 3), computegradient(phi, 5))
// of a single volume, without the three gradient volumes: each gradient is
// formed once, the backward one taken from the row before (gy) or the plane
// before (gz), kept in work (nx*ny + 3*nx doubles).
WARPMENDER_INLINE_BODY void laplacian_body(const double* phi, long nx, long ny, long nz, double* out, double* work,
                                           LaplacianSums& sums) {
    const std::ptrdiff_t plane = nx * ny;
    double* const gz_before = work;  // gz of the plane before, row by row
    double* gx = work + plane;
    double* gy_before = gx + nx;
    double* gy = gy_before + nx;
    const double* last = phi + (nz - 1) * plane;
    for (std::ptrdiff_t e = 0; e < plane; ++e) gz_before[e] = wrapped_gradient(last[e] - phi[e]);
    for (long z = 0; z < nz; ++z) {
        const double* p = phi + z * plane;
        const double* next_plane = z == nz - 1 ? phi : p + plane;
        const double* last_row = p + (ny - 1) * nx;
        for (long x = 0; x < nx; ++x) gy_before[x] = wrapped_gradient(last_row[x] - p[x]);
        for (long y = 0; y < ny; ++y) {
            const double* row = p + y * nx;
            const double* next_row = y == ny - 1 ? p : row + nx;
            const double* behind = next_plane + y * nx;
            for (long x = 0; x + 1 < nx; ++x) gx[x] = wrapped_gradient(row[x] - row[x + 1]);
            gx[nx - 1] = wrapped_gradient(row[nx - 1] - row[0]);
            for (long x = 0; x < nx; ++x) gy[x] = wrapped_gradient(row[x] - next_row[x]);
            double* gzr = gz_before + y * nx;
            double* o = out + z * plane + y * nx;
            // The X, Y and Z differences added to 0 in that order, as getlaplacian adds them.
            const double gz0 = wrapped_gradient(row[0] - behind[0]);
            o[0] = ((0.0 + (gx[0] - gx[nx - 1])) + (gy[0] - gy_before[0])) + (gz0 - gzr[0]);
            gzr[0] = gz0;
            for (long x = 1; x < nx; ++x) {
                const double g = wrapped_gradient(row[x] - behind[x]);
                o[x] = ((0.0 + (gx[x] - gx[x - 1])) + (gy[x] - gy_before[x])) + (g - gzr[x]);
                gzr[x] = g;
            }
            // The running sums depend on nothing but themselves: they overlap the next row's work.
            Summary s = sums.laplacian;
            float single = sums.laplacian_single;
            double phase = sums.phase;
            for (long x = 0; x < nx; ++x) {
                s.add(o[x]);
                single = add_single(single, o[x]);
                phase += row[x];
            }
            sums.laplacian = s;
            sums.laplacian_single = single;
            sums.phase = phase;
            double* t = gy_before;
            gy_before = gy;
            gy = t;
        }
    }
}

void laplacian_baseline(const double* phi, long nx, long ny, long nz, double* out, double* work, LaplacianSums& sums) {
    laplacian_body(phi, nx, ny, nz, out, work, sums);
}
#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void laplacian_avx2(const double* phi, long nx, long ny, long nz, double* out, double* work,
                                           LaplacianSums& sums) {
    laplacian_body(phi, nx, ny, nz, out, work, sums);
}
#endif

void wrapped_laplacian(const double* phi, long nx, long ny, long nz, double* out, double* work, LaplacianSums& sums) {
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return laplacian_avx2(phi, nx, ny, nz, out, work, sums);
#endif
    laplacian_baseline(phi, nx, ny, nz, out, work, sums);
}

// The summary of v and getmean() of v in one pass: the two running sums
// depend on nothing but themselves, so they overlap.
float summarise(const double* v, long n, Summary& s) {
    float single = 0.0f;
    for (long i = 0; i < n; ++i) {
        s.add(v[i]);
        single = add_single(single, v[i]);
    }
    return single / static_cast<float>(n);
}

// removemean of v whose getmean() is known, and the summary of the result.
void subtract_and_summarise(double* v, long n, float mean, Summary& s) {
    const double m = static_cast<double>(mean);
    for (long i = 0; i < n; ++i) {
        v[i] -= m;
        s.add(v[i]);
    }
}

// assumesmoothness of a valid phase whose getmean_d() is phase_mean and u.
void shift_to_mean(double phase_mean, double* u, long n) {
    float single = 0.0f;
    for (long i = 0; i < n; ++i) single = add_single(single, u[i]);
    const double shift = phase_mean - static_cast<double>(single / static_cast<float>(n));
    for (long i = 0; i < n; ++i) u[i] += shift;
}

// The same with getmean_d() of the phase in the pass over u.
void shift_to_mean(const double* phase, double* u, long n) {
    double sum = 0.0;
    float single = 0.0f;
    for (long i = 0; i < n; ++i) {
        sum += phase[i];
        single = add_single(single, u[i]);
    }
    const double shift = sum / static_cast<double>(n) - static_cast<double>(single / static_cast<float>(n));
    for (long i = 0; i < n; ++i) u[i] += shift;
}

// The Laplacian of a valid single-volume phase, with the log lines of the
// gradient and Laplacian steps; null (nothing logged) for anything else or when
// memory runs out, which the steps themselves then handle and report.
datahandler<double>* laplacian_of_single_volume(datahandler<double>* phase, LaplacianSums& sums) {
    if (!usable(phase) || phase->getnt() != 1) return nullptr;
    const long nx = phase->getnx(), ny = phase->getny(), nz = phase->getnz(), n = phase->getnrofelems();
    if (n != nx * ny * nz) return nullptr;
    std::unique_ptr<double[]> out(volume_buffer(n));
    std::unique_ptr<double[]> work(new (std::nothrow) double[static_cast<size_t>(nx * ny + 3 * nx)]);
    if (!out || !work) return nullptr;
    for (const char* line :
         {"X direction...", "Y direction...", "Z direction...", protocol::kGetLaplacian, "Add 2nd difference for X...",
          "Add 2nd difference for Y...", "Add 2nd difference for Z..."})
        log_line(line);
    wrapped_laplacian(phase->getdata(), nx, ny, nz, out.get(), work.get(), sums);
    auto* l = new datahandler<double>();
    phase->copyheader(l);
    l->setdata(out.release());
    return l;
}

}  // namespace

datahandler<double>* multigrid_unwrapped_phase(datahandler<double>* phase, datahandler<double>* magnitude, bool mask,
                                               int cycles, int iterations) {
    if (phase == nullptr) return invalid_volume();
    // Refused before any work: gradients of a grid the solver cannot take would be wasted memory.
    if (usable(phase) && !solvable_grid(phase)) return invalid_volume();

    log_line("Compute x, y and z gradients...");
    LaplacianSums sums;
    std::unique_ptr<datahandler<double>> laplacian(laplacian_of_single_volume(phase, sums));
    const bool summed = laplacian != nullptr;  // sums hold the phase's; the Laplacian's until a mask changes it
    if (!laplacian) {
        std::unique_ptr<datahandler<double>> gx(computegradient(phase, 1));
        std::unique_ptr<datahandler<double>> gy(computegradient(phase, 3));
        std::unique_ptr<datahandler<double>> gz(computegradient(phase, 5));
        if (gx->getstatus() != STATUS_VALID || gy->getstatus() != STATUS_VALID || gz->getstatus() != STATUS_VALID) {
            log_line("Data invalid.");
            return invalid_volume();
        }
        log_line(protocol::kGetLaplacian);
        laplacian.reset(getlaplacian(gx.get(), gy.get(), gz.get()));
    }
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
    // displayintensityvalues, removemean and displayintensityvalues again, in two passes.
    const long n = laplacian->getnrofelems();
    Summary before, after;
    float mean;
    if (summed && !mask) {
        before = sums.laplacian;
        mean = sums.laplacian_single / static_cast<float>(n);
    } else {
        mean = summarise(laplacian->getdata(), n, before);
    }
    log_line(summary_text("laplacian", before, n));
    log_line("Remove mean...");
    subtract_and_summarise(laplacian->getdata(), n, mean, after);
    log_line(summary_text("laplacian, mean removed", after, n));

    log_line(protocol::kSolve);
    datahandler<double>* u = fullmultigrid(laplacian.get(), false, cycles, iterations);
    laplacian.reset();
    if (u->getstatus() != STATUS_VALID) return u;  // fullmultigrid said why

    log_line("Apply smoothing...");
    bool smoothed = false;
    if (summed && u->getnrofelems() == phase->getnrofelems()) {
        shift_to_mean(sums.phase / static_cast<double>(phase->getnrofelems()), u->getdata(), u->getnrofelems());
        smoothed = true;
    } else {
        smoothed = assumesmoothness(phase, u);
    }
    if (!smoothed) {
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
                const std::ptrdiff_t next =
                    direction == 3 ? (y == ny - 1 ? -(ny - 1) * nx : nx) : (z == nz - 1 ? -(nz - 1) * plane : plane);
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
    std::unique_ptr<double[]> u(volume_buffer(n));  // fmg writes all of it first
    std::unique_ptr<double[]> scratch(volume_buffer(s));
    if (!u || !scratch) {
        log_out_of_memory("multigrid solver", n + s);
        return invalid_volume();
    }
    const double param[5] = {1.0, 1.0, 1.0, 1.0, 0.0};
    // a = 0.0001 at every voxel, given once rather than as a volume of it.
    fmg_uniform(dims, 0.0001, rhs->getdata(), param, cycles, iterations, u.get(), scratch.get());

    auto* result = new datahandler<double>();
    rhs->copyheader(result);
    result->setnt(1);  // the solution holds the first volume only; the count must match the buffer
    result->setdata(u.release());
    return result;
}

bool assumesmoothness(datahandler<double>* phase, datahandler<double>* u) {
    if (!usable(phase) || !usable(u)) return false;
    if (phase->getnrofelems() == u->getnrofelems()) {
        shift_to_mean(phase->getdata(), u->getdata(), u->getnrofelems());
        return true;
    }
    const double shift = phase->getmean_d() - static_cast<double>(u->getmean());
    double* d = u->getdata();
    const long n = u->getnrofelems();
    for (long i = 0; i < n; ++i) d[i] += shift;
    return true;
}

}  // namespace warpmender
