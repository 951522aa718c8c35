// Blast load on a gas cube: an n^3 ideal-gas cube (dx = 0.01 m, h 1.2 dx, 1e5 Pa) lies
// inside one blast region whose targets are the nodes of 8-node elements in an element set
// (1 element: 8 targets, 256 elements: 2048 targets) in a plate beside the cube. Prints the
// time of one evaluation, of the step's blast work (clear, two evaluations, apply) and of
// the whole step, per particle, and allocations per step once the buffers are sized.
// Usage: blast_bench [n elements]   (no argument: n = 32, 64 with 1 and 256 elements)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "gas/sph_gas.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01, h = 1.2 * dx, rho = 1.2, gamma_gas = 1.4, pressure = 1.0e5;
constexpr double energy = pressure / ((gamma_gas - 1.0) * rho);
constexpr double volume = dx * dx * dx, mass = rho * volume;
constexpr double dt = 1.0e-6;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool build(int n, int elements) {
    using namespace quorrel;
    const int32_t cube = n * n * n, targets = 8 * elements;
    if (sph_db_allocate(cube + targets) != 0) return false;
    for (int32_t i = 0; i < cube; ++i) {
        const double c[3] = {dx * (i % n), dx * ((i / n) % n), dx * (i / (n * n))};
        if (sph_db_set_node(i, i + 1, c) != 0) return false;
    }
    // The plate: a 64-wide grid of target nodes just beyond the cube's x = max face.
    // Their smoothing length is the cube's: no card sets it yet, and the default of 1 m would
    // put every particle in every neighbour list.
    for (int32_t k = 0; k < targets; ++k) {
        const double c[3] = {dx * (n + 1), dx * (k % 64) * n / 64.0, dx * (k / 64) * n / 64.0};
        if (sph_db_set_node(cube + k, cube + k + 1, c) != 0) return false;
        sph_database.h[static_cast<std::size_t>(cube + k)] = h;
    }
    std::vector<int32_t> conn(8), element_ids;
    for (int e = 0; e < elements; ++e) {
        for (int k = 0; k < 8; ++k) conn[static_cast<std::size_t>(k)] = cube + 8 * e + k + 1;
        if (sph_db_add_element(e + 1, "C3D8", 8, conn.data()) != 0) return false;
        element_ids.push_back(e + 1);
    }
    // Element sets hold at most 512 members: 256 fits.
    if (sph_db_add_elset("PLATE", static_cast<int32_t>(element_ids.size()), element_ids.data()) != 0) return false;
    const int32_t first = 1;
    if (sph_db_add_nset("ANCHOR", 1, &first) != 0) return false;
    if (sph_db_add_material("AIR", "GAS") != 0 || sph_db_set_material_density("AIR", rho) != 0) return false;
    if (sph_db_add_material("STEEL", "TARGET") != 0 || sph_db_set_material_density("STEEL", 7800.0) != 0) return false;
    if (sph_db_add_section("PLATE", "SECTION", "STEEL", 0.0, 3, 5.0 / 6.0, "") != 0) return false;
    if (sph_db_apply_sections_to_particles() != 0) return false;
    // Every cube particle keeps the first material, AIR.
    sph_gas_note_material("AIR", "GAS");
    if (sph_gas_set_ideal("AIR", gamma_gas, energy, 0.0) != 0) return false;
    if (sph_gas_set_particle_control(h, mass, volume) != 0) return false;
    if (sph_gas_apply_initial_conditions() != 0) return false;
    const double centre[3] = {0.5 * dx * n, 0.5 * dx * n, 0.5 * dx * n};
    if (sph_blast_add_region("BLAST", centre, dx * n * 1.5, "GAS", "STRUCTURE", "PLATE", 1.0, 0.0, "RADIAL") != 0)
        return false;
    return sph_blast_load_compute() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 3) {
        std::printf("%6s %10s %8s %16s %16s %16s %10s %12s\n", "n", "particles", "targets", "eval ns/part",
                    "blast ns/part", "step ns/part", "blast %", "allocs/step");
        std::fflush(stdout);
        for (int n : {32, 64})
            for (int elements : {1, 256}) {
                const std::string cmd =
                    std::string("\"") + argv[0] + "\" " + std::to_string(n) + " " + std::to_string(elements);
                if (std::system(cmd.c_str()) != 0) return 1;
            }
        return 0;
    }
    const int n = std::atoi(argv[1]), elements = std::atoi(argv[2]);
    sph_control_reset();
    sph_gas_initialize();
    sph_blast_initialize();
    sph_blast_load_initialize();
    if (!build(n, elements)) return 1;
    const int32_t np = sph_database.npart;
    // Sized buffers first.
    if (sph_solver_advance_explicit(dt) != 0) return 1;
    const int reps = n <= 32 ? 20 : 5;

    auto t0 = Clock::now();
    for (int r = 0; r < reps; ++r)
        if (sph_blast_load_compute_at(sph_control.current_time) != 0) return 1;
    const double eval = seconds_since(t0) / reps;

    t0 = Clock::now();
    for (int r = 0; r < reps; ++r) {
        if (sph_blast_load_clear() != 0 || sph_blast_load_compute_at(sph_control.current_time) != 0 ||
            sph_blast_load_apply_to_acceleration() != 0 || sph_blast_load_compute_at(sph_control.current_time) != 0)
            return 1;
    }
    const double blast = seconds_since(t0) / reps;

    const long allocs_before = bench::heap_allocations.load();
    t0 = Clock::now();
    for (int r = 0; r < reps; ++r)
        if (sph_solver_advance_explicit(dt) != 0) return 1;
    const double step = seconds_since(t0) / reps;
    const long allocs = bench::heap_allocations.load() - allocs_before;
    std::printf("%6d %10d %8d %16.2f %16.2f %16.2f %10.1f %12ld\n", n, np, 8 * elements, eval * 1e9 / np,
                blast * 1e9 / np, step * 1e9 / np, 100.0 * blast / step, allocs / reps);
    return 0;
}
