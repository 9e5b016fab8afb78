// Parallel first touch of large buffers, and the parts runner it uses.
#include "core/fresh_memory.h"

#include <sched.h>
#include <sys/mman.h>

#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace warpmender {

namespace {

// Below this the threads cost more than the faults they share.
constexpr size_t kParallelFrom = size_t{64} << 20;
// Parts end on huge-page boundaries, so no huge page is cleared by two threads.
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr uintptr_t kPage = 4096;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

// Faults [from, to) in for writing. Where the kernel cannot populate ahead
// (older than 5.14) one byte of each page is written back as it was read.
void populate(uintptr_t from, uintptr_t to) {
    if (to <= from) return;
    const uintptr_t first = (from + kPage - 1) / kPage * kPage, last = to / kPage * kPage;
    if (last > first && madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0) return;
    for (uintptr_t p = from; p < to; p = (p / kPage + 1) * kPage) {
        volatile unsigned char* byte = reinterpret_cast<volatile unsigned char*>(p);
        *byte = *byte;
    }
}

}  // namespace

int memory_parts() {
    cpu_set_t set;
    int cores = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = CPU_COUNT(&set);
    if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
    return cores < 1 ? 1 : cores > 4 ? 4 : cores;
}

int memory_parts_for(double bytes) { return bytes < static_cast<double>(kParallelFrom) ? 1 : memory_parts(); }

void run_in_parts(long count, int parts, const std::function<void(int, long, long)>& work) {
    if (count <= 0) return;
    if (parts > count) parts = static_cast<int>(count);
    if (parts < 1) parts = 1;
    std::vector<std::thread> threads;
    std::vector<int> inline_parts;
    for (int k = 1; k < parts; ++k) {
        try {
            threads.emplace_back(work, k, count * k / parts, count * (k + 1) / parts);
        } catch (const std::system_error&) {
            inline_parts.push_back(k);
        }
    }
    work(0, 0, count / parts);
    for (int k : inline_parts) work(k, count * k / parts, count * (k + 1) / parts);
    for (auto& t : threads) t.join();
}

void populate_in_parallel(void* buffer, size_t bytes) {
    if (buffer == nullptr || bytes < kParallelFrom) return;
    const int parts = memory_parts();
    if (parts < 2) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer), end = start + bytes;
    // Cut on huge-page boundaries: part k covers huge pages [first, last) of the buffer's span.
    const uintptr_t base = start / kHugePage * kHugePage;
    const long pages = static_cast<long>((end - base + kHugePage - 1) / kHugePage);
    run_in_parts(pages, parts, [&](int, long first, long last) {
        const uintptr_t from = base + static_cast<uintptr_t>(first) * kHugePage;
        const uintptr_t to = base + static_cast<uintptr_t>(last) * kHugePage;
        populate(from < start ? start : from, to > end ? end : to);
    });
}

}  // namespace warpmender
