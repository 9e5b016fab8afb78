// Slices of a volume drawn for the report: grey images with the magnitude's contours, colour maps, the folding mask.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/png_image.h"
#include "report/run_report.h"

namespace warpmender {
namespace report {

using host::base64;
using host::encode_png;
using host::Image;
using host::png_data_uri;
using host::Rgb;

// The three orientations, in the volume's own axes (no reorientation: the
// page labels the axes):
//   axial     slice z = k; x to the right, y downwards
//   coronal   slice y = k; x to the right, z upwards
//   sagittal  slice x = k; y to the right, z upwards
enum class Orientation { kAxial, kCoronal, kSagittal };

// Which slice to show and how large: pixels per millimetre, the same for
// every panel of a page so that sizes compare.
struct View {
    Orientation orientation = Orientation::kAxial;
    int slice = 0;
    double pixels_per_mm = 1.0;
};

// Display size of a view of a volume (at least 1 x 1).
void view_size(const Volume& v, const View& view, int* width, int* height);

// Grey from low (black) to high (white), nearest voxel; the magnitude's
// contours at the given levels (bilinear between its voxels, one pixel wide)
// drawn over it. magnitude may be null (no contours).
Image grey_slice(const Volume& v, const View& view, double low, double high, const Volume* magnitude = nullptr,
                 const std::vector<double>& levels = {});

// The diverging map used for the field and the shift: -limit blue,
// 0 white, +limit red, linear in between on each half (the page's colour
// bars use the same stops). Where mask is given and 0, the underlay's grey
// (dimmed to half) instead; underlay may be null (black there).
Rgb diverging(double value, double limit);
Image diverging_slice(const Volume& v, const View& view, double limit, const std::vector<std::uint8_t>& mask,
                      const Volume* underlay, double underlay_high);

// Grey image with the folding mask over it: pile-up orange, fold red.
Image folding_slice(const Volume& v, const View& view, double low, double high,
                    const std::vector<std::uint8_t>& folding);

constexpr Rgb kContourColour{255, 70, 40};
constexpr Rgb kFoldColour{230, 20, 20};
constexpr Rgb kPileUpColour{255, 165, 0};

}  // namespace report
}  // namespace warpmender
