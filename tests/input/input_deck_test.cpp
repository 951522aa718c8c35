#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

using test::read_lines;

class InputDeck : public test::DeckTest {
protected:
    // The base water deck with physical line `number` (from 1) replaced.
    std::string edited_base(int number, const std::string& text) { return edited("input_water.inp", {{number, text}}); }
};

TEST_F(InputDeck, WaterDeckReadsBuildsAndFallsFreely) {
    ASSERT_EQ(sph_input_read(decks + "/input_water.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 2);
    ASSERT_EQ(d.materials.size(), 1u);
    EXPECT_EQ(d.materials[0].material_name, "WATER");
    EXPECT_EQ(d.materials[0].material_density, 1000.0);
    ASSERT_EQ(d.elements.size(), 1u);
    EXPECT_EQ(d.elements[0].element_type, "C3D8");
    EXPECT_EQ(d.elements[0].element_conn, (std::vector<int32_t>{1, 2}));
    ASSERT_EQ(d.elsets.size(), 1u);
    EXPECT_EQ(d.elsets[0].name, "EALL");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(d.particle_id_ext[i], i + 1);
        EXPECT_EQ(d.particle_phase[i], sph_phase_water);
        EXPECT_EQ(d.material_id[i], 1);
        EXPECT_EQ(d.section_id[i], 1);
        EXPECT_EQ(d.mass[i], 2.0);
        EXPECT_EQ(d.h[i], 0.1);
    }
    EXPECT_EQ(sph_control.dt_default, 0.0009765625);
    EXPECT_EQ(sph_control.end_time, 0.00390625);
    EXPECT_EQ(sph_control.max_steps, 100);
    EXPECT_EQ(sph_control.safety_factor, 1.0);
    int32_t warnings = -1;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 0);

    // Four steps of 2^-10 under g = 8 and no neighbours: z = -g t^2 / 2 = -2^-14, vz = -g t = -2^-5.
    ASSERT_EQ(sph_solver_run_explicit(), 0) << sph_error_message();
    EXPECT_EQ(sph_control.current_step, 4);
    EXPECT_EQ(sph_control.current_time, 0.00390625);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(d.x[3 * i + 0], i == 0 ? 0.0 : 1.0);
        EXPECT_EQ(d.x[3 * i + 1], 0.0);
        EXPECT_EQ(d.x[3 * i + 2], -6.103515625e-05);
        EXPECT_EQ(d.v[3 * i + 2], -0.03125);
    }
}

TEST_F(InputDeck, MixedDeckKeepsDeckOrderSetsOverLinesAndCountsWarnings) {
    ASSERT_EQ(sph_input_read(decks + "/input_mixed.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 5);
    const int32_t ids[] = {10, 11, 12, 20, 21};
    const int32_t phases[] = {1, 1, 1, 4, 4};
    const int32_t materials[] = {1, 1, 1, 2, 2};
    const int32_t sections[] = {2, 2, 2, 1, 1};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d.particle_id_ext[i], ids[i]);
        EXPECT_EQ(d.particle_phase[i], phases[i]);
        EXPECT_EQ(d.material_id[i], materials[i]);
        EXPECT_EQ(d.section_id[i], sections[i]);
    }
    EXPECT_EQ(d.x[3 * 4 + 0], 1.0);
    EXPECT_EQ(d.x[3 * 4 + 1], 5.0);
    EXPECT_EQ(d.x[3 * 4 + 2], 0.25);
    ASSERT_EQ(d.nsets.size(), 2u);
    EXPECT_EQ(d.nsets[0].members, (std::vector<int32_t>{10, 11, 12}));
    ASSERT_EQ(d.sections.size(), 2u);
    EXPECT_EQ(d.sections[0].section_type, "SOLID");
    EXPECT_EQ(d.sections[1].section_type, "SECTION");
    EXPECT_EQ(d.materials[1].material_density, 7850.0);
    EXPECT_EQ(sph_control.dt_default, 1.0e-4);
    EXPECT_EQ(sph_control.end_time, 1.0e-3);
    EXPECT_EQ(sph_control.max_steps, 10);
    EXPECT_EQ(sph_control.safety_factor, 0.5);
    int32_t warnings = 0;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 1);  // *HEADING; its data line adds nothing
}

struct EditCase {
    int line;
    std::string text;
    bool at_build;  // the read succeeds and the build fails
    int code;
    bool located;
    std::string message;
};

TEST_F(InputDeck, SingleLineEditsGiveLocatedMessages) {
    const std::string long_line = "1, 0.0, 0.0, 0.0" + [] {
        std::string s;
        while (s.size() < 1020) s += ", 9";
        return s;
    }();
    const std::vector<EditCase> cases = {
        {3, "1, 0.0, 0.0", false, 4, true, "invalid *NODE record"},
        {3, "a, 0.0, 0.0, 0.0", false, 4, true, "invalid node id"},
        {3, "1.5, 0.0, 0.0, 0.0", false, 4, true, "invalid node id"},
        {3, "1, 0.0x, 0.0, 0.0", false, 4, true, "invalid node x coordinate"},
        {3, "1, 0.0, , 0.0", false, 4, true, "invalid node y coordinate"},
        {4, "2, 1.0, 0.0, NaN", false, 4, true, "invalid node z coordinate"},
        {4, "2, 1.0, 0.0, -Infinity", false, 4, true, "invalid node z coordinate"},
        {3, long_line, false, 4, true, "input line is too long"},
        {6, "1", false, 4, true, "invalid *ELEMENT record"},
        {6, "x, 1, 2", false, 4, true, "invalid element id"},
        {6, "1, 1, 2,", false, 4, true, "invalid element connectivity"},
        {8, "1, two", false, 4, true, "invalid set member id"},
        {8, "1, 2,", false, 4, true, "invalid set member id"},
        {11, "*MATERIAL, NAME=" + std::string(300, 'W') + ", TYPE=WATER", false, 4, true, "input field is too long"},
        {13, "heavy", false, 4, true, "invalid density value"},
        // Setter failures on data lines keep the setter's own message, unlocated.
        {13, "-1000.0", false, 1, false, "material density must be positive"},
        {14, "*FLUID SECTION, NSET=FLUID, MATERIAL=STEEL", false, 5, true, "section references unknown material"},
        {14, "*FLUID SECTION, NSET=NOPE, MATERIAL=WATER", false, 5, true, "section references unknown set"},
        {14, "*FLUID SECTION, NSET=FLUID, MATERIAL=WATER, THICKNESS=thin", false, 4, true,
         "invalid section THICKNESS"},
        {14, "*FLUID SECTION, NSET=FLUID, MATERIAL=WATER, POINTS=3.5", false, 4, true, "invalid section POINTS"},
        {14, "*SOLID SECTION, NSET=FLUID", false, 4, true, "Solid section is missing MATERIAL option"},
        {14, "*SOLID SECTION, NSET=FLUID, MATERIAL=WATER", false, 4, true,
         "Solid section references non-Solid material"},
        {14, "*SHELL SECTION, NSET=FLUID, MATERIAL=WATER, THICKNESS=0.1", false, 4, true,
         "Shell section references non-Shell material"},
        {14, "** no section", true, 4, false, "input is missing *SECTION data"},
        {11, "** no material", false, 5, false, "density references unknown material"},
        {15, "*QUORREL, TIME CONTROL, DT=0.001, TIME=0.004", false, 4, true,
         "missing required QUORREL TIME CONTROL option"},
        {15, "*QUORREL, TIME CONTROL, DT=0.001, TIME=0.004, STEPS=1.5", false, 4, true,
         "invalid QUORREL TIME CONTROL STEPS"},
        {15, "*QUORREL, TIME CONTROL, DT=, TIME=0.004, STEPS=4", false, 4, true, "invalid QUORREL TIME CONTROL DT"},
        {15, "*QUORREL, TIME CONTROL, DT=0, TIME=0.004, STEPS=4", false, 1, true, "time control DT must be positive"},
        {15, "** no time control", true, 4, false, "input is missing *QUORREL time control data"},
        {16, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, GAMMA=7.0", false, 4, true,
         "missing required option C0"},
        {16, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=fast, GAMMA=7.0", false, 4, true,
         "invalid numeric option C0"},
        {16, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=10.0, GAMMA=7.0, B=abc", false, 4, true,
         "invalid QUORREL EOS B"},
        {17, "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0", false, 4, true,
         "missing required option ETA2"},
        {18, "*QUORREL, PARTICLE CONTROL, H=0.1, MASS=2.0", false, 4, true, "missing required option VOLUME"},
        {19, "*QUORREL, BODY FORCE, X=0.0, Y=0.0, Z=down", false, 4, true, "invalid numeric option Z"},
        {1, "*ORIENTATION", false, 4, true, "Orientation is missing NAME option"},
        {2, "** no nodes", true, 4, false, "input is missing *NODE particle data"},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line) + ": " + c.text.substr(0, 80));
        SetUp();
        const std::string path = edited_base(c.line, c.text);
        int st = sph_input_read(path);
        if (c.at_build) {
            ASSERT_EQ(st, 0) << sph_error_message();
            st = sph_input_build_model();
        }
        EXPECT_EQ(st, c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        const std::string expected =
            c.located ? path + ":" + std::to_string(c.line) + ": " + c.message : c.message;
        EXPECT_EQ(sph_error_message(), expected);
    }
}

TEST_F(InputDeck, NamesLongerThanARecordAreRefusedAtTheirLine) {
    const std::string n64 = "Water_" + std::string(58, 'w');
    ASSERT_EQ(n64.size(), 64u);
    const std::string n70 = n64 + "_solid";
    struct NameCase {
        std::string what;
        std::vector<std::pair<int, std::string>> edits;  // physical line (from 1), new text
        int line;                                        // 0: the deck reads and builds
        std::string message;
    };
    const std::vector<NameCase> cases = {
        {"a 64-character name is whole",
         {{11, "*MATERIAL, NAME=" + n64 + ", TYPE=WATER"},
          {14, "*FLUID SECTION, NSET=FLUID, MATERIAL=" + n64},
          {16, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=" + n64 + ", RHO0=1000.0, C0=10.0, GAMMA=7.0"},
          {17, "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=" + n64 + ", ALPHA=0.1, BETA=0.0, ETA2=0.01"}},
         0, ""},
        {"a second material differing from the first only after character 64",
         {{1, "*MATERIAL, NAME=" + n64 + ", TYPE=SOLID"},
          {11, "*MATERIAL, NAME=" + n64 + "B, TYPE=WATER"},
          {14, "*FLUID SECTION, NSET=FLUID, MATERIAL=" + n64 + "B"}},
         11, "name is too long"},
        {"two 65-character materials differing in their last character",
         {{1, "*MATERIAL, NAME=" + n64 + "A, TYPE=SOLID"}, {11, "*MATERIAL, NAME=" + n64 + "B, TYPE=WATER"}},
         1, "name is too long"},
        {"a 70-character water material",
         {{11, "*MATERIAL, NAME=" + n70 + ", TYPE=WATER"}, {14, "*SOLID SECTION, NSET=FLUID, MATERIAL=" + n70}},
         11, "name is too long"},
        {"a solid section naming a 64-character water material with 70 characters",
         {{11, "*MATERIAL, NAME=" + n64 + ", TYPE=WATER"}, {14, "*SOLID SECTION, NSET=FLUID, MATERIAL=" + n70}},
         14, "name is too long"},
        {"a solid section naming that water material with its 64 characters",
         {{11, "*MATERIAL, NAME=" + n64 + ", TYPE=WATER"}, {14, "*SOLID SECTION, NSET=FLUID, MATERIAL=" + n64}},
         14, "Solid section references non-Solid material"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<std::string> lines = read_lines(decks + "/input_water.inp");
        for (const auto& [number, text] : c.edits) lines.at(static_cast<std::size_t>(number - 1)) = text;
        const std::string path = write_deck(lines);
        const int st = sph_input_read(path);
        if (c.line == 0) {
            ASSERT_EQ(st, 0) << sph_error_message();
            ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
            ASSERT_EQ(sph_database.materials.size(), 1u);
            EXPECT_EQ(sph_database.materials[0].material_name, n64);
            EXPECT_EQ(sph_database.materials[0].material_density, 1000.0);
            EXPECT_EQ(sph_database.particle_phase[0], sph_phase_water);
            continue;
        }
        EXPECT_EQ(st, sph_error_input);
        EXPECT_EQ(sph_error_code(), sph_error_input);
        EXPECT_EQ(sph_error_message(), path + ":" + std::to_string(c.line) + ": " + c.message);
    }
}

TEST_F(InputDeck, TaitCardWhoseStiffnessOverflowsIsRefusedAtItsLine) {
    // RHO0 = 8.9e307 is a usable number, but rho0 c0^2 / gamma is not: without this check
    // the deck built and ran to "status: ok" with every water pressure NaN.
    const std::string path = edited_base(16, "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=8.9e307, C0=10.0, GAMMA=7.0");
    EXPECT_EQ(sph_input_read(path), sph_error_argument);
    EXPECT_EQ(sph_error_code(), sph_error_argument);
    EXPECT_EQ(sph_error_message(), path + ":16: Water Tait EOS stiffness is not finite");
}

TEST_F(InputDeck, UnknownKeywordsAndCardsAreCountedNotFatal) {
    struct WarnCase {
        int line;
        std::string text;
        int32_t warnings;
    };
    const std::vector<WarnCase> cases = {
        {1, "*HEADING", 1},
        {1, "*QUORREL, FLUX CAPACITOR, LEVEL=3", 1},
        {1, "  ** indented comment is a keyword line", 1},
        {1, "*NODE OUTPUT", 0},  // still a node block; the next *NODE line continues it
        {1, "data before any keyword", 0},
    };
    for (const WarnCase& c : cases) {
        SCOPED_TRACE(c.text);
        SetUp();
        ASSERT_EQ(sph_input_read(edited_base(c.line, c.text)), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        int32_t warnings = -1;
        sph_input_get_warning_count(warnings);
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(sph_database.npart, 2);
    }
}

TEST_F(InputDeck, UnknownKeywordEndsTheBlockAboveIt) {
    // *NODE, 1 line, *HEADING, then a node line that no block takes: one particle.
    std::vector<std::string> lines = read_lines(decks + "/input_water.inp");
    lines.insert(lines.begin() + 3, "*HEADING");
    const std::string path = write_deck(lines);
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    EXPECT_EQ(sph_database.npart, 1);
    int32_t warnings = 0;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 1);
}

TEST_F(InputDeck, WindowsLineEndsReadTheSame) {
    const std::string path = write_deck(read_lines(decks + "/input_water.inp"), "\r\n");
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.npart, 2);
    EXPECT_EQ(sph_control.max_steps, 100);
    EXPECT_EQ(sph_database.materials.at(0).material_name, "WATER");
    // A located message counts CR LF lines like LF lines.
    std::vector<std::string> lines = read_lines(decks + "/input_water.inp");
    lines[12] = "heavy";
    const std::string bad = write_deck(lines, "\r\n", "bad.inp");
    EXPECT_EQ(sph_input_read(bad), 4);
    EXPECT_EQ(sph_error_message(), bad + ":13: invalid density value");
}

TEST_F(InputDeck, EndlessLineIsRefusedAsSoonAsItIsTooLong) {
    // A sparse file of 1 TiB is one line of NUL bytes that takes no room on disk, so a
    // reader that reads on to the end of a line already known to be too long does not
    // return in time. An alarm in a child process turns such a hang into a failure.
    const std::string endless = (dir_ / "endless.inp").string();
    {
        std::ofstream create(endless, std::ios::binary);
    }
    ASSERT_EQ(::truncate(endless.c_str(), off_t{1} << 40), 0);
    ASSERT_EXIT(
        {
            alarm(10);
            std::_Exit(sph_input_read(endless) == sph_error_input ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(sph_input_read(endless), sph_error_input);
    EXPECT_EQ(sph_error_code(), sph_error_input);
    EXPECT_EQ(sph_error_message(), endless + ":1: input line is too long");
}

// The deck is read in two passes, so only a regular file can be a deck. A FIFO (with or
// without a writer), a pipe such as a shell's <(cat deck) and a device fail at once, in
// either pass, with code 3; none of them waits or is read half.
TEST_F(InputDeck, OnlyARegularFileIsADeck) {
    std::ifstream source(decks + "/input_water.inp", std::ios::binary);
    const std::string deck_text((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    enum Kind { fifo, fifo_with_writer, pipe_holding_the_deck, zero_device, null_device };
    const struct {
        Kind kind;
        const char* what;
    } kinds[] = {{fifo, "a FIFO without a writer"},
                 {fifo_with_writer, "a FIFO whose writer sent the deck and stays"},
                 {pipe_holding_the_deck, "a pipe holding the deck, as <(cat deck) gives"},
                 {zero_device, "/dev/zero"},
                 {null_device, "/dev/null"}};
    // The thing to read, made afresh for every read: a pipe is emptied by reading it.
    std::vector<int> open_ends;
    const auto plant = [&](Kind kind) -> std::string {
        const std::string fifo_path = (dir_ / "deck.fifo").string();
        switch (kind) {
            case fifo:
            case fifo_with_writer: {
                std::filesystem::remove(fifo_path);
                EXPECT_EQ(::mkfifo(fifo_path.c_str(), 0600), 0);
                if (kind == fifo) return fifo_path;
                const int writer = ::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
                EXPECT_GE(writer, 0);
                EXPECT_EQ(::write(writer, deck_text.data(), deck_text.size()),
                          static_cast<ssize_t>(deck_text.size()));
                open_ends.push_back(writer);
                return fifo_path;
            }
            case pipe_holding_the_deck: {
                int ends[2];
                EXPECT_EQ(::pipe(ends), 0);
                EXPECT_EQ(::write(ends[1], deck_text.data(), deck_text.size()),
                          static_cast<ssize_t>(deck_text.size()));
                ::close(ends[1]);
                open_ends.push_back(ends[0]);
                return "/dev/fd/" + std::to_string(ends[0]);
            }
            case zero_device: return "/dev/zero";
            case null_device: return "/dev/null";
        }
        return "";
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.what);
        // A child first, under an alarm: a read that waits fails here instead of hanging.
        const std::string first = plant(k.kind);
        ASSERT_EXIT(
            {
                alarm(10);
                std::_Exit(sph_input_read(first) == sph_error_io ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        const std::string path = plant(k.kind);
        sph_error_clear();
        EXPECT_EQ(sph_input_read(path), sph_error_io);
        EXPECT_EQ(sph_error_message(), "input file is not a regular file");

        // The fill pass alone, as if the deck had been swapped after the scan.
        const std::string second = plant(k.kind);
        ASSERT_EXIT(
            {
                alarm(10);
                std::_Exit(sph_db_allocate(2) == 0 && sph_input_fill_model(second, 2) == sph_error_io ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        ASSERT_EQ(sph_db_allocate(2), 0);
        sph_error_clear();
        EXPECT_EQ(sph_input_fill_model(plant(k.kind), 2), sph_error_io);
        EXPECT_EQ(sph_error_message(), "input file is not a regular file");
        EXPECT_TRUE(sph_database.materials.empty());
        for (const int fd : open_ends) ::close(fd);
        open_ends.clear();
    }
}

TEST_F(InputDeck, LastLineWithoutLineEnd) {
    // A file that is one long line without a line end.
    const std::string lone = (dir_ / "lone.inp").string();
    std::ofstream(lone, std::ios::binary) << std::string(5000, 'x');
    EXPECT_EQ(sph_input_read(lone), sph_error_input);
    EXPECT_EQ(sph_error_message(), lone + ":1: input line is too long");

    // The base deck with its last line (the body force, line 19) left without a line end.
    std::vector<std::string> lines = read_lines(decks + "/input_water.inp");
    const std::string body_force = lines.back();
    lines.pop_back();
    struct TailCase {
        std::string what;
        std::string last_line;
        bool too_long;
    };
    const std::string pad(1024 - body_force.size(), ' ');
    const std::vector<TailCase> cases = {
        {"as written", body_force, false},
        {"blanks up to 1024 characters and far beyond", body_force + pad + std::string(3000, ' '), false},
        {"a carriage return after the blanks", body_force + pad + "   \r", false},
        {"a character after 1024 characters", body_force + pad + "0", true},
        {"a character after blanks beyond 1024 characters", body_force + pad + std::string(500, ' ') + "!", true},
    };
    for (const TailCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string path = (dir_ / "tail.inp").string();
        {
            std::ofstream out(path, std::ios::binary);
            for (const std::string& l : lines) out << l << "\n";
            out << c.last_line;
        }
        if (c.too_long) {
            EXPECT_EQ(sph_input_read(path), sph_error_input);
            EXPECT_EQ(sph_error_message(), path + ":19: input line is too long");
            continue;
        }
        ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        EXPECT_EQ(sph_water.water_body_force, (std::array<double, 3>{0.0, 0.0, -8.0}));
    }
}

TEST_F(InputDeck, FilesThatCannotBeReadAreIoErrors) {
    EXPECT_EQ(sph_input_read((dir_ / "missing.inp").string()), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open input file");
    EXPECT_EQ(sph_input_read(dir_.string()), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open input file");
    EXPECT_EQ(sph_input_read(""), sph_error_io);
}

TEST_F(InputDeck, NodeBlockWithoutDataReadsButDoesNotBuild) {
    const std::string path = write_deck({"*NODE", "** nothing", "*MATERIAL, NAME=W, TYPE=WATER"});
    ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
    EXPECT_EQ(sph_database.npart, 0);
    // The fill pass is skipped, so not even the material is recorded.
    EXPECT_TRUE(sph_database.materials.empty());
    EXPECT_EQ(sph_input_build_model(), 4);
    EXPECT_EQ(sph_error_message(), "input is missing *NODE particle data");
}

TEST_F(InputDeck, SecondReadStartsFromDefaultWaterSettings) {
    ASSERT_EQ(sph_input_read(decks + "/input_water.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    // Same deck again: reads and builds as the first time.
    ASSERT_EQ(sph_input_read(decks + "/input_water.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.npart, 2);
    // Without its EOS card the second deck must not reuse the first deck's EOS.
    ASSERT_EQ(sph_input_read(edited_base(16, "** no EOS")), 0) << sph_error_message();
    EXPECT_FALSE(sph_water.water_eos_defined);
    EXPECT_TRUE(sph_water.water_module_initialized);
    EXPECT_NE(sph_input_build_model(), 0);
}

}  // namespace

namespace {

TEST_F(InputDeck, FillPassMustFindTheScannedNumberOfNodes) {
    // As if the deck lost a node line between the two passes.
    ASSERT_EQ(sph_db_allocate(3), 0);
    EXPECT_EQ(sph_input_fill_model(decks + "/input_water.inp", 3), sph_error_input);
    EXPECT_EQ(sph_error_message(), "input *NODE record count changed between reading passes");
    // A deck whose particles cannot be found twice is no deck to open.
    EXPECT_EQ(sph_input_fill_model((dir_ / "gone.inp").string(), 3), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to reopen input file");
}

}  // namespace
