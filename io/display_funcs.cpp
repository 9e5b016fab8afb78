// File choosers and code texts.
#include "io/display_funcs.h"

#include "core/helper_tools.h"
#include "hostlink/host_binding.h"

namespace warpmender {

int displayFuncs::getfilenames(const std::string& title, std::vector<std::string>& names, int fileType, bool single) {
    const std::string filter = help.getFileExtension(fileType, true);
    // Several names: the chooser opens again until it is cancelled; the path of
    // the cancelled chooser is not taken.
    do {
        char path[kChooserPathSize] = {0};
        if (hs::hsGetOpenFileName(title.c_str(), "", filter.c_str(), path) <= 0) break;
        names.emplace_back(path);
    } while (!single);
    return static_cast<int>(names.size());
}

const char* displayFuncs::getPhaseEncodingDirString(int code) const {
    switch (code) {
        case 1: return "+x (right to left)";
        case 2: return "-x (left to right)";
        case 3: return "+y (anterior to posterior)";
        case 4: return "-y (posterior to anterior)";
        case 5: return "+z (inferior to superior)";
        case 6: return "-z (superior to inferior)";
        default: return "unknown";
    }
}

const char* displayFuncs::getDocTypeString(int type) const {
    switch (type) {
        case 1: return "FMR";
        case 2: return "DMR";
        case 3: return "VMR";
        case 4: return "SRF";
        default: return "Unknown";
    }
}

const char* displayFuncs::getScale2RadString(int method) const {
    switch (method) {
        case 1: return "Scale to radians via Nijdam and Van Buuren's linear transformation";
        case 2: return "Scale to radians via Zimmermann's method";
        case 3: return "Scale to radians via Hutton's method";
        case 4: return "Scale to radians via Jenkinson's method";
        default: return "Scale to radians constant unknown";
    }
}

}  // namespace warpmender
