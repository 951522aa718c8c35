// Shared pieces of the benchmark programs: a lattice cube, peak memory, and a
// global allocation counter that shows whether a timed loop touches the heap.
#pragma once

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "core/sph_control.h"
#include "database/sph_database.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

namespace bench {

inline std::atomic<long> heap_allocations{0};

// Peak resident set of this process, in MiB.
inline double peak_rss_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// n^3 particles on a simple cubic lattice of spacing dx, all given smoothing length h.
inline bool fill_cube(int n, double dx, double h) {
    using namespace quorrel;
    const int32_t count = n * n * n;
    if (sph_db_allocate(count) != 0) return false;
    for (int32_t i = 0; i < count; ++i) {
        const double c[3] = {dx * (i % n), dx * ((i / n) % n), dx * (i / (n * n))};
        if (sph_db_set_node(i, i + 1, c) != 0) return false;
        sph_database.h[static_cast<std::size_t>(i)] = h;
    }
    return true;
}

// The step benchmarks' header line, matching time_steps' rows.
inline void print_step_header() {
    std::printf("%6s %10s %18s %12s %16s %12s %14s\n", "n", "particles", "particle-steps/s", "ms/step",
                "neighbours", "allocs/step", "bytes/particle");
    std::fflush(stdout);  // the children write to the same stream
}

// Takes `steps` full explicit steps of `dt` of the model in the database and prints one
// row: particle-steps per second, time per step, neighbours per particle, heap
// allocations per step and peak memory per particle. The first step is not timed: it
// brings every buffer to its working size. Returns 0, or 1 when a step fails.
inline int time_steps(int n, double dt, int steps) {
    using namespace quorrel;
    if (sph_solver_advance_explicit(dt) != 0) return 1;
    const long allocs_before = heap_allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    for (int s = 1; s < steps; ++s) {
        if (sph_solver_advance_explicit(dt) != 0) {
            std::fprintf(stderr, "step %d failed\n", s);
            return 1;
        }
    }
    const auto t1 = std::chrono::steady_clock::now();
    const long allocs = heap_allocations.load() - allocs_before;
    const double sec = std::chrono::duration<double>(t1 - t0).count() / (steps - 1);
    int32_t max_nb = 0;
    double avg_nb = 0.0;
    if (sph_neighbor_get_stats(max_nb, avg_nb) != 0) return 1;
    const double np = static_cast<double>(sph_database.npart);
    std::printf("%6d %10d %18.3e %12.3f %16.2f %12ld %14.0f\n", n, sph_database.npart, np / sec, sec * 1e3, avg_nb,
                allocs / (steps - 1), peak_rss_mib() * 1048576.0 / np);
    return 0;
}

// Each size runs in a fresh process so that its peak memory is its own.
inline int run_sizes_in_children(const char* self, std::initializer_list<int> sizes) {
    for (int n : sizes) {
        const std::string cmd = std::string("\"") + self + "\" " + std::to_string(n);
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
}

// The water benchmark's cube (dx 0.01 m, h 1.2 dx, rho0 1000, c0 50, gamma 7, alpha 0.1,
// beta 0, eta2 0.01), released with a radial velocity rising linearly to 1 m/s at the faces;
// the gas benchmark runs it too, to give its ratio to water in the same sitting. Both take
// fixed steps of water_dt.
inline constexpr double water_dt = 5.0e-5;
inline bool water_cube(int n) {
    using namespace quorrel;
    constexpr double dx = 0.01, rho0 = 1000.0, c0 = 50.0, mass = rho0 * dx * dx * dx;
    sph_control_reset();
    sph_water_reset_state();
    if (sph_water_set_eos("TAIT", "WATER", rho0, c0, 7.0, 0.0, 0.0, false) != 0) return false;
    if (sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.0, 0.01) != 0) return false;
    if (!fill_cube(n, dx, 1.2 * dx)) return false;
    SphDatabase& d = sph_database;
    const double half = 0.5 * dx * (n - 1);
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        d.particle_phase[i] = sph_phase_water;
        d.mass[i] = mass;
        d.rho[i] = rho0;
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = (d.x[3 * i + k] - half) / half;
    }
    return true;
}

}  // namespace bench

// Count every heap allocation of the program.
#define QUORREL_BENCH_COUNT_ALLOCATIONS                                                  \
    void* operator new(std::size_t size) {                                               \
        bench::heap_allocations.fetch_add(1, std::memory_order_relaxed);                 \
        if (void* p = std::malloc(size ? size : 1)) return p;                            \
        throw std::bad_alloc();                                                          \
    }                                                                                    \
    void operator delete(void* p) noexcept { std::free(p); }                             \
    void operator delete(void* p, std::size_t) noexcept { std::free(p); }                \
    /* std::stable_sort's buffer comes from the nothrow form: counted the same, and */   \
    /* freed by the matching delete (the sanitizers check the pairing). */               \
    void* operator new(std::size_t size, const std::nothrow_t&) noexcept {               \
        bench::heap_allocations.fetch_add(1, std::memory_order_relaxed);                 \
        return std::malloc(size ? size : 1);                                             \
    }                                                                                    \
    void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
