// hsCalculateIAMatrix: the rigid FMR-to-VMR alignment derived from two scanner-position records.
#include <cmath>
#include <cstring>

#include "host/alignment.h"
#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

namespace {

struct Vec3 {
    double x, y, z;
};

Vec3 sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double length(Vec3 a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

}  // namespace

Frame frame_of(const FMR_ScannerPosition_Header& p) {
    Frame f;
    const Vec3 c1{p.Slice1CenterX, p.Slice1CenterY, p.Slice1CenterZ};
    const Vec3 cn{p.SliceNCenterX, p.SliceNCenterY, p.SliceNCenterZ};
    const Vec3 r{p.RowDirX, p.RowDirY, p.RowDirZ};
    const Vec3 c{p.ColDirX, p.ColDirY, p.ColDirZ};
    f.origin[0] = 0.5 * (c1.x + cn.x);
    f.origin[1] = 0.5 * (c1.y + cn.y);
    f.origin[2] = 0.5 * (c1.z + cn.z);
    // A single slice has c1 = cN: its normal is then the row x column direction.
    const Vec3 d = sub(cn, c1);
    const double len = length(d);
    const Vec3 z = len > 0.0 ? Vec3{d.x / len, d.y / len, d.z / len} : cross(r, c);
    const Vec3 axes[3] = {r, c, z};
    for (int col = 0; col < 3; ++col) {
        f.axes[0][col] = axes[col].x;
        f.axes[1][col] = axes[col].y;
        f.axes[2][col] = axes[col].z;
    }
    return f;
}

void slice_order_flip(const FMR_ScannerPosition_Header& p, bool& flip_x, bool& flip_z) {
    // The same single-precision test the plug-in makes on the FMR record.
    const float dx = p.Slice1CenterX - p.SliceNCenterX;
    const float dy = p.Slice1CenterY - p.SliceNCenterY;
    const float dz = p.Slice1CenterZ - p.SliceNCenterZ;
    flip_x = flip_z = false;
    if (std::fabs(dz) > std::fabs(dx) || std::fabs(dy) > std::fabs(dx))
        flip_z = dz < 0.0f;
    else
        flip_x = dx > 0.0f;
}

void fmr_to_vmr(const FMR_ScannerPosition_Header& fmr, const FMR_ScannerPosition_Header& vmr, float out[4][4]) {
    Frame f = frame_of(fmr);
    const Frame v = frame_of(vmr);
    bool flip_x = false, flip_z = false;
    slice_order_flip(fmr, flip_x, flip_z);
    for (int r = 0; r < 3; ++r) {
        if (flip_x) f.axes[r][0] = -f.axes[r][0];
        if (flip_z) f.axes[r][2] = -f.axes[r][2];
    }
    // ia = [ R_V^T R_F F | R_V^T (o_F - o_V) ]
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += v.axes[k][r] * f.axes[k][c];
            out[r][c] = static_cast<float>(s);
        }
        double t = 0.0;
        for (int k = 0; k < 3; ++k) t += v.axes[k][r] * (f.origin[k] - v.origin[k]);
        out[r][3] = static_cast<float>(t);
    }
    out[3][0] = out[3][1] = out[3][2] = 0.0f;
    out[3][3] = 1.0f;
}

}  // namespace host
}  // namespace warpmender

extern "C" int hsCalculateIAMatrix(const FMR_ScannerPosition_Header* fmr, const FMR_ScannerPosition_Header* vmr,
                                   const VMR_PastTransformations* past, float fmrToVmr[4][4], float second[4][4],
                                   float* tx, float* ty, float* tz, float* rx, float* ry, float* rz) {
    if (fmr == nullptr || vmr == nullptr || fmrToVmr == nullptr) return 0;
    warpmender::host::fmr_to_vmr(*fmr, *vmr, fmrToVmr);
    if (second != nullptr) {
        if (past != nullptr && past->count > 0) {
            std::memcpy(second, past->matrices[0], sizeof(float) * 16);
        } else {
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) second[r][c] = r == c ? 1.0f : 0.0f;
        }
    }
    // Translation in mm and rotation angles in degrees of R = Rz * Ry * Rx.
    constexpr double kDegrees = 57.29577951308232;
    const float(*m)[4] = fmrToVmr;
    if (tx) *tx = m[0][3];
    if (ty) *ty = m[1][3];
    if (tz) *tz = m[2][3];
    const double s = m[2][0] < -1.0f ? -1.0 : (m[2][0] > 1.0f ? 1.0 : m[2][0]);
    if (ry) *ry = static_cast<float>(std::asin(-s) * kDegrees);
    if (rx) *rx = static_cast<float>(std::atan2(m[2][1], m[2][2]) * kDegrees);
    if (rz) *rz = static_cast<float>(std::atan2(m[1][0], m[0][0]) * kDegrees);
    return 1;
}
