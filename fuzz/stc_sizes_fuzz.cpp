// Fuzz target: read_stc against header sizes taken from the input (4 x int32 sizes, one data-type byte, then the STC).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::stc_sizes(data, size);
    return 0;
}
