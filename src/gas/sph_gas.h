// The gas phase: a table of up to 32 gas materials, each with its equation of state
// (ideal, JWL or stiffened) and the initial state of its particles; the per-step
// pressure, density rate and pressure-force accelerations (no viscosity), the step
// limits, the diagnostics with the bubble metrics, and the per-particle sources.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorrel {

inline constexpr int32_t gas_eos_none = 0;
inline constexpr int32_t gas_eos_ideal = 1;
inline constexpr int32_t gas_eos_jwl = 2;
inline constexpr int32_t gas_eos_stiffened = 3;
inline constexpr int32_t sph_gas_max_materials = 32;

// One slot of the gas material table (the values shown are a cleared slot's).
struct SphGasMaterial {
    int32_t gas_material_ids = 0;  // database material number (1-based): the slot's key
    std::string gas_material_names;
    bool gas_material_eos_defined = false;
    int32_t gas_material_eos_type = gas_eos_none;
    double gas_material_density_default = 0.0;
    double gas_material_energy_default = 0.0;
    double gas_material_temperature_default = 293.15;
    double gas_material_rho0 = 1.0;
    double gas_material_gamma = 1.4;
    double gas_material_p0 = 0.0;
    double gas_material_jwl_a = 0.0, gas_material_jwl_b = 0.0;
    double gas_material_jwl_r1 = 0.0, gas_material_jwl_r2 = 0.0, gas_material_jwl_omega = 0.0;
    double gas_material_pinf = 0.0;
    double gas_material_default_h = 1.0, gas_material_default_mass = 1.0, gas_material_default_volume = 1.0;
};

struct SphGas {
    // Card-level settings: the last accepted card's values, and the defaults of slots
    // registered later.
    bool gas_material_seen = false;
    bool gas_eos_defined = false;
    int32_t gas_eos_type = gas_eos_none;
    std::string gas_material_name = "GAS";
    int32_t gas_material_internal_id = 0;  // database material number of that name, 0 when unknown
    double gas_rho0 = 1.0;
    double gas_gamma = 1.4;
    double gas_e0 = 0.0;
    double gas_p0 = 0.0;
    double gas_jwl_a = 0.0, gas_jwl_b = 0.0, gas_jwl_r1 = 0.0, gas_jwl_r2 = 0.0, gas_jwl_omega = 0.0;
    double gas_pinf = 0.0;
    double gas_default_h = 1.0, gas_default_mass = 1.0, gas_default_volume = 1.0;
    bool gas_particle_control_defined = false;
    std::array<double, 3> gas_body_force{0.0, 0.0, 0.0};
    // The diagnostics hold a previous radius and centre.
    bool gas_bubble_history_valid = false;
    bool gas_module_initialized = false;

    int32_t gas_material_count = 0;
    std::array<SphGasMaterial, sph_gas_max_materials> gas_materials{};
};
extern SphGas sph_gas;

// ---- Lifecycle ----
void sph_gas_initialize();
void sph_gas_reset();
// A new deck starts from the default settings and an empty table; the module stays
// initialised.
void sph_gas_reset_deck_settings();
void sph_gas_clear_material_table();

// ---- Predicates and lookups (`i` a 0-based particle index; `mat_number` 1-based) ----
bool sph_gas_is_active_particle(int i);
bool sph_gas_is_material_particle(int i);
// Database material number of the first material of that name, 0 when none.
int32_t sph_gas_find_material(std::string_view name);
double sph_gas_material_density(std::string_view name);
// Table slot (0-based) of that material, -1 when none.
int sph_gas_table_index_by_material_id(int32_t mat_number);
bool sph_gas_has_section_binding_for_id(int32_t mat_number);

// ---- Deck-time setters ----
void sph_gas_note_material(std::string_view name, std::string_view material_type);
[[nodiscard]] int sph_gas_set_eos(std::string_view eos_type, std::string_view material_name, double rho0,
                                  double gamma, double e0, double p0, double a_value, double b_value, double r1,
                                  double r2, double omega, double pinf);
[[nodiscard]] int sph_gas_set_ideal(std::string_view material_name, double gamma, double e0, double p0);
[[nodiscard]] int sph_gas_set_jwl(std::string_view material_name, double rho0, double a_value, double b_value,
                                  double r1, double r2, double omega, double e0);
[[nodiscard]] int sph_gas_set_stiffened(std::string_view material_name, double rho0, double gamma, double e0,
                                        double pinf);
[[nodiscard]] int sph_gas_set_particle_control(double h_value, double mass_value, double volume_value);
[[nodiscard]] int sph_gas_set_body_force(const double force[3]);

// ---- Build time ----
[[nodiscard]] int sph_gas_validate_input();
[[nodiscard]] int sph_gas_apply_initial_conditions();
int32_t sph_gas_count_unbound_materials();
// The equation of state of the slot of database material `mat_number`.
[[nodiscard]] int sph_gas_compute_pressure_for_material(int32_t mat_number, double rho, double energy,
                                                        double& pressure);
// Restart support: a table rebuilt from the first active gas particle and the card-level
// settings, for files that carry no table.
[[nodiscard]] int sph_gas_rebuild_legacy_restart_state();

// ---- Per step ----
[[nodiscard]] int sph_gas_update_pressure();
[[nodiscard]] int sph_gas_compute_density_rate();
[[nodiscard]] int sph_gas_compute_pressure_acceleration();
[[nodiscard]] int sph_gas_compute_acceleration();
// The density-rate pass and the acceleration pass in one pass over each neighbour list,
// with the same results.
[[nodiscard]] int sph_gas_compute_density_rate_and_acceleration();
double sph_gas_sound_speed(int i);
[[nodiscard]] int sph_gas_estimate_dt_limits(double& dt_cfl, double& dt_accel, double& dt_limit);
[[nodiscard]] int sph_gas_update_diagnostics();

// ---- Summaries ----
[[nodiscard]] int sph_gas_get_summary(double& volume_out, double center_out[3], double& mean_pressure_out,
                                      double& max_pressure_out);
[[nodiscard]] int sph_gas_get_extended_summary(double& mass_out, double momentum_out[3], double density_range_out[2],
                                               double dt_limits_out[3]);
void sph_gas_get_bubble_metrics(double& equivalent_radius_out, double& radius_rate_out, double center_out[3]);

// ---- Sources (forwarded to the gas source module) ----
[[nodiscard]] int sph_gas_apply_sources_explicit(double dt);
[[nodiscard]] int sph_gas_add_source_by_particle(int32_t index, double mass_rate, const double momentum_rate[3],
                                                 double energy_rate);
[[nodiscard]] int sph_gas_clear_sources();
[[nodiscard]] int sph_gas_allocate_sources();
[[nodiscard]] int sph_gas_get_source_summary(double& mass_source, double momentum_source[3], double& energy_source);

}  // namespace quorrel
