// A whole 96 x 96 x 60 x 300 double series undistorted in place, beside the memory traffic floor of the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/phantom_files.h"
#include "fieldmap/kernel_isa.h"
#include "fieldmap/undistort.h"
#include "sim/dataset.h"

namespace warpmender {
namespace {

constexpr long kNx = 96, kNy = 96, kNz = 60, kNt = 300, kVoxels = kNx * kNy * kNz;
constexpr long kSeries = kVoxels * kNt;
// What the series must move: read once and written once.
constexpr double kSeriesBytes = 2.0 * 8.0 * double(kSeries);

// Cheap deterministic fill: a random generator over 166M values would take longer than the runs.
void fill(double* v, long n, double scale) {
    unsigned x = 12345u;
    for (long i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        v[i] = scale * double(x >> 8) / double(1u << 24);
    }
}

// The shift map the correction meets in practice: the benchmarks' phantom
// (the demo's head, its sinus and shim residual) on the end-to-end run's grid,
// field / bandwidth, unmasked. Smooth, as field maps are: four neighbours
// along x almost always read four consecutive voxels.
std::vector<double> phantom_shift() {
    sim::DatasetParams p = host::demo_dataset_params(false);
    p.phantom.grid = sim::Grid{int(kNx), int(kNy), int(kNz), 256.0 / kNx, 256.0 / kNy, 128.0 / kNz};
    p.epi.nt = 1;
    return sim::make_dataset(p).shift;
}

struct Series {
    std::unique_ptr<double[]> epi{new double[kSeries]};
    std::vector<double> shift = phantom_shift();
    // The worst case: every voxel its own shift, a few voxels either way.
    std::vector<double> random_shift = std::vector<double>(kVoxels);
    Series() {
        fill(epi.get(), kSeries, 1000.0);
        fill(random_shift.data(), kVoxels, 12.0);
        for (double& s : random_shift) s -= 6.0;  // some beyond the edges
    }
};

Series& series() {
    static Series s;
    return s;
}

void bytes_rate(benchmark::State& s, double bytes = kSeriesBytes) {
    s.counters["bytes"] = benchmark::Counter(bytes * double(s.iterations()), benchmark::Counter::kIsRate);
}

// The correction undistort1d runs: one plan, then the series in place
// through one working block, with the widest kernels this CPU runs, no
// wider than `widest`; with `summaries` also the two summaries undistort1d
// logs (before and after), whose sums take the values one after another.
void undistort_series(benchmark::State& s, bool random, KernelIsa widest, bool summaries = false) {
    Series& d = series();
    limit_kernel_isa(widest);
    UndistortPlan plan;
    for (auto _ : s) {
        plan.build(random ? d.random_shift.data() : d.shift.data(), kNx, kNy, kNz, 3);
        IntensityAccumulator before, after;
        plan.correct_series(d.epi.get(), kNt, summaries ? &before : nullptr, summaries ? &after : nullptr);
        benchmark::DoNotOptimize(after.result().sum);
        benchmark::ClobberMemory();
    }
    limit_kernel_isa(KernelIsa::kAvx512);
    s.counters["contiguous"] = plan.contiguous_share();
    s.counters["side_by_side"] = static_cast<double>(plan.volumes_side_by_side());
    s.counters["avx512"] = kernel_isa(widest) == KernelIsa::kAvx512 ? 1.0 : 0.0;
    bytes_rate(s);
}
BENCHMARK_CAPTURE(undistort_series, phantom, false, KernelIsa::kAvx512)
    ->Name("series_96x96x60x300/undistort")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(undistort_series, random, true, KernelIsa::kAvx512)
    ->Name("series_96x96x60x300/undistort_random_shifts")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(undistort_series, summaries, false, KernelIsa::kAvx512, true)
    ->Name("series_96x96x60x300/undistort_with_summaries")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The AVX2 kernels on an AVX-512 machine: what a machine without AVX-512 runs.
BENCHMARK_CAPTURE(undistort_series, phantom_avx2, false, KernelIsa::kAvx2)
    ->Name("series_96x96x60x300/undistort_avx2")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The bandwidth floor: every value read and written once, in place (the same
// bytes the correction moves). The factor is opaque so the pass is not removed.
void read_write_pass(benchmark::State& s) {
    Series& d = series();
    volatile double opaque = 1.0;
    for (auto _ : s) {
        const double f = opaque;
        double* v = d.epi.get();
        for (long i = 0; i < kSeries; ++i) v[i] *= f;
        benchmark::ClobberMemory();
    }
    bytes_rate(s);
}
BENCHMARK(read_write_pass)->Name("series_96x96x60x300/read_write")->Unit(benchmark::kMillisecond)->UseRealTime();

// The other floor: memcpy of half the series onto its other half (the rate
// counts the bytes it reads and writes).
void copy_pass(benchmark::State& s) {
    Series& d = series();
    const long half = kSeries / 2;
    for (auto _ : s) {
        std::memcpy(d.epi.get() + half, d.epi.get(), sizeof(double) * static_cast<size_t>(half));
        benchmark::ClobberMemory();
    }
    bytes_rate(s, 2.0 * 8.0 * double(half));
}
BENCHMARK(copy_pass)->Name("series_96x96x60x300/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace warpmender
