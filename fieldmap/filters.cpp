// 3x3 filters, masks and the difference image.
#include "fieldmap/filters.h"

namespace warpmender {

bool diffimgfmrhs() { return false; }

}  // namespace warpmender
