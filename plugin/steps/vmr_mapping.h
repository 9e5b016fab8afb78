// Carrying a pixel-shift map into the EPI's grid through the anatomical volume.
#pragma once

#include "core/datahandler.h"
#include "io/host_documents.h"

namespace warpmender {

// Maps a centred VMR voxel position to a centred voxel position of the project.
void createVMR2FMRmatrix(const FMR_Header* fmr, const FMR_ScannerPosition_Header* scannerpos, const VMR_Header* vmr,
                         const float past[4][4], const float ia[4][4], float out[4][4]);
void mapFMR2FMRviaVMR(vmrHdr* anatomy, datahandler<double>* target, fmrfile* epi, const float epiToVmr[4][4],
                      datahandler<double>* fieldmap, fmrfile* start, const float startToVmr[4][4],
                      const float past[4][4]);

}  // namespace warpmender
