// warpmender diff: the difference image A - B of two projects ("Evaluate").
#include <CLI/CLI.hpp>

#include <memory>

#include "cli/command.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace host {

struct DiffOptions {
    CommonOptions common;
    std::string a, b;
};

int run_diff(const DiffOptions& o) {
    Session s;
    s.documents = {{o.a, false}, {o.b, false}};
    SessionCall call;
    call.parameters = {{protocol::kCommand, std::string(protocol::kEvaluate)}};
    call.answers = {Answer::of(0), Answer::of(1)};  // the source, then the image subtracted from it
    s.calls.push_back(call);
    return execute_session(s, o.common);
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<DiffOptions>();
    cmd.add_option("A", o->a, "Source image")->required()->check(CLI::ExistingFile);
    cmd.add_option("B", o->b, "Image subtracted from A")->required()->check(CLI::ExistingFile);
    add_common_options(cmd, o->common);
    return [o] { return run_diff(*o); };
}
}  // namespace

extern const Subcommand subcommand_diff = {"diff", "Write the difference image A - B of two projects (as B_diffimg)",
                                           declare};

}  // namespace host
}  // namespace warpmender
