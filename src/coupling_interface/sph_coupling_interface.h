// The solver side of the coupling with a structural host. Between two steps the host's
// data (particle forces, facet loads, pressures, tractions, resultants, contact states,
// prescribed motion) are imported into per-particle buffers; the next step applies them and
// empties the buffers. Alongside: step, cumulative and basic totals, a facet load balance
// and thirteen counters, read by the diagnostics, the summary CSV and restart files.
//
// Indices are 0-based here: regions, particles, export indices (positions in a region's
// particle list) and facet ids (a facet is carried by one shell particle, its id the
// particle's index). The C boundary counts from 1: the array imports take the number the
// caller's ids count from (`id_base`), and the export records the number to count from.
//
// Costs are O(items) per import call and O(touched particles) per step: the buffers keep a
// list of the particles they hold data for, and membership of a region is one bit per
// particle, rebuilt when the region lists change.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/sph_numeric.h"

namespace quorrel {

inline constexpr int32_t sph_coupling_motion_none = 0;
inline constexpr int32_t sph_coupling_motion_velocity = 1;
inline constexpr int32_t sph_coupling_motion_position = 2;
inline constexpr int32_t sph_coupling_motion_direct = 1;
inline constexpr int32_t sph_coupling_motion_penalty = 2;
// Rows of an exported entry, numbered from 1 in the order the host reads them.
inline constexpr int32_t sph_coupling_particle_scalar_mass = 1;
inline constexpr int32_t sph_coupling_particle_scalar_volume = 2;
inline constexpr int32_t sph_coupling_particle_scalar_density = 3;
inline constexpr int32_t sph_coupling_particle_scalar_pressure = 4;
inline constexpr int32_t sph_coupling_particle_scalar_energy = 5;
inline constexpr int32_t sph_coupling_particle_scalar_temperature = 6;
inline constexpr int32_t sph_coupling_particle_scalar_h = 7;
inline constexpr int32_t sph_coupling_particle_scalar_count = 7;
inline constexpr int32_t sph_coupling_particle_vector_x = 1;
inline constexpr int32_t sph_coupling_particle_vector_v = 2;
inline constexpr int32_t sph_coupling_particle_vector_a = 3;
inline constexpr int32_t sph_coupling_particle_vector_count = 3;
inline constexpr int32_t sph_coupling_facet_vector_center = 1;
inline constexpr int32_t sph_coupling_facet_vector_velocity = 2;
inline constexpr int32_t sph_coupling_facet_vector_normal = 3;
inline constexpr int32_t sph_coupling_facet_vector_count = 3;
// First value of row `row` of entry `entry` (from 0) in an export array of `rows` rows per
// entry, each row `width` values wide (1 for scalars, 3 for vectors).
inline constexpr std::size_t sph_coupling_export_row(std::size_t entry, int32_t rows, int32_t row,
                                                     std::size_t width) {
    return width * (static_cast<std::size_t>(rows) * entry + static_cast<std::size_t>(row - 1));
}
inline constexpr int32_t sph_coupling_diagnostic_values = 27;
inline constexpr int32_t sph_coupling_diagnostic_counts = 12;

using SphCouplingVec = std::array<double, 3>;

struct SphCouplingInterface {
    // Import buffers: all ten sized npart (vectors 3 per particle) or all empty.
    std::vector<double> coupling_external_force;
    std::vector<double> coupling_motion_velocity;
    std::vector<double> coupling_motion_position;
    std::vector<int32_t> coupling_motion_flag;
    std::vector<int32_t> coupling_motion_mode;
    std::vector<int32_t> coupling_contact_flag;
    std::vector<double> coupling_contact_normal;
    std::vector<double> coupling_contact_gap;
    std::vector<double> coupling_contact_penetration;
    std::vector<double> coupling_contact_pressure;

    // Step totals.
    SphCouplingVec coupling_current_force{}, coupling_current_moment{}, coupling_current_impulse{};
    double coupling_current_work = 0.0, coupling_max_external_force = 0.0, coupling_max_acceleration = 0.0;
    double coupling_max_velocity_error = 0.0, coupling_max_position_error = 0.0;
    // Cumulative exchange totals.
    SphCouplingVec coupling_cumulative_impulse{}, coupling_momentum_exchange{};
    double coupling_cumulative_work = 0.0, coupling_energy_exchange = 0.0;
    // Basic totals.
    double coupling_work = 0.0, coupling_energy = 0.0;
    SphCouplingVec coupling_momentum{};
    // Facet load balance.
    SphCouplingVec coupling_facet_input_force{}, coupling_facet_distributed_force{};
    double coupling_facet_force_error = 0.0;
    SphCouplingVec coupling_facet_input_moment{}, coupling_facet_distributed_moment{};
    double coupling_facet_moment_error = 0.0;
    double coupling_max_pressure = 0.0, coupling_max_traction = 0.0, coupling_max_penetration = 0.0;

    // Counters.
    int32_t coupling_epoch = 0;
    int32_t coupling_step_load_consumed = 0;
    int32_t coupling_stale_load_count = 0;
    int32_t coupling_skipped_particle_count = 0;
    int32_t coupling_nonfinite_import_count = 0;
    int32_t coupling_imported_force_count = 0;
    int32_t coupling_repeated_import_count = 0;
    int32_t coupling_duplicate_facet_count = 0;
    int32_t coupling_invalid_weight_count = 0;
    int32_t coupling_active_contact_count = 0;
    int32_t coupling_skipped_contact_count = 0;
    int32_t coupling_nonfinite_contact_count = 0;
    int32_t coupling_bad_facet_area_count = 0;

    // The particles the buffers hold data for (each once; sorted before a step uses them),
    // and a mark per particle.
    std::vector<int32_t> coupling_touched;
    std::vector<uint8_t> coupling_touched_mark;
    // Facet ids seen by the current import call: a stamp per particle.
    std::vector<uint32_t> coupling_facet_stamp;
    uint32_t coupling_facet_call = 0;
    // Bit r set: the particle is in region r's list. Valid for the database's revision.
    std::vector<uint32_t> coupling_region_bits;
    int64_t coupling_region_bits_revision = -1;
};
extern SphCouplingInterface sph_coupling;

// ---- Numeric helpers ----
inline void sph_coupling_cross(const double* l, const double* r, double* out) {
    const double x = l[1] * r[2] - l[2] * r[1];
    const double y = l[2] * r[0] - l[0] * r[2];
    const double z = l[0] * r[1] - l[1] * r[0];
    out[0] = x;
    out[1] = y;
    out[2] = z;
}
// The plain length; a scaled sum only when the plain squares overflow.
inline double sph_coupling_vector_norm(const double* v) { return sph_norm3(v); }
// The module takes a value when it is below the largest double in magnitude
// (sph_below_max_double); a vector when all three components are.
inline bool sph_coupling_scalar_is_finite(double value) { return sph_below_max_double(value); }
inline bool sph_coupling_vector_is_finite(const double* v) {
    return sph_below_max_double(v[0]) && sph_below_max_double(v[1]) && sph_below_max_double(v[2]);
}
// Facet and contact normals are divided by their length; at this length or below a vector
// is taken to have no direction: twelve orders below the unit length a normal is meant to
// have, and far above what round-off leaves of components that cancelled.
inline constexpr double sph_coupling_degenerate_length = 1e-12;
// Length at most sph_coupling_degenerate_length, or not a number.
bool sph_coupling_vector_is_degenerate(const double* values);
bool sph_coupling_particle_should_skip(int32_t index);
bool sph_coupling_particle_state_is_finite(int32_t index);

// ---- State ----
[[nodiscard]] int sph_coupling_allocate_imports();
void sph_coupling_zero_import_buffers();
void sph_coupling_reset_load_balance();
void sph_coupling_reset_step_diagnostics();
[[nodiscard]] int sph_coupling_clear_imports();
void sph_coupling_release_imports();
void sph_coupling_reset();
// After the buffers were filled from outside (a restart file): list the particles they
// hold data for.
void sph_coupling_rebuild_touched();

// ---- Region and facet checks ----
[[nodiscard]] int sph_coupling_find_region(std::string_view region_name, int& region);
[[nodiscard]] int sph_coupling_require_enabled_region(int region);
[[nodiscard]] int sph_coupling_require_facet(int region, int32_t facet_id);
[[nodiscard]] int sph_coupling_check_shell_facet(int32_t index);
[[nodiscard]] int sph_coupling_get_facet_geometry(int region, int32_t facet_id, double& area, double normal[3],
                                                  double center[3]);
[[nodiscard]] int sph_coupling_count_shell_facets(int region, int32_t& count);
// Duplicates within one import call: begin the call, then test each id in turn.
void sph_coupling_begin_facet_call();
[[nodiscard]] int sph_coupling_check_duplicate_facet(int32_t facet_id);
bool sph_coupling_distribution_is_valid(int32_t distribution_mode);
bool sph_coupling_region_holds(int region, int32_t index);

// ---- Imports ----
// Every import checks an item before it changes anything: an item that would take a
// buffered force or a load balance total beyond the largest double is refused, counted
// as non-finite, and the items before it stay.
[[nodiscard]] int sph_coupling_add_force_to_particle(int32_t index, const double force[3]);
[[nodiscard]] int sph_coupling_apply_particle_forces(int region_index, int32_t force_count,
                                                     const int32_t* export_indices, const double* forces,
                                                     int32_t id_base = 0);
[[nodiscard]] int sph_coupling_import_force_by_region_index(std::string_view region_name, int32_t export_index,
                                                            const double force[3]);
[[nodiscard]] int sph_coupling_apply_facet_loads(int region_index, int32_t load_count, const int32_t* facet_ids,
                                                 const double* loads, int32_t id_base = 0);
[[nodiscard]] int sph_coupling_import_region_facet_load(std::string_view region_name, int32_t facet_id,
                                                        const double load[3]);
[[nodiscard]] int sph_coupling_prepare_import_epoch(int32_t coupling_step);
[[nodiscard]] int sph_coupling_apply_facet_resultants(int region_index, int32_t load_count, const int32_t* facet_ids,
                                                      const double* resultants, int32_t distribution_mode,
                                                      int32_t coupling_step, int32_t id_base = 0);
[[nodiscard]] int sph_coupling_apply_facet_tractions(int region_index, int32_t load_count, const int32_t* facet_ids,
                                                     const double* tractions, int32_t distribution_mode,
                                                     int32_t coupling_step, int32_t id_base = 0);
[[nodiscard]] int sph_coupling_apply_facet_pressures(int region_index, int32_t load_count, const int32_t* facet_ids,
                                                     const double* pressures, int32_t distribution_mode,
                                                     int32_t coupling_step, int32_t id_base = 0);
[[nodiscard]] int sph_coupling_distribute_facet_force(int region, int32_t facet_id, const double force[3],
                                                      int32_t distribution_mode, const double center[3]);
void sph_coupling_get_load_balance(double input_force[3], double distributed_force[3], double& force_error,
                                   double input_moment[3], double distributed_moment[3], double& moment_error);

// ---- Motion and contact ----
[[nodiscard]] int sph_coupling_apply_motion_boundary(int region_index, int32_t export_index, int32_t target_kind,
                                                     int32_t mode, const double target[3]);
[[nodiscard]] int sph_coupling_import_motion_velocity(std::string_view region_name, int32_t export_index,
                                                      int32_t mode, const double target_velocity[3]);
[[nodiscard]] int sph_coupling_import_motion_position(std::string_view region_name, int32_t export_index,
                                                      int32_t mode, const double target_position[3]);
[[nodiscard]] int sph_coupling_motion_index(std::string_view region_name, int32_t export_index, int32_t& node_index);
[[nodiscard]] int sph_coupling_set_motion(int32_t index, int32_t mode, int32_t target_kind, const double target[3]);
[[nodiscard]] int sph_coupling_apply_contact_state(int region_index, int32_t contact_count, const int32_t* facet_ids,
                                                   const double* normals, const double* gaps,
                                                   const double* penetrations, const double* contact_pressures,
                                                   int32_t coupling_step, int32_t id_base = 0);

// ---- Step operations ----
[[nodiscard]] int sph_coupling_apply_imports_to_acceleration(double dt);
[[nodiscard]] int sph_coupling_apply_motion_before_step();
[[nodiscard]] int sph_coupling_apply_motion_after_step();
[[nodiscard]] int sph_coupling_apply_motion_targets(bool track_error);
[[nodiscard]] int sph_coupling_finalize_step_imports();

// ---- Exports (arrays of `capacity` entries; scalar_values 7 per entry, vector_values 3 x 3
// per entry, first index fastest) ----
struct SphCouplingParticleExport {
    int32_t* ext_ids;
    int32_t* internal_indices;  // particle indices, counted from index_base
    int32_t* phases;
    int32_t* statuses;
    int32_t* materials;
    int32_t* sections;
    double* scalar_values;
    double* vector_values;
    int32_t index_base = 0;
};
struct SphCouplingFacetExport {
    int32_t* facet_ids;  // proxy particle indices, counted from index_base
    int32_t* particle_ids;
    int32_t* materials;
    int32_t* sections;
    double* vector_values;
    double* area_values;
    int32_t index_base = 0;
};
[[nodiscard]] int sph_coupling_export_particles(int region_index, int32_t capacity, int32_t& count,
                                                const SphCouplingParticleExport& out);
[[nodiscard]] int sph_coupling_export_region_particles(std::string_view region_name, int32_t capacity,
                                                       int32_t& count, const SphCouplingParticleExport& out);
[[nodiscard]] int sph_coupling_export_facets(int region_index, int32_t capacity, int32_t& count,
                                             const SphCouplingFacetExport& out);
[[nodiscard]] int sph_coupling_export_region_facets(std::string_view region_name, int32_t capacity, int32_t& count,
                                                    const SphCouplingFacetExport& out);

// ---- Queries and diagnostics ----
// The force buffered on particle `index` for the next step: zero when it holds none or
// the index is outside the model.
void sph_coupling_get_buffered_force(int32_t index, double force[3]);
void sph_coupling_get_region_count(int32_t& count);
[[nodiscard]] int sph_coupling_get_region_modes(int region_index, int32_t& load_mode, int32_t& distribution_mode,
                                                int32_t& contact_state_mode);
// `name` views the stored name without its trailing blanks.
[[nodiscard]] int sph_coupling_get_region_info(int region_index, std::string_view& name, int32_t& region_type,
                                               int32_t& export_mode, int32_t& import_mode, int32_t& enabled,
                                               int32_t& particle_count, int32_t& facet_count);
[[nodiscard]] int sph_coupling_get_diagnostic_values(int32_t value_capacity, double* values, int32_t count_capacity,
                                                     int32_t* counts);
void sph_coupling_get_contact_diagnostics(int32_t& active_count, int32_t& skipped_count, double& max_penetration,
                                          int32_t& stale_count, int32_t& repeated_count, int32_t& nonfinite_count,
                                          int32_t& bad_area_count, int32_t& invalid_weight_count);

// ---- Further operations (the solver, the C interface and the worker do not call them) ----
// The three single-index operations carry "_by_index": their plain names are the region
// export and import codes of the database.

// Diagnostics values 1-22 and counts 1-5 of the buffer above, as named values.
void sph_coupling_get_extended_diagnostics(double total_force[3], double total_moment[3], double current_impulse[3],
                                           double cumulative_impulse[3], double& current_work,
                                           double& cumulative_work, double momentum_exchange[3],
                                           double& energy_exchange, double& max_force, double& max_acceleration,
                                           double& max_velocity_error, double& max_position_error,
                                           int32_t& stale_count, int32_t& skipped_count, int32_t& nonfinite_count,
                                           int32_t& imported_force_count, int32_t& step_load_consumed);
// Allocates the buffers; the summed buffered force, motion targets, skipped, non-finite, stale, epoch.
[[nodiscard]] int sph_coupling_get_import_diagnostics(double total_force[3], int32_t& motion_count,
                                                      int32_t& skipped_count, int32_t& nonfinite_count,
                                                      int32_t& stale_count, int32_t& epoch);
// The basic totals: coupling_work, coupling_energy, coupling_momentum.
void sph_coupling_get_basic_diagnostics(double& work, double& energy, double momentum[3]);
// The particles a named region exports (0 when it is disabled or exports facets only).
[[nodiscard]] int sph_coupling_get_region_particle_count(std::string_view region_name, int32_t& count);
// The facet proxies of a named region (0 when it is disabled or exports particles only).
[[nodiscard]] int sph_coupling_get_region_facet_count(std::string_view region_name, int32_t& count);
// The number of particles of the model.
void sph_coupling_get_particle_count(int32_t& count);
// The facets of the neutral placeholder: always 0.
void sph_coupling_get_facet_count(int32_t& count);
// Node number, position and velocity of particle `index`.
[[nodiscard]] int sph_coupling_export_particle_by_index(int32_t index, int32_t& ext_id, double position[3],
                                                        double velocity[3]);
// As sph_coupling_export_particle_by_index, with the phase, material and pressure.
[[nodiscard]] int sph_coupling_export_particle_state(int32_t index, int32_t& ext_id, int32_t& phase, int32_t& material,
                                                     double position[3], double velocity[3],
                                                     double& particle_pressure);
// The neutral placeholder's one facet, 0, with node_ids 0; any other index fails.
[[nodiscard]] int sph_coupling_export_facet_by_index(int32_t index, int32_t node_ids[3]);
// A buffered force on the first particle with node number `ext_id`.
[[nodiscard]] int sph_coupling_import_force_by_external_id(int32_t ext_id, const double force[3]);
// A facet's one particle force (node numbers, 3 components each), buffered on its proxy.
[[nodiscard]] int sph_coupling_import_facet_particle_forces(std::string_view region_name, int32_t facet_id,
                                                            int32_t facet_particle_count, const int32_t* particle_ids,
                                                            const double* particle_forces);
// force / mass into acc_body at once, not buffered, so no step removes it. Only the water
// and gas accelerations read acc_body; the load stays there until the next build or restart
// read sets acc_body again. coupling_work += the force's component sum, coupling_momentum += force.
// A force that is not finite, or would take one of these beyond the range, is refused and
// counted, as by every import; so is such a load below.
[[nodiscard]] int sph_coupling_import_particle_force(int32_t index, const double force[3]);
// Counted, not applied: coupling_energy += the load's component sum, coupling_momentum += load.
[[nodiscard]] int sph_coupling_import_facet_load_by_index(int32_t index, const double load[3]);

}  // namespace quorrel
