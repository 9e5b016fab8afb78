// Fuzz target: an uncompressed NIfTI-1 file opened with read_nifti, as a functional series and as anatomy.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::nifti(data, size);
    return 0;
}
