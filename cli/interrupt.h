// SIGINT, SIGTERM and SIGHUP end a run without leaving its temporary files behind.
#pragma once

#include <csignal>
#include <string>

namespace warpmender {
namespace host {

// Installs the handlers: on one of the three signals the process removes, in
// every watched folder, the temporary files it was writing (names of the
// pattern of core/temporary_names.h carrying its own PID, whoever created
// them: the host or the plug-in) and the lock it holds, then exits with 128 +
// the signal number. Everything the handler does is async-signal-safe.
void install_interrupt_handlers();

// Adds a folder to the handler's sweep (kept open; at most 16 folders, each once).
void watch_folder_on_interrupt(const std::string& dir);

// The lock file the handler removes (a name inside the folder open as dir_fd);
// -1 forgets it.
void remove_lock_on_interrupt(int dir_fd, const char* name);

// While alive, the calling thread does not take the three signals, so that
// threads started meanwhile leave them to the main thread.
class InterruptsBlocked {
public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace host
}  // namespace warpmender
