// The instruction set the numerical kernels run with, chosen at run time so the portable build uses the machine.
#pragma once

namespace warpmender {

// Kernels with an AVX2 form compile it with WARPMENDER_TARGET_AVX2 beside the
// baseline (x86-64 SSE2) form, some an AVX-512 form too with
// WARPMENDER_TARGET_AVX512, and pick one per call with kernel_isa(). All forms
// perform the same IEEE operations in the same order (no FMA: the build turns
// contraction off and the kernels call no fused intrinsic), so they give the
// same bits; tests prove it by running each form against the plain twins.
// Wider forms come later in the list.
enum class KernelIsa { kBaseline, kAvx2, kAvx512 };

// The widest form this CPU and OS run, no wider than the widest the calling
// kernel has (a kernel with an AVX2 form only gets kAvx2 on an AVX-512
// machine), lowered by limit_kernel_isa().
KernelIsa kernel_isa(KernelIsa widest = KernelIsa::kAvx2);

// Caps the forms used from now on (kBaseline runs the baseline kernels on a
// machine that has AVX2; kAvx512, the widest, lifts the cap). For tests and
// benchmarks; not thread-safe.
void limit_kernel_isa(KernelIsa most);

}  // namespace warpmender

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define WARPMENDER_HAVE_AVX2_KERNELS 1
#define WARPMENDER_TARGET_AVX2 __attribute__((target("avx2")))
// AVX-512 Foundation only: 512-bit double arithmetic, masks, and the AVX2
// instructions beneath. It includes fused multiply-add, which the kernels
// never call and the build never contracts into.
#define WARPMENDER_HAVE_AVX512_KERNELS 1
#define WARPMENDER_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define WARPMENDER_HAVE_AVX2_KERNELS 0
#define WARPMENDER_TARGET_AVX2
#define WARPMENDER_HAVE_AVX512_KERNELS 0
#define WARPMENDER_TARGET_AVX512
#endif
