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
#include "quorrel_coupling_test.h"
#include "quorrel_interface_test.h"

namespace quorrel::test {

// Drives the interface's own read and build, as a host does: the build ends with a clear of
// the imports, so every model here starts at import epoch 1.
class CouplingTest : public ApiDeckTest {
protected:
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
    number_coupling_diagnostics(0.5);
    SphCouplingInterface& c = sph_coupling;
    c.coupling_work = c.coupling_energy = -1.0;
    c.coupling_momentum = {-2.0, -2.0, -2.0};
    c.coupling_facet_input_force = c.coupling_facet_distributed_force = {-3.0, -3.0, -3.0};
    c.coupling_facet_input_moment = c.coupling_facet_distributed_moment = {-4.0, -4.0, -4.0};
    c.coupling_epoch = -5;
}

}  // namespace quorrel::test
