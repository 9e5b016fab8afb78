// NIfTI-1 images as documents: voxels, scaling, geometry from the affine, anatomy, refusals, NIfTI copies of saves.
#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/error.h"
#include "formats/nifti_document.h"
#include "host/document_files.h"
#include "tests/host_files_support.h"
#include "tests/test_support.h"

namespace warpmender {
namespace {

struct NiftiFree {
    void operator()(nifti_image* n) const { nifti_image_free(n); }
};
using Nim = std::unique_ptr<nifti_image, NiftiFree>;

// An image with zeroed data of the given sizes and type; geometry is set by the test.
Nim new_image(std::vector<int> sizes, int datatype) {
    int dims[8] = {static_cast<int>(sizes.size()), 1, 1, 1, 1, 1, 1, 1};
    for (size_t i = 0; i < sizes.size(); ++i) dims[i + 1] = sizes[i];
    return Nim(nifti_make_new_nim(dims, datatype, 1));
}

// Oblique voxel-to-world affine: 2 x 3 x 4 mm voxels, rows rotated by atan(0.75) about z.
void set_oblique_sform(nifti_image* nim) {
    const float a[4][4] = {{1.6f, -1.8f, 0, 10}, {1.2f, 2.4f, 0, -20}, {0, 0, 4, 30}, {0, 0, 0, 1}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) nim->sto_xyz.m[r][c] = a[r][c];
    nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nifti_mat44_to_quatern(nim->sto_xyz, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x,
                           &nim->qoffset_y, &nim->qoffset_z, &nim->dx, &nim->dy, &nim->dz, &nim->qfac);
    nim->pixdim[1] = nim->dx;
    nim->pixdim[2] = nim->dy;
    nim->pixdim[3] = nim->dz;
    nim->xyz_units = NIFTI_UNITS_MM;
}

void save(nifti_image* nim, const std::string& path) {
    ASSERT_EQ(nifti_set_filenames(nim, path.c_str(), 0, 1), 0);
    nifti_image_write(nim);
}

Nim index_series(int datatype = NIFTI_TYPE_FLOAT32) {
    Nim nim = new_image({test::kNx, test::kNy, test::kNz, test::kNt}, datatype);
    auto* f = static_cast<float*>(nim->data);
    for (size_t i = 0; i < nim->nvox; ++i) f[i] = static_cast<float>(i) / 4.0f;
    set_oblique_sform(nim.get());
    nim->dt = nim->pixdim[4] = 2.0f;
    nim->time_units = NIFTI_UNITS_SEC;
    return nim;
}

std::string open_error(const std::string& path, bool as_anatomy = false) {
    test::fresh_host();
    try {
        host::open_document(path, as_anatomy);
    } catch (const Error& e) {
        return e.what();
    }
    return "(opened)";
}

TEST(HostNifti, float_series_opens_as_float_fmr_with_every_voxel_and_its_name_in_the_output_directory) {
    const std::string dir = test::scratch_dir("host_nifti_series");
    Nim nim = index_series();
    save(nim.get(), dir + "/sub-01_bold.nii.gz");
    host::Host& h = test::fresh_host();
    h.output_dir = dir + "/out";
    const host::Document d = host::open_document(dir + "/sub-01_bold.nii.gz", false);
    EXPECT_EQ(d.type, host::kFmr);
    EXPECT_STREQ(d.fmr.FileName, (dir + "/out/sub-01_bold.fmr").c_str());
    EXPECT_EQ(d.source_path, dir + "/sub-01_bold.nii.gz");
    EXPECT_EQ(d.fmr.DataType, 2);
    EXPECT_EQ(d.fmr.ResolutionX, test::kNx);
    EXPECT_EQ(d.fmr.ResolutionY, test::kNy);
    EXPECT_EQ(d.fmr.NrOfSlices, test::kNz);
    EXPECT_EQ(d.fmr.NrOfVolumes, test::kNt);
    EXPECT_EQ(d.fmr.TR, 2000);
    ASSERT_EQ(d.float_volumes.size(), 3u);
    const size_t n = static_cast<size_t>(test::kNx) * test::kNy * test::kNz;
    for (size_t t = 0; t < 3; ++t)
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(d.float_volumes[t][i], static_cast<float>(t * n + i) / 4.0f);
    EXPECT_TRUE(h.host_log.empty());
}

TEST(HostNifti, position_record_and_voxel_sizes_come_from_the_sform) {
    const std::string dir = test::scratch_dir("host_nifti_sform");
    Nim nim = index_series();
    save(nim.get(), dir + "/a.nii");
    test::fresh_host();
    const host::Document d = host::open_document(dir + "/a.nii", false);
    // Hand-computed from the affine: slice centres at voxel (11, 8, 0) and (11, 8, 10).
    // Tolerance: single-precision products of values near 100.
    const float tol = 1e-4f;
    const FMR_ScannerPosition_Header& p = d.position;
    EXPECT_NEAR(p.Slice1CenterX, 13.2f, tol);
    EXPECT_NEAR(p.Slice1CenterY, 12.4f, tol);
    EXPECT_NEAR(p.Slice1CenterZ, 30.0f, tol);
    EXPECT_NEAR(p.SliceNCenterX, 13.2f, tol);
    EXPECT_NEAR(p.SliceNCenterY, 12.4f, tol);
    EXPECT_NEAR(p.SliceNCenterZ, 70.0f, tol);
    EXPECT_NEAR(p.RowDirX, 0.8f, tol);
    EXPECT_NEAR(p.RowDirY, 0.6f, tol);
    EXPECT_NEAR(p.ColDirX, -0.6f, tol);
    EXPECT_NEAR(p.ColDirY, 0.8f, tol);
    EXPECT_NEAR(d.fmr.InplaneResolutionX, 2.0f, tol);
    EXPECT_NEAR(d.fmr.InplaneResolutionY, 3.0f, tol);
    EXPECT_NEAR(d.fmr.VoxelSizeZ, 4.0f, tol);
    EXPECT_EQ(p.NCols, test::kNx);
    EXPECT_EQ(p.NRows, test::kNy);
}

TEST(HostNifti, qform_is_used_when_there_is_no_sform) {
    const std::string dir = test::scratch_dir("host_nifti_qform");
    Nim nim = new_image({5, 4, 3}, NIFTI_TYPE_FLOAT32);
    nim->sform_code = 0;
    nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->quatern_b = nim->quatern_c = nim->quatern_d = 0.0f;
    nim->qoffset_x = 1;
    nim->qoffset_y = 2;
    nim->qoffset_z = 3;
    nim->qfac = -1;  // slices run towards -z
    nim->dx = nim->dy = nim->dz = nim->pixdim[1] = nim->pixdim[2] = nim->pixdim[3] = 2.0f;
    save(nim.get(), dir + "/q.nii");
    test::fresh_host();
    const host::Document d = host::open_document(dir + "/q.nii", false);
    EXPECT_FLOAT_EQ(d.position.Slice1CenterX, 5.0f);
    EXPECT_FLOAT_EQ(d.position.Slice1CenterY, 5.0f);
    EXPECT_FLOAT_EQ(d.position.Slice1CenterZ, 3.0f);
    EXPECT_FLOAT_EQ(d.position.SliceNCenterZ, -1.0f);
    EXPECT_FLOAT_EQ(d.fmr.VoxelSizeZ, 2.0f);
}

TEST(HostNifti, integer_data_are_scaled_with_slope_and_intercept) {
    const std::string dir = test::scratch_dir("host_nifti_scaled");
    Nim nim = new_image({3, 2, 1}, NIFTI_TYPE_INT16);
    const int16_t raw[6] = {-4, -1, 0, 1, 7, 32767};
    std::memcpy(nim->data, raw, sizeof raw);
    nim->scl_slope = 0.5f;
    nim->scl_inter = 10.0f;
    save(nim.get(), dir + "/s.nii.gz");
    test::fresh_host();
    const host::Document d = host::open_document(dir + "/s.nii.gz", false);
    EXPECT_EQ(test::plain(d.float_volumes[0]), (std::vector<float>{8.0f, 9.5f, 10.0f, 10.5f, 13.5f, 16393.5f}));
}

TEST(HostNifti, anatomy_is_the_first_volume_rescaled_to_0_255) {
    const std::string dir = test::scratch_dir("host_nifti_anatomy");
    Nim nim = new_image({4, 1, 1, 2}, NIFTI_TYPE_FLOAT32);
    const float values[8] = {-10, 0, 40, 90, 1000, 1000, 1000, 1000};
    std::memcpy(nim->data, values, sizeof values);
    set_oblique_sform(nim.get());
    save(nim.get(), dir + "/t1.nii.gz");
    host::Host& h = test::fresh_host();
    h.output_dir = "out";
    const host::Document d = host::open_document(dir + "/t1.nii.gz", true);
    EXPECT_EQ(d.type, host::kVmr);
    EXPECT_STREQ(d.vmr.FileName, "out/t1.vmr");
    EXPECT_EQ(d.vmr.DimX, 4);
    EXPECT_EQ(d.vmr.DimZ, 1);
    EXPECT_NEAR(d.vmr.VoxelSizeX, 2.0f, 1e-5f);
    EXPECT_NEAR(d.vmr.VoxelSizeZ, 4.0f, 1e-5f);
    // (v + 10) * 255 / 100, rounded: 0, 25.5 -> 26, 127.5 -> 128, 255.
    EXPECT_EQ(d.voxels, (std::vector<uint8_t>{0, 26, 128, 255}));
    ASSERT_EQ(h.host_log.size(), 1u);
    EXPECT_EQ(h.host_log[0], "\"" + dir + "/t1.nii.gz\": only the first of its 2 volumes is used as anatomy");
}

TEST(HostNifti, non_finite_voxels_become_zero_with_a_counted_note) {
    const std::string dir = test::scratch_dir("host_nifti_nan");
    Nim nim = new_image({3, 2, 1, 2}, NIFTI_TYPE_FLOAT32);
    auto* f = static_cast<float*>(nim->data);
    const float inf = std::numeric_limits<float>::infinity();
    const float values[12] = {1, std::nanf(""), 3, inf, 5, 6, 7, 8, -inf, 10, std::nanf(""), 12};
    std::memcpy(f, values, sizeof values);
    save(nim.get(), dir + "/n.nii");
    host::Host& h = test::fresh_host();
    const host::Document d = host::open_document(dir + "/n.nii", false);
    EXPECT_EQ(test::plain(d.float_volumes[0]), (std::vector<float>{1, 0, 3, 0, 5, 6}));
    EXPECT_EQ(test::plain(d.float_volumes[1]), (std::vector<float>{7, 8, 0, 10, 0, 12}));
    EXPECT_EQ(h.host_log,
              std::vector<std::string>{"\"" + dir + "/n.nii\": 4 of 12 voxels were NaN or infinite and were set to 0"});
}

TEST(HostNifti, big_endian_images_are_read_with_their_bytes_swapped) {
    const std::string dir = test::scratch_dir("host_nifti_big_endian");
    Nim nim = new_image({3, 2, 1}, NIFTI_TYPE_INT16);
    const int16_t raw[6] = {-300, -1, 0, 1, 258, 32767};
    std::memcpy(nim->data, raw, sizeof raw);
    nim->scl_slope = 2.0f;
    save(nim.get(), dir + "/native.nii");
    const std::string native = test::read_file(dir + "/native.nii");
    nifti_1_header h;
    std::memcpy(&h, native.data(), sizeof h);
    swap_nifti_header(&h, 1);
    std::string swapped(reinterpret_cast<const char*>(&h), sizeof h);
    swapped += native.substr(sizeof h, 4);  // extension flags: bytes, not swapped
    for (int16_t v : raw) {
        const uint16_t u = static_cast<uint16_t>(v);
        swapped += static_cast<char>(u >> 8);
        swapped += static_cast<char>(u & 0xff);
    }
    test::write_file(dir + "/big.nii", swapped);
    test::fresh_host();
    const host::Document d = host::open_document(dir + "/big.nii", false);
    EXPECT_EQ(d.fmr.ResolutionX, 3);
    EXPECT_EQ(test::plain(d.float_volumes[0]), (std::vector<float>{-600, -2, 0, 2, 516, 65534}));
}

// Series of 64 MB and more are read by several threads at once, each into its
// own run of volumes: every voxel must still land in its own place, the
// scaling and the non-finite count must cover every part.
TEST(HostNifti, a_large_series_read_on_every_core_lands_voxel_for_voxel_with_every_non_finite_counted) {
    const std::string dir = test::scratch_dir("host_nifti_large");
    constexpr int nx = 61, ny = 53, nz = 37;  // 119,561 voxels: parts never end on a round size
    struct Case {
        const char* name;
        int datatype;
        int nt;  // enough volumes for 64 MB of data
    };
    const Case cases[] = {{"float32", NIFTI_TYPE_FLOAT32, 141}, {"int16 scaled", NIFTI_TYPE_INT16, 281}};
    const size_t n = static_cast<size_t>(nx) * ny * nz;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Nim nim = new_image({nx, ny, nz, c.nt}, c.datatype);
        ASSERT_GE(nim->nvox * static_cast<size_t>(nim->nbyper), size_t{64} << 20);
        auto value = [&](size_t i) { return static_cast<float>(i % 30011); };
        if (c.datatype == NIFTI_TYPE_FLOAT32) {
            auto* f = static_cast<float*>(nim->data);
            for (size_t i = 0; i < nim->nvox; ++i) f[i] = value(i) / 4.0f;
            // Non-finite values in the first and the last volume, read by different threads.
            f[5] = std::nanf("");
            f[nim->nvox - 3] = std::numeric_limits<float>::infinity();
        } else {
            auto* v = static_cast<int16_t*>(nim->data);
            for (size_t i = 0; i < nim->nvox; ++i) v[i] = static_cast<int16_t>(value(i));
            nim->scl_slope = 0.25f;
        }
        const std::string path = dir + "/" + std::to_string(c.datatype) + ".nii";
        save(nim.get(), path);
        nim.reset();
        host::Host& h = test::fresh_host();
        const host::Document d = host::open_document(path, false);
        ASSERT_EQ(d.float_volumes.size(), static_cast<size_t>(c.nt));
        size_t wrong = 0, first_wrong = 0;
        for (size_t t = 0; t < d.float_volumes.size(); ++t)
            for (size_t i = 0; i < n; ++i) {
                const size_t k = t * n + i;
                const bool zeroed = c.datatype == NIFTI_TYPE_FLOAT32 && (k == 5 || k == n * c.nt - 3);
                const float expected = zeroed ? 0.0f : value(k) / 4.0f;
                if (d.float_volumes[t][i] != expected && wrong++ == 0) first_wrong = k;
            }
        EXPECT_EQ(wrong, 0u) << "first at value " << first_wrong;
        if (c.datatype == NIFTI_TYPE_FLOAT32)
            EXPECT_EQ(h.host_log, std::vector<std::string>{"\"" + path + "\": 2 of " + std::to_string(n * c.nt) +
                                                           " voxels were NaN or infinite and were set to 0"});
        else
            EXPECT_TRUE(h.host_log.empty());
    }
}

void gzip_file(const std::string& path, const std::string& bytes) {
    gzFile g = gzopen(path.c_str(), "wb");
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(gzwrite(g, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    ASSERT_EQ(gzclose(g), Z_OK);
}

TEST(HostNifti, malformed_images_are_refused_naming_the_file_and_the_fault) {
    const std::string dir = test::scratch_dir("host_nifti_malformed");
    {
        Nim c = new_image({2, 2, 2}, NIFTI_TYPE_COMPLEX64);
        save(c.get(), dir + "/complex.nii");
        Nim five = new_image({2, 2, 2, 2, 2}, NIFTI_TYPE_FLOAT32);
        save(five.get(), dir + "/five.nii");
        Nim rgb = new_image({2, 2, 2}, NIFTI_TYPE_RGB24);
        save(rgb.get(), dir + "/rgb.nii");
        Nim good = new_image({4, 4, 4, 2}, NIFTI_TYPE_FLOAT32);
        save(good.get(), dir + "/good.nii");
    }
    const std::string good = test::read_file(dir + "/good.nii");
    test::write_file(dir + "/truncated.nii", good.substr(0, good.size() - 1));
    gzip_file(dir + "/truncated.nii.gz", good.substr(0, good.size() - 100));
    gzip_file(dir + "/short_header.nii.gz", good.substr(0, 100));
    nifti_1_header header;
    std::memcpy(&header, good.data(), sizeof header);
    header.dim[1] = -5;
    test::write_file(dir + "/negative.nii",
                     std::string(reinterpret_cast<const char*>(&header), sizeof header) + good.substr(sizeof header));
    header.dim[0] = 4;
    header.dim[1] = header.dim[2] = header.dim[3] = header.dim[4] = 32767;
    test::write_file(dir + "/huge.nii",
                     std::string(reinterpret_cast<const char*>(&header), sizeof header) + good.substr(sizeof header));
    test::write_file(dir + "/empty.nii", "");
    test::write_file(dir + "/text.nii", std::string(400, 'x'));
    std::string nifti2(600, '\0');
    nifti2[0] = 0x1c;  // 540, little-endian
    nifti2[1] = 0x02;
    test::write_file(dir + "/nifti2.nii", nifti2);

    const struct {
        const char* file;
        const char* expected;
    } cases[] = {
        {"complex.nii", "complex data (NIFTI_TYPE_COMPLEX64) are not supported"},
        {"rgb.nii", "the data type NIFTI_TYPE_RGB24 is not supported"},
        {"five.nii", "the image has 5 dimensions; only 3D and 4D images are read"},
        {"truncated.nii", "expected at least"},
        {"truncated.nii.gz", "the image data end early (in volume 2 of 2)"},
        {"short_header.nii.gz", "the file holds 100 header bytes, too few for a NIfTI-1 header (348)"},
        {"empty.nii", "the file is empty"},
        {"negative.nii", "dimension 1 has size -5; every dimension must be at least 1"},
        {"huge.nii", "32767 x 32767 x 32767 x 32767 voxels of 4 bytes need"},
        {"text.nii", "this is not a NIfTI-1 image"},
        {"nifti2.nii", "this is a NIfTI-2 image; only NIfTI-1 is read"},
        {"missing.nii.gz", "No such file or directory"},
        {"image.hdr", "unknown file type (expected .fmr, .vmr, .nii or .nii.gz)"},
    };
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.file;
        const std::string m = open_error(path);
        EXPECT_NE(m.find("\"" + path + "\""), std::string::npos) << m;
        EXPECT_NE(m.find(c.expected), std::string::npos) << c.file << ": " << m;
    }
}

// Reads a saved NIfTI copy with nifticlib itself.
Nim read_back(const std::string& path) { return Nim(nifti_image_read(path.c_str(), 1)); }

TEST(HostNifti, saving_with_fmr_output_writes_float32_with_the_source_geometry_beside_the_fmr) {
    const std::string dir = test::scratch_dir("host_nifti_copy");
    Nim source = index_series();
    save(source.get(), dir + "/bold.nii.gz");
    save(source.get(), dir + "/plain.nii");
    host::Host& h = test::fresh_host();
    h.output_dir = dir + "/out";
    std::filesystem::create_directories(h.output_dir);
    h.fmr_output = true;
    host::install_disk_saver(h);
    h.add_document(host::open_document(dir + "/bold.nii.gz", false));
    h.add_document(host::open_document(dir + "/plain.nii", false));
    ASSERT_TRUE(h.set_current(0));
    ASSERT_EQ(hsSaveFMRAndSTC("bold_b0.fmr", "bold_b0"), 1) << h.host_log.back();
    ASSERT_TRUE(h.set_current(1));
    ASSERT_EQ(hsSaveFMRAndSTC("plain_b0.fmr", "plain_b0"), 1) << h.host_log.back();
    EXPECT_EQ(test::listing(h.output_dir), (std::vector<std::string>{"bold_b0.fmr", "bold_b0.nii.gz", "bold_b0.stc",
                                                                     "plain_b0.fmr", "plain_b0.nii", "plain_b0.stc"}));
    // The .gz copy really is compressed; the .nii one is not.
    EXPECT_EQ(test::read_file(h.output_dir + "/bold_b0.nii.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(test::read_file(h.output_dir + "/plain_b0.nii").substr(344, 3), "n+1");

    for (const char* name : {"/bold_b0.nii.gz", "/plain_b0.nii"}) {
        Nim back = read_back(h.output_dir + name);
        ASSERT_TRUE(back) << name;
        EXPECT_EQ(back->datatype, NIFTI_TYPE_FLOAT32);
        EXPECT_EQ(back->nx, test::kNx);
        EXPECT_EQ(back->ny, test::kNy);
        EXPECT_EQ(back->nz, test::kNz);
        EXPECT_EQ(back->nt, test::kNt);
        EXPECT_EQ(std::memcmp(back->data, source->data, source->nvox * sizeof(float)), 0) << name;
        EXPECT_EQ(back->sform_code, source->sform_code);
        EXPECT_EQ(back->qform_code, source->qform_code);
        EXPECT_EQ(std::memcmp(&back->sto_xyz, &source->sto_xyz, sizeof(mat44)), 0) << name;
        EXPECT_EQ(back->quatern_b, source->quatern_b);
        EXPECT_EQ(back->qoffset_z, source->qoffset_z);
        EXPECT_EQ(back->qfac, source->qfac);
        EXPECT_FLOAT_EQ(back->dt, 2.0f);
    }
}

// A result takes its document's format: NIfTI sources give NIfTI only, with
// or without nifti_output, and the record names the files that were written.
TEST(HostNifti, saves_of_nifti_documents_write_nifti_only_and_the_record_names_it) {
    const std::string dir = test::scratch_dir("host_nifti_only");
    Nim source = index_series();
    save(source.get(), dir + "/bold.nii.gz");
    save(source.get(), dir + "/plain.nii");
    for (const bool nifti_output : {false, true}) {
        host::Host& h = test::fresh_host();
        h.output_dir = dir + (nifti_output ? "/with" : "/without");
        std::filesystem::create_directories(h.output_dir);
        h.nifti_output = nifti_output;
        host::install_disk_saver(h);
        h.add_document(host::open_document(dir + "/bold.nii.gz", false));
        h.add_document(host::open_document(dir + "/plain.nii", false));
        ASSERT_TRUE(h.set_current(0));
        ASSERT_EQ(hsSaveFMRAndSTC("bold_b0.fmr", "bold_b0"), 1) << h.host_log.back();
        ASSERT_TRUE(h.set_current(1));
        ASSERT_EQ(hsSaveFMRAndSTC("plain_b0.fmr", "plain_b0"), 1) << h.host_log.back();
        EXPECT_EQ(test::listing(h.output_dir), (std::vector<std::string>{"bold_b0.nii.gz", "plain_b0.nii"}));
        ASSERT_EQ(h.saves.size(), 2u);
        const std::string gz = h.output_dir + "/bold_b0.nii.gz";
        EXPECT_EQ(h.saves[0].requested, h.output_dir + "/bold_b0.fmr");
        EXPECT_EQ(h.saves[0].path, gz);
        EXPECT_EQ(h.saves[0].files, std::vector<std::string>{gz});
        EXPECT_EQ(h.saves[0].fmr, "");
        EXPECT_EQ(h.saves[0].stc, "");
        EXPECT_EQ(h.saves[1].path, h.output_dir + "/plain_b0.nii");
        // The record's path opens as the saved document, voxel for voxel.
        for (size_t k = 0; k < 2; ++k) {
            const host::Document back = host::open_document(h.saves[k].path, false);
            EXPECT_EQ(back.fmr.NrOfVolumes, test::kNt);
            for (int v = 0; v < test::kNt; ++v)
                EXPECT_TRUE(std::equal(back.float_volumes[v].begin(), back.float_volumes[v].end(),
                                       h.documents()[k].float_volumes[v].begin()))
                    << k << " " << v;
        }
    }
}

// With fmr_output the FMR/STC pair comes too, and the record opens through the FMR.
TEST(HostNifti, the_record_of_a_save_with_fmr_output_names_all_three_files) {
    const std::string dir = test::scratch_dir("host_nifti_record");
    Nim source = index_series();
    save(source.get(), dir + "/bold.nii.gz");
    host::Host& h = test::fresh_host();
    h.output_dir = dir + "/out";
    std::filesystem::create_directories(h.output_dir);
    h.fmr_output = true;
    host::install_disk_saver(h);
    h.add_document(host::open_document(dir + "/bold.nii.gz", false));
    ASSERT_TRUE(h.set_current(0));
    ASSERT_EQ(hsSaveFMRAndSTC("bold_b0.fmr", "bold_b0"), 1) << h.host_log.back();
    const std::string o = h.output_dir + "/bold_b0";
    ASSERT_EQ(h.saves.size(), 1u);
    EXPECT_EQ(h.saves[0].path, o + ".fmr");
    EXPECT_EQ(h.saves[0].fmr, o + ".fmr");
    EXPECT_EQ(h.saves[0].stc, o + ".stc");
    EXPECT_EQ(h.saves[0].files, (std::vector<std::string>{o + ".fmr", o + ".stc", o + ".nii.gz"}));
    for (const std::string& f : h.saves[0].files) EXPECT_TRUE(std::filesystem::exists(f)) << f;
    const host::Document back = host::open_document(h.saves[0].path, false);
    EXPECT_EQ(back.float_volumes[1], h.documents()[0].float_volumes[1]);
}

TEST(HostNifti, copy_of_an_fmr_source_carries_the_affine_of_its_position_record) {
    const std::string dir = test::scratch_dir("host_nifti_from_fmr");
    host::Host& h = test::fresh_host();
    h.output_dir = dir;
    h.nifti_output = true;
    host::install_disk_saver(h);
    const host::Document original = test::index_fmr_document("run.fmr", 1);
    h.add_document(original);
    ASSERT_TRUE(h.set_current(0));
    ASSERT_EQ(hsSaveFMRAndSTC("run_x.fmr", "run_x"), 1) << h.host_log.back();

    const host::Document back = host::open_document(dir + "/run_x.nii.gz", false);
    // Tolerance: the affine is formed and applied in single precision at magnitudes near 100.
    const float tol = 2e-5f * 100;
    const float* a = &original.position.Slice1CenterX;
    const float* b = &back.position.Slice1CenterX;
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(b[i], a[i], tol) << "field " << i;
    EXPECT_NEAR(back.fmr.InplaneResolutionX, 3.5f, 1e-5f);
    EXPECT_NEAR(back.fmr.InplaneResolutionY, 2.25f, 1e-5f);
    EXPECT_NEAR(back.fmr.VoxelSizeZ, 3.5f, 1e-5f);
    const size_t n = static_cast<size_t>(test::kNx) * test::kNy * test::kNz;
    for (size_t t = 0; t < 3; ++t)
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(back.float_volumes[t][i], static_cast<float>(original.int_volumes[t][i]));
}

}  // namespace
}  // namespace warpmender
