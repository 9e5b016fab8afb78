// The two unwrapping methods: regularised relaxation and weighted full multigrid.
#include "plugin/steps/unwrapping.h"

#include <string>

#include "core/helper_tools.h"
#include "fieldmap/relax_unwrap.h"
#include "hostlink/log_sink.h"
#include "hostlink/protocol.h"
#include "io/amr_writer.h"
#include "io/fmr_writer.h"
#include "plugin/steps/multigrid_unwrap.h"
#include "plugin/steps/phase_scaling.h"

namespace warpmender {

namespace {

// Relaxation works in cycles from the start, on the first volume's buffers.
class RelaxationUnwrapper : public Unwrapper {
public:
    explicit RelaxationUnwrapper(const UnwrappingSettings& s) : s_(s) {}
    const char* start_line() const override { return protocol::kUnwrappingViaRelaxation; }

    std::unique_ptr<datahandler<double>> unwrap(datahandler<double>& phase, datahandler<double>& magnitude) override {
        const int dims[3] = {static_cast<int>(phase.getnx()), static_cast<int>(phase.getny()),
                             static_cast<int>(phase.getnz())};
        data2hertz(&phase);
        const long n = phase.getvoxelspervolume();
        std::unique_ptr<double[]> wrapped(new double[static_cast<size_t>(n)]);
        std::unique_ptr<double[]> weights(new double[static_cast<size_t>(n)]);
        phase.getvol(0, wrapped.get());
        magnitude.getvol(0, weights.get());
        double* out = new double[static_cast<size_t>(n)]();
        auto result = std::make_unique<datahandler<double>>();
        phase.copyheader(result.get());
        relax_unwrap(dims, wrapped.get(), weights.get(), out, s_.relaxiterations, s_.regularisation);
        result->setdata(out);
        save2amr(result.get(), "_unwrapped");
        const std::string name =
            help.getbasename(help.createFileName(phase.getname(), "_unwrapped").c_str(), false, false);
        log_line(name);
        saveashs2fmr(result.get(), name.c_str());
        result->setname(name.c_str());
        return result;
    }

private:
    UnwrappingSettings s_;
};

// Multigrid solves in radians and saves its own result; cycles come after.
class MultigridUnwrapper : public Unwrapper {
public:
    explicit MultigridUnwrapper(const UnwrappingSettings& s) : s_(s) {}
    const char* start_line() const override { return protocol::kUnwrappingViaMultigrid; }

    std::unique_ptr<datahandler<double>> unwrap(datahandler<double>& phase, datahandler<double>& magnitude) override {
        std::unique_ptr<datahandler<double>> result(
            unwrap_multigrid(&phase, &magnitude, s_.masklaplacian, s_.cycles, s_.iterations));
        // A failed solve carries status 94 and no data: nothing to scale or save.
        if (result == nullptr || result->getstatus() != STATUS_VALID || !result->hasdata()) return nullptr;
        data2hertz(result.get());
        return result;
    }

private:
    UnwrappingSettings s_;
};

}  // namespace

UnwrappingMethod unwrapping_method_of(int parameter) {
    return parameter == 0 ? UnwrappingMethod::kRelaxation : UnwrappingMethod::kMultigrid;
}

std::unique_ptr<Unwrapper> make_unwrapper(UnwrappingMethod method, const UnwrappingSettings& settings) {
    switch (method) {
        case UnwrappingMethod::kRelaxation: return std::make_unique<RelaxationUnwrapper>(settings);
        case UnwrappingMethod::kMultigrid: break;
    }
    return std::make_unique<MultigridUnwrapper>(settings);
}

}  // namespace warpmender
