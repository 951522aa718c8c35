// Cell-list neighbour search: for every point that takes part, the other points within
// twice the larger of the two smoothing lengths, over a uniform grid on the points' box
// of which only the occupied cells are held, so that its cost follows the points and not
// the box (one far point costs what any other does).
// The database's neighbour lists are one such search over the particle positions; a
// phase can run the same search over other positions (reference positions, say) or over
// a subset, into a list of its own, at the same O(points x neighbours) cost.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "database/sph_database.h"

namespace quorrel {

// The grid of one search: the points' box padded by one cell on every side. The cell
// counts saturate at the 32-bit range, and the number of cells is that of the chain heads
// kept (see SphNeighborList::cell_head).
struct SphNeighborGrid {
    std::array<double, 3> neighbor_min_corner{0.0, 0.0, 0.0};
    std::array<double, 3> neighbor_max_corner{0.0, 0.0, 0.0};
    double neighbor_cell_size = 1.0;
    std::array<int32_t, 3> neighbor_cell_dims{1, 1, 1};
    int32_t neighbor_num_cells = 1;
};

// The grid of the database's last rebuild and its number of links.
struct SphNeighbor : SphNeighborGrid {
    int64_t neighbor_total_links = 0;
    // Bytes every search's link storage may take; 0: the machine's physical memory. A
    // search that would need more fails with code 5 before it stores a link.
    uint64_t neighbor_memory_limit = 0;
};
extern SphNeighbor sph_neighbor;

// What one search reads: `count` points, 0-based.
struct SphNeighborPoints {
    const double* x = nullptr;  // 3 per point
    const double* h = nullptr;
    int32_t count = 0;
    // Non-zero for a point that takes part; null: every point does. A point that does not
    // lists nothing and is listed by none.
    const uint8_t* takes_part = nullptr;
    // Numbers shown in messages; null: the index from 1.
    const int32_t* ids = nullptr;
};

// What one search writes. The neighbours of point i are neighbor_list[neighbor_offset[i]]
// .. [neighbor_offset[i] + neighbor_count[i] - 1], runs in point order without gaps, in
// the cell-scan order (cells dz, dy, dx from -1 to 1; within a cell the highest index
// first). A point never lists itself and the test is symmetric. Storage is reused from
// search to search.
struct SphNeighborList {
    std::vector<int32_t> neighbor_count;
    std::vector<int64_t> neighbor_offset;
    SphNeighborLinks neighbor_list;         // size() is the capacity
    // A grid of at most 8 cells a point (at least 65,536) keeps one chain head for each of
    // its cells, and a point's cell is its index in the grid; a larger grid keeps one for
    // each occupied cell, in grid order, and a point's cell is that cell's rank.
    std::vector<int32_t> particle_cell_id;  // cell of each point, -1 when it takes no part
    std::vector<int32_t> cell_next;         // next point in the cell's chain, -1 ends it
    std::vector<int32_t> cell_head;         // first point of each cell's chain, -1 empty
    SphNeighborGrid grid;
    int64_t total_links = 0;
};

// Fails once more than `max_links` links would be stored, keeping the links and counts
// found up to the failing point; the grid is that of the last search that reached it.
// Links are counted before they are stored: a search whose links would not fit in the
// memory limit fails (code 5) with nothing stored.
[[nodiscard]] int sph_neighbor_search(const SphNeighborPoints& points, int64_t max_links, SphNeighborList& list);

void sph_neighbor_reset();
// Frees the search's scratch (its capacity too); the grid of the last rebuild stays.
void sph_neighbor_release_scratch();
// Rebuilds the database's neighbour lists from the particle positions and smoothing
// lengths; every particle takes part.
[[nodiscard]] int sph_neighbor_rebuild();
// Rebuild that fails once more than `max_links` links would be stored.
[[nodiscard]] int sph_neighbor_rebuild_with_capacity(int64_t max_links);
[[nodiscard]] int sph_neighbor_get_stats(int32_t& max_neighbors, double& average_neighbors);

}  // namespace quorrel
