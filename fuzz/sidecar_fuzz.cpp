// Fuzz target: a BIDS sidecar parsed with parse_sidecar.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::sidecar(data, size);
    return 0;
}
