// Fuzz target: a version-1 VMR file read with read_vmr.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::vmr(data, size);
    return 0;
}
