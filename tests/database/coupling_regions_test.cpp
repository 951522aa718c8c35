#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

// Arguments of one region add; the defaults make a valid enabled contact region.
struct RegionArgs {
    std::string name = "R";
    std::string set = "LEFT";
    int32_t type = 1, exp = 1, imp = 1, load = 1, dist = 1, cs = 0;
    bool enabled = true;
    std::string surface;
    int32_t phase = 0;
    std::string material;
    std::string section;
};

int add_region(const RegionArgs& a) {
    return sph_db_add_coupling_region(a.name, a.set, a.type, a.exp, a.imp, a.load, a.dist, a.cs, a.enabled,
                                      a.surface, a.phase, a.material, a.section);
}

std::vector<int32_t> list_of(int region) {
    return sph_database.coupling_regions[static_cast<std::size_t>(region)].coupling_region_particles;
}

}  // namespace

// Six particles, node numbers 101..106 (indices 0..5).
//   node set LEFT  = 101 102 102 999 103   -> particles 0 1 2 (repeat and unknown node dropped)
//   node set TOP   = 104 105 106            -> particles 3 4 5
//   node set BOTH  = 105 106, element set BOTH = element 11
//   element 11 = 101 102 103 104, element 12 = 103 104 105 999
//   element set PLATE = 12 77 11            -> particles 2 3 4 0 1 (element 77 unknown)
// Sections: LEFT -> STEEL (solid, section 1), TOP -> SEA (water type, section 2).
class CouplingRegions : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        ASSERT_EQ(sph_db_allocate(6), 0);
        const double xyz[3] = {0.0, 0.0, 0.0};
        for (int i = 0; i < 6; ++i) ASSERT_EQ(sph_db_set_node(i, 101 + i, xyz), 0);
        ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
        ASSERT_EQ(sph_db_add_material("SEA", "water"), 0);
        const int32_t left[] = {101, 102, 102, 999, 103};
        const int32_t top[] = {104, 105, 106};
        const int32_t both_nodes[] = {105, 106};
        const int32_t both_elems[] = {11};
        const int32_t plate[] = {12, 77, 11};
        ASSERT_EQ(sph_db_add_nset("LEFT", 5, left), 0);
        ASSERT_EQ(sph_db_add_nset("TOP", 3, top), 0);
        ASSERT_EQ(sph_db_add_nset("BOTH", 2, both_nodes), 0);
        const int32_t e11[] = {101, 102, 103, 104};
        const int32_t e12[] = {103, 104, 105, 999};
        ASSERT_EQ(sph_db_add_element(11, "C3D4", 4, e11), 0);
        ASSERT_EQ(sph_db_add_element(12, "C3D4", 4, e12), 0);
        ASSERT_EQ(sph_db_add_elset("BOTH", 1, both_elems), 0);
        ASSERT_EQ(sph_db_add_elset("PLATE", 3, plate), 0);
        ASSERT_EQ(sph_db_add_section("LEFT", "solid", "STEEL", 0.0, 0, 0.0, ""), 0);
        ASSERT_EQ(sph_db_add_section("TOP", "solid", "SEA", 0.0, 0, 0.0, ""), 0);
        ASSERT_EQ(sph_db_apply_sections_to_particles(), 0);
    }
};

TEST_F(CouplingRegions, AddChecksInOrder) {
    struct Case {
        const char* what;
        RegionArgs args;
        const char* message;  // nullptr: accepted
    };
    auto with = [](auto change) {
        RegionArgs a;
        change(a);
        return a;
    };
    const Case cases[] = {
        {"blank name", with([](RegionArgs& a) { a.name = "   "; }), "coupling region name is empty"},
        {"blank name before blank set", with([](RegionArgs& a) { a.name = ""; a.set = ""; }),
         "coupling region name is empty"},
        {"duplicate, other case and trailing blanks", with([](RegionArgs& a) { a.name = "first  "; }),
         "duplicate coupling region name"},
        {"duplicate before bad type", with([](RegionArgs& a) { a.name = "FIRST"; a.type = 9; }),
         "duplicate coupling region name"},
        {"leading blank makes a new name", with([](RegionArgs& a) { a.name = " FIRST"; }), nullptr},
        {"blank set", with([](RegionArgs& a) { a.set = "  "; }), "coupling region set is missing"},
        {"unknown set", with([](RegionArgs& a) { a.set = "NOPE"; }), "coupling region references unknown set"},
        {"unknown set before bad type", with([](RegionArgs& a) { a.set = "NOPE"; a.type = 0; }),
         "coupling region references unknown set"},
        {"ALL in any case", with([](RegionArgs& a) { a.set = "aLl "; }), nullptr},
        {"ALL with a leading blank is no ALL", with([](RegionArgs& a) { a.set = " ALL"; }),
         "coupling region references unknown set"},
        {"element set name", with([](RegionArgs& a) { a.set = "plate"; }), nullptr},
        {"type 0", with([](RegionArgs& a) { a.type = 0; }), "invalid coupling region type"},
        {"type 3 before export", with([](RegionArgs& a) { a.type = 3; a.exp = 0; }), "invalid coupling region type"},
        {"continuum type", with([](RegionArgs& a) { a.type = 2; }), nullptr},
        {"export 0", with([](RegionArgs& a) { a.exp = 0; }), "invalid coupling export mode"},
        {"export 4 before import", with([](RegionArgs& a) { a.exp = 4; a.imp = 0; }), "invalid coupling export mode"},
        {"import 0", with([](RegionArgs& a) { a.imp = 0; }), "invalid coupling import mode"},
        {"import 4", with([](RegionArgs& a) { a.imp = 4; }), "invalid coupling import mode"},
        {"load 0", with([](RegionArgs& a) { a.load = 0; }), "invalid coupling load mode"},
        {"load 5", with([](RegionArgs& a) { a.load = 5; }), "invalid coupling load mode"},
        {"distribution 0", with([](RegionArgs& a) { a.dist = 0; }), "invalid coupling distribution mode"},
        {"distribution 4", with([](RegionArgs& a) { a.dist = 4; }), "invalid coupling distribution mode"},
        {"contact state -1", with([](RegionArgs& a) { a.cs = -1; }), "invalid coupling contact state mode"},
        {"contact state 2", with([](RegionArgs& a) { a.cs = 2; }), "invalid coupling contact state mode"},
        {"facet force, particle export", with([](RegionArgs& a) { a.load = 2; }),
         "facet coupling load requires facet export"},
        {"pressure, particle export", with([](RegionArgs& a) { a.load = 3; }),
         "facet coupling load requires facet export"},
        {"traction, particle export", with([](RegionArgs& a) { a.load = 4; }),
         "facet coupling load requires facet export"},
        {"facet load check before phase", with([](RegionArgs& a) { a.load = 2; a.phase = 10; }),
         "facet coupling load requires facet export"},
        {"facet force, particle export, disabled", with([](RegionArgs& a) { a.load = 2; a.enabled = false; }),
         nullptr},
        {"facet force, facet export", with([](RegionArgs& a) { a.load = 2; a.exp = 2; }), nullptr},
        {"traction, both exports", with([](RegionArgs& a) { a.load = 4; a.exp = 3; }), nullptr},
        {"phase -1", with([](RegionArgs& a) { a.phase = -1; }), "invalid coupling phase filter"},
        {"phase 10 before material", with([](RegionArgs& a) { a.phase = 10; a.material = "NOPE"; }),
         "invalid coupling phase filter"},
        {"phase 9", with([](RegionArgs& a) { a.phase = 9; }), nullptr},
        {"unknown material", with([](RegionArgs& a) { a.material = "NOPE"; }),
         "coupling region references unknown material"},
        {"unknown material before section", with([](RegionArgs& a) { a.material = "NOPE"; a.section = "NOPE"; }),
         "coupling region references unknown material"},
        {"unknown section", with([](RegionArgs& a) { a.section = "NOPE"; }),
         "coupling region references unknown section"},
        {"known filters, any case", with([](RegionArgs& a) { a.material = "sea"; a.section = "Top"; }), nullptr},
        {"blank filters", with([](RegionArgs& a) { a.material = "   "; a.section = " "; }), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_db_clear_coupling_regions();
        sph_error_clear();
        RegionArgs first;
        first.name = "FIRST";
        ASSERT_EQ(add_region(first), 0);
        const int st = add_region(c.args);
        if (c.message == nullptr) {
            EXPECT_EQ(st, 0) << sph_error_message();
            EXPECT_EQ(sph_database.coupling_regions.size(), 2u);
        } else {
            EXPECT_EQ(st, 5);
            EXPECT_EQ(sph_error_code(), 5);
            EXPECT_EQ(sph_error_message(), c.message);
            EXPECT_EQ(sph_database.coupling_regions.size(), 1u);
        }
    }
}

TEST_F(CouplingRegions, TableHoldsThirtyTwoAndChecksCapacityLast) {
    for (int r = 0; r < 32; ++r) {
        RegionArgs a;
        a.name = "R";
        a.name += std::to_string(r + 1);
        ASSERT_EQ(add_region(a), 0);
    }
    RegionArgs extra;
    extra.name = "R33";
    EXPECT_EQ(add_region(extra), 5);
    EXPECT_EQ(sph_error_message(), "too many coupling region records");
    extra.section = "NOPE";  // argument checks come before the capacity check
    EXPECT_EQ(add_region(extra), 5);
    EXPECT_EQ(sph_error_message(), "coupling region references unknown section");
    extra.name = "r32";
    EXPECT_EQ(add_region(extra), 5);
    EXPECT_EQ(sph_error_message(), "duplicate coupling region name");
    EXPECT_EQ(sph_database.coupling_regions.size(), 32u);
    EXPECT_EQ(sph_database.coupling_regions.back().coupling_region_internal_id, 32);
}

TEST_F(CouplingRegions, AddStoresEveryField) {
    RegionArgs a;
    a.name = "Hull  ";
    a.set = "plate ";
    a.type = 1;
    a.exp = 3;
    a.imp = 2;
    a.load = 3;
    a.dist = 2;
    a.cs = 1;
    a.enabled = false;
    a.surface = "Wet Side   ";
    a.phase = 1;
    a.material = "sea";
    a.section = "top";
    RegionArgs first;
    first.name = "FIRST";
    ASSERT_EQ(add_region(first), 0);
    ASSERT_EQ(add_region(a), 0);
    const SphCouplingRegionRecord& r = sph_database.coupling_regions[1];
    EXPECT_EQ(r.coupling_region_name, "Hull");
    EXPECT_EQ(r.coupling_region_set_name, "plate");
    EXPECT_EQ(r.coupling_region_surface_name, "Wet Side");
    EXPECT_EQ(r.coupling_region_material_name, "sea");
    EXPECT_EQ(r.coupling_region_section_name, "top");
    EXPECT_EQ(r.coupling_region_type, 1);
    EXPECT_EQ(r.coupling_region_export_mode, 3);
    EXPECT_EQ(r.coupling_region_import_mode, 2);
    EXPECT_EQ(r.coupling_region_load_mode, 3);
    EXPECT_EQ(r.coupling_region_distribution_mode, 2);
    EXPECT_EQ(r.coupling_region_contact_state_mode, 1);
    EXPECT_EQ(r.coupling_region_enabled, 0);
    EXPECT_EQ(r.coupling_region_phase_filter, 1);
    EXPECT_EQ(r.coupling_region_material_filter, 2);  // SEA is the second material
    EXPECT_EQ(r.coupling_region_section_filter, 2);   // TOP is the second section
    EXPECT_EQ(r.coupling_region_internal_id, 2);
    EXPECT_TRUE(r.coupling_region_particles.empty());
    EXPECT_EQ(sph_database.coupling_regions[0].coupling_region_enabled, 1);
    EXPECT_EQ(sph_database.coupling_regions[0].coupling_region_material_filter, 0);
    EXPECT_EQ(sph_database.coupling_regions[0].coupling_region_section_filter, 0);

    // Names longer than 64 characters are cut to 64.
    RegionArgs longer;
    longer.name = std::string(64, 'N') + "TAIL";
    ASSERT_EQ(add_region(longer), 0);
    EXPECT_EQ(sph_database.coupling_regions[2].coupling_region_name, std::string(64, 'N'));
}

TEST_F(CouplingRegions, BuildSelectsFilteredDeduplicatedParticles) {
    struct Case {
        const char* what;
        RegionArgs args;
        int status_particle;  // particle whose status is changed first, -1 none
        int status;
        std::vector<int32_t> expected;
    };
    auto with = [](auto change) {
        RegionArgs a;
        change(a);
        return a;
    };
    const Case cases[] = {
        {"ALL in lower case", with([](RegionArgs& a) { a.set = "all"; }), -1, 0, {0, 1, 2, 3, 4, 5}},
        {"ALL skips an inactive particle", with([](RegionArgs& a) { a.set = "ALL"; }), 3, 1, {0, 1, 2, 4, 5}},
        {"ALL skips a failed particle", with([](RegionArgs& a) { a.set = "ALL"; }), 0, 2, {1, 2, 3, 4, 5}},
        {"ALL skips a reserved particle", with([](RegionArgs& a) { a.set = "ALL"; }), 5, 3, {0, 1, 2, 3, 4}},
        {"node set: repeat listed once, unknown node skipped", with([](RegionArgs& a) { a.set = "left"; }), -1, 0,
         {0, 1, 2}},
        {"element set: connectivity order, shared nodes once", with([](RegionArgs& a) { a.set = "PLATE"; }), -1, 0,
         {2, 3, 4, 0, 1}},
        {"element set skips a failed node", with([](RegionArgs& a) { a.set = "PLATE"; }), 0, 2, {2, 3, 4, 1}},
        {"node set wins over element set", with([](RegionArgs& a) { a.set = "BOTH"; }), -1, 0, {4, 5}},
        {"phase filter water", with([](RegionArgs& a) { a.set = "ALL"; a.phase = 1; }), -1, 0, {3, 4, 5}},
        {"phase filter solid over element set", with([](RegionArgs& a) { a.set = "PLATE"; a.phase = 4; }), -1, 0,
         {2, 0, 1}},
        {"material filter", with([](RegionArgs& a) { a.set = "ALL"; a.material = "STEEL"; }), -1, 0, {0, 1, 2}},
        {"section filter", with([](RegionArgs& a) { a.set = "PLATE"; a.section = "TOP"; }), -1, 0, {3, 4}},
        {"all filters together", with([](RegionArgs& a) {
             a.set = "ALL";
             a.phase = 1;
             a.material = "SEA";
             a.section = "TOP";
         }),
         4, 1, {3, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_db_clear_coupling_regions();
        for (int i = 0; i < 6; ++i) sph_database.particle_status[static_cast<std::size_t>(i)] = 0;
        if (c.status_particle >= 0) sph_database.particle_status[static_cast<std::size_t>(c.status_particle)] = c.status;
        ASSERT_EQ(add_region(c.args), 0) << sph_error_message();
        ASSERT_EQ(sph_db_build_coupling_regions(), 0) << sph_error_message();
        EXPECT_EQ(list_of(0), c.expected);
        EXPECT_EQ(sph_database.coupling_region_disabled_count, 0);
    }
}

TEST_F(CouplingRegions, BuildOfSeveralRegionsWithDisabledOnes) {
    RegionArgs left;
    left.name = "LEFTSIDE";
    left.set = "LEFT";
    RegionArgs off;  // accepted only because it is disabled
    off.name = "OFF";
    off.set = "TOP";
    off.load = 2;
    off.enabled = false;
    RegionArgs continuum;
    continuum.name = "BULK";
    continuum.set = "ALL";
    continuum.type = 2;
    continuum.enabled = false;
    RegionArgs plate;
    plate.name = "PLATE";
    plate.set = "PLATE";  // overlaps LEFTSIDE: both keep the shared particles
    for (const RegionArgs* a : {&left, &off, &continuum, &plate}) ASSERT_EQ(add_region(*a), 0);

    // Stale internal ids and lists are replaced by the build.
    sph_database.coupling_regions[1].coupling_region_internal_id = 9;
    sph_database.coupling_regions[1].coupling_region_particles = {5};
    ASSERT_EQ(sph_db_build_coupling_regions(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.coupling_region_disabled_count, 2);
    EXPECT_EQ(list_of(0), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_TRUE(list_of(1).empty());
    EXPECT_TRUE(list_of(2).empty());
    EXPECT_EQ(list_of(3), (std::vector<int32_t>{2, 3, 4, 0, 1}));
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(sph_database.coupling_regions[static_cast<std::size_t>(r)].coupling_region_internal_id, r + 1);

    // A second build reflects the particles' state at that moment, and counts again from zero.
    sph_database.particle_status[1] = sph_status_failed;
    ASSERT_EQ(sph_db_build_coupling_regions(), 0) << sph_error_message();
    EXPECT_EQ(sph_database.coupling_region_disabled_count, 2);
    EXPECT_EQ(list_of(0), (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(list_of(3), (std::vector<int32_t>{2, 3, 4, 0}));
}

TEST_F(CouplingRegions, BuildFailuresStopAtTheFailingRegion) {
    struct Case {
        const char* what;
        RegionArgs failing;
        const char* message;
    };
    RegionArgs shell_filter;  // phase 5 over solid particles
    shell_filter.name = "SHELLS";
    shell_filter.phase = 5;
    RegionArgs wrong_material;  // STEEL particles are solid, not water
    wrong_material.name = "MIX";
    wrong_material.set = "ALL";
    wrong_material.phase = 1;
    wrong_material.material = "STEEL";
    const Case cases[] = {
        {"phase filter selects nothing", shell_filter, "active coupling region selected no particles"},
        {"filters exclude each other", wrong_material, "active coupling region selected no particles"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_db_clear_coupling_regions();
        RegionArgs before;
        before.name = "BEFORE";
        before.set = "TOP";
        RegionArgs after;
        after.name = "AFTER";
        after.set = "LEFT";
        ASSERT_EQ(add_region(before), 0);
        ASSERT_EQ(add_region(c.failing), 0);
        ASSERT_EQ(add_region(after), 0);
        EXPECT_EQ(sph_db_build_coupling_regions(), 5);
        EXPECT_EQ(sph_error_message(), c.message);
        EXPECT_EQ(list_of(0), (std::vector<int32_t>{3, 4, 5}));
        EXPECT_TRUE(list_of(1).empty());
        EXPECT_TRUE(list_of(2).empty());
    }

    // The same empty region disabled builds without error.
    sph_db_clear_coupling_regions();
    shell_filter.enabled = false;
    ASSERT_EQ(add_region(shell_filter), 0);
    EXPECT_EQ(sph_db_build_coupling_regions(), 0);
    EXPECT_EQ(sph_database.coupling_region_disabled_count, 1);

    // A set that vanished from the records (a table restored from elsewhere) is reported.
    sph_db_clear_coupling_regions();
    ASSERT_EQ(add_region(RegionArgs{}), 0);
    sph_database.coupling_regions[0].coupling_region_set_name = "GONE";
    EXPECT_EQ(sph_db_build_coupling_regions(), 5);
    EXPECT_EQ(sph_error_message(), "coupling region references unknown set");
    EXPECT_TRUE(list_of(0).empty());
}

TEST_F(CouplingRegions, FiveHundredTwelveParticlesAtMost) {
    sph_db_free();
    ASSERT_EQ(sph_db_allocate(513), 0);  // node numbers 1..513
    const int32_t first_two[] = {1, 2};
    const int32_t third[] = {3};
    ASSERT_EQ(sph_db_add_nset("PAIR", 2, first_two), 0);
    ASSERT_EQ(sph_db_add_nset("THIRD", 1, third), 0);
    RegionArgs pair;
    pair.name = "PAIR";
    pair.set = "PAIR";
    RegionArgs all;
    all.name = "EVERYTHING";
    all.set = "all";
    RegionArgs later;
    later.name = "LATER";
    later.set = "THIRD";
    for (const RegionArgs* a : {&pair, &all, &later}) ASSERT_EQ(add_region(*a), 0);

    EXPECT_EQ(sph_db_build_coupling_regions(), 5);
    EXPECT_EQ(sph_error_code(), 5);
    EXPECT_EQ(sph_error_message(), "too many particles in coupling region");
    EXPECT_EQ(list_of(0), (std::vector<int32_t>{0, 1}));
    EXPECT_TRUE(list_of(1).empty());
    EXPECT_TRUE(list_of(2).empty());

    // One particle fewer that is active: exactly 512 fit.
    sph_database.particle_status[200] = sph_status_inactive;
    ASSERT_EQ(sph_db_build_coupling_regions(), 0) << sph_error_message();
    const std::vector<int32_t> everything = list_of(1);
    ASSERT_EQ(everything.size(), 512u);
    EXPECT_EQ(everything[199], 199);
    EXPECT_EQ(everything[200], 201);
    EXPECT_EQ(everything.back(), 512);
    EXPECT_EQ(list_of(2), (std::vector<int32_t>{2}));
}

TEST_F(CouplingRegions, AcceptsParticleOutsideRanges) {
    ASSERT_EQ(add_region(RegionArgs{}), 0);
    struct Case {
        int region, particle;
        bool accepted;
    };
    const Case cases[] = {{0, 0, true}, {0, 5, true}, {-1, 0, false}, {1, 0, false}, {0, -1, false}, {0, 6, false}};
    for (const Case& c : cases)
        EXPECT_EQ(sph_db_coupling_accepts_particle(c.region, c.particle), c.accepted) << c.region << "," << c.particle;
}

TEST_F(CouplingRegions, HostOptionsChecksAndDefaults) {
    auto expect_defaults = [] {
        const SphDatabase& d = sph_database;
        EXPECT_EQ(d.zenvik_worker_enabled, 0);
        EXPECT_EQ(d.zenvik_region_name, "ALL");
        EXPECT_EQ(d.zenvik_export_radius, 1);
        EXPECT_EQ(d.zenvik_export_sound_speed, 1);
        EXPECT_EQ(d.zenvik_accept_contact_state, 1);
        EXPECT_EQ(d.zenvik_accept_boundary_state, 0);
    };
    expect_defaults();
    const SphDatabase& d = sph_database;

    struct Bad {
        int32_t flags[5];
    };
    const Bad bad[] = {{{2, 1, 1, 1, 0}}, {{1, 2, 1, 1, 0}}, {{1, 1, -1, 1, 0}}, {{1, 1, 1, 7, 0}},
                       {{1, 1, 1, 1, 2}}, {{-1, 0, 0, 0, 0}}};
    for (const Bad& b : bad) {
        sph_error_clear();
        EXPECT_EQ(sph_db_set_zenvik_options(b.flags[0], "HULL", b.flags[1], b.flags[2], b.flags[3], b.flags[4]), 5);
        EXPECT_EQ(sph_error_message(), "invalid Zenvik option flag");
        expect_defaults();  // nothing stored
    }

    struct Name {
        std::string given;
        std::string stored;
    };
    const Name names[] = {
        {"  Hull Side  ", "Hull Side"},
        {"hull", "hull"},
        {"", "ALL"},
        {"     ", "ALL"},
        {"   " + std::string(70, 'x'), std::string(64, 'x')},
    };
    for (const Name& n : names) {
        ASSERT_EQ(sph_db_set_zenvik_options(1, n.given, 0, 0, 0, 1), 0);
        EXPECT_EQ(d.zenvik_region_name, n.stored) << "[" << n.given << "]";
        EXPECT_EQ(d.zenvik_worker_enabled, 1);
        EXPECT_EQ(d.zenvik_export_radius, 0);
        EXPECT_EQ(d.zenvik_export_sound_speed, 0);
        EXPECT_EQ(d.zenvik_accept_contact_state, 0);
        EXPECT_EQ(d.zenvik_accept_boundary_state, 1);
    }

    // Freeing the model restores the defaults and empties the region table.
    ASSERT_EQ(add_region(RegionArgs{}), 0);
    sph_db_free();
    expect_defaults();
    EXPECT_TRUE(d.coupling_regions.empty());
    EXPECT_EQ(d.coupling_region_disabled_count, 0);
}
