// Fuzz target: session text parsed with parse_session_text.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::session(data, size);
    return 0;
}
