// The demo's figure panels: windows and colour maps chosen so that the error left by the correction shows.
#include "cli/demo_figure.h"

#include <algorithm>
#include <cmath>

#include "core/error.h"

namespace warpmender {
namespace host {

std::vector<sim::Panel> demo_figure_panels(const sim::Dataset& ds, const std::vector<float>& corrected) {
    const sim::Grid& g = ds.grid;
    const std::size_t n = g.voxels();
    if (corrected.size() < n || ds.truth.size() < n || ds.head.size() != n)
        throw Error("demo figure: the corrected series has " + std::to_string(corrected.size()) +
                    " values, not a volume of " + std::to_string(n));
    const int z = ds.figure_slice;
    double hi = 0.0;
    for (float v : ds.truth) hi = std::max(hi, static_cast<double>(v));
    double fmax = 1.0;
    for (std::size_t i = 0; i < n; ++i)
        if (ds.head[i]) fmax = std::max(fmax, std::fabs(ds.field_hz[i]));

    // The difference of the first volumes; its window from the slice shown, so that a few voxels at the
    // cavity's edge do not wash out the rest.
    std::vector<float> difference(n);
    for (std::size_t i = 0; i < n; ++i) difference[i] = corrected[i] - ds.truth[i];
    std::vector<double> magnitudes;
    for (std::size_t i = g.index(0, 0, z); i < g.index(0, 0, z + 1); ++i)
        if (ds.head[i] && std::isfinite(difference[i])) magnitudes.push_back(std::fabs(difference[i]));
    double dmax = 0.0;
    if (!magnitudes.empty()) {
        const auto at = magnitudes.begin() + static_cast<std::ptrdiff_t>(0.99 * (magnitudes.size() - 1));
        std::nth_element(magnitudes.begin(), at, magnitudes.end());
        dmax = *at;
    }
    if (!(dmax > 0.0)) dmax = 1.0;

    const std::string intensity = "intensity (a.u.)";
    std::vector<sim::Panel> panels = {
        sim::axial_panel(g, ds.epi, z, 0, "distorted", sim::PanelStyle::grey, 0.0, hi),
        sim::axial_panel(g, corrected, z, 0, "corrected", sim::PanelStyle::grey, 0.0, hi),
        sim::axial_panel(g, ds.truth, z, 0, "truth", sim::PanelStyle::grey, 0.0, hi),
        sim::axial_panel(g, difference, z, 0, "corrected - truth", sim::PanelStyle::diverging, -dmax, dmax, ds.head),
        sim::axial_panel(g, ds.field_hz, z, 0, "field map", sim::PanelStyle::diverging, -fmax, fmax, ds.head),
    };
    for (int k = 0; k < 4; ++k) panels[k].units = intensity;
    panels[4].units = "Hz";
    return panels;
}

}  // namespace host
}  // namespace warpmender
