// Temporary file beside the target, synced, then renamed: a save is whole or absent.
#include "core/atomic_file.h"
#include "core/temporary_names.h"
#include "hostlink/protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace warpmender {

namespace {

constexpr size_t kWritebackPiece = size_t{16} << 20;

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

bool AtomicFile::fail(Stage stage, const char* what, int err) {
    failed_ = true;
    if (stage_ == Stage::kNone) {
        stage_ = stage;
        errno_ = err;
        error_ = std::string(what) + " \"" + target_ + "\": " + std::strerror(err);
    }
    return false;
}

bool AtomicFile::open(const std::string& target, const std::string& suffix) {
    discard();
    target_ = target;
    failed_ = false;
    committed_ = false;
    written_ = started_ = 0;
    stage_ = Stage::kNone;
    errno_ = 0;
    error_.clear();
    if (target.empty() || name_of(target).empty()) {
        failed_ = true;
        stage_ = Stage::kName;
        error_ = "cannot write a file without a name";
        return false;
    }
    // A fresh name of our own with the PID, created exclusively and never
    // through a link: nothing that happens to be there is clobbered.
    std::string name;
    const int fd = create_temporary_beside(target, suffix, &name);
    if (fd < 0) return fail(Stage::kCreate, protocol::kCannotCreate, errno);
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        const int err = errno;
        ::close(fd);
        ::unlink(name.c_str());
        return fail(Stage::kStream, protocol::kCannotCreate, err);
    }
    temp_ = name;
    return true;
}

bool AtomicFile::write(const void* data, size_t bytes) {
    if (failed_ || file_ == nullptr) return false;
    if (bytes == 0) return true;
    errno = 0;
    if (std::fwrite(data, 1, bytes, file_) != bytes)
        return fail(Stage::kWrite, protocol::kCannotWrite, errno ? errno : EIO);
    written_ += bytes;
    // A large file goes to the disk while it is being written, so that the
    // fsync of finish() waits for the last piece only, not for the whole file.
    // Only a request: whether and when the disk takes it changes nothing else.
    if (written_ - started_ >= kWritebackPiece && std::fflush(file_) == 0) {
        ::sync_file_range(::fileno(file_), static_cast<off_t>(started_), static_cast<off_t>(written_ - started_),
                          SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return true;
}

bool AtomicFile::finish() {
    if (file_ == nullptr) return !failed_ && !temp_.empty();
    std::FILE* f = file_;
    file_ = nullptr;
    // fsync too: some file systems report a full disk only there.
    errno = 0;
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    int err = errno;
    const bool synced = flushed && ::fsync(::fileno(f)) == 0;
    if (flushed && !synced) err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!closed && err == 0) err = errno;
    if (failed_) return false;
    if (!flushed || !synced || !closed) return fail(Stage::kWrite, protocol::kCannotWrite, err ? err : EIO);
    return true;
}

void AtomicFile::hand_over() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool AtomicFile::commit() {
    if (failed_ || temp_.empty() || !finish()) {
        discard();
        return false;
    }
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        fail(Stage::kReplace, protocol::kCannotReplace, errno);
        discard();
        return false;
    }
    committed_ = true;
    temp_.clear();
    return true;
}

void AtomicFile::discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty() && !committed_) ::unlink(temp_.c_str());
    temp_.clear();
}

bool write_file_atomically(const std::string& path, const std::string& text, std::string* error) {
    AtomicFile file;
    const bool ok = file.open(path) && file.write(text) && file.commit();
    if (!ok && error != nullptr) *error = file.error();
    return ok;
}

namespace host {

namespace {
FolderWatch folder_watch = nullptr;
}  // namespace

void set_folder_watch(FolderWatch watch) { folder_watch = watch; }

void AtomicFile::raise() const {
    // The host side says where the temporary was to go, and never "create".
    using Stage = warpmender::AtomicFile::Stage;
    const std::string reason = std::strerror(file_.error_number());
    if (file_.failed_stage() == Stage::kCreate)
        throw Error("cannot create a file beside \"" + file_.target() + "\": " + reason);
    if (file_.failed_stage() == Stage::kStream) throw Error("cannot write \"" + file_.target() + "\": " + reason);
    throw Error(file_.error());
}

AtomicFile::AtomicFile(std::string target, const std::string& suffix) {
    const std::string dir = directory_of(target);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT)
            throw Error("cannot write \"" + target + "\": the directory \"" + dir + "\" does not exist");
        throw Error("cannot write \"" + target + "\": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) throw Error("cannot write \"" + target + "\": \"" + dir + "\" is not a directory");
    if (name_of(target).empty()) throw Error("cannot write \"" + target + "\": the path names no file");
    if (folder_watch != nullptr) folder_watch(dir);
    if (!file_.open(target, suffix)) {
        if (file_.failed_stage() == warpmender::AtomicFile::Stage::kCreate && file_.error_number() == EEXIST)
            throw Error("cannot write \"" + target + "\": no free temporary name beside it");
        raise();
    }
}

void AtomicFile::write(const void* data, size_t bytes) {
    if (file_.stream() == nullptr) throw Error("cannot write \"" + target() + "\": the file is already closed");
    if (!file_.write(data, bytes)) raise();
}

void AtomicFile::finish() {
    if (file_.stream() == nullptr) throw Error("cannot write \"" + target() + "\": the file is already closed");
    if (!file_.finish()) raise();
}

void AtomicFile::commit() {
    if (!file_.commit()) raise();
}

}  // namespace host
}  // namespace warpmender
