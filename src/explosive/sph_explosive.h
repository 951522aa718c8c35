// The programmed burn at run time: each step the reaction progress of every active
// explosive particle rises towards what its detonation time and burn time call for, the
// released mass, energy and momentum are booked, and the products go to the gas phase,
// either by turning a fully reacted particle into product gas (PHASE) or as source rates
// of the product gas particles (SOURCE). Also the reaction limit on the time step, the
// release balance, the summary and the interface's ignition point.
#pragma once

#include <cstdint>

namespace quorrel {

// One step of the burn to the new time `time` = current time + dt.
[[nodiscard]] int sph_explosive_advance(double dt, double time);
// The progress particle `index` (0-based) of table slot `explosive_index` (0-based) is due at `time`.
double sph_explosive_reaction_target(int index, int explosive_index, double time);
// Shares a release of slot `explosive_index` equally among the active gas particles of its
// product, as source rates over `dt`.
[[nodiscard]] int sph_explosive_apply_source_release(int explosive_index, double release_mass,
                                                     const double release_momentum[3], double release_energy,
                                                     double dt);
[[nodiscard]] int sph_explosive_convert_particle_to_gas(int index, int explosive_index);
[[nodiscard]] int sph_explosive_estimate_dt_limit(double& dt_reaction);
void sph_explosive_update_release_balance();
// Fails when a total of the balance is out of range (an overflowed momentum sum is first
// taken again where opposite terms cancel).
[[nodiscard]] int sph_explosive_release_balance_in_range();
[[nodiscard]] int sph_explosive_get_release_balance(double mass_values[4], double energy_values[2],
                                                    double momentum_values[3]);
[[nodiscard]] int sph_explosive_get_summary(int32_t& particle_count, int32_t& reacted_count, double lambda_range[3],
                                            double released_totals[5], double detonation_time_range[2]);
// An ignition record for the first explosive material; the detonation times follow at once.
[[nodiscard]] int sph_explosive_set_default_ignition_point(const double ignition_x[3], double ignition_time);
[[nodiscard]] int sph_explosive_get_detonation_time_range(double& time_min, double& time_max);
// Frees the burn's reused buffers.
void sph_explosive_release_scratch();

}  // namespace quorrel
