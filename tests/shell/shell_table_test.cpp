// The shell tables and their setters on their own: the code and message of every refused
// value in the order the checks are made (a refused call changes nothing and creates no
// slot), what an accepted call stores, replacement of a same-named entry and the table
// capacities, material noting and registration, the active-particle and unbound counts,
// the helpers, the through-thickness rules and what initialise clears.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"
#include "shell/sph_shell.h"
#include "shell/sph_shell_state.h"

using namespace quorrel;

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();
constexpr double half_max = 8.988465674311579e307;  // the largest magnitude counted finite

// Every field of the four tables, the flags and the diagnostics, exactly (hexadecimal
// floating point), so that two descriptions are equal only when nothing changed.
std::string describe_tables() {
    const SphShell& s = sph_shell;
    std::ostringstream out;
    out << std::hexfloat;
    out << "seen " << s.shell_material_seen << " materials " << s.shell_material_count << '\n';
    for (const SphShellMaterial& m : s.shell_materials) {
        out << m.shell_material_ids << ' ' << m.shell_material_names << ' ' << m.params.elastic_defined << ' '
            << m.params.elastic_e << ' ' << m.params.elastic_nu << ' ' << m.params.johnson_cook_defined << ' '
            << m.params.jc_a << ' ' << m.params.jc_b << ' ' << m.params.jc_n << ' ' << m.params.jc_c << ' '
            << m.params.jc_m << ' ' << m.params.jc_epsdot0 << ' ' << m.params.jc_troom << ' ' << m.params.jc_tmelt
            << ' ' << m.params.failure_defined;
        for (double d : m.params.failure_d) out << ' ' << d;
        out << ' ' << m.params.control_defined << ' ' << m.params.softening_type << ' ' << m.params.softening_width
            << '\n';
    }
    out << "orientations " << s.shell_orientation_count << '\n';
    for (const SphShellOrientation& o : s.shell_orientations) {
        out << o.shell_orientation_names;
        for (double v : o.shell_orientation_director) out << ' ' << v;
        for (double v : o.shell_orientation_tangent) out << ' ' << v;
        out << ' ' << o.shell_orientation_used << '\n';
    }
    out << "director sets " << s.shell_director_set_count << '\n';
    for (const SphShellDirectorSet& d : s.shell_director_sets) {
        out << d.shell_director_set_names;
        for (double v : d.shell_director_set_values) out << ' ' << v;
        out << ' ' << d.shell_director_set_used << '\n';
    }
    out << "rotation sets " << s.shell_rotation_set_count << '\n';
    for (const SphShellRotationSet& r : s.shell_rotation_sets) {
        out << r.shell_rotation_set_names;
        for (double v : r.shell_rotation_set_omega) out << ' ' << v;
        for (double v : r.shell_rotation_set_alpha) out << ' ' << v;
        out << ' ' << r.shell_rotation_set_used << '\n';
    }
    out << s.shell_director_degenerate_count << ' ' << s.shell_local_frame_degenerate_count << ' '
        << s.shell_area_degenerate_count << ' ' << s.shell_inertia_degenerate_count << ' '
        << s.shell_director_max_length_error << ' ' << s.shell_max_angular_velocity << ' '
        << s.shell_max_membrane_strain << ' ' << s.shell_max_bending_strain << ' ' << s.shell_max_shear_strain << ' '
        << s.shell_max_ip_strain_increment << ' ' << s.shell_active_ip_count << '\n';
    return out.str();
}

// Database materials 1 SKIN (Shell), 2 HULL (thin_shell: SHELL in lower case), 3 STEEL
// (Solid); none of them is noted, so the shell table starts empty.
class ShellTable : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        ASSERT_EQ(sph_db_add_material("SKIN", "Shell"), 0);
        ASSERT_EQ(sph_db_add_material("HULL", "thin_shell"), 0);
        ASSERT_EQ(sph_db_add_material("STEEL", "SOLID"), 0);
    }
};

using Call = std::function<int()>;

int elastic(std::string_view name, double e, double nu) { return sph_shell_set_elastic(name, e, nu); }

// A complete Johnson-Cook record with value k (0..7: A, B, n, C, m, reference rate, room
// and melt temperature) replaced.
int flow_with(std::string_view name, int k, double value) {
    double v[8] = {3.5e8, 2.75e8, 0.36, 0.022, 1.0, 1.0, 293.15, 1793.0};
    v[k] = value;
    return sph_shell_set_johnson_cook(name, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
}

int failure_with(std::string_view name, int k, double value) {
    double d[5] = {0.05, 3.44, -2.12, 0.002, 0.61};
    d[k] = value;
    return sph_shell_set_failure(name, d);
}

int orientation(std::string_view name, SphVec3 director, SphVec3 tangent) {
    return sph_shell_add_orientation(name, director.data(), tangent.data());
}

int director_set(std::string_view name, SphVec3 director) {
    return sph_shell_set_director_for_set(name, director.data());
}

int rotation_set(std::string_view name, SphVec3 omega, SphVec3 alpha) {
    return sph_shell_set_rotation_for_set(name, omega.data(), alpha.data());
}

// Fills a table to its 32 entries, named PREFIX1 .. PREFIX32.
void fill_orientations() {
    for (int k = 1; k <= 32; ++k) ASSERT_EQ(orientation("O" + std::to_string(k), {0, 0, 1}, {1, 0, 0}), 0);
}
void fill_director_sets() {
    for (int k = 1; k <= 32; ++k) ASSERT_EQ(director_set("D" + std::to_string(k), {0, 0, 1}), 0);
}
void fill_rotation_sets() {
    for (int k = 1; k <= 32; ++k) ASSERT_EQ(rotation_set("R" + std::to_string(k), {0, 0, 1}, {0, 0, 0}), 0);
}

// 32 shell materials of an earlier model hold every slot; the current database then holds
// only EXTRA (Shell).
void fill_material_slots() {
    sph_db_clear_metadata();
    for (int k = 1; k <= 32; ++k) {
        const std::string name = "S" + std::to_string(k);
        ASSERT_EQ(sph_db_add_material(name, "SHELL"), 0);
        sph_shell_note_material(name, "SHELL");
    }
    ASSERT_EQ(sph_shell.shell_material_count, 32);
    sph_db_clear_metadata();
    ASSERT_EQ(sph_db_add_material("EXTRA", "SHELL"), 0);
}

struct Refused {
    std::string what;
    std::function<void()> before;  // state to refuse against; may be empty
    Call call;
    int code;
    std::string message;
};

std::vector<Refused> refused_cases() {
    const std::string elastic_finite = "Shell elastic parameter is not finite";
    const std::string modulus = "Shell elastic modulus must be positive";
    const std::string poisson = "Shell Poisson ratio is invalid";
    const std::string flow_finite = "Shell Johnson-Cook flow parameter is not finite";
    const std::string strength = "Shell Johnson-Cook strength is invalid";
    const std::string exponent = "Shell Johnson-Cook rate or thermal exponent is invalid";
    const std::string rate = "Shell Johnson-Cook reference strain rate must be positive";
    const std::string melt = "Shell Johnson-Cook melt temperature must exceed room temperature";
    const std::string failure_finite = "Shell Johnson-Cook failure parameter is not finite";
    const std::string softening = "Shell SOFTENING must be LINEAR";
    const std::string width_finite = "Shell softening WIDTH is not finite";
    const std::string width = "Shell softening WIDTH must be positive";
    const std::string unknown = "Shell material is unknown";
    const std::string non_shell = "Shell data references non-Shell material";
    const std::string o_name = "Shell orientation is missing NAME";
    const std::string o_dir_finite = "Shell orientation director is not finite";
    const std::string o_tan_finite = "Shell orientation tangent is not finite";
    const std::string o_dir_degenerate = "Shell orientation director is degenerate";
    const std::string o_tan_degenerate = "Shell orientation tangent is degenerate";
    const std::string parallel = "Shell orientation vectors are parallel";
    const std::string d_set = "Shell director is missing SET";
    const std::string d_finite = "Shell director is not finite";
    const std::string d_degenerate = "Shell director is degenerate";
    const std::string r_set = "Shell rotation is missing SET";
    const std::string omega = "Shell angular velocity is not finite";
    const std::string alpha = "Shell angular acceleration is not finite";
    const int arg = sph_error_argument, input = sph_error_input;
    // A registered SKIN with elastic data that a refused call must leave alone.
    const auto skin_set = [] { ASSERT_EQ(elastic("SKIN", 1.0e9, 0.2), 0); };
    const auto skin_full = [] {
        ASSERT_EQ(elastic("SKIN", 1.0e9, 0.2), 0);
        ASSERT_EQ(flow_with("SKIN", 0, 1.0e8), 0);
        ASSERT_EQ(failure_with("SKIN", 0, 0.5), 0);
        ASSERT_EQ(sph_shell_set_control("SKIN", "LINEAR", 2.0), 0);
    };
    const auto plate = [] {
        ASSERT_EQ(orientation("PLATE", {0, 0, 1}, {1, 0, 0}), 0);
        ASSERT_EQ(director_set("PLATE", {0, 0, 1}), 0);
        ASSERT_EQ(rotation_set("PLATE", {1, 2, 3}, {4, 5, 6}), 0);
    };
    std::vector<Refused> cases = {
        // Elastic: finiteness, then E > 0, then -1 < nu < 0.5, then the material.
        {"E NaN", {}, [] { return elastic("SKIN", nan_value, 0.3); }, arg, elastic_finite},
        {"E 1e308", {}, [] { return elastic("SKIN", 1e308, 0.3); }, arg, elastic_finite},
        {"E -1e308", {}, [] { return elastic("SKIN", -1e308, 0.3); }, arg, elastic_finite},
        {"nu infinite", {}, [] { return elastic("SKIN", 2e11, inf_value); }, arg, elastic_finite},
        {"nu NaN over SKIN's data", skin_set, [] { return elastic("SKIN", 2e11, nan_value); }, arg, elastic_finite},
        {"E 0", {}, [] { return elastic("SKIN", 0.0, 0.3); }, arg, modulus},
        {"E negative", skin_set, [] { return elastic("SKIN", -2e11, 0.3); }, arg, modulus},
        {"nu 0.5", {}, [] { return elastic("SKIN", 2e11, 0.5); }, arg, poisson},
        {"nu -1", {}, [] { return elastic("SKIN", 2e11, -1.0); }, arg, poisson},
        {"nu 0.7 over SKIN's data", skin_set, [] { return elastic("SKIN", 2e11, 0.7); }, arg, poisson},
        {"E 0 before nu 0.5", {}, [] { return elastic("SKIN", 0.0, 0.5); }, arg, modulus},
        {"NaN before E 0", {}, [] { return elastic("SKIN", 0.0, nan_value); }, arg, elastic_finite},
        {"elastic data for an unknown material", {}, [] { return elastic("NOPE", 2e11, 0.3); }, input, unknown},
        {"elastic data for a solid material", {}, [] { return elastic("STEEL", 2e11, 0.3); }, input, non_shell},
        {"values before the material", {}, [] { return elastic("NOPE", 0.0, 0.3); }, arg, modulus},
        // Johnson-Cook.
        {"A negative", {}, [] { return flow_with("SKIN", 0, -1.0); }, arg, strength},
        {"B negative", {}, [] { return flow_with("SKIN", 1, -1.0); }, arg, strength},
        {"n negative", skin_full, [] { return flow_with("SKIN", 2, -0.1); }, arg, strength},
        {"C negative", {}, [] { return flow_with("SKIN", 3, -0.01); }, arg, exponent},
        {"m negative", {}, [] { return flow_with("SKIN", 4, -1.0); }, arg, exponent},
        {"reference rate 0", {}, [] { return flow_with("SKIN", 5, 0.0); }, arg, rate},
        {"reference rate negative", skin_full, [] { return flow_with("SKIN", 5, -1.0); }, arg, rate},
        {"melt equal to room", {}, [] { return flow_with("SKIN", 7, 293.15); }, arg, melt},
        {"melt below room", {}, [] { return flow_with("SKIN", 6, 2000.0); }, arg, melt},
        {"strength before exponent",
         {},
         [] { return sph_shell_set_johnson_cook("SKIN", -1, 0, 0, -1, 0, 1, 293.15, 1793); },
         arg,
         strength},
        {"exponent before rate",
         {},
         [] { return sph_shell_set_johnson_cook("SKIN", 0, 0, 0, 0, -1, 0, 293.15, 1793); },
         arg,
         exponent},
        {"rate before melt", {}, [] { return sph_shell_set_johnson_cook("SKIN", 0, 0, 0, 0, 0, 0, 5, 5); }, arg, rate},
        {"not finite before strength",
         {},
         [] { return sph_shell_set_johnson_cook("SKIN", -1, 0, 0, 0, 0, 1, 293.15, nan_value); },
         arg,
         flow_finite},
        {"flow data for an unknown material", {}, [] { return flow_with("NOPE", 0, 1.0); }, input, unknown},
        {"flow data for a solid material", {}, [] { return flow_with("STEEL", 0, 1.0); }, input, non_shell},
        // Failure: only finiteness, then the material.
        {"failure for an unknown material", {}, [] { return failure_with("NOPE", 0, -5.0); }, input, unknown},
        {"failure for a solid material", {}, [] { return failure_with("STEEL", 0, 0.1); }, input, non_shell},
        // Control: the name, then the width's finiteness and sign, then the material.
        {"SOFTENING quadratic", {}, [] { return sph_shell_set_control("SKIN", "quadratic", 1.0); }, input, softening},
        {"SOFTENING LINEA", skin_full, [] { return sph_shell_set_control("SKIN", "LINEA", 1.0); }, input, softening},
        {"SOFTENING LIN EAR", {}, [] { return sph_shell_set_control("SKIN", "LIN EAR", 1.0); }, input, softening},
        {"WIDTH NaN", {}, [] { return sph_shell_set_control("SKIN", "LINEAR", nan_value); }, arg, width_finite},
        {"WIDTH 1e308", {}, [] { return sph_shell_set_control("SKIN", "", 1e308); }, arg, width_finite},
        {"WIDTH -infinity", {}, [] { return sph_shell_set_control("SKIN", "", -inf_value); }, arg, width_finite},
        {"WIDTH 0", {}, [] { return sph_shell_set_control("SKIN", "LINEAR", 0.0); }, arg, width},
        {"WIDTH negative", skin_full, [] { return sph_shell_set_control("SKIN", "LINEAR", -1.0); }, arg, width},
        {"SOFTENING before WIDTH", {}, [] { return sph_shell_set_control("SKIN", "cubic", nan_value); }, input,
         softening},
        {"WIDTH before the material", {}, [] { return sph_shell_set_control("NOPE", "LINEAR", 0.0); }, arg, width},
        {"control for an unknown material", {}, [] { return sph_shell_set_control("NOPE", "LINEAR", 1.0); }, input,
         unknown},
        {"control for a solid material", {}, [] { return sph_shell_set_control("STEEL", "LINEAR", 1.0); }, input,
         non_shell},
        // Registration: every slot taken by the materials of an earlier model.
        {"a 33rd shell material", fill_material_slots, [] { return elastic("EXTRA", 2e11, 0.3); }, input,
         "failed to register Shell material"},
        // Orientations: name, finiteness (director, then tangent), degeneracy (director,
        // then tangent), parallel, capacity.
        {"orientation name empty", {}, [] { return orientation("", {0, 0, 1}, {1, 0, 0}); }, input, o_name},
        {"orientation name blank", {}, [] { return orientation("   ", {0, 0, 1}, {1, 0, 0}); }, input, o_name},
        {"name before finiteness", {}, [] { return orientation(" ", {nan_value, 0, 1}, {1, 0, 0}); }, input, o_name},
        {"director NaN", {}, [] { return orientation("A", {0, nan_value, 1}, {1, 0, 0}); }, input, o_dir_finite},
        {"director 1e308", plate, [] { return orientation("PLATE", {0, 0, 1e308}, {1, 0, 0}); }, input,
         o_dir_finite},
        {"director before tangent", {}, [] { return orientation("A", {inf_value, 0, 0}, {nan_value, 0, 0}); }, input,
         o_dir_finite},
        {"tangent infinite", {}, [] { return orientation("A", {0, 0, 1}, {0, -inf_value, 0}); }, input,
         o_tan_finite},
        {"tangent finiteness before director degeneracy", {},
         [] { return orientation("A", {0, 0, 0}, {-1e308, 0, 0}); }, input, o_tan_finite},
        {"director zero", {}, [] { return orientation("A", {0, 0, 0}, {1, 0, 0}); }, input, o_dir_degenerate},
        {"director 1e-13", {}, [] { return orientation("A", {0, 0, 1e-13}, {1, 0, 0}); }, input, o_dir_degenerate},
        {"director before tangent degeneracy", {}, [] { return orientation("A", {0, 0, 0}, {0, 0, 0}); }, input,
         o_dir_degenerate},
        {"tangent zero", {}, [] { return orientation("A", {0, 0, 1}, {0, 0, 0}); }, input, o_tan_degenerate},
        {"tangent 1e-13", {}, [] { return orientation("A", {0, 0, 1}, {1e-13, 0, 0}); }, input, o_tan_degenerate},
        {"tangent parallel", {}, [] { return orientation("A", {0, 0, 1}, {0, 0, 3}); }, input, parallel},
        {"tangent anti-parallel", plate, [] { return orientation("PLATE", {0, 0, 1}, {0, 0, -2}); }, input, parallel},
        // Unit vectors (1, 1, 1)/sqrt 3 and its opposite: the projection is rounding only.
        {"oblique tangent anti-parallel", {}, [] { return orientation("A", {1, 1, 1}, {-2, -2, -2}); }, input,
         parallel},
        {"a 33rd orientation", fill_orientations, [] { return orientation("O33", {0, 0, 1}, {1, 0, 0}); }, input,
         "too many Shell orientation records"},
        // Director sets.
        {"director set name blank", {}, [] { return director_set("  ", {0, 0, 1}); }, input, d_set},
        {"set name before finiteness", {}, [] { return director_set("", {nan_value, 0, 0}); }, input, d_set},
        {"director set NaN", plate, [] { return director_set("PLATE", {0, 0, nan_value}); }, input, d_finite},
        {"director set 1e308", {}, [] { return director_set("A", {1e308, 0, 0}); }, input, d_finite},
        {"director set 1e-13", {}, [] { return director_set("A", {0, 0, 1e-13}); }, input, d_degenerate},
        {"director set zero", {}, [] { return director_set("A", {0, 0, 0}); }, input, d_degenerate},
        {"a 33rd director set", fill_director_sets, [] { return director_set("D33", {0, 0, 1}); }, input,
         "too many Shell director set records"},
        // Rotation sets: name, velocity, acceleration, capacity.
        {"rotation set name empty", {}, [] { return rotation_set("", {0, 0, 1}, {0, 0, 0}); }, input, r_set},
        {"set name before velocity", {}, [] { return rotation_set(" ", {nan_value, 0, 0}, {0, 0, 0}); }, input,
         r_set},
        {"omega NaN", plate, [] { return rotation_set("PLATE", {0, nan_value, 0}, {0, 0, 0}); }, input, omega},
        {"omega 1e308", {}, [] { return rotation_set("A", {0, 0, 1e308}, {0, 0, 0}); }, input, omega},
        {"alpha 1e308", {}, [] { return rotation_set("A", {0, 0, 1}, {1e308, 0, 0}); }, input, alpha},
        {"velocity before acceleration", {}, [] { return rotation_set("A", {inf_value, 0, 0}, {nan_value, 0, 0}); },
         input, omega},
        {"a 33rd rotation set", fill_rotation_sets, [] { return rotation_set("R33", {0, 0, 1}, {0, 0, 0}); }, input,
         "too many Shell rotation set records"},
    };
    // Each flow value not finite in turn: NaN, beyond half the largest double, infinite.
    for (int k = 0; k < 8; ++k)
        for (double bad : {nan_value, 1e308, -inf_value})
            cases.push_back({"flow value " + std::to_string(k + 1) + " = " + std::to_string(bad), {},
                             [k, bad] { return flow_with("SKIN", k, bad); }, arg, flow_finite});
    for (int k = 0; k < 5; ++k)
        for (double bad : {nan_value, -1e308, inf_value})
            cases.push_back({"failure value " + std::to_string(k + 1) + " = " + std::to_string(bad), skin_full,
                             [k, bad] { return failure_with("SKIN", k, bad); }, arg, failure_finite});
    return cases;
}

TEST_F(ShellTable, RefusedCallsChangeNothing) {
    for (const Refused& c : refused_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.before) c.before();
        const std::string before = describe_tables();
        EXPECT_EQ(c.call(), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), c.message);
        // No value stored, no slot created, no entry replaced.
        EXPECT_EQ(describe_tables(), before);
    }
}

TEST_F(ShellTable, MaterialSettersStoreTheirValuesInTheSlotOfTheMaterial) {
    // Values at the edges of what is taken.
    ASSERT_EQ(elastic("skin  ", half_max, -0.999), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_material_count, 1);
    const SphShellMaterial& skin = sph_shell.shell_materials[0];
    // The slot holds the database's number (1-based) and spelling, not the caller's.
    EXPECT_EQ(skin.shell_material_ids, 1);
    EXPECT_EQ(skin.shell_material_names, "SKIN");
    EXPECT_TRUE(skin.params.elastic_defined);
    EXPECT_EQ(skin.params.elastic_e, half_max);
    EXPECT_EQ(skin.params.elastic_nu, -0.999);
    // Nothing else is defined, and the flow defaults are those of a cleared slot.
    EXPECT_FALSE(skin.params.johnson_cook_defined);
    EXPECT_FALSE(skin.params.failure_defined);
    EXPECT_FALSE(skin.params.control_defined);
    EXPECT_EQ(skin.params.jc_epsdot0, 1.0);
    EXPECT_EQ(skin.params.jc_troom, 293.15);
    EXPECT_EQ(skin.params.jc_tmelt, 1793.0);
    // A registered material is not noted: only a noted SHELL type sets the seen flag.
    EXPECT_FALSE(sph_shell.shell_material_seen);

    // Calling again overwrites; nu = 0 and a tiny E are valid.
    ASSERT_EQ(elastic("SKIN", 1e-300, 0.0), 0) << sph_error_message();
    EXPECT_EQ(skin.params.elastic_e, 1e-300);
    EXPECT_EQ(skin.params.elastic_nu, 0.0);

    // All-zero strength and exponents; melt just above room temperature.
    ASSERT_EQ(sph_shell_set_johnson_cook("Skin", 0, 0, 0, 0, 0, 1e-9, 293.15, 293.15000001), 0)
        << sph_error_message();
    EXPECT_TRUE(skin.params.johnson_cook_defined);
    EXPECT_EQ(skin.params.jc_a, 0.0);
    EXPECT_EQ(skin.params.jc_b, 0.0);
    EXPECT_EQ(skin.params.jc_n, 0.0);
    EXPECT_EQ(skin.params.jc_c, 0.0);
    EXPECT_EQ(skin.params.jc_m, 0.0);
    EXPECT_EQ(skin.params.jc_epsdot0, 1e-9);
    EXPECT_EQ(skin.params.jc_troom, 293.15);
    EXPECT_EQ(skin.params.jc_tmelt, 293.15000001);
    ASSERT_EQ(sph_shell_set_johnson_cook("SKIN", 3.5e8, 2.75e8, 0.36, 0.022, 1.0, 0.5, -10.0, 1800.0), 0);
    EXPECT_EQ(skin.params.jc_a, 3.5e8);
    EXPECT_EQ(skin.params.jc_b, 2.75e8);
    EXPECT_EQ(skin.params.jc_n, 0.36);
    EXPECT_EQ(skin.params.jc_c, 0.022);
    EXPECT_EQ(skin.params.jc_m, 1.0);
    EXPECT_EQ(skin.params.jc_epsdot0, 0.5);
    EXPECT_EQ(skin.params.jc_troom, -10.0);
    EXPECT_EQ(skin.params.jc_tmelt, 1800.0);

    // Failure constants of any sign.
    const double d[5] = {-1.0, 0.0, -3.5e300, half_max, 0.61};
    ASSERT_EQ(sph_shell_set_failure("SKIN", d), 0) << sph_error_message();
    EXPECT_TRUE(skin.params.failure_defined);
    EXPECT_EQ(skin.params.failure_d, (std::array<double, 5>{-1.0, 0.0, -3.5e300, half_max, 0.61}));
    EXPECT_EQ(sph_shell.shell_material_count, 1);

    // HULL's type holds SHELL in lower case: a second slot, in registration order.
    ASSERT_EQ(sph_shell_set_control("hull", "", 0.25), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_material_count, 2);
    const SphShellMaterial& hull = sph_shell.shell_materials[1];
    EXPECT_EQ(hull.shell_material_ids, 2);
    EXPECT_EQ(hull.shell_material_names, "HULL");
    EXPECT_TRUE(hull.params.control_defined);
    EXPECT_FALSE(hull.params.elastic_defined);
    EXPECT_EQ(hull.params.softening_width, 0.25);
    EXPECT_EQ(sph_shell_find_shell_material("HULL"), 1);
    EXPECT_EQ(sph_shell_find_shell_material(" HULL"), -1);  // leading blanks count
    EXPECT_EQ(sph_shell_find_shell_material("STEEL"), -1);
}

TEST_F(ShellTable, SofteningNameIsStoredUpperCased) {
    struct Case {
        std::string name, stored;
    };
    const std::string x58(58, 'x');
    const std::vector<Case> cases = {
        {"", "LINEAR"},
        {"    ", "LINEAR"},
        {"linear", "LINEAR"},
        {"Linear", "LINEAR"},
        {"nonlinear", "NONLINEAR"},
        {"bi-linear taper", "BI-LINEAR TAPER"},
        // Cut to 64 characters before the test for LINEAR.
        {x58 + "linear", std::string(58, 'X') + "LINEAR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.name + "'");
        SetUp();
        ASSERT_EQ(sph_shell_set_control("SKIN", c.name, half_max), 0) << sph_error_message();
        EXPECT_EQ(sph_shell.shell_materials[0].params.softening_type, c.stored);
        EXPECT_EQ(sph_shell.shell_materials[0].params.softening_width, half_max);
    }
    // LINEAR pushed past the 64th character is cut off, so the name no longer holds it.
    SetUp();
    EXPECT_EQ(sph_shell_set_control("SKIN", std::string(60, 'x') + "linear", 1.0), sph_error_input);
    EXPECT_EQ(sph_error_message(), "Shell SOFTENING must be LINEAR");
}

TEST_F(ShellTable, OrientationKeepsItsDirectorAndStoresAUnitOrthogonalTangent) {
    struct Case {
        std::string what;
        SphVec3 director, tangent, stored_tangent;
    };
    const double r = 1.0 / std::sqrt(2.0);
    // Director (1, 2, 2), length 3, tangent (1, 0, 0): t.d = 1/3, so
    // p = (1, 0, 0) - (1/9, 2/9, 2/9) = (8, -2, -2)/9 of length 6 sqrt 2 / 9,
    // unit p = (4, -1, -1) / (3 sqrt 2).
    const double q = 1.0 / (3.0 * std::sqrt(2.0));
    const std::vector<Case> cases = {
        {"orthogonal", {0, 0, 1}, {0, 3, 0}, {0, 1, 0}},
        // Unit t = (1, 1, 1)/sqrt 3 less its z part gives (1, 1, 0)/sqrt 3, unit (1, 1, 0)/sqrt 2.
        {"oblique", {0, 0, 2}, {1, 1, 1}, {r, r, 0}},
        {"oblique to an oblique director", {1, 2, 2}, {1, 0, 0}, {4 * q, -q, -q}},
        {"nearly anti-parallel", {0, 0, 1}, {1e-6, 0, -1}, {1, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(orientation("Tilt", c.director, c.tangent), 0) << sph_error_message();
        ASSERT_EQ(sph_shell.shell_orientation_count, 1);
        const SphShellOrientation& o = sph_shell.shell_orientations[0];
        EXPECT_EQ(o.shell_orientation_names, "Tilt");  // as supplied, case kept
        EXPECT_EQ(o.shell_orientation_director, c.director);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(o.shell_orientation_tangent[k], c.stored_tangent[k], 1e-15) << k;
        EXPECT_FALSE(o.shell_orientation_used);
    }
}

TEST_F(ShellTable, SetsStoreTheirVectorsAsSupplied) {
    ASSERT_EQ(director_set("Plate", {0, 0, 5}), 0) << sph_error_message();
    ASSERT_EQ(director_set("EDGE", {-2e-12, 0, 0}), 0) << sph_error_message();  // just above 1e-12
    ASSERT_EQ(sph_shell.shell_director_set_count, 2);
    EXPECT_EQ(sph_shell.shell_director_sets[0].shell_director_set_names, "Plate");
    EXPECT_EQ(sph_shell.shell_director_sets[0].shell_director_set_values, (SphVec3{0, 0, 5}));
    EXPECT_EQ(sph_shell.shell_director_sets[1].shell_director_set_values, (SphVec3{-2e-12, 0, 0}));
    EXPECT_FALSE(sph_shell.shell_director_sets[0].shell_director_set_used);

    ASSERT_EQ(rotation_set("Spin", {half_max, 0, -1}, {0, -2, 0}), 0) << sph_error_message();
    ASSERT_EQ(sph_shell.shell_rotation_set_count, 1);
    const SphShellRotationSet& spin = sph_shell.shell_rotation_sets[0];
    EXPECT_EQ(spin.shell_rotation_set_names, "Spin");
    EXPECT_EQ(spin.shell_rotation_set_omega, (SphVec3{half_max, 0, -1}));
    EXPECT_EQ(spin.shell_rotation_set_alpha, (SphVec3{0, -2, 0}));
    EXPECT_FALSE(spin.shell_rotation_set_used);

    // A name longer than 64 characters is cut to its first 64.
    const std::string long_name = std::string(64, 'N') + "TAIL";
    ASSERT_EQ(director_set(long_name, {1, 0, 0}), 0);
    EXPECT_EQ(sph_shell.shell_director_sets[2].shell_director_set_names, std::string(64, 'N'));
    EXPECT_EQ(sph_shell_find_director_set(std::string(64, 'n')), 2);
}

// Replacing an entry: the same name (other case, trailing blanks) keeps its slot and its
// place in the table, takes the new spelling and values and clears its used flag; a full
// table still takes a replacement.
TEST_F(ShellTable, SameNamedEntryIsReplacedInItsSlot) {
    struct Table {
        std::string what;
        std::function<int(const std::string&, double)> add;  // the value goes into the vector's z
        std::function<int32_t()> count;
        std::function<std::string(int)> name;
        std::function<double(int)> value;
        std::function<void(int)> mark_used;
        std::function<bool(int)> used;
        std::function<int(const std::string&)> find;
    };
    const std::vector<Table> tables = {
        {"orientations", [](const std::string& n, double z) { return orientation(n, {0, 0, z}, {1, 0, 0}); },
         [] { return sph_shell.shell_orientation_count; },
         [](int k) { return sph_shell.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_names; },
         [](int k) { return sph_shell.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_director[2]; },
         [](int k) { sph_shell.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_used = true; },
         [](int k) { return sph_shell.shell_orientations[static_cast<std::size_t>(k)].shell_orientation_used; },
         [](const std::string& n) { return sph_shell_find_orientation(n); }},
        {"director sets", [](const std::string& n, double z) { return director_set(n, {0, 0, z}); },
         [] { return sph_shell.shell_director_set_count; },
         [](int k) { return sph_shell.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_names; },
         [](int k) { return sph_shell.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_values[2]; },
         [](int k) { sph_shell.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_used = true; },
         [](int k) { return sph_shell.shell_director_sets[static_cast<std::size_t>(k)].shell_director_set_used; },
         [](const std::string& n) { return sph_shell_find_director_set(n); }},
        {"rotation sets", [](const std::string& n, double z) { return rotation_set(n, {0, 0, z}, {0, 0, 0}); },
         [] { return sph_shell.shell_rotation_set_count; },
         [](int k) { return sph_shell.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_names; },
         [](int k) { return sph_shell.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_omega[2]; },
         [](int k) { sph_shell.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_used = true; },
         [](int k) { return sph_shell.shell_rotation_sets[static_cast<std::size_t>(k)].shell_rotation_set_used; },
         [](const std::string& n) { return sph_shell_find_rotation_set(n); }},
    };
    for (const Table& t : tables) {
        SCOPED_TRACE(t.what);
        SetUp();
        ASSERT_EQ(t.add("ALPHA", 1.0), 0);
        ASSERT_EQ(t.add("PLATE   ", 2.0), 0);
        ASSERT_EQ(t.add("omega", 3.0), 0);
        EXPECT_EQ(t.name(1), "PLATE");  // trailing blanks are not kept
        t.mark_used(1);
        ASSERT_EQ(t.add("plate", 5.0), 0) << sph_error_message();
        EXPECT_EQ(t.count(), 3);
        EXPECT_EQ(t.name(1), "plate");
        EXPECT_EQ(t.value(1), 5.0);
        EXPECT_FALSE(t.used(1));
        EXPECT_EQ(t.name(0), "ALPHA");
        EXPECT_EQ(t.value(2), 3.0);
        // The lookup ignores case and trailing blanks; leading blanks count.
        EXPECT_EQ(t.find("PLATE  "), 1);
        EXPECT_EQ(t.find("Omega"), 2);
        EXPECT_EQ(t.find(" plate"), -1);
        EXPECT_EQ(t.find("PLAT"), -1);

        // Full: a 33rd distinct name is refused (see RefusedCallsChangeNothing), a
        // redefinition is not.
        for (int k = 4; k <= 32; ++k) ASSERT_EQ(t.add("E" + std::to_string(k), 1.0), 0);
        ASSERT_EQ(t.count(), 32);
        ASSERT_EQ(t.add("Plate ", 7.0), 0) << sph_error_message();
        EXPECT_EQ(t.count(), 32);
        EXPECT_EQ(t.name(1), "Plate");
        EXPECT_EQ(t.value(1), 7.0);
        EXPECT_NE(t.add("E33", 1.0), 0);
    }
}

TEST_F(ShellTable, NotingAMaterialRegistersOnlyAShellType) {
    struct Case {
        std::string name, type;
        bool seen;
        int32_t count;
    };
    const std::vector<Case> cases = {
        {"SKIN", "Shell", true, 1},
        {"hull", "thin_shell", true, 1},
        {"STEEL", "SOLID", false, 0},
        {"STEEL", "", false, 0},
        // Seen though the database has no such material to register.
        {"GHOST", "SHELL", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.type);
        SetUp();
        sph_shell_note_material(c.name, c.type);
        EXPECT_EQ(sph_shell.shell_material_seen, c.seen);
        EXPECT_EQ(sph_shell.shell_material_count, c.count);
        EXPECT_EQ(sph_error_code(), 0);  // noting reports nothing
    }
    // Noting twice keeps one slot; the database's spelling is stored.
    SetUp();
    sph_shell_note_material("skin", "SHELL");
    sph_shell_note_material("SKIN ", "SHELL");
    ASSERT_EQ(sph_shell.shell_material_count, 1);
    EXPECT_EQ(sph_shell.shell_materials[0].shell_material_names, "SKIN");
    EXPECT_EQ(sph_shell_register_material("SKIN"), 0);
    EXPECT_EQ(sph_shell_register_material("NOPE"), -1);
    EXPECT_EQ(sph_shell.shell_material_count, 1);
}

// Particles 1-3 of materials 1, 1, 2: which database materials have an active shell
// particle (status 0 and phase 5).
TEST_F(ShellTable, ActiveShellParticleNeedsStatusZeroAndPhaseFive) {
    struct Case {
        std::string what;
        int32_t phase, status;
        bool active;
    };
    const std::vector<Case> cases = {
        {"active shell", sph_phase_shell, sph_status_active, true},
        {"inactive shell", sph_phase_shell, sph_status_inactive, false},
        {"failed shell status", sph_phase_shell, sph_status_failed, false},
        {"failed shell phase", sph_phase_shell_failed, sph_status_active, false},
        {"active solid", sph_phase_solid, sph_status_active, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_db_allocate(3), 0);
        ASSERT_EQ(sph_db_add_material("SKIN", "Shell"), 0);
        ASSERT_EQ(sph_db_add_material("HULL", "Shell"), 0);
        SphDatabase& d = sph_database;
        d.material_id = {1, 1, 2};
        d.particle_phase = {sph_phase_water, c.phase, sph_phase_shell};
        d.particle_status = {sph_status_active, c.status, sph_status_inactive};
        EXPECT_EQ(sph_shell_has_active_particle(1), c.active);
        EXPECT_FALSE(sph_shell_has_active_particle(2));  // its only particle is inactive
        EXPECT_FALSE(sph_shell_has_active_particle(0));
        EXPECT_FALSE(sph_shell_has_active_particle(-1));
        // Both noted: the one without an active particle is unbound, and so is SKIN when
        // its particle is not an active shell.
        sph_shell_note_material("SKIN", "Shell");
        sph_shell_note_material("HULL", "Shell");
        EXPECT_EQ(sph_shell_count_unbound_materials(), c.active ? 1 : 2);
    }
    // A slot whose material the current database lacks is not counted.
    sph_db_clear_metadata();
    ASSERT_EQ(sph_db_add_material("SKIN", "Shell"), 0);
    EXPECT_EQ(sph_shell_count_unbound_materials(), 1);
    sph_db_clear_metadata();
    EXPECT_EQ(sph_shell_count_unbound_materials(), 0);
}

TEST_F(ShellTable, FiniteTestStopsAtHalfTheLargestDouble) {
    struct Case {
        double value;
        bool finite;
    };
    const std::vector<Case> cases = {
        {0.0, true},
        {-0.0, true},
        {half_max, true},
        {-half_max, true},
        {std::nextafter(half_max, inf_value), false},
        {1e308, false},
        {std::numeric_limits<double>::max(), false},
        {inf_value, false},
        {-inf_value, false},
        {nan_value, false},
        {std::numeric_limits<double>::denorm_min(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(sph_shell_scalar_is_finite(c.value), c.finite);
        // A vector fails when any element does.
        const double v[4] = {1.0, -2.0, c.value, 3.0};
        EXPECT_EQ(sph_shell_vector_is_finite(v, 4), c.finite);
        EXPECT_TRUE(sph_shell_vector_is_finite(v, 2));
    }
}

TEST_F(ShellTable, VectorHelpers) {
    struct Normalized {
        SphVec3 in;
        int status;
        SphVec3 out;
    };
    const std::vector<Normalized> cases = {
        {{3, 4, 0}, 0, {0.6, 0.8, 0}},
        {{0, -2, 0}, 0, {0, -1, 0}},
        {{2e-12, 0, 0}, 0, {1, 0, 0}},
        // At or below 1e-12: zeros, status 1, and no message (the caller has its own).
        {{1e-12, 0, 0}, 1, {0, 0, 0}},
        {{0, 0, 0}, 1, {0, 0, 0}},
    };
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const Normalized& c = cases[n];
        SCOPED_TRACE(n);
        SphVec3 out = {9, 9, 9};
        EXPECT_EQ(sph_shell_normalize_vector(c.in.data(), out.data()), c.status);
        for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(out[k], c.out[k]) << k;
        EXPECT_EQ(sph_error_code(), 0);
        EXPECT_EQ(sph_error_message(), "OK");
    }
    const double a[3] = {1, 2, 3}, b[3] = {4, 5, 6}, x[3] = {1, 0, 0}, y[3] = {0, 1, 0};
    // (2*6 - 3*5, 3*4 - 1*6, 1*5 - 2*4)
    EXPECT_EQ(sph_shell_cross(a, b), (SphVec3{-3, 6, -3}));
    EXPECT_EQ(sph_shell_cross(x, y), (SphVec3{0, 0, 1}));
    EXPECT_EQ(sph_shell_cross(y, x), (SphVec3{0, 0, -1}));
    EXPECT_EQ(sph_shell_norm(a), std::sqrt(14.0));
    // ASCII letters only; other bytes unchanged.
    EXPECT_EQ(sph_shell_upper("Shell_5 az{}\xe9t\xe9"), "SHELL_5 AZ{}\xe9T\xe9");
}

TEST_F(ShellTable, ThroughThicknessRules) {
    // Gauss-Legendre on [-1, 1] halved onto [-1/2, 1/2] (weights halved too).
    // 3 points: +-sqrt(3/5), weights 5/9, 8/9.
    const double c3 = std::sqrt(0.6) / 2.0;
    // 5 points: +-(1/3) sqrt(5 -+ 2 sqrt(10/7)), weights (322 +- 13 sqrt 70)/900 and 128/225.
    const double inner = std::sqrt(5.0 - 2.0 * std::sqrt(10.0 / 7.0)) / 3.0 / 2.0;
    const double outer = std::sqrt(5.0 + 2.0 * std::sqrt(10.0 / 7.0)) / 3.0 / 2.0;
    const double w_inner = (322.0 + 13.0 * std::sqrt(70.0)) / 1800.0;
    const double w_outer = (322.0 - 13.0 * std::sqrt(70.0)) / 1800.0;
    struct Case {
        int32_t points;
        int status;
        std::array<double, 5> coords, weights;
    };
    const std::vector<Case> cases = {
        {3, 0, {-c3, 0, c3, 0, 0}, {5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0, 0, 0}},
        {5, 0, {-outer, -inner, 0, inner, outer}, {w_outer, w_inner, 64.0 / 225.0, w_inner, w_outer}},
        {4, sph_error_input, {}, {}},
        {0, sph_error_input, {}, {}},
        {-3, sph_error_input, {}, {}},
        {6, sph_error_input, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.points);
        SetUp();
        double coords[5] = {9, 9, 9, 9, 9}, weights[5] = {9, 9, 9, 9, 9};
        EXPECT_EQ(sph_shell_set_integration_rule(c.points, coords, weights), c.status);
        if (c.status != 0) {
            EXPECT_EQ(sph_error_message(), "Shell integration point count must be 3 or 5");
        }
        double sum = 0.0;
        for (int k = 0; k < 5; ++k) {
            EXPECT_NEAR(coords[k], c.coords[static_cast<std::size_t>(k)], 2e-16) << k;
            EXPECT_NEAR(weights[k], c.weights[static_cast<std::size_t>(k)], 2e-16) << k;
            sum += weights[k];
        }
        EXPECT_NEAR(sum, c.status == 0 ? 1.0 : 0.0, 1e-15);
    }
}

TEST_F(ShellTable, InitialiseClearsTheTablesAndTheDiagnostics) {
    sph_shell_note_material("SKIN", "SHELL");
    ASSERT_EQ(elastic("SKIN", 2e11, 0.3), 0);
    ASSERT_EQ(flow_with("SKIN", 5, 7.0), 0);
    ASSERT_EQ(failure_with("SKIN", 0, 0.5), 0);
    ASSERT_EQ(sph_shell_set_control("SKIN", "LINEAR", 2.0), 0);
    ASSERT_EQ(orientation("O", {0, 0, 1}, {1, 0, 0}), 0);
    ASSERT_EQ(director_set("D", {0, 0, 1}), 0);
    ASSERT_EQ(rotation_set("R", {0, 0, 1}, {1, 0, 0}), 0);
    SphShell& s = sph_shell;
    s.shell_director_degenerate_count = s.shell_local_frame_degenerate_count = 1;
    s.shell_area_degenerate_count = s.shell_inertia_degenerate_count = 1;
    s.shell_director_max_length_error = s.shell_max_angular_velocity = 1.0;
    s.shell_max_membrane_strain = s.shell_max_bending_strain = s.shell_max_shear_strain = 1.0;
    s.shell_max_ip_strain_increment = 1.0;
    s.shell_active_ip_count = 1;

    sph_shell_initialize();
    EXPECT_TRUE(s.shell_module_initialized);
    // What a never-filled table holds: the cleared slot keeps the three flow defaults.
    EXPECT_EQ(describe_tables(), [] {
        const SphShell saved = sph_shell;
        sph_shell = SphShell{};
        std::string fresh = describe_tables();
        sph_shell = saved;
        return fresh;
    }());
    EXPECT_EQ(s.shell_materials[0].params.jc_epsdot0, 1.0);
    EXPECT_EQ(s.shell_materials[0].params.jc_troom, 293.15);
    EXPECT_EQ(s.shell_materials[0].params.jc_tmelt, 1793.0);
    EXPECT_FALSE(s.shell_material_seen);
    EXPECT_EQ(sph_shell_find_orientation("O"), -1);

    // Reset clears the tables as well and frees the per-particle state.
    ASSERT_EQ(orientation("O", {0, 0, 1}, {1, 0, 0}), 0);
    sph_shell_state.shell_thickness.assign(4, 1.0);
    sph_shell_state.shell_ip_softening.assign(20, 1.0);
    sph_shell_reset();
    EXPECT_FALSE(s.shell_module_initialized);
    EXPECT_EQ(s.shell_orientation_count, 0);
    EXPECT_TRUE(sph_shell_state.shell_thickness.empty());
    EXPECT_TRUE(sph_shell_state.shell_ip_softening.empty());
}

}  // namespace
