// Run-time choice of the kernels' instruction set.
#include "fieldmap/kernel_isa.h"

namespace warpmender {
namespace {

KernelIsa detect() {
#if WARPMENDER_HAVE_AVX2_KERNELS
    // libgcc's check includes the OS's saving of the 256-bit registers (XCR0).
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelIsa::kAvx2;
#endif
    return KernelIsa::kBaseline;
}

KernelIsa& cap() {
    static KernelIsa most = KernelIsa::kAvx2;
    return most;
}

}  // namespace

KernelIsa kernel_isa() {
    static const KernelIsa detected = detect();
    return detected < cap() ? detected : cap();
}

void limit_kernel_isa(KernelIsa most) { cap() = most; }

}  // namespace warpmender
