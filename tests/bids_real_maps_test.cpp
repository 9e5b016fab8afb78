// Discovery and plan on the three vendors' real field maps and sidecars, arranged under BIDS names.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "bids/json_file.h"
#include "bids/plan.h"
#include "tests/bids_test_dataset.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {
namespace {

const std::string kMaps = std::string(WARPMENDER_SOURCE_DIR) + "/tests/data/fieldmaps/";

// The vendors' files linked in under BIDS names; each field map's sidecar is
// copied so that it can point at its series (the converter wrote none).
class BidsRealMaps : public ::testing::Test {
protected:
    BidsRealMaps() : d("bids_real_maps") {}

    void SetUp() override {
        ASSERT_TRUE(fs::exists(kMaps + "siemens_phasediff.nii.gz")) << "no vendor field maps in " << kMaps;
        d.json("dataset_description.json", {{"Name", "vendors"}, {"BIDSVersion", "1.10.0"}});
        link("siemens_phasediff.nii.gz", "sub-siemens/fmap/sub-siemens_phasediff.nii.gz");
        for (const char* m : {"magnitude1", "magnitude2"})
            for (const char* ext : {".nii.gz", ".json"})
                link(std::string("siemens_") + m + ext, std::string("sub-siemens/fmap/sub-siemens_") + m + ext);
        copy_with("siemens_phasediff.json", "sub-siemens/fmap/sub-siemens_phasediff.json",
                  {{"IntendedFor", "func/sub-siemens_task-rest_bold.nii.gz"}});
        series("sub-siemens/func/sub-siemens_task-rest_bold",
               {{"EffectiveEchoSpacing", 0.00053}, {"PhaseEncodingDirection", "j-"}});

        link("ge_fieldmap.nii.gz", "sub-ge/fmap/sub-ge_fieldmap.nii.gz");
        link("ge_magnitude.nii.gz", "sub-ge/fmap/sub-ge_magnitude.nii.gz");
        link("ge_magnitude.json", "sub-ge/fmap/sub-ge_magnitude.json");
        copy_with("ge_fieldmap.json", "sub-ge/fmap/sub-ge_fieldmap.json", {{"B0FieldIdentifier", "ge_b0"}});
        series("sub-ge/func/sub-ge_task-rest_bold",
               {{"TotalReadoutTime", 0.0412}, {"PhaseEncodingDirection", "j"}, {"B0FieldSource", "ge_b0"}});

        link("philips_fieldmap.nii.gz", "sub-philips/fmap/sub-philips_fieldmap.nii.gz");
        link("philips_magnitude.nii.gz", "sub-philips/fmap/sub-philips_magnitude.nii.gz");
        link("philips_magnitude.json", "sub-philips/fmap/sub-philips_magnitude.json");
        copy_with("philips_fieldmap.json", "sub-philips/fmap/sub-philips_fieldmap.json",
                  {{"IntendedFor", nlohmann::json::array({"bids::sub-philips/dwi/sub-philips_dir-AP_dwi.nii.gz"})}});
        series("sub-philips/dwi/sub-philips_dir-AP_dwi",
               {{"TotalReadoutTime", 0.05}, {"PhaseEncodingDirection", "j-"}});
    }

    void link(const std::string& vendor, const std::string& relative) {
        fs::create_directories(fs::path(d.path(relative)).parent_path());
        fs::create_symlink(kMaps + vendor, d.path(relative));
    }
    void copy_with(const std::string& vendor, const std::string& relative, const nlohmann::json& extra) {
        nlohmann::json j = read_json_object(kMaps + vendor);
        // The converter writes no IntendedFor or B0FieldIdentifier: the test adds them.
        ASSERT_FALSE(j.contains("IntendedFor")) << vendor;
        ASSERT_FALSE(j.contains("B0FieldIdentifier")) << vendor;
        j.update(extra);
        d.json(relative, j);
    }
    void series(const std::string& stem, const nlohmann::json& sidecar) {
        d.image(stem + ".nii.gz", 8, 8, 4, 3);
        d.json(stem + ".json", sidecar);
    }

    test::TinyDataset d;
};

TEST_F(BidsRealMaps, each_vendor_field_map_is_found_for_its_series) {
    const Discovery found = discover(d.root());
    ASSERT_EQ(found.selected.size(), 3u);
    EXPECT_TRUE(found.skipped.empty());
    EXPECT_TRUE(found.failed.empty());
    const struct {
        const char* series;
        FieldMapLayout layout;
        const char* how;
    } cases[] = {
        {"sub-ge/func/sub-ge_task-rest_bold.nii.gz", FieldMapLayout::kDirect, "B0FieldIdentifier \"ge_b0\""},
        {"sub-philips/dwi/sub-philips_dir-AP_dwi.nii.gz", FieldMapLayout::kDirect,
         "IntendedFor in sub-philips/fmap/sub-philips_fieldmap.json"},
        {"sub-siemens/func/sub-siemens_task-rest_bold.nii.gz", FieldMapLayout::kPhaseDifference,
         "IntendedFor in sub-siemens/fmap/sub-siemens_phasediff.json"},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(cases[i].series);
        EXPECT_EQ(found.selected[i].series.relative, cases[i].series);
        EXPECT_EQ(found.fieldmaps[found.selected[i].fieldmap].layout, cases[i].layout);
        EXPECT_EQ(found.selected[i].matched_by, cases[i].how);
    }
}

TEST_F(BidsRealMaps, plan_takes_the_converter_values_and_sizes_from_the_headers) {
    const Plan p = make_plan(discover(d.root()), d.root() + "/derivatives/warpmender");
    ASSERT_EQ(p.series.size(), 3u) << plan_text(p);
    const SeriesPlan& ge = p.series[0];
    const SeriesPlan& philips = p.series[1];
    const SeriesPlan& siemens = p.series[2];

    EXPECT_EQ(siemens.echo_time1->value, 0.00519);
    EXPECT_EQ(siemens.echo_time2->value, 0.00765);
    EXPECT_EQ(siemens.echo_time2->source, "sub-siemens/fmap/sub-siemens_phasediff.json");
    EXPECT_EQ(ge.units->value, "Hz");
    EXPECT_EQ(philips.units->value, "Hz");
    EXPECT_EQ(philips.units->source, "sub-philips/fmap/sub-philips_fieldmap.json");

    // grids from the README of the vendors' data
    const struct {
        const SeriesPlan* plan;
        std::int64_t nx, ny, nz;
    } grids[] = {{&siemens, 64, 64, 36}, {&ge, 128, 128, 16}, {&philips, 64, 64, 32}};
    for (const auto& g : grids) {
        EXPECT_EQ(g.plan->memory.fieldmap.nx, g.nx);
        EXPECT_EQ(g.plan->memory.fieldmap.ny, g.ny);
        EXPECT_EQ(g.plan->memory.fieldmap.nz, g.nz);
        const std::uint64_t f = static_cast<std::uint64_t>(g.nx * g.ny * g.nz);
        // series 8x8x4x3 float32: S = 768, E = 256
        EXPECT_EQ(g.plan->memory.bytes, 768u * (4 + 16) + 256u * 32 + f * 96 + kProgramBytes);
    }
    // the magnitudes' real sidecars (linked) count among the inputs
    EXPECT_NE(
        std::find(siemens.inputs.begin(), siemens.inputs.end(), d.path("sub-siemens/fmap/sub-siemens_magnitude2.json")),
        siemens.inputs.end());
    EXPECT_EQ(siemens.outputs.corrected,
              d.root() + "/derivatives/warpmender/sub-siemens/func/sub-siemens_task-rest_desc-preproc_bold.nii.gz");
}

TEST_F(BidsRealMaps, a_derivatives_folder_inside_the_dataset_is_not_searched) {
    d.image("derivatives/warpmender/sub-siemens/func/sub-siemens_task-rest_desc-preproc_bold.nii.gz");
    EXPECT_EQ(discover(d.root()).selected.size(), 3u);
}

}  // namespace
}  // namespace bids
}  // namespace warpmender
