// VMR anatomical volumes on disk, version-1 layout: three little-endian 16-bit sizes, then 8-bit voxels.
#pragma once

#include <string>

#include "formats/document.h"
#include "formats/file_checks.h"

namespace warpmender {
namespace host {

// Reads a version-1 VMR (sizes x, y, z, then x*y*z bytes, x fastest) as a
// VMR document of 1 mm voxels, axis-aligned and centred at the origin.
// Throws Error naming the file and what is wrong.
Document read_vmr(const std::string& path, Notes& notes);

// Writes doc's voxels as a version-1 VMR, atomically. Throws Error.
void write_vmr(const Document& doc, const std::string& path);

}  // namespace host
}  // namespace warpmender
