// Running a session for a subcommand: console, plug-in path, report file, exit status.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "core/atomic_file.h"
#include "cli/command.h"
#include "cli/console.h"
#include "core/error.h"
#include "formats/fmr_file.h"
#include "host/plugin_library.h"
#include "formats/sidecar.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

namespace {

// Written beside its final name and renamed, so a report is whole or absent.
void write_report(const std::string& path, const nlohmann::json& report) {
    const fs::path target(path);
    if (target.has_parent_path() && !fs::is_directory(target.parent_path()))
        throw Error("cannot write report \"" + path + "\": folder \"" + target.parent_path().string() +
                    "\" does not exist");
    try {
        AtomicFile file(path);
        // Paths and log lines are bytes, not always UTF-8 (a Latin-1 file name):
        // replaced in the report rather than failing a run that worked.
        file.write(report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        file.commit();
    } catch (const Error& e) {
        throw Error(std::string("the report could not be written: ") + e.what());
    }
}

bool same_existing_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The files a session reads: its documents, the STC beside an FMR, the sidecar beside a NIfTI image.
std::vector<std::string> input_files(const Session& session) {
    std::vector<std::string> out;
    for (const SessionDocument& d : session.documents) {
        out.push_back(d.path);
        const fs::path p(d.path);
        if (p.extension() == ".fmr" || p.extension() == ".FMR") out.push_back(stc_path_of(d.path, ""));
        if (const std::string side = sidecar_path(d.path); !side.empty()) out.push_back(side);
    }
    return out;
}

}  // namespace

void check_output_file(const std::string& option, const std::string& path, const std::vector<std::string>& inputs) {
    if (path.empty()) return;
    const fs::path target(path);
    std::error_code ec;
    if (fs::is_directory(target, ec)) throw Error(option + " \"" + path + "\" is a folder, not a file");
    if (target.has_parent_path() && !fs::is_directory(target.parent_path(), ec))
        throw Error(option + " \"" + path + "\": folder \"" + target.parent_path().string() + "\" does not exist");
    for (const std::string& input : inputs)
        if (same_existing_file(path, input))
            throw Error(option + " \"" + path + "\" is the input \"" + input + "\", which is never overwritten");
}

int execute_session(const Session& session, const CommonOptions& common, const std::vector<int>& rescale,
                    const std::function<void(Host&)>& before_calls, SessionOutcome* outcome_out) {
    // Before any work: a report or log that could not be written, or would
    // replace an input (a sidecar is a .json like a report), is refused now.
    const std::vector<std::string> inputs = input_files(session);
    check_output_file("--report", common.report, inputs);
    check_output_file("--log", common.log_file, inputs);
    Console console(common.log_file);
    TerminalResponder terminal(console);
    RunSettings settings;
    settings.plugin_path = common.plugin.empty() ? PluginLibrary::default_path() : common.plugin;
    settings.output_dir = common.out;
    settings.nifti = common.nifti;
    settings.rescale_documents = rescale;
    settings.responder = common.interactive ? &terminal : nullptr;
    settings.before_calls = before_calls;
    SessionObserver observer;
    observer.log = [&](const std::string& line) { console.plugin_log(line); };
    observer.host_note = [&](const std::string& line) { console.note(line); };
    observer.message_box = [&](const std::string& text) { console.message("message: " + text); };
    // At a terminal the status line runs for the whole session (the plug-in
    // blocks in execute() for most of it); with --interactive only while the
    // plug-in shows its busy cursor, so that it never draws over a prompt.
    if (common.interactive)
        observer.busy = [&](bool on) { console.busy(on); };
    else
        console.busy(true);

    SessionOutcome outcome = run_session(session, settings, observer);
    console.busy(false);
    if (!common.report.empty()) write_report(common.report, outcome.report);
    for (const auto& e : outcome.report["errors"]) console.message("error: " + e.get<std::string>());
    for (const std::string& m : outcome.error_messages) console.message("failed: " + m);
    for (const std::string& m : outcome.unsaved) console.message("failed: not saved: " + m);
    if (outcome_out != nullptr) *outcome_out = outcome;
    return outcome.exit_status();
}

}  // namespace host
}  // namespace warpmender
