// Parsing and formatting BIDS file names.
#include "bids/file_name.h"

#include <algorithm>
#include <cctype>

namespace warpmender {
namespace bids {

namespace {

const char* const kEntityOrder[] = {"sub",       "ses",   "sample", "task", "tracksys", "acq",   "nuc",   "voi",
                                    "ce",        "trc",   "stain",  "rec",  "dir",      "run",   "mod",   "echo",
                                    "flip",      "inv",   "mt",     "part", "proc",     "hemi",  "space", "split",
                                    "recording", "chunk", "seg",    "res",  "den",      "label", "desc"};
constexpr int kKnownEntities = static_cast<int>(sizeof(kEntityOrder) / sizeof(kEntityOrder[0]));

bool alphanumeric(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

int entity_rank(const std::string& key) {
    for (int i = 0; i < kKnownEntities; ++i)
        if (key == kEntityOrder[i]) return i;
    return kKnownEntities;
}

std::optional<std::string> FileName::entity(const std::string& key) const {
    for (const Entity& e : entities)
        if (e.key == key) return e.value;
    return std::nullopt;
}

void FileName::set_entity(const std::string& key, const std::string& value) {
    for (Entity& e : entities)
        if (e.key == key) {
            e.value = value;
            return;
        }
    const int rank = entity_rank(key);
    auto at =
        std::find_if(entities.begin(), entities.end(), [&](const Entity& e) { return entity_rank(e.key) > rank; });
    entities.insert(at, Entity{key, value});
}

void FileName::remove_entity(const std::string& key) {
    entities.erase(std::remove_if(entities.begin(), entities.end(), [&](const Entity& e) { return e.key == key; }),
                   entities.end());
}

std::optional<FileName> parse_file_name(const std::string& base_name) {
    if (base_name.empty() || base_name.find('/') != std::string::npos) return std::nullopt;
    FileName name;
    const std::size_t dot = base_name.find('.');
    const std::string stem = base_name.substr(0, dot);
    if (dot != std::string::npos) name.extension = base_name.substr(dot);

    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t cut = stem.find('_', start);
        parts.push_back(stem.substr(start, cut == std::string::npos ? std::string::npos : cut - start));
        if (cut == std::string::npos) break;
        start = cut + 1;
    }
    name.suffix = parts.back();
    parts.pop_back();
    if (!alphanumeric(name.suffix)) return std::nullopt;
    if (parts.empty() && name.extension.empty()) return std::nullopt;
    for (const std::string& part : parts) {
        const std::size_t dash = part.find('-');
        if (dash == std::string::npos) return std::nullopt;
        Entity e{part.substr(0, dash), part.substr(dash + 1)};
        if (!alphanumeric(e.key) || !alphanumeric(e.value) || name.entity(e.key)) return std::nullopt;
        name.entities.push_back(e);
    }
    std::stable_sort(name.entities.begin(), name.entities.end(),
                     [](const Entity& a, const Entity& b) { return entity_rank(a.key) < entity_rank(b.key); });
    return name;
}

std::string format_entities(const std::vector<Entity>& entities) {
    std::string out;
    for (const Entity& e : entities) {
        if (!out.empty()) out += '_';
        out += e.key + '-' + e.value;
    }
    return out;
}

std::string format_file_name(const FileName& name) {
    std::string out = format_entities(name.entities);
    if (!out.empty()) out += '_';
    return out + name.suffix + name.extension;
}

}  // namespace bids
}  // namespace warpmender
