// Shared test helpers.
#include "tests/test_support.h"

#include <filesystem>

namespace warpmender {
namespace test {

namespace {

// The plug-in writes previews of results named without a folder into the
// working directory: keep them in the build tree, wherever the tests are run
// from. Done before main, so tests that change directory themselves keep theirs.
const bool kInScratch = [] {
    const std::filesystem::path cwd = std::filesystem::path(WARPMENDER_BINARY_DIR) / "test-scratch" / "cwd";
    std::filesystem::create_directories(cwd);
    std::filesystem::current_path(cwd);
    return true;
}();

}  // namespace

host::Host& fresh_host() {
    host::instance().reset();
    return host::instance();
}

std::unique_ptr<host::PluginLibrary> load_plugin() {
    auto p = std::make_unique<host::PluginLibrary>(WARPMENDER_PLUGIN_PATH);
    p->create_and_init();
    return p;
}

void run_command(host::PluginLibrary& plugin, const std::string& command) {
    host::instance().set_parameter("Command", command);
    plugin.execute();
}

long find_log(const host::Host& h, const std::string& text, size_t from) {
    for (size_t i = from; i < h.log.size(); ++i)
        if (h.log[i] == text) return static_cast<long>(i);
    return -1;
}

bool log_contains(const host::Host& h, const std::string& text) { return find_log(h, text) >= 0; }

std::string scratch_dir(const std::string& name) {
    const std::filesystem::path p = std::filesystem::path(WARPMENDER_BINARY_DIR) / "test-scratch" / name;
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

}  // namespace test
}  // namespace warpmender
