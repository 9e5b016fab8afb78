// Terminal output of the command: log lines, spinner with the current step, interactive dialogs.
#include "cli/console.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/interrupt.h"
#include "core/error.h"
#include "hostlink/protocol.h"

namespace warpmender {
namespace host {

namespace {

// Log lines of the plug-in that begin a step worth showing on the status line.
const char* const kStepLines[] = {
    protocol::kStartedUnwrapping,
    protocol::kUnwrappingViaRelaxation,
    protocol::kUnwrappingViaMultigrid,
    protocol::kApplySmoothing,
    protocol::kComputeFieldInhomogeneity,
    protocol::kComputePixelShiftMap,
    protocol::kUndistortInDirection,
    protocol::kGetLaplacian,
    protocol::kSolve,
};

std::string lowercase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string plain_text(const std::string& html) {
    // As a browser would: raw line breaks are white space, <BR> and <P> break lines.
    std::string out;
    for (size_t i = 0; i < html.size(); ++i) {
        if (html[i] == '\n' || html[i] == '\r') continue;
        if (html[i] != '<') {
            out += html[i];
            continue;
        }
        const size_t end = html.find('>', i);
        if (end == std::string::npos) {
            out += html.substr(i);
            break;
        }
        const std::string tag = lowercase(html.substr(i + 1, end - i - 1));
        if (tag == "br" || tag == "br/" || tag == "p" || tag == "/p") out += '\n';
        i = end;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

Console::Console(const std::string& log_file, bool quiet) : quiet_(quiet) {
    tty_ = isatty(STDERR_FILENO) == 1;
    if (!log_file.empty()) {
        // Beside its name, exclusively and never through a link; renamed into place by finish_log.
        log_before_ = file_state(log_file);
        try {
            log_file_ = std::make_unique<AtomicFile>(log_file);
        } catch (const Error& e) {
            throw Error(std::string("cannot write log file: ") + e.what());
        }
        log_ = log_file_->stream();
        own_log_ = true;
    } else {
        log_ = stderr;
    }
    started_ = std::chrono::steady_clock::now();
}

Console::~Console() {
    busy(false);
    if (spinner_.joinable()) spinner_.join();
    if (own_log_) finish_log();
}

std::string Console::finish_log() {
    if (!log_file_) return {};
    std::unique_ptr<AtomicFile> file = std::move(log_file_);
    log_ = stderr;
    own_log_ = false;
    if (!same_state(file_state(file->target()), log_before_))
        return "the log was not written to \"" + file->target() +
               "\": a file appeared or changed there during the run (one of its results?), which the log never replaces";
    try {
        file->commit();
    } catch (const Error& e) {
        return std::string("the log could not be written: ") + e.what();
    }
    return {};
}

void Console::clear_status() {
    if (status_shown_) {
        std::fputs("\r\033[K", stderr);
        status_shown_ = false;
    }
}

void Console::draw_status() {
    static const char* const kFrames[] = {"|", "/", "-", "\\"};
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(stderr, "\r\033[K%s %s (%.1f s)", kFrames[frame_++ % 4], step_.empty() ? "working" : step_.c_str(),
                 seconds);
    std::fflush(stderr);
    status_shown_ = true;
}

void Console::plugin_log(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const char* s : kStepLines)
        if (line.rfind(s, 0) == 0) step_ = line.substr(0, line.find('\n'));
    if (quiet_ && log_ == stderr) return;
    if (log_ == stderr) clear_status();
    std::fprintf(log_, "%s\n", line.c_str());
    if (log_ == stderr && spinning_) draw_status();
    std::fflush(log_);
}

void Console::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    clear_status();
    std::fprintf(stderr, "host: %s\n", line.c_str());
    if (log_ != stderr) std::fprintf(log_, "host: %s\n", line.c_str());
    if (spinning_) draw_status();
}

void Console::message(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    clear_status();
    std::fprintf(stderr, "%s\n", line.c_str());
    if (spinning_) draw_status();
}

void Console::busy(bool on) {
    if (!tty_) return;
    if (on && !spinning_) {
        if (spinner_.joinable()) spinner_.join();
        spinning_ = true;
        const InterruptsBlocked main_thread_takes_signals;
        spinner_ = std::thread(&Console::spin, this);
    } else if (!on && spinning_) {
        spinning_ = false;
        if (spinner_.joinable()) spinner_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        clear_status();
    }
}

void Console::spin() {
    while (spinning_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (spinning_) draw_status();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
}

int TerminalResponder::integer(const std::string& prompt, int default_value, int minimum, int maximum) {
    console_.message(plain_text(prompt));
    for (;;) {
        std::cerr << "Enter a number from " << minimum << " to " << maximum << " [" << default_value << "]: ";
        std::string line;
        if (!std::getline(std::cin, line)) {
            // Never throw through the plug-in: record it and answer as a cancel would.
            instance().session_errors.push_back("integer dialog: no answer at the terminal (end of input)");
            return default_value;
        }
        if (line.empty()) return default_value;
        try {
            size_t used = 0;
            const long v = std::stol(line, &used);
            if (used == line.size() && v >= minimum && v <= maximum) return static_cast<int>(v);
        } catch (const std::exception&) {
        }
        std::cerr << "\"" << line << "\" is not a number from " << minimum << " to " << maximum << ".\n";
    }
}

std::optional<std::string> TerminalResponder::path(const std::string& kind, const std::string& title,
                                                   const std::string& filter) {
    console_.message(plain_text(title) + (filter.empty() ? "" : " (" + filter + ")"));
    for (;;) {
        std::cerr << (kind == "save" ? "Save as" : "Open") << " (path, empty to cancel): ";
        std::string line;
        if (!std::getline(std::cin, line)) {
            instance().session_errors.push_back(kind + " file dialog \"" + title +
                                                "\": no answer at the terminal (end of input)");
            return std::nullopt;
        }
        if (line.empty()) return std::nullopt;
        if (line.size() <= 500) return line;
        std::cerr << "A path holds at most 500 characters.\n";
    }
}

}  // namespace host
}  // namespace warpmender
