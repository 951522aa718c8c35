// Coupling imports through small decks: forces by export index, facet loads, and the
// pressures, tractions and resultants of a host step on shell facet proxies; the checks of
// every path in their order; what the buffers, counters and totals keep across the end of
// a step, a new host step, a clear, a reallocation, a release and a reset; the epoch rule;
// and a plate under uniform pressure against its closed-form resultant and moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "interface/sph_api.h"
#include "output/sph_output.h"
#include "shell/sph_shell_state.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

const std::string decks = QUORREL_TEST_DECKS;

using Vec3 = std::array<double, 3>;
constexpr Vec3 zero{0.0, 0.0, 0.0};
constexpr double largest = std::numeric_limits<double>::max();  // 1.7976931348623157e308
const double below_largest = std::nextafter(largest, 0.0);
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

constexpr int32_t uniform = sph_coupling_distribution_uniform, by_area = sph_coupling_distribution_area,
                  by_mass = sph_coupling_distribution_mass;

// coupling_boundary.inp: wall particles 0-2 at (0,0,0), (1,0,0), (0,2,0), mass 1.
enum BoundaryRegion { b_both, b_particles, b_facets, b_off };
// coupling_triangle.inp: shell corners 0-2 at (1, 1, 1), (7, -3, 1), (1, 7, -2), each of
// area 7 and unit normal (2, 3, 6) / 7, and wall particle 3 at the origin, mass 1 each.
enum TriangleRegion { t_skin, t_corner, t_mixed, t_plain, t_off };

enum class Deck { boundary, triangle };

std::string deck_file(Deck deck) {
    return decks + (deck == Deck::boundary ? "/coupling_boundary.inp" : "/coupling_triangle.inp");
}

std::vector<double> flat(const std::vector<Vec3>& values) {
    std::vector<double> out;
    for (const Vec3& v : values) out.insert(out.end(), v.begin(), v.end());
    return out;
}

Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 scaled(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }
double norm(const Vec3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

// ---- Calls ----

int32_t count_of(const std::vector<int32_t>& ids) { return static_cast<int32_t>(ids.size()); }

int particle_forces(int region, const std::vector<int32_t>& export_indices, const std::vector<Vec3>& forces) {
    const std::vector<double> f = flat(forces);
    return sph_coupling_apply_particle_forces(region, count_of(export_indices), export_indices.data(), f.data());
}

int facet_loads(int region, const std::vector<int32_t>& ids, const std::vector<Vec3>& loads) {
    const std::vector<double> f = flat(loads);
    return sph_coupling_apply_facet_loads(region, count_of(ids), ids.data(), f.data());
}

int pressures(int region, const std::vector<int32_t>& ids, const std::vector<double>& p, int32_t mode = by_area,
              int32_t step = 1) {
    return sph_coupling_apply_facet_pressures(region, count_of(ids), ids.data(), p.data(), mode, step);
}

int tractions(int region, const std::vector<int32_t>& ids, const std::vector<Vec3>& t, int32_t mode = by_area,
              int32_t step = 1) {
    const std::vector<double> f = flat(t);
    return sph_coupling_apply_facet_tractions(region, count_of(ids), ids.data(), f.data(), mode, step);
}

int resultants(int region, const std::vector<int32_t>& ids, const std::vector<Vec3>& r, int32_t mode = by_area,
               int32_t step = 1) {
    const std::vector<double> f = flat(r);
    return sph_coupling_apply_facet_resultants(region, count_of(ids), ids.data(), f.data(), mode, step);
}

// A resultant import of no facets: only the epoch rule and the call's own checks act.
int empty_resultants(int32_t step, int32_t mode = by_area, int region = 0) {
    return sph_coupling_apply_facet_resultants(region, 0, nullptr, nullptr, mode, step);
}

// ---- State access ----

bool buffers_allocated() { return !sph_coupling.coupling_external_force.empty(); }

// The buffered force of particle i; zero when the buffers are absent.
Vec3 buffered(std::size_t i) {
    const std::vector<double>& f = sph_coupling.coupling_external_force;
    if (f.size() != 3 * static_cast<std::size_t>(sph_database.npart)) return zero;
    return {f[3 * i], f[3 * i + 1], f[3 * i + 2]};
}

void expect_vec(const Vec3& actual, const Vec3& expected, double tol, const std::string& what) {
    for (std::size_t k = 0; k < 3; ++k) {
        if (tol == 0.0) {
            EXPECT_EQ(actual[k], expected[k]) << what << " component " << k;
        } else {
            EXPECT_NEAR(actual[k], expected[k], tol) << what << " component " << k;
        }
    }
}

void expect_nothing_buffered() {
    for (std::size_t i = 0; i < static_cast<std::size_t>(sph_database.npart); ++i)
        expect_vec(buffered(i), zero, 0.0, "buffered force of particle " + std::to_string(i));
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 0);
}

// The counters a failing import may raise.
struct Counts {
    int32_t nonfinite = 0, invalid_weight = 0, bad_area = 0, duplicate = 0, skipped = 0;
};

void expect_counts(const Counts& e) {
    const SphCouplingInterface& c = sph_coupling;
    EXPECT_EQ(c.coupling_nonfinite_import_count, e.nonfinite) << "non-finite imports";
    EXPECT_EQ(c.coupling_invalid_weight_count, e.invalid_weight) << "invalid weights";
    EXPECT_EQ(c.coupling_bad_facet_area_count, e.bad_area) << "bad facet areas";
    EXPECT_EQ(c.coupling_duplicate_facet_count, e.duplicate) << "duplicate facets";
    EXPECT_EQ(c.coupling_skipped_particle_count, e.skipped) << "skipped particles";
}

// ---- Model edits ----

void set_mass(std::size_t i, double m) { sph_database.mass[i] = m; }
void set_status(std::size_t i, int32_t s) { sph_database.particle_status[i] = s; }
void set_phase(std::size_t i, int32_t p) { sph_database.particle_phase[i] = p; }
void set_position(std::size_t i, const Vec3& x) {
    for (std::size_t k = 0; k < 3; ++k) sph_database.x[3 * i + k] = x[k];
}
void set_director(std::size_t i, const Vec3& d) {
    for (std::size_t k = 0; k < 3; ++k) sph_shell_state.shell_director[3 * i + k] = d[k];
}
void set_area(std::size_t i, double a) { sph_shell_state.shell_reference_area[i] = a; }

// A region list written by hand; the new revision makes the membership bits follow it.
void set_list(int region, const std::vector<int32_t>& list) {
    sph_database.coupling_regions[static_cast<std::size_t>(region)].coupling_region_particles = list;
    ++sph_database.coupling_region_revision;
}

// Shell arrays as a model of one particle more left them.
void shell_arrays_of_an_earlier_model() {
    const std::size_t n = static_cast<std::size_t>(sph_database.npart) + 1;
    sph_shell_for_each_array(sph_shell_state, [n](auto& values, std::size_t components) {
        values.assign(components * n, {});
    });
}

// The real columns 42-44 (the buffered coupling force) of the particle CSV line of particle i.
Vec3 csv_coupling_force(const std::string& path, std::size_t i) {
    const std::vector<std::string> fields = test::particle_csv_fields(test::read_lines(path), i);
    if (fields.empty()) return Vec3{nan, nan, nan};
    return Vec3{test::csv_real(fields[41]), test::csv_real(fields[42]), test::csv_real(fields[43])};
}

// Reads and builds one of the two decks, leaving the error state clear.
void load(Deck deck) {
    ASSERT_EQ(sph_input_read(deck_file(deck)), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    sph_error_clear();
}

class CouplingImports : public test::DeckTest {
protected:
    std::string csv() const {
        const std::string path = (dir_ / "particles.csv").string();
        EXPECT_EQ(sph_output_write_csv(path), 0) << sph_error_message();
        return path;
    }
};

// ---- Numeric helpers ----

TEST_F(CouplingImports, NumericHelpers) {
    {
        // (1, 2, 3) x (4, 5, 6) = (2*6 - 3*5, 3*4 - 1*6, 1*5 - 2*4) = (-3, 6, -3); e1 x e2 = e3.
        double out[3];
        const double a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
        sph_coupling_cross(a, b, out);
        expect_vec({out[0], out[1], out[2]}, {-3, 6, -3}, 0.0, "cross");
        double e1[3] = {1, 0, 0};
        const double e2[3] = {0, 1, 0};
        sph_coupling_cross(e1, e2, e1);  // the result may be one of the operands
        expect_vec({e1[0], e1[1], e1[2]}, {0, 0, 1}, 0.0, "cross into its left operand");
    }
    struct NormCase {
        const char* what;
        Vec3 v;
        double length;
    };
    const NormCase norms[] = {
        {"3 4 12", {3, -4, 12}, 13.0},
        {"unit diagonal is the plain formula", {1, 1, 1}, std::sqrt(3.0)},
        // 9e400 overflows the plain sum: the scaled sum gives 5e200.
        {"squares past the largest double", {3e200, 0, -4e200}, 5e200},
        {"the largest double alone", {0, largest, 0}, largest},
        // 9e-400 underflows to 0 in the plain sum, which is kept: such a vector is degenerate anyway.
        {"squares below the smallest double", {3e-200, 4e-200, 0}, 0.0},
        {"an infinite component", {1, -inf, 0}, inf},
    };
    for (const NormCase& c : norms) {
        const double v[3] = {c.v[0], c.v[1], c.v[2]};
        const double length = sph_coupling_vector_norm(v);
        if (c.length == 0.0 || std::isinf(c.length)) {
            EXPECT_EQ(length, c.length) << c.what;
        } else {
            EXPECT_NEAR(length, c.length, 1e-15 * c.length) << c.what;
        }
    }
    const double with_nan[3] = {1, nan, 0};
    EXPECT_TRUE(std::isnan(sph_coupling_vector_norm(with_nan)));

    struct FiniteCase {
        const char* what;
        Vec3 v;
        bool finite;
    };
    const FiniteCase finites[] = {
        {"ordinary", {1, -2, 3}, true},
        {"just below the largest double", {0, 0, -below_largest}, true},
        {"the largest double", {largest, 0, 0}, false},
        {"minus the largest double", {0, -largest, 0}, false},
        {"an infinity", {0, inf, 0}, false},
        {"a NaN", {0, 0, nan}, false},
    };
    for (const FiniteCase& c : finites) {
        const double v[3] = {c.v[0], c.v[1], c.v[2]};
        EXPECT_EQ(sph_coupling_vector_is_finite(v), c.finite) << c.what;
    }
    struct ScalarCase {
        double value;
        bool finite;
    };
    for (const ScalarCase& c : {ScalarCase{0.0, true}, ScalarCase{-1e300, true}, ScalarCase{below_largest, true},
                                ScalarCase{largest, false}, ScalarCase{-largest, false}, ScalarCase{inf, false},
                                ScalarCase{-inf, false}, ScalarCase{nan, false}})
        EXPECT_EQ(sph_below_max_double(c.value), c.finite) << c.value;
    struct DegenerateCase {
        Vec3 v;
        bool degenerate;
    };
    for (const DegenerateCase& c : {DegenerateCase{{0, 0, 0}, true}, DegenerateCase{{0, 1e-12, 0}, true},
                                    DegenerateCase{{6e-13, 0, 8e-13}, true}, DegenerateCase{{0, 0, 2e-12}, false}}) {
        const double v[3] = {c.v[0], c.v[1], c.v[2]};
        EXPECT_EQ(sph_coupling_vector_is_degenerate(v), c.degenerate) << c.v[0] << " " << c.v[1] << " " << c.v[2];
    }
}

TEST_F(CouplingImports, SkipTestAndFiniteState) {
    load(Deck::boundary);
    EXPECT_TRUE(sph_coupling_particle_should_skip(-1));
    EXPECT_TRUE(sph_coupling_particle_should_skip(3));
    EXPECT_FALSE(sph_coupling_particle_should_skip(2));
    EXPECT_FALSE(sph_coupling_particle_state_is_finite(-1));
    EXPECT_FALSE(sph_coupling_particle_state_is_finite(3));
    // Each of the ten quantities the finite test reads, made non-finite in turn.
    SphDatabase& d = sph_database;
    std::vector<double>* scalars[] = {&d.mass, &d.volume, &d.rho, &d.pressure, &d.internal_energy, &d.temperature,
                                      &d.h};
    for (std::vector<double>* s : scalars) {
        const double kept = (*s)[1];
        (*s)[1] = nan;
        EXPECT_FALSE(sph_coupling_particle_state_is_finite(1));
        (*s)[1] = kept;
    }
    for (std::vector<double>* v : {&d.x, &d.v, &d.a}) {
        const double kept = (*v)[5];
        (*v)[5] = -inf;
        EXPECT_FALSE(sph_coupling_particle_state_is_finite(1));
        (*v)[5] = kept;
    }
    EXPECT_TRUE(sph_coupling_particle_state_is_finite(1));
}

// ---- Forces by export index ----

TEST_F(CouplingImports, ParticleForcesAccumulateByExportIndex) {
    load(Deck::boundary);
    // Region Particles lists particles 2, 0: export index 0 is particle 2, index 1 particle 0.
    ASSERT_EQ(particle_forces(b_particles, {0, 1, 0}, {{1.5, 0, -2}, {0.25, 0.5, 0.75}, {-0.5, 4, 1}}), 0)
        << sph_error_message();
    // Region Both lists 0, 1, 2. A zero force is an import like any other.
    ASSERT_EQ(particle_forces(b_both, {2, 1, 0}, {{2, 0, 0}, {0, 0, 8}, {0, 0, 0}}), 0) << sph_error_message();
    const double again[3] = {0.25, 0.5, 0.75};
    ASSERT_EQ(sph_coupling_import_force_by_region_index("particles  ", 1, again), 0) << sph_error_message();
    // particle 0: (0.25, 0.5, 0.75) twice and a zero force;
    // particle 1: (0, 0, 8);
    // particle 2: (1.5, 0, -2) + (-0.5, 4, 1) + (2, 0, 0) = (3, 4, -1).
    const Vec3 expected[3] = {{0.5, 1, 1.5}, {0, 0, 8}, {3, 4, -1}};
    const std::string path = csv();
    for (std::size_t i = 0; i < 3; ++i) {
        expect_vec(buffered(i), expected[i], 0.0, "buffer of particle " + std::to_string(i));
        expect_vec(csv_coupling_force(path, i), expected[i], 0.0, "CSV of particle " + std::to_string(i));
    }
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 7);
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);  // these imports never change the epoch
    expect_vec(sph_coupling.coupling_facet_input_force, zero, 0.0, "load balance");
    expect_counts({});
}

TEST_F(CouplingImports, SkippedParticlesAreCountedNotLoaded) {
    struct Case {
        const char* what;
        int32_t status;
        int32_t phase;
        bool skipped;
    };
    const Case cases[] = {
        {"an active wall particle", sph_status_active, sph_phase_boundary, false},
        {"an active shell particle", sph_status_active, sph_phase_shell, false},
        {"an active water particle", sph_status_active, sph_phase_water, false},
        {"an inactive particle", sph_status_inactive, sph_phase_boundary, true},
        {"a failed particle", sph_status_failed, sph_phase_boundary, true},
        {"a reserved particle", sph_status_reserved, sph_phase_boundary, true},
        {"a failed solid", sph_status_active, sph_phase_solid_failed, true},
        {"a failed shell", sph_status_active, sph_phase_shell_failed, true},
    };
    const Vec3 f{1, -2, 4};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(Deck::boundary);
        set_status(0, c.status);
        set_phase(0, c.phase);
        EXPECT_EQ(sph_coupling_particle_should_skip(0), c.skipped);
        ASSERT_EQ(particle_forces(b_both, {0}, {f}), 0) << sph_error_message();
        expect_vec(buffered(0), c.skipped ? zero : f, 0.0, "buffer");
        EXPECT_EQ(sph_coupling.coupling_imported_force_count, c.skipped ? 0 : 1);
        expect_counts({.skipped = c.skipped ? 1 : 0});
    }
}

// ---- Messages ----

struct MessageCase {
    const char* what;
    Deck deck;
    std::function<void()> setup;  // may be empty
    std::function<int()> call;
    const char* message;
    Counts counts;
    int32_t epoch = 0;  // the epoch after the call
};

void run_message_cases(const std::vector<MessageCase>& cases) {
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.deck);
        if (::testing::Test::HasFatalFailure()) return;
        if (c.setup) c.setup();
        EXPECT_EQ(c.call(), sph_error_argument);
        EXPECT_EQ(sph_error_code(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), c.message);
        expect_counts(c.counts);
        expect_nothing_buffered();
        expect_vec(sph_coupling.coupling_facet_input_force, zero, 0.0, "load balance input force");
        EXPECT_EQ(sph_coupling.coupling_epoch, c.epoch);
    }
}

TEST_F(CouplingImports, ParticleForceAndFacetLoadMessagesInCheckingOrder) {
    const Deck B = Deck::boundary, T = Deck::triangle;
    const Vec3 f{1.0, -2.0, 0.5};
    const double one[3] = {1.0, -2.0, 0.5};
    const std::vector<MessageCase> cases = {
        // Particle forces: the call's checks, then each item's region, export index and force.
        {"region index below the table", B, {}, [&] { return particle_forces(-1, {0}, {f}); },
         "coupling region index is invalid", {}},
        {"region index past the table", B, {}, [&] { return particle_forces(4, {0}, {f}); },
         "coupling region index is invalid", {}},
        {"region index before the count", B, {}, [] { return sph_coupling_apply_particle_forces(4, -1, nullptr, nullptr); },
         "coupling region index is invalid", {}},
        {"negative count", B, {}, [] { return sph_coupling_apply_particle_forces(b_both, -1, nullptr, nullptr); },
         "coupling force count is invalid", {}},
        {"disabled region", B, {}, [&] { return particle_forces(b_off, {0}, {f}); }, "coupling region is disabled", {}},
        {"disabled before the export index", B, {}, [&] { return particle_forces(b_off, {9}, {f}); },
         "coupling region is disabled", {}},
        {"facet-only region", B, {}, [&] { return particle_forces(b_facets, {0}, {f}); },
         "coupling region has no particle export index", {}},
        {"facet-only before the export index", B, {}, [&] { return particle_forces(b_facets, {9}, {f}); },
         "coupling region has no particle export index", {}},
        {"export index -1", B, {}, [&] { return particle_forces(b_particles, {-1}, {f}); },
         "coupling force export index is invalid", {}},
        {"export index at the list's length", B, {}, [&] { return particle_forces(b_particles, {2}, {f}); },
         "coupling force export index is invalid", {}},
        {"export index before the force", B, {}, [&] { return particle_forces(b_particles, {2}, {{nan, 0, 0}}); },
         "coupling force export index is invalid", {}},
        {"a member outside the model", B, [] { set_list(b_particles, {2, 7}); },
         [&] { return particle_forces(b_particles, {1}, {f}); }, "coupling force particle index is invalid", {}},
        {"NaN force", B, {}, [&] { return particle_forces(b_both, {0}, {{0, nan, 0}}); }, "coupling force is not finite",
         {.nonfinite = 1}},
        {"infinite force", B, {}, [&] { return particle_forces(b_both, {0}, {{0, 0, -inf}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"the largest double", B, {}, [&] { return particle_forces(b_both, {1}, {{largest, 0, 0}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"minus the largest double", B, {}, [&] { return particle_forces(b_both, {2}, {{0, -largest, 0}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"force before mass", B, [] { set_mass(0, 0.0); }, [&] { return particle_forces(b_both, {0}, {{nan, 0, 0}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"force before the skip test", B, [] { set_status(0, sph_status_inactive); },
         [&] { return particle_forces(b_both, {0}, {{nan, 0, 0}}); }, "coupling force is not finite", {.nonfinite = 1}},
        {"zero mass", B, [] { set_mass(0, 0.0); }, [&] { return particle_forces(b_both, {0}, {f}); },
         "coupling force particle mass must be positive", {}},
        {"negative mass", B, [] { set_mass(2, -1.0); }, [&] { return particle_forces(b_particles, {0}, {f}); },
         "coupling force particle mass must be positive", {}},
        {"mass before the skip test", B, [] { set_mass(0, 0.0); set_status(0, sph_status_inactive); },
         [&] { return particle_forces(b_both, {0}, {f}); }, "coupling force particle mass must be positive", {}},
        {"unknown region name", B, {}, [&] { return sph_coupling_import_force_by_region_index("Nowhere", 0, one); },
         "coupling region name is invalid", {}},
        {"region name of a disabled region", B, {},
         [&] { return sph_coupling_import_force_by_region_index("OFF", 0, one); }, "coupling region is disabled", {}},

        // Facet loads: the call's checks, then each item's region, facet and load.
        {"facet loads: region index below the table", B, {}, [&] { return facet_loads(-1, {1}, {f}); },
         "coupling region index is invalid", {}},
        {"facet loads: region index past the table", B, {}, [&] { return facet_loads(4, {1}, {f}); },
         "coupling region index is invalid", {}},
        {"facet loads: region index before the count", B, {},
         [] { return sph_coupling_apply_facet_loads(4, -1, nullptr, nullptr); }, "coupling region index is invalid", {}},
        {"facet loads: negative count", B, {}, [] { return sph_coupling_apply_facet_loads(b_facets, -1, nullptr, nullptr); },
         "coupling facet load count is invalid", {}},
        {"facet loads: disabled region", B, {}, [&] { return facet_loads(b_off, {1}, {f}); },
         "coupling region is disabled", {}},
        {"facet loads: particle-only region", B, {}, [&] { return facet_loads(b_particles, {2}, {f}); },
         "coupling region does not export facet proxies", {}},
        {"facet loads: export mode before membership", B, {}, [&] { return facet_loads(b_particles, {1}, {f}); },
         "coupling region does not export facet proxies", {}},
        {"facet loads: id not in the region", B, {}, [&] { return facet_loads(b_facets, {0}, {f}); },
         "coupling facet id is invalid", {}},
        {"facet loads: id -1", B, {}, [&] { return facet_loads(b_facets, {-1}, {f}); }, "coupling facet id is invalid",
         {}},
        {"facet loads: id past the model", B, {}, [&] { return facet_loads(b_facets, {3}, {f}); },
         "coupling facet id is invalid", {}},
        {"facet loads: a wall particle", B, {}, [&] { return facet_loads(b_facets, {1}, {f}); },
         "coupling facet proxy requires Shell particles", {}},
        {"facet loads: a shell phase without shell state", B, [] { set_phase(1, sph_phase_shell); },
         [&] { return facet_loads(b_facets, {1}, {f}); }, "Shell facet proxy state is unavailable", {}},
        {"facet loads: shell arrays of an earlier model", T, shell_arrays_of_an_earlier_model,
         [&] { return facet_loads(t_skin, {0}, {f}); }, "Shell facet proxy state is unavailable", {}},
        {"facet loads: a wall member", T, {}, [&] { return facet_loads(t_mixed, {3}, {f}); },
         "coupling facet proxy requires Shell particles", {}},
        {"facet loads: NaN director", T, [] { set_director(0, {nan, 0, 1}); },
         [&] { return facet_loads(t_skin, {0}, {f}); }, "Shell facet normal is not finite", {.nonfinite = 1}},
        {"facet loads: infinite director", T, [] { set_director(1, {0, inf, 0}); },
         [&] { return facet_loads(t_skin, {1}, {f}); }, "Shell facet normal is not finite", {.nonfinite = 1}},
        {"facet loads: zero area", T, [] { set_area(2, 0.0); }, [&] { return facet_loads(t_skin, {2}, {f}); },
         "Shell facet area is invalid", {.invalid_weight = 1, .bad_area = 1}},
        {"facet loads: negative area", T, [] { set_area(2, -7.0); }, [&] { return facet_loads(t_corner, {2}, {f}); },
         "Shell facet area is invalid", {.invalid_weight = 1, .bad_area = 1}},
        {"facet loads: NaN area", T, [] { set_area(0, nan); }, [&] { return facet_loads(t_skin, {0}, {f}); },
         "Shell facet area is invalid", {.invalid_weight = 1, .bad_area = 1}},
        {"facet loads: the largest double as area", T, [] { set_area(0, largest); },
         [&] { return facet_loads(t_skin, {0}, {f}); }, "Shell facet area is invalid",
         {.invalid_weight = 1, .bad_area = 1}},
        {"facet loads: director before area", T, [] { set_director(0, {nan, 0, 1}); set_area(0, 0.0); },
         [&] { return facet_loads(t_skin, {0}, {f}); }, "Shell facet normal is not finite", {.nonfinite = 1}},
        {"facet loads: facet before load", T, [] { set_director(0, {nan, 0, 1}); },
         [&] { return facet_loads(t_skin, {0}, {{nan, 0, 0}}); }, "Shell facet normal is not finite", {.nonfinite = 1}},
        {"facet loads: NaN load", T, {}, [&] { return facet_loads(t_skin, {0}, {{nan, 0, 0}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"facet loads: the largest double as load", T, {}, [&] { return facet_loads(t_skin, {1}, {{0, 0, largest}}); },
         "coupling force is not finite", {.nonfinite = 1}},
        {"facet loads: zero mass", T, [] { set_mass(0, 0.0); }, [&] { return facet_loads(t_skin, {0}, {f}); },
         "coupling force particle mass must be positive", {}},
        {"facet loads: unknown region name", T, {},
         [&] { return sph_coupling_import_region_facet_load("nowhere", 0, one); }, "coupling region name is invalid", {}},
    };
    run_message_cases(cases);
}

// A facet id found in the region's list whose particle lies outside the model: the list
// check passes it and the shell check refuses the particle.
TEST_F(CouplingImports, FacetMemberOutsideTheModelIsRefusedByTheShellCheck) {
    load(Deck::boundary);
    set_list(b_facets, {1, 7});
    const double f[3] = {1, 0, 0};
    EXPECT_EQ(sph_coupling_import_region_facet_load("Facets", 7, f), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "coupling facet particle is invalid");
}

TEST_F(CouplingImports, HostStepImportMessagesInCheckingOrder) {
    const Deck T = Deck::triangle;
    const Vec3 r{2, -1, 0.5};
    const std::vector<MessageCase> cases = {
        // The epoch check comes first: a refused step leaves the epoch at 0; any later
        // failure finds it moved to the call's step 1.
        {"negative step", T, {}, [] { return pressures(t_skin, {0}, {1.0}, 4, -1); }, "coupling step is invalid", {}, 0},
        {"distribution mode 0", T, {}, [&] { return resultants(t_skin, {0}, {r}, 0); },
         "coupling distribution mode is invalid", {.invalid_weight = 1}, 1},
        {"distribution mode before the region index", T, {}, [&] { return resultants(-1, {0}, {r}, 4); },
         "coupling distribution mode is invalid", {.invalid_weight = 1}, 1},
        {"region index below the table", T, {}, [&] { return tractions(-1, {0}, {r}); },
         "coupling region index is invalid", {}, 1},
        {"region index past the table", T, {}, [&] { return tractions(5, {0}, {r}); },
         "coupling region index is invalid", {}, 1},
        {"region index before the count", T, {},
         [] { return sph_coupling_apply_facet_pressures(5, -1, nullptr, nullptr, by_area, 1); },
         "coupling region index is invalid", {}, 1},
        {"negative resultant count", T, {},
         [] { return sph_coupling_apply_facet_resultants(t_skin, -1, nullptr, nullptr, by_area, 1); },
         "coupling resultant count is invalid", {}, 1},
        {"negative traction count", T, {},
         [] { return sph_coupling_apply_facet_tractions(t_skin, -1, nullptr, nullptr, by_area, 1); },
         "coupling traction count is invalid", {}, 1},
        {"negative pressure count", T, {},
         [] { return sph_coupling_apply_facet_pressures(t_skin, -1, nullptr, nullptr, by_area, 1); },
         "coupling pressure count is invalid", {}, 1},
        {"NaN pressure", T, {}, [] { return pressures(t_skin, {0}, {nan}); }, "coupling pressure is not finite",
         {.nonfinite = 1}, 1},
        {"the largest double as pressure", T, {}, [] { return pressures(t_skin, {1}, {largest}); },
         "coupling pressure is not finite", {.nonfinite = 1}, 1},
        {"infinite traction", T, {}, [] { return tractions(t_skin, {2}, {{0, inf, 0}}); },
         "coupling traction is not finite", {.nonfinite = 1}, 1},
        {"minus the largest double as traction", T, {}, [] { return tractions(t_skin, {2}, {{0, 0, -largest}}); },
         "coupling traction is not finite", {.nonfinite = 1}, 1},
        {"the largest double in a resultant", T, {}, [] { return resultants(t_skin, {0}, {{largest, 0, 0}}); },
         "coupling resultant is not finite", {.nonfinite = 1}, 1},
        {"value before the region's state", T, {}, [] { return pressures(t_off, {0}, {nan}); },
         "coupling pressure is not finite", {.nonfinite = 1}, 1},
        {"disabled region", T, {}, [] { return pressures(t_off, {0}, {1.0}); }, "coupling region is disabled", {}, 1},
        {"particle-only region", T, {}, [] { return pressures(t_plain, {0}, {1.0}); },
         "coupling region does not export facet proxies", {}, 1},
        {"id not in the region", T, {}, [] { return pressures(t_corner, {1}, {1.0}); }, "coupling facet id is invalid",
         {}, 1},
        {"id -1", T, {}, [] { return pressures(t_corner, {-1}, {1.0}); }, "coupling facet id is invalid", {}, 1},
        {"id past the model", T, {}, [] { return pressures(t_skin, {4}, {1.0}); }, "coupling facet id is invalid", {},
         1},
        {"a wall member", T, {}, [] { return pressures(t_mixed, {3}, {1.0}); },
         "coupling facet proxy requires Shell particles", {}, 1},
        {"shell arrays of an earlier model", T, shell_arrays_of_an_earlier_model,
         [] { return pressures(t_skin, {0}, {1.0}); }, "Shell facet proxy state is unavailable", {}, 1},
        {"NaN director", T, [] { set_director(1, {0, nan, 0}); }, [] { return pressures(t_skin, {1}, {1.0}); },
         "Shell facet normal is not finite", {.nonfinite = 1}, 1},
        {"negative area", T, [] { set_area(1, -1.0); }, [] { return pressures(t_skin, {1}, {1.0}); },
         "Shell facet area is invalid", {.invalid_weight = 1, .bad_area = 1}, 1},
        {"zero director", T, [] { set_director(2, zero); }, [] { return pressures(t_skin, {2}, {1.0}); },
         "coupling facet normal is degenerate", {.invalid_weight = 1}, 1},
        {"director of length 1e-12", T, [] { set_director(2, {0, 6e-13, 8e-13}); },
         [&] { return resultants(t_skin, {2}, {r}); }, "coupling facet normal is degenerate", {.invalid_weight = 1}, 1},
        {"NaN centre", T, [] { set_position(0, {1, nan, 1}); }, [] { return pressures(t_skin, {0}, {1.0}); },
         "coupling facet center is not finite", {.nonfinite = 1}, 1},
        {"normal before centre", T, [] { set_director(0, zero); set_position(0, {inf, 1, 1}); },
         [] { return pressures(t_skin, {0}, {1.0}); }, "coupling facet normal is degenerate", {.invalid_weight = 1}, 1},
        // 7 times the largest double below the limit overflows; so does 1e308 * 7 * 6/7.
        {"traction force overflows", T, {}, [] { return tractions(t_skin, {0}, {{below_largest, 0, 0}}); },
         "coupling facet force is not finite", {.nonfinite = 1}, 1},
        {"pressure force overflows", T, {}, [] { return pressures(t_skin, {0}, {1e308}); },
         "coupling facet force is not finite", {.nonfinite = 1}, 1},
        {"mass distribution, zero mass", T, [] { set_mass(0, 0.0); },
         [&] { return resultants(t_skin, {0}, {r}, by_mass); }, "coupling distribution weight is invalid",
         {.invalid_weight = 1}, 1},
        {"mass distribution, negative mass", T, [] { set_mass(1, -2.0); },
         [&] { return resultants(t_skin, {1}, {r}, by_mass); }, "coupling distribution weight is invalid",
         {.invalid_weight = 1}, 1},
        {"mass distribution, infinite mass", T, [] { set_mass(1, inf); },
         [&] { return resultants(t_skin, {1}, {r}, by_mass); }, "coupling distribution weight is invalid",
         {.invalid_weight = 1}, 1},
        {"uniform distribution, zero mass", T, [] { set_mass(0, 0.0); },
         [&] { return resultants(t_skin, {0}, {r}, uniform); }, "coupling force particle mass must be positive", {}, 1},
        {"area distribution, zero mass", T, [] { set_mass(0, 0.0); },
         [&] { return resultants(t_skin, {0}, {r}, by_area); }, "coupling force particle mass must be positive", {}, 1},
    };
    run_message_cases(cases);
}

// ---- A failing item keeps the items before it ----

TEST_F(CouplingImports, FailingItemKeepsTheItemsBeforeIt) {
    struct Case {
        const char* what;
        Deck deck;
        std::function<void()> setup;
        std::function<int()> call;
        const char* message;
        std::vector<Vec3> buffered;  // per particle afterwards
        int32_t imported;
        Vec3 input_force;  // load balance afterwards
        double tol = 0.0;
    };
    const Vec3 a{1, 2, 3}, b{-0.5, 0.25, 4}, c{8, 8, 8};
    const Vec3 r0{2, -1, 0.5}, r1{0, 4, -3};
    const Vec3 t0{1, 2, 2}, t1{0, -3, 4};
    // A pressure p on a corner puts p * 7 * (2, 3, 6) / 7 = p (2, 3, 6) on it.
    const Vec3 pn{2, 3, 6};
    const Case cases[] = {
        {"particle forces, bad export index third", Deck::boundary, {},
         [&] { return particle_forces(b_both, {0, 1, 5, 2}, {a, b, c, c}); }, "coupling force export index is invalid",
         {a, b, zero}, 2, zero},
        {"particle forces, NaN third", Deck::boundary, {},
         [&] { return particle_forces(b_both, {0, 0, 1}, {a, b, {0, nan, 0}}); }, "coupling force is not finite",
         {add(a, b), zero, zero}, 2, zero},
        {"facet loads, id outside the region third", Deck::triangle, {},
         [&] { return facet_loads(t_skin, {0, 1, 3, 2}, {a, b, c, c}); }, "coupling facet id is invalid",
         {a, b, zero, zero}, 2, zero},
        {"resultants, zero mass under mass distribution third", Deck::triangle, [] { set_mass(1, 0.0); },
         [&] { return resultants(t_skin, {2, 0, 1}, {r0, r1, c}, by_mass); }, "coupling distribution weight is invalid",
         {r1, zero, r0, zero}, 2, add(r0, r1)},
        // Tractions carry the corner area: 7 t.
        {"tractions, id outside the region third", Deck::triangle, {},
         [&] { return tractions(t_corner, {0, 2, 1}, {t0, t1, c}); }, "coupling facet id is invalid",
         {scaled(7, t0), zero, scaled(7, t1), zero}, 2, scaled(7, add(t0, t1))},
        {"pressures, NaN third", Deck::triangle, {}, [] { return pressures(t_skin, {1, 0, 2}, {1.0, -0.5, nan}); },
         "coupling pressure is not finite", {scaled(-0.5, pn), pn, zero, zero}, 2, scaled(0.5, pn), 1e-14},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        load(k.deck);
        if (k.setup) k.setup();
        EXPECT_EQ(k.call(), sph_error_argument);
        EXPECT_EQ(sph_error_message(), k.message);
        for (std::size_t i = 0; i < k.buffered.size(); ++i)
            expect_vec(buffered(i), k.buffered[i], k.tol, "particle " + std::to_string(i));
        EXPECT_EQ(sph_coupling.coupling_imported_force_count, k.imported);
        expect_vec(sph_coupling.coupling_facet_input_force, k.input_force, k.tol, "load balance input force");
        expect_vec(sph_coupling.coupling_facet_distributed_force, k.input_force, k.tol,
                   "load balance distributed force");
    }
}

// ---- State ----

enum Counter {
    k_epoch, k_consumed, k_stale, k_skipped, k_nonfinite, k_imported, k_repeated, k_duplicate, k_invalid, k_active,
    k_skipped_contact, k_nonfinite_contact, k_bad_area, counter_count
};

struct State {
    std::array<int32_t, counter_count> counters{};
    std::array<double, 8> cumulative{};  // impulse, momentum exchange, work, energy exchange
    std::array<double, 14> step{};       // force, moment, impulse, work, max force, max acceleration, max errors
    std::array<double, 17> balance{};    // input and distributed force, error, moments, error, three maxima
    std::array<double, 5> basic{};       // work, energy, momentum
};
constexpr std::size_t max_penetration_slot = 16;

std::array<int32_t*, counter_count> counter_fields() {
    SphCouplingInterface& c = sph_coupling;
    return {&c.coupling_epoch,
            &c.coupling_step_load_consumed,
            &c.coupling_stale_load_count,
            &c.coupling_skipped_particle_count,
            &c.coupling_nonfinite_import_count,
            &c.coupling_imported_force_count,
            &c.coupling_repeated_import_count,
            &c.coupling_duplicate_facet_count,
            &c.coupling_invalid_weight_count,
            &c.coupling_active_contact_count,
            &c.coupling_skipped_contact_count,
            &c.coupling_nonfinite_contact_count,
            &c.coupling_bad_facet_area_count};
}

template <std::size_t N>
std::array<double*, N> real_fields(std::initializer_list<SphCouplingVec*> vectors, std::initializer_list<double*> scalars) {
    std::array<double*, N> out{};
    std::size_t k = 0;
    for (SphCouplingVec* v : vectors)
        for (double& x : *v) out[k++] = &x;
    for (double* x : scalars) out[k++] = x;
    return out;
}

std::array<double*, 8> cumulative_fields() {
    SphCouplingInterface& c = sph_coupling;
    return real_fields<8>({&c.coupling_cumulative_impulse, &c.coupling_momentum_exchange},
                          {&c.coupling_cumulative_work, &c.coupling_energy_exchange});
}
std::array<double*, 14> step_fields() {
    SphCouplingInterface& c = sph_coupling;
    return real_fields<14>({&c.coupling_current_force, &c.coupling_current_moment, &c.coupling_current_impulse},
                           {&c.coupling_current_work, &c.coupling_max_external_force, &c.coupling_max_acceleration,
                            &c.coupling_max_velocity_error, &c.coupling_max_position_error});
}
std::array<double*, 17> balance_fields() {
    SphCouplingInterface& c = sph_coupling;
    // Input force 0-2, distributed force 3-5, error 6, input moment 7-9, distributed moment
    // 10-12, error 13, max pressure 14, max traction 15, max penetration 16.
    std::array<double*, 17> out{};
    std::size_t k = 0;
    for (SphCouplingVec* v : {&c.coupling_facet_input_force, &c.coupling_facet_distributed_force})
        for (double& x : *v) out[k++] = &x;
    out[k++] = &c.coupling_facet_force_error;
    for (SphCouplingVec* v : {&c.coupling_facet_input_moment, &c.coupling_facet_distributed_moment})
        for (double& x : *v) out[k++] = &x;
    out[k++] = &c.coupling_facet_moment_error;
    out[k++] = &c.coupling_max_pressure;
    out[k++] = &c.coupling_max_traction;
    out[k++] = &c.coupling_max_penetration;
    return out;
}
std::array<double*, 5> basic_fields() {
    SphCouplingInterface& c = sph_coupling;
    return real_fields<5>({&c.coupling_momentum}, {&c.coupling_work, &c.coupling_energy});
}

template <typename T, std::size_t N>
void read_into(std::array<T, N>& out, const std::array<T*, N>& fields) {
    for (std::size_t k = 0; k < N; ++k) out[k] = *fields[k];
}
template <typename T, std::size_t N>
void write_from(const std::array<T, N>& in, const std::array<T*, N>& fields) {
    for (std::size_t k = 0; k < N; ++k) *fields[k] = in[k];
}

State read_state() {
    State s;
    read_into(s.counters, counter_fields());
    read_into(s.cumulative, cumulative_fields());
    read_into(s.step, step_fields());
    read_into(s.balance, balance_fields());
    read_into(s.basic, basic_fields());
    return s;
}

void write_state(const State& s) {
    write_from(s.counters, counter_fields());
    write_from(s.cumulative, cumulative_fields());
    write_from(s.step, step_fields());
    write_from(s.balance, balance_fields());
    write_from(s.basic, basic_fields());
}

// Every value different and non-zero.
State marked_state() {
    State s;
    for (std::size_t k = 0; k < s.counters.size(); ++k) s.counters[k] = static_cast<int32_t>(101 + k);
    for (std::size_t k = 0; k < s.cumulative.size(); ++k) s.cumulative[k] = 1.5 + static_cast<double>(k);
    for (std::size_t k = 0; k < s.step.size(); ++k) s.step[k] = 10.5 + static_cast<double>(k);
    for (std::size_t k = 0; k < s.balance.size(); ++k) s.balance[k] = 30.5 + static_cast<double>(k);
    for (std::size_t k = 0; k < s.basic.size(); ++k) s.basic[k] = 50.5 + static_cast<double>(k);
    return s;
}

template <typename T, std::size_t N>
void expect_array(const std::array<T, N>& actual, const std::array<T, N>& expected, const char* group) {
    for (std::size_t k = 0; k < N; ++k) EXPECT_EQ(actual[k], expected[k]) << group << " slot " << k;
}

void expect_state(const State& actual, const State& expected) {
    expect_array(actual.counters, expected.counters, "counter");
    expect_array(actual.cumulative, expected.cumulative, "cumulative total");
    expect_array(actual.step, expected.step, "step total");
    expect_array(actual.balance, expected.balance, "load balance");
    expect_array(actual.basic, expected.basic, "basic total");
}

// The ten buffers end to end, integers as reals.
std::vector<double> buffer_image() {
    const SphCouplingInterface& c = sph_coupling;
    std::vector<double> out;
    for (const std::vector<double>* v : {&c.coupling_external_force, &c.coupling_motion_velocity,
                                         &c.coupling_motion_position})
        out.insert(out.end(), v->begin(), v->end());
    for (const std::vector<int32_t>* v : {&c.coupling_motion_flag, &c.coupling_motion_mode, &c.coupling_contact_flag})
        out.insert(out.end(), v->begin(), v->end());
    for (const std::vector<double>* v : {&c.coupling_contact_normal, &c.coupling_contact_gap,
                                         &c.coupling_contact_penetration, &c.coupling_contact_pressure})
        out.insert(out.end(), v->begin(), v->end());
    return out;
}

// A force on particle 0, a velocity target on particle 1, a contact state on particle 2.
void fill_buffers() {
    ASSERT_EQ(sph_coupling_allocate_imports(), 0);
    SphCouplingInterface& c = sph_coupling;
    c.coupling_external_force[0] = 1.0;
    c.coupling_external_force[1] = -2.0;
    c.coupling_external_force[2] = 3.0;
    for (std::size_t k = 0; k < 3; ++k) c.coupling_motion_velocity[3 + k] = 4.0 + static_cast<double>(k);
    c.coupling_motion_flag[1] = sph_coupling_motion_velocity;
    c.coupling_motion_mode[1] = sph_coupling_motion_direct;
    c.coupling_contact_flag[2] = 1;
    c.coupling_contact_normal[8] = 1.0;
    c.coupling_contact_gap[2] = 0.25;
    c.coupling_contact_penetration[2] = 0.125;
    c.coupling_contact_pressure[2] = 3.5;
    sph_coupling_rebuild_touched();
}

TEST_F(CouplingImports, WhatSurvivesWhat) {
    enum class Buffers { kept, zeroed, freed };
    struct Case {
        const char* what;
        std::function<int()> op;
        Buffers buffers;
        int32_t npart_after;
        std::function<void(State&)> expected;  // applied to the marked state
    };
    auto all_zero_but_basic = [](State& s) {
        const std::array<double, 5> basic = s.basic;
        s = State{};
        s.basic = basic;
    };
    const Case cases[] = {
        // The end of a step empties the buffers and the two counts of what they hold, marks the
        // step as one that consumed data and zeroes the maximum penetration.
        {"end of step", [] { return sph_coupling_finalize_step_imports(); }, Buffers::zeroed, 3,
         [](State& s) {
             s.counters[k_imported] = s.counters[k_active] = 0;
             s.counters[k_consumed] = 1;
             s.balance[max_penetration_slot] = 0.0;
         }},
        {"new host step", [] { return sph_coupling_prepare_import_epoch(77); }, Buffers::zeroed, 3,
         [](State& s) {
             s.counters[k_imported] = s.counters[k_active] = 0;
             s.counters[k_epoch] = 77;
             s.balance = {};
         }},
        // The marked epoch is 101.
        {"the same host step", [] { return sph_coupling_prepare_import_epoch(101); }, Buffers::kept, 3,
         [](State& s) { s.counters[k_repeated] += 1; }},
        {"clear", [] { return sph_coupling_clear_imports(); }, Buffers::zeroed, 3,
         [](State& s) {
             s.counters[k_imported] = s.counters[k_active] = 0;
             s.counters[k_stale] += 1;
             s.counters[k_epoch] += 1;
             s.balance = {};
         }},
        {"allocation at the same particle count", [] { return sph_coupling_allocate_imports(); }, Buffers::kept, 3,
         [](State&) {}},
        {"reallocation at another particle count",
         [] {
             if (int st = sph_db_allocate(5)) return st;
             return sph_coupling_allocate_imports();
         },
         Buffers::zeroed, 5, all_zero_but_basic},
        {"allocation without particles",
         [] {
             sph_db_free();
             return sph_coupling_allocate_imports();
         },
         Buffers::freed, 0, all_zero_but_basic},
        {"release",
         [] {
             sph_coupling_release_imports();
             return 0;
         },
         Buffers::freed, 3, all_zero_but_basic},
        {"reset",
         [] {
             sph_coupling_reset();
             return 0;
         },
         Buffers::freed, 3, [](State& s) { s = State{}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sph_coupling_reset();
        ASSERT_EQ(sph_db_allocate(3), 0);
        fill_buffers();
        const std::vector<double> filled = buffer_image();
        write_state(marked_state());
        ASSERT_EQ(c.op(), 0) << sph_error_message();
        ASSERT_EQ(sph_database.npart, c.npart_after);
        State expected = marked_state();
        c.expected(expected);
        expect_state(read_state(), expected);
        const std::vector<double> image = buffer_image();
        switch (c.buffers) {
            case Buffers::kept: EXPECT_EQ(image, filled); break;
            case Buffers::zeroed:
                // 18 entries per particle: four vectors and six scalars.
                EXPECT_EQ(image, std::vector<double>(18 * static_cast<std::size_t>(c.npart_after), 0.0));
                break;
            case Buffers::freed: EXPECT_TRUE(image.empty()) << image.size() << " entries left"; break;
        }
    }
}

// What counts as buffered data: for a clear (the stale count) a force component that is
// non-zero or not a number, a motion flag or a contact flag, one count per clear; for an
// import of the host step already current (the repeated count) a force or a contact flag.
TEST_F(CouplingImports, ClearAndSameHostStepCountBufferedData) {
    struct Case {
        const char* what;
        bool allocate;
        std::function<void(SphCouplingInterface&)> fill;
        int32_t stale_added;
        int32_t repeated_added;
    };
    const Case cases[] = {
        {"no buffers", false, [](SphCouplingInterface&) {}, 0, 0},
        {"empty buffers", true, [](SphCouplingInterface&) {}, 0, 0},
        {"a force", true, [](SphCouplingInterface& c) { c.coupling_external_force[5] = -0.5; }, 1, 1},
        {"a NaN force component", true, [](SphCouplingInterface& c) { c.coupling_external_force[4] = nan; }, 1, 1},
        {"the smallest subnormal force", true,
         [](SphCouplingInterface& c) { c.coupling_external_force[0] = std::numeric_limits<double>::denorm_min(); }, 1,
         1},
        {"a negative zero force", true, [](SphCouplingInterface& c) { c.coupling_external_force[3] = -0.0; }, 0, 0},
        {"a motion flag", true,
         [](SphCouplingInterface& c) {
             c.coupling_motion_flag[1] = sph_coupling_motion_position;
             c.coupling_motion_mode[1] = sph_coupling_motion_direct;
         },
         1, 0},
        {"a motion mode without a flag", true,
         [](SphCouplingInterface& c) { c.coupling_motion_mode[1] = sph_coupling_motion_direct; }, 0, 0},
        {"a contact flag only", true, [](SphCouplingInterface& c) { c.coupling_contact_flag[2] = 1; }, 1, 1},
        {"contact values without the flag", true,
         [](SphCouplingInterface& c) {
             c.coupling_contact_gap[2] = 0.5;
             c.coupling_contact_penetration[2] = 0.25;
         },
         0, 0},
        {"a force and a contact flag", true,
         [](SphCouplingInterface& c) {
             c.coupling_external_force[0] = 1.0;
             c.coupling_contact_flag[2] = 1;
         },
         1, 1},
        {"force, motion and contact", true,
         [](SphCouplingInterface& c) {
             c.coupling_external_force[8] = 2.0;
             c.coupling_motion_flag[0] = sph_coupling_motion_velocity;
             c.coupling_motion_mode[0] = sph_coupling_motion_direct;
             c.coupling_contact_flag[1] = 1;
         },
         1, 1},
    };
    auto prepare = [](const Case& k) {
        sph_coupling_reset();
        ASSERT_EQ(sph_db_allocate(3), 0);
        if (k.allocate) {
            ASSERT_EQ(sph_coupling_allocate_imports(), 0);
            k.fill(sph_coupling);
            sph_coupling_rebuild_touched();
        }
        sph_coupling.coupling_stale_load_count = 4;
        sph_coupling.coupling_repeated_import_count = 6;
        sph_coupling.coupling_epoch = 9;
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        prepare(k);
        ASSERT_EQ(sph_coupling_clear_imports(), 0) << sph_error_message();
        EXPECT_EQ(sph_coupling.coupling_stale_load_count, 4 + k.stale_added);
        EXPECT_EQ(sph_coupling.coupling_epoch, 10);
        const std::vector<double> image = buffer_image();
        if (k.allocate) {
            EXPECT_EQ(image, std::vector<double>(18 * 3, 0.0));
        } else {
            EXPECT_TRUE(image.empty()) << "a clear allocated buffers nothing imports into";
        }
        prepare(k);
        const std::vector<double> before = buffer_image();
        ASSERT_EQ(sph_coupling_prepare_import_epoch(9), 0) << sph_error_message();
        EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 6 + k.repeated_added);
        EXPECT_EQ(sph_coupling.coupling_stale_load_count, 4);
        // The same host step keeps the buffers. NaN != NaN: compare entry by entry.
        const std::vector<double> after = buffer_image();
        ASSERT_EQ(after.size(), 18u * 3u);
        for (std::size_t e = 0; e < before.size(); ++e)
            EXPECT_TRUE(after[e] == before[e] || (std::isnan(after[e]) && std::isnan(before[e]))) << "entry " << e;
    }
}

// ---- The epoch rule ----

TEST_F(CouplingImports, EpochRuleSequence) {
    struct Step {
        const char* what;
        std::function<int()> call;
        const char* message;  // nullptr: succeeds
        int32_t epoch;
        int32_t repeated;
        int32_t stale;
        Vec3 force;  // buffered on particle 0 afterwards
    };
    const Vec3 a{1, 0, 0}, b{0, 2, 0}, c{0, 0, 4};
    auto force = [](Vec3 f) { return [f] { return particle_forces(b_both, {0}, {f}); }; };
    const Step steps[] = {
        {"a particle force keeps the epoch", force(a), nullptr, 0, 0, 0, a},
        {"host step 0 is the epoch of a fresh model: kept and counted", [] { return empty_resultants(0); }, nullptr, 0,
         1, 0, a},
        {"a second force adds on top", force(b), nullptr, 0, 1, 0, add(a, b)},
        {"the same host step again counts again", [] { return empty_resultants(0); }, nullptr, 0, 2, 0, add(a, b)},
        {"a new host step empties the buffers", [] { return empty_resultants(3); }, nullptr, 3, 2, 0, zero},
        {"the same step with nothing buffered counts nothing", [] { return empty_resultants(3); }, nullptr, 3, 2, 0,
         zero},
        {"a force for the next exchange", force(c), nullptr, 3, 2, 0, c},
        {"a new host step empties even when its mode is refused", [] { return empty_resultants(4, 4); },
         "coupling distribution mode is invalid", 4, 2, 0, zero},
        {"a force again", force(c), nullptr, 4, 2, 0, c},
        {"a negative step changes nothing", [] { return empty_resultants(-1); }, "coupling step is invalid", 4, 2, 0, c},
        {"the same step is counted before the region index is refused", [] { return empty_resultants(4, by_area, 9); },
         "coupling region index is invalid", 4, 3, 0, c},
        {"pressures share the epoch",
         [] { return sph_coupling_apply_facet_pressures(b_both, -1, nullptr, nullptr, by_area, 4); },
         "coupling pressure count is invalid", 4, 4, 0, c},
        {"a clear empties the buffers, counts them stale and adds 1", [] { return sph_coupling_clear_imports(); },
         nullptr, 5, 4, 1, zero},
        {"the clear's epoch is a host step like any other",
         [] { return sph_coupling_apply_facet_tractions(b_both, 0, nullptr, nullptr, uniform, 5); }, nullptr, 5, 4, 1,
         zero},
        {"a force for the contact import", force(a), nullptr, 5, 4, 1, a},
        {"a contact import for a new step empties before its region is refused",
         [] {
             return sph_coupling_apply_contact_state(b_both, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 6);
         },
         "coupling region does not import contact state", 6, 4, 1, zero},
        {"a force once more", force(a), nullptr, 6, 4, 1, a},
        {"an earlier host step is a new one too", [] { return empty_resultants(2); }, nullptr, 2, 4, 1, zero},
    };
    load(Deck::boundary);
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    EXPECT_FALSE(buffers_allocated());
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const int st = s.call();
        if (s.message == nullptr) {
            EXPECT_EQ(st, 0) << sph_error_message();
        } else {
            EXPECT_EQ(st, sph_error_argument);
            EXPECT_EQ(sph_error_message(), s.message);
        }
        EXPECT_EQ(sph_coupling.coupling_epoch, s.epoch);
        EXPECT_EQ(sph_coupling.coupling_repeated_import_count, s.repeated);
        EXPECT_EQ(sph_coupling.coupling_stale_load_count, s.stale);
        expect_vec(buffered(0), s.force, 0.0, "buffered force");
    }
}

TEST_F(CouplingImports, EpochWrapsPastTheLargestValue) {
    constexpr int32_t top = std::numeric_limits<int32_t>::max(), bottom = std::numeric_limits<int32_t>::min();
    load(Deck::boundary);
    const Vec3 a{0, 0, 1};
    sph_coupling.coupling_epoch = top - 1;
    ASSERT_EQ(sph_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, top);
    ASSERT_EQ(particle_forces(b_both, {0}, {a}), 0);
    ASSERT_EQ(sph_coupling_clear_imports(), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, bottom);
    EXPECT_EQ(sph_coupling.coupling_stale_load_count, 1);
    // No valid host step equals the wrapped epoch: the largest one is a new step.
    ASSERT_EQ(particle_forces(b_both, {0}, {a}), 0);
    ASSERT_EQ(empty_resultants(top), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_epoch, top);
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 0);
    expect_vec(buffered(0), zero, 0.0, "buffer after the new step");
    ASSERT_EQ(sph_coupling_clear_imports(), 0);
    ASSERT_EQ(particle_forces(b_both, {0}, {a}), 0);
    ASSERT_EQ(empty_resultants(0), 0);
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 0);
    expect_vec(buffered(0), zero, 0.0, "buffer after step 0");
}

class CouplingThroughTheInterface : public CouplingImports {
protected:
    void TearDown() override {
        sph_finalize();
        CouplingImports::TearDown();
    }
};

TEST_F(CouplingThroughTheInterface, DeckReadAndBuildStartEmptyAtEpochOne) {
    sph_initialize();
    const std::string deck = deck_file(Deck::boundary);
    const Vec3 a{0.5, 0, 0};
    ASSERT_EQ(sph_read_inp(deck), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    EXPECT_EQ(sph_coupling.coupling_stale_load_count, 0);
    EXPECT_FALSE(buffers_allocated()) << "the build's clear allocated buffers nothing imports into";
    // Host step 1 is the built model's epoch: a force imported before it stays.
    ASSERT_EQ(particle_forces(b_both, {0}, {a}), 0);
    ASSERT_EQ(empty_resultants(1), 0);
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 1);
    expect_vec(buffered(0), a, 0.0, "buffer at host step 1");
    ASSERT_EQ(empty_resultants(2), 0);
    ASSERT_EQ(particle_forces(b_both, {0}, {a}), 0);
    // Reading the deck again drops the model's imports and counters.
    ASSERT_EQ(sph_read_inp(deck), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 0);
    EXPECT_FALSE(buffers_allocated());
    ASSERT_EQ(sph_build_model(), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_epoch, 1);
    expect_vec(buffered(0), zero, 0.0, "buffer of the rebuilt model");
}

// ---- Facet loads and host-step loads on the triangle ----

TEST_F(CouplingImports, FacetLoadsAddWithoutEpochOrBalance) {
    load(Deck::triangle);
    set_director(2, zero);  // facet loads read no normal
    set_status(0, sph_status_inactive);
    // No duplicate test for facet loads: facet 1 takes both of its loads.
    ASSERT_EQ(facet_loads(t_skin, {1, 1, 2}, {{1, 2, 3}, {0.5, 0, -1}, {0, 0, 2}}), 0) << sph_error_message();
    const double load[3] = {-4, 0, 0};
    ASSERT_EQ(sph_coupling_import_region_facet_load("corner", 2, load), 0) << sph_error_message();
    // An inactive proxy is counted and left unloaded.
    ASSERT_EQ(facet_loads(t_corner, {0}, {{9, 9, 9}}), 0) << sph_error_message();
    expect_vec(buffered(0), zero, 0.0, "inactive proxy");
    expect_vec(buffered(1), {1.5, 2, 2}, 0.0, "facet 1");
    expect_vec(buffered(2), {-4, 0, 2}, 0.0, "facet 2");
    expect_vec(buffered(3), zero, 0.0, "wall particle");
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 4);
    EXPECT_EQ(sph_coupling.coupling_epoch, 0);
    expect_vec(sph_coupling.coupling_facet_input_force, zero, 0.0, "load balance");
    expect_counts({.skipped = 1});
}

TEST_F(CouplingImports, PressureTractionAndResultantOnTheTriangle) {
    enum class Kind { pressure, traction, resultant };
    struct Case {
        const char* what;
        Kind kind;
        std::vector<double> values;  // one per facet for pressures, three for the others
        std::array<Vec3, 3> force;   // on corners 0, 1, 2
        Vec3 moment;                 // sum of corner x force
        double max_pressure, max_traction;
        double tol;
    };
    const Case cases[] = {
        // p A n = p * 7 * (2, 3, 6) / 7 = p (2, 3, 6) for p = 1, 2, -1.
        // Moments: (1,1,1) x (2,3,6) = (3,-4,1); (7,-3,1) x (4,6,12) = (-42,-80,54);
        // (1,7,-2) x (-2,-3,-6) = (-48,10,11); sum (-87,-74,66). The normal is rounded.
        {"pressures", Kind::pressure, {1.0, 2.0, -1.0}, {{{2, 3, 6}, {4, 6, 12}, {-2, -3, -6}}}, {-87, -74, 66}, 2.0,
         0.0, 1e-13},
        // A t = 7 t for t = (1,2,2), (0,-3,4), (0.5,0,0), of lengths 3, 5, 0.5.
        // Moments: (1,1,1) x (7,14,14) = (0,-7,7); (7,-3,1) x (0,-21,28) = (-63,-196,-147);
        // (1,7,-2) x (3.5,0,0) = (0,-7,-24.5); sum (-63,-210,-164.5). All exact.
        {"tractions", Kind::traction, {1, 2, 2, 0, -3, 4, 0.5, 0, 0}, {{{7, 14, 14}, {0, -21, 28}, {3.5, 0, 0}}},
         {-63, -210, -164.5}, 0.0, 5.0, 0.0},
        // R as given. Moments: (1,1,1) x (2,-1,0.5) = (1.5,1.5,-3); (7,-3,1) x (0,4,-3) = (5,21,28);
        // (1,7,-2) x (-1,-1,-1) = (-9,3,6); sum (-2.5,25.5,31). All exact.
        {"resultants", Kind::resultant, {2, -1, 0.5, 0, 4, -3, -1, -1, -1}, {{{2, -1, 0.5}, {0, 4, -3}, {-1, -1, -1}}},
         {-2.5, 25.5, 31}, 0.0, 0.0, 0.0},
    };
    const std::vector<int32_t> ids = {0, 1, 2};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(Deck::triangle);
        int st = 0;
        switch (c.kind) {
            case Kind::pressure:
                st = sph_coupling_apply_facet_pressures(t_skin, 3, ids.data(), c.values.data(), by_area, 1);
                break;
            case Kind::traction:
                st = sph_coupling_apply_facet_tractions(t_skin, 3, ids.data(), c.values.data(), by_area, 1);
                break;
            case Kind::resultant:
                st = sph_coupling_apply_facet_resultants(t_skin, 3, ids.data(), c.values.data(), by_area, 1);
                break;
        }
        ASSERT_EQ(st, 0) << sph_error_message();
        Vec3 total = zero;
        for (std::size_t i = 0; i < 3; ++i) {
            expect_vec(buffered(i), c.force[i], c.tol, "corner " + std::to_string(i));
            total = add(total, c.force[i]);
        }
        expect_vec(buffered(3), zero, 0.0, "wall particle");
        double input_force[3], distributed_force[3], input_moment[3], distributed_moment[3];
        double force_error = -1.0, moment_error = -1.0;
        sph_coupling_get_load_balance(input_force, distributed_force, force_error, input_moment, distributed_moment,
                                      moment_error);
        const double scale = 100.0 * c.tol;  // moments are up to about 100 times the forces
        expect_vec({input_force[0], input_force[1], input_force[2]}, total, c.tol, "input force");
        expect_vec({distributed_force[0], distributed_force[1], distributed_force[2]}, total, c.tol,
                   "distributed force");
        expect_vec({input_moment[0], input_moment[1], input_moment[2]}, c.moment, scale, "input moment");
        expect_vec({distributed_moment[0], distributed_moment[1], distributed_moment[2]}, c.moment, scale,
                   "distributed moment");
        EXPECT_LE(force_error, c.tol);
        EXPECT_LE(moment_error, scale);
        EXPECT_EQ(sph_coupling.coupling_max_pressure, c.max_pressure);
        EXPECT_EQ(sph_coupling.coupling_max_traction, c.max_traction);
        EXPECT_EQ(sph_coupling.coupling_imported_force_count, 3);
        EXPECT_EQ(sph_coupling.coupling_epoch, 1);
        expect_counts({});
    }
}

TEST_F(CouplingImports, DistributionModesPutTheWholeForceOnTheProxy) {
    struct Case {
        const char* what;
        int32_t mode;
        std::function<void()> setup;
    };
    const Case cases[] = {
        {"uniform", uniform, {}},
        {"area", by_area, {}},
        {"mass", by_mass, {}},
        // One proxy carries the facet: its weight only has to be valid, never scales the force.
        {"area of a half", by_area, [] { set_area(1, 0.5); }},
        {"mass of a thousandth", by_mass, [] { set_mass(1, 1e-3); }},
    };
    const Vec3 r{2, -1, 0.5};
    // (7,-3,1) x (2,-1,0.5) = (-3*0.5 - 1*(-1), 1*2 - 7*0.5, 7*(-1) - (-3)*2) = (-0.5, -1.5, -1).
    const Vec3 moment{-0.5, -1.5, -1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(Deck::triangle);
        if (c.setup) c.setup();
        ASSERT_EQ(resultants(t_skin, {1}, {r}, c.mode), 0) << sph_error_message();
        expect_vec(buffered(1), r, 0.0, "proxy");
        expect_vec(sph_coupling.coupling_facet_distributed_force, r, 0.0, "distributed force");
        expect_vec(sph_coupling.coupling_facet_input_moment, moment, 0.0, "input moment");
        expect_vec(sph_coupling.coupling_facet_distributed_moment, moment, 0.0, "distributed moment");
    }
}

TEST_F(CouplingImports, DistributedForceIsTheChangeOfTheBuffer) {
    load(Deck::triangle);
    // A particle force on Skin's export index 1 (corner 1), then a resultant on facet 1 in
    // the model's current host step 0, which keeps the force and adds to it.
    const Vec3 earlier{5, 5, 5}, r{2, -1, 0.5};
    ASSERT_EQ(particle_forces(t_skin, {1}, {earlier}), 0) << sph_error_message();
    ASSERT_EQ(resultants(t_skin, {1}, {r}, uniform, 0), 0) << sph_error_message();
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 1);
    expect_vec(buffered(1), {7, 4, 5.5}, 0.0, "buffer");
    expect_vec(sph_coupling.coupling_facet_input_force, r, 0.0, "input force");
    expect_vec(sph_coupling.coupling_facet_distributed_force, r, 0.0, "distributed force");
    // (7,-3,1) x (2,-1,0.5) = (-0.5, -1.5, -1) for both.
    expect_vec(sph_coupling.coupling_facet_input_moment, {-0.5, -1.5, -1}, 0.0, "input moment");
    expect_vec(sph_coupling.coupling_facet_distributed_moment, {-0.5, -1.5, -1}, 0.0, "distributed moment");
    EXPECT_EQ(sph_coupling.coupling_facet_force_error, 0.0);
    EXPECT_EQ(sph_coupling.coupling_facet_moment_error, 0.0);
}

TEST_F(CouplingImports, FacetIdsAreParticleIndicesWhateverTheListOrder) {
    load(Deck::triangle);
    // Corner lists particles 2, 0; its ids are those particle indices, not list positions.
    ASSERT_EQ(resultants(t_corner, {2, 0}, {{1, 0, 0}, {0, 1, 0}}), 0) << sph_error_message();
    expect_vec(buffered(2), {1, 0, 0}, 0.0, "facet 2");
    expect_vec(buffered(0), {0, 1, 0}, 0.0, "facet 0");
    expect_vec(buffered(1), zero, 0.0, "particle 1, outside the region");
    // A list written by hand, with a new revision: the membership follows it.
    set_list(t_corner, {1});
    ASSERT_EQ(resultants(t_corner, {1}, {{0, 0, 1}}), 0) << sph_error_message();
    expect_vec(buffered(1), {0, 0, 1}, 0.0, "facet 1");
    EXPECT_EQ(resultants(t_corner, {2}, {{0, 0, 1}}), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "coupling facet id is invalid");
}

TEST_F(CouplingImports, DuplicateFacetIdsWithinOneCall) {
    struct Case {
        const char* what;
        std::vector<int32_t> ids;
        std::vector<double> p;
        bool fails;
        std::array<Vec3, 3> force;  // p (2, 3, 6) per loaded corner
    };
    const Vec3 pn{2, 3, 6};
    const Case cases[] = {
        // 0, 2, 0 fails at the third item; the loads on 0 and 2 stay.
        {"0 2 0", {0, 2, 0}, {1.0, 2.0, 4.0}, true, {pn, zero, scaled(2, pn)}},
        {"1 1", {1, 1}, {1.0, 1.0}, true, {zero, pn, zero}},
        // The repeat is found before its value is read.
        {"0 2 0 with a NaN third", {0, 2, 0}, {1.0, 2.0, nan}, true, {pn, zero, scaled(2, pn)}},
        {"2 0 1", {2, 0, 1}, {1.0, 2.0, 4.0}, false, {scaled(2, pn), scaled(4, pn), pn}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(Deck::triangle);
        const int st = pressures(t_skin, c.ids, c.p);
        if (c.fails) {
            EXPECT_EQ(st, sph_error_argument);
            EXPECT_EQ(sph_error_message(), "coupling facet id is duplicated");
        } else {
            EXPECT_EQ(st, 0) << sph_error_message();
        }
        Vec3 total = zero;
        for (std::size_t i = 0; i < 3; ++i) {
            expect_vec(buffered(i), c.force[i], 1e-14, "corner " + std::to_string(i));
            total = add(total, c.force[i]);
        }
        expect_vec(sph_coupling.coupling_facet_input_force, total, 1e-13, "load balance");
        expect_counts({.duplicate = c.fails ? 1 : 0});
    }
    // The same ids in a second call of the same host step: no repeat within a call, the
    // buffered force doubles and one repeated import is counted.
    load(Deck::triangle);
    ASSERT_EQ(pressures(t_skin, {0, 1}, {1.0, 1.0}, by_area, 2), 0) << sph_error_message();
    ASSERT_EQ(pressures(t_skin, {0, 1}, {1.0, 1.0}, by_area, 2), 0) << sph_error_message();
    expect_vec(buffered(0), scaled(2, pn), 1e-14, "corner 0");
    expect_vec(buffered(1), scaled(2, pn), 1e-14, "corner 1");
    EXPECT_EQ(sph_coupling.coupling_repeated_import_count, 1);
    expect_counts({});
}

TEST_F(CouplingImports, InactiveProxyIsSkippedAndUnbalanced) {
    load(Deck::triangle);
    set_status(1, sph_status_inactive);
    // Corner 0 takes 1 * (2, 3, 6); inactive corner 1 would take 2 * (2, 3, 6) = (4, 6, 12).
    ASSERT_EQ(pressures(t_skin, {0, 1}, {1.0, 2.0}), 0) << sph_error_message();
    expect_vec(buffered(0), {2, 3, 6}, 1e-14, "corner 0");
    expect_vec(buffered(1), zero, 0.0, "inactive corner 1");
    double in_f[3], out_f[3], in_m[3], out_m[3], force_error = 0.0, moment_error = 0.0;
    sph_coupling_get_load_balance(in_f, out_f, force_error, in_m, out_m, moment_error);
    expect_vec({in_f[0], in_f[1], in_f[2]}, {6, 9, 18}, 1e-13, "input force");
    expect_vec({out_f[0], out_f[1], out_f[2]}, {2, 3, 6}, 1e-13, "distributed force");
    // The force error is the undistributed |p| A = 2 * 7 = 14; the moment error the length
    // of (7,-3,1) x (4,6,12) = (-42,-80,54), sqrt(1764 + 6400 + 2916) = sqrt(11080).
    EXPECT_NEAR(force_error, 14.0, 1e-13);
    expect_vec({in_m[0], in_m[1], in_m[2]}, {-39, -84, 55}, 1e-12, "input moment");
    expect_vec({out_m[0], out_m[1], out_m[2]}, {3, -4, 1}, 1e-12, "distributed moment");
    EXPECT_NEAR(moment_error, std::sqrt(11080.0), 1e-12);
    EXPECT_EQ(sph_coupling.coupling_max_pressure, 2.0);
    EXPECT_EQ(sph_coupling.coupling_imported_force_count, 1);
    expect_counts({.skipped = 1});
}

TEST_F(CouplingImports, MaximaOfTheHostStep) {
    struct Call {
        bool traction;
        std::vector<int32_t> ids;
        std::vector<double> values;
        int32_t step;
    };
    struct Case {
        const char* what;
        std::vector<Call> calls;
        double max_pressure, max_traction;
    };
    const Case cases[] = {
        {"a pressure of -2 raises the maximum from 0 to 2", {{false, {0}, {-2.0}, 1}}, 2.0, 0.0},
        {"the largest magnitude of a call", {{false, {0, 1, 2}, {1.0, -3.0, 2.0}, 1}}, 3.0, 0.0},
        {"a later call of the same host step keeps the maximum", {{false, {0}, {5.0}, 1}, {false, {1}, {2.0}, 1}}, 5.0,
         0.0},
        {"a new host step starts it again", {{false, {0}, {5.0}, 1}, {false, {1}, {2.0}, 2}}, 2.0, 0.0},
        {"the longest traction", {{true, {0, 1}, {0, 0, -1, 0, 0.6, 0.8}, 1}}, 0.0, 1.0},
        // |(3e200, 4e200, 0)| = 5e200, past the square root of the largest double.
        {"a traction whose squares overflow", {{true, {2}, {3e200, 4e200, 0}, 1}}, 0.0, 5e200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(Deck::triangle);
        for (const Call& call : c.calls) {
            const int st = call.traction
                               ? sph_coupling_apply_facet_tractions(t_skin, count_of(call.ids), call.ids.data(),
                                                                    call.values.data(), uniform, call.step)
                               : sph_coupling_apply_facet_pressures(t_skin, count_of(call.ids), call.ids.data(),
                                                                    call.values.data(), uniform, call.step);
            ASSERT_EQ(st, 0) << sph_error_message();
        }
        EXPECT_EQ(sph_coupling.coupling_max_pressure, c.max_pressure);
        EXPECT_NEAR(sph_coupling.coupling_max_traction, c.max_traction, 1e-15 * c.max_traction);
    }
}

// ---- Validation: a flat plate under uniform pressure ----

// A plate of a x b in the plane through O spanned by the orthonormal u = (2, 2, 1) / 3 and
// w = (-2, 1, 2) / 3, meshed with nx x ny shell quadrilaterals whose node order turns from u
// to w, so every director is n = u x w = (1, -2, 2) / 3.
std::vector<std::string> plate_deck(int nx, int ny, double a, double b) {
    const Vec3 origin{1.0, -2.0, 0.5}, u{2.0 / 3, 2.0 / 3, 1.0 / 3}, w{-2.0 / 3, 1.0 / 3, 2.0 / 3};
    auto node = [nx](int i, int j) { return 1 + i + (nx + 1) * j; };
    std::vector<std::string> lines = {"** A flat shell plate under a coupling pressure.", "*NODE"};
    char text[160];
    for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i) {
            const double s = a * i / nx, t = b * j / ny;
            const Vec3 x = add(origin, add(scaled(s, u), scaled(t, w)));
            std::snprintf(text, sizeof text, "%d, %.17g, %.17g, %.17g", node(i, j), x[0], x[1], x[2]);
            lines.emplace_back(text);
        }
    lines.emplace_back("*ELEMENT, TYPE=S4");
    std::vector<int> elements;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int e = 1 + i + nx * j;
            elements.push_back(e);
            std::snprintf(text, sizeof text, "%d, %d, %d, %d, %d", e, node(i, j), node(i + 1, j), node(i + 1, j + 1),
                          node(i, j + 1));
            lines.emplace_back(text);
        }
    lines.emplace_back("*ELSET, ELSET=PLATE");
    std::string members;
    for (std::size_t k = 0; k < elements.size(); ++k) {
        members += (members.empty() ? "" : ", ") + std::to_string(elements[k]);
        if (k % 16 == 15 || k + 1 == elements.size()) {
            lines.push_back(members);
            members.clear();
        }
    }
    for (const char* l : {"*MATERIAL, NAME=SKIN, TYPE=SHELL", "*DENSITY", "7800.0", "*ELASTIC", "2.0e11, 0.3",
                          "*SHELL SECTION, ELSET=PLATE, MATERIAL=SKIN, THICKNESS=0.01, POINTS=3",
                          "*QUORREL, TIME CONTROL, DT=0.001, TIME=0.01, STEPS=10",
                          "*QUORREL, COUPLING REGION, NAME=Wet, ELSET=PLATE, EXPORT=FACET, IMPORT=FACET_LOAD, "
                          "LOAD_MODE=PRESSURE, DISTRIBUTION=AREA"})
        lines.emplace_back(l);
    return lines;
}

TEST_F(CouplingImports, PlateUnderUniformPressureMatchesTheClosedForm) {
    // Corner-lumped areas (a quarter of each quadrilateral per corner) integrate linear
    // functions exactly, so sum p A_i n = p a b n and sum x_i x p A_i n = centroid x p a b n.
    // With a = 3, b = 2, p = 2.5: F = 2.5 * 6 * (1, -2, 2) / 3 = (5, -10, 10); the centroid
    // O + 1.5 u + w = (4/3, -2/3, 5/3), and (4/3, -2/3, 5/3) x (5, -10, 10) =
    // (-20/3 + 50/3, 25/3 - 40/3, -40/3 + 10/3) = (10, -5, -10).
    struct Mesh {
        int nx, ny;
    };
    const double a = 3.0, b = 2.0, p = 2.5;
    const Vec3 force{5, -10, 10}, moment{10, -5, -10};
    const double tol = 1e-12 * norm(force);  // |F| = |M| = 15
    for (const Mesh m : {Mesh{1, 1}, Mesh{6, 4}, Mesh{9, 5}}) {
        SCOPED_TRACE(std::to_string(m.nx) + " x " + std::to_string(m.ny));
        ASSERT_EQ(sph_input_read(write_deck(plate_deck(m.nx, m.ny, a, b))), 0) << sph_error_message();
        ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
        const int32_t n = sph_database.npart;
        ASSERT_EQ(n, (m.nx + 1) * (m.ny + 1));
        std::vector<int32_t> ids(static_cast<std::size_t>(n));
        for (int32_t k = 0; k < n; ++k) ids[static_cast<std::size_t>(k)] = k;
        ASSERT_EQ(pressures(0, ids, std::vector<double>(ids.size(), p)), 0) << sph_error_message();
        const SphCouplingInterface& c = sph_coupling;
        expect_vec(c.coupling_facet_input_force, force, tol, "input force");
        expect_vec(c.coupling_facet_distributed_force, force, tol, "distributed force");
        expect_vec(c.coupling_facet_input_moment, moment, tol, "input moment");
        expect_vec(c.coupling_facet_distributed_moment, moment, tol, "distributed moment");
        EXPECT_LE(c.coupling_facet_force_error, tol);
        EXPECT_LE(c.coupling_facet_moment_error, tol);
        Vec3 buffered_total = zero;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) buffered_total = add(buffered_total, buffered(i));
        expect_vec(buffered_total, force, tol, "buffered forces");
    }
}

}  // namespace
