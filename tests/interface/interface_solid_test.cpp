// The solid queries through the C functions and the Fortran-callable entry points:
// guards and what they zero, the model's refusals of small buffers, the C layer's own
// rejections, and every slot of the summary, the diagnostics, the reference quality and
// the particle state table over small decks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "interface/sph_api.h"
#include "quorrel.h"
#include "quorrel_interface_test.h"
#include "solid/sph_solid_state.h"

namespace {

using namespace quorrel;

std::string deck_path(const char* name) { return std::string(QUORREL_TEST_DECKS) + "/" + name; }

// Four solids on a right tetrahedron of edge 0.5 and a water particle, third of five.
const std::string block_deck = deck_path("app_solid_block.inp");
// Three solids out of each other's reach, under a body force (0, 0, -16).
const std::string apart_deck = deck_path("app_solid_apart.inp");
// Four solids on a unit square: three neighbours each, all in one plane.
const std::string sheet_deck = deck_path("app_solid_sheet.inp");
// Two solids one unit apart: one neighbour each.
const std::string fall_deck = deck_path("app_solid_fall.inp");
// Water with a solid material that no section binds: solid state, no solid particle.
const std::string unbound_deck = deck_path("app_solid_unbound.inp");
// Water only: no solid state at all.
const std::string water_deck = deck_path("app_water.inp");

constexpr int rows = 22;
constexpr double untouched = -7.0;

using test::LastError;
using test::last_error;

class SolidInterface : public test::InterfaceTest {};

// What one solid query left in its outputs, all of which start at `untouched`: room for
// the five particles of the block deck.
constexpr int room = 5;
struct Outputs {
    int ints[4] = {-7, -7, -7, -7};
    double reals[17];
    std::vector<double> table = std::vector<double>(rows * room, untouched);
    std::vector<int> columns = std::vector<int>(4 * room, -7);
    Outputs() { std::fill(std::begin(reals), std::end(reals), untouched); }
};

struct GuardCase {
    const char* name;
    int (*call)(Outputs& o);
    // True when the outputs are as the guard must leave them.
    bool (*left)(const Outputs& o);
};

bool all_are(const double* v, int n, double value) {
    return std::all_of(v, v + n, [&](double x) { return x == value; });
}

const GuardCase guard_cases[] = {
    // The C summary: the counts come straight from the entry (zeroed), the packed values
    // only on success (untouched).
    {"C summary", [](Outputs& o) { return quorrel_get_solid_summary(&o.ints[0], &o.ints[1], o.reals, 16); },
     [](const Outputs& o) { return o.ints[0] == 0 && o.ints[1] == 0 && all_are(o.reals, 17, untouched); }},
    // The entry: every output zeroed, in its own slot.
    {"entry summary",
     [](Outputs& o) {
         double* r = o.reals;
         int32_t ierr = -1;
         sphft_get_solid_summary_(&o.ints[0], &o.ints[1], &r[0], &r[1], &r[4], &r[6], &r[7], &r[9], &r[11], &r[13],
                                  &ierr);
         return ierr;
     },
     [](const Outputs& o) {
         return o.ints[0] == 0 && o.ints[1] == 0 && all_are(o.reals, 16, 0.0) && o.reals[16] == untouched;
     }},
    {"entry counts",
     [](Outputs& o) {
         int32_t ierr = -1;
         sphft_get_solid_counts_(&o.ints[0], &o.ints[1], &ierr);
         return ierr;
     },
     [](const Outputs& o) { return o.ints[0] == 0 && o.ints[1] == 0; }},
    // The state table: only the count.
    {"C particle state",
     [](Outputs& o) {
         int* c = o.columns.data();
         return quorrel_get_solid_particle_state(room, o.table.data(), rows * room, c, c + room, c + 2 * room,
                                                 c + 3 * room, &o.ints[0]);
     },
     [](const Outputs& o) {
         return o.ints[0] == 0 && all_are(o.table.data(), rows * room, untouched) &&
                std::all_of(o.columns.begin(), o.columns.end(), [](int v) { return v == -7; });
     }},
    {"entry particle state",
     [](Outputs& o) {
         int* c = o.columns.data();
         const int32_t max_particles = room, capacity = rows;
         int32_t ierr = -1;
         sphft_get_solid_state_(&max_particles, &capacity, o.table.data(), c, c + room, c + 2 * room, c + 3 * room,
                                &o.ints[0], &ierr);
         return ierr;
     },
     [](const Outputs& o) { return o.ints[0] == 0 && all_are(o.table.data(), rows * room, untouched); }},
    // Diagnostics: nothing.
    {"C diagnostics", [](Outputs& o) { return quorrel_get_solid_diagnostics(o.reals, 17); },
     [](const Outputs& o) { return all_are(o.reals, 17, untouched); }},
    // Reference quality: everything, the determinant in values[0].
    {"C reference quality",
     [](Outputs& o) { return quorrel_get_solid_reference_quality(&o.ints[0], &o.ints[1], o.reals, 17); },
     [](const Outputs& o) {
         return o.ints[0] == 0 && o.ints[1] == 0 && o.reals[0] == 0.0 && all_are(o.reals + 1, 16, untouched);
     }},
    {"entry reference quality",
     [](Outputs& o) {
         int32_t ierr = -1;
         sphft_get_solid_reference_quality_(&o.ints[0], &o.reals[0], &o.ints[1], &ierr);
         return ierr;
     },
     [](const Outputs& o) { return o.ints[0] == 0 && o.ints[1] == 0 && o.reals[0] == 0.0; }},
};

// Closed, then initialised, then read but not built: code 2 with the guard's message, and
// each query's outputs as the guard leaves them.
TEST_F(SolidInterface, EveryQueryIsGuardedAndZeroesWhatItPromises) {
    const struct {
        const char* state;
        int (*enter)();
        const char* message;
    } states[] = {
        {"closed", [] { return 0; }, "Quorrel API is not initialized"},
        {"initialised", [] { return quorrel_initialize(); }, "Quorrel model is not built"},
        {"read, not built", [] { return quorrel_read_inp(block_deck.c_str()); }, "Quorrel model is not built"},
    };
    for (const auto& s : states) {
        ASSERT_EQ(s.enter(), 0) << s.state;
        for (const GuardCase& c : guard_cases) {
            sph_error_clear();
            Outputs o;
            EXPECT_EQ(c.call(o), 2) << s.state << ": " << c.name;
            EXPECT_TRUE(c.left(o)) << s.state << ": " << c.name;
            const LastError e = last_error();
            EXPECT_EQ(e.code, 2) << s.state << ": " << c.name;
            EXPECT_EQ(e.message, s.message) << s.state << ": " << c.name;
        }
    }
    // Built, the same calls pass the guard.
    ASSERT_EQ(quorrel_build_model(), 0) << last_error().message;
    for (const GuardCase& c : guard_cases) {
        Outputs o;
        EXPECT_EQ(c.call(o), 0) << c.name << ": " << last_error().message;
    }
}

// The model refuses a state buffer of fewer than 22 rows or no column (before touching
// anything), fewer columns than particles (after zeroing what it was given), and a
// diagnostics buffer of fewer than three values (untouched), each with code 1.
TEST_F(SolidInterface, SmallStateAndDiagnosticBuffersAreCodeOne) {
    build(block_deck);  // five particles
    const struct {
        const char* name;
        int32_t max_particles, capacity;
        const char* message;
        bool zeroed;
    } state_cases[] = {
        {"21 rows", 5, 21, "Solid state buffer is too small", false},
        {"no column", 0, 22, "Solid state buffer is too small", false},
        {"negative columns", -1, 22, "Solid state buffer is too small", false},
        {"4 columns for 5 particles", 4, 22, "Solid state particle buffer is too small", true},
    };
    for (const auto& c : state_cases) {
        std::vector<double> values(22 * 5, untouched);
        std::vector<int32_t> ints(4 * 5, -7);
        int32_t count = -7, ierr = -1;
        int32_t* col = ints.data();
        sphft_get_solid_state_(&c.max_particles, &c.capacity, values.data(), col, col + 5, col + 10, col + 15, &count,
                               &ierr);
        EXPECT_EQ(ierr, 1) << c.name;
        EXPECT_EQ(count, 0) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 1) << c.name;
        EXPECT_EQ(e.message, c.message) << c.name;
        // Zeroed: 22 x 4 values and 4 entries of each integer array, nothing beyond.
        for (std::size_t k = 0; k < values.size(); ++k)
            EXPECT_EQ(values[k], c.zeroed && k < 22 * 4 ? 0.0 : untouched) << c.name << " value " << k;
        for (int a = 0; a < 4; ++a)
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(ints[5 * a + i], c.zeroed && i < 4 ? 0 : -7) << c.name << " array " << a << " entry " << i;
    }
    for (int32_t capacity : {2, 0, -3}) {
        double values[3] = {untouched, untouched, untouched};
        int32_t ierr = -1;
        sphft_get_solid_diagnostics_(&capacity, values, &ierr);
        EXPECT_EQ(ierr, 1) << capacity;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 1) << capacity;
        EXPECT_EQ(e.message, "Solid diagnostic buffer is too small") << capacity;
        EXPECT_TRUE(all_are(values, 3, untouched)) << capacity;
    }
    // Through the C layer the particle refusal is the model's: status 1, same message.
    std::vector<double> values(22 * 4, untouched);
    int ints[16], count = -7;
    EXPECT_EQ(quorrel_get_solid_particle_state(4, values.data(), 22 * 4, ints, ints + 4, ints + 8, ints + 12, &count),
              1);
    EXPECT_EQ(last_error().message, "Solid state particle buffer is too small");
    EXPECT_TRUE(all_are(values.data(), 22 * 4, 0.0));
}

// Each call the C layer must reject: -1, no output written and the error state as it
// was; next to it the smallest call it must pass on.
TEST_F(SolidInterface, CLayerRejectsBadArgumentsWithoutCallingAnything) {
    build(block_deck);
    int i = 0;
    ASSERT_EQ(quorrel_coupling_get_region_modes(7, &i, &i, &i), 1);  // a record to keep
    struct Case {
        const char* name;
        int want;
        int (*call)(Outputs& o);
    };
    // Ten columns of 22 rows in o.table when a case asks for them.
    const Case cases[] = {
        {"summary, capacity 15", -1,
         [](Outputs& o) { return quorrel_get_solid_summary(&o.ints[0], &o.ints[1], o.reals, 15); }},
        {"summary, null active count", -1,
         [](Outputs& o) { return quorrel_get_solid_summary(nullptr, &o.ints[1], o.reals, 16); }},
        {"summary, null failed count", -1,
         [](Outputs& o) { return quorrel_get_solid_summary(&o.ints[0], nullptr, o.reals, 16); }},
        {"summary, null values", -1,
         [](Outputs& o) { return quorrel_get_solid_summary(&o.ints[0], &o.ints[1], nullptr, 16); }},
        {"summary, capacity 16", 0,
         [](Outputs& o) { return quorrel_get_solid_summary(&o.ints[0], &o.ints[1], o.reals, 16); }},
        {"state, 10 columns and 219 values", -1,
         [](Outputs& o) {
             o.table.assign(220, untouched);
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(10, o.table.data(), 219, c, c, c, c, &o.ints[0]);
         }},
        {"state, 10 columns and 220 values", 0,
         [](Outputs& o) {
             o.table.assign(220, untouched);
             o.columns.assign(40, -7);
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(10, o.table.data(), 220, c, c + 10, c + 20, c + 30, &o.ints[0]);
         }},
        // 22 * 10^8 does not fit an int: the capacity check must not wrap round.
        {"state, 10^8 columns and the largest int", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(100000000, o.table.data(), INT_MAX, c, c, c, c, &o.ints[0]);
         }},
        {"state, no column", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(0, o.table.data(), 44, c, c, c, c, &o.ints[0]);
         }},
        {"state, null values", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, nullptr, 44, c, c, c, c, &o.ints[0]);
         }},
        {"state, null failure status", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, o.table.data(), 44, nullptr, c, c, c, &o.ints[0]);
         }},
        {"state, null neighbour count", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, o.table.data(), 44, c, nullptr, c, c, &o.ints[0]);
         }},
        {"state, null degenerate flag", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, o.table.data(), 44, c, c, nullptr, c, &o.ints[0]);
         }},
        {"state, null correction status", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, o.table.data(), 44, c, c, c, nullptr, &o.ints[0]);
         }},
        {"state, null count", -1,
         [](Outputs& o) {
             int* c = o.columns.data();
             return quorrel_get_solid_particle_state(2, o.table.data(), 44, c, c, c, c, nullptr);
         }},
        {"diagnostics, capacity 2", -1, [](Outputs& o) { return quorrel_get_solid_diagnostics(o.reals, 2); }},
        {"diagnostics, null values", -1, [](Outputs&) { return quorrel_get_solid_diagnostics(nullptr, 3); }},
        {"diagnostics, capacity 3", 0, [](Outputs& o) { return quorrel_get_solid_diagnostics(o.reals, 3); }},
        {"reference quality, capacity 0", -1,
         [](Outputs& o) { return quorrel_get_solid_reference_quality(&o.ints[0], &o.ints[1], o.reals, 0); }},
        {"reference quality, null minimum", -1,
         [](Outputs& o) { return quorrel_get_solid_reference_quality(nullptr, &o.ints[1], o.reals, 1); }},
        {"reference quality, null status", -1,
         [](Outputs& o) { return quorrel_get_solid_reference_quality(&o.ints[0], nullptr, o.reals, 1); }},
        {"reference quality, null values", -1,
         [](Outputs& o) { return quorrel_get_solid_reference_quality(&o.ints[0], &o.ints[1], nullptr, 1); }},
        {"reference quality, capacity 1", 0,
         [](Outputs& o) { return quorrel_get_solid_reference_quality(&o.ints[0], &o.ints[1], o.reals, 1); }},
    };
    for (const Case& c : cases) {
        Outputs o;
        EXPECT_EQ(c.call(o), c.want) << c.name;
        const bool same = std::all_of(std::begin(o.ints), std::end(o.ints), [](int v) { return v == -7; }) &&
                          all_are(o.reals, 17, untouched) &&
                          all_are(o.table.data(), static_cast<int>(o.table.size()), untouched) &&
                          std::all_of(o.columns.begin(), o.columns.end(), [](int v) { return v == -7; });
        // A rejected call wrote nothing; one passed on wrote something.
        EXPECT_EQ(same, c.want == -1) << c.name;
    }
    const LastError e = last_error();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message, "coupling region index is invalid");
}

// Every per-particle array lands in its own row and every particle in its own column:
// the arrays of the block deck are overwritten with values that name their array,
// component and particle (array a, component c, particle i: 1000 a + 10 c + i).
TEST_F(SolidInterface, StateTableHoldsEachArrayInItsRowAndEachParticleInItsColumn) {
    build(block_deck);
    SphSolidState& s = sph_solid_state;
    const auto tag = [](int array, int component, int particle) {
        return 1000.0 * array + 10.0 * component + particle;
    };
    for (int i = 0; i < 5; ++i) {
        const std::size_t p = static_cast<std::size_t>(i);
        for (int c = 0; c < 6; ++c) {
            const std::size_t k = 6 * p + static_cast<std::size_t>(c);
            s.solid_stress[k] = tag(1, c, i);
            s.solid_strain[k] = tag(2, c, i);
            s.solid_strain_rate[k] = tag(3, c, i);
        }
        s.solid_plastic_strain[p] = tag(4, 0, i);
        s.solid_damage[p] = tag(5, 0, i);
        s.solid_softening[p] = tag(6, 0, i);
        s.solid_strain_rate_eq[p] = tag(7, 0, i);
        s.solid_failure_status[p] = 10 + i;
        s.solid_reference_neighbor_count[p] = 20 + i;
        s.solid_reference_degenerate[p] = 30 + i;
        s.solid_correction_status[p] = 40 + i;
    }
    // Rows 1-6 stress, 7-12 strain, 13-18 strain rate, then one row each.
    const auto want_row = [&](int row, int i) {
        if (row < 18) return tag(1 + row / 6, row % 6, i);
        return tag(4 + (row - 18), 0, i);
    };
    // The C layer: 22 rows whatever the capacity, six columns for five particles.
    {
        const int columns = 6, spare = 7;  // more spare values than columns
        std::vector<double> values(rows * columns + spare, untouched);
        std::vector<int> ints(4 * columns, -7);
        int count = -7;
        int* c = ints.data();
        ASSERT_EQ(quorrel_get_solid_particle_state(columns, values.data(), static_cast<int>(values.size()), c,
                                                   c + columns, c + 2 * columns, c + 3 * columns, &count),
                  0)
            << last_error().message;
        EXPECT_EQ(count, 5);
        for (int i = 0; i < columns; ++i) {
            for (int row = 0; row < rows; ++row)
                EXPECT_EQ(values[static_cast<std::size_t>(rows * i + row)], i < 5 ? want_row(row, i) : 0.0)
                    << "C layer, particle " << i + 1 << " row " << row + 1;
            for (int a = 0; a < 4; ++a)
                EXPECT_EQ(ints[static_cast<std::size_t>(columns * a + i)], i < 5 ? 10 * (a + 1) + i : 0)
                    << "C layer, integer array " << a + 1 << " particle " << i + 1;
        }
        for (int k = 0; k < spare; ++k) EXPECT_EQ(values[static_cast<std::size_t>(rows * columns + k)], untouched);
    }
    // The entry with 25 rows: rows 23-25 are zero in every column.
    {
        const int32_t columns = 5, capacity = 25;
        std::vector<double> values(capacity * columns, untouched);
        std::vector<int32_t> ints(4 * columns, -7);
        int32_t count = -7, ierr = -1;
        int32_t* c = ints.data();
        sphft_get_solid_state_(&columns, &capacity, values.data(), c, c + 5, c + 10, c + 15, &count, &ierr);
        ASSERT_EQ(ierr, 0) << last_error().message;
        EXPECT_EQ(count, 5);
        for (int i = 0; i < columns; ++i)
            for (int row = 0; row < capacity; ++row)
                EXPECT_EQ(values[static_cast<std::size_t>(capacity * i + row)], row < rows ? want_row(row, i) : 0.0)
                    << "entry, particle " << i + 1 << " row " << row + 1;
    }
}

// The integer columns of a deck, by hand: the block's solids have 3 neighbours and an
// invertible moment matrix, the water particle (third) none; the sheet's four have 3
// neighbours in one plane (singular: status 2, degenerate); the falling pair 1 each
// (too few: status 1, degenerate).
TEST_F(SolidInterface, StateColumnsShowEachParticlesReferenceNeighbourhood) {
    const struct {
        const std::string* deck;
        int particles;
        std::vector<int> neighbours, degenerate, status;
    } cases[] = {
        {&block_deck, 5, {3, 3, 0, 3, 3}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {&sheet_deck, 4, {3, 3, 3, 3}, {1, 1, 1, 1}, {2, 2, 2, 2}},
        {&fall_deck, 2, {1, 1}, {1, 1}, {1, 1}},
    };
    for (const auto& c : cases) {
        build(*c.deck);
        const std::size_t n = static_cast<std::size_t>(c.particles);
        std::vector<double> values(rows * n, untouched);
        std::vector<int> fail(n, -7), nbrs(n, -7), degen(n, -7), corr(n, -7);
        int count = -7;
        ASSERT_EQ(quorrel_get_solid_particle_state(c.particles, values.data(), rows * c.particles, fail.data(),
                                                   nbrs.data(), degen.data(), corr.data(), &count),
                  0)
            << *c.deck << ": " << last_error().message;
        EXPECT_EQ(count, c.particles) << *c.deck;
        EXPECT_EQ(fail, std::vector<int>(n, 0)) << *c.deck;
        EXPECT_EQ(nbrs, c.neighbours) << *c.deck;
        EXPECT_EQ(degen, c.degenerate) << *c.deck;
        EXPECT_EQ(corr, c.status) << *c.deck;
        (void)quorrel_finalize();
    }
}

// The three isolated solids of the apart deck (mass 1, h 1, wave speed 0.5, body force
// (0, 0, -16)) given by hand:
//   particle 1: v (0.25, 0.5, 0.5), |v| = 0.75; stress xx 3 (von Mises 3); plastic strain
//     0.1, damage 0.2, softening 0.8, specific internal energy 2;
//   particle 2: v (0, -1, 0), |v| = 1; stress xy 2 (pure shear: von Mises 2 sqrt(3));
//     plastic strain 0.3, damage 0.05, softening 0.95, internal energy 5;
//   particle 3: failed, with values that would show in every sum and range.
// No reference pairs, so no pair force: each acceleration is the body force, |a| = 16.
//   mass 2; momentum (0.25, -0.5, 0.5); kinetic 0.5 (0.5625 + 1) = 0.78125; internal
//   2 + 5 = 7; von Mises max 2 sqrt(3); ranges (0.1, 0.3), (0.05, 0.2), (0.8, 0.95);
//   dt_cfl = min(1 / (0.5 + 0.75), 1 / (0.5 + 1)) = 1 / 1.5; dt_accel = sqrt(1 / 16) = 0.25,
//   below dt_cfl, so the limit.
// Failed means phase 8, or status 2 whatever the phase.
TEST_F(SolidInterface, SummaryPacksEverySlotAndSkipsTheFailedParticle) {
    const struct {
        const char* how;
        int phase, status;
    } failures[] = {{"failed phase", sph_phase_solid_failed, sph_status_active},
                    {"failed status", sph_phase_solid, sph_status_failed}};
    for (const auto& f : failures) {
        build(apart_deck);
        SphDatabase& d = sph_database;
        SphSolidState& s = sph_solid_state;
        const double v[3][3] = {{0.25, 0.5, 0.5}, {0.0, -1.0, 0.0}, {40.0, 40.0, 40.0}};
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = v[i][k];
        s.solid_stress[0] = 3.0;      // particle 1, xx
        s.solid_stress[6 + 3] = 2.0;  // particle 2, xy
        s.solid_stress[12 + 0] = 50.0;
        const double plastic[3] = {0.1, 0.3, 9.0}, damage[3] = {0.2, 0.05, 0.9}, softening[3] = {0.8, 0.95, 0.01};
        const double energy[3] = {2.0, 5.0, 1000.0};
        for (std::size_t i = 0; i < 3; ++i) {
            s.solid_plastic_strain[i] = plastic[i];
            s.solid_damage[i] = damage[i];
            s.solid_softening[i] = softening[i];
            s.solid_internal_energy[i] = energy[i];
        }
        d.particle_phase[2] = f.phase;
        d.particle_status[2] = f.status;

        int active = -7, failed = -7;
        double values[17];
        std::fill(std::begin(values), std::end(values), untouched);
        ASSERT_EQ(quorrel_get_solid_summary(&active, &failed, values, 17), 0) << f.how << ": " << last_error().message;
        EXPECT_EQ(active, 2) << f.how;
        EXPECT_EQ(failed, 1) << f.how;
        // Mass; momentum; kinetic and internal energy; von Mises; the plastic, damage and
        // softening ranges; dt_cfl, dt_accel, the limit.
        const double want[16] = {2.0,  0.25, -0.5, 0.5, 0.78125, 7.0, 2.0 * std::sqrt(3.0), 0.1,
                                 0.3, 0.05, 0.2,  0.8, 0.95,    1.0 / 1.5, 0.25, 0.25};
        for (int k = 0; k < 16; ++k) EXPECT_DOUBLE_EQ(values[k], want[k]) << f.how << ", value " << k + 1;
        EXPECT_EQ(values[16], untouched) << f.how;

        int32_t counted_active = -7, counted_failed = -7, ierr = -1;
        sphft_get_solid_counts_(&counted_active, &counted_failed, &ierr);
        EXPECT_EQ(ierr, 0) << f.how;
        EXPECT_EQ(counted_active, 2) << f.how;
        EXPECT_EQ(counted_failed, 1) << f.how;
        (void)quorrel_finalize();
    }
}

// A failing solid estimate behind a passed guard: its code and message come back, the
// packed values stay as the caller had them and the counts are zero (they are set
// after the estimate).
TEST_F(SolidInterface, FailingSummaryLeavesTheValuesAsTheCallerHadThem) {
    build(block_deck);
    sph_database.h[1] = 0.0;  // particle 2, a solid
    int active = -7, failed = -7;
    double values[16];
    std::fill(std::begin(values), std::end(values), untouched);
    EXPECT_EQ(quorrel_get_solid_summary(&active, &failed, values, 16), 1);
    const LastError e = last_error();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message, "invalid Solid state for dt estimate");
    EXPECT_TRUE(all_are(values, 16, untouched));
    EXPECT_EQ(active, 0);
    EXPECT_EQ(failed, 0);
}

// The diagnostics read the arrays as they stand (apart deck, mass 1): equivalent strain
// rates 0.5 and 0.75; accelerations (3, 4, 0) and (0, 0, -2), of magnitude 5 and 2; pair
// accelerations (1, 2, 2) and (0, -4, -4), whose mass-weighted sum (1, -2, -2) has
// magnitude 3. The failed third particle's larger values count for nothing. A buffer of
// five gets (0.75, 5, 3) and two zeros.
TEST_F(SolidInterface, DiagnosticsGiveRateAccelerationAndResidualInThatOrder) {
    build(apart_deck);
    SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const double rate[3] = {0.5, 0.75, 99.0};
    const double a[3][3] = {{3.0, 4.0, 0.0}, {0.0, 0.0, -2.0}, {100.0, 0.0, 0.0}};
    const double internal[3][3] = {{1.0, 2.0, 2.0}, {0.0, -4.0, -4.0}, {50.0, 0.0, 0.0}};
    for (std::size_t i = 0; i < 3; ++i) {
        s.solid_strain_rate_eq[i] = rate[i];
        for (std::size_t k = 0; k < 3; ++k) {
            d.a[3 * i + k] = a[i][k];
            s.solid_acc_internal[3 * i + k] = internal[i][k];
        }
    }
    d.particle_phase[2] = sph_phase_solid_failed;
    double values[5];
    std::fill(std::begin(values), std::end(values), untouched);
    ASSERT_EQ(quorrel_get_solid_diagnostics(values, 5), 0) << last_error().message;
    const double want[5] = {0.75, 5.0, 3.0, 0.0, 0.0};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(values[k], want[k]) << "value " << k + 1;
}

// The reference quality of each deck, by hand: the block's moment matrices are 0.25 times
// a matrix of determinant 1 (for the corner at the origin the identity; for the others
// [[3, -1, -1], [-1, 1, 0], [-1, 0, 1]] with the axes renamed), so 0.25^3 = 1/64 each,
// 3 neighbours, status 0 (the water particle does not count); the sheet's matrices have a
// zero z row: determinant 0, status 2; the falling pair and the apart trio fell back
// (1 and 0 neighbours, determinant 0 stored, status 1); without an active solid every
// value is 0, with or without solid state.
TEST_F(SolidInterface, ReferenceQualityGivesMinimumNeighboursDeterminantAndWorstStatus) {
    const struct {
        const std::string* deck;
        int neighbours;
        double determinant;
        int status;
    } cases[] = {
        {&block_deck, 3, 1.0 / 64.0, 0}, {&sheet_deck, 3, 0.0, 2},   {&fall_deck, 1, 0.0, 1},
        {&apart_deck, 0, 0.0, 1},        {&unbound_deck, 0, 0.0, 0}, {&water_deck, 0, 0.0, 0},
    };
    for (const auto& c : cases) {
        build(*c.deck);
        int neighbours = -7, status = -7;
        double values[2] = {untouched, untouched};
        ASSERT_EQ(quorrel_get_solid_reference_quality(&neighbours, &status, values, 2), 0)
            << *c.deck << ": " << last_error().message;
        EXPECT_EQ(neighbours, c.neighbours) << *c.deck;
        EXPECT_EQ(values[0], c.determinant) << *c.deck;
        EXPECT_EQ(status, c.status) << *c.deck;
        EXPECT_EQ(values[1], untouched) << *c.deck;
        (void)quorrel_finalize();
    }
}

// Step limits of models without an active solid: without solid state the estimate's
// outputs (the largest double twice, then 0), with solid state 0, 0, 0; counts 0.
TEST_F(SolidInterface, SummaryOfAModelWithoutActiveSolid) {
    const double largest = 1.7976931348623157e308;
    const struct {
        const std::string* deck;
        double cfl, accel;
    } cases[] = {{&water_deck, largest, largest}, {&unbound_deck, 0.0, 0.0}};
    for (const auto& c : cases) {
        build(*c.deck);
        int active = -7, failed = -7;
        double values[16];
        std::fill(std::begin(values), std::end(values), untouched);
        ASSERT_EQ(quorrel_get_solid_summary(&active, &failed, values, 16), 0) << *c.deck;
        EXPECT_EQ(active, 0) << *c.deck;
        EXPECT_EQ(failed, 0) << *c.deck;
        for (int k = 0; k < 13; ++k) EXPECT_EQ(values[k], 0.0) << *c.deck << ", value " << k + 1;
        EXPECT_EQ(values[13], c.cfl) << *c.deck;
        EXPECT_EQ(values[14], c.accel) << *c.deck;
        EXPECT_EQ(values[15], 0.0) << *c.deck;
        (void)quorrel_finalize();
    }
}

}  // namespace
