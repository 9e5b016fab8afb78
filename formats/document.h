// One open document as the workstation holds it: FMR or VMR records, voxels and where they came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

enum DocumentType { kFmr = 1, kDmr = 2, kVmr = 3, kSrf = 4 };

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
    std::vector<std::vector<uint16_t>> int_volumes;
    std::vector<std::vector<float>> float_volumes;
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
