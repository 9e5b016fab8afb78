// The whole synthetic data set of the demo, the end-to-end tests and the benchmarks, in one call.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/dipole_field.h"
#include "sim/epi.h"
#include "sim/fieldmap_scan.h"
#include "sim/grid.h"
#include "sim/phantom.h"

namespace warpmender {
namespace sim {

struct DatasetParams {
    PhantomParams phantom;
    FieldParams field;
    FieldmapScanParams scan;
    EpiParams epi;
    // false: the field from Phantom::chi_sinus_ppm (what the tissue sees);
    // true: from the full Phantom::chi_ppm, head surface included.
    bool head_surface_field = false;
    // Signal lost to dephasing in the field's gradients (epi.h:
    // dephasing_factor), in the magnitude at the scan's first echo time and
    // in the EPI (truth and distorted) at its echo time.
    bool dephasing = true;
    // What the shim leaves: a smooth field over the head (Hz at the edge of the
    // grid; 0 for none): first-order terms along y and z (zero at the centre), so
    // that the whole brain is displaced, as after an imperfect shim.
    double shim_residual_hz = 0.0;
};

// Every image is a plain float array on `grid` (layout and axes in grid.h;
// grid.affine() places it in RAS mm for NIfTI), so the command can write
// them as they are. The field map's phase and magnitude and the EPI share
// the grid, so no mapping through an anatomy is needed.
struct Dataset {
    Grid grid;
    int nt = 0;
    int pe_dir = 3;                  // the code the EPI was distorted with (and must be corrected with)
    double bandwidth_pe_hz = 0.0;    // for "BandWidthPE" / --bandwidth
    double echo_time_diff_ms = 0.0;  // for "EchoTimeDiff" / --echo-time-diff
    // The same acquisition in the terms of BIDS sidecars: EchoTime1/EchoTime2
    // of the field map (s), EffectiveEchoSpacing of the EPI (s), with
    // bandwidth = 1 / (spacing * voxels along the phase-encoding axis), and
    // PhaseEncodingDirection ("i", "i-", "j", "j-", "k", "k-" for codes 1..6).
    double echo_time1_s = 0.0, echo_time2_s = 0.0;
    double effective_echo_spacing_s = 0.0;
    const char* bids_pe_direction = "j";
    std::vector<float> phase;      // one volume, stored units kPhaseStoredMin..kPhaseStoredMax
    std::vector<float> magnitude;  // one volume
    std::vector<float> epi;        // nt volumes, distorted
    std::vector<float> truth;      // nt volumes, undistorted
    // nt volumes: the noise-free distorted series corrected with the true
    // shift map by the plug-in's own method (undistort_series), the best a
    // pixel-shift correction can do. It keeps the intensity changes of the
    // distortion (the method does not undo them), so where the field's
    // gradient is steep it can be further from truth than the distorted
    // series is; a corrected series is judged best against it.
    std::vector<float> ideal;
    std::vector<double> field_hz;     // one volume, the shimmed field offset
    std::vector<double> shift;        // one volume, voxels (field_hz / bandwidth_pe_hz)
    std::vector<std::uint8_t> head;   // one volume: tissue voxels, where errors are measured
    std::vector<std::uint8_t> brain;  // one volume
    int figure_slice = 0;             // the axial slice with the most distortion inside the brain
};

// Phantom -> field (shimmed over the brain) -> field-map scan -> EPI truth
// and its distortion. Throws warpmender::Error for invalid parameters.
Dataset make_dataset(const DatasetParams& params = DatasetParams{});

// Float copy of a double image (for writing).
std::vector<float> to_float(const std::vector<double>& v);

}  // namespace sim
}  // namespace warpmender
