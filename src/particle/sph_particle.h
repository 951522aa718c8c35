// SPH smoothing kernels (three-dimensional, support radius 2h).
#pragma once

namespace quorrel {

inline constexpr int sph_kernel_wendland_c2 = 1;
inline constexpr int sph_kernel_wendland_c4 = 2;
inline constexpr int sph_kernel_cubic_spline = 3;
inline constexpr int sph_kernel_default = 1;
inline constexpr double sph_pi = 3.141592653589793;
// Kernel normalisations, exactly as every kernel evaluation uses them.
inline constexpr double sph_kernel_16pi = 50.26548245743669;
inline constexpr double sph_kernel_256pi = 804.247719318987;

struct SphParticle {
    bool particle_module_initialized = false;
};
extern SphParticle sph_particle;

void sph_particle_initialize();
void sph_particle_reset();

bool sph_kernel_is_supported(int kernel_type);
[[nodiscard]] int sph_kernel_value(int kernel_type, double r_value, double h_value, double& w_value);
[[nodiscard]] int sph_kernel_gradient(int kernel_type, const double rij[3], double h_value, double grad_w[3]);
[[nodiscard]] int sph_kernel_support_radius(int kernel_type, double h_value, double& support);

}  // namespace quorrel
