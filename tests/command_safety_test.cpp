// The command run as a process by a hostile or careless user: planted links, output beside the inputs,
// decompression bombs, huge previews, interruptions, clashing report/log names, odd sidecars, two runs at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "cli/memory_budget.h"
#include "cli/phantom_files.h"
#include "core/atomic_file.h"
#include "correction/world_grid.h"
#include "formats/input_headers.h"
#include "formats/nifti_document.h"
#include "sim/dataset.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// --- the command as a child process ------------------------------------------

struct Child {
    pid_t pid = -1;
    std::string out_file, err_file;
};

struct Result {
    int status = -1;  // exit status; -1 when it ended by a signal
    int signal = 0;
    std::string out, err;
};

// Standard output and error go to files beside the test's scratch folder.
Child start(const std::vector<std::string>& args, const std::string& scratch, const std::string& cwd = "") {
    static int counter = 0;
    Child r;
    r.out_file = scratch + "/stdout-" + std::to_string(++counter) + ".txt";
    r.err_file = scratch + "/stderr-" + std::to_string(counter) + ".txt";
    std::vector<std::string> all = args;
    all.insert(all.begin(), WARPMENDER_COMMAND_PATH);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    r.pid = ::fork();
    if (r.pid == 0) {
        const int out = ::open(r.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(r.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return r;
}

// Not a timing test: a guard so that a hung child fails the test instead of blocking the suite.
Result finish(const Child& r, int seconds = 120) {
    Result o;
    int raw = 0;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (::waitpid(r.pid, &raw, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(r.pid, SIGKILL);
            ::waitpid(r.pid, &raw, 0);
            o.err = "[the test killed the command after " + std::to_string(seconds) + " s]\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(raw)) o.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) o.signal = WTERMSIG(raw);
    o.out = test::read_file(r.out_file);
    o.err += test::read_file(r.err_file);
    fs::remove(r.out_file);
    fs::remove(r.err_file);
    return o;
}

Result run(const std::vector<std::string>& args, const std::string& scratch, const std::string& cwd = "",
           int seconds = 120) {
    return finish(start(args, scratch, cwd), seconds);
}

// A refusal: the status the command chose, a message naming the culprit, no crash.
void expect_refused(const Result& r, const std::vector<std::string>& parts, const std::string& what, int status = 2) {
    EXPECT_EQ(r.signal, 0) << what << ": ended by signal " << r.signal << "\n" << r.err;
    EXPECT_EQ(r.status, status) << what << "\n" << r.err;
    for (const std::string& p : parts)
        EXPECT_NE(r.err.find(p), std::string::npos) << what << ": no \"" << p << "\"\n" << r.err;
    for (const char* crash : {"Sanitizer", "runtime error:", "terminate called"})
        EXPECT_EQ(r.err.find(crash), std::string::npos) << what << "\n" << r.err;
}

// --- inputs ------------------------------------------------------------------

std::map<std::string, uint64_t> checksums(const std::string& dir) {
    std::map<std::string, uint64_t> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && !e.is_symlink()) out[e.path().string()] = test::checksum(e.path().string());
    return out;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Temporary files or the lock: nothing a finished or interrupted run may leave.
std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& n : names_in(dir))
        if (n[0] == '.' || n.find(".tmp") != std::string::npos || n.find(".part") != std::string::npos)
            out.push_back(n);
    return out;
}

// Removes a folder of generated inputs when the test process ends.
struct RemovedAtExit {
    std::string dir;
    ~RemovedAtExit() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

struct Inputs {
    std::string dir;
    host::PhantomFiles nifti;
    std::string echo_time_diff = "2.46", bandwidth;
    sim::Grid grid;
    std::vector<float> epi_volume;  // the first volume of the distorted EPI
};

const Inputs& inputs() {
    static const Inputs in = [] {
        Inputs i;
        sim::DatasetParams p;
        p.phantom.grid = sim::small_grid();
        p.epi.nt = 2;
        const sim::Dataset ds = sim::make_dataset(p);
        i.dir = test::scratch_dir("safety-inputs-" + std::to_string(::getpid()));
        static const RemovedAtExit cleanup{i.dir};
        i.nifti = host::write_phantom_files(ds, i.dir);
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", ds.echo_time_diff_ms);
        i.echo_time_diff = text;
        std::snprintf(text, sizeof text, "%.9g", ds.bandwidth_pe_hz);
        i.bandwidth = text;
        i.grid = ds.grid;
        i.epi_volume.assign(ds.epi.begin(), ds.epi.begin() + static_cast<long>(ds.grid.voxels()));
        return i;
    }();
    return in;
}

std::vector<std::string> correct(const std::string& phase, const std::string& magnitude, const std::string& epi) {
    const Inputs& in = inputs();
    return {"correct",          "--phase",         phase,         "--magnitude", magnitude,  "--epi", epi,
            "--echo-time-diff", in.echo_time_diff, "--bandwidth", in.bandwidth,  "--pe-dir", "j"};
}

std::vector<std::string> correct_into(const std::string& out) {
    const Inputs& in = inputs();
    std::vector<std::string> a = correct(in.nifti.phase, in.nifti.magnitude, in.nifti.epi);
    a.push_back("--out");
    a.push_back(out);
    return a;
}

// A copy of the inputs in a folder of the test's own, for tests that change things around them.
std::string copy_inputs(const std::string& dir) {
    fs::create_directories(dir);
    for (const auto& e : fs::directory_iterator(inputs().dir))
        if (e.is_regular_file()) fs::copy_file(e.path(), fs::path(dir) / e.path().filename());
    return dir;
}

std::string in(const std::string& dir, const std::string& phantom_path) {
    return (fs::path(dir) / fs::path(phantom_path).filename()).string();
}

// A NIfTI-1 header (348 bytes and 4 of extension flag) for float voxels of the given dimensions.
std::string nifti_header(int nx, int ny, int nz, int nt, float vox_offset = 352.0f) {
    std::string h(352, '\0');
    const int32_t sizeof_hdr = 348;
    std::memcpy(&h[0], &sizeof_hdr, 4);
    const int16_t dim[8] = {static_cast<int16_t>(nt > 1 ? 4 : 3),
                            static_cast<int16_t>(nx),
                            static_cast<int16_t>(ny),
                            static_cast<int16_t>(nz),
                            static_cast<int16_t>(nt),
                            1,
                            1,
                            1};
    std::memcpy(&h[40], dim, sizeof dim);
    const int16_t datatype = 16, bitpix = 32;
    std::memcpy(&h[70], &datatype, 2);
    std::memcpy(&h[72], &bitpix, 2);
    const float pixdim[8] = {1, 2, 2, 2, 1, 1, 1, 1};
    std::memcpy(&h[76], pixdim, sizeof pixdim);
    std::memcpy(&h[108], &vox_offset, 4);
    const int16_t qform = 1;
    std::memcpy(&h[252], &qform, 2);
    std::memcpy(&h[344], "n+1\0", 4);
    return h;
}

// A .nii.gz of zeros declaring nx x ny x nz x nt floats: one gzip member for the
// header, then members of 1 MiB of zeros (about 1 kB each), so that gigabytes
// cost the test a few megabytes and milliseconds.
void write_zero_bomb(const std::string& path, int nx, int ny, int nz, int nt) {
    auto member = [](const std::string& bytes) {
        z_stream z{};
        EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
        std::string out(deflateBound(&z, bytes.size()), '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z.avail_in = static_cast<uInt>(bytes.size());
        z.next_out = reinterpret_cast<Bytef*>(&out[0]);
        z.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    };
    std::ofstream f(path, std::ios::binary);
    f << member(nifti_header(nx, ny, nz, nt));
    const std::string zeros = member(std::string(1 << 20, '\0'));
    const uint64_t total = static_cast<uint64_t>(nx) * ny * nz * nt * 4;
    for (uint64_t written = 0; written < total; written += 1 << 20) f << zeros;
}

// A sparse .nii that declares a grid and holds (on paper) all its zeros.
void write_sparse_nifti(const std::string& path, int nx, int ny, int nz, int nt) {
    test::write_file(path, nifti_header(nx, ny, nz, nt));
    const uint64_t size = 352 + static_cast<uint64_t>(nx) * ny * nz * nt * 4;
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << std::strerror(errno);
}

// --- 1. planted links --------------------------------------------------------

TEST(CommandSafety, links_planted_in_the_output_folder_never_lead_a_write_to_their_target) {
    const std::string scratch = test::scratch_dir("safety-links");
    const std::string src = copy_inputs(scratch + "/in");
    const std::string out = scratch + "/out";
    fs::create_directories(out);
    const auto before = checksums(src);
    // The name the old writability probe used, a result's name and a dangling link.
    fs::create_symlink(in(src, inputs().nifti.epi), out + "/.warpmender-write-test");
    const std::string victim = scratch + "/victim.txt";
    test::write_file(victim, "not a result");
    fs::create_symlink(victim, out + "/bold_corrected.nii.gz");
    fs::create_symlink(scratch + "/nowhere", out + "/bold_shiftmap.nii.gz");
    fs::create_symlink(victim, out + "/fieldmap_phasediff_quality_unwrapped.stc");
    std::vector<std::string> args =
        correct(in(src, inputs().nifti.phase), in(src, inputs().nifti.magnitude), in(src, inputs().nifti.epi));
    args.insert(args.end(), {"--out", out});
    const Result ok = run(args, scratch);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(checksums(src), before) << "an input changed";
    EXPECT_FALSE(fs::exists(scratch + "/nowhere")) << "a dangling link created its target";
    EXPECT_EQ(test::read_file(victim), "not a result");
    EXPECT_TRUE(fs::is_symlink(out + "/.warpmender-write-test"));  // never opened, never removed
    // The results replaced the links themselves.
    for (const char* result :
         {"bold_corrected.nii.gz", "bold_shiftmap.nii.gz", "fieldmap_phasediff_quality_unwrapped.stc"})
        EXPECT_FALSE(fs::is_symlink(out + "/" + result)) << result;
    EXPECT_EQ(fs::file_size(out + "/fieldmap_phasediff_quality_unwrapped.stc"), inputs().grid.voxels() * 4);
    host::Notes notes;
    EXPECT_EQ(host::read_nifti(out + "/bold_corrected.nii.gz", false, notes).float_volumes.size(), 2u);
    std::vector<std::string> left = leftovers(out);
    left.erase(std::remove(left.begin(), left.end(), ".warpmender-write-test"), left.end());
    EXPECT_TRUE(left.empty()) << left.front();

    // A link at the lock's name is refused before any work, and its target kept.
    const std::string out2 = scratch + "/out2";
    fs::create_directories(out2);
    fs::create_symlink(in(src, inputs().nifti.magnitude), out2 + "/.warpmender.lock");
    args.back() = out2;
    const Result locked = run(args, scratch);
    expect_refused(locked, {out2 + "/.warpmender.lock", "symbolic link"}, "link at the lock");
    EXPECT_EQ(checksums(src), before);
    EXPECT_EQ(names_in(out2), std::vector<std::string>{".warpmender.lock"});
}

// --- 2. results beside the inputs --------------------------------------------

TEST(CommandSafety, an_output_folder_that_is_an_inputs_folder_is_refused_however_it_is_spelled) {
    const std::string scratch = test::scratch_dir("safety-beside");
    const std::string src = copy_inputs(scratch + "/in");
    fs::create_directory_symlink(src, scratch + "/link-to-in");
    const auto before = checksums(src);
    const std::vector<std::string> names = names_in(src);
    const std::string phase = in(src, inputs().nifti.phase), magnitude = in(src, inputs().nifti.magnitude),
                      epi = in(src, inputs().nifti.epi);
    struct Case {
        const char* name;
        std::string out;  // "" = no --out
        std::string cwd;
    };
    const Case cases[] = {
        {"the folder itself", src, ""},
        {"spelled with ./ and a trailing slash", src + "/./", ""},
        {"through a link", scratch + "/link-to-in", ""},
        {"relative, from inside", ".", src},
        {"no --out, the current folder holding the inputs", "", src},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = correct(phase, magnitude, epi);
        if (!c.out.empty()) args.insert(args.end(), {"--out", c.out});
        const Result r = run(args, scratch, c.cwd);
        expect_refused(r, {"is the folder of the input", phase}, c.name);
        EXPECT_EQ(names_in(src), names) << c.name << ": something was written beside the inputs";
    }
    // A session's output_dir likewise.
    const std::string session = scratch + "/session.json";
    test::write_file(session, R"({"output_dir": "in", "documents": [{"path": "in/)" +
                                  fs::path(inputs().nifti.phase).filename().string() + R"("}], "calls": []})");
    expect_refused(run({"run", session}, scratch), {"is the folder of the input"}, "session output_dir");
    EXPECT_EQ(names_in(src), names);
    EXPECT_EQ(checksums(src), before);
}

// --- 3. decompression bombs and memory ---------------------------------------

TEST(CommandSafety, a_small_file_declaring_gigabytes_is_refused_from_its_header_before_any_voxel_is_read) {
    const std::string scratch = test::scratch_dir("safety-bomb");
    const std::string bomb = scratch + "/bomb.nii.gz";
    write_zero_bomb(bomb, 1000, 1000, 50, 30);  // 6 GB of floats in about 6 MB
    ASSERT_LT(fs::file_size(bomb), 10u << 20);
    const auto before = checksums(inputs().dir);
    const auto t0 = Clock::now();
    std::vector<std::string> args = correct(inputs().nifti.phase, bomb, inputs().nifti.epi);
    args.insert(args.end(), {"--out", scratch + "/out"});
    const Result grid = run(args, scratch);
    expect_refused(grid, {bomb, "1000 x 1000 x 50 grid", "before any voxel was read"}, "grid from the header");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 30.0);
    EXPECT_FALSE(fs::exists(scratch + "/out")) << "the output folder was made for a refused run";
    EXPECT_EQ(checksums(inputs().dir), before);
    fs::remove_all(scratch);
}

TEST(CommandSafety, a_run_that_would_not_fit_the_memory_available_is_refused_naming_the_file_and_sizes) {
    const std::string scratch = test::scratch_dir("safety-memory");
    const uint64_t available = host::available_memory_bytes();
    ASSERT_GT(available, 0u);
    // A series of 40% of the available memory as floats: each file alone would
    // fit, the run (with the plug-in's double copy) does not.
    const int nx = 256, ny = 256, nz = 32;
    const uint64_t volume = static_cast<uint64_t>(nx) * ny * nz * 4;
    const int nt = static_cast<int>(std::min<uint64_t>(32767, available * 4 / 10 / volume + 1));
    for (const char* name : {"phase", "magnitude"}) write_sparse_nifti(scratch + "/" + name + ".nii", nx, ny, nz, 1);
    write_sparse_nifti(scratch + "/epi.nii", nx, ny, nz, nt);
    std::vector<std::string> args = correct(scratch + "/phase.nii", scratch + "/magnitude.nii", scratch + "/epi.nii");
    args.insert(args.end(), {"--out", scratch + "/out"});
    const Result r = run(args, scratch, "", 60);
    expect_refused(r,
                   {"not enough memory", scratch + "/epi.nii", "256 x 256 x 32 x " + std::to_string(nt), "available"},
                   "memory");
    EXPECT_FALSE(fs::exists(scratch + "/out"));
    fs::remove_all(scratch);  // sparse, but tools that copy the build tree would not know
}

// --- 4. previews ---------------------------------------------------------------

TEST(CommandSafety, inputs_whose_previews_would_dwarf_them_are_refused_before_anything_is_written) {
    const std::string scratch = test::scratch_dir("safety-previews");
    // 1 x 1 x 32767: 131 kB of data, 2.2 GB for each AMR preview.
    for (const char* name : {"phase", "magnitude", "epi"})
        write_sparse_nifti(scratch + "/" + name + ".nii", 1, 1, 32767, 1);
    std::vector<std::string> args = correct(scratch + "/phase.nii", scratch + "/magnitude.nii", scratch + "/epi.nii");
    args.insert(args.end(), {"--out", scratch + "/out"});
    const Result r = run(args, scratch);
    expect_refused(r, {scratch + "/phase.nii", "32767 slices of 1 x 1 voxels", "AMR preview", "2.2 GB"}, "previews");
    EXPECT_FALSE(fs::exists(scratch + "/out"));
    fs::remove_all(scratch);
}

// --- 5. interruptions ----------------------------------------------------------

// An EPI long enough that writing its corrected series takes a while.
const std::string& long_epi() {
    static const std::string path = [] {
        const Inputs& i = inputs();
        const std::string dir = test::scratch_dir("safety-long-" + std::to_string(::getpid()));
        static const RemovedAtExit cleanup{dir};
        const int nt = 150;
        std::vector<float> values;
        values.reserve(i.epi_volume.size() * nt);
        for (int v = 0; v < nt; ++v) values.insert(values.end(), i.epi_volume.begin(), i.epi_volume.end());
        const host::Document d = host::phantom_document(i.grid, values, nt, "long_bold", false);
        const std::string p = dir + "/long_bold.nii";
        host::AtomicFile f(p, ".nii");
        host::write_nifti(d, f);
        f.commit();
        return p;
    }();
    return path;
}

std::vector<std::string> long_run_into(const std::string& out) {
    const Inputs& i = inputs();
    std::vector<std::string> a = correct(i.nifti.phase, i.nifti.magnitude, long_epi());
    a.insert(a.end(), {"--out", out, "--nifti"});
    return a;
}

// The first name in dir holding all the parts, "" when there is none.
std::string entry_with(const std::string& dir, const std::vector<std::string>& parts) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        bool all = true;
        for (const std::string& p : parts) all = all && n.find(p) != std::string::npos;
        if (all) return n;
    }
    return {};
}

// Starts a long run and, once a temporary file with the parts appears,
// stops the process, checks the file is still there and sends signo. Retries
// when the write was over before the stop landed.
Result interrupt_while_writing(const std::string& scratch, const std::string& out,
                               const std::vector<std::string>& parts, int signo, std::string* caught) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        fs::remove_all(out);
        const Child r = start(long_run_into(out), scratch);
        bool sent = false;
        int raw = 0;
        const auto until = Clock::now() + std::chrono::seconds(120);
        while (!sent && ::waitpid(r.pid, &raw, WNOHANG) == 0 && Clock::now() < until) {
            if (entry_with(out, parts).empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            ::kill(r.pid, SIGSTOP);
            *caught = entry_with(out, parts);
            if (!caught->empty()) {
                ::kill(r.pid, signo);
                sent = true;
            }
            ::kill(r.pid, SIGCONT);
        }
        const Result o = finish(r);
        if (sent) return o;
    }
    ADD_FAILURE() << "the run never showed a temporary file with " << parts.front();
    return {};
}

TEST(CommandSafety, an_interrupted_run_removes_what_it_was_writing_and_exits_with_128_plus_the_signal) {
    const std::string scratch = test::scratch_dir("safety-interrupt");
    const auto before = checksums(inputs().dir);
    struct Case {
        int signo;
        std::vector<std::string> parts;  // the temporary the signal lands on
    };
    const Case cases[] = {
        {SIGINT, {"long_bold_corrected.nii", ".tmp-"}},   // the series, written by the command
        {SIGTERM, {"long_bold_corrected.nii", ".tmp-"}},  // the same, another signal
        {SIGHUP, {".tmp-"}},                              // whatever comes first
    };
    for (const Case& c : cases) {
        const std::string out = scratch + "/out-" + std::to_string(c.signo);
        std::string caught;
        const Result r = interrupt_while_writing(scratch, out, c.parts, c.signo, &caught);
        EXPECT_EQ(r.signal, 0) << strsignal(c.signo) << r.err;
        EXPECT_EQ(r.status, 128 + c.signo) << strsignal(c.signo) << r.err;
        EXPECT_FALSE(fs::exists(out + "/" + caught)) << caught << " stayed after " << strsignal(c.signo);
        EXPECT_TRUE(leftovers(out).empty()) << leftovers(out).front();
        // Whatever is there is complete: every FMR has its STC of the full size (all maps of one volume).
        for (const std::string& n : names_in(out)) {
            if (fs::path(n).extension() != ".stc") continue;
            EXPECT_EQ(fs::file_size(out + "/" + n), inputs().grid.voxels() * 4) << n;
        }
    }
    EXPECT_EQ(checksums(inputs().dir), before);
    fs::remove_all(scratch);
}

TEST(CommandSafety, a_later_run_removes_temporaries_of_dead_runs_and_only_those) {
    const std::string scratch = test::scratch_dir("safety-stale");
    const std::string out = scratch + "/out";
    fs::create_directories(out);
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string stale = ".bold_undistort.stc.tmp-" + std::to_string(dead) + "-3";
    const std::string alive = ".bold_undistort.stc.tmp-" + std::to_string(::getpid()) + "-3";
    const std::string users[] = {"notes.tmp-" + std::to_string(dead) + "-1",
                                 ".x.tmp-" + std::to_string(dead) + "-1.txt"};
    for (const std::string& n : {stale, alive, users[0], users[1]}) test::write_file(out + "/" + n, "partial");
    const Result r = run(correct_into(out), scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(out + "/" + stale));
    EXPECT_NE(r.err.find("removed 1 temporary file(s)"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(out + "/" + alive)) << "a live process's temporary was removed";
    for (const std::string& n : users) EXPECT_TRUE(fs::exists(out + "/" + n)) << n << " is not ours";
}

// --- 6. report and log ----------------------------------------------------------

TEST(CommandSafety, a_report_or_log_never_replaces_a_result_and_never_writes_through_a_link) {
    const std::string scratch = test::scratch_dir("safety-report");
    const std::string out = scratch + "/out";
    const auto before = checksums(inputs().dir);
    for (const char* option : {"--report", "--log"})
        for (const char* name : {"bold_corrected.nii.gz", "bold_shiftmap.nii.gz", "fieldmapparams.txt"}) {
            std::vector<std::string> args = correct_into(out);
            args.insert(args.end(), {option, out + "/" + name});
            expect_refused(run(args, scratch), {option, out + "/" + name}, std::string(option) + " " + name);
            EXPECT_TRUE(names_in(out).empty()) << option << " " << name;
        }
    std::vector<std::string> same = correct_into(out);
    same.insert(same.end(), {"--report", scratch + "/r.json", "--log", scratch + "/r.json"});
    expect_refused(run(same, scratch), {"--report and --log name the same file"}, "same file");

    // A planted link at the log's name: replaced by the log, its target untouched.
    fs::create_directories(out);
    const std::string victim = scratch + "/victim.txt";
    test::write_file(victim, "not a log");
    fs::create_symlink(victim, out + "/run.log");
    std::vector<std::string> args = correct_into(out);
    args.insert(args.end(), {"--log", out + "/run.log", "--report", out + "/report.json"});
    const Result r = run(args, scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(out + "/run.log"));
    EXPECT_NE(test::read_file(out + "/run.log").find("Compute pixel shift map"), std::string::npos);
    EXPECT_NE(test::read_file(out + "/report.json").find("\"calls\""), std::string::npos);
    EXPECT_EQ(test::read_file(victim), "not a log");
    EXPECT_TRUE(leftovers(out).empty()) << leftovers(out).front();
    EXPECT_EQ(checksums(inputs().dir), before);
}

// --- 7. sidecars ------------------------------------------------------------------

TEST(CommandSafety, sidecars_that_are_no_files_or_too_large_or_ambiguous_are_refused_naming_them) {
    const std::string scratch = test::scratch_dir("safety-sidecars");
    struct Case {
        const char* name;
        std::function<void(const std::string& json)> plant;
        std::vector<std::string> message;
    };
    const Case cases[] = {
        {"fifo", [](const std::string& j) { ASSERT_EQ(::mkfifo(j.c_str(), 0644), 0); }, {"is a FIFO"}},
        {"link to /dev/zero",
         [](const std::string& j) { fs::create_symlink("/dev/zero", j); },
         {"is a character device"}},
        {"folder", [](const std::string& j) { fs::create_directory(j); }, {"is a folder"}},
        {"17 MB",
         [](const std::string& j) {
             test::write_file(j, "{}");
             ASSERT_EQ(::truncate(j.c_str(), 17 << 20), 0);
         },
         {"more than 16777216 bytes"}},
        {"duplicate key",
         [](const std::string& j) {
             test::write_file(j, R"({"PhaseEncodingDirection": "j", "EffectiveEchoSpacing": 0.0005,
                                    "PhaseEncodingDirection": "j-"})");
         },
         {"\"PhaseEncodingDirection\" is given more than once"}},
        {"echo spacing of 1e-40 s",
         [](const std::string& j) {
             test::write_file(j, R"({"PhaseEncodingDirection": "j", "EffectiveEchoSpacing": 1e-40})");
         },
         {"effective echo spacing", "outside 1e-05 .. 0.01 s", "parallel-imaging"}},
    };
    for (const Case& c : cases) {
        const std::string dir = copy_inputs(scratch + "/" + std::to_string(&c - cases));
        const std::string json = dir + "/bold.json";
        fs::remove(json);
        c.plant(json);
        const auto before = checksums(dir);
        const Result r =
            run({"correct", "--phase", in(dir, inputs().nifti.phase), "--magnitude", in(dir, inputs().nifti.magnitude),
                 "--epi", in(dir, inputs().nifti.epi), "--out", scratch + "/out"},
                scratch, "", 30);
        std::vector<std::string> parts = c.message;
        parts.push_back(json);
        expect_refused(r, parts, c.name);
        EXPECT_EQ(checksums(dir), before) << c.name;
        EXPECT_FALSE(fs::exists(scratch + "/out")) << c.name;
    }
}

TEST(CommandSafety, inputs_and_sessions_that_are_fifos_are_refused_without_blocking) {
    const std::string scratch = test::scratch_dir("safety-fifos");
    const std::string fifo_nii = scratch + "/magnitude.nii", fifo_fmr = scratch + "/magnitude.fmr",
                      session = scratch + "/session.json";
    for (const std::string& f : {fifo_nii, fifo_fmr, session}) ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0);
    for (const std::string& magnitude : {fifo_nii, fifo_fmr}) {
        std::vector<std::string> args = correct(inputs().nifti.phase, magnitude, inputs().nifti.epi);
        args.insert(args.end(), {"--out", scratch + "/out"});
        expect_refused(run(args, scratch, "", 30), {magnitude, "not a regular file"}, magnitude);
    }
    expect_refused(run({"run", session}, scratch, "", 30), {session, "is a FIFO"}, "session");
    EXPECT_FALSE(fs::exists(scratch + "/out"));
}

// --- 8. two runs at once -------------------------------------------------------------

TEST(CommandSafety, a_second_run_into_a_folder_in_use_refuses_and_says_so) {
    const std::string scratch = test::scratch_dir("safety-lock");
    const std::string out = scratch + "/out";
    const Child first = start(long_run_into(out), scratch);
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (!fs::exists(out + "/.warpmender.lock") && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Result second = run(correct_into(out), scratch);
    const Result done = finish(first);
    expect_refused(second, {out, "is in use by another warpmender run", ".warpmender.lock", "refuses"}, "second run");
    EXPECT_EQ(done.status, 0) << done.err;
    // Only the first run's results, complete, and no lock left.
    EXPECT_TRUE(leftovers(out).empty()) << leftovers(out).front();
    EXPECT_NE(entry_with(out, {"long_bold_corrected.nii"}), "");
    EXPECT_EQ(entry_with(out, {"bold_corrected"}).rfind("long_", 0), 0u);
    fs::remove_all(scratch);
}

// --- lesser faults -----------------------------------------------------------------------

TEST(CommandSafety, implausible_values_and_unbounded_sessions_are_refused_with_the_reason) {
    const std::string scratch = test::scratch_dir("safety-values");
    const std::string out = scratch + "/out";
    const Inputs& i = inputs();
    auto with = [&](const std::string& option, const std::string& value) {
        std::vector<std::string> a = correct_into(out);
        const auto at = std::find(a.begin(), a.end(), option);
        *(at + 1) = value;
        return a;
    };
    expect_refused(run(with("--echo-time-diff", "1e-12"), scratch),
                   {"echo-time difference (--echo-time-diff)", "outside 0.1 .. 100 ms"}, "echo");
    expect_refused(run(with("--bandwidth", "1e-3"), scratch),
                   {"bandwidth per voxel (--bandwidth)", "outside 1 .. 100000 Hz"}, "bandwidth");

    const std::string phase = fs::path(i.nifti.phase).filename().string();
    const std::string session = scratch + "/session.json";
    fs::copy_file(i.nifti.phase, scratch + "/" + phase);
    for (const auto& [parameter, value] : std::vector<std::pair<std::string, std::string>>{
             {"NrOfVCycles", "2147483647"}, {"NrOfIterations", "1001"}, {"NrOfIterationsRelax", "-1"}}) {
        test::write_file(session, R"({"output_dir": "out", "documents": [{"path": ")" + phase +
                                      R"("}], "calls": [{"parameters": {")" + parameter + "\": " + value + "}}]}");
        expect_refused(run({"run", session}, scratch), {session, parameter, "must be a whole number from 0 to"},
                       parameter);
    }
    std::string many = R"({"output_dir": "out", "documents": [)";
    for (int k = 0; k < 20000; ++k) many += std::string(k ? "," : "") + R"({"path": ")" + phase + "\"}";
    test::write_file(session, many + "]}");
    expect_refused(run({"run", session}, scratch), {session, "20000 documents; a session opens at most 100"},
                   "documents");
    EXPECT_FALSE(fs::exists(out));
}

TEST(CommandSafety, nifti_files_with_unusable_scaling_or_offset_are_refused_naming_the_field) {
    const std::string scratch = test::scratch_dir("safety-fields");
    const Inputs& i = inputs();
    std::string good = nifti_header(i.grid.nx, i.grid.ny, i.grid.nz, 1);
    good.resize(352 + i.grid.voxels() * 4, '\0');
    struct Case {
        const char* name;
        std::function<void(std::string&)> spoil;
        std::vector<std::string> message;
    };
    const Case cases[] = {
        {"NaN scl_inter",
         [](std::string& b) {
             const float slope = 2.0f, inter = NAN;
             std::memcpy(&b[112], &slope, 4);
             std::memcpy(&b[116], &inter, 4);
         },
         {"scl_slope 2", "scl_inter nan"}},
        {"vox_offset 0",
         [](std::string& b) {
             const float offset = 0.0f;
             std::memcpy(&b[108], &offset, 4);
         },
         {"vox_offset 0", "at least 352"}},
    };
    for (const Case& c : cases) {
        std::string bytes = good;
        c.spoil(bytes);
        const std::string magnitude = scratch + "/magnitude.nii";
        test::write_file(magnitude, bytes);
        std::vector<std::string> args = correct(i.nifti.phase, magnitude, i.nifti.epi);
        args.insert(args.end(), {"--out", scratch + "/out"});
        std::vector<std::string> parts = c.message;
        parts.push_back(magnitude);
        expect_refused(run(args, scratch), parts, c.name);
        EXPECT_FALSE(fs::exists(scratch + "/out")) << c.name;
        fs::remove_all(scratch + "/out");
    }
}

TEST(CommandSafety, an_output_path_too_long_for_the_results_is_refused_before_the_first_write) {
    const std::string scratch = test::scratch_dir("safety-long-path");
    std::string out = scratch + "/";
    while (out.size() < 262) out += "o";
    const Result r = run(correct_into(out), scratch);
    expect_refused(
        r, {"fieldmap_phasediff_unwrapped3vcyc5its_smoothed_pixshift.fmr", "at most 303", "nothing was written"},
        "long --out");
    EXPECT_FALSE(fs::exists(out));
}

TEST(CommandSafety, a_plugin_failure_names_the_step_and_the_file_it_was_working_on) {
    const std::string scratch = test::scratch_dir("safety-failure");
    const Inputs& i = inputs();
    const std::string session = scratch + "/session.json";
    test::write_file(session, R"({"output_dir": "out", "documents": [{"path": ")" + i.nifti.phase +
                                  R"("}, {"path": ")" + i.nifti.magnitude + R"("}, {"path": ")" + i.nifti.epi +
                                  R"("}], "calls": [{"parameters": {"Command": "Start", "Procedure": "Unwrap",
                                  "PerformAllSteps": 1, "EchoTimeDiff": 0.0, "BandWidthPE": 29.0,
                                  "PhaseEncodingDir": 3}, "answers": [0, 1, 2]}]})");
    const Result r = run({"run", session}, scratch);
    EXPECT_EQ(r.status, 1) << r.err;
    const size_t failed = r.err.find("failed: ");
    ASSERT_NE(failed, std::string::npos) << r.err;
    const std::string line = r.err.substr(failed, r.err.find('\n', failed) - failed);
    EXPECT_NE(line.find("in step \""), std::string::npos) << line;
    EXPECT_NE(line.find("working on the document \"" + scratch + "/out/fieldmap_phasediff"), std::string::npos) << line;
    EXPECT_TRUE(leftovers(scratch + "/out").empty());
}

// --- 9. an EPI placed elsewhere in the scanner ---------------------------------------

// The phantom's EPI with its sform turned by `degrees` about the scanner's x
// axis (through the world origin) and moved by shift_mm along y: the same
// matrix and voxels, another position and orientation.
std::string moved_epi(const std::string& path, double degrees, double shift_mm) {
    host::Notes notes;
    host::Document d = host::read_nifti(inputs().nifti.epi, false, notes);
    const std::array<std::array<double, 4>, 4> a = *host::read_input_grid(inputs().nifti.epi, false).world_mm;
    const double radians = degrees * 3.14159265358979323846 / 180.0;
    const double c = std::cos(radians), s = std::sin(radians);
    const double r[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
    const double t[3] = {0, shift_mm, 0};
    host::NiftiGeometry& g = *d.nifti_geometry;
    EXPECT_EQ(g.xyz_units, NIFTI_UNITS_MM);  // the sform written below is in millimetres
    g.sform_code = NIFTI_XFORM_SCANNER_ANAT;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            g.sto_xyz[row][col] = static_cast<float>(r[row][0] * a[0][col] + r[row][1] * a[1][col] +
                                                     r[row][2] * a[2][col] + (col == 3 ? t[row] : 0.0));
    for (int col = 0; col < 4; ++col) g.sto_xyz[3][col] = col == 3 ? 1.0f : 0.0f;
    host::AtomicFile f(path, ".nii");
    host::write_nifti(d, f);
    f.commit();
    return path;
}

std::vector<double> map_values(const std::string& path) {
    host::Notes notes;
    const host::Document d = host::read_nifti(path, false, notes);
    return std::vector<double>(d.float_volumes.at(0).begin(), d.float_volumes.at(0).end());
}

TEST(CommandSafety, an_epi_placed_elsewhere_gets_the_field_map_carried_through_the_scanner_frame) {
    const std::string scratch = test::scratch_dir("safety-placement");
    const Inputs& i = inputs();
    const std::string epi = moved_epi(scratch + "/bold_moved.nii", 10.0, 14.0);

    // The file the test made is what it means to be: same matrix, not the same grid.
    const host::InputGrid field_header = host::read_input_grid(i.nifti.phase, false);
    const host::InputGrid epi_header = host::read_input_grid(epi, false);
    ASSERT_TRUE(field_header.world_mm && epi_header.world_mm);
    EXPECT_EQ(epi_header.describe().substr(0, field_header.describe().size()), field_header.describe());
    correction::WorldGrid field, target;
    field.nx = target.nx = field_header.nx;
    field.ny = target.ny = field_header.ny;
    field.nz = target.nz = field_header.nz;
    field.affine = *field_header.world_mm;
    target.affine = *epi_header.world_mm;
    EXPECT_GT(correction::corner_mismatch_voxels(field, target), 5.0);

    const auto inputs_before = checksums(i.dir);
    const uint64_t epi_before = test::checksum(epi);
    const std::string same_out = scratch + "/same";
    const Result same = run(correct_into(same_out), scratch);
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("alignment: the field map and the EPI share one grid"), std::string::npos) << same.out;

    const std::string out = scratch + "/out";
    std::vector<std::string> args = correct(i.nifti.phase, i.nifti.magnitude, epi);
    args.insert(args.end(), {"--out", out});
    const Result r = run(args, scratch);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("carried onto the EPI's grid"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("corrected EPI: " + out + "/bold_moved_corrected.nii"), std::string::npos) << r.out;
    EXPECT_EQ(checksums(i.dir), inputs_before);
    EXPECT_EQ(test::checksum(epi), epi_before);

    // The shift map applied lies on the EPI's grid, with its affine, and is
    // the map of the unmoved run carried through the scanner frame (the
    // steps from the field on are linear; smoothing came before carrying).
    const std::string applied = out + "/bold_moved_shiftmap.nii";
    const host::InputGrid applied_header = host::read_input_grid(applied, false);
    ASSERT_TRUE(applied_header.world_mm);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            EXPECT_NEAR((*applied_header.world_mm)[row][col], (*epi_header.world_mm)[row][col], 1e-4);
    const std::vector<double> unmoved = map_values(same_out + "/bold_shiftmap.nii.gz");
    std::vector<double> expected(target.voxels());
    correction::resample_to_grid(field, unmoved.data(), target, expected.data());
    const std::vector<double> got = map_values(applied);
    ASSERT_EQ(got.size(), expected.size());
    double worst = 0.0, largest = 0.0;
    for (size_t v = 0; v < got.size(); ++v) {
        worst = std::max(worst, std::fabs(got[v] - expected[v]));
        largest = std::max(largest, std::fabs(expected[v]));
    }
    EXPECT_GT(largest, 1.0);  // a field that moves the head
    EXPECT_LT(worst, 1e-3);
}

TEST(CommandSafety, an_epi_mostly_outside_the_field_map_is_refused_saying_by_how_much) {
    const std::string scratch = test::scratch_dir("safety-outside");
    const Inputs& i = inputs();
    // Moved by most of the field of view along y.
    const std::string epi = moved_epi(scratch + "/bold_far.nii", 0.0, 0.8 * inputs().grid.ny * inputs().grid.dy);
    const std::string out = scratch + "/out";
    std::vector<std::string> args = correct(i.nifti.phase, i.nifti.magnitude, epi);
    args.insert(args.end(), {"--out", out});
    const Result r = run(args, scratch);
    expect_refused(r, {"\"" + epi + "\"", "\"" + i.nifti.phase + "\"", "% inside the field of view", "at least 50%"},
                   "far EPI");
    EXPECT_TRUE(names_in(out).empty()) << "a refused run wrote into its output folder";
}

}  // namespace
}  // namespace warpmender
