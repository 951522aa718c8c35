// Explosive burn on a lattice charge: n^3 particles of spacing 1 (h 1, mass 1, density 1),
// ignited at a corner at t = 0, with a detonation velocity that takes the front across the
// charge's diagonal in 50 steps and a burn time of four steps; 60 fixed steps in all, so
// every particle reacts. The products either become gas (PHASE) or feed 512 or 4096 gas
// particles (SOURCE) set 3 apart (out of each other's reach) well away from the charge.
//
// Two figures per case, each the median of three runs on a fresh model: the time of
// sph_explosive_advance alone per particle-step (the advance called with the step's dt and
// new time, nothing else), and the time of the whole explicit step per particle-step
// (neighbour rebuild, pressures, pair passes, leapfrog, the advance, the sources and the
// diagnostics). The first step of each run is not timed: it brings every buffer to its
// working size. Heap allocations per timed step are shown for both.
// Usage: explosive_bench [n mode targets]   (no argument: every case, each in its own process)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/sph_control.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "lifecycle/sph_lifecycle.h"
#include "solver/sph_solver_explicit.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dt = 1.0e-3, energy = 1.0, burn = 4.0 * dt;
constexpr int steps = 60, front_steps = 50, runs = 3;
constexpr double target_spacing = 3.0;

struct Case {
    int n;
    bool source;
    int targets;
};

// The charge, the product gas and, for SOURCE, the targets; built as the deck build would.
bool build(const Case& c) {
    using namespace quorrel;
    sph_lifecycle_finalize();
    sph_lifecycle_initialize();
    const int32_t charge = c.n * c.n * c.n;
    if (sph_db_allocate(charge + c.targets) != 0) return false;
    if (sph_db_add_material("TNT", "EXPLOSIVE") != 0 || sph_db_set_material_density("TNT", 1.0) != 0) return false;
    if (sph_db_add_material("FUMES", "GAS") != 0 || sph_db_set_material_density("FUMES", 1.0) != 0) return false;
    sph_explosive_note_material("TNT", "EXPLOSIVE");
    sph_gas_note_material("FUMES", "GAS");
    if (sph_gas_set_ideal("FUMES", 1.4, 1.0, 0.0) != 0) return false;
    if (sph_gas_set_particle_control(1.0, 1.0, 1.0) != 0) return false;
    SphDatabase& d = sph_database;
    const int n = c.n;
    for (int32_t i = 0; i < charge; ++i) {
        const double x[3] = {1.0 * (i % n), 1.0 * ((i / n) % n), 1.0 * (i / (n * n))};
        if (sph_db_set_node(i, i + 1, x) != 0) return false;
        d.material_id[static_cast<std::size_t>(i)] = 1;
        d.particle_phase[static_cast<std::size_t>(i)] = sph_phase_explosive;
    }
    const int side = static_cast<int>(std::lround(std::cbrt(static_cast<double>(c.targets))));
    for (int32_t k = 0; k < c.targets; ++k) {
        const int32_t i = charge + k;
        const double x[3] = {n + 20.0 + target_spacing * (k % side), target_spacing * ((k / side) % side),
                             target_spacing * (k / (side * side))};
        if (sph_db_set_node(i, i + 1, x) != 0) return false;
        d.material_id[static_cast<std::size_t>(i)] = 2;
        d.particle_phase[static_cast<std::size_t>(i)] = sph_phase_gas;
    }
    if (sph_gas_apply_initial_conditions() != 0) return false;
    const double diagonal = std::sqrt(3.0) * (n - 1);
    const double speed = diagonal / (front_steps * dt);
    if (sph_explosive_set_control("TNT", "PROGRAMMED_BURN", speed, energy, burn, "FUMES",
                                  c.source ? "SOURCE" : "PHASE") != 0)
        return false;
    const double corner[3] = {0.0, 0.0, 0.0};
    if (sph_explosive_set_ignition("TNT", corner, 0.0) != 0) return false;
    return sph_explosive_build() == 0;
}

// Every charge particle reacted by the end of a run.
bool all_reacted(const Case& c) {
    const quorrel::SphExplosiveState& s = quorrel::sph_explosive_state;
    const int32_t charge = c.n * c.n * c.n;
    for (int32_t i = 0; i < charge; ++i)
        if (s.explosive_reaction_progress[static_cast<std::size_t>(i)] < 1.0) return false;
    return true;
}

struct Run {
    double seconds = 0.0;  // over the timed steps
    long allocations = 0;
};

// One run of the advance alone (`whole` false) or of the whole step.
bool run(const Case& c, bool whole, Run& out) {
    using namespace quorrel;
    if (!build(c)) return false;
    double t = 0.0;
    out = Run{};
    for (int s = 0; s < steps; ++s) {
        const long allocs_before = bench::heap_allocations.load();
        const auto t0 = std::chrono::steady_clock::now();
        const int st = whole ? sph_solver_advance_explicit(dt) : sph_explosive_advance(dt, t + dt);
        const auto t1 = std::chrono::steady_clock::now();
        if (st != 0) {
            std::fprintf(stderr, "step %d failed\n", s);
            return false;
        }
        t += dt;
        if (s == 0) continue;
        out.seconds += std::chrono::duration<double>(t1 - t0).count();
        out.allocations += bench::heap_allocations.load() - allocs_before;
    }
    return all_reacted(c);
}

// Median over the runs of the time per particle-step (ns) and the allocations per step.
bool measure(const Case& c, bool whole, double& ns, double& allocs_per_step) {
    std::vector<double> times;
    long allocs = 0;
    for (int r = 0; r < runs; ++r) {
        Run one;
        if (!run(c, whole, one)) return false;
        times.push_back(one.seconds);
        allocs = std::max(allocs, one.allocations);
    }
    std::sort(times.begin(), times.end());
    const double particles = static_cast<double>(quorrel::sph_database.npart);
    ns = times[times.size() / 2] / (steps - 1) / particles * 1e9;
    allocs_per_step = static_cast<double>(allocs) / (steps - 1);
    return true;
}

int run_case(const Case& c) {
    double advance_ns = 0.0, advance_allocs = 0.0, step_ns = 0.0, step_allocs = 0.0;
    if (!measure(c, false, advance_ns, advance_allocs)) return 1;
    if (!measure(c, true, step_ns, step_allocs)) return 1;
    const int32_t npart = quorrel::sph_database.npart;
    std::printf("%-6s %4d %10d %8d %11.2f %13.2f %11.1f %10.2f %12.2f\n", c.source ? "SOURCE" : "PHASE", c.n,
                npart, c.targets, advance_ns, advance_allocs, step_ns, step_ns * npart * 1e-6, step_allocs);
    std::fflush(stdout);
    quorrel::sph_lifecycle_finalize();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4) {
        const Case c{std::atoi(argv[1]), std::strcmp(argv[2], "SOURCE") == 0, std::atoi(argv[3])};
        if (c.n < 2 || (c.source && c.targets < 1) || (!c.source && c.targets != 0)) return 1;
        return run_case(c);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: explosive_bench [n PHASE|SOURCE targets]\n");
        return 1;
    }
    std::printf("%-6s %4s %10s %8s %11s %13s %11s %10s %12s\n", "mode", "n", "particles", "targets", "advance ns",
                "advance alloc", "step ns", "ms/step", "step alloc");
    std::printf("%-6s %4s %10s %8s %11s %13s %11s %10s %12s\n", "", "", "", "", "/part-step", "/step",
                "/part-step", "", "/step");
    std::fflush(stdout);  // the children write to the same stream
    const Case cases[] = {{32, false, 0},   {64, false, 0},   {32, true, 512},
                          {64, true, 512}, {32, true, 4096}, {64, true, 4096}};
    for (const Case& c : cases) {
        const std::string cmd = std::string("\"") + argv[0] + "\" " + std::to_string(c.n) + " " +
                                (c.source ? "SOURCE" : "PHASE") + " " + std::to_string(c.targets);
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
}
