// The instruction set the numerical kernels run with, chosen at run time so the portable build uses the machine.
#pragma once

namespace warpmender {

// Kernels with an AVX2 form compile it with WARPMENDER_TARGET_AVX2 beside the
// baseline (x86-64 SSE2) form and pick one per call with kernel_isa(). Both
// forms perform the same IEEE operations in the same order (no FMA: the AVX2
// target does not include it), so they give the same bits; tests prove it by
// running each form against the plain twins.
enum class KernelIsa { kBaseline, kAvx2 };

// The widest form this CPU and OS run, lowered by limit_kernel_isa().
KernelIsa kernel_isa();

// Caps the forms used from now on (kBaseline runs the baseline kernels on a
// machine that has AVX2). For tests and benchmarks; not thread-safe.
void limit_kernel_isa(KernelIsa most);

}  // namespace warpmender

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define WARPMENDER_HAVE_AVX2_KERNELS 1
#define WARPMENDER_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define WARPMENDER_HAVE_AVX2_KERNELS 0
#define WARPMENDER_TARGET_AVX2
#endif
