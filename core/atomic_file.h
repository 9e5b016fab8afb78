// The one way files are written: a temporary file beside the target, synced, renamed into place when complete.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "core/error.h"

namespace warpmender {

// Readers never see a half-written file: the target appears only when
// commit() succeeds, and an existing target stays as it was until then. A
// failed or abandoned write removes the temporary. The temporary,
// "dir/.<name>.tmp-<pid>-<n><suffix>" (core/temporary_names.h), is created
// with O_CREAT | O_EXCL | O_NOFOLLOW: it never follows a planted link nor
// reuses another writer's file. Never throws; the plug-in uses it as is, the host side through
// host::AtomicFile below.
class AtomicFile {
public:
    // Where a write failed; the host side words its messages by it.
    enum class Stage { kNone, kName, kCreate, kStream, kWrite, kReplace };

    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    // False when no temporary can be created beside target (missing or
    // read-only directory); error() says why. suffix ends the temporary's
    // name (nifticlib chooses compression by ".gz").
    bool open(const std::string& target, const std::string& suffix = "");
    // False once any write has failed; later writes are skipped.
    bool write(const void* data, size_t bytes);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Flushes, syncs to the disk and closes; a full disk shows here at the latest.
    bool finish();
    // For writers that go on through a duplicate of the stream's descriptor
    // (never by the temporary's name): closes our stream unwritten; the
    // writer syncs what it wrote before commit().
    void hand_over();
    // Finishes if still open and renames onto the target; on failure nothing is left.
    bool commit();
    void discard();

    // The open stream, for encoders that write to a FILE*; null once finished.
    std::FILE* stream() const { return file_; }
    const std::string& target() const { return target_; }
    const std::string& temp_path() const { return temp_; }
    // "cannot write \"dir/a.amr\": No space left on device"
    const std::string& error() const { return error_; }
    Stage failed_stage() const { return stage_; }
    int error_number() const { return errno_; }

private:
    bool fail(Stage stage, const char* what, int err);

    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    // Bytes written so far, and up to where the disk has been asked to take them.
    size_t written_ = 0, started_ = 0;
    bool failed_ = false;
    bool committed_ = false;
    Stage stage_ = Stage::kNone;
    int errno_ = 0;
    std::string error_;
};

// text written to path through an AtomicFile; false (and why in error) when not.
bool write_file_atomically(const std::string& path, const std::string& text, std::string* error = nullptr);

namespace host {

// Told of every folder the host side is about to create a temporary in (the
// command sweeps them when interrupted); null, the default, tells no one.
using FolderWatch = void (*)(const std::string& folder);
void set_folder_watch(FolderWatch watch);

// The same writer for the host side: every failure throws Error naming the
// target and the system's reason; the destructor removes an uncommitted
// temporary, so a writer that throws leaves no trace.
class AtomicFile {
public:
    explicit AtomicFile(std::string target, const std::string& suffix = "");
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& target() const { return file_.target(); }
    const std::string& temp_path() const { return file_.temp_path(); }
    std::FILE* stream() const { return file_.stream(); }

    void write(const void* data, size_t bytes);
    void write(const std::string& text) { write(text.data(), text.size()); }
    void finish();
    void hand_over() { file_.hand_over(); }
    void commit();

private:
    [[noreturn]] void raise() const;
    warpmender::AtomicFile file_;
};

}  // namespace host
}  // namespace warpmender
