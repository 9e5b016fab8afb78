// BIDS-style JSON sidecars beside NIfTI images: echo times, readout timing, phase-encoding direction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace warpmender {
namespace host {

// A sidecar larger than this is refused unread.
constexpr uint64_t kMostSidecarBytes = 16u << 20;

struct Sidecar {
    std::string path;                                     // the JSON file it was read from
    std::optional<double> echo_time1, echo_time2;         // seconds, of a phase difference
    std::optional<double> echo_time;                      // seconds, of one phase image (phase1, phase2)
    std::optional<double> effective_echo_spacing;         // seconds
    std::optional<double> total_readout_time;             // seconds
    std::optional<std::string> phase_encoding_direction;  // "i", "i-", "j", "j-", "k", "k-"
    std::optional<std::string> units;                     // of a direct field map: "Hz", "rad/s"
};

// "dir/a.nii.gz" -> "dir/a.json"; "" for an image that is not NIfTI.
std::string sidecar_path(const std::string& image_path);
// The sidecar beside the image, or nothing when there is none. Throws Error
// naming the file when it exists but cannot be read or holds a field of the
// wrong type.
std::optional<Sidecar> read_sidecar(const std::string& image_path);
Sidecar parse_sidecar(const std::string& text, const std::string& source);

// "i" -> 1, "i-" -> 2, "j" -> 3, "j-" -> 4, "k" -> 5, "k-" -> 6, "3" -> 3; 0 when not a direction.
int direction_code(const std::string& text);
// Axis of a direction code: 0 = i (x), 1 = j (y), 2 = k (z).
int direction_axis(int code);

}  // namespace host
}  // namespace warpmender
