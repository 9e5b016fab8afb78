// Sessions: documents to open and protocol calls to make, replayed against the plug-in, with a report.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host.h"

namespace warpmender {
namespace host {

// A session file larger than this is refused unread.
constexpr uint64_t kMostSessionBytes = 64u << 20;

struct SessionDocument {
    std::string path;  // absolute, or relative to the session file's folder
    bool as_anatomy = false;
};

struct SessionCall {
    std::vector<std::pair<std::string, ParameterValue>> parameters;  // in the file's order
    std::vector<Answer> answers;
};

struct Session {
    std::string host_version = "2.8.0";
    std::string output_dir;  // empty: the current directory
    std::vector<SessionDocument> documents;
    std::vector<SessionCall> calls;
};

// Reads a session file; throws Error naming the file and the field at fault.
// Relative paths become relative to the file's folder.
Session parse_session_file(const std::string& path);
// The same from text already read; base_dir resolves relative paths.
Session parse_session_text(const std::string& text, const std::string& source, const std::string& base_dir);

// How a session is run.
struct RunSettings {
    std::string plugin_path;                  // libwarpmender.so
    std::string output_dir;                   // overrides the session's when not empty
    bool nifti = false;                       // every save also as NIfTI
    std::vector<int> rescale_documents;       // indices of documents rescaled to 0..4095 on opening
    Responder* responder = nullptr;           // --interactive
    std::function<void(Host&)> before_calls;  // after the documents are open, before the first call
    // After call i ended without failure, before call i + 1: a caller may add
    // the documents that later calls' answers name. Not called after the last.
    std::function<void(Host&, size_t i)> between_calls;
    std::function<void(const Document&, const SaveRecord&)> on_saved;   // Host::on_saved
    std::function<bool(const Document&, const SaveRecord&)> hold_save;  // Host::hold_save
};

// What happened; the report file is its JSON form.
struct SessionOutcome {
    nlohmann::json report;
    bool session_error = false;               // bad document, unanswered dialog, unused answer
    bool plugin_failed = false;               // some call ended with "ErrorNr" -1
    std::vector<std::string> error_messages;  // "ErrorMsg" of failed calls
    // Results that were not saved, whatever the plug-in made of it (it ignores
    // some save results): "cannot save \"out/a_b0.fmr\": No space left on device"
    std::vector<std::string> unsaved;
    int exit_status() const { return session_error ? 2 : plugin_failed || !unsaved.empty() ? 1 : 0; }
};

// Called for every plug-in log line as it arrives, and around busy spells.
struct SessionObserver {
    std::function<void(const std::string&)> log;
    std::function<void(const std::string&)> host_note;
    std::function<void(const std::string&)> message_box;
    std::function<void(bool)> busy;
};

// Loads the plug-in, opens the documents and makes the calls. Errors in the
// documents or the plug-in itself throw Error before any call is made.
SessionOutcome run_session(const Session& session, const RunSettings& settings, const SessionObserver& observer);

// "2.8.0" -> {2, 8, 0}; throws Error on anything else.
void parse_version(const std::string& text, int out[3]);

}  // namespace host
}  // namespace warpmender
