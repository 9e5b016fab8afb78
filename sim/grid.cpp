// Validation of sampling grids.
#include "sim/grid.h"

#include <cmath>
#include <string>

#include "core/error.h"

namespace warpmender {
namespace sim {

void check_grid(const Grid& grid, const char* what) {
    // 4096 per axis keeps every index product far inside 64 bits and stops a
    // typo from asking for terabytes.
    constexpr int kMaxSize = 4096;
    auto size_ok = [](int n) { return n >= 1 && n <= kMaxSize; };
    auto spacing_ok = [](double d) { return std::isfinite(d) && d > 0.0; };
    if (!size_ok(grid.nx) || !size_ok(grid.ny) || !size_ok(grid.nz))
        throw Error(std::string(what) + ": grid of " + std::to_string(grid.nx) + " x " + std::to_string(grid.ny) +
                    " x " + std::to_string(grid.nz) + " voxels; each size must be 1.." + std::to_string(kMaxSize));
    if (!spacing_ok(grid.dx) || !spacing_ok(grid.dy) || !spacing_ok(grid.dz))
        throw Error(std::string(what) + ": voxel size " + std::to_string(grid.dx) + " x " + std::to_string(grid.dy) +
                    " x " + std::to_string(grid.dz) + " mm; each must be positive and finite");
}

}  // namespace sim
}  // namespace warpmender
