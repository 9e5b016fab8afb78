// Size checks before allocation and the replacement of non-finite voxels.
#include "formats/file_checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/error.h"

namespace warpmender {
namespace host {

namespace {

std::string describe(int64_t nx, int64_t ny, int64_t nz, int64_t nt, size_t bytes) {
    return std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) + " x " + std::to_string(nt) +
           " voxels of " + std::to_string(bytes) + " bytes";
}

}  // namespace

uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

size_t checked_volume_voxels(const std::string& file, int64_t nx, int64_t ny, int64_t nz, int64_t nt,
                             size_t bytes_per_voxel) {
    const std::string sizes = describe(nx, ny, nz, nt, bytes_per_voxel);
    if (nx < 1 || ny < 1 || nz < 1 || nt < 1)
        throw Error("cannot open \"" + file + "\": every dimension must be at least 1, got " + sizes);
    uint64_t per_volume = 0, voxels = 0, bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(nx), static_cast<uint64_t>(ny), &per_volume) ||
        __builtin_mul_overflow(per_volume, static_cast<uint64_t>(nz), &per_volume) ||
        __builtin_mul_overflow(per_volume, static_cast<uint64_t>(nt), &voxels) ||
        __builtin_mul_overflow(voxels, static_cast<uint64_t>(bytes_per_voxel), &bytes) ||
        bytes > static_cast<uint64_t>(PTRDIFF_MAX))
        throw Error("cannot open \"" + file + "\": " + sizes + " is more than can be addressed");
    const uint64_t memory = physical_memory_bytes();
    if (memory != 0 && bytes > memory)
        throw Error("cannot open \"" + file + "\": " + sizes + " need " + std::to_string(bytes) +
                    " bytes, more than the " + std::to_string(memory) + " bytes of memory of this machine");
    return static_cast<size_t>(per_volume);
}

bool finite_position(const FMR_ScannerPosition_Header& p) {
    const float v[] = {p.Slice1CenterX, p.Slice1CenterY, p.Slice1CenterZ,  p.SliceNCenterX,
                       p.SliceNCenterY, p.SliceNCenterZ, p.RowDirX,        p.RowDirY,
                       p.RowDirZ,       p.ColDirX,       p.ColDirY,        p.ColDirZ,
                       p.FoVRows,       p.FoVCols,       p.SliceThickness, p.GapThickness};
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

namespace {

// On the bits, without a branch, so that the compiler vectorises it: a float
// is NaN or infinite when its exponent is all ones.
inline uint32_t non_finite_bit(const float* v) {
    uint32_t bits;
    std::memcpy(&bits, v, sizeof bits);
    return (bits & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
}

}  // namespace

size_t zero_non_finite(float* values, size_t n) {
    // Piece by piece, looking before writing: a scanner's series rarely holds
    // a non-finite value, and a pass that only reads moves half the bytes.
    constexpr size_t kPiece = 4096;
    size_t count = 0;
    for (size_t first = 0; first < n; first += kPiece) {
        const size_t last = n - first < kPiece ? n : first + kPiece;
        uint32_t any = 0;
        for (size_t i = first; i < last; ++i) any |= non_finite_bit(values + i);
        if (any == 0) continue;
        for (size_t i = first; i < last; ++i)
            if (non_finite_bit(values + i) != 0) {
                values[i] = 0.0f;
                ++count;
            }
    }
    return count;
}

std::string non_finite_note(const std::string& file, uint64_t count, uint64_t total) {
    return "\"" + file + "\": " + std::to_string(count) + " of " + std::to_string(total) +
           " voxels were NaN or infinite and were set to 0";
}

}  // namespace host
}  // namespace warpmender
