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

}  // extern "C"
