// The files of the derivatives folder as a whole: its dataset_description.json and the index of the runs' reports.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/run_report.h"

namespace warpmender {
namespace bids {

// The index's line of a run, from the JSON of its report (report/run_report.h
// run_json). Throws Error naming source when a field is missing or of the wrong type.
report::RunSummary run_summary(const nlohmann::json& report_json, const std::string& source);

// Every run report in the derivatives, "OUTPUT_DIR/sub-*/[ses-*/]figures/*_report.json",
// sorted by path: the index covers every run corrected so far, whichever
// participants a call was limited to.
std::vector<std::string> find_run_reports(const std::string& output_dir);

// Where the index page goes.
std::string index_path(const std::string& output_dir);

// Writes OUTPUT_DIR/dataset_description.json (derivative_description, with
// "DatasetLinks": {"raw": "file://<BIDS_DIR>"} for the sidecars' bids:raw:
// URIs) and OUTPUT_DIR/index.html linking each run's report. Each file
// atomically. Throws Error naming the file at fault.
void write_dataset_files(const std::string& bids_dir, const std::string& output_dir, const std::string& version);

}  // namespace bids
}  // namespace warpmender
