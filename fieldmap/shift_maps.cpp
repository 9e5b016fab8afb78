// B0 and pixel-shift maps (being written).
#include "fieldmap/shift_maps.h"

namespace warpmender {
datahandler<double>* computefieldinhomogeneity(datahandler<double>*, fieldmapparams*) { auto* d = new datahandler<double>(); d->setstatus(STATUS_INVALID); return d; }
datahandler<double>* computepixelshiftmap(datahandler<double>*, fieldmapparams*) { auto* d = new datahandler<double>(); d->setstatus(STATUS_INVALID); return d; }
int writeacquisitionparamsfile(fieldmapparams*) { return 0; }
}  // namespace warpmender
