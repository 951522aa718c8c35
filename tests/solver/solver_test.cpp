#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>
#include <cstdio>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "output/sph_output.h"
#include "particle/sph_neighbor.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"
#include "quorrel_test.h"

using namespace quorrel;

class Solver : public test::QuorrelTest {
protected:

    // Solid particles only: no phase gives a positive limit.
    static void solid_pair() {
        ASSERT_EQ(sph_db_allocate(2), 0);
        const double a[3] = {0, 0, 0}, b[3] = {1, 0, 0};
        ASSERT_EQ(sph_db_set_node(0, 1, a), 0);
        ASSERT_EQ(sph_db_set_node(1, 2, b), 0);
    }
};

TEST_F(Solver, ResetControlTakesOneDefaultStep) {
    solid_pair();
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    EXPECT_EQ(sph_control.current_step, 1);
    EXPECT_EQ(sph_control.current_time, 1.0e-6);
    ASSERT_EQ(sph_solver_run_explicit(), 0);  // end time reached: nothing more
    EXPECT_EQ(sph_control.current_step, 1);
}

TEST_F(Solver, LastStepLandsOnTheEndTime) {
    struct Case {
        bool particles;
        double end_time;
        int32_t max_steps;
        int32_t steps;
    };
    const Case cases[] = {
        {true, 2.5e-6, 10, 3},   // 1e-6, 1e-6, then the remainder
        {false, 2.5e-6, 10, 3},  // an empty model steps the same way
        {true, 2.5e-6, 2, 2},    // the budget of one call stops it early
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.particles) solid_pair();
        sph_control.end_time = c.end_time;
        sph_control.max_steps = c.max_steps;
        ASSERT_EQ(sph_solver_run_explicit(), 0);
        EXPECT_EQ(sph_control.current_step, c.steps);
        if (c.steps == 3) {
            EXPECT_EQ(sph_control.current_time, 2.5e-6);
        }
    }
    // A later call continues with a fresh budget.
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    EXPECT_EQ(sph_control.current_step, 3);
    EXPECT_EQ(sph_control.current_time, 2.5e-6);
}

TEST_F(Solver, StableStepCombinesPhaseLimitAndSafety) {
    // One water particle at rest, alpha = beta = 0: every water limit is h/c0 = 2e-4/1000.
    ASSERT_EQ(sph_water_set_eos("TAIT", "W", 1000.0, 1000.0, 7.0, 0.0, 0.0, false), 0);
    ASSERT_EQ(sph_water_set_viscosity("MONAGHAN", "W", 0.0, 0.0, 0.01), 0);
    ASSERT_EQ(sph_db_allocate(1), 0);
    sph_database.particle_phase[0] = sph_phase_water;
    sph_database.h[0] = 2.0e-4;
    sph_control.dt_default = 1.0;
    sph_control.safety_factor = 0.5;
    double dt = 0;
    ASSERT_EQ(sph_solver_phase_dt(dt), 0);
    EXPECT_DOUBLE_EQ(dt, 1.0e-7);
    ASSERT_EQ(sph_solver_estimate_stable_dt(dt), 0);
    EXPECT_DOUBLE_EQ(dt, 1.0e-7);
    // A limit above the default step gives the default step.
    sph_control.dt_default = 5.0e-8;
    ASSERT_EQ(sph_solver_estimate_stable_dt(dt), 0);
    EXPECT_EQ(dt, 5.0e-8);
    // A non-positive safety factor fails with particles, and is not consulted without.
    sph_control.safety_factor = 0.0;
    EXPECT_EQ(sph_solver_estimate_stable_dt(dt), 1);
    EXPECT_EQ(sph_error_message(), "time step safety factor must be positive");
    EXPECT_EQ(sph_solver_run_explicit(), 1);
    EXPECT_EQ(sph_control.current_step, 0);
    ASSERT_EQ(sph_db_allocate(0), 0);
    ASSERT_EQ(sph_solver_estimate_stable_dt(dt), 0);
    EXPECT_EQ(dt, 5.0e-8);
}

TEST_F(Solver, BadStepSizesChangeNothing) {
    solid_pair();
    sph_database.a[0] = 1.0;
    for (double dt : {0.0, -1.0e-6, std::nan(""), double(INFINITY)}) {
        sph_error_clear();
        EXPECT_EQ(sph_solver_advance_explicit(dt), 1);
        EXPECT_EQ(sph_error_message(), "time step must be positive");
        EXPECT_EQ(sph_control.current_time, 0.0);
        EXPECT_EQ(sph_control.current_step, 0);
        EXPECT_EQ(sph_database.a[0], 1.0);
    }
}

TEST_F(Solver, LeapfrogMovesEveryParticleAndStaleLoadsDoNotCarryOver) {
    solid_pair();
    sph_database.particle_phase[1] = sph_phase_boundary;
    sph_database.particle_status[0] = sph_status_failed;
    sph_database.v[0] = 2.0;    // x velocity of particle 0
    sph_database.v[4] = -1.0;   // y velocity of particle 1
    sph_database.a[3] = 100.0;  // left over from an earlier step: cleared before the update
    sph_database.drho_dt[0] = 5.0;  // recomputed by the step: no water, so zero
    ASSERT_EQ(sph_solver_advance_explicit(0.5), 0);
    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.x[0], 1.0);
    EXPECT_EQ(d.x[3], 1.0);
    EXPECT_EQ(d.x[4], -0.5);
    EXPECT_EQ(d.v[0], 2.0);
    EXPECT_EQ(d.vhalf[4], -1.0);
    EXPECT_EQ(d.a[3], 0.0);
    EXPECT_EQ(d.rho[0], 1000.0);
    EXPECT_EQ(sph_control.current_step, 1);
    EXPECT_EQ(sph_control.current_time, 0.5);
}

TEST_F(Solver, OutputEveryThirdStepCountedFromReset) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("quorrel_solver_output_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    solid_pair();
    ASSERT_EQ(sph_output_set_directory(dir.string()), 0);
    ASSERT_EQ(sph_output_set_interval(3), 0);
    sph_control.end_time = 1.0;
    sph_control.max_steps = 10;
    ASSERT_EQ(sph_solver_run_explicit(), 0);
    ASSERT_EQ(sph_control.current_step, 10);
    for (int step = 0; step <= 10; ++step) {
        char name[32];
        std::snprintf(name, sizeof name, "quorrel_%08d.csv", step);
        const bool written = step > 0 && step % 3 == 0;
        EXPECT_EQ(fs::exists(dir / name), written) << name;
    }
    EXPECT_TRUE(fs::exists(dir / "quorrel.pvd"));
    // Output that cannot be written fails the step after time and step have advanced.
    fs::remove_all(dir);
    sph_control.max_steps = 3;
    EXPECT_EQ(sph_solver_run_explicit(), 3);
    EXPECT_EQ(sph_control.current_step, 12);
    sph_control_reset();
}
