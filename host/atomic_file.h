// A file written under a temporary name beside its target and renamed into place once complete.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace warpmender {
namespace host {

// Until commit() the target is untouched; a writer that fails (or throws)
// leaves no trace, because the destructor removes the temporary file.
// Every failure throws Error naming the target and the system's reason.
class AtomicFile {
public:
    // suffix ends the temporary name (nifticlib chooses compression by ".gz").
    explicit AtomicFile(std::string target, const std::string& suffix = "");
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& target() const { return target_; }
    const std::string& temp_path() const { return temp_; }

    // The open stream (null once finished or handed over), for writers that print into it.
    std::FILE* stream() const { return stream_; }

    // Writing through the stream of this object.
    void write(const void* data, size_t bytes);
    void write(const std::string& text) { write(text.data(), text.size()); }
    // Flushes to the disk and closes; a full disk shows here at the latest.
    void finish();

    // For writers that go on through a duplicate of the stream's descriptor
    // (never by the temporary's name): closes our stream without writing; the
    // writer syncs what it wrote before commit().
    void hand_over();

    // Renames the finished temporary file onto the target.
    void commit();

private:
    [[noreturn]] void fail(const std::string& what, int error) const;
    std::string target_, temp_;
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
};

}  // namespace host
}  // namespace warpmender
