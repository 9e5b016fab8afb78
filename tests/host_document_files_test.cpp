// The disk saver behind hsSaveFMRAndSTC and the names of opened documents.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "core/error.h"
#include "formats/fmr_file.h"
#include "formats/vmr_file.h"
#include "host/document_files.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

// A host with the disk saver, output directory dir and one float index document current.
host::Host& host_with_document(const std::string& dir, int data_type = 2) {
    host::Host& h = test::fresh_host();
    h.output_dir = dir;
    host::install_disk_saver(h);
    h.add_document(test::index_fmr_document("run.fmr", data_type));
    h.set_current(0);
    return h;
}

TEST(HostSave, relative_path_lands_under_the_output_directory_and_becomes_the_file_name) {
    const std::string dir = test::scratch_dir("host_save_relative");
    host::Host& h = host_with_document(dir);
    ASSERT_EQ(hsSaveFMRAndSTC("run_b0.fmr", "run_b0"), 1);
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"run_b0.fmr", "run_b0.stc"}));
    EXPECT_STREQ(h.documents()[0].fmr.FileName, (dir + "/run_b0.fmr").c_str());
    ASSERT_EQ(h.saves.size(), 1u);
    EXPECT_EQ(h.saves[0].fmr, dir + "/run_b0.fmr");
    EXPECT_EQ(h.saves[0].stc, dir + "/run_b0.stc");
    EXPECT_TRUE(h.saves[0].ok);
    EXPECT_TRUE(h.host_log.empty());
}

TEST(HostSave, relative_output_directory_is_applied_once) {
    const std::string dir = test::scratch_dir("host_save_relative_out");
    std::filesystem::create_directories(dir + "/out");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    host::Host& h = host_with_document("out");
    const int saved = hsSaveFMRAndSTC("run_b0.fmr", "run_b0");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(saved, 1) << (h.host_log.empty() ? "" : h.host_log.back());
    EXPECT_EQ(test::listing(dir + "/out"), (std::vector<std::string>{"run_b0.fmr", "run_b0.stc"}));
    EXPECT_STREQ(h.documents()[0].fmr.FileName, "out/run_b0.fmr");
}

TEST(HostSave, a_name_near_the_length_limit_still_saves) {
    const std::string dir = test::scratch_dir("host_save_long_name");
    host_with_document(dir);
    // As long as both the file-name limit (255) and the host's path limit (303) allow.
    const size_t room = std::min<size_t>(250, 303 - dir.size() - 1);
    ASSERT_GT(room, 200u);
    const std::string name = std::string(room - 4, 'n') + ".fmr";
    EXPECT_EQ(hsSaveFMRAndSTC(name.c_str(), "n"), 1);
    EXPECT_EQ(test::listing(dir).size(), 2u);
}

TEST(HostSave, saving_again_replaces_an_earlier_result_whole) {
    const std::string dir = test::scratch_dir("host_save_again");
    host::Host& h = host_with_document(dir);
    ASSERT_EQ(hsSaveFMRAndSTC("r.fmr", "r"), 1);
    h.documents()[0].float_volumes[2][5] = -1.0f;
    ASSERT_EQ(hsSaveFMRAndSTC("r.fmr", "r"), 1);
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"r.fmr", "r.stc"}));
    test::fresh_host();
    EXPECT_EQ(host::open_document(dir + "/r.fmr", false).float_volumes[2][5], -1.0f);
}

TEST(HostSave, saves_into_missing_directory_fail_and_leave_nothing) {
    const std::string dir = test::scratch_dir("host_save_missing_dir");
    host::Host& h = host_with_document(dir);
    const std::string target = dir + "/missing/run_b0.fmr";
    EXPECT_EQ(hsSaveFMRAndSTC(target.c_str(), "run_b0"), 0);
    EXPECT_TRUE(test::listing(dir).empty());
    ASSERT_EQ(h.host_log.size(), 1u);
    EXPECT_NE(h.host_log[0].find("cannot save \"" + target + "\""), std::string::npos) << h.host_log[0];
    EXPECT_NE(h.host_log[0].find("the directory \"" + dir + "/missing\" does not exist"), std::string::npos)
        << h.host_log[0];
    EXPECT_STREQ(h.documents()[0].fmr.FileName, "run.fmr");  // a failed save renames nothing
    EXPECT_FALSE(h.saves.back().ok);
}

TEST(HostSave, a_file_in_place_of_the_directory_fails_and_leaves_nothing) {
    const std::string dir = test::scratch_dir("host_save_not_dir");
    test::write_file(dir + "/plain", "x");
    host::Host& h = host_with_document(dir);
    EXPECT_EQ(hsSaveFMRAndSTC((dir + "/plain/a.fmr").c_str(), "a"), 0);
    EXPECT_EQ(test::listing(dir), std::vector<std::string>{"plain"});
    EXPECT_NE(h.host_log.back().find("\"" + dir + "/plain\" is not a directory"), std::string::npos)
        << h.host_log.back();
}

TEST(HostSave, never_overwrites_the_source_of_an_open_document) {
    const std::string dir = test::scratch_dir("host_save_over_source");
    host::Host& h = host_with_document(dir);
    ASSERT_EQ(hsSaveFMRAndSTC("source.fmr", "source"), 1);
    const uint64_t fmr_sum = test::checksum(dir + "/source.fmr");
    const uint64_t stc_sum = test::checksum(dir + "/source.stc");
    h.add_document(host::open_document(h, dir + "/source.fmr", false));

    // Over the FMR itself, over it by another spelling, and over its STC through another FMR name.
    h.set_current(0);
    for (const std::string& target : {dir + "/source.fmr", dir + "/./source.fmr", std::string("source.fmr")}) {
        EXPECT_EQ(hsSaveFMRAndSTC(target.c_str(), "source"), 0) << target;
        EXPECT_NE(h.host_log.back().find("is the source of the open document"), std::string::npos) << h.host_log.back();
    }
    ::link((dir + "/source.stc").c_str(), (dir + "/alias.stc").c_str());  // the STC under another name
    EXPECT_EQ(hsSaveFMRAndSTC("alias.fmr", "alias"), 0);
    EXPECT_NE(h.host_log.back().find("\"" + dir + "/alias.stc\" is the source of the open document"), std::string::npos)
        << h.host_log.back();
    EXPECT_EQ(test::checksum(dir + "/source.fmr"), fmr_sum);
    EXPECT_EQ(test::checksum(dir + "/source.stc"), stc_sum);
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"alias.stc", "source.fmr", "source.stc"}));
}

TEST(HostSave, nifti_copy_is_never_written_over_a_nifti_source) {
    const std::string dir = test::scratch_dir("host_save_over_nifti");
    host::Host& h = host_with_document(dir);
    h.nifti_output = true;
    ASSERT_EQ(hsSaveFMRAndSTC("a.fmr", "a"), 1);  // writes a.nii.gz
    const uint64_t sum = test::checksum(dir + "/a.nii.gz");
    h.add_document(host::open_document(h, dir + "/a.nii.gz", false));
    std::filesystem::remove(dir + "/a.fmr");
    std::filesystem::remove(dir + "/a.stc");
    h.set_current(1);
    EXPECT_EQ(hsSaveFMRAndSTC("a.fmr", "a"), 0);
    EXPECT_NE(h.host_log.back().find("\"" + dir + "/a.nii.gz\" is the source of the open document"), std::string::npos)
        << h.host_log.back();
    EXPECT_EQ(test::checksum(dir + "/a.nii.gz"), sum);
    EXPECT_EQ(test::listing(dir), std::vector<std::string>{"a.nii.gz"});
}

// A full disk, simulated by a file-size limit in a child process: the save
// must fail, say why, and leave neither a partial result nor a temporary file.
TEST(HostSave, a_write_that_runs_out_of_space_fails_and_leaves_nothing) {
    for (const bool nifti : {false, true}) {
        const std::string dir = test::scratch_dir(std::string("host_save_full_disk") + (nifti ? "_nifti" : ""));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            host::Host& h = host_with_document(dir, 1);
            h.nifti_output = nifti;
            // An uncompressed copy, so that its size is known: 352 + 51612 bytes.
            h.documents()[0].nifti_geometry = host::NiftiGeometry{};
            h.documents()[0].nifti_geometry->compressed = false;
            std::signal(SIGXFSZ, SIG_IGN);
            // Room for the STC (23*17*11*3 16-bit values = 25806 bytes) but not the NIfTI copy, or for nothing.
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = nifti ? 30000 : 20000;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const int saved = hsSaveFMRAndSTC("full.fmr", "full");
            const bool said_why = !h.host_log.empty() && h.host_log.back().find("File too large") != std::string::npos;
            ::_exit(saved == 0 && said_why ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "nifti " << nifti;
        EXPECT_TRUE(test::listing(dir).empty()) << "nifti " << nifti << ": " << test::listing(dir).size();
    }
}

TEST(HostSave, a_document_whose_buffers_do_not_match_its_header_is_not_written) {
    const std::string dir = test::scratch_dir("host_save_mismatch");
    host::Host& h = host_with_document(dir);
    h.documents()[0].float_volumes.pop_back();
    h.documents()[0].refresh_pointers();
    EXPECT_EQ(hsSaveFMRAndSTC("m.fmr", "m"), 0);
    EXPECT_NE(h.host_log.back().find("the document holds 2 volumes, its header says 3"), std::string::npos);
    EXPECT_TRUE(test::listing(dir).empty());
}

TEST(HostSave, a_prepared_save_is_invisible_until_committed_and_leaves_nothing_when_dropped) {
    const std::string dir = test::scratch_dir("host_save_prepared");
    host::Host& h = host_with_document(dir);
    h.fmr_output = true;
    const host::Document& doc = h.documents()[0];
    {
        host::PreparedSave dropped;
        ASSERT_EQ(host::prepare_document_files(h, doc, dir + "/a.fmr", dir + "/a.stc", dropped), "");
        // Written under temporary names only: a reader sees no result yet.
        const std::vector<std::string> pending = test::listing(dir);
        ASSERT_EQ(pending.size(), 2u);
        for (const std::string& name : pending) EXPECT_NE(name.find(".tmp-"), std::string::npos) << name;
    }
    EXPECT_TRUE(test::listing(dir).empty());

    host::PreparedSave kept;
    ASSERT_EQ(host::prepare_document_files(h, doc, dir + "/b.fmr", dir + "/b.stc", kept), "");
    EXPECT_EQ(kept.commit(), "");
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"b.fmr", "b.stc"}));
    EXPECT_EQ(test::read_file(dir + "/b.stc").size(), static_cast<size_t>(test::kNx * test::kNy * test::kNz) * 4 * 3);

    // A refusal prepares nothing.
    host::PreparedSave refused;
    EXPECT_NE(host::prepare_document_files(h, doc, dir + "/c.fmr", dir + "/elsewhere.stc", refused), "");
    EXPECT_EQ(refused.commit(), "");
    EXPECT_EQ(test::listing(dir), (std::vector<std::string>{"b.fmr", "b.stc"}));
}

TEST(HostOpen, every_opened_document_is_named_in_the_output_directory) {
    const std::string dir = test::scratch_dir("host_open_names");
    {
        host::Host& h = host_with_document(dir);
        ASSERT_EQ(hsSaveFMRAndSTC("in.fmr", "in"), 1);
        h.nifti_output = true;
        ASSERT_EQ(hsSaveFMRAndSTC("img.fmr", "img"), 1);
        host::write_vmr(host::make_vmr_document("t1.vmr", 3, 4, 5), dir + "/t1.vmr");
    }
    const struct {
        std::string path;
        bool as_anatomy;
        std::string out_dir, file_name;
    } cases[] = {
        {dir + "/in.fmr", false, "/results", "/results/in.fmr"},
        {dir + "/in.fmr", false, "/results/", "/results/in.fmr"},
        {dir + "/in.fmr", false, "", "in.fmr"},
        {dir + "/t1.vmr", false, "out", "out/t1.vmr"},
        {dir + "/img.nii.gz", false, "out", "out/img.fmr"},
        {dir + "/img.nii.gz", true, "out", "out/img.vmr"},
    };
    for (const auto& c : cases) {
        host::Host& h = test::fresh_host();
        h.output_dir = c.out_dir;
        const host::Document d = host::open_document(c.path, c.as_anatomy);
        EXPECT_STREQ(d.type == host::kVmr ? d.vmr.FileName : d.fmr.FileName, c.file_name.c_str()) << c.path;
        EXPECT_EQ(d.source_path, c.path);
    }
    test::fresh_host();
    try {
        host::open_document(dir + "/in.fmr", true);
        FAIL();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("it is an FMR project, not a VMR or NIfTI image"), std::string::npos);
    }
    host::Host& h = test::fresh_host();
    h.output_dir = std::string(300, 'd');
    EXPECT_THROW(host::open_document(dir + "/in.fmr", false), Error);
}

}  // namespace
}  // namespace warpmender
