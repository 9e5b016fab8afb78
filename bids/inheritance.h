// The metadata of a data file under the BIDS inheritance principle, with the file each key came from.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace warpmender {
namespace bids {

// A sidecar applies to a data file when it lies in the file's folder or in a
// folder above it, up to the dataset's root; has the data file's suffix and
// the extension .json; and every entity in its name is in the data file's
// name with the same value. Keys of lower folders override the same keys of
// higher ones (whole values: objects are not merged). Two sidecars applying
// at one level are an error: BIDS leaves open which would win.
//
//   BIDS_DIR/task-rest_bold.json                         applies to every *_task-rest_*_bold.nii.gz
//   BIDS_DIR/sub-01/sub-01_task-rest_bold.json           to sub-01's rest runs, overriding the above
//   BIDS_DIR/sub-01/func/sub-01_task-rest_run-1_bold.json  to that run only, overriding both
//   BIDS_DIR/task-motor_bold.json                        not to a rest run (task differs)
//   BIDS_DIR/sub-01/func/sub-01_task-rest_sbref.json     not to a bold (suffix differs)
struct Metadata {
    nlohmann::json values = nlohmann::json::object();  // the merged keys
    std::map<std::string, std::string> source;         // key -> the sidecar its value came from
    std::vector<std::string> files;                    // the applicable sidecars, root level first

    // The value of key and its file, or nothing when no sidecar has it (a null counts as absent).
    const nlohmann::json* find(const std::string& key) const;
    std::string source_of(const std::string& key) const;  // "" when absent
};

// Reads sidecars under one dataset's root, each file once (parsed sidecars and
// folder listings are kept).
class SidecarReader {
public:
    explicit SidecarReader(std::string bids_dir);

    // The metadata of a data file inside the dataset (absolute path, or
    // relative to the current folder). Throws Error naming the file when a
    // sidecar cannot be read (see read_json_object), when two apply at one
    // level, or when the data file lies outside the dataset.
    const Metadata& metadata(const std::string& data_file);

private:
    const std::vector<std::string>& sidecars_in(const std::string& folder);
    const nlohmann::json& sidecar(const std::string& path);

    std::string root_;
    std::map<std::string, std::vector<std::string>> listings_;
    std::map<std::string, nlohmann::json> parsed_;
    std::map<std::string, Metadata> merged_;
};

}  // namespace bids
}  // namespace warpmender
