// NIfTI-1 images (.nii, .nii.gz) as host documents, and NIfTI copies of saved FMR documents.
#pragma once

#include <string>

#include "formats/document.h"
#include "formats/file_checks.h"

namespace warpmender {
namespace host {

class AtomicFile;

// "a/b.nii.gz" and "a/b.nii" are NIfTI paths; "a/b.fmr" is not.
bool is_nifti_path(const std::string& path);

// Opens a 3D or 4D NIfTI-1 image as an FMR document (float values, DataType 2,
// scl_slope/scl_inter applied) or, with as_anatomy, as a VMR document (the
// first volume rescaled linearly from its minimum and maximum to 0..255).
// FileName is the path with ".nii"/".nii.gz" replaced by ".fmr" (or ".vmr");
// the scanner-position record and the voxel sizes come from the affine
// (sform, else qform). NaN and infinite voxels become 0 with a note.
// Throws Error naming the file and what is wrong.
Document read_nifti(const std::string& path, bool as_anatomy, Notes& notes);
// Every check read_nifti makes of the header and the file's size, without reading a voxel.
Document read_nifti_header(const std::string& path, bool as_anatomy, Notes& notes);

// Where the NIfTI copy of a save at fmr_path goes:
//   "out/a_b0.fmr" -> "out/a_b0.nii.gz"  (or "out/a_b0.nii" when doc's source was an uncompressed .nii)
std::string nifti_path_for(const Document& doc, const std::string& fmr_path);
bool nifti_copy_compressed(const Document& doc);

// Writes an FMR document as float32 NIfTI-1 into file's temporary file (whose
// name ends in ".nii" or ".nii.gz"), with the geometry of the document's NIfTI
// source or, for other sources, the affine of its scanner-position record.
void write_nifti(const Document& doc, AtomicFile& file);

// The voxel-index-to-world affine (row-major, mm) that a scanner-position record
// and voxel sizes describe; the inverse of how read_nifti derives the record.
void affine_of_position(const FMR_ScannerPosition_Header& pos, int nx, int ny, int nz, float dx, float dy, float dz,
                        float affine[4][4]);
// The scanner-position record of an nx x ny x nz grid with that affine.
void position_of_affine(const float affine[4][4], int nx, int ny, int nz, FMR_ScannerPosition_Header& pos);

}  // namespace host
}  // namespace warpmender
