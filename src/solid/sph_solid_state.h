// The solid phase's data: the constants derived per material slot, the solid body force
// and the per-particle solid state. Tensors are 6 values (xx, yy, zz, xy, yz, xz, tensor
// shears) or 3 x 3 matrices stored column by column, 9 values, per particle.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quorrel {

inline constexpr int32_t sph_solid_max_materials = 32;
inline constexpr int32_t sph_solid_reference_ok = 0;
inline constexpr int32_t sph_solid_reference_degenerate = 1;
inline constexpr int32_t sph_solid_correction_ok = 0;
inline constexpr int32_t sph_solid_correction_underconstrained = 1;
inline constexpr int32_t sph_solid_correction_singular = 2;
inline constexpr int32_t sph_solid_correction_fallback = 3;  // declared; nothing writes it

struct SphSolidState {
    // Per table slot.
    std::array<double, sph_solid_max_materials> solid_density{};
    std::array<double, sph_solid_max_materials> solid_shear_modulus{};
    std::array<double, sph_solid_max_materials> solid_bulk_modulus{};
    std::array<double, sph_solid_max_materials> solid_wave_speed{};
    // 0 at every build: plastic work then never raises the temperature.
    std::array<double, sph_solid_max_materials> solid_temperature_rise_factor{};
    std::array<double, 3> solid_body_force{0.0, 0.0, 0.0};

    // Per particle, present only when sized npart (times the components).
    std::vector<double> solid_stress;                // 6; stored after the softening
    std::vector<double> solid_strain;                // 6; sum of the increments
    std::vector<double> solid_plastic_strain;
    std::vector<double> solid_plastic_strain_rate;
    std::vector<double> solid_temperature;
    std::vector<double> solid_damage;
    std::vector<double> solid_softening;             // 1 - damage (0 when failed)
    std::vector<double> solid_internal_energy;       // specific
    std::vector<double> solid_reference_volume;
    std::vector<double> solid_deformation_gradient;  // 9
    std::vector<double> solid_correction_matrix;     // 9
    std::vector<double> solid_correction_determinant;
    std::vector<double> solid_velocity_gradient;     // 9
    std::vector<double> solid_strain_rate;           // 6
    std::vector<double> solid_strain_rate_eq;
    std::vector<double> solid_acc_internal;          // 3
    std::vector<int32_t> solid_reference_neighbor_count;
    std::vector<int32_t> solid_reference_degenerate;
    std::vector<int32_t> solid_correction_status;
    std::vector<int32_t> solid_failure_status;       // 0, or 2 when failed
};
extern SphSolidState sph_solid_state;

// The per-particle arrays exist at this model's size.
bool sph_solid_state_present();

}  // namespace quorrel
