#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const double pi = 3.141592653589793;
const double sigma = 21.0 / (16.0 * pi);  // Wendland C2 normalisation at h = 1

// Water particles at the given positions, all h = 1, mass 1, density rho0.
void water_model(const std::vector<std::array<double, 3>>& xs, double h = 1.0) {
    ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(xs.size())), 0);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), xs[i].data()), 0);
        sph_database.particle_phase[i] = sph_phase_water;
        sph_database.h[i] = h;
        sph_database.rho[i] = sph_water.water_rho0;
    }
}

// The fused density-rate and acceleration pass, or the two separate calls.
int pair_passes(bool fused) {
    if (fused) return sph_water_compute_density_rate_and_acceleration();
    if (int st = sph_water_compute_density_rate()) return st;
    return sph_water_compute_acceleration();
}

// The fused pass at `level` gives the scalar level's density rates and accelerations, bit
// for bit.
void expect_scalar_bits(SphSimd level) {
    const SphDatabase& d = sph_database;
    auto run = [&](SphSimd at) {
        sph_simd_set_cap(at);
        EXPECT_EQ(sph_water_compute_density_rate_and_acceleration(), 0);
        std::vector<double> out;
        for (const auto* f : {&d.drho_dt, &d.acc_pressure, &d.acc_viscosity}) out.insert(out.end(), f->begin(), f->end());
        return out;
    };
    const std::vector<double> reference = run(SphSimd::scalar);
    const std::vector<double> got = run(level);
    ASSERT_EQ(got.size(), reference.size());
    for (std::size_t k = 0; k < got.size(); ++k) ASSERT_EQ(std::memcmp(&got[k], &reference[k], sizeof(double)), 0) << k;
}

}  // namespace

class Water : public test::QuorrelTest {};

TEST_F(Water, TaitPressure) {
    double p = -1;
    ASSERT_EQ(sph_water_tait_pressure(1000.0, p), 0);
    EXPECT_EQ(p, 0.0);
    ASSERT_EQ(sph_water_tait_pressure(1010.0, p), 0);
    EXPECT_NEAR(p, 312914285.71428573 * (std::pow(1.01, 7) - 1.0), 1e-6);
    EXPECT_EQ(sph_water_tait_pressure(0.0, p), 1);
    EXPECT_EQ(sph_error_message(), "Water density must be positive");
    EXPECT_EQ(p, 0.0);
    // GAMMA 1e5: 1.01^1e5 = e^995 is beyond the range; the pressure keeps its value.
    ASSERT_EQ(sph_water_set_eos("TAIT", "WATER", 1000.0, 50.0, 1e5, -1e5, 0.0, false), 0);
    EXPECT_EQ(sph_water_tait_pressure(1010.0, p), 1);
    EXPECT_EQ(sph_error_message(), "Water pressure is not finite");
    EXPECT_EQ(p, std::numeric_limits<double>::infinity());
    ASSERT_EQ(sph_water_tait_pressure(990.0, p), 0);  // 0.99^1e5 underflows to 0: p0 - B
    EXPECT_EQ(p, -1e5 - 25.0);
    sph_water.water_gamma = 0.0;
    EXPECT_EQ(sph_water_tait_pressure(1000.0, p), 1);
    EXPECT_EQ(sph_error_message(), "Water Tait EOS parameters are invalid");
    sph_water_reset_state();
    double c = 0;
    ASSERT_EQ(sph_water_sound_speed(c), 0);
    EXPECT_EQ(c, 1480.0);
}

TEST_F(Water, TwoParticlesOneStableStepThenSeparating) {
    ASSERT_EQ(sph_water_set_eos("TAIT", "WATER", 1000.0, 1480.0, 7.0, 1.0e5, 0.0, false), 0);
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.0, 0.01), 0);
    water_model({{0, 0, 0}, {1, 0, 0}});
    sph_control.dt_default = 1.0;  // let the water limits decide
    sph_control.end_time = 1.0;

    // Stable step: at rest with a = 0, cfl = h/c0 = 1/1480, accel falls back to cfl,
    // viscous = h/(c0 (1 + 0.1)) = 1/1628 is the smallest.
    double dt = 0;
    ASSERT_EQ(sph_solver_estimate_stable_dt(dt), 0);
    EXPECT_DOUBLE_EQ(dt, 1.0 / 1628.0);
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    EXPECT_EQ(sph_control.current_step, 1);
    EXPECT_DOUBLE_EQ(sph_control.current_time, dt);

    // Both at rho0, so p = p0 = 1e5. For particle 1: r_12 = (-1,0,0), q = 1,
    // dW/dq = -5 q (1 - q/2)^3 sigma = -0.625 sigma, grad W = (dW/dq / h) r_12 / r = (0.625 sigma, 0, 0).
    // a_1 = -m (p/rho^2 + p/rho^2) grad W = -(2e5/1e6) 0.625 sigma = -0.125 sigma; viscosity 0 at rest.
    const double a1 = -0.125 * sigma;
    const SphDatabase& d = sph_database;
    EXPECT_NEAR(d.a[0], a1, 1e-15);
    EXPECT_NEAR(d.a[3], -a1, 1e-15);
    EXPECT_EQ(d.a[1], 0.0);
    EXPECT_EQ(d.acc_viscosity[0], 0.0);
    // Leapfrog from rest: vhalf = dt/2 a, x += dt vhalf, v = vhalf + dt/2 a.
    EXPECT_NEAR(d.vhalf[0], 0.5 * dt * a1, 1e-18);
    EXPECT_NEAR(d.v[0], dt * a1, 1e-18);
    EXPECT_NEAR(d.x[0], 0.5 * dt * dt * a1, 1e-20);
    EXPECT_NEAR(d.x[3], 1.0 - 0.5 * dt * dt * a1, 1e-15);
    EXPECT_EQ(d.rho[0], 1000.0);  // no relative velocity during the first step
    EXPECT_EQ(d.water_particle_count, 2);
    EXPECT_EQ(d.water_mass, 2.0);
    EXPECT_NEAR(d.water_momentum[0], 0.0, 1e-18);

    // Second step: the pair separates, v_12 . grad W < 0, so density falls for both.
    sph_control.max_steps = 1;
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    EXPECT_LT(d.drho_dt[0], 0.0);
    EXPECT_LT(d.rho[0], 1000.0);
    EXPECT_LT(d.rho[1], 1000.0);
    EXPECT_DOUBLE_EQ(d.rho[0], d.rho[1]);
    EXPECT_EQ(d.acc_viscosity[0], 0.0);  // separating pairs feel no viscosity
}

TEST_F(Water, KernelSupportCutOff) {
    ASSERT_EQ(sph_water_set_eos("TAIT", "WATER", 1000.0, 1480.0, 7.0, 1.0e5, 0.0, false), 0);
    struct Case {
        double distance;
        bool contributes;
    };
    for (const Case c : {Case{2.0, false}, Case{1.999, true}}) {
        water_model({{0, 0, 0}, {c.distance, 0, 0}});
        sph_database.v[0] = 1.0;  // approaching
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        ASSERT_EQ(sph_database.neighbor_count[0], 1);  // listed either way
        ASSERT_EQ(sph_water_update_pressure(), 0);
        ASSERT_EQ(sph_water_compute_density_rate(), 0);
        ASSERT_EQ(sph_water_compute_acceleration(), 0);
        EXPECT_EQ(sph_database.acc_pressure[0] != 0.0, c.contributes) << c.distance;
        EXPECT_EQ(sph_database.acc_viscosity[0] != 0.0, c.contributes) << c.distance;
        EXPECT_EQ(sph_database.drho_dt[0] != 0.0, c.contributes) << c.distance;
        if (!c.contributes) {
            EXPECT_EQ(sph_database.acc_pressure[0], 0.0);
            EXPECT_EQ(sph_database.drho_dt[0], 0.0);
        }
    }
}

TEST_F(Water, OtherPhasesTakeNoPartInWaterPairs) {
    // A gas particle next to water contributes nothing; water keeps its own body force.
    water_model({{0, 0, 0}, {0.5, 0, 0}});
    sph_database.particle_phase[1] = sph_phase_gas;
    sph_database.v[3] = -1.0;
    const double g[3] = {0.0, 0.0, -9.81};
    ASSERT_EQ(sph_water_set_body_force(g), 0);
    EXPECT_EQ(sph_database.acc_body[2], -9.81);
    EXPECT_EQ(sph_database.acc_body[5], 0.0);  // not water
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    ASSERT_EQ(sph_water_compute_density_rate(), 0);
    ASSERT_EQ(sph_water_compute_acceleration(), 0);
    EXPECT_EQ(sph_database.drho_dt[0], 0.0);
    EXPECT_EQ(sph_database.a[0], 0.0);
    EXPECT_EQ(sph_database.a[2], -9.81);
    EXPECT_EQ(sph_database.a[5], 0.0);  // the gas particle's a is not touched
}

TEST_F(Water, IsolatedBlockConservesMomentumAndMass) {
    std::vector<std::array<double, 3>> xs;
    for (int k = 0; k < 5; ++k)
        for (int j = 0; j < 5; ++j)
            for (int i = 0; i < 5; ++i) xs.push_back({0.01 * i, 0.01 * j, 0.01 * k});
    ASSERT_EQ(sph_water_set_eos("TAIT", "WATER", 1000.0, 50.0, 7.0, 0.0, 0.0, false), 0);
    water_model(xs, 0.012);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        sph_database.mass[i] = 1e-3;
        // Inward radial velocity: compresses the block, so pressure and viscosity both act.
        for (int k = 0; k < 3; ++k) sph_database.v[3 * i + k] = -(xs[i][k] - 0.02) * 50.0;
    }
    sph_control.dt_default = 5e-5;
    sph_control.end_time = 1.0;
    sph_control.max_steps = 50;
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    ASSERT_EQ(sph_control.current_step, 50);
    double p[3] = {0, 0, 0}, m = 0, pmax = 0, rmin = 0, rmax = 0;
    ASSERT_EQ(sph_water_get_summary(m, p, pmax, rmin, rmax), 0);
    EXPECT_DOUBLE_EQ(m, 0.125);
    for (double c : p) EXPECT_NEAR(c, 0.0, 1e-15);
    EXPECT_GT(rmax - rmin, 1.0);  // the flow did change the densities
}

TEST_F(Water, StepLimits) {
    double cfl = -1, acc = -1, vis = -1;
    // No water at all: every limit 0.
    ASSERT_EQ(sph_db_allocate(2), 0);
    ASSERT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 0);
    EXPECT_EQ(cfl, 0.0);
    EXPECT_EQ(acc, 0.0);
    EXPECT_EQ(vis, 0.0);

    struct Case {
        double h, v, a;
        double cfl, accel, viscous;
    };
    // c0 = 1480, alpha 0.1, beta 0.
    const Case cases[] = {
        {1.0, 0.0, 0.0, 1.0 / 1480.0, 1.0 / 1480.0, 1.0 / 1628.0},    // at rest: accel falls back to cfl
        {2.0, 20.0, 8.0, 2.0 / 1500.0, 0.5, 2.0 / 1628.0},             // sqrt(2/8)
        {0.5, 0.0, 1e12, 0.5 / 1480.0, std::sqrt(0.5e-12), 0.5 / 1628.0},
    };
    for (const Case& c : cases) {
        water_model({{0, 0, 0}}, c.h);
        sph_database.v[1] = c.v;
        sph_database.a[2] = c.a;
        ASSERT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 0);
        EXPECT_DOUBLE_EQ(cfl, c.cfl);
        EXPECT_DOUBLE_EQ(acc, c.accel);
        EXPECT_DOUBLE_EQ(vis, c.viscous);
        EXPECT_EQ(sph_database.water_dt_cfl, cfl);
        EXPECT_EQ(sph_database.water_dt_viscous, vis);
    }
    // The smallest over particles; inactive water is left out.
    water_model({{0, 0, 0}, {5, 0, 0}, {9, 0, 0}});
    sph_database.h[1] = 0.5;
    sph_database.h[2] = 0.1;
    sph_database.particle_status[2] = sph_status_inactive;
    ASSERT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 0);
    EXPECT_DOUBLE_EQ(cfl, 0.5 / 1480.0);
    sph_water.water_c0 = 0.0;
    EXPECT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 1);
    EXPECT_EQ(sph_error_message(), "invalid Water state for dt estimate");
}

// Limits whose plain formula overflows on the way, though the limit does not: each is
// kept, or, where the limit itself is below the range, the estimate fails naming it (a
// limit of 0 would read as "no limit"). One particle, h = 1 unless given.
TEST_F(Water, StepLimitsBeyondTheRange) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        double c0, alpha, beta, h;
        std::array<double, 3> v, a;
        double cfl, accel, viscous;  // expected; accel 0: none (it takes the CFL limit)
        const char* message;         // a failure instead
    };
    const std::array<double, 3> rest{0.0, 0.0, 0.0};
    const Case cases[] = {
        // 1 / (1e10 (1 + 1e300)): the product overflows; 1e-10 / 1e300 = 1e-310.
        {"alpha 1e300", 1e10, 1e300, 0.0, 1.0, rest, rest, 1e-10, 0.0, 1e-310, nullptr},
        {"beta 1e300", 1e10, 0.0, 1e300, 1.0, rest, rest, 1e-10, 0.0, 1e-310, nullptr},
        // 1 + alpha + beta overflows: 1 / 2e308 = 5e-309.
        {"alpha and beta 1e308", 1.0, 1e308, 1e308, 1.0, rest, rest, 1.0, 0.0, 5e-309, nullptr},
        // |v| = 1.5e308 sqrt 2 overflows: 1 / (1480 + 2.1213203435596424e308) = 4.714045207910317e-309.
        {"speed beyond the range", 1480.0, 0.0, 0.0, 1.0, {1.5e308, -1.5e308, 0.0}, rest, 4.714045207910317e-309,
         0.0, 1.0 / 1480.0, nullptr},
        // |a| = 1.5e308 sqrt 2 overflows: sqrt(1 / 2.1213203435596424e308) = 6.865890479690392e-155.
        {"acceleration beyond the range", 1480.0, 0.0, 0.0, 1.0, rest, {0.0, 1.5e308, 1.5e308}, 1.0 / 1480.0,
         6.865890479690392e-155, 1.0 / 1480.0, nullptr},
        {"viscous limit 1e-330", 1e10, 1e300, 0.0, 1e-20, rest, rest, 0.0, 0.0, 0.0,
         "Water viscous step limit rounds to zero"},
        {"infinite speed", 1480.0, 0.0, 0.0, 1.0, {inf, 0.0, 0.0}, rest, 0.0, 0.0, 0.0,
         "Water CFL step limit rounds to zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        water_model({{0, 0, 0}}, c.h);
        sph_water.water_c0 = c.c0;
        sph_water.water_visc_alpha = c.alpha;
        sph_water.water_visc_beta = c.beta;
        std::copy(c.v.begin(), c.v.end(), sph_database.v.begin());
        std::copy(c.a.begin(), c.a.end(), sph_database.a.begin());
        double cfl = -1, acc = -1, vis = -1;
        if (c.message != nullptr) {
            EXPECT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 1);
            EXPECT_EQ(sph_error_message(), c.message);
            EXPECT_EQ(cfl, 0.0);
            continue;
        }
        ASSERT_EQ(sph_water_estimate_dt_limits(cfl, acc, vis), 0) << sph_error_message();
        // Subnormal limits have a relative spacing up to 5e-15 here.
        EXPECT_NEAR(cfl, c.cfl, 1e-13 * c.cfl);
        const double accel = c.accel == 0.0 ? c.cfl : c.accel;
        EXPECT_NEAR(acc, accel, 1e-13 * accel);
        EXPECT_NEAR(vis, c.viscous, 1e-13 * c.viscous);
        sph_water_reset_state();
    }
}

TEST_F(Water, SetterChecks) {
    const double nan = std::nan(""), inf = INFINITY;
    struct EosCase {
        const char* type;
        const char* material;
        double rho0, c0, gamma, p0, b;
        bool has_b;
        int code;
        const char* message;
    };
    const EosCase eos[] = {
        {"  ", "W", 1000, 1480, 7, 0, 0, false, 4, "Water EOS TYPE is required"},
        {"IDEAL", "W", 1000, 1480, 7, 0, 0, false, 4, "Water EOS TYPE must be TAIT"},
        {"tait", "", 1000, 1480, 7, 0, 0, false, 4, "Water EOS MATERIAL is required"},
        {"TAIT", "W", 0, 1480, 7, 0, 0, false, 1, "Water Tait EOS parameters must be positive"},
        {"TAIT", "W", 1000, -1, 7, 0, 0, false, 1, "Water Tait EOS parameters must be positive"},
        {"TAIT", "W", 1000, 1480, nan, 0, 0, false, 1, "Water Tait EOS parameters must be positive"},
        {"TAIT", "W", inf, 1480, 7, 0, 0, false, 1, "Water Tait EOS parameters must be positive"},
        {"TAIT", "W", 1000, 1480, 7, 0, 0, true, 1, "Water Tait EOS B must be positive"},
        {"TAIT", "W", 1000, 1480, 7, 0, nan, true, 1, "Water Tait EOS B must be positive"},
        {"tait-murnaghan", "W", 1000, 1480, 7, 0, 3e8, true, 0, "OK"},
    };
    for (const EosCase& c : eos) {
        sph_error_clear();
        EXPECT_EQ(sph_water_set_eos(c.type, c.material, c.rho0, c.c0, c.gamma, c.p0, c.b, c.has_b), c.code)
            << c.message;
        EXPECT_EQ(sph_error_message(), c.message);
    }
    EXPECT_EQ(sph_water.water_b, 3e8);
    ASSERT_EQ(sph_water_set_eos("TAIT", "SEA", 1025, 1500, 7, 1e5, 0, false), 0);
    EXPECT_DOUBLE_EQ(sph_water.water_b, 1025.0 * 1500.0 * 1500.0 / 7.0);
    EXPECT_EQ(sph_water.water_material_name, "SEA");

    struct ViscCase {
        const char* type;
        const char* material;
        double alpha, beta, eta2;
        int code;
        const char* message;
    };
    const ViscCase visc[] = {
        {"", "W", 0.1, 0, 0.01, 4, "Water viscosity TYPE is required"},
        {"LAMINAR", "W", 0.1, 0, 0.01, 4, "Water viscosity TYPE must be MONAGHAN"},
        {"monaghan", " ", 0.1, 0, 0.01, 4, "Water viscosity MATERIAL is required"},
        {"MONAGHAN", "W", -0.1, 0, 0.01, 1, "Water viscosity parameters are invalid"},
        {"MONAGHAN", "W", 0.1, -1, 0.01, 1, "Water viscosity parameters are invalid"},
        {"MONAGHAN", "W", 0.1, 0, 0.0, 1, "Water viscosity parameters are invalid"},
        {"MONAGHAN", "W", nan, 0, 0.01, 1, "Water viscosity parameters are invalid"},
        {"MONAGHAN", "W", 0.1, inf, 0.01, 1, "Water viscosity parameters are invalid"},
        {"Monaghan", "W", 0.0, 0.0, 0.01, 0, "OK"},
    };
    for (const ViscCase& c : visc) {
        sph_error_clear();
        EXPECT_EQ(sph_water_set_viscosity(c.type, c.material, c.alpha, c.beta, c.eta2), c.code) << c.message;
        EXPECT_EQ(sph_error_message(), c.message);
    }
    struct Control {
        double h, m, v;
        int code;
    };
    for (const Control c : {Control{0, 1, 1, 1}, Control{1, -1, 1, 1}, Control{1, 1, nan, 1},
                            Control{inf, 1, 1, 1}, Control{0.1, 2, 3, 0}}) {
        sph_error_clear();
        EXPECT_EQ(sph_water_set_particle_control(c.h, c.m, c.v), c.code);
        EXPECT_EQ(sph_error_message(), c.code ? "Water particle control values must be positive" : "OK");
    }
    EXPECT_EQ(sph_water.water_default_volume, 3.0);
    const double bad[3] = {0, nan, 0};
    EXPECT_EQ(sph_water_set_body_force(bad), 1);
    EXPECT_EQ(sph_error_message(), "Water body force must be finite");
    EXPECT_EQ(sph_water.water_body_force[1], 0.0);
}

TEST_F(Water, StiffnessThatOverflowsIsRefused) {
    // Finite settings whose stiffness rho0 c0^2 / gamma is not: 8.9e307 * 1480^2 / 7,
    // 1000 * (1e160)^2 / 7 and 1000 * 1480^2 / 1e-320 all overflow. An infinite B would
    // make every pressure inf * 0 = NaN at the reference density, so the card is refused
    // with a message of its own, and nothing is stored.
    struct Case {
        double rho0, c0, gamma;
        const char* what;
    };
    for (const Case c : {Case{8.9e307, 1480.0, 7.0, "rho0"}, Case{1000.0, 1e160, 7.0, "c0"},
                         Case{1000.0, 1480.0, 1e-320, "gamma"}}) {
        SCOPED_TRACE(c.what);
        sph_water_reset_state();
        EXPECT_EQ(sph_water_set_eos("TAIT", "WATER", c.rho0, c.c0, c.gamma, 0.0, 0.0, false), sph_error_argument);
        EXPECT_EQ(sph_error_message(), "Water Tait EOS stiffness is not finite");
        EXPECT_FALSE(sph_water.water_eos_defined);
        EXPECT_EQ(sph_water.water_rho0, 1000.0);
        EXPECT_EQ(sph_water.water_b, 1000.0 * 1480.0 * 1480.0 / 7.0);
    }
    // The same density with a stiffness of its own is usable: at rho0 the pressure is p0.
    ASSERT_EQ(sph_water_set_eos("TAIT", "WATER", 8.9e307, 1480.0, 7.0, 5.0, 3e8, true), 0);
    double p = 0.0;
    ASSERT_EQ(sph_water_tait_pressure(8.9e307, p), 0);
    EXPECT_EQ(p, 5.0);
}

TEST_F(Water, ValidationAndInitialConditions) {
    // Nothing is required without a water material.
    EXPECT_EQ(sph_water_validate_input(), 0);
    ASSERT_EQ(sph_db_allocate(3), 0);
    ASSERT_EQ(sph_db_add_material("SEA", "Water"), 0);
    ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
    sph_water_note_material("STEEL", "solid");
    EXPECT_FALSE(sph_water.water_material_seen);
    sph_water_note_material("SEA", "Water");
    EXPECT_EQ(sph_water.water_material_name, "SEA");

    struct Step {
        const char* message;
        void (*add)();
    };
    const Step steps[] = {
        {"input is missing *QUORREL EOS for Water",
         [] { ASSERT_EQ(sph_water_set_eos("TAIT", "SEA", 1000, 1480, 7, 2e5, 0, false), 0); }},
        {"input is missing *QUORREL VISCOSITY for Water",
         [] { ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "sea", 0.1, 0, 0.01), 0); }},
        {"input is missing *QUORREL PARTICLE CONTROL for Water",
         [] { ASSERT_EQ(sph_water_set_particle_control(0.02, 0.5, 0.25), 0); }},
        {"input is missing *DENSITY for Water material", [] { ASSERT_EQ(sph_db_set_material_density("SEA", 1000), 0); }},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(sph_water_validate_input(), 4);
        EXPECT_EQ(sph_error_message(), s.message);
        EXPECT_EQ(sph_water_apply_initial_conditions(), 4);
        s.add();
    }
    EXPECT_EQ(sph_water_validate_input(), 0);

    // Particle 0: water material; 1: water but inactive; 2: steel.
    sph_database.material_id[1] = 1;
    sph_database.particle_status[1] = sph_status_inactive;
    sph_database.material_id[2] = 2;
    const double g[3] = {0, 0, -9.81};
    ASSERT_EQ(sph_water_set_body_force(g), 0);
    ASSERT_EQ(sph_water_apply_initial_conditions(), 0);
    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.particle_phase[0], sph_phase_water);
    EXPECT_EQ(d.rho[0], 1000.0);
    EXPECT_EQ(d.pressure[0], 2e5);
    EXPECT_EQ(d.mass[0], 0.5);
    EXPECT_EQ(d.volume[0], 0.25);
    EXPECT_EQ(d.h[0], 0.02);
    EXPECT_EQ(d.acc_body[2], -9.81);
    EXPECT_EQ(d.particle_phase[1], sph_phase_solid);
    EXPECT_EQ(d.particle_phase[2], sph_phase_solid);
    EXPECT_EQ(d.water_particle_count, 1);
    EXPECT_EQ(d.water_max_pressure, 2e5);
}

TEST_F(Water, FusedPassMatchesSeparatePasses) {
    // Irregular cloud with mixed h, mass, density, pressure and velocity, one gas and one
    // inactive particle. The separate density-rate and acceleration calls are the reference.
    auto cloud = [] {
        std::vector<std::array<double, 3>> xs;
        for (int i = 0; i < 14; ++i)
            xs.push_back({0.45 * (i % 3) + 0.07 * std::sin(3.1 * i), 0.5 * ((i / 3) % 3) + 0.05 * std::cos(1.7 * i),
                          0.55 * (i / 9) + 0.04 * std::sin(0.9 * i)});
        water_model(xs);
        SphDatabase& d = sph_database;
        for (std::size_t i = 0; i < xs.size(); ++i) {
            d.h[i] = 0.5 + 0.05 * static_cast<double>(i % 4);
            d.mass[i] = 0.9 + 0.03 * static_cast<double>(i);
            d.rho[i] = 1000.0 + 7.0 * std::sin(2.3 * static_cast<double>(i));
            d.pressure[i] = 500.0 * std::cos(1.3 * static_cast<double>(i));
            for (std::size_t k = 0; k < 3; ++k) {
                d.v[3 * i + k] = std::sin(0.7 * static_cast<double>(3 * i + k));
                d.acc_body[3 * i + k] = k == 2 ? -9.81 : 0.0;
            }
        }
        d.particle_phase[4] = sph_phase_gas;
        d.particle_status[9] = 1;
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
    };
    struct Result {
        int st;
        std::string msg;
        std::vector<double> drho, ap, av, a;
    };
    auto run = [](bool fused) {
        SphDatabase& d = sph_database;
        for (auto* f : {&d.drho_dt, &d.acc_pressure, &d.acc_viscosity, &d.a}) std::fill(f->begin(), f->end(), 5.0);
        sph_error_clear();
        const int st = pair_passes(fused);
        return Result{st, sph_error_message(), d.drho_dt, d.acc_pressure, d.acc_viscosity, d.a};
    };
    // Each case breaks the state of particle `i` (none for -1); the failing ones check that
    // the fused pass reports the failure the separate passes meet first.
    const struct {
        const char* what;
        int i;
        double rho, h;
        int j;  // second particle given h = 0, or -1
    } cases[] = {
        {"valid", -1, 0.0, 0.0, -1},
        {"own density", 0, -1.0, 0.5, -1},
        {"neighbour density", 7, 0.0, 0.5, -1},
        {"smoothing length", 10, 1000.0, 0.0, -1},
        {"density before a later smoothing length", 0, -1.0, 0.5, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cloud();
        if (c.i >= 0) {
            sph_database.rho[static_cast<std::size_t>(c.i)] = c.rho;
            sph_database.h[static_cast<std::size_t>(c.i)] = c.h;
        }
        if (c.j >= 0) sph_database.h[static_cast<std::size_t>(c.j)] = 0.0;
        const Result sep = run(false);
        const Result fus = run(true);
        EXPECT_EQ(fus.st, sep.st);
        EXPECT_EQ(fus.msg, sep.msg);
        if (c.i < 0) {
            ASSERT_EQ(sep.st, 0);
            for (std::size_t k = 0; k < sep.drho.size(); ++k) EXPECT_EQ(fus.drho[k], sep.drho[k]) << k;
            for (std::size_t k = 0; k < sep.a.size(); ++k) {
                EXPECT_EQ(fus.ap[k], sep.ap[k]) << k;
                EXPECT_EQ(fus.av[k], sep.av[k]) << k;
                EXPECT_EQ(fus.a[k], sep.a[k]) << k;
            }
            EXPECT_NE(sep.drho[0], 0.0);  // the cloud does interact
            EXPECT_EQ(sep.a[3 * 4 + 2], 5.0);  // the gas particle's a is not touched
        } else {
            EXPECT_NE(sep.st, 0);
        }
    }
}

// The vector kernels run only where the CPU has them: a level it lacks is reported as
// skipped, not passed.
using WaterAtLevel = test::AtEveryLevel<Water>;
INSTANTIATE_TEST_SUITE_P(Levels, WaterAtLevel, test::every_level, test::level_name);

TEST_P(WaterAtLevel, ViscousTermOfAnApproachingPairInTheStepPass) {
    // Two water particles at rest density with p0 = 0 (no pressure term), r = 1 along x,
    // particle 0 moving at +2 towards particle 1: r_01 = (-1, 0, 0), v_01 . r_01 = -2.
    // alpha 0.1, beta 0.2, eta2 0.01, c0 1480, masses 1, rho 1000, so rhobar = 1000 and
    //   mu = hbar (-2) / (1 + eta2 hbar^2),   Pi = (beta mu^2 - alpha c0 mu) / rhobar,
    //   a_visc_i = -m_j Pi grad W_ij,  grad W_ij = (dW/dq(q_i) / h_i) r_ij / r,  q_i = 1 / h_i,
    //   dW/dq(q) = -sigma(h) 5 q (1 - q/2)^3,  sigma(h) = 21 / (16 pi h^3).
    // Equal h (1, 1): hbar = 1, mu = -2 / 1.01, Pi = (0.2 mu^2 + 148 * 2 / 1.01) / 1000, and
    //   grad W_01 = (0.625 sigma(1), 0, 0): the terms are equal and opposite.
    // Unequal h (1, 0.6): hbar = 0.8, mu = -1.6 / 1.0064; particle 1 sees q = 1 / 0.6 with
    //   its own sigma(0.6), so its term is not the negative of particle 0's.
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.2, 0.01), 0);
    auto dwdq = [](double q, double h) {
        const double sigma = 21.0 / (16.0 * pi * h * h * h);
        return -sigma * 5.0 * q * std::pow(1.0 - 0.5 * q, 3);
    };
    struct Case {
        double h1;
        const char* what;
    };
    for (const Case c : {Case{1.0, "equal h"}, Case{0.6, "unequal h"}}) {
        SCOPED_TRACE(c.what);
        water_model({{0, 0, 0}, {1, 0, 0}});
        sph_database.h[1] = c.h1;
        sph_database.v[0] = 2.0;
        const double hbar = 0.5 * (1.0 + c.h1);
        const double mu = hbar * -2.0 / (1.0 + 0.01 * hbar * hbar);
        const double Pi = (0.2 * mu * mu - 0.1 * 1480.0 * mu) / 1000.0;
        const double grad0 = dwdq(1.0, 1.0) / 1.0 * -1.0;           // r_01 / r = -x
        const double grad1 = dwdq(1.0 / c.h1, c.h1) / c.h1 * 1.0;  // r_10 / r = +x
        const double expected[2] = {-Pi * grad0, -Pi * grad1};
        EXPECT_LT(expected[0], 0.0);  // the faster particle is slowed

        // The pass the step makes, then the step itself.
        ASSERT_EQ(sph_neighbor_rebuild(), 0);
        ASSERT_EQ(sph_water_update_pressure(), 0);
        ASSERT_EQ(sph_water_compute_density_rate_and_acceleration(), 0);
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(sph_database.acc_viscosity[3 * i], expected[i], 1e-12 * std::fabs(expected[i])) << i;
            EXPECT_EQ(sph_database.acc_viscosity[3 * i + 1], 0.0);
            EXPECT_EQ(sph_database.acc_pressure[3 * i], 0.0);
            EXPECT_EQ(sph_database.a[3 * i], sph_database.acc_viscosity[3 * i]);
        }
        if (c.h1 == 1.0)
            EXPECT_EQ(sph_database.acc_viscosity[3], -sph_database.acc_viscosity[0]);
        else
            EXPECT_GT(std::fabs(sph_database.acc_viscosity[3] + sph_database.acc_viscosity[0]),
                      0.1 * std::fabs(expected[0]));
        std::fill(sph_database.acc_viscosity.begin(), sph_database.acc_viscosity.end(), 0.0);
        ASSERT_EQ(sph_solver_advance_explicit(1e-9), 0);
        for (int i = 0; i < 2; ++i)
            EXPECT_NEAR(sph_database.acc_viscosity[3 * i], expected[i], 1e-12 * std::fabs(expected[i])) << i;

        // A pair without a positive mean density is refused.
        sph_database.rho[1] = -3000.0;
        EXPECT_EQ(sph_water_compute_viscosity_acceleration(), 1);
        EXPECT_EQ(sph_error_message(), "invalid viscosity pair state");
    }
}

TEST_P(WaterAtLevel, GivesTheScalarBits) {
    // A random cloud with mixed h, mass, density, pressure and velocity (pairs both
    // approaching and receding), two gas and two inactive particles, and lists of
    // unequal length, so the vector kernel meets partial groups and padded lanes.
    std::mt19937 rng(2026);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::array<double, 3>> xs;
    for (int i = 0; i < 150; ++i) xs.push_back({u(rng), 0.8 * u(rng), 0.6 * u(rng)});
    water_model(xs);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        d.h[i] = 0.06 + 0.05 * u(rng);
        d.mass[i] = 0.5 + u(rng);
        d.rho[i] = 990.0 + 20.0 * u(rng);
        d.pressure[i] = 2000.0 * (u(rng) - 0.3);
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = 2.0 * u(rng) - 1.0;
    }
    d.particle_phase[3] = d.particle_phase[77] = sph_phase_gas;
    d.particle_status[10] = d.particle_status[149] = 1;
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    auto run = [&](SphSimd level, bool fused) {
        sph_simd_set_cap(level);
        std::vector<double> out;
        EXPECT_EQ(pair_passes(fused), 0);
        for (const auto* f : {&d.drho_dt, &d.acc_pressure, &d.acc_viscosity, &d.a}) out.insert(out.end(), f->begin(), f->end());
        return out;
    };
    const std::vector<double> reference = run(SphSimd::scalar, false);
    int nonzero = 0;
    for (double r : reference) nonzero += r != 0.0;
    EXPECT_GT(nonzero, 1000);  // the cloud does interact
    for (bool fused : {false, true}) {
        SCOPED_TRACE(fused ? "fused" : "separate");
        const std::vector<double> got = run(GetParam(), fused);
        ASSERT_EQ(got.size(), reference.size());
        for (std::size_t k = 0; k < got.size(); ++k)
            ASSERT_EQ(std::memcmp(&got[k], &reference[k], sizeof(double)), 0) << k;
    }
}

// Pairs closer than about 1.5e-154, whose squares underflow, are summed with their
// length, at every level. Two particles 1e-200 apart with h = 1 (q = 1e-200, so the
// gradient factor is -5 sigma exactly), particle 0 moving at +1 along x, pressure 1000:
//   drho_0 = m (v_01 . f r_01) = -5 sigma 1e-200,  acc_pressure_0 = -m 2 p / rho^2 f r_01.
// Then a cloud near the origin with such pairs, some of them with subnormal squares,
// among ordinary ones, and particle groups wider than a vector: the scalar bits.
TEST_P(WaterAtLevel, PairsWhoseSquaresUnderflowAreSummed) {
    water_model({{1e-200, 0, 0}, {0, 0, 0}});
    SphDatabase& d = sph_database;
    d.v[0] = 1.0;
    d.pressure[0] = d.pressure[1] = 1000.0;
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    ASSERT_EQ(sph_water_compute_density_rate_and_acceleration(), 0);
    const double f_r = -5.0 * sigma * 1e-200;  // f r_01, along x
    EXPECT_DOUBLE_EQ(d.drho_dt[0], f_r);
    EXPECT_DOUBLE_EQ(d.drho_dt[1], f_r);  // v_10 . r_10: the same
    EXPECT_DOUBLE_EQ(d.acc_pressure[0], -2.0 * 1e-3 * f_r);
    EXPECT_DOUBLE_EQ(d.acc_pressure[3], 2.0 * 1e-3 * f_r);

    std::mt19937 rng(39);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::array<double, 3>> xs = {
        {0, 0, 0}, {1e-200, 0, 0}, {0, -2e-190, 1e-170}, {1e-160, 1e-160, 0}, {-3e-162, 0, 2e-162}};
    for (int i = 0; i < 40; ++i) xs.push_back({0.3 * u(rng), 0.3 * u(rng), 0.3 * u(rng)});
    water_model(xs);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        d.h[i] = 0.1 + 0.05 * u(rng);
        d.rho[i] = 990.0 + 20.0 * u(rng);
        d.pressure[i] = 2000.0 * (u(rng) - 0.3);
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = 2.0 * u(rng) - 1.0;
    }
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.2, 0.01), 0);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    expect_scalar_bits(GetParam());
}

TEST_P(WaterAtLevel, LongListsGiveTheScalarBits) {
    // A dense cloud: lists of well over a hundred neighbours, of different lengths side by
    // side, so the vector kernel walks them in several blocks and its lanes run out at
    // different places. Velocities both approaching and receding; one gas particle.
    std::mt19937 rng(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::array<double, 3>> xs;
    for (int i = 0; i < 260; ++i) xs.push_back({0.5 * u(rng), 0.5 * u(rng), 0.5 * u(rng)});
    water_model(xs);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        d.h[i] = 0.08 + 0.07 * u(rng);
        d.mass[i] = 0.5 + u(rng);
        d.rho[i] = 990.0 + 20.0 * u(rng);
        d.pressure[i] = 2000.0 * (u(rng) - 0.3);
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = 2.0 * u(rng) - 1.0;
    }
    d.particle_phase[100] = sph_phase_gas;
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "WATER", 0.1, 0.2, 0.01), 0);
    ASSERT_EQ(sph_neighbor_rebuild(), 0);
    int32_t longest = 0;
    double mean = 0.0;
    ASSERT_EQ(sph_neighbor_get_stats(longest, mean), 0);
    EXPECT_GT(longest, 130);
    EXPECT_LT(*std::min_element(d.neighbor_count.begin(), d.neighbor_count.end()), 64);
    expect_scalar_bits(GetParam());
}
