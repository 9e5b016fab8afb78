// Undistortion of an EPI series along the phase-encoding axis with a pixel-shift map.
#pragma once

#include "core/datahandler.h"
#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// Corrects epi in place, saves it as "<name>_undistort.fmr" and hands the name
// back in "NameUndistortedFile"; true when saved.
bool undistort1d(datahandler<double>* epi, datahandler<double>* pixelshift, fieldmapparams* params);

}  // namespace warpmender
