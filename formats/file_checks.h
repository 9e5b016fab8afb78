// Checks every file reader makes: voxel counts before allocating, non-finite values after reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

// Remarks a reader has for the user (passed on to Host::note by open_document).
using Notes = std::vector<std::string>;

// Voxels of one volume, nx*ny*nz, after checking that every dimension is at
// least 1, that nx*ny*nz*nt*bytes_per_voxel neither overflows nor exceeds the
// machine's memory. Throws Error naming the file and the sizes otherwise.
size_t checked_volume_voxels(const std::string& file, int64_t nx, int64_t ny, int64_t nz, int64_t nt,
                             size_t bytes_per_voxel);

// Physical memory of this machine in bytes (0 when unknown: then no memory limit is applied).
uint64_t physical_memory_bytes();

// True when every number of the record is finite. Finite voxel sizes can
// still give an infinite extent (3e38 mm x 4 voxels), which no position may hold.
bool finite_position(const FMR_ScannerPosition_Header& pos);

// Replaces NaN and infinite values by 0; returns how many there were.
size_t zero_non_finite(float* values, size_t n);

// The note a reader leaves when it replaced non-finite voxels:
// "\"a.nii\": 3 of 1000 voxels were NaN or infinite and were set to 0"
std::string non_finite_note(const std::string& file, uint64_t count, uint64_t total);

}  // namespace host
}  // namespace warpmender
