#include "particle/sph_particle.h"

#include <cmath>

#include "core/sph_error.h"
#include "core/sph_numeric.h"

namespace quorrel {

SphParticle sph_particle;

void sph_particle_initialize() { sph_particle.particle_module_initialized = true; }
void sph_particle_reset() { sph_particle.particle_module_initialized = false; }

bool sph_kernel_is_supported(int kernel_type) { return kernel_type >= 1 && kernel_type <= 3; }

namespace {

// NaN and infinite smoothing lengths are refused with the non-positive message.
int check_kernel(int kernel_type, double h_value) {
    if (!(h_value > 0.0) || !std::isfinite(h_value))
        return sph_fail(sph_error_argument, "kernel smoothing length must be positive");
    if (!sph_kernel_is_supported(kernel_type)) return sph_fail(sph_error_argument, "unknown SPH kernel type");
    return sph_success;
}

double kernel_sigma(int kernel_type, double h) {
    const double h3 = h * h * h;
    switch (kernel_type) {
        case sph_kernel_wendland_c2: return 21.0 / (sph_kernel_16pi * h3);
        case sph_kernel_wendland_c4: return 495.0 / (sph_kernel_256pi * h3);
        default: return 1.0 / (sph_pi * h3);
    }
}

double kernel_w(int kernel_type, double q, double sigma) {
    switch (kernel_type) {
        case sph_kernel_wendland_c2: {
            const double t = 1.0 - 0.5 * q;
            return sigma * (t * t * t * t) * (1.0 + 2.0 * q);
        }
        case sph_kernel_wendland_c4: {
            const double t = 1.0 - 0.5 * q;
            const double t2 = t * t;
            return sigma * (t2 * t2 * t2) * (35.0 * q * q / 12.0 + 3.0 * q + 1.0);
        }
        default:
            if (q < 1.0) return sigma * (1.0 - 1.5 * q * q + 0.75 * q * q * q);
            {
                const double t = 2.0 - q;
                return sigma * 0.25 * t * t * t;
            }
    }
}

double kernel_dwdq(int kernel_type, double q, double sigma) {
    switch (kernel_type) {
        case sph_kernel_wendland_c2: {
            const double t = 1.0 - 0.5 * q;
            return -sigma * 5.0 * q * (t * t * t);
        }
        case sph_kernel_wendland_c4: {
            const double t = 1.0 - 0.5 * q;
            const double t5 = t * t * t * t * t;
            const double poly = 35.0 * q * q / 12.0 + 3.0 * q + 1.0;
            return sigma * t5 * ((3.0 + 35.0 * q / 6.0) * t - 3.0 * poly);
        }
        default:
            if (q < 1.0) return sigma * (2.25 * q * q - 3.0 * q);
            {
                const double t = 2.0 - q;
                return -sigma * 0.75 * t * t;
            }
    }
}

}  // namespace

int sph_kernel_value(int kernel_type, double r_value, double h_value, double& w_value) {
    w_value = 0.0;
    if (int st = check_kernel(kernel_type, h_value)) return st;
    const double q = std::fabs(r_value) / h_value;
    if (!(q < 2.0)) return sph_success;
    w_value = kernel_w(kernel_type, q, kernel_sigma(kernel_type, h_value));
    return sph_success;
}

int sph_kernel_gradient(int kernel_type, const double rij[3], double h_value, double grad_w[3]) {
    grad_w[0] = grad_w[1] = grad_w[2] = 0.0;
    if (int st = check_kernel(kernel_type, h_value)) return st;
    // Also where the squares underflow (a separation below about 1.5e-154), where the plain
    // length would be 0 and the pair would feel nothing.
    const double r = sph_norm3_full_range(rij);
    if (!(r > 0.0)) return sph_success;
    const double q = r / h_value;
    if (!(q < 2.0)) return sph_success;
    const double f = (kernel_dwdq(kernel_type, q, kernel_sigma(kernel_type, h_value)) / h_value) / r;
    for (int k = 0; k < 3; ++k) grad_w[k] = f * rij[k];
    return sph_success;
}

int sph_kernel_support_radius(int kernel_type, double h_value, double& support) {
    support = 0.0;
    if (int st = check_kernel(kernel_type, h_value)) return st;
    support = 2.0 * h_value;
    return sph_success;
}

}  // namespace quorrel
