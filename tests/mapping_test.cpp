// A shift map on another grid and slice order carried into the EPI's grid through an anatomy.
#include <gtest/gtest.h>

#include <cmath>

#include "formats/nifti_document.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

using host::Answer;
using host::Document;

// An axis-aligned grid: world = origin + diag(d) * index, slices ascending
// (d[2] > 0) or descending (d[2] < 0) along z.
struct Placement {
    int n[3];
    float d[3];
    float origin[3];
    void affine(float a[4][4]) const {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) a[r][c] = r == c ? (r < 3 ? d[r] : 1.0f) : 0.0f;
        for (int r = 0; r < 3; ++r) a[r][3] = origin[r];
    }
    double world(int axis, int i) const { return origin[axis] + d[axis] * i; }
};

// The known shift field, voxels, as a function of world millimetres: steep
// enough along z that a slice-order mirror or an off-by-one slice shows.
double shift_at(double x, double y, double z) { return 10.0 + 0.05 * x + 0.1 * y + 0.2 * z; }

Document placed_fmr(const std::string& name, const Placement& p, int nt) {
    Document d = host::make_fmr_document(name, p.n[0], p.n[1], p.n[2], nt, 2, 1.0f);
    d.fmr.InplaneResolutionX = std::fabs(p.d[0]);
    d.fmr.InplaneResolutionY = std::fabs(p.d[1]);
    d.fmr.VoxelSizeZ = d.fmr.SliceThickness = std::fabs(p.d[2]);
    float a[4][4];
    p.affine(a);
    host::position_of_affine(a, p.n[0], p.n[1], p.n[2], d.position);
    return d;
}

struct MappingCase {
    const char* what;
    Placement fieldmap, epi;
};

TEST(Mapping, shift_map_reaches_the_epi_voxel_at_the_same_world_position) {
    const Placement anatomy{{80, 80, 64}, {1, 1, 1}, {-39.5f, -39.5f, -31.5f}};
    const MappingCase cases[] = {
        {"field map ascending, EPI descending",
         {{16, 14, 10}, {4, 4, 5}, {-30, -26, -22.5f}},
         {{20, 18, 12}, {3, 3, -4}, {-28.5f, -25.5f, 22}}},
        {"field map descending, EPI ascending",
         {{16, 14, 10}, {4, 4, -5}, {-30, -26, 22.5f}},
         {{20, 18, 12}, {3, 3, 4}, {-28.5f, -25.5f, -22}}},
        {"both ascending, EPI finer",
         {{12, 12, 8}, {5, 5, 6}, {-27.5f, -27.5f, -21}},
         {{26, 24, 14}, {2, 2, 3}, {-25, -23, -19.5f}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host::Host& h = test::fresh_host();
        auto plugin = test::load_plugin();

        Document shift = placed_fmr("/d/shift.fmr", c.fieldmap, 1);
        for (int k = 0; k < c.fieldmap.n[2]; ++k)
            for (int j = 0; j < c.fieldmap.n[1]; ++j)
                for (int i = 0; i < c.fieldmap.n[0]; ++i)
                    shift.float_volumes[0][i + c.fieldmap.n[0] * (j + c.fieldmap.n[1] * k)] = static_cast<float>(
                        shift_at(c.fieldmap.world(0, i), c.fieldmap.world(1, j), c.fieldmap.world(2, k)));
        Document epi = placed_fmr("/d/epi.fmr", c.epi, 2);
        for (auto& v : epi.float_volumes) std::fill(v.begin(), v.end(), 100.0f);
        Document vmr = host::make_vmr_document("/d/anat.vmr", anatomy.n[0], anatomy.n[1], anatomy.n[2]);
        float a[4][4];
        anatomy.affine(a);
        host::position_of_affine(a, anatomy.n[0], anatomy.n[1], anatomy.n[2], vmr.position);
        h.add_document(shift);
        h.add_document(epi);
        h.add_document(vmr);

        h.set_parameter("Procedure", std::string("Undistort"));
        h.set_parameter("PerformAllSteps", 0);
        h.set_parameter("mapFieldmapToFunctional", 1);
        h.set_parameter("PhaseEncodingDir", 3);
        h.queue_answer(Answer::of(0));  // start: the shift map
        h.queue_answer(Answer::of(2));  // the anatomy
        h.queue_answer(Answer::of(1));  // the EPI
        test::run_command(*plugin, "Start");
        ASSERT_EQ(h.int_parameter("ErrorNr"), 0) << h.string_parameter("ErrorMsg");
        ASSERT_TRUE(test::log_contains(h, "epi_pixshiftInEPIres.fmr"));
        const Document& mapped = h.saved_documents.at("epi_pixshiftInEPIres.fmr");

        // Nearest neighbour twice (anatomy -> EPI, anatomy -> field map): the
        // positions differ by at most half an EPI voxel plus half a field-map
        // voxel on each axis; the bound is the field's change over that.
        const double bound = 0.05 * (0.5 * std::fabs(c.epi.d[0]) + 0.5 * std::fabs(c.fieldmap.d[0]) + 1.0) +
                             0.1 * (0.5 * std::fabs(c.epi.d[1]) + 0.5 * std::fabs(c.fieldmap.d[1]) + 1.0) +
                             0.2 * (0.5 * std::fabs(c.epi.d[2]) + 0.5 * std::fabs(c.fieldmap.d[2]) + 1.0);
        double worst = 0.0;
        long reached = 0, inside = 0;
        for (int k = 0; k < c.epi.n[2]; ++k)
            for (int j = 0; j < c.epi.n[1]; ++j)
                for (int i = 0; i < c.epi.n[0]; ++i) {
                    const double x = c.epi.world(0, i), y = c.epi.world(1, j), z = c.epi.world(2, k);
                    bool in_fieldmap = true;
                    const double w[3] = {x, y, z};
                    for (int ax = 0; ax < 3; ++ax) {
                        const double lo = std::min(c.fieldmap.world(ax, 0), c.fieldmap.world(ax, c.fieldmap.n[ax] - 1));
                        const double hi = std::max(c.fieldmap.world(ax, 0), c.fieldmap.world(ax, c.fieldmap.n[ax] - 1));
                        in_fieldmap = in_fieldmap && w[ax] >= lo && w[ax] <= hi;
                    }
                    const float v = mapped.float_volumes[0][i + c.epi.n[0] * (j + c.epi.n[1] * k)];
                    if (in_fieldmap) ++inside;
                    if (v == 0.0f) continue;
                    ++reached;
                    worst = std::max(worst, std::fabs(v - shift_at(x, y, z)));
                }
        EXPECT_LE(worst, bound) << "a mapped value is further from its world position than one voxel";
        // Every EPI voxel inside the field map's extent is reached by some anatomy voxel.
        EXPECT_GE(reached, inside);
    }
}

}  // namespace
}  // namespace warpmender
