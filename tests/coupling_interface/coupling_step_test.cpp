// Coupling imports as the explicit step consumes them: buffered forces into the
// accelerations and the step totals, prescribed motion before and after the update,
// contact states and the end of the step; then what the host reads back (particle and
// facet exports, region queries, diagnostics) and a closed-form check of a constant force.
#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "interface/sph_api.h"
#include "output/sph_output.h"
#include "coupling_test.h"
#include "shell/sph_shell_state.h"
#include "solver/sph_solver_explicit.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

using Vec3 = std::array<double, 3>;
constexpr Vec3 zero{0.0, 0.0, 0.0};
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Vec3 vec(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }

void set_vec(std::vector<double>& a, std::size_t i, const Vec3& v) {
    for (std::size_t k = 0; k < 3; ++k) a[3 * i + k] = v[k];
}

// Component by component within `tol` (0: exactly).
void expect_vec(const Vec3& actual, const Vec3& expected, double tol, const std::string& what) {
    for (std::size_t k = 0; k < 3; ++k) {
        if (tol == 0.0) {
            EXPECT_EQ(actual[k], expected[k]) << what << " component " << k;
        } else {
            EXPECT_NEAR(actual[k], expected[k], tol) << what << " component " << k;
        }
    }
}

// Positions (0-based) in the diagnostics counts.
enum Count {
    n_stale, n_skipped, n_nonfinite, n_imported, n_consumed, n_repeated, n_duplicate, n_invalid_weight,
    n_active_contact, n_skipped_contact, n_nonfinite_contact, n_bad_area
};
using Values = std::array<double, 27>;
using Counts = std::array<int32_t, 12>;

struct Diagnostics {
    Values v{};
    Counts c{};
};

Diagnostics diagnostics() {
    Diagnostics d;
    EXPECT_EQ(sph_coupling_get_diagnostic_values(27, d.v.data(), 12, d.c.data()), 0) << sph_error_message();
    return d;
}

// Every value within a relative 1e-14 of the hand value (zeros exactly), every count equal.
void expect_diagnostics(const Values& values, const Counts& counts) {
    const Diagnostics d = diagnostics();
    for (std::size_t k = 0; k < values.size(); ++k)
        EXPECT_NEAR(d.v[k], values[k], 1e-14 * std::fabs(values[k])) << "diagnostic value " << k + 1;
    EXPECT_EQ(d.c, counts);
}

int force_on(int region, int32_t export_index, const Vec3& f) {
    return sph_coupling_apply_particle_forces(region, 1, &export_index, f.data());
}

struct Contact {
    int32_t facet;
    Vec3 normal;
    double gap, penetration, pressure;
};

// One contact import call; `count` other than -2 replaces the number of items passed.
int contacts(int region, const std::vector<Contact>& items, int32_t step, int32_t count = -2) {
    std::vector<int32_t> ids;
    std::vector<double> normals, gaps, penetrations, pressures;
    for (const Contact& c : items) {
        ids.push_back(c.facet);
        normals.insert(normals.end(), c.normal.begin(), c.normal.end());
        gaps.push_back(c.gap);
        penetrations.push_back(c.penetration);
        pressures.push_back(c.pressure);
    }
    const int32_t n = count == -2 ? static_cast<int32_t>(items.size()) : count;
    return sph_coupling_apply_contact_state(region, n, ids.data(), normals.data(), gaps.data(), penetrations.data(),
                                            pressures.data(), step);
}

// The coupling columns of one particle's line of the particle CSV: force (42-44), gap (45),
// penetration (46), contact flag (47) and motion flag (51).
struct CsvCoupling {
    Vec3 force{};
    double gap = 0.0, penetration = 0.0;
    int32_t contact_flag = 0, motion_flag = 0;
};

int32_t parse_int(const std::string& field) {
    int32_t value = -999;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    EXPECT_TRUE(ec == std::errc() && end == field.data() + field.size()) << "integer field '" << field << "'";
    return value;
}

CsvCoupling csv_coupling(const std::vector<std::string>& lines, std::size_t i) {
    CsvCoupling out;
    const std::vector<std::string> fields = test::particle_csv_fields(lines, i);
    if (fields.empty()) return out;
    for (std::size_t k = 0; k < 3; ++k) out.force[k] = test::csv_real(fields[41 + k]);
    out.gap = test::csv_real(fields[44]);
    out.penetration = test::csv_real(fields[45]);
    out.contact_flag = parse_int(fields[46]);
    out.motion_flag = parse_int(fields[50]);
    return out;
}

void expect_csv(const CsvCoupling& actual, const CsvCoupling& expected, const std::string& what) {
    expect_vec(actual.force, expected.force, 0.0, what + " coupling force");
    EXPECT_EQ(actual.gap, expected.gap) << what << " gap";
    EXPECT_EQ(actual.penetration, expected.penetration) << what << " penetration";
    EXPECT_EQ(actual.contact_flag, expected.contact_flag) << what << " contact flag";
    EXPECT_EQ(actual.motion_flag, expected.motion_flag) << what << " motion flag";
}

using test::CouplingTest;
using test::numbered_state;

class CouplingStep : public CouplingTest {};
class CouplingMotion : public CouplingTest {};
class CouplingContact : public CouplingTest {};
class CouplingExport : public CouplingTest {};
class CouplingDiagnostics : public CouplingTest {};
class CouplingValidation : public CouplingTest {};

}  // namespace

// ---- Forces through the step (coupling_step_point.inp: unit masses, nothing else loads them) ----

TEST_F(CouplingStep, ForceThroughTwoStepsThenAStepWithout) {
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    SphDatabase& d = sph_database;
    const double dt = 1e-3;

    // Step 1: F = (2, 0, 0) on particle 0, at rest at (0, 1, 0).
    ASSERT_EQ(force_on(0, 0, {2.0, 0.0, 0.0}), 0) << sph_error_message();
    expect_diagnostics({}, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    // a = F / m = (2, 0, 0); vhalf = v + dt/2 a = (0.001, 0, 0); x = x + dt vhalf = (1e-6, 1, 0);
    // v = vhalf + dt/2 a = (0.002, 0, 0).
    expect_vec(vec(d.a, 0), {2.0, 0.0, 0.0}, 0.0, "a after step 1");
    expect_vec(vec(d.vhalf, 0), {0.001, 0.0, 0.0}, 1e-18, "vhalf after step 1");
    expect_vec(vec(d.x, 0), {1e-6, 1.0, 0.0}, 1e-21, "x after step 1");
    expect_vec(vec(d.v, 0), {0.002, 0.0, 0.0}, 1e-18, "v after step 1");
    expect_vec(vec(d.x, 1), {10.0, 0.0, 0.0}, 0.0, "particle 1 stays");
    expect_vec(vec(d.v, 2), zero, 0.0, "particle 2 stays at rest");
    EXPECT_EQ(sph_control.current_step, 1);
    EXPECT_DOUBLE_EQ(sph_control.current_time, dt);
    // Moment x cross F = (0, 1, 0) cross (2, 0, 0) = (1*0 - 0*0, 0*2 - 0*0, 0*0 - 1*2) = (0, 0, -2);
    // impulse F dt = (0.002, 0, 0) into the current, cumulative and exchange totals; work
    // v.F dt with the start velocity 0 is 0; |F| = 2 and |F / m| = 2. The end of the step
    // zeroed the imported-force count and found a force: consumed.
    const Values step1 = {2, 0, 0, 0, 0, -2, 0.002, 0, 0, 0.002, 0, 0, 0.002, 0, 0, 0, 0, 0, 2, 2,
                          0, 0, 0, 0, 0, 0, 0};
    expect_diagnostics(step1, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    expect_vec(sph_coupling.coupling_momentum, {0.002, 0.0, 0.0}, 1e-18, "coupling momentum");
    EXPECT_EQ(sph_coupling.coupling_work, 0.0);

    // Step 2: the same force again. Until it is applied the step totals of step 1 stand.
    ASSERT_EQ(force_on(0, 0, {2.0, 0.0, 0.0}), 0) << sph_error_message();
    expect_diagnostics(step1, {0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    // From v = 0.002, x = (1e-6, 1, 0): v = 0.002 + dt a = 0.004; x = 1e-6 + dt (0.002 + 0.001)
    // = 4e-6 = a t^2/2 at t = 0.002. Moment (1e-6, 1, 0) cross (2, 0, 0) = (0, 0, -2); work
    // v.F dt = 0.002 * 2 * 0.001 = 4e-6; the cumulative impulse is 0.004.
    expect_vec(vec(d.v, 0), {0.004, 0.0, 0.0}, 1e-18, "v after step 2");
    expect_vec(vec(d.x, 0), {4e-6, 1.0, 0.0}, 1e-20, "x after step 2");
    expect_diagnostics({2, 0, 0, 0, 0, -2, 0.002, 0, 0, 0.004, 0, 0, 0.004, 0, 0, 4e-6, 4e-6, 4e-6, 2, 2,
                        0, 0, 0, 0, 0, 0, 0},
                       {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});

    // Step 3 without imports: the step totals start again from 0, the cumulative ones stay,
    // nothing was consumed; a is cleared, so the particle coasts: x = 4e-6 + dt 0.004 = 8e-6.
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    expect_vec(vec(d.a, 0), zero, 0.0, "a after step 3");
    expect_vec(vec(d.v, 0), {0.004, 0.0, 0.0}, 1e-18, "v after step 3");
    expect_vec(vec(d.x, 0), {8e-6, 1.0, 0.0}, 1e-20, "x after step 3");
    expect_diagnostics({0, 0, 0, 0, 0, 0, 0, 0, 0, 0.004, 0, 0, 0.004, 0, 0, 0, 4e-6, 4e-6, 0, 0,
                        0, 0, 0, 0, 0, 0, 0},
                       {});
    expect_vec(sph_coupling.coupling_momentum, {0.004, 0.0, 0.0}, 1e-18, "coupling momentum");
    EXPECT_NEAR(sph_coupling.coupling_work, 4e-6, 1e-20);
    EXPECT_NEAR(sph_coupling.coupling_energy, 4e-6, 1e-20);
    EXPECT_EQ(sph_control.current_step, 3);
}

TEST_F(CouplingStep, AStepWithoutImportsAllocatesNothing) {
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
    EXPECT_TRUE(sph_coupling.coupling_external_force.empty());
    EXPECT_TRUE(sph_coupling.coupling_contact_flag.empty());
    expect_diagnostics({}, {});
    const std::vector<std::string> lines = csv();
    for (std::size_t i = 0; i < 3; ++i) expect_csv(csv_coupling(lines, i), {}, "particle " + std::to_string(i));
}

TEST_F(CouplingStep, StepTotalsSumInIndexOrder) {
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    // Imported in the order particle 2, 0, 1. In index order the x sums are
    // (1e17 - 1e17) + 1 = 1 and, for the impulse, (1e14 - 1e14) + 0.001 = 0.001 (the two large
    // products round to exact opposites); in import order 1 + 1e17 rounds to 1e17 and the 1
    // would be lost, as would 0.001 beside 1e14.
    const std::vector<int32_t> order = {2, 0, 1};
    const std::vector<double> forces = {1.0, 0.0, 0.0, 1e17, 0.0, 0.0, -1e17, 0.0, 0.0};
    ASSERT_EQ(sph_coupling_apply_particle_forces(0, 3, order.data(), forces.data()), 0) << sph_error_message();
    ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
    const Diagnostics d = diagnostics();
    EXPECT_EQ(d.v[0], 1.0);
    EXPECT_EQ(d.v[6], 0.001);
    EXPECT_EQ(d.v[18], 1e17);
}

TEST_F(CouplingStep, ApplyingBufferedForces) {
    // Particle 0 (at (0, 1, 0), v set to (1, 0, 0)) is given F0, particle 1 (at (10, 0, 0), at
    // rest) (1, 0, 0); both start with a = (7, 8, 9) and step totals left at 5 by an earlier
    // step. Then the case changes the model and the forces are applied with dt on their own.
    // Particle 1's moment (10, 0, 0) cross (1, 0, 0) and work are 0.
    enum Change { none, inactive0, failed_solid0, failed_shell0, massless0, tiny_mass0, nan_force0, inf_force0,
                  massless1, nan_force_inactive0, massless_inactive0 };
    struct Case {
        const char* what;
        Vec3 f0;
        double dt;
        Change change;
        const char* message;  // empty: success
        Vec3 force, moment, impulse;
        double work, max_force, max_accel;
        Vec3 a0, a1;
        int32_t skipped, nonfinite;
    };
    const Vec3 a_start{7.0, 8.0, 9.0};
    const Case cases[] = {
        // Work (1, 0, 0).(2, 0, 0) dt = 0.002; moment (0, 1, 0) cross (2, 0, 0) = (0, 0, -2).
        {"two forces", {2, 0, 0}, 1e-3, none, "", {3, 0, 0}, {0, 0, -2}, {0.003, 0, 0}, 0.002, 2, 2,
         {9, 8, 9}, {8, 8, 9}, 0, 0},
        {"dt 0 changes a but no impulse or work", {2, 0, 0}, 0.0, none, "", {3, 0, 0}, {0, 0, -2}, zero, 0.0, 2,
         2, {9, 8, 9}, {8, 8, 9}, 0, 0},
        // Its largest absolute component is 3: present. Moment (0, 1, 0) cross (0, -3, 0) = 0.
        {"a force of a negative component only", {0, -3, 0}, 1e-3, none, "", {1, -3, 0}, zero, {0.001, -0.003, 0},
         0.0, 3, 3, {7, 5, 9}, {8, 8, 9}, 0, 0},
        {"an inactive particle is skipped", {2, 0, 0}, 1e-3, inactive0, "", {1, 0, 0}, zero, {0.001, 0, 0}, 0.0,
         1, 1, a_start, {8, 8, 9}, 1, 0},
        {"a failed solid is skipped", {2, 0, 0}, 1e-3, failed_solid0, "", {1, 0, 0}, zero, {0.001, 0, 0}, 0.0, 1,
         1, a_start, {8, 8, 9}, 1, 0},
        {"a failed shell is skipped", {2, 0, 0}, 1e-3, failed_shell0, "", {1, 0, 0}, zero, {0.001, 0, 0}, 0.0, 1,
         1, a_start, {8, 8, 9}, 1, 0},
        {"mass 0 stops the application", {2, 0, 0}, 1e-3, massless0, "coupling force particle mass must be positive",
         zero, zero, zero, 0.0, 0, 0, a_start, a_start, 0, 0},
        // 1e10 / 1e-300 = 1e310 overflows.
        {"a contribution beyond the finite range", {1e10, 0, 0}, 1e-3, tiny_mass0,
         "coupling acceleration contribution is not finite", zero, zero, zero, 0.0, 0, 0, a_start, a_start, 0, 1},
        {"a NaN buffered force", {2, 0, 0}, 1e-3, nan_force0, "coupling cached force is not finite", zero, zero,
         zero, 0.0, 0, 0, a_start, a_start, 0, 1},
        {"an infinite buffered force", {2, 0, 0}, 1e-3, inf_force0, "coupling cached force is not finite", zero,
         zero, zero, 0.0, 0, 0, a_start, a_start, 0, 1},
        // The force is tested before the skip, the mass after it.
        {"a NaN buffered force on an inactive particle", {2, 0, 0}, 1e-3, nan_force_inactive0,
         "coupling cached force is not finite", zero, zero, zero, 0.0, 0, 0, a_start, a_start, 0, 1},
        {"mass 0 on an inactive particle is skipped", {2, 0, 0}, 1e-3, massless_inactive0, "", {1, 0, 0}, zero,
         {0.001, 0, 0}, 0.0, 1, 1, a_start, {8, 8, 9}, 1, 0},
        {"a failure at particle 1 keeps particle 0's share", {2, 0, 0}, 1e-3, massless1,
         "coupling force particle mass must be positive", {2, 0, 0}, {0, 0, -2}, {0.002, 0, 0}, 0.002, 2, 2,
         {9, 8, 9}, a_start, 0, 0},
        {"a negative dt", {2, 0, 0}, -1e-3, none, "coupling step dt is invalid", zero, zero, zero, 0.0, 0, 0,
         a_start, a_start, 0, 0},
        {"a NaN dt", {2, 0, 0}, not_a_number, none, "coupling step dt is invalid", zero, zero, zero, 0.0, 0, 0, a_start,
         a_start, 0, 0},
        {"an infinite dt", {2, 0, 0}, inf, none, "coupling step dt is invalid", zero, zero, zero, 0.0, 0, 0,
         a_start, a_start, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        SphDatabase& d = sph_database;
        SphCouplingInterface& s = sph_coupling;
        set_vec(d.v, 0, {1.0, 0.0, 0.0});
        ASSERT_EQ(force_on(0, 0, c.f0), 0) << sph_error_message();
        ASSERT_EQ(force_on(0, 1, {1.0, 0.0, 0.0}), 0) << sph_error_message();
        set_vec(d.a, 0, a_start);
        set_vec(d.a, 1, a_start);
        s.coupling_current_force = s.coupling_current_moment = s.coupling_current_impulse = {5.0, 5.0, 5.0};
        s.coupling_current_work = s.coupling_max_external_force = s.coupling_max_acceleration = 5.0;
        s.coupling_max_velocity_error = s.coupling_max_position_error = 5.0;
        s.coupling_step_load_consumed = 1;
        switch (c.change) {
            case none: break;
            case inactive0: d.particle_status[0] = sph_status_inactive; break;
            case failed_solid0: d.particle_phase[0] = sph_phase_solid_failed; break;
            case failed_shell0: d.particle_phase[0] = sph_phase_shell_failed; break;
            case massless0: d.mass[0] = 0.0; break;
            case tiny_mass0: d.mass[0] = 1e-300; break;
            case nan_force0: set_vec(s.coupling_external_force, 0, {not_a_number, 0.0, 0.0}); break;
            case inf_force0: set_vec(s.coupling_external_force, 0, {0.0, 0.0, -inf}); break;
            case massless1: d.mass[1] = 0.0; break;
            case nan_force_inactive0:
                set_vec(s.coupling_external_force, 0, {not_a_number, 0.0, 0.0});
                d.particle_status[0] = sph_status_inactive;
                break;
            case massless_inactive0:
                d.mass[0] = 0.0;
                d.particle_status[0] = sph_status_inactive;
                break;
        }
        sph_coupling_rebuild_touched();
        const int st = sph_coupling_apply_imports_to_acceleration(c.dt);
        if (std::string_view(c.message).empty()) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, c.message);
        }
        expect_vec(vec(d.a, 0), c.a0, 0.0, "a of particle 0");
        expect_vec(vec(d.a, 1), c.a1, 0.0, "a of particle 1");
        expect_vec(s.coupling_current_force, c.force, 0.0, "current force");
        expect_vec(s.coupling_current_moment, c.moment, 0.0, "current moment");
        expect_vec(s.coupling_current_impulse, c.impulse, 1e-18, "current impulse");
        // The first application: the cumulative totals are this one's.
        expect_vec(s.coupling_cumulative_impulse, c.impulse, 1e-18, "cumulative impulse");
        expect_vec(s.coupling_momentum_exchange, c.impulse, 1e-18, "momentum exchange");
        expect_vec(s.coupling_momentum, c.impulse, 1e-18, "coupling momentum");
        EXPECT_NEAR(s.coupling_current_work, c.work, 1e-18);
        EXPECT_NEAR(s.coupling_cumulative_work, c.work, 1e-18);
        EXPECT_NEAR(s.coupling_energy_exchange, c.work, 1e-18);
        EXPECT_EQ(s.coupling_max_external_force, c.max_force);
        EXPECT_EQ(s.coupling_max_acceleration, c.max_accel);
        EXPECT_EQ(s.coupling_max_velocity_error, 0.0);
        EXPECT_EQ(s.coupling_max_position_error, 0.0);
        EXPECT_EQ(s.coupling_step_load_consumed, 0);
        EXPECT_EQ(s.coupling_skipped_particle_count, c.skipped);
        EXPECT_EQ(s.coupling_nonfinite_import_count, c.nonfinite);
    }

    // Through the step: the failure ends it before the update and time stays.
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    ASSERT_EQ(force_on(0, 0, {2.0, 0.0, 0.0}), 0) << sph_error_message();
    set_vec(sph_coupling.coupling_external_force, 0, {not_a_number, 0.0, 0.0});
    sph_coupling_rebuild_touched();
    expect_failure(sph_solver_advance_explicit(1e-3), "coupling cached force is not finite");
    EXPECT_EQ(sph_control.current_step, 0);
    EXPECT_EQ(sph_control.current_time, 0.0);
    expect_vec(vec(sph_database.x, 0), {0.0, 1.0, 0.0}, 0.0, "x");
    expect_vec(vec(sph_database.v, 0), zero, 0.0, "v");
}

// ---- Prescribed motion ----

TEST_F(CouplingMotion, VelocityAndPositionTargetsThenAFreeStep) {
    build("coupling_step_point.inp");
    if (HasFatalFailure()) return;
    SphDatabase& d = sph_database;
    const SphCouplingInterface& s = sph_coupling;
    const double dt = 1e-3;
    // Particle 0: force (4000, 0, 0) and velocity target (0, 3, 0); particle 1: force
    // (6000, 0, 0) and position target (10, 0.002, 0). Both at rest.
    ASSERT_EQ(force_on(0, 0, {4000.0, 0.0, 0.0}), 0) << sph_error_message();
    ASSERT_EQ(force_on(0, 1, {6000.0, 0.0, 0.0}), 0) << sph_error_message();
    const Vec3 v_target{0.0, 3.0, 0.0}, x_target{10.0, 0.002, 0.0};
    ASSERT_EQ(sph_coupling_apply_motion_boundary(0, 0, sph_coupling_motion_velocity, sph_coupling_motion_direct,
                                                 v_target.data()),
              0)
        << sph_error_message();
    ASSERT_EQ(sph_coupling_import_motion_position("Move", 1, sph_coupling_motion_direct, x_target.data()), 0)
        << sph_error_message();
    EXPECT_EQ(s.coupling_motion_flag, (std::vector<int32_t>{1, 2, 0}));
    EXPECT_EQ(s.coupling_motion_mode, (std::vector<int32_t>{1, 1, 0}));
    EXPECT_EQ(csv_coupling(csv(), 0).motion_flag, 1);

    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    // Particle 0: v = (0, 3, 0) before the update (error |0 - (0, 3, 0)| = 3); vhalf = (0, 3, 0)
    // + dt/2 (4000, 0, 0) = (2, 3, 0); x = (0, 1, 0) + dt (2, 3, 0) = (0.002, 1.003, 0);
    // v = (4, 3, 0), set back to the target after (error 4). Only v is overwritten.
    expect_vec(vec(d.v, 0), v_target, 0.0, "v of particle 0");
    expect_vec(vec(d.vhalf, 0), {2.0, 3.0, 0.0}, 1e-15, "vhalf of particle 0");
    expect_vec(vec(d.x, 0), {0.002, 1.003, 0.0}, 1e-15, "x of particle 0");
    expect_vec(vec(d.a, 0), {4000.0, 0.0, 0.0}, 0.0, "a of particle 0");
    // Particle 1: x = target before (error 0.002); vhalf = dt/2 6000 = 3; x = target +
    // dt (3, 0, 0), 0.003 off, set back after; v = 6, not overwritten.
    expect_vec(vec(d.x, 1), x_target, 0.0, "x of particle 1");
    expect_vec(vec(d.v, 1), {6.0, 0.0, 0.0}, 1e-12, "v of particle 1");
    expect_vec(vec(d.vhalf, 1), {3.0, 0.0, 0.0}, 1e-12, "vhalf of particle 1");
    const Diagnostics after = diagnostics();
    EXPECT_NEAR(after.v[20], 4.0, 1e-12);    // largest velocity error: after the update
    EXPECT_NEAR(after.v[21], 0.003, 1e-12);  // largest position error: after the update
    EXPECT_EQ(after.c[n_consumed], 1);
    EXPECT_EQ(s.coupling_motion_flag, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(csv_coupling(csv(), 0).motion_flag, 0);

    // A free step: no force, no target; a is cleared, so both coast.
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    expect_vec(vec(d.v, 0), v_target, 0.0, "v of particle 0, free");
    expect_vec(vec(d.x, 0), {0.002, 1.006, 0.0}, 1e-15, "x of particle 0, free");
    expect_vec(vec(d.v, 1), {6.0, 0.0, 0.0}, 1e-12, "v of particle 1, free");
    expect_vec(vec(d.x, 1), {10.006, 0.002, 0.0}, 1e-12, "x of particle 1, free");
    const Diagnostics free = diagnostics();
    EXPECT_EQ(free.v[20], 0.0);
    EXPECT_EQ(free.v[21], 0.0);
    EXPECT_EQ(free.c[n_consumed], 0);
}

TEST_F(CouplingMotion, ALaterTargetReplacesKindAndTarget) {
    // Imports for particle 0 (at rest at (0, 1, 0), no force) in order, then one step of 1e-3.
    struct Import {
        int32_t kind, mode;
        Vec3 target;
    };
    struct Case {
        const char* what;
        std::vector<Import> imports;
        int32_t flag;
        Vec3 velocity_buffer, position_buffer;
        Vec3 x, v;                 // after the step
        double v_error, x_error;  // largest errors of the step
    };
    const double r2 = std::sqrt(2.0), r5 = std::sqrt(5.0);
    const Case cases[] = {
        // The position (1, 1, 1) holds before and after; |(0, 1, 0) - (1, 1, 1)| = sqrt(2).
        {"velocity, then position", {{1, 1, {0, 3, 0}}, {2, 1, {1, 1, 1}}}, 2, {0, 3, 0}, {1, 1, 1}, {1, 1, 1}, zero,
         0.0, r2},
        // v = (0, 5, 0) from the start: x = (0, 1 + 0.005, 0).
        {"position, then velocity", {{2, 1, {1, 1, 1}}, {1, 1, {0, 5, 0}}}, 1, {0, 5, 0}, {1, 1, 1},
         {0, 1.005, 0}, {0, 5, 0}, 5.0, 0.0},
        {"velocity, then another velocity", {{1, 1, {0, 3, 0}}, {1, 1, {0, -1, 0}}}, 1, {0, -1, 0}, zero,
         {0, 0.999, 0}, {0, -1, 0}, 1.0, 0.0},
        // |(0, 1, 0) - (2, 0, 0)| = sqrt(5).
        {"position, then another position", {{2, 1, {1, 1, 1}}, {2, 1, {2, 0, 0}}}, 2, zero, {2, 0, 0}, {2, 0, 0},
         zero, 0.0, r5},
        {"a refused later target leaves the first", {{1, 1, {0, 3, 0}}, {2, 2, {1, 1, 1}}}, 1, {0, 3, 0}, zero,
         {0, 1.003, 0}, {0, 3, 0}, 3.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        for (const Import& i : c.imports) {
            // Only the direct mode is taken.
            const int st = sph_coupling_apply_motion_boundary(0, 0, i.kind, i.mode, i.target.data());
            EXPECT_EQ(st == 0, i.mode == sph_coupling_motion_direct) << sph_error_message();
        }
        const SphCouplingInterface& s = sph_coupling;
        EXPECT_EQ(s.coupling_motion_flag[0], c.flag);
        EXPECT_EQ(s.coupling_motion_mode[0], 1);
        expect_vec(vec(s.coupling_motion_velocity, 0), c.velocity_buffer, 0.0, "velocity target");
        expect_vec(vec(s.coupling_motion_position, 0), c.position_buffer, 0.0, "position target");
        ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
        expect_vec(vec(sph_database.x, 0), c.x, 1e-15, "x");
        expect_vec(vec(sph_database.v, 0), c.v, 0.0, "v");
        const Diagnostics d = diagnostics();
        EXPECT_NEAR(d.v[20], c.v_error, 1e-15);
        EXPECT_NEAR(d.v[21], c.x_error, 1e-15);
    }
}

TEST_F(CouplingMotion, EveryImportMessage) {
    // coupling_step_point.inp: regions 0 Move (particles 0-2 at export indices 0-2), 1 Off
    // (disabled), 2 Skin (facets only); three particles.
    enum class Call { boundary, velocity, position, set };
    struct Case {
        const char* what;
        Call call;
        int region;             // boundary
        const char* name;       // velocity, position
        int32_t index;          // export index; for set the particle index
        int32_t kind, mode;
        Vec3 target;
        int inactive;           // a particle made inactive first, or -1
        const char* message;    // empty: success
        int32_t nonfinite, skipped;
        std::array<int32_t, 3> flags;
    };
    const Vec3 t{0.0, 1.0, 0.0};
    const char* region_index = "coupling region index is invalid";
    const char* kind = "coupling motion target kind is invalid";
    const char* penalty = "coupling penalty motion mode is reserved";
    const char* mode = "coupling motion mode is invalid";
    const char* export_index = "coupling motion export index is invalid";
    const char* not_finite = "coupling motion target is not finite";
    const char* particle = "coupling motion particle index is invalid";
    const Case cases[] = {
        {"a velocity target", Call::boundary, 0, "", 1, 1, 1, t, -1, "", 0, 0, {0, 1, 0}},
        {"a position target by name, any case", Call::position, 0, "mOVE  ", 2, 2, 1, {1, 2, 3}, -1, "", 0, 0,
         {0, 0, 2}},
        {"a velocity target by name", Call::velocity, 0, "Move", 0, 1, 1, t, -1, "", 0, 0, {1, 0, 0}},
        {"region index -1", Call::boundary, -1, "", 0, 1, 1, t, -1, region_index, 0, 0, {}},
        {"region index past the table", Call::boundary, 3, "", 0, 1, 1, t, -1, region_index, 0, 0, {}},
        {"the region index before the kind", Call::boundary, 5, "", 0, 3, 1, t, -1, region_index, 0, 0, {}},
        {"kind 3", Call::boundary, 0, "", 0, 3, 1, t, -1, kind, 0, 0, {}},
        {"kind 0", Call::boundary, 0, "", 0, 0, 1, t, -1, kind, 0, 0, {}},
        {"penalty mode 2", Call::boundary, 0, "", 0, 1, 2, t, -1, penalty, 0, 0, {}},
        {"mode 3", Call::boundary, 0, "", 0, 2, 3, t, -1, mode, 0, 0, {}},
        {"mode 0", Call::velocity, 0, "Move", 0, 1, 0, t, -1, mode, 0, 0, {}},
        {"export index -1", Call::boundary, 0, "", -1, 1, 1, t, -1, export_index, 0, 0, {}},
        {"export index past the list", Call::boundary, 0, "", 3, 1, 1, t, -1, export_index, 0, 0, {}},
        {"a disabled region", Call::boundary, 1, "", 0, 1, 1, t, -1, "coupling region is disabled", 0, 0, {}},
        {"a disabled region before the mode", Call::boundary, 1, "", 0, 1, 2, t, -1, "coupling region is disabled",
         0, 0, {}},
        {"a facet-only region", Call::boundary, 2, "", 0, 1, 1, t, -1,
         "coupling motion requires particle export index", 0, 0, {}},
        {"a facet-only region before the export index", Call::position, 0, "Skin", 9, 2, 1, t, -1,
         "coupling motion requires particle export index", 0, 0, {}},
        {"an unknown region name", Call::velocity, 0, "Nowhere", 0, 1, 1, t, -1, "coupling region name is invalid",
         0, 0, {}},
        {"a NaN target", Call::boundary, 0, "", 0, 1, 1, {not_a_number, 0, 0}, -1, not_finite, 1, 0, {}},
        {"an infinite position target", Call::position, 0, "Move", 1, 2, 1, {0, inf, 0}, -1, not_finite, 1, 0, {}},
        {"the mode before the target", Call::boundary, 0, "", 0, 1, 2, {not_a_number, 0, 0}, -1, penalty, 0, 0, {}},
        {"an inactive particle is skipped", Call::boundary, 0, "", 2, 1, 1, t, 2, "", 0, 1, {}},
        {"the target before the skip", Call::boundary, 0, "", 2, 1, 1, {not_a_number, 0, 0}, 2, not_finite, 1, 0, {}},
        {"particle -1", Call::set, 0, "", -1, 1, 1, t, -1, particle, 0, 0, {}},
        {"a particle past the model", Call::set, 0, "", 3, 1, 1, t, -1, particle, 0, 0, {}},
        {"the particle before the mode", Call::set, 0, "", 7, 1, 2, t, -1, particle, 0, 0, {}},
        {"kind 3 after the mode and target", Call::set, 0, "", 0, 3, 1, t, -1, kind, 0, 0, {}},
        {"the mode before the kind", Call::set, 0, "", 0, 3, 2, t, -1, penalty, 0, 0, {}},
        {"a position set directly", Call::set, 0, "", 1, 2, 1, {4, 5, 6}, -1, "", 0, 0, {0, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        // Sized buffers, so that a refused call can be seen to store nothing.
        ASSERT_EQ(sph_coupling_allocate_imports(), 0);
        if (c.inactive >= 0) sph_database.particle_status[static_cast<std::size_t>(c.inactive)] = sph_status_inactive;
        int st = -1;
        switch (c.call) {
            case Call::boundary:
                st = sph_coupling_apply_motion_boundary(c.region, c.index, c.kind, c.mode, c.target.data());
                break;
            case Call::velocity:
                st = sph_coupling_import_motion_velocity(c.name, c.index, c.mode, c.target.data());
                break;
            case Call::position:
                st = sph_coupling_import_motion_position(c.name, c.index, c.mode, c.target.data());
                break;
            case Call::set: st = sph_coupling_set_motion(c.index, c.mode, c.kind, c.target.data()); break;
        }
        const SphCouplingInterface& s = sph_coupling;
        if (std::string_view(c.message).empty()) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, c.message);
        }
        EXPECT_EQ(s.coupling_nonfinite_import_count, c.nonfinite);
        EXPECT_EQ(s.coupling_skipped_particle_count, c.skipped);
        EXPECT_EQ(s.coupling_motion_flag, std::vector<int32_t>(c.flags.begin(), c.flags.end()));
        for (std::size_t p = 0; p < 3; ++p) {
            if (c.flags[p] == 0) {
                EXPECT_EQ(s.coupling_motion_mode[p], 0) << "particle " << p;
                continue;
            }
            EXPECT_EQ(s.coupling_motion_mode[p], 1) << "particle " << p;
            const auto& stored = c.flags[p] == 1 ? s.coupling_motion_velocity : s.coupling_motion_position;
            expect_vec(vec(stored, p), c.target, 0.0, "stored target");
        }
    }
}

TEST_F(CouplingMotion, FailuresWhileApplyingTargets) {
    // Targets written into the buffers by hand for particle 0 (at rest at (0, 1, 0)); particle
    // 1 has a valid velocity target (0, 0, 7) after it, which a failure at particle 0 never
    // reaches.
    struct Case {
        const char* what;
        int32_t flag, mode;
        Vec3 velocity, position;
        bool inactive;
        const char* message;  // empty: success
        int32_t nonfinite, skipped;
        Vec3 v0, x0;
    };
    const Vec3 x_start{0.0, 1.0, 0.0};
    const char* mode = "coupling motion mode is invalid during apply";
    const char* kind = "coupling motion target kind is invalid during apply";
    const Case cases[] = {
        {"a velocity target with a NaN position beside it", 1, 1, {0, 3, 0}, {not_a_number, 0, 0}, false, "", 0, 0,
         {0, 3, 0}, x_start},
        {"a position target with a NaN velocity beside it", 2, 1, {not_a_number, 0, 0}, {1, 2, 3}, false, "", 0, 0,
         zero, {1, 2, 3}},
        {"mode 0", 1, 0, {0, 3, 0}, zero, false, mode, 0, 0, zero, x_start},
        {"mode 2", 2, 2, zero, {1, 2, 3}, false, mode, 0, 0, zero, x_start},
        {"the mode before the skip", 1, 2, {0, 3, 0}, zero, true, mode, 0, 0, zero, x_start},
        {"a NaN velocity target", 1, 1, {not_a_number, 0, 0}, zero, false,
         "coupling velocity target is not finite during apply", 1, 0, zero, x_start},
        {"an infinite position target", 2, 1, zero, {inf, 0, 0}, false,
         "coupling position target is not finite during apply", 1, 0, zero, x_start},
        {"the skip before the target", 1, 1, {not_a_number, 0, 0}, zero, true, "", 0, 1, zero, x_start},
        {"kind 3", 3, 1, {0, 3, 0}, {1, 2, 3}, false, kind, 0, 0, zero, x_start},
        {"kind -1", -1, 1, {0, 3, 0}, {1, 2, 3}, false, kind, 0, 0, zero, x_start},
    };
    const Vec3 v1{0.0, 0.0, 7.0};
    auto write = [](const Case& c) {
        SphCouplingInterface& s = sph_coupling;
        ASSERT_EQ(sph_coupling_allocate_imports(), 0);
        s.coupling_motion_flag[0] = c.flag;
        s.coupling_motion_mode[0] = c.mode;
        set_vec(s.coupling_motion_velocity, 0, c.velocity);
        set_vec(s.coupling_motion_position, 0, c.position);
        s.coupling_motion_flag[1] = 1;
        s.coupling_motion_mode[1] = 1;
        set_vec(s.coupling_motion_velocity, 1, {0.0, 0.0, 7.0});
        if (c.inactive) sph_database.particle_status[0] = sph_status_inactive;
        sph_coupling_rebuild_touched();
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        write(c);
        if (HasFatalFailure()) return;
        const int st = sph_coupling_apply_motion_before_step();
        const bool ok = std::string_view(c.message).empty();
        if (ok) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, c.message);
        }
        EXPECT_EQ(sph_coupling.coupling_nonfinite_import_count, c.nonfinite);
        EXPECT_EQ(sph_coupling.coupling_skipped_particle_count, c.skipped);
        expect_vec(vec(sph_database.v, 0), c.v0, 0.0, "v of particle 0");
        expect_vec(vec(sph_database.x, 0), c.x0, 0.0, "x of particle 0");
        expect_vec(vec(sph_database.v, 1), ok ? v1 : zero, 0.0, "v of particle 1");

        // The step fails the same way, before time moves.
        build("coupling_step_point.inp");
        if (HasFatalFailure()) return;
        write(c);
        if (HasFatalFailure()) return;
        const int step = sph_solver_advance_explicit(1e-3);
        if (ok) {
            EXPECT_EQ(step, 0) << sph_error_message();
        } else {
            expect_failure(step, c.message);
        }
        EXPECT_EQ(sph_control.current_step, ok ? 1 : 0);
    }
}

// ---- Contact states (coupling_step_shell.inp) ----
//
// Regions: 0 Wet (list: particles 2, 0, 3, 1), 1 Dry (no contact state), 2 Cold (disabled),
// 3 Parts (particles only), 4 Faces (particles 0, 1, 2, facets only), 5 Walls (particle 3).
// Particles 0-2 are shell facets of area 2 and director (0, 0, 1); 3 is a boundary particle.

namespace {

const Contact contact_a{2, {0.0, 0.0, 3.0}, 0.25, 0.125, 10.0};
const Contact contact_b{0, {0.0, 4.0, 0.0}, -0.5, 0.75, 20.0};

}  // namespace

TEST_F(CouplingContact, ShownInTheCsvUntilTheStepEnds) {
    build("coupling_step_shell.inp");
    if (HasFatalFailure()) return;
    const SphCouplingInterface& s = sph_coupling;
    // A new host step first (it empties the buffers), then a force on particle 1 (export
    // index 3) and a velocity target on particle 3 (export index 2).
    ASSERT_EQ(contacts(0, {contact_a, contact_b}, 2), 0) << sph_error_message();
    ASSERT_EQ(force_on(0, 3, {1.5, 0.0, -2.0}), 0) << sph_error_message();
    const Vec3 target{0.0, 0.0, 0.5};
    ASSERT_EQ(sph_coupling_apply_motion_boundary(0, 2, 1, 1, target.data()), 0) << sph_error_message();

    // The normals are stored divided by their lengths 3 and 4.
    expect_vec(vec(s.coupling_contact_normal, 2), {0.0, 0.0, 1.0}, 0.0, "normal of 2");
    expect_vec(vec(s.coupling_contact_normal, 0), {0.0, 1.0, 0.0}, 0.0, "normal of 0");
    EXPECT_EQ(s.coupling_contact_pressure[2], 10.0);
    EXPECT_EQ(s.coupling_contact_pressure[0], 20.0);
    EXPECT_EQ(s.coupling_active_contact_count, 2);
    EXPECT_EQ(s.coupling_max_penetration, 0.75);
    EXPECT_EQ(s.coupling_epoch, 2);

    const std::vector<std::string> before = csv();
    expect_csv(csv_coupling(before, 0), {zero, -0.5, 0.75, 1, 0}, "particle 0 before");
    expect_csv(csv_coupling(before, 1), {{1.5, 0.0, -2.0}, 0.0, 0.0, 0, 0}, "particle 1 before");
    expect_csv(csv_coupling(before, 2), {zero, 0.25, 0.125, 1, 0}, "particle 2 before");
    expect_csv(csv_coupling(before, 3), {zero, 0.0, 0.0, 0, 1}, "particle 3 before");

    ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
    const std::vector<std::string> after = csv();
    for (std::size_t i = 0; i < 4; ++i)
        expect_csv(csv_coupling(after, i), {}, "particle " + std::to_string(i) + " after");
    const Diagnostics d = diagnostics();
    EXPECT_EQ(d.c[n_consumed], 1);
    EXPECT_EQ(d.c[n_active_contact], 0);
    EXPECT_EQ(d.v[26], 0.0);
    EXPECT_EQ(s.coupling_contact_pressure[0], 0.0);
    expect_vec(vec(s.coupling_contact_normal, 2), zero, 0.0, "normal of 2 after");
}

TEST_F(CouplingContact, ImportCasesAndMessages) {
    // Before each call a force (1.5, 0, -2) is buffered on particle 1: a new host step (here
    // 5) empties the buffers, the current one (1) keeps it and counts a repeated import.
    struct Case {
        const char* what;
        int region;
        std::vector<Contact> items;
        int32_t step;
        int32_t count;          // -2: the number of items
        int inactive;           // a particle made inactive first, or -1
        const char* message;    // empty: success
        bool force_kept;
        int32_t epoch;
        std::array<int32_t, 4> flags;
        double max_penetration;
        // repeated, duplicate, non-finite import, non-finite contact, invalid weight,
        // skipped particle, skipped contact
        std::array<int32_t, 7> counts;
    };
    const Contact b_nan_normal{0, {not_a_number, 0.0, 0.0}, -0.5, 0.75, 20.0};
    const Contact b_inf_gap{0, {0.0, 4.0, 0.0}, inf, 0.75, 20.0};
    const Contact b_nan_penetration{0, {0.0, 4.0, 0.0}, -0.5, not_a_number, 20.0};
    const Contact b_nan_pressure{0, {0.0, 4.0, 0.0}, -0.5, 0.75, not_a_number};
    const Contact b_tiny{0, {0.0, 0.0, 1e-12}, -0.5, 0.75, 20.0};
    const Contact b_small{0, {0.0, 2e-12, 0.0}, -0.5, 0.75, 20.0};
    const Contact a_nan_normal{2, {not_a_number, 0.0, 0.0}, 0.25, 0.125, 10.0};
    const Contact wall{3, {0.0, 0.0, 1.0}, 0.0, 0.0, 0.0};
    const Contact wall_nan_gap{3, {0.0, 0.0, 1.0}, not_a_number, 0.0, 0.0};
    const Contact outside{4, {0.0, 0.0, 1.0}, 0.0, 0.0, 0.0};
    const Contact negative{-1, {0.0, 0.0, 1.0}, 0.0, 0.0, 0.0};
    const char* nonfinite = "coupling contact state contains nonfinite values";
    const char* bad_id = "coupling facet id is invalid";
    const Case cases[] = {
        {"a region without contact state, after the epoch check emptied the buffers", 1, {contact_a}, 5, -2, -1,
         "coupling region does not import contact state", false, 5, {}, 0.0, {}},
        {"the same for the current host step keeps the force, counted as repeated", 1, {contact_a}, 1, -2, -1,
         "coupling region does not import contact state", true, 1, {}, 0.0, {1, 0, 0, 0, 0, 0, 0}},
        {"a negative host step changes nothing", 0, {contact_a}, -1, -2, -1, "coupling step is invalid", true, 1, {},
         0.0, {}},
        {"a region index past the table", 6, {contact_a}, 5, -2, -1, "coupling region index is invalid", false, 5, {},
         0.0, {}},
        {"region index -1", -1, {contact_a}, 5, -2, -1, "coupling region index is invalid", false, 5, {}, 0.0, {}},
        {"a disabled region", 2, {contact_a}, 5, -2, -1, "coupling region is disabled", false, 5, {}, 0.0, {}},
        {"a negative count", 0, {}, 5, -1, -1, "coupling contact count is invalid", false, 5, {}, 0.0, {}},
        {"no contacts for a new host step", 0, {}, 5, -2, -1, "", false, 5, {}, 0.0, {}},
        {"two contacts", 0, {contact_a, contact_b}, 5, -2, -1, "", false, 5, {1, 0, 1, 0}, 0.75, {}},
        {"two contacts for the current host step", 0, {contact_a, contact_b}, 1, -2, -1, "", true, 1, {1, 0, 1, 0},
         0.75, {1, 0, 0, 0, 0, 0, 0}},
        {"a repeated facet, found before its NaN", 0, {contact_a, a_nan_normal}, 5, -2, -1,
         "coupling facet id is duplicated", false, 5, {0, 0, 1, 0}, 0.125, {0, 1, 0, 0, 0, 0, 0}},
        {"a NaN normal", 0, {contact_a, b_nan_normal}, 5, -2, -1, nonfinite, false, 5, {0, 0, 1, 0}, 0.125,
         {0, 0, 1, 1, 0, 0, 0}},
        {"an infinite gap", 0, {b_inf_gap}, 5, -2, -1, nonfinite, false, 5, {}, 0.0, {0, 0, 1, 1, 0, 0, 0}},
        {"a NaN penetration", 0, {b_nan_penetration}, 5, -2, -1, nonfinite, false, 5, {}, 0.0, {0, 0, 1, 1, 0, 0, 0}},
        {"a NaN contact pressure", 0, {b_nan_pressure}, 5, -2, -1, nonfinite, false, 5, {}, 0.0,
         {0, 0, 1, 1, 0, 0, 0}},
        {"a normal of length 1e-12 is degenerate", 0, {b_tiny}, 5, -2, -1, "coupling contact normal is degenerate",
         false, 5, {}, 0.0, {0, 0, 0, 0, 1, 0, 0}},
        {"a normal of length 2e-12 is not", 0, {b_small}, 5, -2, -1, "", false, 5, {1, 0, 0, 0}, 0.75, {}},
        {"a boundary member is no facet", 0, {wall}, 5, -2, -1, "coupling facet proxy requires Shell particles", false,
         5, {}, 0.0, {}},
        {"the values before the facet", 0, {wall_nan_gap}, 5, -2, -1, nonfinite, false, 5, {}, 0.0,
         {0, 0, 1, 1, 0, 0, 0}},
        {"an index past the model", 0, {outside}, 5, -2, -1, bad_id, false, 5, {}, 0.0, {}},
        {"index -1", 0, {negative}, 5, -2, -1, bad_id, false, 5, {}, 0.0, {}},
        {"a region exporting particles only", 3, {contact_a}, 5, -2, -1,
         "coupling region does not export facet proxies", false, 5, {}, 0.0, {}},
        {"an inactive facet is skipped", 0, {contact_b}, 5, -2, 0, "", false, 5, {}, 0.0, {0, 0, 0, 0, 0, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_shell.inp");
        if (HasFatalFailure()) return;
        ASSERT_EQ(force_on(0, 3, {1.5, 0.0, -2.0}), 0) << sph_error_message();
        if (c.inactive >= 0) sph_database.particle_status[static_cast<std::size_t>(c.inactive)] = sph_status_inactive;
        const int st = contacts(c.region, c.items, c.step, c.count);
        if (std::string_view(c.message).empty()) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, c.message);
        }
        const SphCouplingInterface& s = sph_coupling;
        expect_vec(vec(s.coupling_external_force, 1), c.force_kept ? Vec3{1.5, 0.0, -2.0} : zero, 0.0, "force");
        EXPECT_EQ(s.coupling_epoch, c.epoch);
        EXPECT_EQ(s.coupling_contact_flag, std::vector<int32_t>(c.flags.begin(), c.flags.end()));
        int32_t stored = 0;
        for (int32_t f : c.flags) stored += f;
        EXPECT_EQ(s.coupling_active_contact_count, stored);
        EXPECT_EQ(s.coupling_max_penetration, c.max_penetration);
        const std::array<int32_t, 7> counts = {s.coupling_repeated_import_count, s.coupling_duplicate_facet_count,
                                               s.coupling_nonfinite_import_count, s.coupling_nonfinite_contact_count,
                                               s.coupling_invalid_weight_count, s.coupling_skipped_particle_count,
                                               s.coupling_skipped_contact_count};
        EXPECT_EQ(counts, c.counts);
        // What is stored is the unit normal and the values as given.
        if (c.flags[0] == 1) {
            const Contact& b = c.items.back();
            expect_vec(vec(s.coupling_contact_normal, 0), {0.0, 1.0, 0.0}, 0.0, "normal of 0");
            EXPECT_EQ(s.coupling_contact_gap[0], b.gap);
            EXPECT_EQ(s.coupling_contact_penetration[0], b.penetration);
            EXPECT_EQ(s.coupling_contact_pressure[0], b.pressure);
        }
        if (c.flags[2] == 1) {
            expect_vec(vec(s.coupling_contact_normal, 2), {0.0, 0.0, 1.0}, 0.0, "normal of 2");
            EXPECT_EQ(s.coupling_contact_gap[2], 0.25);
            EXPECT_EQ(s.coupling_contact_penetration[2], 0.125);
            EXPECT_EQ(s.coupling_contact_pressure[2], 10.0);
        }
    }
}

TEST_F(CouplingContact, ConsumedByAStepAndStaleInAClear) {
    // Each case starts after a step that consumed a force (consumed 1, buffers sized), imports
    // what it names (contacts under the new host step 2, so before the others) and then steps
    // or clears.
    struct Case {
        const char* what;
        bool contact, force, motion, clear;
        int32_t consumed, stale, epoch;
    };
    const Case cases[] = {
        {"a step with contacts only", true, false, false, false, 1, 0, 2},
        {"a step with a force only", false, true, false, false, 1, 0, 1},
        {"a step with a motion target only", false, false, true, false, 1, 0, 1},
        {"a step with nothing", false, false, false, false, 0, 0, 1},
        // The clear leaves the consumed flag of the last step.
        {"a clear with contacts only", true, false, false, true, 1, 1, 3},
        {"a clear with contacts and a force", true, true, false, true, 1, 1, 3},
        {"a clear with a motion target only", false, false, true, true, 1, 1, 2},
        {"a clear with nothing", false, false, false, true, 1, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_shell.inp");
        if (HasFatalFailure()) return;
        ASSERT_EQ(force_on(0, 0, {1.0, 0.0, 0.0}), 0) << sph_error_message();
        ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
        ASSERT_EQ(sph_coupling.coupling_step_load_consumed, 1);
        if (c.contact) {
            ASSERT_EQ(contacts(0, {contact_a}, 2), 0) << sph_error_message();
        }
        if (c.force) {
            ASSERT_EQ(force_on(0, 3, {1.0, 0.0, 0.0}), 0) << sph_error_message();
        }
        if (c.motion) {
            const Vec3 target{0.0, 0.0, 1.0};
            ASSERT_EQ(sph_coupling_apply_motion_boundary(0, 2, 1, 1, target.data()), 0) << sph_error_message();
        }
        if (c.clear) {
            ASSERT_EQ(sph_coupling_clear_imports(), 0) << sph_error_message();
        } else {
            ASSERT_EQ(sph_solver_advance_explicit(1e-3), 0) << sph_error_message();
        }
        const SphCouplingInterface& s = sph_coupling;
        EXPECT_EQ(s.coupling_step_load_consumed, c.consumed);
        EXPECT_EQ(s.coupling_stale_load_count, c.stale);
        EXPECT_EQ(s.coupling_epoch, c.epoch);
        EXPECT_EQ(s.coupling_contact_flag, (std::vector<int32_t>{0, 0, 0, 0}));
        EXPECT_EQ(s.coupling_motion_flag, (std::vector<int32_t>{0, 0, 0, 0}));
        EXPECT_EQ(s.coupling_external_force, std::vector<double>(12, 0.0));
        EXPECT_EQ(s.coupling_active_contact_count, 0);
        EXPECT_EQ(s.coupling_imported_force_count, 0);
    }
}

// ---- Exports (coupling_step_shell.inp) ----

namespace {

constexpr int32_t int_sentinel = -77;
constexpr double real_sentinel = -0.25;

// Distinct values for every exported quantity of particle p: the scalars 10p + 1 .. 10p + 7
// (mass, volume, rho, pressure, internal energy, temperature, h), x, v and a 100p + 1 ..
// 100p + 9; particle 3 failed (status 2, exported all the same). Particle 0's director is
// set to (0, 0, 2) and particle 1's area to 3.5.
void distinct_state() {
    SphDatabase& d = sph_database;
    for (std::size_t p = 0; p < 4; ++p) {
        const double s = 10.0 * static_cast<double>(p), v = 100.0 * static_cast<double>(p);
        d.mass[p] = s + 1;
        d.volume[p] = s + 2;
        d.rho[p] = s + 3;
        d.pressure[p] = s + 4;
        d.internal_energy[p] = s + 5;
        d.temperature[p] = s + 6;
        d.h[p] = s + 7;
        set_vec(d.x, p, {v + 1, v + 2, v + 3});
        set_vec(d.v, p, {v + 4, v + 5, v + 6});
        set_vec(d.a, p, {v + 7, v + 8, v + 9});
    }
    d.particle_status[3] = sph_status_failed;
    set_vec(sph_shell_state.shell_director, 0, {0.0, 0.0, 2.0});
    sph_shell_state.shell_reference_area[1] = 3.5;
}

struct ParticleEntry {
    std::array<int32_t, 6> ints{};  // ext id, index, phase, status, material, section
    std::array<double, 7> scalars{};
    std::array<double, 9> vectors{};
};

struct FacetEntry {
    std::array<int32_t, 4> ints{};  // facet id, ext id, material, section
    std::array<double, 9> vectors{};
    double area = 0.0;
};

// The record of particle p under distinct_state(), written out from the deck: node p + 1;
// particles 0-2 shell (phase 5, material PLATE 1, section 1), 3 boundary (6, ROCK 2, 2).
ParticleEntry particle_record(int32_t p) {
    ParticleEntry e;
    const bool shell = p < 3;
    e.ints = {p + 1, p, shell ? 5 : 6, shell ? 0 : 2, shell ? 1 : 2, shell ? 1 : 2};
    for (std::size_t k = 0; k < 7; ++k) e.scalars[k] = 10.0 * p + static_cast<double>(k) + 1;
    for (std::size_t k = 0; k < 9; ++k) e.vectors[k] = 100.0 * p + static_cast<double>(k) + 1;
    return e;
}

FacetEntry facet_record(int32_t p) {
    FacetEntry e;
    e.ints = {p, p + 1, 1, 1};
    for (std::size_t k = 0; k < 6; ++k) e.vectors[k] = 100.0 * p + static_cast<double>(k) + 1;
    const Vec3 director = p == 0 ? Vec3{0.0, 0.0, 2.0} : Vec3{0.0, 0.0, 1.0};
    for (std::size_t k = 0; k < 3; ++k) e.vectors[6 + k] = director[k];
    e.area = p == 1 ? 3.5 : 2.0;
    return e;
}

// An entry the export did not touch.
ParticleEntry particle_sentinel() {
    ParticleEntry e;
    e.ints.fill(int_sentinel);
    e.scalars.fill(real_sentinel);
    e.vectors.fill(real_sentinel);
    return e;
}

FacetEntry facet_sentinel() {
    FacetEntry e;
    e.ints.fill(int_sentinel);
    e.vectors.fill(real_sentinel);
    e.area = real_sentinel;
    return e;
}

struct ParticleRecords {
    explicit ParticleRecords(std::size_t n)
        : ext(n, int_sentinel), index(n, int_sentinel), phase(n, int_sentinel), status(n, int_sentinel),
          material(n, int_sentinel), section(n, int_sentinel), scalars(7 * n, real_sentinel),
          vectors(9 * n, real_sentinel) {}
    SphCouplingParticleExport out() {
        return {ext.data(), index.data(), phase.data(), status.data(), material.data(), section.data(),
                scalars.data(), vectors.data()};
    }
    // Entry k: 7 scalars and 3 columns (x, v, a) of 3 components, the first index fastest.
    ParticleEntry entry(std::size_t k) const {
        ParticleEntry e;
        e.ints = {ext[k], index[k], phase[k], status[k], material[k], section[k]};
        for (std::size_t j = 0; j < 7; ++j) e.scalars[j] = scalars[7 * k + j];
        for (std::size_t j = 0; j < 9; ++j) e.vectors[j] = vectors[9 * k + j];
        return e;
    }
    std::vector<int32_t> ext, index, phase, status, material, section;
    std::vector<double> scalars, vectors;
};

struct FacetRecords {
    explicit FacetRecords(std::size_t n)
        : id(n, int_sentinel), ext(n, int_sentinel), material(n, int_sentinel), section(n, int_sentinel),
          vectors(9 * n, real_sentinel), area(n, real_sentinel) {}
    SphCouplingFacetExport out() {
        return {id.data(), ext.data(), material.data(), section.data(), vectors.data(), area.data()};
    }
    FacetEntry entry(std::size_t k) const {
        FacetEntry e;
        e.ints = {id[k], ext[k], material[k], section[k]};
        for (std::size_t j = 0; j < 9; ++j) e.vectors[j] = vectors[9 * k + j];
        e.area = area[k];
        return e;
    }
    std::vector<int32_t> id, ext, material, section;
    std::vector<double> vectors, area;
};

void expect_entry(const ParticleEntry& actual, const ParticleEntry& expected, const std::string& what) {
    EXPECT_EQ(actual.ints, expected.ints) << what;
    EXPECT_EQ(actual.scalars, expected.scalars) << what;
    EXPECT_EQ(actual.vectors, expected.vectors) << what;
}

void expect_entry(const FacetEntry& actual, const FacetEntry& expected, const std::string& what) {
    EXPECT_EQ(actual.ints, expected.ints) << what;
    EXPECT_EQ(actual.vectors, expected.vectors) << what;
    EXPECT_EQ(actual.area, expected.area) << what;
}

}  // namespace

TEST_F(CouplingExport, ParticleRecordLayout) {
    build("coupling_step_shell.inp");
    if (HasFatalFailure()) return;
    distinct_state();
    ParticleRecords r(4);
    int32_t count = -1;
    ASSERT_EQ(sph_coupling_export_particles(0, 4, count, r.out()), 0) << sph_error_message();
    ASSERT_EQ(count, 4);
    // Wet lists nodes 3, 1, 4, 2: entry 0 is particle 2 (node 3), entry 1 particle 0 (node 1).
    EXPECT_EQ(r.ext, (std::vector<int32_t>{3, 1, 4, 2}));
    EXPECT_EQ(r.index, (std::vector<int32_t>{2, 0, 3, 1}));
    EXPECT_EQ(r.phase, (std::vector<int32_t>{5, 5, 6, 5}));
    EXPECT_EQ(r.status, (std::vector<int32_t>{0, 0, 2, 0}));
    EXPECT_EQ(r.material, (std::vector<int32_t>{1, 1, 2, 1}));
    EXPECT_EQ(r.section, (std::vector<int32_t>{1, 1, 2, 1}));
    const std::vector<double> first_scalars(r.scalars.begin(), r.scalars.begin() + 14);
    EXPECT_EQ(first_scalars, (std::vector<double>{21, 22, 23, 24, 25, 26, 27, 1, 2, 3, 4, 5, 6, 7}));
    // Entry 0: x (201, 202, 203), v (204, 205, 206), a (207, 208, 209); then entry 1.
    const std::vector<double> first_vectors(r.vectors.begin(), r.vectors.begin() + 18);
    EXPECT_EQ(first_vectors, (std::vector<double>{201, 202, 203, 204, 205, 206, 207, 208, 209,
                                                  1, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (std::size_t k = 0; k < 4; ++k)
        expect_entry(r.entry(k), particle_record(r.index[k]), "entry " + std::to_string(k));
}

TEST_F(CouplingExport, FacetRecordLayoutAndNormals) {
    build("coupling_step_shell.inp");
    if (HasFatalFailure()) return;
    distinct_state();
    FacetRecords r(3);
    int32_t count = -1;
    ASSERT_EQ(sph_coupling_export_facets(0, 3, count, r.out()), 0) << sph_error_message();
    ASSERT_EQ(count, 3);
    // The shell members of Wet in list order: particles 2, 0, 1 (the boundary particle 3 is
    // passed by). Facet ids are particle indices; the normal is the director as stored.
    EXPECT_EQ(r.id, (std::vector<int32_t>{2, 0, 1}));
    EXPECT_EQ(r.ext, (std::vector<int32_t>{3, 1, 2}));
    EXPECT_EQ(r.area, (std::vector<double>{2.0, 2.0, 3.5}));
    const std::vector<double> entry1(r.vectors.begin() + 9, r.vectors.begin() + 18);
    EXPECT_EQ(entry1, (std::vector<double>{1, 2, 3, 4, 5, 6, 0, 0, 2}));
    for (std::size_t k = 0; k < 3; ++k) expect_entry(r.entry(k), facet_record(r.id[k]), "entry " + std::to_string(k));

    // A pressure import uses the unit normal: 3 * area 2 * (0, 0, 1) = (0, 0, 6) on facet 0,
    // and -2 * 3.5 * (0, 0, 1) = (0, 0, -7) on facet 1.
    const std::vector<int32_t> ids = {0, 1};
    const std::vector<double> pressures = {3.0, -2.0};
    ASSERT_EQ(sph_coupling_apply_facet_pressures(0, 2, ids.data(), pressures.data(), 1, 2), 0) << sph_error_message();
    expect_vec(vec(sph_coupling.coupling_external_force, 0), {0.0, 0.0, 6.0}, 0.0, "force on facet 0");
    expect_vec(vec(sph_coupling.coupling_external_force, 1), {0.0, 0.0, -7.0}, 0.0, "force on facet 1");
    EXPECT_EQ(diagnostics().v[24], 3.0);  // largest |p|
}

TEST_F(CouplingExport, RegionsCapacitiesAndStops) {
    // Arrays of 6 entries filled with sentinels. After the call the first `filled` entries
    // hold the records of `particles`, entries up to `zeroed` are 0 and the rest keep their
    // sentinels.
    enum Change { none, nan_temperature0, inf_acceleration3, member_outside, zero_area0, nan_director2, cold_members };
    struct Case {
        const char* what;
        bool facets;
        int region;
        const char* name;  // non-empty: exported by name
        int32_t capacity;
        Change change;
        const char* message;  // empty: success
        int32_t count;
        std::size_t zeroed;
        std::vector<int32_t> particles;
        int32_t nonfinite, bad_area, invalid_weight;
    };
    const char* too_small = "coupling particle export capacity is too small";
    const char* facets_too_small = "coupling facet export capacity is too small";
    const char* region_index = "coupling region index is invalid";
    const char* not_finite = "coupling particle export state is not finite";
    const std::vector<int32_t> wet = {2, 0, 3, 1}, wet_facets = {2, 0, 1}, faces = {0, 1, 2};
    const Case cases[] = {
        {"Wet's particles in list order", false, 0, "", 4, none, "", 4, 4, wet, 0, 0, 0},
        {"a capacity above the count", false, 0, "", 6, none, "", 4, 6, wet, 0, 0, 0},
        {"a region of particles only", false, 3, "", 4, none, "", 4, 4, wet, 0, 0, 0},
        {"by name, any case and trailing blanks", false, 0, "wET  ", 4, none, "", 4, 4, wet, 0, 0, 0},
        {"too small a capacity: the count needed, every entry zeroed", false, 0, "", 2, none, too_small, 4, 2, {}, 0,
         0, 0},
        {"capacity 0", false, 0, "", 0, none, too_small, 4, 0, {}, 0, 0, 0},
        {"a negative capacity", false, 0, "", -1, none, "coupling export capacity is negative", 0, 0, {}, 0, 0, 0},
        {"a region index past the table", false, 6, "", 4, none, region_index, 0, 4, {}, 0, 0, 0},
        {"region index -1", false, -1, "", 4, none, region_index, 0, 4, {}, 0, 0, 0},
        {"an unknown name", false, 0, "Nowhere", 4, none, "coupling region name is invalid", 0, 4, {}, 0, 0, 0},
        {"a disabled region", false, 2, "", 4, none, "", 0, 4, {}, 0, 0, 0},
        // A build leaves a disabled region's list empty; given members, it still exports none.
        {"a disabled region with members", false, 2, "", 4, cold_members, "", 0, 4, {}, 0, 0, 0},
        {"a region of facets only", false, 4, "", 4, none, "", 0, 4, {}, 0, 0, 0},
        {"a NaN temperature stops at its entry", false, 0, "", 4, nan_temperature0, not_finite, 4, 4, {2}, 0, 0, 0},
        {"an infinite acceleration stops at its entry", false, 0, "", 4, inf_acceleration3, not_finite, 4, 4, {2, 0},
         0, 0, 0},
        {"a member outside the model", false, 0, "", 6, member_outside, not_finite, 6, 6, wet, 0, 0, 0},
        {"Wet's facets in list order", true, 0, "", 3, none, "", 3, 3, wet_facets, 0, 0, 0},
        {"a facet capacity above the count", true, 0, "", 6, none, "", 3, 6, wet_facets, 0, 0, 0},
        {"a region of facets only", true, 4, "", 3, none, "", 3, 3, faces, 0, 0, 0},
        {"facets by name", true, 0, "FACES", 3, none, "", 3, 3, faces, 0, 0, 0},
        {"too small a facet capacity", true, 0, "", 2, none, facets_too_small, 3, 2, {}, 0, 0, 0},
        {"a negative facet capacity", true, 0, "", -1, none, "coupling facet export capacity is negative", 0, 0, {}, 0,
         0, 0},
        {"facets of a region index past the table", true, 6, "", 3, none, region_index, 0, 3, {}, 0, 0, 0},
        {"facets of an unknown name", true, 0, "Nowhere", 3, none, "coupling region name is invalid", 0, 3, {}, 0, 0,
         0},
        {"facets of a disabled region", true, 2, "", 3, none, "", 0, 3, {}, 0, 0, 0},
        {"facets of a disabled region with members", true, 2, "", 3, cold_members, "", 0, 3, {}, 0, 0, 0},
        {"facets of a region of particles only", true, 3, "", 3, none, "", 0, 3, {}, 0, 0, 0},
        {"a region without a shell particle", true, 5, "", 3, none, "coupling region has no Shell facet proxy", 0, 3,
         {}, 0, 0, 0},
        {"a member outside the model is passed by", true, 0, "", 3, member_outside, "", 3, 3, wet_facets, 0, 0, 0},
        {"a zero area ends the export at its entry", true, 0, "", 3, zero_area0, "Shell facet area is invalid", 2, 3,
         {2}, 0, 1, 1},
        {"a NaN director ends it at its entry", true, 0, "", 3, nan_director2, "Shell facet normal is not finite", 1,
         3, {}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build("coupling_step_shell.inp");
        if (HasFatalFailure()) return;
        distinct_state();
        SphDatabase& d = sph_database;
        switch (c.change) {
            case none: break;
            case nan_temperature0: d.temperature[0] = not_a_number; break;
            case inf_acceleration3: d.a[3 * 3 + 1] = -inf; break;
            // Far enough that reading their phase would fault.
            case member_outside:
                d.coupling_regions[0].coupling_region_particles.insert(
                    d.coupling_regions[0].coupling_region_particles.end(), {1000000000, -3});
                break;
            case zero_area0: sph_shell_state.shell_reference_area[0] = 0.0; break;
            case nan_director2: sph_shell_state.shell_director[3 * 2] = not_a_number; break;
            case cold_members: d.coupling_regions[2].coupling_region_particles = {2, 0, 3, 1}; break;
        }
        int32_t count = -1;
        int st = -1;
        ParticleRecords pr(6);
        FacetRecords fr(6);
        const std::string_view name = c.name;
        if (c.facets) {
            st = name.empty() ? sph_coupling_export_facets(c.region, c.capacity, count, fr.out())
                              : sph_coupling_export_region_facets(name, c.capacity, count, fr.out());
        } else {
            st = name.empty() ? sph_coupling_export_particles(c.region, c.capacity, count, pr.out())
                              : sph_coupling_export_region_particles(name, c.capacity, count, pr.out());
        }
        if (std::string_view(c.message).empty()) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, c.message);
        }
        EXPECT_EQ(count, c.count);
        for (std::size_t k = 0; k < 6; ++k) {
            const std::string what = "entry " + std::to_string(k);
            const bool filled = k < c.particles.size();
            if (c.facets) {
                const FacetEntry expected = filled ? facet_record(c.particles[k])
                                            : k < c.zeroed ? FacetEntry{}
                                                           : facet_sentinel();
                expect_entry(fr.entry(k), expected, what);
            } else {
                const ParticleEntry expected = filled ? particle_record(c.particles[k])
                                               : k < c.zeroed ? ParticleEntry{}
                                                              : particle_sentinel();
                expect_entry(pr.entry(k), expected, what);
            }
        }
        EXPECT_EQ(sph_coupling.coupling_nonfinite_import_count, c.nonfinite);
        EXPECT_EQ(sph_coupling.coupling_bad_facet_area_count, c.bad_area);
        EXPECT_EQ(sph_coupling.coupling_invalid_weight_count, c.invalid_weight);
    }
}

// ---- Region queries ----

TEST_F(CouplingExport, RegionCountModesAndInfo) {
    build("coupling_step_shell.inp");
    if (HasFatalFailure()) return;
    int32_t regions = -1;
    sph_coupling_get_region_count(regions);
    EXPECT_EQ(regions, 6);
    // A build leaves the disabled region's list empty; given members by hand it still
    // reports no particles and no facets.
    sph_database.coupling_regions[2].coupling_region_particles = {2, 0, 3, 1};
    struct Case {
        int region;
        const char* message;  // empty: success
        std::array<int32_t, 3> modes;  // load, distribution, contact state
        const char* name;
        std::array<int32_t, 6> info;  // type, export, import, enabled, particle count, facet count
    };
    const char* bad = "coupling region index is invalid";
    const Case cases[] = {
        {0, "", {1, 1, 1}, "Wet", {1, 3, 1, 1, 4, 3}},
        {1, "", {1, 1, 0}, "Dry", {1, 3, 1, 1, 4, 3}},
        // Disabled: its name and modes, enabled 0 and no counts.
        {2, "", {3, 3, 1}, "Cold", {1, 3, 1, 0, 0, 0}},
        {3, "", {1, 1, 1}, "Parts", {1, 1, 1, 1, 4, 0}},
        {4, "", {1, 1, 0}, "Faces", {1, 2, 1, 1, 0, 3}},
        // No shell particle: 0 facets, a success that leaves the error state alone.
        {5, "", {1, 1, 0}, "Walls", {1, 3, 1, 1, 1, 0}},
        {6, bad, {}, "", {}},
        {-1, bad, {}, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.region);
        sph_error_set(sph_error_input, "an earlier failure");
        std::array<int32_t, 3> modes;
        modes.fill(9);
        int st = sph_coupling_get_region_modes(c.region, modes[0], modes[1], modes[2]);
        const bool ok = std::string_view(c.message).empty();
        if (ok) {
            EXPECT_EQ(st, 0);
        } else {
            expect_failure(st, c.message);
        }
        EXPECT_EQ(modes, c.modes);
        sph_error_set(sph_error_input, "an earlier failure");
        std::array<int32_t, 6> info;
        info.fill(9);
        std::string_view name = "unset";
        st = sph_coupling_get_region_info(c.region, name, info[0], info[1], info[2], info[3], info[4], info[5]);
        if (ok) {
            EXPECT_EQ(st, 0);
            EXPECT_EQ(sph_error_code(), sph_error_input);
            EXPECT_EQ(sph_error_message(), "an earlier failure");
        } else {
            expect_failure(st, c.message);
        }
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(info, c.info);
    }
}

// ---- Diagnostics ----


TEST_F(CouplingDiagnostics, CapacitiesDecideWhatIsWritten) {
    // Arrays of 32 values and 16 counts filled with sentinels. Values 1-22 and counts 1-5 are
    // always written; 23-27 only with room for 27, counts 6-12 only with room for 12; the rest
    // of the given capacity is zeroed; nothing past it is touched. Too small a buffer writes
    // nothing.
    struct Case {
        int32_t values, counts;
        bool ok;
    };
    const Case cases[] = {{22, 5, true},  {27, 12, true}, {30, 12, true}, {26, 11, true}, {22, 12, true},
                          {27, 5, true},  {32, 16, true}, {21, 5, false}, {22, 4, false}, {21, 12, false},
                          {0, 0, false},  {-1, 12, false}};
    numbered_state();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.values) + " values, " + std::to_string(c.counts) + " counts");
        sph_error_clear();
        std::vector<double> values(32, -9.0);
        std::vector<int32_t> counts(16, -9);
        const int st = sph_coupling_get_diagnostic_values(c.values, values.data(), c.counts, counts.data());
        if (c.ok) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            expect_failure(st, "coupling diagnostics buffer is too small");
        }
        for (int32_t k = 0; k < 32; ++k) {
            double expected = -9.0;
            if (c.ok && k < c.values) {
                const bool shown = k < 22 || (k < 27 && c.values >= 27);
                expected = shown ? k + 1.5 : 0.0;
            }
            EXPECT_EQ(values[static_cast<std::size_t>(k)], expected) << "value " << k + 1;
        }
        for (int32_t k = 0; k < 16; ++k) {
            int32_t expected = -9;
            if (c.ok && k < c.counts) {
                const bool shown = k < 5 || (k < 12 && c.counts >= 12);
                expected = shown ? 101 + k : 0;
            }
            EXPECT_EQ(counts[static_cast<std::size_t>(k)], expected) << "count " << k + 1;
        }
    }
}

TEST_F(CouplingDiagnostics, ContactDiagnosticsFollowTheImports) {
    build("coupling_step_shell.inp");
    if (HasFatalFailure()) return;
    struct Contacts {
        int32_t active, skipped;
        double max_penetration;
        int32_t stale, repeated, nonfinite, bad_area, invalid_weight;
    };
    auto contact_diagnostics = [] {
        Contacts r{};
        sph_coupling_get_contact_diagnostics(r.active, r.skipped, r.max_penetration, r.stale, r.repeated,
                                             r.nonfinite, r.bad_area, r.invalid_weight);
        return r;
    };
    // Host step 2: two contacts, penetrations 0.125 and 0.75.
    ASSERT_EQ(contacts(0, {contact_a, contact_b}, 2), 0) << sph_error_message();
    // Five more calls for the same step, each a repeated import while contacts are buffered:
    // facet 2 again (its state replaced, one more stored: 3; a facet of an earlier call is no
    // duplicate), a contact on inactive particle 1 (skipped: its penetration 2 is not taken),
    // a NaN normal, a zero normal, and a pressure on a facet whose area is 0.
    ASSERT_EQ(contacts(0, {{2, {0.0, 0.0, -1.0}, 0.5, 0.25, 5.0}}, 2), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_contact_gap[2], 0.5);
    EXPECT_EQ(sph_coupling.coupling_contact_penetration[2], 0.25);
    EXPECT_EQ(sph_coupling.coupling_contact_pressure[2], 5.0);
    expect_vec(vec(sph_coupling.coupling_contact_normal, 2), {0.0, 0.0, -1.0}, 0.0, "replaced normal");
    sph_database.particle_status[1] = sph_status_inactive;
    ASSERT_EQ(contacts(0, {{1, {1.0, 0.0, 0.0}, 0.0, 2.0, 0.0}}, 2), 0) << sph_error_message();
    expect_failure(contacts(0, {{2, {not_a_number, 0.0, 0.0}, 0.0, 0.0, 0.0}}, 2),
                   "coupling contact state contains nonfinite values");
    expect_failure(contacts(0, {{2, zero, 0.0, 0.0, 0.0}}, 2), "coupling contact normal is degenerate");
    sph_shell_state.shell_reference_area[0] = 0.0;
    const int32_t facet = 0;
    const double pressure = 1.0;
    expect_failure(sph_coupling_apply_facet_pressures(0, 1, &facet, &pressure, 1, 2), "Shell facet area is invalid");

    Contacts r = contact_diagnostics();
    EXPECT_EQ(r.active, 3);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(r.max_penetration, 0.75);
    EXPECT_EQ(r.stale, 0);
    EXPECT_EQ(r.repeated, 5);
    EXPECT_EQ(r.nonfinite, 1);
    EXPECT_EQ(r.bad_area, 1);
    EXPECT_EQ(r.invalid_weight, 2);  // the zero normal and the zero area
    Diagnostics d = diagnostics();
    EXPECT_EQ(d.c, (Counts{0, 1, 1, 0, 0, 5, 0, 2, 3, 1, 1, 1}));
    EXPECT_EQ(d.v[26], 0.75);

    // A clear with only contacts buffered is stale; it empties the contacts.
    ASSERT_EQ(sph_coupling_clear_imports(), 0) << sph_error_message();
    r = contact_diagnostics();
    EXPECT_EQ(r.active, 0);
    EXPECT_EQ(r.max_penetration, 0.0);
    EXPECT_EQ(r.stale, 1);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(r.repeated, 5);
    EXPECT_EQ(sph_coupling.coupling_epoch, 3);
}

// ---- A constant force on an isolated water particle ----

TEST_F(CouplingValidation, ConstantForceOnWaterMatchesTheClosedForm) {
    build("coupling_step_water.inp");
    if (HasFatalFailure()) return;
    // F = (1, -2, 4) on mass m = 2 every step: a = F / m = (0.5, -1, 2). Leapfrog with a
    // constant a is exact: after n steps v = a t and x = x0 + a t^2/2 with t = n dt.
    // The cumulative impulse is F t = m v. The work of step k uses the start velocity
    // (k - 1) dt a, so after N steps W = (a.F) dt^2 N (N - 1)/2, while the kinetic energy
    // gained is m |v|^2/2 = (a.F) dt^2 N^2/2 (m |a|^2 = a.F = 0.5 + 2 + 8 = 10.5): W = (N - 1)/N of it.
    const Vec3 f{1.0, -2.0, 4.0};
    const double m = 2.0, dt = 0.0009765625;
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.mass[0], m);
    for (int n = 1; n <= 16; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(force_on(0, 0, f), 0) << sph_error_message();
        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        const double t = n * dt;
        for (std::size_t k = 0; k < 3; ++k) {
            const double x = f[k] * t * t / (2.0 * m);
            EXPECT_NEAR(d.x[k], x, 1e-15 * std::fabs(x)) << "x component " << k;
            EXPECT_NEAR(d.v[k], f[k] * t / m, 1e-15 * std::fabs(f[k] * t / m)) << "v component " << k;
            EXPECT_NEAR(sph_coupling.coupling_cumulative_impulse[k], f[k] * t, 1e-15 * std::fabs(f[k] * t));
            EXPECT_NEAR(sph_coupling.coupling_cumulative_impulse[k], m * d.v[k], 1e-15 * std::fabs(f[k] * t));
        }
        const double speed2 = d.v[0] * d.v[0] + d.v[1] * d.v[1] + d.v[2] * d.v[2];
        const double kinetic = 0.5 * m * speed2;
        EXPECT_NEAR(kinetic, 10.5 * dt * dt * n * n / 2.0, 1e-12 * kinetic);
        const double ratio = static_cast<double>(n - 1) / n;
        EXPECT_NEAR(sph_coupling.coupling_cumulative_work, ratio * kinetic, 1e-12 * kinetic);
        EXPECT_NEAR(sph_coupling.coupling_current_work, 10.5 * (n - 1) * dt * dt, 1e-12 * kinetic);
    }
}
