// Phase-encoding sense check: both senses' corrections scored against the undistorted magnitude.
#include "correction/pe_check.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fieldmap/undistort.h"

namespace warpmender {
namespace correction {
namespace {

void check_sizes(long nx, long ny, long nz) {
    if (nx < 1 || ny < 1 || nz < 1)
        throw std::invalid_argument("the phase-encoding check got a grid of " + std::to_string(nx) + " x " +
                                    std::to_string(ny) + " x " + std::to_string(nz) +
                                    " voxels; every size must be at least 1");
}

// Linear interpolation between order statistics of values (q in 0..1, values
// not empty), found without sorting them; values is reordered.
double quantile(std::vector<float>& values, double q) {
    const double pos = q * static_cast<double>(values.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    const double w = pos - static_cast<double>(lo);
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(lo);
    std::nth_element(values.begin(), at, values.end());
    const float below = *at, above = hi == lo ? below : *std::min_element(at + 1, values.end());
    return static_cast<double>(below) * (1.0 - w) + static_cast<double>(above) * w;
}

double entropy(const std::vector<double>& counts, double total) {
    double h = 0.0;
    for (double c : counts)
        if (c > 0.0) {
            const double p = c / total;
            h -= p * std::log(p);
        }
    return h;
}

std::vector<float> undistorted(const float* epi, const double* shift, long nx, long ny, long nz, int code) {
    UndistortPlan plan;
    if (!plan.build(shift, nx, ny, nz, code))
        throw std::invalid_argument("the phase-encoding check could not build the undistortion for code " +
                                    std::to_string(code));
    const std::size_t n = static_cast<std::size_t>(nx * ny * nz);
    std::vector<double> in(epi, epi + n), out(n);
    plan.apply(in.data(), out.data());
    return std::vector<float>(out.begin(), out.end());
}

template <typename Score>
PeCheck run_check(const float* magnitude, const float* mean_epi, const double* shift, long nx, long ny, long nz,
                  int code, const std::uint8_t* mask, double margin, Score score) {
    check_sizes(nx, ny, nz);
    PeCheck r;
    r.code = code;
    r.opposite_code = opposite_pe_code(code);
    r.margin = margin;
    const std::size_t n = static_cast<std::size_t>(nx * ny * nz);
    std::vector<std::uint8_t> own;
    if (mask == nullptr) {
        own = head_mask_from_magnitude(magnitude, nx, ny, nz);
        mask = own.data();
    }
    r.mask_voxels = static_cast<std::size_t>(std::count_if(mask, mask + n, [](std::uint8_t m) { return m != 0; }));
    const std::vector<float> given = undistorted(mean_epi, shift, nx, ny, nz, code);
    const std::vector<float> opposite = undistorted(mean_epi, shift, nx, ny, nz, r.opposite_code);
    r.given = score(magnitude, given.data(), mask);
    r.opposite = score(magnitude, opposite.data(), mask);
    r.uncorrected = score(magnitude, mean_epi, mask);
    if (r.opposite - r.given >= margin)
        r.verdict = PeVerdict::kOppositeSenseBetter;
    else if (r.given - r.opposite >= margin)
        r.verdict = PeVerdict::kGivenSenseRight;
    else
        r.verdict = PeVerdict::kUndecided;
    return r;
}

}  // namespace

const char* verdict_text(PeVerdict verdict) {
    switch (verdict) {
        case PeVerdict::kGivenSenseRight: return "given sense right";
        case PeVerdict::kOppositeSenseBetter: return "opposite sense clearly better";
        case PeVerdict::kUndecided: break;
    }
    return "undecided";
}

int opposite_pe_code(int code) {
    if (code < 1 || code > 6)
        throw std::invalid_argument("phase-encoding code " + std::to_string(code) +
                                    " is not one of 1..6 (1 +x, 2 -x, 3 +y, 4 -y, 5 +z, 6 -z)");
    return code % 2 == 1 ? code + 1 : code - 1;
}

double normalized_mutual_information(const float* a, const float* b, const std::uint8_t* mask, std::size_t n,
                                     int bins) {
    if (bins < 2 || bins > 1024)
        throw std::invalid_argument("mutual information needs 2..1024 bins, not " + std::to_string(bins));
    std::vector<float> va, vb;
    for (std::size_t i = 0; i < n; ++i)
        if ((mask == nullptr || mask[i] != 0) && std::isfinite(a[i]) && std::isfinite(b[i])) {
            va.push_back(a[i]);
            vb.push_back(b[i]);
        }
    if (va.size() < 2)
        throw std::invalid_argument("mutual information needs at least 2 voxels in the mask, found " +
                                    std::to_string(va.size()));
    auto range = [](std::vector<float> v) {
        const double low = quantile(v, 0.01);
        return std::pair<double, double>(low, quantile(v, 0.99));
    };
    const auto ra = range(va), rb = range(vb);
    auto bin_of = [bins](double v, std::pair<double, double> r) {
        const double span = r.second - r.first;
        if (!(span > 0.0)) return 0;
        const double f = (v - r.first) / span * bins;
        return static_cast<int>(std::clamp(std::floor(f), 0.0, static_cast<double>(bins - 1)));
    };
    std::vector<double> joint(static_cast<std::size_t>(bins) * bins, 0.0), ha(bins, 0.0), hb(bins, 0.0);
    for (std::size_t i = 0; i < va.size(); ++i) {
        const int ia = bin_of(va[i], ra), ib = bin_of(vb[i], rb);
        joint[static_cast<std::size_t>(ia) * bins + ib] += 1.0;
        ha[ia] += 1.0;
        hb[ib] += 1.0;
    }
    const double total = static_cast<double>(va.size());
    const double hab = entropy(joint, total);
    // Two constant images: each determines the other.
    if (hab <= 0.0) return 2.0;
    return (entropy(ha, total) + entropy(hb, total)) / hab;
}

double normalized_gradient_field(const float* a, const float* b, const std::uint8_t* mask, long nx, long ny, long nz) {
    check_sizes(nx, ny, nz);
    const long n = nx * ny * nz;
    auto gradient = [&](const float* v, long i, long x, long y, long z, double g[3]) {
        const long c[3] = {x, y, z}, size[3] = {nx, ny, nz}, stride[3] = {1, nx, nx * ny};
        for (int k = 0; k < 3; ++k) {
            if (size[k] < 2) {
                g[k] = 0.0;
            } else if (c[k] == 0) {
                g[k] = static_cast<double>(v[i + stride[k]]) - v[i];
            } else if (c[k] == size[k] - 1) {
                g[k] = static_cast<double>(v[i]) - v[i - stride[k]];
            } else {
                g[k] = (static_cast<double>(v[i + stride[k]]) - v[i - stride[k]]) * 0.5;
            }
        }
    };
    // First pass: each image's mean gradient length, the scale below which a gradient counts as noise.
    double la = 0.0, lb = 0.0;
    long count = 0;
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y)
            for (long x = 0; x < nx; ++x) {
                const long i = x + nx * (y + ny * z);
                if (mask != nullptr && mask[i] == 0) continue;
                double ga[3], gb[3];
                gradient(a, i, x, y, z, ga);
                gradient(b, i, x, y, z, gb);
                const double na = std::sqrt(ga[0] * ga[0] + ga[1] * ga[1] + ga[2] * ga[2]);
                const double nb = std::sqrt(gb[0] * gb[0] + gb[1] * gb[1] + gb[2] * gb[2]);
                if (!std::isfinite(na) || !std::isfinite(nb)) continue;
                la += na;
                lb += nb;
                ++count;
            }
    if (count == 0 || n == 0) throw std::invalid_argument("the gradient measure found no voxel to score in the mask");
    const double ea = la / count, eb = lb / count;
    const double ea2 = ea > 0.0 ? ea * ea : 1.0, eb2 = eb > 0.0 ? eb * eb : 1.0;
    double sum = 0.0;
    for (long z = 0; z < nz; ++z)
        for (long y = 0; y < ny; ++y)
            for (long x = 0; x < nx; ++x) {
                const long i = x + nx * (y + ny * z);
                if (mask != nullptr && mask[i] == 0) continue;
                double ga[3], gb[3];
                gradient(a, i, x, y, z, ga);
                gradient(b, i, x, y, z, gb);
                const double dot = ga[0] * gb[0] + ga[1] * gb[1] + ga[2] * gb[2];
                const double na2 = ga[0] * ga[0] + ga[1] * ga[1] + ga[2] * ga[2];
                const double nb2 = gb[0] * gb[0] + gb[1] * gb[1] + gb[2] * gb[2];
                const double s = dot * dot / ((na2 + ea2) * (nb2 + eb2));
                if (std::isfinite(s)) sum += s;
            }
    return sum / count;
}

std::vector<std::uint8_t> head_mask_from_magnitude(const float* magnitude, long nx, long ny, long nz, int grow) {
    check_sizes(nx, ny, nz);
    const std::size_t n = static_cast<std::size_t>(nx * ny * nz);
    std::vector<float> values;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(magnitude[i]) && magnitude[i] != 0.0f) values.push_back(magnitude[i]);
    std::vector<std::uint8_t> mask(n, 0);
    if (values.empty()) return mask;
    const double level = 0.1 * quantile(values, 0.99);
    for (std::size_t i = 0; i < n; ++i) mask[i] = std::isfinite(magnitude[i]) && magnitude[i] > level ? 1 : 0;
    // Grown one voxel at a time along each axis (a cube of side 2 grow + 1).
    const long stride[3] = {1, nx, nx * ny}, size[3] = {nx, ny, nz};
    std::vector<std::uint8_t> next(n);
    for (int step = 0; step < grow; ++step)
        for (int k = 0; k < 3; ++k) {
            if (size[k] < 2) continue;
            for (long z = 0; z < nz; ++z)
                for (long y = 0; y < ny; ++y)
                    for (long x = 0; x < nx; ++x) {
                        const long i = x + nx * (y + ny * z);
                        const long c = k == 0 ? x : k == 1 ? y : z;
                        std::uint8_t m = mask[i];
                        if (c > 0) m |= mask[i - stride[k]];
                        if (c < size[k] - 1) m |= mask[i + stride[k]];
                        next[i] = m;
                    }
            mask.swap(next);
        }
    return mask;
}

PeCheck check_pe_sense(const float* magnitude, const float* mean_epi, const double* shift_voxels, long nx, long ny,
                       long nz, int code, const std::uint8_t* mask, double margin) {
    const std::size_t n = static_cast<std::size_t>(std::max(nx, 0L) * std::max(ny, 0L) * std::max(nz, 0L));
    return run_check(magnitude, mean_epi, shift_voxels, nx, ny, nz, code, mask, margin,
                     [n](const float* a, const float* b, const std::uint8_t* m) {
                         return normalized_mutual_information(a, b, m, n);
                     });
}

PeCheck check_pe_sense_gradient(const float* magnitude, const float* mean_epi, const double* shift_voxels, long nx,
                                long ny, long nz, int code, const std::uint8_t* mask, double margin) {
    return run_check(magnitude, mean_epi, shift_voxels, nx, ny, nz, code, mask, margin,
                     [nx, ny, nz](const float* a, const float* b, const std::uint8_t* m) {
                         return normalized_gradient_field(a, b, m, nx, ny, nz);
                     });
}

}  // namespace correction
}  // namespace warpmender
