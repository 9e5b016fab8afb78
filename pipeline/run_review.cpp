// What a run's report shows, computed from the maps on the EPI's grid.
#include "pipeline/run_review.h"

#include <stdexcept>

#include "core/error.h"
#include "correction/folding.h"
#include "correction/pe_check.h"

namespace warpmender {
namespace pipeline {

namespace {

report::Volume volume_on(const host::Document& epi) {
    report::Volume v;
    v.nx = epi.fmr.ResolutionX;
    v.ny = epi.fmr.ResolutionY;
    v.nz = epi.fmr.NrOfSlices;
    // Voxel sizes only set the slices' aspect: anything not positive shows square.
    v.dx = epi.fmr.InplaneResolutionX > 0 ? epi.fmr.InplaneResolutionX : 1.0;
    v.dy = epi.fmr.InplaneResolutionY > 0 ? epi.fmr.InplaneResolutionY : 1.0;
    v.dz = epi.fmr.VoxelSizeZ > 0 ? epi.fmr.VoxelSizeZ : 1.0;
    return v;
}

template <typename T>
report::Volume filled(const report::Volume& like, const std::vector<T>& values, double factor = 1.0) {
    report::Volume v = like;
    v.values.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) v.values[i] = static_cast<float>(values[i] * factor);
    return v;
}

}  // namespace

report::RunReport review_run(const ReviewInput& in) {
    if (in.epi == nullptr) throw Error("no EPI to review");
    const report::Volume grid = volume_on(*in.epi);
    const size_t n = grid.voxels();
    if (in.mean_before.size() != n || in.mean_after.size() != n || in.shift.size() != n || in.magnitude.size() != n)
        throw Error("the maps of the run's report do not fit the EPI's grid");
    report::RunReport r;
    r.run = in.run;
    r.pe_code = in.pe_code;
    r.epi_before = filled(grid, in.mean_before);
    r.epi_after = filled(grid, in.mean_after);
    r.magnitude = filled(grid, in.magnitude);
    r.field_hz = filled(grid, in.shift, in.bandwidth_hz);
    r.shift_voxels = filled(grid, in.shift);
    r.acquisition = in.acquisition;
    r.warnings = in.warnings;
    try {
        r.brain = correction::head_mask_from_magnitude(r.magnitude.values.data(), grid.nx, grid.ny, grid.nz);
        if (in.check_sense) {
            r.pe_check = correction::check_pe_sense(r.magnitude.values.data(), in.mean_before.data(), in.shift.data(),
                                                    grid.nx, grid.ny, grid.nz, in.pe_code, r.brain.data());
            r.pe_checked = true;
        }
        r.folding = correction::find_folding(in.shift.data(), grid.nx, grid.ny, grid.nz, in.pe_code, r.brain.data());
        report::check_run(r);
    } catch (const std::invalid_argument& e) {
        throw Error(std::string("cannot review the run: ") + e.what());
    }
    return r;
}

std::vector<double> folding_map(const report::RunReport& run) {
    return std::vector<double>(run.folding.mask.begin(), run.folding.mask.end());
}

}  // namespace pipeline
}  // namespace warpmender
