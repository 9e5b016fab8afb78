// Undistortion along the phase-encoding axis: sampling plan, gather pass and the saved result.
#include "fieldmap/undistort.h"

#include <cmath>
#include <cstdio>
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

// floor(p) or ceil(p) as an axis index, clamped to 0..n-1. Clamping in double
// gives the same index as converting first and clamping after for every
// representable index, and stays defined for huge or NaN positions (NaN gives
// 0; its weight is NaN, so the value is NaN whichever neighbour is read).
inline long clamp_axis(double f, long n) {
    if (!(f > 0.0)) return 0;
    if (f >= static_cast<double>(n - 1)) return n - 1;
    return static_cast<long>(f);
}

// Direction codes 1..6: axis 0 (x), 1 (y), 2 (z); odd codes add the shift.
template <typename I>
void build_tables(const double* shift, long nx, long ny, long nz, int direction, I* lo, I* hi, double* w) {
    const int axis = (direction - 1) / 2;
    const bool plus = (direction % 2) == 1;
    const long stride = axis == 0 ? 1 : axis == 1 ? nx : nx * ny;
    const long n = axis == 0 ? nx : axis == 1 ? ny : nz;
    long v = 0;
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y)
            for (long x = 0; x < nx; ++x, ++v) {
                const long c = axis == 0 ? x : axis == 1 ? y : z;
                const double s = shift[v];
                const double cd = static_cast<double>(c);
                const double p = plus ? cd + s : cd - s;
                const double fl = std::floor(p);
                w[v] = p - fl;
                const long base = v - c * stride;  // the voxel with axis coordinate 0
                lo[v] = static_cast<I>(base + clamp_axis(fl, n) * stride);
                hi[v] = static_cast<I>(base + clamp_axis(std::ceil(p), n) * stride);
            }
}

template <typename I>
void gather(const I* lo, const I* hi, const double* w, const double* in, double* out, long n) {
    for (long v = 0; v < n; ++v) {
        const double wv = w[v];
        out[v] = in[hi[v]] * wv + in[lo[v]] * (1.0 - wv);
    }
}

}  // namespace

bool UndistortPlan::build(const double* shift, long nx, long ny, long nz, int direction) {
    lo32_.clear(); hi32_.clear(); lo64_.clear(); hi64_.clear(); w_.clear();
    if (direction < 1 || direction > 6 || shift == nullptr || nx <= 0 || ny <= 0 || nz <= 0) return false;
    const long n = nx * ny * nz;
    try {
        w_.resize(static_cast<size_t>(n));
        if (n <= static_cast<long>(std::numeric_limits<uint32_t>::max())) {
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
    return true;
}

void UndistortPlan::apply(const double* in, double* out) const {
    if (!lo32_.empty())
        gather(lo32_.data(), hi32_.data(), w_.data(), in, out, voxels());
    else
        gather(lo64_.data(), hi64_.data(), w_.data(), in, out, voxels());
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
    datahandler<double> work;
    epi->copyheader(&work);
    work.setnt(1);
    double* workdata = new (std::nothrow) double[static_cast<size_t>(work.getnrofelems())]();
    if (workdata == nullptr || !plan.build(pixelshift->getdata(), nx, ny, nz, direction)) {
        delete[] workdata;
        hs::hsLogText("Not enough memory to undistort the EPI data.");
        return false;
    }
    work.setdata(workdata);

    hs::hsLogText(epi->displayintensityvalues("distorted data").c_str());
    // Volume t is read completely before it is overwritten: every volume is
    // corrected from its own uncorrected data, with the same shifts.
    const long nvox = epi->getvoxelspervolume();
    for (long t = 0; t < nt; ++t) {
        plan.apply(epi->getdata() + t * nvox, workdata);
        work.copyvolume(epi, 0, t);
    }

    const std::string name = help.getbasename(help.createFileName(epi->getname(), "_undistort").c_str(), false, false);
    const bool saved = saveashs2fmr(epi, name.c_str());
    hs::hsLogText(name.c_str());
    save2amr(epi, "_undistort");
    hs::hsSetStringParameter("NameUndistortedFile", name.c_str());
    hs::hsLogText(epi->displayintensityvalues("undistorted data").c_str());
    return saved;
}

}  // namespace warpmender
