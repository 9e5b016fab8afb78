// Full-multigrid solver: membrane operator, red-black smoother, B-spline resampling, V-cycles.
#include "fieldmap/fmg.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fieldmap/kernel_isa.h"
#include "hostlink/log_sink.h"

extern "C" {
WARPMENDER_EXPORT int verboselevel = 1;
}

// Marks a loop whose iterations are independent although they write the array they read.
#if defined(__clang__)
#define WARPMENDER_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define WARPMENDER_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#else
#define WARPMENDER_INDEPENDENT_ITERATIONS
#endif

// Loop bodies written once and inlined into a baseline and an AVX2 function,
// which compile them for their own instruction set.
#if defined(__GNUC__) || defined(__clang__)
#define WARPMENDER_INLINE_BODY __attribute__((always_inline)) inline
#else
#define WARPMENDER_INLINE_BODY inline
#endif

namespace warpmender {
namespace {

void fmg_log(const char* text) { log_line(text); }

// Offsets (in elements) of the periodic neighbours k-1 and k+1 along an axis
// of n elements spaced stride apart: on a size-1 axis both are the voxel itself.
struct Neighbours {
    std::ptrdiff_t minus, plus;
};
inline Neighbours periodic(int k, int n, std::ptrdiff_t stride) {
    return {k == 0 ? (n - 1) * stride : -stride, k == n - 1 ? -(n - 1) * stride : stride};
}

// Non-negative k mod n; the taps lie at most one period out, which needs no division.
inline int wrap_index(int k, int n) {
    if (k >= 0 && k < n) return k;
    if (k < 0 && k >= -n) return k + n;
    if (k >= n && k - n < n) return k - n;
    return k < 0 ? ((k % n) + n) % n : k % n;
}

inline bool equal_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Constants of the membrane operator; the products are formed as written so
// that every level reproduces the same bits.
struct Membrane {
    double wx, wy, wz, d;
    explicit Membrane(const double* p)
        : wx(-p[0] * p[0] * p[3]), wy(-p[1] * p[1] * p[3]), wz(-p[2] * p[2] * p[3]),
          d(((2.0 * p[0]) * p[0] + (2.0 * p[1]) * p[1] + (2.0 * p[2]) * p[2]) * p[3] + p[4]) {}
};

// Three taps of one output index k along an axis resampled from na to nc.
struct Tap {
    int im, i0, ip;
    double wm, w0, wp;
};
inline Tap tap_of(int k, int na, int nc) {
    const double s = (k + 0.5) * (static_cast<double>(na) / static_cast<double>(nc)) - 0.5;
    const int i = static_cast<int>(std::floor(s + 0.5));
    Tap t;
    t.im = wrap_index(i - 1, na);
    t.i0 = wrap_index(i, na);  // always inside already; wrapped so a stray size cannot read outside
    t.ip = wrap_index(i + 1, na);
    t.wm = wt2(static_cast<double>(i - 1) - s);
    t.w0 = wt2(static_cast<double>(i) - s);
    t.wp = wt2(static_cast<double>(i + 1) - s);
    return t;
}

// The pyramid of grids obtained by halving, and its element counts.
struct Pyramid {
    int levels = 0;
    int n[kFmgMaxLevels][3] = {};
    long m[kFmgMaxLevels] = {};
    long coarse_total = 0;  // S: elements of levels 1..L-1
};

bool build_pyramid(const int* dims, Pyramid& p) {
    for (int k = 0; k < 3; ++k)
        if (dims[k] < 1 || dims[k] > kFmgMaxAxis) return false;
    for (int k = 0; k < 3; ++k) p.n[0][k] = dims[k];
    p.m[0] = long(dims[0]) * dims[1] * dims[2];
    p.levels = 1;
    for (int j = 1; j < kFmgMaxLevels; ++j) {
        for (int k = 0; k < 3; ++k) p.n[j][k] = static_cast<int>(std::ceil(p.n[j - 1][k] / 2.0));
        p.m[j] = long(p.n[j][0]) * p.n[j][1] * p.n[j][2];
        p.coarse_total += p.m[j];
        p.levels = j + 1;
        if (p.n[j][0] < 2 && p.n[j][1] < 2 && p.n[j][2] < 2) break;
    }
    return true;
}

long resampling_area(const Pyramid& p) {
    const long a = long(p.n[0][0]) * p.n[1][1], b = long(p.n[0][1]) * p.n[1][0];
    return 3L * p.n[0][0] * p.n[0][1] + (a > b ? a : b);
}

}  // namespace

double wt2(double d) {
    const double t = std::fabs(d);
    if (t < 0.5) return 0.75 - t * t;
    if (t < 1.5) {
        const double v = 1.5 - t;
        return 0.5 * v * v;
    }
    return 0.0;
}

long fmg_scratchsize_long(const int* dims) {
    Pyramid p;
    if (!build_pyramid(dims, p)) return -1;
    return p.m[0] + resampling_area(p) + 4 * p.coarse_total;
}

int fmg_scratchsize(const int* dims) {
    const long s = fmg_scratchsize_long(dims);
    return s > INT_MAX ? -1 : static_cast<int>(s);
}

// --- vector helpers --------------------------------------------------------------

void zeros(int n, double* v) {
    for (int i = 0; i < n; ++i) v[i] = 0.0;
}
void copy(int n, const double* src, double* dst) {
    for (int i = 0; i < n; ++i) dst[i] = src[i];
}
void addto(int n, double* v, const double* w) {
    for (int i = 0; i < n; ++i) v[i] += w[i];
}
double dotprod(int n, const double* v, const double* w) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += v[i] * w[i];
    return s;
}
double norm(int n, const double* v) { return std::sqrt(dotprod(n, v, v)); }
void addscaled(int n, double* v, const double* w, double s) {
    for (int i = 0; i < n; ++i) v[i] += w[i] * s;
}

// --- operator and smoother -------------------------------------------------------

void LtLf_me(const int* dims, const double* u, const double* param, double* out) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    if (verboselevel >= 2) fmg_log("Ltlf_me...");
    const Membrane k(param);
    const double wx = k.wx, wy = k.wy, wz = k.wz, d = k.d;
    const std::ptrdiff_t plane = std::ptrdiff_t(nx) * ny;
    for (int z = 0; z < nz; ++z) {
        const Neighbours oz = periodic(z, nz, plane);
        for (int y = 0; y < ny; ++y) {
            const Neighbours oy = periodic(y, ny, nx);
            const std::ptrdiff_t row = z * plane + std::ptrdiff_t(y) * nx;
            const double* pu = u + row;
            const double* zm = pu + oz.minus;
            const double* zp = pu + oz.plus;
            const double* ym = pu + oy.minus;
            const double* yp = pu + oy.plus;
            double* po = out + row;
            auto at = [&](int x, int xm, int xp) {
                po[x] = ((d * pu[x] + wz * (zm[x] + zp[x])) + wy * (ym[x] + yp[x])) + wx * (pu[xm] + pu[xp]);
            };
            if (nx == 1) {
                at(0, 0, 0);
                continue;
            }
            at(0, nx - 1, 1);
            for (int x = 1; x < nx - 1; ++x)
                po[x] = ((d * pu[x] + wz * (zm[x] + zp[x])) + wy * (ym[x] + yp[x])) + wx * (pu[x - 1] + pu[x + 1]);
            at(nx - 1, nx - 2, 0);
        }
    }
}

void Atimesp1(const int* dims, const double* a, const double* u, double* out) {
    const long m = long(dims[0]) * dims[1] * dims[2];
    for (long i = 0; i < m; ++i) out[i] = u[i] * a[i] + out[i];
}

void Atimesp_me(const int* dims, const double* a, const double* param, const double* u, double* out) {
    LtLf_me(dims, u, param, out);
    Atimesp1(dims, a, u, out);
}

namespace {

// The smoother on the caller's layout: same-colour voxels of a row lie two apart.
// a_uniform: a[0] stands for every a[i] (a may hold that one value only).
WARPMENDER_INLINE_BODY void relax_plain_body(const int* dims, const double* a, bool a_uniform, const double* b,
                                             const Membrane& k, long passes, double* u) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    const double wx = k.wx, wy = k.wy, wz = k.wz, d = k.d, a0 = a[0];
    const std::ptrdiff_t plane = std::ptrdiff_t(nx) * ny;
    const bool lanes = u != a && u != b;  // an output that is also an input would make lanes meet
    for (long t = 0; t < passes; ++t) {
        for (int z = 0; z < nz; ++z) {
            const Neighbours oz = periodic(z, nz, plane);
            for (int y = 0; y < ny; ++y) {
                const Neighbours oy = periodic(y, ny, nx);
                const std::ptrdiff_t row = z * plane + std::ptrdiff_t(y) * nx;
                double* pu = u + row;
                const double* pa = a_uniform ? a : a + row;
                const std::ptrdiff_t sa = a_uniform ? 0 : 1;  // a's step along x
                const double* pb = b + row;
                const std::ptrdiff_t zm = oz.minus, zp = oz.plus, ym = oy.minus, yp = oy.plus;
                // Same-colour voxels of one row never meet except through the
                // x wrap, which is visited last, in the order of the plain loop.
                auto at = [&](int x, int xm, int xp) {
                    pu[x] = (pb[x] - ((wz * (pu[x + zm] + pu[x + zp]) + wy * (pu[x + ym] + pu[x + yp])) +
                                      wx * (pu[xm] + pu[xp]))) /
                            (pa[x * sa] + d);
                };
                int x = static_cast<int>((t + y + z) & 1);
                if (x == 0) {
                    if (nx == 1) {
                        at(0, 0, 0);
                        continue;
                    }
                    at(0, nx - 1, 1);
                    x = 2;
                }
                const int last = nx - 1;
                if (lanes) {
                    // Same-colour voxels off the x seam read only the other colour and
                    // other rows (or themselves on a size-1 axis): no update feeds another.
                    WARPMENDER_INDEPENDENT_ITERATIONS
                    for (int i = x; i < last; i += 2)
                        pu[i] = (pb[i] - ((wz * (pu[i + zm] + pu[i + zp]) + wy * (pu[i + ym] + pu[i + yp])) +
                                          wx * (pu[i - 1] + pu[i + 1]))) /
                                ((a_uniform ? a0 : pa[i]) + d);
                } else {
                    for (int i = x; i < last; i += 2)
                        pu[i] = (pb[i] - ((wz * (pu[i + zm] + pu[i + zp]) + wy * (pu[i + ym] + pu[i + yp])) +
                                          wx * (pu[i - 1] + pu[i + 1]))) /
                                (pa[i * sa] + d);
                }
                if (x < last) x += ((last - 1 - x) / 2 + 1) * 2;
                if (x == last) at(last, last - 1, 0);
            }
        }
    }
}

void relax_plain_baseline(const int* dims, const double* a, bool a_uniform, const double* b, const Membrane& k,
                          long passes, double* u) {
    relax_plain_body(dims, a, a_uniform, b, k, passes, u);
}
#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void relax_plain_avx2(const int* dims, const double* a, bool a_uniform, const double* b,
                                             const Membrane& k, long passes, double* u) {
    relax_plain_body(dims, a, a_uniform, b, k, passes, u);
}
#endif

void relax_plain(const int* dims, const double* a, bool a_uniform, const double* b, const Membrane& k, long passes,
                 double* u) {
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return relax_plain_avx2(dims, a, a_uniform, b, k, passes, u);
#endif
    relax_plain_baseline(dims, a, a_uniform, b, k, passes, u);
}

// The split layout of a plane with even nx, one row after the other at a
// stride of nx + 8: from place kLead on, the h = nx/2 odd-x voxels, then the h
// even-x voxels, with a copy of the last odd-x voxel just before them and a
// copy of the first even-x voxel just after. Every voxel of one colour in a row
// is then one contiguous run whose y and z neighbours sit at the same place in
// the neighbouring rows, and whose x - 1 and x + 1 neighbours are the other half
// read one place apart, the copies standing in for the x wrap. With nx a
// multiple of 8 and an aligned slot every run starts on a 32-byte boundary.
//   x:        0  1  2  3  4  5             (nx = 6, h = 3)
//   place: . . . [5] 1  3  5  0  2  4 [0] . . .
constexpr int kLead = 4;
inline int split_stride(int nx) { return nx + 2 * kLead; }
WARPMENDER_INLINE_BODY void split_rows_body(const double* src, double* dst, long rows, int nx) {
    const int h = nx / 2;
    for (long r = 0; r < rows; ++r) {
        const double* s = src + r * nx;
        double* odd = dst + r * split_stride(nx) + kLead;
        double* even = odd + h;
        for (int i = 0; i < h; ++i) {
            odd[i] = s[2 * i + 1];
            even[i] = s[2 * i];
        }
        odd[-1] = odd[h - 1];
        even[h] = even[0];
    }
}

// b in the same order without the wrap copies, at the caller's row stride nx.
WARPMENDER_INLINE_BODY void split_rows_flat_body(const double* src, double* dst, long rows, int nx) {
    const int h = nx / 2;
    for (long r = 0; r < rows; ++r) {
        const double* s = src + r * nx;
        double* odd = dst + r * nx;
        double* even = odd + h;
        for (int i = 0; i < h; ++i) {
            odd[i] = s[2 * i + 1];
            even[i] = s[2 * i];
        }
    }
}

// a + d, the smoother's denominator, formed as the plain loop forms it, at the
// split stride (its wrap copies are never read).
WARPMENDER_INLINE_BODY void split_rows_plus_body(const double* src, double add, double* dst, long rows, int nx) {
    const int h = nx / 2;
    for (long r = 0; r < rows; ++r) {
        const double* s = src + r * nx;
        double* odd = dst + r * split_stride(nx) + kLead;
        double* even = odd + h;
        for (int i = 0; i < h; ++i) {
            odd[i] = s[2 * i + 1] + add;
            even[i] = s[2 * i] + add;
        }
    }
}

WARPMENDER_INLINE_BODY void join_rows_body(const double* src, double* dst, long rows, int nx) {
    const int h = nx / 2;
    for (long r = 0; r < rows; ++r) {
        const double* odd = src + r * split_stride(nx) + kLead;
        const double* even = odd + h;
        double* o = dst + r * nx;
        for (int i = 0; i < h; ++i) {
            o[2 * i] = even[i];
            o[2 * i + 1] = odd[i];
        }
    }
}

// One colour of one split row: h voxels. xm and xp are already offset to each
// voxel's x neighbours. ad is a + d per voxel, or null when a is one value for
// the whole grid (then ad0 = a + d).
WARPMENDER_INLINE_BODY void relax_run(double* pu, const double* pb, const double* ad, double ad0, const double* xm,
                                      const double* xp, const double* ym, const double* yp, const double* zm,
                                      const double* zp, int h, const Membrane& k) {
    const double wx = k.wx, wy = k.wy, wz = k.wz;
    // A size-1 axis makes a neighbour row the row itself: each voxel then reads
    // its own value before it writes it, which lanes keep.
    if (ad == nullptr) {
        WARPMENDER_INDEPENDENT_ITERATIONS
        for (int i = 0; i < h; ++i)
            pu[i] = (pb[i] - ((wz * (zm[i] + zp[i]) + wy * (ym[i] + yp[i])) + wx * (xm[i] + xp[i]))) / ad0;
    } else {
        WARPMENDER_INDEPENDENT_ITERATIONS
        for (int i = 0; i < h; ++i)
            pu[i] = (pb[i] - ((wz * (zm[i] + zp[i]) + wy * (ym[i] + yp[i])) + wx * (xm[i] + xp[i]))) / ad[i];
    }
}

// Split planes of u and a + d in the work area, held in slots: planes
// 0..head-1 keep a slot each, later planes share a ring of `ring` slots (with
// head = nz every plane has its own). Split b takes the place of u's plane in
// the caller's u, which is free from the loading of that plane until its return.
struct SplitPlanes {
    int nx, ny, nz;
    std::ptrdiff_t plane;  // nx*ny: a plane of the caller's arrays
    std::ptrdiff_t rows;   // split_stride(nx)*ny: a slot
    int head, ring;
    double* u;   // slot s of u at u + s*rows
    double* ad;  // null: every voxel's a + d is ad0
    double ad0;
    double* b;  // the caller's u: plane z of split b at b + z*plane

    int slot(int z) const { return z < head ? z : head + (z - head) % ring; }
    double* u_of(int z) const { return u + slot(z) * rows; }
    const double* ad_of(int z) const { return ad ? ad + slot(z) * rows : nullptr; }
};

// u first: b then overwrites the plane of u just copied.
WARPMENDER_INLINE_BODY void load_plane(const SplitPlanes& w, int z, const double* a, const double* b, double d,
                                       const double* u) {
    const std::ptrdiff_t at = z * w.plane, slot = w.slot(z) * w.rows;
    split_rows_body(u + at, w.u + slot, w.ny, w.nx);
    split_rows_flat_body(b + at, w.b + at, w.ny, w.nx);
    if (w.ad) split_rows_plus_body(a + at, d, w.ad + slot, w.ny, w.nx);
}

// Pass t on plane z. Rows go in the plain loop's order; within a row no
// same-colour voxel reads another, since nx is even.
WARPMENDER_INLINE_BODY void relax_split_plane(const SplitPlanes& w, int z, long t, const Membrane& k) {
    const int nx = w.nx, ny = w.ny, h = nx / 2, stride = split_stride(nx);
    double* const pz = w.u_of(z);
    const double* const pzm = w.u_of(z == 0 ? w.nz - 1 : z - 1);
    const double* const pzp = w.u_of(z == w.nz - 1 ? 0 : z + 1);
    const double* const bz = w.b + z * w.plane;
    const double* const adz = w.ad_of(z);
    for (int y = 0; y < ny; ++y) {
        const Neighbours oy = periodic(y, ny, stride);
        const bool even = ((t + y + z) & 1) == 0;  // the colour of this pass in this row has even x
        const std::ptrdiff_t row = std::ptrdiff_t(y) * stride;
        const std::ptrdiff_t own = row + kLead + (even ? h : 0), other = row + kLead + (even ? 0 : h);
        double* pu = pz + own;
        const double* po = pz + other;
        const double* pad = adz ? adz + own : nullptr;
        // Even x = 2i: x - 1 is odd index i - 1, x + 1 odd index i.
        // Odd x = 2i + 1: x - 1 is even index i, x + 1 even index i + 1.
        const double* xm = even ? po - 1 : po;
        const double* xp = even ? po : po + 1;
        const double* pb = bz + std::ptrdiff_t(y) * nx + (even ? h : 0);
        relax_run(pu, pb, pad, w.ad0, xm, xp, pu + oy.minus, pu + oy.plus, pzm + own, pzp + own, h, k);
        // Refresh the wrap copy of the half just written.
        if (even)
            pu[h] = pu[0];
        else
            pu[-1] = pu[h - 1];
    }
}

// Passes t0 .. t0 + count - 1 on split planes. With nz even a voxel reads only
// the other colour across planes, so pass t + 1 may update plane z as soon as
// pass t has done z - 1, z and z + 1: the passes run as a wavefront, pass j
// starting at plane j and lagging two steps behind pass j - 1, and a plane
// leaves the cache once rather than once per pass. Plane z ends after the
// last pass's visit and goes back to u at once; with a ring, a slot is reused
// once its plane is done. With nz odd the passes run one after the other, as
// the plain loop does.
WARPMENDER_INLINE_BODY void relax_split_body(const int* dims, const double* a, const double* b, const Membrane& k,
                                             long t0, long count, double* u, const SplitPlanes& w) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    if (nz % 2 != 0) {
        for (int z = 0; z < nz; ++z) load_plane(w, z, a, b, k.d, u);
        for (long t = t0; t < t0 + count; ++t)
            for (int z = 0; z < nz; ++z) relax_split_plane(w, z, t, k);
        for (int z = 0; z < nz; ++z) join_rows_body(w.u_of(z), u + z * w.plane, ny, nx);
        return;
    }
    // Before step 0 pass 0 reads plane nz - 1 as it is: split into its slot,
    // which no plane needs before that one is loaded again, unchanged, at step nz - 2.
    load_plane(w, 0, a, b, k.d, u);
    if (nz > 1) split_rows_body(u + (nz - 1) * w.plane, w.u_of(nz - 1), ny, nx);
    const long last_step = (nz - 1) + 2 * (count - 1);
    for (long step = 0; step <= last_step; ++step) {
        if (step + 1 < nz) load_plane(w, static_cast<int>(step + 1), a, b, k.d, u);
        // Oldest pass first: each one's planes are ready before the next reads them.
        for (long j = 0; j < count; ++j) {
            const long i = step - 2 * j;
            if (i < 0) break;
            if (i >= nz) continue;
            const int z = static_cast<int>((j + i) % nz);
            relax_split_plane(w, z, t0 + j, k);
            if (j == count - 1) join_rows_body(w.u_of(z), u + z * w.plane, ny, nx);
        }
    }
}

// Every pass, in wavefronts of `depth` passes at most.
WARPMENDER_INLINE_BODY void relax_split_all(const int* dims, const double* a, const double* b, const Membrane& k,
                                            long passes, double* u, const SplitPlanes& w, long depth) {
    for (long t0 = 0; t0 < passes; t0 += depth)
        relax_split_body(dims, a, b, k, t0, passes - t0 < depth ? passes - t0 : depth, u, w);
}

void relax_split_baseline(const int* dims, const double* a, const double* b, const Membrane& k, long passes, double* u,
                          const SplitPlanes& w, long depth) {
    relax_split_all(dims, a, b, k, passes, u, w, depth);
}
#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void relax_split_avx2(const int* dims, const double* a, const double* b, const Membrane& k,
                                             long passes, double* u, const SplitPlanes& w, long depth) {
    relax_split_all(dims, a, b, k, passes, u, w, depth);
}
#endif

}  // namespace

void relax_me(const int* dims, const double* a, const double* b, const double* param, int nit, double* u) {
    if (verboselevel > 2) fmg_log("Relax...");
    relax_plain(dims, a, false, b, Membrane(param), 2L * nit, u);
}

bool uniform_weight(const double* a, long m) {
    std::uint64_t first;
    std::memcpy(&first, a, sizeof first);
    for (long i = 1; i < m; ++i) {
        std::uint64_t v;
        std::memcpy(&v, a + i, sizeof v);
        if (v != first) return false;
    }
    return true;
}

namespace {

// Slots a wavefront of `depth` passes needs: every plane when nz is odd or
// small, else the head 0..depth-1 and a ring of depth + 2.
long wavefront_slots(int nz, long depth) { return nz % 2 != 0 || nz <= 2 * depth + 2 ? nz : 2 * depth + 2; }

// nit iterations, `calls` times over: fmg's last smoothing of a V-cycle and
// the first of the next one in a row, without returning u to its layout in
// between. The log says "Relax..." once per call it stands for.
void smooth(const int* dims, const double* a, bool a_uniform, const double* b, const double* param, int nit, int calls,
            double* u, double* work, long work_size) {
    if (verboselevel > 2)
        for (int c = 0; c < calls; ++c) fmg_log("Relax...");
    const Membrane k(param);
    const long passes = 2L * nit * calls;
    if (passes <= 0) return;
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    const long per_slot = long(split_stride(nx)) * ny * (a_uniform ? 1 : 2);
    // Slots start on a 32-byte boundary, up to three doubles into work.
    const long skip = static_cast<long>((32 - reinterpret_cast<std::uintptr_t>(work) % 32) % 32 / sizeof(double));
    const long fit = work_size > skip ? (work_size - skip) / per_slot : 0;  // slots the work area holds
    // The deepest wavefront that fits. Through a ring it takes two passes at
    // least: pass 0 borrows the slot of plane nz - 1 before any later plane
    // needs it. u holds split b on the way, so it may not be an input too.
    long depth = fit >= nz ? passes : (fit - 2) / 2;
    if (depth > passes) depth = passes;
    if (nx % 2 != 0 || depth < (fit >= nz ? 1 : 2) || fit < wavefront_slots(nz, depth) || u == a || u == b)
        return relax_plain(dims, a, a_uniform, b, k, passes, u);
    const int slots = static_cast<int>(wavefront_slots(nz, depth));
    SplitPlanes w;
    w.nx = nx;
    w.ny = ny;
    w.nz = nz;
    w.plane = std::ptrdiff_t(nx) * ny;
    w.rows = std::ptrdiff_t(split_stride(nx)) * ny;
    w.head = slots == nz ? nz : static_cast<int>(depth);
    w.ring = slots == nz ? 1 : static_cast<int>(depth) + 2;
    w.u = work + skip;
    w.ad = a_uniform ? nullptr : w.u + slots * w.rows;
    w.b = u;
    w.ad0 = a[0] + k.d;
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return relax_split_avx2(dims, a, b, k, passes, u, w, depth);
#endif
    relax_split_baseline(dims, a, b, k, passes, u, w, depth);
}

}  // namespace

long relax_me_work(const int* dims, int nit, bool a_uniform) {
    if (dims[0] % 2 != 0 || nit <= 0) return 0;
    return wavefront_slots(dims[2], 2L * nit) * split_stride(dims[0]) * dims[1] * (a_uniform ? 1 : 2) + 3;
}

void relax_me_split(const int* dims, const double* a, bool a_uniform, const double* b, const double* param, int nit,
                    double* u, double* work, long work_size) {
    smooth(dims, a, a_uniform, b, param, nit, 1, u, work, work_size);
}

double sumsq_me(const int* dims, const double* a, const double* b, const double* param, const double* u) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    const Membrane k(param);
    if (verboselevel >= 2) {
        fmg_log("sumsq_me...");
        char text[256];
        std::snprintf(text, sizeof text,
                      "in sumsq_me: w000: %f, w001: %f, w010: %f, w1000: %f\ndm0: %i, dm1: %i, dm2: %i", k.d, k.wz,
                      k.wy, k.wx, nx, ny, nz);
        fmg_log(text);
    }
    // Residual per voxel with the arithmetic of Atimesp_me, summed z, y, x.
    const std::ptrdiff_t plane = std::ptrdiff_t(nx) * ny;
    double ss = 0.0;
    for (int z = 0; z < nz; ++z) {
        const Neighbours oz = periodic(z, nz, plane);
        for (int y = 0; y < ny; ++y) {
            const Neighbours oy = periodic(y, ny, nx);
            const std::ptrdiff_t row = z * plane + std::ptrdiff_t(y) * nx;
            const double* pu = u + row;
            for (int x = 0; x < nx; ++x) {
                const Neighbours ox = periodic(x, nx, 1);
                double v = ((k.d * pu[x] + k.wz * (pu[x + oz.minus] + pu[x + oz.plus])) +
                            k.wy * (pu[x + oy.minus] + pu[x + oy.plus])) +
                           k.wx * (pu[x + ox.minus] + pu[x + ox.plus]);
                v = pu[x] * a[row + x] + v;
                const double r = v - b[row + x];
                ss += r * r;
            }
        }
    }
    return ss;
}

// --- resampling --------------------------------------------------------------------

namespace {

// The taps of a run of output indices along one axis; filled once and used
// for every row (or plane) that the run applies to.
constexpr int kTapBlock = 256;
struct TapBlock {
    int first = 0, count = 0;
    int direct = 0;  // leading entries whose taps are 2k, 2k + 1, 2k + 2 (halving, off the seam)
    // Doubling, off the seam: entries lo <= i < hi (lo even in absolute terms, hi - lo
    // even) whose taps are k/2 - 1, k/2, k/2 + 1 with the weights of entry lo at
    // even k and of entry lo + 1 at odd k.
    int doubled_lo = 0, doubled_hi = 0;
    int im[kTapBlock], i0[kTapBlock], ip[kTapBlock];
    double wm[kTapBlock], w0[kTapBlock], wp[kTapBlock];

    void fill(int from, int n, int na, int nc) {
        first = from;
        count = n;
        for (int i = 0; i < n; ++i) {
            const Tap t = tap_of(from + i, na, nc);
            im[i] = t.im;
            i0[i] = t.i0;
            ip[i] = t.ip;
            wm[i] = t.wm;
            w0[i] = t.w0;
            wp[i] = t.wp;
        }
        direct = 0;
        if (na == 2 * nc)
            while (direct < n && im[direct] == 2 * (from + direct) && i0[direct] == im[direct] + 1 &&
                   ip[direct] == im[direct] + 2)
                ++direct;
        doubled_lo = doubled_hi = 0;
        if (nc == 2 * na) {
            auto regular = [&](int e) {
                const int k = from + e;
                return im[e] == k / 2 - 1 && i0[e] == k / 2 && ip[e] == k / 2 + 1;
            };
            auto same = [&](int e, int like) {
                return equal_bits(wm[e], wm[like]) && equal_bits(w0[e], w0[like]) && equal_bits(wp[e], wp[like]);
            };
            int lo = (from % 2 == 0) ? 0 : 1;
            while (lo + 1 < n && !(regular(lo) && regular(lo + 1))) lo += 2;
            int hi = lo;
            while (hi + 1 < n && regular(hi) && regular(hi + 1) && same(hi, lo) && same(hi + 1, lo + 1)) hi += 2;
            doubled_lo = lo;
            doubled_hi = hi;
        }
    }
};

// resized_plane with the taps given where the caller has them for the whole
// plane (rows: all ncy outputs; columns: all ncx outputs), else computed here.
WARPMENDER_INLINE_BODY void resample_plane(const int* na, const double* a, const int* nc, double* c, double* work,
                                           const TapBlock* rows, const TapBlock* columns, TapBlock& local) {
    const int nax = na[0], nay = na[1], ncx = nc[0], ncy = nc[1];
    if (verboselevel >= 2) fmg_log("resized_plane...");
    // Along y: output row j of nax values into work.
    for (int j = 0; j < ncy; ++j) {
        const Tap t = rows ? Tap{rows->im[j], rows->i0[j], rows->ip[j], rows->wm[j], rows->w0[j], rows->wp[j]}
                           : tap_of(j, nay, ncy);
        const double* rm = a + std::ptrdiff_t(t.im) * nax;
        const double* r0 = a + std::ptrdiff_t(t.i0) * nax;
        const double* rp = a + std::ptrdiff_t(t.ip) * nax;
        double* w = work + std::ptrdiff_t(j) * nax;
        const double wm = t.wm, w0 = t.w0, wp = t.wp;
        for (int x = 0; x < nax; ++x) w[x] = rp[x] * wp + rm[x] * wm + r0[x] * w0;
    }
    // Along x, a block of columns at a time.
    for (int first = 0; first < ncx; first += kTapBlock) {
        const int count = ncx - first < kTapBlock ? ncx - first : kTapBlock;
        const TapBlock* b = columns;
        if (!b) {
            local.fill(first, count, nax, ncx);
            b = &local;
        }
        const int direct = b->direct;
        const int* im = b->im;
        const int* i0 = b->i0;
        const int* ip = b->ip;
        const double* wm = b->wm;
        const double* w0 = b->w0;
        const double* wp = b->wp;
        for (int j = 0; j < ncy; ++j) {
            const double* w = work + std::ptrdiff_t(j) * nax;
            double* out = c + std::ptrdiff_t(j) * ncx + first;
            // Halving reads 2k, 2k + 1, 2k + 2 directly, which lets the loop run in vector lanes.
            const double* wf = w + 2 * first;
            for (int i = 0; i < direct; ++i) out[i] = wf[2 * i + 2] * wp[i] + wf[2 * i] * wm[i] + wf[2 * i + 1] * w0[i];
            int i = direct;
            if (b->doubled_hi > b->doubled_lo) {
                for (; i < b->doubled_lo; ++i) out[i] = w[ip[i]] * wp[i] + w[im[i]] * wm[i] + w[i0[i]] * w0[i];
                // Doubling reads k/2 - 1, k/2, k/2 + 1 directly, two outputs per input, in vector lanes.
                const int lo = b->doubled_lo, pairs = (b->doubled_hi - lo) / 2;
                const double ewm = wm[lo], ew0 = w0[lo], ewp = wp[lo], owm = wm[lo + 1], ow0 = w0[lo + 1],
                             owp = wp[lo + 1];
                const double* wk = w + (first + lo) / 2;
                double* o = out + lo;
                for (int q = 0; q < pairs; ++q) {
                    o[2 * q] = wk[q + 1] * ewp + wk[q - 1] * ewm + wk[q] * ew0;
                    o[2 * q + 1] = wk[q + 1] * owp + wk[q - 1] * owm + wk[q] * ow0;
                }
                i = b->doubled_hi;
            }
            for (; i < count; ++i) out[i] = w[ip[i]] * wp[i] + w[im[i]] * wm[i] + w[i0[i]] * w0[i];
        }
    }
}

}  // namespace

void resized_plane(const int* na, const double* a, const int* nc, double* c, double* work) {
    TapBlock local;
    resample_plane(na, a, nc, c, work, nullptr, nullptr, local);
}

namespace {

// resize, or with add c += the resampled volume (addto's sum, without the
// resampled volume ever being stored).
// one_plane: a holds one plane that stands for every input plane.
WARPMENDER_INLINE_BODY void resample_volume_body(const int* na, const double* a, const int* nc, double* c, double* work,
                                                 bool add, bool one_plane) {
    const int naz = na[2], ncz = nc[2];
    if (verboselevel >= 2) {
        char text[64];
        std::snprintf(text, sizeof text, "resize, loop tot nc[2]: %d", ncz);
        fmg_log(text);
    }
    // Every plane has the same row and column taps: computed once when they fit.
    TapBlock row_taps, column_taps, local;
    const bool rows_once = nc[1] <= kTapBlock, columns_once = nc[0] <= kTapBlock;
    if (rows_once) row_taps.fill(0, nc[1], na[1], nc[1]);
    if (columns_once) column_taps.fill(0, nc[0], na[0], nc[0]);
    const TapBlock* rows = rows_once ? &row_taps : nullptr;
    const TapBlock* columns = columns_once ? &column_taps : nullptr;
    const std::ptrdiff_t in_plane = one_plane ? 0 : std::ptrdiff_t(na[0]) * na[1];
    const std::ptrdiff_t out_plane = std::ptrdiff_t(nc[0]) * nc[1];
    double* const buffer[3] = {work, work + out_plane, work + 2 * out_plane};
    double* const plane_work = work + 3 * out_plane;
    // Which input plane each buffer holds. Reuse goes by plane, which covers the
    // unchanged, +1 and +2 centre steps and also taps that wrap onto one plane.
    int held[3] = {-1, -1, -1};
    int previous = -999999;
    for (int k = 0; k < ncz; ++k) {
        const Tap t = tap_of(k, naz, ncz);
        if (verboselevel >= 2 && t.i0 != previous && t.i0 != previous + 1 && t.i0 != previous + 2)
            fmg_log("Resize all...");
        previous = t.i0;
        const int want[3] = {t.im, t.i0, t.ip};
        const double* plane[3] = {nullptr, nullptr, nullptr};
        bool taken[3] = {false, false, false};
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s)
                if (held[s] == want[r]) {
                    plane[r] = buffer[s];
                    taken[s] = true;
                }
        for (int r = 0; r < 3; ++r) {
            if (plane[r]) continue;
            int s = 0;
            while (s < 3 && held[s] != want[r]) ++s;
            if (s == 3) {  // not held yet: resample into a buffer no tap of this plane needs
                s = 0;
                while (taken[s]) ++s;
                resample_plane(na, a + want[r] * in_plane, nc, buffer[s], plane_work, rows, columns, local);
                held[s] = want[r];
                taken[s] = true;
            }
            plane[r] = buffer[s];
        }
        const double* pm = plane[0];
        const double* p0 = plane[1];
        const double* pp = plane[2];
        const double wm = t.wm, w0 = t.w0, wp = t.wp;
        double* out = c + k * out_plane;
        if (add)
            for (std::ptrdiff_t e = 0; e < out_plane; ++e) out[e] += pp[e] * wp + pm[e] * wm + p0[e] * w0;
        else
            for (std::ptrdiff_t e = 0; e < out_plane; ++e) out[e] = pp[e] * wp + pm[e] * wm + p0[e] * w0;
    }
}

void resample_volume_baseline(const int* na, const double* a, const int* nc, double* c, double* work, bool add,
                              bool one_plane) {
    resample_volume_body(na, a, nc, c, work, add, one_plane);
}
#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void resample_volume_avx2(const int* na, const double* a, const int* nc, double* c, double* work,
                                                 bool add, bool one_plane) {
    resample_volume_body(na, a, nc, c, work, add, one_plane);
}
#endif

void resample_volume(const int* na, const double* a, const int* nc, double* c, double* work, bool add,
                     bool one_plane = false) {
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return resample_volume_avx2(na, a, nc, c, work, add, one_plane);
#endif
    resample_volume_baseline(na, a, nc, c, work, add, one_plane);
}

// r = b - (diag(a) + M) u in one pass: Atimesp_me's sums and the subtraction
// of fmg's descent, voxel by voxel, without the two passes between them. a is
// read once when uniform.
WARPMENDER_INLINE_BODY void residual_body(const int* dims, const double* a, bool a_uniform, const double* b,
                                          const Membrane& k, const double* u, double* r) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    const double wx = k.wx, wy = k.wy, wz = k.wz, d = k.d, a0 = a[0];
    const std::ptrdiff_t plane = std::ptrdiff_t(nx) * ny;
    for (int z = 0; z < nz; ++z) {
        const Neighbours oz = periodic(z, nz, plane);
        for (int y = 0; y < ny; ++y) {
            const Neighbours oy = periodic(y, ny, nx);
            const std::ptrdiff_t row = z * plane + std::ptrdiff_t(y) * nx;
            const double* pu = u + row;
            const double *zm = pu + oz.minus, *zp = pu + oz.plus, *ym = pu + oy.minus, *yp = pu + oy.plus;
            const double* pa = a_uniform ? a : a + row;
            const double* pb = b + row;
            double* pr = r + row;
            auto at = [&](int x, int xm, int xp) {
                const double m = ((d * pu[x] + wz * (zm[x] + zp[x])) + wy * (ym[x] + yp[x])) + wx * (pu[xm] + pu[xp]);
                pr[x] = pb[x] - (pu[x] * (a_uniform ? a0 : pa[x]) + m);
            };
            if (nx == 1) {
                at(0, 0, 0);
                continue;
            }
            at(0, nx - 1, 1);
            if (a_uniform) {
                for (int x = 1; x < nx - 1; ++x)
                    pr[x] = pb[x] - (pu[x] * a0 + (((d * pu[x] + wz * (zm[x] + zp[x])) + wy * (ym[x] + yp[x])) +
                                                   wx * (pu[x - 1] + pu[x + 1])));
            } else {
                for (int x = 1; x < nx - 1; ++x)
                    pr[x] = pb[x] - (pu[x] * pa[x] + (((d * pu[x] + wz * (zm[x] + zp[x])) + wy * (ym[x] + yp[x])) +
                                                      wx * (pu[x - 1] + pu[x + 1])));
            }
            at(nx - 1, nx - 2, 0);
        }
    }
}

void residual_baseline(const int* dims, const double* a, bool a_uniform, const double* b, const Membrane& k,
                       const double* u, double* r) {
    residual_body(dims, a, a_uniform, b, k, u, r);
}
#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void residual_avx2(const int* dims, const double* a, bool a_uniform, const double* b,
                                          const Membrane& k, const double* u, double* r) {
    residual_body(dims, a, a_uniform, b, k, u, r);
}
#endif

void residual(const int* dims, const double* a, bool a_uniform, const double* b, const double* param, const double* u,
              double* r) {
    if (verboselevel >= 2) fmg_log("Ltlf_me...");  // the line of the LtLf_me call this pass stands for
    const Membrane k(param);
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) return residual_avx2(dims, a, a_uniform, b, k, u, r);
#endif
    residual_baseline(dims, a, a_uniform, b, k, u, r);
}

}  // namespace

void resize(const int* na, const double* a, const int* nc, double* c, double* work) {
    resample_volume(na, a, nc, c, work, false);
}

// --- full multigrid ------------------------------------------------------------------

namespace {

// fmg, with a either an array (a_value null) or one value for every voxel (*a_value, a null).
void solve(const int* dims, const double* a, const double* a_value, const double* b, const double* param, int nfmg,
           int nit, double* u, double* scratch) {
    if (verboselevel >= 2) fmg_log("Loop 16x through n[j]...");
    Pyramid p;
    if (!build_pyramid(dims, p) || fmg_scratchsize(dims) < 0) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "fmg: a grid of %d x %d x %d voxels is outside the solver's range (1 to %d voxels along "
                      "each axis, scratch within 32-bit counts); nothing solved.",
                      dims[0], dims[1], dims[2], kFmgMaxAxis);
        fmg_log(text);
        return;
    }
    const int levels = p.levels;
    if (verboselevel >= 2) fmg_log("Set last values...");

    // Level 0 works on the caller's arrays (b is only read); levels 1.. live in scratch.
    double* const r = scratch;
    double* const rw = scratch + p.m[0];
    double* const b_base = rw + resampling_area(p);
    double* const bb_base = b_base + p.coarse_total;
    double* const u_base = bb_base + p.coarse_total;
    double* const a_base = u_base + p.coarse_total;
    const double* bo[kFmgMaxLevels];
    const double* bbo[kFmgMaxLevels];
    const double* ao[kFmgMaxLevels];
    double* bw[kFmgMaxLevels] = {};
    double* bbw[kFmgMaxLevels] = {};
    double* aw[kFmgMaxLevels] = {};
    double* uo[kFmgMaxLevels];
    double prm[kFmgMaxLevels][5];
    bo[0] = b;
    bbo[0] = b;
    ao[0] = a ? a : a_value;
    uo[0] = u;
    long offset = 0;
    for (int j = 1; j < levels; ++j) {
        bw[j] = b_base + offset;
        bbw[j] = bb_base + offset;
        aw[j] = a_base + offset;
        uo[j] = u_base + offset;
        bo[j] = bw[j];
        bbo[j] = bbw[j];
        ao[j] = aw[j];
        offset += p.m[j];
    }
    for (int k = 0; k < 5; ++k) prm[0][k] = param[k];
    bool a_uniform[kFmgMaxLevels];

    if (verboselevel >= 1) fmg_log("Resize...");
    for (int j = 1; j < levels; ++j) {
        if (verboselevel >= 2) {
            char text[128];
            std::snprintf(text, sizeof text, "Resize: %d,%d,%d -> %d,%d,%d", p.n[j - 1][0], p.n[j - 1][1],
                          p.n[j - 1][2], p.n[j][0], p.n[j][1], p.n[j][2]);
            fmg_log(text);
        }
        resize(p.n[j - 1], bo[j - 1], p.n[j], bw[j], rw);
        if (j == 1 && a == nullptr) {
            // One value everywhere: resampled as every plane of it, from one plane in r (free until the cycles).
            const std::ptrdiff_t plane = std::ptrdiff_t(dims[0]) * dims[1];
            for (std::ptrdiff_t e = 0; e < plane; ++e) r[e] = *a_value;
            resample_volume(p.n[0], r, p.n[1], aw[1], rw, false, true);
        } else {
            resize(p.n[j - 1], ao[j - 1], p.n[j], aw[j], rw);
        }
        prm[j][0] = (p.n[j][0] * param[0]) / dims[0];
        prm[j][1] = (p.n[j][1] * param[1]) / dims[1];
        prm[j][2] = (p.n[j][2] * param[2]) / dims[2];
        prm[j][3] = param[3];
        prm[j][4] = param[4];
    }
    for (int j = 0; j < levels; ++j) a_uniform[j] = j == 0 && a == nullptr ? true : uniform_weight(ao[j], p.m[j]);

    const int last = levels - 1;
    uo[last][0] = bo[last][0] / (param[4] + ao[last][0]);
    for (int j = levels - 2; j >= 0; --j) {
        resize(p.n[j + 1], uo[j + 1], p.n[j], uo[j], rw);
        if (j > 0) copy(static_cast<int>(p.m[j]), bo[j], bbw[j]);
        for (int cycle = 0; cycle < nfmg; ++cycle) {
            for (int k = j; k < last; ++k) {
                // Level j's first smoothing of a later cycle ran with the last one of the cycle before.
                if (k > j || cycle == 0) smooth(p.n[k], ao[k], a_uniform[k], bbo[k], prm[k], nit, 1, uo[k], r, p.m[0]);
                residual(p.n[k], ao[k], a_uniform[k], bbo[k], prm[k], uo[k], r);
                resize(p.n[k], r, p.n[k + 1], bbw[k + 1], rw);
                zeros(static_cast<int>(p.m[k + 1]), uo[k + 1]);
            }
            uo[last][0] = bbo[last][0] / (param[4] + ao[last][0]);
            for (int k = last - 1; k >= j; --k) {
                resample_volume(p.n[k + 1], uo[k + 1], p.n[k], uo[k], rw, true);
                const int calls = k == j && cycle + 1 < nfmg ? 2 : 1;
                smooth(p.n[k], ao[k], a_uniform[k], bbo[k], prm[k], nit, calls, uo[k], r, p.m[0]);
            }
        }
    }
}

}  // namespace

void fmg(const int* dims, const double* a, const double* b, int, const double* param, int nfmg, int nit, double* u,
         double* scratch) {
    solve(dims, a, nullptr, b, param, nfmg, nit, u, scratch);
}

void fmg_uniform(const int* dims, double a, const double* b, const double* param, int nfmg, int nit, double* u,
                 double* scratch) {
    solve(dims, nullptr, &a, b, param, nfmg, nit, u, scratch);
}

}  // namespace warpmender
