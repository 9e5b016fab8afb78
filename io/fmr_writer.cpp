// Saving results as FMR/STC projects: through the host's current document, or as FMR text and STC directly.
#include "io/fmr_writer.h"

#include <cstring>
#include <locale>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "core/atomic_file.h"
#include "core/fmr_keys.h"
#include "core/fresh_memory.h"
#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"

namespace warpmender {

namespace {

// 16-bit projects hold results up to this value unscaled (compared in float).
constexpr float kRescaleBound = 16384.0f;
// hsSaveFMRAndSTC receives the path in a buffer of this size.
constexpr size_t kSavePathSize = 304;

constexpr const char* kNoFmr = "No FMR available in current workspace";
constexpr const char* kIntError = protocol::kFmrIntWriteFailed;
constexpr const char* kFloatError = protocol::kFmrFloatWriteFailed;
constexpr const char* kCannotCreate = "Unable to create new file, please consult the manual.";

void log_line(const std::string& text) { hs::hsLogText(text.c_str()); }

// Truncation toward zero through a 32-bit integer, low 16 bits kept:
// -1.7 -> 65535, 2.9 -> 2, 70000.0 -> 4464. NaN and values outside the 32-bit
// range give 0, the low half of the x86 conversion's 0x80000000 (the cast
// itself would be undefined).
uint16_t stored_uint16(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
    return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(v)));
}

std::string dims_text(long nx, long ny, long nz, long nt) {
    return std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) + " x " + std::to_string(nt);
}

// The result is written into the current document's own buffers, one per
// volume: it must have the document's grid and at most its volume count.
bool fits_document(const datahandler<double>& dh, const FMR_Header& h) {
    if (dh.getnx() == h.ResolutionX && dh.getny() == h.ResolutionY && dh.getnz() == h.NrOfSlices &&
        dh.getnt() <= h.NrOfVolumes)
        return true;
    log_line("The result (" + dims_text(dh.getnx(), dh.getny(), dh.getnz(), dh.getnt()) +
             ") does not fit the current FMR document (" +
             dims_text(h.ResolutionX, h.ResolutionY, h.NrOfSlices, h.NrOfVolumes) + "); nothing was saved.");
    return false;
}

// Value k of src goes to element k mod n of volume k div n.
template <typename E, typename Convert>
bool fill_volumes(E* const* volumes, const double* src, long nvox, long nt, Convert convert) {
    if (volumes == nullptr) return false;
    for (long v = 0; v < nt; ++v)
        if (volumes[v] == nullptr) return false;
    // A whole series is a pass over a gigabyte or so: the volumes in parts, one per core.
    const double bytes = static_cast<double>(nvox) * static_cast<double>(nt) * (sizeof(double) + sizeof(E));
    run_in_parts(nt, memory_parts_for(bytes), [&](int, long first, long last) {
        for (long v = first; v < last; ++v) {
            E* dst = volumes[v];
            const double* s = src + v * nvox;
            for (long i = 0; i < nvox; ++i) dst[i] = convert(s[i]);
        }
    });
    return true;
}

// The plug-in's float format for the FMR text: a text stream's default (6
// significant digits, as "%g") in the C locale whatever the host has set:
// 1.5 -> "1.5", 2 -> "2".
std::string stream_float_text(float v) {
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << v;
    return os.str();
}

// TR and InterSliceTime: converted to float, plus 0.5, truncated; in 64 bits
// so that no header value can overflow the conversion.
long long rounded_time(int32_t v) { return static_cast<long long>(static_cast<double>(static_cast<float>(v)) + 0.5); }

std::string fmr_text(const FMR_Header& h, const FMR_ScannerPosition_Header& s, const char* path, const char* source) {
    FmrRecord r;
    r.header = &h;
    r.position = &s;
    r.data_type = 2;
    r.tr = rounded_time(h.TR);
    r.inter_slice_time = rounded_time(h.InterSliceTime);
    r.slice_gap = 0.0f;
    r.has_prefix = h.Prefix[0] != '\0';
    if (r.has_prefix) r.prefix = help.getbasename(path, true, false);
    r.source = source;
    return fmr_text(r, stream_float_text);
}

// The direct writer's STC: t fastest, then z, then y, x slowest; element
// (x, y, z, t) at float ((x*ny + y)*nz + z)*nt + t. Written one (x, y)
// column of nz*nt values at a time.
bool write_stc(const datahandler<double>& dh, const std::string& path, std::string& why) {
    AtomicFile out;
    if (!out.open(path)) {
        why = out.error();
        return false;
    }
    const long nx = dh.getnx(), ny = dh.getny(), nz = dh.getnz(), nt = dh.getnt();
    const long plane = nx * ny, volume = plane * nz;
    const double* data = dh.getdata();
    std::vector<float> column;
    try {
        column.resize(static_cast<size_t>(nz * nt));
    } catch (const std::exception&) {
        why = "not enough memory for a column of " + std::to_string(nz * nt) + " values";
        return false;
    }
    bool ok = true;
    for (long x = 0; x < nx && ok; ++x) {
        for (long y = 0; y < ny && ok; ++y) {
            const double* base = data + x + nx * y;
            float* o = column.data();
            for (long z = 0; z < nz; ++z)
                for (long t = 0; t < nt; ++t) *o++ = static_cast<float>(base[plane * z + volume * t]);
            ok = out.write(column.data(), column.size() * sizeof(float));
        }
    }
    if (ok && out.commit()) return true;
    why = out.error();
    return false;
}

bool path_given(const char* path) {
    if (path != nullptr && path[0] != '\0') return true;
    log_line(std::string(protocol::kCannotSave) + ": no file name was given.");
    return false;
}

}  // namespace

bool saveashs2fmr(datahandler<double>* dh, const char* path, bool ownwriter, bool withamr) {
    FMR_Header header{};
    if (hs::hsGetHeaderOfCurrentFMR(&header) <= 0) {
        hs::hsMessageBox(kNoFmr);
        return false;
    }
    if (!path_given(path)) return false;
    if (dh == nullptr || !dh->hasdata()) {
        log_line(std::string(protocol::kCannotSave) + " \"" + path + "\": the result holds no data.");
        return false;
    }
    const int type = header.DataType;
    const bool through_host = type == 1 || (type == 2 && !ownwriter);
    // Checked before anything in the document changes: a refused save leaves
    // its header and buffers as they were.
    if (through_host && std::strlen(path) >= kSavePathSize) {
        log_line(std::string(protocol::kCannotSave) + " \"" + path + "\": the path has " +
                 std::to_string(std::strlen(path)) + " characters, at most " + std::to_string(kSavePathSize - 1) +
                 " fit.");
        return false;
    }
    const std::string amr = withamr ? help.exchangeExtension(path, ".amr") : std::string();
    if (amr.size() >= sizeof header.LoadAMRFile) {
        log_line(std::string(protocol::kCannotSave) + " \"" + std::string(path) + "\": the AMR name \"" + amr +
                 "\" has " + std::to_string(amr.size()) + " characters, at most " +
                 std::to_string(sizeof header.LoadAMRFile - 1) + " fit the project header.");
        return false;
    }
    if (through_host && !fits_document(*dh, header)) {
        log_line(type == 1 ? kIntError : kFloatError);
        return false;
    }

    std::vector<double> rescaled;
    if (type == 1 && dh->getmax() > kRescaleBound) {
        log_line("Rescaling between 0 and 16384...");
        try {
            rescaled.resize(static_cast<size_t>(dh->getnrofelems()));
        } catch (const std::exception&) {
            log_line(kIntError);
            return false;
        }
        dh->scaleintensities_nijdam2(rescaled.data(), 0.0, 16384.0);
    }

    std::memset(header.LoadAMRFile, 0, sizeof header.LoadAMRFile);
    std::memcpy(header.LoadAMRFile, amr.c_str(), amr.size());
    hs::hsSetHeaderOfCurrentFMR(&header);

    char buffer[kSavePathSize] = {0};
    if (type == 1) {
        const double* src = rescaled.empty() ? dh->getdata() : rescaled.data();
        if (!fill_volumes(hs::hsGetSTCIntDataOfCurrentFMR(), src, dh->getvoxelspervolume(), dh->getnt(),
                          stored_uint16)) {
            log_line(kIntError);
            return false;
        }
        std::memcpy(buffer, path, std::strlen(path));
        const std::string second = help.removeExtension(buffer);
        const int saved = hs::hsSaveFMRAndSTC(buffer, second.c_str());
        hs::hsUpdateActiveWindow();
        return saved > 0;
    }
    if (type == 2 && ownwriter) return writehs2fmr(dh, path);
    if (type == 2) {
        if (!fill_volumes(hs::hsGetSTCFloatDataOfCurrentFMR(), dh->getdata(), dh->getvoxelspervolume(), dh->getnt(),
                          [](double v) { return static_cast<float>(v); })) {
            log_line(kFloatError);
            return false;
        }
        std::memcpy(buffer, path, std::strlen(path));
        const std::string second = help.getbasename(path, true, false);
        const int saved = hs::hsSaveFMRAndSTC(buffer, second.c_str());
        hs::hsUpdateActiveWindow();
        return saved > 0;
    }
    log_line("Datatype not recognized. New data could not be saved in FMR.");
    return false;
}

bool saveashs2fmr(datahandler<double>* dh, const char* path, bool) { return saveashs2fmr(dh, path, false, false); }

bool saveashs2fmr(datahandler<double>* dh, const char* path) { return saveashs2fmr(dh, path, false, false); }

bool writehs2fmr(datahandler<double>* dh, const char* path) {
    FMR_Header header{};
    if (hs::hsGetHeaderOfCurrentFMR(&header) < 1) {
        hs::hsMessageBox(kNoFmr);
        return false;
    }
    if (!path_given(path)) return false;
    if (dh == nullptr || !dh->hasdata()) {
        log_line(std::string(protocol::kCannotSave) + " \"" + path + "\": the result holds no data.");
        return false;
    }
    header.Prefix[sizeof header.Prefix - 1] = '\0';
    FMR_ScannerPosition_Header scanner{};
    hs::hsGetScannerPositionHeaderOfCurrentFMR(&scanner);

    bool ok = true;
    log_line("Write FMR header...");
    {
        AtomicFile text;
        if (!text.open(path) || !text.write(fmr_text(header, scanner, path, dh->getname())) || !text.commit()) {
            hs::hsMessageBox(kCannotCreate);
            log_line(text.error());
            ok = false;
        }
    }
    log_line("Write FMR data...");
    if (header.DataType == 2) {
        std::string why;
        if (!write_stc(*dh, help.exchangeExtension(path, ".stc"), why)) {
            log_line(kFloatError);
            log_line(why);
            ok = false;
        }
    }
    return ok;
}

}  // namespace warpmender
