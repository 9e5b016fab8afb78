// "CreatePolarFile" and "Evaluate" end to end through the real library: chosen, cancelled and mismatched documents.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace warpmender {
namespace {

using host::Answer;

class StepsCommands : public ::testing::Test {
protected:
    void SetUp() override {
        h = &test::fresh_host();
        plugin = test::load_plugin();
    }
    // A float document of nx x ny x nz x nt whose values come from f(flat index).
    template <typename F>
    int add(const std::string& name, int nx, int ny, int nz, int nt, F f) {
        host::Document d = host::make_fmr_document(name, nx, ny, nz, nt);
        long i = 0;
        for (auto& vol : d.float_volumes)
            for (auto& v : vol) v = f(i++);
        return h->add_document(std::move(d));
    }
    float value(const std::string& saved, size_t i) {
        const auto& d = h->saved_documents.at(saved);
        const size_t n = d.float_volumes.at(0).size();
        return d.float_volumes.at(i / n).at(i % n);
    }
    host::Host* h = nullptr;
    std::unique_ptr<host::PluginLibrary> plugin;
};

// Real and imaginary parts per voxel, with the truncated magnitude and phase.
struct Polar {
    float re, im, magnitude, phase;
};
const Polar kPolar[] = {
    {3, 4, 5, 0},     // atan2(4, 3) = 0.93 truncates to 0
    {-1, 0, 1, 3},    // pi truncates to 3
    {0, -2, 2, -1},   // -pi/2 truncates to -1
    {-5, -5, 7, -2},  // hypot 7.07, -3pi/4 = -2.36
    {0, 0, 0, 0},
};

TEST_F(StepsCommands, polar_file_from_a_chosen_real_and_imaginary_pair) {
    const int n = 5 * 3 * 7 * 2;
    add("/data/re.fmr", 5, 3, 7, 2, [](long i) { return kPolar[i % 5].re; });
    add("/data/im.fmr", 5, 3, 7, 2, [](long i) { return kPolar[i % 5].im; });
    h->set_parameter("RealFile", std::string("/data/re.fmr"));
    h->set_parameter("ImagFile", std::string("/data/im.fmr"));
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    test::run_command(*plugin, "CreatePolarFile");
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    EXPECT_EQ(h->unused_answers(), 0u);
    ASSERT_EQ(h->saved_documents.count("re_magnitude.fmr"), 1u);
    ASSERT_EQ(h->saved_documents.count("im_phase.fmr"), 1u);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(value("re_magnitude.fmr", i), kPolar[i % 5].magnitude) << i;
        EXPECT_EQ(value("im_phase.fmr", i), kPolar[i % 5].phase) << i;
    }
    ASSERT_GE(h->dialogs.size(), 2u);
    EXPECT_NE(h->dialogs[0].prompt.find("Please select the real image"), std::string::npos);
    EXPECT_NE(h->dialogs[1].prompt.find("Please select the imaginary image"), std::string::npos);
}

struct PolarFailure {
    const char* what;
    int first, second;  // document answers; 2 chooses no document
    int imag_nx, imag_ny, imag_nz;
    const char* line;  // a log line the failure must leave
};

TEST_F(StepsCommands, polar_file_fails_on_cancelled_or_mismatched_documents) {
    const PolarFailure cases[] = {
        {"real cancelled", 2, 1, 5, 3, 7, "Could not get FMR data"},
        {"imaginary cancelled", 0, 2, 5, 3, 7, "Could not get FMR data"},
        {"imaginary of another size", 0, 1, 4, 3, 7,
         "Real and imaginary images do not have the same dimensions, conversion not possible."},
        {"same count, other shape", 0, 1, 5, 7, 3,
         "Real and imaginary images do not have the same dimensions, conversion not possible."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        plugin = test::load_plugin();
        add("re.fmr", 5, 3, 7, 1, [](long i) { return float(i); });
        add("im.fmr", c.imag_nx, c.imag_ny, c.imag_nz, 1, [](long i) { return float(i); });
        h->queue_answer(Answer::of(c.first));
        h->queue_answer(Answer::of(c.second));
        test::run_command(*plugin, "CreatePolarFile");
        EXPECT_EQ(h->int_parameter("ErrorNr"), -1) << c.what;
        EXPECT_EQ(h->string_parameter("ErrorMsg"), "Conversion to polar representation did not succeed.") << c.what;
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.what;
        EXPECT_TRUE(h->saves.empty()) << c.what;
        EXPECT_EQ(h->unused_answers(), 0u) << c.what;  // both documents are always asked for
    }
}

TEST_F(StepsCommands, evaluate_saves_the_difference_of_two_chosen_documents) {
    add("/data/runA.fmr", 7, 5, 3, 4, [](long i) { return float(3 * i); });
    add("/data/runB.fmr", 7, 5, 3, 4, [](long i) { return float(i * i % 17); });
    h->queue_answer(Answer::of(0));
    h->queue_answer(Answer::of(1));
    test::run_command(*plugin, "Evaluate");
    EXPECT_EQ(h->int_parameter("ErrorNr"), 0);
    EXPECT_EQ(h->string_parameter("DifferenceImgName"), "runB_diffimg.fmr");
    EXPECT_TRUE(
        test::log_contains(*h, "Subtracted\n /data/runB.fmr\nfrom\n /data/runA.fmr.\nNew name:\nrunB_diffimg.fmr"));
    ASSERT_EQ(h->saved_documents.count("runB_diffimg.fmr"), 1u);
    for (long i = 0; i < 7 * 5 * 3 * 4; ++i)
        ASSERT_EQ(value("runB_diffimg.fmr", static_cast<size_t>(i)), float(3 * i) - float(i * i % 17)) << i;
}

struct EvaluateFailure {
    const char* what;
    int documents;
    int nt_second;
    std::vector<int> answers;
    const char* line;
};

TEST_F(StepsCommands, evaluate_fails_on_missing_cancelled_or_mismatched_documents) {
    const EvaluateFailure cases[] = {
        {"one document", 1, 0, {}, "This function requires 2 functional images to be open in Neurolattice."},
        {"different volume counts",
         2,
         9,
         {0, 1},
         "Images do not have same number of voxels, subtraction not possible."},
        {"source cancelled", 2, 10, {2, 1}, "Could not obtain both images, subtraction not possible."},
        {"subtrahend cancelled", 2, 10, {0, 2}, "Could not obtain both images, subtraction not possible."},
        {"both cancelled", 2, 10, {2, 2}, "Could not obtain both images, subtraction not possible."},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        plugin = test::load_plugin();
        add("a.fmr", 8, 8, 3, 10, [](long i) { return float(i); });
        if (c.documents > 1) add("b.fmr", 8, 8, 3, c.nt_second, [](long) { return 1.0f; });
        for (int a : c.answers) h->queue_answer(Answer::of(a));
        test::run_command(*plugin, "Evaluate");
        EXPECT_EQ(h->int_parameter("ErrorNr"), -1) << c.what;
        EXPECT_EQ(h->string_parameter("ErrorMsg"), "Evaluation procedure did not succeed.") << c.what;
        EXPECT_TRUE(test::log_contains(*h, c.line)) << c.what;
        EXPECT_TRUE(h->saves.empty()) << c.what;
        EXPECT_FALSE(h->has_parameter("DifferenceImgName")) << c.what;
        EXPECT_EQ(h->unused_answers(), 0u) << c.what;
    }
}

}  // namespace
}  // namespace warpmender
