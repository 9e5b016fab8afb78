// fork/exec of this program with an argument vector, and waiting for it.
#include "cli/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/error.h"

namespace warpmender {
namespace host {

namespace {

int create_log(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) throw Error("cannot create \"" + path + "\": " + std::strerror(errno));
    return fd;
}

}  // namespace

pid_t start_self(const std::vector<std::string>& arguments, const std::string& stdout_file,
                 const std::string& stderr_file) {
    // Everything the child needs is made before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    static char self[] = "warpmender";
    argv.push_back(self);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = create_log(stdout_file);
    int err = -1;
    try {
        err = create_log(stderr_file);
    } catch (...) {
        ::close(out);
        throw;
    }
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(128 + SIGTERM);  // the parent died before prctl
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if ((in >= 0 && ::dup2(in, 0) < 0) || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
        ::execv("/proc/self/exe", argv.data());
        const char message[] = "warpmender: cannot start /proc/self/exe\n";
        [[maybe_unused]] const ssize_t w = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    const int fork_errno = errno;
    ::close(out);
    ::close(err);
    if (in >= 0) ::close(in);
    if (pid < 0) throw Error(std::string("cannot start a child process: ") + std::strerror(fork_errno));
    return pid;
}

ChildExit wait_child() {
    ChildExit e;
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) return e;
    e.pid = pid;
    if (WIFEXITED(status)) e.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
    return e;
}

std::string describe(const ChildExit& exit) {
    if (exit.signal != 0)
        return "killed by signal " + std::to_string(exit.signal) + " (" + strsignal(exit.signal) + ")";
    return "exit status " + std::to_string(exit.status);
}

}  // namespace host
}  // namespace warpmender
