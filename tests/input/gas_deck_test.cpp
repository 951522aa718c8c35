#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

// gas_one.inp, by physical line:
//   6 *MATERIAL AIR (gas)   7 *DENSITY   8 its value   9 section
//  11 ideal-gas EOS card   12 particle control   13 body force
class GasDeck : public test::DeckTest {
protected:
    // The base deck with physical lines (from 1) replaced, and lines appended.
    std::string edited_base(const std::vector<std::pair<int, std::string>>& edits,
                            const std::vector<std::string>& appended = {}) {
        return edited("gas_one.inp", edits, appended);
    }
};

TEST_F(GasDeck, BaseDeckBuilds) {
    ASSERT_EQ(sph_input_read(decks + "/gas_one.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.particle_phase[0], sph_phase_gas);
    int32_t warnings = -1;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 0);
}

struct EditCase {
    std::string what;
    std::vector<std::pair<int, std::string>> edits;
    int line;  // line of the located message; 0: the read succeeds and the build fails, unlocated
    int code;
    std::string message;
};

std::vector<EditCase> edit_cases() {
    const std::string eos = "*QUORREL, EOS, ";
    const std::string air = "MATERIAL=AIR, ";
    const std::string ideal_msg = "Ideal gas gamma must be greater than one";
    const std::string energy_msg = "Ideal gas internal energy must be non-negative";
    std::vector<EditCase> cases = {
        {"blank TYPE", {{11, eos + "TYPE=, " + air + "GAMMA=1.4, E0=2.5"}}, 11, 4, "Gas EOS TYPE is required"},
        {"no TYPE", {{11, eos + air + "GAMMA=1.4, E0=2.5"}}, 11, 4, "Gas EOS TYPE is required"},
        {"blank MATERIAL", {{11, eos + "TYPE=IDEAL_GAS, MATERIAL= , GAMMA=1.4, E0=2.5"}}, 11, 4,
         "Gas EOS MATERIAL is required"},
        {"unknown material", {{11, eos + "TYPE=IDEAL_GAS, MATERIAL=HELIUM, GAMMA=1.4, E0=2.5"}}, 11, 4,
         "Gas EOS references unknown material"},
        {"a non-Gas material",
         {{1, "*MATERIAL, NAME=STEEL, TYPE=SOLID"}, {11, eos + "TYPE=IDEAL_GAS, MATERIAL=STEEL, GAMMA=1.4, E0=2.5"}},
         11, 4, "Gas EOS references non-Gas material"},
        {"ideal gamma 1", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.0, E0=2.5"}}, 11, 1, ideal_msg},
        {"ideal gamma NaN", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=NaN, E0=2.5"}}, 11, 1, ideal_msg},
        {"ideal gamma infinite", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=Infinity, E0=2.5"}}, 11, 1, ideal_msg},
        {"ideal E0 negative", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.4, E0=-1.0"}}, 11, 1, energy_msg},
        {"ideal E0 NaN", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.4, E0=nan"}}, 11, 1, energy_msg},
        {"ideal E0 infinite", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.4, E0=inf"}}, 11, 1, energy_msg},
        // A non-finite P0 is taken; the pressure it gives is refused when the build sets it.
        {"ideal P0 NaN", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.4, E0=2.5, P0=NaN"}}, 0, 1,
         "Gas pressure is not finite"},
        {"ideal P0 infinite", {{11, eos + "TYPE=IDEAL_GAS, " + air + "GAMMA=1.4, E0=2.5, P0=-inf"}}, 0, 1,
         "Gas pressure is not finite"},
        {"JWL without OMEGA",
         {{11, eos + "TYPE=JWL, " + air + "RHO0=4.0, A=100.0, B=10.0, R1=1.0, R2=0.5, E0=5.0"}}, 11, 4,
         "missing required option OMEGA"},
        {"a second EOS card for the material", {{13, eos + "TYPE=STIFFENED_GAS, " + air +
                                                         "RHO0=2.0, GAMMA=1.4, E0=0.0, PINF=10.0"}},
         13, 4, "Gas material EOS is already defined"},
        {"unsupported TYPE", {{11, eos + "TYPE=VAN_DER_WAALS, " + air + "GAMMA=1.4, E0=2.5"}}, 11, 4,
         "Gas EOS TYPE is not supported"},
        {"no EOS card", {{11, "** no EOS"}}, 0, 4, "input is missing *QUORREL EOS for Gas"},
        // The density value on line 8 is then a data line under *MATERIAL, passed over.
        {"no *DENSITY", {{7, "** no density"}}, 0, 4, "input is missing *DENSITY for Gas material"},
    };
    // Every parameter of the JWL and stiffened cards, NaN and +infinity in turn (the
    // infinities pass the sign checks, so only a finiteness check refuses them).
    const std::vector<std::string> jwl = {"RHO0=4.0", "A=100.0", "B=10.0", "R1=1.0", "R2=0.5", "OMEGA=0.3", "E0=5.0"};
    const std::vector<std::string> stiff = {"RHO0=2.0", "GAMMA=1.4", "E0=0.0", "PINF=10.0"};
    struct Form {
        std::string type;
        const std::vector<std::string>* options;
        std::string message;
    };
    for (const Form& f : {Form{"JWL", &jwl, "JWL gas EOS parameters are invalid"},
                          Form{"STIFFENED_GAS", &stiff, "Stiffened gas EOS parameters are invalid"}}) {
        for (std::size_t k = 0; k < f.options->size(); ++k) {
            for (const std::string bad : {"NaN", "Infinity"}) {
                std::string line = eos + "TYPE=" + f.type + ", MATERIAL=AIR";
                for (std::size_t j = 0; j < f.options->size(); ++j) {
                    const std::string& o = (*f.options)[j];
                    line += ", " + (j == k ? o.substr(0, o.find('=') + 1) + bad : o);
                }
                cases.push_back({f.type + " " + (*f.options)[k] + " -> " + bad, {{11, line}}, 11, 1, f.message});
            }
        }
    }
    // The particle-control and body-force cards hand their values to the water setter
    // first, and its refusal ends the card, so a non-finite value gets the water message.
    for (const std::string bad : {"NaN", "inf"}) {
        for (const std::string o : {"H", "MASS", "VOLUME"}) {
            std::string line = "*QUORREL, PARTICLE CONTROL";
            for (const std::string p : {"H", "MASS", "VOLUME"}) line += ", " + p + "=" + (p == o ? bad : "0.5");
            cases.push_back({"particle control " + o + " -> " + bad, {{12, line}}, 12, 1,
                             "Water particle control values must be positive"});
        }
        for (const std::string o : {"X", "Y", "Z"}) {
            std::string line = "*QUORREL, BODY FORCE";
            for (const std::string p : {"X", "Y", "Z"}) line += ", " + p + "=" + (p == o ? bad : "-1.0");
            cases.push_back(
                {"body force " + o + " -> " + bad, {{13, line}}, 13, 1, "Water body force must be finite"});
        }
    }
    return cases;
}

TEST_F(GasDeck, SingleLineEditsGiveTheirMessages) {
    for (const EditCase& c : edit_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = edited_base(c.edits);
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

TEST_F(GasDeck, SameDeckTwiceBuildsAndANewDeckStartsWithoutTheOldEos) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(sph_input_read(decks + "/gas_one.inp"), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(sph_database.npart, 1);
        EXPECT_EQ(sph_gas.gas_material_count, 1);
        EXPECT_EQ(sph_database.particle_phase[0], sph_phase_gas);
        EXPECT_NEAR(sph_database.pressure[0], 5.0, 1e-14);  // 3 + 0.4 * 2 * 2.5
    }
    // The same deck without its EOS card: the first deck's EOS must not carry over.
    ASSERT_EQ(sph_input_read(edited_base({{11, "** no EOS"}})), 0) << sph_error_message();
    EXPECT_FALSE(sph_gas.gas_eos_defined);
    EXPECT_TRUE(sph_gas.gas_material_seen);  // from this deck's *MATERIAL
    EXPECT_TRUE(sph_gas.gas_module_initialized);
    ASSERT_EQ(sph_gas.gas_material_count, 1);
    EXPECT_FALSE(sph_gas.gas_materials[0].gas_material_eos_defined);
    EXPECT_EQ(sph_input_build_model(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "input is missing *QUORREL EOS for Gas");
}

TEST_F(GasDeck, UnboundGasMaterialIsOneWarningPerBuild) {
    // A second gas material with its density and EOS but no section.
    const std::string path = edited_base({}, {"*MATERIAL, NAME=HELIUM, TYPE=GAS", "*DENSITY", "0.5",
                                              "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=HELIUM, GAMMA=1.66, E0=1.0"});
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    int32_t warnings = -1;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 0);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_gas.gas_material_count, 2);
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 1);
    // Each build counts again.
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 2);
    // The bound material alone adds none.
    ASSERT_EQ(sph_input_read(decks + "/gas_one.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 0);
}

}  // namespace
