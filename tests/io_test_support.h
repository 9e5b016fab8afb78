// Helpers of the io tests: a host bound to the plug-in code, volumes, files read back, a file-size limit.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/datahandler.h"
#include "hostlink/host_binding.h"
#include "tests/test_support.h"

namespace warpmender {
namespace test {

// A fresh host with the plug-in's hs:: pointers bound to it.
inline host::Host& bound_host() {
    host::Host& h = fresh_host();
    InitHSAccess();
    return h;
}

// A double volume holding values in index order (x fastest).
inline std::unique_ptr<datahandler<double>> volume_of(long nx, long ny, long nz, long nt,
                                                      const std::vector<double>& values,
                                                      const std::string& name = "src.fmr") {
    double* d = new double[static_cast<size_t>(nx * ny * nz * nt)]();
    std::copy(values.begin(), values.end(), d);
    auto v = std::make_unique<datahandler<double>>(d, nx, ny, nz, nt, 8);
    v->setname(name.c_str());
    return v;
}

// A volume whose every voxel holds its own linear index.
inline std::unique_ptr<datahandler<double>> indexed_volume(long nx, long ny, long nz, long nt,
                                                           const std::string& name = "src.fmr") {
    std::vector<double> values(static_cast<size_t>(nx * ny * nz * nt));
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i);
    return volume_of(nx, ny, nz, nt, values, name);
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Names of the entries of dir, so that tests can see that nothing half-written stayed behind.
inline std::set<std::string> entries_of(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

inline uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// While alive, writing past `bytes` into any file fails (EFBIG) as on a full
// disk; SIGXFSZ is ignored so that the write reports instead of killing us.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim = saved_;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*old_handler_)(int) = SIG_DFL;
};

// Runs the test body in dir and returns to the previous directory afterwards.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(previous_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

}  // namespace test
}  // namespace warpmender
