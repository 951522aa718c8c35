// The explosive and coupling sections of the restart file (the solid section is
// src/solid/sph_solid_restart.cpp): writers in the newest layout, readers of every layout
// that has the section, the defaults an older layout lacks and the clears for files that
// predate a section.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_state.h"
#include "output/sph_restart.h"
#include "output/sph_restart_io.h"

namespace quorrel {

namespace {

constexpr std::string_view coupling_mark = "QUORREL_COUPLING_STATE";

}  // namespace

// ---- Explosive section ----

void sph_restart_write_explosive_state(SphRestartWriter& out) {
    const SphExplosiveState& e = sph_explosive_state;
    out.put_int(e.explosive_material_count);
    out.end_record();
    for (int32_t m = 0; m < e.explosive_material_count; ++m) {
        const SphExplosiveMaterial& s = e.explosive_materials[static_cast<std::size_t>(m)];
        out.put_int(s.explosive_material_id);
        out.put_text(s.explosive_material_name);
        out.put_bool(s.explosive_control_defined);
        out.put_int(s.explosive_product_material_id);
        out.put_text(s.explosive_product_material_name);
        out.put_int(s.explosive_conversion_mode);
        out.end_record();
        put_reals(out, {s.explosive_density0, s.explosive_detonation_velocity, s.explosive_energy_per_mass,
                        s.explosive_burn_time});
        out.end_record();
    }
    out.put_int(e.explosive_ignition_count);
    out.end_record();
    for (int32_t j = 0; j < e.explosive_ignition_count; ++j) {
        const SphExplosiveIgnition& g = e.explosive_ignitions[static_cast<std::size_t>(j)];
        out.put_int(g.explosive_ignition_material_id);
        put_all(out, g.explosive_ignition_x);
        out.put_real(g.explosive_ignition_time);
        out.end_record();
    }
    out.put_real(e.explosive_dt_reaction);
    out.end_record();
    out.put_int(e.explosive_converted_count);
    out.put_int(e.explosive_source_target_count);
    out.end_record();
    put_reals(out, {e.explosive_source_mass_total, e.explosive_source_energy_total});
    put_all(out, e.explosive_source_momentum_total);
    out.end_record();
    put_all(out, e.explosive_release_mass_balance);
    out.end_record();
    put_all(out, e.explosive_release_energy_balance);
    out.end_record();
    put_all(out, e.explosive_release_momentum_balance);
    out.end_record();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        out.put_int(e.explosive_ignition_status[i]);
        put_reals(out, {e.explosive_detonation_time[i], e.explosive_reaction_progress[i], e.explosive_released_mass[i],
                        e.explosive_released_energy[i]});
        put_reals(out, &e.explosive_released_momentum[3 * i], 3);
        out.put_int(e.explosive_initial_material_id[i]);
        put_reals(out, {e.explosive_initial_mass[i], e.explosive_remaining_mass[i]});
        out.end_record();
    }
}

void sph_restart_seed_explosive_041_defaults(int32_t index) {
    SphExplosiveState& e = sph_explosive_state;
    const SphDatabase& d = sph_database;
    const std::size_t i = static_cast<std::size_t>(index);
    e.explosive_initial_material_id[i] = d.material_id[i];
    const double released = e.explosive_released_mass[i], progress = e.explosive_reaction_progress[i];
    e.explosive_initial_mass[i] = released > 0.0 && progress > 0.0 ? released / progress : d.mass[i];
    e.explosive_remaining_mass[i] = std::max(e.explosive_initial_mass[i] - released, 0.0);
}

namespace {

// An empty table and zeroed per-particle state at this particle count: allocation keeps
// old contents at an equal count, and no file may inherit them.
int fresh_explosive_state() {
    sph_explosive_clear_material_table();
    if (int st = sph_explosive_allocate_state()) return st;
    sph_explosive_clear_particle_state();
    return sph_success;
}

}  // namespace

int sph_restart_clear_explosive_state() { return fresh_explosive_state(); }

int sph_restart_read_explosive_state(SphRestartReader& in, SphRestartVersion version) {
    SphExplosiveState& e = sph_explosive_state;
    const bool long_layout = sph_restart_at_least(version, SphRestartVersion::v0_4_1);
    SphRestartRecord r;
    sph_explosive_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, count)) return sph_restart_input_failure("invalid restart Explosive material count");
    if (count < 0 || count > sph_explosive_max_materials)
        return sph_restart_input_failure("restart Explosive material count is out of range");
    e.explosive_material_count = count;
    e.explosive_material_seen = count > 0;
    for (int32_t m = 0; m < count; ++m) {
        SphExplosiveMaterial& s = e.explosive_materials[static_cast<std::size_t>(m)];
        if (!in.read_record(r) || !r.get(0, s.explosive_material_id) || !r.get(1, s.explosive_material_name) ||
            !r.get(2, s.explosive_control_defined) || !r.get(3, s.explosive_product_material_id) ||
            !r.get(4, s.explosive_product_material_name) || !r.get(5, s.explosive_conversion_mode))
            return sph_restart_input_failure("invalid restart Explosive material row");
        s.explosive_material_name = sph_fixed(s.explosive_material_name, sph_name_len);
        s.explosive_product_material_name = sph_fixed(s.explosive_product_material_name, sph_name_len);
        if (!read_reals(in, r, {&s.explosive_density0, &s.explosive_detonation_velocity, &s.explosive_energy_per_mass,
                                &s.explosive_burn_time}))
            return sph_restart_input_failure("invalid restart Explosive control row");
    }
    int32_t ignitions = 0;
    if (!in.read_record(r) || !r.get(0, ignitions)) return sph_restart_input_failure("invalid restart Explosive ignition count");
    if (ignitions < 0 || ignitions > sph_explosive_max_ignitions)
        return sph_restart_input_failure("restart Explosive ignition count is out of range");
    e.explosive_ignition_count = ignitions;
    for (int32_t j = 0; j < ignitions; ++j) {
        SphExplosiveIgnition& g = e.explosive_ignitions[static_cast<std::size_t>(j)];
        if (!in.read_record(r) || !r.get(0, g.explosive_ignition_material_id) ||
            !r.get_all(1, g.explosive_ignition_x.data(), 3) || !r.get(4, g.explosive_ignition_time))
            return sph_restart_input_failure("invalid restart Explosive ignition row");
    }
    if (!read_reals(in, r, {&e.explosive_dt_reaction})) return sph_restart_input_failure("invalid restart Explosive dt state");
    if (sph_explosive_allocate_state() != 0) return sph_restart_input_failure("failed to allocate restart Explosive state");
    sph_explosive_clear_particle_state();
    if (long_layout) {
        if (!in.read_record(r) || !r.get(0, e.explosive_converted_count) || !r.get(1, e.explosive_source_target_count))
            return sph_restart_input_failure("invalid restart Explosive conversion counts");
        if (!in.read_record(r) || !r.get(0, e.explosive_source_mass_total) ||
            !r.get(1, e.explosive_source_energy_total) || !r.get_all(2, e.explosive_source_momentum_total.data(), 3))
            return sph_restart_input_failure("invalid restart Explosive source totals");
        if (!read_real_array(in, r, e.explosive_release_mass_balance.data(), 4))
            return sph_restart_input_failure("invalid restart Explosive mass balance");
        if (!read_real_array(in, r, e.explosive_release_energy_balance.data(), 2))
            return sph_restart_input_failure("invalid restart Explosive energy balance");
        if (!read_real_array(in, r, e.explosive_release_momentum_balance.data(), 3))
            return sph_restart_input_failure("invalid restart Explosive momentum balance");
    }
    for (std::size_t i = 0; i < npart_of(); ++i) {
        bool ok = in.read_record(r) && r.get(0, e.explosive_ignition_status[i]) &&
                  r.get(1, e.explosive_detonation_time[i]) && r.get(2, e.explosive_reaction_progress[i]) &&
                  r.get(3, e.explosive_released_mass[i]) && r.get(4, e.explosive_released_energy[i]) &&
                  r.get_all(5, &e.explosive_released_momentum[3 * i], 3);
        if (ok && long_layout)
            ok = r.get(8, e.explosive_initial_material_id[i]) && r.get(9, e.explosive_initial_mass[i]) &&
                 r.get(10, e.explosive_remaining_mass[i]);
        if (!ok) return sph_restart_input_failure("invalid restart Explosive particle state");
        if (!long_layout) sph_restart_seed_explosive_041_defaults(static_cast<int32_t>(i));
    }
    sph_explosive_update_release_balance();
    return sph_success;
}

// ---- Coupling section ----

void sph_restart_set_legacy_coupling_modes(int region) {
    SphCouplingRegionRecord& rec = sph_database.coupling_regions[static_cast<std::size_t>(region)];
    rec.coupling_region_load_mode = rec.coupling_region_import_mode == sph_coupling_import_facet_load
                                        ? sph_coupling_load_facet_force
                                        : sph_coupling_load_particle_force;
    rec.coupling_region_distribution_mode = sph_coupling_distribution_uniform;
    rec.coupling_region_contact_state_mode = sph_coupling_contact_state_none;
}

void sph_restart_clear_coupling_state() {
    sph_coupling_reset();
    sph_db_clear_coupling_regions();
}

int sph_restart_write_coupling_state(SphRestartWriter& out) {
    const SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    // Buffers of an earlier particle count are released first; absent ones are written as zeros.
    if (!c.coupling_external_force.empty() || d.npart < 1)
        if (int st = sph_coupling_allocate_imports()) return st;
    out.put_line(coupling_mark);
    out.put_int(static_cast<int64_t>(d.coupling_regions.size()));
    out.put_int(d.coupling_region_disabled_count);
    out.end_record();
    for (const SphCouplingRegionRecord& rec : d.coupling_regions) {
        for (const std::string* name : {&rec.coupling_region_name, &rec.coupling_region_set_name,
                                        &rec.coupling_region_surface_name, &rec.coupling_region_material_name,
                                        &rec.coupling_region_section_name})
            out.put_line(sph_trim_right(*name));
        for (int32_t v : {rec.coupling_region_type, rec.coupling_region_export_mode, rec.coupling_region_import_mode,
                          rec.coupling_region_load_mode, rec.coupling_region_distribution_mode,
                          rec.coupling_region_contact_state_mode, rec.coupling_region_enabled,
                          rec.coupling_region_phase_filter, rec.coupling_region_material_filter,
                          rec.coupling_region_section_filter, rec.coupling_region_internal_id,
                          static_cast<int32_t>(rec.coupling_region_particles.size())})
            out.put_int(v);
        out.end_record();
        if (!rec.coupling_region_particles.empty()) {
            for (int32_t p : rec.coupling_region_particles) out.put_int(static_cast<int64_t>(p) + 1);
            out.end_record();
        }
    }
    put_all(out, c.coupling_cumulative_impulse);
    put_all(out, c.coupling_momentum_exchange);
    out.end_record();
    put_reals(out, {c.coupling_cumulative_work, c.coupling_energy_exchange});
    out.end_record();
    for (int32_t v : {c.coupling_stale_load_count, c.coupling_skipped_particle_count, c.coupling_nonfinite_import_count,
                      c.coupling_imported_force_count})
        out.put_int(v);
    out.end_record();
    for (int32_t v : {c.coupling_epoch, c.coupling_repeated_import_count, c.coupling_duplicate_facet_count,
                      c.coupling_invalid_weight_count, c.coupling_active_contact_count, c.coupling_skipped_contact_count,
                      c.coupling_nonfinite_contact_count, c.coupling_bad_facet_area_count, 0})
        out.put_int(v);
    out.end_record();
    put_all(out, c.coupling_facet_input_force);
    put_all(out, c.coupling_facet_distributed_force);
    out.put_real(c.coupling_facet_force_error);
    out.end_record();
    put_all(out, c.coupling_facet_input_moment);
    put_all(out, c.coupling_facet_distributed_moment);
    out.put_real(c.coupling_facet_moment_error);
    out.end_record();
    put_reals(out, {c.coupling_max_pressure, c.coupling_max_traction, c.coupling_max_penetration});
    out.end_record();
    out.put_int(d.npart);
    out.end_record();
    const bool present = !c.coupling_external_force.empty();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (present) {
            for (const std::vector<double>* v : {&c.coupling_external_force, &c.coupling_motion_velocity,
                                                 &c.coupling_motion_position, &c.coupling_contact_normal})
                put_reals(out, &(*v)[3 * i], 3);
            put_reals(out, {c.coupling_contact_gap[i], c.coupling_contact_penetration[i], c.coupling_contact_pressure[i]});
            for (int32_t v : {c.coupling_motion_flag[i], c.coupling_motion_mode[i], c.coupling_contact_flag[i]})
                out.put_int(v);
        } else {
            for (int k = 0; k < 15; ++k) out.put_real(0.0);
            for (int k = 0; k < 3; ++k) out.put_int(0);
        }
        out.end_record();
    }
    return sph_success;
}

bool sph_restart_read_coupling_state(SphRestartReader& in, SphRestartVersion version) {
    const bool full = version == SphRestartVersion::v0_8_1;
    SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    SphRestartRecord r;
    sph_restart_clear_coupling_state();
    std::string_view line;
    if (!in.read_line(line) || sph_trim(line) != coupling_mark) return false;
    int32_t count = 0, disabled = 0;
    if (!in.read_record(r) || !r.get(0, count) || !r.get(1, disabled) || count < 0 || count > sph_max_regions)
        return false;
    ++d.coupling_region_revision;
    d.coupling_regions.resize(static_cast<std::size_t>(count));
    d.coupling_region_disabled_count = disabled;
    for (int32_t k = 0; k < count; ++k) {
        SphCouplingRegionRecord& rec = d.coupling_regions[static_cast<std::size_t>(k)];
        for (std::string* name : {&rec.coupling_region_name, &rec.coupling_region_set_name,
                                  &rec.coupling_region_surface_name, &rec.coupling_region_material_name,
                                  &rec.coupling_region_section_name}) {
            if (!in.read_line(line)) return false;
            *name = sph_fixed(line, sph_name_len);
        }
        if (!in.read_record(r)) return false;
        int32_t members = 0;
        if (full) {
            int32_t* v[12] = {&rec.coupling_region_type,          &rec.coupling_region_export_mode,
                              &rec.coupling_region_import_mode,   &rec.coupling_region_load_mode,
                              &rec.coupling_region_distribution_mode, &rec.coupling_region_contact_state_mode,
                              &rec.coupling_region_enabled,       &rec.coupling_region_phase_filter,
                              &rec.coupling_region_material_filter, &rec.coupling_region_section_filter,
                              &rec.coupling_region_internal_id,   &members};
            for (std::size_t j = 0; j < 12; ++j)
                if (!r.get(j, *v[j])) return false;
        } else {
            int32_t* v[9] = {&rec.coupling_region_type,          &rec.coupling_region_export_mode,
                             &rec.coupling_region_import_mode,   &rec.coupling_region_enabled,
                             &rec.coupling_region_phase_filter,  &rec.coupling_region_material_filter,
                             &rec.coupling_region_section_filter, &rec.coupling_region_internal_id, &members};
            for (std::size_t j = 0; j < 9; ++j)
                if (!r.get(j, *v[j])) return false;
            sph_restart_set_legacy_coupling_modes(k);
        }
        if (members < 0 || members > sph_max_region_particles) return false;
        if (members > 0) {
            if (!in.read_record(r)) return false;
            rec.coupling_region_particles.resize(static_cast<std::size_t>(members));
            for (int32_t j = 0; j < members; ++j) {
                int32_t p = 0;
                // Members are particle numbers of this model.
                if (!r.get(static_cast<std::size_t>(j), p) || p < 1 || p > d.npart) return false;
                rec.coupling_region_particles[static_cast<std::size_t>(j)] = p - 1;
            }
        }
    }
    if (sph_coupling_allocate_imports() != 0) return false;
    if (!read_real_array(in, r, c.coupling_cumulative_impulse.data(), 3) ||
        !r.get_all(3, c.coupling_momentum_exchange.data(), 3))
        return false;
    if (!read_reals(in, r, {&c.coupling_cumulative_work, &c.coupling_energy_exchange})) return false;
    // Four counters, or three in files that predate the imported-force count.
    if (!in.read_record(r) || !r.get(0, c.coupling_stale_load_count) || !r.get(1, c.coupling_skipped_particle_count) ||
        !r.get(2, c.coupling_nonfinite_import_count))
        return false;
    int32_t imported = 0;
    if (!r.get(3, imported)) imported = 0;
    if (full) {
        if (!in.read_record(r)) return false;
        int32_t* v[8] = {&c.coupling_epoch,                &c.coupling_repeated_import_count,
                         &c.coupling_duplicate_facet_count, &c.coupling_invalid_weight_count,
                         &c.coupling_active_contact_count, &c.coupling_skipped_contact_count,
                         &c.coupling_nonfinite_contact_count, &c.coupling_bad_facet_area_count};
        for (std::size_t j = 0; j < 8; ++j)
            if (!r.get(j, *v[j])) return false;
        if (!in.read_record(r) || !r.get_all(0, c.coupling_facet_input_force.data(), 3) ||
            !r.get_all(3, c.coupling_facet_distributed_force.data(), 3) || !r.get(6, c.coupling_facet_force_error))
            return false;
        if (!in.read_record(r) || !r.get_all(0, c.coupling_facet_input_moment.data(), 3) ||
            !r.get_all(3, c.coupling_facet_distributed_moment.data(), 3) || !r.get(6, c.coupling_facet_moment_error))
            return false;
        if (!read_reals(in, r, {&c.coupling_max_pressure, &c.coupling_max_traction, &c.coupling_max_penetration}))
            return false;
    }
    int32_t n = 0;
    if (!in.read_record(r) || !r.get(0, n) || n != d.npart) return false;
    c.coupling_imported_force_count = imported;
    const bool present = !c.coupling_external_force.empty();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!in.read_record(r)) return false;
        if (!present) continue;
        if (!r.get_all(0, &c.coupling_external_force[3 * i], 3) || !r.get_all(3, &c.coupling_motion_velocity[3 * i], 3) ||
            !r.get_all(6, &c.coupling_motion_position[3 * i], 3))
            return false;
        if (full) {
            if (!r.get_all(9, &c.coupling_contact_normal[3 * i], 3) || !r.get(12, c.coupling_contact_gap[i]) ||
                !r.get(13, c.coupling_contact_penetration[i]) || !r.get(14, c.coupling_contact_pressure[i]) ||
                !r.get(15, c.coupling_motion_flag[i]) || !r.get(16, c.coupling_motion_mode[i]) ||
                !r.get(17, c.coupling_contact_flag[i]))
                return false;
        } else if (!r.get(9, c.coupling_motion_flag[i]) || !r.get(10, c.coupling_motion_mode[i])) {
            return false;
        }
    }
    sph_coupling_rebuild_touched();
    return true;
}

}  // namespace quorrel
