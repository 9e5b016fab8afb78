// Plug-in object: start-up, log line, integer dialog, message box, rounding.
#include "plugin/distortioncorrector.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "hostlink/host_binding.h"
#include "hostlink/log_sink.h"

namespace warpmender {

bool distortioncorrector::initPlugin() {
    if (!InitHSAccess()) return false;
    int major = 0, minor = 0, patch = 0;
    hs::hsGetVersionOfNeurolatticeHS(&major, &minor, &patch);
    if (checkVersionGreaterEqualVersion(major, minor, patch, 2, 6, 0)) return true;
    useMsgBox("Can not execute this plugin - Neurolattice HS version 2.6 or higher required.");
    return false;
}

int distortioncorrector::sendLogText(const char* text, bool withPrefix) {
    constexpr size_t kLineSize = 65536;
    if (text == nullptr) text = "";
    if (withPrefix) return log_prefixed(text);
    if (std::strlen(text) < kLineSize) return hs::hsLogText(text);
    static thread_local std::vector<char> line(kLineSize);
    std::snprintf(line.data(), kLineSize, "%s", text);
    return hs::hsLogText(line.data());
}

int distortioncorrector::intWindow(const char* prompt, int defaultValue, int minimum, int maximum) {
    return hs::hsGetIntegerInput(prompt, defaultValue, minimum, maximum);
}

void distortioncorrector::useMsgBox(const char* text) { hs::hsMessageBox(text); }

bool checkVersionGreaterEqualVersion(int major, int minor, int patch, int reqMajor, int reqMinor, int reqPatch) {
    if (major != reqMajor) return major > reqMajor;
    if (minor != reqMinor) return minor > reqMinor;
    return patch >= reqPatch;
}

}  // namespace warpmender
