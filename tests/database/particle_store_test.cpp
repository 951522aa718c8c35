#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "quorrel_test.h"

using namespace quorrel;

class ParticleStore : public test::QuorrelTest {};

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

namespace {

using AnyArray = std::variant<std::vector<int32_t>*, std::vector<int64_t>*, std::vector<double>*>;

struct ParticleArrayCase {
    const char* name;
    AnyArray array;
    std::size_t components;
};

// The per-particle arrays with their components per particle, in the store's order.
std::vector<ParticleArrayCase> particle_arrays() {
    SphDatabase& d = sph_database;
    return {
        {"particle_id_ext", &d.particle_id_ext, 1}, {"particle_phase", &d.particle_phase, 1},
        {"particle_status", &d.particle_status, 1}, {"material_id", &d.material_id, 1},
        {"section_id", &d.section_id, 1},           {"x0", &d.x0, 3},
        {"x", &d.x, 3},                             {"v", &d.v, 3},
        {"a", &d.a, 3},                             {"vhalf", &d.vhalf, 3},
        {"mass", &d.mass, 1},                       {"rho", &d.rho, 1},
        {"volume", &d.volume, 1},                   {"pressure", &d.pressure, 1},
        {"internal_energy", &d.internal_energy, 1}, {"temperature", &d.temperature, 1},
        {"h", &d.h, 1},                             {"drho_dt", &d.drho_dt, 1},
        {"acc_pressure", &d.acc_pressure, 3},       {"acc_viscosity", &d.acc_viscosity, 3},
        {"acc_body", &d.acc_body, 3},               {"particle_cell_id", &d.particle_cell_id, 1},
        {"cell_next", &d.cell_next, 1},             {"neighbor_count", &d.neighbor_count, 1},
        {"neighbor_offset", &d.neighbor_offset, 1},
    };
}

}  // namespace

// The memory check must count what the allocation makes: every array sized for each
// particle's components, all of them released again, and their bytes (plus the node
// map) the per-particle cost that the check multiplies by the count.
TEST_F(ParticleStore, EveryPerParticleArrayIsSizedReleasedAndCounted) {
    ASSERT_EQ(sph_db_allocate(3), 0);
    const auto arrays = particle_arrays();
    ASSERT_EQ(arrays.size(), 25u);
    std::size_t array_bytes = 0;
    for (const auto& c : arrays)
        std::visit(
            [&](auto* v) {
                EXPECT_EQ(v->size(), 3 * c.components) << c.name;
                array_bytes += c.components * sizeof(v->front());
            },
            c.array);
    // 32 doubles (five triples, eight scalars, three more triples), eight 32-bit
    // integers and the 64-bit neighbour offset.
    EXPECT_EQ(array_bytes, 32u * 8 + 8u * 4 + 8u);
    // The node map adds a bucket pointer and a 32-byte heap node per particle.
    EXPECT_EQ(sph_db_bytes_per_particle(), array_bytes + 8 + 32);

    sph_db_free();
    for (const auto& c : arrays)
        std::visit([&](auto* v) { EXPECT_EQ(v->capacity(), 0u) << c.name; }, c.array);
}

namespace {

enum class Owner { water, gas, solid, gas_history };

struct DiagnosticField {
    const char* name;
    Owner owner;
    std::variant<int32_t*, double*, std::array<double, 3>*> field;
};

std::vector<DiagnosticField> diagnostic_fields() {
    SphDatabase& d = sph_database;
    return {
        {"water_particle_count", Owner::water, &d.water_particle_count},
        {"water_mass", Owner::water, &d.water_mass},
        {"water_momentum", Owner::water, &d.water_momentum},
        {"water_max_pressure", Owner::water, &d.water_max_pressure},
        {"water_min_density", Owner::water, &d.water_min_density},
        {"water_max_density", Owner::water, &d.water_max_density},
        {"water_pressure_impulse", Owner::water, &d.water_pressure_impulse},
        {"water_dt_cfl", Owner::water, &d.water_dt_cfl},
        {"water_dt_accel", Owner::water, &d.water_dt_accel},
        {"water_dt_viscous", Owner::water, &d.water_dt_viscous},
        {"gas_particle_count", Owner::gas, &d.gas_particle_count},
        {"gas_mass", Owner::gas, &d.gas_mass},
        {"gas_volume", Owner::gas, &d.gas_volume},
        {"gas_momentum", Owner::gas, &d.gas_momentum},
        {"gas_center", Owner::gas, &d.gas_center},
        {"gas_mean_pressure", Owner::gas, &d.gas_mean_pressure},
        {"gas_max_pressure", Owner::gas, &d.gas_max_pressure},
        {"gas_min_density", Owner::gas, &d.gas_min_density},
        {"gas_max_density", Owner::gas, &d.gas_max_density},
        {"gas_equivalent_radius", Owner::gas, &d.gas_equivalent_radius},
        {"gas_radius_rate", Owner::gas, &d.gas_radius_rate},
        {"gas_center_shift", Owner::gas, &d.gas_center_shift},
        {"gas_dt_cfl", Owner::gas, &d.gas_dt_cfl},
        {"gas_dt_accel", Owner::gas, &d.gas_dt_accel},
        {"gas_dtcrit", Owner::gas, &d.gas_dtcrit},
        {"gas_previous_center", Owner::gas_history, &d.gas_previous_center},
        {"gas_previous_equivalent_radius", Owner::gas_history, &d.gas_previous_equivalent_radius},
        {"solid_particle_count", Owner::solid, &d.solid_particle_count},
        {"solid_failed_count", Owner::solid, &d.solid_failed_count},
        {"solid_reference_neighbor_min", Owner::solid, &d.solid_reference_neighbor_min},
        {"solid_correction_status_max", Owner::solid, &d.solid_correction_status_max},
        {"solid_mass", Owner::solid, &d.solid_mass},
        {"solid_momentum", Owner::solid, &d.solid_momentum},
        {"solid_kinetic_energy", Owner::solid, &d.solid_kinetic_energy},
        {"solid_internal_energy_total", Owner::solid, &d.solid_internal_energy_total},
        {"solid_max_von_mises", Owner::solid, &d.solid_max_von_mises},
        {"solid_min_plastic_strain", Owner::solid, &d.solid_min_plastic_strain},
        {"solid_max_plastic_strain", Owner::solid, &d.solid_max_plastic_strain},
        {"solid_min_damage", Owner::solid, &d.solid_min_damage},
        {"solid_max_damage", Owner::solid, &d.solid_max_damage},
        {"solid_min_softening", Owner::solid, &d.solid_min_softening},
        {"solid_max_softening", Owner::solid, &d.solid_max_softening},
        {"solid_dt_cfl", Owner::solid, &d.solid_dt_cfl},
        {"solid_dt_accel", Owner::solid, &d.solid_dt_accel},
        {"solid_dtcrit", Owner::solid, &d.solid_dtcrit},
        {"solid_correction_det_min", Owner::solid, &d.solid_correction_det_min},
        {"solid_max_strain_rate", Owner::solid, &d.solid_max_strain_rate},
        {"solid_max_acceleration", Owner::solid, &d.solid_max_acceleration},
        {"solid_internal_force_residual", Owner::solid, &d.solid_internal_force_residual},
    };
}

struct Mark {
    void operator()(int32_t* f) const { *f = 7; }
    void operator()(double* f) const { *f = 2.5; }
    void operator()(std::array<double, 3>* f) const { *f = {1.5, -2.5, 3.5}; }
};

struct IsMarked {
    bool operator()(const int32_t* f) const { return *f == 7; }
    bool operator()(const double* f) const { return *f == 2.5; }
    bool operator()(const std::array<double, 3>* f) const { return *f == std::array<double, 3>{1.5, -2.5, 3.5}; }
};

struct IsZero {
    bool operator()(const int32_t* f) const { return *f == 0; }
    bool operator()(const double* f) const { return *f == 0.0; }
    bool operator()(const std::array<double, 3>* f) const { return *f == std::array<double, 3>{}; }
};

}  // namespace

// Each clear zeroes every diagnostic of its own phase and nothing else; the gas history
// survives every clear, the free and a new allocation included.
TEST_F(ParticleStore, DiagnosticsClearsZeroTheirOwnPhaseOnly) {
    const struct {
        const char* name;
        void (*run)();
        bool water, gas, solid;  // phases whose diagnostics end at zero
    } cases[] = {
        {"water clear", sph_db_clear_water_diagnostics, true, false, false},
        {"gas clear", sph_db_clear_gas_diagnostics, false, true, false},
        {"solid clear", sph_db_clear_solid_diagnostics, false, false, true},
        {"free", sph_db_free, true, true, true},
        {"allocate", [] { ASSERT_EQ(sph_db_allocate(2), 0); }, true, true, true},
    };
    const auto fields = diagnostic_fields();
    for (const auto& c : cases) {
        for (const auto& f : fields) std::visit(Mark{}, f.field);
        c.run();
        for (const auto& f : fields) {
            const bool cleared = (f.owner == Owner::water && c.water) || (f.owner == Owner::gas && c.gas) ||
                                 (f.owner == Owner::solid && c.solid);
            if (cleared)
                EXPECT_TRUE(std::visit(IsZero{}, f.field)) << c.name << ": " << f.name;
            else
                EXPECT_TRUE(std::visit(IsMarked{}, f.field)) << c.name << ": " << f.name;
        }
    }
}
