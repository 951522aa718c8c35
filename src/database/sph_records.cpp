#include <algorithm>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"

namespace quorrel {

std::string sph_db_upper(std::string_view text) { return sph_upper(text); }

bool sph_db_name_equal(std::string_view left, std::string_view right) {
    return sph_equal_ignore_case(sph_trim_right(left), sph_trim_right(right));
}

namespace {

template <typename Table, typename NameOf>
int find_by_name(const Table& table, std::string_view name, NameOf name_of) {
    // Names are stored cut to 64 characters, so compare against the cut name too.
    std::string key = sph_fixed(name, sph_name_len);
    for (std::size_t i = 0; i < table.size(); ++i)
        if (sph_db_name_equal(name_of(table[i]), key)) return static_cast<int>(i);
    return -1;
}

int add_set(std::vector<SphSetRecord>& sets, std::string_view name, int32_t member_count, const int32_t* members,
            const char* full_message) {
    // A set continued on later lines of the deck arrives under the same name: append.
    int existing = find_by_name(sets, name, [](const SphSetRecord& s) -> const std::string& { return s.name; });
    if (existing < 0 && static_cast<int>(sets.size()) >= sph_max_sets)
        return sph_fail(sph_error_database, full_message);
    SphSetRecord* set;
    if (existing >= 0) {
        set = &sets[static_cast<std::size_t>(existing)];
    } else {
        sets.emplace_back();
        set = &sets.back();
        set->name = sph_fixed(name, sph_name_len);
    }
    int32_t n = std::clamp<int32_t>(member_count, 0, sph_max_set_members);
    if (members == nullptr) n = 0;
    for (int32_t k = 0; k < n && static_cast<int>(set->members.size()) < sph_max_set_members; ++k)
        set->members.push_back(members[k]);
    set->first_member = set->members.empty() ? 0 : set->members.front();
    return sph_success;
}

}  // namespace

int sph_db_find_material(std::string_view name) {
    return find_by_name(sph_database.materials, name,
                        [](const SphMaterialRecord& r) -> const std::string& { return r.material_name; });
}
int sph_db_find_section(std::string_view name) {
    return find_by_name(sph_database.sections, name,
                        [](const SphSectionRecord& r) -> const std::string& { return r.section_name; });
}
int sph_db_find_nset(std::string_view name) {
    return find_by_name(sph_database.nsets, name, [](const SphSetRecord& r) -> const std::string& { return r.name; });
}
int sph_db_find_elset(std::string_view name) {
    return find_by_name(sph_database.elsets, name, [](const SphSetRecord& r) -> const std::string& { return r.name; });
}
int sph_db_find_element(int32_t ext_id) {
    auto it = sph_database.element_index.find(ext_id);
    return it == sph_database.element_index.end() ? -1 : it->second;
}
int sph_db_find_node(int32_t ext_id) {
    SphDatabase& d = sph_database;
    if (d.node_index_stale) {
        d.node_index.clear();
        d.node_index.reserve(static_cast<std::size_t>(d.npart));
        // emplace keeps the first particle of a repeated number.
        for (int32_t i = 0; i < d.npart; ++i) d.node_index.emplace(d.particle_id_ext[static_cast<std::size_t>(i)], i);
        d.node_index_stale = false;
    }
    auto it = sph_database.node_index.find(ext_id);
    return it == sph_database.node_index.end() ? -1 : it->second;
}

int sph_db_add_material(std::string_view name, std::string_view mtype) {
    SphDatabase& d = sph_database;
    if (static_cast<int>(d.materials.size()) >= sph_max_materials)
        return sph_fail(sph_error_database, "too many material records");
    SphMaterialRecord r;
    r.material_name = sph_fixed(name, sph_name_len);
    r.material_type = sph_fixed(mtype, sph_name_len);
    r.material_internal_id = static_cast<int32_t>(d.materials.size()) + 1;
    r.material_density = 0.0;
    d.materials.push_back(std::move(r));
    return sph_success;
}

int sph_db_set_material_density(std::string_view name, double density_value) {
    if (!sph_within_half_max(density_value)) return sph_fail(sph_error_argument, "material density must be finite");
    if (density_value <= 0.0) return sph_fail(sph_error_argument, "material density must be positive");
    int m = sph_db_find_material(name);
    if (m < 0) return sph_fail(sph_error_database, "density references unknown material");
    sph_database.materials[static_cast<std::size_t>(m)].material_density = density_value;
    return sph_success;
}

int sph_db_add_section(std::string_view name, std::string_view stype, std::string_view mat_name, double thickness,
                       int32_t points, double shear_correction, std::string_view orientation_name) {
    SphDatabase& d = sph_database;
    if (static_cast<int>(d.sections.size()) >= sph_max_sections)
        return sph_fail(sph_error_database, "too many section records");
    int m = sph_db_find_material(mat_name);
    if (m < 0) return sph_fail(sph_error_database, "section references unknown material");
    if (sph_db_find_elset(name) < 0 && sph_db_find_nset(name) < 0)
        return sph_fail(sph_error_database, "section references unknown set");
    SphSectionRecord r;
    r.section_name = sph_fixed(name, sph_name_len);
    r.section_type = sph_fixed(stype, sph_name_len);
    r.section_material_name = sph_fixed(mat_name, sph_name_len);
    r.section_material_id = m + 1;
    r.section_orientation_name = sph_fixed(orientation_name, sph_name_len);
    r.section_thickness = thickness;
    r.section_integration_points = points;
    r.section_shear_correction = shear_correction;
    d.sections.push_back(std::move(r));
    return sph_success;
}

int sph_db_add_nset(std::string_view name, int32_t member_count, const int32_t* members) {
    return add_set(sph_database.nsets, name, member_count, members, "too many node set records");
}

int sph_db_add_elset(std::string_view name, int32_t member_count, const int32_t* members) {
    return add_set(sph_database.elsets, name, member_count, members, "too many element set records");
}

int sph_db_add_element(int32_t ext_id, std::string_view etype, int32_t conn_count, const int32_t* conn_values) {
    SphDatabase& d = sph_database;
    if (static_cast<int>(d.elements.size()) >= sph_max_elements)
        return sph_fail(sph_error_database, "too many element records");
    SphElementRecord r;
    r.element_id_ext = ext_id;
    r.element_type = sph_fixed(etype, sph_name_len);
    int32_t n = std::clamp<int32_t>(conn_count, 0, sph_max_element_nodes);
    if (conn_values == nullptr) n = 0;
    r.element_conn.assign(conn_values, conn_values + n);
    d.element_index.emplace(ext_id, static_cast<int32_t>(d.elements.size()));
    d.elements.push_back(std::move(r));
    return sph_success;
}

void sph_db_clear_metadata() {
    SphDatabase& d = sph_database;
    d.materials.clear();
    d.sections.clear();
    d.nsets.clear();
    d.elsets.clear();
    d.elements.clear();
    d.element_index.clear();
    sph_db_clear_coupling_regions();
    sph_db_reset_host_options();
}

int sph_db_phase_from_type(std::string_view mtype) {
    if (sph_contains_upper(mtype, "WATER")) return sph_phase_water;
    if (sph_contains_upper(mtype, "GAS")) return sph_phase_gas;
    if (sph_contains_upper(mtype, "EXPLOSIVE")) return sph_phase_explosive;
    if (sph_contains_upper(mtype, "SHELL")) return sph_phase_shell;
    if (sph_contains_upper(mtype, "BOUNDARY")) return sph_phase_boundary;
    return sph_phase_solid;
}

int sph_db_phase_from_material(int32_t material_number) {
    const SphDatabase& d = sph_database;
    if (material_number < 1 || material_number > static_cast<int32_t>(d.materials.size())) return sph_phase_solid;
    return sph_db_phase_from_type(d.materials[static_cast<std::size_t>(material_number - 1)].material_type);
}

namespace {

void assign_section(int particle, int section) {
    SphDatabase& d = sph_database;
    if (particle < 0 || particle >= d.npart) return;
    if (section < 0 || section >= static_cast<int>(d.sections.size())) return;
    const int32_t m = d.sections[static_cast<std::size_t>(section)].section_material_id;
    if (m < 1 || m > static_cast<int32_t>(d.materials.size())) return;
    d.section_id[static_cast<std::size_t>(particle)] = section + 1;
    d.material_id[static_cast<std::size_t>(particle)] = m;
    d.particle_phase[static_cast<std::size_t>(particle)] = sph_db_phase_from_material(m);
}

}  // namespace

int sph_db_apply_sections_to_particles() {
    const SphDatabase& d = sph_database;
    for (std::size_t s = 0; s < d.sections.size(); ++s) {
        const std::string& name = d.sections[s].section_name;
        int es = sph_db_find_elset(name);
        if (es >= 0) {
            for (int32_t elem_no : d.elsets[static_cast<std::size_t>(es)].members) {
                int e = sph_db_find_element(elem_no);
                if (e < 0) continue;
                for (int32_t node_no : d.elements[static_cast<std::size_t>(e)].element_conn) {
                    int p = sph_db_find_node(node_no);
                    if (p >= 0) assign_section(p, static_cast<int>(s));
                }
            }
            continue;
        }
        int ns = sph_db_find_nset(name);
        if (ns < 0) continue;
        for (int32_t node_no : d.nsets[static_cast<std::size_t>(ns)].members) {
            int p = sph_db_find_node(node_no);
            if (p >= 0) assign_section(p, static_cast<int>(s));
        }
    }
    return sph_success;
}

}  // namespace quorrel
