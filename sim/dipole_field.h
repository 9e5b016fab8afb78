// The B0 field offset that a susceptibility distribution causes (dipole kernel in k-space), and shimming.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/grid.h"

namespace warpmender {
namespace sim {

constexpr double kGammaBarMHzPerTesla = 42.577;  // proton gyromagnetic ratio / 2 pi

struct FieldParams {
    double b0_tesla = 3.0;
    // Each axis is zero-padded to at least this many times its length (then up
    // to a size the FFT likes), so that the periodic copies of the object that
    // the FFT implies sit far away. 1 means no padding.
    double padding = 2.0;
    // Polynomial order of the shim applied over the head (see shim_field);
    // -1 leaves the field as computed.
    int shim_order = 1;
};

// Field offset along B0 (which points along z), as a fraction of B0 in ppm,
// for volume susceptibilities chi in ppm:
//
//     dB/B0 = IFFT( D(k) * FFT(chi) ),   D(k) = 1/3 - kz^2 / |k|^2,   D(0) = 0.
//
// The 1/3 is the Lorentz-sphere correction, so a uniform sphere of excess
// susceptibility dchi has no offset inside and
//     dchi/3 * (a/r)^3 * (3 cos^2(theta) - 1)
// outside. The padding holds the mean of the grid's six faces (the
// surrounding medium); D(0) = 0 makes the offset's mean over the padded box 0.
// k is scaled by the voxel size per axis, so anisotropic voxels are right.
// Throws warpmender::Error for a bad grid, a chi of the wrong size or
// padding below 1.
std::vector<double> dipole_field_ppm(const Grid& grid, const std::vector<double>& chi_ppm, double padding = 2.0);

// Hz = ppm * 1e-6 * gamma-bar * B0 (127.731 Hz per ppm at 3 T).
double ppm_to_hz(double ppm, double b0_tesla);

// Smallest size >= n whose only prime factors are 2, 3, 5 and 7.
int fft_friendly_size(int n);

// Removes from the field the least-squares fit over the mask of the
// polynomials up to the given order in x, y, z (0: the mean; 1: plus the
// linear gradients; 2: plus x^2, y^2, z^2, xy, xz, yz),
// the way a scanner's shim coils flatten the field over the head before the
// scan. Voxels outside the mask change by the same polynomial. An empty mask
// leaves the field unchanged. Throws warpmender::Error for an order outside
// 0..2 or sizes that do not match the grid.
void shim_field(const Grid& grid, std::vector<double>& field, const std::vector<std::uint8_t>& mask, int order);

// The whole chain: dipole_field_ppm, to Hz, shim_field over the mask.
std::vector<double> field_offset_hz(const Grid& grid, const std::vector<double>& chi_ppm,
                                    const std::vector<std::uint8_t>& shim_mask,
                                    const FieldParams& params = FieldParams{});

}  // namespace sim
}  // namespace warpmender
