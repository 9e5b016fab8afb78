// Building, printing and serialising the plan of a dataset's correction.
#include "bids/plan.h"

#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>

#include "bids/error.h"
#include "bids/inheritance.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {

namespace {

class Reading {
public:
    Reading(SidecarReader& reader, const std::string& root) : reader_(reader), root_(root) {}

    std::string relative(const std::string& p) const { return fs::path(p).lexically_relative(root_).generic_string(); }

    std::string searched(const std::string& image) {
        const Metadata& m = reader_.metadata(image);
        if (m.files.empty()) return "\"" + relative(image) + "\" has no sidecar";
        std::string list;
        for (const std::string& f : m.files) list += (list.empty() ? "" : ", ") + ("\"" + relative(f) + "\"");
        return "searched " + list;
    }

    std::optional<SourcedNumber> seconds(const std::string& image, const std::string& key) {
        const Metadata& m = reader_.metadata(image);
        const nlohmann::json* v = m.find(key);
        if (!v) return std::nullopt;
        const std::string source = relative(m.source_of(key));
        if (!v->is_number()) throw Error("sidecar \"" + source + "\": \"" + key + "\" must be a number of seconds");
        const double s = v->get<double>();
        if (!std::isfinite(s) || s <= 0.0 || s >= 1.0) {
            std::ostringstream text;
            text << "sidecar \"" << source << "\": \"" << key << "\" is " << s
                 << ", not a time in seconds between 0 and 1 (BIDS stores seconds)";
            throw Error(text.str());
        }
        return SourcedNumber{key, s, source};
    }

    SourcedNumber required_seconds(const std::string& image, const std::string& key) {
        if (auto v = seconds(image, key)) return *v;
        throw Error("\"" + key + "\" of \"" + relative(image) + "\" is in no sidecar (" + searched(image) + ")");
    }

    std::optional<SourcedText> text(const std::string& image, const std::string& key) {
        const Metadata& m = reader_.metadata(image);
        const nlohmann::json* v = m.find(key);
        if (!v) return std::nullopt;
        const std::string source = relative(m.source_of(key));
        if (!v->is_string()) throw Error("sidecar \"" + source + "\": \"" + key + "\" must be a string");
        return SourcedText{key, v->get<std::string>(), source};
    }

    void add_inputs(const std::string& image, std::vector<std::string>& inputs) {
        inputs.push_back(image);
        for (const std::string& f : reader_.metadata(image).files) inputs.push_back(f);
    }

private:
    SidecarReader& reader_;
    std::string root_;
};

SeriesPlan plan_series(const Discovery& d, const Selected& sel, const std::string& output_dir, Reading& r) {
    SeriesPlan p;
    p.series = sel.series;
    p.fieldmap = d.fieldmaps[sel.fieldmap];
    p.matched_by = sel.matched_by;
    const FieldMap& fm = p.fieldmap;
    switch (fm.layout) {
        case FieldMapLayout::kPhaseDifference:
            p.echo_time1 = r.required_seconds(fm.phasediff, "EchoTime1");
            p.echo_time2 = r.required_seconds(fm.phasediff, "EchoTime2");
            break;
        case FieldMapLayout::kTwoPhases:
            p.echo_time1 = r.required_seconds(fm.phase1, "EchoTime");
            p.echo_time2 = r.required_seconds(fm.phase2, "EchoTime");
            break;
        case FieldMapLayout::kDirect: {
            p.units = r.text(fm.fieldmap, "Units");
            if (!p.units)
                throw Error("\"Units\" of the field map \"" + fm.name + "\" is in no sidecar (" +
                            r.searched(fm.fieldmap) + "); a field map in an unknown unit cannot be used");
            if (p.units->value != "Hz" && p.units->value != "rad/s")
                throw Error("sidecar \"" + p.units->source + "\": \"Units\" is \"" + p.units->value +
                            "\"; a field map must be in \"Hz\" or \"rad/s\"");
            break;
        }
    }
    if (p.echo_time1 && p.echo_time2 && !(p.echo_time2->value > p.echo_time1->value))
        throw Error("the echo times of \"" + fm.name + "\" do not increase: " + p.echo_time1->key + " " +
                    std::to_string(p.echo_time1->value) + " s (\"" + p.echo_time1->source + "\"), " +
                    p.echo_time2->key + " " + std::to_string(p.echo_time2->value) + " s (\"" + p.echo_time2->source +
                    "\")");

    const std::string& s = p.series.path;
    p.effective_echo_spacing = r.seconds(s, "EffectiveEchoSpacing");
    p.total_readout_time = r.seconds(s, "TotalReadoutTime");
    if (!p.effective_echo_spacing && !p.total_readout_time)
        throw Error("neither \"EffectiveEchoSpacing\" nor \"TotalReadoutTime\" of \"" + p.series.relative +
                    "\" is in a sidecar (" + r.searched(s) + ")");
    const auto pe = r.text(s, "PhaseEncodingDirection");
    if (!pe)
        throw Error("\"PhaseEncodingDirection\" of \"" + p.series.relative + "\" is in no sidecar (" + r.searched(s) +
                    ")");
    static const std::set<std::string> kDirections = {"i", "i-", "j", "j-", "k", "k-"};
    if (!kDirections.count(pe->value))
        throw Error("sidecar \"" + pe->source + "\": \"PhaseEncodingDirection\" is \"" + pe->value +
                    "\"; expected one of i, i-, j, j-, k, k-");
    p.phase_encoding_direction = *pe;

    p.outputs = derivative_paths(output_dir, p.series.name, p.series.datatype);
    p.memory = estimate_memory(read_image_header(s), read_image_header(fm.images().front()));

    std::vector<std::string> inputs;
    r.add_inputs(s, inputs);
    for (const std::string& image : fm.images()) r.add_inputs(image, inputs);
    std::set<std::string> seen;
    for (const std::string& in : inputs)
        if (seen.insert(in).second) p.inputs.push_back(in);
    return p;
}

std::string number(double v) {
    std::ostringstream o;
    o.precision(6);
    o << v;
    return o.str();
}

nlohmann::json sourced(const SourcedNumber& v) { return {{"value", v.value}, {"key", v.key}, {"source", v.source}}; }
nlohmann::json sourced(const SourcedText& v) { return {{"value", v.value}, {"key", v.key}, {"source", v.source}}; }

}  // namespace

Plan make_plan(const Discovery& discovery, const std::string& output_dir) {
    if (output_dir.empty()) throw Error("OUTPUT_DIR is empty");
    Plan plan;
    plan.bids_dir = discovery.bids_dir;
    plan.output_dir = fs::absolute(fs::path(output_dir)).lexically_normal().string();
    while (plan.output_dir.size() > 1 && plan.output_dir.back() == '/') plan.output_dir.pop_back();
    plan.skipped = discovery.skipped;
    plan.failed = discovery.failed;
    plan.notes = discovery.notes;
    SidecarReader reader(discovery.bids_dir);
    Reading r(reader, discovery.bids_dir);
    for (const Selected& sel : discovery.selected) {
        try {
            plan.series.push_back(plan_series(discovery, sel, plan.output_dir, r));
        } catch (const Error& e) {
            plan.failed.push_back({sel.series, e.what()});
        }
    }
    return plan;
}

std::string plan_text(const Plan& plan) {
    std::ostringstream o;
    const auto out_rel = [&](const std::string& p) {
        return fs::path(p).lexically_relative(plan.output_dir).generic_string();
    };
    const auto in_rel = [&](const std::string& p) {
        return fs::path(p).lexically_relative(plan.bids_dir).generic_string();
    };
    o << "BIDS dataset  " << plan.bids_dir << "\n"
      << "derivatives   " << plan.output_dir << "\n"
      << plan.series.size() << " to correct, " << plan.skipped.size() << " skipped, " << plan.failed.size()
      << " failed\n";
    for (const SeriesPlan& p : plan.series) {
        const FieldMap& fm = p.fieldmap;
        o << "\n" << p.series.relative << "\n";
        o << "  field map   " << layout_name(fm.layout) << ": ";
        std::string images;
        for (const std::string& i : fm.images()) images += (images.empty() ? "" : ", ") + in_rel(i);
        o << images << "\n";
        o << "  matched by  " << p.matched_by << "\n";
        const auto line = [&](const std::string& key, const std::string& value, const std::string& source) {
            std::string k = key;
            if (k.size() < 24) k.resize(24, ' ');
            o << "  " << k << value << "  (" << source << ")\n";
        };
        const bool two = fm.layout == FieldMapLayout::kTwoPhases;
        if (p.echo_time1)
            line(two ? "EchoTime (phase1)" : p.echo_time1->key, number(p.echo_time1->value) + " s",
                 p.echo_time1->source);
        if (p.echo_time2)
            line(two ? "EchoTime (phase2)" : p.echo_time2->key, number(p.echo_time2->value) + " s",
                 p.echo_time2->source);
        if (p.units) line("Units", p.units->value, p.units->source);
        if (p.effective_echo_spacing)
            line("EffectiveEchoSpacing", number(p.effective_echo_spacing->value) + " s",
                 p.effective_echo_spacing->source);
        if (p.total_readout_time)
            line("TotalReadoutTime", number(p.total_readout_time->value) + " s", p.total_readout_time->source);
        line("PhaseEncodingDirection", p.phase_encoding_direction.value, p.phase_encoding_direction.source);
        o << "  outputs     " << out_rel(p.outputs.corrected) << "\n"
          << "              " << out_rel(p.outputs.fieldmap) << "\n"
          << "              " << out_rel(p.outputs.shift_map) << "  (and a .json beside each)\n";
        const MemoryEstimate& m = p.memory;
        o << "  memory      " << m.mebibytes() << " MiB  (series " << m.series.nx << "x" << m.series.ny << "x"
          << m.series.nz << "x" << m.series.nt << " at " << m.series.bytes_per_voxel << " B, field map "
          << m.fieldmap.nx << "x" << m.fieldmap.ny << "x" << m.fieldmap.nz << "; " << memory_formula() << ")\n";
    }
    if (!plan.skipped.empty()) {
        o << "\nskipped\n";
        for (const Excluded& e : plan.skipped) o << "  " << e.series.relative << ": " << e.reason << "\n";
    }
    if (!plan.failed.empty()) {
        o << "\nfailed\n";
        for (const Excluded& e : plan.failed) o << "  " << e.series.relative << ": " << e.reason << "\n";
    }
    if (!plan.notes.empty()) {
        o << "\nnotes\n";
        for (const std::string& n : plan.notes) o << "  " << n << "\n";
    }
    return o.str();
}

nlohmann::json plan_json(const Plan& plan) {
    nlohmann::json j;
    j["bids_dir"] = plan.bids_dir;
    j["output_dir"] = plan.output_dir;
    j["memory_formula"] = memory_formula();
    j["series"] = nlohmann::json::array();
    for (const SeriesPlan& p : plan.series) {
        const FieldMap& fm = p.fieldmap;
        nlohmann::json images = nlohmann::json::object();
        const std::pair<const char*, const std::string*> members[] = {
            {"phasediff", &fm.phasediff}, {"phase1", &fm.phase1},         {"phase2", &fm.phase2},
            {"fieldmap", &fm.fieldmap},   {"magnitude1", &fm.magnitude1}, {"magnitude2", &fm.magnitude2},
            {"magnitude", &fm.magnitude}};
        for (const auto& [key, path] : members)
            if (!path->empty()) images[key] = *path;
        nlohmann::json values = nlohmann::json::object();
        // The first and second echo under one name whatever the layout; "key" says what the sidecar called it.
        if (p.echo_time1) values["EchoTime1"] = sourced(*p.echo_time1);
        if (p.echo_time2) values["EchoTime2"] = sourced(*p.echo_time2);
        if (p.units) values["Units"] = sourced(*p.units);
        if (p.effective_echo_spacing) values["EffectiveEchoSpacing"] = sourced(*p.effective_echo_spacing);
        if (p.total_readout_time) values["TotalReadoutTime"] = sourced(*p.total_readout_time);
        values["PhaseEncodingDirection"] = sourced(p.phase_encoding_direction);
        j["series"].push_back({
            {"run", p.outputs.run},
            {"series", p.series.path},
            {"datatype", p.series.datatype},
            {"subject", p.series.subject},
            {"session", p.series.session},
            {"fieldmap", {{"layout", layout_name(fm.layout)}, {"matched_by", p.matched_by}, {"images", images}}},
            {"values", values},
            {"outputs",
             {{"folder", p.outputs.folder},
              {"corrected", p.outputs.corrected},
              {"corrected_sidecar", p.outputs.corrected_sidecar},
              {"fieldmap", p.outputs.fieldmap},
              {"fieldmap_sidecar", p.outputs.fieldmap_sidecar},
              {"shift_map", p.outputs.shift_map},
              {"shift_map_sidecar", p.outputs.shift_map_sidecar},
              {"report_html", p.outputs.report_html},
              {"report_json", p.outputs.report_json}}},
            {"inputs", p.inputs},
            {"memory", {{"bytes", p.memory.bytes}, {"mb", p.memory.mebibytes()}}},
        });
    }
    const auto excluded = [](const std::vector<Excluded>& list) {
        nlohmann::json a = nlohmann::json::array();
        for (const Excluded& e : list) a.push_back({{"series", e.series.path}, {"reason", e.reason}});
        return a;
    };
    j["skipped"] = excluded(plan.skipped);
    j["failed"] = excluded(plan.failed);
    j["notes"] = plan.notes;
    return j;
}

}  // namespace bids
}  // namespace warpmender
