// Shell particles in a deck: the director, reference area, local frame, inertia, rotation
// and through-thickness rule the build gives them on small decks (element normals and
// lumped areas, cloud normals, director sets, orientations, fallback tangents), every build
// failure with its message and counter, the unbound and unused-orientation warnings, where
// the reader sends shell data and how it reports their failures, and what of the shell
// tables and per-particle state a second deck, a rebuild and the interface's initialise
// leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "interface/sph_api.h"
#include "quorrel_test.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_state.h"
#include "solid/sph_solid.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;
using Edits = std::vector<std::pair<int, std::string>>;
using Lines = std::vector<std::string>;
using Vec = SphVec3;

const double a = 1.0 / std::sqrt(2.0);
const double root2 = std::sqrt(2.0);
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// shell_quad.inp, by physical line: 1-2 comments (free for an extra block)  4-8 nodes 1-5
// 10 the element (nodes 2, 3, 4, 1)  12 PLATE members  14 CORNER members (node 1)
// 15 *MATERIAL SKIN (SHELL)  16-17 density  18-19 *ELASTIC  20 the shell section on PLATE
// 21 time control, the last line.
constexpr int quad_element = 10, quad_plate = 12, quad_section = 20;
const std::string quad_section_line = "*SHELL SECTION, ELSET=PLATE, MATERIAL=SKIN, THICKNESS=0.01";
// shell_cloud.inp: 1-2 comments  4-8 nodes 1-5  10 CLOUD members (1-4)  12 FIRST members
// (node 1)  13 *MATERIAL SKIN (SHELL)  14-15 density  16-17 *ELASTIC  18 the shell section
// on CLOUD  19 time control, the last line.
constexpr int cloud_members = 10, cloud_material = 13, cloud_section = 18, cloud_lines = 19;
std::string section_of(const std::string& material, const std::string& options) {
    return "*SHELL SECTION, NSET=CLOUD, MATERIAL=" + material + ", " + options;
}
// The cloud's section line with other options (THICKNESS among them: the first of a name wins).
std::string cloud_section_with(const std::string& options) {
    return "*SHELL SECTION, NSET=CLOUD, MATERIAL=SKIN, " + options;
}
// shell_pair.inp: 15 PLATE members (elements 1, 2).
constexpr int pair_plate = 15;

const std::string director_card = "*QUORREL, SHELL DIRECTOR, ";
const std::string rotation_card = "*QUORREL, SHELL ROTATION, ";
const std::string control_card = "*QUORREL, SHELL CONTROL, ";

Vec at(const std::vector<double>& v, std::size_t i) { return {v[3 * i], v[3 * i + 1], v[3 * i + 2]}; }

void expect_vec(const Vec& got, const Vec& want, const char* what, double tol = 1e-15) {
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(got[k], want[k], tol) << what << " component " << k;
}

// What the build gives an active shell particle (0-based index).
struct Built {
    std::size_t index;
    Vec director;
    int32_t status;
    double area;
    Vec e1, e2;
};

void expect_built(const Built& b) {
    SCOPED_TRACE("particle " + std::to_string(b.index + 1));
    const SphShellState& st = sph_shell_state;
    expect_vec(at(st.shell_director, b.index), b.director, "director");
    EXPECT_EQ(st.shell_director_status[b.index], b.status);
    EXPECT_NEAR(st.shell_reference_area[b.index], b.area, 1e-14 * b.area);
    expect_vec(at(st.shell_local_e1, b.index), b.e1, "e1");
    expect_vec(at(st.shell_local_e2, b.index), b.e2, "e2");
    expect_vec(at(st.shell_local_e3, b.index), b.director, "e3");
    EXPECT_EQ(st.shell_local_frame_status[b.index], sph_shell_frame_ok);
    // The coupling's facet is the director and the area.
    double normal[3] = {};
    double area = 0.0;
    ASSERT_TRUE(sph_shell_facet_geometry(static_cast<int32_t>(b.index), normal, area));
    expect_vec({normal[0], normal[1], normal[2]}, b.director, "facet normal");
    EXPECT_EQ(area, st.shell_reference_area[b.index]);
}

// Every one of the 31 arrays holds zero for a particle the build did not initialise.
void expect_untouched(std::size_t i) {
    SCOPED_TRACE("untouched particle " + std::to_string(i + 1));
    int array = 0;
    sph_shell_for_each_array(sph_shell_state, [&](auto& values, std::size_t components) {
        ++array;
        ASSERT_GE(values.size(), components * (i + 1)) << "array " << array;
        for (std::size_t c = 0; c < components; ++c)
            EXPECT_EQ(values[components * i + c], 0) << "array " << array << " component " << c;
    });
}

std::size_t array_count_sized(std::size_t n) {
    std::size_t sized = 0;
    sph_shell_for_each_array(sph_shell_state, [&](auto& values, std::size_t components) {
        if (values.size() == components * n) ++sized;
    });
    return sized;
}

bool no_shell_arrays() {
    bool empty = true;
    sph_shell_for_each_array(sph_shell_state, [&](auto& values, std::size_t) { empty = empty && values.empty(); });
    return empty;
}

std::array<int32_t, 4> counters() {
    const SphShell& s = sph_shell;
    return {s.shell_director_degenerate_count, s.shell_local_frame_degenerate_count, s.shell_area_degenerate_count,
            s.shell_inertia_degenerate_count};
}

class ShellDeck : public test::DeckTest {
protected:
    static int32_t warnings() {
        int32_t count = -1;
        sph_input_get_warning_count(count);
        return count;
    }
};

// ---- Element geometry ----

struct QuadCase {
    std::string what;
    std::string element;  // line 10
    std::vector<std::size_t> shells, others;
    Vec normal;
    double area;  // each corner's
    Vec e1, e2;
    double length_error;
};

TEST_F(ShellDeck, QuadrilateralGivesEachCornerItsShareAndTheElementNormal) {
    // The element (2, 3, 4, 1): triangle (2, 3, 4) has the area vector
    // 1/2 (x3 - x2) x (x4 - x2) = 1/2 (0, 1, 1) x (-2, 1, 1) = (0, -1, 1), and triangle
    // (2, 4, 1) 1/2 (-2, 1, 1) x (-2, 0, 0) = (0, -1, 1), so the element's is (0, -2, 2):
    // area 2 sqrt 2, unit normal (0, -a, a), a = 1/sqrt 2, director length error 2 sqrt 2 - 1.
    // Its first edge x3 - x2 = (0, 1, 1) gives e1 = (0, a, a) and e2 = e3 x e1 = (-1, 0, 0).
    const Vec n = {0, -a, a}, e1 = {0, a, a}, e2 = {-1, 0, 0};
    const double whole = 2.0 * root2;
    const std::vector<QuadCase> cases = {
        {"four nodes", "1, 2, 3, 4, 1", {0, 1, 2, 3}, {4}, n, whole / 4, e1, e2, whole - 1},
        // Reversed: normal (0, a, -a); first edge x4 - x1 = (0, 1, 1) again, e2 = (1, 0, 0).
        {"four nodes reversed", "1, 1, 4, 3, 2", {0, 1, 2, 3}, {4}, {0, a, -a}, whole / 4, e1, {1, 0, 0},
         whole - 1},
        // Eight listed nodes: the area of the first four corners split eight ways.
        {"eight listed nodes", "1, 2, 3, 4, 1, 2, 3, 4, 1", {0, 1, 2, 3}, {4}, n, whole / 8, e1, e2, whole - 1},
        // A fifth node takes no part in the area, even one that is no particle, but counts
        // among the listed nodes.
        {"a fifth node that is no particle", "1, 2, 3, 4, 1, 99", {0, 1, 2, 3}, {4}, n, whole / 5, e1, e2,
         whole - 1},
        // Triangle (2, 3, 4): area vector (0, -1, 1), area sqrt 2 split three ways; node 1
        // is in no element, so in no section.
        {"a triangle", "1, 2, 3, 4", {1, 2, 3}, {0, 4}, n, root2 / 3, e1, e2, root2 - 1},
    };
    for (const QuadCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_quad.inp", {{quad_element, c.element}})), 0)
            << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), 0);
        ASSERT_EQ(array_count_sized(5), 31u);
        const SphShellState& st = sph_shell_state;
        for (std::size_t i : c.shells) {
            EXPECT_EQ(sph_database.particle_phase[i], sph_phase_shell) << i + 1;
            expect_built({i, c.normal, sph_shell_director_geometry, c.area, c.e1, c.e2});
            EXPECT_EQ(st.shell_thickness[i], 0.01);
            // Mass 1: t (m t) / 12.
            EXPECT_DOUBLE_EQ(st.shell_rotational_inertia[i], 0.01 * 0.01 / 12.0);
            EXPECT_EQ(st.shell_ip_count[i], 3);
            expect_vec(at(st.shell_omega, i), {0, 0, 0}, "omega");
        }
        for (std::size_t i : c.others) {
            EXPECT_NE(sph_database.particle_phase[i], sph_phase_shell) << i + 1;
            expect_untouched(i);
            // The coupling still reads a facet, of zero normal and area.
            double normal[3] = {1, 1, 1};
            double area = 1.0;
            EXPECT_TRUE(sph_shell_facet_geometry(static_cast<int32_t>(i), normal, area));
            expect_vec({normal[0], normal[1], normal[2]}, {0, 0, 0}, "facet normal");
            EXPECT_EQ(area, 0.0);
        }
        EXPECT_NEAR(sph_shell.shell_director_max_length_error, c.length_error, 1e-14);
        EXPECT_EQ(counters(), (std::array<int32_t, 4>{0, 0, 0, 0}));
        double normal[3];
        double area = 0.0;
        EXPECT_FALSE(sph_shell_facet_geometry(5, normal, area));
        EXPECT_FALSE(sph_shell_facet_geometry(-1, normal, area));
    }
}

TEST_F(ShellDeck, CornerSharedByTwoCoplanarQuadrilateralsGetsAQuarterOfBoth) {
    // Element 1 (area 1) has area vector (0, 0, 1), element 2 (area 2) (0, 0, 2): node 3,
    // in both, gets (1 + 2)/4 and the summed normal (0, 0, 3), length error 2. Element 1's
    // first edge is x2 - x1 = (1, 0, 0), element 2's x6 - x5 = (0, 1, 0); node 3 takes the
    // edge of the first element of PLATE that holds it.
    const Vec z = {0, 0, 1}, x = {1, 0, 0}, y = {0, 1, 0}, minus_x = {-1, 0, 0};
    struct Case {
        std::string members;
        Vec corner_e1, corner_e2;
    };
    for (const Case& c : std::vector<Case>{{"1, 2", x, y}, {"2, 1", y, minus_x}}) {
        SCOPED_TRACE("PLATE " + c.members);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_pair.inp", {{pair_plate, c.members}})), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        const int32_t g = sph_shell_director_geometry;
        expect_built({0, z, g, 0.25, x, y});
        expect_built({1, z, g, 0.25, x, y});
        expect_built({2, z, g, 0.75, c.corner_e1, c.corner_e2});
        expect_built({3, z, g, 0.25, x, y});
        for (std::size_t i = 4; i < 7; ++i) expect_built({i, z, g, 0.5, y, minus_x});
        EXPECT_DOUBLE_EQ(sph_shell.shell_director_max_length_error, 2.0);
        EXPECT_EQ(warnings(), 0);
    }
}

TEST_F(ShellDeck, NodeSetSectionSharesOneCloudNormal) {
    struct Case {
        std::string what;
        Edits edits;
        std::size_t inactive;  // particle made inactive after the read, or npart for none
        std::vector<std::size_t> shells, others;
        Vec normal;
        double area, length_error;
        Vec e2;
    };
    const std::vector<Case> cases = {
        // (1, 2, 3) is collinear; (1, 2, 4) gives (2, 0, 0) x (0, 3, 0) = (0, 0, 6) for all
        // four, though particle 3 is in no such triple. Area volume / thickness = 1 / 0.01.
        // No elements: the tangent is x2 - x1 = (2, 0, 0) of the first pair.
        {"four particles", {}, 5, {0, 1, 2, 3}, {4}, {0, 0, 1}, 100.0, 5.0, {0, 1, 0}},
        {"THICKNESS 0.25", {{cloud_section, cloud_section_with("THICKNESS=0.25")}}, 5, {0, 1, 2, 3}, {4}, {0, 0, 1},
         4.0, 5.0, {0, 1, 0}},
        // Particle 4 inactive and node 5 in the set: (1, 2, 5) gives (2, 0, 0) x (0, 0, 7) =
        // (0, -14, 0), and e2 = (0, -1, 0) x (1, 0, 0) = (0, 0, 1).
        {"an inactive particle skipped", {{cloud_members, "1, 2, 3, 4, 5"}}, 3, {0, 1, 2, 4}, {3}, {0, -1, 0}, 100.0,
         13.0, {0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", c.edits)), 0) << sph_error_message();
        if (c.inactive < 5) sph_database.particle_status[c.inactive] = sph_status_inactive;
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        for (std::size_t i : c.shells)
            expect_built({i, c.normal, sph_shell_director_geometry, c.area, {1, 0, 0}, c.e2});
        for (std::size_t i : c.others) expect_untouched(i);
        EXPECT_DOUBLE_EQ(sph_shell.shell_director_max_length_error, c.length_error);
        EXPECT_EQ(counters(), (std::array<int32_t, 4>{0, 0, 0, 0}));
    }
}

// ---- Director sources ----

struct Source {
    std::string what;
    std::string deck;
    Edits edits;
    Lines appended;
    std::vector<Built> particles;
    double length_error;
    int32_t warnings;
    std::vector<bool> orientation_used, director_set_used;
};

TEST_F(ShellDeck, DirectorSetsComeBeforeOrientationsAndGeometry) {
    const int32_t input = sph_shell_director_input, from_orientation = sph_shell_director_orientation;
    const Edits tilt_section = {{quad_section, quad_section_line + ", ORIENTATION=TILT"}};
    // Director (0, -1, 1), tangent (1, 0, 0): already orthogonal.
    const Lines tilt = {"*ORIENTATION, NAME=TILT", "0, -1, 1, 1, 0, 0"};
    const std::string plate_up = director_card + "SET=PLATE, NX=0, NY=0, NZ=3";
    const std::string corner_y = director_card + "NSET=CORNER, NX=0, NY=2, NZ=0";
    const double quarter = root2 / 2;  // a quarter of the element's 2 sqrt 2
    const Vec z = {0, 0, 1}, x = {1, 0, 0}, y = {0, 1, 0};
    // Under a director (0, 0, 1) the element edge (0, 1, 1) projects onto (0, 1, 0).
    auto four = [](Built b) {
        std::vector<Built> all;
        for (std::size_t i = 0; i < 4; ++i) {
            b.index = i;
            all.push_back(b);
        }
        return all;
    };
    std::vector<Built> corner_first = four({0, z, input, quarter, y, {-1, 0, 0}});
    // Particle 1 under (0, 1, 0): the edge projects onto (0, 0, 1), e2 = (0, 1, 0) x (0, 0, 1).
    corner_first[0] = {0, y, input, quarter, z, x};
    const std::vector<Source> cases = {
        // Over a node-set section: the set's vector (length 5), the area volume / thickness.
        {"director set over the cloud", "shell_cloud.inp", {}, {director_card + "NSET=CLOUD, NX=0, NY=0, NZ=5"},
         four({0, z, input, 100.0, x, y}), 4.0, 0, {}, {true}},
        // The orientation gives the director (length sqrt 2) and its tangent the frame:
        // e2 = (0, -a, a) x (1, 0, 0) = (0, a, a). The area is still the element's share.
        {"orientation", "shell_quad.inp", tilt_section, tilt, four({0, {0, -a, a}, from_orientation, quarter, x,
                                                                    {0, a, a}}),
         root2 - 1, 0, {true}, {}},
        // A director set over the orientation: the orientation still gives the tangent but
        // is unused (one warning).
        {"director set over an orientation", "shell_quad.inp", tilt_section, {tilt[0], tilt[1], plate_up},
         four({0, z, input, quarter, x, y}), 2.0, 1, {false}, {true}},
        // Both sets hold particle 1: the one defined first wins.
        {"element set first", "shell_quad.inp", {}, {plate_up, corner_y}, four({0, z, input, quarter, y, {-1, 0, 0}}),
         2.0, 0, {}, {true, false}},
        {"node set first", "shell_quad.inp", {}, {corner_y, plate_up}, corner_first, 2.0, 0, {}, {true, true}},
    };
    for (const Source& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited(c.deck, c.edits, c.appended)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        for (const Built& b : c.particles) expect_built(b);
        expect_untouched(4);
        EXPECT_DOUBLE_EQ(sph_shell.shell_director_max_length_error, c.length_error);
        EXPECT_EQ(warnings(), c.warnings);
        ASSERT_EQ(sph_shell.shell_orientation_count, static_cast<int32_t>(c.orientation_used.size()));
        for (std::size_t k = 0; k < c.orientation_used.size(); ++k)
            EXPECT_EQ(sph_shell.shell_orientations[k].shell_orientation_used, c.orientation_used[k]) << k;
        ASSERT_EQ(sph_shell.shell_director_set_count, static_cast<int32_t>(c.director_set_used.size()));
        for (std::size_t k = 0; k < c.director_set_used.size(); ++k)
            EXPECT_EQ(sph_shell.shell_director_sets[k].shell_director_set_used, c.director_set_used[k]) << k;
    }
}

TEST_F(ShellDeck, LoneParticleTakesTheFallbackTangent) {
    // CLOUD holds node 1 alone: no orientation, no element, no second particle. The tangent
    // is (1, 0, 0), or (0, 1, 0) when |e3 . (1, 0, 0)| > 0.9; e1 is its part orthogonal to
    // e3, e2 = e3 x e1.
    struct Case {
        Vec director;  // as given
        Vec e3, e1, e2;
    };
    const double s10 = 1.0 / std::sqrt(10.0);
    const std::vector<Case> cases = {
        {{1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{-4, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
        {{0, 0, 2}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
        // e3 . x = 3/sqrt 10 = 0.949: (0, 1, 0), e2 = (3, 0, 1)/sqrt 10 x (0, 1, 0) = (-1, 0, 3)/sqrt 10.
        {{3, 0, 1}, {3 * s10, 0, s10}, {0, 1, 0}, {-s10, 0, 3 * s10}},
        // e3 . x = 0.707: (1, 0, 0) less its e3 part, (1/2, 0, -1/2).
        {{1, 0, 1}, {a, 0, a}, {a, 0, -a}, {0, 1, 0}},
        {{1, 1, 0}, {a, a, 0}, {a, -a, 0}, {0, 0, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.director[0]) + ", " + std::to_string(c.director[1]) + ", " +
                     std::to_string(c.director[2]));
        SetUp();
        const std::string card = director_card + "NSET=CLOUD, NX=" + std::to_string(c.director[0]) +
                                 ", NY=" + std::to_string(c.director[1]) + ", NZ=" + std::to_string(c.director[2]);
        ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {{cloud_members, "1"}}, {card})), 0)
            << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        expect_built({0, c.e3, sph_shell_director_input, 100.0, c.e1, c.e2});
        for (std::size_t i = 1; i < 5; ++i) expect_untouched(i);
    }
}

// ---- Inertia, rule, copies, rotation ----

TEST_F(ShellDeck, InertiaRuleAndCopiesOfTheParticle) {
    struct Case {
        std::string section_options;
        double thickness;
        int32_t points;
        double mass_1;  // particle 1's mass, set after the read
        double shear;   // the section's shear correction: 5/6 unless given
    };
    const std::vector<Case> cases = {
        {"THICKNESS=0.01", 0.01, 3, 1.0, 0.8333333333333334},
        // Mass 2, thickness 0.3: 0.3 (2 x 0.3) / 12 = 0.015; the others 0.09 / 12 = 0.0075.
        {"THICKNESS=0.3, POINTS=5", 0.3, 5, 2.0, 0.8333333333333334},
        {"THICKNESS=0.3, POINTS=3, SHEAR=1", 0.3, 3, 2.0, 1.0},
        // 16e-12 / 12 = 1.33e-12: just above the degenerate bound.
        {"THICKNESS=4e-6, POINTS=5, SHEAR_CORRECTION=1.0, SHEAR=7", 4e-6, 5, 1.0, 1.0},
    };
    // Gauss-Legendre on [-1/2, 1/2]: see ShellTable.ThroughThicknessRules for the working.
    const double c3 = std::sqrt(0.6) / 2.0;
    const double inner = std::sqrt(5.0 - 2.0 * std::sqrt(10.0 / 7.0)) / 6.0;
    const double outer = std::sqrt(5.0 + 2.0 * std::sqrt(10.0 / 7.0)) / 6.0;
    const double w_inner = (322.0 + 13.0 * std::sqrt(70.0)) / 1800.0;
    const double w_outer = (322.0 - 13.0 * std::sqrt(70.0)) / 1800.0;
    const std::array<double, 5> coords3 = {-c3, 0, c3, 0, 0}, weights3 = {5.0 / 18, 8.0 / 18, 5.0 / 18, 0, 0};
    const std::array<double, 5> coords5 = {-outer, -inner, 0, inner, outer};
    const std::array<double, 5> weights5 = {w_outer, w_inner, 64.0 / 225, w_inner, w_outer};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section_options);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {{cloud_section, cloud_section_with(c.section_options)}})),
                  0)
            << sph_error_message();
        SphDatabase& d = sph_database;
        d.mass[0] = c.mass_1;
        d.temperature[1] = 400.0;
        d.internal_energy[2] = 12.5;
        EXPECT_EQ(sph_database.sections.at(0).section_shear_correction, c.shear);
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        const SphShellState& st = sph_shell_state;
        const std::array<double, 5>& coords = c.points == 5 ? coords5 : coords3;
        const std::array<double, 5>& weights = c.points == 5 ? weights5 : weights3;
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i + 1);
            EXPECT_EQ(st.shell_thickness[i], c.thickness);
            const double m = i == 0 ? c.mass_1 : 1.0;
            EXPECT_DOUBLE_EQ(st.shell_rotational_inertia[i], m * c.thickness * c.thickness / 12.0);
            EXPECT_DOUBLE_EQ(st.shell_reference_area[i], 1.0 / c.thickness);
            EXPECT_EQ(st.shell_ip_count[i], c.points);
            EXPECT_EQ(st.shell_internal_energy[i], i == 2 ? 12.5 : 0.0);
            EXPECT_EQ(st.shell_softening[i], 1.0);
            EXPECT_EQ(st.shell_damage[i], 0.0);
            EXPECT_EQ(st.shell_failure_status[i], 0);
            double sum = 0.0;
            for (std::size_t k = 0; k < 5; ++k) {
                const bool used = k < static_cast<std::size_t>(c.points);
                EXPECT_NEAR(st.shell_ip_coord[5 * i + k], coords[k], 2e-16) << k;
                EXPECT_NEAR(st.shell_ip_weight[5 * i + k], weights[k], 2e-16) << k;
                sum += st.shell_ip_weight[5 * i + k];
                EXPECT_EQ(st.shell_ip_temperature[5 * i + k], used ? (i == 1 ? 400.0 : 293.15) : 0.0) << k;
                EXPECT_EQ(st.shell_ip_softening[5 * i + k], used ? 1.0 : 0.0) << k;
                EXPECT_EQ(st.shell_ip_plastic_strain[5 * i + k], 0.0) << k;
            }
            EXPECT_NEAR(sum, 1.0, 1e-15);
        }
        expect_untouched(4);
    }
}

TEST_F(ShellDeck, FirstRotationSetHoldingAParticleGivesItsRates) {
    struct Case {
        std::string what;
        Lines cards;
        Vec omega_1, alpha_1, omega, alpha;  // particle 1, particles 2-4
        double max_omega;
        std::vector<bool> used;
    };
    const std::string corner = rotation_card + "NSET=CORNER, OX=2, OY=3, OZ=6, AX=1";
    const std::string plate = rotation_card + "SET=PLATE, OX=0, OY=0, OZ=4, AY=-2";
    const Vec o = {0, 0, 0};
    const std::vector<Case> cases = {
        // |(2, 3, 6)| = 7.
        {"node set first", {corner, plate}, {2, 3, 6}, {1, 0, 0}, {0, 0, 4}, {0, -2, 0}, 7.0, {true, true}},
        {"element set first", {plate, corner}, {0, 0, 4}, {0, -2, 0}, {0, 0, 4}, {0, -2, 0}, 4.0, {true, false}},
        // Without AX, AY, AZ the acceleration is zero.
        {"no acceleration given", {rotation_card + "ELSET=PLATE, OX=-1, OY=0, OZ=0"}, {-1, 0, 0}, o, {-1, 0, 0}, o,
         1.0, {true}},
        {"no rotation", {}, o, o, o, o, 0.0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_quad.inp", {}, c.cards)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        const SphShellState& st = sph_shell_state;
        expect_vec(at(st.shell_omega, 0), c.omega_1, "omega 1", 0.0);
        expect_vec(at(st.shell_alpha, 0), c.alpha_1, "alpha 1", 0.0);
        for (std::size_t i = 1; i < 4; ++i) {
            expect_vec(at(st.shell_omega, i), c.omega, "omega", 0.0);
            expect_vec(at(st.shell_alpha, i), c.alpha, "alpha", 0.0);
        }
        expect_untouched(4);
        EXPECT_EQ(sph_shell.shell_max_angular_velocity, c.max_omega);
        sph_shell.shell_max_angular_velocity = -1.0;
        sph_shell_update_max_angular_velocity();
        EXPECT_EQ(sph_shell.shell_max_angular_velocity, c.max_omega);
        ASSERT_EQ(sph_shell.shell_rotation_set_count, static_cast<int32_t>(c.used.size()));
        for (std::size_t k = 0; k < c.used.size(); ++k)
            EXPECT_EQ(sph_shell.shell_rotation_sets[k].shell_rotation_set_used, c.used[k]) << k;
    }
}

// ---- Build failures ----

struct Failure {
    std::string what;
    std::string deck;
    Edits edits;
    Lines appended;
    std::function<void()> after_read;      // before the build; may be empty
    std::function<void()> after_sections;  // when set: sections applied, this, then the shell build alone
    std::string message;                   // code 4, unlocated
    std::array<int32_t, 4> counters;       // director, local frame, area, inertia
    std::function<void()> check;           // what else the failure leaves; may be empty
};

SphDatabase& db() { return sph_database; }

std::vector<Failure> failure_cases() {
    const std::string density = "active Shell material is missing density";
    const std::string elastic = "active Shell material is missing elastic data";
    const std::string flow = "Shell failure requires Johnson-Cook flow data";
    const std::string missing = "active Shell particle is missing Shell section";
    const std::string not_bound = "active Shell particle is not bound to Shell section";
    const std::string mismatch = "active Shell particle section material mismatch";
    const std::string thickness = "Shell section thickness must be positive";
    const std::string points = "Shell section POINTS must be 3 or 5";
    const std::string shear = "Shell section SHEAR_CORRECTION is invalid";
    const std::string orientation = "Shell section references unknown orientation";
    const std::string node = "Shell element references unknown node";
    const std::string inferred = "active Shell particle director cannot be inferred";
    const std::string area = "Shell reference area is degenerate";
    const std::string inertia = "Shell rotational inertia is degenerate";
    const std::string tangent = "Shell local frame tangent is degenerate";
    const std::string cloud = "shell_cloud.inp", quad = "shell_quad.inp";
    const std::array<int32_t, 4> none = {0, 0, 0, 0};
    const Edits no_density = {{14, "**"}, {15, "**"}};
    const Edits no_elastic = {{16, "**"}, {17, "**"}};
    const Edits both = {no_density[0], no_density[1], no_elastic[0], no_elastic[1]};
    const Lines damage = {"*DAMAGE INITIATION", "0.1, 0.2, 0.3, 0.4, 0.5"};
    const std::pair<int, std::string> generic = {cloud_section, "*SECTION, NSET=CLOUD, MATERIAL=SKIN"};
    auto section = [](std::function<void(SphSectionRecord&)> change) {
        return [change] { change(sph_database.sections.at(0)); };
    };
    const Lines tilt = {"*ORIENTATION, NAME=TILT", "0, -1, 1, 1, 0, 0"};
    const Edits tilt_section = {{quad_section, quad_section_line + ", ORIENTATION=TILT"}};
    return {
        // The material checks, in order.
        {"no density", cloud, no_density, {}, {}, {}, density, none, {}},
        {"no elastic data", cloud, no_elastic, {}, {}, {}, elastic, none, {}},
        {"no density and no elastic data", cloud, both, {}, {}, {}, density, none, {}},
        {"damage without flow data", cloud, {}, damage, {}, {}, flow, none, {}},
        {"no elastic data and damage without flow data", cloud, no_elastic, damage, {}, {}, elastic, none, {}},
        // Particle sections, each particle in index order, then the section's values.
        {"a section that is not a shell section", cloud, {generic}, {}, {}, {}, not_bound, none, {}},
        {"the material checks before the sections", cloud, {no_density[0], no_density[1], generic}, {}, {}, {},
         density, none, {}},
        {"particle 2 in no section", cloud, {}, {}, {}, [] { db().section_id[1] = 0; }, missing, none, {}},
        {"particle 2 past the last section", cloud, {}, {}, {}, [] { db().section_id[1] = 2; }, missing, none, {}},
        {"particle 2 of another material", cloud, {}, {}, {}, [] { db().material_id[1] = 7; }, mismatch, none, {}},
        {"particle 1's mismatch before particle 2's missing section", cloud, {}, {}, {},
         [] {
             db().material_id[0] = 7;
             db().section_id[1] = 0;
         },
         mismatch, none, {}},
        {"particle 1's missing section before particle 2's mismatch", cloud, {}, {}, {},
         [] {
             db().section_id[0] = 0;
             db().material_id[1] = 7;
         },
         missing, none, {}},
        {"the mismatch before the section values", cloud, {}, {}, section([](auto& s) { s.section_thickness = 0; }),
         [] { db().material_id[0] = 7; }, mismatch, none, {}},
        {"the binding before the section values", cloud, {generic}, {},
         section([](auto& s) { s.section_thickness = 0; }), {}, not_bound, none, {}},
        {"thickness 0", cloud, {}, {}, section([](auto& s) { s.section_thickness = 0.0; }), {}, thickness, none, {}},
        {"thickness negative", cloud, {}, {}, section([](auto& s) { s.section_thickness = -0.01; }), {}, thickness,
         none, {}},
        {"thickness NaN", cloud, {}, {}, section([](auto& s) { s.section_thickness = nan_value; }), {}, thickness,
         none, {}},
        {"thickness 1e308", cloud, {}, {}, section([](auto& s) { s.section_thickness = 1e308; }), {}, thickness, none,
         {}},
        {"POINTS 4", cloud, {}, {}, section([](auto& s) { s.section_integration_points = 4; }), {}, points, none, {}},
        {"POINTS 0", cloud, {}, {}, section([](auto& s) { s.section_integration_points = 0; }), {}, points, none, {}},
        {"thickness before POINTS", cloud, {}, {},
         section([](auto& s) {
             s.section_thickness = 0.0;
             s.section_integration_points = 4;
         }),
         {}, thickness, none, {}},
        {"SHEAR_CORRECTION 0", cloud, {}, {}, section([](auto& s) { s.section_shear_correction = 0.0; }), {}, shear,
         none, {}},
        {"SHEAR_CORRECTION 1.0000001", cloud, {}, {},
         section([](auto& s) { s.section_shear_correction = 1.0000001; }), {}, shear, none, {}},
        {"SHEAR_CORRECTION NaN", cloud, {}, {}, section([](auto& s) { s.section_shear_correction = nan_value; }), {},
         shear, none, {}},
        {"POINTS before SHEAR_CORRECTION", cloud, {}, {},
         section([](auto& s) {
             s.section_integration_points = 2;
             s.section_shear_correction = -1.0;
         }),
         {}, points, none, {}},
        // The particles' own geometry.
        {"an orientation no table holds", cloud,
         {{cloud_section, cloud_section_with("THICKNESS=0.01, ORIENTATION=NOPE")}}, {},
         {}, {}, orientation, none, {}},
        {"an orientation of another name", quad, {{quad_section, quad_section_line + ", ORIENTATION=TILTED"}}, tilt,
         {}, {}, orientation, none, {}},
        {"an unknown third node", quad, {{quad_element, "1, 2, 3, 99, 1"}}, {}, {}, {}, node, none, {}},
        {"an unknown fourth node", quad, {{quad_element, "1, 2, 3, 4, 99"}}, {}, {}, {}, node, none, {}},
        {"two particles and no element", cloud, {{cloud_members, "1, 2"}}, {}, {}, {}, inferred, {1, 0, 0, 0}, {}},
        {"three particles on a line", cloud, {{cloud_members, "1, 2, 3"}}, {}, {}, {}, inferred, {1, 0, 0, 0}, {}},
        // A second element over the first with the nodes reversed: the area vectors (0, -2, 2)
        // and (0, 2, -2) cancel exactly.
        {"two opposed elements", quad, {{1, "*ELEMENT, TYPE=S4"}, {2, "2, 1, 4, 3, 2"}, {quad_plate, "1, 2"}}, {}, {},
         {}, "Shell director is degenerate", {1, 0, 0, 0},
         [] {
             EXPECT_EQ(sph_shell_state.shell_director_status[0], sph_shell_director_degenerate);
             expect_vec(at(sph_shell_state.shell_director, 0), {0, 0, 0}, "director");
             EXPECT_EQ(sph_shell_state.shell_director_status[1], 0);
         }},
        // Volume 1 / thickness 1e13 = 1e-13.
        {"area of a thickness 1e13", cloud, {{cloud_section, cloud_section_with("THICKNESS=1e13")}}, {}, {}, {}, area,
         {0, 0, 1, 0}, {}},
        {"area of a volume 0", cloud, {}, {}, [] { db().volume[0] = 0.0; }, {}, area, {0, 0, 1, 0}, {}},
        // (1e-6)^2 / 12 = 8.3e-14.
        {"inertia of a thickness 1e-6", cloud, {{cloud_section, cloud_section_with("THICKNESS=1e-6")}}, {}, {}, {},
         inertia, {0, 0, 0, 1}, {}},
        // Particle 3 fails: 1 and 2 stay built, 3 has its director but no frame, 4 is untouched.
        {"inertia of a mass 0", cloud, {}, {}, [] { db().mass[2] = 0.0; }, {}, inertia, {0, 0, 0, 1},
         [] {
             const SphShellState& st = sph_shell_state;
             for (std::size_t i : {0u, 1u}) {
                 EXPECT_EQ(st.shell_director_status[i], sph_shell_director_geometry) << i;
                 EXPECT_EQ(st.shell_local_frame_status[i], sph_shell_frame_ok) << i;
                 EXPECT_EQ(st.shell_ip_count[i], 3) << i;
             }
             EXPECT_EQ(st.shell_director_status[2], sph_shell_director_geometry);
             EXPECT_EQ(st.shell_local_frame_status[2], sph_shell_frame_none);
             EXPECT_EQ(st.shell_ip_count[2], 0);
             expect_untouched(3);
         }},
        // The orientation's tangent (1, 0, 0) along the director set's (1, 0, 0).
        {"orientation tangent along the director", quad, tilt_section,
         {tilt[0], tilt[1], director_card + "SET=PLATE, NX=1, NY=0, NZ=0"}, {}, {}, tangent, {0, 1, 0, 0},
         [] {
             EXPECT_EQ(sph_shell_state.shell_local_frame_status[0], sph_shell_frame_degenerate);
             EXPECT_EQ(sph_shell_state.shell_director_status[0], sph_shell_director_input);
         }},
        // The element edge (0, 1, 1) along the director; the pair tangent x2 - x1 = (2, 0, 0)
        // would do, but no other tangent is tried.
        {"element edge along the director", quad, {}, {director_card + "SET=PLATE, NX=0, NY=5, NZ=5"}, {}, {}, tangent,
         {0, 1, 0, 0}, [] { EXPECT_EQ(sph_shell_state.shell_local_frame_status[0], sph_shell_frame_degenerate); }},
    };
}

TEST_F(ShellDeck, BuildFailuresInTheirOrderWithTheirCounters) {
    for (const Failure& c : failure_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited(c.deck, c.edits, c.appended)), 0) << sph_error_message();
        if (c.after_read) c.after_read();
        int st = 0;
        if (c.after_sections) {
            ASSERT_EQ(sph_db_apply_sections_to_particles(), 0);
            c.after_sections();
            st = sph_shell_build_state();
        } else {
            st = sph_input_build_model();
        }
        EXPECT_EQ(st, sph_error_input);
        EXPECT_EQ(sph_error_code(), sph_error_input);
        EXPECT_EQ(sph_error_message(), c.message);
        EXPECT_EQ(counters(), c.counters);
        if (c.check) c.check();
    }
}

TEST_F(ShellDeck, ZeroAreaElementIsCountedNotRefused) {
    // All four nodes on the x axis: the element has no area. The director set gives the
    // director; the element adds one to the area count for each particle, which then takes
    // volume / thickness. Its first edge x3 - x2 = (1, 0, 0) is the tangent.
    const Edits line = {{5, "2, 2.0, 0.0, 0.0"}, {6, "3, 3.0, 0.0, 0.0"}, {7, "4, 1.0, 0.0, 0.0"}};
    ASSERT_EQ(sph_input_read(edited("shell_quad.inp", line, {director_card + "SET=PLATE, NX=0, NY=0, NZ=1"})), 0)
        << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    for (std::size_t i = 0; i < 4; ++i)
        expect_built({i, {0, 0, 1}, sph_shell_director_input, 100.0, {1, 0, 0}, {0, 1, 0}});
    EXPECT_EQ(counters(), (std::array<int32_t, 4>{0, 0, 4, 0}));
}

// ---- Warnings ----

TEST_F(ShellDeck, UnboundMaterialsAndUnusedOrientationsAreWarnings) {
    const Lines liner = {"*MATERIAL, NAME=LINER, TYPE=Shell"};  // no data, no particles: not checked
    const Lines three = {"*ORIENTATION, NAME=TILT", "0, -1, 1, 1, 0, 0", "*ORIENTATION, NAME=SPARE1",
                         "0, 0, 1, 1, 0, 0", "*ORIENTATION, NAME=SPARE2", "1, 0, 0, 0, 1, 0"};
    Lines both = liner;
    both.insert(both.end(), three.begin(), three.end());
    const Edits tilt_section = {{quad_section, quad_section_line + ", ORIENTATION=TILT"}};
    struct Case {
        std::string what;
        Edits edits;
        Lines appended;
        int32_t warnings;
    };
    const std::vector<Case> cases = {
        {"the base deck", {}, {}, 0},
        {"an unbound shell material", {}, liner, 1},
        {"two of three orientations unused", tilt_section, three, 2},
        {"no orientation used", {}, three, 3},
        {"both", tilt_section, both, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_quad.inp", c.edits, c.appended)), 0) << sph_error_message();
        EXPECT_EQ(warnings(), 0);
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), c.warnings);
        // A second build of the same read counts them again.
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), 2 * c.warnings);
    }
}

// ---- Reader joins ----

TEST_F(ShellDeck, ShellMaterialDataGoToTheShellTable) {
    const Lines data = {"*PLASTIC", "4.0e8, 1.0e8, 0.5, 0.01, 1.0, 2.0, 300.0, 1700.0", "*DAMAGE INITIATION",
                        "0.1, 0.2, -0.3, 0.004, 0.5", control_card + "MATERIAL=skin, SOFTENING=nonlinear"};
    for (const std::string type : {"SHELL", "thin_Shell"}) {
        SCOPED_TRACE(type);
        SetUp();
        ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {{cloud_material, "*MATERIAL, NAME=SKIN, TYPE=" + type}},
                                        data)),
                  0)
            << sph_error_message();
        EXPECT_TRUE(sph_shell.shell_material_seen);
        ASSERT_EQ(sph_shell.shell_material_count, 1);
        const SphShellMaterial& m = sph_shell.shell_materials[0];
        EXPECT_EQ(m.shell_material_ids, 1);
        EXPECT_EQ(m.shell_material_names, "SKIN");
        EXPECT_TRUE(m.params.elastic_defined && m.params.johnson_cook_defined && m.params.failure_defined &&
                    m.params.control_defined);
        EXPECT_EQ(m.params.elastic_e, 2.0e11);
        EXPECT_EQ(m.params.elastic_nu, 0.3);
        EXPECT_EQ(m.params.jc_a, 4.0e8);
        EXPECT_EQ(m.params.jc_b, 1.0e8);
        EXPECT_EQ(m.params.jc_n, 0.5);
        EXPECT_EQ(m.params.jc_c, 0.01);
        EXPECT_EQ(m.params.jc_m, 1.0);
        EXPECT_EQ(m.params.jc_epsdot0, 2.0);
        EXPECT_EQ(m.params.jc_troom, 300.0);
        EXPECT_EQ(m.params.jc_tmelt, 1700.0);
        EXPECT_EQ(m.params.failure_d, (std::array<double, 5>{0.1, 0.2, -0.3, 0.004, 0.5}));
        EXPECT_EQ(m.params.softening_type, "NONLINEAR");
        EXPECT_EQ(m.params.softening_width, 1.0);  // the card's default WIDTH
        // Nothing reached the solid table.
        EXPECT_FALSE(sph_solid.solid_material_seen);
        EXPECT_EQ(sph_solid.solid_material_count, 0);
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), 0);
    }
}

struct ReadFailure {
    std::string what;
    Edits edits;
    Lines appended;
    int line;  // 0: unlocated
    int code;
    std::string message;
};

TEST_F(ShellDeck, DataLineFailuresAreUnlocatedAndCardFailuresLocated) {
    const int arg = sph_error_argument, input = sph_error_input;
    constexpr int elastic = 17, first = cloud_lines + 1, second = cloud_lines + 2;
    const std::string orientation = "*ORIENTATION, NAME=TILT";
    const std::string steel = "*MATERIAL, NAME=STEEL, TYPE=SOLID";
    const std::vector<ReadFailure> cases = {
        // Data lines of a shell material: the shell setters' own messages and codes.
        {"nu 0.5", {{elastic, "2.0e11, 0.5"}}, {}, 0, arg, "Shell Poisson ratio is invalid"},
        {"E 0", {{elastic, "0, 0.3"}}, {}, 0, arg, "Shell elastic modulus must be positive"},
        {"melt equal to room", {}, {"*PLASTIC", "1, 1, 1, 1, 1, 1, 300, 300"}, 0, arg,
         "Shell Johnson-Cook melt temperature must exceed room temperature"},
        {"damage NaN", {}, {"*DAMAGE INITIATION", "0.1, nan, 0, 0, 0"}, 0, arg,
         "Shell Johnson-Cook failure parameter is not finite"},
        {"orientation parallel", {}, {orientation, "0, 0, 1, 0, 0, -2"}, 0, input,
         "Shell orientation vectors are parallel"},
        {"orientation director zero", {}, {orientation, "0, 0, 0, 1, 0, 0"}, 0, input,
         "Shell orientation director is degenerate"},
        // Other materials' data go to the solid table.
        {"elastic data of a solid material", {}, {steel, "*ELASTIC", "2.0e11, 0.5"}, 0, arg,
         "Solid Poisson ratio is invalid"},
        {"elastic data of a material of neither kind", {}, {"*MATERIAL, NAME=ROCK, TYPE=TARGET", "*ELASTIC", "1, 0.3"},
         0, input, "Solid data references non-Solid material"},
        // The reader's own checks of those lines are located.
        {"elastic record short", {{elastic, "2.0e11"}}, {}, elastic, input, "invalid *ELASTIC record"},
        {"orientation record short", {}, {orientation, "0, 0, 1, 1, 0"}, second, input, "invalid *ORIENTATION record"},
        {"orientation value", {}, {orientation, "0, 0, x, 1, 0, 0"}, second, input,
         "invalid *ORIENTATION numeric value"},
        {"orientation without NAME", {}, {"*ORIENTATION", "0, 0, 1, 1, 0, 0"}, first, input,
         "Orientation is missing NAME option"},
        // Cards: every failure located, the setter's code kept.
        {"director zero", {}, {director_card + "NSET=CLOUD, NX=0, NY=0, NZ=0"}, first, input,
         "Shell director is degenerate"},
        {"director NaN", {}, {director_card + "NSET=CLOUD, NX=nan, NY=0, NZ=1"}, first, input,
         "Shell director is not finite"},
        {"director without SET", {}, {director_card + "NX=0, NY=0, NZ=1"}, first, input,
         "Shell director is missing SET option"},
        {"director without NZ", {}, {director_card + "SET=CLOUD, NX=0, NY=0"}, first, input,
         "missing required option NZ"},
        {"rotation NaN", {}, {rotation_card + "SET=CLOUD, OX=nan, OY=0, OZ=0"}, first, input,
         "Shell angular velocity is not finite"},
        {"rotation acceleration 1e308", {}, {rotation_card + "SET=CLOUD, OX=0, OY=0, OZ=0, AZ=1e308"}, first, input,
         "Shell angular acceleration is not finite"},
        {"rotation without SET", {}, {rotation_card + "OX=0, OY=0, OZ=0"}, first, input,
         "Shell rotation is missing SET option"},
        {"control quadratic", {}, {control_card + "MATERIAL=SKIN, SOFTENING=quadratic"}, first, input,
         "Shell SOFTENING must be LINEAR"},
        {"control WIDTH 0", {}, {control_card + "MATERIAL=SKIN, WIDTH=0"}, first, arg,
         "Shell softening WIDTH must be positive"},
        {"control WIDTH NaN", {}, {control_card + "MATERIAL=SKIN, WIDTH=nan"}, first, arg,
         "Shell softening WIDTH is not finite"},
        {"control of an unknown material", {}, {control_card + "MATERIAL=NOPE"}, first, input,
         "Shell material is unknown"},
        {"control without MATERIAL", {}, {control_card + "SOFTENING=LINEAR"}, first, input,
         "Shell material is unknown"},
        {"control of a solid material", {}, {steel, control_card + "MATERIAL=STEEL"}, second, input,
         "Shell data references non-Shell material"},
        // The shell section line's own checks, in order.
        {"section without MATERIAL", {{cloud_section, "*SHELL SECTION, NSET=CLOUD, THICKNESS=0.01"}}, {},
         cloud_section, input, "Shell section is missing MATERIAL option"},
        {"section of an unknown material", {{cloud_section, section_of("NOPE", "THICKNESS=0.01, POINTS=4")}}, {},
         cloud_section, input, "Shell section references unknown material"},
        {"section before its material", {{1, section_of("SKIN", "THICKNESS=0.01")}}, {}, 1, input,
         "Shell section references unknown material"},
        {"section of a material of neither kind",
         {{cloud_material, "*MATERIAL, NAME=SKIN, TYPE=TARGET"}, {16, "**"}, {17, "**"}}, {}, cloud_section, input,
         "Shell section references non-Shell material"},
        {"section without THICKNESS", {{cloud_section, section_of("SKIN", "POINTS=4")}}, {}, cloud_section, input,
         "Shell section THICKNESS must be positive"},
        {"section THICKNESS NaN", {{cloud_section, section_of("SKIN", "THICKNESS=nan")}}, {}, cloud_section, input,
         "Shell section THICKNESS must be positive"},
        {"section POINTS 4", {{cloud_section, section_of("SKIN", "THICKNESS=0.01, POINTS=4, SHEAR=0")}}, {},
         cloud_section, input, "Shell section POINTS must be 3 or 5"},
        {"section SHEAR 0", {{cloud_section, section_of("SKIN", "THICKNESS=0.01, SHEAR=0")}}, {}, cloud_section,
         input, "Shell section SHEAR_CORRECTION is invalid"},
        {"section SHEAR_CORRECTION 1.0000001",
         {{cloud_section, section_of("SKIN", "THICKNESS=0.01, SHEAR_CORRECTION=1.0000001, SHEAR=0.5")}}, {},
         cloud_section, input, "Shell section SHEAR_CORRECTION is invalid"},
    };
    for (const ReadFailure& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = edited("shell_cloud.inp", c.edits, c.appended);
        EXPECT_EQ(sph_input_read(path), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), c.line ? path + ":" + std::to_string(c.line) + ": " + c.message : c.message);
        // A refused line stores nothing in the shell tables.
        EXPECT_EQ(sph_shell.shell_orientation_count, 0);
        EXPECT_EQ(sph_shell.shell_director_set_count, 0);
        EXPECT_EQ(sph_shell.shell_rotation_set_count, 0);
        EXPECT_FALSE(sph_shell.shell_materials[0].params.control_defined);
    }
}

TEST_F(ShellDeck, OrientationDataLinesReachTheTable) {
    // Each data line is one orientation named by the last *ORIENTATION line; a second line
    // under the same name replaces the first.
    const Lines lines = {"*ORIENTATION, NAME=Tilt", "0, 0, 2, 1, 1, 1", "*ORIENTATION, NAME=Edge",
                         "1, 2, 2, 1, 0, 0", "0, 0, 1, 0, 3, 0, 99"};
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {}, lines)), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_orientation_count, 2);
    const SphShellOrientation& tilt = sph_shell.shell_orientations[0];
    EXPECT_EQ(tilt.shell_orientation_names, "Tilt");
    EXPECT_EQ(tilt.shell_orientation_director, (Vec{0, 0, 2}));
    expect_vec(tilt.shell_orientation_tangent, {a, a, 0}, "Tilt tangent");
    const SphShellOrientation& edge = sph_shell.shell_orientations[1];
    EXPECT_EQ(edge.shell_orientation_names, "Edge");
    EXPECT_EQ(edge.shell_orientation_director, (Vec{0, 0, 1}));
    expect_vec(edge.shell_orientation_tangent, {0, 1, 0}, "Edge tangent");
    // No section names them: both unused.
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 2);
}

// ---- What outlives a read ----

TEST_F(ShellDeck, OrientationOfAnEarlierDeckIsFoundUntilInitialise) {
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {}, {"*ORIENTATION, NAME=TILT", "0, 0, 4, 1, 1, 0"})), 0)
        << sph_error_message();
    // A deck naming TILT without defining it.
    const std::string second =
        edited("shell_cloud.inp", {{cloud_section, cloud_section_with("ORIENTATION=tilt, THICKNESS=0.01")}});
    ASSERT_EQ(sph_input_read(second), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    for (std::size_t i = 0; i < 4; ++i)
        expect_built({i, {0, 0, 1}, sph_shell_director_orientation, 100.0, {a, a, 0}, {-a, a, 0}});
    EXPECT_TRUE(sph_shell.shell_orientations[0].shell_orientation_used);
    EXPECT_EQ(warnings(), 0);

    // A fresh start forgets it.
    sph_initialize();
    ASSERT_EQ(sph_input_read(second), 0) << sph_error_message();
    EXPECT_EQ(sph_input_build_model(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "Shell section references unknown orientation");
    sph_finalize();
}

TEST_F(ShellDeck, MaterialSlotFollowsItsNameToAnotherPosition) {
    ASSERT_EQ(sph_input_read(decks + "/shell_cloud.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_material_count, 1);
    EXPECT_EQ(sph_shell.shell_materials[0].shell_material_ids, 1);

    // SPARE (no type) first puts SKIN second.
    const std::pair<int, std::string> spare = {1, "*MATERIAL, NAME=SPARE"};
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {spare})), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_material_count, 1);
    EXPECT_EQ(sph_shell.shell_materials[0].shell_material_ids, 2);
    EXPECT_EQ(sph_database.material_id[0], 2);
    for (std::size_t i = 0; i < 4; ++i)
        expect_built({i, {0, 0, 1}, sph_shell_director_geometry, 100.0, {1, 0, 0}, {0, 1, 0}});
    EXPECT_EQ(warnings(), 0);

    // The checks then apply to SKIN where it now is: without its density it fails.
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {spare, {14, "**"}, {15, "**"}})), 0) << sph_error_message();
    EXPECT_EQ(sph_input_build_model(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "active Shell material is missing density");
}

TEST_F(ShellDeck, SlotOfAMaterialTheDeckLacksIsSkipped) {
    // LINER (second, failure data without flow or elastic data) is registered by a deck
    // that is only read.
    const Lines liner = {"*MATERIAL, NAME=LINER, TYPE=SHELL", "*DAMAGE INITIATION", "0.1, 0.2, 0.3, 0.4, 0.5"};
    ASSERT_EQ(sph_input_read(edited("shell_quad.inp", {}, liner)), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_material_count, 2);
    struct Case {
        std::string what;
        Edits edits;
        int32_t skin;  // SKIN's database number
    };
    // The second deck has no LINER; with SPARE first, SKIN stands where LINER stood.
    for (const Case& c : std::vector<Case>{{"SKIN first", {}, 1}, {"SKIN second", {{1, "*MATERIAL, NAME=SPARE"}}, 2}}) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", c.edits)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), 0);  // LINER is not unbound in this deck
        EXPECT_EQ(sph_shell.shell_material_count, 2);
        EXPECT_EQ(sph_shell.shell_materials[0].shell_material_ids, c.skin);
        expect_built({0, {0, 0, 1}, sph_shell_director_geometry, 100.0, {1, 0, 0}, {0, 1, 0}});
    }
}

TEST_F(ShellDeck, PerParticleStateNeverOutlivesItsModel) {
    ASSERT_EQ(sph_input_read(decks + "/shell_quad.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(array_count_sized(5), 31u);
    double normal[3];
    double area = 0.0;
    ASSERT_TRUE(sph_shell_facet_geometry(0, normal, area));

    // Another deck of 7 particles, read only: nothing of the first model's state is left.
    ASSERT_EQ(sph_input_read(decks + "/shell_pair.inp"), 0) << sph_error_message();
    EXPECT_TRUE(no_shell_arrays());
    EXPECT_FALSE(sph_shell_facet_geometry(0, normal, area));
    sph_shell.shell_max_angular_velocity = 9.0;
    sph_shell_update_max_angular_velocity();
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 0.0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(array_count_sized(7), 31u);
    ASSERT_TRUE(sph_shell_facet_geometry(2, normal, area));
    EXPECT_EQ(area, 0.75);

    // The same deck again: the read frees the state all the same.
    ASSERT_EQ(sph_input_read(decks + "/shell_pair.inp"), 0) << sph_error_message();
    EXPECT_TRUE(no_shell_arrays());
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();

    // An array not sized for the model reads as absent.
    sph_shell_state.shell_reference_area.push_back(1.0);
    for (int32_t i = 0; i < 7; ++i) EXPECT_FALSE(sph_shell_facet_geometry(i, normal, area)) << i;
    sph_shell_state.shell_reference_area.pop_back();
    EXPECT_TRUE(sph_shell_facet_geometry(2, normal, area));
    sph_shell_state.shell_omega.assign(3 * 6, 5.0);
    sph_shell_update_max_angular_velocity();
    EXPECT_EQ(sph_shell.shell_max_angular_velocity, 0.0);
    // A rebuild sizes it again.
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(array_count_sized(7), 31u);
}

TEST_F(ShellDeck, RebuildKeepsTheStorageAndStartsAfresh) {
    const Lines orientations = {"*ORIENTATION, NAME=TILT", "0, -1, 1, 1, 0, 0", "*ORIENTATION, NAME=SPARE",
                                "0, 0, 1, 1, 0, 0", rotation_card + "NSET=CORNER, OX=0, OY=3, OZ=4"};
    ASSERT_EQ(sph_input_read(edited("shell_quad.inp", {{quad_section, quad_section_line + ", ORIENTATION=TILT"}},
                                    orientations)),
              0)
        << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 1);  // SPARE
    const double* director = sph_shell_state.shell_director.data();
    const double* ip_strain = sph_shell_state.shell_ip_strain.data();
    // What the build must not carry over: array values, counters, maxima and used flags.
    sph_shell_for_each_array(sph_shell_state,
                             [](auto& values, std::size_t) { std::fill(values.begin(), values.end(), 7); });
    SphShell& s = sph_shell;
    s.shell_director_degenerate_count = s.shell_local_frame_degenerate_count = 3;
    s.shell_area_degenerate_count = s.shell_inertia_degenerate_count = 3;
    s.shell_director_max_length_error = 9.0;
    s.shell_max_angular_velocity = 9.0;
    s.shell_orientations[1].shell_orientation_used = true;
    s.shell_rotation_sets[0].shell_rotation_set_used = false;

    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_shell_state.shell_director.data(), director);
    EXPECT_EQ(sph_shell_state.shell_ip_strain.data(), ip_strain);
    for (std::size_t i = 0; i < 4; ++i)
        expect_built({i, {0, -a, a}, sph_shell_director_orientation, root2 / 2, {1, 0, 0}, {0, a, a}});
    expect_untouched(4);
    EXPECT_EQ(sph_shell_state.shell_ip_strain[0], 0.0);
    EXPECT_EQ(counters(), (std::array<int32_t, 4>{0, 0, 0, 0}));
    EXPECT_NEAR(s.shell_director_max_length_error, root2 - 1, 1e-15);
    EXPECT_EQ(s.shell_max_angular_velocity, 5.0);  // |(0, 3, 4)|
    EXPECT_TRUE(s.shell_rotation_sets[0].shell_rotation_set_used);
    EXPECT_FALSE(s.shell_orientations[1].shell_orientation_used);
    EXPECT_EQ(warnings(), 2);  // SPARE again

    // A failing build resets its counters too: the same failure counts once per build.
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", {{cloud_members, "1, 2"}})), 0) << sph_error_message();
    for (int build = 0; build < 2; ++build) {
        EXPECT_EQ(sph_input_build_model(), sph_error_input);
        EXPECT_EQ(counters(), (std::array<int32_t, 4>{1, 0, 0, 0})) << build;
    }
}

TEST_F(ShellDeck, DeckWithoutShellMaterialAfterInitialiseAllocatesNothing) {
    // SKIN of a type without SHELL, under a plain section and without elastic data.
    const Edits no_shell = {{cloud_material, "*MATERIAL, NAME=SKIN, TYPE=TARGET"}, {16, "**"}, {17, "**"},
                            {cloud_section, "*SECTION, NSET=CLOUD, MATERIAL=SKIN"}};
    ASSERT_EQ(sph_input_read(decks + "/shell_quad.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();

    // Without initialise, SKIN of the first deck was noted as a shell material since the
    // last initialise: the build allocates the arrays, and with no shell particle they
    // hold zeros.
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", no_shell)), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(array_count_sized(5), 31u);
    for (std::size_t i = 0; i < 5; ++i) expect_untouched(i);

    // The interface's initialise starts afresh: no per-particle state and empty tables.
    sph_initialize();
    EXPECT_TRUE(no_shell_arrays());
    EXPECT_FALSE(sph_shell.shell_material_seen);
    EXPECT_EQ(sph_shell.shell_material_count, 0);
    ASSERT_EQ(sph_input_read(edited("shell_cloud.inp", no_shell)), 0) << sph_error_message();
    EXPECT_FALSE(sph_shell.shell_material_seen);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_TRUE(no_shell_arrays());
    double normal[3];
    double area = 0.0;
    EXPECT_FALSE(sph_shell_facet_geometry(0, normal, area));
    EXPECT_EQ(warnings(), 0);
    sph_finalize();
}

}  // namespace
