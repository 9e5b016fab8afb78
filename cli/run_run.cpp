// warpmender run: replays a session file.
#include <CLI/CLI.hpp>

#include <memory>

#include "cli/command.h"

namespace warpmender {
namespace host {

struct RunOptions {
    CommonOptions common;
    std::string session;
};

int run_run(const RunOptions& o) {
    const Session session = parse_session_file(o.session);
    check_output_file("--report", o.common.report, {o.session});
    check_output_file("--log", o.common.log_file, {o.session});
    return execute_session(session, o.common);
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<RunOptions>();
    cmd.add_option("session", o->session, "Session file (JSON); see examples/")->required()->check(CLI::ExistingFile);
    add_common_options(cmd, o->common);
    return [o] { return run_run(*o); };
}
}  // namespace

extern const Subcommand subcommand_run = {
    "run", "Replay a session file (documents to open, protocol calls with parameters and dialog answers)", declare};

}  // namespace host
}  // namespace warpmender
