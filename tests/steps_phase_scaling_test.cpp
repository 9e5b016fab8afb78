// Phase scaling to radians and cycles, unit helpers, and the NIfTI branch of the volume loader.
#include <gtest/gtest.h>

#include <nifti1_io.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "plugin/steps/phase_scaling.h"
#include "plugin/steps/unreached.h"
#include "tests/steps_support.h"

namespace warpmender {
namespace {

using test::index_volume;

class StepsPhaseScaling : public test::StepsTest {};

// One element per value, on a 1 x n x 1 grid.
std::unique_ptr<datahandler<double>> values(std::initializer_list<double> v) {
    auto d = index_volume(1, static_cast<long>(v.size()), 1, 1);
    long i = 0;
    for (double x : v) d->setvalue(i++, x);
    return d;
}

// A few ulps of pi: the rescaling forms scale and offset, then x * scale + offset.
constexpr double kRescaleTolerance = 4e-15;

TEST_F(StepsPhaseScaling, to_radians_maps_zero_and_the_maximum_onto_minus_and_plus_pi) {
    struct Case {
        double lo, hi;                 // the input's extremes
        double at_zero, at_lo, at_hi;  // expected
    } cases[] = {
        {0.0, 4095.0, -kPi15, -kPi15, kPi15},
        {-2048.0, 2047.0, -kPi15 + 2048.0 * (2 * kPi15 / 4095.0), -kPi15, kPi15},
        // all-positive: 0 (not 10) maps to -pi, so the image fills only the upper part
        {10.0, 20.0, -kPi15, -kPi15 + 10.0 * (2 * kPi15 / 20.0), kPi15},
    };
    for (const auto& c : cases) {
        auto v = values({c.lo, 0.0, c.hi});
        data2radians(v.get());
        EXPECT_NEAR(v->get(0L), c.at_lo, kRescaleTolerance) << c.lo << ".." << c.hi;
        EXPECT_NEAR(v->get(1L), c.at_zero, kRescaleTolerance) << c.lo << ".." << c.hi;
        EXPECT_NEAR(v->get(2L), c.at_hi, kRescaleTolerance) << c.lo << ".." << c.hi;
    }
    EXPECT_TRUE(test::log_contains(*h, "Scale to radians between -pi and pi..."));
    EXPECT_EQ(h->log[0].rfind("Values of data before scaling:", 0), 0u);
    EXPECT_EQ(h->log[2].rfind("Values of data after scaling:", 0), 0u);
}

TEST_F(StepsPhaseScaling, to_hertz_divides_by_two_pi) {
    auto v = values({kPi15, -kPi15, 0.0});
    data2hertz(v.get());
    EXPECT_NEAR(v->get(0L), 0.5, 1e-15);  // the two 15-digit literals differ by one rounding
    EXPECT_NEAR(v->get(1L), -0.5, 1e-15);
    EXPECT_EQ(v->get(2L), 0.0);
    EXPECT_EQ(h->log[0], "Convert to Hertz representation...");
    EXPECT_EQ(h->log[1].rfind("Values of data before scaling to Hertz:", 0), 0u);
    EXPECT_EQ(h->log[2].rfind("Values of data after scaling to Hertz:", 0), 0u);
}

TEST_F(StepsPhaseScaling, the_four_named_methods) {
    struct Case {
        int method;
        double in, out;
        double tolerance;
        const char* name;
    } cases[] = {
        {4, 2048.0, 3.14159265358979, 0.0, "Scale to radians via Jenkinson's method"},
        {4, -1024.0, -kPi15 / 2, 0.0, "Scale to radians via Jenkinson's method"},
        {2, 3 * M_PI / 4, M_PI / 4, 1e-15, "Scale to radians via Zimmermann's method"},
        {2, -M_PI / 4, -M_PI / 4 + 6.28318530717958, 1e-15, "Scale to radians via Zimmermann's method"},
        {9, 123.0, 123.0, 0.0, "Scale to radians constant unknown"},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        auto v = values({c.in});
        data2radians(v.get(), c.method);
        EXPECT_NEAR(v->get(0L), c.out, c.tolerance) << c.method << " " << c.in;
        EXPECT_EQ(h->log.at(0), "Scale to radians between -pi and pi...");
        EXPECT_EQ(h->log.at(1).rfind("Values of data:", 0), 0u);
        EXPECT_EQ(h->log.at(2), c.name);
    }
}

TEST_F(StepsPhaseScaling, hutton_spans_the_range_including_zero) {
    auto v = values({0.0, 10.0, 20.0});
    data2radians(v.get(), 3);
    EXPECT_NEAR(v->get(0L), -kPi15, 1e-15);
    EXPECT_NEAR(v->get(1L), 0.0, 1e-15);
    EXPECT_NEAR(v->get(2L), kPi15, 1e-15);
}

TEST_F(StepsPhaseScaling, element_wise_methods_change_only_the_first_volume_and_nijdam_all) {
    auto jen = index_volume(3, 2, 2, 2);
    data2radians(jen.get(), 4);
    EXPECT_EQ(jen->get(1, 1, 1, 0), kPi15 * 10.0 / 2048.0);
    EXPECT_EQ(jen->get(1, 1, 1, 1), 22.0);
    auto nij = index_volume(3, 2, 2, 2);
    data2radians(nij.get(), 1);
    EXPECT_NEAR(nij->get(2, 1, 1, 1), kPi15, kRescaleTolerance);
}

TEST_F(StepsPhaseScaling, single_precision_twin) {
    float* d = new float[3]{0.0f, 2047.5f, 4095.0f};
    datahandler<float> v(d, 3, 1, 1, 1, 4);
    float2radians(&v);
    EXPECT_NEAR(v.get(0L), -3.14159265f, 1e-6f);
    EXPECT_NEAR(v.get(1L), 0.0f, 1e-6f);
    EXPECT_NEAR(v.get(2L), 3.14159265f, 1e-6f);
    ASSERT_EQ(h->log.size(), 2u);
    EXPECT_EQ(h->log[0].rfind("Values of data:", 0), 0u);
}

// A 23 x 17 x 11 x 3 NIfTI image of the given type whose voxels hold their
// own index (modulo 200, so that every type holds it exactly).
std::string write_nifti(const std::string& path, int datatype) {
    int dims[8] = {4, 23, 17, 11, 3, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, datatype, 1);
    nim->dx = nim->pixdim[1] = 2.5f;
    nim->dy = nim->pixdim[2] = 3.0f;
    nim->dz = nim->pixdim[3] = 3.5f;
    for (size_t i = 0; i < nim->nvox; ++i) {
        const double v = static_cast<double>(i % 200);
        switch (datatype) {
            case DT_UINT8: static_cast<uint8_t*>(nim->data)[i] = static_cast<uint8_t>(v); break;
            case DT_INT16: static_cast<int16_t*>(nim->data)[i] = static_cast<int16_t>(-v); break;
            case DT_INT32: static_cast<int32_t*>(nim->data)[i] = static_cast<int32_t>(-v); break;
            case DT_FLOAT32: static_cast<float*>(nim->data)[i] = static_cast<float>(v + 0.5); break;
            case DT_FLOAT64: static_cast<double*>(nim->data)[i] = v + 0.25; break;
            case DT_UINT16: static_cast<uint16_t*>(nim->data)[i] = static_cast<uint16_t>(v + 60000); break;
            case DT_UINT32: static_cast<uint32_t*>(nim->data)[i] = static_cast<uint32_t>(v + 4000000000u); break;
            default: break;  // complex and other types stay zero
        }
    }
    nifti_set_filenames(nim, path.c_str(), 0, 1);
    nifti_image_write(nim);
    nifti_image_free(nim);
    return path;
}

TEST_F(StepsPhaseScaling, nifti_images_of_every_convertible_type_load_in_their_index_order) {
    struct Case {
        int datatype;
        double (*expected)(long);
    } cases[] = {
        {DT_UINT8, [](long i) { return double(i % 200); }},
        {DT_INT16, [](long i) { return -double(i % 200); }},
        {DT_INT32, [](long i) { return -double(i % 200); }},
        {DT_FLOAT32, [](long i) { return double(i % 200) + 0.5; }},
        {DT_FLOAT64, [](long i) { return double(i % 200) + 0.25; }},
        {DT_UINT16, [](long i) { return double(i % 200) + 60000.0; }},
        {DT_UINT32, [](long i) { return double(i % 200) + 4000000000.0; }},
    };
    const std::string dir = test::scratch_dir("steps_nifti_types");
    for (const auto& c : cases) {
        const std::string path = write_nifti(dir + "/t" + std::to_string(c.datatype) + ".nii", c.datatype);
        datahandler<double> out;
        ASSERT_TRUE(getdatafromfile(path, 0, &out, "unused")) << c.datatype;
        EXPECT_EQ(out.getstatus(), STATUS_VALID);
        EXPECT_EQ(out.getnx(), 23);
        EXPECT_EQ(out.getny(), 17);
        EXPECT_EQ(out.getnz(), 11);
        EXPECT_EQ(out.getnt(), 3);
        EXPECT_EQ(out.getbytesperelem(), 8u);
        EXPECT_EQ(out.getdx(), 2.5f);
        EXPECT_EQ(out.getdy(), 3.0f);
        EXPECT_EQ(out.getdz(), 3.5f);
        EXPECT_EQ(std::string(out.getname()), path);
        for (long i = 0; i < out.getnrofelems(); ++i) ASSERT_EQ(out.get(i), c.expected(i)) << c.datatype << " @" << i;
        EXPECT_EQ(out.get(4, 3, 2, 1), c.expected(out.index(4, 3, 2, 1)));
    }
    EXPECT_TRUE(test::log_contains(*h, "Reading file:"));
}

TEST_F(StepsPhaseScaling, nifti_images_that_cannot_be_converted_leave_the_volume_not_valid) {
    const std::string dir = test::scratch_dir("steps_nifti_refused");
    struct Case {
        std::string path;
        const char* line;
    } cases[] = {
        {write_nifti(dir + "/c64.nii", DT_COMPLEX64),
         "Data are complex. Please use the warpmender utility functions to split to two files."},
        {write_nifti(dir + "/c128.nii", DT_COMPLEX128),
         "Data are complex. Please use the warpmender utility functions to split to two files."},
        {write_nifti(dir + "/i8.nii", DT_INT8), "Datatype not yet convertible"},
        {write_nifti(dir + "/rgb.nii", DT_RGB24), "Datatype not yet convertible"},
        {dir + "/missing.nii", nullptr},
    };
    for (const auto& c : cases) {
        h = &test::fresh_host();
        datahandler<double> out;
        out.setstatus(STATUS_VALID);  // whatever it held before
        EXPECT_FALSE(getdatafromfile(c.path, 0, &out, "unused")) << c.path;
        EXPECT_NE(out.getstatus(), STATUS_VALID) << c.path;
        EXPECT_FALSE(out.hasdata()) << c.path;
        EXPECT_EQ(h->log.at(0), "Get data from file...");
        EXPECT_EQ(h->log.at(1), "Reading file:");
        EXPECT_EQ(h->log.at(2), c.path);
        if (c.line != nullptr) {
            EXPECT_TRUE(test::log_contains(*h, c.line)) << c.path;
        } else {
            EXPECT_TRUE(test::log_contains(*h, "Could not read the NIfTI image \"" + c.path + "\".")) << c.path;
        }
    }
}

}  // namespace
}  // namespace warpmender
