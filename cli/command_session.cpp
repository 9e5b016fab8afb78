// Running a session for a subcommand: console, plug-in path, report file, exit status.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/command.h"
#include "cli/console.h"
#include "cli/interrupt.h"
#include "cli/output_folder.h"
#include "cli/run_lock.h"
#include "cli/run_preflight.h"
#include "core/atomic_file.h"
#include "core/error.h"
#include "formats/fmr_file.h"
#include "formats/sidecar.h"
#include "host/plugin_library.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

namespace {

// Written beside its final name and renamed, so a report is whole or absent;
// never over a file that appeared or changed at its name during the run.
void write_report(const std::string& path, const nlohmann::json& report, const FileState& before) {
    if (!same_state(file_state(path), before))
        throw Error("the report was not written to \"" + path +
                    "\": a file appeared or changed there during the "
                    "run (one of its results?), which the report never replaces");
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
    struct stat sa {
    }, sb{};
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
                    const SessionHooks& hooks, SessionOutcome* outcome_out) {
    // Before any work: a report or log that could not be written, or would
    // replace an input (a sidecar is a .json like a report), is refused now.
    const std::vector<std::string> inputs = input_files(session);
    check_output_file("--report", common.report, inputs);
    check_output_file("--log", common.log_file, inputs);
    // Every cheap fact before a voxel is read or a byte written: the output
    // folder, every input's header and size, the previews, the names, the memory.
    std::string out_dir = common.out.empty() ? session.output_dir : common.out;
    if (out_dir.empty()) out_dir = fs::current_path().string();
    out_dir = fs::absolute(out_dir).lexically_normal().string();
    preflight_session(session, out_dir);
    refuse_result_name("--report", common.report, out_dir);
    refuse_result_name("--log", common.log_file, out_dir);
    if (!common.report.empty() && !common.log_file.empty() &&
        fs::absolute(common.report).lexically_normal() == fs::absolute(common.log_file).lexically_normal())
        throw Error("--report and --log name the same file \"" + common.report + "\"");
    prepare_output_folder(out_dir);
    // One run at a time per folder; an interrupted run removes what it was writing.
    install_interrupt_handlers();
    const RunLock lock(out_dir);
    watch_folder_on_interrupt(out_dir);
    const std::vector<std::string> stale = remove_stale_temporaries(out_dir);
    const FileState report_before = file_state(common.report);
    Console console(common.log_file);
    if (!stale.empty())
        console.note("removed " + std::to_string(stale.size()) + " temporary file(s) left in \"" + out_dir +
                     "\" by runs that ended without finishing them (\"" + stale.front() + "\"" +
                     (stale.size() > 1 ? ", ..." : "") + ")");
    TerminalResponder terminal(console);
    RunSettings settings;
    settings.plugin_path = common.plugin.empty() ? PluginLibrary::default_path() : common.plugin;
    settings.output_dir = common.out;
    settings.nifti = common.nifti;
    settings.rescale_documents = rescale;
    settings.responder = common.interactive ? &terminal : nullptr;
    settings.before_calls = hooks.before_calls;
    settings.between_calls = hooks.between_calls;
    settings.on_saved = hooks.on_saved;
    settings.hold_save = hooks.hold_save;
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
    const std::string log_problem = console.finish_log();
    if (!log_problem.empty()) console.message("error: " + log_problem);
    if (!common.report.empty()) write_report(common.report, outcome.report, report_before);
    for (const auto& e : outcome.report["errors"]) console.message("error: " + e.get<std::string>());
    for (const std::string& m : outcome.error_messages) console.message("failed: " + m);
    for (const std::string& m : outcome.unsaved) console.message("failed: not saved: " + m);
    if (outcome_out != nullptr) *outcome_out = outcome;
    if (!log_problem.empty()) return kExitBadInput;
    if (outcome.exit_status() != kExitOk || !hooks.after_calls) return outcome.exit_status();
    return hooks.after_calls(instance());
}

}  // namespace host
}  // namespace warpmender
