// A synthetic head: anatomy, MR contrasts and magnetic susceptibility on a grid.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/grid.h"

namespace warpmender {
namespace sim {

// Volume susceptibilities (SI, ppm). Tissue is diamagnetic, air slightly
// paramagnetic: the jump of about +9.4 ppm from tissue into air is what bends
// the field near the sinuses.
constexpr double kChiAirPpm = 0.36;
constexpr double kChiTissuePpm = -9.05;

// The geometry scales with the field of view, so any grid holds a whole head
// (with a margin of air on every side, which the field computation needs).
// Compartments, with the values they take in each contrast:
//
//   compartment            field-map magnitude   EPI (T2*)   susceptibility
//   scalp and skull shell        1400               300          tissue
//   grey matter (cortex,         3200               900          tissue
//     deep nuclei)
//   white matter                 2700               640          tissue
//   CSF (ventricles, sulci)      3700              1350          tissue
//   bony wall of the sinus        120                40          tissue
//   air (sinus, outside)            0                 0          air
//
// The cortex has a folded inner boundary (gyri) and is cut by CSF-filled
// sulci, so a shift along any axis is visible. The sinus is an ellipsoid of air in the front-bottom of the head
// (low y, low z) inside a thin bony wall whose magnitude (120) lies under the
// plug-in's mask threshold (200), as bone does on a real scanner. Edges carry
// partial-volume fractions, which keeps the field free of staircase spikes.
struct PhantomParams {
    Grid grid = default_grid();
    double sinus_scale = 1.0;  // scales the sinus's semi-axes (0 removes it)
};

struct Phantom {
    Grid grid;
    std::vector<double> chi_ppm;  // volume susceptibility
    // The same relative to a head made of tissue throughout: the sinus's air
    // (+9.41 ppm), 0 elsewhere. The head's ellipsoidal surface adds only a
    // uniform offset inside (which the shim removes) to chi_ppm's field, and
    // that field's voxel averages at the scalp mix in the air outside, which
    // the tissue's signal never sees; so this is the one to compute the
    // field that tissue experiences from.
    std::vector<double> chi_sinus_ppm;
    std::vector<float> magnitude;     // contrast of the field-map scan's magnitude image
    std::vector<float> epi;           // contrast of the EPI (undistorted)
    std::vector<float> activation;    // 0..1: share of the voxel that responds to the task
    std::vector<std::uint8_t> head;   // 1 where the voxel is mostly tissue (not air, not sinus)
    std::vector<std::uint8_t> brain;  // 1 where the voxel is mostly brain (no shell, no sinus wall)
    // Centre of the sinus, voxel coordinates (for picking a slice to show).
    double sinus_x = 0.0, sinus_y = 0.0, sinus_z = 0.0;
};

// Throws warpmender::Error for an invalid grid, one with fewer than 8 voxels
// along an axis, or a negative sinus scale.
Phantom make_head_phantom(const PhantomParams& params = PhantomParams{});

}  // namespace sim
}  // namespace warpmender
