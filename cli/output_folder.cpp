// Checks on the output folder before a run writes there, and the sweep of temporaries left by dead runs.
#include "cli/output_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/memory_budget.h"
#include "core/error.h"
#include "core/temporary_names.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMostFileName = 303;  // FileName of the workstation's headers, without its terminator
constexpr uint64_t kAmrSliceBytes = 54 + 1024 + 256 * 256;
constexpr uint64_t kMostPreviewBytes = 256ull << 20;
constexpr uint64_t kMostPreviewOverhead = 16;

bool same_folder(const struct stat& a, const std::string& dir) {
    struct stat b {};
    return ::stat(dir.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// "dir/a.nii.gz" -> "a";  "dir/a.fmr" -> "a"
std::string stem_of(const std::string& path) {
    std::string name = fs::path(path).filename().string();
    for (const char* ext : {".nii.gz", ".NII.GZ", ".nii", ".NII", ".fmr", ".FMR", ".vmr", ".VMR"}) {
        const size_t n = std::strlen(ext);
        if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) return name.substr(0, name.size() - n);
    }
    return name;
}

}  // namespace

void refuse_input_folders(const std::string& out_dir, const std::vector<std::string>& inputs) {
    struct stat out {};
    if (::stat(out_dir.c_str(), &out) != 0) return;
    for (const std::string& input : inputs) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(input, ec);
        std::vector<fs::path> folders = {absolute.parent_path()};
        const fs::path resolved = fs::canonical(absolute, ec);
        if (!ec) folders.push_back(resolved.parent_path());
        for (const fs::path& folder : folders)
            if (same_folder(out, folder.string()))
                throw Error("output folder \"" + out_dir + "\" is the folder of the input \"" + input + "\"" +
                            (folder == folders.front() ? "" : " (where its link leads, \"" + folder.string() + "\")") +
                            "; results are never written beside the inputs: choose another --out");
    }
}

void check_writable_folder(const std::string& dir) {
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw Error("output folder \"" + dir + "\" is not writable: " + std::strerror(errno));
}

std::vector<std::string> remove_stale_temporaries(const std::string& dir) {
    std::vector<std::string> removed;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return removed;
    const int dir_fd = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
        pid_t pid = 0;
        if (!is_temporary_name(e->d_name, &pid) || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
        struct stat st {};
        if (::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(dir_fd, e->d_name, 0) == 0) removed.push_back(e->d_name);
    }
    ::closedir(d);
    return removed;
}

void check_output_path_lengths(const std::string& out_dir, const std::string& input,
                               const std::string& longest_suffix) {
    const std::string stem = stem_of(input);
    const std::string folder = out_dir.empty() || out_dir.back() == '/' ? out_dir : out_dir + "/";
    const std::string fmr = folder + stem + longest_suffix + ".fmr";
    const std::string nifti = folder + stem + longest_suffix + ".nii.gz";
    long name_max = ::pathconf(out_dir.empty() ? "." : out_dir.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    const std::string longest_name = stem + longest_suffix + ".nii.gz";
    std::string why;
    if (fmr.size() > kMostFileName)
        why = "\"" + fmr + "\" would have " + std::to_string(fmr.size()) +
              " characters, and the workstation's file "
              "names hold at most " +
              std::to_string(kMostFileName);
    else if (longest_name.size() > static_cast<size_t>(name_max))
        why = "the name \"" + longest_name + "\" would have " + std::to_string(longest_name.size()) +
              " characters, more than the " + std::to_string(name_max) + " the file system allows";
    else if (nifti.size() >= PATH_MAX)
        why = "\"" + nifti + "\" would be longer than a path may be";
    if (!why.empty())
        throw Error("the results of \"" + input + "\" cannot be written into \"" + out_dir + "\": " + why +
                    "; choose a shorter output folder or input name (nothing was written)");
}

void check_preview_size(const InputGrid& g) {
    const uint64_t preview = 2 + static_cast<uint64_t>(g.nz) * kAmrSliceBytes;
    const uint64_t shown = g.voxels() * 4;
    if (preview <= kMostPreviewBytes || preview <= shown * kMostPreviewOverhead) return;
    throw Error("\"" + g.path + "\" has " + std::to_string(g.nz) + " slices of " + std::to_string(g.nx) + " x " +
                std::to_string(g.ny) +
                " voxels: each AMR preview of its results (256 x 256 pixels a slice) would "
                "take " +
                byte_size_text(preview) + " to show " + byte_size_text(shown) + " of data; previews over " +
                byte_size_text(kMostPreviewBytes) + " that are more than " + std::to_string(kMostPreviewOverhead) +
                " times the data they show are refused");
}

FileState file_state(const std::string& path) {
    FileState f;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return f;
    f.exists = true;
    f.device = st.st_dev;
    f.inode = st.st_ino;
    f.size = st.st_size;
    f.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000ll + st.st_mtim.tv_nsec;
    return f;
}

bool same_state(const FileState& a, const FileState& b) {
    if (!a.exists || !b.exists) return a.exists == b.exists;
    return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

void refuse_result_name(const std::string& option, const std::string& path, const std::string& out_dir) {
    if (path.empty()) return;
    std::error_code ec;
    fs::path folder = fs::absolute(path, ec).parent_path();
    struct stat out {};
    if (::stat(out_dir.c_str(), &out) != 0 || !same_folder(out, folder.string())) return;
    std::string name = fs::path(path).filename().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* fixed : {"unwrapparams_fmg.txt", "fieldmapparams.txt", ".warpmender.lock"})
        if (name == fixed)
            throw Error(option + " \"" + path + "\" is \"" + fixed +
                        "\" of the output folder, a file the run writes "
                        "there itself; put it elsewhere");
    for (const char* ext : {".fmr", ".stc", ".amr", ".vmr", ".nii", ".nii.gz"}) {
        const size_t n = std::strlen(ext);
        if (name.size() >= n && name.compare(name.size() - n, n, ext) == 0)
            throw Error(option + " \"" + path + "\" lies in the output folder with the extension \"" + ext +
                        "\" of the run's results, which it could replace; name it .json or .log, or put it elsewhere");
    }
}

}  // namespace host
}  // namespace warpmender
