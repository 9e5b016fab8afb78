// A corrected run of the sim's head, filled in as the command fills a report.
#pragma once

#include <string>
#include <vector>

#include "correction/folding.h"
#include "correction/pe_check.h"
#include "report/run_report.h"
#include "sim/dipole_field.h"
#include "sim/epi.h"
#include "sim/phantom.h"

namespace warpmender {
namespace test {

inline report::Volume report_volume(const sim::Grid& g, std::vector<float> values) {
    report::Volume v;
    v.nx = g.nx;
    v.ny = g.ny;
    v.nz = g.nz;
    v.dx = g.dx;
    v.dy = g.dy;
    v.dz = g.dz;
    v.values = std::move(values);
    return v;
}

// The sim's head on the small grid, distorted along `true_code` at half the
// sim's EPI bandwidth (shifts of several voxels by the sinus, some folding),
// corrected with `sidecar_code` (the true one, or its opposite for a
// flipped sidecar).
inline report::RunReport sim_run(int true_code, int sidecar_code, const std::string& name) {
    sim::PhantomParams pp;
    pp.grid = sim::small_grid();
    static const sim::Phantom ph = sim::make_head_phantom(pp);
    static const std::vector<double> field = sim::field_offset_hz(ph.grid, ph.chi_sinus_ppm, ph.head);
    const sim::Grid& g = ph.grid;
    const std::vector<double> shift = sim::shift_map_voxels(field, 0.5 * sim::EpiParams{}.bandwidth_pe_hz);
    const std::vector<float> distorted = sim::distort_series(g, 1, ph.epi, shift, true_code);
    const std::vector<float> corrected = sim::undistort_series(g, 1, distorted, shift, sidecar_code);

    report::RunReport r;
    r.run = name;
    r.pe_code = sidecar_code;
    r.epi_before = report_volume(g, distorted);
    r.epi_after = report_volume(g, corrected);
    r.magnitude = report_volume(g, ph.magnitude);
    r.field_hz = report_volume(g, std::vector<float>(field.begin(), field.end()));
    r.shift_voxels = report_volume(g, std::vector<float>(shift.begin(), shift.end()));
    r.brain = ph.brain;
    r.pe_checked = true;
    r.pe_check = correction::check_pe_sense(ph.magnitude.data(), distorted.data(), shift.data(), g.nx, g.ny, g.nz,
                                            sidecar_code);
    r.folding = correction::find_folding(shift.data(), g.nx, g.ny, g.nz, sidecar_code, ph.brain.data());
    r.acquisition = {{"phase-encoding code", std::to_string(sidecar_code), "PhaseEncodingDirection in " + name + ".json"},
                     {"bandwidth per voxel along PE", "14.74 Hz", "1 / TotalReadoutTime in " + name + ".json"},
                     {"echo time difference", "2.46 ms", "EchoTime1/EchoTime2 in phasediff.json"},
                     {"field map", "sim dipole field, shimmed to first order", "<generated>"}};
    r.warnings = {"the magnitude was rescaled to 0..4095 (its range made the mask's threshold meaningless)"};
    return r;
}

}  // namespace test
}  // namespace warpmender
