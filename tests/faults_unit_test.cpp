// Faults handled inside the process: absurd host headers on the plug-in's side, numbers a session cannot
// hold, saves that fail while the plug-in carries on.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <memory>

#include "cli/session.h"
#include "core/error.h"
#include "host/document_files.h"
#include "io/host_documents.h"
#include "tests/host_files_support.h"
#include "tests/io_test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using host::Answer;

host::Document header_only(int nx, int ny, int nz, int nt) {
    host::Document d = host::make_fmr_document("huge.fmr", 1, 1, 1, 1);
    d.fmr.ResolutionX = nx;  // only the header is read: no buffer of this size exists
    d.fmr.ResolutionY = ny;
    d.fmr.NrOfSlices = nz;
    d.fmr.NrOfVolumes = nt;
    return d;
}

// Three 32-bit sizes and a count multiply past 64 bits: undefined before, refused now.
TEST(FaultsPluginReader, a_header_whose_value_count_overflows_64_bits_is_refused_with_a_log_line) {
    const int big = std::numeric_limits<int>::max();
    const struct {
        int nx, ny, nz, nt;
        const char* dims;
    } cases[] = {
        {big, big, big, 1, "2147483647 x 2147483647 x 2147483647 x 1"},
        {2097152, 2097152, 2097152, 1, "2097152 x 2097152 x 2097152 x 1"},  // exactly 2^63
        {65536, 65536, 65536, 65536, "65536 x 65536 x 65536 x 65536"},
    };
    for (const auto& c : cases) {
        host::Host& h = test::bound_host();
        h.add_document(header_only(c.nx, c.ny, c.nz, c.nt));
        h.set_current(0);
        fmrfile f;
        EXPECT_FALSE(getcurrentfmr(&f)) << c.dims;
        EXPECT_TRUE(test::log_contains(
            h, std::string("The current FMR's dimensions (") + c.dims + ") hold more values than can be counted."))
            << c.dims << ": " << (h.log.empty() ? "" : h.log.back());
    }
}

// 2^48 values (2 PiB as double) fit 64 bits but no machine: nothing is allocated, the selection says why.
TEST(FaultsPluginReader, a_header_beyond_this_machines_memory_is_not_allocated) {
    host::Host& h = test::bound_host();
    h.add_document(header_only(65536, 65536, 65536, 1));
    h.queue_answer(Answer::of(0));
    datahandler<double> dh;
    EXPECT_FALSE(getcurrentfmrdouble_gui("Pick", &dh));
    EXPECT_EQ(dh.getstatus(), STATUS_NODATA);
    EXPECT_FALSE(dh.hasdata());
    bool said = false;
    for (const std::string& line : h.log)
        said = said ||
               (line.rfind("The current FMR holds 281474976710656 values (65536 x 65536 x 65536 x 1), more "
                           "than the ",
                           0) == 0 &&
                line.find("bytes of memory of this machine can hold as double; it is not read.") != std::string::npos);
    EXPECT_TRUE(said) << h.log.back();
    EXPECT_TRUE(test::log_contains(h, "Could not get FMR data"));
}

TEST(FaultsSession, numbers_beyond_the_parameter_types_are_refused_and_the_edges_kept) {
    const struct {
        const char* json;     // one call's content
        const char* refusal;  // part of the message, or null when accepted
    } cases[] = {
        {R"("answers": [2147483647])", nullptr},
        {R"("answers": [-2147483648])", nullptr},
        {R"("answers": [2147483648])", "2147483648 does not fit an integer answer"},
        {R"("answers": [-2147483649])", "-2147483649 does not fit an integer answer"},
        {R"("answers": [18446744073709551615])", "18446744073709551615 does not fit an integer answer"},
        {R"("parameters": {"N": 9223372036854775808})", "9223372036854775808 does not fit an int parameter"},
        {R"("parameters": {"F": 3.4e38})", nullptr},
        {R"("parameters": {"F": -3.4e38})", nullptr},
        {R"("parameters": {"F": 1e-50})", nullptr},
        {R"("parameters": {"F": 3.5e38})", "parameter \"F\": 3.5e+38 does not fit a float parameter"},
        {R"("parameters": {"F": -1e300})", "parameter \"F\": -1e+300 does not fit a float parameter"},
        {R"("parameters": {"F": 1e999})", "not valid JSON ([json.exception.out_of_range.406] number overflow"},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(R"({"calls": [{)") + c.json + "}]}";
        try {
            const host::Session s = host::parse_session_text(text, "s.json", "/base");
            EXPECT_EQ(c.refusal, nullptr) << "accepted " << c.json;
            for (const auto& p : s.calls.at(0).parameters) {
                if (const float* f = std::get_if<float>(&p.second)) {
                    EXPECT_TRUE(std::isfinite(*f)) << c.json;
                }
            }
        } catch (const Error& e) {
            ASSERT_NE(c.refusal, nullptr) << "refused " << c.json << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
            const std::string m = e.what();
            EXPECT_TRUE(m.rfind("session \"s.json\", calls[0], ", 0) == 0 ||
                        m.rfind("cannot read session \"s.json\": ", 0) == 0)
                << m;
        }
    }
}

// The plug-in ignores the result of some saves; the session's outcome does not.
TEST(FaultsSession, a_save_that_failed_makes_the_outcome_a_failure_naming_the_file) {
    const std::string dir = test::scratch_dir("faults-session-save");
    {
        const host::Host writer;
        const host::Document d = test::index_fmr_document("a.fmr", 2);
        ASSERT_EQ(host::save_document_files(writer, d, dir + "/a.fmr", dir + "/a.stc"), "");
    }
    host::Session s;
    s.documents = {{dir + "/a.fmr", false}, {dir + "/a.fmr", false}};
    host::SessionCall call;
    call.parameters = {{"Command", std::string("Evaluate")}};
    call.answers = {Answer::of(0), Answer::of(0)};
    s.calls.push_back(call);
    host::RunSettings settings;
    settings.plugin_path = WARPMENDER_PLUGIN_PATH;
    settings.output_dir = dir + "/out";
    settings.before_calls = [](host::Host& h) {
        h.saver = [](const host::Document&, const std::string&, const std::string&) {
            return std::string("No space left on device");
        };
    };
    const host::SessionOutcome o = host::run_session(s, settings, {});
    EXPECT_EQ(o.exit_status(), 1) << o.report.dump(1);
    ASSERT_EQ(o.unsaved.size(), 1u);
    EXPECT_EQ(o.unsaved[0], "cannot save \"" + dir + "/out/a_diffimg.fmr\": No space left on device");
    const auto& saved = o.report["calls"][0]["saved"];
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]["ok"], false);
    EXPECT_EQ(saved[0]["error"], "No space left on device");
    EXPECT_TRUE(test::listing(dir + "/out").empty());
    host::instance().reset();
}

// The renames come one after another: a folder where the FMR goes must stop the save before the STC is in place.
TEST(FaultsSaves, a_target_taken_by_a_folder_is_refused_before_anything_is_written) {
    for (const char* taken : {"a.fmr", "a.stc", "a.nii.gz"}) {
        const std::string dir = test::scratch_dir(std::string("faults-folder-target-") + taken);
        std::filesystem::create_directories(dir + "/" + taken);
        host::Host h;
        h.nifti_output = true;
        const host::Document d = test::index_fmr_document("a.fmr", 2);
        EXPECT_EQ(host::save_document_files(h, d, dir + "/a.fmr", dir + "/a.stc"),
                  "\"" + dir + "/" + taken + "\" is a folder");
        EXPECT_EQ(test::listing(dir), std::vector<std::string>{taken});
    }
}

}  // namespace
}  // namespace warpmender
