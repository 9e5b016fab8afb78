// A file written whole or not at all: a fresh temporary name beside the target, synced, renamed into place.
#pragma once

#include <string>

namespace warpmender {
namespace report {

// Writes `content` to `path`: a temporary file in the same directory,
// opened O_CREAT | O_EXCL | O_NOFOLLOW (never a planted link, never another
// writer's file), written, fsync'ed, renamed onto path. Readers see the old
// file or the whole new one. Throws std::runtime_error naming the path and
// the reason (missing directory, no permission, disk full); the temporary
// file is removed then.
void write_file_atomically(const std::string& path, const std::string& content);

}  // namespace report
}  // namespace warpmender
