// Coupling loads and totals at the edge of the double range: a step whose sums overflow
// fails and names the total, an import that would take a buffered force or a load balance
// total past the largest double is refused with the buffers left as they were, and the
// single-particle force and facet-load imports refuse what every other import refuses.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_test.h"
#include "database/sph_database.h"
#include "quorrel.h"
#include "quorrel_interface_test.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

using Vec3 = std::array<double, 3>;
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double largest = std::numeric_limits<double>::max();

Vec3 vec(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }
void set_vec(std::vector<double>& a, std::size_t i, const Vec3& v) {
    for (std::size_t k = 0; k < 3; ++k) a[3 * i + k] = v[k];
}

// Ten boundary particles of unit mass (the particle defaults) at (i, 0, 0), nodes 1-10,
// in one coupling region: nothing but an imported force moves them.
std::vector<std::string> row_of_ten() {
    std::vector<std::string> lines = {"*NODE"};
    for (int i = 0; i < 10; ++i) lines.push_back(std::to_string(i + 1) + ", " + std::to_string(i) + ".0, 0.0, 0.0");
    lines.insert(lines.end(), {"*NSET, NSET=ROW", "1, 2, 3, 4, 5, 6, 7, 8, 9, 10",
                               "*MATERIAL, NAME=WALL, TYPE=BOUNDARY", "*DENSITY", "1000.0",
                               "*SECTION, NSET=ROW, MATERIAL=WALL",
                               "*QUORREL, TIME CONTROL, DT=0.001, TIME=1.0, STEPS=100",
                               "*QUORREL, COUPLING REGION, NAME=Row, NSET=ROW"});
    return lines;
}

// The C interface on the row of ten, opened and closed around each test.
class CouplingOverflowThroughC : public test::DeckTest {
protected:
    void SetUp() override {
        DeckTest::SetUp();
        (void)quorrel_finalize();
        ASSERT_EQ(quorrel_initialize(), 0);
        ASSERT_EQ(quorrel_read_inp(write_deck(row_of_ten()).c_str()), 0) << test::last_error();
        ASSERT_EQ(quorrel_build_model(), 0) << test::last_error();
        for (std::size_t i = 0; i < 10; ++i) ASSERT_EQ(sph_database.mass[i], 1.0) << "mass of particle " << i;
    }
    void TearDown() override {
        (void)quorrel_finalize();
        DeckTest::TearDown();
    }
    // The same force on every particle of the row.
    static int force_on_all(const Vec3& f) {
        std::vector<int> ids;
        std::vector<double> forces;
        for (int k = 1; k <= 10; ++k) {
            ids.push_back(k);
            forces.insert(forces.end(), f.begin(), f.end());
        }
        return quorrel_coupling_apply_particle_forces(1, 10, ids.data(), forces.data());
    }
    static std::array<double, 27> diagnostics() {
        std::array<double, 27> values{};
        std::array<int, 12> counts{};
        EXPECT_EQ(quorrel_coupling_get_diagnostics(values.data(), 27, counts.data(), 12), 0) << test::last_error();
        return values;
    }
    static void expect_clock(double time, int step) {
        double t = -1.0;
        int s = -1;
        ASSERT_EQ(quorrel_get_current_time(&t, &s), 0);
        EXPECT_EQ(t, time);
        EXPECT_EQ(s, step);
    }
};

class CouplingOverflow : public test::CouplingTest {};

}  // namespace

// Forces of 1e160 (each component) on all ten particles. Step 1 starts at rest: a = 1e160,
// v = dt a = 1e157, x = x0 + dt^2/2 a = 5e153 in every component (x0 is lost beside it).
// Step 2: each particle's work v.F dt = 3 * 1e157 * 1e160 * 1e-3 = 3e314 is beyond the
// range, so the step fails; its moment x cross F, inf - inf in the plain sum, is exactly 0
// summed again (x1 = x2), and does not fail it. The failed step leaves the clock and the
// totals of step 1: a cumulative impulse of 10 * 1e160 * 1e-3 = 1e158 and no work.
TEST_F(CouplingOverflowThroughC, StepWhoseWorkOverflowsFailsAndKeepsTheTotalsOfTheStepBefore) {
    const Vec3 f = {1e160, 1e160, 1e160};
    ASSERT_EQ(force_on_all(f), 0) << test::last_error();
    ASSERT_EQ(quorrel_advance_explicit(0.001), 0) << test::last_error();
    EXPECT_NEAR(diagnostics()[9], 1e158, 1e143);
    ASSERT_EQ(force_on_all(f), 0) << test::last_error();
    EXPECT_EQ(quorrel_advance_explicit(0.001), 1);
    EXPECT_EQ(test::last_error(), (test::LastError{1, "Coupling diagnostics overflow: step work is not finite"}));
    expect_clock(0.001, 1);
    const std::array<double, 27> v = diagnostics();
    for (std::size_t k = 0; k < 27; ++k) EXPECT_TRUE(std::isfinite(v[k])) << "diagnostic value " << k + 1;
    for (std::size_t k : {0, 1, 2, 3, 4, 5, 15}) EXPECT_EQ(v[k], 0.0) << "step value " << k + 1;
    EXPECT_NEAR(v[9], 1e158, 1e143);
    EXPECT_EQ(v[16], 0.0);  // cumulative work
    EXPECT_EQ(v[17], 0.0);  // energy exchange
}

// 8e307 along x on each of ten particles: every buffered force is below the largest
// double, their sum 8e308 is not, taken plainly or again; the first step fails, and so
// does the query of the buffered total.
TEST_F(CouplingOverflowThroughC, StepWhoseForceTotalOverflowsFails) {
    ASSERT_EQ(force_on_all({8e307, 0.0, 0.0}), 0) << test::last_error();
    double total[3] = {-1.0, -1.0, -1.0};
    int32_t motion = -1, skipped = -1, nonfinite = -1, stale = -1, epoch = -1;
    EXPECT_EQ(sph_coupling_get_import_diagnostics(total, motion, skipped, nonfinite, stale, epoch), 1);
    EXPECT_EQ(test::last_error(),
              (test::LastError{1, "Coupling diagnostics overflow: buffered force total is not finite"}));
    EXPECT_EQ((Vec3{total[0], total[1], total[2]}), (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(quorrel_advance_explicit(0.001), 1);
    EXPECT_EQ(test::last_error(), (test::LastError{1, "Coupling diagnostics overflow: step force is not finite"}));
    expect_clock(0.0, 0);
    EXPECT_EQ(diagnostics()[0], 0.0);
}

// Two accepted forces of 1e308 on one particle in one call: the second would make the
// buffered force 2e308. It is refused and counted; the first stays, and the step takes it.
TEST_F(CouplingOverflowThroughC, ForceThatWouldOverflowTheBufferIsRefusedAndTheFirstStays) {
    const int ids[2] = {1, 1};
    const double forces[6] = {1e308, 0.0, 0.0, 1e308, 0.0, 0.0};
    EXPECT_EQ(quorrel_coupling_apply_particle_forces(1, 2, ids, forces), 1);
    EXPECT_EQ(test::last_error(), (test::LastError{1, "coupling buffered force is not finite"}));
    EXPECT_EQ(vec(sph_coupling.coupling_external_force, 0), (Vec3{1e308, 0.0, 0.0}));
    EXPECT_EQ(sph_coupling.coupling_nonfinite_import_count, 1);
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 1);
    ASSERT_EQ(quorrel_advance_explicit(0.001), 0) << test::last_error();
    EXPECT_EQ(diagnostics()[0], 1e308);
}

// Step sums beyond the range, each set up on coupling_step_point.inp (unit masses at
// (0, 1, 0), (10, 0, 0), (20, 0, 0)) with the buffers and totals written directly; dt 1
// unless the case says otherwise.
// A sum whose plain running value overflowed but whose total is representable passes.
TEST_F(CouplingOverflow, StepTotalsBeyondTheRangeFailTheStepAndNameTheTotal) {
    enum Prior { none, cumulative_impulse, momentum_exchange, cumulative_work, energy_exchange };
    struct Case {
        const char* what;
        std::array<Vec3, 3> forces;  // buffered on particles 0-2
        Vec3 x0, v0;                 // of particle 0
        double mass0;
        Prior prior;           // a cumulative total set to 1.5e308 before the step
        const char* quantity;  // empty: the step succeeds
        double dt = 1.0;
    };
    const Vec3 zero{0.0, 0.0, 0.0}, at{0.0, 1.0, 0.0};
    const Case cases[] = {
        // 1e308 + 1e308 - 1e308 overflows on the way; the total is 1e308.
        {"opposite forces cancel", {{{1e308, 0, 0}, {1e308, 0, 0}, {-1e308, 0, 0}}}, at, zero, 1.0, none, ""},
        {"force", {{{1e308, 0, 0}, {1e308, 0, 0}, zero}}, at, zero, 1.0, none, "step force"},
        // (0, 1e300, 0) cross (0, 0, 1e10) = (1e310, 0, 0).
        {"moment", {{{0, 0, 1e10}, zero, zero}}, {0, 1e300, 0}, zero, 1.0, none, "step moment"},
        // F dt = 1e308 * 2; the moment (0, 1, 0) cross (0, 1e308, 0) is 0.
        {"impulse", {{{0, 1e308, 0}, zero, zero}}, at, zero, 1.0, none, "step impulse", 2.0},
        {"cumulative impulse", {{{1e308, 0, 0}, zero, zero}}, at, zero, 1.0, cumulative_impulse,
         "cumulative impulse"},
        {"momentum exchange", {{{1e308, 0, 0}, zero, zero}}, at, zero, 1.0, momentum_exchange, "momentum exchange"},
        // v.F dt = 1e300 * 1e10 * 1.
        {"work", {{{1e10, 0, 0}, zero, zero}}, at, {1e300, 0, 0}, 1.0, none, "step work"},
        {"cumulative work", {{{1e10, 0, 0}, zero, zero}}, at, {1e298, 0, 0}, 1.0, cumulative_work,
         "cumulative work"},
        {"energy exchange", {{{1e10, 0, 0}, zero, zero}}, at, {1e298, 0, 0}, 1.0, energy_exchange,
         "energy exchange"},
        // |(1.5e308, 1.5e308, 0)| = 2.1e308 at a moment (0, 0, -1.5e308).
        {"largest force", {{{1.5e308, 1.5e308, 0}, zero, zero}}, at, zero, 1.0, none, "largest force"},
        // F / m = (1.5e308, 1.5e308, 0): its length 2.1e308.
        {"largest acceleration", {{{1.5e300, 1.5e300, 0}, zero, zero}}, at, zero, 1e-8, none,
         "largest acceleration"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        SphDatabase& d = sph_database;
        SphCouplingInterface& s = sph_coupling;
        ASSERT_EQ(sph_coupling_allocate_imports(), 0) << sph_error_message();
        for (std::size_t i = 0; i < 3; ++i) set_vec(s.coupling_external_force, i, c.forces[i]);
        sph_coupling_rebuild_touched();
        set_vec(d.x, 0, c.x0);
        set_vec(d.v, 0, c.v0);
        d.mass[0] = c.mass0;
        switch (c.prior) {
            case none: break;
            case cumulative_impulse: s.coupling_cumulative_impulse[0] = 1.5e308; break;
            case momentum_exchange: s.coupling_momentum_exchange[0] = 1.5e308; break;
            case cumulative_work: s.coupling_cumulative_work = 1.5e308; break;
            case energy_exchange: s.coupling_energy_exchange = 1.5e308; break;
        }
        if (std::string(c.quantity).empty()) {
            double total[3];
            int32_t motion = 0, skipped = 0, nonfinite = 0, stale = 0, epoch = 0;
            ASSERT_EQ(sph_coupling_get_import_diagnostics(total, motion, skipped, nonfinite, stale, epoch), 0)
                << sph_error_message();
            EXPECT_EQ(total[0], 1e308);
        }
        const SphCouplingVec impulse_before = s.coupling_cumulative_impulse;
        const double work_before = s.coupling_cumulative_work;
        const int st = sph_coupling_apply_imports_to_acceleration(c.dt);
        if (std::string(c.quantity).empty()) {
            ASSERT_EQ(st, 0) << sph_error_message();
            EXPECT_EQ(s.coupling_current_force[0], 1e308);
            EXPECT_EQ(s.coupling_current_moment[2], -1e308);  // particle 0's -y F_x
            continue;
        }
        expect_failure(st, std::string("Coupling diagnostics overflow: ") + c.quantity + " is not finite");
        // The failed step adds nothing to the totals.
        EXPECT_EQ(s.coupling_current_force, (SphCouplingVec{0.0, 0.0, 0.0}));
        EXPECT_EQ(s.coupling_current_work, 0.0);
        EXPECT_EQ(s.coupling_max_external_force, 0.0);
        EXPECT_EQ(s.coupling_cumulative_impulse, impulse_before);
        EXPECT_EQ(s.coupling_cumulative_work, work_before);
    }
}

// A prescribed velocity whose distance from the particle's velocity is beyond the range.
TEST_F(CouplingOverflow, MotionTargetErrorBeyondTheRangeFailsTheStep) {
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    const double target[3] = {-1.5e308, 0.0, 0.0};
    sph_database.v[0] = 1.5e308;
    ASSERT_EQ(sph_coupling_import_motion_velocity("Move", 0, sph_coupling_motion_direct, target), 0)
        << sph_error_message();
    expect_failure(sph_coupling_apply_motion_before_step(),
                   "Coupling diagnostics overflow: velocity error is not finite");
    // 1.5e308 - (-1.5e308) overflows, the distance 3e308 too. Half of each is in range.
    sph_database.v[0] = 0.75e308;
    const double nearer[3] = {-0.75e308, 0.0, 0.0};
    ASSERT_EQ(sph_coupling_import_motion_velocity("Move", 0, sph_coupling_motion_direct, nearer), 0)
        << sph_error_message();
    ASSERT_EQ(sph_coupling_apply_motion_before_step(), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_max_velocity_error, 1.5e308);
}

// Facet resultants on the two shells of summary_coupling.inp (particles 2 and 3, region
// SIDE), moved to where the case puts them: the first item is taken, the one that would
// take a load balance total beyond the range is refused with nothing changed.
TEST_F(CouplingOverflow, FacetLoadThatWouldOverflowABalanceTotalIsRefused) {
    const struct {
        const char* what;
        Vec3 x2, x3;
        const char* message;
        int32_t refused;  // the item refused, from 0
    } cases[] = {
        // At the origin no moment: the input force 1e308 + 1e308 is beyond the range.
        {"input force", {0, 0, 0}, {0, 0, 0}, "coupling facet input force total is not finite", 1},
        // (0, 2, 0) cross (1e308, 0, 0) = (0, 0, -2e308) already on the first facet.
        {"input moment", {0, 2, 0}, {0, 0, 0}, "coupling facet input moment total is not finite", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build("summary_coupling.inp");
        if (HasFatalFailure()) return;
        set_vec(sph_database.x, 2, c.x2);
        set_vec(sph_database.x, 3, c.x3);
        const int32_t ids[2] = {2, 3};
        const double resultants[6] = {1e308, 0.0, 0.0, 1e308, 0.0, 0.0};
        expect_failure(sph_coupling_apply_facet_resultants(0, 2, ids, resultants, sph_coupling_distribution_area, 1),
                       c.message);
        const SphCouplingInterface& s = sph_coupling;
        const double taken = c.refused == 1 ? 1e308 : 0.0;
        EXPECT_EQ(vec(s.coupling_external_force, 2), (Vec3{taken, 0.0, 0.0}));
        EXPECT_EQ(vec(s.coupling_external_force, 3), (Vec3{0.0, 0.0, 0.0}));
        EXPECT_EQ(s.coupling_facet_input_force, (SphCouplingVec{taken, 0.0, 0.0}));
        EXPECT_EQ(s.coupling_facet_distributed_force, (SphCouplingVec{taken, 0.0, 0.0}));
        EXPECT_EQ(s.coupling_imported_force_count, c.refused);
        EXPECT_EQ(s.coupling_nonfinite_import_count, 1);
    }
}

// The further operations' force into acc_body and counted facet load, on unit masses:
// what is not finite, or would take a total beyond the range, is refused, counted and
// changes nothing; the call before it stays.
TEST_F(CouplingOverflow, SingleParticleForceAndFacetLoadRefuseWhatIsNotFinite) {
    enum Kind { particle_force, facet_load };
    const struct {
        const char* what;
        Kind kind;
        Vec3 first, second;  // the first is taken
        const char* message;
    } cases[] = {
        {"a NaN force", particle_force, {1, 2, 3}, {not_a_number, 0, 0}, "coupling force is not finite"},
        {"the largest double as a force", particle_force, {1, 2, 3}, {0, largest, 0}, "coupling force is not finite"},
        // acc_body 1e308 / 1 + 1e308 / 1.
        {"a body acceleration beyond the range", particle_force, {1e308, 0, 0}, {1e308, 0, 0},
         "coupling body acceleration is not finite"},
        // Work: 1e308 + 1e308 in one call's component sum.
        {"work beyond the range", particle_force, {1, 0, 0}, {1e308, 1e308, 0}, "coupling work is not finite"},
        {"a NaN facet load", facet_load, {1, 2, 3}, {0, 0, not_a_number}, "coupling facet load is not finite"},
        {"momentum beyond the range", facet_load, {1e308, 0, 0}, {1e308, 0, 0}, "coupling momentum is not finite"},
        {"energy beyond the range", facet_load, {1, 0, 0}, {1e308, 1e308, 0}, "coupling energy is not finite"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        const auto import = [&c](const Vec3& v) {
            return c.kind == particle_force ? sph_coupling_import_particle_force(0, v.data())
                                            : sph_coupling_import_facet_load_by_index(0, v.data());
        };
        ASSERT_EQ(import(c.first), 0) << sph_error_message();
        const SphCouplingInterface& s = sph_coupling;
        const Vec3 acc_body = vec(sph_database.acc_body, 0);
        const SphCouplingVec momentum = s.coupling_momentum;
        const double work = s.coupling_work, energy = s.coupling_energy;
        expect_failure(import(c.second), c.message);
        EXPECT_EQ(s.coupling_nonfinite_import_count, 1);
        EXPECT_EQ(vec(sph_database.acc_body, 0), acc_body);
        EXPECT_EQ(s.coupling_momentum, momentum);
        EXPECT_EQ(s.coupling_work, work);
        EXPECT_EQ(s.coupling_energy, energy);
        EXPECT_EQ(s.coupling_momentum, (SphCouplingVec{c.first[0], c.first[1], c.first[2]}));
    }
}
