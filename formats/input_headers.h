// What an input holds, read from its header alone: the cheap facts checked before any voxel is read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace warpmender {
namespace host {

struct InputGrid {
    std::string path;
    int nx = 0, ny = 0, nz = 0;
    int nt = 1;               // volumes the host keeps once the file is open
    uint64_t host_bytes = 0;  // what the open document holds
    // Voxel index -> world (mm), row-major, of a NIfTI image (sform, else
    // qform); none for FMR and VMR inputs.
    std::optional<std::array<std::array<double, 4>, 4>> world_mm;
    uint64_t voxels() const { return static_cast<uint64_t>(nx) * ny * nz; }
    std::string describe() const;  // "96 x 96 x 60 x 300"
};

// Every check of the header and of the file's size that opening the file
// makes (the STC beside an FMR too), without reading a voxel. Throws Error
// naming the file, as open_document would.
InputGrid read_input_grid(const std::string& path, bool as_anatomy);

// Throws Error naming both files when a and b do not share nx, ny and nz:
//   "the magnitude \"m.nii\" has a 64 x 64 x 30 grid, the phase \"p.nii\" 1000 x 1000 x 50: ..."
void require_same_grid(const InputGrid& a, const std::string& a_role, const InputGrid& b, const std::string& b_role,
                       const std::string& why);

}  // namespace host
}  // namespace warpmender
