// Reading and writing version-1 VMR files.
#include "formats/vmr_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/atomic_file.h"
#include "core/error.h"

namespace warpmender {
namespace host {

namespace {

constexpr uint64_t kVmrHeaderBytes = 6;

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw Error("cannot open \"" + path + "\": " + why);
}

}  // namespace

Document read_vmr(const std::string& path, Notes& notes) {
    (void)notes;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) refuse(path, std::strerror(errno));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size == 0) refuse(path, "the file is empty");
    unsigned char head[kVmrHeaderBytes];
    if (size < kVmrHeaderBytes || std::fread(head, 1, sizeof head, f.get()) != sizeof head)
        refuse(path, "the file has " + std::to_string(size) + " bytes, too few for the 6-byte VMR header");
    const int nx = head[0] | head[1] << 8;
    const int ny = head[2] | head[3] << 8;
    const int nz = head[4] | head[5] << 8;
    const size_t n = checked_volume_voxels(path, nx, ny, nz, 1, 1);
    const uint64_t expected = kVmrHeaderBytes + n;
    if (size != expected)
        refuse(path, "the file has " + std::to_string(size) + " bytes, expected " + std::to_string(expected) +
                         " for a version-1 VMR of " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
                         std::to_string(nz) + " voxels (6 header bytes, then one byte per voxel)");

    Document d = make_vmr_document(path, nx, ny, nz);  // 1 mm voxels, axis-aligned, centred
    if (std::fread(d.voxels.data(), 1, n, f.get()) != n) refuse(path, "the voxels could not be read completely");
    d.source_path = path;
    return d;
}

void write_vmr(const Document& doc, const std::string& path) {
    const VMR_Header& h = doc.vmr;
    if (doc.type != kVmr) throw Error("cannot write \"" + path + "\": the document is not a VMR");
    if (h.DimX < 1 || h.DimY < 1 || h.DimZ < 1 || h.DimX > 65535 || h.DimY > 65535 || h.DimZ > 65535)
        throw Error("cannot write \"" + path + "\": a version-1 VMR holds sizes 1 to 65535, the document has " +
                    std::to_string(h.DimX) + " x " + std::to_string(h.DimY) + " x " + std::to_string(h.DimZ));
    const uint64_t n = static_cast<uint64_t>(h.DimX) * static_cast<uint64_t>(h.DimY) * static_cast<uint64_t>(h.DimZ);
    if (doc.voxels.size() != n)
        throw Error("cannot write \"" + path + "\": the document holds " + std::to_string(doc.voxels.size()) +
                    " voxels, its header says " + std::to_string(n));
    const unsigned char head[kVmrHeaderBytes] = {
        static_cast<unsigned char>(h.DimX & 0xff), static_cast<unsigned char>(h.DimX >> 8),
        static_cast<unsigned char>(h.DimY & 0xff), static_cast<unsigned char>(h.DimY >> 8),
        static_cast<unsigned char>(h.DimZ & 0xff), static_cast<unsigned char>(h.DimZ >> 8)};
    AtomicFile file(path);
    file.write(head, sizeof head);
    file.write(doc.voxels.data(), doc.voxels.size());
    file.commit();
}

}  // namespace host
}  // namespace warpmender
