// Saving through the host's current FMR (16-bit rescaling, float, refusals) and the direct FMR/STC writer.
#include "io/fmr_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/host_documents.h"
#include "tests/io_test_support.h"

namespace warpmender {
namespace {

using host::Answer;
using host::make_fmr_document;

// One current FMR document of the given shape and data type.
host::Host& host_with_fmr(int nx, int ny, int nz, int nt, int type) {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("dir/src.fmr", nx, ny, nz, nt, type));
    h.set_current(0);
    return h;
}

TEST(IoFmrWriter, without_a_current_fmr_both_writers_show_a_message_box) {
    host::Host& h = test::bound_host();
    h.add_document(host::make_vmr_document("anat.vmr", 2, 2, 2));
    h.set_current(0);
    auto v = test::volume_of(2, 1, 1, 1, {1, 2});
    EXPECT_FALSE(saveashs2fmr(v.get(), "a.fmr"));
    EXPECT_FALSE(writehs2fmr(v.get(), "a.fmr"));
    const std::vector<std::string> boxes = {"No FMR available in current workspace",
                                            "No FMR available in current workspace"};
    EXPECT_EQ(h.message_boxes, boxes);
    EXPECT_TRUE(h.saves.empty());
}

TEST(IoFmrWriter, sixteen_bit_saves_rescale_only_above_16384) {
    struct Case {
        std::vector<double> values;
        bool rescaled;
        std::vector<uint16_t> stored;
    };
    // Above the bound: scale (16384 + 1e-12) / 16384.5 (the 1e-12 is lost in
    // 16384's last bit), so 100 -> 99.997 -> 99 and the maximum -> 16384.
    const Case cases[] = {
        {{0, 100, 16384.0}, false, {0, 100, 16384}},
        {{0, 100, 16384.5}, true, {0, 99, 16384}},
        {{-1.7, 2.9, 0}, false, {65535, 2, 0}},          // truncated toward zero, kept modulo 65536
        {{-1, 16383.9, 70000}, true, {0, 3834, 16384}},  // offset: -1 maps to 0
    };
    for (const Case& c : cases) {
        host::Host& h = host_with_fmr(3, 1, 1, 1, 1);
        auto v = test::volume_of(3, 1, 1, 1, c.values);
        EXPECT_TRUE(saveashs2fmr(v.get(), "a_b0.fmr"));
        EXPECT_EQ(test::log_contains(h, "Rescaling between 0 and 16384..."), c.rescaled) << c.values[2];
        ASSERT_EQ(h.saved_documents.count("a_b0.fmr"), 1u);
        EXPECT_EQ(test::plain(h.saved_documents["a_b0.fmr"].int_volumes[0]), c.stored) << c.values[2];
        EXPECT_EQ(v->get(2), c.values[2]);  // the result itself is not rescaled
        EXPECT_EQ(h.windows_updated, 1);
    }
}

TEST(IoFmrWriter, float_saves_store_every_volume_in_index_order) {
    // The second series, 68 MB of doubles, is stored by one thread per core.
    const long sizes[][4] = {{23, 17, 11, 3}, {61, 53, 37, 71}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(size[3]);
        host::Host& h = host_with_fmr(size[0], size[1], size[2], size[3], 2);
        auto v = test::indexed_volume(size[0], size[1], size[2], size[3]);
        v->setvalue(7, -2.25);
        EXPECT_TRUE(saveashs2fmr(v.get(), "dir/a_undistort.fmr", false));
        ASSERT_EQ(h.saves.size(), 1u);
        EXPECT_EQ(h.saves[0].fmr, "dir/a_undistort.fmr");
        const host::Document& saved = h.saved_documents.at("dir/a_undistort.fmr");
        const size_t n = static_cast<size_t>(size[0] * size[1] * size[2]);
        for (size_t t = 0; t < static_cast<size_t>(size[3]); ++t)
            for (size_t i = 0; i < n; ++i)
                ASSERT_EQ(saved.float_volumes[t][i], i + t * n == 7 ? -2.25f : static_cast<float>(i + t * n))
                    << t << " " << i;
        EXPECT_FALSE(test::log_contains(h, "Rescaling between 0 and 16384..."));
    }
}

TEST(IoFmrWriter, round_trip_through_the_document_keeps_every_voxel_in_place) {
    for (int type : {1, 2}) {
        host::Host& h = test::bound_host();
        host::Document d = make_fmr_document("dir/run.fmr", 23, 17, 11, 3, type);
        const size_t n = 23 * 17 * 11;
        for (size_t t = 0; t < 3; ++t)
            for (size_t i = 0; i < n; ++i) {
                if (type == 1)
                    d.int_volumes[t][i] = static_cast<uint16_t>(t * n + i);
                else
                    d.float_volumes[t][i] = static_cast<float>(t * n + i);
            }
        h.add_document(d);
        h.queue_answer(Answer::of(0));
        datahandler<double> v;
        ASSERT_TRUE(getcurrentfmrdouble_gui("p", &v));
        for (auto& vol : h.documents()[0].int_volumes) std::fill(vol.begin(), vol.end(), 0);
        for (auto& vol : h.documents()[0].float_volumes) std::fill(vol.begin(), vol.end(), 0.0f);
        ASSERT_TRUE(saveashs2fmr(&v, "rt.fmr"));
        const host::Document& saved = h.saved_documents.at("rt.fmr");
        for (size_t t = 0; t < 3; ++t)
            for (size_t i = 0; i < n; ++i) {
                const double got = type == 1 ? saved.int_volumes[t][i] : saved.float_volumes[t][i];
                ASSERT_EQ(got, static_cast<double>(t * n + i)) << type << " " << t << " " << i;
            }
    }
}

TEST(IoFmrWriter, load_amr_file_names_the_preview_or_is_cleared) {
    struct Case {
        bool withamr;
        const char* expected;
    };
    const Case cases[] = {{true, "dir/a.amr"}, {false, ""}};
    for (const Case& c : cases) {
        host::Host& h = host_with_fmr(2, 1, 1, 1, 2);
        std::strcpy(h.documents()[0].fmr.LoadAMRFile, "old.amr");
        auto v = test::volume_of(2, 1, 1, 1, {1, 2});
        EXPECT_TRUE(saveashs2fmr(v.get(), "dir/a.fmr", false, c.withamr));
        EXPECT_STREQ(h.saved_documents.at("dir/a.fmr").fmr.LoadAMRFile, c.expected);
    }
}

TEST(IoFmrWriter, paths_that_do_not_fit_the_host_buffers_are_refused) {
    struct Case {
        size_t length;
        bool withamr;
        bool saved;
        const char* log;  // what the refusal says, after the path
    };
    // 304 bytes for the path handed to the host; 263 for LoadAMRFile.
    const Case cases[] = {
        {303, false, true, nullptr},
        {304, false, false, "\": the path has 304 characters, at most 303 fit."},
        {262, true, true, nullptr},
        {263, true, false, "\": the AMR name \""},
    };
    for (const Case& c : cases) {
        for (int type : {1, 2}) {
            host::Host& h = host_with_fmr(2, 1, 1, 1, type);
            std::string path(c.length - 4, 'p');
            path += ".fmr";
            auto v = test::volume_of(2, 1, 1, 1, {1, 2});
            const FMR_Header before = h.documents()[0].fmr;
            EXPECT_EQ(saveashs2fmr(v.get(), path.c_str(), false, c.withamr), c.saved) << c.length;
            EXPECT_EQ(h.saves.size(), c.saved ? 1u : 0u) << c.length;
            if (!c.saved) {
                EXPECT_EQ(h.log.back().rfind("Cannot save \"" + path + c.log, 0), 0u) << h.log.back();
                EXPECT_EQ(std::memcmp(&before, &h.documents()[0].fmr, sizeof before), 0);
            }
        }
    }
}

TEST(IoFmrWriter, results_that_do_not_fit_the_document_are_refused) {
    struct Case {
        long nx, ny, nz, nt;
        bool saved;
    };
    const Case cases[] = {
        {4, 3, 2, 2, true},   // the document's shape
        {4, 3, 2, 1, true},   // fewer volumes: the rest keep the document's data
        {4, 3, 2, 3, false},  // one volume more than the document holds
        {3, 4, 2, 2, false},  // transposed
        {4, 3, 3, 1, false},
    };
    for (int type : {1, 2}) {
        for (const Case& c : cases) {
            host::Host& h = host_with_fmr(4, 3, 2, 2, type);
            auto v = test::indexed_volume(c.nx, c.ny, c.nz, c.nt);
            EXPECT_EQ(saveashs2fmr(v.get(), "a.fmr"), c.saved) << c.nx << c.ny << c.nz << c.nt;
            if (c.saved) continue;
            EXPECT_EQ(h.log[h.log.size() - 2], "The result (" + std::to_string(c.nx) + " x " + std::to_string(c.ny) +
                                                   " x " + std::to_string(c.nz) + " x " + std::to_string(c.nt) +
                                                   ") does not fit the current FMR document (4 x 3 x 2 x 2); "
                                                   "nothing was saved.");
            EXPECT_EQ(h.log.back(),
                      type == 1 ? "Error while retrieving FMR data" : "An error occurred while writing FMR/STC data.");
            const host::Document& doc = h.documents()[0];  // untouched
            if (type == 1)
                EXPECT_EQ(test::plain(doc.int_volumes), std::vector<std::vector<uint16_t>>(2, std::vector<uint16_t>(24, 0)));
            else
                EXPECT_EQ(test::plain(doc.float_volumes), std::vector<std::vector<float>>(2, std::vector<float>(24, 0.0f)));
        }
    }
}

TEST(IoFmrWriter, unknown_data_type_is_reported) {
    host::Host& h = host_with_fmr(2, 1, 1, 1, 2);
    h.documents()[0].fmr.DataType = 3;
    auto v = test::volume_of(2, 1, 1, 1, {1, 2});
    EXPECT_FALSE(saveashs2fmr(v.get(), "a.fmr"));
    EXPECT_EQ(h.log.back(), "Datatype not recognized. New data could not be saved in FMR.");
    EXPECT_TRUE(h.saves.empty());
}

TEST(IoFmrWriter, failed_host_save_returns_false) {
    host::Host& h = host_with_fmr(2, 1, 1, 1, 2);
    h.saver = [](const host::Document&, const std::string&, const std::string&) { return std::string("disk full"); };
    auto v = test::volume_of(2, 1, 1, 1, {1, 2});
    EXPECT_FALSE(saveashs2fmr(v.get(), "a.fmr"));
    ASSERT_EQ(h.saves.size(), 1u);
    EXPECT_FALSE(h.saves[0].ok);
}

// --- the direct writer ----------------------------------------------------------------------

// A float document of 2 x 1 x 1 x 2 with every header and position field the text shows.
host::Host& host_for_direct_writer(const char* prefix) {
    host::Host& h = test::bound_host();
    host::Document d = make_fmr_document("dir/src.fmr", 2, 1, 1, 2, 2);
    FMR_Header& f = d.fmr;
    std::strcpy(f.Prefix, prefix);
    f.TR = 2000;
    f.InterSliceTime = 80;
    f.TE = 30;
    f.InplaneResolutionX = 1.5f;
    f.InplaneResolutionY = 2.0f;
    f.SliceThickness = 3.25f;
    f.VoxelResolutionVerified = 1;
    FMR_ScannerPosition_Header& p = d.position;
    p.PosInfosVerified = 1;
    p.CoordinateSystem = 1;
    p.Slice1CenterX = -12.5f;
    p.Slice1CenterY = 0.1f;
    p.Slice1CenterZ = -40.0f;
    p.SliceNCenterX = 12.5f;
    p.SliceNCenterY = 0.0f;
    p.SliceNCenterZ = 1234567.0f;
    p.RowDirX = 1.0f;
    p.RowDirY = 0.0f;
    p.RowDirZ = 0.0f;
    p.ColDirX = 0.0f;
    p.ColDirY = -1.0f;
    p.ColDirZ = 0.0f;
    p.NRows = 1;
    p.NCols = 2;
    p.FoVRows = 3.0f;
    p.FoVCols = 224.0f;
    p.SliceThickness = 3.25f;
    p.GapThickness = 0.75f;
    h.add_document(d);
    h.set_current(0);
    return h;
}

std::string expected_fmr_text(const std::string& prefix_line) {
    const std::vector<std::string> lines = {
        "",
        "FileVersion:\t\t\t\t\t  6",
        "NrOfVolumes:\t\t\t\t\t  2",
        "NrOfSlices:\t\t\t\t\t  1",
        "NrOfSkippedVolumes:\t\t\t  0",
        prefix_line,
        "DataStorageFormat:             2",
        "DataType:                      2",
        "TR:\t\t\t\t\t\t\t  2000",
        "InterSliceTime:\t\t\t\t  80",
        "TimeResolutionVerified:\t\t  0",
        "TE:\t\t\t\t\t\t\t  30",
        "SliceAcquisitionOrder:\t\t  5",
        "SliceAcquisitionOrderVerified: 0",
        "ResolutionX:\t\t\t\t\t  2",
        "ResolutionY:\t\t\t\t\t  1",
        "LoadAMRFile:\t\t\t\t\t  \"<none>\"",
        "ShowAMRFile:\t\t\t\t\t  0",
        "ImageIndex:\t\t\t\t\t  0",
        "LayoutNColumns:\t\t\t\t  5",
        "LayoutNRows:              \t  5",
        "LayoutZoomLevel:          \t  5",
        "SegmentSize:              \t  2",
        "SegmentOffset:            \t  0",
        "NrOfLinkedProtocols:      \t  1",
        "ProtocolFile: \t              \"<none>\"",
        "InplaneResolutionX:    \t      1.5",
        "InplaneResolutionY:       \t  2",
        "SliceThickness:           \t  3.25",
        "SliceGap:                 \t  0",
        "VoxelResolutionVerified:  \t  1",
        "",
        "",
        "PositionInformationFromImageHeaders",
        "",
        "PosInfosVerified: 1",
        "CoordinateSystem: 1",
        "Slice1CenterX:    -12.5",
        "Slice1CenterY:    0.1",
        "Slice1CenterZ:    -40",
        "SliceNCenterX:    12.5",
        "SliceNCenterY:    0",
        "SliceNCenterZ:    1.23457e+06",
        "RowDirX:          1",
        "RowDirY:          0",
        "RowDirZ:          0",
        "ColDirX:          0",
        "ColDirY:          -1",
        "ColDirZ:          0",
        "NRows:            1",
        "NCols:            2",
        "FoVRows:          3",
        "FoVCols:          224",
        "SliceThickness    3.25",
        "GapThickness      0.75",
        "",
        "",
        "NrOfPastSpatialTransformations: 0",
        "",
        "",
        "RadiologicalConvention: YES",
        "",
        "",
        "FirstDataSourceFile: \"dir/src.fmr\"",
    };
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<float> floats_of(const std::vector<uint8_t>& bytes) {
    std::vector<float> f(bytes.size() / 4);
    std::memcpy(f.data(), bytes.data(), f.size() * 4);
    return f;
}

TEST(IoFmrWriter, direct_writer_text_matches_the_project_format_line_by_line) {
    struct Case {
        const char* prefix;
        const char* line;
    };
    const Case cases[] = {
        {"", "Prefix:\t\t\t\t\t\t  \"<none>\""},
        {"scan", "Prefix:\t\t\t\t\t  \t  \"a\""},  // the file name without directory and extension
    };
    for (const Case& c : cases) {
        host::Host& h = host_for_direct_writer(c.prefix);
        const std::string dir = test::scratch_dir("io_direct_text");
        auto v = test::volume_of(2, 1, 1, 2, {1, 2, 3, 4}, "dir/src.fmr");
        ASSERT_TRUE(writehs2fmr(v.get(), (dir + "/a.fmr").c_str()));
        const std::string text = test::read_text(dir + "/a.fmr");
        const std::vector<std::string> got = lines_of(text), want = lines_of(expected_fmr_text(c.line));
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "line " << i;
        EXPECT_EQ(text, expected_fmr_text(c.line));
        const std::vector<std::string> log = {"Write FMR header...", "Write FMR data..."};
        EXPECT_EQ(h.log, log);
        EXPECT_EQ(test::entries_of(dir), (std::set<std::string>{"a.fmr", "a.stc"}));
    }
}

TEST(IoFmrWriter, direct_writer_rounds_times_without_overflow) {
    host::Host& h = host_for_direct_writer("");
    h.documents()[0].fmr.TR = -3;                      // + 0.5 truncates toward zero: -2
    h.documents()[0].fmr.InterSliceTime = 2147483647;  // as a float 2^31; no overflow
    const std::string dir = test::scratch_dir("io_direct_locale");
    auto v = test::volume_of(2, 1, 1, 2, {1, 2, 3, 4}, "dir/src.fmr");
    ASSERT_TRUE(writehs2fmr(v.get(), (dir + "/a.fmr").c_str()));
    const std::vector<std::string> lines = lines_of(test::read_text(dir + "/a.fmr"));
    EXPECT_EQ(lines[8], "TR:\t\t\t\t\t\t\t  -2");
    EXPECT_EQ(lines[9], "InterSliceTime:\t\t\t\t  2147483648");
}

TEST(IoFmrWriter, direct_writer_stc_has_t_fastest_and_x_slowest) {
    host_for_direct_writer("");
    const std::string dir = test::scratch_dir("io_direct_stc");
    // v(x, t) with nx = 2, nt = 2, in index order v(0,0) v(1,0) v(0,1) v(1,1).
    auto v = test::volume_of(2, 1, 1, 2, {10, 11, 20, 21});
    ASSERT_TRUE(writehs2fmr(v.get(), (dir + "/a.fmr").c_str()));
    EXPECT_EQ(floats_of(test::read_bytes(dir + "/a.stc")), (std::vector<float>{10, 20, 11, 21}));
}

TEST(IoFmrWriter, direct_writer_stc_of_odd_sizes_holds_each_index_at_its_place) {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("src.fmr", 23, 17, 11, 3, 2));
    h.set_current(0);
    const std::string dir = test::scratch_dir("io_direct_odd");
    auto v = test::indexed_volume(23, 17, 11, 3);
    ASSERT_TRUE(writehs2fmr(v.get(), (dir + "/a.fmr").c_str()));
    const std::vector<float> stc = floats_of(test::read_bytes(dir + "/a.stc"));
    ASSERT_EQ(stc.size(), 23u * 17 * 11 * 3);
    for (long x = 0; x < 23; ++x)
        for (long y = 0; y < 17; ++y)
            for (long z = 0; z < 11; ++z)
                for (long t = 0; t < 3; ++t)
                    ASSERT_EQ(stc[((x * 17 + y) * 11 + z) * 3 + t], float(x + 23 * (y + 17 * (z + 11 * t))));
}

TEST(IoFmrWriter, own_writer_is_used_for_float_projects_only_when_asked) {
    host::Host& h = host_for_direct_writer("");
    const std::string dir = test::scratch_dir("io_own_writer");
    auto v = test::volume_of(2, 1, 1, 2, {1, 2, 3, 4});
    EXPECT_TRUE(saveashs2fmr(v.get(), (dir + "/a.fmr").c_str(), true, false));
    EXPECT_TRUE(h.saves.empty());
    EXPECT_EQ(test::entries_of(dir), (std::set<std::string>{"a.fmr", "a.stc"}));
    EXPECT_EQ(test::read_bytes(dir + "/a.stc").size(), 16u);
}

TEST(IoFmrWriter, direct_writer_into_a_missing_directory_leaves_nothing) {
    host::Host& h = host_for_direct_writer("");
    const std::string dir = test::scratch_dir("io_direct_missing");
    auto v = test::volume_of(2, 1, 1, 2, {1, 2, 3, 4});
    EXPECT_FALSE(writehs2fmr(v.get(), (dir + "/no/such/a.fmr").c_str()));
    EXPECT_EQ(h.message_boxes, std::vector<std::string>{"Unable to create new file, please consult the manual."});
    EXPECT_TRUE(test::log_contains(h, "Write FMR data..."));
    EXPECT_TRUE(test::log_contains(h, "An error occurred while writing FMR/STC data."));
    EXPECT_TRUE(test::entries_of(dir).empty());
}

TEST(IoFmrWriter, direct_writer_text_failing_at_flush_leaves_no_text_but_still_writes_the_stc) {
    host::Host& h = host_for_direct_writer("");
    const std::string dir = test::scratch_dir("io_direct_flush");
    auto v = test::volume_of(2, 1, 1, 2, {1, 2, 3, 4});
    bool ok = true;
    {
        // The ~1.2 kB text fits the stream's buffer, so only the final flush
        // meets the limit; the 16-byte STC fits it.
        test::FileSizeLimit limit(100);
        ok = writehs2fmr(v.get(), (dir + "/a.fmr").c_str());
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(h.message_boxes, std::vector<std::string>{"Unable to create new file, please consult the manual."});
    EXPECT_EQ(test::entries_of(dir), std::set<std::string>{"a.stc"});
    EXPECT_EQ(floats_of(test::read_bytes(dir + "/a.stc")), (std::vector<float>{1, 3, 2, 4}));
}

TEST(IoFmrWriter, direct_writer_failing_midway_removes_the_stc_and_keeps_the_old_one) {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("src.fmr", 23, 17, 11, 3, 2));
    h.set_current(0);
    const std::string dir = test::scratch_dir("io_direct_full");
    test::write_text(dir + "/a.stc", "old");
    auto v = test::indexed_volume(23, 17, 11, 3);  // 51612 STC bytes
    bool ok = true;
    {
        test::FileSizeLimit limit(8192);  // room for the text, not for the data
        ok = writehs2fmr(v.get(), (dir + "/a.fmr").c_str());
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(h.message_boxes.empty());
    EXPECT_TRUE(test::log_contains(h, "An error occurred while writing FMR/STC data."));
    EXPECT_EQ(test::entries_of(dir), (std::set<std::string>{"a.fmr", "a.stc"}));
    EXPECT_EQ(test::read_text(dir + "/a.stc"), "old");
}

}  // namespace
}  // namespace warpmender
