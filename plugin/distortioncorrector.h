// The plug-in object: version check at start-up, the command dispatcher, log and dialog services.
#pragma once

#include "core/helper_tools.h"
#include "hostlink/plugin_interface.h"

namespace warpmender {

// Holds no state: every execute() starts from nothing. Other code constructs
// a temporary one to log with the plug-in prefix.
class distortioncorrector : public NLHSPluginInterface {
public:
    ~distortioncorrector() override {}
    bool execute() override;
    bool initPlugin() override;

    // "warpmender > <text>" with the prefix; a text too long for the
    // 65,536-byte line is cut there.
    int sendLogText(const char* text, bool withPrefix);
    int intWindow(const char* prompt, int defaultValue, int minimum, int maximum);
    void useMsgBox(const char* text);
};

// (major, minor, patch) >= (reqMajor, reqMinor, reqPatch), lexicographically.
bool checkVersionGreaterEqualVersion(int major, int minor, int patch, int reqMajor, int reqMinor, int reqPatch);

}  // namespace warpmender
