// Undistortion along the phase-encoding axis: sampling plan, gather pass and the saved result.
#include "fieldmap/undistort.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "core/helper_tools.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "plugin/display_funcs.h"
#include "plugin/host_binding.h"

namespace warpmender {
namespace {

constexpr long kBlockTarget = 8192;  // voxels of the working buffer for x and y

// floor(p) or ceil(p) as an axis coordinate, clamped to 0..top (= n - 1) in
// double before the conversion: the same index as converting first and
// clamping after for every representable index, and defined for huge or NaN
// positions (NaN gives 0; its weight is NaN, so the value is NaN whichever
// neighbour is read). Compare-and-select, so the row loop below vectorises.
inline double clamp_axis(double f, double top) {
    const double g = f > 0.0 ? f : 0.0;
    return g < top ? g : top;
}

// One row of the plan along x. Axis 0: the row itself is the axis; axes 1 and
// 2: the axis coordinate c is that of the row, and each x has its own line.
// base is the offset of the row's voxel x = 0 with axis coordinate 0.
template <int Axis, bool Plus, typename I>
void build_row(const double* shift, long nx, double c, double top, I base, I stride, I* lo, I* hi, double* w) {
    for (long x = 0; x < nx; ++x) {
        const double s = shift[x];
        const double cd = Axis == 0 ? static_cast<double>(x) : c;
        const double p = Plus ? cd + s : cd - s;
        const double fl = std::floor(p);
        w[x] = p - fl;
        const I line = Axis == 0 ? base : static_cast<I>(base + x);
        lo[x] = line + static_cast<I>(clamp_axis(fl, top)) * stride;
        hi[x] = line + static_cast<I>(clamp_axis(std::ceil(p), top)) * stride;
    }
}

template <int Axis, bool Plus, typename I>
void build_tables(const double* shift, long nx, long ny, long nz, I* lo, I* hi, double* w) {
    const long n = Axis == 0 ? nx : Axis == 1 ? ny : nz;
    const I stride = static_cast<I>(Axis == 0 ? 1 : Axis == 1 ? nx : nx * ny);
    const double top = static_cast<double>(n - 1);
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const long row = nx * (y + ny * z);
            const long c = Axis == 0 ? 0 : Axis == 1 ? y : z;
            const I base = static_cast<I>(row - c * static_cast<long>(stride));
            build_row<Axis, Plus>(shift + row, nx, static_cast<double>(c), top, base, stride, lo + row, hi + row,
                                  w + row);
        }
}

// Direction codes 1..6: axis x, y, z in pairs; odd codes add the shift.
template <typename I>
void build_tables(const double* shift, long nx, long ny, long nz, int direction, I* lo, I* hi, double* w) {
    switch (direction) {
        case 1: build_tables<0, true>(shift, nx, ny, nz, lo, hi, w); break;
        case 2: build_tables<0, false>(shift, nx, ny, nz, lo, hi, w); break;
        case 3: build_tables<1, true>(shift, nx, ny, nz, lo, hi, w); break;
        case 4: build_tables<1, false>(shift, nx, ny, nz, lo, hi, w); break;
        case 5: build_tables<2, true>(shift, nx, ny, nz, lo, hi, w); break;
        case 6: build_tables<2, false>(shift, nx, ny, nz, lo, hi, w); break;
        default: break;
    }
}

// out[v] for the voxels of the tables given, from a copy of the volume that
// starts at voxel base (0 for the whole volume): block[k] holds voxel base + k.
template <typename I>
void gather_block(const I* lo, const I* hi, const double* w, const double* block, long base, double* out, long n) {
    for (long v = 0; v < n; ++v) {
        const double wv = w[v];
        out[v] = block[static_cast<long>(hi[v]) - base] * wv + block[static_cast<long>(lo[v]) - base] * (1.0 - wv);
    }
}

}  // namespace

bool UndistortPlan::build(const double* shift, long nx, long ny, long nz, int direction) {
    lo32_.clear(); hi32_.clear(); lo64_.clear(); hi64_.clear(); w_.clear();
    if (direction < 1 || direction > 6 || shift == nullptr || nx <= 0 || ny <= 0 || nz <= 0) return false;
    const long n = nx * ny * nz;
    try {
        w_.resize(static_cast<size_t>(n));
        if (n <= static_cast<long>(std::numeric_limits<int32_t>::max())) {
            lo32_.resize(static_cast<size_t>(n));
            hi32_.resize(static_cast<size_t>(n));
            build_tables(shift, nx, ny, nz, direction, lo32_.data(), hi32_.data(), w_.data());
        } else {
            lo64_.resize(static_cast<size_t>(n));
            hi64_.resize(static_cast<size_t>(n));
            build_tables(shift, nx, ny, nz, direction, lo64_.data(), hi64_.data(), w_.data());
        }
    } catch (const std::bad_alloc&) {
        lo32_.clear(); hi32_.clear(); lo64_.clear(); hi64_.clear(); w_.clear();
        return false;
    }
    // Whole rows (x) or slices (y) up to about 64 KiB, so that the working
    // buffer stays in the first-level cache; the whole volume for z.
    const long unit = direction <= 2 ? nx : direction <= 4 ? nx * ny : n;
    const long rows = unit >= kBlockTarget ? 1 : kBlockTarget / unit;
    block_ = std::min(n, unit * rows);
    return true;
}

void UndistortPlan::apply(const double* in, double* out) const { apply(in, 0, voxels(), out); }

void UndistortPlan::apply(const double* in, long first, long count, double* out) const {
    const double* w = w_.data() + first;
    if (!lo32_.empty())
        gather_block(lo32_.data() + first, hi32_.data() + first, w, in, 0, out, count);
    else
        gather_block(lo64_.data() + first, hi64_.data() + first, w, in, 0, out, count);
}

// The block is copied out first and the results gathered from the copy
// straight into the volume: the copy streams in order and the volume's lines
// are then already in cache for the writes. Gathering from the volume into
// the working buffer and copying back ran at half this speed.
void UndistortPlan::correct(double* volume, double* work) const {
    const long n = voxels();
    const double* w = w_.data();
    for (long first = 0; first < n; first += block_) {
        const long count = std::min(block_, n - first);
        std::memcpy(work, volume + first, sizeof(double) * static_cast<size_t>(count));
        if (!lo32_.empty())
            gather_block(lo32_.data() + first, hi32_.data() + first, w + first, work, first, volume + first, count);
        else
            gather_block(lo64_.data() + first, hi64_.data() + first, w + first, work, first, volume + first, count);
    }
}

// Volume after volume: the tables of a 96 x 96 x 60 volume stay in the last-level
// cache, and the series streams in order (block by block across the volumes
// touched 300 pages a block and ran slower).
void UndistortPlan::correct_series(double* series, long nt, double* work) const {
    const long n = voxels();
    for (long t = 0; t < nt; ++t) correct(series + t * n, work);
}

bool undistort1d(datahandler<double>* epi, datahandler<double>* pixelshift, fieldmapparams* params) {
    if (epi == nullptr || pixelshift == nullptr || params == nullptr) {
        hs::hsLogText("Undistortion needs an EPI series, a pixel shift map and the acquisition parameters.");
        return false;
    }
    const long nx = epi->getnx(), ny = epi->getny(), nz = epi->getnz(), nt = epi->getnt();
    const int direction = params->phaseEncodingDir;
    char line[256];
    std::snprintf(line, sizeof line, "Undistort in direction: %s", displayFuncs().getPhaseEncodingDirString(direction));
    hs::hsLogText(line);

    // Everything that could refuse the call is checked before the EPI changes.
    if (direction < 1 || direction > 6) {
        std::snprintf(line, sizeof line,
                      "Phase-encoding direction %d is not one of 1 to 6; the EPI data are left unchanged.", direction);
        hs::hsLogText(line);
        return false;
    }
    if (pixelshift->getnx() != nx || pixelshift->getny() != ny || pixelshift->getnz() != nz) {
        std::snprintf(line, sizeof line,
                      "The pixel shift map (%ld x %ld x %ld) is not on the grid of the EPI (%ld x %ld x %ld); "
                      "the EPI data are left unchanged.",
                      pixelshift->getnx(), pixelshift->getny(), pixelshift->getnz(), nx, ny, nz);
        hs::hsLogText(line);
        return false;
    }
    if (!epi->hasdata() || !pixelshift->hasdata() || nx <= 0 || ny <= 0 || nz <= 0) {
        hs::hsLogText("No EPI data or no pixel shift map to undistort with.");
        return false;
    }
    UndistortPlan plan;
    std::unique_ptr<double[]> work;
    if (plan.build(pixelshift->getdata(), nx, ny, nz, direction))
        work.reset(new (std::nothrow) double[static_cast<size_t>(plan.block())]);
    if (!work) {
        hs::hsLogText("Not enough memory to undistort the EPI data.");
        return false;
    }

    hs::hsLogText(epi->displayintensityvalues("distorted data").c_str());
    // Each block of volume t is read completely before it is overwritten and
    // reads nothing outside itself: every volume is corrected from its own
    // uncorrected data, with the same shifts, in one pass.
    plan.correct_series(epi->getdata(), nt, work.get());

    const std::string name = help.getbasename(help.createFileName(epi->getname(), "_undistort").c_str(), false, false);
    const bool saved = saveashs2fmr(epi, name.c_str());
    hs::hsLogText(name.c_str());
    save2amr(epi, "_undistort");
    hs::hsSetStringParameter("NameUndistortedFile", name.c_str());
    hs::hsLogText(epi->displayintensityvalues("undistorted data").c_str());
    return saved;
}

}  // namespace warpmender
