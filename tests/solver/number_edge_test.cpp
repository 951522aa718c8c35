// Values at the edge of the double range: every value a setter accepts must give finite
// lengths, step limits, means and centres, and a total that is not representable must fail
// the operation that computes it, never be reported after success.
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "blast/sph_blast_load.h"
#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_sums.h"
#include "database/sph_database.h"
#include "interface/sph_api.h"
#include "quorrel_interface_test.h"
#include "quorrel_test.h"
#include "shell/sph_shell.h"

namespace quorrel {
namespace {

using Lines = std::vector<std::string>;
using Edits = std::vector<std::pair<int, std::string>>;

constexpr double largest = std::numeric_limits<double>::max();

TEST(NumberEdgeLength, PlainWhereTheSquaresAreFiniteScaledOnlyBeyond) {
    struct Case {
        const char* name;
        double v[3];
        double want;
    };
    const Case cases[] = {
        {"3-4-12 triangle", {3.0, -4.0, 12.0}, 13.0},
        {"zero", {0.0, 0.0, 0.0}, 0.0},
        // Squares 1e-400 underflow: the plain formula gives 0, and so does the length.
        {"below the squares' range", {1e-200, 0.0, 0.0}, 0.0},
        // (1e200, 0, 1e200) scaled by 1e200: 1e200 * sqrt(2) = 1e200 * 1.4142135623730951, which
        // rounds to the double nearest the exact length 1.414213562373095006e200 (checked
        // with 60-digit decimals): 1.414213562373095e200.
        {"squares overflow", {1e200, 0.0, -1e200}, 1.414213562373095e200},
        // One component alone: exactly its magnitude.
        {"largest double", {0.0, -largest, 0.0}, largest},
        // sqrt(2) * 1.7976931348623157e308 is not representable.
        {"length beyond the range", {largest, largest, 0.0}, std::numeric_limits<double>::infinity()},
    };
    for (const Case& c : cases) EXPECT_EQ(sph_norm3(c.v), c.want) << c.name;
    const double ordinary[][3] = {{0.1, 0.2, 0.3}, {1.0, 1.0, 1.0}, {-7.5e-3, 2.25e4, 1.0e-300}, {1e150, 1e150, 1e150}};
    for (const auto& v : ordinary)
        EXPECT_EQ(sph_norm3(v), std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])) << "bit for bit the plain one";
    const double nan_vector[3] = {std::nan(""), 1e300, 0.0};
    EXPECT_TRUE(std::isnan(sph_norm3(nan_vector)));

    // Points whose difference overflows: -1.5e308 - 1e308 is -2.5e308, but half of it is
    // representable and so is nothing twice it; 1e308 - (-1e307) = 1.1e308 is plain.
    const double far_a[3] = {-1.5e308, 0.0, 0.0}, far_b[3] = {1e308, 0.0, 0.0};
    const double near_a[3] = {1e308, 0.0, 0.0}, near_b[3] = {-1e307, 0.0, 0.0};
    EXPECT_EQ(sph_distance3(far_a, far_b), std::numeric_limits<double>::infinity());
    EXPECT_EQ(sph_distance3(near_a, near_b), 1e308 + 1e307);
    const double up[3] = {-8e307, 0.0, 0.0}, down[3] = {8e307, 0.0, 0.0};  // 1.6e308 apart, plainly
    EXPECT_EQ(sph_distance3(up, down), 1.6e308);
    const double p[3] = {1.7e308, 0.0, 0.0}, q[3] = {-1.0e307, 0.0, 0.0};  // 1.8e308: beyond the range
    EXPECT_EQ(sph_distance3(p, q), std::numeric_limits<double>::infinity());

    // The full-range length: the plain one wherever the squares are normal, and the true
    // length where they underflow: (3, 4, 0) 2^-700 has squares 25 * 2^-1400, below the
    // smallest double, and length 5 * 2^-700 (exact); the smallest subnormal is its own.
    struct Tiny {
        const char* name;
        double v[3];
        double want;
    };
    const Tiny tiny[] = {
        {"squares below the range", {0x3p-700, -0x4p-700, 0.0}, 0x5p-700},
        {"one component of 1e-200", {0.0, 1e-200, 0.0}, 1e-200},
        {"smallest subnormal", {0.0, 0.0, -0x1p-1074}, 0x1p-1074},
        {"zero", {0.0, -0.0, 0.0}, 0.0},
        {"squares overflow", {1e200, 0.0, -1e200}, 1.414213562373095e200},
    };
    for (const Tiny& c : tiny) EXPECT_EQ(sph_norm3_full_range(c.v), c.want) << c.name;
    for (const auto& v : ordinary)
        EXPECT_EQ(sph_norm3_full_range(v), std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])) << "plain";

    // Step limits whose plain formula overflows on the way: h / (c + |v|) with c = |v| =
    // 2^1023 is 2^-1024 (their sum 2^1024 is not representable). Quotients by a product
    // out of range: 2^100 / (2^600 2^500 2) = 2^-1001; 1 / (2^600 2^600 2) = 2^-1201 is below
    // the range, so 0.
    const double fast[3] = {0x1p1023, 0.0, 0.0}, still[3] = {0.0, 0.0, 0.0};
    EXPECT_EQ(sph_speed_step(1.0, 0x1p1023, fast), 0x1p-1024);
    EXPECT_EQ(sph_speed_step(3.0, 1480.0, still), 3.0 / 1480.0);
    EXPECT_EQ(sph_scaled_quotient(1.0, 0x1p600, 0x1p600, 1), 0.0);
    EXPECT_EQ(sph_scaled_quotient(0x1p100, 0x1p600, 0x1p500, 1), 0x1p-1001);
    EXPECT_EQ(sph_scaled_quotient(3.0, 0.5, 4.0, 0), 1.5);
    // |a| = 2^1023 sqrt 2 overflows: sqrt(2 / (2^1023 sqrt 2)) = 2^-511 / 2^(1/4).
    const double pulled[3] = {0x1p1023, 0x1p1023, 0.0};
    EXPECT_DOUBLE_EQ(sph_acceleration_step3(2.0, pulled, sph_norm3(pulled)), 0x1p-511 / std::pow(2.0, 0.25));

    // A limit sqrt(h / |a|) whose quotient underflows: h = 1e-300, |a| = 1e300 gives
    // sqrt(1e-300) / sqrt(1e300) = 1e-150 / 1e150 = 1e-300, not 0.
    EXPECT_EQ(sph_acceleration_step(1e-300, 1e300), 1e-150 / 1e150);
    EXPECT_EQ(sph_acceleration_step(2.0, 8.0), 0.5);
}

TEST(NumberEdgeSum, ScaledSumsCancelAndOverflowOnlyWhenTheTotalDoes) {
    SphScaledSum cancel;  // 1e308 + 1e308 - 1e308: the plain running sum is inf - 1e308 = inf
    cancel.add(1e308);
    cancel.add(1e308);
    cancel.add(-1e308);
    EXPECT_EQ(cancel.value(), 1e308);
    SphScaledSum products;  // 1e200 * 1e200 - 1e200 * 1e200 + 2 * 3: inf - inf in the plain sum
    products.add(1e200, 1e200);
    products.add(-1e200, 1e200);
    products.add(2.0, 3.0);
    EXPECT_EQ(products.value(), 0.0) << "6 vanishes beside terms of 1e400, as it would in exact arithmetic rounded";
    SphScaledSum beyond;
    beyond.add(1e300, 1e10);  // 1e310
    EXPECT_EQ(beyond.value(), std::numeric_limits<double>::infinity());
}

class NumberEdge : public test::DeckTest {
protected:
    // The deck read and built through the interface, as the console does; a failure is
    // reported and ends only its own case.
    bool build(const std::string& path) {
        const int status = sph_read_inp(path) != 0 ? 1 : sph_build_model();
        EXPECT_EQ(status, 0) << sph_error_message();
        return status == 0;
    }
    // The deck just written moved to a name of its own, so that the next one keeps it.
    std::string kept_as(const std::string& path, const char* name) const {
        const std::filesystem::path to = dir_ / name;
        std::filesystem::rename(path, to);
        return to.string();
    }
    void SetUp() override {
        test::DeckTest::SetUp();
        sph_initialize();
    }
    void TearDown() override {
        sph_finalize();
        test::DeckTest::TearDown();
    }
};

// One solid particle of unit h at rest, under a body force.
Lines solid_deck(const std::string& body_force) {
    return {"*NODE",
            "1, 0.0, 0.0, 0.0",
            "*NSET, NSET=BLOCK",
            "1",
            "*MATERIAL, NAME=STEEL, TYPE=SOLID",
            "*DENSITY",
            "8000.0",
            "*ELASTIC",
            "2.0e11, 0.25",
            "*SOLID SECTION, NSET=BLOCK, MATERIAL=STEEL",
            "*QUORREL, TIME CONTROL, DT=1.0e-7, TIME=1.0e-6, STEPS=10",
            "*QUORREL, BODY FORCE, " + body_force};
}

// Two water particles 10 apart (no pair) with h = 1, under a body force.
Lines water_deck(const std::string& body_force) {
    return {"*NODE",
            "1, 0.0, 0.0, 0.0",
            "2, 10.0, 0.0, 0.0",
            "*NSET, NSET=POOL",
            "1, 2",
            "*MATERIAL, NAME=WATER, TYPE=WATER",
            "*DENSITY",
            "1000.0",
            "*FLUID SECTION, NSET=POOL, MATERIAL=WATER",
            "*QUORREL, TIME CONTROL, DT=1.0e-4, TIME=1.0, STEPS=10",
            "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=1480.0, GAMMA=7.0",
            "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0, ETA2=0.01",
            "*QUORREL, PARTICLE CONTROL, H=1.0, MASS=1.0, VOLUME=1.0",
            "*QUORREL, BODY FORCE, " + body_force};
}

// Gas particles of the ideal gas gamma 2 at density 1 (so p = E0), spaced 10 apart.
Lines gas_deck(int count, const std::string& e0, const std::string& control) {
    Lines lines = {"*NODE"};
    std::string members;
    for (int i = 1; i <= count; ++i) {
        lines.push_back(std::to_string(i) + ", " + std::to_string(10 * (i - 1)) + ".0, 0.0, 0.0");
        members += (i > 1 ? ", " : "") + std::to_string(i);
    }
    const Lines rest = {"*NSET, NSET=BUBBLE",
                        members,
                        "*MATERIAL, NAME=AIR, TYPE=GAS",
                        "*DENSITY",
                        "1.0",
                        "*FLUID SECTION, NSET=BUBBLE, MATERIAL=AIR",
                        "*QUORREL, TIME CONTROL, DT=0.001, TIME=0.004, STEPS=10",
                        "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=2.0, E0=" + e0,
                        "*QUORREL, PARTICLE CONTROL, " + control};
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

// The water deck with some of its lines replaced (0-based: 10 the EOS card, 11 the
// viscosity card, 12 the particle control card).
Lines water_deck_with(const Edits& edits) {
    Lines lines = water_deck("X=0.0, Y=0.0, Z=0.0");
    for (const auto& [k, text] : edits) lines.at(static_cast<std::size_t>(k)) = text;
    return lines;
}

// A 2 x 2 x 2 water lattice at rest (nodes 1 to 8), `spacing` apart, with its own EOS and
// particle control cards.
Lines water_lattice(const std::string& spacing, const std::string& eos, const std::string& control) {
    Lines lines = {"*NODE"};
    for (int k = 0; k < 8; ++k)
        lines.push_back(std::to_string(k + 1) + ", " + (k & 1 ? spacing : "0.0") + ", " + (k & 2 ? spacing : "0.0") +
                        ", " + (k & 4 ? spacing : "0.0"));
    const Lines rest = {"*NSET, NSET=POOL",
                        "1, 2, 3, 4, 5, 6, 7, 8",
                        "*MATERIAL, NAME=WATER, TYPE=WATER",
                        "*DENSITY",
                        "1000.0",
                        "*FLUID SECTION, NSET=POOL, MATERIAL=WATER",
                        "*QUORREL, TIME CONTROL, DT=1.0e-3, TIME=1.0, STEPS=200",
                        "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, " + eos,
                        "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0, ETA2=0.01",
                        "*QUORREL, PARTICLE CONTROL, " + control};
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

// The solid deck of one particle under a body force of 10 along z, with its own density
// and elastic card.
Lines solid_deck_with(const std::string& density, const std::string& elastic) {
    Lines lines = solid_deck("X=0.0, Y=0.0, Z=-10.0");
    lines.at(6) = density;
    lines.at(8) = elastic;
    return lines;
}

TEST_F(NumberEdge, StepLimitsWhoseFormulaOverflowsAreTakenOrFailNamingTheLimit) {
    struct Case {
        const char* name;
        Lines deck;
        std::function<void()> check;
    };
    // h / (c0 (1 + alpha + beta)) with h = 1, c0 = 1e10: the product is beyond the range,
    // the limit 1e-10 / 1e300 = 1e-310 is not (a subnormal, of relative spacing 5e-14).
    const auto viscous_limit = [](double want) {
        return [want] {
            double dt = 0.0, cfl = 0.0, accel = 0.0, viscous = 0.0;
            ASSERT_EQ(sph_estimate_stable_dt(dt), 0) << sph_error_message();
            ASSERT_EQ(sph_get_water_dt_limits(cfl, accel, viscous), 0);
            EXPECT_NEAR(viscous, want, 1e-12 * want);
            EXPECT_EQ(cfl, 1e-10);
            EXPECT_EQ(accel, 1e-10) << "no acceleration: the CFL limit";
            EXPECT_EQ(dt, viscous) << "safety 1: the smallest limit, not the DT cap";
        };
    };
    // The solid wave speed sqrt(M / rho), M = K + 4G/3 = E (1 - nu) / ((1 + nu) (1 - 2 nu)):
    // M / rho overflows, the speed does not. At rest dt_cfl = h / c; dt_accel = sqrt(h / 10).
    const auto solid_limits = [](double e, double nu, double rho) {
        return [=] {
            const double h = sph_database.h[0];
            const double c = std::sqrt(e * (1.0 - nu) / ((1.0 + nu) * (1.0 - 2.0 * nu))) / std::sqrt(rho);
            double dt = 0.0;
            ASSERT_EQ(sph_estimate_stable_dt(dt), 0) << sph_error_message();
            int32_t active = 0, failed = 0;
            double mass = 0, momentum[3], energy[2], q = 0, plastic[2], damage[2], softening[2], limits[3];
            ASSERT_EQ(
                sph_get_solid_summary(active, failed, mass, momentum, energy, q, plastic, damage, softening, limits),
                0);
            EXPECT_NEAR(limits[0], h / c, 1e-14 * (h / c));
            EXPECT_DOUBLE_EQ(limits[1], std::sqrt(h / 10.0));
            EXPECT_EQ(limits[2], limits[0]);
            EXPECT_EQ(dt, limits[0]);
        };
    };
    const auto fails = [](const char* message) {
        return [message] {
            double dt = 0.0;
            EXPECT_EQ(sph_estimate_stable_dt(dt), 1);
            EXPECT_EQ(sph_error_message(), message);
        };
    };
    // The water deck with c0 = 1e10, the viscosity's ALPHA and BETA and the smoothing length.
    const auto viscous_deck = [](const std::string& alpha_beta, const std::string& h) {
        return water_deck_with(
            {{10, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=1e10, GAMMA=7.0"},
             {11, "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, " + alpha_beta + ", ETA2=0.01"},
             {12, "*QUORREL, PARTICLE CONTROL, H=" + h + ", MASS=1.0, VOLUME=1.0"}});
    };
    const std::vector<Case> cases = {
        {"water ALPHA=1e300", viscous_deck("ALPHA=1e300, BETA=0.0", "1.0"), viscous_limit(1e-310)},
        {"water BETA=1e300", viscous_deck("ALPHA=0.0, BETA=1e300", "1.0"), viscous_limit(1e-310)},
        // 1 + alpha + beta itself overflows: 1e-10 / 2e308 = 5e-319.
        {"water ALPHA=BETA=1e308", viscous_deck("ALPHA=1e308, BETA=1e308", "1.0"), viscous_limit(5e-319)},
        // h = 1e-20: the limit 1e-330 is below the range.
        {"water viscous limit below the range", viscous_deck("ALPHA=1e300, BETA=0.0", "1e-20"),
         fails("Water viscous step limit rounds to zero")},
        {"solid of density 1e-300", solid_deck_with("1e-300", "2.0e11, 0.3"), solid_limits(2.0e11, 0.3, 1e-300)},
        {"solid of E 1e300", solid_deck_with("1e-10", "1e300, 0.3"), solid_limits(1e300, 0.3, 1e-10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (build(write_deck(c.deck))) c.check();
        sph_initialize();
    }
}

// A step whose state leaves the range fails; it is not reported as a success that the
// next step, or nothing, finds out.
TEST_F(NumberEdge, StatesBeyondTheRangeFailTheStepThatMakesThem) {
    struct Case {
        const char* name;
        Lines deck;
        int steps;  // 0: run to the end
        double dt;
        std::string message;
    };
    const std::vector<Case> cases = {
        // p0 = -1e5 pulls the lattice together; (rho / rho0)^1e5 overflows once the density
        // is 0.71 % above rho0, long before the end of the run.
        {"Tait pressure with GAMMA=1e5",
         water_lattice("0.1", "RHO0=1000.0, C0=50.0, GAMMA=1e5, P0=-1e5", "H=0.12, MASS=1.0, VOLUME=0.001"), 0, 0.0,
         "Water pressure is not finite"},
        // Pairs 1e-200 apart: their squares underflow, but the pairs are there, with a kernel
        // gradient beyond the range (sigma = 21 / (16 pi h^3) alone is). The accelerations
        // are not finite (the axis pairs give inf * 0 = NaN), and so is every position.
        {"lattice of spacing 1e-200", water_lattice("1e-200", "RHO0=1000.0, C0=1480.0, GAMMA=7.0, P0=1.0",
                                                    "H=1.2e-200, MASS=1.0, VOLUME=1.0"),
         1, 1e-210, "particle position is not finite (node 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!build(write_deck(c.deck))) continue;
        const int status = c.steps == 0 ? sph_run_explicit() : sph_advance_explicit(c.dt);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(sph_error_message(), c.message);
        sph_initialize();
    }
}

TEST_F(NumberEdge, HugeVectorsGiveTheirLengthsStepsAndDirections) {
    const double inv_root2_rounded = 1.0 / std::sqrt(2.0);  // 0.7071067811865475: 1 / fl(sqrt 2)
    // Each deck is written when its case runs: the cases share one file name.
    struct Case {
        const char* name;
        std::function<std::string()> deck;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"solid step limit", [this] { return write_deck(solid_deck("X=-1e200, Y=1e200")); },
         [] {
             // No neighbours and no stress: a = the body force, |a| = 1.414213562373095e200 (see
             // the length table); dt_accel = sqrt(1 / |a|) = 8.408964152537145e-101, the double
             // nearest the exact 8.40896415253714544795e-101 (60-digit decimals). It is below
             // the CFL limit 1 / 5164 (wave speed of E 2e11, nu 0.25 at 8000), so it is the
             // solid limit and, with safety 1, the step.
             double dt = 0.0;
             ASSERT_EQ(sph_estimate_stable_dt(dt), 0) << sph_error_message();
             EXPECT_EQ(dt, 8.408964152537145e-101);
             int32_t active = 0, failed = 0;
             double mass = 0, momentum[3], energy[2], q = 0, plastic[2], damage[2], softening[2], limits[3];
             ASSERT_EQ(
                 sph_get_solid_summary(active, failed, mass, momentum, energy, q, plastic, damage, softening, limits),
                 0);
             EXPECT_EQ(limits[1], 8.408964152537145e-101);
             EXPECT_EQ(limits[2], 8.408964152537145e-101);
             double diagnostics[3] = {};
             ASSERT_EQ(sph_get_solid_diagnostics(3, diagnostics), 0);
             EXPECT_EQ(diagnostics[1], 1.414213562373095e200) << "largest acceleration";
         }},
        {"shell director set",
         [this] {
             return edited("shell_pair.inp", {}, {"*QUORREL, SHELL DIRECTOR, SET=PLATE, NX=1e200, NY=0, NZ=1e200"});
         },
         [inv_root2_rounded] {
             // (1e200, 0, 1e200) / 1.414213562373095e200 = 0.7071067811865475 per component, the
             // same bits as (1, 0, 1) / sqrt(2); the frame's e3 normalises that once more:
             // 0.7071067811865475 / 0.9999999999999999 = 0.7071067811865476.
             const SphShellState& st = sph_shell_state;
             for (std::size_t i = 0; i < 7; ++i) {
                 EXPECT_EQ(st.shell_director[3 * i], inv_root2_rounded) << i;
                 EXPECT_EQ(st.shell_director[3 * i + 1], 0.0) << i;
                 EXPECT_EQ(st.shell_director[3 * i + 2], inv_root2_rounded) << i;
                 EXPECT_EQ(st.shell_local_e3[3 * i], 0.7071067811865476) << i;
                 EXPECT_EQ(st.shell_local_e3[3 * i + 2], 0.7071067811865476) << i;
             }
         }},
        {"orientation director",
         [this] {
             return edited("shell_pair.inp",
                           {{21, "*SHELL SECTION, ELSET=PLATE, MATERIAL=SKIN, THICKNESS=0.01, ORIENTATION=TILT"}},
                           {"*ORIENTATION, NAME=TILT", "1e200, 0, 1e200, 1, 0, 0"});
         },
         [inv_root2_rounded] {
             const SphShellState& st = sph_shell_state;
             EXPECT_EQ(st.shell_director_status[0], sph_shell_director_orientation);
             EXPECT_EQ(st.shell_director[0], inv_root2_rounded);
             EXPECT_EQ(st.shell_director[2], inv_root2_rounded);
             EXPECT_EQ(st.shell_local_e3[0], 0.7071067811865476);
         }},
        {"detonation time of a far ignition point",
         [this] {
             return edited(
                 "explosive_one.inp",
                 {{17,
                   "*QUORREL, EXPLOSIVE, MATERIAL=TNT, TYPE=PROGRAMMED_BURN, DETONATION_VELOCITY=2.0, ENERGY=5.0, "
                   "BURN_TIME=0.25, PRODUCT_MATERIAL=FUMES, CONVERSION=PHASE"},
                  {18, "*QUORREL, IGNITION, MATERIAL=TNT, X=1e160, Y=0.0, Z=0.0, TIME=0.0"}});
         },
         [] {
             // |(0, 0, 2) - (1e160, 0, 0)| = 1e160 * sqrt(1 + 4e-320) = 1e160; / D = 2: 5e159.
             int32_t count = 0, reacted = 0;
             double lambda[3], released[5], times[2];
             ASSERT_EQ(sph_get_explosive_summary(count, reacted, lambda, released, times), 0);
             EXPECT_EQ(times[0], 5e159);
         }},
        {"detonation time of a far node",
         [this] {
             return edited(
                 "explosive_one.inp",
                 {{5, "1, 1d300, 0.0, 0.0"},
                  {17,
                   "*QUORREL, EXPLOSIVE, MATERIAL=TNT, TYPE=PROGRAMMED_BURN, DETONATION_VELOCITY=2.0, ENERGY=5.0, "
                   "BURN_TIME=0.25, PRODUCT_MATERIAL=FUMES, CONVERSION=PHASE"}});
         },
         [] {
             int32_t count = 0, reacted = 0;
             double lambda[3], released[5], times[2];
             ASSERT_EQ(sph_get_explosive_summary(count, reacted, lambda, released, times), 0);
             EXPECT_EQ(times[0], 5e299);  // 1e300 / 2
         }},
        {"water acceleration limit", [this] { return write_deck(water_deck("X=0.0, Y=0.0, Z=-1e160")); },
         [] {
             // One step of 1e-200 sets a = (0, 0, -1e160) (no pair, pressure 0): |a| = 1e160,
             // dt_accel = sqrt(1 / 1e160) = 1e-80, far below h / c0 and h / (c0 * 1.1).
             ASSERT_EQ(sph_advance_explicit(1e-200), 0) << sph_error_message();
             double cfl = 0, accel = 0, viscous = 0, dt = 0;
             ASSERT_EQ(sph_get_water_dt_limits(cfl, accel, viscous), 0);
             EXPECT_EQ(accel, 1e-80);
             ASSERT_EQ(sph_estimate_stable_dt(dt), 0);
             EXPECT_EQ(dt, 1e-80);
         }},
        {"water speed and acceleration limits", [this] { return write_deck(water_deck("X=0.0, Y=1e200, Z=1e200")); },
         [] {
             // One step of 1e-10: v = (dt 0.5) a + (dt 0.5) a = 5e189 + 5e189 = 1e190 in y and z
             // (5e-11 * 1e200 rounds to 5e189 and the sum is exact), so |v| = 1e190 * sqrt 2,
             // which rounds to 1.4142135623730952e190, and dt_cfl = 1 / (1480 + |v|) =
             // 7.071067811865474e-191, the double nearest the exact 7.0710678118654747309e-191;
             // |a| = 1.414213562373095e200 and dt_accel = 8.408964152537145e-101.
             ASSERT_EQ(sph_advance_explicit(1e-10), 0) << sph_error_message();
             double cfl = 0, accel = 0, viscous = 0;
             ASSERT_EQ(sph_get_water_dt_limits(cfl, accel, viscous), 0);
             EXPECT_EQ(cfl, 1.0 / (1480.0 + 1e190 * std::sqrt(2.0)));
             EXPECT_EQ(cfl, 7.071067811865474e-191);
             EXPECT_EQ(accel, 8.408964152537145e-101);
         }},
        {"blast direction from a far centre",
         [this] {
             return edited(
                 "blast_one.inp",
                 {{23, "*QUORREL, BLAST REGION, NAME=PUSH, X=1e200, Y=0.0, Z=0.0, RADIUS=1e200, TARGET_SET=PLATE"}});
         },
         [] {
             // Both particles lie 1e200 from the centre (1 - 1e200 rounds to -1e200): inside.
             // The target's direction is (1 - 1e200, 0, 0) / 1e200 = (-1, 0, 0); pressure 4 on
             // the area 1^(2/3) = 1 gives the force (-4, 0, 0).
             int32_t counts[12] = {};
             double values[26] = {};
             ASSERT_EQ(sph_get_blast_summary(1, counts, values), 0);
             EXPECT_EQ(counts[0], 1) << "source";
             EXPECT_EQ(counts[1], 1) << "target";
             EXPECT_EQ(counts[7], 0) << "zero weight";
             EXPECT_EQ(values[13], -4.0);
             EXPECT_EQ(values[14], 0.0);
             EXPECT_EQ(values[15], 0.0);
         }},
        {"blast sphere far from the origin",
         [this] {
             return edited(
                 "blast_one.inp",
                 {{23, "*QUORREL, BLAST REGION, NAME=PUSH, X=2e200, Y=0.0, Z=0.0, RADIUS=1e200, TARGET_SET=PLATE"}});
         },
         [] {
             // 2e200 from the centre is outside a radius of 1e200, although both squares are inf.
             int32_t counts[12] = {};
             double values[26] = {};
             ASSERT_EQ(sph_get_blast_summary(1, counts, values), 0);
             EXPECT_EQ(counts[0], 0) << "source";
             EXPECT_EQ(counts[1], 0) << "target";
         }},
        {"blast source pressure mean of two at 1e308",
         [this] {
             return edited("blast_one.inp", {{5, "2, 1.0, 0.0, 0.0\n3, 0.0, 0.5, 0.0"},
                                             {9, "1, 3"},
                                             {21, "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=1.5, E0=1e308"}});
         },
         [] {
             // Both sources: p = 0.5 * 2 * 1e308 = 1e308; their plain sum is inf, the mean
             // 1e308 / 2 + 1e308 / 2 = 1e308. The force 1e308 * 1 is beyond half the largest
             // double and is counted as non-finite, not stored.
             int32_t counts[12] = {};
             double values[26] = {};
             ASSERT_EQ(sph_get_blast_summary(1, counts, values), 0);
             EXPECT_EQ(counts[0], 2);
             EXPECT_EQ(values[2], 1e308);
             EXPECT_EQ(counts[8], 1) << "non-finite";
         }},
        {"mean pressure of two at 1e308",
         [this] { return write_deck(gas_deck(2, "1e308", "H=0.5, MASS=1.0, VOLUME=1.0")); },
         [] {
             // p = (2 - 1) * 1 * 1e308 on both; V p sums to inf, but the mean is
             // 0.5 * 1e308 + 0.5 * 1e308 = 1e308. The centre (0 + 10) / 2 = 5 stays plain.
             double volume = 0, center[3], mean = 0, max = 0;
             ASSERT_EQ(sph_get_gas_summary(volume, center, mean, max), 0) << sph_error_message();
             EXPECT_EQ(mean, 1e308);
             EXPECT_EQ(max, 1e308);
             EXPECT_EQ(volume, 2.0);
             EXPECT_EQ(center[0], 5.0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (build(c.deck())) c.check();
        sph_initialize();
    }
}

TEST_F(NumberEdge, TotalsOutOfRangeAndOversizedForcesFailWithTheirQuantity) {
    enum class Stage { read, build, run };
    struct Case {
        const char* name;
        std::string deck;
        Stage stage;
        int code;
        std::string message;
    };
    const std::string solid = write_deck(solid_deck("X=0.0, Y=0.0, Z=1e308"), "\n", "solid.inp");
    // Two explosive particles of mass 1 at the ignition point, burnt at once (burn time 0):
    // each releases 1 * 1e308, and the total 2e308 is beyond the range.
    const std::string burnt = edited("explosive_one.inp", {{5, "1, 0.0, 0.0, 0.0\n2, 0.0, 0.0, 0.0"},
                                                           {7, "1, 2"},
                                                           {17,
                                                            "*QUORREL, EXPLOSIVE, MATERIAL=TNT, TYPE=PROGRAMMED_BURN, "
                                                            "DETONATION_VELOCITY=4.0, ENERGY=1e308, BURN_TIME=0.0, "
                                                            "PRODUCT_MATERIAL=FUMES, CONVERSION=PHASE"}});
    const std::string burnt_kept = kept_as(burnt, "burnt.inp");
    // A source of mass 10 and specific energy 1e308 holds the energy 1e309.
    const std::string energetic =
        kept_as(edited("blast_one.inp", {{21, "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=1.5, E0=1e308"},
                                         {22, "*QUORREL, PARTICLE CONTROL, H=0.5, MASS=10.0, VOLUME=0.125"}}),
                "energetic.inp");
    const std::vector<Case> cases = {
        // Half the largest double bounds every solid value.
        {"solid body force beyond half the largest double", solid, Stage::read, 1,
         solid + ":12: Solid body force must be finite"},
        {"ten gas volumes of 9e307",
         write_deck(gas_deck(10, "1.0", "H=0.5, MASS=1.0, VOLUME=9e307"), "\n", "volume.inp"), Stage::build, 1,
         "Gas diagnostics overflow: total volume is not finite"},
        {"two gas masses of 1e308", write_deck(gas_deck(2, "1.0", "H=0.5, MASS=1e308, VOLUME=1.0"), "\n", "mass.inp"),
         Stage::build, 1, "Gas diagnostics overflow: total mass is not finite"},
        {"blast source energy", energetic, Stage::build, 1,
         "Blast diagnostics overflow: source energy of region PUSH is not finite"},
        {"released energy of a burnt-out charge", burnt_kept, Stage::run, 1,
         "Explosive diagnostics overflow: total released energy is not finite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The stages up to the one expected to fail; a failure at an earlier one shows in
        // the message.
        int status = sph_read_inp(c.deck);
        if (status == 0 && c.stage != Stage::read) status = sph_build_model();
        if (status == 0 && c.stage == Stage::run) status = sph_run_explicit();
        EXPECT_EQ(status, c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), c.message);
        sph_initialize();
    }
}

// Through the C interface, as a host drives it: an advance that would leave the range
// fails with code 1 and leaves time and step as they were.
class NumberEdgeInterface : public test::DeckTest {
protected:
    void SetUp() override {
        test::DeckTest::SetUp();
        (void)quorrel_finalize();
    }
    void TearDown() override {
        (void)quorrel_finalize();
        test::DeckTest::TearDown();
    }
    bool build(const std::string& deck) {
        const bool built =
            quorrel_initialize() == 0 && quorrel_read_inp(deck.c_str()) == 0 && quorrel_build_model() == 0;
        EXPECT_TRUE(built) << test::last_error();
        return built;
    }
    static std::pair<double, int> clock() {
        double time = -1.0;
        int step = -1;
        EXPECT_EQ(quorrel_get_current_time(&time, &step), 0);
        return {time, step};
    }
};

TEST_F(NumberEdgeInterface, AnAdvanceBeyondTheRangeFailsItself) {
    const std::string at_rest = std::string(QUORREL_TEST_DECKS) + "/worker_regions.inp";
    const std::string drop = std::string(QUORREL_TEST_DATA) + "/app/worker/app_worker_drop.inp";
    // The drop deck's particle under a pull of 8e307 instead of 8, moving at -1.75e308: a
    // step of 1/16 gives v_half = -1.75e308 - 2.5e306 = -1.775e308, z = 2 + v_half / 16
    // = -1.109375e307 (finite), and v = v_half - 2.5e306 = -1.8e308, beyond the range.
    std::vector<std::string> pulled = test::read_lines(drop);
    pulled.back() = "*QUORREL, BODY FORCE, X=0.0, Y=0.0, Z=-8e307";
    const std::string pulled_deck = write_deck(pulled);
    struct Case {
        const char* name;
        std::string deck;
        std::function<void()> prepare;
        std::vector<double> steps;  // all but the last succeed
        std::string message;
        std::pair<double, int> clock;  // after the failed advance
    };
    const auto nothing = [] {};
    const std::vector<Case> cases = {
        // 1e308 + 1e308 is not representable.
        {"time", at_rest, nothing, {1e308, 1e308}, "time after the step is not finite", {1e308, 1}},
        // z = 2 + 1e300 (0.5 * 1e300 * -8) = -inf; v = -8e300 is finite.
        {"position", drop, nothing, {1e300}, "particle position is not finite (node 1)", {0.0, 0}},
        {"velocity", pulled_deck, [] { sph_database.v[2] = -1.75e308; }, {0.0625},
         "particle velocity is not finite (node 1)", {0.0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!build(c.deck)) continue;
        c.prepare();
        for (std::size_t k = 0; k + 1 < c.steps.size(); ++k) ASSERT_EQ(quorrel_advance_explicit(c.steps[k]), 0);
        EXPECT_EQ(quorrel_advance_explicit(c.steps.back()), 1);
        EXPECT_EQ(test::last_error(), (test::LastError{1, c.message}));
        EXPECT_EQ(clock(), c.clock);
        (void)quorrel_finalize();
    }
}

// A restart at the largest step: the next advance would overflow the counter.
TEST_F(NumberEdgeInterface, AnAdvanceAtTheLargestStepFails) {
    ASSERT_TRUE(build(std::string(QUORREL_TEST_DECKS) + "/worker_regions.inp"));
    const std::string written = (dir_ / "written.rst").string(), edited = (dir_ / "edited.rst").string();
    ASSERT_EQ(quorrel_write_restart(written.c_str()), 0) << test::last_error();
    // The second line holds the time, the step and the particle count.
    std::vector<std::string> lines = test::read_lines(written);
    ASSERT_GE(lines.size(), 2u);
    const std::string at_zero = "0.0000000000000000e+00 0 ";
    ASSERT_EQ(lines[1].rfind(at_zero, 0), 0u) << lines[1];
    lines[1] = "0.0000000000000000e+00 2147483647 " + lines[1].substr(at_zero.size());
    write_deck(lines, "\n", "edited.rst");
    ASSERT_EQ(quorrel_read_restart(edited.c_str()), 0) << test::last_error();
    EXPECT_EQ(clock(), (std::pair<double, int>{0.0, 2147483647}));
    EXPECT_EQ(quorrel_advance_explicit(0.0625), 1);
    EXPECT_EQ(test::last_error(), (test::LastError{1, "step counter is at its largest value"}));
    EXPECT_EQ(clock(), (std::pair<double, int>{0.0, 2147483647}));
}

}  // namespace
}  // namespace quorrel
