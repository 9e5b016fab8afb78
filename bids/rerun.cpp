// Comparing the derivatives' times with their inputs'.
#include "bids/rerun.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {

RerunState rerun_state(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
    std::error_code ec;
    fs::file_time_type newest_input = fs::file_time_type::min();
    std::string newest_name;
    for (const std::string& in : inputs) {
        const auto t = fs::last_write_time(in, ec);
        if (ec) return {false, "the input \"" + in + "\" cannot be read: " + ec.message()};
        if (newest_name.empty() || t > newest_input) {
            newest_input = t;
            newest_name = in;
        }
    }
    for (const std::string& out : outputs) {
        const auto t = fs::last_write_time(out, ec);
        if (ec) return {false, "missing \"" + out + "\""};
        if (!newest_name.empty() && t < newest_input)
            return {false, "\"" + out + "\" is older than \"" + newest_name + "\""};
    }
    return {true, ""};
}

RerunState rerun_state(const SeriesPlan& plan) { return rerun_state(plan.outputs.all(), plan.inputs); }

}  // namespace bids
}  // namespace warpmender
