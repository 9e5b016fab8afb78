// Reading NIfTI headers and the memory estimate of a correction.
#include "bids/memory_estimate.h"

#include <memory>

#include <nifti1_io.h>

#include "bids/error.h"

namespace warpmender {
namespace bids {

ImageHeader read_image_header(const std::string& path) {
    nifti_set_debug_level(0);
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> nim(nifti_image_read(path.c_str(), 0), nifti_image_free);
    if (!nim) throw Error("cannot read the NIfTI header of \"" + path + "\"");
    ImageHeader h;
    h.nx = nim->nx;
    h.ny = nim->ny;
    h.nz = nim->ndim >= 3 ? nim->nz : 1;
    h.nt = 1;
    for (int d = 4; d <= nim->ndim && d <= 7; ++d) h.nt *= nim->dim[d];
    h.bytes_per_voxel = nim->nbyper;
    if (h.nx < 1 || h.ny < 1 || h.nz < 1 || h.nt < 1 || h.bytes_per_voxel < 1)
        throw Error("\"" + path + "\": the NIfTI header gives a size of " + std::to_string(h.nx) + " x " +
                    std::to_string(h.ny) + " x " + std::to_string(h.nz) + " x " + std::to_string(h.nt) + " at " +
                    std::to_string(h.bytes_per_voxel) + " bytes per voxel");
    return h;
}

MemoryEstimate estimate_memory(const ImageHeader& series, const ImageHeader& fieldmap) {
    MemoryEstimate m;
    m.series = series;
    m.fieldmap = fieldmap;
    const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    m.bytes = u(series.voxels()) * (u(series.bytes_per_voxel) + 16) + u(series.voxels_per_volume()) * 32 +
              u(fieldmap.voxels_per_volume()) * 96 + kProgramBytes;
    return m;
}

const char* memory_formula() { return "S (s + 16) + 32 E + 96 F + 64 MiB"; }

}  // namespace bids
}  // namespace warpmender
