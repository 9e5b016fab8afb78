// Whether a series' derivatives are complete and up to date, so a rerun can skip it.
#pragma once

#include <string>
#include <vector>

#include "bids/plan.h"

namespace warpmender {
namespace bids {

struct RerunState {
    bool complete = false;
    std::string reason;  // why not: "missing \"...\"" or "\"out\" is older than \"in\""; "" when complete
};

// Complete when every output exists and none is older than any input, by
// modification time (make's rule: an output as new as its newest input is
// up to date). Inputs: the series, the field-map images and every sidecar
// that applied to them (SeriesPlan::inputs). A missing input makes the
// outputs incomplete: the series must be planned again.
RerunState rerun_state(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);
RerunState rerun_state(const SeriesPlan& plan);

}  // namespace bids
}  // namespace warpmender
