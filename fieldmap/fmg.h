// Full-multigrid solver of (diag(a) + membrane operator) u = b on periodic 3D grids.
#pragma once

#include "hostlink/export.h"

// Log level of the solver's progress lines: 1 by default, 2 and 3 say more.
extern "C" WARPMENDER_EXPORT int verboselevel;

namespace warpmender {

// Grids store (x, y, z) at x + nx*(y + ny*z); x fastest. Every grid is periodic
// on all three axes. param = {p0, p1, p2, lambda, mu}: reciprocal voxel sizes,
// membrane weight, constant added to the diagonal.

// Largest size along any axis: halving 32768 reaches 1 within the 16 levels.
constexpr int kFmgMaxAxis = 32768;
constexpr int kFmgMaxLevels = 16;

// Scratch doubles fmg needs for dims (nx, ny, nz): 64x64x1 -> 23892, 3x2x1 -> 40.
// -1 when a size is below 1 or above kFmgMaxAxis, or the count exceeds the
// 32-bit range the solver works in.
int fmg_scratchsize(const int* dims);
// The same count in 64 bits, for callers that check the range first; -1 for
// sizes outside 1..kFmgMaxAxis.
long fmg_scratchsize_long(const int* dims);

// Solves the system into u (its incoming values are not used). c is not read.
// scratch holds fmg_scratchsize(dims) doubles. Grids outside the solver's
// range are refused with a log line and u is left as it was.
void fmg(const int* dims, const double* a, const double* b, int c, const double* param, int nfmg, int nit, double* u,
         double* scratch);

// fmg with the same a at every voxel, given once: the result of fmg with an
// array of it, without the array.
void fmg_uniform(const int* dims, double a, const double* b, const double* param, int nfmg, int nit, double* u,
                 double* scratch);

// nit red-black Gauss-Seidel iterations on one grid, in place on u.
void relax_me(const int* dims, const double* a, const double* b, const double* param, int nit, double* u);
// relax_me with work memory, the same result: u (and a + d) copied into work
// plane by plane with each row split by x parity, b likewise into u's own
// buffer, the passes run as wavefronts over the planes. a_uniform says every
// a[i] has the bits of a[0] (uniform_weight). relax_me_work() doubles run all
// passes in one wavefront, less runs shallower ones in turn; relax_me's loops
// take over when nx is odd, u is a or b, or work is too small for two passes.
void relax_me_split(const int* dims, const double* a, bool a_uniform, const double* b, const double* param, int nit,
                    double* u, double* work, long work_size);
// Work doubles relax_me_split needs for the split copies; 0 when it would not use them.
long relax_me_work(const int* dims, int nit, bool a_uniform);
bool uniform_weight(const double* a, long m);
// out = M u (membrane operator).
void LtLf_me(const int* dims, const double* u, const double* param, double* out);
// out[i] = u[i]*a[i] + out[i]
void Atimesp1(const int* dims, const double* a, const double* u, double* out);
// out = (diag(a) + M) u
void Atimesp_me(const int* dims, const double* a, const double* param, const double* u, double* out);
// Sum over voxels of ((diag(a) + M) u - b)^2.
double sumsq_me(const int* dims, const double* a, const double* b, const double* param, const double* u);

// Three-tap quadratic B-spline resampling of volume a (sizes na) onto c (sizes
// nc), cell-centred and periodic; work holds 3*nc[0]*nc[1] + nc[1]*na[0] doubles.
void resize(const int* na, const double* a, const int* nc, double* c, double* work);
// One plane nax x nay onto ncx x ncy; work holds ncy*nax doubles.
void resized_plane(const int* na, const double* a, const int* nc, double* c, double* work);
// Quadratic B-spline: wt2(0) = 0.75, wt2(0.5) = 0.5, wt2(1) = 0.125, wt2(1.5) = 0.
double wt2(double d);

void zeros(int n, double* v);
void copy(int n, const double* src, double* dst);
void addto(int n, double* v, const double* w);  // v += w
double dotprod(int n, const double* v, const double* w);
double norm(int n, const double* v);
void addscaled(int n, double* v, const double* w, double s);  // v += w*s

}  // namespace warpmender
