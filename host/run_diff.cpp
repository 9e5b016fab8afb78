// warpmender diff: the difference image A - B of two projects ("Evaluate").
#include "host/command.h"

namespace warpmender {
namespace host {

int run_diff(const DiffOptions& o) {
    Session s;
    s.documents = {{o.a, false}, {o.b, false}};
    SessionCall call;
    call.parameters = {{"Command", std::string("Evaluate")}};
    call.answers = {Answer::of(0), Answer::of(1)};  // the source, then the image subtracted from it
    s.calls.push_back(call);
    return execute_session(s, o.common, {}, nullptr);
}

}  // namespace host
}  // namespace warpmender
