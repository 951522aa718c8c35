#include "particle/sph_neighbor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/sph_error.h"
#include "core/sph_platform.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "particle/neighbor_scans/sph_neighbor_scan.h"
#include "particle/sph_particle.h"

namespace quorrel {

SphNeighbor sph_neighbor;

namespace {

constexpr int64_t kSlack = sph_neighbor_scan_slack;

// Scratch reused from rebuild to rebuild: particles sorted by cell, each cell's
// particles in chain order (highest index first), with position and (2h)^2 in
// separate arrays, so the scan reads contiguous memory instead of walking the chains
// and can load several candidates at once.
struct NeighborScratch {
    std::vector<int64_t> cell_start;  // num_cells + 1
    std::vector<int64_t> cell_fill;   // num_cells
    std::vector<int32_t> cell_xyz;    // cell coordinates of each particle
    std::vector<int32_t> sorted_index;
    std::vector<int64_t> slot_of;     // sorted position of each particle
    std::vector<double> sx, sy, sz, sr2;
    // Single-precision copies, relative to the box centre, for the prefilter.
    std::vector<float> fx, fy, fz, fr2;
    // Per cell, where the grid has no more cells than points (see bound_slabs): for each
    // axis the lowest and the highest coordinate along it in the 3 x 3 cells across it.
    std::vector<double> slab_lo[3], slab_hi[3];
    std::vector<double> slab_pass;
};
NeighborScratch scratch;

using Probe = SphNeighborProbe;
using Range = SphNeighborRange;
using ScanFn = int64_t (*)(const SphNeighborCandidates&, const SphNeighborProbe&, const SphNeighborRange*, int,
                           SphNeighborScanMode, int32_t*);

// The fastest scan this CPU runs; all of them give the same list.
ScanFn pick_scan() {
#ifdef QUORREL_X86_KERNELS
    const SphSimd level = sph_simd_level();
    if (level == SphSimd::avx512) return sph_neighbor_scan_avx512;
    if (level == SphSimd::avx2) return sph_neighbor_scan_avx2;
#endif
    return sph_neighbor_scan_scalar;
}

// A box that would need more cells than this gets larger cells instead
// (one particle flung far away must not cost gigabytes).
int64_t cell_limit(int32_t points) { return std::max<int64_t>(int64_t{8} * points, int64_t{1} << 16); }

bool takes_part(const SphNeighborPoints& pts, int32_t i) {
    return pts.takes_part == nullptr || pts.takes_part[i] != 0;
}

// What the stages of one search hand on to each other.
struct Frame {
    int32_t members = 0;  // points taking part
    double lo[3] = {0.0, 0.0, 0.0}, hi[3] = {0.0, 0.0, 0.0};
    double max_support = 0.0;
    double cell = 0.0;
    int64_t dims[3] = {1, 1, 1};
    int64_t num_cells = 1;
    double max_r2 = 0.0;  // largest (2h)^2
    // Single-precision prefilter: on, the box centre and the rounding bound of a distance.
    bool prefilter = false;
    double centre[3] = {0.0, 0.0, 0.0};
    double error_a = 0.0;
    bool slabs = false;  // the slab bounds are there
};

// Bounds and cell size: the box of the points taking part and their largest support.
int find_bounds(const SphNeighborPoints& pts, Frame& f) {
    bool first = true;
    double last_h = std::numeric_limits<double>::quiet_NaN(), last_support = 0.0;
    for (int32_t i = 0; i < pts.count; ++i) {
        if (!takes_part(pts, i)) continue;
        ++f.members;
        const double* xi = &pts.x[3 * static_cast<std::size_t>(i)];
        if (!std::isfinite(xi[0]) || !std::isfinite(xi[1]) || !std::isfinite(xi[2])) {
            const int32_t id = pts.ids != nullptr ? pts.ids[i] : i + 1;
            return sph_fail(sph_error_argument, "particle position is not finite (node " + std::to_string(id) + ")");
        }
        for (int k = 0; k < 3; ++k) {
            f.lo[k] = first ? xi[k] : std::min(f.lo[k], xi[k]);
            f.hi[k] = first ? xi[k] : std::max(f.hi[k], xi[k]);
        }
        first = false;
        // Most models have few distinct smoothing lengths: the support of the last one is kept.
        const double h = pts.h[static_cast<std::size_t>(i)];
        if (!(h == last_h)) {
            if (int st = sph_kernel_support_radius(sph_kernel_wendland_c2, h, last_support)) return st;
            last_h = h;
        }
        f.max_support = std::max(f.max_support, last_support);
    }
    if (f.members == 0) return sph_success;
    if (!(f.max_support > 0.0)) return sph_fail(sph_error_argument, "neighbor support radius must be positive");
    // The grid's cells grow to at most the larger of the box and the support, and the box is
    // padded by one cell each side: all of it must stay finite, or the cell counts are NaN.
    double span = 0.0;
    for (int k = 0; k < 3; ++k) span = std::max(span, f.hi[k] - f.lo[k]);
    const double reach = 4.0 * std::max(span, f.max_support);
    for (int k = 0; k < 3; ++k)
        if (!std::isfinite(reach) || !std::isfinite(std::fabs(f.lo[k]) + reach) || !std::isfinite(std::fabs(f.hi[k]) + reach))
            return sph_fail(sph_error_argument, "particle coordinates or smoothing lengths are too large for the neighbor search");
    return sph_success;
}

// Cells of the largest support, the box padded by one cell on every side; fewer, larger
// cells when the box would need too many.
void size_grid(Frame& f, SphNeighborGrid& grid) {
    double cell = f.max_support;
    auto count_cells = [&](double edge) {
        int64_t total = 1;
        for (int k = 0; k < 3; ++k) {
            const double span = (f.hi[k] + edge) - (f.lo[k] - edge);
            const double c = std::floor(span / edge) + 1.0;
            f.dims[k] = c > 4.0e9 ? int64_t{4000000000} : std::max<int64_t>(1, static_cast<int64_t>(c));
            total = (total > INT64_MAX / f.dims[k]) ? INT64_MAX : total * f.dims[k];
        }
        return total;
    };
    int64_t num_cells = count_cells(cell);
    while (num_cells > cell_limit(f.members)) {
        cell *= std::cbrt(static_cast<double>(num_cells) / static_cast<double>(cell_limit(f.members))) * 1.01;
        num_cells = count_cells(cell);
    }
    for (std::size_t k = 0; k < 3; ++k) {
        grid.neighbor_min_corner[k] = f.lo[k] - cell;
        grid.neighbor_max_corner[k] = f.hi[k] + cell;
        grid.neighbor_cell_dims[k] = static_cast<int32_t>(f.dims[k]);
    }
    grid.neighbor_cell_size = cell;
    grid.neighbor_num_cells = static_cast<int32_t>(num_cells);
    f.cell = cell;
    f.num_cells = num_cells;
}

int size_list_arrays(int32_t n, int64_t num_cells, SphNeighborList& list) {
    try {
        const std::size_t count = static_cast<std::size_t>(n);
        list.neighbor_count.resize(count);
        list.neighbor_offset.resize(count);
        list.particle_cell_id.resize(count);
        list.cell_next.resize(count);
        list.cell_head.assign(static_cast<std::size_t>(num_cells), -1);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    return sph_success;
}

// Binning: each point's cell, and the chains, which run from the highest index down.
void bin_points(const SphNeighborPoints& pts, const Frame& f, const SphNeighborGrid& grid, SphNeighborList& list) {
    const int32_t n = pts.count;
    std::vector<int64_t>& start = scratch.cell_start;
    start.assign(static_cast<std::size_t>(f.num_cells) + 1, 0);
    scratch.cell_xyz.resize(3 * static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        list.neighbor_count[u] = 0;
        list.neighbor_offset[u] = 0;
        if (!takes_part(pts, i)) {
            list.particle_cell_id[u] = -1;
            list.cell_next[u] = -1;
            continue;
        }
        const double* xi = &pts.x[3 * u];
        int64_t c[3];
        for (std::size_t k = 0; k < 3; ++k) {
            const double t = (xi[k] - grid.neighbor_min_corner[k]) / f.cell;
            int64_t ic = t < 0.0 ? 0 : static_cast<int64_t>(t);
            c[k] = std::clamp<int64_t>(ic, 0, f.dims[k] - 1);
        }
        const int64_t cid = c[0] + f.dims[0] * (c[2] * f.dims[1] + c[1]);
        for (int k = 0; k < 3; ++k) scratch.cell_xyz[3 * u + k] = static_cast<int32_t>(c[k]);
        list.particle_cell_id[u] = static_cast<int32_t>(cid);
        list.cell_next[u] = list.cell_head[static_cast<std::size_t>(cid)];
        list.cell_head[static_cast<std::size_t>(cid)] = i;
        ++start[static_cast<std::size_t>(cid) + 1];
    }
    for (int64_t c = 0; c < f.num_cells; ++c) start[static_cast<std::size_t>(c) + 1] += start[static_cast<std::size_t>(c)];
}

// The points sorted by cell, each cell's in chain order (highest index first), with
// position and (2h)^2 in separate arrays, so the scan reads contiguous memory.
void sort_by_cell(const SphNeighborPoints& pts, Frame& f, const SphNeighborList& list) {
    const int32_t n = pts.count;
    const std::size_t padded = static_cast<std::size_t>(f.members + kSlack);
    // Entries below the member count are all rewritten below; only the slack is cleared
    // (the vector loads read it, and its indices must stay valid).
    scratch.sorted_index.resize(padded);
    std::fill(scratch.sorted_index.begin() + f.members, scratch.sorted_index.end(), 0);
    scratch.slot_of.resize(static_cast<std::size_t>(n));
    for (auto* a : {&scratch.sx, &scratch.sy, &scratch.sz, &scratch.sr2}) {
        a->resize(padded);
        std::fill(a->begin() + f.members, a->end(), 0.0);
    }
    // Each cell is filled from its end with ascending indices, which leaves them in chain
    // order (descending).
    scratch.cell_fill.assign(scratch.cell_start.begin() + 1, scratch.cell_start.end());
    for (int32_t i = 0; i < n; ++i) {
        if (!takes_part(pts, i)) continue;
        const int64_t cid = list.particle_cell_id[static_cast<std::size_t>(i)];
        const int64_t slot = --scratch.cell_fill[static_cast<std::size_t>(cid)];
        scratch.sorted_index[static_cast<std::size_t>(slot)] = i;
        scratch.slot_of[static_cast<std::size_t>(i)] = slot;
    }
    // Through locals: stores to the arrays could otherwise alias the frame's maximum,
    // which would then make a chain through memory from one point to the next.
    const int32_t* __restrict order = scratch.sorted_index.data();
    const double* __restrict x = pts.x;
    const double* __restrict h = pts.h;
    double* __restrict sx = scratch.sx.data();
    double* __restrict sy = scratch.sy.data();
    double* __restrict sz = scratch.sz.data();
    double* __restrict sr2 = scratch.sr2.data();
    double max_r2 = f.max_r2;
    for (std::size_t s = 0; s < static_cast<std::size_t>(f.members); ++s) {
        const std::size_t j = static_cast<std::size_t>(order[s]);
        sx[s] = x[3 * j];
        sy[s] = x[3 * j + 1];
        sz[s] = x[3 * j + 2];
        const double r2 = (2.0 * h[j]) * (2.0 * h[j]);
        sr2[s] = r2;
        max_r2 = std::max(max_r2, r2);
    }
    f.max_r2 = max_r2;
}

// Single-precision prefilter, where the CPU has AVX-512: positions relative to the box
// centre, so their rounding error is at most u X (u = 2^-24, X the largest offset). With
// A = 4 u X bounding that error in a distance (both ends, three components) and R = 2h the
// probe's support, widening the bound by eps = 4 A / R + 16 u (+1e-8) covers it and the
// single-precision arithmetic; when that exceeds 1e-3 (a model far larger than its
// smoothing lengths) the prefilter would settle little, and is off.
constexpr double kFloatUnit = 0x1p-24;

void prepare_prefilter(Frame& f) {
    double offset = 0.0;
    for (int k = 0; k < 3; ++k) {
        f.centre[k] = 0.5 * f.lo[k] + 0.5 * f.hi[k];
        offset = std::max({offset, std::fabs(f.lo[k] - f.centre[k]), std::fabs(f.hi[k] - f.centre[k])});
    }
    f.error_a = 4.0 * kFloatUnit * offset;
    f.prefilter = sph_simd_level() == SphSimd::avx512 && offset < 1e30;
    if (!f.prefilter) return;
    const std::size_t padded = static_cast<std::size_t>(f.members + kSlack);
    for (auto* a : {&scratch.fx, &scratch.fy, &scratch.fz, &scratch.fr2}) {
        a->resize(padded);
        std::fill(a->begin() + f.members, a->end(), 0.0f);
    }
    for (std::size_t s = 0; s < static_cast<std::size_t>(f.members); ++s) {
        scratch.fx[s] = static_cast<float>(scratch.sx[s] - f.centre[0]);
        scratch.fy[s] = static_cast<float>(scratch.sy[s] - f.centre[1]);
        scratch.fz[s] = static_cast<float>(scratch.sz[s] - f.centre[2]);
        scratch.fr2[s] = static_cast<float>(scratch.sr2[s]);
    }
}

// The float nearest to v on the side of `toward`.
float float_toward(double v, float toward) {
    float f = static_cast<float>(v);
    if ((toward < f) ? (f > v) : (f < v)) f = std::nextafter(f, toward);
    return f;
}

// Slab bounds: for each cell and axis, the lowest and highest coordinate along that axis
// of the points in the 3 x 3 cells around it across the axis (+inf and -inf when they are
// empty). The slab of cells beside a point's cell along an axis then lies at least as far
// from the point as these, and usually farther than the cell wall: a point's rows are
// pruned by them more often. Kept only where the grid has no more cells than points (a
// sparse grid would cost more memory than it saves time); then every point whose 27 cells
// exist uses them.
int bound_slabs(Frame& f) {
    f.slabs = false;
    if (f.num_cells > f.members) return sph_success;
    const std::size_t cells = static_cast<std::size_t>(f.num_cells);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    try {
        for (int k = 0; k < 3; ++k) {
            scratch.slab_lo[k].resize(cells);
            scratch.slab_hi[k].resize(cells);
        }
        scratch.slab_pass.resize(cells);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    // Each cell's own extent first.
    const int64_t* cs = scratch.cell_start.data();
    const double* px = scratch.sx.data();
    const double* py = scratch.sy.data();
    const double* pz = scratch.sz.data();
    double* lo[3] = {scratch.slab_lo[0].data(), scratch.slab_lo[1].data(), scratch.slab_lo[2].data()};
    double* hi[3] = {scratch.slab_hi[0].data(), scratch.slab_hi[1].data(), scratch.slab_hi[2].data()};
    for (std::size_t c = 0; c < cells; ++c) {
        double l0 = kInf, l1 = kInf, l2 = kInf, h0 = -kInf, h1 = -kInf, h2 = -kInf;
        for (int64_t t = cs[c]; t < cs[c + 1]; ++t) {
            l0 = std::min(l0, px[t]);
            h0 = std::max(h0, px[t]);
            l1 = std::min(l1, py[t]);
            h1 = std::max(h1, py[t]);
            l2 = std::min(l2, pz[t]);
            h2 = std::max(h2, pz[t]);
        }
        lo[0][c] = l0;
        lo[1][c] = l1;
        lo[2][c] = l2;
        hi[0][c] = h0;
        hi[1][c] = h1;
        hi[2][c] = h2;
    }
    // Then widened over the neighbours along the two other axes, one axis at a time
    // (a neighbour past the grid's edge counts as empty).
    const int64_t dims[3] = {f.dims[0], f.dims[1], f.dims[2]};
    const int64_t stride[3] = {1, dims[0], dims[0] * dims[1]};
    auto widen = [&](std::vector<double>& out, int across, bool low) {
        double* t = scratch.slab_pass.data();
        const double* v = out.data();
        const int64_t st = stride[across], n_across = dims[across];
        // Cells run as (outer, at, inner): `at` along the axis, `inner` the cells below its stride.
        const int64_t outer = f.num_cells / (st * n_across);
        for (int64_t o = 0; o < outer; ++o) {
            for (int64_t at = 0; at < n_across; ++at) {
                const int64_t base = (o * n_across + at) * st;
                const bool has_lower = at > 0, has_upper = at + 1 < n_across;
                for (int64_t in = 0; in < st; ++in) {
                    const int64_t c = base + in;
                    double m = v[c];
                    if (has_lower) m = low ? std::min(m, v[c - st]) : std::max(m, v[c - st]);
                    if (has_upper) m = low ? std::min(m, v[c + st]) : std::max(m, v[c + st]);
                    t[c] = m;
                }
            }
        }
        out.swap(scratch.slab_pass);
    };
    for (int k = 0; k < 3; ++k) {
        for (int across = 0; across < 3; ++across) {
            if (across == k) continue;
            widen(scratch.slab_lo[k], across, true);
            widen(scratch.slab_hi[k], across, false);
        }
    }
    f.slabs = true;
    return sph_success;
}

inline double positive_part(double d) {
#if defined(__SSE2__)
    // A max instruction, not a branch: which rows are pruned is hard to predict.
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(d), _mm_setzero_pd()));
#else
    return d > 0.0 ? d : 0.0;
#endif
}

// What one link takes: its list entry.
constexpr uint64_t kBytesPerLink = sizeof(int32_t);

// Links the memory limit allows.
int64_t memory_link_limit() {
    uint64_t bytes = sph_neighbor.neighbor_memory_limit;
    if (bytes == 0) bytes = sph_platform_physical_memory();
    if (bytes == 0) return INT64_MAX;  // unknown: the allocation itself decides
    return static_cast<int64_t>(std::min<uint64_t>(bytes / kBytesPerLink, INT64_MAX));
}

int storage_failure() { return sph_fail(sph_error_database, "failed to allocate neighbor storage"); }

// Grows the list keeping what it holds.
int grow_list(SphNeighborLinks& list, int64_t needed) {
    const int64_t cap = static_cast<int64_t>(list.size());
    const int64_t want = std::max<int64_t>(needed, cap + cap / 2 + 1024);
    try {
        list.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return storage_failure();
    }
    return sph_success;
}

// Links certainly present, a lower bound: every pair of a cell whose box lies well within
// the smallest support of its points.
int64_t certain_links(const Frame& f) {
    int64_t total = 0;
    for (int64_t cid = 0; cid < f.num_cells; ++cid) {
        const std::size_t b = static_cast<std::size_t>(scratch.cell_start[static_cast<std::size_t>(cid)]);
        const std::size_t e = static_cast<std::size_t>(scratch.cell_start[static_cast<std::size_t>(cid) + 1]);
        if (e - b < 2) continue;
        double lo[3] = {scratch.sx[b], scratch.sy[b], scratch.sz[b]}, hi[3] = {lo[0], lo[1], lo[2]};
        double min_r2 = scratch.sr2[b];
        for (std::size_t s = b + 1; s < e; ++s) {
            const double p[3] = {scratch.sx[s], scratch.sy[s], scratch.sz[s]};
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], p[k]);
                hi[k] = std::max(hi[k], p[k]);
            }
            min_r2 = std::min(min_r2, scratch.sr2[s]);
        }
        const double ex = hi[0] - lo[0], ey = hi[1] - lo[1], ez = hi[2] - lo[2];
        if (!(ex * ex + ey * ey + ez * ez <= 0.5 * min_r2)) continue;
        const int64_t m = static_cast<int64_t>(e - b);
        total = total > INT64_MAX - m * (m - 1) ? INT64_MAX : total + m * (m - 1);
    }
    return total;
}

// Room for `needed` links, what the list held dropped first so that the two never
// stand side by side: exactly that many the first time, a little more when a later search
// outgrows it, so that slowly growing lists do not reallocate step after step. The new
// entries are not zero-filled.
int fresh_links(SphNeighborLinks& v, int64_t needed, int64_t most) {
    const int64_t have = static_cast<int64_t>(v.size());
    const int64_t want = have == 0 ? needed : std::max(needed, std::min(have + have / 32, most));
    try {
        SphNeighborLinks().swap(v);
        v.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return storage_failure();
    }
    return sph_success;
}

// How one walk over the points uses each point's scan.
enum class Walk {
    store,   // into the list's storage; counts first when the room runs out
    count,   // only counts, from a given point on, up to a given total
    capped,  // into storage grown range by range, stopping at max_links
};

// Links, point by point in point order; neighbour cells dz outer, dy, dx inner. The three
// dx cells of one (dy, dz) row are adjacent in the sorted order, so a row is one
// contiguous range. A count walk sets `links` to the links of points `from` .. n-1, or to
// just past `stop_after` when it stops there. A store walk whose room was `sized` by a
// count does not count again.
int walk_points(const SphNeighborPoints& pts, int64_t max_links, const Frame& f, const SphNeighborGrid& grid,
                SphNeighborList& list, Walk walk, int32_t from, int64_t stop_after, bool sized, int64_t& links);

// The room for all links when the `total` of the points before i are stored: the links
// of points i .. n-1 are counted first (the same scan without the stores), then the list
// is allocated once, empty. Sets `capped` when they pass `max_links` within the memory
// limit.
__attribute__((noinline)) int make_room(const SphNeighborPoints& pts, const Frame& f, const SphNeighborGrid& grid,
                                        int32_t i, int64_t total, int64_t max_links, int64_t limit,
                                        SphNeighborList& list, bool& capped) {
    const int64_t stop_after = std::min(limit, max_links);
    int64_t rest = INT64_MAX;
    if (!(i == 0 && certain_links(f) > stop_after))
        if (int st = walk_points(pts, max_links, f, grid, list, Walk::count, i, stop_after - total, false, rest)) return st;
    if (rest > stop_after - total) {
        if (max_links > limit) return storage_failure();
        capped = true;
        return sph_success;
    }
    return fresh_links(list.neighbor_list, total + rest + kSlack, limit + kSlack);
}

int walk_points(const SphNeighborPoints& pts, int64_t max_links, const Frame& f, const SphNeighborGrid& grid,
                SphNeighborList& list, Walk walk, int32_t from, int64_t stop_after, bool sized, int64_t& links) {
    const int32_t n = pts.count;
    const int64_t dimx = f.dims[0], dimy = f.dims[1], dimz = f.dims[2];
    const double cell = f.cell;
    // A neighbour cell farther from the point than the largest support cannot hold a
    // neighbour and is skipped (the corner cells, often). Distances are in cell units;
    // the slack covers the rounding of the binning and of the gaps, and a NaN limit skips
    // nothing.
    const double reach_limit = (f.max_support / cell) * (f.max_support / cell) * (1.0 + 1e-9);
    // The same in length units for the slab bounds: the larger of the support and the
    // largest pair reach, with room for the rounding of the gaps (differences of stored
    // coordinates, so their error is relative).
    const double slab_limit = std::max(f.max_support * f.max_support, f.max_r2) * (1.0 + 1e-9);
    const double* slab_lo[3] = {scratch.slab_lo[0].data(), scratch.slab_lo[1].data(), scratch.slab_lo[2].data()};
    const double* slab_hi[3] = {scratch.slab_hi[0].data(), scratch.slab_hi[1].data(), scratch.slab_hi[2].data()};
    const int64_t stride[3] = {1, dimx, dimx * dimy};
    const int64_t limit = memory_link_limit();
    int64_t total = 0;
    int64_t cap = static_cast<int64_t>(list.neighbor_list.size());
    const int64_t* cs = scratch.cell_start.data();
    const SphNeighborCandidates cand{scratch.sx.data(),  scratch.sy.data(), scratch.sz.data(), scratch.sr2.data(),
                          scratch.sorted_index.data(), pts.h,    scratch.fx.data(), scratch.fy.data(),
                          scratch.fz.data(),  scratch.fr2.data()};
    const ScanFn scan = pick_scan();
    const double inv_cell = 1.0 / cell;
    double factors_h = std::numeric_limits<double>::quiet_NaN();
    bool factors_ok = false;
    float in_factor = 0.0f, out_factor = 0.0f;
    // On a failure the links and counts so far stay.
    auto stop = [&](int32_t i, int64_t count, int st) {
        list.total_links = total;
        list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
        return st;
    };
    links = 0;
    for (int32_t i = from; i < n; ++i) {
        if (walk != Walk::count) list.neighbor_offset[static_cast<std::size_t>(i)] = total;
        if (!takes_part(pts, i)) continue;
        const double* xi = &pts.x[3 * static_cast<std::size_t>(i)];
        const int32_t* ci = &scratch.cell_xyz[3 * static_cast<std::size_t>(i)];
        const double hi_ = pts.h[static_cast<std::size_t>(i)];
        Probe probe{xi[0], xi[1], xi[2], (2.0 * hi_) * (2.0 * hi_), hi_, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        if (f.prefilter && !(hi_ == factors_h)) {
            // Most models have few distinct smoothing lengths: the factors of the last one are kept.
            const double eps = 4.0 * f.error_a / (2.0 * hi_) + 16.0 * kFloatUnit + 1e-8;
            factors_h = hi_;
            factors_ok = eps <= 1e-3;
            in_factor = float_toward((1.0 - eps) * (1.0 - eps) * (1.0 - 8.0 * kFloatUnit), 0.0f);
            out_factor = float_toward((1.0 + eps) * (1.0 + eps) * (1.0 + 8.0 * kFloatUnit), 2.0f);
        }
        const bool filtered = f.prefilter && factors_ok;
        if (filtered) {
            probe.fx = static_cast<float>(xi[0] - f.centre[0]);
            probe.fy = static_cast<float>(xi[1] - f.centre[1]);
            probe.fz = static_cast<float>(xi[2] - f.centre[2]);
            probe.freach2 = static_cast<float>(probe.reach2);
            probe.in_factor = in_factor;
            probe.out_factor = out_factor;
        }
        const int64_t ix = ci[0], iy = ci[1], iz = ci[2];
        const bool all_cells = ix > 0 && iy > 0 && iz > 0 && ix + 1 < dimx && iy + 1 < dimy && iz + 1 < dimz;
        const int64_t own_cell = ix + dimx * (iz * dimy + iy);
        // Squared gap from the point to the lower, own and upper cell along each axis: to
        // the slabs beside its cell where they are there and all 27 cells exist, else to
        // its cell's walls in cell units, shrunk by the slack.
        double gap2[3][3];
        double prune_limit = reach_limit;
        if (f.slabs && all_cells) [[likely]] {
            for (std::size_t k = 0; k < 3; ++k) {
                const double below = positive_part(xi[k] - slab_hi[k][own_cell - stride[k]]);
                const double above = positive_part(slab_lo[k][own_cell + stride[k]] - xi[k]);
                gap2[k][0] = below * below;
                gap2[k][1] = 0.0;
                gap2[k][2] = above * above;
            }
            prune_limit = slab_limit;
        } else {
            for (std::size_t k = 0; k < 3; ++k) {
                const double t = (xi[k] - grid.neighbor_min_corner[k]) * inv_cell;
                const double slack = 1e-12 * (std::fabs(t) + ci[k] + 1.0);
                const double below = std::max(0.0, t - ci[k] - slack), above = std::max(0.0, ci[k] + 1.0 - t - slack);
                gap2[k][0] = below * below;
                gap2[k][1] = 0.0;
                gap2[k][2] = above * above;
            }
        }
        Range ranges[9];
        int nranges = 0;
        int64_t candidates = 0;
        if (all_cells) [[likely]] {
            // All 27 cells exist (the grid's padding keeps nearly every point here): the
            // nine rows unrolled, each read whether or not it is pruned.
            const int64_t* own = cs + own_cell;
            for (int dz = 0; dz < 3; ++dz) {
                for (int dy = 0; dy < 3; ++dy) {
                    const double gyz = gap2[2][dz] + gap2[1][dy];
                    const int64_t* row = own + dimx * ((dz - 1) * dimy + (dy - 1));
                    const int64_t x0 = -static_cast<int64_t>(!(gyz + gap2[0][0] > prune_limit));
                    const int64_t x1 = 1 + static_cast<int64_t>(!(gyz + gap2[0][2] > prune_limit));
                    const int64_t b = row[x0], e = row[x1];
                    const int64_t keep = static_cast<int64_t>(!(gyz > prune_limit)) & static_cast<int64_t>(b < e);
                    ranges[nranges] = {b, e};
                    nranges += static_cast<int>(keep);
                    candidates += keep * (e - b);
                }
            }
        } else {
            for (int64_t jz = std::max<int64_t>(iz - 1, 0); jz <= std::min<int64_t>(iz + 1, dimz - 1); ++jz) {
                for (int64_t jy = std::max<int64_t>(iy - 1, 0); jy <= std::min<int64_t>(iy + 1, dimy - 1); ++jy) {
                    const double gyz = gap2[2][jz - iz + 1] + gap2[1][jy - iy + 1];
                    if (gyz > reach_limit) continue;
                    const int64_t x0 = ix - static_cast<int64_t>(ix > 0 && !(gyz + gap2[0][0] > reach_limit));
                    const int64_t x1 = ix + static_cast<int64_t>(ix + 1 < dimx && !(gyz + gap2[0][2] > reach_limit));
                    const int64_t row = dimx * (jz * dimy + jy);
                    const int64_t b = cs[row + x0], e = cs[row + x1 + 1];
                    ranges[nranges] = {b, e};
                    nranges += static_cast<int>(b < e);
                    candidates += e - b;
                }
            }
        }
        const bool own_largest = probe.reach2 >= f.max_r2;
        const SphNeighborScanMode mode{own_largest, filtered};
        // The point's own entry fails every test while its x is NaN (d2 is NaN), so its
        // row needs no split around it.
        const std::size_t self = static_cast<std::size_t>(scratch.slot_of[static_cast<std::size_t>(i)]);
        double* const self_x = &scratch.sx[self];
        *self_x = std::numeric_limits<double>::quiet_NaN();
        float self_fx = 0.0f;
        if (filtered) {
            self_fx = scratch.fx[self];
            scratch.fx[self] = std::numeric_limits<float>::quiet_NaN();
        }
        int64_t count = 0;
        if (walk == Walk::count) {
            links += scan(cand, probe, ranges, nranges, mode, nullptr);
            *self_x = probe.x;
            if (filtered) scratch.fx[self] = self_fx;
            if (links > stop_after) break;
            continue;
        }
        if (walk == Walk::capped) {
            // Range by range, growing the list as it goes, so that a failed allocation
            // leaves the links so far counted.
            for (int r = 0; r < nranges; ++r) {
                const int64_t room = ranges[r].e - ranges[r].b + kSlack;
                if (total + room > cap) {
                    if (int st = grow_list(list.neighbor_list, total + room)) return stop(i, count, st);
                    cap = static_cast<int64_t>(list.neighbor_list.size());
                }
                const int64_t k = scan(cand, probe, ranges + r, 1, mode, list.neighbor_list.data() + total);
                total += k;
                count += k;
                if (total > max_links) break;
            }
            total -= count;
        } else if (total + candidates + kSlack > cap &&
                   total + scan(cand, probe, ranges, nranges, mode, nullptr) + kSlack > cap) [[unlikely]] {
            // Near the end of the room the exact count decides (the stores write up to the
            // slack past the last link); past it, the rest is counted and the room made.
            *self_x = probe.x;
            if (filtered) scratch.fx[self] = self_fx;
            if (sized) return storage_failure();  // the count said they fit
            bool capped = false;
            if (int st = make_room(pts, f, grid, i, total, max_links, limit, list, capped)) return st;
            if (capped) {
                // The capacity check keeps the links up to the failing point.
                std::fill(list.neighbor_count.begin(), list.neighbor_count.end(), 0);
                return walk_points(pts, max_links, f, grid, list, Walk::capped, 0, 0, false, links);
            }
            // The room is made afresh: the walk starts again from the first point.
            return walk_points(pts, max_links, f, grid, list, Walk::store, 0, 0, true, links);
        }
        if (walk == Walk::store) count = scan(cand, probe, ranges, nranges, mode, list.neighbor_list.data() + total);
        total += count;
        // Both clamped to max_links, as the failure leaves them.
        if (total > max_links) {
            count -= total - max_links;
            total = max_links;
            return stop(i, count, sph_fail(sph_error_argument, "neighbor table capacity is too small"));
        }
        *self_x = probe.x;
        if (filtered) scratch.fx[self] = self_fx;
        list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
    }
    if (walk != Walk::count) list.total_links = total;
    return sph_success;
}

// Links of every point into the list's storage. When the storage runs out, the links
// of the remaining points are counted first (the same scan without the stores), the list
// is allocated once for all of them and the stores start again; a total past the memory
// limit fails before anything more is stored.
int link_points(const SphNeighborPoints& pts, int64_t max_links, const Frame& f, const SphNeighborGrid& grid,
                SphNeighborList& list) {
    int64_t unused = 0;
    return walk_points(pts, max_links, f, grid, list, Walk::store, 0, 0, false, unused);
}


// The database's lists lend their storage to the search and take it back, so a rebuild
// neither copies nor reallocates them.
void exchange_database_lists(SphDatabase& d, SphNeighborList& list) {
    d.neighbor_count.swap(list.neighbor_count);
    d.neighbor_offset.swap(list.neighbor_offset);
    d.neighbor_list.swap(list.neighbor_list);
    d.particle_cell_id.swap(list.particle_cell_id);
    d.cell_next.swap(list.cell_next);
    d.cell_head.swap(list.cell_head);
}

SphNeighborList database_lists;

}  // namespace

void sph_neighbor_reset() {
    sph_neighbor = SphNeighbor{};
    sph_neighbor_release_scratch();
}

void sph_neighbor_release_scratch() {
    scratch = NeighborScratch{};
    database_lists = SphNeighborList{};
}

int sph_neighbor_search(const SphNeighborPoints& points, int64_t max_links, SphNeighborList& list) {
    list.total_links = 0;
    if (points.count <= 0) {
        list.cell_head.clear();
        return sph_success;
    }
    if (max_links < 0) return sph_fail(sph_error_argument, "neighbor capacity must be non-negative");
    Frame f;
    if (int st = find_bounds(points, f)) return st;
    if (f.members == 0) {
        // Nothing takes part: every run is empty and the grid stays as it was.
        if (int st = size_list_arrays(points.count, 0, list)) return st;
        std::fill(list.neighbor_count.begin(), list.neighbor_count.end(), 0);
        std::fill(list.neighbor_offset.begin(), list.neighbor_offset.end(), 0);
        std::fill(list.particle_cell_id.begin(), list.particle_cell_id.end(), -1);
        std::fill(list.cell_next.begin(), list.cell_next.end(), -1);
        return sph_success;
    }
    size_grid(f, list.grid);
    if (int st = size_list_arrays(points.count, f.num_cells, list)) return st;
    bin_points(points, f, list.grid, list);
    sort_by_cell(points, f, list);
    prepare_prefilter(f);
    if (int st = bound_slabs(f)) return st;
    return link_points(points, max_links, f, list.grid, list);
}

int sph_neighbor_rebuild() { return sph_neighbor_rebuild_with_capacity(INT64_MAX); }

int sph_neighbor_rebuild_with_capacity(int64_t max_links) {
    SphDatabase& d = sph_database;
    SphNeighborList& list = database_lists;
    exchange_database_lists(d, list);
    list.grid = sph_neighbor;
    const SphNeighborPoints points{d.x.data(), d.h.data(), d.npart, nullptr, d.particle_id_ext.data()};
    const int st = sph_neighbor_search(points, max_links, list);
    exchange_database_lists(d, list);
    static_cast<SphNeighborGrid&>(sph_neighbor) = list.grid;
    sph_neighbor.neighbor_total_links = list.total_links;
    return st;
}

int sph_neighbor_get_stats(int32_t& max_neighbors, double& average_neighbors) {
    max_neighbors = 0;
    average_neighbors = 0.0;
    const SphDatabase& d = sph_database;
    if (d.npart <= 0) return sph_success;
    int64_t sum = 0;
    for (int32_t i = 0; i < d.npart; ++i) {
        max_neighbors = std::max(max_neighbors, d.neighbor_count[static_cast<std::size_t>(i)]);
        sum += d.neighbor_count[static_cast<std::size_t>(i)];
    }
    average_neighbors = static_cast<double>(sum) / static_cast<double>(d.npart);
    return sph_success;
}

}  // namespace quorrel
