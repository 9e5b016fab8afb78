// A file written under a temporary name beside its target and renamed into place when complete.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace warpmender {

// Readers never see a half-written file: the target appears only when
// commit() succeeds, and an existing target stays as it was until then. A
// failed or abandoned write removes the temporary. Never throws.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    // False when no temporary can be created beside target (missing or
    // read-only directory); error() says why.
    bool open(const std::string& target);
    // False once any write has failed; later writes are skipped.
    bool write(const void* data, size_t bytes);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Flushes, closes and renames onto the target; on failure nothing is left.
    bool commit();
    void discard();

    const std::string& target() const { return target_; }
    // "cannot write \"dir/a.amr\": No space left on device"
    const std::string& error() const { return error_; }

private:
    void fail(const char* what, int err);

    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

}  // namespace warpmender
