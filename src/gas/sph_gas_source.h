// Per-particle gas sources: mass, momentum and energy rates that the explosive's release
// feeds into gas particles, applied over each step.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quorrel {

struct SphGasSource {
    // Present only when sized npart; kept from step to step until cleared.
    std::vector<double> gas_mass_source;      // mass per time
    std::vector<double> gas_momentum_source;  // momentum per time (a force), 3 per particle
    std::vector<double> gas_energy_source;    // energy per time (not per unit mass)
    // Sums of the current rates over all particles, as of the last recount.
    double gas_source_mass_total = 0.0;
    std::array<double, 3> gas_source_momentum_total{0.0, 0.0, 0.0};
    double gas_source_energy_total = 0.0;
};
extern SphGasSource sph_gas_source;

// Frees the arrays and zeroes the totals.
void sph_gas_source_reset();
// Makes sure the arrays exist at npart entries (zeroed when newly made; kept otherwise).
[[nodiscard]] int sph_gas_source_allocate();
// Adds rates to one active gas particle (`index` 0-based). The totals are left for the
// next recount.
[[nodiscard]] int sph_gas_source_add_by_particle(int32_t index, double mass_rate, const double momentum_rate[3],
                                                 double energy_rate);
// Applies the rates over `dt` to every active gas particle: mass, momentum and energy
// (m*v and m*e grow by dt times their rates), then recounts the totals.
[[nodiscard]] int sph_gas_source_apply_explicit(double dt);
[[nodiscard]] int sph_gas_source_clear();
void sph_gas_source_update_totals();
// Allocates, recounts the totals and returns them.
[[nodiscard]] int sph_gas_source_get_summary(double& mass_source, double momentum_source[3], double& energy_source);

}  // namespace quorrel
