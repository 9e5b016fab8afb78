// The exported entry points: descriptive texts and plug-in creation.
#include "plugin/distortioncorrector.h"

#include "hostlink/export.h"

namespace {
// WARPMENDER_VERSION ("1.1.0") and WARPMENDER_VERSION_DIGITS ("110") come
// from the project's version in CMakeLists.txt.
const char* const pluginName = "warpmender (v" WARPMENDER_VERSION ")";
const char* const pluginDescription =
    "Fieldmap-based EPI distortion correction using the pixelshift algorithm (Jezzard & Balaban, 1995).<BR>"
    "Please consult the manual (PDF) for usage and background information.<BR>";
}  // namespace

extern "C" {

WARPMENDER_EXPORT NLHSPluginInterface* createPlugin() { return new warpmender::distortioncorrector(); }
WARPMENDER_EXPORT const char* getPluginName() { return pluginName; }
WARPMENDER_EXPORT const char* getPluginDescription() { return pluginDescription; }
WARPMENDER_EXPORT const char* getAuthor() { return "<i>The warpmender developers</i>"; }
WARPMENDER_EXPORT const char* getHelpFile() { return "Located at the Neurolattice support site."; }
WARPMENDER_EXPORT const char* getPluginVersion() { return ""; }
WARPMENDER_EXPORT const char* getGUIScript() { return "warpmender_v" WARPMENDER_VERSION_DIGITS ".js"; }

}  // extern "C"
