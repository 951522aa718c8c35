#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "interface/sph_api.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;
constexpr int base_lines = 31;  // lines of region_base.inp; appended cards start after them

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// File name of the n-th generated deck of a test (built by appending: GCC 12 warns
// falsely on literal + std::string).
std::string deck_name(const char* stem, int n) {
    std::string name = stem;
    name += std::to_string(n);
    name += ".inp";
    return name;
}

const SphCouplingRegionRecord* region_named(const std::string& name) {
    for (const auto& r : sph_database.coupling_regions)
        if (r.coupling_region_name == name) return &r;
    return nullptr;
}

}  // namespace

// Drives the interface's own operations, so it opens and closes the interface.
class CouplingRegionDeck : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        sph_initialize();
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("quorrel_region_deck_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "_" + std::to_string(static_cast<long>(::getpid())));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        sph_finalize();
        std::filesystem::remove_all(dir_);
        QuorrelTest::TearDown();
    }
    // Writes a deck of the given text and returns its path.
    std::string write_deck(const std::string& name, const std::string& text) {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out << text;
        return path;
    }
    std::filesystem::path dir_;
};

TEST_F(CouplingRegionDeck, ModelDeckBuildsEveryKindOfRegion) {
    ASSERT_EQ(sph_read_inp(decks + "/region_model.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_build_model(), 0) << sph_error_message();

    // Particles 0..5 are nodes 101..106; 0-2 steel (section 1), 3-5 wall (section 2, phase 6).
    struct Expect {
        const char* name;
        int type, exp, imp, load, dist, cs, enabled, phase, material, section;
        std::vector<int32_t> particles;
    };
    const Expect cases[] = {
        {"Everything", 1, 1, 1, 1, 1, 0, 1, 0, 0, 0, {0, 1, 2, 3, 4, 5}},
        {"Left", 1, 1, 1, 1, 1, 0, 1, 0, 0, 0, {0, 1, 2}},            // repeated and unknown nodes dropped
        {"Plate", 1, 2, 2, 2, 1, 0, 1, 0, 0, 0, {2, 3, 4, 0, 1}},     // ELSET after blank SET; facet load default
        {"Both", 1, 1, 1, 1, 1, 0, 1, 0, 0, 0, {4, 5}},               // node set before element set
        {"Walls", 1, 1, 1, 1, 1, 0, 1, 6, 0, 0, {3, 4, 5}},
        {"SteelPlate", 1, 1, 1, 1, 1, 0, 1, 0, 1, 0, {2, 0, 1}},
        {"TopSection", 1, 1, 1, 1, 1, 0, 1, 0, 0, 2, {3, 4}},
        {"Bulk", 2, 1, 1, 1, 1, 0, 0, 0, 0, 0, {}},                   // continuum: recorded disabled
        {"Spare", 1, 1, 2, 2, 1, 0, 0, 9, 0, 0, {}},                  // disabled: facet load without facet export
        {"Loads", 1, 3, 3, 4, 2, 1, 1, 0, 0, 0, {3, 4, 5}},
    };
    ASSERT_EQ(sph_database.coupling_regions.size(), std::size(cases));
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Expect& e = cases[k];
        SCOPED_TRACE(e.name);
        const SphCouplingRegionRecord* r = region_named(e.name);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->coupling_region_internal_id, static_cast<int32_t>(k) + 1);
        EXPECT_EQ(r->coupling_region_type, e.type);
        EXPECT_EQ(r->coupling_region_export_mode, e.exp);
        EXPECT_EQ(r->coupling_region_import_mode, e.imp);
        EXPECT_EQ(r->coupling_region_load_mode, e.load);
        EXPECT_EQ(r->coupling_region_distribution_mode, e.dist);
        EXPECT_EQ(r->coupling_region_contact_state_mode, e.cs);
        EXPECT_EQ(r->coupling_region_enabled, e.enabled);
        EXPECT_EQ(r->coupling_region_phase_filter, e.phase);
        EXPECT_EQ(r->coupling_region_material_filter, e.material);
        EXPECT_EQ(r->coupling_region_section_filter, e.section);
        EXPECT_EQ(r->coupling_region_particles, e.particles);
    }
    EXPECT_EQ(sph_database.coupling_region_disabled_count, 2);
    EXPECT_EQ(region_named("Plate")->coupling_region_set_name, "plate");
    EXPECT_EQ(region_named("Loads")->coupling_region_surface_name, "Wet Side");
    EXPECT_EQ(region_named("SteelPlate")->coupling_region_material_name, "steel");
    EXPECT_EQ(region_named("TopSection")->coupling_region_section_name, "top");

    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.zenvik_worker_enabled, 1);  // the card's WORKER defaults to true
    EXPECT_EQ(d.zenvik_region_name, "Left");
    EXPECT_EQ(d.zenvik_export_radius, 0);
    EXPECT_EQ(d.zenvik_export_sound_speed, 1);
    EXPECT_EQ(d.zenvik_accept_contact_state, 1);
    EXPECT_EQ(d.zenvik_accept_boundary_state, 1);
}

TEST_F(CouplingRegionDeck, CardFailuresAreLocated) {
    struct Case {
        const char* cards;  // appended to region_base.inp
        int line;           // line of the failing card
        int code;
        const char* message;
    };
    const Case cases[] = {
        // The reader's own checks, in their order.
        {"*QUORREL, COUPLING REGION, SET=LEFT\n", 1, 4, "Coupling region is missing NAME option"},
        {"*QUORREL, COUPLING REGION, NAME=, SET=LEFT\n", 1, 4, "Coupling region is missing NAME option"},
        {"*QUORREL, COUPLING REGION, NAME=A\n", 1, 4, "Coupling region is missing SET option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=, NSET=, ELSET=\n", 1, 4, "Coupling region is missing SET option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, TYPE=FLUID, EXPORT=SURFACE\n", 1, 4,
         "invalid coupling region TYPE option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, EXPORT=SURFACE, PHASE=liquid\n", 1, 4,
         "invalid coupling region EXPORT option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, IMPORT=PRESSURE\n", 1, 4,
         "invalid coupling region IMPORT option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, LOAD_MODE=FORCE\n", 1, 4,
         "invalid coupling region LOAD_MODE option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, DISTRIBUTION=VOLUME\n", 1, 4,
         "invalid coupling region DISTRIBUTION option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, CONTACT_STATE=TRUE\n", 1, 4,
         "invalid coupling region CONTACT_STATE option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, ENABLED=maybe, PHASE=liquid\n", 1, 4,
         "invalid coupling region ENABLED option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, PHASE=liquid\n", 1, 4, "invalid coupling region PHASE option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, TYPE=CONTINUUM, PHASE=liquid\n", 1, 4,
         "invalid coupling region PHASE option"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, TYPE=CONTINUUM, ENABLED=NO\n", 1, 4,
         "TYPE=CONTINUUM is reserved for a later version"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, TYPE=CONTINUUM, SURFACE=\n", 1, 4,
         "TYPE=CONTINUUM is reserved for a later version"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, TYPE=CONTINUUM, IMPORT=FACET_LOAD\n", 1, 4,
         "TYPE=CONTINUUM is reserved for a later version"},
        // The reader refuses a facet load without facet export before the database sees it.
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, IMPORT=FACET_LOAD\n", 1, 4,
         "facet coupling load requires facet export"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, LOAD_MODE=pressure, EXPORT=PARTICLE\n", 1, 4,
         "facet coupling load requires facet export"},
        // Database checks keep their code and gain the location.
        {"*QUORREL, COUPLING REGION, NAME=Twin, SET=LEFT\n*QUORREL, COUPLING REGION, NAME=TWIN, SET=TOP\n", 2, 5,
         "duplicate coupling region name"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=NOWHERE\n", 1, 5, "coupling region references unknown set"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, MATERIAL=COPPER\n", 1, 5,
         "coupling region references unknown material"},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=LEFT, SECTION=NONE\n", 1, 5,
         "coupling region references unknown section"},
        // Host options.
        {"*QUORREL, ZENVIK, WORKER=maybe\n", 1, 4, "invalid Zenvik WORKER option"},
        {"*QUORREL, ZENVIK, EXPORT_RADIUS=2\n", 1, 4, "invalid Zenvik EXPORT_RADIUS option"},
        {"*QUORREL, ZENVIK, EXPORT_SOUND_SPEED=T\n", 1, 4, "invalid Zenvik EXPORT_SOUND_SPEED option"},
        {"*QUORREL, ZENVIK, ACCEPT_CONTACT_STATE=none\n", 1, 4, "invalid Zenvik ACCEPT_CONTACT_STATE option"},
        {"*QUORREL, ZENVIK, ACCEPT_BOUNDARY_STATE=-1\n", 1, 4, "invalid Zenvik ACCEPT_BOUNDARY_STATE option"},
    };
    const std::string base = read_file(decks + "/region_base.inp");
    ASSERT_FALSE(base.empty());
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cards);
        sph_initialize();
        const std::string path = write_deck(deck_name("case", ++n), base + c.cards);
        EXPECT_EQ(sph_read_inp(path), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), path + ":" + std::to_string(base_lines + c.line) + ": " + c.message);
    }
}

TEST_F(CouplingRegionDeck, CardDefaultsAndHostOptions) {
    struct Case {
        const char* card;
        int load;  // expected load mode
        int exp;
        int enabled;
    };
    const Case cases[] = {
        {"*QUORREL, COUPLING REGION, NAME=A, SET=TOP, IMPORT=FACET_LOAD, EXPORT=FACET", 2, 2, 1},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=TOP, IMPORT=FACET_LOAD, EXPORT=both", 2, 3, 1},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=TOP, IMPORT=FACET_LOAD, LOAD_MODE=particle_force", 1, 1, 1},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=TOP, IMPORT=MOTION", 1, 1, 1},
        {"*QUORREL, COUPLING REGION, NAME=A, SET=TOP, LOAD_MODE=TRACTION, ENABLED=off", 4, 1, 0},
    };
    const std::string base = read_file(decks + "/region_base.inp");
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        sph_initialize();
        const std::string path = write_deck(deck_name("defaults", ++n), base + c.card + "\n");
        ASSERT_EQ(sph_read_inp(path), 0) << sph_error_message();
        ASSERT_EQ(sph_database.coupling_regions.size(), 1u);
        const SphCouplingRegionRecord& r = sph_database.coupling_regions[0];
        EXPECT_EQ(r.coupling_region_load_mode, c.load);
        EXPECT_EQ(r.coupling_region_export_mode, c.exp);
        EXPECT_EQ(r.coupling_region_enabled, c.enabled);
        EXPECT_EQ(r.coupling_region_distribution_mode, 1);
        EXPECT_EQ(r.coupling_region_contact_state_mode, 0);
    }

    // A host-options card with only REGION keeps the card's flag defaults and the text's case.
    sph_initialize();
    const std::string path = write_deck("zenvik.inp", base + "*QUORREL, ZENVIK, REGION=Hull Plate\n");
    ASSERT_EQ(sph_read_inp(path), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.zenvik_worker_enabled, 1);
    EXPECT_EQ(d.zenvik_region_name, "Hull Plate");
    EXPECT_EQ(d.zenvik_export_radius, 1);
    EXPECT_EQ(d.zenvik_export_sound_speed, 1);
    EXPECT_EQ(d.zenvik_accept_contact_state, 1);
    EXPECT_EQ(d.zenvik_accept_boundary_state, 0);
}

TEST_F(CouplingRegionDeck, BuildFailuresAreUnlocated) {
    struct Case {
        const char* what;
        std::string deck;
        const char* message;  // nullptr: builds
    };
    const std::string base = read_file(decks + "/region_base.inp");
    // A deck of `count` nodes all covered by one region over ALL.
    auto many = [](int count) {
        std::string text = "*NODE\n";
        for (int i = 1; i <= count; ++i) text += std::to_string(i) + ", " + std::to_string(i) + ".0, 0.0, 0.0\n";
        text += "*NSET, NSET=ONE\n1\n*MATERIAL, NAME=STEEL, TYPE=STEEL\n*DENSITY\n7800.0\n"
                "*SECTION, NSET=ONE, MATERIAL=STEEL\n*QUORREL, TIME CONTROL, DT=0.001, TIME=0.01, STEPS=10\n"
                "*QUORREL, COUPLING REGION, NAME=Everything, SET=ALL\n";
        return text;
    };
    const Case cases[] = {
        {"phase filter selects nothing", base + "*QUORREL, COUPLING REGION, NAME=Shells, SET=LEFT, PHASE=SHELL\n",
         "active coupling region selected no particles"},
        {"material filter outside the set",
         base + "*QUORREL, COUPLING REGION, NAME=A, SET=TOP, MATERIAL=STEEL\n",
         "active coupling region selected no particles"},
        {"the same region disabled", base + "*QUORREL, COUPLING REGION, NAME=Shells, SET=LEFT, PHASE=SHELL, "
                                            "ENABLED=FALSE\n",
         nullptr},
        {"512 particles", many(512), nullptr},
        {"513 particles", many(513), "too many particles in coupling region"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_initialize();
        const std::string path = write_deck(deck_name("build", ++n), c.deck);
        ASSERT_EQ(sph_read_inp(path), 0) << sph_error_message();
        const int st = sph_build_model();
        if (c.message == nullptr) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            EXPECT_EQ(st, 5);
            EXPECT_EQ(sph_error_message(), c.message);
            EXPECT_TRUE(sph_database.coupling_regions.back().coupling_region_particles.empty());
        }
    }
}
