// Documents: the pointer tables and the empty FMR and VMR documents.
#include "formats/document.h"

#include <sys/mman.h>

#include <cstring>

namespace warpmender {
namespace host {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPage = 4096;
// Below this a block comes from operator new (and stays under the sanitizers' watch).
constexpr size_t kMappedFrom = size_t{1} << 20;

size_t whole_pages(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

}  // namespace

void* allocate_volume_bytes(size_t bytes) {
    if (bytes < kMappedFrom) return ::operator new(bytes == 0 ? 1 : bytes);
    const size_t size = whole_pages(bytes);
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    // Mapped with room to start on a 2 MiB boundary; the rest is given back
    // at once, so no huge page can reach beyond the block into untouched room.
    void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = start + size + kHugePage, used = aligned + size;
    if (end > used) ::munmap(reinterpret_cast<void*>(used), end - used);
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint: failure is harmless
    return reinterpret_cast<void*>(aligned);
}

void release_volume_bytes(void* p, size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kMappedFrom) {
        ::operator delete(p);
        return;
    }
    ::munmap(p, whole_pages(bytes));
}

void Document::refresh_pointers() {
    int_pointers.clear();
    float_pointers.clear();
    for (auto& v : int_volumes) int_pointers.push_back(v.data());
    for (auto& v : float_volumes) float_pointers.push_back(v.data());
}

void set_axis_aligned_position(FMR_ScannerPosition_Header& pos, int nx, int ny, int nz, float dx, float dy, float dz) {
    pos = FMR_ScannerPosition_Header{};
    pos.PosInfosVerified = 1;
    const float half = 0.5f * static_cast<float>(nz - 1) * dz;
    pos.Slice1CenterZ = -half;
    pos.SliceNCenterZ = half;
    pos.RowDirX = 1.0f;
    pos.ColDirY = 1.0f;
    pos.NRows = ny;
    pos.NCols = nx;
    pos.FoVRows = static_cast<float>(ny) * dy;
    pos.FoVCols = static_cast<float>(nx) * dx;
    pos.SliceThickness = dz;
}

Document make_fmr_document(const std::string& file_name, int nx, int ny, int nz, int nt, int data_type,
                           float voxel_size) {
    Document d;
    d.type = kFmr;
    std::strncpy(d.fmr.FileName, file_name.c_str(), sizeof d.fmr.FileName - 1);
    d.fmr.NrOfVolumes = nt;
    d.fmr.ResolutionX = nx;
    d.fmr.ResolutionY = ny;
    d.fmr.NrOfSlices = nz;
    d.fmr.InplaneResolutionX = voxel_size;
    d.fmr.InplaneResolutionY = voxel_size;
    d.fmr.VoxelSizeZ = voxel_size;
    d.fmr.SliceThickness = voxel_size;
    d.fmr.DataType = data_type;
    const size_t n = static_cast<size_t>(nx) * ny * nz;
    if (data_type == 1)
        d.int_volumes.assign(static_cast<size_t>(nt), IntVolume(n, 0));
    else
        d.float_volumes.assign(static_cast<size_t>(nt), FloatVolume(n, 0.0f));
    set_axis_aligned_position(d.position, nx, ny, nz, voxel_size, voxel_size, voxel_size);
    d.refresh_pointers();
    return d;
}

Document make_vmr_document(const std::string& file_name, int nx, int ny, int nz) {
    Document d;
    d.type = kVmr;
    std::strncpy(d.vmr.FileName, file_name.c_str(), sizeof d.vmr.FileName - 1);
    d.vmr.DimX = nx;
    d.vmr.DimY = ny;
    d.vmr.DimZ = nz;
    d.vmr.VoxelSizeX = d.vmr.VoxelSizeY = d.vmr.VoxelSizeZ = 1.0f;
    d.voxels.assign(static_cast<size_t>(nx) * ny * nz, 0);
    set_axis_aligned_position(d.position, nx, ny, nz, 1.0f, 1.0f, 1.0f);
    return d;
}

}  // namespace host
}  // namespace warpmender
