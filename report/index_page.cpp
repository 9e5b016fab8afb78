// The dataset's index: one line per run, the failed sense checks first.
#include "report/index_page.h"

#include <algorithm>

#include "report/atomic_write.h"
#include "report/html_text.h"

namespace warpmender {
namespace report {

std::string index_html(const std::string& title, const std::vector<IndexEntry>& entries) {
    std::vector<const IndexEntry*> order;
    for (const IndexEntry& e : entries) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(), [](const IndexEntry* a, const IndexEntry* b) {
        return a->summary.pe_failed && !b->summary.pe_failed;
    });
    std::size_t failed = 0;
    for (const IndexEntry& e : entries) failed += e.summary.pe_failed ? 1 : 0;
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><link rel=\"icon\" "
                    "href=\"data:,\"><title>" +
                    html_escape(title) + "</title><style>" + page_style() +
                    "</style></head><body><main>\n<header><h1>" + html_escape(title) + "</h1><div class=\"sub\">" +
                    std::to_string(entries.size()) + " corrected runs</div></header>\n";
    if (failed > 0)
        h += "<div class=\"banner bad\">" + std::to_string(failed) + " run" + (failed == 1 ? "" : "s") +
             " with a phase-encoding sense that looks wrong (marked below).</div>\n";
    h += "<section><table class=\"wide\"><tr><th>run</th><th>sense check</th><th>NMI given</th><th>NMI opposite</th>"
         "<th>NMI uncorrected</th><th>|shift| p99 (voxels)</th><th>folded (%)</th><th>warnings</th></tr>\n";
    for (const IndexEntry* e : order) {
        const RunSummary& s = e->summary;
        h += std::string("<tr") + (s.pe_failed ? " class=\"failed\"" : "") + "><td class=\"nowrap\"><a href=\"" +
             html_escape(e->href) + "\">" + html_escape(s.run) + "</a></td><td class=\"nowrap\">" +
             html_escape(s.pe_verdict) + "</td><td class=\"num\">" +
             (s.pe_checked ? format_fixed(s.pe_given, 4) : "-") + "</td><td class=\"num\">" +
             (s.pe_checked ? format_fixed(s.pe_opposite, 4) : "-") + "</td><td class=\"num\">" +
             (s.pe_checked ? format_fixed(s.pe_uncorrected, 4) : "-") + "</td><td class=\"num\">" +
             format_fixed(s.shift_abs_p99, 2) + "</td><td class=\"num\">" + format_fixed(s.folded_percent, 2) +
             "</td><td class=\"small\">";
        if (s.warnings.empty()) h += "none";
        for (std::size_t i = 0; i < s.warnings.size(); ++i) h += (i > 0 ? "<br>" : "") + html_escape(s.warnings[i]);
        h += "</td></tr>\n";
    }
    h += "</table></section>\n</main></body></html>\n";
    return h;
}

void write_index(const std::string& path, const std::string& title, const std::vector<IndexEntry>& entries) {
    write_file_atomically(path, index_html(title, entries));
}

}  // namespace report
}  // namespace warpmender
