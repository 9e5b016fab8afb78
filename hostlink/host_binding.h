// The host functions as the plug-in sees them: pointers bound by name at start-up.
#pragma once

#include <string>

#include "hostlink/hostapi.h"

namespace warpmender {
namespace hs {

// One pointer per host function, named after it and null until InitHSAccess
// has bound it. Plug-in code calls hs::hsLogText(...) and never the host's
// symbols directly, so the library carries no link-time dependency on a host.
#define WARPMENDER_HOST_FUNCTIONS(X)              \
    X(hsGetVersionOfNeurolatticeHS)               \
    X(hsShowLogTab)                               \
    X(hsLogText)                                  \
    X(hsMessageBox)                               \
    X(hsGetIntegerInput)                          \
    X(hsGetOpenFileName)                          \
    X(hsGetSaveFileName)                          \
    X(hsShowBusyCursor)                           \
    X(hsStopBusyCursor)                           \
    X(hsUpdateActiveWindow)                       \
    X(hsGetNumberOfDocsInWorkspace)               \
    X(hsGetDocumentType)                          \
    X(hsGetIDOfCurrentDocument)                   \
    X(hsSetAsCurrentDocument)                     \
    X(hsGetHeaderOfCurrentFMR)                    \
    X(hsSetHeaderOfCurrentFMR)                    \
    X(hsGetScannerPositionHeaderOfCurrentFMR)     \
    X(hsGetSTCIntDataOfCurrentFMR)                \
    X(hsGetSTCFloatDataOfCurrentFMR)              \
    X(hsSaveFMRAndSTC)                            \
    X(hsGetMainHeaderOfCurrentVMR)                \
    X(hsGetCurrentVMR)                            \
    X(hsGetScannerPositionHeaderOfCurrentVMR)     \
    X(hsGetPastTransformationsHeaderOfCurrentVMR) \
    X(hsCalculateIAMatrix)                        \
    X(hsGetStringParameter)                       \
    X(hsGetIntParameter)                          \
    X(hsGetFloatParameter)                        \
    X(hsSetStringParameter)                       \
    X(hsSetIntParameter)

#define WARPMENDER_DECLARE_HOST_POINTER(name) extern decltype(&::name) name;
WARPMENDER_HOST_FUNCTIONS(WARPMENDER_DECLARE_HOST_POINTER)
#undef WARPMENDER_DECLARE_HOST_POINTER

}  // namespace hs

// Opens the running process and binds every host function by name. False when
// the process cannot be opened or exports no hsGetVersionOfNeurolatticeHS;
// functions the host does not export stay null.
bool InitHSAccess();

// Every string parameter is read into a buffer of at least this size: the host
// writes up to 255 characters and the terminator.
constexpr int kStringParameterSize = 256;

// The value of a string parameter, read through a buffer of that size.
std::string readStringParameter(const char* name);

// File choosers write at most 500 characters and the terminator.
constexpr int kChooserPathSize = 501;

}  // namespace warpmender
