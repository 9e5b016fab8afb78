// The warpmender command: exit statuses, the options every subcommand shares, the correction plan.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "cli/session.h"

namespace CLI {
class App;
}

namespace warpmender {
namespace host {

// Exit statuses of the command.
constexpr int kExitOk = 0;
constexpr int kExitPluginFailed = 1;  // "ErrorNr" -1
constexpr int kExitBadInput = 2;      // usage, unreadable or malformed input, bad session

struct CommonOptions {
    std::string out;       // --out DIR
    std::string log_file;  // --log FILE
    std::string report;    // --report FILE
    bool nifti = false;
    bool interactive = false;
    std::string plugin;  // --plugin PATH (defaults to the library beside the command)
};

// The options of `correct`; `demo` fills them too.
struct CorrectOptions {
    CommonOptions common;
    // The field map: a phase difference (phase), two phase images (phase1,
    // phase2) or a field map in Hz or rad/s (fieldmap); each with magnitude.
    std::string phase, phase1, phase2, fieldmap, magnitude, epi, anatomy;
    std::string fieldmap_units;  // overrides the field map's sidecar "Units"
    bool no_jacobian = false;
    std::string pe_check = "warn";  // warn, strict, off
    std::optional<double> echo_time_diff_ms;
    std::optional<double> bandwidth_hz;
    std::string pe_dir;
    std::string method = "quality";
    int cycles = 3;
    int iterations = 5;
    int relax_iterations = 200;
    double regularisation = 0.1;
    bool no_radians = false;
    bool mask_laplacian = false;
    bool two_pi = false;
    bool rescale_magnitude = false;
};

// Declares --out, --log, --report (with_report), --nifti, --interactive and --plugin on cmd.
void add_common_options(CLI::App& cmd, CommonOptions& c, bool with_report = true);

// One subcommand: its name, its one-line help, and the function that
// declares its options on cmd and returns what runs it once they are parsed.
// Each lives in its own file, options beside the run function, and is listed
// once in cli/subcommands.cpp.
struct Subcommand {
    const char* name;
    const char* help;
    std::function<int()> (*declare)(CLI::App& cmd);
};

// Every subcommand, in the order the help lists them.
const std::vector<const Subcommand*>& subcommands();

// Where the field comes from.
enum class FieldSource { kPhaseDifference, kTwoPhases, kDirect };

// One acquisition value used, and where it came from.
struct PlannedValue {
    std::string name, value, source;
};

// What a correction used, and where each value came from.
struct CorrectionPlan {
    Session session;
    std::vector<std::string> provenance;  // "echo-time difference: 2.46 ms (--echo-time-diff)"
    std::vector<PlannedValue> values;     // the same, for the report
    FieldSource source = FieldSource::kPhaseDifference;
    int pe_code = 0;
    double echo_time_diff_ms = 0.0;  // 0 for a direct field map
    double bandwidth_hz = 0.0;
    std::optional<std::string> units;  // of a direct field map
    std::string units_source;          // where they came from
};
// The values of a correction and the documents it opens (field source,
// magnitude, EPI, anatomy); throws Error when a value is neither given nor
// found in a sidecar, or is out of range. The calls are made by run_correct.
CorrectionPlan plan_correction(const CorrectOptions& o);

// What a finished correction wrote.
struct CorrectionOutputs {
    std::string corrected, field_map, shift_map, fold_mask, report_html, report_json;
};
// The whole correction of one run; returns the exit status.
int run_correct(const CorrectOptions& o, CorrectionOutputs* outputs = nullptr);

// Refuses an output file given as option (--report, --log) that is a folder,
// lies in a missing folder, or is one of inputs. Throws Error naming the option.
void check_output_file(const std::string& option, const std::string& path, const std::vector<std::string>& inputs);

// What a command does around the plug-in's calls (see RunSettings and Host).
struct SessionHooks {
    std::function<void(Host&)> before_calls;
    std::function<void(Host&, size_t)> between_calls;
    std::function<void(const Document&, const SaveRecord&)> on_saved;
    std::function<bool(const Document&, const SaveRecord&)> hold_save;
    // After a session that succeeded, with the output folder still locked:
    // the command's own work on the results; its status is the run's.
    std::function<int(Host&)> after_calls;
};

// Runs a session with the console and the common options; writes the report;
// returns the exit status. --report and --log are checked before any work.
int execute_session(const Session& session, const CommonOptions& common, const std::vector<int>& rescale = {},
                    const SessionHooks& hooks = {}, SessionOutcome* outcome_out = nullptr);

}  // namespace host
}  // namespace warpmender
