// The run's report: its statistics and JSON checked against values computed here, the page's content, the index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "report/html_text.h"
#include "report/index_page.h"
#include "report/run_report.h"
#include "report_support.h"

namespace warpmender {
namespace {

using nlohmann::json;
using report::RunReport;

const RunReport& right_run() {
    static const RunReport r = test::sim_run(4, 4, "sub-01_task-rest_bold");
    return r;
}

const RunReport& flipped_run() {
    static const RunReport r = test::sim_run(4, 3, "sub-02_task-rest_bold");
    return r;
}

// numpy's default percentile, written out: rank q/100 (n - 1), linear between neighbours.
double reference_percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double rank = q / 100.0 * static_cast<double>(v.size() - 1);
    const double lo = std::floor(rank);
    const size_t i = static_cast<size_t>(lo);
    return i + 1 < v.size() ? v[i] * (1.0 - (rank - lo)) + v[i + 1] * (rank - lo) : v[i];
}

TEST(ReportRun, percentiles_of_hand_made_values) {
    // 1..101: the q-th percentile is q + 1 exactly.
    std::vector<double> v;
    for (int i = 101; i >= 1; --i) v.push_back(i);
    const struct { double q, expected; } kCases[] = {{0, 1}, {1, 2}, {25, 26}, {50, 51}, {99, 100}, {100, 101}};
    for (const auto& c : kCases) EXPECT_DOUBLE_EQ(report::percentile(v, c.q), c.expected) << c.q;
    std::vector<double> two = {0.0, 10.0};
    EXPECT_DOUBLE_EQ(report::percentile(two, 25), 2.5);
    std::vector<double> none;
    EXPECT_EQ(report::percentile(none, 50), 0.0);
}

TEST(ReportRun, shift_statistics_count_only_the_brain) {
    // 5 x 1 x 1: shifts -3, -1, 0, 2, 9 with the last outside the brain.
    report::Volume s;
    s.nx = 5;
    s.ny = s.nz = 1;
    s.values = {-3, -1, 0, 2, 9};
    const std::vector<std::uint8_t> brain = {1, 1, 1, 1, 0};
    const report::ShiftStatistics st = report::shift_statistics(s, brain);
    EXPECT_EQ(st.voxels, 4u);
    EXPECT_DOUBLE_EQ(st.max_abs, 3.0);
    EXPECT_DOUBLE_EQ(st.mean, -0.5);
    EXPECT_DOUBLE_EQ(st.percentiles[3], -0.5);       // median of -3 -1 0 2
    EXPECT_DOUBLE_EQ(st.abs_p99, 3.0 - 0.03 * 1.0);  // |s| = 0 1 2 3: rank 2.97
    ASSERT_EQ(st.edges.size(), static_cast<size_t>(report::kShiftHistogramBins + 1));
    EXPECT_DOUBLE_EQ(st.edges.front(), -3.0);
    EXPECT_DOUBLE_EQ(st.edges.back(), 3.0);
    size_t total = 0;
    for (size_t c : st.counts) total += c;
    EXPECT_EQ(total, 4u);
    EXPECT_EQ(st.counts.back(), 0u);   // 9 was outside; 2 lies below the top bin
    EXPECT_EQ(st.counts.front(), 1u);  // -3 at the lower edge
}

TEST(ReportRun, json_numbers_match_values_computed_here) {
    const RunReport& r = right_run();
    const json j = json::parse(report::run_json(r));
    EXPECT_EQ(j["run"], r.run);
    EXPECT_EQ(j["pe_code"], 4);
    // The shift inside the brain, recomputed.
    std::vector<double> shift, abs_shift, field;
    for (size_t i = 0; i < r.brain.size(); ++i)
        if (r.brain[i]) {
            shift.push_back(r.shift_voxels.values[i]);
            abs_shift.push_back(std::fabs(r.shift_voxels.values[i]));
            field.push_back(r.field_hz.values[i]);
        }
    ASSERT_GT(shift.size(), 1000u);
    EXPECT_EQ(j["shift"]["brain_voxels"], shift.size());
    const struct {
        const char* key;
        double q;
    } kPercentiles[] = {{"p1", 1}, {"p5", 5}, {"p25", 25}, {"p50", 50}, {"p75", 75}, {"p95", 95}, {"p99", 99}};
    // Doubles written by nlohmann round-trip exactly; the two percentile codes may differ in the last bit.
    for (const auto& p : kPercentiles)
        EXPECT_NEAR(j["shift"]["percentiles"][p.key].get<double>(), reference_percentile(shift, p.q), 1e-12) << p.key;
    EXPECT_NEAR(j["shift"]["abs_p99"].get<double>(), reference_percentile(abs_shift, 99), 1e-12);
    EXPECT_DOUBLE_EQ(j["shift"]["max_abs"].get<double>(), *std::max_element(abs_shift.begin(), abs_shift.end()));
    EXPECT_NEAR(j["field_hz"]["p99"].get<double>(), reference_percentile(field, 99), 1e-9);
    size_t total = 0;
    for (const auto& c : j["shift"]["histogram"]["counts"]) total += c.get<size_t>();
    EXPECT_EQ(total, shift.size());
    // The check and the folding, as computed.
    const json& pe = j["pe_check"];
    EXPECT_EQ(pe["checked"], true);
    EXPECT_DOUBLE_EQ(pe["given"].get<double>(), r.pe_check.given);
    EXPECT_DOUBLE_EQ(pe["opposite"].get<double>(), r.pe_check.opposite);
    EXPECT_DOUBLE_EQ(pe["uncorrected"].get<double>(), r.pe_check.uncorrected);
    EXPECT_DOUBLE_EQ(pe["margin"].get<double>(), correction::kPeCheckMargin);
    EXPECT_EQ(pe["verdict"], "given sense right");
    EXPECT_EQ(pe["bins"], correction::kNmiBins);
    size_t folded = 0, piled = 0, brain = 0;
    for (size_t i = 0; i < r.brain.size(); ++i)
        if (r.brain[i]) {
            ++brain;
            folded += r.folding.mask[i] == correction::kFold;
            piled += r.folding.mask[i] == correction::kPileUp;
        }
    EXPECT_EQ(j["folding"]["brain_voxels"], brain);
    EXPECT_EQ(j["folding"]["folded"], folded);
    EXPECT_EQ(j["folding"]["piled_up"], piled);
    EXPECT_DOUBLE_EQ(j["folding"]["folded_percent"].get<double>(), 100.0 * folded / brain);
    EXPECT_GT(piled, 0u);  // the sinus at this bandwidth does squeeze the image
    ASSERT_EQ(j["acquisition"].size(), r.acquisition.size());
    EXPECT_EQ(j["acquisition"][1]["source"], r.acquisition[1].source);
    EXPECT_EQ(j["warnings"].size(), 1u);  // the command's; the sense check adds none
}

TEST(ReportRun, flipped_sidecar_gets_a_loud_warning_in_json_and_page) {
    const RunReport& r = flipped_run();
    ASSERT_EQ(r.pe_check.verdict, correction::PeVerdict::kOppositeSenseBetter);
    const json j = json::parse(report::run_json(r));
    ASSERT_EQ(j["warnings"].size(), 2u);
    EXPECT_EQ(j["warnings"][1].get<std::string>().rfind("PHASE-ENCODING SENSE LOOKS WRONG", 0), 0u);
    EXPECT_EQ(j["pe_check"]["verdict"], "opposite sense clearly better");
    const std::string page = report::run_html(r);
    EXPECT_NE(page.find("<div class=\"banner bad\">PHASE-ENCODING SENSE LOOKS WRONG"), std::string::npos);
    EXPECT_NE(page.find("<li class=\"loud\">"), std::string::npos);
    EXPECT_EQ(report::run_html(right_run()).find("banner bad"), std::string::npos);
}

TEST(ReportRun, page_is_self_contained_and_escapes_what_it_shows) {
    RunReport r = right_run();
    r.run = "run<script>alert(1)</script>";
    r.acquisition.push_back({"odd & \"quoted\"", "<b>", "x.json"});
    const std::string page = report::run_html(r);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("run&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("odd &amp; &quot;quoted&quot;"), std::string::npos);
    // Nothing fetched from anywhere: every src is a data URI.
    size_t images = 0;
    for (size_t p = page.find("src=\""); p != std::string::npos; p = page.find("src=\"", p + 1)) {
        EXPECT_EQ(page.compare(p + 5, 22, "data:image/png;base64,"), 0);
        ++images;
    }
    EXPECT_EQ(images, 18u);  // before, after, magnitude, field, shift, folding: three orientations each
    // The only URL is the SVG namespace, which names and fetches nothing.
    for (size_t p = page.find("http"); p != std::string::npos; p = page.find("http", p + 1))
        EXPECT_EQ(page.compare(p, 26, "http://www.w3.org/2000/svg"), 0) << page.substr(p, 40);
    for (const char* label : {"Hz", "voxels along -y", "Folding and pile-up", "Acquisition values used"})
        EXPECT_NE(page.find(label), std::string::npos) << label;
}

TEST(ReportRun, mismatched_volumes_are_refused_naming_them) {
    RunReport r = right_run();
    r.shift_voxels.values.pop_back();
    try {
        report::run_json(r);
        FAIL() << "a short shift map was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("shift map"), std::string::npos) << e.what();
    }
    r = right_run();
    r.magnitude.nz -= 1;
    r.magnitude.values.resize(r.magnitude.voxels());
    EXPECT_THROW(report::run_html(r), std::invalid_argument);
    r = right_run();
    r.pe_code = 7;
    EXPECT_THROW(report::run_json(r), std::invalid_argument);
}

TEST(ReportRun, index_lists_every_run_failed_sense_first) {
    const report::RunSummary good = report::summarise(right_run()), bad = report::summarise(flipped_run());
    EXPECT_FALSE(good.pe_failed);
    EXPECT_TRUE(bad.pe_failed);
    const json j = json::parse(report::run_json(right_run()));
    EXPECT_DOUBLE_EQ(good.shift_abs_p99, j["shift"]["abs_p99"].get<double>());
    EXPECT_DOUBLE_EQ(good.folded_percent, j["folding"]["folded_percent"].get<double>());
    const std::string page =
        report::index_html("Dataset & co", {{"sub-01/sub-01_report.html", good}, {"sub-02/sub-02_report.html", bad}});
    const size_t first = page.find("sub-02_task-rest_bold"), second = page.find("sub-01_task-rest_bold");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(page.find("<a href=\"sub-01/sub-01_report.html\">"), std::string::npos);
    EXPECT_NE(page.find("1 run with a phase-encoding sense that looks wrong"), std::string::npos);
    EXPECT_NE(page.find("Dataset &amp; co"), std::string::npos);
    EXPECT_NE(page.find(report::format_fixed(good.shift_abs_p99, 2)), std::string::npos);
}

}  // namespace
}  // namespace warpmender
