// warpmender bids: a whole BIDS dataset, each planned series corrected by a child `correct`, derivatives in BIDS names.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "bids/correct_call.h"
#include "bids/dataset_files.h"
#include "bids/derivatives.h"
#include "bids/discovery.h"
#include "bids/error.h"
#include "bids/plan.h"
#include "bids/rerun.h"
#include "cli/child_process.h"
#include "cli/command.h"
#include "cli/run_lock.h"
#include "core/error.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

struct BidsOptions {
    std::string bids_dir, output_dir, level;
    std::vector<std::string> participants, sessions, tasks;
    int nprocs = 1;
    std::string work_dir;
    bool keep_work = false;
    bool dry_run = false;
    bool json = false;
    std::string run;         // one planned series alone (the Snakefile's jobs)
    bool write_index = false;  // the dataset's files alone (the Snakefile's last rule)
    bids::CorrectSettings settings;
    std::string plugin;
};

namespace {

const char* kVersion = WARPMENDER_VERSION;
constexpr const char* kDefaultWork = ".warpmender-work";

volatile std::sig_atomic_t g_signal = 0;
extern "C" void on_signal(int sig) { g_signal = sig; }

// Without SA_RESTART, so that a wait returns at once and the children are told.
void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string last_line(const std::string& text) {
    std::istringstream in(text);
    std::string line, last;
    while (std::getline(in, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
    return last;
}

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char b[32];
    if (s >= 3600)
        std::snprintf(b, sizeof b, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(b, sizeof b, "%ld:%02ld", s / 60, s % 60);
    return b;
}

enum class Result { kCorrected, kUpToDate, kSkipped, kFailed };
const char* result_name(Result r) {
    switch (r) {
        case Result::kCorrected: return "corrected";
        case Result::kUpToDate: return "up to date";
        case Result::kSkipped: return "skipped";
        case Result::kFailed: return "failed";
    }
    return "?";
}

struct Line {
    std::string run;
    Result result;
    std::string detail;
};

// The run's name of a series not planned (skipped or failed by discovery).
std::string run_of(const bids::Series& s) {
    bids::FileName bare = s.name;
    bare.extension.clear();
    return bids::format_file_name(bare);
}

// The report's warnings (a flipped phase-encoding sense above all), for the summary: "warning: ... (and 2 more)".
std::string warnings_of(const std::string& report_json) {
    if (report_json.empty()) return "";
    const nlohmann::json j = nlohmann::json::parse(read_text(report_json), nullptr, false);
    if (!j.is_object() || !j.contains("warnings") || !j["warnings"].is_array() || j["warnings"].empty()) return "";
    const nlohmann::json& w = j["warnings"];
    std::string text = "warning: " + (w[0].is_string() ? w[0].get<std::string>() : w[0].dump());
    if (w.size() > 1) text += " (and " + std::to_string(w.size() - 1) + " more; see the report)";
    return text;
}

class Batch {
public:
    Batch(const BidsOptions& o, const bids::Plan& plan, std::string work)
        : o_(o), plan_(plan), work_(std::move(work)), tty_(isatty(2) == 1) {}

    // Runs the planned series given (indices into plan.series), nprocs at a time.
    // Returns false when a signal stopped the batch.
    bool run(const std::vector<std::size_t>& series) {
        start_ = std::chrono::steady_clock::now();
        total_ = series.size();
        std::size_t next = 0;
        while (next < series.size() || !running_.empty()) {
            while (g_signal == 0 && next < series.size() && running_.size() < static_cast<std::size_t>(o_.nprocs)) {
                start(series[next++]);
                progress();
            }
            if (running_.empty()) break;
            const ChildExit e = wait_child();
            if (g_signal != 0) {
                stop_children();
                return false;
            }
            if (e.pid < 0) continue;
            const auto it = running_.find(e.pid);
            if (it == running_.end()) continue;
            const std::size_t index = it->second;
            running_.erase(it);
            finish(index, e);
            ++done_;
            progress();
        }
        if (tty_ && total_ > 0) std::cerr << "\n";
        return g_signal == 0;
    }

    std::vector<Line>& lines() { return lines_; }

private:
    std::string run_folder(std::size_t i) const { return (fs::path(work_) / plan_.series[i].outputs.run).string(); }

    void start(std::size_t i) {
        const bids::SeriesPlan& p = plan_.series[i];
        const std::string folder = run_folder(i);
        try {
            std::error_code ec;
            fs::remove_all(folder, ec);
            fs::create_directories(folder + "/correct", ec);
            if (ec) throw Error("cannot create the work folder \"" + folder + "\": " + ec.message());
            bids::CorrectCall call = bids::correct_call(p, folder + "/correct", o_.settings);
            if (!o_.plugin.empty()) {
                call.arguments.insert(call.arguments.end() - 2, "--plugin");
                call.arguments.insert(call.arguments.end() - 2, o_.plugin);
            }
            const pid_t pid = start_self(call.arguments, folder + "/stdout.txt", folder + "/stderr.txt");
            running_[pid] = i;
            calls_[i] = std::move(call);
        } catch (const std::exception& e) {
            lines_.push_back({p.outputs.run, Result::kFailed, e.what()});
            ++done_;
        }
    }

    void finish(std::size_t i, const ChildExit& e) {
        const bids::SeriesPlan& p = plan_.series[i];
        const std::string folder = run_folder(i);
        if (e.status != 0 || e.signal != 0) {
            std::string why = last_line(read_text(folder + "/stderr.txt"));
            if (why.empty()) why = "correct ended with no message";
            lines_.push_back({p.outputs.run, Result::kFailed,
                              why + " (" + describe(e) + "; its log: " + folder + "/stderr.txt)"});
            return;
        }
        std::string warnings;
        try {
            const bids::CorrectOutputs produced = bids::parse_correct_output(read_text(folder + "/stdout.txt"));
            bids::Producer producer;
            producer.version = kVersion;
            bids::install_derivatives(p, calls_[i], o_.settings, produced, producer);
            warnings = warnings_of(produced.report_json);
        } catch (const std::exception& x) {
            lines_.push_back({p.outputs.run, Result::kFailed, x.what()});
            return;
        }
        lines_.push_back({p.outputs.run, Result::kCorrected, warnings});
        if (!o_.keep_work) {
            std::error_code ec;
            fs::remove_all(folder, ec);
        }
    }

    void stop_children() {
        for (const auto& [pid, index] : running_) ::kill(pid, g_signal);
        while (!running_.empty()) {
            const ChildExit e = wait_child();
            if (e.pid < 0 && errno == ECHILD) break;
            running_.erase(e.pid);
        }
        if (tty_) std::cerr << "\n";
    }

    void progress() {
        if (total_ == 0) return;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::ostringstream s;
        s << "[" << done_ << "/" << total_ << "] elapsed " << clock_text(elapsed);
        if (done_ > 0 && done_ < total_)
            s << ", about " << clock_text(elapsed / static_cast<double>(done_) * static_cast<double>(total_ - done_))
              << " left";
        if (!running_.empty()) {
            s << "; at work:";
            for (const auto& [pid, index] : running_) s << " " << plan_.series[index].outputs.run;
        }
        if (tty_)
            std::cerr << "\r\033[K" << s.str() << std::flush;
        else
            std::cerr << s.str() << "\n" << std::flush;
    }

    const BidsOptions& o_;
    const bids::Plan& plan_;
    std::string work_;
    bool tty_;
    std::chrono::steady_clock::time_point start_;
    std::size_t total_ = 0, done_ = 0;
    std::map<pid_t, std::size_t> running_;
    std::map<std::size_t, bids::CorrectCall> calls_;
    std::vector<Line> lines_;
};

void print_summary(const std::vector<Line>& lines) {
    std::size_t counts[4] = {0, 0, 0, 0};
    std::size_t width = 0;
    for (const Line& l : lines) {
        ++counts[static_cast<int>(l.result)];
        width = std::max(width, l.run.size());
    }
    std::cout << "\nSummary: " << counts[0] << " corrected, " << counts[1] << " up to date, " << counts[2]
              << " skipped, " << counts[3] << " failed\n";
    for (Result r : {Result::kCorrected, Result::kUpToDate, Result::kSkipped, Result::kFailed})
        for (const Line& l : lines)
            if (l.result == r) {
                std::string name = l.run;
                name.resize(width, ' ');
                std::string status = result_name(r);
                status.resize(11, ' ');
                std::cout << "  " << status << " " << name << (l.detail.empty() ? "" : "  " + l.detail) << "\n";
            }
}

// An output folder that is the dataset or a subject's folder in it would mix derivatives into the raw data.
void refuse_output_in_dataset(const std::string& bids_dir, const std::string& output_dir) {
    const fs::path rel = fs::path(output_dir).lexically_relative(bids_dir);
    const std::string first = rel.empty() ? "" : rel.begin()->string();
    if (rel == "." || (!first.empty() && first != ".." && first.rfind("sub-", 0) == 0))
        throw Error("the output folder \"" + output_dir + "\" lies in the dataset's own data (\"" + bids_dir +
                    "\"); use a folder outside it, or " + bids_dir + "/derivatives/warpmender");
}

std::string absolute(const std::string& p) { return fs::absolute(p).lexically_normal().string(); }

std::string strip_slash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

void remove_if_empty(const std::string& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec) && fs::is_empty(folder, ec)) fs::remove(folder, ec);
}

}  // namespace

int run_bids(const BidsOptions& o) {
    if (o.level != "participant")
        throw Error("analysis level \"" + o.level + "\": warpmender works at the \"participant\" level only");
    const std::string bids_dir = strip_slash(absolute(o.bids_dir));
    const std::string output_dir = strip_slash(absolute(o.output_dir));
    const std::string work = strip_slash(absolute(o.work_dir.empty() ? output_dir + "/" + kDefaultWork : o.work_dir));
    refuse_output_in_dataset(bids_dir, output_dir);
    refuse_output_in_dataset(bids_dir, work);

    bids::DiscoveryOptions d;
    d.participant_labels = o.participants;
    d.session_labels = o.sessions;
    d.tasks = o.tasks;
    bids::Plan plan;
    try {
        plan = bids::make_plan(bids::discover(bids_dir, d), output_dir);
    } catch (const bids::Error& e) {
        throw Error(e.what());
    }

    if (o.write_index) {
        try {
            bids::write_dataset_files(bids_dir, output_dir, kVersion);
        } catch (const bids::Error& e) {
            throw Error(e.what());
        }
        remove_if_empty(work);
        std::cout << "index: " << bids::index_path(output_dir) << "\n";
        return kExitOk;
    }
    if (o.dry_run) {
        if (o.json) {
            nlohmann::json j = bids::plan_json(plan);
            j["work_dir"] = work;
            for (std::size_t i = 0; i < plan.series.size(); ++i) {
                const bids::RerunState s = bids::rerun_state(plan.series[i].outputs.with_report(), plan.series[i].inputs);
                j["series"][i]["up_to_date"] = s.complete;
            }
            std::cout << j.dump(2) << "\n";
        } else {
            std::cout << bids::plan_text(plan);
        }
        return kExitOk;
    }

    catch_signals();
    std::vector<Line> lines;
    std::vector<std::size_t> due;
    std::unique_ptr<RunLock> lock;
    std::error_code ec;
    fs::create_directories(output_dir, ec);
    if (ec) throw Error("cannot create the output folder \"" + output_dir + "\": " + ec.message());

    if (!o.run.empty()) {
        // One series of the plan, by its run's name.
        const auto planned = std::find_if(plan.series.begin(), plan.series.end(),
                                          [&](const bids::SeriesPlan& p) { return p.outputs.run == o.run; });
        if (planned == plan.series.end()) {
            for (const auto& [list, result] :
                 {std::pair{&plan.skipped, Result::kSkipped}, std::pair{&plan.failed, Result::kFailed}})
                for (const bids::Excluded& e : *list)
                    if (run_of(e.series) == o.run) {
                        std::cout << o.run << ": " << result_name(result) << ": " << e.reason << "\n";
                        return result == Result::kFailed ? kExitPluginFailed : kExitOk;
                    }
            throw Error("--run \"" + o.run + "\": no such series in the plan of \"" + bids_dir +
                        "\" (warpmender bids --dry-run lists them)");
        }
        due.push_back(static_cast<std::size_t>(planned - plan.series.begin()));
    } else {
        lock = std::make_unique<RunLock>(output_dir);
        for (std::size_t i = 0; i < plan.series.size(); ++i) due.push_back(i);
        for (const bids::Excluded& e : plan.skipped) lines.push_back({run_of(e.series), Result::kSkipped, e.reason});
        for (const bids::Excluded& e : plan.failed) lines.push_back({run_of(e.series), Result::kFailed, e.reason});
    }
    // A rerun leaves alone what is complete and newer than its inputs.
    std::vector<std::size_t> todo;
    for (std::size_t i : due) {
        const bids::SeriesPlan& p = plan.series[i];
        if (bids::rerun_state(p.outputs.with_report(), p.inputs).complete)
            lines.push_back({p.outputs.run, Result::kUpToDate, ""});
        else
            todo.push_back(i);
    }

    Batch batch(o, plan, work);
    const bool whole = batch.run(todo);
    lines.insert(lines.end(), batch.lines().begin(), batch.lines().end());
    if (!whole) {
        std::cerr << "warpmender bids: stopped by signal " << g_signal << "; the series under way are left in \""
                  << work << "\"\n";
        return 128 + g_signal;
    }
    if (o.run.empty()) {
        try {
            bids::write_dataset_files(bids_dir, output_dir, kVersion);
        } catch (const bids::Error& e) {
            lines.push_back({"(dataset)", Result::kFailed, e.what()});
        }
        if (!o.keep_work) remove_if_empty(work);
    }
    print_summary(lines);
    const bool failed =
        std::any_of(lines.begin(), lines.end(), [](const Line& l) { return l.result == Result::kFailed; });
    return failed ? kExitPluginFailed : kExitOk;
}

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<BidsOptions>();
    cmd.add_option("bids_dir", o->bids_dir, "The BIDS dataset")->required()->check(CLI::ExistingDirectory);
    cmd.add_option("output_dir", o->output_dir, "Folder of the derivatives (created)")->required();
    cmd.add_option("analysis_level", o->level, "participant")->required();
    cmd.add_option("--participant-label", o->participants, "Only these subjects (\"01\" or \"sub-01\")");
    cmd.add_option("--session-label", o->sessions, "Only these sessions (\"1\" or \"ses-1\")");
    cmd.add_option("--task", o->tasks, "Only series of these tasks (\"rest\" or \"task-rest\")");
    cmd.add_option("--nprocs", o->nprocs, "Series corrected at once, each in a process of its own")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    cmd.add_option("--work-dir", o->work_dir,
                   "Folder of the corrections' intermediates (default OUTPUT_DIR/.warpmender-work); a series' "
                   "part is removed once its derivatives are in place");
    cmd.add_flag("--keep-work", o->keep_work, "Keep the intermediates of corrected series");
    CLI::Option* dry = cmd.add_flag(
        "--dry-run", o->dry_run,
        "Print the plan (each series, its field map, the values and where they come from) and stop");
    cmd.add_flag("--json", o->json, "With --dry-run: the plan as JSON")->needs(dry);
    cmd.add_option("--method", o->settings.method, "Unwrapping of the field map's phase")
        ->check(CLI::IsMember({"quality", "multigrid", "relax"}))
        ->capture_default_str();
    cmd.add_flag("--no-jacobian", [o](std::int64_t) { o->settings.jacobian = false; },
                 "No intensity correction by the shift's Jacobian");
    cmd.add_option("--plugin", o->plugin, "Path of libwarpmender.so (default: beside the command, or ../lib)");
    cmd.add_option("--run", o->run, "Correct this series of the plan alone (its name without extension)")
        ->group("");
    cmd.add_flag("--write-index", o->write_index, "Write dataset_description.json and index.html alone")->group("");
    return [o] { return run_bids(*o); };
}
}  // namespace

extern const Subcommand subcommand_bids = {
    "bids",
    "Correct every EPI series of a BIDS dataset that a field map serves (BIDS_DIR OUTPUT_DIR participant): "
    "field maps found by IntendedFor or B0FieldIdentifier/B0FieldSource, values from the sidecars with "
    "inheritance, derivatives under BIDS names with their sidecars, a report per series and an index. "
    "Exit status 0 when no series failed, 1 when one did, 2 bad usage or an unreadable dataset.",
    declare};

}  // namespace host
}  // namespace warpmender
