// The output folder of a run: never an input's folder, writable, its names within the limits, its leftovers swept.
#pragma once

#include <string>
#include <vector>

#include "formats/input_headers.h"

namespace warpmender {
namespace host {

// Throws Error when out_dir is the folder an input lies in (as named, or
// where its links lead), compared by device and inode, so that "out",
// "./out/" and a link to it are one folder. A folder that does not exist yet
// is no input's folder.
void refuse_input_folders(const std::string& out_dir, const std::vector<std::string>& inputs);

// Throws Error when the process cannot create files in dir; creates no file to find out.
void check_writable_folder(const std::string& dir);

// Removes the temporary files (core/temporary_names.h) in dir whose writing
// process no longer exists; returns their names. Other names, and files of
// live processes, are never touched.
std::vector<std::string> remove_stale_temporaries(const std::string& dir);

// Throws Error when a result of input, named stem + longest_suffix, would
// not fit the workstation's 303 characters of a file name with its folder,
// or the file system's limits on names and paths:
//   out_dir "/d", "a.nii.gz", "_b0" -> checks "/d/a_b0.nii.gz" and "/d/a_b0.fmr"
void check_output_path_lengths(const std::string& out_dir, const std::string& input, const std::string& longest_suffix);

// AMR previews hold 256 x 256 pixels a slice whatever the slice shows: a
// thin, tall grid makes gigabytes of previews from kilobytes of data.
// Throws Error, naming the input, when one preview of its grid would exceed
// 256 MiB and hold more than 16 times the bytes of the volume it shows.
void check_preview_size(const InputGrid& input);

// What stands at a path (not following a link), to tell whether a run put something there.
struct FileState {
    bool exists = false;
    unsigned long long device = 0, inode = 0;
    long long size = 0, mtime_ns = 0;
};
FileState file_state(const std::string& path);
bool same_state(const FileState& a, const FileState& b);

// Throws Error when a file given as option (--report, --log) would be one of
// the results a run writes into out_dir (a name with an extension the plug-in
// and the host write there: .fmr, .stc, .amr, .vmr, .nii, .nii.gz; the
// parameter files unwrapparams_fmg.txt and fieldmapparams.txt; the lock).
void refuse_result_name(const std::string& option, const std::string& path, const std::string& out_dir);

}  // namespace host
}  // namespace warpmender
