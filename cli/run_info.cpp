// warpmender info: what the plug-in says about itself.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

#include "cli/command.h"
#include "cli/console.h"
#include "host/plugin_library.h"

namespace warpmender {
namespace host {

struct InfoOptions {
    std::string plugin;
};

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

namespace {
std::function<int()> declare(CLI::App& cmd) {
    auto o = std::make_shared<InfoOptions>();
    cmd.add_option("--plugin", o->plugin, "Path of libwarpmender.so");
    return [o] { return run_info(*o); };
}
}  // namespace

extern const Subcommand subcommand_info = {"info", "Show the plug-in's name, description, author, help and GUI script",
                                           declare};

}  // namespace host
}  // namespace warpmender
