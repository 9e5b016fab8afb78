// Mapping through the anatomy (being written).
#include "fieldmap/vmr_mapping.h"

namespace warpmender {
void createVMR2FMRmatrix(const FMR_Header*, const FMR_ScannerPosition_Header*, const VMR_Header*, const float[4][4], const float[4][4], float[4][4]) {}
void mapFMR2FMRviaVMR(vmrHdr*, datahandler<double>*, fmrfile*, const float[4][4], datahandler<double>*, fmrfile*, const float[4][4], const float[4][4]) {}
}  // namespace warpmender
