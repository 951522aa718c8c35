// The per-particle shell state: 31 arrays, each present only when sized for the current
// particle count (times its components). Vectors are 3 per particle; the through-thickness
// arrays hold sph_shell_max_integration_points points per particle, a point's components
// adjacent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorrel {

inline constexpr int32_t sph_shell_max_integration_points = 5;
inline constexpr int32_t sph_shell_membrane_components = 3;
inline constexpr int32_t sph_shell_bending_components = 3;
inline constexpr int32_t sph_shell_shear_components = 2;
inline constexpr int32_t sph_shell_ip_strain_components = 5;
inline constexpr int32_t sph_shell_stress_components = 6;

struct SphShellState {
    std::vector<double> shell_thickness;
    std::vector<double> shell_director;          // 3; unit, the facet normal of the coupling
    std::vector<double> shell_reference_area;    // the facet area of the coupling
    std::vector<double> shell_rotational_inertia;
    std::vector<int32_t> shell_director_status;
    std::vector<double> shell_local_e1, shell_local_e2, shell_local_e3;  // 3 each
    std::vector<int32_t> shell_local_frame_status;
    std::vector<double> shell_omega, shell_alpha;  // 3 each
    std::vector<double> shell_membrane_strain, shell_bending_strain;  // 3 each
    std::vector<double> shell_shear_strain;                           // 2
    std::vector<double> shell_membrane_strain_increment, shell_bending_strain_increment;  // 3 each
    std::vector<double> shell_shear_strain_increment;                                     // 2
    std::vector<double> shell_damage;
    std::vector<double> shell_softening;
    std::vector<double> shell_internal_energy;
    std::vector<int32_t> shell_failure_status;
    std::vector<int32_t> shell_ip_count;
    std::vector<double> shell_ip_coord, shell_ip_weight;  // 5 points
    std::vector<double> shell_ip_stress;                  // 6 x 5
    std::vector<double> shell_ip_strain;                  // 6 x 5
    std::vector<double> shell_ip_strain_increment;        // 5 x 5
    std::vector<double> shell_ip_plastic_strain, shell_ip_temperature, shell_ip_damage, shell_ip_softening;  // 5
};
extern SphShellState sph_shell_state;

// The 31 arrays with their components per particle, in allocation order.
template <typename Visit>
void sph_shell_for_each_array(SphShellState& s, Visit&& visit) {
    constexpr std::size_t p = sph_shell_max_integration_points;
    visit(s.shell_thickness, std::size_t{1});
    visit(s.shell_director, std::size_t{3});
    visit(s.shell_reference_area, std::size_t{1});
    visit(s.shell_rotational_inertia, std::size_t{1});
    visit(s.shell_director_status, std::size_t{1});
    visit(s.shell_local_e1, std::size_t{3});
    visit(s.shell_local_e2, std::size_t{3});
    visit(s.shell_local_e3, std::size_t{3});
    visit(s.shell_local_frame_status, std::size_t{1});
    visit(s.shell_omega, std::size_t{3});
    visit(s.shell_alpha, std::size_t{3});
    visit(s.shell_membrane_strain, std::size_t{3});
    visit(s.shell_bending_strain, std::size_t{3});
    visit(s.shell_shear_strain, std::size_t{2});
    visit(s.shell_membrane_strain_increment, std::size_t{3});
    visit(s.shell_bending_strain_increment, std::size_t{3});
    visit(s.shell_shear_strain_increment, std::size_t{2});
    visit(s.shell_damage, std::size_t{1});
    visit(s.shell_softening, std::size_t{1});
    visit(s.shell_internal_energy, std::size_t{1});
    visit(s.shell_failure_status, std::size_t{1});
    visit(s.shell_ip_count, std::size_t{1});
    visit(s.shell_ip_coord, p);
    visit(s.shell_ip_weight, p);
    visit(s.shell_ip_stress, 6 * p);
    visit(s.shell_ip_strain, 6 * p);
    visit(s.shell_ip_strain_increment, 5 * p);
    visit(s.shell_ip_plastic_strain, p);
    visit(s.shell_ip_temperature, p);
    visit(s.shell_ip_damage, p);
    visit(s.shell_ip_softening, p);
}

// Every array is sized for the current particle count.
bool sph_shell_state_present();

// The coupling's facet of particle `index` (0-based): its unit normal and area. False, and
// nothing written, when the shell state does not belong to this model or the index is out
// of range.
bool sph_shell_facet_geometry(int32_t index, double normal[3], double& area);

}  // namespace quorrel
