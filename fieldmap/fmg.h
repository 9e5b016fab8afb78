// Full-multigrid solver of (diag(a) + membrane operator) u = b on periodic 3D grids.
#pragma once

#include "plugin/export.h"

// Log level of the solver's progress lines: 1 by default, 2 and 3 say more.
extern "C" WARPMENDER_EXPORT int verboselevel;
