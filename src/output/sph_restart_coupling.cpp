// The coupling section of the restart file: the mark, the regions with their members,
// the exchange totals and counters, and a row of imported state per particle.
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_restart_io.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "output/sph_restart_sections.h"

namespace quorrel {

namespace {

constexpr std::string_view coupling_mark = "QUORREL_COUPLING_STATE";

// The modes a region of the older layout lacks, from its import mode.
void set_legacy_coupling_modes(SphCouplingRegionRecord& rec) {
    rec.coupling_region_load_mode = rec.coupling_region_import_mode == sph_coupling_import_facet_load
                                        ? sph_coupling_load_facet_force
                                        : sph_coupling_load_particle_force;
    rec.coupling_region_distribution_mode = sph_coupling_distribution_uniform;
    rec.coupling_region_contact_state_mode = sph_coupling_contact_state_none;
}

}  // namespace

int sph_restart_clear_coupling_state() {
    sph_coupling_reset();
    sph_db_clear_coupling_regions();
    return sph_success;
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

namespace {

bool read_coupling_records(SphRestartReader& in, SphRestartVersion version) {
    const bool full = version == SphRestartVersion::v0_8_1;
    SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    SphRestartRecord r;
    (void)sph_restart_clear_coupling_state();
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
    return true;
}

}  // namespace

int sph_restart_read_coupling_state(SphRestartReader& in, SphRestartVersion version) {
    return read_coupling_records(in, version) ? sph_success : sph_restart_input_failure("invalid restart Coupling state");
}

void sph_restart_seed_coupling_state(SphRestartVersion version) {
    if (version != SphRestartVersion::v0_8_1)
        for (SphCouplingRegionRecord& rec : sph_database.coupling_regions) set_legacy_coupling_modes(rec);
    sph_coupling_rebuild_touched();
}

}  // namespace quorrel
