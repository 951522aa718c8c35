#include "gas/sph_gas.h"

#include "database/sph_database.h"

namespace quorrel {

SphGas sph_gas;

bool sph_gas_is_active_particle(int i) {
    const SphDatabase& d = sph_database;
    if (i < 0 || i >= d.npart) return false;
    const std::size_t u = static_cast<std::size_t>(i);
    return d.particle_phase[u] == sph_phase_gas && d.particle_status[u] == sph_status_active;
}

}  // namespace quorrel
