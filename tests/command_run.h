// Runs the built warpmender command as a process, as a user does, and collects what it printed.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/phantom_files.h"
#include "sim/dataset.h"
#include "tests/test_support.h"

namespace warpmender {
namespace test {

struct RunResult {
    int status = -1;  // exit status; -1 when the process did not exit normally
    bool signalled = false;
    std::string out, err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Single-quoted for the shell, whatever the text holds.
inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The command with args, standard input from /dev/null, in cwd when given.
inline RunResult run_command(const std::vector<std::string>& args, const std::string& cwd = "") {
    static int counter = 0;
    const std::string base = std::string(WARPMENDER_BINARY_DIR) + "/test-scratch/cmd" + std::to_string(::getpid()) +
                             "_" + std::to_string(counter++);
    std::string cmd = (cwd.empty() ? "" : "cd " + quote(cwd) + " && ") + quote(WARPMENDER_COMMAND_PATH);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " </dev/null >" + quote(base + ".out") + " 2>" + quote(base + ".err");
    const int raw = std::system(cmd.c_str());
    RunResult r;
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.signalled = WIFSIGNALED(raw) || (WIFEXITED(raw) && WEXITSTATUS(raw) > 128);
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    std::filesystem::remove(base + ".out");
    std::filesystem::remove(base + ".err");
    return r;
}

// The small demo phantom written as NIfTI files with sidecars, once per test
// suite and process (ctest -j runs each case in a process of its own, all at
// once): class Suite : public test::PhantomFiles<Suite> {};
template <typename Suite>
class PhantomFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new sim::Dataset(sim::make_dataset(host::demo_dataset_params(true)));
        inputs_ = test::scratch_dir(std::string("phantom-inputs-") +
                                    ::testing::UnitTest::GetInstance()->current_test_suite()->name() + "-" +
                                    std::to_string(::getpid()));
        files_ = new host::PhantomFiles(host::write_phantom_files(*data_, inputs_));
    }
    static void TearDownTestSuite() {
        delete data_;
        delete files_;
        std::error_code ec;
        std::filesystem::remove_all(inputs_, ec);
    }
    static inline sim::Dataset* data_ = nullptr;
    static inline host::PhantomFiles* files_ = nullptr;
    static inline std::string inputs_;
};

}  // namespace test
}  // namespace warpmender
