#include "water/sph_water.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_sums.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "particle/sph_pair_pass.h"

namespace quorrel {

SphWater sph_water;

namespace {

bool finite(double v) { return std::isfinite(v); }

inline bool active_water(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_water && d.particle_status[i] == sph_status_active;
}

}  // namespace

void sph_water_reset_state() { sph_water = SphWater{}; }

void sph_water_initialize() {
    sph_water_reset_state();
    sph_water.water_module_initialized = true;
}

void sph_water_reset() {
    sph_water_reset_state();
    sph_water.water_module_initialized = false;
}

void sph_water_reset_deck_settings() {
    const bool initialized = sph_water.water_module_initialized;
    sph_water_reset_state();
    sph_water.water_module_initialized = initialized;
}

bool sph_water_is_active_particle(int i) {
    const SphDatabase& d = sph_database;
    return i >= 0 && i < d.npart && active_water(d, static_cast<std::size_t>(i));
}

bool sph_water_is_material_particle(int i) {
    const SphDatabase& d = sph_database;
    if (i < 0 || i >= d.npart) return false;
    const int32_t m = d.material_id[static_cast<std::size_t>(i)];
    if (m < 1 || m > static_cast<int32_t>(d.materials.size())) return false;
    return sph_contains_upper(d.materials[static_cast<std::size_t>(m - 1)].material_type, "WATER");
}

void sph_water_note_material(std::string_view name, std::string_view material_type) {
    if (!sph_contains_upper(material_type, "WATER")) return;
    sph_water.water_material_seen = true;
    sph_water.water_material_name = sph_fixed(name, sph_name_len);
}

int sph_water_set_eos(std::string_view eos_type, std::string_view material_name, double rho0, double c0,
                      double gamma, double p0, double b_value, bool has_b) {
    if (sph_is_blank(eos_type)) return sph_fail(sph_error_input, "Water EOS TYPE is required");
    if (!sph_contains_upper(eos_type, "TAIT")) return sph_fail(sph_error_input, "Water EOS TYPE must be TAIT");
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Water EOS MATERIAL is required");
    if (!(rho0 > 0.0) || !(c0 > 0.0) || !(gamma > 0.0) || !finite(rho0) || !finite(c0) || !finite(gamma) ||
        !finite(p0))
        return sph_fail(sph_error_argument, "Water Tait EOS parameters must be positive");
    // Finite values can still give an infinite stiffness (rho0 c0^2 / gamma), which would
    // turn every pressure into NaN: that is refused with the values that caused it.
    if (!has_b && !finite(rho0 * c0 * c0 / gamma))
        return sph_fail(sph_error_argument, "Water Tait EOS stiffness is not finite");
    SphWater& w = sph_water;
    w.water_material_seen = true;
    w.water_material_name = sph_fixed(material_name, sph_name_len);
    w.water_rho0 = rho0;
    w.water_c0 = c0;
    w.water_gamma = gamma;
    w.water_p0 = p0;
    if (has_b && (!(b_value > 0.0) || !finite(b_value)))
        return sph_fail(sph_error_argument, "Water Tait EOS B must be positive");
    w.water_b = has_b ? b_value : rho0 * c0 * c0 / gamma;
    w.water_eos_defined = true;
    return sph_success;
}

int sph_water_set_viscosity(std::string_view visc_type, std::string_view material_name, double alpha, double beta,
                            double eta2) {
    if (sph_is_blank(visc_type)) return sph_fail(sph_error_input, "Water viscosity TYPE is required");
    if (!sph_contains_upper(visc_type, "MONAGHAN"))
        return sph_fail(sph_error_input, "Water viscosity TYPE must be MONAGHAN");
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Water viscosity MATERIAL is required");
    if (!(alpha >= 0.0) || !(beta >= 0.0) || !(eta2 > 0.0) || !finite(alpha) || !finite(beta) || !finite(eta2))
        return sph_fail(sph_error_argument, "Water viscosity parameters are invalid");
    SphWater& w = sph_water;
    w.water_material_name = sph_fixed(material_name, sph_name_len);
    w.water_visc_alpha = alpha;
    w.water_visc_beta = beta;
    w.water_visc_eta2 = eta2;
    w.water_viscosity_defined = true;
    return sph_success;
}

int sph_water_set_particle_control(double h_value, double mass_value, double volume_value) {
    if (!(h_value > 0.0) || !(mass_value > 0.0) || !(volume_value > 0.0) || !finite(h_value) ||
        !finite(mass_value) || !finite(volume_value))
        return sph_fail(sph_error_argument, "Water particle control values must be positive");
    SphWater& w = sph_water;
    w.water_default_h = h_value;
    w.water_default_mass = mass_value;
    w.water_default_volume = volume_value;
    w.water_particle_control_defined = true;
    return sph_success;
}

int sph_water_set_body_force(const double force[3]) {
    if (!finite(force[0]) || !finite(force[1]) || !finite(force[2]))
        return sph_fail(sph_error_argument, "Water body force must be finite");
    SphWater& w = sph_water;
    for (int k = 0; k < 3; ++k) w.water_body_force[static_cast<std::size_t>(k)] = force[k];
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * i + k] = w.water_body_force[k];
    }
    return sph_success;
}

int sph_water_validate_input() {
    const SphWater& w = sph_water;
    if (!w.water_material_seen) return sph_success;
    if (!w.water_eos_defined) return sph_fail(sph_error_input, "input is missing *QUORREL EOS for Water");
    if (!w.water_viscosity_defined) return sph_fail(sph_error_input, "input is missing *QUORREL VISCOSITY for Water");
    if (!w.water_particle_control_defined)
        return sph_fail(sph_error_input, "input is missing *QUORREL PARTICLE CONTROL for Water");
    const int m = sph_db_find_material(w.water_material_name);
    if (m < 0 || !(sph_database.materials[static_cast<std::size_t>(m)].material_density > 0.0))
        return sph_fail(sph_error_input, "input is missing *DENSITY for Water material");
    return sph_success;
}

int sph_water_apply_initial_conditions() {
    const SphWater& w = sph_water;
    if (!w.water_material_seen) return sph_success;
    if (int st = sph_water_validate_input()) return st;
    SphDatabase& d = sph_database;
    for (int i = 0; i < d.npart; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (d.particle_status[u] != sph_status_active || !sph_water_is_material_particle(i)) continue;
        d.particle_phase[u] = sph_phase_water;
        d.rho[u] = w.water_rho0;
        d.pressure[u] = w.water_p0;
        d.mass[u] = w.water_default_mass;
        d.volume[u] = w.water_default_volume;
        d.h[u] = w.water_default_h;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * u + k] = w.water_body_force[k];
    }
    return sph_water_update_diagnostics();
}

int sph_water_tait_pressure(double rho_value, double& pressure_value) {
    pressure_value = 0.0;
    const SphWater& w = sph_water;
    if (!(rho_value > 0.0)) return sph_fail(sph_error_argument, "Water density must be positive");
    if (!(w.water_rho0 > 0.0) || !(w.water_gamma > 0.0))
        return sph_fail(sph_error_argument, "Water Tait EOS parameters are invalid");
    pressure_value = w.water_p0 + w.water_b * (std::pow(rho_value / w.water_rho0, w.water_gamma) - 1.0);
    // A large exponent overflows at a density near rho0 (the pressure keeps the value).
    if (!finite(pressure_value)) return sph_fail(sph_error_argument, "Water pressure is not finite");
    return sph_success;
}

int sph_water_sound_speed(double& c_value) {
    c_value = sph_water.water_c0;
    if (!(sph_water.water_c0 > 0.0)) return sph_fail(sph_error_argument, "Water sound speed must be positive");
    return sph_success;
}

int sph_water_update_pressure() {
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        if (int st = sph_water_tait_pressure(d.rho[i], d.pressure[i])) return st;
    }
    return sph_success;
}

namespace {

// The water phase's pair sums: active water with active water, Monaghan viscosity.
SphPairPhase water_pair_phase() {
    const SphWater& w = sph_water;
    SphPairPhase phase;
    phase.phase = sph_phase_water;
    phase.own_density_message = "Water density must be positive for pressure force";
    phase.neighbor_density_message = "Water neighbor density must be positive";
    phase.visc_alpha_c0 = w.water_visc_alpha * w.water_c0;
    phase.visc_beta = w.water_visc_beta;
    phase.visc_eta2 = w.water_visc_eta2;
    return phase;
}

void clear(std::vector<double>& values) { std::fill(values.begin(), values.end(), 0.0); }

// The density rate is cleared for every particle and the accelerations' parts too, so
// a later phase that reuses them finds only its own values there.
int water_pair_sums(SphPairTerms terms) {
    SphDatabase& d = sph_database;
    if (d.npart <= 0) return sph_success;
    if (terms.density_rate) clear(d.drho_dt);
    if (terms.pressure) clear(d.acc_pressure);
    if (terms.viscosity) clear(d.acc_viscosity);
    return sph_pair_pass_sum(water_pair_phase(), terms);
}

void set_water_acceleration(SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k)
            d.a[3 * i + k] = (d.acc_pressure[3 * i + k] + d.acc_viscosity[3 * i + k]) + d.acc_body[3 * i + k];
    }
}

}  // namespace

int sph_water_compute_density_rate() { return water_pair_sums({.density_rate = true}); }

int sph_water_compute_pressure_acceleration() { return water_pair_sums({.pressure = true}); }

int sph_water_compute_viscosity_acceleration() { return water_pair_sums({.viscosity = true}); }

int sph_water_compute_acceleration() {
    if (int st = water_pair_sums({.pressure = true, .viscosity = true})) return st;
    set_water_acceleration(sph_database);
    return sph_success;
}

int sph_water_compute_density_rate_and_acceleration() {
    if (int st = water_pair_sums({.density_rate = true, .pressure = true, .viscosity = true})) return st;
    set_water_acceleration(sph_database);
    return sph_success;
}

namespace {

int limit_rounds_to_zero(const char* limit) {
    return sph_fail(sph_error_argument, std::string("Water ") + limit + " step limit rounds to zero");
}

}  // namespace

int sph_water_estimate_dt_limits(double& dt_cfl_out, double& dt_accel_out, double& dt_viscous_out) {
    // Outputs are written only once the estimate succeeds; a failed one leaves them 0.
    dt_cfl_out = dt_accel_out = dt_viscous_out = 0.0;
    constexpr double big = std::numeric_limits<double>::max();
    double dt_cfl = big, dt_accel = big, dt_viscous = big;
    SphDatabase& d = sph_database;
    const SphWater& w = sph_water;
    const double c0 = w.water_c0;
    const double visc = c0 * (1.0 + w.water_visc_alpha + w.water_visc_beta);
    // Where c0 (1 + alpha + beta) overflows, h / c0 / (1 + alpha + beta) may still be
    // representable: it is taken with the sum halved and the factor 2 kept apart.
    const double half_visc_sum = 0.5 + 0.5 * w.water_visc_alpha + 0.5 * w.water_visc_beta;
    const bool visc_plain = visc <= big;
    // A limit of 0 would read as "no limit" (and drop the others with it): a limit that
    // rounds to zero fails the estimate instead.
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        const double h = d.h[i];
        if (!(c0 > 0.0) || !(h > 0.0)) return sph_fail(sph_error_argument, "invalid Water state for dt estimate");
        const double* vi = &d.v[3 * i];
        const double* ai = &d.a[3 * i];
        const double amag = sph_norm3(ai);
        const double cfl = sph_speed_step(h, c0, vi);
        if (cfl == 0.0) return limit_rounds_to_zero("CFL");
        dt_cfl = std::min(dt_cfl, cfl);
        if (amag > 0.0) {
            const double accel = sph_acceleration_step3(h, ai, amag);
            if (accel == 0.0) return limit_rounds_to_zero("acceleration");
            dt_accel = std::min(dt_accel, accel);
        }
        const double viscous = visc_plain ? h / visc : sph_scaled_quotient(h, c0, half_visc_sum, 1);
        if (viscous == 0.0) return limit_rounds_to_zero("viscous");
        dt_viscous = std::min(dt_viscous, viscous);
    }
    if (dt_cfl == big) dt_cfl = 0.0;
    if (dt_accel == big) dt_accel = dt_cfl;
    if (dt_viscous == big) dt_viscous = dt_cfl;
    d.water_dt_cfl = dt_cfl_out = dt_cfl;
    d.water_dt_accel = dt_accel_out = dt_accel;
    d.water_dt_viscous = dt_viscous_out = dt_viscous;
    return sph_success;
}

namespace {

int diagnostics_overflow(const char* quantity) {
    return sph_fail(sph_error_argument, std::string("Water diagnostics overflow: ") + quantity + " is not finite");
}

// After the plain sums of a refresh: a total mass that overflowed is not representable; a
// momentum that did is summed again where opposite terms cancel, and fails only when the
// total itself is out of range.
int water_totals_in_range() {
    SphDatabase& d = sph_database;
    if (!std::isfinite(d.water_mass)) return diagnostics_overflow("total mass");
    if (std::isfinite(d.water_momentum[0]) && std::isfinite(d.water_momentum[1]) && std::isfinite(d.water_momentum[2]))
        return sph_success;
    double momentum[3];
    sph_scaled_momentum(static_cast<std::size_t>(d.npart), d.mass.data(), d.v.data(),
                        [](std::size_t i) { return active_water(sph_database, i); }, momentum);
    for (std::size_t k = 0; k < 3; ++k) {
        if (!std::isfinite(d.water_momentum[k])) d.water_momentum[k] = momentum[k];
        if (!std::isfinite(d.water_momentum[k])) return diagnostics_overflow("total momentum");
    }
    return sph_success;
}

}  // namespace

int sph_water_update_diagnostics() {
    sph_db_clear_water_diagnostics();
    SphDatabase& d = sph_database;
    bool first = true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        const double m = d.mass[i];
        d.water_particle_count += 1;
        d.water_mass += m;
        for (std::size_t k = 0; k < 3; ++k) d.water_momentum[k] += m * d.v[3 * i + k];
        if (first) {
            d.water_max_pressure = d.pressure[i];
            d.water_min_density = d.water_max_density = d.rho[i];
            first = false;
        } else {
            d.water_max_pressure = std::max(d.water_max_pressure, d.pressure[i]);
            d.water_min_density = std::min(d.water_min_density, d.rho[i]);
            d.water_max_density = std::max(d.water_max_density, d.rho[i]);
        }
    }
    return water_totals_in_range();
}

int sph_water_get_summary(double& mass_out, double momentum_out[3], double& max_pressure_out,
                          double& min_density_out, double& max_density_out) {
    if (int st = sph_water_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    mass_out = d.water_mass;
    for (std::size_t k = 0; k < 3; ++k) momentum_out[k] = d.water_momentum[k];
    max_pressure_out = d.water_max_pressure;
    min_density_out = d.water_min_density;
    max_density_out = d.water_max_density;
    return sph_success;
}

}  // namespace quorrel
