// The fixture of the coupling tests that drive the interface's read and build, and a state
// with a distinct number in every diagnostics field.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "interface/sph_api.h"
#include "output/sph_output.h"
#include "quorrel_test.h"

namespace quorrel::test {

// Drives the interface's own read and build, as a host does: the build ends with a clear of
// the imports, so every model here starts at import epoch 1.
class CouplingTest : public DeckTest {
protected:
    void SetUp() override {
        DeckTest::SetUp();
        sph_initialize();
    }
    void TearDown() override {
        sph_finalize();
        DeckTest::TearDown();
    }
    static void build(const std::string& deck) {
        sph_initialize();
        ASSERT_EQ(sph_read_inp(std::string(QUORREL_TEST_DECKS) + "/" + deck), 0) << sph_error_message();
        ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
        ASSERT_EQ(sph_coupling.coupling_epoch, 1);
    }
    std::vector<std::string> csv() const {
        const std::string path = (dir_ / "particles.csv").string();
        EXPECT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
        return test::read_lines(path);
    }
    static void expect_failure(int status, const std::string& message) {
        EXPECT_EQ(status, sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), message);
    }
};

// Value n (1-based) set to n + 0.5 and count n to 100 + n, each through the field the buffer
// table names for it; state the buffer does not show is set to negative values.
inline void numbered_state() {
    SphCouplingInterface& c = sph_coupling;
    c.coupling_current_force = {1.5, 2.5, 3.5};
    c.coupling_current_moment = {4.5, 5.5, 6.5};
    c.coupling_current_impulse = {7.5, 8.5, 9.5};
    c.coupling_cumulative_impulse = {10.5, 11.5, 12.5};
    c.coupling_momentum_exchange = {13.5, 14.5, 15.5};
    c.coupling_current_work = 16.5;
    c.coupling_cumulative_work = 17.5;
    c.coupling_energy_exchange = 18.5;
    c.coupling_max_external_force = 19.5;
    c.coupling_max_acceleration = 20.5;
    c.coupling_max_velocity_error = 21.5;
    c.coupling_max_position_error = 22.5;
    c.coupling_facet_force_error = 23.5;
    c.coupling_facet_moment_error = 24.5;
    c.coupling_max_pressure = 25.5;
    c.coupling_max_traction = 26.5;
    c.coupling_max_penetration = 27.5;
    c.coupling_stale_load_count = 101;
    c.coupling_skipped_particle_count = 102;
    c.coupling_nonfinite_import_count = 103;
    c.coupling_imported_force_count = 104;
    c.coupling_step_load_consumed = 105;
    c.coupling_repeated_import_count = 106;
    c.coupling_duplicate_facet_count = 107;
    c.coupling_invalid_weight_count = 108;
    c.coupling_active_contact_count = 109;
    c.coupling_skipped_contact_count = 110;
    c.coupling_nonfinite_contact_count = 111;
    c.coupling_bad_facet_area_count = 112;
    c.coupling_work = c.coupling_energy = -1.0;
    c.coupling_momentum = {-2.0, -2.0, -2.0};
    c.coupling_facet_input_force = c.coupling_facet_distributed_force = {-3.0, -3.0, -3.0};
    c.coupling_facet_input_moment = c.coupling_facet_distributed_moment = {-4.0, -4.0, -4.0};
    c.coupling_epoch = -5;
}

}  // namespace quorrel::test
