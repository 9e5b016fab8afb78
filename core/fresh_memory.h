// Fresh buffers faulted in on every core before their first pass.
#pragma once

#include <cstddef>
#include <functional>

namespace warpmender {

// The first touch of a fresh page costs the kernel a clear, and on a virtual
// machine the hypervisor a fault of its own: for a series converted to
// double that is most of a run (884 MB of doubles took 1.3 s to touch on one
// core of a 2-core VM, 0.2 s on two). Faults of different pages proceed in
// parallel, so a large buffer is faulted in part by part, one thread per
// core, before the single pass that fills it. The contents stay as they were
// (indeterminate for a fresh buffer). Small buffers, or a machine of one
// core, are left to fault as they are used.
void populate_in_parallel(void* buffer, size_t bytes);

// Runs work(part, first, last) over [0, count) cut into up to `parts`
// contiguous ranges (part 0 first), part 0 on the calling thread and each
// other on a thread of its own, and returns when all are done. When a thread
// cannot be started its range runs on the calling thread. work must not throw.
void run_in_parts(long count, int parts, const std::function<void(int, long, long)>& work);

// How many parts a pass over memory is worth cutting into here: the cores
// this process may run on, 1 to 4.
int memory_parts();
// The same for a pass over `bytes`: 1 below 64 MB, where starting threads
// costs about what they would share.
int memory_parts_for(double bytes);

}  // namespace warpmender
