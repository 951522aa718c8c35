// The solid phase in time, total-Lagrangian: every geometric quantity comes from the
// reference positions x0. At model build, each active solid particle's reference volume
// and the correction matrix (the inverse of its neighbours' reference moment matrix); in
// every step the accelerations (a pair force from the stored stresses, plus the body
// force), then after the position update the corrected velocity gradients, the strain
// increments and the material advance. Also the step limits, the diagnostics and the
// summary and count queries. Particle indices are 0-based.
//
// The reference pairs (two active solids with 0 < |x0_j - x0_i| <= 2 max(h_i, h_j)) are
// fixed by x0, h and the active set, so they are found once per reference build with a
// cell list and kept; a particle that fails is skipped where they are used. The internal
// force depends only on the stored stresses, the softening, the reference volumes, the
// masses and the pairs, so it is kept until one of those is written: the step-limit
// estimate, the acceleration row and the summary then share one pair pass per step.
// Every sum runs in the order of a loop over all particles (i ascending, j ascending),
// so the results are those of that loop, bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "solid/sph_solid_material.h"

namespace quorrel {

struct SphSolidDynamics {
    // Reference pairs: the partners of particle i are solid_pair_list[solid_pair_offset[i]
    // .. solid_pair_offset[i + 1]), ascending; the first solid_pair_lower[i] of them lie
    // below i. Empty (offsets included) until built.
    std::vector<int64_t> solid_pair_offset;
    std::vector<int32_t> solid_pair_lower;
    std::vector<int32_t> solid_pair_list;
    bool solid_pairs_current = false;
    // solid_acc_internal holds the force of the current stresses and pairs.
    bool solid_forces_current = false;
    // What the vector pair kernels read of every particle, packed per pass.
    std::vector<double> solid_pair_records;
};
extern SphSolidDynamics sph_solid_dynamics;

// ---- Helpers (3 x 3 matrices column by column) ----
int sph_solid_table_index(int32_t mat_number);  // slot 0-based, -1 none
bool sph_solid_is_active(int32_t index);
bool sph_solid_is_failed(int32_t index);
void sph_solid_update_range(double value, double& min_value, double& max_value);
void sph_solid_set_identity(double* matrix);
// Every entry within half the largest double (sph_within_half_max).
bool sph_solid_matrix_is_finite(const double* matrix);
double sph_solid_det3(const double* matrix);
void sph_solid_invert_3x3(const double* matrix, double* inverse, double& det_value, bool& invertible);
// The traction t = sigma e of a 6-component stress (xx, yy, zz, xy, yz, xz).
inline void sph_solid_stress_times_vector(const double* s, const double* e, double* t) {
    t[0] = s[0] * e[0] + s[3] * e[1] + s[5] * e[2];
    t[1] = s[3] * e[0] + s[1] * e[1] + s[4] * e[2];
    t[2] = s[5] * e[0] + s[4] * e[1] + s[2] * e[2];
}

// ---- Caches ----
// The pairs and the kept force no longer hold (state cleared, reallocated or written).
void sph_solid_invalidate_pairs();
void sph_solid_invalidate_forces();
void sph_solid_release_pairs();
// Finds the reference pairs of the active solids now; "failed to allocate Solid state"
// (code 4) when storage runs out.
[[nodiscard]] int sph_solid_build_pairs();

// ---- Reference state ----
void sph_solid_clear_reference_state();
[[nodiscard]] int sph_solid_build_reference_state();
[[nodiscard]] int sph_solid_build_particle_reference(int32_t index);
void sph_solid_reference_fallback(int32_t index, int32_t status, double det_value);

// ---- Kinematics and material advance ----
[[nodiscard]] int sph_solid_compute_velocity_gradient();
void sph_solid_store_strain_rate(int32_t index);
[[nodiscard]] int sph_solid_compute_particle_strain_increment(int32_t index, double dt, SphSymTensor& strain_inc);
[[nodiscard]] int sph_solid_update_deformation_gradient(int32_t index, double dt);
[[nodiscard]] int sph_solid_advance_material(double dt);

// ---- Forces ----
[[nodiscard]] int sph_solid_compute_internal_acceleration();
// An assignment: a = internal + body force for every active solid.
[[nodiscard]] int sph_solid_compute_acceleration();
[[nodiscard]] int sph_solid_set_body_force(const double force[3]);

// ---- Step limits and diagnostics ----
[[nodiscard]] int sph_solid_estimate_dt_limits(double& dt_cfl, double& dt_accel, double& dt_limit);
void sph_solid_store_dt(double dt_cfl, double dt_accel, double dt_limit);
[[nodiscard]] int sph_solid_update_diagnostics();
void sph_solid_set_reference_diagnostics(int32_t index);
void sph_solid_update_reference_diagnostics(int32_t index);

// ---- Queries ----
[[nodiscard]] int sph_solid_get_summary(int32_t& active_count, int32_t& failed_count, double& mass_out,
                                        double momentum_out[3], double energy_out[2], double& max_von_mises_out,
                                        double plastic_range_out[2], double damage_range_out[2],
                                        double softening_range_out[2], double dt_limits_out[3]);
void sph_solid_get_counts(int32_t& active_count, int32_t& failed_count);

}  // namespace quorrel
