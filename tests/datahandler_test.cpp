// The volume container: rescaling, statistics, summary text, header copy, conversions.
#include "core/datahandler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace warpmender {
namespace {

datahandler<double>* volume_of(std::vector<double> values) {
    double* d = new double[values.size()];
    std::copy(values.begin(), values.end(), d);
    return new datahandler<double>(d, static_cast<long>(values.size()), 1, 1, 8);
}

TEST(Datahandler, index_order_has_x_fastest_then_y_z_t) {
    datahandler<double> v(new double[23 * 17 * 11 * 3], 23, 17, 11, 3, 8);
    EXPECT_EQ(v.getnrofelems(), 23 * 17 * 11 * 3);
    for (long i = 0; i < v.getnrofelems(); ++i) v.setvalue(i, double(i));
    EXPECT_EQ(v.get(4, 5, 6, 2), 4 + 23 * (5 + 17 * (6 + 11 * 2)));
    EXPECT_EQ(v.get(22, 16, 10), 22 + 23 * (16 + 17 * 10));
    std::vector<double> slice(23 * 17);
    v.getslice(3, slice.data());
    EXPECT_EQ(slice[5 + 23 * 2], v.get(5, 2, 3));
    std::vector<double> vol(23 * 17 * 11);
    v.getvol(2, vol.data());
    EXPECT_EQ(vol[0], v.get(0, 0, 0, 2));
}

TEST(Datahandler, counts_are_64_bit) {
    datahandler<uint8_t> v(70000, 70000, 1, 1, 1);  // shape only: 4.9e9 elements
    EXPECT_EQ(v.getnrofelems(), 70000L * 70000L);
    EXPECT_EQ(v.index(69999, 69999, 0, 0), 70000L * 70000L - 1);
}

struct RescaleCase {
    std::vector<double> in;
    double newmin, newmax;
    std::vector<double> out;
};

TEST(Datahandler, nijdam_maps_the_zero_inclusive_range) {
    const RescaleCase cases[] = {
        {{2, 6}, 0, 16384, {16384.0 / 3.0, 16384}},  // 0, not 2, maps to 0
        {{-2, 6}, 0, 16384, {0, 16384}},             // scale 2048, offset 4096
        {{1, 2}, 100, 200, {250, 400}},              // a positive minimum shifts the top to 400
        {{0, 4095}, -3.14159265358979, 3.14159265358979, {-3.14159265358979, 3.14159265358979}},
        {{0, 0, 0}, 0, 255, {0, 0, 0}},  // no range: unchanged
    };
    for (const auto& c : cases) {
        std::vector<double> buf = c.in;
        datahandler<double>::scaleintensities_nijdam(buf.data(), long(buf.size()), c.newmin, c.newmax);
        for (size_t i = 0; i < buf.size(); ++i) EXPECT_NEAR(buf[i], c.out[i], 1e-9) << i;
    }
}

TEST(Datahandler, copying_rescale_adds_1e12_to_the_target_range) {
    std::unique_ptr<datahandler<double>> v(volume_of({0, 1}));
    std::vector<double> out(2);
    ASSERT_TRUE(v->scaleintensities_nijdam2(out.data(), 0.0, 16384.0));
    EXPECT_EQ(out[1], 16384.0 + 1e-12);  // the widened range is visible in the top value
    EXPECT_EQ(v->get(1), 1.0);           // own buffer untouched
}

TEST(Datahandler, copying_rescale_of_empty_container_fails_and_writes_nothing) {
    datahandler<double> empty;
    double out[2] = {7, 7};
    EXPECT_FALSE(empty.scaleintensities_nijdam2(out, 0, 1));
    EXPECT_EQ(out[0], 7);
}

TEST(Datahandler, copying_rescale_of_all_zero_buffer_keeps_values) {
    std::unique_ptr<datahandler<double>> v(volume_of({0, 0, 0}));
    std::vector<double> out(3, 5.0);
    EXPECT_TRUE(v->scaleintensities_nijdam2(out.data(), 0, 16384));
    EXPECT_EQ(out, std::vector<double>(3, 0.0));
}

TEST(Datahandler, unsigned16_rescale_is_single_precision_into_new_array) {
    const float in[2] = {-2.0f, 6.0f};
    auto out = datahandler<uint16_t>::scaleintensities_nijdam(in, 2, 0.0f, 16384.0f);
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_FLOAT_EQ(out[1], 16384.0f);
    EXPECT_EQ(in[0], -2.0f);
}

TEST(Datahandler, minimum_and_maximum_include_zero) {
    std::unique_ptr<datahandler<double>> neg(volume_of({-5, -1}));
    EXPECT_EQ(neg->getmax(), 0.0f);
    EXPECT_EQ(neg->getmin(), -5.0f);
    std::unique_ptr<datahandler<double>> pos(volume_of({3, 8}));
    EXPECT_EQ(pos->getmin(), 0.0f);
    EXPECT_EQ(pos->getrange(), 8.0f);
    EXPECT_EQ(neg->getrange(), 5.0f);
}

TEST(Datahandler, means_single_and_double) {
    std::unique_ptr<datahandler<double>> v(volume_of({1, 2, 3, 4}));
    EXPECT_EQ(v->getmean(), 2.5f);
    EXPECT_EQ(v->getmean_d(), 2.5);
    // The float accumulator loses what double keeps.
    std::unique_ptr<datahandler<double>> w(volume_of({16777216.0, 1.0}));
    EXPECT_EQ(w->getmean(), 8388608.0f);
    EXPECT_EQ(w->getmean_d(), 8388608.5);
}

TEST(Datahandler, summary_text_has_fixed_labels) {
    std::unique_ptr<datahandler<double>> v(volume_of({-1, 3}));
    EXPECT_EQ(v->displayintensityvalues("x"),
              "Values of x:\n\tMaximum: 3.000000\n\tMinimum: -1.000000\n\tRange: 4.000000\n\tMean: 1.000000");
    EXPECT_EQ(v->displayintensityvalues().substr(0, 15), "Values of data:");
}

TEST(Datahandler, summary_of_doubles_has_the_bits_of_the_plain_loop) {
    // Runs of zeros of both signs (stepped over), a masked-looking background,
    // NaN and infinities, values whose sum rounds at every step, and lengths
    // that leave every tail of the four-at-a-time loop.
    const double nan = std::nan(""), inf = HUGE_VAL;
    std::vector<double> v;
    unsigned x = 7;
    for (int i = 0; i < 5000; ++i) {
        x = x * 1664525u + 1013904223u;
        const unsigned kind = (x >> 8) % 16;
        v.push_back(kind < 7 ? 0.0 : kind < 9 ? -0.0 : kind == 9 ? -1e-3 * (x >> 12) : 0.1 * (x >> 12) + 1e-7);
    }
    v[1234] = nan;
    v[2345] = -inf;
    v[3456] = inf;
    for (size_t length : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(5), size_t(1233), size_t(1234),
                          size_t(1235), size_t(2000), size_t(3456), v.size()}) {
        for (size_t start : {size_t(0), size_t(1)}) {
            if (start + length > v.size()) continue;
            double mn = 0.0, mx = 0.0, sum = 0.0;
            for (size_t i = start; i < start + length; ++i) {
                if (mn > v[i]) mn = v[i];
                if (v[i] > mx) mx = v[i];
                sum += v[i];
            }
            // Whole, and in pieces of the sizes the passes hand over.
            std::vector<IntensitySummary> got{summarize_intensities(v.data() + start, static_cast<long>(length))};
            for (size_t piece : {size_t(1), size_t(3), size_t(7), size_t(96)}) {
                IntensityAccumulator a;
                for (size_t i = 0; i < length; i += piece)
                    a.add(v.data() + start + i, static_cast<long>(std::min(piece, length - i)));
                got.push_back(a.result());
            }
            // Two at once, the second over the values in reverse.
            std::vector<double> reversed(v.rbegin(), v.rend());
            IntensityAccumulator a, b;
            for (size_t i = 0; i < length; i += 96) {
                const long count = static_cast<long>(std::min(size_t(96), length - i));
                IntensityAccumulator::add_pair(a, v.data() + start + i, b, reversed.data() + start + i, count);
            }
            got.push_back(a.result());
            IntensityAccumulator alone;
            alone.add(reversed.data() + start, static_cast<long>(length));
            const IntensitySummary rb = b.result(), ra = alone.result();
            EXPECT_EQ(0, std::memcmp(&rb, &ra, sizeof rb)) << length << " from " << start;
            for (const IntensitySummary& s : got) {
                EXPECT_EQ(0, std::memcmp(&s.min, &mn, sizeof mn)) << length << " from " << start;
                EXPECT_EQ(0, std::memcmp(&s.max, &mx, sizeof mx)) << length << " from " << start;
                EXPECT_EQ(0, std::memcmp(&s.sum, &sum, sizeof sum)) << length << " from " << start;
            }
        }
    }
}

TEST(Datahandler, header_copy_names_empty_source_none_and_marks_valid) {
    datahandler<double> src(new double[6], 3, 2, 1, 8);
    src.setresolution(1.5f, 2.5f, 3.5f, 2.0f);
    src.setposition(7, 1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 30);
    datahandler<float> dst;
    src.copyheader(&dst);
    EXPECT_STREQ(dst.getname(), "none");
    EXPECT_EQ(dst.getstatus(), STATUS_VALID);
    EXPECT_EQ(dst.getnrofelems(), 6);
    EXPECT_EQ(dst.getdz(), 3.5f);
    EXPECT_EQ(dst.getdt(), 2.0f);
    EXPECT_FALSE(dst.hasdata());
    ASSERT_TRUE(dst.hasposition());
    EXPECT_EQ(dst.getposition().m[7], 20.0);
    EXPECT_EQ(dst.getposition().m[15], 1.0);
    src.setname("dir/a.fmr");
    src.copyheader(&dst);
    EXPECT_STREQ(dst.getname(), "dir/a.fmr");
}

TEST(Datahandler, shape_setters) {
    datahandler<double> v;
    v.setresolution(1, 2, 3, 4);
    v.setresolution(1, 2, 3);
    EXPECT_EQ(v.getdt(), 0.0f);
    v.set(2, 3, 4, 5, new double[120], "a", 8);
    EXPECT_EQ(v.getnrofelems(), 120);
    v.set(2, 3, 4, new double[24]);
    EXPECT_EQ(v.getnt(), 1);
    EXPECT_EQ(v.getnrofelems(), 24);
    EXPECT_EQ(v.getposition().m[0], 1.0);  // identity when no position is held
    EXPECT_EQ(v.getposition().m[1], 0.0);
}

TEST(Datahandler, copyvolume_refuses_other_grid) {
    datahandler<double> a(new double[8](), 2, 2, 2, 8);
    datahandler<double> b(new double[12](), 3, 2, 2, 8);
    a.setvalue(0, 5.0);
    EXPECT_FALSE(a.copyvolume(&b, 0, 0));
    EXPECT_EQ(b.get(0), 0.0);
    datahandler<double> c(new double[16](), 2, 2, 2, 2, 8);
    EXPECT_TRUE(a.copyvolume(&c, 0, 1));
    EXPECT_EQ(c.get(0, 0, 0, 1), 5.0);
}

TEST(Datahandler, complex_polar_conversion_truncates) {
    datahandler<complexdouble> v(new complexdouble[2]{{3, 4}, {-1, 0}}, 2, 1, 1, 16);
    v.setcomplexrepresentation(REPR_RECTANGULAR);
    ASSERT_TRUE(v.rectangular2polar());
    EXPECT_EQ(v.get(0), complexdouble(5, 0));  // atan2(4, 3) = 0.93 truncates to 0
    EXPECT_EQ(v.get(1), complexdouble(1, 3));
    v.setcomplexrepresentation(REPR_NONE);
    EXPECT_FALSE(v.rectangular2polar());
    EXPECT_FALSE(v.polar2rectangular());
}

TEST(Datahandler, sixteen_bit_casts_keep_low_bits) {
    datahandler<uint16_t> u(new uint16_t[3], 3, 1, 1, 2);
    const double in[3] = {-1.7, 2.9, 65536.0 + 5.0};
    ASSERT_TRUE(u.castdouble2native(in));
    EXPECT_EQ(u.get(0), 65535);
    EXPECT_EQ(u.get(1), 2);
    EXPECT_EQ(u.get(2), 5);
    EXPECT_FALSE(u.castfloat2native(static_cast<const float*>(nullptr)));
}

TEST(Datahandler, split_deinterleaves_time_fastest_data) {
    datahandler<short> s(new short[6]{0, 10, 1, 11, 2, 12}, 3, 1, 1, 2, 2);
    short v0[3], v1[3];
    short* outs[2] = {v0, v1};
    s.split(outs, 5);
    EXPECT_EQ(v0[2], 2);
    EXPECT_EQ(v1[0], 10);
}

TEST(Datahandler, every_element_type_holds_data) {
    datahandler<uint8_t> a(new uint8_t[2]{1, 255}, 2, 1, 1, 1);
    datahandler<int16_t> b(new int16_t[2]{-3, 4}, 2, 1, 1, 2);
    datahandler<uint32_t> c(new uint32_t[2]{1, 4000000000u}, 2, 1, 1, 4);
    datahandler<long> d(new long[2]{-5, 7}, 2, 1, 1, 8);
    datahandler<float> e(new float[2]{0.5f, -0.25f}, 2, 1, 1, 4);
    EXPECT_EQ(a.getmax(), 255.0f);
    EXPECT_EQ(b.getmin(), -3.0f);
    EXPECT_EQ(c.getrange(), 4000000000.0f);
    EXPECT_EQ(d.getmean_d(), 1.0);
    std::unique_ptr<double[]> dd(e.cast2double());
    EXPECT_EQ(dd[1], -0.25);
    std::unique_ptr<float[]> ff(a.cast2float());
    EXPECT_EQ(ff[1], 255.0f);
}

}  // namespace
}  // namespace warpmender
