#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"

using namespace quorrel;

class Records : public test::QuorrelTest {};

TEST_F(Records, NameRule) {
    struct Case {
        const char* left;
        const char* right;
        bool equal;
    };
    const Case cases[] = {
        {"STEEL", "steel", true},     {"STEEL", "steel   ", true}, {"STEEL", "  steel", false},
        {"Steel ", "sTEEL", true},    {"STEEL", "STEEL2", false},   {"", "   ", true},
        {"\xe9t\xe9", "\xc9T\xc9", false},  // only ASCII letters fold
    };
    for (const Case& c : cases) EXPECT_EQ(sph_db_name_equal(c.left, c.right), c.equal) << c.left << "|" << c.right;
    EXPECT_EQ(sph_db_upper("ab-z{1"), "AB-Z{1");
}

TEST_F(Records, MaterialsLookupDensityAndCapacity) {
    ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
    ASSERT_EQ(sph_db_add_material("steel", "other"), 0);  // duplicate name: never found
    EXPECT_EQ(sph_db_find_material("  steel"), -1);
    EXPECT_EQ(sph_db_find_material("steel  "), 0);
    ASSERT_EQ(sph_db_set_material_density("Steel", 7800.0), 0);
    EXPECT_EQ(sph_database.materials[0].material_density, 7800.0);
    EXPECT_EQ(sph_database.materials[1].material_density, 0.0);
    EXPECT_EQ(sph_database.materials[1].material_internal_id, 2);

    struct Case {
        double value;
        const char* name;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {std::nan(""), "STEEL", 1, "material density must be finite"},
        {1e308, "STEEL", 1, "material density must be finite"},
        {0.0, "STEEL", 1, "material density must be positive"},
        {-2.0, "NOPE", 1, "material density must be positive"},
        {5.0, "NOPE", 5, "density references unknown material"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sph_db_set_material_density(c.name, c.value), c.code);
        EXPECT_EQ(sph_error_message(), c.message);
    }
    for (int i = 2; i < 32; ++i) ASSERT_EQ(sph_db_add_material("M" + std::to_string(i), "WATER"), 0);
    EXPECT_EQ(sph_db_add_material("M33", "WATER"), 5);
    EXPECT_EQ(sph_error_message(), "too many material records");
    EXPECT_EQ(sph_database.materials.size(), 32u);
}

TEST_F(Records, DensityMayReachHalfTheLargestDouble) {
    ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
    // 0x7FDFFFFFFFFFFFFF, then the double just above it.
    const double bound = std::numeric_limits<double>::max() / 2;
    const double above = std::nextafter(bound, HUGE_VAL);
    struct Case {
        double value;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {bound, 0, "OK"},
        {above, 1, "material density must be finite"},
        {-above, 1, "material density must be finite"},
        {-bound, 1, "material density must be positive"},
    };
    for (const Case& c : cases) {
        sph_error_clear();
        EXPECT_EQ(sph_db_set_material_density("STEEL", c.value), c.code) << c.value;
        EXPECT_EQ(sph_error_message(), c.message);
    }
    EXPECT_EQ(sph_database.materials[0].material_density, bound);
}

TEST_F(Records, PhaseFromTypeText) {
    struct Case {
        const char* type;
        int phase;
    };
    const Case cases[] = {{"Water tank", 1}, {"air", 4},         {"GAS_EXPLOSIVE", 2}, {"tnt explosive", 3},
                          {"SHELL_BOUNDARY", 5}, {"rigid boundary", 6}, {"", 4},       {"steel", 4}};
    for (const Case& c : cases) EXPECT_EQ(sph_db_phase_from_type(c.type), c.phase) << c.type;
    ASSERT_EQ(sph_db_add_material("W", "water"), 0);
    EXPECT_EQ(sph_db_phase_from_material(1), 1);
    EXPECT_EQ(sph_db_phase_from_material(0), 4);
    EXPECT_EQ(sph_db_phase_from_material(2), 4);
}

TEST_F(Records, SetsCapAndAppendAcrossLines) {
    std::vector<int32_t> many(600);
    std::iota(many.begin(), many.end(), 100);
    ASSERT_EQ(sph_db_add_nset("BIG", 600, many.data()), 0);
    ASSERT_EQ(sph_database.nsets.size(), 1u);
    EXPECT_EQ(sph_database.nsets[0].members.size(), 512u);
    EXPECT_EQ(sph_database.nsets[0].first_member, 100);
    EXPECT_EQ(sph_database.nsets[0].members.back(), 611);

    // A set continued on a second data line keeps both lines' members in one slot.
    const int32_t a[] = {1, 2, 3};
    const int32_t b[] = {4, 5};
    ASSERT_EQ(sph_db_add_elset("PLATE", 3, a), 0);
    ASSERT_EQ(sph_db_add_elset("plate  ", 2, b), 0);
    ASSERT_EQ(sph_database.elsets.size(), 1u);
    EXPECT_EQ(sph_database.elsets[0].members, (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(sph_database.elsets[0].first_member, 1);
    // Appending to a full set drops the surplus silently.
    ASSERT_EQ(sph_db_add_nset("big", 2, b), 0);
    EXPECT_EQ(sph_database.nsets[0].members.size(), 512u);

    for (int i = 1; i < 32; ++i) ASSERT_EQ(sph_db_add_nset("S" + std::to_string(i), 1, a), 0);
    EXPECT_EQ(sph_db_add_nset("ONE_MORE", 1, a), 5);
    EXPECT_EQ(sph_error_message(), "too many node set records");
    EXPECT_EQ(sph_db_add_nset("S5", 1, b), 0);  // an existing name still appends
}

TEST_F(Records, ElementsAndCapacity) {
    const int32_t conn[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(sph_db_add_element(11, "C3D8", 9, conn), 0);
    ASSERT_EQ(sph_db_add_element(11, "C3D4", 4, conn), 0);
    EXPECT_EQ(sph_database.elements[0].element_conn.size(), 8u);
    EXPECT_EQ(sph_db_find_element(11), 0);
    EXPECT_EQ(sph_db_find_element(12), -1);
    for (int i = 2; i < 256; ++i) ASSERT_EQ(sph_db_add_element(100 + i, "C3D8", 8, conn), 0);
    EXPECT_EQ(sph_db_add_element(999, "C3D8", 8, conn), 5);
    EXPECT_EQ(sph_error_message(), "too many element records");
}

TEST_F(Records, SectionChecksInOrder) {
    ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
    const int32_t m[] = {1};
    ASSERT_EQ(sph_db_add_nset("NS", 1, m), 0);
    EXPECT_EQ(sph_db_add_section("NS", "SOLID SECTION", "ALUMINIUM", 0, 0, 0, ""), 5);
    EXPECT_EQ(sph_error_message(), "section references unknown material");
    EXPECT_EQ(sph_db_add_section("NOSET", "SOLID SECTION", "steel", 0, 0, 0, ""), 5);
    EXPECT_EQ(sph_error_message(), "section references unknown set");
    ASSERT_EQ(sph_db_add_section("ns", "SOLID SECTION", "steel", 0.5, 3, 0.8, "ORI"), 0);
    EXPECT_EQ(sph_database.sections[0].section_material_id, 1);
    EXPECT_EQ(sph_database.sections[0].section_integration_points, 3);
    for (int i = 1; i < 32; ++i) ASSERT_EQ(sph_db_add_section("NS", "S", "STEEL", 0, 0, 0, ""), 0);
    EXPECT_EQ(sph_db_add_section("NS", "S", "STEEL", 0, 0, 0, ""), 5);
    EXPECT_EQ(sph_error_message(), "too many section records");
}

TEST_F(Records, SectionsBindParticlesWithPrecedence) {
    // Particles with node numbers 10..15.
    ASSERT_EQ(sph_db_allocate(6), 0);
    for (int i = 0; i < 6; ++i) {
        const double c[3] = {double(i), 0, 0};
        ASSERT_EQ(sph_db_set_node(i, 10 + i, c), 0);
    }
    ASSERT_EQ(sph_db_add_material("STEEL", "solid"), 0);
    ASSERT_EQ(sph_db_add_material("SEA", "water"), 0);
    ASSERT_EQ(sph_db_add_material("AIR", "Gas"), 0);
    const int32_t conn[] = {10, 11, 99};
    ASSERT_EQ(sph_db_add_element(1, "C3D8", 3, conn), 0);
    const int32_t elems[] = {1, 7};       // element 7 does not exist
    const int32_t nodes[] = {12, 13, 14}; // same name as the element set
    const int32_t other[] = {14, 15, 42};
    ASSERT_EQ(sph_db_add_elset("BOTH", 2, elems), 0);
    ASSERT_EQ(sph_db_add_nset("BOTH", 3, nodes), 0);
    ASSERT_EQ(sph_db_add_nset("TAIL", 3, other), 0);
    ASSERT_EQ(sph_db_add_section("BOTH", "SOLID SECTION", "SEA", 0, 0, 0, ""), 0);
    ASSERT_EQ(sph_db_add_section("TAIL", "SOLID SECTION", "STEEL", 0, 0, 0, ""), 0);
    ASSERT_EQ(sph_db_add_section("tail", "SOLID SECTION", "AIR", 0, 0, 0, ""), 0);
    ASSERT_EQ(sph_db_apply_sections_to_particles(), 0);
    const SphDatabase& d = sph_database;
    struct Expect {
        int section, material, phase;
    };
    const Expect want[6] = {
        {1, 2, 1}, {1, 2, 1},  // through the element set only
        {0, 1, 4}, {0, 1, 4},  // the node set of the same name is not used
        {3, 3, 2}, {3, 3, 2},  // the last covering section wins
    };
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(d.section_id[i], want[i].section) << i;
        EXPECT_EQ(d.material_id[i], want[i].material) << i;
        EXPECT_EQ(d.particle_phase[i], want[i].phase) << i;
    }
}
