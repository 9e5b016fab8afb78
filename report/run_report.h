// The per-run report: what the command fills in, the figures derived from it, and the HTML and JSON written from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "correction/folding.h"
#include "correction/pe_check.h"

namespace warpmender {
namespace report {

// One volume: element (x, y, z) at x + nx*(y + ny*z); x fastest. Voxel
// sizes in mm (they set the aspect of the slices shown).
struct Volume {
    int nx = 0, ny = 0, nz = 0;
    double dx = 1.0, dy = 1.0, dz = 1.0;
    std::vector<float> values;

    std::size_t voxels() const {
        return static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz);
    }
};

// An acquisition value used by the run and where it came from:
//   {"EffectiveEchoSpacing", "0.00053 s", "sub-01_bold.json"}
//   {"phase-encoding code", "4 (-y)", "--pe-dir"}
struct AcquisitionValue {
    std::string name, value, source;
};

// Everything a run's report shows, all on the EPI's grid.
struct RunReport {
    std::string run;                  // the run's name, the page's title ("sub-01_task-rest_bold")
    int pe_code = 0;                  // phase-encoding code applied, 1..6
    Volume epi_before;                // mean EPI as acquired
    Volume epi_after;                 // mean EPI corrected
    Volume magnitude;                 // the field map's magnitude, brought onto the EPI's grid
    Volume field_hz;                  // field map, Hz
    Volume shift_voxels;              // shift map applied, voxels along the phase-encoding axis
    std::vector<std::uint8_t> brain;  // brain mask (voxels()); empty: every voxel counts
    bool pe_checked = false;          // false when the check was skipped (--pe-check off)
    correction::PeCheck pe_check;     // meaningful when pe_checked
    correction::Folding folding;      // mask (voxels(), or empty) and counts
    std::vector<AcquisitionValue> acquisition;
    std::vector<std::string> warnings;  // the command's own; the report adds those of the sense check
};

// Percentiles reported for the shift inside the brain.
constexpr double kShiftPercentiles[] = {1, 5, 25, 50, 75, 95, 99};
constexpr int kShiftHistogramBins = 40;

struct ShiftStatistics {
    std::size_t voxels = 0;           // finite shift values inside the brain
    std::vector<double> percentiles;  // of the signed shift, one per kShiftPercentiles
    double abs_p99 = 0.0;             // 99th percentile of |shift|
    double max_abs = 0.0;
    double mean = 0.0;
    std::vector<double> edges;        // kShiftHistogramBins + 1, evenly from -limit to +limit
    std::vector<std::size_t> counts;  // kShiftHistogramBins; values beyond the edges in the outer bins
};

// Percentile q (0..100) of values by linear interpolation between the order
// statistics (rank q/100 * (n - 1)), as numpy's default. values is reordered.
double percentile(std::vector<double>& values, double q);

// The statistics of the shift over the brain (every voxel when brain is
// empty). The histogram spans +-limit with limit = max_abs rounded up to a
// whole voxel (1 at least), so it is symmetric about no shift.
ShiftStatistics shift_statistics(const Volume& shift, const std::vector<std::uint8_t>& brain);

// The run's warnings as shown and written: the command's, then the sense
// check's own ("PHASE-ENCODING SENSE LOOKS WRONG: ..." when the opposite
// sense scores clearly better; a milder one when it is undecided).
std::vector<std::string> all_warnings(const RunReport& run);

// One line of the dataset's index.
struct RunSummary {
    std::string run;
    bool pe_checked = false;
    double pe_given = 0.0, pe_opposite = 0.0, pe_uncorrected = 0.0;
    std::string pe_verdict;  // correction::verdict_text, or "not checked"
    bool pe_failed = false;  // the opposite sense scored clearly better
    double shift_abs_p99 = 0.0;
    double folded_percent = 0.0;
    std::vector<std::string> warnings;
};

RunSummary summarise(const RunReport& run);

// Throws std::invalid_argument naming the volume when a size is below 1, a
// voxel size is not positive, a volume's values or a mask do not match the
// EPI's grid, or the code is outside 1..6.
void check_run(const RunReport& run);

// The report's JSON (pretty-printed) and HTML (one self-contained page,
// images embedded as base64 PNG, no script, no external resource).
std::string run_json(const RunReport& run);
std::string run_html(const RunReport& run);

// Both, each written atomically (report/atomic_write.h). The JSON first:
// a page never points at numbers that are not there. Throws
// std::invalid_argument (check_run) or std::runtime_error (a file).
void write_run_report(const RunReport& run, const std::string& html_path, const std::string& json_path);

}  // namespace report
}  // namespace warpmender
