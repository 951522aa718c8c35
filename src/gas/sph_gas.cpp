#include "gas/sph_gas.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_sums.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "gas/sph_gas_source.h"
#include "particle/sph_pair_pass.h"
#include "particle/sph_particle.h"

namespace quorrel {

SphGas sph_gas;

namespace {

bool finite(double v) { return sph_below_max_double(v); }

inline bool active_gas(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_gas && d.particle_status[i] == sph_status_active;
}

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

SphGasMaterial* slot_of(int32_t mat_number) {
    const int k = sph_gas_table_index_by_material_id(mat_number);
    return k < 0 ? nullptr : &sph_gas.gas_materials[static_cast<std::size_t>(k)];
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
    if (!(gamma > 1.0) || !finite(gamma)) return sph_fail(sph_error_argument, "Ideal gas gamma must be greater than one");
    if (!(e0 >= 0.0) || !finite(e0))
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
    const bool all_finite = finite(rho0) && finite(a_value) && finite(b_value) && finite(r1) && finite(r2) &&
                            finite(omega) && finite(e0);
    if (!positive || !non_negative || !all_finite)
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
    if (!(rho0 > 0.0) || !(gamma > 1.0) || !(e0 >= 0.0) || !(pinf >= 0.0) || !finite(rho0) || !finite(gamma) ||
        !finite(e0) || !finite(pinf))
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
    if (!(h_value > 0.0) || !(mass_value > 0.0) || !(volume_value > 0.0) || !finite(h_value) ||
        !finite(mass_value) || !finite(volume_value))
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
    if (!finite(force[0]) || !finite(force[1]) || !finite(force[2]))
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
    if (!finite(pressure)) return sph_fail(sph_error_argument, "Gas pressure is not finite");
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

// ---- Per step ----

int sph_gas_update_pressure() {
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        if (int st = sph_gas_compute_pressure_for_material(d.material_id[i], d.rho[i], d.internal_energy[i],
                                                           d.pressure[i]))
            return st;
    }
    return sph_success;
}

namespace {

// The gas phase's pair sums: active gas with active gas, no viscosity.
SphPairPhase gas_pair_phase() {
    SphPairPhase phase;
    phase.phase = sph_phase_gas;
    phase.own_density_message = "Gas density must be positive for pressure force";
    phase.neighbor_density_message = "Gas neighbor density must be positive";
    return phase;
}

bool any_active_gas(const SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
        if (active_gas(d, i)) return true;
    return false;
}

// The density rate of gas particles only (others keep the water sum); the pressure part
// of the acceleration of every particle, so the water values of the step are replaced.
// Without active gas there is nothing to sum, and every array is left as it is.
int gas_pair_sums(SphPairTerms terms) {
    SphDatabase& d = sph_database;
    if (d.npart <= 0 || !any_active_gas(d)) return sph_success;
    if (terms.density_rate)
        for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
            if (active_gas(d, i)) d.drho_dt[i] = 0.0;
    if (terms.pressure) std::fill(d.acc_pressure.begin(), d.acc_pressure.end(), 0.0);
    return sph_pair_pass_sum(gas_pair_phase(), terms);
}

void set_gas_acceleration(SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.a[3 * i + k] = d.acc_pressure[3 * i + k] + d.acc_body[3 * i + k];
    }
}

}  // namespace

int sph_gas_compute_density_rate() { return gas_pair_sums({.density_rate = true}); }

int sph_gas_compute_pressure_acceleration() { return gas_pair_sums({.pressure = true}); }

int sph_gas_compute_acceleration() {
    if (int st = sph_gas_compute_pressure_acceleration()) return st;
    set_gas_acceleration(sph_database);
    return sph_success;
}

int sph_gas_compute_density_rate_and_acceleration() {
    if (int st = gas_pair_sums({.density_rate = true, .pressure = true})) return st;
    set_gas_acceleration(sph_database);
    return sph_success;
}

double sph_gas_sound_speed(int i) {
    const SphDatabase& d = sph_database;
    const std::size_t u = static_cast<std::size_t>(i);
    const SphGasMaterial* s = slot_of(d.material_id[u]);
    const double pinf = s != nullptr ? s->gas_material_pinf : sph_gas.gas_pinf;
    // The "+ 1" is in pressure units; gamma does not enter.
    return std::sqrt(std::max(1e-12, (std::fabs(d.pressure[u]) + std::fabs(pinf) + 1.0) / d.rho[u]));
}

int sph_gas_estimate_dt_limits(double& dt_cfl_out, double& dt_accel_out, double& dt_limit_out) {
    // Outputs are written only once the estimate succeeds; a failed one leaves them 0.
    dt_cfl_out = dt_accel_out = dt_limit_out = 0.0;
    constexpr double big = std::numeric_limits<double>::max();
    double dt_cfl = big, dt_accel = big;
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        const double h = d.h[i];
        if (!(d.rho[i] > 0.0) || !(h > 0.0)) return sph_fail(sph_error_argument, "invalid Gas state for dt estimate");
        const double* vi = &d.v[3 * i];
        const double* ai = &d.a[3 * i];
        const double vmag = sph_norm3(vi);
        const double amag = sph_norm3(ai);
        dt_cfl = std::min(dt_cfl, h / (sph_gas_sound_speed(static_cast<int>(i)) + vmag));
        if (amag > 0.0) dt_accel = std::min(dt_accel, sph_acceleration_step(h, amag));
    }
    if (dt_cfl == big) dt_cfl = 0.0;
    if (dt_accel == big) dt_accel = dt_cfl;
    const double dt_limit = dt_accel > 0.0 && dt_accel < dt_cfl ? dt_accel : dt_cfl;
    d.gas_dt_cfl = dt_cfl_out = dt_cfl;
    d.gas_dt_accel = dt_accel_out = dt_accel;
    d.gas_dtcrit = dt_limit_out = dt_limit;
    return sph_success;
}

namespace {

int diagnostics_overflow(const char* quantity) {
    return sph_fail(sph_error_argument, std::string("Gas diagnostics overflow: ") + quantity + " is not finite");
}

// Are the plain sums of the refresh (centre still undivided) all finite?
bool plain_sums_finite(double volume_pressure) {
    const SphDatabase& d = sph_database;
    bool finite = std::isfinite(d.gas_mass) && std::isfinite(d.gas_volume) && std::isfinite(volume_pressure);
    for (std::size_t k = 0; k < 3; ++k)
        finite = finite && std::isfinite(d.gas_momentum[k]) && std::isfinite(d.gas_center[k]);
    return finite;
}

// The refresh once a plain sum has overflowed. Mass and volume are sums of positive terms:
// their overflow means the total is not representable, and the refresh fails. Momentum is
// summed again at a scale where opposite terms cancel; the centre and the mean pressure,
// which always lie within the range of their terms, as means with weights V/(total V).
// Whatever summed plainly to a finite value keeps its plain result.
int gas_sums_beyond_range(double volume_pressure) {
    SphDatabase& d = sph_database;
    if (!std::isfinite(d.gas_mass)) return diagnostics_overflow("total mass");
    if (!std::isfinite(d.gas_volume)) return diagnostics_overflow("total volume");
    const std::size_t n = static_cast<std::size_t>(d.npart);
    double momentum[3], center[3] = {0.0, 0.0, 0.0}, mean_pressure = 0.0;
    sph_scaled_momentum(n, d.mass.data(), d.v.data(), [](std::size_t i) { return active_gas(sph_database, i); },
                        momentum);
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_gas(d, i)) continue;
        const double w = d.volume[i] / d.gas_volume;
        for (std::size_t k = 0; k < 3; ++k) center[k] += w * d.x[3 * i + k];
        mean_pressure += w * d.pressure[i];
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (!std::isfinite(d.gas_momentum[k])) d.gas_momentum[k] = momentum[k];
        if (!std::isfinite(d.gas_momentum[k])) return diagnostics_overflow("total momentum");
        d.gas_center[k] = std::isfinite(d.gas_center[k]) ? d.gas_center[k] / d.gas_volume : center[k];
    }
    d.gas_mean_pressure = std::isfinite(volume_pressure) ? volume_pressure / d.gas_volume : mean_pressure;
    return sph_success;
}

}  // namespace

int sph_gas_update_diagnostics() {
    sph_db_clear_gas_diagnostics();
    SphDatabase& d = sph_database;
    SphGas& g = sph_gas;
    double volume_pressure = 0.0;
    bool first = true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_gas(d, i)) continue;
        const double m = d.mass[i], vol = d.volume[i];
        if (!(vol > 0.0)) return sph_fail(sph_error_argument, "Gas volume must be positive");
        d.gas_particle_count += 1;
        d.gas_mass += m;
        d.gas_volume += vol;
        for (std::size_t k = 0; k < 3; ++k) {
            d.gas_momentum[k] += m * d.v[3 * i + k];
            d.gas_center[k] += vol * d.x[3 * i + k];
        }
        volume_pressure += vol * d.pressure[i];
        if (first) {
            d.gas_max_pressure = d.pressure[i];
            d.gas_min_density = d.gas_max_density = d.rho[i];
            first = false;
        } else {
            if (d.pressure[i] > d.gas_max_pressure) d.gas_max_pressure = d.pressure[i];
            if (d.rho[i] < d.gas_min_density) d.gas_min_density = d.rho[i];
            if (d.rho[i] > d.gas_max_density) d.gas_max_density = d.rho[i];
        }
    }
    if (!plain_sums_finite(volume_pressure)) {
        if (int st = gas_sums_beyond_range(volume_pressure)) return st;
    } else if (d.gas_volume > 0.0) {
        for (std::size_t k = 0; k < 3; ++k) d.gas_center[k] /= d.gas_volume;
        d.gas_mean_pressure = volume_pressure / d.gas_volume;
    }
    if (d.gas_volume > 0.0) {
        d.gas_equivalent_radius = std::cbrt(3.0 * d.gas_volume / (4.0 * sph_pi));
        // 3 V overflows above a third of the largest double; the radius itself cannot.
        if (std::isinf(d.gas_equivalent_radius))
            d.gas_equivalent_radius = std::cbrt(3.0 * (d.gas_volume / (4.0 * sph_pi)));
    }
    // A change per refresh, not per time: two refreshes in a row report 0 the second time.
    if (g.gas_bubble_history_valid) {
        d.gas_radius_rate = d.gas_equivalent_radius - d.gas_previous_equivalent_radius;
        d.gas_center_shift = sph_distance3(d.gas_center.data(), d.gas_previous_center.data());
    }
    d.gas_previous_equivalent_radius = d.gas_equivalent_radius;
    d.gas_previous_center = d.gas_center;
    g.gas_bubble_history_valid = d.gas_particle_count > 0;
    return sph_success;
}

// ---- Summaries ----

int sph_gas_get_summary(double& volume_out, double center_out[3], double& mean_pressure_out,
                        double& max_pressure_out) {
    if (int st = sph_gas_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    volume_out = d.gas_volume;
    for (std::size_t k = 0; k < 3; ++k) center_out[k] = d.gas_center[k];
    mean_pressure_out = d.gas_mean_pressure;
    max_pressure_out = d.gas_max_pressure;
    return sph_success;
}

int sph_gas_get_extended_summary(double& mass_out, double momentum_out[3], double density_range_out[2],
                                 double dt_limits_out[3]) {
    if (int st = sph_gas_update_diagnostics()) return st;
    double cfl = 0.0, accel = 0.0, limit = 0.0;
    if (int st = sph_gas_estimate_dt_limits(cfl, accel, limit)) return st;
    const SphDatabase& d = sph_database;
    mass_out = d.gas_mass;
    for (std::size_t k = 0; k < 3; ++k) momentum_out[k] = d.gas_momentum[k];
    density_range_out[0] = d.gas_min_density;
    density_range_out[1] = d.gas_max_density;
    dt_limits_out[0] = cfl;
    dt_limits_out[1] = accel;
    dt_limits_out[2] = limit;
    return sph_success;
}

void sph_gas_get_bubble_metrics(double& equivalent_radius_out, double& radius_rate_out, double center_out[3]) {
    const SphDatabase& d = sph_database;
    equivalent_radius_out = d.gas_equivalent_radius;
    radius_rate_out = d.gas_radius_rate;
    for (std::size_t k = 0; k < 3; ++k) center_out[k] = d.gas_center[k];
}

// ---- Sources ----

int sph_gas_apply_sources_explicit(double dt) {
    if (int st = sph_gas_source_apply_explicit(dt)) return st;
    // The new energy enters the pressure at once.
    return sph_gas_update_pressure();
}

int sph_gas_add_source_by_particle(int32_t index, double mass_rate, const double momentum_rate[3],
                                   double energy_rate) {
    return sph_gas_source_add_by_particle(index, mass_rate, momentum_rate, energy_rate);
}

int sph_gas_clear_sources() { return sph_gas_source_clear(); }

int sph_gas_allocate_sources() { return sph_gas_source_allocate(); }

int sph_gas_get_source_summary(double& mass_source, double momentum_source[3], double& energy_source) {
    return sph_gas_source_get_summary(mass_source, momentum_source, energy_source);
}

}  // namespace quorrel
