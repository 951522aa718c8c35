// Predicates and lookups shared by the explosive state and the burn.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorrel {

// `i` is a 0-based particle index, `mat_number` and `product` 1-based material numbers.
bool sph_explosive_is_active_particle(int i);
// The per-particle arrays exist at this model's size.
bool sph_explosive_state_present();
bool sph_explosive_is_tracked_particle(int i);
bool sph_explosive_is_active_gas_target(int i, int32_t product);
int32_t sph_explosive_count_active_gas(int32_t product);
bool sph_explosive_has_active_particle_for_id(int32_t mat_number);
bool sph_explosive_has_ignition_for_material(int32_t mat_number);
bool sph_explosive_has_section_binding_for_id(int32_t mat_number);
int32_t sph_explosive_find_material(std::string_view name);
// Table slot (0-based) of that material, -1 when none.
int sph_explosive_table_index_by_material_id(int32_t mat_number);
int32_t sph_explosive_conversion_id(std::string_view conversion_name);
[[nodiscard]] int sph_explosive_validate_product_gas(int32_t product);

}  // namespace quorrel
