// Names and folders of the derivatives.
#include "bids/derivative_paths.h"

#include <filesystem>

#include "bids/error.h"

namespace warpmender {
namespace bids {

namespace {

std::string with(const FileName& source, const std::string& desc, const std::string& suffix,
                 const std::string& extension) {
    FileName out = source;
    out.set_entity("desc", desc);
    out.suffix = suffix;
    out.extension = extension;
    return format_file_name(out);
}

}  // namespace

std::vector<std::string> DerivativePaths::all() const {
    return {corrected, corrected_sidecar, fieldmap, fieldmap_sidecar, shift_map, shift_map_sidecar};
}

std::vector<std::string> DerivativePaths::with_report() const {
    std::vector<std::string> files = all();
    files.push_back(report_html);
    files.push_back(report_json);
    return files;
}

std::string corrected_name(const FileName& source) { return with(source, "preproc", source.suffix, ".nii.gz"); }
std::string fieldmap_name(const FileName& source) { return with(source, source.suffix, "fieldmap", ".nii.gz"); }
std::string shift_map_name(const FileName& source) { return with(source, source.suffix, "shiftmap", ".nii.gz"); }
std::string report_name(const FileName& source) { return with(source, source.suffix, "report", ".html"); }

DerivativePaths derivative_paths(const std::string& output_dir, const FileName& source, const std::string& datatype) {
    const auto subject = source.entity("sub");
    if (!subject)
        throw Error("cannot name the derivatives of \"" + format_file_name(source) + "\": it has no sub- entity");
    if (datatype.empty())
        throw Error("cannot name the derivatives of \"" + format_file_name(source) + "\": no datatype folder");
    std::filesystem::path folder = std::filesystem::path(output_dir) / ("sub-" + *subject);
    if (const auto session = source.entity("ses")) folder /= "ses-" + *session;
    const std::filesystem::path figures = folder / "figures";
    folder /= datatype;

    DerivativePaths p;
    FileName bare = source;
    bare.extension.clear();
    p.run = format_file_name(bare);
    p.folder = folder.string();
    p.figures = figures.string();
    const std::string report = report_name(source);
    p.report_html = (figures / report).string();
    p.report_json = (figures / (report.substr(0, report.size() - 5) + ".json")).string();
    const auto in_folder = [&](const std::string& name) { return (folder / name).string(); };
    const auto sidecar = [&](const std::string& name) { return in_folder(name.substr(0, name.size() - 7) + ".json"); };
    const std::string corrected = corrected_name(source), field = fieldmap_name(source), shift = shift_map_name(source);
    p.corrected = in_folder(corrected);
    p.corrected_sidecar = sidecar(corrected);
    p.fieldmap = in_folder(field);
    p.fieldmap_sidecar = sidecar(field);
    p.shift_map = in_folder(shift);
    p.shift_map_sidecar = sidecar(shift);
    return p;
}

}  // namespace bids
}  // namespace warpmender
