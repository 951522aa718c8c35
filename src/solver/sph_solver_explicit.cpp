#include "solver/sph_solver_explicit.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "gas/sph_gas.h"
#include "output/sph_output.h"
#include "particle/sph_neighbor.h"
#include "particle/sph_pair_pass.h"
#include "solid/sph_solid_dynamics.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

// A phase limit replaces the running one when it is positive and smaller: the result is
// the smallest positive limit, or 0 when none is.
void fold_limit(double& dtcrit, double limit) {
    if (limit > 0.0 && (dtcrit <= 0.0 || dtcrit > limit)) dtcrit = limit;
}

// Leapfrog (kick, drift, kick) of every particle, whatever its phase and status; both
// half kicks use the acceleration the particle holds after the loads are added.
void leapfrog_update(double dt) {
    SphDatabase& d = sph_database;
    const std::size_t n3 = 3 * static_cast<std::size_t>(d.npart);
    const double half = dt * 0.5;
    double* x = d.x.data();
    double* v = d.v.data();
    double* vh = d.vhalf.data();
    const double* a = d.a.data();
    for (std::size_t c = 0; c < n3; ++c) {
        const double vhalf = v[c] + half * a[c];
        vh[c] = vhalf;
        x[c] = x[c] + dt * vhalf;
        v[c] = vhalf + half * a[c];
    }
    const std::size_t n = static_cast<std::size_t>(d.npart);
    for (std::size_t i = 0; i < n; ++i) d.rho[i] = d.rho[i] + dt * d.drho_dt[i];
}

// Accelerations are rebuilt from scratch every step, so loads added to particles that no
// phase assigns act for one step only.
void clear_accelerations() {
    SphDatabase& d = sph_database;
    std::fill(d.a.begin(), d.a.end(), 0.0);
}

// The pair passes of the density-rate and acceleration rows share one pack of what they
// read; it is dropped when those rows are done or one of them fails.
class SharedPairPack {
public:
    SharedPairPack() = default;
    SharedPairPack(const SharedPairPack&) = delete;
    SharedPairPack& operator=(const SharedPairPack&) = delete;
    ~SharedPairPack() { sph_pair_pass_release_pack(); }
    [[nodiscard]] int hold() { return sph_pair_pass_hold_pack(); }
};

// 1 for an infinity or a NaN (the exponent field all ones), else 0: integer operations
// only, so that a pass over an array is vectorised.
inline uint64_t not_finite_bit(double value) {
    return (((std::bit_cast<uint64_t>(value) >> 52) & 0x7ff) + 1) >> 11;
}

// A position or velocity that left the double range fails the step that produced it, with
// the node of the first such particle, before the diagnostics sum it: the next step's
// neighbour search would refuse the position, after a step reported as a success.
int check_motion_finite(const SphDatabase& d) {
    const std::size_t n = static_cast<std::size_t>(d.npart);
    const double* x = d.x.data();
    const double* v = d.v.data();
    // One branch-free pass; the particle is looked for only after.
    uint64_t out_of_range = 0;
    for (std::size_t c = 0; c < 3 * n; ++c) out_of_range |= not_finite_bit(x[c]) | not_finite_bit(v[c]);
    if (out_of_range == 0) return sph_success;
    for (std::size_t i = 0; i < n; ++i) {
        const char* what = nullptr;
        if (!std::isfinite(x[3 * i]) || !std::isfinite(x[3 * i + 1]) || !std::isfinite(x[3 * i + 2]))
            what = "position";
        else if (!std::isfinite(v[3 * i]) || !std::isfinite(v[3 * i + 1]) || !std::isfinite(v[3 * i + 2]))
            what = "velocity";
        if (what != nullptr)
            return sph_fail(sph_error_argument, std::string("particle ") + what + " is not finite (node " +
                                                    std::to_string(d.particle_id_ext[i]) + ")");
    }
    return sph_success;
}

// One step's calls, in their order.
int advance_particles(double dt) {
    const double t = sph_control.current_time;
    if (int st = sph_blast_load_clear()) return st;
    if (int st = sph_neighbor_rebuild()) return st;
    if (int st = sph_water_update_pressure()) return st;
    if (int st = sph_gas_update_pressure()) return st;
    if (int st = sph_blast_load_compute_at(t)) return st;
    clear_accelerations();
    {
        // The density-rate and acceleration rows read positions, velocities, masses,
        // densities, smoothing lengths and pressures and write none of them.
        SharedPairPack pack;
        if (int st = pack.hold()) return st;
        // Each phase's density rate and acceleration in one pass over each neighbour list:
        // legal while no row between the two changes what they read. The results are those
        // of the rows one by one; a model failing in both phases reports water's failure.
        if (int st = sph_water_compute_density_rate_and_acceleration()) return st;
        if (int st = sph_gas_compute_density_rate_and_acceleration()) return st;
    }
    if (int st = sph_solid_compute_acceleration()) return st;
    if (int st = sph_blast_load_apply_to_acceleration()) return st;
    if (int st = sph_coupling_apply_imports_to_acceleration(dt)) return st;
    if (int st = sph_coupling_apply_motion_before_step()) return st;
    leapfrog_update(dt);
    if (int st = sph_coupling_apply_motion_after_step()) return st;
    if (int st = sph_coupling_finalize_step_imports()) return st;
    if (int st = sph_explosive_advance(dt, t + dt)) return st;
    if (int st = sph_gas_apply_sources_explicit(dt)) return st;
    if (int st = sph_blast_load_compute_at(t + dt)) return st;
    if (int st = sph_solid_advance_material(dt)) return st;
    if (int st = check_motion_finite(sph_database)) return st;
    if (int st = sph_water_update_diagnostics()) return st;
    if (int st = sph_gas_update_diagnostics()) return st;
    if (int st = sph_solid_update_diagnostics()) return st;
    return sph_success;
}

}  // namespace

int sph_solver_phase_dt(double& dtcrit) {
    dtcrit = 0.0;
    const double safety = sph_control.safety_factor;
    if (!(safety > 0.0)) return sph_fail(sph_error_argument, "time step safety factor must be positive");
    double cfl = 0.0, accel = 0.0, viscous = 0.0;
    if (int st = sph_water_estimate_dt_limits(cfl, accel, viscous)) return st;
    const double w = std::min(cfl, std::min(accel, viscous));
    dtcrit = w > 0.0 ? w : 0.0;
    double gas_cfl = 0.0, gas_accel = 0.0, gas_limit = 0.0;
    if (int st = sph_gas_estimate_dt_limits(gas_cfl, gas_accel, gas_limit)) return st;
    fold_limit(dtcrit, gas_limit);
    double reaction_limit = 0.0;
    if (int st = sph_explosive_estimate_dt_limit(reaction_limit)) return st;
    fold_limit(dtcrit, reaction_limit);
    double solid_cfl = 0.0, solid_accel = 0.0, solid_limit = 0.0;
    if (int st = sph_solid_estimate_dt_limits(solid_cfl, solid_accel, solid_limit)) return st;
    fold_limit(dtcrit, solid_limit);
    dtcrit = safety * dtcrit;
    return sph_success;
}

int sph_solver_estimate_stable_dt(double& dtcrit) {
    dtcrit = sph_control.dt_default;
    if (sph_database.npart < 1) return sph_success;
    if (int st = sph_solver_phase_dt(dtcrit)) return st;
    // NaN counts as "no positive limit".
    if (!(dtcrit > 0.0) || dtcrit > sph_control.dt_default) dtcrit = sph_control.dt_default;
    return sph_success;
}

int sph_solver_advance_explicit(double dt) {
    if (!(dt > 0.0) || !std::isfinite(dt)) return sph_fail(sph_error_argument, "time step must be positive");
    // Both refusals leave time, step and particles as they were.
    if (sph_control.current_step == std::numeric_limits<int32_t>::max())
        return sph_fail(sph_error_argument, "step counter is at its largest value");
    if (!std::isfinite(sph_control.current_time + dt))
        return sph_fail(sph_error_argument, "time after the step is not finite");
    if (sph_database.npart > 0)
        if (int st = advance_particles(dt)) return st;
    sph_control.current_time += dt;
    sph_control.current_step += 1;
    if (sph_control.output_enabled && sph_control.output_interval > 0 &&
        sph_control.current_step % sph_control.output_interval == 0) {
        if (int st = sph_output_write_step(sph_control.current_step, sph_control.current_time)) return st;
    }
    return sph_success;
}

int sph_solver_run_explicit() {
    int32_t taken = 0;
    while (sph_control.current_time < sph_control.end_time && taken < sph_control.max_steps) {
        double dt = 0.0;
        if (int st = sph_solver_estimate_stable_dt(dt)) return st;
        if (sph_control.current_time + dt > sph_control.end_time) dt = sph_control.end_time - sph_control.current_time;
        if (!(dt > 0.0)) return sph_success;
        if (int st = sph_solver_advance_explicit(dt)) return st;
        ++taken;
    }
    return sph_success;
}

}  // namespace quorrel
