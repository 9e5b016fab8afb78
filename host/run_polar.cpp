// warpmender polar: magnitude and phase from a real/imaginary pair ("CreatePolarFile").
#include "host/command.h"

namespace warpmender {
namespace host {

int run_polar(const PolarOptions& o) {
    Session s;
    s.documents = {{o.real, false}, {o.imag, false}};
    SessionCall call;
    call.parameters = {{"Command", std::string("CreatePolarFile")},
                       {"RealFile", o.real},
                       {"ImagFile", o.imag}};
    call.answers = {Answer::of(0), Answer::of(1)};  // the real part first
    s.calls.push_back(call);
    return execute_session(s, o.common, {}, nullptr);
}

}  // namespace host
}  // namespace warpmender
