// Temporary names with the writer's PID, exclusive creation, and the pattern check a sweep uses.
#include "core/temporary_names.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace warpmender {

namespace {

std::atomic<unsigned long> next_number{0};

bool ends_here_or_with(const char* p, const char* suffix) {
    while (*suffix != '\0')
        if (*p++ != *suffix++) return false;
    return *p == '\0';
}

}  // namespace

std::string temporary_name_for(const std::string& target, unsigned long n, const std::string& suffix) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    // Shortened, so that a target near the length limit still has a temporary name.
    return dir + "." + name.substr(0, 96) + ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" +
           std::to_string(n) + suffix;
}

namespace {

// A signal handler that removes this process's temporaries must not miss one
// that another thread is creating meanwhile: creations are counted while
// under way, and none starts once the handler has closed the gate. The
// creating thread blocks signals for the moment, so the handler never waits
// for the thread it runs on.
std::atomic<bool> gate_closed{false};
std::atomic<int> creating{0};

int open_temporary(const std::string& target, const std::string& suffix, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporary_name_for(target, next_number.fetch_add(1), suffix);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *path = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

int create_temporary_beside(const std::string& target, const std::string& suffix, std::string* path) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    creating.fetch_add(1);
    int fd = -1;
    if (gate_closed.load()) {
        errno = EINTR;
    } else {
        fd = open_temporary(target, suffix, path);
    }
    const int saved = errno;
    creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return fd;
}

void stop_creating_temporaries() {
    gate_closed.store(true);
    // A creation is one open(); a stuck file system is not waited for forever.
    for (long spins = 0; creating.load() != 0 && spins < 1000000; ++spins) sched_yield();
}

bool is_temporary_name(const char* name, pid_t* pid) {
    if (name == nullptr || name[0] != '.') return false;
    // The last ".tmp-" followed by digits, '-', digits and an allowed suffix.
    const char* found = nullptr;
    for (const char* p = name + 1; *p != '\0'; ++p)
        if (p[0] == '.' && p[1] == 't' && p[2] == 'm' && p[3] == 'p' && p[4] == '-') found = p;
    if (found == nullptr || found == name + 1) return false;
    const char* p = found + 5;
    long value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (digits >= 9) return false;
        value = value * 10 + (*p - '0');
    }
    if (digits == 0 || value <= 0 || *p != '-') return false;
    ++p;
    int counter_digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) ++counter_digits;
    if (counter_digits == 0) return false;
    if (!ends_here_or_with(p, "") && !ends_here_or_with(p, ".nii") && !ends_here_or_with(p, ".nii.gz")) return false;
    *pid = static_cast<pid_t>(value);
    return true;
}

}  // namespace warpmender
