// Error of a series against its truth inside a mask.
#include "sim/error_metrics.h"

#include <cmath>
#include <limits>
#include <string>

#include "core/error.h"

namespace warpmender {
namespace sim {

SeriesError series_error(const std::vector<float>& series, const std::vector<float>& truth,
                         const std::vector<std::uint8_t>& mask, int nt) {
    const std::size_t n = mask.size();
    if (nt < 1 || n == 0 || series.size() != n * static_cast<std::size_t>(nt) || truth.size() != series.size())
        throw Error("error metrics: series of " + std::to_string(series.size()) + " and truth of " +
                    std::to_string(truth.size()) + " values do not make " + std::to_string(nt) + " volumes of a " +
                    std::to_string(n) + "-voxel mask");
    SeriesError e;
    e.volumes = nt;
    for (std::size_t i = 0; i < n; ++i) e.voxels += mask[i] != 0;
    if (e.voxels == 0) return e;

    double sum_truth = 0.0, sum_sq = 0.0, sum_abs = 0.0;
    for (int t = 0; t < nt; ++t) {
        const float* s = series.data() + n * static_cast<std::size_t>(t);
        const float* r = truth.data() + n * static_cast<std::size_t>(t);
        for (std::size_t i = 0; i < n; ++i) {
            if (!mask[i]) continue;
            const double d = static_cast<double>(s[i]) - static_cast<double>(r[i]);
            sum_truth += r[i];
            sum_sq += d * d;
            sum_abs += std::fabs(d);
        }
    }
    const double count = static_cast<double>(e.voxels) * nt;
    e.mean_truth = sum_truth / count;
    // NaN differences would compare false everywhere and make a broken result look perfect.
    e.rms = std::isnan(sum_sq) ? std::numeric_limits<double>::infinity() : std::sqrt(sum_sq / count);
    e.mean_abs = std::isnan(sum_abs) ? std::numeric_limits<double>::infinity() : sum_abs / count;
    if (e.mean_truth != 0.0) {
        e.rms_relative = e.rms / std::fabs(e.mean_truth);
        e.mean_abs_relative = e.mean_abs / std::fabs(e.mean_truth);
    }
    return e;
}

}  // namespace sim
}  // namespace warpmender
