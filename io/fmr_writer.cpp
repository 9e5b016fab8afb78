// FMR/STC project writer (being written).
#include "io/fmr_writer.h"

namespace warpmender {
bool saveashs2fmr(datahandler<double>*, const char*, bool, bool) { return false; }
bool saveashs2fmr(datahandler<double>* dh, const char* path, bool) { return saveashs2fmr(dh, path, false, false); }
bool saveashs2fmr(datahandler<double>* dh, const char* path) { return saveashs2fmr(dh, path, false, false); }
bool writehs2fmr(datahandler<double>*, const char*) { return false; }
}  // namespace warpmender
