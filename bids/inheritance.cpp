// Sidecar inheritance across the levels of a BIDS dataset.
#include "bids/inheritance.h"

#include <algorithm>
#include <filesystem>

#include "bids/error.h"
#include "bids/file_name.h"
#include "bids/json_file.h"

namespace fs = std::filesystem;

namespace warpmender {
namespace bids {

namespace {

fs::path normal_absolute(const std::string& p) { return fs::absolute(fs::path(p)).lexically_normal(); }

bool applies(const FileName& sidecar, const FileName& data) {
    if (sidecar.extension != ".json" || sidecar.suffix != data.suffix) return false;
    for (const Entity& e : sidecar.entities) {
        const auto v = data.entity(e.key);
        if (!v || *v != e.value) return false;
    }
    return true;
}

}  // namespace

const nlohmann::json* Metadata::find(const std::string& key) const {
    const auto it = values.find(key);
    if (it == values.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string Metadata::source_of(const std::string& key) const {
    const auto it = source.find(key);
    return it == source.end() ? std::string() : it->second;
}

SidecarReader::SidecarReader(std::string bids_dir) : root_(normal_absolute(bids_dir).string()) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

const std::vector<std::string>& SidecarReader::sidecars_in(const std::string& folder) {
    auto it = listings_.find(folder);
    if (it != listings_.end()) return it->second;
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator d(folder, ec), end; !ec && d != end; d.increment(ec)) {
        const std::string name = d->path().filename().string();
        if (name.empty() || name[0] == '.' || d->path().extension() != ".json") continue;
        found.push_back(d->path().string());
    }
    if (ec) throw Error("cannot list the folder \"" + folder + "\": " + ec.message());
    std::sort(found.begin(), found.end());
    return listings_.emplace(folder, std::move(found)).first->second;
}

const nlohmann::json& SidecarReader::sidecar(const std::string& path) {
    auto it = parsed_.find(path);
    if (it == parsed_.end()) it = parsed_.emplace(path, read_json_object(path)).first;
    return it->second;
}

const Metadata& SidecarReader::metadata(const std::string& data_file) {
    const fs::path file = normal_absolute(data_file);
    if (const auto it = merged_.find(file.string()); it != merged_.end()) return it->second;
    const auto data = parse_file_name(file.filename().string());
    if (!data) throw Error("\"" + file.string() + "\" is not named as BIDS names files; its sidecars cannot be found");
    const fs::path relative = file.lexically_relative(root_);
    if (relative.empty() || *relative.begin() == "..")
        throw Error("\"" + file.string() + "\" lies outside the dataset \"" + root_ + "\"");

    // Folders from the root down to the file's own.
    std::vector<fs::path> levels{fs::path(root_)};
    for (auto part = relative.begin(); std::next(part) != relative.end(); ++part)
        levels.push_back(levels.back() / *part);

    Metadata m;
    for (const fs::path& level : levels) {
        std::string chosen;
        for (const std::string& candidate : sidecars_in(level.string())) {
            const auto name = parse_file_name(fs::path(candidate).filename().string());
            if (!name || !applies(*name, *data)) continue;
            if (!chosen.empty())
                throw Error("two sidecars apply to \"" + file.string() + "\" at one level: \"" + chosen + "\" and \"" +
                            candidate + "\"; BIDS allows one per level");
            chosen = candidate;
        }
        if (chosen.empty()) continue;
        for (const auto& item : sidecar(chosen).items()) {
            m.values[item.key()] = item.value();
            m.source[item.key()] = chosen;
        }
        m.files.push_back(chosen);
    }
    return merged_.emplace(file.string(), std::move(m)).first->second;
}

}  // namespace bids
}  // namespace warpmender
