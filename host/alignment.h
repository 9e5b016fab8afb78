// World frames of documents and the FMR-to-VMR alignment the host reports.
#pragma once

#include "hostlink/hostapi.h"

namespace warpmender {
namespace host {

// A document's world frame: world = origin + axes * p for centred millimetres p
// along its own voxel axes (column index, row index, slice index).
struct Frame {
    double origin[3];
    double axes[3][3];  // columns: x (row direction), y (column direction), slice normal
};

Frame frame_of(const FMR_ScannerPosition_Header& p);
// The slice-order flip the plug-in derives from an FMR record.
void slice_order_flip(const FMR_ScannerPosition_Header& p, bool& flip_x, bool& flip_z);
// ia = [R_V^T R_F F | R_V^T (o_F - o_V)]: maps F-flipped FMR millimetres to VMR millimetres.
void fmr_to_vmr(const FMR_ScannerPosition_Header& fmr, const FMR_ScannerPosition_Header& vmr, float out[4][4]);

}  // namespace host
}  // namespace warpmender
