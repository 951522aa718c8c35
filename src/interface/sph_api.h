// The programming interface over the model: lifecycle, guards, model operations
// and queries (sph_api.cpp), plus the Fortran-callable entry points (every argument by
// reference, status last; sph_fortran_api.cpp) that the C interface calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quorrel_version.h"

namespace quorrel {

inline constexpr int32_t sph_api_version_major = QUORREL_VERSION_MAJOR;
inline constexpr int32_t sph_api_version_minor = QUORREL_VERSION_MINOR;
inline constexpr int32_t sph_api_version_patch = QUORREL_VERSION_PATCH;
// Longest text that crosses the entry points (paths).
inline constexpr int32_t sph_api_text_len = 1024;

[[nodiscard]] int sph_api_require_initialized();
[[nodiscard]] int sph_api_require_model_built();

// Lifecycle; neither can fail.
void sph_initialize();
void sph_finalize();
void sph_get_version(int32_t& major, int32_t& minor, int32_t& patch);
// The message is blank-padded or cut to `message_len` bytes.
void sph_get_last_error(int32_t& code, char* message, std::size_t message_len);

// Model operations.
[[nodiscard]] int sph_read_inp(std::string_view filename);
[[nodiscard]] int sph_build_model();
[[nodiscard]] int sph_run_explicit();
[[nodiscard]] int sph_advance_explicit(double dt);
[[nodiscard]] int sph_estimate_stable_dt(double& dtcrit);
[[nodiscard]] int sph_rebuild_neighbors();
[[nodiscard]] int sph_set_output_directory(std::string_view directory);
[[nodiscard]] int sph_set_output_interval(int32_t interval);
[[nodiscard]] int sph_write_output(int32_t step, double time);
[[nodiscard]] int sph_write_csv(std::string_view filename);
[[nodiscard]] int sph_write_vtu(std::string_view filename);
// The whole model to a restart file, and back; only a built model is written, and a
// successful read leaves the model built.
[[nodiscard]] int sph_write_restart(std::string_view filename);
[[nodiscard]] int sph_read_restart(std::string_view filename);
// An ignition record at (x, y, z) and `time_value` for the first explosive material; on a
// built model the detonation times follow at once (the earlier arrival wins).
[[nodiscard]] int sph_set_ignition_point(double x_value, double y_value, double z_value, double time_value);

// Queries.
[[nodiscard]] int sph_get_current_time(double& time, int32_t& step);
[[nodiscard]] int sph_get_particle_count(int32_t& count);
[[nodiscard]] int sph_get_particle_state_capacity(int32_t& count, int32_t& ndim);
[[nodiscard]] int sph_get_particle_state(int32_t max_particles, int32_t* particle_id_ext, int32_t* phase,
                                         int32_t* status, int32_t* material_id, int32_t* section_id, double* x,
                                         double* v, double* a, double* rho, double* pressure,
                                         double* internal_energy, double* temperature, double* h,
                                         int32_t& count);
[[nodiscard]] int sph_get_input_warning_count(int32_t& count);
[[nodiscard]] int sph_get_neighbor_stats(int32_t& max_neighbors, double& average_neighbors);
[[nodiscard]] int sph_get_water_summary(double& mass, double momentum[3], double& max_pressure,
                                        double& min_density, double& max_density);
[[nodiscard]] int sph_get_water_dt_limits(double& dt_cfl, double& dt_accel, double& dt_viscous);
// The blast region summary of region `region` (1-based): 12 counts and 26 values. Not
// offered through the C or Fortran entry points.
[[nodiscard]] int sph_get_blast_summary(int32_t region, int32_t counts[12], double values[26]);
// The gas summaries; a summary or the extended summary refreshes the gas diagnostics,
// which moves the bubble history (a radius rate read after it is the change since the
// previous refresh). The bubble metrics read the stored values.
[[nodiscard]] int sph_get_gas_summary(double& volume, double center[3], double& mean_pressure,
                                      double& max_pressure);
[[nodiscard]] int sph_get_gas_bubble_metrics(double& equivalent_radius, double& radius_rate, double center[3]);
[[nodiscard]] int sph_get_gas_dt_limits(double& dt_cfl, double& dt_accel, double& dtcrit);
// density_range: min, max; dt_limits: cfl, accel, the limit of the two.
[[nodiscard]] int sph_get_gas_extended_summary(double& mass, double momentum[3], double density_range[2],
                                               double dt_limits[3]);
[[nodiscard]] int sph_get_gas_source_summary(double& mass_source, double momentum_source[3], double& energy_source);
// lambda_range: min, max, mean; released_totals: mass, energy, momentum x, y, z;
// detonation_time_range: min, max; all over the particles the burn tracks.
[[nodiscard]] int sph_get_explosive_summary(int32_t& particle_count, int32_t& reacted_count, double lambda_range[3],
                                           double released_totals[5], double detonation_time_range[2]);
// mass_values: initial, released, remaining, initial - released - remaining;
// energy_values: released, released - expected; momentum_values: released momentum.
[[nodiscard]] int sph_get_explosive_release_balance(double mass_values[4], double energy_values[2],
                                                   double momentum_values[3]);

// The solid queries. Counts: active solid particles and failed particles.
[[nodiscard]] int sph_get_solid_counts(int32_t& active_count, int32_t& failed_count);
// energy: kinetic, internal; each range: min, max; dt_limits: cfl, accel, the limit of the
// two (the solid accelerations are recomputed for them).
[[nodiscard]] int sph_get_solid_summary(int32_t& active_count, int32_t& failed_count, double& mass,
                                        double momentum[3], double energy[2], double& max_von_mises,
                                        double plastic_range[2], double damage_range[2],
                                        double softening_range[2], double dt_limits[3]);
// `values` holds value_capacity rows by max_particles columns, column i for particle i; the
// four integer arrays max_particles entries each. A failed guard zeroes only `count`.
[[nodiscard]] int sph_get_solid_state(int32_t max_particles, int32_t value_capacity, double* values,
                                      int32_t* failure_status, int32_t* reference_neighbor_count,
                                      int32_t* reference_degenerate, int32_t* correction_status, int32_t& count);
// values: max strain rate, max acceleration, internal force residual. A failed guard
// leaves `values` as it was.
[[nodiscard]] int sph_get_solid_diagnostics(int32_t value_capacity, double* values);
[[nodiscard]] int sph_get_solid_reference_quality(int32_t& reference_neighbor_min, double& correction_det_min,
                                                  int32_t& correction_status);

// Records code 5 "failed to allocate memory" and returns 5. Never throws, so it can be
// called while memory is short (the C layer does when it cannot get a text buffer).
[[nodiscard]] int32_t sph_api_allocation_failure() noexcept;

}  // namespace quorrel

// Every entry point below returns its status in `ierr` and never lets an exception out.
extern "C" {

void sphft_initialize_(int32_t* ierr);
void sphft_finalize_(int32_t* ierr);
void sphft_get_version_(int32_t* major, int32_t* minor, int32_t* patch, int32_t* ierr);
void sphft_get_last_error_chars_(int32_t* code, int32_t* chars, const int32_t* capacity, int32_t* actual,
                                 int32_t* ierr);
void sphft_read_inp_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_set_output_directory_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_write_csv_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_write_vtu_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_write_restart_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_read_restart_chars_(const int32_t* chars, const int32_t* count, int32_t* ierr);
void sphft_build_model_(int32_t* ierr);
void sphft_estimate_stable_dt_(double* dtcrit, int32_t* ierr);
void sphft_advance_explicit_(const double* dt, int32_t* ierr);
void sphft_run_explicit_(int32_t* ierr);
void sphft_get_current_time_(double* time, int32_t* step, int32_t* ierr);
void sphft_get_particle_count_(int32_t* count, int32_t* ierr);
void sphft_get_particle_state_capacity_(int32_t* count, int32_t* ndim, int32_t* ierr);
void sphft_get_particle_state_(const int32_t* max_particles, int32_t* particle_id_ext, int32_t* phase,
                               int32_t* status, int32_t* material_id, int32_t* section_id, double* x, double* v,
                               double* a, double* rho, double* pressure, double* internal_energy,
                               double* temperature, double* h, int32_t* count, int32_t* ierr);
void sphft_get_input_warning_count_(int32_t* count, int32_t* ierr);
void sphft_set_output_interval_(const int32_t* interval, int32_t* ierr);
void sphft_write_output_(const int32_t* step, const double* time, int32_t* ierr);
void sphft_get_water_summary_(double* mass, double* momentum, double* max_pressure, double* min_density,
                              double* max_density, int32_t* ierr);
void sphft_get_water_dt_limits_(double* dt_cfl, double* dt_accel, double* dt_viscous, int32_t* ierr);
void sphft_get_gas_summary_(double* volume, double* center, double* mean_pressure, double* max_pressure,
                            int32_t* ierr);
void sphft_get_gas_bubble_metrics_(double* equivalent_radius, double* radius_rate, double* center, int32_t* ierr);
void sphft_get_gas_dt_limits_(double* dt_cfl, double* dt_accel, double* dtcrit, int32_t* ierr);
void sphft_get_gas_extended_summary_(double* mass, double* momentum, double* density_range, double* dt_limits,
                                     int32_t* ierr);
void sphft_get_gas_source_summary_(double* mass_source, double* momentum_source, double* energy_source,
                                   int32_t* ierr);
void sphft_set_ignition_point_(const double* x_value, const double* y_value, const double* z_value,
                               const double* time_value, int32_t* ierr);
void sphft_get_explosive_summary_(int32_t* particle_count, int32_t* reacted_count, double* lambda_range,
                                  double* released_totals, double* detonation_time_range, int32_t* ierr);
void sphft_get_explosive_release_balance_(double* mass_values, double* energy_values, double* momentum_values,
                                          int32_t* ierr);
void sphft_get_solid_counts_(int32_t* active_count, int32_t* failed_count, int32_t* ierr);
void sphft_get_solid_summary_(int32_t* active_count, int32_t* failed_count, double* mass, double* momentum,
                              double* energy, double* max_von_mises, double* plastic_range, double* damage_range,
                              double* softening_range, double* dt_limits, int32_t* ierr);
void sphft_get_solid_state_(const int32_t* max_particles, const int32_t* value_capacity, double* values,
                            int32_t* failure_status, int32_t* reference_neighbor_count,
                            int32_t* reference_degenerate, int32_t* correction_status, int32_t* count,
                            int32_t* ierr);
void sphft_get_solid_diagnostics_(const int32_t* value_capacity, double* values, int32_t* ierr);
void sphft_get_solid_reference_quality_(int32_t* reference_neighbor_min, double* correction_det_min,
                                        int32_t* correction_status, int32_t* ierr);
void sphft_coupling_get_region_count_(int32_t* count, int32_t* ierr);
void sphft_coupling_get_region_modes_(const int32_t* region_index, int32_t* load_mode, int32_t* distribution_mode,
                                      int32_t* contact_state_mode, int32_t* ierr);
void sphft_coupling_get_region_info_(const int32_t* region_index, int32_t* chars, const int32_t* capacity,
                                     int32_t* actual, int32_t* region_type, int32_t* export_mode,
                                     int32_t* import_mode, int32_t* enabled, int32_t* particle_count,
                                     int32_t* facet_count, int32_t* ierr);

void sphft_coupling_export_particles_(const int32_t* region_index, const int32_t* capacity, int32_t* count,
                                      int32_t* ext_ids, int32_t* internal_indices, int32_t* phases, int32_t* statuses,
                                      int32_t* materials, int32_t* sections, double* scalar_values,
                                      double* vector_values, int32_t* ierr);
void sphft_coupling_export_facets_(const int32_t* region_index, const int32_t* capacity, int32_t* count,
                                   int32_t* facet_ids, int32_t* particle_ids, int32_t* materials, int32_t* sections,
                                   double* vector_values, double* area_values, int32_t* ierr);
void sphft_coupling_apply_particle_forces_(const int32_t* region_index, const int32_t* force_count,
                                           const int32_t* export_indices, const double* forces, int32_t* ierr);
void sphft_coupling_apply_facet_loads_(const int32_t* region_index, const int32_t* load_count,
                                       const int32_t* facet_ids, const double* loads, int32_t* ierr);
void sphft_coupling_apply_facet_pressures_(const int32_t* region_index, const int32_t* load_count,
                                           const int32_t* facet_ids, const double* pressures,
                                           const int32_t* distribution_mode, const int32_t* coupling_step,
                                           int32_t* ierr);
void sphft_coupling_apply_facet_tractions_(const int32_t* region_index, const int32_t* load_count,
                                           const int32_t* facet_ids, const double* tractions,
                                           const int32_t* distribution_mode, const int32_t* coupling_step,
                                           int32_t* ierr);
void sphft_coupling_apply_facet_resultants_(const int32_t* region_index, const int32_t* load_count,
                                            const int32_t* facet_ids, const double* resultants,
                                            const int32_t* distribution_mode, const int32_t* coupling_step,
                                            int32_t* ierr);
void sphft_coupling_apply_contact_state_(const int32_t* region_index, const int32_t* contact_count,
                                         const int32_t* facet_ids, const double* normals, const double* gaps,
                                         const double* penetrations, const double* contact_pressures,
                                         const int32_t* coupling_step, int32_t* ierr);
void sphft_coupling_apply_motion_boundary_(const int32_t* region_index, const int32_t* export_index,
                                           const int32_t* target_kind, const int32_t* mode, const double* target,
                                           int32_t* ierr);
void sphft_coupling_clear_imports_(int32_t* ierr);
void sphft_coupling_get_load_balance_(double* input_force, double* distributed_force, double* force_error,
                                      double* input_moment, double* distributed_moment, double* moment_error,
                                      int32_t* ierr);
void sphft_coupling_get_contact_diagnostics_(int32_t* counts, double* values, int32_t* ierr);
void sphft_coupling_get_diagnostics_(const int32_t* value_capacity, double* values, const int32_t* count_capacity,
                                     int32_t* counts, int32_t* ierr);

}  // extern "C"
