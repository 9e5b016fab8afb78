// Open host documents as records and volumes: selection, headers, conversion to double.
#pragma once

#include <cstdint>

#include "core/datahandler.h"
#include "hostlink/hostapi.h"

namespace warpmender {

// A functional project taken from the host. Header records are allocated by
// the reader and owned by the record; data buffers belong to the host.
struct fmrfile {
    int64_t fmrversion = 5;
    FMR_Header* header = nullptr;
    FMR_ScannerPosition_Header* scannerpos = nullptr;
    unsigned short** intstc = nullptr;  // DataType 1: one buffer per volume
    bool isfloat = false;
    float** floatstc = nullptr;  // DataType 2: one buffer per volume
    unsigned short* secondstc = nullptr;
    int64_t nrofvalues = 0;

    fmrfile() = default;
    fmrfile(const fmrfile&) = delete;
    fmrfile& operator=(const fmrfile&) = delete;
    ~fmrfile();
};

// An anatomical volume taken from the host; voxels belong to the host.
struct vmrHdr {
    uint16_t version = 1;
    uint16_t dimx = 0, dimy = 0, dimz = 0;
    unsigned char* data = nullptr;
    const char* name = nullptr;
    VMR_Header* header = nullptr;
    FMR_ScannerPosition_Header* scannerpos = nullptr;
    VMR_PastTransformations* pasttransformations = nullptr;

    vmrHdr() = default;
    vmrHdr(const vmrHdr&) = delete;
    vmrHdr& operator=(const vmrHdr&) = delete;
    ~vmrHdr();
};

// The number the user entered after the numbered list of open FMR (VMR) documents.
int selectfmrfromcurrentdocs(const char* prompt);
int selectvmrfromcurrentdocs(const char* prompt);
bool getcurrentfmr(fmrfile* f);
bool getcurrentvmr(vmrHdr* v);
bool getcurrentvmr_gui(const char* prompt, vmrHdr* v);
// nrofvalues doubles in the volume's index order; owned by the caller.
double* fmrhs2double(fmrfile* f, bool second);
// The same, handing every converted value in order to summary (if not null).
double* fmrhs2double(fmrfile* f, bool second, IntensityAccumulator* summary);
bool getcurrentfmrdouble_gui(const char* prompt, datahandler<double>* dh, fmrfile* f);
bool getcurrentfmrdouble_gui(const char* prompt, datahandler<double>* dh);
// Status 89 on success, 92 when no FMR could be read; owned by the caller.
datahandler<double>* getcurrentfmrext_gui(const char* prompt);

}  // namespace warpmender
