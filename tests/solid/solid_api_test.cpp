// The read-only solid views of the programming interface: reference quality, the three
// step diagnostics and the per-particle state table, with their refusals and zeroing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_api.h"
#include "solid/sph_solid_dynamics.h"
#include "solid/sph_solid_state.h"

using namespace quorrel;

namespace {

using Vec3 = std::array<double, 3>;

struct Body {
    Vec3 x0{};
    double h = 1.0, volume = 1.0;
    int32_t phase = sph_phase_solid, status = sph_status_active;
};

class SolidQueries : public test::QuorrelTest {
protected:
    // The particles (masses 1), one material STEEL (solid unless `solid` is false) with
    // its section, the solid state and the reference state.
    static void make(const std::vector<Body>& bodies, bool solid = true) {
        ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(bodies.size())), 0) << sph_error_message();
        SphDatabase& d = sph_database;
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            const Body& b = bodies[i];
            ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), b.x0.data()), 0);
            d.h[i] = b.h;
            d.volume[i] = b.volume;
            d.particle_phase[i] = b.phase;
            d.particle_status[i] = b.status;
            d.material_id[i] = 1;
            d.section_id[i] = 1;
        }
        ASSERT_EQ(sph_db_add_material("STEEL", solid ? "SOLID" : "RIGID"), 0);
        ASSERT_EQ(sph_db_set_material_density("STEEL", 3.0), 0);
        const int32_t first = 1;
        ASSERT_EQ(sph_db_add_nset("ALL", 1, &first), 0);
        ASSERT_EQ(sph_db_add_section("ALL", "SOLID", "STEEL", 0.0, 0, 0.0, ""), 0) << sph_error_message();
        if (solid) {
            sph_solid_note_material("STEEL", "SOLID");
            ASSERT_EQ(sph_solid_set_elastic("STEEL", 2.5, 0.25), 0) << sph_error_message();
        }
        ASSERT_EQ(sph_solid_build_state(), 0) << sph_error_message();
        ASSERT_EQ(sph_solid_build_reference_state(), 0) << sph_error_message();
    }

    static void expect_failure(int status, const char* message) {
        EXPECT_EQ(status, sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), message);
    }
};

// The tetrahedron x0 (0,0,0), (1,0,0), (0,2,0), (0,0,3), volumes 1..4, h 2 (every pair in
// reach): the moment matrices M_i = sum_j V0_j r r^T have determinants 864 (diag(2, 12, 36)),
// 432 ([8 -6 -12; -6 12 0; -12 0 36]), 288 ([2 -4 0; -4 28 -24; 0 -24 36]) and 216
// ([2 0 -6; 0 12 -18; -6 -18 54]).
std::vector<Body> tetrahedron() {
    return {{{0, 0, 0}, 2.0, 1.0}, {{1, 0, 0}, 2.0, 2.0}, {{0, 2, 0}, 2.0, 3.0}, {{0, 0, 3}, 2.0, 4.0}};
}

// ---- Reference quality ----

TEST_F(SolidQueries, ReferenceQuality) {
    struct Case {
        const char* what;
        std::vector<Body> bodies;
        int32_t neighbor_min;
        double det_min;
        int32_t status_max;
    };
    std::vector<Body> with_far = tetrahedron();
    with_far.push_back({{50, 50, 50}});
    std::vector<Body> inactive = tetrahedron();
    for (Body& b : inactive) b.status = sph_status_inactive;
    const std::vector<Case> cases = {
        // The smallest determinant is the last particle's: the minimum is lowered, not seeded only.
        {"the tetrahedron", tetrahedron(), 3, 216.0, 0},
        // Every particle falls back (h 0.5, reach 1): the ends have one neighbour, the middle two.
        {"all fallen back", {{{0, 0, 0}, 0.5}, {{1, 0, 0}, 0.5}, {{2, 0, 0}, 0.5}}, 1, 0.0, 1},
        // A particle out of reach: no neighbour, status 1, determinant 0.
        {"the tetrahedron and a lone particle", with_far, 0, 0.0, 1},
        // Four on a line, each with three neighbours: singular, status 2.
        {"collinear", {{{0, 0, 0}, 2.0}, {{1, 0, 0}, 2.0}, {{2, 0, 0}, 2.0}, {{3, 0, 0}, 2.0}}, 3, 0.0, 2},
        {"no active solid", inactive, 0, 0.0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make(c.bodies));
        int32_t neighbor_min = -9, status_max = -9;
        double det_min = -9.0;
        ASSERT_EQ(sph_solid_get_reference_quality(neighbor_min, det_min, status_max), 0);
        EXPECT_EQ(neighbor_min, c.neighbor_min);
        EXPECT_EQ(det_min, c.det_min);
        EXPECT_EQ(status_max, c.status_max);
    }
    // Without solid state every value is 0.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(make(tetrahedron(), false));
    int32_t neighbor_min = -9, status_max = -9;
    double det_min = -9.0;
    ASSERT_EQ(sph_solid_get_reference_quality(neighbor_min, det_min, status_max), 0);
    EXPECT_EQ(neighbor_min, 0);
    EXPECT_EQ(det_min, 0.0);
    EXPECT_EQ(status_max, 0);
}

// ---- Diagnostics buffer ----

TEST_F(SolidQueries, DiagnosticsBuffer) {
    // Two active solids with hand-set values: strain rates 0.5 and 0.25, |a| = 5 and 1,
    // internal accelerations (1, 0, 0) and (0, -2, 0) at masses 1 and 2, so the residual is
    // |(1, -4, 0)| = sqrt 17.
    struct Case {
        int32_t capacity;
        bool accepted;
    };
    const Case cases[] = {{-1, false}, {0, false}, {2, false}, {3, true}, {5, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{5, 0, 0}}}));
        SphDatabase& d = sph_database;
        SphSolidState& s = sph_solid_state;
        d.mass[1] = 2.0;
        s.solid_strain_rate_eq = {0.5, 0.25};
        d.a = {3, 4, 0, 0, 0, 1};
        s.solid_acc_internal = {1, 0, 0, 0, -2, 0};
        d.solid_particle_count = 77;  // shows whether the diagnostics were refreshed
        std::vector<double> values(8, 9.0);
        const int st = sph_solid_get_diagnostics(c.capacity, values.data());
        if (!c.accepted) {
            expect_failure(st, "Solid diagnostic buffer is too small");
            EXPECT_EQ(values, std::vector<double>(8, 9.0));
            EXPECT_EQ(d.solid_particle_count, 77);
            continue;
        }
        ASSERT_EQ(st, 0) << sph_error_message();
        EXPECT_EQ(d.solid_particle_count, 2);
        EXPECT_EQ(values[0], 0.5);
        EXPECT_DOUBLE_EQ(values[1], 5.0);
        EXPECT_DOUBLE_EQ(values[2], std::sqrt(17.0));
        for (std::size_t q = 3; q < 8; ++q)
            EXPECT_EQ(values[q], q < static_cast<std::size_t>(c.capacity) ? 0.0 : 9.0) << "entry " << q;
    }
    // Without solid state the three values are 0.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{5, 0, 0}}}, false));
    std::vector<double> values(3, 9.0);
    ASSERT_EQ(sph_solid_get_diagnostics(3, values.data()), 0);
    EXPECT_EQ(values, std::vector<double>(3, 0.0));
}

// ---- State table ----

// Hand-set solid state of particle i: every real row r (0-based) holds 100 (i + 1) + r + 1,
// every integer column k holds 10 (i + 1) + k.
void fill_state(std::size_t n) {
    SphSolidState& s = sph_solid_state;
    auto value = [](std::size_t i, std::size_t row) { return 100.0 * static_cast<double>(i + 1) + static_cast<double>(row + 1); };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < 6; ++c) {
            s.solid_stress[6 * i + c] = value(i, c);
            s.solid_strain[6 * i + c] = value(i, 6 + c);
            s.solid_strain_rate[6 * i + c] = value(i, 12 + c);
        }
        s.solid_plastic_strain[i] = value(i, 18);
        s.solid_damage[i] = value(i, 19);
        s.solid_softening[i] = value(i, 20);
        s.solid_strain_rate_eq[i] = value(i, 21);
        // Arrays that are not in the table.
        s.solid_plastic_strain_rate[i] = s.solid_temperature[i] = s.solid_internal_energy[i] = -1.0;
        const int32_t base = 10 * static_cast<int32_t>(i + 1);
        s.solid_failure_status[i] = base;
        s.solid_reference_neighbor_count[i] = base + 1;
        s.solid_reference_degenerate[i] = base + 2;
        s.solid_correction_status[i] = base + 3;
    }
}

struct StateBuffers {
    std::vector<double> values;
    std::vector<int32_t> failure, neighbors, degenerate, correction;
    int32_t count = 99;
    StateBuffers(std::size_t capacity, std::size_t columns)
        : values(capacity * columns, 9.0),
          failure(columns, 9),
          neighbors(columns, 9),
          degenerate(columns, 9),
          correction(columns, 9) {}
    int get(int32_t max_particles, int32_t capacity) {
        return sph_solid_get_state(max_particles, capacity, values.data(), failure.data(), neighbors.data(),
                                   degenerate.data(), correction.data(), count);
    }
};

TEST_F(SolidQueries, StateTableRowsAndColumns) {
    // Three particles (two active solids and a water particle, which is copied as well) in
    // a buffer of 25 rows and 5 columns: rows 0..21 from the arrays in their order, rows
    // 22..24 and columns 3, 4 zero.
    Body water{{9, 0, 0}};
    water.phase = sph_phase_water;
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{1, 0, 0}}, water}));
    fill_state(3);
    StateBuffers b(25, 5);
    ASSERT_EQ(b.get(5, 25), 0) << sph_error_message();
    EXPECT_EQ(b.count, 3);
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        for (std::size_t row = 0; row < 25; ++row) {
            const double expected = i < 3 && row < 22 ? 100.0 * static_cast<double>(i + 1) + static_cast<double>(row + 1) : 0.0;
            EXPECT_EQ(b.values[25 * i + row], expected) << "row " << row;
        }
        const int32_t base = i < 3 ? 10 * static_cast<int32_t>(i + 1) : 0;
        EXPECT_EQ(b.failure[i], base);
        EXPECT_EQ(b.neighbors[i], i < 3 ? base + 1 : 0);
        EXPECT_EQ(b.degenerate[i], i < 3 ? base + 2 : 0);
        EXPECT_EQ(b.correction[i], i < 3 ? base + 3 : 0);
    }
}

TEST_F(SolidQueries, StateTableOfABuiltModel) {
    // Without hand-set values: the tetrahedron as built (softening 1, zero stress, three
    // neighbours and status 0 each) and a lone particle (no neighbour, status 1, degenerate).
    std::vector<Body> bodies = tetrahedron();
    bodies.push_back({{50, 50, 50}});
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    StateBuffers b(22, 5);
    ASSERT_EQ(b.get(5, 22), 0);
    EXPECT_EQ(b.count, 5);
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        for (std::size_t row = 0; row < 22; ++row)
            EXPECT_EQ(b.values[22 * i + row], row == 20 ? 1.0 : 0.0) << "row " << row;
        EXPECT_EQ(b.failure[i], 0);
        EXPECT_EQ(b.neighbors[i], i < 4 ? 3 : 0);
        EXPECT_EQ(b.degenerate[i], i < 4 ? 0 : 1);
        EXPECT_EQ(b.correction[i], i < 4 ? 0 : 1);
    }
    // A failed particle keeps its arrays and is copied like any other: damage 1, softening 0,
    // failure status 2.
    ASSERT_EQ(sph_solid_mark_particle_failed(2), 0);
    ASSERT_EQ(b.get(5, 22), 0);
    EXPECT_EQ(b.values[22 * 2 + 19], 1.0);
    EXPECT_EQ(b.values[22 * 2 + 20], 0.0);
    EXPECT_EQ(b.failure[2], 2);
    EXPECT_EQ(b.neighbors[2], 3);
}

TEST_F(SolidQueries, StateTableRefusals) {
    // Three particles. A buffer too small in rows or of no columns is refused before anything
    // is written; one with fewer columns than particles after the buffers are zeroed.
    struct Case {
        const char* what;
        int32_t max_particles, capacity;
        const char* message;
        bool zeroed;
    };
    const char* too_small = "Solid state buffer is too small";
    const char* too_few = "Solid state particle buffer is too small";
    const Case cases[] = {
        {"21 rows", 5, 21, too_small, false},
        {"no columns", 0, 22, too_small, false},
        {"negative columns", -1, 22, too_small, false},
        {"two columns for three particles", 2, 22, too_few, true},
        {"two columns of 30 rows", 2, 30, too_few, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{1, 0, 0}}, {{2, 0, 0}}}));
        fill_state(3);
        StateBuffers b(30, 5);
        expect_failure(b.get(c.max_particles, c.capacity), c.message);
        EXPECT_EQ(b.count, 0);
        // The refused call may write max_particles columns of `capacity` rows, no more.
        const std::size_t written =
            c.zeroed ? static_cast<std::size_t>(c.max_particles) * static_cast<std::size_t>(c.capacity) : 0;
        for (std::size_t q = 0; q < b.values.size(); ++q)
            EXPECT_EQ(b.values[q], q < written ? 0.0 : 9.0) << "entry " << q;
        for (std::size_t i = 0; i < 5; ++i) {
            const int32_t expected = c.zeroed && i < static_cast<std::size_t>(c.max_particles) ? 0 : 9;
            EXPECT_EQ(b.failure[i], expected) << i;
            EXPECT_EQ(b.neighbors[i], expected) << i;
            EXPECT_EQ(b.degenerate[i], expected) << i;
            EXPECT_EQ(b.correction[i], expected) << i;
        }
    }
}

TEST_F(SolidQueries, StateTableWithoutSolidStateOrParticles) {
    // Particles but no solid material: count npart and every entry 0.
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{1, 0, 0}}}, false));
    StateBuffers b(22, 3);
    ASSERT_EQ(b.get(3, 22), 0) << sph_error_message();
    EXPECT_EQ(b.count, 2);
    EXPECT_EQ(b.values, std::vector<double>(66, 0.0));
    EXPECT_EQ(b.failure, std::vector<int32_t>(3, 0));
    EXPECT_EQ(b.neighbors, std::vector<int32_t>(3, 0));
    EXPECT_EQ(b.degenerate, std::vector<int32_t>(3, 0));
    EXPECT_EQ(b.correction, std::vector<int32_t>(3, 0));

    // No particles at all: count 0, buffers zeroed.
    SetUp();
    StateBuffers empty(22, 1);
    ASSERT_EQ(empty.get(1, 22), 0) << sph_error_message();
    EXPECT_EQ(empty.count, 0);
    EXPECT_EQ(empty.values, std::vector<double>(22, 0.0));
    EXPECT_EQ(empty.failure, std::vector<int32_t>(1, 0));
    EXPECT_EQ(empty.correction, std::vector<int32_t>(1, 0));
}

}  // namespace
