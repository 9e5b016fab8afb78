// Saving volumes as FMR/STC projects: through the host's current document, or directly.
#pragma once

#include "core/datahandler.h"

namespace warpmender {

// Writes dh's values into the buffers of the host's current FMR document and
// asks the host to save it under path. 16-bit documents rescale results above
// 16384 to 0..16384 first. True when the host saved. Refused, with a log
// line and the document untouched, when path does not fit the host's 304-byte
// buffer, the AMR name does not fit LoadAMRFile, or dh does not have the
// document's grid (nx, ny, nz equal, at most as many volumes).
bool saveashs2fmr(datahandler<double>* dh, const char* path, bool ownwriter, bool withamr);
bool saveashs2fmr(datahandler<double>* dh, const char* path, bool flag);
bool saveashs2fmr(datahandler<double>* dh, const char* path);

// Writes the FMR text at path and a float STC beside it (t fastest, x slowest).
// Each file appears complete or not at all.
bool writehs2fmr(datahandler<double>* dh, const char* path);

}  // namespace warpmender
