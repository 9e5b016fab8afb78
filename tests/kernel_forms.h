// The instruction-set forms of the kernels that this machine runs, for tests that check each against its twin.
#pragma once

#include <vector>

#include "fieldmap/kernel_isa.h"

namespace warpmender {
namespace test {

// Caps the kernels at one form for the life of the object and lifts the cap after.
class KernelForm {
public:
    explicit KernelForm(KernelIsa form) { limit_kernel_isa(form); }
    ~KernelForm() { limit_kernel_isa(KernelIsa::kAvx2); }
    KernelForm(const KernelForm&) = delete;
    KernelForm& operator=(const KernelForm&) = delete;
};

// The baseline form always; the AVX2 form where the CPU runs it (elsewhere a
// cap of kAvx2 would only run the baseline form a second time).
inline std::vector<KernelIsa> kernel_forms() {
    std::vector<KernelIsa> forms = {KernelIsa::kBaseline};
    limit_kernel_isa(KernelIsa::kAvx2);
    if (kernel_isa() == KernelIsa::kAvx2) forms.push_back(KernelIsa::kAvx2);
    return forms;
}

inline const char* form_name(KernelIsa form) { return form == KernelIsa::kAvx2 ? "avx2" : "baseline"; }

}  // namespace test
}  // namespace warpmender
