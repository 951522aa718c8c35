// The explosive state: the material table with each material's programmed-burn control,
// the ignition records, the per-particle burn state and the release totals; the control
// and ignition cards; the validation, allocation, initial conditions and detonation times
// of the model build. The burn itself is sph_explosive.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {

inline constexpr int32_t explosive_conversion_none = 0;
inline constexpr int32_t explosive_conversion_phase = 1;   // the fully reacted particle becomes product gas
inline constexpr int32_t explosive_conversion_source = 2;  // releases feed product gas particles as sources
inline constexpr int32_t sph_explosive_max_materials = 32;
inline constexpr int32_t sph_explosive_max_ignitions = 32;

// One slot of the explosive material table (the values shown are a cleared slot's).
struct SphExplosiveMaterial {
    int32_t explosive_material_id = 0;  // database material number (1-based): the slot's key
    std::string explosive_material_name;
    double explosive_density0 = 0.0;
    bool explosive_control_defined = false;
    int32_t explosive_product_material_id = 0;
    std::string explosive_product_material_name;
    double explosive_detonation_velocity = 0.0;
    double explosive_energy_per_mass = 0.0;
    double explosive_burn_time = 0.0;
    int32_t explosive_conversion_mode = explosive_conversion_none;
};

struct SphExplosiveIgnition {
    int32_t explosive_ignition_material_id = 0;  // database material number
    std::array<double, 3> explosive_ignition_x{0.0, 0.0, 0.0};
    double explosive_ignition_time = 0.0;
};

struct SphExplosiveState {
    bool explosive_material_seen = false;
    bool explosive_module_initialized = false;

    int32_t explosive_material_count = 0;
    std::array<SphExplosiveMaterial, sph_explosive_max_materials> explosive_materials{};
    int32_t explosive_ignition_count = 0;
    std::array<SphExplosiveIgnition, sph_explosive_max_ignitions> explosive_ignitions{};

    // Per-particle state: present only when sized npart (momentum 3 per particle).
    std::vector<int32_t> explosive_ignition_status;  // 1 once a detonation time was assigned
    std::vector<double> explosive_detonation_time;
    std::vector<double> explosive_reaction_progress;  // lambda, 0..1, never decreasing
    std::vector<int32_t> explosive_initial_material_id;
    std::vector<double> explosive_initial_mass;
    std::vector<double> explosive_remaining_mass;
    std::vector<double> explosive_released_mass;
    std::vector<double> explosive_released_energy;
    std::vector<double> explosive_released_momentum;

    // Release totals.
    std::array<double, 4> explosive_release_mass_balance{};    // initial, released, remaining, error
    std::array<double, 2> explosive_release_energy_balance{};  // released, released - expected
    std::array<double, 3> explosive_release_momentum_balance{};
    int32_t explosive_converted_count = 0;
    int32_t explosive_source_target_count = 0;
    double explosive_source_mass_total = 0.0;
    double explosive_source_energy_total = 0.0;
    std::array<double, 3> explosive_source_momentum_total{};
    double explosive_dt_reaction = 0.0;
};
extern SphExplosiveState sph_explosive_state;

// ---- Lifecycle ----
// Both free the per-particle arrays: a later model must never read the earlier one's burn.
void sph_explosive_initialize();
void sph_explosive_reset();
void sph_explosive_finalize();
// A new deck: an empty table and no per-particle state; the module stays initialised.
void sph_explosive_reset_deck_settings();
// Table, ignition records, totals and the seen flag back to empty; the arrays stay.
void sph_explosive_clear_material_table();

// ---- Deck-time setters ----
void sph_explosive_note_material(std::string_view name, std::string_view material_type);
[[nodiscard]] int sph_explosive_set_control(std::string_view material_name, std::string_view model_type,
                                            double detonation_velocity, double energy_per_mass, double burn_time,
                                            std::string_view product_material_name, std::string_view conversion_name);
[[nodiscard]] int sph_explosive_set_ignition(std::string_view material_name, const double ignition_x[3],
                                             double ignition_time);

// ---- Build ----
[[nodiscard]] int sph_explosive_build();
[[nodiscard]] int sph_explosive_validate_input();
[[nodiscard]] int sph_explosive_allocate_state();
void sph_explosive_deallocate_state();
void sph_explosive_clear_particle_state();
[[nodiscard]] int sph_explosive_apply_initial_conditions();
[[nodiscard]] int sph_explosive_compute_detonation_times();
int32_t sph_explosive_count_unbound_materials();

}  // namespace quorrel
