// FMR projects on disk: the FMR text header and its one STC data file ("DataStorageFormat: 2").
#pragma once

#include <string>

#include "formats/document.h"
#include "formats/file_checks.h"

namespace warpmender {
namespace host {

class AtomicFile;

// Reads the FMR text at fmr_path and the STC file it names into a new FMR
// document (FileName and source_path fmr_path, source_data_path the STC).
// Keys come in any order, unknown keys are ignored; NrOfVolumes, NrOfSlices,
// ResolutionX, ResolutionY and DataType are required. Without a position
// block the volume is axis-aligned and centred at the origin. Throws Error
// naming the file and what is wrong.
Document read_fmr(const std::string& fmr_path, Notes& notes);
// The header alone (no voxels read), its source_data_path set to the STC file.
Document read_fmr_header(const std::string& fmr_path, Notes& notes);
// Throws Error naming the STC file when it cannot be read or its size does not match the header.
void check_stc_size(const Document& doc, const std::string& stc_path);

// The STC file of an FMR:
//   "dir/a.fmr", ""      -> "dir/a.stc"
//   "dir/a.fmr", "run1"  -> "dir/run1.stc"
std::string stc_path_of(const std::string& fmr_path, const std::string& prefix);

// The FMR text of doc when saved at fmr_path, with the keys of the plug-in's
// own FMR writer and the document's DataType; floats are written in their
// shortest exact form, so that reading the text back gives the same values.
std::string fmr_text(const Document& doc, const std::string& fmr_path);

// Reads the STC data of doc's header from stc_path into doc's volumes,
// volume by volume (16-bit or float, little-endian, x fastest).
void read_stc(Document& doc, const std::string& stc_path, Notes& notes);
// Writes doc's volumes as STC data.
void write_stc(const Document& doc, AtomicFile& file);

// Why doc's buffers cannot be written as its header says, or "" when they can.
std::string fmr_document_problem(const Document& doc);

}  // namespace host
}  // namespace warpmender
