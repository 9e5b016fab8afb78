// The substitute host: workspace, parameter store, log, dialogs and saves that the plug-in drives.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "formats/document.h"
#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

// A scripted dialog answer: an integer, a path, or a cancel (null).
struct Answer {
    enum Kind { kInteger, kPath, kCancel } kind = kCancel;
    int integer = 0;
    std::string path;
    static Answer of(int v) { return Answer{kInteger, v, {}}; }
    static Answer of(const std::string& p) { return Answer{kPath, 0, p}; }
    static Answer cancel() { return Answer{}; }
};

// What a dialog asked and what it got.
struct DialogRecord {
    std::string kind;  // "integer", "open" or "save"
    std::string prompt;
    int default_value = 0, minimum = 0, maximum = 0;  // integer dialogs
    std::string filter;                               // file dialogs
    Answer answer;
};

struct SaveRecord {
    std::string fmr, stc;
    bool ok = false;
    bool held = false;  // kept in the document unwritten: whoever held it writes it (Host::hold_save)
    std::string error;  // why not, when !ok
};

using ParameterValue = std::variant<std::string, int, float>;

// Answers dialogs in place of the queue (the terminal, with --interactive).
class Responder {
public:
    virtual ~Responder() = default;
    virtual int integer(const std::string& prompt, int default_value, int minimum, int maximum) = 0;
    virtual std::optional<std::string> path(const std::string& kind, const std::string& title,
                                            const std::string& filter) = 0;
};

// Writes a document to disk; returns an empty text on success, else why not.
using DocumentSaver =
    std::function<std::string(const Document&, const std::string& fmr_path, const std::string& stc_path)>;

class Host {
public:
    // --- workspace -------------------------------------------------------------
    int add_document(Document doc);  // returns its index (= its id)
    std::vector<Document>& documents() { return documents_; }
    const std::vector<Document>& documents() const { return documents_; }
    Document* current();  // null when no document is current
    int current_index() const { return current_; }
    bool set_current(int index);

    // --- parameters --------------------------------------------------------------
    void set_parameter(const std::string& name, ParameterValue value) { parameters_[name] = std::move(value); }
    const std::map<std::string, ParameterValue>& parameters() const { return parameters_; }
    std::string string_parameter(const std::string& name) const;
    int int_parameter(const std::string& name) const;
    float float_parameter(const std::string& name) const;
    bool has_parameter(const std::string& name) const { return parameters_.count(name) != 0; }

    // --- dialogs ---------------------------------------------------------------
    void queue_answer(Answer a) { answers_.push_back(std::move(a)); }
    size_t unused_answers() const { return answers_.size(); }
    void clear_answers() { answers_.clear(); }
    void set_responder(Responder* r) { responder_ = r; }
    int ask_integer(const char* prompt, int default_value, int minimum, int maximum);
    int ask_path(const char* kind, const char* title, const char* filter, char* path);

    // --- what the plug-in did ------------------------------------------------------
    std::vector<std::string> log;  // one entry per hsLogText call
    std::vector<std::string> message_boxes;
    std::vector<DialogRecord> dialogs;
    std::vector<SaveRecord> saves;
    std::vector<std::string> session_errors;  // unanswered or mis-typed dialogs
    std::vector<std::string> host_log;        // the host's own remarks (refused saves, cut values)
    int log_tab_shown = 0;
    int windows_updated = 0;
    // Saves made without an output directory are kept here, by saved path.
    std::map<std::string, Document> saved_documents;

    // --- version, cursor, files ------------------------------------------------------
    int version[3] = {2, 8, 0};
    int busy_depth = 0;
    int busy_shown = 0;  // how often the cursor was shown in all
    std::function<void(bool busy)> on_busy_change;
    std::function<void(const std::string&)> on_log;   // called for every log entry as it arrives
    std::function<void(const std::string&)> on_note;  // called for every host remark as it is made
    // Called after every successful save with the document as saved, so that
    // a caller can keep what it needs of a result the plug-in overwrites next.
    std::function<void(const Document&, const SaveRecord&)> on_saved;
    // A save this says yes to succeeds without writing: the data stay in the
    // document, and the caller writes them once in the form it delivers
    // (the command's corrected series, instead of the plug-in's and its own).
    std::function<bool(const Document&, const SaveRecord&)> hold_save;
    // Relative save paths are taken under this directory; empty keeps saves in memory.
    std::string output_dir;
    DocumentSaver saver;
    // The disk saver also writes each saved FMR as NIfTI (--nifti).
    bool nifti_output = false;

    int save_current(const char* fmr_path, const char* second);
    void note(const std::string& text);

    // Clears everything: documents, parameters, records, answers, settings.
    void reset();

private:
    std::vector<Document> documents_;
    int current_ = -1;
    std::map<std::string, ParameterValue> parameters_;
    std::deque<Answer> answers_;
    Responder* responder_ = nullptr;
};

// The one host of this process, behind the C functions of hostapi.h.
Host& instance();

// Longest string value the store keeps.
constexpr size_t kMaxStringParameter = 255;

}  // namespace host
}  // namespace warpmender
