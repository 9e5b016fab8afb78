// How one planned series is handed to the command's `correct`, and the files it names in its answer.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bids/plan.h"

namespace warpmender {
namespace bids {

// What the batch asks of every correction.
struct CorrectSettings {
    std::string method = "quality";  // the unwrapping ("quality", "multigrid", "relax"); unused by a direct map
    bool jacobian = true;            // intensity correction by the shift's Jacobian
};

// The arguments of `correct` (after the program's name) for one series, every
// value explicit so that what the plan found through inheritance is what
// is used (correct itself reads only the sidecar beside a file):
//   correct --epi SERIES --magnitude M {--phase P | --phase1 P1 --phase2 P2 | --fieldmap F --fieldmap-units U}
//           [--echo-time-diff MS] --bandwidth HZ --pe-dir DIR [--method M] [--no-jacobian] --out OUT
// and the values so derived, for the derivatives' sidecars:
//   {"EchoTimeDifference": {"Value": 2.46, "Units": "ms", "DerivedFrom": "EchoTime2 - EchoTime1"},
//    "BandwidthPerVoxel": {"Value": 30.5, "Units": "Hz", "DerivedFrom": "1 / (EffectiveEchoSpacing x 64)"},
//    "PhaseEncodingDirection": {"Value": "j-", "DerivedFrom": "PhaseEncodingDirection"}}
// The bandwidth per voxel along the phase-encoding axis is 1 / (spacing x N),
// N the series' matrix size along that axis, spacing the EffectiveEchoSpacing
// or else TotalReadoutTime / (N - 1). Numbers are written in their shortest
// form that reads back to the same double. Throws Error when the plan lacks
// what the layout needs (never for a plan make_plan accepted).
struct CorrectCall {
    std::vector<std::string> arguments;
    nlohmann::json applied = nlohmann::json::object();
};
CorrectCall correct_call(const SeriesPlan& plan, const std::string& out_dir, const CorrectSettings& settings);

// The files a finished `correct` names on standard output, one line each:
//   "corrected EPI: PATH", "field map: PATH", "shift map: PATH", "report: PATH"
// (the report line names the HTML page; its JSON is beside it, same name, .json).
// Lines it does not know are ignored; a missing one leaves its path empty.
struct CorrectOutputs {
    std::string corrected, fieldmap, shift_map, report_html, report_json;
};
CorrectOutputs parse_correct_output(const std::string& standard_output);

}  // namespace bids
}  // namespace warpmender
