// The one sink for what the command tells its user: log lines, messages, progress, dialogs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cli/output_folder.h"
#include "core/atomic_file.h"
#include "host/host.h"

namespace warpmender {
namespace host {

// Plain lines when standard error is not a terminal; with a terminal, a
// spinner line under them naming the step the plug-in is in and the time
// since it started.
class Console {
public:
    // log_file: where the plug-in's log goes ("" = standard error).
    explicit Console(const std::string& log_file = "", bool quiet = false);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void plugin_log(const std::string& line);  // one log entry, possibly several lines
    void note(const std::string& line);        // the host's own remarks
    void message(const std::string& line);     // to standard error, always
    void busy(bool on);

    bool is_terminal() const { return tty_; }

    // Puts the log file (written under a temporary name) in place; "" when
    // done, else why not: it is never put over a file that appeared or
    // changed at its name during the run (a result of the run, say).
    std::string finish_log();

private:
    void clear_status();
    void draw_status();
    void spin();

    bool tty_ = false;
    bool quiet_ = false;
    FILE* log_ = nullptr;
    bool own_log_ = false;
    std::unique_ptr<AtomicFile> log_file_;
    FileState log_before_;
    std::mutex mutex_;
    std::string step_;
    std::chrono::steady_clock::time_point started_;
    std::atomic<bool> spinning_{false};
    std::thread spinner_;
    bool status_shown_ = false;
    int frame_ = 0;
};

// Asks the person at the terminal instead of the queue (--interactive).
class TerminalResponder : public Responder {
public:
    explicit TerminalResponder(Console& console) : console_(console) {}
    int integer(const std::string& prompt, int default_value, int minimum, int maximum) override;
    std::optional<std::string> path(const std::string& kind, const std::string& title,
                                    const std::string& filter) override;

private:
    Console& console_;
};

// "<HTML>Pick<P>\n\n0 = a.fmr<BR>\n</HTML>" -> "Pick\n0 = a.fmr": tags removed, <BR>/<P> as
// line breaks, raw line breaks as in HTML ignored.
std::string plain_text(const std::string& html);

}  // namespace host
}  // namespace warpmender
