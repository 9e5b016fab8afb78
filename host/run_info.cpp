// warpmender info: what the plug-in says about itself.
#include <iostream>

#include "host/command.h"
#include "host/console.h"
#include "host/plugin_library.h"

namespace warpmender {
namespace host {

int run_info(const InfoOptions& o) {
    PluginLibrary plugin(o.plugin.empty() ? PluginLibrary::default_path() : o.plugin);
    std::cout << "name:        " << plugin.name() << "\n"
              << "description: " << plain_text(plugin.description()) << "\n"
              << "author:      " << plain_text(plugin.author()) << "\n"
              << "help:        " << plugin.help_file() << "\n"
              << "version:     " << (plugin.version().empty() ? "(carried in the name)" : plugin.version()) << "\n"
              << "GUI script:  " << plugin.gui_script() << "\n";
    return kExitOk;
}

}  // namespace host
}  // namespace warpmender
