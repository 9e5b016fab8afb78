// flock on "<folder>/.warpmender.lock": taken before the first write of a run, removed after the last.
#include "cli/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/interrupt.h"
#include "core/error.h"

namespace warpmender {
namespace host {

RunLock::RunLock(const std::string& folder) {
    const std::string path = folder + "/" + kFileName;
    dir_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) throw Error("cannot lock output folder \"" + folder + "\": " + std::strerror(errno));
    // The holder removes the file when it ends: a lock taken on a file that is
    // no longer the one under the name protects nothing, so take it again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        // Read-only and never through a link: whatever stands at the name is never written.
        const int fd = ::openat(dir_fd_, kFileName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int e = errno;
            ::close(dir_fd_);
            if (e == ELOOP)
                throw Error("cannot lock output folder \"" + folder + "\": \"" + path +
                            "\" is a symbolic link, which the command never follows; remove it");
            throw Error("cannot lock output folder \"" + folder + "\": \"" + path + "\": " + std::strerror(e));
        }
        struct stat held {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            ::close(dir_fd_);
            throw Error("cannot lock output folder \"" + folder + "\": \"" + path + "\" is not a regular file");
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            ::close(dir_fd_);
            if (e == EWOULDBLOCK)
                throw Error("output folder \"" + folder + "\" is in use by another warpmender run (it holds \"" + path +
                            "\"); this run refuses rather than mix its results with that run's: wait "
                            "for it to end or choose another output folder");
            throw Error("cannot lock output folder \"" + folder + "\": " + std::strerror(e));
        }
        struct stat named {};
        if (::fstatat(dir_fd_, kFileName, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            fd_ = fd;
            remove_lock_on_interrupt(dir_fd_, kFileName);
            return;
        }
        ::close(fd);
    }
    ::close(dir_fd_);
    throw Error("cannot lock output folder \"" + folder + "\": \"" + path + "\" keeps changing");
}

RunLock::~RunLock() {
    remove_lock_on_interrupt(-1, nullptr);
    // Removed while still held, so that a run waiting on this file retries on a fresh one.
    ::unlinkat(dir_fd_, kFileName, 0);
    ::close(fd_);
    ::close(dir_fd_);
}

}  // namespace host
}  // namespace warpmender
