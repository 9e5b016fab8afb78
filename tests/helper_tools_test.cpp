// Output names, filters and small numeric helpers.
#include "core/helper_tools.h"

#include <gtest/gtest.h>

namespace warpmender {
namespace {

TEST(HelperTools, create_file_name_inserts_suffix_and_rebuilds_extension) {
    helperTools h;
    EXPECT_EQ(h.createFileName("dir/a.fmr", "_unwrapped"), "dir/a_unwrapped.fmr");
    EXPECT_EQ(h.createFileName("dir/a.FMR", "_x"), "dir/a_x.");  // unknown upper-case extension
    EXPECT_EQ(h.createFileName("none", "_x"), "_x.");
    EXPECT_EQ(h.exchangeExtension("dir/a.fmr", ".stc"), "dir/a.stc");
}

TEST(HelperTools, remove_extension_takes_the_last_dot_anywhere) {
    helperTools h;
    EXPECT_EQ(h.removeExtension("/data/run.2/scan"), "/data/run");
    EXPECT_EQ(h.removeExtension("scan"), "");
    EXPECT_EQ(h.removeExtension(""), "''");
    EXPECT_EQ(h.removeExtension(nullptr), "''");
}

struct BaseCase {
    const char* path;
    bool strip, dash;
    const char* base;
};

TEST(HelperTools, basename_separators_and_first_character) {
    const BaseCase cases[] = {
        {"C:\\data\\run1.fmr", true, false, "run1"},
        {"C:\\data\\run1.fmr", true, true, "run1-"},
        {"dir/run1", true, false, "run1"},
        {"/run1.fmr", true, false, "/run1"},  // the first character is never a separator
        {"dir/sub/a.b.fmr", true, false, "a.b"},
        {"dir/a.fmr", false, false, "a.fmr"},
        {"a", false, false, "a"},
        {"", false, false, ""},
    };
    helperTools h;
    for (const auto& c : cases) EXPECT_EQ(h.getbasename(c.path, c.strip, c.dash), c.base) << c.path;
}

TEST(HelperTools, file_path_and_stc_names) {
    helperTools h;
    EXPECT_EQ(h.getfilepath("dir/sub/a.fmr"), "dir/sub/");
    EXPECT_EQ(h.getfilepath("a.fmr"), "-1");
    EXPECT_EQ(h.createstcfilename("run", "dir/", false, 3), "dir/run3.stc");
    EXPECT_EQ(h.createstcfilename("run", "dir/", true, 3), "dir/run.stc");
    EXPECT_EQ(h.openInstr("EPI"), "Please select the EPI file: ");
}

TEST(HelperTools, file_type_codes) {
    helperTools h;
    EXPECT_EQ(h.getFileExtension(21, true), "*.fmr");
    EXPECT_EQ(h.getFileExtension(20, true), "*.vmr");
    EXPECT_EQ(h.getFileExtension(999, false), ".");
    EXPECT_EQ(h.getFileExtension("x/a.fmr"), 21);
    EXPECT_EQ(h.getFileExtension("a.nii.gz"), -1);  // only three-letter extensions match
    EXPECT_EQ(h.getFileExtension("a.bmp"), 400);
    EXPECT_EQ(h.getFileExtension(static_cast<const char*>(nullptr)), -1);
    EXPECT_STREQ(h.getRepresentationDescription(48), "Rectangular/cartesian");
    EXPECT_STREQ(h.getRepresentationDescription(7), "Unknown");
}

TEST(HelperTools, modulo_is_non_negative_for_positive_divisor) {
    helperTools h;
    EXPECT_EQ(h.modulo(-1, 3), 2.0);
    EXPECT_NEAR(h.modulo(5, 0), 0.0, 1e-12);  // divisor replaced by 1e-12
    EXPECT_EQ(h.getsysbyteorder(), 1);
}

}  // namespace
}  // namespace warpmender
