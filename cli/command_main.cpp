// main() of the warpmender command: the subcommands of the table, parsing and exit statuses.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/command.h"
#include "core/error.h"

using namespace warpmender::host;

// A correction touches a few GB of fresh buffers; with 4 KiB pages the
// kernel's page faults cost more than the correction itself (500,000 faults,
// 3 s of system time on a 96 x 96 x 60 x 300 run). glibc backs its large
// allocations with transparent huge pages only when asked at start-up, so the
// command starts itself once more with that setting, keeping any the user set.
// Nothing has been read or written yet; if the restart fails, it runs as is.
static void restart_with_huge_pages(char** argv) {
    const char* key = "glibc.malloc.hugetlb";
    const char* current = std::getenv("GLIBC_TUNABLES");
    if (current != nullptr && std::strstr(current, key) != nullptr) return;
    std::string tunables = current != nullptr && *current != '\0' ? std::string(current) + ":" : std::string();
    tunables += std::string(key) + "=1";
    if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
    execv("/proc/self/exe", argv);
    // Still here: the restart failed; the setting is harmless without it.
}

int main(int argc, char** argv) {
    restart_with_huge_pages(argv);
    CLI::App app{"warpmender: field-map correction of EPI distortion by the pixel-shift method.\n"
                 "Exit status: 0 success, 1 the plug-in reported a failure, 2 bad usage or bad input."};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every subcommand");

    std::vector<std::pair<CLI::App*, std::function<int()>>> declared;
    std::string names;
    for (const Subcommand* sub : subcommands()) {
        CLI::App* cmd = app.add_subcommand(sub->name, sub->help);
        declared.emplace_back(cmd, sub->declare(*cmd));
        names += names.empty() ? "" : ", ";
        names += sub->name;
    }
    const size_t last_comma = names.rfind(", ");
    if (last_comma != std::string::npos) names.replace(last_comma, 2, " or ");

    const std::string first = argc > 1 ? argv[1] : "";
    if (!first.empty() && first[0] != '-' &&
        std::none_of(subcommands().begin(), subcommands().end(),
                     [&](const Subcommand* s) { return first == s->name; })) {
        std::cerr << "warpmender: unknown subcommand \"" << argv[1] << "\" (use " << names
                  << "; --help explains them)\n";
        return kExitBadInput;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadInput;
    }

    try {
        for (const auto& [cmd, run] : declared)
            if (*cmd) return run();
    } catch (const warpmender::Error& e) {
        std::cerr << "warpmender: " << e.what() << "\n";
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        std::cerr << "warpmender: out of memory\n";
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::cerr << "warpmender: " << e.what() << "\n";
        return kExitBadInput;
    }
    return kExitBadInput;
}
