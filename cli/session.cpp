// Session files, their replay through the plug-in, and the report.
#include "cli/session.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/failure_context.h"
#include "cli/output_folder.h"
#include "cli/run_preflight.h"
#include "core/error.h"
#include "formats/input_file.h"
#include "host/document_files.h"
#include "host/plugin_library.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A JSON integer as an int. Unsigned values are compared as such: read as
// long long, 18446744073709551615 would pass as -1.
int whole_number_of(const nlohmann::ordered_json& v, const std::string& where, const char* what) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<unsigned long long>();
        if (u > static_cast<unsigned long long>(INT32_MAX))
            throw Error(where + ": " + std::to_string(u) + " does not fit " + what);
        return static_cast<int>(u);
    }
    const auto i = v.get<long long>();
    if (i < INT32_MIN || i > INT32_MAX) throw Error(where + ": " + std::to_string(i) + " does not fit " + what);
    return static_cast<int>(i);
}

// The bounds the command line puts on the same values (correct --cycles, --iterations, --relax-iterations).
struct Bound {
    const char* name;
    int low, high;
};
constexpr Bound kBounds[] = {{"NrOfVCycles", 0, 100}, {"NrOfIterations", 0, 1000}, {"NrOfIterationsRelax", 0, 1000000}};
constexpr size_t kMostDocuments = 100;

void check_bounded(const std::string& name, const ParameterValue& v, const std::string& where) {
    for (const Bound& b : kBounds) {
        if (name != b.name) continue;
        const int* i = std::get_if<int>(&v);
        if (i == nullptr || *i < b.low || *i > b.high)
            throw Error(where + ": must be a whole number from " + std::to_string(b.low) + " to " +
                        std::to_string(b.high) + (i ? ", not " + std::to_string(*i) : std::string()));
    }
}

std::string resolve(const std::string& path, const std::string& base_dir) {
    if (path.empty() || fs::path(path).is_absolute() || base_dir.empty()) return path;
    return (fs::path(base_dir) / path).lexically_normal().string();
}

ParameterValue parameter_of(const nlohmann::ordered_json& v, const std::string& where) {
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s.size() > kMaxStringParameter)
            throw Error(where + ": the value has " + std::to_string(s.size()) +
                        " characters; string parameters hold at most 255");
        return s;
    }
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_integer()) return whole_number_of(v, where, "an int parameter");
    if (v.is_number_float()) {
        // Beyond the float range the conversion is undefined; "1e999" parses as infinity.
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(FLT_MAX))
            throw Error(where + ": " + v.dump() + " does not fit a float parameter (at most " +
                        std::to_string(FLT_MAX) + " in magnitude)");
        return static_cast<float>(d);
    }
    throw Error(where + ": a parameter is a string, an integer or a number, not " + std::string(v.type_name()));
}

Answer answer_of(const nlohmann::ordered_json& v, const std::string& where, const std::string& base_dir) {
    if (v.is_null()) return Answer::cancel();
    if (v.is_number_integer()) return Answer::of(whole_number_of(v, where, "an integer answer"));
    if (v.is_string()) {
        const std::string p = v.get<std::string>();
        if (p.size() > 500) throw Error(where + ": a chosen path holds at most 500 characters");
        return Answer::of(resolve(p, base_dir));
    }
    throw Error(where + ": an answer is an integer, a path or null, not " + std::string(v.type_name()));
}

json answer_json(const Answer& a) {
    switch (a.kind) {
        case Answer::kInteger: return a.integer;
        case Answer::kPath: return a.path;
        default: return nullptr;
    }
}

json parameter_json(const ParameterValue& v) {
    if (auto s = std::get_if<std::string>(&v)) return *s;
    if (auto i = std::get_if<int>(&v)) return *i;
    const float f = std::get<float>(v);
    return std::isfinite(f) ? json(static_cast<double>(f)) : json(nullptr);
}

json store_json(const Host& h) {
    json out = json::object();
    for (const auto& [name, value] : h.parameters()) out[name] = parameter_json(value);
    return out;
}

json dialog_json(const DialogRecord& d) {
    json j = {{"kind", d.kind}, {"prompt", d.prompt}};
    if (d.kind == "integer") {
        j["default"] = d.default_value;
        j["min"] = d.minimum;
        j["max"] = d.maximum;
    } else {
        j["filter"] = d.filter;
    }
    j["answer"] = answer_json(d.answer);
    return j;
}

// The plug-in's own writers (AMR previews, the direct FMR/STC writer) report a
// failed write only in the log: with one of these fixed lines and, from the
// file writer, a line naming the file ("cannot write \"out/a.amr\": ...").
const char* const kPluginWriteFailures[] = {
    protocol::kAmrWriteFailed,
    protocol::kFmrFloatWriteFailed,
    protocol::kFmrIntWriteFailed,
    protocol::kCannotSave,
};
const std::string kWriterReasons[] = {std::string(protocol::kCannotCreate) + " \"",
                                      std::string(protocol::kCannotWrite) + " \"",
                                      std::string(protocol::kCannotReplace) + " \""};

template <typename Text>
bool starts_with_any(const std::string& line, const Text* first, const Text* last) {
    for (; first != last; ++first)
        if (line.rfind(*first, 0) == 0) return true;
    return false;
}

// What the plug-in logged about files it failed to write, log[from..].
std::vector<std::string> plugin_write_failures(const std::vector<std::string>& log, size_t from) {
    std::vector<std::string> out;
    for (size_t i = from; i < log.size(); ++i) {
        const std::string& line = log[i];
        if (starts_with_any(line, std::begin(kWriterReasons), std::end(kWriterReasons))) {
            out.push_back(line);
        } else if (starts_with_any(line, std::begin(kPluginWriteFailures), std::end(kPluginWriteFailures))) {
            const bool named_next =
                i + 1 < log.size() && starts_with_any(log[i + 1], std::begin(kWriterReasons), std::end(kWriterReasons));
            if (!named_next)
                out.push_back(line.rfind(protocol::kCannotSave, 0) == 0 ? line : "the plug-in logged \"" + line + "\"");
        }
    }
    return out;
}

template <typename T>
json tail_json(const std::vector<T>& all, size_t from) {
    json out = json::array();
    for (size_t i = from; i < all.size(); ++i) out.push_back(all[i]);
    return out;
}

// Changes the process's working directory for its lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : previous_(fs::current_path()) {
        std::error_code ec;
        fs::current_path(dir, ec);
        if (ec) throw Error("cannot enter output folder \"" + dir + "\": " + ec.message());
    }
    ~WorkingDirectory() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path previous_;
};

// Linear rescale of a document's values from their minimum and maximum to lo..hi.
void rescale_document(Document& doc, float lo, float hi) {
    float mn = 0.0f, mx = 0.0f;
    bool first = true;
    for (const auto& v : doc.float_volumes)
        for (float x : v) {
            if (first || x < mn) mn = x;
            if (first || x > mx) mx = x;
            first = false;
        }
    if (first || mx <= mn) return;
    const double scale = (static_cast<double>(hi) - lo) / (static_cast<double>(mx) - mn);
    for (auto& v : doc.float_volumes)
        for (float& x : v) x = static_cast<float>(lo + (x - mn) * scale);
}

}  // namespace

void parse_version(const std::string& text, int out[3]) {
    int v[3] = {0, 0, 0};
    char dot1 = 0, dot2 = 0;
    std::istringstream in(text);
    if (!(in >> v[0] >> dot1 >> v[1] >> dot2 >> v[2]) || dot1 != '.' || dot2 != '.' || in.peek() != EOF || v[0] < 0 ||
        v[1] < 0 || v[2] < 0)
        throw Error("host version \"" + text + "\" is not of the form MAJOR.MINOR.PATCH (e.g. 2.8.0)");
    for (int i = 0; i < 3; ++i) out[i] = v[i];
}

Session parse_session_text(const std::string& text, const std::string& source, const std::string& base_dir) {
    // Ordered: parameters are set in the order the file gives them.
    nlohmann::ordered_json j;
    try {
        j = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::ordered_json::exception& e) {
        // parse_error, and out_of_range for a number beyond double ("1e999").
        throw Error("cannot read session \"" + source + "\": not valid JSON (" + e.what() + ")");
    }
    const std::string where = "session \"" + source + "\"";
    if (!j.is_object()) throw Error(where + ": the top level must be an object");
    Session s;
    for (const auto& [key, value] : j.items()) {
        if (key != "host_version" && key != "output_dir" && key != "documents" && key != "calls")
            throw Error(where + ": unknown field \"" + key +
                        "\" (expected host_version, output_dir, documents, calls)");
    }
    if (j.contains("host_version")) {
        if (!j["host_version"].is_string())
            throw Error(where + ": \"host_version\" must be a string such as \"2.8.0\"");
        s.host_version = j["host_version"].get<std::string>();
        int v[3];
        try {
            parse_version(s.host_version, v);
        } catch (const Error& e) {
            throw Error(where + ": " + e.what());
        }
    }
    if (j.contains("output_dir")) {
        if (!j["output_dir"].is_string()) throw Error(where + ": \"output_dir\" must be a string");
        s.output_dir = resolve(j["output_dir"].get<std::string>(), base_dir);
    }
    if (j.contains("documents")) {
        if (!j["documents"].is_array()) throw Error(where + ": \"documents\" must be an array");
        size_t i = 0;
        for (const auto& d : j["documents"]) {
            const std::string at = where + ", documents[" + std::to_string(i++) + "]";
            if (!d.is_object() || !d.contains("path") || !d["path"].is_string())
                throw Error(at + ": each document is an object with a string \"path\"");
            SessionDocument doc;
            doc.path = resolve(d["path"].get<std::string>(), base_dir);
            if (d.contains("as")) {
                if (!d["as"].is_string() || (d["as"] != "vmr" && d["as"] != "fmr"))
                    throw Error(at + ": \"as\" is \"fmr\" or \"vmr\"");
                doc.as_anatomy = d["as"] == "vmr";
            }
            for (const auto& [key, value] : d.items())
                if (key != "path" && key != "as") throw Error(at + ": unknown field \"" + key + "\"");
            s.documents.push_back(doc);
        }
        if (s.documents.size() > kMostDocuments)
            throw Error(where + ": " + std::to_string(s.documents.size()) + " documents; a session opens at most " +
                        std::to_string(kMostDocuments));
    }
    if (j.contains("calls")) {
        if (!j["calls"].is_array()) throw Error(where + ": \"calls\" must be an array");
        size_t i = 0;
        for (const auto& c : j["calls"]) {
            const std::string at = where + ", calls[" + std::to_string(i++) + "]";
            if (!c.is_object()) throw Error(at + ": each call is an object with \"parameters\" and \"answers\"");
            for (const auto& [key, value] : c.items())
                if (key != "parameters" && key != "answers") throw Error(at + ": unknown field \"" + key + "\"");
            SessionCall call;
            if (c.contains("parameters")) {
                if (!c["parameters"].is_object()) throw Error(at + ": \"parameters\" must be an object");
                for (const auto& [name, value] : c["parameters"].items()) {
                    const std::string named = at + ", parameter \"" + name + "\"";
                    call.parameters.emplace_back(name, parameter_of(value, named));
                    check_bounded(name, call.parameters.back().second, named);
                }
            }
            if (c.contains("answers")) {
                if (!c["answers"].is_array()) throw Error(at + ": \"answers\" must be an array");
                size_t k = 0;
                for (const auto& a : c["answers"])
                    call.answers.push_back(answer_of(a, at + ", answers[" + std::to_string(k++) + "]", base_dir));
            }
            s.calls.push_back(std::move(call));
        }
    }
    return s;
}

Session parse_session_file(const std::string& path) {
    const std::string text = *read_regular_file(path, "session", kMostSessionBytes);
    const fs::path dir = fs::absolute(fs::path(path)).parent_path();
    return parse_session_text(text, path, dir.string());
}

SessionOutcome run_session(const Session& session, const RunSettings& settings, const SessionObserver& observer) {
    Host& h = instance();
    h.reset();
    parse_version(session.host_version, h.version);
    h.output_dir = settings.output_dir.empty() ? session.output_dir : settings.output_dir;
    if (h.output_dir.empty()) h.output_dir = fs::current_path().string();
    h.output_dir = fs::absolute(h.output_dir).lexically_normal().string();
    prepare_output_folder(h.output_dir);
    h.nifti_output = settings.nifti;
    install_disk_saver(h);
    h.set_responder(settings.responder);
    h.on_log = observer.log;
    h.on_note = observer.host_note;
    h.on_busy_change = observer.busy;
    h.on_saved = settings.on_saved;
    h.hold_save = settings.hold_save;

    for (size_t i = 0; i < session.documents.size(); ++i) {
        const SessionDocument& d = session.documents[i];
        Document doc = open_document(h, fs::absolute(d.path).string(), d.as_anatomy);
        for (int r : settings.rescale_documents)
            if (static_cast<size_t>(r) == i) rescale_document(doc, 0.0f, 4095.0f);
        h.add_document(std::move(doc));
    }

    if (settings.before_calls) settings.before_calls(h);

    // The plug-in writes some files itself (AMR previews, parameter files)
    // under names without a folder: run it inside the output folder so that
    // they land there with every other result, never beside the user.
    const std::string plugin_path = fs::absolute(settings.plugin_path).string();
    const WorkingDirectory inside(h.output_dir);

    SessionOutcome out;
    json report = {{"plugin", json::object()}, {"calls", json::array()}, {"errors", json::array()}};
    PluginLibrary plugin(plugin_path);
    const bool init = plugin.create_and_init();
    report["plugin"] = {{"name", plugin.name()}, {"init", init}, {"log", h.log}, {"message_boxes", h.message_boxes}};
    for (const std::string& m : h.message_boxes)
        if (observer.message_box) observer.message_box(m);
    if (!init) {
        out.session_error = true;
        report["errors"].push_back("the plug-in refused to start (host version " + session.host_version + ")");
        out.report = report;
        return out;
    }

    for (size_t i = 0; i < session.calls.size(); ++i) {
        const SessionCall& call = session.calls[i];
        const size_t log0 = h.log.size(), box0 = h.message_boxes.size(), dialog0 = h.dialogs.size(),
                     save0 = h.saves.size(), error0 = h.session_errors.size();
        for (const auto& [name, value] : call.parameters) h.set_parameter(name, value);
        h.clear_answers();
        for (const Answer& a : call.answers) h.queue_answer(a);
        const bool returned = plugin.execute();
        for (size_t k = box0; k < h.message_boxes.size(); ++k)
            if (observer.message_box) observer.message_box(h.message_boxes[k]);
        // A call the plug-in stopped early leaves the answers of the dialogs it
        // never reached: its failure (status 1, with its message) says why, not the session.
        const bool stopped = h.int_parameter(protocol::kErrorNr) == -1;
        if (settings.responder == nullptr && h.unused_answers() > 0 && !stopped)
            h.session_errors.push_back("calls[" + std::to_string(i) + "]: " + std::to_string(h.unused_answers()) +
                                       " answer(s) were not used by any dialog");

        json saved = json::array();
        for (size_t k = save0; k < h.saves.size(); ++k) {
            const SaveRecord& r = h.saves[k];
            json entry = {{"fmr", r.fmr}, {"stc", r.stc}, {"ok", r.ok}};
            if (r.held) entry["held"] = true;
            if (!r.ok) {
                entry["error"] = r.error;
                out.unsaved.push_back(r.fmr.empty() ? "cannot save: " + r.error
                                                    : "cannot save \"" + r.fmr + "\": " + r.error);
            }
            saved.push_back(entry);
        }
        const std::vector<std::string> write_failures = plugin_write_failures(h.log, log0);
        out.unsaved.insert(out.unsaved.end(), write_failures.begin(), write_failures.end());
        const int error_nr = h.int_parameter(protocol::kErrorNr);
        json c = {{"command", h.string_parameter(protocol::kCommand)},
                  {"execute_returned", returned},
                  {"ErrorNr", error_nr},
                  {"ErrorMsg", h.has_parameter(protocol::kErrorMsg) ? json(h.string_parameter(protocol::kErrorMsg))
                                                                    : json(nullptr)},
                  {"log", tail_json(h.log, log0)},
                  {"message_boxes", tail_json(h.message_boxes, box0)},
                  {"dialogs", json::array()},
                  {"saved", saved},
                  {"write_failures", write_failures},
                  {"parameters", store_json(h)}};
        for (size_t k = dialog0; k < h.dialogs.size(); ++k) c["dialogs"].push_back(dialog_json(h.dialogs[k]));
        report["calls"].push_back(c);
        if (error_nr == -1) {
            out.plugin_failed = true;
            out.error_messages.push_back(h.string_parameter(protocol::kErrorMsg) + failure_context(h, log0));
        }
        if (h.session_errors.size() > error0) {
            for (size_t k = error0; k < h.session_errors.size(); ++k) report["errors"].push_back(h.session_errors[k]);
            out.session_error = true;
            break;  // the session no longer says what the next call would see
        }
        if (settings.between_calls) {
            // The later calls of such a run build on this one's results.
            if (error_nr == -1 || !out.unsaved.empty()) break;
            if (i + 1 < session.calls.size()) settings.between_calls(h, i);
        }
    }
    out.report = report;
    return out;
}

}  // namespace host
}  // namespace warpmender
