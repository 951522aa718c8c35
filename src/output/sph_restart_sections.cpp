#include "output/sph_restart_sections.h"

#include <array>

namespace quorrel {

namespace {

constexpr std::array<SphRestartSection, 3> sections = {{
    {SphRestartVersion::v0_4, sph_restart_write_explosive_state, sph_restart_read_explosive_state,
     sph_restart_seed_explosive_state, sph_restart_clear_explosive_state},
    {SphRestartVersion::v0_5, sph_restart_write_solid_state, sph_restart_read_solid_state,
     sph_restart_seed_solid_state, sph_restart_clear_solid_state},
    {SphRestartVersion::v0_8, sph_restart_write_coupling_state, sph_restart_read_coupling_state,
     sph_restart_seed_coupling_state, sph_restart_clear_coupling_state},
}};

}  // namespace

std::span<const SphRestartSection> sph_restart_sections() { return sections; }

}  // namespace quorrel
