// The maps a correction run makes beside the plug-in, as host documents: field sources, world alignment, intensity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "correction/field_sources.h"
#include "correction/magnitude_scale.h"
#include "correction/world_grid.h"
#include "fieldmap/quality_unwrap.h"
#include "formats/document.h"

namespace warpmender {
namespace pipeline {

using host::Document;

// Every function here throws Error naming the file (the document's source)
// and the problem; none reads or writes a file.

// The document's grid in the scanner frame, when its source placed it there
// (a NIfTI image); nothing for an FMR project.
std::optional<correction::WorldGrid> world_grid_of(const Document& doc);

// One volume of a document as doubles, x fastest.
std::vector<double> volume_values(const Document& doc, int volume = 0);

// A one-volume float document on the grid of `like` (its FMR header, its
// scanner position, its NIfTI geometry), named `file_name` (a path in the
// output folder ending in ".fmr"): the plug-in names its results after it.
Document map_document(const Document& like, const std::string& file_name, const std::vector<double>& values);

// The phase of a document in radians: the scale judged from the values
// (correction::detect_phase_scale) unless `in_radians`. `found` says which.
std::vector<double> phase_in_radians(const Document& phase, bool in_radians, correction::PhaseScale* found = nullptr);

// The plug-in's mask rule, applied by the command to the maps it makes: 0
// wherever the magnitude is not above correction::kMaskThreshold.
void mask_by_magnitude(std::vector<double>& values, const Document& magnitude);

// The phase difference of two phase images from their complex signals
// (radians, -pi..pi), zero where the magnitude shows no signal.
std::vector<double> two_echo_phase_difference(const Document& phase1, const Document& phase2);

// Quality-guided unwrapping of a phase in radians, weighted by the
// magnitude, returned in cycles (radians / 2 pi) and masked by the
// magnitude: what the plug-in's field-inhomogeneity step expects of an
// unwrapped phase.
std::vector<double> unwrapped_cycles(const std::vector<double>& radians, const Document& magnitude,
                                     QualityUnwrapInfo* info = nullptr);

// A direct field map in Hz (the unit from its sidecar's "Units"), masked by the magnitude.
std::vector<double> field_in_hertz(const Document& fieldmap, const std::optional<std::string>& units,
                                   const std::string& units_source, const Document& magnitude);

// The magnitude's scale judged against the mask threshold, over all its volumes.
correction::MagnitudeScale judge_magnitude(const Document& magnitude);
// Rescales every volume of a float magnitude to 0..4095, as --rescale-magnitude does.
void rescale_magnitude(Document& magnitude);

// A map on `from` carried onto `to` through the scanner frame (0 outside from's field of view).
std::vector<double> carry_map(const std::vector<double>& values, const correction::WorldGrid& from,
                              const correction::WorldGrid& to);

// The mean over the volumes of a series, x fastest.
std::vector<float> mean_volume(const Document& series);

// Multiplies every volume of the series by the intensity correction in place
// and returns the mean of the corrected volumes (one pass). A 16-bit series
// is turned into float first: the correction is not a whole number.
std::vector<float> apply_intensity_correction(Document& series, const std::vector<double>& jacobian);

}  // namespace pipeline
}  // namespace warpmender
