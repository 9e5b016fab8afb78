// Nearest-neighbour scatter of a map through the anatomical grid (single precision positions).
#include "fieldmap/anatomy_mapping.h"

#include <cmath>

#include "core/helper_tools.h"
#include "core/mat44.h"

namespace warpmender {
namespace {

// Centre of an axis of n voxels: the integer n - 1 over 2.0, in single precision.
inline float centre(long n) { return static_cast<float>(n - 1) / 2.0f; }

// hsRound of a grid position (halves upwards); false for positions no grid
// reaches (beyond the int range, or NaN), which would not convert.
inline bool grid_index(float q, int& out) {
    if (!(std::fabs(q) < 1.0e9f)) return false;
    out = hsRound(static_cast<double>(q));
    return true;
}

}  // namespace

void scatter_through_anatomy(GridSize anatomy, const float to_target[4][4], GridSize target_grid, double* target,
                             const float to_source[4][4], GridSize source_grid, const double* source) {
    const long A = anatomy.nx, B = anatomy.ny, C = anatomy.nz;
    const long EX = target_grid.nx, EY = target_grid.ny, EZ = target_grid.nz;
    const long FX = source_grid.nx, FY = source_grid.ny, FZ = source_grid.nz;
    const float ca = centre(A), cb = centre(B), cc = centre(C);
    const float ecx = centre(EX), ecy = centre(EY), ecz = centre(EZ);
    const float fcx = centre(FX), fcy = centre(FY), fcz = centre(FZ);
    for (long k = 0; k < C; ++k)
        for (long j = 0; j < B; ++j)
            for (long i = 0; i < A; ++i) {
                const float p[4] = {static_cast<float>(i) - ca, static_cast<float>(j) - cb, static_cast<float>(k) - cc,
                                    1.0f};
                float q[4];
                multiplyMatrixVector(to_target, p, q);
                int a, b, c;
                if (!grid_index(q[0] + ecx, a) || !grid_index(q[1] + ecy, b) || !grid_index(q[2] + ecz, c)) continue;
                if (a < 0 || a >= EX || b < 0 || b >= EY || c < 0 || c >= EZ) continue;
                float r[4];
                multiplyMatrixVector(to_source, p, r);
                int u, v, w;
                if (!grid_index(r[0] + fcx, u) || !grid_index(r[1] + fcy, v) || !grid_index(r[2] + fcz, w)) continue;
                if (u < 0 || u >= FX || v < 0 || v >= FY || w < 0 || w >= FZ) continue;
                const double value = source[u + FX * (v + FY * static_cast<long>(w))];
                target[a + EX * (b + EY * static_cast<long>(c))] = static_cast<double>(static_cast<float>(value));
            }
}

}  // namespace warpmender
