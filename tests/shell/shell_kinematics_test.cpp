// The shell kinematic layer: the explicit director step and the frame it rebuilds, the
// least-squares in-plane gradients and the strains, bending and through-thickness point
// strains they give, the two per-particle setters, and what each operation does without
// shell state. Models come from short decks; displacements and director fields are then
// written by hand into the built model.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "quorrel_test.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_index.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

using Vec3 = std::array<double, 3>;
using Lines = std::vector<std::string>;

Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 scale(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }
Vec3 minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 unit(const Vec3& a) { return scale(1.0 / std::sqrt(dot(a, a)), a); }

Vec3 at(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }
void put(std::vector<double>& a, std::size_t i, const Vec3& v) {
    for (std::size_t k = 0; k < 3; ++k) a[3 * i + k] = v[k];
}

void expect_vec(const Vec3& actual, const Vec3& expected, double tol, const char* what) {
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(actual[k], expected[k], tol) << what << " component " << k;
}

// Shortest text that reads back as the same double, whatever the locale.
std::string num(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

Lines cat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Lines node_set(const std::string& name, int first, int last) {
    Lines out = {"*NSET, NSET=" + name};
    std::string line;
    for (int id = first; id <= last; ++id) line += (line.empty() ? "" : ", ") + std::to_string(id);
    out.push_back(line);
    return out;
}

std::string shell_section(const std::string& set_option, const std::string& options) {
    return "*SHELL SECTION, " + set_option + ", MATERIAL=PLATE, " + options;
}

// The orientation AXES: director (0, 0, 1), tangent (1, 0, 0).
const Lines axes = {"*ORIENTATION, NAME=AXES", "0.0, 0.0, 1.0, 1.0, 0.0, 0.0"};

// Nodes 1..n at `nodes`, the shell material PLATE (with the density and elastic data the
// build asks for) and the cards given; every particle keeps mass 1 and volume 1.
Lines shell_deck(const std::vector<Vec3>& nodes, const Lines& cards) {
    Lines out = {"** Shell kinematics fixture", "*NODE"};
    for (std::size_t i = 0; i < nodes.size(); ++i)
        out.push_back(std::to_string(i + 1) + ", " + num(nodes[i][0]) + ", " + num(nodes[i][1]) + ", " +
                      num(nodes[i][2]));
    for (const char* l : {"*MATERIAL, NAME=PLATE, TYPE=SHELL", "*DENSITY", "7800.0", "*ELASTIC", "2.0e11, 0.3"})
        out.emplace_back(l);
    out.insert(out.end(), cards.begin(), cards.end());
    out.emplace_back("*QUORREL, TIME CONTROL, DT=1.0e-6, TIME=1.0e-5, STEPS=10");
    return out;
}

// The unit square in z = 0, nodes 1..4 at (0,0), (1,0), (0,1), (1,1).
const std::vector<Vec3> square = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};

// A node-set section on the square: the cloud normal (1,0,0) x (0,1,0) = (0,0,1) is already
// of unit length, the cloud tangent is node 2 - node 1, so every particle has the frame
// e1 = (1,0,0), e2 = (0,1,0), e3 = (0,0,1) and director status 3 (geometry).
Lines cloud_square(const Lines& extra = {}) {
    return shell_deck(square, cat({node_set("SKIN", 1, 4), extra,
                                   {shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3")}}));
}

// The square under the orientation AXES: director (0,0,1) (status 2), e1 = (1,0,0).
Lines axes_square(const Lines& extra = {}) {
    return shell_deck(square, cat({node_set("SKIN", 1, 4), axes, extra,
                                   {shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3, ORIENTATION=AXES")}}));
}

// A linear field with local gradient L (rows: components along e1, e2, e3; columns: along
// e1, e2, e3) about `origin`: u(x) = sum L[c][k] e_c (e_k . (x - origin)) + shift.
struct Field {
    double L[3][3];
};

Vec3 apply(const Field& f, const Vec3 e[3], const Vec3& r) {
    Vec3 u{0, 0, 0};
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) u = add(u, scale(f.L[c][k] * dot(e[k], r), e[c]));
    return u;
}

// Moves every particle i in [first, last) to x0 + field(x0 - origin) + shift.
void displace(const Field& f, const Vec3 e[3], const Vec3& origin, const Vec3& shift, std::size_t first,
              std::size_t last) {
    SphDatabase& d = sph_database;
    for (std::size_t i = first; i < last; ++i) {
        const Vec3 x0 = at(d.x0, i);
        put(d.x, i, add(add(x0, apply(f, e, minus(x0, origin))), shift));
    }
}

// Gauss-Legendre points on [-1/2, 1/2] in closed form.
std::vector<double> gauss_points(int n) {
    if (n == 3) return {-std::sqrt(0.6) / 2.0, 0.0, std::sqrt(0.6) / 2.0};
    const double outer = std::sqrt(5.0 + 2.0 * std::sqrt(10.0 / 7.0)) / 6.0;
    const double inner = std::sqrt(5.0 - 2.0 * std::sqrt(10.0 / 7.0)) / 6.0;
    return {-outer, -inner, 0.0, inner, outer};
}

constexpr std::size_t P = sph_shell_max_integration_points;

class ShellKinematics : public test::DeckTest {
protected:
    void build(const Lines& lines) {
        ASSERT_EQ(sph_input_read(write_deck(lines)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        ASSERT_TRUE(sph_shell_state_present());
        sph_error_clear();
    }
    // The failure must be the call's own: the error state is cleared after each check.
    static void expect_failure(int status, int code, const std::string& message) {
        EXPECT_EQ(status, code);
        EXPECT_EQ(sph_error_code(), code);
        EXPECT_EQ(sph_error_message(), message);
        sph_error_clear();
    }
    static Vec3 director(std::size_t i) { return at(sph_shell_state.shell_director, i); }
    static Vec3 e1(std::size_t i) { return at(sph_shell_state.shell_local_e1, i); }
    static Vec3 e2(std::size_t i) { return at(sph_shell_state.shell_local_e2, i); }
    static Vec3 e3(std::size_t i) { return at(sph_shell_state.shell_local_e3, i); }
    static Vec3 omega(std::size_t i) { return at(sph_shell_state.shell_omega, i); }
};

// ---- Director step ----

TEST_F(ShellKinematics, DirectorStepIsOneExplicitStepAndRebuildsTheFrame) {
    // Particle 0 (node 1, set SPIN) turns with omega; the others have omega 0. The new
    // director is unit(d + dt omega x d) with d = (0,0,1); the frame is rebuilt from the
    // section's tangent t: e1 = unit(t - (t.e3) e3), e2 = e3 x e1.
    //   omega (1,0,0), dt 0.1: omega x d = (0,-1,0), d' = (0,-0.1,1)/sqrt(1.01) (an exact
    //   rotation by 0.1 rad would give (0,-sin 0.1, cos 0.1)); length error sqrt(1.01) - 1.
    //   Cloud tangent (1,0,0) is normal to d': e1 = (1,0,0), e2 = (0,-0.1,1) x (1,0,0) = (0,1,0.1).
    //   omega (0,1,0), dt 0.5: omega x d = (1,0,0), d' = (0.5,0,1)/sqrt(1.25);
    //   e1 ~ (1,0,0) - (0.5/1.25)(0.5,0,1) = (0.8,0,-0.4) ~ (2,0,-1), e2 ~ (0,2.5,0).
    //   omega along d: no change.
    //   The element section lists its quad as nodes 2, 4, 3, 1: the tangent is the first
    //   edge, node 4 - node 2 = (0,1,0). After the (1,0,0) step:
    //   e1 ~ (0,1,0) + (0.1/1.01)(0,-0.1,1) ~ (0,1,0.1), e2 = (0,-0.1,1) x (0,1,0.1) / 1.01 = (-1,0,0).
    //   The orientation's tangent is (1,1,0)/sqrt 2: e1 ~ (1,1,0) + (0.1/1.01)(0,-0.1,1) ~ (1.01,1,0.1),
    //   e2 ~ (0,-0.1,1) x (1.01,1,0.1) = (-1.01,1.01,0.101).
    const Lines spin = node_set("SPIN", 1, 1);
    auto rotation = [](const char* o) { return "*QUORREL, SHELL ROTATION, SET=SPIN, " + std::string(o); };
    auto cloud = [&](const char* o) { return cloud_square(cat({spin, {rotation(o)}})); };
    const Lines element = shell_deck(
        square, {"*ELEMENT, TYPE=S4", "1, 2, 4, 3, 1", "*ELSET, ELSET=SKIN", "1", spin[0], spin[1],
                 rotation("OX=1.0, OY=0.0, OZ=0.0"), shell_section("ELSET=SKIN", "THICKNESS=0.01, POINTS=3")});
    const Lines oriented = shell_deck(
        square, cat({node_set("SKIN", 1, 4), spin, {"*ORIENTATION, NAME=DIAG", "0.0, 0.0, 1.0, 1.0, 1.0, 0.0"},
                     {rotation("OX=1.0, OY=0.0, OZ=0.0"),
                      shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3, ORIENTATION=DIAG")}}));
    struct Case {
        const char* what;
        Lines deck;
        double dt;
        Vec3 director, e1, e2;  // unnormalised
        double length_error, max_omega;
        int32_t status;
    };
    const double r101 = std::sqrt(1.01) - 1.0;
    const Case cases[] = {
        {"about e1, cloud tangent", cloud("OX=1.0, OY=0.0, OZ=0.0"), 0.1, {0, -0.1, 1}, {1, 0, 0}, {0, 1, 0.1}, r101,
         1.0, sph_shell_director_geometry},
        {"about e2, tangent tilted out of the plane", cloud("OX=0.0, OY=1.0, OZ=0.0"), 0.5, {0.5, 0, 1}, {2, 0, -1},
         {0, 1, 0}, std::sqrt(1.25) - 1.0, 1.0, sph_shell_director_geometry},
        {"about the director", cloud("OX=0.0, OY=0.0, OZ=2.0"), 0.3, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 0.0, 2.0,
         sph_shell_director_geometry},
        {"dt 0", cloud("OX=1.0, OY=0.0, OZ=0.0"), 0.0, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 0.0, 1.0,
         sph_shell_director_geometry},
        {"element edge tangent", element, 0.1, {0, -0.1, 1}, {0, 1, 0.1}, {-1, 0, 0}, r101, 1.0,
         sph_shell_director_geometry},
        {"orientation tangent", oriented, 0.1, {0, -0.1, 1}, {1.01, 1, 0.1}, {-1.01, 1.01, 0.101}, r101, 1.0,
         sph_shell_director_orientation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(c.deck));
        const SphShellState& st = sph_shell_state;
        ASSERT_EQ(sph_shell.shell_director_max_length_error, 0.0);  // every built director is of unit length
        const SphShellState before = st;
        ASSERT_EQ(sph_shell_update_directors(c.dt), 0) << sph_error_message();
        expect_vec(director(0), unit(c.director), 1e-15, "director");
        expect_vec(e1(0), unit(c.e1), 1e-15, "e1");
        expect_vec(e2(0), unit(c.e2), 1e-15, "e2");
        expect_vec(e3(0), director(0), 1e-15, "e3");
        EXPECT_EQ(st.shell_local_frame_status[0], sph_shell_frame_ok);
        EXPECT_EQ(st.shell_director_status[0], c.status);
        EXPECT_NEAR(sph_shell.shell_director_max_length_error, c.length_error, 1e-15);
        EXPECT_EQ(sph_shell.shell_max_angular_velocity, c.max_omega);
        // The particles at rest keep director and frame to the bit.
        for (std::size_t i = 1; i < 4; ++i) {
            EXPECT_EQ(director(i), at(before.shell_director, i)) << i;
            EXPECT_EQ(e1(i), at(before.shell_local_e1, i)) << i;
            EXPECT_EQ(e2(i), at(before.shell_local_e2, i)) << i;
            EXPECT_EQ(st.shell_director_status[i], c.status) << i;
        }
    }
}

TEST_F(ShellKinematics, DirectorStepTakesOnlyActiveShellParticles) {
    // Every particle spins about (1,0,0); particle 3 is taken out of the run. It keeps its
    // director, and its larger omega does not reach the maximum.
    ASSERT_NO_FATAL_FAILURE(build(cloud_square({"*QUORREL, SHELL ROTATION, SET=SKIN, OX=1.0, OY=0.0, OZ=0.0"})));
    sph_database.particle_status[3] = sph_status_inactive;
    put(sph_shell_state.shell_omega, 3, {0.0, 0.0, 50.0});
    sph_shell.shell_max_angular_velocity = 99.0;  // stale: the step recomputes it
    ASSERT_EQ(sph_shell_update_directors(0.1), 0) << sph_error_message();
    for (std::size_t i = 0; i < 3; ++i) expect_vec(director(i), unit({0, -0.1, 1}), 1e-15, "turned director");
    EXPECT_EQ(director(3), (Vec3{0, 0, 1}));
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 1.0);
}

TEST_F(ShellKinematics, DirectorStepRefusesABadTimeStepAndRebuildsFramesAtZero) {
    // dt must be finite (magnitude at most half the largest double) and >= 0. Every frame
    // is wiped by hand first: an accepted step rebuilds each of them, a refused one does
    // nothing at all.
    struct Case {
        double dt;
        bool accepted;
    };
    const Case cases[] = {{-1e-6, false}, {nan, false}, {inf, false}, {-inf, false}, {1e308, false},
                          {0.0, true},    {-0.0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("dt " + num(c.dt));
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(cloud_square({"*QUORREL, SHELL ROTATION, SET=SKIN, OX=1.0, OY=0.0, OZ=0.0"})));
        SphShellState& st = sph_shell_state;
        const SphShellState built = st;
        for (auto* e : {&st.shell_local_e1, &st.shell_local_e2, &st.shell_local_e3}) std::fill(e->begin(), e->end(), 0.0);
        std::fill(st.shell_local_frame_status.begin(), st.shell_local_frame_status.end(), sph_shell_frame_degenerate);
        const SphShellState wiped = st;
        const int status = sph_shell_update_directors(c.dt);
        if (!c.accepted) {
            expect_failure(status, sph_error_argument, "Shell director update dt is invalid");
            EXPECT_EQ(st.shell_local_e1, wiped.shell_local_e1);
            EXPECT_EQ(st.shell_local_frame_status, wiped.shell_local_frame_status);
            EXPECT_EQ(st.shell_director, built.shell_director);
            continue;
        }
        ASSERT_EQ(status, 0) << sph_error_message();
        EXPECT_EQ(st.shell_director, built.shell_director);
        EXPECT_EQ(st.shell_local_e1, built.shell_local_e1);
        EXPECT_EQ(st.shell_local_e2, built.shell_local_e2);
        EXPECT_EQ(st.shell_local_e3, built.shell_local_e3);
        EXPECT_EQ(st.shell_local_frame_status, std::vector<int32_t>(4, sph_shell_frame_ok));
        EXPECT_EQ(sph_shell.shell_director_max_length_error, 0.0);
    }
}

TEST_F(ShellKinematics, DirectorStepStopsAtTheFirstFailureKeepingEarlierParticles) {
    // The square under AXES (tangent (1,0,0)); particles 0 and 1 spin about (1,0,0), so they
    // take unit(0,-dt,1) with e1 = (1,0,0), e2 = unit(0,1,dt); particle 2 is made to fail,
    // particle 3 (omega (1,0,0) too) is not reached.
    //   omega 8e307 passes the finiteness test, but 10 * 8e307 overflows.
    //   A director turned to (1e13, 0, 1) rounds to e3 = (1, 0, 1e-13): the tangent (1,0,0)
    //   projects to length 1e-13 <= 1e-12.
    struct Case {
        const char* what;
        std::function<void()> spoil;  // what is done to particle 2
        double dt;
        int code;
        const char* message;
        int director_failures, frame_failures;
        int32_t director_status, frame_status;
    };
    SphShellState& st = sph_shell_state;
    const Case cases[] = {
        {"omega NaN", [&] { put(st.shell_omega, 2, {nan, 0, 0}); }, 0.1, 4, "Shell angular velocity is not finite", 0,
         0, sph_shell_director_orientation, sph_shell_frame_ok},
        {"omega above half the largest double", [&] { put(st.shell_omega, 2, {0, 1e308, 0}); }, 0.1, 4,
         "Shell angular velocity is not finite", 0, 0, sph_shell_director_orientation, sph_shell_frame_ok},
        {"zero director", [&] { put(st.shell_director, 2, {0, 0, 0}); }, 0.1, 4, "Shell director is degenerate", 1, 0,
         sph_shell_director_degenerate, sph_shell_frame_ok},
        {"step overflows", [&] { put(st.shell_omega, 2, {8e307, 0, 0}); }, 10.0, 4, "Shell director is not finite", 1,
         0, sph_shell_director_degenerate, sph_shell_frame_ok},
        {"director turned onto the tangent", [&] { put(st.shell_omega, 2, {0, 1, 0}); }, 1e13, 4,
         "Shell local frame tangent is degenerate", 0, 1, sph_shell_director_orientation, sph_shell_frame_degenerate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(axes_square({"*QUORREL, SHELL ROTATION, SET=SKIN, OX=1.0, OY=0.0, OZ=0.0"})));
        c.spoil();
        const SphShellState before = st;
        const int director_failures = sph_shell.shell_director_degenerate_count;
        const int frame_failures = sph_shell.shell_local_frame_degenerate_count;
        expect_failure(sph_shell_update_directors(c.dt), c.code, c.message);
        for (std::size_t i = 0; i < 2; ++i) {
            expect_vec(director(i), unit({0, -c.dt, 1}), 1e-15, "turned director");
            expect_vec(e1(i), {1, 0, 0}, 1e-15, "turned e1");
            expect_vec(e2(i), unit({0, 1, c.dt}), 1e-15, "turned e2");
        }
        EXPECT_EQ(st.shell_director_status[2], c.director_status);
        EXPECT_EQ(st.shell_local_frame_status[2], c.frame_status);
        EXPECT_EQ(sph_shell.shell_director_degenerate_count - director_failures, c.director_failures);
        EXPECT_EQ(sph_shell.shell_local_frame_degenerate_count - frame_failures, c.frame_failures);
        EXPECT_EQ(director(3), at(before.shell_director, 3));
        EXPECT_EQ(e1(3), at(before.shell_local_e1, 3));
    }
}

// ---- Through-thickness rules ----

TEST_F(ShellKinematics, ThroughThicknessRulesIntegratePolynomialsExactly) {
    // An n-point Gauss rule is exact to degree 2n - 1. On [-1/2, 1/2] the integral of z^k is
    // 0 for odd k and 2 (1/2)^(k+1) / (k+1) = 1 / (2^k (k+1)) for even k.
    for (int n : {3, 5}) {
        SCOPED_TRACE(std::to_string(n) + " points");
        double coords[5] = {9, 9, 9, 9, 9}, weights[5] = {9, 9, 9, 9, 9};
        ASSERT_EQ(sph_shell_set_integration_rule(n, coords, weights), 0);
        const std::vector<double> closed = gauss_points(n);
        for (int k = 0; k < n; ++k) EXPECT_NEAR(coords[k], closed[static_cast<std::size_t>(k)], 1e-15) << k;
        for (int k = n; k < 5; ++k) {
            EXPECT_EQ(coords[k], 0.0);
            EXPECT_EQ(weights[k], 0.0);
        }
        for (int power = 0; power <= 2 * n - 1; ++power) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k) sum += weights[k] * std::pow(coords[k], power);
            const double exact = power % 2 == 1 ? 0.0 : 1.0 / (std::pow(2.0, power) * (power + 1));
            EXPECT_NEAR(sum, exact, 1e-15) << "z^" << power;
        }
    }
    double coords[5], weights[5];
    expect_failure(sph_shell_set_integration_rule(4, coords, weights), sph_error_input,
                   "Shell integration point count must be 3 or 5");
}

// ---- Strains ----

TEST_F(ShellKinematics, LinearFieldsGiveTheirStrainsAtEveryParticleAndPoint) {
    // A flat section in a tilted plane through O with in-plane axes E1 = (1,2,2)/3 and
    // E2 = (2,1,-2)/3, normal E3 = E1 x E2 = (-2,2,-1)/3. Nodes 1, 2, 3 lie at O, O + 0.1 E1,
    // O + 0.1 E2 (irregular cloud) or on one line along E1 with one node 20 away along E2, so
    // the cloud normal is E3, the cloud tangent E1, and every particle has the frame E1, E2, E3.
    // With u = sum L[c][k] E_c (E_k . (x0 - O)) + shift, the relative displacement of two
    // particles in the plane is exactly linear in their in-plane offset, so least squares
    // returns G(c,k) = L[c][k] (k = 1, 2; the normal column of L multiplies an offset of 0).
    // With directors E3 + sum K[c][k] xi_k E_c + q xi_1 E3, likewise D(c,k) = K[c][k] (the E3
    // part is not measured). Then membrane = (L11, L22, (L12 + L21)/2) (tensor shear),
    // shear = (L31, L32), bending = (K11, K22, (K12 + K21)/2), and at point z = c_k t:
    // membrane + z bending, shear.
    const Vec3 O = {0.3, -0.2, 0.5};
    const Vec3 E[3] = {scale(1.0 / 3.0, {1, 2, 2}), scale(1.0 / 3.0, {2, 1, -2}), scale(1.0 / 3.0, {-2, 2, -1})};
    const std::vector<std::array<double, 2>> irregular = {{0, 0},     {0.1, 0},     {0, 0.1},    {0.07, 0.04},
                                                          {-0.03, 0.08}, {0.12, 0.11}, {0.05, -0.06}};
    // Without the far node the others are collinear: only it resolves the E2 gradients.
    const std::vector<std::array<double, 2>> far = {{0, 0}, {0.1, 0}, {0.2, 0}, {0, 20}};
    struct Case {
        const char* what;
        const std::vector<std::array<double, 2>>* plane;
        int points;
        Field u;
        double K[2][2], q;
    };
    const Field general = {{{0.010, 0.003, 0.4}, {-0.002, -0.004, 0.7}, {0.006, -0.008, 0.9}}};
    const Case cases[] = {
        {"stretch along e1", &irregular, 3, {{{0.01, 0, 0}, {0, 0, 0}, {0, 0, 0}}}, {{0, 0}, {0, 0}}, 0.0},
        {"general field, directors unchanged", &irregular, 3, general, {{0, 0}, {0, 0}}, 0.0},
        {"general field, 5 points", &irregular, 5, general, {{0.5, 0.2}, {-0.1, -0.3}}, 0.7},
        {"general field, 3 points", &irregular, 3, general, {{-0.25, 0.15}, {0.05, 0.4}}, -0.2},
        {"a partner far away still counts", &far, 3, general, {{0.5, 0.2}, {-0.1, -0.3}}, 0.7},
    };
    const double thickness = 0.2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<Vec3> nodes;
        for (const auto& p : *c.plane) nodes.push_back(add(O, add(scale(p[0], E[0]), scale(p[1], E[1]))));
        const int n = static_cast<int>(nodes.size());
        ASSERT_NO_FATAL_FAILURE(build(shell_deck(
            nodes, cat({node_set("SKIN", 1, n),
                        {shell_section("NSET=SKIN", "THICKNESS=0.2, POINTS=" + std::to_string(c.points))}}))));
        SphShellState& st = sph_shell_state;
        const std::size_t np = static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < np; ++i) {
            expect_vec(e1(i), E[0], 1e-15, "e1");
            expect_vec(e2(i), E[1], 1e-15, "e2");
            expect_vec(e3(i), E[2], 1e-15, "e3");
        }
        displace(c.u, E, O, {0.2, -0.1, 0.05}, 0, np);
        for (std::size_t i = 0; i < np; ++i) {
            const Vec3 r = minus(at(sph_database.x0, i), O);
            Vec3 d = add(E[2], scale(c.q * dot(E[0], r), E[2]));
            for (int a = 0; a < 2; ++a)
                for (int k = 0; k < 2; ++k) d = add(d, scale(c.K[a][k] * dot(E[k], r), E[a]));
            put(st.shell_director, i, d);
        }
        ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();

        const auto& L = c.u.L;
        const double membrane[3] = {L[0][0], L[1][1], 0.5 * (L[0][1] + L[1][0])};
        const double bending[3] = {c.K[0][0], c.K[1][1], 0.5 * (c.K[0][1] + c.K[1][0])};
        const double shear[2] = {L[2][0], L[2][1]};
        const std::vector<double> z = gauss_points(c.points);
        double max_ip = 0.0;
        for (std::size_t i = 0; i < np; ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            double G[3][2], D[2][2];
            ASSERT_EQ(sph_shell_compute_local_gradients(static_cast<int32_t>(i), G, D), 0) << sph_error_message();
            for (int a = 0; a < 3; ++a)
                for (int k = 0; k < 2; ++k) EXPECT_NEAR(G[a][k], L[a][k], 1e-12) << "G " << a << k;
            for (int a = 0; a < 2; ++a)
                for (int k = 0; k < 2; ++k) EXPECT_NEAR(D[a][k], c.K[a][k], 1e-12) << "D " << a << k;
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_NEAR(st.shell_membrane_strain[3 * i + k], membrane[k], 1e-12) << "membrane " << k;
                EXPECT_NEAR(st.shell_bending_strain[3 * i + k], bending[k], 1e-12) << "bending " << k;
                EXPECT_EQ(st.shell_membrane_strain_increment[3 * i + k], st.shell_membrane_strain[3 * i + k]);
                EXPECT_EQ(st.shell_bending_strain_increment[3 * i + k], st.shell_bending_strain[3 * i + k]);
            }
            for (std::size_t k = 0; k < 2; ++k) {
                EXPECT_NEAR(st.shell_shear_strain[2 * i + k], shear[k], 1e-12) << "shear " << k;
                EXPECT_EQ(st.shell_shear_strain_increment[2 * i + k], st.shell_shear_strain[2 * i + k]);
            }
            for (std::size_t k = 0; k < P; ++k) {
                const double* inc = &st.shell_ip_strain_increment[5 * (P * i + k)];
                const double* strain = &st.shell_ip_strain[6 * (P * i + k)];
                double expected[6] = {0, 0, 0, 0, 0, 0};  // points beyond the rule stay 0
                if (k < z.size()) {
                    for (std::size_t m = 0; m < 3; ++m) expected[m] = membrane[m] + z[k] * thickness * bending[m];
                    expected[3] = shear[0];
                    expected[4] = shear[1];
                }
                for (std::size_t m = 0; m < 5; ++m) {
                    EXPECT_NEAR(inc[m], expected[m], 1e-12) << "point " << k << " increment " << m;
                    EXPECT_EQ(strain[m], inc[m]) << "point " << k << " strain " << m;
                    max_ip = std::max(max_ip, std::fabs(expected[m]));
                }
                EXPECT_EQ(strain[5], 0.0) << "point " << k;
            }
        }
        double max_membrane, max_bending, max_shear, max_ip_increment;
        int32_t count;
        sph_shell_get_kinematic_diagnostics(max_membrane, max_bending, max_shear, max_ip_increment, count);
        auto largest = [](const double* v, int m) {
            double x = 0.0;
            for (int k = 0; k < m; ++k) x = std::max(x, std::fabs(v[k]));
            return x;
        };
        EXPECT_NEAR(max_membrane, largest(membrane, 3), 1e-12);
        EXPECT_NEAR(max_bending, largest(bending, 3), 1e-12);
        EXPECT_NEAR(max_shear, largest(shear, 2), 1e-12);
        EXPECT_NEAR(max_ip_increment, max_ip, 1e-12);
        EXPECT_EQ(count, n * c.points);
    }
}

TEST_F(ShellKinematics, PartnersOnOneAxisResolveThatAxisOnly) {
    // Under AXES (e1 = (1,0,0), e2 = (0,1,0)) particles on the x axis have xi2 = 0 for every
    // partner: M12 = M22 = 0, so det = 0 and the fallback g = (r1 / M11, 0) applies; on the
    // y axis g = (0, r2 / M22). The field L and the director field K are then measured along
    // the line only: along x G(:,1) = L(:,1), D(:,1) = K(:,1), the rest 0, giving membrane
    // (L11, 0, L21/2), shear (L31, 0), bending (K11, 0, K21/2); along y membrane (0, L22, L12/2),
    // shear (0, L32), bending (0, K22, K12/2).
    // A second section off the line (nodes 4, 5 at y = 1, themselves on a line along x)
    // would resolve the y gradients if particles of other sections were partners.
    // A partner 2e-6 away in the plane (xi^2 = 4e-12 > 1e-12) counts.
    const Field f = {{{0.01, 0.02, 0.5}, {0.03, -0.04, 0.5}, {0.05, 0.06, 0.5}}};
    const double K[2][2] = {{0.3, -0.2}, {0.1, 0.4}};
    const Lines one_section = {shell_section("NSET=LINE", "THICKNESS=0.01, POINTS=3, ORIENTATION=AXES")};
    struct Case {
        const char* what;
        std::vector<Vec3> nodes;
        Lines cards;
        std::size_t line;  // particles 0..line-1 are the line
        bool along_x;
    };
    const Case cases[] = {
        {"along e1", {{0, 0, 0}, {0.5, 0, 0}, {1.5, 0, 0}}, cat({node_set("LINE", 1, 3), axes, one_section}), 3, true},
        {"along e2", {{0, 0, 0}, {0, 0.5, 0}, {0, 1.5, 0}}, cat({node_set("LINE", 1, 3), axes, one_section}), 3, false},
        {"along e1, beside another section",
         {{0, 0, 0}, {0.5, 0, 0}, {1.5, 0, 0}, {0, 1, 0}, {0.7, 1, 0}},
         cat({node_set("LINE", 1, 3), node_set("OTHER", 4, 5), axes, one_section,
              {shell_section("NSET=OTHER", "THICKNESS=0.01, POINTS=3, ORIENTATION=AXES")}}),
         3, true},
        {"a partner just beyond the in-plane threshold", {{0, 0, 0}, {2e-6, 0, 0}},
         cat({node_set("LINE", 1, 2), axes, one_section}), 2, true},
    };
    const Vec3 I[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(shell_deck(c.nodes, c.cards)));
        SphShellState& st = sph_shell_state;
        displace(f, I, {0, 0, 0}, {0, 0, 0}, 0, c.nodes.size());
        for (std::size_t i = 0; i < c.nodes.size(); ++i) {
            const Vec3 x0 = at(sph_database.x0, i);
            put(st.shell_director, i, {K[0][0] * x0[0] + K[0][1] * x0[1], K[1][0] * x0[0] + K[1][1] * x0[1], 1.0});
        }
        ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
        const std::size_t k = c.along_x ? 0 : 1;  // the resolved direction
        double G_expected[3][2] = {}, D_expected[2][2] = {};
        for (int a = 0; a < 3; ++a) G_expected[a][k] = f.L[a][k];
        for (int a = 0; a < 2; ++a) D_expected[a][k] = K[a][k];
        const double membrane[3] = {G_expected[0][0], G_expected[1][1], 0.5 * (G_expected[0][1] + G_expected[1][0])};
        const double bending[3] = {D_expected[0][0], D_expected[1][1], 0.5 * (D_expected[0][1] + D_expected[1][0])};
        for (std::size_t i = 0; i < c.line; ++i) {
            SCOPED_TRACE("particle " + std::to_string(i));
            double G[3][2], D[2][2];
            ASSERT_EQ(sph_shell_compute_local_gradients(static_cast<int32_t>(i), G, D), 0) << sph_error_message();
            for (int a = 0; a < 3; ++a)
                for (int m = 0; m < 2; ++m) EXPECT_NEAR(G[a][m], G_expected[a][m], 1e-12) << "G " << a << m;
            for (int a = 0; a < 2; ++a)
                for (int m = 0; m < 2; ++m) EXPECT_NEAR(D[a][m], D_expected[a][m], 1e-12) << "D " << a << m;
            for (std::size_t m = 0; m < 3; ++m) {
                EXPECT_NEAR(st.shell_membrane_strain[3 * i + m], membrane[m], 1e-12) << "membrane " << m;
                EXPECT_NEAR(st.shell_bending_strain[3 * i + m], bending[m], 1e-12) << "bending " << m;
            }
            EXPECT_NEAR(st.shell_shear_strain[2 * i], G_expected[2][0], 1e-12);
            EXPECT_NEAR(st.shell_shear_strain[2 * i + 1], G_expected[2][1], 1e-12);
        }
    }
}

TEST_F(ShellKinematics, GradientFailures) {
    // All under AXES, so that any layout builds. A partner whose in-plane offset has
    // xi1^2 + xi2^2 <= 1e-12 is skipped: offset only along the normal, or 5e-7 in the plane
    // (2.5e-13). Partners on the diagonal give M = s [[1,1],[1,1]]: det = 0 with M12 != 0.
    struct Case {
        const char* what;
        std::vector<Vec3> nodes;
        bool second_inactive;
        const char* message;
    };
    const Case cases[] = {
        {"a lone particle", {{0, 0, 0}}, false, "Shell strain gradient has no neighbors"},
        {"the only partner is above it", {{0, 0, 0}, {0, 0, 0.5}}, false, "Shell strain gradient has no neighbors"},
        {"the only partner is 5e-7 away", {{0, 0, 0}, {5e-7, 0, 0}}, false, "Shell strain gradient has no neighbors"},
        {"the only partner is inactive", {{0, 0, 0}, {1, 0, 0}}, true, "Shell strain gradient has no neighbors"},
        {"partners on the diagonal", {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}}, false, "Shell strain gradient is degenerate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const int n = static_cast<int>(c.nodes.size());
        ASSERT_NO_FATAL_FAILURE(build(shell_deck(
            c.nodes, cat({node_set("SKIN", 1, n), axes,
                          {shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3, ORIENTATION=AXES")}}))));
        if (c.second_inactive) sph_database.particle_status[1] = sph_status_inactive;
        expect_failure(sph_shell_compute_small_strain(), sph_error_input, c.message);
        double G[3][2], D[2][2];
        expect_failure(sph_shell_compute_local_gradients(0, G, D), sph_error_input, c.message);
    }
}

TEST_F(ShellKinematics, TwoByTwoSolves) {
    // det = M11 M22 - M12^2. Above 1e-12: Cramer's rule. Otherwise, with |M12| <= 1e-12,
    // the axis with M_kk > 1e-12 alone (the thresholds are absolute: M = 1e-7 I, with
    // det 1e-14, resolves the first axis only).
    struct Case {
        const char* what;
        double M[2][2], r[2];
        bool ok;
        double g[2];
    };
    const Case cases[] = {
        // det 5: g1 = (3*4 - 1*7)/5, g2 = (2*7 - 1*4)/5
        {"regular", {{2, 1}, {1, 3}}, {4, 7}, true, {1, 2}},
        {"first axis only", {{4, 0}, {0, 0}}, {2, 5}, true, {0.5, 0}},
        {"second axis only", {{0, 0}, {0, 5}}, {3, 10}, true, {0, 2}},
        {"small but regular", {{1e-7, 0}, {0, 1e-7}}, {2e-7, 3e-7}, true, {2, 0}},
        {"det just above the threshold", {{1e-6, 0}, {0, 2e-6}}, {1e-6, 4e-6}, true, {1, 2}},
        {"singular with coupling", {{1, 1}, {1, 1}}, {1, 1}, false, {0, 0}},
        {"nearly singular with coupling", {{1, 1}, {1, 1 + 1e-13}}, {1, 1}, false, {0, 0}},
        {"both axes below the threshold", {{1e-13, 0}, {0, 1e-13}}, {1, 1}, false, {0, 0}},
        {"zero", {{0, 0}, {0, 0}}, {1, 1}, false, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        double g[2] = {9, 9};
        const int status = sph_shell_solve_local_gradient_row(c.M, c.r, g);
        if (c.ok) {
            EXPECT_EQ(status, 0);
        } else {
            expect_failure(status, sph_error_input, "Shell strain gradient is degenerate");
        }
        EXPECT_NEAR(g[0], c.g[0], 1e-14);
        EXPECT_NEAR(g[1], c.g[1], 1e-14);
    }
    // Each row of the right-hand side is solved into the same row of the gradient.
    // M = [[2,1],[1,3]]: (5,5) -> (2,1); (1,-3) -> (1.2,-1.4); (0,0) -> (0,0).
    const double M[2][2] = {{2, 1}, {1, 3}};
    const double rhs3[3][2] = {{5, 5}, {1, -3}, {0, 0}};
    const double expect3[3][2] = {{2, 1}, {1.2, -1.4}, {0, 0}};
    double g3[3][2];
    ASSERT_EQ(sph_shell_solve_local_gradient(M, rhs3, g3), 0);
    for (int a = 0; a < 3; ++a)
        for (int k = 0; k < 2; ++k) EXPECT_NEAR(g3[a][k], expect3[a][k], 1e-15) << a << k;
    double g2[2][2];
    ASSERT_EQ(sph_shell_solve_local_gradient_2(M, rhs3, g2), 0);
    for (int a = 0; a < 2; ++a)
        for (int k = 0; k < 2; ++k) EXPECT_NEAR(g2[a][k], expect3[a][k], 1e-15) << a << k;
    const double singular[2][2] = {{1, 1}, {1, 1}};
    expect_failure(sph_shell_solve_local_gradient(singular, rhs3, g3), sph_error_input,
                   "Shell strain gradient is degenerate");
    expect_failure(sph_shell_solve_local_gradient_2(singular, rhs3, g2), sph_error_input,
                   "Shell strain gradient is degenerate");
}

TEST_F(ShellKinematics, NonFiniteStrainsAreRefused) {
    ASSERT_NO_FATAL_FAILURE(build(cloud_square()));
    SphShellState& st = sph_shell_state;
    // Each of the ten gradient values in turn; the particle's strains stay as they were.
    for (int slot = 0; slot < 10; ++slot) {
        SCOPED_TRACE("gradient value " + std::to_string(slot));
        double G[3][2] = {{0.1, 0.2}, {0.3, 0.4}, {0.5, 0.6}}, D[2][2] = {{0.7, 0.8}, {0.9, 1.0}};
        (slot < 6 ? &G[0][0] : &D[0][0])[slot < 6 ? slot : slot - 6] = slot % 2 == 0 ? nan : 1e308;
        std::fill(st.shell_membrane_strain.begin(), st.shell_membrane_strain.end(), 7.0);
        expect_failure(sph_shell_store_strain(1, G, D), sph_error_input, "Shell strain gradient is not finite");
        EXPECT_EQ(st.shell_membrane_strain, std::vector<double>(12, 7.0));
        EXPECT_EQ(st.shell_bending_strain, std::vector<double>(12, 0.0));
    }
    // Point strains of particle 0 with thickness 1 (points at z = -0.3873, 0, 0.3873):
    // membrane 5e307 with bending 1.5e308 gives -8.1e306, 5e307 and 1.08e308; the last is
    // a double, but above half the largest. The points before the failure are counted.
    struct Case {
        const char* what;
        Vec3 membrane, bending;
        double shear;
        int32_t counted;
        double max_ip;
    };
    const Case cases[] = {
        {"top point above half the largest double", {5e307, 0, 0}, {1.5e308, 0, 0}, 0.0, 2, 5e307},
        {"shear NaN", {0.1, 0, 0}, {0, 0, 0}, nan, 0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        st.shell_thickness[0] = 1.0;
        put(st.shell_membrane_strain, 0, c.membrane);
        put(st.shell_bending_strain, 0, c.bending);
        st.shell_shear_strain[0] = c.shear;
        expect_failure(sph_shell_update_ip_strain_increment(), sph_error_input,
                       "Shell integration point strain increment is not finite");
        EXPECT_EQ(sph_shell.shell_active_ip_count, c.counted);
        EXPECT_EQ(sph_shell.shell_max_ip_strain_increment, c.max_ip);
    }
}

TEST_F(ShellKinematics, FailedParticleKeepsZeroStrainsButStaysAPartner) {
    // Nodes (0,0), (1,0), (2,0), (0,1): cloud frame e1 = (1,0,0), e2 = (0,1,0). Particle 3 is
    // marked failed after a first computation. It keeps zero strains and no points, but the
    // others still use it as a partner: without it they would be collinear and measure no
    // e2 gradient (membrane 0.5 L21 instead of 0.5 (L12 + L21), and no L22).
    const Field f = {{{0.01, 0.004, 0}, {0.002, -0.03, 0}, {0.05, 0.07, 0}}};
    const Vec3 I[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    ASSERT_NO_FATAL_FAILURE(build(shell_deck({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}},
                                             cat({node_set("SKIN", 1, 4),
                                                  {shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3")}}))));
    SphShellState& st = sph_shell_state;
    displace(f, I, {0, 0, 0}, {0, 0, 0}, 0, 4);
    ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
    ASSERT_NE(st.shell_membrane_strain[9], 0.0);
    ASSERT_EQ(sph_shell.shell_active_ip_count, 12);
    st.shell_failure_status[3] = 1;
    ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
    const double membrane[3] = {0.01, -0.03, 0.003}, shear[2] = {0.05, 0.07};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(st.shell_membrane_strain[3 * i + k], membrane[k], 1e-14);
        for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(st.shell_shear_strain[2 * i + k], shear[k], 1e-14);
    }
    for (auto* v : {&st.shell_membrane_strain, &st.shell_bending_strain, &st.shell_membrane_strain_increment,
                    &st.shell_bending_strain_increment})
        for (std::size_t k = 9; k < 12; ++k) EXPECT_EQ((*v)[k], 0.0);
    for (auto* v : {&st.shell_shear_strain, &st.shell_shear_strain_increment})
        for (std::size_t k = 6; k < 8; ++k) EXPECT_EQ((*v)[k], 0.0);
    for (std::size_t k = 5 * P * 3; k < 5 * P * 4; ++k) EXPECT_EQ(st.shell_ip_strain_increment[k], 0.0);
    for (std::size_t k = 6 * P * 3; k < 6 * P * 4; ++k) EXPECT_EQ(st.shell_ip_strain[k], 0.0);
    EXPECT_EQ(sph_shell.shell_active_ip_count, 9);
}

TEST_F(ShellKinematics, StrainStopsAtAParticleWithoutFrame) {
    // Eight particles in z = 0 (frame e1 = (1,0,0), e2 = (0,1,0)). A first computation gives
    // every particle the membrane of L; then particle 5 loses its frame and the field is
    // doubled: particles 0..4 get the doubled membrane, 5..7 are left at zero.
    const std::vector<Vec3> nodes = {{0, 0, 0},    {1, 0, 0},   {0, 1, 0},    {0.7, 0.4, 0},
                                     {-0.3, 0.8, 0}, {1.2, 1.1, 0}, {0.5, -0.6, 0}, {0.9, 0.9, 0}};
    const Vec3 I[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    ASSERT_NO_FATAL_FAILURE(build(
        shell_deck(nodes, cat({node_set("SKIN", 1, 8), {shell_section("NSET=SKIN", "THICKNESS=0.01, POINTS=3")}}))));
    SphShellState& st = sph_shell_state;
    displace({{{0.01, 0.002, 0}, {0.004, 0.02, 0}, {0.001, 0.003, 0}}}, I, {0, 0, 0}, {0, 0, 0}, 0, 8);
    ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
    for (std::size_t i = 0; i < 8; ++i) EXPECT_NEAR(st.shell_membrane_strain[3 * i + 1], 0.02, 1e-14) << i;
    st.shell_local_frame_status[5] = sph_shell_frame_degenerate;
    displace({{{0.02, 0.004, 0}, {0.008, 0.04, 0}, {0.002, 0.006, 0}}}, I, {0, 0, 0}, {0, 0, 0}, 0, 8);
    expect_failure(sph_shell_compute_small_strain(), sph_error_input, "Shell strain requires local frame");
    const double membrane[3] = {0.02, 0.04, 0.006};
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("particle " + std::to_string(i));
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(st.shell_membrane_strain[3 * i + k], i < 5 ? membrane[k] : 0.0, 1e-14);
            EXPECT_EQ(st.shell_membrane_strain_increment[3 * i + k], st.shell_membrane_strain[3 * i + k]);
        }
        EXPECT_NEAR(st.shell_shear_strain[2 * i + 1], i < 5 ? 0.006 : 0.0, 1e-14);
    }
    EXPECT_NEAR(sph_shell.shell_max_membrane_strain, 0.04, 1e-14);
}

TEST_F(ShellKinematics, DiagnosticsAreTheLargestOfTheLastComputation) {
    // Two sections: the square at z = 0 (nodes 1-4) and the same square at z = 5 (nodes
    // 5-8), each with frame e1 = (1,0,0), e2 = (0,1,0), each under its own linear field and
    // director field. The largest membrane value comes from the first, the largest shear
    // and bending from the second. Thickness 0.5, 3 points at z = 0, +-0.5 sqrt(0.6)/2.
    std::vector<Vec3> nodes = square;
    for (const Vec3& p : square) nodes.push_back(add(p, {0, 0, 5}));
    ASSERT_NO_FATAL_FAILURE(build(shell_deck(
        nodes, cat({node_set("LOW", 1, 4), node_set("HIGH", 5, 8),
                    {shell_section("NSET=LOW", "THICKNESS=0.5, POINTS=3"),
                     shell_section("NSET=HIGH", "THICKNESS=0.5, POINTS=3")}}))));
    SphShellState& st = sph_shell_state;
    const Vec3 I[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    struct Part {
        Field u;
        double K[2][2];
    };
    const Part low = {{{{-0.08, 0.01, 0}, {0.01, 0.02, 0}, {0.01, -0.02, 0}}}, {{0.1, 0}, {0, -0.2}}};
    const Part high = {{{{0.01, 0, 0}, {0, 0.03, 0}, {-0.09, 0.04, 0}}}, {{0.05, 0.3}, {0.5, 0.1}}};
    // low: membrane (-0.08, 0.02, 0.01), bending (0.1, -0.2, 0), shear (0.01, -0.02).
    // high: membrane (0.01, 0.03, 0), bending (0.05, 0.1, 0.4), shear (-0.09, 0.04).
    // Points: membrane + z bending with z = 0, +-0.19365; the largest magnitude is low's
    // e11 at the bottom point, -0.08 - 0.19365 * 0.1 (high's e12 reaches 0.0775, its shear 0.09).
    const double z = 0.5 * std::sqrt(0.6) / 2.0;
    const double max_ip = 0.08 + z * 0.1;
    for (double factor : {1.0, 0.1}) {
        SCOPED_TRACE("field scaled by " + num(factor));
        for (const auto& [part, first, origin] :
             {std::tuple{&low, std::size_t{0}, Vec3{0, 0, 0}}, std::tuple{&high, std::size_t{4}, Vec3{0, 0, 5}}}) {
            Field u = part->u;
            for (auto& row : u.L)
                for (double& v : row) v *= factor;
            displace(u, I, origin, {0, 0, 0}, first, first + 4);
            for (std::size_t i = first; i < first + 4; ++i) {
                const Vec3 r = minus(at(sph_database.x0, i), origin);
                put(st.shell_director, i,
                    {factor * (part->K[0][0] * r[0] + part->K[0][1] * r[1]),
                     factor * (part->K[1][0] * r[0] + part->K[1][1] * r[1]), 1.0});
            }
        }
        ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
        double max_membrane, max_bending, max_shear, max_ip_increment;
        int32_t count;
        sph_shell_get_kinematic_diagnostics(max_membrane, max_bending, max_shear, max_ip_increment, count);
        EXPECT_NEAR(max_membrane, factor * 0.08, 1e-14);
        EXPECT_NEAR(max_bending, factor * 0.4, 1e-14);
        EXPECT_NEAR(max_shear, factor * 0.09, 1e-14);
        EXPECT_NEAR(max_ip_increment, factor * max_ip, 1e-14);
        EXPECT_EQ(count, 24);
    }
    // With every particle failed nothing is measured.
    std::fill(st.shell_failure_status.begin(), st.shell_failure_status.end(), 1);
    ASSERT_EQ(sph_shell_compute_small_strain(), 0) << sph_error_message();
    double max_membrane, max_bending, max_shear, max_ip_increment;
    int32_t count;
    sph_shell_get_kinematic_diagnostics(max_membrane, max_bending, max_shear, max_ip_increment, count);
    EXPECT_EQ(max_membrane, 0.0);
    EXPECT_EQ(max_bending, 0.0);
    EXPECT_EQ(max_shear, 0.0);
    EXPECT_EQ(max_ip_increment, 0.0);
    EXPECT_EQ(count, 0);
}

// ---- Per-particle setters ----

TEST_F(ShellKinematics, ParticleDirectorSetter) {
    // The cloud square: tangent (1,0,0).
    //   (0,0,3): director (0,0,1), length error 2, frame unchanged.
    //   (0,1,1): director (0,1,1)/sqrt 2, e1 = (1,0,0), e2 = (0,1,1) x (1,0,0) / 2 = (0,1,-1)/sqrt 2.
    //   (0.6,0,0.8): e1 ~ (1,0,0) - 0.6 (0.6,0,0.8) = (0.64,0,-0.48) ~ (0.8,0,-0.6), e2 = (0,1,0).
    struct Case {
        const char* what;
        Vec3 value;
        int32_t status_before, status_after;
        Vec3 director, e1, e2;  // unnormalised
        double length_error;
    };
    const Case cases[] = {
        {"along the old director", {0, 0, 3}, sph_shell_director_geometry, sph_shell_director_geometry, {0, 0, 1},
         {1, 0, 0}, {0, 1, 0}, 2.0},
        {"tilted about e1", {0, 1, 1}, sph_shell_director_geometry, sph_shell_director_geometry, {0, 1, 1}, {1, 0, 0},
         {0, 1, -1}, std::sqrt(2.0) - 1.0},
        {"tilted about e2", {0.6, 0, 0.8}, sph_shell_director_geometry, sph_shell_director_geometry, {0.6, 0, 0.8},
         {0.8, 0, -0.6}, {0, 1, 0}, 0.0},
        {"status none becomes input", {0, 0, 1}, sph_shell_director_none, sph_shell_director_input, {0, 0, 1},
         {1, 0, 0}, {0, 1, 0}, 0.0},
        {"status degenerate is kept", {0, 0, 1}, sph_shell_director_degenerate, sph_shell_director_degenerate,
         {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(cloud_square()));
        SphShellState& st = sph_shell_state;
        st.shell_director_status[1] = c.status_before;
        st.shell_local_frame_status[1] = sph_shell_frame_none;
        const SphShellState before = st;
        ASSERT_EQ(sph_shell_set_particle_director(1, c.value.data()), 0) << sph_error_message();
        expect_vec(director(1), unit(c.director), 1e-15, "director");
        expect_vec(e1(1), unit(c.e1), 1e-15, "e1");
        expect_vec(e2(1), unit(c.e2), 1e-15, "e2");
        expect_vec(e3(1), director(1), 1e-15, "e3");
        EXPECT_EQ(st.shell_director_status[1], c.status_after);
        EXPECT_EQ(st.shell_local_frame_status[1], sph_shell_frame_ok);
        EXPECT_NEAR(sph_shell.shell_director_max_length_error, c.length_error, 1e-15);
        for (std::size_t i : {0u, 2u, 3u}) {
            EXPECT_EQ(director(i), at(before.shell_director, i));
            EXPECT_EQ(e1(i), at(before.shell_local_e1, i));
        }
    }
}

TEST_F(ShellKinematics, ParticleDirectorSetterRefusals) {
    // Index and particle refusals (code 1) store nothing; a bad vector (code 4) marks the
    // director degenerate and counts it; a director along the orientation's tangent is
    // stored, but its frame fails and is marked.
    struct Case {
        const char* what;
        std::function<void()> setup;
        int32_t index;
        Vec3 value;
        int code;
        const char* message;
        bool director_counted;
    };
    SphDatabase& d = sph_database;
    auto none = [] {};
    const char* invalid = "Shell director index is invalid";
    const Case cases[] = {
        {"index -1", none, -1, {0, 1, 1}, 1, invalid, false},
        {"index npart", none, 4, {0, 1, 1}, 1, invalid, false},
        {"index far beyond", none, 1000, {0, 1, 1}, 1, invalid, false},
        {"index -1 with a NaN vector", none, -1, {nan, 0, 0}, 1, invalid, false},
        {"inactive particle", [&] { d.particle_status[1] = sph_status_inactive; }, 1, {0, 1, 1}, 1, invalid, false},
        {"failed shell phase", [&] { d.particle_phase[1] = sph_phase_shell_failed; }, 1, {0, 1, 1}, 1, invalid, false},
        {"no section",
         [&] {
             d.section_id[1] = 0;
             sph_shell_invalidate_index();
         },
         1, {0, 1, 1}, 1, invalid, false},
        {"section beyond the table",
         [&] {
             d.section_id[1] = 2;
             sph_shell_invalidate_index();
         },
         1, {0, 1, 1}, 1, invalid, false},
        {"NaN", none, 1, {0, nan, 1}, 4, "Shell director is not finite", true},
        {"infinite", none, 1, {0, 0, -inf}, 4, "Shell director is not finite", true},
        {"above half the largest double", none, 1, {1e308, 0, 0}, 4, "Shell director is not finite", true},
        {"too short", none, 1, {0, 0, 1e-13}, 4, "Shell director is degenerate", true},
        {"zero", none, 1, {0, 0, 0}, 4, "Shell director is degenerate", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build(cloud_square()));
        c.setup();
        const SphShellState& st = sph_shell_state;
        const SphShellState before = st;
        const int counted = sph_shell.shell_director_degenerate_count;
        expect_failure(sph_shell_set_particle_director(c.index, c.value.data()), c.code, c.message);
        EXPECT_EQ(st.shell_director, before.shell_director);
        EXPECT_EQ(st.shell_local_e1, before.shell_local_e1);
        EXPECT_EQ(st.shell_local_frame_status, before.shell_local_frame_status);
        EXPECT_EQ(sph_shell.shell_director_degenerate_count - counted, c.director_counted ? 1 : 0);
        EXPECT_EQ(st.shell_director_status[1],
                  c.director_counted ? sph_shell_director_degenerate : sph_shell_director_geometry);
    }

    SetUp();
    ASSERT_NO_FATAL_FAILURE(build(axes_square()));
    const SphShellState& st = sph_shell_state;
    const double along_tangent[3] = {2, 0, 0};
    expect_failure(sph_shell_set_particle_director(1, along_tangent), sph_error_input,
                   "Shell local frame tangent is degenerate");
    EXPECT_EQ(director(1), (Vec3{1, 0, 0}));
    EXPECT_EQ(st.shell_director_status[1], sph_shell_director_orientation);
    EXPECT_EQ(st.shell_local_frame_status[1], sph_shell_frame_degenerate);
    EXPECT_EQ(sph_shell.shell_local_frame_degenerate_count, 1);
    EXPECT_EQ(sph_shell.shell_director_degenerate_count, 0);
    // A frame that failed is not fit for strains.
    expect_failure(sph_shell_compute_small_strain(), sph_error_input, "Shell strain requires local frame");
}

TEST_F(ShellKinematics, ParticleAngularVelocitySetter) {
    // The maximum is recomputed over the active shell particles, not raised: (3,4,0) gives
    // 5, then (0,0,1) on the same particle gives 1. An inactive particle takes a value but
    // does not count.
    ASSERT_NO_FATAL_FAILURE(build(cloud_square()));
    const SphShellState& st = sph_shell_state;
    const double a[3] = {3, 4, 0}, b[3] = {0, 0, 1}, big[3] = {0, 0, 10};
    ASSERT_EQ(sph_shell_set_particle_angular_velocity(1, a), 0);
    EXPECT_EQ(omega(1), (Vec3{3, 4, 0}));
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 5.0);
    ASSERT_EQ(sph_shell_set_particle_angular_velocity(1, b), 0);
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 1.0);
    sph_database.particle_status[2] = sph_status_inactive;
    ASSERT_EQ(sph_shell_set_particle_angular_velocity(2, big), 0);
    EXPECT_EQ(omega(2), (Vec3{0, 0, 10}));
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 1.0);
    // The update then turns only the active particle: (0,0,1) x (0,0,1) = 0 for particle 1.
    ASSERT_EQ(sph_shell_update_directors(0.1), 0);
    EXPECT_EQ(director(1), (Vec3{0, 0, 1}));

    struct Case {
        const char* what;
        int32_t index;
        Vec3 value;
        const char* message;
    };
    const char* invalid = "Shell angular velocity index is invalid";
    const char* infinite = "Shell angular velocity is not finite";
    const Case cases[] = {
        {"index -1", -1, {1, 0, 0}, invalid},
        {"index npart", 4, {1, 0, 0}, invalid},
        {"index npart with NaN", 4, {nan, 0, 0}, invalid},
        {"NaN", 0, {0, nan, 0}, infinite},
        {"infinite", 0, {0, 0, inf}, infinite},
        {"minus infinite", 0, {-inf, 0, 0}, infinite},
        {"above half the largest double", 0, {0, -1e308, 0}, infinite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<double> before = st.shell_omega;
        expect_failure(sph_shell_set_particle_angular_velocity(c.index, c.value.data()), sph_error_argument,
                       c.message);
        EXPECT_EQ(st.shell_omega, before);
        EXPECT_EQ(sph_shell.shell_max_angular_velocity, 1.0);
    }
}

// ---- Without shell state ----

TEST_F(ShellKinematics, WithoutShellStateEveryOperationSucceedsAndChangesNothing) {
    // A deck without shell material has no shell arrays; a particle store rebuilt after a
    // shell build leaves arrays sized for the old count, which count as absent. The
    // director step returns before looking at dt; the strain computation before clearing
    // its maxima; the point strains clear their two diagnostics first. The setters find
    // no particle to set.
    struct Case {
        const char* what;
        bool shell_deck;
    };
    const Case cases[] = {{"no shell material", false}, {"particle store rebuilt", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.shell_deck) {
            ASSERT_NO_FATAL_FAILURE(build(cloud_square({"*QUORREL, SHELL ROTATION, SET=SKIN, OX=1.0, OY=0.0, OZ=0.0"})));
            ASSERT_EQ(sph_db_allocate(5), 0);
        } else {
            ASSERT_EQ(sph_input_read(decks + "/gas_one.inp"), 0) << sph_error_message();
            ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
            ASSERT_TRUE(sph_shell_state.shell_director.empty());
        }
        ASSERT_FALSE(sph_shell_state_present());
        SphShell& s = sph_shell;
        s.shell_max_membrane_strain = 1.0;
        s.shell_max_bending_strain = 2.0;
        s.shell_max_shear_strain = 3.0;
        s.shell_max_ip_strain_increment = 4.0;
        s.shell_active_ip_count = 5;
        s.shell_director_max_length_error = 6.0;
        s.shell_max_angular_velocity = 7.0;
        s.shell_director_degenerate_count = 8;
        const SphShellState before = sph_shell_state;
        for (double dt : {0.1, -1.0, nan}) EXPECT_EQ(sph_shell_update_directors(dt), 0);
        EXPECT_EQ(sph_shell_compute_small_strain(), 0);
        EXPECT_EQ(s.shell_max_membrane_strain, 1.0);
        EXPECT_EQ(s.shell_max_bending_strain, 2.0);
        EXPECT_EQ(s.shell_max_shear_strain, 3.0);
        EXPECT_EQ(s.shell_max_ip_strain_increment, 4.0);
        EXPECT_EQ(s.shell_active_ip_count, 5);
        EXPECT_EQ(s.shell_director_max_length_error, 6.0);
        EXPECT_EQ(s.shell_max_angular_velocity, 7.0);
        EXPECT_EQ(s.shell_director_degenerate_count, 8);
        EXPECT_EQ(sph_shell_update_ip_strain_increment(), 0);
        EXPECT_EQ(s.shell_max_ip_strain_increment, 0.0);
        EXPECT_EQ(s.shell_active_ip_count, 0);
        const double v[3] = {0, 0, 1};
        expect_failure(sph_shell_set_particle_director(0, v), sph_error_argument, "Shell director index is invalid");
        expect_failure(sph_shell_set_particle_angular_velocity(0, v), sph_error_argument,
                       "Shell angular velocity index is invalid");
        EXPECT_EQ(s.shell_max_angular_velocity, 7.0);
        EXPECT_EQ(s.shell_director_degenerate_count, 8);
        EXPECT_EQ(sph_shell_state.shell_director, before.shell_director);
        EXPECT_EQ(sph_shell_state.shell_omega, before.shell_omega);
        EXPECT_EQ(sph_shell_state.shell_membrane_strain, before.shell_membrane_strain);
        EXPECT_EQ(sph_shell_state.shell_ip_strain, before.shell_ip_strain);
    }
}

}  // namespace
