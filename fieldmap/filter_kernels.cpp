// 3x3 in-plane filter kernels and magnitude masks.
#include "fieldmap/filter_kernels.h"

#include <algorithm>
#include <memory>
#include <new>

#include "hostlink/log_sink.h"

namespace warpmender {

// out(x, y) = sum over j (outer), i (inner) of K[i][j] * in(x + 1 - i, y + 1 - j).
// Terms beyond an edge are skipped: K * 0.0 is a signed zero and adding it
// never changes a sum that started at +0.0, so the result is that of the full
// nine-term sum. In-slice terms are all added, zero weights included (0 * inf
// must stay NaN).
void filter_slice(const float K[3][3], const double* in, double* out, long nx, long ny) {
    double k[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) k[i][j] = static_cast<double>(K[i][j]);
    for (long y = 0; y < ny; ++y) {
        // Rows y + 1 - j for j = 0, 1, 2; null beyond the slice.
        const double* rows[3] = {y + 1 < ny ? in + (y + 1) * nx : nullptr, in + y * nx,
                                 y > 0 ? in + (y - 1) * nx : nullptr};
        double* o = out + y * nx;
        for (long x = 0; x < nx; ++x) {
            const bool hasright = x + 1 < nx, hasleft = x > 0;
            double sum = 0.0;
            for (int j = 0; j < 3; ++j) {
                const double* r = rows[j];
                if (r == nullptr) continue;
                if (hasright) sum += k[0][j] * r[x + 1];
                sum += k[1][j] * r[x];
                if (hasleft) sum += k[2][j] * r[x - 1];
            }
            o[x] = sum;
        }
    }
}

// Every value of a slice comes from unfiltered values of that slice, so one
// slice of working space is enough.
void filter_slices(const float K[3][3], double* data, long nslices, long nx, long ny, double* work) {
    const long slicesize = nx * ny;
    for (long s = 0; s < nslices; ++s) {
        double* slice = data + s * slicesize;
        filter_slice(K, slice, work, nx, ny);
        std::copy(work, work + slicesize, slice);
    }
}

void getkernel(int code, float kernel[3][3]) {
    const float delta[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}};
    const float ninth = 1.0f / 9.0f;         // 0.11111111
    const float e = 1.0f / 180.0f;           // 0.0055555557
    const float centre25 = 172.0f / 180.0f;  // 0.95555556: the kernel sums to 1
    const float smooth[3][3] = {{ninth, ninth, ninth}, {ninth, ninth, ninth}, {ninth, ninth, ninth}};
    const float shiftsubtract[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, -1}};
    const float edge[3][3] = {{-0.125f, -0.125f, -0.125f}, {-0.125f, 1, -0.125f}, {-0.125f, -0.125f, -0.125f}};
    const float laplacian[3][3] = {{0, 1, 0}, {1, -4, 1}, {0, 1, 0}};
    const float filter25[3][3] = {{e, e, e}, {e, centre25, e}, {e, e, e}};
    const float(*k)[3] = delta;  // 1, 13, 14 and unknown codes filter as the identity
    switch (code) {
        case 2: k = smooth; break;
        case 11: k = shiftsubtract; break;
        case 12: k = edge; break;
        case 21: k = laplacian; break;
        case 25: k = filter25; break;
        default: break;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) kernel[r][c] = k[r][c];
}

const char* getfiltername(int code) {
    switch (code) {
        case 1: return "Delta";
        case 2: return "Smooth";
        case 11: return "ShiftSubtract";
        case 12: return "EdgeDetection";
        case 13: return "EdgeEnhancement";
        case 14: return "Sobel";
        case 21: return "Laplacian";
        default: return "Filter";
    }
}

void threshold_mask(const double* in, long n, double threshold, double value, double* out) {
    for (long i = 0; i < n; ++i) out[i] = in[i] > threshold ? value : 0.0;
}

void zero_outside_mask(const double* mask, double* target, long n) {
    for (long i = 0; i < n; ++i)
        if (mask[i] < 1.0) target[i] = 0.0;
}

datahandler<double>* segmentdatahandlerobject(datahandler<double>* source, double threshold, double value) {
    if (source == nullptr || !source->hasdata()) {
        log_line("No data to build a mask from.");
        return nullptr;
    }
    if (threshold < -32768) threshold = 300.0;
    auto mask = std::make_unique<datahandler<double>>();
    source->copyheader(mask.get());
    mask->setnt(1);
    const long n = mask->getnrofelems();
    double* d = new (std::nothrow) double[static_cast<size_t>(n)];
    if (d == nullptr) {
        log_line("Not enough memory for the mask.");
        return nullptr;
    }
    mask->setdata(d);
    source->getvol(0, d);
    threshold_mask(d, n, threshold, value, d);
    log_line(mask->displayintensityvalues("mask"));
    return mask.release();
}

}  // namespace warpmender
