// Solid step on a Johnson-Cook steel cube: n^3 particles on a lattice of dx = 0.01 m,
// h 1.2 dx, density 7850, volume dx^3, mass 7850 dx^3; E 200 GPa, nu 0.3; flow A 792 MPa,
// B 510 MPa, n 0.26, C 0.014, m 1.03 (reference rate 1/s, room 293 K, melt 1793 K); damage
// 0.05, 3.44, -2.12, 0.002, 0.61 with linear softening. The cube is stretched along x: v_x
// rises linearly from -20 m/s at one x face to 20 m/s at the other, a strain rate of
// 40 / ((n - 1) dx). In uniaxial strain the von Mises stress is 2 G eps, so the yield
// stress A is reached at eps = A / 2G = 5.1e-3: after about 50 us (n = 40) or 81 us
// (n = 64), some 25 or 40 steps of the 2 us solid limit. The timed steps are thus elastic
// at first and plastic later; the report shows the step of the first yield.
//
// The model is built in process (a deck set holds at most 512 members) through the same
// setters and build calls a deck goes through, then run as the run loop does: each step
// is the stable-step estimate and the full explicit step. One warm-up step brings every
// buffer to its working size; the next 100 steps are timed.
//
// Printed per size and vector level: the level, particle-steps per second, time per step, the mean dt, heap
// allocations inside the timed steps, bytes per particle (solid state, reference pairs with
// the pair kernels' records, database arrays with the neighbour list, their total, and the
// peak resident set), the share of particles with plastic strain > 0 after the run, the
// first step with plastic strain, the largest plastic strain, and the build time (solid
// state, reference state with its pair search, diagnostics).
// Usage: solid_bench [n [scalar|avx2|avx512]]   (no argument: n = 40, 64 at every level
// this CPU has, each in its own process; no level: the widest the CPU has)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "lifecycle/sph_lifecycle.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_arrays.h"
#include "solid/sph_solid_dynamics.h"
#include "solid/sph_solid_state.h"
#include "solver/sph_solver_explicit.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01, h = 1.2 * dx, density = 7850.0;
constexpr double volume = dx * dx * dx, mass = density * volume;
constexpr double face_speed = 20.0;
constexpr int steps = 100;

using Clock = std::chrono::steady_clock;

constexpr const char* level_names[] = {"scalar", "avx2", "avx512"};

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <typename T, typename A>
double bytes_of(const std::vector<T, A>& v) {
    return static_cast<double>(v.capacity() * sizeof(T));
}

// Everything up to the build calls: particles, material, section and the solid table.
bool set_up(int n) {
    using namespace quorrel;
    sph_lifecycle_finalize();
    sph_lifecycle_initialize();
    // The run loop caps every step at the default; the solid limit must decide it here.
    sph_control.dt_default = 1.0;
    if (!bench::fill_cube(n, dx, h)) return false;
    if (sph_db_add_material("STEEL", "SOLID") != 0 || sph_db_set_material_density("STEEL", density) != 0) return false;
    // The section needs a set; its one member stands for the whole cube, bound below.
    const int32_t first = 1;
    if (sph_db_add_nset("CUBE", 1, &first) != 0) return false;
    if (sph_db_add_section("CUBE", "SOLID", "STEEL", 0.0, 3, 5.0 / 6.0, "") != 0) return false;
    sph_solid_note_material("STEEL", "SOLID");
    if (sph_solid_set_elastic("STEEL", 200.0e9, 0.3) != 0) return false;
    if (sph_solid_set_johnson_cook("STEEL", 792.0e6, 510.0e6, 0.26, 0.014, 1.03, 1.0, 293.0, 1793.0) != 0)
        return false;
    const double damage[5] = {0.05, 3.44, -2.12, 0.002, 0.61};
    if (sph_solid_set_failure("STEEL", damage) != 0) return false;
    if (sph_solid_set_control("STEEL", "LINEAR", 1.0) != 0) return false;
    SphDatabase& d = sph_database;
    const double half = 0.5 * dx * (n - 1);  // centre to the outermost particles
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        // What a section binding would write, for a set far beyond the member cap.
        d.particle_phase[i] = sph_phase_solid;
        d.material_id[i] = 1;
        d.section_id[i] = 1;
        d.volume[i] = volume;
        d.mass[i] = mass;
        d.rho[i] = density;
        d.v[3 * i] = face_speed * (d.x[3 * i] - half) / half;
    }
    return true;
}

int run(int n) {
    using namespace quorrel;
    if (!set_up(n)) {
        std::fprintf(stderr, "set-up failed: %s\n", sph_error_message().c_str());
        return 1;
    }
    const auto t_build = Clock::now();
    if (sph_solid_build_state() != 0 || sph_solid_build_reference_state() != 0 || sph_solid_update_diagnostics() != 0) {
        std::fprintf(stderr, "build failed: %s\n", sph_error_message().c_str());
        return 1;
    }
    const double build = seconds_since(t_build);

    double dt = 0.0;
    if (sph_solver_estimate_stable_dt(dt) != 0 || sph_solver_advance_explicit(dt) != 0) {
        std::fprintf(stderr, "warm-up step failed: %s\n", sph_error_message().c_str());
        return 1;
    }
    double dt_sum = 0.0;
    int32_t first_yield = 0;  // none
    const long allocs_before = bench::heap_allocations.load();
    const auto t0 = Clock::now();
    for (int s = 0; s < steps; ++s) {
        if (sph_solver_estimate_stable_dt(dt) != 0 || sph_solver_advance_explicit(dt) != 0) {
            std::fprintf(stderr, "step %d failed: %s\n", s + 1, sph_error_message().c_str());
            return 1;
        }
        dt_sum += dt;
        if (first_yield == 0 && sph_database.solid_max_plastic_strain > 0.0) first_yield = sph_control.current_step;
    }
    const double sec = seconds_since(t0) / steps;
    const long allocs = bench::heap_allocations.load() - allocs_before;

    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;  // the array walk takes a mutable state; nothing is written
    const SphSolidDynamics& dyn = sph_solid_dynamics;
    const double np = static_cast<double>(d.npart);
    double solid_bytes = 0.0;
    sph_solid_for_each_array(s, [&solid_bytes](const auto& values, std::size_t) { solid_bytes += bytes_of(values); });
    const double pair_bytes = bytes_of(dyn.solid_pair_offset) + bytes_of(dyn.solid_pair_lower) +
                              bytes_of(dyn.solid_pair_list) + bytes_of(dyn.solid_pair_records);
    const double db_bytes = static_cast<double>(sph_db_bytes_per_particle()) * np + bytes_of(d.neighbor_list) +
                            bytes_of(d.cell_head);
    int32_t yielded = 0;
    for (double ep : s.solid_plastic_strain)
        if (ep > 0.0) ++yielded;
    std::printf("%6s %4d %8d %14.3e %9.3f %10.3e %7ld %7.0f %7.0f %7.0f %7.0f %7.0f %8.1f %7d %10.3e %9.1f\n",
                level_names[static_cast<int>(sph_simd_level())], n,
                d.npart, np / sec, sec * 1e3, dt_sum / steps, allocs, solid_bytes / np, pair_bytes / np, db_bytes / np,
                (solid_bytes + pair_bytes + db_bytes) / np, bench::peak_rss_mib() * 1048576.0 / np,
                100.0 * yielded / np, first_yield, d.solid_max_plastic_strain, build * 1e3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        std::printf("%6s %4s %8s %14s %9s %10s %7s %7s %7s %7s %7s %7s %8s %7s %10s %9s\n", "simd", "n", "parts",
                    "part-steps/s", "ms/step", "mean dt", "allocs", "B solid", "B pairs", "B db", "B total", "B rss",
                    "yield %", "yield@", "max ep", "build ms");
        std::fflush(stdout);  // the children write to the same stream
        for (int level = 0; level <= static_cast<int>(sph_simd_level()); ++level)
            for (int n : {40, 64}) {
                const std::string cmd =
                    std::string("\"") + argv[0] + "\" " + std::to_string(n) + " " + level_names[level];
                if (std::system(cmd.c_str()) != 0) return 1;
            }
        return 0;
    }
    if (argc > 2) {
        int level = 0;
        while (level < 3 && std::strcmp(argv[2], level_names[level]) != 0) ++level;
        if (level == 3) {
            std::fprintf(stderr, "unknown vector level %s (scalar, avx2 or avx512)\n", argv[2]);
            return 1;
        }
        sph_simd_set_cap(static_cast<SphSimd>(level));
        if (sph_simd_level() != static_cast<SphSimd>(level)) {
            std::fprintf(stderr, "this CPU lacks %s\n", argv[2]);
            return 1;
        }
    }
    return run(std::atoi(argv[1]));
}
