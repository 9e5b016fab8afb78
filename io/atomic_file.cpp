// Writing a file under a temporary name and renaming it onto its target.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace warpmender {

bool AtomicFile::open(const std::string& target) {
    discard();
    target_ = target;
    failed_ = false;
    error_.clear();
    if (target.empty()) {
        failed_ = true;
        error_ = "cannot write a file without a name";
        return false;
    }
    // O_EXCL with a name of our own never clobbers a file that happens to be
    // there; mode 0666 lets the umask decide the final permissions, as it
    // would for a plain fopen.
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = target + ".part-" + std::to_string(static_cast<long>(getpid())) + "-" +
                                 std::to_string(++counter);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            fail("cannot create", errno);
            return false;
        }
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr) {
            const int err = errno;
            ::close(fd);
            ::unlink(name.c_str());
            fail("cannot create", err);
            return false;
        }
        temp_ = name;
        return true;
    }
    fail("cannot create", EEXIST);
    return false;
}

bool AtomicFile::write(const void* data, size_t bytes) {
    if (failed_ || file_ == nullptr) return false;
    if (bytes == 0) return true;
    if (std::fwrite(data, 1, bytes, file_) != bytes) {
        fail("cannot write", errno);
        return false;
    }
    return true;
}

bool AtomicFile::commit() {
    if (failed_ || file_ == nullptr) {
        discard();
        return false;
    }
    std::FILE* f = file_;
    file_ = nullptr;
    // fsync too: some file systems report a full disk only there.
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f) && ::fsync(::fileno(f)) == 0;
    const int flush_err = errno;
    const bool closed = std::fclose(f) == 0;
    const int close_err = errno;
    if (!flushed || !closed) {
        fail("cannot write", !flushed ? flush_err : close_err);
        discard();
        return false;
    }
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        fail("cannot replace", errno);
        discard();
        return false;
    }
    temp_.clear();
    return true;
}

void AtomicFile::discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

void AtomicFile::fail(const char* what, int err) {
    failed_ = true;
    if (error_.empty()) error_ = std::string(what) + " \"" + target_ + "\": " + std::strerror(err);
}

}  // namespace warpmender
