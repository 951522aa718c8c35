#include <algorithm>
#include <cmath>
#include <exception>
#include <type_traits>
#include <utility>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_index.h"

namespace quorrel {

SphShellIndex sph_shell_index;

namespace {

const SphSectionRecord& section(int sec) { return sph_database.sections[static_cast<std::size_t>(sec)]; }

const double* x0_of(int32_t p) { return &sph_database.x0[3 * static_cast<std::size_t>(p)]; }

SphVec3 minus(const double* a, const double* b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

int allocation_failure() { return sph_fail(sph_error_input, "failed to allocate Shell state"); }

// The element set named like the section (none for a section applied to a node set).
int section_elset(int sec) { return sph_db_find_elset(section(sec).section_name); }

// The particles an element's listed nodes resolve to, in listed order, each once.
void element_particles(const SphElementRecord& e, std::vector<int32_t>& out) {
    out.clear();
    for (int32_t node : e.element_conn) {
        const int32_t p = sph_db_find_node(node);
        if (p >= 0 && std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
    }
}

void sort_unique(std::vector<int32_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

bool holds(const std::vector<int32_t>& sorted, int32_t index) {
    return std::binary_search(sorted.begin(), sorted.end(), index);
}

int build_index() {
    SphShellIndex& x = sph_shell_index;
    const SphDatabase& d = sph_database;
    const std::size_t n = npart_of();
    const std::size_t nsec = d.sections.size();
    x = SphShellIndex{};
    try {
        x.section_particles.assign(nsec, {});
        for (std::size_t i = 0; i < n; ++i) {
            const int32_t s = d.section_id[i] - 1;
            if (s >= 0 && static_cast<std::size_t>(s) < nsec) x.section_particles[static_cast<std::size_t>(s)].push_back(
                static_cast<int32_t>(i));
        }
        // (particle, element) in member order of each section's element set, for the
        // particles of that section.
        std::vector<std::pair<int32_t, int32_t>> holding;
        std::vector<int32_t> nodes;
        for (std::size_t s = 0; s < nsec; ++s) {
            const int es = section_elset(static_cast<int>(s));
            if (es < 0) continue;
            for (int32_t member : d.elsets[static_cast<std::size_t>(es)].members) {
                const int e = sph_db_find_element(member);
                if (e < 0) continue;
                element_particles(d.elements[static_cast<std::size_t>(e)], nodes);
                for (int32_t p : nodes)
                    if (d.section_id[static_cast<std::size_t>(p)] - 1 == static_cast<int32_t>(s))
                        holding.emplace_back(p, e);
            }
        }
        std::stable_sort(holding.begin(), holding.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        x.element_offset.assign(n + 1, 0);
        x.element_list.resize(holding.size());
        for (std::size_t k = 0; k < holding.size(); ++k) {
            x.element_list[k] = holding[k].second;
            ++x.element_offset[static_cast<std::size_t>(holding[k].first) + 1];
        }
        for (std::size_t i = 0; i < n; ++i) x.element_offset[i + 1] += x.element_offset[i];
        const SphShell& sh = sph_shell;
        for (int k = 0; k < sh.shell_director_set_count; ++k)
            x.director_set_particles.push_back(
                sph_shell_named_set_particles(sh.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_names));
        for (int k = 0; k < sh.shell_rotation_set_count; ++k)
            x.rotation_set_particles.push_back(
                sph_shell_named_set_particles(sh.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_names));
        x.cloud_normal_state.assign(nsec, 0);
        x.cloud_normal.assign(nsec, SphVec3{});
    } catch (const std::exception&) {
        x = SphShellIndex{};
        return allocation_failure();
    }
    x.npart = d.npart;
    x.built = true;
    return sph_success;
}

// The elements of the particle's own section element set that hold it, in member order.
std::pair<const int32_t*, const int32_t*> elements_holding(int32_t index) {
    const SphShellIndex& x = sph_shell_index;
    const std::size_t i = static_cast<std::size_t>(index);
    return {x.element_list.data() + x.element_offset[i], x.element_list.data() + x.element_offset[i + 1]};
}

// The first triple i < j < k of the section's active shell particles, in index order, that
// spans a plane gives the normal (x0_j - x0_i) x (x0_k - x0_i). Needs the index.
bool cloud_normal(int sec, SphVec3& director_value) {
    director_value = {0.0, 0.0, 0.0};
    const std::vector<int32_t>& all = sph_shell_index.section_particles[static_cast<std::size_t>(sec)];
    std::vector<int32_t> members;
    for (int32_t p : all)
        if (sph_shell_particle_is_active_section(p, sec)) members.push_back(p);
    const std::size_t n = members.size();
    for (std::size_t a = 0; a < n; ++a)
        for (std::size_t b = a + 1; b < n; ++b) {
            const SphVec3 u = minus(x0_of(members[b]), x0_of(members[a]));
            for (std::size_t c = b + 1; c < n; ++c) {
                const SphVec3 w = minus(x0_of(members[c]), x0_of(members[a]));
                const SphVec3 cross = sph_shell_cross(u.data(), w.data());
                if (sph_shell_norm(cross.data()) > sph_shell_eps) {
                    director_value = cross;
                    return true;
                }
            }
        }
    return false;
}

bool frame_is_orthonormal(const SphVec3& e1, const SphVec3& e2, const SphVec3& e3) {
    if (!sph_shell_vector_is_finite(e1.data(), 3) || !sph_shell_vector_is_finite(e2.data(), 3) ||
        !sph_shell_vector_is_finite(e3.data(), 3))
        return false;
    for (const SphVec3* e : {&e1, &e2, &e3})
        if (!(std::fabs(sph_shell_norm(e->data()) - 1.0) <= 1e-8)) return false;
    if (!(std::fabs(dot(e1.data(), e2.data())) <= 1e-8) || !(std::fabs(dot(e1.data(), e3.data())) <= 1e-8) ||
        !(std::fabs(dot(e2.data(), e3.data())) <= 1e-8))
        return false;
    const SphVec3 c = sph_shell_cross(e1.data(), e2.data());
    return dot(e3.data(), c.data()) >= 0.99999999;
}

}  // namespace

// ---- Index ----

void sph_shell_invalidate_index() { sph_shell_index = SphShellIndex{}; }

int sph_shell_ensure_index() {
    const SphShellIndex& x = sph_shell_index;
    if (x.built && x.npart == sph_database.npart && x.section_particles.size() == sph_database.sections.size())
        return sph_success;
    return build_index();
}

std::vector<int32_t> sph_shell_named_set_particles(std::string_view set_name) {
    const SphDatabase& d = sph_database;
    std::vector<int32_t> out;
    if (int ns = sph_db_find_nset(set_name); ns >= 0)
        for (int32_t member : d.nsets[static_cast<std::size_t>(ns)].members)
            if (int32_t p = sph_db_find_node(member); p >= 0) out.push_back(p);
    if (int es = sph_db_find_elset(set_name); es >= 0) {
        std::vector<int32_t> nodes;
        for (int32_t member : d.elsets[static_cast<std::size_t>(es)].members) {
            const int e = sph_db_find_element(member);
            if (e < 0) continue;
            element_particles(d.elements[static_cast<std::size_t>(e)], nodes);
            out.insert(out.end(), nodes.begin(), nodes.end());
        }
    }
    sort_unique(out);
    return out;
}

// ---- Checks ----

int sph_shell_validate_input() {
    const SphShell& s = sph_shell;
    for (int k = 0; k < s.shell_material_count; ++k) {
        const SphShellMaterial& m = s.shell_materials[static_cast<std::size_t>(k)];
        // A slot whose material this deck does not define has no particles to check.
        if (m.shell_material_ids <= 0 || !sph_shell_has_active_particle(m.shell_material_ids)) continue;
        const SphMaterialRecord& rec = sph_database.materials[static_cast<std::size_t>(m.shell_material_ids - 1)];
        if (int st = sph_material_params_check_active(sph_shell_params, m.params, rec.material_density)) return st;
    }
    return sph_shell_validate_particle_sections();
}

int sph_shell_validate_particle_sections() {
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (d.particle_status[i] != sph_status_active || d.particle_phase[i] != sph_phase_shell) continue;
        const int32_t sec = d.section_id[i] - 1;
        if (sec < 0 || sec >= static_cast<int32_t>(d.sections.size()))
            return sph_fail(sph_error_input, "active Shell particle is missing Shell section");
        if (!sph_contains_upper(section(sec).section_type, "SHELL"))
            return sph_fail(sph_error_input, "active Shell particle is not bound to Shell section");
        if (section(sec).section_material_id != d.material_id[i])
            return sph_fail(sph_error_input, "active Shell particle section material mismatch");
        if (int st = sph_shell_validate_section_values(sec)) return st;
    }
    return sph_success;
}

int sph_shell_validate_section_values(int sec) {
    const SphSectionRecord& r = section(sec);
    if (!sph_shell_scalar_is_finite(r.section_thickness) || !(r.section_thickness > 0.0))
        return sph_fail(sph_error_input, "Shell section thickness must be positive");
    if (r.section_integration_points != 3 && r.section_integration_points != 5)
        return sph_fail(sph_error_input, "Shell section POINTS must be 3 or 5");
    if (!sph_shell_scalar_is_finite(r.section_shear_correction) || !(r.section_shear_correction > 0.0) ||
        r.section_shear_correction > 1.0)
        return sph_fail(sph_error_input, "Shell section SHEAR_CORRECTION is invalid");
    return sph_success;
}

// ---- Storage ----

void sph_shell_reset_build_diagnostics() {
    SphShell& s = sph_shell;
    s.shell_director_degenerate_count = s.shell_local_frame_degenerate_count = 0;
    s.shell_area_degenerate_count = s.shell_inertia_degenerate_count = 0;
    s.shell_director_max_length_error = s.shell_max_angular_velocity = 0.0;
}

bool sph_shell_state_present() {
    const std::size_t n = npart_of();
    if (n == 0) return false;
    bool present = true;
    sph_shell_for_each_array(sph_shell_state, [&](auto& values, std::size_t components) {
        present = present && values.size() == components * n;
    });
    return present;
}

int sph_shell_allocate_state() {
    const std::size_t n = npart_of();
    if (n == 0) {
        sph_shell_deallocate_state();
        return sph_success;
    }
    if (sph_shell_state_present()) return sph_success;
    sph_shell_deallocate_state();
    try {
        sph_shell_for_each_array(sph_shell_state,
                                 [n](auto& values, std::size_t components) { values.assign(components * n, {}); });
    } catch (const std::exception&) {
        sph_shell_deallocate_state();
        return allocation_failure();
    }
    return sph_success;
}

void sph_shell_deallocate_state() {
    sph_shell_for_each_array(sph_shell_state, [](auto& values, std::size_t) {
        using Vector = std::remove_reference_t<decltype(values)>;
        Vector().swap(values);
    });
    sph_shell_invalidate_index();
}

void sph_shell_clear_particle_state() {
    sph_shell_for_each_array(sph_shell_state,
                             [](auto& values, std::size_t) { std::fill(values.begin(), values.end(), 0); });
}

bool sph_shell_facet_geometry(int32_t index, double normal[3], double& area) {
    // The two arrays it reads, at this model's size (the arrays are allocated together).
    const std::size_t n = npart_of();
    const SphShellState& st = sph_shell_state;
    if (n == 0 || st.shell_director.size() != 3 * n || st.shell_reference_area.size() != n || index < 0 ||
        index >= sph_database.npart)
        return false;
    const std::size_t i = static_cast<std::size_t>(index);
    std::copy_n(&sph_shell_state.shell_director[3 * i], 3, normal);
    area = sph_shell_state.shell_reference_area[i];
    return true;
}

// ---- Build ----

int sph_shell_build_state() {
    SphShell& s = sph_shell;
    if (!s.shell_material_seen) {
        sph_shell_deallocate_state();
        return sph_success;
    }
    // The tables outlive a deck read: find each material where this deck put it.
    for (int k = 0; k < s.shell_material_count; ++k) {
        SphShellMaterial& m = s.shell_materials[static_cast<std::size_t>(k)];
        m.shell_material_ids = sph_shell_find_material(m.shell_material_names);
    }
    if (int st = sph_shell_validate_input()) return st;
    sph_shell_reset_build_diagnostics();
    for (int k = 0; k < s.shell_orientation_count; ++k) s.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_used = false;
    for (int k = 0; k < s.shell_director_set_count; ++k) s.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_used = false;
    for (int k = 0; k < s.shell_rotation_set_count; ++k) s.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_used = false;
    if (int st = sph_shell_allocate_state()) return st;
    sph_shell_clear_particle_state();
    sph_shell_invalidate_index();
    if (int st = sph_shell_ensure_index()) return st;
    return sph_shell_initialize_particle_state();
}

int sph_shell_initialize_particle_state() {
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (d.particle_status[i] != sph_status_active || d.particle_phase[i] != sph_phase_shell) continue;
        if (int st = sph_shell_initialize_active_particle(static_cast<int32_t>(i), d.section_id[i] - 1)) return st;
    }
    return sph_success;
}

int sph_shell_initialize_active_particle(int32_t index, int sec) {
    const SphDatabase& d = sph_database;
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    const SphSectionRecord& r = section(sec);
    st.shell_thickness[i] = r.section_thickness;
    if (int e = sph_shell_initialize_director(index, sec)) return e;
    if (int e = sph_shell_initialize_reference_measures(index)) return e;
    if (int e = sph_shell_initialize_local_frame(index, sec)) return e;
    if (int e = sph_shell_initialize_rotation(index)) return e;
    st.shell_internal_energy[i] = d.internal_energy[i];
    st.shell_softening[i] = 1.0;
    st.shell_failure_status[i] = 0;
    st.shell_ip_count[i] = r.section_integration_points;
    constexpr std::size_t p = sph_shell_max_integration_points;
    if (int e = sph_shell_set_integration_rule(r.section_integration_points, &st.shell_ip_coord[p * i],
                                               &st.shell_ip_weight[p * i]))
        return e;
    for (std::size_t k = 0; k < static_cast<std::size_t>(r.section_integration_points); ++k) {
        st.shell_ip_temperature[p * i + k] = d.temperature[i];
        st.shell_ip_softening[p * i + k] = 1.0;
    }
    return sph_success;
}

int sph_shell_initialize_director(int32_t index, int sec) {
    SphShell& s = sph_shell;
    SphVec3 director{};
    double area = 0.0;
    bool found = false;
    int32_t status = sph_shell_director_none;
    sph_shell_find_director_for_particle(index, director, found);
    if (found) {
        status = sph_shell_director_input;
    } else if (sph_is_blank(section(sec).section_orientation_name)) {
        if (int e = sph_shell_compute_geometry_for_particle(index, sec, director, area)) return e;
        status = sph_shell_director_geometry;
    } else {
        const int o = sph_shell_find_orientation(section(sec).section_orientation_name);
        if (o < 0) return sph_fail(sph_error_input, "Shell section references unknown orientation");
        SphShellOrientation& rec = s.shell_orientations[static_cast<std::size_t>(o)];
        director = rec.shell_orientation_director;
        rec.shell_orientation_used = true;
        status = sph_shell_director_orientation;
    }
    if (int e = sph_shell_apply_director(index, director.data(), status)) return e;
    if (!(area > sph_shell_eps))
        if (int e = sph_shell_estimate_reference_area(index, sec, area)) return e;
    sph_shell_state.shell_reference_area[static_cast<std::size_t>(index)] = area;
    return sph_success;
}

int sph_shell_apply_director(int32_t index, const double director_value[3], int32_t source_status) {
    SphShell& s = sph_shell;
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    const bool finite = sph_shell_vector_is_finite(director_value, 3);
    const double length = finite ? sph_shell_norm(director_value) : 0.0;
    if (!finite || !(length > sph_shell_eps)) {
        s.shell_director_degenerate_count += 1;
        st.shell_director_status[i] = sph_shell_director_degenerate;
        return sph_fail(sph_error_input, finite ? "Shell director is degenerate" : "Shell director is not finite");
    }
    s.shell_director_max_length_error = std::max(s.shell_director_max_length_error, std::fabs(length - 1.0));
    for (std::size_t k = 0; k < 3; ++k) st.shell_director[3 * i + k] = director_value[k] / length;
    st.shell_director_status[i] = source_status;
    return sph_success;
}

int sph_shell_initialize_reference_measures(int32_t index) {
    SphShell& s = sph_shell;
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    const double area = st.shell_reference_area[i];
    if (!sph_shell_scalar_is_finite(area) || !(area > sph_shell_eps)) {
        s.shell_area_degenerate_count += 1;
        return sph_fail(sph_error_input, "Shell reference area is degenerate");
    }
    const double t = st.shell_thickness[i];
    const double inertia = t * (sph_database.mass[i] * t) / 12.0;
    st.shell_rotational_inertia[i] = inertia;
    if (!sph_shell_scalar_is_finite(inertia) || !(inertia > sph_shell_eps)) {
        s.shell_inertia_degenerate_count += 1;
        return sph_fail(sph_error_input, "Shell rotational inertia is degenerate");
    }
    return sph_success;
}

int sph_shell_initialize_local_frame(int32_t index, int sec) {
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    SphVec3 e3{}, e1{}, e2{}, tangent{};
    if (sph_shell_normalize_vector(&st.shell_director[3 * i], e3.data()) != 0)
        return sph_shell_mark_local_frame_degenerate(index, "Shell local frame director is degenerate");
    bool found = false;
    sph_shell_find_frame_tangent(index, sec, tangent, found);
    if (!found) sph_shell_choose_fallback_tangent(e3, tangent);
    const double te3 = dot(tangent.data(), e3.data());
    const double projected[3] = {tangent[0] - te3 * e3[0], tangent[1] - te3 * e3[1], tangent[2] - te3 * e3[2]};
    // A tangent along the director fails here; no other tangent is tried.
    if (sph_shell_normalize_vector(projected, e1.data()) != 0)
        return sph_shell_mark_local_frame_degenerate(index, "Shell local frame tangent is degenerate");
    const SphVec3 normal = sph_shell_cross(e3.data(), e1.data());
    if (sph_shell_normalize_vector(normal.data(), e2.data()) != 0)
        return sph_shell_mark_local_frame_degenerate(index, "Shell local frame normal is degenerate");
    if (sph_shell_validate_local_frame(e1, e2, e3) != 0)
        return sph_shell_mark_local_frame_degenerate(index, "Shell local frame is not orthonormal");
    std::copy(e1.begin(), e1.end(), &st.shell_local_e1[3 * i]);
    std::copy(e2.begin(), e2.end(), &st.shell_local_e2[3 * i]);
    std::copy(e3.begin(), e3.end(), &st.shell_local_e3[3 * i]);
    st.shell_local_frame_status[i] = sph_shell_frame_ok;
    return sph_success;
}

int sph_shell_initialize_rotation(int32_t index) {
    SphShell& s = sph_shell;
    SphShellState& st = sph_shell_state;
    const std::size_t i = static_cast<std::size_t>(index);
    SphVec3 omega{}, alpha{};
    if (int e = sph_shell_ensure_index()) return e;
    const auto& members = sph_shell_index.rotation_set_particles;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (!holds(members[k], index)) continue;
        SphShellRotationSet& r = s.shell_rotation_sets[k];
        omega = r.shell_rotation_set_omega;
        alpha = r.shell_rotation_set_alpha;
        r.shell_rotation_set_used = true;
        break;
    }
    std::copy(omega.begin(), omega.end(), &st.shell_omega[3 * i]);
    std::copy(alpha.begin(), alpha.end(), &st.shell_alpha[3 * i]);
    if (!sph_shell_vector_is_finite(omega.data(), 3))
        return sph_fail(sph_error_input, "Shell angular velocity is not finite");
    if (!sph_shell_vector_is_finite(alpha.data(), 3))
        return sph_fail(sph_error_input, "Shell angular acceleration is not finite");
    s.shell_max_angular_velocity = std::max(s.shell_max_angular_velocity, sph_shell_norm(omega.data()));
    return sph_success;
}

int sph_shell_set_integration_rule(int32_t point_count, double coords[5], double weights[5]) {
    std::fill(coords, coords + 5, 0.0);
    std::fill(weights, weights + 5, 0.0);
    // Gauss-Legendre on [-1/2, 1/2]: coordinates are fractions of the thickness, weights sum to 1.
    static constexpr double c3[3] = {-0.3872983346207417, 0.0, 0.3872983346207417};
    static constexpr double w3[3] = {0.2777777777777778, 0.4444444444444444, 0.2777777777777778};
    static constexpr double c5[5] = {-0.453089922969332, -0.26923465505284155, 0.0, 0.26923465505284155,
                                     0.453089922969332};
    static constexpr double w5[5] = {0.11846344252809454, 0.23931433524968324, 0.28444444444444444,
                                     0.23931433524968324, 0.11846344252809454};
    if (point_count == 3) {
        std::copy(c3, c3 + 3, coords);
        std::copy(w3, w3 + 3, weights);
    } else if (point_count == 5) {
        std::copy(c5, c5 + 5, coords);
        std::copy(w5, w5 + 5, weights);
    } else {
        return sph_fail(sph_error_input, "Shell integration point count must be 3 or 5");
    }
    return sph_success;
}

// ---- Geometry ----

bool sph_shell_particle_is_active_section(int32_t index, int sec) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return false;
    const std::size_t i = static_cast<std::size_t>(index);
    return d.particle_status[i] == sph_status_active && d.particle_phase[i] == sph_phase_shell &&
           d.section_id[i] - 1 == sec;
}

bool sph_shell_element_contains_particle(int elem_index, int32_t particle_index) {
    const auto& elements = sph_database.elements;
    if (elem_index < 0 || elem_index >= std::min<int>(sph_max_elements, static_cast<int>(elements.size())))
        return false;
    for (int32_t node : elements[static_cast<std::size_t>(elem_index)].element_conn)
        if (sph_db_find_node(node) == particle_index) return true;
    return false;
}

bool sph_shell_particle_in_named_set(int32_t index, std::string_view set_name) {
    return holds(sph_shell_named_set_particles(set_name), index);
}

void sph_shell_find_director_for_particle(int32_t index, SphVec3& director_value, bool& found) {
    director_value = {0.0, 0.0, 0.0};
    found = false;
    if (sph_shell_ensure_index() != 0) return;
    SphShell& s = sph_shell;
    const auto& members = sph_shell_index.director_set_particles;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (!holds(members[k], index)) continue;
        SphShellDirectorSet& set = s.shell_director_sets[k];
        director_value = set.shell_director_set_values;
        set.shell_director_set_used = true;
        found = true;
        return;
    }
}

void sph_shell_triangle_area_vector(int32_t node1, int32_t node2, int32_t node3, SphVec3& area_vector,
                                    double& area_value) {
    const SphVec3 a = minus(x0_of(node2), x0_of(node1));
    const SphVec3 b = minus(x0_of(node3), x0_of(node1));
    const SphVec3 c = sph_shell_cross(a.data(), b.data());
    area_vector = {0.5 * c[0], 0.5 * c[1], 0.5 * c[2]};
    area_value = sph_shell_norm(area_vector.data());
}

int sph_shell_element_area_vector(int elem_index, SphVec3& area_vector, double& area_value) {
    area_vector = {0.0, 0.0, 0.0};
    area_value = 0.0;
    const SphElementRecord& e = sph_database.elements[static_cast<std::size_t>(elem_index)];
    if (e.element_conn.size() < 3) return sph_success;
    int32_t p[4] = {-1, -1, -1, -1};
    const std::size_t corners = e.element_conn.size() >= 4 ? 4 : 3;
    for (std::size_t k = 0; k < corners; ++k) {
        p[k] = sph_db_find_node(e.element_conn[k]);
        if (p[k] < 0) return sph_fail(sph_error_input, "Shell element references unknown node");
    }
    sph_shell_triangle_area_vector(p[0], p[1], p[2], area_vector, area_value);
    if (corners == 4) {
        SphVec3 second{};
        double second_area = 0.0;
        sph_shell_triangle_area_vector(p[0], p[2], p[3], second, second_area);
        for (std::size_t k = 0; k < 3; ++k) area_vector[k] += second[k];
        area_value += second_area;
    }
    return sph_success;
}

int sph_shell_compute_element_geometry(int32_t index, int sec, SphVec3& normal_sum, double& area_value,
                                       bool& has_normal, bool& has_area) {
    normal_sum = {0.0, 0.0, 0.0};
    area_value = 0.0;
    has_normal = has_area = false;
    if (int st = sph_shell_ensure_index()) return st;
    if (section_elset(sec) < 0) return sph_success;
    const auto [first, last] = elements_holding(index);
    for (const int32_t* e = first; e != last; ++e) {
        SphVec3 vec{};
        double area = 0.0;
        if (int st = sph_shell_element_area_vector(*e, vec, area)) return st;
        const std::size_t listed = sph_database.elements[static_cast<std::size_t>(*e)].element_conn.size();
        if (area > sph_shell_eps) {
            for (std::size_t k = 0; k < 3; ++k) normal_sum[k] += vec[k];
            // The particle's lumped share: the element's area split among its listed nodes.
            area_value += area / static_cast<double>(std::max<std::size_t>(1, listed));
            has_normal = has_area = true;
        } else if (listed > 2) {
            sph_shell.shell_area_degenerate_count += 1;
        }
    }
    return sph_success;
}

int sph_shell_compute_geometry_for_particle(int32_t index, int sec, SphVec3& director_value, double& area_value) {
    bool has_normal = false, has_area = false;
    if (int st = sph_shell_compute_element_geometry(index, sec, director_value, area_value, has_normal, has_area))
        return st;
    if (!has_normal) {
        // Once per section and build: the cloud normal depends only on the section.
        SphShellIndex& x = sph_shell_index;
        const std::size_t s = static_cast<std::size_t>(sec);
        if (x.cloud_normal_state[s] == 0) x.cloud_normal_state[s] = cloud_normal(sec, x.cloud_normal[s]) ? 1 : -1;
        if (x.cloud_normal_state[s] < 0) {
            sph_shell.shell_director_degenerate_count += 1;
            return sph_fail(sph_error_input, "active Shell particle director cannot be inferred");
        }
        director_value = x.cloud_normal[s];
    }
    if (!has_area)
        if (int st = sph_shell_estimate_reference_area(index, sec, area_value)) return st;
    return sph_success;
}

int sph_shell_estimate_reference_area(int32_t index, int sec, double& area_value) {
    SphVec3 normal{};
    bool has_normal = false, has_area = false;
    if (int st = sph_shell_compute_element_geometry(index, sec, normal, area_value, has_normal, has_area)) return st;
    if (!has_area) {
        const double t = section(sec).section_thickness;
        area_value = t > sph_shell_eps ? sph_database.volume[static_cast<std::size_t>(index)] / t : 0.0;
    }
    if (!sph_shell_scalar_is_finite(area_value) || !(area_value > sph_shell_eps)) {
        sph_shell.shell_area_degenerate_count += 1;
        return sph_fail(sph_error_input, "Shell reference area is degenerate");
    }
    return sph_success;
}

int sph_shell_infer_cloud_director(int sec, SphVec3& director_value) {
    if (int st = sph_shell_ensure_index()) return st;
    if (!cloud_normal(sec, director_value))
        return sph_fail(sph_error_input, "active Shell particle director cannot be inferred");
    return sph_success;
}

// ---- Frame ----

void sph_shell_find_frame_tangent(int32_t index, int sec, SphVec3& tangent, bool& found) {
    tangent = {0.0, 0.0, 0.0};
    found = false;
    const std::string& name = section(sec).section_orientation_name;
    if (!sph_is_blank(name)) {
        // The tangent of an orientation does not mark it used.
        if (int o = sph_shell_find_orientation(name); o >= 0) {
            tangent = sph_shell.shell_orientations[static_cast<std::size_t>(o)].shell_orientation_tangent;
            found = true;
            return;
        }
    }
    sph_shell_find_element_tangent(index, sec, tangent, found);
    if (!found) sph_shell_find_cloud_tangent(sec, tangent, found);
}

void sph_shell_find_element_tangent(int32_t index, int sec, SphVec3& tangent, bool& found) {
    tangent = {0.0, 0.0, 0.0};
    found = false;
    if (sph_shell_ensure_index() != 0 || section_elset(sec) < 0) return;
    const auto [first, last] = elements_holding(index);
    for (const int32_t* e = first; e != last; ++e) {
        const SphElementRecord& rec = sph_database.elements[static_cast<std::size_t>(*e)];
        if (rec.element_conn.size() < 2) continue;
        const int32_t p1 = sph_db_find_node(rec.element_conn[0]), p2 = sph_db_find_node(rec.element_conn[1]);
        if (p1 < 0 || p2 < 0) continue;
        const SphVec3 edge = minus(x0_of(p2), x0_of(p1));
        if (sph_shell_norm(edge.data()) > sph_shell_eps) {
            tangent = edge;
            found = true;
            return;
        }
    }
}

void sph_shell_find_cloud_tangent(int sec, SphVec3& tangent, bool& found) {
    tangent = {0.0, 0.0, 0.0};
    found = false;
    if (sph_shell_ensure_index() != 0) return;
    const std::vector<int32_t>& members = sph_shell_index.section_particles[static_cast<std::size_t>(sec)];
    for (std::size_t a = 0; a < members.size(); ++a) {
        if (!sph_shell_particle_is_active_section(members[a], sec)) continue;
        for (std::size_t b = a + 1; b < members.size(); ++b) {
            if (!sph_shell_particle_is_active_section(members[b], sec)) continue;
            const SphVec3 edge = minus(x0_of(members[b]), x0_of(members[a]));
            if (sph_shell_norm(edge.data()) > sph_shell_eps) {
                tangent = edge;
                found = true;
                return;
            }
        }
    }
}

void sph_shell_choose_fallback_tangent(const SphVec3& e3, SphVec3& tangent) {
    tangent = std::fabs(e3[0]) > 0.9 ? SphVec3{0.0, 1.0, 0.0} : SphVec3{1.0, 0.0, 0.0};
}

int sph_shell_validate_local_frame(const SphVec3& e1, const SphVec3& e2, const SphVec3& e3) {
    // 1 when the frame is not orthonormal; the caller marks the particle with its message.
    return frame_is_orthonormal(e1, e2, e3) ? sph_success : 1;
}

int sph_shell_mark_local_frame_degenerate(int32_t index, std::string_view message) {
    sph_shell.shell_local_frame_degenerate_count += 1;
    sph_shell_state.shell_local_frame_status[static_cast<std::size_t>(index)] = sph_shell_frame_degenerate;
    return sph_fail(sph_error_input, std::string(message));
}

}  // namespace quorrel
