// Full-multigrid Poisson solver.
#include "fieldmap/fmg.h"

extern "C" {
WARPMENDER_EXPORT int verboselevel = 1;
}
