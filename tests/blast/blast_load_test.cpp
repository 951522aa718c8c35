// The blast load through small decks: which targets a region loads, with what force, how
// the step turns the force into velocity, and what the particle CSV shows of it.
#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "output/sph_output.h"
#include "solver/sph_solver_explicit.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

using Vec3 = std::array<double, 3>;
constexpr Vec3 zero{0.0, 0.0, 0.0};

// The time step of every deck here: a power of two, so that dt F / m is exact.
constexpr double dt = 0.0009765625;

// blast_one.inp: node 1 a gas source of pressure 4 at the origin (index 0), node 2 a target
// of volume 1 and mass 1 at (1, 0, 0) (index 1); line 5 is node 2, line 17 the target's
// material, line 19 its section, line 23 the region card.
constexpr int target_node_line = 5, target_material_line = 17, target_section_line = 19, card_line = 23;

// Options of the region card in the base deck's order; a change of value "-" leaves the
// option out, and options the base card lacks are added at the end in the order given.
using Options = std::vector<std::pair<std::string, std::string>>;
std::string region_card(const Options& changes = {}) {
    const Options base = {{"NAME", "PUSH"}, {"X", "0.0"},    {"Y", "0.0"},
                          {"Z", "0.0"},     {"RADIUS", "2.0"}, {"TARGET_SET", "PLATE"}};
    std::string line = "*QUORREL, BLAST REGION";
    auto changed = [&](const std::string& name) -> const std::string* {
        for (const auto& [n, v] : changes)
            if (n == name) return &v;
        return nullptr;
    };
    for (const auto& [name, value] : base) {
        const std::string* v = changed(name);
        const std::string& text = v ? *v : value;
        if (text != "-") line += ", " + name + "=" + text;
    }
    for (const auto& [name, value] : changes) {
        bool in_base = false;
        for (const auto& b : base) in_base = in_base || b.first == name;
        if (!in_base) line += ", " + name + "=" + value;
    }
    return line;
}

std::pair<int, std::string> card(const Options& changes) { return {card_line, region_card(changes)}; }

// Positions in the region summary.
enum Count { c_source, c_target, c_pairs, c_skip_source, c_skip_target, c_loaded, c_load_pairs, c_zero, c_nonfinite,
             c_water, c_gas, c_explosive };
enum Value { v_mass, v_energy, v_pressure, v_gas_volume, v_progress, v_water_min, v_water_max, v_solid = 7,
             v_shell = 10, v_total = 13, v_impulse = 16, v_momentum = 19, v_work = 22, v_energy_input = 23,
             v_max_force = 24, v_max_accel = 25 };

struct Summary {
    std::array<int32_t, sph_blast_summary_count_size> c{};
    std::array<double, sph_blast_summary_value_size> v{};
    Vec3 at(int first) const {
        const auto k = static_cast<std::size_t>(first);
        return {v[k], v[k + 1], v[k + 2]};
    }
};

Summary summary(int32_t region) {
    Summary s;
    EXPECT_EQ(sph_blast_load_get_summary(region, s.c.data(), s.v.data()), 0) << sph_error_message();
    return s;
}

Vec3 vec(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }

// A cache of the blast load for particle i, zero when the cache is not allocated.
Vec3 cached(const std::vector<double>& cache, std::size_t i) {
    return cache.size() == 3 * static_cast<std::size_t>(sph_database.npart) ? vec(cache, i) : zero;
}

void expect_near(const Vec3& actual, const Vec3& expected, double tol, const char* what) {
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_NEAR(actual[k], expected[k], tol) << what << " component " << k;
}

void near_or_equal(double actual, double expected, double tol) {
    if (std::isinf(expected)) {
        EXPECT_EQ(actual, expected);
    } else {
        EXPECT_NEAR(actual, expected, tol);
    }
}

// The real columns 33-41 (the blast solid force, shell force and shell moment) of the
// particle CSV line of particle index i, read back as numbers.
std::array<double, 9> csv_blast_columns(const std::string& path, std::size_t i) {
    std::array<double, 9> out{};
    out.fill(std::numeric_limits<double>::quiet_NaN());
    const std::vector<std::string> fields = test::particle_csv_fields(test::read_lines(path), i);
    if (fields.empty()) return out;
    for (std::size_t k = 0; k < 9; ++k) out[k] = test::csv_real(fields[32 + k]);
    return out;
}

class BlastLoad : public test::DeckTest {
protected:
    static void inspect(const std::string& path) {
        ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    }
    static int32_t warnings() {
        int32_t count = -1;
        sph_input_get_warning_count(count);
        return count;
    }
    std::string csv() const {
        const std::string path = (dir_ / "particles.csv").string();
        EXPECT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
        return path;
    }
};

// ---- One source, one target ----

struct Variant {
    std::string what;
    std::vector<std::pair<int, std::string>> edits;
    std::vector<std::string> appended;
    Vec3 force_t;    // the force of the evaluation at t: the target's velocity after the step is dt F / m
    Vec3 force_end;  // the cache after the step: the evaluation at t + dt
    // Region 1 after the build: sources, targets, pairs, loaded, zero weight, non-finite.
    std::array<int32_t, 6> counts;
    int32_t warnings = 0;
    bool shell = false;   // the target is a shell particle (its force in the shell columns)
    bool caches = true;   // an enabled region exists, so the caches are allocated
    double tol = 0.0;
};

std::vector<Variant> variants() {
    const Vec3 push{4.0, 0.0, 0.0};  // P V^(2/3) = 4 * 1 along +x
    const std::array<int32_t, 6> loaded{1, 1, 1, 1, 0, 0}, off{0, 0, 0, 0, 0, 0}, passed_by{1, 0, 0, 0, 0, 0};
    // A shell material needs density and elastic data, and a lone shell particle its
    // director from a director set (no element or cloud to infer it from).
    const std::vector<std::pair<int, std::string>> shell = {
        {target_material_line, "*MATERIAL, NAME=STEEL, TYPE=SHELL\n*DENSITY\n7800.0\n*ELASTIC\n2.0e11, 0.3"},
        {target_section_line, "*SHELL SECTION, NSET=PLATE, MATERIAL=STEEL, THICKNESS=0.01, POINTS=3\n"
                              "*QUORREL, SHELL DIRECTOR, NSET=PLATE, NX=1.0, NY=0.0, NZ=0.0"}};
    auto with_shell = [&](std::pair<int, std::string> c) {
        auto e = shell;
        e.push_back(std::move(c));
        return e;
    };
    return {
        {"the base card", {}, {}, push, push, loaded},
        {"a negative scale pulls towards the centre", {card({{"SCALE", "-0.5"}})}, {}, {-2, 0, 0}, {-2, 0, 0}, loaded},
        {"FACTOR is the scale", {card({{"FACTOR", "3"}})}, {}, {12, 0, 0}, {12, 0, 0}, loaded},
        {"SCALE is read before FACTOR", {card({{"SCALE", "2"}, {"FACTOR", "3"}})}, {}, {8, 0, 0}, {8, 0, 0}, loaded},
        // The evaluation at t = 0 loads, the one at t + dt = 0.0009765625 does not.
        {"a window shorter than the step loads at t only", {card({{"TIME_WINDOW", "0.0005"}})}, {}, push, zero,
         loaded},
        {"a window of t + dt loads at both ends", {card({{"WINDOW", "0.0009765625"}})}, {}, push, push, loaded},
        {"a target at the centre has no direction", {card({{"X", "1.0"}})}, {}, zero, zero, {1, 1, 1, 0, 1, 0}},
        {"TARGET_SET NONE keeps the region, switched off", {card({{"TARGET_SET", "NONE"}})}, {}, zero, zero, off, 1,
         false, false},
        {"ENABLED=NO switches the region off", {card({{"ENABLED", "NO"}})}, {}, zero, zero, off, 1, false, false},
        {"ACTIVE is ENABLED", {card({{"ACTIVE", "off"}})}, {}, zero, zero, off, 1, false, false},
        {"a target outside the sphere", {card({{"RADIUS", "0.5"}})}, {}, zero, zero, passed_by},
        // After the step x = 1 + dt (dt / 2) 4 > 1: outside at t + dt.
        {"a target on the sphere is inside, and leaves it in the step", {card({{"RADIUS", "1.0"}})}, {}, push, zero,
         loaded},
        {"TARGET=SOLID takes a solid", {card({{"TARGET", "SOLID"}})}, {}, push, push, loaded},
        {"TARGET=SHELL passes a solid by", {card({{"TARGET", "SHELL"}})}, {}, zero, zero, passed_by},
        {"TARGET=STRUCTURE takes a solid", {card({{"TARGET", "STRUCTURE"}})}, {}, push, push, loaded},
        {"TARGET=ALL takes a solid", {card({{"TARGET", "ALL"}})}, {}, push, push, loaded},
        {"TARGET=any takes a solid", {card({{"TARGET", "any"}})}, {}, push, push, loaded},
        {"TARGET=WATER passes a solid by", {card({{"TARGET", "WATER"}})}, {}, zero, zero, passed_by},
        // Sources: the gas (4) and the target (0), mean 2; pairs gas-target and target-itself.
        {"SOURCE=ALL makes the target a source too", {card({{"SOURCE", "ALL"}})}, {}, {2, 0, 0}, {2, 0, 0},
         {2, 1, 2, 1, 0, 0}},
        // The target alone is the source: pressure 0, a zero force, still stored.
        {"SOURCE=STRUCTURE makes the target its own source", {card({{"SOURCE", "STRUCTURE"}})}, {}, zero, zero,
         loaded},
        {"SOURCE=WATER finds no source", {card({{"SOURCE", "WATER"}})}, {}, zero, zero, {0, 1, 0, 0, 0, 0}},
        // At (0, 3, 4): distance 5, direction (0, 0.6, 0.8); the force does not fall with distance.
        {"a diagonal target five away",
         {{target_node_line, "2, 0.0, 3.0, 4.0"}, card({{"RADIUS", "6.0"}})},
         {},
         {0.0, 2.4, 3.2},
         {0.0, 2.4, 3.2},
         loaded,
         0,
         false,
         true,
         1e-14},
        // PULL at (2, 0, 0) sees the source 2 away and the target 1 away along -x: 2 * 4 * (-1, 0, 0).
        {"two regions on one target add",
         {},
         {"*QUORREL, BLAST REGION, NAME=PULL, X=2.0, RADIUS=2.5, SCALE=2.0, TARGET_SET=PLATE"},
         {-4, 0, 0},
         {-4, 0, 0},
         loaded},
        {"the aliases of the options",
         {card({{"TARGET_SET", "-"},
                {"SOURCE", "gas"},
                {"TARGET", "solid"},
                {"SET", "PLATE"},
                {"FACTOR", "2"},
                {"WINDOW", "1.0"},
                {"PROJECTION", "NORMAL"},
                {"ACTIVE", "yes"}})},
         {},
         {8, 0, 0},
         {8, 0, 0},
         loaded},
        {"NSET names the target set", {card({{"TARGET_SET", "-"}, {"NSET", "PLATE"}})}, {}, push, push, loaded},
        // EPLATE lists element 1 (node 2) and element 99, which does not exist.
        {"ELSET: the nodes of the set's elements", {card({{"TARGET_SET", "-"}, {"ELSET", "EPLATE"}})}, {}, push,
         push, loaded},
        {"PROJECTION=DIRECT loads radially too", {card({{"PROJECTION", "DIRECT"}})}, {}, push, push, loaded},
        {"MODE=normal loads radially too", {card({{"MODE", "normal"}})}, {}, push, push, loaded},
        // 4 times half the largest double overflows: the projection is skipped and counted.
        {"a pressure beyond the finite range", {card({{"SCALE", "8.988465674311579e307"}})}, {}, zero, zero,
         {1, 1, 1, 0, 0, 1}},
        {"a shell target fills the shell cache", shell, {}, push, push, loaded, 0, true},
        {"TARGET=SHELL takes a shell", with_shell(card({{"TARGET", "SHELL"}})), {}, push, push, loaded, 0, true},
        {"TARGET=STRUCTURE takes a shell", with_shell(card({{"TARGET", "STRUCTURE"}})), {}, push, push, loaded, 0,
         true},
        {"TARGET=SOLID passes a shell by", with_shell(card({{"TARGET", "SOLID"}})), {}, zero, zero, passed_by, 0,
         true},
    };
}

TEST_F(BlastLoad, OneSourceOneTarget) {
    for (const Variant& c : variants()) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(edited("blast_one.inp", c.edits, c.appended));
        if (HasFatalFailure()) return;
        const SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 2);
        EXPECT_EQ(d.particle_phase[1], c.shell ? sph_phase_shell : sph_phase_solid);
        EXPECT_EQ(warnings(), c.warnings);
        const Summary s = summary(1);
        const std::array<int32_t, 6> counts{s.c[c_source], s.c[c_target], s.c[c_pairs],
                                            s.c[c_loaded], s.c[c_zero],   s.c[c_nonfinite]};
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(sph_blast_load.blast_solid_external_force.empty(), !c.caches);

        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        // Mass 1: v = dt F at t; the gas source is not a target and stays at rest.
        const Vec3 v_expected{dt * c.force_t[0], dt * c.force_t[1], dt * c.force_t[2]};
        expect_near(vec(d.v, 1), v_expected, dt * c.tol, "target velocity");
        EXPECT_EQ(vec(d.v, 0), zero);

        const Vec3 solid_end = c.shell ? zero : c.force_end, shell_end = c.shell ? c.force_end : zero;
        expect_near(cached(sph_blast_load.blast_solid_external_force, 1), solid_end, c.tol, "solid cache");
        expect_near(cached(sph_blast_load.blast_shell_external_force, 1), shell_end, c.tol, "shell cache");
        const std::string path = csv();
        const std::array<double, 9> target = csv_blast_columns(path, 1), source = csv_blast_columns(path, 0);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(target[k], solid_end[k], c.tol) << "blast_solid_f " << k;
            EXPECT_NEAR(target[3 + k], shell_end[k], c.tol) << "blast_shell_f " << k;
            EXPECT_EQ(target[6 + k], 0.0) << "blast_shell_m " << k;
        }
        for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(source[k], 0.0) << "gas column " << 33 + k;
    }
}

TEST_F(BlastLoad, ForceIsPressureTimesVolumeToTwoThirds) {
    // The base deck with the source pressure and the target's volume and mass set by hand,
    // evaluated at t = 0 and added to the accelerations. The exponent is the double nearest
    // 2/3, so 8^(2/3) is 4 to within an ulp or two.
    struct Case {
        const char* what;
        double pressure, volume, mass;
        double fx;  // the stored force, along +x
        int32_t zero_weight, nonfinite;
        bool projected;    // the projection ran to its end (the pair count is copied)
        double max_accel;  // the largest acceleration of the region
        double added;      // the acceleration added along +x
        double tol;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"volume 8 under pressure 10", 10.0, 8.0, 1.0, 40.0, 0, 0, true, 40.0, 40.0, 1e-13},
        {"volume 1/8 under pressure 10, mass 4", 10.0, 0.125, 4.0, 2.5, 0, 0, true, 0.625, 0.625, 0.0},
        {"a negative pressure pulls", -10.0, 1.0, 0.5, -10.0, 0, 0, true, 20.0, -20.0, 0.0},
        // Stored, but no acceleration follows from a mass of 0.
        {"mass 0", 10.0, 1.0, 0.0, 10.0, 0, 0, true, 0.0, 0.0, 0.0},
        // F / m overflows: the diagnostic says so, and nothing is added.
        {"a mass of 1e-308", 10.0, 1.0, 1e-308, 10.0, 0, 0, true, inf, 0.0, 0.0},
        {"volume 0 has no area", 10.0, 0.0, 1.0, 0.0, 1, 0, false, 0.0, 0.0, 0.0},
        // (1e-19)^(2/3) = 2.2e-13, below the area floor of 1e-12.
        {"an area below 1e-12", 10.0, 1e-19, 1.0, 0.0, 1, 0, false, 0.0, 0.0, 0.0},
        {"a NaN pressure", nan, 1.0, 1.0, 0.0, 0, 1, false, 0.0, 0.0, 0.0},
        // 8e307 * 4 = 3.2e308: the pressure is finite, the force is not; the target is skipped.
        {"a force beyond the finite range", 8e307, 8.0, 1.0, 0.0, 0, 1, true, 0.0, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(decks + "/blast_one.inp");
        if (HasFatalFailure()) return;
        SphDatabase& d = sph_database;
        d.pressure[0] = c.pressure;
        d.volume[1] = c.volume;
        d.mass[1] = c.mass;
        ASSERT_EQ(sph_blast_load_compute_at(0.0), 0);
        expect_near(vec(sph_blast_load.blast_solid_external_force, 1), {c.fx, 0.0, 0.0}, c.tol, "force");
        const Summary s = summary(1);
        EXPECT_EQ(s.c[c_zero], c.zero_weight);
        EXPECT_EQ(s.c[c_nonfinite], c.nonfinite);
        const bool stored = c.zero_weight == 0 && c.nonfinite == 0;
        EXPECT_EQ(s.c[c_loaded], stored ? 1 : 0);
        EXPECT_EQ(s.c[c_load_pairs], c.projected ? 1 : 0);
        EXPECT_NEAR(s.v[v_max_force], std::fabs(c.fx), c.tol);
        near_or_equal(s.v[v_max_accel], c.max_accel, c.tol);
        const Vec3 a0 = vec(d.a, 1);
        ASSERT_EQ(sph_blast_load_apply_to_acceleration(), 0);
        expect_near(vec(d.a, 1), {a0[0] + c.added, a0[1], a0[2]}, c.tol, "acceleration");
        near_or_equal(summary(1).v[v_max_accel], c.max_accel, c.tol);
    }
}

// ---- Sources, target sets and phases ----

TEST_F(BlastLoad, WaterInTheSphereAddsItsMidrange) {
    // blast_water.inp: water at nodes 1-3 inside the sphere, node 4 outside, gas (4) at node 5,
    // the target (volume 1) at node 6 along +x; at rest the water pressure is P0 = 5.
    // P = (source mean + water midrange) * scale; the target's force is P along +x.
    struct Case {
        const char* what;
        std::string source;
        double scale;
        std::array<double, 4> water;  // pressures set by hand; empty: as the build left them
        bool by_hand;
        double expected;
    };
    const Case cases[] = {
        {"water at rest: P0 twice", "WATER", 1.0, {}, false, 10.0},
        // mean (1 + 2 + 6) / 3 = 3, midrange (1 + 6) / 2 = 3.5; node 4 (100) is outside.
        {"water of three pressures", "WATER", 2.0, {1.0, 2.0, 6.0, 100.0}, true, 13.0},
        {"a gas source beside water at rest", "GAS", 1.0, {}, false, 9.0},
        {"a gas source beside water of three pressures", "GAS", 2.0, {1.0, 2.0, 6.0, 100.0}, true, 15.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(edited("blast_water.inp", {{32, "*QUORREL, BLAST REGION, NAME=SPLASH, RADIUS=2.0, SOURCE=" + c.source +
                                                    ", SCALE=" + std::to_string(c.scale) + ", TARGET_SET=PLATE"}}));
        if (HasFatalFailure()) return;
        SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 6);
        if (c.by_hand) {
            for (std::size_t i = 0; i < 4; ++i) d.pressure[i] = c.water[i];
            ASSERT_EQ(sph_blast_load_compute_at(0.0), 0);
        }
        EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 5), (Vec3{c.expected, 0.0, 0.0}));
        const Summary s = summary(1);
        EXPECT_EQ(s.c[c_water], 3);
        EXPECT_EQ(s.c[c_gas], 1);
        EXPECT_EQ(s.v[v_gas_volume], 0.125);  // the gas in the sphere, whether a source or not
        EXPECT_EQ(s.v[v_water_min], c.by_hand ? 1.0 : 5.0);
        EXPECT_EQ(s.v[v_water_max], c.by_hand ? 6.0 : 5.0);
    }
}

TEST_F(BlastLoad, TargetSetsByNodeNumber) {
    // blast_sets.inp: the gas source at the origin, targets at nodes 11-15 along +x (indices
    // 1-5), each loaded with (4, 0, 0) when in the set. A name that is a node set and an
    // element set means the node set.
    struct Case {
        std::string set;
        std::vector<int32_t> loaded;  // node numbers
        int32_t skipped_targets;
    };
    const Case cases[] = {
        {"ROW", {11, 12, 13, 14, 15}, 0},
        // Elements 2 (node 14) and 1 (nodes 11, 12); element 77 does not exist.
        {"EHIT", {11, 12, 14}, 2},
        {"BOTH", {13}, 4},
        {"bOtH", {13}, 4},
        // Element 3 holds the gas node 1 as well: in the set, in the sphere, not a target.
        {"EMIX", {15}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        SetUp();
        const std::string line = "*QUORREL, BLAST REGION, NAME=SETS, RADIUS=10.0, TARGET_SET=" + c.set;
        inspect(edited("blast_sets.inp", {{38, line}}));
        if (HasFatalFailure()) return;
        const SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 6);
        for (std::size_t i = 0; i < 6; ++i) {
            const int32_t node = d.particle_id_ext[i];
            bool in = false;
            for (int32_t n : c.loaded) in = in || n == node;
            SCOPED_TRACE("node " + std::to_string(node));
            EXPECT_EQ(sph_blast_target_accepts(0, static_cast<int>(i)), in);
            EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, i), in ? (Vec3{4.0, 0.0, 0.0}) : zero);
        }
        const Summary s = summary(1);
        EXPECT_EQ(s.c[c_target], static_cast<int32_t>(c.loaded.size()));
        EXPECT_EQ(s.c[c_loaded], static_cast<int32_t>(c.loaded.size()));
        EXPECT_EQ(s.c[c_skip_target], c.skipped_targets);
        EXPECT_EQ(s.at(v_total), (Vec3{4.0 * static_cast<double>(c.loaded.size()), 0.0, 0.0}));
    }
}

TEST_F(BlastLoad, StatusAndPhaseOfEachParticleDecideItsPart) {
    // blast_one.inp with the gas source's or the target's status or phase changed by hand,
    // evaluated again at t = 0. Only active particles are sources, targets or counted in
    // the sphere; ALL takes failed solids and boundary particles, which take no force.
    struct Case {
        const char* what;
        std::string target_selector;
        int32_t gas_status, target_status, target_phase;
        std::array<int32_t, 6> counts;  // sources, targets, skipped sources, skipped targets, gas, loaded
        double max_force;
    };
    const Case cases[] = {
        {"an inactive target", "STRUCTURE", 0, sph_status_inactive, sph_phase_solid, {1, 0, 0, 1, 1, 0}, 0.0},
        {"a failed-status target", "STRUCTURE", 0, sph_status_failed, sph_phase_solid, {1, 0, 0, 1, 1, 0}, 0.0},
        {"an inactive source", "STRUCTURE", sph_status_inactive, 0, sph_phase_solid, {0, 1, 2, 0, 0, 0}, 0.0},
        // Phase 8, failed solid: not a STRUCTURE, but active in the sphere and in the set.
        {"a failed solid under STRUCTURE", "STRUCTURE", 0, 0, sph_phase_solid_failed, {1, 0, 1, 1, 1, 0}, 0.0},
        // ALL matches the gas source too, which is not in the set: a skipped target.
        {"a failed solid under ALL", "ALL", 0, 0, sph_phase_solid_failed, {1, 1, 1, 1, 1, 0}, 4.0},
        {"a boundary particle under ALL", "ALL", 0, 0, sph_phase_boundary, {1, 1, 1, 1, 1, 0}, 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        inspect(edited("blast_one.inp", {card({{"TARGET", c.target_selector}})}));
        if (HasFatalFailure()) return;
        SphDatabase& d = sph_database;
        d.particle_status[0] = c.gas_status;
        d.particle_status[1] = c.target_status;
        d.particle_phase[1] = c.target_phase;
        ASSERT_EQ(sph_blast_load_compute_at(0.0), 0);
        const Summary s = summary(1);
        const std::array<int32_t, 6> counts{s.c[c_source],      s.c[c_target], s.c[c_skip_source],
                                            s.c[c_skip_target], s.c[c_gas],    s.c[c_loaded]};
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(s.v[v_max_force], c.max_force);
        EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), zero);
        EXPECT_EQ(vec(sph_blast_load.blast_shell_external_force, 1), zero);
    }
}

TEST_F(BlastLoad, GasTargetIsCountedButTakesNoForce) {
    // The gas source at (-1, 0, 0) with volume 8 (area ~4) and the solid at (1, 0, 0) both in
    // the target set of an ALL region: the gas's force of ~16 along -x is computed, not stored.
    const std::string path = edited("blast_one.inp",
                                    {{4, "1, -1.0, 0.0, 0.0"},
                                     {22, "*QUORREL, PARTICLE CONTROL, H=0.5, MASS=0.25, VOLUME=8.0"},
                                     {card_line, "** the region follows its set"}},
                                    {"*NSET, NSET=HIT", "1, 2",
                                     region_card({{"TARGET_SET", "HIT"}, {"TARGET", "ALL"}})});
    inspect(path);
    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.particle_phase[0], sph_phase_gas);
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 0), zero);
    EXPECT_EQ(vec(sph_blast_load.blast_shell_external_force, 0), zero);
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), (Vec3{4.0, 0.0, 0.0}));
    const Summary s = summary(1);
    EXPECT_EQ(s.c[c_target], 2);
    EXPECT_EQ(s.c[c_pairs], 2);  // the gas with itself, and with the solid 2 away
    EXPECT_EQ(s.c[c_loaded], 1);
    EXPECT_EQ(s.at(v_total), (Vec3{4.0, 0.0, 0.0}));
    EXPECT_NEAR(s.v[v_max_force], 16.0, 1e-13);
    EXPECT_EQ(s.v[v_max_accel], 4.0);  // only a stored force counts: the solid's, mass 1
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    EXPECT_EQ(vec(d.v, 0), zero);
}

TEST_F(BlastLoad, ConstantLoadOverThreeSteps) {
    // Mass 2 under a constant (4, 0, 0): a = 2, v = 3 dt a, and the drift of the three steps
    // sums the half-step velocities dt, 3 dt and 5 dt: x = 1 + 9 dt^2.
    inspect(decks + "/blast_one.inp");
    SphDatabase& d = sph_database;
    d.mass[1] = 2.0;
    for (int step = 0; step < 3; ++step) ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    EXPECT_EQ(vec(d.v, 1), (Vec3{6.0 * dt, 0.0, 0.0}));
    EXPECT_EQ(vec(d.x, 1), (Vec3{1.0 + 9.0 * dt * dt, 0.0, 0.0}));
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), (Vec3{4.0, 0.0, 0.0}));
    EXPECT_EQ(summary(1).v[v_max_accel], 2.0);
}

TEST_F(BlastLoad, AddedAccelerationRaisesTheLargestOfEveryRegionTakingTheTarget) {
    // MORE pushes the target like PUSH does, 4 along +x each: each region stores |F| / m = 4,
    // and the acceleration added is 8, which both take as their largest. FAR does not reach
    // the target (radius 0.5) and keeps 0.
    inspect(edited("blast_one.inp", {},
                   {region_card({{"NAME", "MORE"}}), region_card({{"NAME", "FAR"}, {"RADIUS", "0.5"}})}));
    const SphDatabase& d = sph_database;
    ASSERT_EQ(sph_blast_load_compute_at(0.0), 0);
    for (int32_t r : {1, 2}) EXPECT_EQ(summary(r).v[v_max_accel], 4.0) << r;
    const Vec3 a0 = vec(d.a, 1);
    ASSERT_EQ(sph_blast_load_apply_to_acceleration(), 0);
    EXPECT_EQ(vec(d.a, 1), (Vec3{a0[0] + 8.0, a0[1], a0[2]}));
    EXPECT_EQ(vec(d.a, 0), zero);
    for (int32_t r : {1, 2}) EXPECT_EQ(summary(r).v[v_max_accel], 8.0) << r;
    EXPECT_EQ(summary(3).v[v_max_accel], 0.0);
    EXPECT_EQ(summary(3).c[c_source], 1);
}

TEST_F(BlastLoad, ABuildReadsTheTargetSetsAfresh) {
    // blast_sets.inp with the node set BOTH (node 13) as target set; node 14 joins the set
    // after the first build, and the second build loads it too.
    inspect(edited("blast_sets.inp", {{38, "*QUORREL, BLAST REGION, NAME=SETS, RADIUS=10.0, TARGET_SET=BOTH"}}));
    EXPECT_EQ(summary(1).c[c_loaded], 1);
    const int32_t node = 14;
    ASSERT_EQ(sph_db_add_nset("BOTH", 1, &node), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(summary(1).c[c_loaded], 2);
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 4), (Vec3{4.0, 0.0, 0.0}));  // node 14
}

// ---- Balance ----

TEST_F(BlastLoad, LatticeForcesCancel) {
    // blast_lattice.inp: the source (pressure 4) at the centre of a 3 x 3 x 3 lattice, its 26
    // neighbours targets of volume 1: each gets magnitude 4 along its radius, and the forces
    // of opposite neighbours cancel.
    inspect(decks + "/blast_lattice.inp");
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 27);
    Vec3 sum = zero;
    for (std::size_t i = 0; i < 27; ++i) {
        if (i == 13) continue;  // the source at the centre
        SCOPED_TRACE("node " + std::to_string(d.particle_id_ext[i]));
        const Vec3 f = vec(sph_blast_load.blast_solid_external_force, i), x = vec(d.x, i);
        const double r = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(f[k], 4.0 * x[k] / r, 1e-14);
            sum[k] += f[k];
        }
    }
    expect_near(sum, zero, 1e-12, "sum of the forces");
    const Summary s = summary(1);
    EXPECT_EQ(s.c[c_loaded], 26);
    EXPECT_EQ(s.c[c_pairs], 26);
    expect_near(s.at(v_total), zero, 1e-12, "region total");
    EXPECT_NEAR(s.v[v_max_force], 4.0, 1e-14);
}

TEST_F(BlastLoad, MomentumOfEachTargetGrowsByDtTimesItsForce) {
    // The lattice with masses, volumes and velocities of its own per target, and a second
    // region pulling from (0, 0, 1): over one step each target's momentum grows by dt times
    // its force at t, F = sum over its regions of P_r V^(2/3) (x - c_r) / |x - c_r|.
    const std::string path =
        edited("blast_lattice.inp", {},
               {"*QUORREL, BLAST REGION, NAME=TOP, X=0.0, Y=0.0, Z=1.0, RADIUS=1.5, SCALE=-0.5, TARGET_SET=RING"});
    inspect(path);
    SphDatabase& d = sph_database;
    const std::size_t n = 27;
    std::vector<double> v0(3 * n);
    const double volumes[3] = {0.125, 1.0, 8.0};
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 13) continue;
        d.mass[i] = 0.5 + 0.25 * static_cast<double>(i);
        d.volume[i] = volumes[i % 3];
        for (std::size_t k = 0; k < 3; ++k)
            d.v[3 * i + k] = v0[3 * i + k] = 0.01 * static_cast<double>(i) - 0.1 * static_cast<double>(k);
    }
    struct Region {
        Vec3 c;
        double radius, pressure;
    };
    const Region regions[2] = {{{0, 0, 0}, 2.0, 4.0}, {{0, 0, 1}, 1.5, -2.0}};  // TOP: the source is 1 away
    std::vector<Vec3> force(n, zero);
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 13) continue;
        const Vec3 x = vec(d.x, i);
        const double area = std::cbrt(d.volume[i]) * std::cbrt(d.volume[i]);
        for (const Region& r : regions) {
            const Vec3 dx{x[0] - r.c[0], x[1] - r.c[1], x[2] - r.c[2]};
            const double len = std::sqrt(dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2]);
            if (len > r.radius || len == 0.0) continue;
            for (std::size_t k = 0; k < 3; ++k) force[i][k] += r.pressure * area * dx[k] / len;
        }
    }
    // The node at TOP's centre, (0, 0, 1), has no direction from it (the build's evaluation).
    EXPECT_EQ(summary(2).c[c_zero], 1);
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 13) continue;
        SCOPED_TRACE("node " + std::to_string(d.particle_id_ext[i]));
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_NEAR(d.mass[i] * (d.v[3 * i + k] - v0[3 * i + k]), dt * force[i][k], 1e-12 * dt);
    }
}

// ---- Switching the load off, and a second deck ----

TEST_F(BlastLoad, DisabledLoadKeepsTheSnapshotOnly) {
    inspect(decks + "/blast_one.inp");
    SphDatabase& d = sph_database;
    sph_blast_load_set_enabled(false);
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    EXPECT_EQ(vec(d.v, 1), zero);
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), zero);
    Summary s = summary(1);
    EXPECT_EQ(s.c[c_source], 1);
    EXPECT_EQ(s.c[c_target], 1);
    EXPECT_EQ(s.c[c_pairs], 1);
    EXPECT_EQ(s.v[v_pressure], 4.0);
    for (int k : {c_loaded, c_load_pairs, c_zero, c_nonfinite}) EXPECT_EQ(s.c[static_cast<std::size_t>(k)], 0) << k;
    for (std::size_t k = v_solid; k < sph_blast_summary_value_size; ++k) EXPECT_EQ(s.v[k], 0.0) << k;

    // The snapshot follows the particles: the target moved out of the sphere by hand.
    d.x[3] = 5.0;
    ASSERT_EQ(sph_blast_load_compute_at(0.0), 0);
    s = summary(1);
    EXPECT_EQ(s.c[c_target], 0);
    EXPECT_EQ(s.c[c_skip_target], 1);

    // Switched on again, the next step loads.
    d.x[3] = 1.0;
    sph_blast_load_set_enabled(true);
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    EXPECT_EQ(vec(d.v, 1), (Vec3{4.0 * dt, 0.0, 0.0}));
    EXPECT_EQ(summary(1).c[c_loaded], 1);
}

TEST_F(BlastLoad, MembershipFollowsASecondDeck) {
    inspect(decks + "/blast_one.inp");
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), (Vec3{4.0, 0.0, 0.0}));
    // The same two particles in the other order and with other numbers: the target is node 5
    // at (0, 1, 0), index 0; the gas is node 6, index 1.
    inspect(edited("blast_one.inp", {{4, "5, 0.0, 1.0, 0.0"},
                                     {5, "6, 0.0, 0.0, 0.0"},
                                     {7, "1, 5"},
                                     {9, "6"},
                                     {11, "5"}}));
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.particle_phase[0], sph_phase_solid);
    EXPECT_TRUE(sph_blast_particle_in_target_set(0, 0));
    EXPECT_FALSE(sph_blast_particle_in_target_set(0, 1));
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 0), (Vec3{0.0, 4.0, 0.0}));
    EXPECT_EQ(vec(sph_blast_load.blast_solid_external_force, 1), zero);
    EXPECT_EQ(summary(1).c[c_loaded], 1);
}

}  // namespace
