// Filter, mask and difference steps: the kernels of fieldmap/ with their logs and saves.
#include "plugin/steps/filters.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "io/host_documents.h"

namespace warpmender {

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
    std::unique_ptr<double[]> work(new (std::nothrow) double[static_cast<size_t>(slicesize)]());
    if (!work) {
        hs::hsLogText("Not enough memory to filter the data.");
        return false;
    }
    hs::hsLogText("Start convolution...");
    hs::hsShowBusyCursor();
    filter_slices(K, volume->getdata(), nslices, nx, ny, work.get());
    hs::hsStopBusyCursor();
    return true;
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
    zero_outside_mask(mask->getdata(), target->getdata(), target->getnrofelems());
    const std::string name = help.getbasename(help.createFileName(target->getname(), "_masked").c_str(), false, false);
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
    hs::hsSetStringParameter(protocol::kDifferenceImgName, name.c_str());
    return true;
}

}  // namespace warpmender
