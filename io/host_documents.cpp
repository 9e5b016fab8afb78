// Host document access: choosing an open FMR or VMR, copying its records, converting its data to double.
#include "io/host_documents.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "core/fresh_memory.h"
#include "hostlink/host_binding.h"
#include "io/display_funcs.h"

namespace warpmender {

fmrfile::~fmrfile() {
    delete header;
    delete scannerpos;
}

vmrHdr::~vmrHdr() {
    delete header;
    delete scannerpos;
    delete pasttransformations;
}

namespace {

constexpr int kTypeFmr = 1;
constexpr int kTypeVmr = 3;

void log_line(const std::string& text) { hs::hsLogText(text.c_str()); }

// A text field of a host record, which the host need not have terminated.
template <size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The file name of the current document when it is of the wanted type.
bool current_file_name(int type, std::string& name) {
    if (type == kTypeFmr) {
        FMR_Header h{};
        if (hs::hsGetHeaderOfCurrentFMR(&h) == 0) return false;
        name = field_text(h.FileName);
        return true;
    }
    VMR_Header h{};
    if (hs::hsGetMainHeaderOfCurrentVMR(&h) == 0) return false;
    name = field_text(h.FileName);
    return true;
}

// Visits every document (which leaves the last one current), lists those of
// the wanted type by ascending id and asks for a number in 0..n, n being the
// number of open documents. The list grows with the workspace.
int select_from_current_docs(const char* prompt, int wanted) {
    const int n = hs::hsGetNumberOfDocsInWorkspace();
    log_line("Collecting names of open projects...");
    std::map<int, std::string> names;  // a later document with the same id replaces the earlier
    for (int i = 0; i < n; ++i) {
        const int type = hs::hsGetDocumentType(i);
        hs::hsSetAsCurrentDocument(i);
        const int id = hs::hsGetIDOfCurrentDocument();
        log_line("Number in workspace: " + std::to_string(i) +
                 ", project type: " + displayFuncs().getDocTypeString(type));
        std::string name;
        if (type == wanted && current_file_name(wanted, name)) names[id] = name;
    }
    std::string list = "<HTML>" + std::string(prompt ? prompt : "") + "<P>\n\n";
    for (const auto& entry : names) list += std::to_string(entry.first) + " = " + entry.second + "<BR>\n\n";
    list += "</HTML>";
    return hs::hsGetIntegerInput(list.c_str(), 0, 0, n);
}

// Converts n values into out a piece at a time and hands each piece, while
// it is in the cache, to the summary (if any).
template <typename E>
void convert(const E* src, double* out, int64_t n, IntensityAccumulator* summary) {
    constexpr int64_t kPiece = 2048;
    for (int64_t first = 0; first < n; first += kPiece) {
        const int64_t count = n - first < kPiece ? n - first : kPiece;
        double* dst = out + first;
        if (src == nullptr)
            std::fill(dst, dst + count, 0.0);
        else
            for (int64_t i = 0; i < count; ++i) dst[i] = static_cast<double>(src[first + i]);
        if (summary != nullptr) summary->add(dst, count);
    }
}

// Copies host buffer tables into out; volumes the host did not deliver are 0.
// Every element of out is written exactly once (out comes uninitialised).
template <typename E>
void copy_volumes(E* const* volumes, long nrofvolumes, int64_t pervolume, double* out, int64_t n,
                  IntensityAccumulator* summary) {
    int64_t done = 0;
    for (long v = 0; volumes != nullptr && v < nrofvolumes && done + pervolume <= n; ++v, done += pervolume)
        convert<E>(volumes[v], out + done, pervolume, summary);
    convert<E>(nullptr, out + done, n - done, summary);
}

std::string dims_text(const FMR_Header& h) {
    return std::to_string(h.ResolutionX) + " x " + std::to_string(h.ResolutionY) + " x " +
           std::to_string(h.NrOfSlices) + " x " + std::to_string(h.NrOfVolumes);
}

// Values of a project (a count below 1 holds one volume), or -1 when the
// count does not fit 64 bits. Sizes are not negative here.
int64_t value_count(const FMR_Header& h) {
    int64_t n = 0;
    const int64_t nt = h.NrOfVolumes < 1 ? 1 : h.NrOfVolumes;
    if (__builtin_mul_overflow(int64_t{h.ResolutionX}, int64_t{h.ResolutionY}, &n) ||
        __builtin_mul_overflow(n, int64_t{h.NrOfSlices}, &n) || __builtin_mul_overflow(n, nt, &n))
        return -1;
    return n;
}

// Bytes of memory of this machine; 0 when unknown (then no limit is applied).
uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace

int selectfmrfromcurrentdocs(const char* prompt) { return select_from_current_docs(prompt, kTypeFmr); }

int selectvmrfromcurrentdocs(const char* prompt) { return select_from_current_docs(prompt, kTypeVmr); }

bool getcurrentfmr(fmrfile* f) {
    if (f == nullptr) return false;
    std::unique_ptr<FMR_Header> header(new (std::nothrow) FMR_Header());
    std::unique_ptr<FMR_ScannerPosition_Header> position(new (std::nothrow) FMR_ScannerPosition_Header());
    if (header == nullptr || position == nullptr) return false;
    if (hs::hsGetHeaderOfCurrentFMR(header.get()) == 0) return false;
    const FMR_Header& h = *header;
    if (h.ResolutionX < 0 || h.ResolutionY < 0 || h.NrOfSlices < 0) {
        log_line("The current FMR has negative dimensions (" + std::to_string(h.ResolutionX) + " x " +
                 std::to_string(h.ResolutionY) + " x " + std::to_string(h.NrOfSlices) + ").");
        return false;
    }
    hs::hsGetScannerPositionHeaderOfCurrentFMR(position.get());

    delete f->header;
    f->header = header.release();
    delete f->scannerpos;
    f->scannerpos = position.release();
    // A record read before must not keep the buffers of another document.
    f->intstc = nullptr;
    f->floatstc = nullptr;
    f->isfloat = false;
    if (f->header->DataType == 1) {
        f->intstc = hs::hsGetSTCIntDataOfCurrentFMR();
    } else if (f->header->DataType == 2) {
        f->floatstc = hs::hsGetSTCFloatDataOfCurrentFMR();
        f->isfloat = true;
    }
    // 64-bit: a long series may hold more than 2^31 - 1 values. Three 32-bit
    // sizes and a volume count can still overflow 64 bits: such a header is refused.
    f->nrofvalues = value_count(*f->header);
    if (f->nrofvalues < 0) {
        log_line("The current FMR's dimensions (" + dims_text(*f->header) + ") hold more values than can be counted.");
        f->nrofvalues = 0;
        return false;
    }
    f->fmrversion = 5;
    return true;
}

double* fmrhs2double(fmrfile* f, bool second, IntensityAccumulator* summary) {
    if (f == nullptr || f->nrofvalues < 0) return nullptr;
    const int64_t n = f->nrofvalues;
    // An absurd header is refused before allocating: a request beyond memory
    // may not fail at once (overcommit) but when the copy touches it.
    const uint64_t memory = physical_memory_bytes();
    if (static_cast<uint64_t>(n) > static_cast<uint64_t>(PTRDIFF_MAX) / sizeof(double) ||
        (memory != 0 && static_cast<uint64_t>(n) * sizeof(double) > memory)) {
        log_line("The current FMR holds " + std::to_string(n) + " values (" +
                 (f->header ? dims_text(*f->header) : std::string("no header")) + "), more than the " +
                 std::to_string(memory) + " bytes of memory of this machine can hold as double; it is not read.");
        return nullptr;
    }
    // Not zero-filled here: the copy below writes every element once, zeros
    // where the project has no data of a known type.
    double* out = new (std::nothrow) double[static_cast<size_t>(n)];
    if (out == nullptr) {
        log_line("Not enough memory to convert " + std::to_string(n) + " FMR values to double.");
        return nullptr;
    }
    populate_in_parallel(out, static_cast<size_t>(n) * sizeof(double));
    const FMR_Header* h = f->header;
    // A volume larger than the count (or than 64 bits) copies nothing: all zeros.
    int64_t pervolume = 0;
    if (h != nullptr && (__builtin_mul_overflow(int64_t{h->ResolutionX}, int64_t{h->ResolutionY}, &pervolume) ||
                         __builtin_mul_overflow(pervolume, int64_t{h->NrOfSlices}, &pervolume)))
        pervolume = n + 1;
    if (h != nullptr && h->DataType == 1 && second)
        convert(f->secondstc, out, n, summary);
    else if (h != nullptr && h->DataType == 1)
        copy_volumes(f->intstc, h->NrOfVolumes, pervolume, out, n, summary);
    else if (h != nullptr && h->DataType == 2 && f->isfloat && second)
        convert(f->secondstc, out, n, summary);
    else if (h != nullptr && h->DataType == 2 && f->isfloat)
        copy_volumes(f->floatstc, h->NrOfVolumes, pervolume, out, n, summary);
    else
        convert<float>(nullptr, out, n, summary);
    return out;
}

double* fmrhs2double(fmrfile* f, bool second) { return fmrhs2double(f, second, nullptr); }

bool getcurrentfmrdouble_gui(const char* prompt, datahandler<double>* dh, fmrfile* f) {
    hs::hsSetAsCurrentDocument(selectfmrfromcurrentdocs(prompt));
    if (dh == nullptr) return false;
    double* data = nullptr;
    IntensityAccumulator summary;
    if (f == nullptr || !getcurrentfmr(f) || (data = fmrhs2double(f, false, &summary)) == nullptr) {
        log_line("Could not get FMR data");
        dh->setstatus(STATUS_NODATA);
        return false;
    }
    const FMR_Header& h = *f->header;
    // A project without a volume count still holds one volume of values
    // (nrofvalues), and the container must count the buffer it is given.
    const long nt = h.NrOfVolumes < 1 ? 1 : h.NrOfVolumes;
    const std::string name = field_text(h.FileName);
    dh->set(h.ResolutionX, h.ResolutionY, h.NrOfSlices, nt, data, name.c_str(), 8);
    dh->setresolution(h.InplaneResolutionX, h.InplaneResolutionY, h.VoxelSizeZ);
    dh->setstatus(STATUS_VALID);
    // Summarised while converting, unless the header's grid counts other values than the buffer.
    if (dh->getnrofelems() == f->nrofvalues)
        log_line(intensity_summary_text("Values of current FMR", summary.result(), dh->getnrofelems()));
    else
        log_line(dh->displayintensityvalues("Values of current FMR"));
    return true;
}

bool getcurrentfmrdouble_gui(const char* prompt, datahandler<double>* dh) {
    fmrfile f;
    return getcurrentfmrdouble_gui(prompt, dh, &f);
}

datahandler<double>* getcurrentfmrext_gui(const char* prompt) {
    auto* dh = new (std::nothrow) datahandler<double>();
    if (dh == nullptr) return nullptr;
    fmrfile f;
    getcurrentfmrdouble_gui(prompt, dh, &f);
    return dh;
}

bool getcurrentvmr(vmrHdr* v) {
    if (v == nullptr) return false;
    std::unique_ptr<VMR_Header> header(new (std::nothrow) VMR_Header());
    std::unique_ptr<FMR_ScannerPosition_Header> position(new (std::nothrow) FMR_ScannerPosition_Header());
    std::unique_ptr<VMR_PastTransformations> past(new (std::nothrow) VMR_PastTransformations());
    if (header == nullptr || position == nullptr || past == nullptr) return false;
    if (hs::hsGetMainHeaderOfCurrentVMR(header.get()) == 0) {
        log_line("Could not obtain main header of VMR file.");
        return false;
    }
    header->FileName[sizeof header->FileName - 1] = '\0';  // name points into it
    // The record keeps 16-bit sizes; a size that does not fit would describe
    // a buffer other than the host's.
    const int32_t dims[3] = {header->DimX, header->DimY, header->DimZ};
    for (int32_t d : dims) {
        if (d < 1 || d > 65535) {
            log_line("The current VMR has dimensions " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                     " x " + std::to_string(dims[2]) + "; each must lie in 1..65535.");
            return false;
        }
    }
    int sx = 0, sy = 0, sz = 0;
    unsigned char* data = hs::hsGetCurrentVMR(&sx, &sy, &sz);
    if (data == nullptr) {
        log_line("The host delivered no voxels for the current VMR.");
        return false;
    }
    hs::hsGetScannerPositionHeaderOfCurrentVMR(position.get());
    hs::hsGetPastTransformationsHeaderOfCurrentVMR(past.get());

    v->data = data;
    v->version = 1;
    v->dimx = static_cast<uint16_t>(dims[0]);
    v->dimy = static_cast<uint16_t>(dims[1]);
    v->dimz = static_cast<uint16_t>(dims[2]);
    delete v->header;
    v->header = header.release();
    v->name = v->header->FileName;
    delete v->scannerpos;
    v->scannerpos = position.release();
    delete v->pasttransformations;
    v->pasttransformations = past.release();
    return true;
}

bool getcurrentvmr_gui(const char* prompt, vmrHdr* v) {
    hs::hsSetAsCurrentDocument(selectvmrfromcurrentdocs(prompt));
    if (getcurrentvmr(v)) return true;
    log_line("Could not get VMR data");
    return false;
}

}  // namespace warpmender
