// A report file written whole or not at all, through core's atomic writer.
#pragma once

#include <string>

namespace warpmender {
namespace report {

// Writes `content` to `path` under a fresh temporary name beside it (never a
// planted link, never another writer's file), synced and renamed into place:
// readers see the old file or the whole new one. Throws Error naming the path
// and the reason; no temporary is left behind then.
void write_file_atomically(const std::string& path, const std::string& content);

}  // namespace report
}  // namespace warpmender
