// The gas phase's pair sums as the step runs them: the fused pass against the separate
// density-rate and acceleration passes, and what each leaves of the other phases' sums.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "particle/sph_neighbor.h"
#include "quorrel_test.h"
#include "water/sph_water.h"

namespace quorrel::test {
namespace {

class GasDynamics : public QuorrelTest {
protected:
    // An irregular cloud of gas particles with mixed h, mass, density, pressure and
    // velocity, one water and one inactive gas particle among them.
    static void cloud() {
        const int n = 14;
        ASSERT_EQ(sph_db_allocate(n), 0);
        SphDatabase& d = sph_database;
        for (int i = 0; i < n; ++i) {
            const double x[3] = {0.45 * (i % 3) + 0.07 * std::sin(3.1 * i), 0.5 * ((i / 3) % 3) + 0.05 * std::cos(1.7 * i),
                                 0.55 * (i / 9) + 0.04 * std::sin(0.9 * i)};
            ASSERT_EQ(sph_db_set_node(i, i + 1, x), 0);
            const std::size_t u = static_cast<std::size_t>(i);
            d.particle_phase[u] = sph_phase_gas;
            d.h[u] = 0.5 + 0.05 * (i % 4);
            d.mass[u] = 0.9 + 0.03 * i;
            d.rho[u] = 1.2 + 0.1 * std::sin(2.3 * i);
            d.pressure[u] = 1e5 * (1.0 + 0.2 * std::cos(1.3 * i));
            for (std::size_t k = 0; k < 3; ++k) {
                d.v[3 * u + k] = std::sin(0.7 * static_cast<double>(3 * u + k));
                d.acc_body[3 * u + k] = k == 2 ? -9.81 : 0.0;
            }
        }
        d.particle_phase[4] = sph_phase_water;
        d.particle_status[9] = sph_status_inactive;
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
    }

    struct Result {
        int st;
        std::string message;
        std::vector<double> drho, acc_pressure, a;
    };

    // Water's sums are stood in by 5.0 everywhere: the gas passes must leave water's
    // density rate alone and replace every particle's pressure acceleration.
    static Result run(bool fused) {
        SphDatabase& d = sph_database;
        for (auto* f : {&d.drho_dt, &d.acc_pressure, &d.a}) std::fill(f->begin(), f->end(), 5.0);
        sph_error_clear();
        int st = 0;
        if (fused) {
            st = sph_gas_compute_density_rate_and_acceleration();
        } else {
            st = sph_gas_compute_density_rate();
            if (st == 0) st = sph_gas_compute_acceleration();
        }
        return Result{st, sph_error_message(), d.drho_dt, d.acc_pressure, d.a};
    }
};

TEST_F(GasDynamics, FusedPassGivesTheSeparatePassesResults) {
    const struct {
        const char* what;
        int i;  // particle whose state is broken, -1 for none
        double rho, h;
    } cases[] = {
        {"valid", -1, 0.0, 0.0},
        {"own density", 0, -1.0, 0.5},
        {"neighbour density", 7, 0.0, 0.5},
        {"smoothing length", 10, 1.2, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cloud();
        if (c.i >= 0) {
            sph_database.rho[static_cast<std::size_t>(c.i)] = c.rho;
            sph_database.h[static_cast<std::size_t>(c.i)] = c.h;
        }
        const Result separate = run(false);
        const Result fused = run(true);
        EXPECT_EQ(fused.st, separate.st);
        EXPECT_EQ(fused.message, separate.message);
        if (c.i >= 0) {
            EXPECT_NE(separate.st, 0);
            continue;
        }
        ASSERT_EQ(separate.st, 0) << separate.message;
        EXPECT_EQ(fused.drho, separate.drho);
        EXPECT_EQ(fused.acc_pressure, separate.acc_pressure);
        EXPECT_EQ(fused.a, separate.a);
        // The water particle keeps its density rate and its a; its pressure acceleration is
        // replaced by 0, as is the inactive particle's; gas interacts.
        EXPECT_EQ(separate.drho[4], 5.0);
        EXPECT_EQ(separate.a[3 * 4], 5.0);
        EXPECT_EQ(separate.acc_pressure[3 * 4], 0.0);
        EXPECT_EQ(separate.acc_pressure[3 * 9], 0.0);
        EXPECT_EQ(separate.a[3 * 9], 5.0);
        EXPECT_NE(separate.drho[0], 5.0);
        EXPECT_NE(separate.acc_pressure[0], 0.0);
        // a = acc_pressure + acc_body for active gas.
        EXPECT_EQ(separate.a[2], separate.acc_pressure[2] - 9.81);
    }
}

}  // namespace
}  // namespace quorrel::test
