// The I/O floor of a correction run: every input file read once, the corrected
// series and each map written once, as plain read()/write() of the same byte
// counts into the same filesystem through one reused buffer (no page of a fresh
// buffer to fault in, no conversion). The outputs are then fsynced, timed apart:
// that is what durability costs on top.
//   io_floor [--touch BYTES] OUT SERIES_IN MAP_IN NMAPS INPUT...
// reads every INPUT, writing SERIES_IN's bytes to OUT/series.nii as they are
// read and MAP_IN's bytes to OUT/map<i>.nii for each of the NMAPS maps; OUT
// must not exist. With --touch, BYTES of fresh memory are then faulted in on
// huge pages, half on each of two threads, as a run whose peak that is must
// fault them in at least once: the memory floor, timed apart. Prints one
// JSON object: seconds reading, writing, fsyncing, touching, bytes read and
// written.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "io_floor: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Totals {
    double read_s = 0, write_s = 0;
    long long read_bytes = 0, written_bytes = 0;
};

void write_all(int fd, const char* p, size_t n, const std::string& name, Totals& t) {
    const Clock::time_point t0 = Clock::now();
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("cannot write " + name);
        p += w, n -= static_cast<size_t>(w), t.written_bytes += w;
    }
    t.write_s += since(t0);
}

}  // namespace

// Seconds to fault in `bytes` of fresh memory, two threads each taking half.
double first_touch(size_t bytes) {
    if (bytes == 0) return 0.0;
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
    void* raw = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) fail("cannot map " + std::to_string(bytes) + " bytes");
    char* p = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(raw) + kHuge - 1) / kHuge * kHuge);
    ::madvise(p, size, MADV_HUGEPAGE);
    auto touch = [](char* from, char* to) {
        for (char* q = from; q < to; q += 4096) *reinterpret_cast<volatile char*>(q) = 1;
    };
    const Clock::time_point t0 = Clock::now();
    char* half = p + size / 2 / kHuge * kHuge;
    std::thread other(touch, half, p + size);
    touch(p, half);
    other.join();
    const double s = since(t0);
    ::munmap(raw, size + kHuge);
    return s;
}

int main(int argc, char** argv) {
    size_t touch_bytes = 0;
    if (argc > 2 && std::strcmp(argv[1], "--touch") == 0) {
        touch_bytes = std::strtoull(argv[2], nullptr, 10);
        argc -= 2, argv += 2;
    }
    if (argc < 6) {
        std::fprintf(stderr, "usage: io_floor [--touch BYTES] OUT SERIES_IN MAP_IN NMAPS INPUT...\n");
        return 2;
    }
    const std::string out = argv[1], series_in = argv[2], map_in = argv[3];
    const int nmaps = std::atoi(argv[4]);
    if (::mkdir(out.c_str(), 0755) != 0) fail("cannot create " + out);

    std::vector<std::string> names;
    std::vector<int> fds;
    auto create = [&](const std::string& name) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) fail("cannot create " + name);
        names.push_back(name), fds.push_back(fd);
        return fd;
    };

    // 4 MiB: large enough that the system calls cost nothing, small enough to stay in cache.
    std::vector<char> buffer(size_t{4} << 20);
    Totals t;
    for (int i = 5; i < argc; ++i) {
        const std::string in = argv[i];
        std::vector<int> targets;
        if (in == series_in) targets.push_back(create(out + "/series.nii"));
        if (in == map_in)
            for (int m = 0; m < nmaps; ++m) targets.push_back(create(out + "/map" + std::to_string(m) + ".nii"));
        const int fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("cannot open " + in);
        for (;;) {
            const Clock::time_point t0 = Clock::now();
            const ssize_t r = ::read(fd, buffer.data(), buffer.size());
            t.read_s += since(t0);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) fail("cannot read " + in);
            if (r == 0) break;
            t.read_bytes += r;
            for (const int target : targets) write_all(target, buffer.data(), static_cast<size_t>(r), in, t);
        }
        ::close(fd);
    }

    const Clock::time_point t0 = Clock::now();
    for (size_t i = 0; i < fds.size(); ++i)
        if (::fsync(fds[i]) != 0) fail("cannot fsync " + names[i]);
    const int dir = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) fail("cannot fsync " + out);
    const double fsync_s = since(t0);
    ::close(dir);
    for (size_t i = 0; i < fds.size(); ++i)
        if (::close(fds[i]) != 0) fail("cannot close " + names[i]);

    const double touch_s = first_touch(touch_bytes);

    std::printf("{\"read_s\": %.6f, \"write_s\": %.6f, \"fsync_s\": %.6f, \"touch_s\": %.6f, \"touch_bytes\": %zu, "
                "\"read_bytes\": %lld, \"written_bytes\": %lld}\n",
                t.read_s, t.write_s, fsync_s, touch_s, touch_bytes, t.read_bytes, t.written_bytes);
    return 0;
}
