// Writing the synthetic phantom as NIfTI images with BIDS sidecars, for the demo and the tests.
#pragma once

#include <filesystem>
#include <string>

#include "sim/dataset.h"

namespace warpmender {
namespace host {

struct PhantomFiles {
    std::string phase, magnitude, epi, truth, field;  // .nii.gz; phase and epi have .json sidecars
    std::string real, imag;                            // a complex image as a real/imaginary pair
};

// Writes into dir (which must exist). pe_override replaces the EPI sidecar's
// PhaseEncodingDirection (to test a wrong one).
PhantomFiles write_phantom_files(const sim::Dataset& ds, const std::filesystem::path& dir,
                                 const std::string& pe_override = "");
// 3 -> "j", 4 -> "j-".
const char* pe_direction_name(int code);

}  // namespace host
}  // namespace warpmender
