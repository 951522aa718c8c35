#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "particle/sph_neighbor.h"
#include "particle/sph_pair_pass.h"
#include "quorrel_test.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

namespace quorrel::test {
namespace {

const double pi = 3.141592653589793;

class PairPass : public QuorrelTest {
protected:
    // Particles of the given phases along x, h = 1, mass 1, density 1000, at rest.
    static void model(const std::vector<std::array<double, 3>>& xs, const std::vector<int32_t>& phases) {
        ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(xs.size())), 0);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), xs[i].data()), 0);
            sph_database.particle_phase[i] = phases[i];
        }
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
    }
    static SphPairPhase gas_like() {
        SphPairPhase p;
        p.phase = sph_phase_gas;
        p.own_density_message = "Gas density must be positive for pressure force";
        p.neighbor_density_message = "Gas neighbor density must be positive";
        return p;
    }
};

TEST_F(PairPass, AnyPhaseCodeSumsOnlyItsOwnActiveParticles) {
    // Particles 0 and 1 are of phase 2 at r = 1, particle 2 is water at 0.5 from particle 1,
    // particle 3 is phase 2 but inactive at 0.5 from particle 0. Pressures 1e5 and 3e5.
    // For particle 0, r_01 = (-1, 0, 0), q = 1: grad W_01 = (dW/dq / h) r_01 / r with
    // dW/dq = -5 q (1 - q/2)^3 sigma = -0.625 sigma, sigma = 21 / (16 pi), so
    // grad W_01 = (0.625 sigma, 0, 0) and a_0 = -m (p_0 / rho^2 + p_1 / rho^2) grad W_01
    //   = -(1e5 + 3e5) / 1e6 * 0.625 sigma = -0.25 sigma; a_1 = +0.25 sigma.
    // Particle 1 moves at +1 along x: drho_0 = m v_01 . grad W_01 = (-1)(0.625 sigma).
    model({{0, 0, 0}, {1, 0, 0}, {1.5, 0, 0}, {-0.5, 0, 0}},
          {sph_phase_gas, sph_phase_gas, sph_phase_water, sph_phase_gas});
    SphDatabase& d = sph_database;
    d.particle_status[3] = sph_status_inactive;
    d.pressure = {1e5, 3e5, 7e5, 9e5};
    d.v[3] = 1.0;
    const double sigma = 21.0 / (16.0 * pi);
    ASSERT_EQ(sph_pair_pass_sum(gas_like(), {.density_rate = true, .pressure = true}), 0);
    EXPECT_NEAR(d.acc_pressure[0], -0.25 * sigma, 1e-15);
    EXPECT_NEAR(d.acc_pressure[3], 0.25 * sigma, 1e-15);
    EXPECT_NEAR(d.drho_dt[0], -0.625 * sigma, 1e-15);
    EXPECT_NEAR(d.drho_dt[1], -0.625 * sigma, 1e-15);  // v_10 . grad W_10 = (1)(-0.625 sigma)
    // The water particle and the inactive one take no part and get nothing.
    for (int i : {2, 3}) {
        EXPECT_EQ(d.acc_pressure[3 * i], 0.0) << i;
        EXPECT_EQ(d.drho_dt[i], 0.0) << i;
    }
    // Without the viscous term nothing is written there, even for an approaching pair.
    EXPECT_EQ(d.acc_viscosity[0], 0.0);

    // The phase's own messages.
    d.rho[1] = 0.0;
    EXPECT_EQ(sph_pair_pass_sum(gas_like(), {.pressure = true}), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas neighbor density must be positive");
    EXPECT_EQ(sph_pair_pass_sum(gas_like(), {.density_rate = true}), 0);  // densities are not the density rate's
}

TEST_F(PairPass, AHeldPackIsDroppedAfterTheStepRowsEvenWhenOneFails) {
    // Two approaching water particles, then the second one's density made negative: the
    // step's fused pass fails, and the pack it held must not outlive the step, or a later
    // pass would read the old state.
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.0, 0.01), 0);
    model({{0, 0, 0}, {1, 0, 0}}, {sph_phase_water, sph_phase_water});
    SphDatabase& d = sph_database;
    d.v[0] = 1.0;
    d.rho[1] = -5.0;
    EXPECT_EQ(sph_solver_advance_explicit(1e-6), sph_error_argument);
    EXPECT_FALSE(sph_pair_pass.pair_pack_held);
    EXPECT_EQ(sph_control.current_step, 0);

    // A pass after the failure packs what the particles hold now.
    d.rho[1] = 1000.0;
    d.pressure = {0.0, 2e5};
    ASSERT_EQ(sph_water_compute_acceleration(), 0);
    const double sigma = 21.0 / (16.0 * pi);
    EXPECT_NEAR(d.acc_pressure[0], -(2e5 / 1e6) * 0.625 * sigma, 1e-15);
}

}  // namespace
}  // namespace quorrel::test
