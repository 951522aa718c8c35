// The Fortran-callable entry points: every argument by reference, the status last in
// `ierr`, and no exception let out (`guarded`). Each passes its arguments to the sph_*
// operation of the same name, or, for the coupling entries, straight to the coupling
// interface with the indices counted from 1.
#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "interface/sph_api.h"

using namespace quorrel;

namespace {

constexpr std::string_view allocation_message = "failed to allocate memory";

// Records a failure and returns its code without ever throwing. Storing the message may
// itself need memory; when even that fails the code stands with a short message that
// fits the stored text's present room.
int32_t record_failure(int code, std::string_view message, const char* detail = nullptr) noexcept {
    try {
        if (detail == nullptr || *detail == '\0') return sph_fail(code, message);
        std::string text(message);
        text += ": ";
        text += detail;
        return sph_fail(code, text);
    } catch (...) {
        sph_error.last_error_code = code;
        constexpr std::string_view fallback = "out of memory";
        std::string& stored = sph_error.last_error_message;
        if (stored.capacity() >= fallback.size())
            stored.assign(fallback.data(), fallback.size());  // within capacity: no allocation
        else
            stored.clear();
        return code;
    }
}

// Runs one entry point's work and stores its status. No exception reaches a C or
// Fortran caller: running out of memory (bad_alloc, or length_error from a size no
// container can hold) is code 5 with the allocation message; any other exception is
// code 5 as well, since the operation stopped part-way through the model's data,
// with its own text after "unexpected failure".
template <typename Work>
void guarded(int32_t* ierr, Work&& work) noexcept {
    try {
        *ierr = work();
    } catch (const std::bad_alloc&) {
        *ierr = sph_api_allocation_failure();
    } catch (const std::length_error&) {
        *ierr = sph_api_allocation_failure();
    } catch (const std::exception& e) {
        *ierr = record_failure(sph_error_database, "unexpected failure", e.what());
    } catch (...) {
        *ierr = record_failure(sph_error_database, "unexpected failure");
    }
}

// An index or id counted from 1 as a 0-based index; -1 (never valid) for anything below 1.
int32_t from_one(int32_t id) {
    const int64_t index = static_cast<int64_t>(id) - 1;
    return index < 0 ? -1 : static_cast<int32_t>(index);
}

// A text from character codes: the low byte of each of the first min(count, 1024) codes.
std::string text_from_codes(const int32_t* chars, int32_t count) {
    const int32_t n = std::clamp(count, 0, sph_api_text_len);
    std::string text(static_cast<std::size_t>(n), ' ');
    for (int32_t i = 0; i < n; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>(chars[i] & 0xFF);
    return text;
}

// Writes min(len, capacity - 1) codes and a terminating 0 (capacity must be at least 1).
void codes_from_text(std::string_view text, int32_t* chars, int32_t capacity) {
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
    for (std::size_t i = 0; i < n; ++i) chars[i] = static_cast<unsigned char>(text[i]);
    chars[n] = 0;
}

}  // namespace

int32_t quorrel::sph_api_allocation_failure() noexcept {
    return record_failure(sph_error_database, allocation_message);
}

extern "C" {

void sphft_initialize_(int32_t* ierr) {
    guarded(ierr, [] {
        sph_initialize();
        return sph_success;
    });
}

void sphft_finalize_(int32_t* ierr) {
    guarded(ierr, [] {
        sph_finalize();
        return sph_success;
    });
}

void sphft_get_version_(int32_t* major, int32_t* minor, int32_t* patch, int32_t* ierr) {
    guarded(ierr, [&] {
        sph_get_version(*major, *minor, *patch);
        return sph_success;
    });
}

void sphft_get_last_error_chars_(int32_t* code, int32_t* chars, const int32_t* capacity, int32_t* actual,
                                 int32_t* ierr) {
    guarded(ierr, [&] {
        char message[sph_error_message_len];
        sph_get_last_error(*code, message, sizeof message);
        if (*capacity < 1) return sph_success;
        const std::string_view text = sph_trim_right(std::string_view(message, sizeof message));
        *actual =
            static_cast<int32_t>(std::min<std::size_t>(text.size(), static_cast<std::size_t>(*capacity - 1)));
        codes_from_text(text, chars, *capacity);
        return sph_success;
    });
}

void sphft_read_inp_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_read_inp(text_from_codes(chars, *count)); });
}

void sphft_set_output_directory_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_set_output_directory(text_from_codes(chars, *count)); });
}

void sphft_write_csv_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_write_csv(text_from_codes(chars, *count)); });
}

void sphft_write_vtu_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_write_vtu(text_from_codes(chars, *count)); });
}

void sphft_write_restart_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_write_restart(text_from_codes(chars, *count)); });
}

void sphft_read_restart_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_read_restart(text_from_codes(chars, *count)); });
}

void sphft_build_model_(int32_t* ierr) {
    guarded(ierr, [] { return sph_build_model(); });
}

void sphft_estimate_stable_dt_(double* dtcrit, int32_t* ierr) {
    guarded(ierr, [&] { return sph_estimate_stable_dt(*dtcrit); });
}

void sphft_advance_explicit_(const double* dt, int32_t* ierr) {
    guarded(ierr, [&] { return sph_advance_explicit(*dt); });
}

void sphft_run_explicit_(int32_t* ierr) {
    guarded(ierr, [] { return sph_run_explicit(); });
}

void sphft_get_current_time_(double* time, int32_t* step, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_current_time(*time, *step); });
}

void sphft_get_particle_count_(int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_particle_count(*count); });
}

void sphft_get_particle_state_capacity_(int32_t* count, int32_t* ndim, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_particle_state_capacity(*count, *ndim); });
}

void sphft_get_particle_state_(const int32_t* max_particles, int32_t* particle_id_ext, int32_t* phase,
                               int32_t* status, int32_t* material_id, int32_t* section_id, double* x, double* v,
                               double* a, double* rho, double* pressure, double* internal_energy,
                               double* temperature, double* h, int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_get_particle_state(*max_particles, particle_id_ext, phase, status, material_id, section_id, x, v,
                                      a, rho, pressure, internal_energy, temperature, h, *count);
    });
}

void sphft_get_input_warning_count_(int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_input_warning_count(*count); });
}

void sphft_set_output_interval_(const int32_t* interval, int32_t* ierr) {
    guarded(ierr, [&] { return sph_set_output_interval(*interval); });
}

void sphft_write_output_(const int32_t* step, const double* time, int32_t* ierr) {
    guarded(ierr, [&] { return sph_write_output(*step, *time); });
}

void sphft_get_water_summary_(double* mass, double* momentum, double* max_pressure, double* min_density,
                              double* max_density, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_water_summary(*mass, momentum, *max_pressure, *min_density, *max_density); });
}

void sphft_get_water_dt_limits_(double* dt_cfl, double* dt_accel, double* dt_viscous, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_water_dt_limits(*dt_cfl, *dt_accel, *dt_viscous); });
}

void sphft_get_gas_summary_(double* volume, double* center, double* mean_pressure, double* max_pressure,
                            int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_gas_summary(*volume, center, *mean_pressure, *max_pressure); });
}

void sphft_get_gas_bubble_metrics_(double* equivalent_radius, double* radius_rate, double* center, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_gas_bubble_metrics(*equivalent_radius, *radius_rate, center); });
}

void sphft_get_gas_dt_limits_(double* dt_cfl, double* dt_accel, double* dtcrit, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_gas_dt_limits(*dt_cfl, *dt_accel, *dtcrit); });
}

void sphft_get_gas_extended_summary_(double* mass, double* momentum, double* density_range, double* dt_limits,
                                     int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_gas_extended_summary(*mass, momentum, density_range, dt_limits); });
}

void sphft_get_gas_source_summary_(double* mass_source, double* momentum_source, double* energy_source,
                                   int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_gas_source_summary(*mass_source, momentum_source, *energy_source); });
}

void sphft_set_ignition_point_(const double* x_value, const double* y_value, const double* z_value,
                               const double* time_value, int32_t* ierr) {
    guarded(ierr, [&] { return sph_set_ignition_point(*x_value, *y_value, *z_value, *time_value); });
}

void sphft_get_explosive_summary_(int32_t* particle_count, int32_t* reacted_count, double* lambda_range,
                                  double* released_totals, double* detonation_time_range, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_get_explosive_summary(*particle_count, *reacted_count, lambda_range, released_totals,
                                         detonation_time_range);
    });
}

void sphft_get_explosive_release_balance_(double* mass_values, double* energy_values, double* momentum_values,
                                          int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_explosive_release_balance(mass_values, energy_values, momentum_values); });
}

void sphft_get_solid_counts_(int32_t* active_count, int32_t* failed_count, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_solid_counts(*active_count, *failed_count); });
}

void sphft_get_solid_summary_(int32_t* active_count, int32_t* failed_count, double* mass, double* momentum,
                              double* energy, double* max_von_mises, double* plastic_range, double* damage_range,
                              double* softening_range, double* dt_limits, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_get_solid_summary(*active_count, *failed_count, *mass, momentum, energy, *max_von_mises,
                                     plastic_range, damage_range, softening_range, dt_limits);
    });
}

void sphft_get_solid_state_(const int32_t* max_particles, const int32_t* value_capacity, double* values,
                            int32_t* failure_status, int32_t* reference_neighbor_count,
                            int32_t* reference_degenerate, int32_t* correction_status, int32_t* count,
                            int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_get_solid_state(*max_particles, *value_capacity, values, failure_status,
                                   reference_neighbor_count, reference_degenerate, correction_status, *count);
    });
}

void sphft_get_solid_diagnostics_(const int32_t* value_capacity, double* values, int32_t* ierr) {
    guarded(ierr, [&] { return sph_get_solid_diagnostics(*value_capacity, values); });
}

void sphft_get_solid_reference_quality_(int32_t* reference_neighbor_min, double* correction_det_min,
                                        int32_t* correction_status, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_get_solid_reference_quality(*reference_neighbor_min, *correction_det_min, *correction_status);
    });
}

void sphft_coupling_get_region_count_(int32_t* count, int32_t* ierr) {
    guarded(ierr, [&] {
        sph_coupling_get_region_count(*count);
        return sph_success;
    });
}

void sphft_coupling_get_region_modes_(const int32_t* region_index, int32_t* load_mode, int32_t* distribution_mode,
                                      int32_t* contact_state_mode, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_get_region_modes(from_one(*region_index), *load_mode, *distribution_mode,
                                             *contact_state_mode);
    });
}

void sphft_coupling_get_region_info_(const int32_t* region_index, int32_t* chars, const int32_t* capacity,
                                     int32_t* actual, int32_t* region_type, int32_t* export_mode,
                                     int32_t* import_mode, int32_t* enabled, int32_t* particle_count,
                                     int32_t* facet_count, int32_t* ierr) {
    guarded(ierr, [&] {
        *actual = 0;
        if (*capacity > 0) chars[0] = 0;
        std::string_view name;
        if (int st = sph_coupling_get_region_info(from_one(*region_index), name, *region_type, *export_mode,
                                                  *import_mode, *enabled, *particle_count, *facet_count))
            return st;
        *actual = static_cast<int32_t>(name.size());
        if (*capacity > 0) codes_from_text(name, chars, *capacity);
        return sph_success;
    });
}

// ---- Coupling: unguarded, straight to the coupling interface. Region indices, export
// indices and facet ids count from 1 here. ----

void sphft_coupling_export_particles_(const int32_t* region_index, const int32_t* capacity, int32_t* count,
                                      int32_t* ext_ids, int32_t* internal_indices, int32_t* phases, int32_t* statuses,
                                      int32_t* materials, int32_t* sections, double* scalar_values,
                                      double* vector_values, int32_t* ierr) {
    guarded(ierr, [&] {
        const SphCouplingParticleExport out{ext_ids,  internal_indices, phases,        statuses,
                                            materials, sections,        scalar_values, vector_values, 1};
        return sph_coupling_export_particles(from_one(*region_index), *capacity, *count, out);
    });
}

void sphft_coupling_export_facets_(const int32_t* region_index, const int32_t* capacity, int32_t* count,
                                   int32_t* facet_ids, int32_t* particle_ids, int32_t* materials, int32_t* sections,
                                   double* vector_values, double* area_values, int32_t* ierr) {
    guarded(ierr, [&] {
        const SphCouplingFacetExport out{facet_ids, particle_ids, materials, sections, vector_values, area_values, 1};
        return sph_coupling_export_facets(from_one(*region_index), *capacity, *count, out);
    });
}

void sphft_coupling_apply_particle_forces_(const int32_t* region_index, const int32_t* force_count,
                                           const int32_t* export_indices, const double* forces, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_particle_forces(from_one(*region_index), *force_count, export_indices, forces, 1);
    });
}

void sphft_coupling_apply_facet_loads_(const int32_t* region_index, const int32_t* load_count,
                                       const int32_t* facet_ids, const double* loads, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_facet_loads(from_one(*region_index), *load_count, facet_ids, loads, 1);
    });
}

void sphft_coupling_apply_facet_pressures_(const int32_t* region_index, const int32_t* load_count,
                                           const int32_t* facet_ids, const double* pressures,
                                           const int32_t* distribution_mode, const int32_t* coupling_step,
                                           int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_facet_pressures(from_one(*region_index), *load_count, facet_ids, pressures,
                                                  *distribution_mode, *coupling_step, 1);
    });
}

void sphft_coupling_apply_facet_tractions_(const int32_t* region_index, const int32_t* load_count,
                                           const int32_t* facet_ids, const double* tractions,
                                           const int32_t* distribution_mode, const int32_t* coupling_step,
                                           int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_facet_tractions(from_one(*region_index), *load_count, facet_ids, tractions,
                                                  *distribution_mode, *coupling_step, 1);
    });
}

void sphft_coupling_apply_facet_resultants_(const int32_t* region_index, const int32_t* load_count,
                                            const int32_t* facet_ids, const double* resultants,
                                            const int32_t* distribution_mode, const int32_t* coupling_step,
                                            int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_facet_resultants(from_one(*region_index), *load_count, facet_ids, resultants,
                                                   *distribution_mode, *coupling_step, 1);
    });
}

void sphft_coupling_apply_contact_state_(const int32_t* region_index, const int32_t* contact_count,
                                         const int32_t* facet_ids, const double* normals, const double* gaps,
                                         const double* penetrations, const double* contact_pressures,
                                         const int32_t* coupling_step, int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_contact_state(from_one(*region_index), *contact_count, facet_ids, normals, gaps,
                                                penetrations, contact_pressures, *coupling_step, 1);
    });
}

void sphft_coupling_apply_motion_boundary_(const int32_t* region_index, const int32_t* export_index,
                                           const int32_t* target_kind, const int32_t* mode, const double* target,
                                           int32_t* ierr) {
    guarded(ierr, [&] {
        return sph_coupling_apply_motion_boundary(from_one(*region_index), from_one(*export_index),
                                                  *target_kind, *mode, target);
    });
}

void sphft_coupling_clear_imports_(int32_t* ierr) {
    guarded(ierr, [] { return sph_coupling_clear_imports(); });
}

void sphft_coupling_get_load_balance_(double* input_force, double* distributed_force, double* force_error,
                                      double* input_moment, double* distributed_moment, double* moment_error,
                                      int32_t* ierr) {
    guarded(ierr, [&] {
        sph_coupling_get_load_balance(input_force, distributed_force, *force_error, input_moment, distributed_moment,
                                      *moment_error);
        return sph_success;
    });
}

void sphft_coupling_get_contact_diagnostics_(int32_t* counts, double* values, int32_t* ierr) {
    guarded(ierr, [&] {
        int32_t active = 0, skipped = 0, stale = 0, repeated = 0, nonfinite = 0, bad_area = 0, invalid_weight = 0;
        double max_penetration = 0.0;
        sph_coupling_get_contact_diagnostics(active, skipped, max_penetration, stale, repeated, nonfinite, bad_area,
                                             invalid_weight);
        const int32_t packed[7] = {active, skipped, stale, repeated, nonfinite, bad_area, invalid_weight};
        std::copy(packed, packed + 7, counts);
        values[0] = max_penetration;
        return sph_success;
    });
}

void sphft_coupling_get_diagnostics_(const int32_t* value_capacity, double* values, const int32_t* count_capacity,
                                     int32_t* counts, int32_t* ierr) {
    guarded(ierr, [&] { return sph_coupling_get_diagnostic_values(*value_capacity, values, *count_capacity, counts); });
}

}  // extern "C"
