// Blast regions: the phase and mode words, the region setter, and the region summary of a
// hand-built case with every kind of particle a sphere can hold.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "interface/sph_api.h"
#include "quorrel_test.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

class BlastRegion : public test::DeckTest {};

// ---- Words ----

TEST_F(BlastRegion, PhaseWords) {
    struct Case {
        std::string text;
        int32_t id;
    };
    const Case cases[] = {
        {"", sph_blast_phase_none},
        {"   ", sph_blast_phase_none},
        {"WATER", sph_blast_phase_water},
        {"salt water", sph_blast_phase_water},
        {"GAS", sph_blast_phase_gas},
        {"gas", sph_blast_phase_gas},
        {"WATER GAS", sph_blast_phase_water},         // WATER is looked for first
        {"EXPLOSIVE", sph_blast_phase_explosive},
        {"explosive gas", sph_blast_phase_gas},       // GAS before EXPLOSIVE
        {"SOLID", sph_blast_phase_solid},
        {"  solid ", sph_blast_phase_solid},
        {"SOLIDS", sph_blast_phase_none},             // SOLID, SHELL, ALL and ANY are whole words
        {"SOLID SHELL", sph_blast_phase_none},
        {"Shell", sph_blast_phase_shell},
        {"SHELLS", sph_blast_phase_none},
        {"STRUCTURE", sph_blast_phase_structure},
        {"my_structure_2", sph_blast_phase_structure},  // a substring
        {"ALL", sph_blast_phase_all},
        {"any", sph_blast_phase_all},
        {"ALLES", sph_blast_phase_none},
        {"NONE", sph_blast_phase_none},
        // Only the first 64 characters are looked at.
        {std::string(61, 'X') + "GAS", sph_blast_phase_gas},
        {std::string(62, 'X') + "GAS", sph_blast_phase_none},
        {std::string(59, ' ') + "SOLID", sph_blast_phase_solid},
        {std::string(60, ' ') + "SOLID", sph_blast_phase_none},
    };
    for (const Case& c : cases) EXPECT_EQ(sph_blast_phase_id(c.text), c.id) << "'" << c.text << "'";
}

TEST_F(BlastRegion, ModeWords) {
    struct Case {
        std::string text;
        int32_t id;
    };
    const Case cases[] = {
        {"", sph_blast_mode_radial},
        {"RADIAL", sph_blast_mode_radial},
        {"radial", sph_blast_mode_radial},
        {"normal_radial", sph_blast_mode_radial},  // RADIAL is looked for first
        {"NORMAL", sph_blast_mode_normal},
        {"NORMAL DIRECT", sph_blast_mode_normal},
        {"direction", sph_blast_mode_direct},
        {"SIDEWAYS", 0},
        {std::string(64, 'X') + "NORMAL", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(sph_blast_mode_id(c.text), c.id) << "'" << c.text << "'";
}

TEST_F(BlastRegion, PhaseSelectorsMatchParticlePhases) {
    // Particle phases 1..9: water, gas, explosive, solid, shell, boundary, coupling, failed
    // solid, failed shell. Each row: the phases a selector takes.
    struct Case {
        int32_t selector;
        std::array<bool, 9> takes;
    };
    const Case cases[] = {
        {sph_blast_phase_none, {false, false, false, false, false, false, false, false, false}},
        {sph_blast_phase_water, {true, false, false, false, false, false, false, false, false}},
        {sph_blast_phase_gas, {false, true, false, false, false, false, false, false, false}},
        {sph_blast_phase_explosive, {false, false, true, false, false, false, false, false, false}},
        {sph_blast_phase_solid, {false, false, false, true, false, false, false, false, false}},
        {sph_blast_phase_shell, {false, false, false, false, true, false, false, false, false}},
        {sph_blast_phase_structure, {false, false, false, true, true, false, false, false, false}},
        {sph_blast_phase_all, {true, true, true, true, true, true, true, true, true}},
        {8, {false, false, false, false, false, false, false, false, false}},
    };
    for (const Case& c : cases)
        for (int32_t p = 1; p <= 9; ++p)
            EXPECT_EQ(sph_blast_phase_matches(c.selector, p), c.takes[static_cast<std::size_t>(p - 1)])
                << "selector " << c.selector << ", phase " << p;
}

// ---- The setter ----

TEST_F(BlastRegion, SetterStoresOrRefusesWholeRecords) {
    // blast_one.inp has the node set PLATE and the element set EPLATE.
    ASSERT_EQ(sph_input_read(decks + "/blast_one.inp"), 0) << sph_error_message();
    sph_blast_reset();
    const double c[3] = {1.0, -2.0, 0.5};
    const SphBlast& b = sph_blast;

    // A blank name is BLAST, a blank mode RADIAL; the set name keeps its case.
    ASSERT_EQ(sph_blast_add_region("", c, 2.0, "gas", "shell", "ePlate", -1.5, 0.25, ""), 0) << sph_error_message();
    const SphBlastRegion& r = b.blast_regions[0];
    EXPECT_EQ(r.blast_region_name, "BLAST");
    EXPECT_EQ(r.blast_center, (std::array<double, 3>{1.0, -2.0, 0.5}));
    EXPECT_EQ(r.blast_radius, 2.0);
    EXPECT_EQ(r.blast_source_phase, sph_blast_phase_gas);
    EXPECT_EQ(r.blast_target_phase, sph_blast_phase_shell);
    EXPECT_EQ(r.blast_target_set_name, "ePlate");
    EXPECT_EQ(r.blast_load_scale, -1.5);
    EXPECT_EQ(r.blast_time_window, 0.25);
    EXPECT_EQ(r.blast_projection_mode, sph_blast_mode_radial);
    EXPECT_TRUE(r.blast_region_enabled);

    // A set of NONE, in any case and with blanks around it, is stored switched off.
    ASSERT_EQ(sph_blast_add_region("Quiet", c, 1.0, "ALL", "ALL", " none ", 1.0, 0.0, "DIRECT"), 0);
    EXPECT_FALSE(b.blast_regions[1].blast_region_enabled);
    EXPECT_EQ(b.blast_regions[1].blast_projection_mode, sph_blast_mode_direct);
    ASSERT_EQ(sph_blast_add_region("Off", c, 1.0, "GAS", "SOLID", "PLATE", 1.0, 0.0, "NORMAL", false), 0);
    EXPECT_FALSE(b.blast_regions[2].blast_region_enabled);
    EXPECT_EQ(sph_blast_count_unused_regions(), 2);

    // A blank set cannot come from the deck reader; the setter refuses it, storing nothing.
    EXPECT_EQ(sph_blast_add_region("Blank", c, 1.0, "GAS", "SOLID", "  ", 1.0, 0.0, ""), sph_error_input);
    EXPECT_EQ(sph_error_message(), "Blast region is missing TARGET_SET");
    EXPECT_EQ(b.blast_region_count, 3);
    EXPECT_FALSE(sph_blast_region_name_exists("Blank"));

    // Names are compared on their first 64 characters, without regard to case.
    const std::string long_name = std::string(64, 'L') + "ONE";
    ASSERT_EQ(sph_blast_add_region(long_name, c, 1.0, "GAS", "SOLID", "PLATE", 1.0, 0.0, ""), 0);
    EXPECT_EQ(b.blast_regions[3].blast_region_name, std::string(64, 'L'));
    EXPECT_EQ(sph_blast_add_region(std::string(64, 'l') + "TWO", c, 1.0, "GAS", "SOLID", "PLATE", 1.0, 0.0, ""),
              sph_error_input);
    EXPECT_EQ(sph_error_message(), "Blast region NAME is duplicated");
    EXPECT_TRUE(sph_blast_region_name_exists("quiet"));

    // The table holds 32 regions; the 33rd is refused with code 5, even with a bad radius.
    for (int k = b.blast_region_count; k < sph_blast_max_regions; ++k)
        ASSERT_EQ(sph_blast_add_region("R" + std::to_string(k), c, 1.0, "GAS", "SOLID", "PLATE", 1.0, 0.0, ""), 0);
    EXPECT_EQ(b.blast_region_count, 32);
    EXPECT_EQ(sph_blast_add_region("R33", c, -1.0, "GAS", "SOLID", "PLATE", 1.0, 0.0, ""), sph_error_database);
    EXPECT_EQ(sph_error_message(), "too many Blast region records");
    EXPECT_EQ(b.blast_region_count, 32);

    sph_blast_reset();
    EXPECT_EQ(sph_blast.blast_region_count, 0);
    EXPECT_FALSE(sph_blast_region_name_exists("BLAST"));
    EXPECT_EQ(sph_blast_count_unused_regions(), 0);
}

// ---- The region summary ----

class BlastSummary : public BlastRegion {
protected:
    void SetUp() override {
        BlastRegion::SetUp();
        sph_finalize();  // the interface's flags start closed
    }
    void TearDown() override {
        sph_finalize();
        BlastRegion::TearDown();
    }
    // Reads and builds blast_summary.inp through the interface, then sets by hand what the
    // expected values below rest on, and evaluates at t = 0.125 (inside the window 0.25).
    static void build_hand_case() {
        sph_initialize();
        ASSERT_EQ(sph_read_inp(decks + "/blast_summary.inp"), 0) << sph_error_message();
        ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
        SphDatabase& d = sph_database;
        ASSERT_EQ(d.npart, 12);
        const int32_t phases[12] = {2, 2, 2, 1, 1, 3, 4, 5, 4, 4, 4, 3};
        for (std::size_t i = 0; i < 12; ++i) ASSERT_EQ(d.particle_phase[i], phases[i]) << "node " << i + 1;
        // Gas sources 1 and 2: pressures 4 and 8, energies 4 and 2, masses 1/4 and 3/4,
        // volumes 1/8 and 1/2; gas 3 (outside) a pressure that must not count.
        const double gas[3][4] = {{4.0, 4.0, 0.25, 0.125}, {8.0, 2.0, 0.75, 0.5}, {1000.0, 1.0, 1.0, 1.0}};
        for (std::size_t i = 0; i < 3; ++i) {
            d.pressure[i] = gas[i][0];
            d.internal_energy[i] = gas[i][1];
            d.mass[i] = gas[i][2];
            d.volume[i] = gas[i][3];
        }
        d.pressure[3] = 2.0;  // water 4 and 5
        d.pressure[4] = 6.0;
        ASSERT_EQ(sph_explosive_state.explosive_reaction_progress.size(), 12u);
        sph_explosive_state.explosive_reaction_progress[5] = 0.5;  // explosives 6 and 12
        sph_explosive_state.explosive_reaction_progress[11] = 0.25;
        // Solid 7: volume 1, mass 2, v (1, 2, 0); shell 8: volume 1/8, mass 1/4, v (0, 0, -2);
        // solid 11: volume 0.
        d.volume[6] = 1.0;
        d.mass[6] = 2.0;
        d.v[18] = 1.0;
        d.v[19] = 2.0;
        d.volume[7] = 0.125;
        d.mass[7] = 0.25;
        d.v[23] = -2.0;
        d.volume[10] = 0.0;
        ASSERT_EQ(sph_blast_load_compute_at(0.125), 0);
    }
};

TEST_F(BlastSummary, EveryCountAndValueOfAHandBuiltCase) {
    // P = (mean of 4 and 8 + water midrange (2 + 6) / 2) * SCALE 0.5 = 5. Solid 7 at (1, 0, 0):
    // F = (5, 0, 0), |F| / m = 2.5, v.F = 5. Shell 8 at (0, 0, 1.75): F = 5 * 1/4 (0, 0, 1),
    // |F| / m = 5, v.F = -2.5. Solid 11 has no area. Window 0.25: impulse = 0.25 * total,
    // work = 0.25 * (5 - 2.5). Pairs within 2: 1-7 (exactly 2), 1-11 (sqrt 3), 2-7 (sqrt 2).
    build_hand_case();
    if (HasFatalFailure()) return;
    const std::array<int32_t, 12> counts = {
        2,  // sources 1, 2
        3,  // targets 7, 8, 11
        3,  // pairs
        9,  // skipped sources: gas 3 outside; 4, 5, 6, 7, 8, 9, 11, 12 in the sphere
        3,  // skipped targets: 9 (not in HIT), 10 (outside), water 5 (in HIT and the sphere)
        2,  // loaded 7, 8
        3,  // the pairs, copied when projected
        1,  // 11
        0,  // non-finite
        2,  // water 4, 5
        2,  // gas 1, 2
        2,  // explosives 6, 12
    };
    const std::array<double, 26> values = {
        1.0,   2.5,    6.0, 0.625, 0.375, 2.0, 6.0,    // mass, energy, mean pressure, gas volume, progress, water range
        5.0,   0.0,    0.0,                            // solid total
        0.0,   0.0,    1.25,                           // shell total
        5.0,   0.0,    1.25,                           // total
        1.25,  0.0,    0.3125,                         // impulse
        1.25,  0.0,    0.3125,                         // momentum input
        0.625, 0.9375,                                 // work, energy input 2.5 * 0.375
        5.0,   5.0,                                    // largest force, largest acceleration
    };
    std::array<int32_t, 12> c{};
    std::array<double, 26> v{};
    c.fill(-7);
    v.fill(-7.0);
    ASSERT_EQ(sph_get_blast_summary(1, c.data(), v.data()), 0) << sph_error_message();
    EXPECT_EQ(c, counts);
    EXPECT_EQ(v, values);
    std::array<int32_t, 12> c2{};
    std::array<double, 26> v2{};
    ASSERT_EQ(sph_blast_load_get_summary(1, c2.data(), v2.data()), 0);
    EXPECT_EQ(c2, counts);
    EXPECT_EQ(v2, values);

    // Applying the caches adds F / m to the loaded particles only.
    const SphDatabase& d = sph_database;
    const std::vector<double> a0 = d.a;
    ASSERT_EQ(sph_blast_load_apply_to_acceleration(), 0);
    for (std::size_t i = 0; i < 12; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            const double added = i == 6 && k == 0 ? 2.5 : i == 7 && k == 2 ? 5.0 : 0.0;
            EXPECT_EQ(d.a[3 * i + k], a0[3 * i + k] + added) << "node " << i + 1 << " component " << k;
        }
}

TEST_F(BlastSummary, PairsAreThoseOfTheLastEvaluation) {
    build_hand_case();
    if (HasFatalFailure()) return;
    // Solid 7 moved far away after the evaluation: the summary still tells that evaluation.
    SphDatabase& d = sph_database;
    d.x[18] = 100.0;
    std::array<int32_t, 12> c{};
    std::array<double, 26> v{};
    ASSERT_EQ(sph_get_blast_summary(1, c.data(), v.data()), 0);
    EXPECT_EQ(c[1], 3);
    EXPECT_EQ(c[2], 3);
    EXPECT_EQ(c[6], 3);
    // The next evaluation sees it outside: targets 8 and 11, and the one pair 1-11.
    ASSERT_EQ(sph_blast_load_compute_at(0.125), 0);
    ASSERT_EQ(sph_get_blast_summary(1, c.data(), v.data()), 0);
    EXPECT_EQ(c[1], 2);
    EXPECT_EQ(c[2], 1);
    EXPECT_EQ(c[6], 1);
    EXPECT_EQ(c[4], 4);  // 7 now a skipped target too
    // After the window (t > 0.25) nothing is projected: no force and no copied pairs.
    ASSERT_EQ(sph_blast_load_compute_at(0.5), 0);
    ASSERT_EQ(sph_get_blast_summary(1, c.data(), v.data()), 0);
    EXPECT_EQ(c[2], 1);
    EXPECT_EQ(c[5], 0);
    EXPECT_EQ(c[6], 0);
    EXPECT_EQ(v[13], 0.0);
}

// A new initialisation after a full model leaves no trace of it: every region, snapshot
// and pair count of the blast regions, and every slot of the material tables, as they were
// before the deck was read. The case uses every phase, so each table has slots to clear.
TEST_F(BlastSummary, InitializeAfterAModelLeavesNothingOfIt) {
    build_hand_case();
    if (HasFatalFailure()) return;
    ASSERT_GT(sph_blast.blast_region_count, 0);
    ASSERT_EQ(sph_blast_candidate_pair_count(0), 3);
    ASSERT_GT(sph_blast.blast_snapshots[0].blast_source_count, 0);
    ASSERT_GT(sph_solid.solid_material_count + sph_shell.shell_material_count +
                  sph_explosive_state.explosive_material_count + sph_gas.gas_material_count,
              0);
    sph_finalize();
    sph_initialize();

    EXPECT_EQ(sph_blast.blast_region_count, 0);
    for (int r = 0; r < sph_blast_max_regions; ++r) {
        SCOPED_TRACE(r);
        const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
        EXPECT_EQ(reg.blast_region_name, "");
        EXPECT_EQ(reg.blast_target_set_name, "");
        EXPECT_EQ(reg.blast_center, (std::array<double, 3>{0.0, 0.0, 0.0}));
        EXPECT_EQ(reg.blast_radius, 0.0);
        EXPECT_EQ(reg.blast_source_phase, sph_blast_phase_none);
        EXPECT_EQ(reg.blast_target_phase, sph_blast_phase_none);
        EXPECT_EQ(reg.blast_load_scale, 0.0);
        EXPECT_EQ(reg.blast_time_window, 0.0);
        EXPECT_EQ(reg.blast_projection_mode, sph_blast_mode_radial);
        EXPECT_FALSE(reg.blast_region_enabled);
        const SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
        EXPECT_EQ(s.blast_source_count + s.blast_target_count + s.blast_skipped_source_count +
                      s.blast_skipped_target_count + s.blast_water_count + s.blast_gas_count + s.blast_explosive_count,
                  0);
        for (double x : {s.blast_source_mass, s.blast_source_energy, s.blast_source_pressure_mean, s.blast_gas_volume,
                         s.blast_explosive_progress_mean, s.blast_water_pressure_min, s.blast_water_pressure_max})
            EXPECT_EQ(x, 0.0);
        EXPECT_EQ(sph_blast_candidate_pair_count(r), 0);
    }
    EXPECT_EQ(sph_solid.solid_material_count, 0);
    for (const SphSolidMaterial& m : sph_solid.solid_materials) {
        EXPECT_EQ(m.solid_material_ids, 0);
        EXPECT_EQ(m.solid_material_names, "");
        EXPECT_FALSE(m.params.elastic_defined);
        EXPECT_EQ(m.params.elastic_e, 0.0);
        EXPECT_EQ(m.params.jc_tmelt, 1793.0);
    }
    EXPECT_EQ(sph_shell.shell_material_count, 0);
    for (const SphShellMaterial& m : sph_shell.shell_materials) {
        EXPECT_EQ(m.shell_material_ids, 0);
        EXPECT_EQ(m.shell_material_names, "");
        EXPECT_FALSE(m.params.elastic_defined);
        EXPECT_EQ(m.params.elastic_e, 0.0);
    }
    EXPECT_EQ(sph_explosive_state.explosive_material_count, 0);
    for (const SphExplosiveMaterial& m : sph_explosive_state.explosive_materials) {
        EXPECT_EQ(m.explosive_material_id, 0);
        EXPECT_EQ(m.explosive_material_name, "");
        EXPECT_EQ(m.explosive_density0, 0.0);
        EXPECT_FALSE(m.explosive_control_defined);
    }
    EXPECT_EQ(sph_gas.gas_material_count, 0);
    EXPECT_EQ(sph_gas.gas_material_name, "GAS");
    for (const SphGasMaterial& m : sph_gas.gas_materials) {
        EXPECT_EQ(m.gas_material_ids, 0);
        EXPECT_EQ(m.gas_material_names, "");
        EXPECT_FALSE(m.gas_material_eos_defined);
        EXPECT_EQ(m.gas_material_gamma, 1.4);
    }
}

TEST_F(BlastSummary, RegionNumbersAndGuards) {
    std::array<int32_t, 12> c{};
    std::array<double, 26> v{};
    auto spoil = [&] {
        c.fill(-7);
        v.fill(-7.0);
    };
    auto expect_zeros = [&](const char* what) {
        for (int32_t x : c) EXPECT_EQ(x, 0) << what;
        for (double x : v) EXPECT_EQ(x, 0.0) << what;
    };
    struct Guard {
        const char* what;
        const char* message;
    };
    // Not initialised, then initialised without a model, then with a deck read but not built.
    const Guard guards[] = {{"not initialised", "Quorrel API is not initialized"},
                            {"no model", "Quorrel model is not built"},
                            {"read, not built", "Quorrel model is not built"}};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(guards[k].what);
        if (k == 1) sph_initialize();
        if (k == 2) {
            ASSERT_EQ(sph_read_inp(decks + "/blast_one.inp"), 0) << sph_error_message();
        }
        spoil();
        EXPECT_EQ(sph_get_blast_summary(1, c.data(), v.data()), sph_error_state);
        EXPECT_EQ(sph_error_code(), sph_error_state);
        EXPECT_EQ(sph_error_message(), guards[k].message);
        expect_zeros(guards[k].what);
    }
    ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
    for (int32_t region : {0, 33, -1}) {
        SCOPED_TRACE(region);
        spoil();
        EXPECT_EQ(sph_get_blast_summary(region, c.data(), v.data()), sph_error_argument);
        EXPECT_EQ(sph_error_message(), "Blast summary region is out of range");
        expect_zeros("out of range");
        spoil();
        EXPECT_EQ(sph_blast_load_get_summary(region, c.data(), v.data()), sph_error_argument);
        EXPECT_EQ(sph_error_message(), "Blast summary region is out of range");
        expect_zeros("out of range, module");
    }
    // blast_one.inp has one region: 2 and 32 are in range and empty.
    for (int32_t region : {2, 32}) {
        SCOPED_TRACE(region);
        spoil();
        EXPECT_EQ(sph_get_blast_summary(region, c.data(), v.data()), 0);
        expect_zeros("above the count");
    }
    spoil();
    ASSERT_EQ(sph_get_blast_summary(1, c.data(), v.data()), 0);
    EXPECT_EQ(c[0], 1);
    EXPECT_EQ(v[13], 4.0);
}

}  // namespace
