// Reading a JSON sidecar safely: a regular file of bounded size, one object, no key twice.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace warpmender {
namespace bids {

// Sidecars are a few kB; 16 MB bounds what a stray file can make us hold.
constexpr std::uintmax_t kMaxJsonBytes = 16u * 1024u * 1024u;

// The object in the file at path. Symbolic links are followed to their file.
// Throws Error, naming the file, when it is missing, not a regular file
// (a folder, a device, a FIFO), larger than kMaxJsonBytes, not valid JSON,
// not an object at the top level, or holds one key twice in an object
// (JSON allows it, but which value wins differs between readers).
nlohmann::json read_json_object(const std::string& path);

// The same checks on text already read; source names it in messages.
nlohmann::json parse_json_object(const std::string& text, const std::string& source);

}  // namespace bids
}  // namespace warpmender
