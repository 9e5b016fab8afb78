// The demo data set: phantom, field, field-map scan, EPI truth and distorted EPI.
#include "sim/dataset.h"

#include <cmath>

namespace warpmender {
namespace sim {

std::vector<float> to_float(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

Dataset make_dataset(const DatasetParams& params) {
    const Phantom ph = make_head_phantom(params.phantom);
    const Grid& g = ph.grid;
    pe_axis(params.epi.pe_dir);  // fail before the expensive part

    Dataset d;
    d.grid = g;
    d.nt = params.epi.nt;
    d.pe_dir = params.epi.pe_dir;
    d.bandwidth_pe_hz = params.epi.bandwidth_pe_hz;
    d.echo_time_diff_ms = params.scan.echo_time_diff_ms;
    d.echo_time1_s = params.scan.echo_time1_ms * 1e-3;
    d.echo_time2_s = (params.scan.echo_time1_ms + params.scan.echo_time_diff_ms) * 1e-3;
    const PeAxis axis = pe_axis(d.pe_dir);
    const int n_pe = axis.axis == 0 ? g.nx : axis.axis == 1 ? g.ny : g.nz;
    if (params.epi.bandwidth_pe_hz > 0.0) d.effective_echo_spacing_s = 1.0 / (params.epi.bandwidth_pe_hz * n_pe);
    static const char* const kBids[] = {"i", "i-", "j", "j-", "k", "k-"};
    d.bids_pe_direction = kBids[d.pe_dir - 1];
    // The scanner shims over the brain, the region the study is about.
    d.field_hz = field_offset_hz(g, params.head_surface_field ? ph.chi_ppm : ph.chi_sinus_ppm, ph.brain, params.field);
    if (params.shim_residual_hz != 0.0) {
        const double r = params.shim_residual_hz;
        for (int z = 0; z < g.nz; ++z)
            for (int y = 0; y < g.ny; ++y) {
                const double fy = (y - 0.5 * (g.ny - 1)) / (0.5 * g.ny);
                const double fz = (z - 0.5 * (g.nz - 1)) / (0.5 * g.nz);
                const double f = r * (0.6 * fy + 0.4 * fz);
                for (int x = 0; x < g.nx; ++x) d.field_hz[g.index(x, y, z)] += f;
            }
    }
    d.shift = shift_map_voxels(d.field_hz, params.epi.bandwidth_pe_hz);

    std::vector<float> magnitude = ph.magnitude;
    std::vector<float> epi_factor;
    if (params.dephasing) {
        const std::vector<float> k = dephasing_factor(g, d.field_hz, params.scan.echo_time1_ms);
        for (std::size_t i = 0; i < magnitude.size(); ++i) magnitude[i] *= k[i];
        epi_factor = dephasing_factor(g, d.field_hz, params.epi.echo_time_ms);
    }
    FieldmapScan scan = scan_fieldmap(g, d.field_hz, magnitude, params.scan);
    d.phase = std::move(scan.phase);
    d.magnitude = std::move(scan.magnitude);

    d.truth = epi_truth_series(ph, params.epi, epi_factor);
    d.epi = distort_series(g, d.nt, d.truth, d.shift, d.pe_dir);
    d.ideal = undistort_series(g, d.nt, d.epi, d.shift, d.pe_dir);
    add_noise(d.epi, params.epi.noise, params.epi.seed);
    d.head = ph.head;
    d.brain = ph.brain;

    double best = -1.0;
    for (int z = 0; z < g.nz; ++z) {
        double sum = 0.0;
        for (std::size_t i = g.index(0, 0, z), end = g.index(0, 0, z) + static_cast<std::size_t>(g.nx) * g.ny; i < end;
             ++i)
            if (d.brain[i]) sum += std::fabs(d.shift[i]);
        if (sum > best) {
            best = sum;
            d.figure_slice = z;
        }
    }
    return d;
}

}  // namespace sim
}  // namespace warpmender
