// BIDS file names: entities in their canonical order, suffix and extension.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace warpmender {
namespace bids {

struct Entity {
    std::string key, value;
    bool operator==(const Entity& o) const { return key == o.key && value == o.value; }
};

// "sub-01_ses-1_task-rest_run-2_bold.nii.gz" ->
//   entities {sub 01, ses 1, task rest, run 2}, suffix "bold", extension ".nii.gz"
// The extension starts at the first dot; it may be empty.
struct FileName {
    std::vector<Entity> entities;  // canonical order (see entity_rank)
    std::string suffix;
    std::string extension;

    std::optional<std::string> entity(const std::string& key) const;
    // Replaces the value, or inserts the entity at its canonical place.
    void set_entity(const std::string& key, const std::string& value);
    void remove_entity(const std::string& key);
};

// Position of a key in the order the BIDS entity table lists them:
//   sub ses sample task tracksys acq nuc voi ce trc stain rec dir run mod echo
//   flip inv mt part proc hemi space split recording chunk seg res den label desc
// Keys the table does not know rank after all of these (-1 is never returned).
int entity_rank(const std::string& key);

// A base name (no folder) as BIDS names it, or nothing when it is not one:
// every part before the suffix must be key-value with alphanumeric key and
// value, no key twice, the suffix alphanumeric.
//   "sub-01_task-rest_bold.nii.gz" -> ok          "task-rest_bold.json" -> ok (a root-level sidecar)
//   "sub-01_bold"                   -> ok, no ext  "sub-01_task-re_st_bold.nii" -> none
//   "sub-01_sub-02_bold.nii"        -> none        "dwi.bval" -> ok (no entity, root-level)
//   "README"                        -> none (no entity and no extension: not a data or metadata file)
// Entities come out in canonical order whatever order the name had; unknown
// keys keep their relative order after the known ones.
std::optional<FileName> parse_file_name(const std::string& base_name);

// The name back: "sub-01_task-rest_run-2_bold.nii.gz".
std::string format_file_name(const FileName& name);

// The entities alone, joined: "sub-01_task-rest_run-2".
std::string format_entities(const std::vector<Entity>& entities);

}  // namespace bids
}  // namespace warpmender
