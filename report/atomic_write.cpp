// Whole-or-absent file writes for the report and its JSON.
#include "report/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace warpmender {
namespace report {
namespace {

std::atomic<unsigned> counter{0};

[[noreturn]] void fail(const std::string& path, const std::string& why) {
    throw std::runtime_error("cannot write \"" + path + "\": " + why);
}

}  // namespace

void write_file_atomically(const std::string& path, const std::string& content) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) fail(path, "the path names no file");
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        fail(path, "the directory \"" + dir + "\" " + (errno == ENOENT ? "does not exist" : std::strerror(errno)));
    if (!S_ISDIR(st.st_mode)) fail(path, "\"" + dir + "\" is not a directory");

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + name.substr(0, 96) + ".tmp-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter.fetch_add(1));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) fail(path, std::strerror(errno));
    }
    if (fd < 0) fail(path, "no free temporary name beside it");
    auto give_up = [&](int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        fail(path, std::strerror(error));
    };
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            give_up(errno);
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    if (::fsync(fd) != 0) give_up(errno);
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        fail(path, std::strerror(e));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        fail(path, std::strerror(e));
    }
}

}  // namespace report
}  // namespace warpmender
