// AMR previews: the first volume of a result rescaled to 0..255, one 256 x 256 BMP image per slice.
#include "io/amr_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "core/atomic_file.h"
#include "core/helper_tools.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"

namespace warpmender {

namespace {

constexpr long kFrame = 256;  // every slice image is kFrame x kFrame pixels
constexpr size_t kHeaderBytes = 54;
constexpr size_t kPaletteBytes = 1024;
constexpr size_t kPixelBytes = kFrame * kFrame;
constexpr uint32_t kSliceBytes = kHeaderBytes + kPaletteBytes + kPixelBytes;  // 66614

constexpr const char* kConvertError = "Error while converting AMR file";
constexpr const char* kWriteError = protocol::kAmrWriteFailed;

void log_line(const std::string& text) { hs::hsLogText(text.c_str()); }

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

// File and information header of one slice image, little-endian.
std::vector<uint8_t> bitmap_header() {
    std::vector<uint8_t> h(kHeaderBytes, 0);
    h[0] = 'B';
    h[1] = 'M';
    put32(&h[2], kSliceBytes);
    put16(&h[6], 0);
    put16(&h[8], 0);
    put32(&h[10], kHeaderBytes + kPaletteBytes);  // 1078, where the pixels start
    put32(&h[14], 40);
    put32(&h[18], kFrame);
    put32(&h[22], kFrame);
    put16(&h[26], 1);
    put16(&h[28], 8);
    put32(&h[30], 0);
    put32(&h[34], kPixelBytes);
    put32(&h[38], 2834);  // 72 dpi
    put32(&h[42], 2834);
    put32(&h[46], 256);
    put32(&h[50], 256);
    return h;
}

std::vector<uint8_t> grey_palette() {
    std::vector<uint8_t> p(kPaletteBytes, 0);
    for (size_t i = 0; i < 256; ++i) p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = static_cast<uint8_t>(i);
    return p;
}

// floor(v + 0.5), low 8 bits kept. NaN and values beyond 32 bits (an infinite
// input defeats the rescaling) give 0 instead of an undefined conversion.
uint8_t to_pixel(double v) {
    const double r = std::floor(v + 0.5);
    if (!(r > -2147483649.0 && r < 2147483648.0)) return 0;
    return static_cast<uint8_t>(static_cast<uint32_t>(static_cast<int32_t>(r)));
}

void copy_slice(const double* slice, uint8_t* pixels) {
    for (size_t i = 0; i < kPixelBytes; ++i) pixels[i] = to_pixel(slice[i]);
}

// An n x n slice, n dividing 256, enlarged by f = 256 / n. Horizontally each
// source pixel becomes f pixels ramping from the previous pixel's value
// towards its own (the previous value runs on across row ends and starts at
// 0); vertically each row is repeated f times after averaging it with its
// neighbours:
//   q = 100, 200, 0 ... with f = 4  ->  0 25 50 75  100 125 150 175  200 150 100 50 ...
void enlarge_slice(const double* slice, long n, uint8_t* pixels) {
    const long f = kFrame / n;
    std::vector<uint8_t> rows(static_cast<size_t>(n * kFrame));
    uint8_t* out = rows.data();
    int p = 0;
    for (long i = 0; i < n * n; ++i) {
        const int c = to_pixel(slice[i]);
        // f is a power of two, so step and every ramp value are exact in float.
        const float step = static_cast<float>(c - p) / static_cast<float>(f);
        for (long j = 0; j < f; ++j)
            *out++ = static_cast<uint8_t>(
                std::floor(static_cast<double>(static_cast<float>(j) * step + static_cast<float>(p)) + 0.5));
        p = c;
    }
    uint8_t blended[kFrame];
    for (long y = 0; y < n; ++y) {
        const uint8_t* row = rows.data() + y * kFrame;
        if (y == 0) {
            std::memcpy(blended, row, kFrame);
        } else if (y < n - 1) {
            for (long x = 0; x < kFrame; ++x)
                blended[x] = static_cast<uint8_t>((row[x - kFrame] + row[x] + row[x + kFrame]) / 3);
        } else {
            for (long x = 0; x < kFrame; ++x) blended[x] = static_cast<uint8_t>((row[x] + row[x - kFrame]) / 2);
        }
        for (long r = 0; r < f; ++r) std::memcpy(pixels + (y * f + r) * kFrame, blended, kFrame);
    }
}

// Slices that cannot be enlarged (not square, or a width that does not divide
// 256) are placed unscaled in the middle of the frame, offsets (256 - nx) / 2
// columns and (256 - ny) / 2 rows; the pixels around them stay 0.
void centre_slice(const double* slice, long nx, long ny, uint8_t* pixels) {
    const long ox = (kFrame - nx) / 2, oy = (kFrame - ny) / 2;
    for (long y = 0; y < ny; ++y) {
        uint8_t* dst = pixels + (y + oy) * kFrame + ox;
        const double* src = slice + y * nx;
        for (long x = 0; x < nx; ++x) dst[x] = to_pixel(src[x]);
    }
}

bool well_formed(const amrStruct& amr) {
    if (amr.slices.size() != amr.nrofslices) return false;
    for (const amrslice& s : amr.slices)
        if (s.header.size() != kHeaderBytes || s.palette.size() != kPaletteBytes || s.pixels.size() != kPixelBytes)
            return false;
    return true;
}

}  // namespace

amrStruct* datahandler2amr(datahandler<double>* dh, bool firstvolasanat, bool usesuffix, const char* suffix) {
    if (dh == nullptr || !dh->hasdata() || dh->getnt() < 1) {
        log_line(kConvertError);
        return nullptr;
    }
    const long nx = dh->getnx(), ny = dh->getny(), nz = dh->getnz();
    if (nx > kFrame || ny > kFrame) {
        for (long z = 0; z < nz; ++z) log_line("Save to AMR not available for image matrix larger than 256.");
        return nullptr;
    }
    if (nz > 65535) {
        log_line("Save to AMR not available for more than 65535 slices.");
        return nullptr;
    }
    try {
        datahandler<double> work;
        dh->copyheader(&work);
        work.setnt(1);
        work.setdata(new double[static_cast<size_t>(work.getnrofelems())]);
        dh->getvol(0, work.getdata());
        datahandler<double>::scaleintensities_nijdam(work.getdata(), work.getnrofelems(), 0.0, 255.0);

        auto amr = std::make_unique<amrStruct>();
        amr->name = usesuffix ? help.createFileName(work.getname(), suffix) : std::string(work.getname());
        amr->nrofslices = static_cast<uint16_t>(nz);
        amr->firstvolasanat = firstvolasanat;
        amr->slices.resize(static_cast<size_t>(nz));
        const std::vector<uint8_t> header = bitmap_header();
        const std::vector<uint8_t> palette = grey_palette();
        const bool enlarge = nx == ny && nx > 0 && kFrame % nx == 0 && nx != kFrame;
        for (long z = 0; z < nz; ++z) {
            amrslice& s = amr->slices[static_cast<size_t>(z)];
            s.header = header;
            s.palette = palette;
            s.pixels.assign(kPixelBytes, 0);
            const double* slice = work.getdata() + z * nx * ny;
            if (nx == kFrame && ny == kFrame)
                copy_slice(slice, s.pixels.data());
            else if (enlarge)
                enlarge_slice(slice, nx, s.pixels.data());
            else
                centre_slice(slice, nx, ny, s.pixels.data());
        }
        return amr.release();
    } catch (const std::exception&) {
        log_line(kConvertError);
        return nullptr;
    }
}

bool writeamr(amrStruct* amr) {
    if (amr == nullptr || !well_formed(*amr)) {
        log_line(kWriteError);
        return false;
    }
    // "dir/a.fmr" -> "dir/a.amr";  with firstvolasanat -> "dir/a_firstvol_as_anat.amr"
    const std::string plain = help.exchangeExtension(amr->name.c_str(), ".amr");
    const std::string file = amr->firstvolasanat ? help.createFileName(plain.c_str(), "_firstvol_as_anat") : plain;
    AtomicFile out;
    uint8_t count[2];
    put16(count, amr->nrofslices);
    bool ok = out.open(file) && out.write(count, sizeof count);
    for (const amrslice& s : amr->slices) {
        if (!ok) break;
        ok = out.write(s.header.data(), kHeaderBytes) && out.write(s.palette.data(), kPaletteBytes) &&
             out.write(s.pixels.data(), kPixelBytes);
    }
    if (ok && out.commit()) return true;
    log_line(kWriteError);
    log_line(out.error());
    return false;
}

bool save2amr(datahandler<double>* dh, const char* suffix) {
    std::unique_ptr<amrStruct> amr(datahandler2amr(dh, false, true, suffix));
    return amr != nullptr && writeamr(amr.get());
}

bool save2amr(datahandler<double>* dh) {
    std::unique_ptr<amrStruct> amr(datahandler2amr(dh, false, false, ""));
    return amr != nullptr && writeamr(amr.get());
}

bool save2amr(datahandler<float>* dh, bool usesuffix, const char* suffix) {
    log_line("Saving AMR file...");
    if (dh == nullptr || !dh->hasdata()) {
        log_line(kConvertError);
        return false;
    }
    double* values = new (std::nothrow) double[static_cast<size_t>(dh->getnrofelems())];
    if (values == nullptr) {
        log_line(kConvertError);
        return false;
    }
    const float* src = dh->getdata();
    for (long i = 0; i < dh->getnrofelems(); ++i) values[i] = static_cast<double>(src[i]);
    datahandler<double> d(values, dh->getnx(), dh->getny(), dh->getnz(), dh->getnt(), 8);
    d.setname(dh->getname());
    return usesuffix ? save2amr(&d, suffix) : save2amr(&d);
}

}  // namespace warpmender
