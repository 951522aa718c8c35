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
#include "interface/sph_api.h"
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

}  // namespace
}  // namespace quorrel
