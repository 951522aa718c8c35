// Weakly compressible water: Tait equation of state, Monaghan artificial viscosity.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace quorrel {

struct SphWater {
    double water_rho0 = 1000.0;
    double water_c0 = 1480.0;
    double water_gamma = 7.0;
    double water_p0 = 0.0;
    double water_b = 1000.0 * 1480.0 * 1480.0 / 7.0;
    double water_visc_alpha = 0.1;
    double water_visc_beta = 0.0;
    double water_visc_eta2 = 0.01;
    double water_default_h = 1.0;
    double water_default_mass = 1.0;
    double water_default_volume = 1.0;
    std::array<double, 3> water_body_force{0.0, 0.0, 0.0};
    std::string water_material_name = "WATER";
    bool water_material_seen = false;
    bool water_eos_defined = false;
    bool water_viscosity_defined = false;
    bool water_particle_control_defined = false;
    bool water_module_initialized = false;
};
extern SphWater sph_water;

void sph_water_initialize();
void sph_water_reset();
void sph_water_reset_state();
// A new deck starts from the default settings; the module stays initialised.
void sph_water_reset_deck_settings();

// Deck-time setters.
void sph_water_note_material(std::string_view name, std::string_view material_type);
[[nodiscard]] int sph_water_set_eos(std::string_view eos_type, std::string_view material_name, double rho0,
                                    double c0, double gamma, double p0, double b_value, bool has_b);
[[nodiscard]] int sph_water_set_viscosity(std::string_view visc_type, std::string_view material_name,
                                          double alpha, double beta, double eta2);
[[nodiscard]] int sph_water_set_particle_control(double h_value, double mass_value, double volume_value);
[[nodiscard]] int sph_water_set_body_force(const double force[3]);

// Build time.
[[nodiscard]] int sph_water_validate_input();
[[nodiscard]] int sph_water_apply_initial_conditions();

// Per step.
[[nodiscard]] int sph_water_update_pressure();
[[nodiscard]] int sph_water_compute_density_rate();
[[nodiscard]] int sph_water_compute_pressure_acceleration();
[[nodiscard]] int sph_water_compute_viscosity_acceleration();
[[nodiscard]] int sph_water_compute_acceleration();
// The density-rate pass followed by the acceleration pass, done in one pass over each
// neighbour list with the same results.
[[nodiscard]] int sph_water_compute_density_rate_and_acceleration();
[[nodiscard]] int sph_water_estimate_dt_limits(double& dt_cfl, double& dt_accel, double& dt_viscous);
[[nodiscard]] int sph_water_update_diagnostics();

// Queries. `i` is a 0-based particle index.
[[nodiscard]] int sph_water_get_summary(double& mass_out, double momentum_out[3], double& max_pressure_out,
                                        double& min_density_out, double& max_density_out);
[[nodiscard]] int sph_water_sound_speed(double& c_value);
[[nodiscard]] int sph_water_tait_pressure(double rho_value, double& pressure_value);
bool sph_water_is_active_particle(int i);
bool sph_water_is_material_particle(int i);

}  // namespace quorrel
