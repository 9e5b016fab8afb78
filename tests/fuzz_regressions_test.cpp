// Inputs the fuzz targets (or their authors) found faults with, replayed through the same reader calls.
// Each file under tests/data/fuzz/<target>/ is one finding; its name says what it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "fuzz/fuzz_readers.h"
#include "tests/host_files_support.h"

namespace warpmender {
namespace {

namespace fs = std::filesystem;

using Reader = std::function<void(const uint8_t*, size_t)>;

const std::map<std::string, Reader>& readers() {
    static const std::map<std::string, Reader> r = {
        {"fmr_header", fuzz::fmr_header}, {"stc_sizes", fuzz::stc_sizes}, {"vmr", fuzz::vmr},
        {"nifti", fuzz::nifti},           {"nifti_gz", fuzz::nifti_gz},   {"session", fuzz::session},
        {"sidecar", fuzz::sidecar},
    };
    return r;
}

void replay(const std::string& target, const std::string& bytes) {
    readers().at(target)(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A finding that came back crashes or trips a sanitizer here; reaching the end is the pass.
TEST(FuzzRegression, every_kept_finding_is_refused_or_read_without_fault) {
    const fs::path root = fs::path(WARPMENDER_SOURCE_DIR) / "tests" / "data" / "fuzz";
    ASSERT_TRUE(fs::is_directory(root)) << root;
    size_t replayed = 0;
    for (const auto& dir : fs::directory_iterator(root)) {
        const std::string target = dir.path().filename().string();
        ASSERT_EQ(readers().count(target), 1u) << "no fuzz target \"" << target << "\" for " << dir.path();
        for (const auto& f : fs::directory_iterator(dir.path())) {
            SCOPED_TRACE(f.path().string());
            replay(target, test::read_file(f.path().string()));
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0u);
}

// The same readers the targets call refuse with the messages a user sees (what the replay only proves
// does not crash).
TEST(FuzzRegression, damaged_gzip_inside_the_nifti_header_is_refused_as_damaged) {
    // gzread fails here (-1), which znzread hands on as SIZE_MAX: more than the 348 bytes asked for.
    const std::string path = fuzz::scratch() + "/damaged.nii.gz";
    const std::string bytes = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + std::string(64, '\xff');
    fuzz::write_bytes(path, bytes.data(), bytes.size());
    host::Notes notes;
    try {
        host::read_nifti(path, false, notes);
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot open \"" + path + "\": its compressed data are damaged (within the first 348 bytes)");
    }
}

// Found by stc_sizes: DataType 0 (or 3) was read as floats into a document that could not be saved.
TEST(FuzzRegression, stc_of_a_data_type_other_than_1_or_2_is_refused_not_read_as_floats) {
    for (const int type : {0, 3, -1}) {
        const std::string path = fuzz::scratch() + "/type.stc";
        const std::string bytes(36, '\x01');
        fuzz::write_bytes(path, bytes.data(), bytes.size());
        host::Document doc;
        doc.fmr.ResolutionX = 3;
        doc.fmr.ResolutionY = 3;
        doc.fmr.NrOfSlices = 1;
        doc.fmr.NrOfVolumes = 1;
        doc.fmr.DataType = type;
        host::Notes notes;
        try {
            host::read_stc(doc, path, notes);
            ADD_FAILURE() << "DataType " << type << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "cannot open \"" + path + "\": DataType " + std::to_string(type) +
                                                 " is not supported (1: 16-bit integers, 2: 32-bit floats)");
        }
        EXPECT_TRUE(doc.float_volumes.empty());
        EXPECT_TRUE(doc.int_volumes.empty());
    }
}

}  // namespace
}  // namespace warpmender
