// This program started again as a child process, for work that needs a process of its own (the plug-in has one host per process).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace warpmender {
namespace host {

// Starts /proc/self/exe with arguments (argv[1]...; no shell is involved),
// standard input from /dev/null, standard output and error into the files
// given (created or emptied). The child ends with SIGTERM when this process
// dies. Throws Error naming a file that cannot be created, or when fork fails.
pid_t start_self(const std::vector<std::string>& arguments, const std::string& stdout_file,
                 const std::string& stderr_file);

struct ChildExit {
    pid_t pid = -1;      // -1: interrupted by a signal before any child ended, or no child left
    int status = -1;     // exit status when it exited
    int signal = 0;      // the signal that ended it, else 0
};

// Waits for any child. Returns pid -1 when a signal interrupted the wait
// (the caller looks at its flags) or when there is no child.
ChildExit wait_child();

// "exit status 2", "killed by signal 9 (Killed)"
std::string describe(const ChildExit& exit);

}  // namespace host
}  // namespace warpmender
