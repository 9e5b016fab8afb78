// Intensity (Jacobian) correction: the derivative of the sampling position along the phase-encoding axis.
#include "correction/jacobian.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace warpmender {
namespace correction {
namespace {

template <typename T>
void multiply(T* series, long voxels, long nt, const double* jacobian) {
    for (long t = 0; t < nt; ++t) {
        T* v = series + t * voxels;
        for (long i = 0; i < voxels; ++i) v[i] = static_cast<T>(v[i] * jacobian[i]);
    }
}

}  // namespace

std::vector<double> jacobian_map(const double* shift_voxels, long nx, long ny, long nz, int code, double least,
                                 double most) {
    if (code < 1 || code > 6)
        throw std::invalid_argument("phase-encoding code " + std::to_string(code) +
                                    " is not one of 1..6 (1 +x, 2 -x, 3 +y, 4 -y, 5 +z, 6 -z)");
    if (nx < 1 || ny < 1 || nz < 1)
        throw std::invalid_argument("the shift map has " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
                                    std::to_string(nz) + " voxels; every size must be at least 1");
    if (!(least <= most))
        throw std::invalid_argument("the Jacobian's clamp [" + std::to_string(least) + ", " + std::to_string(most) +
                                    "] is empty");
    const int axis = (code - 1) / 2;
    const double sense = code % 2 == 1 ? 1.0 : -1.0;
    const long n = axis == 0 ? nx : axis == 1 ? ny : nz;
    const long stride = axis == 0 ? 1 : axis == 1 ? nx : nx * ny;
    std::vector<double> jac(static_cast<size_t>(nx * ny * nz));
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y) {
            const long row = nx * (y + ny * z);
            const long c_yz = axis == 1 ? y : z;  // the voxel's coordinate on the axis, when the axis is y or z
            for (long x = 0; x < nx; ++x) {
                const long v = row + x;
                const long c = axis == 0 ? x : c_yz;
                double ds = 0.0;
                if (n > 1) {
                    if (c == 0)
                        ds = shift_voxels[v + stride] - shift_voxels[v];
                    else if (c == n - 1)
                        ds = shift_voxels[v] - shift_voxels[v - stride];
                    else
                        ds = (shift_voxels[v + stride] - shift_voxels[v - stride]) * 0.5;
                }
                double j = 1.0 + sense * ds;
                if (!std::isfinite(j))
                    j = 1.0;
                else if (j < least)
                    j = least;
                else if (j > most)
                    j = most;
                jac[static_cast<size_t>(v)] = j;
            }
        }
    return jac;
}

void apply_jacobian(float* series, long voxels, long nt, const double* jacobian) {
    multiply(series, voxels, nt, jacobian);
}
void apply_jacobian(double* series, long voxels, long nt, const double* jacobian) {
    multiply(series, voxels, nt, jacobian);
}

}  // namespace correction
}  // namespace warpmender
