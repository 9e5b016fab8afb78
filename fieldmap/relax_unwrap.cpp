// Relaxation unwrapping: red-black Gauss-Seidel on wrapped residuals, periodic on all axes.
#include "fieldmap/relax_unwrap.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "fieldmap/kernel_isa.h"

#if WARPMENDER_HAVE_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace warpmender {
namespace {

#if defined(__GNUC__)
// Two same-colour voxels (x, x + 2) at a time in the lanes of a 16-byte vector
// (SSE2 in the portable build, wider registers in a native one). Every lane
// computes exactly the scalar sequence of operations.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// (p[0], p[2]) and (p[1], p[3]).
inline Pair evens(const double* p) {
#if defined(__clang__)
    return __builtin_shufflevector(load_pair(p), load_pair(p + 2), 0, 2);
#else
    return __builtin_shuffle(load_pair(p), load_pair(p + 2), PairMask{0, 2});
#endif
}
inline Pair odds(const double* p) {
#if defined(__clang__)
    return __builtin_shufflevector(load_pair(p), load_pair(p + 2), 1, 3);
#else
    return __builtin_shuffle(load_pair(p), load_pair(p + 2), PairMask{1, 3});
#endif
}
inline Pair select(PairMask m, Pair a, Pair b) { return Pair(((PairMask)a & m) | ((PairMask)b & ~m)); }

// floor of each lane, from adds, compares and selects (std::floor has no SSE2
// vector form). -0.0 gives +0.0, which leaves the residual below unchanged.
inline Pair floor_pair(Pair x) {
    const Pair big = {4503599627370496.0, 4503599627370496.0};  // 2^52: from here on all doubles are integers
    const PairMask sign = {(long long)0x8000000000000000ULL, (long long)0x8000000000000000ULL};
    const Pair one = {1.0, 1.0};
    const Pair c = Pair((PairMask)big | ((PairMask)x & sign));
    const Pair rounded = (x + c) - c;  // to the nearest integer, for |x| < 2^52
    const Pair t = select(Pair((PairMask)x & ~sign) < big, rounded, x);
    return t - Pair((t > x) & (PairMask)one);
}
#endif

// The voxel update. The six neighbours come in the order x-1, x+1, y-1, y+1,
// z-1, z+1 and W, R and S are summed in that order: the order is part of the result.
struct Relaxation {
    const double* phase;
    const double* weight;
    double* out;
    double lambda, six_lambda;

    inline void update(std::ptrdiff_t p, std::ptrdiff_t xm, std::ptrdiff_t xp, std::ptrdiff_t ym, std::ptrdiff_t yp,
                       std::ptrdiff_t zm, std::ptrdiff_t zp) const {
        const double psip = phase[p], up = out[p], wp = weight[p];
        const double e = psip - up;
        double W = 1e-6, R = 0.0, S = 0.0;
        const std::ptrdiff_t q[6] = {p + xm, p + xp, p + ym, p + yp, p + zm, p + zp};
        for (int k = 0; k < 6; ++k) {
            const double uq = out[q[k]];
            const double c = weight[q[k]] * wp;
            const double d = (e - phase[q[k]]) + uq + 0.5;
            // The wrapped residual lies in [-0.5, 0.5): +0.5 comes back as -0.5.
            const double r = (d - std::floor(d)) - 0.5;
            W += c;
            R += r * c;
            S += uq;
        }
        out[p] = (lambda * S + (up * W + R)) / (six_lambda + W);
    }

    // Same-colour voxels x0, x0 + 2, ... < end of one row, none at the x seam:
    // they read only the other colour and other rows (or themselves on a
    // size-1 axis), so no update feeds another and pairs may go together.
    inline void interior(std::ptrdiff_t row, int x0, int end, std::ptrdiff_t ym, std::ptrdiff_t yp, std::ptrdiff_t zm,
                         std::ptrdiff_t zp, bool pairs) const {
        int x = x0;
#if defined(__GNUC__)
        if (pairs) {
            const Pair half = {0.5, 0.5}, lam = {lambda, lambda}, lam6 = {six_lambda, six_lambda};
            const std::ptrdiff_t off[4] = {ym, yp, zm, zp};
            // x + 2 < end keeps every load (up to x + 3, or q + 3) inside its row.
            for (; x + 2 < end; x += 4) {
                const std::ptrdiff_t p = row + x;
                const Pair psip = evens(phase + p), up = evens(out + p), wp = evens(weight + p);
                const Pair e = psip - up;
                Pair W = {1e-6, 1e-6}, R = {0.0, 0.0}, S = {0.0, 0.0};
                auto add = [&](Pair uq, Pair psiq, Pair wq) {
                    const Pair c = wq * wp;
                    const Pair d = (e - psiq) + uq + half;
                    const Pair r = (d - floor_pair(d)) - half;
                    W += c;
                    R += r * c;
                    S += uq;
                };
                add(evens(out + p - 1), evens(phase + p - 1), evens(weight + p - 1));
                add(odds(out + p), odds(phase + p), odds(weight + p));
                for (int k = 0; k < 4; ++k) {
                    const std::ptrdiff_t q = p + off[k];
                    add(evens(out + q), evens(phase + q), evens(weight + q));
                }
                const Pair next = (lam * S + (up * W + R)) / (lam6 + W);
                out[p] = next[0];
                out[p + 2] = next[1];
            }
        }
#else
        (void)pairs;
#endif
        for (; x < end; x += 2) update(row + x, -1, 1, ym, yp, zm, zp);
    }
};

#if WARPMENDER_HAVE_AVX2_KERNELS
// Four same-colour voxels x, x + 2, x + 4, x + 6 of one row at a time, held in
// the lane order (x, x + 4, x + 2, x + 6) that one unpack of two contiguous
// loads gives; every lane computes exactly the scalar sequence.
struct Quad {
    __m256d e, wp, W, R, S;
};

WARPMENDER_TARGET_AVX2 inline __m256d same_colour(const double* q) {
    return _mm256_unpacklo_pd(_mm256_loadu_pd(q), _mm256_loadu_pd(q + 4));
}

WARPMENDER_TARGET_AVX2 inline void add_neighbour(Quad& k, __m256d uq, __m256d psiq, __m256d wq) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d c = _mm256_mul_pd(wq, k.wp);
    const __m256d d = _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(k.e, psiq), uq), half);
    const __m256d r = _mm256_sub_pd(_mm256_sub_pd(d, _mm256_floor_pd(d)), half);
    k.W = _mm256_add_pd(k.W, c);
    k.R = _mm256_add_pd(k.R, _mm256_mul_pd(r, c));
    k.S = _mm256_add_pd(k.S, uq);
}

// Same contract as Relaxation::interior; returns the first x left to the caller.
WARPMENDER_TARGET_AVX2 int interior_quads(const Relaxation& relax, std::ptrdiff_t row, int x, int end,
                                          std::ptrdiff_t ym, std::ptrdiff_t yp, std::ptrdiff_t zm, std::ptrdiff_t zp) {
    const double* phase = relax.phase;
    const double* weight = relax.weight;
    double* out = relax.out;
    const __m256d lam = _mm256_set1_pd(relax.lambda), lam6 = _mm256_set1_pd(relax.six_lambda);
    const std::ptrdiff_t off[4] = {ym, yp, zm, zp};
    // x + 6 < end keeps every load (up to x + 7, or q + 7) inside its row.
    for (; x + 6 < end; x += 8) {
        const std::ptrdiff_t p = row + x;
        const __m256d u_lo = _mm256_loadu_pd(out + p), u_hi = _mm256_loadu_pd(out + p + 4);
        const __m256d f_lo = _mm256_loadu_pd(phase + p), f_hi = _mm256_loadu_pd(phase + p + 4);
        const __m256d w_lo = _mm256_loadu_pd(weight + p), w_hi = _mm256_loadu_pd(weight + p + 4);
        const __m256d up = _mm256_unpacklo_pd(u_lo, u_hi), u_odd = _mm256_unpackhi_pd(u_lo, u_hi);
        Quad k;
        k.wp = _mm256_unpacklo_pd(w_lo, w_hi);
        k.e = _mm256_sub_pd(_mm256_unpacklo_pd(f_lo, f_hi), up);
        k.W = _mm256_set1_pd(1e-6);
        k.R = _mm256_setzero_pd();
        k.S = _mm256_setzero_pd();
        add_neighbour(k, same_colour(out + p - 1), same_colour(phase + p - 1), same_colour(weight + p - 1));
        add_neighbour(k, u_odd, _mm256_unpackhi_pd(f_lo, f_hi), _mm256_unpackhi_pd(w_lo, w_hi));
        for (int j = 0; j < 4; ++j) {
            const std::ptrdiff_t q = p + off[j];
            add_neighbour(k, same_colour(out + q), same_colour(phase + q), same_colour(weight + q));
        }
        const __m256d next =
            _mm256_div_pd(_mm256_add_pd(_mm256_mul_pd(lam, k.S), _mm256_add_pd(_mm256_mul_pd(up, k.W), k.R)),
                          _mm256_add_pd(lam6, k.W));
        // The other colour goes back unchanged beside the new values.
        _mm256_storeu_pd(out + p, _mm256_unpacklo_pd(next, u_odd));
        _mm256_storeu_pd(out + p + 4, _mm256_unpackhi_pd(next, u_odd));
    }
    return x;
}
#endif

// All passes; interior rows go through the AVX2 quads first when kAvx2. Inlined
// into a baseline and an AVX2 function, which compile it for their own instruction set.
template <bool kAvx2>
#if defined(__GNUC__) || defined(__clang__)
__attribute__((always_inline))
#endif
inline void
sweep(const Relaxation& relax, int nx, int ny, int nz, long passes, bool pairs) {
    const std::ptrdiff_t plane = std::ptrdiff_t(nx) * ny;
    for (long t = 0; t < passes; ++t) {
        for (int z = 0; z < nz; ++z) {
            const std::ptrdiff_t zm = z == 0 ? (nz - 1) * plane : -plane;
            const std::ptrdiff_t zp = z == nz - 1 ? -(nz - 1) * plane : plane;
            for (int y = 0; y < ny; ++y) {
                const std::ptrdiff_t ym = y == 0 ? std::ptrdiff_t(ny - 1) * nx : -std::ptrdiff_t(nx);
                const std::ptrdiff_t yp = y == ny - 1 ? -std::ptrdiff_t(ny - 1) * nx : std::ptrdiff_t(nx);
                const std::ptrdiff_t row = z * plane + std::ptrdiff_t(y) * nx;
                // x = 0 first and x = nx - 1 last, as the plain loop visits them: for
                // odd nx both have one colour and the last sees the first's new value.
                int x = static_cast<int>((t + y + z) & 1);
                if (x == 0) {
                    if (nx == 1) {
                        relax.update(row, 0, 0, ym, yp, zm, zp);
                        continue;
                    }
                    relax.update(row, nx - 1, 1, ym, yp, zm, zp);
                    x = 2;
                }
                const int last = nx - 1;
                if (x < last) {
#if WARPMENDER_HAVE_AVX2_KERNELS
                    const int from = kAvx2 && pairs ? interior_quads(relax, row, x, last, ym, yp, zm, zp) : x;
#else
                    const int from = x;
#endif
                    relax.interior(row, from, last, ym, yp, zm, zp, pairs && !kAvx2);
                    x += ((last - 1 - x) / 2 + 1) * 2;
                }
                if (x == last) relax.update(row + last, -1, -last, ym, yp, zm, zp);
            }
        }
    }
}

void sweep_baseline(const Relaxation& relax, int nx, int ny, int nz, long passes, bool pairs) {
    sweep<false>(relax, nx, ny, nz, passes, pairs);
}

#if WARPMENDER_HAVE_AVX2_KERNELS
WARPMENDER_TARGET_AVX2 void sweep_avx2(const Relaxation& relax, int nx, int ny, int nz, long passes, bool pairs) {
    sweep<true>(relax, nx, ny, nz, passes, pairs);
}
#endif

}  // namespace

void relax_unwrap(const int* dims, const double* phase, const double* weight, double* out, int iterations,
                  double lambda) {
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    if (nx < 1 || ny < 1 || nz < 1 || iterations <= 0) return;
    const Relaxation relax{phase, weight, out, lambda, 6.0 * lambda};
    // An output that is also an input would let lanes see each other's writes.
    const bool pairs = out != phase && out != weight;
    const long passes = 2L * iterations;
#if WARPMENDER_HAVE_AVX2_KERNELS
    if (kernel_isa() == KernelIsa::kAvx2) {
        sweep_avx2(relax, nx, ny, nz, passes, pairs);
        return;
    }
#endif
    sweep_baseline(relax, nx, ny, nz, passes, pairs);
}

}  // namespace warpmender
