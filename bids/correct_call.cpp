// The arguments of one correction and the files its answer names.
#include "bids/correct_call.h"

#include <sstream>

#include "bids/error.h"

namespace warpmender {
namespace bids {

namespace {

// The shortest decimal that reads back to the same double.
std::string number(double v) { return nlohmann::json(v).dump(); }

void add(std::vector<std::string>& args, const char* option, const std::string& value) {
    args.emplace_back(option);
    args.push_back(value);
}

}  // namespace

CorrectCall correct_call(const SeriesPlan& plan, const std::string& out_dir, const CorrectSettings& settings) {
    const FieldMap& fm = plan.fieldmap;
    const std::string& series = plan.series.relative;
    CorrectCall call;
    std::vector<std::string>& a = call.arguments;
    a.emplace_back("correct");
    add(a, "--epi", plan.series.path);
    const bool direct = fm.layout == FieldMapLayout::kDirect;
    add(a, "--magnitude", direct ? fm.magnitude : fm.magnitude1);
    switch (fm.layout) {
        case FieldMapLayout::kPhaseDifference: add(a, "--phase", fm.phasediff); break;
        case FieldMapLayout::kTwoPhases:
            add(a, "--phase1", fm.phase1);
            add(a, "--phase2", fm.phase2);
            break;
        case FieldMapLayout::kDirect:
            if (!plan.units) throw Error("\"" + series + "\": the plan has no Units of its field map");
            add(a, "--fieldmap", fm.fieldmap);
            add(a, "--fieldmap-units", plan.units->value);
            call.applied["FieldMapUnits"] = {{"Value", plan.units->value}, {"DerivedFrom", plan.units->key}};
            break;
    }
    if (!direct) {
        if (!plan.echo_time1 || !plan.echo_time2)
            throw Error("\"" + series + "\": the plan has no echo times of its field map");
        const double ms = (plan.echo_time2->value - plan.echo_time1->value) * 1000.0;
        add(a, "--echo-time-diff", number(ms));
        call.applied["EchoTimeDifference"] = {
            {"Value", ms},
            {"Units", "ms"},
            {"DerivedFrom", plan.echo_time2->key + " - " + plan.echo_time1->key}};
    }

    const std::string& dir = plan.phase_encoding_direction.value;
    const ImageHeader& h = plan.memory.series;
    const char axis = dir.empty() ? '?' : dir[0];
    const std::int64_t n = axis == 'i' ? h.nx : axis == 'j' ? h.ny : axis == 'k' ? h.nz : 0;
    if (n < 1) throw Error("\"" + series + "\": the phase-encoding direction \"" + dir + "\" names no axis");
    double spacing = 0.0;
    std::ostringstream from;
    if (plan.effective_echo_spacing) {
        spacing = plan.effective_echo_spacing->value;
        from << "1 / (" << plan.effective_echo_spacing->key << " x " << n << ")";
    } else if (plan.total_readout_time && n >= 2) {
        spacing = plan.total_readout_time->value / static_cast<double>(n - 1);
        from << "1 / (" << plan.total_readout_time->key << " / (" << n << " - 1) x " << n << ")";
    } else {
        throw Error("\"" + series + "\": the plan has no echo spacing for " + std::to_string(n) +
                    " voxels along the phase-encoding axis");
    }
    const double bandwidth = 1.0 / (spacing * static_cast<double>(n));
    add(a, "--bandwidth", number(bandwidth));
    call.applied["BandwidthPerVoxel"] = {{"Value", bandwidth}, {"Units", "Hz"}, {"DerivedFrom", from.str()}};
    add(a, "--pe-dir", dir);
    call.applied["PhaseEncodingDirection"] = {{"Value", dir},
                                              {"DerivedFrom", plan.phase_encoding_direction.key}};
    if (!direct && !settings.method.empty()) add(a, "--method", settings.method);
    if (!settings.jacobian) a.emplace_back("--no-jacobian");
    add(a, "--out", out_dir);
    return call;
}

CorrectOutputs parse_correct_output(const std::string& standard_output) {
    CorrectOutputs out;
    const std::pair<const char*, std::string*> keys[] = {{"corrected EPI: ", &out.corrected},
                                                         {"field map: ", &out.fieldmap},
                                                         {"shift map: ", &out.shift_map},
                                                         {"report: ", &out.report_html}};
    std::istringstream in(standard_output);
    std::string line;
    while (std::getline(in, line)) {
        for (const auto& [prefix, target] : keys) {
            const std::string p = prefix;
            if (line.size() > p.size() && line.compare(0, p.size(), p) == 0) *target = line.substr(p.size());
        }
    }
    const std::string html = ".html";
    if (out.report_html.size() > html.size() &&
        out.report_html.compare(out.report_html.size() - html.size(), html.size(), html) == 0)
        out.report_json = out.report_html.substr(0, out.report_html.size() - html.size()) + ".json";
    return out;
}

}  // namespace bids
}  // namespace warpmender
