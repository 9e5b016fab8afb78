// Whether a field map and an EPI are one grid, and the refusal that says by how much they are not.
#include "correction/grid_pairing.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace warpmender {
namespace {

using correction::GridPairing;
using correction::WorldGrid;

// 20 x 10 x 5 voxels of 2 x 2 x 4 mm, axis-aligned, centred near the origin.
WorldGrid field_grid() {
    WorldGrid g;
    g.nx = 20;
    g.ny = 10;
    g.nz = 5;
    g.affine = {{{2.0, 0.0, 0.0, -19.0}, {0.0, 2.0, 0.0, -9.0}, {0.0, 0.0, 4.0, -8.0}, {0.0, 0.0, 0.0, 1.0}}};
    return g;
}

WorldGrid moved_along_x(double mm) {
    WorldGrid g = field_grid();
    g.affine[0][3] += mm;
    return g;
}

TEST(GridPairing, a_translation_is_measured_in_epi_voxels_and_its_overlap_counted) {
    struct Case {
        const char* name;
        double shift_mm;
        bool same;
        double mismatch;  // voxels: shift / 2 mm
        double overlap;   // columns of 20 still inside the field map's field of view
    };
    const Case cases[] = {
        {"identical", 0.0, true, 0.0, 1.0},
        {"below the tolerance", 0.01, true, 0.005, 1.0},
        {"just above it", 0.03, false, 0.015, 1.0},
        {"one voxel", 2.0, false, 1.0, 19.0 / 20.0},
        {"seven voxels back", -14.0, false, 7.0, 13.0 / 20.0},
        {"beyond the field of view", 60.0, false, 30.0, 0.0},
    };
    for (const Case& c : cases) {
        const GridPairing p = correction::pair_grids(field_grid(), "f.nii", moved_along_x(c.shift_mm), "e.nii");
        EXPECT_EQ(p.same, c.same) << c.name;
        EXPECT_NEAR(p.corner_mismatch, c.mismatch, 1e-9) << c.name;
        EXPECT_NEAR(p.overlap, c.overlap, 1e-12) << c.name;
    }
}

TEST(GridPairing, another_matrix_is_never_the_same_grid_even_at_the_same_place) {
    WorldGrid epi = field_grid();
    epi.nx = 21;
    const GridPairing p = correction::pair_grids(field_grid(), "f.nii", epi, "e.nii");
    EXPECT_FALSE(p.same);
    const std::string m = correction::misalignment_message(p, field_grid(), "f.nii", epi, "e.nii");
    EXPECT_NE(m.find("(another matrix)"), std::string::npos) << m;
    EXPECT_NE(m.find("20 x 10 x 5"), std::string::npos) << m;
    EXPECT_NE(m.find("21 x 10 x 5"), std::string::npos) << m;
}

TEST(GridPairing, the_refusal_names_both_files_and_both_amounts) {
    const WorldGrid epi = moved_along_x(-14.0);
    const GridPairing p = correction::pair_grids(field_grid(), "maps/phasediff.nii", epi, "func/bold.nii.gz");
    const std::string m =
        correction::misalignment_message(p, field_grid(), "maps/phasediff.nii", epi, "func/bold.nii.gz");
    for (const char* part : {"\"maps/phasediff.nii\"", "\"func/bold.nii.gz\"", "same matrix, another position",
                             "lies 7.00 voxels", "65.0% of the EPI's voxels", "world alignment is needed", "--anatomy"})
        EXPECT_NE(m.find(part), std::string::npos) << part << "\n" << m;
}

TEST(GridPairing, an_affine_without_a_place_is_refused_naming_its_file) {
    WorldGrid flat = field_grid();
    flat.affine[2][2] = 0.0;  // every slice on one plane
    try {
        correction::pair_grids(field_grid(), "f.nii", flat, "flat.nii");
        FAIL() << "a flat affine was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("\"flat.nii\""), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace warpmender
