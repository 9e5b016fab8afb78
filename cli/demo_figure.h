// The demo's figure: one axial slice before and after correction, the truth, the error left and the field.
#pragma once

#include <vector>

#include "sim/dataset.h"
#include "sim/figure.h"

namespace warpmender {
namespace host {

// Slice ds.figure_slice of the first volume, left to right:
//   "distorted", "corrected", "truth"  grey, 0 .. the truth's maximum, units "intensity (a.u.)"
//   "corrected - truth"                diverging, +-the 99th percentile of |difference| in the head
//                                      on the slice (1 when that is 0), head only, "intensity (a.u.)"
//   "field map"                        diverging, +-the largest |field| in the head, head only, "Hz"
// corrected holds the corrected series on ds.grid (at least one volume).
std::vector<sim::Panel> demo_figure_panels(const sim::Dataset& ds, const std::vector<float>& corrected);

// Zoom of the demo's figure.
constexpr int kDemoFigureZoom = 3;

}  // namespace host
}  // namespace warpmender
