// The solid material in a deck: what the material lines and the solid control card store,
// the code, message and location of every setter and build check in the order they are
// made, the unbound-material warning, the solid state a build leaves (and what a rebuild
// and a second deck leave of it), and the solid columns of the particle CSV.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "output/sph_output.h"
#include "quorrel_test.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_state.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

// solid_steel.inp, by physical line:
//   3-6 the steel block (nodes 1-4)   7-8 two water particles (nodes 5, 6)
//  10 BLOCK members   12 POOL members   13 *MATERIAL STEEL (SOLID)   14-15 density 8000
//  16-17 *ELASTIC   18-19 *PLASTIC   20-21 *DAMAGE INITIATION   22-24 WATER and its density
//  25 the solid section   26 the water section   27-30 time control and water cards
//  31 the solid control card, the deck's last line
constexpr int block_members = 10, pool_members = 12, steel_line = 13, density_line = 14;
constexpr int elastic_line = 17, plastic_line = 19, damage_line = 21, solid_section_line = 25, control_line = 31;
constexpr std::size_t npart = 6, nsolid = 4;
const std::string good_plastic = "3.5e8, 2.75e8, 0.36, 0.022, 1.0, 0.5, 300.0, 1800.0";
const std::string good_damage = "0.05, 3.44, -2.12, 0.002, 0.61";
const std::string control = "*QUORREL, SOLID CONTROL, ";

using Edits = std::vector<std::pair<int, std::string>>;

// The base deck without any solid data: STEEL has no type (UNSPECIFIED), so the block is
// still phase 4, and its elastic, plastic, damage and control lines are comments.
const Edits no_solid_edits = {{steel_line, "*MATERIAL, NAME=STEEL"}, {16, "**"}, {17, "**"}, {18, "**"},
                              {19, "**"},  {20, "**"},  {21, "**"},  {control_line, "**"}};

class SolidDeck : public test::DeckTest {
protected:
    std::string base(const Edits& edits = {}, const std::vector<std::string>& appended = {}) {
        return edited("solid_steel.inp", edits, appended);
    }
    static int32_t warnings() {
        int32_t count = -1;
        sph_input_get_warning_count(count);
        return count;
    }
};

// The STEEL slot the base deck fills.
SphSolidMaterial base_slot() {
    SphSolidMaterial s;
    s.solid_material_ids = 1;
    s.solid_material_names = "STEEL";
    s.params.elastic_defined = s.params.johnson_cook_defined = true;
    s.params.failure_defined = s.params.control_defined = true;
    s.params.elastic_e = 2.0e11;
    s.params.elastic_nu = 0.25;
    s.params.jc_a = 3.5e8;
    s.params.jc_b = 2.75e8;
    s.params.jc_n = 0.36;
    s.params.jc_c = 0.022;
    s.params.jc_m = 1.0;
    s.params.jc_epsdot0 = 0.5;
    s.params.jc_troom = 300.0;
    s.params.jc_tmelt = 1800.0;
    s.params.failure_d = {0.05, 3.44, -2.12, 0.002, 0.61};
    s.params.softening_type = "LINEAR";
    s.params.softening_width = 0.5;
    return s;
}

void expect_slot(const SphSolidMaterial& got, const SphSolidMaterial& want) {
    EXPECT_EQ(got.solid_material_ids, want.solid_material_ids);
    EXPECT_EQ(got.solid_material_names, want.solid_material_names);
    EXPECT_EQ(got.params.elastic_defined, want.params.elastic_defined);
    EXPECT_EQ(got.params.johnson_cook_defined, want.params.johnson_cook_defined);
    EXPECT_EQ(got.params.failure_defined, want.params.failure_defined);
    EXPECT_EQ(got.params.control_defined, want.params.control_defined);
    EXPECT_EQ(got.params.elastic_e, want.params.elastic_e);
    EXPECT_EQ(got.params.elastic_nu, want.params.elastic_nu);
    EXPECT_EQ(got.params.jc_a, want.params.jc_a);
    EXPECT_EQ(got.params.jc_b, want.params.jc_b);
    EXPECT_EQ(got.params.jc_n, want.params.jc_n);
    EXPECT_EQ(got.params.jc_c, want.params.jc_c);
    EXPECT_EQ(got.params.jc_m, want.params.jc_m);
    EXPECT_EQ(got.params.jc_epsdot0, want.params.jc_epsdot0);
    EXPECT_EQ(got.params.jc_troom, want.params.jc_troom);
    EXPECT_EQ(got.params.jc_tmelt, want.params.jc_tmelt);
    EXPECT_EQ(got.params.failure_d, want.params.failure_d);
    EXPECT_EQ(got.params.softening_type, want.params.softening_type);
    EXPECT_EQ(got.params.softening_width, want.params.softening_width);
}

// Which data of the first slot are defined (Elastic, Johnson-Cook, Damage, Control), as
// "EJDC" with "-" for each missing one; empty when the table is empty.
std::string defined_flags() {
    if (sph_solid.solid_material_count == 0) return "";
    const SphSolidMaterial& s = sph_solid.solid_materials[0];
    return {s.params.elastic_defined ? 'E' : '-', s.params.johnson_cook_defined ? 'J' : '-',
            s.params.failure_defined ? 'D' : '-', s.params.control_defined ? 'C' : '-'};
}

// Every per-particle solid array, named, with its values per particle.
struct ParticleArray {
    const char* name;
    std::vector<double>* reals;
    std::vector<int32_t>* integers;
    std::size_t components;
};

std::vector<ParticleArray> particle_arrays() {
    SphSolidState& s = sph_solid_state;
    return {
        {"stress", &s.solid_stress, nullptr, 6},
        {"strain", &s.solid_strain, nullptr, 6},
        {"plastic strain", &s.solid_plastic_strain, nullptr, 1},
        {"plastic strain rate", &s.solid_plastic_strain_rate, nullptr, 1},
        {"temperature", &s.solid_temperature, nullptr, 1},
        {"damage", &s.solid_damage, nullptr, 1},
        {"softening", &s.solid_softening, nullptr, 1},
        {"internal energy", &s.solid_internal_energy, nullptr, 1},
        {"reference volume", &s.solid_reference_volume, nullptr, 1},
        {"deformation gradient", &s.solid_deformation_gradient, nullptr, 9},
        {"correction matrix", &s.solid_correction_matrix, nullptr, 9},
        {"correction determinant", &s.solid_correction_determinant, nullptr, 1},
        {"velocity gradient", &s.solid_velocity_gradient, nullptr, 9},
        {"strain rate", &s.solid_strain_rate, nullptr, 6},
        {"equivalent strain rate", &s.solid_strain_rate_eq, nullptr, 1},
        {"internal acceleration", &s.solid_acc_internal, nullptr, 3},
        {"reference neighbour count", nullptr, &s.solid_reference_neighbor_count, 1},
        {"reference degenerate", nullptr, &s.solid_reference_degenerate, 1},
        {"correction status", nullptr, &s.solid_correction_status, 1},
        {"failure status", nullptr, &s.solid_failure_status, 1},
    };
}

std::size_t array_size(const ParticleArray& a) { return a.reals ? a.reals->size() : a.integers->size(); }

void fill_array(const ParticleArray& a, double value) {
    if (a.reals) a.reals->assign(a.reals->size(), value);
    if (a.integers) a.integers->assign(a.integers->size(), static_cast<int32_t>(value));
}

void expect_no_particle_arrays() {
    for (const ParticleArray& a : particle_arrays()) EXPECT_EQ(array_size(a), 0u) << a.name;
}

// What a build leaves per particle: active solids (the first four) have their temperature
// and internal energy from the particle, softening 1 and identity F and C; everything else
// is 0, and on the water particles everything is 0. The reference state: the deck sets no
// volume or h, so V0 = 1 and 2h = 2 spans the 0.1 square: each solid has the other three
// as neighbours, all in the plane z = 0, so the moment matrix is singular (its z row is 0,
// determinant exactly 0): correction status 2, degenerate, C left at the identity.
void expect_built_state(const std::vector<double>& temperature, const std::vector<double>& energy) {
    for (const ParticleArray& a : particle_arrays()) {
        SCOPED_TRACE(a.name);
        ASSERT_EQ(array_size(a), a.components * npart);
        for (std::size_t i = 0; i < npart; ++i) {
            const bool solid = i < nsolid;
            for (std::size_t c = 0; c < a.components; ++c) {
                const std::size_t k = a.components * i + c;
                double want = 0.0;
                const std::string name = a.name;
                if (solid && name == "temperature") want = temperature[i];
                if (solid && name == "internal energy") want = energy[i];
                if (solid && name == "softening") want = 1.0;
                // Stored column by column: the diagonal is entries 0, 4 and 8.
                if (solid && (name == "deformation gradient" || name == "correction matrix") && c % 4 == 0) want = 1.0;
                if (solid && name == "reference volume") want = 1.0;
                if (solid && name == "reference neighbour count") want = 3.0;
                if (solid && name == "reference degenerate") want = 1.0;
                if (solid && name == "correction status") want = 2.0;
                const double got = a.reals ? (*a.reals)[k] : static_cast<double>((*a.integers)[k]);
                EXPECT_EQ(got, want) << "particle " << i + 1 << " component " << c + 1;
            }
        }
    }
}

// The particle CSV's fields by row (header excluded) and column (from 1: field [c - 1]).
std::vector<std::vector<std::string>> csv_rows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    const std::vector<std::string> lines = test::read_lines(path);
    for (std::size_t l = 1; l < lines.size(); ++l) rows.push_back(test::csv_fields(lines[l]));
    return rows;
}

double real_at(const std::vector<std::string>& row, int column) {
    return std::stod(row.at(static_cast<std::size_t>(column - 1)));
}

TEST_F(SolidDeck, BaseDeckFillsTheTableAndBuildsTheState) {
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    EXPECT_TRUE(sph_solid.solid_material_seen);
    ASSERT_EQ(sph_solid.solid_material_count, 1);
    // The softening name is stored upper-cased ("linear" on the card).
    expect_slot(sph_solid.solid_materials[0], base_slot());
    EXPECT_EQ(sph_solid_find_solid_material("steel "), 0);
    EXPECT_EQ(sph_solid_find_solid_material("WATER"), -1);

    // The solid state takes temperature and energy from the particle, not from defaults.
    sph_database.temperature[1] = 400.0;
    sph_database.internal_energy[2] = 12.5;
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 0);
    const SphSolidState& st = sph_solid_state;
    // E = 2e11, nu = 0.25, rho = 8000: G = E / 2.5 = 8e10, K = E / 1.5 = 1.3333e11,
    // c = sqrt((K + 4G/3) / rho) = sqrt((4e11/3 + 3.2e11/3) / 8000) = sqrt(3e7).
    EXPECT_EQ(st.solid_density[0], 8000.0);
    EXPECT_DOUBLE_EQ(st.solid_shear_modulus[0], 8.0e10);
    EXPECT_DOUBLE_EQ(st.solid_bulk_modulus[0], 4.0e11 / 3.0);
    EXPECT_NEAR(st.solid_wave_speed[0], 5477.225575051661, 1e-9);
    EXPECT_EQ(st.solid_temperature_rise_factor[0], 0.0);
    EXPECT_EQ(st.solid_density[1], 0.0);  // no second slot

    const std::vector<int32_t> phases = {4, 4, 4, 4, 1, 1};
    for (std::size_t i = 0; i < npart; ++i) {
        EXPECT_EQ(sph_database.particle_phase[i], phases[i]) << i + 1;
        // The solids take the material density; water keeps its reference density.
        EXPECT_EQ(sph_database.rho[i], i < nsolid ? 8000.0 : 998.0) << i + 1;
    }
    expect_built_state({293.15, 400.0, 293.15, 293.15}, {0.0, 0.0, 12.5, 0.0});
}

struct Taken {
    std::string what;
    Edits edits;
    std::vector<std::string> appended;
    std::function<void(SphSolidMaterial&)> change;  // from the base deck's slot
};

TEST_F(SolidDeck, AcceptedValuesAreStored) {
    const std::string x58(58, 'X');
    const std::vector<Taken> cases = {
        // The control card: any name holding LINEAR, upper-cased; blank or absent is LINEAR.
        {"SOFTENING Linear", {{control_line, control + "MATERIAL=STEEL, SOFTENING=Linear, WIDTH=0.5"}}, {},
         [](SphSolidMaterial&) {}},
        {"SOFTENING blank", {{control_line, control + "MATERIAL=STEEL, SOFTENING= , WIDTH=0.5"}}, {},
         [](SphSolidMaterial&) {}},
        {"SOFTENING absent", {{control_line, control + "MATERIAL=STEEL, WIDTH=0.5"}}, {}, [](SphSolidMaterial&) {}},
        {"SOFTENING around LINEAR", {{control_line, control + "MATERIAL=STEEL, SOFTENING=bilinear_taper, WIDTH=0.5"}},
         {}, [](SphSolidMaterial& s) { s.params.softening_type = "BILINEAR_TAPER"; }},
        {"SOFTENING of 64 characters ending in LINEAR",
         {{control_line, control + "MATERIAL=STEEL, SOFTENING=" + x58 + "linear, WIDTH=0.5"}}, {},
         [x58](SphSolidMaterial& s) { s.params.softening_type = x58 + "LINEAR"; }},
        {"WIDTH absent is 1", {{control_line, control + "MATERIAL=STEEL, SOFTENING=LINEAR"}}, {},
         [](SphSolidMaterial& s) { s.params.softening_width = 1.0; }},
        {"WIDTH tiny", {{control_line, control + "MATERIAL=STEEL, WIDTH=1e-300"}}, {},
         [](SphSolidMaterial& s) { s.params.softening_width = 1e-300; }},
        {"WIDTH half the largest double",
         {{control_line, control + "MATERIAL=STEEL, WIDTH=8.988465674311579e307"}}, {},
         [](SphSolidMaterial& s) { s.params.softening_width = 8.988465674311579e307; }},
        {"MATERIAL in lower case", {{control_line, control + "MATERIAL=steel, WIDTH=2"}}, {},
         [](SphSolidMaterial& s) { s.params.softening_width = 2.0; }},
        {"a later card overwrites", {}, {control + "MATERIAL=STEEL, WIDTH=3.0"},
         [](SphSolidMaterial& s) { s.params.softening_width = 3.0; }},
        {"no control card", {{control_line, "**"}}, {}, [](SphSolidMaterial& s) {
             s.params.control_defined = false;
             s.params.softening_type = "";
             s.params.softening_width = 0.0;
         }},
        // Elastic: the Poisson ratio lies strictly between -1 and 0.5.
        {"nu just above -1", {{elastic_line, "2.0e11, -0.999"}}, {},
         [](SphSolidMaterial& s) { s.params.elastic_nu = -0.999; }},
        {"nu just below 0.5", {{elastic_line, "1.0e9, 0.499, 7"}}, {}, [](SphSolidMaterial& s) {
             s.params.elastic_e = 1.0e9;
             s.params.elastic_nu = 0.499;
         }},
        // Johnson-Cook: zero strength, hardening, rate and thermal constants are valid.
        {"A, B, n, C, m all zero", {{plastic_line, "0, 0, 0, 0, 0, 1e-9, -10, -9.5"}}, {}, [](SphSolidMaterial& s) {
             s.params.jc_a = s.params.jc_b = s.params.jc_n = s.params.jc_c = s.params.jc_m = 0.0;
             s.params.jc_epsdot0 = 1e-9;
             s.params.jc_troom = -10.0;
             s.params.jc_tmelt = -9.5;
         }},
        // Damage: no range check, any finite constants.
        {"damage constants negative and zero", {{damage_line, "-1, 0, -3.5e300, 0, -0.61"}}, {},
         [](SphSolidMaterial& s) { s.params.failure_d = {-1.0, 0.0, -3.5e300, 0.0, -0.61}; }},
        // Without Johnson-Cook and damage data the material is purely elastic.
        {"elastic only", {{18, "**"}, {plastic_line, "**"}, {20, "**"}, {damage_line, "**"}}, {},
         [](SphSolidMaterial& s) {
             const SphSolidMaterial cleared;
             s.params.johnson_cook_defined = s.params.failure_defined = false;
             s.params.jc_a = s.params.jc_b = s.params.jc_n = s.params.jc_c = s.params.jc_m = 0.0;
             s.params.jc_epsdot0 = cleared.params.jc_epsdot0;
             s.params.jc_troom = cleared.params.jc_troom;
             s.params.jc_tmelt = cleared.params.jc_tmelt;
             s.params.failure_d = {};
         }},
        // The lines of a shell material never reach the solid table.
        {"a shell material's lines",
         {},
         {"*MATERIAL, NAME=SKIN, TYPE=shell", "*ELASTIC", "7.0e10, 0.33", "*PLASTIC",
          "2.0e8, 1.0e8, 0.5, 0.01, 1.0, 1.0, 293.15, 900.0", "*DAMAGE INITIATION", "0.1, 0.2, -0.3, 0.0, 0.0"},
         [](SphSolidMaterial&) {}},
    };
    for (const Taken& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(base(c.edits, c.appended)), 0) << sph_error_message();
        ASSERT_EQ(sph_solid.solid_material_count, 1);
        SphSolidMaterial want = base_slot();
        c.change(want);
        expect_slot(sph_solid.solid_materials[0], want);
        EXPECT_EQ(sph_solid_find_solid_material("SKIN"), -1);
        EXPECT_EQ(sph_input_build_model(), 0) << sph_error_message();
    }
}

struct Refused {
    std::string what;
    Edits edits;
    std::vector<std::string> appended;
    int line;  // line of the located message; 0: unlocated
    int code;
    std::string message;
    std::string flags;  // defined_flags() after the failure: a failing line stores nothing
};

std::vector<Refused> refused_cases() {
    const std::string not_finite_e = "Solid elastic parameter is not finite";
    const std::string modulus = "Solid elastic modulus must be positive";
    const std::string poisson = "Solid Poisson ratio is invalid";
    const std::string jc_finite = "Solid Johnson-Cook flow parameter is not finite";
    const std::string strength = "Solid Johnson-Cook strength is invalid";
    const std::string rate = "Solid Johnson-Cook rate or thermal exponent is invalid";
    const std::string reference = "Solid Johnson-Cook reference strain rate must be positive";
    const std::string melt = "Solid Johnson-Cook melt temperature must exceed room temperature";
    const std::string d_finite = "Solid Johnson-Cook failure parameter is not finite";
    const std::string linear = "Solid SOFTENING must be LINEAR";
    const std::string width_finite = "Solid softening WIDTH is not finite";
    const std::string width_positive = "Solid softening WIDTH must be positive";
    const std::string unknown = "Solid material is unknown";
    const std::string non_solid = "Solid data references non-Solid material";
    // Data lines ahead of every *MATERIAL line apply to the unrecorded name MATERIAL:
    // lines 11-12 (the POOL set) become such a block.
    auto before_material = [](const std::string& keyword, const std::string& values) {
        return Edits{{11, keyword}, {12, values}};
    };
    // Appended after the deck, data lines apply to the last material, WATER; a *MATERIAL
    // line without TYPE gives an UNSPECIFIED material.
    const std::string plain = "*MATERIAL, NAME=PLAIN";
    std::vector<Refused> cases = {
        // *ELASTIC: finiteness, modulus, Poisson ratio, then the material.
        {"E NaN", {{elastic_line, "NaN, 0.25"}}, {}, 0, 1, not_finite_e, "----"},
        {"nu infinite", {{elastic_line, "2.0e11, inf"}}, {}, 0, 1, not_finite_e, "----"},
        {"nu minus infinity", {{elastic_line, "2.0e11, -Infinity"}}, {}, 0, 1, not_finite_e, "----"},
        {"E beyond half the largest double", {{elastic_line, "1e308, 0.25"}}, {}, 0, 1, not_finite_e, "----"},
        {"finiteness before the Poisson ratio", {{elastic_line, "NaN, 0.7"}}, {}, 0, 1, not_finite_e, "----"},
        {"E zero", {{elastic_line, "0.0, 0.25"}}, {}, 0, 1, modulus, "----"},
        {"E negative", {{elastic_line, "-2.0e11, 0.25"}}, {}, 0, 1, modulus, "----"},
        {"the modulus before the Poisson ratio", {{elastic_line, "-1.0, 0.5"}}, {}, 0, 1, modulus, "----"},
        {"nu 0.5", {{elastic_line, "2.0e11, 0.5"}}, {}, 0, 1, poisson, "----"},
        {"nu 0.7", {{elastic_line, "2.0e11, 0.7"}}, {}, 0, 1, poisson, "----"},
        {"nu -1", {{elastic_line, "2.0e11, -1.0"}}, {}, 0, 1, poisson, "----"},
        {"elastic data before any material", before_material("*ELASTIC", "2.0e11, 0.25"), {}, 0, 4, unknown, ""},
        {"the values before the material", before_material("*ELASTIC", "2.0e11, 0.5"), {}, 0, 1, poisson, ""},
        {"elastic data of the water", {}, {"*ELASTIC", "2.0e11, 0.25"}, 0, 4, non_solid, "EJDC"},
        {"elastic data of an unspecified material", {}, {plain, "*ELASTIC", "2.0e11, 0.25"}, 0, 4, non_solid,
         "EJDC"},
        {"the values before the material type", {}, {"*ELASTIC", "0, 0.25"}, 0, 1, modulus, "EJDC"},

        // *PLASTIC: finiteness, strength, rate and thermal exponent, reference rate, temperatures.
        {"A beyond half the largest double", {{plastic_line, "1e308, 2.75e8, 0.36, 0.022, 1, 0.5, 300, 1800"}}, {},
         0, 1, jc_finite, "E---"},
        {"finiteness before the strength", {{plastic_line, "-1, 2.75e8, 0.36, 0.022, 1, 0.5, 300, NaN"}}, {}, 0, 1,
         jc_finite, "E---"},
        {"A negative", {{plastic_line, "-1, 2.75e8, 0.36, 0.022, 1, 0.5, 300, 1800"}}, {}, 0, 1, strength, "E---"},
        {"B negative", {{plastic_line, "3.5e8, -1, 0.36, 0.022, 1, 0.5, 300, 1800"}}, {}, 0, 1, strength, "E---"},
        {"n negative", {{plastic_line, "3.5e8, 2.75e8, -0.1, 0.022, 1, 0.5, 300, 1800"}}, {}, 0, 1, strength, "E---"},
        {"the strength before the rate", {{plastic_line, "-1, 2.75e8, 0.36, -1, 1, 0.5, 300, 1800"}}, {}, 0, 1,
         strength, "E---"},
        {"C negative", {{plastic_line, "3.5e8, 2.75e8, 0.36, -0.01, 1, 0.5, 300, 1800"}}, {}, 0, 1, rate, "E---"},
        {"m negative", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, -1, 0.5, 300, 1800"}}, {}, 0, 1, rate, "E---"},
        {"the exponents before the reference rate", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, -1, 0, 300, 1800"}},
         {}, 0, 1, rate, "E---"},
        {"reference rate zero", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, 1, 0, 300, 1800"}}, {}, 0, 1, reference,
         "E---"},
        {"reference rate negative", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, 1, -0.5, 300, 1800"}}, {}, 0, 1,
         reference, "E---"},
        {"the reference rate before the temperatures",
         {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, 1, 0, 300, 200"}}, {}, 0, 1, reference, "E---"},
        {"melt equal to room", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, 1, 0.5, 300, 300"}}, {}, 0, 1, melt,
         "E---"},
        {"melt below room", {{plastic_line, "3.5e8, 2.75e8, 0.36, 0.022, 1, 0.5, 300, 299.9"}}, {}, 0, 1, melt,
         "E---"},
        {"plastic data before any material", before_material("*PLASTIC", good_plastic), {}, 0, 4, unknown, ""},
        {"plastic data of the water", {}, {"*PLASTIC", good_plastic}, 0, 4, non_solid, "EJDC"},
        {"plastic data of an unspecified material", {}, {plain, "*PLASTIC", good_plastic}, 0, 4, non_solid, "EJDC"},
        {"plastic values before the material type", {}, {"*PLASTIC", "3.5e8, 2.75e8, 0.36, 0.022, 1, 0.5, 300, 300"},
         0, 1, melt, "EJDC"},

        // *DAMAGE INITIATION: finiteness only, then the material.
        {"D1 beyond half the largest double", {{damage_line, "-1e308, 3.44, -2.12, 0.002, 0.61"}}, {}, 0, 1, d_finite,
         "EJ--"},
        {"damage data before any material", before_material("*DAMAGE INITIATION", good_damage), {}, 0, 4, unknown,
         ""},
        {"damage data of the water", {}, {"*DAMAGE INITIATION", good_damage}, 0, 4, non_solid, "EJDC"},
        {"damage data of an unspecified material", {}, {plain, "*DAMAGE INITIATION", good_damage}, 0, 4, non_solid,
         "EJDC"},
        {"damage values before the material type", {}, {"*DAMAGE INITIATION", "0, 0, NaN, 0, 0"}, 0, 1, d_finite,
         "EJDC"},

        // The solid control card: the reader's number, then the name, the width and the
        // material; located, each with its own code.
        {"WIDTH not a number", {{control_line, control + "MATERIAL=NOPE, SOFTENING=STEP, WIDTH=wide"}}, {},
         control_line, 4, "invalid numeric option WIDTH", "EJD-"},
        {"SOFTENING EXPONENTIAL", {{control_line, control + "MATERIAL=STEEL, SOFTENING=EXPONENTIAL"}}, {},
         control_line, 4, linear, "EJD-"},
        {"SOFTENING LINEA", {{control_line, control + "MATERIAL=STEEL, SOFTENING=linea"}}, {}, control_line, 4,
         linear, "EJD-"},
        // 59 + 6 characters: the cut to 64 takes the R.
        {"LINEAR past the 64th character",
         {{control_line, control + "MATERIAL=STEEL, SOFTENING=" + std::string(59, 'X') + "LINEAR"}}, {},
         control_line, 4, linear, "EJD-"},
        {"the name before the width", {{control_line, control + "MATERIAL=NOPE, SOFTENING=STEP, WIDTH=NaN"}}, {},
         control_line, 4, linear, "EJD-"},
        {"WIDTH NaN", {{control_line, control + "MATERIAL=STEEL, WIDTH=NaN"}}, {}, control_line, 1, width_finite,
         "EJD-"},
        {"WIDTH infinite", {{control_line, control + "MATERIAL=STEEL, WIDTH=inf"}}, {}, control_line, 1, width_finite,
         "EJD-"},
        {"WIDTH minus infinity", {{control_line, control + "MATERIAL=STEEL, WIDTH=-Infinity"}}, {}, control_line, 1,
         width_finite, "EJD-"},
        {"WIDTH beyond half the largest double", {{control_line, control + "MATERIAL=STEEL, WIDTH=1e308"}}, {},
         control_line, 1, width_finite, "EJD-"},
        {"finiteness before the material", {{control_line, control + "MATERIAL=NOPE, WIDTH=NaN"}}, {}, control_line,
         1, width_finite, "EJD-"},
        {"WIDTH zero", {{control_line, control + "MATERIAL=STEEL, WIDTH=0"}}, {}, control_line, 1, width_positive,
         "EJD-"},
        {"WIDTH negative", {{control_line, control + "MATERIAL=STEEL, WIDTH=-0.5"}}, {}, control_line, 1,
         width_positive, "EJD-"},
        {"the width before the material", {{control_line, control + "MATERIAL=WATER, WIDTH=0"}}, {}, control_line, 1,
         width_positive, "EJD-"},
        {"an unknown material", {{control_line, control + "MATERIAL=NOPE, WIDTH=0.5"}}, {}, control_line, 4, unknown,
         "EJD-"},
        {"no MATERIAL", {{control_line, control + "SOFTENING=LINEAR, WIDTH=0.5"}}, {}, control_line, 4, unknown,
         "EJD-"},
        {"the water", {{control_line, control + "MATERIAL=water, WIDTH=0.5"}}, {}, control_line, 4, non_solid,
         "EJD-"},
        {"a shell material", {}, {"*MATERIAL, NAME=SKIN, TYPE=SHELL", control + "MATERIAL=SKIN"}, control_line + 2, 4,
         non_solid, "EJDC"},
        {"an unspecified material", {}, {plain, control + "MATERIAL=PLAIN"}, control_line + 2, 4, non_solid, "EJDC"},
    };
    // Each value of the plastic and damage lines, NaN and +infinity in turn (the
    // infinities pass every sign check, so only the finiteness check refuses them).
    for (int k = 0; k < 8; ++k) {
        for (const std::string bad : {"NaN", "Infinity"}) {
            std::vector<std::string> v = {"3.5e8", "2.75e8", "0.36", "0.022", "1.0", "0.5", "300.0", "1800.0"};
            v[static_cast<std::size_t>(k)] = bad;
            std::string line = v[0];
            for (std::size_t j = 1; j < v.size(); ++j) line += ", " + v[j];
            cases.push_back({"plastic value " + std::to_string(k + 1) + " " + bad, {{plastic_line, line}}, {}, 0, 1,
                             jc_finite, "E---"});
        }
    }
    for (int k = 0; k < 5; ++k) {
        for (const std::string bad : {"nan", "inf"}) {
            std::vector<std::string> v = {"0.05", "3.44", "-2.12", "0.002", "0.61"};
            v[static_cast<std::size_t>(k)] = bad;
            std::string line = v[0];
            for (std::size_t j = 1; j < v.size(); ++j) line += ", " + v[j];
            cases.push_back({"damage value " + std::to_string(k + 1) + " " + bad, {{damage_line, line}}, {}, 0, 1,
                             d_finite, "EJ--"});
        }
    }
    return cases;
}

TEST_F(SolidDeck, SettersRefuseInTheirOrder) {
    for (const Refused& c : refused_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = base(c.edits, c.appended);
        EXPECT_EQ(sph_input_read(path), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        const std::string expected = c.line ? path + ":" + std::to_string(c.line) + ": " + c.message : c.message;
        EXPECT_EQ(sph_error_message(), expected);
        // Neither the failing line nor a refused material takes a slot or stores a value.
        EXPECT_EQ(defined_flags(), c.flags);
        EXPECT_EQ(sph_solid.solid_material_count, c.flags.empty() ? 0 : 1);
    }
}

struct BuildCase {
    std::string what;
    Edits edits;
    std::string message;  // code 4, unlocated
};

TEST_F(SolidDeck, BuildChecksInTheirOrder) {
    const std::string density = "active Solid material is missing density";
    const std::string elastic = "active Solid material is missing elastic data";
    const std::string flow = "Solid failure requires Johnson-Cook flow data";
    const std::string no_section = "active Solid particle is missing Solid section";
    const std::string not_bound = "active Solid particle is not bound to Solid section";
    const std::string no_state = "active Solid particle has no Solid material state";
    // The density value on line 15 is then a data line under *MATERIAL, passed over.
    const std::pair<int, std::string> no_density = {density_line, "**"};
    const Edits no_elastic = {{16, "**"}, {elastic_line, "**"}};
    const std::vector<BuildCase> cases = {
        {"no density", {no_density}, density},
        {"no density and no elastic data", {no_density, no_elastic[0], no_elastic[1]}, density},
        {"no elastic data", no_elastic, elastic},
        {"no elastic and no plastic data", {no_elastic[0], no_elastic[1], {18, "**"}, {plastic_line, "**"}}, elastic},
        {"damage data without plastic data", {{18, "**"}, {plastic_line, "**"}}, flow},
        {"a block particle in no section", {{block_members, "1, 2, 3"}}, no_section},
        // A particle outside every section keeps the default phase 4, whatever it was meant to be.
        {"a water particle in no section", {{pool_members, "5"}}, no_section},
        {"the material checks before the sections", {no_density, {block_members, "1, 2, 3"}}, density},
        {"the block under a fluid section", {{solid_section_line, "*FLUID SECTION, NSET=BLOCK, MATERIAL=STEEL"}},
         not_bound},
        {"the material checks before the binding",
         {no_elastic[0], no_elastic[1], {solid_section_line, "*FLUID SECTION, NSET=BLOCK, MATERIAL=STEEL"}}, elastic},
        {"the section checks in particle order: missing before unbound",
         {{block_members, "2, 3, 4"}, {solid_section_line, "*FLUID SECTION, NSET=BLOCK, MATERIAL=STEEL"}}, no_section},
        {"the section checks in particle order: unbound before missing",
         {{block_members, "1, 2, 3"}, {solid_section_line, "*FLUID SECTION, NSET=BLOCK, MATERIAL=STEEL"}}, not_bound},
        // An UNSPECIFIED material gives phase 4 and passes a solid section, but has no slot.
        {"the block of an unspecified material",
         {{1, "*MATERIAL, NAME=PLAIN"}, {solid_section_line, "*SOLID SECTION, NSET=BLOCK, MATERIAL=PLAIN"}}, no_state},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(base(c.edits)), 0) << sph_error_message();
        EXPECT_EQ(sph_input_build_model(), sph_error_input);
        EXPECT_EQ(sph_error_code(), sph_error_input);
        EXPECT_EQ(sph_error_message(), c.message);
    }
}

TEST_F(SolidDeck, ParticleWhoseMaterialIsNotItsSectionsFailsTheBuild) {
    // Sections set both a particle's section and its material, so only a particle changed
    // after the read can disagree with its section; IRON is complete, so the material
    // checks pass for it.
    ASSERT_EQ(sph_input_read(base({}, {"*MATERIAL, NAME=IRON, TYPE=SOLID", "*DENSITY", "7000.0", "*ELASTIC",
                                       "1.0e11, 0.3"})),
              0)
        << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    ASSERT_EQ(sph_solid.solid_material_count, 2);
    sph_database.material_id[2] = 3;  // IRON, still under the STEEL section
    EXPECT_EQ(sph_solid_build_state(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "active Solid particle section material mismatch");
}

TEST_F(SolidDeck, UnboundSolidMaterialIsOneWarningPerBuild) {
    // A second solid material without density or elastic data and without particles.
    ASSERT_EQ(sph_input_read(base({}, {"*MATERIAL, NAME=SPARE, TYPE=Solid_Spare"})), 0) << sph_error_message();
    EXPECT_EQ(sph_solid.solid_material_count, 2);
    EXPECT_EQ(warnings(), 0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 1);
    EXPECT_EQ(sph_solid_state.solid_density[1], 0.0);  // no density given
    EXPECT_EQ(sph_solid_state.solid_shear_modulus[1], 0.0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 2);
    // The base deck binds its one solid material.
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 0);
}

TEST_F(SolidDeck, DeckWithoutSolidMaterialBuildsNoSolidState) {
    ASSERT_EQ(sph_input_read(base(no_solid_edits)), 0) << sph_error_message();
    EXPECT_FALSE(sph_solid.solid_material_seen);
    EXPECT_EQ(sph_solid.solid_material_count, 0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 0);
    for (std::size_t i = 0; i < nsolid; ++i) {
        EXPECT_EQ(sph_database.particle_phase[i], sph_phase_solid) << i + 1;
        EXPECT_EQ(sph_database.rho[i], 1000.0) << i + 1;  // the particle default, not the density 8000
    }
    expect_no_particle_arrays();
    // The CSV's solid columns then read 0 on every particle.
    const std::string path = (dir_ / "none.csv").string();
    ASSERT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
    const auto rows = csv_rows(path);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(npart));
    for (const auto& row : rows)
        for (int column = 22; column <= 31; ++column) EXPECT_EQ(real_at(row, column), 0.0) << column;
}

TEST_F(SolidDeck, RebuildKeepsTheArraysAndClearsThem) {
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    std::vector<const void*> storage;
    for (const ParticleArray& a : particle_arrays())
        storage.push_back(a.reals ? static_cast<const void*>(a.reals->data()) : a.integers->data());
    // What the steps would have left: every array and the solids' density changed.
    for (const ParticleArray& a : particle_arrays()) fill_array(a, 7.0);
    for (std::size_t i = 0; i < nsolid; ++i) sph_database.rho[i] = 1.0;

    // A second build of the same model keeps the storage.
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    const std::vector<ParticleArray> arrays = particle_arrays();
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        const ParticleArray& a = arrays[k];
        EXPECT_EQ(a.reals ? static_cast<const void*>(a.reals->data()) : a.integers->data(), storage[k]) << a.name;
    }
    expect_built_state({293.15, 293.15, 293.15, 293.15}, {0.0, 0.0, 0.0, 0.0});
    for (std::size_t i = 0; i < nsolid; ++i) EXPECT_EQ(sph_database.rho[i], 8000.0) << i + 1;

    // The same deck read again: the same particle count, arrays sized and cleared.
    for (const ParticleArray& a : particle_arrays()) fill_array(a, 7.0);
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    expect_built_state({293.15, 293.15, 293.15, 293.15}, {0.0, 0.0, 0.0, 0.0});
}

TEST_F(SolidDeck, SecondDeckInheritsNothing) {
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    sph_solid_state.solid_body_force = {1.0, 2.0, -9.81};

    // A deck without solid data: empty table, no derived values, no arrays.
    ASSERT_EQ(sph_input_read(base(no_solid_edits)), 0) << sph_error_message();
    EXPECT_FALSE(sph_solid.solid_material_seen);
    EXPECT_EQ(sph_solid.solid_material_count, 0);
    EXPECT_TRUE(sph_solid.solid_module_initialized);
    expect_slot(sph_solid.solid_materials[0], SphSolidMaterial{});
    const SphSolidState& st = sph_solid_state;
    EXPECT_EQ(st.solid_density[0], 0.0);
    EXPECT_EQ(st.solid_shear_modulus[0], 0.0);
    EXPECT_EQ(st.solid_bulk_modulus[0], 0.0);
    EXPECT_EQ(st.solid_wave_speed[0], 0.0);
    EXPECT_EQ(st.solid_body_force, (std::array<double, 3>{0.0, 0.0, 0.0}));
    expect_no_particle_arrays();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    expect_no_particle_arrays();

    // A deck whose steel has other elastic data and nothing else: none of the first
    // deck's flow, damage or control data survives.
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    const Edits elastic_only = {{elastic_line, "1.0e11, 0.3"}, {18, "**"}, {19, "**"}, {20, "**"}, {21, "**"},
                                {control_line, "**"}};
    ASSERT_EQ(sph_input_read(base(elastic_only)), 0) << sph_error_message();
    ASSERT_EQ(sph_solid.solid_material_count, 1);
    SphSolidMaterial want;
    want.solid_material_ids = 1;
    want.solid_material_names = "STEEL";
    want.params.elastic_defined = true;
    want.params.elastic_e = 1.0e11;
    want.params.elastic_nu = 0.3;
    expect_slot(sph_solid.solid_materials[0], want);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    // G = 1e11 / 2.6 = 3.846153846e10, K = 1e11 / 1.2 = 8.333333333e10.
    EXPECT_DOUBLE_EQ(st.solid_shear_modulus[0], 1.0e11 / 2.6);
    EXPECT_DOUBLE_EQ(st.solid_bulk_modulus[0], 1.0e11 / 1.2);
    expect_built_state({293.15, 293.15, 293.15, 293.15}, {0.0, 0.0, 0.0, 0.0});
}

TEST_F(SolidDeck, ParticleCsvShowsTheBuiltSolidState) {
    ASSERT_EQ(sph_input_read(decks + "/solid_steel.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    const std::string path = (dir_ / "built.csv").string();
    ASSERT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
    const auto rows = csv_rows(path);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(npart));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i + 1);
        const auto& row = rows[i];
        ASSERT_EQ(row.size(), 52u);
        const bool solid = i < nsolid;
        EXPECT_EQ(row[1], solid ? "4" : "1");                       // phase
        EXPECT_EQ(real_at(row, 12), solid ? 8000.0 : 998.0);        // rho
        for (int column = 22; column <= 29; ++column) EXPECT_EQ(real_at(row, column), 0.0) << column;
        EXPECT_EQ(real_at(row, 30), solid ? 1.0 : 0.0);             // softening
        EXPECT_EQ(real_at(row, 31), 0.0);                           // equivalent strain rate
        // Failure status 0; three reference neighbours and correction status 2 on the
        // coplanar solids (see expect_built_state), 0 on water.
        EXPECT_EQ(row[47], "0");
        EXPECT_EQ(row[48], solid ? "3" : "0");
        EXPECT_EQ(row[49], solid ? "2" : "0");
    }

    // An array not sized for this model reads as absent: its columns are 0, while the
    // arrays of the right size still show their values.
    SphSolidState& st = sph_solid_state;
    st.solid_stress.assign(6 * npart + 1, 5.0);
    st.solid_failure_status.assign(npart + 1, 2);
    st.solid_softening.resize(npart - 1);
    st.solid_damage.assign(npart, 0.25);
    st.solid_reference_neighbor_count.assign(npart, 9);
    const std::string odd = (dir_ / "odd.csv").string();
    ASSERT_EQ(sph_output_write_csv(odd), 0) << sph_error_message();
    for (const auto& row : csv_rows(odd)) {
        for (int column = 22; column <= 27; ++column) EXPECT_EQ(real_at(row, column), 0.0) << column;
        EXPECT_EQ(real_at(row, 29), 0.25);
        EXPECT_EQ(real_at(row, 30), 0.0);
        EXPECT_EQ(row[47], "0");
        EXPECT_EQ(row[48], "9");
    }
}

}  // namespace
