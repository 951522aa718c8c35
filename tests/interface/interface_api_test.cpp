// The interface through its C functions and Fortran-callable entry points: lifecycle,
// guards, argument rejection, text passing, and a small water model end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "interface/sph_api.h"
#include "interface/sph_api_state.h"
#include "output/sph_output.h"
#include "particle/sph_pair_pass.h"
#include "quorrel.h"
#include "quorrel_test.h"

namespace {

namespace fs = std::filesystem;
using namespace quorrel;

const std::string water_deck = std::string(QUORREL_TEST_DECKS) + "/app_water.inp";
const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/app_regions.inp";

struct LastError {
    int code;
    std::string message;
};

LastError last_error() {
    int code = -99;
    char message[256];
    EXPECT_EQ(quorrel_get_last_error(&code, message, static_cast<int>(sizeof message)), 0);
    return {code, message};
}

class InterfaceApi : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        (void)quorrel_finalize();  // the interface's own flags start closed
    }
    void TearDown() override {
        (void)quorrel_finalize();
        QuorrelTest::TearDown();
    }

    void build(const std::string& deck) {
        ASSERT_EQ(quorrel_initialize(), 0);
        ASSERT_EQ(quorrel_read_inp(deck.c_str()), 0) << last_error().message;
        ASSERT_EQ(quorrel_build_model(), 0) << last_error().message;
    }

    fs::path temp_dir() {
        fs::path dir = fs::temp_directory_path() /
                       ("quorrel_interface_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
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
int call_read() { return quorrel_read_inp(water_deck.c_str()); }
int call_output_dir() { return quorrel_set_output_directory("out"); }
int call_output_interval() { return quorrel_set_output_interval(2); }
int call_write_output() { return quorrel_write_output(1, 0.0); }
int call_write_csv() { return quorrel_write_csv("x.csv"); }
int call_write_vtu() { return quorrel_write_vtu("x.vtu"); }
int call_neighbors() { return sph_rebuild_neighbors(); }

const GuardCase guard_cases[] = {
    {"run", true, call_run},
    {"estimate (dtcrit zeroed)", true, call_estimate},
    {"advance", true, call_advance},
    {"water summary (all zeroed)", true, call_water_summary},
    {"water dt limits (all zeroed)", true, call_water_limits},
    {"rebuild neighbours", true, call_neighbors},
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
