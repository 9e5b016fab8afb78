// The table of subcommands, and the options they share.
#include <CLI/CLI.hpp>

#include "cli/command.h"

// Every subcommand, in the order the help lists them. Adding one: a file
// cli/run_<name>.cpp that defines subcommand_<name> (its options beside its
// run function) and one line here.
#define WARPMENDER_SUBCOMMANDS(X) \
    X(info)                       \
    X(run)                        \
    X(correct)                    \
    X(polar)                      \
    X(diff)                       \
    X(demo)                       \
    X(bids)                       \
    /* one line above per subcommand */

namespace warpmender {
namespace host {

#define WARPMENDER_DECLARE_SUBCOMMAND(name) extern const Subcommand subcommand_##name;
WARPMENDER_SUBCOMMANDS(WARPMENDER_DECLARE_SUBCOMMAND)
#undef WARPMENDER_DECLARE_SUBCOMMAND

const std::vector<const Subcommand*>& subcommands() {
#define WARPMENDER_LIST_SUBCOMMAND(name) &subcommand_##name,
    static const std::vector<const Subcommand*> all = {WARPMENDER_SUBCOMMANDS(WARPMENDER_LIST_SUBCOMMAND)};
#undef WARPMENDER_LIST_SUBCOMMAND
    return all;
}

void add_common_options(CLI::App& app, CommonOptions& c, bool with_report) {
    app.add_option("--out", c.out, "Folder for every result (created with its parents; default: the current folder)");
    app.add_option("--log", c.log_file, "Write the plug-in's log to this file instead of standard error");
    if (with_report) app.add_option("--report", c.report, "Write a JSON report of every call to this file");
    app.add_flag("--nifti", c.nifti,
                 "Results of FMR inputs also as NIfTI (.nii.gz); results of NIfTI inputs are NIfTI anyway");
    app.add_flag("--fmr", c.fmr,
                 "Results of NIfTI inputs also as FMR/STC; results of FMR inputs are FMR/STC anyway");
    app.add_flag("--interactive", c.interactive,
                 "Ask document choices, file choosers and numbers at the terminal instead of answering them "
                 "from the session");
    app.add_option("--plugin", c.plugin, "Path of libwarpmender.so (default: beside the command, or ../lib)");
}

}  // namespace host
}  // namespace warpmender
