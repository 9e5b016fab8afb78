// warpmender correct: one run from its field map to the corrected series, the maps applied and the report.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "cli/acquisition_ranges.h"
#include "cli/command.h"
#include "core/atomic_file.h"
#include "core/error.h"
#include "correction/grid_pairing.h"
#include "correction/jacobian.h"
#include "formats/fmr_file.h"
#include "formats/format_table.h"
#include "formats/input_headers.h"
#include "formats/nifti_document.h"
#include "host/document_files.h"
#include "hostlink/protocol.h"
#include "pipeline/run_maps.h"
#include "pipeline/run_review.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

namespace {

// How the field map reaches the EPI's grid.
enum class Alignment { kSameGrid, kWorld, kAnatomy };

// "dir/sub-01_bold.nii.gz" -> "sub-01_bold"
std::string stem_of(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    const FileFormat* format = format_of(name);
    return format ? name.substr(0, name.size() - std::string(format->extension).size()) : name;
}

correction::WorldGrid world_grid(const InputGrid& g) {
    correction::WorldGrid w;
    w.nx = g.nx;
    w.ny = g.ny;
    w.nz = g.nz;
    w.affine = *g.world_mm;
    return w;
}

std::string grid_text(const InputGrid& g) {
    return std::to_string(g.nx) + " x " + std::to_string(g.ny) + " x " + std::to_string(g.nz);
}

// The field map's images share one grid; the EPI is on it, or is placed in
// the scanner frame with enough of it inside the field map's field of view.
Alignment decide_alignment(const CorrectOptions& o, const CorrectionPlan& plan) {
    const std::string field_path = plan.source == FieldSource::kDirect      ? o.fieldmap
                                   : plan.source == FieldSource::kTwoPhases ? o.phase1
                                                                            : o.phase;
    const InputGrid field = read_input_grid(field_path, false);
    if (plan.source == FieldSource::kTwoPhases)
        require_same_grid(read_input_grid(o.phase2, false), "second phase image", field, "first phase image",
                          "the two phase images must share a grid");
    require_same_grid(read_input_grid(o.magnitude, false), "magnitude", field, "field map",
                      "the field map and its magnitude must share a grid");
    const InputGrid epi = read_input_grid(o.epi, false);
    if (!o.anatomy.empty()) {
        std::cout << "alignment: the field map reaches the EPI's grid through the anatomy \"" << o.anatomy
                  << "\" (--anatomy)\n";
        return Alignment::kAnatomy;
    }
    if (!field.world_mm || !epi.world_mm) {
        require_same_grid(epi, "EPI", field, "field map",
                          "the EPI and the field map must share a grid when either has no position in the scanner "
                          "(an FMR project); give --anatomy to map through an anatomical volume");
        std::cout << "alignment: the field map and the EPI share one grid (" << grid_text(epi) << ")\n";
        return Alignment::kSameGrid;
    }
    const correction::WorldGrid fg = world_grid(field), eg = world_grid(epi);
    correction::GridPairing pairing;
    try {
        pairing = correction::pair_grids(fg, field_path, eg, o.epi);
    } catch (const std::invalid_argument& e) {
        throw Error(e.what());
    }
    if (pairing.same) {
        std::cout << "alignment: the field map and the EPI share one grid (" << grid_text(epi) << ")\n";
        return Alignment::kSameGrid;
    }
    if (pairing.overlap < correction::kLeastOverlap)
        throw Error("the EPI \"" + o.epi + "\" lies only " + shown(100.0 * pairing.overlap) +
                    "% inside the field of view of the field map \"" + field_path + "\" (at least " +
                    shown(100.0 * correction::kLeastOverlap) +
                    "% is needed): these images do not belong together, or their positions are wrong");
    std::cout << "alignment: the field map (" << grid_text(field) << ") is carried onto the EPI's grid ("
              << grid_text(epi) << ") through the scanner frame; corners differ by up to "
              << shown(pairing.corner_mismatch) << " voxels, " << shown(100.0 * pairing.overlap)
              << "% of the EPI lies inside the field map\n";
    return Alignment::kWorld;
}

// One "Start" call of the plug-in.
SessionCall start_call(const CorrectOptions& o, const CorrectionPlan& plan, const char* procedure, bool all_steps,
                       std::vector<Answer> answers, bool mapping) {
    SessionCall call;
    // Two phase images arrive as a difference already in radians.
    const bool to_radians = plan.source == FieldSource::kPhaseDifference && !o.no_radians;
    call.parameters = {
        {protocol::kCommand, std::string(protocol::kStart)},
        {protocol::kProcedure, std::string(procedure)},
        {protocol::kPerformAllSteps, all_steps ? 1 : 0},
        {protocol::kUnwrappingMethod, o.method == "relax" ? 0 : 1},
        {protocol::kNrOfVCycles, o.cycles},
        {protocol::kNrOfIterations, o.iterations},
        {protocol::kNrOfIterationsRelax, o.relax_iterations},
        {protocol::kRegularisation, static_cast<float>(o.regularisation)},
        {protocol::kPhaseToRadians, to_radians ? 1 : 0},
        {protocol::kMaskLaplacian, o.mask_laplacian ? 1 : 0},
        {protocol::kBandWidthPE, static_cast<float>(plan.bandwidth_hz)},
        {protocol::kEchoTimeDiff, static_cast<float>(plan.echo_time_diff_ms)},
        {protocol::kPhaseEncodingDir, plan.pe_code},
        {protocol::kApplyTwoPi, o.two_pi ? 1 : 0},
        {protocol::kMapFieldmapToFunctional, mapping ? 1 : 0},
    };
    call.answers = std::move(answers);
    return call;
}

// What the hooks share across the calls of one run.
struct Run {
    const CorrectOptions& o;
    const CorrectionPlan& plan;
    Alignment alignment = Alignment::kSameGrid;
    int magnitude = 0, epi = 0;  // document indices
    std::string out_dir;
    std::vector<std::string> procedures;  // of the calls, in order
    std::optional<Document> last_map;     // the last one-volume save: what the next call starts from
    std::optional<Document> shift_map;    // the "_pixshift" save
    int last_saved = -1;                  // the document the last save came from
    std::string last_saved_path;          // and the file that opens it (empty when held)
    std::optional<correction::WorldGrid> field_grid, epi_grid;  // in the scanner frame, when placed there
    std::vector<float> mean_before;
    std::vector<double> magnitude_on_epi;
    std::vector<std::string> warnings;
    CorrectionOutputs outputs;

    Run(const CorrectOptions& options, const CorrectionPlan& p) : o(options), plan(p) {}
};

std::string in_output(const Run& run, const std::string& name) { return (fs::path(run.out_dir) / name).string(); }

void warn(Run& run, const std::string& text) {
    std::cerr << "warning: " << text << "\n";
    run.warnings.push_back(text);
}

// A map the command made, kept beside the plug-in's results as they are kept.
void save_intermediate(Host& h, const Document& doc) {
    const std::string fmr = doc.fmr.FileName;
    const std::string why = save_document_files(h, doc, fmr, stc_path_of(fmr, ""));
    if (!why.empty()) throw Error("cannot save \"" + fmr + "\": " + why);
}

// The magnitude's scale must suit the mask's fixed threshold of 200.
void check_magnitude(Run& run, Host& h) {
    Document& m = h.documents()[static_cast<size_t>(run.magnitude)];
    if (run.o.rescale_magnitude) return;  // rescaled on opening
    const correction::MagnitudeScale scale = pipeline::judge_magnitude(m);
    if (!scale.meaningless) return;
    if (scale.nonzero == 0) {
        warn(run, "the magnitude \"" + run.o.magnitude + "\" holds no signal: the field map is masked away entirely");
        return;
    }
    if (!m.int_volumes.empty()) {
        warn(run, "the magnitude \"" + run.o.magnitude + "\" has " + shown(100.0 * scale.share_above) +
                      "% of its non-zero voxels above 200, the mask's threshold; rescale it to 0..4095");
        return;
    }
    pipeline::rescale_magnitude(m);
    std::cout << "magnitude: " << shown(100.0 * scale.share_above)
              << "% of its non-zero voxels were above 200, the threshold of the field map's mask, which "
                 "cannot separate head from background at that scale: rescaled to 0..4095 (as --rescale-magnitude)\n";
}

// Before the first call: the magnitude's scale, the EPI as acquired, and the
// map the plug-in starts from when the command makes it.
void before_calls(Run& run, Host& h) {
    check_magnitude(run, h);
    const Document& magnitude = h.documents()[static_cast<size_t>(run.magnitude)];
    const Document& epi = h.documents()[static_cast<size_t>(run.epi)];
    // The field map's grid is that of its first image, as the alignment judged it.
    run.field_grid = pipeline::world_grid_of(h.documents()[0]);
    run.epi_grid = pipeline::world_grid_of(epi);
    const bool carried = run.alignment == Alignment::kWorld;
    if (carried && (!run.field_grid || !run.epi_grid))
        throw Error("the field map or the EPI lost its position in the scanner on opening");
    if (run.alignment != Alignment::kAnatomy) {
        run.mean_before = pipeline::mean_volume(epi);
        const std::vector<double> m = pipeline::volume_values(magnitude);
        run.magnitude_on_epi = carried ? pipeline::carry_map(m, *run.field_grid, *run.epi_grid) : m;
    }

    const CorrectOptions& o = run.o;
    const Document& first = h.documents()[0];
    if (run.plan.source == FieldSource::kDirect) {
        std::vector<double> hz = pipeline::field_in_hertz(first, run.plan.units, run.plan.units_source, magnitude);
        Document doc = carried ? pipeline::map_document(epi, in_output(run, stem_of(o.epi) + "_fieldmap_hz.fmr"),
                                                        pipeline::carry_map(hz, *run.field_grid, *run.epi_grid))
                               : pipeline::map_document(first, in_output(run, stem_of(o.fieldmap) + "_hz.fmr"), hz);
        save_intermediate(h, doc);
        h.add_document(std::move(doc));
        return;
    }
    std::vector<double> radians;
    std::string name;
    if (run.plan.source == FieldSource::kTwoPhases) {
        radians = pipeline::two_echo_phase_difference(first, h.documents()[1]);
        name = stem_of(o.phase1) + "_phasediff";
        std::cout << "phase difference: formed from the complex signals of \"" << o.phase1 << "\" and \"" << o.phase2
                  << "\"\n";
    } else if (o.method == "quality") {
        correction::PhaseScale scale = correction::PhaseScale::kRadians;
        radians = pipeline::phase_in_radians(first, o.no_radians, &scale);
        name = stem_of(o.phase);
        std::cout << "phase scale: "
                  << (scale == correction::PhaseScale::kRadians      ? "radians"
                      : scale == correction::PhaseScale::kSigned4096 ? "-4096..4096 (pi / 4096 per unit)"
                                                                     : "0..4096 (2 pi / 4096 per unit)")
                  << (o.no_radians ? " (--no-radians)" : " (from the values)") << "\n";
    } else {
        return;  // the plug-in unwraps the phase difference as it is
    }
    if (o.method == "quality") {
        QualityUnwrapInfo info;
        const std::vector<double> cycles = pipeline::unwrapped_cycles(radians, magnitude, &info);
        std::cout << "unwrapping: quality-guided region growing, " << info.regions << " region(s), the largest "
                  << info.largest << " voxels\n";
        Document doc = pipeline::map_document(first, in_output(run, name + "_quality_unwrapped.fmr"), cycles);
        save_intermediate(h, doc);
        h.add_document(std::move(doc));
    } else {
        Document doc = pipeline::map_document(first, in_output(run, name + ".fmr"), radians);
        save_intermediate(h, doc);
        h.add_document(std::move(doc));
    }
}

// Between calls of a run carried through the scanner frame: the next call
// starts from the last result, the field map carried onto the EPI's grid.
void between_calls(Run& run, Host& h, size_t call) {
    if (!run.last_map) throw Error("the plug-in's \"" + run.procedures[call] + "\" step saved no map to go on from");
    if (run.procedures[call] == protocol::kUnwrap) {
        h.add_document(*run.last_map);
        return;
    }
    const Document& epi = h.documents()[static_cast<size_t>(run.epi)];
    const Document& field = *run.last_map;
    const std::vector<double> carried =
        pipeline::carry_map(pipeline::volume_values(field), *run.field_grid, *run.epi_grid);
    Document doc = pipeline::map_document(epi, in_output(run, stem_of(run.o.epi) + "_fieldmap_hz.fmr"), carried);
    save_intermediate(h, doc);
    h.add_document(std::move(doc));
}

// The calls: one when the plug-in can run on to the end, else one per step
// up to the field map, which the command carries onto the EPI's grid.
void plan_calls(Run& run, Session& s) {
    const CorrectOptions& o = run.o;
    const CorrectionPlan& plan = run.plan;
    const int opened = static_cast<int>(s.documents.size());
    const bool made_start = plan.source != FieldSource::kPhaseDifference || o.method == "quality";
    int next = opened + (made_start ? 1 : 0);
    const int start = made_start ? opened : 0;
    const char* first = plan.source == FieldSource::kDirect ? protocol::kComputePxshift
                        : o.method == "quality"             ? protocol::kComputeB0
                                                            : protocol::kUnwrap;
    const bool unwrap = std::string(first) == protocol::kUnwrap;
    if (run.alignment != Alignment::kWorld || plan.source == FieldSource::kDirect) {
        std::vector<Answer> answers = {Answer::of(start)};
        if (unwrap) answers.push_back(Answer::of(run.magnitude));
        const bool mapping = run.alignment == Alignment::kAnatomy;
        if (mapping) answers.push_back(Answer::of(opened - 1));
        answers.push_back(Answer::of(run.epi));
        s.calls.push_back(start_call(o, plan, first, true, answers, mapping));
        run.procedures.push_back(first);
        return;
    }
    int from = start;
    if (unwrap) {
        s.calls.push_back(
            start_call(o, plan, protocol::kUnwrap, false, {Answer::of(from), Answer::of(run.magnitude)}, false));
        run.procedures.push_back(protocol::kUnwrap);
        from = next++;
    }
    s.calls.push_back(start_call(o, plan, protocol::kComputeB0, false, {Answer::of(from)}, false));
    run.procedures.push_back(protocol::kComputeB0);
    from = next++;
    s.calls.push_back(
        start_call(o, plan, protocol::kComputePxshift, true, {Answer::of(from), Answer::of(run.epi)}, false));
    run.procedures.push_back(protocol::kComputePxshift);
}

// Work on a thread of its own that is always waited for, also when the
// caller unwinds. The task must not throw.
class BackgroundTask {
public:
    explicit BackgroundTask(std::function<void()> task) {
        try {
            thread_ = std::thread(task);
        } catch (const std::system_error&) {
            task();  // no thread to be had: done here, before the caller goes on
        }
    }
    ~BackgroundTask() { wait(); }
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;
    void wait() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// Writes a document beside the results in the EPI's format; returns its path.
std::string write_result(Host& h, const Run& run, const Document& doc, const std::string& name) {
    const std::string fmr = in_output(run, name + ".fmr");
    const std::string why = save_document_files(h, doc, fmr, stc_path_of(fmr, ""));
    if (!why.empty()) throw Error("cannot save \"" + fmr + "\": " + why);
    // Named by its NIfTI when it has one (NIfTI in, NIfTI out; --nifti), else by its FMR.
    return doc.nifti_geometry || h.nifti_output ? nifti_path_for(doc, fmr) : fmr;
}

const char* kCodeNames[] = {"", "+x (i)", "-x (i-)", "+y (j)", "-y (j-)", "+z (k)", "-z (k-)"};

// After the plug-in: the intensity correction, the maps applied, the report.
int after_calls(Run& run, Host& h) {
    const CorrectOptions& o = run.o;
    const std::string undistorted = h.string_parameter(protocol::kNameUndistortedFile);
    if (run.alignment == Alignment::kAnatomy) {
        // The plug-in carries the shift map through the anatomy internally and
        // hands out none on the EPI's grid: nothing to derive the rest from.
        // The plug-in's own file, in the format its EPI was saved in.
        if (!undistorted.empty() && run.last_saved == run.epi) {
            run.outputs.corrected = run.last_saved_path;
            std::cout << "corrected EPI: " << run.outputs.corrected << "\n";
        }
        std::cout << "note: with --anatomy the series is not intensity-corrected and no report is written: the shift "
                     "map applied on the EPI's grid stays inside the plug-in\n";
        return kExitOk;
    }
    if (!run.shift_map) throw Error("the plug-in saved no shift map; nothing to derive the outputs from");
    Document& epi = h.documents()[static_cast<size_t>(run.epi)];
    if (run.last_saved != run.epi) throw Error("the plug-in's corrected series is not where the EPI was opened");
    const long nx = epi.fmr.ResolutionX, ny = epi.fmr.ResolutionY, nz = epi.fmr.NrOfSlices;
    const std::vector<double> shift = pipeline::volume_values(*run.shift_map);
    if (shift.size() != static_cast<size_t>(nx * ny * nz))
        throw Error("the plug-in's shift map is not on the EPI's grid");

    std::vector<float> mean_after;
    const std::string stem = stem_of(o.epi);
    if (o.no_jacobian) {
        mean_after = pipeline::mean_volume(epi);
    } else {
        std::vector<double> jacobian;
        try {
            jacobian = correction::jacobian_map(shift.data(), nx, ny, nz, run.plan.pe_code);
        } catch (const std::invalid_argument& e) {
            throw Error(e.what());
        }
        mean_after = pipeline::apply_intensity_correction(epi, jacobian);
        std::cout << "intensity correction: the series multiplied by the derivative of the sampling position along "
                     "the phase-encoding axis, clamped to "
                  << shown(correction::kLeastJacobian) << ".." << shown(correction::kMostJacobian) << "\n";
    }

    // The corrected series, by far the largest output, is written and synced
    // under a temporary name while the run is reviewed; it comes into place
    // only when the review lets it (--pe-check strict may refuse it).
    const std::string corrected_fmr = in_output(run, stem + "_corrected.fmr");
    PreparedSave corrected;
    std::string corrected_problem;
    BackgroundTask writer([&] {
        try {
            corrected_problem =
                prepare_document_files(h, epi, corrected_fmr, stc_path_of(corrected_fmr, ""), corrected);
        } catch (const std::exception& e) {
            corrected_problem = e.what();
        }
    });

    pipeline::ReviewInput in;
    in.run = stem;
    in.epi = &epi;
    in.pe_code = run.plan.pe_code;
    in.bandwidth_hz = run.plan.bandwidth_hz;
    in.mean_before = std::move(run.mean_before);
    in.mean_after = std::move(mean_after);
    in.shift = shift;
    in.magnitude = run.magnitude_on_epi;
    in.check_sense = o.pe_check != "off";
    for (const PlannedValue& v : run.plan.values) in.acquisition.push_back({v.name, v.value, v.source});
    in.acquisition.push_back({"phase-encoding code applied",
                              std::to_string(run.plan.pe_code) + " " + kCodeNames[run.plan.pe_code],
                              "the values above"});
    in.acquisition.push_back(
        {"unwrapping", run.plan.source == FieldSource::kDirect ? "none (a direct field map)" : o.method, "--method"});
    in.acquisition.push_back(
        {"intensity correction", o.no_jacobian ? "off" : "on", o.no_jacobian ? "--no-jacobian" : "default"});
    in.warnings = run.warnings;
    const report::RunReport review = pipeline::review_run(in);

    const bool wrong_sense =
        review.pe_checked && review.pe_check.verdict == correction::PeVerdict::kOppositeSenseBetter;
    if (review.pe_checked) {
        const correction::PeCheck& c = review.pe_check;
        std::cout << "phase-encoding check: " << correction::verdict_text(c.verdict)
                  << " (NMI with the magnitude: code " << c.code << " " << shown(c.given) << ", opposite code "
                  << c.opposite_code << " " << shown(c.opposite) << ", uncorrected " << shown(c.uncorrected)
                  << "; margin " << shown(c.margin) << ")\n";
        if (wrong_sense)
            std::cerr << "WARNING: THE PHASE-ENCODING SENSE LOOKS WRONG: the EPI corrected with the opposite code "
                      << c.opposite_code << " matches the field map's magnitude better (NMI " << shown(c.opposite)
                      << ") than with code " << c.code << " (NMI " << shown(c.given) << "), by "
                      << shown(c.opposite - c.given) << " against a margin of " << shown(c.margin)
                      << ". Check PhaseEncodingDirection or --pe-dir.\n";
    }

    const std::string shift_name = stem + "_shiftmap", field_name = stem + "_fieldmap", fold_name = stem + "_foldmask";
    std::vector<double> field(shift.size());
    for (size_t i = 0; i < shift.size(); ++i) field[i] = shift[i] * run.plan.bandwidth_hz;
    run.outputs.field_map = write_result(h, run, pipeline::map_document(epi, field_name + ".fmr", field), field_name);
    run.outputs.shift_map = write_result(h, run, pipeline::map_document(epi, shift_name + ".fmr", shift), shift_name);
    run.outputs.fold_mask =
        write_result(h, run, pipeline::map_document(epi, fold_name + ".fmr", pipeline::folding_map(review)), fold_name);
    run.outputs.report_html = in_output(run, stem + "_report.html");
    run.outputs.report_json = in_output(run, stem + "_report.json");
    try {
        report::write_run_report(review, run.outputs.report_html, run.outputs.report_json);
    } catch (const std::exception& e) {
        throw Error(std::string("cannot write the report: ") + e.what());
    }
    writer.wait();
    if (wrong_sense && o.pe_check == "strict") {
        std::cerr << "error: --pe-check strict: the corrected series is not written; see " << run.outputs.report_html
                  << "\n";
        std::cout << "report: " << run.outputs.report_html << "\n";
        return kExitPluginFailed;
    }
    if (corrected_problem.empty()) corrected_problem = corrected.commit();
    if (!corrected_problem.empty()) throw Error("cannot save \"" + corrected_fmr + "\": " + corrected_problem);
    run.outputs.corrected = epi.nifti_geometry || h.nifti_output ? nifti_path_for(epi, corrected_fmr) : corrected_fmr;
    std::cout << "corrected EPI: " << run.outputs.corrected << "\n"
              << "field map: " << run.outputs.field_map << "\n"
              << "shift map: " << run.outputs.shift_map << "\n"
              << "report: " << run.outputs.report_html << "\n";
    return kExitOk;
}

}  // namespace

int run_correct(const CorrectOptions& o, CorrectionOutputs* outputs) {
    CorrectionPlan plan = plan_correction(o);
    Run run(o, plan);
    run.alignment = decide_alignment(o, plan);
    const int field_images = plan.source == FieldSource::kTwoPhases ? 2 : 1;
    run.magnitude = field_images;
    run.epi = field_images + 1;
    std::string out_dir = o.common.out.empty() ? fs::current_path().string() : o.common.out;
    run.out_dir = fs::absolute(out_dir).lexically_normal().string();
    plan_calls(run, plan.session);
    for (const std::string& p : plan.provenance) std::cout << p << "\n";
    std::cout << "field source: "
              << (plan.source == FieldSource::kDirect      ? "a direct field map (\"" + o.fieldmap + "\")"
                  : plan.source == FieldSource::kTwoPhases ? "two phase images"
                                                           : "a phase difference (\"" + o.phase + "\")")
              << "; unwrapping: " << (plan.source == FieldSource::kDirect ? std::string("none") : o.method) << "\n";
    std::cout.flush();

    SessionHooks hooks;
    hooks.before_calls = [&](Host& h) { before_calls(run, h); };
    hooks.between_calls = [&](Host& h, size_t i) { between_calls(run, h, i); };
    hooks.on_saved = [&](const Document& doc, const SaveRecord& rec) {
        run.last_saved = static_cast<int>(&doc - instance().documents().data());
        run.last_saved_path = rec.path;
        if (doc.fmr.NrOfVolumes != 1) return;
        run.last_map = doc;
        const std::string name = fs::path(rec.requested).filename().string();  // the plug-in's name, in any format
        if (name.find("_pixshift.") != std::string::npos) run.shift_map = doc;
    };
    // What fails after the plug-in succeeded (a full disk, a map it did not
    // save) fails the run, as a failed save of the plug-in's does.
    // The plug-in's corrected series is delivered once, as NAME_corrected
    // (intensity-corrected unless --no-jacobian), from the EPI's document it
    // was saved from; through the anatomy the plug-in's own file is the result.
    if (run.alignment != Alignment::kAnatomy)
        hooks.hold_save = [&](const Document& doc, const SaveRecord&) {
            return &doc == &instance().documents()[static_cast<size_t>(run.epi)];
        };
    hooks.after_calls = [&](Host& h) {
        try {
            return after_calls(run, h);
        } catch (const Error& e) {
            std::cerr << "failed: " << e.what() << "\n";
            return kExitPluginFailed;
        }
    };
    const int status = execute_session(
        plan.session, o.common, o.rescale_magnitude ? std::vector<int>{run.magnitude} : std::vector<int>{}, hooks);
    if (outputs) *outputs = run.outputs;
    return status;
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<CorrectOptions>();
    CorrectOptions& cor = *o;
    cmd.add_option("--phase", cor.phase, "Wrapped phase-difference image (FMR or NIfTI)")->check(CLI::ExistingFile);
    cmd.add_option("--phase1", cor.phase1, "First of two phase images (NIfTI, EchoTime in its sidecar)")
        ->check(CLI::ExistingFile);
    cmd.add_option("--phase2", cor.phase2, "Second of two phase images (NIfTI, EchoTime in its sidecar)")
        ->check(CLI::ExistingFile);
    cmd.add_option("--fieldmap", cor.fieldmap, "Field map in Hz or rad/s (\"Units\" in its sidecar)")
        ->check(CLI::ExistingFile);
    cmd.add_option("--fieldmap-units", cor.fieldmap_units, "Unit of --fieldmap when its sidecar gives none")
        ->check(CLI::IsMember({"Hz", "rad/s"}));
    cmd.add_option("--magnitude", cor.magnitude, "Magnitude image on the field map's grid")
        ->required()
        ->check(CLI::ExistingFile);
    cmd.add_option("--epi", cor.epi, "EPI series to correct")->required()->check(CLI::ExistingFile);
    cmd.add_option("--anatomy", cor.anatomy,
                   "Anatomical volume (VMR or NIfTI): carry the shift map into the EPI's grid through it, for files "
                   "without usable positions")
        ->check(CLI::ExistingFile);
    cmd.add_option("--echo-time-diff", cor.echo_time_diff_ms, "Echo-time difference of the field map, ms")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--bandwidth", cor.bandwidth_hz, "Bandwidth per voxel along the phase-encoding axis, Hz")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--pe-dir", cor.pe_dir, "Phase-encoding direction: 1..6 or i, i-, j, j-, k, k-");
    cmd.add_option("--method", cor.method,
                   "Unwrapping: quality (quality-guided region growing, robust to a noisy background), multigrid "
                   "or relax (the plug-in's own)")
        ->check(CLI::IsMember({"quality", "multigrid", "relax"}))
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
    cmd.add_flag("--rescale-magnitude", cor.rescale_magnitude,
                 "Rescale the magnitude to 0..4095 on opening (done anyway when its scale makes the mask's "
                 "threshold of 200 meaningless)");
    cmd.add_flag("--no-jacobian", cor.no_jacobian,
                 "Deliver the plug-in's pixel-shift result without the intensity (Jacobian) correction");
    cmd.add_option("--pe-check", cor.pe_check,
                   "Check the phase-encoding sense against the field map's magnitude: warn, strict (refuse a run "
                   "whose opposite sense fits clearly better, exit 1) or off")
        ->check(CLI::IsMember({"warn", "strict", "off"}))
        ->capture_default_str();
    add_common_options(cmd, cor.common);
    return [o] { return run_correct(*o); };
}
}  // namespace

extern const Subcommand subcommand_correct = {
    "correct",
    "Correct an EPI series with a field map: a phase difference (--phase), two phase images (--phase1, "
    "--phase2) or a field map in Hz (--fieldmap), each with its --magnitude. Unwrap (quality-guided by "
    "default), B0 map, shift map, undistortion, then the intensity correction; a field map on another grid "
    "than the EPI is carried onto it through the scanner frame. Writes NAME_corrected, NAME_fieldmap (Hz), "
    "NAME_shiftmap (voxels) and NAME_foldmask on the EPI's grid, and NAME_report.html/.json with the "
    "phase-encoding sense check. Values not given are taken from BIDS JSON sidecars beside NIfTI "
    "inputs (EchoTime1/EchoTime2 of a phase difference, EchoTime of each phase image, Units of a field map; "
    "EffectiveEchoSpacing or TotalReadoutTime and PhaseEncodingDirection of the EPI).\n"
    "Phase-encoding direction codes (--pe-dir): 1 = +x (i), 2 = -x (i-), 3 = +y (j), 4 = -y (j-), "
    "5 = +z (k), 6 = -z (k-), along the image's own voxel axes (column, row, slice index). "
    "Sign convention: with code 3 (\"j\") the distorted image shows the content of voxel y at y + shift, "
    "where shift = field (Hz) / bandwidth per voxel (Hz); the correction therefore samples the distorted "
    "image at y + shift. Codes 2, 4, 6 (i-, j-, k-) sample at position - shift. A shift toward higher "
    "indices for a positive field is what BIDS PhaseEncodingDirection \"j\" means.",
    declare};

}  // namespace host
}  // namespace warpmender
