// The synthetic phantom as a scanner's converter would deliver it: NIfTI images with BIDS sidecars.
#include "cli/phantom_files.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "core/atomic_file.h"
#include "formats/nifti_document.h"

namespace warpmender {
namespace host {

namespace fs = std::filesystem;

namespace {

const char* const kPeNames[] = {"i", "i-", "j", "j-", "k", "k-"};

}  // namespace

Document phantom_document(const sim::Grid& g, const std::vector<float>& values, int nt, const std::string& name,
                          bool compressed) {
    Document d = make_fmr_document(name, g.nx, g.ny, g.nz, nt, 2, static_cast<float>(g.dx));
    d.fmr.InplaneResolutionY = static_cast<float>(g.dy);
    d.fmr.VoxelSizeZ = d.fmr.SliceThickness = static_cast<float>(g.dz);
    const size_t n = g.voxels();
    for (int t = 0; t < nt; ++t)
        std::copy(values.begin() + static_cast<long>(t * n), values.begin() + static_cast<long>((t + 1) * n),
                  d.float_volumes[static_cast<size_t>(t)].begin());
    const auto a = g.affine();
    float affine[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) affine[r][c] = static_cast<float>(a[r][c]);
    position_of_affine(affine, g.nx, g.ny, g.nz, d.position);
    NiftiGeometry geo;
    geo.sform_code = 1;  // scanner anatomical
    geo.qform_code = 0;
    geo.pixdim[1] = static_cast<float>(g.dx);
    geo.pixdim[2] = static_cast<float>(g.dy);
    geo.pixdim[3] = static_cast<float>(g.dz);
    geo.pixdim[4] = 2.0f;  // TR, seconds
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) geo.sto_xyz[r][c] = affine[r][c];
    geo.xyz_units = 2;   // mm
    geo.time_units = 8;  // s
    geo.compressed = compressed;
    d.nifti_geometry = geo;
    d.refresh_pointers();
    return d;
}

namespace {

void write_image(const std::string& path, const Document& doc) {
    AtomicFile file(path, ".nii.gz");
    write_nifti(doc, file);
    file.commit();
}

void write_json(const std::string& path, const nlohmann::json& j) {
    AtomicFile file(path);
    file.write(j.dump(2) + "\n");
    file.finish();
    file.commit();
}

}  // namespace

sim::DatasetParams demo_dataset_params(bool small) {
    sim::DatasetParams p;
    p.phantom.sinus_scale = 0.7;
    p.shim_residual_hz = 60.0;
    p.scan.noisy_phase_in_air = false;
    if (small) {
        p.phantom.grid = sim::small_grid();
        p.epi.nt = 3;
    }
    return p;
}

const char* pe_direction_name(int code) { return code >= 1 && code <= 6 ? kPeNames[code - 1] : "?"; }

PhantomFiles write_phantom_files(const sim::Dataset& ds, const fs::path& dir, const std::string& pe_override) {
    const sim::Grid& g = ds.grid;
    PhantomFiles f;
    f.phase = (dir / "fieldmap_phasediff.nii.gz").string();
    f.magnitude = (dir / "fieldmap_magnitude.nii.gz").string();
    f.epi = (dir / "bold.nii.gz").string();
    f.truth = (dir / "bold_truth.nii.gz").string();
    f.field = (dir / "field_hz.nii.gz").string();
    write_image(f.phase, phantom_document(g, ds.phase, 1, f.phase));
    write_image(f.magnitude, phantom_document(g, ds.magnitude, 1, f.magnitude));
    write_image(f.epi, phantom_document(g, ds.epi, ds.nt, f.epi));
    write_image(f.truth, phantom_document(g, ds.truth, ds.nt, f.truth));
    write_image(f.field, phantom_document(g, sim::to_float(ds.field_hz), 1, f.field));
    // A real/imaginary pair for the polar conversion: the first EPI volume as
    // magnitude with the field map's phase (radians) as its angle.
    f.real = (dir / "complex_real.nii.gz").string();
    f.imag = (dir / "complex_imag.nii.gz").string();
    {
        const size_t n = g.voxels();
        std::vector<float> re(n), im(n);
        const double to_radians = 3.141592653589793 / 4096.0;
        for (size_t i = 0; i < n; ++i) {
            const double angle = ds.phase[i] * to_radians;
            re[i] = static_cast<float>(ds.truth[i] * std::cos(angle));
            im[i] = static_cast<float>(ds.truth[i] * std::sin(angle));
        }
        write_image(f.real, phantom_document(g, re, 1, f.real));
        write_image(f.imag, phantom_document(g, im, 1, f.imag));
    }
    // The echo times of a 3 T double-echo field map; only their difference matters.
    const double te1 = 4.92e-3;
    write_json((dir / "fieldmap_phasediff.json").string(),
               {{"EchoTime1", te1}, {"EchoTime2", te1 + ds.echo_time_diff_ms * 1e-3}});
    const int n_pe = ds.pe_dir <= 2 ? g.nx : ds.pe_dir <= 4 ? g.ny : g.nz;
    write_json((dir / "bold.json").string(),
               {{"EffectiveEchoSpacing", 1.0 / (ds.bandwidth_pe_hz * n_pe)},
                {"PhaseEncodingDirection", pe_override.empty() ? pe_direction_name(ds.pe_dir) : pe_override},
                {"RepetitionTime", 2.0}});
    return f;
}

}  // namespace host
}  // namespace warpmender
