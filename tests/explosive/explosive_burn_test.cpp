// The programmed burn: detonation times, reaction progress, PHASE conversion, SOURCE
// release, the balances and summary, the reaction limit on the step, and the closed form
// of a point-ignited burn.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_helpers.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"
#include "input/sph_input_reader.h"
#include "output/sph_output.h"
#include "quorrel_test.h"
#include "solver/sph_solver_explicit.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

using Vec3 = std::array<double, 3>;

Vec3 vec(const std::vector<double>& a, std::size_t i) { return {a[3 * i], a[3 * i + 1], a[3 * i + 2]}; }

double distance(const Vec3& a, const Vec3& b) {
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The materials of the models built in the store, by database number.
constexpr int32_t tnt = 1, fumes = 2, petn = 3, air = 4;
constexpr double tnt_density = 1.6, fumes_density = 0.8, petn_density = 1.8, air_density = 1.2;
constexpr double fumes_e0 = 0.5, air_e0 = 2.5;  // both ideal gas, gamma 1.4, P0 0

struct Particle {
    int32_t material = tnt;
    Vec3 x{0.0, 0.0, 0.0};
    double mass = 1.0;  // explosive particles keep it; gas particles take the gas default (2)
    int32_t status = sph_status_active;
};

// The particles in the store with the four materials noted and both gas EOS set, and the
// gas initial conditions applied (gas mass 2, volume 2.5, h 1). The explosive cards and
// build are the test's.
void build_store(const std::vector<Particle>& ps) {
    ASSERT_EQ(sph_db_allocate(static_cast<int32_t>(ps.size())), 0);
    struct Material {
        const char* name;
        const char* type;
        double density;
    };
    for (const Material& m : {Material{"TNT", "EXPLOSIVE", tnt_density}, Material{"FUMES", "GAS", fumes_density},
                              Material{"PETN", "EXPLOSIVE", petn_density}, Material{"AIR", "GAS", air_density}}) {
        ASSERT_EQ(sph_db_add_material(m.name, m.type), 0);
        ASSERT_EQ(sph_db_set_material_density(m.name, m.density), 0);
        sph_gas_note_material(m.name, m.type);
        sph_explosive_note_material(m.name, m.type);
    }
    ASSERT_EQ(sph_gas_set_ideal("FUMES", 1.4, fumes_e0, 0.0), 0);
    ASSERT_EQ(sph_gas_set_ideal("AIR", 1.4, air_e0, 0.0), 0);
    ASSERT_EQ(sph_gas_set_particle_control(1.0, 2.0, 2.5), 0);
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        ASSERT_EQ(sph_db_set_node(static_cast<int32_t>(i), static_cast<int32_t>(i + 1), ps[i].x.data()), 0);
        d.material_id[i] = ps[i].material;
        d.particle_phase[i] = sph_db_phase_from_material(ps[i].material);
        d.particle_status[i] = ps[i].status;
        d.mass[i] = ps[i].mass;
    }
    ASSERT_EQ(sph_gas_apply_initial_conditions(), 0) << sph_error_message();
}

void control(const char* material, double velocity, double energy, double burn, const char* conversion) {
    ASSERT_EQ(sph_explosive_set_control(material, "PROGRAMMED_BURN", velocity, energy, burn, "FUMES", conversion), 0)
        << sph_error_message();
}

void ignite(const char* material, const Vec3& x, double time) {
    ASSERT_EQ(sph_explosive_set_ignition(material, x.data(), time), 0) << sph_error_message();
}

// One column of the particle CSV, by node number.
std::map<int32_t, double> csv_column(const std::string& path, std::size_t column) {
    std::map<int32_t, double> out;
    const std::vector<std::string> lines = test::read_lines(path);
    for (std::size_t l = 1; l < lines.size(); ++l) {
        std::vector<std::string_view> fields;
        std::string_view rest(lines[l]);
        if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
        for (std::size_t at = 0;;) {
            const std::size_t comma = rest.find(',', at);
            fields.push_back(rest.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at));
            if (comma == std::string_view::npos) break;
            at = comma + 1;
        }
        EXPECT_EQ(fields.size(), 52u) << lines[l];
        if (fields.size() <= column) continue;
        auto parse = [](std::string_view f, auto& value) {
            while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
            const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), value);
            EXPECT_TRUE(ec == std::errc() && end == f.data() + f.size()) << f;
        };
        int32_t id = 0;
        double value = 0.0;
        parse(fields[0], id);
        parse(fields[column], value);
        out[id] = value;
    }
    return out;
}

class ExplosiveBurn : public test::DeckTest {
protected:
    static void inspect(const std::string& path) {
        ASSERT_EQ(sph_input_read(path), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    }
    std::string csv() {
        const std::string path = (dir_ / "particles.csv").string();
        EXPECT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
        return path;
    }
};

// CSV columns (0-based): 16th to 21st of the file.
constexpr std::size_t col_detonation = 15, col_lambda = 16, col_initial = 17, col_remaining = 18,
                      col_released_mass = 19, col_released_energy = 20;

// ---- Detonation times and progress ----

// explosive_lattice.inp: TNT node n = 1 + i + 3 j + 9 k at (0.5 i, 0.5 j, 0.5 k), D 2.5,
// burn 0.2, ignited at A = (-0.2, 0.1, 0.3) at t 0.05 and at B = (1.3, 0.9, 0.6) at t 0.12;
// PETN node 19 at (6, 0, 0), D 4, ignited at P = (0.5, 0.5, 0.25) at t 0 (inside the TNT
// charge: a TNT particle that took that record would detonate earlier).
struct LatticeDeck {
    static constexpr Vec3 a{-0.2, 0.1, 0.3}, b{1.3, 0.9, 0.6}, p{0.5, 0.5, 0.25};
    static constexpr double ta = 0.05, tb = 0.12, d_tnt = 2.5, d_petn = 4.0, burn = 0.2, energy = 4.0;
    static Vec3 node(int32_t n) {
        const int32_t m = n - 1;
        if (n == 19) return {6.0, 0.0, 0.0};
        return {0.5 * (m % 3), 0.5 * ((m / 3) % 3), 0.5 * (m / 9)};
    }
    static double arrival(int32_t n) {
        if (n == 19) return distance(node(n), p) / d_petn;
        return std::min(ta + distance(node(n), a) / d_tnt, tb + distance(node(n), b) / d_tnt);
    }
};

TEST_F(ExplosiveBurn, EarliestArrivalOfTheMaterialsOwnIgnitionsInTheParticleCsv) {
    ASSERT_NO_FATAL_FAILURE(inspect(decks + "/explosive_lattice.inp"));
    ASSERT_EQ(sph_database.npart, 19);
    const std::string path = csv();
    const auto detonation = csv_column(path, col_detonation);
    ASSERT_EQ(detonation.size(), 19u);
    int from_a = 0, from_b = 0;
    for (const auto& [n, t] : detonation) {
        SCOPED_TRACE("node " + std::to_string(n));
        EXPECT_NEAR(t, LatticeDeck::arrival(n), 1e-13);
        if (n != 19) {
            const double via_a = LatticeDeck::ta + distance(LatticeDeck::node(n), LatticeDeck::a) / LatticeDeck::d_tnt;
            (via_a == LatticeDeck::arrival(n) ? from_a : from_b) += 1;
        }
    }
    // Both TNT records decide somewhere, so neither the first nor the last record alone passes.
    EXPECT_GT(from_a, 0);
    EXPECT_GT(from_b, 0);
    // At build: no progress, the whole mass (1, the store's default) unreacted.
    for (std::size_t col : {col_lambda, col_released_mass, col_released_energy})
        for (const auto& [n, v] : csv_column(path, col)) EXPECT_EQ(v, 0.0) << "column " << col << " node " << n;
    for (std::size_t col : {col_initial, col_remaining})
        for (const auto& [n, v] : csv_column(path, col)) EXPECT_EQ(v, 1.0) << "column " << col << " node " << n;
}

TEST_F(ExplosiveBurn, ProgressIsLinearFromArrivalOverTheBurnTimeAndNeverFalls) {
    ASSERT_NO_FATAL_FAILURE(inspect(decks + "/explosive_lattice.inp"));
    // Advances to these new times in turn; the last goes back in time, which must not undo
    // any progress.
    const double times[] = {0.1, 0.25, 0.4, 0.7, 0.3};
    double reached = 0.0, previous = 0.0;
    for (double t : times) {
        SCOPED_TRACE("t = " + std::to_string(t));
        ASSERT_EQ(sph_explosive_advance(t > previous ? t - previous : 0.1, t), 0) << sph_error_message();
        previous = t;
        reached = std::max(reached, t);
        const std::string path = csv();
        const auto lambda = csv_column(path, col_lambda);
        const auto remaining = csv_column(path, col_remaining);
        const auto released = csv_column(path, col_released_mass);
        const auto energy = csv_column(path, col_released_energy);
        for (int32_t n = 1; n <= 18; ++n) {
            SCOPED_TRACE("node " + std::to_string(n));
            const double expected = std::clamp((reached - LatticeDeck::arrival(n)) / LatticeDeck::burn, 0.0, 1.0);
            EXPECT_NEAR(lambda.at(n), expected, 1e-13);
            EXPECT_NEAR(remaining.at(n), 1.0 - expected, 1e-13);
            EXPECT_NEAR(released.at(n), expected, 1e-13);
            EXPECT_NEAR(energy.at(n), LatticeDeck::energy * expected, 1e-12);
            // A fully reacted particle has turned into product gas, the others wait or burn.
            EXPECT_EQ(sph_database.particle_phase[static_cast<std::size_t>(n - 1)],
                      expected >= 1.0 ? sph_phase_gas : sph_phase_explosive);
        }
        // PETN burns at once (burn time 0) at its arrival, about 1.38.
        EXPECT_EQ(lambda.at(19), 0.0);
    }
}

TEST_F(ExplosiveBurn, ZeroBurnTimeReactsFullyInTheFirstStepReachingTheArrival) {
    // One TNT particle 1 from its ignition point, D 2, steps of 0.125 (every time exact).
    struct Case {
        const char* what;
        double ignition_time, burn;
        std::vector<double> lambda_after_step;  // steps 1, 2, ...
    };
    const Case cases[] = {
        {"arrival 0.5 on a step's new time", 0.0, 0.0, {0, 0, 0, 1, 1}},
        {"arrival 0.51 inside the fifth step", 0.01, 0.0, {0, 0, 0, 0, 1, 1}},
        {"arrival 0.5, burn 0.25", 0.0, 0.25, {0, 0, 0, 0, 0.5, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build_store({{tnt, {1.0, 0.0, 0.0}}}));
        ASSERT_NO_FATAL_FAILURE(control("TNT", 2.0, 3.0, c.burn, "PHASE"));
        ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, c.ignition_time));
        ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
        for (std::size_t s = 0; s < c.lambda_after_step.size(); ++s) {
            SCOPED_TRACE("step " + std::to_string(s + 1));
            ASSERT_EQ(sph_solver_advance_explicit(0.125), 0) << sph_error_message();
            const double lambda = c.lambda_after_step[s];
            EXPECT_EQ(sph_explosive_state.explosive_reaction_progress[0], lambda);
            EXPECT_EQ(sph_database.particle_phase[0], lambda >= 1.0 ? sph_phase_gas : sph_phase_explosive);
        }
    }
}

// ---- PHASE conversion ----

TEST_F(ExplosiveBurn, PhaseConversionMakesProductGasThatFallsUnderTheBodyForce) {
    // explosive_one.inp: TNT (density 1.6, mass 1) at (0, 0, 2), arrival 2 / 4 = 0.5, burn
    // 0.25, E 5; FUMES density 0.8, ideal gamma 1.4; body force g = (1, -2, -8); steps of
    // 0.125: lambda 0 up to t = 0.5, 0.5 at 0.625, 1 at 0.75 (the sixth step).
    ASSERT_NO_FATAL_FAILURE(inspect(decks + "/explosive_one.inp"));
    const SphDatabase& d = sph_database;
    const SphExplosiveState& s = sph_explosive_state;
    ASSERT_EQ(d.npart, 1);
    EXPECT_EQ(d.rho[0], tnt_density);
    EXPECT_EQ(d.volume[0], 1.0 / tnt_density);
    const double dt = 0.125;
    for (int step = 1; step <= 5; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        EXPECT_EQ(d.particle_phase[0], sph_phase_explosive);
        EXPECT_EQ(d.material_id[0], tnt);
        EXPECT_TRUE(sph_explosive_is_tracked_particle(0));
        EXPECT_EQ(s.explosive_reaction_progress[0], step == 5 ? 0.5 : 0.0);
        EXPECT_EQ(s.explosive_converted_count, 0);
        // An explosive particle feels no body force: it stays where it was.
        EXPECT_EQ(vec(d.x, 0), (Vec3{0.0, 0.0, 2.0}));
    }
    ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    EXPECT_EQ(d.particle_phase[0], sph_phase_gas);
    EXPECT_EQ(d.material_id[0], fumes);
    EXPECT_EQ(d.mass[0], 1.0);
    EXPECT_EQ(d.rho[0], fumes_density);
    EXPECT_EQ(d.volume[0], 1.0 / fumes_density);
    EXPECT_EQ(d.internal_energy[0], 5.0);
    EXPECT_NEAR(d.pressure[0], 0.4 * 0.8 * 5.0, 1e-15);
    EXPECT_EQ(s.explosive_converted_count, 1);
    EXPECT_TRUE(sph_explosive_is_tracked_particle(0));
    EXPECT_EQ(s.explosive_reaction_progress[0], 1.0);
    EXPECT_EQ(s.explosive_remaining_mass[0], 0.0);
    // From the conversion on it is gas at rest under g alone (no other gas): the leapfrog
    // is exact for a constant acceleration, x = x0 + g t^2 / 2 with t counted from there.
    const Vec3 g{1.0, -2.0, -8.0}, x0{0.0, 0.0, 2.0};
    for (int after = 1; after <= 4; ++after) {
        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        const double t = after * dt;
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(d.x[k], x0[k] + 0.5 * g[k] * t * t, 1e-14) << "component " << k << " after " << after;
            EXPECT_NEAR(d.v[k], g[k] * t, 1e-14) << "component " << k << " after " << after;
        }
        EXPECT_EQ(s.explosive_converted_count, 1);
    }
}

TEST_F(ExplosiveBurn, PhaseConversionOfAResumedRunUsesTheGasSlotsDensity) {
    // A resumed run holds no material records. The product FUMES keeps its gas slot, whose
    // density default is its *DENSITY (0.8); without the slot there is nothing to convert to.
    struct Case {
        const char* what;
        bool drop_gas_table;
        int code;
    };
    const Case cases[] = {
        {"records gone, gas slot kept", false, 0},
        {"records and gas slots gone", true, sph_error_input},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build_store({{tnt, {0.0, 0.0, 0.0}, 1.25}}));
        ASSERT_NO_FATAL_FAILURE(control("TNT", 1.0, 2.0, 0.0, "PHASE"));
        ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, 0.0));
        ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
        sph_database.materials.clear();
        if (c.drop_gas_table) sph_gas_clear_material_table();
        const SphDatabase& d = sph_database;
        EXPECT_EQ(sph_explosive_advance(0.1, 0.1), c.code);
        if (c.code != 0) {
            EXPECT_EQ(sph_error_message(), "Explosive product material is invalid");
            EXPECT_EQ(d.particle_phase[0], sph_phase_explosive);
            continue;
        }
        EXPECT_EQ(d.particle_phase[0], sph_phase_gas);
        EXPECT_EQ(d.material_id[0], fumes);
        EXPECT_EQ(d.rho[0], fumes_density);
        EXPECT_EQ(d.volume[0], 1.25 / fumes_density);
        EXPECT_EQ(d.internal_energy[0], 2.0);
        EXPECT_NEAR(d.pressure[0], 0.4 * 0.8 * 2.0, 1e-15);
        EXPECT_EQ(sph_explosive_state.explosive_converted_count, 1);
    }
}

// ---- SOURCE release ----

TEST_F(ExplosiveBurn, SourceFeedsTheProductGasAndTheRatesLastOneStep) {
    // explosive_source.inp: TNT (mass 1) at the origin, detonated at t 0, burn 0.5, E 4; one
    // FUMES particle (mass 2, e 0.5) 50 away. Steps of 0.125 release dm = 1/4 and
    // dE = 1 each for four steps: rates 2 and 8 on the one target. The charge is given a
    // velocity u after the build, so each release carries dm u.
    ASSERT_NO_FATAL_FAILURE(inspect(decks + "/explosive_source.inp"));
    SphDatabase& d = sph_database;
    const SphExplosiveState& s = sph_explosive_state;
    const SphGasSource& src = sph_gas_source;
    ASSERT_EQ(d.npart, 2);
    ASSERT_EQ(d.particle_phase[1], sph_phase_gas);
    ASSERT_EQ(d.mass[1], 2.0);
    const Vec3 u{0.5, -1.0, 2.0};
    for (std::size_t k = 0; k < 3; ++k) d.v[k] = u[k];
    const double dt = 0.125;
    double mass = 2.0, energy = 2.0 * fumes_e0;
    Vec3 momentum{0.0, 0.0, 0.0};
    for (int step = 1; step <= 6; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
        const bool burning = step <= 4;
        const double dm = burning ? 0.25 : 0.0;
        mass += dm;
        energy += 4.0 * dm;
        for (std::size_t k = 0; k < 3; ++k) momentum[k] += dm * u[k];
        // The target: the released mass, exactly the released energy (m e grows by dE) and
        // the released momentum.
        EXPECT_NEAR(d.mass[1], mass, 1e-12 * mass);
        EXPECT_NEAR(d.mass[1] * d.internal_energy[1], energy, 1e-12 * energy);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(d.mass[1] * d.v[3 + k], momentum[k], 1e-12);
        // This step's rates; a step without release starts from cleared ones.
        EXPECT_EQ(src.gas_mass_source[1], burning ? 2.0 : 0.0);
        EXPECT_EQ(src.gas_energy_source[1], burning ? 8.0 : 0.0);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(src.gas_momentum_source[3 + k], burning ? 2.0 * u[k] : 0.0);
        // The charge itself gets no rate, stays an explosive particle and keeps its mass.
        EXPECT_EQ(src.gas_mass_source[0], 0.0);
        EXPECT_EQ(d.particle_phase[0], sph_phase_explosive);
        EXPECT_EQ(d.mass[0], 1.0);
        EXPECT_EQ(s.explosive_reaction_progress[0], std::min(1.0, 0.25 * step));
        EXPECT_EQ(s.explosive_source_target_count, std::min(step, 4));
        EXPECT_EQ(s.explosive_source_mass_total, 0.25 * std::min(step, 4));
        EXPECT_EQ(s.explosive_source_energy_total, 1.0 * std::min(step, 4));
    }
    EXPECT_EQ(s.explosive_converted_count, 0);
}

TEST_F(ExplosiveBurn, SourceWithoutAnActiveProductTargetFailsAtTheFirstRelease) {
    // explosive_source.inp ignited at t 0.25: steps of 0.125 reach the arrival at step 2
    // (progress 0 there), the first release is at step 3.
    struct Case {
        const char* what;
        void (*remove_target)();
    };
    const Case cases[] = {
        {"the product particle inactive", [] { sph_database.particle_status[1] = sph_status_inactive; }},
        {"the product particle not gas", [] { sph_database.particle_phase[1] = sph_phase_water; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string late = "*QUORREL, IGNITION, MATERIAL=TNT, X=0.0, Y=0.0, Z=0.0, TIME=0.25";
        ASSERT_NO_FATAL_FAILURE(inspect(edited("explosive_source.inp", {{23, late}})));
        c.remove_target();
        for (int step = 1; step <= 2; ++step) ASSERT_EQ(sph_solver_advance_explicit(0.125), 0) << sph_error_message();
        EXPECT_EQ(sph_solver_advance_explicit(0.125), sph_error_input);
        EXPECT_EQ(sph_error_code(), sph_error_input);
        EXPECT_EQ(sph_error_message(), "Explosive SOURCE conversion has no active product Gas target");
    }
}

// TNT charges (SOURCE into FUMES, D 1, burn 0.5, E 3.7) at distances d on the x axis from
// their ignition point at the origin, of several masses and velocities, and one PETN charge
// (PHASE into FUMES, D 2, burn 0). Gas far off: three active FUMES targets, one inactive
// FUMES and one AIR particle that are not targets. One advance to t = 0.4. With `join` the
// PETN charge is reached in that advance and, turned into FUMES, is a target of the
// releases after it; otherwise it is reached later. The rates are compared bit for bit,
// or with `bits` false to the last few bits on the targets that were there from the start.
void expect_source_rates_in_index_order(bool join, bool bits) {
    struct Charge {
        std::size_t index;
        double d, m;
        Vec3 v;
    };
    const Charge charges[] = {
        {0, 0.05, 1.0, {1.0, 2.0, 3.0}},
        {2, 0.11, 1.3, {-0.5, 0.25, 0.1}},
        {4, 0.23, 0.7, {0.3, -0.7, 1.1}},
        {6, 0.9, 2.0, {1.0, 1.0, 1.0}},  // arrives after t = 0.4: no release
        {9, 0.37, 2.1, {-1.9, 0.6, -0.3}},
    };
    const std::size_t joining = 3;  // the PETN charge
    const std::vector<std::size_t> targets = {1, 5, 10};
    std::vector<Particle> ps(11);
    for (const Charge& c : charges) ps[c.index] = {tnt, {c.d, 0.0, 0.0}, c.m};
    ps[joining] = {petn, {join ? 0.3 : 5.0, 0.0, 0.0}, 0.9};
    ps[1] = {fumes, {40.0, 0.0, 0.0}};
    ps[5] = {fumes, {40.0, 10.0, 0.0}};
    ps[7] = {fumes, {40.0, 20.0, 0.0}, 1.0, sph_status_inactive};
    ps[8] = {air, {40.0, 30.0, 0.0}};
    ps[10] = {fumes, {40.0, 40.0, 0.0}};
    ASSERT_NO_FATAL_FAILURE(build_store(ps));
    const double energy = 3.7, burn = 0.5, t = 0.4, dt = 0.4;
    ASSERT_NO_FATAL_FAILURE(control("TNT", 1.0, energy, burn, "SOURCE"));
    ASSERT_NO_FATAL_FAILURE(control("PETN", 2.0, 1.0, 0.0, "PHASE"));
    ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, 0.0));
    ASSERT_NO_FATAL_FAILURE(ignite("PETN", {0.0, 0.0, 0.0}, 0.0));
    ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
    SphDatabase& d = sph_database;
    for (const Charge& c : charges)
        for (std::size_t k = 0; k < 3; ++k) d.v[3 * c.index + k] = c.v[k];

    // The reference: each release in index order, added to every particle that is an
    // active FUMES gas particle at that moment, one after the other.
    const std::size_t n = ps.size();
    std::vector<double> mass_rate(n, 0.0), energy_rate(n, 0.0), momentum_rate(3 * n, 0.0);
    double mass_total = 0.0;
    int32_t target_count = 0;
    for (const Charge& c : charges) {
        const double lambda = std::clamp((t - c.d / 1.0) / burn, 0.0, 1.0);
        if (!(lambda > 0.0)) continue;
        const double dm = c.m * lambda;
        std::vector<std::size_t> now = targets;
        if (join && c.index > joining) now.push_back(joining);
        const double share = static_cast<double>(now.size()) * dt;
        for (std::size_t i : now) {
            mass_rate[i] += dm / share;
            energy_rate[i] += dm * energy / share;
            for (std::size_t k = 0; k < 3; ++k) momentum_rate[3 * i + k] += dm * c.v[k] / share;
        }
        mass_total += dm;
        target_count += static_cast<int32_t>(now.size());
    }

    ASSERT_EQ(sph_explosive_advance(dt, t), 0) << sph_error_message();
    EXPECT_EQ(d.particle_phase[joining], join ? sph_phase_gas : sph_phase_explosive);
    const SphGasSource& src = sph_gas_source;
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE("particle " + std::to_string(i));
        if (bits || i == joining) {
            EXPECT_EQ(src.gas_mass_source[i], mass_rate[i]);
            EXPECT_EQ(src.gas_energy_source[i], energy_rate[i]);
            EXPECT_EQ(vec(src.gas_momentum_source, i), vec(momentum_rate, i));
        } else {
            EXPECT_DOUBLE_EQ(src.gas_mass_source[i], mass_rate[i]);
            EXPECT_DOUBLE_EQ(src.gas_energy_source[i], energy_rate[i]);
            for (std::size_t k = 0; k < 3; ++k)
                EXPECT_DOUBLE_EQ(src.gas_momentum_source[3 * i + k], momentum_rate[3 * i + k]) << k;
        }
    }
    EXPECT_EQ(mass_rate[joining] > 0.0, join);
    const SphExplosiveState& s = sph_explosive_state;
    EXPECT_EQ(s.explosive_source_target_count, target_count);
    EXPECT_EQ(target_count, join ? 3 + 3 + 4 + 4 : 4 * 3);
    EXPECT_NEAR(s.explosive_source_mass_total, mass_total, 1e-15);
    EXPECT_EQ(s.explosive_converted_count, join ? 1 : 0);
}

TEST_F(ExplosiveBurn, SourceRatesOfEveryTargetAreTheReleasesSummedInIndexOrder) {
    expect_source_rates_in_index_order(false, true);
}

TEST_F(ExplosiveBurn, AParticleConvertedInTheAdvanceSharesTheLaterReleases) {
    expect_source_rates_in_index_order(true, false);
}

// When the PETN charge joins, the earlier targets' sum must not be split into the releases
// before and after it: (a + b) + (c + d) differs from ((a + b) + c) + d in the last bit of
// the x momentum rate here.
TEST_F(ExplosiveBurn, SourceRatesStayInIndexOrderWhenATargetJoinsMidAdvance) {
    expect_source_rates_in_index_order(true, true);
}

// ---- Balances, summary and the reaction limit ----

TEST_F(ExplosiveBurn, BalancesAndSummaryAddUpTheTrackedParticles) {
    // Three TNT charges (E 3, burn 0.5, D 1) and two PETN charges (E 5, burn 0.25, D 1), all
    // ignited at the origin at t 0 and moving, advanced once to t = 0.3; one TNT charge is
    // reached later. lambda = (0.3 - d) / burn.
    struct Charge {
        int32_t material;
        double d, m;
        Vec3 v;
        double lambda, energy_per_mass;
    };
    const Charge charges[] = {
        {tnt, 0.05, 1.5, {1.0, 0.0, -2.0}, 0.5, 3.0},            // 0.25 / 0.5
        {tnt, 0.2, 0.5, {0.0, 4.0, 0.0}, 0.2, 3.0},              // 0.1 / 0.5
        {tnt, 0.8, 2.0, {3.0, 3.0, 3.0}, 0.0, 3.0},              // reached at 0.8
        {petn, 0.1, 1.0, {-1.0, 1.0, 0.5}, 0.8, 5.0},            // 0.2 / 0.25
        {petn, 0.0125, 3.0, {0.25, 0.0, 0.0}, 1.0, 5.0},         // 0.2875 / 0.25, clamped
    };
    std::vector<Particle> ps;
    for (const Charge& c : charges) ps.push_back({c.material, {c.d, 0.0, 0.0}, c.m});
    ps.push_back({fumes, {40.0, 0.0, 0.0}});  // a SOURCE target, never tracked
    ASSERT_NO_FATAL_FAILURE(build_store(ps));
    ASSERT_NO_FATAL_FAILURE(control("TNT", 1.0, 3.0, 0.5, "SOURCE"));
    ASSERT_NO_FATAL_FAILURE(control("PETN", 1.0, 5.0, 0.25, "SOURCE"));
    ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, 0.0));
    ASSERT_NO_FATAL_FAILURE(ignite("PETN", {0.0, 0.0, 0.0}, 0.0));
    ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t k = 0; k < 3; ++k) sph_database.v[3 * i + k] = charges[i].v[k];
    ASSERT_EQ(sph_explosive_advance(0.3, 0.3), 0) << sph_error_message();

    double initial = 0, released = 0, energy = 0, lambda_sum = 0;
    Vec3 momentum{0.0, 0.0, 0.0};
    for (const Charge& c : charges) {
        initial += c.m;
        released += c.m * c.lambda;
        energy += c.m * c.lambda * c.energy_per_mass;
        lambda_sum += c.lambda;
        for (std::size_t k = 0; k < 3; ++k) momentum[k] += c.m * c.lambda * c.v[k];
    }
    // initial 8, released 0.75 + 0.1 + 0.8 + 3 = 4.65, energy 3 * 0.85 + 5 * 3.8 = 21.55
    EXPECT_DOUBLE_EQ(initial, 8.0);
    EXPECT_DOUBLE_EQ(released, 4.65);
    EXPECT_DOUBLE_EQ(energy, 21.55);
    double mass_values[4], energy_values[2], momentum_values[3];
    ASSERT_EQ(sph_explosive_get_release_balance(mass_values, energy_values, momentum_values), 0);
    EXPECT_NEAR(mass_values[0], initial, 1e-14);
    EXPECT_NEAR(mass_values[1], released, 1e-14);
    EXPECT_NEAR(mass_values[2], initial - released, 1e-14);
    EXPECT_NEAR(mass_values[3], 0.0, 1e-14);
    EXPECT_NEAR(energy_values[0], energy, 1e-13);
    EXPECT_NEAR(energy_values[1], 0.0, 1e-13);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(momentum_values[k], momentum[k], 1e-14) << k;

    int32_t count = -1, reacted = -1;
    double lambda_range[3], totals[5], detonation_range[2];
    ASSERT_EQ(sph_explosive_get_summary(count, reacted, lambda_range, totals, detonation_range), 0);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(reacted, 4);
    EXPECT_NEAR(lambda_range[0], 0.0, 1e-15);
    EXPECT_NEAR(lambda_range[1], 1.0, 1e-15);
    EXPECT_NEAR(lambda_range[2], lambda_sum / 5.0, 1e-15);
    EXPECT_NEAR(totals[0], released, 1e-14);
    EXPECT_NEAR(totals[1], energy, 1e-13);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(totals[2 + k], momentum[k], 1e-14) << k;
    EXPECT_NEAR(detonation_range[0], 0.0125, 1e-15);
    EXPECT_NEAR(detonation_range[1], 0.8, 1e-15);

    // The energy error is what was released less what the materials' energies call for: with
    // TNT's energy now taken as 4, the TNT released mass 0.85 is short of 0.85 per unit.
    sph_explosive_state.explosive_materials[0].explosive_energy_per_mass = 4.0;
    ASSERT_EQ(sph_explosive_get_release_balance(mass_values, energy_values, momentum_values), 0);
    EXPECT_NEAR(energy_values[1], -0.85, 1e-13);
}

TEST_F(ExplosiveBurn, WithoutExplosiveTheSummaryAndBalanceAreZero) {
    struct Case {
        const char* what;
        std::string deck;
        std::vector<std::string> appended;
    };
    const Case cases[] = {
        {"a water deck", decks + "/input_water.inp", {}},
        {"a gas deck", decks + "/gas_fall.inp", {}},
        // An explosive material that no particle uses: the arrays exist, nothing is tracked.
        {"a gas deck with an unused explosive material", decks + "/gas_fall.inp",
         {"*MATERIAL, NAME=TNT, TYPE=EXPLOSIVE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::vector<std::string> lines = test::read_lines(c.deck);
        lines.insert(lines.end(), c.appended.begin(), c.appended.end());
        ASSERT_NO_FATAL_FAILURE(inspect(write_deck(lines)));
        for (int step = 0; step < 2; ++step) {
            SCOPED_TRACE(step == 0 ? "after the build" : "after a step");
            int32_t count = -1, reacted = -1;
            double lambda_range[3] = {-1, -1, -1}, totals[5] = {-1, -1, -1, -1, -1}, detonation_range[2] = {-1, -1};
            ASSERT_EQ(sph_explosive_get_summary(count, reacted, lambda_range, totals, detonation_range), 0);
            EXPECT_EQ(count, 0);
            EXPECT_EQ(reacted, 0);
            for (double v : lambda_range) EXPECT_EQ(v, 0.0);
            for (double v : totals) EXPECT_EQ(v, 0.0);
            for (double v : detonation_range) EXPECT_EQ(v, 0.0);
            double mass_values[4] = {-1, -1, -1, -1}, energy_values[2] = {-1, -1}, momentum_values[3] = {-1, -1, -1};
            ASSERT_EQ(sph_explosive_get_release_balance(mass_values, energy_values, momentum_values), 0);
            for (double v : mass_values) EXPECT_EQ(v, 0.0);
            for (double v : energy_values) EXPECT_EQ(v, 0.0);
            for (double v : momentum_values) EXPECT_EQ(v, 0.0);
            ASSERT_EQ(sph_solver_advance_explicit(0.001), 0) << sph_error_message();
        }
    }
}

TEST_F(ExplosiveBurn, ShortestBurnTimeOverFourLimitsTheStableStep) {
    // One TNT and one PETN particle, no water and no gas particle: the reaction limit is the
    // only limit, and with a default step of 1 and safety 1 it is the stable step.
    struct Case {
        const char* what;
        double tnt_burn, petn_burn;
        double limit;
    };
    const Case cases[] = {
        {"4e-6 and 0: a burn time of 0 sets no limit", 4e-6, 0.0, 1e-6},
        {"0 and 4e-6, the other order", 0.0, 4e-6, 1e-6},
        {"4e-6 and 2e-6: the shorter", 4e-6, 2e-6, 5e-7},
        {"2e-6 and 4e-6: the shorter, first", 2e-6, 4e-6, 5e-7},
        {"both 0: no limit", 0.0, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(build_store({{tnt, {0.0, 0.0, 0.0}}, {petn, {10.0, 0.0, 0.0}}}));
        ASSERT_NO_FATAL_FAILURE(control("TNT", 1.0, 1.0, c.tnt_burn, "PHASE"));
        ASSERT_NO_FATAL_FAILURE(control("PETN", 1.0, 1.0, c.petn_burn, "PHASE"));
        ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, 0.0));
        ASSERT_NO_FATAL_FAILURE(ignite("PETN", {10.0, 0.0, 0.0}, 0.0));
        ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
        double limit = -1.0;
        ASSERT_EQ(sph_explosive_estimate_dt_limit(limit), 0);
        EXPECT_EQ(limit, c.limit);
        EXPECT_EQ(sph_explosive_state.explosive_dt_reaction, c.limit);
        sph_control.dt_default = 1.0;
        sph_control.safety_factor = 1.0;
        double dt = -1.0;
        ASSERT_EQ(sph_solver_estimate_stable_dt(dt), 0) << sph_error_message();
        EXPECT_EQ(dt, c.limit > 0.0 ? c.limit : 1.0);
    }
    // No explosive material: no limit, also with a table slot left over.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(build_store({{tnt, {0.0, 0.0, 0.0}}}));
    ASSERT_NO_FATAL_FAILURE(control("TNT", 1.0, 1.0, 4e-6, "PHASE"));
    sph_explosive_state.explosive_material_seen = false;
    double limit = -1.0;
    ASSERT_EQ(sph_explosive_estimate_dt_limit(limit), 0);
    EXPECT_EQ(limit, 0.0);
}

// ---- Against closed forms ----

TEST_F(ExplosiveBurn, DetonationTimesAreThePointIgnitionClosedForm) {
    // A point ignition in a homogeneous charge: by Huygens' construction every point of the
    // front sends out a sphere at the speed D, and the front at time t is the sphere of
    // radius D (t - t0) about the ignition point, so a particle detonates at
    // t0 + |x - x_ign| / D. A 7 x 6 x 5 lattice of spacing 0.25, ignited off the lattice.
    const Vec3 ignition{0.61, 0.43, 0.37};
    const double t0 = 0.02, speed = 3.3;
    std::vector<Particle> ps;
    for (int k = 0; k < 5; ++k)
        for (int j = 0; j < 6; ++j)
            for (int i = 0; i < 7; ++i) ps.push_back({tnt, {0.25 * i, 0.25 * j, 0.25 * k}});
    ASSERT_NO_FATAL_FAILURE(build_store(ps));
    ASSERT_NO_FATAL_FAILURE(control("TNT", speed, 1.0, 0.1, "PHASE"));
    ASSERT_NO_FATAL_FAILURE(ignite("TNT", ignition, t0));
    ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
    const std::vector<double>& t = sph_explosive_state.explosive_detonation_time;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        const double expected = t0 + std::hypot(ps[i].x[0] - ignition[0], ps[i].x[1] - ignition[1],
                                                ps[i].x[2] - ignition[2]) / speed;
        EXPECT_NEAR(t[i], expected, 4e-16 * expected) << "particle " << i;
    }
    // Huygens' principle itself: no particle is reached later than a wave sent out from any
    // other particle when the front passed it: t_j <= t_i + |x_j - x_i| / D.
    for (std::size_t i = 0; i < ps.size(); ++i)
        for (std::size_t j = 0; j < ps.size(); ++j)
            ASSERT_LE(t[j], t[i] + distance(ps[i].x, ps[j].x) / speed + 1e-15) << i << " -> " << j;
}

TEST_F(ExplosiveBurn, SourceRaisesTheProductEnergyByTheReleasedEnergy) {
    // A 4 x 4 x 3 TNT lattice (spacing 0.5, masses 1 + 0.01 n), ignited at a corner, burns
    // for 12 steps of 0.05 (D 2, burn 0.3, E 4.5) into five FUMES particles 10 apart, far
    // away. The burnt mass is sum m clamp((t - d / D) / burn, 0, 1) at t = 0.6; the targets
    // gain that mass, and their total internal energy sum m e gains E times it.
    const double speed = 2.0, burn = 0.3, energy = 4.5, dt = 0.05;
    const int steps = 12;
    std::vector<Particle> ps;
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 4; ++i)
                ps.push_back({tnt, {0.5 * i, 0.5 * j, 0.5 * k}, 1.0 + 0.01 * static_cast<double>(ps.size())});
    const std::size_t first_target = ps.size();
    for (int n = 0; n < 5; ++n) ps.push_back({fumes, {50.0 + 10.0 * n, 0.0, 0.0}});
    ASSERT_NO_FATAL_FAILURE(build_store(ps));
    ASSERT_NO_FATAL_FAILURE(control("TNT", speed, energy, burn, "SOURCE"));
    ASSERT_NO_FATAL_FAILURE(ignite("TNT", {0.0, 0.0, 0.0}, 0.0));
    ASSERT_EQ(sph_explosive_build(), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    auto product = [&](double& mass) {
        mass = 0.0;
        double internal = 0.0;
        for (std::size_t i = first_target; i < ps.size(); ++i) {
            mass += d.mass[i];
            internal += d.mass[i] * d.internal_energy[i];
        }
        return internal;
    };
    double mass0 = 0.0;
    const double internal0 = product(mass0);
    EXPECT_EQ(mass0, 10.0);
    for (int s = 0; s < steps; ++s) ASSERT_EQ(sph_solver_advance_explicit(dt), 0) << sph_error_message();
    const double t = sph_control.current_time;
    double burnt = 0.0;
    int partial = 0;
    for (std::size_t i = 0; i < first_target; ++i) {
        const double lambda = std::clamp((t - distance(ps[i].x, {0.0, 0.0, 0.0}) / speed) / burn, 0.0, 1.0);
        burnt += ps[i].mass * lambda;
        partial += lambda > 0.0 && lambda < 1.0;
    }
    ASSERT_GT(partial, 0);  // the front is still inside the charge
    ASSERT_GT(burnt, 1.0);
    double mass1 = 0.0;
    const double internal1 = product(mass1);
    EXPECT_NEAR(mass1 - mass0, burnt, 1e-12 * burnt);
    EXPECT_NEAR(internal1 - internal0, energy * burnt, 1e-12 * energy * burnt);
}

}  // namespace
