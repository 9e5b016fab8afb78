// Field offset of a susceptibility distribution by FFT with the dipole kernel; polynomial shimming.
#include "sim/dipole_field.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "core/error.h"

namespace warpmender {
namespace sim {
namespace {

struct FftwFree {
    void operator()(double* p) const { fftw_free(p); }
};
struct PlanDestroy {
    void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};
using FftwBuffer = std::unique_ptr<double, FftwFree>;
using Plan = std::unique_ptr<std::remove_pointer_t<fftw_plan>, PlanDestroy>;

// Mean of the voxels on the six faces of the grid.
double face_mean(const Grid& g, const std::vector<double>& v) {
    double sum = 0.0;
    std::size_t count = 0;
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            const bool face = z == 0 || z == g.nz - 1 || y == 0 || y == g.ny - 1;
            const std::size_t row = g.index(0, y, z);
            if (face) {
                for (int x = 0; x < g.nx; ++x) sum += v[row + x];
                count += g.nx;
            } else {
                sum += v[row];
                ++count;
                if (g.nx > 1) {
                    sum += v[row + g.nx - 1];
                    ++count;
                }
            }
        }
    return sum / static_cast<double>(count);
}

// Squared spatial frequency (cycles/mm)^2 of FFT bin i of n at spacing d.
double freq2(int i, int n, double d) {
    const int m = i <= n / 2 ? i : i - n;
    const double k = m / (n * d);
    return k * k;
}

}  // namespace

int fft_friendly_size(int n) {
    for (int m = std::max(n, 1);; ++m) {
        int r = m;
        for (int p : {2, 3, 5, 7})
            while (r % p == 0) r /= p;
        if (r == 1) return m;
    }
}

double ppm_to_hz(double ppm, double b0_tesla) { return ppm * kGammaBarMHzPerTesla * b0_tesla; }

std::vector<double> dipole_field_ppm(const Grid& g, const std::vector<double>& chi_ppm, double padding) {
    check_grid(g, "dipole field");
    if (chi_ppm.size() != g.voxels())
        throw Error("dipole field: " + std::to_string(chi_ppm.size()) + " susceptibility values for a grid of " +
                    std::to_string(g.voxels()) + " voxels");
    if (!(padding >= 1.0) || !(padding <= 8.0))
        throw Error("dipole field: padding " + std::to_string(padding) + " must lie in 1..8");

    const int px = fft_friendly_size(static_cast<int>(std::ceil(g.nx * padding)));
    const int py = fft_friendly_size(static_cast<int>(std::ceil(g.ny * padding)));
    const int pz = fft_friendly_size(static_cast<int>(std::ceil(g.nz * padding)));
    const int hx = px / 2 + 1;                                 // complex bins along x of the real-to-complex transform
    const std::size_t row = 2 * static_cast<std::size_t>(hx);  // in-place rows are padded to 2*hx doubles
    const std::size_t total = row * py * pz;

    FftwBuffer buf(static_cast<double*>(fftw_malloc(sizeof(double) * total)));
    if (!buf) throw Error("dipole field: cannot allocate " + std::to_string(total * sizeof(double)) + " bytes");
    double* data = buf.get();
    fftw_complex* spectrum = reinterpret_cast<fftw_complex*>(data);
    // FFTW_ESTIMATE: planning leaves the buffer alone and the plan (so every
    // bit of the result) does not depend on timing.
    Plan forward(fftw_plan_dft_r2c_3d(pz, py, px, data, spectrum, FFTW_ESTIMATE));
    Plan backward(fftw_plan_dft_c2r_3d(pz, py, px, spectrum, data, FFTW_ESTIMATE));
    if (!forward || !backward)
        throw Error("dipole field: FFTW could not plan a " + std::to_string(px) + " x " + std::to_string(py) + " x " +
                    std::to_string(pz) + " transform");

    // The object relative to the medium around it, zero beyond the grid.
    const double medium = face_mean(g, chi_ppm);
    std::fill(data, data + total, 0.0);
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            const double* src = chi_ppm.data() + g.index(0, y, z);
            double* dst = data + row * (static_cast<std::size_t>(y) + static_cast<std::size_t>(py) * z);
            for (int x = 0; x < g.nx; ++x) dst[x] = src[x] - medium;
        }

    fftw_execute(forward.get());
    // The kernel, with the 1/N of the unnormalised inverse folded in.
    const double scale = 1.0 / (static_cast<double>(px) * py * pz);
    for (int kz = 0; kz < pz; ++kz) {
        const double fz = freq2(kz, pz, g.dz);
        for (int ky = 0; ky < py; ++ky) {
            const double fyz = freq2(ky, py, g.dy) + fz;
            fftw_complex* line = spectrum + static_cast<std::size_t>(hx) *
                                                (static_cast<std::size_t>(ky) + static_cast<std::size_t>(py) * kz);
            for (int kx = 0; kx < hx; ++kx) {
                const double f = freq2(kx, px, g.dx) + fyz;
                const double d = f > 0.0 ? (1.0 / 3.0 - fz / f) * scale : 0.0;
                line[kx][0] *= d;
                line[kx][1] *= d;
            }
        }
    }
    fftw_execute(backward.get());

    std::vector<double> field(g.voxels());
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            const double* src = data + row * (static_cast<std::size_t>(y) + static_cast<std::size_t>(py) * z);
            std::copy(src, src + g.nx, field.data() + g.index(0, y, z));
        }
    return field;
}

void shim_field(const Grid& g, std::vector<double>& field, const std::vector<std::uint8_t>& mask, int order) {
    check_grid(g, "shim");
    if (order < 0 || order > 2) throw Error("shim: order " + std::to_string(order) + " must be 0, 1 or 2");
    if (field.size() != g.voxels() || mask.size() != g.voxels())
        throw Error("shim: field of " + std::to_string(field.size()) + " and mask of " + std::to_string(mask.size()) +
                    " voxels for a grid of " + std::to_string(g.voxels()));

    constexpr int kMaxTerms = 10;
    const int terms = order == 0 ? 1 : order == 1 ? 4 : 10;
    // Coordinates scaled to -1..1 across the grid keep the normal equations well conditioned.
    const double sx = g.nx > 1 ? 2.0 / (g.nx - 1) : 0.0, sy = g.ny > 1 ? 2.0 / (g.ny - 1) : 0.0,
                 sz = g.nz > 1 ? 2.0 / (g.nz - 1) : 0.0;
    auto basis = [&](int x, int y, int z, double* b) {
        const double u = x * sx - (g.nx > 1 ? 1.0 : 0.0), v = y * sy - (g.ny > 1 ? 1.0 : 0.0),
                     w = z * sz - (g.nz > 1 ? 1.0 : 0.0);
        b[0] = 1.0;
        if (terms > 1) {
            b[1] = u;
            b[2] = v;
            b[3] = w;
        }
        if (terms > 4) {
            b[4] = u * u;
            b[5] = v * v;
            b[6] = w * w;
            b[7] = u * v;
            b[8] = u * w;
            b[9] = v * w;
        }
    };

    std::array<std::array<double, kMaxTerms + 1>, kMaxTerms> m{};  // normal equations | right-hand side
    std::size_t count = 0;
    double b[kMaxTerms];
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                const std::size_t i = g.index(x, y, z);
                if (!mask[i]) continue;
                basis(x, y, z, b);
                for (int r = 0; r < terms; ++r) {
                    for (int c = 0; c < terms; ++c) m[r][c] += b[r] * b[c];
                    m[r][terms] += b[r] * field[i];
                }
                ++count;
            }
    if (count == 0) return;

    // Gauss-Jordan on the symmetric positive semi-definite system, pivoting on
    // the diagonal; a term that the mask cannot tell from the others (z on a
    // single slice, say) loses its pivot and is dropped.
    double coef[kMaxTerms] = {};
    bool used[kMaxTerms] = {};
    double diagonal[kMaxTerms];
    for (int c = 0; c < terms; ++c) diagonal[c] = m[c][c];
    for (int c = 0; c < terms; ++c) {
        if (!(m[c][c] > 1e-10 * diagonal[c])) continue;
        used[c] = true;
        for (int r = 0; r < terms; ++r) {
            if (r == c || m[r][c] == 0.0) continue;
            const double f = m[r][c] / m[c][c];
            for (int k = 0; k <= terms; ++k) m[r][k] -= f * m[c][k];
        }
    }
    for (int c = 0; c < terms; ++c) coef[c] = used[c] ? m[c][terms] / m[c][c] : 0.0;

    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y)
            for (int x = 0; x < g.nx; ++x) {
                basis(x, y, z, b);
                double fit = 0.0;
                for (int r = 0; r < terms; ++r) fit += coef[r] * b[r];
                field[g.index(x, y, z)] -= fit;
            }
}

std::vector<double> field_offset_hz(const Grid& g, const std::vector<double>& chi_ppm,
                                    const std::vector<std::uint8_t>& shim_mask, const FieldParams& params) {
    if (!(params.b0_tesla > 0.0) || !std::isfinite(params.b0_tesla))
        throw Error("field offset: B0 of " + std::to_string(params.b0_tesla) + " T must be positive");
    std::vector<double> field = dipole_field_ppm(g, chi_ppm, params.padding);
    for (double& f : field) f = ppm_to_hz(f, params.b0_tesla);
    if (params.shim_order >= 0) shim_field(g, field, shim_mask, params.shim_order);
    return field;
}

}  // namespace sim
}  // namespace warpmender
