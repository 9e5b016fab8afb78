// 3x3 in-plane filters, magnitude masks and the difference image of two open projects.
#include "fieldmap/filters.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/helper_tools.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "io/host_documents.h"
#include "hostlink/host_binding.h"

namespace warpmender {
namespace {

// One slice, centred: out(x, y) = sum over j (outer), i (inner) of
// K[i][j] * in(x + 1 - i, y + 1 - j), 0.0 beyond every edge. The first kernel
// index runs along x, the second along y. Terms beyond an edge are skipped:
// K * 0.0 is a signed zero and adding it never changes a sum that started at
// +0.0, so the result is that of the full nine-term sum. In-slice terms are
// all added, zero weights included (0 * inf must stay NaN).
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

}  // namespace

void getkernel(int code, float kernel[3][3]) {
    const float delta[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}};
    const float ninth = 1.0f / 9.0f;            // 0.11111111
    const float e = 1.0f / 180.0f;              // 0.0055555557
    const float centre25 = 172.0f / 180.0f;     // 0.95555556: the kernel sums to 1
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

bool filterdata(int code, datahandler<double>* volume, bool flag) {
    (void)flag;  // has no effect
    float K[3][3];
    getkernel(code, K);
    help.displayMatrix33(K, getfiltername(code));
    hs::hsLogText("...convolution kernel.");
    if (volume == nullptr || !volume->hasdata()) {
        hs::hsLogText("No data to filter.");
        return false;
    }
    const long nx = volume->getnx(), ny = volume->getny();
    const long nslices = volume->getnz() * volume->getnt();
    const long slicesize = nx * ny;
    // Every value of a slice comes from unfiltered values of that slice, so
    // one slice of working space is enough.
    std::unique_ptr<double[]> work(new (std::nothrow) double[static_cast<size_t>(slicesize)]());
    if (!work) {
        hs::hsLogText("Not enough memory to filter the data.");
        return false;
    }
    hs::hsLogText("Start convolution...");
    hs::hsShowBusyCursor();
    double* data = volume->getdata();
    for (long s = 0; s < nslices; ++s) {
        double* slice = data + s * slicesize;
        filter_slice(K, slice, work.get(), nx, ny);
        std::copy(work.get(), work.get() + slicesize, slice);
    }
    hs::hsStopBusyCursor();
    return true;
}

datahandler<double>* segmentdatahandlerobject(datahandler<double>* source, double threshold, double value) {
    if (source == nullptr || !source->hasdata()) {
        hs::hsLogText("No data to build a mask from.");
        return nullptr;
    }
    if (threshold < -32768) threshold = 300.0;
    auto mask = std::make_unique<datahandler<double>>();
    source->copyheader(mask.get());
    mask->setnt(1);
    const long n = mask->getnrofelems();
    double* d = new (std::nothrow) double[static_cast<size_t>(n)];
    if (d == nullptr) {
        hs::hsLogText("Not enough memory for the mask.");
        return nullptr;
    }
    mask->setdata(d);
    source->getvol(0, d);
    for (long i = 0; i < n; ++i) d[i] = d[i] > threshold ? value : 0.0;
    hs::hsLogText(mask->displayintensityvalues("mask").c_str());
    return mask.release();
}

bool maskimage(datahandler<double>* target, datahandler<double>* source, double threshold, double value) {
    if (target == nullptr || source == nullptr || !target->hasdata()) {
        hs::hsLogText("No data to mask.");
        return false;
    }
    // The mask is one volume of the source's grid; it must cover every element of the target.
    if (target->getnrofelems() > source->getvoxelspervolume()) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "The image to be masked has more voxels (%ld) than the mask (%ld), masking not possible.",
                      target->getnrofelems(), source->getvoxelspervolume());
        hs::hsLogText(line);
        return false;
    }
    std::unique_ptr<datahandler<double>> mask(segmentdatahandlerobject(source, threshold, value));
    if (!mask) return false;
    save2amr(mask.get(), "mask");
    const double* m = mask->getdata();
    double* t = target->getdata();
    const long n = target->getnrofelems();
    for (long i = 0; i < n; ++i)
        if (m[i] < 1.0) t[i] = 0.0;
    const std::string name =
        help.getbasename(help.createFileName(target->getname(), "_masked").c_str(), false, false);
    hs::hsLogText(name.c_str());
    save2amr(target, "_masked");
    saveashs2fmr(target, name.c_str());
    return true;
}

bool diffimgfmrhs() {
    if (hs::hsGetNumberOfDocsInWorkspace() < 2) {
        hs::hsLogText("This function requires 2 functional images to be open in Neurolattice.");
        return false;
    }
    std::unique_ptr<datahandler<double>> source(getcurrentfmrext_gui("Please select the source image"));
    std::unique_ptr<datahandler<double>> subtrahend(getcurrentfmrext_gui("Please select the image to subtract"));
    // A document that could not be read yields an empty container; two of them
    // would "match" and an empty difference would be saved as a success.
    if (!source || !subtrahend || source->getstatus() != STATUS_VALID || subtrahend->getstatus() != STATUS_VALID ||
        !source->hasdata() || !subtrahend->hasdata()) {
        hs::hsLogText("Could not obtain both images, subtraction not possible.");
        return false;
    }
    if (source->getnrofelems() != subtrahend->getnrofelems()) {
        hs::hsLogText("Images do not have same number of voxels, subtraction not possible.");
        return false;
    }
    const double* a = source->getdata();
    double* b = subtrahend->getdata();
    const long n = subtrahend->getnrofelems();
    for (long i = 0; i < n; ++i) b[i] = a[i] - b[i];
    const std::string name =
        help.getbasename(help.createFileName(subtrahend->getname(), "_diffimg").c_str(), false, false);
    saveashs2fmr(subtrahend.get(), name.c_str());
    std::vector<char> line(std::string(subtrahend->getname()).size() + std::string(source->getname()).size() +
                           name.size() + 64);
    std::snprintf(line.data(), line.size(), "Subtracted\n %s\nfrom\n %s.\nNew name:\n%s", subtrahend->getname(),
                  source->getname(), name.c_str());
    hs::hsLogText(line.data());
    hs::hsSetStringParameter("DifferenceImgName", name.c_str());
    return true;
}

}  // namespace warpmender
