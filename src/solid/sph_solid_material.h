// Material-point routines of the solid phase: isotropic elastic constants, the hypoelastic
// trial stress, the Johnson-Cook flow stress and its one-step radial return, the
// Johnson-Cook failure strain, damage, linear softening, the internal-energy increment
// and the stress invariants. They keep no state and allocate nothing. The deck's units
// are used unchanged: temperatures, moduli, rates and densities need only be consistent.
//
// Symmetric tensors are 6 values xx, yy, zz, xy, yz, xz; strain-type shear components are
// tensor shears (half the engineering shear), which is why the trial multiplies every
// component by 2G and the double contraction doubles the shear terms. On a failure the
// outputs keep the values each routine sets on entry.
#pragma once

#include <array>
#include <cstdint>

namespace quorrel {

using SphSymTensor = std::array<double, 6>;
// Johnson-Cook flow parameters A, B, n, C, m and reference values epsdot0, troom, tmelt.
using SphJcParams = std::array<double, 5>;
using SphJcRefs = std::array<double, 3>;
// Johnson-Cook damage constants D1..D5.
using SphJcDamage = std::array<double, 5>;

// value < 0 becomes 0, > 1 becomes 1; anything else (NaN included) is left as it is.
void sph_solid_clamp_unit(double& value);
// a : b = a1 b1 + a2 b2 + a3 b3 + 2 (a4 b4 + a5 b5 + a6 b6).
double sph_solid_voigt_dot(const SphSymTensor& left, const SphSymTensor& right);
double sph_solid_mean_stress(const SphSymTensor& stress);
double sph_solid_von_mises(const SphSymTensor& stress);
// The mean of `stress_in` kept, its deviator scaled by `scale`.
void sph_solid_scale_deviatoric(const SphSymTensor& stress_in, double scale, SphSymTensor& stress_out);
double sph_solid_equiv_plastic_strain_rate(double delta_ep, double dt);

[[nodiscard]] int sph_solid_elastic_constants(double e_value, double nu_value, double density_value, double& shear,
                                              double& bulk, double& wave_speed);
[[nodiscard]] int sph_solid_elastic_trial(const SphSymTensor& stress_old, const SphSymTensor& strain_inc, double shear,
                                          double bulk, SphSymTensor& stress_new);
[[nodiscard]] int sph_solid_jc_hardening(double a_value, double b_value, double n_value, double ep, double& hardening);
[[nodiscard]] int sph_solid_jc_rate_factor(double strain_rate, double epsdot0, double c_value, double& factor);
[[nodiscard]] int sph_solid_jc_temperature_star(double temp, double troom, double tmelt, double& tstar);
[[nodiscard]] int sph_solid_jc_flow_stress(double a_value, double b_value, double n_value, double c_value,
                                           double m_value, double epsdot0, double troom, double tmelt, double ep,
                                           double ep_rate, double temp, double& flow);
// Trial stress and one radial return (no iteration).
[[nodiscard]] int sph_solid_jc_return_mapping(const SphSymTensor& stress_old, const SphSymTensor& strain_inc,
                                              double shear, double bulk, double dt, const SphJcParams& jc_params,
                                              const SphJcRefs& jc_refs, double temp_old, double ep_old,
                                              double temp_factor, SphSymTensor& stress_new, double& ep_new,
                                              double& ep_rate_new, double& plastic_work, double& temp_new,
                                              double& plastic_delta);
[[nodiscard]] int sph_solid_internal_energy_increment(const SphSymTensor& stress_old, const SphSymTensor& stress_new,
                                                      const SphSymTensor& strain_inc, double density_value,
                                                      double& delta_energy);
[[nodiscard]] int sph_solid_jc_failure_strain(const SphJcDamage& d_values, double triaxiality, double strain_rate,
                                              double epsdot0, double temp, double troom, double tmelt,
                                              double& failure_strain);
// Failure status 2 (the failed status code) once the damage reaches 1.
[[nodiscard]] int sph_solid_damage_update(double damage_old, double plastic_delta, double failure_strain,
                                          double& damage_new, int32_t& failure_status);
[[nodiscard]] int sph_solid_linear_softening(double damage_value, double width_value, double& softening);

}  // namespace quorrel
