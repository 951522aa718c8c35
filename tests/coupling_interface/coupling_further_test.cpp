// The coupling module's further operations on a model of one coupling region: what each
// gives back and changes, every failure its checks name, and the diagnostics getters beside
// the diagnostics buffer they restate.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_test.h"
#include "database/sph_database.h"
#include "solver/sph_solver_explicit.h"

using namespace quorrel;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double unset = -7.0;  // what the output arrays hold before a call
constexpr int32_t unset_count = -7;

// coupling_further.inp: particles 0-3 are nodes 11-14; 0 and 1 shells, 2 and 3 boundary
// particles; region 0, Hull, lists particles 2, 0, 1. On top of the deck every row sets
// mass {2, 4, 5, 8}, velocity (10i + 1, 10i + 2, 10i + 3) and pressure 100 + i of particle i.
void distinct_motion() {
    SphDatabase& d = sph_database;
    const double masses[4] = {2.0, 4.0, 5.0, 8.0};
    for (std::size_t i = 0; i < 4; ++i) {
        d.mass[i] = masses[i];
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = 10.0 * static_cast<double>(i) + static_cast<double>(k + 1);
        d.pressure[i] = 100.0 + static_cast<double>(i);
    }
}

SphCouplingRegionRecord& hull() { return sph_database.coupling_regions[0]; }

// What a call gave back, and the state it changed where the row says so.
struct Out {
    std::vector<double> reals;
    std::vector<int32_t> ints;
};

void put(Out& o, const double* values, std::size_t n) { o.reals.insert(o.reals.end(), values, values + n); }

// The buffered force of particle i; zero while the buffers are absent.
std::array<double, 3> buffered(std::size_t i) {
    const std::vector<double>& f = sph_coupling.coupling_external_force;
    if (f.size() < 3 * (i + 1)) return {0.0, 0.0, 0.0};
    return {f[3 * i], f[3 * i + 1], f[3 * i + 2]};
}

// After a force import: the buffered force of particle 1 and the imported-force count.
void force_results(Out& o) {
    const std::array<double, 3> f = buffered(1);
    put(o, f.data(), 3);
    o.ints.push_back(sph_coupling.coupling_imported_force_count);
}

// After an unbuffered import: acc_body of particle 1, coupling_work, coupling_energy,
// coupling_momentum, the buffered force of particle 1 and the size of the force buffer.
void basic_results(Out& o) {
    const SphCouplingInterface& c = sph_coupling;
    put(o, &sph_database.acc_body[3], 3);
    o.reals.push_back(c.coupling_work);
    o.reals.push_back(c.coupling_energy);
    put(o, c.coupling_momentum.data(), 3);
    const std::array<double, 3> f = buffered(1);
    put(o, f.data(), 3);
    o.ints.push_back(static_cast<int32_t>(c.coupling_external_force.size()));
}

int extended(Out& o) {
    double force[3], moment[3], impulse[3], cumulative[3], exchange[3];
    double work = unset, cumulative_work = unset, energy = unset, max_force = unset, max_acceleration = unset;
    double velocity_error = unset, position_error = unset;
    int32_t stale = unset_count, skipped = unset_count, nonfinite = unset_count, imported = unset_count,
            consumed = unset_count;
    sph_coupling_get_extended_diagnostics(force, moment, impulse, cumulative, work, cumulative_work, exchange, energy,
                                          max_force, max_acceleration, velocity_error, position_error, stale, skipped,
                                          nonfinite, imported, consumed);
    // In argument order.
    for (const double* v : {force, moment, impulse, cumulative}) put(o, v, 3);
    o.reals.push_back(work);
    o.reals.push_back(cumulative_work);
    put(o, exchange, 3);
    o.reals.insert(o.reals.end(), {energy, max_force, max_acceleration, velocity_error, position_error});
    o.ints = {stale, skipped, nonfinite, imported, consumed};
    return 0;
}

int import_diagnostics(Out& o) {
    double total[3] = {unset, unset, unset};
    int32_t motion = unset_count, skipped = unset_count, nonfinite = unset_count, stale = unset_count,
            epoch = unset_count;
    const int st = sph_coupling_get_import_diagnostics(total, motion, skipped, nonfinite, stale, epoch);
    put(o, total, 3);
    o.ints = {motion, skipped, nonfinite, stale, epoch,
              static_cast<int32_t>(sph_coupling.coupling_external_force.size())};
    return st;
}

int region_particles(Out& o, const char* name) {
    int32_t count = unset_count;
    const int st = sph_coupling_get_region_particle_count(name, count);
    o.ints = {count};
    return st;
}

int region_facets(Out& o, const char* name) {
    int32_t count = unset_count;
    const int st = sph_coupling_get_region_facet_count(name, count);
    o.ints = {count};
    return st;
}

int particle(Out& o, int32_t index) {
    int32_t ext = unset_count;
    double x[3] = {unset, unset, unset}, v[3] = {unset, unset, unset};
    const int st = sph_coupling_export_particle_by_index(index, ext, x, v);
    o.ints = {ext};
    put(o, x, 3);
    put(o, v, 3);
    return st;
}

int particle_state(Out& o, int32_t index) {
    int32_t ext = unset_count, phase = unset_count, material = unset_count;
    double x[3] = {unset, unset, unset}, v[3] = {unset, unset, unset}, p = unset;
    const int st = sph_coupling_export_particle_state(index, ext, phase, material, x, v, p);
    o.ints = {ext, phase, material};
    put(o, x, 3);
    put(o, v, 3);
    o.reals.push_back(p);
    return st;
}

int facet(Out& o, int32_t index) {
    int32_t nodes[3] = {unset_count, unset_count, unset_count};
    const int st = sph_coupling_export_facet_by_index(index, nodes);
    o.ints.assign(nodes, nodes + 3);
    return st;
}

int force_by_node(Out& o, int32_t node, std::array<double, 3> f) {
    const int st = sph_coupling_import_force_by_external_id(node, f.data());
    force_results(o);
    return st;
}

int facet_particle_force(Out& o, const char* region, int32_t facet_id, int32_t count, int32_t node,
                         std::array<double, 3> f) {
    const int st = sph_coupling_import_facet_particle_forces(region, facet_id, count, &node, f.data());
    force_results(o);
    return st;
}

int particle_force(Out& o, int32_t index, std::array<double, 3> f) {
    const int st = sph_coupling_import_particle_force(index, f.data());
    basic_results(o);
    return st;
}

int facet_load(Out& o, int32_t index, std::array<double, 3> load) {
    const int st = sph_coupling_import_facet_load_by_index(index, load.data());
    basic_results(o);
    return st;
}

void ok(int status) { EXPECT_EQ(status, 0) << sph_error_message(); }

class CouplingFurther : public test::CouplingTest {};

}  // namespace

TEST_F(CouplingFurther, EveryOperationOnARegionOfTwoShellsAndAPost) {
    struct Row {
        const char* what;
        std::function<void()> before;  // edits and calls on the fresh model
        std::function<int(Out&)> call;
        const char* message;  // empty: success
        std::vector<double> reals;
        std::vector<int32_t> ints;
    };
    const std::function<void()> nothing = [] {};
    const auto disable = [] { hull().coupling_region_enabled = 0; };
    const auto facets_only = [] { hull().coupling_region_export_mode = sph_coupling_export_facet; };
    const auto particles_only = [] { hull().coupling_region_export_mode = sph_coupling_export_particle; };
    const char* no_region = "coupling region name is invalid";
    const std::vector<double> no_particle(6, 0.0);  // x and v zeroed
    const std::vector<double> no_force(3, 0.0);
    // acc_body 1, work, energy, momentum, buffered force 1: all 0.
    const std::vector<double> no_totals(11, 0.0);

    const Row rows[] = {
        // Value n of the buffer is n + 0.5, count n is 100 + n; the arguments name values 1-12,
        // then 16, 17, 13-15 and 18-22, and counts 1-5.
        {"extended diagnostics", [] { test::numbered_state(); }, extended, "",
         {1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5, 9.5, 10.5, 11.5, 12.5, 16.5, 17.5, 13.5, 14.5, 15.5, 18.5, 19.5,
          20.5, 21.5, 22.5},
         {101, 102, 103, 104, 105}},
        // The build's clear leaves epoch 1 and no buffers; the call allocates 3 x 4 force entries.
        {"import diagnostics of a fresh model", nothing, import_diagnostics, "", {0, 0, 0}, {0, 0, 0, 0, 1, 12}},
        // Node 11's force is stale at the clear (stale 1, epoch 2), then nodes 11 and 13 take
        // (1, 2, 3) + (10, 20, 30) = (11, 22, 33); the NaN force on node 12 is refused
        // (non-finite 1); particle 1 gets a velocity target (1 motion); inactive node 14's
        // force is skipped (skipped 1).
        {"import diagnostics after imports",
         [] {
             const double f11[3] = {1, 2, 3}, f13[3] = {10, 20, 30}, bad[3] = {not_a_number, 0, 0}, f14[3] = {1, 1, 1};
             const double target[3] = {0, 0, 1};
             ok(sph_coupling_import_force_by_external_id(11, f11));
             ok(sph_coupling_clear_imports());
             ok(sph_coupling_import_force_by_external_id(11, f11));
             ok(sph_coupling_import_force_by_external_id(13, f13));
             EXPECT_NE(sph_coupling_import_force_by_external_id(12, bad), 0);
             ok(sph_coupling_set_motion(1, sph_coupling_motion_direct, sph_coupling_motion_velocity, target));
             sph_database.particle_status[3] = sph_status_inactive;
             ok(sph_coupling_import_force_by_external_id(14, f14));
         },
         import_diagnostics, "", {11, 22, 33}, {1, 1, 1, 1, 2, 12}},
        // (8, -4, 2) on particle 1: work 8 - 4 + 2 = 6; facet load (1, 1, 1): energy 3;
        // momentum (8, -4, 2) + (1, 1, 1) = (9, -3, 3).
        {"basic diagnostics",
         [] {
             const double f[3] = {8, -4, 2}, load[3] = {1, 1, 1};
             ok(sph_coupling_import_particle_force(1, f));
             ok(sph_coupling_import_facet_load_by_index(0, load));
         },
         [](Out& o) {
             double work = unset, energy = unset, momentum[3] = {unset, unset, unset};
             sph_coupling_get_basic_diagnostics(work, energy, momentum);
             o.reals = {work, energy};
             put(o, momentum, 3);
             return 0;
         },
         "", {6, 3, 9, -3, 3}, {}},

        // Region counts by name (case and trailing blanks ignored). Hull lists 3 particles,
        // of which 0 and 1 are shells.
        {"particle count", nothing, [](Out& o) { return region_particles(o, "HULL "); }, "", {}, {3}},
        {"particle count of an unknown region", nothing, [](Out& o) { return region_particles(o, "Keel"); },
         no_region, {}, {0}},
        {"particle count of a facet-only region", facets_only, [](Out& o) { return region_particles(o, "Hull"); },
         "", {}, {0}},
        {"particle count of a disabled region", disable, [](Out& o) { return region_particles(o, "Hull"); }, "", {},
         {0}},
        {"facet count", nothing, [](Out& o) { return region_facets(o, "hull"); }, "", {}, {2}},
        {"facet count of a particle-only region", particles_only, [](Out& o) { return region_facets(o, "Hull"); },
         "", {}, {0}},
        {"facet count of a disabled region", disable, [](Out& o) { return region_facets(o, "Hull"); }, "", {}, {0}},
        {"facet count with the shells turned solid",
         [] { sph_database.particle_phase[0] = sph_database.particle_phase[1] = sph_phase_solid; },
         [](Out& o) { return region_facets(o, "Hull"); }, "coupling region has no Shell facet proxy", {}, {0}},
        {"facet count of an unknown region", nothing, [](Out& o) { return region_facets(o, "Keel"); }, no_region, {},
         {0}},

        {"model particle count", nothing,
         [](Out& o) {
             int32_t count = unset_count;
             sph_coupling_get_particle_count(count);
             o.ints = {count};
             return 0;
         },
         "", {}, {4}},
        {"placeholder facet count", nothing,
         [](Out& o) {
             int32_t count = unset_count;
             sph_coupling_get_facet_count(count);
             o.ints = {count};
             return 0;
         },
         "", {}, {0}},

        // Particle 1 is node 12 at (0, 2, 0), velocity (11, 12, 13).
        {"particle export", nothing, [](Out& o) { return particle(o, 1); }, "", {0, 2, 0, 11, 12, 13}, {12}},
        {"particle export past the last particle", nothing, [](Out& o) { return particle(o, 4); },
         "coupling particle index is out of range", no_particle, {0}},
        {"particle export below the first particle", nothing, [](Out& o) { return particle(o, -1); },
         "coupling particle index is out of range", no_particle, {0}},
        // Particle 2: node 13, boundary (6), ROCK (material 2), at (0, 0, 3), velocity
        // (21, 22, 23), pressure 102.
        {"particle state export", nothing, [](Out& o) { return particle_state(o, 2); }, "",
         {0, 0, 3, 21, 22, 23, 102}, {13, 6, 2}},
        {"particle state export past the last particle", nothing, [](Out& o) { return particle_state(o, 4); },
         "coupling particle index is out of range", {0, 0, 0, 0, 0, 0, 0}, {0, 0, 0}},
        // The placeholder has one facet, 0, with no nodes.
        {"placeholder facet", nothing, [](Out& o) { return facet(o, 0); }, "", {}, {0, 0, 0}},
        {"placeholder facet other than the first", nothing, [](Out& o) { return facet(o, 1); },
         "no coupling facets are available in the neutral placeholder", {}, {0, 0, 0}},

        // Node 12 is particle 1; no node is numbered 1.
        {"force by node number", nothing, [](Out& o) { return force_by_node(o, 12, {1, -2, 3}); }, "", {1, -2, 3},
         {1}},
        {"force on a node number no particle has", nothing, [](Out& o) { return force_by_node(o, 1, {1, -2, 3}); },
         "coupling force particle id is invalid", no_force, {0}},
        {"non-finite force by node number", nothing, [](Out& o) { return force_by_node(o, 12, {0, not_a_number, 0}); },
         "coupling force is not finite", no_force, {0}},

        // Facet 1 is the proxy particle 1, node 12.
        {"facet particle force", nothing,
         [](Out& o) { return facet_particle_force(o, "Hull", 1, 1, 12, {0, 0, -5}); }, "", {0, 0, -5}, {1}},
        {"facet particle force in an unknown region", nothing,
         [](Out& o) { return facet_particle_force(o, "Keel", 1, 1, 12, {0, 0, -5}); }, no_region, no_force, {0}},
        {"facet particle force in a disabled region", disable,
         [](Out& o) { return facet_particle_force(o, "Hull", 1, 1, 12, {0, 0, -5}); }, "coupling region is disabled",
         no_force, {0}},
        // The facet checks come before the particle count.
        {"facet particle force in a particle-only region", particles_only,
         [](Out& o) { return facet_particle_force(o, "Hull", 1, 2, 12, {0, 0, -5}); },
         "coupling region does not export facet proxies", no_force, {0}},
        {"facet particle force on a particle outside the region", nothing,
         [](Out& o) { return facet_particle_force(o, "Hull", 3, 1, 14, {0, 0, -5}); }, "coupling facet id is invalid",
         no_force, {0}},
        {"facet particle force on the boundary member", nothing,
         [](Out& o) { return facet_particle_force(o, "Hull", 2, 1, 13, {0, 0, -5}); },
         "coupling facet proxy requires Shell particles", no_force, {0}},
        {"facet particle force naming two particles", nothing,
         [](Out& o) { return facet_particle_force(o, "Hull", 1, 2, 12, {0, 0, -5}); },
         "coupling facet particle count does not match proxy", no_force, {0}},
        // Node 11 is particle 0, the other shell.
        {"facet particle force naming another node", nothing,
         [](Out& o) { return facet_particle_force(o, "Hull", 1, 1, 11, {0, 0, -5}); },
         "coupling facet particle id does not match proxy", no_force, {0}},

        // (8, -4, 2) / mass 4 = (2, -1, 0.5) into acc_body at once: work 6, momentum (8, -4, 2),
        // no buffers.
        {"particle force", nothing, [](Out& o) { return particle_force(o, 1, {8, -4, 2}); }, "",
         {2, -1, 0.5, 6, 0, 8, -4, 2, 0, 0, 0}, {0}},
        // A step does not take the first load back: the second doubles acc_body, work and
        // momentum.
        {"particle force after a step",
         [] {
             const double f[3] = {8, -4, 2};
             ok(sph_coupling_import_particle_force(1, f));
             ok(sph_solver_advance_explicit(0.001));
         },
         [](Out& o) { return particle_force(o, 1, {8, -4, 2}); }, "", {4, -2, 1, 12, 0, 16, -8, 4, 0, 0, 0}, {0}},
        {"particle force past the last particle", nothing, [](Out& o) { return particle_force(o, 4, {8, -4, 2}); },
         "coupling force particle index is out of range", no_totals, {0}},
        {"particle force on a massless particle", [] { sph_database.mass[1] = 0.0; },
         [](Out& o) { return particle_force(o, 1, {8, -4, 2}); }, "coupling force particle mass must be positive",
         no_totals, {0}},

        // Energy 1 + 2 + 3 = 6, momentum (1, 2, 3); no facet is looked up, so any index from 0 on
        // is taken.
        {"facet load", nothing, [](Out& o) { return facet_load(o, 0, {1, 2, 3}); }, "",
         {0, 0, 0, 0, 6, 1, 2, 3, 0, 0, 0}, {0}},
        {"facet load on a facet the model lacks", nothing, [](Out& o) { return facet_load(o, 9, {1, 2, 3}); }, "",
         {0, 0, 0, 0, 6, 1, 2, 3, 0, 0, 0}, {0}},
        {"facet load below the first facet", nothing, [](Out& o) { return facet_load(o, -1, {1, 2, 3}); },
         "coupling facet index must be positive", no_totals, {0}},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        build("coupling_further.inp");
        if (HasFatalFailure()) return;
        distinct_motion();
        row.before();
        sph_error_clear();
        Out out;
        const int st = row.call(out);
        if (*row.message == '\0') {
            EXPECT_EQ(st, 0) << sph_error_message();
            EXPECT_EQ(sph_error_code(), 0);
        } else {
            expect_failure(st, row.message);
        }
        EXPECT_EQ(out.reals, row.reals);
        EXPECT_EQ(out.ints, row.ints);
    }
}

TEST_F(CouplingFurther, DiagnosticsGettersAgreeWithTheBuffer) {
    build("coupling_further.inp");
    if (HasFatalFailure()) return;
    distinct_motion();
    // (0, 4, 0) on the proxy of node 11 (particle 0, mass 2, at (1, 0, 0), v (1, 2, 3)) and
    // (10, 0, -5) on node 13 (particle 2, mass 5, at (0, 0, 3), v (21, 22, 23)); one step of
    // dt = 0.001 applies both.
    const int32_t node11 = 11;
    const double f0[3] = {0, 4, 0}, f2[3] = {10, 0, -5};
    ASSERT_EQ(sph_coupling_import_facet_particle_forces("Hull", 0, 1, &node11, f0), 0) << sph_error_message();
    ASSERT_EQ(sph_coupling_import_force_by_external_id(13, f2), 0) << sph_error_message();
    Out before;
    ASSERT_EQ(import_diagnostics(before), 0);
    EXPECT_EQ(before.reals, (std::vector<double>{10, 4, -5}));
    ASSERT_EQ(sph_solver_advance_explicit(0.001), 0) << sph_error_message();

    std::array<double, 22> values;
    std::array<int32_t, 5> counts;
    ASSERT_EQ(sph_coupling_get_diagnostic_values(22, values.data(), 5, counts.data()), 0);
    // Force (10, 4, -5); moment (1, 0, 0) x (0, 4, 0) + (0, 0, 3) x (10, 0, -5) = (0, 0, 4) +
    // (0, 30, 0); impulse F dt; work dt (v0 . f0 + v2 . f2) = 0.001 (8 + 210 - 115) = 0.103;
    // largest force |(10, 0, -5)| = sqrt(125), largest acceleration |(2, 0, -1)| = sqrt(5).
    const double hand[22] = {10, 4, -5, 0, 30, 4, 0.01, 0.004, -0.005, 0.01, 0.004, -0.005, 0.01, 0.004, -0.005,
                             0.103, 0.103, 0.103, std::sqrt(125.0), std::sqrt(5.0), 0, 0};
    for (std::size_t k = 0; k < 22; ++k)
        EXPECT_NEAR(values[k], hand[k], 1e-15 * std::max(1.0, std::fabs(hand[k]))) << "value " << k + 1;
    // No stale, skipped or non-finite import; the step emptied the buffer and consumed a load.
    EXPECT_EQ(counts, (std::array<int32_t, 5>{0, 0, 0, 0, 1}));

    Out named;
    extended(named);
    // The arguments in buffer order: values 1-12, 13-15 (after 16 and 17), 16, 17, 18-22.
    std::vector<double> reordered(named.reals.begin(), named.reals.begin() + 12);
    reordered.insert(reordered.end(), named.reals.begin() + 14, named.reals.begin() + 17);
    reordered.insert(reordered.end(), named.reals.begin() + 12, named.reals.begin() + 14);
    reordered.insert(reordered.end(), named.reals.begin() + 17, named.reals.end());
    EXPECT_EQ(reordered, std::vector<double>(values.begin(), values.end()));
    EXPECT_EQ(named.ints, std::vector<int32_t>(counts.begin(), counts.end()));

    Out imports;
    ASSERT_EQ(import_diagnostics(imports), 0);
    // Skipped, non-finite and stale are counts 2, 3 and 1 of the buffer.
    EXPECT_EQ(imports.reals, (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(imports.ints[1], counts[1]);
    EXPECT_EQ(imports.ints[2], counts[2]);
    EXPECT_EQ(imports.ints[3], counts[0]);

    // After a step the basic totals are the cumulative work (17), the energy exchange (18)
    // and the momentum exchange (13-15).
    double work = unset, energy = unset, momentum[3];
    sph_coupling_get_basic_diagnostics(work, energy, momentum);
    EXPECT_EQ(work, values[16]);
    EXPECT_EQ(energy, values[17]);
    EXPECT_EQ((std::vector<double>(momentum, momentum + 3)), (std::vector<double>(&values[12], &values[15])));
    // An unbuffered particle force then adds 5 + 5 + 5 = 15 to the work and (5, 5, 5) to the
    // momentum, and nothing to the buffer's cumulative work or momentum exchange.
    const double f[3] = {5, 5, 5};
    ASSERT_EQ(sph_coupling_import_particle_force(2, f), 0) << sph_error_message();
    sph_coupling_get_basic_diagnostics(work, energy, momentum);
    EXPECT_EQ(work, values[16] + 15.0);
    EXPECT_EQ(momentum[0], values[12] + 5.0);
    Out after;
    extended(after);
    EXPECT_EQ(after.reals, named.reals);
}
