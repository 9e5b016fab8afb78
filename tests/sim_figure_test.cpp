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
