// The module's further operations, which no other part of the system calls: the diagnostics
// as named values, counts by region name, single-particle exports and imports, and the
// neutral facet placeholder. Each is built on the checks and entry points of the rest of
// the module.
#include <algorithm>
#include <cmath>

#include "core/sph_error.h"
#include "core/sph_sums.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_interface/sph_coupling_internal.h"
#include "database/sph_database.h"

namespace quorrel {

using namespace coupling_detail;

namespace {

void copy3(const double* from, double* to) { std::copy_n(from, 3, to); }

}  // namespace

// ---- Diagnostics ----

void sph_coupling_get_extended_diagnostics(double total_force[3], double total_moment[3], double current_impulse[3],
                                           double cumulative_impulse[3], double& current_work,
                                           double& cumulative_work, double momentum_exchange[3],
                                           double& energy_exchange, double& max_force, double& max_acceleration,
                                           double& max_velocity_error, double& max_position_error,
                                           int32_t& stale_count, int32_t& skipped_count, int32_t& nonfinite_count,
                                           int32_t& imported_force_count, int32_t& step_load_consumed) {
    // The buffer's smallest size: values 1-22 and counts 1-5, in the buffer's order.
    double v[22];
    int32_t n[5];
    (void)sph_coupling_get_diagnostic_values(22, v, 5, n);
    copy3(&v[0], total_force);
    copy3(&v[3], total_moment);
    copy3(&v[6], current_impulse);
    copy3(&v[9], cumulative_impulse);
    copy3(&v[12], momentum_exchange);
    current_work = v[15];
    cumulative_work = v[16];
    energy_exchange = v[17];
    max_force = v[18];
    max_acceleration = v[19];
    max_velocity_error = v[20];
    max_position_error = v[21];
    stale_count = n[0];
    skipped_count = n[1];
    nonfinite_count = n[2];
    imported_force_count = n[3];
    step_load_consumed = n[4];
}

int sph_coupling_get_import_diagnostics(double total_force[3], int32_t& motion_count, int32_t& skipped_count,
                                        int32_t& nonfinite_count, int32_t& stale_count, int32_t& epoch) {
    std::fill_n(total_force, 3, 0.0);
    motion_count = skipped_count = nonfinite_count = stale_count = epoch = 0;
    if (int st = sph_coupling_allocate_imports()) return st;
    const SphCouplingInterface& c = sph_coupling;
    if (buffers_present()) {
        for (std::size_t i = 0; i < npart_of(); ++i) {
            for (std::size_t k = 0; k < 3; ++k) total_force[k] += c.coupling_external_force[3 * i + k];
            if (c.coupling_motion_flag[i] != sph_coupling_motion_none) ++motion_count;
        }
        // Every buffered force is in range, their sum need not be: taken again where
        // opposite terms cancel, and a failure when the total itself is beyond the range.
        for (std::size_t k = 0; k < 3; ++k) {
            if (std::isfinite(total_force[k])) continue;
            SphScaledSum again;
            for (std::size_t i = 0; i < npart_of(); ++i) again.add(c.coupling_external_force[3 * i + k]);
            total_force[k] = again.value();
            if (!std::isfinite(total_force[k])) {
                std::fill_n(total_force, 3, 0.0);
                motion_count = 0;
                return sph_fail(sph_error_argument,
                                "Coupling diagnostics overflow: buffered force total is not finite");
            }
        }
    }
    skipped_count = c.coupling_skipped_particle_count;
    nonfinite_count = c.coupling_nonfinite_import_count;
    stale_count = c.coupling_stale_load_count;
    epoch = c.coupling_epoch;
    return sph_success;
}

void sph_coupling_get_basic_diagnostics(double& work, double& energy, double momentum[3]) {
    const SphCouplingInterface& c = sph_coupling;
    work = c.coupling_work;
    energy = c.coupling_energy;
    copy3(c.coupling_momentum.data(), momentum);
}

// ---- Counts ----

int sph_coupling_get_region_particle_count(std::string_view region_name, int32_t& count) {
    count = 0;
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    // The region table's own answer: 0 for a disabled region or one exporting facets only.
    std::string_view name;
    int32_t region_type = 0, export_mode = 0, import_mode = 0, enabled = 0, facet_count = 0;
    return sph_coupling_get_region_info(region, name, region_type, export_mode, import_mode, enabled, count,
                                        facet_count);
}

int sph_coupling_get_region_facet_count(std::string_view region_name, int32_t& count) {
    count = 0;
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    const SphCouplingRegionRecord& rec = region_record(region);
    if (rec.coupling_region_enabled == 0 || rec.coupling_region_export_mode == sph_coupling_export_particle)
        return sph_success;
    return sph_coupling_count_shell_facets(region, count);
}

void sph_coupling_get_particle_count(int32_t& count) { count = static_cast<int32_t>(npart_of()); }

void sph_coupling_get_facet_count(int32_t& count) { count = 0; }

// ---- Single-particle exports ----

int sph_coupling_export_particle_by_index(int32_t index, int32_t& ext_id, double position[3],
                                          double velocity[3]) {
    ext_id = 0;
    std::fill_n(position, 3, 0.0);
    std::fill_n(velocity, 3, 0.0);
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "coupling particle index is out of range");
    const std::size_t i = static_cast<std::size_t>(index);
    ext_id = d.particle_id_ext[i];
    copy3(&d.x[3 * i], position);
    copy3(&d.v[3 * i], velocity);
    return sph_success;
}

int sph_coupling_export_particle_state(int32_t index, int32_t& ext_id, int32_t& phase, int32_t& material,
                                       double position[3], double velocity[3], double& particle_pressure) {
    phase = material = 0;
    particle_pressure = 0.0;
    if (int st = sph_coupling_export_particle_by_index(index, ext_id, position, velocity)) return st;
    const SphDatabase& d = sph_database;
    const std::size_t i = static_cast<std::size_t>(index);
    phase = d.particle_phase[i];
    material = d.material_id[i];
    particle_pressure = d.pressure[i];
    return sph_success;
}

int sph_coupling_export_facet_by_index(int32_t index, int32_t node_ids[3]) {
    std::fill_n(node_ids, 3, 0);
    if (index != 0) return sph_fail(sph_error_argument, "no coupling facets are available in the neutral placeholder");
    return sph_success;
}

// ---- Single-particle imports ----

int sph_coupling_import_force_by_external_id(int32_t ext_id, const double force[3]) {
    const int index = sph_db_find_node(ext_id);
    if (index < 0) return sph_fail(sph_error_argument, "coupling force particle id is invalid");
    return sph_coupling_add_force_to_particle(index, force);
}

int sph_coupling_import_facet_particle_forces(std::string_view region_name, int32_t facet_id,
                                              int32_t facet_particle_count, const int32_t* particle_ids,
                                              const double* particle_forces) {
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    if (int st = sph_coupling_require_enabled_region(region)) return st;
    if (int st = sph_coupling_require_facet(region, facet_id)) return st;
    // A facet is carried by one particle: the host must name exactly that one.
    if (facet_particle_count != 1)
        return sph_fail(sph_error_argument, "coupling facet particle count does not match proxy");
    if (sph_db_find_node(particle_ids[0]) != facet_id)
        return sph_fail(sph_error_argument, "coupling facet particle id does not match proxy");
    return sph_coupling_add_force_to_particle(facet_id, particle_forces);
}

int sph_coupling_import_particle_force(int32_t index, const double force[3]) {
    SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart)
        return sph_fail(sph_error_argument, "coupling force particle index is out of range");
    if (!sph_coupling_vector_is_finite(force)) return record_nonfinite("coupling force is not finite");
    const std::size_t i = static_cast<std::size_t>(index);
    const double m = d.mass[i];
    if (!(m > 0.0)) return record_nonpositive_mass();
    SphCouplingInterface& c = sph_coupling;
    double acceleration[3], momentum[3];
    for (std::size_t k = 0; k < 3; ++k) {
        acceleration[k] = d.acc_body[3 * i + k] + force[k] / m;
        momentum[k] = c.coupling_momentum[k] + force[k];
    }
    const double work = c.coupling_work + (force[0] + force[1] + force[2]);
    if (!sph_coupling_vector_is_finite(acceleration))
        return record_nonfinite("coupling body acceleration is not finite");
    if (!sph_coupling_vector_is_finite(momentum)) return record_nonfinite("coupling momentum is not finite");
    if (!sph_below_max_double(work)) return record_nonfinite("coupling work is not finite");
    std::copy_n(acceleration, 3, &d.acc_body[3 * i]);
    copy3(momentum, c.coupling_momentum.data());
    c.coupling_work = work;
    return sph_success;
}

int sph_coupling_import_facet_load_by_index(int32_t index, const double load[3]) {
    if (index < 0) return sph_fail(sph_error_argument, "coupling facet index must be positive");
    if (!sph_coupling_vector_is_finite(load)) return record_nonfinite("coupling facet load is not finite");
    SphCouplingInterface& c = sph_coupling;
    double momentum[3];
    for (std::size_t k = 0; k < 3; ++k) momentum[k] = c.coupling_momentum[k] + load[k];
    const double energy = c.coupling_energy + (load[0] + load[1] + load[2]);
    if (!sph_coupling_vector_is_finite(momentum)) return record_nonfinite("coupling momentum is not finite");
    if (!sph_below_max_double(energy)) return record_nonfinite("coupling energy is not finite");
    copy3(momentum, c.coupling_momentum.data());
    c.coupling_energy = energy;
    return sph_success;
}

}  // namespace quorrel
