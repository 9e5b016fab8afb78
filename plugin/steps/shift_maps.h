// Field-inhomogeneity (B0, Hz) and pixel-shift (voxels) steps.
#pragma once

#include "core/datahandler.h"
#include "fieldmap/fieldmap_params.h"

namespace warpmender {

// New volumes owned by the caller, each saved with its AMR preview.
datahandler<double>* computefieldinhomogeneity(datahandler<double>* phase, fieldmapparams* params);
datahandler<double>* computepixelshiftmap(datahandler<double>* b0, fieldmapparams* params);

}  // namespace warpmender
