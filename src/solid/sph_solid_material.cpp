#include "solid/sph_solid_material.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/sph_error.h"
#include "database/sph_database.h"

namespace quorrel {

void sph_solid_clamp_unit(double& value) {
    if (value < 0.0) value = 0.0;
    if (value > 1.0) value = 1.0;
}

double sph_solid_voigt_dot(const SphSymTensor& a, const SphSymTensor& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + 2.0 * (a[3] * b[3] + a[4] * b[4] + a[5] * b[5]);
}

double sph_solid_mean_stress(const SphSymTensor& s) { return (s[0] + s[1] + s[2]) / 3.0; }

double sph_solid_von_mises(const SphSymTensor& s) {
    const double p = sph_solid_mean_stress(s);
    const double d1 = s[0] - p, d2 = s[1] - p, d3 = s[2] - p;
    return std::sqrt(1.5 * (d1 * d1 + d2 * d2 + d3 * d3 + 2.0 * (s[3] * s[3] + s[4] * s[4] + s[5] * s[5])));
}

void sph_solid_scale_deviatoric(const SphSymTensor& in, double scale, SphSymTensor& out) {
    const double p = sph_solid_mean_stress(in);
    for (std::size_t k = 0; k < 3; ++k) out[k] = p + scale * (in[k] - p);
    for (std::size_t k = 3; k < 6; ++k) out[k] = scale * in[k];
}

double sph_solid_equiv_plastic_strain_rate(double delta_ep, double dt) {
    return delta_ep > 0.0 && dt > 0.0 ? delta_ep / dt : 0.0;
}

int sph_solid_elastic_constants(double e_value, double nu_value, double density_value, double& shear, double& bulk,
                                double& wave_speed) {
    shear = bulk = wave_speed = 0.0;
    if (!(e_value > 0.0) || !(density_value > 0.0))
        return sph_fail(sph_error_argument, "Solid elastic constants require positive E and density");
    if (!(nu_value < 0.5) || !(nu_value > -1.0))
        return sph_fail(sph_error_argument, "Solid elastic constants require valid Poisson ratio");
    shear = e_value / (2.0 * (1.0 + nu_value));
    bulk = e_value / (3.0 * (1.0 - 2.0 * nu_value));
    // The quotient overflows for a stiff, light material whose wave speed is representable.
    const double modulus = bulk + 4.0 * shear / 3.0;
    const double squared = modulus / density_value;
    wave_speed = squared <= std::numeric_limits<double>::max() ? std::sqrt(squared)
                                                              : std::sqrt(modulus) / std::sqrt(density_value);
    return sph_success;
}

int sph_solid_elastic_trial(const SphSymTensor& stress_old, const SphSymTensor& strain_inc, double shear, double bulk,
                            SphSymTensor& stress_new) {
    stress_new = stress_old;
    if (!(shear > 0.0) || !(bulk > 0.0))
        return sph_fail(sph_error_argument, "Solid elastic update requires positive constants");
    const double lambda = bulk - 2.0 * shear / 3.0;
    const double trace = strain_inc[0] + strain_inc[1] + strain_inc[2];
    for (std::size_t k = 0; k < 3; ++k) stress_new[k] = stress_new[k] + 2.0 * shear * strain_inc[k] + lambda * trace;
    for (std::size_t k = 3; k < 6; ++k) stress_new[k] = stress_new[k] + 2.0 * shear * strain_inc[k];
    return sph_success;
}

int sph_solid_jc_hardening(double a_value, double b_value, double n_value, double ep, double& hardening) {
    hardening = 0.0;
    if (a_value < 0.0 || b_value < 0.0 || n_value < 0.0)
        return sph_fail(sph_error_argument, "Solid Johnson-Cook hardening parameters are invalid");
    // The general power: n = 0 gives A + B also at ep = 0.
    hardening = a_value + b_value * std::pow(std::max(ep, 0.0), n_value);
    return sph_success;
}

int sph_solid_jc_rate_factor(double strain_rate, double epsdot0, double c_value, double& factor) {
    factor = 1.0;
    if (!(epsdot0 > 0.0) || c_value < 0.0)
        return sph_fail(sph_error_argument, "Solid Johnson-Cook rate parameters are invalid");
    factor = std::max(0.0, 1.0 + c_value * std::log(std::max(1.0, strain_rate / epsdot0)));
    return sph_success;
}

int sph_solid_jc_temperature_star(double temp, double troom, double tmelt, double& tstar) {
    tstar = 0.0;
    if (!(troom < tmelt)) return sph_fail(sph_error_argument, "Solid Johnson-Cook temperature range is invalid");
    tstar = std::clamp((temp - troom) / (tmelt - troom), 0.0, 1.0);
    return sph_success;
}

int sph_solid_jc_flow_stress(double a_value, double b_value, double n_value, double c_value, double m_value,
                             double epsdot0, double troom, double tmelt, double ep, double ep_rate, double temp,
                             double& flow) {
    flow = 0.0;
    double hardening = 0.0, rate = 1.0, tstar = 0.0;
    if (int st = sph_solid_jc_hardening(a_value, b_value, n_value, ep, hardening)) return st;
    if (m_value < 0.0) return sph_fail(sph_error_argument, "Solid Johnson-Cook thermal exponent is invalid");
    if (int st = sph_solid_jc_rate_factor(ep_rate, epsdot0, c_value, rate)) return st;
    if (int st = sph_solid_jc_temperature_star(temp, troom, tmelt, tstar)) return st;
    // The general power: T*^0 = 1 for every T*, 0 included, so m = 0 gives no strength.
    const double thermal = std::max(0.0, 1.0 - std::pow(tstar, m_value));
    flow = hardening * rate * thermal;
    return sph_success;
}

int sph_solid_jc_return_mapping(const SphSymTensor& stress_old, const SphSymTensor& strain_inc, double shear,
                                double bulk, double dt, const SphJcParams& jc, const SphJcRefs& refs, double temp_old,
                                double ep_old, double temp_factor, SphSymTensor& stress_new, double& ep_new,
                                double& ep_rate_new, double& plastic_work, double& temp_new, double& plastic_delta) {
    ep_new = std::max(0.0, ep_old);
    ep_rate_new = plastic_work = plastic_delta = 0.0;
    temp_new = temp_old;
    SphSymTensor trial{};
    if (int st = sph_solid_elastic_trial(stress_old, strain_inc, shear, bulk, trial)) {
        stress_new = trial;
        return st;
    }
    stress_new = trial;
    const double q = sph_solid_von_mises(trial);
    double flow0 = 0.0;
    // The first flow value ignores the rate: the rate enters only the end point.
    if (int st = sph_solid_jc_flow_stress(jc[0], jc[1], jc[2], jc[3], jc[4], refs[0], refs[1], refs[2], ep_new, 0.0,
                                          temp_old, flow0))
        return st;
    if (!(q > 0.0) || flow0 >= q) return sph_success;  // elastic
    const double delta = std::max(0.0, (q - flow0) / (3.0 * shear));
    plastic_delta = delta;
    ep_rate_new = sph_solid_equiv_plastic_strain_rate(delta, dt);
    ep_new = ep_new + delta;
    double flow1 = 0.0;
    if (int st = sph_solid_jc_flow_stress(jc[0], jc[1], jc[2], jc[3], jc[4], refs[0], refs[1], refs[2], ep_new,
                                          ep_rate_new, temp_old, flow1))
        return st;
    const double scale = std::clamp(flow1 / q, 0.0, 1.0);
    sph_solid_scale_deviatoric(trial, scale, stress_new);
    plastic_work = flow1 * delta;
    temp_new = temp_old + temp_factor * plastic_work;
    return sph_success;
}

int sph_solid_internal_energy_increment(const SphSymTensor& stress_old, const SphSymTensor& stress_new,
                                        const SphSymTensor& strain_inc, double density_value, double& delta_energy) {
    delta_energy = 0.0;
    if (!(density_value > 0.0)) return sph_fail(sph_error_argument, "Solid internal energy requires positive density");
    SphSymTensor mean{};
    for (std::size_t k = 0; k < 6; ++k) mean[k] = 0.5 * (stress_old[k] + stress_new[k]);
    delta_energy = sph_solid_voigt_dot(mean, strain_inc) / density_value;
    return sph_success;
}

int sph_solid_jc_failure_strain(const SphJcDamage& d, double triaxiality, double strain_rate, double epsdot0,
                                double temp, double troom, double tmelt, double& failure_strain) {
    failure_strain = 0.0;
    if (!(epsdot0 > 0.0)) return sph_fail(sph_error_argument, "Solid failure strain rate reference is invalid");
    // With D2 = 0 the term is 0 without evaluating exp, which can overflow (0 * inf = NaN).
    const double term1 = d[0] + (d[1] == 0.0 ? 0.0 : d[1] * std::exp(d[2] * triaxiality));
    const double term2 = 1.0 + d[3] * std::log(std::max(strain_rate / epsdot0, 1.0));
    double tstar = 0.0;
    if (int st = sph_solid_jc_temperature_star(temp, troom, tmelt, tstar)) return st;
    const double term3 = 1.0 + d[4] * tstar;
    failure_strain = term1 * term2 * term3;
    // NaN fails too.
    if (!(failure_strain > 0.0)) return sph_fail(sph_error_argument, "Solid Johnson-Cook failure strain is invalid");
    return sph_success;
}

int sph_solid_damage_update(double damage_old, double plastic_delta, double failure_strain, double& damage_new,
                            int32_t& failure_status) {
    damage_new = damage_old;
    sph_solid_clamp_unit(damage_new);
    failure_status = 0;
    if (!(failure_strain > 0.0))
        return sph_fail(sph_error_argument, "Solid damage update requires positive failure strain");
    // An infinite failure strain adds nothing.
    if (plastic_delta > 0.0) damage_new = damage_new + plastic_delta / failure_strain;
    sph_solid_clamp_unit(damage_new);
    if (damage_new >= 1.0) failure_status = sph_status_failed;
    return sph_success;
}

int sph_solid_linear_softening(double damage_value, double width_value, double& softening) {
    softening = 1.0;
    if (!(width_value > 0.0)) return sph_fail(sph_error_argument, "Solid softening width must be positive");
    double damage = damage_value;
    sph_solid_clamp_unit(damage);
    softening = 1.0 - damage;
    sph_solid_clamp_unit(softening);
    return sph_success;
}

}  // namespace quorrel
