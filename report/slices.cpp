// Drawing slices: nearest-voxel sampling at the page's scale, contours, colour maps.
#include "report/slices.h"

#include <algorithm>
#include <cmath>

namespace warpmender {
namespace report {
namespace {

// The continuous voxel coordinate (x, y, z) shown at display pixel (px, py).
struct Mapping {
    const Volume& v;
    View view;

    void voxel(int px, int py, double c[3]) const {
        const double s = view.pixels_per_mm;
        const double u_mm = (px + 0.5) / s, w_mm = (py + 0.5) / s;
        switch (view.orientation) {
            case Orientation::kAxial:
                c[0] = u_mm / v.dx - 0.5;
                c[1] = w_mm / v.dy - 0.5;
                c[2] = view.slice;
                break;
            case Orientation::kCoronal:
                c[0] = u_mm / v.dx - 0.5;
                c[1] = view.slice;
                c[2] = (v.nz - 1) - (w_mm / v.dz - 0.5);
                break;
            case Orientation::kSagittal:
                c[0] = view.slice;
                c[1] = u_mm / v.dy - 0.5;
                c[2] = (v.nz - 1) - (w_mm / v.dz - 0.5);
                break;
        }
    }

    std::size_t nearest(int px, int py) const {
        double c[3] = {0.0, 0.0, 0.0};
        voxel(px, py, c);
        const long x = std::clamp(std::lround(c[0]), 0L, static_cast<long>(v.nx - 1));
        const long y = std::clamp(std::lround(c[1]), 0L, static_cast<long>(v.ny - 1));
        const long z = std::clamp(std::lround(c[2]), 0L, static_cast<long>(v.nz - 1));
        return static_cast<std::size_t>(x + v.nx * (y + v.ny * z));
    }

    // Bilinear in the slice's plane (the slice coordinate is whole).
    double bilinear(const Volume& m, int px, int py) const {
        double c[3] = {0.0, 0.0, 0.0};
        voxel(px, py, c);
        const int n[3] = {m.nx, m.ny, m.nz};
        long lo[3];
        double w[3];
        for (int k = 0; k < 3; ++k) {
            const double p = std::clamp(c[k], 0.0, static_cast<double>(n[k] - 1));
            lo[k] = std::min(static_cast<long>(std::floor(p)), static_cast<long>(n[k] - 1));
            w[k] = p - static_cast<double>(lo[k]);
        }
        double sum = 0.0;
        for (int corner = 0; corner < 8; ++corner) {
            double weight = 1.0;
            long idx[3];
            for (int k = 0; k < 3; ++k) {
                const bool up = (corner >> k) & 1;
                weight *= up ? w[k] : 1.0 - w[k];
                idx[k] = std::min(lo[k] + (up ? 1 : 0), static_cast<long>(n[k] - 1));
            }
            if (weight == 0.0) continue;
            const float value = m.values[static_cast<std::size_t>(idx[0] + m.nx * (idx[1] + m.ny * idx[2]))];
            if (std::isfinite(value)) sum += weight * value;
        }
        return sum;
    }
};

Rgb grey(double value, double low, double high) {
    const double f = high > low && std::isfinite(value) ? std::clamp((value - low) / (high - low), 0.0, 1.0) : 0.0;
    const auto g = static_cast<std::uint8_t>(std::lround(255.0 * f));
    return {g, g, g};
}

Image blank(const Volume& v, const View& view) {
    Image img;
    view_size(v, view, &img.width, &img.height);
    img.pixels.resize(static_cast<std::size_t>(img.width) * img.height);
    return img;
}

}  // namespace

void view_size(const Volume& v, const View& view, int* width, int* height) {
    double u = 0.0, w = 0.0;
    switch (view.orientation) {
        case Orientation::kAxial:
            u = v.nx * v.dx;
            w = v.ny * v.dy;
            break;
        case Orientation::kCoronal:
            u = v.nx * v.dx;
            w = v.nz * v.dz;
            break;
        case Orientation::kSagittal:
            u = v.ny * v.dy;
            w = v.nz * v.dz;
            break;
    }
    *width = std::max(1, static_cast<int>(std::lround(u * view.pixels_per_mm)));
    *height = std::max(1, static_cast<int>(std::lround(w * view.pixels_per_mm)));
}

Image grey_slice(const Volume& v, const View& view, double low, double high, const Volume* magnitude,
                 const std::vector<double>& levels) {
    Image img = blank(v, view);
    const Mapping map{v, view};
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px)
            img.pixels[static_cast<std::size_t>(py) * img.width + px] = grey(v.values[map.nearest(px, py)], low, high);
    if (magnitude == nullptr || levels.empty()) return img;
    // A pixel is on a contour when the level lies between its value and its right or lower neighbour's.
    const Mapping mag_map{*magnitude, view};
    std::vector<double> m(img.pixels.size());
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px)
            m[static_cast<std::size_t>(py) * img.width + px] = mag_map.bilinear(*magnitude, px, py);
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px) {
            const std::size_t i = static_cast<std::size_t>(py) * img.width + px;
            for (double level : levels) {
                const bool above = m[i] > level;
                const bool right = px + 1 < img.width && (m[i + 1] > level) != above;
                const bool below = py + 1 < img.height && (m[i + img.width] > level) != above;
                if (right || below) img.pixels[i] = kContourColour;
            }
        }
    return img;
}

Rgb diverging(double value, double limit) {
    if (!std::isfinite(value)) return {0, 0, 0};
    const double t = limit > 0.0 ? std::clamp(value / limit, -1.0, 1.0) : 0.0;
    const auto fade = static_cast<std::uint8_t>(std::lround(255.0 * (1.0 - std::fabs(t))));
    return t < 0.0 ? Rgb{fade, fade, 255} : Rgb{255, fade, fade};
}

Image diverging_slice(const Volume& v, const View& view, double limit, const std::vector<std::uint8_t>& mask,
                      const Volume* underlay, double underlay_high) {
    Image img = blank(v, view);
    const Mapping map{v, view};
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px) {
            const std::size_t voxel = map.nearest(px, py);
            Rgb c;
            if (mask.empty() || mask[voxel] != 0) {
                c = diverging(v.values[voxel], limit);
            } else if (underlay != nullptr) {
                const Rgb g = grey(underlay->values[voxel], 0.0, 2.0 * underlay_high);
                c = g;
            }
            img.pixels[static_cast<std::size_t>(py) * img.width + px] = c;
        }
    return img;
}

Image folding_slice(const Volume& v, const View& view, double low, double high,
                    const std::vector<std::uint8_t>& folding) {
    Image img = blank(v, view);
    const Mapping map{v, view};
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px) {
            const std::size_t voxel = map.nearest(px, py);
            const std::uint8_t f = folding.empty() ? correction::kNoFold : folding[voxel];
            img.pixels[static_cast<std::size_t>(py) * img.width + px] = f == correction::kFold ? kFoldColour
                                                                        : f == correction::kPileUp
                                                                            ? kPileUpColour
                                                                            : grey(v.values[voxel], low, high);
        }
    return img;
}

}  // namespace report
}  // namespace warpmender
