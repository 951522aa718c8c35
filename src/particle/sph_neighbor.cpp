#include "particle/sph_neighbor.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "particle/sph_particle.h"

namespace quorrel {

SphNeighbor sph_neighbor;

namespace {

// Scratch reused from rebuild to rebuild: particles sorted by cell, each cell's
// particles in chain order (highest index first), with position and h alongside,
// so the scan reads contiguous memory instead of walking the chains.
struct NeighborScratch {
    std::vector<int64_t> cell_start;  // num_cells + 1
    std::vector<int64_t> cell_fill;   // num_cells
    std::vector<int32_t> sorted_index;
    std::vector<double> sorted_xh;    // x, y, z, h per sorted entry
};
NeighborScratch scratch;

// A box that would need more cells than this gets larger cells instead
// (one particle flung far away must not cost gigabytes).
int64_t cell_limit(int32_t npart) { return std::max<int64_t>(int64_t{8} * npart, int64_t{1} << 16); }

int grow_list(int64_t needed, int64_t max_links) {
    auto& list = sph_database.neighbor_list;
    int64_t cap = static_cast<int64_t>(list.size());
    int64_t want = std::max<int64_t>(needed, cap + cap / 2 + 1024);
    want = std::min(want, max_links);
    try {
        list.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate neighbor storage");
    }
    return sph_success;
}

}  // namespace

void sph_neighbor_reset() {
    sph_neighbor = SphNeighbor{};
    scratch = NeighborScratch{};
}

int sph_neighbor_rebuild() { return sph_neighbor_rebuild_with_capacity(INT64_MAX); }

int sph_neighbor_rebuild_with_capacity(int64_t max_links) {
    SphDatabase& d = sph_database;
    SphNeighbor& g = sph_neighbor;
    g.neighbor_total_links = 0;
    const int32_t n = d.npart;
    if (n <= 0) {
        d.cell_head.clear();
        return sph_success;
    }
    if (max_links < 0) return sph_fail(sph_error_argument, "neighbor capacity must be non-negative");

    // Bounds and cell size.
    double lo[3], hi[3];
    double max_support = 0.0;
    for (int k = 0; k < 3; ++k) lo[k] = hi[k] = d.x[static_cast<std::size_t>(k)];
    for (int32_t i = 0; i < n; ++i) {
        const double* xi = &d.x[3 * static_cast<std::size_t>(i)];
        if (!std::isfinite(xi[0]) || !std::isfinite(xi[1]) || !std::isfinite(xi[2]))
            return sph_fail(sph_error_argument,
                            "particle position is not finite (node " + std::to_string(d.particle_id_ext[i]) + ")");
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], xi[k]);
            hi[k] = std::max(hi[k], xi[k]);
        }
        double support = 0.0;
        if (int st = sph_kernel_support_radius(sph_kernel_wendland_c2, d.h[static_cast<std::size_t>(i)], support))
            return st;
        max_support = std::max(max_support, support);
    }
    if (!(max_support > 0.0)) return sph_fail(sph_error_argument, "neighbor support radius must be positive");

    double cell = max_support;
    int64_t dims[3];
    auto count_cells = [&](double edge) {
        int64_t total = 1;
        for (int k = 0; k < 3; ++k) {
            const double span = (hi[k] + edge) - (lo[k] - edge);
            const double c = std::floor(span / edge) + 1.0;
            dims[k] = c > 4.0e9 ? int64_t{4000000000} : std::max<int64_t>(1, static_cast<int64_t>(c));
            total = (total > INT64_MAX / dims[k]) ? INT64_MAX : total * dims[k];
        }
        return total;
    };
    int64_t num_cells = count_cells(cell);
    while (num_cells > cell_limit(n)) {
        cell *= std::cbrt(static_cast<double>(num_cells) / static_cast<double>(cell_limit(n))) * 1.01;
        num_cells = count_cells(cell);
    }
    for (int k = 0; k < 3; ++k) {
        g.neighbor_min_corner[static_cast<std::size_t>(k)] = lo[k] - cell;
        g.neighbor_max_corner[static_cast<std::size_t>(k)] = hi[k] + cell;
        g.neighbor_cell_dims[static_cast<std::size_t>(k)] = static_cast<int32_t>(dims[k]);
    }
    g.neighbor_cell_size = cell;
    g.neighbor_num_cells = static_cast<int32_t>(num_cells);

    if (int st = sph_db_allocate_neighbor_storage(0, num_cells)) return st;
    const int64_t dimx = dims[0], dimy = dims[1], dimz = dims[2];

    // Binning: chains run from the highest particle index down.
    std::vector<int64_t>& start = scratch.cell_start;
    start.assign(static_cast<std::size_t>(num_cells) + 1, 0);
    for (int32_t i = 0; i < n; ++i) {
        const double* xi = &d.x[3 * static_cast<std::size_t>(i)];
        int64_t c[3];
        for (int k = 0; k < 3; ++k) {
            const double t = (xi[k] - g.neighbor_min_corner[static_cast<std::size_t>(k)]) / cell;
            int64_t ic = t < 0.0 ? 0 : static_cast<int64_t>(t);
            c[k] = std::clamp<int64_t>(ic, 0, dims[k] - 1);
        }
        const int64_t cid = c[0] + dimx * (c[2] * dimy + c[1]);
        d.particle_cell_id[static_cast<std::size_t>(i)] = static_cast<int32_t>(cid);
        d.cell_next[static_cast<std::size_t>(i)] = d.cell_head[static_cast<std::size_t>(cid)];
        d.cell_head[static_cast<std::size_t>(cid)] = i;
        d.neighbor_count[static_cast<std::size_t>(i)] = 0;
        d.neighbor_offset[static_cast<std::size_t>(i)] = 0;
        ++start[static_cast<std::size_t>(cid) + 1];
    }
    for (int64_t c = 0; c < num_cells; ++c) start[static_cast<std::size_t>(c) + 1] += start[static_cast<std::size_t>(c)];
    scratch.sorted_index.resize(static_cast<std::size_t>(n));
    scratch.sorted_xh.resize(4 * static_cast<std::size_t>(n));
    // Each cell is filled from its end with ascending indices, which leaves them
    // in chain order (descending).
    scratch.cell_fill.assign(start.begin() + 1, start.end());
    for (int32_t i = 0; i < n; ++i) {
        const int64_t cid = d.particle_cell_id[static_cast<std::size_t>(i)];
        const int64_t slot = --scratch.cell_fill[static_cast<std::size_t>(cid)];
        scratch.sorted_index[static_cast<std::size_t>(slot)] = i;
    }
    for (int32_t s = 0; s < n; ++s) {
        const int32_t j = scratch.sorted_index[static_cast<std::size_t>(s)];
        double* e = &scratch.sorted_xh[4 * static_cast<std::size_t>(s)];
        e[0] = d.x[3 * static_cast<std::size_t>(j)];
        e[1] = d.x[3 * static_cast<std::size_t>(j) + 1];
        e[2] = d.x[3 * static_cast<std::size_t>(j) + 2];
        e[3] = d.h[static_cast<std::size_t>(j)];
    }

    // Links, particle by particle; neighbour cells dz outer, dy, dx inner. The three
    // dx cells of one (dy, dz) row are adjacent in the sorted order.
    int64_t total = 0;
    int64_t limit = std::min<int64_t>(static_cast<int64_t>(d.neighbor_list.size()), max_links);
    int32_t* list = d.neighbor_list.data();
    const int64_t* cs = start.data();
    const int32_t* sidx = scratch.sorted_index.data();
    const double* sxh = scratch.sorted_xh.data();
    for (int32_t i = 0; i < n; ++i) {
        d.neighbor_offset[static_cast<std::size_t>(i)] = total;
        const int64_t cid = d.particle_cell_id[static_cast<std::size_t>(i)];
        const int64_t ix = cid % dimx;
        const int64_t t = cid / dimx;
        const int64_t iy = t % dimy;
        const int64_t iz = t / dimy;
        const double xi = d.x[3 * static_cast<std::size_t>(i)];
        const double yi = d.x[3 * static_cast<std::size_t>(i) + 1];
        const double zi = d.x[3 * static_cast<std::size_t>(i) + 2];
        const double hi_ = d.h[static_cast<std::size_t>(i)];
        const int64_t x0 = std::max<int64_t>(ix - 1, 0), x1 = std::min<int64_t>(ix + 1, dimx - 1);
        int32_t count = 0;
        for (int64_t jz = iz - 1; jz <= iz + 1; ++jz) {
            if (jz < 0 || jz >= dimz) continue;
            for (int64_t jy = iy - 1; jy <= iy + 1; ++jy) {
                if (jy < 0 || jy >= dimy) continue;
                const int64_t row = dimx * (jz * dimy + jy);
                const int64_t b = cs[row + x0], e = cs[row + x1 + 1];
                for (int64_t s = b; s < e; ++s) {
                    const double* p = sxh + 4 * s;
                    const double dx = xi - p[0], dy = yi - p[1], dz = zi - p[2];
                    const double d2 = dx * dx + dy * dy + dz * dz;
                    const double reach = 2.0 * std::max(hi_, p[3]);
                    const double r2 = reach * reach;
                    // Decide with the distance itself near the boundary, so rounding of
                    // the squares cannot move a pair across it.
                    if (d2 > r2 * (1.0 + 1e-12)) continue;
                    if (d2 >= r2 * (1.0 - 1e-12) && std::sqrt(d2) > reach) continue;
                    const int32_t j = sidx[s];
                    if (j == i) continue;
                    if (total >= limit) {
                        if (total >= max_links) {
                            g.neighbor_total_links = total;
                            d.neighbor_count[static_cast<std::size_t>(i)] = count;
                            return sph_fail(sph_error_argument, "neighbor table capacity is too small");
                        }
                        if (int st = grow_list(total + 1, max_links)) {
                            g.neighbor_total_links = total;
                            d.neighbor_count[static_cast<std::size_t>(i)] = count;
                            return st;
                        }
                        limit = std::min<int64_t>(static_cast<int64_t>(d.neighbor_list.size()), max_links);
                        list = d.neighbor_list.data();
                    }
                    list[total++] = j;
                    ++count;
                }
            }
        }
        d.neighbor_count[static_cast<std::size_t>(i)] = count;
    }
    g.neighbor_total_links = total;
    return sph_success;
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
