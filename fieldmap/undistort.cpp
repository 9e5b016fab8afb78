// Undistortion along the phase-encoding axis: sampling plan and gather pass.
#include "fieldmap/undistort.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "fieldmap/kernel_isa.h"

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

// Inlined into a baseline and an AVX2 function, each compiling it for its own
// instruction set.
#if defined(__GNUC__)
#define WARPMENDER_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define WARPMENDER_ALWAYS_INLINE inline
#endif

// One row of the plan along x: the weight and the axis coordinates of both
// neighbours, clamped. Axis 0: the row itself is the axis; axes 1 and 2: c is
// the row's coordinate on the axis.
template <int Axis, bool Plus>
WARPMENDER_ALWAYS_INLINE void build_row(const double* shift, long nx, double c, double top, int32_t* lo, int32_t* hi,
                                        double* w) {
    for (long x = 0; x < nx; ++x) {
        const double s = shift[x];
        const double cd = Axis == 0 ? static_cast<double>(x) : c;
        const double p = Plus ? cd + s : cd - s;
        const double fl = std::floor(p);
        w[x] = p - fl;
        lo[x] = static_cast<int32_t>(clamp_axis(fl, top));
        hi[x] = static_cast<int32_t>(clamp_axis(std::ceil(p), top));
    }
}

// Rows first_row .. first_row + rows - 1 of the volume (row = y + ny * z),
// into lo, hi and w from their start.
template <int Axis, bool Plus>
WARPMENDER_ALWAYS_INLINE void build_rows(const double* shift, long nx, long ny, long nz, long first_row, long rows,
                                         int32_t* lo, int32_t* hi, double* w) {
    const long n = Axis == 0 ? nx : Axis == 1 ? ny : nz;
    const double top = static_cast<double>(n - 1);
    for (long r = 0; r < rows; ++r) {
        const long row = first_row + r, y = row % ny, z = row / ny;
        const long c = Axis == 0 ? 0 : Axis == 1 ? y : z;
        build_row<Axis, Plus>(shift + row * nx, nx, static_cast<double>(c), top, lo + r * nx, hi + r * nx, w + r * nx);
    }
}

using BuildRows = void (*)(const double*, long, long, long, long, long, int32_t*, int32_t*, double*);

template <int Axis, bool Plus>
void build_rows_baseline(const double* shift, long nx, long ny, long nz, long first_row, long rows, int32_t* lo,
                         int32_t* hi, double* w) {
    build_rows<Axis, Plus>(shift, nx, ny, nz, first_row, rows, lo, hi, w);
}

#if WARPMENDER_HAVE_AVX2_KERNELS
// The same rows with floor and ceil as vector instructions (the baseline
// instruction set has no rounding instruction).
template <int Axis, bool Plus>
WARPMENDER_TARGET_AVX2 void build_rows_avx2(const double* shift, long nx, long ny, long nz, long first_row, long rows,
                                            int32_t* lo, int32_t* hi, double* w) {
    build_rows<Axis, Plus>(shift, nx, ny, nz, first_row, rows, lo, hi, w);
}
#endif

// Direction codes 1..6: axis x, y, z in pairs; odd codes add the shift.
template <int Axis, bool Plus>
BuildRows build_rows_for() {
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return build_rows_avx2<Axis, Plus>;
#endif
    return build_rows_baseline<Axis, Plus>;
}

BuildRows build_rows_for(int direction) {
    switch (direction) {
        case 1: return build_rows_for<0, true>();
        case 2: return build_rows_for<0, false>();
        case 3: return build_rows_for<1, true>();
        case 4: return build_rows_for<1, false>();
        case 5: return build_rows_for<2, true>();
        default: return build_rows_for<2, false>();
    }
}

// The rows of one unit and their tables: dst[v] from the ring for the unit's
// rows (nx voxels each). Per group of four voxels x = 4g .. 4g + 3 of a row,
// the ring offsets of lane 0's neighbours when the four lanes read
// consecutive voxels, else kSpilled and the lanes' own offsets next in the
// spill table; the voxels x >= 4 * (nx / 4) of a row always take theirs from
// the spill table. The gathers return the spill table's position after the unit.
template <typename I>
struct Rows {
    const Neighbours<I>* group;
    const Neighbours<I>* spill;
    const double* w;
    const double* ring;
    double* dst;
    long nx, rows;
};

template <typename I>
constexpr I kSpilled = std::numeric_limits<I>::max();

// The series is read a unit at a time between gathers, which the hardware's
// own prefetch does not keep ahead of: the copies fetch the bytes this far
// past the ones they copy (the next units, blocks and volumes follow in
// memory). Without it the pass took a third longer.
constexpr uintptr_t kPrefetchAhead = 4096;

// The address as an integer: past the series' end it is only a hint, never a pointer.
inline const char* prefetch_address(const double* p) {
    return reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + kPrefetchAhead);
}

template <typename I>
const Neighbours<I>* gather_baseline(const Rows<I>& b) {
    const long nx = b.nx, groups = nx / 4;
    const Neighbours<I>* group = b.group;
    const Neighbours<I>* spill = b.spill;
    const double* src = b.ring;
    for (long r = 0; r < b.rows; ++r) {
        const double* w = b.w + r * nx;
        double* dst = b.dst + r * nx;
        for (long g = 0; g < groups; ++g, ++group, w += 4, dst += 4) {
            const Neighbours<I> n = *group;
            if (n.lo != kSpilled<I>) {
                for (long k = 0; k < 4; ++k) dst[k] = src[n.hi + k] * w[k] + src[n.lo + k] * (1.0 - w[k]);
            } else {
                for (long k = 0; k < 4; ++k) dst[k] = src[spill[k].hi] * w[k] + src[spill[k].lo] * (1.0 - w[k]);
                spill += 4;
            }
        }
        for (long k = 0; k < nx - 4 * groups; ++k, ++spill)
            dst[k] = src[spill->hi] * w[k] + src[spill->lo] * (1.0 - w[k]);
    }
    return spill;
}

#if WARPMENDER_HAVE_AVX2_KERNELS
// The lower and upper neighbours of one group of four voxels: one vector
// load each when they are consecutive voxels (a shift map that is smooth
// along x, which field maps are), else the eight values one by one from the
// spill table, which then moves on.
template <typename I>
WARPMENDER_TARGET_AVX2 inline void load_group(const double* src, Neighbours<I> n, const Neighbours<I>*& spill,
                                              __m256d& a, __m256d& c) {
    if (n.lo != kSpilled<I>) {
        a = _mm256_loadu_pd(src + n.lo);
        c = _mm256_loadu_pd(src + n.hi);
    } else {
        a = _mm256_set_m128d(_mm_loadh_pd(_mm_load_sd(src + spill[2].lo), src + spill[3].lo),
                             _mm_loadh_pd(_mm_load_sd(src + spill[0].lo), src + spill[1].lo));
        c = _mm256_set_m128d(_mm_loadh_pd(_mm_load_sd(src + spill[2].hi), src + spill[3].hi),
                             _mm_loadh_pd(_mm_load_sd(src + spill[0].hi), src + spill[1].hi));
        spill += 4;
    }
}

// One group of four voxels, each lane the scalar sequence of operations:
// dst = upper * w + lower * (1 - w).
template <typename I>
WARPMENDER_TARGET_AVX2 inline void correct_group(const double* src, Neighbours<I> n, const Neighbours<I>*& spill,
                                                 const double* w, double* dst) {
    __m256d a, c;
    load_group(src, n, spill, a, c);
    const __m256d wv = _mm256_loadu_pd(w);
    _mm256_storeu_pd(dst,
                     _mm256_add_pd(_mm256_mul_pd(c, wv), _mm256_mul_pd(a, _mm256_sub_pd(_mm256_set1_pd(1.0), wv))));
}

// Four voxels at a time.
template <typename I>
WARPMENDER_TARGET_AVX2 const Neighbours<I>* gather_avx2(const Rows<I>& b) {
    const long nx = b.nx, groups = nx / 4;
    const Neighbours<I>* group = b.group;
    const Neighbours<I>* spill = b.spill;
    const double* src = b.ring;
    for (long r = 0; r < b.rows; ++r, group += groups) {
        const double* w = b.w + r * nx;
        double* dst = b.dst + r * nx;
        for (long g = 0; g < groups; ++g) correct_group(src, group[g], spill, w + 4 * g, dst + 4 * g);
        for (long x = 4 * groups; x < nx; ++x, ++spill) dst[x] = src[spill->hi] * w[x] + src[spill->lo] * (1.0 - w[x]);
    }
    return spill;
}
#endif

#if WARPMENDER_HAVE_AVX512_KERNELS
// Two groups, eight voxels, at a time, each lane the scalar sequence of
// operations: one 512-bit load per neighbour when the two groups read on
// from each other (a field map is smooth), two 256-bit ones when both read
// consecutive voxels, the group's own loads otherwise.
template <typename I>
WARPMENDER_TARGET_AVX512 const Neighbours<I>* gather_avx512(const Rows<I>& b) {
    const long nx = b.nx, groups = nx / 4, pairs = groups / 2;
    const __m512d one = _mm512_set1_pd(1.0);
    const Neighbours<I>* group = b.group;
    const Neighbours<I>* spill = b.spill;
    const double* src = b.ring;
    for (long r = 0; r < b.rows; ++r, group += groups) {
        const double* w = b.w + r * nx;
        double* dst = b.dst + r * nx;
        for (long p = 0; p < pairs; ++p) {
            const Neighbours<I> n0 = group[2 * p], n1 = group[2 * p + 1];
            __m512d a, c;
            if (n0.lo != kSpilled<I> && n1.lo != kSpilled<I> && n1.lo - n0.lo == 4 && n1.hi - n0.hi == 4) {
                a = _mm512_loadu_pd(src + n0.lo);
                c = _mm512_loadu_pd(src + n0.hi);
            } else {
                __m256d a0, c0, a1, c1;
                load_group(src, n0, spill, a0, c0);
                load_group(src, n1, spill, a1, c1);
                a = _mm512_mask_broadcast_f64x4(_mm512_maskz_broadcast_f64x4(0x0f, a0), 0xf0, a1);
                c = _mm512_mask_broadcast_f64x4(_mm512_maskz_broadcast_f64x4(0x0f, c0), 0xf0, c1);
            }
            const __m512d wv = _mm512_loadu_pd(w + 8 * p);
            _mm512_storeu_pd(dst + 8 * p,
                             _mm512_add_pd(_mm512_mul_pd(c, wv), _mm512_mul_pd(a, _mm512_sub_pd(one, wv))));
        }
        if (groups % 2 != 0) correct_group(src, group[groups - 1], spill, w + 4 * (groups - 1), dst + 4 * (groups - 1));
        for (long x = 4 * groups; x < nx; ++x, ++spill) dst[x] = src[spill->hi] * w[x] + src[spill->lo] * (1.0 - w[x]);
    }
    return spill;
}

// A source unit into the ring, a cache line per instruction.
WARPMENDER_TARGET_AVX512 void copy_avx512(double* dst, const double* src, long n) {
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm_prefetch(prefetch_address(src + i), _MM_HINT_T0);
        _mm512_storeu_pd(dst + i, _mm512_loadu_pd(src + i));
    }
    if (i < n) {
        const __mmask8 tail = static_cast<__mmask8>((1u << (n - i)) - 1u);
        _mm512_mask_storeu_pd(dst + i, tail, _mm512_maskz_loadu_pd(tail, src + i));
    }
}
#endif

#if WARPMENDER_HAVE_AVX2_KERNELS
// A source unit into the ring. Inline rather than memcpy: a few hundred bytes
// at a time, where the library call costs as much as the copy.
WARPMENDER_TARGET_AVX2 void copy_avx2(double* dst, const double* src, long n) {
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm_prefetch(prefetch_address(src + i), _MM_HINT_T0);
        const __m256d a = _mm256_loadu_pd(src + i), b = _mm256_loadu_pd(src + i + 4);
        _mm256_storeu_pd(dst + i, a);
        _mm256_storeu_pd(dst + i + 4, b);
    }
    for (; i < n; ++i) dst[i] = src[i];
}
#endif

void copy_baseline(double* dst, const double* src, long n) {
    std::memcpy(dst, src, sizeof(double) * static_cast<size_t>(n));
}

using CopyUnit = void (*)(double*, const double*, long);

CopyUnit copy_unit() {
#if WARPMENDER_HAVE_AVX512_KERNELS
    if (kernel_isa(KernelIsa::kAvx512) == KernelIsa::kAvx512) return copy_avx512;
#endif
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return copy_avx2;
#endif
    return copy_baseline;
}

template <typename I>
using GatherRows = const Neighbours<I>* (*)(const Rows<I>&);

template <typename I>
GatherRows<I> gather_rows() {
#if WARPMENDER_HAVE_AVX512_KERNELS
    if (kernel_isa(KernelIsa::kAvx512) == KernelIsa::kAvx512) return gather_avx512<I>;
#endif
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return gather_avx2<I>;
#endif
    return gather_baseline<I>;
}

// The rings of volumes corrected side by side stay within this much of the
// cache: beyond it (slices along z, as a rule) they would push each other out.
constexpr long kRingsCache = 256 * 1024;

// Groups per spilled group at most for two volumes side by side (a field
// map's plan spills one or two in a hundred, a random one nearly all).
constexpr long kFewSpills = 8;

}  // namespace

// The plan works block by block (a slice for x and y, the volume for z),
// each block unit by unit (a row for x and y, a slice for z), in order: the
// source units an output unit reads are copied into a ring of units just
// before they are needed, and leave it once no later unit reads them. A
// field map moves voxels by a few units at most, so the ring is a few rows
// that stay in the first-level cache, where a copy of the whole block would
// not.
template <typename I>
bool UndistortPlan::build_offsets(const double* shift, int direction, Tables<I>& t) {
    const long n = voxels_, groups = nx_ / 4;
    const int axis = (direction - 1) / 2;
    const BuildRows build_rows = build_rows_for(direction);
    t.group.assign(static_cast<size_t>(groups * ny_ * nz_), Neighbours<I>{kSpilled<I>, kSpilled<I>});
    t.blocks.clear();
    t.spill.clear();
    // Room for every voxel: pages the spills never reach are never touched.
    t.spill.reserve(static_cast<size_t>(n));
    const long blocks = n / block_, units = block_ / unit_, rows_per_unit = unit_ / nx_;
    // The neighbours' axis coordinates, one block at a time.
    std::vector<int32_t> block_lo(static_cast<size_t>(block_)), block_hi(static_cast<size_t>(block_));
    std::vector<long> slot(static_cast<size_t>(units));
    std::vector<I> off_lo(static_cast<size_t>(nx_)), off_hi(static_cast<size_t>(nx_));
    long largest_ring = 1;
    for (long k = 0; k < blocks; ++k) {
        const long first = k * block_;
        build_rows(shift, nx_, ny_, nz_, first / nx_, block_ / nx_, block_lo.data(), block_hi.data(),
                   w_.data() + first);
        const int32_t* lo = block_lo.data();  // indexed by voxel - first
        const int32_t* hi = block_hi.data();
        // How far behind and ahead of an output unit its source units lie
        // (along x a row reads only itself).
        long behind = 0, ahead = 0;
        if (axis > 0)
            for (long u = 0; u < units; ++u)
                for (long v = u * unit_; v < (u + 1) * unit_; ++v) {
                    behind = std::max(behind, u - lo[v]);
                    ahead = std::max(ahead, hi[v] - u);
                }
        // Unit j is copied before output unit j - ahead and read up to output
        // unit j + behind, so j + ring may take its place no earlier.
        const long ring = std::min(units, behind + ahead + 1);
        largest_ring = std::max(largest_ring, ring);
        t.blocks.push_back({ring, ahead, static_cast<long>(t.spill.size())});
        for (long u = 0; u < units; ++u) slot[static_cast<size_t>(u)] = u % ring * unit_;
        for (long u = 0; u < units; ++u)
            for (long r = 0; r < rows_per_unit; ++r) {
                const long start = u * unit_ + r * nx_;  // of the row, within the block
                // Each neighbour's offset in the ring: its unit's slot plus its place in the unit.
                for (long x = 0; x < nx_; ++x) {
                    const long l = lo[start + x], h = hi[start + x];
                    const long in_unit = r * nx_ + x;
                    off_lo[static_cast<size_t>(x)] = static_cast<I>(axis == 0 ? slot[static_cast<size_t>(u)] + l
                                                                              : slot[static_cast<size_t>(l)] + in_unit);
                    off_hi[static_cast<size_t>(x)] = static_cast<I>(axis == 0 ? slot[static_cast<size_t>(u)] + h
                                                                              : slot[static_cast<size_t>(h)] + in_unit);
                }
                Neighbours<I>* group = t.group.data() + (first + start) / nx_ * groups;
                for (long g = 0; g < groups; ++g) {
                    const I* gl = off_lo.data() + 4 * g;
                    const I* gh = off_hi.data() + 4 * g;
                    bool consecutive = true;
                    for (long j = 1; j < 4; ++j)
                        consecutive = consecutive && static_cast<long>(gl[j]) == static_cast<long>(gl[0]) + j &&
                                      static_cast<long>(gh[j]) == static_cast<long>(gh[0]) + j;
                    if (consecutive)
                        group[g] = {gl[0], gh[0]};
                    else
                        for (long j = 0; j < 4; ++j) t.spill.push_back({gl[j], gh[j]});
                }
                for (long x = 4 * groups; x < nx_; ++x)
                    t.spill.push_back({off_lo[static_cast<size_t>(x)], off_hi[static_cast<size_t>(x)]});
            }
    }
    // Each volume's ring on its own cache lines. Two volumes side by side
    // only pay where the gathers wait on memory: a plan whose groups mostly
    // spill waits on its scalar loads, and a second ring made it a fifth slower.
    ring_span_ = (largest_ring * unit_ + 7) / 8 * 8;
    const bool rings_fit = 2 * ring_span_ * static_cast<long>(sizeof(double)) <= kRingsCache;
    const long spilled =
        std::count_if(t.group.begin(), t.group.end(), [](const Neighbours<I>& g) { return g.lo == kSpilled<I>; });
    const bool few_spills = spilled * kFewSpills <= static_cast<long>(t.group.size());
    together_ = rings_fit && few_spills ? 2 : 1;
    return work_.allocate(together_ * ring_span_);
}

bool UndistortPlan::Doubles::allocate(long n) {
    raw_.reset(new (std::nothrow) double[static_cast<size_t>(n) + 8]);
    data_ = raw_.get();
    if (data_ == nullptr) return false;
    while (reinterpret_cast<uintptr_t>(data_) % 64 != 0) ++data_;
    return true;
}

bool UndistortPlan::build(const double* shift, long nx, long ny, long nz, int direction) {
    t16_ = Tables<uint16_t>();
    t32_ = Tables<int32_t>();
    t64_ = Tables<int64_t>();
    w_ = Doubles();
    work_ = Doubles();
    nx_ = ny_ = nz_ = voxels_ = block_ = unit_ = ring_span_ = 0;
    together_ = 1;
    if (direction < 1 || direction > 6 || shift == nullptr || nx <= 0 || ny <= 0 || nz <= 0) return false;
    const long n = nx * ny * nz;
    if (!w_.allocate(n)) return false;
    nx_ = nx;
    ny_ = ny;
    nz_ = nz;
    voxels_ = n;
    block_ = direction <= 4 ? nx * ny : n;
    unit_ = direction <= 4 ? nx : nx * ny;
    bool built = false;
    try {
        // An offset is below block_, and the type's largest value marks a spilled group.
        if (block_ <= 65535)
            built = build_offsets(shift, direction, t16_);
        else if (block_ < static_cast<long>(std::numeric_limits<int32_t>::max()))
            built = build_offsets(shift, direction, t32_);
        else
            built = build_offsets(shift, direction, t64_);
    } catch (const std::bad_alloc&) {
        built = false;
    }
    if (!built) build(nullptr, 0, 0, 0, 0);
    return built;
}

template <typename I>
double UndistortPlan::Tables<I>::contiguous_share() const {
    if (group.empty()) return 0.0;
    long n = 0;
    for (const Neighbours<I>& g : group) n += g.lo != kSpilled<I>;
    return static_cast<double>(n) / static_cast<double>(group.size());
}

double UndistortPlan::contiguous_share() const {
    return block_ <= 65535                                                   ? t16_.contiguous_share()
           : block_ < static_cast<long>(std::numeric_limits<int32_t>::max()) ? t32_.contiguous_share()
                                                                             : t64_.contiguous_share();
}

// Block after block, unit after unit, two volumes side by side where their
// rings fit in the cache together: each unit's rows of the plan, which the
// gathers read as much as the volume, then come from memory once for both.
// With the summaries, which take the series in index order, one by one.
template <typename I>
void UndistortPlan::correct_blocks(const Tables<I>& t, double* series, long nt, IntensityAccumulator* before,
                                   IntensityAccumulator* after) {
    const GatherRows<I> gather = gather_rows<I>();
    const CopyUnit copy = copy_unit();
    const long n = voxels_, units = block_ / unit_, unit_rows = unit_ / nx_, groups = nx_ / 4, blocks = n / block_;
    const bool summarise = before != nullptr && after != nullptr;
    const long together = summarise ? 1 : together_;
    for (long v0 = 0; v0 < nt; v0 += together) {
        const long m = std::min(together, nt - v0);
        for (long k = 0; k < blocks; ++k) {
            const long first = k * block_;
            const BlockTables& bt = t.blocks[static_cast<size_t>(k)];
            const Neighbours<I>* group = t.group.data() + first / nx_ * groups;
            const Neighbours<I>* spill = t.spill.data() + bt.spill;
            long copied = 0;
            for (long u = 0; u < units; ++u) {
                const long need = std::min(units - 1, u + bt.ahead);
                const Neighbours<I>* next = spill;
                for (long j = 0; j < m; ++j) {
                    double* const ring = work_.data() + j * ring_span_;
                    double* const block = series + (v0 + j) * n + first;
                    for (long c = copied; c <= need; ++c) copy(ring + c % bt.ring * unit_, block + c * unit_, unit_);
                    next = gather(Rows<I>{group + u * unit_rows * groups, spill, w_.data() + first + u * unit_, ring,
                                          block + u * unit_, nx_, unit_rows});
                    // Unit u as it was is still in the ring (ring > behind), beside what it became.
                    if (summarise)
                        IntensityAccumulator::add_pair(*before, ring + u % bt.ring * unit_, *after, block + u * unit_,
                                                       unit_);
                }
                copied = need + 1;
                spill = next;
            }
        }
    }
}

void UndistortPlan::correct_series(double* series, long nt, IntensityAccumulator* before, IntensityAccumulator* after) {
    if (voxels_ == 0) return;
    if (block_ <= 65535)
        correct_blocks(t16_, series, nt, before, after);
    else if (block_ < static_cast<long>(std::numeric_limits<int32_t>::max()))
        correct_blocks(t32_, series, nt, before, after);
    else
        correct_blocks(t64_, series, nt, before, after);
}

void UndistortPlan::apply(const double* in, double* out) {
    if (voxels_ == 0) return;
    std::memcpy(out, in, sizeof(double) * static_cast<size_t>(voxels_));
    correct(out);
}

}  // namespace warpmender
