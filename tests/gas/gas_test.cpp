#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "solver/sph_solver_explicit.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;
const double pi = 3.141592653589793;

using test::read_lines;

using Vec3 = std::array<double, 3>;

Vec3 vec(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }

class Gas : public test::DeckTest {
protected:
    // Reads and builds, reporting the message of a failure.
    static void inspect(const std::string& path) {
        ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    }
};

// The pair sums have a scalar path and vector paths, each with its own test of which
// neighbours take part; the tests that rest on those sums run at every level the CPU has
// (a level it lacks is reported as skipped, not passed).
using GasAtLevel = test::AtEveryLevel<Gas>;
INSTANTIATE_TEST_SUITE_P(Levels, GasAtLevel, test::every_level, test::level_name);

// ---- Equations of state through a deck ----

TEST_F(Gas, OneParticlePerEquationOfState) {
    // gas_one.inp: one particle of density 2 (its *DENSITY), h 0.5, mass 0.25, volume 0.125,
    // gravity 8 down; line 11 is the EOS card. Sound speed c = sqrt((|p| + |PINF| + 1) / rho),
    // and at rest with a = 0 the step limit is h / c, the acceleration limit falling back to it.
    const double rho = 2.0, h = 0.5;
    struct Case {
        const char* what;
        std::string eos;
        double e0, p, pinf;
    };
    const std::string ideal = "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=1.4, ";
    const std::string jwl_options = "RHO0=4.0, A=100.0, B=10.0, R1=1.0, R2=0.5, OMEGA=0.3";
    const Case cases[] = {
        // P0 + (gamma - 1) rho e = 3 + 0.4 * 2 * 2.5
        {"ideal with P0", ideal + "E0=2.5, P0=3.0", 2.5, 5.0, 0.0},
        {"ideal, lower-case type", "*QUORREL, EOS, TYPE=ideal_gas, MATERIAL=air, GAMMA=1.4, E0=2.5, P0=3.0", 2.5, 5.0,
         0.0},
        {"ideal without P0 at zero energy", ideal + "E0=0.0", 0.0, 0.0, 0.0},
        // (gamma - 1) rho e - gamma PINF: 0 - 1.4 * 10, then 0.4 * 2 * 50 - 14
        {"stiffened at zero energy",
         "*QUORREL, EOS, TYPE=STIFFENED_GAS, MATERIAL=AIR, RHO0=2.0, GAMMA=1.4, E0=0.0, PINF=10.0", 0.0, -14.0, 10.0},
        {"stiffened at positive energy",
         "*QUORREL, EOS, TYPE=STIFFENED_GAS, MATERIAL=AIR, RHO0=2.0, GAMMA=1.4, E0=50.0, PINF=10.0", 50.0, 26.0,
         10.0},
        // V = RHO0 / rho = 2: A exp(-R1 V) + B exp(-R2 V) + OMEGA rho e
        //   = 100 exp(-2) + 10 exp(-1) + 0.3 * 2 * 5 (OMEGA e / V would give 0.75 for the last term)
        {"JWL at V = 2", "*QUORREL, EOS, TYPE=JWL, MATERIAL=AIR, " + jwl_options + ", E0=5.0", 5.0,
         100.0 * std::exp(-2.0) + 10.0 * std::exp(-1.0) + 3.0, 0.0},
        // Every option of both forms is given, so reading it as JWL would also build, with another pressure.
        {"a type holding both IDEAL_GAS and JWL is ideal",
         "*QUORREL, EOS, TYPE=JWL_IDEAL_GAS, MATERIAL=AIR, GAMMA=1.4, E0=2.5, P0=3.0, " + jwl_options, 2.5, 5.0,
         0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(edited("gas_one.inp", {{11, c.eos}}));
        const SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 1);
        EXPECT_EQ(d.particle_phase[0], sph_phase_gas);
        EXPECT_EQ(d.rho[0], rho);
        EXPECT_EQ(d.internal_energy[0], c.e0);
        EXPECT_EQ(d.temperature[0], 293.15);
        EXPECT_EQ(d.mass[0], 0.25);
        EXPECT_EQ(d.volume[0], 0.125);
        EXPECT_EQ(d.h[0], h);
        EXPECT_EQ(vec(d.acc_body, 0), (Vec3{0.0, 0.0, -8.0}));
        EXPECT_NEAR(d.pressure[0], c.p, 1e-13 * (1.0 + std::fabs(c.p)));
        double p = -1.0;
        ASSERT_EQ(sph_gas_compute_pressure_for_material(1, rho, c.e0, p), 0);
        EXPECT_NEAR(p, c.p, 1e-13 * (1.0 + std::fabs(c.p)));

        const double sound = std::sqrt((std::fabs(c.p) + c.pinf + 1.0) / rho);
        EXPECT_NEAR(sph_gas_sound_speed(0), sound, 1e-14 * sound);
        double cfl = 0, accel = 0, limit = 0;
        ASSERT_EQ(sph_gas_estimate_dt_limits(cfl, accel, limit), 0);
        EXPECT_NEAR(cfl, h / sound, 1e-14);
        EXPECT_EQ(accel, cfl);
        EXPECT_EQ(limit, cfl);
        EXPECT_EQ(d.gas_dt_cfl, cfl);

        // A lone particle has no gas neighbour: its density stays, the pressure force is 0
        // and its acceleration is the body force.
        ASSERT_EQ(sph_solver_advance_explicit(0.001), 0) << sph_error_message();
        EXPECT_EQ(d.drho_dt[0], 0.0);
        EXPECT_EQ(d.rho[0], rho);
        EXPECT_EQ(vec(d.acc_pressure, 0), (Vec3{0.0, 0.0, 0.0}));
        EXPECT_EQ(vec(d.a, 0), (Vec3{0.0, 0.0, -8.0}));
        EXPECT_NEAR(d.pressure[0], c.p, 1e-13 * (1.0 + std::fabs(c.p)));
    }
}

TEST_F(Gas, TwoMaterialsEachUseTheirOwnSlot) {
    // AIR: gamma 1.4, E0 2.5, density 2 -> p = 0.4 * 2 * 2.5 = 2.
    // HOT: gamma 1.6, E0 10, density 1 -> p = 0.6 * 1 * 10 = 6.
    // The later card's values must not reach the first material, nor the first's the second.
    inspect(decks + "/gas_two.inp");
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 2);
    ASSERT_EQ(sph_gas.gas_material_count, 2);
    const double energy[2] = {2.5, 10.0}, density[2] = {2.0, 1.0}, pressure[2] = {2.0, 6.0};
    for (int step = 0; step < 2; ++step) {
        SCOPED_TRACE(step == 0 ? "after the build" : "after a step");
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(d.material_id[i], static_cast<int32_t>(i + 1));
            EXPECT_EQ(d.particle_phase[i], sph_phase_gas);
            EXPECT_EQ(d.internal_energy[i], energy[i]);
            EXPECT_EQ(d.rho[i], density[i]);
            EXPECT_NEAR(d.pressure[i], pressure[i], 1e-14);
        }
        // Volume-weighted over two volumes of 1: (2 + 6) / 2.
        EXPECT_NEAR(d.gas_mean_pressure, 4.0, 1e-14);
        EXPECT_NEAR(d.gas_max_pressure, 6.0, 1e-14);
        ASSERT_EQ(sph_solver_advance_explicit(0.001), 0) << sph_error_message();
    }
}

TEST_P(GasAtLevel, GasAndWaterDoNotMoveEachOther) {
    // gas_water.inp: water at nodes 1, 2, gas at nodes 3, 4; every particle is within reach
    // of all three others. Each phase alone (the other's node lines dropped) must move
    // exactly as beside the other. Each particle has one partner of its own phase, so its
    // sums are one term and the comparison can be exact.
    struct State {
        Vec3 x, v, a;
        double rho;
    };
    auto run = [&](const std::vector<int>& dropped) {
        std::vector<std::string> lines = read_lines(decks + "/gas_water.inp");
        for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) lines.erase(lines.begin() + (*it - 1));
        SetUp();
        std::map<int32_t, State> out;
        inspect(write_deck(lines));
        // Two steps: the first from rest, the second with moving particles, so that the
        // density rates are not 0.
        for (int s = 0; s < 2; ++s) EXPECT_EQ(sph_solver_advance_explicit(0.01), 0) << sph_error_message();
        const SphDatabase& d = sph_database;
        for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
            out[d.particle_id_ext[i]] = State{vec(d.x, i), vec(d.v, i), vec(d.a, i), d.rho[i]};
        return out;
    };
    const std::map<int32_t, State> both = run({});
    ASSERT_EQ(both.size(), 4u);
    std::map<int32_t, State> alone = run({6, 7});  // water only
    ASSERT_EQ(alone.size(), 2u);
    for (const auto& [id, s] : run({4, 5})) alone[id] = s;  // gas only
    ASSERT_EQ(alone.size(), 4u);
    const Vec3 start[4] = {{0, 0, 0}, {1, 0, 0}, {0, 0.5, 0}, {1, 0.5, 0}};
    for (int32_t id = 1; id <= 4; ++id) {
        SCOPED_TRACE("node " + std::to_string(id));
        const State& b = both.at(id);
        const State& a = alone.at(id);
        EXPECT_NE(a.x[0], start[id - 1][0]);  // the pair does push itself apart
        EXPECT_NE(a.rho, id <= 2 ? 1000.0 : 1.2);
        EXPECT_EQ(b.x, a.x);
        EXPECT_EQ(b.v, a.v);
        EXPECT_EQ(b.a, a.a);
        EXPECT_EQ(b.rho, a.rho);
        EXPECT_EQ(b.x[1], start[id - 1][1]);  // nothing pulls across the phases
        EXPECT_EQ(b.v[1], 0.0);
    }
}

TEST_F(Gas, NoGasGivesZeroLimitsAndDiagnostics) {
    struct Case {
        const char* what;
        std::string deck;
        bool deactivate;  // the deck has gas; its particle is taken out of the run after the build
    };
    const Case cases[] = {
        {"a water deck", decks + "/input_water.inp", false},
        {"a gas deck whose only gas particle is inactive", decks + "/gas_one.inp", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(c.deck);
        if (c.deactivate) {
            EXPECT_TRUE(sph_gas.gas_bubble_history_valid);  // the build's refresh found the gas
            sph_database.particle_status[0] = sph_status_inactive;
        }
        ASSERT_EQ(sph_solver_advance_explicit(0.0009765625), 0) << sph_error_message();
        if (c.deactivate) {
            // The step's refresh is the first to find no gas: it still compares with the
            // bubble of the build, R = (3 * 0.125 / (4 pi))^(1/3) at the origin, and reports
            // the loss. Only the next refresh has no history left to compare with.
            EXPECT_NEAR(sph_database.gas_radius_rate, -std::cbrt(0.375 / (4.0 * pi)), 1e-15);
            EXPECT_EQ(sph_database.gas_center_shift, 0.0);
            EXPECT_FALSE(sph_gas.gas_bubble_history_valid);
            ASSERT_EQ(sph_gas_update_diagnostics(), 0);
        }
        double cfl = -1, accel = -1, limit = -1;
        ASSERT_EQ(sph_gas_estimate_dt_limits(cfl, accel, limit), 0);
        EXPECT_EQ(cfl, 0.0);
        EXPECT_EQ(accel, 0.0);
        EXPECT_EQ(limit, 0.0);
        const SphDatabase& d = sph_database;
        EXPECT_EQ(d.gas_particle_count, 0);
        for (double v : {d.gas_mass, d.gas_volume, d.gas_mean_pressure, d.gas_max_pressure, d.gas_min_density,
                         d.gas_max_density, d.gas_equivalent_radius, d.gas_radius_rate, d.gas_center_shift,
                         d.gas_dt_cfl, d.gas_dt_accel, d.gas_dtcrit, d.gas_previous_equivalent_radius})
            EXPECT_EQ(v, 0.0);
        for (const auto* v3 : {&d.gas_momentum, &d.gas_center, &d.gas_previous_center})
            EXPECT_EQ(*v3, (Vec3{0.0, 0.0, 0.0}));
        EXPECT_FALSE(sph_gas.gas_bubble_history_valid);

        double volume = -1, center[3] = {-1, -1, -1}, mean = -1, pmax = -1;
        ASSERT_EQ(sph_gas_get_summary(volume, center, mean, pmax), 0);
        EXPECT_EQ(volume, 0.0);
        EXPECT_EQ(mean, 0.0);
        EXPECT_EQ(pmax, 0.0);
        for (double v : center) EXPECT_EQ(v, 0.0);
        double mass = -1, momentum[3] = {-1, -1, -1}, range[2] = {-1, -1}, limits[3] = {-1, -1, -1};
        ASSERT_EQ(sph_gas_get_extended_summary(mass, momentum, range, limits), 0);
        EXPECT_EQ(mass, 0.0);
        for (double v : momentum) EXPECT_EQ(v, 0.0);
        for (double v : range) EXPECT_EQ(v, 0.0);
        for (double v : limits) EXPECT_EQ(v, 0.0);
        double radius = -1, rate = -1, bubble_center[3] = {-1, -1, -1};
        sph_gas_get_bubble_metrics(radius, rate, bubble_center);
        EXPECT_EQ(radius, 0.0);
        EXPECT_EQ(rate, 0.0);
        for (double v : bubble_center) EXPECT_EQ(v, 0.0);
        EXPECT_FALSE(sph_gas.gas_bubble_history_valid);
    }
}

// ---- Diagnostics ----

TEST_F(Gas, DiagnosticsAreVolumeWeightedAndTrackTheBubble) {
    // Three active gas particles, an inactive gas particle and a water particle (the last
    // two large and far away, so that counting them would show).
    struct P {
        int32_t phase, status;
        Vec3 x, v;
        double volume, pressure, mass, rho;
    };
    const P ps[] = {
        {sph_phase_gas, sph_status_active, {0, 0, 0}, {1, 0, 0}, 1.0, 10.0, 2.0, 1.0},
        {sph_phase_gas, sph_status_active, {3, 0, 0}, {0, 2, 0}, 2.0, 4.0, 1.0, 3.0},
        {sph_phase_gas, sph_status_active, {0, 6, 3}, {0, 0, 4}, 3.0, -2.0, 0.5, 0.5},
        {sph_phase_gas, sph_status_inactive, {100, 100, 100}, {9, 9, 9}, 50.0, 1000.0, 7.0, 0.01},
        {sph_phase_water, sph_status_active, {-100, 0, 0}, {9, 9, 9}, 50.0, 1000.0, 7.0, 0.01},
    };
    ASSERT_EQ(sph_db_allocate(5), 0);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < 5; ++i) {
        d.particle_phase[i] = ps[i].phase;
        d.particle_status[i] = ps[i].status;
        for (std::size_t k = 0; k < 3; ++k) {
            d.x[3 * i + k] = ps[i].x[k];
            d.v[3 * i + k] = ps[i].v[k];
        }
        d.volume[i] = ps[i].volume;
        d.pressure[i] = ps[i].pressure;
        d.mass[i] = ps[i].mass;
        d.rho[i] = ps[i].rho;
    }
    ASSERT_EQ(sph_gas_update_diagnostics(), 0);
    // Volume 6; centre (0*1 + 3*2 + 0*3, 6*3, 3*3) / 6; mean pressure (10 + 8 - 6) / 6;
    // R = (3 * 6 / (4 pi))^(1/3). The first refresh has no history: rate and shift 0.
    EXPECT_EQ(d.gas_particle_count, 3);
    EXPECT_EQ(d.gas_mass, 3.5);
    EXPECT_EQ(d.gas_volume, 6.0);
    EXPECT_EQ(d.gas_momentum, (Vec3{2.0, 2.0, 2.0}));
    EXPECT_EQ(d.gas_center, (Vec3{1.0, 3.0, 1.5}));
    EXPECT_EQ(d.gas_mean_pressure, 2.0);
    EXPECT_EQ(d.gas_max_pressure, 10.0);
    EXPECT_EQ(d.gas_min_density, 0.5);
    EXPECT_EQ(d.gas_max_density, 3.0);
    const double r1 = std::cbrt(4.5 / pi);
    EXPECT_NEAR(d.gas_equivalent_radius, r1, 1e-15);
    EXPECT_EQ(d.gas_radius_rate, 0.0);
    EXPECT_EQ(d.gas_center_shift, 0.0);
    EXPECT_TRUE(sph_gas.gas_bubble_history_valid);

    // The third particle grows to volume 9: volume 12, centre (6, 54, 27) / 12, R = (9 / pi)^(1/3).
    // The change is per refresh: rate R2 - R1, shift |(0.5, 4.5, 2.25) - (1, 3, 1.5)| = 1.75.
    d.volume[2] = 9.0;
    ASSERT_EQ(sph_gas_update_diagnostics(), 0);
    const double r2 = std::cbrt(9.0 / pi);
    EXPECT_EQ(d.gas_center, (Vec3{0.5, 4.5, 2.25}));
    EXPECT_NEAR(d.gas_mean_pressure, (10.0 + 8.0 - 18.0) / 12.0, 1e-15);
    EXPECT_NEAR(d.gas_equivalent_radius, r2, 1e-15);
    EXPECT_NEAR(d.gas_radius_rate, r2 - r1, 1e-15);
    EXPECT_NEAR(d.gas_center_shift, 1.75, 1e-15);
    double radius = 0, rate = 0, center[3] = {};
    sph_gas_get_bubble_metrics(radius, rate, center);  // the stored values, no refresh
    EXPECT_EQ(radius, d.gas_equivalent_radius);
    EXPECT_EQ(rate, d.gas_radius_rate);
    EXPECT_EQ(center[1], 4.5);

    // Nothing moved since: a refresh in a row (the summary's) reports no change.
    double volume = 0, mean = 0, pmax = 0;
    ASSERT_EQ(sph_gas_get_summary(volume, center, mean, pmax), 0);
    EXPECT_EQ(volume, 12.0);
    EXPECT_EQ(center[2], 2.25);
    EXPECT_EQ(pmax, 10.0);
    EXPECT_EQ(d.gas_radius_rate, 0.0);
    EXPECT_EQ(d.gas_center_shift, 0.0);
    EXPECT_NEAR(d.gas_equivalent_radius, r2, 1e-15);

    // A gas particle without a positive volume stops the refresh.
    d.volume[1] = 0.0;
    EXPECT_EQ(sph_gas_update_diagnostics(), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas volume must be positive");
}

TEST_F(Gas, ParticleControlAppliesToEveryGasMaterialWhereverItStands) {
    // gas_two.inp has no particle-control card; the card goes before everything, between
    // the two *MATERIAL cards (line 12 is the second) or after everything.
    const std::string card = "*QUORREL, PARTICLE CONTROL, H=0.3, MASS=0.7, VOLUME=0.9";
    struct Case {
        const char* what;
        int before_line;  // 0: no card; beyond the last line: appended
        double h, mass, volume;
    };
    const Case cases[] = {
        {"no card: the defaults", 0, 1.0, 1.0, 1.0},
        {"first in the deck", 1, 0.3, 0.7, 0.9},
        {"between the materials", 12, 0.3, 0.7, 0.9},
        {"last in the deck", 1000, 0.3, 0.7, 0.9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<std::string> lines = read_lines(decks + "/gas_two.inp");
        ASSERT_EQ(lines[11], "*MATERIAL, NAME=HOT, TYPE=GAS");
        if (c.before_line > 0) {
            const std::size_t at = std::min(lines.size(), static_cast<std::size_t>(c.before_line - 1));
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), card);
        }
        inspect(write_deck(lines));
        const SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 2);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(d.particle_phase[i], sph_phase_gas);
            EXPECT_EQ(d.h[i], c.h);
            EXPECT_EQ(d.mass[i], c.mass);
            EXPECT_EQ(d.volume[i], c.volume);
        }
    }
}

// ---- Setters ----

TEST_F(Gas, SettersRefuseNonFiniteValuesAndStoreNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    ASSERT_EQ(sph_db_allocate(1), 0);
    ASSERT_EQ(sph_db_add_material("AIR", "GAS"), 0);
    ASSERT_EQ(sph_db_set_material_density("AIR", 2.0), 0);
    sph_gas_note_material("AIR", "GAS");
    ASSERT_EQ(sph_gas.gas_material_count, 1);
    const std::string ideal_msg = "Ideal gas gamma must be greater than one";
    const std::string energy_msg = "Ideal gas internal energy must be non-negative";
    const std::string jwl_msg = "JWL gas EOS parameters are invalid";
    const std::string stiff_msg = "Stiffened gas EOS parameters are invalid";
    const std::string control_msg = "Gas particle control values must be positive";
    struct Case {
        std::string what;
        int (*set)(double);  // the setter with the one value under test, the others valid
        std::string message;
    };
    // Each setter with valid values elsewhere; the value under test is passed in.
    const std::vector<Case> setters = {
        {"ideal gamma", [](double x) { return sph_gas_set_ideal("AIR", x, 2.5, 0.0); }, ideal_msg},
        {"ideal E0", [](double x) { return sph_gas_set_ideal("AIR", 1.4, x, 0.0); }, energy_msg},
        {"JWL RHO0", [](double x) { return sph_gas_set_jwl("AIR", x, 100, 10, 1, 0.5, 0.3, 5); }, jwl_msg},
        {"JWL A", [](double x) { return sph_gas_set_jwl("AIR", 4, x, 10, 1, 0.5, 0.3, 5); }, jwl_msg},
        {"JWL B", [](double x) { return sph_gas_set_jwl("AIR", 4, 100, x, 1, 0.5, 0.3, 5); }, jwl_msg},
        {"JWL R1", [](double x) { return sph_gas_set_jwl("AIR", 4, 100, 10, x, 0.5, 0.3, 5); }, jwl_msg},
        {"JWL R2", [](double x) { return sph_gas_set_jwl("AIR", 4, 100, 10, 1, x, 0.3, 5); }, jwl_msg},
        {"JWL OMEGA", [](double x) { return sph_gas_set_jwl("AIR", 4, 100, 10, 1, 0.5, x, 5); }, jwl_msg},
        {"JWL E0", [](double x) { return sph_gas_set_jwl("AIR", 4, 100, 10, 1, 0.5, 0.3, x); }, jwl_msg},
        {"stiffened RHO0", [](double x) { return sph_gas_set_stiffened("AIR", x, 1.4, 0, 10); }, stiff_msg},
        {"stiffened GAMMA", [](double x) { return sph_gas_set_stiffened("AIR", 2, x, 0, 10); }, stiff_msg},
        {"stiffened E0", [](double x) { return sph_gas_set_stiffened("AIR", 2, 1.4, x, 10); }, stiff_msg},
        {"stiffened PINF", [](double x) { return sph_gas_set_stiffened("AIR", 2, 1.4, 0, x); }, stiff_msg},
        {"particle control H", [](double x) { return sph_gas_set_particle_control(x, 1, 1); }, control_msg},
        {"particle control MASS", [](double x) { return sph_gas_set_particle_control(1, x, 1); }, control_msg},
        {"particle control VOLUME", [](double x) { return sph_gas_set_particle_control(1, 1, x); }, control_msg},
        {"body force X",
         [](double x) {
             const double f[3] = {x, 0, 0};
             return sph_gas_set_body_force(f);
         },
         "Gas body force must be finite"},
        {"body force Z",
         [](double x) {
             const double f[3] = {0, 0, x};
             return sph_gas_set_body_force(f);
         },
         "Gas body force must be finite"},
    };
    for (const Case& c : setters) {
        for (const auto& [name, value] : {std::pair{"NaN", nan}, std::pair{"+inf", inf}}) {
            SCOPED_TRACE(c.what + " = " + name);
            sph_error_clear();
            EXPECT_EQ(c.set(value), sph_error_argument);
            EXPECT_EQ(sph_error_code(), sph_error_argument);
            EXPECT_EQ(sph_error_message(), c.message);
            // Nothing stored: the card-level values and the slot are as the reset left them.
            const SphGas& g = sph_gas;
            EXPECT_FALSE(g.gas_eos_defined);
            EXPECT_EQ(g.gas_eos_type, gas_eos_none);
            EXPECT_FALSE(g.gas_materials[0].gas_material_eos_defined);
            EXPECT_EQ(g.gas_rho0, 1.0);
            EXPECT_EQ(g.gas_gamma, 1.4);
            EXPECT_EQ(g.gas_default_h, 1.0);
            EXPECT_EQ(g.gas_default_volume, 1.0);
            EXPECT_FALSE(g.gas_particle_control_defined);
            EXPECT_EQ(g.gas_body_force, (Vec3{0.0, 0.0, 0.0}));
            EXPECT_EQ(vec(sph_database.acc_body, 0), (Vec3{0.0, 0.0, 0.0}));
        }
    }
    // A non-finite reference pressure is taken by the card and refused as a pressure.
    ASSERT_EQ(sph_gas_set_ideal("AIR", 1.4, 2.5, inf), 0);
    double p = 0.0;
    EXPECT_EQ(sph_gas_compute_pressure_for_material(1, 2.0, 2.5, p), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas pressure is not finite");
}

// ---- Against closed forms ----

namespace {

struct BallRun {
    double kinetic = 0.0, drift = 0.0;
    Vec3 momentum{};
};

// A 4^3 lattice (spacing 1, h 1.2, mass 1, rho 1) of ideal gas (gamma 1.4, e 2.5, P0 0, so
// p = 1) released from rest and run to t = 1 with fixed steps of dt.
//
// At frozen e the gas is barotropic, p = (gamma - 1) e rho, whose energy per mass is
// u(rho) = (gamma - 1) e ln(rho) (du/drho = p / rho^2). With equal h the pair sums give
// d/dt sum m u = sum_i sum_j m_i m_j (p_i / rho_i^2) v_ij . grad W_ij and
// d/dt sum 1/2 m v^2 = -(the same), so E = sum 1/2 m v^2 + sum m u is conserved by the
// equations; what changes is the time-stepping error.
BallRun run_ball(double dt, int steps) {
    BallRun r;
    EXPECT_EQ(sph_db_allocate(64), 0);
    for (int32_t i = 0; i < 64; ++i) {
        const double x[3] = {static_cast<double>(i % 4), static_cast<double>((i / 4) % 4),
                             static_cast<double>(i / 16)};
        EXPECT_EQ(sph_db_set_node(i, i + 1, x), 0);
    }
    EXPECT_EQ(sph_db_add_material("AIR", "GAS"), 0);
    EXPECT_EQ(sph_db_set_material_density("AIR", 1.0), 0);
    sph_gas_note_material("AIR", "GAS");
    EXPECT_EQ(sph_gas_set_ideal("AIR", 1.4, 2.5, 0.0), 0);
    EXPECT_EQ(sph_gas_set_particle_control(1.2, 1.0, 1.0), 0);
    EXPECT_EQ(sph_gas_apply_initial_conditions(), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    auto energy = [](double& kinetic) {
        const SphDatabase& d = sph_database;
        kinetic = 0.0;
        double internal = 0.0;
        for (std::size_t i = 0; i < 64; ++i) {
            const Vec3 v = vec(d.v, i);
            kinetic += 0.5 * d.mass[i] * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
            internal += d.mass[i] * (1.4 - 1.0) * d.internal_energy[i] * std::log(d.rho[i]);
        }
        return kinetic + internal;
    };
    double k0 = 0.0;
    const double e0 = energy(k0);
    EXPECT_EQ(k0, 0.0);
    for (int s = 0; s < steps; ++s) EXPECT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    r.drift = energy(r.kinetic) - e0;
    for (std::size_t i = 0; i < 64; ++i)
        for (std::size_t k = 0; k < 3; ++k) r.momentum[k] += d.mass[i] * d.v[3 * i + k];
    return r;
}

}  // namespace

TEST_P(GasAtLevel, LatticeBallConservesEnergyToFirstOrderAndMomentumExactly) {
    const BallRun coarse = run_ball(0.01, 100);
    SetUp();
    const BallRun fine = run_ball(0.005, 200);
    RecordProperty("kinetic_dt_0_01", std::to_string(coarse.kinetic));
    RecordProperty("drift_dt_0_01", std::to_string(coarse.drift));
    RecordProperty("drift_dt_0_005", std::to_string(fine.drift));
    EXPECT_GT(coarse.kinetic, 1.0);  // the ball does expand
    EXPECT_LT(std::fabs(coarse.drift), 0.01 * coarse.kinetic) << coarse.drift << " of " << coarse.kinetic;
    // The step is first order in time, so halving dt halves the drift.
    EXPECT_NEAR(coarse.drift / fine.drift, 2.0, 0.1) << coarse.drift << " / " << fine.drift;
    for (const BallRun* r : {&coarse, &fine})
        for (double p : r->momentum) EXPECT_NEAR(p, 0.0, 1e-10);
}

TEST_F(Gas, CentreFallsFreelyUnderTheBodyForce) {
    // gas_fall.inp: three particles of mass 0.5 and volume 0.25, 10 apart (no pair forces),
    // g = (1, -2, -8), run to t = 0.5. The leapfrog is exact for a constant acceleration:
    // centre = c0 + g t^2 / 2 with c0 = (10/3, 10/3, 7), momentum = M g t with M = 1.5.
    inspect(decks + "/gas_fall.inp");
    ASSERT_EQ(sph_solver_run_explicit(), 0) << sph_error_message();
    const double t = sph_control.current_time;
    EXPECT_NEAR(t, 0.5, 1e-12);
    const SphDatabase& d = sph_database;
    const Vec3 g{1.0, -2.0, -8.0}, c0{10.0 / 3.0, 10.0 / 3.0, 7.0};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NEAR(d.gas_center[k], c0[k] + 0.5 * g[k] * t * t, 1e-9) << k;
        EXPECT_NEAR(d.gas_momentum[k], 1.5 * g[k] * t, 1e-9) << k;
    }
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(vec(d.a, i), g);
}

}  // namespace
