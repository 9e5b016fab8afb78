// Fuzz target: a compressed NIfTI-1 file (.nii.gz) opened with read_nifti, damaged streams included.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    warpmender::fuzz::nifti_gz(data, size);
    return 0;
}
