// Filter, mask and difference steps: logged, saved, the difference from two open projects.
#pragma once

#include "core/datahandler.h"
#include "fieldmap/filter_kernels.h"

namespace warpmender {

// Centred 3x3 filter of every slice, zeros outside the slice; always true.
bool filterdata(int code, datahandler<double>* volume, bool flag);
bool maskimage(datahandler<double>* target, datahandler<double>* source, double threshold, double value);
bool diffimgfmrhs();

}  // namespace warpmender
