// One series' derivatives, written whole or not at all.
#include "bids/derivatives.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "bids/error.h"
#include "bids/memory_estimate.h"
#include "core/atomic_file.h"
#include "core/error.h"

namespace warpmender {
namespace bids {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string uri(const std::string& bids_dir, const std::string& path) {
    return "bids:raw:" + fs::path(path).lexically_relative(bids_dir).generic_string();
}

json sources(const SeriesPlan& plan, bool with_series) {
    // SeriesPlan::inputs holds absolute paths; the dataset's root is the part before the series' relative path.
    const std::string& path = plan.series.path;
    const std::string root = path.substr(0, path.size() - plan.series.relative.size());
    json s = json::array();
    if (with_series) s.push_back(uri(root, plan.series.path));
    for (const std::string& image : plan.fieldmap.images()) s.push_back(uri(root, image));
    return s;
}

json generated_by(const Producer& p) { return json::array({{{"Name", p.name}, {"Version", p.version}}}); }

json sourced(const json& value, const std::string& source) {
    return {{"Value", value}, {"Source", source}};
}

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void write_json(const std::string& path, const json& j) {
    host::AtomicFile f(path);
    f.write(j.dump(2) + "\n");
    f.commit();
}

// Copies source into an atomic file, through gzip when compress is set.
void copy_into(const std::string& source, host::AtomicFile& out, bool compress) {
    std::ifstream in(source, std::ios::binary);
    if (!in) throw Error("cannot read \"" + source + "\"");
    std::vector<char> buffer(1 << 20);
    std::vector<unsigned char> packed(1 << 20);
    z_stream z{};
    // windowBits 15 + 16: a gzip wrapper with no name and no time, so equal inputs give equal files.
    if (compress && deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Error("cannot compress \"" + source + "\": zlib refused to start");
    struct End {
        z_stream* z;
        bool on;
        ~End() {
            if (on) deflateEnd(z);
        }
    } end{&z, compress};
    for (;;) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (in.bad()) throw Error("cannot read \"" + source + "\"");
        const bool last = got < static_cast<std::streamsize>(buffer.size());
        if (!compress) {
            out.write(buffer.data(), static_cast<size_t>(got));
        } else {
            z.next_in = reinterpret_cast<Bytef*>(buffer.data());
            z.avail_in = static_cast<uInt>(got);
            int rc = Z_OK;
            do {
                z.next_out = packed.data();
                z.avail_out = static_cast<uInt>(packed.size());
                rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
                if (rc == Z_STREAM_ERROR) throw Error("cannot compress \"" + source + "\"");
                out.write(packed.data(), packed.size() - z.avail_out);
            } while (z.avail_out == 0 || (last && rc != Z_STREAM_END));
        }
        if (last) break;
    }
}

void require_grid(const std::string& what, const std::string& path, const ImageHeader& h, const ImageHeader& series,
                  bool volumes) {
    if (h.nx != series.nx || h.ny != series.ny || h.nz != series.nz || (volumes && h.nt != series.nt))
        throw Error("the " + what + " \"" + path + "\" (" + std::to_string(h.nx) + " x " + std::to_string(h.ny) +
                    " x " + std::to_string(h.nz) + " x " + std::to_string(h.nt) + ") is not on the series' grid (" +
                    std::to_string(series.nx) + " x " + std::to_string(series.ny) + " x " + std::to_string(series.nz) +
                    " x " + std::to_string(series.nt) + ")");
}

}  // namespace

json corrected_sidecar(const SeriesPlan& plan, const CorrectCall& call, const CorrectSettings& settings,
                       const Producer& producer) {
    json acquisition = json::object();
    const auto number = [&](const std::optional<SourcedNumber>& v) {
        if (v) acquisition[v->key] = sourced(v->value, v->source);
    };
    // Two phases name their echo times "EchoTime" in two sidecars: keyed by image then.
    if (plan.fieldmap.layout == FieldMapLayout::kTwoPhases) {
        if (plan.echo_time1) acquisition["EchoTime (phase1)"] = sourced(plan.echo_time1->value, plan.echo_time1->source);
        if (plan.echo_time2) acquisition["EchoTime (phase2)"] = sourced(plan.echo_time2->value, plan.echo_time2->source);
    } else {
        number(plan.echo_time1);
        number(plan.echo_time2);
    }
    if (plan.units) acquisition["Units"] = sourced(plan.units->value, plan.units->source);
    number(plan.effective_echo_spacing);
    number(plan.total_readout_time);
    const SourcedText& pe = plan.phase_encoding_direction;
    acquisition["PhaseEncodingDirection"] = sourced(pe.value, pe.source);

    const bool direct = plan.fieldmap.layout == FieldMapLayout::kDirect;
    return {
        {"Description",
         "The series corrected for the distortion of B0 inhomogeneity with a measured field map: every volume "
         "resampled along the phase-encoding axis by the field's shift (pixel-shift method)"},
        {"Sources", sources(plan, true)},
        {"SkullStripped", false},
        {"PhaseEncodingDirection", pe.value},
        {"FieldMap", {{"Layout", layout_name(plan.fieldmap.layout)}, {"MatchedBy", plan.matched_by}}},
        {"AcquisitionValues", acquisition},
        {"AppliedValues", call.applied},
        {"CorrectionMethod", "pixel shift (Jezzard & Balaban 1995)"},
        {"UnwrappingMethod", direct ? "none (a field map in " + (plan.units ? plan.units->value : "?") + ")"
                                    : settings.method},
        {"IntensityCorrection", settings.jacobian ? "Jacobian of the shift" : "none"},
        {"GeneratedBy", generated_by(producer)},
    };
}

json fieldmap_sidecar(const SeriesPlan& plan, const Producer& producer) {
    return {{"Units", "Hz"},
            {"Description", "The field map applied to " + plan.series.name.suffix + " \"" + plan.outputs.run +
                                "\", on its grid"},
            {"Sources", sources(plan, true)},
            {"GeneratedBy", generated_by(producer)}};
}

json shift_map_sidecar(const SeriesPlan& plan, const Producer& producer) {
    return {{"Units", "voxels"},
            {"PhaseEncodingDirection", plan.phase_encoding_direction.value},
            {"Description", "The shift applied to \"" + plan.outputs.run +
                                "\" along its phase-encoding axis, in voxels, on its grid"},
            {"Sources", sources(plan, true)},
            {"GeneratedBy", generated_by(producer)}};
}

void install_image(const std::string& source, const std::string& target) {
    const bool compressed = ends_with(source, ".nii.gz");
    if (!compressed && !ends_with(source, ".nii"))
        throw Error("cannot put \"" + source + "\" at \"" + target + "\": not a NIfTI file (.nii, .nii.gz)");
    try {
        host::AtomicFile out(target, ".nii.gz");
        copy_into(source, out, !compressed);
        out.commit();
    } catch (const warpmender::Error& e) {
        throw Error(std::string(e.what()) + " (putting \"" + source + "\" at \"" + target + "\")");
    }
}

void install_derivatives(const SeriesPlan& plan, const CorrectCall& call, const CorrectSettings& settings,
                         const CorrectOutputs& produced, const Producer& producer) {
    const std::pair<const char*, const std::string*> images[] = {
        {"corrected series", &produced.corrected}, {"field map", &produced.fieldmap}, {"shift map", &produced.shift_map}};
    for (const auto& [what, path] : images) {
        if (path->empty()) throw Error(std::string("correct named no ") + what + " for \"" + plan.series.relative + "\"");
        require_grid(what, *path, read_image_header(*path), plan.memory.series, path == &produced.corrected);
    }
    const DerivativePaths& out = plan.outputs;
    std::error_code ec;
    for (const std::string& folder : {out.folder, out.figures}) {
        fs::create_directories(folder, ec);
        if (ec) throw Error("cannot create the folder \"" + folder + "\": " + ec.message());
    }
    install_image(produced.fieldmap, out.fieldmap);
    write_json(out.fieldmap_sidecar, fieldmap_sidecar(plan, producer));
    install_image(produced.shift_map, out.shift_map);
    write_json(out.shift_map_sidecar, shift_map_sidecar(plan, producer));
    if (!produced.report_html.empty()) {
        for (const auto& [from, to] : {std::pair{produced.report_json, out.report_json},
                                       std::pair{produced.report_html, out.report_html}}) {
            host::AtomicFile f(to);
            copy_into(from, f, false);
            f.commit();
        }
    }
    install_image(produced.corrected, out.corrected);
    write_json(out.corrected_sidecar, corrected_sidecar(plan, call, settings, producer));
}

}  // namespace bids
}  // namespace warpmender
