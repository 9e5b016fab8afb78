// Reading a user-named text file: fstat after a non-blocking open, then at most the limit plus one byte.
#include "formats/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/error.h"

namespace warpmender {
namespace host {

std::string file_kind(unsigned mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return "a folder";
        case S_IFIFO: return "a FIFO";
        case S_IFCHR: return "a character device";
        case S_IFBLK: return "a block device";
        case S_IFSOCK: return "a socket";
        case S_IFLNK: return "a symbolic link";
        default: return "not a regular file";
    }
}

std::optional<std::string> read_regular_file(const std::string& path, const std::string& what, uint64_t max_bytes,
                                             bool missing_ok) {
    const std::string named = what + " \"" + path + "\"";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && missing_ok) return std::nullopt;
        throw Error("cannot open " + named + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw Error("cannot open " + named + ": " + std::strerror(e));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(named + " is " + file_kind(st.st_mode) + "; only regular files are read");
    }
    const std::string too_large = named + " has more than " + std::to_string(max_bytes) + " bytes, more than a " +
                                  what + " ever holds; it is not read";
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        ::close(fd);
        throw Error(too_large);
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t have = 0;
    char extra = 0;
    for (;;) {
        char* at = have < text.size() ? &text[have] : &extra;
        const size_t want = have < text.size() ? text.size() - have : 1;
        const ssize_t got = ::read(fd, at, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int e = errno;
            ::close(fd);
            throw Error("cannot read " + named + ": " + std::strerror(e));
        }
        if (got == 0) break;
        if (at == &extra) {
            // It grew after fstat: read on with the limit.
            if (text.size() >= max_bytes) {
                ::close(fd);
                throw Error(too_large);
            }
            text.push_back(extra);
            ++have;
            continue;
        }
        have += static_cast<size_t>(got);
    }
    ::close(fd);
    text.resize(have);
    return text;
}

}  // namespace host
}  // namespace warpmender
