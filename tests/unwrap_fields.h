// Test and benchmark data for the unwrapping code: seeded random arrays and smooth periodic phase fields.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace warpmender {
namespace test {

inline std::vector<double> random_values(long n, double lo, double hi, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = dist(rng);
    return v;
}

// Index of the first element whose bits differ; -1 when the arrays agree bit for bit.
inline long first_bit_difference(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return static_cast<long>(i);
    return -1;
}

constexpr double kTestPi = 3.141592653589793;

// A smooth field in radians with a whole number of periods along every axis,
// so that it is continuous across the periodic seams: peak-to-peak about
// 2 * (3 + 2 + 0.5) pi, i.e. several wraps, with at most ~2 rad between
// neighbours (well below pi, so its wrapped differences are the true ones).
struct SmoothField {
    int nx, ny, nz;
    double value(int x, int y, int z) const {
        return 3.0 * kTestPi * std::sin(2.0 * kTestPi * x / nx) +
               2.0 * kTestPi * std::cos(2.0 * kTestPi * y / ny + 0.3) +
               0.5 * kTestPi * std::sin(2.0 * kTestPi * z / nz + 1.0);
    }
    std::vector<double> values() const {
        std::vector<double> v(static_cast<size_t>(nx) * ny * nz);
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) v[x + nx * (y + static_cast<size_t>(ny) * z)] = value(x, y, z);
        return v;
    }
};

// phi wrapped into (-pi, pi].
inline double wrap_radians(double phi) { return phi - 2.0 * kTestPi * std::ceil((phi - kTestPi) / (2.0 * kTestPi)); }

// A magnitude image: 1000 inside an ellipsoid filling most of the grid, 0 outside.
inline std::vector<double> ellipsoid_magnitude(int nx, int ny, int nz) {
    std::vector<double> m(static_cast<size_t>(nx) * ny * nz);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const double dx = (x + 0.5 - nx / 2.0) / (0.45 * nx), dy = (y + 0.5 - ny / 2.0) / (0.45 * ny),
                             dz = nz > 1 ? (z + 0.5 - nz / 2.0) / (0.6 * nz) : 0.0;
                m[x + nx * (y + static_cast<size_t>(ny) * z)] = dx * dx + dy * dy + dz * dz <= 1.0 ? 1000.0 : 0.0;
            }
    return m;
}

// Largest |(a - b) - mean(a - b)| over the voxels where mask > 0: the error of
// an estimate that is allowed to be off by a constant.
inline double max_error_up_to_constant(const std::vector<double>& a, const std::vector<double>& b,
                                       const std::vector<double>& mask) {
    double sum = 0.0;
    long n = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (mask[i] > 0) {
            sum += a[i] - b[i];
            ++n;
        }
    const double mean = n ? sum / n : 0.0;
    double worst = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        if (mask[i] > 0) worst = std::fmax(worst, std::fabs(a[i] - b[i] - mean));
    return worst;
}

}  // namespace test
}  // namespace warpmender
