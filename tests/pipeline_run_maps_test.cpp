// The command's maps beside the plug-in, on small documents computed by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "core/error.h"
#include "pipeline/run_maps.h"

namespace warpmender {
namespace {

constexpr double kPi = 3.14159265358979323846;

host::Document float_document(int nx, int ny, int nz, const std::vector<std::vector<float>>& volumes) {
    host::Document d = host::make_fmr_document("in.fmr", nx, ny, nz, static_cast<int>(volumes.size()));
    for (size_t t = 0; t < volumes.size(); ++t) d.float_volumes[t] = volumes[t];
    d.refresh_pointers();
    return d;
}

TEST(PipelineMaps, a_map_document_takes_the_grid_and_placement_of_its_model_and_one_float_volume) {
    host::Document epi = host::make_fmr_document("epi.fmr", 3, 2, 2, 5, 1, 2.5f);
    host::NiftiGeometry g;
    g.world_mm[0][3] = 12.5;
    g.compressed = false;
    epi.nifti_geometry = g;
    const std::vector<double> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.25};
    const host::Document m = pipeline::map_document(epi, "/out/epi_fieldmap.fmr", values);
    EXPECT_STREQ(m.fmr.FileName, "/out/epi_fieldmap.fmr");
    EXPECT_EQ(m.fmr.NrOfVolumes, 1);
    EXPECT_EQ(m.fmr.DataType, 2);
    EXPECT_EQ(m.fmr.InplaneResolutionX, 2.5f);
    EXPECT_EQ(std::memcmp(&m.position, &epi.position, sizeof m.position), 0);
    ASSERT_TRUE(m.nifti_geometry);
    EXPECT_EQ(m.nifti_geometry->world_mm[0][3], 12.5);
    EXPECT_FALSE(m.nifti_geometry->compressed);
    ASSERT_EQ(m.float_volumes.size(), 1u);
    EXPECT_EQ(m.float_volumes[0].back(), 12.25f);
    EXPECT_EQ(m.float_pointers.at(0), m.float_volumes[0].data());
    EXPECT_THROW(pipeline::map_document(epi, "x.fmr", {1, 2, 3}), Error);  // not the grid's size
}

TEST(PipelineMaps, the_mask_keeps_only_voxels_whose_magnitude_is_strictly_above_200) {
    const host::Document magnitude = float_document(4, 1, 1, {{0.0f, 200.0f, 200.5f, 4000.0f}});
    std::vector<double> v = {1, 2, 3, 4};
    pipeline::mask_by_magnitude(v, magnitude);
    EXPECT_EQ(v, (std::vector<double>{0, 0, 3, 4}));
}

TEST(PipelineMaps, phase_in_scanner_units_becomes_radians_and_two_echoes_give_their_wrapped_difference) {
    // Siemens' -4096..4094: v * pi / 4096.
    const host::Document p = float_document(4, 1, 1, {{-4096.0f, -2048.0f, 0.0f, 4094.0f}});
    correction::PhaseScale scale = correction::PhaseScale::kRadians;
    const std::vector<double> r = pipeline::phase_in_radians(p, false, &scale);
    EXPECT_EQ(scale, correction::PhaseScale::kSigned4096);
    EXPECT_DOUBLE_EQ(r[0], -kPi);
    EXPECT_DOUBLE_EQ(r[1], -kPi / 2);
    EXPECT_DOUBLE_EQ(r[3], 4094.0 * kPi / 4096.0);
    // In radians already: -3 and +3 differ by 6 rad, i.e. by 6 - 2 pi wrapped.
    const host::Document e1 = float_document(2, 1, 1, {{3.0f, 0.5f}}), e2 = float_document(2, 1, 1, {{-3.0f, 1.0f}});
    const std::vector<double> d = pipeline::two_echo_phase_difference(e1, e2);
    EXPECT_NEAR(d[0], -6.0f + 2 * kPi, 1e-6);
    EXPECT_NEAR(d[1], 0.5, 1e-6);
    EXPECT_THROW(pipeline::two_echo_phase_difference(e1, float_document(1, 2, 1, {{0.0f, 0.0f}})), Error);
}

TEST(PipelineMaps, quality_unwrapping_gives_cycles_congruent_with_the_wrapped_phase_and_masked) {
    // A ramp of 0.9 rad per voxel over 40 voxels wraps five times.
    const int n = 40;
    std::vector<double> wrapped(n);
    std::vector<float> magnitude(n, 1000.0f);
    magnitude[n - 1] = 10.0f;  // no signal: masked
    for (int i = 0; i < n; ++i) wrapped[i] = std::remainder(0.9 * i, 2 * kPi);
    const host::Document m = float_document(n, 1, 1, {magnitude});
    const std::vector<double> cycles = pipeline::unwrapped_cycles(wrapped, m);
    for (int i = 0; i + 1 < n; ++i) {
        const double turns = (cycles[i] * 2 * kPi - wrapped[i]) / (2 * kPi);
        EXPECT_NEAR(turns, std::round(turns), 1e-9) << i;
        if (i + 2 < n) {
            EXPECT_NEAR(cycles[i + 1] - cycles[i], 0.9 / (2 * kPi), 1e-9) << i;  // the ramp restored
        }
    }
    EXPECT_EQ(cycles[n - 1], 0.0);
}

TEST(PipelineMaps, intensity_correction_multiplies_every_volume_and_turns_16_bit_series_into_float) {
    host::Document s = host::make_fmr_document("s.fmr", 2, 1, 1, 2, 1);
    s.int_volumes = {{100, 200}, {300, 400}};
    s.refresh_pointers();
    const std::vector<float> mean = pipeline::apply_intensity_correction(s, {0.5, 2.0});
    EXPECT_EQ(s.fmr.DataType, 2);
    EXPECT_TRUE(s.int_volumes.empty());
    ASSERT_EQ(s.float_volumes.size(), 2u);
    EXPECT_EQ(s.float_volumes[0], (std::vector<float>{50.0f, 400.0f}));
    EXPECT_EQ(s.float_volumes[1], (std::vector<float>{150.0f, 800.0f}));
    EXPECT_EQ(s.float_pointers.at(1), s.float_volumes[1].data());
    EXPECT_EQ(mean, (std::vector<float>{100.0f, 600.0f}));
    EXPECT_EQ(pipeline::mean_volume(s), mean);
    EXPECT_THROW(pipeline::apply_intensity_correction(s, {1.0}), Error);
}

TEST(PipelineMaps, a_direct_field_map_in_rad_per_s_is_turned_into_hz_and_an_unknown_unit_refused) {
    const host::Document f = float_document(2, 1, 1, {{static_cast<float>(2 * kPi * 10), 0.0f}});
    const host::Document m = float_document(2, 1, 1, {{1000.0f, 1000.0f}});
    const std::vector<double> hz = pipeline::field_in_hertz(f, std::string("rad/s"), "f.json", m);
    EXPECT_NEAR(hz[0], 10.0, 1e-5);
    try {
        pipeline::field_in_hertz(f, std::string("T"), "f.json", m);
        FAIL() << "a field map in tesla was taken";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("f.json"), std::string::npos) << e.what();
    }
}

TEST(PipelineMaps, a_map_is_carried_between_grids_through_the_scanner_frame) {
    // Two 1-D grids along x: the target's voxel i sits at the source's i + 1.
    correction::WorldGrid from, to;
    from.nx = 4;
    to.nx = 2;
    from.ny = from.nz = to.ny = to.nz = 1;
    for (auto* g : {&from, &to})
        for (int k = 0; k < 4; ++k) g->affine[k][k] = 1.0;
    to.affine[0][3] = 1.0;
    EXPECT_EQ(pipeline::carry_map({10, 20, 30, 40}, from, to), (std::vector<double>{20, 30}));
}

}  // namespace
}  // namespace warpmender
