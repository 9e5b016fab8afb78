// World alignment: grid comparison, overlap and trilinear resampling through the scanner frame.
#include "correction/world_grid.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace warpmender {
namespace correction {
namespace {

using Affine = std::array<std::array<double, 4>, 4>;

// Inverse of an affine [A | t; 0 0 0 1]: [A^-1 | -A^-1 t]. check_grid has
// made sure A is invertible.
Affine inverse(const Affine& m) {
    const double a = m[0][0], b = m[0][1], c = m[0][2];
    const double d = m[1][0], e = m[1][1], f = m[1][2];
    const double g = m[2][0], h = m[2][1], k = m[2][2];
    const double det = a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
    Affine r{};
    r[0][0] = (e * k - f * h) / det;
    r[0][1] = (c * h - b * k) / det;
    r[0][2] = (b * f - c * e) / det;
    r[1][0] = (f * g - d * k) / det;
    r[1][1] = (a * k - c * g) / det;
    r[1][2] = (c * d - a * f) / det;
    r[2][0] = (d * h - e * g) / det;
    r[2][1] = (b * g - a * h) / det;
    r[2][2] = (a * e - b * d) / det;
    for (int i = 0; i < 3; ++i) r[i][3] = -(r[i][0] * m[0][3] + r[i][1] * m[1][3] + r[i][2] * m[2][3]);
    r[3] = {0.0, 0.0, 0.0, 1.0};
    return r;
}

Affine product(const Affine& a, const Affine& b) {
    Affine r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] + a[i][3] * b[3][j];
    return r;
}

// Target voxel index -> source voxel index.
Affine target_to_source(const WorldGrid& target, const WorldGrid& source) {
    check_grid(target, "the target grid");
    check_grid(source, "the source grid");
    return product(inverse(source.affine), target.affine);
}

// Inside [-1/2, n - 1/2].
bool within(double p, int n) { return p >= -0.5 && p <= n - 0.5; }

}  // namespace

void check_grid(const WorldGrid& grid, const char* what) {
    if (grid.nx < 1 || grid.ny < 1 || grid.nz < 1)
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(grid.nx) + " x " +
                                    std::to_string(grid.ny) + " x " + std::to_string(grid.nz) +
                                    " voxels; every size must be at least 1");
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(grid.affine[r][c]))
                throw std::invalid_argument(std::string(what) +
                                            ": its affine holds a value that is not a finite number (row " +
                                            std::to_string(r) + ", column " + std::to_string(c) + ")");
    const auto& a = grid.affine;
    if (a[3][0] != 0.0 || a[3][1] != 0.0 || a[3][2] != 0.0 || a[3][3] != 1.0)
        throw std::invalid_argument(std::string(what) + ": its affine's last row is not 0 0 0 1");
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    // Relative to the product of the column lengths, so that the test does not depend on the voxel size.
    double lengths = 1.0;
    for (int c = 0; c < 3; ++c) lengths *= std::sqrt(a[0][c] * a[0][c] + a[1][c] * a[1][c] + a[2][c] * a[2][c]);
    if (!(lengths > 0.0) || !(std::fabs(det) > 1e-9 * lengths))
        throw std::invalid_argument(std::string(what) +
                                    ": its affine maps the voxel axes onto a plane or a line (determinant " +
                                    std::to_string(det) + "); the voxels have no place in the scanner frame");
}

double corner_mismatch_voxels(const WorldGrid& a, const WorldGrid& b) {
    const Affine m = target_to_source(a, b);
    double worst = 0.0;
    for (int corner = 0; corner < 8; ++corner) {
        const double p[3] = {(corner & 1) ? a.nx - 0.5 : -0.5, (corner & 2) ? a.ny - 0.5 : -0.5,
                             (corner & 4) ? a.nz - 0.5 : -0.5};
        double d2 = 0.0;
        for (int r = 0; r < 3; ++r) {
            const double q = m[r][0] * p[0] + m[r][1] * p[1] + m[r][2] * p[2] + m[r][3];
            d2 += (q - p[r]) * (q - p[r]);
        }
        worst = std::max(worst, std::sqrt(d2));
    }
    return worst;
}

bool same_grid(const WorldGrid& a, const WorldGrid& b) {
    return a.nx == b.nx && a.ny == b.ny && a.nz == b.nz && corner_mismatch_voxels(a, b) <= kSameGridVoxels;
}

double overlap_fraction(const WorldGrid& target, const WorldGrid& source) {
    const Affine m = target_to_source(target, source);
    std::size_t inside = 0;
    for (int k = 0; k < target.nz; ++k)
        for (int j = 0; j < target.ny; ++j) {
            const double r0 = m[0][1] * j + m[0][2] * k + m[0][3];
            const double r1 = m[1][1] * j + m[1][2] * k + m[1][3];
            const double r2 = m[2][1] * j + m[2][2] * k + m[2][3];
            for (int i = 0; i < target.nx; ++i)
                inside += within(m[0][0] * i + r0, source.nx) && within(m[1][0] * i + r1, source.ny) &&
                          within(m[2][0] * i + r2, source.nz);
        }
    return static_cast<double>(inside) / static_cast<double>(target.voxels());
}

void resample_to_grid(const WorldGrid& source, const double* source_map, const WorldGrid& target, double* out,
                      std::uint8_t* inside) {
    const Affine m = target_to_source(target, source);
    const long sx = source.nx, sy = source.ny, sz = source.nz;
    const long plane = sx * sy;
    // Lower neighbour and upper weight on one source axis, the neighbours clamped to the axis.
    auto split = [](double p, long n, long& lo, long& hi, double& w) {
        const double f = std::floor(p);
        w = p - f;
        lo = static_cast<long>(f);
        hi = lo + 1;
        if (lo < 0) lo = 0;
        if (hi > n - 1) hi = n - 1;
        if (lo > n - 1) lo = n - 1;
        if (hi < 0) hi = 0;
    };
    std::size_t v = 0;
    for (int k = 0; k < target.nz; ++k)
        for (int j = 0; j < target.ny; ++j) {
            const double r0 = m[0][1] * j + m[0][2] * k + m[0][3];
            const double r1 = m[1][1] * j + m[1][2] * k + m[1][3];
            const double r2 = m[2][1] * j + m[2][2] * k + m[2][3];
            for (int i = 0; i < target.nx; ++i, ++v) {
                const double px = m[0][0] * i + r0, py = m[1][0] * i + r1, pz = m[2][0] * i + r2;
                if (!(within(px, source.nx) && within(py, source.ny) && within(pz, source.nz))) {
                    out[v] = 0.0;
                    if (inside) inside[v] = 0;
                    continue;
                }
                long x0, x1, y0, y1, z0, z1;
                double wx, wy, wz;
                split(px, sx, x0, x1, wx);
                split(py, sy, y0, y1, wy);
                split(pz, sz, z0, z1, wz);
                const double* p0 = source_map + z0 * plane;
                const double* p1 = source_map + z1 * plane;
                const double c00 = p0[x0 + sx * y0] * (1.0 - wx) + p0[x1 + sx * y0] * wx;
                const double c10 = p0[x0 + sx * y1] * (1.0 - wx) + p0[x1 + sx * y1] * wx;
                const double c01 = p1[x0 + sx * y0] * (1.0 - wx) + p1[x1 + sx * y0] * wx;
                const double c11 = p1[x0 + sx * y1] * (1.0 - wx) + p1[x1 + sx * y1] * wx;
                const double c0 = c00 * (1.0 - wy) + c10 * wy;
                const double c1 = c01 * (1.0 - wy) + c11 * wy;
                out[v] = c0 * (1.0 - wz) + c1 * wz;
                if (inside) inside[v] = 1;
            }
        }
}

}  // namespace correction
}  // namespace warpmender
