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

constexpr int64_t scan_slack = sph_neighbor_scan_slack;

// The rows a point of one cell scans: for each of the nine (dz, dy) rows, dz outer, the
// sorted positions where its cells x-1, x and x+1 begin and where x+1 ends (equal where a
// cell is empty), and the slab bounds: for each axis the highest coordinate along it in
// the 3 x 3 cells below the cell and the lowest in those above (-inf and +inf when empty).
// A point is at least as far from those slabs as these bounds say, so rows beyond reach
// are pruned without reading them.
struct CellRows {
    int32_t at[9][4];
    double below_hi[3], above_lo[3];
};

// Scratch reused from rebuild to rebuild: the points taking part sorted by cell, each
// cell's in descending index order, with position and (2h)^2 in separate arrays, so the
// scan reads contiguous memory and can load several candidates at once; and the occupied
// cells only, in key order, so that empty space costs nothing.
struct NeighborScratch {
    std::vector<int64_t> sort_key, sort_key_tmp;  // cell key of each sorted point
    std::vector<int32_t> sorted_index, sorted_tmp;
    std::vector<int64_t> radix_count;
    std::vector<int32_t> slot_of;  // sorted position of each point
    std::vector<double> sx, sy, sz, sr2;
    // Single-precision copies, relative to a centre, for the prefilter.
    std::vector<float> fx, fy, fz, fr2;
    // Occupied cells: key (a sentinel past the last), first sorted position (members past
    // the last), extent of their points, and the rows of each cell that can hold a pair
    // (-1: a lone point with no occupied cell around it), by the cell id the lists give
    // (see rows_slot).
    std::vector<int64_t> cell_key;
    std::vector<int64_t> cell_start;
    std::vector<double> cell_extent;  // 6 per cell: lowest x, y, z, highest x, y, z
    std::vector<int32_t> rows_of;
    std::vector<CellRows> rows;
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

// Grids of up to this many cells keep one chain head per cell of the grid in the lists;
// larger ones keep one per occupied cell.
int64_t cell_limit(int32_t points) { return std::max<int64_t>(int64_t{8} * points, int64_t{1} << 16); }

// A cell key is the cell's index in the grid, in 64 bits. A box whose grid would not fit
// gets larger cells, as does one with more cells along an axis than its binning resolves
// (the rounding of a coordinate must stay far below a cell there).
constexpr double key_cells = 0x1p62;
constexpr double axis_cells = 0x1p40;

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
    int64_t cells = 0;  // occupied cells
    const int64_t* cell_rank = nullptr;  // a whole grid's: each cell's rank among the occupied, or -1
    double max_r2 = 0.0;  // largest (2h)^2
    // Single-precision prefilter: on, its centre and the rounding bound of a distance.
    bool prefilter = false;
    double centre[3] = {0.0, 0.0, 0.0};
    double error_a = 0.0;
};

double span_of(const Frame& f) { return std::max({f.hi[0] - f.lo[0], f.hi[1] - f.lo[1], f.hi[2] - f.lo[2]}); }

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
    const double reach = 4.0 * std::max(span_of(f), f.max_support);
    for (int k = 0; k < 3; ++k)
        if (!std::isfinite(reach) || !std::isfinite(std::fabs(f.lo[k]) + reach) || !std::isfinite(std::fabs(f.hi[k]) + reach))
            return sph_fail(sph_error_argument, "particle coordinates or smoothing lengths are too large for the neighbor search");
    return sph_success;
}

// Cells of the largest support, the box padded by one cell on every side; larger cells
// only where the keys could not number them.
void size_grid(Frame& f, SphNeighborGrid& grid) {
    double cell = f.max_support;
    // Whether cells of this edge fit; if not, by how much to widen them (from logarithms:
    // a box far wider than its cells gives cell counts past the double range).
    auto fits = [&](double edge, double& growth) {
        double total = 1.0, widest = 1.0, log_total = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double span = (f.hi[k] + edge) - (f.lo[k] - edge);
            const double c = std::max(1.0, std::floor(span / edge) + 1.0);
            f.dims[k] = c > axis_cells ? static_cast<int64_t>(axis_cells) : static_cast<int64_t>(c);
            total *= c;
            widest = std::max(widest, c);
            log_total += std::max(0.0, std::log2(span) - std::log2(edge));
        }
        if (total <= key_cells && widest <= axis_cells) return true;
        growth = std::max({1.0, std::exp2((log_total - std::log2(key_cells)) / 3.0),
                           std::exp2(std::log2(span_of(f)) - std::log2(edge) - std::log2(axis_cells))});
        return false;
    };
    for (double growth = 1.0; !fits(cell, growth);) cell *= growth * 1.01;
    f.num_cells = f.dims[0] * f.dims[1] * f.dims[2];
    for (std::size_t k = 0; k < 3; ++k) {
        grid.neighbor_min_corner[k] = f.lo[k] - cell;
        grid.neighbor_max_corner[k] = f.hi[k] + cell;
        grid.neighbor_cell_dims[k] = static_cast<int32_t>(std::min<int64_t>(f.dims[k], INT32_MAX));
    }
    // The counts saturate where a sparse model's grid outgrows 32 bits; the number of cells
    // is that of the chain heads the lists keep (see write_chains).
    grid.neighbor_cell_size = cell;
    f.cell = cell;
}

int size_list_arrays(int32_t n, SphNeighborList& list) {
    try {
        const std::size_t count = static_cast<std::size_t>(n);
        list.neighbor_count.resize(count);
        list.neighbor_offset.resize(count);
        list.particle_cell_id.resize(count);
        list.cell_next.resize(count);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    return sph_success;
}

// Keys: each point's cell index in the grid, ix + dimx (iz dimy + iy), the points taken from
// the highest index down, so that a stable sort leaves each cell's in descending order.
// A grid of at most the cell limit keeps its keys in the lists' cell ids (its cells are
// numbered in 32 bits), to be counted into the cells directly; a larger one in the sort
// keys.
int64_t cell_key_of(const double* xi, const Frame& f, const SphNeighborGrid& grid) {
    int64_t c[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const double t = (xi[k] - grid.neighbor_min_corner[k]) / f.cell;
        const int64_t ic = t < 0.0 ? 0 : static_cast<int64_t>(t);
        c[k] = std::clamp<int64_t>(ic, 0, f.dims[k] - 1);
    }
    return c[0] + f.dims[0] * (c[2] * f.dims[1] + c[1]);
}

bool whole_grid(const Frame& f) { return f.num_cells <= std::min<int64_t>(cell_limit(f.members), INT32_MAX); }

void key_points(const SphNeighborPoints& pts, const Frame& f, const SphNeighborGrid& grid, SphNeighborList& list) {
    const std::size_t padded = static_cast<std::size_t>(f.members + scan_slack);
    scratch.sorted_index.resize(padded);
    // The vector loads read the slack, and its indices must stay valid.
    std::fill(scratch.sorted_index.begin() + f.members, scratch.sorted_index.end(), 0);
    const bool direct = whole_grid(f);
    if (direct) {
        // The sort's buffers of an earlier, sparser model are not kept beside the lists.
        std::vector<int64_t>().swap(scratch.sort_key);
        std::vector<int64_t>().swap(scratch.sort_key_tmp);
        std::vector<int32_t>().swap(scratch.sorted_tmp);
    } else {
        scratch.sort_key.resize(static_cast<std::size_t>(f.members));
    }
    std::size_t s = 0;
    for (int32_t i = pts.count - 1; i >= 0; --i) {
        const std::size_t u = static_cast<std::size_t>(i);
        list.neighbor_count[u] = 0;
        list.neighbor_offset[u] = 0;
        list.particle_cell_id[u] = -1;
        list.cell_next[u] = -1;
        if (!takes_part(pts, i)) continue;
        const int64_t key = cell_key_of(&pts.x[3 * u], f, grid);
        if (direct) {
            list.particle_cell_id[u] = static_cast<int32_t>(key);
            continue;
        }
        scratch.sort_key[s] = key;
        scratch.sorted_index[s] = i;
        ++s;
    }
}

// The points of a whole grid counted into its cells: the occupied cells from the counts,
// in key order, and each cell filled from its end with ascending indices, which leaves
// them in descending order, as the sort would.
void count_into_cells(const SphNeighborPoints& pts, const Frame& f, const SphNeighborList& list) {
    std::vector<int64_t>& count = scratch.radix_count;
    count.assign(static_cast<std::size_t>(f.num_cells) + 1, 0);
    const int32_t* id = list.particle_cell_id.data();
    for (int32_t i = 0; i < pts.count; ++i)
        if (id[i] >= 0) ++count[static_cast<std::size_t>(id[i]) + 1];
    scratch.cell_key.clear();
    scratch.cell_start.clear();
    for (int64_t c = 0; c < f.num_cells; ++c) {
        const std::size_t u = static_cast<std::size_t>(c);
        if (count[u + 1] > 0) {
            scratch.cell_key.push_back(c);
            scratch.cell_start.push_back(count[u]);
        }
        count[u + 1] += count[u];
    }
    int32_t* order = scratch.sorted_index.data();
    int32_t* slot = scratch.slot_of.data();
    for (int32_t i = 0; i < pts.count; ++i) {
        if (id[i] < 0) continue;
        const int64_t s = --count[static_cast<std::size_t>(id[i]) + 1];
        order[s] = i;
        slot[i] = static_cast<int32_t>(s);
    }
    // The counts are done with: each cell's rank among the occupied cells instead.
    std::fill(count.begin(), count.end(), -1);
    for (std::size_t c = 0; c < scratch.cell_key.size(); ++c)
        count[static_cast<std::size_t>(scratch.cell_key[c])] = static_cast<int64_t>(c);
}

// Stable radix sort of the keys of a grid past the cell limit (more than 65,536 cells):
// passes of at most 11 bits (fewer buckets than that scatter poorly over many points).
void sort_keys(const Frame& f) {
    const int bits = 64 - __builtin_clzll(static_cast<unsigned long long>(f.num_cells - 1));
    const int passes = (bits + 10) / 11;
    const int digit = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const std::size_t m = static_cast<std::size_t>(f.members);
    scratch.radix_count.resize(buckets + 1);
    scratch.sort_key_tmp.resize(m);
    scratch.sorted_tmp.resize(scratch.sorted_index.size());
    std::fill(scratch.sorted_tmp.begin() + f.members, scratch.sorted_tmp.end(), 0);
    for (int p = 0; p < passes; ++p) {
        const int shift = p * digit;
        const int64_t* key = scratch.sort_key.data();
        const int32_t* idx = scratch.sorted_index.data();
        int64_t* key_out = scratch.sort_key_tmp.data();
        int32_t* idx_out = scratch.sorted_tmp.data();
        int64_t* count = scratch.radix_count.data();
        std::fill(count, count + buckets + 1, 0);
        for (std::size_t s = 0; s < m; ++s) ++count[((key[s] >> shift) & static_cast<int64_t>(buckets - 1)) + 1];
        for (std::size_t b = 0; b < buckets; ++b) count[b + 1] += count[b];
        for (std::size_t s = 0; s < m; ++s) {
            const int64_t at = count[(key[s] >> shift) & static_cast<int64_t>(buckets - 1)]++;
            key_out[at] = key[s];
            idx_out[at] = idx[s];
        }
        scratch.sort_key.swap(scratch.sort_key_tmp);
        scratch.sorted_index.swap(scratch.sorted_tmp);
    }
}

// The occupied cells, in key order, and each point's sorted position.
void find_cells(const SphNeighborPoints& pts, Frame& f, const SphNeighborList& list) {
    const std::size_t m = static_cast<std::size_t>(f.members);
    scratch.slot_of.resize(static_cast<std::size_t>(pts.count));
    f.cell_rank = nullptr;
    if (whole_grid(f)) {
        count_into_cells(pts, f, list);
        f.cell_rank = scratch.radix_count.data();
    } else {
        scratch.cell_key.clear();
        scratch.cell_start.clear();
        const int64_t* key = scratch.sort_key.data();
        const int32_t* order = scratch.sorted_index.data();
        for (std::size_t s = 0; s < m; ++s) {
            if (s == 0 || key[s] != key[s - 1]) {
                scratch.cell_key.push_back(key[s]);
                scratch.cell_start.push_back(static_cast<int64_t>(s));
            }
            scratch.slot_of[static_cast<std::size_t>(order[s])] = static_cast<int32_t>(s);
        }
    }
    f.cells = static_cast<int64_t>(scratch.cell_key.size());
    scratch.cell_key.push_back(INT64_MAX);
    scratch.cell_start.push_back(static_cast<int64_t>(m));
}

// The occupied cells x-1, x and x+1 of each of cell c's nine rows (-1 where empty), dz
// outer. Cells run in key order, and so do the first cells of their rows: one cursor per
// row walks the occupied cells once over all calls in key order; a whole grid looks them up.
void row_cells(const Frame& f, int64_t c, int64_t cursor[9], int64_t cell_at[9][3]) {
    const int64_t dimx = f.dims[0], dimy = f.dims[1], dimz = f.dims[2];
    const int64_t* key = scratch.cell_key.data();
    int64_t plane, iz;
    if (f.cell_rank != nullptr) {
        // A whole grid's keys are below 2^31: 32-bit divisions, several times faster.
        const uint32_t k32 = static_cast<uint32_t>(key[c]), plane32 = k32 / static_cast<uint32_t>(dimx);
        plane = plane32;
        iz = plane32 / static_cast<uint32_t>(dimy);
    } else {
        plane = key[c] / dimx;
        iz = plane / dimy;
    }
    const int64_t ix = key[c] - plane * dimx, iy = plane - iz * dimy;
    if (f.cell_rank != nullptr && ix > 0 && iy > 0 && iz > 0 && ix + 1 < dimx && iy + 1 < dimy && iz + 1 < dimz) {
        // All 27 cells exist (the grid's padding keeps nearly every cell here).
        const int64_t* rank = f.cell_rank + key[c];
        for (int r = 0; r < 9; ++r) {
            const int64_t* row = rank + dimx * ((r / 3 - 1) * dimy + r % 3 - 1);
            for (int dx = -1; dx <= 1; ++dx) cell_at[r][dx + 1] = row[dx];
        }
        return;
    }
    for (int r = 0; r < 9; ++r) {
        const int dz = r / 3 - 1, dy = r % 3 - 1;
        cell_at[r][0] = cell_at[r][1] = cell_at[r][2] = -1;
        if (iy + dy < 0 || iy + dy >= dimy || iz + dz < 0 || iz + dz >= dimz) continue;
        const int64_t row = dimx * ((iz + dz) * dimy + iy + dy);
        if (f.cell_rank != nullptr) {
            // A whole grid looks its cells up.
            for (int dx = -1; dx <= 1; ++dx)
                if (ix + dx >= 0 && ix + dx < dimx) cell_at[r][dx + 1] = f.cell_rank[row + ix + dx];
            continue;
        }
        int64_t j = cursor[r];
        while (key[j] < row + std::max<int64_t>(ix - 1, 0)) ++j;
        cursor[r] = j;
        for (int dx = -1; dx <= 1; ++dx)
            if (ix + dx >= 0 && ix + dx < dimx && key[j] == row + ix + dx) cell_at[r][dx + 1] = j++;
    }
}

// Where the rows of occupied cell c are found: by the cell's id in the lists, so that a
// point's is one load away (its key in a whole grid, its rank in a larger one).
std::size_t rows_slot(const Frame& f, int64_t c) {
    return static_cast<std::size_t>(f.cell_rank != nullptr ? scratch.cell_key[static_cast<std::size_t>(c)] : c);
}

// The rows of every cell that can hold a pair: its own holds another point, or a cell
// around it is occupied. The others are a lone point each, which lists nothing and is
// listed by none (the relation is symmetric), so its position is never read.
void build_rows(const Frame& f) {
    const int64_t* start = scratch.cell_start.data();
    scratch.rows.clear();
    scratch.rows_of.resize(static_cast<std::size_t>(f.cell_rank != nullptr ? f.num_cells : f.cells));
    int64_t cursor[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int64_t c = 0; c < f.cells; ++c) {
        int64_t cell_at[9][3];
        row_cells(f, c, cursor, cell_at);
        CellRows t;
        bool others = start[c + 1] - start[c] > 1;
        for (int r = 0; r < 9; ++r) {
            // Where the row's cells x-1, x and x+1 begin, and where x+1 ends.
            int64_t first = 0;
            while (first < 3 && cell_at[r][first] < 0) ++first;
            int32_t* at = t.at[r];
            at[0] = first < 3 ? static_cast<int32_t>(start[cell_at[r][first]]) : 0;
            for (int w = 0; w < 3; ++w) {
                at[w + 1] = cell_at[r][w] >= 0 ? static_cast<int32_t>(start[cell_at[r][w] + 1]) : at[w];
                others = others || (cell_at[r][w] >= 0 && cell_at[r][w] != c);
            }
        }
        scratch.rows_of[rows_slot(f, c)] = others ? static_cast<int32_t>(scratch.rows.size()) : -1;
        if (others) scratch.rows.push_back(t);
    }
}

// The sorted positions and (2h)^2 of the points that can have a neighbour, and the
// extent of their cells.
void gather_points(const SphNeighborPoints& pts, Frame& f) {
    const std::size_t m = static_cast<std::size_t>(f.members), padded = m + scan_slack;
    for (auto* a : {&scratch.sx, &scratch.sy, &scratch.sz, &scratch.sr2}) {
        a->resize(padded);
        std::fill(a->begin() + static_cast<std::ptrdiff_t>(m), a->end(), 0.0);
    }
    // One more, empty: the sentinel the slab bounds read for an empty cell.
    scratch.cell_extent.resize(6 * static_cast<std::size_t>(f.cells + 1));
    {
        constexpr double infinity = std::numeric_limits<double>::infinity();
        double* sentinel = &scratch.cell_extent[6 * static_cast<std::size_t>(f.cells)];
        for (int k = 0; k < 3; ++k) {
            sentinel[k] = infinity;
            sentinel[3 + k] = -infinity;
        }
    }
    // Through locals: stores to the arrays could otherwise alias the frame's maximum,
    // which would then make a chain through memory from one point to the next.
    const int32_t* __restrict order = scratch.sorted_index.data();
    const int64_t* __restrict start = scratch.cell_start.data();
    const double* __restrict x = pts.x;
    const double* __restrict h = pts.h;
    double* __restrict sx = scratch.sx.data();
    double* __restrict sy = scratch.sy.data();
    double* __restrict sz = scratch.sz.data();
    double* __restrict sr2 = scratch.sr2.data();
    double max_r2 = f.max_r2;
    for (int64_t c = 0; c < f.cells; ++c) {
        if (scratch.rows_of[rows_slot(f, c)] < 0) continue;
        double lo[3] = {x[3 * order[start[c]]], x[3 * order[start[c]] + 1], x[3 * order[start[c]] + 2]};
        double hi[3] = {lo[0], lo[1], lo[2]};
        for (int64_t s = start[c]; s < start[c + 1]; ++s) {
            const std::size_t j = static_cast<std::size_t>(order[s]);
            const double p[3] = {x[3 * j], x[3 * j + 1], x[3 * j + 2]};
            sx[s] = p[0];
            sy[s] = p[1];
            sz[s] = p[2];
            const double r2 = (2.0 * h[j]) * (2.0 * h[j]);
            sr2[s] = r2;
            max_r2 = std::max(max_r2, r2);
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], p[k]);
                hi[k] = std::max(hi[k], p[k]);
            }
        }
        double* e = &scratch.cell_extent[6 * static_cast<std::size_t>(c)];
        for (int k = 0; k < 3; ++k) {
            e[k] = lo[k];
            e[3 + k] = hi[k];
        }
    }
    f.max_r2 = max_r2;
}

// The slab bounds of every cell with rows, from the extents of the cells around it; those
// cells have rows too.
void bound_slabs(const Frame& f) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const double* extent = scratch.cell_extent.data();
    int64_t cursor[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int64_t c = 0; c < f.cells; ++c) {
        const int32_t table = scratch.rows_of[rows_slot(f, c)];
        if (table < 0) continue;
        int64_t cell_at[9][3];
        row_cells(f, c, cursor, cell_at);
        CellRows& t = scratch.rows[static_cast<std::size_t>(table)];
        for (int k = 0; k < 3; ++k) {
            t.below_hi[k] = -infinity;
            t.above_lo[k] = infinity;
        }
        // Empty cells read the sentinel past the last, whose extent is empty.
        const double* e[9][3];
        for (int r = 0; r < 9; ++r)
            for (int w = 0; w < 3; ++w) e[r][w] = extent + 6 * (cell_at[r][w] < 0 ? f.cells : cell_at[r][w]);
        // Along each axis, the cells one below and one above.
        for (int r = 0; r < 9; ++r) {
            t.below_hi[0] = std::max(t.below_hi[0], e[r][0][3]);
            t.above_lo[0] = std::min(t.above_lo[0], e[r][2][0]);
        }
        for (int q = 0; q < 3; ++q) {
            for (int w = 0; w < 3; ++w) {
                t.below_hi[1] = std::max(t.below_hi[1], e[3 * q][w][4]);
                t.above_lo[1] = std::min(t.above_lo[1], e[3 * q + 2][w][1]);
                t.below_hi[2] = std::max(t.below_hi[2], e[q][w][5]);
                t.above_lo[2] = std::min(t.above_lo[2], e[6 + q][w][2]);
            }
        }
    }
}

// Single-precision prefilter, where the CPU has AVX-512: positions relative to a centre,
// so their rounding error is at most u X (u = 2^-24, X the largest offset). With A = 4 u X
// bounding that error in a distance (both ends, three components) and R = 2h the probe's
// support, widening the bound by eps = 4 A / R + 16 u (+1e-8) covers it and the
// single-precision arithmetic; when that exceeds 1e-3 (a model far larger than its
// smoothing lengths) the prefilter would settle little, and is off. Only the points that
// can have a neighbour are scanned or listed, so only they set the centre and X: one far
// lone point leaves the prefilter on for the rest.
constexpr double float_unit = 0x1p-24;

void prepare_prefilter(Frame& f) {
    f.prefilter = false;
    if (sph_simd_level() != SphSimd::avx512) return;
    double lo[3], hi[3];
    bool any = false;
    for (int64_t c = 0; c < f.cells; ++c) {
        if (scratch.rows_of[rows_slot(f, c)] < 0) continue;
        const double* e = &scratch.cell_extent[6 * static_cast<std::size_t>(c)];
        for (int k = 0; k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], e[k]) : e[k];
            hi[k] = any ? std::max(hi[k], e[3 + k]) : e[3 + k];
        }
        any = true;
    }
    if (!any) return;
    double offset = 0.0;
    for (int k = 0; k < 3; ++k) {
        f.centre[k] = 0.5 * lo[k] + 0.5 * hi[k];
        offset = std::max({offset, std::fabs(lo[k] - f.centre[k]), std::fabs(hi[k] - f.centre[k])});
    }
    f.error_a = 4.0 * float_unit * offset;
    f.prefilter = offset < 1e30;
    if (!f.prefilter) return;
    const std::size_t padded = static_cast<std::size_t>(f.members + scan_slack);
    for (auto* a : {&scratch.fx, &scratch.fy, &scratch.fz, &scratch.fr2}) {
        a->resize(padded);
        std::fill(a->begin() + f.members, a->end(), 0.0f);
    }
    for (int64_t c = 0; c < f.cells; ++c) {
        if (scratch.rows_of[rows_slot(f, c)] < 0) continue;
        for (int64_t s = scratch.cell_start[static_cast<std::size_t>(c)]; s < scratch.cell_start[static_cast<std::size_t>(c) + 1]; ++s) {
            scratch.fx[s] = static_cast<float>(scratch.sx[s] - f.centre[0]);
            scratch.fy[s] = static_cast<float>(scratch.sy[s] - f.centre[1]);
            scratch.fz[s] = static_cast<float>(scratch.sz[s] - f.centre[2]);
            scratch.fr2[s] = static_cast<float>(scratch.sr2[s]);
        }
    }
}

// The float nearest to v on the side of `toward`.
float float_toward(double v, float toward) {
    float f = static_cast<float>(v);
    if ((toward < f) ? (f > v) : (f < v)) f = std::nextafter(f, toward);
    return f;
}

// The chains of the lists: each cell's points from the highest index down, headed by the
// first of its sorted run. A grid of at most the cell limit keeps a head for each of its
// cells and gives each point its cell's grid index; a larger one keeps a head for each
// occupied cell, in key order, and gives each point that cell's rank. The grid's number of
// cells is the number of heads.
int write_chains(const Frame& f, SphNeighborList& list) {
    const bool whole = whole_grid(f);
    try {
        list.cell_head.assign(static_cast<std::size_t>(whole ? f.num_cells : f.cells), -1);
        list.grid.neighbor_num_cells = static_cast<int32_t>(list.cell_head.size());
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    const int32_t* order = scratch.sorted_index.data();
    for (int64_t c = 0; c < f.cells; ++c) {
        const int64_t b = scratch.cell_start[static_cast<std::size_t>(c)];
        const int64_t e = scratch.cell_start[static_cast<std::size_t>(c) + 1];
        const int64_t id = whole ? scratch.cell_key[static_cast<std::size_t>(c)] : c;
        list.cell_head[static_cast<std::size_t>(id)] = order[b];
        for (int64_t s = b; s < e; ++s) {
            const std::size_t i = static_cast<std::size_t>(order[s]);
            list.particle_cell_id[i] = static_cast<int32_t>(id);
            list.cell_next[i] = s + 1 < e ? order[s + 1] : -1;
        }
    }
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
constexpr uint64_t bytes_per_link = sizeof(int32_t);

// Links the memory limit allows.
int64_t memory_link_limit() {
    uint64_t bytes = sph_neighbor.neighbor_memory_limit;
    if (bytes == 0) bytes = sph_platform_physical_memory();
    if (bytes == 0) return INT64_MAX;  // unknown: the allocation itself decides
    return static_cast<int64_t>(std::min<uint64_t>(bytes / bytes_per_link, INT64_MAX));
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
    for (int64_t cid = 0; cid < f.cells; ++cid) {
        const std::size_t b = static_cast<std::size_t>(scratch.cell_start[static_cast<std::size_t>(cid)]);
        const std::size_t e = static_cast<std::size_t>(scratch.cell_start[static_cast<std::size_t>(cid) + 1]);
        if (e - b < 2) continue;
        const double* x = &scratch.cell_extent[6 * static_cast<std::size_t>(cid)];
        double min_r2 = scratch.sr2[b];
        for (std::size_t s = b + 1; s < e; ++s) min_r2 = std::min(min_r2, scratch.sr2[s]);
        const double ex = x[3] - x[0], ey = x[4] - x[1], ez = x[5] - x[2];
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

// What every walk over the points of one search reads, and the prefilter factors of the
// last smoothing length seen (most models have few distinct ones).
struct Walk {
    const SphNeighborPoints& pts;
    const Frame& f;
    SphNeighborList& list;
    int64_t max_links;
    int64_t limit;  // links the memory allows
    ScanFn scan;
    SphNeighborCandidates cand;
    // A row farther from the point than the larger of the support and the largest pair
    // reach cannot hold a neighbour; the slack covers the rounding of the gaps
    // (differences of stored coordinates, so their error is relative).
    double prune_limit;
    double factors_h = std::numeric_limits<double>::quiet_NaN();
    bool factors_ok = false;
    float in_factor = 0.0f, out_factor = 0.0f;
};

Walk make_walk(const SphNeighborPoints& pts, const Frame& f, SphNeighborList& list, int64_t max_links) {
    const SphNeighborCandidates cand{scratch.sx.data(),  scratch.sy.data(), scratch.sz.data(),
                                     scratch.sr2.data(), scratch.sorted_index.data(), pts.h,
                                     scratch.fx.data(),  scratch.fy.data(), scratch.fz.data(),
                                     scratch.fr2.data()};
    const double prune_limit = std::max(f.max_support * f.max_support, f.max_r2) * (1.0 + 1e-9);
    return Walk{pts, f, list, max_links, memory_link_limit(), pick_scan(), cand, prune_limit};
}

// One point's scan: its probe, its rows within reach (dz outer, dy inner; the three dx
// cells of a row are adjacent in the sorted order, so a row is one range), how many
// candidates they hold, and its own sorted position.
struct PointScan {
    Probe probe;
    SphNeighborScanMode mode;
    Range ranges[9];
    int nranges = 0;
    int64_t candidates = 0;
    std::size_t self = 0;
};

// The range pruning, inlined into each walk (a call per point costs). A lone point has no rows.
[[gnu::always_inline]] inline void prepare_point(Walk& w, int32_t i, PointScan& ps) {
    const std::size_t u = static_cast<std::size_t>(i);
    ps.nranges = 0;
    ps.candidates = 0;
    const int32_t table = scratch.rows_of[static_cast<std::size_t>(w.list.particle_cell_id[u])];
    if (table < 0) return;
    const CellRows& rows = scratch.rows[static_cast<std::size_t>(table)];
    const double* xi = &w.pts.x[3 * u];
    const double h = w.pts.h[u];
    ps.probe = Probe{xi[0], xi[1], xi[2], (2.0 * h) * (2.0 * h), h, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    if (w.f.prefilter && !(h == w.factors_h)) {
        const double eps = 4.0 * w.f.error_a / (2.0 * h) + 16.0 * float_unit + 1e-8;
        w.factors_h = h;
        w.factors_ok = eps <= 1e-3;
        w.in_factor = float_toward((1.0 - eps) * (1.0 - eps) * (1.0 - 8.0 * float_unit), 0.0f);
        w.out_factor = float_toward((1.0 + eps) * (1.0 + eps) * (1.0 + 8.0 * float_unit), 2.0f);
    }
    const bool filtered = w.f.prefilter && w.factors_ok;
    if (filtered) {
        ps.probe.fx = static_cast<float>(xi[0] - w.f.centre[0]);
        ps.probe.fy = static_cast<float>(xi[1] - w.f.centre[1]);
        ps.probe.fz = static_cast<float>(xi[2] - w.f.centre[2]);
        ps.probe.freach2 = static_cast<float>(ps.probe.reach2);
        ps.probe.in_factor = w.in_factor;
        ps.probe.out_factor = w.out_factor;
    }
    ps.mode = SphNeighborScanMode{ps.probe.reach2 >= w.f.max_r2, filtered};
    ps.self = static_cast<std::size_t>(scratch.slot_of[u]);
    // Squared gap from the point to the slabs below, beside and above it along each axis.
    double gap2[3][3];
    for (std::size_t k = 0; k < 3; ++k) {
        const double below = positive_part(xi[k] - rows.below_hi[k]);
        const double above = positive_part(rows.above_lo[k] - xi[k]);
        gap2[k][0] = below * below;
        gap2[k][1] = 0.0;
        gap2[k][2] = above * above;
    }
    // Each row read whether or not it is pruned: which are is hard to predict.
    const double limit = w.prune_limit;
    for (int dz = 0; dz < 3; ++dz) {
        for (int dy = 0; dy < 3; ++dy) {
            const double gyz = gap2[2][dz] + gap2[1][dy];
            const int32_t* at = rows.at[3 * dz + dy];
            const int64_t b = at[static_cast<int>(gyz + gap2[0][0] > limit)];
            const int64_t e = at[3 - static_cast<int>(gyz + gap2[0][2] > limit)];
            const int64_t keep = static_cast<int64_t>(!(gyz > limit)) & static_cast<int64_t>(b < e);
            ps.ranges[ps.nranges] = {b, e};
            ps.nranges += static_cast<int>(keep);
            ps.candidates += keep * (e - b);
        }
    }
}

// Scans `n` of the point's ranges into `out` (null: only counts). The point's own entry
// fails every test while its x is NaN (d2 is NaN), so its row needs no split around it.
int64_t scan_point(const Walk& w, const PointScan& ps, const Range* ranges, int n, int32_t* out) {
    if (n == 0) return 0;
    double* const self_x = &scratch.sx[ps.self];
    *self_x = std::numeric_limits<double>::quiet_NaN();
    float self_fx = 0.0f;
    if (ps.mode.prefilter) {
        self_fx = scratch.fx[ps.self];
        scratch.fx[ps.self] = std::numeric_limits<float>::quiet_NaN();
    }
    const int64_t k = w.scan(w.cand, ps.probe, ranges, n, ps.mode, out);
    *self_x = ps.probe.x;
    if (ps.mode.prefilter) scratch.fx[ps.self] = self_fx;
    return k;
}

// The links of points `from` .. n-1, counted without storing them; the count stops just
// past `stop_after`.
int64_t count_links(Walk& w, int32_t from, int64_t stop_after) {
    int64_t links = 0;
    PointScan ps;
    for (int32_t i = from; i < w.pts.count && links <= stop_after; ++i) {
        if (!takes_part(w.pts, i)) continue;
        prepare_point(w, i, ps);
        links += scan_point(w, ps, ps.ranges, ps.nranges, nullptr);
    }
    return links;
}

// On a failure the links and counts so far stay, both clamped to max_links.
int capacity_failure(Walk& w, int32_t i, int64_t total, int64_t count) {
    count -= total - w.max_links;
    w.list.total_links = w.max_links;
    w.list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
    return sph_fail(sph_error_argument, "neighbor table capacity is too small");
}

// The store loop: links point by point in point order into the list's room. Where the
// room runs out, `short_at` is the point whose links do not fit and `total` the links
// stored before it; else `short_at` is -1. A room `sized` by a count must hold them all.
int store_links(Walk& w, bool sized, int32_t& short_at, int64_t& total) {
    SphNeighborList& list = w.list;
    const int64_t cap = static_cast<int64_t>(list.neighbor_list.size());
    total = 0;
    short_at = -1;
    PointScan ps;
    for (int32_t i = 0; i < w.pts.count; ++i) {
        list.neighbor_offset[static_cast<std::size_t>(i)] = total;
        if (!takes_part(w.pts, i)) continue;
        prepare_point(w, i, ps);
        // Near the end of the room the exact count decides (the stores write up to the
        // slack past the last link).
        if (total + ps.candidates + scan_slack > cap &&
            total + scan_point(w, ps, ps.ranges, ps.nranges, nullptr) + scan_slack > cap) [[unlikely]] {
            if (sized) return storage_failure();  // the count said they fit
            short_at = i;
            return sph_success;
        }
        const int64_t count = scan_point(w, ps, ps.ranges, ps.nranges, list.neighbor_list.data() + total);
        total += count;
        if (total > w.max_links) return capacity_failure(w, i, total, count);
        list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
    }
    list.total_links = total;
    return sph_success;
}

// The capped loop: the same links, range by range into storage grown as it goes, so
// that a search that passes max_links within the memory limit stops at the failing point
// with the links so far stored.
int store_links_capped(Walk& w) {
    SphNeighborList& list = w.list;
    int64_t total = 0;
    PointScan ps;
    for (int32_t i = 0; i < w.pts.count; ++i) {
        list.neighbor_offset[static_cast<std::size_t>(i)] = total;
        if (!takes_part(w.pts, i)) continue;
        prepare_point(w, i, ps);
        int64_t count = 0;
        for (int r = 0; r < ps.nranges && total + count <= w.max_links; ++r) {
            const int64_t room = ps.ranges[r].e - ps.ranges[r].b + scan_slack;
            if (total + count + room > static_cast<int64_t>(list.neighbor_list.size())) {
                if (int st = grow_list(list.neighbor_list, total + count + room)) {
                    list.total_links = total + count;
                    list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
                    return st;
                }
            }
            count += scan_point(w, ps, ps.ranges + r, 1, list.neighbor_list.data() + total + count);
        }
        total += count;
        if (total > w.max_links) return capacity_failure(w, i, total, count);
        list.neighbor_count[static_cast<std::size_t>(i)] = static_cast<int32_t>(count);
    }
    list.total_links = total;
    return sph_success;
}

// The storage policy. The links are stored into the room the list has; when it runs out,
// the links of the remaining points are counted (the same scan without the stores) and
// the list is allocated once, empty, for all of them, and the stores start again from the
// first point. A count past the memory limit fails (code 5) before anything more is
// stored; one past max_links within the limit goes to the capped loop, which stops at the
// failing point.
int link_points(const SphNeighborPoints& pts, int64_t max_links, const Frame& f, SphNeighborList& list) {
    Walk w = make_walk(pts, f, list, max_links);
    int32_t short_at = -1;
    int64_t total = 0;
    if (int st = store_links(w, false, short_at, total)) return st;
    if (short_at < 0) return sph_success;
    const int64_t stop_after = std::min(w.limit, max_links);
    int64_t rest = INT64_MAX;
    // Coincident points whose certain pairs alone pass it are refused before the count.
    if (!(short_at == 0 && certain_links(f) > stop_after)) rest = count_links(w, short_at, stop_after - total);
    if (rest > stop_after - total) {
        if (max_links > w.limit) return storage_failure();
        std::fill(list.neighbor_count.begin(), list.neighbor_count.end(), 0);
        return store_links_capped(w);
    }
    if (int st = fresh_links(list.neighbor_list, total + rest + scan_slack, w.limit + scan_slack)) return st;
    return store_links(w, true, short_at, total);
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
    if (int st = size_list_arrays(points.count, list)) return st;
    if (f.members == 0) {
        // Nothing takes part: every run is empty and the grid stays as it was.
        list.cell_head.clear();
        std::fill(list.neighbor_count.begin(), list.neighbor_count.end(), 0);
        std::fill(list.neighbor_offset.begin(), list.neighbor_offset.end(), 0);
        std::fill(list.particle_cell_id.begin(), list.particle_cell_id.end(), -1);
        std::fill(list.cell_next.begin(), list.cell_next.end(), -1);
        return sph_success;
    }
    size_grid(f, list.grid);
    try {
        key_points(points, f, list.grid, list);
        if (!whole_grid(f)) sort_keys(f);
        find_cells(points, f, list);
        build_rows(f);
        gather_points(points, f);
        bound_slabs(f);
        prepare_prefilter(f);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    if (int st = write_chains(f, list)) return st;
    return link_points(points, max_links, f, list);
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
