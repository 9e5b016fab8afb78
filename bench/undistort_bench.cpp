// Undistortion: building the sampling plan, one gather pass, a whole series, beside the plain resampling.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fieldmap/undistort.h"
#include "tests/undistort_reference.h"

namespace warpmender {
namespace {

// A typical EPI grid; shifts of a few voxels with some beyond the edges.
constexpr long kNx = 96, kNy = 96, kNz = 60, kVoxels = kNx * kNy * kNz;

std::vector<double> random_values(long n, double lo, double hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(lo, hi);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = d(rng);
    return v;
}

void voxel_rate(benchmark::State& s, double per_run) {
    s.counters["voxels"] = benchmark::Counter(per_run * double(s.iterations()), benchmark::Counter::kIsRate);
}

// Once per series: floor, ceil, clamps and offsets for every voxel. With
// -fno-trapping-math and SSE4.1 or later (WARPMENDER_NATIVE) the row loop
// vectorises; with the baseline instruction set it stays scalar.
void plan_build(benchmark::State& s) {
    const int direction = static_cast<int>(s.range(0));
    const std::vector<double> shift = random_values(kVoxels, -6.0, 6.0, 7);
    UndistortPlan plan;
    for (auto _ : s) {
        plan.build(shift.data(), kNx, kNy, kNz, direction);
        benchmark::ClobberMemory();
    }
    voxel_rate(s, double(kVoxels));
}
BENCHMARK(plan_build)->DenseRange(1, 6)->ArgName("direction")->Unit(benchmark::kMillisecond);

// Once per volume: the gather and the copy back, as undistort1d runs them.
// Bytes per voxel from memory: weight 8, two offsets 8, the volume read 8 and
// written 8 (the working block stays in cache, except for z).
void volume_pass(benchmark::State& s) {
    const int direction = static_cast<int>(s.range(0));
    const std::vector<double> shift = random_values(kVoxels, -6.0, 6.0, 7);
    std::vector<double> epi = random_values(kVoxels, 0.0, 1000.0, 8);
    UndistortPlan plan;
    plan.build(shift.data(), kNx, kNy, kNz, direction);
    for (auto _ : s) {
        plan.correct(epi.data());
        benchmark::ClobberMemory();
    }
    voxel_rate(s, double(kVoxels));
    s.SetBytesProcessed(int64_t(s.iterations()) * kVoxels * 32);
}
BENCHMARK(volume_pass)->DenseRange(1, 6)->ArgName("direction")->Unit(benchmark::kMillisecond);

// The whole correction of an nt-volume series: one plan, nt passes.
template <bool kReference>
void series(benchmark::State& s) {
    const long nt = s.range(0);
    const std::vector<double> shiftvalues = random_values(kVoxels, -6.0, 6.0, 7);
    const std::vector<double> epivalues = random_values(kVoxels * nt, 0.0, 1000.0, 8);
    datahandler<double> shift(new double[kVoxels], kNx, kNy, kNz, 1, 8);
    std::memcpy(shift.getdata(), shiftvalues.data(), sizeof(double) * kVoxels);
    datahandler<double> epi(new double[static_cast<size_t>(kVoxels * nt)], kNx, kNy, kNz, nt, 8);
    for (auto _ : s) {
        s.PauseTiming();
        std::memcpy(epi.getdata(), epivalues.data(), sizeof(double) * kVoxels * nt);
        s.ResumeTiming();
        if (kReference) {
            reference::undistort(&epi, &shift, 3);
        } else {
            UndistortPlan plan;
            plan.build(shift.getdata(), kNx, kNy, kNz, 3);
            plan.correct_series(epi.getdata(), nt);
        }
        benchmark::ClobberMemory();
    }
    voxel_rate(s, double(kVoxels * nt));
}
BENCHMARK_TEMPLATE(series, false)->Name("series/plan")->Arg(20)->Arg(100)->ArgName("nt")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(series, true)->Name("series/reference")->Arg(20)->ArgName("nt")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace warpmender
