// RGB images as PNG bytes (libpng) and base64 data: URIs, for figures and reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace warpmender {
namespace host {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

// An RGB image, 8 bits a channel; pixel (x, y) at x + width * y, row 0 at the top.
struct Image {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;
};

// The image as PNG bytes (no file). Throws std::runtime_error for an empty
// image, a pixel count that does not match the size, or libpng's complaint.
std::vector<std::uint8_t> encode_png(const Image& image);

// RFC 4648 base64 with padding: "" -> "", "f" -> "Zg==", "fo" -> "Zm8=", "foo" -> "Zm9v".
std::string base64(const std::vector<std::uint8_t>& bytes);

// "data:image/png;base64,..." for an <img src>.
std::string png_data_uri(const Image& image);

}  // namespace host
}  // namespace warpmender
