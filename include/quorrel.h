/*
 * Quorrel C interface.
 *
 * Every function returns an int status: 0 on success; -1 when the call was rejected
 * before reaching the model (a null pointer, a count or capacity out of range, a value
 * that is not finite, a path that is empty or longer than 1024 bytes); any other value
 * is the model's error code, whose message quorrel_get_last_error returns. A -1 leaves
 * the error state untouched.
 *
 * Call order: quorrel_initialize, then quorrel_read_inp and quorrel_build_model, then
 * runs, steps and queries in any order, then quorrel_finalize (which clears the error
 * state: read a failure's message before finalising).
 *
 * Arrays are contiguous; a 3 x n array holds n consecutive (x, y, z) triples.
 */
#ifndef QUORREL_H
#define QUORREL_H

#if defined(_WIN32)
#define QUORREL_API
#elif defined(__GNUC__)
#define QUORREL_API __attribute__((visibility("default")))
#else
#define QUORREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

QUORREL_API int quorrel_initialize(void);
QUORREL_API int quorrel_finalize(void);
QUORREL_API int quorrel_get_version(int* major, int* minor, int* patch);
/* The message is cut to message_capacity - 1 bytes and always zero-terminated. */
QUORREL_API int quorrel_get_last_error(int* code, char* message, int message_capacity);

QUORREL_API int quorrel_read_inp(const char* filename);
QUORREL_API int quorrel_build_model(void);
QUORREL_API int quorrel_estimate_stable_dt(double* dtcrit);
QUORREL_API int quorrel_advance_explicit(double dt);
QUORREL_API int quorrel_run_explicit(void);
QUORREL_API int quorrel_get_current_time(double* time, int* step);
QUORREL_API int quorrel_get_particle_count(int* count);
QUORREL_API int quorrel_get_input_warning_count(int* count);

QUORREL_API int quorrel_set_output_directory(const char* path);
QUORREL_API int quorrel_set_output_interval(int interval);
QUORREL_API int quorrel_write_output(int step, double time);

/* x, v and a hold 3 * max_particles values, the other arrays max_particles. */
QUORREL_API int quorrel_get_particle_state(int max_particles, int* particle_id_ext, int* phase, int* status,
                                           int* material_id, int* section_id, double* x, double* v, double* a,
                                           double* rho, double* pressure, double* internal_energy,
                                           double* temperature, double* h, int* count);

QUORREL_API int quorrel_write_csv(const char* filename);
QUORREL_API int quorrel_write_vtu(const char* filename);

/* A restart file holds the whole model (time, step, output settings, phase settings and
 * state, particles, coupling regions and buffers), not the record tables, shell state,
 * blast regions, default step, end time or step budget. A write replaces an earlier file of
 * that name only once it is complete. A successful read leaves the model built; a read that
 * fails past the file's header leaves no model built. */
QUORREL_API int quorrel_write_restart(const char* filename);
QUORREL_API int quorrel_read_restart(const char* filename);

/* momentum holds 3 values. */
QUORREL_API int quorrel_get_water_summary(double* mass, double* momentum, double* max_pressure,
                                          double* min_density, double* max_density);
QUORREL_API int quorrel_get_water_dt_limits(double* dt_cfl, double* dt_accel, double* dt_viscous);

/* Gas phase. When the interface is not initialised or the model not built, every output
 * is zero; so it is after any failing gas query. The summary and the extended
 * summary refresh the gas diagnostics first, and each refresh moves the bubble history:
 * the radius rate is the change of the equivalent radius since the previous refresh (per
 * refresh, not per time), so it reads 0 right after another refresh. The bubble metrics
 * return the stored values without a refresh. center holds 3 values (x, y, z). */
QUORREL_API int quorrel_get_gas_summary(double* volume, double* center, double* mean_pressure,
                                        double* max_pressure);
QUORREL_API int quorrel_get_gas_bubble_metrics(double* equivalent_radius, double* radius_rate, double* center);
/* The gas step limits, with no safety factor; all three are 0 without gas. */
QUORREL_API int quorrel_get_gas_dt_limits(double* dt_cfl, double* dt_accel, double* dtcrit);
/* momentum holds 3 values, density_range 2 (min, max), dt_limits 3 (cfl, accel, limit). */
QUORREL_API int quorrel_get_gas_extended_summary(double* mass, double* momentum, double* density_range,
                                                 double* dt_limits);
/* Sums over all particles of the current source rates: mass per time, momentum per time
 * (3 values) and energy per time. */
QUORREL_API int quorrel_get_gas_source_summary(double* mass_source, double* momentum_source,
                                               double* energy_source);

/* Explosive phase. quorrel_set_ignition_point adds an ignition record at (x, y, z) and
 * time for the deck's first explosive material; it needs an initialised interface and a
 * deck with an explosive material (else 4), and passes its values unchecked: a negative
 * time or a coordinate that is not finite is the model's error 1. On a built model the
 * detonation times are recomputed at once, each particle keeping the earlier arrival; a
 * record added after reading and before building counts at the build. At most 32
 * ignition records, the deck's included.
 * When the interface is not initialised or the model not built, every output of the two
 * queries is zero; without explosive particles they are zero with status 0.
 * Summary: particle_count, the particles the burn tracks (given a detonation time, or
 * reacted); reacted_count, those with progress above 0; lambda_range holds 3 values (min,
 * max, mean progress), released_totals 5 (mass, energy, momentum x, y, z),
 * detonation_time_range 2 (min, max).
 * Release balance: mass_values holds 4 values (initial, released, remaining, initial -
 * released - remaining), energy_values 2 (released, released - expected from the energy
 * per mass), momentum_values 3 (released momentum x, y, z). */
QUORREL_API int quorrel_set_ignition_point(double x, double y, double z, double time);
QUORREL_API int quorrel_get_explosive_summary(int* particle_count, int* reacted_count, double* lambda_range,
                                              double* released_totals, double* detonation_time_range);
QUORREL_API int quorrel_get_explosive_release_balance(double* mass_values, double* energy_values,
                                                      double* momentum_values);

/* Solid phase. Every query needs a built model (else 2). Each refreshes the solid
 * diagnostics first, except the particle state, which copies the arrays as they stand.
 * Summary: the counts of active solid and failed particles, and in values (capacity at
 * least 16, untouched when the status is not 0): mass; momentum x, y, z; kinetic energy;
 * internal energy; largest von Mises stress; plastic strain min, max; damage min, max;
 * softening min, max; the step limits dt_cfl, dt_accel, dtcrit. The limits come from
 * solid accelerations recomputed at the call; without solid state they are the largest
 * double twice and 0, with solid state but no active solid particle 0, 0, 0.
 * Particle state: 22 values per particle, particle after particle (value_capacity at least
 * 22 * max_particles): stress xx, yy, zz, xy, yz, xz; strain, same order; strain rate,
 * same order; plastic strain; damage; softening; equivalent strain rate. The four integer
 * arrays hold max_particles entries: failure status, reference neighbour count,
 * degenerate-reference flag, correction status. Every buffer is zeroed first; count is the
 * particle count, and fewer than that many columns is error 1.
 * Diagnostics: values (capacity at least 3) receives the largest equivalent strain rate,
 * the largest acceleration and the internal force residual; the rest is zeroed.
 * Reference quality: the smallest reference neighbour count, the largest correction
 * status, and in values[0] (capacity at least 1) the smallest correction determinant,
 * over the active solid particles (all 0 when there is none). */
QUORREL_API int quorrel_get_solid_summary(int* active_count, int* failed_count, double* values, int value_capacity);
QUORREL_API int quorrel_get_solid_particle_state(int max_particles, double* values, int value_capacity,
                                                 int* failure_status, int* reference_neighbor_count,
                                                 int* reference_degenerate, int* correction_status, int* count);
QUORREL_API int quorrel_get_solid_diagnostics(double* values, int value_capacity);
QUORREL_API int quorrel_get_solid_reference_quality(int* reference_neighbor_min, int* correction_status,
                                                    double* values, int value_capacity);

/* Coupling regions are numbered from 1. The name is cut to name_capacity - 1 bytes and
 * always zero-terminated (empty when the call fails). */
QUORREL_API int quorrel_coupling_get_region_count(int* count);
QUORREL_API int quorrel_coupling_get_region_info(int region_index, char* name, int name_capacity,
                                                 int* region_type, int* export_mode, int* import_mode,
                                                 int* enabled, int* particle_count, int* facet_count);
QUORREL_API int quorrel_coupling_get_region_modes(int region_index, int* load_mode, int* distribution_mode,
                                                  int* contact_state_mode);

/* Coupling with a structural host. These calls have no initialise or build guard: they
 * work on whatever the coupling state holds and fail only by its own checks. Region
 * indices, export indices (positions in a region's particle list) and facet ids (the
 * 1-based index of the shell particle that carries the facet) count from 1. Arrays of
 * vectors are n consecutive triples.
 *
 * Exports fill at most capacity entries (count is the number filled, or the number needed
 * when the capacity is too small; every entry is zeroed first). Particle entries: node
 * number, particle index, phase, status, material, section; scalar_values 7 per entry (mass,
 * volume, rho, pressure, internal energy, temperature, h); vector_values 9 per entry
 * (position, velocity, acceleration). Facet entries: facet id, node number, material,
 * section; vector_values 9 per entry (centre, velocity, normal as the stored director);
 * area_values 1 per entry. */
QUORREL_API int quorrel_coupling_export_particles(int region_index, int capacity, int* count, int* ext_ids,
                                                  int* internal_indices, int* phases, int* statuses, int* materials,
                                                  int* sections, double* scalar_values, double* vector_values);
QUORREL_API int quorrel_coupling_export_facets(int region_index, int capacity, int* count, int* facet_ids,
                                               int* particle_ids, int* materials, int* sections,
                                               double* vector_values, double* area_values);

/* Imports are buffered and applied by the next step, which then empties the buffers.
 * Particle forces and facet loads accumulate. Pressures, tractions, resultants and contact
 * states carry the host's step number: a new number first discards everything buffered, the
 * same number adds to it. A pressure p puts p * area * unit normal on the facet, a traction t
 * area * t, a resultant R itself; distribution_mode is 1 uniform, 2 area, 3 mass. A motion
 * target (target_kind 1 velocity, 2 position; mode 1 direct) holds for the next step only.
 * With a count of 0 the arrays may be null; a non-finite value is rejected (-1). */
QUORREL_API int quorrel_coupling_apply_particle_forces(int region_index, int force_count, const int* export_indices,
                                                       const double* forces);
QUORREL_API int quorrel_coupling_apply_facet_loads(int region_index, int load_count, const int* facet_ids,
                                                   const double* loads);
QUORREL_API int quorrel_coupling_apply_facet_pressures(int region_index, int load_count, const int* facet_ids,
                                                       const double* pressures, int distribution_mode,
                                                       int coupling_step);
QUORREL_API int quorrel_coupling_apply_facet_tractions(int region_index, int load_count, const int* facet_ids,
                                                       const double* tractions, int distribution_mode,
                                                       int coupling_step);
QUORREL_API int quorrel_coupling_apply_facet_resultants(int region_index, int load_count, const int* facet_ids,
                                                        const double* resultants, int distribution_mode,
                                                        int coupling_step);
QUORREL_API int quorrel_coupling_apply_contact_state(int region_index, int contact_count, const int* facet_ids,
                                                     const double* normals, const double* gaps,
                                                     const double* penetrations, const double* contact_pressures,
                                                     int coupling_step);
QUORREL_API int quorrel_coupling_apply_motion_boundary(int region_index, int export_index, int target_kind, int mode,
                                                       const double* target);
/* Discards every buffered import and starts a new host step (epoch + 1). */
QUORREL_API int quorrel_coupling_clear_imports(void);

/* Facet load balance: input and distributed force (3 each) and the length of their
 * difference; input and distributed moment (3 each) and the length of their difference. */
QUORREL_API int quorrel_coupling_get_load_balance(double* input_force, double* distributed_force,
                                                  double* force_error, double* input_moment,
                                                  double* distributed_moment, double* moment_error);
/* counts (capacity at least 7): active contacts, skipped contacts, stale loads, repeated
 * imports, non-finite contacts, bad facet areas, invalid weights; values[0] (capacity at
 * least 1): the largest penetration. */
QUORREL_API int quorrel_coupling_get_contact_diagnostics(int* counts, int count_capacity, double* values,
                                                         int value_capacity);
/* values (capacity at least 27): step force (3), step moment (3), step impulse (3),
 * cumulative impulse (3), momentum exchange (3), step work, cumulative work, energy exchange,
 * largest force, largest acceleration, largest velocity error, largest position error,
 * facet force error, facet moment error, largest pressure, largest traction, largest
 * penetration. counts (capacity at least 12): stale loads, skipped particles, non-finite
 * imports, imported forces, step load consumed, repeated imports, duplicate facets, invalid
 * weights, active contacts, skipped contacts, non-finite contacts, bad facet areas. */
QUORREL_API int quorrel_coupling_get_diagnostics(double* values, int value_capacity, int* counts, int count_capacity);

#ifdef __cplusplus
}
#endif

#endif /* QUORREL_H */
