// Host document access through the substitute host: selection list, records, conversion to double.
#include "io/host_documents.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "tests/io_test_support.h"

namespace warpmender {
namespace {

using host::Answer;
using host::make_fmr_document;
using host::make_vmr_document;

// Two FMR projects (ids 0 and 1) and a VMR (id 2).
host::Host& two_fmrs_and_a_vmr() {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("dir/a.fmr", 3, 2, 1, 1));
    h.add_document(make_fmr_document("dir/b.fmr", 3, 2, 1, 1));
    h.add_document(make_vmr_document("anat.vmr", 5, 7, 3));
    return h;
}

TEST(IoHostDocuments, fmr_selection_lists_only_fmrs_and_accepts_0_to_n) {
    host::Host& h = two_fmrs_and_a_vmr();
    h.queue_answer(Answer::of(1));
    EXPECT_EQ(selectfmrfromcurrentdocs("Please select the phase file: "), 1);

    const std::vector<std::string> log = {
        "Collecting names of open projects...",
        "Number in workspace: 0, project type: FMR",
        "Number in workspace: 1, project type: FMR",
        "Number in workspace: 2, project type: VMR",
    };
    EXPECT_EQ(h.log, log);
    ASSERT_EQ(h.dialogs.size(), 1u);
    const host::DialogRecord& d = h.dialogs[0];
    EXPECT_EQ(d.kind, "integer");
    EXPECT_EQ(d.prompt, "<HTML>Please select the phase file: <P>\n\n0 = dir/a.fmr<BR>\n\n1 = dir/b.fmr<BR>\n\n</HTML>");
    EXPECT_EQ(d.default_value, 0);
    EXPECT_EQ(d.minimum, 0);
    EXPECT_EQ(d.maximum, 3);          // the number of documents, not the last index
    EXPECT_EQ(h.current_index(), 2);  // the caller makes the choice current
}

TEST(IoHostDocuments, vmr_selection_lists_only_vmrs) {
    host::Host& h = two_fmrs_and_a_vmr();
    h.queue_answer(Answer::of(2));
    EXPECT_EQ(selectvmrfromcurrentdocs("Anatomy"), 2);
    ASSERT_EQ(h.dialogs.size(), 1u);
    EXPECT_EQ(h.dialogs[0].prompt, "<HTML>Anatomy<P>\n\n2 = anat.vmr<BR>\n\n</HTML>");
    EXPECT_EQ(h.dialogs[0].maximum, 3);
}

TEST(IoHostDocuments, every_document_type_is_named_in_the_log) {
    struct Case {
        int type;
        const char* text;
    };
    const Case cases[] = {{1, "FMR"}, {2, "DMR"}, {3, "VMR"}, {4, "SRF"}, {0, "Unknown"}, {7, "Unknown"}};
    host::Host& h = test::bound_host();
    for (const Case& c : cases) {
        host::Document d = make_fmr_document("x.fmr", 1, 1, 1, 1);
        d.type = c.type;
        h.add_document(d);
    }
    h.queue_answer(Answer::of(0));
    selectfmrfromcurrentdocs("p");
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(h.log[i + 1], "Number in workspace: " + std::to_string(i) + ", project type: " + cases[i].text);
    EXPECT_EQ(h.dialogs[0].prompt, "<HTML>p<P>\n\n0 = x.fmr<BR>\n\n</HTML>");  // only the real FMR is listed
}

TEST(IoHostDocuments, selection_list_grows_beyond_65534_bytes) {
    host::Host& h = test::bound_host();
    const int n = 400;
    for (int i = 0; i < n; ++i) {
        std::string name = "run" + std::to_string(i) + "_";
        name.resize(250, 'x');
        h.add_document(make_fmr_document(name + ".fmr", 1, 1, 1, 1));
    }
    h.queue_answer(Answer::of(n - 1));
    EXPECT_EQ(selectfmrfromcurrentdocs("p"), n - 1);
    const std::string& list = h.dialogs.at(0).prompt;
    EXPECT_GT(list.size(), 65534u);
    std::string last = "run399_";
    last.resize(250, 'x');
    const std::string tail = "399 = " + last + ".fmr<BR>\n\n</HTML>";
    ASSERT_GE(list.size(), tail.size());
    EXPECT_EQ(list.substr(list.size() - tail.size()), tail);
}

TEST(IoHostDocuments, conversion_keeps_16_bit_values_unsigned) {
    struct Case {
        uint16_t stored;
        double expected;
    };
    const Case cases[] = {{65535, 65535.0}, {32768, 32768.0}, {32767, 32767.0}, {0, 0.0}};
    for (const Case& c : cases) {
        host::Host& h = test::bound_host();
        host::Document d = make_fmr_document("a.fmr", 1, 1, 1, 1, 1);
        d.int_volumes[0][0] = c.stored;
        h.add_document(d);
        h.set_current(0);
        fmrfile f;
        ASSERT_TRUE(getcurrentfmr(&f));
        std::unique_ptr<double[]> v(fmrhs2double(&f, false));
        EXPECT_EQ(v[0], c.expected) << c.stored;
    }
}

TEST(IoHostDocuments, a_project_without_volumes_counts_one_and_converts_to_zeros) {
    // Buffers present, but the header says no volumes: nothing is copied.
    host::Host& h = test::bound_host();
    host::Document d = make_fmr_document("a.fmr", 3, 2, 2, 1, 1);
    std::fill(d.int_volumes[0].begin(), d.int_volumes[0].end(), 7);
    d.fmr.NrOfVolumes = 0;
    h.add_document(d);
    h.add_document(make_fmr_document("b.fmr", 3, 2, 2, 0, 2));  // no buffers at all
    for (int doc = 0; doc < 2; ++doc) {
        h.set_current(doc);
        fmrfile f;
        ASSERT_TRUE(getcurrentfmr(&f));
        EXPECT_EQ(f.nrofvalues, 12);
        std::unique_ptr<double[]> v(fmrhs2double(&f, false));
        for (int i = 0; i < 12; ++i) EXPECT_EQ(v[i], 0.0) << doc << " " << i;
    }
    // As a volume it has one volume of zeros, so that its count matches its buffer.
    h.queue_answer(Answer::of(0));
    datahandler<double> dh;
    ASSERT_TRUE(getcurrentfmrdouble_gui("p", &dh));
    EXPECT_EQ(dh.getnt(), 1);
    EXPECT_EQ(dh.getnrofelems(), 12);
}

TEST(IoHostDocuments, value_count_of_a_long_series_does_not_overflow_32_bits) {
    host::Host& h = test::bound_host();
    host::Document d = make_fmr_document("long.fmr", 1, 1, 1, 1);
    d.fmr.ResolutionX = 256;  // only the header is read: no buffer of this size exists
    d.fmr.ResolutionY = 256;
    d.fmr.NrOfSlices = 64;
    d.fmr.NrOfVolumes = 1000;
    h.add_document(d);
    h.set_current(0);
    fmrfile f;
    ASSERT_TRUE(getcurrentfmr(&f));
    EXPECT_EQ(f.nrofvalues, 4194304000LL);  // 2^31 - 1 would have wrapped
}

TEST(IoHostDocuments, record_takes_the_buffers_of_its_data_type) {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("i.fmr", 2, 2, 1, 2, 1));
    h.add_document(make_fmr_document("f.fmr", 2, 2, 1, 2, 2));
    host::Document odd = make_fmr_document("o.fmr", 2, 2, 1, 1, 2);
    odd.fmr.DataType = 3;
    std::fill(odd.float_volumes[0].begin(), odd.float_volumes[0].end(), 5.0f);
    h.add_document(odd);

    fmrfile f;
    h.set_current(0);
    ASSERT_TRUE(getcurrentfmr(&f));
    EXPECT_EQ(f.fmrversion, 5);
    EXPECT_EQ(f.nrofvalues, 8);
    EXPECT_FALSE(f.isfloat);
    EXPECT_EQ(f.intstc, h.documents()[0].int_pointers.data());
    EXPECT_EQ(f.floatstc, nullptr);
    ASSERT_NE(f.scannerpos, nullptr);
    EXPECT_EQ(f.scannerpos->NCols, 2);

    h.set_current(1);  // the same record read again forgets the 16-bit buffers
    ASSERT_TRUE(getcurrentfmr(&f));
    EXPECT_TRUE(f.isfloat);
    EXPECT_EQ(f.floatstc, h.documents()[1].float_pointers.data());
    EXPECT_EQ(f.intstc, nullptr);

    h.set_current(2);  // an unknown data type converts to zeros
    ASSERT_TRUE(getcurrentfmr(&f));
    std::unique_ptr<double[]> v(fmrhs2double(&f, false));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(v[i], 0.0);

    h.set_current(-1);  // no current document: nothing delivered
    EXPECT_FALSE(getcurrentfmr(&f));
}

TEST(IoHostDocuments, second_data_set_is_read_as_16_bit_values) {
    host::Host& h = test::bound_host();
    h.add_document(make_fmr_document("f.fmr", 2, 1, 1, 1, 2));
    h.set_current(0);
    fmrfile f;
    ASSERT_TRUE(getcurrentfmr(&f));
    unsigned short second[2] = {65535, 3};
    f.secondstc = second;
    std::unique_ptr<double[]> v(fmrhs2double(&f, true));
    EXPECT_EQ(v[0], 65535.0);
    EXPECT_EQ(v[1], 3.0);
}

// 23 x 17 x 11 x 3 voxels holding their own index catch any transposition.
TEST(IoHostDocuments, volume_keeps_x_fastest_then_y_slice_volume) {
    for (int type : {1, 2}) {
        host::Host& h = test::bound_host();
        host::Document d = make_fmr_document("dir/run.fmr", 23, 17, 11, 3, type, 1.5f);
        d.fmr.InplaneResolutionY = 2.0f;
        d.fmr.VoxelSizeZ = 3.5f;
        const size_t n = 23 * 17 * 11;
        for (size_t v = 0; v < 3; ++v)
            for (size_t i = 0; i < n; ++i) {
                if (type == 1)
                    d.int_volumes[v][i] = static_cast<uint16_t>(v * n + i);
                else
                    d.float_volumes[v][i] = static_cast<float>(v * n + i);
            }
        h.add_document(make_vmr_document("anat.vmr", 2, 2, 2));
        h.add_document(d);
        h.queue_answer(Answer::of(1));

        datahandler<double> dh;
        fmrfile f;
        ASSERT_TRUE(getcurrentfmrdouble_gui("Please select the EPI file: ", &dh, &f));
        EXPECT_EQ(h.current_index(), 1);
        EXPECT_EQ(dh.getstatus(), STATUS_VALID);
        EXPECT_EQ(dh.getnx(), 23);
        EXPECT_EQ(dh.getny(), 17);
        EXPECT_EQ(dh.getnz(), 11);
        EXPECT_EQ(dh.getnt(), 3);
        EXPECT_EQ(dh.getbytesperelem(), 8u);
        EXPECT_EQ(dh.getdx(), 1.5f);
        EXPECT_EQ(dh.getdy(), 2.0f);
        EXPECT_EQ(dh.getdz(), 3.5f);
        EXPECT_EQ(dh.getdt(), 0.0f);
        EXPECT_STREQ(dh.getname(), "dir/run.fmr");
        EXPECT_EQ(dh.get(4, 5, 6, 2), 4 + 23 * (5 + 17 * (6 + 11 * 2))) << type;
        EXPECT_EQ(dh.get(22, 16, 10, 0), 22 + 23 * (16 + 17 * 10)) << type;
        EXPECT_EQ(dh.get(0, 1, 0, 1), 23 + 23 * 17 * 11) << type;
        EXPECT_EQ(h.log.back(), "Values of Values of current FMR:\n\tMaximum: 12902.000000\n\tMinimum: 0.000000\n"
                                "\tRange: 12902.000000\n\tMean: 6451.000000");
    }
}

TEST(IoHostDocuments, summary_taken_while_converting_has_the_bits_of_the_plain_loop) {
    // A masked-looking float series: zeros, negatives, fractions whose running
    // sum rounds at every step; the mean's sixth decimal shows any change of order.
    host::Host& h = test::bound_host();
    host::Document d = make_fmr_document("run.fmr", 23, 17, 11, 3, 2, 1.0f);
    const size_t n = 23 * 17 * 11;
    double mn = 0.0, mx = 0.0, sum = 0.0;
    for (size_t v = 0; v < 3; ++v)
        for (size_t i = 0; i < n; ++i) {
            const float value = (i / 7) % 3 == 0 ? 0.0f : std::sin(0.1f * static_cast<float>(i + v)) * 1234.567f;
            d.float_volumes[v][i] = value;
            if (mn > value) mn = value;
            if (value > mx) mx = value;
            sum += value;
        }
    h.add_document(d);
    h.queue_answer(Answer::of(0));
    datahandler<double> dh;
    ASSERT_TRUE(getcurrentfmrdouble_gui("p", &dh));
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "Values of Values of current FMR:\n\tMaximum: %lf\n\tMinimum: %lf\n\tRange: %lf\n\tMean: %lf", mx, mn,
                  std::fabs(mn) + mx, sum / static_cast<double>(3 * n));
    EXPECT_EQ(h.log.back(), expected);
}

TEST(IoHostDocuments, a_choice_that_is_no_fmr_gives_status_92) {
    struct Case {
        int answer;
        const char* what;
    };
    const Case cases[] = {{3, "the maximum, n, is no document"}, {2, "the VMR"}};
    for (const Case& c : cases) {
        host::Host& h = two_fmrs_and_a_vmr();
        h.queue_answer(Answer::of(c.answer));
        datahandler<double> dh;
        EXPECT_FALSE(getcurrentfmrdouble_gui("p", &dh)) << c.what;
        EXPECT_EQ(dh.getstatus(), STATUS_NODATA) << c.what;
        EXPECT_EQ(h.log.back(), "Could not get FMR data") << c.what;

        h.queue_answer(Answer::of(c.answer));
        std::unique_ptr<datahandler<double>> ext(getcurrentfmrext_gui("p"));
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->getstatus(), STATUS_NODATA) << c.what;
        EXPECT_FALSE(ext->hasdata());
    }
}

TEST(IoHostDocuments, ext_form_returns_a_new_volume_named_after_the_project) {
    host::Host& h = two_fmrs_and_a_vmr();
    h.documents()[1].float_volumes[0][5] = -4.5f;
    h.queue_answer(Answer::of(1));
    std::unique_ptr<datahandler<double>> v(getcurrentfmrext_gui("p"));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->getstatus(), STATUS_VALID);
    EXPECT_STREQ(v->getname(), "dir/b.fmr");
    EXPECT_EQ(v->getnrofelems(), 6);
    EXPECT_EQ(v->get(5), -4.5);
}

TEST(IoHostDocuments, vmr_record_points_at_the_host_voxels) {
    host::Host& h = two_fmrs_and_a_vmr();
    host::Document& anat = h.documents()[2];
    for (size_t i = 0; i < anat.voxels.size(); ++i) anat.voxels[i] = static_cast<uint8_t>(i);
    anat.vmr.VoxelSizeX = 0.9f;
    h.queue_answer(Answer::of(2));
    vmrHdr v;
    ASSERT_TRUE(getcurrentvmr_gui("Please select the anatomy: ", &v));
    EXPECT_EQ(v.version, 1);
    EXPECT_EQ(v.dimx, 5);
    EXPECT_EQ(v.dimy, 7);
    EXPECT_EQ(v.dimz, 3);
    EXPECT_EQ(v.data, anat.voxels.data());
    EXPECT_EQ(v.data[4 + 5 * (6 + 7 * 2)], static_cast<uint8_t>(4 + 5 * (6 + 7 * 2)));
    EXPECT_STREQ(v.name, "anat.vmr");
    ASSERT_NE(v.header, nullptr);
    EXPECT_EQ(v.name, v.header->FileName);
    EXPECT_EQ(v.header->VoxelSizeX, 0.9f);
    ASSERT_NE(v.scannerpos, nullptr);
    EXPECT_EQ(v.scannerpos->NCols, 5);
    ASSERT_NE(v.pasttransformations, nullptr);  // kept even when the host holds none
    EXPECT_EQ(v.pasttransformations->count, 0);
}

TEST(IoHostDocuments, vmr_failure_logs_both_lines) {
    host::Host& h = two_fmrs_and_a_vmr();
    h.queue_answer(Answer::of(0));  // an FMR
    vmrHdr v;
    EXPECT_FALSE(getcurrentvmr_gui("p", &v));
    ASSERT_GE(h.log.size(), 2u);
    EXPECT_EQ(h.log[h.log.size() - 2], "Could not obtain main header of VMR file.");
    EXPECT_EQ(h.log.back(), "Could not get VMR data");
    EXPECT_EQ(v.header, nullptr);
}

TEST(IoHostDocuments, vmr_sizes_beyond_16_bits_are_refused) {
    host::Host& h = test::bound_host();
    host::Document d = make_vmr_document("big.vmr", 2, 2, 2);
    d.vmr.DimX = 70000;  // would narrow to 4464
    h.add_document(d);
    h.set_current(0);
    vmrHdr v;
    EXPECT_FALSE(getcurrentvmr(&v));
    EXPECT_EQ(h.log.back(), "The current VMR has dimensions 70000 x 2 x 2; each must lie in 1..65535.");
    EXPECT_EQ(v.data, nullptr);
}

}  // namespace
}  // namespace warpmender
