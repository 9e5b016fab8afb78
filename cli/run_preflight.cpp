// The checks made before a run starts, in order: folders, headers, previews, names, memory.
#include "cli/run_preflight.h"

#include <algorithm>
#include <filesystem>

#include "cli/memory_budget.h"
#include "cli/output_folder.h"
#include "core/error.h"
#include "formats/input_headers.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

std::string longest_result_suffix(const Session& session) {
    int cycles = 3, iterations = 5;
    for (const SessionCall& c : session.calls)
        for (const auto& [name, value] : c.parameters)
            if (const int* i = std::get_if<int>(&value)) {
                if (name == "NrOfVCycles") cycles = std::max(cycles, *i);
                if (name == "NrOfIterations") iterations = std::max(iterations, *i);
            }
    return "_unwrapped" + std::to_string(cycles) + "vcyc" + std::to_string(iterations) + "its_smoothed_pixshift";
}

void preflight_session(const Session& session, const std::string& out_dir) {
    std::vector<std::string> paths;
    for (const SessionDocument& d : session.documents) paths.push_back(fs::absolute(d.path).string());
    refuse_input_folders(out_dir, paths);
    const std::string suffix = longest_result_suffix(session);
    std::vector<InputGrid> grids;
    for (size_t i = 0; i < session.documents.size(); ++i) {
        const SessionDocument& d = session.documents[i];
        grids.push_back(read_input_grid(paths[i], d.as_anatomy));
        if (!d.as_anatomy) check_preview_size(grids.back());
        check_output_path_lengths(out_dir, d.path, suffix);
    }
    check_run_memory(grids);
}

void prepare_output_folder(const std::string& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw Error("output folder \"" + dir + "\" cannot be created: a file of that name exists");
    fs::create_directories(dir, ec);
    if (ec) throw Error("output folder \"" + dir + "\" cannot be created: " + ec.message());
    // Asked of the kernel, not tried with a file: a probe file at a fixed name
    // could be a planted link to something the run must never touch.
    check_writable_folder(dir);
}

}  // namespace host
}  // namespace warpmender
