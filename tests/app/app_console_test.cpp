// The console program run as a process: report, modes, usage errors, failures and
// step output.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string water_deck = std::string(QUORREL_TEST_DECKS) + "/app_water.inp";
const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/app_regions.inp";

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
    Outcome run(const std::vector<std::string>& args) {
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
        waitpid(pid, &wstatus, 0);
        o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        o.out = slurp(out_path);
        o.err = slurp(err_path);
        return o;
    }
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

TEST_F(AppConsole, EndlessLineIsRefusedNotReadForever) {
    // /dev/zero is one line that never ends; the program must stop at its 1025th character.
    const Outcome o = run({"/dev/zero", "--check"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "error_code: 4\nerror_message: /dev/zero:1: input line is too long\n");
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

TEST_F(AppConsole, WorkerOptionsWithoutAWorker) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--zenvik-capabilities", water_deck},
         1,
         usage,
         "error_code: 2\nerror_message: --zenvik-capabilities must be used alone\n"},
        // Capabilities is tested before the worker option.
        {{"--zenvik-worker", "--zenvik-capabilities"},
         1,
         usage,
         "error_code: 2\nerror_message: --zenvik-capabilities must be used alone\n"},
        {{"--zenvik-capabilities"}, 2, "", "error_code: 6\nerror_message: this build has no coupling worker\n"},
        {{water_deck, "--zenvik-worker"}, 2, "", "error_code: 6\nerror_message: this build has no coupling worker\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[0];
        EXPECT_EQ(o.out, c.out) << c.args[0];
        EXPECT_EQ(o.err, c.err) << c.args[0];
    }
}

}  // namespace
