// Field map and EPI grids compared through the scanner frame, and the refusal that names the difference.
#include "correction/grid_pairing.h"

#include <cstdio>
#include <stdexcept>

namespace warpmender {
namespace correction {
namespace {

std::string size_of(const WorldGrid& g) {
    return std::to_string(g.nx) + " x " + std::to_string(g.ny) + " x " + std::to_string(g.nz);
}

std::string fixed(double v, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

}  // namespace

GridPairing pair_grids(const WorldGrid& field, const std::string& field_path, const WorldGrid& epi,
                       const std::string& epi_path) {
    const std::string field_what = "the field map \"" + field_path + "\"";
    const std::string epi_what = "the EPI \"" + epi_path + "\"";
    check_grid(field, field_what.c_str());
    check_grid(epi, epi_what.c_str());
    GridPairing p;
    p.same = same_grid(field, epi);
    p.corner_mismatch = corner_mismatch_voxels(field, epi);
    p.overlap = overlap_fraction(epi, field);
    return p;
}

std::string misalignment_message(const GridPairing& p, const WorldGrid& field, const std::string& field_path,
                                 const WorldGrid& epi, const std::string& epi_path) {
    const bool same_size = field.nx == epi.nx && field.ny == epi.ny && field.nz == epi.nz;
    std::string m = "the field map \"" + field_path + "\" (" + size_of(field) + ") and the EPI \"" + epi_path + "\" (" +
                    size_of(epi) + ") are not on one grid in the scanner frame";
    m += same_size ? " (same matrix, another position or orientation)" : " (another matrix)";
    m += ": a corner of the field map's field of view lies " + fixed(p.corner_mismatch, 2) +
         " voxels from the same corner of the EPI's (at most " + fixed(kSameGridVoxels, 2) +
         " counts as one grid), and " + fixed(100.0 * p.overlap, 1) +
         "% of the EPI's voxels lie inside the field map's field of view. Applying the shift map voxel for voxel "
         "would misplace it: world alignment is needed; --anatomy carries the shift map into the EPI's grid "
         "through an anatomical volume (checked from the headers, before any voxel was read)";
    return m;
}

}  // namespace correction
}  // namespace warpmender
