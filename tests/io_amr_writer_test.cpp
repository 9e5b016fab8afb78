// AMR previews: file layout byte for byte, rounding, enlargement, centring, names and failed writes.
#include "io/amr_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/io_test_support.h"

namespace warpmender {
namespace {

constexpr size_t kSlice = 66614;
constexpr size_t kPixels = 1078;  // offset of the pixels in a slice image

// Pixel (x, y) of slice s in an AMR file's bytes.
uint8_t pixel(const std::vector<uint8_t>& file, size_t s, size_t x, size_t y) {
    return file.at(2 + s * kSlice + kPixels + y * 256 + x);
}

std::vector<uint8_t> slice_pixels(const std::vector<uint8_t>& file, size_t s) {
    const auto begin = file.begin() + static_cast<long>(2 + s * kSlice + kPixels);
    return std::vector<uint8_t>(begin, begin + 65536);
}

TEST(IoAmr, full_size_slices_are_laid_out_as_bitmaps) {
    test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_layout");
    // Two volumes; only the first is shown, so volume 1's 5000 must not count.
    auto v = test::volume_of(256, 256, 3, 2, {});
    v->setvalue(0, 0, 0, 0, 1000.0);
    v->setvalue(1, 0, 0, 0, 500.0);    // 127.5, rounded half up
    v->setvalue(5, 7, 1, 0, 250.0);    // 63.75
    v->setvalue(255, 255, 2, 0, 2.0);  // 0.51
    v->setvalue(3, 3, 0, 1, 5000.0);
    v->setname((dir + "/a.fmr").c_str());
    ASSERT_TRUE(save2amr(v.get()));

    const std::vector<uint8_t> f = test::read_bytes(dir + "/a.amr");
    ASSERT_EQ(f.size(), 199844u);  // 2 + 3 * 66614
    EXPECT_EQ(f[0], 3);
    EXPECT_EQ(f[1], 0);
    for (size_t s = 0; s < 3; ++s) {
        const size_t b = 2 + s * kSlice;
        EXPECT_EQ(f[b], 'B');
        EXPECT_EQ(f[b + 1], 'M');
        struct Field {
            size_t offset, size;
            uint32_t value;
        };
        const Field fields[] = {{2, 4, 66614},  {6, 2, 0},     {8, 2, 0},     {10, 4, 1078}, {14, 4, 40},
                                {18, 4, 256},   {22, 4, 256},  {26, 2, 1},    {28, 2, 8},    {30, 4, 0},
                                {34, 4, 65536}, {38, 4, 2834}, {42, 4, 2834}, {46, 4, 256},  {50, 4, 256}};
        for (const Field& fd : fields)
            EXPECT_EQ(fd.size == 4 ? test::le32(f, b + fd.offset) : test::le16(f, b + fd.offset), fd.value)
                << "slice " << s << " offset " << fd.offset;
        for (size_t i = 0; i < 256; ++i) {
            ASSERT_EQ(f[b + 54 + 4 * i], i);
            ASSERT_EQ(f[b + 54 + 4 * i + 1], i);
            ASSERT_EQ(f[b + 54 + 4 * i + 2], i);
            ASSERT_EQ(f[b + 54 + 4 * i + 3], 0);
        }
    }
    EXPECT_EQ(pixel(f, 0, 0, 0), 255);
    EXPECT_EQ(pixel(f, 0, 1, 0), 128);
    EXPECT_EQ(pixel(f, 1, 5, 7), 64);
    EXPECT_EQ(pixel(f, 2, 255, 255), 1);
    EXPECT_EQ(pixel(f, 0, 3, 3), 0);
    EXPECT_EQ(pixel(f, 0, 0, 1), 0);  // row 1 follows row 0: x fastest
}

TEST(IoAmr, all_negative_values_map_zero_to_white) {
    test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_negative");
    std::vector<double> values(65536, -2.0);
    values[0] = -10.0;
    values[1] = -6.0;
    auto v = test::volume_of(256, 256, 1, 1, values, dir + "/neg.fmr");
    ASSERT_TRUE(save2amr(v.get()));
    const std::vector<uint8_t> p = slice_pixels(test::read_bytes(dir + "/neg.amr"), 0);
    // -10..0 to 0..255: scale 25.5, so -6 -> 102 and -2 -> 204.
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 102);
    EXPECT_EQ(p[2], 204);
    EXPECT_EQ(*std::max_element(p.begin(), p.end()), 204);
}

TEST(IoAmr, square_slices_that_divide_256_are_enlarged_by_ramps_and_row_means) {
    test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_enlarge");
    // A 64 x 64 slice (factor 4) whose maximum is 255, so values are pixels.
    auto v = test::volume_of(64, 64, 1, 1, {}, dir + "/e.fmr");
    v->setvalue(0, 0, 0, 100.0);
    v->setvalue(1, 0, 0, 200.0);
    v->setvalue(63, 0, 0, 80.0);  // its value runs on into the start of row 1
    v->setvalue(63, 63, 0, 255.0);
    ASSERT_TRUE(save2amr(v.get()));
    const std::vector<uint8_t> f = test::read_bytes(dir + "/e.amr");
    ASSERT_EQ(f.size(), 2u + kSlice);

    // Horizontal row 0: ramps from 0 to 100, 100 to 200, 200 to 0, ..., 0 to 80.
    const std::vector<uint8_t> row0_head = {0, 25, 50, 75, 100, 125, 150, 175, 200, 150, 100, 50, 0, 0, 0, 0};
    const std::vector<uint8_t> row0_tail = {0, 20, 40, 60};
    // Row 1 starts from 80 (carried) down to 0; the rest of row 1 is 0.
    const std::vector<uint8_t> row1_head = {80, 60, 40, 20, 0, 0, 0, 0};
    for (size_t r = 0; r < 4; ++r) {  // output rows 0..3 repeat horizontal row 0
        for (size_t x = 0; x < row0_head.size(); ++x) EXPECT_EQ(pixel(f, 0, x, r), row0_head[x]) << x << " " << r;
        for (size_t x = 0; x < 4; ++x) EXPECT_EQ(pixel(f, 0, 252 + x, r), row0_tail[x]) << x;
    }
    // Output rows 4..7: the truncating mean of horizontal rows 0, 1 and 2 (row 2 is 0).
    for (size_t r = 4; r < 8; ++r)
        for (size_t x = 0; x < row1_head.size(); ++x)
            EXPECT_EQ(pixel(f, 0, x, r), (row0_head[x] + row1_head[x]) / 3) << x << " " << r;
    // Output rows 252..255: the mean of horizontal rows 63 and 62; row 63 ends
    // with the ramp 0, 64, 128, 191 (steps of 63.75), row 62 is 0.
    const std::vector<uint8_t> last = {0, 32, 64, 95};
    for (size_t r = 252; r < 256; ++r)
        for (size_t x = 0; x < 4; ++x) EXPECT_EQ(pixel(f, 0, 252 + x, r), last[x]) << x << " " << r;
    EXPECT_EQ(pixel(f, 0, 100, 100), 0);
}

TEST(IoAmr, other_slices_up_to_256_are_centred_in_the_frame) {
    test::bound_host();
    struct Case {
        long nx, ny;
        size_t ox, oy;  // (256 - n) / 2
    };
    const Case cases[] = {{128, 96, 64, 80}, {23, 17, 116, 119}, {100, 100, 78, 78}, {256, 5, 0, 125}};
    for (const Case& c : cases) {
        // Voxels hold their own index: a transposed or shifted slice shows at once.
        auto v = test::indexed_volume(c.nx, c.ny, 1, 1);
        const double top = double(c.nx * c.ny - 1);
        std::unique_ptr<amrStruct> amr(datahandler2amr(v.get(), false, false, ""));
        ASSERT_NE(amr, nullptr);
        const std::vector<uint8_t>& p = amr->slices.at(0).pixels;
        size_t outside = 0;
        for (size_t y = 0; y < 256; ++y)
            for (size_t x = 0; x < 256; ++x) {
                const bool inside = x >= c.ox && x < c.ox + size_t(c.nx) && y >= c.oy && y < c.oy + size_t(c.ny);
                if (!inside) {
                    outside += p[y * 256 + x] != 0;
                    continue;
                }
                const double i = double((x - c.ox) + size_t(c.nx) * (y - c.oy));
                ASSERT_EQ(p[y * 256 + x], static_cast<uint8_t>(std::floor(i * (255.0 / top) + 0.5)))
                    << c.nx << "x" << c.ny << " at " << x << "," << y;
            }
        EXPECT_EQ(outside, 0u) << c.nx << "x" << c.ny;
    }
}

TEST(IoAmr, matrices_larger_than_256_log_each_slice_and_write_nothing) {
    struct Case {
        long nx, ny, nz;
    };
    const Case cases[] = {{320, 320, 2}, {256, 257, 3}, {300, 10, 1}};
    for (const Case& c : cases) {
        host::Host& h = test::bound_host();
        const std::string dir = test::scratch_dir("io_amr_large");
        auto v = test::volume_of(c.nx, c.ny, c.nz, 1, {1.0}, dir + "/big.fmr");
        EXPECT_FALSE(save2amr(v.get(), "_x"));
        EXPECT_EQ(h.log, std::vector<std::string>(size_t(c.nz),
                                                  "Save to AMR not available for image matrix larger than 256."));
        EXPECT_TRUE(test::entries_of(dir).empty());
    }
}

TEST(IoAmr, file_names_follow_the_volume_name) {
    struct Case {
        const char* name;
        bool usesuffix;
        bool firstvolasanat;
        const char* file;
    };
    const Case cases[] = {
        {"a.fmr", true, false, "a_unwrapped.amr"},
        {"a.fmr", false, false, "a.amr"},
        {"a.fmr", false, true, "a_firstvol_as_anat.amr"},
        {"", true, false, "_unwrapped.amr"},  // an empty name is "none", which has no extension
    };
    for (const Case& c : cases) {
        test::bound_host();
        const std::string dir = test::scratch_dir("io_amr_names");
        test::InDirectory in(dir);
        auto v = test::volume_of(2, 2, 1, 1, {1, 2, 3, 4}, c.name);
        std::unique_ptr<amrStruct> amr(datahandler2amr(v.get(), c.firstvolasanat, c.usesuffix, "_unwrapped"));
        ASSERT_NE(amr, nullptr);
        EXPECT_EQ(amr->nrofslices, 1);
        EXPECT_EQ(amr->firstvolasanat, c.firstvolasanat);
        ASSERT_TRUE(writeamr(amr.get()));
        EXPECT_EQ(test::entries_of(dir), std::set<std::string>{c.file}) << c.name;
    }
}

TEST(IoAmr, container_named_none_with_suffix_x_gives_x_amr) {
    test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_none");
    test::InDirectory in(dir);
    auto v = test::volume_of(4, 4, 2, 1, {9.0}, "none");
    ASSERT_TRUE(save2amr(v.get(), "_x"));
    EXPECT_EQ(test::entries_of(dir), std::set<std::string>{"_x.amr"});
}

TEST(IoAmr, float_volumes_are_converted_and_logged) {
    host::Host& h = test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_float");
    float* d = new float[4]{0.0f, 1.0f, 2.0f, 4.0f};
    datahandler<float> v(d, 2, 2, 1, 1, 4);
    const std::string name = dir + "/f.fmr";
    v.setname(name.c_str());
    ASSERT_TRUE(v.hasdata());
    EXPECT_TRUE(save2amr(&v, true, "_mask"));
    EXPECT_TRUE(save2amr(&v, false, "_ignored"));
    EXPECT_EQ(test::find_log(h, "Saving AMR file..."), 0);
    EXPECT_EQ(test::entries_of(dir), (std::set<std::string>{"f.amr", "f_mask.amr"}));
}

TEST(IoAmr, a_write_into_a_missing_directory_fails_and_leaves_nothing) {
    host::Host& h = test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_missing");
    auto v = test::volume_of(4, 4, 1, 1, {9.0}, dir + "/no/such/a.fmr");
    EXPECT_FALSE(save2amr(v.get()));
    ASSERT_GE(h.log.size(), 2u);
    EXPECT_EQ(h.log[h.log.size() - 2], "Error while writing AMR file");
    EXPECT_EQ(h.log.back().rfind("cannot create \"" + dir + "/no/such/a.amr\": ", 0), 0u) << h.log.back();
    EXPECT_TRUE(test::entries_of(dir).empty());
}

TEST(IoAmr, a_write_failing_midway_leaves_no_truncated_file_and_keeps_the_old_one) {
    host::Host& h = test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_full");
    test::write_text(dir + "/a.amr", "previous preview");
    auto v = test::volume_of(256, 256, 3, 1, {1.0}, dir + "/a.fmr");
    bool ok = true;
    {
        test::FileSizeLimit limit(100000);  // half of the 199844 bytes
        ok = save2amr(v.get());
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(test::log_contains(h, "Error while writing AMR file"));
    EXPECT_EQ(test::entries_of(dir), std::set<std::string>{"a.amr"});
    EXPECT_EQ(test::read_text(dir + "/a.amr"), "previous preview");
}

TEST(IoAmr, malformed_structures_and_empty_volumes_are_refused) {
    host::Host& h = test::bound_host();
    const std::string dir = test::scratch_dir("io_amr_malformed");
    amrStruct amr;
    amr.name = dir + "/m.fmr";
    amr.nrofslices = 2;  // but no slices
    EXPECT_FALSE(writeamr(&amr));
    EXPECT_FALSE(writeamr(nullptr));
    EXPECT_EQ(h.log, std::vector<std::string>(2, "Error while writing AMR file"));
    EXPECT_TRUE(test::entries_of(dir).empty());

    datahandler<double> empty(4, 4, 1, 1, 8);  // shape only, no buffer
    EXPECT_EQ(datahandler2amr(&empty, false, false, ""), nullptr);
    EXPECT_EQ(h.log.back(), "Error while converting AMR file");
}

}  // namespace
}  // namespace warpmender
