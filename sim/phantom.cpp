// The synthetic head phantom: compartments as partial-volume ellipsoids.
#include "sim/phantom.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/error.h"

namespace warpmender {
namespace sim {
namespace {

struct Vec3 {
    double x, y, z;
};

// An axis-aligned ellipsoid; distances come from the first-order estimate
// (q - 1) / |grad q| of the normalised radius q, exact on the surface and
// good to a voxel or two near it, which is all the partial volumes need.
struct Ellipsoid {
    Vec3 c, a;

    struct Hit {
        double distance;  // mm, negative inside
        Vec3 normal;      // unit outward normal (arbitrary at the centre)
    };

    Hit hit(const Vec3& p) const {
        const double ux = (p.x - c.x) / a.x, uy = (p.y - c.y) / a.y, uz = (p.z - c.z) / a.z;
        const double q = std::sqrt(ux * ux + uy * uy + uz * uz);
        const double gx = ux / a.x, gy = uy / a.y, gz = uz / a.z;
        const double g = std::sqrt(gx * gx + gy * gy + gz * gz);
        if (g < 1e-12) return {-std::min(a.x, std::min(a.y, a.z)), {0.0, 0.0, 1.0}};
        return {(q - 1.0) * q / g, {gx / g, gy / g, gz / g}};
    }
};

// Share of a voxel of the given size that lies on the inner side of a surface
// at signed distance d (mm) with unit normal n: a linear ramp one voxel wide
// measured along the normal.
double inside_fraction(double d, const Vec3& n, const Grid& g) {
    const double w = std::sqrt(n.x * n.x * g.dx * g.dx + n.y * n.y * g.dy * g.dy + n.z * n.z * g.dz * g.dz);
    return std::clamp(0.5 - d / w, 0.0, 1.0);
}

double mix(double a, double b, double f) { return a + (b - a) * f; }

struct Contrast {
    double magnitude, epi;
};
constexpr Contrast kShell{1400.0, 300.0};
constexpr Contrast kGrey{3200.0, 900.0};
constexpr Contrast kWhite{2700.0, 640.0};
constexpr Contrast kCsf{3700.0, 1350.0};
constexpr Contrast kBone{120.0, 40.0};

}  // namespace

Phantom make_head_phantom(const PhantomParams& params) {
    const Grid& g = params.grid;
    check_grid(g, "head phantom");
    if (!(params.sinus_scale >= 0.0) || !std::isfinite(params.sinus_scale))
        throw Error("head phantom: sinus scale " + std::to_string(params.sinus_scale) + " must be 0 or more");
    if (g.nx < 8 || g.ny < 8 || g.nz < 8)
        throw Error("head phantom: grid of " + std::to_string(g.nx) + " x " + std::to_string(g.ny) + " x " +
                    std::to_string(g.nz) + " voxels; a head needs at least 8 along each axis");

    // Half the field of view per axis; every size below is a share of it, so
    // the head fills any grid alike.
    const double hx = 0.5 * g.nx * g.dx, hy = 0.5 * g.ny * g.dy, hz = 0.5 * g.nz * g.dz;
    // At least 1.5 voxels of air on every side, so that the partial-volume
    // edge never reaches a face of the grid, however coarse.
    const Ellipsoid head{{0.0, 0.0, 0.0},
                         {std::min(0.60 * hx, hx - 1.5 * g.dx), std::min(0.76 * hy, hy - 1.5 * g.dy),
                          std::min(0.84 * hz, hz - 1.5 * g.dz)}};
    const double amin = std::min(head.a.x, std::min(head.a.y, head.a.z));
    const double shell = 0.08 * amin;   // scalp and skull
    const double cortex = 0.07 * amin;  // mean cortical thickness
    const Vec3& A = head.a;
    const Ellipsoid ventricles[2] = {{{0.11 * A.x, -0.04 * A.y, 0.12 * A.z}, {0.06 * A.x, 0.30 * A.y, 0.14 * A.z}},
                                     {{-0.11 * A.x, -0.04 * A.y, 0.12 * A.z}, {0.06 * A.x, 0.30 * A.y, 0.14 * A.z}}};
    const Ellipsoid nuclei[2] = {{{0.16 * A.x, 0.10 * A.y, -0.12 * A.z}, {0.10 * A.x, 0.11 * A.y, 0.14 * A.z}},
                                 {{-0.16 * A.x, 0.10 * A.y, -0.12 * A.z}, {0.10 * A.x, 0.11 * A.y, 0.14 * A.z}}};
    const double s = params.sinus_scale;
    const Ellipsoid sinus{{0.0, -0.58 * A.y, -0.60 * A.z}, {0.30 * A.x * s, 0.16 * A.y * s, 0.20 * A.z * s}};
    // Thick enough that the steepest part of the field falls on bone: the
    // brain then sees shifts of several voxels without folding over, and the
    // wrapped phase steps stay below pi between neighbours in the mask even
    // on the coarse grid.
    const double wall = 0.18 * amin;
    // A responsive patch of frontal cortex, above and behind the sinus, where
    // the distortion moves it.
    const Vec3 patch{0.38 * A.x, -0.78 * A.y, 0.10 * A.z};
    const double patch_radius = 0.22 * amin;

    Phantom ph;
    ph.grid = g;
    const std::size_t n = g.voxels();
    ph.chi_ppm.assign(n, kChiAirPpm);
    ph.chi_sinus_ppm.assign(n, 0.0);
    ph.magnitude.assign(n, 0.0f);
    ph.epi.assign(n, 0.0f);
    ph.activation.assign(n, 0.0f);
    ph.head.assign(n, 0);
    ph.brain.assign(n, 0);
    const double cx = 0.5 * (g.nx - 1), cy = 0.5 * (g.ny - 1), cz = 0.5 * (g.nz - 1);
    ph.sinus_x = cx + sinus.c.x / g.dx;
    ph.sinus_y = cy + sinus.c.y / g.dy;
    ph.sinus_z = cz + sinus.c.z / g.dz;

    for (int z = 0; z < g.nz; ++z) {
        for (int y = 0; y < g.ny; ++y) {
            std::size_t i = g.index(0, y, z);
            for (int x = 0; x < g.nx; ++x, ++i) {
                const Vec3 p{(x - cx) * g.dx, (y - cy) * g.dy, (z - cz) * g.dz};
                const Ellipsoid::Hit h = head.hit(p);
                const double f_head = inside_fraction(h.distance, h.normal, g);
                if (f_head <= 0.0) continue;  // air: all zero
                const double f_brain = inside_fraction(h.distance + shell, h.normal, g);

                // Gyri: the cortex thickness swings between 0.3 and 1.7 times
                // its mean with the direction from the centre.
                const double az = std::atan2(p.y / A.y, p.x / A.x);
                const double el = std::atan2(p.z / A.z, std::hypot(p.x / A.x, p.y / A.y));
                const double fold = 1.0 + 0.7 * std::sin(9.0 * az) * std::sin(7.0 * el + 0.5);
                const double f_white = inside_fraction(h.distance + shell + cortex * fold, h.normal, g);
                // Sulci: clefts of CSF through the cortex along a lattice of
                // meridians and parallels, a few mm wide.
                const double cleft = std::min(std::fabs(std::sin(12.0 * az)), std::fabs(std::sin(9.0 * el + 0.3)));
                const double f_sulcus = std::clamp(1.0 - cleft / 0.35, 0.0, 1.0) * (1.0 - f_white);

                double f_vent = 0.0, f_nuc = 0.0;
                for (const Ellipsoid& e : ventricles) {
                    const Ellipsoid::Hit v = e.hit(p);
                    f_vent = std::max(f_vent, inside_fraction(v.distance, v.normal, g));
                }
                for (const Ellipsoid& e : nuclei) {
                    const Ellipsoid::Hit v = e.hit(p);
                    f_nuc = std::max(f_nuc, inside_fraction(v.distance, v.normal, g));
                }
                double f_air = 0.0, f_wall = 0.0;
                if (s > 0.0) {
                    const Ellipsoid::Hit c = sinus.hit(p);
                    f_air = inside_fraction(c.distance, c.normal, g);
                    f_wall = inside_fraction(c.distance - wall, c.normal, g);
                }

                auto compose = [&](double Contrast::*k) {
                    double inner = mix(kWhite.*k, kGrey.*k, f_nuc);
                    inner = mix(inner, kCsf.*k, f_vent);
                    const double brain = mix(mix(kGrey.*k, kCsf.*k, f_sulcus), inner, f_white);
                    double v = mix(kShell.*k, brain, f_brain) * f_head;
                    v = mix(v, kBone.*k, f_wall);
                    return mix(v, 0.0, f_air);
                };
                ph.magnitude[i] = static_cast<float>(compose(&Contrast::magnitude));
                ph.epi[i] = static_cast<float>(compose(&Contrast::epi));

                const double tissue = f_head * (1.0 - f_air);
                ph.chi_ppm[i] = kChiAirPpm + (kChiTissuePpm - kChiAirPpm) * tissue;
                ph.chi_sinus_ppm[i] = (kChiAirPpm - kChiTissuePpm) * f_head * f_air;
                ph.head[i] = tissue >= 0.5;
                ph.brain[i] = f_brain >= 0.5 && f_wall < 0.5;

                const double grey = f_brain * (1.0 - f_white) * (1.0 - f_sulcus) * (1.0 - f_wall);
                const double r = std::sqrt((p.x - patch.x) * (p.x - patch.x) + (p.y - patch.y) * (p.y - patch.y) +
                                           (p.z - patch.z) * (p.z - patch.z)) /
                                 patch_radius;
                if (r < 1.0 && grey > 0.0) ph.activation[i] = static_cast<float>(grey * (1.0 - r * r));
            }
        }
    }
    return ph;
}

}  // namespace sim
}  // namespace warpmender
