// Weighted full-multigrid unwrapping (being written).
#include "fieldmap/multigrid_unwrap.h"

namespace warpmender {
datahandler<double>* unwrap_multigrid(datahandler<double>*, datahandler<double>*, bool, int, int) {
    auto* d = new datahandler<double>();
    d->setstatus(STATUS_INVALID);
    return d;
}
}  // namespace warpmender
