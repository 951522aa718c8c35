// The blast region card in a deck: what each option and alias stores, and the located
// message of every check of the reader and the setter, in the order they are made.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "blast/sph_blast.h"
#include "core/sph_error.h"
#include "input/sph_input_reader.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

// blast_one.inp: the node set PLATE and the element set EPLATE exist; line 23 is the
// region card, the deck's last line.
constexpr int card_line = 23;
const std::string head = "*QUORREL, BLAST REGION, ";

class BlastDeck : public test::DeckTest {
protected:
    std::string with_card(const std::string& options, const std::vector<std::string>& appended = {}) {
        return edited("blast_one.inp", {{card_line, head + options}}, appended);
    }
    static int32_t warnings() {
        int32_t count = -1;
        sph_input_get_warning_count(count);
        return count;
    }
};

struct Stored {
    std::string options;
    std::string name;
    std::array<double, 3> center;
    double radius;
    int32_t source, target;
    std::string set;
    double scale, window;
    int32_t mode;
    bool enabled;
};

TEST_F(BlastDeck, OptionsAndAliasesAreStored) {
    constexpr double half_max = 8.988465674311579e307;
    const int32_t gas = sph_blast_phase_gas, structure = sph_blast_phase_structure, radial = sph_blast_mode_radial;
    const std::array<double, 3> o{0.0, 0.0, 0.0};
    const std::vector<Stored> cases = {
        {"RADIUS=2.0, NSET=PLATE", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, true},
        {"NAME=Mixed_Case, RADIUS=2, SET=PLATE", "Mixed_Case", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial,
         true},
        {"NAME= , RADIUS=2, SET=PLATE", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, true},
        {"X=1.5, Y=-2, Z=1e3, RADIUS=0.25, SET=PLATE", "BLAST", {1.5, -2.0, 1000.0}, 0.25, gas, structure, "PLATE",
         1.0, 0.0, radial, true},
        // A | B: B is looked at only when A is absent or blank.
        {"RADIUS=2, SET=PLATE, SOURCE_PHASE=water, SOURCE=gas", "BLAST", o, 2.0, sph_blast_phase_water, structure,
         "PLATE", 1.0, 0.0, radial, true},
        {"RADIUS=2, SET=PLATE, SOURCE=explosive", "BLAST", o, 2.0, sph_blast_phase_explosive, structure, "PLATE", 1.0,
         0.0, radial, true},
        {"RADIUS=2, SET=PLATE, TARGET_PHASE=shell, TARGET=solid", "BLAST", o, 2.0, gas, sph_blast_phase_shell, "PLATE",
         1.0, 0.0, radial, true},
        {"RADIUS=2, SET=PLATE, TARGET=any", "BLAST", o, 2.0, gas, sph_blast_phase_all, "PLATE", 1.0, 0.0, radial, true},
        {"RADIUS=2, TARGET_SET=PLATE, SET=NOPE", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, true},
        {"RADIUS=2, SET=ePlate", "BLAST", o, 2.0, gas, structure, "ePlate", 1.0, 0.0, radial, true},
        {"RADIUS=2, NSET=NOPE, ELSET=EPLATE", "BLAST", o, 2.0, gas, structure, "EPLATE", 1.0, 0.0, radial, true},
        {"RADIUS=2, TARGET_SET= , NSET=PLATE", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, true},
        {"RADIUS=2, SET=PLATE, SCALE=-3, FACTOR=abc", "BLAST", o, 2.0, gas, structure, "PLATE", -3.0, 0.0, radial,
         true},
        {"RADIUS=2, SET=PLATE, FACTOR=0.25", "BLAST", o, 2.0, gas, structure, "PLATE", 0.25, 0.0, radial, true},
        {"RADIUS=2, SET=PLATE, SCALE=0", "BLAST", o, 2.0, gas, structure, "PLATE", 0.0, 0.0, radial, true},
        {"RADIUS=2, SET=PLATE, TIME_WINDOW=1e-3, WINDOW=x", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 1e-3,
         radial, true},
        {"RADIUS=2, SET=PLATE, WINDOW=0.5", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.5, radial, true},
        {"RADIUS=2, SET=PLATE, MODE=normal", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, sph_blast_mode_normal,
         true},
        {"RADIUS=2, SET=PLATE, PROJECTION=Direct", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0,
         sph_blast_mode_direct, true},
        {"RADIUS=2, SET=PLATE, MODE=RADIAL, PROJECTION=bad", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial,
         true},
        {"RADIUS=2, SET=PLATE, ENABLED=false", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, false},
        {"RADIUS=2, SET=PLATE, ACTIVE=0", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial, false},
        {"RADIUS=2, SET=PLATE, ENABLED=ON, ACTIVE=maybe", "BLAST", o, 2.0, gas, structure, "PLATE", 1.0, 0.0, radial,
         true},
        {"RADIUS=2, TARGET_SET=none", "BLAST", o, 2.0, gas, structure, "none", 1.0, 0.0, radial, false},
        {"RADIUS=2, TARGET_SET=NONE, ENABLED=TRUE", "BLAST", o, 2.0, gas, structure, "NONE", 1.0, 0.0, radial, false},
        // Half the largest double is the largest value taken.
        {"RADIUS=8.988465674311579e307, SET=PLATE, X=-8.988465674311579e307, SCALE=8.988465674311579e307, "
         "TIME_WINDOW=8.988465674311579e307",
         "BLAST", {-half_max, 0.0, 0.0}, half_max, gas, structure, "PLATE", half_max, half_max, radial, true},
    };
    for (const Stored& c : cases) {
        SCOPED_TRACE(c.options);
        SetUp();
        ASSERT_EQ(sph_input_read(with_card(c.options)), 0) << sph_error_message();
        ASSERT_EQ(sph_blast.blast_region_count, 1);
        const SphBlastRegion& r = sph_blast.blast_regions[0];
        EXPECT_EQ(r.blast_region_name, c.name);
        EXPECT_EQ(r.blast_center, c.center);
        EXPECT_EQ(r.blast_radius, c.radius);
        EXPECT_EQ(r.blast_source_phase, c.source);
        EXPECT_EQ(r.blast_target_phase, c.target);
        EXPECT_EQ(r.blast_target_set_name, c.set);
        EXPECT_EQ(r.blast_load_scale, c.scale);
        EXPECT_EQ(r.blast_time_window, c.window);
        EXPECT_EQ(r.blast_projection_mode, c.mode);
        EXPECT_EQ(r.blast_region_enabled, c.enabled);
        EXPECT_EQ(warnings(), 0);
        // The build counts a switched-off region as one warning.
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(warnings(), c.enabled ? 0 : 1);
    }
}

struct BadCase {
    std::string what;
    std::string options;               // the card on line 23
    std::vector<std::string> appended;  // lines 24 on
    int line;
    int code;
    std::string message;
    int32_t stored;  // regions in the table after the failure
};

std::vector<BadCase> bad_cases() {
    const std::string base = "NAME=PUSH, RADIUS=2.0, TARGET_SET=PLATE";
    const std::string radius = "Blast region RADIUS must be positive";
    const std::string scale = "Blast region SCALE must be finite";
    const std::string window = "Blast region TIME_WINDOW must be non-negative";
    const std::string center = "Blast region center must be finite";
    const std::string source = "Blast region SOURCE_PHASE is invalid";
    const std::string target = "Blast region TARGET_PHASE is invalid";
    const std::string mode = "Blast region MODE is invalid";
    const std::string unknown = "Blast region TARGET_SET is unknown";
    const std::string duplicated = "Blast region NAME is duplicated";
    const std::string set_option = "Blast region is missing TARGET_SET option";
    std::vector<BadCase> cases = {
        // The reader, in the order it reads the options.
        {"no RADIUS", "NAME=PUSH, TARGET_SET=PLATE", {}, 23, 4, "missing required option RADIUS", 0},
        {"X is read before RADIUS", "X=abc, TARGET_SET=PLATE", {}, 23, 4, "invalid numeric option X", 0},
        {"a bad Y", "Y=one, " + base, {}, 23, 4, "invalid numeric option Y", 0},
        {"a bad Z", "Z=zero, " + base, {}, 23, 4, "invalid numeric option Z", 0},
        {"a bad RADIUS", "RADIUS=two, TARGET_SET=PLATE", {}, 23, 4, "invalid numeric option RADIUS", 0},
        {"no set option", "NAME=PUSH, RADIUS=2.0", {}, 23, 4, set_option, 0},
        {"a blank set option", "RADIUS=2.0, TARGET_SET= , SET=", {}, 23, 4, set_option, 0},
        {"the set is read before SCALE", "RADIUS=2.0, SCALE=abc", {}, 23, 4, set_option, 0},
        {"a bad SCALE", base + ", SCALE=abc", {}, 23, 4, "invalid blast SCALE", 0},
        {"a bad FACTOR", base + ", FACTOR=abc", {}, 23, 4, "invalid blast SCALE", 0},
        {"SCALE is read before TIME_WINDOW", base + ", TIME_WINDOW=soon, SCALE=abc", {}, 23, 4, "invalid blast SCALE",
         0},
        {"a bad TIME_WINDOW", base + ", TIME_WINDOW=soon", {}, 23, 4, "invalid blast TIME_WINDOW", 0},
        {"a bad WINDOW", base + ", WINDOW=x", {}, 23, 4, "invalid blast TIME_WINDOW", 0},
        {"a bad ENABLED", base + ", ENABLED=maybe", {}, 23, 4, "invalid blast ENABLED option", 0},
        {"a bad ACTIVE", base + ", ACTIVE=2", {}, 23, 4, "invalid blast ENABLED option", 0},
        {"the reader checks before the setter", "RADIUS=-1.0, TARGET_SET=NOPE, ENABLED=maybe", {}, 23, 4,
         "invalid blast ENABLED option", 0},
        {"a name of 65 characters", "NAME=" + std::string(65, 'N') + ", RADIUS=2.0, TARGET_SET=PLATE", {}, 23, 4,
         "name is too long", 0},
        {"a set name of 65 characters", "RADIUS=2.0, TARGET_SET=" + std::string(65, 'S'), {}, 23, 4,
         "name is too long", 0},

        // The setter, in the order it checks.
        {"a duplicate name in other case", base, {head + "NAME=push, RADIUS=1.0, TARGET_SET=PLATE"}, 24, 4, duplicated,
         1},
        {"two blank names", "RADIUS=2.0, TARGET_SET=PLATE", {head + "RADIUS=1.0, SET=PLATE"}, 24, 4, duplicated, 1},
        {"a blank name is BLAST", "RADIUS=2.0, TARGET_SET=PLATE", {head + "NAME=Blast, RADIUS=1.0, SET=PLATE"}, 24, 4,
         duplicated, 1},
        {"the name is checked before the radius", base, {head + "NAME=PUSH, RADIUS=0, TARGET_SET=PLATE"}, 24, 4,
         duplicated, 1},
        {"RADIUS 0", "RADIUS=0, TARGET_SET=PLATE", {}, 23, 4, radius, 0},
        {"RADIUS negative", "RADIUS=-2.0, TARGET_SET=PLATE", {}, 23, 4, radius, 0},
        {"RADIUS NaN", "RADIUS=NaN, TARGET_SET=PLATE", {}, 23, 4, radius, 0},
        {"RADIUS infinite", "RADIUS=Infinity, TARGET_SET=PLATE", {}, 23, 4, radius, 0},
        {"RADIUS beyond half the largest double", "RADIUS=1e308, TARGET_SET=PLATE", {}, 23, 4, radius, 0},
        {"the radius is checked before the scale", "RADIUS=0, TARGET_SET=PLATE, SCALE=NaN", {}, 23, 4, radius, 0},
        {"SCALE NaN", base + ", SCALE=nan", {}, 23, 4, scale, 0},
        {"SCALE infinite", base + ", SCALE=inf", {}, 23, 4, scale, 0},
        {"SCALE minus infinity", base + ", FACTOR=-Infinity", {}, 23, 4, scale, 0},
        {"SCALE beyond half the largest double", base + ", SCALE=-1e308", {}, 23, 4, scale, 0},
        {"the scale is checked before the window", base + ", SCALE=NaN, TIME_WINDOW=-1", {}, 23, 4, scale, 0},
        {"TIME_WINDOW negative", base + ", TIME_WINDOW=-0.001", {}, 23, 4, window, 0},
        {"TIME_WINDOW NaN", base + ", WINDOW=NaN", {}, 23, 4, window, 0},
        {"TIME_WINDOW infinite", base + ", TIME_WINDOW=inf", {}, 23, 4, window, 0},
        {"TIME_WINDOW beyond half the largest double", base + ", TIME_WINDOW=1e308", {}, 23, 4, window, 0},
        {"the window is checked before the centre", base + ", TIME_WINDOW=-1, X=NaN", {}, 23, 4, window, 0},
        {"X NaN", "X=NaN, " + base, {}, 23, 4, center, 0},
        {"Y infinite", "Y=inf, " + base, {}, 23, 4, center, 0},
        {"Z beyond half the largest double", "Z=-1e308, " + base, {}, 23, 4, center, 0},
        {"the centre is checked before the source", "X=NaN, SOURCE=NOPE, " + base, {}, 23, 4, center, 0},
        {"SOURCE not a phase", base + ", SOURCE=SOLIDS", {}, 23, 4, source, 0},
        {"SOURCE_PHASE not a phase", base + ", SOURCE_PHASE=NOPE", {}, 23, 4, source, 0},
        {"the source is checked before the target", base + ", SOURCE=NOPE, TARGET=NOPE", {}, 23, 4, source, 0},
        {"TARGET not a phase", base + ", TARGET=SHELLS", {}, 23, 4, target, 0},
        {"TARGET_PHASE NONE", base + ", TARGET_PHASE=NONE", {}, 23, 4, target, 0},
        {"the target is checked before the mode", base + ", TARGET=NOPE, MODE=NOPE", {}, 23, 4, target, 0},
        {"MODE not a mode", base + ", MODE=SIDEWAYS", {}, 23, 4, mode, 0},
        {"PROJECTION not a mode", base + ", PROJECTION=TANGENT", {}, 23, 4, mode, 0},
        {"the mode is checked before the set", "RADIUS=2.0, TARGET_SET=NOPE, MODE=NOPE", {}, 23, 4, mode, 0},
        {"an unknown set", "RADIUS=2.0, TARGET_SET=NOPE", {}, 23, 4, unknown, 0},
        {"an unknown ELSET", "RADIUS=2.0, ELSET=NOPE", {}, 23, 4, unknown, 0},
        {"a set defined after the card", "RADIUS=2.0, TARGET_SET=LATE", {"*NSET, NSET=LATE", "2"}, 23, 4, unknown, 0},
    };
    // 32 regions fill the table: the 33rd fails with code 5, before its name is compared.
    std::vector<std::string> more;
    for (int k = 2; k <= 32; ++k) more.push_back(head + "NAME=R" + std::to_string(k) + ", RADIUS=1.0, SET=PLATE");
    std::vector<std::string> full = more;
    full.push_back(head + "NAME=R33, RADIUS=1.0, SET=PLATE");
    cases.push_back({"the 33rd region", base, full, 55, 5, "too many Blast region records", 32});
    full.back() = head + "NAME=PUSH, RADIUS=0, SET=PLATE";
    cases.push_back({"the 33rd region, also a duplicate", base, full, 55, 5, "too many Blast region records", 32});
    return cases;
}

TEST_F(BlastDeck, BadCardsGiveLocatedMessages) {
    for (const BadCase& c : bad_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = with_card(c.options, c.appended);
        EXPECT_EQ(sph_input_read(path), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), path + ":" + std::to_string(c.line) + ": " + c.message);
        EXPECT_EQ(sph_blast.blast_region_count, c.stored);
    }
}

TEST_F(BlastDeck, ThirtyTwoRegionsFitAndASecondReadStartsEmpty) {
    std::vector<std::string> more;
    for (int k = 2; k <= 32; ++k) more.push_back(head + "NAME=R" + std::to_string(k) + ", RADIUS=1.0, SET=PLATE");
    const std::string path = with_card("NAME=PUSH, RADIUS=2.0, TARGET_SET=PLATE, ENABLED=NO", more);
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    EXPECT_EQ(sph_blast.blast_region_count, 32);
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(warnings(), 1);
    // The same deck again: a read starts from an empty table, so no name is a duplicate.
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    EXPECT_EQ(sph_blast.blast_region_count, 32);
}

}  // namespace
