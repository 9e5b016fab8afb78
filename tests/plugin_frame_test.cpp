// The plug-in library as the workstation loads it: texts, exports, version check, log prefix.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <new>
#include <set>
#include <stdexcept>

#include "tests/test_support.h"

namespace warpmender {
namespace {

TEST(PluginFrame, descriptive_texts) {
    test::fresh_host();
    host::PluginLibrary p(WARPMENDER_PLUGIN_PATH);
    EXPECT_EQ(p.name(), "warpmender (v1.1.0)");
    EXPECT_EQ(p.description(),
              "Fieldmap-based EPI distortion correction using the pixelshift algorithm (Jezzard & Balaban, "
              "1995).<BR>Please consult the manual (PDF) for usage and background information.<BR>");
    EXPECT_EQ(p.help_file(), "Located at the Neurolattice support site.");
    EXPECT_EQ(p.version(), "");
    EXPECT_EQ(p.gui_script(), "warpmender_v110.js");
    const std::string author = p.author();
    EXPECT_EQ(author.rfind("<i>", 0), 0u);
    EXPECT_EQ(author.substr(author.size() - 4), "</i>");
    EXPECT_EQ(author.find('\n'), std::string::npos);
    ASSERT_NE(p.verboselevel(), nullptr);
    EXPECT_EQ(*p.verboselevel(), 1);
}

TEST(PluginFrame, exports_only_the_entry_points_and_verboselevel) {
    const std::string cmd = std::string("nm -D --defined-only ") + WARPMENDER_PLUGIN_PATH;
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe)) {
        std::string s(line.data());
        s = s.substr(s.rfind(' ') + 1);
        s.pop_back();
        names.insert(s);
    }
    pclose(pipe);
    const std::set<std::string> expected = {"createPlugin", "getPluginName",    "getPluginDescription", "getAuthor",
                                            "getHelpFile",  "getPluginVersion", "getGUIScript",         "verboselevel"};
    EXPECT_EQ(names, expected);
}

struct VersionCase {
    int major, minor, patch;
    bool accepted;
};

TEST(PluginFrame, refuses_hosts_older_than_2_6_0_with_a_message_box) {
    const VersionCase cases[] = {
        {2, 6, 0, true}, {2, 5, 99, false}, {3, 0, 0, true}, {2, 7, 0, true}, {2, 6, 1, true}, {1, 9, 9, false},
    };
    for (const auto& c : cases) {
        auto& h = test::fresh_host();
        h.version[0] = c.major;
        h.version[1] = c.minor;
        h.version[2] = c.patch;
        host::PluginLibrary p(WARPMENDER_PLUGIN_PATH);
        EXPECT_EQ(p.create_and_init(), c.accepted) << c.major << "." << c.minor << "." << c.patch;
        if (c.accepted) {
            EXPECT_TRUE(h.message_boxes.empty());
        } else {
            ASSERT_EQ(h.message_boxes.size(), 1u);
            EXPECT_EQ(h.message_boxes[0],
                      "Can not execute this plugin - Neurolattice HS version 2.6 or higher required.");
        }
    }
}

TEST(PluginFrame, plugin_is_deleted_through_the_base_class) {
    test::fresh_host();
    host::PluginLibrary p(WARPMENDER_PLUGIN_PATH);
    ASSERT_TRUE(p.create_and_init());
    NLHSPluginInterface* raw = p.plugin();
    EXPECT_NE(raw, nullptr);
    // The library's destructor deletes it; AddressSanitizer builds catch a wrong delete.
}

TEST(PluginFrame, execute_reports_anything_thrown_inside_as_error_nr_minus_one) {
    struct Case {
        const char* command;
        bool out_of_memory;
        const char* message;
    };
    const Case cases[] = {
        {"GetFile", false, "The command stopped on an unexpected error."},
        {"Start", true, "Not enough memory to finish the command."},
    };
    for (const Case& c : cases) {
        host::Host& h = test::fresh_host();
        auto plugin = test::load_plugin();
        // The host's log throws on one line: the exception passes through the
        // C function back into the plug-in, as one from the plug-in's own code would.
        const std::string trigger = std::string("Command received: ") + c.command;
        const bool out_of_memory = c.out_of_memory;
        h.on_log = [trigger, out_of_memory](const std::string& line) {
            if (line != trigger) return;
            if (out_of_memory) throw std::bad_alloc();
            throw std::runtime_error("injected");
        };
        h.set_parameter("Command", std::string(c.command));
        EXPECT_TRUE(plugin->execute()) << c.command;
        EXPECT_EQ(h.int_parameter("ErrorNr"), -1) << c.command;
        EXPECT_EQ(h.string_parameter("ErrorMsg"), c.message) << c.command;
        EXPECT_EQ(h.log.back(), c.message) << c.command;
        h.on_log = nullptr;
    }
}

}  // namespace
}  // namespace warpmender
