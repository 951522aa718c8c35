#include <gtest/gtest.h>

#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"

using namespace quorrel;

class ParticleStore : public ::testing::Test {
protected:
    void SetUp() override {
        sph_error_clear();
        sph_db_free();
    }
    void TearDown() override { sph_db_free(); }
};

TEST_F(ParticleStore, NewParticlesHaveTheirDefaults) {
    ASSERT_EQ(sph_db_allocate(3), 0);
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.npart, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.particle_id_ext[i], i + 1);
        EXPECT_EQ(d.particle_phase[i], sph_phase_solid);
        EXPECT_EQ(d.particle_status[i], sph_status_active);
        EXPECT_EQ(d.material_id[i], 1);
        EXPECT_EQ(d.section_id[i], 0);
        EXPECT_EQ(d.rho[i], 1000.0);
        EXPECT_EQ(d.mass[i], 1.0);
        EXPECT_EQ(d.volume[i], 1.0);
        EXPECT_EQ(d.h[i], 1.0);
        EXPECT_EQ(d.temperature[i], 293.15);
        EXPECT_EQ(d.pressure[i], 0.0);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(d.x[3 * i + k], 0.0);
            EXPECT_EQ(d.v[3 * i + k], 0.0);
            EXPECT_EQ(d.a[3 * i + k], 0.0);
            EXPECT_EQ(d.acc_body[3 * i + k], 0.0);
        }
    }
    EXPECT_EQ(sph_db_find_node(2), 1);  // default node number is the 1-based index
}

TEST_F(ParticleStore, AllocationEmptiesRecordsAndHandlesBadCounts) {
    ASSERT_EQ(sph_db_allocate(2), 0);
    ASSERT_EQ(sph_db_add_material("STEEL", "SOLID"), 0);
    ASSERT_EQ(sph_db_allocate(0), 0);
    EXPECT_EQ(sph_database.npart, 0);
    EXPECT_TRUE(sph_database.materials.empty());
    EXPECT_TRUE(sph_database.x.empty());

    ASSERT_EQ(sph_db_allocate(2), 0);
    EXPECT_EQ(sph_db_allocate(-1), 1);
    EXPECT_EQ(sph_error_message(), "particle count must be non-negative");
    EXPECT_EQ(sph_database.npart, 2);  // untouched

    // A count that cannot be had is reported, not left to the operating system.
    EXPECT_EQ(sph_db_allocate(2147483647), 5);
    EXPECT_EQ(sph_error_message(), "failed to allocate particle database");
    EXPECT_EQ(sph_database.npart, 0);
    EXPECT_TRUE(sph_database.x.empty());
}

TEST_F(ParticleStore, SetNodeChecksIndexAndKeepsFirstMatchLookup) {
    ASSERT_EQ(sph_db_allocate(3), 0);
    const double c[3] = {1.0, 2.0, 3.0};
    EXPECT_EQ(sph_db_set_node(-1, 7, c), 1);
    EXPECT_EQ(sph_error_message(), "particle index is out of range");
    EXPECT_EQ(sph_db_set_node(3, 7, c), 1);
    EXPECT_EQ(sph_database.particle_id_ext[2], 3);

    ASSERT_EQ(sph_db_set_node(0, 10, c), 0);
    ASSERT_EQ(sph_db_set_node(1, 20, c), 0);
    ASSERT_EQ(sph_db_set_node(2, 10, c), 0);  // duplicate node number
    EXPECT_EQ(sph_database.x[0], 1.0);
    EXPECT_EQ(sph_database.x0[2], 3.0);
    EXPECT_EQ(sph_db_find_node(10), 0);
    EXPECT_EQ(sph_db_find_node(20), 1);
    EXPECT_EQ(sph_db_find_node(1), -1);  // replaced default numbers are gone
    EXPECT_EQ(sph_db_find_node(3), -1);
    // Renumbering the first holder exposes the next one.
    ASSERT_EQ(sph_db_set_node(0, 30, c), 0);
    EXPECT_EQ(sph_db_find_node(10), 2);
}

TEST_F(ParticleStore, StateQueryNeedsRoomForEveryParticle) {
    ASSERT_EQ(sph_db_allocate(2), 0);
    sph_database.v[3] = 4.0;
    std::vector<int32_t> ids(2), ph(2), st(2), mat(2), sec(2);
    std::vector<double> x(6), v(6), a(6), rho(2), p(2), e(2), t(2), h(2);
    int32_t count = -1;
    EXPECT_EQ(sph_db_get_particle_state(1, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                        v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), h.data(),
                                        count),
              1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(sph_error_message(), "particle state buffer is too small");
    EXPECT_EQ(ids[0], 0);
    ASSERT_EQ(sph_db_get_particle_state(2, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                        v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), h.data(),
                                        count),
              0);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(v[3], 4.0);
    EXPECT_EQ(t[0], 293.15);
    int32_t n = 0, ndim = 0;
    sph_db_get_particle_state_capacity(n, ndim);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(ndim, 3);
}

TEST_F(ParticleStore, NeighborStorageSizes) {
    EXPECT_EQ(sph_db_allocate_neighbor_storage(-1, 0), 1);
    EXPECT_EQ(sph_error_message(), "neighbor storage sizes must be non-negative");
    EXPECT_EQ(sph_db_allocate_neighbor_storage(0, 0), 0);
    EXPECT_TRUE(sph_database.cell_head.empty());
    EXPECT_EQ(sph_db_allocate_neighbor_storage(10, 4), 0);
    EXPECT_EQ(sph_database.cell_head.size(), 4u);
    EXPECT_GE(sph_database.neighbor_list.size(), 10u);
}

TEST_F(ParticleStore, GasClearKeepsHistory) {
    sph_database.gas_previous_center = {1.0, 2.0, 3.0};
    sph_database.gas_previous_equivalent_radius = 4.0;
    sph_database.gas_mass = 5.0;
    sph_db_clear_gas_diagnostics();
    EXPECT_EQ(sph_database.gas_mass, 0.0);
    EXPECT_EQ(sph_database.gas_previous_center[1], 2.0);
    EXPECT_EQ(sph_database.gas_previous_equivalent_radius, 4.0);
}
