// EPI truth series and the forward model of the susceptibility distortion.
#include "sim/epi.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/error.h"
#include "sim/fieldmap_scan.h"

namespace warpmender {
namespace sim {
namespace {

// One volume along one axis; Axis fixed at compile time so the inner loop
// carries no branch on it.
template <int Axis>
void push_volume(const Grid& g, const float* in, const double* shift, int sense, double* acc) {
    const long nx = g.nx, ny = g.ny, nz = g.nz;
    const long n = Axis == 0 ? nx : Axis == 1 ? ny : nz;
    const long stride = Axis == 0 ? 1 : Axis == 1 ? nx : nx * ny;
    const double first = -0.5, last = static_cast<double>(n) - 0.5;  // outer faces of the axis
    const double sgn = static_cast<double>(sense);
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const long row = nx * (y + ny * z);
            for (long x = 0; x < nx; ++x) {
                const long i = row + x;
                const double v = in[i];
                if (v == 0.0) continue;  // air moves nothing
                const long c = Axis == 0 ? x : Axis == 1 ? y : z;
                // The shift at the voxel's two faces: the mean of the voxels
                // beside each face, the voxel's own at the ends of the axis.
                const double s = shift[i];
                const double s_lo = c > 0 ? 0.5 * (shift[i - stride] + s) : s;
                const double s_hi = c < n - 1 ? 0.5 * (s + shift[i + stride]) : s;
                double lo = static_cast<double>(c) - 0.5 + sgn * s_lo;
                double hi = static_cast<double>(c) + 0.5 + sgn * s_hi;
                if (hi < lo) std::swap(lo, hi);            // folded over: it still covers [lo, hi]
                if (!(hi > first && lo < last)) continue;  // lands outside (or NaN): lost
                double* line = acc + (i - c * stride);
                const double width = hi - lo;
                if (!(width > 1e-9)) {  // squeezed to a point: all into the voxel holding it
                    const long m = std::clamp(static_cast<long>(std::floor(lo + 0.5)), 0L, n - 1);
                    line[m * stride] += v;
                    continue;
                }
                const double a = std::fmax(lo, first), b = std::fmin(hi, last);
                const double density = v / width;
                const long m0 = static_cast<long>(std::floor(a + 0.5));
                const long m1 = std::min(static_cast<long>(std::floor(b + 0.5)), n - 1);
                for (long m = m0; m <= m1; ++m) {
                    const double overlap = std::fmin(b, m + 0.5) - std::fmax(a, m - 0.5);
                    if (overlap > 0.0) line[m * stride] += density * overlap;
                }
            }
        }
}

}  // namespace

PeAxis pe_axis(int code) {
    switch (code) {
        case 1: return {0, +1};
        case 2: return {0, -1};
        case 3: return {1, +1};
        case 4: return {1, -1};
        case 5: return {2, +1};
        case 6: return {2, -1};
        default: throw Error("EPI: phase-encoding direction " + std::to_string(code) + " is not one of the codes 1..6");
    }
}

std::vector<double> shift_map_voxels(const std::vector<double>& field_hz, double bandwidth_pe_hz) {
    if (!(bandwidth_pe_hz > 0.0) || !std::isfinite(bandwidth_pe_hz))
        throw Error("EPI: bandwidth per voxel " + std::to_string(bandwidth_pe_hz) + " Hz must be positive");
    std::vector<double> s(field_hz.size());
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = field_hz[i] / bandwidth_pe_hz;
    return s;
}

double task_regressor(int t, int block_length) {
    if (block_length <= 0) return 0.0;
    return (t / block_length) % 2 == 1 ? 1.0 : 0.0;
}

std::vector<float> dephasing_factor(const Grid& g, const std::vector<double>& field_hz, double echo_time_ms) {
    check_grid(g, "dephasing");
    if (field_hz.size() != g.voxels())
        throw Error("dephasing: field of " + std::to_string(field_hz.size()) + " voxels for a grid of " +
                    std::to_string(g.voxels()));
    if (!(echo_time_ms >= 0.0) || !std::isfinite(echo_time_ms))
        throw Error("dephasing: echo time " + std::to_string(echo_time_ms) + " ms must be 0 or more");
    constexpr double kPi = 3.14159265358979323846;
    const double te = echo_time_ms * 1e-3;
    auto sinc = [](double u) { return std::fabs(u) < 1e-8 ? 1.0 : std::fabs(std::sin(u) / u); };
    // Change across one voxel along an axis of length n at coordinate c, stride st.
    auto spread = [&](const double* f, int c, int n, long st) {
        if (n < 2) return 0.0;
        if (c == 0) return f[st] - f[0];
        if (c == n - 1) return f[0] - f[-st];
        return 0.5 * (f[st] - f[-st]);
    };
    std::vector<float> out(g.voxels());
    const long sy = g.nx, sz = static_cast<long>(g.nx) * g.ny;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            const std::size_t row = g.index(0, y, z);
            for (int x = 0; x < g.nx; ++x) {
                const double* f = field_hz.data() + row + x;
                const double k = sinc(kPi * spread(f, x, g.nx, 1) * te) * sinc(kPi * spread(f, y, g.ny, sy) * te) *
                                 sinc(kPi * spread(f, z, g.nz, sz) * te);
                out[row + x] = static_cast<float>(k);
            }
        }
    return out;
}

std::vector<float> epi_truth_series(const Phantom& ph, const EpiParams& params, const std::vector<float>& factor) {
    check_grid(ph.grid, "EPI");
    if (params.nt < 1) throw Error("EPI: " + std::to_string(params.nt) + " volumes; at least 1 is needed");
    const std::size_t n = ph.grid.voxels();
    if (ph.epi.size() != n || ph.activation.size() != n || (!factor.empty() && factor.size() != n))
        throw Error("EPI: the phantom's images or the signal factor do not match the grid");
    std::vector<float> series(n * static_cast<std::size_t>(params.nt));
    for (int t = 0; t < params.nt; ++t) {
        const double gain = 0.01 * params.response_percent * task_regressor(t, params.block_length);
        float* out = series.data() + n * static_cast<std::size_t>(t);
        for (std::size_t i = 0; i < n; ++i)
            out[i] =
                static_cast<float>(ph.epi[i] * (factor.empty() ? 1.0 : factor[i]) * (1.0 + gain * ph.activation[i]));
    }
    return series;
}

void distort_volume(const Grid& g, const float* truth, const double* shift, int code, float* out, double* scratch) {
    const PeAxis a = pe_axis(code);
    const std::size_t n = g.voxels();
    for (std::size_t i = 0; i < n; ++i) scratch[i] = 0.0;
    switch (a.axis) {
        case 0: push_volume<0>(g, truth, shift, a.sense, scratch); break;
        case 1: push_volume<1>(g, truth, shift, a.sense, scratch); break;
        default: push_volume<2>(g, truth, shift, a.sense, scratch); break;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(scratch[i]);
}

std::vector<float> distort_series(const Grid& g, int nt, const std::vector<float>& truth,
                                  const std::vector<double>& shift, int code) {
    check_grid(g, "EPI distortion");
    pe_axis(code);
    const std::size_t n = g.voxels();
    if (nt < 1 || truth.size() != n * static_cast<std::size_t>(nt) || shift.size() != n)
        throw Error("EPI distortion: series of " + std::to_string(truth.size()) + " values and shift map of " +
                    std::to_string(shift.size()) + " for " + std::to_string(nt) + " volumes of " + std::to_string(n) +
                    " voxels");
    std::vector<float> out(truth.size());
    std::vector<double> scratch(n);
    for (int t = 0; t < nt; ++t) {
        const std::size_t off = n * static_cast<std::size_t>(t);
        distort_volume(g, truth.data() + off, shift.data(), code, out.data() + off, scratch.data());
    }
    return out;
}

void undistort_volume(const Grid& g, const float* in, const double* shift, int code, float* out) {
    const PeAxis a = pe_axis(code);
    const long nx = g.nx, ny = g.ny, nz = g.nz;
    const long n = a.axis == 0 ? nx : a.axis == 1 ? ny : nz;
    const long stride = a.axis == 0 ? 1 : a.axis == 1 ? nx : nx * ny;
    const double sgn = static_cast<double>(a.sense);
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const long row = nx * (y + ny * z);
            for (long x = 0; x < nx; ++x) {
                const long i = row + x;
                const long c = a.axis == 0 ? x : a.axis == 1 ? y : z;
                const double p = static_cast<double>(c) + sgn * shift[i];
                if (!std::isfinite(p)) {
                    out[i] = std::numeric_limits<float>::quiet_NaN();
                    continue;
                }
                const double f = std::floor(p);
                const double w = p - f;
                // Clamp in double first: a huge p must not overflow the conversion.
                const long lo = static_cast<long>(std::clamp(f, 0.0, static_cast<double>(n - 1)));
                const long hi = static_cast<long>(std::clamp(std::ceil(p), 0.0, static_cast<double>(n - 1)));
                const float* line = in + (i - c * stride);
                out[i] = static_cast<float>(line[hi * stride] * w + line[lo * stride] * (1.0 - w));
            }
        }
}

std::vector<float> undistort_series(const Grid& g, int nt, const std::vector<float>& distorted,
                                    const std::vector<double>& shift, int code) {
    check_grid(g, "EPI correction");
    pe_axis(code);
    const std::size_t n = g.voxels();
    if (nt < 1 || distorted.size() != n * static_cast<std::size_t>(nt) || shift.size() != n)
        throw Error("EPI correction: series of " + std::to_string(distorted.size()) + " values and shift map of " +
                    std::to_string(shift.size()) + " for " + std::to_string(nt) + " volumes of " + std::to_string(n) +
                    " voxels");
    std::vector<float> out(distorted.size());
    for (int t = 0; t < nt; ++t) {
        const std::size_t off = n * static_cast<std::size_t>(t);
        undistort_volume(g, distorted.data() + off, shift.data(), code, out.data() + off);
    }
    return out;
}

void add_noise(std::vector<float>& series, double sigma, std::uint64_t seed) {
    if (!(sigma >= 0.0) || !std::isfinite(sigma))
        throw Error("EPI: noise " + std::to_string(sigma) + " must be 0 or more");
    if (sigma == 0.0) return;
    Random rng(seed);
    for (float& v : series) v = static_cast<float>(std::fabs(v + sigma * rng.normal()));
}

}  // namespace sim
}  // namespace warpmender
