// 3x3 in-plane filters, magnitude masks and the difference image of two projects.
#pragma once

#include "core/datahandler.h"

namespace warpmender {

void getkernel(int code, float kernel[3][3]);
const char* getfiltername(int code);
// Centred 3x3 filter of every slice, zeros outside the slice; always true.
bool filterdata(int code, datahandler<double>* volume, bool flag);
// value where the source's first volume exceeds threshold, else 0.
datahandler<double>* segmentdatahandlerobject(datahandler<double>* source, double threshold, double value);
bool maskimage(datahandler<double>* target, datahandler<double>* source, double threshold, double value);
bool diffimgfmrhs();

}  // namespace warpmender
