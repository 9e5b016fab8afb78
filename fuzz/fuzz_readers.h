// What each fuzz target does with one input, shared by the targets and the regression tests that replay findings.
// Refusals (warpmender::Error) are the expected answer; anything else escaping, a crash, a sanitizer report or a
// broken invariant (__builtin_trap) is a finding.
#pragma once

#include <nifti1_io.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/session.h"
#include "core/error.h"
#include "formats/file_checks.h"
#include "formats/fmr_file.h"
#include "formats/nifti_document.h"
#include "formats/sidecar.h"
#include "formats/vmr_file.h"
#include "fuzz/fuzz_support.h"

namespace warpmender {
namespace fuzz {

// The FMR header target reads every header beside a fixed STC: a.stc, or fuzz.stc for "Prefix: "fuzz"".
inline void prepare_fmr_header() {
    static bool done = false;
    if (done) return;
    std::vector<unsigned char> stc(kFixedStcBytes);
    for (size_t i = 0; i < stc.size(); ++i) stc[i] = static_cast<unsigned char>(i * 37);
    write_bytes(scratch() + "/a.stc", stc.data(), stc.size());
    write_bytes(scratch() + "/fuzz.stc", stc.data(), stc.size());
    done = true;
}

inline void fmr_header(const uint8_t* data, size_t size) {
    prepare_fmr_header();
    const std::string path = write_input("a.fmr", data, size);
    host::Notes notes;
    try {
        const host::Document doc = host::read_fmr(path, notes);
        // What was read must be writable again as it stands.
        if (!host::fmr_document_problem(doc).empty() || !host::finite_position(doc.position)) __builtin_trap();
        (void)host::fmr_text(doc, path);
    } catch (const Error&) {
    }
}

// Input: 4 x int32 sizes (x, y, z, volumes), one data-type byte, then the STC bytes.
inline void stc_sizes(const uint8_t* data, size_t size) {
    constexpr size_t kPrefix = 4 * sizeof(int32_t) + 1;
    if (size < kPrefix) return;
    int32_t dims[4];
    std::memcpy(dims, data, sizeof dims);
    host::Document doc;
    doc.fmr.ResolutionX = dims[0];
    doc.fmr.ResolutionY = dims[1];
    doc.fmr.NrOfSlices = dims[2];
    doc.fmr.NrOfVolumes = dims[3];
    doc.fmr.DataType = data[16] % 4;  // 1 and 2 are the real types; 0 and 3 must be refused
    const std::string path = write_input("a.stc", data + kPrefix, size - kPrefix);
    host::Notes notes;
    try {
        host::read_stc(doc, path, notes);
        if (!host::fmr_document_problem(doc).empty()) __builtin_trap();
    } catch (const Error&) {
    }
}

inline void vmr(const uint8_t* data, size_t size) {
    const std::string path = write_input("a.vmr", data, size);
    host::Notes notes;
    try {
        const host::Document doc = host::read_vmr(path, notes);
        const uint64_t n = static_cast<uint64_t>(doc.vmr.DimX) * doc.vmr.DimY * doc.vmr.DimZ;
        if (doc.voxels.size() != n) __builtin_trap();
    } catch (const Error&) {
    }
}

// Opens a NIfTI file as a functional series and as anatomy; the document must agree with its header.
inline void open_nifti_both_ways(const std::string& path) {
    nifti_set_debug_level(0);  // nifticlib's own complaints would drown the fuzzer's output
    for (const bool as_anatomy : {false, true}) {
        host::Notes notes;
        try {
            const host::Document d = host::read_nifti(path, as_anatomy, notes);
            if (!host::finite_position(d.position)) __builtin_trap();
            if (as_anatomy) {
                const uint64_t n = static_cast<uint64_t>(d.vmr.DimX) * d.vmr.DimY * d.vmr.DimZ;
                if (d.type != host::kVmr || d.voxels.size() != n) __builtin_trap();
            } else {
                const uint64_t n = static_cast<uint64_t>(d.fmr.ResolutionX) * d.fmr.ResolutionY * d.fmr.NrOfSlices;
                if (d.type != host::kFmr || d.float_volumes.size() != static_cast<size_t>(d.fmr.NrOfVolumes))
                    __builtin_trap();
                for (const auto& v : d.float_volumes) {
                    if (v.size() != n) __builtin_trap();
                    for (float x : v)
                        if (!std::isfinite(x)) __builtin_trap();
                }
            }
        } catch (const Error&) {
        }
    }
}

inline void nifti(const uint8_t* data, size_t size) { open_nifti_both_ways(write_input("a.nii", data, size)); }

// Inputs that start with the gzip magic are written as they are (damaged streams); all others are
// compressed first, so that the fuzzer works on the image inside.
inline void nifti_gz(const uint8_t* data, size_t size) {
    const std::string path = scratch() + "/a.nii.gz";
    if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
        write_bytes(path, data, size);
    } else {
        gzFile gz = gzopen(path.c_str(), "wb1");
        if (gz == nullptr) __builtin_trap();
        if (size != 0 && gzwrite(gz, data, static_cast<unsigned>(size)) != static_cast<int>(size)) __builtin_trap();
        if (gzclose(gz) != Z_OK) __builtin_trap();
    }
    open_nifti_both_ways(path);
}

inline void session(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const host::Session s = host::parse_session_text(text, "fuzz-session.json", "/base");
        int v[3];
        host::parse_version(s.host_version, v);  // accepted once, it must parse again
        for (const host::SessionCall& c : s.calls)
            for (const auto& p : c.parameters)
                if (const float* f = std::get_if<float>(&p.second); f != nullptr && !std::isfinite(*f))
                    __builtin_trap();
    } catch (const Error&) {
    }
}

inline void sidecar(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const host::Sidecar s = host::parse_sidecar(text, "fuzz.json");
        for (const auto& t : {s.echo_time1, s.echo_time2, s.effective_echo_spacing, s.total_readout_time})
            if (t && !(std::isfinite(*t) && *t >= 0.0)) __builtin_trap();
        if (s.phase_encoding_direction && host::direction_code(*s.phase_encoding_direction) == 0) __builtin_trap();
    } catch (const Error&) {
    }
}

}  // namespace fuzz
}  // namespace warpmender
