// A PNG figure: one row of labelled image panels, written with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/grid.h"

namespace warpmender {
namespace sim {

enum class PanelStyle {
    grey,       // low..high -> black..white
    diverging,  // low..high -> blue..white..red, white at the middle
};

struct Panel {
    std::string label;  // drawn above the image; characters without a glyph show as '?'
    int width = 0, height = 0;
    std::vector<float> pixels;       // width * height, row 0 at the top, left to right
    std::vector<std::uint8_t> mask;  // empty, or width * height: 0 paints the background
    PanelStyle style = PanelStyle::grey;
    double low = 0.0, high = 1.0;
};

// Axial slice z of volume t of an image on the grid, as the radiologist sees
// it: anterior (low y) at the top, patient's right (low x) on the left.
// mask, if not empty, is one volume on the grid.
Panel axial_panel(const Grid& grid, const std::vector<float>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask = {});
Panel axial_panel(const Grid& grid, const std::vector<double>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask = {});

// The figure: panels side by side, each enlarged zoom times (nearest
// neighbour) under its label, on a black background; RGB, 8 bits.
struct FigureSize {
    int width, height;
};
FigureSize figure_size(const std::vector<Panel>& panels, int zoom);

// Writes the figure to a temporary file beside path and renames it into
// place, so path is either the old file or the whole new one. Throws
// warpmender::Error naming the path and the reason (bad panels, a directory
// that does not exist or cannot be written, libpng's complaint).
void write_figure_png(const std::string& path, const std::vector<Panel>& panels, int zoom = 3);

// The built-in 5 x 7 font: A-Z, a-z, 0-9, space and . , : ; - + = ( ) [ ] / % _ < > | ! ? * # ' "
// Rows of a glyph, top first; bit 4 is the leftmost column. Unknown characters give '?'.
const std::uint8_t* glyph(char c);
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
// Width in pixels of a text drawn at the given scale (one column of spacing between glyphs).
int text_width(const std::string& text, int scale);

}  // namespace sim
}  // namespace warpmender
