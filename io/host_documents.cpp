// Host document access (being written).
#include "io/host_documents.h"

namespace warpmender {
fmrfile::~fmrfile() { delete header; delete scannerpos; }
vmrHdr::~vmrHdr() { delete header; delete scannerpos; delete pasttransformations; }
int selectfmrfromcurrentdocs(const char*) { return -1; }
int selectvmrfromcurrentdocs(const char*) { return -1; }
bool getcurrentfmr(fmrfile*) { return false; }
bool getcurrentvmr(vmrHdr*) { return false; }
bool getcurrentvmr_gui(const char*, vmrHdr*) { return false; }
double* fmrhs2double(fmrfile*, bool) { return nullptr; }
bool getcurrentfmrdouble_gui(const char*, datahandler<double>* dh, fmrfile*) { dh->setstatus(STATUS_NODATA); return false; }
bool getcurrentfmrdouble_gui(const char*, datahandler<double>* dh) { dh->setstatus(STATUS_NODATA); return false; }
datahandler<double>* getcurrentfmrext_gui(const char*) { auto* d = new datahandler<double>(); d->setstatus(STATUS_NODATA); return d; }
}  // namespace warpmender
