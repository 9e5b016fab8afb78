// Writing a file under a temporary name and renaming it onto its target.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/temporary_names.h"

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
    // A fresh name of our own, created exclusively and never through a link:
    // nothing that happens to be there is clobbered; mode 0666 lets the umask
    // decide the final permissions, as it would for a plain fopen.
    std::string name;
    const int fd = create_temporary_beside(target, "", &name);
    if (fd < 0) {
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
