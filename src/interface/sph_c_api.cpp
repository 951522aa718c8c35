// The C interface: argument checks, text conversion, then one Fortran-callable entry.
// Nothing here throws: text codes live on the stack (or come from a nothrow allocation
// for an outsized caller buffer), and the entry points called never let an exception out.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "core/sph_error.h"
#include "interface/sph_api.h"
#include "quorrel.h"

static_assert(sizeof(int) == sizeof(int32_t), "the C interface passes int as a 32-bit integer");

namespace {

constexpr int quorrel_rejected = -1;
constexpr std::size_t quorrel_max_path = 1024;

using path_call = void (*)(const int32_t*, const int32_t*, int32_t*);

int quorrel_call_path(const char* path, path_call fortran_call) {
    if (!path) return quorrel_rejected;
    // Never scans further than one byte past the longest accepted path.
    const std::size_t length = strnlen(path, quorrel_max_path + 1);
    if (length == 0 || length > quorrel_max_path) return quorrel_rejected;
    std::array<int32_t, quorrel_max_path> codes;
    for (std::size_t i = 0; i < length; ++i) codes[i] = static_cast<unsigned char>(path[i]);
    const int32_t count = static_cast<int32_t>(length);
    int32_t ierr = 0;
    fortran_call(codes.data(), &count, &ierr);
    return ierr;
}

// Codes to bytes up to the first 0 code; the last byte of the buffer is always 0.
void copy_codes(const int32_t* codes, char* out, int capacity) {
    for (int i = 0; i < capacity; ++i) {
        if (codes[i] == 0) {
            out[i] = '\0';
            break;
        }
        out[i] = static_cast<char>(codes[i] & 0xFF);
    }
    out[capacity - 1] = '\0';
}

// Not null, and the first `count` values neither NaN nor infinite (a count of 0 or less
// passes).
bool values_are_finite(const double* values, int64_t count) {
    if (count <= 0) return true;
    if (!values) return false;
    for (int64_t k = 0; k < count; ++k)
        if (!std::isfinite(values[k])) return false;
    return true;
}

// The C checks of the three facet imports under the epoch rule: `per_facet` values each.
bool facet_import_rejected(int region_index, int load_count, const int* facet_ids, const double* values,
                           int per_facet, int coupling_step) {
    if (region_index < 1 || load_count < 0 || coupling_step < 0) return true;
    return load_count > 0 &&
           (!facet_ids || !values_are_finite(values, static_cast<int64_t>(per_facet) * load_count));
}

}  // namespace

extern "C" {

int quorrel_initialize(void) {
    int32_t ierr = 0;
    sphft_initialize_(&ierr);
    return ierr;
}

int quorrel_finalize(void) {
    int32_t ierr = 0;
    sphft_finalize_(&ierr);
    return ierr;
}

int quorrel_get_version(int* major, int* minor, int* patch) {
    if (!major || !minor || !patch) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_version_(major, minor, patch, &ierr);
    return ierr;
}

int quorrel_get_last_error(int* code, char* message, int message_capacity) {
    if (!code || !message || message_capacity <= 0) return quorrel_rejected;
    // The message never exceeds sph_error_message_len characters, so its codes and the
    // terminating 0 fit here whatever the caller's capacity.
    std::array<int32_t, quorrel::sph_error_message_len + 1> codes;
    codes[0] = 0;
    const int32_t capacity = std::min(message_capacity, static_cast<int>(codes.size()));
    int32_t actual = 0;
    int32_t ierr = 0;
    sphft_get_last_error_chars_(code, codes.data(), &capacity, &actual, &ierr);
    copy_codes(codes.data(), message, capacity);
    message[message_capacity - 1] = '\0';
    return ierr;
}

int quorrel_read_inp(const char* filename) { return quorrel_call_path(filename, sphft_read_inp_chars_); }

int quorrel_build_model(void) {
    int32_t ierr = 0;
    sphft_build_model_(&ierr);
    return ierr;
}

int quorrel_estimate_stable_dt(double* dtcrit) {
    if (!dtcrit) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_estimate_stable_dt_(dtcrit, &ierr);
    return ierr;
}

int quorrel_advance_explicit(double dt) {
    if (!std::isfinite(dt)) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_advance_explicit_(&dt, &ierr);
    return ierr;
}

int quorrel_run_explicit(void) {
    int32_t ierr = 0;
    sphft_run_explicit_(&ierr);
    return ierr;
}

int quorrel_get_current_time(double* time, int* step) {
    if (!time || !step) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_current_time_(time, step, &ierr);
    return ierr;
}

int quorrel_get_particle_count(int* count) {
    if (!count) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_particle_count_(count, &ierr);
    return ierr;
}

int quorrel_get_input_warning_count(int* count) {
    if (!count) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_input_warning_count_(count, &ierr);
    return ierr;
}

int quorrel_set_output_directory(const char* path) {
    return quorrel_call_path(path, sphft_set_output_directory_chars_);
}

int quorrel_set_output_interval(int interval) {
    if (interval <= 0) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_set_output_interval_(&interval, &ierr);
    return ierr;
}

int quorrel_write_output(int step, double time) {
    int32_t ierr = 0;
    sphft_write_output_(&step, &time, &ierr);
    return ierr;
}

int quorrel_get_particle_state(int max_particles, int* particle_id_ext, int* phase, int* status, int* material_id,
                               int* section_id, double* x, double* v, double* a, double* rho, double* pressure,
                               double* internal_energy, double* temperature, double* h, int* count) {
    if (max_particles < 1) return quorrel_rejected;
    if (!particle_id_ext || !phase || !status || !material_id || !section_id || !x || !v || !a || !rho ||
        !pressure || !internal_energy || !temperature || !h || !count)
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_particle_state_(&max_particles, particle_id_ext, phase, status, material_id, section_id, x, v, a, rho,
                              pressure, internal_energy, temperature, h, count, &ierr);
    return ierr;
}

int quorrel_write_csv(const char* filename) { return quorrel_call_path(filename, sphft_write_csv_chars_); }

int quorrel_write_vtu(const char* filename) { return quorrel_call_path(filename, sphft_write_vtu_chars_); }

int quorrel_write_restart(const char* filename) { return quorrel_call_path(filename, sphft_write_restart_chars_); }

int quorrel_read_restart(const char* filename) { return quorrel_call_path(filename, sphft_read_restart_chars_); }

int quorrel_get_water_summary(double* mass, double* momentum, double* max_pressure, double* min_density,
                              double* max_density) {
    if (!mass || !momentum || !max_pressure || !min_density || !max_density) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_water_summary_(mass, momentum, max_pressure, min_density, max_density, &ierr);
    return ierr;
}

int quorrel_get_water_dt_limits(double* dt_cfl, double* dt_accel, double* dt_viscous) {
    if (!dt_cfl || !dt_accel || !dt_viscous) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_water_dt_limits_(dt_cfl, dt_accel, dt_viscous, &ierr);
    return ierr;
}

int quorrel_get_gas_summary(double* volume, double* center, double* mean_pressure, double* max_pressure) {
    if (!volume || !center || !mean_pressure || !max_pressure) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_gas_summary_(volume, center, mean_pressure, max_pressure, &ierr);
    return ierr;
}

int quorrel_get_gas_bubble_metrics(double* equivalent_radius, double* radius_rate, double* center) {
    if (!equivalent_radius || !radius_rate || !center) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_gas_bubble_metrics_(equivalent_radius, radius_rate, center, &ierr);
    return ierr;
}

int quorrel_get_gas_dt_limits(double* dt_cfl, double* dt_accel, double* dtcrit) {
    if (!dt_cfl || !dt_accel || !dtcrit) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_gas_dt_limits_(dt_cfl, dt_accel, dtcrit, &ierr);
    return ierr;
}

int quorrel_get_gas_extended_summary(double* mass, double* momentum, double* density_range, double* dt_limits) {
    if (!mass || !momentum || !density_range || !dt_limits) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_gas_extended_summary_(mass, momentum, density_range, dt_limits, &ierr);
    return ierr;
}

int quorrel_get_gas_source_summary(double* mass_source, double* momentum_source, double* energy_source) {
    if (!mass_source || !momentum_source || !energy_source) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_gas_source_summary_(mass_source, momentum_source, energy_source, &ierr);
    return ierr;
}

int quorrel_set_ignition_point(double x, double y, double z, double time) {
    // The explosive module judges the point and the time.
    int32_t ierr = 0;
    sphft_set_ignition_point_(&x, &y, &z, &time, &ierr);
    return ierr;
}

int quorrel_get_explosive_summary(int* particle_count, int* reacted_count, double* lambda_range,
                                  double* released_totals, double* detonation_time_range) {
    if (!particle_count || !reacted_count || !lambda_range || !released_totals || !detonation_time_range)
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_explosive_summary_(particle_count, reacted_count, lambda_range, released_totals, detonation_time_range,
                                 &ierr);
    return ierr;
}

int quorrel_get_explosive_release_balance(double* mass_values, double* energy_values, double* momentum_values) {
    if (!mass_values || !energy_values || !momentum_values) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_explosive_release_balance_(mass_values, energy_values, momentum_values, &ierr);
    return ierr;
}

int quorrel_coupling_get_region_count(int* count) {
    if (!count) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_get_region_count_(count, &ierr);
    return ierr;
}

int quorrel_coupling_get_region_info(int region_index, char* name, int name_capacity, int* region_type,
                                     int* export_mode, int* import_mode, int* enabled, int* particle_count,
                                     int* facet_count) {
    if (region_index < 1 || name_capacity < 2) return quorrel_rejected;
    if (!name || !region_type || !export_mode || !import_mode || !enabled || !particle_count || !facet_count)
        return quorrel_rejected;
    // Codes for the caller's whole buffer: on the stack unless the buffer is outsized.
    std::array<int32_t, quorrel_max_path> local;
    std::unique_ptr<int32_t[]> outsized;
    int32_t* codes = local.data();
    if (static_cast<std::size_t>(name_capacity) > local.size()) {
        outsized.reset(new (std::nothrow) int32_t[static_cast<std::size_t>(name_capacity)]);
        codes = outsized.get();
        if (!codes) {
            name[0] = '\0';
            return quorrel::sph_api_allocation_failure();
        }
    }
    int32_t actual = 0;
    int32_t ierr = 0;
    sphft_coupling_get_region_info_(&region_index, codes, &name_capacity, &actual, region_type, export_mode,
                                    import_mode, enabled, particle_count, facet_count, &ierr);
    if (ierr == 0)
        copy_codes(codes, name, name_capacity);
    else
        name[0] = '\0';  // never leave stale text behind a failure
    name[name_capacity - 1] = '\0';
    return ierr;
}

int quorrel_coupling_get_region_modes(int region_index, int* load_mode, int* distribution_mode,
                                      int* contact_state_mode) {
    if (region_index < 1 || !load_mode || !distribution_mode || !contact_state_mode) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_get_region_modes_(&region_index, load_mode, distribution_mode, contact_state_mode, &ierr);
    return ierr;
}

int quorrel_coupling_export_particles(int region_index, int capacity, int* count, int* ext_ids, int* internal_indices,
                                      int* phases, int* statuses, int* materials, int* sections, double* scalar_values,
                                      double* vector_values) {
    if (region_index < 1 || capacity < 0) return quorrel_rejected;
    if (!count || !ext_ids || !internal_indices || !phases || !statuses || !materials || !sections || !scalar_values ||
        !vector_values)
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_export_particles_(&region_index, &capacity, count, ext_ids, internal_indices, phases, statuses,
                                     materials, sections, scalar_values, vector_values, &ierr);
    return ierr;
}

int quorrel_coupling_export_facets(int region_index, int capacity, int* count, int* facet_ids, int* particle_ids,
                                   int* materials, int* sections, double* vector_values, double* area_values) {
    if (region_index < 1 || capacity < 0) return quorrel_rejected;
    if (!count || !facet_ids || !particle_ids || !materials || !sections || !vector_values || !area_values)
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_export_facets_(&region_index, &capacity, count, facet_ids, particle_ids, materials, sections,
                                  vector_values, area_values, &ierr);
    return ierr;
}

int quorrel_coupling_apply_particle_forces(int region_index, int force_count, const int* export_indices,
                                           const double* forces) {
    if (region_index < 1 || force_count < 0) return quorrel_rejected;
    if (force_count > 0 && (!export_indices || !values_are_finite(forces, 3 * static_cast<int64_t>(force_count))))
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_particle_forces_(&region_index, &force_count, export_indices, forces, &ierr);
    return ierr;
}

int quorrel_coupling_apply_facet_loads(int region_index, int load_count, const int* facet_ids, const double* loads) {
    if (region_index < 1 || load_count < 0) return quorrel_rejected;
    if (load_count > 0 && (!facet_ids || !values_are_finite(loads, 3 * static_cast<int64_t>(load_count))))
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_facet_loads_(&region_index, &load_count, facet_ids, loads, &ierr);
    return ierr;
}

int quorrel_coupling_apply_facet_pressures(int region_index, int load_count, const int* facet_ids,
                                           const double* pressures, int distribution_mode, int coupling_step) {
    if (facet_import_rejected(region_index, load_count, facet_ids, pressures, 1, coupling_step)) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_facet_pressures_(&region_index, &load_count, facet_ids, pressures, &distribution_mode,
                                          &coupling_step, &ierr);
    return ierr;
}

int quorrel_coupling_apply_facet_tractions(int region_index, int load_count, const int* facet_ids,
                                           const double* tractions, int distribution_mode, int coupling_step) {
    if (facet_import_rejected(region_index, load_count, facet_ids, tractions, 3, coupling_step)) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_facet_tractions_(&region_index, &load_count, facet_ids, tractions, &distribution_mode,
                                          &coupling_step, &ierr);
    return ierr;
}

int quorrel_coupling_apply_facet_resultants(int region_index, int load_count, const int* facet_ids,
                                            const double* resultants, int distribution_mode, int coupling_step) {
    if (facet_import_rejected(region_index, load_count, facet_ids, resultants, 3, coupling_step))
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_facet_resultants_(&region_index, &load_count, facet_ids, resultants, &distribution_mode,
                                           &coupling_step, &ierr);
    return ierr;
}

int quorrel_coupling_apply_contact_state(int region_index, int contact_count, const int* facet_ids,
                                         const double* normals, const double* gaps, const double* penetrations,
                                         const double* contact_pressures, int coupling_step) {
    if (region_index < 1 || contact_count < 0 || coupling_step < 0) return quorrel_rejected;
    if (contact_count > 0) {
        if (!facet_ids) return quorrel_rejected;
        const int64_t n = contact_count;
        if (!values_are_finite(normals, 3 * n) || !values_are_finite(gaps, n) || !values_are_finite(penetrations, n) ||
            !values_are_finite(contact_pressures, n))
            return quorrel_rejected;
    }
    int32_t ierr = 0;
    sphft_coupling_apply_contact_state_(&region_index, &contact_count, facet_ids, normals, gaps, penetrations,
                                        contact_pressures, &coupling_step, &ierr);
    return ierr;
}

int quorrel_coupling_apply_motion_boundary(int region_index, int export_index, int target_kind, int mode,
                                           const double* target) {
    if (region_index < 1 || export_index < 1 || !values_are_finite(target, 3)) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_apply_motion_boundary_(&region_index, &export_index, &target_kind, &mode, target, &ierr);
    return ierr;
}

int quorrel_coupling_clear_imports(void) {
    int32_t ierr = 0;
    sphft_coupling_clear_imports_(&ierr);
    return ierr;
}

int quorrel_coupling_get_load_balance(double* input_force, double* distributed_force, double* force_error,
                                      double* input_moment, double* distributed_moment, double* moment_error) {
    if (!input_force || !distributed_force || !force_error || !input_moment || !distributed_moment || !moment_error)
        return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_get_load_balance_(input_force, distributed_force, force_error, input_moment, distributed_moment,
                                     moment_error, &ierr);
    return ierr;
}

int quorrel_coupling_get_contact_diagnostics(int* counts, int count_capacity, double* values, int value_capacity) {
    if (!counts || !values || count_capacity < 7 || value_capacity < 1) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_get_contact_diagnostics_(counts, values, &ierr);
    return ierr;
}

int quorrel_coupling_get_diagnostics(double* values, int value_capacity, int* counts, int count_capacity) {
    if (!values || !counts || value_capacity < 27 || count_capacity < 12) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_coupling_get_diagnostics_(&value_capacity, values, &count_capacity, counts, &ierr);
    return ierr;
}

}  // extern "C"
