#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_reader.h"
#include "input/sph_input_time.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

class InputLexer : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        sph_input_reader.input_current_file = "decks/tank.inp";
        sph_input_reader.input_current_line = 12;
    }
};

struct LineCase {
    std::string raw;
    bool kept;
    int32_t id;  // keyword id of the cleaned line (checked when kept)
    std::vector<std::string> fields;
};

TEST_F(InputLexer, LinesAreCleanedClassifiedAndSplit) {
    const std::vector<LineCase> cases = {
        {"** comment in column 1", false, 0, {}},
        {"! bang comment", false, 0, {}},
        {"", false, 0, {}},
        {"     ", false, 0, {}},
        {"  ** indented asterisks", true, 99, {"** indented asterisks"}},
        {"  ! indented bang", true, 99, {"! indented bang"}},
        {"*", true, 99, {"*"}},
        {"*node", true, 1, {"*node"}},
        {"*NODES, NSET=ALL", true, 1, {"*NODES", "NSET=ALL"}},
        {"*NODE OUTPUT", true, 1, {"*NODE OUTPUT"}},
        {"*Element, type=C3D8", true, 2, {"*Element", "type=C3D8"}},
        {"*NSET, NSET=A", true, 3, {"*NSET", "NSET=A"}},
        {"*ELSET, ELSET=B", true, 4, {"*ELSET", "ELSET=B"}},
        {"*MATERIAL, NAME=Steel", true, 5, {"*MATERIAL", "NAME=Steel"}},
        {"*Solid Section, ELSET=A", true, 6, {"*Solid Section", "ELSET=A"}},
        {"*STEP, NAME=crossSection", true, 6, {"*STEP", "NAME=crossSection"}},
        {"*QUORREL, TIME CONTROL", true, 7, {"*QUORREL", "TIME CONTROL"}},
        {"*Density", true, 8, {"*Density"}},
        {"*ELASTIC", true, 9, {"*ELASTIC"}},
        {"*PLASTIC", true, 10, {"*PLASTIC"}},
        {"*DAMAGE INITIATION", true, 11, {"*DAMAGE INITIATION"}},
        {"*DAMAGE  INITIATION", true, 99, {"*DAMAGE  INITIATION"}},
        {"*ORIENTATION, NAME=O", true, 12, {"*ORIENTATION", "NAME=O"}},
        {"   *NODE", true, 1, {"*NODE"}},
        // A tab is no blank: the line is kept as written and is no keyword line.
        {"\t*NODE", true, 99, {"\t*NODE"}},
        {" 1.0 ,  2.0,3.0  ", true, 99, {"1.0", "2.0", "3.0"}},
        {"1.0, 2.0,", true, 99, {"1.0", "2.0", ""}},
        {"1,,2", true, 99, {"1", "", "2"}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE("line: [" + c.raw + "]");
        const std::string cleaned = sph_inp_clean_line(c.raw);
        EXPECT_EQ(!cleaned.empty(), c.kept);
        if (!c.kept) continue;
        EXPECT_EQ(sph_inp_keyword_id(cleaned), c.id);
        SphCsvFields f;
        sph_inp_split_csv(cleaned, f);
        ASSERT_EQ(f.count, static_cast<int32_t>(c.fields.size()));
        for (std::size_t k = 0; k < c.fields.size(); ++k) EXPECT_EQ(f.field[k], c.fields[k]);
    }
}

TEST_F(InputLexer, SplitKeepsAtMostSixtyFourFieldsOfAtMost256Characters) {
    SphCsvFields f;
    sph_inp_split_csv("", f);
    EXPECT_EQ(f.count, 0);

    // 64 commas: 64 fields, the text after the 64th comma is dropped.
    std::string line;
    for (int k = 1; k <= 64; ++k) line += std::to_string(k) + ",";
    line += "65";
    sph_inp_split_csv(line, f);
    ASSERT_EQ(f.count, 64);
    EXPECT_EQ(f.field[63], "64");
    EXPECT_FALSE(f.truncated);

    const std::string long_field(300, 'A');
    sph_inp_split_csv("1," + long_field, f);
    ASSERT_EQ(f.count, 2);
    EXPECT_EQ(f.field[1].size(), 256u);
    EXPECT_TRUE(f.truncated);
    EXPECT_TRUE(sph_inp_has_long_field("1," + long_field));
    EXPECT_FALSE(sph_inp_has_long_field("1," + std::string(256, 'B') + "   "));

    EXPECT_EQ(sph_inp_upper("*Node, nset=a_1"), "*NODE, NSET=A_1");
}

struct OptionCase {
    std::string line;
    std::string name;
    std::string value;
    bool present;
};

TEST_F(InputLexer, OptionsAreLookedUpByKeyFirstOccurrenceWins) {
    const std::vector<OptionCase> cases = {
        {"*MATERIAL, name =  Mild Steel  , NAME=Other", "NAME", "Mild Steel", true},
        {"*MATERIAL, NAME=Steel", "name", "Steel", true},
        {"*MATERIAL NAME=Steel", "NAME", "", false},
        {"*X, NAME=A=B", "NAME", "A=B", true},
        {"*X, DT=", "DT", "", true},
        {"*X, DT =  ", "DT", "", true},
        {"*X, MAX STEPS=3", "MAX_STEPS", "", false},
        {"*X, MAX STEPS=3", "MAX STEPS", "3", true},
        {"*X, NSET=A", "SET", "", false},
        {"*X, TYPE=tait", "TYPE", "tait", true},
    };
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(c.line + " / " + c.name);
        EXPECT_EQ(sph_input_get_option(c.line, c.name), c.value);
        EXPECT_EQ(sph_input_option_present(c.line, c.name), c.present);
    }
}

struct RealCase {
    std::string text;
    bool ok;
    double value;
};

TEST_F(InputLexer, RealTextsReadInFreeFormat) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<RealCase> cases = {
        {"1.0", true, 1.0},
        {"  2.5 m", true, 2.5},
        {"2.5m", false, 0.0},
        {"1.5D3", true, 1500.0},
        {"1.5d-3", true, 0.0015},
        {"-4E2", true, -400.0},
        {"2.5e+1", true, 25.0},
        {"+.5", true, 0.5},
        {"5.", true, 5.0},
        {"7", true, 7.0},
        {"-0", true, 0.0},
        {"Infinity", true, inf},
        {"-inf", true, -inf},
        {"1e-400", true, 0.0},
        {"", false, 0.0},
        {"   ", false, 0.0},
        {".", false, 0.0},
        {"abc", false, 0.0},
        {"1.0e", false, 0.0},
        {"1.2.3", false, 0.0},
        {"1.0+5", false, 0.0},
        {"0x10", false, 0.0},
        {"1e400", false, 0.0},
        {"--1", false, 0.0},
    };
    for (const RealCase& c : cases) {
        SCOPED_TRACE("text: [" + c.text + "]");
        double v = -99.0;
        EXPECT_EQ(sph_input_read_real(c.text, v), c.ok);
        if (c.ok) EXPECT_EQ(v, c.value);
        else EXPECT_EQ(v, -99.0);
    }
    double v = 0.0;
    ASSERT_TRUE(sph_input_read_real(" NaN", v));
    EXPECT_TRUE(std::isnan(v));
}

struct IntegerCase {
    std::string text;
    bool ok;
    int32_t value;
};

TEST_F(InputLexer, IntegerTextsAreSignAndDigitsOnly) {
    const std::vector<IntegerCase> cases = {
        {"42", true, 42},         {"-7", true, -7},          {"+3", true, 3},
        {" 12 apples", true, 12}, {"2147483647", true, 2147483647},
        {"3.0", false, 0},        {"1e2", false, 0},         {"2147483648", false, 0},
        {"", false, 0},           {"12a", false, 0},         {"-", false, 0},
    };
    for (const IntegerCase& c : cases) {
        SCOPED_TRACE("text: [" + c.text + "]");
        int32_t v = -99;
        EXPECT_EQ(sph_input_read_integer(c.text, v), c.ok);
        EXPECT_EQ(v, c.ok ? c.value : -99);
    }
}

TEST_F(InputLexer, LogicalWordsAndTheirFailureMessage) {
    const std::vector<std::pair<std::string, bool>> good = {
        {" yes", true}, {"TRUE", true}, {"On", true}, {"1", true},
        {"no", false},  {"False ", false}, {"OFF", false}, {"0", false}};
    for (const auto& [text, expected] : good) {
        SCOPED_TRACE(text);
        bool v = !expected;
        EXPECT_EQ(sph_input_parse_logical_value(text, v, "bad flag"), 0);
        EXPECT_EQ(v, expected);
    }
    for (const std::string text : {"T", "", "YESS"}) {
        SCOPED_TRACE(text);
        bool v = true;
        EXPECT_EQ(sph_input_parse_logical_value(text, v, "invalid flag option"), sph_error_input);
        EXPECT_TRUE(v);
        EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: invalid flag option");
    }
}

TEST_F(InputLexer, RequiredAndOptionalRealsAndTheFiniteTest) {
    double v = 5.0;
    EXPECT_EQ(sph_input_get_optional_real("*Q, X=1.0 m", "X", v), 0);
    EXPECT_EQ(v, 1.0);
    v = 5.0;
    EXPECT_EQ(sph_input_get_optional_real("*Q, X=", "X", v), 0);
    EXPECT_EQ(v, 5.0);
    EXPECT_EQ(sph_input_get_optional_real("*Q, X=1.0m", "X", v), sph_error_input);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: invalid numeric option X");
    EXPECT_EQ(v, 5.0);

    EXPECT_EQ(sph_input_get_required_real("*Q, RADIUS=", "RADIUS", v), sph_error_input);
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: missing required option RADIUS");
    EXPECT_EQ(sph_input_get_required_real("*Q, RADIUS=big", "RADIUS", v), sph_error_input);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: invalid numeric option RADIUS");
    EXPECT_EQ(sph_input_get_required_real("*Q, radius = 2D0", "RADIUS", v), 0);
    EXPECT_EQ(v, 2.0);

    EXPECT_FALSE(sph_input_real_is_finite(9.0e307));
    EXPECT_FALSE(sph_input_real_is_finite(std::nan("")));
    EXPECT_FALSE(sph_input_real_is_finite(std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(sph_input_real_is_finite(-8.988465674311579e307));
    EXPECT_TRUE(sph_input_real_is_finite(0.0));
}

TEST_F(InputLexer, MessagesAreLocatedOnce) {
    EXPECT_EQ(sph_input_located_message("decks/tank.inp  ", 12, "invalid node id  "),
              "decks/tank.inp:12: invalid node id");
    EXPECT_EQ(sph_input_set_error("invalid node id"), sph_error_input);
    EXPECT_EQ(sph_error_code(), sph_error_input);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: invalid node id");

    // A setter's message gains the location and keeps its code, once.
    sph_error_set(sph_error_database, "too many material records");
    EXPECT_EQ(sph_input_prefix_current_error(sph_error_database), sph_error_database);
    EXPECT_EQ(sph_error_code(), sph_error_database);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: too many material records");
    EXPECT_EQ(sph_input_prefix_current_error(sph_error_database), sph_error_database);
    EXPECT_EQ(sph_error_message(), "decks/tank.inp:12: too many material records");

    // A zero status leaves the error state alone.
    sph_error_set(sph_error_argument, "untouched");
    EXPECT_EQ(sph_input_prefix_current_error(0), 0);
    EXPECT_EQ(sph_error_message(), "untouched");

    // The time-control variant takes its location from its arguments and always prefixes.
    EXPECT_EQ(sph_input_time_set_error("a.inp", 3, "invalid QUORREL TIME CONTROL DT"), sph_error_input);
    EXPECT_EQ(sph_error_message(), "a.inp:3: invalid QUORREL TIME CONTROL DT");
    sph_error_set(sph_error_argument, "time control DT must be positive");
    EXPECT_EQ(sph_input_time_prefix_error("a.inp", 3, 1), 1);
    EXPECT_EQ(sph_error_code(), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "a.inp:3: time control DT must be positive");
}

}  // namespace
