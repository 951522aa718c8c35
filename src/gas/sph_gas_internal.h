// Helpers the gas phase's own files share; not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/sph_database.h"
#include "gas/sph_gas.h"

namespace quorrel::gas_detail {

inline bool active_gas(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_gas && d.particle_status[i] == sph_status_active;
}

inline SphGasMaterial* slot_of(int32_t mat_number) {
    const int k = sph_gas_table_index_by_material_id(mat_number);
    return k < 0 ? nullptr : &sph_gas.gas_materials[static_cast<std::size_t>(k)];
}

}  // namespace quorrel::gas_detail
