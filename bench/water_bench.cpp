// Water step on a lattice cube (dx = 0.01 m, h = 1.2 dx, rho0 1000, c0 50, gamma 7,
// alpha 0.1, beta 0), released with a radial velocity rising linearly to 1 m/s at the
// faces, advanced 100 fixed steps of 5e-5 s. One step is the full explicit step:
// neighbour rebuild, every water pass and the leapfrog update.
// Usage: water_bench [n]   (no argument: n = 20, 40, 64, each in its own process)
// Each run also writes the cube as a deck, water_bench_<n>.inp, in the working directory.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "core/sph_control.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01;
constexpr int steps = 100;

void write_deck(int n) {
    const std::string name = "water_bench_" + std::to_string(n) + ".inp";
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return;
    const double half = 0.5 * dx * (n - 1);
    std::fprintf(f, "** Water benchmark cube: %d^3 particles, dx = 0.01 m, radial release to 1 m/s.\r\n", n);
    std::fprintf(f, "** Every particle takes the first material (WATER); the section binds one node.\r\n");
    std::fprintf(f, "** The initial velocity field is not a deck card: the deck runs the cube from rest.\r\n");
    std::fprintf(f, "*NODE\r\n");
    for (int i = 0; i < n * n * n; ++i)
        std::fprintf(f, "%d, %.17g, %.17g, %.17g\r\n", i + 1, dx * (i % n) - half, dx * ((i / n) % n) - half,
                     dx * (i / (n * n)) - half);
    std::fprintf(f, "*NSET, NSET=ANCHOR\r\n1\r\n");
    std::fprintf(f, "*MATERIAL, NAME=WATER, TYPE=WATER\r\n*DENSITY\r\n1000.0\r\n");
    std::fprintf(f, "*FLUID SECTION, NSET=ANCHOR, MATERIAL=WATER\r\n");
    std::fprintf(f, "*QUORREL, TIME CONTROL, DT=5.0e-5, TIME=5.0e-3, STEPS=100, SAFETY=1.0\r\n");
    std::fprintf(f, "** Run with --output, every 20th step is written: five output steps, not 100.\r\n");
    std::fprintf(f, "*QUORREL, OUTPUT, INTERVAL=20\r\n");
    std::fprintf(f, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=50.0, GAMMA=7.0, P0=0.0\r\n");
    std::fprintf(f, "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0, ETA2=0.01\r\n");
    std::fprintf(f, "*QUORREL, PARTICLE CONTROL, H=0.012, MASS=0.001, VOLUME=1.0e-6\r\n");
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        bench::print_step_header();
        return bench::run_sizes_in_children(argv[0], {20, 40, 64});
    }
    const int n = std::atoi(argv[1]);
    write_deck(n);
    if (!bench::water_cube(n)) return 1;
    return bench::time_steps(n, bench::water_dt, steps);
}

