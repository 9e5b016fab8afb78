// Quality-guided unwrapping: edge levels from phase coherence, second differences and magnitude; bucketed Prim growth.
#include "fieldmap/quality_unwrap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "fieldmap/quality_unwrap_plain.h"

namespace warpmender {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kInvTwoPi = 1.0 / kTwoPi;
// Beyond this a phase is not a phase (and k could leave int32 while growing).
constexpr double kPhaseLimit = 1048576.0;
// Mean square second difference at which a voxel's reliability halves: pure
// noise gives about 6.6 (difference of two uniform wraps), tissue at an SNR of
// 20 about 0.015.
constexpr double kNoiseScale = 0.5;
// Reliability from which a voxel without magnitude still counts as signal.
constexpr double kSmooth = 0.5;
constexpr int kLevels = 256;  // 0: never crossed; 1..255: quality
// Regions with signal smaller than this (but the largest) are not placed by
// their mean but joined through their neighbours, as voxels without signal.
constexpr std::int64_t kMinRegion = 64;

// Voxel kinds; kVisited is or-ed in once a voxel is unwrapped.
constexpr std::uint8_t kUnusable = 0, kSignal = 1, kNoSignal = 2, kVisited = 0x80;

// Nearest whole number, halves away from zero, for |x| < 2^31: a truncating
// conversion (the baseline instruction set has no rounding instruction, and
// a library call per edge costs more than the rest of the edge).
inline std::int32_t nearest(double x) { return static_cast<std::int32_t>(x + (x >= 0.0 ? 0.5 : -0.5)); }

inline double wrap(double d) { return d - kTwoPi * nearest(d * kInvTwoPi); }

// k(to) - k(from): the whole turns that keep the unwrapped step in [-pi, pi].
inline std::int32_t turns(double from, double to) { return nearest((from - to) * kInvTwoPi); }

struct Entry {
    std::int32_t voxel;
    std::int32_t k;
};

struct Region {
    std::int64_t begin, end;  // in the visiting order
    double sum;               // of the unwrapped phase
};

// The growth. Within a stage each edge enters the queue at most once (from
// the side reached first, towards a voxel not yet reached), so bucket b never
// holds more than the number of edges of level b: the pool is cut into fixed
// segments once, and no allocation happens while growing.
class Grower {
public:
    Grower(const double* phase, const int* dims, std::uint8_t* kind, const std::uint8_t* lx, const std::uint8_t* ly,
           const std::uint8_t* lz, const std::int64_t* histogram, std::int32_t* k, std::int32_t* order, bool prune)
        : phase_(phase), kind_(kind), lx_(lx), ly_(ly), lz_(lz), k_(k), order_(order), nx_(dims[0]),
          nxy_(static_cast<std::int64_t>(dims[0]) * dims[1]), recorded_(prune ? 0xff : 0) {
        std::int64_t at = 0;
        for (int b = 0; b < kLevels; ++b) {
            start_[b] = at;
            at += histogram[b];
        }
        pool_.reset(new Entry[static_cast<std::size_t>(at)]);
        queued_.assign(static_cast<std::size_t>(nxy_) * dims[2], 0);
        empty_queue();
    }

    std::int64_t visited() const { return visited_; }

    // Between stages (the queue is empty then): an edge may be queued once
    // per stage.
    void empty_queue() {
        for (int b = 0; b < kLevels; ++b) read_[b] = end_[b] = start_[b];
        top_ = 0;
    }

    // Keeps the first `count` voxels of the visiting order as visited.
    void keep(std::int64_t count) { visited_ = count; }

    // Makes a visited voxel one that can be queued and visited again, as `kind`.
    void forget(std::int32_t v, std::uint8_t kind) {
        kind_[v] = kind;
        queued_[static_cast<std::size_t>(v)] = 0;
    }

    // Unwraps voxel v with k and queues its edges to voxels of kind `allowed`.
    void visit(std::int32_t v, std::int32_t k, std::uint8_t allowed) {
        kind_[v] |= kVisited;
        k_[v] = k;
        order_[visited_++] = v;
        sum_ += phase_[v] + kTwoPi * k;
        const double p = phase_[v];
        // Edge levels sit one padding of nx*ny after their voxel's index, so
        // the edges before the first row, column and plane read 0.
        push(lx_[v - 1], v - 1, p, k, allowed);
        push(lx_[v], v + 1, p, k, allowed);
        push(ly_[v - nx_], static_cast<std::int32_t>(v - nx_), p, k, allowed);
        push(ly_[v], static_cast<std::int32_t>(v + nx_), p, k, allowed);
        push(lz_[v - nxy_], static_cast<std::int32_t>(v - nxy_), p, k, allowed);
        push(lz_[v], static_cast<std::int32_t>(v + nxy_), p, k, allowed);
    }

    // Pops the best queued edges until none is left; returns the sum of the
    // unwrapped phases visited since the last call.
    double grow(std::uint8_t allowed) {
        for (;;) {
            while (top_ > 0 && end_[top_] == read_[top_]) --top_;
            if (top_ == 0) break;
            // First in, first out within a level: the growth spreads evenly
            // (breadth first). Last in, first out (depth first) made paths
            // that gave the phantom's head 2 to 35 times the error. An emptied
            // bucket starts again at its segment's start, so little of the
            // pool is touched.
            const Entry e = pool_[static_cast<std::size_t>(read_[top_]++)];
            if (read_[top_] == end_[top_]) read_[top_] = end_[top_] = start_[top_];
            if (kind_[e.voxel] == allowed) visit(e.voxel, e.k, allowed);
        }
        const double s = sum_;
        sum_ = 0.0;
        return s;
    }

    // Queues every edge from an unwrapped voxel to one of kind `allowed`,
    // looking from the voxels of that kind (usually the fewer).
    void queue_boundary(std::int64_t n, std::uint8_t allowed) {
        for (std::int64_t i = 0; i < n; ++i) {
            if (kind_[i] != allowed) continue;
            const std::int32_t v = static_cast<std::int32_t>(i);
            pull(lx_[v - 1], v - 1, v);
            pull(lx_[v], v + 1, v);
            pull(ly_[v - nx_], static_cast<std::int32_t>(v - nx_), v);
            pull(ly_[v], static_cast<std::int32_t>(v + nx_), v);
            pull(lz_[v - nxy_], static_cast<std::int32_t>(v - nxy_), v);
            pull(lz_[v], static_cast<std::int32_t>(v + nxy_), v);
        }
    }

private:
    // The edge from `from`, when it is unwrapped, to v.
    void pull(std::uint8_t level, std::int32_t from, std::int32_t v) {
        if (level <= queued_[v] || !(kind_[from] & kVisited)) return;
        queued_[v] = level & recorded_;
        pool_[static_cast<std::size_t>(end_[level]++)] = Entry{v, k_[from] + turns(phase_[from], phase_[v])};
        if (level > top_) top_ = level;
    }

    void push(std::uint8_t level, std::int32_t to, double p, std::int32_t k, std::uint8_t allowed) {
        // A level above 0 means both ends lie in the grid.
        if (level == 0 || kind_[to] != allowed || level <= queued_[to]) return;
        queued_[to] = level & recorded_;
        pool_[static_cast<std::size_t>(end_[level]++)] = Entry{to, k + turns(p, phase_[to])};
        if (level > top_) top_ = level;
    }

    const double* phase_;
    std::uint8_t* kind_;
    const std::uint8_t *lx_, *ly_, *lz_;
    std::int32_t* k_;
    std::int32_t* order_;
    std::int64_t nx_, nxy_;
    std::unique_ptr<Entry[]> pool_;
    // The best level each voxel is queued with: a worse edge to it is not
    // queued at all, which keeps the stale entries few (it would pop after
    // the better one and find the voxel reached). The plain form masks each
    // record to 0 and so queues every edge (level 0 is no edge).
    const std::uint8_t recorded_;
    std::vector<std::uint8_t> queued_;
    std::int64_t start_[kLevels], read_[kLevels], end_[kLevels];
    int top_ = 0;
    std::int64_t visited_ = 0;
    double sum_ = 0.0;
};

// Moves each region by whole turns: its mean to the turn nearest `target`.
void place_regions(const std::vector<Region>& regions, double target, const std::int32_t* order, std::int32_t* k) {
    for (const Region& r : regions) {
        const double mean = r.sum / static_cast<double>(r.end - r.begin);
        const std::int32_t shift = nearest((target - mean) * kInvTwoPi);
        if (shift == 0) continue;
        for (std::int64_t i = r.begin; i < r.end; ++i) k[order[i]] += shift;
    }
}

// The largest region (the first of equals) and the mean it is moved to: its
// own mean brought into [-pi, pi].
std::size_t anchor_of(const std::vector<Region>& regions, double* target) {
    std::size_t best = 0;
    for (std::size_t r = 1; r < regions.size(); ++r)
        if (regions[r].end - regions[r].begin > regions[best].end - regions[best].begin) best = r;
    const double mean = regions[best].sum / static_cast<double>(regions[best].end - regions[best].begin);
    *target = wrap(mean);
    return best;
}

// Half the 99th percentile of the positive finite magnitudes, from a
// histogram of their float bits (7 mantissa bits: within 1 %); 0 when there
// are none. Scaling the magnitude by a power of two scales it exactly.
template <class M>
double magnitude_scale(const M* magnitude, std::size_t n) {
    std::vector<std::uint32_t> bins(1u << 15, 0);
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double m = static_cast<double>(magnitude[i]);
        if (!(std::isfinite(m) && m > 0.0)) continue;
        const float f = static_cast<float>(std::min(m, 3.0e38));
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        ++bins[bits >> 16];
        ++count;
    }
    if (count == 0) return 0.0;
    const std::int64_t rank = static_cast<std::int64_t>(0.99 * static_cast<double>(count - 1));
    std::int64_t below = 0;
    std::uint32_t b = 0;
    while (below + bins[b] <= rank) below += bins[b++];
    const std::uint32_t bits = b << 16;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return 0.5 * static_cast<double>(f);
}

// Voxels of kind `wanted`, not yet unwrapped, by quality (best first), then by index.
std::vector<std::int32_t> seeds_of(const std::uint8_t* kind, const std::uint8_t* quality, std::size_t n,
                                   std::uint8_t wanted) {
    std::int64_t count[kLevels] = {};
    for (std::size_t i = 0; i < n; ++i)
        if (kind[i] == wanted) ++count[quality[i]];
    std::int64_t at[kLevels];
    std::int64_t next = 0;
    for (int b = kLevels - 1; b >= 0; --b) {
        at[b] = next;
        next += count[b];
    }
    std::vector<std::int32_t> seeds(static_cast<std::size_t>(next));
    for (std::size_t i = 0; i < n; ++i)
        if (kind[i] == wanted) seeds[static_cast<std::size_t>(at[quality[i]]++)] = static_cast<std::int32_t>(i);
    return seeds;
}

// The best voxel of kind `wanted` (the first of equals); -1 when there is none.
std::int32_t best_of(const std::uint8_t* kind, const std::uint8_t* quality, std::size_t n, std::uint8_t wanted) {
    std::int32_t best = -1;
    for (std::size_t i = 0; i < n; ++i)
        if (kind[i] == wanted && (best < 0 || quality[i] > quality[best])) best = static_cast<std::int32_t>(i);
    return best;
}

// plain: every voxel and edge through the checked code, every seed from the
// sorted list, every edge queued (the twin the fast paths are tested against).
template <class M>
bool unwrap_impl(const double* phase, const M* magnitude, const int* dims, double* out, QualityUnwrapInfo* info,
                 bool plain) {
    if (phase == nullptr || dims == nullptr || out == nullptr) return false;
    if (dims[0] < 1 || dims[1] < 1 || dims[2] < 1) return false;
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    const std::int64_t nxy = static_cast<std::int64_t>(nx) * ny;
    const std::int64_t n = nxy * nz;
    if (n >= (std::int64_t(1) << 31)) return false;
    const std::size_t un = static_cast<std::size_t>(n);

    const double scale = magnitude != nullptr ? magnitude_scale(magnitude, un) : 0.0;
    const double inv_scale = scale > 0.0 ? 1.0 / scale : 0.0;
    // The magnitude as a weight: 0 where it is not positive or not finite.
    auto weight = [&](std::size_t i) {
        const double m = static_cast<double>(magnitude[i]);
        return std::isfinite(m) && m > 0.0 ? std::min(1.0, m * inv_scale) : 0.0;
    };

    QualityUnwrapInfo counts;
    std::vector<std::uint8_t> kind(un);
    for (std::size_t i = 0; i < un; ++i) {
        if (!(std::fabs(phase[i]) < kPhaseLimit)) {  // NaN fails too
            kind[i] = kUnusable;
            ++counts.unusable;
        } else {
            kind[i] = kSignal;  // until the magnitude and the phase's smoothness say otherwise
        }
    }

    // Reliability of each voxel from its wrapped second differences, in
    // 0..255 (255: no second difference at all).
    std::vector<std::uint8_t> quality(un, 255);
    const std::int64_t strides[3] = {1, nx, nxy};
    const int sizes[3] = {nx, ny, nz};
    // Where every voxel is usable, the voxels inside the grid and the edges
    // take paths without the checks: the same operations in the same order.
    const bool unchecked = counts.unusable == 0 && !plain;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y) {
            const std::int64_t row = nx * (y + static_cast<std::int64_t>(ny) * z);
            const int coord[3] = {0, y, z};
            auto general = [&](int x) {
                const std::int64_t i = row + x;
                if (kind[i] == kUnusable) return;
                const double p = phase[i];
                double acc = 0.0;
                int count = 0;
                for (int a = 0; a < 3; ++a) {
                    const int c = a == 0 ? x : coord[a];
                    if (c == 0 || c == sizes[a] - 1) continue;
                    const std::int64_t s = strides[a];
                    if (kind[i - s] == kUnusable || kind[i + s] == kUnusable) continue;
                    const double second = wrap(phase[i + s] - p) - wrap(p - phase[i - s]);
                    acc += second * second;
                    ++count;
                }
                // 1 / (1 + (acc / count) / kNoiseScale), with one division.
                if (count > 0)
                    quality[i] = static_cast<std::uint8_t>(255.0 * (kNoiseScale * count) / (kNoiseScale * count + acc));
            };
            if (!(unchecked && nx > 2 && y > 0 && y < ny - 1 && z > 0 && z < nz - 1)) {
                for (int x = 0; x < nx; ++x) general(x);
                continue;
            }
            general(0);
            const double* q = phase + row;
            std::uint8_t* r = quality.data() + row;
            for (int x = 1; x < nx - 1; ++x) {
                const double p = q[x];
                const double sx = wrap(q[x + 1] - p) - wrap(p - q[x - 1]);
                const double sy = wrap(q[x + nx] - p) - wrap(p - q[x - nx]);
                const double sz = wrap(q[x + nxy] - p) - wrap(p - q[x - nxy]);
                const double acc = sx * sx + sy * sy + sz * sz;
                r[x] = static_cast<std::uint8_t>(255.0 * (kNoiseScale * 3) / (kNoiseScale * 3 + acc));
            }
            general(nx - 1);
        }

    // Without signal: no magnitude there and a phase that is not smooth
    // either. Where there is signal, the magnitude's weight scales the quality.
    if (magnitude != nullptr)
        for (std::size_t i = 0; i < un; ++i) {
            if (kind[i] != kSignal) continue;
            const double w = weight(i);
            if (w == 0.0 && quality[i] < kSmooth * 255.0) {
                kind[i] = kNoSignal;
                ++counts.no_signal;
            } else {
                quality[i] = static_cast<std::uint8_t>(quality[i] * w);
            }
        }

    // Edge levels (+x, +y, +z of each voxel), after a padding of nx*ny zeros:
    // phase coherence times the lower quality of the two ends.
    const std::size_t pad = static_cast<std::size_t>(nxy);
    std::vector<std::uint8_t> levels(3 * (un + pad), 0);
    std::uint8_t* lx = levels.data() + pad;
    std::uint8_t* ly = lx + un + pad;
    std::uint8_t* lz = ly + un + pad;
    std::uint8_t* level_of[3] = {lx, ly, lz};
    const std::uint8_t* qv = quality.data();
    auto edge_level = [&](std::int64_t i, std::int64_t j) {
        const double coherence = 1.0 - std::fabs(wrap(phase[j] - phase[i])) / kPi;
        const double q = std::max(0.0, coherence) * (std::min(qv[i], qv[j]) * (1.0 / 255.0));
        return static_cast<std::uint8_t>(1 + static_cast<int>(std::min(1.0, q) * 254.0));
    };
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y) {
            const std::int64_t row = nx * (y + static_cast<std::int64_t>(ny) * z);
            const int coord[3] = {0, y, z};
            for (int a = 0; a < 3; ++a) {
                if (a > 0 && coord[a] == sizes[a] - 1) continue;
                const std::int64_t s = strides[a];
                const int end = a == 0 ? nx - 1 : nx;
                std::uint8_t* l = level_of[a] + row;
                if (unchecked) {
                    for (int x = 0; x < end; ++x) l[x] = edge_level(row + x, row + x + s);
                } else {
                    for (int x = 0; x < end; ++x)
                        if (kind[row + x] != kUnusable && kind[row + x + s] != kUnusable)
                            l[x] = edge_level(row + x, row + x + s);
                }
            }
        }
    std::int64_t histogram[kLevels] = {};
    for (const std::uint8_t level : levels) ++histogram[level];
    histogram[0] = 0;

    std::vector<std::int32_t> k(un), order(un);
    Grower grower(phase, dims, kind.data(), lx, ly, lz, histogram, k.data(), order.data(), !plain);

    // Grows a region from each seed of kind `wanted` not reached yet, by
    // quality: the best one found in a pass, then only the voxels still left
    // sorted (the plain form sorts them all first).
    std::vector<Region> regions;
    auto grow_from = [&](std::int32_t seed, std::uint8_t wanted) {
        const std::int64_t begin = grower.visited();
        grower.visit(seed, 0, wanted);
        const double sum = grower.grow(wanted);
        regions.push_back(Region{begin, grower.visited(), sum});
    };
    auto grow_regions = [&](std::uint8_t wanted) {
        if (!plain) {
            const std::int32_t first = best_of(kind.data(), qv, un, wanted);
            if (first < 0) return;
            grow_from(first, wanted);
        }
        for (const std::int32_t s : seeds_of(kind.data(), qv, un, wanted))
            if (kind[s] == wanted) grow_from(s, wanted);
    };

    // Regions of voxels with signal, then the voxels without signal they reach.
    grow_regions(kSignal);
    double target = 0.0;
    const bool anchored = !regions.empty();
    if (anchored) {
        // Small regions dissolve: their voxels count as without signal.
        const std::size_t largest = anchor_of(regions, &target);
        std::int64_t kept = 0;
        std::size_t solid = 0;
        for (std::size_t r = 0; r < regions.size(); ++r) {
            const Region region = regions[r];
            if (r == largest || region.end - region.begin >= kMinRegion) {
                std::copy(order.begin() + region.begin, order.begin() + region.end, order.begin() + kept);
                regions[solid++] = Region{kept, kept + (region.end - region.begin), region.sum};
                kept += region.end - region.begin;
            } else {
                for (std::int64_t i = region.begin; i < region.end; ++i) grower.forget(order[i], kNoSignal);
            }
        }
        regions.resize(solid);
        grower.keep(kept);
        const std::size_t a = anchor_of(regions, &target);
        counts.largest = regions[a].end - regions[a].begin;
        place_regions(regions, target, order.data(), k.data());
        grower.empty_queue();
        grower.queue_boundary(n, kNoSignal);
        grower.grow(kNoSignal);
    }
    counts.regions = static_cast<std::int64_t>(regions.size());

    // Voxels without signal that no region reached.
    regions.clear();
    grower.empty_queue();
    grow_regions(kNoSignal);
    if (!regions.empty()) {
        if (!anchored) anchor_of(regions, &target);
        place_regions(regions, target, order.data(), k.data());
        counts.regions += static_cast<std::int64_t>(regions.size());
    }

    for (std::size_t i = 0; i < un; ++i) out[i] = kind[i] != kUnusable ? phase[i] + kTwoPi * k[i] : phase[i];
    if (info != nullptr) *info = counts;
    return true;
}

}  // namespace

bool quality_unwrap(const double* phase, const int* dims, double* unwrapped, QualityUnwrapInfo* info) {
    return unwrap_impl<float>(phase, nullptr, dims, unwrapped, info, false);
}

bool quality_unwrap(const double* phase, const float* magnitude, const int* dims, double* unwrapped,
                    QualityUnwrapInfo* info) {
    return unwrap_impl(phase, magnitude, dims, unwrapped, info, false);
}

bool quality_unwrap(const double* phase, const double* magnitude, const int* dims, double* unwrapped,
                    QualityUnwrapInfo* info) {
    return unwrap_impl(phase, magnitude, dims, unwrapped, info, false);
}

namespace detail {

bool quality_unwrap_plain(const double* phase, const float* magnitude, const int* dims, double* unwrapped,
                          QualityUnwrapInfo* info) {
    return unwrap_impl(phase, magnitude, dims, unwrapped, info, true);
}

bool quality_unwrap_plain(const double* phase, const double* magnitude, const int* dims, double* unwrapped,
                          QualityUnwrapInfo* info) {
    return unwrap_impl(phase, magnitude, dims, unwrapped, info, true);
}

}  // namespace detail

}  // namespace warpmender
