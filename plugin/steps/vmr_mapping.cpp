// The mapping step: a pixel-shift map carried into the EPI's grid through the anatomical volume, logged and saved.
#include "plugin/steps/vmr_mapping.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "core/helper_tools.h"
#include "core/mat44.h"
#include "fieldmap/anatomy_mapping.h"
#include "hostlink/host_binding.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"

namespace warpmender {
namespace {

void log_matrix(const float M[4][4], const char* label) {
    hs::hsLogText(matrixmaster().matrix44ToChar(M, label).c_str());
}

bool usable_size(float v) { return std::isfinite(v) && v != 0.0f; }

// A zero voxel size makes the scale factors infinite and every position NaN.
bool voxel_sizes_usable(const FMR_Header* fmr, const VMR_Header* vmr, const char* what) {
    char line[512];
    if (fmr != nullptr && !(usable_size(fmr->InplaneResolutionX) && usable_size(fmr->InplaneResolutionY) &&
                            usable_size(fmr->VoxelSizeZ))) {
        std::snprintf(line, sizeof line,
                      "Cannot map through the VMR: the voxel size of the %s (InplaneResolutionX %g, "
                      "InplaneResolutionY %g, VoxelSizeZ %g) must be finite and not zero.",
                      what, double(fmr->InplaneResolutionX), double(fmr->InplaneResolutionY), double(fmr->VoxelSizeZ));
        hs::hsLogText(line);
        return false;
    }
    if (vmr != nullptr &&
        !(usable_size(vmr->VoxelSizeX) && usable_size(vmr->VoxelSizeY) && usable_size(vmr->VoxelSizeZ))) {
        std::snprintf(line, sizeof line,
                      "Cannot map through the VMR: the VMR voxel size (VoxelSizeX %g, VoxelSizeY %g, VoxelSizeZ %g) "
                      "must be finite and not zero.",
                      double(vmr->VoxelSizeX), double(vmr->VoxelSizeY), double(vmr->VoxelSizeZ));
        hs::hsLogText(line);
        return false;
    }
    return true;
}

}  // namespace

void createVMR2FMRmatrix(const FMR_Header* fmr, const FMR_ScannerPosition_Header* scannerpos, const VMR_Header* vmr,
                         const float past[4][4], const float ia[4][4], float out[4][4]) {
    if (fmr == nullptr || scannerpos == nullptr || vmr == nullptr || !voxel_sizes_usable(fmr, vmr, "FMR")) {
        // Refused: a zero matrix, which the mapping never receives (it checks first).
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) out[r][c] = 0.0f;
        return;
    }
    float A[4][4];
    invertRotationTranslationMatrix(ia, A);

    // Slice acquisition order: mirror the slice axis of a descending stack, or
    // the x axis of a sagittal stack whose slices run towards -x.
    float F[4][4];
    makeIdentityMatrix(F);
    const float dx = scannerpos->Slice1CenterX - scannerpos->SliceNCenterX;
    const float dy = scannerpos->Slice1CenterY - scannerpos->SliceNCenterY;
    const float dz = scannerpos->Slice1CenterZ - scannerpos->SliceNCenterZ;
    if (std::fabs(dz) > std::fabs(dx) || std::fabs(dy) > std::fabs(dx)) {
        if (dz < 0) F[2][2] = -1.0f;
    } else {
        if (dx > 0) F[0][0] = -1.0f;
    }
    log_matrix(F, "Flipping matrix, based on slice acquisition order");

    float S[4][4];
    makeScaleMatrix(S, 1.0f / fmr->InplaneResolutionX, 1.0f / fmr->InplaneResolutionY, 1.0f / fmr->VoxelSizeZ);
    log_matrix(S, "FMR inverse scaling matrix");
    float V[4][4];
    makeScaleMatrix(V, vmr->VoxelSizeX, vmr->VoxelSizeY, vmr->VoxelSizeZ);
    log_matrix(V, "VMR scaling matrix");

    // Only a past transformation with a non-unit diagonal (a flip or scaling;
    // NaN counts) is used, whatever its other elements hold.
    float P[4][4];
    makeIdentityMatrix(P);
    if (!(past[0][0] == 1.0f) || !(past[1][1] == 1.0f) || !(past[2][2] == 1.0f)) {
        log_matrix(past, "Incorporating flip in past VMR transformation");
        multiplyMatrixMatrix(F, past, P);
    }

    float FS[4][4], FSA[4][4], FSAP[4][4];
    multiplyMatrixMatrix(F, S, FS);
    multiplyMatrixMatrix(FS, A, FSA);
    multiplyMatrixMatrix(FSA, P, FSAP);
    multiplyMatrixMatrix(FSAP, V, out);
    log_matrix(out, "Final VMR 2 FMR matrix");
}

void mapFMR2FMRviaVMR(vmrHdr* anatomy, datahandler<double>* target, fmrfile* epi, const float epiToVmr[4][4],
                      datahandler<double>* fieldmap, fmrfile* start, const float startToVmr[4][4],
                      const float past[4][4]) {
    if (anatomy == nullptr || anatomy->header == nullptr || target == nullptr || !target->hasdata() || epi == nullptr ||
        epi->header == nullptr || epi->scannerpos == nullptr || fieldmap == nullptr || !fieldmap->hasdata() ||
        start == nullptr || start->header == nullptr || start->scannerpos == nullptr) {
        hs::hsLogText("Cannot map the pixel shift map through the VMR: a document or its data is missing.");
        return;
    }
    const FMR_Header& eh = *epi->header;
    const FMR_Header& sh = *start->header;
    if (!voxel_sizes_usable(&eh, anatomy->header, "EPI") || !voxel_sizes_usable(&sh, nullptr, "field map")) return;
    const long A = anatomy->header->DimX, B = anatomy->header->DimY, C = anatomy->header->DimZ;
    const long EX = eh.ResolutionX, EY = eh.ResolutionY, EZ = eh.NrOfSlices;
    const long FX = sh.ResolutionX, FY = sh.ResolutionY, FZ = sh.NrOfSlices;
    // Writes land at EPI indices and reads at field-map indices: both volumes
    // must be on the grids their headers describe.
    if (target->getnx() != EX || target->getny() != EY || target->getnz() != EZ || fieldmap->getnx() != FX ||
        fieldmap->getny() != FY || fieldmap->getnz() != FZ) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "Cannot map the pixel shift map through the VMR: the target (%ld x %ld x %ld) must be on the EPI "
                      "grid (%ld x %ld x %ld) and the map (%ld x %ld x %ld) on the field-map grid (%ld x %ld x %ld).",
                      target->getnx(), target->getny(), target->getnz(), EX, EY, EZ, fieldmap->getnx(),
                      fieldmap->getny(), fieldmap->getnz(), FX, FY, FZ);
        hs::hsLogText(line);
        return;
    }

    float ME[4][4], MF[4][4];
    createVMR2FMRmatrix(epi->header, epi->scannerpos, anatomy->header, past, epiToVmr, ME);
    log_matrix(ME, "Final EPI (*.fmr) to VMR mapping");
    createVMR2FMRmatrix(start->header, start->scannerpos, anatomy->header, past, startToVmr, MF);
    log_matrix(MF, "Final pixelshiftmap (*.fmr) to VMR (and FMR 1) mapping");

    // Scatter from the anatomy: every EPI voxel some VMR voxel reaches takes the map's value there.
    scatter_through_anatomy({A, B, C}, ME, {EX, EY, EZ}, target->getdata(), MF, {FX, FY, FZ}, fieldmap->getdata());

    const std::string name =
        help.getbasename(help.createFileName(target->getname(), "_pixshiftInEPIres").c_str(), false, false);
    saveashs2fmr(target, name.c_str());
    hs::hsLogText(name.c_str());
    if (save2amr(target, "_pixshiftInEPIres")) hs::hsLogText("Also wrote *.amr.");
    hs::hsUpdateActiveWindow();
}

}  // namespace warpmender
