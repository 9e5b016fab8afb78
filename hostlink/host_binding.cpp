// Binding of the host functions by name in the running process.
#include "hostlink/host_binding.h"

#include <dlfcn.h>

#include "hostlink/log_sink.h"

namespace warpmender {
namespace hs {

#define WARPMENDER_DEFINE_HOST_POINTER(name) decltype(&::name) name = nullptr;
WARPMENDER_HOST_FUNCTIONS(WARPMENDER_DEFINE_HOST_POINTER)
#undef WARPMENDER_DEFINE_HOST_POINTER

}  // namespace hs

bool InitHSAccess() {
    // The handle stays open for the life of the process: the pointers need it.
    void* self = dlopen(nullptr, RTLD_LAZY);
    if (self == nullptr) return false;
    hs::hsGetVersionOfNeurolatticeHS =
        reinterpret_cast<decltype(hs::hsGetVersionOfNeurolatticeHS)>(dlsym(self, "hsGetVersionOfNeurolatticeHS"));
    if (hs::hsGetVersionOfNeurolatticeHS == nullptr) return false;
#define WARPMENDER_BIND_HOST_POINTER(name) hs::name = reinterpret_cast<decltype(hs::name)>(dlsym(self, #name));
    WARPMENDER_HOST_FUNCTIONS(WARPMENDER_BIND_HOST_POINTER)
#undef WARPMENDER_BIND_HOST_POINTER
    set_log_sink(hs::hsLogText);
    return true;
}

std::string readStringParameter(const char* name) {
    char value[kStringParameterSize] = {0};
    hs::hsGetStringParameter(name, value);
    value[kStringParameterSize - 1] = '\0';
    return value;
}

}  // namespace warpmender
