// Walking a BIDS dataset for EPI series and matching field maps to them.
#include "bids/discovery.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "bids/error.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {

namespace {

bool starts_with(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

std::string without_prefix(const std::string& label, const std::string& prefix) {
    return starts_with(label, prefix) ? label.substr(prefix.size()) : label;
}

std::string join(const std::vector<std::string>& items, const std::string& glue) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : glue) + s;
    return out;
}

bool is_image(const FileName& n) { return n.extension == ".nii.gz" || n.extension == ".nii"; }

// .bidsignore: glob patterns, one per line.
class IgnoreList {
public:
    explicit IgnoreList(const fs::path& root) {
        std::ifstream in(root / ".bidsignore");
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '/')) line.pop_back();
            const std::size_t start = line.find_first_not_of(' ');
            if (start == std::string::npos || line[start] == '#') continue;
            line = line.substr(start);
            if (line[0] == '/') line.erase(0, 1);
            if (!line.empty()) patterns_.push_back(line);
        }
    }
    // relative: path from the root, '/'-separated.
    bool ignores(const std::string& relative) const {
        for (const std::string& p : patterns_) {
            if (p.find('/') != std::string::npos) {
                if (fnmatch(p.c_str(), relative.c_str(), FNM_PATHNAME) == 0) return true;
            } else {
                const std::string name = fs::path(relative).filename().string();
                if (fnmatch(p.c_str(), name.c_str(), 0) == 0) return true;
            }
        }
        return false;
    }

private:
    std::vector<std::string> patterns_;
};

struct Entry {
    fs::path path;
    std::string name;
    bool folder;
};

// The visible entries of a folder, sorted; regular files and folders only
// (symbolic links followed), nothing hidden, nothing .bidsignore lists.
std::vector<Entry> entries(const fs::path& folder, const fs::path& root, const IgnoreList& ignore) {
    std::vector<Entry> out;
    std::error_code ec;
    for (fs::directory_iterator d(folder, ec), end; !ec && d != end; d.increment(ec)) {
        const std::string name = d->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        if (ignore.ignores(d->path().lexically_relative(root).generic_string())) continue;
        std::error_code sec;
        const fs::file_status st = fs::status(d->path(), sec);
        if (sec) continue;  // a dangling link
        if (fs::is_directory(st))
            out.push_back({d->path(), name, true});
        else if (fs::is_regular_file(st))
            out.push_back({d->path(), name, false});
    }
    if (ec) throw Error("cannot list the folder \"" + folder.string() + "\": " + ec.message());
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return out;
}

// A string or a list of strings under key; throws naming the sidecar otherwise.
std::vector<std::string> strings_of(const Metadata& m, const std::string& key) {
    const nlohmann::json* v = m.find(key);
    if (!v) return {};
    const auto bad = [&]() {
        return Error("sidecar \"" + m.source_of(key) + "\": \"" + key + "\" must be a string or a list of strings");
    };
    if (v->is_string()) return {v->get<std::string>()};
    if (!v->is_array()) throw bad();
    std::vector<std::string> out;
    for (const auto& item : *v) {
        if (!item.is_string()) throw bad();
        out.push_back(item.get<std::string>());
    }
    return out;
}

bool is_series(const std::string& datatype, const FileName& n, bool include_sbref) {
    if (datatype == "func") return n.suffix == "bold" || (include_sbref && n.suffix == "sbref");
    if (datatype == "dwi") return n.suffix == "dwi";
    if (datatype == "perf") return n.suffix == "asl";
    return false;
}

const std::set<std::string> kFieldMapSuffixes = {"phasediff", "phase1",     "phase2",     "fieldmap",
                                                 "magnitude", "magnitude1", "magnitude2", "epi"};

struct Folder {
    fs::path path;
    std::string subject, session, datatype;
};

struct Group {
    std::string subject, session;
    std::map<std::string, fs::path> members;  // suffix -> image
};

}  // namespace

const char* layout_name(FieldMapLayout layout) {
    switch (layout) {
        case FieldMapLayout::kPhaseDifference: return "phasediff";
        case FieldMapLayout::kTwoPhases: return "phase1/phase2";
        case FieldMapLayout::kDirect: return "fieldmap";
    }
    return "?";
}

std::vector<std::string> FieldMap::images() const {
    std::vector<std::string> out;
    for (const std::string* p : {&phasediff, &phase1, &phase2, &fieldmap, &magnitude1, &magnitude2, &magnitude})
        if (!p->empty()) out.push_back(*p);
    return out;
}

Discovery discover(const std::string& bids_dir, const DiscoveryOptions& options) {
    std::string root_text = fs::absolute(fs::path(bids_dir)).lexically_normal().string();
    while (root_text.size() > 1 && root_text.back() == '/') root_text.pop_back();
    const fs::path root(root_text);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) throw Error("BIDS_DIR \"" + bids_dir + "\" is not a folder");
    Discovery out;
    out.bids_dir = root.string();
    const auto relative = [&](const fs::path& p) { return p.lexically_relative(root).generic_string(); };
    if (!fs::exists(root / "dataset_description.json"))
        out.notes.push_back("\"" + out.bids_dir + "\" has no dataset_description.json; is it a BIDS dataset?");
    const IgnoreList ignore(root);

    // Subjects, then the chosen ones.
    std::vector<std::string> subjects;
    for (const Entry& e : entries(root, root, ignore))
        if (e.folder && starts_with(e.name, "sub-") && e.name.size() > 4) subjects.push_back(e.name.substr(4));
    std::vector<std::string> chosen = subjects;
    if (!options.participant_labels.empty()) {
        chosen.clear();
        for (const std::string& label : options.participant_labels) {
            const std::string l = without_prefix(label, "sub-");
            if (std::find(subjects.begin(), subjects.end(), l) == subjects.end())
                throw Error("--participant-label \"" + label + "\": BIDS_DIR \"" + out.bids_dir + "\" has no sub-" + l +
                            " (subjects: " + (subjects.empty() ? "none" : join(subjects, ", ")) + ")");
            if (std::find(chosen.begin(), chosen.end(), l) == chosen.end()) chosen.push_back(l);
        }
        std::sort(chosen.begin(), chosen.end());
    }

    // Their datatype folders, with or without sessions.
    std::vector<Folder> folders;
    std::set<std::string> sessions;
    for (const std::string& subject : chosen) {
        const fs::path sub = root / ("sub-" + subject);
        for (const Entry& e : entries(sub, root, ignore)) {
            if (!e.folder) continue;
            if (starts_with(e.name, "ses-")) {
                const std::string session = e.name.substr(4);
                sessions.insert(session);
                for (const Entry& d : entries(e.path, root, ignore))
                    if (d.folder) folders.push_back({d.path, subject, session, d.name});
            } else {
                folders.push_back({e.path, subject, "", e.name});
            }
        }
    }
    std::set<std::string> session_filter, task_filter;
    for (const std::string& label : options.session_labels) {
        const std::string l = without_prefix(label, "ses-");
        if (!sessions.count(l))
            throw Error("--session-label \"" + label + "\": the chosen subjects have no ses-" + l + " (sessions: " +
                        (sessions.empty() ? "none" : join({sessions.begin(), sessions.end()}, ", ")) + ")");
        session_filter.insert(l);
    }
    for (const std::string& task : options.tasks) task_filter.insert(without_prefix(task, "task-"));

    SidecarReader reader(out.bids_dir);
    std::vector<Series> series;
    std::map<std::string, Group> groups;                           // key: folder + entities
    std::map<std::string, std::set<std::string>> epi_identifiers;  // "subject/session" -> B0FieldIdentifier of _epi
    std::map<std::string, std::vector<std::string>> unusable;  // "subject/session" -> field maps that could not be read
    const auto scope = [](const std::string& subject, const std::string& session) { return subject + "/" + session; };

    for (const Folder& folder : folders) {
        const bool fmap = folder.datatype == "fmap";
        if (!fmap && folder.datatype != "func" && folder.datatype != "dwi" && folder.datatype != "perf") continue;
        for (const Entry& e : entries(folder.path, root, ignore)) {
            if (e.folder) continue;
            auto name = parse_file_name(e.name);
            if (!name || !is_image(*name)) continue;
            const auto sub = name->entity("sub");
            const auto ses = name->entity("ses");
            if (!sub || *sub != folder.subject || ses.value_or("") != folder.session) {
                out.notes.push_back("\"" + relative(e.path) +
                                    "\" is ignored: its sub-/ses- entities do not match its folder");
                continue;
            }
            if (fmap) {
                if (!kFieldMapSuffixes.count(name->suffix)) continue;
                const std::string key = folder.path.string() + "|" + format_entities(name->entities);
                Group& g = groups[key];
                g.subject = folder.subject;
                g.session = folder.session;
                if (g.members.count(name->suffix))
                    out.notes.push_back("\"" + relative(e.path) + "\" is ignored: \"" +
                                        relative(g.members[name->suffix]) +
                                        "\" has the same name with another extension");
                else
                    g.members[name->suffix] = e.path;
            } else if (is_series(folder.datatype, *name, options.include_sbref)) {
                Series s;
                s.path = e.path.string();
                s.relative = relative(e.path);
                s.name = *name;
                s.subject = folder.subject;
                s.session = folder.session;
                s.datatype = folder.datatype;
                series.push_back(std::move(s));
            }
        }
    }

    // Field maps from the groups.
    for (auto& [key, g] : groups) {
        const auto has = [&](const char* suffix) { return g.members.count(suffix) != 0; };
        const auto path = [&](const char* suffix) {
            return has(suffix) ? g.members.at(suffix).string() : std::string();
        };
        if (has("epi")) {
            try {
                for (const std::string& id : strings_of(reader.metadata(path("epi")), "B0FieldIdentifier"))
                    epi_identifiers[scope(g.subject, g.session)].insert(id);
            } catch (const Error& err) {
                out.notes.push_back(err.what());
            }
        }
        const int kinds =
            (has("phasediff") ? 1 : 0) + (has("phase1") || has("phase2") ? 1 : 0) + (has("fieldmap") ? 1 : 0);
        if (kinds == 0) continue;  // magnitudes alone, or _epi
        FieldMap fm;
        fm.subject = g.subject;
        fm.session = g.session;
        if (has("phasediff")) {
            fm.layout = FieldMapLayout::kPhaseDifference;
            fm.phasediff = path("phasediff");
        } else if (has("phase1") || has("phase2")) {
            fm.layout = FieldMapLayout::kTwoPhases;
            fm.phase1 = path("phase1");
            fm.phase2 = path("phase2");
        } else {
            fm.layout = FieldMapLayout::kDirect;
            fm.fieldmap = path("fieldmap");
        }
        fm.name = relative(fm.images().front());
        if (kinds > 1) {
            out.notes.push_back("\"" + fm.name +
                                "\" is ignored: one set of fmap entities holds more than one layout (" +
                                "phasediff, phase1/phase2, fieldmap); give each its own acq- or run- entity");
            unusable[scope(g.subject, g.session)].push_back(fm.name + " (more than one layout)");
            continue;
        }
        std::vector<std::string> lacking;
        if (fm.layout == FieldMapLayout::kDirect) {
            fm.magnitude = path("magnitude");
            if (fm.magnitude.empty()) lacking.push_back("_magnitude");
        } else {
            if (fm.layout == FieldMapLayout::kTwoPhases) {
                if (fm.phase1.empty()) lacking.push_back("_phase1");
                if (fm.phase2.empty()) lacking.push_back("_phase2");
            }
            fm.magnitude1 = path("magnitude1");
            fm.magnitude2 = path("magnitude2");
            if (fm.magnitude1.empty()) lacking.push_back("_magnitude1");
        }
        fm.missing = join(lacking, ", ");
        try {
            std::set<std::string> ids;
            for (const std::string& image : fm.images()) {
                const Metadata& m = reader.metadata(image);
                const std::string source = relative(m.source_of("IntendedFor"));
                for (const std::string& target : strings_of(m, "IntendedFor")) {
                    fs::path resolved;
                    if (starts_with(target, "bids::")) {
                        resolved = root / target.substr(6);
                    } else if (starts_with(target, "bids:")) {
                        out.notes.push_back("sidecar \"" + source + "\": IntendedFor \"" + target +
                                            "\" names another dataset; only \"bids::\" (this dataset) is followed");
                        continue;
                    } else {
                        resolved = root / ("sub-" + g.subject) / target;
                    }
                    resolved = resolved.lexically_normal();
                    const std::string rel = relative(resolved);
                    if (rel.empty() || starts_with(rel, "..")) {
                        out.notes.push_back("sidecar \"" + source + "\": IntendedFor \"" + target +
                                            "\" lies outside BIDS_DIR");
                        continue;
                    }
                    if (!fs::exists(resolved))
                        out.notes.push_back("sidecar \"" + source + "\": IntendedFor \"" + target +
                                            "\" names no file (\"" + rel + "\")");
                    if (std::find(fm.intended_for.begin(), fm.intended_for.end(), resolved.string()) ==
                        fm.intended_for.end()) {
                        fm.intended_for.push_back(resolved.string());
                        fm.intended_for_sources.push_back(source);
                    }
                }
                for (const std::string& id : strings_of(m, "B0FieldIdentifier")) ids.insert(id);
            }
            fm.identifiers.assign(ids.begin(), ids.end());
        } catch (const Error& err) {
            out.notes.push_back("field map \"" + fm.name + "\" is ignored: " + err.what());
            unusable[scope(g.subject, g.session)].push_back(fm.name + " (" + err.what() + ")");
            continue;
        }
        out.fieldmaps.push_back(std::move(fm));
    }

    std::set<std::string> tasks;
    for (const Series& s : series)
        if (const auto task = s.name.entity("task")) tasks.insert(*task);
    for (const std::string& task : options.tasks)
        if (!tasks.count(without_prefix(task, "task-")))
            throw Error("--task \"" + task + "\": the chosen subjects have no series of task-" +
                        without_prefix(task, "task-") +
                        " (tasks: " + (tasks.empty() ? "none" : join({tasks.begin(), tasks.end()}, ", ")) + ")");

    // One series as .nii and as .nii.gz would write one set of derivatives twice.
    std::map<std::string, std::vector<std::string>> same_name;  // folder + name without extension -> files
    for (const Series& s : series)
        same_name[fs::path(s.path).parent_path().string() + "/" + format_entities(s.name.entities) + "_" +
                  s.name.suffix]
            .push_back(s.relative);

    // Each chosen series and the field maps that claim it.
    std::sort(series.begin(), series.end(), [](const Series& a, const Series& b) { return a.relative < b.relative; });
    for (Series& s : series) {
        if (!session_filter.empty() && !session_filter.count(s.session)) continue;
        if (!task_filter.empty() && !task_filter.count(s.name.entity("task").value_or(""))) continue;
        const auto& twins = same_name[fs::path(s.path).parent_path().string() + "/" + format_entities(s.name.entities) +
                                      "_" + s.name.suffix];
        if (twins.size() > 1) {
            out.failed.push_back({s, "one series stored twice (" + join(twins, ", ") + "); keep one"});
            continue;
        }
        const std::string part = s.name.entity("part").value_or("mag");
        if (part != "mag") {
            out.skipped.push_back({s, "part-" + part + " is not an intensity image"});
            continue;
        }
        try {
            s.field_sources = strings_of(reader.metadata(s.path), "B0FieldSource");
        } catch (const Error& err) {
            out.failed.push_back({s, err.what()});
            continue;
        }
        std::vector<std::pair<std::size_t, std::string>> claims;  // field map, how
        const auto claim = [&](std::size_t i, const std::string& how) {
            for (auto& c : claims)
                if (c.first == i) {
                    c.second += " and " + how;
                    return;
                }
            claims.emplace_back(i, how);
        };
        for (std::size_t i = 0; i < out.fieldmaps.size(); ++i) {
            const FieldMap& fm = out.fieldmaps[i];
            for (std::size_t k = 0; k < fm.intended_for.size(); ++k)
                if (fm.intended_for[k] == s.path) claim(i, "IntendedFor in " + fm.intended_for_sources[k]);
            if (fm.subject != s.subject || fm.session != s.session) continue;
            for (const std::string& id : s.field_sources)
                if (std::find(fm.identifiers.begin(), fm.identifiers.end(), id) != fm.identifiers.end())
                    claim(i, "B0FieldIdentifier \"" + id + "\"");
        }
        const std::string where = "sub-" + s.subject + (s.session.empty() ? "" : "/ses-" + s.session);
        if (claims.size() > 1) {
            std::vector<std::string> names;
            for (const auto& c : claims) names.push_back("\"" + out.fieldmaps[c.first].name + "\" (" + c.second + ")");
            out.failed.push_back({s, "claimed by " + std::to_string(claims.size()) +
                                         " field maps: " + join(names, " and ") + "; keep one"});
        } else if (claims.size() == 1) {
            const FieldMap& fm = out.fieldmaps[claims[0].first];
            if (!fm.missing.empty())
                out.failed.push_back(
                    {s, "its field map \"" + fm.name + "\" (" + claims[0].second + ") lacks " + fm.missing});
            else
                out.selected.push_back({s, claims[0].first, claims[0].second});
        } else if (const auto bad = unusable.find(scope(s.subject, s.session)); bad != unusable.end()) {
            out.failed.push_back(
                {s, "no usable field map; in " + where + " these could not be used: " + join(bad->second, "; ")});
        } else if (!s.field_sources.empty()) {
            const auto& epi = epi_identifiers[scope(s.subject, s.session)];
            std::vector<std::string> only_epi;
            for (const std::string& id : s.field_sources)
                if (epi.count(id)) only_epi.push_back("\"" + id + "\"");
            if (!only_epi.empty())
                out.skipped.push_back(
                    {s, "B0FieldSource " + join(only_epi, ", ") +
                            " names only _epi images (reversed phase encoding), which warpmender does not use"});
            else
                out.skipped.push_back({s, "no field map: B0FieldSource \"" + join(s.field_sources, "\", \"") +
                                              "\" matches no B0FieldIdentifier in " + where});
        } else {
            out.skipped.push_back({s, "no field map: no IntendedFor names it and it has no B0FieldSource"});
        }
    }
    return out;
}

}  // namespace bids
}  // namespace warpmender
