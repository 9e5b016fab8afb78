// Run-time choice of the kernels' instruction set.
#include "fieldmap/kernel_isa.h"

namespace warpmender {
namespace {

KernelIsa detect() {
#if WARPMENDER_HAVE_AVX2_KERNELS
    // libgcc's checks include the OS's saving of the wider registers (XCR0):
    // the 256-bit ones for AVX2, the 512-bit ones and the masks for AVX-512.
    __builtin_cpu_init();
#if WARPMENDER_HAVE_AVX512_KERNELS
    if (__builtin_cpu_supports("avx512f")) return KernelIsa::kAvx512;
#endif
    if (__builtin_cpu_supports("avx2")) return KernelIsa::kAvx2;
#endif
    return KernelIsa::kBaseline;
}

KernelIsa& cap() {
    static KernelIsa most = KernelIsa::kAvx512;
    return most;
}

KernelIsa narrower(KernelIsa a, KernelIsa b) { return a < b ? a : b; }

}  // namespace

KernelIsa kernel_isa(KernelIsa widest) {
    static const KernelIsa detected = detect();
    return narrower(narrower(detected, cap()), widest);
}

void limit_kernel_isa(KernelIsa most) { cap() = most; }

}  // namespace warpmender
