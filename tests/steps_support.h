// Helpers of the pipeline-step tests: a bound host, index volumes, FMR documents in the workspace.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/datahandler.h"
#include "hostlink/host_binding.h"
#include "tests/test_support.h"

namespace warpmender {
namespace test {

// Every step test starts from an empty host, with the plug-in's hs:: pointers
// bound to it in this process.
class StepsTest : public ::testing::Test {
protected:
    void SetUp() override {
        h = &fresh_host();
        ASSERT_TRUE(InitHSAccess());
    }
    host::Host* h = nullptr;
};

// nx x ny x nz x nt doubles, each holding its own flat index.
inline std::unique_ptr<datahandler<double>> index_volume(long nx, long ny, long nz, long nt,
                                                         const std::string& name = "index.fmr") {
    const long n = nx * ny * nz * nt;
    double* d = new double[static_cast<size_t>(n)];
    for (long i = 0; i < n; ++i) d[i] = static_cast<double>(i);
    auto v = std::make_unique<datahandler<double>>(d, nx, ny, nz, nt, 8);
    v->setname(name.c_str());
    v->setresolution(3.0f, 3.0f, 3.0f);
    v->setstatus(STATUS_VALID);
    return v;
}

// The same grid, every element set to value.
inline std::unique_ptr<datahandler<double>> filled_volume(long nx, long ny, long nz, long nt, double value,
                                                          const std::string& name = "filled.fmr") {
    auto v = index_volume(nx, ny, nz, nt, name);
    for (long i = 0; i < v->getnrofelems(); ++i) v->setvalue(i, value);
    return v;
}

// A float FMR document of the volume's grid, added to the workspace and made
// current, so that saving the volume through the host can succeed.
inline int add_current_fmr(host::Host& h, const datahandler<double>& like, const std::string& file_name) {
    const int id = h.add_document(
        host::make_fmr_document(file_name, static_cast<int>(like.getnx()), static_cast<int>(like.getny()),
                                static_cast<int>(like.getnz()), static_cast<int>(like.getnt())));
    h.set_current(id);
    return id;
}

// Value (x, y, z) of volume t of a saved float document.
inline float saved_value(const host::Document& d, long x, long y, long z, long t) {
    const long nx = d.fmr.ResolutionX, ny = d.fmr.ResolutionY;
    return d.float_volumes.at(static_cast<size_t>(t)).at(static_cast<size_t>(x + nx * (y + ny * z)));
}

}  // namespace test
}  // namespace warpmender
