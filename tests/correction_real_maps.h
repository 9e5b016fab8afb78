// The real vendor images in tests/data/fieldmaps, read with nifticlib into a world grid and doubles.
#pragma once

#include <nifti1_io.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "correction/world_grid.h"

namespace warpmender {
namespace test {

struct RealMap {
    correction::WorldGrid grid;
    std::vector<double> values;  // scaled by scl_slope/scl_inter; element (x, y, z) at x + nx*(y + ny*z)
};

// The first volume of tests/data/fieldmaps/<name>, affine from the sform
// (the qform without one), in millimetres.
inline RealMap read_real_map(const std::string& name) {
    const std::string path = std::string(WARPMENDER_SOURCE_DIR) + "/tests/data/fieldmaps/" + name;
    nifti_set_debug_level(0);
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> nim(nifti_image_read(path.c_str(), 1), nifti_image_free);
    if (!nim) throw std::runtime_error("cannot read \"" + path + "\"");
    RealMap m;
    m.grid.nx = nim->nx;
    m.grid.ny = nim->ny;
    m.grid.nz = nim->nz;
    const mat44& a = nim->sform_code > 0 ? nim->sto_xyz : nim->qto_xyz;
    const double unit = nim->xyz_units == NIFTI_UNITS_METER    ? 1000.0
                        : nim->xyz_units == NIFTI_UNITS_MICRON ? 0.001
                                                               : 1.0;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m.grid.affine[r][c] = r < 3 ? a.m[r][c] * unit : a.m[r][c];
    const size_t n = m.grid.voxels();
    const double slope = nim->scl_slope != 0.0f ? nim->scl_slope : 1.0, inter = nim->scl_inter;
    m.values.resize(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 0;
        switch (nim->datatype) {
            case NIFTI_TYPE_INT16: v = static_cast<const short*>(nim->data)[i]; break;
            case NIFTI_TYPE_UINT16: v = static_cast<const unsigned short*>(nim->data)[i]; break;
            case NIFTI_TYPE_FLOAT32: v = static_cast<const float*>(nim->data)[i]; break;
            case NIFTI_TYPE_FLOAT64: v = static_cast<const double*>(nim->data)[i]; break;
            default:
                throw std::runtime_error("\"" + path + "\": data type " + std::to_string(nim->datatype) +
                                         " not read here");
        }
        m.values[i] = v * slope + inter;
    }
    return m;
}

}  // namespace test
}  // namespace warpmender
