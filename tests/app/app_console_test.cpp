// The console program run as a process: report, modes, usage errors, failures and
// step output.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string water_deck = std::string(QUORREL_TEST_DECKS) + "/app_water.inp";
const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/app_regions.inp";
const std::string gas_pair_deck = std::string(QUORREL_TEST_DECKS) + "/app_gas_pair.inp";
const std::string explosive_row_deck = std::string(QUORREL_TEST_DECKS) + "/app_explosive_row.inp";
const std::string solid_fall_deck = std::string(QUORREL_TEST_DECKS) + "/app_solid_fall.inp";
const std::string solid_unbound_deck = std::string(QUORREL_TEST_DECKS) + "/app_solid_unbound.inp";
const std::string solid_block_deck = std::string(QUORREL_TEST_DECKS) + "/app_solid_block.inp";
const std::string solid_sheet_deck = std::string(QUORREL_TEST_DECKS) + "/app_solid_sheet.inp";
const std::string coupling_deck = std::string(QUORREL_TEST_DECKS) + "/app_coupling.inp";

const std::string usage =
    "usage: quorrel [--version] model.inp [--check|--run] [--output path]\n"
    "usage: quorrel --zenvik-worker --solver-id SPH --case model.inp --ipc-name name [--command-block name] "
    "[--data-prefix prefix] [--log path] [--timeout-ms ms] [--worker-id id]\n"
    "usage: quorrel --zenvik-capabilities\n";

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// One run of a report test: the mode its messages name, the program's arguments, and the
// time and step lines the report must show.
struct ReportRun {
    const char* mode;
    std::vector<std::string> args;
    const char* time;
    const char* step;
};

class AppConsole : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("quorrel_app_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the program with the arguments, standard output and error captured apart.
    // With a limit, a program still running after `limit_ms` is killed (status -2).
    Outcome run(const std::vector<std::string>& args, int limit_ms = 0) {
        const std::string out_path = (dir / "stdout.txt").string();
        const std::string err_path = (dir / "stderr.txt").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all{QUORREL_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        Outcome o;
        const int spawned = posix_spawn(&pid, QUORREL_EXE, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        if (spawned != 0) return o;
        int wstatus = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (limit_ms > 0 && waitpid(pid, &wstatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                o.status = -2;
                return o;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (limit_ms <= 0) waitpid(pid, &wstatus, 0);
        o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        o.out = slurp(out_path);
        o.err = slurp(err_path);
        return o;
    }

    // Runs `r`, which must succeed (else the test stops) with nothing on standard error,
    // and gives the report's lines: `count` of them (else the test stops), ending in
    // "status: ok", with the particle count, time and step lines checked.
    void report(const ReportRun& r, const char* particles, std::size_t count, std::vector<std::string>& lines);
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(AppConsole, RunReportMatchesTheHandWrittenReport) {
    std::string expected = slurp(fs::path(QUORREL_TEST_DATA) / "app" / "app_water_run.expected");
    expected.replace(expected.find("@DECK@"), 6, water_deck);
    const Outcome o = run({water_deck, "--run"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, expected);
    EXPECT_EQ(lines_of(o.out).size(), 100u);
}

TEST_F(AppConsole, CheckAndInspectDifferOnlyInTheModeLine) {
    const Outcome check = run({water_deck, "--check"});
    const Outcome inspect = run({water_deck});
    ASSERT_EQ(check.status, 0) << check.err;
    ASSERT_EQ(inspect.status, 0) << inspect.err;
    const auto a = lines_of(check.out), b = lines_of(inspect.out);
    ASSERT_EQ(a.size(), 100u);
    ASSERT_EQ(b.size(), 100u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i == 2) {
            EXPECT_EQ(a[i], "mode: check");
            EXPECT_EQ(b[i], "mode: inspect");
        } else {
            EXPECT_EQ(a[i], b[i]) << "line " << i + 1;
        }
    }
    // Nothing ran: time and step are those of the fresh model.
    EXPECT_EQ(a[5], "time: 0.0000000000000000e+00");
    EXPECT_EQ(a[6], "step: 0");
}

TEST_F(AppConsole, UsageErrorsPrintTheThreeUsageLines) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {water_deck, "--run", "--check"},
        {water_deck, "--output"},
        {water_deck, "--bogus"},
        {"--version", water_deck},  // --version is then the deck path and the deck an unknown option
        {water_deck, "--check", "--output", "somewhere", "--run"},
    };
    for (const auto& args : cases) {
        const Outcome o = run(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(o.status, 1) << shown;
        EXPECT_EQ(o.out, usage) << shown;
        EXPECT_EQ(o.err, "") << shown;
    }
}

TEST_F(AppConsole, VersionAlonePrintsTheVersion) {
    const Outcome o = run({"--version"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "version: 0.8.3\n");
}

TEST_F(AppConsole, MissingDeckGivesErrorLinesOnly) {
    const Outcome o = run({(dir / "absent.inp").string(), "--run"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "error_code: 3\nerror_message: failed to open input file\n");
}

// The deck is read in two passes, so only a regular file can be one: a FIFO, a pipe such
// as a shell's <(cat deck) and a device fail at once with code 3, never waiting.
TEST_F(AppConsole, ADeckThatIsNoRegularFileFailsAtOnce) {
    const std::string fifo = (dir / "deck.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string deck = slurp(water_deck);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);  // the read end is inherited, as a shell's <(...) is
    ASSERT_EQ(write(ends[1], deck.data(), deck.size()), static_cast<ssize_t>(deck.size()));
    close(ends[1]);
    const std::string piped = "/dev/fd/" + std::to_string(ends[0]);
    for (const std::string& path : {fifo, piped, std::string("/dev/zero")}) {
        const Outcome o = run({path, "--check"}, 10000);
        EXPECT_EQ(o.status, 1) << path;
        EXPECT_EQ(o.out, "") << path;
        EXPECT_EQ(o.err, "error_code: 3\nerror_message: input file is not a regular file\n") << path;
    }
    close(ends[0]);
}

TEST_F(AppConsole, RunWithOutputWritesEveryStepAndTheFinalStepAgain) {
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const Outcome o = run({water_deck, "--run", "--output", out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    for (int step = 1; step <= 4; ++step) {
        const std::string s = "quorrel_0000000" + std::to_string(step);
        EXPECT_TRUE(fs::exists(out / (s + ".csv"))) << s;
        EXPECT_TRUE(fs::exists(out / (s + ".vtu"))) << s;
    }
    EXPECT_FALSE(fs::exists(out / "quorrel_00000005.csv"));
    ASSERT_TRUE(fs::exists(out / "quorrel.pvd"));
    // The final write lands on step 4 again, so the collection lists four steps.
    const std::string pvd = slurp(out / "quorrel.pvd");
    std::size_t entries = 0;
    for (std::size_t p = pvd.find("<DataSet"); p != std::string::npos; p = pvd.find("<DataSet", p + 1)) ++entries;
    EXPECT_EQ(entries, 4u);
}

TEST_F(AppConsole, OutputWithoutRunWritesNothing) {
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const Outcome o = run({water_deck, "--output", out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(AppConsole, RegionsAddTenLinesEach) {
    const Outcome o = run({regions_deck});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), 120u);
    const std::vector<std::string> want = {
        "coupling_regions: 2",
        "coupling_region_1_name: Side",
        "coupling_region_1_type: 1",
        "coupling_region_1_export_mode: 3",
        "coupling_region_1_import_mode: 1",
        "coupling_region_1_load_mode: 1",
        "coupling_region_1_distribution_mode: 3",
        "coupling_region_1_contact_state_mode: 1",
        "coupling_region_1_enabled: 1",
        "coupling_region_1_particles: 4",
        "coupling_region_1_facets: 0",
        "coupling_region_2_name: Core",
        "coupling_region_2_type: 2",
        "coupling_region_2_export_mode: 1",
        "coupling_region_2_import_mode: 1",
        "coupling_region_2_load_mode: 1",
        "coupling_region_2_distribution_mode: 1",
        "coupling_region_2_contact_state_mode: 0",
        "coupling_region_2_enabled: 0",
        "coupling_region_2_particles: 0",
        "coupling_region_2_facets: 0",
        "coupling_force_x: 0.0000000000000000e+00",
    };
    // "coupling_regions" is line 79 of the fixed report.
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(lines[78 + i], want[i]);
    EXPECT_EQ(lines.back(), "status: ok");
}

// Two water, three gas and one explosive particle: each phase count lands under its own
// key, on its own line of the report.
TEST_F(AppConsole, PhaseCountsEachLandUnderTheirKey) {
    const fs::path deck = dir / "phases.inp";
    std::ofstream(deck) << "*NODE\n"
                           "1, 0.0, 0.0, 0.0\n2, 1.0, 0.0, 0.0\n3, 2.0, 0.0, 0.0\n"
                           "4, 3.0, 0.0, 0.0\n5, 4.0, 0.0, 0.0\n6, 5.0, 0.0, 0.0\n"
                           "*NSET, NSET=POOL\n1, 2\n"
                           "*NSET, NSET=BUBBLE\n3, 4, 5\n"
                           "*NSET, NSET=CHARGE\n6\n"
                           "*MATERIAL, NAME=WATER, TYPE=WATER\n*DENSITY\n1000.0\n"
                           "*MATERIAL, NAME=AIR, TYPE=GAS\n*DENSITY\n1.2\n"
                           "*MATERIAL, NAME=TNT, TYPE=EXPLOSIVE\n*DENSITY\n1630.0\n"
                           "*FLUID SECTION, NSET=POOL, MATERIAL=WATER\n"
                           "*FLUID SECTION, NSET=BUBBLE, MATERIAL=AIR\n"
                           "*FLUID SECTION, NSET=CHARGE, MATERIAL=TNT\n"
                           "*QUORREL, TIME CONTROL, DT=0.0009765625, TIME=0.0009765625, STEPS=1\n"
                           "*QUORREL, EOS, TYPE=TAIT, MATERIAL=WATER, RHO0=1000.0, C0=10.0, GAMMA=7.0\n"
                           "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=0.0, ETA2=0.01\n"
                           "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=1.4, E0=2.5e5\n"
                           "*QUORREL, EXPLOSIVE, MATERIAL=TNT, TYPE=PROGRAMMED_BURN, PRODUCT_MATERIAL=AIR, "
                           "DETONATION_VELOCITY=6930.0, ENERGY=4.3e6, BURN_TIME=1.0e-6\n"
                           "*QUORREL, IGNITION, MATERIAL=TNT, X=5.0, Y=0.0, Z=0.0, TIME=1.0\n"
                           "*QUORREL, PARTICLE CONTROL, H=0.1, MASS=2.0, VOLUME=0.002\n";
    const Outcome o = run({deck.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), 100u);
    const struct {
        std::size_t line;  // 1-based line of the report
        const char* text;
    } want[] = {
        {4, "particles: 6"},
        {8, "water_particles: 2"},
        {12, "gas_particles: 3"},
        {35, "explosive_phase_particles: 1"},
    };
    for (const auto& w : want) EXPECT_EQ(lines[w.line - 1], w.text) << "line " << w.line;
}

// The capabilities and worker options reach their own entries, which print the worker's
// two usage lines (not the console's three) when misused.
TEST_F(AppConsole, WorkerOptionsReachTheWorkerEntries) {
    const std::string worker_usage = usage.substr(usage.find('\n') + 1);
    const std::string capabilities =
        "solver=Quorrel\nzenvik_worker=yes\nipc_backend=windows_shmem_named_event\ncommand_block_version=1\n"
        "data_layout=AOR_V1\nsupports_real_ipc=yes\nsupports_sph_to_zvk_particle=yes\n"
        "supports_zvk_to_sph_force=yes\nmax_particle_records=4096\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--zenvik-capabilities", water_deck},
         1,
         worker_usage,
         "error_code: 2\nerror_message: --zenvik-capabilities must be used alone\n"},
        // Capabilities is tested before the worker option.
        {{"--zenvik-worker", "--zenvik-capabilities"},
         1,
         worker_usage,
         "error_code: 2\nerror_message: --zenvik-capabilities must be used alone\n"},
        {{"--zenvik-capabilities"}, 0, capabilities, ""},
        // The deck path is positional input to the worker.
        {{water_deck, "--zenvik-worker"},
         1,
         worker_usage,
         "error_code: 1\nerror_message: worker mode received an unknown option or positional input\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[0];
        EXPECT_EQ(o.out, c.out) << c.args[0];
        EXPECT_EQ(o.err, c.err) << c.args[0];
    }
}

// ---- The gas lines of the report, worked out by hand for tests/decks/app_gas_pair.inp ----
//
// Two gas particles, 1 at (0, 2, 3) (AIR: rho 1, p = (1.5 - 1) * 1 * 2 = 1) and 2 at
// (1, 2, 3) (HOT: rho 2, p = 0.5 * 2 * 2 = 2); m = 1, V = 0.5, h = 1, at rest; body force
// b = (1, -2, 2); safety 0.5; one step of dt = 2^-4 (the end time: DT = 1 and the stable
// step are larger).
//
// Kernel gradient (Wendland C2, 3-D) at q = |r| / h = 1:
//   sigma = 21 / (16 pi h^3) = 0.41778173
//   dW/dq = -5 q (1 - q/2)^3 sigma = -5 * 1/8 * sigma = -105 / (128 pi) = -0.26111358
//   grad W = dW/dq / h * r / |r|. For particle 1, r = x1 - x2 = (-1, 0, 0), so
//   grad W = (105 / (128 pi), 0, 0) = (0.26111358, 0, 0); particle 2 has the opposite.
// Pressure accelerations: a = -m (p1/rho1^2 + p2/rho2^2) grad W, with
//   m (1/1 + 2/4) = 1.5, so a_p1 = (-1.5 * 0.26111358, 0, 0) = (-0.39167037, 0, 0)
//   (= -315 / (256 pi)) and a_p2 = (+0.39167037, 0, 0). With the body force:
//   a1 = (0.60832963, -2, 2), |a1| = sqrt(0.37006494 + 8) = 2.89310645
//   a2 = (1.39167037, -2, 2), |a2| = sqrt(1.93674640 + 8) = 3.15226052
// Density rate in the step: m (v1 - v2) . grad W with v1 = v2 = 0, so 0: rho stays 1 and 2,
// the energy stays 2 (no source), so p stays 1 and 2.
// Leapfrog from rest: v = dt a, x = x0 + dt^2 a / 2 = x0 + a / 512:
//   v1 = (0.03802060, -0.125, 0.125), |v1| = 0.18081915
//   v2 = (0.08697940, -0.125, 0.125), |v2| = 0.19701628
//   x1 = (0.00118814, 1.99609375, 3.00390625), x2 = (1.00271811, 1.99609375, 3.00390625)
// Summaries (volume weights are equal):
//   volume 0.5 + 0.5 = 1; mass 2; centre = (x1 + x2) / 2 = (0.5 + 1/512, 2 - 1/256, 3 + 1/256)
//   (the pressure parts cancel) = (0.501953125, 1.99609375, 3.00390625);
//   mean pressure (0.5 * 1 + 0.5 * 2) / 1 = 1.5; max pressure 2; density range 1, 2;
//   momentum = dt (a1 + a2) = dt (2, -4, 4) = (0.125, -0.25, 0.25);
//   equivalent radius (3 * 1 / (4 pi))^(1/3) = 0.62035049; radius rate 0 (the summary's
//   refresh follows the step's own); sources 0 (nothing adds any).
// Step limits, c = sqrt(max(1e-12, (|p| + |PINF| + 1) / rho)) with PINF 0:
//   c1 = sqrt(2 / 1) = 1.41421356, c2 = sqrt(3 / 2) = 1.22474487.
//   Before the run (v = 0, a = 0): dt_cfl = min(1 / c1, 1 / c2) = 1/sqrt(2) = 0.70710678;
//   no acceleration, so dt_accel = dt_cfl and the limit is dt_cfl; dtcrit = 0.5 * 0.70710678
//   = 0.35355339, below DT = 1.
//   After the step: dt_cfl = min(1 / (1.41421356 + 0.18081915), 1 / (1.22474487 + 0.19701628))
//   = min(0.62694639, 0.70335302) = 0.62694639; dt_accel = min(sqrt(1 / 2.89310645),
//   sqrt(1 / 3.15226052)) = min(0.58791940, 0.56323411) = 0.56323411 < dt_cfl, so the
//   limit is dt_accel; dtcrit = 0.5 * 0.56323411 = 0.28161706.
//
// The expected values below are those formulas, evaluated here. Values that are sums and
// products of powers of two (and 0) are compared as printed; the ones through pi, square
// roots and cube roots are parsed and compared to 1e-13 relative (a few roundings apart).
struct GasPairHand {
    double pi = 3.141592653589793;
    double g = 105.0 / (128.0 * pi);  // |grad W| at q = 1, h = 1
    double ap = 1.5 * g;              // pressure acceleration of each particle
    double dt = 0.0625;
    double a1 = std::sqrt((1.0 - ap) * (1.0 - ap) + 8.0);
    double a2 = std::sqrt((1.0 + ap) * (1.0 + ap) + 8.0);
    double c1 = std::sqrt(2.0), c2 = std::sqrt(1.5);
    double radius = std::cbrt(3.0 / (4.0 * pi));
    double cfl_before = std::min(1.0 / c1, 1.0 / c2);
    double cfl_after = std::min(1.0 / (c1 + dt * a1), 1.0 / (c2 + dt * a2));
    double accel_after = std::min(std::sqrt(1.0 / a1), std::sqrt(1.0 / a2));
};

struct ReportWant {
    const char* key;
    double value;
    bool exact;  // compared as printed; otherwise parsed, to 1e-13 relative
};

std::string printed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16e", value);
    return text;
}

double parsed(const std::string& text) {
    double value = std::nan("");
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The value after "key: " on the report's line `index` (0-based), checking the key.
std::string value_at(const std::vector<std::string>& lines, std::size_t index, const std::string& key) {
    if (index >= lines.size()) return "<no line " + std::to_string(index + 1) + ">";
    const std::string& line = lines[index];
    const std::string head = key + ": ";
    if (line.compare(0, head.size(), head) != 0) return "<line " + std::to_string(index + 1) + " is " + line + ">";
    return line.substr(head.size());
}

void AppConsole::report(const ReportRun& r, const char* particles, std::size_t count,
                        std::vector<std::string>& lines) {
    const Outcome o = run(r.args);
    ASSERT_EQ(o.status, 0) << r.mode << ": " << o.err;
    EXPECT_EQ(o.err, "") << r.mode;
    lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), count) << r.mode;
    EXPECT_EQ(value_at(lines, 3, "particles"), particles) << r.mode;
    EXPECT_EQ(value_at(lines, 5, "time"), r.time) << r.mode;
    EXPECT_EQ(value_at(lines, 6, "step"), r.step) << r.mode;
    EXPECT_EQ(lines.back(), "status: ok") << r.mode;
}

// Checks the rows against the report from line `first` (1-based) on, one row a line.
void expect_rows(const std::vector<std::string>& lines, std::size_t first, const std::vector<ReportWant>& rows,
                 const char* mode) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const ReportWant& w = rows[k];
        const std::string got = value_at(lines, first - 1 + k, w.key);
        if (w.exact) {
            EXPECT_EQ(got, printed(w.value)) << mode << " " << w.key;
        } else {
            const double v = parsed(got);
            EXPECT_NEAR(v, w.value, 1e-13 * std::fabs(w.value)) << mode << " " << w.key << " printed " << got;
        }
    }
}

TEST_F(AppConsole, GasPairReportHasTheHandWorkedGasLines) {
    const GasPairHand hand;
    // The 22 gas lines, in report order.
    const std::vector<ReportWant> before = {
        {"gas_volume", 1.0, true},
        {"gas_center_x", 0.5, true},
        {"gas_center_y", 2.0, true},
        {"gas_center_z", 3.0, true},
        {"gas_mean_pressure", 1.5, true},
        {"gas_max_pressure", 2.0, true},
        {"gas_mass", 2.0, true},
        {"gas_momentum_x", 0.0, true},
        {"gas_momentum_y", 0.0, true},
        {"gas_momentum_z", 0.0, true},
        {"gas_min_density", 1.0, true},
        {"gas_max_density", 2.0, true},
        {"gas_equivalent_radius", hand.radius, false},
        {"gas_radius_rate", 0.0, true},
        {"gas_dt_cfl", hand.cfl_before, false},
        {"gas_dt_accel", hand.cfl_before, false},
        {"gas_dtcrit", hand.cfl_before, false},
        {"gas_source_mass", 0.0, true},
        {"gas_source_energy", 0.0, true},
        {"gas_source_momentum_x", 0.0, true},
        {"gas_source_momentum_y", 0.0, true},
        {"gas_source_momentum_z", 0.0, true},
    };
    std::vector<ReportWant> after = before;
    const auto set = [&after](const char* key, double value, bool exact) {
        for (ReportWant& w : after)
            if (std::string(w.key) == key) w = {key, value, exact};
    };
    // The pressure parts of x cancel in the centre and the momentum, in exact arithmetic;
    // here they pass through two roundings.
    set("gas_center_x", 0.5 + 1.0 / 512.0, false);
    set("gas_center_y", 2.0 - 1.0 / 256.0, true);
    set("gas_center_z", 3.0 + 1.0 / 256.0, true);
    set("gas_momentum_x", 0.125, false);
    set("gas_momentum_y", -0.25, true);
    set("gas_momentum_z", 0.25, true);
    set("gas_dt_cfl", hand.cfl_after, false);
    set("gas_dt_accel", hand.accel_after, false);
    set("gas_dtcrit", hand.accel_after, false);

    const struct : ReportRun {
        double dtcrit;
        const std::vector<ReportWant>* rows;
    } cases[] = {
        {{"check", {gas_pair_deck, "--check"}, "0.0000000000000000e+00", "0"}, 0.5 * hand.cfl_before, &before},
        {{"run", {gas_pair_deck, "--run"}, "6.2500000000000000e-02", "1"}, 0.5 * hand.accel_after, &after},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        ASSERT_NO_FATAL_FAILURE(report(c, "2", 100, lines));
        EXPECT_EQ(value_at(lines, 7, "water_particles"), "0") << c.mode;
        EXPECT_EQ(value_at(lines, 11, "gas_particles"), "2") << c.mode;
        // dtcrit on line 11, gas_particles on 12, then the 22 gas lines from line 13.
        expect_rows(lines, 11, {{"dtcrit", c.dtcrit, false}}, c.mode);
        expect_rows(lines, 13, *c.rows, c.mode);
        // The stable step is the gas limit times the safety, 0.5: a halving is exact, and
        // "%.16e" gives a double back exactly.
        EXPECT_EQ(parsed(value_at(lines, 10, "dtcrit")), 0.5 * parsed(value_at(lines, 28, "gas_dtcrit")))
            << c.mode;
        EXPECT_EQ(value_at(lines, 34, "explosive_phase_particles"), "0") << c.mode;
    }
}

// ---- The explosive lines of the report, worked out by hand for tests/decks/app_explosive_row.inp ----
//
// Four TNT particles at x = 0, 1, 2, 3 (y = z = 0), mass 1 each (the default), at rest and
// never accelerated; one ignition point (-1, 0, 0) at time 0; detonation velocity 2, so the
// arrivals are t_i = |x_i + 1| / 2 = 0.5, 1, 1.5, 2. Burn time 1, energy per mass 4, PHASE
// conversion to AIR (density 0.5, ideal gas, gamma 1.5).
// Step: the only positive phase limit before any gas exists is the reaction limit,
// burn time / 4 = 0.25; safety 1, DT = 1 does not cap it. (Without the reaction limit the
// check report would show DT = 1.)
// Progress lambda_i(t) = clamp((t - t_i) / 1, 0, 1), evaluated at the new time of each step
// t = 0.25, 0.5, ..., 2 (eight steps to the end time 2):
//   particle 1: 0.25 at 0.75 ... 1 at 1.5 (step 6): becomes AIR gas;
//   particle 2: 1 at 2 (step 8): becomes AIR gas;
//   particle 3: 0.5 at 2; particle 4: 0 (its front arrives at 2 exactly).
// A converted particle: rho 0.5, volume 1 / 0.5 = 2, energy 4, p = 0.5 * 0.5 * 4 = 1,
// sound speed sqrt((1 + 0 + 1) / 0.5) = 2, h 1, at rest and alone in the gas phase (the
// other gas particle is converted in the last step), so its acceleration is 0:
// gas dt_cfl = h / c = 0.5, dt_accel = dt_cfl (no acceleration), limit 0.5. After the run the
// step stays min(0.5, 0.25) = 0.25, and so did every step of it.
// After the run:
//   explosive-phase particles 2 (particles 3, 4), gas particles 2;
//   tracked 4 (all had a detonation time), reacted 3 (lambda > 0);
//   lambda min 0, max 1, mean (1 + 1 + 0.5 + 0) / 4 = 0.625;
//   released mass 1 + 1 + 0.5 = 2.5, energy 2.5 * 4 = 10, momentum 0 (nothing moves);
//   detonation times 0.5 .. 2; initial mass 4, remaining 0 + 0 + 0.5 + 1 = 1.5,
//   mass error 4 - 2.5 - 1.5 = 0, energy error 10 - 2.5 * 4 = 0, momentum 0;
//   gas volume 2 + 2 = 4, centre x (0 * 2 + 1 * 2) / 4 = 0.5, mass 2, pressures 1, density 0.5.
// Warnings: 1, the AIR material that no section binds.
// Every value is a sum or product of powers of two, so each is compared as printed.
TEST_F(AppConsole, ExplosiveRowReportHasTheHandWorkedExplosiveLines) {
    // The 19 explosive lines, in report order, after the explosive-phase count.
    const std::vector<ReportWant> before = {
        {"explosive_particles", 4, true},
        {"explosive_reacted_particles", 0, true},
        {"explosive_lambda_min", 0.0, true},
        {"explosive_lambda_max", 0.0, true},
        {"explosive_lambda_mean", 0.0, true},
        {"explosive_released_mass", 0.0, true},
        {"explosive_released_energy", 0.0, true},
        {"explosive_released_momentum_x", 0.0, true},
        {"explosive_released_momentum_y", 0.0, true},
        {"explosive_released_momentum_z", 0.0, true},
        {"explosive_detonation_time_min", 0.5, true},
        {"explosive_detonation_time_max", 2.0, true},
        {"explosive_initial_mass", 4.0, true},
        {"explosive_remaining_mass", 4.0, true},
        {"explosive_release_mass_error", 0.0, true},
        {"explosive_release_energy_error", 0.0, true},
        {"explosive_release_momentum_x", 0.0, true},
        {"explosive_release_momentum_y", 0.0, true},
        {"explosive_release_momentum_z", 0.0, true},
    };
    const std::vector<ReportWant> after = {
        {"explosive_particles", 4, true},
        {"explosive_reacted_particles", 3, true},
        {"explosive_lambda_min", 0.0, true},
        {"explosive_lambda_max", 1.0, true},
        {"explosive_lambda_mean", 0.625, true},
        {"explosive_released_mass", 2.5, true},
        {"explosive_released_energy", 10.0, true},
        {"explosive_released_momentum_x", 0.0, true},
        {"explosive_released_momentum_y", 0.0, true},
        {"explosive_released_momentum_z", 0.0, true},
        {"explosive_detonation_time_min", 0.5, true},
        {"explosive_detonation_time_max", 2.0, true},
        {"explosive_initial_mass", 4.0, true},
        {"explosive_remaining_mass", 1.5, true},
        {"explosive_release_mass_error", 0.0, true},
        {"explosive_release_energy_error", 0.0, true},
        {"explosive_release_momentum_x", 0.0, true},
        {"explosive_release_momentum_y", 0.0, true},
        {"explosive_release_momentum_z", 0.0, true},
    };
    // The gas lines that show the converted particles (volume .. max pressure, then mass
    // and density range, then the three step limits).
    const std::vector<ReportWant> gas_before = {
        {"gas_volume", 0.0, true},        {"gas_center_x", 0.0, true},      {"gas_center_y", 0.0, true},
        {"gas_center_z", 0.0, true},      {"gas_mean_pressure", 0.0, true}, {"gas_max_pressure", 0.0, true},
        {"gas_mass", 0.0, true},          {"gas_momentum_x", 0.0, true},    {"gas_momentum_y", 0.0, true},
        {"gas_momentum_z", 0.0, true},    {"gas_min_density", 0.0, true},   {"gas_max_density", 0.0, true},
    };
    const std::vector<ReportWant> gas_after = {
        {"gas_volume", 4.0, true},        {"gas_center_x", 0.5, true},      {"gas_center_y", 0.0, true},
        {"gas_center_z", 0.0, true},      {"gas_mean_pressure", 1.0, true}, {"gas_max_pressure", 1.0, true},
        {"gas_mass", 2.0, true},          {"gas_momentum_x", 0.0, true},    {"gas_momentum_y", 0.0, true},
        {"gas_momentum_z", 0.0, true},    {"gas_min_density", 0.5, true},   {"gas_max_density", 0.5, true},
    };
    const std::vector<ReportWant> limits_before = {
        {"gas_dt_cfl", 0.0, true}, {"gas_dt_accel", 0.0, true}, {"gas_dtcrit", 0.0, true}};
    const std::vector<ReportWant> limits_after = {
        {"gas_dt_cfl", 0.5, true}, {"gas_dt_accel", 0.5, true}, {"gas_dtcrit", 0.5, true}};

    const struct : ReportRun {
        const char* explosive_phase;
        const char* gas;
        const std::vector<ReportWant>* explosive;
        const std::vector<ReportWant>* gas_lines;
        const std::vector<ReportWant>* limits;
    } cases[] = {
        {{"check", {explosive_row_deck, "--check"}, "0.0000000000000000e+00", "0"}, "4", "0", &before, &gas_before,
         &limits_before},
        {{"run", {explosive_row_deck, "--run"}, "2.0000000000000000e+00", "8"}, "2", "2", &after, &gas_after,
         &limits_after},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        ASSERT_NO_FATAL_FAILURE(report(c, "4", 100, lines));
        EXPECT_EQ(value_at(lines, 4, "warnings"), "1") << c.mode;
        EXPECT_EQ(value_at(lines, 7, "water_particles"), "0") << c.mode;
        // The reaction limit, before and after the run alike.
        expect_rows(lines, 11, {{"dtcrit", 0.25, true}}, c.mode);
        EXPECT_EQ(value_at(lines, 11, "gas_particles"), c.gas) << c.mode;
        expect_rows(lines, 13, *c.gas_lines, c.mode);
        expect_rows(lines, 27, *c.limits, c.mode);
        EXPECT_EQ(value_at(lines, 34, "explosive_phase_particles"), c.explosive_phase) << c.mode;
        // The integer lines print as integers, the others as reals.
        for (std::size_t k = 0; k < c.explosive->size(); ++k) {
            const ReportWant& w = (*c.explosive)[k];
            if (k < 2)
                EXPECT_EQ(value_at(lines, 35 + k, w.key), std::to_string(static_cast<int>(w.value))) << c.mode;
            else
                expect_rows(lines, 36 + k, {w}, c.mode);
        }
        EXPECT_EQ(value_at(lines, 54, "solid_particles"), "0") << c.mode;
    }
}

// ---- The solid lines of the report, worked out by hand for tests/decks/app_solid_fall.inp ----
//
// Two solid particles at (0, 0, 0) and (1, 0, 0), mass, volume and h 1, at rest, under the
// body force (0, 0, -4) and nothing else; E = 30, nu = 0.25, density 144:
// G = 30 / (2 * 1.25) = 12, K = 30 / (3 * 0.5) = 20, c = sqrt((20 + 4 * 12 / 3) / 144)
// = sqrt(36 / 144) = 0.5. Each is the other's only reference neighbour (d = 1 <= 2): too
// few for a correction, so status 1, degenerate, determinant 0 stored, and a zero velocity
// gradient in every step. Strain increments are zero, the stresses stay zero, the pair
// force vanishes: each acceleration is the body force, |a| = 4.
// Solid limits: dt_cfl = h / (c + |v|), dt_accel = sqrt(h / |a|) = sqrt(1 / 4) = 0.5, the
// limit the smaller of the two. Safety 0.5, DT 1, end time 0.5; no other phase.
//   t = 0, v = 0: dt_cfl = 1 / 0.5 = 2, limit 0.5, step 0.5 * 0.5 = 0.25.
//   t = 0.25, |v| = 1: dt_cfl = 1 / 1.5 > 0.5, limit 0.5, step 0.25, reaching t = 0.5.
// Two steps of 0.25; the leapfrog is exact for a constant acceleration, and every value is
// a short binary fraction: v = -4 t, z = -4 t^2 / 2, so after step 1 v = -1, z = -0.125,
// after step 2 v = -2, z = -0.5.
// After the run: momentum z 2 * -2 = -4, kinetic energy 2 * 0.5 * 4 = 4; dt_cfl = 1 / 2.5,
// dt_accel 0.5, limit 1 / 2.5; the stable step 0.5 / 2.5.
// Before it: momentum and kinetic energy 0, dt_cfl 2, dt_accel 0.5 = the limit; stable
// step 0.25. Either way mass 2, internal energy 0, von Mises 0, plastic strain and damage
// 0 .. 0, softening 1 .. 1, strain rate 0, acceleration 4 (recomputed by the estimates),
// residual 0, neighbours 1, determinant 0, status 1.
struct SolidLine {
    const char* key;
    double value;
    bool integer;  // printed "%d"; otherwise compared as printed by "%.16e"
};

std::vector<SolidLine> solid_fall_lines(double momentum_z, double kinetic, double dt_cfl, double dt_limit) {
    return {
        {"solid_particles", 2, true},
        {"solid_failed_particles", 0, true},
        {"solid_mass", 2.0, false},
        {"solid_momentum_x", 0.0, false},
        {"solid_momentum_y", 0.0, false},
        {"solid_momentum_z", momentum_z, false},
        {"solid_kinetic_energy", kinetic, false},
        {"solid_internal_energy", 0.0, false},
        {"solid_max_von_mises", 0.0, false},
        {"solid_plastic_strain_min", 0.0, false},
        {"solid_plastic_strain_max", 0.0, false},
        {"solid_damage_min", 0.0, false},
        {"solid_damage_max", 0.0, false},
        {"solid_softening_min", 1.0, false},
        {"solid_softening_max", 1.0, false},
        {"solid_max_strain_rate", 0.0, false},
        {"solid_max_acceleration", 4.0, false},
        {"solid_internal_force_residual", 0.0, false},
        {"solid_reference_neighbor_min", 1, true},
        {"solid_correction_det_min", 0.0, false},
        {"solid_correction_status", 1, true},
        {"solid_dt_cfl", dt_cfl, false},
        {"solid_dt_accel", 0.5, false},
        {"solid_dtcrit", dt_limit, false},
    };
}

// The 24 solid lines, lines 55 to 78 of the report.
void expect_solid_lines(const std::vector<std::string>& lines, const std::vector<SolidLine>& want,
                        const char* mode) {
    ASSERT_EQ(want.size(), 24u);
    for (std::size_t k = 0; k < want.size(); ++k) {
        const SolidLine& w = want[k];
        const std::string shown = w.integer ? std::to_string(static_cast<int>(w.value)) : printed(w.value);
        EXPECT_EQ(value_at(lines, 54 + k, w.key), shown) << mode << " " << w.key;
    }
}

// The fields of one particle's row of a step CSV file, by header name.
std::vector<double> csv_fields(const fs::path& file, int particle, const std::vector<std::string>& names) {
    std::ifstream in(file);
    std::string header, row;
    std::getline(in, header);
    for (int i = 0; i < particle; ++i) std::getline(in, row);
    const auto split = [](const std::string& line) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, ',');) cells.push_back(cell);
        return cells;
    };
    const auto keys = split(header), cells = split(row);
    std::vector<double> out;
    for (const std::string& name : names) {
        const auto at = std::find(keys.begin(), keys.end(), name);
        std::string cell = at == keys.end() || static_cast<std::size_t>(at - keys.begin()) >= cells.size()
                               ? std::string("nan")
                               : cells[static_cast<std::size_t>(at - keys.begin())];
        cell.erase(0, cell.find_first_not_of(' '));
        out.push_back(parsed(cell));
    }
    return out;
}

TEST_F(AppConsole, SolidFallReportHasTheHandWorkedSolidLines) {
    const struct : ReportRun {
        double dtcrit;
        std::vector<SolidLine> solid;
    } cases[] = {
        {{"check", {solid_fall_deck, "--check"}, "0.0000000000000000e+00", "0"}, 0.25,
         solid_fall_lines(0.0, 0.0, 2.0, 0.5)},
        {{"run", {solid_fall_deck, "--run"}, "5.0000000000000000e-01", "2"}, 0.5 * (1.0 / 2.5),
         solid_fall_lines(-4.0, 4.0, 1.0 / 2.5, 1.0 / 2.5)},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        ASSERT_NO_FATAL_FAILURE(report(c, "2", 100, lines));
        EXPECT_EQ(value_at(lines, 4, "warnings"), "0") << c.mode;
        EXPECT_EQ(value_at(lines, 10, "dtcrit"), printed(c.dtcrit)) << c.mode;
        expect_solid_lines(lines, c.solid, c.mode);
        EXPECT_EQ(value_at(lines, 78, "coupling_regions"), "0") << c.mode;
    }
}

// The same run with step output: each step's file holds z = -4 t^2 / 2 and vz = -4 t
// exactly, x and y as they started.
TEST_F(AppConsole, SolidFallPositionsFollowTheConstantAcceleration) {
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const Outcome o = run({solid_fall_deck, "--run", "--output", out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    const struct {
        const char* file;
        double z, vz;
    } steps[] = {{"quorrel_00000001.csv", -0.125, -1.0}, {"quorrel_00000002.csv", -0.5, -2.0}};
    for (const auto& s : steps) {
        ASSERT_TRUE(fs::exists(out / s.file)) << s.file;
        for (int particle = 1; particle <= 2; ++particle) {
            const std::vector<double> got =
                csv_fields(out / s.file, particle, {"x", "y", "z", "vx", "vy", "vz"});
            const std::vector<double> want = {particle - 1.0, 0.0, s.z, 0.0, 0.0, s.vz};
            EXPECT_EQ(got, want) << s.file << " particle " << particle;
        }
    }
}

// A model without an active solid: without solid state the step-limit estimate gives
// the largest double for the cfl and acceleration limits and 0 for the limit; with solid
// state (a solid material no section binds) all three are 0. Every other solid line is 0.
TEST_F(AppConsole, SolidLimitsOfAModelWithoutActiveSolid) {
    const std::string largest = "1.7976931348623157e+308";
    const struct {
        const char* name;
        const std::string* deck;
        const char* warnings;
        std::string cfl, accel;
    } cases[] = {
        {"no solid state", &water_deck, "0", largest, largest},
        {"solid state, no solid particle", &solid_unbound_deck, "1", printed(0.0), printed(0.0)},
    };
    for (const auto& c : cases) {
        const Outcome o = run({*c.deck});
        ASSERT_EQ(o.status, 0) << c.name << ": " << o.err;
        const auto lines = lines_of(o.out);
        ASSERT_EQ(lines.size(), 100u) << c.name;
        EXPECT_EQ(value_at(lines, 4, "warnings"), c.warnings) << c.name;
        // The keys and kinds of the 24 lines; here the first 21 are all 0.
        const std::vector<SolidLine> keys = solid_fall_lines(0.0, 0.0, 0.0, 0.0);
        for (std::size_t k = 0; k < 21; ++k)
            EXPECT_EQ(value_at(lines, 54 + k, keys[k].key), keys[k].integer ? "0" : printed(0.0))
                << c.name << " " << keys[k].key;
        EXPECT_EQ(value_at(lines, 75, "solid_dt_cfl"), c.cfl) << c.name;
        EXPECT_EQ(value_at(lines, 76, "solid_dt_accel"), c.accel) << c.name;
        EXPECT_EQ(value_at(lines, 77, "solid_dtcrit"), printed(0.0)) << c.name;
    }
}

// The reference lines of two more decks, where the three values differ.
// app_solid_block.inp: four solids on a right tetrahedron of edge 0.5 and a water
// particle; each solid sees the other three, and its moment matrix sum r r^T (volumes 1) is
// 0.25 times the identity (the corner at the origin) or 0.25 times [[3, -1, -1], [-1, 1, 0],
// [-1, 0, 1]] with the axes renamed, of determinant 1: 0.25^3 = 1/64 each, status 0.
// app_solid_sheet.inp: four solids on a unit square, three neighbours each, all in one
// plane: the z row of the matrix is zero, determinant 0, status 2 (singular).
TEST_F(AppConsole, SolidReferenceLinesShowNeighboursDeterminantAndStatus) {
    const struct {
        const std::string* deck;
        const char* neighbours;
        double determinant;
        const char* status;
    } cases[] = {{&solid_block_deck, "3", 1.0 / 64.0, "0"}, {&solid_sheet_deck, "3", 0.0, "2"}};
    for (const auto& c : cases) {
        const Outcome o = run({*c.deck});
        ASSERT_EQ(o.status, 0) << *c.deck << ": " << o.err;
        const auto lines = lines_of(o.out);
        ASSERT_EQ(lines.size(), 100u) << *c.deck;
        EXPECT_EQ(value_at(lines, 72, "solid_reference_neighbor_min"), c.neighbours) << *c.deck;
        EXPECT_EQ(value_at(lines, 73, "solid_correction_det_min"), printed(c.determinant)) << *c.deck;
        EXPECT_EQ(value_at(lines, 74, "solid_correction_status"), c.status) << *c.deck;
    }
}

// ---- The coupling lines of the report for tests/decks/app_coupling.inp ----
//
// Two falling water particles (nodes 1, 2) and two shells (3, 4), three regions:
// 1, a 64-character name, every particle (SET=ALL: 4), exporting both, so its facets are
//    the two shells; import motion (3), traction loads (4), area distribution (2), contact
//    import (1).
// 2, Skin, the two shells, facets only: no particles are reported, 2 facets; a facet-load
//    import (2) makes the load mode facet force (2); mass distribution (3).
// 3, Pool, disabled: the defaults (1, 1, 1, 1, 1, 0) and no particles or facets.
// All three are contact regions (1). The console imports nothing, so whether it runs four
// steps of 2^-10 or none, every coupling total, largest value and counter is 0.
TEST_F(AppConsole, CouplingDeckReportsItsRegionsAndZeroExchange) {
    const std::string long_name = "StarboardHullPlatingBelowTheWaterlineFromFrameTwelveToFrameForty";
    ASSERT_EQ(long_name.size(), 64u);
    struct RegionWant {
        std::string name;
        int type, export_mode, import_mode, load_mode, distribution_mode, contact_state_mode, enabled, particles,
            facets;
    };
    const RegionWant regions[] = {
        {long_name, 1, 3, 3, 4, 2, 1, 1, 4, 2},
        {"Skin", 1, 2, 2, 2, 3, 0, 1, 0, 2},
        {"Pool", 1, 1, 1, 1, 1, 0, 0, 0, 0},
    };
    const char* real_keys[13] = {"coupling_force_x",
                                 "coupling_force_y",
                                 "coupling_force_z",
                                 "coupling_impulse_x",
                                 "coupling_impulse_y",
                                 "coupling_impulse_z",
                                 "coupling_work",
                                 "coupling_energy_exchange",
                                 "coupling_force_balance_error",
                                 "coupling_moment_balance_error",
                                 "coupling_max_pressure",
                                 "coupling_max_traction",
                                 "coupling_max_penetration"};
    const char* integer_keys[7] = {"coupling_nonfinite_imports",        "coupling_stale_loads",
                                   "coupling_repeated_imports",         "coupling_invalid_weights",
                                   "coupling_active_contacts",          "coupling_skipped_contacts",
                                   "coupling_nonfinite_contact_imports"};
    const ReportRun cases[] = {
        {"run", {coupling_deck, "--run"}, "3.9062500000000000e-03", "4"},
        {"check", {coupling_deck, "--check"}, "0.0000000000000000e+00", "0"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        ASSERT_NO_FATAL_FAILURE(report(c, "4", 130, lines));
        EXPECT_EQ(value_at(lines, 7, "water_particles"), "2") << c.mode;
        EXPECT_EQ(value_at(lines, 78, "coupling_regions"), "3") << c.mode;
        std::size_t at = 79;
        for (int r = 1; r <= 3; ++r) {
            const RegionWant& w = regions[r - 1];
            const std::string key = "coupling_region_" + std::to_string(r) + "_";
            const std::pair<const char*, int> numbers[] = {{"type", w.type},
                                                           {"export_mode", w.export_mode},
                                                           {"import_mode", w.import_mode},
                                                           {"load_mode", w.load_mode},
                                                           {"distribution_mode", w.distribution_mode},
                                                           {"contact_state_mode", w.contact_state_mode},
                                                           {"enabled", w.enabled},
                                                           {"particles", w.particles},
                                                           {"facets", w.facets}};
            EXPECT_EQ(value_at(lines, at++, key + "name"), w.name) << c.mode;
            for (const auto& [suffix, value] : numbers)
                EXPECT_EQ(value_at(lines, at++, key + suffix), std::to_string(value)) << c.mode;
        }
        for (const char* key : real_keys) EXPECT_EQ(value_at(lines, at++, key), printed(0.0)) << c.mode;
        for (const char* key : integer_keys) EXPECT_EQ(value_at(lines, at++, key), "0") << c.mode;
        EXPECT_EQ(at, 129u) << c.mode;
    }
}

}  // namespace
