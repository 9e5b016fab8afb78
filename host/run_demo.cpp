// warpmender demo (being written).
#include "host/command.h"
#include "host/error.h"

namespace warpmender {
namespace host {

int run_demo(const DemoOptions&) { throw Error("the demo is not built yet"); }

}  // namespace host
}  // namespace warpmender
