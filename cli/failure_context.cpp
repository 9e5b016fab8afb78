// The step a failed call was in (its last step line in the log) and the file of the current document.
#include "cli/failure_context.h"

namespace warpmender {
namespace host {

namespace {

// A step's first line ends with "..." ("Compute pixel shift map...") or names
// the direction of the undistortion; file names the plug-in logs never do.
bool is_step_line(const std::string& line) {
    const std::string first = line.substr(0, line.find('\n'));
    if (first.rfind("Undistort in direction:", 0) == 0) return true;
    return first.size() > 3 && first.compare(first.size() - 3, 3, "...") == 0;
}

}  // namespace

std::string failure_context(const Host& h, size_t log_from) {
    std::string step;
    for (size_t i = h.log.size(); i > log_from; --i)
        if (is_step_line(h.log[i - 1])) {
            step = h.log[i - 1].substr(0, h.log[i - 1].find('\n'));
            break;
        }
    std::string file, source;
    const int index = h.current_index();
    if (index >= 0 && static_cast<size_t>(index) < h.documents().size()) {
        const Document& d = h.documents()[static_cast<size_t>(index)];
        file = d.type == kVmr ? d.vmr.FileName : d.fmr.FileName;
        source = d.source_path;
    }
    std::string out;
    if (!step.empty()) out += "in step \"" + step + "\"";
    if (!file.empty()) out += std::string(out.empty() ? "" : ", ") + "working on the document \"" + file + "\"";
    if (!source.empty() && source != file) out += " (opened from \"" + source + "\")";
    return out.empty() ? out : " (" + out + ")";
}

}  // namespace host
}  // namespace warpmender
