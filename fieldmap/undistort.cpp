// Undistortion (being written).
#include "fieldmap/undistort.h"

namespace warpmender {
bool undistort1d(datahandler<double>*, datahandler<double>*, fieldmapparams*) { return false; }
}  // namespace warpmender
