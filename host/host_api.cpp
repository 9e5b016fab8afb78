// The host functions with C linkage, as the plug-in binds them by name.
#include <cstring>

#include "host/host.h"
#include "hostlink/hostapi.h"

using warpmender::host::Document;
using warpmender::host::instance;

namespace {

Document* current_of(int type) {
    Document* d = instance().current();
    return d != nullptr && d->type == type ? d : nullptr;
}

}  // namespace

extern "C" {

int hsGetVersionOfNeurolatticeHS(int* major, int* minor, int* patch) {
    *major = instance().version[0];
    *minor = instance().version[1];
    *patch = instance().version[2];
    return 1;
}

void hsShowLogTab(void) { ++instance().log_tab_shown; }

int hsLogText(const char* text) {
    auto& h = instance();
    h.log.emplace_back(text ? text : "");
    if (h.on_log) h.on_log(h.log.back());
    return 1;
}

void hsMessageBox(const char* text) { instance().message_boxes.emplace_back(text ? text : ""); }

int hsGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
    return instance().ask_integer(prompt, defaultValue, minimum, maximum);
}

int hsGetOpenFileName(const char* title, const char* defaultName, const char* filter, char* path) {
    (void)defaultName;
    return instance().ask_path("open", title, filter, path);
}

int hsGetSaveFileName(const char* title, const char* defaultName, const char* filter, char* path) {
    (void)defaultName;
    return instance().ask_path("save", title, filter, path);
}

void hsShowBusyCursor(void) {
    auto& h = instance();
    ++h.busy_shown;
    if (h.busy_depth++ == 0 && h.on_busy_change) h.on_busy_change(true);
}

void hsStopBusyCursor(void) {
    auto& h = instance();
    if (h.busy_depth == 0) return;
    if (--h.busy_depth == 0 && h.on_busy_change) h.on_busy_change(false);
}

void hsUpdateActiveWindow(void) { ++instance().windows_updated; }

int hsGetNumberOfDocsInWorkspace(void) { return static_cast<int>(instance().documents().size()); }

int hsGetDocumentType(int index) {
    auto& docs = instance().documents();
    if (index < 0 || index >= static_cast<int>(docs.size())) return 0;
    return docs[static_cast<size_t>(index)].type;
}

int hsGetIDOfCurrentDocument(void) { return instance().current_index(); }

int hsSetAsCurrentDocument(int index) { return instance().set_current(index) ? 1 : 0; }

int hsGetHeaderOfCurrentFMR(FMR_Header* out) {
    Document* d = current_of(warpmender::host::kFmr);
    if (d == nullptr || out == nullptr) return 0;
    *out = d->fmr;
    return 1;
}

int hsSetHeaderOfCurrentFMR(const FMR_Header* in) {
    Document* d = current_of(warpmender::host::kFmr);
    if (d == nullptr || in == nullptr) return 0;
    // The plug-in may rewrite the header's descriptive fields, never the shape
    // or type that the document's buffers were allocated for.
    FMR_Header h = *in;
    h.NrOfVolumes = d->fmr.NrOfVolumes;
    h.ResolutionX = d->fmr.ResolutionX;
    h.ResolutionY = d->fmr.ResolutionY;
    h.NrOfSlices = d->fmr.NrOfSlices;
    h.DataType = d->fmr.DataType;
    d->fmr = h;
    d->fmr.FileName[sizeof d->fmr.FileName - 1] = '\0';
    d->fmr.LoadAMRFile[sizeof d->fmr.LoadAMRFile - 1] = '\0';
    return 1;
}

int hsGetScannerPositionHeaderOfCurrentFMR(FMR_ScannerPosition_Header* out) {
    Document* d = current_of(warpmender::host::kFmr);
    if (d == nullptr || out == nullptr) return 0;
    *out = d->position;
    return 1;
}

unsigned short** hsGetSTCIntDataOfCurrentFMR(void) {
    Document* d = current_of(warpmender::host::kFmr);
    if (d == nullptr || d->fmr.DataType != 1 || d->int_pointers.empty()) return nullptr;
    return d->int_pointers.data();
}

float** hsGetSTCFloatDataOfCurrentFMR(void) {
    Document* d = current_of(warpmender::host::kFmr);
    if (d == nullptr || d->fmr.DataType != 2 || d->float_pointers.empty()) return nullptr;
    return d->float_pointers.data();
}

int hsSaveFMRAndSTC(const char* fmrPath, const char* second) { return instance().save_current(fmrPath, second); }

int hsGetMainHeaderOfCurrentVMR(VMR_Header* out) {
    Document* d = current_of(warpmender::host::kVmr);
    if (d == nullptr || out == nullptr) return 0;
    *out = d->vmr;
    return 1;
}

unsigned char* hsGetCurrentVMR(int* dimX, int* dimY, int* dimZ) {
    Document* d = current_of(warpmender::host::kVmr);
    if (d == nullptr) return nullptr;
    if (dimX) *dimX = d->vmr.DimX;
    if (dimY) *dimY = d->vmr.DimY;
    if (dimZ) *dimZ = d->vmr.DimZ;
    return d->voxels.data();
}

int hsGetScannerPositionHeaderOfCurrentVMR(FMR_ScannerPosition_Header* out) {
    Document* d = current_of(warpmender::host::kVmr);
    if (d == nullptr || out == nullptr) return 0;
    *out = d->position;
    return 1;
}

int hsGetPastTransformationsHeaderOfCurrentVMR(VMR_PastTransformations* out) {
    Document* d = current_of(warpmender::host::kVmr);
    if (out == nullptr) return 0;
    std::memset(out, 0, sizeof *out);
    (void)d;
    return 0;
}

int hsGetStringParameter(const char* name, char* out) {
    const std::string v = instance().string_parameter(name ? name : "");
    const size_t n =
        v.size() < warpmender::host::kMaxStringParameter ? v.size() : warpmender::host::kMaxStringParameter;
    std::memcpy(out, v.data(), n);
    out[n] = '\0';
    return n > 0 ? 1 : 0;
}

int hsGetIntParameter(const char* name) { return instance().int_parameter(name ? name : ""); }

float hsGetFloatParameter(const char* name) { return instance().float_parameter(name ? name : ""); }

void hsSetStringParameter(const char* name, const char* value) {
    std::string v = value ? value : "";
    if (v.size() > warpmender::host::kMaxStringParameter) {
        instance().note("the value of \"" + std::string(name ? name : "") + "\" was cut to 255 characters");
        v.resize(warpmender::host::kMaxStringParameter);
    }
    instance().set_parameter(name ? name : "", v);
}

void hsSetIntParameter(const char* name, int value) { instance().set_parameter(name ? name : "", value); }

}  // extern "C"
