// Field map to functional mapping through the anatomy: matrices, flips, identity mapping, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "core/mat44.h"
#include "plugin/steps/vmr_mapping.h"
#include "tests/steps_support.h"

namespace warpmender {
namespace {

class StepsVmrMapping : public test::StepsTest {};

// A project record of an axis-aligned grid centred at the origin.
void fill_record(fmrfile& f, int nx, int ny, int nz, float voxel) {
    const host::Document d = host::make_fmr_document("x.fmr", nx, ny, nz, 1, 2, voxel);
    f.header = new FMR_Header(d.fmr);
    f.scannerpos = new FMR_ScannerPosition_Header(d.position);
}

void fill_anatomy(vmrHdr& v, int nx, int ny, int nz) {
    const host::Document d = host::make_vmr_document("anat.vmr", nx, ny, nz);
    v.header = new VMR_Header(d.vmr);
    v.dimx = static_cast<uint16_t>(nx);
    v.dimy = static_cast<uint16_t>(ny);
    v.dimz = static_cast<uint16_t>(nz);
}

void identity(float M[4][4]) { makeIdentityMatrix(M); }

void expect_matrix(const float A[4][4], const float B[4][4], const char* what) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(A[r][c], B[r][c]) << what << " [" << r << "][" << c << "]";
}

TEST_F(StepsVmrMapping, matrix_of_an_ascending_stack_with_identity_alignment) {
    fmrfile f;
    fill_record(f, 10, 9, 8, 3.0f);
    vmrHdr v;
    fill_anatomy(v, 30, 27, 24);
    float I[4][4], out[4][4];
    identity(I);
    createVMR2FMRmatrix(f.header, f.scannerpos, v.header, I, I, out);
    float expected[4][4];
    makeScaleMatrix(expected, 1.0f / 3.0f, 1.0f / 3.0f, -(1.0f / 3.0f));  // slices ascend: mirrored
    expect_matrix(out, expected, "out");
    float F[4][4];
    makeScaleMatrix(F, 1.0f, 1.0f, -1.0f);
    ASSERT_GE(h->log.size(), 4u);
    EXPECT_EQ(h->log[0], matrixmaster().matrix44ToChar(F, "Flipping matrix, based on slice acquisition order"));
    EXPECT_EQ(h->log[1].rfind("FMR inverse scaling matrix", 0), 0u);
    EXPECT_EQ(h->log[2].rfind("VMR scaling matrix", 0), 0u);
    EXPECT_EQ(h->log[3], matrixmaster().matrix44ToChar(out, "Final VMR 2 FMR matrix"));
}

struct FlipCase {
    const char* what;
    float c1[3], cn[3];
    float fx, fz;
};

TEST_F(StepsVmrMapping, slice_order_flips) {
    const FlipCase cases[] = {
        {"descending z", {0, 0, 10}, {0, 0, -10}, 1, 1},
        {"ascending z", {0, 0, -10}, {0, 0, 10}, 1, -1},
        {"largest along y, dz 0", {0, -10, 0}, {0, 10, 0}, 1, 1},
        {"sagittal towards -x", {10, 0, 0}, {-10, 0, 0}, -1, 1},
        {"sagittal towards +x", {-10, 0, 0}, {10, 0, 0}, 1, 1},
        {"dx ties dz", {5, 0, -5}, {0, 0, 0}, -1, 1},
    };
    for (const auto& c : cases) {
        fmrfile f;
        fill_record(f, 4, 4, 5, 1.0f);
        f.scannerpos->Slice1CenterX = c.c1[0];
        f.scannerpos->Slice1CenterY = c.c1[1];
        f.scannerpos->Slice1CenterZ = c.c1[2];
        f.scannerpos->SliceNCenterX = c.cn[0];
        f.scannerpos->SliceNCenterY = c.cn[1];
        f.scannerpos->SliceNCenterZ = c.cn[2];
        vmrHdr v;
        fill_anatomy(v, 4, 4, 4);
        float I[4][4], out[4][4], F[4][4];
        identity(I);
        createVMR2FMRmatrix(f.header, f.scannerpos, v.header, I, I, out);
        makeScaleMatrix(F, c.fx, 1.0f, c.fz);
        expect_matrix(out, F, c.what);  // unit voxels and identity alignment: out is the flip
    }
}

TEST_F(StepsVmrMapping, past_transformation_is_used_only_when_its_diagonal_is_not_unit) {
    fmrfile f;
    fill_record(f, 4, 4, 5, 1.0f);
    f.scannerpos->Slice1CenterZ = 10;  // descending: no flip
    f.scannerpos->SliceNCenterZ = -10;
    vmrHdr v;
    fill_anatomy(v, 4, 4, 4);
    float I[4][4], out[4][4];
    identity(I);

    float translation[4][4];
    identity(translation);
    translation[0][3] = 5;
    translation[1][3] = 6;
    translation[2][3] = 7;
    createVMR2FMRmatrix(f.header, f.scannerpos, v.header, translation, I, out);
    expect_matrix(out, I, "translation");
    EXPECT_FALSE(test::log_contains(
        *h, matrixmaster().matrix44ToChar(translation, "Incorporating flip in past VMR transformation")));

    float mirror[4][4];
    identity(mirror);
    mirror[0][0] = -1;
    mirror[0][3] = 2;
    createVMR2FMRmatrix(f.header, f.scannerpos, v.header, mirror, I, out);
    expect_matrix(out, mirror, "mirror");
    EXPECT_TRUE(
        test::log_contains(*h, matrixmaster().matrix44ToChar(mirror, "Incorporating flip in past VMR transformation")));

    float nan[4][4];
    identity(nan);
    nan[1][1] = std::nanf("");
    h->log.clear();
    createVMR2FMRmatrix(f.header, f.scannerpos, v.header, nan, I, out);
    EXPECT_EQ(h->log.at(3).rfind("Incorporating flip in past VMR transformation", 0), 0u);
}

// The EPI and field-map records, the anatomy and the volumes of one mapping.
struct Mapping {
    fmrfile epi, start;
    vmrHdr anatomy;
    std::unique_ptr<datahandler<double>> target, fieldmap;
    float I[4][4];

    Mapping(int ex, int ey, int ez, int fx, int fy, int fz, const std::string& dir) {
        fill_record(epi, ex, ey, ez, 3.0f);
        fill_record(start, fx, fy, fz, 3.0f);
        fill_anatomy(anatomy, 30, 27, 24);
        target = test::filled_volume(ex, ey, ez, 1, 0.0, dir + "/epi.fmr");
        // index + 1: a reached voxel is never 0
        fieldmap = test::index_volume(fx, fy, fz, 1, dir + "/fmap.fmr");
        for (long i = 0; i < fieldmap->getnrofelems(); ++i) fieldmap->setvalue(i, i + 1.0);
        makeIdentityMatrix(I);
    }
    void run() { mapFMR2FMRviaVMR(&anatomy, target.get(), &epi, I, fieldmap.get(), &start, I, I); }
};

TEST_F(StepsVmrMapping, identity_alignment_carries_each_value_to_the_voxel_with_the_same_indices) {
    const std::string dir = test::scratch_dir("steps_map_identity");
    Mapping m(10, 9, 8, 10, 9, 8, dir);
    test::add_current_fmr(*h, *m.target, dir + "/epi.fmr");
    m.run();
    for (long z = 0; z < 8; ++z)
        for (long y = 0; y < 9; ++y)
            for (long x = 0; x < 10; ++x)
                ASSERT_EQ(m.target->get(x, y, z), m.fieldmap->get(x, y, z)) << x << "," << y << "," << z;
    EXPECT_TRUE(test::log_contains(*h, "epi_pixshiftInEPIres.fmr"));
    ASSERT_EQ(h->saved_documents.count("epi_pixshiftInEPIres.fmr"), 1u);
    EXPECT_EQ(test::saved_value(h->saved_documents.at("epi_pixshiftInEPIres.fmr"), 9, 8, 7, 0),
              static_cast<float>(m.fieldmap->get(9, 8, 7)));
    EXPECT_GT(h->windows_updated, 0);
}

TEST_F(StepsVmrMapping, a_descending_field_map_is_mirrored_along_its_slices) {
    const std::string dir = test::scratch_dir("steps_map_descending");
    Mapping m(10, 9, 8, 10, 9, 8, dir);
    std::swap(m.start.scannerpos->Slice1CenterZ, m.start.scannerpos->SliceNCenterZ);
    m.run();
    for (long z = 0; z < 8; ++z)
        for (long y = 0; y < 9; ++y)
            for (long x = 0; x < 10; ++x) ASSERT_EQ(m.target->get(x, y, z), m.fieldmap->get(x, y, 7 - z));
}

TEST_F(StepsVmrMapping, epi_voxels_outside_the_anatomy_stay_zero) {
    const std::string dir = test::scratch_dir("steps_map_outside");
    Mapping m(14, 9, 8, 14, 9, 8, dir);  // 42 mm along x, the anatomy 30 mm
    m.run();
    for (long z = 0; z < 8; ++z)
        for (long y = 0; y < 9; ++y)
            for (long x = 0; x < 14; ++x) {
                const bool reached = x >= 2 && x <= 11;
                ASSERT_EQ(m.target->get(x, y, z), reached ? m.fieldmap->get(x, y, z) : 0.0) << x;
            }
}

struct RefusedMapping {
    const char* what;
    void (*spoil)(Mapping&);
    const char* line;
};

TEST_F(StepsVmrMapping, refuses_zero_voxel_sizes_and_volumes_off_their_grids) {
    const RefusedMapping cases[] = {
        {"EPI x", [](Mapping& m) { m.epi.header->InplaneResolutionX = 0; },
         "Cannot map through the VMR: the voxel size of the EPI (InplaneResolutionX 0, InplaneResolutionY 3, "
         "VoxelSizeZ 3) must be finite and not zero."},
        {"EPI y", [](Mapping& m) { m.epi.header->InplaneResolutionY = 0; },
         "Cannot map through the VMR: the voxel size of the EPI (InplaneResolutionX 3, InplaneResolutionY 0, "
         "VoxelSizeZ 3) must be finite and not zero."},
        {"EPI z", [](Mapping& m) { m.epi.header->VoxelSizeZ = 0; },
         "Cannot map through the VMR: the voxel size of the EPI (InplaneResolutionX 3, InplaneResolutionY 3, "
         "VoxelSizeZ 0) must be finite and not zero."},
        {"field map x", [](Mapping& m) { m.start.header->InplaneResolutionX = 0; },
         "Cannot map through the VMR: the voxel size of the field map (InplaneResolutionX 0, InplaneResolutionY 3, "
         "VoxelSizeZ 3) must be finite and not zero."},
        {"field map z NaN", [](Mapping& m) { m.start.header->VoxelSizeZ = std::nanf(""); },
         "Cannot map through the VMR: the voxel size of the field map (InplaneResolutionX 3, InplaneResolutionY 3, "
         "VoxelSizeZ nan) must be finite and not zero."},
        {"VMR x", [](Mapping& m) { m.anatomy.header->VoxelSizeX = 0; },
         "Cannot map through the VMR: the VMR voxel size (VoxelSizeX 0, VoxelSizeY 1, VoxelSizeZ 1) must be finite "
         "and not zero."},
        {"VMR z", [](Mapping& m) { m.anatomy.header->VoxelSizeZ = 0; },
         "Cannot map through the VMR: the VMR voxel size (VoxelSizeX 1, VoxelSizeY 1, VoxelSizeZ 0) must be finite "
         "and not zero."},
        {"target off the EPI grid", [](Mapping& m) { m.target->setnz(7); },
         "Cannot map the pixel shift map through the VMR: the target (10 x 9 x 7) must be on the EPI grid "
         "(10 x 9 x 8) and the map (10 x 9 x 8) on the field-map grid (10 x 9 x 8)."},
        {"map off the field-map grid", [](Mapping& m) { m.start.header->ResolutionX = 11; },
         "Cannot map the pixel shift map through the VMR: the target (10 x 9 x 8) must be on the EPI grid "
         "(10 x 9 x 8) and the map (10 x 9 x 8) on the field-map grid (11 x 9 x 8)."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        const std::string dir = test::scratch_dir("steps_map_refused");
        Mapping m(10, 9, 8, 10, 9, 8, dir);
        test::add_current_fmr(*h, *m.target, dir + "/epi.fmr");
        c.spoil(m);
        m.run();
        for (long i = 0; i < m.target->getnrofelems(); ++i) ASSERT_EQ(m.target->get(i), 0.0) << c.what;
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.what;
        EXPECT_TRUE(h->saves.empty()) << c.what;
        EXPECT_EQ(h->log.size(), 1u) << c.what;  // no matrix was logged
    }
}

}  // namespace
}  // namespace warpmender
