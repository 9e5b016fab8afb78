// The dataset_description.json of the derivatives folder.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace warpmender {
namespace bids {

// The BIDS version these derivatives follow.
constexpr const char* kBidsVersion = "1.10.0";

// {"Name": "warpmender: <source Name>" (or "warpmender" when the source has none),
//  "BIDSVersion": kBidsVersion, "DatasetType": "derivative",
//  "GeneratedBy": [{"Name": "warpmender", "Version": version, "CodeURL": code_url (when given)}],
//  "SourceDatasets": [{"URL": "file://<BIDS_DIR absolute>", "DOI": <the source's DatasetDOI>}]}
// The DOI only when the source's dataset_description.json has one. Throws Error
// naming the source's file when it exists but cannot be read safely, or when
// version is empty. Writing it is the command's.
nlohmann::json derivative_description(const std::string& bids_dir, const std::string& version,
                                      const std::optional<std::string>& code_url = std::nullopt);

}  // namespace bids
}  // namespace warpmender
