// dataset_description.json and the index page of the derivatives.
#include "bids/dataset_files.h"

#include <algorithm>
#include <filesystem>

#include "bids/dataset_description.h"
#include "bids/error.h"
#include "bids/json_file.h"
#include "report/atomic_write.h"
#include "report/index_page.h"

namespace warpmender {
namespace bids {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const json& field(const json& j, const char* key, const std::string& source) {
    const auto it = j.find(key);
    if (it == j.end()) throw Error("the report \"" + source + "\" has no \"" + key + "\"");
    return *it;
}

double number(const json& j, const char* key, const std::string& source) {
    const json& v = field(j, key, source);
    if (!v.is_number()) throw Error("the report \"" + source + "\": \"" + key + "\" is not a number");
    return v.get<double>();
}

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

void figures_in(const fs::path& folder, std::vector<std::string>& out) {
    std::error_code ec;
    const fs::path figures = folder / "figures";
    if (!fs::is_directory(figures, ec)) return;
    for (const auto& e : fs::directory_iterator(figures, ec)) {
        const std::string name = e.path().filename().string();
        const std::string end = "_report.json";
        if (name[0] != '.' && name.size() > end.size() &&
            name.compare(name.size() - end.size(), end.size(), end) == 0 && e.is_regular_file(ec))
            out.push_back(e.path().string());
    }
}

}  // namespace

report::RunSummary run_summary(const json& report_json, const std::string& source) {
    report::RunSummary s;
    const json& run = field(report_json, "run", source);
    if (!run.is_string()) throw Error("the report \"" + source + "\": \"run\" is not a string");
    s.run = run.get<std::string>();
    const json& pe = field(report_json, "pe_check", source);
    const json& checked = field(pe, "checked", source);
    if (!checked.is_boolean()) throw Error("the report \"" + source + "\": \"checked\" is not true or false");
    s.pe_checked = checked.get<bool>();
    if (s.pe_checked) {
        s.pe_given = number(pe, "given", source);
        s.pe_opposite = number(pe, "opposite", source);
        s.pe_uncorrected = number(pe, "uncorrected", source);
        const json& verdict = field(pe, "verdict", source);
        if (!verdict.is_string()) throw Error("the report \"" + source + "\": \"verdict\" is not a string");
        s.pe_verdict = verdict.get<std::string>();
        s.pe_failed = s.pe_verdict == "opposite sense clearly better";
    } else {
        s.pe_verdict = "not checked";
    }
    s.shift_abs_p99 = number(field(report_json, "shift", source), "abs_p99", source);
    s.folded_percent = number(field(report_json, "folding", source), "folded_percent", source);
    const json& warnings = field(report_json, "warnings", source);
    if (!warnings.is_array()) throw Error("the report \"" + source + "\": \"warnings\" is not a list");
    for (const json& w : warnings) {
        if (!w.is_string()) throw Error("the report \"" + source + "\": a warning is not a string");
        s.warnings.push_back(w.get<std::string>());
    }
    return s;
}

std::vector<std::string> find_run_reports(const std::string& output_dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& sub : fs::directory_iterator(output_dir, ec)) {
        const std::string name = sub.path().filename().string();
        if (!starts_with(name, "sub-") || !sub.is_directory(ec)) continue;
        figures_in(sub.path(), out);
        for (const auto& ses : fs::directory_iterator(sub.path(), ec))
            if (starts_with(ses.path().filename().string(), "ses-") && ses.is_directory(ec))
                figures_in(ses.path(), out);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string index_path(const std::string& output_dir) { return (fs::path(output_dir) / "index.html").string(); }

void write_dataset_files(const std::string& bids_dir, const std::string& output_dir, const std::string& version) {
    json description = derivative_description(bids_dir, version);
    description["DatasetLinks"] = {{"raw", "file://" + fs::absolute(bids_dir).lexically_normal().string()}};
    std::string title = "warpmender";
    if (description.contains("Name") && description["Name"].is_string()) title = description["Name"].get<std::string>();

    std::vector<report::IndexEntry> entries;
    for (const std::string& path : find_run_reports(output_dir)) {
        report::IndexEntry e;
        e.summary = run_summary(read_json_object(path), path);
        std::string html = path.substr(0, path.size() - 5) + ".html";
        e.href = fs::path(html).lexically_relative(output_dir).generic_string();
        entries.push_back(e);
    }
    try {
        report::write_file_atomically((fs::path(output_dir) / "dataset_description.json").string(),
                                      description.dump(2) + "\n");
        report::write_index(index_path(output_dir), title, entries);
    } catch (const std::exception& e) {
        throw Error(e.what());
    }
}

}  // namespace bids
}  // namespace warpmender
