// Gas step on a lattice cube (dx = 0.01 m, h = 1.2 dx, ideal gas rho 1.2, gamma 1.4, e set
// for p = 1e5 Pa, mass rho dx^3), released from rest and advanced 100 fixed steps of
// 1e-6 s. One step is the full explicit step: neighbour rebuild, the pressure update, the
// gas pair pass, the leapfrog update, the sources and the diagnostics.
// Usage: gas_bench [n | water n]   (no argument: n = 20, 40, 64, each in its own process)
// Without an argument each size also runs the water benchmark's cube in a process of its
// own, and the last column is gas particle-steps/s over water's from the same sitting.
// Each gas run also writes the cube as a deck, gas_bench_<n>.inp, in the working directory.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bench_support.h"
#include "core/sph_control.h"
#include "gas/sph_gas.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01, h = 1.2 * dx, rho = 1.2, gamma_gas = 1.4, pressure = 1.0e5;
constexpr double energy = pressure / ((gamma_gas - 1.0) * rho);  // p = (gamma - 1) rho e
constexpr double volume = dx * dx * dx, mass = rho * volume;
constexpr double dt = 1.0e-6;
constexpr int steps = 100;

void write_deck(int n) {
    const std::string name = "gas_bench_" + std::to_string(n) + ".inp";
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return;
    std::fprintf(f, "** Gas benchmark cube: %d^3 particles, dx = 0.01 m, ideal gas at 1e5 Pa, from rest.\r\n", n);
    std::fprintf(f, "** Every particle takes the first material (AIR); the section binds one node.\r\n");
    std::fprintf(f, "*NODE\r\n");
    for (int i = 0; i < n * n * n; ++i)
        std::fprintf(f, "%d, %.17g, %.17g, %.17g\r\n", i + 1, dx * (i % n), dx * ((i / n) % n), dx * (i / (n * n)));
    std::fprintf(f, "*NSET, NSET=ANCHOR\r\n1\r\n");
    std::fprintf(f, "*MATERIAL, NAME=AIR, TYPE=GAS\r\n*DENSITY\r\n%.17g\r\n", rho);
    std::fprintf(f, "*FLUID SECTION, NSET=ANCHOR, MATERIAL=AIR\r\n");
    std::fprintf(f, "*QUORREL, TIME CONTROL, DT=1.0e-6, TIME=1.0e-4, STEPS=100, SAFETY=1.0\r\n");
    std::fprintf(f, "** Run with --output, every 20th step is written: five output steps, not 100.\r\n");
    std::fprintf(f, "*QUORREL, OUTPUT, INTERVAL=20\r\n");
    std::fprintf(f, "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=%.17g, E0=%.17g, P0=0.0\r\n", gamma_gas,
                 energy);
    std::fprintf(f, "*QUORREL, PARTICLE CONTROL, H=%.17g, MASS=%.17g, VOLUME=%.17g\r\n", h, mass, volume);
    std::fclose(f);
}

// The row a child run of this program prints, without its line end; empty on failure.
std::string child_row(const char* self, const std::string& args) {
    const std::string cmd = std::string("\"") + self + "\" " + args;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return {};
    std::string row;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) row += buf;
    if (pclose(p) != 0) return {};
    while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
    return row;
}

// Third column of a step row: particle-steps per second.
double steps_per_second(const std::string& row) {
    int n = 0, particles = 0;
    double rate = 0.0;
    return std::sscanf(row.c_str(), "%d %d %lf", &n, &particles, &rate) == 3 ? rate : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        std::printf("%6s %10s %18s %12s %16s %12s %14s %10s\n", "n", "particles", "particle-steps/s", "ms/step",
                    "neighbours", "allocs/step", "bytes/particle", "gas/water");
        for (int size : {20, 40, 64}) {
            const std::string gas = child_row(argv[0], std::to_string(size));
            const std::string water = child_row(argv[0], "water " + std::to_string(size));
            if (gas.empty() || water.empty()) return 1;
            std::printf("%s %10.2f\n", gas.c_str(), steps_per_second(gas) / steps_per_second(water));
            std::fflush(stdout);
        }
        return 0;
    }
    if (std::string_view(argv[1]) == "water") {
        if (argc < 3 || !bench::water_cube(std::atoi(argv[2]))) return 1;
        return bench::time_steps(std::atoi(argv[2]), bench::water_dt, steps);
    }
    const int n = std::atoi(argv[1]);
    write_deck(n);
    sph_control_reset();
    sph_gas_initialize();
    if (!bench::fill_cube(n, dx, h)) return 1;
    // Every particle keeps the first material, which the initial conditions turn into gas.
    if (sph_db_add_material("AIR", "GAS") != 0 || sph_db_set_material_density("AIR", rho) != 0) return 1;
    sph_gas_note_material("AIR", "GAS");
    if (sph_gas_set_ideal("AIR", gamma_gas, energy, 0.0) != 0) return 1;
    if (sph_gas_set_particle_control(h, mass, volume) != 0) return 1;
    if (sph_gas_apply_initial_conditions() != 0) return 1;
    const SphDatabase& d = sph_database;
    if (d.gas_particle_count != d.npart) return 1;
    return bench::time_steps(n, dt, steps);
}

