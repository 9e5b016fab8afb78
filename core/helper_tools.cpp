// File-name and path utilities.
#include "core/helper_tools.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "hostlink/log_sink.h"

namespace warpmender {

helperTools help;

namespace {

struct Extension {
    int code;
    const char* text;
};

constexpr Extension kExtensions[] = {
    {1, "nii"},   {2, "hdr"},   {4, "img"},   {20, "vmr"},  {21, "fmr"},  {22, "amr"},  {23, "stc"},
    {24, "vtc"},  {25, "mtc"},  {26, "roi"},  {27, "voi"},  {28, "poi"},  {29, "dmr"},  {30, "dwi"},
    {101, "gz"},  {200, "map"}, {201, "vmp"}, {202, "smp"}, {203, "glm"}, {204, "ava"}, {205, "ica"},
    {206, "prt"}, {300, "srf"}, {301, "trf"}, {302, "pos"}, {303, "rtc"}, {400, "bmp"},
};

const char* extension_of(int code) {
    for (const Extension& e : kExtensions)
        if (e.code == code) return e.text;
    return "";
}

std::string text_of(const char* s) { return s ? std::string(s) : std::string(); }

char separator_of(const std::string& path) { return path.find('/') != std::string::npos ? '/' : '\\'; }

}  // namespace

int helperTools::getFileExtension(const char* name) const {
    const std::string n = text_of(name);
    if (n.size() < 3) return -1;
    const std::string last = n.substr(n.size() - 3);
    for (const Extension& e : kExtensions)
        if (last == e.text) return e.code;
    return -1;
}

std::string helperTools::getFileExtension(int code, bool pattern) const {
    return std::string(pattern ? "*." : ".") + extension_of(code);
}

std::string helperTools::removeExtension(const char* name) const {
    const std::string n = text_of(name);
    if (n.empty()) return "''";
    const size_t dot = n.rfind('.');
    return dot == std::string::npos ? std::string() : n.substr(0, dot);
}

std::string helperTools::exchangeExtension(const char* name, const char* ext) const {
    return removeExtension(name) + text_of(ext);
}

std::string helperTools::createFileName(const char* name, const char* suffix) const {
    return removeExtension(name) + text_of(suffix) + "." + extension_of(getFileExtension(name));
}

std::string helperTools::getbasename(const char* path, bool stripext, bool dash) const {
    const std::string p = text_of(path);
    if (p.empty()) return std::string();
    const char sep = separator_of(p);
    size_t start = 0;
    size_t dot = std::string::npos;
    for (size_t i = p.size() - 1; i >= 1; --i) {
        if (p[i] == sep) {
            start = i + 1;
            break;
        }
        if (p[i] == '.' && dot == std::string::npos) dot = i;
    }
    const size_t end = (stripext && dot != std::string::npos) ? dot : p.size();
    std::string base = p.substr(start, end - start);
    if (dash) base += "-";
    return base;
}

std::string helperTools::getfilepath(const char* path) const {
    const std::string p = text_of(path);
    const size_t pos = p.rfind(separator_of(p));
    return pos == std::string::npos ? std::string("-1") : p.substr(0, pos + 1);
}

std::string helperTools::createstcfilename(const char* stem, const char* dir, bool single, int number) const {
    std::string name = text_of(dir) + text_of(stem);
    if (!single) name += std::to_string(number);
    return name + ".stc";
}

std::string helperTools::openInstr(const char* what) const { return "Please select the " + text_of(what) + " file: "; }

const char* helperTools::getRepresentationDescription(int code) const {
    switch (code) {
        case 48: return "Rectangular/cartesian";
        case 49: return "Polar";
        default: return "Unknown";
    }
}

double helperTools::modulo(double a, double b) const {
    if (b == 0.0) b = 1e-12;
    return a - std::floor(a / b) * b;
}

int hsRound(double x) {
    if (x >= 0.0) return static_cast<int>(x + 0.5);
    const int k = static_cast<int>(x) - 1;
    return static_cast<int>((x - k) + 0.5) + k;
}

void helperTools::displayMatrix33(const float m[3][3], const char* title) const {
    char text[1024];
    std::snprintf(text, sizeof text, "%s: \n\t%f\t%f\t%f\n\t%f\t%f\t%f\n\t%f\t%f\t%f", title ? title : "",
                  double(m[0][0]), double(m[0][1]), double(m[0][2]), double(m[1][0]), double(m[1][1]), double(m[1][2]),
                  double(m[2][0]), double(m[2][1]), double(m[2][2]));
    log_prefixed(text);
}

}  // namespace warpmender
