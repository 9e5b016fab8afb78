// Field sources other than a phase difference: direct field maps with their unit, and two phase images.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace warpmender {
namespace correction {

// Direct field maps (BIDS "fieldmap", e.g. GE and Philips) carry their unit
// in the sidecar's "Units". The field is wanted in Hz:
//   "Hz"    -> 1
//   "rad/s" -> 1 / (2 pi)   (an angular frequency)
// Any other unit, or none, is refused: a field map in an unknown unit would
// give a shift off by an unknown factor. Throws std::invalid_argument whose
// message names `source` (the file) and the unit found.
double hertz_per_unit(const std::optional<std::string>& units, const std::string& source);

// field[i] *= hertz_per_unit(units, source) for n values.
void field_to_hertz(double* field, std::size_t n, const std::optional<std::string>& units, const std::string& source);

// How a phase image's numbers encode the angle. dcm2niix writes Siemens
// phase as integers -4096..4094 (DICOM 0..4095 with slope 2, intercept
// -4096), or 0..4095 where no rescale was applied; other tools write radians.
//   kRadians       values within [-pi, 2 pi] (-pi..pi or 0..2pi), used as they are
//   kSigned4096    values within [-4096, 4096] with a negative one: angle = v * pi / 4096
//   kUnsigned4096  values within [0, 4096]: angle = v * 2 pi / 4096
// Radians are recognised first: a phase image in the integer scale whose
// values all lie within [-pi, 2 pi] would be a constant, not an image.
enum class PhaseScale { kRadians, kSigned4096, kUnsigned4096 };

// The scale of n values from their finite minimum and maximum (a small
// tolerance of 1e-3 rad lets radians rounded to float pass). Throws
// std::invalid_argument naming `source` and the range when the values fit
// none of the scales, or when none is finite.
PhaseScale detect_phase_scale(const double* phase, std::size_t n, const std::string& source);

// Radians per unit of the scale: 1, pi / 4096 or 2 pi / 4096.
double radians_per_unit(PhaseScale scale);

// The phase difference of two echoes, from their complex signals:
//   out[i] = arg( m2 e^{i phi2} * conj(m1 e^{i phi1}) )   in [-pi, pi]
// i.e. phi2 - phi1 wrapped, with phi1, phi2 in radians (convert with
// radians_per_unit first). The magnitudes m1, m2 may be null (taken as 1);
// given, they only decide where there is no signal: a voxel with a
// magnitude of 0 (or below) gets a difference of 0.
void phase_difference(const double* phase1, const double* phase2, const double* magnitude1, const double* magnitude2,
                      std::size_t n, double* out);

// TE2 - TE1 in milliseconds, from the sidecars' "EchoTime" of phase1 and
// phase2 in seconds. Throws std::invalid_argument, naming both sources,
// unless both are finite and positive and TE2 exceeds TE1 by at least
// 0.1 ms (a shorter difference turns a few degrees of phase noise into
// tens of Hz).
double echo_time_difference_ms(double echo_time1_s, double echo_time2_s, const std::string& source1,
                               const std::string& source2);

}  // namespace correction
}  // namespace warpmender
