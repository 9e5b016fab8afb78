// Helpers of the host file tests: index-valued documents, raw files, listings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/host.h"

namespace warpmender {
namespace test {

// Unequal odd sizes catch transposed layouts.
constexpr int kNx = 23, kNy = 17, kNz = 11, kNt = 3;

inline size_t linear_index(int x, int y, int z, int t) {
    return static_cast<size_t>(x) +
           kNx * (static_cast<size_t>(y) + kNy * (static_cast<size_t>(z) + kNz * static_cast<size_t>(t)));
}

// A 23 x 17 x 11 x 3 FMR document whose voxels hold their own linear index
// (float: index / 4, so that fractions are carried too), with an oblique position.
inline host::Document index_fmr_document(const std::string& name, int data_type) {
    host::Document d = host::make_fmr_document(name, kNx, kNy, kNz, kNt, data_type, 1.0f);
    d.fmr.InplaneResolutionX = 3.5f;
    d.fmr.InplaneResolutionY = 2.25f;
    d.fmr.SliceThickness = 3.0f;
    d.fmr.SliceGap = 0.5f;
    d.fmr.VoxelSizeZ = 3.5f;
    d.fmr.TR = 2000;
    d.fmr.TE = 30;
    d.fmr.InterSliceTime = 181;
    d.fmr.VoxelResolutionVerified = 1;
    FMR_ScannerPosition_Header& p = d.position;
    p.PosInfosVerified = 1;
    p.CoordinateSystem = 1;
    p.Slice1CenterX = 1.2345678f;
    p.Slice1CenterY = -20.0f / 3.0f;
    p.Slice1CenterZ = -17.5f;
    p.SliceNCenterX = 1.2345678f;
    p.SliceNCenterY = -20.0f / 3.0f;
    p.SliceNCenterZ = 17.5f;
    p.RowDirX = 0.8f;
    p.RowDirY = 0.6f;
    p.RowDirZ = 0.0f;
    p.ColDirX = -0.6f;
    p.ColDirY = 0.8f;
    p.ColDirZ = 0.0f;
    p.NRows = kNy;
    p.NCols = kNx;
    p.FoVRows = kNy * 2.25f;
    p.FoVCols = kNx * 3.5f;
    p.SliceThickness = 3.0f;
    p.GapThickness = 0.5f;
    const size_t n = static_cast<size_t>(kNx) * kNy * kNz;
    for (size_t t = 0; t < static_cast<size_t>(kNt); ++t)
        for (size_t i = 0; i < n; ++i) {
            if (data_type == 1)
                d.int_volumes[t][i] = static_cast<uint16_t>(t * n + i);
            else
                d.float_volumes[t][i] = static_cast<float>(t * n + i) / 4.0f;
        }
    d.refresh_pointers();
    return d;
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
std::string bytes_of(const std::vector<T>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Every entry of dir (hidden temporary files included), sorted.
inline std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// FNV-1a over a file's bytes: enough to see that a file did not change.
inline uint64_t checksum(const std::string& path) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : read_file(path)) h = (h ^ c) * 1099511628211ull;
    return h;
}

}  // namespace test
}  // namespace warpmender
