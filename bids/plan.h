// The plan of a dataset's correction: each series, its field map, the values it needs and where each came from.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bids/derivative_paths.h"
#include "bids/discovery.h"
#include "bids/memory_estimate.h"

namespace warpmender {
namespace bids {

// A value and the sidecar it came from (inherited ones included).
struct SourcedNumber {
    std::string key;  // "EchoTime1"
    double value = 0.0;
    std::string source;  // relative to BIDS_DIR
};
struct SourcedText {
    std::string key;
    std::string value;
    std::string source;
};

struct SeriesPlan {
    Series series;
    FieldMap fieldmap;
    std::string matched_by;
    // phasediff: EchoTime1/EchoTime2 of the phasediff; phase1/phase2: EchoTime of each.
    std::optional<SourcedNumber> echo_time1, echo_time2;  // seconds
    std::optional<SourcedText> units;                     // direct map: "Hz" or "rad/s"
    std::optional<SourcedNumber> effective_echo_spacing;  // seconds; the series'
    std::optional<SourcedNumber> total_readout_time;      // seconds; the series'
    SourcedText phase_encoding_direction;                 // the series'
    DerivativePaths outputs;
    MemoryEstimate memory;
    // Everything the outputs derive from: images and every sidecar that applied.
    std::vector<std::string> inputs;
};

struct Plan {
    std::string bids_dir, output_dir;
    std::vector<SeriesPlan> series;
    std::vector<Excluded> skipped;
    std::vector<Excluded> failed;
    std::vector<std::string> notes;
};

// For each selected series: its values, checked, and its outputs and memory.
// A series whose values are missing or out of range goes to `failed` with a
// reason naming the key and the sidecar (or every sidecar searched):
// - echo times: numbers of seconds in (0, 1), the second exceeding the first;
// - EffectiveEchoSpacing or TotalReadoutTime: at least one, seconds in (0, 1);
// - PhaseEncodingDirection: one of i, i-, j, j-, k, k-;
// - Units of a direct map: "Hz" or "rad/s".
// Throws Error only when output_dir is empty.
Plan make_plan(const Discovery& discovery, const std::string& output_dir);

// The dry-run text: each series with its field map, values and sources,
// outputs and memory, then the skipped and failed series with their reasons,
// then the notes. Paths relative to BIDS_DIR and OUTPUT_DIR.
std::string plan_text(const Plan& plan);

// The same as JSON, absolute paths: {"bids_dir", "output_dir", "memory_formula",
// "series": [{"run" (DerivativePaths::run), "series", "datatype", "subject", "session", "fieldmap": {"layout",
// "matched_by", "images": {...}}, "values": {name: {"value", "key", "source"}},
// (echo times as "EchoTime1"/"EchoTime2" in every layout; "key" is the sidecar's),
// "outputs": {...}, "inputs": [...], "memory": {"bytes", "mb"}}],
// "skipped": [{"series", "reason"}], "failed": [...], "notes": [...]}
nlohmann::json plan_json(const Plan& plan);

}  // namespace bids
}  // namespace warpmender
