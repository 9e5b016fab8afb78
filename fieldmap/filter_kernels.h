// 3x3 in-plane filter kernels and magnitude masks: arithmetic on buffers.
#pragma once

#include "core/datahandler.h"

namespace warpmender {

void getkernel(int code, float kernel[3][3]);
const char* getfiltername(int code);

// One slice, centred, 0.0 beyond every edge: the first kernel index runs
// along x, the second along y. in and out hold nx*ny values and must differ.
void filter_slice(const float K[3][3], const double* in, double* out, long nx, long ny);
// nslices consecutive slices filtered in place through work (nx*ny doubles).
void filter_slices(const float K[3][3], double* data, long nslices, long nx, long ny, double* work);

// out[i] = value where in[i] > threshold, else 0.
void threshold_mask(const double* in, long n, double threshold, double value, double* out);
// target[i] = 0 where mask[i] < 1.
void zero_outside_mask(const double* mask, double* target, long n);

// value where the source's first volume exceeds threshold, else 0 (a
// threshold below -32768 means 300); the summary goes to the log sink. Null
// without data or memory.
datahandler<double>* segmentdatahandlerobject(datahandler<double>* source, double threshold, double value);

}  // namespace warpmender
