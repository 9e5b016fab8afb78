// Documents: the pointer tables and the empty FMR and VMR documents.
#include "formats/document.h"

#include <cstring>

namespace warpmender {
namespace host {

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
        d.int_volumes.assign(static_cast<size_t>(nt), std::vector<uint16_t>(n, 0));
    else
        d.float_volumes.assign(static_cast<size_t>(nt), std::vector<float>(n, 0.0f));
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
