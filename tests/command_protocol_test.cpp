// The command frame of every execute() call, "GetFiles", "GetFile" and unknown commands.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace warpmender {
namespace {

using host::Answer;

const char* const kWelcome = "Welcome to the EPI distortion correction tool 'warpmender'.";
const char* const kSuccess =
    "Image processing finished successfully.\nPlease detach AMR of FMR files (via FMR Properties) to view results.";

class CommandProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        h = &test::fresh_host();
        plugin = test::load_plugin();
    }
    host::Host* h = nullptr;
    std::unique_ptr<host::PluginLibrary> plugin;
};

TEST_F(CommandProtocol, every_call_opens_and_closes_the_frame) {
    for (const char* command : {"GetFiles", "GetFile", "nonsense", "Start", "Evaluate", "CreatePolarFile"}) {
        h->log.clear();
        h->clear_answers();
        h->queue_answer(Answer::cancel());
        h->queue_answer(Answer::cancel());
        h->queue_answer(Answer::cancel());
        test::run_command(*plugin, command);
        ASSERT_GE(h->log.size(), 3u) << command;
        EXPECT_EQ(h->log[0], kWelcome);
        EXPECT_EQ(h->log[1], std::string("Command received: ") + command);
        const std::string last = h->log.back();
        EXPECT_TRUE(last == kSuccess || last == "Image processing finished.") << command << ": " << last;
    }
    EXPECT_GE(h->log_tab_shown, 6);
}

TEST_F(CommandProtocol, unknown_command_is_logged_and_succeeds) {
    test::run_command(*plugin, "start");  // case matters
    EXPECT_TRUE(test::log_contains(*h, "Plugin> Received unknown command: \"start\"."));
    EXPECT_EQ(h->log.back(), kSuccess);
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
}

TEST_F(CommandProtocol, success_leaves_an_earlier_error_message) {
    h->set_parameter("ErrorMsg", std::string("left by an earlier call"));
    test::run_command(*plugin, "nonsense");
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "left by an earlier call");
}

TEST_F(CommandProtocol, failure_sets_error_number_and_message_after_the_closing_line) {
    h->set_parameter("Procedure", std::string("Unwrap"));
    h->queue_answer(Answer::of(0));  // an empty workspace: nothing can be read
    h->queue_answer(Answer::of(0));
    test::run_command(*plugin, "Start");
    EXPECT_EQ(h->int_parameter("ErrorNr"), -1);
    EXPECT_EQ(h->string_parameter("ErrorMsg"), "Stopped unwrapping procedure: no data or status is not ok.");
    EXPECT_EQ(h->log.back(), "Image processing finished.");
}

struct StageCase {
    int stage;
    std::vector<std::string> titles;
    std::vector<std::string> parameters;
};

TEST_F(CommandProtocol, get_files_stage_table) {
    const StageCase cases[] = {
        {2, {"Please select the unwrapped datafile(s)"}, {"UnwrPhaseFile"}},
        {3, {"Please select the B0 datafile(s)"}, {"B0File"}},
        {4, {"Please select the pixelshift map(s)"}, {"PixshiftFile"}},
        {5, {"Please select the EPI datafile(s)"}, {"EPIFile"}},
        {6, {"Please select the anatomical image (*.vmr)"}, {"VMRFile"}},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        plugin = test::load_plugin();
        h->set_parameter("FileTypeId", 21);
        h->set_parameter("FileStage", c.stage);
        h->queue_answer(Answer::of(std::string("/data/chosen.fmr")));
        test::run_command(*plugin, "GetFiles");
        ASSERT_EQ(h->dialogs.size(), 1u) << c.stage;
        EXPECT_EQ(h->dialogs[0].kind, "open");
        EXPECT_EQ(h->dialogs[0].prompt, c.titles[0]);
        EXPECT_EQ(h->dialogs[0].filter, "*.fmr");
        EXPECT_EQ(h->string_parameter(c.parameters[0]), "/data/chosen.fmr");
        EXPECT_EQ(h->int_parameter("NrOfFiles"), 1);
        EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    }
}

struct StageOneCase {
    bool phase, magnitude;
    int count;
};

TEST_F(CommandProtocol, get_files_stage_one_asks_twice_and_sets_what_was_chosen) {
    const StageOneCase cases[] = {{true, true, 2}, {true, false, 1}, {false, true, 1}, {false, false, 0}};
    for (const auto& c : cases) {
        h = &test::fresh_host();
        plugin = test::load_plugin();
        h->set_parameter("FileTypeId", 20);
        h->set_parameter("FileStage", 1);
        h->queue_answer(c.phase ? Answer::of(std::string("p.vmr")) : Answer::cancel());
        h->queue_answer(c.magnitude ? Answer::of(std::string("m.vmr")) : Answer::cancel());
        test::run_command(*plugin, "GetFiles");
        ASSERT_EQ(h->dialogs.size(), 2u);
        EXPECT_EQ(h->dialogs[0].prompt, "Please select the wrapped phase datafile(s)");
        EXPECT_EQ(h->dialogs[1].prompt, "Please select the magnitude datafile(s)");
        EXPECT_EQ(h->dialogs[1].filter, "*.vmr");
        EXPECT_EQ(h->has_parameter("WrPhaseFile"), c.phase);
        EXPECT_EQ(h->has_parameter("MagnFile"), c.magnitude);
        EXPECT_EQ(h->int_parameter("NrOfFiles"), c.count);
        EXPECT_TRUE(h->session_errors.empty());
    }
}

TEST_F(CommandProtocol, get_files_other_stages_show_no_chooser) {
    for (int stage : {0, 7, -1}) {
        h->dialogs.clear();
        h->set_parameter("FileStage", stage);
        test::run_command(*plugin, "GetFiles");
        EXPECT_TRUE(h->dialogs.empty());
        EXPECT_EQ(h->int_parameter("NrOfFiles"), 0);
        EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    }
}

TEST_F(CommandProtocol, get_file_chosen_and_cancelled) {
    h->set_parameter("FileTypeId", 23);
    h->queue_answer(Answer::of(std::string("/x/y.stc")));
    test::run_command(*plugin, "GetFile");
    EXPECT_EQ(h->dialogs.at(0).prompt, "Please select the file");
    EXPECT_EQ(h->dialogs.at(0).filter, "*.stc");
    EXPECT_EQ(h->string_parameter("FileName"), "/x/y.stc");
    const long at = test::find_log(*h, "Selected filename: ");
    ASSERT_GE(at, 0);
    EXPECT_EQ(h->log.at(static_cast<size_t>(at) + 1), "/x/y.stc");

    h->queue_answer(Answer::cancel());
    test::run_command(*plugin, "GetFile");
    EXPECT_EQ(h->string_parameter("FileName"), "/x/y.stc");
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
}

TEST_F(CommandProtocol, long_string_parameters_do_not_overflow) {
    h->set_parameter("Command", std::string(300, 'C'));  // the store itself holds more than 255
    plugin->execute();
    const std::string expected = "Command received: " + std::string(255, 'C');
    EXPECT_EQ(h->log.at(1), expected);
}

}  // namespace
}  // namespace warpmender
