// Reading and writing FMR text headers and STC data files.
#include "formats/fmr_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "core/atomic_file.h"
#include "core/error.h"
#include "core/fmr_keys.h"

namespace warpmender {
namespace host {

namespace {

// An FMR header is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxFmrTextBytes = 1 << 20;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw Error("cannot open \"" + path + "\": " + why);
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directory_prefix_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "dir/a.b.fmr" -> "dir/a.b";  "dir/a" -> "dir/a";  "d.x/a" -> "d.x/a"
std::string without_extension(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

// Opens a regular file for reading and reports its size.
FilePtr open_regular(const std::string& path, const std::string& what, uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse(path, what + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, what + "not a regular file");
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) refuse(path, what + std::strerror(errno));
    size = static_cast<uint64_t>(st.st_size);
    return f;
}

std::string read_text(const std::string& path) {
    uint64_t size = 0;
    FilePtr f = open_regular(path, "", size);
    if (size == 0) refuse(path, "the file is empty");
    if (size > kMaxFmrTextBytes)
        refuse(path, "the file has " + std::to_string(size) + " bytes, too many for an FMR text header");
    std::string text(static_cast<size_t>(size), '\0');
    if (std::fread(&text[0], 1, text.size(), f.get()) != text.size()) refuse(path, "the file could not be read");
    if (text.find('\0') != std::string::npos) refuse(path, "this is not an FMR text header (it holds binary data)");
    return text;
}

// A value as a message shows it: control characters as '?', at most 60 characters.
//   "12\x1b[2J" -> "12?[2J";  a 1 MB line -> its first 60 characters and "..."
std::string shown(const std::string& value) {
    constexpr size_t kMost = 60;
    std::string out = value.substr(0, kMost);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return value.size() > kMost ? out + "..." : out;
}

struct Entry {
    std::string value;
    int line = 0;
};

// The twelve numbers of the slice centres and directions, in table order.
const std::array<const char*, 12> kGeometryKeys = [] {
    std::array<const char*, 12> keys{};
    for (int i = 0; i < 12; ++i)
        keys[i] = fmr_name(static_cast<FmrField>(static_cast<int>(FmrField::kSlice1CenterX) + i));
    return keys;
}();

// A key that only the position block has ("SliceThickness" is in both).
bool is_position_key(const std::string& key) {
    for (int i = 0; i < kFmrKeyCount; ++i)
        if (kFmrKeys[i].position && kFmrKeys[i].field != FmrField::kPositionSliceThickness && key == kFmrKeys[i].name)
            return true;
    return false;
}

// The position block repeats "SliceThickness" (without its colon); inside the
// block it means the record's slice thickness, stored under this name.
constexpr const char* kPositionSliceThickness = "SliceThickness (position)";

class KeyTable {
public:
    KeyTable(const std::string& path, const std::string& text) : path_(path) {
        bool in_position = false;
        int line_number = 0;
        size_t start = 0;
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            ++line_number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t b = line.find_first_not_of(" \t");
            if (b == std::string::npos) continue;
            size_t k = b;
            while (k < line.size() && line[k] != ':' && line[k] != ' ' && line[k] != '\t') ++k;
            std::string key = line.substr(b, k - b);
            if (k < line.size() && line[k] == ':') ++k;
            const size_t vb = line.find_first_not_of(" \t", k);
            const size_t ve = line.find_last_not_of(" \t");
            const std::string value = vb == std::string::npos ? std::string() : line.substr(vb, ve - vb + 1);
            if (key == "PositionInformationFromImageHeaders") in_position = true;
            if (is_position_key(key)) in_position = true;
            if (key == "SliceThickness" && in_position) key = kPositionSliceThickness;
            entries_[key] = Entry{value, line_number};
        }
    }

    bool has(const std::string& key) const { return entries_.count(key) != 0; }

    const Entry& entry(const std::string& key) const {
        auto it = entries_.find(key);
        if (it == entries_.end()) refuse(path_, "the key \"" + key + "\" is missing");
        return it->second;
    }

    int whole(const std::string& key) const {
        const Entry& e = entry(key);
        int v = 0;
        const char* first = e.value.data();
        const char* last = first + e.value.size();
        if (*first == '+') ++first;
        const auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc::result_out_of_range) bad(key, e, "a whole number out of range");
        if (e.value.empty() || r.ec != std::errc() || r.ptr != last) bad(key, e, "not a whole number");
        return v;
    }
    int whole_or(const std::string& key, int fallback) const { return has(key) ? whole(key) : fallback; }

    float number(const std::string& key) const {
        const Entry& e = entry(key);
        float v = 0.0f;
        const char* first = e.value.data();
        const char* last = first + e.value.size();
        if (*first == '+') ++first;
        const auto r = std::from_chars(first, last, v);
        if (e.value.empty() || r.ec != std::errc() || r.ptr != last || !std::isfinite(v))
            bad(key, e, "not a finite number");
        return v;
    }
    float number_or(const std::string& key, float fallback) const { return has(key) ? number(key) : fallback; }

    // A number the header keeps as an integer (TR, TE, ...): rounded when written with a fraction.
    int rounded_or(const std::string& key, int fallback) const {
        if (!has(key)) return fallback;
        const double v = number(key);
        if (v < -2147483648.0 || v > 2147483647.0) bad(key, entry(key), "out of range");
        return static_cast<int>(std::lround(v));
    }

    // A quoted text; "<none>" and a missing key give "".
    std::string text_or_empty(const std::string& key) const {
        if (!has(key)) return {};
        const Entry& e = entry(key);
        std::string v = e.value;
        if (!v.empty() && v[0] == '"') {
            const size_t close = v.find('"', 1);
            if (close == std::string::npos) bad(key, e, "a text whose closing quote is missing");
            v = v.substr(1, close - 1);
        }
        return v == "<none>" ? std::string() : v;
    }

    [[noreturn]] void bad(const std::string& key, const Entry& e, const std::string& what) const {
        refuse(path_, "line " + std::to_string(e.line) + ": the value \"" + shown(e.value) + "\" of \"" + key +
                          "\" is " + what);
    }

private:
    std::string path_;
    std::map<std::string, Entry> entries_;
};

void copy_text(char* out, size_t capacity, const std::string& text) {
    std::memset(out, 0, capacity);
    std::memcpy(out, text.data(), std::min(text.size(), capacity - 1));
}

void read_position(const KeyTable& keys, const std::string& path, Document& doc, Notes& notes) {
    FMR_Header& h = doc.fmr;
    bool any = false;
    for (const char* k : kGeometryKeys) any = any || keys.has(k);
    if (!any) {
        set_axis_aligned_position(doc.position, h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.InplaneResolutionX,
                                  h.InplaneResolutionY, h.VoxelSizeZ);
        return;
    }
    float g[12];
    for (size_t i = 0; i < kGeometryKeys.size(); ++i) g[i] = keys.number(kGeometryKeys[i]);
    const float row_length = std::sqrt(g[6] * g[6] + g[7] * g[7] + g[8] * g[8]);
    const float col_length = std::sqrt(g[9] * g[9] + g[10] * g[10] + g[11] * g[11]);
    if (row_length < 1e-6f || col_length < 1e-6f) {
        // Projects whose positions were never verified carry all zeros here.
        notes.push_back("\"" + path +
                        "\" has no usable slice directions (RowDir or ColDir is zero); "
                        "its volume is taken as axis-aligned and centred at the origin");
        set_axis_aligned_position(doc.position, h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.InplaneResolutionX,
                                  h.InplaneResolutionY, h.VoxelSizeZ);
        return;
    }
    FMR_ScannerPosition_Header& p = doc.position;
    p = FMR_ScannerPosition_Header{};
    p.PosInfosVerified = keys.whole_or(fmr_name(FmrField::kPosInfosVerified), 1);
    p.CoordinateSystem = keys.whole_or(fmr_name(FmrField::kCoordinateSystem), 0);
    float* fields[12] = {&p.Slice1CenterX, &p.Slice1CenterY, &p.Slice1CenterZ, &p.SliceNCenterX,
                         &p.SliceNCenterY, &p.SliceNCenterZ, &p.RowDirX,       &p.RowDirY,
                         &p.RowDirZ,       &p.ColDirX,       &p.ColDirY,       &p.ColDirZ};
    for (int i = 0; i < 12; ++i) *fields[i] = g[i];
    p.NRows = keys.whole_or(fmr_name(FmrField::kNRows), h.ResolutionY);
    p.NCols = keys.whole_or(fmr_name(FmrField::kNCols), h.ResolutionX);
    p.FoVRows = keys.number_or(fmr_name(FmrField::kFoVRows), static_cast<float>(h.ResolutionY) * h.InplaneResolutionY);
    p.FoVCols = keys.number_or(fmr_name(FmrField::kFoVCols), static_cast<float>(h.ResolutionX) * h.InplaneResolutionX);
    p.SliceThickness = keys.number_or(kPositionSliceThickness, h.SliceThickness);
    p.GapThickness = keys.number_or(fmr_name(FmrField::kGapThickness), h.SliceGap);
}

// Text safe inside a quoted value of one line.
std::string quoted_safe(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) c = '_';
    return out;
}

std::string float_text(float v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

size_t bytes_per_value(int data_type) { return data_type == 1 ? sizeof(uint16_t) : sizeof(float); }

}  // namespace

std::string stc_path_of(const std::string& fmr_path, const std::string& prefix) {
    if (!prefix.empty()) return directory_prefix_of(fmr_path) + prefix + ".stc";
    return without_extension(fmr_path) + ".stc";
}

Document read_fmr_header(const std::string& fmr_path, Notes& notes) {
    const KeyTable keys(fmr_path, read_text(fmr_path));
    Document doc;
    doc.type = kFmr;
    FMR_Header& h = doc.fmr;

    if (keys.has(fmr_name(FmrField::kFileVersion)) && keys.whole(fmr_name(FmrField::kFileVersion)) < 5)
        refuse(fmr_path, "FMR version " + std::to_string(keys.whole(fmr_name(FmrField::kFileVersion))) +
                             " keeps one STC file per slice; only projects of version 5 and later are read");
    if (keys.has(fmr_name(FmrField::kDataStorageFormat)) && keys.whole(fmr_name(FmrField::kDataStorageFormat)) != 2)
        refuse(fmr_path, "DataStorageFormat " + std::to_string(keys.whole(fmr_name(FmrField::kDataStorageFormat))) +
                             " is not supported (only 2: one STC file, volume after volume)");
    h.NrOfVolumes = keys.whole(fmr_name(FmrField::kNrOfVolumes));
    h.NrOfSlices = keys.whole(fmr_name(FmrField::kNrOfSlices));
    h.ResolutionX = keys.whole(fmr_name(FmrField::kResolutionX));
    h.ResolutionY = keys.whole(fmr_name(FmrField::kResolutionY));
    h.DataType = keys.whole(fmr_name(FmrField::kDataType));
    if (h.DataType != 1 && h.DataType != 2)
        refuse(fmr_path,
               "DataType " + std::to_string(h.DataType) + " is not supported (1: 16-bit integers, 2: 32-bit floats)");
    checked_volume_voxels(fmr_path, h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.NrOfVolumes,
                          bytes_per_value(h.DataType));

    h.InplaneResolutionX = keys.number_or(fmr_name(FmrField::kInplaneResolutionX), 1.0f);
    h.InplaneResolutionY = keys.number_or(fmr_name(FmrField::kInplaneResolutionY), 1.0f);
    h.SliceThickness = keys.number_or(fmr_name(FmrField::kSliceThickness), 1.0f);
    h.SliceGap = keys.number_or(fmr_name(FmrField::kSliceGap), 0.0f);
    for (FmrField f : {FmrField::kInplaneResolutionX, FmrField::kInplaneResolutionY, FmrField::kSliceThickness}) {
        const char* k = fmr_name(f);
        if (keys.has(k) && keys.number(k) <= 0.0f) keys.bad(k, keys.entry(k), "not a positive voxel size");
    }
    if (h.SliceGap < 0.0f)
        keys.bad(fmr_name(FmrField::kSliceGap), keys.entry(fmr_name(FmrField::kSliceGap)), "negative");
    h.VoxelSizeZ = h.SliceThickness + h.SliceGap;
    h.VoxelResolutionVerified = keys.whole_or(fmr_name(FmrField::kVoxelResolutionVerified), 0);
    h.TR = keys.rounded_or(fmr_name(FmrField::kTR), 0);
    h.TE = keys.rounded_or(fmr_name(FmrField::kTE), 0);
    h.InterSliceTime = keys.rounded_or(fmr_name(FmrField::kInterSliceTime), 0);

    const std::string prefix = keys.text_or_empty(fmr_name(FmrField::kPrefix));
    if (prefix.size() >= sizeof h.Prefix)
        refuse(fmr_path, "the Prefix has " + std::to_string(prefix.size()) + " characters, more than " +
                             std::to_string(sizeof h.Prefix - 1));
    if (prefix.find('/') != std::string::npos || prefix == "." || prefix == "..")
        refuse(fmr_path, "the Prefix \"" + shown(prefix) + "\" is not a file name (the STC file lies beside the FMR)");
    copy_text(h.Prefix, sizeof h.Prefix, prefix);
    const std::string amr = keys.text_or_empty(fmr_name(FmrField::kLoadAMRFile));
    if (amr.size() < sizeof h.LoadAMRFile) copy_text(h.LoadAMRFile, sizeof h.LoadAMRFile, amr);
    copy_text(h.FileName, sizeof h.FileName, fmr_path);

    read_position(keys, fmr_path, doc, notes);
    if (!std::isfinite(h.VoxelSizeZ) || !finite_position(doc.position))
        refuse(fmr_path, "its voxel sizes (" + float_text(h.InplaneResolutionX) + " x " +
                             float_text(h.InplaneResolutionY) + " x " + float_text(h.SliceThickness) + " mm, gap " +
                             float_text(h.SliceGap) + ") give the volume an extent that is not a finite number");
    doc.source_path = fmr_path;
    doc.source_data_path = stc_path_of(fmr_path, prefix);
    return doc;
}

Document read_fmr(const std::string& fmr_path, Notes& notes) {
    Document doc = read_fmr_header(fmr_path, notes);
    read_stc(doc, doc.source_data_path, notes);
    return doc;
}

namespace {

// The STC file opened for reading once its size matches the header.
FilePtr open_checked_stc(const Document& doc, const std::string& stc_path) {
    const FMR_Header& h = doc.fmr;
    // read_fmr checks this already; a header from elsewhere may not have been.
    if (h.DataType != 1 && h.DataType != 2)
        refuse(stc_path,
               "DataType " + std::to_string(h.DataType) + " is not supported (1: 16-bit integers, 2: 32-bit floats)");
    const size_t bytes = bytes_per_value(h.DataType);
    const size_t n = checked_volume_voxels(stc_path, h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.NrOfVolumes, bytes);
    const uint64_t nt = static_cast<uint64_t>(h.NrOfVolumes);
    const uint64_t expected = static_cast<uint64_t>(n) * nt * bytes;
    uint64_t size = 0;
    FilePtr f = open_regular(stc_path, "the STC file cannot be read: ", size);
    if (size != expected)
        refuse(stc_path, "the STC file has " + std::to_string(size) + " bytes, expected " + std::to_string(expected) +
                             " (" + std::to_string(h.ResolutionX) + " x " + std::to_string(h.ResolutionY) + " x " +
                             std::to_string(h.NrOfSlices) + " x " + std::to_string(h.NrOfVolumes) +
                             (h.DataType == 1 ? " 16-bit integers)" : " floats)"));
    return f;
}

}  // namespace

void check_stc_size(const Document& doc, const std::string& stc_path) { open_checked_stc(doc, stc_path); }

void read_stc(Document& doc, const std::string& stc_path, Notes& notes) {
    const FMR_Header& h = doc.fmr;
    const size_t bytes = bytes_per_value(h.DataType);
    const size_t n = checked_volume_voxels(stc_path, h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.NrOfVolumes, bytes);
    const uint64_t nt = static_cast<uint64_t>(h.NrOfVolumes);
    FilePtr f = open_checked_stc(doc, stc_path);
    doc.int_volumes.clear();
    doc.float_volumes.clear();
    uint64_t non_finite = 0;
    for (uint64_t v = 0; v < nt; ++v) {
        void* data = nullptr;
        if (h.DataType == 1) {
            doc.int_volumes.emplace_back(n);
            data = doc.int_volumes.back().data();
        } else {
            doc.float_volumes.emplace_back(n);
            data = doc.float_volumes.back().data();
        }
        if (std::fread(data, bytes, n, f.get()) != n)
            refuse(stc_path, "the STC file could not be read completely (volume " + std::to_string(v + 1) + ")");
        if (!kLittleEndian) {
            auto* b = static_cast<unsigned char*>(data);
            for (size_t i = 0; i < n; ++i) std::reverse(b + i * bytes, b + (i + 1) * bytes);
        }
        if (h.DataType == 2) non_finite += zero_non_finite(doc.float_volumes.back().data(), n);
    }
    if (non_finite != 0) notes.push_back(non_finite_note(stc_path, non_finite, static_cast<uint64_t>(n) * nt));
    doc.refresh_pointers();
}

std::string fmr_document_problem(const Document& doc) {
    const FMR_Header& h = doc.fmr;
    if (doc.type != kFmr) return "the document is not an FMR project";
    if (h.DataType != 1 && h.DataType != 2) return "DataType " + std::to_string(h.DataType) + " cannot be written";
    if (h.NrOfVolumes < 1 || h.ResolutionX < 1 || h.ResolutionY < 1 || h.NrOfSlices < 1)
        return "the header's dimensions are not all positive";
    const uint64_t n = static_cast<uint64_t>(h.ResolutionX) * static_cast<uint64_t>(h.ResolutionY) *
                       static_cast<uint64_t>(h.NrOfSlices);
    const size_t nt = static_cast<size_t>(h.NrOfVolumes);
    const size_t volumes = h.DataType == 1 ? doc.int_volumes.size() : doc.float_volumes.size();
    if (volumes != nt)
        return "the document holds " + std::to_string(volumes) + " volumes, its header says " + std::to_string(nt);
    for (size_t v = 0; v < nt; ++v) {
        const size_t have = h.DataType == 1 ? doc.int_volumes[v].size() : doc.float_volumes[v].size();
        if (have != n)
            return "volume " + std::to_string(v + 1) + " holds " + std::to_string(have) + " values, expected " +
                   std::to_string(n);
    }
    return {};
}

void write_stc(const Document& doc, AtomicFile& file) {
    const FMR_Header& h = doc.fmr;
    const size_t bytes = bytes_per_value(h.DataType);
    std::vector<unsigned char> swapped;
    const size_t nt = static_cast<size_t>(h.NrOfVolumes);
    for (size_t v = 0; v < nt; ++v) {
        const void* data = h.DataType == 1 ? static_cast<const void*>(doc.int_volumes[v].data())
                                           : static_cast<const void*>(doc.float_volumes[v].data());
        const size_t n = h.DataType == 1 ? doc.int_volumes[v].size() : doc.float_volumes[v].size();
        if (kLittleEndian) {
            file.write(data, n * bytes);
        } else {
            const auto* b = static_cast<const unsigned char*>(data);
            swapped.assign(b, b + n * bytes);
            for (size_t i = 0; i < n; ++i) std::reverse(swapped.begin() + i * bytes, swapped.begin() + (i + 1) * bytes);
            file.write(swapped.data(), swapped.size());
        }
    }
}

std::string fmr_text(const Document& doc, const std::string& fmr_path) {
    const FMR_Header& h = doc.fmr;
    FmrRecord r;
    r.header = &h;
    r.position = &doc.position;
    r.data_type = h.DataType;
    r.tr = h.TR;
    r.inter_slice_time = h.InterSliceTime;
    r.slice_gap = h.SliceGap;
    r.has_prefix = h.Prefix[0] != '\0';
    if (r.has_prefix) r.prefix = quoted_safe(file_name_of(without_extension(fmr_path)));
    if (h.LoadAMRFile[0] != '\0') r.amr = quoted_safe(h.LoadAMRFile);
    r.source = quoted_safe(!doc.source_path.empty() ? doc.source_path : std::string(h.FileName));
    // The host side's float format: the shortest text that reads back as the same float.
    return warpmender::fmr_text(r, float_text);
}

}  // namespace host
}  // namespace warpmender
