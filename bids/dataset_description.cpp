// The derivatives' dataset_description.json.
#include "bids/dataset_description.h"

#include <filesystem>

#include "bids/error.h"
#include "bids/json_file.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {

nlohmann::json derivative_description(const std::string& bids_dir, const std::string& version,
                                      const std::optional<std::string>& code_url) {
    if (version.empty()) throw Error("the derivatives' dataset_description.json needs the program's version");
    const fs::path root = fs::absolute(fs::path(bids_dir)).lexically_normal();
    const fs::path source_file = root / "dataset_description.json";
    nlohmann::json source = nlohmann::json::object();
    if (fs::exists(source_file)) source = read_json_object(source_file.string());

    nlohmann::json generated = {{"Name", "warpmender"}, {"Version", version}};
    if (code_url) generated["CodeURL"] = *code_url;
    std::string url = root.generic_string();
    while (url.size() > 1 && url.back() == '/') url.pop_back();
    nlohmann::json origin = {{"URL", "file://" + url}};
    if (source.contains("DatasetDOI") && source["DatasetDOI"].is_string()) origin["DOI"] = source["DatasetDOI"];

    std::string name = "warpmender";
    if (source.contains("Name") && source["Name"].is_string() && !source["Name"].get<std::string>().empty())
        name += ": " + source["Name"].get<std::string>();
    return {{"Name", name},
            {"BIDSVersion", kBidsVersion},
            {"DatasetType", "derivative"},
            {"GeneratedBy", nlohmann::json::array({generated})},
            {"SourceDatasets", nlohmann::json::array({origin})}};
}

}  // namespace bids
}  // namespace warpmender
