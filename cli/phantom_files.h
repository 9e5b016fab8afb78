// Writing the synthetic phantom as NIfTI images with BIDS sidecars, for the demo and the tests.
#pragma once

#include <filesystem>
#include <string>

#include "host/host.h"
#include "sim/dataset.h"

namespace warpmender {
namespace host {

struct PhantomFiles {
    std::string phase, magnitude, epi, truth, field;  // .nii.gz; phase and epi have .json sidecars
    std::string real, imag;                           // a complex image as a real/imaginary pair
};

// The demo's acquisition: the sinus at 0.7 of its full size and a smooth
// 60 Hz shim residual, so that the whole brain is displaced by a few voxels
// (as after an imperfect shim) while the shift's gradient stays moderate.
// The phase image holds the field's phase outside the head too, as field-map
// reconstructions that fill or mask the background deliver it: noise there
// biases the least-squares unwrapping toward a flatter field (see README).
// small: the coarse 64 x 64 x 24 grid with 3 volumes, for tests.
sim::DatasetParams demo_dataset_params(bool small);

// Writes into dir (which must exist). pe_override replaces the EPI sidecar's
// PhaseEncodingDirection (to test a wrong one).
PhantomFiles write_phantom_files(const sim::Dataset& ds, const std::filesystem::path& dir,
                                 const std::string& pe_override = "");
// An image of the phantom (nt volumes on the grid) as a float document placed
// by the grid's affine, ready to be written as NIfTI (.nii.gz or .nii).
host::Document phantom_document(const sim::Grid& g, const std::vector<float>& values, int nt, const std::string& name,
                                bool compressed = true);

// 3 -> "j", 4 -> "j-".
const char* pe_direction_name(int code);

}  // namespace host
}  // namespace warpmender
