// One open document as the workstation holds it: FMR or VMR records, voxels and where they came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

enum DocumentType { kFmr = 1, kDmr = 2, kVmr = 3, kSrf = 4 };

// Large blocks for volumes: 2 MiB aligned and marked for huge pages, so that
// a series of a few GB costs a few thousand page faults, not a million.
// Small blocks come from operator new. Throws std::bad_alloc.
void* allocate_volume_bytes(size_t bytes);
void release_volume_bytes(void* p, size_t bytes) noexcept;

// The allocator of a document's volumes. A volume is always filled by its
// reader (or by the plug-in through the host's buffers) right after it is
// made, so a new element is left uninitialised where std::allocator would
// zero it: a volume made with a value, FloatVolume(n, 0.0f), is still zeroed.
template <typename T>
struct VolumeAllocator {
    using value_type = T;
    VolumeAllocator() = default;
    template <typename U>
    VolumeAllocator(const VolumeAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_volume_bytes(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { release_volume_bytes(p, n * sizeof(T)); }
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const VolumeAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const VolumeAllocator<U>&) const noexcept {
        return false;
    }
};
using FloatVolume = std::vector<float, VolumeAllocator<float>>;
using IntVolume = std::vector<uint16_t, VolumeAllocator<uint16_t>>;

// Geometry of a NIfTI source as its header gave it, so that a NIfTI copy of a
// result carries the same qform and sform.
struct NiftiGeometry {
    int qform_code = 0, sform_code = 0;
    float quatern_b = 0, quatern_c = 0, quatern_d = 0, qoffset_x = 0, qoffset_y = 0, qoffset_z = 0, qfac = 1;
    float pixdim[8] = {0, 1, 1, 1, 0, 0, 0, 0};
    float sto_xyz[4][4] = {};  // row-major voxel index -> world mm
    // The affine the image is placed by (sform, else qform), row-major voxel
    // index -> world, already in millimetres: what world alignment compares.
    double world_mm[4][4] = {};
    int xyz_units = 0, time_units = 0;
    bool compressed = true;  // the source was .nii.gz (copies are written the same way)
};

// One open document. FMR data are held per volume (x fastest within a
// volume), 16-bit or float as the header's DataType says; a VMR holds 8-bit
// voxels, x fastest, and no past transformations.
struct Document {
    int type = kFmr;
    FMR_Header fmr{};
    FMR_ScannerPosition_Header position{};
    std::vector<IntVolume> int_volumes;
    std::vector<FloatVolume> float_volumes;
    VMR_Header vmr{};
    std::vector<uint8_t> voxels;
    std::string source_path;                      // the file it was opened from; never overwritten
    std::string source_data_path;                 // the STC file of an FMR source; never overwritten either
    std::optional<NiftiGeometry> nifti_geometry;  // set when the source was a NIfTI image

    // The per-volume pointer tables handed to the plug-in.
    std::vector<unsigned short*> int_pointers;
    std::vector<float*> float_pointers;
    void refresh_pointers();
};

// A float FMR document of nx x ny x nz x nt voxels, all zero, axis-aligned
// and centred at the origin with the given voxel size.
Document make_fmr_document(const std::string& file_name, int nx, int ny, int nz, int nt, int data_type = 2,
                           float voxel_size = 1.0f);
// A VMR document of 1 mm voxels, all zero.
Document make_vmr_document(const std::string& file_name, int nx, int ny, int nz);
// Fills the scanner-position record of an axis-aligned grid centred at the origin.
void set_axis_aligned_position(FMR_ScannerPosition_Header& pos, int nx, int ny, int nz, float dx, float dy, float dz);

}  // namespace host
}  // namespace warpmender
