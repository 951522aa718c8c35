// The solid material table: one slot per material whose type names it a solid, with its
// elastic, Johnson-Cook, failure and softening data; the deck setters, the build of the
// solid state at model build, the per-particle material update and the failure marking.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "material/sph_material_params.h"
#include "solid/sph_solid_material.h"
#include "solid/sph_solid_state.h"

namespace quorrel {

// One slot (the values shown are a cleared slot's).
struct SphSolidMaterial {
    int32_t solid_material_ids = 0;  // database material number (1-based)
    std::string solid_material_names;
    SphMaterialParams params;
};

struct SphSolid {
    bool solid_module_initialized = false;
    bool solid_material_seen = false;
    int32_t solid_material_count = 0;
    std::array<SphSolidMaterial, sph_solid_max_materials> solid_materials{};
};
extern SphSolid sph_solid;

// ---- Lifecycle ----
void sph_solid_initialize();
void sph_solid_reset();
// A new deck: table, derived values, body force and per-particle state cleared; the module
// stays initialised.
void sph_solid_reset_deck_settings();
void sph_solid_clear_material_table();

// ---- Lookups (slots 0-based, -1 none; `mat_number` 1-based) ----
std::string sph_solid_upper(std::string_view text);
// Every value within half the largest double (sph_within_half_max).
bool sph_solid_vector_is_finite(const double* values, std::size_t count);
int32_t sph_solid_find_material(std::string_view name);
int sph_solid_find_solid_material(std::string_view name);
int sph_solid_table_index_by_material_id(int32_t mat_number);
bool sph_solid_has_active_particle(int32_t mat_number);
int sph_solid_register_material(std::string_view name);
[[nodiscard]] int sph_solid_prepare_material(std::string_view name, int& solid_index);

// ---- Deck setters ----
void sph_solid_note_material(std::string_view name, std::string_view material_type_in);
[[nodiscard]] int sph_solid_set_elastic(std::string_view material_name_in, double e_value, double nu_value);
[[nodiscard]] int sph_solid_set_johnson_cook(std::string_view material_name_in, double a_value, double b_value,
                                             double n_value, double c_value, double m_value, double epsdot0_value,
                                             double troom_value, double tmelt_value);
[[nodiscard]] int sph_solid_set_failure(std::string_view material_name_in, const double d_values[5]);
[[nodiscard]] int sph_solid_set_control(std::string_view material_name_in, std::string_view softening_name,
                                        double softening_width_value);

// ---- Build ----
[[nodiscard]] int sph_solid_build_state();
[[nodiscard]] int sph_solid_validate_input();
[[nodiscard]] int sph_solid_validate_particle_sections();
[[nodiscard]] int sph_solid_update_material_state();
[[nodiscard]] int sph_solid_allocate_state();
void sph_solid_deallocate_state();
void sph_solid_clear_particle_state();
[[nodiscard]] int sph_solid_initialize_particle_state();
int32_t sph_solid_count_unbound_materials();

// ---- Per step (`index` 0-based) ----
[[nodiscard]] int sph_solid_update_particle_material(int32_t index, const SphSymTensor& strain_inc, double dt);
[[nodiscard]] int sph_solid_mark_particle_failed(int32_t index);

}  // namespace quorrel
