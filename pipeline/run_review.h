// What a run's report shows, computed from the maps on the EPI's grid: the sense check, folding, the slices.
#pragma once

#include <string>
#include <vector>

#include "formats/document.h"
#include "report/run_report.h"

namespace warpmender {
namespace pipeline {

struct ReviewInput {
    std::string run;                      // the page's title: the EPI's name
    const host::Document* epi = nullptr;  // grid and voxel sizes
    int pe_code = 0;
    double bandwidth_hz = 0.0;       // turns the shift back into the field it came from
    std::vector<float> mean_before;  // mean EPI as acquired
    std::vector<float> mean_after;   // mean EPI as delivered
    std::vector<double> shift;       // shift map applied, voxels
    std::vector<double> magnitude;   // the field map's magnitude carried onto the EPI's grid
    bool check_sense = true;         // false: --pe-check off
    std::vector<report::AcquisitionValue> acquisition;
    std::vector<std::string> warnings;
};

// The report of a run: brain mask from the magnitude, the phase-encoding
// sense check (unless switched off), folding inside the brain, the field
// (shift x bandwidth, Hz). Throws Error for maps that do not fit the grid.
report::RunReport review_run(const ReviewInput& in);

// The folding mask as a map (0, 1 pile-up, 2 fold), for writing beside the outputs.
std::vector<double> folding_map(const report::RunReport& run);

}  // namespace pipeline
}  // namespace warpmender
