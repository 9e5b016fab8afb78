// Session files and BIDS sidecars: what is accepted, and the messages for what is not.
#include <gtest/gtest.h>

#include "cli/console.h"
#include "cli/session.h"
#include "core/error.h"
#include "formats/sidecar.h"

namespace warpmender {
namespace {

using host::Answer;

TEST(CommandSession, parses_documents_calls_and_typed_parameters) {
    const host::Session s = host::parse_session_text(R"({
        "host_version": "2.6.1", "output_dir": "out",
        "documents": [{"path": "a.fmr"}, {"path": "/abs/t1.nii.gz", "as": "vmr"}],
        "calls": [{"parameters": {"Command": "Start", "PerformAllSteps": 1, "EchoTimeDiff": 2.46, "Flag": true},
                   "answers": [0, "chosen/file.fmr", null]}]})",
                                                     "s.json", "/base");
    EXPECT_EQ(s.host_version, "2.6.1");
    EXPECT_EQ(s.output_dir, "/base/out");
    ASSERT_EQ(s.documents.size(), 2u);
    EXPECT_EQ(s.documents[0].path, "/base/a.fmr");
    EXPECT_FALSE(s.documents[0].as_anatomy);
    EXPECT_EQ(s.documents[1].path, "/abs/t1.nii.gz");
    EXPECT_TRUE(s.documents[1].as_anatomy);
    ASSERT_EQ(s.calls.size(), 1u);
    const auto& p = s.calls[0].parameters;
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(std::get<std::string>(p[0].second), "Start");
    EXPECT_EQ(std::get<int>(p[1].second), 1);
    EXPECT_EQ(std::get<float>(p[2].second), 2.46f);  // any non-integer number is a float parameter
    EXPECT_EQ(std::get<int>(p[3].second), 1);
    const auto& a = s.calls[0].answers;
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].kind, Answer::kInteger);
    EXPECT_EQ(a[1].path, "/base/chosen/file.fmr");
    EXPECT_EQ(a[2].kind, Answer::kCancel);
}

struct BadSession {
    const char* text;
    const char* message_part;
};

TEST(CommandSession, malformed_sessions_name_the_file_and_the_field) {
    const BadSession cases[] = {
        {"{", "not valid JSON"},
        {"[]", "top level must be an object"},
        {R"({"host_version": "2.x"})", "MAJOR.MINOR.PATCH"},
        {R"({"host_version": 2})", "\"host_version\" must be a string"},
        {R"({"documents": {}})", "\"documents\" must be an array"},
        {R"({"documents": [{"file": "a"}]})", "documents[0]"},
        {R"({"documents": [{"path": "a", "as": "dmr"}]})", "\"as\" is \"fmr\" or \"vmr\""},
        {R"({"calls": [{"parameters": {"X": [1]}}]})", "parameter \"X\""},
        {R"({"calls": [{"answers": [{"a": 1}]}]})", "answers[0]"},
        {R"({"calls": [{"parameters": {"X": 4294967296}}]})", "does not fit an int parameter"},
        {R"({"calls": [{"params": {}}]})", "unknown field \"params\""},
        {R"({"outputdir": "x"})", "unknown field \"outputdir\""},
    };
    for (const auto& c : cases) {
        try {
            host::parse_session_text(c.text, "bad.json", "/b");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const Error& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("bad.json"), std::string::npos) << m;
            EXPECT_NE(m.find(c.message_part), std::string::npos) << m;
        }
    }
}

TEST(CommandSession, string_values_longer_than_255_are_refused) {
    const std::string text = R"({"calls": [{"parameters": {"Command": ")" + std::string(256, 'x') + R"("}}]})";
    EXPECT_THROW(host::parse_session_text(text, "long.json", "/b"), Error);
}

TEST(CommandSession, missing_session_file_is_named) {
    try {
        host::parse_session_file("/nonexistent/s.json");
        FAIL();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/s.json"), std::string::npos);
    }
}

TEST(CommandSidecar, paths_codes_and_fields) {
    EXPECT_EQ(host::sidecar_path("d/a.nii.gz"), "d/a.json");
    EXPECT_EQ(host::sidecar_path("d/a.nii"), "d/a.json");
    EXPECT_EQ(host::sidecar_path("d/a.fmr"), "");
    const struct {
        const char* text;
        int code;
    } codes[] = {{"i", 1}, {"i-", 2}, {"j", 3}, {"j-", 4}, {"k", 5}, {"k-", 6}, {"3", 3}, {"x", 0}, {"7", 0}, {"", 0}};
    for (const auto& c : codes) EXPECT_EQ(host::direction_code(c.text), c.code) << c.text;
    const host::Sidecar s = host::parse_sidecar(
        R"({"EchoTime1": 0.00492, "EchoTime2": 0.00738, "EffectiveEchoSpacing": 0.00053,
            "TotalReadoutTime": 0.0334, "PhaseEncodingDirection": "j-", "Other": [1, 2]})",
        "x.json");
    EXPECT_DOUBLE_EQ(*s.echo_time2 - *s.echo_time1, 0.00246);
    EXPECT_DOUBLE_EQ(*s.effective_echo_spacing, 0.00053);
    EXPECT_EQ(*s.phase_encoding_direction, "j-");
}

TEST(CommandSidecar, wrong_types_and_units_are_refused_by_name) {
    const BadSession cases[] = {
        {R"({"EchoTime1": "5ms"})", "\"EchoTime1\" must be a number of seconds"},
        {R"({"EchoTime1": 4.92})", "not a time in seconds"},  // milliseconds by mistake
        {R"({"PhaseEncodingDirection": "y"})", "expected one of i, i-, j, j-, k, k-"},
        {R"({"PhaseEncodingDirection": 2})", "must be a string"},
        {R"(nope)", "not valid JSON"},
    };
    for (const auto& c : cases) {
        try {
            host::parse_sidecar(c.text, "side.json");
            ADD_FAILURE() << c.text;
        } catch (const Error& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("side.json"), std::string::npos) << m;
            EXPECT_NE(m.find(c.message_part), std::string::npos) << m;
        }
    }
}

TEST(CommandConsole, dialog_prompts_lose_their_html_as_a_browser_would_show_them) {
    EXPECT_EQ(host::plain_text("<HTML>Please select<P>\n\n0 = a.fmr<BR>\n\n1 = b.fmr<BR>\n\n</HTML>"),
              "Please select\n0 = a.fmr\n1 = b.fmr");
    EXPECT_EQ(host::plain_text("one<br>two<i>three</i>"), "one\ntwothree");
    EXPECT_EQ(host::plain_text("a < b"), "a < b");
}

}  // namespace
}  // namespace warpmender
