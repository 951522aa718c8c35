// Neighbour rebuild on a lattice cube: time per rebuild, ns per listed link, links per
// particle, heap allocations per rebuild once capacity is reached, and peak memory.
// Usage: neighbor_bench [n]   (no argument: n = 20, 40, 64, each in its own process)
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench_support.h"
#include "particle/sph_neighbor.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        std::printf("%6s %10s %14s %12s %16s %12s %14s\n", "n", "particles", "ms/rebuild", "ns/link",
                    "links/particle", "allocs", "bytes/particle");
        std::fflush(stdout);  // the children write to the same stream
        return bench::run_sizes_in_children(argv[0], {20, 40, 64});
    }
    const int n = std::atoi(argv[1]);
    const double dx = 0.01;
    if (!bench::fill_cube(n, dx, 1.2 * dx)) return 1;
    if (sph_neighbor_rebuild() != 0) return 1;  // reaches capacity
    const int reps = n <= 20 ? 200 : (n <= 40 ? 30 : 10);
    const long allocs_before = bench::heap_allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r)
        if (sph_neighbor_rebuild() != 0) return 1;
    const auto t1 = std::chrono::steady_clock::now();
    const long allocs = bench::heap_allocations.load() - allocs_before;
    const double sec = std::chrono::duration<double>(t1 - t0).count() / reps;
    const double links = static_cast<double>(sph_neighbor.neighbor_total_links);
    const double np = static_cast<double>(sph_database.npart);
    std::printf("%6d %10d %14.3f %12.2f %16.2f %12ld %14.0f\n", n, sph_database.npart, sec * 1e3, sec * 1e9 / links,
                links / np, allocs / reps, bench::peak_rss_mib() * 1048576.0 / np);
    return 0;
}
