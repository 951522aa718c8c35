#include "explosive/sph_explosive_state.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "core/sph_error.h"
#include "core/sph_table.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_helpers.h"

namespace quorrel {

SphExplosiveState sph_explosive_state;

namespace {

const SphMaterialRecord* material_record(int32_t mat_number) {
    const auto& mats = sph_database.materials;
    if (mat_number < 1 || mat_number > static_cast<int32_t>(mats.size())) return nullptr;
    return &mats[static_cast<std::size_t>(mat_number - 1)];
}

// The slot of the named material, appended when new; -1 when the material is unknown or
// the table is full.
int register_material(std::string_view name) {
    SphExplosiveState& s = sph_explosive_state;
    const int32_t m = sph_explosive_find_material(name);
    if (m <= 0) return -1;
    if (int k = sph_explosive_table_index_by_material_id(m); k >= 0) return k;
    if (s.explosive_material_count >= sph_explosive_max_materials) return -1;
    const int k = s.explosive_material_count++;
    SphExplosiveMaterial& slot = s.explosive_materials[static_cast<std::size_t>(k)];
    slot = SphExplosiveMaterial{};
    const SphMaterialRecord& rec = *material_record(m);
    slot.explosive_material_id = m;
    slot.explosive_material_name = rec.material_name;
    slot.explosive_density0 = rec.material_density;
    return k;
}

// The slot of an explosive material named on a control or ignition card.
int prepare_material(std::string_view name, int& slot) {
    slot = -1;
    const int32_t m = sph_explosive_find_material(name);
    if (m <= 0) return sph_fail(sph_error_input, "Explosive control references unknown material");
    if (!sph_contains_upper(material_record(m)->material_type, "EXPLOSIVE"))
        return sph_fail(sph_error_input, "Explosive control references non-Explosive material");
    slot = register_material(name);
    if (slot < 0) return sph_fail(sph_error_input, "too many Explosive material records");
    return sph_success;
}

template <typename T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

void reset_totals(SphExplosiveState& s) {
    s.explosive_release_mass_balance = {};
    s.explosive_release_energy_balance = {};
    s.explosive_release_momentum_balance = {};
    s.explosive_converted_count = 0;
    s.explosive_source_target_count = 0;
    s.explosive_source_mass_total = 0.0;
    s.explosive_source_energy_total = 0.0;
    s.explosive_source_momentum_total = {};
}

}  // namespace

// ---- Lifecycle ----

void sph_explosive_initialize() {
    sph_explosive_state.explosive_module_initialized = true;
    sph_explosive_clear_material_table();
    sph_explosive_deallocate_state();
}

void sph_explosive_reset() {
    sph_explosive_state.explosive_module_initialized = false;
    sph_explosive_clear_material_table();
    sph_explosive_deallocate_state();
}

void sph_explosive_finalize() { sph_explosive_reset(); }

void sph_explosive_reset_deck_settings() {
    sph_explosive_clear_material_table();
    sph_explosive_deallocate_state();
}

void sph_explosive_clear_material_table() {
    SphExplosiveState& s = sph_explosive_state;
    s.explosive_material_seen = false;
    sph_clear_used_slots(s.explosive_materials, s.explosive_material_count);
    s.explosive_material_count = 0;
    sph_clear_used_slots(s.explosive_ignitions, s.explosive_ignition_count);
    s.explosive_ignition_count = 0;
    reset_totals(s);
    s.explosive_dt_reaction = 0.0;
}

// ---- Deck-time setters ----

void sph_explosive_note_material(std::string_view name, std::string_view material_type) {
    if (!sph_contains_upper(material_type, "EXPLOSIVE")) return;
    sph_explosive_state.explosive_material_seen = true;
    // A material beyond the table's 32 stays out; its cards fail with their own message.
    (void)register_material(name);
}

int sph_explosive_set_control(std::string_view material_name, std::string_view model_type,
                              double detonation_velocity, double energy_per_mass, double burn_time,
                              std::string_view product_material_name, std::string_view conversion_name) {
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Explosive control MATERIAL is required");
    if (!sph_contains_upper(model_type.substr(0, std::min(model_type.size(), sph_name_len)), "PROGRAMMED_BURN"))
        return sph_fail(sph_error_input, "Explosive TYPE must be PROGRAMMED_BURN");
    // Written so that NaN and the infinities fail too.
    if (!(detonation_velocity > 0.0) || !sph_below_max_double(detonation_velocity))
        return sph_fail(sph_error_argument, "Explosive detonation velocity must be positive");
    if (!(energy_per_mass >= 0.0) || !sph_below_max_double(energy_per_mass))
        return sph_fail(sph_error_argument, "Explosive energy must be non-negative");
    if (!(burn_time >= 0.0) || !sph_below_max_double(burn_time))
        return sph_fail(sph_error_argument, "Explosive burn time must be non-negative");
    if (sph_is_blank(product_material_name)) return sph_fail(sph_error_input, "Explosive PRODUCT_MATERIAL is required");
    int k = -1;
    if (int st = prepare_material(material_name, k)) return st;
    SphExplosiveMaterial& slot = sph_explosive_state.explosive_materials[static_cast<std::size_t>(k)];
    if (slot.explosive_control_defined) return sph_fail(sph_error_input, "Explosive material control is already defined");
    const int32_t p = sph_explosive_find_material(product_material_name);
    if (p <= 0) return sph_fail(sph_error_input, "Explosive product material is unknown");
    if (!sph_contains_upper(material_record(p)->material_type, "GAS"))
        return sph_fail(sph_error_input, "Explosive product material must be Gas");
    // So the product's gas EOS card must come earlier in the deck.
    if (int st = sph_explosive_validate_product_gas(p)) return st;
    const int32_t mode = sph_explosive_conversion_id(conversion_name);
    if (mode == explosive_conversion_none)
        return sph_fail(sph_error_input, "Explosive CONVERSION must be PHASE or SOURCE");
    slot.explosive_control_defined = true;
    slot.explosive_product_material_id = p;
    slot.explosive_product_material_name = material_record(p)->material_name;
    slot.explosive_density0 = material_record(slot.explosive_material_id)->material_density;
    slot.explosive_detonation_velocity = detonation_velocity;
    slot.explosive_energy_per_mass = energy_per_mass;
    slot.explosive_burn_time = burn_time;
    slot.explosive_conversion_mode = mode;
    return sph_success;
}

int sph_explosive_set_ignition(std::string_view material_name, const double ignition_x[3], double ignition_time) {
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Explosive ignition MATERIAL is required");
    if (!(ignition_time >= 0.0) || !sph_below_max_double(ignition_time))
        return sph_fail(sph_error_argument, "Explosive ignition time must be non-negative");
    for (int k = 0; k < 3; ++k)
        if (!sph_below_max_double(ignition_x[k]))
            return sph_fail(sph_error_argument, "Explosive ignition coordinate is not finite");
    int slot = -1;
    if (int st = prepare_material(material_name, slot)) return st;
    SphExplosiveState& s = sph_explosive_state;
    if (s.explosive_ignition_count >= sph_explosive_max_ignitions)
        return sph_fail(sph_error_input, "too many Explosive ignition records");
    SphExplosiveIgnition& rec = s.explosive_ignitions[static_cast<std::size_t>(s.explosive_ignition_count++)];
    rec.explosive_ignition_material_id = s.explosive_materials[static_cast<std::size_t>(slot)].explosive_material_id;
    for (std::size_t k = 0; k < 3; ++k) rec.explosive_ignition_x[k] = ignition_x[k];
    rec.explosive_ignition_time = ignition_time;
    return sph_success;
}

// ---- Build ----

int sph_explosive_validate_input() {
    const SphExplosiveState& s = sph_explosive_state;
    if (!s.explosive_material_seen) return sph_success;
    for (int k = 0; k < s.explosive_material_count; ++k) {
        const SphExplosiveMaterial& slot = s.explosive_materials[static_cast<std::size_t>(k)];
        const SphMaterialRecord* rec = material_record(slot.explosive_material_id);
        if (rec == nullptr) return sph_fail(sph_error_input, "Explosive material table is invalid");
        // A material without active particles needs no density, control or ignition.
        if (!sph_explosive_has_active_particle_for_id(slot.explosive_material_id)) continue;
        if (!(rec->material_density > 0.0))
            return sph_fail(sph_error_input, "input is missing *DENSITY for Explosive material");
        if (!slot.explosive_control_defined)
            return sph_fail(sph_error_input, "input is missing *QUORREL EXPLOSIVE for Explosive material");
        if (int st = sph_explosive_validate_product_gas(slot.explosive_product_material_id)) return st;
        if (!sph_explosive_has_ignition_for_material(slot.explosive_material_id))
            return sph_fail(sph_error_input, "input is missing *QUORREL IGNITION for Explosive material");
    }
    return sph_success;
}

int sph_explosive_allocate_state() {
    const int32_t npart = sph_database.npart;
    if (npart <= 0 || sph_explosive_state_present()) return sph_success;
    sph_explosive_deallocate_state();
    SphExplosiveState& s = sph_explosive_state;
    const std::size_t n = static_cast<std::size_t>(npart);
    try {
        s.explosive_ignition_status.resize(n);
        s.explosive_detonation_time.resize(n);
        s.explosive_reaction_progress.resize(n);
        s.explosive_initial_material_id.resize(n);
        s.explosive_initial_mass.resize(n);
        s.explosive_remaining_mass.resize(n);
        s.explosive_released_mass.resize(n);
        s.explosive_released_energy.resize(n);
        s.explosive_released_momentum.resize(3 * n);
    } catch (const std::exception&) {
        sph_explosive_deallocate_state();
        return sph_fail(sph_error_database, "failed to allocate Explosive state");
    }
    sph_explosive_clear_particle_state();
    return sph_success;
}

void sph_explosive_deallocate_state() {
    SphExplosiveState& s = sph_explosive_state;
    release(s.explosive_ignition_status);
    release(s.explosive_detonation_time);
    release(s.explosive_reaction_progress);
    release(s.explosive_initial_material_id);
    release(s.explosive_initial_mass);
    release(s.explosive_remaining_mass);
    release(s.explosive_released_mass);
    release(s.explosive_released_energy);
    release(s.explosive_released_momentum);
    sph_explosive_release_scratch();
}

void sph_explosive_clear_particle_state() {
    SphExplosiveState& s = sph_explosive_state;
    std::fill(s.explosive_ignition_status.begin(), s.explosive_ignition_status.end(), 0);
    std::fill(s.explosive_initial_material_id.begin(), s.explosive_initial_material_id.end(), 0);
    for (auto* v : {&s.explosive_detonation_time, &s.explosive_reaction_progress, &s.explosive_initial_mass,
                    &s.explosive_remaining_mass, &s.explosive_released_mass, &s.explosive_released_energy,
                    &s.explosive_released_momentum})
        std::fill(v->begin(), v->end(), 0.0);
    reset_totals(s);
}

int sph_explosive_apply_initial_conditions() {
    SphDatabase& d = sph_database;
    SphExplosiveState& s = sph_explosive_state;
    for (int i = 0; i < d.npart; ++i) {
        if (!sph_explosive_is_active_particle(i)) continue;
        const std::size_t u = static_cast<std::size_t>(i);
        const SphMaterialRecord* rec = material_record(d.material_id[u]);
        if (rec == nullptr) return sph_fail(sph_error_input, "Explosive particle material is invalid");
        if (!(rec->material_density > 0.0)) return sph_fail(sph_error_input, "Explosive particle density is invalid");
        d.rho[u] = rec->material_density;
        if (!(d.mass[u] > 0.0)) d.mass[u] = 1.0;
        d.volume[u] = d.mass[u] / d.rho[u];
        s.explosive_initial_material_id[u] = d.material_id[u];
        s.explosive_initial_mass[u] = d.mass[u];
        s.explosive_remaining_mass[u] = d.mass[u];
    }
    sph_explosive_update_release_balance();
    return sph_explosive_release_balance_in_range();
}

int sph_explosive_compute_detonation_times() {
    if (int st = sph_explosive_allocate_state()) return st;
    const SphDatabase& d = sph_database;
    SphExplosiveState& s = sph_explosive_state;
    for (int i = 0; i < d.npart; ++i) {
        if (!sph_explosive_is_active_particle(i)) continue;
        const std::size_t u = static_cast<std::size_t>(i);
        const int32_t m = d.material_id[u];
        const int k = sph_explosive_table_index_by_material_id(m);
        if (k < 0) return sph_fail(sph_error_input, "Explosive particle material has no control");
        const double speed = s.explosive_materials[static_cast<std::size_t>(k)].explosive_detonation_velocity;
        // Straight-line distance from each of the material's ignition points; the earliest
        // arrival wins.
        double arrival = std::numeric_limits<double>::infinity();
        bool found = false;
        for (int r = 0; r < s.explosive_ignition_count; ++r) {
            const SphExplosiveIgnition& ign = s.explosive_ignitions[static_cast<std::size_t>(r)];
            if (ign.explosive_ignition_material_id != m) continue;
            const double distance = sph_distance3(&d.x0[3 * u], ign.explosive_ignition_x.data());
            const double t = ign.explosive_ignition_time + distance / speed;
            // An arrival beyond the largest double is no time the model can reach or report.
            if (!std::isfinite(t)) return sph_fail(sph_error_argument, "Explosive detonation time is not finite");
            arrival = found ? std::min(arrival, t) : t;
            found = true;
        }
        if (!found) return sph_fail(sph_error_input, "Explosive particle has no ignition");
        s.explosive_detonation_time[u] = arrival;
        s.explosive_ignition_status[u] = 1;
    }
    return sph_success;
}

int sph_explosive_build() {
    if (!sph_explosive_state.explosive_material_seen) return sph_success;
    if (int st = sph_explosive_validate_input()) return st;
    if (int st = sph_explosive_allocate_state()) return st;
    sph_explosive_clear_particle_state();
    if (int st = sph_explosive_apply_initial_conditions()) return st;
    return sph_explosive_compute_detonation_times();
}

int32_t sph_explosive_count_unbound_materials() {
    const SphExplosiveState& s = sph_explosive_state;
    int32_t count = 0;
    for (int k = 0; k < s.explosive_material_count; ++k)
        if (!sph_explosive_has_section_binding_for_id(s.explosive_materials[static_cast<std::size_t>(k)].explosive_material_id))
            ++count;
    return count;
}

}  // namespace quorrel
