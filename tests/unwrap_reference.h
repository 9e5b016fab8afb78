// Plain twins of the unwrapping kernels: the rules written out with modulo neighbours, no hoisting.
#pragma once

#include <cmath>
#include <vector>

namespace warpmender {
namespace reference {

inline long wrap(long k, long n) { return k < 0 ? ((k % n) + n) % n : k % n; }

inline long at(const int* n, long x, long y, long z) {
    return wrap(x, n[0]) + n[0] * (wrap(y, n[1]) + long(n[1]) * wrap(z, n[2]));
}

inline void relax_unwrap(const int* n, const double* phase, const double* weight, double* out, int iterations,
                         double lambda) {
    for (long t = 0; t < 2L * iterations; ++t)
        for (long z = 0; z < n[2]; ++z)
            for (long y = 0; y < n[1]; ++y)
                for (long x = (t + y + z) % 2; x < n[0]; x += 2) {
                    const long p = at(n, x, y, z);
                    const long q[6] = {at(n, x - 1, y, z), at(n, x + 1, y, z), at(n, x, y - 1, z),
                                       at(n, x, y + 1, z), at(n, x, y, z - 1), at(n, x, y, z + 1)};
                    const double e = phase[p] - out[p];
                    double W = 1e-6, R = 0.0, S = 0.0;
                    for (long k = 0; k < 6; ++k) {
                        const double c = weight[q[k]] * weight[p];
                        const double d = (e - phase[q[k]]) + out[q[k]] + 0.5;
                        const double r = (d - std::floor(d)) - 0.5;
                        W += c;
                        R += r * c;
                        S += out[q[k]];
                    }
                    out[p] = (lambda * S + (out[p] * W + R)) / (6 * lambda + W);
                }
}

struct Membrane {
    double wx, wy, wz, d;
    explicit Membrane(const double* p)
        : wx(-p[0] * p[0] * p[3]), wy(-p[1] * p[1] * p[3]), wz(-p[2] * p[2] * p[3]),
          d(((2 * p[0]) * p[0] + (2 * p[1]) * p[1] + (2 * p[2]) * p[2]) * p[3] + p[4]) {}
};

inline void LtLf_me(const int* n, const double* u, const double* param, double* out) {
    const Membrane k(param);
    for (long z = 0; z < n[2]; ++z)
        for (long y = 0; y < n[1]; ++y)
            for (long x = 0; x < n[0]; ++x)
                out[at(n, x, y, z)] =
                    ((k.d * u[at(n, x, y, z)] + k.wz * (u[at(n, x, y, z - 1)] + u[at(n, x, y, z + 1)])) +
                     k.wy * (u[at(n, x, y - 1, z)] + u[at(n, x, y + 1, z)])) +
                    k.wx * (u[at(n, x - 1, y, z)] + u[at(n, x + 1, y, z)]);
}

inline void relax_me(const int* n, const double* a, const double* b, const double* param, int nit, double* u) {
    const Membrane k(param);
    for (long t = 0; t < 2L * nit; ++t)
        for (long z = 0; z < n[2]; ++z)
            for (long y = 0; y < n[1]; ++y)
                for (long x = (t + y + z) % 2; x < n[0]; x += 2) {
                    const long p = at(n, x, y, z);
                    u[p] = (b[p] - ((k.wz * (u[at(n, x, y, z - 1)] + u[at(n, x, y, z + 1)]) +
                                     k.wy * (u[at(n, x, y - 1, z)] + u[at(n, x, y + 1, z)])) +
                                    k.wx * (u[at(n, x - 1, y, z)] + u[at(n, x + 1, y, z)]))) /
                           (a[p] + k.d);
                }
}

inline double wt2(double d) {
    const double t = std::fabs(d);
    if (t < 0.5) return 0.75 - t * t;
    if (t < 1.5) return 0.5 * (1.5 - t) * (1.5 - t);
    return 0.0;
}

// Output index k of nc from na: the three input indices and weights.
struct Tap {
    long im, i0, ip;
    double wm, w0, wp;
};
inline Tap tap(long k, long na, long nc) {
    const double s = (k + 0.5) * (double(na) / double(nc)) - 0.5;
    const long i = long(std::floor(s + 0.5));
    return {wrap(i - 1, na), i, wrap(i + 1, na), wt2((i - 1) - s), wt2(i - s), wt2((i + 1) - s)};
}

// Along y into rows of nax values, then along x, per element.
inline void resized_plane(const int* na, const double* a, const int* nc, double* c, double* work) {
    for (long j = 0; j < nc[1]; ++j) {
        const Tap t = tap(j, na[1], nc[1]);
        for (long x = 0; x < na[0]; ++x)
            work[j * na[0] + x] = a[x + na[0] * t.ip] * t.wp + a[x + na[0] * t.im] * t.wm + a[x + na[0] * t.i0] * t.w0;
    }
    for (long i = 0; i < nc[0]; ++i)
        for (long j = 0; j < nc[1]; ++j) {
            const Tap t = tap(i, na[0], nc[0]);
            c[i + nc[0] * j] =
                work[j * na[0] + t.ip] * t.wp + work[j * na[0] + t.im] * t.wm + work[j * na[0] + t.i0] * t.w0;
        }
}

// Resamples the three input planes of every output plane afresh.
inline void resize(const int* na, const double* a, const int* nc, double* c, double* work) {
    const long in_plane = long(na[0]) * na[1], out_plane = long(nc[0]) * nc[1];
    double* pm = work;
    double* p0 = work + out_plane;
    double* pp = work + 2 * out_plane;
    double* pw = work + 3 * out_plane;
    for (long k = 0; k < nc[2]; ++k) {
        const Tap t = tap(k, na[2], nc[2]);
        resized_plane(na, a + t.im * in_plane, nc, pm, pw);
        resized_plane(na, a + t.i0 * in_plane, nc, p0, pw);
        resized_plane(na, a + t.ip * in_plane, nc, pp, pw);
        for (long e = 0; e < out_plane; ++e) c[k * out_plane + e] = pp[e] * t.wp + pm[e] * t.wm + p0[e] * t.w0;
    }
}

// The whole solve, level arrays in vectors of their own.
inline void fmg(const int* dims, const double* a, const double* b, const double* param, int nfmg, int nit, double* u) {
    struct Level {
        int n[3] = {};
        long m = 0;
        double prm[5] = {};
        std::vector<double> a, b, bb, u;
    };
    std::vector<Level> lv(1);
    for (int k = 0; k < 3; ++k) lv[0].n[k] = dims[0 + k];
    lv[0].m = long(dims[0]) * dims[1] * dims[2];
    for (int k = 0; k < 5; ++k) lv[0].prm[k] = param[k];
    lv[0].a.assign(a, a + lv[0].m);
    lv[0].b.assign(b, b + lv[0].m);
    lv[0].bb = lv[0].b;
    lv[0].u.assign(lv[0].m, 0.0);
    for (int j = 1; j < 16; ++j) {
        Level l;
        for (int k = 0; k < 3; ++k) l.n[k] = int(std::ceil(lv[j - 1].n[k] / 2.0));
        l.m = long(l.n[0]) * l.n[1] * l.n[2];
        lv.push_back(l);
        if (l.n[0] < 2 && l.n[1] < 2 && l.n[2] < 2) break;
    }
    const int L = int(lv.size());
    std::vector<double> work(3 * long(dims[0]) * dims[1] + 2 * long(dims[0]) * dims[1]);
    std::vector<double> r(lv[0].m);
    for (int j = 1; j < L; ++j) {
        Level& l = lv[j];
        l.a.resize(l.m);
        l.b.resize(l.m);
        l.bb.resize(l.m);
        l.u.resize(l.m);
        resize(lv[j - 1].n, lv[j - 1].b.data(), l.n, l.b.data(), work.data());
        resize(lv[j - 1].n, lv[j - 1].a.data(), l.n, l.a.data(), work.data());
        for (int k = 0; k < 3; ++k) l.prm[k] = (l.n[k] * param[k]) / dims[k];
        l.prm[3] = param[3];
        l.prm[4] = param[4];
    }
    lv[L - 1].u[0] = lv[L - 1].b[0] / (param[4] + lv[L - 1].a[0]);
    for (int j = L - 2; j >= 0; --j) {
        resize(lv[j + 1].n, lv[j + 1].u.data(), lv[j].n, lv[j].u.data(), work.data());
        lv[j].bb = lv[j].b;
        for (int c = 0; c < nfmg; ++c) {
            for (int k = j; k < L - 1; ++k) {
                relax_me(lv[k].n, lv[k].a.data(), lv[k].bb.data(), lv[k].prm, nit, lv[k].u.data());
                LtLf_me(lv[k].n, lv[k].u.data(), lv[k].prm, r.data());
                for (long i = 0; i < lv[k].m; ++i) r[i] = lv[k].u[i] * lv[k].a[i] + r[i];
                for (long i = 0; i < lv[k].m; ++i) r[i] = lv[k].bb[i] - r[i];
                resize(lv[k].n, r.data(), lv[k + 1].n, lv[k + 1].bb.data(), work.data());
                for (long i = 0; i < lv[k + 1].m; ++i) lv[k + 1].u[i] = 0.0;
            }
            lv[L - 1].u[0] = lv[L - 1].bb[0] / (param[4] + lv[L - 1].a[0]);
            for (int k = L - 2; k >= j; --k) {
                resize(lv[k + 1].n, lv[k + 1].u.data(), lv[k].n, r.data(), work.data());
                for (long i = 0; i < lv[k].m; ++i) lv[k].u[i] += r[i];
                relax_me(lv[k].n, lv[k].a.data(), lv[k].bb.data(), lv[k].prm, nit, lv[k].u.data());
            }
        }
    }
    for (long i = 0; i < lv[0].m; ++i) u[i] = lv[0].u[i];
}

}  // namespace reference
}  // namespace warpmender
