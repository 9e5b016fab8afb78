// The memory a series' correction declares, from the NIfTI headers alone (for job schedulers).
#pragma once

#include <cstdint>
#include <string>

namespace warpmender {
namespace bids {

struct ImageHeader {
    std::int64_t nx = 1, ny = 1, nz = 1, nt = 1;  // nt: volumes (dimensions 4 to 7 together)
    int bytes_per_voxel = 0;                      // as stored
    std::int64_t voxels_per_volume() const { return nx * ny * nz; }
    std::int64_t voxels() const { return nx * ny * nz * nt; }
};

// The header of a NIfTI image (no voxel is read). Throws Error naming the
// file when it cannot be read as NIfTI or has a size below 1.
ImageHeader read_image_header(const std::string& path);

// What one correction holds at its peak, in bytes, with
//   S = series voxels (nx ny nz nt), s = its stored bytes per voxel,
//   E = voxels of one series volume (nx ny nz), F = voxels of the field map's grid:
//   bytes = S (s + 16)       the series as stored, and as doubles in and out
//         + E 4 x 8          field, shift map, intensity factor, work volume on the series' grid
//         + F 12 x 8         field-map images, mask, unwrapping and multigrid levels as doubles
//         + 64 MiB           the program itself
// Declared for schedulers, not measured: a generous bound.
struct MemoryEstimate {
    ImageHeader series, fieldmap;
    std::uint64_t bytes = 0;
    std::uint64_t mebibytes() const { return (bytes + (1u << 20) - 1) >> 20; }  // rounded up
};
constexpr std::uint64_t kProgramBytes = 64ull << 20;
MemoryEstimate estimate_memory(const ImageHeader& series, const ImageHeader& fieldmap);
// The formula as text, for the plan: "S (s + 16) + 32 E + 96 F + 64 MiB".
const char* memory_formula();

}  // namespace bids
}  // namespace warpmender
