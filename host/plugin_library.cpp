// Loading the plug-in library and calling its entry points.
#include "host/plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "core/error.h"

namespace warpmender {
namespace host {

namespace {

template <typename F>
F symbol(void* handle, const char* name, const std::string& path) {
    void* s = dlsym(handle, name);
    if (s == nullptr) throw Error("cannot use plug-in \"" + path + "\": it has no entry point " + name);
    return reinterpret_cast<F>(s);
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw Error("cannot load plug-in \"" + path + "\": " + (why ? why : "unknown reason"));
    }
    try {
        create_ = symbol<NLHSPluginInterface* (*)()>(handle_, "createPlugin", path);
        get_name_ = symbol<Text>(handle_, "getPluginName", path);
        get_description_ = symbol<Text>(handle_, "getPluginDescription", path);
        get_author_ = symbol<Text>(handle_, "getAuthor", path);
        get_help_ = symbol<Text>(handle_, "getHelpFile", path);
        get_version_ = symbol<Text>(handle_, "getPluginVersion", path);
        get_gui_script_ = symbol<Text>(handle_, "getGUIScript", path);
        verboselevel_ = static_cast<int*>(dlsym(handle_, "verboselevel"));
    } catch (...) {
        dlclose(handle_);
        throw;
    }
}

PluginLibrary::~PluginLibrary() {
    delete plugin_;
    if (handle_ != nullptr) dlclose(handle_);
}

bool PluginLibrary::create_and_init() {
    if (plugin_ == nullptr) plugin_ = create_();
    return plugin_->initPlugin();
}

bool PluginLibrary::execute() {
    if (plugin_ == nullptr) throw Error("the plug-in was not created before execute()");
    return plugin_->execute();
}

std::string PluginLibrary::default_path() {
    char exe[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/') + 1);
    const std::string beside = dir + "libwarpmender.so";
    if (access(beside.c_str(), R_OK) == 0) return beside;
    return dir + "../lib/libwarpmender.so";
}

}  // namespace host
}  // namespace warpmender
