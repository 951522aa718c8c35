// What the host reads back: particle and facet export records of a region, the region
// table and its modes, and the coupling diagnostics.
#include <algorithm>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_interface/sph_coupling_internal.h"
#include "database/sph_database.h"
#include "shell/sph_shell_state.h"

namespace quorrel {

using namespace coupling_detail;

namespace {

// Offsets in 64 bits: capacity times 7 or 9 can pass the 32-bit range.
void zero_particle_export(int32_t capacity, const SphCouplingParticleExport& out) {
    if (capacity <= 0) return;
    const std::size_t n = static_cast<std::size_t>(capacity);
    for (int32_t* column : {out.ext_ids, out.internal_indices, out.phases, out.statuses, out.materials, out.sections})
        std::fill(column, column + n, 0);
    std::fill_n(out.scalar_values, sph_coupling_particle_scalar_count * n, 0.0);
    std::fill_n(out.vector_values, 3 * sph_coupling_particle_vector_count * n, 0.0);
}

void zero_facet_export(int32_t capacity, const SphCouplingFacetExport& out) {
    if (capacity <= 0) return;
    const std::size_t n = static_cast<std::size_t>(capacity);
    for (int32_t* column : {out.facet_ids, out.particle_ids, out.materials, out.sections}) std::fill(column, column + n, 0);
    std::fill_n(out.vector_values, 3 * sph_coupling_facet_vector_count * n, 0.0);
    std::fill(out.area_values, out.area_values + n, 0.0);
}

}  // namespace

// ---- Exports ----

int sph_coupling_export_particles(int region_index, int32_t capacity, int32_t& count,
                                  const SphCouplingParticleExport& out) {
    count = 0;
    if (region_in_range(region_index))
        return sph_coupling_export_region_particles(region_record(region_index).coupling_region_name, capacity, count,
                                                    out);
    zero_particle_export(capacity, out);
    return sph_fail(sph_error_argument, "coupling region index is invalid");
}

int sph_coupling_export_region_particles(std::string_view region_name, int32_t capacity, int32_t& count,
                                         const SphCouplingParticleExport& out) {
    count = 0;
    zero_particle_export(capacity, out);
    if (capacity < 0) return sph_fail(sph_error_argument, "coupling export capacity is negative");
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    const SphCouplingRegionRecord& rec = region_record(region);
    if (rec.coupling_region_enabled == 0 || rec.coupling_region_export_mode == sph_coupling_export_facet)
        return sph_success;
    count = static_cast<int32_t>(rec.coupling_region_particles.size());
    if (capacity < count) return sph_fail(sph_error_argument, "coupling particle export capacity is too small");
    const SphDatabase& d = sph_database;
    for (std::size_t k = 0; k < rec.coupling_region_particles.size(); ++k) {
        const int32_t p = rec.coupling_region_particles[k];
        if (!sph_coupling_particle_state_is_finite(p))
            return sph_fail(sph_error_argument, "coupling particle export state is not finite");
        const std::size_t i = static_cast<std::size_t>(p);
        out.ext_ids[k] = d.particle_id_ext[i];
        out.internal_indices[k] = p + out.index_base;
        out.phases[k] = d.particle_phase[i];
        out.statuses[k] = d.particle_status[i];
        out.materials[k] = d.material_id[i];
        out.sections[k] = d.section_id[i];
        const auto scalar = [&out, k](int32_t row) -> double& {
            return out.scalar_values[sph_coupling_export_row(k, sph_coupling_particle_scalar_count, row, 1)];
        };
        scalar(sph_coupling_particle_scalar_mass) = d.mass[i];
        scalar(sph_coupling_particle_scalar_volume) = d.volume[i];
        scalar(sph_coupling_particle_scalar_density) = d.rho[i];
        scalar(sph_coupling_particle_scalar_pressure) = d.pressure[i];
        scalar(sph_coupling_particle_scalar_energy) = d.internal_energy[i];
        scalar(sph_coupling_particle_scalar_temperature) = d.temperature[i];
        scalar(sph_coupling_particle_scalar_h) = d.h[i];
        const auto vector = [&out, k](int32_t row) {
            return &out.vector_values[sph_coupling_export_row(k, sph_coupling_particle_vector_count, row, 3)];
        };
        std::copy_n(&d.x[3 * i], 3, vector(sph_coupling_particle_vector_x));
        std::copy_n(&d.v[3 * i], 3, vector(sph_coupling_particle_vector_v));
        std::copy_n(&d.a[3 * i], 3, vector(sph_coupling_particle_vector_a));
    }
    return sph_success;
}

int sph_coupling_export_facets(int region_index, int32_t capacity, int32_t& count, const SphCouplingFacetExport& out) {
    count = 0;
    if (region_in_range(region_index))
        return sph_coupling_export_region_facets(region_record(region_index).coupling_region_name, capacity, count, out);
    zero_facet_export(capacity, out);
    return sph_fail(sph_error_argument, "coupling region index is invalid");
}

int sph_coupling_export_region_facets(std::string_view region_name, int32_t capacity, int32_t& count,
                                      const SphCouplingFacetExport& out) {
    count = 0;
    zero_facet_export(capacity, out);
    if (capacity < 0) return sph_fail(sph_error_argument, "coupling facet export capacity is negative");
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    const SphCouplingRegionRecord& rec = region_record(region);
    if (rec.coupling_region_enabled == 0 || rec.coupling_region_export_mode == sph_coupling_export_particle)
        return sph_success;
    int32_t needed = 0;
    if (int st = sph_coupling_count_shell_facets(region, needed)) return st;
    if (capacity < needed) {
        count = needed;
        return sph_fail(sph_error_argument, "coupling facet export capacity is too small");
    }
    const SphDatabase& d = sph_database;
    for (int32_t p : rec.coupling_region_particles) {
        // Members outside the model are passed by before their phase is read.
        if (p < 0 || p >= d.npart) continue;
        const std::size_t i = static_cast<std::size_t>(p);
        if (d.particle_phase[i] != sph_phase_shell) continue;
        const std::size_t k = static_cast<std::size_t>(count);
        count += 1;
        if (int st = sph_coupling_check_shell_facet(p)) return st;
        double director[3], area = 0.0;
        (void)sph_shell_facet_geometry(p, director, area);
        out.facet_ids[k] = p + out.index_base;
        out.particle_ids[k] = d.particle_id_ext[i];
        out.materials[k] = d.material_id[i];
        out.sections[k] = d.section_id[i];
        const auto vector = [&out, k](int32_t row) {
            return &out.vector_values[sph_coupling_export_row(k, sph_coupling_facet_vector_count, row, 3)];
        };
        std::copy_n(&d.x[3 * i], 3, vector(sph_coupling_facet_vector_center));
        std::copy_n(&d.v[3 * i], 3, vector(sph_coupling_facet_vector_velocity));
        // The director as stored, not renormalised.
        std::copy_n(director, 3, vector(sph_coupling_facet_vector_normal));
        out.area_values[k] = area;
    }
    return sph_success;
}

// ---- Region queries ----

void sph_coupling_get_region_count(int32_t& count) {
    count = static_cast<int32_t>(sph_database.coupling_regions.size());
}

int sph_coupling_get_region_modes(int region_index, int32_t& load_mode, int32_t& distribution_mode,
                                  int32_t& contact_state_mode) {
    load_mode = distribution_mode = contact_state_mode = 0;
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    const SphCouplingRegionRecord& rec = region_record(region_index);
    load_mode = rec.coupling_region_load_mode;
    distribution_mode = rec.coupling_region_distribution_mode;
    contact_state_mode = rec.coupling_region_contact_state_mode;
    return sph_success;
}

int sph_coupling_get_region_info(int region_index, std::string_view& name, int32_t& region_type, int32_t& export_mode,
                                 int32_t& import_mode, int32_t& enabled, int32_t& particle_count,
                                 int32_t& facet_count) {
    name = {};
    region_type = export_mode = import_mode = enabled = particle_count = facet_count = 0;
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    const SphCouplingRegionRecord& rec = region_record(region_index);
    name = sph_trim_right(rec.coupling_region_name);
    region_type = rec.coupling_region_type;
    export_mode = rec.coupling_region_export_mode;
    import_mode = rec.coupling_region_import_mode;
    enabled = rec.coupling_region_enabled;
    if (enabled == 0) return sph_success;
    if (export_mode != sph_coupling_export_facet)
        particle_count = static_cast<int32_t>(rec.coupling_region_particles.size());
    if (export_mode != sph_coupling_export_particle) {
        // Facet proxies are the region's shell particles. A region without any answers 0
        // facets: a state of the model, not a failure, so the error state is left alone.
        const SphDatabase& d = sph_database;
        for (int32_t p : rec.coupling_region_particles)
            if (p >= 0 && p < d.npart && d.particle_phase[static_cast<std::size_t>(p)] == sph_phase_shell) ++facet_count;
    }
    return sph_success;
}

void sph_coupling_get_buffered_force(int32_t index, double force[3]) {
    std::fill_n(force, 3, 0.0);
    const std::vector<double>& buffer = sph_coupling.coupling_external_force;
    if (index < 0 || static_cast<std::size_t>(index) >= buffer.size() / 3) return;
    std::copy_n(&buffer[3 * static_cast<std::size_t>(index)], 3, force);
}

// ---- Diagnostics ----

int sph_coupling_get_diagnostic_values(int32_t value_capacity, double* values, int32_t count_capacity,
                                       int32_t* counts) {
    if (value_capacity < 22 || count_capacity < 5)
        return sph_fail(sph_error_argument, "coupling diagnostics buffer is too small");
    const SphCouplingInterface& c = sph_coupling;
    std::fill(values, values + value_capacity, 0.0);
    std::fill(counts, counts + count_capacity, 0);
    std::size_t k = 0;
    for (const SphCouplingVec* v : {&c.coupling_current_force, &c.coupling_current_moment, &c.coupling_current_impulse,
                                    &c.coupling_cumulative_impulse, &c.coupling_momentum_exchange})
        for (double x : *v) values[k++] = x;
    for (double x : {c.coupling_current_work, c.coupling_cumulative_work, c.coupling_energy_exchange,
                     c.coupling_max_external_force, c.coupling_max_acceleration, c.coupling_max_velocity_error,
                     c.coupling_max_position_error})
        values[k++] = x;
    if (value_capacity >= sph_coupling_diagnostic_values)
        for (double x : {c.coupling_facet_force_error, c.coupling_facet_moment_error, c.coupling_max_pressure,
                         c.coupling_max_traction, c.coupling_max_penetration})
            values[k++] = x;
    const int32_t first[5] = {c.coupling_stale_load_count, c.coupling_skipped_particle_count,
                              c.coupling_nonfinite_import_count, c.coupling_imported_force_count,
                              c.coupling_step_load_consumed};
    std::copy(first, first + 5, counts);
    if (count_capacity >= sph_coupling_diagnostic_counts) {
        const int32_t rest[7] = {c.coupling_repeated_import_count,   c.coupling_duplicate_facet_count,
                                 c.coupling_invalid_weight_count,    c.coupling_active_contact_count,
                                 c.coupling_skipped_contact_count,   c.coupling_nonfinite_contact_count,
                                 c.coupling_bad_facet_area_count};
        std::copy(rest, rest + 7, counts + 5);
    }
    return sph_success;
}

void sph_coupling_get_contact_diagnostics(int32_t& active_count, int32_t& skipped_count, double& max_penetration,
                                          int32_t& stale_count, int32_t& repeated_count, int32_t& nonfinite_count,
                                          int32_t& bad_area_count, int32_t& invalid_weight_count) {
    const SphCouplingInterface& c = sph_coupling;
    active_count = c.coupling_active_contact_count;
    skipped_count = c.coupling_skipped_contact_count;
    max_penetration = c.coupling_max_penetration;
    stale_count = c.coupling_stale_load_count;
    repeated_count = c.coupling_repeated_import_count;
    nonfinite_count = c.coupling_nonfinite_contact_count;
    bad_area_count = c.coupling_bad_facet_area_count;
    invalid_weight_count = c.coupling_invalid_weight_count;
}

}  // namespace quorrel
