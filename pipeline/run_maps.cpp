// The maps a correction run makes beside the plug-in, as host documents.
#include "pipeline/run_maps.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/error.h"
#include "core/fresh_memory.h"
#include "correction/jacobian.h"

namespace warpmender {
namespace pipeline {

namespace {

std::string source_of(const Document& doc) { return doc.source_path.empty() ? doc.fmr.FileName : doc.source_path; }

size_t series_volumes(const Document& series) { return series.float_volumes.size() + series.int_volumes.size(); }

size_t voxels_of(const Document& doc) {
    return static_cast<size_t>(doc.fmr.ResolutionX) * static_cast<size_t>(doc.fmr.ResolutionY) *
           static_cast<size_t>(doc.fmr.NrOfSlices);
}

void require_same_voxels(const Document& a, const Document& b) {
    if (a.fmr.ResolutionX != b.fmr.ResolutionX || a.fmr.ResolutionY != b.fmr.ResolutionY ||
        a.fmr.NrOfSlices != b.fmr.NrOfSlices)
        throw Error("\"" + source_of(a) + "\" (" + std::to_string(a.fmr.ResolutionX) + " x " +
                    std::to_string(a.fmr.ResolutionY) + " x " + std::to_string(a.fmr.NrOfSlices) + ") and \"" +
                    source_of(b) + "\" (" + std::to_string(b.fmr.ResolutionX) + " x " +
                    std::to_string(b.fmr.ResolutionY) + " x " + std::to_string(b.fmr.NrOfSlices) +
                    ") must share a grid");
}

// The correction room speaks std::invalid_argument; the command speaks Error.
template <typename F>
auto translated(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::invalid_argument& e) {
        throw Error(e.what());
    }
}

}  // namespace

std::optional<correction::WorldGrid> world_grid_of(const Document& doc) {
    if (!doc.nifti_geometry) return std::nullopt;
    correction::WorldGrid g;
    g.nx = doc.fmr.ResolutionX;
    g.ny = doc.fmr.ResolutionY;
    g.nz = doc.fmr.NrOfSlices;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) g.affine[r][c] = doc.nifti_geometry->world_mm[r][c];
    return g;
}

std::vector<double> volume_values(const Document& doc, int volume) {
    const size_t n = voxels_of(doc);
    std::vector<double> out(n);
    if (volume < static_cast<int>(doc.float_volumes.size())) {
        const host::FloatVolume& v = doc.float_volumes[static_cast<size_t>(volume)];
        for (size_t i = 0; i < n; ++i) out[i] = v[i];
    } else if (volume < static_cast<int>(doc.int_volumes.size())) {
        const host::IntVolume& v = doc.int_volumes[static_cast<size_t>(volume)];
        for (size_t i = 0; i < n; ++i) out[i] = v[i];
    } else {
        throw Error("\"" + source_of(doc) + "\" has no volume " + std::to_string(volume + 1));
    }
    return out;
}

Document map_document(const Document& like, const std::string& file_name, const std::vector<double>& values) {
    if (values.size() != voxels_of(like))
        throw Error("a map of " + std::to_string(values.size()) + " values does not fit the grid of \"" +
                    source_of(like) + "\"");
    if (file_name.size() >= sizeof like.fmr.FileName)
        throw Error("the name \"" + file_name + "\" is longer than " + std::to_string(sizeof like.fmr.FileName - 1) +
                    " characters");
    Document d;
    d.type = host::kFmr;
    d.fmr = like.fmr;
    d.position = like.position;
    d.nifti_geometry = like.nifti_geometry;
    std::memset(d.fmr.FileName, 0, sizeof d.fmr.FileName);
    std::memcpy(d.fmr.FileName, file_name.data(), file_name.size());
    std::memset(d.fmr.LoadAMRFile, 0, sizeof d.fmr.LoadAMRFile);
    d.fmr.NrOfVolumes = 1;
    d.fmr.DataType = 2;
    d.float_volumes.emplace_back(values.begin(), values.end());
    d.refresh_pointers();
    return d;
}

std::vector<double> phase_in_radians(const Document& phase, bool in_radians, correction::PhaseScale* found) {
    std::vector<double> v = volume_values(phase);
    correction::PhaseScale scale = correction::PhaseScale::kRadians;
    if (!in_radians)
        scale = translated([&] { return correction::detect_phase_scale(v.data(), v.size(), source_of(phase)); });
    const double k = correction::radians_per_unit(scale);
    if (k != 1.0)
        for (double& x : v) x *= k;
    if (found) *found = scale;
    return v;
}

void mask_by_magnitude(std::vector<double>& values, const Document& magnitude) {
    const std::vector<double> m = volume_values(magnitude);
    if (m.size() != values.size())
        throw Error("the magnitude \"" + source_of(magnitude) + "\" is not on the grid of the map it masks");
    for (size_t i = 0; i < values.size(); ++i)
        if (!(m[i] > correction::kMaskThreshold)) values[i] = 0.0;
}

std::vector<double> two_echo_phase_difference(const Document& phase1, const Document& phase2) {
    require_same_voxels(phase1, phase2);
    const std::vector<double> p1 = phase_in_radians(phase1, false), p2 = phase_in_radians(phase2, false);
    std::vector<double> out(p1.size());
    correction::phase_difference(p1.data(), p2.data(), nullptr, nullptr, p1.size(), out.data());
    return out;
}

std::vector<double> unwrapped_cycles(const std::vector<double>& radians, const Document& magnitude,
                                     QualityUnwrapInfo* info) {
    if (radians.size() != voxels_of(magnitude))
        throw Error("the magnitude \"" + source_of(magnitude) + "\" is not on the grid of the phase");
    const int dims[3] = {magnitude.fmr.ResolutionX, magnitude.fmr.ResolutionY, magnitude.fmr.NrOfSlices};
    const std::vector<double> weights = volume_values(magnitude);
    std::vector<double> out(radians.size());
    if (!quality_unwrap(radians.data(), weights.data(), dims, out.data(), info))
        throw Error("the phase of " + std::to_string(radians.size()) + " voxels cannot be unwrapped by quality");
    const double turn = 2.0 * M_PI;
    for (double& x : out) x /= turn;
    mask_by_magnitude(out, magnitude);
    return out;
}

std::vector<double> field_in_hertz(const Document& fieldmap, const std::optional<std::string>& units,
                                   const std::string& units_source, const Document& magnitude) {
    require_same_voxels(fieldmap, magnitude);
    std::vector<double> v = volume_values(fieldmap);
    translated([&] { correction::field_to_hertz(v.data(), v.size(), units, units_source); });
    mask_by_magnitude(v, magnitude);
    return v;
}

correction::MagnitudeScale judge_magnitude(const Document& magnitude) {
    std::vector<float> all;
    for (const auto& v : magnitude.float_volumes) all.insert(all.end(), v.begin(), v.end());
    for (const auto& v : magnitude.int_volumes) all.insert(all.end(), v.begin(), v.end());
    return correction::judge_magnitude_scale(all.data(), all.size());
}

void rescale_magnitude(Document& magnitude) {
    if (!magnitude.int_volumes.empty())
        throw Error("the 16-bit magnitude \"" + source_of(magnitude) + "\" cannot be rescaled; give it as float");
    // One range over all volumes, as --rescale-magnitude: gather, rescale, scatter.
    std::vector<float> all;
    for (const auto& v : magnitude.float_volumes) all.insert(all.end(), v.begin(), v.end());
    correction::rescale_magnitude(all.data(), all.size());
    size_t at = 0;
    for (auto& v : magnitude.float_volumes) {
        std::memcpy(v.data(), all.data() + at, v.size() * sizeof(float));
        at += v.size();
    }
}

std::vector<double> carry_map(const std::vector<double>& values, const correction::WorldGrid& from,
                              const correction::WorldGrid& to) {
    std::vector<double> out(to.voxels());
    translated([&] { correction::resample_to_grid(from, values.data(), to, out.data()); });
    return out;
}

std::vector<float> mean_volume(const Document& series) {
    const size_t n = voxels_of(series);
    std::vector<double> sum(n, 0.0);
    // Each voxel's sum in volume order, as one loop would take it; the voxels in parts, one per core.
    const double bytes = static_cast<double>(n) * 4.0 * static_cast<double>(series_volumes(series));
    run_in_parts(static_cast<long>(n), memory_parts_for(bytes), [&](int, long first, long last) {
        for (const auto& v : series.float_volumes)
            for (long i = first; i < last; ++i) sum[i] += v[i];
        for (const auto& v : series.int_volumes)
            for (long i = first; i < last; ++i) sum[i] += v[i];
    });
    const double nt = static_cast<double>(series_volumes(series));
    std::vector<float> mean(n, 0.0f);
    if (nt > 0)
        for (size_t i = 0; i < n; ++i) mean[i] = static_cast<float>(sum[i] / nt);
    return mean;
}

std::vector<float> apply_intensity_correction(Document& series, const std::vector<double>& jacobian) {
    const size_t n = voxels_of(series);
    if (jacobian.size() != n)
        throw Error("the intensity correction does not fit the grid of \"" + source_of(series) + "\"");
    if (!series.int_volumes.empty()) {
        for (const auto& v : series.int_volumes) series.float_volumes.emplace_back(v.begin(), v.end());
        series.int_volumes.clear();
        series.int_volumes.shrink_to_fit();
        series.fmr.DataType = 2;
    }
    std::vector<double> sum(n, 0.0);
    const double bytes = static_cast<double>(n) * 4.0 * static_cast<double>(series.float_volumes.size());
    run_in_parts(static_cast<long>(n), memory_parts_for(bytes), [&](int, long first, long last) {
        for (auto& v : series.float_volumes) {
            correction::apply_jacobian(v.data() + first, last - first, 1, jacobian.data() + first);
            for (long i = first; i < last; ++i) sum[i] += v[i];
        }
    });
    series.refresh_pointers();
    const double nt = static_cast<double>(series.float_volumes.size());
    std::vector<float> mean(n, 0.0f);
    if (nt > 0)
        for (size_t i = 0; i < n; ++i) mean[i] = static_cast<float>(sum[i] / nt);
    return mean;
}

}  // namespace pipeline
}  // namespace warpmender
