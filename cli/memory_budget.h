// The memory a run will need, estimated from its inputs' headers, against the memory the machine can give it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/input_headers.h"

namespace warpmender {
namespace host {

// Bytes a run over these inputs needs at its peak: every document as the
// host holds it, each series once more as the plug-in's double copy and its
// float result, and the largest single volume times the unwrapping's working
// set (pyramid, weights and intermediate maps), plus a fixed allowance for
// the program itself. Deliberately generous: a refusal costs a message, an
// under-estimate a machine that swaps or a process the kernel kills.
uint64_t estimated_run_bytes(const std::vector<InputGrid>& inputs);

// The memory this process may still take: MemAvailable of /proc/meminfo,
// lowered to what the cgroup's memory.max leaves above memory.current. 0
// when neither is known. source says where the figure came from.
uint64_t available_memory_bytes(std::string* source = nullptr);

// Throws Error when the estimate exceeds what is available, naming the
// largest input, its grid and the sizes:
//   "not enough memory for this run: \"bold.nii.gz\" (1000 x 1000 x 50 x 30) and the other inputs need about
//    17.6 GB, and 3.2 GB are available (MemAvailable in /proc/meminfo)"
void check_run_memory(const std::vector<InputGrid>& inputs);

// "1.2 GB", "340 MB", "12 kB"
std::string byte_size_text(uint64_t bytes);

}  // namespace host
}  // namespace warpmender
