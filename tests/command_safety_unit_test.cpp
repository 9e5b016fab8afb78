// The pieces behind the command's safety, in-process: temporary names, exclusive creation, the memory
// estimate, physical ranges, the stale sweep and the run lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "cli/acquisition_ranges.h"
#include "cli/memory_budget.h"
#include "cli/output_folder.h"
#include "cli/run_lock.h"
#include "core/error.h"
#include "core/temporary_names.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryNames, are_recognised_by_their_pattern_only) {
    const struct {
        const char* name;
        bool ours;
        pid_t pid;
    } cases[] = {
        {".a_b0.stc.tmp-4242-7", true, 4242},
        {".a.nii.gz.tmp-4242-8.nii.gz", true, 4242},
        {".a.nii.tmp-17-0.nii", true, 17},
        {".x.tmp-1-2.tmp-33-4", true, 33},    // the last ".tmp-" counts
        {"a.stc.tmp-4242-7", false, 0},       // not hidden
        {".a.stc.tmp-4242-", false, 0},       // no counter
        {".a.stc.tmp--7", false, 0},          // no PID
        {".a.stc.tmp-0-7", false, 0},         // PID 0 is no process
        {".a.stc.tmp-4242-7.txt", false, 0},  // a suffix of no writer
        {".tmp-4242-7", false, 0},            // no target name
        {".a.stc.tmp-12345678901-7", false, 0},
        {".a.part-4242-7", false, 0},
    };
    for (const auto& c : cases) {
        pid_t pid = 0;
        EXPECT_EQ(is_temporary_name(c.name, &pid), c.ours) << c.name;
        if (c.ours) {
            EXPECT_EQ(pid, c.pid) << c.name;
        }
    }
    pid_t pid = 0;
    const std::string made = temporary_name_for("out/a_b0.stc", 7);
    EXPECT_EQ(made, "out/.a_b0.stc.tmp-" + std::to_string(::getpid()) + "-7");
    EXPECT_TRUE(is_temporary_name(fs::path(made).filename().c_str(), &pid));
    EXPECT_EQ(pid, ::getpid());
    // A long name is cut, so that the temporary still fits where the target does.
    const std::string long_name(250, 'n');
    EXPECT_LE(fs::path(temporary_name_for("d/" + long_name, 99, ".nii.gz")).filename().string().size(), 130u);
}

TEST(TemporaryNames, are_created_beside_the_target_each_under_a_fresh_name) {
    const std::string dir = test::scratch_dir("temporary-names");
    std::string path;
    const int fd = create_temporary_beside(dir + "/a.stc", "", &path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(fs::path(path).parent_path().string(), dir);
    EXPECT_TRUE(fs::is_regular_file(path));
    std::string second;
    const int fd2 = create_temporary_beside(dir + "/a.stc", "", &second);
    ASSERT_GE(fd2, 0);
    ::close(fd2);
    EXPECT_NE(second, path);
}

TEST(MemoryBudget, grows_with_every_input_and_counts_a_series_twice_over) {
    host::InputGrid field{"p.nii", 64, 64, 24, 1, 64 * 64 * 24 * 4, {}};
    host::InputGrid series{"e.nii", 64, 64, 24, 100, 64ull * 64 * 24 * 100 * 4, {}};
    const uint64_t one = host::estimated_run_bytes({field});
    const uint64_t both = host::estimated_run_bytes({field, series});
    // The series as floats (4 B), its double copy and result (12 B) per value.
    EXPECT_EQ(both - one, 64ull * 64 * 24 * 100 * 16);
    // The unwrapping's working set of the largest volume, and the program itself, on top of the input.
    EXPECT_GT(one, field.host_bytes + 64ull * 64 * 24 * 100);
    // Absurd grids saturate instead of wrapping around to a small number.
    host::InputGrid huge{"h.nii", 32767, 32767, 32767, 32767, UINT64_MAX / 2, {}};
    EXPECT_EQ(host::estimated_run_bytes({huge, huge}), UINT64_MAX);
    EXPECT_THROW(host::check_run_memory({huge}), Error);
}

TEST(AcquisitionRanges, refuse_values_outside_with_the_reason_and_keep_the_edges) {
    const struct {
        double value;
        const host::PhysicalRange* range;
        bool ok;
    } cases[] = {
        {2.46, &host::kEchoTimeDifferenceMs, true},    {0.1, &host::kEchoTimeDifferenceMs, true},
        {100.0, &host::kEchoTimeDifferenceMs, true},   {1e-12, &host::kEchoTimeDifferenceMs, false},
        {2460.0, &host::kEchoTimeDifferenceMs, false}, {0.00053, &host::kEffectiveEchoSpacingS, true},
        {1e-40, &host::kEffectiveEchoSpacingS, false}, {0.53, &host::kEffectiveEchoSpacingS, false},
        {29.48, &host::kBandwidthPerVoxelHz, true},    {0.5, &host::kBandwidthPerVoxelHz, false},
        {NAN, &host::kBandwidthPerVoxelHz, false},
    };
    for (const auto& c : cases) {
        if (c.ok) {
            EXPECT_NO_THROW(host::check_physical(c.value, *c.range, "--x")) << c.value;
            continue;
        }
        try {
            host::check_physical(c.value, *c.range, "--x");
            ADD_FAILURE() << c.value << " was accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.range->why), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("(--x)"), std::string::npos) << e.what();
        }
    }
}

TEST(OutputFolder, the_stale_sweep_removes_regular_files_of_dead_writers_only) {
    const std::string dir = test::scratch_dir("stale-sweep");
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string d = std::to_string(dead), me = std::to_string(::getpid());
    test::write_file(dir + "/.a.stc.tmp-" + d + "-1", "x");
    test::write_file(dir + "/.a.stc.tmp-" + me + "-1", "x");  // this process: alive
    test::write_file(dir + "/.a.stc.tmp-1-1", "x");           // init: alive, and not ours to judge
    fs::create_directory(dir + "/.b.tmp-" + d + "-2");        // a folder is never removed
    test::write_file(dir + "/a.stc", "x");
    const std::vector<std::string> removed = host::remove_stale_temporaries(dir);
    EXPECT_EQ(removed, std::vector<std::string>{".a.stc.tmp-" + d + "-1"});
    EXPECT_TRUE(fs::exists(dir + "/.a.stc.tmp-" + me + "-1"));
    EXPECT_TRUE(fs::exists(dir + "/.a.stc.tmp-1-1"));
    EXPECT_TRUE(fs::exists(dir + "/.b.tmp-" + d + "-2"));
    EXPECT_TRUE(fs::exists(dir + "/a.stc"));
}

TEST(RunLock, is_held_once_per_folder_and_leaves_nothing_when_released) {
    const std::string dir = test::scratch_dir("run-lock");
    {
        const host::RunLock lock(dir);
        EXPECT_TRUE(fs::exists(dir + "/.warpmender.lock"));
        // Another open file description (as another process would have) cannot take it.
        const pid_t child = ::fork();
        if (child == 0) {
            try {
                const host::RunLock second(dir);
                ::_exit(1);
            } catch (const Error&) {
                ::_exit(0);
            }
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a second lock was granted";
    }
    EXPECT_FALSE(fs::exists(dir + "/.warpmender.lock"));
    const host::RunLock again(dir);  // free once released
}

TEST(SaveChooser, a_chosen_save_path_that_is_an_open_documents_source_is_refused_as_cancelled) {
    const std::string dir = test::scratch_dir("save-chooser");
    test::write_file(dir + "/a.fmr", "header");
    host::Host& h = test::fresh_host();
    host::Document d = host::make_fmr_document("a.fmr", 2, 2, 1, 1);
    d.source_path = dir + "/a.fmr";
    h.add_document(std::move(d));
    char path[600] = "fieldmapparams.txt";
    for (const std::string& chosen : {dir + "/a.fmr", dir + "/./a.fmr"}) {
        h.queue_answer(host::Answer::of(chosen));
        EXPECT_EQ(h.ask_path("save", "Please select a folder", "*.txt", path), 0) << chosen;
        ASSERT_FALSE(h.session_errors.empty());
        EXPECT_NE(h.session_errors.back().find("is the input"), std::string::npos) << h.session_errors.back();
        EXPECT_STREQ(path, "fieldmapparams.txt");
    }
    h.queue_answer(host::Answer::of(dir + "/params.txt"));
    EXPECT_EQ(h.ask_path("save", "Please select a folder", "*.txt", path), 1);
    EXPECT_EQ(std::string(path), dir + "/params.txt");
    EXPECT_EQ(test::read_file(dir + "/a.fmr"), "header");
}

}  // namespace
}  // namespace warpmender
