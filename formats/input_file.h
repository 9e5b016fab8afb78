// Small text inputs named by the user (sidecars, sessions): regular files only, read with a size limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace warpmender {
namespace host {

// The whole file, when it is a regular file of at most max_bytes. A FIFO,
// device or folder is refused before a byte is read (opened with O_NONBLOCK,
// so a FIFO cannot block the open); so is a file that grows past the limit
// while it is read. what names the kind of file in messages:
//   "sidecar \"a.json\" is not a regular file (a FIFO); only regular files are read"
// Links are followed: inputs are only read, and annexed datasets link every file.
// Returns nothing when the file does not exist and missing_ok is set.
std::optional<std::string> read_regular_file(const std::string& path, const std::string& what, uint64_t max_bytes,
                                             bool missing_ok = false);

// "a FIFO", "a folder", "a character device", ...
std::string file_kind(unsigned mode);

}  // namespace host
}  // namespace warpmender
