// FMR text and STC files: round trips through the disk saver, the reader's tolerance, and refusals.
#include <algorithm>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "core/error.h"
#include "formats/fmr_file.h"
#include "host/document_files.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

using host::Document;

// A small valid header: 2 x 3 x 2 x 1 of the given type; extra lines go after it.
std::string small_fmr(int data_type = 1, const std::string& extra = "") {
    return "FileVersion: 6\nNrOfVolumes: 1\nNrOfSlices: 2\nResolutionX: 2\nResolutionY: 3\n"
           "DataStorageFormat: 2\nDataType: " +
           std::to_string(data_type) + "\n" + extra;
}

std::string open_error(const std::string& path) {
    test::fresh_host();
    try {
        host::open_document(path, false);
    } catch (const Error& e) {
        return e.what();
    }
    return "(opened)";
}

class HostFmrRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(HostFmrRoundTrip, saved_project_reads_back_voxel_for_voxel_with_header_and_position) {
    const int data_type = GetParam();
    const std::string dir = test::scratch_dir("host_fmr_round_trip_" + std::to_string(data_type));
    host::Host& h = test::fresh_host();
    h.output_dir = dir;
    host::install_disk_saver(h);
    Document original = test::index_fmr_document("run.fmr", data_type);
    std::strcpy(original.fmr.Prefix, "run");
    h.add_document(original);
    ASSERT_TRUE(h.set_current(0));
    ASSERT_EQ(hsSaveFMRAndSTC("run_b0.fmr", "run_b0"), 1) << (h.host_log.empty() ? "" : h.host_log.back());
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"run_b0.fmr", "run_b0.stc"}));

    // The STC layout: volume after volume, x fastest, little-endian.
    const std::string stc = test::read_file(dir + "/run_b0.stc");
    const size_t bytes = data_type == 1 ? 2 : 4;
    ASSERT_EQ(stc.size(), static_cast<size_t>(test::kNx) * test::kNy * test::kNz * test::kNt * bytes);
    const size_t k = test::linear_index(5, 7, 9, 2);
    if (data_type == 1) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(stc.data()) + k * 2;
        EXPECT_EQ(b[0] | b[1] << 8, static_cast<int>(k));
    } else {
        float v = 0;
        std::memcpy(&v, stc.data() + k * 4, 4);
        EXPECT_EQ(v, static_cast<float>(k) / 4.0f);
    }

    h.output_dir = dir + "/elsewhere";
    const Document back = host::open_document(dir + "/run_b0.fmr", false);
    EXPECT_STREQ(back.fmr.FileName, (dir + "/elsewhere/run_b0.fmr").c_str());
    EXPECT_EQ(back.source_path, dir + "/run_b0.fmr");
    EXPECT_EQ(back.source_data_path, dir + "/run_b0.stc");
    EXPECT_STREQ(back.fmr.Prefix, "run_b0");
    EXPECT_EQ(back.fmr.DataType, data_type);
    EXPECT_EQ(back.fmr.NrOfVolumes, test::kNt);
    EXPECT_EQ(back.fmr.ResolutionX, test::kNx);
    EXPECT_EQ(back.fmr.ResolutionY, test::kNy);
    EXPECT_EQ(back.fmr.NrOfSlices, test::kNz);
    EXPECT_EQ(back.fmr.InplaneResolutionX, 3.5f);
    EXPECT_EQ(back.fmr.InplaneResolutionY, 2.25f);
    EXPECT_EQ(back.fmr.SliceThickness, 3.0f);
    EXPECT_EQ(back.fmr.VoxelSizeZ, 3.5f);
    EXPECT_EQ(back.fmr.TR, 2000);
    EXPECT_EQ(back.fmr.TE, 30);
    EXPECT_EQ(back.fmr.InterSliceTime, 181);
    EXPECT_EQ(back.fmr.VoxelResolutionVerified, 1);
    // Floats are written in their shortest exact form: the record comes back bit for bit.
    EXPECT_EQ(std::memcmp(&back.position, &original.position, sizeof original.position), 0);
    ASSERT_EQ(back.int_volumes.size(), data_type == 1 ? 3u : 0u);
    ASSERT_EQ(back.float_volumes.size(), data_type == 2 ? 3u : 0u);
    if (data_type == 1)
        EXPECT_EQ(back.int_volumes, original.int_volumes);
    else
        EXPECT_EQ(back.float_volumes, original.float_volumes);
    EXPECT_TRUE(h.host_log.empty());
}

INSTANTIATE_TEST_SUITE_P(SixteenBitAndFloat, HostFmrRoundTrip, ::testing::Values(1, 2));

TEST(HostFmrText, carries_the_writer_keys_with_the_document_data_type) {
    Document d = host::make_fmr_document("a.fmr", 4, 3, 2, 1, 1, 1.5f);
    d.fmr.InplaneResolutionY = 2.0f;
    const std::string t = host::fmr_text(d, "dir/a_b0.fmr");
    for (const char* line :
         {"\nFileVersion:\t\t\t\t\t  6\n", "\nNrOfVolumes:\t\t\t\t\t  1\n", "\nPrefix:\t\t\t\t\t\t  \"<none>\"\n",
          "\nDataStorageFormat:             2\n", "\nDataType:                      1\n",
          "\nResolutionX:\t\t\t\t\t  4\n", "\nLoadAMRFile:\t\t\t\t\t  \"<none>\"\n",
          "\nInplaneResolutionX:    \t      1.5\n", "\nInplaneResolutionY:       \t  2\n",
          "\n\nPositionInformationFromImageHeaders\n\n", "\nSliceThickness    1.5\n", "\nGapThickness      0\n",
          "\n\nFirstDataSourceFile: \"a.fmr\"\n"})
        EXPECT_NE(t.find(line), std::string::npos) << line;
    EXPECT_EQ(t.compare(0, 1, "\n"), 0);

    std::strcpy(d.fmr.Prefix, "old");
    std::strcpy(d.fmr.LoadAMRFile, "dir/a.amr");
    d.source_path = "in\"put\n.fmr";
    const std::string p = host::fmr_text(d, "dir/a_b0.fmr");
    EXPECT_NE(p.find("\nPrefix:\t\t\t\t\t  \t  \"a_b0\"\n"), std::string::npos);
    EXPECT_NE(p.find("\nLoadAMRFile:\t\t\t\t\t  \"dir/a.amr\"\n"), std::string::npos);
    // A source name cannot break the one-line quoted value.
    EXPECT_NE(p.find("\nFirstDataSourceFile: \"in_put_.fmr\"\n"), std::string::npos);
}

TEST(HostFmrReader, takes_keys_in_any_order_with_or_without_colons_and_ignores_unknown_ones) {
    const std::string dir = test::scratch_dir("host_fmr_any_order");
    const std::string text = "\xEF\xBB\xBF\r\nSomeFutureKey: \"whatever\"\r\nDataType 1\r\nResolutionY:\t3\r\n"
                             "Prefix:  \"data_run\"\r\nNrOfSlices:2\r\nResolutionX: 2\r\nNrOfVolumes: +1\r\n"
                             "InplaneResolutionX: 1.5\r\nTR: 1999.6\r\nSliceThickness: 2\r\nSliceGap: 0.5\r\n";
    test::write_file(dir + "/a.fmr", text);
    std::vector<uint16_t> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 65535};
    test::write_file(dir + "/data_run.stc", test::bytes_of(values));
    host::Host& h = test::fresh_host();
    h.output_dir = "out";
    const Document d = host::open_document(dir + "/a.fmr", false);
    EXPECT_STREQ(d.fmr.FileName, "out/a.fmr");
    EXPECT_EQ(d.fmr.ResolutionX, 2);
    EXPECT_EQ(d.fmr.ResolutionY, 3);
    EXPECT_EQ(d.fmr.NrOfSlices, 2);
    EXPECT_EQ(d.fmr.InplaneResolutionX, 1.5f);
    EXPECT_EQ(d.fmr.InplaneResolutionY, 1.0f);  // absent: 1 mm
    EXPECT_EQ(d.fmr.VoxelSizeZ, 2.5f);          // slice thickness plus gap
    EXPECT_EQ(d.fmr.TR, 2000);
    EXPECT_EQ(d.source_data_path, dir + "/data_run.stc");
    ASSERT_EQ(d.int_volumes.size(), 1u);
    EXPECT_EQ(test::plain(d.int_volumes[0]), values);
    ASSERT_EQ(d.int_pointers.size(), 1u);
    EXPECT_EQ(d.int_pointers[0], d.int_volumes[0].data());
}

TEST(HostFmrReader, without_a_position_block_the_volume_is_axis_aligned_and_centred) {
    const std::string dir = test::scratch_dir("host_fmr_no_position");
    test::write_file(dir + "/a.fmr", small_fmr(2, "InplaneResolutionX: 2\nInplaneResolutionY: 3\nSliceThickness: 4\n"));
    test::write_file(dir + "/a.stc", std::string(2 * 3 * 2 * 4, '\0'));
    test::fresh_host();
    const Document d = host::open_document(dir + "/a.fmr", false);
    const FMR_ScannerPosition_Header& p = d.position;
    // Two slices 4 mm apart about the origin; rows along x, columns along y.
    EXPECT_EQ(p.Slice1CenterZ, -2.0f);
    EXPECT_EQ(p.SliceNCenterZ, 2.0f);
    EXPECT_EQ(p.Slice1CenterX, 0.0f);
    EXPECT_EQ(p.RowDirX, 1.0f);
    EXPECT_EQ(p.ColDirY, 1.0f);
    EXPECT_EQ(p.NCols, 2);
    EXPECT_EQ(p.NRows, 3);
    EXPECT_EQ(p.FoVCols, 4.0f);
    EXPECT_EQ(p.FoVRows, 9.0f);
}

TEST(HostFmrReader, position_block_fills_the_record_and_its_slice_thickness_is_its_own) {
    const std::string dir = test::scratch_dir("host_fmr_position");
    const std::string block =
        "SliceThickness: 3\n\nPositionInformationFromImageHeaders\n\nSlice1CenterX: 1\nSlice1CenterY: 2\n"
        "Slice1CenterZ: -5\nSliceNCenterX: 1\nSliceNCenterY: 2\nSliceNCenterZ: 5\nRowDirX: 0\nRowDirY: 1\n"
        "RowDirZ: 0\nColDirX: 0\nColDirY: 0\nColDirZ: -1\nNRows: 3\nNCols: 2\nFoVRows: 30\nFoVCols: 20\n"
        "SliceThickness    2.5\nGapThickness      0.5\n";
    test::write_file(dir + "/a.fmr", small_fmr(1, block));
    test::write_file(dir + "/a.stc", std::string(2 * 3 * 2 * 2, '\0'));
    test::fresh_host();
    const Document d = host::open_document(dir + "/a.fmr", false);
    EXPECT_EQ(d.fmr.SliceThickness, 3.0f);
    EXPECT_EQ(d.position.SliceThickness, 2.5f);
    EXPECT_EQ(d.position.GapThickness, 0.5f);
    EXPECT_EQ(d.position.Slice1CenterZ, -5.0f);
    EXPECT_EQ(d.position.RowDirY, 1.0f);
    EXPECT_EQ(d.position.ColDirZ, -1.0f);
    EXPECT_EQ(d.position.FoVRows, 30.0f);
}

TEST(HostFmrReader, zero_slice_directions_mean_no_position_and_say_so) {
    const std::string dir = test::scratch_dir("host_fmr_zero_position");
    std::string block = "PositionInformationFromImageHeaders\n";
    for (const char* k : {"Slice1CenterX", "Slice1CenterY", "Slice1CenterZ", "SliceNCenterX", "SliceNCenterY",
                          "SliceNCenterZ", "RowDirX", "RowDirY", "RowDirZ", "ColDirX", "ColDirY", "ColDirZ"})
        block += std::string(k) + ": 0\n";
    test::write_file(dir + "/a.fmr", small_fmr(1, block));
    test::write_file(dir + "/a.stc", std::string(2 * 3 * 2 * 2, '\0'));
    host::Host& h = test::fresh_host();
    const Document d = host::open_document(dir + "/a.fmr", false);
    EXPECT_EQ(d.position.RowDirX, 1.0f);
    EXPECT_EQ(d.position.ColDirY, 1.0f);
    ASSERT_EQ(h.host_log.size(), 1u);
    EXPECT_NE(h.host_log[0].find("has no usable slice directions"), std::string::npos);
}

TEST(HostFmrReader, non_finite_float_voxels_become_zero_with_a_counted_note) {
    const std::string dir = test::scratch_dir("host_fmr_nan");
    test::write_file(dir + "/a.fmr", small_fmr(2));
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> values = {1, std::nanf(""), 3, 4, -inf, 6, 7, 8, 9, inf, 11, 12};
    test::write_file(dir + "/a.stc", test::bytes_of(values));
    host::Host& h = test::fresh_host();
    const Document d = host::open_document(dir + "/a.fmr", false);
    EXPECT_EQ(test::plain(d.float_volumes[0]), (std::vector<float>{1, 0, 3, 4, 0, 6, 7, 8, 9, 0, 11, 12}));
    EXPECT_EQ(
        h.host_log,
        (std::vector<std::string>{"\"" + dir + "/a.stc\": 3 of 12 voxels were NaN or infinite and were set to 0"}));
}

struct Malformed {
    const char* name;
    std::string fmr;  // "" writes no FMR file; "(empty)" an empty one
    long stc_bytes;   // -1 writes no STC file
    const char* expected;
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }

class HostFmrMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(HostFmrMalformed, is_refused_with_a_message_naming_the_file_and_the_fault) {
    const Malformed& m = GetParam();
    const std::string dir = test::scratch_dir(std::string("host_fmr_malformed_") + m.name);
    if (m.fmr == "(empty)")
        test::write_file(dir + "/a.fmr", "");
    else if (!m.fmr.empty())
        test::write_file(dir + "/a.fmr", m.fmr);
    if (m.stc_bytes >= 0) test::write_file(dir + "/a.stc", std::string(static_cast<size_t>(m.stc_bytes), '\0'));
    const std::string message = open_error(dir + "/a.fmr");
    EXPECT_NE(message.find(dir + "/a."), std::string::npos) << message;
    EXPECT_NE(message.find(m.expected), std::string::npos) << message;
}

const std::string kHead = "NrOfVolumes: 1\nNrOfSlices: 2\nResolutionX: 2\n";

std::string position_block(const std::string& row_dir_x) {
    std::string block;
    for (const char* k : {"Slice1CenterX", "Slice1CenterY", "Slice1CenterZ", "SliceNCenterX", "SliceNCenterY",
                          "SliceNCenterZ", "RowDirY", "RowDirZ", "ColDirX", "ColDirY", "ColDirZ"})
        block += std::string(k) + ": 1\n";
    return block + "RowDirX: " + row_dir_x + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostFmrMalformed,
    ::testing::Values(
        Malformed{"missing_file", "", -1, "No such file or directory"},
        Malformed{"empty_file", "(empty)", -1, "the file is empty"},
        Malformed{"binary", std::string("NrOfVolumes: 1\n\0\x01\x02", 18), 12, "holds binary data"},
        Malformed{"missing_key", "NrOfSlices: 2\nResolutionX: 2\nResolutionY: 3\nDataType: 1\n", 24,
                  "the key \"NrOfVolumes\" is missing"},
        Malformed{"missing_data_type", kHead + "ResolutionY: 3\n", 24, "the key \"DataType\" is missing"},
        Malformed{"bad_number", kHead + "ResolutionY: three\nDataType: 1\n", 24,
                  "line 4: the value \"three\" of \"ResolutionY\" is not a whole number"},
        Malformed{"trailing_garbage", kHead + "ResolutionY: 3x\nDataType: 1\n", 24, "is not a whole number"},
        Malformed{"empty_value", kHead + "ResolutionY:\nDataType: 1\n", 24, "is not a whole number"},
        Malformed{"huge_number", kHead + "ResolutionY: 99999999999\nDataType: 1\n", 24, "out of range"},
        Malformed{"unknown_data_type", kHead + "ResolutionY: 3\nDataType: 3\n", 24,
                  "DataType 3 is not supported (1: 16-bit integers, 2: 32-bit floats)"},
        Malformed{"zero_size", kHead + "ResolutionY: 0\nDataType: 1\n", 0, "every dimension must be at least 1"},
        Malformed{"negative_size", kHead + "ResolutionY: -3\nDataType: 1\n", 0, "every dimension must be at least 1"},
        Malformed{"overflowing_sizes",
                  "NrOfVolumes: 2147483647\nNrOfSlices: 2147483647\nResolutionX: 2147483647\n"
                  "ResolutionY: 2147483647\nDataType: 2\n",
                  0,
                  "2147483647 x 2147483647 x 2147483647 x 2147483647 voxels of 4 bytes is more than can be addressed"},
        Malformed{"more_than_memory",
                  "NrOfVolumes: 1024\nNrOfSlices: 1024\nResolutionX: 1024\nResolutionY: 1024\nDataType: 2\n", 0,
                  "bytes of memory of this machine"},
        Malformed{"truncated_stc", small_fmr(1), 23,
                  "the STC file has 23 bytes, expected 24 (2 x 3 x 2 x 1 16-bit integers)"},
        Malformed{"stc_too_long", small_fmr(2), 49, "the STC file has 49 bytes, expected 48 (2 x 3 x 2 x 1 floats)"},
        Malformed{"missing_stc", small_fmr(2), -1, "the STC file cannot be read: No such file or directory"},
        Malformed{"storage_format", small_fmr(1, "DataStorageFormat: 1\n"), 24, "DataStorageFormat 1 is not supported"},
        Malformed{"old_version", small_fmr(1, "FileVersion: 3\n"), 24, "FMR version 3 keeps one STC file per slice"},
        Malformed{"unterminated_quote", small_fmr(1, "Prefix: \"a\n"), 24, "closing quote is missing"},
        Malformed{"prefix_path", small_fmr(1, "Prefix: \"../b\"\n"), 24, "is not a file name"},
        Malformed{"zero_voxel_size", small_fmr(1, "InplaneResolutionX: 0\n"), 24, "not a positive voxel size"},
        Malformed{"incomplete_position", small_fmr(1, "Slice1CenterX: 1\n"), 24,
                  "the key \"Slice1CenterY\" is missing"},
        Malformed{"nan_position", small_fmr(1, position_block("nan")), 24,
                  "the value \"nan\" of \"RowDirX\" is not a finite number"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace warpmender

namespace warpmender {
namespace {

// Volumes of a few MB start on a huge-page boundary; any volume made with a
// value holds that value, and copies and moves keep their contents.
TEST(HostVolumes, large_volumes_are_huge_page_aligned_and_valued_volumes_hold_their_value) {
    for (const size_t n : {size_t{1}, size_t{1000}, size_t{262143}, size_t{262144}, size_t{552960}, size_t{1} << 21}) {
        host::FloatVolume v(n, 0.0f);
        EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](float x) { return x == 0.0f; })) << n;
        if (n * sizeof(float) >= (size_t{1} << 20)) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % (size_t{2} << 20), 0u) << n;
        }
        for (size_t i = 0; i < n; i += 4099) v[i] = static_cast<float>(i);
        v.back() = -1.0f;
        const host::FloatVolume copy = v;
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), v.begin())) << n;
        host::FloatVolume moved = std::move(v);
        EXPECT_EQ(moved.back(), -1.0f) << n;
        host::IntVolume w(n, 7);
        EXPECT_EQ(std::count(w.begin(), w.end(), uint16_t{7}), static_cast<long>(n)) << n;
    }
}

}  // namespace
}  // namespace warpmender
