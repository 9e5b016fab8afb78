// Finding the EPI series of a BIDS dataset and the field map that serves each.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bids/file_name.h"
#include "bids/inheritance.h"

namespace warpmender {
namespace bids {

// The three field-map layouts BIDS knows besides reversed phase encoding (_epi):
//   kPhaseDifference  _phasediff with _magnitude1 (and _magnitude2); EchoTime1/2 in the phasediff's sidecar
//   kTwoPhases        _phase1 and _phase2 with _magnitude1 (and _magnitude2); EchoTime in each phase's sidecar
//   kDirect           _fieldmap with _magnitude; "Units" in the fieldmap's sidecar
enum class FieldMapLayout { kPhaseDifference, kTwoPhases, kDirect };
// "phasediff", "phase1/phase2", "fieldmap"
const char* layout_name(FieldMapLayout layout);

// One field map: the fmap images sharing every entity but the suffix.
struct FieldMap {
    FieldMapLayout layout = FieldMapLayout::kPhaseDifference;
    std::string name;  // the first phase image (or the fieldmap) relative to BIDS_DIR, for messages
    std::string subject, session;
    // Absolute paths; empty when the dataset has none.
    std::string phasediff, phase1, phase2, fieldmap, magnitude1, magnitude2, magnitude;
    std::string missing;  // what the layout needs and the dataset lacks ("_magnitude1"); "" when complete
    std::vector<std::string> intended_for;          // absolute paths the sidecars' IntendedFor resolve to
    std::vector<std::string> intended_for_sources;  // the sidecar each came from, relative to BIDS_DIR
    std::vector<std::string> identifiers;           // B0FieldIdentifier values

    // Every image present, in the order of the members above.
    std::vector<std::string> images() const;
};

// A series warpmender corrects.
struct Series {
    std::string path;      // absolute
    std::string relative;  // relative to BIDS_DIR: "sub-01/ses-1/func/sub-01_ses-1_task-rest_bold.nii.gz"
    FileName name;
    std::string subject, session, datatype;  // labels without "sub-"/"ses-"; session "" when none
    std::vector<std::string> field_sources;  // B0FieldSource values
};

struct Selected {
    Series series;
    std::size_t fieldmap = 0;  // index into Discovery::fieldmaps
    std::string matched_by;    // "IntendedFor in sub-01/fmap/sub-01_phasediff.json" or "B0FieldIdentifier \"b0map\""
};

struct Excluded {
    Series series;
    std::string reason;
};

struct Discovery {
    std::string bids_dir;  // absolute, normalised
    std::vector<FieldMap> fieldmaps;
    std::vector<Selected> selected;  // a series and its one field map
    std::vector<Excluded> skipped;   // nothing to do: no field map, or not an intensity image
    std::vector<Excluded> failed;    // the dataset is at fault: two field maps, an incomplete one, a bad sidecar
    std::vector<std::string> notes;  // oddities that change nothing selected (an IntendedFor to a missing file)
};

struct DiscoveryOptions {
    std::vector<std::string> participant_labels;  // "01" or "sub-01"; empty: every subject
    std::vector<std::string> session_labels;      // "1" or "ses-1"; empty: every session
    std::vector<std::string> tasks;               // "rest" or "task-rest"; given, only series with one of these tasks
    bool include_sbref = false;                   // correct func _sbref images too
};

// Walks BIDS_DIR/sub-*/[ses-*/]<datatype>/ for images (.nii, .nii.gz):
// - series to correct: func _bold (and _sbref when asked), dwi _dwi, perf _asl;
//   a `part` other than "mag" (phase, real, imag) is skipped: not an intensity image;
// - field maps in fmap/: the three layouts above; _epi images are not field
//   maps here (only their B0FieldIdentifier is read, to say why a series that
//   names them is skipped);
// - never entered: anything not sub-*/ at the top (derivatives/, sourcedata/,
//   code/), dot-folders and dot-files, and paths .bidsignore lists (one glob
//   per line, '#' comments; a pattern with '/' matches the path from the
//   root, one without matches any single name; a trailing '/' is dropped).
// A field map serves a series when its sidecars' IntendedFor (a string or a
// list; paths relative to the subject's folder, or "bids::" URIs relative to
// BIDS_DIR) names the series, or when one of the series' B0FieldSource values
// is among the field map's B0FieldIdentifier values (strings or lists; same
// subject and session). Sidecars are read with inheritance. The filters
// choose series; field maps are found in all sessions of the chosen subjects.
// A series stored both as .nii and .nii.gz fails (its derivatives would be
// one set of files). Throws Error when BIDS_DIR is not a folder or a filter
// names a subject, session or task the chosen subjects lack; per-series
// problems go to `failed`.
Discovery discover(const std::string& bids_dir, const DiscoveryOptions& options = {});

}  // namespace bids
}  // namespace warpmender
