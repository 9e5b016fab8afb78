// Unwrapping kernels and the whole multigrid solve, each timed beside its plain reference loop.
#include <benchmark/benchmark.h>

#include <vector>

#include "fieldmap/fmg.h"
#include "fieldmap/relax_unwrap.h"
#include "tests/unwrap_fields.h"
#include "tests/unwrap_reference.h"

namespace warpmender {
namespace {

// The host log stays unbound here (no InitHSAccess): progress lines of the
// solver would otherwise pile up over thousands of runs.

const int kGrids[][3] = {{64, 64, 30}, {128, 128, 64}};

void grid_args(benchmark::internal::Benchmark* b) {
    for (const auto& g : kGrids) b->Args({g[0], g[1], g[2]});
    b->ArgNames({"nx", "ny", "nz"})->Unit(benchmark::kMillisecond);
}

struct Grid {
    int n[3];
    long m;
    explicit Grid(const benchmark::State& s)
        : n{int(s.range(0)), int(s.range(1)), int(s.range(2))}, m(long(n[0]) * n[1] * n[2]) {}
};

// Voxel updates per second: every kernel below touches each voxel once per run.
void rate(benchmark::State& s, double per_run) {
    s.counters["voxels"] = benchmark::Counter(per_run * double(s.iterations()), benchmark::Counter::kIsRate);
}

template <bool kReference>
void relax_unwrap_case(benchmark::State& s) {
    const Grid g(s);
    const std::vector<double> phase = test::random_values(g.m, -0.5, 0.5, 1),
                              weight = test::random_values(g.m, 0, 2, 2);
    std::vector<double> out(g.m, 0.0);
    for (auto _ : s) {
        if (kReference)
            reference::relax_unwrap(g.n, phase.data(), weight.data(), out.data(), 1, 0.01);
        else
            relax_unwrap(g.n, phase.data(), weight.data(), out.data(), 1, 0.01);
        benchmark::DoNotOptimize(out.data());
    }
    rate(s, double(g.m));
}

template <bool kReference>
void relax_me_case(benchmark::State& s) {
    const Grid g(s);
    const double param[5] = {1, 1, 1, 1, 0};
    const std::vector<double> a(g.m, 0.0001), b = test::random_values(g.m, -1, 1, 3);
    std::vector<double> u(g.m, 0.0);
    for (auto _ : s) {
        if (kReference)
            reference::relax_me(g.n, a.data(), b.data(), param, 1, u.data());
        else
            relax_me(g.n, a.data(), b.data(), param, 1, u.data());
        benchmark::DoNotOptimize(u.data());
    }
    rate(s, double(g.m));
}

template <bool kReference>
void LtLf_me_case(benchmark::State& s) {
    const Grid g(s);
    const double param[5] = {1, 1, 1, 1, 0};
    const std::vector<double> u = test::random_values(g.m, -1, 1, 4);
    std::vector<double> out(g.m);
    for (auto _ : s) {
        if (kReference)
            reference::LtLf_me(g.n, u.data(), param, out.data());
        else
            LtLf_me(g.n, u.data(), param, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    rate(s, double(g.m));
}

// Restriction to the next coarser level and prolongation back, as fmg uses them;
// the rate counts output voxels.
template <bool kReference, bool kRestrict>
void resize_case(benchmark::State& s) {
    const Grid g(s);
    int coarse[3];
    for (int k = 0; k < 3; ++k) coarse[k] = (g.n[k] + 1) / 2;
    const int* from = kRestrict ? g.n : coarse;
    const int* to = kRestrict ? coarse : g.n;
    const long in = long(from[0]) * from[1] * from[2], out = long(to[0]) * to[1] * to[2];
    const std::vector<double> a = test::random_values(in, -1, 1, 5);
    std::vector<double> c(out), work(3L * to[0] * to[1] + long(to[1]) * from[0]);
    for (auto _ : s) {
        if (kReference)
            reference::resize(from, a.data(), to, c.data(), work.data());
        else
            resize(from, a.data(), to, c.data(), work.data());
        benchmark::DoNotOptimize(c.data());
    }
    rate(s, double(out));
}

// The unwrapping solve of fullmultigrid: a = 1e-4, unit membrane, 3 cycles of 5 iterations.
template <bool kReference>
void fmg_case(benchmark::State& s) {
    const Grid g(s);
    const double param[5] = {1, 1, 1, 1, 0};
    const std::vector<double> a(g.m, 0.0001), b = test::random_values(g.m, -1, 1, 6);
    std::vector<double> u(g.m), scratch(kReference ? 1 : fmg_scratchsize(g.n));
    for (auto _ : s) {
        if (kReference)
            reference::fmg(g.n, a.data(), b.data(), param, 3, 5, u.data());
        else
            fmg(g.n, a.data(), b.data(), 2, param, 3, 5, u.data(), scratch.data());
        benchmark::DoNotOptimize(u.data());
    }
    rate(s, double(g.m));
}

BENCHMARK(relax_unwrap_case<false>)->Name("relax_unwrap")->Apply(grid_args);
BENCHMARK(relax_unwrap_case<true>)->Name("relax_unwrap_reference")->Apply(grid_args);
BENCHMARK(relax_me_case<false>)->Name("relax_me")->Apply(grid_args);
BENCHMARK(relax_me_case<true>)->Name("relax_me_reference")->Apply(grid_args);
BENCHMARK(LtLf_me_case<false>)->Name("LtLf_me")->Apply(grid_args);
BENCHMARK(LtLf_me_case<true>)->Name("LtLf_me_reference")->Apply(grid_args);
BENCHMARK(resize_case<false, true>)->Name("resize_restrict")->Apply(grid_args);
BENCHMARK(resize_case<true, true>)->Name("resize_restrict_reference")->Apply(grid_args);
BENCHMARK(resize_case<false, false>)->Name("resize_prolong")->Apply(grid_args);
BENCHMARK(resize_case<true, false>)->Name("resize_prolong_reference")->Apply(grid_args);
BENCHMARK(fmg_case<false>)->Name("fmg_3cyc_5its")->Apply(grid_args);
BENCHMARK(fmg_case<true>)->Name("fmg_3cyc_5its_reference")->Apply(grid_args);

}  // namespace
}  // namespace warpmender

BENCHMARK_MAIN();
