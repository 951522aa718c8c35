#include "gas/sph_gas.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "gas/sph_gas_internal.h"
#include "gas/sph_gas_source.h"

namespace quorrel {

SphGas sph_gas;

using namespace gas_detail;

namespace {

// Settings, table, sources and the diagnostics' history back to their reset values; the
// module's initialised flag is the caller's.
void reset_state() {
    const bool initialized = sph_gas.gas_module_initialized;
    // Copied from one fresh instance rather than built anew on the stack each time.
    static const SphGas fresh{};
    sph_gas = fresh;
    sph_gas.gas_module_initialized = initialized;
    sph_gas_source_reset();
    SphDatabase& d = sph_database;
    d.gas_previous_equivalent_radius = 0.0;
    d.gas_previous_center = {};
    sph_db_clear_gas_diagnostics();
}

const SphMaterialRecord* material_record(int32_t mat_number) {
    const auto& mats = sph_database.materials;
    if (mat_number < 1 || mat_number > static_cast<int32_t>(mats.size())) return nullptr;
    return &mats[static_cast<std::size_t>(mat_number - 1)];
}

// The slot of the named material, appended with the card-level defaults when new; -1 when
// the material is unknown or the table is full.
int register_material(std::string_view name) {
    SphGas& g = sph_gas;
    const int32_t m = sph_gas_find_material(name);
    if (m <= 0) return -1;
    if (int k = sph_gas_table_index_by_material_id(m); k >= 0) return k;
    if (g.gas_material_count >= sph_gas_max_materials) return -1;
    const int k = g.gas_material_count++;
    SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(k)];
    s = SphGasMaterial{};
    const SphMaterialRecord& rec = *material_record(m);
    s.gas_material_ids = m;
    s.gas_material_names = rec.material_name;
    s.gas_material_density_default = rec.material_density;
    s.gas_material_energy_default = g.gas_e0;
    s.gas_material_rho0 = g.gas_rho0;
    s.gas_material_gamma = g.gas_gamma;
    s.gas_material_p0 = g.gas_p0;
    s.gas_material_default_h = g.gas_default_h;
    s.gas_material_default_mass = g.gas_default_mass;
    s.gas_material_default_volume = g.gas_default_volume;
    return k;
}

int prepare_eos_material(std::string_view name, SphGasMaterial*& slot) {
    slot = nullptr;
    const int32_t m = sph_gas_find_material(name);
    if (m <= 0) return sph_fail(sph_error_input, "Gas EOS references unknown material");
    if (!sph_contains_upper(material_record(m)->material_type, "GAS"))
        return sph_fail(sph_error_input, "Gas EOS references non-Gas material");
    const int k = register_material(name);
    if (k < 0) return sph_fail(sph_error_input, "too many Gas material records");
    SphGasMaterial& s = sph_gas.gas_materials[static_cast<std::size_t>(k)];
    if (s.gas_material_eos_defined) return sph_fail(sph_error_input, "Gas material EOS is already defined");
    slot = &s;
    return sph_success;
}

// What every accepted EOS card records besides its own values.
void accept_eos_card(std::string_view name, SphGasMaterial& slot) {
    SphGas& g = sph_gas;
    g.gas_material_seen = true;
    g.gas_eos_defined = true;
    g.gas_material_name = sph_fixed(name, sph_name_len);
    g.gas_material_internal_id = sph_gas_find_material(name);
    slot.gas_material_eos_defined = true;
}

}  // namespace

// ---- Lifecycle ----

void sph_gas_initialize() {
    sph_gas.gas_module_initialized = true;
    reset_state();
}

void sph_gas_reset() {
    sph_gas.gas_module_initialized = false;
    reset_state();
}

void sph_gas_reset_deck_settings() { reset_state(); }

void sph_gas_clear_material_table() {
    sph_gas.gas_material_count = 0;
    sph_gas.gas_materials.fill(SphGasMaterial{});
}

// ---- Predicates and lookups ----

bool sph_gas_is_active_particle(int i) {
    const SphDatabase& d = sph_database;
    return i >= 0 && i < d.npart && active_gas(d, static_cast<std::size_t>(i));
}

bool sph_gas_is_material_particle(int i) {
    const SphDatabase& d = sph_database;
    if (i < 0 || i >= d.npart) return false;
    const SphMaterialRecord* rec = material_record(d.material_id[static_cast<std::size_t>(i)]);
    return rec != nullptr && sph_contains_upper(rec->material_type, "GAS");
}

int32_t sph_gas_find_material(std::string_view name) { return sph_db_find_material(name) + 1; }

double sph_gas_material_density(std::string_view name) {
    const int32_t m = sph_gas_find_material(name);
    if (m > 0 && material_record(m)->material_density > 0.0) return material_record(m)->material_density;
    return sph_gas.gas_rho0;
}

int sph_gas_table_index_by_material_id(int32_t mat_number) {
    const SphGas& g = sph_gas;
    for (int k = 0; k < g.gas_material_count; ++k)
        if (g.gas_materials[static_cast<std::size_t>(k)].gas_material_ids == mat_number) return k;
    return -1;
}

bool sph_gas_has_section_binding_for_id(int32_t mat_number) {
    for (const SphSectionRecord& s : sph_database.sections)
        if (s.section_material_id == mat_number) return true;
    return false;
}

// ---- Deck-time setters ----

void sph_gas_note_material(std::string_view name, std::string_view material_type) {
    if (!sph_contains_upper(material_type, "GAS")) return;
    SphGas& g = sph_gas;
    g.gas_material_seen = true;
    g.gas_material_name = sph_fixed(name, sph_name_len);
    g.gas_material_internal_id = sph_gas_find_material(name);
    // A material beyond the table's 32 is left out here; its particles and its EOS card
    // fail later with their own messages.
    (void)register_material(name);
}

int sph_gas_set_eos(std::string_view eos_type, std::string_view material_name, double rho0, double gamma,
                    double e0, double p0, double a_value, double b_value, double r1, double r2, double omega,
                    double pinf) {
    const std::string_view type = eos_type.substr(0, std::min(eos_type.size(), sph_name_len));
    if (sph_is_blank(type)) return sph_fail(sph_error_input, "Gas EOS TYPE is required");
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Gas EOS MATERIAL is required");
    if (sph_contains_upper(type, "IDEAL_GAS")) return sph_gas_set_ideal(material_name, gamma, e0, p0);
    if (sph_contains_upper(type, "JWL")) return sph_gas_set_jwl(material_name, rho0, a_value, b_value, r1, r2, omega, e0);
    if (sph_contains_upper(type, "STIFFENED_GAS")) return sph_gas_set_stiffened(material_name, rho0, gamma, e0, pinf);
    return sph_fail(sph_error_input, "Gas EOS TYPE is not supported");
}

// The range checks are written so that NaN and the infinities fail them too.
int sph_gas_set_ideal(std::string_view material_name, double gamma, double e0, double p0) {
    if (!(gamma > 1.0) || !sph_below_max_double(gamma))
        return sph_fail(sph_error_argument, "Ideal gas gamma must be greater than one");
    if (!(e0 >= 0.0) || !sph_below_max_double(e0))
        return sph_fail(sph_error_argument, "Ideal gas internal energy must be non-negative");
    SphGasMaterial* slot = nullptr;
    if (int st = prepare_eos_material(material_name, slot)) return st;
    SphGas& g = sph_gas;
    g.gas_eos_type = gas_eos_ideal;
    g.gas_gamma = gamma;
    g.gas_e0 = e0;
    g.gas_p0 = p0;
    slot->gas_material_eos_type = gas_eos_ideal;
    slot->gas_material_gamma = gamma;
    slot->gas_material_energy_default = e0;
    slot->gas_material_p0 = p0;
    // After the card-level values: a material without *DENSITY takes gas_rho0 as it stands.
    slot->gas_material_rho0 = slot->gas_material_density_default = sph_gas_material_density(material_name);
    accept_eos_card(material_name, *slot);
    return sph_success;
}

int sph_gas_set_jwl(std::string_view material_name, double rho0, double a_value, double b_value, double r1,
                    double r2, double omega, double e0) {
    const bool positive = rho0 > 0.0 && r1 > 0.0 && r2 > 0.0 && omega > 0.0;
    const bool non_negative = e0 >= 0.0 && a_value >= 0.0 && b_value >= 0.0;
    const bool all_below_max = sph_below_max_double(rho0) && sph_below_max_double(a_value) &&
                               sph_below_max_double(b_value) && sph_below_max_double(r1) &&
                               sph_below_max_double(r2) && sph_below_max_double(omega) && sph_below_max_double(e0);
    if (!positive || !non_negative || !all_below_max)
        return sph_fail(sph_error_argument, "JWL gas EOS parameters are invalid");
    SphGasMaterial* slot = nullptr;
    if (int st = prepare_eos_material(material_name, slot)) return st;
    SphGas& g = sph_gas;
    g.gas_eos_type = gas_eos_jwl;
    g.gas_rho0 = rho0;
    g.gas_jwl_a = a_value;
    g.gas_jwl_b = b_value;
    g.gas_jwl_r1 = r1;
    g.gas_jwl_r2 = r2;
    g.gas_jwl_omega = omega;
    g.gas_e0 = e0;
    slot->gas_material_eos_type = gas_eos_jwl;
    slot->gas_material_rho0 = rho0;
    slot->gas_material_jwl_a = a_value;
    slot->gas_material_jwl_b = b_value;
    slot->gas_material_jwl_r1 = r1;
    slot->gas_material_jwl_r2 = r2;
    slot->gas_material_jwl_omega = omega;
    slot->gas_material_energy_default = e0;
    slot->gas_material_density_default = sph_gas_material_density(material_name);
    accept_eos_card(material_name, *slot);
    return sph_success;
}

int sph_gas_set_stiffened(std::string_view material_name, double rho0, double gamma, double e0, double pinf) {
    if (!(rho0 > 0.0) || !(gamma > 1.0) || !(e0 >= 0.0) || !(pinf >= 0.0) || !sph_below_max_double(rho0) ||
        !sph_below_max_double(gamma) || !sph_below_max_double(e0) || !sph_below_max_double(pinf))
        return sph_fail(sph_error_argument, "Stiffened gas EOS parameters are invalid");
    SphGasMaterial* slot = nullptr;
    if (int st = prepare_eos_material(material_name, slot)) return st;
    SphGas& g = sph_gas;
    g.gas_eos_type = gas_eos_stiffened;
    g.gas_rho0 = rho0;
    g.gas_gamma = gamma;
    g.gas_e0 = e0;
    g.gas_pinf = pinf;
    slot->gas_material_eos_type = gas_eos_stiffened;
    slot->gas_material_rho0 = rho0;
    slot->gas_material_gamma = gamma;
    slot->gas_material_energy_default = e0;
    slot->gas_material_pinf = pinf;
    slot->gas_material_density_default = sph_gas_material_density(material_name);
    accept_eos_card(material_name, *slot);
    return sph_success;
}

int sph_gas_set_particle_control(double h_value, double mass_value, double volume_value) {
    if (!(h_value > 0.0) || !(mass_value > 0.0) || !(volume_value > 0.0) || !sph_below_max_double(h_value) ||
        !sph_below_max_double(mass_value) || !sph_below_max_double(volume_value))
        return sph_fail(sph_error_argument, "Gas particle control values must be positive");
    SphGas& g = sph_gas;
    g.gas_default_h = h_value;
    g.gas_default_mass = mass_value;
    g.gas_default_volume = volume_value;
    // Slots registered later take the card-level values: the card applies to every gas
    // material wherever it stands in the deck.
    for (int k = 0; k < g.gas_material_count; ++k) {
        SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(k)];
        s.gas_material_default_h = h_value;
        s.gas_material_default_mass = mass_value;
        s.gas_material_default_volume = volume_value;
    }
    g.gas_particle_control_defined = true;
    return sph_success;
}

int sph_gas_set_body_force(const double force[3]) {
    if (!sph_below_max_double(force[0]) || !sph_below_max_double(force[1]) || !sph_below_max_double(force[2]))
        return sph_fail(sph_error_argument, "Gas body force must be finite");
    SphGas& g = sph_gas;
    for (std::size_t k = 0; k < 3; ++k) g.gas_body_force[k] = force[k];
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * i + k] = g.gas_body_force[k];
    }
    return sph_success;
}

// ---- Build time ----

int sph_gas_validate_input() {
    const SphGas& g = sph_gas;
    if (!g.gas_material_seen) return sph_success;
    for (int k = 0; k < g.gas_material_count; ++k) {
        const SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(k)];
        if (!s.gas_material_eos_defined) return sph_fail(sph_error_input, "input is missing *QUORREL EOS for Gas");
        const SphMaterialRecord* rec = material_record(s.gas_material_ids);
        if (rec == nullptr) return sph_fail(sph_error_input, "Gas material table is invalid");
        if (!(rec->material_density > 0.0))
            return sph_fail(sph_error_input, "input is missing *DENSITY for Gas material");
    }
    return sph_success;
}

int sph_gas_apply_initial_conditions() {
    const SphGas& g = sph_gas;
    if (!g.gas_material_seen) return sph_success;
    if (int st = sph_gas_validate_input()) return st;
    if (int st = sph_gas_allocate_sources()) return st;
    SphDatabase& d = sph_database;
    for (int i = 0; i < d.npart; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (d.particle_status[u] != sph_status_active || !sph_gas_is_material_particle(i)) continue;
        const int32_t m = d.material_id[u];
        const SphGasMaterial* s = slot_of(m);
        if (s == nullptr) return sph_fail(sph_error_input, "Gas particle material has no EOS");
        const double density = material_record(m)->material_density;
        d.particle_phase[u] = sph_phase_gas;
        d.rho[u] = density > 0.0 ? density : s->gas_material_density_default;
        d.internal_energy[u] = s->gas_material_energy_default;
        d.temperature[u] = s->gas_material_temperature_default;
        d.mass[u] = s->gas_material_default_mass;
        d.volume[u] = s->gas_material_default_volume;
        d.h[u] = s->gas_material_default_h;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * u + k] = g.gas_body_force[k];
        if (int st = sph_gas_compute_pressure_for_material(m, d.rho[u], d.internal_energy[u], d.pressure[u]))
            return st;
    }
    return sph_gas_update_diagnostics();
}

int32_t sph_gas_count_unbound_materials() {
    const SphGas& g = sph_gas;
    int32_t count = 0;
    for (int k = 0; k < g.gas_material_count; ++k)
        if (!sph_gas_has_section_binding_for_id(g.gas_materials[static_cast<std::size_t>(k)].gas_material_ids)) ++count;
    return count;
}

int sph_gas_compute_pressure_for_material(int32_t mat_number, double rho, double energy, double& pressure) {
    pressure = 0.0;
    if (!(rho > 0.0)) return sph_fail(sph_error_argument, "Gas density must be positive");
    if (!(energy >= 0.0)) return sph_fail(sph_error_argument, "Gas internal energy must be non-negative");
    const SphGasMaterial* s = slot_of(mat_number);
    if (s == nullptr || !s->gas_material_eos_defined) return sph_fail(sph_error_input, "Gas particle material has no EOS");
    switch (s->gas_material_eos_type) {
        case gas_eos_ideal:
            pressure = s->gas_material_p0 + (s->gas_material_gamma - 1.0) * rho * energy;
            break;
        case gas_eos_jwl: {
            if (!(s->gas_material_rho0 > 0.0))
                return sph_fail(sph_error_argument, "JWL gas reference density must be positive");
            // With the specific energy e the third term is omega rho e (= omega rho0 e / V),
            // a pressure; omega e / V alone would be an energy per mass.
            const double v = s->gas_material_rho0 / rho;
            pressure = s->gas_material_jwl_a * std::exp(-s->gas_material_jwl_r1 * v) +
                       s->gas_material_jwl_b * std::exp(-s->gas_material_jwl_r2 * v) +
                       s->gas_material_jwl_omega * rho * energy;
            break;
        }
        case gas_eos_stiffened:
            pressure = (s->gas_material_gamma - 1.0) * rho * energy - s->gas_material_gamma * s->gas_material_pinf;
            break;
        default: return sph_fail(sph_error_input, "Gas EOS is not defined");
    }
    if (!sph_below_max_double(pressure)) return sph_fail(sph_error_argument, "Gas pressure is not finite");
    return sph_success;
}

int sph_gas_rebuild_legacy_restart_state() {
    sph_gas_clear_material_table();
    SphGas& g = sph_gas;
    const SphDatabase& d = sph_database;
    for (int i = 0; i < d.npart; ++i) {
        if (!active_gas(d, static_cast<std::size_t>(i))) continue;
        const std::size_t u = static_cast<std::size_t>(i);
        SphGasMaterial& s = g.gas_materials[0];
        s.gas_material_ids = d.material_id[u];
        s.gas_material_names = g.gas_material_name;
        s.gas_material_eos_defined = g.gas_eos_type != gas_eos_none;
        s.gas_material_eos_type = g.gas_eos_type;
        s.gas_material_density_default = d.rho[u];
        s.gas_material_energy_default = g.gas_e0;
        s.gas_material_temperature_default = d.temperature[u];
        s.gas_material_rho0 = g.gas_rho0;
        s.gas_material_gamma = g.gas_gamma;
        s.gas_material_p0 = g.gas_p0;
        s.gas_material_jwl_a = g.gas_jwl_a;
        s.gas_material_jwl_b = g.gas_jwl_b;
        s.gas_material_jwl_r1 = g.gas_jwl_r1;
        s.gas_material_jwl_r2 = g.gas_jwl_r2;
        s.gas_material_jwl_omega = g.gas_jwl_omega;
        s.gas_material_pinf = g.gas_pinf;
        s.gas_material_default_h = g.gas_default_h;
        s.gas_material_default_mass = g.gas_default_mass;
        s.gas_material_default_volume = g.gas_default_volume;
        g.gas_material_count = 1;
        g.gas_material_seen = true;
        g.gas_eos_defined = s.gas_material_eos_defined;
        g.gas_material_internal_id = s.gas_material_ids;
        break;
    }
    return sph_gas_clear_sources();
}

}  // namespace quorrel
