// Loading libwarpmender.so and driving it as the workstation would.
#pragma once

#include <string>

#include "hostlink/plugin_interface.h"

namespace warpmender {
namespace host {

class PluginLibrary {
public:
    // Loads the library; throws Error naming the path when it cannot be loaded
    // or lacks an entry point.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    std::string name() const { return get_name_(); }
    std::string description() const { return get_description_(); }
    std::string author() const { return get_author_(); }
    std::string help_file() const { return get_help_(); }
    std::string version() const { return get_version_(); }
    std::string gui_script() const { return get_gui_script_(); }

    // createPlugin and initPlugin; false when the plug-in refused the host.
    bool create_and_init();
    // One execute() call; the plug-in must have been created.
    bool execute();
    NLHSPluginInterface* plugin() { return plugin_; }
    int* verboselevel() { return verboselevel_; }

    // Where the command looks for the library: beside its executable, then ../lib.
    static std::string default_path();

private:
    using Text = const char* (*)();
    void* handle_ = nullptr;
    NLHSPluginInterface* (*create_)() = nullptr;
    Text get_name_ = nullptr, get_description_ = nullptr, get_author_ = nullptr, get_help_ = nullptr,
         get_version_ = nullptr, get_gui_script_ = nullptr;
    int* verboselevel_ = nullptr;
    NLHSPluginInterface* plugin_ = nullptr;
};

}  // namespace host
}  // namespace warpmender
