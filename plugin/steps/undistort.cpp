// The undistortion step: checks, the plan over the series, summaries, the saved result.
#include "plugin/steps/undistort.h"

#include <cstdio>
#include <string>

#include "core/helper_tools.h"
#include "fieldmap/undistort.h"
#include "hostlink/host_binding.h"
#include "hostlink/protocol.h"
#include "io/amr_writer.h"
#include "io/display_funcs.h"
#include "io/fmr_writer.h"

namespace warpmender {

bool undistort1d(datahandler<double>* epi, datahandler<double>* pixelshift, fieldmapparams* params) {
    if (epi == nullptr || pixelshift == nullptr || params == nullptr) {
        hs::hsLogText("Undistortion needs an EPI series, a pixel shift map and the acquisition parameters.");
        return false;
    }
    const long nx = epi->getnx(), ny = epi->getny(), nz = epi->getnz(), nt = epi->getnt();
    const int direction = params->phaseEncodingDir;
    char line[256];
    std::snprintf(line, sizeof line, "%s %s", protocol::kUndistortInDirection,
                  displayFuncs().getPhaseEncodingDirString(direction));
    hs::hsLogText(line);

    // Everything that could refuse the call is checked before the EPI changes.
    if (direction < 1 || direction > 6) {
        std::snprintf(line, sizeof line,
                      "Phase-encoding direction %d is not one of 1 to 6; the EPI data are left unchanged.", direction);
        hs::hsLogText(line);
        return false;
    }
    if (pixelshift->getnx() != nx || pixelshift->getny() != ny || pixelshift->getnz() != nz) {
        std::snprintf(line, sizeof line,
                      "The pixel shift map (%ld x %ld x %ld) is not on the grid of the EPI (%ld x %ld x %ld); "
                      "the EPI data are left unchanged.",
                      pixelshift->getnx(), pixelshift->getny(), pixelshift->getnz(), nx, ny, nz);
        hs::hsLogText(line);
        return false;
    }
    if (!epi->hasdata() || !pixelshift->hasdata() || nx <= 0 || ny <= 0 || nz <= 0) {
        hs::hsLogText("No EPI data or no pixel shift map to undistort with.");
        return false;
    }
    UndistortPlan plan;
    if (!plan.build(pixelshift->getdata(), nx, ny, nz, direction)) {
        hs::hsLogText("Not enough memory to undistort the EPI data.");
        return false;
    }

    // Each block of volume t is read completely before it is overwritten and
    // reads nothing outside itself: every volume is corrected from its own
    // uncorrected data, with the same shifts, in one pass, which also
    // summarises the series before and after.
    IntensityAccumulator distorted, undistorted;
    plan.correct_series(epi->getdata(), nt, &distorted, &undistorted);
    hs::hsLogText(intensity_summary_text("distorted data", distorted.result(), epi->getnrofelems()).c_str());

    const std::string name = help.getbasename(help.createFileName(epi->getname(), "_undistort").c_str(), false, false);
    const bool saved = saveashs2fmr(epi, name.c_str());
    hs::hsLogText(name.c_str());
    save2amr(epi, "_undistort");
    hs::hsSetStringParameter(protocol::kNameUndistortedFile, name.c_str());
    hs::hsLogText(intensity_summary_text("undistorted data", undistorted.result(), epi->getnrofelems()).c_str());
    return saved;
}

}  // namespace warpmender
