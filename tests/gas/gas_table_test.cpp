// The gas material table: registration and its limit, the defaults a slot takes, the
// clear and the rebuild from a file that carries no table.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"
#include "quorrel_test.h"

namespace quorrel::test {
namespace {

class GasTable : public QuorrelTest {
protected:
    // A database material, noted by the gas phase as the reader does.
    static void material(const std::string& name, const std::string& type, double density) {
        ASSERT_EQ(sph_db_add_material(name, type), 0);
        if (density > 0.0) {
            ASSERT_EQ(sph_db_set_material_density(name, density), 0);
        }
        sph_gas_note_material(name, type);
    }
    static const SphGasMaterial& slot(int k) { return sph_gas.gas_materials[static_cast<std::size_t>(k)]; }
};

TEST_F(GasTable, SlotsTakeTheCardLevelValuesOfTheirTime) {
    ASSERT_EQ(sph_db_allocate(1), 0);
    // AIR has a density; FOG and SMOKE have none, so their EOS cards fall back: an ideal
    // gas to gas_rho0 as it stands when the card is read (1.0 at first, then the RHO0 of
    // the JWL card before it), a JWL gas to its own RHO0.
    material("AIR", "gas", 1.2);
    material("FOG", "Gas", 0.0);
    material("SMOKE", "GAS", 0.0);
    material("STEEL", "solid", 7800.0);  // not a gas: not in the table
    ASSERT_EQ(sph_gas.gas_material_count, 3);
    EXPECT_EQ(slot(0).gas_material_ids, 1);
    EXPECT_EQ(slot(2).gas_material_names, "SMOKE");
    EXPECT_EQ(slot(0).gas_material_density_default, 1.2);
    EXPECT_EQ(sph_gas.gas_material_name, "SMOKE");  // the last gas material noted

    ASSERT_EQ(sph_gas_set_ideal("fog", 1.4, 2.0, 0.0), 0);  // names match without regard to case
    EXPECT_EQ(slot(1).gas_material_density_default, 1.0);
    EXPECT_EQ(slot(1).gas_material_rho0, 1.0);
    ASSERT_EQ(sph_gas_set_jwl("AIR", 1630.0, 3.7e11, 3.2e9, 4.15, 0.95, 0.3, 4.3e6), 0);
    EXPECT_EQ(slot(0).gas_material_density_default, 1.2);  // its *DENSITY wins
    EXPECT_EQ(slot(0).gas_material_rho0, 1630.0);
    ASSERT_EQ(sph_gas_set_ideal("SMOKE", 1.3, 5.0, 7.0), 0);
    EXPECT_EQ(slot(2).gas_material_density_default, 1630.0);  // gas_rho0 after the JWL card
    EXPECT_EQ(slot(2).gas_material_p0, 7.0);
    EXPECT_EQ(sph_gas.gas_eos_type, gas_eos_ideal);
    EXPECT_EQ(sph_gas.gas_material_internal_id, 3);

    // A slot registered after a particle-control card and an EOS card takes their values.
    ASSERT_EQ(sph_gas_set_particle_control(0.5, 2.0, 3.0), 0);
    material("HELIUM", "gas", 0.17);
    EXPECT_EQ(slot(3).gas_material_default_mass, 2.0);
    EXPECT_EQ(slot(3).gas_material_energy_default, 5.0);
    EXPECT_EQ(slot(3).gas_material_gamma, 1.3);
    EXPECT_EQ(slot(0).gas_material_default_h, 0.5);  // and it reached the earlier slots

    // The unbound count: no section binds any of the four; one section binds AIR.
    EXPECT_EQ(sph_gas_count_unbound_materials(), 4);
    const int32_t members[] = {1};
    ASSERT_EQ(sph_db_add_nset("BUBBLE", 1, members), 0);
    ASSERT_EQ(sph_db_add_section("BUBBLE", "SECTION", "AIR", 0.0, 3, 5.0 / 6.0, ""), 0);
    EXPECT_EQ(sph_gas_count_unbound_materials(), 3);
}

TEST_F(GasTable, AFullTableTakesNoFurtherMaterial) {
    // The database holds 32 materials, so a full gas table is made by hand: slot 0 is AIR,
    // the other 31 stand for materials of another model.
    ASSERT_EQ(sph_db_allocate(1), 0);
    material("AIR", "GAS", 1.2);
    ASSERT_EQ(sph_db_add_material("HELIUM", "GAS"), 0);
    SphGas& g = sph_gas;
    for (int k = 1; k < sph_gas_max_materials; ++k) g.gas_materials[static_cast<std::size_t>(k)].gas_material_ids = 100 + k;
    g.gas_material_count = sph_gas_max_materials;
    sph_gas_note_material("HELIUM", "GAS");  // left out without a word
    EXPECT_EQ(g.gas_material_count, sph_gas_max_materials);
    EXPECT_EQ(sph_gas_table_index_by_material_id(2), -1);
    EXPECT_EQ(sph_gas_set_ideal("HELIUM", 1.67, 1.0, 0.0), sph_error_input);
    EXPECT_EQ(sph_error_message(), "too many Gas material records");
    // AIR, already in, still takes its card.
    EXPECT_EQ(sph_gas_set_ideal("AIR", 1.4, 1.0, 0.0), 0) << sph_error_message();
}

TEST_F(GasTable, ClearingTheTableKeepsTheCardLevelSettings) {
    ASSERT_EQ(sph_db_allocate(1), 0);
    material("AIR", "GAS", 1.2);
    ASSERT_EQ(sph_gas_set_stiffened("AIR", 1000.0, 4.4, 1.0, 6e8), 0);
    sph_gas_clear_material_table();
    EXPECT_EQ(sph_gas.gas_material_count, 0);
    EXPECT_EQ(slot(0).gas_material_ids, 0);
    EXPECT_FALSE(slot(0).gas_material_eos_defined);
    EXPECT_EQ(slot(0).gas_material_gamma, 1.4);
    EXPECT_EQ(slot(0).gas_material_temperature_default, 293.15);
    EXPECT_EQ(sph_gas.gas_pinf, 6e8);
    EXPECT_TRUE(sph_gas.gas_eos_defined);
    EXPECT_EQ(sph_gas_table_index_by_material_id(1), -1);
}

TEST_F(GasTable, RebuildFromAFileWithoutTable) {
    // Particle 0 water, 1 inactive gas, 2 and 3 active gas: the first active gas particle
    // and the card-level settings (as a file restores them) make slot 0.
    ASSERT_EQ(sph_db_allocate(4), 0);
    SphDatabase& d = sph_database;
    d.particle_phase = {sph_phase_water, sph_phase_gas, sph_phase_gas, sph_phase_gas};
    d.particle_status[1] = sph_status_inactive;
    d.material_id = {1, 5, 2, 9};
    d.rho[2] = 1.7;
    d.temperature[2] = 300.0;
    SphGas& g = sph_gas;
    g.gas_material_name = "AIR";
    g.gas_eos_type = gas_eos_stiffened;
    g.gas_e0 = 5.0;
    g.gas_gamma = 1.3;
    g.gas_pinf = 2.0;
    g.gas_default_mass = 0.25;
    sph_gas_source.gas_mass_source = {9.0};  // left from another model
    ASSERT_EQ(sph_gas_rebuild_legacy_restart_state(), 0);
    ASSERT_EQ(g.gas_material_count, 1);
    const SphGasMaterial& s = slot(0);
    EXPECT_EQ(s.gas_material_ids, 2);
    EXPECT_EQ(s.gas_material_names, "AIR");
    EXPECT_TRUE(s.gas_material_eos_defined);
    EXPECT_EQ(s.gas_material_eos_type, gas_eos_stiffened);
    EXPECT_EQ(s.gas_material_density_default, 1.7);
    EXPECT_EQ(s.gas_material_temperature_default, 300.0);
    EXPECT_EQ(s.gas_material_energy_default, 5.0);
    EXPECT_EQ(s.gas_material_gamma, 1.3);
    EXPECT_EQ(s.gas_material_pinf, 2.0);
    EXPECT_EQ(s.gas_material_default_mass, 0.25);
    EXPECT_TRUE(g.gas_material_seen);
    EXPECT_TRUE(g.gas_eos_defined);
    EXPECT_EQ(g.gas_material_internal_id, 2);
    // The sources start again at this model's size, empty.
    EXPECT_EQ(sph_gas_source.gas_mass_source, std::vector<double>(4, 0.0));

    // Without an active gas particle the table stays empty and gas is not marked in use.
    sph_gas_reset();
    d.particle_status[2] = d.particle_status[3] = sph_status_failed;
    ASSERT_EQ(sph_gas_rebuild_legacy_restart_state(), 0);
    EXPECT_EQ(g.gas_material_count, 0);
    EXPECT_FALSE(g.gas_material_seen);
}

TEST_F(GasTable, TheLargestDoubleIsAnOverflow) {
    // Gas values must lie below the largest double: that value itself is refused as the
    // infinities are, wherever it is given or comes out.
    constexpr double big = std::numeric_limits<double>::max();
    ASSERT_EQ(sph_db_allocate(1), 0);
    material("AIR", "GAS", 2.0);
    EXPECT_EQ(sph_gas_set_jwl("AIR", 1.0, big, 0.0, 1.0, 1.0, 0.3, 0.0), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "JWL gas EOS parameters are invalid");
    ASSERT_EQ(sph_gas_set_ideal("AIR", 1.4, 0.0, big), 0);  // P0 is checked where it is used
    double p = 0.0;
    EXPECT_EQ(sph_gas_compute_pressure_for_material(1, 2.0, 0.0, p), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas pressure is not finite");
    sph_database.particle_phase[0] = sph_phase_gas;
    const double momentum[3] = {0.0, 0.0, 0.0};
    EXPECT_EQ(sph_gas_add_source_by_particle(0, big, momentum, 0.0), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas source value is not finite");
}

}  // namespace
}  // namespace quorrel::test
