// Shared test helpers: a fresh host, the plug-in loaded from its library, log queries.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/plugin_library.h"

namespace warpmender {
namespace test {

// Resets the process's host and returns it.
host::Host& fresh_host();

// The real libwarpmender.so, created and initialised against the current host.
std::unique_ptr<host::PluginLibrary> load_plugin();

// Sets "Command" (and nothing else) and runs one execute().
void run_command(host::PluginLibrary& plugin, const std::string& command);

// Index of the first log entry equal to text at or after from; -1 when absent.
long find_log(const host::Host& h, const std::string& text, size_t from = 0);
bool log_contains(const host::Host& h, const std::string& text);

// A directory under the build tree, emptied for this test.
std::string scratch_dir(const std::string& name);

// A document's volume (or all of them) as plain vectors, to compare with expected values.
template <typename Volume>
std::vector<typename Volume::value_type> plain(const Volume& v) {
    return {v.begin(), v.end()};
}
template <typename Volume>
std::vector<std::vector<typename Volume::value_type>> plain(const std::vector<Volume>& volumes) {
    std::vector<std::vector<typename Volume::value_type>> out;
    for (const Volume& v : volumes) out.push_back(plain(v));
    return out;
}

}  // namespace test
}  // namespace warpmender
