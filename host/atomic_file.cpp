// Temporary file beside the target, synced, then renamed: a save is whole or absent.
#include "host/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/temporary_names.h"
#include "host/error.h"
#include "host/interrupt.h"

namespace warpmender {
namespace host {

namespace {

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void AtomicFile::fail(const std::string& what, int error) const {
    throw Error(what + " \"" + target_ + "\": " + std::strerror(error));
}

AtomicFile::AtomicFile(std::string target, const std::string& suffix) : target_(std::move(target)) {
    const std::string dir = directory_of(target_);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) throw Error("cannot write \"" + target_ + "\": the directory \"" + dir + "\" does not exist");
        fail("cannot write", errno);
    }
    if (!S_ISDIR(st.st_mode)) throw Error("cannot write \"" + target_ + "\": \"" + dir + "\" is not a directory");
    if (name_of(target_).empty()) throw Error("cannot write \"" + target_ + "\": the path names no file");

    watch_folder_on_interrupt(dir);
    // O_EXCL | O_NOFOLLOW with a fresh name: never follows a planted link, never reuses another save's file.
    const int fd = create_temporary_beside(target_, suffix, &temp_);
    if (fd >= 0) {
        stream_ = ::fdopen(fd, "wb");
        if (stream_ == nullptr) {
            const int e = errno;
            ::close(fd);
            ::unlink(temp_.c_str());
            temp_.clear();
            fail("cannot write", e);
        }
        return;
    }
    if (errno != EEXIST) {
        const int e = errno;
        temp_.clear();
        fail("cannot create a file beside", e);
    }
    temp_.clear();
    throw Error("cannot write \"" + target_ + "\": no free temporary name beside it");
}

AtomicFile::~AtomicFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void AtomicFile::write(const void* data, size_t bytes) {
    if (stream_ == nullptr) throw Error("cannot write \"" + target_ + "\": the file is already closed");
    if (bytes != 0 && std::fwrite(data, 1, bytes, stream_) != bytes) fail("cannot write", errno ? errno : EIO);
}

void AtomicFile::finish() {
    if (stream_ == nullptr) throw Error("cannot write \"" + target_ + "\": the file is already closed");
    std::FILE* s = stream_;
    stream_ = nullptr;
    errno = 0;
    const bool flushed = std::fflush(s) == 0 && !std::ferror(s);
    int e = errno;
    const bool synced = flushed && ::fsync(::fileno(s)) == 0;
    if (flushed && !synced) e = errno;
    const bool closed = std::fclose(s) == 0;
    if (!closed && e == 0) e = errno;
    if (!flushed || !synced || !closed) fail("cannot write", e ? e : EIO);
}

void AtomicFile::hand_over() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
}

void AtomicFile::commit() {
    if (stream_ != nullptr) finish();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) fail("cannot replace", errno);
    committed_ = true;
}

}  // namespace host
}  // namespace warpmender
