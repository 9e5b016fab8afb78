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

std::string corrected_name(const FileName& source) { return with(source, "preproc", source.suffix, ".nii.gz"); }
std::string fieldmap_name(const FileName& source) { return with(source, source.suffix, "fieldmap", ".nii.gz"); }
std::string shift_map_name(const FileName& source) { return with(source, source.suffix, "shiftmap", ".nii.gz"); }

DerivativePaths derivative_paths(const std::string& output_dir, const FileName& source, const std::string& datatype) {
    const auto subject = source.entity("sub");
    if (!subject)
        throw Error("cannot name the derivatives of \"" + format_file_name(source) + "\": it has no sub- entity");
    if (datatype.empty())
        throw Error("cannot name the derivatives of \"" + format_file_name(source) + "\": no datatype folder");
    std::filesystem::path folder = std::filesystem::path(output_dir) / ("sub-" + *subject);
    if (const auto session = source.entity("ses")) folder /= "ses-" + *session;
    folder /= datatype;

    DerivativePaths p;
    p.folder = folder.string();
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
