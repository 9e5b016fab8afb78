// Phase-scaling steps (radians, cycles, the polar pair) with their logs and saves, and the volume loader.
#include "plugin/steps/phase_scaling.h"

#include <nifti1_io.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "io/fmr_writer.h"
#include "io/host_documents.h"

namespace warpmender {
namespace {

void log_summary(const datahandler<double>& d, const char* label) {
    hs::hsLogText(d.displayintensityvalues(label).c_str());
}

struct NiftiFree {
    void operator()(nifti_image* nim) const { nifti_image_free(nim); }
};

template <typename S>
void widen(const void* src, double* out, size_t n) {
    const S* s = static_cast<const S*>(src);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(s[i]);
}

// NIfTI branch of the loader: false (out not marked valid) when the file
// cannot be read or its data type has no real conversion.
bool read_nifti(const std::string& path, datahandler<double>* out) {
    hs::hsLogText("Reading file:");
    hs::hsLogText(path.c_str());
    std::unique_ptr<nifti_image, NiftiFree> nim(nifti_image_read(path.c_str(), 1));
    if (!nim || nim->data == nullptr) {
        hs::hsLogText(("Could not read the NIfTI image \"" + path + "\".").c_str());
        return false;
    }
    const long nx = nim->nx > 0 ? nim->nx : 1, ny = nim->ny > 0 ? nim->ny : 1;
    const long nz = nim->nz > 0 ? nim->nz : 1, nt = nim->nt > 0 ? nim->nt : 1;
    const size_t n =
        static_cast<size_t>(nx) * static_cast<size_t>(ny) * static_cast<size_t>(nz) * static_cast<size_t>(nt);
    if (n > nim->nvox) {
        hs::hsLogText(("The NIfTI image \"" + path + "\" holds fewer voxels than its dimensions say.").c_str());
        return false;
    }
    if (nim->datatype == DT_COMPLEX64 || nim->datatype == DT_COMPLEX128) {
        hs::hsLogText("Data are complex. Please use the warpmender utility functions to split to two files.");
        return false;
    }
    std::unique_ptr<double[]> values(new (std::nothrow) double[n]);
    if (!values) {
        hs::hsLogText("Not enough memory to hold the NIfTI image.");
        return false;
    }
    // Only the first nx*ny*nz*nt values (NIfTI order, x fastest) are taken.
    switch (nim->datatype) {
        case DT_UINT8: widen<uint8_t>(nim->data, values.get(), n); break;
        case DT_INT16: widen<int16_t>(nim->data, values.get(), n); break;
        case DT_INT32: widen<int32_t>(nim->data, values.get(), n); break;
        case DT_FLOAT32: widen<float>(nim->data, values.get(), n); break;
        case DT_FLOAT64: widen<double>(nim->data, values.get(), n); break;
        case DT_UINT16: widen<uint16_t>(nim->data, values.get(), n); break;
        case DT_UINT32: widen<uint32_t>(nim->data, values.get(), n); break;
        default: hs::hsLogText("Datatype not yet convertible"); return false;
    }
    out->set(nx, ny, nz, nt, values.release(), nim->fname, 8);
    out->setresolution(nim->dx, nim->dy, nim->dz);
    out->setstatus(STATUS_VALID);
    return true;
}

// Saves one component of the polar pair under "<last path component of name><suffix>".
void save_component(datahandler<double>* volume, const char* suffix) {
    const std::string name = help.getbasename(help.createFileName(volume->getname(), suffix).c_str(), false, false);
    saveashs2fmr(volume, name.c_str(), false);
}

}  // namespace

void data2radians(datahandler<double>* phase) {
    if (phase == nullptr) return;
    log_summary(*phase, "data before scaling");
    hs::hsLogText("Scale to radians between -pi and pi...");
    datahandler<double>::scaleintensities_nijdam(phase->getdata(), phase->getnrofelems(), -kPi15, kPi15);
    log_summary(*phase, "data after scaling");
}

void data2hertz(datahandler<double>* phase) {
    if (phase == nullptr) return;
    hs::hsLogText("Convert to Hertz representation...");
    log_summary(*phase, "data before scaling to Hertz");
    double* d = phase->getdata();
    radians_to_cycles(d, d != nullptr ? phase->getnrofelems() : 0);
    log_summary(*phase, "data after scaling to Hertz");
}

bool convertcomplexnotation(int target, const std::string& realFile, const std::string& imagFile) {
    (void)target;  // the pair always becomes magnitude and phase
    datahandler<double> real, imag;
    const bool gotreal = getdatafromfile(realFile, 21, &real, "Please select the real image");
    const bool gotimag = getdatafromfile(imagFile, 21, &imag, "Please select the imaginary image");
    if (!gotreal || !gotimag) return false;
    const long n = real.getnrofelems();
    // The imaginary image is read at every index of the real one, and both
    // results are saved through the imaginary image's document: one grid.
    if (real.getnx() != imag.getnx() || real.getny() != imag.getny() || real.getnz() != imag.getnz() ||
        real.getnt() != imag.getnt() || !real.hasdata() || !imag.hasdata()) {
        hs::hsLogText("Real and imaginary images do not have the same dimensions, conversion not possible.");
        return false;
    }
    std::unique_ptr<double[]> magnitude(new (std::nothrow) double[static_cast<size_t>(n)]());
    std::unique_ptr<double[]> phase(new (std::nothrow) double[static_cast<size_t>(n)]());
    if (!magnitude || !phase) {
        hs::hsLogText("Not enough memory for the magnitude and phase images.");
        return false;
    }
    // Whole numbers only, as the stored magnitude and phase images hold them.
    polar_from_rectangular(real.getdata(), imag.getdata(), n, magnitude.get(), phase.get());
    real.setdata(magnitude.release());
    save_component(&real, "_magnitude");
    imag.setdata(phase.release());
    save_component(&imag, "_phase");
    return true;
}

bool getdatafromfile(const std::string& path, int kind, datahandler<double>* out, const char* prompt) {
    hs::hsLogText("Get data from file...");
    if (out == nullptr) return false;
    if (kind == 21) {  // an open FMR document chosen by the user; the path is not used
        bool ok = getcurrentfmrdouble_gui(prompt, out);
        if (out->getstatus() != STATUS_VALID) ok = false;
        return ok;
    }
    if (kind == 20) return true;  // VMR: nothing is loaded
    if (!read_nifti(path, out)) {
        out->setstatus(STATUS_NODATA);
        return false;
    }
    return true;
}

}  // namespace warpmender
