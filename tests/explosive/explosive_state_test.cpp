// The explosive state: the control and ignition setters' range checks, the build's
// initial conditions, and the life of the per-particle arrays.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_helpers.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "output/sph_output.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const double big = std::numeric_limits<double>::max();

// Two TNT particles and one FUMES particle in the store, TNT and FUMES noted, the FUMES
// EOS set: what the control and ignition cards need before they are read.
void tnt_and_fumes() {
    ASSERT_EQ(sph_db_allocate(3), 0);
    for (int32_t i = 0; i < 3; ++i) {
        const double x[3] = {static_cast<double>(i), 0.0, 0.0};
        ASSERT_EQ(sph_db_set_node(i, i + 1, x), 0);
    }
    ASSERT_EQ(sph_db_add_material("TNT", "EXPLOSIVE"), 0);
    ASSERT_EQ(sph_db_set_material_density("TNT", 1.6), 0);
    ASSERT_EQ(sph_db_add_material("FUMES", "GAS"), 0);
    ASSERT_EQ(sph_db_set_material_density("FUMES", 0.8), 0);
    for (const char* m : {"TNT", "FUMES"}) {
        const char* type = m[0] == 'T' ? "EXPLOSIVE" : "GAS";
        sph_gas_note_material(m, type);
        sph_explosive_note_material(m, type);
    }
    ASSERT_EQ(sph_gas_set_ideal("FUMES", 1.4, 0.5, 0.0), 0);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < 2; ++i) {
        d.material_id[i] = 1;
        d.particle_phase[i] = sph_phase_explosive;
    }
    d.material_id[2] = 2;
    d.particle_phase[2] = sph_phase_gas;
}

int control(double velocity, double energy, double burn) {
    return sph_explosive_set_control("TNT", "PROGRAMMED_BURN", velocity, energy, burn, "FUMES", "PHASE");
}

int ignition(double x, double y, double z, double time) {
    const double p[3] = {x, y, z};
    return sph_explosive_set_ignition("TNT", p, time);
}

class ExplosiveState : public test::DeckTest {};

TEST_F(ExplosiveState, SettersRefuseOutOfRangeAndNonFiniteValuesAndStoreNothing) {
    const std::string velocity = "Explosive detonation velocity must be positive";
    const std::string energy = "Explosive energy must be non-negative";
    const std::string burn = "Explosive burn time must be non-negative";
    const std::string time = "Explosive ignition time must be non-negative";
    const std::string coordinate = "Explosive ignition coordinate is not finite";
    struct Case {
        std::string what;
        std::function<int()> call;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"velocity 0", [] { return control(0.0, 1.0, 0.1); }, velocity},
        {"velocity negative", [] { return control(-2.0, 1.0, 0.1); }, velocity},
        {"velocity NaN", [] { return control(nan, 1.0, 0.1); }, velocity},
        {"velocity +inf", [] { return control(inf, 1.0, 0.1); }, velocity},
        {"velocity -inf", [] { return control(-inf, 1.0, 0.1); }, velocity},
        {"velocity tiny", [] { return control(1e-300, 1.0, 0.1); }, ""},
        {"energy negative", [] { return control(1.0, -1e-12, 0.1); }, energy},
        {"energy NaN", [] { return control(1.0, nan, 0.1); }, energy},
        {"energy +inf", [] { return control(1.0, inf, 0.1); }, energy},
        {"energy 0", [] { return control(1.0, 0.0, 0.1); }, ""},
        {"burn negative", [] { return control(1.0, 1.0, -1e-9); }, burn},
        {"burn NaN", [] { return control(1.0, 1.0, nan); }, burn},
        {"burn +inf", [] { return control(1.0, 1.0, inf); }, burn},
        {"burn 0", [] { return control(1.0, 1.0, 0.0); }, ""},
        // The first failing check decides.
        {"velocity 0 and energy NaN", [] { return control(0.0, nan, 0.1); }, velocity},
        {"energy NaN and burn NaN", [] { return control(1.0, nan, nan); }, energy},
        {"time negative", [] { return ignition(0.0, 0.0, 0.0, -1e-9); }, time},
        {"time NaN", [] { return ignition(0.0, 0.0, 0.0, nan); }, time},
        {"time +inf", [] { return ignition(0.0, 0.0, 0.0, inf); }, time},
        {"time 0", [] { return ignition(0.0, 0.0, 0.0, 0.0); }, ""},
        {"x NaN", [] { return ignition(nan, 0.0, 0.0, 0.0); }, coordinate},
        {"y +inf", [] { return ignition(0.0, inf, 0.0, 0.0); }, coordinate},
        {"z -inf", [] { return ignition(0.0, 0.0, -inf, 0.0); }, coordinate},
        {"z the largest double", [] { return ignition(0.0, 0.0, big, 0.0); }, coordinate},
        {"x minus the largest double", [] { return ignition(-big, 0.0, 0.0, 0.0); }, coordinate},
        {"coordinates large but finite", [] { return ignition(-1e300, 1e300, 0.0, 0.0); }, ""},
        {"time NaN and x NaN", [] { return ignition(nan, 0.0, 0.0, nan); }, time},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(tnt_and_fumes());
        const SphExplosiveState& s = sph_explosive_state;
        ASSERT_EQ(s.explosive_material_count, 1);
        const int st = c.call();
        if (c.message.empty()) {
            EXPECT_EQ(st, 0) << sph_error_message();
            EXPECT_TRUE(s.explosive_materials[0].explosive_control_defined || s.explosive_ignition_count == 1);
            continue;
        }
        EXPECT_EQ(st, sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), c.message);
        EXPECT_FALSE(s.explosive_materials[0].explosive_control_defined);
        EXPECT_EQ(s.explosive_materials[0].explosive_detonation_velocity, 0.0);
        EXPECT_EQ(s.explosive_materials[0].explosive_conversion_mode, explosive_conversion_none);
        EXPECT_EQ(s.explosive_ignition_count, 0);
    }
}

TEST_F(ExplosiveState, BuildSetsDensityVolumeAndTheInitialMass) {
    // TNT density 1.6. A mass of 0 (or less) becomes 1; a positive one stays.
    struct Case {
        const char* what;
        double mass, expected;
    };
    const Case cases[] = {
        {"mass 0", 0.0, 1.0},
        {"mass negative", -3.0, 1.0},
        {"mass 2", 2.0, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(tnt_and_fumes());
        SphDatabase& d = sph_database;
        d.mass[0] = c.mass;
        d.rho[0] = 7.0;  // whatever the store held
        d.internal_energy[0] = 3.0;
        ASSERT_EQ(control(1.0, 1.0, 0.1), 0) << sph_error_message();
        ASSERT_EQ(ignition(0.0, 0.0, 0.0, 0.0), 0) << sph_error_message();
        ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
        EXPECT_EQ(d.mass[0], c.expected);
        EXPECT_EQ(d.rho[0], 1.6);
        EXPECT_EQ(d.volume[0], c.expected / 1.6);
        EXPECT_EQ(d.internal_energy[0], 3.0);  // left as it was
        const SphExplosiveState& s = sph_explosive_state;
        EXPECT_EQ(s.explosive_initial_mass[0], c.expected);
        EXPECT_EQ(s.explosive_remaining_mass[0], c.expected);
        EXPECT_EQ(s.explosive_initial_material_id[0], 1);
        double mass_values[4], energy_values[2], momentum_values[3];
        ASSERT_EQ(sph_explosive_get_release_balance(mass_values, energy_values, momentum_values), 0);
        EXPECT_EQ(mass_values[0], c.expected + 1.0);  // with the other TNT particle
        // The gas particle is no explosive particle: nothing of it is set.
        EXPECT_EQ(s.explosive_ignition_status[2], 0);
        EXPECT_EQ(s.explosive_initial_mass[2], 0.0);
    }
}

TEST_F(ExplosiveState, AnExplosiveParticleOfAMaterialWithoutControlStopsTheBuild) {
    // The FUMES particle put in the explosive phase: FUMES has no slot in the table.
    ASSERT_NO_FATAL_FAILURE(tnt_and_fumes());
    sph_database.particle_phase[2] = sph_phase_explosive;
    ASSERT_EQ(control(1.0, 1.0, 0.1), 0) << sph_error_message();
    ASSERT_EQ(ignition(0.0, 0.0, 0.0, 0.0), 0) << sph_error_message();
    EXPECT_EQ(sph_explosive_build(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "Explosive particle material has no control");
    // The particles before it have their detonation times.
    EXPECT_EQ(sph_explosive_state.explosive_ignition_status[0], 1);
    EXPECT_EQ(sph_explosive_state.explosive_detonation_time[1], 1.0);
}

// ---- The per-particle arrays ----

// explosive_one.inp read, built and burnt to the conversion (t = 0.75).
void burnt_one_particle_deck() {
    ASSERT_EQ(sph_input_read(decks + "/explosive_one.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    ASSERT_EQ(sph_explosive_advance(0.75, 0.75), 0) << sph_error_message();
    ASSERT_EQ(sph_explosive_state.explosive_reaction_progress.size(), 1u);
    ASSERT_EQ(sph_explosive_state.explosive_reaction_progress[0], 1.0);
    ASSERT_TRUE(sph_explosive_is_tracked_particle(0));
}

void expect_no_arrays() {
    const SphExplosiveState& s = sph_explosive_state;
    for (const auto* v : {&s.explosive_detonation_time, &s.explosive_reaction_progress, &s.explosive_initial_mass,
                          &s.explosive_remaining_mass, &s.explosive_released_mass, &s.explosive_released_energy,
                          &s.explosive_released_momentum}) {
        EXPECT_TRUE(v->empty());
        EXPECT_EQ(v->capacity(), 0u);
    }
    for (const auto* v : {&s.explosive_ignition_status, &s.explosive_initial_material_id}) {
        EXPECT_TRUE(v->empty());
        EXPECT_EQ(v->capacity(), 0u);
    }
}

TEST_F(ExplosiveState, InitialiseAndANewDeckFreeTheParticleArrays) {
    struct Case {
        const char* what;
        std::function<void()> next;
    };
    const Case cases[] = {
        {"initialise", [] { sph_explosive_initialize(); }},
        {"reset", [] { sph_explosive_reset(); }},
        {"a water deck read", [] { ASSERT_EQ(sph_input_read(decks + "/input_water.inp"), 0); }},
        {"the same deck read again", [] { ASSERT_EQ(sph_input_read(decks + "/explosive_one.inp"), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(burnt_one_particle_deck());
        ASSERT_NO_FATAL_FAILURE(c.next());
        expect_no_arrays();
        EXPECT_FALSE(sph_explosive_is_tracked_particle(0));
        EXPECT_EQ(sph_explosive_state.explosive_converted_count, 0);
    }
    // Built again, the deck starts from its own build, not the earlier burn.
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_explosive_state.explosive_reaction_progress[0], 0.0);
    EXPECT_EQ(sph_database.particle_phase[0], sph_phase_explosive);
}

TEST_F(ExplosiveState, ArraysOfAnotherLengthReadAsAbsent) {
    struct Case {
        const char* what;
        std::function<void()> change;
        int32_t npart;
    };
    const Case cases[] = {
        {"the store reallocated for 4 particles", [] { ASSERT_EQ(sph_db_allocate(4), 0); }, 4},
        {"one array one entry short", [] { sph_explosive_state.explosive_released_energy.resize(0); }, 1},
        {"the momentum array sized 1 per particle",
         [] { sph_explosive_state.explosive_released_momentum.resize(1); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(burnt_one_particle_deck());
        ASSERT_NO_FATAL_FAILURE(c.change());
        ASSERT_EQ(sph_database.npart, c.npart);
        EXPECT_FALSE(sph_explosive_state_present());
        EXPECT_FALSE(sph_explosive_is_tracked_particle(0));
        int32_t count = -1, reacted = -1;
        double lambda_range[3], totals[5], detonation_range[2];
        ASSERT_EQ(sph_explosive_get_summary(count, reacted, lambda_range, totals, detonation_range), 0);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(reacted, 0);
        EXPECT_EQ(lambda_range[1], 0.0);
        EXPECT_EQ(totals[0], 0.0);
        EXPECT_EQ(detonation_range[1], 0.0);
        double mass_values[4], energy_values[2], momentum_values[3];
        ASSERT_EQ(sph_explosive_get_release_balance(mass_values, energy_values, momentum_values), 0);
        for (double v : mass_values) EXPECT_EQ(v, 0.0);
        for (double v : energy_values) EXPECT_EQ(v, 0.0);
        double time_min = -1.0, time_max = -1.0;
        ASSERT_EQ(sph_explosive_get_detonation_time_range(time_min, time_max), 0);
        EXPECT_EQ(time_max, 0.0);
    }
}

TEST_F(ExplosiveState, TheParticleCsvShowsZeroForArraysOfAnotherLength) {
    const std::string path = (dir_ / "particles.csv").string();
    auto explosive_columns = [&](std::size_t line) {
        EXPECT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
        const std::vector<std::string> lines = test::read_lines(path);
        std::vector<std::string> fields;
        std::string rest = lines.at(line);
        for (std::size_t at = 0, comma = 0; comma != std::string::npos; at = comma + 1) {
            comma = rest.find(',', at);
            fields.push_back(rest.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        }
        return std::vector<std::string>(fields.begin() + 15, fields.begin() + 21);
    };
    const std::string zero = "  0.0000000000000000E+00", one = "  1.0000000000000000E+00";
    // After the burn the particle carries its detonation time 0.5, lambda 1, initial mass 1,
    // remaining 0, released 1 and energy 5.
    ASSERT_NO_FATAL_FAILURE(burnt_one_particle_deck());
    EXPECT_EQ(explosive_columns(1), (std::vector<std::string>{"  5.0000000000000000E-01", one, one, zero, one,
                                                              "  5.0000000000000000E+00"}));
    // The store reallocated for two particles: the arrays, of one entry, are stale.
    ASSERT_EQ(sph_db_allocate(2), 0);
    for (std::size_t line : {1u, 2u}) EXPECT_EQ(explosive_columns(line), std::vector<std::string>(6, zero));
    // Stale arrays longer than the model are no more its own: 19 built, 2 in the store.
    ASSERT_EQ(sph_input_read(decks + "/explosive_lattice.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_NE(explosive_columns(2)[0], zero);  // node 2 has a detonation time
    ASSERT_EQ(sph_db_allocate(2), 0);
    for (std::size_t line : {1u, 2u}) EXPECT_EQ(explosive_columns(line), std::vector<std::string>(6, zero));
}

TEST_F(ExplosiveState, TheDefaultIgnitionPointRecomputesFromTheReferencePositions) {
    // TNT at x0 = 0 and 1 (D 1, burn 1) ignited at the origin at t 0: detonation at 0 and 1.
    ASSERT_NO_FATAL_FAILURE(tnt_and_fumes());
    ASSERT_EQ(control(1.0, 2.0, 1.0), 0) << sph_error_message();
    ASSERT_EQ(ignition(0.0, 0.0, 0.0, 0.0), 0) << sph_error_message();
    ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
    ASSERT_EQ(sph_explosive_advance(0.5, 0.5), 0) << sph_error_message();
    const SphExplosiveState& s = sph_explosive_state;
    ASSERT_EQ(s.explosive_reaction_progress[0], 0.5);
    // The second particle has moved on to x = 3; the detonation times keep to x0.
    sph_database.x[3] = 3.0;
    // A point at 1.25 at t 0.1: the second particle's 0.1 + 0.25 replaces its 1; the
    // first particle's 0.1 + 1.25 comes later than its 0 and does not.
    const double point[3] = {1.25, 0.0, 0.0};
    ASSERT_EQ(sph_explosive_set_default_ignition_point(point, 0.1), 0) << sph_error_message();
    EXPECT_EQ(s.explosive_ignition_count, 2);
    EXPECT_EQ(s.explosive_detonation_time[0], 0.0);
    EXPECT_NEAR(s.explosive_detonation_time[1], 0.35, 1e-15);
    EXPECT_EQ(s.explosive_reaction_progress[0], 0.5);  // progress made stays
    double time_min = -1.0, time_max = -1.0;
    ASSERT_EQ(sph_explosive_get_detonation_time_range(time_min, time_max), 0);
    EXPECT_EQ(time_min, 0.0);
    EXPECT_NEAR(time_max, 0.35, 1e-15);
    // The ignition card's checks apply.
    const double bad[3] = {0.0, nan, 0.0};
    EXPECT_EQ(sph_explosive_set_default_ignition_point(bad, 0.1), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Explosive ignition coordinate is not finite");
    EXPECT_EQ(s.explosive_ignition_count, 2);
    // Without an explosive material there is nothing to ignite.
    sph_explosive_initialize();
    EXPECT_EQ(sph_explosive_set_default_ignition_point(point, 0.1), sph_error_input);
    EXPECT_EQ(sph_error_message(), "no Explosive material is available");
}

}  // namespace
