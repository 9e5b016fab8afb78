// Folding and pile-up from the derivative of the sampling position along the phase-encoding axis.
#include "correction/folding.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "correction/jacobian.h"

namespace warpmender {
namespace correction {

Folding find_folding(const double* shift_voxels, long nx, long ny, long nz, int code, const std::uint8_t* brain,
                     double pile_up_factor) {
    if (!(pile_up_factor > 1.0))
        throw std::invalid_argument("the pile-up factor must be above 1, not " + std::to_string(pile_up_factor));
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> slope = jacobian_map(shift_voxels, nx, ny, nz, code, -inf, inf);
    const double least = 1.0 / pile_up_factor;
    Folding f;
    f.pile_up_factor = pile_up_factor;
    f.mask.resize(slope.size());
    for (std::size_t i = 0; i < slope.size(); ++i) {
        const double d = slope[i];
        const std::uint8_t m = d <= 0.0 ? kFold : d < least ? kPileUp : kNoFold;
        f.mask[i] = m;
        if (brain != nullptr && brain[i] == 0) continue;
        ++f.brain_voxels;
        if (m == kFold) ++f.folded;
        if (m == kPileUp) ++f.piled_up;
    }
    if (f.brain_voxels > 0) {
        f.folded_percent = 100.0 * static_cast<double>(f.folded) / static_cast<double>(f.brain_voxels);
        f.piled_up_percent = 100.0 * static_cast<double>(f.piled_up) / static_cast<double>(f.brain_voxels);
    }
    return f;
}

}  // namespace correction
}  // namespace warpmender
