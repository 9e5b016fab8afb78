// PNG figures of labelled panels: colour mapping, a 5 x 7 bitmap font, written through the shared PNG encoder.
#include "sim/figure.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/atomic_file.h"
#include "core/error.h"
#include "formats/png_image.h"

namespace warpmender {
namespace sim {
namespace {

// Each glyph as seven rows of five cells, '#' lit.
struct GlyphArt {
    char c;
    const char* rows;
};
// One glyph of 5 x 7 pixels per entry, two per line.
// clang-format off
constexpr GlyphArt kFont[] = {
    {'A', ".###. #...# #...# #...# ##### #...# #...#"}, {'B', "####. #...# #...# ####. #...# #...# ####."},
    {'C', ".###. #...# #.... #.... #.... #...# .###."}, {'D', "###.. #..#. #...# #...# #...# #..#. ###.."},
    {'E', "##### #.... #.... ####. #.... #.... #####"}, {'F', "##### #.... #.... ####. #.... #.... #...."},
    {'G', ".###. #...# #.... #.### #...# #...# .####"}, {'H', "#...# #...# #...# ##### #...# #...# #...#"},
    {'I', ".###. ..#.. ..#.. ..#.. ..#.. ..#.. .###."}, {'J', "..### ...#. ...#. ...#. ...#. #..#. .##.."},
    {'K', "#...# #..#. #.#.. ##... #.#.. #..#. #...#"}, {'L', "#.... #.... #.... #.... #.... #.... #####"},
    {'M', "#...# ##.## #.#.# #.#.# #...# #...# #...#"}, {'N', "#...# #...# ##..# #.#.# #..## #...# #...#"},
    {'O', ".###. #...# #...# #...# #...# #...# .###."}, {'P', "####. #...# #...# ####. #.... #.... #...."},
    {'Q', ".###. #...# #...# #...# #.#.# #..#. .##.#"}, {'R', "####. #...# #...# ####. #.#.. #..#. #...#"},
    {'S', ".#### #.... #.... .###. ....# ....# ####."}, {'T', "##### ..#.. ..#.. ..#.. ..#.. ..#.. ..#.."},
    {'U', "#...# #...# #...# #...# #...# #...# .###."}, {'V', "#...# #...# #...# #...# #...# .#.#. ..#.."},
    {'W', "#...# #...# #...# #.#.# #.#.# #.#.# .#.#."}, {'X', "#...# #...# .#.#. ..#.. .#.#. #...# #...#"},
    {'Y', "#...# #...# #...# .#.#. ..#.. ..#.. ..#.."}, {'Z', "##### ....# ...#. ..#.. .#... #.... #####"},
    {'a', "..... ..... .###. ....# .#### #...# .####"}, {'b', "#.... #.... #.##. ##..# #...# #...# ####."},
    {'c', "..... ..... .###. #.... #.... #...# .###."}, {'d', "....# ....# .##.# #..## #...# #...# .####"},
    {'e', "..... ..... .###. #...# ##### #.... .###."}, {'f', "..##. .#..# .#... ###.. .#... .#... .#..."},
    {'g', "..... .#### #...# #...# .#### ....# .###."}, {'h', "#.... #.... #.##. ##..# #...# #...# #...#"},
    {'i', "..#.. ..... .##.. ..#.. ..#.. ..#.. .###."}, {'j', "...#. ..... ..##. ...#. ...#. #..#. .##.."},
    {'k', "#.... #.... #..#. #.#.. ##... #.#.. #..#."}, {'l', ".##.. ..#.. ..#.. ..#.. ..#.. ..#.. .###."},
    {'m', "..... ..... ##.#. #.#.# #.#.# #...# #...#"}, {'n', "..... ..... #.##. ##..# #...# #...# #...#"},
    {'o', "..... ..... .###. #...# #...# #...# .###."}, {'p', "..... ..... ####. #...# ####. #.... #...."},
    {'q', "..... ..... .##.# #..## .#### ....# ....#"}, {'r', "..... ..... #.##. ##..# #.... #.... #...."},
    {'s', "..... ..... .###. #.... .###. ....# ####."}, {'t', ".#... .#... ###.. .#... .#... .#..# ..##."},
    {'u', "..... ..... #...# #...# #...# #..## .##.#"}, {'v', "..... ..... #...# #...# #...# .#.#. ..#.."},
    {'w', "..... ..... #...# #...# #.#.# #.#.# .#.#."}, {'x', "..... ..... #...# .#.#. ..#.. .#.#. #...#"},
    {'y', "..... ..... #...# #...# .#### ....# .###."}, {'z', "..... ..... ##### ...#. ..#.. .#... #####"},
    {'0', ".###. #...# #..## #.#.# ##..# #...# .###."}, {'1', "..#.. .##.. ..#.. ..#.. ..#.. ..#.. .###."},
    {'2', ".###. #...# ....# ...#. ..#.. .#... #####"}, {'3', "##### ...#. ..#.. ...#. ....# #...# .###."},
    {'4', "...#. ..##. .#.#. #..#. ##### ...#. ...#."}, {'5', "##### #.... ####. ....# ....# #...# .###."},
    {'6', "..##. .#... #.... ####. #...# #...# .###."}, {'7', "##### ....# ...#. ..#.. .#... .#... .#..."},
    {'8', ".###. #...# #...# .###. #...# #...# .###."}, {'9', ".###. #...# #...# .#### ....# ...#. .##.."},
    {' ', "..... ..... ..... ..... ..... ..... ....."}, {'.', "..... ..... ..... ..... ..... .##.. .##.."},
    {',', "..... ..... ..... ..... .##.. ..#.. .#..."}, {':', "..... .##.. .##.. ..... .##.. .##.. ....."},
    {';', "..... .##.. .##.. ..... .##.. ..#.. .#..."}, {'-', "..... ..... ..... ##### ..... ..... ....."},
    {'+', "..... ..#.. ..#.. ##### ..#.. ..#.. ....."}, {'=', "..... ..... ##### ..... ##### ..... ....."},
    {'(', "...#. ..#.. .#... .#... .#... ..#.. ...#."}, {')', ".#... ..#.. ...#. ...#. ...#. ..#.. .#..."},
    {'[', ".###. .#... .#... .#... .#... .#... .###."}, {']', ".###. ...#. ...#. ...#. ...#. ...#. .###."},
    {'/', "..... ....# ...#. ..#.. .#... #.... ....."}, {'%', "##... ##..# ...#. ..#.. .#... #..## ...##"},
    {'_', "..... ..... ..... ..... ..... ..... #####"}, {'<', "...#. ..#.. .#... #.... .#... ..#.. ...#."},
    {'>', ".#... ..#.. ...#. ....# ...#. ..#.. .#..."}, {'|', "..#.. ..#.. ..#.. ..#.. ..#.. ..#.. ..#.."},
    {'!', "..#.. ..#.. ..#.. ..#.. ..#.. ..... ..#.."}, {'?', ".###. #...# ....# ...#. ..#.. ..... ..#.."},
    {'*', "..... ..#.. #.#.# .###. #.#.# ..#.. ....."}, {'#', ".#.#. .#.#. ##### .#.#. ##### .#.#. .#.#."},
    {'\'', ".##.. ..#.. .#... ..... ..... ..... ....."}, {'"', ".#.#. .#.#. .#.#. ..... ..... ..... ....."},
};
// clang-format on

using GlyphTable = std::array<std::array<std::uint8_t, kGlyphHeight>, 128>;

GlyphTable build_font() {
    GlyphTable t{};
    std::array<bool, 128> known{};
    for (const GlyphArt& g : kFont) {
        auto& rows = t[static_cast<unsigned char>(g.c)];
        for (int r = 0; r < kGlyphHeight; ++r) {
            std::uint8_t bits = 0;
            for (int c = 0; c < kGlyphWidth; ++c)
                if (g.rows[r * (kGlyphWidth + 1) + c] == '#')
                    bits |= static_cast<std::uint8_t>(1u << (kGlyphWidth - 1 - c));
            rows[r] = bits;
        }
        known[static_cast<unsigned char>(g.c)] = true;
    }
    for (int c = 0; c < 128; ++c)
        if (!known[c]) t[c] = t['?'];
    return t;
}

using host::Rgb;
constexpr Rgb kBackground{0, 0, 0};
constexpr Rgb kText{235, 235, 235};
constexpr int kMargin = 12;
constexpr int kTextScale = 2;
constexpr int kLabelGap = 6;

Rgb map_value(const Panel& p, double v) {
    const double span = p.high - p.low;
    if (p.style == PanelStyle::grey) {
        const double f = span > 0.0 ? std::clamp((v - p.low) / span, 0.0, 1.0) : 0.0;
        const auto g = static_cast<std::uint8_t>(std::lround(255.0 * f));
        return {g, g, g};
    }
    // Diverging: blue (low) .. white (middle) .. red (high).
    const double t = span > 0.0 ? std::clamp(2.0 * (v - 0.5 * (p.low + p.high)) / span, -1.0, 1.0) : 0.0;
    const auto fade = static_cast<std::uint8_t>(std::lround(255.0 * (1.0 - std::fabs(t))));
    return t < 0.0 ? Rgb{fade, fade, 255} : Rgb{255, fade, fade};
}

template <typename T>
Panel slice_panel(const Grid& g, const std::vector<T>& image, int z, int t, const std::string& label, PanelStyle style,
                  double low, double high, const std::vector<std::uint8_t>& mask) {
    check_grid(g, "figure panel");
    const std::size_t n = g.voxels();
    if (z < 0 || z >= g.nz || t < 0 || image.size() < n * (static_cast<std::size_t>(t) + 1) || image.size() % n != 0 ||
        (!mask.empty() && mask.size() != n))
        throw Error("figure panel \"" + label + "\": slice " + std::to_string(z) + " of volume " + std::to_string(t) +
                    " is not in an image of " + std::to_string(image.size()) + " values on a " + std::to_string(g.nx) +
                    " x " + std::to_string(g.ny) + " x " + std::to_string(g.nz) + " grid");
    Panel p;
    p.label = label;
    p.width = g.nx;
    p.height = g.ny;
    p.style = style;
    p.low = low;
    p.high = high;
    p.pixels.resize(static_cast<std::size_t>(g.nx) * g.ny);
    const T* src = image.data() + n * static_cast<std::size_t>(t) + g.index(0, 0, z);
    for (std::size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<float>(src[i]);
    if (!mask.empty())
        p.mask.assign(mask.begin() + g.index(0, 0, z), mask.begin() + g.index(0, 0, z) + p.pixels.size());
    return p;
}

void draw_text(std::vector<Rgb>& img, int img_w, int x0, int y0, const std::string& text, int scale) {
    for (char ch : text) {
        const std::uint8_t* rows = glyph(ch);
        for (int r = 0; r < kGlyphHeight; ++r)
            for (int c = 0; c < kGlyphWidth; ++c) {
                if (!(rows[r] & (1u << (kGlyphWidth - 1 - c)))) continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx)
                        img[static_cast<std::size_t>(y0 + r * scale + sy) * img_w + (x0 + c * scale + sx)] = kText;
            }
        x0 += (kGlyphWidth + 1) * scale;
    }
}

int label_height() { return kGlyphHeight * kTextScale + 2 * kLabelGap; }

int column_width(const Panel& p, int zoom) { return std::max(p.width * zoom, text_width(p.label, kTextScale)); }

}  // namespace

const std::uint8_t* glyph(char c) {
    static const GlyphTable table = build_font();
    const auto u = static_cast<unsigned char>(c);
    return table[u < 128 ? u : static_cast<unsigned char>('?')].data();
}

int text_width(const std::string& text, int scale) {
    if (text.empty()) return 0;
    return static_cast<int>(text.size()) * (kGlyphWidth + 1) * scale - scale;
}

Panel axial_panel(const Grid& g, const std::vector<float>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask) {
    return slice_panel(g, image, z, t, label, style, low, high, mask);
}

Panel axial_panel(const Grid& g, const std::vector<double>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask) {
    return slice_panel(g, image, z, t, label, style, low, high, mask);
}

FigureSize figure_size(const std::vector<Panel>& panels, int zoom) {
    int w = kMargin, h = 0;
    for (const Panel& p : panels) {
        w += column_width(p, zoom) + kMargin;
        h = std::max(h, p.height * zoom);
    }
    return {w, kMargin + label_height() + h + kMargin};
}

void write_figure_png(const std::string& path, const std::vector<Panel>& panels, int zoom) {
    const std::string where = "cannot write figure \"" + path + "\": ";
    if (panels.empty()) throw Error(where + "no panels");
    if (zoom < 1 || zoom > 16) throw Error(where + "zoom " + std::to_string(zoom) + " must be 1..16");
    for (const Panel& p : panels) {
        if (p.width < 1 || p.height < 1 || p.width > 4096 || p.height > 4096 ||
            p.pixels.size() != static_cast<std::size_t>(p.width) * p.height ||
            (!p.mask.empty() && p.mask.size() != p.pixels.size()))
            throw Error(where + "panel \"" + p.label + "\" has " + std::to_string(p.pixels.size()) + " pixels for " +
                        std::to_string(p.width) + " x " + std::to_string(p.height));
        if (!std::isfinite(p.low) || !std::isfinite(p.high))
            throw Error(where + "panel \"" + p.label + "\" has a window that is not finite");
    }

    const FigureSize size = figure_size(panels, zoom);
    std::vector<Rgb> img(static_cast<std::size_t>(size.width) * size.height, kBackground);
    int x0 = kMargin;
    for (const Panel& p : panels) {
        const int col = column_width(p, zoom);
        draw_text(img, size.width, x0 + (col - text_width(p.label, kTextScale)) / 2, kMargin + kLabelGap, p.label,
                  kTextScale);
        const int px0 = x0 + (col - p.width * zoom) / 2;
        const int py0 = kMargin + label_height();
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * p.width + x;
                const float v = p.pixels[i];
                const bool shown = std::isfinite(v) && (p.mask.empty() || p.mask[i] != 0);
                const Rgb c = shown ? map_value(p, v) : kBackground;
                for (int sy = 0; sy < zoom; ++sy) {
                    Rgb* out = img.data() + static_cast<std::size_t>(py0 + y * zoom + sy) * size.width + px0 + x * zoom;
                    std::fill(out, out + zoom, c);
                }
            }
        x0 += col + kMargin;
    }

    std::vector<std::uint8_t> png;
    try {
        png = host::encode_png(host::Image{size.width, size.height, std::move(img)});
    } catch (const std::runtime_error& e) {
        throw Error(where + e.what());
    }
    host::AtomicFile file(path);
    // A figure is for everyone who may read the folder, whatever the umask.
    fchmod(fileno(file.stream()), 0644);
    file.write(png.data(), png.size());
    file.commit();
}

}  // namespace sim
}  // namespace warpmender
