// The undistortion step: an EPI series corrected with a pixel-shift map, saved and named.
#pragma once

#include "core/datahandler.h"
#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// Corrects epi in place, saves it as "<name>_undistort.fmr" and hands the name
// back in "NameUndistortedFile"; true when saved. A map whose grid differs from
// the EPI's, or a direction outside 1..6, is refused before any data change.
bool undistort1d(datahandler<double>* epi, datahandler<double>* pixelshift, fieldmapparams* params);

}  // namespace warpmender
