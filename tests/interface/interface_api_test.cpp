// The interface through its C functions and Fortran-callable entry points: lifecycle,
// guards, argument rejection, text passing, and a small water model end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "interface/sph_api.h"
#include "interface/sph_api_state.h"
#include "output/sph_output.h"
#include "particle/sph_pair_pass.h"
#include "quorrel.h"
#include "quorrel_interface_test.h"

namespace {

namespace fs = std::filesystem;
using namespace quorrel;

const std::string water_deck = std::string(QUORREL_TEST_DECKS) + "/app_water.inp";
const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/app_regions.inp";
const std::string gas_pair_deck = std::string(QUORREL_TEST_DECKS) + "/app_gas_pair.inp";
const std::string explosive_row_deck = std::string(QUORREL_TEST_DECKS) + "/app_explosive_row.inp";

using test::LastError;
using test::last_error;

class InterfaceApi : public test::InterfaceTest {
protected:
    fs::path temp_dir() {
        fs::path dir = fs::temp_directory_path() /
                       ("quorrel_interface_" + std::to_string(static_cast<long>(::getpid())) + "_" +
                        std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                        "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        return dir;
    }
};

// Every guarded call, as the console program and callers see it.
struct GuardCase {
    const char* name;
    bool needs_model;
    int (*call)();
};

int call_run() { return quorrel_run_explicit(); }
int call_build() { return quorrel_build_model(); }
int call_estimate() {
    double dt = -1.0;
    int st = quorrel_estimate_stable_dt(&dt);
    return dt == 0.0 ? st : 100;
}
int call_advance() { return quorrel_advance_explicit(1.0e-6); }
int call_time() {
    double t = -1.0;
    int s = -1;
    int st = quorrel_get_current_time(&t, &s);
    return (t == 0.0 && s == 0) ? st : 100;
}
int call_count() {
    int n = -1;
    int st = quorrel_get_particle_count(&n);
    return n == 0 ? st : 100;
}
int call_warnings() {
    int n = -1;
    int st = quorrel_get_input_warning_count(&n);
    return n == 0 ? st : 100;
}
int call_water_summary() {
    double m = -1, mom[3] = {-1, -1, -1}, p = -1, dmin = -1, dmax = -1;
    int st = quorrel_get_water_summary(&m, mom, &p, &dmin, &dmax);
    return (m == 0 && mom[0] == 0 && mom[1] == 0 && mom[2] == 0 && p == 0 && dmin == 0 && dmax == 0) ? st : 100;
}
int call_water_limits() {
    double a = -1, b = -1, c = -1;
    int st = quorrel_get_water_dt_limits(&a, &b, &c);
    return (a == 0 && b == 0 && c == 0) ? st : 100;
}
// The gas queries: every output starts non-zero and must come back zero.
bool all_zero(std::initializer_list<double> values) {
    for (double v : values)
        if (v != 0.0) return false;
    return true;
}
int call_gas_summary() {
    double vol = -1, c[3] = {-1, -1, -1}, mean = -1, pmax = -1;
    int st = quorrel_get_gas_summary(&vol, c, &mean, &pmax);
    return all_zero({vol, c[0], c[1], c[2], mean, pmax}) ? st : 100;
}
int call_gas_bubble() {
    double r = -1, rate = -1, c[3] = {-1, -1, -1};
    int st = quorrel_get_gas_bubble_metrics(&r, &rate, c);
    return all_zero({r, rate, c[0], c[1], c[2]}) ? st : 100;
}
int call_gas_limits() {
    double cfl = -1, accel = -1, limit = -1;
    int st = quorrel_get_gas_dt_limits(&cfl, &accel, &limit);
    return all_zero({cfl, accel, limit}) ? st : 100;
}
int call_gas_extended() {
    double m = -1, mom[3] = {-1, -1, -1}, dens[2] = {-1, -1}, lim[3] = {-1, -1, -1};
    int st = quorrel_get_gas_extended_summary(&m, mom, dens, lim);
    return all_zero({m, mom[0], mom[1], mom[2], dens[0], dens[1], lim[0], lim[1], lim[2]}) ? st : 100;
}
int call_gas_sources() {
    double m = -1, mom[3] = {-1, -1, -1}, e = -1;
    int st = quorrel_get_gas_source_summary(&m, mom, &e);
    return all_zero({m, mom[0], mom[1], mom[2], e}) ? st : 100;
}
int call_read() { return quorrel_read_inp(water_deck.c_str()); }
int call_output_dir() { return quorrel_set_output_directory("out"); }
int call_output_interval() { return quorrel_set_output_interval(2); }
int call_write_output() { return quorrel_write_output(1, 0.0); }
int call_write_csv() { return quorrel_write_csv("x.csv"); }
int call_write_vtu() { return quorrel_write_vtu("x.vtu"); }
int call_neighbors() { return sph_rebuild_neighbors(); }
// The explosive queries: every output starts non-zero and must come back zero.
int call_explosive_summary() {
    int n = -1, reacted = -1;
    double lambda[3] = {-1, -1, -1}, released[5] = {-1, -1, -1, -1, -1}, detonation[2] = {-1, -1};
    int st = quorrel_get_explosive_summary(&n, &reacted, lambda, released, detonation);
    const bool zero = n == 0 && reacted == 0 &&
                      all_zero({lambda[0], lambda[1], lambda[2], released[0], released[1], released[2],
                                released[3], released[4], detonation[0], detonation[1]});
    return zero ? st : 100;
}
int call_explosive_balance() {
    double mass[4] = {-1, -1, -1, -1}, energy[2] = {-1, -1}, momentum[3] = {-1, -1, -1};
    int st = quorrel_get_explosive_release_balance(mass, energy, momentum);
    return all_zero({mass[0], mass[1], mass[2], mass[3], energy[0], energy[1], momentum[0], momentum[1],
                     momentum[2]})
               ? st
               : 100;
}
int call_ignition() { return quorrel_set_ignition_point(0.0, 0.0, 0.0, 0.0); }

const GuardCase guard_cases[] = {
    {"run", true, call_run},
    {"estimate (dtcrit zeroed)", true, call_estimate},
    {"advance", true, call_advance},
    {"water summary (all zeroed)", true, call_water_summary},
    {"water dt limits (all zeroed)", true, call_water_limits},
    {"rebuild neighbours", true, call_neighbors},
    {"gas summary (all zeroed)", true, call_gas_summary},
    {"gas bubble metrics (all zeroed)", true, call_gas_bubble},
    {"gas dt limits (all zeroed)", true, call_gas_limits},
    {"gas extended summary (all zeroed)", true, call_gas_extended},
    {"gas source summary (all zeroed)", true, call_gas_sources},
    {"explosive summary (all zeroed)", true, call_explosive_summary},
    {"explosive release balance (all zeroed)", true, call_explosive_balance},
    {"build", false, call_build},
    {"read", false, call_read},
    {"time (zeroed)", false, call_time},
    {"particle count (zeroed)", false, call_count},
    {"warning count (zeroed)", false, call_warnings},
    {"output directory", false, call_output_dir},
    {"output interval", false, call_output_interval},
    {"write output", false, call_write_output},
    {"write csv", false, call_write_csv},
    {"write vtu", false, call_write_vtu},
    {"ignition point", false, call_ignition},
};

TEST_F(InterfaceApi, EveryGuardedCallFailsOnAClosedInterface) {
    for (const GuardCase& c : guard_cases) {
        sph_error_clear();
        EXPECT_EQ(c.call(), 2) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 2) << c.name;
        EXPECT_EQ(e.message, "Quorrel API is not initialized") << c.name;
    }
}

TEST_F(InterfaceApi, ModelCallsFailUntilBuilt) {
    ASSERT_EQ(quorrel_initialize(), 0);
    for (const GuardCase& c : guard_cases) {
        if (!c.needs_model) continue;
        sph_error_clear();
        EXPECT_EQ(c.call(), 2) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 2) << c.name;
        EXPECT_EQ(e.message, "Quorrel model is not built") << c.name;
    }
    // Calls that need only an initialised interface work on the empty model.
    int n = -1;
    EXPECT_EQ(quorrel_get_particle_count(&n), 0);
    EXPECT_EQ(n, 0);
}

TEST_F(InterfaceApi, VersionAndFinaliseWorkInEveryState) {
    int major = -1, minor = -1, patch = -1;
    EXPECT_EQ(quorrel_get_version(&major, &minor, &patch), 0);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 8);
    EXPECT_EQ(patch, 3);
    EXPECT_EQ(quorrel_finalize(), 0);
    EXPECT_EQ(quorrel_finalize(), 0);

    ASSERT_EQ(quorrel_initialize(), 0);
    EXPECT_EQ(quorrel_run_explicit(), 2);
    EXPECT_EQ(quorrel_finalize(), 0);
    const LastError e = last_error();
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(e.message, "OK");
    EXPECT_FALSE(sph_api_state.sph_api_initialized);
    EXPECT_FALSE(sph_api_state.sph_api_model_built);
}

TEST_F(InterfaceApi, BuildWithoutADeckFailsWithTheReadersMessage) {
    ASSERT_EQ(quorrel_initialize(), 0);
    EXPECT_EQ(quorrel_build_model(), 4);
    const LastError e = last_error();
    EXPECT_EQ(e.code, 4);
    EXPECT_EQ(e.message, "input is missing *NODE particle data");
    EXPECT_FALSE(sph_api_state.sph_api_model_built);
}

TEST_F(InterfaceApi, ReadingAgainUnbuildsTheModelEvenWhenTheFileIsMissing) {
    build(water_deck);
    EXPECT_TRUE(sph_api_state.sph_api_model_built);
    const std::string missing = (temp_dir() / "absent.inp").string();
    EXPECT_EQ(quorrel_read_inp(missing.c_str()), 3);
    EXPECT_EQ(last_error().message, "failed to open input file");
    EXPECT_FALSE(sph_api_state.sph_api_model_built);
    double dt = -1.0;
    EXPECT_EQ(quorrel_estimate_stable_dt(&dt), 2);
    EXPECT_EQ(dt, 0.0);
    EXPECT_EQ(last_error().message, "Quorrel model is not built");
    fs::remove_all(fs::path(missing).parent_path());
}

// A restart of a model that is not built would read back as a built model without its
// sections and phase state (straight after initialise, as one of 0 particles), so the
// write is refused before anything reaches the disk: no file and no temporary beside it.
// Closed, the first guard answers; built, the same call writes the file.
TEST_F(InterfaceApi, RestartOfAModelNotBuiltIsRefusedAndWritesNothing) {
    enum class State { closed, initialised, deck_read };
    const struct {
        const char* name;
        State state;
        const char* message;
    } cases[] = {
        {"closed", State::closed, "Quorrel API is not initialized"},
        {"initialised only", State::initialised, "Quorrel model is not built"},
        {"deck read, not built", State::deck_read, "Quorrel model is not built"},
    };
    const fs::path dir = temp_dir();
    const std::string file = (dir / "model.rst").string();
    for (const auto& c : cases) {
        ASSERT_EQ(quorrel_finalize(), 0) << c.name;
        if (c.state != State::closed) {
            ASSERT_EQ(quorrel_initialize(), 0) << c.name;
        }
        if (c.state == State::deck_read) {
            ASSERT_EQ(quorrel_read_inp(water_deck.c_str()), 0) << c.name << ": " << last_error().message;
        }
        EXPECT_EQ(quorrel_write_restart(file.c_str()), 2) << c.name;
        EXPECT_EQ(last_error(), (LastError{2, c.message})) << c.name;
        EXPECT_TRUE(fs::is_empty(dir)) << c.name;
    }
    build(water_deck);
    EXPECT_EQ(quorrel_write_restart(file.c_str()), 0) << last_error().message;
    EXPECT_TRUE(fs::exists(file));
    fs::remove_all(dir);
}

// Four water particles out of reach of each other under a body force of -8 in z,
// four steps of 2^-10: the leapfrog is exact for a constant acceleration.
TEST_F(InterfaceApi, FreeFallingWaterRunsToTheEndTime) {
    build(water_deck);
    ASSERT_EQ(quorrel_run_explicit(), 0) << last_error().message;
    double t = 0.0;
    int step = 0;
    ASSERT_EQ(quorrel_get_current_time(&t, &step), 0);
    EXPECT_EQ(t, 0.00390625);
    EXPECT_EQ(step, 4);

    double cfl = 0, accel = 0, visc = 0;
    ASSERT_EQ(quorrel_get_water_dt_limits(&cfl, &accel, &visc), 0);
    EXPECT_DOUBLE_EQ(cfl, 0.1 / (10.0 + 0.03125));  // h / (c0 + |v|)
    EXPECT_DOUBLE_EQ(accel, std::sqrt(0.1 / 8.0));  // sqrt(h / |a|)
    EXPECT_DOUBLE_EQ(visc, 0.1 / (10.0 * 1.1));     // h / (c0 (1 + alpha + beta))

    int max_neighbors = -1;
    double average = -1.0;
    ASSERT_EQ(sph_get_neighbor_stats(max_neighbors, average), 0);
    EXPECT_LE(max_neighbors, 1);  // nothing but possibly the particle itself

    // A second run call has reached the end time and takes no step.
    ASSERT_EQ(quorrel_run_explicit(), 0);
    ASSERT_EQ(quorrel_get_current_time(&t, &step), 0);
    EXPECT_EQ(step, 4);
    // One explicit step of its own adds to time and step.
    ASSERT_EQ(quorrel_advance_explicit(0.0009765625), 0);
    ASSERT_EQ(quorrel_get_current_time(&t, &step), 0);
    EXPECT_EQ(step, 5);
    EXPECT_EQ(t, 5 * 0.0009765625);
}

TEST_F(InterfaceApi, RejectedArgumentsReturnMinusOneAndLeaveTheErrorState) {
    ASSERT_EQ(quorrel_initialize(), 0);
    ASSERT_EQ(quorrel_run_explicit(), 2);  // a known message to keep
    const std::string long_path(1025, 'a');
    int i = 0;
    double d = 0.0, v3[3];
    char buf[8];
    const struct {
        const char* name;
        int status;
    } cases[] = {
        {"read null", quorrel_read_inp(nullptr)},
        {"read empty", quorrel_read_inp("")},
        {"read 1025 bytes", quorrel_read_inp(long_path.c_str())},
        {"directory null", quorrel_set_output_directory(nullptr)},
        {"csv empty", quorrel_write_csv("")},
        {"vtu 1025 bytes", quorrel_write_vtu(long_path.c_str())},
        {"interval 0", quorrel_set_output_interval(0)},
        {"interval -3", quorrel_set_output_interval(-3)},
        {"advance NaN", quorrel_advance_explicit(std::numeric_limits<double>::quiet_NaN())},
        {"advance +inf", quorrel_advance_explicit(std::numeric_limits<double>::infinity())},
        {"advance -inf", quorrel_advance_explicit(-std::numeric_limits<double>::infinity())},
        {"version null", quorrel_get_version(&i, nullptr, &i)},
        {"last error null code", quorrel_get_last_error(nullptr, buf, 8)},
        {"last error null buffer", quorrel_get_last_error(&i, nullptr, 8)},
        {"last error capacity 0", quorrel_get_last_error(&i, buf, 0)},
        {"estimate null", quorrel_estimate_stable_dt(nullptr)},
        {"time null step", quorrel_get_current_time(&d, nullptr)},
        {"count null", quorrel_get_particle_count(nullptr)},
        {"warnings null", quorrel_get_input_warning_count(nullptr)},
        {"water summary null", quorrel_get_water_summary(&d, v3, nullptr, &d, &d)},
        {"water limits null", quorrel_get_water_dt_limits(&d, nullptr, &d)},
        {"region count null", quorrel_coupling_get_region_count(nullptr)},
        {"region info index 0", quorrel_coupling_get_region_info(0, buf, 8, &i, &i, &i, &i, &i, &i)},
        {"region info capacity 1", quorrel_coupling_get_region_info(1, buf, 1, &i, &i, &i, &i, &i, &i)},
        {"region info null", quorrel_coupling_get_region_info(1, buf, 8, &i, &i, nullptr, &i, &i, &i)},
        {"region modes index 0", quorrel_coupling_get_region_modes(0, &i, &i, &i)},
        {"region modes null", quorrel_coupling_get_region_modes(1, &i, nullptr, &i)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, -1) << c.name;
    const LastError e = last_error();
    EXPECT_EQ(e.code, 2);
    EXPECT_EQ(e.message, "Quorrel model is not built");
}

TEST_F(InterfaceApi, ParticleStateChecksCapacityAndPointers) {
    build(water_deck);
    ASSERT_EQ(quorrel_run_explicit(), 0);
    std::vector<int> ids(4), ph(4), st(4), mat(4), sec(4);
    std::vector<double> x(12), v(12), a(12), rho(4), p(4), e(4), t(4), h(4);
    int n = -1;
    EXPECT_EQ(quorrel_get_particle_state(0, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                         v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), h.data(), &n),
              -1);
    EXPECT_EQ(quorrel_get_particle_state(4, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                         v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), nullptr, &n),
              -1);
    EXPECT_EQ(quorrel_get_particle_state(3, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                         v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), h.data(), &n),
              1);
    EXPECT_EQ(n, 4);
    ASSERT_EQ(quorrel_get_particle_state(4, ids.data(), ph.data(), st.data(), mat.data(), sec.data(), x.data(),
                                         v.data(), a.data(), rho.data(), p.data(), e.data(), t.data(), h.data(), &n),
              0);
    const double x0[4] = {0, 1, 0, 1}, y0[4] = {0, 0, 1, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ids[i], i + 1);
        EXPECT_EQ(ph[i], 1);
        EXPECT_EQ(x[3 * i], x0[i]);
        EXPECT_EQ(x[3 * i + 1], y0[i]);
        EXPECT_EQ(x[3 * i + 2], -6.103515625e-05);  // -8 t^2 / 2 at t = 2^-8
        EXPECT_EQ(v[3 * i + 2], -0.03125);          // -8 t
        EXPECT_EQ(rho[i], 1000.0);
        EXPECT_EQ(h[i], 0.1);
    }
}

TEST_F(InterfaceApi, LastErrorIsCutToTheCallersBuffer) {
    ASSERT_EQ(quorrel_run_explicit(), 2);
    int code = -1;
    char one[1] = {'x'};
    EXPECT_EQ(quorrel_get_last_error(&code, one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    char ten[10];
    std::fill(std::begin(ten), std::end(ten), 'x');
    EXPECT_EQ(quorrel_get_last_error(&code, ten, 10), 0);
    EXPECT_EQ(code, 2);
    EXPECT_STREQ(ten, "Quorrel A");
}

TEST_F(InterfaceApi, LongestPathIsPassedWhole) {
    // A 1024-byte path to a real file: repeated slashes pad the directory part.
    const fs::path dir = temp_dir();
    const std::string name = "p.csv";
    const std::string base = dir.string();
    ASSERT_LT(base.size() + name.size(), 1000u);
    const std::string path = base + std::string(1024 - base.size() - name.size(), '/') + name;
    ASSERT_EQ(path.size(), 1024u);

    build(water_deck);
    ASSERT_EQ(quorrel_write_csv(path.c_str()), 0) << last_error().message;
    EXPECT_TRUE(fs::exists(dir / name));
    EXPECT_EQ(quorrel_write_csv((path + "x").c_str()), -1);
    fs::remove_all(dir);
}

TEST_F(InterfaceApi, TextCodesUseTheirLowByteAndAreCutAt1024) {
    ASSERT_EQ(quorrel_initialize(), 0);
    // 'o' + 256 and 'u' + 512 still name "out".
    const int32_t codes[3] = {'o' + 256, 'u' + 512, 't'};
    int32_t count = 3, ierr = -1;
    sphft_set_output_directory_chars_(codes, &count, &ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(sph_control.output_directory, "out");
    EXPECT_TRUE(sph_control.output_enabled);

    // Codes past the 1024th are dropped: a deck path padded to 1024 with slashes and
    // followed by junk still reads the deck.
    const std::string deck_dir = std::string(QUORREL_TEST_DECKS);
    const std::string file = "app_water.inp";
    const std::string padded = deck_dir + std::string(1024 - deck_dir.size() - file.size(), '/') + file + "junk";
    std::vector<int32_t> deck_codes(padded.begin(), padded.end());
    int32_t deck_count = static_cast<int32_t>(deck_codes.size());
    sphft_read_inp_chars_(deck_codes.data(), &deck_count, &ierr);
    EXPECT_EQ(ierr, 0) << last_error().message;
    int32_t particles = -1;
    sphft_get_particle_count_(&particles, &ierr);
    EXPECT_EQ(particles, 4);

    // A negative count passes an empty text, which the directory setter refuses.
    count = -5;
    sphft_set_output_directory_chars_(codes, &count, &ierr);
    EXPECT_EQ(ierr, 1);
    EXPECT_EQ(sph_control.output_directory, "out");
}

TEST_F(InterfaceApi, FortranLastErrorWritesCodesAndTheirLength) {
    ASSERT_EQ(quorrel_run_explicit(), 2);
    int32_t code = -1, actual = -1, ierr = -1;
    int32_t chars[8];
    std::fill(std::begin(chars), std::end(chars), 77);
    int32_t capacity = 0;
    sphft_get_last_error_chars_(&code, chars, &capacity, &actual, &ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(actual, -1);  // nothing written without room
    EXPECT_EQ(chars[0], 77);

    capacity = 5;
    sphft_get_last_error_chars_(&code, chars, &capacity, &actual, &ierr);
    EXPECT_EQ(actual, 4);
    const int32_t want[5] = {'Q', 'u', 'o', 'r', 0};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(chars[k], want[k]) << k;
    EXPECT_EQ(chars[5], 77);
}

TEST_F(InterfaceApi, RegionQueriesReportTheDecksRegions) {
    build(regions_deck);
    int count = -1;
    ASSERT_EQ(quorrel_coupling_get_region_count(&count), 0);
    ASSERT_EQ(count, 2);

    struct Want {
        const char* name;
        int type, export_mode, import_mode, enabled, particles, facets, load, distribution, contact;
    };
    // Side: contact region exporting both, no shell particles so no facets.
    // Core: continuum regions are recorded disabled and report no counts.
    const Want want[2] = {{"Side", 1, 3, 1, 1, 4, 0, 1, 3, 1}, {"Core", 2, 1, 1, 0, 0, 0, 1, 1, 0}};
    for (int r = 0; r < 2; ++r) {
        char name[128];
        int type = -1, ex = -1, im = -1, en = -1, pc = -1, fc = -1, lm = -1, dm = -1, cm = -1;
        ASSERT_EQ(quorrel_coupling_get_region_info(r + 1, name, 128, &type, &ex, &im, &en, &pc, &fc), 0);
        ASSERT_EQ(quorrel_coupling_get_region_modes(r + 1, &lm, &dm, &cm), 0);
        EXPECT_STREQ(name, want[r].name);
        EXPECT_EQ(type, want[r].type) << r;
        EXPECT_EQ(ex, want[r].export_mode) << r;
        EXPECT_EQ(im, want[r].import_mode) << r;
        EXPECT_EQ(en, want[r].enabled) << r;
        EXPECT_EQ(pc, want[r].particles) << r;
        EXPECT_EQ(fc, want[r].facets) << r;
        EXPECT_EQ(lm, want[r].load) << r;
        EXPECT_EQ(dm, want[r].distribution) << r;
        EXPECT_EQ(cm, want[r].contact) << r;
    }

    // A short buffer gets the start of the name and a terminating zero.
    char small[3];
    int i = 0;
    ASSERT_EQ(quorrel_coupling_get_region_info(1, small, 3, &i, &i, &i, &i, &i, &i), 0);
    EXPECT_STREQ(small, "Si");

    // A region past the table fails and leaves an empty name, never stale text.
    char stale[16] = "stale text";
    EXPECT_EQ(quorrel_coupling_get_region_info(3, stale, 16, &i, &i, &i, &i, &i, &i), 1);
    EXPECT_STREQ(stale, "");
    EXPECT_EQ(last_error().message, "coupling region index is invalid");
    int lm = -1, dm = -1, cm = -1;
    EXPECT_EQ(quorrel_coupling_get_region_modes(3, &lm, &dm, &cm), 1);
    EXPECT_EQ(lm + dm + cm, 0);
}

// A region that exports facets answers with the number of shell particles among its
// members. Having none is an answer (0 facets), not a failure: the call succeeds and
// the error state keeps whatever it held before.
TEST_F(InterfaceApi, RegionWithoutShellsReportsNoFacetsAndLeavesTheErrorState) {
    const struct {
        const char* name;
        int export_mode;
        int shells;  // particles 1 .. shells of the four become shell particles
        int particles, facets;
    } cases[] = {
        {"facet export, no shells", sph_coupling_export_facet, 0, 0, 0},
        {"both, no shells", sph_coupling_export_both, 0, 4, 0},
        {"facet export, two shells", sph_coupling_export_facet, 2, 0, 2},
        {"both, three shells", sph_coupling_export_both, 3, 4, 3},
        {"particle export counts no facets", sph_coupling_export_particle, 2, 4, 0},
    };
    for (const auto& c : cases) {
        build(water_deck);
        ASSERT_EQ(sph_db_add_coupling_region("Skin", "FLUID", sph_region_coupling_contact, c.export_mode,
                                             sph_coupling_import_force, sph_coupling_load_particle_force,
                                             sph_coupling_distribution_uniform, sph_coupling_contact_state_none,
                                             true, "", 0, "", ""),
                  0)
            << c.name;
        ASSERT_EQ(sph_db_build_coupling_regions(), 0) << c.name;
        for (int p = 0; p < c.shells; ++p) sph_database.particle_phase[static_cast<std::size_t>(p)] = sph_phase_shell;

        // An earlier failure whose record must survive the query.
        int i = 0;
        ASSERT_EQ(quorrel_coupling_get_region_modes(7, &i, &i, &i), 1) << c.name;
        char name[16];
        int type = -1, ex = -1, im = -1, en = -1, pc = -1, fc = -1;
        EXPECT_EQ(quorrel_coupling_get_region_info(1, name, 16, &type, &ex, &im, &en, &pc, &fc), 0) << c.name;
        EXPECT_STREQ(name, "Skin") << c.name;
        EXPECT_EQ(ex, c.export_mode) << c.name;
        EXPECT_EQ(en, 1) << c.name;
        EXPECT_EQ(pc, c.particles) << c.name;
        EXPECT_EQ(fc, c.facets) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 1) << c.name;
        EXPECT_EQ(e.message, "coupling region index is invalid") << c.name;
        (void)quorrel_finalize();
    }
}

}  // namespace

namespace {

TEST_F(InterfaceApi, FinaliseLeavesNoBufferBehind) {
    // A step sizes the pair passes' pack and the neighbour lists, a CSV the writer's
    // buffer; a finalised interface holds none of them, so a long-lived host that
    // finalises between models gets its memory back.
    build(water_deck);
    ASSERT_EQ(quorrel_advance_explicit(1.0e-6), 0) << last_error().message;
    const fs::path dir = temp_dir();
    ASSERT_EQ(quorrel_write_csv((dir / "p.csv").string().c_str()), 0) << last_error().message;
    ASSERT_GT(sph_pair_pass.pair_p_over_rho2.capacity(), 0u);
    ASSERT_GT(sph_output_csv.region_of_particle.capacity(), 0u);
    ASSERT_GT(sph_database.neighbor_offset.capacity(), 0u);

    ASSERT_EQ(quorrel_finalize(), 0);
    EXPECT_EQ(sph_pair_pass.pair_key.capacity(), 0u);
    EXPECT_EQ(sph_pair_pass.pair_p_over_rho2.capacity(), 0u);
    EXPECT_EQ(sph_pair_pass.pair_records.capacity(), 0u);
    EXPECT_EQ(sph_output_csv.region_of_particle.capacity(), 0u);
    EXPECT_EQ(sph_database.neighbor_list.capacity(), 0u);
    EXPECT_EQ(sph_database.neighbor_offset.capacity(), 0u);
    EXPECT_EQ(sph_database.x.capacity(), 0u);
    fs::remove_all(dir);
}

}  // namespace

namespace {

// ---- Gas queries over tests/decks/app_gas_pair.inp ----
//
// Particle 1 at (0, 2, 3): AIR, rho 1, e 2, gamma 1.5, so p = 0.5 * 1 * 2 = 1.
// Particle 2 at (1, 2, 3): HOT, rho 2, e 2, so p = 0.5 * 2 * 2 = 2.
// m = 1, V = 0.5, h = 1 for both; body force b = (1, -2, 2); safety 0.5; the run is one
// step of 2^-4 (the end time).
//
// Wendland C2 at q = 1, h = 1: sigma = 21 / (16 pi), dW/dq = -5 q (1 - q/2)^3 sigma
// = -105 / (128 pi) = -0.26111358; grad W = dW/dq / h * r / |r| with r = x1 - x2 = (-1, 0, 0)
// gives (0.26111358, 0, 0) for particle 1 and the opposite for particle 2.
// a_p = -m (p1/rho1^2 + p2/rho2^2) grad W = -1.5 grad W: a_p1 = (-0.39167037, 0, 0),
// a_p2 = (0.39167037, 0, 0); with b: a1 = (0.60832963, -2, 2), a2 = (1.39167037, -2, 2),
// |a1| = 2.89310645, |a2| = 3.15226052.
// Density rate m (v1 - v2) . grad W = 0 at rest: rho, e and p are unchanged by the step.
// From rest: v = dt a, x = x0 + dt^2 a / 2 = x0 + a / 512.
// Sound speeds sqrt((|p| + 0 + 1) / rho): sqrt(2) = 1.41421356 and sqrt(1.5) = 1.22474487.
// Before the step a = v = 0: dt_cfl = min(1/sqrt(2), 1/sqrt(1.5)) = 0.70710678 = dt_accel
// = the limit; stable step 0.5 * 0.70710678 = 0.35355339 (DT = 1 does not cap it).
// After: dt_cfl = min(1 / (1.41421356 + |v1|), 1 / (1.22474487 + |v2|)) with |v1| = 0.18081915,
// |v2| = 0.19701628: min(0.62694639, 0.70335302) = 0.62694639; dt_accel
// = min(1/sqrt(2.89310645), 1/sqrt(3.15226052)) = 0.56323411, below dt_cfl: the limit.
struct GasPair {
    double pi = 3.141592653589793;
    double ap = 1.5 * 105.0 / (128.0 * pi);
    double dt = 0.0625;
    double a[2][3] = {{1.0 - ap, -2.0, 2.0}, {1.0 + ap, -2.0, 2.0}};
    double amag[2] = {std::sqrt((1.0 - ap) * (1.0 - ap) + 8.0), std::sqrt((1.0 + ap) * (1.0 + ap) + 8.0)};
    double x0[2][3] = {{0.0, 2.0, 3.0}, {1.0, 2.0, 3.0}};
    double c[2] = {std::sqrt(2.0), std::sqrt(1.5)};
    double cfl_after = std::min(1.0 / (c[0] + dt * amag[0]), 1.0 / (c[1] + dt * amag[1]));
    double accel_after = std::min(1.0 / std::sqrt(amag[0]), 1.0 / std::sqrt(amag[1]));
    double radius = std::cbrt(3.0 * 1.0 / (4.0 * pi));
};

// Relative closeness for values through pi and roots (a few roundings apart).
void expect_close(double got, double want, const char* what) {
    EXPECT_NEAR(got, want, 1e-13 * std::fabs(want)) << what;
}

TEST_F(InterfaceApi, GasPairQueriesGiveTheHandWorkedValues) {
    const GasPair hand;
    build(gas_pair_deck);

    // Before any step.
    double cfl = -1, accel = -1, limit = -1;
    ASSERT_EQ(quorrel_get_gas_dt_limits(&cfl, &accel, &limit), 0) << last_error().message;
    expect_close(cfl, 1.0 / std::sqrt(2.0), "dt_cfl before");
    expect_close(accel, 1.0 / std::sqrt(2.0), "dt_accel before (no acceleration yet)");
    expect_close(limit, 1.0 / std::sqrt(2.0), "limit before");
    double dtcrit = -1;
    ASSERT_EQ(quorrel_estimate_stable_dt(&dtcrit), 0);
    expect_close(dtcrit, 0.5 / std::sqrt(2.0), "stable step before");

    ASSERT_EQ(quorrel_run_explicit(), 0) << last_error().message;
    double t = -1;
    int step = -1;
    ASSERT_EQ(quorrel_get_current_time(&t, &step), 0);
    EXPECT_EQ(t, 0.0625);
    EXPECT_EQ(step, 1);

    // The particles after the step.
    int ids[2], ph[2], st[2], mat[2], sec[2], n = 0;
    double x[6], v[6], a[6], rho[2], p[2], e[2], temp[2], h[2];
    ASSERT_EQ(quorrel_get_particle_state(2, ids, ph, st, mat, sec, x, v, a, rho, p, e, temp, h, &n), 0);
    ASSERT_EQ(n, 2);
    const double want_rho[2] = {1.0, 2.0}, want_p[2] = {1.0, 2.0};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ph[i], 2) << i;
        EXPECT_EQ(rho[i], want_rho[i]) << i;
        EXPECT_EQ(p[i], want_p[i]) << i;
        EXPECT_EQ(e[i], 2.0) << i;
        for (int k = 0; k < 3; ++k) {
            expect_close(a[3 * i + k], hand.a[i][k], "acceleration");
            expect_close(v[3 * i + k], hand.dt * hand.a[i][k], "velocity");
            expect_close(x[3 * i + k], hand.x0[i][k] + hand.dt * hand.dt * 0.5 * hand.a[i][k], "position");
        }
    }

    double vol = -1, center[3] = {-1, -1, -1}, mean = -1, pmax = -1;
    ASSERT_EQ(quorrel_get_gas_summary(&vol, center, &mean, &pmax), 0);
    EXPECT_EQ(vol, 1.0);
    expect_close(center[0], 0.5 + 1.0 / 512.0, "centre x");  // the pressure parts cancel
    EXPECT_EQ(center[1], 2.0 - 1.0 / 256.0);
    EXPECT_EQ(center[2], 3.0 + 1.0 / 256.0);
    EXPECT_EQ(mean, 1.5);  // (0.5 * 1 + 0.5 * 2) / 1
    EXPECT_EQ(pmax, 2.0);

    double radius = -1, rate = -1, bubble_center[3] = {-1, -1, -1};
    ASSERT_EQ(quorrel_get_gas_bubble_metrics(&radius, &rate, bubble_center), 0);
    expect_close(radius, hand.radius, "equivalent radius");
    EXPECT_EQ(rate, 0.0);  // the summary's refresh came right after the step's
    for (int k = 0; k < 3; ++k) EXPECT_EQ(bubble_center[k], center[k]) << k;

    ASSERT_EQ(quorrel_get_gas_dt_limits(&cfl, &accel, &limit), 0);
    expect_close(cfl, hand.cfl_after, "dt_cfl after");
    expect_close(accel, hand.accel_after, "dt_accel after");
    expect_close(limit, hand.accel_after, "limit after: the smaller acceleration limit");

    double mass = -1, momentum[3] = {-1, -1, -1}, density[2] = {-1, -1}, limits[3] = {-1, -1, -1};
    ASSERT_EQ(quorrel_get_gas_extended_summary(&mass, momentum, density, limits), 0);
    EXPECT_EQ(mass, 2.0);
    expect_close(momentum[0], 0.125, "momentum x");  // dt (a1 + a2) = dt (2, -4, 4)
    EXPECT_EQ(momentum[1], -0.25);
    EXPECT_EQ(momentum[2], 0.25);
    EXPECT_EQ(density[0], 1.0);
    EXPECT_EQ(density[1], 2.0);
    expect_close(limits[0], hand.cfl_after, "extended dt_cfl");
    expect_close(limits[1], hand.accel_after, "extended dt_accel");
    expect_close(limits[2], hand.accel_after, "extended limit");

    double ms = -1, msrc[3] = {-1, -1, -1}, es = -1;
    ASSERT_EQ(quorrel_get_gas_source_summary(&ms, msrc, &es), 0);
    EXPECT_TRUE(all_zero({ms, msrc[0], msrc[1], msrc[2], es}));

    ASSERT_EQ(quorrel_estimate_stable_dt(&dtcrit), 0);
    expect_close(dtcrit, 0.5 * hand.accel_after, "stable step after");
}

// The summary and the extended summary refresh the diagnostics, and each refresh moves
// the bubble history; the bubble metrics only read. Particle 2's volume is raised from
// 0.5 to 1.5 between refreshes: the volume goes from 1 to 2, so R goes from
// (3 / (4 pi))^(1/3) = 0.62035049 to (6 / (4 pi))^(1/3) = 0.78159264, a rate of 0.16124215,
// and the centre x from 0.5 to (0.5 * 0 + 1.5 * 1) / 2 = 0.75.
TEST_F(InterfaceApi, GasRadiusRateIsTheChangeSinceThePreviousRefresh) {
    const double pi = 3.141592653589793;
    const double r_before = std::cbrt(3.0 / (4.0 * pi)), r_after = std::cbrt(6.0 / (4.0 * pi));
    build(gas_pair_deck);
    double radius = -1, rate = -1, center[3] = {-1, -1, -1};
    ASSERT_EQ(quorrel_get_gas_bubble_metrics(&radius, &rate, center), 0);
    expect_close(radius, r_before, "radius as built");
    EXPECT_EQ(rate, 0.0);
    EXPECT_EQ(center[0], 0.5);

    sph_database.volume[1] = 1.5;
    // Reading the metrics refreshes nothing: still the values as built.
    ASSERT_EQ(quorrel_get_gas_bubble_metrics(&radius, &rate, center), 0);
    expect_close(radius, r_before, "radius before a refresh");
    EXPECT_EQ(center[0], 0.5);

    double vol = -1, summary_center[3], mean = -1, pmax = -1;
    ASSERT_EQ(quorrel_get_gas_summary(&vol, summary_center, &mean, &pmax), 0);
    EXPECT_EQ(vol, 2.0);
    EXPECT_EQ(summary_center[0], 0.75);
    EXPECT_EQ(mean, 1.75);  // (0.5 * 1 + 1.5 * 2) / 2
    for (int twice = 0; twice < 2; ++twice) {  // still no refresh the second time
        ASSERT_EQ(quorrel_get_gas_bubble_metrics(&radius, &rate, center), 0);
        expect_close(radius, r_after, "radius after the refresh");
        expect_close(rate, r_after - r_before, "rate after the refresh");
        EXPECT_EQ(center[0], 0.75);
        EXPECT_EQ(center[1], 2.0);
        EXPECT_EQ(center[2], 3.0);
    }

    // The extended summary refreshes again with nothing changed: the rate drops to 0.
    double mass = -1, momentum[3], density[2], limits[3];
    ASSERT_EQ(quorrel_get_gas_extended_summary(&mass, momentum, density, limits), 0);
    ASSERT_EQ(quorrel_get_gas_bubble_metrics(&radius, &rate, center), 0);
    expect_close(radius, r_after, "radius after the second refresh");
    EXPECT_EQ(rate, 0.0);
}

// Rates added to the two gas particles come back as totals, each in its own slot:
// mass 0.5 + 0.25, momentum (1, 2, 3) + (-3, 0.5, 1), energy 4 + 8.
TEST_F(InterfaceApi, GasSourceSummaryTotalsTheRatesSlotBySlot) {
    build(gas_pair_deck);
    const double mom1[3] = {1.0, 2.0, 3.0}, mom2[3] = {-3.0, 0.5, 1.0};
    ASSERT_EQ(sph_gas_add_source_by_particle(0, 0.5, mom1, 4.0), 0);
    ASSERT_EQ(sph_gas_add_source_by_particle(1, 0.25, mom2, 8.0), 0);
    double mass = -1, momentum[3] = {-1, -1, -1}, energy = -1;
    ASSERT_EQ(quorrel_get_gas_source_summary(&mass, momentum, &energy), 0) << last_error().message;
    EXPECT_EQ(mass, 0.75);
    EXPECT_EQ(momentum[0], -2.0);
    EXPECT_EQ(momentum[1], 2.5);
    EXPECT_EQ(momentum[2], 4.0);
    EXPECT_EQ(energy, 12.0);
}

// A gas module failure behind a passed guard: its code and message come back, and the
// summaries' outputs are zero whatever the caller had in them (the summaries write only
// after their refresh and estimate succeed). The dt-limit estimate writes its outputs as
// it goes, so after its failure only the status and the message are promised.
TEST_F(InterfaceApi, FailingGasQueriesReturnTheModulesStatusWithOutputsZeroed) {
    const struct {
        const char* name;
        void (*spoil)();
        int (*call)();
        const char* message;
    } cases[] = {
        {"summary, a zero volume", [] { sph_database.volume[0] = 0.0; }, call_gas_summary,
         "Gas volume must be positive"},
        {"extended summary, a zero volume", [] { sph_database.volume[1] = 0.0; }, call_gas_extended,
         "Gas volume must be positive"},
        {"dt limits, a zero smoothing length", [] { sph_database.h[1] = 0.0; }, call_gas_limits,
         "invalid Gas state for dt estimate"},
        {"extended summary, a zero smoothing length", [] { sph_database.h[0] = 0.0; }, call_gas_extended,
         "invalid Gas state for dt estimate"},
    };
    for (const auto& c : cases) {
        build(gas_pair_deck);
        c.spoil();
        // The zero-checking calls return 100 when an output is not zero.
        EXPECT_EQ(c.call(), 1) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 1) << c.name;
        EXPECT_EQ(e.message, c.message) << c.name;
        (void)quorrel_finalize();
    }
}

// Each pointer of each gas query, null in turn: -1, nothing called (the other outputs
// keep what the caller put there) and the error state as it was.
TEST_F(InterfaceApi, GasQueriesRejectEveryNullPointer) {
    build(gas_pair_deck);
    int i = 0;
    ASSERT_EQ(quorrel_coupling_get_region_modes(7, &i, &i, &i), 1);  // a record to keep
    using Call = int (*)(double* const* p);
    const struct {
        const char* name;
        int pointers;
        Call call;
    } cases[] = {
        {"summary", 4, [](double* const* p) { return quorrel_get_gas_summary(p[0], p[1], p[2], p[3]); }},
        {"bubble metrics", 3, [](double* const* p) { return quorrel_get_gas_bubble_metrics(p[0], p[1], p[2]); }},
        {"dt limits", 3, [](double* const* p) { return quorrel_get_gas_dt_limits(p[0], p[1], p[2]); }},
        {"extended summary", 4,
         [](double* const* p) { return quorrel_get_gas_extended_summary(p[0], p[1], p[2], p[3]); }},
        {"source summary", 3, [](double* const* p) { return quorrel_get_gas_source_summary(p[0], p[1], p[2]); }},
    };
    for (const auto& c : cases) {
        for (int null_at = 0; null_at < c.pointers; ++null_at) {
            double slots[4][3];
            for (auto& s : slots) std::fill(std::begin(s), std::end(s), -7.0);
            double* p[4];
            for (int k = 0; k < 4; ++k) p[k] = k == null_at ? nullptr : slots[k];
            EXPECT_EQ(c.call(p), -1) << c.name << ", pointer " << null_at + 1 << " null";
            for (const auto& s : slots)
                for (double value : s) EXPECT_EQ(value, -7.0) << c.name << ", pointer " << null_at + 1 << " null";
        }
        // With every pointer given the same call succeeds on this model.
        double slots[4][3];
        double* p[4] = {slots[0], slots[1], slots[2], slots[3]};
        EXPECT_EQ(c.call(p), 0) << c.name;
    }
    const LastError e = last_error();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message, "coupling region index is invalid");
}

}  // namespace

namespace {

// ---- Explosive queries over tests/decks/app_explosive_row.inp ----
//
// Four TNT particles at x = 0, 1, 2, 3 (y = z = 0), mass 1 each, ignited from (-1, 0, 0)
// at time 0 with detonation velocity 2: arrivals t_i = |x_i + 1| / 2 = 0.5, 1, 1.5, 2.
// Burn time 1, energy per mass 4, PHASE conversion to AIR (density 0.5). Nothing
// accelerates a charge particle, so a velocity given to one stays; the burn books
// dm * v as released momentum. The steps below are 0.25 each.

// What the two explosive queries return, slot by slot.
struct ExplosiveQueries {
    int count = -1, reacted = -1;
    double lambda[3], released[5], detonation[2], mass[4], energy[2], momentum[3];
};

ExplosiveQueries explosive_queries() {
    ExplosiveQueries q;
    std::fill(std::begin(q.lambda), std::end(q.lambda), -1.0);
    EXPECT_EQ(quorrel_get_explosive_summary(&q.count, &q.reacted, q.lambda, q.released, q.detonation), 0)
        << last_error().message;
    EXPECT_EQ(quorrel_get_explosive_release_balance(q.mass, q.energy, q.momentum), 0) << last_error().message;
    return q;
}

void expect_slots(const double* got, std::initializer_list<double> want, const char* what) {
    std::size_t k = 0;
    for (double w : want) {
        EXPECT_EQ(got[k], w) << what << " slot " << k + 1;
        ++k;
    }
}

// Velocities (0.5, -2, 4), (0, 1, 0), (2, 0, 0), (0, 0, -4) on the four particles, nine
// steps to t = 2.25. Progress clamp(t - t_i, 0, 1): 1, 1, 0.75, 0.25 (all four reacted).
// Released mass 1 + 1 + 0.75 + 0.25 = 3, energy 3 * 4 = 12, remaining 0 + 0 + 0.25 + 0.75
// = 1; momentum (0.5, -2, 4) + (0, 1, 0) + 0.75 (2, 0, 0) + 0.25 (0, 0, -4) = (2, -1, 3).
// Particles 1 and 2 became gas at t = 1.5 and t = 2: they stay tracked, and their paths
// (x0 + v t) keep them out of each other's reach, so nothing changes their velocity.
// Then two entries are spoiled by hand to move the balances off zero: particle 1's
// released energy + 1 (energy 13, expected still 12: error 1) and particle 4's remaining
// mass + 0.5 (remaining 1.5, mass error 4 - 3 - 1.5 = -0.5).
TEST_F(InterfaceApi, ExplosiveQueriesFillEverySlotFromTheBurn) {
    build(explosive_row_deck);
    const double velocity[4][3] = {{0.5, -2.0, 4.0}, {0.0, 1.0, 0.0}, {2.0, 0.0, 0.0}, {0.0, 0.0, -4.0}};
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t k = 0; k < 3; ++k) sph_database.v[3 * i + k] = velocity[i][k];

    // As built: every particle tracked, nothing reacted.
    ExplosiveQueries q = explosive_queries();
    EXPECT_EQ(q.count, 4);
    EXPECT_EQ(q.reacted, 0);
    expect_slots(q.lambda, {0.0, 0.0, 0.0}, "lambda as built");
    expect_slots(q.released, {0.0, 0.0, 0.0, 0.0, 0.0}, "released as built");
    expect_slots(q.detonation, {0.5, 2.0}, "detonation as built");
    expect_slots(q.mass, {4.0, 0.0, 4.0, 0.0}, "mass as built");
    expect_slots(q.energy, {0.0, 0.0}, "energy as built");
    expect_slots(q.momentum, {0.0, 0.0, 0.0}, "momentum as built");

    for (int step = 0; step < 9; ++step) ASSERT_EQ(quorrel_advance_explicit(0.25), 0) << last_error().message;
    q = explosive_queries();
    EXPECT_EQ(q.count, 4);
    EXPECT_EQ(q.reacted, 4);
    expect_slots(q.lambda, {0.25, 1.0, 0.75}, "lambda: min, max, mean");
    expect_slots(q.released, {3.0, 12.0, 2.0, -1.0, 3.0}, "released: mass, energy, momentum");
    expect_slots(q.detonation, {0.5, 2.0}, "detonation: min, max");
    expect_slots(q.mass, {4.0, 3.0, 1.0, 0.0}, "mass: initial, released, remaining, error");
    expect_slots(q.energy, {12.0, 0.0}, "energy: released, error");
    expect_slots(q.momentum, {2.0, -1.0, 3.0}, "momentum");

    sph_explosive_state.explosive_released_energy[0] += 1.0;
    sph_explosive_state.explosive_remaining_mass[3] += 0.5;
    q = explosive_queries();
    expect_slots(q.released, {3.0, 13.0, 2.0, -1.0, 3.0}, "released after the spoiling");
    expect_slots(q.mass, {4.0, 3.0, 1.5, -0.5}, "mass after the spoiling");
    expect_slots(q.energy, {13.0, 1.0}, "energy after the spoiling");
}

// A model without explosive material answers zeros with status 0, like a closed one but
// without the guard's failure.
TEST_F(InterfaceApi, ExplosiveQueriesOfAModelWithoutExplosiveAreZero) {
    for (const std::string& deck : {water_deck, gas_pair_deck}) {
        build(deck);
        ASSERT_EQ(quorrel_run_explicit(), 0) << deck << ": " << last_error().message;
        sph_error_clear();
        EXPECT_EQ(call_explosive_summary(), 0) << deck;
        EXPECT_EQ(call_explosive_balance(), 0) << deck;
        EXPECT_EQ(last_error().code, 0) << deck;
        (void)quorrel_finalize();
    }
}

// Reading a deck unbuilds the model: the guard answers for the burnt state of the model
// before, and the outputs are zero, until the new read is built.
TEST_F(InterfaceApi, ExplosiveQueriesWaitForTheBuildAfterARead) {
    build(explosive_row_deck);
    ASSERT_EQ(quorrel_run_explicit(), 0) << last_error().message;
    ASSERT_EQ(quorrel_read_inp(explosive_row_deck.c_str()), 0) << last_error().message;
    sph_error_clear();
    EXPECT_EQ(call_explosive_summary(), 2);
    EXPECT_EQ(last_error().message, "Quorrel model is not built");
    sph_error_clear();
    EXPECT_EQ(call_explosive_balance(), 2);
    EXPECT_EQ(last_error().message, "Quorrel model is not built");
    ASSERT_EQ(quorrel_build_model(), 0) << last_error().message;
    const ExplosiveQueries q = explosive_queries();
    EXPECT_EQ(q.reacted, 0);
    expect_slots(q.released, {0.0, 0.0, 0.0, 0.0, 0.0}, "released after the new build");
    expect_slots(q.mass, {4.0, 0.0, 4.0, 0.0}, "mass after the new build");
}

// Each pointer of each explosive query, null in turn: -1, nothing called (every output
// keeps what the caller put there) and the error state as it was.
TEST_F(InterfaceApi, ExplosiveQueriesRejectEveryNullPointer) {
    build(explosive_row_deck);
    int i = 0;
    ASSERT_EQ(quorrel_coupling_get_region_modes(7, &i, &i, &i), 1);  // a record to keep
    struct Slots {
        int ints[2] = {-7, -7};
        double reals[3][5];
        Slots() {
            for (auto& r : reals) std::fill(std::begin(r), std::end(r), -7.0);
        }
        bool untouched() const {
            if (ints[0] != -7 || ints[1] != -7) return false;
            for (const auto& r : reals)
                for (double v : r)
                    if (v != -7.0) return false;
            return true;
        }
    };
    using Call = int (*)(Slots& s, int null_at);
    // null_at counts the pointers in argument order; -1 leaves all of them.
    const struct {
        const char* name;
        int pointers;
        Call call;
    } cases[] = {
        {"summary", 5,
         [](Slots& s, int null_at) {
             auto pick = [null_at](int k, auto* p) { return k == null_at ? nullptr : p; };
             return quorrel_get_explosive_summary(pick(0, &s.ints[0]), pick(1, &s.ints[1]), pick(2, s.reals[0]),
                                                  pick(3, s.reals[1]), pick(4, s.reals[2]));
         }},
        {"release balance", 3,
         [](Slots& s, int null_at) {
             auto pick = [null_at](int k, double* p) { return k == null_at ? nullptr : p; };
             return quorrel_get_explosive_release_balance(pick(0, s.reals[0]), pick(1, s.reals[1]),
                                                          pick(2, s.reals[2]));
         }},
    };
    for (const auto& c : cases) {
        for (int null_at = 0; null_at < c.pointers; ++null_at) {
            Slots s;
            EXPECT_EQ(c.call(s, null_at), -1) << c.name << ", pointer " << null_at + 1 << " null";
            EXPECT_TRUE(s.untouched()) << c.name << ", pointer " << null_at + 1 << " null";
        }
        Slots s;
        EXPECT_EQ(c.call(s, -1), 0) << c.name;
        EXPECT_FALSE(s.untouched()) << c.name;
    }
    const LastError e = last_error();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message, "coupling region index is invalid");
}

// The ignition point reaches the model as given: the C layer judges none of the four
// values, the explosive module refuses the bad ones with its own code and message and
// stores nothing. A good point is stored as (x, y, z) and time for the first explosive
// material (TNT, material 1).
TEST_F(InterfaceApi, IgnitionPointIsPassedUncheckedAndStoredAsGiven) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        double x, y, z, time;
        int code;
        const char* message;
    } cases[] = {
        {"x not a number", nan, 0.0, 0.0, 0.0, 1, "Explosive ignition coordinate is not finite"},
        {"y infinite", 0.0, inf, 0.0, 0.0, 1, "Explosive ignition coordinate is not finite"},
        {"z minus infinity", 0.0, 0.0, -inf, 0.0, 1, "Explosive ignition coordinate is not finite"},
        {"negative time", 0.0, 0.0, 0.0, -0.5, 1, "Explosive ignition time must be non-negative"},
        {"time not a number", 0.0, 0.0, 0.0, nan, 1, "Explosive ignition time must be non-negative"},
        {"time infinite", 0.0, 0.0, 0.0, inf, 1, "Explosive ignition time must be non-negative"},
    };
    build(explosive_row_deck);
    const SphExplosiveState& s = sph_explosive_state;
    for (const auto& c : cases) {
        EXPECT_EQ(quorrel_set_ignition_point(c.x, c.y, c.z, c.time), c.code) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, c.code) << c.name;
        EXPECT_EQ(e.message, c.message) << c.name;
        EXPECT_EQ(s.explosive_ignition_count, 1) << c.name;
        EXPECT_EQ(s.explosive_detonation_time[3], 2.0) << c.name;
    }
    ASSERT_EQ(quorrel_set_ignition_point(3.0, 1.5, 2.0, 0.25), 0) << last_error().message;
    ASSERT_EQ(s.explosive_ignition_count, 2);
    const SphExplosiveIgnition& rec = s.explosive_ignitions[1];
    EXPECT_EQ(rec.explosive_ignition_material_id, 1);
    EXPECT_EQ(rec.explosive_ignition_x[0], 3.0);
    EXPECT_EQ(rec.explosive_ignition_x[1], 1.5);
    EXPECT_EQ(rec.explosive_ignition_x[2], 2.0);
    EXPECT_EQ(rec.explosive_ignition_time, 0.25);
}

// Where the new point meets the burn. The point (3, 1.5, 2) at 0.25 is 2.5 from
// particle 4 (a 3-4-5 triangle scaled by 1/2): arrival 0.25 + 2.5 / 2 = 1.5, earlier than
// its 2; particles 1..3 are farther from it (sqrt(15.25), sqrt(10.25), sqrt(7.25) over 2,
// plus 0.25: 2.20, 1.85, 1.60) than from the deck's point, so they keep 0.5, 1 and 1.5.
// The point (3, 0, 0) at 0 is 3, 2, 1, 0 away: arrivals 1.5, 1, 0.5, 0.
TEST_F(InterfaceApi, IgnitionPointMovesTheArrivalsOnlyEarlier) {
    const struct {
        const char* name;
        bool before_build;  // set between the read and the build, else after the build
        int steps_first;    // steps of 0.25 taken before the point is set
        double x, y, z, time;
        double want_detonation[4];
        double want_lambda[4];  // right after the point is set: progress made stays
    } cases[] = {
        {"before the build, counted by it", true, 0, 3.0, 1.5, 2.0, 0.25, {0.5, 1.0, 1.5, 1.5}, {0, 0, 0, 0}},
        {"after the build, at once", false, 0, 3.0, 1.5, 2.0, 0.25, {0.5, 1.0, 1.5, 1.5}, {0, 0, 0, 0}},
        // Six steps to t = 1.5: particle 1 has burnt and is gas now (its arrival stays
        // 0.5, the recompute passes over it), particle 2 stands at 0.5.
        {"mid-run, progress kept", false, 6, 3.0, 0.0, 0.0, 0.0, {0.5, 1.0, 0.5, 0.0}, {1.0, 0.5, 0.0, 0.0}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(quorrel_initialize(), 0);
        ASSERT_EQ(quorrel_read_inp(explosive_row_deck.c_str()), 0) << last_error().message;
        if (c.before_build) {
            ASSERT_EQ(quorrel_set_ignition_point(c.x, c.y, c.z, c.time), 0) << c.name;
        }
        ASSERT_EQ(quorrel_build_model(), 0) << c.name << ": " << last_error().message;
        for (int step = 0; step < c.steps_first; ++step)
            ASSERT_EQ(quorrel_advance_explicit(0.25), 0) << c.name << ": " << last_error().message;
        if (!c.before_build) {
            ASSERT_EQ(quorrel_set_ignition_point(c.x, c.y, c.z, c.time), 0) << c.name << ": " << last_error().message;
        }
        const SphExplosiveState& s = sph_explosive_state;
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(s.explosive_detonation_time[i], c.want_detonation[i]) << c.name << ", particle " << i + 1;
            EXPECT_EQ(s.explosive_reaction_progress[i], c.want_lambda[i]) << c.name << ", particle " << i + 1;
        }
        const ExplosiveQueries q = explosive_queries();
        const double* d = c.want_detonation;
        EXPECT_EQ(q.detonation[0], std::min({d[0], d[1], d[2], d[3]})) << c.name;
        EXPECT_EQ(q.detonation[1], std::max({d[0], d[1], d[2], d[3]})) << c.name;
        (void)quorrel_finalize();
    }
}

// The mid-run point above, one more step to t = 1.75: particles 3 and 4, now due since
// 0.5 and 0, burn completely at once (target clamp(1.75 - t_i) = 1) and become gas;
// particle 2 reaches 0.75. Summary: 4 reacted, lambda 0.75 .. 1, mean 3.75 / 4 = 0.9375,
// released mass 3.75, energy 15, remaining 0.25.
TEST_F(InterfaceApi, IgnitionPointSetMidRunDrivesTheNextStep) {
    build(explosive_row_deck);
    for (int step = 0; step < 6; ++step) ASSERT_EQ(quorrel_advance_explicit(0.25), 0) << last_error().message;
    ASSERT_EQ(quorrel_set_ignition_point(3.0, 0.0, 0.0, 0.0), 0) << last_error().message;
    ASSERT_EQ(quorrel_advance_explicit(0.25), 0) << last_error().message;
    const ExplosiveQueries q = explosive_queries();
    EXPECT_EQ(q.count, 4);
    EXPECT_EQ(q.reacted, 4);
    expect_slots(q.lambda, {0.75, 1.0, 0.9375}, "lambda");
    expect_slots(q.released, {3.75, 15.0, 0.0, 0.0, 0.0}, "released");
    expect_slots(q.mass, {4.0, 3.75, 0.25, 0.0}, "mass");
    int ids[4], ph[4], st[4], mat[4], sec[4], n = 0;
    double x[12], v[12], a[12], rho[4], p[4], e[4], t[4], h[4];
    ASSERT_EQ(quorrel_get_particle_state(4, ids, ph, st, mat, sec, x, v, a, rho, p, e, t, h, &n), 0);
    const int want_phase[4] = {2, 3, 2, 2};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ph[i], want_phase[i]) << "particle " << i + 1;
}

// Without an explosive material in the table there is nothing to ignite.
TEST_F(InterfaceApi, IgnitionPointNeedsAnExplosiveMaterial) {
    const struct {
        const char* name;
        const char* deck;  // nullptr: initialised, nothing read
        bool built;
    } cases[] = {
        {"nothing read", nullptr, false},
        {"water deck read", water_deck.c_str(), false},
        {"water deck built", water_deck.c_str(), true},
        {"gas deck built", gas_pair_deck.c_str(), true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(quorrel_initialize(), 0);
        if (c.deck) {
            ASSERT_EQ(quorrel_read_inp(c.deck), 0) << c.name;
        }
        if (c.built) {
            ASSERT_EQ(quorrel_build_model(), 0) << c.name;
        }
        EXPECT_EQ(quorrel_set_ignition_point(0.0, 0.0, 0.0, 0.0), 4) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 4) << c.name;
        EXPECT_EQ(e.message, "no Explosive material is available") << c.name;
        EXPECT_EQ(sph_explosive_state.explosive_ignition_count, 0) << c.name;
        (void)quorrel_finalize();
    }
}

}  // namespace
