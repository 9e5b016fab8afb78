// Fuzz target: an FMR text header read with read_fmr, a fixed 480-byte STC file beside it.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::fmr_header(data, size);
    return 0;
}
