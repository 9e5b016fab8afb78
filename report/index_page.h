// The dataset's index page: one line per run, linking its report.
#pragma once

#include <string>
#include <vector>

#include "report/run_report.h"

namespace warpmender {
namespace report {

struct IndexEntry {
    std::string href;  // the run's report, relative to the index page ("sub-01/func/sub-01_task-rest_report.html")
    RunSummary summary;
};

// The page: a table with the run (linked), the sense check's scores and
// verdict, the 99th-percentile |shift|, the folded percentage and the
// warnings; runs whose sense check failed first and marked.
std::string index_html(const std::string& title, const std::vector<IndexEntry>& entries);

// index_html written atomically to path. Throws std::runtime_error naming the path.
void write_index(const std::string& path, const std::string& title, const std::vector<IndexEntry>& entries);

}  // namespace report
}  // namespace warpmender
