#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "gas/sph_gas_source.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

using Vec3 = std::array<double, 3>;

struct Particle {
    int32_t phase = sph_phase_gas;
    int32_t status = sph_status_active;
    double m = 1.0;
    Vec3 v{0.0, 0.0, 0.0};
    double e = 0.0;
};

// Particles straight in the store. Density, volume and position get values of their own
// so that a source application that touched them would show.
void build(const std::vector<Particle>& ps) {
    ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(ps.size())), 0);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        d.particle_phase[i] = ps[i].phase;
        d.particle_status[i] = ps[i].status;
        d.mass[i] = ps[i].m;
        d.internal_energy[i] = ps[i].e;
        d.rho[i] = 1.5 + static_cast<double>(i);
        d.volume[i] = 0.25 + static_cast<double>(i);
        for (std::size_t k = 0; k < 3; ++k) {
            d.v[3 * i + k] = ps[i].v[k];
            d.x[3 * i + k] = static_cast<double>(i) * static_cast<double>(k + 1);
        }
    }
}

// n active gas particles of mass 1 at rest.
void gas_model(std::size_t n) { build(std::vector<Particle>(n)); }

Vec3 velocity(std::size_t i) {
    const SphDatabase& d = sph_database;
    return {d.v[3 * i], d.v[3 * i + 1], d.v[3 * i + 2]};
}

Vec3 momentum_rate(std::size_t i) {
    const SphGasSource& s = sph_gas_source;
    return {s.gas_momentum_source[3 * i], s.gas_momentum_source[3 * i + 1], s.gas_momentum_source[3 * i + 2]};
}

// Rates written straight into the arrays, for particles an add would refuse.
void put_rates(std::size_t i, double mass_rate, const Vec3& p, double energy_rate) {
    SphGasSource& s = sph_gas_source;
    s.gas_mass_source[i] = mass_rate;
    for (std::size_t k = 0; k < 3; ++k) s.gas_momentum_source[3 * i + k] = p[k];
    s.gas_energy_source[i] = energy_rate;
}

void expect_all_rates_zero() {
    const SphGasSource& s = sph_gas_source;
    for (double r : s.gas_mass_source) EXPECT_EQ(r, 0.0);
    for (double r : s.gas_momentum_source) EXPECT_EQ(r, 0.0);
    for (double r : s.gas_energy_source) EXPECT_EQ(r, 0.0);
}

}  // namespace

// The source state is not in the lifecycle list yet, so each test starts and ends with it
// reset here.
class GasSource : public test::QuorrelTest {
protected:
    void SetUp() override {
        test::QuorrelTest::SetUp();
        sph_gas_source_reset();
    }
    void TearDown() override {
        sph_gas_source_reset();
        test::QuorrelTest::TearDown();
    }
};

TEST_F(GasSource, AddingTheSameSourceTwiceDoublesTheRates) {
    gas_model(4);
    struct Add {
        int32_t index;
        double mass_rate;
        Vec3 p;
        double energy_rate;
    };
    // The first and the last index, and one between; particle 1 gets nothing.
    const Add adds[] = {
        {0, 1.5, {1.0, -2.0, 3.0}, 10.0},
        {2, -0.25, {0.0, 0.5, 0.0}, 4.0},
        {3, 2.0, {-1.0, 0.0, 0.25}, -6.0},
    };
    for (int round = 0; round < 2; ++round)
        for (const Add& a : adds)
            ASSERT_EQ(sph_gas_source_add_by_particle(a.index, a.mass_rate, a.p.data(), a.energy_rate), 0);

    const SphGasSource& s = sph_gas_source;
    ASSERT_EQ(s.gas_mass_source.size(), 4u);
    ASSERT_EQ(s.gas_momentum_source.size(), 12u);
    ASSERT_EQ(s.gas_energy_source.size(), 4u);
    for (const Add& a : adds) {
        SCOPED_TRACE("particle " + std::to_string(a.index));
        const std::size_t i = static_cast<std::size_t>(a.index);
        EXPECT_EQ(s.gas_mass_source[i], 2.0 * a.mass_rate);
        EXPECT_EQ(momentum_rate(i), (Vec3{2.0 * a.p[0], 2.0 * a.p[1], 2.0 * a.p[2]}));
        EXPECT_EQ(s.gas_energy_source[i], 2.0 * a.energy_rate);
    }
    EXPECT_EQ(s.gas_mass_source[1], 0.0);
    EXPECT_EQ(momentum_rate(1), (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(s.gas_energy_source[1], 0.0);

    // Twice the sums of the table: mass 1.5 - 0.25 + 2, momentum (1 - 1, -2 + 0.5, 3 + 0.25),
    // energy 10 + 4 - 6.
    double mass = -1.0, energy = -1.0;
    double momentum[3] = {-1.0, -1.0, -1.0};
    ASSERT_EQ(sph_gas_source_get_summary(mass, momentum, energy), 0);
    EXPECT_EQ(mass, 6.5);
    EXPECT_EQ(momentum[0], 0.0);
    EXPECT_EQ(momentum[1], -3.0);
    EXPECT_EQ(momentum[2], 6.5);
    EXPECT_EQ(energy, 16.0);
}

TEST_F(GasSource, RatesPersistAcrossApplicationsUntilCleared) {
    build({{sph_phase_gas, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 0.0}});
    const double p[3] = {4.0, 0.0, 0.0};
    ASSERT_EQ(sph_gas_source_add_by_particle(0, 2.0, p, 8.0), 0);
    const double dt = 0.25;
    // Each step adds dt*rate of mass 0.5, momentum 1 and energy 2:
    //   m 1 -> 1.5 -> 2;  m*v 0 -> 1 -> 2;  m*e 0 -> 2 -> 4.
    struct After {
        double m, vx, e;
    };
    const After steps[] = {{1.5, 1.0 / 1.5, 2.0 / 1.5}, {2.0, 1.0, 2.0}};
    const SphDatabase& d = sph_database;
    const SphGasSource& s = sph_gas_source;
    for (const After& want : steps) {
        ASSERT_EQ(sph_gas_source_apply_explicit(dt), 0);
        EXPECT_DOUBLE_EQ(d.mass[0], want.m);
        EXPECT_DOUBLE_EQ(d.v[0], want.vx);
        EXPECT_DOUBLE_EQ(d.internal_energy[0], want.e);
        EXPECT_EQ(s.gas_mass_source[0], 2.0);
        EXPECT_EQ(momentum_rate(0), (Vec3{4.0, 0.0, 0.0}));
        EXPECT_EQ(s.gas_energy_source[0], 8.0);
    }

    ASSERT_EQ(sph_gas_source_clear(), 0);
    expect_all_rates_zero();
    EXPECT_EQ(s.gas_source_mass_total, 0.0);
    EXPECT_EQ(s.gas_source_momentum_total, (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(s.gas_source_energy_total, 0.0);
    ASSERT_EQ(sph_gas_source_apply_explicit(dt), 0);
    EXPECT_DOUBLE_EQ(d.mass[0], 2.0);
    EXPECT_DOUBLE_EQ(d.v[0], 1.0);
    EXPECT_DOUBLE_EQ(d.internal_energy[0], 2.0);
}

TEST_F(GasSource, OneApplicationConservesMassMomentumAndEnergy) {
    struct Row {
        const char* name;
        Particle before;
        double mass_rate;
        Vec3 p;
        double energy_rate;
        double m, e;  // after
        Vec3 v;       // after
    };
    // dt = 0.5; m' = m + dt*mr, v' = (m v + dt p)/m', e' = (m e + dt E)/m'.
    const Row rows[] = {
        // m' = 2 + 2 = 4; m v + dt p = (2, -4, 1) + (3, 4, -1) = (5, 0, 0); m e + dt E = 20 + 15.
        // Adding dt*E/m' to e instead would give 10 + 15/4 = 13.75.
        {"gaining", {sph_phase_gas, sph_status_active, 2.0, {1.0, -2.0, 0.5}, 10.0},
         4.0, {6.0, 8.0, -2.0}, 30.0, 4.0, 35.0 / 4.0, {1.25, 0.0, 0.0}},
        // m' = 4 - 1 = 3; (8, 0, -4) + (0, -3, 1) = (8, -3, -3); 12 - 2 = 10.
        {"losing", {sph_phase_gas, sph_status_active, 4.0, {2.0, 0.0, -1.0}, 3.0},
         -2.0, {0.0, -6.0, 2.0}, -4.0, 3.0, 10.0 / 3.0, {8.0 / 3.0, -1.0, -1.0}},
        {"no rates", {sph_phase_gas, sph_status_active, 3.0, {2.0, 2.0, 2.0}, 5.0},
         0.0, {0.0, 0.0, 0.0}, 0.0, 3.0, 5.0, {2.0, 2.0, 2.0}},
        // Rates left on particles that are not active gas are not applied.
        {"water", {sph_phase_water, sph_status_active, 1.0, {1.0, 0.0, 0.0}, 7.0},
         1.0, {1.0, 1.0, 1.0}, 1.0, 1.0, 7.0, {1.0, 0.0, 0.0}},
        {"inactive gas", {sph_phase_gas, sph_status_inactive, 2.0, {0.0, 1.0, 0.0}, 6.0},
         0.5, {0.0, 0.0, 2.0}, 3.0, 2.0, 6.0, {0.0, 1.0, 0.0}},
    };
    std::vector<Particle> ps;
    for (const Row& r : rows) ps.push_back(r.before);
    build(ps);
    ASSERT_EQ(sph_gas_source_allocate(), 0);
    for (std::size_t i = 0; i < std::size(rows); ++i) put_rates(i, rows[i].mass_rate, rows[i].p, rows[i].energy_rate);

    const double dt = 0.5;
    ASSERT_EQ(sph_gas_source_apply_explicit(dt), 0);
    const SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.name);
        EXPECT_DOUBLE_EQ(d.mass[i], r.m);
        const Vec3 v = velocity(i);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(v[k], r.v[k]);
        EXPECT_DOUBLE_EQ(d.internal_energy[i], r.e);
        EXPECT_EQ(d.rho[i], 1.5 + static_cast<double>(i));
        EXPECT_EQ(d.volume[i], 0.25 + static_cast<double>(i));
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(d.x[3 * i + k], static_cast<double>(i) * static_cast<double>(k + 1));
    }
    // The internal energy held by the first particle grows by exactly dt*E = 15.
    EXPECT_DOUBLE_EQ(d.mass[0] * d.internal_energy[0], 2.0 * 10.0 + dt * 30.0);

    // The application keeps the rates: the summary's totals are over every particle,
    // whatever its phase.
    double mass_total = 0.0, momentum_total[3] = {}, energy_total = 0.0;
    ASSERT_EQ(sph_gas_source_get_summary(mass_total, momentum_total, energy_total), 0);
    EXPECT_DOUBLE_EQ(mass_total, 4.0 - 2.0 + 0.0 + 1.0 + 0.5);
    EXPECT_DOUBLE_EQ(momentum_total[0], 6.0 + 0.0 + 0.0 + 1.0 + 0.0);
    EXPECT_DOUBLE_EQ(momentum_total[1], 8.0 - 6.0 + 0.0 + 1.0 + 0.0);
    EXPECT_DOUBLE_EQ(momentum_total[2], -2.0 + 2.0 + 0.0 + 1.0 + 2.0);
    EXPECT_DOUBLE_EQ(energy_total, 30.0 - 4.0 + 0.0 + 1.0 + 3.0);
}

TEST_F(GasSource, RefusedOperationsReportAndChangeNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::string range = "Gas source particle id is out of range";
    const std::string target = "Gas source target must be active Gas";
    const std::string finite = "Gas source value is not finite";
    const std::string mass = "Gas source produced nonpositive mass";
    const std::string step = "Gas source time step must be positive";
    const auto add = [](int32_t index, double mass_rate, Vec3 p, double energy_rate) {
        return sph_gas_source_add_by_particle(index, mass_rate, p.data(), energy_rate);
    };
    // Particle 0 (mass 2) gets mass rate `rate`, then the sources are applied over dt.
    const auto apply = [](double rate, double dt) {
        const double p[3] = {1.0, 0.0, 0.0};
        if (int st = sph_gas_source_add_by_particle(0, rate, p, 1.0)) return st;
        return sph_gas_source_apply_explicit(dt);
    };
    struct Case {
        const char* name;
        std::function<int()> call;
        const std::string& message;
        bool rates_stay_zero;
    };
    const Case cases[] = {
        {"index -1", [&] { return add(-1, 1.0, {0.0, 0.0, 0.0}, 0.0); }, range, true},
        {"index npart", [&] { return add(4, 1.0, {0.0, 0.0, 0.0}, 0.0); }, range, true},
        {"index npart and a NaN rate", [&] { return add(4, nan, {0.0, 0.0, 0.0}, 0.0); }, range, true},
        {"water target", [&] { return add(1, 1.0, {0.0, 0.0, 0.0}, 0.0); }, target, true},
        {"inactive gas target", [&] { return add(2, 1.0, {0.0, 0.0, 0.0}, 0.0); }, target, true},
        {"water target and a NaN rate", [&] { return add(1, nan, {0.0, 0.0, 0.0}, 0.0); }, target, true},
        {"NaN mass rate", [&] { return add(3, nan, {0.0, 0.0, 0.0}, 0.0); }, finite, true},
        {"infinite energy rate", [&] { return add(3, 1.0, {0.0, 0.0, 0.0}, inf); }, finite, true},
        {"infinite momentum rate", [&] { return add(3, 1.0, {0.0, -inf, 0.0}, 1.0); }, finite, true},
        {"NaN momentum rate", [&] { return add(0, 1.0, {0.0, 0.0, nan}, 1.0); }, finite, true},
        // m' = 2 - 4 * 0.5 = 0, and below it.
        {"mass rate -m/dt", [&] { return apply(-4.0, 0.5); }, mass, false},
        {"mass rate -2m/dt", [&] { return apply(-8.0, 0.5); }, mass, false},
        {"dt zero", [&] { return apply(1.0, 0.0); }, step, false},
        {"dt negative", [&] { return apply(1.0, -0.5); }, step, false},
        {"dt NaN", [&] { return apply(1.0, nan); }, step, false},
        {"dt infinite", [&] { return apply(1.0, inf); }, step, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sph_gas_source_reset();
        build({{sph_phase_gas, sph_status_active, 2.0, {1.0, 2.0, 3.0}, 5.0},
               {sph_phase_water, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 0.0},
               {sph_phase_gas, sph_status_inactive, 1.0, {0.0, 0.0, 0.0}, 0.0},
               {sph_phase_gas, sph_status_active, 1.0, {-1.0, 0.0, 0.0}, 4.0}});
        sph_error_clear();
        EXPECT_EQ(c.call(), sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), c.message);
        const SphDatabase& d = sph_database;
        EXPECT_EQ(d.mass[0], 2.0);
        EXPECT_EQ(velocity(0), (Vec3{1.0, 2.0, 3.0}));
        EXPECT_EQ(d.internal_energy[0], 5.0);
        EXPECT_EQ(d.mass[3], 1.0);
        EXPECT_EQ(velocity(3), (Vec3{-1.0, 0.0, 0.0}));
        EXPECT_EQ(d.internal_energy[3], 4.0);
        if (c.rates_stay_zero) expect_all_rates_zero();
    }
}

TEST_F(GasSource, NonpositiveMassStopsTheApplicationKeepingEarlierUpdates) {
    build({{sph_phase_gas, sph_status_active, 2.0, {0.0, 0.0, 0.0}, 1.0},
           {sph_phase_gas, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 1.0},
           {sph_phase_gas, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 1.0}});
    const double p[3] = {2.0, 0.0, 0.0};
    for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(sph_gas_source_add_by_particle(i, i == 1 ? -2.0 : 2.0, p, 4.0), 0);
    EXPECT_EQ(sph_gas_source_apply_explicit(0.5), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "Gas source produced nonpositive mass");
    const SphDatabase& d = sph_database;
    // The first: m' = 3, v' = (0 + 1)/3, e' = (2 + 2)/3. The second (m' = 0) and the third
    // stay as they were.
    EXPECT_DOUBLE_EQ(d.mass[0], 3.0);
    EXPECT_DOUBLE_EQ(d.v[0], 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(d.internal_energy[0], 4.0 / 3.0);
    for (std::size_t i : {1u, 2u}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d.mass[i], 1.0);
        EXPECT_EQ(d.v[3 * i], 0.0);
        EXPECT_EQ(d.internal_energy[i], 1.0);
    }
}

TEST_F(GasSource, AllocationKeepsRatesOnlyWhileTheParticleCountStays) {
    struct Row {
        std::size_t first, second;
        bool kept;
    };
    // A new store of the same size keeps the rates; a different count starts from zero.
    const Row rows[] = {{3, 3, true}, {3, 5, false}, {3, 2, false}};
    const double p[3] = {1.0, -1.0, 0.5};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.first) + " -> " + std::to_string(r.second));
        sph_gas_source_reset();
        gas_model(r.first);
        ASSERT_EQ(sph_gas_source_add_by_particle(0, 1.5, p, 3.0), 0);
        gas_model(r.second);
        ASSERT_EQ(sph_gas_source_allocate(), 0);
        const SphGasSource& s = sph_gas_source;
        ASSERT_EQ(s.gas_mass_source.size(), r.second);
        ASSERT_EQ(s.gas_momentum_source.size(), 3 * r.second);
        ASSERT_EQ(s.gas_energy_source.size(), r.second);
        EXPECT_EQ(s.gas_mass_source[0], r.kept ? 1.5 : 0.0);
        EXPECT_EQ(momentum_rate(0), r.kept ? (Vec3{1.0, -1.0, 0.5}) : (Vec3{0.0, 0.0, 0.0}));
        EXPECT_EQ(s.gas_energy_source[0], r.kept ? 3.0 : 0.0);
        for (std::size_t i = 1; i < r.second; ++i) {
            EXPECT_EQ(s.gas_mass_source[i], 0.0);
            EXPECT_EQ(momentum_rate(i), (Vec3{0.0, 0.0, 0.0}));
            EXPECT_EQ(s.gas_energy_source[i], 0.0);
        }
    }
}

TEST_F(GasSource, SummaryAndClearAllocateForTheCurrentCount) {
    const double p[3] = {1.0, 2.0, 3.0};
    double mass = -1.0, energy = -1.0;
    double momentum[3] = {-1.0, -1.0, -1.0};

    // The summary's allocation drops rates sized for the previous count.
    gas_model(2);
    ASSERT_EQ(sph_gas_source_add_by_particle(1, 1.0, p, 1.0), 0);
    gas_model(4);
    ASSERT_EQ(sph_gas_source_get_summary(mass, momentum, energy), 0);
    EXPECT_EQ(mass, 0.0);
    EXPECT_EQ(momentum[0], 0.0);
    EXPECT_EQ(momentum[1], 0.0);
    EXPECT_EQ(momentum[2], 0.0);
    EXPECT_EQ(energy, 0.0);
    EXPECT_EQ(sph_gas_source.gas_mass_source.size(), 4u);

    // Clear makes the arrays when there are none.
    sph_gas_source_reset();
    ASSERT_EQ(sph_gas_source_clear(), 0);
    EXPECT_EQ(sph_gas_source.gas_mass_source.size(), 4u);
    EXPECT_EQ(sph_gas_source.gas_momentum_source.size(), 12u);
    EXPECT_EQ(sph_gas_source.gas_energy_source.size(), 4u);
    expect_all_rates_zero();

    // With no particles nothing is made, and arrays left from another count add nothing.
    ASSERT_EQ(sph_gas_source_add_by_particle(3, 2.0, p, 5.0), 0);
    ASSERT_EQ(sph_db_allocate(0), 0);
    EXPECT_EQ(sph_gas_source_allocate(), 0);
    ASSERT_EQ(sph_gas_source_get_summary(mass, momentum, energy), 0);
    EXPECT_EQ(mass, 0.0);
    EXPECT_EQ(momentum[2], 0.0);
    EXPECT_EQ(energy, 0.0);
}

TEST_F(GasSource, SummaryRecountsOverEveryParticle) {
    build({{sph_phase_gas, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 0.0},
           {sph_phase_water, sph_status_active, 1.0, {0.0, 0.0, 0.0}, 0.0},
           {sph_phase_gas, sph_status_inactive, 1.0, {0.0, 0.0, 0.0}, 0.0}});
    ASSERT_EQ(sph_gas_source_allocate(), 0);
    // Written past the add, and with stale totals: only a recount finds these sums.
    put_rates(0, 1.0, {1.0, 0.0, -1.0}, 2.0);
    put_rates(1, 0.5, {0.0, 2.0, 0.0}, 4.0);
    put_rates(2, 0.25, {0.0, 0.0, 4.0}, 8.0);
    SphGasSource& s = sph_gas_source;
    s.gas_source_mass_total = 99.0;
    s.gas_source_momentum_total = {99.0, 99.0, 99.0};
    s.gas_source_energy_total = 99.0;

    double mass = -1.0, energy = -1.0;
    double momentum[3] = {-1.0, -1.0, -1.0};
    ASSERT_EQ(sph_gas_source_get_summary(mass, momentum, energy), 0);
    EXPECT_EQ(mass, 1.75);
    EXPECT_EQ(momentum[0], 1.0);
    EXPECT_EQ(momentum[1], 2.0);
    EXPECT_EQ(momentum[2], 3.0);
    EXPECT_EQ(energy, 14.0);

    // An add is seen by the next summary.
    const double p[3] = {0.0, 0.0, 1.0};
    ASSERT_EQ(sph_gas_source_add_by_particle(0, 0.25, p, 1.0), 0);
    ASSERT_EQ(sph_gas_source_get_summary(mass, momentum, energy), 0);
    EXPECT_EQ(mass, 2.0);
    EXPECT_EQ(momentum[2], 4.0);
    EXPECT_EQ(energy, 15.0);

    // No arrays: the recount gives zeros.
    sph_gas_source_reset();
    s.gas_source_mass_total = 99.0;
    s.gas_source_momentum_total = {99.0, 99.0, 99.0};
    s.gas_source_energy_total = 99.0;
    sph_gas_source_update_totals();
    EXPECT_EQ(s.gas_source_mass_total, 0.0);
    EXPECT_EQ(s.gas_source_momentum_total, (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(s.gas_source_energy_total, 0.0);
}

TEST_F(GasSource, ResetFreesTheArraysAndZeroesTheTotals) {
    gas_model(4);
    const double p[3] = {1.0, 1.0, 1.0};
    ASSERT_EQ(sph_gas_source_add_by_particle(2, 1.0, p, 1.0), 0);
    sph_gas_source_update_totals();
    ASSERT_EQ(sph_gas_source.gas_source_mass_total, 1.0);

    sph_gas_source_reset();
    const SphGasSource& s = sph_gas_source;
    EXPECT_EQ(s.gas_mass_source.capacity(), 0u);
    EXPECT_EQ(s.gas_momentum_source.capacity(), 0u);
    EXPECT_EQ(s.gas_energy_source.capacity(), 0u);
    EXPECT_EQ(s.gas_source_mass_total, 0.0);
    EXPECT_EQ(s.gas_source_momentum_total, (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(s.gas_source_energy_total, 0.0);
}
