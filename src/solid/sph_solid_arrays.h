// The per-particle solid arrays with their components, in allocation order: allocation,
// release, clearing and the presence test walk this one list.
#pragma once

#include <cstddef>

#include "solid/sph_solid_state.h"

namespace quorrel {

template <typename Visit>
void sph_solid_for_each_array(SphSolidState& s, Visit&& visit) {
    visit(s.solid_stress, std::size_t{6});
    visit(s.solid_strain, std::size_t{6});
    visit(s.solid_plastic_strain, std::size_t{1});
    visit(s.solid_plastic_strain_rate, std::size_t{1});
    visit(s.solid_temperature, std::size_t{1});
    visit(s.solid_damage, std::size_t{1});
    visit(s.solid_softening, std::size_t{1});
    visit(s.solid_internal_energy, std::size_t{1});
    visit(s.solid_reference_volume, std::size_t{1});
    visit(s.solid_deformation_gradient, std::size_t{9});
    visit(s.solid_correction_matrix, std::size_t{9});
    visit(s.solid_correction_determinant, std::size_t{1});
    visit(s.solid_velocity_gradient, std::size_t{9});
    visit(s.solid_strain_rate, std::size_t{6});
    visit(s.solid_strain_rate_eq, std::size_t{1});
    visit(s.solid_acc_internal, std::size_t{3});
    visit(s.solid_reference_neighbor_count, std::size_t{1});
    visit(s.solid_reference_degenerate, std::size_t{1});
    visit(s.solid_correction_status, std::size_t{1});
    visit(s.solid_failure_status, std::size_t{1});
}

}  // namespace quorrel
