// The run's HTML page: slices, maps with colour bars, the shift's histogram, the checks, the values used.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "report/html_text.h"
#include "formats/png_image.h"
#include "report/run_report.h"
#include "report/slices.h"

namespace warpmender {
namespace report {
namespace {

// The longest side of the field of view, in pixels on the page.
constexpr double kPanelPixels = 300.0;

const char* kCodeAxis[] = {"", "+x", "-x", "+y", "-y", "+z", "-z"};

std::string num(double v, int digits) { return format_fixed(v, digits); }

std::vector<double> finite_values(const Volume& v, const std::vector<std::uint8_t>& mask) {
    std::vector<double> out;
    for (std::size_t i = 0; i < v.values.size(); ++i)
        if ((mask.empty() || mask[i] != 0) && std::isfinite(v.values[i])) out.push_back(v.values[i]);
    return out;
}

std::vector<double> nonzero_values(const Volume& v) {
    std::vector<double> out;
    for (float x : v.values)
        if (std::isfinite(x) && x != 0.0f) out.push_back(x);
    return out;
}

double nice_up(double raw) {
    if (!(raw > 0.0) || !std::isfinite(raw)) return 1.0;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (raw <= m * p * (1.0 + 1e-9)) return m * p;
    return 10.0 * p;
}

double symmetric_limit(std::vector<double> values) {
    if (values.empty()) return 1.0;
    return nice_up(std::max(std::fabs(percentile(values, 1.0)), std::fabs(percentile(values, 99.0))));
}

std::string label_number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Each orientation shows the slice where the brain is shifted most (the
// largest sum of |shift| over its brain voxels): where the correction
// matters, and where a wrong sense shows. The grid's centre without any shift.
struct Views {
    View axial, coronal, sagittal;
};

Views views_for(const Volume& v, const Volume& shift, const std::vector<std::uint8_t>& brain) {
    std::vector<double> sx(static_cast<std::size_t>(v.nx)), sy(static_cast<std::size_t>(v.ny)),
        sz(static_cast<std::size_t>(v.nz));
    for (int z = 0; z < v.nz; ++z)
        for (int y = 0; y < v.ny; ++y)
            for (int x = 0; x < v.nx; ++x) {
                const std::size_t i = static_cast<std::size_t>(x + v.nx * (y + v.ny * z));
                if ((!brain.empty() && brain[i] == 0) || !std::isfinite(shift.values[i])) continue;
                const double a = std::fabs(shift.values[i]);
                sx[static_cast<std::size_t>(x)] += a;
                sy[static_cast<std::size_t>(y)] += a;
                sz[static_cast<std::size_t>(z)] += a;
            }
    auto most = [](const std::vector<double>& sums) {
        const auto it = std::max_element(sums.begin(), sums.end());
        return *it > 0.0 ? static_cast<int>(it - sums.begin()) : static_cast<int>(sums.size() / 2);
    };
    const double longest = std::max({v.nx * v.dx, v.ny * v.dy, v.nz * v.dz});
    const double scale = kPanelPixels / longest;
    return {{Orientation::kAxial, most(sz), scale},
            {Orientation::kCoronal, most(sy), scale},
            {Orientation::kSagittal, most(sx), scale}};
}

std::string img(const Image& image, const std::string& alt) {
    return "<img alt=\"" + html_escape(alt) + "\" width=\"" + std::to_string(image.width) + "\" height=\"" +
           std::to_string(image.height) + "\" src=\"" + png_data_uri(image) + "\">";
}

std::string figure(const Image& image, const std::string& caption) {
    return "<figure>" + img(image, caption) + "<figcaption>" + html_escape(caption) + "</figcaption></figure>";
}

std::string view_caption(const View& v) {
    switch (v.orientation) {
        case Orientation::kAxial: return "axial, z = " + std::to_string(v.slice) + " (x right, y down)";
        case Orientation::kCoronal: return "coronal, y = " + std::to_string(v.slice) + " (x right, z up)";
        case Orientation::kSagittal: return "sagittal, x = " + std::to_string(v.slice) + " (y right, z up)";
    }
    return "";
}

std::string colour_bar(double limit, const std::string& units) {
    return "<div class=\"bar\"><span>" + label_number(-limit) + "</span><span class=\"ramp\"></span><span>+" +
           label_number(limit) + "</span><span><b>" + html_escape(units) + "</b> (0 white)</span></div>";
}

std::string histogram_svg(const ShiftStatistics& st) {
    const double w = 560, h = 230, left = 56, right = 16, top = 14, bottom = 44;
    const double pw = w - left - right, ph = h - top - bottom;
    std::size_t most = 1;
    for (std::size_t c : st.counts) most = std::max(most, c);
    const double lo = st.edges.front(), hi = st.edges.back();
    auto xpos = [&](double v) { return left + (v - lo) / (hi - lo) * pw; };
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(w, 0) + "\" height=\"" + num(h, 0) +
                    "\" role=\"img\" aria-label=\"histogram of the shift inside the brain\" "
                    "style=\"font: 12px sans-serif\">";
    s += "<rect x=\"" + num(left, 0) + "\" y=\"" + num(top, 0) + "\" width=\"" + num(pw, 0) + "\" height=\"" +
         num(ph, 0) + "\" fill=\"#fafbfc\" stroke=\"#c8ccd4\"/>";
    const double bw = pw / static_cast<double>(st.counts.size());
    for (std::size_t b = 0; b < st.counts.size(); ++b) {
        const double bh = ph * static_cast<double>(st.counts[b]) / static_cast<double>(most);
        s += "<rect x=\"" + num(left + b * bw + 0.5, 1) + "\" y=\"" + num(top + ph - bh, 1) + "\" width=\"" +
             num(std::max(bw - 1.0, 0.5), 1) + "\" height=\"" + num(bh, 1) + "\" fill=\"#4a78c2\"/>";
    }
    // The 1st, 50th and 99th percentiles as dashed lines.
    const struct {
        std::size_t index;
        const char* name;
        double dy;
    } marks[] = {{0, "p1", 12}, {3, "p50", 26}, {6, "p99", 40}};
    for (const auto& m : marks) {
        if (m.index >= st.percentiles.size()) continue;
        const double x = xpos(st.percentiles[m.index]);
        s += "<line x1=\"" + num(x, 1) + "\" x2=\"" + num(x, 1) + "\" y1=\"" + num(top, 0) + "\" y2=\"" +
             num(top + ph, 0) + "\" stroke=\"#c0392b\" stroke-dasharray=\"4 3\"/>";
        s +=
            "<text x=\"" + num(x + 3, 1) + "\" y=\"" + num(top + m.dy, 0) + "\" fill=\"#c0392b\">" + m.name + "</text>";
    }
    for (int t = 0; t <= 4; ++t) {
        const double v = lo + (hi - lo) * t / 4.0;
        const double x = xpos(v);
        s += "<line x1=\"" + num(x, 1) + "\" x2=\"" + num(x, 1) + "\" y1=\"" + num(top + ph, 0) + "\" y2=\"" +
             num(top + ph + 5, 0) + "\" stroke=\"#555\"/>";
        s += "<text x=\"" + num(x, 1) + "\" y=\"" + num(top + ph + 18, 0) + "\" text-anchor=\"middle\">" +
             label_number(v) + "</text>";
    }
    s += "<text x=\"" + num(left + pw / 2, 0) + "\" y=\"" + num(h - 6, 0) +
         "\" text-anchor=\"middle\">shift (voxels along the phase-encoding axis)</text>";
    s += "<text x=\"" + num(left - 6, 0) + "\" y=\"" + num(top + 10, 0) + "\" text-anchor=\"end\">" +
         std::to_string(most) + "</text>";
    s += "<text x=\"" + num(left - 6, 0) + "\" y=\"" + num(top + ph, 0) + "\" text-anchor=\"end\">0</text>";
    s += "<text transform=\"translate(14 " + num(top + ph / 2, 0) +
         ") rotate(-90)\" text-anchor=\"middle\">voxels</text>";
    s += "</svg>";
    return s;
}

std::string row(const std::string& label, const std::vector<std::string>& figures) {
    std::string s = "<div class=\"row\"><div class=\"rowlabel\">" + html_escape(label) + "</div>";
    for (const std::string& f : figures) s += f;
    return s + "</div>";
}

std::string card(const std::string& key, const std::string& value) {
    return "<div class=\"card\"><div class=\"k\">" + html_escape(key) + "</div><div class=\"v\">" + html_escape(value) +
           "</div></div>";
}

std::string pe_banner(const RunReport& run) {
    if (!run.pe_checked) return "<div class=\"banner warn\">Phase-encoding sense: not checked for this run.</div>";
    const correction::PeCheck& c = run.pe_check;
    const std::string detail = "<div class=\"detail\">Normalised mutual information with the field map's "
                               "magnitude: given sense " +
                               std::to_string(c.code) + " (" + kCodeAxis[c.code] + ") " + num(c.given, 4) +
                               ", opposite sense " + std::to_string(c.opposite_code) + " (" +
                               kCodeAxis[c.opposite_code] + ") " + num(c.opposite, 4) + ", uncorrected " +
                               num(c.uncorrected, 4) + "; margin " + num(c.margin, 3) + ".</div>";
    switch (c.verdict) {
        case correction::PeVerdict::kGivenSenseRight:
            return "<div class=\"banner ok\">Phase-encoding sense confirmed by the data." + detail + "</div>";
        case correction::PeVerdict::kOppositeSenseBetter:
            return "<div class=\"banner bad\">PHASE-ENCODING SENSE LOOKS WRONG: the opposite sense matches the "
                   "undistorted magnitude clearly better. This correction most likely doubled the distortion." +
                   detail + "</div>";
        case correction::PeVerdict::kUndecided: break;
    }
    return "<div class=\"banner warn\">Phase-encoding sense: undecided (the senses score within the margin)." + detail +
           "</div>";
}

}  // namespace

std::string run_html(const RunReport& run) {
    check_run(run);
    const Volume& before = run.epi_before;
    const Views vw = views_for(before, run.shift_voxels, run.brain);
    const View all[3] = {vw.axial, vw.coronal, vw.sagittal};
    const ShiftStatistics st = shift_statistics(run.shift_voxels, run.brain);
    const std::vector<std::string> warnings = all_warnings(run);

    // Windows: the EPI's from its uncorrected values, the same for before and after.
    std::vector<double> epi_values = finite_values(before, run.brain);
    const double epi_high = epi_values.empty() ? 1.0 : percentile(epi_values, 99.5);
    std::vector<double> mag_values = nonzero_values(run.magnitude);
    const double mag_p99 = mag_values.empty() ? 1.0 : percentile(mag_values, 99.0);
    // Two contours: the head's outline and the inner tissue boundaries.
    const std::vector<double> levels = {0.15 * mag_p99, 0.5 * mag_p99};
    const double field_limit = symmetric_limit(finite_values(run.field_hz, run.brain));
    const double shift_limit = symmetric_limit(finite_values(run.shift_voxels, run.brain));

    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<link rel=\"icon\" href=\"data:,\">";
    h += "<title>" + html_escape(run.run) + " - warpmender report</title><style>" + page_style() +
         "</style></head><body><main>\n";
    h += "<header><h1>Distortion correction: " + html_escape(run.run) +
         "</h1><div class=\"sub\">warpmender, "
         "field-map (pixel-shift) correction along the phase-encoding axis " +
         std::to_string(run.pe_code) + " (" + kCodeAxis[run.pe_code] + "); grid " + std::to_string(before.nx) + " x " +
         std::to_string(before.ny) + " x " + std::to_string(before.nz) + " of " + num(before.dx, 2) + " x " +
         num(before.dy, 2) + " x " + num(before.dz, 2) + " mm</div></header>\n";
    h += pe_banner(run) + "\n";
    h += "<div class=\"cards\">" +
         card("phase-encoding", std::to_string(run.pe_code) + " (" + kCodeAxis[run.pe_code] + ")") +
         card("|shift|, 99th percentile", num(st.abs_p99, 2) + " voxels") +
         card("largest |shift|", num(st.max_abs, 2) + " voxels") +
         card("folded", num(run.folding.folded_percent, 2) + " %") +
         card("piled up > " + label_number(run.folding.pile_up_factor) + "x",
              num(run.folding.piled_up_percent, 2) + " %") +
         card("warnings", std::to_string(warnings.size())) + "</div>\n";

    h += "<section><h2>Before and after correction</h2><p class=\"note\">Mean EPI, same grey window "
         "(0 to the 99.5th percentile before correction). <span style=\"color:rgb(255,70,40)\">Red-orange "
         "lines</span>: contours of the field map's magnitude (at 15% and 50% of its 99th percentile), which "
         "carries no EPI distortion; after a good correction the EPI's edges follow them.</p>";
    std::vector<std::string> f_before, f_after, f_mag;
    for (const View& v : all) {
        f_before.push_back(figure(grey_slice(before, v, 0.0, epi_high, &run.magnitude, levels), view_caption(v)));
        f_after.push_back(figure(grey_slice(run.epi_after, v, 0.0, epi_high, &run.magnitude, levels), view_caption(v)));
        f_mag.push_back(figure(grey_slice(run.magnitude, v, 0.0, mag_p99, nullptr, {}), view_caption(v)));
    }
    h += row("before", f_before) + row("after", f_after) + row("field-map magnitude", f_mag) + "</section>\n";

    h += "<section><h2>Field map and shift map</h2><p class=\"note\">Inside the brain mask; outside it the "
         "magnitude in dim grey.</p>";
    std::vector<std::string> f_field, f_shift;
    for (const View& v : all) {
        f_field.push_back(
            figure(diverging_slice(run.field_hz, v, field_limit, run.brain, &run.magnitude, mag_p99), view_caption(v)));
        f_shift.push_back(figure(diverging_slice(run.shift_voxels, v, shift_limit, run.brain, &run.magnitude, mag_p99),
                                 view_caption(v)));
    }
    h += row("field (Hz)", f_field) + colour_bar(field_limit, "Hz");
    h +=
        row("shift (voxels)", f_shift) + colour_bar(shift_limit, "voxels along " + std::string(kCodeAxis[run.pe_code]));
    h += "</section>\n";

    h += "<section><h2>Shift inside the brain</h2><div class=\"flex\">" + histogram_svg(st) +
         "<table><tr><th>percentile</th><th>shift (voxels)</th></tr>";
    for (std::size_t i = 0; i < st.percentiles.size(); ++i)
        h += "<tr><td>" + label_number(kShiftPercentiles[i]) + "th</td><td class=\"num\">" + num(st.percentiles[i], 3) +
             "</td></tr>";
    h += "<tr><td>|shift|, 99th</td><td class=\"num\">" + num(st.abs_p99, 3) + "</td></tr>";
    h += "<tr><td>mean</td><td class=\"num\">" + num(st.mean, 3) + "</td></tr>";
    h += "<tr><td>voxels</td><td class=\"num\">" + std::to_string(st.voxels) + "</td></tr></table></div></section>\n";

    const correction::Folding& fo = run.folding;
    h += "<section><h2>Folding and pile-up</h2><p class=\"note\">Where the sampling positions fold over (their "
         "derivative along the phase-encoding axis is not positive) or crowd together (more than " +
         label_number(fo.pile_up_factor) + " voxels' content in one), no correction restores the signal.</p>";
    std::vector<std::string> f_fold;
    for (const View& v : all)
        f_fold.push_back(figure(folding_slice(run.epi_after, v, 0.0, epi_high, fo.mask), view_caption(v)));
    h += row("after", f_fold);
    h += "<div class=\"legend\"><span class=\"sw\" style=\"background:rgb(230,20,20)\"></span>fold: " +
         std::to_string(fo.folded) + " voxels, " + num(fo.folded_percent, 2) + "% of the brain" +
         "<span class=\"sw\" style=\"background:rgb(255,165,0)\"></span>pile-up: " + std::to_string(fo.piled_up) +
         " voxels, " + num(fo.piled_up_percent, 2) + "% (brain: " + std::to_string(fo.brain_voxels) +
         " voxels)</div></section>\n";

    h += "<section><h2>Phase-encoding check</h2>";
    if (run.pe_checked) {
        const correction::PeCheck& c = run.pe_check;
        const double best = std::max({c.given, c.opposite, c.uncorrected});
        auto line = [&](const std::string& what, const std::string& code, double score) {
            return std::string("<tr") + (score == best ? " class=\"best\"" : "") + "><td>" + what + "</td><td>" + code +
                   "</td><td class=\"num\">" + num(score, 4) + "</td></tr>";
        };
        h += "<p class=\"note\">The mean EPI corrected with each sense, scored against the field map's magnitude "
             "by normalised mutual information ((H(A) + H(B)) / H(A, B), " +
             std::to_string(correction::kNmiBins) + " x " + std::to_string(correction::kNmiBins) + " bins, over " +
             std::to_string(c.mask_voxels) +
             " voxels of the head): 1 for unrelated images, higher the better they match.</p>";
        h += "<table><tr><th>EPI</th><th>code</th><th>NMI</th></tr>" +
             line("corrected with the given sense", std::to_string(c.code) + " (" + kCodeAxis[c.code] + ")", c.given) +
             line("corrected with the opposite sense",
                  std::to_string(c.opposite_code) + " (" + kCodeAxis[c.opposite_code] + ")", c.opposite) +
             line("uncorrected", "-", c.uncorrected) + "</table>";
        h += "<p>Opposite minus given: <b>" + num(c.opposite - c.given, 4) + "</b>; margin " + num(c.margin, 3) +
             "; verdict: <b>" + html_escape(correction::verdict_text(c.verdict)) + "</b>.</p>";
    } else {
        h += "<p>Not checked for this run.</p>";
    }
    h += "</section>\n";

    h += "<section><h2>Acquisition values used</h2><table><tr><th>value</th><th></th><th>from</th></tr>";
    for (const AcquisitionValue& a : run.acquisition)
        h += "<tr><td>" + html_escape(a.name) + "</td><td><b>" + html_escape(a.value) + "</b></td><td>" +
             html_escape(a.source) + "</td></tr>";
    if (run.acquisition.empty()) h += "<tr><td colspan=\"3\">none recorded</td></tr>";
    h += "</table></section>\n";

    h += "<section><h2>Warnings</h2>";
    if (warnings.empty()) {
        h += "<p>None.</p>";
    } else {
        h += "<ul class=\"warnings\">";
        for (const std::string& w : warnings)
            h += std::string("<li") + (w.rfind("PHASE-ENCODING SENSE LOOKS WRONG", 0) == 0 ? " class=\"loud\"" : "") +
                 ">" + html_escape(w) + "</li>";
        h += "</ul>";
    }
    h += "</section>\n</main></body></html>\n";
    return h;
}

}  // namespace report
}  // namespace warpmender
