// The file formats the host side opens, one table by extension.
#pragma once

#include <string>
#include <vector>

#include "formats/document.h"
#include "formats/file_checks.h"

namespace warpmender {
namespace host {

struct FileFormat {
    const char* extension;  // lower case, dot included: ".nii.gz"
    // Reads the file into a new document; as_anatomy asks for a VMR document.
    // Throws Error naming the file and what is wrong.
    Document (*read)(const std::string& path, bool as_anatomy, Notes& notes);
};

// Every format, in the order messages list them. Adding one: its reader and
// one line in this table (formats/format_table.cpp).
const std::vector<FileFormat>& file_formats();

// The format whose extension ends path, compared without case; null when none does.
const FileFormat* format_of(const std::string& path);

// ".fmr, .vmr, .nii or .nii.gz"
std::string known_extensions();

}  // namespace host
}  // namespace warpmender
