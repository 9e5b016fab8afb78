// Reading BIDS-style JSON sidecars.
#include "formats/sidecar.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "formats/input_file.h"

namespace warpmender {
namespace host {

namespace {

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::optional<double> seconds(const nlohmann::json& j, const char* key, const std::string& source) {
    if (!j.contains(key) || j[key].is_null()) return std::nullopt;
    if (!j[key].is_number())
        throw Error("sidecar \"" + source + "\": \"" + key + "\" must be a number of seconds, not " +
                    std::string(j[key].type_name()));
    const double v = j[key].get<double>();
    // Echo times and readouts are well below a second; larger values are milliseconds by mistake.
    if (!std::isfinite(v) || v < 0.0 || v > 1.0)
        throw Error("sidecar \"" + source + "\": \"" + key + "\" is " + std::to_string(v) +
                    ", not a time in seconds (BIDS stores seconds)");
    return v;
}

bool is_read_key(const std::string& key) {
    return key == "EchoTime1" || key == "EchoTime2" || key == "EchoTime" || key == "EffectiveEchoSpacing" ||
           key == "TotalReadoutTime" || key == "PhaseEncodingDirection" || key == "Units";
}

}  // namespace

std::string sidecar_path(const std::string& image_path) {
    if (ends_with(image_path, ".nii.gz")) return image_path.substr(0, image_path.size() - 7) + ".json";
    if (ends_with(image_path, ".nii")) return image_path.substr(0, image_path.size() - 4) + ".json";
    return {};
}

Sidecar parse_sidecar(const std::string& text, const std::string& source) {
    nlohmann::json j;
    try {
        // The parser keeps the last of duplicate keys; a sidecar that gives a value twice says two things.
        std::set<std::string> seen;
        j = nlohmann::json::parse(text, [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
            if (depth == 1 && event == nlohmann::json::parse_event_t::key) {
                const std::string key = parsed.get<std::string>();
                if (!seen.insert(key).second && is_read_key(key))
                    throw Error("sidecar \"" + source + "\": \"" + key +
                                "\" is given more than once; which value is meant cannot be known");
            }
            return true;
        });
    } catch (const nlohmann::json::exception& e) {  // out_of_range too: "1e999"
        throw Error("cannot read sidecar \"" + source + "\": not valid JSON (" + e.what() + ")");
    }
    if (!j.is_object()) throw Error("sidecar \"" + source + "\": the top level must be an object");
    Sidecar s;
    s.path = source;
    s.echo_time1 = seconds(j, "EchoTime1", source);
    s.echo_time2 = seconds(j, "EchoTime2", source);
    s.echo_time = seconds(j, "EchoTime", source);
    s.effective_echo_spacing = seconds(j, "EffectiveEchoSpacing", source);
    s.total_readout_time = seconds(j, "TotalReadoutTime", source);
    if (j.contains("PhaseEncodingDirection") && !j["PhaseEncodingDirection"].is_null()) {
        if (!j["PhaseEncodingDirection"].is_string())
            throw Error("sidecar \"" + source + "\": \"PhaseEncodingDirection\" must be a string such as \"j-\"");
        const std::string d = j["PhaseEncodingDirection"].get<std::string>();
        if (direction_code(d) == 0 || std::isdigit(static_cast<unsigned char>(d[0])))
            throw Error("sidecar \"" + source + "\": \"PhaseEncodingDirection\" is \"" + d +
                        "\"; expected one of i, i-, j, j-, k, k-");
        s.phase_encoding_direction = d;
    }
    if (j.contains("Units") && !j["Units"].is_null()) {
        if (!j["Units"].is_string())
            throw Error("sidecar \"" + source + "\": \"Units\" must be a string such as \"Hz\"");
        s.units = j["Units"].get<std::string>();
    }
    return s;
}

std::optional<Sidecar> read_sidecar(const std::string& image_path) {
    const std::string path = sidecar_path(image_path);
    if (path.empty()) return std::nullopt;
    // A sidecar is a few kilobytes of JSON: a FIFO, a device or a huge file is not one.
    const std::optional<std::string> text = read_regular_file(path, "sidecar", kMostSidecarBytes, true);
    if (!text) return std::nullopt;
    return parse_sidecar(*text, path);
}

int direction_code(const std::string& text) {
    static const char* const kNames[] = {"i", "i-", "j", "j-", "k", "k-"};
    for (int c = 0; c < 6; ++c)
        if (text == kNames[c] || text == std::to_string(c + 1)) return c + 1;
    return 0;
}

int direction_axis(int code) { return (code - 1) / 2; }

}  // namespace host
}  // namespace warpmender
