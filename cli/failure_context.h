// Where the plug-in was when it stopped: its step and the document it was working on, for "failed:" messages.
#pragma once

#include <cstddef>
#include <string>

#include "host/host.h"

namespace warpmender {
namespace host {

// From the call's log (entries from log_from on) and the current document:
//   " (in step \"Compute pixel shift map...\", working on the document \"out/a.fmr\" (opened from \"in/a.nii.gz\"))"
// "" when neither is known.
std::string failure_context(const Host& h, size_t log_from);

}  // namespace host
}  // namespace warpmender
