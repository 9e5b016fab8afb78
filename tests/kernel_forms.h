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
    ~KernelForm() { limit_kernel_isa(KernelIsa::kAvx512); }
    KernelForm(const KernelForm&) = delete;
    KernelForm& operator=(const KernelForm&) = delete;
};

// Whether the CPU runs the form (the baseline always).
inline bool cpu_runs(KernelIsa form) {
    limit_kernel_isa(KernelIsa::kAvx512);
    return kernel_isa(KernelIsa::kAvx512) >= form;
}

// The baseline form always, and each wider form up to the widest the kernels
// under test have where the CPU runs it (elsewhere a cap at that form would
// only run a narrower form a second time).
inline std::vector<KernelIsa> kernel_forms(KernelIsa widest = KernelIsa::kAvx2) {
    std::vector<KernelIsa> forms = {KernelIsa::kBaseline};
    for (KernelIsa form : {KernelIsa::kAvx2, KernelIsa::kAvx512})
        if (form <= widest && cpu_runs(form)) forms.push_back(form);
    return forms;
}

inline const char* form_name(KernelIsa form) {
    return form == KernelIsa::kAvx512 ? "avx512" : form == KernelIsa::kAvx2 ? "avx2" : "baseline";
}

}  // namespace test
}  // namespace warpmender
