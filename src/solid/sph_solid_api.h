// Read-only views of the solid phase for the programming interface: the quality of the
// reference state, three step diagnostics and a per-particle state table. All but the
// table refresh the solid diagnostics first; results go to buffers the caller owns.
#pragma once

#include <cstdint>

namespace quorrel {

inline constexpr int32_t sph_solid_state_value_count = 22;
inline constexpr int32_t sph_solid_diagnostic_value_count = 3;

[[nodiscard]] int sph_solid_get_reference_quality(int32_t& reference_neighbor_min_out, double& correction_det_min_out,
                                                  int32_t& correction_status_out);
// values[0..value_capacity): max strain rate, max acceleration, internal force residual, zeros.
[[nodiscard]] int sph_solid_get_diagnostics(int32_t value_capacity, double* values);
// `values` is value_capacity rows by max_particles columns, column by column: column i is
// particle i (stress, strain, strain rate, plastic strain, damage, softening, equivalent
// rate, then zeros); the four integer columns hold max_particles entries each.
[[nodiscard]] int sph_solid_get_state(int32_t max_particles, int32_t value_capacity, double* values,
                                      int32_t* failure_status_out, int32_t* reference_neighbor_count_out,
                                      int32_t* reference_degenerate_out, int32_t* correction_status_out,
                                      int32_t& count);

}  // namespace quorrel
