// The command run as a process on malformed inputs and through faults (full disk, vanished folder): exit status,
// message, no partial output, inputs unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/phantom_files.h"
#include "core/atomic_file.h"
#include "formats/fmr_file.h"
#include "formats/nifti_document.h"
#include "host/document_files.h"
#include "sim/dataset.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// --- the command as a child process ------------------------------------------

struct Outcome {
    int status = -1;  // exit status; -1 when it ended by a signal
    int signal = 0;
    std::string out, err;
};

// Text to wait for on standard error, something to do then, and the line to answer with.
struct Step {
    std::string wait_for;
    std::function<void()> then;
    std::string answer;
};

struct Launch {
    std::vector<std::string> args;
    long long file_size_limit = -1;      // RLIMIT_FSIZE in bytes, SIGXFSZ ignored: writes fail with EFBIG
    long long address_space_limit = -1;  // RLIMIT_AS in bytes (not with sanitizers, whose shadow needs more)
    std::vector<Step> steps;             // without steps standard input is closed at once
};

bool built_with_sanitizers() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// Pipes, not files, for the child's output: a file-size limit would cut those too.
Outcome launch(const Launch& l) {
    std::signal(SIGPIPE, SIG_IGN);  // the child may end before it has read its answers
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::vector<std::string> args = l.args;
    args.insert(args.begin(), WARPMENDER_COMMAND_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (l.file_size_limit >= 0) {
            const rlimit r{static_cast<rlim_t>(l.file_size_limit), static_cast<rlim_t>(l.file_size_limit)};
            ::setrlimit(RLIMIT_FSIZE, &r);
        }
        if (l.address_space_limit >= 0) {
            const rlimit r{static_cast<rlim_t>(l.address_space_limit), static_cast<rlim_t>(l.address_space_limit)};
            ::setrlimit(RLIMIT_AS, &r);
        }
        ::signal(SIGXFSZ, SIG_IGN);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    int stdin_fd = in[1];
    size_t step = 0, searched = 0;
    if (l.steps.empty()) {
        ::close(stdin_fd);
        stdin_fd = -1;
    }
    Outcome o;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    // Not a timing test: a guard so that a hung child fails the test instead of blocking the suite.
    int idle_seconds = 0;
    while (open_fds > 0 && idle_seconds < 600) {
        const int ready = ::poll(fds, 2, 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            ++idle_seconds;
            continue;
        }
        idle_seconds = 0;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[65536];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
                continue;
            }
            (i == 0 ? o.out : o.err).append(buf, static_cast<size_t>(n));
        }
        while (stdin_fd >= 0 && step < l.steps.size()) {
            const size_t at = o.err.find(l.steps[step].wait_for, searched);
            if (at == std::string::npos) break;
            searched = at + l.steps[step].wait_for.size();
            if (l.steps[step].then) l.steps[step].then();
            const std::string& a = l.steps[step].answer;
            if (::write(stdin_fd, a.data(), a.size()) < 0) break;
            if (++step == l.steps.size()) {
                ::close(stdin_fd);
                stdin_fd = -1;
            }
        }
    }
    if (open_fds > 0) {
        ::kill(pid, SIGKILL);
        o.err += "\n[the test killed the command: no output for 600 s]";
        for (pollfd& p : fds)
            if (p.fd >= 0) ::close(p.fd);
    }
    if (stdin_fd >= 0) ::close(stdin_fd);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    if (WIFEXITED(raw)) o.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) o.signal = WTERMSIG(raw);
    return o;
}

Outcome launch(std::vector<std::string> args) { return launch(Launch{std::move(args), -1, -1, {}}); }

// Every failing run: a status of 1 or 2 that the command chose, no sanitizer report.
void expect_clean_failure(const Outcome& r, int status, const std::string& what) {
    EXPECT_EQ(r.signal, 0) << what << ": ended by signal " << r.signal << "\n" << r.err;
    EXPECT_EQ(r.status, status) << what << "\n" << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << what << "\n" << r.err;
}

// --- inputs ------------------------------------------------------------------

std::map<std::string, uint64_t> checksums(const std::string& dir) {
    std::map<std::string, uint64_t> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[e.path().string()] = test::checksum(e.path().string());
    return out;
}

// Temporary files of either writer: ".name.tmp-..." (host) and "name.part-..." (plug-in).
std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n[0] == '.' || n.find(".part") != std::string::npos || n.find(".tmp") != std::string::npos)
            out.push_back(n);
    }
    return out;
}

void save_fmr(const host::Document& d, const std::string& fmr) {
    const host::Host h;
    const std::string why = host::save_document_files(h, d, fmr, host::stc_path_of(fmr, ""));
    if (!why.empty()) throw std::runtime_error("cannot write test input " + fmr + ": " + why);
}

// The phantom as NIfTI with sidecars and as FMR/STC projects, made once per process.
struct Inputs {
    std::string dir;
    host::PhantomFiles nifti;
    std::string phase_fmr, magnitude_fmr, epi_fmr;
    std::string echo_time_diff, bandwidth;
    size_t field_stc_bytes = 0, epi_stc_bytes = 0;
    size_t amr_bytes = 0;  // a preview: 2 bytes, then 66614 per slice
};

const Inputs& inputs() {
    static const Inputs in = [] {
        Inputs i;
        sim::DatasetParams p;
        p.phantom.grid = sim::small_grid();
        p.epi.nt = 3;
        const sim::Dataset ds = sim::make_dataset(p);
        i.dir = test::scratch_dir("faults-inputs-" + std::to_string(::getpid()));
        i.nifti = host::write_phantom_files(ds, i.dir);
        host::Host& h = test::fresh_host();
        h.output_dir = i.dir;
        const std::pair<std::string, std::string*> fmr[] = {
            {i.nifti.phase, &i.phase_fmr}, {i.nifti.magnitude, &i.magnitude_fmr}, {i.nifti.epi, &i.epi_fmr}};
        for (const auto& [nii, target] : fmr) {
            const host::Document d = host::open_document(h, nii, false);
            *target = i.dir + "/" + fs::path(nii).stem().stem().string() + "_fmr.fmr";
            save_fmr(d, *target);
        }
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", ds.echo_time_diff_ms);
        i.echo_time_diff = text;
        std::snprintf(text, sizeof text, "%.9g", ds.bandwidth_pe_hz);
        i.bandwidth = text;
        i.field_stc_bytes = ds.grid.voxels() * sizeof(float);
        i.epi_stc_bytes = i.field_stc_bytes * static_cast<size_t>(ds.nt);
        i.amr_bytes = 2 + 66614 * static_cast<size_t>(ds.grid.nz);
        return i;
    }();
    return in;
}

std::vector<std::string> correct_args(const std::string& phase, const std::string& magnitude, const std::string& epi,
                                      const std::string& out) {
    const Inputs& in = inputs();
    return {"correct",          "--phase",         phase,         "--magnitude", magnitude,  "--epi", epi, "--out", out,
            "--echo-time-diff", in.echo_time_diff, "--bandwidth", in.bandwidth,  "--pe-dir", "j"};
}

// The plug-in's own unwrapping: the faults below happen between its saves, in their order.
std::vector<std::string> correct_nifti(const std::string& out) {
    const Inputs& in = inputs();
    std::vector<std::string> args = correct_args(in.nifti.phase, in.nifti.magnitude, in.nifti.epi, out);
    args.insert(args.end(), {"--method", "multigrid"});
    return args;
}

// A small float project whose voxels hold their index: 5 x 4 x 3 x 2, 480 STC bytes.
host::Document tiny_document() {
    host::Document d = host::make_fmr_document("tiny.fmr", 5, 4, 3, 2, 2, 2.0f);
    size_t k = 0;
    for (auto& v : d.float_volumes)
        for (float& x : v) x = static_cast<float>(k++);
    d.refresh_pointers();
    return d;
}

std::string tiny_fmr_text() { return host::fmr_text(tiny_document(), "tiny.fmr"); }

// The key line of an FMR text replaced ("" removes it).
std::string with_line(std::string text, const std::string& key, const std::string& line) {
    const size_t at = text.find("\n" + key + ":");
    if (at == std::string::npos) throw std::runtime_error("no key " + key);
    const size_t end = text.find('\n', at + 1);
    return text.replace(at + 1, end - at, line.empty() ? "" : line + "\n");
}

std::string tiny_nifti_bytes(const std::string& scratch) {
    const std::string path = scratch + "/tiny-source.nii";
    {
        host::AtomicFile f(path, ".nii");
        host::write_nifti(tiny_document(), f);
        f.commit();
    }
    std::string bytes = test::read_file(path);
    fs::remove(path);
    return bytes;
}

void put16(std::string& b, size_t at, int16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::string& b, size_t at, int32_t v) { std::memcpy(&b[at], &v, 4); }

void write_gz(const std::string& path, const std::string& bytes) {
    gzFile g = gzopen(path.c_str(), "wb6");
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(gzwrite(g, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    ASSERT_EQ(gzclose(g), Z_OK);
}

// --- malformed inputs ----------------------------------------------------------

struct Malformed {
    const char* name;
    // Writes the bad input into dir and returns the command's arguments (out: the output folder).
    std::function<std::vector<std::string>(const std::string& dir, const std::string& out)> make;
    std::vector<std::string> message;  // parts of standard error ("{dir}" is the case's folder)
    long long address_space_limit = -1;
};

std::string in_dir(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
    return text;
}

// Opens a good project and the bad file together: the bad one must stop the run before any call.
std::vector<std::string> diff_with(const std::string& dir, const std::string& bad, const std::string& out) {
    save_fmr(tiny_document(), dir + "/good.fmr");
    return {"diff", dir + "/good.fmr", bad, "--out", out};
}

std::vector<std::string> with_sidecar(const std::string& dir, const std::string& out, const std::string& which,
                                      const std::string& sidecar) {
    const Inputs& in = inputs();
    const std::string phase = dir + "/phase.nii.gz", epi = dir + "/bold.nii.gz";
    fs::copy_file(in.nifti.phase, phase);
    fs::copy_file(in.nifti.epi, epi);
    std::ofstream(dir + (which == "phase" ? "/phase.json" : "/bold.json")) << sidecar;
    std::vector<std::string> args = {"correct", "--phase", phase, "--magnitude", in.nifti.magnitude, "--epi",
                                     epi,       "--out",   out};
    if (which == "phase") args.insert(args.end(), {"--bandwidth", in.bandwidth, "--pe-dir", "j"});
    if (which == "epi") args.insert(args.end(), {"--echo-time-diff", in.echo_time_diff, "--bandwidth", in.bandwidth});
    return args;
}

std::vector<Malformed> malformed_cases() {
    const long long one_gib = 1LL << 30;
    return {
        {"fmr_without_a_required_key",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.fmr", with_line(tiny_fmr_text(), "NrOfSlices", ""));
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"cannot open \"{dir}/bad.fmr\": the key \"NrOfSlices\" is missing"}},
        {"stc_one_byte_short",
         [](const std::string& d, const std::string& o) {
             save_fmr(tiny_document(), d + "/bad.fmr");
             fs::resize_file(d + "/bad.stc", 479);
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"cannot open \"{dir}/bad.stc\": the STC file has 479 bytes, expected 480 (5 x 4 x 3 x 2 floats)"}},
        {"fmr_sizes_whose_product_overflows",
         [](const std::string& d, const std::string& o) {
             std::string t = tiny_fmr_text();
             for (const char* k : {"ResolutionX", "ResolutionY", "NrOfSlices"})
                 t = with_line(t, k, std::string(k) + ": 2000000000");
             test::write_file(d + "/bad.fmr", t);
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"\"{dir}/bad.fmr\"", "2000000000 x 2000000000 x 2000000000 x 2 voxels of 4 bytes",
          "more than can be addressed"}},
        // 4 GiB of floats that the 480-byte STC does not hold: refused before a byte is allocated,
        // which the 1 GiB address-space limit proves.
        {"fmr_sizes_within_memory_without_their_data",
         [](const std::string& d, const std::string& o) {
             std::string t = tiny_fmr_text();
             t = with_line(t, "ResolutionX", "ResolutionX: 2048");
             t = with_line(t, "ResolutionY", "ResolutionY: 2048");
             t = with_line(t, "NrOfSlices", "NrOfSlices: 64");
             t = with_line(t, "NrOfVolumes", "NrOfVolumes: 4");
             save_fmr(tiny_document(), d + "/bad.fmr");
             test::write_file(d + "/bad.fmr", t);
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"\"{dir}/bad.", "2048 x 2048 x 64 x 4"},
         one_gib},
        {"fmr_of_binary_data",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.fmr", std::string("NrOfVolumes: 1\n\0\x01\x02\xff", 19));
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"cannot open \"{dir}/bad.fmr\": this is not an FMR text header (it holds binary data)"}},
        {"fmr_prefix_leading_out_of_its_folder",
         [](const std::string& d, const std::string& o) {
             std::string t = tiny_fmr_text();
             t = with_line(t, "Prefix", "Prefix: \"../secret\"");
             test::write_file(d + "/bad.fmr", t);
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"cannot open \"{dir}/bad.fmr\": the Prefix \"../secret\" is not a file name"}},
        // Terminal control characters of a value are not echoed to the terminal.
        {"fmr_value_with_control_characters",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.fmr", with_line(tiny_fmr_text(), "ResolutionX", "ResolutionX: 12\x1b[2J"));
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"the value \"12?[2J\" of \"ResolutionX\" is not a whole number"}},
        // Each size finite, their sum not: no position may hold an infinite extent.
        {"fmr_voxel_sizes_whose_extent_is_infinite",
         [](const std::string& d, const std::string& o) {
             std::string t = tiny_fmr_text();
             t = with_line(t, "SliceThickness", "SliceThickness: 3e38");
             t = with_line(t, "SliceGap", "SliceGap: 3e38");
             save_fmr(tiny_document(), d + "/bad.fmr");
             test::write_file(d + "/bad.fmr", t);
             return diff_with(d, d + "/bad.fmr", o);
         },
         {"cannot open \"{dir}/bad.fmr\": its voxel sizes (2 x 2 x 3e+38 mm, gap 3e+38) give the volume an extent "
          "that is not a finite number"}},
        {"vmr_shorter_than_its_sizes",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.vmr", std::string("\x0a\x00\x0a\x00\x0a\x00", 6) + std::string(500, '\x07'));
             return diff_with(d, d + "/bad.vmr", o);
         },
         {"cannot open \"{dir}/bad.vmr\": the file has 506 bytes, expected 1006 for a version-1 VMR of 10 x 10 x 10"}},
        {"vmr_sizes_beyond_memory",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.vmr", std::string("\xff\xff\xff\xff\xff\xff", 6));
             return diff_with(d, d + "/bad.vmr", o);
         },
         {"cannot open \"{dir}/bad.vmr\": 65535 x 65535 x 65535 x 1 voxels of 1 bytes need 281462092005375 bytes"}},
        {"nii_cut_short",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/bad.nii", tiny_nifti_bytes(d).substr(0, 600));
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": the file has 600 bytes, expected at least 832"}},
        // A few hundred compressed bytes cannot hold 400 MB: refused before a volume is allocated.
        {"nii_gz_claiming_far_more_than_it_can_hold",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             put16(b, 42, 1000);
             put16(b, 44, 1000);
             put16(b, 46, 100);
             put16(b, 48, 1);
             write_gz(d + "/bad.nii.gz", b);
             return diff_with(d, d + "/bad.nii.gz", o);
         },
         {"cannot open \"{dir}/bad.nii.gz\": the compressed file has ", "which cannot hold the 400000352 bytes"},
         one_gib},
        {"nii_gz_stream_cut_in_the_data",
         [](const std::string& d, const std::string& o) {
             write_gz(d + "/bad.nii.gz", tiny_nifti_bytes(d));
             const std::string b = test::read_file(d + "/bad.nii.gz");
             test::write_file(d + "/bad.nii.gz", b.substr(0, b.size() - 30));
             return diff_with(d, d + "/bad.nii.gz", o);
         },
         {"cannot open \"{dir}/bad.nii.gz\""}},
        // Deflate data that zlib rejects inside the header: gzread fails rather than reading short.
        {"nii_gz_damaged_in_the_header",
         [](const std::string& d, const std::string& o) {
             std::string b = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + std::string(64, '\xff');
             test::write_file(d + "/bad.nii.gz", b);
             return diff_with(d, d + "/bad.nii.gz", o);
         },
         {"cannot open \"{dir}/bad.nii.gz\": its compressed data are damaged"}},
        {"nii_sform_holding_nan",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             const float nan = std::numeric_limits<float>::quiet_NaN();
             std::memcpy(&b[292], &nan, 4);  // srow_x[3], the x offset
             test::write_file(d + "/bad.nii", b);
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": its sform affine holds a value that is not a finite number (row 0, column 3)"}},
        // Metres: an offset that is a float becomes, in millimetres, more than a float holds.
        {"nii_in_metres_beyond_float_in_millimetres",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             const float far = 3e38f;
             std::memcpy(&b[292], &far, 4);                  // srow_x[3]
             b[123] = static_cast<char>((b[123] & ~7) | 1);  // xyzt_units: metres
             test::write_file(d + "/bad.nii", b);
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": its sform affine holds a value that is not a finite number (row 0, column 3)"}},
        {"nifti2_image",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             put32(b, 0, 540);
             test::write_file(d + "/bad.nii", b);
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": this is a NIfTI-2 image; only NIfTI-1 is read"}},
        {"nii_of_complex_values",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             put16(b, 70, 32);  // COMPLEX64
             put16(b, 72, 64);
             test::write_file(d + "/bad.nii", b + std::string(480, '\0'));
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": complex data (NIFTI_TYPE_COMPLEX64) are not supported"}},
        {"nii_of_five_dimensions",
         [](const std::string& d, const std::string& o) {
             std::string b = tiny_nifti_bytes(d);
             put16(b, 40, 5);
             put16(b, 50, 2);
             test::write_file(d + "/bad.nii", b + std::string(480, '\0'));
             return diff_with(d, d + "/bad.nii", o);
         },
         {"cannot open \"{dir}/bad.nii\": the image has 5 dimensions; only 3D and 4D images are read"}},
        {"anatomy_nii_cut_short",
         [](const std::string& d, const std::string& o) {
             test::write_file(d + "/t1.nii", tiny_nifti_bytes(d).substr(0, 700));
             std::vector<std::string> a = correct_nifti(o);
             a.insert(a.end(), {"--anatomy", d + "/t1.nii"});
             return a;
         },
         {"cannot open \"{dir}/t1.nii\": the file has 700 bytes"}},
        // Read as long long, 2^64 - 1 would pass as the answer -1.
        {"session_answer_beyond_64_bits",
         [](const std::string& d, const std::string&) {
             test::write_file(d + "/s.json", R"({"calls": [{"parameters": {"Command": "GetFile"},
                                                 "answers": [18446744073709551615]}]})");
             return std::vector<std::string>{"run", d + "/s.json"};
         },
         {"session \"{dir}/s.json\", calls[0], answers[0]: 18446744073709551615 does not fit an integer answer"}},
        {"session_float_beyond_float",
         [](const std::string& d, const std::string&) {
             test::write_file(d + "/s.json", R"({"calls": [{"parameters": {"EchoTimeDiff": 1e39}}]})");
             return std::vector<std::string>{"run", d + "/s.json"};
         },
         {"session \"{dir}/s.json\", calls[0], parameter \"EchoTimeDiff\": 1e+39 does not fit a float parameter"}},
        {"session_of_invalid_utf8",
         [](const std::string& d, const std::string&) {
             test::write_file(d + "/s.json", "{\"output_dir\": \"o\xff\"}");
             return std::vector<std::string>{"run", d + "/s.json"};
         },
         {"cannot read session \"{dir}/s.json\": not valid JSON"}},
        {"session_nested_100000_deep",
         [](const std::string& d, const std::string&) {
             test::write_file(d + "/s.json",
                              "{\"calls\": [" + std::string(100000, '[') + std::string(100000, ']') + "]}");
             return std::vector<std::string>{"run", d + "/s.json"};
         },
         {"session \"{dir}/s.json\", calls[0]: each call is an object"}},
        {"session_document_that_is_a_folder",
         [](const std::string& d, const std::string& o) {
             fs::create_directories(d + "/adir.fmr");
             test::write_file(d + "/s.json", R"({"documents": [{"path": "adir.fmr"}]})");
             return std::vector<std::string>{"run", d + "/s.json", "--out", o};
         },
         {"cannot open \"{dir}/adir.fmr\": not a regular file"}},
        {"sidecar_echo_times_in_milliseconds",
         [](const std::string& d, const std::string& o) {
             return with_sidecar(d, o, "phase", R"({"EchoTime1": 4.92, "EchoTime2": 7.38})");
         },
         {"sidecar \"{dir}/phase.json\": \"EchoTime1\" is 4.920000, not a time in seconds"}},
        {"sidecar_that_is_not_json",
         [](const std::string& d, const std::string& o) { return with_sidecar(d, o, "phase", "{\"EchoTime1\": "); },
         {"cannot read sidecar \"{dir}/phase.json\": not valid JSON"}},
        // Passed to the plug-in as float parameters: values beyond float are refused, naming where they came from.
        {"bandwidth_beyond_float",
         [](const std::string&, const std::string& o) {
             std::vector<std::string> a = correct_nifti(o);
             *(std::find(a.begin(), a.end(), "--bandwidth") + 1) = "1e300";
             return a;
         },
         {"the bandwidth per voxel (--bandwidth) must be positive and finite, not 1e+300 Hz"}},
        {"sidecar_echo_spacing_giving_a_bandwidth_beyond_float",
         [](const std::string& d, const std::string& o) {
             std::vector<std::string> a =
                 with_sidecar(d, o, "epi", R"({"PhaseEncodingDirection": "j", "EffectiveEchoSpacing": 1e-300})");
             a.erase(a.end() - 2, a.end());  // no --bandwidth: it comes from the sidecar
             return a;
         },
         {"the bandwidth per voxel (EffectiveEchoSpacing 1e-300 s in {dir}/bold.json) must be positive and finite"}},
        {"sidecar_direction_that_is_no_axis",
         [](const std::string& d, const std::string& o) {
             return with_sidecar(d, o, "epi", R"({"PhaseEncodingDirection": "y"})");
         },
         {"sidecar \"{dir}/bold.json\": \"PhaseEncodingDirection\" is \"y\"; expected one of i, i-, j, j-, k, k-"}},
    };
}

TEST(FaultsMalformedInput, is_refused_with_status_2_naming_the_file_leaving_no_output_and_the_inputs_as_they_were) {
    const auto shared_before = checksums(inputs().dir);
    for (const Malformed& c : malformed_cases()) {
        const std::string dir = test::scratch_dir(std::string("faults-malformed-") + c.name);
        const std::string out = dir + "/out";
        const std::vector<std::string> args = c.make(dir, out);
        const auto before = checksums(dir);
        Launch l{args, -1, -1, {}};
        if (!built_with_sanitizers()) l.address_space_limit = c.address_space_limit;
        const Outcome r = launch(l);
        expect_clean_failure(r, 2, c.name);
        for (const std::string& part : c.message)
            EXPECT_NE(r.err.find(in_dir(part, dir)), std::string::npos)
                << c.name << ": standard error lacks \"" << in_dir(part, dir) << "\":\n"
                << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << c.name;
        if (fs::exists(out)) {
            EXPECT_TRUE(test::listing(out).empty()) << c.name << ": " << test::listing(out).size();
        }
        EXPECT_EQ(checksums(dir), before) << c.name;
    }
    EXPECT_EQ(checksums(inputs().dir), shared_before);
}

// --- faults during a run ---------------------------------------------------------

// What a complete result is: its FMR and STC read back whole, the STC of the expected size.
void expect_complete_result(const std::string& fmr, size_t stc_bytes) {
    ASSERT_TRUE(fs::exists(fmr)) << fmr;
    const std::string stc = host::stc_path_of(fmr, "");
    EXPECT_EQ(fs::file_size(stc), stc_bytes) << stc;
    host::Host h;
    EXPECT_NO_THROW(host::open_document(h, fmr, false)) << fmr;
}

std::vector<std::string> names_ending(const std::string& dir, const std::string& tail) {
    std::vector<std::string> out;
    for (const std::string& n : test::listing(dir))
        if (n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0) out.push_back(n);
    return out;
}

// A disk that fills during the run, as a file-size limit: files up to 1,000,000 bytes are written whole,
// larger ones fail part-way. The field maps (393,216 bytes each) fit; the AMR previews (1,598,738 bytes) and
// the corrected series (1,179,648) do not.
TEST(FaultsFullDisk, late_saves_fail_the_run_and_leave_nothing_while_earlier_results_stay_whole) {
    const Inputs& in = inputs();
    ASSERT_LT(in.field_stc_bytes, 1000000u);
    ASSERT_GT(in.epi_stc_bytes, 1000000u);
    ASSERT_GT(in.amr_bytes, 1000000u);
    const std::string out = test::scratch_dir("faults-full-disk") + "/out";
    const auto before = checksums(in.dir);
    const Outcome r = launch(Launch{correct_nifti(out), 1000000, -1, {}});
    expect_clean_failure(r, 1, "full disk");
    EXPECT_NE(r.err.find("failed: not saved: cannot write \"" + out + "/bold_undistort.amr\": File too large"),
              std::string::npos)
        << r.err;
    // The corrected series is the command's to write once the plug-in
    // succeeded: a failed run delivers none.
    EXPECT_EQ(r.out.find("corrected EPI:"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out + "/bold_corrected.nii.gz"));
    EXPECT_FALSE(fs::exists(out + "/bold_undistort.stc"));
    EXPECT_TRUE(names_ending(out, ".amr").empty());
    EXPECT_TRUE(leftovers(out).empty()) << leftovers(out)[0];
    expect_complete_result(out + "/fieldmap_phasediff_radians.fmr", in.field_stc_bytes);
    expect_complete_result(out + "/fieldmap_phasediff_unwrapped3vcyc5its_smoothed_pixshift.fmr", in.field_stc_bytes);
    EXPECT_EQ(checksums(in.dir), before);
}

// The plug-in reports success and ignores its previews' failure: the command does not.
TEST(FaultsFullDisk, previews_the_plugin_cannot_write_fail_the_run_and_leave_no_part) {
    const Inputs& in = inputs();
    ASSERT_GT(in.amr_bytes, 1300000u);
    ASSERT_LT(in.epi_stc_bytes, 1300000u);
    const std::string dir = test::scratch_dir("faults-previews");
    const std::string out = dir + "/out";
    const auto before = checksums(in.dir);
    std::vector<std::string> args = correct_nifti(out);
    args.insert(args.end(), {"--report", dir + "/report.json"});
    const Outcome r = launch(Launch{args, 1300000, -1, {}});
    expect_clean_failure(r, 1, "previews");
    EXPECT_NE(r.err.find("failed: not saved: cannot write \"" + out + "/bold_undistort.amr\": File too large"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("failed: not saved: cannot save"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out + "/bold_corrected.nii.gz"));
    EXPECT_TRUE(names_ending(out, ".amr").empty());
    EXPECT_TRUE(leftovers(out).empty());
    const json report = json::parse(test::read_file(dir + "/report.json"));
    EXPECT_EQ(report["calls"][0]["ErrorNr"], 0);
    EXPECT_FALSE(report["calls"][0]["write_failures"].empty());
    EXPECT_EQ(checksums(in.dir), before);
}

TEST(FaultsFullDisk, a_disk_without_room_for_any_result_fails_the_run_and_leaves_the_folder_empty) {
    const Inputs& in = inputs();
    const std::string out = test::scratch_dir("faults-no-room") + "/out";
    const auto before = checksums(in.dir);
    const Outcome r = launch(Launch{correct_nifti(out), 2000, -1, {}});
    expect_clean_failure(r, 1, "no room");
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_TRUE(test::listing(out).empty()) << test::listing(out)[0];
    EXPECT_EQ(checksums(in.dir), before);
}

// The output folder is moved away while the run waits for its last dialog (the EPI), after the field maps
// were saved: the remaining saves fail, nothing is recreated at the old place, the moved results stay whole.
TEST(FaultsVanishedFolder, saves_after_the_output_folder_vanished_fail_and_the_earlier_results_stay_whole) {
    const Inputs& in = inputs();
    const std::string dir = test::scratch_dir("faults-vanished");
    const std::string out = dir + "/out", moved = dir + "/moved";
    const auto before = checksums(in.dir);
    std::vector<std::string> args = correct_nifti(out);
    args.push_back("--interactive");
    const std::string prompt = "Enter a number from 0 to 3";
    const Outcome r = launch(
        Launch{args,
               -1,
               -1,
               {{prompt, nullptr, "0\n"}, {prompt, nullptr, "1\n"}, {prompt, [&] { fs::rename(out, moved); }, "2\n"}}});
    expect_clean_failure(r, 1, "vanished folder");
    EXPECT_NE(
        r.err.find("failed: not saved: cannot create \"" + out + "/bold_undistort.amr\": No such file or directory"),
        std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(moved + "/bold_corrected.nii.gz"));
    EXPECT_TRUE(leftovers(moved).empty());
    expect_complete_result(moved + "/fieldmap_phasediff_radians.fmr", in.field_stc_bytes);
    expect_complete_result(moved + "/fieldmap_phasediff_unwrapped3vcyc5its_smoothed_pixshift.fmr", in.field_stc_bytes);
    EXPECT_EQ(checksums(in.dir), before);
}

TEST(FaultsReport, a_report_that_could_not_be_written_is_refused_before_any_work) {
    const Inputs& in = inputs();
    const std::string dir = test::scratch_dir("faults-report-folder");
    std::vector<std::string> args = correct_nifti(dir + "/out");
    args.insert(args.end(), {"--report", dir + "/missing/report.json"});
    const Outcome r = launch(args);
    expect_clean_failure(r, 2, "report folder");
    EXPECT_NE(r.err.find("--report \"" + dir + "/missing/report.json\": folder \"" + dir + "/missing\" does not exist"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir + "/out"));
    (void)in;
}

// A report or log named like a sidecar (both are .json) would replace it: refused, the sidecar untouched.
TEST(FaultsReport, a_report_or_log_that_names_an_input_is_refused_and_the_input_kept) {
    const Inputs& in = inputs();
    const std::string out = test::scratch_dir("faults-report-input") + "/out";
    const std::string sidecar = in.dir + "/bold.json";
    const auto before = checksums(in.dir);
    const std::string phase_stc = host::stc_path_of(in.phase_fmr, "");
    const struct {
        const char* option;
        std::string path;
    } cases[] = {{"--report", sidecar}, {"--log", sidecar}, {"--report", in.nifti.epi}, {"--log", phase_stc}};
    for (const auto& c : cases) {
        // The STC beside an FMR input is one of the inputs too.
        std::vector<std::string> args =
            c.path == phase_stc ? correct_args(in.phase_fmr, in.magnitude_fmr, in.epi_fmr, out) : correct_nifti(out);
        args.insert(args.end(), {c.option, c.path});
        const Outcome r = launch(args);
        expect_clean_failure(r, 2, c.path);
        EXPECT_NE(r.err.find(std::string(c.option) + " \"" + c.path + "\" is the input"), std::string::npos) << r.err;
    }
    {
        const std::string session = test::scratch_dir("faults-report-session") + "/s.json";
        test::write_file(session, "{}");
        const Outcome r = launch({"run", session, "--report", session});
        expect_clean_failure(r, 2, "session as report");
        EXPECT_EQ(test::read_file(session), "{}");
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(checksums(in.dir), before);
}

// File names are bytes: one that is not UTF-8 ends up in the log, and the report still gets written.
TEST(FaultsReport, a_file_name_that_is_not_utf8_still_gives_a_report) {
    const Inputs& in = inputs();
    const std::string dir = test::scratch_dir("faults-latin1");
    const std::string epi = dir + "/b\xe9old.nii.gz";
    fs::copy_file(in.nifti.epi, epi);
    std::vector<std::string> args = correct_args(in.nifti.phase, in.nifti.magnitude, epi, dir + "/out");
    args.insert(args.end(), {"--report", dir + "/report.json"});
    const Outcome r = launch(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const json report = json::parse(test::read_file(dir + "/report.json"));
    EXPECT_EQ(report["calls"][0]["ErrorNr"], 0);
}

// --- non-finite voxels -----------------------------------------------------------

// NaN and infinite voxels of FMR/STC inputs become 0 and are counted, as they are for NIfTI images.
TEST(FaultsNonFinite, nan_and_infinite_voxels_of_stc_inputs_become_zero_with_a_count) {
    const Inputs& in = inputs();
    const std::string dir = test::scratch_dir("faults-non-finite");
    host::Host h;
    h.output_dir = dir;
    host::Document phase = host::open_document(h, in.phase_fmr, false);
    host::Document epi = host::open_document(h, in.epi_fmr, false);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    phase.float_volumes[0][10] = nan;
    phase.float_volumes[0][20] = inf;
    phase.float_volumes[0][30] = -inf;
    for (size_t t = 0; t < epi.float_volumes.size(); ++t) epi.float_volumes[t][1000 + t] = nan;
    save_fmr(phase, dir + "/phase.fmr");
    save_fmr(epi, dir + "/epi.fmr");
    const size_t n = in.field_stc_bytes / sizeof(float);
    const auto before = checksums(dir);
    const Outcome r = launch(correct_args(dir + "/phase.fmr", in.magnitude_fmr, dir + "/epi.fmr", dir + "/out"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("host: \"" + dir + "/phase.stc\": 3 of " + std::to_string(n) +
                         " voxels were NaN or infinite and were set to 0"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("host: \"" + dir + "/epi.stc\": 3 of " + std::to_string(3 * n) +
                         " voxels were NaN or infinite and were set to 0"),
              std::string::npos)
        << r.err;
    // The command's intensity-corrected series, an FMR project like the EPI.
    for (const char* name : {"/out/epi_corrected.fmr"}) {
        const host::Document corrected = host::open_document(h, dir + name, false);
        size_t finite = 0, total = 0;
        for (const auto& v : corrected.float_volumes)
            for (float x : v) {
                finite += std::isfinite(x);
                ++total;
            }
        EXPECT_EQ(finite, total) << name;
        EXPECT_EQ(total, 3 * n) << name;
    }
    auto after = checksums(dir);
    for (auto it = after.begin(); it != after.end();)
        it = it->first.rfind(dir + "/out/", 0) == 0 ? after.erase(it) : std::next(it);
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace warpmender
