#include "lifecycle/sph_lifecycle.h"

#include <array>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "material/sph_material.h"
#include "output/sph_output.h"
#include "output/sph_output_vtu.h"
#include "particle/sph_neighbor.h"
#include "particle/sph_pair_pass.h"
#include "particle/sph_particle.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

// module, initialise, finalise, deck read, scratch release
constexpr std::array<SphLifecycleRow, 16> rows = {{
    {"error state", sph_error_clear, nullptr, nullptr, nullptr},
    {"time control", sph_control_reset, nullptr, nullptr, nullptr},
    {"database", sph_db_free, sph_db_free, nullptr, nullptr},
    {"kernels", sph_particle_initialize, sph_particle_reset, nullptr, nullptr},
    {"materials", sph_material_initialize, sph_material_reset, nullptr, nullptr},
    {"neighbour search", sph_neighbor_reset, nullptr, nullptr, sph_neighbor_release_scratch},
    {"pair passes", sph_pair_pass_release_scratch, nullptr, nullptr, sph_pair_pass_release_scratch},
    {"water", sph_water_initialize, sph_water_reset, sph_water_reset_deck_settings, nullptr},
    {"gas", sph_gas_initialize, sph_gas_reset, sph_gas_reset_deck_settings, nullptr},
    {"explosive", sph_explosive_initialize, sph_explosive_reset, sph_explosive_reset_deck_settings,
     sph_explosive_release_scratch},
    {"blast regions", sph_blast_initialize, sph_blast_reset, sph_blast_reset, nullptr},
    {"blast load", sph_blast_load_initialize, sph_blast_load_reset, sph_blast_load_reset, nullptr},
    {"solid", sph_solid_initialize, sph_solid_reset, sph_solid_reset_deck_settings, nullptr},
    // The shell tables outlive a deck read; the per-particle state does not.
    {"shell", sph_shell_initialize, sph_shell_reset, sph_shell_reset_particle_state, nullptr},
    {"coupling interface", sph_coupling_reset, sph_coupling_reset, sph_coupling_reset, nullptr},
    {"step output", sph_output_reset_pvd, sph_output_reset_pvd, nullptr, sph_output_release_scratch},
}};

void walk(void (*SphLifecycleRow::*call)()) {
    for (const SphLifecycleRow& row : rows)
        if (row.*call != nullptr) (row.*call)();
}

}  // namespace

std::span<const SphLifecycleRow> sph_lifecycle_rows() { return rows; }

void sph_lifecycle_initialize() { walk(&SphLifecycleRow::initialize); }

void sph_lifecycle_finalize() {
    walk(&SphLifecycleRow::reset);
    walk(&SphLifecycleRow::release_scratch);
}

void sph_lifecycle_deck_reset() { walk(&SphLifecycleRow::deck_reset); }

}  // namespace quorrel
