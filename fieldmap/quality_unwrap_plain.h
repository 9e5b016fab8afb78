// The plain twin of quality_unwrap, for tests that prove its fast paths give the same bits.
#pragma once

#include "fieldmap/quality_unwrap.h"

namespace warpmender {
namespace detail {

// quality_unwrap with every shortcut off: each voxel's quality and each
// edge's level through the checked per-voxel code, every seed taken from the
// sorted list, and every edge to a voxel not yet reached queued, not only
// those better than the one it is queued with. The result and the counts
// must match quality_unwrap's bit for bit. A null float magnitude is the
// phase-only form.
bool quality_unwrap_plain(const double* phase, const float* magnitude, const int* dims, double* unwrapped,
                          QualityUnwrapInfo* info);
bool quality_unwrap_plain(const double* phase, const double* magnitude, const int* dims, double* unwrapped,
                          QualityUnwrapInfo* info);

}  // namespace detail
}  // namespace warpmender
