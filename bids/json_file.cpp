// Safe reading of JSON sidecars.
#include "bids/json_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "bids/error.h"

namespace warpmender {
namespace bids {

nlohmann::json parse_json_object(const std::string& text, const std::string& source) {
    // The parser reports each key as it meets it; one set of keys per open object.
    std::vector<std::set<std::string>> open;
    std::string duplicate;
    const nlohmann::json::parser_callback_t watch = [&](int, nlohmann::json::parse_event_t event,
                                                        nlohmann::json& parsed) {
        using E = nlohmann::json::parse_event_t;
        if (event == E::object_start) {
            open.emplace_back();
        } else if (event == E::object_end) {
            if (!open.empty()) open.pop_back();
        } else if (event == E::key && !open.empty() && duplicate.empty()) {
            const std::string key = parsed.get<std::string>();
            if (!open.back().insert(key).second) duplicate = key;
        }
        return true;
    };
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text, watch);
    } catch (const nlohmann::json::exception& e) {  // out_of_range too: "1e999"
        throw Error("cannot read sidecar \"" + source + "\": not valid JSON (" + e.what() + ")");
    }
    if (!duplicate.empty())
        throw Error("sidecar \"" + source + "\": the key \"" + duplicate +
                    "\" appears twice in one object; keep one of them");
    if (!j.is_object())
        throw Error("sidecar \"" + source + "\": the top level must be an object, not " + std::string(j.type_name()));
    return j;
}

nlohmann::json read_json_object(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);  // follows symbolic links
    if (ec) throw Error("cannot read sidecar \"" + path + "\": " + ec.message());
    if (!fs::is_regular_file(st))
        throw Error("cannot read sidecar \"" + path + "\": not a regular file" +
                    (fs::is_directory(st) ? " (a folder)" : ""));
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) throw Error("cannot read sidecar \"" + path + "\": " + ec.message());
    if (size > kMaxJsonBytes)
        throw Error("cannot read sidecar \"" + path + "\": " + std::to_string(size) +
                    " bytes, more than the 16 MB a sidecar may have");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot open sidecar \"" + path + "\": " + std::strerror(errno));
    // One byte more than the size seen tells a file that grew meanwhile.
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad()) throw Error("cannot read sidecar \"" + path + "\": read error");
    if (static_cast<std::size_t>(in.gcount()) == text.size())
        throw Error("cannot read sidecar \"" + path + "\": the file changed while it was read");
    text.resize(static_cast<std::size_t>(in.gcount()));
    return parse_json_object(text, path);
}

}  // namespace bids
}  // namespace warpmender
