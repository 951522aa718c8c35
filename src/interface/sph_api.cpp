#include "interface/sph_api.h"

#include <algorithm>
#include <string_view>

#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_log.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "interface/sph_api_state.h"
#include "lifecycle/sph_lifecycle.h"
#include "output/sph_output.h"
#include "output/sph_output_vtu.h"
#include "output/sph_restart.h"
#include "particle/sph_neighbor.h"
#include "solid/sph_solid_api.h"
#include "solid/sph_solid_dynamics.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

namespace quorrel {

int sph_api_require_initialized() {
    if (!sph_api_state.sph_api_initialized) return sph_fail(sph_error_state, "Quorrel API is not initialized");
    return 0;
}

int sph_api_require_model_built() {
    if (!sph_api_state.sph_api_model_built) return sph_fail(sph_error_state, "Quorrel model is not built");
    return 0;
}

namespace {

int require_built_model() {
    if (int st = sph_api_require_initialized()) return st;
    return sph_api_require_model_built();
}

// Texts cross the interface with meaningless trailing blanks.
std::string_view text_arg(std::string_view text) { return sph_trim_right(text); }

}  // namespace

void sph_initialize() {
    sph_lifecycle_initialize();
    sph_api_state_set_initialized(true);
    sph_api_state_set_model_built(false);
}

void sph_finalize() {
    sph_lifecycle_finalize();
    (void)sph_log_close();
    sph_api_state_set_initialized(false);
    sph_error_clear();
}

void sph_get_version(int32_t& major, int32_t& minor, int32_t& patch) {
    major = sph_api_version_major;
    minor = sph_api_version_minor;
    patch = sph_api_version_patch;
}

void sph_get_last_error(int32_t& code, char* message, std::size_t message_len) {
    int c = 0;
    sph_error_get(c, message, message_len);
    code = c;
}

int sph_read_inp(std::string_view filename) {
    if (int st = sph_api_require_initialized()) return st;
    sph_api_state_set_model_built(false);
    return sph_input_read(text_arg(filename));
}

int sph_build_model() {
    if (int st = sph_api_require_initialized()) return st;
    if (int st = sph_input_build_model()) return st;
    // A built model starts with empty imports at epoch 1.
    if (int st = sph_coupling_clear_imports()) return st;
    sph_api_state_set_model_built(true);
    return 0;
}

int sph_run_explicit() {
    if (int st = require_built_model()) return st;
    return sph_solver_run_explicit();
}

int sph_advance_explicit(double dt) {
    if (int st = require_built_model()) return st;
    return sph_solver_advance_explicit(dt);
}

int sph_estimate_stable_dt(double& dtcrit) {
    dtcrit = 0.0;
    if (int st = require_built_model()) return st;
    return sph_solver_estimate_stable_dt(dtcrit);
}

int sph_rebuild_neighbors() {
    if (int st = require_built_model()) return st;
    return sph_neighbor_rebuild();
}

int sph_set_output_directory(std::string_view directory) {
    if (int st = sph_api_require_initialized()) return st;
    return sph_output_set_directory(text_arg(directory));
}

int sph_set_output_interval(int32_t interval) {
    if (int st = sph_api_require_initialized()) return st;
    return sph_output_set_interval(interval);
}

int sph_write_output(int32_t step, double time) {
    if (int st = sph_api_require_initialized()) return st;
    return sph_output_write_step(step, time);
}

int sph_write_csv(std::string_view filename) {
    if (int st = sph_api_require_initialized()) return st;
    return sph_output_write_csv(text_arg(filename));
}

int sph_write_vtu(std::string_view filename) {
    if (int st = sph_api_require_initialized()) return st;
    return sph_output_write_vtu(text_arg(filename));
}

// Only a built model is written: the file of an unbuilt one would read back as a built
// model without its sections and phase state.
int sph_write_restart(std::string_view filename) {
    if (int st = require_built_model()) return st;
    return sph_restart_write(text_arg(filename));
}

int sph_read_restart(std::string_view filename) {
    if (int st = sph_api_require_initialized()) return st;
    bool replaced = false;
    const int st = sph_restart_read(text_arg(filename), replaced);
    // Past the header the file has replaced the model, so a failure leaves none built.
    if (st == 0 || replaced) sph_api_state_set_model_built(st == 0);
    return st;
}

int sph_set_ignition_point(double x_value, double y_value, double z_value, double time_value) {
    if (int st = sph_api_require_initialized()) return st;
    const double point[3] = {x_value, y_value, z_value};
    return sph_explosive_set_default_ignition_point(point, time_value);
}

int sph_get_current_time(double& time, int32_t& step) {
    time = 0.0;
    step = 0;
    if (int st = sph_api_require_initialized()) return st;
    sph_control_get_time(time, step);
    return 0;
}

int sph_get_particle_count(int32_t& count) {
    count = 0;
    if (int st = sph_api_require_initialized()) return st;
    sph_db_get_particle_count(count);
    return 0;
}

int sph_get_particle_state_capacity(int32_t& count, int32_t& ndim) {
    count = 0;
    ndim = 0;
    if (int st = sph_api_require_initialized()) return st;
    sph_db_get_particle_state_capacity(count, ndim);
    return 0;
}

int sph_get_particle_state(int32_t max_particles, int32_t* particle_id_ext, int32_t* phase, int32_t* status,
                           int32_t* material_id, int32_t* section_id, double* x, double* v, double* a,
                           double* rho, double* pressure, double* internal_energy, double* temperature,
                           double* h, int32_t& count) {
    count = 0;
    if (int st = sph_api_require_initialized()) return st;
    return sph_db_get_particle_state(max_particles, particle_id_ext, phase, status, material_id, section_id, x, v,
                                     a, rho, pressure, internal_energy, temperature, h, count);
}

int sph_get_input_warning_count(int32_t& count) {
    count = 0;
    if (int st = sph_api_require_initialized()) return st;
    sph_input_get_warning_count(count);
    return 0;
}

int sph_get_neighbor_stats(int32_t& max_neighbors, double& average_neighbors) {
    max_neighbors = 0;
    average_neighbors = 0.0;
    if (int st = require_built_model()) return st;
    return sph_neighbor_get_stats(max_neighbors, average_neighbors);
}

int sph_get_water_summary(double& mass, double momentum[3], double& max_pressure, double& min_density,
                          double& max_density) {
    mass = max_pressure = min_density = max_density = 0.0;
    momentum[0] = momentum[1] = momentum[2] = 0.0;
    if (int st = require_built_model()) return st;
    return sph_water_get_summary(mass, momentum, max_pressure, min_density, max_density);
}

int sph_get_water_dt_limits(double& dt_cfl, double& dt_accel, double& dt_viscous) {
    dt_cfl = dt_accel = dt_viscous = 0.0;
    if (int st = require_built_model()) return st;
    return sph_water_estimate_dt_limits(dt_cfl, dt_accel, dt_viscous);
}

int sph_get_blast_summary(int32_t region, int32_t counts[12], double values[26]) {
    std::fill(counts, counts + sph_blast_summary_count_size, 0);
    std::fill(values, values + sph_blast_summary_value_size, 0.0);
    if (int st = require_built_model()) return st;
    return sph_blast_load_get_summary(region, counts, values);
}

int sph_get_gas_summary(double& volume, double center[3], double& mean_pressure, double& max_pressure) {
    volume = mean_pressure = max_pressure = 0.0;
    center[0] = center[1] = center[2] = 0.0;
    if (int st = require_built_model()) return st;
    return sph_gas_get_summary(volume, center, mean_pressure, max_pressure);
}

int sph_get_gas_bubble_metrics(double& equivalent_radius, double& radius_rate, double center[3]) {
    equivalent_radius = radius_rate = 0.0;
    center[0] = center[1] = center[2] = 0.0;
    if (int st = require_built_model()) return st;
    sph_gas_get_bubble_metrics(equivalent_radius, radius_rate, center);
    return sph_success;
}

int sph_get_gas_dt_limits(double& dt_cfl, double& dt_accel, double& dtcrit) {
    dt_cfl = dt_accel = dtcrit = 0.0;
    if (int st = require_built_model()) return st;
    return sph_gas_estimate_dt_limits(dt_cfl, dt_accel, dtcrit);
}

int sph_get_gas_extended_summary(double& mass, double momentum[3], double density_range[2], double dt_limits[3]) {
    mass = 0.0;
    momentum[0] = momentum[1] = momentum[2] = 0.0;
    density_range[0] = density_range[1] = 0.0;
    dt_limits[0] = dt_limits[1] = dt_limits[2] = 0.0;
    if (int st = require_built_model()) return st;
    return sph_gas_get_extended_summary(mass, momentum, density_range, dt_limits);
}

int sph_get_gas_source_summary(double& mass_source, double momentum_source[3], double& energy_source) {
    mass_source = energy_source = 0.0;
    momentum_source[0] = momentum_source[1] = momentum_source[2] = 0.0;
    if (int st = require_built_model()) return st;
    return sph_gas_get_source_summary(mass_source, momentum_source, energy_source);
}

int sph_get_explosive_summary(int32_t& particle_count, int32_t& reacted_count, double lambda_range[3],
                              double released_totals[5], double detonation_time_range[2]) {
    particle_count = reacted_count = 0;
    std::fill(lambda_range, lambda_range + 3, 0.0);
    std::fill(released_totals, released_totals + 5, 0.0);
    std::fill(detonation_time_range, detonation_time_range + 2, 0.0);
    if (int st = require_built_model()) return st;
    return sph_explosive_get_summary(particle_count, reacted_count, lambda_range, released_totals,
                                     detonation_time_range);
}

int sph_get_explosive_release_balance(double mass_values[4], double energy_values[2], double momentum_values[3]) {
    std::fill(mass_values, mass_values + 4, 0.0);
    std::fill(energy_values, energy_values + 2, 0.0);
    std::fill(momentum_values, momentum_values + 3, 0.0);
    if (int st = require_built_model()) return st;
    return sph_explosive_get_release_balance(mass_values, energy_values, momentum_values);
}

int sph_get_solid_counts(int32_t& active_count, int32_t& failed_count) {
    active_count = failed_count = 0;
    if (int st = require_built_model()) return st;
    sph_solid_get_counts(active_count, failed_count);
    return sph_success;
}

int sph_get_solid_summary(int32_t& active_count, int32_t& failed_count, double& mass, double momentum[3],
                          double energy[2], double& max_von_mises, double plastic_range[2], double damage_range[2],
                          double softening_range[2], double dt_limits[3]) {
    active_count = failed_count = 0;
    mass = max_von_mises = 0.0;
    std::fill(momentum, momentum + 3, 0.0);
    std::fill(dt_limits, dt_limits + 3, 0.0);
    for (double* pair : {energy, plastic_range, damage_range, softening_range}) std::fill(pair, pair + 2, 0.0);
    if (int st = require_built_model()) return st;
    return sph_solid_get_summary(active_count, failed_count, mass, momentum, energy, max_von_mises, plastic_range,
                                 damage_range, softening_range, dt_limits);
}

int sph_get_solid_state(int32_t max_particles, int32_t value_capacity, double* values, int32_t* failure_status,
                        int32_t* reference_neighbor_count, int32_t* reference_degenerate,
                        int32_t* correction_status, int32_t& count) {
    count = 0;
    if (int st = require_built_model()) return st;
    return sph_solid_get_state(max_particles, value_capacity, values, failure_status, reference_neighbor_count,
                               reference_degenerate, correction_status, count);
}

int sph_get_solid_diagnostics(int32_t value_capacity, double* values) {
    if (int st = require_built_model()) return st;
    return sph_solid_get_diagnostics(value_capacity, values);
}

int sph_get_solid_reference_quality(int32_t& reference_neighbor_min, double& correction_det_min,
                                    int32_t& correction_status) {
    reference_neighbor_min = correction_status = 0;
    correction_det_min = 0.0;
    if (int st = require_built_model()) return st;
    return sph_solid_get_reference_quality(reference_neighbor_min, correction_det_min, correction_status);
}

}  // namespace quorrel
