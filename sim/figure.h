// A PNG figure: one row of labelled image panels with colour bars, written with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/png_image.h"
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
    // Not empty: a colour bar from low to high under the image, with tick
    // values and these units under it ("Hz", "voxels").
    std::string units;
};

// The colour a panel gives a value (masks aside).
host::Rgb panel_colour(const Panel& panel, double value);

// Axial slice z of volume t of an image on the grid, as the radiologist sees
// it: anterior (low y) at the top, patient's right (low x) on the left.
// mask, if not empty, is one volume on the grid.
Panel axial_panel(const Grid& grid, const std::vector<float>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask = {});
Panel axial_panel(const Grid& grid, const std::vector<double>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask = {});

// A tick of a colour bar: its value, its text, and the bar's pixel column
// that holds the value (column c spans low + [c, c + 1) * (high - low) / width).
struct Tick {
    double value;
    std::string label;
    int column;
};

// The ticks of a colour bar width pixels wide: the multiples of the smallest
// step of 1, 2 or 5 x 10^k whose labels stand at least kTickLabelGap pixels
// apart (at the figure's text scale), labelled with the step's decimals; the
// two ends ("%.3g") when no step leaves two ticks; low alone when
// high <= low or the bar is one pixel wide.
//   (0, 10, 40)      -> 0 "0" @0, 10 "10" @39
//   (-300, 300, 384) -> -300 "-300" @0, -200 @64, ..., 300 "300" @383
//   (0, 1, 100)      -> "0.0" @0, "0.5" @50, "1.0" @99
//   (-0.37, 0.37, 200) -> "-0.37" @0, "0.37" @199
std::vector<Tick> colour_bar_ticks(double low, double high, int width);
constexpr int kTickLabelGap = 12;

// Where each panel lands: its image, enlarged zoom times, and its colour bar
// (bar_width 0 when the panel has no units). The bar has the image's width;
// every bar of a figure starts on the same row.
struct PanelPlace {
    int image_x, image_y, image_width, image_height;
    int bar_x, bar_y, bar_width, bar_height;
};
struct FigureLayout {
    int width, height;
    std::vector<PanelPlace> panels;
};
FigureLayout figure_layout(const std::vector<Panel>& panels, int zoom);

// The figure: panels side by side, each enlarged zoom times (nearest
// neighbour) under its label, on a black background; under each panel with
// units a framed colour bar, its ticks, their values and the units; RGB, 8 bits.
struct FigureSize {
    int width, height;
};
FigureSize figure_size(const std::vector<Panel>& panels, int zoom);

// The figure's pixels. Throws warpmender::Error for bad panels or zoom.
host::Image render_figure(const std::vector<Panel>& panels, int zoom);

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
