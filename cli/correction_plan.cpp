// The values of a correction and where each came from: options first, then the BIDS sidecars.
#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "cli/acquisition_ranges.h"
#include "cli/command.h"
#include "core/error.h"
#include "correction/field_sources.h"
#include "formats/input_headers.h"
#include "formats/nifti_document.h"
#include "formats/sidecar.h"

namespace warpmender {
namespace host {

namespace {

// Matrix size of a NIfTI image along an axis (0 = i, 1 = j, 2 = k), from its header alone.
int nifti_axis_size(const std::string& path, int axis) {
    Notes notes;
    const Document d = read_nifti_header(path, false, notes);
    return axis == 0 ? d.fmr.ResolutionX : axis == 1 ? d.fmr.ResolutionY : d.fmr.NrOfSlices;
}

std::string sidecar_of(const std::string& image) {
    return sidecar_path(image).empty() ? "\"" + image + "\"'s sidecar" : "\"" + sidecar_path(image) + "\"";
}

void note(CorrectionPlan& plan, const std::string& name, const std::string& value, const std::string& source,
          const std::string& line) {
    plan.values.push_back({name, value, source});
    plan.provenance.push_back(line);
}

FieldSource field_source(const CorrectOptions& o) {
    const int given = !o.phase.empty() + (!o.phase1.empty() || !o.phase2.empty()) + !o.fieldmap.empty();
    if (given != 1)
        throw Error(given == 0 ? "no field map: give --phase (a phase difference), --phase1 and --phase2 (two phase "
                                 "images) or --fieldmap (a field map in Hz), each with --magnitude"
                               : "give one field map only: --phase, --phase1 with --phase2, or --fieldmap");
    if (!o.phase1.empty() != !o.phase2.empty()) throw Error("--phase1 and --phase2 go together");
    if (!o.fieldmap.empty()) return FieldSource::kDirect;
    return o.phase.empty() ? FieldSource::kTwoPhases : FieldSource::kPhaseDifference;
}

void plan_echo_time(const CorrectOptions& o, CorrectionPlan& plan) {
    std::string from = "--echo-time-diff";
    if (o.echo_time_diff_ms) {
        plan.echo_time_diff_ms = *o.echo_time_diff_ms;
        note(plan, "echo-time difference", shown(plan.echo_time_diff_ms) + " ms", from,
             "echo-time difference: " + shown(plan.echo_time_diff_ms) + " ms (--echo-time-diff)");
    } else if (plan.source == FieldSource::kPhaseDifference) {
        const std::optional<Sidecar> side = read_sidecar(o.phase);
        if (!side || !side->echo_time1 || !side->echo_time2)
            throw Error("no echo-time difference: give --echo-time-diff MS, or put EchoTime1 and EchoTime2 in " +
                        sidecar_of(o.phase));
        plan.echo_time_diff_ms = (*side->echo_time2 - *side->echo_time1) * 1000.0;
        from = "EchoTime2 - EchoTime1 in " + side->path;
        note(plan, "echo-time difference", shown(plan.echo_time_diff_ms) + " ms", from,
             "echo-time difference: " + shown(plan.echo_time_diff_ms) + " ms (" + from + ")");
    } else {
        const std::optional<Sidecar> s1 = read_sidecar(o.phase1), s2 = read_sidecar(o.phase2);
        if (!s1 || !s1->echo_time)
            throw Error("no echo time for --phase1: give --echo-time-diff MS, or put EchoTime in " +
                        sidecar_of(o.phase1));
        if (!s2 || !s2->echo_time)
            throw Error("no echo time for --phase2: give --echo-time-diff MS, or put EchoTime in " +
                        sidecar_of(o.phase2));
        try {
            plan.echo_time_diff_ms =
                correction::echo_time_difference_ms(*s1->echo_time, *s2->echo_time, s1->path, s2->path);
        } catch (const std::invalid_argument& e) {
            throw Error(e.what());
        }
        from = "EchoTime of " + s2->path + " - EchoTime of " + s1->path;
        note(plan, "echo-time difference", shown(plan.echo_time_diff_ms) + " ms", from,
             "echo-time difference: " + shown(plan.echo_time_diff_ms) + " ms (" + from + ")");
    }
    // Passed on as a float parameter: beyond the float range the conversion would be undefined.
    if (!(plan.echo_time_diff_ms > 0.0) || !(plan.echo_time_diff_ms <= FLT_MAX))
        throw Error("the echo-time difference (" + from + ") must be positive and finite, not " +
                    shown(plan.echo_time_diff_ms) + " ms");
    check_physical(plan.echo_time_diff_ms, kEchoTimeDifferenceMs, from);
}

void plan_units(const CorrectOptions& o, CorrectionPlan& plan) {
    if (!o.fieldmap_units.empty()) {
        plan.units = o.fieldmap_units;
        plan.units_source = "--fieldmap-units";
    } else {
        const std::optional<Sidecar> side = read_sidecar(o.fieldmap);
        if (side && side->units) {
            plan.units = side->units;
            plan.units_source = side->path;
        } else {
            plan.units_source = sidecar_path(o.fieldmap).empty() ? o.fieldmap : sidecar_path(o.fieldmap);
        }
    }
    // Refused now, before any work, with the file named.
    try {
        correction::hertz_per_unit(plan.units, plan.units_source);
    } catch (const std::invalid_argument& e) {
        throw Error(std::string(e.what()) + " (give the unit with --fieldmap-units Hz or rad/s)");
    }
    note(plan, "field map units", *plan.units, plan.units_source,
         "field map units: " + *plan.units + " (" + plan.units_source + ")");
}

}  // namespace

CorrectionPlan plan_correction(const CorrectOptions& o) {
    CorrectionPlan plan;
    plan.source = field_source(o);
    const std::optional<Sidecar> epi_side = read_sidecar(o.epi);

    if (plan.source == FieldSource::kDirect)
        plan_units(o, plan);
    else
        plan_echo_time(o, plan);

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
    note(plan, "phase-encoding direction", dir + " (code " + std::to_string(plan.pe_code) + ")", dir_from,
         "phase-encoding direction: " + dir + " = code " + std::to_string(plan.pe_code) + " (" + dir_from + ")");

    // Bandwidth per voxel along the phase-encoding axis, Hz.
    std::string bandwidth_from = "--bandwidth";
    std::optional<double> sidecar_spacing;
    std::string spacing_from;
    if (o.bandwidth_hz) {
        plan.bandwidth_hz = *o.bandwidth_hz;
        note(plan, "bandwidth per voxel", shown(plan.bandwidth_hz) + " Hz", bandwidth_from,
             "bandwidth per voxel: " + shown(plan.bandwidth_hz) + " Hz (--bandwidth)");
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
                            "\" needs at least 2 voxels along the phase-encoding axis");
            spacing = *epi_side->total_readout_time / (n - 1);
            from = "TotalReadoutTime " + shown(*epi_side->total_readout_time) + " s / (" + std::to_string(n) + " - 1)";
        }
        if (!(spacing > 0.0)) throw Error("the echo spacing in \"" + epi_side->path + "\" must be positive");
        sidecar_spacing = spacing;
        spacing_from = from + " in " + epi_side->path;
        plan.bandwidth_hz = 1.0 / (spacing * n);
        bandwidth_from = from + " in " + epi_side->path;
        note(plan, "bandwidth per voxel", shown(plan.bandwidth_hz) + " Hz",
             "1 / (" + from + " x " + std::to_string(n) + " voxels) from " + epi_side->path,
             "bandwidth per voxel: " + shown(plan.bandwidth_hz) + " Hz (1 / (" + from + " x " + std::to_string(n) +
                 " voxels) from " + epi_side->path + ")");
    } else {
        throw Error("no bandwidth per voxel: give --bandwidth HZ, or put EffectiveEchoSpacing or TotalReadoutTime "
                    "in the EPI's sidecar");
    }
    if (!(plan.bandwidth_hz > 0.0) || !(plan.bandwidth_hz <= FLT_MAX))
        throw Error("the bandwidth per voxel (" + bandwidth_from + ") must be positive and finite, not " +
                    shown(plan.bandwidth_hz) + " Hz");
    if (sidecar_spacing) check_physical(*sidecar_spacing, kEffectiveEchoSpacingS, spacing_from);
    check_physical(plan.bandwidth_hz, kBandwidthPerVoxelHz, bandwidth_from);

    if (o.method != "quality" && o.method != "multigrid" && o.method != "relax")
        throw Error("--method is quality, multigrid or relax, not \"" + o.method + "\"");
    if (o.pe_check != "warn" && o.pe_check != "strict" && o.pe_check != "off")
        throw Error("--pe-check is warn, strict or off, not \"" + o.pe_check + "\"");

    Session& s = plan.session;
    switch (plan.source) {
        case FieldSource::kPhaseDifference: s.documents = {{o.phase, false}}; break;
        case FieldSource::kTwoPhases: s.documents = {{o.phase1, false}, {o.phase2, false}}; break;
        case FieldSource::kDirect: s.documents = {{o.fieldmap, false}}; break;
    }
    s.documents.push_back({o.magnitude, false});
    s.documents.push_back({o.epi, false});
    if (!o.anatomy.empty()) s.documents.push_back({o.anatomy, true});
    return plan;
}

}  // namespace host
}  // namespace warpmender
