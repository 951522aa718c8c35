#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "input/sph_input_reader.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

// explosive_deck.inp, by physical line:
//  10 *MATERIAL TNT (explosive)  11 *DENSITY  12 its value   13 *MATERIAL FUMES (gas)
//  16 TNT section   19 FUMES ideal-gas EOS card   20 TNT control card   21 TNT ignition card
constexpr int density_line = 11, eos_line = 19, control_line = 20, ignition_line = 21;

// A card with the base deck's options in its order, some changed: a value of "-" leaves
// the option out, any other value replaces it (a blank one included).
using Changes = std::map<std::string, std::string>;
std::string card(const std::string& head, const std::vector<std::pair<std::string, std::string>>& base,
                 const Changes& changes) {
    std::string line = head;
    for (const auto& [name, value] : base) {
        const auto it = changes.find(name);
        const std::string v = it == changes.end() ? value : it->second;
        if (v != "-") line += ", " + name + "=" + v;
    }
    return line;
}

std::string control(const Changes& changes = {}) {
    return card("*QUORREL, EXPLOSIVE",
                {{"MATERIAL", "TNT"},
                 {"TYPE", "PROGRAMMED_BURN"},
                 {"PRODUCT_MATERIAL", "FUMES"},
                 {"CONVERSION", "PHASE"},
                 {"DETONATION_VELOCITY", "2.0"},
                 {"ENERGY", "4.0"},
                 {"BURN_TIME", "0.002"}},
                changes);
}

std::string ignition(const Changes& changes = {}) {
    return card("*QUORREL, IGNITION", {{"MATERIAL", "TNT"}, {"X", "0.0"}, {"Y", "0.0"}, {"Z", "0.0"}, {"TIME", "0.0"}},
                changes);
}

const std::string eos = "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=FUMES, GAMMA=1.4, E0=1.0";

class ExplosiveDeck : public test::DeckTest {
protected:
    std::string edited_base(const std::vector<std::pair<int, std::string>>& edits,
                            const std::vector<std::string>& appended = {}) {
        return edited("explosive_deck.inp", edits, appended);
    }
    static int32_t warnings() {
        int32_t count = -1;
        sph_input_get_warning_count(count);
        return count;
    }
};

TEST_F(ExplosiveDeck, BaseDeckBuilds) {
    ASSERT_EQ(sph_input_read(decks + "/explosive_deck.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 0);
    const SphExplosiveState& s = sph_explosive_state;
    ASSERT_EQ(s.explosive_material_count, 1);
    const SphExplosiveMaterial& m = s.explosive_materials[0];
    EXPECT_EQ(m.explosive_material_id, 1);
    EXPECT_TRUE(m.explosive_control_defined);
    EXPECT_EQ(m.explosive_product_material_id, 2);
    EXPECT_EQ(m.explosive_detonation_velocity, 2.0);
    EXPECT_EQ(m.explosive_energy_per_mass, 4.0);
    EXPECT_EQ(m.explosive_burn_time, 0.002);
    EXPECT_EQ(m.explosive_conversion_mode, explosive_conversion_phase);
    EXPECT_EQ(m.explosive_density0, 1.6);
    ASSERT_EQ(s.explosive_ignition_count, 1);
    EXPECT_EQ(s.explosive_ignitions[0].explosive_ignition_material_id, 1);
    // Node 2 is 1 from the ignition point: t = 1 / 2.
    EXPECT_EQ(s.explosive_detonation_time[0], 0.0);
    EXPECT_EQ(s.explosive_detonation_time[1], 0.5);
    EXPECT_EQ(sph_database.particle_phase[0], sph_phase_explosive);
}

struct EditCase {
    std::string what;
    std::vector<std::pair<int, std::string>> edits;
    std::vector<std::string> appended;
    int line;  // line of the located message; 0: the read succeeds and the build fails, unlocated
    int code;
    std::string message;
};

std::vector<EditCase> edit_cases() {
    const std::string material_required = "Explosive control MATERIAL is required";
    const std::string type_msg = "Explosive TYPE must be PROGRAMMED_BURN";
    const std::string velocity = "Explosive detonation velocity must be positive";
    const std::string energy = "Explosive energy must be non-negative";
    const std::string burn = "Explosive burn time must be non-negative";
    const std::string product_required = "Explosive PRODUCT_MATERIAL is required";
    const std::string unknown = "Explosive control references unknown material";
    const std::string non_explosive = "Explosive control references non-Explosive material";
    const std::string again = "Explosive material control is already defined";
    const std::string product_unknown = "Explosive product material is unknown";
    const std::string product_gas = "Explosive product material must be Gas";
    const std::string no_eos = "Explosive product Gas material has no EOS";
    const std::string conversion = "Explosive CONVERSION must be PHASE or SOURCE";
    const std::string time = "Explosive ignition time must be non-negative";
    const std::string coordinate = "Explosive ignition coordinate is not finite";
    const int c = control_line, g = ignition_line;
    std::vector<EditCase> cases = {
        // The control card's checks in their order; a row that fails two checks shows the first.
        {"1 no MATERIAL", {{c, control({{"MATERIAL", "-"}})}}, {}, c, 4, material_required},
        {"1 blank MATERIAL", {{c, control({{"MATERIAL", " "}})}}, {}, c, 4, material_required},
        {"1 and 2", {{c, control({{"MATERIAL", "-"}, {"TYPE", "CJ_BURN"}})}}, {}, c, 4, material_required},
        {"2 another TYPE", {{c, control({{"TYPE", "CJ_BURN"}})}}, {}, c, 4, type_msg},
        {"2 no TYPE", {{c, control({{"TYPE", "-"}})}}, {}, c, 4, type_msg},
        // Only the first 64 characters of TYPE count.
        {"2 PROGRAMMED_BURN past character 64", {{c, control({{"TYPE", std::string(50, 'X') + "PROGRAMMED_BURN"}})}},
         {}, c, 4, type_msg},
        {"2 and 3", {{c, control({{"TYPE", "CJ_BURN"}, {"DETONATION_VELOCITY", "0.0"}})}}, {}, c, 4, type_msg},
        {"3 velocity 0", {{c, control({{"DETONATION_VELOCITY", "0.0"}})}}, {}, c, 1, velocity},
        {"3 velocity negative", {{c, control({{"DETONATION_VELOCITY", "-2.0"}})}}, {}, c, 1, velocity},
        {"3 velocity NaN", {{c, control({{"DETONATION_VELOCITY", "NaN"}})}}, {}, c, 1, velocity},
        {"3 velocity infinite", {{c, control({{"DETONATION_VELOCITY", "Infinity"}})}}, {}, c, 1, velocity},
        {"3 and 4", {{c, control({{"DETONATION_VELOCITY", "0.0"}, {"ENERGY", "-1.0"}})}}, {}, c, 1, velocity},
        {"4 energy negative", {{c, control({{"ENERGY", "-1.0"}})}}, {}, c, 1, energy},
        {"4 energy NaN", {{c, control({{"ENERGY", "nan"}})}}, {}, c, 1, energy},
        {"4 and 5", {{c, control({{"ENERGY", "-1.0"}, {"BURN_TIME", "-1.0"}})}}, {}, c, 1, energy},
        {"5 burn time negative", {{c, control({{"BURN_TIME", "-1.0e-9"}})}}, {}, c, 1, burn},
        {"5 burn time infinite", {{c, control({{"BURN_TIME", "inf"}})}}, {}, c, 1, burn},
        {"5 and 6", {{c, control({{"BURN_TIME", "-1.0"}, {"PRODUCT_MATERIAL", "-"}})}}, {}, c, 1, burn},
        {"6 no PRODUCT_MATERIAL", {{c, control({{"PRODUCT_MATERIAL", "-"}})}}, {}, c, 4, product_required},
        {"6 and 7", {{c, control({{"PRODUCT_MATERIAL", "-"}, {"MATERIAL", "NOPE"}})}}, {}, c, 4, product_required},
        {"7 unknown material", {{c, control({{"MATERIAL", "NOPE"}})}}, {}, c, 4, unknown},
        {"7 a gas material", {{c, control({{"MATERIAL", "FUMES"}})}}, {}, c, 4, non_explosive},
        {"7 and 9", {{c, control({{"MATERIAL", "NOPE"}, {"PRODUCT_MATERIAL", "NOPE"}})}}, {}, c, 4, unknown},
        {"8 a second card", {}, {control({{"ENERGY", "1.0"}})}, 22, 4, again},
        {"8 and 9", {}, {control({{"PRODUCT_MATERIAL", "NOPE"}})}, 22, 4, again},
        {"9 unknown product", {{c, control({{"PRODUCT_MATERIAL", "NOPE"}})}}, {}, c, 4, product_unknown},
        {"9 and 12", {{c, control({{"PRODUCT_MATERIAL", "NOPE"}, {"CONVERSION", "BOTH"}})}}, {}, c, 4,
         product_unknown},
        {"10 an explosive product", {{c, control({{"PRODUCT_MATERIAL", "TNT"}})}}, {}, c, 4, product_gas},
        {"10 and 12", {{c, control({{"PRODUCT_MATERIAL", "TNT"}, {"CONVERSION", "BOTH"}})}}, {}, c, 4, product_gas},
        // The product's EOS card after the control card.
        {"11 product EOS later", {{eos_line, "** EOS below"}}, {eos}, c, 4, no_eos},
        {"11 and 12", {{eos_line, "** EOS below"}, {c, control({{"CONVERSION", "BOTH"}})}}, {eos}, c, 4, no_eos},
        {"12 another CONVERSION", {{c, control({{"CONVERSION", "BOTH"}})}}, {}, c, 4, conversion},
        // The reader's own checks come before any of the setter's.
        {"no DETONATION_VELOCITY", {{c, control({{"DETONATION_VELOCITY", "-"}})}}, {}, c, 4,
         "missing required option DETONATION_VELOCITY"},
        {"no ENERGY", {{c, control({{"ENERGY", "-"}})}}, {}, c, 4, "missing required option ENERGY"},
        {"no BURN_TIME", {{c, control({{"BURN_TIME", "-"}})}}, {}, c, 4, "missing required option BURN_TIME"},
        {"velocity not a number", {{c, control({{"DETONATION_VELOCITY", "fast"}})}}, {}, c, 4,
         "invalid numeric option DETONATION_VELOCITY"},
        {"no MATERIAL and no ENERGY", {{c, control({{"MATERIAL", "-"}, {"ENERGY", "-"}})}}, {}, c, 4,
         "missing required option ENERGY"},
        {"a MATERIAL name of 65 characters", {{c, control({{"MATERIAL", std::string(65, 'T')}})}}, {}, c, 4,
         "name is too long"},

        // The ignition card.
        {"ignition without MATERIAL", {{g, ignition({{"MATERIAL", "-"}})}}, {}, g, 4,
         "Explosive ignition MATERIAL is required"},
        {"ignition time negative", {{g, ignition({{"TIME", "-1.0"}})}}, {}, g, 1, time},
        {"ignition time NaN", {{g, ignition({{"TIME", "NaN"}})}}, {}, g, 1, time},
        {"ignition X NaN", {{g, ignition({{"X", "NaN"}})}}, {}, g, 1, coordinate},
        {"ignition Z -inf", {{g, ignition({{"Z", "-inf"}})}}, {}, g, 1, coordinate},
        {"ignition of an unknown material", {{g, ignition({{"MATERIAL", "NOPE"}})}}, {}, g, 4, unknown},
        {"ignition of a gas material", {{g, ignition({{"MATERIAL", "FUMES"}})}}, {}, g, 4, non_explosive},
        {"ignition without MATERIAL, time negative", {{g, ignition({{"MATERIAL", "-"}, {"TIME", "-1.0"}})}}, {}, g, 4,
         "Explosive ignition MATERIAL is required"},
        {"ignition time negative, Y NaN", {{g, ignition({{"TIME", "-1.0"}, {"Y", "NaN"}})}}, {}, g, 1, time},
        {"ignition Y NaN, unknown material", {{g, ignition({{"Y", "NaN"}, {"MATERIAL", "NOPE"}})}}, {}, g, 1,
         coordinate},
        {"ignition without X", {{g, ignition({{"X", "-"}})}}, {}, g, 4, "missing required option X"},
        {"ignition without Y", {{g, ignition({{"Y", "-"}})}}, {}, g, 4, "missing required option Y"},
        {"ignition without Z", {{g, ignition({{"Z", "-"}})}}, {}, g, 4, "missing required option Z"},
        {"ignition without TIME", {{g, ignition({{"TIME", "-"}})}}, {}, g, 4, "missing required option TIME"},
        {"ignition X not a number", {{g, ignition({{"X", "left"}})}}, {}, g, 4, "invalid numeric option X"},

        // The build's checks, unlocated. The density value on line 12 is then a data line
        // under *MATERIAL, passed over.
        {"no *DENSITY", {{density_line, "** no density"}}, {}, 0, 4,
         "input is missing *DENSITY for Explosive material"},
        {"no control card", {{c, "** no control"}}, {}, 0, 4,
         "input is missing *QUORREL EXPLOSIVE for Explosive material"},
        {"no ignition card", {{g, "** no ignition"}}, {}, 0, 4,
         "input is missing *QUORREL IGNITION for Explosive material"},
        {"no *DENSITY and no control card", {{density_line, "** no density"}, {c, "** no control"}}, {}, 0, 4,
         "input is missing *DENSITY for Explosive material"},
        {"no control card and no ignition card", {{c, "** no control"}, {g, "** no ignition"}}, {}, 0, 4,
         "input is missing *QUORREL EXPLOSIVE for Explosive material"},
    };
    // 32 ignition records are taken; the 33rd is refused.
    const std::vector<std::string> more(32, ignition({{"X", "1.0"}}));
    cases.push_back({"the 33rd ignition record", {}, more, g + 32, 4, "too many Explosive ignition records"});
    return cases;
}

TEST_F(ExplosiveDeck, SingleLineEditsGiveTheirMessages) {
    for (const EditCase& c : edit_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = edited_base(c.edits, c.appended);
        int st = sph_input_read(path);
        if (c.line == 0) {
            ASSERT_EQ(st, 0) << sph_error_message();
            st = sph_input_build_model();
        }
        EXPECT_EQ(st, c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        const std::string expected = c.line ? path + ":" + std::to_string(c.line) + ": " + c.message : c.message;
        EXPECT_EQ(sph_error_message(), expected);
    }
}

TEST_F(ExplosiveDeck, EditsThatBuild) {
    struct Case {
        std::string what;
        std::vector<std::pair<int, std::string>> edits;
        std::vector<std::string> appended;
        int32_t ignitions;
    };
    const Case cases[] = {
        {"TYPE in lower case", {{control_line, control({{"TYPE", "programmed_burn"}})}}, {}, 1},
        {"TYPE ending at character 64", {{control_line, control({{"TYPE", std::string(49, 'X') + "PROGRAMMED_BURN"}})}},
         {}, 1},
        {"names in lower case", {{control_line, control({{"MATERIAL", "tnt"}, {"PRODUCT_MATERIAL", "fumes"}})}}, {}, 1},
        {"energy and burn time 0", {{control_line, control({{"ENERGY", "0.0"}, {"BURN_TIME", "0.0"}})}}, {}, 1},
        // An ignition card may come before the material's control card.
        {"ignition before control", {{control_line, ignition()}, {ignition_line, control()}}, {}, 1},
        {"32 ignition records", {}, std::vector<std::string>(31, ignition({{"TIME", "0.25"}})), 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited_base(c.edits, c.appended)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(sph_explosive_state.explosive_ignition_count, c.ignitions);
        EXPECT_TRUE(sph_explosive_state.explosive_materials[0].explosive_control_defined);
    }
}

TEST_F(ExplosiveDeck, ConversionWords) {
    struct Case {
        std::string what, value;  // "-": no CONVERSION option
        int32_t mode;             // 0: the card fails
    };
    const Case cases[] = {
        {"absent", "-", explosive_conversion_phase},
        {"blank", " ", explosive_conversion_phase},
        {"PHASE", "PHASE", explosive_conversion_phase},
        {"phase", "phase", explosive_conversion_phase},
        {"SOURCE", "SOURCE", explosive_conversion_source},
        {"Source", "Source", explosive_conversion_source},
        {"a word holding SOURCE", "GAS_SOURCE_RATE", explosive_conversion_source},
        // PHASE is looked for first.
        {"both words", "SOURCE_PHASE", explosive_conversion_phase},
        {"both words, PHASE last", "SOURCE_NOT_PHASE", explosive_conversion_phase},
        {"neither word", "BOTH", 0},
        // Only the first 64 characters count.
        {"PHASE ending at character 64", std::string(59, 'X') + "PHASE", explosive_conversion_phase},
        {"PHASE past character 64", std::string(60, 'X') + "PHASE", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = edited_base({{control_line, control({{"CONVERSION", c.value}})}});
        const int st = sph_input_read(path);
        if (c.mode == 0) {
            EXPECT_EQ(st, sph_error_input);
            EXPECT_EQ(sph_error_message(), path + ":20: Explosive CONVERSION must be PHASE or SOURCE");
            EXPECT_FALSE(sph_explosive_state.explosive_materials[0].explosive_control_defined);
            continue;
        }
        ASSERT_EQ(st, 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(sph_explosive_state.explosive_materials[0].explosive_conversion_mode, c.mode);
    }
}

TEST_F(ExplosiveDeck, AnExplosiveMaterialWithoutActiveParticlesNeedsNoDensityControlOrIgnition) {
    const std::vector<std::pair<int, std::string>> bare = {
        {density_line, "** no density"}, {control_line, "** no control"}, {ignition_line, "** no ignition"}};
    struct Case {
        std::string what;
        std::vector<std::pair<int, std::string>> edits;
        bool deactivate_charge;  // the TNT particles taken out of the run between read and build
        int32_t warnings;        // TNT unbound: one
    };
    const Case cases[] = {
        {"its particles inactive", bare, true, 0},
        {"no section binds it", {bare[0], bare[1], bare[2], {16, "*SECTION, NSET=CHARGE, MATERIAL=FUMES"}}, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_EQ(sph_input_read(edited_base(c.edits)), 0) << sph_error_message();
        if (c.deactivate_charge)
            for (std::size_t i = 0; i < 2; ++i) sph_database.particle_status[i] = sph_status_inactive;
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), c.warnings);
        EXPECT_TRUE(sph_explosive_state.explosive_material_seen);
        EXPECT_FALSE(sph_explosive_state.explosive_materials[0].explosive_control_defined);
    }
}

TEST_F(ExplosiveDeck, AnUnboundExplosiveMaterialIsOneWarningPerBuild) {
    // A second explosive material, PETN, with no section (and so no particle): it needs no
    // density, control or ignition, and adds one warning at each build.
    ASSERT_EQ(sph_input_read(edited_base({}, {"*MATERIAL, NAME=PETN, TYPE=EXPLOSIVE"})), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_explosive_state.explosive_material_count, 2);
    EXPECT_EQ(warnings(), 1);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 2);
    // Bound by a section of its own (taking node 3), with its density, control and ignition,
    // it adds none.
    ASSERT_EQ(sph_input_read(edited_base({}, {"*MATERIAL, NAME=PETN, TYPE=EXPLOSIVE", "*DENSITY", "1.8",
                                              "*NSET, NSET=BOOSTER", "3", "*SECTION, NSET=BOOSTER, MATERIAL=PETN",
                                              control({{"MATERIAL", "PETN"}}), ignition({{"MATERIAL", "PETN"}})})),
              0)
        << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.material_id[2], 3);
    EXPECT_EQ(warnings(), 0);
}

}  // namespace
