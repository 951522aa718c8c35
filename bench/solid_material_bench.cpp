// Solid material update: an n^3 block of Johnson-Cook steel (E 200 GPa, nu 0.3, A 350 MPa,
// B 275 MPa, n 0.36, C 0.022 against 1/s, m 1, at 500 K; damage constants and linear
// softening given) takes `increments` strain increments of dt = 1e-6 s through
// sph_solid_update_particle_material, one particle at a time. Each particle has its own
// increment, (2, -0.6, -0.6, 6, 1, 0) x 1e-4 times a factor f in [0.5, 1.5): the elastic
// trial grows by about 1.67e8 f Pa of von Mises stress per increment, and the initial yield
// stress at 500 K is 3.5e8 (1 - 0.138) = 3.0e8 Pa, so the 2nd to 4th increment first yields
// and about 85% of the updates are plastic, at plastic rates of some hundreds per second
// (the rate term is active). Damage stays far below 1.
// Prints updates per second, the share of updates that were plastic, and the heap
// allocations inside the timed loop.
// Usage: solid_material_bench [n [increments]]   (defaults 64 and 10)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_support.h"
#include "core/sph_error.h"
#include "solid/sph_solid.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dt = 1.0e-6;

bool build(int n) {
    using namespace quorrel;
    const int32_t count = n * n * n;
    if (sph_db_allocate(count) != 0) return false;
    if (sph_db_add_material("STEEL", "SOLID") != 0 || sph_db_set_material_density("STEEL", 7850.0) != 0) return false;
    // The section's set holds one node; the loop below binds every particle to it.
    const int32_t first = 1;
    if (sph_db_add_nset("BLOCK", 1, &first) != 0) return false;
    if (sph_db_add_section("BLOCK", "SOLID", "STEEL", 0.0, 3, 5.0 / 6.0, "") != 0) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        // Every particle is an active solid of material 1 under section 1.
        sph_database.material_id[i] = 1;
        sph_database.section_id[i] = 1;
        sph_database.temperature[i] = 500.0;
    }
    sph_solid_initialize();
    sph_solid_note_material("STEEL", "SOLID");
    const double damage[5] = {0.05, 3.44, -2.12, 0.002, 0.61};
    if (sph_solid_set_elastic("STEEL", 2.0e11, 0.3) != 0 ||
        sph_solid_set_johnson_cook("STEEL", 3.5e8, 2.75e8, 0.36, 0.022, 1.0, 1.0, 293.15, 1793.0) != 0 ||
        sph_solid_set_failure("STEEL", damage) != 0 || sph_solid_set_control("STEEL", "LINEAR", 1.0) != 0)
        return false;
    return sph_solid_build_state() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    const int n = argc > 1 ? std::atoi(argv[1]) : 64;
    const int increments = argc > 2 ? std::atoi(argv[2]) : 10;
    if (n < 1 || increments < 1 || !build(n)) {
        std::fprintf(stderr, "setup failed: %s\n", sph_error_message().c_str());
        return 1;
    }
    const int32_t np = sph_database.npart;
    std::vector<SphSymTensor> strain(static_cast<std::size_t>(np));
    for (std::size_t i = 0; i < strain.size(); ++i) {
        // A fixed spread of factors over the block (Knuth's multiplicative hash).
        const double f = 0.5 + static_cast<double>((static_cast<uint32_t>(i) * 2654435761u) >> 16) / 65536.0;
        strain[i] = {2.0e-4 * f, -0.6e-4 * f, -0.6e-4 * f, 6.0e-4 * f, 1.0e-4 * f, 0.0};
    }

    double seconds = 0.0;
    long plastic_updates = 0;
    const long allocs_before = bench::heap_allocations.load();
    for (int k = 0; k < increments; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int32_t i = 0; i < np; ++i) {
            if (sph_solid_update_particle_material(i, strain[static_cast<std::size_t>(i)], dt) != 0) {
                std::fprintf(stderr, "update of particle %d failed\n", i + 1);
                return 1;
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // Outside the timer: the updates of this increment that returned to the yield surface.
        for (double rate : sph_solid_state.solid_plastic_strain_rate) plastic_updates += rate > 0.0 ? 1 : 0;
    }
    const long allocs = bench::heap_allocations.load() - allocs_before;

    int32_t failed = 0;
    double max_damage = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(np); ++i) {
        failed += sph_solid_state.solid_failure_status[i] != 0 ? 1 : 0;
        if (sph_solid_state.solid_damage[i] > max_damage) max_damage = sph_solid_state.solid_damage[i];
    }
    const double updates = static_cast<double>(np) * increments;
    std::printf("%6s %10s %6s %12s %14s %12s %10s %8s %12s %8s\n", "n", "particles", "incs", "updates", "updates/s",
                "ns/update", "plastic %", "failed", "max damage", "allocs");
    std::printf("%6d %10d %6d %12.0f %14.4e %12.2f %10.1f %8d %12.3e %8ld\n", n, np, increments, updates,
                updates / seconds, seconds * 1e9 / updates, 100.0 * static_cast<double>(plastic_updates) / updates,
                failed, max_damage, allocs);
    return 0;
}
