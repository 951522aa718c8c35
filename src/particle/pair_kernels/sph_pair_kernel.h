// The vector kernels of the pair-pass engine: one group of particles side by side, one
// per lane, each lane walking its own neighbour list. Each kernel source is compiled for
// its own instruction set and is called only where the CPU has it, so this header holds
// plain data and declarations only (no inline code that another source could pick up).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorrel {

// Doubles per packed record: [x y z key] [vx vy vz m] [rho h p/rho^2 0].
inline constexpr std::size_t sph_pair_record = 12;
// Widest group of any kernel.
inline constexpr int sph_pair_max_lanes = 8;

// A particle whose sums are formed, with its neighbour run and kernel-gradient factors:
// grad W_ij = neg_c (1 - q/2)^3 r_ij for q = |r_ij| inv_h < 2 and r_ij != 0.
struct SphPairCentre {
    const int32_t* nb;
    int32_t cnt;
    int32_t index;
    double x, y, z, vx, vy, vz, h, rho, p_over_rho2;
    double inv_h, neg_c;
};

// What every lane of one group shares.
struct SphPairGroupInput {
    const double* records;  // the packed records, the blank one last
    std::size_t blank;      // index of the blank record
    double key;             // phase key of the particles that take part
    double alpha_c0, beta, eta2;
    bool density_rate, pressure, viscosity;
};

// Sums of the first `lanes` centres into out[term][lane], terms: pressure x, y, z,
// viscous x, y, z, density rate. Returns 1, with nothing written, when some pair fails a
// check; the caller then finds the failure particle by particle.
int sph_pair_group_avx2(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                        double out[7][sph_pair_max_lanes]);
int sph_pair_group_avx512(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                          double out[7][sph_pair_max_lanes]);

}  // namespace quorrel
