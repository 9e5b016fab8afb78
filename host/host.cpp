// The substitute host's state and behaviour.
#include "host/host.h"

#include <sys/stat.h>

#include <cstring>

namespace warpmender {
namespace host {

int Host::add_document(Document doc) {
    doc.refresh_pointers();
    documents_.push_back(std::move(doc));
    // Growing the list may move the documents; their buffers stay where they are,
    // but the pointer tables must point into the moved vectors' data again.
    for (auto& d : documents_) d.refresh_pointers();
    return static_cast<int>(documents_.size()) - 1;
}

Document* Host::current() {
    if (current_ < 0 || current_ >= static_cast<int>(documents_.size())) return nullptr;
    return &documents_[static_cast<size_t>(current_)];
}

bool Host::set_current(int index) {
    if (index < 0 || index >= static_cast<int>(documents_.size())) {
        current_ = -1;
        return false;
    }
    current_ = index;
    return true;
}

std::string Host::string_parameter(const std::string& name) const {
    auto it = parameters_.find(name);
    if (it == parameters_.end()) return {};
    if (auto s = std::get_if<std::string>(&it->second)) return *s;
    return {};
}

int Host::int_parameter(const std::string& name) const {
    auto it = parameters_.find(name);
    if (it == parameters_.end()) return 0;
    if (auto i = std::get_if<int>(&it->second)) return *i;
    if (auto f = std::get_if<float>(&it->second)) return static_cast<int>(*f);
    return 0;
}

float Host::float_parameter(const std::string& name) const {
    auto it = parameters_.find(name);
    if (it == parameters_.end()) return 0.0f;
    if (auto f = std::get_if<float>(&it->second)) return *f;
    if (auto i = std::get_if<int>(&it->second)) return static_cast<float>(*i);
    return 0.0f;
}

int Host::ask_integer(const char* prompt, int default_value, int minimum, int maximum) {
    DialogRecord rec;
    rec.kind = "integer";
    rec.prompt = prompt ? prompt : "";
    rec.default_value = default_value;
    rec.minimum = minimum;
    rec.maximum = maximum;
    int result = default_value;
    if (responder_ != nullptr) {
        result = responder_->integer(rec.prompt, default_value, minimum, maximum);
        rec.answer = Answer::of(result);
    } else if (answers_.empty()) {
        session_errors.push_back("integer dialog \"" + rec.prompt + "\": expected an integer in [" +
                                 std::to_string(minimum) + ", " + std::to_string(maximum) +
                                 "], but no answer was left");
        rec.answer = Answer::cancel();
    } else {
        Answer a = answers_.front();
        answers_.pop_front();
        rec.answer = a;
        if (a.kind == Answer::kInteger && a.integer >= minimum && a.integer <= maximum) {
            result = a.integer;
        } else {
            const std::string got = a.kind == Answer::kInteger ? std::to_string(a.integer)
                                    : a.kind == Answer::kPath  ? "the path \"" + a.path + "\""
                                                               : std::string("null");
            session_errors.push_back("integer dialog \"" + rec.prompt + "\": expected an integer in [" +
                                     std::to_string(minimum) + ", " + std::to_string(maximum) + "], got " + got);
        }
    }
    dialogs.push_back(rec);
    return result;
}

namespace {

bool same_existing_file(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int Host::ask_path(const char* kind, const char* title, const char* filter, char* path) {
    DialogRecord rec;
    rec.kind = kind;
    rec.prompt = title ? title : "";
    rec.filter = filter ? filter : "";
    bool has = false;
    std::string chosen;
    if (responder_ != nullptr) {
        if (auto p = responder_->path(rec.kind, rec.prompt, rec.filter)) {
            has = true;
            chosen = *p;
        }
    } else if (answers_.empty()) {
        session_errors.push_back(rec.kind + " file dialog \"" + rec.prompt +
                                 "\": expected a path or null, but no answer was left");
    } else {
        Answer a = answers_.front();
        answers_.pop_front();
        if (a.kind == Answer::kPath) {
            has = true;
            chosen = a.path;
        } else if (a.kind == Answer::kInteger) {
            session_errors.push_back(rec.kind + " file dialog \"" + rec.prompt + "\": expected a path or null, got " +
                                     std::to_string(a.integer));
        }
    }
    if (has && chosen.size() > 500) {
        session_errors.push_back(rec.kind + " file dialog \"" + rec.prompt + "\": the path \"" + chosen +
                                 "\" is longer than 500 characters");
        has = false;
    }
    if (has && rec.kind == "save") {
        // The plug-in writes where it is told: never over a file it was given to read.
        for (const Document& d : documents_)
            for (const std::string* source : {&d.source_path, &d.source_data_path})
                if (!source->empty() && same_existing_file(chosen, *source)) {
                    session_errors.push_back(rec.kind + " file dialog \"" + rec.prompt + "\": the path \"" + chosen +
                                             "\" is the input \"" + *source + "\", which is never overwritten");
                    has = false;
                }
    }
    rec.answer = has ? Answer::of(chosen) : Answer::cancel();
    dialogs.push_back(rec);
    if (!has) return 0;
    std::memcpy(path, chosen.c_str(), chosen.size() + 1);
    return 1;
}

void Host::note(const std::string& text) {
    host_log.push_back(text);
    if (on_note) on_note(text);
}

int Host::save_current(const char* fmr_path, const char* second) {
    (void)second;  // the STC name always follows the FMR path
    SaveRecord rec;
    rec.fmr = fmr_path ? fmr_path : "";
    if (!rec.fmr.empty() && rec.fmr[0] != '/' && !output_dir.empty()) rec.fmr = output_dir + "/" + rec.fmr;
    const size_t dot = rec.fmr.rfind('.');
    const size_t slash = rec.fmr.rfind('/');
    rec.stc =
        (dot != std::string::npos && (slash == std::string::npos || dot > slash) ? rec.fmr.substr(0, dot) : rec.fmr) +
        ".stc";
    Document* doc = current();
    if (doc == nullptr || doc->type != kFmr) {
        rec.error = "no FMR document is current";
    } else if (rec.fmr.empty()) {
        rec.error = "the plug-in passed an empty path";
    } else if (rec.fmr.size() >= sizeof doc->fmr.FileName) {
        rec.error = "the path is longer than " + std::to_string(sizeof doc->fmr.FileName - 1) + " characters";
    } else if (hold_save && hold_save(*doc, rec)) {
        rec.ok = true;
        rec.held = true;
    } else if (saver) {
        rec.error = saver(*doc, rec.fmr, rec.stc);
        rec.ok = rec.error.empty();
    } else {
        saved_documents[rec.fmr] = *doc;
        rec.ok = true;
    }
    if (!rec.ok) note(rec.fmr.empty() ? "cannot save: " + rec.error : "cannot save \"" + rec.fmr + "\": " + rec.error);
    if (rec.ok && doc != nullptr) {
        std::memset(doc->fmr.FileName, 0, sizeof doc->fmr.FileName);
        std::strncpy(doc->fmr.FileName, rec.fmr.c_str(), sizeof doc->fmr.FileName - 1);
        if (on_saved) on_saved(*doc, rec);
    }
    saves.push_back(rec);
    return rec.ok ? 1 : 0;
}

void Host::reset() { *this = Host(); }

Host& instance() {
    static Host h;
    return h;
}

}  // namespace host
}  // namespace warpmender
