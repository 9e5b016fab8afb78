// The per-run report: statistics, warnings, JSON and the self-contained HTML page.
#include "report/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "report/atomic_write.h"
#include "report/html_text.h"

namespace warpmender {
namespace report {
namespace {

using Json = nlohmann::ordered_json;

const char* kCodeNames[] = {"", "+x", "-x", "+y", "-y", "+z", "-z"};

std::string code_text(int code) {
    return code >= 1 && code <= 6 ? std::to_string(code) + " (" + kCodeNames[code] + ")" : std::to_string(code);
}

bool in_brain(const std::vector<std::uint8_t>& brain, std::size_t i) { return brain.empty() || brain[i] != 0; }

std::vector<double> finite_in_brain(const Volume& v, const std::vector<std::uint8_t>& brain) {
    std::vector<double> out;
    for (std::size_t i = 0; i < v.values.size(); ++i)
        if (in_brain(brain, i) && std::isfinite(v.values[i])) out.push_back(v.values[i]);
    return out;
}

std::string fixed(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

// A short number for a label: 0.5, 2, 10, 250.
std::string short_number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

void check_volume(const Volume& v, const Volume& epi, const char* what) {
    if (v.nx < 1 || v.ny < 1 || v.nz < 1)
        throw std::invalid_argument(std::string("report: the ") + what + " has " + std::to_string(v.nx) + " x " +
                                    std::to_string(v.ny) + " x " + std::to_string(v.nz) + " voxels");
    if (!(v.dx > 0.0 && v.dy > 0.0 && v.dz > 0.0 && std::isfinite(v.dx) && std::isfinite(v.dy) && std::isfinite(v.dz)))
        throw std::invalid_argument(std::string("report: the ") + what + "'s voxel sizes must be positive");
    if (v.nx != epi.nx || v.ny != epi.ny || v.nz != epi.nz)
        throw std::invalid_argument(std::string("report: the ") + what + " (" + std::to_string(v.nx) + " x " +
                                    std::to_string(v.ny) + " x " + std::to_string(v.nz) +
                                    ") is not on the EPI's grid (" + std::to_string(epi.nx) + " x " +
                                    std::to_string(epi.ny) + " x " + std::to_string(epi.nz) + ")");
    if (v.values.size() != v.voxels())
        throw std::invalid_argument(std::string("report: the ") + what + " holds " + std::to_string(v.values.size()) +
                                    " values for " + std::to_string(v.voxels()) + " voxels");
}

Json pe_json(const RunReport& run) {
    Json j;
    j["checked"] = run.pe_checked;
    if (!run.pe_checked) return j;
    const correction::PeCheck& c = run.pe_check;
    j["measure"] = "normalised mutual information";
    j["bins"] = correction::kNmiBins;
    j["given_code"] = c.code;
    j["opposite_code"] = c.opposite_code;
    j["given"] = c.given;
    j["opposite"] = c.opposite;
    j["uncorrected"] = c.uncorrected;
    j["margin"] = c.margin;
    j["difference"] = c.opposite - c.given;
    j["verdict"] = correction::verdict_text(c.verdict);
    j["mask_voxels"] = c.mask_voxels;
    return j;
}

}  // namespace

double percentile(std::vector<double>& values, double q) {
    if (values.empty()) return 0.0;
    const double rank = std::clamp(q, 0.0, 100.0) / 100.0 * static_cast<double>(values.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(rank);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    const double w = rank - static_cast<double>(lo);
    // The two order statistics alone, in linear time: a head's worth of voxels
    // was sorted whole for every percentile of the report.
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(lo);
    std::nth_element(values.begin(), at, values.end());
    const double below = *at, above = hi == lo ? below : *std::min_element(at + 1, values.end());
    return below + (above - below) * w;
}

ShiftStatistics shift_statistics(const Volume& shift, const std::vector<std::uint8_t>& brain) {
    ShiftStatistics s;
    std::vector<double> v = finite_in_brain(shift, brain);
    s.voxels = v.size();
    std::vector<double> a(v.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        a[i] = std::fabs(v[i]);
        s.max_abs = std::max(s.max_abs, a[i]);
        sum += v[i];
    }
    s.mean = v.empty() ? 0.0 : sum / static_cast<double>(v.size());
    for (double q : kShiftPercentiles) s.percentiles.push_back(percentile(v, q));
    s.abs_p99 = percentile(a, 99.0);
    const double limit = std::max(1.0, std::ceil(s.max_abs));
    const int bins = kShiftHistogramBins;
    for (int b = 0; b <= bins; ++b) s.edges.push_back(-limit + 2.0 * limit * b / bins);
    s.counts.assign(bins, 0);
    for (double x : v) {
        const int b = static_cast<int>(std::floor((x + limit) / (2.0 * limit) * bins));
        ++s.counts[static_cast<std::size_t>(std::clamp(b, 0, bins - 1))];
    }
    return s;
}

std::vector<std::string> all_warnings(const RunReport& run) {
    std::vector<std::string> w = run.warnings;
    if (!run.pe_checked) return w;
    const correction::PeCheck& c = run.pe_check;
    const std::string scores = "normalised mutual information with the field map's magnitude: given sense " +
                               code_text(c.code) + " " + fixed(c.given, 4) + ", opposite sense " +
                               code_text(c.opposite_code) + " " + fixed(c.opposite, 4) + ", uncorrected " +
                               fixed(c.uncorrected, 4) + "; margin " + fixed(c.margin, 3);
    if (c.verdict == correction::PeVerdict::kOppositeSenseBetter)
        w.push_back("PHASE-ENCODING SENSE LOOKS WRONG: the EPI corrected with the opposite sense matches the field "
                    "map's magnitude clearly better than with the sense the metadata give, so this correction most "
                    "likely doubled the distortion instead of removing it. Check the phase-encoding direction (" +
                    scores + ").");
    else if (c.verdict == correction::PeVerdict::kUndecided)
        w.push_back("The phase-encoding sense could not be confirmed from the data: both senses score within the "
                    "margin (" +
                    scores + ").");
    return w;
}

RunSummary summarise(const RunReport& run) {
    RunSummary s;
    s.run = run.run;
    s.pe_checked = run.pe_checked;
    if (run.pe_checked) {
        s.pe_given = run.pe_check.given;
        s.pe_opposite = run.pe_check.opposite;
        s.pe_uncorrected = run.pe_check.uncorrected;
        s.pe_verdict = correction::verdict_text(run.pe_check.verdict);
        s.pe_failed = run.pe_check.verdict == correction::PeVerdict::kOppositeSenseBetter;
    } else {
        s.pe_verdict = "not checked";
    }
    s.shift_abs_p99 = shift_statistics(run.shift_voxels, run.brain).abs_p99;
    s.folded_percent = run.folding.folded_percent;
    s.warnings = all_warnings(run);
    return s;
}

void check_run(const RunReport& run) {
    if (run.pe_code < 1 || run.pe_code > 6)
        throw std::invalid_argument("report: phase-encoding code " + std::to_string(run.pe_code) +
                                    " is not one of 1..6");
    const Volume& e = run.epi_before;
    check_volume(e, e, "mean EPI before correction");
    check_volume(run.epi_after, e, "mean EPI after correction");
    check_volume(run.magnitude, e, "field map's magnitude");
    check_volume(run.field_hz, e, "field map");
    check_volume(run.shift_voxels, e, "shift map");
    if (!run.brain.empty() && run.brain.size() != e.voxels())
        throw std::invalid_argument("report: the brain mask holds " + std::to_string(run.brain.size()) +
                                    " values for " + std::to_string(e.voxels()) + " voxels");
    if (!run.folding.mask.empty() && run.folding.mask.size() != e.voxels())
        throw std::invalid_argument("report: the folding mask holds " + std::to_string(run.folding.mask.size()) +
                                    " values for " + std::to_string(e.voxels()) + " voxels");
}

std::string run_json(const RunReport& run) {
    check_run(run);
    const ShiftStatistics st = shift_statistics(run.shift_voxels, run.brain);
    Json j;
    j["run"] = run.run;
    j["pe_code"] = run.pe_code;
    j["grid"] = {{"size", {run.epi_before.nx, run.epi_before.ny, run.epi_before.nz}},
                 {"voxel_mm", {run.epi_before.dx, run.epi_before.dy, run.epi_before.dz}}};
    j["pe_check"] = pe_json(run);
    Json shift;
    shift["units"] = "voxels";
    shift["brain_voxels"] = st.voxels;
    Json pct;
    for (std::size_t i = 0; i < st.percentiles.size(); ++i)
        pct["p" + short_number(kShiftPercentiles[i])] = st.percentiles[i];
    shift["percentiles"] = pct;
    shift["abs_p99"] = st.abs_p99;
    shift["max_abs"] = st.max_abs;
    shift["mean"] = st.mean;
    shift["histogram"] = {{"edges", st.edges}, {"counts", st.counts}};
    j["shift"] = shift;
    std::vector<double> field = finite_in_brain(run.field_hz, run.brain);
    j["field_hz"] = {{"units", "Hz"},
                     {"p1", percentile(field, 1.0)},
                     {"p50", percentile(field, 50.0)},
                     {"p99", percentile(field, 99.0)}};
    const correction::Folding& f = run.folding;
    j["folding"] = {{"pile_up_factor", f.pile_up_factor},
                    {"brain_voxels", f.brain_voxels},
                    {"folded", f.folded},
                    {"piled_up", f.piled_up},
                    {"folded_percent", f.folded_percent},
                    {"piled_up_percent", f.piled_up_percent}};
    Json acq = Json::array();
    for (const AcquisitionValue& a : run.acquisition)
        acq.push_back({{"name", a.name}, {"value", a.value}, {"source", a.source}});
    j["acquisition"] = acq;
    j["warnings"] = all_warnings(run);
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void write_run_report(const RunReport& run, const std::string& html_path, const std::string& json_path) {
    const std::string json = run_json(run);
    const std::string html = run_html(run);
    write_file_atomically(json_path, json);
    write_file_atomically(html_path, html);
}

}  // namespace report
}  // namespace warpmender
