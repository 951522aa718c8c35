#include "gas/sph_gas.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_sums.h"
#include "database/sph_database.h"
#include "gas/sph_gas_internal.h"
#include "gas/sph_gas_source.h"
#include "particle/sph_pair_pass.h"
#include "particle/sph_particle.h"

namespace quorrel {

using namespace gas_detail;

// ---- Per step ----

int sph_gas_update_pressure() {
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        if (int st = sph_gas_compute_pressure_for_material(d.material_id[i], d.rho[i], d.internal_energy[i],
                                                           d.pressure[i]))
            return st;
    }
    return sph_success;
}

namespace {

// The gas phase's pair sums: active gas with active gas, no viscosity.
SphPairPhase gas_pair_phase() {
    SphPairPhase phase;
    phase.phase = sph_phase_gas;
    phase.own_density_message = "Gas density must be positive for pressure force";
    phase.neighbor_density_message = "Gas neighbor density must be positive";
    return phase;
}

bool any_active_gas(const SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
        if (active_gas(d, i)) return true;
    return false;
}

// The density rate of gas particles only (others keep the water sum); the pressure part
// of the acceleration of every particle, so the water values of the step are replaced.
// Without active gas there is nothing to sum, and every array is left as it is.
int gas_pair_sums(SphPairTerms terms) {
    SphDatabase& d = sph_database;
    if (d.npart <= 0 || !any_active_gas(d)) return sph_success;
    if (terms.density_rate)
        for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
            if (active_gas(d, i)) d.drho_dt[i] = 0.0;
    if (terms.pressure) std::fill(d.acc_pressure.begin(), d.acc_pressure.end(), 0.0);
    return sph_pair_pass_sum(gas_pair_phase(), terms);
}

void set_gas_acceleration(SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.a[3 * i + k] = d.acc_pressure[3 * i + k] + d.acc_body[3 * i + k];
    }
}

}  // namespace

int sph_gas_compute_density_rate() { return gas_pair_sums({.density_rate = true}); }

int sph_gas_compute_pressure_acceleration() { return gas_pair_sums({.pressure = true}); }

int sph_gas_compute_acceleration() {
    if (int st = sph_gas_compute_pressure_acceleration()) return st;
    set_gas_acceleration(sph_database);
    return sph_success;
}

int sph_gas_compute_density_rate_and_acceleration() {
    if (int st = gas_pair_sums({.density_rate = true, .pressure = true})) return st;
    set_gas_acceleration(sph_database);
    return sph_success;
}

double sph_gas_sound_speed(int i) {
    const SphDatabase& d = sph_database;
    const std::size_t u = static_cast<std::size_t>(i);
    const SphGasMaterial* s = slot_of(d.material_id[u]);
    const double pinf = s != nullptr ? s->gas_material_pinf : sph_gas.gas_pinf;
    // The "+ 1" is in pressure units; gamma does not enter.
    return std::sqrt(std::max(1e-12, (std::fabs(d.pressure[u]) + std::fabs(pinf) + 1.0) / d.rho[u]));
}

int sph_gas_estimate_dt_limits(double& dt_cfl_out, double& dt_accel_out, double& dt_limit_out) {
    // Outputs are written only once the estimate succeeds; a failed one leaves them 0.
    dt_cfl_out = dt_accel_out = dt_limit_out = 0.0;
    constexpr double big = std::numeric_limits<double>::max();
    double dt_cfl = big, dt_accel = big;
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        const double h = d.h[i];
        if (!(d.rho[i] > 0.0) || !(h > 0.0)) return sph_fail(sph_error_argument, "invalid Gas state for dt estimate");
        const double* vi = &d.v[3 * i];
        const double* ai = &d.a[3 * i];
        const double vmag = sph_norm3(vi);
        const double amag = sph_norm3(ai);
        dt_cfl = std::min(dt_cfl, h / (sph_gas_sound_speed(static_cast<int>(i)) + vmag));
        if (amag > 0.0) dt_accel = std::min(dt_accel, sph_acceleration_step(h, amag));
    }
    if (dt_cfl == big) dt_cfl = 0.0;
    if (dt_accel == big) dt_accel = dt_cfl;
    const double dt_limit = dt_accel > 0.0 && dt_accel < dt_cfl ? dt_accel : dt_cfl;
    d.gas_dt_cfl = dt_cfl_out = dt_cfl;
    d.gas_dt_accel = dt_accel_out = dt_accel;
    d.gas_dtcrit = dt_limit_out = dt_limit;
    return sph_success;
}

namespace {

int diagnostics_overflow(const char* quantity) {
    return sph_fail(sph_error_argument, std::string("Gas diagnostics overflow: ") + quantity + " is not finite");
}

// Are the plain sums of the refresh (centre still undivided) all finite?
bool plain_sums_finite(double volume_pressure) {
    const SphDatabase& d = sph_database;
    bool finite = std::isfinite(d.gas_mass) && std::isfinite(d.gas_volume) && std::isfinite(volume_pressure);
    for (std::size_t k = 0; k < 3; ++k)
        finite = finite && std::isfinite(d.gas_momentum[k]) && std::isfinite(d.gas_center[k]);
    return finite;
}

// The refresh once a plain sum has overflowed. Mass and volume are sums of positive terms:
// their overflow means the total is not representable, and the refresh fails. Momentum is
// summed again at a scale where opposite terms cancel; the centre and the mean pressure,
// which always lie within the range of their terms, as means with weights V/(total V).
// Whatever summed plainly to a finite value keeps its plain result.
int gas_sums_beyond_range(double volume_pressure) {
    SphDatabase& d = sph_database;
    if (!std::isfinite(d.gas_mass)) return diagnostics_overflow("total mass");
    if (!std::isfinite(d.gas_volume)) return diagnostics_overflow("total volume");
    const std::size_t n = static_cast<std::size_t>(d.npart);
    double momentum[3], center[3] = {0.0, 0.0, 0.0}, mean_pressure = 0.0;
    sph_scaled_momentum(n, d.mass.data(), d.v.data(), [](std::size_t i) { return active_gas(sph_database, i); },
                        momentum);
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_gas(d, i)) continue;
        const double w = d.volume[i] / d.gas_volume;
        for (std::size_t k = 0; k < 3; ++k) center[k] += w * d.x[3 * i + k];
        mean_pressure += w * d.pressure[i];
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (!std::isfinite(d.gas_momentum[k])) d.gas_momentum[k] = momentum[k];
        if (!std::isfinite(d.gas_momentum[k])) return diagnostics_overflow("total momentum");
        d.gas_center[k] = std::isfinite(d.gas_center[k]) ? d.gas_center[k] / d.gas_volume : center[k];
    }
    d.gas_mean_pressure = std::isfinite(volume_pressure) ? volume_pressure / d.gas_volume : mean_pressure;
    return sph_success;
}

}  // namespace

int sph_gas_update_diagnostics() {
    sph_db_clear_gas_diagnostics();
    SphDatabase& d = sph_database;
    SphGas& g = sph_gas;
    double volume_pressure = 0.0;
    bool first = true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        const double m = d.mass[i], vol = d.volume[i];
        if (!(vol > 0.0)) return sph_fail(sph_error_argument, "Gas volume must be positive");
        d.gas_particle_count += 1;
        d.gas_mass += m;
        d.gas_volume += vol;
        for (std::size_t k = 0; k < 3; ++k) {
            d.gas_momentum[k] += m * d.v[3 * i + k];
            d.gas_center[k] += vol * d.x[3 * i + k];
        }
        volume_pressure += vol * d.pressure[i];
        if (first) {
            d.gas_max_pressure = d.pressure[i];
            d.gas_min_density = d.gas_max_density = d.rho[i];
            first = false;
        } else {
            if (d.pressure[i] > d.gas_max_pressure) d.gas_max_pressure = d.pressure[i];
            if (d.rho[i] < d.gas_min_density) d.gas_min_density = d.rho[i];
            if (d.rho[i] > d.gas_max_density) d.gas_max_density = d.rho[i];
        }
    }
    if (!plain_sums_finite(volume_pressure)) {
        if (int st = gas_sums_beyond_range(volume_pressure)) return st;
    } else if (d.gas_volume > 0.0) {
        for (std::size_t k = 0; k < 3; ++k) d.gas_center[k] /= d.gas_volume;
        d.gas_mean_pressure = volume_pressure / d.gas_volume;
    }
    if (d.gas_volume > 0.0) {
        d.gas_equivalent_radius = std::cbrt(3.0 * d.gas_volume / (4.0 * sph_pi));
        // 3 V overflows above a third of the largest double; the radius itself cannot.
        if (std::isinf(d.gas_equivalent_radius))
            d.gas_equivalent_radius = std::cbrt(3.0 * (d.gas_volume / (4.0 * sph_pi)));
    }
    // A change per refresh, not per time: two refreshes in a row report 0 the second time.
    if (g.gas_bubble_history_valid) {
        d.gas_radius_rate = d.gas_equivalent_radius - d.gas_previous_equivalent_radius;
        d.gas_center_shift = sph_distance3(d.gas_center.data(), d.gas_previous_center.data());
    }
    d.gas_previous_equivalent_radius = d.gas_equivalent_radius;
    d.gas_previous_center = d.gas_center;
    g.gas_bubble_history_valid = d.gas_particle_count > 0;
    return sph_success;
}

// ---- Summaries ----

int sph_gas_get_summary(double& volume_out, double center_out[3], double& mean_pressure_out,
                        double& max_pressure_out) {
    if (int st = sph_gas_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    volume_out = d.gas_volume;
    for (std::size_t k = 0; k < 3; ++k) center_out[k] = d.gas_center[k];
    mean_pressure_out = d.gas_mean_pressure;
    max_pressure_out = d.gas_max_pressure;
    return sph_success;
}

int sph_gas_get_extended_summary(double& mass_out, double momentum_out[3], double density_range_out[2],
                                 double dt_limits_out[3]) {
    if (int st = sph_gas_update_diagnostics()) return st;
    double cfl = 0.0, accel = 0.0, limit = 0.0;
    if (int st = sph_gas_estimate_dt_limits(cfl, accel, limit)) return st;
    const SphDatabase& d = sph_database;
    mass_out = d.gas_mass;
    for (std::size_t k = 0; k < 3; ++k) momentum_out[k] = d.gas_momentum[k];
    density_range_out[0] = d.gas_min_density;
    density_range_out[1] = d.gas_max_density;
    dt_limits_out[0] = cfl;
    dt_limits_out[1] = accel;
    dt_limits_out[2] = limit;
    return sph_success;
}

void sph_gas_get_bubble_metrics(double& equivalent_radius_out, double& radius_rate_out, double center_out[3]) {
    const SphDatabase& d = sph_database;
    equivalent_radius_out = d.gas_equivalent_radius;
    radius_rate_out = d.gas_radius_rate;
    for (std::size_t k = 0; k < 3; ++k) center_out[k] = d.gas_center[k];
}

// ---- Sources ----

int sph_gas_apply_sources_explicit(double dt) {
    if (int st = sph_gas_source_apply_explicit(dt)) return st;
    // The new energy enters the pressure at once.
    return sph_gas_update_pressure();
}

int sph_gas_add_source_by_particle(int32_t index, double mass_rate, const double momentum_rate[3],
                                   double energy_rate) {
    return sph_gas_source_add_by_particle(index, mass_rate, momentum_rate, energy_rate);
}

int sph_gas_clear_sources() { return sph_gas_source_clear(); }

int sph_gas_allocate_sources() { return sph_gas_source_allocate(); }

int sph_gas_get_source_summary(double& mass_source, double momentum_source[3], double& energy_source) {
    return sph_gas_source_get_summary(mass_source, momentum_source, energy_source);
}

}  // namespace quorrel
