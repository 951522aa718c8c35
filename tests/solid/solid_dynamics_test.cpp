// The solid phase in time: reference state, 3 x 3 inversion, velocity gradient, material
// advance, pair forces, step limits and diagnostics, on small models built in-process
// with values worked by hand, and a large irregular cloud compared against all-pairs
// loops written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_dynamics.h"
#include "solid/sph_solid_material.h"
#include "solid/sph_solid_state.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

using namespace quorrel;

namespace {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;  // column by column
using Sym6 = std::array<double, 6>;  // xx, yy, zz, xy, yz, xz

constexpr double largest = std::numeric_limits<double>::max();

// Offset of entry (k, l) of a column-by-column 3 x 3 matrix, 0-based.
constexpr std::size_t at(int k, int l) { return static_cast<std::size_t>(k + 3 * l); }

// A matrix written row by row, as on paper, stored column by column.
Mat3 rows(std::initializer_list<double> by_row) {
    Mat3 m{};
    std::size_t q = 0;
    for (double value : by_row) {
        m[at(static_cast<int>(q / 3), static_cast<int>(q % 3))] = value;
        ++q;
    }
    return m;
}

const Mat3 identity = rows({1, 0, 0, 0, 1, 0, 0, 0, 1});
const Mat3 zero3{};

Vec3 vec3(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }
Mat3 mat3(const std::vector<double>& a, std::size_t i) {
    Mat3 m{};
    std::copy_n(a.begin() + static_cast<std::ptrdiff_t>(9 * i), 9, m.begin());
    return m;
}
Sym6 sym6(const std::vector<double>& a, std::size_t i) {
    Sym6 s{};
    std::copy_n(a.begin() + static_cast<std::ptrdiff_t>(6 * i), 6, s.begin());
    return s;
}
void set_sym6(std::vector<double>& a, std::size_t i, const Sym6& s) {
    std::copy(s.begin(), s.end(), a.begin() + static_cast<std::ptrdiff_t>(6 * i));
}
void set_vec3(std::vector<double>& a, std::size_t i, const Vec3& v) {
    std::copy(v.begin(), v.end(), a.begin() + static_cast<std::ptrdiff_t>(3 * i));
}

template <std::size_t N>
void expect_near_all(const std::array<double, N>& actual, const std::array<double, N>& expected, double tol,
                     const std::string& what) {
    for (std::size_t q = 0; q < N; ++q) EXPECT_NEAR(actual[q], expected[q], tol) << what << " entry " << q;
}

struct Body {
    Vec3 x0{};
    double h = 1.0, volume = 1.0, mass = 1.0;
    Vec3 v{};
    int32_t phase = sph_phase_solid, status = sph_status_active;
};

// E 2.5, nu 0.25 and density 3 give G = E / (2 (1 + nu)) = 1, K = E / (3 (1 - 2 nu)) = 5/3,
// lambda = K - 2G/3 = 1 and the wave speed sqrt((K + 4G/3) / rho) = sqrt(3 / 3) = 1.
struct Material {
    bool solid = true;  // false: no material names a solid, so no solid state is built
    double density = 3.0, e = 2.5, nu = 0.25;
    bool jc = false;
    // A, B, n, C, m, epsdot0, troom, tmelt: a constant flow stress of 0.25 at room temperature.
    std::array<double, 8> jc_values{0.25, 0.0, 0.0, 0.0, 1.0, 1.0, 293.15, 1793.0};
    bool failure = false;
    std::array<double, 5> d_values{};
};

// The tetrahedron of most hand-worked cases: h 2 (reach 4) joins every pair, so each
// particle has the three others as reference neighbours; the volumes 1, 2, 3, 4 tell a
// weighting by V0_j from one by V0_i or none. Only particle 1 has x != 0 and only
// particle 2 has y != 0, so moving particle 1 or 2 alone is a field linear in x0.
std::vector<Body> tetrahedron() {
    return {{{0, 0, 0}, 2.0, 1.0}, {{1, 0, 0}, 2.0, 2.0}, {{0, 2, 0}, 2.0, 3.0}, {{0, 0, 3}, 2.0, 4.0}};
}

// Reference moment matrices of the tetrahedron, M_i = sum_j V0_j r r^T (r = x0_j - x0_i):
//  M0 = 2 (1,0,0)(1,0,0) + 3 (0,2,0)(0,2,0) + 4 (0,0,3)(0,0,3) = diag(2, 12, 36), det 864.
//  M1 = 1 (-1,0,0).. + 3 (-1,2,0).. + 4 (-1,0,3).. = [8 -6 -12; -6 12 0; -12 0 36],
//       det 8*432 + 6*(-216) - 12*144 = 432, adjugate [432 216 144; 216 144 72; 144 72 60].
//  M2 = 1 (0,-2,0).. + 2 (1,-2,0).. + 4 (0,-2,3).. = [2 -4 0; -4 28 -24; 0 -24 36],
//       det 2*432 + 4*(-144) = 288, adjugate [432 144 96; 144 72 48; 96 48 40].
//  M3 = 1 (0,0,-3).. + 2 (1,0,-3).. + 3 (0,2,-3).. = [2 0 -6; 0 12 -18; -6 -18 54],
//       det 2*324 - 6*72 = 216, adjugate [324 108 72; 108 72 36; 72 36 24].
// Every entry is an integer, so the sums are exact.
const double tetra_det[4] = {864.0, 432.0, 288.0, 216.0};
const Mat3 tetra_c[4] = {
    rows({1.0 / 2, 0, 0, 0, 1.0 / 12, 0, 0, 0, 1.0 / 36}),
    rows({1, 1.0 / 2, 1.0 / 3, 1.0 / 2, 1.0 / 3, 1.0 / 6, 1.0 / 3, 1.0 / 6, 5.0 / 36}),
    rows({3.0 / 2, 1.0 / 2, 1.0 / 3, 1.0 / 2, 1.0 / 4, 1.0 / 6, 1.0 / 3, 1.0 / 6, 5.0 / 36}),
    rows({3.0 / 2, 1.0 / 2, 1.0 / 3, 1.0 / 2, 1.0 / 3, 1.0 / 6, 1.0 / 3, 1.0 / 6, 1.0 / 9}),
};

class SolidDynamics : public test::QuorrelTest {
protected:
    // The particles, one material STEEL with its section, the solid state and, unless
    // `reference` is false, the reference state.
    static void make(const std::vector<Body>& bodies, const Material& m = {}, bool reference = true) {
        const int32_t n = static_cast<int32_t>(bodies.size());
        ASSERT_EQ(sph_db_allocate(n), 0) << sph_error_message();
        SphDatabase& d = sph_database;
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            const Body& b = bodies[i];
            ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), b.x0.data()), 0);
            d.h[i] = b.h;
            d.volume[i] = b.volume;
            d.mass[i] = b.mass;
            set_vec3(d.v, i, b.v);
            d.particle_phase[i] = b.phase;
            d.particle_status[i] = b.status;
            d.material_id[i] = 1;
            d.section_id[i] = 1;
        }
        ASSERT_EQ(sph_db_add_material("STEEL", m.solid ? "SOLID" : "RIGID"), 0);
        ASSERT_EQ(sph_db_set_material_density("STEEL", m.density), 0);
        const int32_t first = 1;
        ASSERT_EQ(sph_db_add_nset("ALL", 1, &first), 0);
        ASSERT_EQ(sph_db_add_section("ALL", "SOLID", "STEEL", 0.0, 0, 0.0, ""), 0) << sph_error_message();
        if (m.solid) {
            sph_solid_note_material("STEEL", "SOLID");
            ASSERT_EQ(sph_solid_set_elastic("STEEL", m.e, m.nu), 0) << sph_error_message();
            if (m.jc) {
                const auto& j = m.jc_values;
                ASSERT_EQ(sph_solid_set_johnson_cook("STEEL", j[0], j[1], j[2], j[3], j[4], j[5], j[6], j[7]), 0)
                    << sph_error_message();
            }
            if (m.failure) {
                ASSERT_EQ(sph_solid_set_failure("STEEL", m.d_values.data()), 0) << sph_error_message();
            }
        }
        ASSERT_EQ(sph_solid_build_state(), 0) << sph_error_message();
        if (reference) {
            ASSERT_EQ(sph_solid_build_reference_state(), 0) << sph_error_message();
        }
    }

    static void expect_failure(int status, const char* message) {
        EXPECT_EQ(status, sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), message);
    }
};

// ---- All-pairs sums written out directly (O(N^2), i ascending, j ascending) ----

bool active_solid(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_solid && d.particle_status[i] == sph_status_active;
}

// Both particles are active solids with 0 < d <= 2 max(h_i, h_j) over x0.
bool reference_pair(const SphDatabase& d, std::size_t i, std::size_t j, double r[3], double& dist) {
    if (i == j || !active_solid(d, i) || !active_solid(d, j)) return false;
    for (std::size_t k = 0; k < 3; ++k) r[k] = d.x0[3 * j + k] - d.x0[3 * i + k];
    dist = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    return dist > 0.0 && dist <= 2.0 * std::max(d.h[i], d.h[j]);
}

// Internal accelerations: e = r/d, mean stress and softening of the pair, t = mean . e,
// f = t V0_i V0_j s / d, added to i over m_i and taken from j over m_j.
std::vector<double> direct_internal_acceleration() {
    const SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    std::vector<double> acc(3 * n, 0.0);
    for (std::size_t i = 0; i + 1 < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            double r[3], dist = 0.0;
            if (!reference_pair(d, i, j, r, dist)) continue;
            const double e[3] = {r[0] / dist, r[1] / dist, r[2] / dist};
            double m[6];
            for (std::size_t c = 0; c < 6; ++c) m[c] = 0.5 * (s.solid_stress[6 * i + c] + s.solid_stress[6 * j + c]);
            const double soft = 0.5 * (s.solid_softening[i] + s.solid_softening[j]);
            const double t[3] = {m[0] * e[0] + m[3] * e[1] + m[5] * e[2], m[3] * e[0] + m[1] * e[1] + m[4] * e[2],
                                 m[5] * e[0] + m[4] * e[1] + m[2] * e[2]};
            const double weight = s.solid_reference_volume[i] * s.solid_reference_volume[j] * soft / dist;
            const double f[3] = {t[0] * weight, t[1] * weight, t[2] * weight};
            if (d.mass[i] > 0.0)
                for (std::size_t k = 0; k < 3; ++k) acc[3 * i + k] += f[k] / d.mass[i];
            if (d.mass[j] > 0.0)
                for (std::size_t k = 0; k < 3; ++k) acc[3 * j + k] -= f[k] / d.mass[j];
        }
    return acc;
}

// Reference moment matrix M_kl = sum_j V0_j r_k r_l and the neighbour count of particle i.
Mat3 direct_moment(std::size_t i, int32_t& count) {
    const SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    Mat3 m{};
    count = 0;
    for (std::size_t j = 0; j < static_cast<std::size_t>(d.npart); ++j) {
        double r[3], dist = 0.0;
        if (!reference_pair(d, i, j, r, dist)) continue;
        ++count;
        for (int l = 0; l < 3; ++l)
            for (int k = 0; k < 3; ++k) m[at(k, l)] += s.solid_reference_volume[j] * r[k] * r[l];
    }
    return m;
}

// Velocity gradients L = G C with G_kl = sum_j V0_j (v_j,k - v_i,k) r_l, for active solids
// of correction status 0; every other particle 0.
std::vector<double> direct_velocity_gradient() {
    const SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    std::vector<double> out(9 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_solid(d, i) || s.solid_correction_status[i] != 0) continue;
        Mat3 g{};
        for (std::size_t j = 0; j < n; ++j) {
            double r[3], dist = 0.0;
            if (!reference_pair(d, i, j, r, dist)) continue;
            double dv[3];
            for (std::size_t k = 0; k < 3; ++k) dv[k] = d.v[3 * j + k] - d.v[3 * i + k];
            for (int l = 0; l < 3; ++l)
                for (int k = 0; k < 3; ++k) g[at(k, l)] += s.solid_reference_volume[j] * dv[k] * r[l];
        }
        const double* c = &s.solid_correction_matrix[9 * i];
        for (int l = 0; l < 3; ++l)
            for (int k = 0; k < 3; ++k)
                out[9 * i + at(k, l)] = g[at(k, 0)] * c[at(0, l)] + g[at(k, 1)] * c[at(1, l)] + g[at(k, 2)] * c[at(2, l)];
    }
    return out;
}

// D = (L11, L22, L33, (L12 + L21)/2, (L23 + L32)/2, (L13 + L31)/2) and the equivalent rate
// sqrt(2/3 (d1^2 + d2^2 + d3^2 + 2 (D4^2 + D5^2 + D6^2))), d_k = D_k - (D1 + D2 + D3)/3.
Sym6 strain_rate_of(const double* l, double& equivalent) {
    const Sym6 rate{l[at(0, 0)], l[at(1, 1)], l[at(2, 2)], 0.5 * (l[at(0, 1)] + l[at(1, 0)]),
                    0.5 * (l[at(1, 2)] + l[at(2, 1)]), 0.5 * (l[at(0, 2)] + l[at(2, 0)])};
    const double mean = (rate[0] + rate[1] + rate[2]) / 3.0;
    const double d1 = rate[0] - mean, d2 = rate[1] - mean, d3 = rate[2] - mean;
    const double sum = d1 * d1 + d2 * d2 + d3 * d3 + 2.0 * (rate[3] * rate[3] + rate[4] * rate[4] + rate[5] * rate[5]);
    equivalent = std::sqrt(std::max(0.0, (2.0 / 3.0) * sum));
    return rate;
}

// ---- Reference state ----

TEST_F(SolidDynamics, ReferenceStateOfSmallClouds) {
    struct Expect {
        int32_t count, status;
        double det;
    };
    struct Case {
        const char* what;
        std::vector<Body> bodies;
        std::vector<Expect> expect;
        const Mat3* c;    // the corrections of status-0 particles; null: not checked
        double det_tol;   // absolute
    };
    const double eps_low = 1e-7, eps_high = 1e-5;
    const double next_after_two = std::nextafter(2.0, 3.0);
    const Case cases[] = {
        // d = 1 <= 2: one neighbour each, too few.
        {"a pair", {{{0, 0, 0}}, {{1, 0, 0}}}, {{1, 1, 0.0}, {1, 1, 0.0}}, nullptr, 0.0},
        // Two neighbours (d 1, 1 and sqrt 2) are still too few: status 1, not an inversion.
        {"a triangle", {{{0, 0, 0}}, {{1, 0, 0}}, {{0, 1, 0}}}, {{2, 1, 0.0}, {2, 1, 0.0}, {2, 1, 0.0}}, nullptr, 0.0},
        {"the tetrahedron", tetrahedron(),
         {{3, 0, tetra_det[0]}, {3, 0, tetra_det[1]}, {3, 0, tetra_det[2]}, {3, 0, tetra_det[3]}}, tetra_c, 0.0},
        // Three neighbours on one line: M has only an xx entry, det 0.
        {"collinear",
         {{{0, 0, 0}, 2.0}, {{1, 0, 0}, 2.0}, {{2, 0, 0}, 2.0}, {{3, 0, 0}, 2.0}},
         {{3, 2, 0.0}, {3, 2, 0.0}, {3, 2, 0.0}, {3, 2, 0.0}}, nullptr, 0.0},
        // A unit square: every distance <= sqrt 2 < 2, M has no z row, det 0.
        {"coplanar",
         {{{0, 0, 0}}, {{1, 0, 0}}, {{0, 1, 0}}, {{1, 1, 0}}},
         {{3, 2, 0.0}, {3, 2, 0.0}, {3, 2, 0.0}, {3, 2, 0.0}}, nullptr, 0.0},
        // The fourth corner raised by eps: for particle 0, M = [2 1 eps; 1 2 eps; eps eps eps^2],
        // det = 2 (2 eps^2 - eps^2) - (eps^2 - eps^2) + eps (eps - 2 eps) = eps^2, and the same
        // for the others. The largest entry is 2, so the bound is 2.22e-13 * 8 = 1.78e-12:
        // eps 1e-7 (det 1e-14) is singular with its determinant kept, eps 1e-5 (det 1e-10) is not.
        {"nearly coplanar, below the bound",
         {{{0, 0, 0}}, {{1, 0, 0}}, {{0, 1, 0}}, {{1, 1, eps_low}}},
         {{3, 2, 1e-14}, {3, 2, 1e-14}, {3, 2, 1e-14}, {3, 2, 1e-14}}, nullptr, 1e-26},
        {"nearly coplanar, above the bound",
         {{{0, 0, 0}}, {{1, 0, 0}}, {{0, 1, 0}}, {{1, 1, eps_high}}},
         {{3, 0, 1e-10}, {3, 0, 1e-10}, {3, 0, 1e-10}, {3, 0, 1e-10}}, nullptr, 1e-22},
        // Reach is twice the larger h, whichever particle has it; d = 2 exactly still counts.
        {"at exactly twice the larger h", {{{0, 0, 0}, 1.0}, {{2, 0, 0}, 0.25}}, {{1, 1, 0.0}, {1, 1, 0.0}}, nullptr,
         0.0},
        {"the larger h second", {{{0, 0, 0}, 0.25}, {{2, 0, 0}, 1.0}}, {{1, 1, 0.0}, {1, 1, 0.0}}, nullptr, 0.0},
        // 1.5 is within 2 max(h) = 2 but beyond 2 min(h) = 0.5 and 2 mean(h) = 1.25.
        {"the larger h decides", {{{0, 0, 0}, 1.0}, {{1.5, 0, 0}, 0.25}}, {{1, 1, 0.0}, {1, 1, 0.0}}, nullptr, 0.0},
        {"just beyond twice h", {{{0, 0, 0}, 1.0}, {{next_after_two, 0, 0}, 1.0}}, {{0, 1, 0.0}, {0, 1, 0.0}},
         nullptr, 0.0},
        // Two particles at one reference position are no pair; each still pairs with the third.
        {"coincident particles", {{{0, 0, 0}}, {{0, 0, 0}}, {{1, 0, 0}}}, {{1, 1, 0.0}, {1, 1, 0.0}, {2, 1, 0.0}},
         nullptr, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make(c.bodies));
        const SphSolidState& s = sph_solid_state;
        for (std::size_t i = 0; i < c.bodies.size(); ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            const Expect& e = c.expect[i];
            EXPECT_EQ(s.solid_reference_neighbor_count[i], e.count);
            EXPECT_EQ(s.solid_correction_status[i], e.status);
            EXPECT_EQ(s.solid_reference_degenerate[i], e.status == 0 ? 0 : 1);
            EXPECT_NEAR(s.solid_correction_determinant[i], e.det, c.det_tol);
            EXPECT_EQ(s.solid_reference_volume[i], c.bodies[i].volume);
            EXPECT_EQ(mat3(s.solid_deformation_gradient, i), identity);
            if (e.status != 0) {
                EXPECT_EQ(mat3(s.solid_correction_matrix, i), identity);
            } else if (c.c != nullptr) {
                expect_near_all(mat3(s.solid_correction_matrix, i), c.c[i], 1e-15, "C");
            }
        }
    }
}

TEST_F(SolidDynamics, ReferenceStateIgnoresParticlesThatAreNoActiveSolid) {
    // The solid build gave every particle of the tetrahedron F = C = I. Particle 3 then turns
    // inactive and particle 2 fails: the reference build clears them to V0 = 0, F = C = 0 and
    // no neighbours, and the other two see one neighbour each (status 1).
    ASSERT_NO_FATAL_FAILURE(make(tetrahedron(), {}, false));
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    EXPECT_EQ(mat3(s.solid_correction_matrix, 3), identity);
    d.particle_status[3] = sph_status_inactive;
    ASSERT_EQ(sph_solid_mark_particle_failed(2), 0);
    ASSERT_EQ(sph_solid_build_reference_state(), 0) << sph_error_message();
    for (std::size_t i : {2u, 3u}) {
        SCOPED_TRACE("particle " + std::to_string(i));
        EXPECT_EQ(s.solid_reference_volume[i], 0.0);
        EXPECT_EQ(mat3(s.solid_deformation_gradient, i), zero3);
        EXPECT_EQ(mat3(s.solid_correction_matrix, i), zero3);
        EXPECT_EQ(s.solid_reference_neighbor_count[i], 0);
        EXPECT_EQ(s.solid_correction_status[i], 0);
        EXPECT_EQ(s.solid_reference_degenerate[i], 0);
        EXPECT_EQ(s.solid_correction_determinant[i], 0.0);
    }
    for (std::size_t i : {0u, 1u}) {
        EXPECT_EQ(s.solid_reference_neighbor_count[i], 1);
        EXPECT_EQ(s.solid_correction_status[i], 1);
        EXPECT_EQ(s.solid_reference_volume[i], static_cast<double>(i + 1));
    }
}

TEST_F(SolidDynamics, ReferenceGeometryComesFromX0) {
    // Current positions far apart (every pair out of reach in x) change neither the
    // neighbours, the corrections nor the pair forces, which all come from x0.
    ASSERT_NO_FATAL_FAILURE(make(tetrahedron()));
    SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    for (std::size_t i = 0; i < 4; ++i) set_sym6(s.solid_stress, i, {1.0 + i, 0.5, -0.25, 0.125 * i, 0.3, -0.7});
    sph_solid_invalidate_forces();
    ASSERT_EQ(sph_solid_compute_internal_acceleration(), 0);
    const std::vector<double> before = s.solid_acc_internal;
    for (std::size_t c = 0; c < d.x.size(); ++c) d.x[c] = 100.0 * d.x0[c] + 7.0 * static_cast<double>(c);
    ASSERT_EQ(sph_solid_build_reference_state(), 0);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.solid_reference_neighbor_count[i], 3);
        EXPECT_EQ(s.solid_correction_determinant[i], tetra_det[i]);
        expect_near_all(mat3(s.solid_correction_matrix, i), tetra_c[i], 1e-15, "C");
    }
    ASSERT_EQ(sph_solid_compute_internal_acceleration(), 0);
    EXPECT_EQ(s.solid_acc_internal, before);
}

TEST_F(SolidDynamics, ReferenceVolumesAndRefusals) {
    // The material density 3 becomes every active solid's rho at the solid build, so a
    // volume <= 0 falls back to mass / rho = 4.5 / 3 = 1.5.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const char* bad_h = "Solid reference state requires positive h";
    const char* bad_volume = "Solid reference state requires positive volume";
    struct Case {
        const char* what;
        double h, volume, mass;
        bool rho_zero;       // rho set to 0 after the solid build
        const char* fails;   // null: builds
        double v0;
    };
    const Case cases[] = {
        {"volume given", 1.0, 2.0, 4.5, false, nullptr, 2.0},
        {"volume 0 from mass and rho", 1.0, 0.0, 4.5, false, nullptr, 1.5},
        {"negative volume from mass and rho", 1.0, -1.0, 4.5, false, nullptr, 1.5},
        {"volume 0 without rho", 1.0, 0.0, 4.5, true, bad_volume, 0.0},
        {"volume 0 and mass 0", 1.0, 0.0, 0.0, false, bad_volume, 0.0},
        {"infinite volume", 1.0, inf, 4.5, false, bad_volume, 0.0},
        {"NaN volume without rho", 1.0, nan, 4.5, true, bad_volume, 0.0},
        {"h 0", 0.0, 1.0, 4.5, false, bad_h, 0.0},
        {"negative h", -1.0, 1.0, 4.5, false, bad_h, 0.0},
        {"NaN h", nan, 1.0, 4.5, false, bad_h, 0.0},
        {"infinite h", inf, 1.0, 4.5, false, bad_h, 0.0},
        // The smoothing length is checked first.
        {"h 0 and no volume", 0.0, 0.0, 0.0, false, bad_h, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        // Particle 1 is good; the case's particle is 2, after it an inactive particle with
        // every value bad, which the build never looks at.
        std::vector<Body> bodies = {{{0, 0, 0}}, {{1, 0, 0}, c.h, c.volume, c.mass}, {{2, 0, 0}, 0.0, 0.0, 0.0}};
        bodies[2].status = sph_status_inactive;
        ASSERT_NO_FATAL_FAILURE(make(bodies, {}, false));
        if (c.rho_zero) sph_database.rho[1] = 0.0;
        const int st = sph_solid_build_reference_state();
        if (c.fails != nullptr) {
            expect_failure(st, c.fails);
            continue;
        }
        ASSERT_EQ(st, 0) << sph_error_message();
        EXPECT_EQ(sph_solid_state.solid_reference_volume[0], 1.0);
        EXPECT_EQ(sph_solid_state.solid_reference_volume[1], c.v0);
        EXPECT_EQ(sph_solid_state.solid_reference_volume[2], 0.0);
    }
    // The first refused particle in index order gives the message.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}, 1.0, 0.0, 0.0}, {{1, 0, 0}, 0.0}}, {}, false));
    expect_failure(sph_solid_build_reference_state(), bad_volume);
}

// ---- 3 x 3 inversion ----

TEST_F(SolidDynamics, InversionOfThreeByThreeMatrices) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto diag = [](double a, double b, double c) { return rows({a, 0, 0, 0, b, 0, 0, 0, c}); };
    auto identity_with = [](std::size_t q, double value) {
        Mat3 m = identity;
        m[q] = value;
        return m;
    };
    struct Case {
        const char* what;
        Mat3 m;
        bool invertible;
        double det;  // NaN: a NaN is expected
        Mat3 inverse;
        double rel_tol;  // of the determinant and of each inverse entry
    };
    const Case cases[] = {
        // The tetrahedron's M1 (see above): adjugate / 432.
        {"symmetric", rows({8, -6, -12, -6, 12, 0, -12, 0, 36}), true, 432.0,
         rows({1, 1.0 / 2, 1.0 / 3, 1.0 / 2, 1.0 / 3, 1.0 / 6, 1.0 / 3, 1.0 / 6, 5.0 / 36}), 1e-15},
        // [2 1 0; 0 1 3; 1 0 1]: det 2 (1) - 1 (0 - 3) = 5, cofactors [1 3 -1; -1 2 1; 3 -6 2],
        // inverse = their transpose / 5 (checked: row 1 . column 1 = (2 + 3)/5 = 1).
        {"not symmetric", rows({2, 1, 0, 0, 1, 3, 1, 0, 1}), true, 5.0,
         rows({0.2, -0.2, 0.6, 0.6, 0.4, -1.2, -0.2, 0.2, 0.4}), 1e-15},
        // The bound is 2.22e-13 max(2.2250738585072014e-308, s^3), s the largest |entry|.
        {"unit scale, det at 1e-13 of s^3", diag(1, 1, 1e-13), false, 1e-13, zero3, 1e-15},
        // A determinant equal to the bound is refused.
        {"unit scale, det at the bound", diag(1, 1, 2.220446049250313e-13), false, 2.220446049250313e-13, zero3, 0.0},
        {"unit scale, det just above the bound", diag(1, 1, std::nextafter(2.220446049250313e-13, 1.0)), true,
         std::nextafter(2.220446049250313e-13, 1.0), diag(1, 1, 1.0 / std::nextafter(2.220446049250313e-13, 1.0)),
         1e-15},
        {"unit scale, det at 1e-12 of s^3", diag(1, 1, 1e-12), true, 1e-12, diag(1, 1, 1e12), 1e-15},
        // Scaled down by 1e-10 (s^3 = 1e-30, bound 2.22e-43): 1e-43 is refused, 1e-42 is not,
        // where an absolute bound of 2.2e-13 would refuse both.
        {"small scale, refused", diag(1e-10, 1e-10, 1e-23), false, 1e-43, zero3, 1e-14},
        {"small scale, kept", diag(1e-10, 1e-10, 1e-22), true, 1e-42, diag(1e10, 1e10, 1e22), 1e-14},
        // Scaled up (s^3 = 1e30, bound 2.22e17): det 1e17 is refused, 1e18 kept.
        {"large scale, refused", diag(1e10, 1e10, 1e-3), false, 1e17, zero3, 1e-14},
        {"large scale, kept", diag(1e10, 1e10, 1e-2), true, 1e18, diag(1e-10, 1e-10, 1e2), 1e-14},
        // s^3 = 1e-309 lies below the smallest normal, so the bound is 2.22e-13 * 2.2250738585072014e-308
        // = 4.94e-321: a det of 1e-321 is refused (2.22e-13 s^3 = 2.2e-322 would keep it), one of
        // 1e-316 kept. Both determinants are subnormal, rounded to a few digits.
        {"tiny scale, below the floor", diag(1e-103, 1e-103, 1e-115), false, 1e-321, zero3, 1e-2},
        {"tiny scale, above the floor", diag(1e-103, 1e-103, 1e-110), true, 1e-316, diag(1e103, 1e103, 1e110), 1e-6},
        {"zero matrix", zero3, false, 0.0, zero3, 0.0},
        {"a NaN entry", identity_with(at(1, 1), nan), false, nan, zero3, 0.0},
        {"an infinite entry", identity_with(at(0, 2), inf), false, nan, zero3, 0.0},
        {"a negative infinite entry", identity_with(at(0, 0), -inf), false, -inf, zero3, 0.0},
        {"an entry above half the largest double", identity_with(at(2, 1), 1e308), false, 1.0, zero3, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Mat3 inverse;
        inverse.fill(7.0);
        double det = -7.0;
        bool invertible = !c.invertible;
        sph_solid_invert_3x3(c.m.data(), inverse.data(), det, invertible);
        EXPECT_EQ(invertible, c.invertible);
        if (std::isnan(c.det)) {
            EXPECT_TRUE(std::isnan(det)) << det;
        } else if (std::isinf(c.det)) {
            EXPECT_EQ(det, c.det);
        } else {
            EXPECT_NEAR(det, c.det, c.rel_tol * std::fabs(c.det)) << det;
            EXPECT_EQ(sph_solid_det3(c.m.data()), det);
        }
        for (std::size_t q = 0; q < 9; ++q)
            EXPECT_NEAR(inverse[q], c.inverse[q], c.rel_tol * std::fabs(c.inverse[q])) << "inverse entry " << q;
    }
}

TEST_F(SolidDynamics, MatrixFinitenessStopsAtHalfTheLargestDouble) {
    const double half = 8.988465674311579e307;
    struct Case {
        double value;
        bool finite;
    };
    const Case cases[] = {{half, true},
                          {-half, true},
                          {std::nextafter(half, largest), false},
                          {-std::nextafter(half, largest), false},
                          {std::numeric_limits<double>::infinity(), false},
                          {std::numeric_limits<double>::quiet_NaN(), false},
                          {0.0, true}};
    for (const Case& c : cases)
        for (std::size_t q = 0; q < 9; ++q) {
            Mat3 m = identity;
            m[q] = c.value;
            EXPECT_EQ(sph_solid_matrix_is_finite(m.data()), c.finite) << c.value << " at entry " << q;
        }
}

// ---- Velocity gradient and material advance ----

TEST_F(SolidDynamics, VelocityGradientStrainAndStressOfSetVelocities) {
    // On the tetrahedron a velocity field linear in x0 is recovered exactly at every particle
    // (G = L0 M). Particle 1 (x0 = (1,0,0)) moving (a, b, 0) is v = L0 x0 with L0_xx = a,
    // L0_yx = b; particle 2 (x0 = (0,2,0)) moving (0, 0, c) adds L0_zy = c/2. With
    // a = 0.25, b = 0.5, c = 1: D = (a, 0, 0, b/2, c/4, 0) = (0.25, 0, 0, 0.25, 0.25, 0).
    // Equivalent rate: d = (2a/3, -a/3, -a/3), sum = 6a^2/9 + 2 (b^2/4 + c^2/16) = 1/24 + 1/4,
    // 2/3 sum = 7/36. Without particle 2: sum = 1/24 + 1/8, 2/3 sum = 1/9.
    // dt 0.5 gives the strain increment D/2; the elastic trial with G = 1, lambda = 1 from 0:
    // s_k = 2 de_k + tr (k <= 3), s_k = 2 de_k (shears): tr = 0.125, so
    // s = (0.375, 0.125, 0.125, 0.25, 0.25, 0) (c = 0: s5 = 0). F = I + dt L0.
    const double a = 0.25, b = 0.5, dt = 0.5;
    struct Case {
        const char* what;
        Vec3 v1, v2, all;  // `all` is added to every particle's velocity
        Mat3 l;
        Sym6 rate;
        double eq;
        Sym6 stress;
    };
    const Case cases[] = {
        {"rigid translation", {0, 0, 0}, {0, 0, 0}, {3, -1, 2}, zero3, {}, 0.0, {}},
        {"particle 1 pushed", {a, b, 0}, {0, 0, 0}, {0, 0, 0}, rows({a, 0, 0, b, 0, 0, 0, 0, 0}),
         {0.25, 0, 0, 0.25, 0, 0}, 1.0 / 3.0, {0.375, 0.125, 0.125, 0.25, 0, 0}},
        {"particles 1 and 2 pushed, all translated", {a, b, 0}, {0, 0, 1}, {-2, 5, 0.5},
         rows({a, 0, 0, b, 0, 0, 0, 0.5, 0}), {0.25, 0, 0, 0.25, 0.25, 0}, std::sqrt(7.0) / 6.0,
         {0.375, 0.125, 0.125, 0.25, 0.25, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<Body> bodies = tetrahedron();
        bodies[1].v = c.v1;
        bodies[2].v = c.v2;
        for (Body& body : bodies)
            for (std::size_t k = 0; k < 3; ++k) body.v[k] += c.all[k];
        ASSERT_NO_FATAL_FAILURE(make(bodies));
        const SphSolidState& s = sph_solid_state;
        ASSERT_EQ(sph_solid_compute_velocity_gradient(), 0);
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            expect_near_all(mat3(s.solid_velocity_gradient, i), c.l, 1e-15, "L");
            expect_near_all(sym6(s.solid_strain_rate, i), c.rate, 1e-15, "D");
            EXPECT_NEAR(s.solid_strain_rate_eq[i], c.eq, 1e-15);
            SphSymTensor inc{};
            inc.fill(9.0);
            ASSERT_EQ(sph_solid_compute_particle_strain_increment(static_cast<int32_t>(i), dt, inc), 0);
            Sym6 half_rate{};
            for (std::size_t q = 0; q < 6; ++q) half_rate[q] = 0.5 * c.rate[q];
            expect_near_all(Sym6(inc), half_rate, 1e-15, "strain increment");
        }
        ASSERT_EQ(sph_solid_advance_material(dt), 0) << sph_error_message();
        Mat3 f = identity;
        for (std::size_t q = 0; q < 9; ++q) f[q] += dt * c.l[q];
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            expect_near_all(sym6(s.solid_stress, i), c.stress, 1e-15, "stress");
            Sym6 strain{};
            for (std::size_t q = 0; q < 6; ++q) strain[q] = dt * c.rate[q];
            expect_near_all(sym6(s.solid_strain, i), strain, 1e-15, "strain");
            expect_near_all(mat3(s.solid_deformation_gradient, i), f, 1e-15, "F");
        }
    }
}

TEST_F(SolidDynamics, DeformationGradientIsUpdatedAsIPlusDtLTimesF) {
    // Particle 1 pushed (0.25, 0.5, 0): L0 = a ex ex + b ey ex with a = 0.25, b = 0.5, dt 0.5.
    // From F = I, two advances give (I + dt L0)^2 = I + (2 dt + dt^2 a) L0 (L0^2 = a L0):
    // F_xx = 1 + 1.0625 * 0.25 = 1.265625, F_yx = 1.0625 * 0.5 = 0.53125.
    // From F = I + ex ey (set by hand on particle 0): (I + dt L0) F = F + dt (L0 + a ex ey + b ey ey)
    // gives F_xx 1.125, F_yx 0.25, F_xy 1.125, F_yy 1.25, F_zz 1; the other order,
    // F (I + dt L0) = F + dt (L0 + b ex ex), would give F_xx 1.375, F_xy 1, F_yy 1.
    std::vector<Body> bodies = tetrahedron();
    bodies[1].v = {0.25, 0.5, 0};
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    SphSolidState& s = sph_solid_state;
    const Mat3 sheared = rows({1, 1, 0, 0, 1, 0, 0, 0, 1});
    std::copy(sheared.begin(), sheared.end(), s.solid_deformation_gradient.begin());
    ASSERT_EQ(sph_solid_advance_material(0.5), 0);
    expect_near_all(mat3(s.solid_deformation_gradient, 0), rows({1.125, 1.125, 0, 0.25, 1.25, 0, 0, 0, 1}), 1e-15,
                    "sheared F");
    std::copy(sheared.begin(), sheared.end(), s.solid_deformation_gradient.begin());
    ASSERT_EQ(sph_solid_advance_material(0.5), 0);
    for (std::size_t i = 1; i < 4; ++i)
        expect_near_all(mat3(s.solid_deformation_gradient, i), rows({1.265625, 0, 0, 0.53125, 1, 0, 0, 0, 1}), 1e-15,
                        "F after two advances, particle " + std::to_string(i));
}

TEST_F(SolidDynamics, PlasticFlowAndFailureOfAPushedParticle) {
    // Particle 1 pushed (0, 0.5, 0): L0_yx = 0.5, D = (0, 0, 0, 0.25, 0, 0), dt 0.5 gives
    // de4 = 0.125 at every particle. Trial s4 = 2G de4 = 0.25, q = sqrt(1.5 * 2 * 0.25^2)
    // = sqrt(0.1875). The flow stress is A = 0.25 (B = 0, C = 0, room temperature), so
    // dep = (q - 0.25) / 3G = 0.0610042339640731 and the deviator is scaled by 0.25 / q:
    // s4 = 0.25 * 0.25 / q = 0.14433756729740643. With damage constants D1 only, the failure
    // strain is D1: damage dep / D1, softening 1 - damage, stored stress s4 * softening.
    const double q = std::sqrt(0.1875);
    const double dep = (q - 0.25) / 3.0;
    const double s4 = 0.0625 / q;
    struct Case {
        const char* what;
        bool failure;
        double d1;
        double damage;
        bool failed;
    };
    const Case cases[] = {
        {"no damage constants", false, 0.0, 0.0, false},
        {"damage short of 1", true, 0.1, dep / 0.1, false},
        {"damage reaches 1", true, 0.05, 1.0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<Body> bodies = tetrahedron();
        bodies[1].v = {0, 0.5, 0};
        Material m;
        m.jc = true;
        m.failure = c.failure;
        m.d_values = {c.d1, 0, 0, 0, 0};
        ASSERT_NO_FATAL_FAILURE(make(bodies, m));
        const SphDatabase& d = sph_database;
        const SphSolidState& s = sph_solid_state;
        ASSERT_EQ(sph_solid_advance_material(0.5), 0) << sph_error_message();
        const double softening = 1.0 - c.damage;
        // Every particle had its gradient before any of them failed: all four share one history.
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            EXPECT_NEAR(s.solid_plastic_strain[i], dep, 1e-15);
            EXPECT_NEAR(s.solid_plastic_strain_rate[i], dep / 0.5, 1e-15);
            EXPECT_NEAR(s.solid_damage[i], c.damage, 1e-14);
            EXPECT_NEAR(s.solid_softening[i], softening, 1e-14);
            expect_near_all(sym6(s.solid_stress, i), Sym6{0, 0, 0, s4 * softening, 0, 0}, 1e-15, "stress");
            expect_near_all(sym6(s.solid_strain, i), Sym6{0, 0, 0, 0.125, 0, 0}, 1e-15, "strain");
            EXPECT_EQ(d.particle_phase[i], c.failed ? sph_phase_solid_failed : sph_phase_solid);
            EXPECT_EQ(d.particle_status[i], c.failed ? sph_status_failed : sph_status_active);
            EXPECT_EQ(s.solid_failure_status[i], c.failed ? 2 : 0);
        }
        if (!c.failed) continue;
        // Failed particles leave every pair loop: no gradient, no force, no further update.
        const std::vector<double> stress = s.solid_stress, strain = s.solid_strain;
        ASSERT_EQ(sph_solid_advance_material(0.5), 0) << sph_error_message();
        EXPECT_EQ(s.solid_stress, stress);
        EXPECT_EQ(s.solid_strain, strain);
        for (double value : s.solid_velocity_gradient) EXPECT_EQ(value, 0.0);
        ASSERT_EQ(sph_solid_compute_acceleration(), 0);
        for (double value : s.solid_acc_internal) EXPECT_EQ(value, 0.0);
        int32_t active = -1, failed = -1;
        sph_solid_get_counts(active, failed);
        EXPECT_EQ(active, 0);
        EXPECT_EQ(failed, 4);
    }
}

TEST_F(SolidDynamics, UnderconstrainedParticlesKeepAZeroGradientButExchangeForces) {
    // A pair (status 1) and a collinear row (status 2), both moving apart: no gradient, no
    // strain, the stress set by hand stays (elastic, softening 1), yet the pair force acts.
    struct Case {
        const char* what;
        std::vector<Body> bodies;
    };
    const Case cases[] = {
        {"a pair", {{{0, 0, 0}}, {{1, 0, 0}, 1.0, 1.0, 1.0, {1, 0, 0}}}},
        {"a collinear row",
         {{{0, 0, 0}, 2.0}, {{1, 0, 0}, 2.0, 1.0, 1.0, {1, 0, 0}}, {{2, 0, 0}, 2.0, 1.0, 1.0, {2, 0.5, 0}},
          {{3, 0, 0}, 2.0, 1.0, 1.0, {3, 0, -1}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make(c.bodies));
        SphSolidState& s = sph_solid_state;
        const Sym6 stress{1.0, 0, 0, 0, 0, 0};
        for (std::size_t i = 0; i < c.bodies.size(); ++i) set_sym6(s.solid_stress, i, stress);
        sph_solid_invalidate_forces();
        ASSERT_EQ(sph_solid_advance_material(0.5), 0) << sph_error_message();
        for (std::size_t i = 0; i < c.bodies.size(); ++i) {
            EXPECT_NE(s.solid_correction_status[i], 0);
            EXPECT_EQ(mat3(s.solid_velocity_gradient, i), zero3);
            EXPECT_EQ(sym6(s.solid_strain, i), Sym6{});
            EXPECT_EQ(sym6(s.solid_stress, i), stress);
            EXPECT_EQ(mat3(s.solid_deformation_gradient, i), identity);
        }
        ASSERT_EQ(sph_solid_compute_acceleration(), 0);
        // Particle 0 is pulled towards its neighbours on +x (tension s_xx = 1).
        EXPECT_GT(s.solid_acc_internal[0], 0.0);
    }
}

TEST_F(SolidDynamics, MaterialAdvanceRefusesANonPositiveStep) {
    // The gradients come first; the step is refused at the first active solid, before any
    // stress, strain or F changes. A model without an active solid reaches no particle.
    for (double dt : {0.0, -0.5}) {
        SCOPED_TRACE(dt);
        SetUp();
        std::vector<Body> bodies = tetrahedron();
        bodies[1].v = {0.25, 0.5, 0};
        ASSERT_NO_FATAL_FAILURE(make(bodies));
        const SphSolidState& s = sph_solid_state;
        expect_failure(sph_solid_advance_material(dt), "Solid strain update requires positive dt");
        for (std::size_t i = 0; i < 4; ++i) {
            expect_near_all(mat3(s.solid_velocity_gradient, i), rows({0.25, 0, 0, 0.5, 0, 0, 0, 0, 0}), 1e-15, "L");
            EXPECT_EQ(sym6(s.solid_stress, i), Sym6{});
            EXPECT_EQ(sym6(s.solid_strain, i), Sym6{});
            EXPECT_EQ(mat3(s.solid_deformation_gradient, i), identity);
        }
        SetUp();
        for (Body& body : bodies) body.status = sph_status_inactive;
        ASSERT_NO_FATAL_FAILURE(make(bodies));
        EXPECT_EQ(sph_solid_advance_material(dt), 0);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make(bodies, Material{false}));
        EXPECT_EQ(sph_solid_advance_material(dt), 0);
    }
}

TEST_F(SolidDynamics, StrainIncrementChecksIndexThenStep) {
    std::vector<Body> bodies = tetrahedron();
    bodies[1].v = {0.25, 0.5, 0};
    bodies.push_back({{9, 9, 9}});
    bodies.back().status = sph_status_inactive;
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    ASSERT_EQ(sph_solid_compute_velocity_gradient(), 0);
    SphSymTensor inc{};
    inc.fill(9.0);
    expect_failure(sph_solid_compute_particle_strain_increment(-1, 0.0, inc),
                   "Solid strain particle index is out of range");
    EXPECT_EQ(inc, SphSymTensor{});
    inc.fill(9.0);
    expect_failure(sph_solid_compute_particle_strain_increment(5, 1.0, inc), "Solid strain particle index is out of range");
    EXPECT_EQ(inc, SphSymTensor{});
    inc.fill(9.0);
    expect_failure(sph_solid_compute_particle_strain_increment(0, 0.0, inc), "Solid strain update requires positive dt");
    EXPECT_EQ(inc, SphSymTensor{});
    // An inactive particle gets no increment even with a stored rate.
    sph_solid_state.solid_strain_rate[6 * 4] = 3.0;
    inc.fill(9.0);
    ASSERT_EQ(sph_solid_compute_particle_strain_increment(4, 1.0, inc), 0);
    EXPECT_EQ(inc, SphSymTensor{});
}

// ---- Forces ----

TEST_F(SolidDynamics, PairForceByHand) {
    // x0 (0,0,0) and (2,1,2): d = 3, e = (2/3, 1/3, 2/3); V0 2 and 3, masses 4 and 5,
    // softening 0.5 and 1 (mean 0.75).
    // s_a = (6, 0, 1.5, 3, 0, 0), s_b = (0, 3, 0, 3, 2, 3): mean (3, 1.5, 0.75, 3, 1, 1.5).
    // t_x = 3*2/3 + 3*1/3 + 1.5*2/3 = 4; t_y = 3*2/3 + 1.5*1/3 + 1*2/3 = 19/6;
    // t_z = 1.5*2/3 + 1*1/3 + 0.75*2/3 = 11/6. weight = 2 * 3 * 0.75 / 3 = 1.5,
    // f = (6, 4.75, 2.75): the first particle gets f/4 = (1.5, 1.1875, 0.6875), the second
    // -f/5 = (-1.2, -0.95, -0.55), whichever index each has.
    const Sym6 sa{6, 0, 1.5, 3, 0, 0}, sb{0, 3, 0, 3, 2, 3};
    const Vec3 acc_a{1.5, 1.1875, 0.6875}, acc_b{-1.2, -0.95, -0.55};
    const Vec3 body_force{0.5, -1.0, 2.0};
    // A particle without mass receives nothing; its partner still gets its share.
    struct Case {
        const char* what;
        bool swapped;  // b has index 0
        bool a_massless, b_massless;
    };
    const Case cases[] = {{"a first", false, false, false},
                          {"b first", true, false, false},
                          {"b without mass", false, false, true},
                          {"a without mass", false, true, false},
                          {"b first without mass", true, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Body a{{0, 0, 0}, 2.0, 2.0, c.a_massless ? 0.0 : 4.0}, b{{2, 1, 2}, 2.0, 3.0, c.b_massless ? 0.0 : 5.0};
        const std::size_t ia = c.swapped ? 1 : 0, ib = 1 - ia;
        ASSERT_NO_FATAL_FAILURE(make(c.swapped ? std::vector<Body>{b, a} : std::vector<Body>{a, b}));
        SphSolidState& s = sph_solid_state;
        set_sym6(s.solid_stress, ia, sa);
        set_sym6(s.solid_stress, ib, sb);
        s.solid_softening[ia] = 0.5;
        s.solid_softening[ib] = 1.0;
        sph_solid_invalidate_forces();
        ASSERT_EQ(sph_solid_set_body_force(body_force.data()), 0);
        ASSERT_EQ(sph_solid_compute_acceleration(), 0);
        const Vec3 expect_a = c.a_massless ? Vec3{} : acc_a, expect_b = c.b_massless ? Vec3{} : acc_b;
        expect_near_all(vec3(s.solid_acc_internal, ia), expect_a, 1e-15, "internal a");
        expect_near_all(vec3(s.solid_acc_internal, ib), expect_b, 1e-15, "internal b");
        Vec3 total_a{}, total_b{};
        for (std::size_t k = 0; k < 3; ++k) {
            total_a[k] = expect_a[k] + body_force[k];
            total_b[k] = expect_b[k] + body_force[k];
        }
        expect_near_all(vec3(sph_database.a, ia), total_a, 1e-15, "a of a");
        expect_near_all(vec3(sph_database.a, ib), total_b, 1e-15, "a of b");
    }
}

TEST_F(SolidDynamics, ZeroStressGivesTheBodyForceByAssignment) {
    // Every a starts at 99; active solids end with the body force exactly, the inactive
    // and the failed particle keep what they held.
    std::vector<Body> bodies = tetrahedron();
    bodies.push_back({{0.5, 0.5, 0.5}, 2.0});
    bodies.back().status = sph_status_inactive;
    bodies.push_back({{0.5, 0.0, 0.5}, 2.0});
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    ASSERT_EQ(sph_solid_mark_particle_failed(5), 0);
    SphDatabase& d = sph_database;
    std::fill(d.a.begin(), d.a.end(), 99.0);
    const Vec3 g{1.0, -2.0, 3.0};
    ASSERT_EQ(sph_solid_set_body_force(g.data()), 0);
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(vec3(d.a, i), g) << "particle " << i;
    EXPECT_EQ(vec3(d.a, 4), (Vec3{99, 99, 99}));
    EXPECT_EQ(vec3(d.a, 5), (Vec3{99, 99, 99}));
    for (double value : sph_solid_state.solid_acc_internal) EXPECT_EQ(value, 0.0);
}

TEST_F(SolidDynamics, BodyForceMustBeFinite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Vec3 kept{1.0, -2.0, 3.0};
    ASSERT_EQ(sph_solid_set_body_force(kept.data()), 0);
    EXPECT_EQ(sph_solid_state.solid_body_force, kept);
    for (std::size_t k = 0; k < 3; ++k)
        for (double bad : {nan, inf, -inf}) {
            Vec3 force{0.5, 0.5, 0.5};
            force[k] = bad;
            expect_failure(sph_solid_set_body_force(force.data()), "Solid body force must be finite");
            EXPECT_EQ(sph_solid_state.solid_body_force, kept) << "component " << k << " = " << bad;
        }
    const Vec3 large{-1e300, 0.0, 1e300};
    ASSERT_EQ(sph_solid_set_body_force(large.data()), 0);
    EXPECT_EQ(sph_solid_state.solid_body_force, large);
}

// An irregular cloud: a jittered lattice of `side`^3 points of spacing 0.1, some points left
// out, varied h, volumes and masses. Every seventh h is larger, so the larger h of a pair
// often decides.
std::vector<Body> irregular_cloud(int side, int skip_every, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.03, 0.03), unit(0.0, 1.0);
    std::vector<Body> bodies;
    int q = 0;
    for (int ix = 0; ix < side; ++ix)
        for (int iy = 0; iy < side; ++iy)
            for (int iz = 0; iz < side; ++iz, ++q) {
                if (skip_every > 0 && q % skip_every == 3) continue;
                Body b;
                b.x0 = {0.1 * ix + jitter(rng), 0.1 * iy + jitter(rng), 0.1 * iz + jitter(rng)};
                b.h = (q % 7 == 0 ? 0.14 : 0.11) + 0.01 * unit(rng);
                b.volume = 0.001 * (0.8 + 0.4 * unit(rng));
                b.mass = 0.003 * (0.8 + 0.4 * unit(rng));
                bodies.push_back(b);
            }
    return bodies;
}

TEST_F(SolidDynamics, InternalForcesBalanceOnARandomCloud) {
    // Each pair adds f to one particle and takes it from the other: the mass-weighted sum
    // vanishes to rounding, and the residual diagnostic is that sum's length.
    std::vector<Body> bodies = irregular_cloud(5, 11, 7);
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    SphSolidState& s = sph_solid_state;
    const SphDatabase& d = sph_database;
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> value(-1.0, 1.0), soft(0.2, 1.0);
    const std::size_t n = bodies.size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < 6; ++c) s.solid_stress[6 * i + c] = value(rng);
        s.solid_softening[i] = soft(rng);
    }
    for (int32_t i : {4, 17, 40}) ASSERT_EQ(sph_solid_mark_particle_failed(i), 0);
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    double sum[3] = {0, 0, 0}, scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_solid(d, i)) {
            EXPECT_EQ(vec3(s.solid_acc_internal, i), Vec3{}) << "failed particle " << i;
            continue;
        }
        for (std::size_t k = 0; k < 3; ++k) {
            sum[k] += d.mass[i] * s.solid_acc_internal[3 * i + k];
            scale += std::fabs(d.mass[i] * s.solid_acc_internal[3 * i + k]);
        }
    }
    ASSERT_GT(scale, 0.0);
    const double residual = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    EXPECT_LT(residual, 1e-14 * scale);
    ASSERT_EQ(sph_solid_update_diagnostics(), 0);
    EXPECT_NEAR(d.solid_internal_force_residual, residual, 1e-15 * scale);
}

TEST_F(SolidDynamics, KeptForceIsReusedUntilTheStressChanges) {
    // The force of the current stresses is kept: a second call, the step-limit estimate and
    // the summary reuse it (a stress written by hand without saying so is not seen), and a
    // material advance, a failure or an explicit invalidation brings a fresh one.
    std::vector<Body> bodies = tetrahedron();
    bodies[1].v = {0.25, 0.5, 0};
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    SphSolidState& s = sph_solid_state;
    for (std::size_t i = 0; i < 4; ++i) set_sym6(s.solid_stress, i, {0.1 * i, -0.2, 0.3, 0.05 * i, 0.0, -0.1});
    sph_solid_invalidate_forces();
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    const std::vector<double> first = s.solid_acc_internal;
    EXPECT_EQ(first, direct_internal_acceleration());

    set_sym6(s.solid_stress, 2, {5, 5, 5, 5, 5, 5});
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    EXPECT_EQ(s.solid_acc_internal, first);
    double cfl = 0, accel = 0, limit = 0;
    ASSERT_EQ(sph_solid_estimate_dt_limits(cfl, accel, limit), 0);
    EXPECT_EQ(s.solid_acc_internal, first);

    sph_solid_invalidate_forces();
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    const std::vector<double> second = s.solid_acc_internal;
    EXPECT_NE(second, first);
    EXPECT_EQ(second, direct_internal_acceleration());

    ASSERT_EQ(sph_solid_advance_material(0.5), 0);
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    EXPECT_NE(s.solid_acc_internal, second);
    EXPECT_EQ(s.solid_acc_internal, direct_internal_acceleration());

    ASSERT_EQ(sph_solid_mark_particle_failed(0), 0);
    ASSERT_EQ(sph_solid_compute_acceleration(), 0);
    EXPECT_EQ(vec3(s.solid_acc_internal, 0), Vec3{});
    EXPECT_EQ(s.solid_acc_internal, direct_internal_acceleration());
}

// ---- Step limits ----

TEST_F(SolidDynamics, StepLimits) {
    // A pair at x0 (0,0,0) and (1,0,0) with h 1 and 0.5, masses 1, wave speed 1:
    // at rest dt_cfl = min(1/1, 0.5/1) = 0.5 and dt_accel falls back to it.
    const char* bad = "invalid Solid state for dt estimate";
    struct Case {
        const char* what;
        std::function<void()> edit;  // after the build
        Material m;
        double cfl, accel, limit;    // also the three database values
        const char* fails = nullptr;
        Vec3 a0{};                   // a of particle 0 after the estimate
    };
    const Material plain;
    const std::vector<Case> cases = {
        {"no solid state", [] {}, Material{false}, largest, largest, 0.0},
        {"no active solid",
         [] { std::fill(sph_database.particle_status.begin(), sph_database.particle_status.end(), 1); }, plain, 0.0,
         0.0, 0.0},
        {"at rest", [] {}, plain, 0.5, 0.5, 0.5},
        // |v| = 5 on particle 0: 1 / (1 + 5).
        {"moving", [] { set_vec3(sph_database.v, 0, {3, 4, 0}); }, plain, 1.0 / 6.0, 1.0 / 6.0, 1.0 / 6.0},
        // |a| = 16 at both: min(sqrt(1/16), sqrt(0.5/16)) = sqrt(1/32) < 0.5.
        {"accelerated, the acceleration limit smaller",
         [] {
             const double g[3] = {0, 0, -16};
             ASSERT_EQ(sph_solid_set_body_force(g), 0);
         },
         plain, 0.5, std::sqrt(1.0 / 32.0), std::sqrt(1.0 / 32.0), nullptr, {0, 0, -16}},
        // |a| = 0.5: min(sqrt(2), 1) = 1 > 0.5, so the limit stays dt_cfl.
        {"accelerated, the acceleration limit larger",
         [] {
             const double g[3] = {0, 0.5, 0};
             ASSERT_EQ(sph_solid_set_body_force(g), 0);
         },
         plain, 0.5, 1.0, 0.5, nullptr, {0, 0.5, 0}},
        // s_xx = 8 at both: f = 8 * 1 * 1 * 1 / 1 along +x on particle 0, |a| = 8:
        // min(sqrt(1/8), sqrt(0.5/8)) = 0.25. The accelerations are recomputed by the estimate.
        {"accelerated by the stress",
         [] {
             sph_solid_state.solid_stress[0] = sph_solid_state.solid_stress[6] = 8.0;
             sph_solid_invalidate_forces();
         },
         plain, 0.5, 0.25, 0.25, nullptr, {8, 0, 0}},
        // A particle whose material has no solid slot is skipped, even with h 0.
        {"a particle without a slot",
         [] {
             sph_database.material_id[1] = 2;
             sph_database.h[1] = 0.0;
         },
         plain, 1.0, 1.0, 1.0},
        {"h 0", [] { sph_database.h[1] = 0.0; }, plain, 0, 0, 0, bad},
        {"negative h", [] { sph_database.h[0] = -1.0; }, plain, 0, 0, 0, bad},
        {"NaN h", [] { sph_database.h[1] = std::numeric_limits<double>::quiet_NaN(); }, plain, 0, 0, 0, bad},
        {"wave speed 0", [] { sph_solid_state.solid_wave_speed[0] = 0.0; }, plain, 0, 0, 0, bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}, 1.0}, {{1, 0, 0}, 0.5}}, c.m));
        ASSERT_NO_FATAL_FAILURE(c.edit());
        SphDatabase& d = sph_database;
        d.solid_dt_cfl = d.solid_dt_accel = d.solid_dtcrit = 7.0;
        double cfl = -1, accel = -1, limit = -1;
        const int st = sph_solid_estimate_dt_limits(cfl, accel, limit);
        if (c.fails != nullptr) {
            expect_failure(st, c.fails);
            continue;
        }
        ASSERT_EQ(st, 0) << sph_error_message();
        EXPECT_DOUBLE_EQ(cfl, c.cfl);
        EXPECT_DOUBLE_EQ(accel, c.accel);
        EXPECT_DOUBLE_EQ(limit, c.limit);
        const bool stored = c.m.solid;
        EXPECT_DOUBLE_EQ(d.solid_dt_cfl, stored ? c.cfl : 0.0);
        EXPECT_DOUBLE_EQ(d.solid_dt_accel, stored ? c.accel : 0.0);
        EXPECT_DOUBLE_EQ(d.solid_dtcrit, stored ? c.limit : 0.0);
        if (stored && d.particle_status[0] == 0) expect_near_all(vec3(d.a, 0), c.a0, 1e-15, "a");
    }
}

TEST_F(SolidDynamics, PhaseLimitTakesTheSmallestPositiveLimitTimesSafety) {
    // A solid pair at rest with h 1 (solid limit 1) and a water particle far away; water with
    // c0 10 and no viscosity terms gives min(h/10, h/10, h/10) = h/10. Safety 0.5.
    struct Case {
        const char* what;
        double water_h;
        bool water_active, solids_active;
        double phase;   // the phase limit
        double stable;  // the stable step (dt_default 10 when no limit is positive)
    };
    const Case cases[] = {
        {"water smaller", 1.0, true, true, 0.05, 0.05},
        {"solid smaller", 20.0, true, true, 0.5, 0.5},
        {"solid only", 1.0, false, true, 0.5, 0.5},
        {"water only", 1.0, true, false, 0.05, 0.05},
        {"neither", 1.0, false, false, 0.0, 10.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Body water{{100, 0, 0}, c.water_h};
        water.phase = sph_phase_water;
        water.status = c.water_active ? sph_status_active : sph_status_inactive;
        std::vector<Body> bodies = {{{0, 0, 0}}, {{1, 0, 0}}, water};
        if (!c.solids_active) bodies[0].status = bodies[1].status = sph_status_inactive;
        ASSERT_NO_FATAL_FAILURE(make(bodies));
        sph_water.water_c0 = 10.0;
        sph_water.water_visc_alpha = sph_water.water_visc_beta = 0.0;
        sph_control.safety_factor = 0.5;
        sph_control.dt_default = 10.0;
        double phase = -1.0, stable = -1.0;
        ASSERT_EQ(sph_solver_phase_dt(phase), 0) << sph_error_message();
        EXPECT_DOUBLE_EQ(phase, c.phase);
        ASSERT_EQ(sph_solver_estimate_stable_dt(stable), 0) << sph_error_message();
        EXPECT_DOUBLE_EQ(stable, c.stable);
        EXPECT_DOUBLE_EQ(sph_database.solid_dtcrit, c.solids_active ? 1.0 : 0.0);
    }
}

// ---- Diagnostics ----

TEST_F(SolidDynamics, DiagnosticsOfAHandSetModel) {
    // Particles 0..2 are active solids; 3 (phase 8, status 2), 4 (water, status 2) and 6
    // (phase 8, status 0) count as failed; 5 (inactive solid) counts as neither. Every
    // particle that is no active solid holds values that would move every result.
    struct Values {
        double m;
        Vec3 v, a;
        double e;
        Sym6 stress;
        double ep, damage, softening, eq;
        Vec3 acc;
        int32_t count;
        double det;
        int32_t status;
    };
    const Values noise{100, {50, 50, 50}, {1000, 0, 0}, 50, {100, -100, 0, 90, 0, 0}, -5, 2, -1, 99, {7, 7, 7}, 0,
                       -10, 2};
    // Von Mises: (1,0,0,..) gives 1, a pure shear s4 = 1 gives sqrt(1.5 * 2) = sqrt 3, a mean
    // stress alone 0.
    const Values values[7] = {
        {1, {1, 0, 0}, {3, 4, 0}, 2.0, {1, 0, 0, 0, 0, 0}, 0.3, 0.2, 0.8, 0.5, {1, 2, 3}, 4, 5.0, 0},
        {2, {0, 1, -1}, {0, 0, -2}, 1.0, {0, 0, 0, 1, 0, 0}, 0.1, 0.4, 0.6, 0.25, {-0.5, -1, -1}, 3, 2.0, 1},
        {3, {0, 0, 2}, {0, 0, 0}, 0.5, {2, 2, 2, 0, 0, 0}, 0.2, 0.1, 0.9, 1.5, {1, 0, 0}, 6, 7.0, 0},
        noise, noise, noise, noise};
    const int32_t phase[7] = {4, 4, 4, 8, 1, 4, 8}, status[7] = {0, 0, 0, 2, 2, 1, 0};
    std::vector<Body> bodies;
    for (std::size_t i = 0; i < 7; ++i) {
        Body b{{static_cast<double>(i), 0, 0}};
        b.phase = phase[i];
        b.status = status[i];
        bodies.push_back(b);
    }
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    for (std::size_t i = 0; i < 7; ++i) {
        const Values& x = values[i];
        d.mass[i] = x.m;
        set_vec3(d.v, i, x.v);
        set_vec3(d.a, i, x.a);
        s.solid_internal_energy[i] = x.e;
        set_sym6(s.solid_stress, i, x.stress);
        s.solid_plastic_strain[i] = x.ep;
        s.solid_damage[i] = x.damage;
        s.solid_softening[i] = x.softening;
        s.solid_strain_rate_eq[i] = x.eq;
        set_vec3(s.solid_acc_internal, i, x.acc);
        s.solid_reference_neighbor_count[i] = x.count;
        s.solid_correction_determinant[i] = x.det;
        s.solid_correction_status[i] = x.status;
    }
    d.solid_dt_cfl = 0.1;
    d.solid_dt_accel = 0.2;
    d.solid_dtcrit = 0.3;
    ASSERT_EQ(sph_solid_update_diagnostics(), 0);
    EXPECT_EQ(d.solid_particle_count, 3);
    EXPECT_EQ(d.solid_failed_count, 3);
    EXPECT_EQ(d.solid_mass, 6.0);
    // 1 (1,0,0) + 2 (0,1,-1) + 3 (0,0,2); energy 1/2 (1*1 + 2*2 + 3*4); 1*2 + 2*1 + 3*0.5.
    EXPECT_EQ(d.solid_momentum, (Vec3{1, 2, 4}));
    EXPECT_DOUBLE_EQ(d.solid_kinetic_energy, 8.5);
    EXPECT_DOUBLE_EQ(d.solid_internal_energy_total, 5.5);
    EXPECT_DOUBLE_EQ(d.solid_max_von_mises, std::sqrt(3.0));
    EXPECT_EQ(d.solid_min_plastic_strain, 0.1);
    EXPECT_EQ(d.solid_max_plastic_strain, 0.3);
    EXPECT_EQ(d.solid_min_damage, 0.1);
    EXPECT_EQ(d.solid_max_damage, 0.4);
    EXPECT_EQ(d.solid_min_softening, 0.6);
    EXPECT_EQ(d.solid_max_softening, 0.9);
    EXPECT_DOUBLE_EQ(d.solid_max_acceleration, 5.0);
    EXPECT_EQ(d.solid_max_strain_rate, 1.5);
    // (1,2,3) + 2 (-0.5,-1,-1) + 3 (1,0,0) = (3, 0, 1).
    EXPECT_DOUBLE_EQ(d.solid_internal_force_residual, std::sqrt(10.0));
    EXPECT_EQ(d.solid_reference_neighbor_min, 3);
    EXPECT_EQ(d.solid_correction_det_min, 2.0);
    EXPECT_EQ(d.solid_correction_status_max, 1);
    EXPECT_EQ(d.solid_dt_cfl, 0.1);
    EXPECT_EQ(d.solid_dt_accel, 0.2);
    EXPECT_EQ(d.solid_dtcrit, 0.3);

    int32_t active = -1, failed = -1;
    sph_solid_get_counts(active, failed);
    EXPECT_EQ(active, 3);
    EXPECT_EQ(failed, 3);
    const bool is_active[7] = {true, true, true, false, false, false, false};
    const bool is_failed[7] = {false, false, false, true, true, false, true};
    for (int32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(sph_solid_is_active(i), is_active[i]) << i;
        EXPECT_EQ(sph_solid_is_failed(i), is_failed[i]) << i;
    }
    for (int32_t i : {-1, 7}) {
        EXPECT_FALSE(sph_solid_is_active(i));
        EXPECT_FALSE(sph_solid_is_failed(i));
    }
}

TEST_F(SolidDynamics, DiagnosticsWithoutStateOrWithoutActiveSolids) {
    struct Case {
        const char* what;
        bool solid, active;
        double dt;  // the kept dt values after the refresh
    };
    const Case cases[] = {{"no solid state", false, true, 0.0}, {"no active solid", true, false, 0.25}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<Body> bodies = {{{0, 0, 0}}, {{1, 0, 0}}};
        if (!c.active) bodies[0].status = bodies[1].status = sph_status_inactive;
        ASSERT_NO_FATAL_FAILURE(make(bodies, Material{c.solid}));
        SphDatabase& d = sph_database;
        d.solid_particle_count = d.solid_failed_count = d.solid_reference_neighbor_min = 9;
        d.solid_mass = d.solid_min_softening = d.solid_max_softening = 9.0;
        d.solid_dt_cfl = d.solid_dt_accel = d.solid_dtcrit = 0.25;
        ASSERT_EQ(sph_solid_update_diagnostics(), 0);
        EXPECT_EQ(d.solid_particle_count, 0);
        EXPECT_EQ(d.solid_failed_count, 0);
        EXPECT_EQ(d.solid_reference_neighbor_min, 0);
        EXPECT_EQ(d.solid_mass, 0.0);
        EXPECT_EQ(d.solid_min_softening, 0.0);
        EXPECT_EQ(d.solid_max_softening, 0.0);
        EXPECT_EQ(d.solid_dt_cfl, c.dt);
        EXPECT_EQ(d.solid_dt_accel, c.dt);
        EXPECT_EQ(d.solid_dtcrit, c.dt);
    }
}

TEST_F(SolidDynamics, SummaryRecomputesTheAccelerationsWhenAsked) {
    // A pair at rest with h 1: the limits are (1, 1, 1). A body force of |g| = 4 set after
    // that, with a left at 0, shows up in the summary's limits: dt_accel = sqrt(1/4).
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{1, 0, 0}}}));
    double cfl = 0, accel = 0, limit = 0;
    ASSERT_EQ(sph_solid_estimate_dt_limits(cfl, accel, limit), 0);
    EXPECT_EQ(limit, 1.0);
    const double g[3] = {0, 0, -4};
    ASSERT_EQ(sph_solid_set_body_force(g), 0);
    SphDatabase& d = sph_database;
    std::fill(d.a.begin(), d.a.end(), 0.0);
    int32_t active = -1, failed = -1;
    double mass = -1, momentum[3], energy[2], von_mises = -1, plastic[2], damage[2], softening[2], limits[3];
    ASSERT_EQ(sph_solid_get_summary(active, failed, mass, momentum, energy, von_mises, plastic, damage, softening,
                                    limits),
              0);
    EXPECT_EQ(active, 2);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(mass, 2.0);
    EXPECT_EQ((Vec3{momentum[0], momentum[1], momentum[2]}), Vec3{});
    EXPECT_EQ(energy[0], 0.0);
    EXPECT_EQ(energy[1], 0.0);
    EXPECT_EQ(von_mises, 0.0);
    EXPECT_EQ(plastic[0], 0.0);
    EXPECT_EQ(plastic[1], 0.0);
    EXPECT_EQ(damage[0], 0.0);
    EXPECT_EQ(damage[1], 0.0);
    EXPECT_EQ(softening[0], 1.0);
    EXPECT_EQ(softening[1], 1.0);
    EXPECT_EQ(limits[0], 1.0);
    EXPECT_EQ(limits[1], 0.5);
    EXPECT_EQ(limits[2], 0.5);
    EXPECT_EQ(d.solid_dtcrit, 0.5);
    EXPECT_EQ(vec3(d.a, 1), (Vec3{0, 0, -4}));

    // A refused estimate ends the summary with the counts not yet set.
    d.h[0] = 0.0;
    expect_failure(sph_solid_get_summary(active, failed, mass, momentum, energy, von_mises, plastic, damage, softening,
                                         limits),
                   "invalid Solid state for dt estimate");
    EXPECT_EQ(active, 0);
    EXPECT_EQ(mass, 0.0);
    EXPECT_EQ(softening[0], 0.0);

    // Without solid state: zeros, and the estimate's largest double twice and 0.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(make({{{0, 0, 0}}, {{1, 0, 0}}}, Material{false}));
    ASSERT_EQ(sph_solid_get_summary(active, failed, mass, momentum, energy, von_mises, plastic, damage, softening,
                                    limits),
              0);
    EXPECT_EQ(active, 0);
    EXPECT_EQ(mass, 0.0);
    EXPECT_EQ(softening[1], 0.0);
    EXPECT_EQ(limits[0], largest);
    EXPECT_EQ(limits[1], largest);
    EXPECT_EQ(limits[2], 0.0);
}

// ---- The kept pairs against all-pairs loops ----

// What a step changes in the solid state and the particle flags.
struct Snapshot {
    SphSolidState solid;
    std::vector<int32_t> phase, status;
    static Snapshot take() { return {sph_solid_state, sph_database.particle_phase, sph_database.particle_status}; }
    void restore() const {
        sph_solid_state = solid;
        sph_database.particle_phase = phase;
        sph_database.particle_status = status;
        sph_solid_invalidate_forces();
    }
};

TEST_F(SolidDynamics, KeptPairsGiveTheAllPairsResultsBitForBit) {
    // 498 jittered lattice points, one far away (no neighbour, status 1) and one off a corner,
    // Johnson-Cook flow with damage, a straining velocity field with noise and ten particles
    // failed from the start; more fail on the way. Each step of the solver is compared with
    // the sums written out above: the forces and accelerations it moved with, the moved
    // positions and velocities, and after the material advance (repeated from the saved
    // state with gradients from the all-pairs loop) gradients, rates, stresses and the rest.
    std::vector<Body> bodies = irregular_cloud(8, 37, 2024);
    ASSERT_EQ(bodies.size(), 498u);
    bodies.push_back({{5, 5, 5}, 0.12, 0.001, 0.003});
    bodies.push_back({{-0.2, -0.2, -0.2}, 0.12, 0.001, 0.003});
    ASSERT_EQ(bodies.size(), 500u);
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    const double l0[3][3] = {{0.6, 0.2, 0.0}, {0.1, -0.4, 0.2}, {0.0, 0.3, 0.3}};
    for (Body& b : bodies)
        for (int k = 0; k < 3; ++k)
            b.v[k] = l0[k][0] * b.x0[0] + l0[k][1] * b.x0[1] + l0[k][2] * b.x0[2] + noise(rng);
    Material m;
    m.jc = true;
    m.jc_values = {0.002, 0.01, 0.5, 0.01, 1.0, 1.0, 293.15, 1793.0};
    m.failure = true;
    m.d_values = {0.1, 0.1, -1.5, 0.01, 0.0};
    ASSERT_NO_FATAL_FAILURE(make(bodies, m));
    const double g[3] = {0.0, 0.0, -0.5};
    ASSERT_EQ(sph_solid_set_body_force(g), 0);
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t n = bodies.size();

    // The reference state against the directly summed moment matrices.
    int32_t degenerate = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_solid(d, i)) continue;
        int32_t count = 0;
        const Mat3 moment = direct_moment(i, count);
        ASSERT_EQ(s.solid_reference_neighbor_count[i], count) << i;
        if (count <= 2) {
            ++degenerate;
            EXPECT_EQ(s.solid_correction_status[i], 1) << i;
            continue;
        }
        Mat3 inverse{};
        double det = 0.0;
        bool invertible = false;
        sph_solid_invert_3x3(moment.data(), inverse.data(), det, invertible);
        ASSERT_TRUE(invertible) << i;
        EXPECT_EQ(s.solid_correction_determinant[i], det) << i;
        EXPECT_EQ(mat3(s.solid_correction_matrix, i), inverse) << i;
    }
    EXPECT_GE(degenerate, 1);
    // Failures after the reference build leave it as it is; the failed particles drop out
    // of the sums.
    for (int32_t i = 5; i < 500; i += 50) ASSERT_EQ(sph_solid_mark_particle_failed(i), 0);

    const double dt = 0.02;
    const int32_t failed_at_start = 10;
    for (int step = 0; step < 8; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        std::vector<bool> active(n);
        for (std::size_t i = 0; i < n; ++i) active[i] = active_solid(d, i);
        const std::vector<double> acc = direct_internal_acceleration();
        std::vector<double> a = d.a, x = d.x, v = d.v;
        for (std::size_t i = 0; i < n; ++i) {
            if (!active[i]) continue;
            for (std::size_t k = 0; k < 3; ++k) {
                const std::size_t c = 3 * i + k;
                a[c] = acc[c] + g[k];
                const double vhalf = v[c] + (dt * 0.5) * a[c];
                x[c] = x[c] + dt * vhalf;
                v[c] = vhalf + (dt * 0.5) * a[c];
            }
        }
        const Snapshot before = Snapshot::take();
        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        ASSERT_EQ(s.solid_acc_internal, acc);
        for (std::size_t i = 0; i < n; ++i) {
            if (!active[i]) continue;
            ASSERT_EQ(vec3(d.a, i), vec3(a, i)) << i;
            ASSERT_EQ(vec3(d.x, i), vec3(x, i)) << i;
            ASSERT_EQ(vec3(d.v, i), vec3(v, i)) << i;
        }
        const Snapshot after = Snapshot::take();

        // The same advance from the saved state, with the all-pairs gradients.
        before.restore();
        const std::vector<double> l = direct_velocity_gradient();
        ASSERT_EQ(after.solid.solid_velocity_gradient, l);
        for (std::size_t i = 0; i < n; ++i) {
            double eq = 0.0;
            const Sym6 rate = strain_rate_of(&l[9 * i], eq);
            ASSERT_EQ(sym6(after.solid.solid_strain_rate, i), rate) << i;
            ASSERT_EQ(after.solid.solid_strain_rate_eq[i], eq) << i;
        }
        SphSolidState& w = sph_solid_state;
        for (std::size_t i = 0; i < n; ++i) {
            if (!active_solid(d, i)) continue;
            double eq = 0.0;
            const Sym6 rate = strain_rate_of(&l[9 * i], eq);
            SphSymTensor inc{};
            for (std::size_t c = 0; c < 6; ++c) inc[c] = rate[c] * dt;
            // F = (I + dt L) F.
            const double* li = &l[9 * i];
            const double* fi = &w.solid_deformation_gradient[9 * i];
            Mat3 step_matrix{}, f{};
            for (std::size_t q = 0; q < 9; ++q) step_matrix[q] = dt * li[q];
            for (int k = 0; k < 3; ++k) step_matrix[at(k, k)] += 1.0;
            for (int col = 0; col < 3; ++col)
                for (int k = 0; k < 3; ++k)
                    f[at(k, col)] = step_matrix[at(k, 0)] * fi[at(0, col)] + step_matrix[at(k, 1)] * fi[at(1, col)] +
                                    step_matrix[at(k, 2)] * fi[at(2, col)];
            std::copy(f.begin(), f.end(), w.solid_deformation_gradient.begin() + static_cast<std::ptrdiff_t>(9 * i));
            ASSERT_EQ(sph_solid_update_particle_material(static_cast<int32_t>(i), inc, dt), 0) << sph_error_message();
        }
        EXPECT_EQ(w.solid_stress, after.solid.solid_stress);
        EXPECT_EQ(w.solid_strain, after.solid.solid_strain);
        EXPECT_EQ(w.solid_plastic_strain, after.solid.solid_plastic_strain);
        EXPECT_EQ(w.solid_damage, after.solid.solid_damage);
        EXPECT_EQ(w.solid_softening, after.solid.solid_softening);
        EXPECT_EQ(w.solid_deformation_gradient, after.solid.solid_deformation_gradient);
        EXPECT_EQ(d.particle_phase, after.phase);
        EXPECT_EQ(d.particle_status, after.status);
        after.restore();
        if (HasFailure()) break;
    }
    int32_t active = 0, failed = 0;
    sph_solid_get_counts(active, failed);
    EXPECT_GT(failed, failed_at_start);  // the run did fail particles on its own
    EXPECT_GT(active, 100);
}

TEST_F(SolidDynamics, LinearFieldGivesItsGradientOnAnIrregularCloud) {
    // G = sum_j V0_j (L0 r) r^T = L0 M for any neighbourhood, so L = G M^-1 = L0 at every
    // particle of status 0, whatever its neighbours; D is the symmetric part of L0.
    std::vector<Body> bodies = irregular_cloud(6, 13, 5);
    const double l0[3][3] = {{0.7, -1.3, 0.4}, {2.1, 0.2, -0.9}, {-0.6, 1.7, -1.1}};
    const double offset[3] = {3.0, -2.0, 0.5};
    for (Body& b : bodies)
        for (int k = 0; k < 3; ++k)
            b.v[k] = l0[k][0] * b.x0[0] + l0[k][1] * b.x0[1] + l0[k][2] * b.x0[2] + offset[k];
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    ASSERT_EQ(sph_solid_compute_velocity_gradient(), 0);
    double norm = 0.0;
    for (const auto& row : l0)
        for (double value : row) norm += value * value;
    const double tol = 1e-12 * std::sqrt(norm);
    const Sym6 rate{0.7, 0.2, -1.1, 0.5 * (-1.3 + 2.1), 0.5 * (-0.9 + 1.7), 0.5 * (0.4 - 0.6)};
    const SphSolidState& s = sph_solid_state;
    int32_t checked = 0;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        if (s.solid_correction_status[i] != 0) continue;
        ++checked;
        for (int k = 0; k < 3; ++k)
            for (int l = 0; l < 3; ++l)
                ASSERT_NEAR(s.solid_velocity_gradient[9 * i + at(k, l)], l0[k][l], tol)
                    << "particle " << i << " L(" << k << "," << l << ")";
        for (std::size_t q = 0; q < 6; ++q) ASSERT_NEAR(s.solid_strain_rate[6 * i + q], rate[q], tol) << i;
    }
    EXPECT_GT(checked, 150);
}

}  // namespace

namespace {

using SolidAtLevel = test::AtEveryLevel<SolidDynamics>;
INSTANTIATE_TEST_SUITE_P(Levels, SolidAtLevel, test::every_level, test::level_name);

}  // namespace

TEST_P(SolidAtLevel, PairSumsMatchTheAllPairsLoopsBitForBit) {
    // The pair force and the velocity gradient of every vector level against the all-pairs
    // loops above: a jittered cloud whose lists differ in length (two smoothing lengths,
    // gaps), particles that failed after the reference build (they drop out of both sums
    // as partners and as centres), one massless and one with negative mass (both take no
    // force, give theirs to their partners), and a particle count that leaves a partial
    // group of lanes at the end.
    std::vector<Body> bodies = irregular_cloud(6, 13, 31);
    ASSERT_EQ(bodies.size(), 199u);
    bodies.resize(195);  // 24 groups of eight and three
    bodies[20].mass = 0.0;
    bodies[41].mass = -0.002;
    ASSERT_NO_FATAL_FAILURE(make(bodies));
    SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const std::size_t n = bodies.size();
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-1.0, 1.0), soft(0.2, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < 6; ++c) s.solid_stress[6 * i + c] = value(rng);
        s.solid_softening[i] = soft(rng);
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * i + k] = value(rng);
    }
    // Some lists are longer than the kernels' block of 64 positions, others far shorter.
    ASSERT_TRUE(sph_solid_dynamics.solid_pairs_current);
    const std::vector<int64_t>& offset = sph_solid_dynamics.solid_pair_offset;
    int64_t longest = 0, shortest = offset[1] - offset[0];
    for (std::size_t i = 0; i < n; ++i) {
        longest = std::max(longest, offset[i + 1] - offset[i]);
        shortest = std::min(shortest, offset[i + 1] - offset[i]);
    }
    EXPECT_GT(longest, 64);
    EXPECT_LT(shortest, 40);
    for (int32_t i : {0, 9, 57, 100}) ASSERT_EQ(sph_solid_mark_particle_failed(i), 0);
    sph_solid_invalidate_forces();

    ASSERT_EQ(sph_solid_compute_internal_acceleration(), 0) << sph_error_message();
    // Only the vector kernels pack records: a vector level that fell back to the loops
    // would compare them with themselves.
    EXPECT_EQ(sph_solid_dynamics.solid_pair_records.empty(), GetParam() == SphSimd::scalar);
    const std::vector<double> acc = direct_internal_acceleration();
    int forced = 0;
    for (std::size_t i = 0; i < n; ++i) forced += vec3(acc, i) != Vec3{};
    EXPECT_GT(forced, 150);
    EXPECT_EQ(vec3(acc, 20), Vec3{});
    EXPECT_EQ(vec3(acc, 41), Vec3{});
    for (std::size_t q = 0; q < acc.size(); ++q)
        ASSERT_EQ(std::memcmp(&s.solid_acc_internal[q], &acc[q], sizeof(double)), 0) << q;

    // Whatever the arrays held before, the failed and fallen-back particles end with 0.
    std::fill(s.solid_velocity_gradient.begin(), s.solid_velocity_gradient.end(), 7.0);
    std::fill(s.solid_strain_rate.begin(), s.solid_strain_rate.end(), 7.0);
    std::fill(s.solid_strain_rate_eq.begin(), s.solid_strain_rate_eq.end(), 7.0);
    ASSERT_EQ(sph_solid_compute_velocity_gradient(), 0) << sph_error_message();
    for (int32_t i : {0, 9, 57, 100}) {
        EXPECT_EQ(sym6(s.solid_strain_rate, static_cast<std::size_t>(i)), Sym6{}) << i;
        EXPECT_EQ(s.solid_strain_rate_eq[static_cast<std::size_t>(i)], 0.0) << i;
    }
    const std::vector<double> l = direct_velocity_gradient();
    for (std::size_t q = 0; q < l.size(); ++q)
        ASSERT_EQ(std::memcmp(&s.solid_velocity_gradient[q], &l[q], sizeof(double)), 0) << q;
}
