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

// The solid pair sums of up to sph_pair_max_lanes particles, as many side by side as the
// kernel's width allows, each over its own full partner list (ascending partner index).
// Lanes past their list's end read the blank record (take 0) after the last particle's; a
// partner with take 0 adds nothing.
struct SphSolidLane {
    const int32_t* partners;
    int32_t count;
    double x[3], v[3], stress[6], softening, volume, mass;
};

// The internal force over records [x0 y0 z0 V0] [s1 s2 s3 s4] [s5 s6 softening take]:
// acc[k][lane] = sum f_ij / m_i over the partners (nothing when m_i <= 0), where f_ij is
// the pair force with r = x0_j - x0_i. The pair loop over i < j adds f_ij / m_i to i and
// subtracts it, divided by m_j, from j; seen from j the same pair gives exactly -f_ij, so
// these sums are that loop's, bit for bit.
inline constexpr std::size_t sph_solid_force_record = 12;
void sph_solid_force_group_avx2(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                double acc[3][sph_pair_max_lanes]);
void sph_solid_force_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                  double acc[3][sph_pair_max_lanes]);

// The velocity-gradient sums G_kl = sum V0_j (v_j,k - v_i,k) r_l (r = x0_j - x0_i) over
// records [x0 y0 z0 V0] [vx vy vz take]: g[k + 3 l][lane].
inline constexpr std::size_t sph_solid_gradient_record = 8;
void sph_solid_gradient_group_avx2(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                   double g[9][sph_pair_max_lanes]);
void sph_solid_gradient_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                     double g[9][sph_pair_max_lanes]);

}  // namespace quorrel
