// Neighbour rebuild: time per rebuild, ns per listed link, links per particle, heap
// allocations per rebuild once capacity is reached, and peak memory per particle.
// Models: a lattice cube (dx 0.01, h 1.2 dx); the same cube with one more node far away
// along x, which must cost about what the cube alone does; and a cloud with no neighbours,
// spread uniformly over +-1e300 (h 1), whose cost must grow about linearly with its size.
// Usage: neighbor_bench                 every model below, each in its own process
//        neighbor_bench cube N          N^3 cube
//        neighbor_bench far N X         N^3 cube and one node at (X, 0, 0)
//        neighbor_bench cloud COUNT     cloud of COUNT points
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench_support.h"
#include "particle/sph_neighbor.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01;

// The cube of fill_cube with one more node at (far_x, 0, 0).
bool cube_and_far_node(int n, double far_x) {
    using namespace quorrel;
    const int32_t count = n * n * n;
    if (sph_db_allocate(count + 1) != 0) return false;
    for (int32_t i = 0; i <= count; ++i) {
        const double c[3] = {i < count ? dx * (i % n) : far_x, i < count ? dx * ((i / n) % n) : 0.0,
                             i < count ? dx * (i / (n * n)) : 0.0};
        if (sph_db_set_node(i, i + 1, c) != 0) return false;
        sph_database.h[static_cast<std::size_t>(i)] = 1.2 * dx;
    }
    return true;
}

bool cloud(int32_t count) {
    using namespace quorrel;
    if (sph_db_allocate(count) != 0) return false;
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> pos(-1e300, 1e300);
    for (int32_t i = 0; i < count; ++i) {
        const double c[3] = {pos(rng), pos(rng), pos(rng)};
        if (sph_db_set_node(i, i + 1, c) != 0) return false;
        sph_database.h[static_cast<std::size_t>(i)] = 1.0;
    }
    return true;
}

int run_children(const char* self) {
    const char* cases[] = {"cube 20",       "cube 32",       "cube 40",       "cube 48",        "cube 64",
                           "far 32 1e6",    "far 48 1e6",    "far 64 1e6",    "far 32 1e3",     "cloud 250000",
                           "cloud 1000000"};
    for (const char* c : cases) {
        const std::string cmd = std::string("\"") + self + "\" " + c;
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        std::printf("%-14s %10s %14s %12s %16s %12s %14s\n", "model", "particles", "ms/rebuild", "ns/link",
                    "links/particle", "allocs", "bytes/particle");
        std::fflush(stdout);  // the children write to the same stream
        return run_children(argv[0]);
    }
    std::string model = argv[1];
    int size = argc > 2 ? std::atoi(argv[2]) : 0;
    if (argc == 2) {  // the old form: neighbor_bench N
        size = std::atoi(argv[1]);
        model = "cube";
    }
    bool built = false;
    std::string label = model + " " + std::to_string(size);
    if (model == "cube") {
        built = bench::fill_cube(size, dx, 1.2 * dx);
    } else if (model == "far" && argc > 3) {
        built = cube_and_far_node(size, std::atof(argv[3]));
        label += std::string(" ") + argv[3];
    } else if (model == "cloud") {
        built = cloud(size);
    }
    if (!built) return 1;
    if (sph_neighbor_rebuild() != 0) return 1;  // reaches capacity
    const int32_t np = sph_database.npart;
    // Up to a fixed count by size, stopping after about a second (a slow model runs once).
    const int most = np <= 10000 ? 200 : (np <= 120000 ? 30 : 10);
    const long allocs_before = bench::heap_allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    auto t1 = t0;
    int reps = 0;
    while (reps < most && std::chrono::duration<double>(t1 - t0).count() < 1.0) {
        if (sph_neighbor_rebuild() != 0) return 1;
        ++reps;
        t1 = std::chrono::steady_clock::now();
    }
    const long allocs = bench::heap_allocations.load() - allocs_before;
    const double sec = std::chrono::duration<double>(t1 - t0).count() / reps;
    const double links = static_cast<double>(sph_neighbor.neighbor_total_links);
    std::printf("%-14s %10d %14.3f %12.2f %16.2f %12ld %14.0f\n", label.c_str(), np, sec * 1e3,
                links > 0 ? sec * 1e9 / links : 0.0, links / np, allocs / reps,
                bench::peak_rss_mib() * 1048576.0 / np);
    return 0;
}
