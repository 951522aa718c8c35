// The pair-pass engine: the density-rate, pressure and viscous sums over the neighbour
// lists, for whichever fluid phase calls it. A phase says which of its particles take
// part (its phase code: both ends of a pair must be active particles of that phase) and
// which terms it wants; the engine adds each particle's sums to `drho_dt`,
// `acc_pressure` and `acc_viscosity`. Clearing those arrays beforehand, and building `a`
// from them afterwards, are the phase's own rules.
//
// Terms, for a pair (i, j) with r_ij = x_i - x_j, v_ij = v_i - v_j and the Wendland C2
// gradient grad W_ij taken with h_i (the particle being summed):
//   density rate  drho_dt_i      += m_j v_ij . grad W_ij
//   pressure      acc_pressure_i -= m_j (p_j / rho_j^2 + p_i / rho_i^2) grad W_ij
//   viscosity     acc_viscosity_i += -m_j Pi_ij grad W_ij for approaching pairs (v_ij . r_ij < 0),
//                 Pi_ij = (beta mu^2 - alpha c0 mu) / rhobar, mu = hbar v_ij . r_ij / (r^2 + eta2 hbar^2),
//                 hbar and rhobar the pair's mean smoothing length and density.
//
// There is one scalar reference path and vector paths beside it (one particle per lane,
// the same operations in the same order, no fused multiply-add), so every level gives
// the scalar bits. Each particle's sums are formed in its list order.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorrel {

// The terms one pass sums.
struct SphPairTerms {
    bool density_rate = false;
    bool pressure = false;
    bool viscosity = false;
};

// The phase a pass serves.
struct SphPairPhase {
    int32_t phase = 0;  // phase code; only its active particles take part
    // Failures of the pressure term: the summed particle's density, a neighbour's.
    std::string_view own_density_message;
    std::string_view neighbor_density_message;
    // Monaghan viscosity (with the viscosity term): alpha c0, beta, eta^2.
    double visc_alpha_c0 = 0.0, visc_beta = 0.0, visc_eta2 = 0.0;
};

// What the sums read of every particle, packed once: its phase key (the phase code of an
// active particle, else 0), p / rho^2, and for the vector paths one record per particle
// [x y z key] [vx vy vz m] [rho h p/rho^2 0] followed by one blank record.
struct SphPairPass {
    std::vector<int32_t> pair_key;
    std::vector<double> pair_p_over_rho2;
    std::vector<double> pair_records;
    int32_t pair_pack_level = 0;  // vector level the pack was made for
    bool pair_pack_held = false;  // a caller holds the pack for several passes
    uint32_t pair_phases = 0;     // bit k: some particle has phase key k
    bool pair_records_packed = false;  // the records are made by the first pass that needs them
};
extern SphPairPass sph_pair_pass;

// Adds the phase's sums of the chosen terms. A failed check stops the pass with the
// failure a density-rate pass followed by an acceleration pass would report first.
[[nodiscard]] int sph_pair_pass_sum(const SphPairPhase& phase, SphPairTerms terms);

// Packs the particles now; the passes until the release reuse the pack instead of
// packing their own. Only for a run of passes that change none of x, v, mass, rho, h,
// pressure, phase or status.
[[nodiscard]] int sph_pair_pass_hold_pack();
void sph_pair_pass_release_pack();
// Frees the pack (its capacity too).
void sph_pair_pass_release_scratch();

}  // namespace quorrel
