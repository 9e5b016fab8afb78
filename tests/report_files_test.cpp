// The report's building blocks: whole-or-absent writes, PNG and base64, slices in the right orientation.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/png_image.h"
#include "report/atomic_write.h"
#include "report/html_text.h"
#include "report/slices.h"

namespace warpmender {
namespace {

std::string fresh_dir(const std::string& name) {
    const std::string dir = std::string(WARPMENDER_BINARY_DIR) + "/tests/report_files/" + name;
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    return dir;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    return names;
}

TEST(ReportFiles, atomic_write_replaces_the_file_and_leaves_no_temporary) {
    const std::string dir = fresh_dir("replace");
    report::write_file_atomically(dir + "/a.html", "first");
    report::write_file_atomically(dir + "/a.html", "second, longer");
    EXPECT_EQ(read_file(dir + "/a.html"), "second, longer");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"a.html"});
}

TEST(ReportFiles, atomic_write_replaces_a_planted_link_instead_of_following_it) {
    const std::string dir = fresh_dir("link");
    report::write_file_atomically(dir + "/victim", "untouched");
    ASSERT_EQ(symlink((dir + "/victim").c_str(), (dir + "/report.html").c_str()), 0);
    report::write_file_atomically(dir + "/report.html", "the report");
    EXPECT_EQ(read_file(dir + "/victim"), "untouched");
    struct stat st {};
    ASSERT_EQ(lstat((dir + "/report.html").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(dir + "/report.html"), "the report");
}

TEST(ReportFiles, atomic_write_into_a_missing_directory_names_it_and_writes_nothing) {
    const std::string dir = fresh_dir("missing");
    try {
        report::write_file_atomically(dir + "/nowhere/r.json", "{}");
        FAIL() << "wrote into a missing directory";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot write \"" + dir + "/nowhere/r.json\": the directory \"" + dir + "/nowhere\" does not exist");
    }
    EXPECT_TRUE(entries(dir).empty());
}

TEST(ReportFiles, base64_of_the_standard_vectors) {
    const struct {
        const char *in, *out;
    } kCases[] = {{"", ""},
                  {"f", "Zg=="},
                  {"fo", "Zm8="},
                  {"foo", "Zm9v"},
                  {"foob", "Zm9vYg=="},
                  {"fooba", "Zm9vYmE="},
                  {"foobar", "Zm9vYmFy"}};
    for (const auto& c : kCases) {
        const std::string s = c.in;
        EXPECT_EQ(report::base64(std::vector<std::uint8_t>(s.begin(), s.end())), c.out) << c.in;
    }
    EXPECT_EQ(report::base64({0xfb, 0xff, 0xfe}), "+//+");
}

TEST(ReportFiles, png_decodes_to_the_same_pixels) {
    // 7 x 5 pixels that hold their own position.
    report::Image img;
    img.width = 7;
    img.height = 5;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            img.pixels.push_back({static_cast<std::uint8_t>(x * 30), static_cast<std::uint8_t>(y * 50),
                                  static_cast<std::uint8_t>(x + 7 * y)});
    const std::vector<std::uint8_t> bytes = report::encode_png(img);
    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, bytes.data(), bytes.size())) << decoded.message;
    decoded.format = PNG_FORMAT_RGB;
    ASSERT_EQ(decoded.width, 7u);
    ASSERT_EQ(decoded.height, 5u);
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, rgb.data(), 0, nullptr)) << decoded.message;
    for (size_t i = 0; i < img.pixels.size(); ++i) {
        EXPECT_EQ(rgb[3 * i], img.pixels[i].r);
        EXPECT_EQ(rgb[3 * i + 1], img.pixels[i].g);
        EXPECT_EQ(rgb[3 * i + 2], img.pixels[i].b);
    }
    EXPECT_EQ(report::png_data_uri(img).rfind("data:image/png;base64,iVBORw0KGgo", 0), 0u);
    img.pixels.pop_back();
    EXPECT_THROW(report::encode_png(img), std::runtime_error);
}

// 5 x 4 x 3 voxels holding their own index; at one pixel per mm with 1 mm
// voxels every pixel is one voxel, so the corners show which voxel lands where.
TEST(ReportFiles, slices_show_each_orientation_the_right_way_round) {
    report::Volume v;
    v.nx = 5;
    v.ny = 4;
    v.nz = 3;
    for (int i = 0; i < 60; ++i) v.values.push_back(static_cast<float>(i));
    auto grey_at = [&](report::Orientation o, int slice, int px, int py, int* w, int* h) {
        const report::View view{o, slice, 1.0};
        const report::Image img = report::grey_slice(v, view, 0.0, 255.0);
        *w = img.width;
        *h = img.height;
        return static_cast<int>(img.pixels[static_cast<size_t>(py) * img.width + px].r);
    };
    const struct {
        report::Orientation o;
        int slice, px, py, width, height, voxel;
    } kCases[] = {
        {report::Orientation::kAxial, 2, 0, 0, 5, 4, 0 + 5 * (0 + 4 * 2)},     // top left: x 0, y 0
        {report::Orientation::kAxial, 2, 4, 3, 5, 4, 4 + 5 * (3 + 4 * 2)},     // bottom right: x 4, y 3
        {report::Orientation::kCoronal, 1, 0, 0, 5, 3, 0 + 5 * (1 + 4 * 2)},   // top: the highest z
        {report::Orientation::kCoronal, 1, 3, 2, 5, 3, 3 + 5 * (1 + 4 * 0)},   // bottom: z 0
        {report::Orientation::kSagittal, 4, 0, 0, 4, 3, 4 + 5 * (0 + 4 * 2)},  // y across, z up
        {report::Orientation::kSagittal, 4, 3, 2, 4, 3, 4 + 5 * (3 + 4 * 0)},
    };
    for (const auto& c : kCases) {
        int w = 0, h = 0;
        const int g = grey_at(c.o, c.slice, c.px, c.py, &w, &h);
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
        EXPECT_EQ(g, c.voxel) << "orientation " << static_cast<int>(c.o) << " pixel " << c.px << "," << c.py;
    }
    // Anisotropic voxels keep their shape: 2 mm along x makes the axial slice twice as wide.
    v.dx = 2.0;
    int w = 0, h = 0;
    report::view_size(v, report::View{report::Orientation::kAxial, 0, 3.0}, &w, &h);
    EXPECT_EQ(w, 30);
    EXPECT_EQ(h, 12);
}

TEST(ReportFiles, diverging_map_and_contours) {
    EXPECT_EQ(report::diverging(0.0, 5.0).g, 255);
    EXPECT_EQ(report::diverging(5.0, 5.0).r, 255);
    EXPECT_EQ(report::diverging(5.0, 5.0).g, 0);
    EXPECT_EQ(report::diverging(-9.0, 5.0).b, 255);
    EXPECT_EQ(report::diverging(-9.0, 5.0).r, 0);
    EXPECT_EQ(report::diverging(2.5, 5.0).g, 128);
    // A magnitude step between x = 2 and x = 3: the contour at 50 runs between those columns only.
    report::Volume v, mag;
    v.nx = mag.nx = 6;
    v.ny = mag.ny = 3;
    v.nz = mag.nz = 1;
    v.values.assign(18, 0.0f);
    for (int i = 0; i < 18; ++i) mag.values.push_back(i % 6 <= 2 ? 0.0f : 100.0f);
    const report::Image img =
        report::grey_slice(v, report::View{report::Orientation::kAxial, 0, 1.0}, 0, 1, &mag, {50.0});
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x) {
            const report::Rgb p = img.pixels[static_cast<size_t>(y) * 6 + x];
            EXPECT_EQ(p.r == report::kContourColour.r && p.g == report::kContourColour.g, x == 2) << x << "," << y;
        }
    EXPECT_EQ(report::html_escape("a<b & \"c\" 'd'"), "a&lt;b &amp; &quot;c&quot; &#39;d&#39;");
}

}  // namespace
}  // namespace warpmender
