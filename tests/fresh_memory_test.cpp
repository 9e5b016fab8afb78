// Work cut into parts on threads, and large buffers faulted in on every core.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/fresh_memory.h"

namespace warpmender {
namespace {

TEST(FreshMemory, parts_cover_every_index_once_in_contiguous_runs_numbered_in_order) {
    struct Case {
        long count;
        int parts;
        int expected_parts;
    };
    const Case cases[] = {{1, 1, 1}, {10, 1, 1}, {10, 2, 2}, {10, 3, 3},  {7, 4, 4},
                          {3, 8, 3}, {1, 4, 1},  {0, 2, 0},  {1000, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " in " + std::to_string(c.parts));
        std::vector<std::atomic<int>> seen(static_cast<size_t>(c.count));
        std::vector<std::pair<long, long>> ranges(8, {-1, -1});
        std::atomic<int> calls{0};
        run_in_parts(c.count, c.parts, [&](int part, long first, long last) {
            ranges[static_cast<size_t>(part)] = {first, last};
            for (long i = first; i < last; ++i) seen[static_cast<size_t>(i)].fetch_add(1);
            calls.fetch_add(1);
        });
        EXPECT_EQ(calls.load(), c.expected_parts);
        for (long i = 0; i < c.count; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)].load(), 1) << i;
        // Part k starts where part k - 1 ends.
        for (int k = 0; k < c.expected_parts; ++k) {
            EXPECT_EQ(ranges[static_cast<size_t>(k)].first, k == 0 ? 0 : ranges[static_cast<size_t>(k - 1)].second);
            EXPECT_LE(ranges[static_cast<size_t>(k)].first, ranges[static_cast<size_t>(k)].second);
        }
        if (c.expected_parts > 0) {
            EXPECT_EQ(ranges[static_cast<size_t>(c.expected_parts - 1)].second, c.count);
        }
    }
}

TEST(FreshMemory, faulting_in_keeps_what_a_buffer_holds_to_its_last_byte) {
    // Large enough to be cut into parts; starts and ends off any page boundary.
    const size_t bytes = (size_t{80} << 20) + 12345;
    std::unique_ptr<unsigned char[]> raw(new unsigned char[bytes + 7]);
    unsigned char* buffer = raw.get() + 7;
    for (size_t i = 0; i < bytes; ++i) buffer[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    populate_in_parallel(buffer, bytes);
    size_t changed = 0;
    for (size_t i = 0; i < bytes; ++i) changed += buffer[i] != static_cast<unsigned char>(i * 2654435761u >> 24);
    EXPECT_EQ(changed, 0u);
    // Nothing to do, and nothing done, for no buffer or a small one.
    populate_in_parallel(nullptr, bytes);
    unsigned char small[16] = {1, 2, 3};
    populate_in_parallel(small, sizeof small);
    EXPECT_EQ(small[2], 3);
}

TEST(FreshMemory, parts_for_memory_passes_are_between_one_and_four) {
    const int parts = memory_parts();
    EXPECT_GE(parts, 1);
    EXPECT_LE(parts, 4);
}

}  // namespace
}  // namespace warpmender
