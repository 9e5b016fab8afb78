// Peak-memory estimate of a run from its inputs' grids, and the memory available under /proc/meminfo and the cgroup.
#include "cli/memory_budget.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/error.h"

namespace warpmender {
namespace host {

namespace {

// Measured on the demo (128 x 128 x 64 field map, 10 volumes of EPI): 179 MB
// at the peak; this model says about 400 MB for it.
constexpr uint64_t kSeriesBytesPerValue = 12;        // double working copy + float result
constexpr uint64_t kUnwrapBytesPerVoxel = 160;       // about 20 double maps of the field map's grid
constexpr uint64_t kProgramAllowance = 64ull << 20;  // code, libraries, buffers of the writers

uint64_t add_saturating(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t mul_saturating(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

uint64_t input_bytes(const InputGrid& g) {
    uint64_t bytes = g.host_bytes;
    const uint64_t values = mul_saturating(g.voxels(), static_cast<uint64_t>(g.nt));
    bytes = add_saturating(bytes, mul_saturating(values, kSeriesBytesPerValue));
    return bytes;
}

// One number from a file such as memory.max ("max" or missing: nothing).
bool read_number(const std::string& path, uint64_t* out) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max") return false;
    try {
        *out = std::stoull(word);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// The cgroup (v2) of this process: "0::/user.slice/..." in /proc/self/cgroup.
std::string cgroup_folder() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("0::", 0) == 0) return "/sys/fs/cgroup" + line.substr(3);
    return {};
}

}  // namespace

std::string byte_size_text(uint64_t bytes) {
    char text[32];
    if (bytes >= 1000000000ull)
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    else if (bytes >= 1000000ull)
        std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / 1e6);
    else
        std::snprintf(text, sizeof text, "%.0f kB", static_cast<double>(bytes) / 1e3);
    return text;
}

uint64_t estimated_run_bytes(const std::vector<InputGrid>& inputs) {
    uint64_t total = kProgramAllowance, largest_volume = 0;
    for (const InputGrid& g : inputs) {
        total = add_saturating(total, input_bytes(g));
        largest_volume = std::max(largest_volume, g.voxels());
    }
    return add_saturating(total, mul_saturating(largest_volume, kUnwrapBytesPerVoxel));
}

uint64_t available_memory_bytes(std::string* source) {
    uint64_t available = 0;
    std::string from;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            available = kib * 1024;
            from = "MemAvailable in /proc/meminfo";
            break;
        }
    }
    const std::string group = cgroup_folder();
    uint64_t limit = 0, used = 0;
    if (!group.empty() && read_number(group + "/memory.max", &limit)) {
        read_number(group + "/memory.current", &used);
        const uint64_t left = limit > used ? limit - used : 0;
        if (available == 0 || left < available) {
            available = left;
            from = "memory.max less memory.current of cgroup " + group;
        }
    }
    if (source != nullptr) *source = from;
    return available;
}

void check_run_memory(const std::vector<InputGrid>& inputs) {
    if (inputs.empty()) return;
    std::string source;
    const uint64_t available = available_memory_bytes(&source);
    if (available == 0) return;
    const uint64_t needed = estimated_run_bytes(inputs);
    if (needed <= available) return;
    const InputGrid* largest = &inputs.front();
    for (const InputGrid& g : inputs)
        if (input_bytes(g) > input_bytes(*largest)) largest = &g;
    std::ostringstream m;
    m << "not enough memory for this run: \"" << largest->path << "\" (" << largest->describe() << " voxels, "
      << byte_size_text(input_bytes(*largest)) << " as the host and the plug-in hold it)"
      << (inputs.size() > 1 ? " and the other inputs" : "") << " need about " << byte_size_text(needed) << ", and "
      << byte_size_text(available) << " are available (" << source << "); nothing was read beyond the headers";
    throw Error(m.str());
}

}  // namespace host
}  // namespace warpmender
