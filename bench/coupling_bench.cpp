// Coupling interface on a water lattice: an n^3 cube (dx = 0.01 m) whose first 512
// particles (a patch of the z = 0 face) are shell particles with director (0, 0, -1) and
// area dx^2, listed in one coupling region that exports particles and facets. Times per
// call: a 512-item particle-force import, a 512-facet pressure import of a new host step
// each call, the four step calls (forces into the accelerations, motion before and after
// the update, the end of the step) with 512 buffered forces, and the region's particle and
// facet exports; and heap allocations per call once the first call has sized everything.
// Each figure is the median over batches of the mean time per call.
// Usage: coupling_bench [n]   (no argument: n = 32 and 64, each in its own process)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench_support.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_state.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

constexpr double dx = 0.01, h = 1.2 * dx, rho0 = 1000.0, mass = rho0 * dx * dx * dx;
constexpr double dt = 5.0e-5;
constexpr int members = 512;
constexpr int batches = 21, calls_per_batch = 200;

using Clock = std::chrono::steady_clock;

bool build(int n) {
    using namespace quorrel;
    if (!bench::fill_cube(n, dx, h)) return false;
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        d.particle_phase[i] = sph_phase_water;
        d.mass[i] = mass;
        d.rho[i] = rho0;
        d.volume[i] = dx * dx * dx;
    }
    // The shell patch: particles 0..511 (nodes 1..512), with the state the shell build
    // would give a flat patch facing -z.
    if (sph_shell_allocate_state() != 0) return false;
    std::vector<int32_t> nodes(members);
    for (int k = 0; k < members; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        d.particle_phase[i] = sph_phase_shell;
        sph_shell_state.shell_director[3 * i + 2] = -1.0;
        sph_shell_state.shell_reference_area[i] = dx * dx;
        nodes[i] = k + 1;
    }
    if (sph_db_add_nset("PATCH", members, nodes.data()) != 0) return false;
    if (sph_db_add_coupling_region("PATCH", "PATCH", sph_region_coupling_contact, sph_coupling_export_both,
                                   sph_coupling_import_facet_load, sph_coupling_load_pressure,
                                   sph_coupling_distribution_area, sph_coupling_contact_state_none, true, "", 0, "",
                                   "") != 0)
        return false;
    return sph_db_build_coupling_regions() == 0 &&
           static_cast<int>(d.coupling_regions[0].coupling_region_particles.size()) == members;
}

struct Figure {
    double us_per_call;
    double allocs_per_call;
};

// `call` once untimed, then `batches` batches of `calls_per_batch` calls; `prepare` runs
// before every call outside the timing.
Figure time_calls(const std::function<int()>& call, const std::function<int()>& prepare = {}) {
    if ((prepare && prepare() != 0) || call() != 0) {
        std::fprintf(stderr, "warm-up call failed\n");
        std::exit(1);
    }
    std::vector<double> means;
    long allocs = 0;
    for (int b = 0; b < batches; ++b) {
        double seconds = 0.0;
        for (int k = 0; k < calls_per_batch; ++k) {
            if (prepare && prepare() != 0) std::exit(1);
            const long before = bench::heap_allocations.load();
            const auto t0 = Clock::now();
            const int st = call();
            seconds += std::chrono::duration<double>(Clock::now() - t0).count();
            allocs += bench::heap_allocations.load() - before;
            if (st != 0) {
                std::fprintf(stderr, "timed call failed\n");
                std::exit(1);
            }
        }
        means.push_back(seconds / calls_per_batch);
    }
    std::nth_element(means.begin(), means.begin() + batches / 2, means.end());
    return {means[static_cast<std::size_t>(batches / 2)] * 1e6,
            static_cast<double>(allocs) / (static_cast<double>(batches) * calls_per_batch)};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorrel;
    if (argc < 2) {
        std::printf("microseconds per call, 512 items\n%4s %9s %10s %10s %10s %10s %10s %10s %10s %10s %12s\n", "n",
                    "particles", "forces", "pressures", "4 steps", "(accel", "motion x2", "finalize)", "export p",
                    "export f", "allocs/call");
        std::fflush(stdout);
        return bench::run_sizes_in_children(argv[0], {32, 64});
    }
    const int n = std::atoi(argv[1]);
    sph_coupling_reset();
    if (!build(n)) {
        std::fprintf(stderr, "building the model failed\n");
        return 1;
    }

    std::vector<int32_t> indices(members);
    std::vector<double> forces(3 * members), pressures(members);
    for (int k = 0; k < members; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        indices[i] = k;  // export index k is particle k, facet id k is particle k
        forces[3 * i] = 1e-3 * k;
        forces[3 * i + 1] = -2e-3;
        forces[3 * i + 2] = 0.5;
        pressures[i] = 1.0e5 + k;
    }
    auto force_import = [&] {
        return sph_coupling_apply_particle_forces(0, members, indices.data(), forces.data());
    };
    int32_t host_step = 0;
    auto pressure_import = [&] {
        return sph_coupling_apply_facet_pressures(0, members, indices.data(), pressures.data(),
                                                  sph_coupling_distribution_area, ++host_step);
    };
    auto step_calls = [] {
        if (int st = sph_coupling_apply_imports_to_acceleration(dt)) return st;
        if (int st = sph_coupling_apply_motion_before_step()) return st;
        if (int st = sph_coupling_apply_motion_after_step()) return st;
        return sph_coupling_finalize_step_imports();
    };

    std::vector<int32_t> ints(6 * members);
    std::vector<double> scalars(7 * members), vectors(9 * members), areas(members);
    auto column = [&](int k) { return ints.data() + static_cast<std::ptrdiff_t>(k) * members; };
    const SphCouplingParticleExport particle_out{column(0), column(1), column(2), column(3),
                                                 column(4), column(5), scalars.data(), vectors.data()};
    const SphCouplingFacetExport facet_out{column(0), column(1), column(2), column(3), vectors.data(), areas.data()};
    int32_t count = 0;
    auto export_particles = [&] {
        const int st = sph_coupling_export_particles(0, members, count, particle_out);
        return st != 0 ? st : (count == members ? 0 : 1);
    };
    auto export_facets = [&] {
        const int st = sph_coupling_export_facets(0, members, count, facet_out);
        return st != 0 ? st : (count == members ? 0 : 1);
    };

    // The four step calls together, and each alone for where the time goes: the forces into
    // the accelerations, the two motion passes (no targets buffered) and the end of the step.
    auto motion_calls = [] {
        if (int st = sph_coupling_apply_motion_before_step()) return st;
        return sph_coupling_apply_motion_after_step();
    };
    const Figure figures[] = {
        time_calls(force_import),
        time_calls(pressure_import),
        time_calls(step_calls, force_import),
        time_calls([] { return sph_coupling_apply_imports_to_acceleration(dt); }, force_import),
        time_calls(motion_calls, force_import),
        time_calls([] { return sph_coupling_finalize_step_imports(); }, force_import),
        time_calls(export_particles),
        time_calls(export_facets),
    };
    double allocs = 0.0;
    std::printf("%4d %9d", n, sph_database.npart);
    for (const Figure& f : figures) {
        std::printf(" %10.2f", f.us_per_call);
        allocs = std::max(allocs, f.allocs_per_call);
    }
    std::printf(" %12.3f\n", allocs);
    return 0;
}
