#include "explosive/sph_explosive_helpers.h"

#include <algorithm>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"

namespace quorrel {

namespace {

bool in_range(int i) { return i >= 0 && i < sph_database.npart; }

const SphMaterialRecord* material_record(int32_t mat_number) {
    const auto& mats = sph_database.materials;
    if (mat_number < 1 || mat_number > static_cast<int32_t>(mats.size())) return nullptr;
    return &mats[static_cast<std::size_t>(mat_number - 1)];
}

}  // namespace

bool sph_explosive_is_active_particle(int i) {
    const SphDatabase& d = sph_database;
    if (!in_range(i)) return false;
    const std::size_t u = static_cast<std::size_t>(i);
    return d.particle_phase[u] == sph_phase_explosive && d.particle_status[u] == sph_status_active;
}

bool sph_explosive_state_present() {
    const SphExplosiveState& s = sph_explosive_state;
    const int32_t npart = sph_database.npart;
    if (npart <= 0) return false;
    const std::size_t n = static_cast<std::size_t>(npart);
    return s.explosive_ignition_status.size() == n && s.explosive_detonation_time.size() == n &&
           s.explosive_reaction_progress.size() == n && s.explosive_initial_material_id.size() == n &&
           s.explosive_initial_mass.size() == n && s.explosive_remaining_mass.size() == n &&
           s.explosive_released_mass.size() == n && s.explosive_released_energy.size() == n &&
           s.explosive_released_momentum.size() == 3 * n;
}

bool sph_explosive_is_tracked_particle(int i) {
    if (!in_range(i) || !sph_explosive_state_present()) return false;
    const SphExplosiveState& s = sph_explosive_state;
    const std::size_t u = static_cast<std::size_t>(i);
    return s.explosive_ignition_status[u] == 1 || s.explosive_reaction_progress[u] > 0.0;
}

bool sph_explosive_is_active_gas_target(int i, int32_t product) {
    const SphDatabase& d = sph_database;
    if (!in_range(i)) return false;
    const std::size_t u = static_cast<std::size_t>(i);
    return d.particle_phase[u] == sph_phase_gas && d.particle_status[u] == sph_status_active &&
           d.material_id[u] == product;
}

int32_t sph_explosive_count_active_gas(int32_t product) {
    int32_t count = 0;
    for (int i = 0; i < sph_database.npart; ++i)
        if (sph_explosive_is_active_gas_target(i, product)) ++count;
    return count;
}

bool sph_explosive_has_active_particle_for_id(int32_t mat_number) {
    const SphDatabase& d = sph_database;
    for (int i = 0; i < d.npart; ++i)
        if (d.material_id[static_cast<std::size_t>(i)] == mat_number && sph_explosive_is_active_particle(i)) return true;
    return false;
}

bool sph_explosive_has_ignition_for_material(int32_t mat_number) {
    const SphExplosiveState& s = sph_explosive_state;
    for (int k = 0; k < s.explosive_ignition_count; ++k)
        if (s.explosive_ignitions[static_cast<std::size_t>(k)].explosive_ignition_material_id == mat_number) return true;
    return false;
}

bool sph_explosive_has_section_binding_for_id(int32_t mat_number) {
    const auto& sections = sph_database.sections;
    return std::any_of(sections.begin(), sections.end(),
                       [mat_number](const SphSectionRecord& r) { return r.section_material_id == mat_number; });
}

int32_t sph_explosive_find_material(std::string_view name) { return sph_db_find_material(name) + 1; }

int sph_explosive_table_index_by_material_id(int32_t mat_number) {
    const SphExplosiveState& s = sph_explosive_state;
    for (int k = 0; k < s.explosive_material_count; ++k)
        if (s.explosive_materials[static_cast<std::size_t>(k)].explosive_material_id == mat_number) return k;
    return -1;
}

int32_t sph_explosive_conversion_id(std::string_view conversion_name) {
    const std::string_view text = conversion_name.substr(0, std::min(conversion_name.size(), sph_name_len));
    if (sph_contains_upper(text, "PHASE")) return explosive_conversion_phase;
    if (sph_is_blank(text)) return explosive_conversion_phase;
    if (sph_contains_upper(text, "SOURCE")) return explosive_conversion_source;
    return explosive_conversion_none;
}

int sph_explosive_validate_product_gas(int32_t product) {
    const SphMaterialRecord* rec = material_record(product);
    if (rec == nullptr) return sph_fail(sph_error_input, "Explosive product material is unknown");
    if (!sph_contains_upper(rec->material_type, "GAS"))
        return sph_fail(sph_error_input, "Explosive product material must be Gas");
    const int slot = sph_gas_table_index_by_material_id(product);
    if (slot < 0 || !sph_gas.gas_materials[static_cast<std::size_t>(slot)].gas_material_eos_defined)
        return sph_fail(sph_error_input, "Explosive product Gas material has no EOS");
    return sph_success;
}

}  // namespace quorrel
