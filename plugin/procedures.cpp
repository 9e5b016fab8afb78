// The "Start" command: preparation checks, then unwrapping, B0 map, shift map and undistortion.
#include "plugin/procedures.h"

#include <cstdio>
#include <memory>
#include <string>

#include "core/helper_tools.h"
#include "core/mat44.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"
#include "io/fmr_writer.h"
#include "io/host_documents.h"
#include "plugin/steps/filters.h"
#include "plugin/steps/phase_scaling.h"
#include "plugin/steps/shift_maps.h"
#include "plugin/steps/undistort.h"
#include "plugin/steps/unwrapping.h"
#include "plugin/steps/vmr_mapping.h"

namespace warpmender {

namespace {

using Volume = std::unique_ptr<datahandler<double>>;

enum Step { kNoStep = 0, kUnwrap = 52, kComputeB0 = 54, kComputePxshift = 55, kUndistort = 56 };

const char* const kStopUnwrap = "Stopped unwrapping procedure: no data or status is not ok.";
const char* const kStopFieldmap = "Stopped fieldmap creation procedure: no data or status is not ok.";
const char* const kStopPixelshift = "Stopped compute pixelshiftmap procedure: no data or status is not ok.";
const char* const kStopUndistort = "Stopped undistortion procedure: no data or status is not ok.";

struct StartParameters {
    UnwrappingMethod method = UnwrappingMethod::kRelaxation;
    UnwrappingSettings unwrapping;
    int toradians = 0;
    int maptofunctional = 0;
    std::string procedure;
    int performall = 0;
};

void log(const std::string& text) { hs::hsLogText(text.c_str()); }

int step_of(const std::string& procedure) {
    if (procedure == protocol::kUnwrap) return kUnwrap;
    if (procedure == protocol::kComputeB0) return kComputeB0;
    if (procedure == protocol::kComputePxshift) return kComputePxshift;
    if (procedure == protocol::kUndistort) return kUndistort;
    return kNoStep;
}

// "dir/P.fmr" + "_radians" -> "P_radians.fmr": results are named after the
// last path component of their input; the host decides where they go.
std::string output_name(const datahandler<double>& v, const char* suffix) {
    return help.getbasename(help.createFileName(v.getname(), suffix).c_str(), false, false);
}

bool same_grid(const datahandler<double>& a, const datahandler<double>& b) {
    return a.getnx() == b.getnx() && a.getny() == b.getny() && a.getnz() == b.getnz();
}

std::string shape_of(const datahandler<double>& v) {
    return std::to_string(v.getnx()) + " x " + std::to_string(v.getny()) + " x " + std::to_string(v.getnz());
}

void stop(CallState& state, const char* message) {
    state.failure = message;
    state.success = false;
}

// The whole run of one "Start" call.
class StartRun {
public:
    StartRun(CallState& state, const StartParameters& p) : state_(state), p_(p) {}

    void run() {
        inhand_ = std::make_unique<datahandler<double>>();
        magnitude_ = std::make_unique<datahandler<double>>();
        epi_ = std::make_unique<datahandler<double>>();

        startread_ = getcurrentfmrdouble_gui("Please select the startfile (phase, b0 or pixelshift)", inhand_.get(),
                                             &startrecord_);
        // A document that could not be read has no data type to check; its
        // step then reports the stop message that names the real problem.
        if (startread_ && startrecord_.header->DataType != 2) {
            state_.success = false;
            log("Datatype of phase and magnitude FMRs should be float.");
        }
        const int first = step_of(p_.procedure);
        performall_ = hs::hsGetIntParameter(protocol::kPerformAllSteps) != 0;
        if (first == kUnwrap) {
            magnituderead_ =
                getcurrentfmrdouble_gui("Please select the magnitude file", magnitude_.get(), &magnituderecord_);
            if (magnituderead_ && magnituderecord_.header->DataType != 2) {
                state_.success = false;
                log("Datatype of phase AND magnitude FMRs should be float.");
            }
        }
        if (magnitude_->getnt() > 1 || inhand_->getnt() > 1) {
            log("Magnitude and/or phase data have more than one volume.");
            log("Please create FMR phase/magnitude projects of one volume or select *_FirstVol.fmr.");
            state_.success = false;
        }

        if (due(first, kUnwrap)) unwrap();
        if (due(first, kComputeB0)) fieldinhomogeneity();
        if (due(first, kComputePxshift)) pixelshift();
        if (due(first, kUndistort)) undistort();
    }

private:
    bool due(int first, int step) const { return state_.success && (first == step || runon_); }

    void handon(Volume result) {
        if (!performall_) return;
        inhand_ = std::move(result);
        runon_ = true;
    }

    bool inhandvalid() const { return startread_ && inhand_->getstatus() == STATUS_VALID; }

    void unwrap() {
        log(protocol::kStartedUnwrapping);
        if (!startread_ || !magnituderead_) return stop(state_, kStopUnwrap);
        if (!same_grid(*inhand_, *magnitude_)) {
            log("Phase and magnitude data differ in size (" + shape_of(*inhand_) + " and " + shape_of(*magnitude_) +
                " voxels); please select a magnitude image of the phase image's grid.");
            return stop(state_, kStopUnwrap);
        }
        datahandler<double>* phase = inhand_.get();
        if (p_.toradians == 1) {
            log("Convert to radians...");
            data2radians(phase);
        }
        const std::string radians = output_name(*phase, "_radians");
        saveashs2fmr(phase, radians.c_str());
        log(radians);

        const std::unique_ptr<Unwrapper> unwrapper = make_unwrapper(p_.method, p_.unwrapping);
        log(unwrapper->start_line());
        Volume result = unwrapper->unwrap(*phase, *magnitude_);
        if (result == nullptr) return stop(state_, kStopUnwrap);

        maskimage(result.get(), magnitude_.get(), 200.0, 4000.0);
        log(result->displayintensityvalues("unwrapped phase data"));
        log(protocol::kApplySmoothing);
        state_.success = filterdata(2, result.get(), false);
        const std::string smooth = output_name(*result, "_smooth");
        log("Save smoothed phase map...");
        saveashs2fmr(result.get(), smooth.c_str());
        log(result->displayintensityvalues("smoothed unwrapped phase data"));
        handon(std::move(result));
    }

    void fieldinhomogeneity() {
        log("Started field inhomogeneity map creation procedure...");
        if (!inhandvalid()) return stop(state_, kStopFieldmap);
        Volume b0(computefieldinhomogeneity(inhand_.get(), &state_.params));
        // A refused echo-time difference or a failed save leaves status 94:
        // stop here rather than smooth and save a map that is not there.
        if (b0 == nullptr || b0->getstatus() != STATUS_VALID) return stop(state_, kStopFieldmap);
        log(b0->displayintensityvalues("field inhomogeneity data"));
        log(protocol::kApplySmoothing);
        state_.success = filterdata(2, b0.get(), false);
        if (state_.success) state_.success = filterdata(2, b0.get(), false);
        const std::string smooth = output_name(*b0, "_smooth");
        saveashs2fmr(b0.get(), smooth.c_str());
        log(b0->displayintensityvalues("smoothed field inhomogeneity data"));
        handon(std::move(b0));
    }

    void pixelshift() {
        if (!inhandvalid()) return stop(state_, kStopPixelshift);
        Volume shift(computepixelshiftmap(inhand_.get(), &state_.params));
        if (shift == nullptr || shift->getstatus() != STATUS_VALID) return stop(state_, kStopPixelshift);
        log(shift->displayintensityvalues("pixelshift data"));
        handon(std::move(shift));
    }

    void undistort() {
        if (!inhandvalid()) return stop(state_, kStopUndistort);
        vmrHdr anatomy;
        bool anatomyread = false;
        if (p_.maptofunctional != 0) anatomyread = getcurrentvmr_gui("Please select the VMR file:", &anatomy);
        const bool epiread = getcurrentfmrdouble_gui("Please select the EPI file", epi_.get(), &epirecord_);
        if (!epiread || epi_->getstatus() != STATUS_VALID) return stop(state_, kStopUndistort);

        if (p_.maptofunctional == 0) {
            hs::hsShowBusyCursor();
            state_.success = undistort1d(epi_.get(), inhand_.get(), &state_.params);
            hs::hsStopBusyCursor();
            if (!state_.success) state_.failure = "Undistortion procedure did not succeed.";
            return;
        }
        if (!anatomyread) {
            log("Did not obtain VMR data.");
            return;
        }
        float epitovmr[4][4], starttovmr[4][4], second[4][4];
        float t[6];
        makeIdentityMatrix(second);
        hs::hsCalculateIAMatrix(epirecord_.scannerpos, anatomy.scannerpos, anatomy.pasttransformations, epitovmr,
                                second, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
        log(matrixmaster().matrix44ToChar(epitovmr, "Functional data to VMR mapping"));
        hs::hsCalculateIAMatrix(startrecord_.scannerpos, anatomy.scannerpos, anatomy.pasttransformations, starttovmr,
                                second, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
        log(matrixmaster().matrix44ToChar(starttovmr, "Phase data to VMR mapping"));

        datahandler<double> target;
        epi_->copyheader(&target);
        target.setnt(1);
        target.setdata(new double[static_cast<size_t>(epi_->getnrofelems() / epi_->getnt())]());
        mapFMR2FMRviaVMR(&anatomy, &target, &epirecord_, epitovmr, inhand_.get(), &startrecord_, starttovmr, second);
        hs::hsShowBusyCursor();
        state_.success = undistort1d(epi_.get(), &target, &state_.params);
        hs::hsStopBusyCursor();
    }

    CallState& state_;
    const StartParameters& p_;
    Volume inhand_, magnitude_, epi_;
    fmrfile startrecord_, magnituderecord_, epirecord_;
    bool startread_ = false, magnituderead_ = false;
    bool performall_ = false, runon_ = false;
};

}  // namespace

void startprocedure(CallState& state) {
    StartParameters p;
    p.method = unwrapping_method_of(hs::hsGetIntParameter(protocol::kUnwrappingMethod));
    p.unwrapping.relaxiterations = hs::hsGetIntParameter(protocol::kNrOfIterationsRelax);
    p.unwrapping.regularisation = static_cast<double>(hs::hsGetFloatParameter(protocol::kRegularisation));
    p.unwrapping.cycles = hs::hsGetIntParameter(protocol::kNrOfVCycles);
    p.unwrapping.iterations = hs::hsGetIntParameter(protocol::kNrOfIterations);
    // Read for both methods: raw scanner phase must reach the relaxation in
    // radians too, or its division by 2 pi gives meaningless cycles.
    p.toradians = hs::hsGetIntParameter(protocol::kPhaseToRadians);
    p.unwrapping.masklaplacian = hs::hsGetIntParameter(protocol::kMaskLaplacian) == 1;
    state.params.bandwidthPE = static_cast<double>(hs::hsGetFloatParameter(protocol::kBandWidthPE));
    state.params.echoTimeDiffSec = static_cast<double>(hs::hsGetFloatParameter(protocol::kEchoTimeDiff) / 1000.0f);
    state.params.phaseEncodingDir = hs::hsGetIntParameter(protocol::kPhaseEncodingDir);
    state.params.applyTwoPi = hs::hsGetIntParameter(protocol::kApplyTwoPi) == 1 ? 1 : 0;
    p.maptofunctional = hs::hsGetIntParameter(protocol::kMapFieldmapToFunctional);
    p.procedure = readStringParameter(protocol::kProcedure);
    StartRun(state, p).run();
}

}  // namespace warpmender
