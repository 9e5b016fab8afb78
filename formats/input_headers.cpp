// Header-only reading of FMR/STC, VMR and NIfTI inputs, and the grid comparisons made on them.
#include "formats/input_headers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "formats/file_checks.h"
#include "formats/fmr_file.h"
#include "formats/nifti_document.h"

namespace warpmender {
namespace host {

namespace {

bool ends_with_lower(const std::string& path, const std::string& tail) {
    if (path.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - tail.size() + i])) != tail[i]) return false;
    return true;
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw Error("cannot open \"" + path + "\": " + why);
}

// The 6-byte header of a version-1 VMR and the file's size against it.
InputGrid vmr_grid(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) refuse(path, std::strerror(errno));
    unsigned char head[6];
    if (std::fread(head, 1, sizeof head, f.get()) != sizeof head)
        refuse(path, "the file has " + std::to_string(st.st_size) + " bytes, too few for the 6-byte VMR header");
    InputGrid g;
    g.path = path;
    g.nx = head[0] | head[1] << 8;
    g.ny = head[2] | head[3] << 8;
    g.nz = head[4] | head[5] << 8;
    const size_t n = checked_volume_voxels(path, g.nx, g.ny, g.nz, 1, 1);
    if (static_cast<uint64_t>(st.st_size) != 6 + static_cast<uint64_t>(n))
        refuse(path, "the file has " + std::to_string(st.st_size) + " bytes, expected " + std::to_string(6 + n) +
                         " for a version-1 VMR of " + g.describe());
    g.host_bytes = n;
    return g;
}

}  // namespace

std::string InputGrid::describe() const {
    return std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) +
           (nt > 1 ? " x " + std::to_string(nt) : std::string());
}

InputGrid read_input_grid(const std::string& path, bool as_anatomy) {
    Notes notes;
    InputGrid g;
    g.path = path;
    if (ends_with_lower(path, ".fmr")) {
        const Document d = read_fmr_header(path, notes);
        check_stc_size(d, d.source_data_path);
        g.nx = d.fmr.ResolutionX;
        g.ny = d.fmr.ResolutionY;
        g.nz = d.fmr.NrOfSlices;
        g.nt = d.fmr.NrOfVolumes;
        g.host_bytes = g.voxels() * static_cast<uint64_t>(g.nt) * (d.fmr.DataType == 1 ? 2u : 4u);
        return g;
    }
    if (ends_with_lower(path, ".vmr")) return vmr_grid(path);
    if (ends_with_lower(path, ".nii") || ends_with_lower(path, ".nii.gz")) {
        const Document d = read_nifti_header(path, as_anatomy, notes);
        if (d.nifti_geometry) {
            std::array<std::array<double, 4>, 4> a{};
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) a[r][c] = d.nifti_geometry->world_mm[r][c];
            g.world_mm = a;
        }
        if (as_anatomy) {
            g.nx = d.vmr.DimX;
            g.ny = d.vmr.DimY;
            g.nz = d.vmr.DimZ;
            // One byte a voxel kept, one float a voxel while it is converted.
            g.host_bytes = g.voxels() * 5u;
        } else {
            g.nx = d.fmr.ResolutionX;
            g.ny = d.fmr.ResolutionY;
            g.nz = d.fmr.NrOfSlices;
            g.nt = d.fmr.NrOfVolumes;
            g.host_bytes = g.voxels() * static_cast<uint64_t>(g.nt) * 4u;
        }
        return g;
    }
    refuse(path, "unknown file type (expected .fmr, .vmr, .nii or .nii.gz)");
}

void require_same_grid(const InputGrid& a, const std::string& a_role, const InputGrid& b, const std::string& b_role,
                       const std::string& why) {
    if (a.nx == b.nx && a.ny == b.ny && a.nz == b.nz) return;
    auto grid = [](const InputGrid& g) {
        return std::to_string(g.nx) + " x " + std::to_string(g.ny) + " x " + std::to_string(g.nz);
    };
    throw Error("the " + a_role + " \"" + a.path + "\" has a " + grid(a) + " grid, the " + b_role + " \"" + b.path +
                "\" " + grid(b) + ": " + why + " (checked from the headers, before any voxel was read)");
}

}  // namespace host
}  // namespace warpmender
