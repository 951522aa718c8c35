#include <cstddef>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"

namespace quorrel {

namespace {

// Build-time marker per particle: holds the number (1-based) of the region whose
// list already has the particle, so de-duplication is O(1) per candidate.
std::vector<int32_t> region_stamp;
// Scratch list of the region being built; committed only when the region succeeds.
std::vector<int32_t> region_scratch;

bool is_all_set(std::string_view set_name) { return sph_db_name_equal(set_name, "ALL"); }

int find_region(std::string_view name) {
    const std::string key = sph_fixed(name, sph_name_len);
    const auto& regions = sph_database.coupling_regions;
    for (std::size_t r = 0; r < regions.size(); ++r)
        if (sph_db_name_equal(regions[r].coupling_region_name, key)) return static_cast<int>(r);
    return -1;
}

void sph_db_store_coupling_region(SphCouplingRegionRecord& rec, int32_t index, std::string_view name,
                                  std::string_view set_name, int32_t region_type, int32_t export_mode,
                                  int32_t import_mode, int32_t load_mode, int32_t distribution_mode,
                                  int32_t contact_state_mode, bool enabled, std::string_view surface_name,
                                  int32_t phase_filter, std::string_view material_filter_name,
                                  std::string_view section_filter_name, int32_t material_filter,
                                  int32_t section_filter) {
    rec.coupling_region_name = sph_fixed(name, sph_name_len);
    rec.coupling_region_set_name = sph_fixed(set_name, sph_name_len);
    rec.coupling_region_surface_name = sph_fixed(surface_name, sph_name_len);
    rec.coupling_region_material_name = sph_fixed(material_filter_name, sph_name_len);
    rec.coupling_region_section_name = sph_fixed(section_filter_name, sph_name_len);
    rec.coupling_region_type = region_type;
    rec.coupling_region_export_mode = export_mode;
    rec.coupling_region_import_mode = import_mode;
    rec.coupling_region_load_mode = load_mode;
    rec.coupling_region_distribution_mode = distribution_mode;
    rec.coupling_region_contact_state_mode = contact_state_mode;
    rec.coupling_region_enabled = enabled ? 1 : 0;
    rec.coupling_region_phase_filter = phase_filter;
    rec.coupling_region_material_filter = material_filter;
    rec.coupling_region_section_filter = section_filter;
    rec.coupling_region_internal_id = index + 1;
    rec.coupling_region_particles.clear();
}

// Takes one candidate particle into the region being built (0-based indices).
[[nodiscard]] int sph_db_add_coupling_particle(int region, int particle) {
    if (!sph_db_coupling_accepts_particle(region, particle)) return sph_success;
    int32_t& stamp = region_stamp[static_cast<std::size_t>(particle)];
    if (stamp == region + 1) return sph_success;
    if (static_cast<int>(region_scratch.size()) >= sph_max_region_particles)
        return sph_fail(sph_error_database, "too many particles in coupling region");
    stamp = region + 1;
    region_scratch.push_back(particle);
    return sph_success;
}

int collect_node_numbers(int region, const std::vector<int32_t>& node_numbers) {
    for (int32_t node_no : node_numbers) {
        const int p = sph_db_find_node(node_no);
        if (p < 0) continue;
        if (int st = sph_db_add_coupling_particle(region, p)) return st;
    }
    return sph_success;
}

int collect_region(int region) {
    const SphDatabase& d = sph_database;
    const std::string& set_name = d.coupling_regions[static_cast<std::size_t>(region)].coupling_region_set_name;
    if (is_all_set(set_name)) {
        for (int p = 0; p < d.npart; ++p)
            if (int st = sph_db_add_coupling_particle(region, p)) return st;
        return sph_success;
    }
    // A node set wins over an element set of the same name here.
    const int ns = sph_db_find_nset(set_name);
    if (ns >= 0) return collect_node_numbers(region, d.nsets[static_cast<std::size_t>(ns)].members);
    const int es = sph_db_find_elset(set_name);
    if (es < 0) return sph_fail(sph_error_database, "coupling region references unknown set");
    for (int32_t elem_no : d.elsets[static_cast<std::size_t>(es)].members) {
        const int e = sph_db_find_element(elem_no);
        if (e < 0) continue;
        if (int st = collect_node_numbers(region, d.elements[static_cast<std::size_t>(e)].element_conn)) return st;
    }
    return sph_success;
}

}  // namespace

void sph_db_clear_coupling_regions() {
    ++sph_database.coupling_region_revision;
    sph_database.coupling_regions.clear();
    sph_database.coupling_region_disabled_count = 0;
    region_stamp = {};  // sized by the next build
}

void sph_db_reset_host_options() {
    SphDatabase& d = sph_database;
    d.zenvik_worker_enabled = 0;
    d.zenvik_region_name = "ALL";
    d.zenvik_export_radius = 1;
    d.zenvik_export_sound_speed = 1;
    d.zenvik_accept_contact_state = 1;
    d.zenvik_accept_boundary_state = 0;
}

int sph_db_add_coupling_region(std::string_view name, std::string_view set_name, int32_t region_type,
                               int32_t export_mode, int32_t import_mode, int32_t load_mode,
                               int32_t distribution_mode, int32_t contact_state_mode, bool enabled,
                               std::string_view surface_name, int32_t phase_filter,
                               std::string_view material_filter_name, std::string_view section_filter_name) {
    SphDatabase& d = sph_database;
    if (sph_is_blank(name)) return sph_fail(sph_error_database, "coupling region name is empty");
    if (find_region(name) >= 0) return sph_fail(sph_error_database, "duplicate coupling region name");
    if (sph_is_blank(set_name)) return sph_fail(sph_error_database, "coupling region set is missing");
    if (!is_all_set(sph_fixed(set_name, sph_name_len)) && sph_db_find_nset(set_name) < 0 &&
        sph_db_find_elset(set_name) < 0)
        return sph_fail(sph_error_database, "coupling region references unknown set");
    if (region_type < 1 || region_type > 2) return sph_fail(sph_error_database, "invalid coupling region type");
    if (export_mode < 1 || export_mode > 3) return sph_fail(sph_error_database, "invalid coupling export mode");
    if (import_mode < 1 || import_mode > 3) return sph_fail(sph_error_database, "invalid coupling import mode");
    if (load_mode < 1 || load_mode > 4) return sph_fail(sph_error_database, "invalid coupling load mode");
    if (distribution_mode < 1 || distribution_mode > 3)
        return sph_fail(sph_error_database, "invalid coupling distribution mode");
    if (contact_state_mode < 0 || contact_state_mode > 1)
        return sph_fail(sph_error_database, "invalid coupling contact state mode");
    if (enabled && load_mode >= sph_coupling_load_facet_force && export_mode == sph_coupling_export_particle)
        return sph_fail(sph_error_database, "facet coupling load requires facet export");
    if (phase_filter < 0 || phase_filter > 9) return sph_fail(sph_error_database, "invalid coupling phase filter");
    int32_t material_filter = 0;
    if (!sph_is_blank(material_filter_name)) {
        const int m = sph_db_find_material(material_filter_name);
        if (m < 0) return sph_fail(sph_error_database, "coupling region references unknown material");
        material_filter = m + 1;
    }
    int32_t section_filter = 0;
    if (!sph_is_blank(section_filter_name)) {
        const int s = sph_db_find_section(section_filter_name);
        if (s < 0) return sph_fail(sph_error_database, "coupling region references unknown section");
        section_filter = s + 1;
    }
    if (static_cast<int>(d.coupling_regions.size()) >= sph_max_regions)
        return sph_fail(sph_error_database, "too many coupling region records");

    const int32_t index = static_cast<int32_t>(d.coupling_regions.size());
    ++d.coupling_region_revision;
    d.coupling_regions.emplace_back();
    sph_db_store_coupling_region(d.coupling_regions.back(), index, name, set_name, region_type, export_mode,
                                 import_mode, load_mode, distribution_mode, contact_state_mode, enabled,
                                 surface_name, phase_filter, material_filter_name, section_filter_name,
                                 material_filter, section_filter);
    return sph_success;
}

bool sph_db_coupling_accepts_particle(int region, int particle) {
    const SphDatabase& d = sph_database;
    if (region < 0 || region >= static_cast<int>(d.coupling_regions.size())) return false;
    if (particle < 0 || particle >= d.npart) return false;
    const auto p = static_cast<std::size_t>(particle);
    if (d.particle_status[p] != sph_status_active) return false;
    const SphCouplingRegionRecord& r = d.coupling_regions[static_cast<std::size_t>(region)];
    if (r.coupling_region_phase_filter != 0 && r.coupling_region_phase_filter != d.particle_phase[p]) return false;
    if (r.coupling_region_material_filter != 0 && r.coupling_region_material_filter != d.material_id[p]) return false;
    if (r.coupling_region_section_filter != 0 && r.coupling_region_section_filter != d.section_id[p]) return false;
    return true;
}

int sph_db_build_coupling_regions() {
    SphDatabase& d = sph_database;
    ++d.coupling_region_revision;
    for (auto& r : d.coupling_regions) r.coupling_region_particles.clear();
    d.coupling_region_disabled_count = 0;
    region_stamp.assign(static_cast<std::size_t>(d.npart > 0 ? d.npart : 0), 0);
    region_scratch.reserve(sph_max_region_particles);

    for (std::size_t r = 0; r < d.coupling_regions.size(); ++r) {
        SphCouplingRegionRecord& rec = d.coupling_regions[r];
        rec.coupling_region_internal_id = static_cast<int32_t>(r) + 1;
        if (rec.coupling_region_enabled == 0) {
            ++d.coupling_region_disabled_count;
            continue;
        }
        region_scratch.clear();
        if (int st = collect_region(static_cast<int>(r))) return st;
        if (region_scratch.empty())
            return sph_fail(sph_error_database, "active coupling region selected no particles");
        rec.coupling_region_particles.assign(region_scratch.begin(), region_scratch.end());
    }
    return sph_success;
}

int sph_db_set_zenvik_options(int32_t worker_enabled, std::string_view region_name, int32_t export_radius,
                              int32_t export_sound_speed, int32_t accept_contact_state,
                              int32_t accept_boundary_state) {
    for (int32_t flag : {worker_enabled, export_radius, export_sound_speed, accept_contact_state,
                         accept_boundary_state})
        if (flag < 0 || flag > 1) return sph_fail(sph_error_database, "invalid Zenvik option flag");
    SphDatabase& d = sph_database;
    d.zenvik_worker_enabled = worker_enabled;
    d.zenvik_export_radius = export_radius;
    d.zenvik_export_sound_speed = export_sound_speed;
    d.zenvik_accept_contact_state = accept_contact_state;
    d.zenvik_accept_boundary_state = accept_boundary_state;
    std::string stored = sph_fixed(sph_trim_left(region_name), sph_name_len);
    d.zenvik_region_name = stored.empty() ? std::string("ALL") : std::move(stored);
    return sph_success;
}

}  // namespace quorrel
