// warpmender correct: the whole pipeline in one "Start" call, with values from options or sidecars.
#include <nifti1_io.h>
#include <CLI/CLI.hpp>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "cli/acquisition_ranges.h"
#include "cli/command.h"
#include "core/error.h"
#include "correction/grid_pairing.h"
#include "formats/input_headers.h"
#include "formats/nifti_document.h"
#include "formats/sidecar.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace host {

namespace {

// Matrix size of a NIfTI image along an axis (0 = i, 1 = j, 2 = k), from its header alone.
int nifti_axis_size(const std::string& path, int axis) {
    Notes notes;
    const Document d = read_nifti_header(path, false, notes);
    return axis == 0 ? d.fmr.ResolutionX : axis == 1 ? d.fmr.ResolutionY : d.fmr.NrOfSlices;
}

// The magnitude must show the head above the plug-in's mask threshold, or
// the masked field map (and so the correction) is zero everywhere.
void warn_about_magnitude(Host& h, const std::string& path) {
    if (h.documents().size() < 2) return;
    const Document& m = h.documents()[1];
    size_t above = 0, total = 0;
    for (const auto& v : m.float_volumes) {
        for (float x : v) above += x > 200.0f;
        total += v.size();
    }
    for (const auto& v : m.int_volumes) {
        for (uint16_t x : v) above += x > 200;
        total += v.size();
    }
    if (total > 0 && above * 100 < total) {
        std::cerr << "warning: magnitude \"" << path << "\" has only " << above << " of " << total
                  << " voxels above 200, the threshold of the field map's mask; the field map would be "
                     "(almost) zero. Rescale it with --rescale-magnitude.\n";
    }
}

}  // namespace

CorrectionPlan plan_correction(const CorrectOptions& o) {
    CorrectionPlan plan;
    const std::optional<Sidecar> phase_side = read_sidecar(o.phase);
    const std::optional<Sidecar> epi_side = read_sidecar(o.epi);

    // Echo-time difference, milliseconds.
    std::string echo_from = "--echo-time-diff";
    if (o.echo_time_diff_ms) {
        plan.echo_time_diff_ms = *o.echo_time_diff_ms;
        plan.provenance.push_back("echo-time difference: " + shown(plan.echo_time_diff_ms) + " ms (--echo-time-diff)");
    } else if (phase_side && phase_side->echo_time1 && phase_side->echo_time2) {
        plan.echo_time_diff_ms = (*phase_side->echo_time2 - *phase_side->echo_time1) * 1000.0;
        echo_from = "EchoTime2 - EchoTime1 in " + phase_side->path;
        plan.provenance.push_back("echo-time difference: " + shown(plan.echo_time_diff_ms) +
                                  " ms (EchoTime2 - EchoTime1 in " + phase_side->path + ")");
    } else {
        throw Error("no echo-time difference: give --echo-time-diff MS, or put EchoTime1 and EchoTime2 in \"" +
                    (sidecar_path(o.phase).empty() ? o.phase + "\"'s sidecar" : sidecar_path(o.phase) + "\""));
    }
    // Passed on as a float parameter: beyond the float range the conversion would be undefined.
    if (!(plan.echo_time_diff_ms > 0.0) || !(plan.echo_time_diff_ms <= FLT_MAX))
        throw Error("the echo-time difference (" + echo_from + ") must be positive and finite, not " +
                    shown(plan.echo_time_diff_ms) + " ms");
    check_physical(plan.echo_time_diff_ms, kEchoTimeDifferenceMs, echo_from);

    // Phase-encoding direction.
    std::string dir = o.pe_dir;
    std::string dir_from = "--pe-dir";
    if (dir.empty() && epi_side && epi_side->phase_encoding_direction) {
        dir = *epi_side->phase_encoding_direction;
        dir_from = "PhaseEncodingDirection in " + epi_side->path;
    }
    if (dir.empty())
        throw Error("no phase-encoding direction: give --pe-dir (1..6 or i, i-, j, j-, k, k-), or put "
                    "PhaseEncodingDirection in the EPI's sidecar");
    plan.pe_code = direction_code(dir);
    if (plan.pe_code == 0) throw Error("--pe-dir \"" + dir + "\" is not a direction: use 1..6 or i, i-, j, j-, k, k-");
    plan.provenance.push_back("phase-encoding direction: " + dir + " = code " + std::to_string(plan.pe_code) + " (" +
                              dir_from + ")");

    // Bandwidth per voxel along the phase-encoding axis, Hz.
    std::string bandwidth_from = "--bandwidth";
    std::optional<double> sidecar_spacing;
    std::string spacing_from;
    if (o.bandwidth_hz) {
        plan.bandwidth_hz = *o.bandwidth_hz;
        plan.provenance.push_back("bandwidth per voxel: " + shown(plan.bandwidth_hz) + " Hz (--bandwidth)");
    } else if (epi_side && (epi_side->effective_echo_spacing || epi_side->total_readout_time)) {
        const int n = nifti_axis_size(o.epi, direction_axis(plan.pe_code));
        double spacing = 0.0;
        std::string from;
        if (epi_side->effective_echo_spacing) {
            spacing = *epi_side->effective_echo_spacing;
            from = "EffectiveEchoSpacing " + shown(spacing) + " s";
        } else {
            if (n < 2)
                throw Error("TotalReadoutTime in \"" + epi_side->path +
                            "\" needs at least 2 voxels along the "
                            "phase-encoding axis");
            spacing = *epi_side->total_readout_time / (n - 1);
            from = "TotalReadoutTime " + shown(*epi_side->total_readout_time) + " s / (" + std::to_string(n) + " - 1)";
        }
        if (!(spacing > 0.0)) throw Error("the echo spacing in \"" + epi_side->path + "\" must be positive");
        sidecar_spacing = spacing;
        spacing_from = from + " in " + epi_side->path;
        plan.bandwidth_hz = 1.0 / (spacing * n);
        bandwidth_from = from + " in " + epi_side->path;
        plan.provenance.push_back("bandwidth per voxel: " + shown(plan.bandwidth_hz) + " Hz (1 / (" + from + " x " +
                                  std::to_string(n) + " voxels) from " + epi_side->path + ")");
    } else {
        throw Error("no bandwidth per voxel: give --bandwidth HZ, or put EffectiveEchoSpacing or TotalReadoutTime "
                    "in the EPI's sidecar");
    }
    if (!(plan.bandwidth_hz > 0.0) || !(plan.bandwidth_hz <= FLT_MAX))
        throw Error("the bandwidth per voxel (" + bandwidth_from + ") must be positive and finite, not " +
                    shown(plan.bandwidth_hz) + " Hz");
    if (sidecar_spacing) check_physical(*sidecar_spacing, kEffectiveEchoSpacingS, spacing_from);
    check_physical(plan.bandwidth_hz, kBandwidthPerVoxelHz, bandwidth_from);

    const bool multigrid = o.method == "multigrid";
    if (!multigrid && o.method != "relax") throw Error("--method is multigrid or relax, not \"" + o.method + "\"");

    Session& s = plan.session;
    s.documents = {{o.phase, false}, {o.magnitude, false}, {o.epi, false}};
    const bool mapping = !o.anatomy.empty();
    if (mapping) s.documents.push_back({o.anatomy, true});
    SessionCall call;
    call.parameters = {
        {protocol::kCommand, std::string(protocol::kStart)},
        {protocol::kProcedure, std::string(protocol::kUnwrap)},
        {protocol::kPerformAllSteps, 1},
        {protocol::kUnwrappingMethod, multigrid ? 1 : 0},
        {protocol::kNrOfVCycles, o.cycles},
        {protocol::kNrOfIterations, o.iterations},
        {protocol::kNrOfIterationsRelax, o.relax_iterations},
        {protocol::kRegularisation, static_cast<float>(o.regularisation)},
        {protocol::kPhaseToRadians, o.no_radians ? 0 : 1},
        {protocol::kMaskLaplacian, o.mask_laplacian ? 1 : 0},
        {protocol::kBandWidthPE, static_cast<float>(plan.bandwidth_hz)},
        {protocol::kEchoTimeDiff, static_cast<float>(plan.echo_time_diff_ms)},
        {protocol::kPhaseEncodingDir, plan.pe_code},
        {protocol::kApplyTwoPi, o.two_pi ? 1 : 0},
        {protocol::kMapFieldmapToFunctional, mapping ? 1 : 0},
    };
    // The document dialogs in the order the pipeline asks: start (phase),
    // magnitude, the anatomy when mapping, then the EPI.
    call.answers = {Answer::of(0), Answer::of(1)};
    if (mapping) call.answers.push_back(Answer::of(3));
    call.answers.push_back(Answer::of(2));
    s.calls.push_back(call);
    return plan;
}

static correction::WorldGrid world_grid(const InputGrid& g) {
    correction::WorldGrid w;
    w.nx = g.nx;
    w.ny = g.ny;
    w.nz = g.nz;
    w.affine = *g.world_mm;
    return w;
}

static void check_correction_grids(const CorrectOptions& o) {
    const InputGrid phase = read_input_grid(o.phase, false);
    const InputGrid magnitude = read_input_grid(o.magnitude, false);
    const InputGrid epi = read_input_grid(o.epi, false);
    require_same_grid(magnitude, "magnitude", phase, "phase image",
                      "the field map's phase and magnitude must share a grid");
    if (!o.anatomy.empty()) return;
    // Both placed in the scanner frame: the same matrix is not enough, a
    // shift map applied voxel for voxel to an EPI placed elsewhere is wrong
    // everywhere without any sign of it.
    if (phase.world_mm && epi.world_mm) {
        const correction::WorldGrid field = world_grid(phase), target = world_grid(epi);
        correction::GridPairing pairing;
        try {
            pairing = correction::pair_grids(field, o.phase, target, o.epi);
        } catch (const std::invalid_argument& e) {
            throw Error(e.what());
        }
        if (!pairing.same) throw Error(correction::misalignment_message(pairing, field, o.phase, target, o.epi));
        return;
    }
    require_same_grid(epi, "EPI", phase, "field map", "without --anatomy the EPI and the field map must share a grid");
}

int run_correct(const CorrectOptions& o) {
    CorrectionPlan plan = plan_correction(o);
    check_correction_grids(o);
    for (const std::string& p : plan.provenance) std::cout << p << "\n";
    std::cout.flush();
    SessionOutcome outcome;
    const int status =
        execute_session(plan.session, o.common, o.rescale_magnitude ? std::vector<int>{1} : std::vector<int>{},
                        SessionHooks{[&](Host& h) { warn_about_magnitude(h, o.magnitude); }, {}, {}}, &outcome);
    const Host& h = instance();
    if (status == kExitOk) {
        const std::string name = h.string_parameter(protocol::kNameUndistortedFile);
        // The file written, which follows the EPI's format, not the plug-in's ".fmr" name.
        for (const SaveRecord& r : h.saves)
            if (!name.empty() && r.ok && r.requested == h.output_dir + "/" + name)
                std::cout << "corrected EPI: " << r.path << "\n";
    }
    return status;
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<CorrectOptions>();
    CorrectOptions& cor = *o;
    cmd.add_option("--phase", cor.phase, "Wrapped phase-difference image (FMR or NIfTI)")
        ->required()
        ->check(CLI::ExistingFile);
    cmd.add_option("--magnitude", cor.magnitude, "Magnitude image on the phase image's grid")
        ->required()
        ->check(CLI::ExistingFile);
    cmd.add_option("--epi", cor.epi, "EPI series to correct")->required()->check(CLI::ExistingFile);
    cmd.add_option("--anatomy", cor.anatomy,
                   "Anatomical volume (VMR or NIfTI): carry the shift map into the EPI's grid through it")
        ->check(CLI::ExistingFile);
    cmd.add_option("--echo-time-diff", cor.echo_time_diff_ms, "Echo-time difference of the field map, ms")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--bandwidth", cor.bandwidth_hz, "Bandwidth per voxel along the phase-encoding axis, Hz")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--pe-dir", cor.pe_dir, "Phase-encoding direction: 1..6 or i, i-, j, j-, k, k-");
    cmd.add_option("--method", cor.method, "Unwrapping method")
        ->check(CLI::IsMember({"multigrid", "relax"}))
        ->capture_default_str();
    cmd.add_option("--cycles", cor.cycles, "Multigrid: V-cycles per level")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    cmd.add_option("--iterations", cor.iterations, "Multigrid: relaxation iterations per smoothing")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    cmd.add_option("--relax-iterations", cor.relax_iterations, "Relaxation: red-black sweeps")
        ->check(CLI::Range(0, 1000000))
        ->capture_default_str();
    cmd.add_option("--regularisation", cor.regularisation, "Relaxation: smoothness weight")
        ->check(CLI::Range(0.0, 1e6))
        ->capture_default_str();
    cmd.add_flag("--no-radians", cor.no_radians, "The phase is already in radians: do not rescale it to -pi..pi");
    cmd.add_flag("--mask-laplacian", cor.mask_laplacian, "Multigrid: mask the wrapped Laplacian with the magnitude");
    cmd.add_flag("--two-pi", cor.two_pi, "Divide the shift map by a further 2 pi (field map in rad/s)");
    cmd.add_flag("--rescale-magnitude", cor.rescale_magnitude, "Rescale the magnitude to 0..4095 on opening");
    add_common_options(cmd, cor.common);
    return [o] { return run_correct(*o); };
}
}  // namespace

extern const Subcommand subcommand_correct = {
    "correct",
    "Correct an EPI series with a field map in one call: unwrap, B0 map, shift map, "
    "undistortion. Values not given are taken from BIDS JSON sidecars beside NIfTI "
    "inputs (EchoTime1/EchoTime2 of the phase image; EffectiveEchoSpacing or "
    "TotalReadoutTime and PhaseEncodingDirection of the EPI).\n"
    "Phase-encoding direction codes (--pe-dir): 1 = +x (i), 2 = -x (i-), 3 = +y (j), 4 = -y (j-), "
    "5 = +z (k), 6 = -z (k-), along the image's own voxel axes (column, row, slice index). "
    "Sign convention: with code 3 (\"j\") the distorted image shows the content of voxel y at y + shift, "
    "where shift = field (Hz) / bandwidth per voxel (Hz); the correction therefore samples the distorted "
    "image at y + shift. Codes 2, 4, 6 (i-, j-, k-) sample at position - shift. A shift toward higher "
    "indices for a positive field is what BIDS PhaseEncodingDirection \"j\" means.",
    declare};

}  // namespace host
}  // namespace warpmender
