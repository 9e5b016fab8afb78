// Turning NIfTI-1 images into host documents, and writing documents back as NIfTI-1.
#include "formats/nifti_document.h"

#include <fcntl.h>
#include <nifti1_io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/atomic_file.h"
#include "core/error.h"
#include "core/fresh_memory.h"

namespace warpmender {
namespace host {

namespace {

constexpr int kNifti1HeaderBytes = 348;
// What znzread answers when gzread fails (a damaged stream): -1 as size_t, so
// that it compares as more than was asked for.
constexpr size_t kZnzReadError = static_cast<size_t>(-1);
// The largest ratio of uncompressed to compressed bytes that deflate can reach.
constexpr uint64_t kMostDeflateExpansion = 1032;

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw Error("cannot open \"" + path + "\": " + why);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "a/b.nii.gz" -> "a/b";  "a/b.nii" -> "a/b"
std::string strip_nifti_extension(const std::string& path) {
    if (ends_with(path, ".nii.gz")) return path.substr(0, path.size() - 7);
    if (ends_with(path, ".nii")) return path.substr(0, path.size() - 4);
    return path;
}

struct NiftiFree {
    void operator()(nifti_image* nim) const { nifti_image_free(nim); }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiFree>;

struct ZnzClose {
    void operator()(znzptr* f) const {
        znzFile file = f;
        znzclose(file);
    }
};
using ZnzPtr = std::unique_ptr<znzptr, ZnzClose>;

uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

// Checks the fixed part of the header ourselves, so that the common faults get
// a message of their own rather than nifticlib's generic refusal.
void check_header_bytes(const std::string& path, bool gz) {
    ZnzPtr f(znzopen(path.c_str(), "rb", gz ? 1 : 0));
    if (!f) refuse(path, std::strerror(errno ? errno : EIO));
    unsigned char h[kNifti1HeaderBytes];
    const size_t got = znzread(h, 1, sizeof h, f.get());
    if (got == kZnzReadError) refuse(path, "its compressed data are damaged (within the first 348 bytes)");
    if (got < sizeof h)
        refuse(path, "the file holds " + std::to_string(got) + " header bytes, too few for a NIfTI-1 header (348)");
    uint32_t sizeof_hdr = 0;
    std::memcpy(&sizeof_hdr, h, 4);
    if (sizeof_hdr == 540 || swap32(sizeof_hdr) == 540) refuse(path, "this is a NIfTI-2 image; only NIfTI-1 is read");
    if (sizeof_hdr != 348 && swap32(sizeof_hdr) != 348)
        refuse(path, "this is not a NIfTI-1 image (its header size field is " + std::to_string(sizeof_hdr) +
                         ", expected 348)");
    if (std::memcmp(h + 344, "n+1\0", 4) != 0)
        refuse(path, "this is not a single-file NIfTI-1 image (the magic \"n+1\" is missing)");
    const bool swapped = sizeof_hdr != 348;
    int16_t dim[8];
    std::memcpy(dim, h + 40, sizeof dim);
    if (swapped)
        for (int16_t& d : dim) d = static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(d)));
    if (dim[0] < 1 || dim[0] > 7)
        refuse(path, "its dim[0] is " + std::to_string(dim[0]) + "; a NIfTI-1 image has 1 to 7 dimensions");
    for (int i = 1; i <= dim[0]; ++i)
        if (dim[i] < 1)
            refuse(path, "dimension " + std::to_string(i) + " has size " + std::to_string(dim[i]) +
                             "; every dimension must be at least 1");
}

// A double as float; beyond the float range +-infinity (a plain cast would be
// undefined there), which the reader then refuses as a position.
float narrowed(double v) {
    if (v > static_cast<double>(FLT_MAX)) return std::numeric_limits<float>::infinity();
    if (v < -static_cast<double>(FLT_MAX)) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

struct Affine {
    double m[4][4];
};

const char* datatype_name(int datatype) { return nifti_datatype_to_string(datatype); }

// Converts one volume of raw values to float, with scaling; counts non-finite results.
template <typename T>
uint64_t convert(const void* raw, float* out, size_t n, bool scale, double slope, double inter) {
    const T* in = static_cast<const T*>(raw);
    uint64_t bad = 0;
    for (size_t i = 0; i < n; ++i) {
        double v = static_cast<double>(in[i]);
        if (scale) v = v * slope + inter;
        // Out-of-range values would not convert to float: they count as infinite.
        if (!std::isfinite(v) || std::fabs(v) > static_cast<double>(FLT_MAX)) {
            out[i] = 0.0f;
            ++bad;
        } else {
            out[i] = static_cast<float>(v);
        }
    }
    return bad;
}

uint64_t convert_any(int datatype, const void* raw, float* out, size_t n, bool scale, double slope, double inter) {
    switch (datatype) {
        case NIFTI_TYPE_UINT8: return convert<uint8_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_INT8: return convert<int8_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_INT16: return convert<int16_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_UINT16: return convert<uint16_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_INT32: return convert<int32_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_UINT32: return convert<uint32_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_INT64: return convert<int64_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_UINT64: return convert<uint64_t>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_FLOAT32: return convert<float>(raw, out, n, scale, slope, inter);
        case NIFTI_TYPE_FLOAT64: return convert<double>(raw, out, n, scale, slope, inter);
        default: return 0;
    }
}

bool is_supported(int datatype) {
    switch (datatype) {
        case NIFTI_TYPE_UINT8:
        case NIFTI_TYPE_INT8:
        case NIFTI_TYPE_INT16:
        case NIFTI_TYPE_UINT16:
        case NIFTI_TYPE_INT32:
        case NIFTI_TYPE_UINT32:
        case NIFTI_TYPE_INT64:
        case NIFTI_TYPE_UINT64:
        case NIFTI_TYPE_FLOAT32:
        case NIFTI_TYPE_FLOAT64: return true;
        default: return false;
    }
}

// Millimetres per unit of the header's spatial coordinates.
double millimetres_per_unit(int xyz_units) {
    switch (xyz_units) {
        case NIFTI_UNITS_METER: return 1000.0;
        case NIFTI_UNITS_MICRON: return 0.001;
        default: return 1.0;  // mm, or unknown (taken as mm)
    }
}

double milliseconds_per_unit(int time_units) {
    switch (time_units) {
        case NIFTI_UNITS_MSEC: return 1.0;
        case NIFTI_UNITS_USEC: return 0.001;
        default: return 1000.0;  // seconds, or unknown (taken as seconds)
    }
}

void copy_name(char* out, size_t capacity, const std::string& text) {
    std::memset(out, 0, capacity);
    std::memcpy(out, text.data(), std::min(text.size(), capacity - 1));
}

char* c_copy(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));  // nifti_image_free releases it with free()
    if (p == nullptr) throw Error("out of memory");
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// vox_offset and the scaling pair, from the header's own bytes: nifticlib
// quietly reads a vox_offset below 352 from byte 352, and a NaN scl_inter
// would make it skip a scl_slope the writer meant.
void check_offset_and_scaling(const std::string& path, bool gz) {
    ZnzPtr f(znzopen(path.c_str(), "rb", gz ? 1 : 0));
    if (!f) refuse(path, std::strerror(errno ? errno : EIO));
    unsigned char h[kNifti1HeaderBytes];
    if (znzread(h, 1, sizeof h, f.get()) != sizeof h) refuse(path, "its header cannot be read again");
    uint32_t sizeof_hdr = 0;
    std::memcpy(&sizeof_hdr, h, 4);
    // nifticlib zeroes a non-finite scaling pair on reading: the header's own bytes tell.
    auto field = [&](size_t at) {
        uint32_t raw = 0;
        std::memcpy(&raw, h + at, 4);
        if (sizeof_hdr != 348) raw = swap32(raw);
        float v = 0.0f;
        std::memcpy(&v, &raw, 4);
        return v;
    };
    const float vox_offset = field(108), scl_slope = field(112), scl_inter = field(116);
    if (!std::isfinite(vox_offset) || vox_offset < 352.0f || vox_offset != std::floor(vox_offset) ||
        vox_offset > 2147483647.0f)
        refuse(path, "its vox_offset " + std::to_string(vox_offset) +
                         " is impossible: the voxels of a single-file NIfTI-1 image begin at a whole byte offset "
                         "of at least 352, after the header");
    if (scl_slope != 0.0f && (!std::isfinite(scl_slope) || !std::isfinite(scl_inter)))
        refuse(path, "its scaling is not usable: scl_slope " + std::to_string(scl_slope) + " with scl_inter " +
                         std::to_string(scl_inter) +
                         " (both must be finite numbers, or scl_slope 0 for unscaled values)");
}

}  // namespace

bool is_nifti_path(const std::string& path) { return ends_with(path, ".nii") || ends_with(path, ".nii.gz"); }

void position_of_affine(const float affine[4][4], int nx, int ny, int nz, FMR_ScannerPosition_Header& pos) {
    double length[3];
    for (int c = 0; c < 3; ++c)
        length[c] = std::sqrt(static_cast<double>(affine[0][c]) * affine[0][c] +
                              static_cast<double>(affine[1][c]) * affine[1][c] +
                              static_cast<double>(affine[2][c]) * affine[2][c]);
    auto world = [&](double i, double j, double k, int r) {
        return affine[r][0] * i + affine[r][1] * j + affine[r][2] * k + static_cast<double>(affine[r][3]);
    };
    const double ci = 0.5 * (nx - 1), cj = 0.5 * (ny - 1);
    pos = FMR_ScannerPosition_Header{};
    pos.PosInfosVerified = 1;
    pos.Slice1CenterX = narrowed(world(ci, cj, 0, 0));
    pos.Slice1CenterY = narrowed(world(ci, cj, 0, 1));
    pos.Slice1CenterZ = narrowed(world(ci, cj, 0, 2));
    pos.SliceNCenterX = narrowed(world(ci, cj, nz - 1, 0));
    pos.SliceNCenterY = narrowed(world(ci, cj, nz - 1, 1));
    pos.SliceNCenterZ = narrowed(world(ci, cj, nz - 1, 2));
    pos.RowDirX = narrowed(affine[0][0] / length[0]);
    pos.RowDirY = narrowed(affine[1][0] / length[0]);
    pos.RowDirZ = narrowed(affine[2][0] / length[0]);
    pos.ColDirX = narrowed(affine[0][1] / length[1]);
    pos.ColDirY = narrowed(affine[1][1] / length[1]);
    pos.ColDirZ = narrowed(affine[2][1] / length[1]);
    pos.NRows = ny;
    pos.NCols = nx;
    pos.FoVRows = narrowed(ny * length[1]);
    pos.FoVCols = narrowed(nx * length[0]);
    pos.SliceThickness = narrowed(length[2]);
    pos.GapThickness = 0.0f;
}

void affine_of_position(const FMR_ScannerPosition_Header& p, int nx, int ny, int nz, float dx, float dy, float dz,
                        float affine[4][4]) {
    const double r[3] = {p.RowDirX, p.RowDirY, p.RowDirZ};
    const double c[3] = {p.ColDirX, p.ColDirY, p.ColDirZ};
    const double c1[3] = {p.Slice1CenterX, p.Slice1CenterY, p.Slice1CenterZ};
    const double cn[3] = {p.SliceNCenterX, p.SliceNCenterY, p.SliceNCenterZ};
    double k[3];
    if (nz > 1) {
        for (int i = 0; i < 3; ++i) k[i] = (cn[i] - c1[i]) / (nz - 1);
    } else {
        k[0] = (r[1] * c[2] - r[2] * c[1]) * dz;
        k[1] = (r[2] * c[0] - r[0] * c[2]) * dz;
        k[2] = (r[0] * c[1] - r[1] * c[0]) * dz;
    }
    for (int i = 0; i < 3; ++i) {
        affine[i][0] = static_cast<float>(r[i] * dx);
        affine[i][1] = static_cast<float>(c[i] * dy);
        affine[i][2] = static_cast<float>(k[i]);
        affine[i][3] = static_cast<float>(c1[i] - r[i] * dx * 0.5 * (nx - 1) - c[i] * dy * 0.5 * (ny - 1));
    }
    affine[3][0] = affine[3][1] = affine[3][2] = 0.0f;
    affine[3][3] = 1.0f;
}

namespace {

// The document without voxels: what the header says, for checks made before any voxel is read.
Document header_only(Document& d, const std::string& path, bool as_anatomy, int nx, int ny, int nz, int nt) {
    const std::string stem = strip_nifti_extension(path);
    if (as_anatomy) {
        d.type = kVmr;
        copy_name(d.vmr.FileName, sizeof d.vmr.FileName, stem + ".vmr");
        d.vmr.DimX = nx;
        d.vmr.DimY = ny;
        d.vmr.DimZ = nz;
    } else {
        d.type = kFmr;
        copy_name(d.fmr.FileName, sizeof d.fmr.FileName, stem + ".fmr");
        d.fmr.NrOfVolumes = nt;
        d.fmr.ResolutionX = nx;
        d.fmr.ResolutionY = ny;
        d.fmr.NrOfSlices = nz;
        d.fmr.DataType = 2;
    }
    return std::move(d);
}

// From this size on an uncompressed series is read on every core.
constexpr uint64_t kPartedReadFrom = uint64_t{64} << 20;

// Reads the nt volumes of an uncompressed series into new volumes of d, the
// series cut into one run of volumes per core: copying out of the page cache
// and the first touch of fresh volumes both go as fast as the cores that do
// them. Returns the count of non-finite values set to 0; refuses as the
// volume-by-volume reader does, naming the first volume that failed.
uint64_t read_volumes_in_parts(const std::string& path, const nifti_image* nim, size_t n, size_t raw_bytes, int nt,
                               bool swap, bool scale, bool direct, Document& d) {
    const int fd = ::open(nim->iname, O_RDONLY | O_CLOEXEC);
    if (fd < 0) refuse(path, std::string("its image data cannot be opened: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    for (int v = 0; v < nt; ++v) d.float_volumes.emplace_back(n);
    const int parts = memory_parts();
    std::vector<std::vector<unsigned char>> raw(static_cast<size_t>(parts));
    if (!direct)
        for (auto& r : raw) r.resize(raw_bytes);
    // Per volume: how many of its values were not finite, and whether it could not be read whole.
    std::vector<uint64_t> volume_non_finite(static_cast<size_t>(nt), 0);
    std::vector<char> volume_short(static_cast<size_t>(nt), 0);
    run_in_parts(nt, parts, [&](int part, long first, long last) {
        for (long v = first; v < last; ++v) {
            float* out = d.float_volumes[static_cast<size_t>(v)].data();
            unsigned char* target = direct ? reinterpret_cast<unsigned char*>(out) : raw[part].data();
            off_t at = static_cast<off_t>(nim->iname_offset) + static_cast<off_t>(raw_bytes) * v;
            size_t done = 0;
            while (done < raw_bytes) {
                const ssize_t got = ::pread(fd, target + done, raw_bytes - done, at);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                done += static_cast<size_t>(got);
                at += got;
            }
            if (done != raw_bytes) {
                volume_short[static_cast<size_t>(v)] = 1;
                return;
            }
            if (swap) nifti_swap_Nbytes(n * static_cast<size_t>(nim->nbyper) / nim->swapsize, nim->swapsize, target);
            volume_non_finite[static_cast<size_t>(v)] =
                direct ? zero_non_finite(out, n)
                       : convert_any(nim->datatype, target, out, n, scale, nim->scl_slope, nim->scl_inter);
        }
    });
    uint64_t non_finite = 0;
    for (int v = 0; v < nt; ++v) {
        if (volume_short[static_cast<size_t>(v)] != 0)
            refuse(path,
                   "the image data end early (in volume " + std::to_string(v + 1) + " of " + std::to_string(nt) + ")");
        non_finite += volume_non_finite[static_cast<size_t>(v)];
    }
    return non_finite;
}

Document read_nifti_file(const std::string& path, bool as_anatomy, Notes& notes, bool with_voxels) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
    if (st.st_size == 0) refuse(path, "the file is empty");
    const bool gz = nifti_is_gzfile(path.c_str()) != 0;
    check_header_bytes(path, gz);

    NiftiPtr nim(nifti_image_read(path.c_str(), 0));
    if (!nim) refuse(path, "nifticlib could not read its NIfTI-1 header");
    // Sizes past ndim are 1, whatever the header holds there.
    int size[8] = {nim->ndim, 1, 1, 1, 1, 1, 1, 1};
    for (int i = 1; i <= 7 && i <= nim->ndim; ++i) size[i] = nim->dim[i];
    for (int i = 5; i <= 7; ++i)
        if (size[i] != 1)
            refuse(path, "the image has " + std::to_string(nim->ndim) + " dimensions; only 3D and 4D images are read");
    if (!is_supported(nim->datatype)) {
        const bool complex = nim->datatype == NIFTI_TYPE_COMPLEX64 || nim->datatype == NIFTI_TYPE_COMPLEX128 ||
                             nim->datatype == NIFTI_TYPE_COMPLEX256;
        refuse(path, std::string(complex ? "complex data (" : "the data type ") + datatype_name(nim->datatype) +
                         (complex ? ") are" : " is") +
                         " not supported; real integer or floating-point voxels are read "
                         "(convert real and imaginary parts to two images first)");
    }
    const int nx = size[1], ny = size[2], nz = size[3], series = size[4];
    const int nt = as_anatomy ? 1 : series;
    checked_volume_voxels(path, nx, ny, nz, series, static_cast<size_t>(std::max(nim->nbyper, 1)));
    const size_t n = checked_volume_voxels(path, nx, ny, nz, nt, sizeof(float));
    const size_t raw_bytes = n * static_cast<size_t>(nim->nbyper);
    if (nim->iname_offset < 0) refuse(path, "its vox_offset " + std::to_string(nim->iname_offset) + " is negative");
    check_offset_and_scaling(path, gz);
    const uint64_t needed = static_cast<uint64_t>(nim->iname_offset) + raw_bytes * static_cast<uint64_t>(series);
    if (gz) {
        // Deflate expands at most 1032-fold: a small file whose header claims
        // gigabytes is refused before a volume is allocated for it.
        const uint64_t most = static_cast<uint64_t>(st.st_size) * kMostDeflateExpansion;
        if (needed > most)
            refuse(path, "the compressed file has " + std::to_string(st.st_size) + " bytes, which cannot hold the " +
                             std::to_string(needed) + " bytes its header describes (" + std::to_string(nx) + " x " +
                             std::to_string(ny) + " x " + std::to_string(nz) + " x " + std::to_string(series) +
                             " values of " + std::to_string(nim->nbyper) + " bytes)");
    } else {
        if (static_cast<uint64_t>(st.st_size) < needed)
            refuse(path, "the file has " + std::to_string(st.st_size) + " bytes, expected at least " +
                             std::to_string(needed) + " (" + std::to_string(nim->iname_offset) +
                             " header bytes, then " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
                             std::to_string(nz) + " x " + std::to_string(series) + " values of " +
                             std::to_string(nim->nbyper) + " bytes)");
    }

    // The voxel-to-world affine, in millimetres.
    const mat44& m = nim->sform_code > 0 ? nim->sto_xyz : nim->qto_xyz;
    const double unit = millimetres_per_unit(nim->xyz_units);
    float affine[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) affine[r][c] = narrowed(r < 3 ? m.m[r][c] * unit : m.m[r][c]);
    // A NaN or infinite entry (a damaged sform, or a qform from non-finite
    // quaternion fields) would carry NaN into every position the plug-in maps.
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(affine[r][c]))
                refuse(path, std::string("its ") + (nim->sform_code > 0 ? "sform" : "qform") +
                                 " affine holds a value that is not a finite number (row " + std::to_string(r) +
                                 ", column " + std::to_string(c) + ")");
    float voxel[3];
    for (int c = 0; c < 3; ++c) {
        voxel[c] = std::sqrt(affine[0][c] * affine[0][c] + affine[1][c] * affine[1][c] + affine[2][c] * affine[2][c]);
        if (!(voxel[c] > 0.0f) || !std::isfinite(voxel[c]))
            refuse(path, std::string("the ") + (nim->sform_code > 0 ? "sform" : "qform") + " affine's column " +
                             std::to_string(c) + " has no usable length; the voxel size cannot be known");
    }

    Document d;
    NiftiGeometry g;
    g.qform_code = nim->qform_code;
    g.sform_code = nim->sform_code;
    g.quatern_b = nim->quatern_b;
    g.quatern_c = nim->quatern_c;
    g.quatern_d = nim->quatern_d;
    g.qoffset_x = nim->qoffset_x;
    g.qoffset_y = nim->qoffset_y;
    g.qoffset_z = nim->qoffset_z;
    g.qfac = nim->qfac;
    for (int i = 0; i < 8; ++i) g.pixdim[i] = nim->pixdim[i];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) g.sto_xyz[r][c] = nim->sto_xyz.m[r][c];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) g.world_mm[r][c] = r < 3 ? m.m[r][c] * unit : m.m[r][c];
    g.xyz_units = nim->xyz_units;
    g.time_units = nim->time_units;
    g.compressed = gz;
    d.nifti_geometry = g;
    position_of_affine(affine, nx, ny, nz, d.position);
    if (!finite_position(d.position))
        refuse(path, std::string("its ") + (nim->sform_code > 0 ? "sform" : "qform") +
                         " affine places the slices beyond any finite position (entries too large for " +
                         std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) + " voxels)");
    d.source_path = path;

    if (!with_voxels) return header_only(d, path, as_anatomy, nx, ny, nz, nt);

    const bool swap = nim->byteorder != nifti_short_order() && nim->swapsize > 1;
    const bool scale = nim->scl_slope != 0.0f && std::isfinite(nim->scl_slope) && std::isfinite(nim->scl_inter) &&
                       !(nim->scl_slope == 1.0f && nim->scl_inter == 0.0f);
    const bool direct = nim->datatype == NIFTI_TYPE_FLOAT32 && !scale;
    uint64_t non_finite = 0;
    std::vector<float> anatomy(as_anatomy ? n : 0);
    if (!gz && !as_anatomy && nt > 1 && raw_bytes * static_cast<uint64_t>(nt) >= kPartedReadFrom) {
        non_finite = read_volumes_in_parts(path, nim.get(), n, raw_bytes, nt, swap, scale, direct, d);
    } else {
        // Volume by volume, straight into the document's buffers where the file holds plain floats.
        ZnzPtr f(znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname)));
        if (!f) refuse(path, std::string("its image data cannot be opened: ") + std::strerror(errno ? errno : EIO));
        // gzseek answers the new offset, fseek 0: only a negative value is a failure.
        if (znzseek(f.get(), nim->iname_offset, SEEK_SET) < 0) refuse(path, "the image data end before they begin");
        std::vector<unsigned char> raw(direct ? 0 : raw_bytes);
        for (int v = 0; v < nt; ++v) {
            float* out = nullptr;
            if (as_anatomy) {
                out = anatomy.data();
            } else {
                d.float_volumes.emplace_back(n);
                out = d.float_volumes.back().data();
            }
            void* target = direct ? static_cast<void*>(out) : static_cast<void*>(raw.data());
            const size_t got = znzread(target, 1, raw_bytes, f.get());
            if (got == kZnzReadError && raw_bytes != kZnzReadError)
                refuse(path, "its compressed image data are damaged (in volume " + std::to_string(v + 1) + " of " +
                                 std::to_string(series) + ")");
            if (got != raw_bytes)
                refuse(path, "the image data end early (in volume " + std::to_string(v + 1) + " of " +
                                 std::to_string(series) + ")");
            if (swap) nifti_swap_Nbytes(n * static_cast<size_t>(nim->nbyper) / nim->swapsize, nim->swapsize, target);
            if (direct)
                non_finite += zero_non_finite(out, n);
            else
                non_finite += convert_any(nim->datatype, raw.data(), out, n, scale, nim->scl_slope, nim->scl_inter);
        }
    }
    if (non_finite != 0) notes.push_back(non_finite_note(path, non_finite, static_cast<uint64_t>(n) * nt));

    const std::string stem = strip_nifti_extension(path);
    if (as_anatomy) {
        if (series > 1)
            notes.push_back("\"" + path + "\": only the first of its " + std::to_string(series) +
                            " volumes is used as anatomy");
        d.type = kVmr;
        copy_name(d.vmr.FileName, sizeof d.vmr.FileName, stem + ".vmr");
        d.vmr.DimX = nx;
        d.vmr.DimY = ny;
        d.vmr.DimZ = nz;
        d.vmr.VoxelSizeX = voxel[0];
        d.vmr.VoxelSizeY = voxel[1];
        d.vmr.VoxelSizeZ = voxel[2];
        const auto mm = std::minmax_element(anatomy.begin(), anatomy.end());
        const double lo = *mm.first, range = static_cast<double>(*mm.second) - lo;
        d.voxels.resize(n);
        for (size_t i = 0; i < n; ++i)
            d.voxels[i] = range > 0.0 ? static_cast<uint8_t>(std::lround((anatomy[i] - lo) * 255.0 / range)) : 0;
    } else {
        d.type = kFmr;
        FMR_Header& h = d.fmr;
        copy_name(h.FileName, sizeof h.FileName, stem + ".fmr");
        h.NrOfVolumes = nt;
        h.ResolutionX = nx;
        h.ResolutionY = ny;
        h.NrOfSlices = nz;
        h.InplaneResolutionX = voxel[0];
        h.InplaneResolutionY = voxel[1];
        h.VoxelSizeZ = voxel[2];
        h.SliceThickness = voxel[2];
        h.DataType = 2;
        const double tr = static_cast<double>(nim->dt) * milliseconds_per_unit(nim->time_units);
        if (std::isfinite(tr) && tr > 0.0 && tr < 2147483647.0) h.TR = static_cast<int>(std::lround(tr));
        d.refresh_pointers();
    }
    return d;
}

}  // namespace

Document read_nifti(const std::string& path, bool as_anatomy, Notes& notes) {
    return read_nifti_file(path, as_anatomy, notes, true);
}

Document read_nifti_header(const std::string& path, bool as_anatomy, Notes& notes) {
    return read_nifti_file(path, as_anatomy, notes, false);
}

bool nifti_copy_compressed(const Document& doc) { return !doc.nifti_geometry || doc.nifti_geometry->compressed; }

std::string nifti_path_for(const Document& doc, const std::string& fmr_path) {
    const size_t dot = fmr_path.rfind('.');
    const size_t slash = fmr_path.rfind('/');
    const std::string stem =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? fmr_path.substr(0, dot) : fmr_path;
    return stem + (nifti_copy_compressed(doc) ? ".nii.gz" : ".nii");
}

void write_nifti(const Document& doc, AtomicFile& file) {
    const FMR_Header& h = doc.fmr;
    const int nt = h.NrOfVolumes;
    const int dims[8] = {nt > 1 ? 4 : 3, h.ResolutionX, h.ResolutionY, h.NrOfSlices, nt, 1, 1, 1};
    NiftiPtr nim(nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 0));
    if (!nim) throw Error("cannot write \"" + file.target() + "\": nifticlib could not make a header");
    nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    std::free(nim->fname);
    std::free(nim->iname);
    nim->fname = c_copy(file.temp_path());
    nim->iname = c_copy(file.temp_path());
    nim->scl_slope = 1.0f;
    nim->scl_inter = 0.0f;

    float voxel[3] = {h.InplaneResolutionX, h.InplaneResolutionY, h.VoxelSizeZ};
    if (doc.nifti_geometry) {
        const NiftiGeometry& g = *doc.nifti_geometry;
        nim->qform_code = g.qform_code;
        nim->sform_code = g.sform_code;
        nim->quatern_b = g.quatern_b;
        nim->quatern_c = g.quatern_c;
        nim->quatern_d = g.quatern_d;
        nim->qoffset_x = g.qoffset_x;
        nim->qoffset_y = g.qoffset_y;
        nim->qoffset_z = g.qoffset_z;
        nim->qfac = g.qfac;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) nim->sto_xyz.m[r][c] = g.sto_xyz[r][c];
        for (int i = 1; i <= 3; ++i) voxel[i - 1] = g.pixdim[i];
        nim->xyz_units = g.xyz_units;
        nim->time_units = g.time_units;
        nim->dt = g.pixdim[4];
    } else {
        float a[4][4];
        affine_of_position(doc.position, h.ResolutionX, h.ResolutionY, h.NrOfSlices, voxel[0], voxel[1], voxel[2], a);
        mat44 m;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m.m[r][c] = a[r][c];
        nim->sto_xyz = m;
        nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
        nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
        float qdx = 0, qdy = 0, qdz = 0;
        nifti_mat44_to_quatern(m, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x, &nim->qoffset_y,
                               &nim->qoffset_z, &qdx, &qdy, &qdz, &nim->qfac);
        nim->xyz_units = NIFTI_UNITS_MM;
        nim->time_units = NIFTI_UNITS_SEC;
        nim->dt = h.TR > 0 ? static_cast<float>(h.TR) / 1000.0f : 0.0f;
    }
    nim->dx = nim->pixdim[1] = voxel[0];
    nim->dy = nim->pixdim[2] = voxel[1];
    nim->dz = nim->pixdim[3] = voxel[2];
    nim->pixdim[4] = nim->dt;

    // The header as nifticlib makes it, then the four bytes that say "no
    // extensions"; written through the file we created, never by its name
    // again, so that whatever stands at the temporary name by now is not written.
    nifti_set_iname_offset(nim.get());
    const nifti_1_header header = nifti_convert_nim2nhdr(nim.get());
    static_assert(sizeof header == kNifti1HeaderBytes, "a NIfTI-1 header has 348 bytes");
    char head[kNifti1HeaderBytes + 4] = {};
    std::memcpy(head, &header, sizeof header);
    const bool gz = nifti_is_gzfile(file.temp_path().c_str()) != 0;
    const std::string where = "cannot write \"" + file.target() + "\": ";
    int sync_fd = -1;
    gzFile z = nullptr;
    if (gz) {
        sync_fd = ::dup(::fileno(file.stream()));
        const int fd = sync_fd < 0 ? -1 : ::dup(sync_fd);
        if (fd < 0) {
            const int e = errno;
            if (sync_fd >= 0) ::close(sync_fd);
            throw Error(where + std::strerror(e));
        }
        file.hand_over();
        // "wb1": the fastest level; results are rewritten often and read once.
        z = gzdopen(fd, "wb1");
        if (z == nullptr) {
            ::close(fd);
            ::close(sync_fd);
            throw Error(where + "the compressed stream could not be started");
        }
    }
    auto put = [&](const void* data, size_t bytes) {
        if (!gz) return file.write(data, bytes);
        const char* p = static_cast<const char*>(data);
        while (bytes > 0) {
            const unsigned chunk = static_cast<unsigned>(std::min<size_t>(bytes, 1u << 30));
            if (gzwrite(z, p, chunk) != static_cast<int>(chunk)) {
                gzclose(z);
                ::close(sync_fd);
                throw Error(where + std::strerror(errno ? errno : EIO));
            }
            p += chunk;
            bytes -= chunk;
        }
    };
    put(head, sizeof head);
    const size_t n = static_cast<size_t>(h.ResolutionX) * h.ResolutionY * h.NrOfSlices;
    std::vector<float> converted(h.DataType == 1 ? n : 0);
    for (int v = 0; v < nt; ++v) {
        const float* data = nullptr;
        if (h.DataType == 1) {
            const uint16_t* in = doc.int_volumes[static_cast<size_t>(v)].data();
            for (size_t i = 0; i < n; ++i) converted[i] = static_cast<float>(in[i]);
            data = converted.data();
        } else {
            data = doc.float_volumes[static_cast<size_t>(v)].data();
        }
        put(data, n * sizeof(float));
    }
    if (!gz) {
        file.finish();
        return;
    }
    errno = 0;
    const bool closed = gzclose(z) == Z_OK;
    const int e = errno;
    const bool synced = closed && ::fsync(sync_fd) == 0;
    const int e_sync = errno;
    ::close(sync_fd);
    if (!closed) throw Error(where + std::strerror(e ? e : EIO));
    if (!synced) throw Error(where + std::strerror(e_sync));
}

}  // namespace host
}  // namespace warpmender
