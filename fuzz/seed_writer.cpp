// Writes the seed corpora of the fuzz targets: small valid inputs of every kind, made by the project's own writers.
//   warpmender_fuzz_seeds DIR  ->  DIR/fmr_header/, DIR/stc_sizes/, DIR/vmr/, DIR/nifti/, ...
#include <nifti1_io.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "core/atomic_file.h"
#include "core/error.h"
#include "formats/fmr_file.h"
#include "formats/nifti_document.h"
#include "formats/vmr_file.h"
#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;
using namespace warpmender;

namespace {

void put(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw Error("cannot write seed \"" + path.string() + "\"");
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Voxels hold their own index, with a NaN and an infinity for the non-finite path.
host::Document index_document(int nx, int ny, int nz, int nt, int data_type) {
    host::Document d = host::make_fmr_document("seed.fmr", nx, ny, nz, nt, data_type, 2.5f);
    size_t k = 0;
    for (auto& v : d.int_volumes)
        for (auto& x : v) x = static_cast<uint16_t>(k++ * 7);
    for (auto& v : d.float_volumes)
        for (auto& x : v) x = static_cast<float>(k++) * 0.25f;
    if (data_type == 2) {
        d.float_volumes[0][1] = std::numeric_limits<float>::quiet_NaN();
        d.float_volumes[0][2] = -std::numeric_limits<float>::infinity();
    }
    d.fmr.TR = 2000;
    d.fmr.TE = 30;
    d.refresh_pointers();
    return d;
}

std::string without_position_block(const std::string& text) {
    const size_t at = text.find("PositionInformationFromImageHeaders");
    const size_t end = text.find("NrOfPastSpatialTransformations");
    return at == std::string::npos || end == std::string::npos ? text : text.substr(0, at) + text.substr(end);
}

void fmr_seeds(const fs::path& dir) {
    // Both data types fill exactly the fixed STC the target puts beside each header.
    host::Document f = index_document(5, 4, 3, 2, 2);
    host::Document i = index_document(5, 4, 3, 4, 1);
    put(dir / "float_with_position.fmr", host::fmr_text(f, "a.fmr"));
    put(dir / "int16_without_position.fmr", without_position_block(host::fmr_text(i, "a.fmr")));
    std::strcpy(f.fmr.Prefix, "fuzz");
    put(dir / "float_with_prefix.fmr", host::fmr_text(f, "fuzz.fmr"));
    put(dir / "required_keys_only.fmr", "NrOfVolumes: 2\nNrOfSlices: 3\nResolutionX: 5\nResolutionY: 4\nDataType: 2\n");
}

std::string stc_bytes(const host::Document& d) {
    std::string out;
    for (const auto& v : d.int_volumes) out.append(reinterpret_cast<const char*>(v.data()), v.size() * 2);
    for (const auto& v : d.float_volumes) out.append(reinterpret_cast<const char*>(v.data()), v.size() * 4);
    return out;
}

std::string stc_prefix(int32_t nx, int32_t ny, int32_t nz, int32_t nt, uint8_t type) {
    const int32_t dims[4] = {nx, ny, nz, nt};
    std::string p(reinterpret_cast<const char*>(dims), sizeof dims);
    p.push_back(static_cast<char>(type));
    return p;
}

void stc_seeds(const fs::path& dir) {
    put(dir / "float_5x4x3x2", stc_prefix(5, 4, 3, 2, 2) + stc_bytes(index_document(5, 4, 3, 2, 2)));
    put(dir / "int16_7x3x2x3", stc_prefix(7, 3, 2, 3, 1) + stc_bytes(index_document(7, 3, 2, 3, 1)));
    put(dir / "one_short", stc_prefix(3, 3, 1, 1, 2) + std::string(35, '\x01'));
}

void vmr_seeds(const fs::path& dir, const fs::path& work) {
    host::Document v = host::make_vmr_document("seed.vmr", 7, 5, 3);
    for (size_t k = 0; k < v.voxels.size(); ++k) v.voxels[k] = static_cast<uint8_t>(k * 11);
    const fs::path file = work / "seed.vmr";
    host::write_vmr(v, file.string());
    put(dir / "7x5x3.vmr", slurp(file));
    put(dir / "header_only.vmr", std::string("\x01\x00\x01\x00\x01\x00", 6));
}

std::string nifti_of(host::Document d, const fs::path& work, bool compressed) {
    host::NiftiGeometry g;
    g.sform_code = 1;
    g.qform_code = 1;
    g.quatern_b = 0.0f;
    g.quatern_c = 0.0f;
    g.quatern_d = 1.0f;  // 180 degrees about z: a flip that the position record must carry
    g.qoffset_x = 12.0f;
    g.qoffset_y = -8.0f;
    g.qoffset_z = 3.0f;
    g.pixdim[1] = g.pixdim[2] = 2.5f;
    g.pixdim[3] = 3.0f;
    g.pixdim[4] = 2.0f;
    const float affine[4][4] = {{-2.5f, 0, 0, 12}, {0, -2.5f, 0, -8}, {0, 0, 3, 3}, {0, 0, 0, 1}};
    std::memcpy(g.sto_xyz, affine, sizeof affine);
    g.xyz_units = NIFTI_UNITS_MM;
    g.time_units = NIFTI_UNITS_SEC;
    g.compressed = compressed;
    d.nifti_geometry = g;
    const std::string ext = compressed ? ".nii.gz" : ".nii";
    const fs::path file = work / ("seed" + ext);
    host::AtomicFile out(file.string(), ext);
    host::write_nifti(d, out);
    out.commit();
    return slurp(file);
}

// A 16-bit image with slope and intercept and only a qform, written by nifticlib itself.
std::string scaled_int16_nifti(const fs::path& work) {
    const int dims[8] = {3, 6, 5, 3, 1, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1);
    if (nim == nullptr) throw Error("nifticlib could not make the int16 seed");
    auto* v = static_cast<int16_t*>(nim->data);
    for (size_t k = 0; k < nim->nvox; ++k) v[k] = static_cast<int16_t>(static_cast<int>(k) * 97 - 3000);
    nim->scl_slope = 0.5f;
    nim->scl_inter = -10.0f;
    nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->sform_code = 0;
    nim->pixdim[1] = nim->dx = 1.5f;
    nim->pixdim[2] = nim->dy = 1.5f;
    nim->pixdim[3] = nim->dz = 4.0f;
    nim->quatern_b = 0.2f;
    nim->qfac = -1.0f;
    nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    const std::string file = (work / "scaled.nii").string();
    if (nifti_set_filenames(nim, file.c_str(), 0, 0) != 0) throw Error("nifticlib refused the seed's name");
    nifti_image_write(nim);
    nifti_image_free(nim);
    return slurp(file);
}

void nifti_seeds(const fs::path& dir, const fs::path& gz_dir, const fs::path& work) {
    const std::string series = nifti_of(index_document(5, 4, 3, 2, 2), work, false);
    const std::string volume = nifti_of(index_document(7, 3, 2, 1, 2), work, false);
    const std::string scaled = scaled_int16_nifti(work);
    put(dir / "float_5x4x3x2.nii", series);
    put(dir / "float_7x3x2.nii", volume);
    put(dir / "int16_scaled_qform.nii", scaled);
    // The gzip target compresses what it is given; one stream is kept as it is, for damaged-stream mutations.
    put(gz_dir / "float_5x4x3x2.nii", series);
    put(gz_dir / "int16_scaled_qform.nii", scaled);
    put(gz_dir / "float_7x3x2.nii.gz", nifti_of(index_document(7, 3, 2, 1, 2), work, true));
}

void session_seeds(const fs::path& dir) {
    put(dir / "contract_example.json", R"({
  "host_version": "2.8.0",
  "output_dir": "out",
  "documents": [
    {"path": "fmap_phase.fmr"},
    {"path": "fmap_magnitude.nii.gz"},
    {"path": "t1.nii.gz", "as": "vmr"}
  ],
  "calls": [
    {"parameters": {"Command": "Start", "Procedure": "Unwrap",
                    "PerformAllSteps": 1, "EchoTimeDiff": 2.46},
     "answers": [0, 1, "chosen/file.fmr", null]}
  ]
}
)");
    put(dir / "every_command.json", R"({"documents": [{"path": "/data/a.fmr", "as": "fmr"}, {"path": "b.vmr"}],
 "calls": [{"parameters": {"Command": "GetFiles", "FileStage": 1, "FileTypeId": 21}, "answers": ["/p.fmr", null]},
           {"parameters": {"Command": "Evaluate", "Flag": true}, "answers": [2, 2]},
           {"parameters": {"Command": "CreatePolarFile", "RealFile": "r", "ImagFile": "i", "Scale": -1.5e-3}},
           {}]}
)");
    put(dir / "empty_object.json", "{}");
}

void sidecar_seeds(const fs::path& dir) {
    put(dir / "phasediff.json", R"({"EchoTime1": 0.00492, "EchoTime2": 0.00738, "Manufacturer": "Siemens"})");
    put(dir / "bold.json",
        R"({"EffectiveEchoSpacing": 0.00058, "PhaseEncodingDirection": "j-", "RepetitionTime": 2.0,
 "TotalReadoutTime": 0.0371, "SliceTiming": [0, 0.5, 1.0, 1.5]})");
    put(dir / "nulls.json", R"({"EchoTime1": null, "PhaseEncodingDirection": null})");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    try {
        const fs::path out = argv[1];
        const fs::path work = fs::path(fuzz::scratch());
        fmr_seeds(out / "fmr_header");
        stc_seeds(out / "stc_sizes");
        vmr_seeds(out / "vmr", work);
        nifti_seeds(out / "nifti", out / "nifti_gz", work);
        session_seeds(out / "session");
        sidecar_seeds(out / "sidecar");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "warpmender_fuzz_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
