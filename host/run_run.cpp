// warpmender run: replays a session file.
#include "host/command.h"

namespace warpmender {
namespace host {

int run_run(const RunOptions& o) {
    const Session session = parse_session_file(o.session);
    check_output_file("--report", o.common.report, {o.session});
    check_output_file("--log", o.common.log_file, {o.session});
    return execute_session(session, o.common, {}, nullptr);
}

}  // namespace host
}  // namespace warpmender
