// Version-1 VMR files: round trip of an index volume and refusal of malformed files.
#include <gtest/gtest.h>

#include "core/error.h"
#include "formats/vmr_file.h"
#include "host/document_files.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

TEST(HostVmrFile, round_trip_keeps_sizes_and_every_voxel_and_gives_a_centred_1mm_grid) {
    const std::string dir = test::scratch_dir("host_vmr_round_trip");
    host::Document d = host::make_vmr_document("t1.vmr", test::kNx, test::kNy, test::kNz);
    for (size_t i = 0; i < d.voxels.size(); ++i) d.voxels[i] = static_cast<uint8_t>(i * 7 % 251);
    host::write_vmr(d, dir + "/t1.vmr");
    EXPECT_EQ(test::listing(dir), std::vector<std::string>{"t1.vmr"});
    const std::string bytes = test::read_file(dir + "/t1.vmr");
    ASSERT_EQ(bytes.size(), 6u + d.voxels.size());
    EXPECT_EQ(bytes.substr(0, 6), std::string("\x17\0\x11\0\x0b\0", 6));  // 23, 17, 11 little-endian

    host::Host& h = test::fresh_host();
    h.output_dir = "/results";
    const host::Document back = host::open_document(dir + "/t1.vmr", false);
    EXPECT_EQ(back.type, host::kVmr);
    EXPECT_STREQ(back.vmr.FileName, "/results/t1.vmr");
    EXPECT_EQ(back.source_path, dir + "/t1.vmr");
    EXPECT_EQ(back.vmr.DimX, test::kNx);
    EXPECT_EQ(back.vmr.DimY, test::kNy);
    EXPECT_EQ(back.vmr.DimZ, test::kNz);
    EXPECT_EQ(back.vmr.VoxelSizeX, 1.0f);
    EXPECT_EQ(back.voxels, d.voxels);
    EXPECT_EQ(back.position.Slice1CenterZ, -5.0f);
    EXPECT_EQ(back.position.SliceNCenterZ, 5.0f);
    EXPECT_EQ(back.position.RowDirX, 1.0f);
    EXPECT_EQ(back.position.ColDirY, 1.0f);
}

struct BadVmr {
    const char* name;
    std::string bytes;  // "(none)" writes no file
    const char* expected;
};

void PrintTo(const BadVmr& b, std::ostream* os) { *os << b.name; }

class HostVmrMalformed : public ::testing::TestWithParam<BadVmr> {};

TEST_P(HostVmrMalformed, is_refused_naming_the_file) {
    const BadVmr& b = GetParam();
    const std::string path = test::scratch_dir(std::string("host_vmr_bad_") + b.name) + "/a.vmr";
    if (b.bytes != "(none)") test::write_file(path, b.bytes);
    test::fresh_host();
    try {
        host::open_document(path, true);
        FAIL() << "opened";
    } catch (const Error& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("\"" + path + "\""), std::string::npos) << m;
        EXPECT_NE(m.find(b.expected), std::string::npos) << m;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostVmrMalformed,
    ::testing::Values(BadVmr{"missing", "(none)", "No such file or directory"},
                      BadVmr{"empty", "", "the file is empty"},
                      BadVmr{"short_header", std::string("\x02\0\x02", 3), "too few for the 6-byte VMR header"},
                      BadVmr{"zero_size", std::string("\x02\0\0\0\x02\0", 6), "every dimension must be at least 1"},
                      BadVmr{"truncated", std::string("\x02\0\x02\0\x02\0", 6) + "1234567",
                             "the file has 13 bytes, expected 14 for a version-1 VMR of 2 x 2 x 2 voxels"},
                      BadVmr{"too_long", std::string("\x02\0\x02\0\x02\0", 6) + "123456789",
                             "the file has 15 bytes, expected 14"}),
    [](const ::testing::TestParamInfo<BadVmr>& info) { return std::string(info.param.name); });

TEST(HostVmrFile, writer_refuses_sizes_a_version_1_file_cannot_hold) {
    host::Document d = host::make_vmr_document("big.vmr", 1, 1, 1);
    d.vmr.DimX = 70000;
    const std::string dir = test::scratch_dir("host_vmr_too_big");
    EXPECT_THROW(host::write_vmr(d, dir + "/big.vmr"), Error);
    EXPECT_TRUE(test::listing(dir).empty());
}

}  // namespace
}  // namespace warpmender
