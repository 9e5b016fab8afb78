// PNG figures of labelled panels with colour bars: colour mapping, a 5 x 7 bitmap font, the shared PNG encoder.
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
// A colour bar under the images: gap, bar (framed by one pixel), ticks, their values, the units.
constexpr int kBarGap = 10;
constexpr int kBarHeight = 12;
constexpr int kTickLength = 4;
constexpr int kTickTextGap = 3;
constexpr int kUnitsGap = 6;
constexpr int kTextHeight = kGlyphHeight * kTextScale;
constexpr int kBarBlock = kBarHeight + 1 + kTickLength + kTickTextGap + kTextHeight + kUnitsGap + kTextHeight;

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

void draw_text(host::Image& img, int x0, int y0, const std::string& text, int scale) {
    for (char ch : text) {
        const std::uint8_t* rows = glyph(ch);
        for (int r = 0; r < kGlyphHeight; ++r)
            for (int c = 0; c < kGlyphWidth; ++c) {
                if (!(rows[r] & (1u << (kGlyphWidth - 1 - c)))) continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx)
                        img.pixels[static_cast<std::size_t>(y0 + r * scale + sy) * img.width + (x0 + c * scale + sx)] =
                            kText;
            }
        x0 += (kGlyphWidth + 1) * scale;
    }
}

void fill(host::Image& img, int x0, int y0, int w, int h, Rgb c) {
    for (int y = y0; y < y0 + h; ++y)
        std::fill_n(img.pixels.data() + static_cast<std::size_t>(y) * img.width + x0, w, c);
}

int label_height() { return kTextHeight + 2 * kLabelGap; }

// How far the bar's tick values reach beyond either end of a bar width pixels wide.
int tick_overhang(const std::vector<Tick>& ticks, int width) {
    int over = 0;
    for (const Tick& t : ticks) {
        const int w = text_width(t.label, kTextScale);
        over = std::max({over, w / 2 - t.column, t.column - w / 2 + w - width});
    }
    return over;
}

int column_width(const Panel& p, int zoom) {
    int w = std::max(p.width * zoom, text_width(p.label, kTextScale));
    if (!p.units.empty()) {
        const int bar = p.width * zoom;
        w = std::max({w, text_width(p.units, kTextScale),
                      bar + 2 * tick_overhang(colour_bar_ticks(p.low, p.high, bar), bar) + 2});
    }
    return w;
}

bool has_bar(const std::vector<Panel>& panels) {
    return std::any_of(panels.begin(), panels.end(), [](const Panel& p) { return !p.units.empty(); });
}

// The multiples of step within [low, high] (with room for rounding in low / step), or nothing when too many.
bool multiples(double low, double high, int m, int k, int width, std::vector<Tick>* out) {
    const double step = m * std::pow(10.0, k);
    const double first = std::ceil(low / step - 1e-9), last = std::floor(high / step + 1e-9);
    if (!(last - first < 2.0 * width)) return false;
    out->clear();
    char text[64];
    for (long n = static_cast<long>(first); n <= static_cast<long>(last); ++n) {
        // n * m / 10^-k, not n * step: 3 * 0.1 would print 0.30000000000000004 with enough digits.
        const double v = k < 0 ? static_cast<double>(n * m) / std::pow(10.0, -k) : static_cast<double>(n) * step;
        std::snprintf(text, sizeof text, "%.*f", k < 0 ? -k : 0, v);
        const int column = std::clamp(static_cast<int>(std::floor((v - low) / (high - low) * width)), 0, width - 1);
        out->push_back({v, text, column});
    }
    return true;
}

std::string short_number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

void validate(const std::vector<Panel>& panels, int zoom, const std::string& where) {
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
}

void draw_bar(host::Image& img, const Panel& p, const PanelPlace& at, int column_x, int column_width) {
    const int w = at.bar_width;
    for (int i = 0; i < w; ++i)
        fill(img, at.bar_x + i, at.bar_y, 1, at.bar_height, panel_colour(p, p.low + (i + 0.5) / w * (p.high - p.low)));
    fill(img, at.bar_x - 1, at.bar_y - 1, w + 2, 1, kText);
    fill(img, at.bar_x - 1, at.bar_y + at.bar_height, w + 2, 1, kText);
    fill(img, at.bar_x - 1, at.bar_y, 1, at.bar_height, kText);
    fill(img, at.bar_x + w, at.bar_y, 1, at.bar_height, kText);
    const int tick_y = at.bar_y + at.bar_height + 1;
    const int value_y = tick_y + kTickLength + kTickTextGap;
    for (const Tick& t : colour_bar_ticks(p.low, p.high, w)) {
        fill(img, at.bar_x + t.column, tick_y, 1, kTickLength, kText);
        draw_text(img, at.bar_x + t.column - text_width(t.label, kTextScale) / 2, value_y, t.label, kTextScale);
    }
    draw_text(img, column_x + (column_width - text_width(p.units, kTextScale)) / 2, value_y + kTextHeight + kUnitsGap,
              p.units, kTextScale);
}

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

Rgb panel_colour(const Panel& p, double v) {
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

std::vector<Tick> colour_bar_ticks(double low, double high, int width) {
    if (!(high > low) || width < 2) return {{low, short_number(low), 0}};
    const int k0 = static_cast<int>(std::floor(std::log10(high - low))) - 3;
    std::vector<Tick> ticks;
    for (int k = k0; k <= k0 + 5; ++k)
        for (int m : {1, 2, 5}) {
            if (!multiples(low, high, m, k, width, &ticks) || ticks.size() < 2) continue;
            int widest = 0, closest = width;
            for (std::size_t i = 0; i < ticks.size(); ++i) {
                widest = std::max(widest, text_width(ticks[i].label, kTextScale));
                if (i > 0) closest = std::min(closest, ticks[i].column - ticks[i - 1].column);
            }
            if (closest >= widest + kTickLabelGap) return ticks;
        }
    return {{low, short_number(low), 0}, {high, short_number(high), width - 1}};
}

Panel axial_panel(const Grid& g, const std::vector<float>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask) {
    return slice_panel(g, image, z, t, label, style, low, high, mask);
}

Panel axial_panel(const Grid& g, const std::vector<double>& image, int z, int t, const std::string& label,
                  PanelStyle style, double low, double high, const std::vector<std::uint8_t>& mask) {
    return slice_panel(g, image, z, t, label, style, low, high, mask);
}

FigureLayout figure_layout(const std::vector<Panel>& panels, int zoom) {
    int images_height = 0;
    for (const Panel& p : panels) images_height = std::max(images_height, p.height * zoom);
    const int image_y = kMargin + label_height();
    const int bar_y = image_y + images_height + kBarGap;
    FigureLayout layout{kMargin, 0, {}};
    for (const Panel& p : panels) {
        const int col = column_width(p, zoom);
        PanelPlace at{};
        at.image_width = p.width * zoom;
        at.image_height = p.height * zoom;
        at.image_x = layout.width + (col - at.image_width) / 2;
        at.image_y = image_y;
        if (!p.units.empty()) {
            at.bar_x = at.image_x;
            at.bar_y = bar_y;
            at.bar_width = at.image_width;
            at.bar_height = kBarHeight;
        }
        layout.panels.push_back(at);
        layout.width += col + kMargin;
    }
    layout.height = image_y + images_height + (has_bar(panels) ? kBarGap + kBarBlock : 0) + kMargin;
    return layout;
}

FigureSize figure_size(const std::vector<Panel>& panels, int zoom) {
    const FigureLayout layout = figure_layout(panels, zoom);
    return {layout.width, layout.height};
}

host::Image render_figure(const std::vector<Panel>& panels, int zoom) {
    validate(panels, zoom, "cannot draw figure: ");
    const FigureLayout layout = figure_layout(panels, zoom);
    host::Image img{layout.width, layout.height,
                    std::vector<Rgb>(static_cast<std::size_t>(layout.width) * layout.height, kBackground)};
    int x0 = kMargin;
    for (std::size_t k = 0; k < panels.size(); ++k) {
        const Panel& p = panels[k];
        const PanelPlace& at = layout.panels[k];
        const int col = column_width(p, zoom);
        draw_text(img, x0 + (col - text_width(p.label, kTextScale)) / 2, kMargin + kLabelGap, p.label, kTextScale);
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * p.width + x;
                const float v = p.pixels[i];
                const bool shown = std::isfinite(v) && (p.mask.empty() || p.mask[i] != 0);
                fill(img, at.image_x + x * zoom, at.image_y + y * zoom, zoom, zoom,
                     shown ? panel_colour(p, v) : kBackground);
            }
        if (at.bar_width > 0) draw_bar(img, p, at, x0, col);
        x0 += col + kMargin;
    }
    return img;
}

void write_figure_png(const std::string& path, const std::vector<Panel>& panels, int zoom) {
    const std::string where = "cannot write figure \"" + path + "\": ";
    validate(panels, zoom, where);
    std::vector<std::uint8_t> png;
    try {
        png = host::encode_png(render_figure(panels, zoom));
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
