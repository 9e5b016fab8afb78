// Documents from and to disk: opening any supported file, and the saver behind hsSaveFMRAndSTC.
#pragma once

#include <memory>
#include <string>

#include "core/atomic_file.h"
#include "host/host.h"

namespace warpmender {
namespace host {

// Opens path as a document, choosing the reader by its extension (".fmr",
// ".vmr", ".nii", ".nii.gz"); as_anatomy opens a NIfTI image as a VMR. The
// document's FileName becomes "<output directory>/<file name>" with ".fmr" or
// ".vmr" (so results land in the output directory), its source_path the file.
// The reader's remarks go to host.note. Throws Error naming the file.
//   output_dir "out", "/data/sub-01_bold.nii.gz" -> FileName "out/sub-01_bold.fmr"
Document open_document(Host& host, const std::string& path, bool as_anatomy);
Document open_document(const std::string& path, bool as_anatomy);  // the process's host

// Writes doc in the formats host.save_targets names: a document opened from
// NIfTI as NIfTI beside fmr_path ("out/a_b0.fmr" -> "out/a_b0.nii[.gz]"),
// with host.fmr_output also as FMR text at fmr_path and STC data at
// stc_path; any other document as FMR/STC, with host.nifti_output also as
// NIfTI. Each file goes through a temporary file renamed into place. The paths are used as given: Host::save_current has
// already put a relative path under the output directory. Refuses to overwrite the source of any open document.
// Returns "" when saved, else why not (nothing is then left behind).
std::string save_document_files(const Host& host, const Document& doc, const std::string& fmr_path,
                                const std::string& stc_path);

// A save written completely and synced under temporary names, not yet in
// place: commit() renames its files into place, the FMR last, and returns ""
// or why not. A save dropped uncommitted removes its files.
class PreparedSave {
public:
    std::string commit();

private:
    friend std::string prepare_document_files(const Host&, const Document&, const std::string&, const std::string&,
                                              PreparedSave&);
    std::unique_ptr<AtomicFile> stc_, nifti_, fmr_;
};

// The writing half of save_document_files: everything up to the renames.
// Returns "" when save holds the written files, else why not (save is then empty).
std::string prepare_document_files(const Host& host, const Document& doc, const std::string& fmr_path,
                                   const std::string& stc_path, PreparedSave& save);

// Makes host.saver write to disk with save_document_files.
void install_disk_saver(Host& host);

}  // namespace host
}  // namespace warpmender
