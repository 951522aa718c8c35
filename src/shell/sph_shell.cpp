#include "shell/sph_shell.h"

#include <algorithm>
#include <cmath>

#include "core/sph_error.h"
#include "core/sph_table.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"

namespace quorrel {

SphShell sph_shell;
SphShellState sph_shell_state;

namespace {

SphShellMaterial& slot(int k) { return sph_shell.shell_materials[static_cast<std::size_t>(k)]; }

std::string stored_name(std::string_view name) { return sph_fixed(name, sph_name_len); }

// First slot in [0, count) whose name matches.
template <typename Table, typename Name>
int find_in(const Table& table, int32_t count, std::string_view name, Name name_of) {
    for (int k = 0; k < count; ++k)
        if (sph_db_name_equal(name_of(table[static_cast<std::size_t>(k)]), name)) return k;
    return -1;
}

// The slot of that name, or a new one; -1 when the table is full.
template <typename Table, typename Name>
int slot_for(Table& table, int32_t& count, std::string_view name, Name name_of) {
    const int k = find_in(table, count, name, name_of);
    if (k >= 0) return k;
    if (count >= static_cast<int32_t>(table.size())) return -1;
    return count++;
}

}  // namespace

// ---- Helpers ----

std::string sph_shell_upper(std::string_view text) { return sph_upper(text); }

bool sph_shell_scalar_is_finite(double value) { return sph_within_half_max(value); }

bool sph_shell_vector_is_finite(const double* values, std::size_t count) {
    return std::all_of(values, values + count, sph_shell_scalar_is_finite);
}

double sph_shell_norm(const double* v) { return sph_norm3(v); }

int sph_shell_normalize_vector(const double* values, double* normalized) {
    const double length = sph_shell_norm(values);
    if (!(length > sph_shell_eps)) {
        std::fill(normalized, normalized + 3, 0.0);
        return 1;
    }
    for (int k = 0; k < 3; ++k) normalized[k] = values[k] / length;
    return sph_success;
}

SphVec3 sph_shell_cross(const double* l, const double* r) {
    return {l[1] * r[2] - l[2] * r[1], l[2] * r[0] - l[0] * r[2], l[0] * r[1] - l[1] * r[0]};
}

// ---- Lookups ----

int32_t sph_shell_find_material(std::string_view name) { return sph_db_find_material(name) + 1; }

int sph_shell_find_shell_material(std::string_view name) {
    return find_in(sph_shell.shell_materials, sph_shell.shell_material_count, name,
                   [](const SphShellMaterial& m) -> const std::string& { return m.shell_material_names; });
}

int sph_shell_find_orientation(std::string_view name) {
    return find_in(sph_shell.shell_orientations, sph_shell.shell_orientation_count, name,
                   [](const SphShellOrientation& o) -> const std::string& { return o.shell_orientation_names; });
}

int sph_shell_find_director_set(std::string_view name) {
    return find_in(sph_shell.shell_director_sets, sph_shell.shell_director_set_count, name,
                   [](const SphShellDirectorSet& s) -> const std::string& { return s.shell_director_set_names; });
}

int sph_shell_find_rotation_set(std::string_view name) {
    return find_in(sph_shell.shell_rotation_sets, sph_shell.shell_rotation_set_count, name,
                   [](const SphShellRotationSet& s) -> const std::string& { return s.shell_rotation_set_names; });
}

int sph_shell_register_material(std::string_view name) {
    const int32_t m = sph_shell_find_material(name);
    if (int k = sph_shell_find_shell_material(name); k >= 0) {
        // The tables outlive a deck read: follow the material to where this deck put it.
        if (m > 0) slot(k).shell_material_ids = m;
        return k;
    }
    SphShell& s = sph_shell;
    if (s.shell_material_count >= sph_shell_max_materials || m <= 0) return -1;
    const int k = s.shell_material_count++;
    slot(k).shell_material_ids = m;
    slot(k).shell_material_names = sph_database.materials[static_cast<std::size_t>(m - 1)].material_name;
    return k;
}

int sph_shell_prepare_material(std::string_view name, int& shell_index) {
    shell_index = sph_shell_find_shell_material(name);
    if (shell_index >= 0) {
        shell_index = sph_shell_register_material(name);
        return sph_success;
    }
    const int32_t m = sph_shell_find_material(name);
    if (m <= 0) return sph_fail(sph_error_input, "Shell material is unknown");
    if (!sph_contains_upper(sph_database.materials[static_cast<std::size_t>(m - 1)].material_type, "SHELL"))
        return sph_fail(sph_error_input, "Shell data references non-Shell material");
    shell_index = sph_shell_register_material(name);
    if (shell_index < 0) return sph_fail(sph_error_input, "failed to register Shell material");
    return sph_success;
}

namespace {

int prepare_params(std::string_view name, SphMaterialParams*& params) {
    int k = -1;
    if (int st = sph_shell_prepare_material(name, k)) return st;
    params = &slot(k).params;
    return sph_success;
}

}  // namespace

const SphMaterialParamsPhase sph_shell_params{"Shell", prepare_params};

void sph_shell_note_material(std::string_view name, std::string_view material_type_in) {
    if (!sph_contains_upper(material_type_in, "SHELL")) return;
    sph_shell.shell_material_seen = true;
    (void)sph_shell_register_material(name);  // a full table surfaces when data arrive
}

// ---- Setters ----

int sph_shell_set_elastic(std::string_view material_name_in, double e_value, double nu_value) {
    return sph_material_params_set_elastic(sph_shell_params, material_name_in, e_value, nu_value);
}

int sph_shell_set_johnson_cook(std::string_view material_name_in, double a_value, double b_value, double n_value,
                               double c_value, double m_value, double epsdot0_value, double troom_value,
                               double tmelt_value) {
    const double values[8] = {a_value, b_value, n_value, c_value, m_value, epsdot0_value, troom_value, tmelt_value};
    return sph_material_params_set_johnson_cook(sph_shell_params, material_name_in, values);
}

int sph_shell_set_failure(std::string_view material_name_in, const double d_values[5]) {
    return sph_material_params_set_failure(sph_shell_params, material_name_in, d_values);
}

int sph_shell_set_control(std::string_view material_name_in, std::string_view softening_name,
                          double softening_width_value) {
    return sph_material_params_set_control(sph_shell_params, material_name_in, softening_name, softening_width_value);
}

int sph_shell_add_orientation(std::string_view name, const double director[3], const double tangent[3]) {
    if (sph_is_blank(name)) return sph_fail(sph_error_input, "Shell orientation is missing NAME");
    if (!sph_shell_vector_is_finite(director, 3))
        return sph_fail(sph_error_input, "Shell orientation director is not finite");
    if (!sph_shell_vector_is_finite(tangent, 3))
        return sph_fail(sph_error_input, "Shell orientation tangent is not finite");
    double d[3], t[3];
    if (sph_shell_normalize_vector(director, d) != 0)
        return sph_fail(sph_error_input, "Shell orientation director is degenerate");
    if (sph_shell_normalize_vector(tangent, t) != 0)
        return sph_fail(sph_error_input, "Shell orientation tangent is degenerate");
    const double td = t[0] * d[0] + t[1] * d[1] + t[2] * d[2];
    const double p[3] = {t[0] - td * d[0], t[1] - td * d[1], t[2] - td * d[2]};
    double unit_p[3];
    if (sph_shell_normalize_vector(p, unit_p) != 0)
        return sph_fail(sph_error_input, "Shell orientation vectors are parallel");
    SphShell& s = sph_shell;
    const int k = slot_for(s.shell_orientations, s.shell_orientation_count, name,
                           [](const SphShellOrientation& o) -> const std::string& { return o.shell_orientation_names; });
    if (k < 0) return sph_fail(sph_error_input, "too many Shell orientation records");
    SphShellOrientation& o = s.shell_orientations[static_cast<std::size_t>(k)];
    o.shell_orientation_names = stored_name(name);
    std::copy(director, director + 3, o.shell_orientation_director.begin());
    std::copy(unit_p, unit_p + 3, o.shell_orientation_tangent.begin());
    o.shell_orientation_used = false;
    return sph_success;
}

int sph_shell_set_director_for_set(std::string_view set_name, const double director[3]) {
    if (sph_is_blank(set_name)) return sph_fail(sph_error_input, "Shell director is missing SET");
    if (!sph_shell_vector_is_finite(director, 3)) return sph_fail(sph_error_input, "Shell director is not finite");
    if (!(sph_shell_norm(director) > sph_shell_eps)) return sph_fail(sph_error_input, "Shell director is degenerate");
    SphShell& s = sph_shell;
    const int k = slot_for(s.shell_director_sets, s.shell_director_set_count, set_name,
                           [](const SphShellDirectorSet& d) -> const std::string& { return d.shell_director_set_names; });
    if (k < 0) return sph_fail(sph_error_input, "too many Shell director set records");
    SphShellDirectorSet& d = s.shell_director_sets[static_cast<std::size_t>(k)];
    d.shell_director_set_names = stored_name(set_name);
    std::copy(director, director + 3, d.shell_director_set_values.begin());
    d.shell_director_set_used = false;
    return sph_success;
}

int sph_shell_set_rotation_for_set(std::string_view set_name, const double omega_value[3],
                                   const double alpha_value[3]) {
    if (sph_is_blank(set_name)) return sph_fail(sph_error_input, "Shell rotation is missing SET");
    if (!sph_shell_vector_is_finite(omega_value, 3))
        return sph_fail(sph_error_input, "Shell angular velocity is not finite");
    if (!sph_shell_vector_is_finite(alpha_value, 3))
        return sph_fail(sph_error_input, "Shell angular acceleration is not finite");
    SphShell& s = sph_shell;
    const int k = slot_for(s.shell_rotation_sets, s.shell_rotation_set_count, set_name,
                           [](const SphShellRotationSet& r) -> const std::string& { return r.shell_rotation_set_names; });
    if (k < 0) return sph_fail(sph_error_input, "too many Shell rotation set records");
    SphShellRotationSet& r = s.shell_rotation_sets[static_cast<std::size_t>(k)];
    r.shell_rotation_set_names = stored_name(set_name);
    std::copy(omega_value, omega_value + 3, r.shell_rotation_set_omega.begin());
    std::copy(alpha_value, alpha_value + 3, r.shell_rotation_set_alpha.begin());
    r.shell_rotation_set_used = false;
    return sph_success;
}

// ---- Counts ----

bool sph_shell_has_active_particle(int32_t mat_number) {
    if (mat_number <= 0) return false;
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(d.npart, 0)); ++i)
        if (d.material_id[i] == mat_number && d.particle_status[i] == sph_status_active &&
            d.particle_phase[i] == sph_phase_shell)
            return true;
    return false;
}

int32_t sph_shell_count_unbound_materials() {
    int32_t count = 0;
    for (int k = 0; k < sph_shell.shell_material_count; ++k) {
        // A material of an earlier deck that this deck does not define is no warning of this deck.
        const int32_t m = sph_shell_find_material(slot(k).shell_material_names);
        if (m <= 0) continue;
        if (!sph_shell_has_active_particle(m)) ++count;
    }
    return count;
}

int32_t sph_shell_count_unused_orientations() {
    int32_t count = 0;
    for (int k = 0; k < sph_shell.shell_orientation_count; ++k)
        if (!sph_shell.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_used) ++count;
    return count;
}

void sph_shell_update_max_angular_velocity() {
    SphShell& s = sph_shell;
    s.shell_max_angular_velocity = 0.0;
    const SphDatabase& d = sph_database;
    const std::size_t n = static_cast<std::size_t>(std::max(d.npart, 0));
    if (n == 0 || sph_shell_state.shell_omega.size() != 3 * n) return;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t index = static_cast<int32_t>(i);
        if (!sph_shell_particle_is_active_section(index, d.section_id[i] - 1)) continue;
        s.shell_max_angular_velocity =
            std::max(s.shell_max_angular_velocity, sph_shell_norm(&sph_shell_state.shell_omega[3 * i]));
    }
}

// ---- Lifecycle ----

void sph_shell_clear_material_table() {
    SphShell& s = sph_shell;
    s.shell_material_seen = false;
    sph_clear_used_slots(s.shell_materials, s.shell_material_count);
    s.shell_material_count = 0;
}

void sph_shell_clear_orientation_table() {
    SphShell& s = sph_shell;
    sph_clear_used_slots(s.shell_orientations, s.shell_orientation_count);
    sph_clear_used_slots(s.shell_director_sets, s.shell_director_set_count);
    sph_clear_used_slots(s.shell_rotation_sets, s.shell_rotation_set_count);
    s.shell_orientation_count = s.shell_director_set_count = s.shell_rotation_set_count = 0;
    s.shell_director_degenerate_count = s.shell_local_frame_degenerate_count = 0;
    s.shell_area_degenerate_count = s.shell_inertia_degenerate_count = 0;
    s.shell_director_max_length_error = s.shell_max_angular_velocity = 0.0;
    s.shell_max_membrane_strain = s.shell_max_bending_strain = s.shell_max_shear_strain = 0.0;
    s.shell_max_ip_strain_increment = 0.0;
    s.shell_active_ip_count = 0;
}

// Initialise starts with an empty particle store, so the per-particle state goes too.
void sph_shell_initialize() {
    sph_shell.shell_module_initialized = true;
    sph_shell_clear_material_table();
    sph_shell_clear_orientation_table();
    sph_shell_deallocate_state();
}

void sph_shell_reset() {
    sph_shell.shell_module_initialized = false;
    sph_shell_clear_material_table();
    sph_shell_clear_orientation_table();
    sph_shell_deallocate_state();
}

void sph_shell_reset_particle_state() { sph_shell_deallocate_state(); }

}  // namespace quorrel
