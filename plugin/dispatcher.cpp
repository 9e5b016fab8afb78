// execute(): the frame of every call and the commands other than "Start".
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"
#include "io/display_funcs.h"
#include "plugin/distortioncorrector.h"
#include "plugin/procedures.h"
#include "plugin/steps/filters.h"
#include "plugin/steps/phase_scaling.h"

namespace warpmender {
namespace {

struct ChosenNames {
    std::vector<std::string> wrappedphase, magnitude, unwrappedphase, pixelshift, b0, epi, vmr;
};

// One chooser of "GetFiles": returns how many files it added; sets the
// parameter to the first chosen path when it added one.
int choose(const char* title, std::vector<std::string>& list, int filetype, const char* parameter) {
    const int n = displayFuncs().getfilenames(title, list, filetype, true);
    if (n > 0) hs::hsSetStringParameter(parameter, list.front().c_str());
    return n;
}

void getfiles(ChosenNames& names) {
    const int filetype = hs::hsGetIntParameter(protocol::kFileTypeId);
    const int stage = hs::hsGetIntParameter(protocol::kFileStage);
    int count = 0;
    switch (stage) {
        case 1:
            count = choose("Please select the wrapped phase datafile(s)", names.wrappedphase, filetype,
                           protocol::kWrPhaseFile);
            count += choose("Please select the magnitude datafile(s)", names.magnitude, filetype, protocol::kMagnFile);
            break;
        case 2:
            count = choose("Please select the unwrapped datafile(s)", names.unwrappedphase, filetype,
                           protocol::kUnwrPhaseFile);
            break;
        case 3: count = choose("Please select the B0 datafile(s)", names.b0, filetype, protocol::kB0File); break;
        case 4:
            count = choose("Please select the pixelshift map(s)", names.pixelshift, filetype, protocol::kPixshiftFile);
            break;
        case 5: count = choose("Please select the EPI datafile(s)", names.epi, filetype, protocol::kEPIFile); break;
        case 6:
            count = choose("Please select the anatomical image (*.vmr)", names.vmr, filetype, protocol::kVMRFile);
            break;
        default: break;
    }
    hs::hsSetIntParameter(protocol::kNrOfFiles, count);
}

void getfile() {
    const std::string filter = help.getFileExtension(hs::hsGetIntParameter(protocol::kFileTypeId), true);
    char path[kChooserPathSize] = {0};
    if (hs::hsGetOpenFileName("Please select the file", "", filter.c_str(), path) > 0) {
        hs::hsSetStringParameter(protocol::kFileName, path);
        hs::hsLogText("Selected filename: ");
        hs::hsLogText(path);
    }
}

// The whole of one call; anything thrown is caught by execute().
void run_call() {
    CallState state;
    ChosenNames names;
    hs::hsShowLogTab();
    hs::hsLogText("Welcome to the EPI distortion correction tool 'warpmender'.");
    const std::string command = readStringParameter(protocol::kCommand);
    char line[1024];
    std::snprintf(line, sizeof line, "Command received: %s", command.c_str());
    hs::hsLogText(line);

    if (command == protocol::kGetFiles) {
        getfiles(names);
    } else if (command == protocol::kStart) {
        startprocedure(state);
    } else if (command == protocol::kGetFile) {
        getfile();
    } else if (command == protocol::kEvaluate) {
        if (!diffimgfmrhs()) {
            state.success = false;
            state.failure = "Evaluation procedure did not succeed.";
        }
    } else if (command == protocol::kCreatePolarFile) {
        const std::string realfile = readStringParameter(protocol::kRealFile);
        const std::string imagfile = readStringParameter(protocol::kImagFile);
        if (!convertcomplexnotation(REPR_POLAR, realfile, imagfile)) {
            state.success = false;
            state.failure = "Conversion to polar representation did not succeed.";
        }
    } else {
        std::snprintf(line, sizeof line, "Plugin> Received unknown command: \"%s\".", command.c_str());
        hs::hsLogText(line);
    }

    if (state.success) {
        hs::hsLogText(
            "Image processing finished successfully.\nPlease detach AMR of FMR files (via FMR Properties) to view results.");
        hs::hsSetIntParameter(protocol::kErrorNr, 0);
    } else {
        hs::hsLogText("Image processing finished.");
        hs::hsSetIntParameter(protocol::kErrorNr, -1);
        hs::hsSetStringParameter(protocol::kErrorMsg, state.failure.c_str());
    }
}

// The host calls through C: nothing may leave execute() but its answer.
void report_exception(const char* what) {
    if (hs::hsLogText != nullptr) hs::hsLogText(what);
    if (hs::hsSetIntParameter != nullptr) hs::hsSetIntParameter(protocol::kErrorNr, -1);
    if (hs::hsSetStringParameter != nullptr) hs::hsSetStringParameter(protocol::kErrorMsg, what);
}

}  // namespace

bool distortioncorrector::execute() {
    try {
        run_call();
    } catch (const std::bad_alloc&) {
        report_exception("Not enough memory to finish the command.");
    } catch (...) {
        report_exception("The command stopped on an unexpected error.");
    }
    return true;
}

}  // namespace warpmender
