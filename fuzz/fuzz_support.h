// What every fuzz target shares: a private scratch folder, writing the input to a file, the fixed STC beside an FMR.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace warpmender {
namespace fuzz {

// The STC file the FMR header target puts beside every header: 480 bytes,
// which is 5 x 4 x 3 x 2 floats or 5 x 4 x 3 x 4 16-bit values, so that the
// seed headers of both data types read through to the end.
constexpr size_t kFixedStcBytes = 480;

// A folder of this process, removed at exit. Readers take paths, so every
// input goes through a file here.
inline const std::string& scratch() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/warpmender-fuzz-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) {
            std::perror("warpmender fuzz: mkdtemp");
            std::abort();
        }
        static std::string for_exit;
        for_exit = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(for_exit, ec);
        });
        return pattern;
    }();
    return dir;
}

inline void write_bytes(const std::string& path, const void* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(("warpmender fuzz: cannot write " + path).c_str());
        std::abort();
    }
}

inline std::string write_input(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratch() + "/" + name;
    write_bytes(path, data, size);
    return path;
}

}  // namespace fuzz
}  // namespace warpmender
