// Everything a run checks before it reads a voxel or writes a byte.
#pragma once

#include <string>

#include "cli/session.h"

namespace warpmender {
namespace host {

// The output folder is no input's folder; every document's header and file
// size are sound; its previews are bounded and its results' names fit; the
// run fits the memory available. Throws Error naming the file at fault.
void preflight_session(const Session& session, const std::string& out_dir);

// The longest suffix the plug-in gives a result of a document in this
// session: "_unwrapped3vcyc5its_smoothed_pixshift" for the default multigrid.
std::string longest_result_suffix(const Session& session);

// Creates out_dir with its parents when missing; throws Error when it cannot
// be a folder or is not writable (creating no file to find out).
void prepare_output_folder(const std::string& out_dir);

}  // namespace host
}  // namespace warpmender
