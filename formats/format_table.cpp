// The table of file formats by extension.
#include "formats/format_table.h"

#include <algorithm>
#include <cctype>

#include "core/error.h"
#include "formats/fmr_file.h"
#include "formats/nifti_document.h"
#include "formats/vmr_file.h"

namespace warpmender {
namespace host {

namespace {

Document read_fmr_project(const std::string& path, bool as_anatomy, Notes& notes) {
    if (as_anatomy)
        throw Error("cannot open \"" + path + "\" as anatomy: it is an FMR project, not a VMR or NIfTI image");
    return read_fmr(path, notes);
}

Document read_vmr_volume(const std::string& path, bool, Notes& notes) { return read_vmr(path, notes); }

Document read_nifti_image(const std::string& path, bool as_anatomy, Notes& notes) {
    return read_nifti(path, as_anatomy, notes);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

const std::vector<FileFormat>& file_formats() {
    static const std::vector<FileFormat> formats = {
        {".fmr", read_fmr_project},
        {".vmr", read_vmr_volume},
        {".nii", read_nifti_image},
        {".nii.gz", read_nifti_image},
    };
    return formats;
}

const FileFormat* format_of(const std::string& path) {
    const std::string p = lower(path);
    const FileFormat* best = nullptr;
    // The longest extension that fits wins, whatever the table's order.
    for (const FileFormat& f : file_formats())
        if (ends_with(p, f.extension) &&
            (best == nullptr || std::string(f.extension).size() > std::string(best->extension).size()))
            best = &f;
    return best;
}

std::string known_extensions() {
    const auto& formats = file_formats();
    std::string out;
    for (size_t i = 0; i < formats.size(); ++i) {
        if (i > 0) out += i + 1 == formats.size() ? " or " : ", ";
        out += formats[i].extension;
    }
    return out;
}

}  // namespace host
}  // namespace warpmender
