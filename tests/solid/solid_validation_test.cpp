// One steel material point driven in uniaxial strain (only the xx strain increment is
// non-zero) through the solid update, against the classical closed form: elastic up to
// the yield strain, then elastic-perfectly-plastic or linearly hardening flow, then an
// elastic unloading.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_material.h"
#include "solid/sph_solid_state.h"
#include "quorrel_test.h"

namespace quorrel::test {
namespace {

class SolidValidation : public DeckTest {
protected:
    // One particle of steel: density 7850, E = 200e9, nu = 0.3, the given Johnson-Cook
    // line and, when not empty, damage constants.
    void build(const std::string& plastic, const std::string& damage) {
        std::vector<std::string> lines = {"*NODE",    "1, 0.0, 0.0, 0.0", "*NSET, NSET=BAR", "1",
                                          "*MATERIAL, NAME=Steel, TYPE=SOLID", "*DENSITY", "7850.0", "*ELASTIC",
                                          "200.0e9, 0.3", "*PLASTIC",          plastic};
        if (!damage.empty()) lines.insert(lines.end(), {"*DAMAGE INITIATION", damage});
        lines.insert(lines.end(), {"*SOLID SECTION, NSET=BAR, MATERIAL=Steel",
                                   "*QUORREL, TIME CONTROL, END TIME=1.0, MAX STEPS=1, DT=1.0"});
        ASSERT_EQ(sph_input_read(write_deck(lines)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        ASSERT_EQ(sph_database.npart, 1);
    }
};

// Within `rel` of the larger of |want| and the quantity's natural scale (so that values
// passing through 0 are held to the same absolute accuracy).
void expect_rel(double got, double want, double scale, double rel = 1e-12) {
    EXPECT_NEAR(got, want, rel * std::fmax(std::fabs(want), scale));
}

TEST_F(SolidValidation, UniaxialStrainLoadingAndUnloading) {
    const double e = 200.0e9, nu = 0.3, rho = 7850.0, y = 350.0e6;
    const double g = e / (2.0 * (1.0 + nu));  // 76.92e9
    const double k = e / (3.0 * (1.0 - 2.0 * nu));  // 166.7e9
    const double lambda = k - 2.0 * g / 3.0;
    const double modulus = k + 4.0 * g / 3.0;  // constrained modulus
    const double eps_y = y / (2.0 * g);  // the deviator s_xx - s_yy = 2G eps reaches Y: 0.002275
    const int elastic = 4, loading = 16, unloading = 3;
    const double d = eps_y / elastic;  // the elastic increments end exactly at eps_y

    struct Case {
        const char* what;
        std::string plastic, damage;
        double b;
    };
    // B = C = 0 (n 1), m = 1 at T = troom (thermal factor 1): flow stress Y = A. The huge
    // failure strain adds damage dep / 1e30, which leaves the softening at exactly 1.
    const Case cases[] = {
        {"perfectly plastic, no failure data", "350.0e6, 0.0, 1.0, 0.0, 1.0, 1.0, 293.15, 1793.0", "", 0.0},
        {"perfectly plastic, huge failure strain", "350.0e6, 0.0, 1.0, 0.0, 1.0, 1.0, 293.15, 1793.0",
         "1.0e30, 0.0, 0.0, 0.0, 0.0", 0.0},
        {"linear hardening B = 2e9", "350.0e6, 2.0e9, 1.0, 0.0, 1.0, 1.0, 293.15, 1793.0", "", 2.0e9},
        {"linear hardening B = 100e9 (below 3G = 230.8e9)", "350.0e6, 100.0e9, 1.0, 0.0, 1.0, 1.0, 293.15, 1793.0", "",
         100.0e9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(c.plastic, c.damage));
        const SphSolidState& s = sph_solid_state;
        expect_rel(s.solid_shear_modulus[0], g, 0.0, 1e-15);
        expect_rel(s.solid_bulk_modulus[0], k, 0.0, 1e-15);
        // The elastic limit: the constrained modulus times eps_y is Y (1 - nu) / (1 - 2 nu) = 1.75 Y.
        expect_rel(modulus * eps_y, y * (1.0 - nu) / (1.0 - 2.0 * nu), 0.0, 1e-15);

        // Closed form along the loading path at eps = j d. Elastic: s_xx = M eps,
        // s_yy = s_zz = lambda eps, q = 2G eps. Plastic (eps > eps_y): each increment adds
        // 2G d to the trial q and the one return takes dep = 2G d / 3G = 2d/3, so
        // ep = (2/3)(eps - eps_y) and q = Y + B ep exactly (q_old = Y + B ep_old, so
        // q_trial - flow0 = 2G d); the mean stays K eps: s_xx = K eps + 2q/3,
        // s_yy = K eps - q/3. The energy is the integral of s_xx d eps over rho; s_xx is
        // linear on each side of eps_y, so the trapezoidal increments are exact:
        //   e = [M eps_y^2 / 2 + K (eps^2 - eps_y^2) / 2 + (2Y/3)(eps - eps_y)
        //        + (2B/9)(eps - eps_y)^2] / rho.
        double sxx = 0, syy = 0, q = 0, ep = 0, energy = 0;
        for (int j = 1; j <= loading + unloading; ++j) {
            SCOPED_TRACE("increment " + std::to_string(j));
            const bool unload = j > loading;
            const SphSymTensor inc{unload ? -d : d, 0, 0, 0, 0, 0};
            ASSERT_EQ(sph_solid_update_particle_material(0, inc, 1.0e-6), 0) << sph_error_message();
            if (!unload) {
                const double eps = j * d;
                if (j <= elastic) {
                    sxx = modulus * eps;
                    syy = lambda * eps;
                    q = 2.0 * g * eps;
                    ep = 0.0;
                    energy = modulus * eps * eps / (2.0 * rho);
                } else {
                    const double beyond = eps - eps_y;
                    ep = 2.0 / 3.0 * beyond;
                    q = y + c.b * ep;
                    sxx = k * eps + 2.0 * q / 3.0;
                    syy = k * eps - q / 3.0;
                    energy = (modulus * eps_y * eps_y / 2.0 + k * (eps * eps - eps_y * eps_y) / 2.0 +
                              2.0 * y / 3.0 * beyond + 2.0 * c.b / 9.0 * beyond * beyond) /
                             rho;
                }
                if (j == elastic) expect_rel(sxx, 1.75 * y, 0.0);  // the elastic limit stress
            } else {
                // Unloading by u = i d from the end of loading is elastic: s_xx falls by M u,
                // s_yy by lambda u, q by 2G u (Y/4 per increment: 3 stay below the reverse
                // yield); ep stays; the energy adds the integral of s_xx over the reversal,
                // -d s_xx_before + M d^2 / 2 per increment.
                energy += (-d * sxx + modulus * d * d / 2.0) / rho;
                sxx -= modulus * d;
                syy -= lambda * d;
                q -= 2.0 * g * d;
            }
            const SphSymTensor stress{s.solid_stress[0], s.solid_stress[1], s.solid_stress[2],
                                      s.solid_stress[3], s.solid_stress[4], s.solid_stress[5]};
            expect_rel(stress[0], sxx, y);
            expect_rel(stress[1], syy, y);
            expect_rel(stress[2], syy, y);
            EXPECT_EQ(stress[3], 0.0);
            EXPECT_EQ(stress[4], 0.0);
            EXPECT_EQ(stress[5], 0.0);
            expect_rel(sph_solid_von_mises(stress), q, y);
            expect_rel(s.solid_plastic_strain[0], ep, eps_y);
            expect_rel(s.solid_internal_energy[0], energy, y * eps_y / rho);
            const double eps_now = (unload ? loading - (j - loading) : j) * d;
            expect_rel(s.solid_strain[0], eps_now, eps_y);
            EXPECT_EQ(s.solid_softening[0], 1.0);
            EXPECT_LT(s.solid_damage[0], 1e-25);
            EXPECT_EQ(s.solid_temperature[0], 293.15);
            EXPECT_EQ(sph_database.particle_phase[0], sph_phase_solid);
        }
        // The path did reach the plastic range and hold the flow stress there.
        EXPECT_GT(s.solid_plastic_strain[0], 0.0);
        expect_rel(s.solid_plastic_strain[0], 2.0 / 3.0 * (loading * d - eps_y), eps_y);
    }
}

}  // namespace
}  // namespace quorrel::test
