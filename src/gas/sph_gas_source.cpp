#include "gas/sph_gas_source.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"

namespace quorrel {

SphGasSource sph_gas_source;

namespace {

// The arrays count only when sized for the current model; left over from another particle
// count they are stale and read as absent.
bool arrays_present(const SphGasSource& s, int32_t npart) {
    if (npart <= 0) return false;
    const std::size_t n = static_cast<std::size_t>(npart);
    return s.gas_mass_source.size() == n && s.gas_energy_source.size() == n && s.gas_momentum_source.size() == 3 * n;
}

void free_arrays(SphGasSource& s) {
    // Assigning empty vectors releases the storage, not just the size.
    s.gas_mass_source = {};
    s.gas_momentum_source = {};
    s.gas_energy_source = {};
}

}  // namespace

void sph_gas_source_reset() { sph_gas_source = SphGasSource{}; }

int sph_gas_source_allocate() {
    const int32_t npart = sph_database.npart;
    if (npart <= 0) return sph_success;
    SphGasSource& s = sph_gas_source;
    if (arrays_present(s, npart)) return sph_success;
    free_arrays(s);
    const std::size_t n = static_cast<std::size_t>(npart);
    try {
        s.gas_mass_source.assign(n, 0.0);
        s.gas_momentum_source.assign(3 * n, 0.0);
        s.gas_energy_source.assign(n, 0.0);
    } catch (const std::exception&) {
        free_arrays(s);
        return sph_fail(sph_error_database, "failed to allocate Gas source state");
    }
    return sph_success;
}

int sph_gas_source_add_by_particle(int32_t index, double mass_rate, const double momentum_rate[3],
                                   double energy_rate) {
    if (int st = sph_gas_source_allocate()) return st;
    if (index < 0 || index >= sph_database.npart)
        return sph_fail(sph_error_argument, "Gas source particle id is out of range");
    if (!sph_gas_is_active_particle(index))
        return sph_fail(sph_error_argument, "Gas source target must be active Gas");
    const double rates[5] = {mass_rate, energy_rate, momentum_rate[0], momentum_rate[1], momentum_rate[2]};
    if (!std::all_of(rates, rates + 5, sph_below_max_double))
        return sph_fail(sph_error_argument, "Gas source value is not finite");
    SphGasSource& s = sph_gas_source;
    const std::size_t i = static_cast<std::size_t>(index);
    s.gas_mass_source[i] += mass_rate;
    for (std::size_t k = 0; k < 3; ++k) s.gas_momentum_source[3 * i + k] += momentum_rate[k];
    s.gas_energy_source[i] += energy_rate;
    // The release adds to many particles each step; the totals are recounted only when read.
    return sph_success;
}

int sph_gas_source_apply_explicit(double dt) {
    if (!(dt > 0.0) || !sph_below_max_double(dt)) return sph_fail(sph_error_argument, "Gas source time step must be positive");
    SphDatabase& d = sph_database;
    const SphGasSource& s = sph_gas_source;
    // A model without active gas has nothing to apply and needs no arrays.
    bool ready = arrays_present(s, d.npart);
    {
        const std::size_t n = static_cast<std::size_t>(std::max(d.npart, 0));
        for (std::size_t i = 0; i < n; ++i) {
            if (d.particle_phase[i] != sph_phase_gas || d.particle_status[i] != sph_status_active) continue;
            if (!ready) {
                if (int st = sph_gas_source_allocate()) return st;
                ready = true;
            }
            const double m = d.mass[i];
            const double m_new = m + dt * s.gas_mass_source[i];
            // Earlier particles keep their update: nothing is rolled back.
            if (!(m_new > 0.0)) return sph_fail(sph_error_argument, "Gas source produced nonpositive mass");
            for (std::size_t k = 0; k < 3; ++k)
                d.v[3 * i + k] = (m * d.v[3 * i + k] + dt * s.gas_momentum_source[3 * i + k]) / m_new;
            // The rate is energy, not energy per mass: the added energy is shared by the new
            // mass, so total internal energy m*e grows by exactly dt*rate.
            d.internal_energy[i] = (m * d.internal_energy[i] + dt * s.gas_energy_source[i]) / m_new;
            d.mass[i] = m_new;
        }
    }
    // The totals are recounted where they are read (the summary), not per step.
    return sph_success;
}

int sph_gas_source_clear() {
    if (int st = sph_gas_source_allocate()) return st;
    SphGasSource& s = sph_gas_source;
    std::fill(s.gas_mass_source.begin(), s.gas_mass_source.end(), 0.0);
    std::fill(s.gas_momentum_source.begin(), s.gas_momentum_source.end(), 0.0);
    std::fill(s.gas_energy_source.begin(), s.gas_energy_source.end(), 0.0);
    s.gas_source_mass_total = 0.0;
    s.gas_source_momentum_total = {0.0, 0.0, 0.0};
    s.gas_source_energy_total = 0.0;
    return sph_success;
}

void sph_gas_source_update_totals() {
    SphGasSource& s = sph_gas_source;
    s.gas_source_mass_total = 0.0;
    s.gas_source_momentum_total = {0.0, 0.0, 0.0};
    s.gas_source_energy_total = 0.0;
    const int32_t npart = sph_database.npart;
    if (!arrays_present(s, npart)) return;
    const std::size_t n = static_cast<std::size_t>(npart);
    for (std::size_t i = 0; i < n; ++i) {
        s.gas_source_mass_total += s.gas_mass_source[i];
        for (std::size_t k = 0; k < 3; ++k) s.gas_source_momentum_total[k] += s.gas_momentum_source[3 * i + k];
        s.gas_source_energy_total += s.gas_energy_source[i];
    }
}

int sph_gas_source_get_summary(double& mass_source, double momentum_source[3], double& energy_source) {
    if (int st = sph_gas_source_allocate()) return st;
    sph_gas_source_update_totals();
    const SphGasSource& s = sph_gas_source;
    mass_source = s.gas_source_mass_total;
    for (std::size_t k = 0; k < 3; ++k) momentum_source[k] = s.gas_source_momentum_total[k];
    energy_source = s.gas_source_energy_total;
    return sph_success;
}

}  // namespace quorrel
