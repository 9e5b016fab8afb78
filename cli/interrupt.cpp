// Signal handlers that sweep the watched folders for this process's temporary files, then _exit(128 + signal).
#include "cli/interrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "core/atomic_file.h"
#include "core/temporary_names.h"

namespace warpmender {
namespace host {

namespace {

constexpr int kMostFolders = 16;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Slots are filled before the count is raised, so the handler sees only complete ones.
int folder_fds[kMostFolders];
dev_t folder_devices[kMostFolders];
ino_t folder_inodes[kMostFolders];
std::atomic<int> folder_count{0};
std::atomic<int> lock_dir_fd{-1};
char lock_name[256];
pid_t own_pid = 0;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

void sweep(int dir_fd) {
    if (::lseek(dir_fd, 0, SEEK_SET) < 0) return;
    alignas(8) char buffer[8192];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dir_fd, buffer, sizeof buffer);
        if (got <= 0) return;
        for (long at = 0; at < got;) {
            const auto* e = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            pid_t pid = 0;
            if (is_temporary_name(e->d_name, &pid) && pid == own_pid) ::unlinkat(dir_fd, e->d_name, 0);
            at += e->d_reclen;
        }
    }
}

void on_signal(int signo) {
    stop_creating_temporaries();
    const int n = folder_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) sweep(folder_fds[i]);
    const int lock_fd = lock_dir_fd.load(std::memory_order_acquire);
    if (lock_fd >= 0) ::unlinkat(lock_fd, lock_name, 0);
    ::_exit(128 + signo);
}

}  // namespace

void install_interrupt_handlers() {
    own_pid = ::getpid();
    // Every folder the host side writes a temporary in is swept too.
    set_folder_watch(watch_folder_on_interrupt);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // A second signal waits until the first has swept.
    for (int s : kSignals) sigaddset(&action.sa_mask, s);
    for (int s : kSignals) {
        // A signal the caller ignores (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

void watch_folder_on_interrupt(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return;
    const int n = folder_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (folder_devices[i] == st.st_dev && folder_inodes[i] == st.st_ino) return;
    if (n >= kMostFolders) return;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    folder_fds[n] = fd;
    folder_devices[n] = st.st_dev;
    folder_inodes[n] = st.st_ino;
    folder_count.store(n + 1, std::memory_order_release);
}

void remove_lock_on_interrupt(int dir_fd, const char* name) {
    lock_dir_fd.store(-1, std::memory_order_release);
    if (dir_fd < 0 || name == nullptr) return;
    std::strncpy(lock_name, name, sizeof lock_name - 1);
    lock_name[sizeof lock_name - 1] = '\0';
    lock_dir_fd.store(dir_fd, std::memory_order_release);
}

InterruptsBlocked::InterruptsBlocked() {
    sigset_t block;
    sigemptyset(&block);
    for (int s : kSignals) sigaddset(&block, s);
    ::pthread_sigmask(SIG_BLOCK, &block, &saved_);
}

InterruptsBlocked::~InterruptsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace host
}  // namespace warpmender
