// Cell-list neighbour search over the bounding box of all particles.
#pragma once

#include <array>
#include <cstdint>

namespace quorrel {

struct SphNeighbor {
    std::array<double, 3> neighbor_min_corner{0.0, 0.0, 0.0};
    std::array<double, 3> neighbor_max_corner{0.0, 0.0, 0.0};
    double neighbor_cell_size = 1.0;
    std::array<int32_t, 3> neighbor_cell_dims{1, 1, 1};
    int32_t neighbor_num_cells = 1;
    int64_t neighbor_total_links = 0;
};
extern SphNeighbor sph_neighbor;

void sph_neighbor_reset();
// Rebuilds every particle's neighbour run; storage grows as needed and is reused.
[[nodiscard]] int sph_neighbor_rebuild();
// Rebuild that fails once more than `max_links` links would be stored.
[[nodiscard]] int sph_neighbor_rebuild_with_capacity(int64_t max_links);
[[nodiscard]] int sph_neighbor_get_stats(int32_t& max_neighbors, double& average_neighbors);

}  // namespace quorrel
