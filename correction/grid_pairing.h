// Whether a field map's shift map may be applied voxel for voxel to an EPI, judged from the two grids' placement.
#pragma once

#include <string>

#include "correction/world_grid.h"

namespace warpmender {
namespace correction {

struct GridPairing {
    bool same = false;             // same_grid(field, epi)
    double corner_mismatch = 0.0;  // corner_mismatch_voxels(field, epi), in EPI voxels
    double overlap = 0.0;          // overlap_fraction(epi, field): share of EPI voxels the field map covers
};

// Compares the field map's grid with the EPI's. Throws std::invalid_argument
// naming the file (field_path or epi_path) whose grid check_grid refuses.
GridPairing pair_grids(const WorldGrid& field, const std::string& field_path, const WorldGrid& epi,
                       const std::string& epi_path);

// The refusal for a pairing that is not the same grid: names both files and
// their sizes, says by how much they differ (corner mismatch in voxels,
// overlap in percent) and that world alignment is needed.
std::string misalignment_message(const GridPairing& p, const WorldGrid& field, const std::string& field_path,
                                 const WorldGrid& epi, const std::string& epi_path);

}  // namespace correction
}  // namespace warpmender
