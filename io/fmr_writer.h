// Saving volumes as FMR/STC projects: through the host's current document, or directly.
#pragma once

#include "core/datahandler.h"

namespace warpmender {

// Writes dh's values into the buffers of the host's current FMR document and
// asks the host to save it under path. 16-bit documents rescale results above
// 16384 to 0..16384 first. True when the host saved.
bool saveashs2fmr(datahandler<double>* dh, const char* path, bool ownwriter, bool withamr);
bool saveashs2fmr(datahandler<double>* dh, const char* path, bool flag);
bool saveashs2fmr(datahandler<double>* dh, const char* path);

// Writes the FMR text at path and a float STC beside it (t fastest, x slowest).
bool writehs2fmr(datahandler<double>* dh, const char* path);

}  // namespace warpmender
