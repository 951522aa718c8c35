#include "solid/sph_solid.h"

#include <algorithm>
#include <exception>
#include <type_traits>

#include "core/sph_error.h"
#include "core/sph_table.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "solid/sph_solid_arrays.h"
#include "solid/sph_solid_dynamics.h"

namespace quorrel {

SphSolid sph_solid;

namespace {

const SphMaterialRecord* material_record(int32_t mat_number) {
    const auto& mats = sph_database.materials;
    if (mat_number < 1 || mat_number > static_cast<int32_t>(mats.size())) return nullptr;
    return &mats[static_cast<std::size_t>(mat_number - 1)];
}

inline bool active_solid(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_solid && d.particle_status[i] == sph_status_active;
}

SphSolidMaterial& slot(int k) { return sph_solid.solid_materials[static_cast<std::size_t>(k)]; }

void set_identity(std::vector<double>& matrices, std::size_t particle) {
    double* m = &matrices[9 * particle];
    std::fill(m, m + 9, 0.0);
    m[0] = m[4] = m[8] = 1.0;  // column by column: (1,1), (2,2), (3,3)
}

int prepare_params(std::string_view name, SphMaterialParams*& params) {
    int k = -1;
    if (int st = sph_solid_prepare_material(name, k)) return st;
    params = &slot(k).params;
    return sph_success;
}

constexpr SphMaterialParamsPhase solid_params{"Solid", prepare_params};

}  // namespace

// ---- Lifecycle ----

void sph_solid_clear_material_table() {
    SphSolid& s = sph_solid;
    s.solid_material_seen = false;
    sph_clear_used_slots(s.solid_materials, s.solid_material_count);
    s.solid_material_count = 0;
    SphSolidState& st = sph_solid_state;
    for (auto* derived : {&st.solid_density, &st.solid_shear_modulus, &st.solid_bulk_modulus, &st.solid_wave_speed,
                          &st.solid_temperature_rise_factor})
        derived->fill(0.0);
    st.solid_body_force = {0.0, 0.0, 0.0};
}

// Initialise frees the per-particle state as well: a later model must never read the
// earlier one's.
void sph_solid_initialize() {
    sph_solid.solid_module_initialized = true;
    sph_solid_clear_material_table();
    sph_solid_deallocate_state();
}

void sph_solid_reset() {
    sph_solid.solid_module_initialized = false;
    sph_solid_clear_material_table();
    sph_solid_deallocate_state();
}

void sph_solid_reset_deck_settings() {
    sph_solid_clear_material_table();
    sph_solid_deallocate_state();
}

// ---- Lookups ----

std::string sph_solid_upper(std::string_view text) { return sph_upper(text); }

bool sph_solid_vector_is_finite(const double* values, std::size_t count) {
    return std::all_of(values, values + count, sph_within_half_max);
}

int32_t sph_solid_find_material(std::string_view name) { return sph_db_find_material(name) + 1; }

int sph_solid_find_solid_material(std::string_view name) {
    for (int k = 0; k < sph_solid.solid_material_count; ++k)
        if (sph_db_name_equal(slot(k).solid_material_names, name)) return k;
    return -1;
}

int sph_solid_table_index_by_material_id(int32_t mat_number) {
    for (int k = 0; k < sph_solid.solid_material_count; ++k)
        if (slot(k).solid_material_ids == mat_number) return k;
    return -1;
}

bool sph_solid_has_active_particle(int32_t mat_number) {
    if (mat_number <= 0) return false;
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
        if (d.material_id[i] == mat_number && active_solid(d, i)) return true;
    return false;
}

int sph_solid_register_material(std::string_view name) {
    if (int k = sph_solid_find_solid_material(name); k >= 0) return k;
    SphSolid& s = sph_solid;
    if (s.solid_material_count >= sph_solid_max_materials) return -1;
    const int32_t m = sph_solid_find_material(name);
    if (m <= 0) return -1;
    const int k = s.solid_material_count++;
    slot(k) = SphSolidMaterial{};
    slot(k).solid_material_ids = m;
    slot(k).solid_material_names = material_record(m)->material_name;
    return k;
}

int sph_solid_prepare_material(std::string_view name, int& solid_index) {
    solid_index = sph_solid_find_solid_material(name);
    if (solid_index >= 0) return sph_success;
    const int32_t m = sph_solid_find_material(name);
    if (m <= 0) return sph_fail(sph_error_input, "Solid material is unknown");
    if (!sph_contains_upper(material_record(m)->material_type, "SOLID"))
        return sph_fail(sph_error_input, "Solid data references non-Solid material");
    solid_index = sph_solid_register_material(name);
    if (solid_index < 0) return sph_fail(sph_error_input, "failed to register Solid material");
    return sph_success;
}

// ---- Deck setters ----

void sph_solid_note_material(std::string_view name, std::string_view material_type_in) {
    if (!sph_contains_upper(material_type_in, "SOLID")) return;
    sph_solid.solid_material_seen = true;
    (void)sph_solid_register_material(name);  // a full table is ignored here
}

int sph_solid_set_elastic(std::string_view material_name_in, double e_value, double nu_value) {
    return sph_material_params_set_elastic(solid_params, material_name_in, e_value, nu_value);
}

int sph_solid_set_johnson_cook(std::string_view material_name_in, double a_value, double b_value, double n_value,
                               double c_value, double m_value, double epsdot0_value, double troom_value,
                               double tmelt_value) {
    const double values[8] = {a_value, b_value, n_value, c_value, m_value, epsdot0_value, troom_value, tmelt_value};
    return sph_material_params_set_johnson_cook(solid_params, material_name_in, values);
}

int sph_solid_set_failure(std::string_view material_name_in, const double d_values[5]) {
    return sph_material_params_set_failure(solid_params, material_name_in, d_values);
}

int sph_solid_set_control(std::string_view material_name_in, std::string_view softening_name,
                          double softening_width_value) {
    return sph_material_params_set_control(solid_params, material_name_in, softening_name, softening_width_value);
}

// ---- Build ----

int sph_solid_validate_input() {
    for (int k = 0; k < sph_solid.solid_material_count; ++k) {
        const SphSolidMaterial& s = slot(k);
        // A material without active particles needs no density and no elastic data.
        if (!sph_solid_has_active_particle(s.solid_material_ids)) continue;
        const SphMaterialRecord* rec = material_record(s.solid_material_ids);
        if (int st = sph_material_params_check_active(solid_params, s.params, rec ? rec->material_density : 0.0))
            return st;
    }
    return sph_success;
}

int sph_solid_validate_particle_sections() {
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_solid(d, i)) continue;
        const int32_t section = d.section_id[i];
        if (section < 1 || section > static_cast<int32_t>(d.sections.size()))
            return sph_fail(sph_error_input, "active Solid particle is missing Solid section");
        const SphSectionRecord& rec = d.sections[static_cast<std::size_t>(section - 1)];
        if (!sph_contains_upper(rec.section_type, "SOLID"))
            return sph_fail(sph_error_input, "active Solid particle is not bound to Solid section");
        if (rec.section_material_id != d.material_id[i])
            return sph_fail(sph_error_input, "active Solid particle section material mismatch");
    }
    return sph_success;
}

int sph_solid_update_material_state() {
    SphSolidState& st = sph_solid_state;
    for (auto* derived : {&st.solid_density, &st.solid_shear_modulus, &st.solid_bulk_modulus, &st.solid_wave_speed,
                          &st.solid_temperature_rise_factor})
        derived->fill(0.0);
    for (int k = 0; k < sph_solid.solid_material_count; ++k) {
        const SphSolidMaterial& s = slot(k);
        const SphMaterialRecord* rec = material_record(s.solid_material_ids);
        if (rec == nullptr) return sph_fail(sph_error_input, "Solid material table is invalid");
        const std::size_t u = static_cast<std::size_t>(k);
        st.solid_density[u] = rec->material_density;
        if (s.params.elastic_defined && st.solid_density[u] > 0.0)
            if (int e = sph_solid_elastic_constants(s.params.elastic_e, s.params.elastic_nu, st.solid_density[u],
                                                    st.solid_shear_modulus[u], st.solid_bulk_modulus[u],
                                                    st.solid_wave_speed[u]))
                return e;
    }
    return sph_success;
}

int sph_solid_allocate_state() {
    const int32_t npart = sph_database.npart;
    if (npart < 1) {
        sph_solid_deallocate_state();
        return sph_success;
    }
    const std::size_t n = static_cast<std::size_t>(npart);
    SphSolidState& st = sph_solid_state;
    if (st.solid_stress.size() == 6 * n && sph_solid_state_present()) return sph_success;
    sph_solid_deallocate_state();
    try {
        sph_solid_for_each_array(st, [n](auto& values, std::size_t components) { values.assign(components * n, {}); });
    } catch (const std::exception&) {
        sph_solid_deallocate_state();
        return sph_fail(sph_error_input, "failed to allocate Solid state");
    }
    return sph_success;
}

void sph_solid_deallocate_state() {
    sph_solid_release_pairs();
    sph_solid_for_each_array(sph_solid_state, [](auto& values, std::size_t) {
        using Vector = std::remove_reference_t<decltype(values)>;
        Vector().swap(values);
    });
}

void sph_solid_clear_particle_state() {
    sph_solid_invalidate_pairs();
    sph_solid_for_each_array(sph_solid_state,
                             [](auto& values, std::size_t) { std::fill(values.begin(), values.end(), 0); });
}

int sph_solid_initialize_particle_state() {
    SphDatabase& d = sph_database;
    SphSolidState& st = sph_solid_state;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_solid(d, i)) continue;
        const int k = sph_solid_table_index_by_material_id(d.material_id[i]);
        if (k < 0) return sph_fail(sph_error_input, "active Solid particle has no Solid material state");
        d.rho[i] = st.solid_density[static_cast<std::size_t>(k)];
        st.solid_temperature[i] = d.temperature[i];
        st.solid_internal_energy[i] = d.internal_energy[i];
        st.solid_softening[i] = 1.0;
        set_identity(st.solid_deformation_gradient, i);
        set_identity(st.solid_correction_matrix, i);
    }
    return sph_success;
}

int sph_solid_build_state() {
    if (!sph_solid.solid_material_seen) {
        sph_solid_deallocate_state();
        return sph_success;
    }
    if (int st = sph_solid_validate_input()) return st;
    if (int st = sph_solid_validate_particle_sections()) return st;
    if (int st = sph_solid_update_material_state()) return st;
    if (int st = sph_solid_allocate_state()) return st;
    sph_solid_clear_particle_state();
    return sph_solid_initialize_particle_state();
}

int32_t sph_solid_count_unbound_materials() {
    int32_t count = 0;
    for (int k = 0; k < sph_solid.solid_material_count; ++k)
        if (!sph_solid_has_active_particle(slot(k).solid_material_ids)) ++count;
    return count;
}

// ---- Per step ----

int sph_solid_update_particle_material(int32_t index, const SphSymTensor& strain_inc, double dt) {
    SphDatabase& d = sph_database;
    SphSolidState& st = sph_solid_state;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "Solid particle index is out of range");
    if (!sph_solid_state_present()) return sph_fail(sph_error_input, "Solid state is not allocated");
    const std::size_t i = static_cast<std::size_t>(index);
    if (!active_solid(d, i)) return sph_success;  // failed, not solid or not active
    sph_solid_invalidate_forces();  // the stored stress and softening change below
    const int k = sph_solid_table_index_by_material_id(d.material_id[i]);
    if (k < 0) return sph_fail(sph_error_input, "Solid particle material has no state");
    const SphSolidMaterial& mat = slot(k);
    const std::size_t u = static_cast<std::size_t>(k);
    const double shear = st.solid_shear_modulus[u], bulk = st.solid_bulk_modulus[u];

    SphSymTensor stress_old{};
    std::copy_n(&st.solid_stress[6 * i], 6, stress_old.begin());
    const double ep_old = st.solid_plastic_strain[i];
    const double temp_old = st.solid_temperature[i];
    SphSymTensor stress_new{};
    double ep_new = ep_old, ep_rate = 0.0, plastic_work = 0.0, plastic_delta = 0.0, temp_new = temp_old;
    if (mat.params.johnson_cook_defined) {
        const SphJcParams jc{mat.params.jc_a, mat.params.jc_b, mat.params.jc_n, mat.params.jc_c, mat.params.jc_m};
        const SphJcRefs refs{mat.params.jc_epsdot0, mat.params.jc_troom, mat.params.jc_tmelt};
        if (int e = sph_solid_jc_return_mapping(stress_old, strain_inc, shear, bulk, dt, jc, refs, temp_old, ep_old,
                                                st.solid_temperature_rise_factor[u], stress_new, ep_new, ep_rate,
                                                plastic_work, temp_new, plastic_delta))
            return e;
    } else {
        if (int e = sph_solid_elastic_trial(stress_old, strain_inc, shear, bulk, stress_new)) return e;
    }
    const double density = d.rho[i] > 0.0 ? d.rho[i] : st.solid_density[u];
    double delta_energy = 0.0;
    // From the stored (softened) old stress and the new stress before its softening.
    if (int e = sph_solid_internal_energy_increment(stress_old, stress_new, strain_inc, density, delta_energy)) return e;

    if (plastic_delta > 0.0 && mat.params.failure_defined) {
        const double q = sph_solid_von_mises(stress_new);
        const double triaxiality = q > 0.0 ? sph_solid_mean_stress(stress_new) / q : 0.0;
        double failure_strain = 0.0;
        if (int e = sph_solid_jc_failure_strain(mat.params.failure_d, triaxiality, ep_rate, mat.params.jc_epsdot0,
                                                temp_new, mat.params.jc_troom, mat.params.jc_tmelt, failure_strain))
            return e;
        double damage = 0.0;
        int32_t status = 0;
        if (int e = sph_solid_damage_update(st.solid_damage[i], plastic_delta, failure_strain, damage, status)) return e;
        st.solid_damage[i] = damage;
        const double width = mat.params.softening_width > 0.0 ? mat.params.softening_width : 1.0;
        if (int e = sph_solid_linear_softening(st.solid_damage[i], width, st.solid_softening[i])) return e;
        if (status == sph_status_failed)
            if (int e = sph_solid_mark_particle_failed(index)) return e;
    }
    // The stored stress is the softened one, and the next trial starts from it.
    for (std::size_t c = 0; c < 6; ++c) {
        st.solid_stress[6 * i + c] = stress_new[c] * st.solid_softening[i];
        st.solid_strain[6 * i + c] += strain_inc[c];
    }
    st.solid_plastic_strain[i] = ep_new;
    st.solid_plastic_strain_rate[i] = ep_rate;
    st.solid_temperature[i] = temp_new;
    st.solid_internal_energy[i] += delta_energy;
    return sph_success;
}

int sph_solid_mark_particle_failed(int32_t index) {
    SphDatabase& d = sph_database;
    SphSolidState& st = sph_solid_state;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "Solid failed particle index is out of range");
    if (st.solid_failure_status.size() != static_cast<std::size_t>(d.npart) ||
        st.solid_damage.size() != static_cast<std::size_t>(d.npart) ||
        st.solid_softening.size() != static_cast<std::size_t>(d.npart))
        return sph_fail(sph_error_input, "Solid failure state is not allocated");
    const std::size_t i = static_cast<std::size_t>(index);
    sph_solid_invalidate_forces();
    st.solid_failure_status[i] = sph_status_failed;
    st.solid_damage[i] = 1.0;
    st.solid_softening[i] = 0.0;
    d.particle_status[i] = sph_status_failed;
    d.particle_phase[i] = sph_phase_solid_failed;
    return sph_success;
}

}  // namespace quorrel
