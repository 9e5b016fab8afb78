// Tests of the PNG figure: panels, colours, labels, atomic writing.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/error.h"
#include "sim/figure.h"

namespace warpmender {
namespace sim {
namespace {

namespace fs = std::filesystem;

std::string scratch(const std::string& name) {
    const fs::path p = fs::temp_directory_path() / ("warpmender-sim-figure-" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p.string();
}

struct Png {
    unsigned width = 0, height = 0;
    int color_type = -1, bit_depth = 0;
    std::vector<unsigned char> rgb;
};

// Reads an 8-bit RGB PNG back with libpng; fails the test on a bad signature.
Png read_png(const std::string& path) {
    Png out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return out;
    unsigned char sig[8] = {};
    EXPECT_EQ(std::fread(sig, 1, 8, f), 8u);
    EXPECT_EQ(png_sig_cmp(sig, 0, 8), 0) << "no PNG signature";
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        ADD_FAILURE() << "libpng could not read " << path;
        return Png{};
    }
    png_init_io(png, f);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.color_type = png_get_color_type(png, info);
    out.bit_depth = png_get_bit_depth(png, info);
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    std::vector<png_bytep> rows(out.height);
    for (unsigned y = 0; y < out.height; ++y) rows[y] = out.rgb.data() + static_cast<std::size_t>(y) * out.width * 3;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return out;
}

using Colour = std::tuple<int, int, int>;
std::map<Colour, std::size_t> colour_counts(const Png& p) {
    std::map<Colour, std::size_t> m;
    for (std::size_t i = 0; i + 2 < p.rgb.size(); i += 3) ++m[{p.rgb[i], p.rgb[i + 1], p.rgb[i + 2]}];
    return m;
}

std::vector<Panel> two_panels() {
    Panel grey;
    grey.label = "grey 0..1";
    grey.width = 3;
    grey.height = 2;
    grey.pixels = {0.0f, 0.5f, 1.0f, 0.25f, 0.75f, 2.0f};  // 2.0 clamps to white
    grey.low = 0.0;
    grey.high = 1.0;
    Panel field;
    field.label = "field (Hz)";
    field.width = 2;
    field.height = 2;
    field.pixels = {-100.0f, 0.0f, 100.0f, 55.0f};
    field.mask = {1, 1, 1, 0};  // the last pixel is painted as background
    field.style = PanelStyle::diverging;
    field.low = -100.0;
    field.high = 100.0;
    return {grey, field};
}

TEST(SimFigure, writes_a_png_of_the_laid_out_size_with_the_panel_colours_and_labels) {
    const std::string dir = scratch("colours");
    const std::string path = dir + "/figure.png";
    const std::vector<Panel> panels = two_panels();
    constexpr int kZoom = 4;
    write_figure_png(path, panels, kZoom);

    const Png png = read_png(path);
    const FigureSize size = figure_size(panels, kZoom);
    EXPECT_EQ(png.width, static_cast<unsigned>(size.width));
    EXPECT_EQ(png.height, static_cast<unsigned>(size.height));
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(png.bit_depth, 8);
    // Each image pixel becomes kZoom x kZoom screen pixels of its colour.
    const auto counts = colour_counts(png);
    const std::size_t block = kZoom * kZoom;
    auto count = [&](int r, int g, int b) {
        const auto it = counts.find({r, g, b});
        return it == counts.end() ? 0u : it->second;
    };
    EXPECT_EQ(count(128, 128, 128), block);      // 0.5
    EXPECT_EQ(count(64, 64, 64), block);         // 0.25
    EXPECT_EQ(count(191, 191, 191), block);      // 0.75
    EXPECT_EQ(count(255, 255, 255), 3 * block);  // 1.0, clamped 2.0, and the field's 0 (white)
    EXPECT_EQ(count(0, 0, 255), block);          // field -100: blue
    EXPECT_EQ(count(255, 0, 0), block);          // field +100: red
    EXPECT_EQ(count(255, 115, 115), 0u);         // the masked 55 Hz is not drawn
    EXPECT_GT(count(235, 235, 235), 50u);        // label text
    // Nothing else was left in the folder (the temporary file was renamed).
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);
}

TEST(SimFigure, overwrites_an_existing_file_and_fails_cleanly_where_it_cannot_write) {
    const std::string dir = scratch("overwrite");
    const std::string path = dir + "/figure.png";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("old", f);
        std::fclose(f);
    }
    write_figure_png(path, two_panels(), 1);
    EXPECT_EQ(read_png(path).width, static_cast<unsigned>(figure_size(two_panels(), 1).width));

    const std::string missing = dir + "/no/such/folder/figure.png";
    try {
        write_figure_png(missing, two_panels(), 1);
        ADD_FAILURE() << "expected an error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir + "/no"));
}

TEST(SimFigure, refuses_inconsistent_panels) {
    const std::string path = scratch("bad") + "/figure.png";
    std::vector<Panel> p = two_panels();
    p[0].pixels.pop_back();
    EXPECT_THROW(write_figure_png(path, p, 2), Error);
    p = two_panels();
    p[1].mask.push_back(1);
    EXPECT_THROW(write_figure_png(path, p, 2), Error);
    EXPECT_THROW(write_figure_png(path, {}, 2), Error);
    EXPECT_THROW(write_figure_png(path, two_panels(), 0), Error);
    EXPECT_FALSE(fs::exists(path));
}

// Slice z of volume t, rows along y, columns along x, on a volume whose
// voxels hold their own index.
TEST(SimFigure, axial_panel_takes_slice_z_of_volume_t) {
    const Grid g{23, 17, 11, 2.0, 2.0, 2.0};
    std::vector<float> v(g.voxels() * 3);
    std::iota(v.begin(), v.end(), 0.0f);
    const Panel p = axial_panel(g, v, 6, 2, "slice", PanelStyle::grey, 0.0, 1.0);
    ASSERT_EQ(p.width, 23);
    ASSERT_EQ(p.height, 17);
    for (int y = 0; y < g.ny; ++y)
        for (int x = 0; x < g.nx; ++x)
            ASSERT_EQ(p.pixels[static_cast<std::size_t>(y) * 23 + x],
                      static_cast<float>(2 * g.voxels() + g.index(x, y, 6)));
    std::vector<std::uint8_t> mask(g.voxels(), 0);
    mask[g.index(4, 5, 6)] = 1;
    const Panel m = axial_panel(g, std::vector<double>(g.voxels(), 1.5), 6, 0, "m", PanelStyle::diverging, -1, 1, mask);
    EXPECT_EQ(m.mask[5 * 23 + 4], 1);
    EXPECT_EQ(std::accumulate(m.mask.begin(), m.mask.end(), 0), 1);
    EXPECT_THROW(axial_panel(g, v, 11, 0, "z", PanelStyle::grey, 0, 1), Error);
    EXPECT_THROW(axial_panel(g, v, 0, 3, "t", PanelStyle::grey, 0, 1), Error);
}

struct TickCase {
    double low, high;
    int width;
    std::vector<std::tuple<double, std::string, int>> ticks;  // value, label, column
};

TEST(SimFigure, colour_bar_ticks_take_the_smallest_round_step_whose_values_stand_apart) {
    // Labels are 12 px a character less 2 (text scale 2) and need kTickLabelGap = 12 px between centres
    // beyond the widest; column c of a bar w wide holds low + [c, c + 1) * (high - low) / w.
    const TickCase cases[] = {
        // step 5 would put "0", "5", "10" 20 px apart (< 22 + 12); step 10 gives 39.
        {0, 10, 40, {{0, "0", 0}, {10, "10", 39}}},
        // step 100: 64 px apart >= "-300" 46 + 12; step 50 is 32 px.
        {-300,
         300,
         384,
         {{-300, "-300", 0},
          {-200, "-200", 64},
          {-100, "-100", 128},
          {0, "0", 192},
          {100, "100", 256},
          {200, "200", 320},
          {300, "300", 383}}},
        // step 0.5 (the step's one decimal on every label): 50 / 49 px >= "0.0" 34 + 12.
        {0, 1, 100, {{0, "0.0", 0}, {0.5, "0.5", 50}, {1, "1.0", 99}}},
        // step 0.2 puts "-0.2" and "0.0" 55 px apart (< 58); 0.5 and up leave one tick: the ends.
        {-0.37, 0.37, 200, {{-0.37, "-0.37", 0}, {0.37, "0.37", 199}}},
        // ticks not at the ends: 200..1200 by 200, column floor((v - 12) * 384 / 1276); 100 would be 30 px apart.
        {12,
         1288,
         384,
         {{200, "200", 56},
          {400, "400", 116},
          {600, "600", 176},
          {800, "800", 237},
          {1000, "1000", 297},
          {1200, "1200", 357}}},
        // degenerate windows and bars: the low end alone.
        {5, 5, 100, {{5, "5", 0}}},
        {3, 1, 100, {{3, "3", 0}}},
        {0, 10, 1, {{0, "0", 0}}},
    };
    for (const TickCase& c : cases) {
        const std::vector<Tick> ticks = colour_bar_ticks(c.low, c.high, c.width);
        ASSERT_EQ(ticks.size(), c.ticks.size()) << c.low << " .. " << c.high << " on " << c.width;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            EXPECT_NEAR(ticks[i].value, std::get<0>(c.ticks[i]), 1e-12) << c.low << " .. " << c.high << " #" << i;
            EXPECT_EQ(ticks[i].label, std::get<1>(c.ticks[i])) << c.low << " .. " << c.high << " #" << i;
            EXPECT_EQ(ticks[i].column, std::get<2>(c.ticks[i])) << c.low << " .. " << c.high << " #" << i;
        }
    }
}

// Pixel (x, y) of a rendered figure.
std::tuple<int, int, int> at(const host::Image& img, int x, int y) {
    const host::Rgb c = img.pixels[static_cast<std::size_t>(y) * img.width + x];
    return {c.r, c.g, c.b};
}

TEST(SimFigure, colour_bar_is_drawn_framed_under_the_image_with_ticks_values_and_units) {
    // One grey panel 10 x 3 at zoom 4, window 0..10, units "u". By hand:
    //   label row 12 + 2 * 6 + 14 = 38: image at y 38..49; bar at 38 + 12 + 10 = 60, rows 60..71.
    //   ticks 0 @0 ("0", 10 px) and 10 @39 ("10", 22 px); "10" reaches 39 - 11 + 22 - 40 = 10 px
    //   past the bar's end, so the column is 40 + 2 * 10 + 2 = 62 wide: image and bar at x 12 + 11 = 23.
    //   ticks at rows 73..76; values at row 80 ("0" from x 23 - 5 = 18, "10" from 23 + 39 - 11 = 51);
    //   units at row 80 + 14 + 6 = 100 from x 12 + (62 - 10) / 2 = 38; height 60 + 54 + 12 = 126.
    Panel p;
    p.label = "g";
    p.units = "u";
    p.width = 10;
    p.height = 3;
    p.pixels.assign(30, 5.0f);
    p.low = 0.0;
    p.high = 10.0;
    const FigureLayout layout = figure_layout({p}, 4);
    EXPECT_EQ(layout.width, 86);
    EXPECT_EQ(layout.height, 126);
    ASSERT_EQ(layout.panels.size(), 1u);
    const PanelPlace& place = layout.panels[0];
    EXPECT_EQ(std::make_tuple(place.image_x, place.image_y, place.image_width, place.image_height),
              std::make_tuple(23, 38, 40, 12));
    EXPECT_EQ(std::make_tuple(place.bar_x, place.bar_y, place.bar_width, place.bar_height),
              std::make_tuple(23, 60, 40, 12));

    const host::Image img = render_figure({p}, 4);
    ASSERT_EQ(img.width, 86);
    ASSERT_EQ(img.height, 126);
    using C = std::tuple<int, int, int>;
    const C text{235, 235, 235}, black{0, 0, 0};
    // Bar column i shows value (i + 0.5) / 4: grey round(255 * (i + 0.5) / 40), on every row of the bar.
    const std::pair<int, int> columns[] = {{0, 3}, {1, 10}, {19, 124}, {20, 131}, {38, 245}, {39, 252}};
    for (const auto& [i, grey] : columns)
        for (int y : {60, 65, 71}) EXPECT_EQ(at(img, 23 + i, y), C(grey, grey, grey)) << "column " << i << " row " << y;
    // The image (value 5) is mid grey 128 and ends at row 49; row 50 is background.
    EXPECT_EQ(at(img, 23, 38), C(128, 128, 128));
    EXPECT_EQ(at(img, 62, 49), C(128, 128, 128));
    EXPECT_EQ(at(img, 40, 50), black);
    // The frame, one pixel outside the bar.
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{
             {22, 59}, {63, 59}, {22, 72}, {63, 72}, {40, 59}, {40, 72}, {22, 65}, {63, 65}})
        EXPECT_EQ(at(img, x, y), text) << x << "," << y;
    EXPECT_EQ(at(img, 21, 65), black);
    EXPECT_EQ(at(img, 64, 65), black);
    // Ticks: four rows under the frame at columns 0 and 39 only.
    for (int y = 73; y <= 76; ++y) {
        EXPECT_EQ(at(img, 23, y), text) << y;
        EXPECT_EQ(at(img, 62, y), text) << y;
        EXPECT_EQ(at(img, 24, y), black) << y;
        EXPECT_EQ(at(img, 43, y), black) << y;
    }
    EXPECT_EQ(at(img, 23, 77), black);
    // "0": top row .###. doubled: x 20..25 lit at rows 80..81, 18..19 dark; left column lit from row 82.
    for (int x = 20; x <= 25; ++x) EXPECT_EQ(at(img, x, 81), text) << x;
    EXPECT_EQ(at(img, 19, 80), black);
    EXPECT_EQ(at(img, 18, 82), text);
    // "10": the 1's top row ..#.. at x 55..56; the 0 starts 12 px on (x 63), its top row at 65..70.
    EXPECT_EQ(at(img, 55, 80), text);
    EXPECT_EQ(at(img, 56, 81), text);
    EXPECT_EQ(at(img, 54, 80), black);
    EXPECT_EQ(at(img, 65, 80), text);
    EXPECT_EQ(at(img, 63, 80), black);
    // "u": rows 0..1 empty, row 2 #...# -> x 38..39 and 46..47 at rows 104..105.
    EXPECT_EQ(at(img, 38, 103), black);
    EXPECT_EQ(at(img, 38, 104), text);
    EXPECT_EQ(at(img, 47, 105), text);
    EXPECT_EQ(at(img, 42, 104), black);
    // Nothing lit below the units.
    for (int x = 0; x < 86; ++x) EXPECT_EQ(at(img, x, 114), black) << x;
}

TEST(SimFigure, diverging_bar_runs_blue_white_red_and_panels_without_units_get_no_bar) {
    Panel d;
    d.label = "d";
    d.units = "Hz";
    d.width = 1;
    d.height = 1;
    d.pixels = {0.0f};
    d.style = PanelStyle::diverging;
    d.low = -1.0;
    d.high = 1.0;
    Panel plain = d;
    plain.units.clear();
    const FigureLayout layout = figure_layout({plain, d}, 4);
    EXPECT_EQ(layout.panels[0].bar_width, 0);
    ASSERT_EQ(layout.panels[1].bar_width, 4);
    const host::Image img = render_figure({plain, d}, 4);
    // Columns hold -0.75, -0.25, 0.25, 0.75: fade round(255 * (1 - |t|)) = 64, 191.
    using C = std::tuple<int, int, int>;
    const C expected[] = {{64, 64, 255}, {191, 191, 255}, {255, 191, 191}, {255, 64, 64}};
    const PanelPlace& b = layout.panels[1];
    for (int i = 0; i < 4; ++i) EXPECT_EQ(at(img, b.bar_x + i, b.bar_y + 5), expected[i]) << i;
    // Under the plain panel, from the bar's row down, only background.
    const PanelPlace& q = layout.panels[0];
    for (int y = b.bar_y - 1; y < img.height; ++y)
        for (int x = q.image_x - 2; x < q.image_x + q.image_width + 2; ++x)
            ASSERT_EQ(at(img, x, y), C(0, 0, 0)) << x << "," << y;
    // Without any units the figure is as tall as its labels and images.
    EXPECT_EQ(figure_size(two_panels(), 4).height, 12 + 26 + 8 + 12);
}

TEST(SimFigure, font_has_distinct_glyphs_and_a_fallback) {
    const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.,:;-+=()[]/%_<>|!?*#'\"";
    std::set<std::vector<std::uint8_t>> seen;
    for (char c : chars) {
        const std::uint8_t* g = glyph(c);
        std::vector<std::uint8_t> rows(g, g + kGlyphHeight);
        for (std::uint8_t r : rows) ASSERT_LT(r, 1u << kGlyphWidth) << c;
        EXPECT_TRUE(seen.insert(rows).second) << "glyph of '" << c << "' repeats another";
    }
    const std::uint8_t* q = glyph('?');
    for (char c : {'~', '\x01', static_cast<char>(0xE9)})
        EXPECT_TRUE(std::equal(q, q + kGlyphHeight, glyph(c))) << static_cast<int>(c);
    for (int r = 0; r < kGlyphHeight; ++r) EXPECT_EQ(glyph(' ')[r], 0);
    EXPECT_EQ(text_width("", 2), 0);
    EXPECT_EQ(text_width("A", 1), 5);
    EXPECT_EQ(text_width("AB", 2), 22);
}

}  // namespace
}  // namespace sim
}  // namespace warpmender
