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
#include "fieldmap/kernel_isa.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "plugin/display_funcs.h"
#include "plugin/host_binding.h"

#if WARPMENDER_HAVE_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace warpmender {
namespace {

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
// base is the offset (within the block) of the row's voxel x = 0 moved to
// axis coordinate 0.
template <int Axis, bool Plus, typename I>
void build_row(const double* shift, long nx, double c, double top, long base, long stride, I* lo, I* hi, double* w) {
    for (long x = 0; x < nx; ++x) {
        const double s = shift[x];
        const double cd = Axis == 0 ? static_cast<double>(x) : c;
        const double p = Plus ? cd + s : cd - s;
        const double fl = std::floor(p);
        w[x] = p - fl;
        const long line = Axis == 0 ? base : base + x;
        lo[x] = static_cast<I>(line + static_cast<long>(clamp_axis(fl, top)) * stride);
        hi[x] = static_cast<I>(line + static_cast<long>(clamp_axis(std::ceil(p), top)) * stride);
    }
}

template <int Axis, bool Plus, typename I>
void build_tables(const double* shift, long nx, long ny, long nz, I* lo, I* hi, double* w) {
    const long n = Axis == 0 ? nx : Axis == 1 ? ny : nz;
    const long stride = Axis == 0 ? 1 : Axis == 1 ? nx : nx * ny;
    const double top = static_cast<double>(n - 1);
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const long row = nx * (y + ny * z);
            const long in_block = Axis == 2 ? row : nx * y;
            const long c = Axis == 0 ? 0 : Axis == 1 ? y : z;
            build_row<Axis, Plus>(shift + row, nx, static_cast<double>(c), top, in_block - c * stride, stride,
                                  lo + row, hi + row, w + row);
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

// The tables of one block and where it goes: dst[v] from src for the block's
// rows (nx voxels each). next, if not null, is the block processed after this
// one, fetched into the cache while this one is computed, row for row.
template <typename I>
struct Block {
    const I* lo;
    const I* hi;
    const double* w;
    const uint8_t* contiguous;  // groups of the block's first row onwards
    const double* src;
    double* dst;
    long nx, rows;
    const double* next;
};

template <typename I>
void gather_baseline(const Block<I>& b) {
    const long n = b.nx * b.rows;
    const I* lo = b.lo;
    const I* hi = b.hi;
    const double* w = b.w;
    const double* src = b.src;
    double* dst = b.dst;
    for (long v = 0; v < n; ++v) {
        const double wv = w[v];
        dst[v] = src[hi[v]] * wv + src[lo[v]] * (1.0 - wv);
    }
}

#if WARPMENDER_HAVE_AVX2_KERNELS
// Four voxels at a time, each lane the scalar sequence of operations. A
// group whose neighbours are consecutive voxels (a shift map that is smooth
// along x, which field maps are) loads them with one vector load each; any
// other group loads its eight values one by one.
template <typename I>
WARPMENDER_TARGET_AVX2 void gather_avx2(const Block<I>& b) {
    const long nx = b.nx, groups = nx / 4;
    const __m256d one = _mm256_set1_pd(1.0);
    const double* src = b.src;
    for (long r = 0; r < b.rows; ++r) {
        const long row = r * nx;
        if (b.next != nullptr) {
            const char* ahead = reinterpret_cast<const char*>(b.next + row);
            for (long byte = 0; byte < nx * 8; byte += 64) _mm_prefetch(ahead + byte, _MM_HINT_T0);
        }
        const I* lo = b.lo + row;
        const I* hi = b.hi + row;
        const double* w = b.w + row;
        const uint8_t* contiguous = b.contiguous + r * groups;
        double* dst = b.dst + row;
        for (long g = 0; g < groups; ++g) {
            const long x = 4 * g;
            __m256d a, c;
            if (contiguous[g]) {
                a = _mm256_loadu_pd(src + lo[x]);
                c = _mm256_loadu_pd(src + hi[x]);
            } else {
                a = _mm256_set_m128d(_mm_loadh_pd(_mm_load_sd(src + lo[x + 2]), src + lo[x + 3]),
                                     _mm_loadh_pd(_mm_load_sd(src + lo[x]), src + lo[x + 1]));
                c = _mm256_set_m128d(_mm_loadh_pd(_mm_load_sd(src + hi[x + 2]), src + hi[x + 3]),
                                     _mm_loadh_pd(_mm_load_sd(src + hi[x]), src + hi[x + 1]));
            }
            const __m256d wv = _mm256_loadu_pd(w + x);
            _mm256_storeu_pd(dst + x, _mm256_add_pd(_mm256_mul_pd(c, wv), _mm256_mul_pd(a, _mm256_sub_pd(one, wv))));
        }
        for (long x = 4 * groups; x < nx; ++x) {
            const double wv = w[x];
            dst[x] = src[hi[x]] * wv + src[lo[x]] * (1.0 - wv);
        }
    }
}
#endif

template <typename I>
void gather(const Block<I>& b) {
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return gather_avx2(b);
#endif
    gather_baseline(b);
}

}  // namespace

template <typename I>
bool UndistortPlan::build_offsets(const double* shift, int direction, std::vector<I>& lo, std::vector<I>& hi) {
    const long n = voxels();
    lo.resize(static_cast<size_t>(n));
    hi.resize(static_cast<size_t>(n));
    build_tables(shift, nx_, ny_, nz_, direction, lo.data(), hi.data(), w_.data());
    const long groups = nx_ / 4, rows = ny_ * nz_;
    contiguous_.assign(static_cast<size_t>(groups * rows), 0);
    for (long r = 0; r < rows; ++r)
        for (long g = 0; g < groups; ++g) {
            const long v = r * nx_ + 4 * g;
            bool consecutive = true;
            for (long k = 1; k < 4; ++k)
                consecutive = consecutive && static_cast<long>(lo[v + k]) == static_cast<long>(lo[v]) + k &&
                              static_cast<long>(hi[v + k]) == static_cast<long>(hi[v]) + k;
            contiguous_[static_cast<size_t>(r * groups + g)] = consecutive ? 1 : 0;
        }
    return true;
}

bool UndistortPlan::build(const double* shift, long nx, long ny, long nz, int direction) {
    lo16_.clear(); hi16_.clear(); lo32_.clear(); hi32_.clear(); lo64_.clear(); hi64_.clear(); w_.clear();
    contiguous_.clear();
    nx_ = ny_ = nz_ = block_ = 0;
    if (direction < 1 || direction > 6 || shift == nullptr || nx <= 0 || ny <= 0 || nz <= 0) return false;
    nx_ = nx; ny_ = ny; nz_ = nz;
    const long n = nx * ny * nz;
    block_ = direction <= 4 ? nx * ny : n;
    try {
        w_.resize(static_cast<size_t>(n));
        if (block_ <= 65536)
            build_offsets(shift, direction, lo16_, hi16_);
        else if (block_ <= static_cast<long>(std::numeric_limits<int32_t>::max()))
            build_offsets(shift, direction, lo32_, hi32_);
        else
            build_offsets(shift, direction, lo64_, hi64_);
    } catch (const std::bad_alloc&) {
        build(nullptr, 0, 0, 0, 0);
        return false;
    }
    return true;
}

double UndistortPlan::contiguous_share() const {
    if (contiguous_.empty()) return 0.0;
    long n = 0;
    for (uint8_t c : contiguous_) n += c;
    return static_cast<double>(n) / static_cast<double>(contiguous_.size());
}

template <typename I>
void UndistortPlan::apply_blocks(const std::vector<I>& lo, const std::vector<I>& hi, const double* in,
                                 double* out) const {
    const long n = voxels(), rows = block_ / nx_, groups = nx_ / 4;
    for (long first = 0; first < n; first += block_)
        gather(Block<I>{lo.data() + first, hi.data() + first, w_.data() + first,
                        contiguous_.data() + first / nx_ * groups, in + first, out + first, nx_, rows, nullptr});
}

// Volume after volume, block after block: each block is copied into work and
// gathered back, while the next block is fetched. (Taking one block through
// several volumes, so that its tables stay in the cache, ran slower: the
// memory streams best in order.)
template <typename I>
void UndistortPlan::correct_blocks(const std::vector<I>& lo, const std::vector<I>& hi, double* series, long nt,
                                   double* work) const {
    const long n = voxels(), rows = block_ / nx_, groups = nx_ / 4;
    double* const end = series + nt * n;
    for (double* block = series; block < end; block += block_) {
        const long first = (block - series) % n;
        std::memcpy(work, block, sizeof(double) * static_cast<size_t>(block_));
        const double* next = block + block_ < end ? block + block_ : nullptr;
        gather(Block<I>{lo.data() + first, hi.data() + first, w_.data() + first,
                        contiguous_.data() + first / nx_ * groups, work, block, nx_, rows, next});
    }
}

void UndistortPlan::apply(const double* in, double* out) const {
    if (!lo16_.empty()) apply_blocks(lo16_, hi16_, in, out);
    else if (!lo32_.empty()) apply_blocks(lo32_, hi32_, in, out);
    else if (!lo64_.empty()) apply_blocks(lo64_, hi64_, in, out);
}

void UndistortPlan::correct(double* volume, double* work) const { correct_series(volume, 1, work); }

void UndistortPlan::correct_series(double* series, long nt, double* work) const {
    if (!lo16_.empty()) correct_blocks(lo16_, hi16_, series, nt, work);
    else if (!lo32_.empty()) correct_blocks(lo32_, hi32_, series, nt, work);
    else if (!lo64_.empty()) correct_blocks(lo64_, hi64_, series, nt, work);
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
