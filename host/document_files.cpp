// Opening documents by file type and saving them to disk atomically, never over an open document's source.
#include "host/document_files.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/atomic_file.h"
#include "core/error.h"
#include "formats/file_checks.h"
#include "formats/fmr_file.h"
#include "formats/format_table.h"
#include "formats/nifti_document.h"

namespace warpmender {
namespace host {

namespace {

std::string file_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string under(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// True when a and b are one file: the same inode when both exist, else the same normalised path.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ec;
    const auto na = std::filesystem::absolute(a, ec).lexically_normal();
    const auto nb = std::filesystem::absolute(b, ec).lexically_normal();
    return na == nb;
}

}  // namespace

Document open_document(Host& host, const std::string& path, bool as_anatomy) {
    const std::string name = file_name_of(path);
    const FileFormat* format = format_of(name);
    if (format == nullptr)
        throw Error("cannot open \"" + path + "\": unknown file type (expected " + known_extensions() + ")");
    Notes notes;
    Document doc = format->read(path, as_anatomy, notes);
    const std::string stem = name.substr(0, name.size() - std::string(format->extension).size());
    const std::string file_name = under(host.output_dir, stem + (doc.type == kVmr ? ".vmr" : ".fmr"));
    char* target = doc.type == kVmr ? doc.vmr.FileName : doc.fmr.FileName;
    const size_t capacity = doc.type == kVmr ? sizeof doc.vmr.FileName : sizeof doc.fmr.FileName;
    if (file_name.size() >= capacity)
        throw Error("cannot open \"" + path + "\": its name in the output directory, \"" + file_name +
                    "\", is longer than " + std::to_string(capacity - 1) + " characters");
    std::memset(target, 0, capacity);
    std::memcpy(target, file_name.data(), file_name.size());
    doc.source_path = path;
    for (const std::string& n : notes) host.note(n);
    return doc;
}

Document open_document(const std::string& path, bool as_anatomy) { return open_document(instance(), path, as_anatomy); }

std::string prepare_document_files(const Host& host, const Document& doc, const std::string& fmr,
                                   const std::string& stc, PreparedSave& save) {
    save = PreparedSave();
    if (fmr.empty()) return "the path is empty";
    if (const std::string why = fmr_document_problem(doc); !why.empty()) return why;
    if (stc != stc_path_of(fmr, ""))
        return "the STC file \"" + stc + "\" must lie beside the FMR as \"" + stc_path_of(fmr, "") + "\"";
    if (same_file(fmr, stc)) return "the FMR and the STC file would be the same file";

    // A result takes the format of the document it is saved through (SaveTargets).
    const SaveTargets planned = host.save_targets(doc, fmr);
    std::vector<std::string> targets;
    if (planned.fmr) targets = {fmr, stc};
    if (planned.nifti) targets.push_back(planned.nifti_path);
    // Checked before anything is written: the renames come one after another,
    // and a folder in the FMR's place would fail the last one after the STC is in place.
    for (const std::string& t : targets) {
        std::error_code ec;
        if (std::filesystem::is_directory(t, ec)) return "\"" + t + "\" is a folder";
    }
    for (const Document& open : host.documents()) {
        for (const std::string* source : {&open.source_path, &open.source_data_path}) {
            if (source->empty()) continue;
            for (const std::string& t : targets)
                if (same_file(t, *source))
                    return "\"" + t + "\" is the source of the open document \"" +
                           std::string(open.type == kVmr ? open.vmr.FileName : open.fmr.FileName) +
                           "\" and is never overwritten";
        }
    }

    try {
        // Everything is written completely before anything is renamed.
        if (planned.fmr) {
            save.stc_ = std::make_unique<AtomicFile>(stc);
            write_stc(doc, *save.stc_);
            save.stc_->finish();
        }
        if (planned.nifti) {
            save.nifti_ =
                std::make_unique<AtomicFile>(planned.nifti_path, nifti_copy_compressed(doc) ? ".nii.gz" : ".nii");
            write_nifti(doc, *save.nifti_);
        }
        if (planned.fmr) {
            save.fmr_ = std::make_unique<AtomicFile>(fmr);
            save.fmr_->write(fmr_text(doc, fmr));
            save.fmr_->finish();
        }
    } catch (const Error& e) {
        save = PreparedSave();
        return e.what();
    } catch (const std::bad_alloc&) {
        save = PreparedSave();
        return "out of memory";
    }
    return {};
}

std::string PreparedSave::commit() {
    try {
        // The FMR, which names the STC, comes into place last.
        if (stc_) stc_->commit();
        if (nifti_) nifti_->commit();
        if (fmr_) fmr_->commit();
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

std::string save_document_files(const Host& host, const Document& doc, const std::string& fmr, const std::string& stc) {
    PreparedSave save;
    const std::string why = prepare_document_files(host, doc, fmr, stc, save);
    return why.empty() ? save.commit() : why;
}

void install_disk_saver(Host& host) {
    Host* h = &host;
    host.saver = [h](const Document& doc, const std::string& fmr, const std::string& stc) {
        return save_document_files(*h, doc, fmr, stc);
    };
}

}  // namespace host
}  // namespace warpmender
