// warpmender polar: magnitude and phase from a real/imaginary pair ("CreatePolarFile").
#include <CLI/CLI.hpp>

#include <memory>

#include "cli/command.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace host {

struct PolarOptions {
    CommonOptions common;
    std::string real, imag;
};

int run_polar(const PolarOptions& o) {
    Session s;
    s.documents = {{o.real, false}, {o.imag, false}};
    SessionCall call;
    call.parameters = {{protocol::kCommand, std::string(protocol::kCreatePolarFile)},
                       {protocol::kRealFile, o.real},
                       {protocol::kImagFile, o.imag}};
    call.answers = {Answer::of(0), Answer::of(1)};  // the real part first
    s.calls.push_back(call);
    return execute_session(s, o.common);
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<PolarOptions>();
    cmd.add_option("--real", o->real, "Real part")->required()->check(CLI::ExistingFile);
    cmd.add_option("--imag", o->imag, "Imaginary part")->required()->check(CLI::ExistingFile);
    add_common_options(cmd, o->common);
    return [o] { return run_polar(*o); };
}
}  // namespace

extern const Subcommand subcommand_polar = {"polar", "Build magnitude and phase images from a real/imaginary pair",
                                            declare};

}  // namespace host
}  // namespace warpmender
