// PNG encoding into memory with libpng, and base64.
#include "formats/png_image.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <stdexcept>

namespace warpmender {
namespace host {
namespace {

static_assert(sizeof(Rgb) == 3, "rows are packed RGB");

// libpng reports errors by longjmp: nothing with a destructor may live in
// the frame that calls setjmp, hence plain C data here.
struct PngSink {
    std::vector<std::uint8_t>* bytes;
    char message[256];
};

void on_error(png_structp png, png_const_charp msg) {
    auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", msg);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_write(png_structp png, png_bytep data, png_size_t length) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    // push_back may throw; libpng cannot unwind, so the space is reserved up front (see encode).
    sink->bytes->insert(sink->bytes->end(), data, data + length);
}

void on_flush(png_structp) {}

bool encode(int w, int h, png_bytep* rows, PngSink* sink) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, on_error, on_warning);
    if (!png) {
        std::snprintf(sink->message, sizeof sink->message, "libpng could not start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(sink->message, sizeof sink->message, "libpng could not start");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, sink, on_write, on_flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::vector<std::uint8_t> encode_png(const Image& image) {
    if (image.width < 1 || image.height < 1 || image.width > 16384 || image.height > 16384 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height))
        throw std::runtime_error("cannot encode a PNG of " + std::to_string(image.width) + " x " +
                                 std::to_string(image.height) + " pixels from " + std::to_string(image.pixels.size()) +
                                 " values");
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
        rows[static_cast<std::size_t>(y)] = reinterpret_cast<png_bytep>(
            const_cast<Rgb*>(image.pixels.data() + static_cast<std::size_t>(y) * image.width));
    std::vector<std::uint8_t> bytes;
    // Deflate never grows data by more than a small fraction: with this much
    // room the sink's inserts do not reallocate inside libpng's frames.
    bytes.reserve(image.pixels.size() * 3 + image.pixels.size() / 300 + static_cast<std::size_t>(image.height) * 2 +
                  4096);
    PngSink sink{&bytes, {0}};
    if (!encode(image.width, image.height, rows.data(), &sink))
        throw std::runtime_error(std::string("cannot encode a PNG: ") + sink.message);
    return bytes;
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = unsigned{bytes[i]} << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string png_data_uri(const Image& image) { return "data:image/png;base64," + base64(encode_png(image)); }

}  // namespace host
}  // namespace warpmender
