// Running a session for a subcommand: console, plug-in path, report file, exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "host/command.h"
#include "host/console.h"
#include "host/error.h"
#include "host/plugin_library.h"

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
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw Error("cannot write report \"" + path + "\": " + std::strerror(errno));
        out << report.dump(2) << "\n";
        out.flush();
        if (!out) {
            out.close();
            std::remove(temp.c_str());
            throw Error("cannot write report \"" + path + "\": the write failed (disk full?)");
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(temp.c_str());
        throw Error("cannot write report \"" + path + "\": " + why);
    }
}

}  // namespace

int execute_session(const Session& session, const CommonOptions& common, const std::vector<int>& rescale,
                    const std::function<void(Host&)>& before_calls, SessionOutcome* outcome_out) {
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
    observer.busy = [&](bool on) { console.busy(on); };

    SessionOutcome outcome = run_session(session, settings, observer);
    console.busy(false);
    if (!common.report.empty()) write_report(common.report, outcome.report);
    for (const auto& e : outcome.report["errors"]) console.message("error: " + e.get<std::string>());
    for (const std::string& m : outcome.error_messages) console.message("failed: " + m);
    if (outcome_out != nullptr) *outcome_out = outcome;
    return outcome.exit_status();
}

}  // namespace host
}  // namespace warpmender
