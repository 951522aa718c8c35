// The worker as its host sees it: `quorrel --zenvik-worker` started as a child process on
// objects a test host made, every acknowledgement read by byte offset, the posts it gives
// counted, its output, exit status and log rows checked, and nothing left in /dev/shm.
//
// Sessions that must not time out get 5 s (they end with STOP or a failure long before);
// the time-out cases get tens of milliseconds. Every wait of the host is bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_worker_host.h"

extern char** environ;

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

const std::string drop_deck = std::string(QUORREL_TEST_DATA) + "/app/worker/app_worker_drop.inp";

// The codes as a host writes and reads them.
namespace cmd {
constexpr int init = 1, read_input = 2, build_model = 3, export_interface = 4, import_loads = 5, advance = 6,
              write_output = 7, stop = 8;
}
namespace st {
constexpr int ready = 1, done = 3, error = 4, stopped = 5;
}
namespace err {
constexpr int ok = 0, conflict = 2, timeout = 4, unknown_command = 6, internal = 7;
}

constexpr int long_timeout_ms = 5000;
constexpr int short_timeout_ms = 60;
constexpr int host_wait_ms = 10000;  // what the host gives any one answer or exit

// The drop deck's particle: at rest at (0.25, -0.5, 2) under a body force of (0, 0, -8).
constexpr double x0 = 0.25, y0 = -0.5, z0 = 2.0;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double ms_since(clock_type::time_point t) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

// Starts the program in `dir` with `args`, standard output and error into files there.
pid_t spawn_program(const fs::path& dir, const std::vector<std::string>& args) {
    const std::string out = (dir / "stdout.txt").string(), err = (dir / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{QUORREL_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, QUORREL_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// The exit status of `pid` within `ms`; -1 when it was killed by a signal, -2 when it
// was still running (it is then killed).
int wait_exit(pid_t pid, int ms) {
    const auto t0 = clock_type::now();
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -3;
        if (ms_since(t0) > ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The log and CSV files split at CR LF; `clean` false when a line break is anything else.
struct Lines {
    std::vector<std::string> lines;
    bool clean = true;
};
Lines crlf_lines(const std::string& text) {
    Lines l;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            l.clean = false;
            l.lines.push_back(text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string::npos) l.clean = false;
        l.lines.push_back(line);
        start = end + 2;
    }
    return l;
}

const std::string log_header =
    "solver_id,case_file,ipc_name,command_block,data_prefix,command_event,done_event,timeout_ms,worker_id,"
    "command_id,step_id,ack_sequence,worker_state,exported_particles,exported_facets,received_forces,total_fx,"
    "total_fy,total_fz,total_mx,total_my,total_mz,nonfinite_particles,error_code,error_message";
const std::string particle_header =
    "step_id,region_index,export_index,internal_index,external_id,phase,status,material,section,x,y,z,vx,vy,vz,"
    "reject_reason";
const std::string force_header =
    "step_id,region_index,source_id,pair_id,target_id,export_index,internal_index,fx,fy,fz,mx,my,mz,"
    "contact_state,reject_reason";

// What a host reads back after one post of the done event.
struct Ack {
    bool arrived = false;
    int version = 0, ack_sequence = 0, state = 0, error = 0;
    std::string message;
    bool padded = false;   // zeros after the message to the end of its field
    int posts_left = -1;   // posts nobody took yet: 0 when one ack gave one post
    int sent_version = 1;  // what the host wrote into the version field
};

// A log row the worker should have written, less the columns fixed by the session.
struct Row {
    int command, step, ack;
    const char* state;
    int error;
    const char* message;
};

// How a session starts its worker.
struct Options {
    std::string case_file = drop_deck;
    int timeout_ms = long_timeout_ms;
    std::string command_block, data_prefix;  // given only when not empty
    std::string solver_id, worker_id;        // likewise
    std::string ipc_name;                    // empty: the host's base name
};

// One host with its objects, its worker and its scratch directory. The worker runs in
// `dir`, writes its step files into dir/output and its reports into dir/reports.
class Session {
public:
    Session(fs::path dir, std::string base) : dir_(std::move(dir)), host_(std::move(base)) {
        fs::create_directories(dir_ / "output");
        fs::create_directories(dir_ / "reports");
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (pid_ > 0) (void)wait_exit(pid_, 0);
    }

    Host& host() { return host_; }
    const Host& host() const { return host_; }
    const fs::path& dir() const { return dir_; }
    fs::path log_path() const { return dir_ / "reports" / "worker.log"; }

    // Creates the host's objects; READY must keep the ack_sequence written here.
    bool create(const Host::Layout& layout = Host::Layout()) {
        if (!host_.create(layout)) return false;
        if (layout.command) host_.set_i32(block::ack_sequence, 77);
        return true;
    }

    std::vector<std::string> args(const Options& o) const {
        std::vector<std::string> a{"--zenvik-worker", "--case", o.case_file,
                                   "--ipc-name", o.ipc_name.empty() ? host_.base() : o.ipc_name,
                                   "--log", log_path().string(), "--timeout-ms", std::to_string(o.timeout_ms)};
        if (!o.command_block.empty()) a.insert(a.end(), {"--command-block", o.command_block});
        if (!o.data_prefix.empty()) a.insert(a.end(), {"--data-prefix", o.data_prefix});
        if (!o.solver_id.empty()) a.insert(a.end(), {"--solver-id", o.solver_id});
        if (!o.worker_id.empty()) a.insert(a.end(), {"--worker-id", o.worker_id});
        return a;
    }

    bool start(const Options& o = Options()) {
        options_ = o;
        pid_ = spawn_program(dir_, args(o));
        return pid_ > 0;
    }
    // The options of a worker someone else started, for the rows it writes.
    void started_elsewhere(const Options& o) { options_ = o; }
    pid_t pid() const { return pid_; }

    // Takes one post of the done event and reads the worker's fields.
    Ack await_ack(int ms = host_wait_ms) {
        Ack a;
        if (broken_) return a;
        a.arrived = host_.await_done(ms);
        if (!a.arrived) {
            broken_ = true;
            return a;
        }
        a.version = host_.i32(block::version);
        a.ack_sequence = host_.i32(block::ack_sequence);
        a.state = host_.i32(block::worker_state);
        a.error = host_.i32(block::error_code);
        a.message = host_.message();
        a.padded = host_.message_zero_padded();
        a.posts_left = host_.done_posts();
        // Out of step with the worker: every later answer would be a stale one.
        if (a.posts_left != 0) broken_ = true;
        return a;
    }
    Ack command(int sequence, int command, int step_id = 0, double dt = 0.0, int version = 1) {
        if (broken_) return Ack{};
        host_.send(sequence, command, step_id, dt, version);
        Ack a = await_ack();
        a.sent_version = version;
        return a;
    }

    // The worker's exit status (negative when it did not exit by itself in time).
    // A session out of step is ended at once.
    int finish(int ms = host_wait_ms) {
        const int status = wait_exit(pid_, broken_ ? 0 : ms);
        pid_ = -1;
        return status;
    }

    std::string out() const { return slurp(dir_ / "stdout.txt"); }
    std::string err() const { return slurp(dir_ / "stderr.txt"); }

    // The log's rows after its header; the header and CR LF line ends are checked.
    std::vector<std::string> log_rows() const {
        const Lines l = crlf_lines(slurp(log_path()));
        EXPECT_TRUE(l.clean) << "log lines must end in CR LF";
        if (l.lines.empty()) {
            ADD_FAILURE() << "empty log";
            return {};
        }
        EXPECT_EQ(l.lines.front(), log_header);
        return {l.lines.begin() + 1, l.lines.end()};
    }

    // A log row as this session's worker writes it: its names and options, then the row's
    // own columns; the data-block columns are 0 in this build.
    std::string row(const Row& r, bool names = true) const {
        const std::string base = options_.ipc_name.empty() ? host_.base() : options_.ipc_name;
        std::string s = (options_.solver_id.empty() ? "SPH" : options_.solver_id) + "," + options_.case_file + "," +
                        base + ",";
        if (names) {
            s += (options_.command_block.empty() ? base + ".command" : options_.command_block) + ",";
            s += (options_.data_prefix.empty() ? base + ".data" : options_.data_prefix) + ",";
            s += base + ".command_event," + base + ".done_event,";
        } else {
            s += ",,,,";
        }
        s += std::to_string(options_.timeout_ms) + "," +
             (options_.worker_id.empty() ? "quorrel" : options_.worker_id) + ",";
        s += std::to_string(r.command) + "," + std::to_string(r.step) + "," + std::to_string(r.ack) + "," + r.state +
             ",0,0,0,";
        for (int k = 0; k < 6; ++k) s += "0.0000000000000000e+00,";
        s += "0," + std::to_string(r.error) + "," + r.message;
        return s;
    }
    // The two rows every attached run starts with.
    std::vector<std::string> opening_rows() const {
        return {row({0, 0, 0, "CREATED", 0, "worker startup"}), row({0, 0, 0, "READY", 0, "worker ready"})};
    }

    // The particle and force reports beside the log hold their headers only: nothing in
    // this build exchanges records.
    void expect_empty_record_reports() const {
        const Lines p = crlf_lines(slurp(dir_ / "reports" / "quorrel_zenvik_particle_report.csv"));
        const Lines f = crlf_lines(slurp(dir_ / "reports" / "quorrel_zenvik_force_report.csv"));
        EXPECT_TRUE(p.clean && f.clean);
        EXPECT_EQ(p.lines, std::vector<std::string>{particle_header});
        EXPECT_EQ(f.lines, std::vector<std::string>{force_header});
        // Beside the log, not in the working directory.
        EXPECT_FALSE(fs::exists(dir_ / "quorrel_zenvik_particle_report.csv"));
        EXPECT_FALSE(fs::exists(dir_ / "quorrel_zenvik_force_report.csv"));
    }

private:
    fs::path dir_;
    Host host_;
    Options options_;
    pid_t pid_ = -1;
    bool broken_ = false;  // an answer was missing or came with extra posts
};

void expect_ready(const Ack& a) {
    ASSERT_TRUE(a.arrived) << "no READY";
    EXPECT_EQ(a.version, 1);
    EXPECT_EQ(a.ack_sequence, 77);  // the host's value, kept
    EXPECT_EQ(a.state, st::ready);
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.message, "READY");
    EXPECT_TRUE(a.padded);
    EXPECT_EQ(a.posts_left, 0);
}

// One acknowledgement: the four fields, a zero-padded message and exactly one post.
void expect_ack(const Ack& a, int ack_sequence, int state, int error, const std::string& message,
                const std::string& what) {
    ASSERT_TRUE(a.arrived) << what << ": no acknowledgement";
    EXPECT_EQ(a.ack_sequence, ack_sequence) << what;
    EXPECT_EQ(a.state, state) << what;
    EXPECT_EQ(a.error, error) << what;
    EXPECT_EQ(a.message, message) << what;
    EXPECT_TRUE(a.padded) << what;
    EXPECT_EQ(a.posts_left, 0) << what;
    EXPECT_EQ(a.version, a.sent_version) << what;  // the host's field, untouched
}

// Position and velocity of the particle in a particle CSV written by WRITE_OUTPUT.
struct Motion {
    bool read = false;
    double x = 0, y = 0, z = 0, vx = 0, vy = 0, vz = 0;
};
Motion motion_in(const fs::path& csv) {
    Motion m;
    const Lines l = crlf_lines(slurp(csv));
    if (l.lines.size() != 2) return m;  // header and one particle
    std::vector<std::string> cells;
    std::stringstream row(l.lines[1]);
    for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
    if (cells.size() < 11 || cells[0] != "1") return m;
    double* out[] = {&m.x, &m.y, &m.z, &m.vx, &m.vy, &m.vz};
    for (int k = 0; k < 6; ++k) {
        const std::string& c = cells[static_cast<std::size_t>(5 + k)];
        const char* b = c.data() + c.find_first_not_of(' ');
        if (std::from_chars(b, c.data() + c.size(), *out[k]).ec != std::errc()) return m;
    }
    m.read = true;
    return m;
}

// After n steps of dt from rest under -8: vz = -8 n dt, z = z0 - 4 (n dt)^2, x and y kept.
void expect_fall(const Motion& m, double t, const std::string& what) {
    ASSERT_TRUE(m.read) << what;
    EXPECT_EQ(m.x, x0) << what;
    EXPECT_EQ(m.y, y0) << what;
    EXPECT_EQ(m.z, z0 - 4.0 * t * t) << what;
    EXPECT_EQ(m.vx, 0.0) << what;
    EXPECT_EQ(m.vy, 0.0) << what;
    EXPECT_EQ(m.vz, -8.0 * t) << what;
}

std::string step_file(int step) {
    char name[32];
    std::snprintf(name, sizeof name, "quorrel_%08d.csv", step);
    return name;
}

// Each case is one session: its commands with the acknowledgement each gets, the exit
// status and the log rows after "worker ready". A refusal or failure ends the run at
// once, so the last command listed is the last one served.
struct Exchange {
    int sequence, command, step_id;
    double dt;
    int version;
    int ack, state, error;
    const char* message;
};

struct SessionCase {
    const char* what;
    std::vector<Exchange> exchanges;
    int status;
    std::vector<Row> rows;
    std::string case_file = drop_deck;
};

class WorkerSession : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("quorrel_worker_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override {
        sessions.clear();  // kills a worker still running and removes the host's objects
        for (const std::string& base : bases) EXPECT_EQ(shm_entries_with(base), std::vector<std::string>{}) << base;
        fs::remove_all(root);
    }
    // A fresh session under a base name no other uses, `pad` long when given.
    Session& session(std::size_t pad = 0, const char* tag = "_w") {
        std::string base = unique_ipc_name(tag);
        if (base.size() < pad) base += std::string(pad - base.size(), 'p');
        bases.push_back(base);
        sessions.push_back(std::make_unique<Session>(root / std::to_string(sessions.size()), base));
        return *sessions.back();
    }

    // A session on fresh objects whose worker has answered READY.
    Session& ready_session(const char* tag = "_w") {
        Session& s = session(0, tag);
        EXPECT_TRUE(s.create());
        EXPECT_TRUE(s.start());
        expect_ready(s.await_ack());
        return s;
    }

    // Runs each case as one session on the drop deck.
    void run(const std::vector<SessionCase>& cases) {
        for (const SessionCase& c : cases) {
            SCOPED_TRACE(c.what);
            Session& s = session();
            ASSERT_TRUE(s.create());
            Options o;
            o.case_file = c.case_file;
            ASSERT_TRUE(s.start(o));
            expect_ready(s.await_ack());
            for (const Exchange& e : c.exchanges)
                expect_ack(s.command(e.sequence, e.command, e.step_id, e.dt, e.version), e.ack, e.state, e.error,
                           e.message, c.what);
            EXPECT_EQ(s.finish(), c.status);
            EXPECT_EQ(s.out(), "");
            EXPECT_EQ(s.err(), "");
            EXPECT_EQ(s.host().done_posts(), 0);
            EXPECT_EQ(s.host().command_posts(), 0);
            std::vector<std::string> want = s.opening_rows();
            for (const Row& r : c.rows) want.push_back(s.row(r));
            EXPECT_EQ(s.log_rows(), want);
        }
    }

    fs::path root;
    std::vector<std::string> bases;
    std::vector<std::unique_ptr<Session>> sessions;
};

TEST_F(WorkerSession, FullSessionAcknowledgesEveryCommandAndStops) {
    Session& s = session();
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.start());
    expect_ready(s.await_ack());

    // Sequence numbers with gaps; only growth matters.
    expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");
    expect_ack(s.command(2, cmd::read_input), 2, st::done, err::ok, "OK", "READ_INPUT");
    expect_ack(s.command(5, cmd::build_model), 5, st::done, err::ok, "OK", "BUILD_MODEL");
    // dt 0 takes the stable step, 2^-10 for this deck (not the default 2^-8). The step id
    // is only logged; output is off, so the step writes nothing.
    expect_ack(s.command(9, cmd::advance, 3, 0.0), 9, st::done, err::ok, "OK", "ADVANCE");
    EXPECT_FALSE(fs::exists(s.dir() / "output" / step_file(1)));
    // Step id 0 writes under the model's step (1), 40 under 40; the state is the same.
    expect_ack(s.command(10, cmd::write_output, 0), 10, st::done, err::ok, "OK", "WRITE_OUTPUT 0");
    expect_ack(s.command(20, cmd::write_output, 40), 20, st::done, err::ok, "OK", "WRITE_OUTPUT 40");
    expect_ack(s.command(21, cmd::stop), 21, st::stopped, err::ok, "OK", "STOP");
    EXPECT_EQ(s.finish(), 0);
    EXPECT_EQ(s.out(), "");
    EXPECT_EQ(s.err(), "");
    EXPECT_EQ(s.host().done_posts(), 0);
    EXPECT_EQ(s.host().command_posts(), 0);

    const double dt = 0x1p-10;
    expect_fall(motion_in(s.dir() / "output" / step_file(1)), dt, "step 1");
    expect_fall(motion_in(s.dir() / "output" / step_file(40)), dt, "step 40");

    std::vector<std::string> want = s.opening_rows();
    for (const Row& r : {Row{1, 0, 1, "DONE", 0, "ok"}, Row{2, 0, 2, "DONE", 0, "ok"}, Row{3, 0, 5, "DONE", 0, "ok"},
                         Row{6, 3, 9, "DONE", 0, "ok"}, Row{7, 0, 10, "DONE", 0, "ok"}, Row{7, 40, 20, "DONE", 0, "ok"},
                         Row{8, 0, 21, "STOPPED", 0, "ok"}})
        want.push_back(s.row(r));
    EXPECT_EQ(s.log_rows(), want);
    s.expect_empty_record_reports();
}

TEST_F(WorkerSession, CommandsOutOfOrderFailAsInternal) {
    run({
        // Only INIT and READ_INPUT initialise the interface; the others then fail.
        {"BUILD_MODEL first",
         {{1, cmd::build_model, 0, 0.0, 1, 1, st::error, err::internal, "INTERNAL"}},
         2,
         {{3, 0, 1, "ERROR", 7, "worker command failed"}}},
        {"ADVANCE first",
         {{4, cmd::advance, 6, 0.0, 1, 4, st::error, err::internal, "INTERNAL"}},
         2,
         {{6, 6, 4, "ERROR", 7, "worker command failed"}}},
        {"WRITE_OUTPUT first",
         {{1, cmd::write_output, 40, 0.0, 1, 1, st::error, err::internal, "INTERNAL"}},
         2,
         {{7, 40, 1, "ERROR", 7, "worker command failed"}}},
        // INIT starts the interface afresh: the model built before it is gone.
        {"ADVANCE after a second INIT",
         {{1, cmd::init, 0, 0.0, 1, 1, st::done, err::ok, "OK"},
          {2, cmd::read_input, 0, 0.0, 1, 2, st::done, err::ok, "OK"},
          {3, cmd::build_model, 0, 0.0, 1, 3, st::done, err::ok, "OK"},
          {4, cmd::init, 0, 0.0, 1, 4, st::done, err::ok, "OK"},
          {5, cmd::advance, 0, 0x1p-12, 1, 5, st::error, err::internal, "INTERNAL"}},
         2,
         {{1, 0, 1, "DONE", 0, "ok"},
          {2, 0, 2, "DONE", 0, "ok"},
          {3, 0, 3, "DONE", 0, "ok"},
          {1, 0, 4, "DONE", 0, "ok"},
          {6, 0, 5, "ERROR", 7, "worker command failed"}}},
        // READ_INPUT initialises by itself.
        {"READ_INPUT first",
         {{1, cmd::read_input, 0, 0.0, 1, 1, st::done, err::ok, "OK"},
          {2, cmd::build_model, 0, 0.0, 1, 2, st::done, err::ok, "OK"},
          {3, cmd::stop, 0, 0.0, 1, 3, st::stopped, err::ok, "OK"}},
         0,
         {{2, 0, 1, "DONE", 0, "ok"}, {3, 0, 2, "DONE", 0, "ok"}, {8, 0, 3, "STOPPED", 0, "ok"}}},
        {"READ_INPUT of a missing deck",
         {{1, cmd::read_input, 0, 0.0, 1, 1, st::error, err::internal, "INTERNAL"}},
         2,
         {{2, 0, 1, "ERROR", 7, "worker command failed"}},
         "no_such_deck.inp"},
        // STOP needs nothing before it.
        {"STOP first",
         {{1, cmd::stop, 0, 0.0, 1, 1, st::stopped, err::ok, "OK"}},
         0,
         {{8, 0, 1, "STOPPED", 0, "ok"}}},
    });
}

TEST_F(WorkerSession, StaleSequencesUnknownCodesAndOtherVersionsAreRefused) {
    const Exchange init3{3, cmd::init, 0, 0.0, 1, 3, st::done, err::ok, "OK"};
    const Row init3_row{1, 0, 3, "DONE", 0, "ok"};
    run({
        // A number not above the last one acknowledged is answered with that number.
        {"sequence 3 repeated",
         {init3, {3, cmd::read_input, 5, 0.0, 1, 3, st::error, err::conflict, "CONFLICT"}},
         2,
         {init3_row, {2, 5, 3, "ERROR", 2, "worker command sequence conflict"}}},
        {"sequence 2 after 3",
         {init3, {2, cmd::stop, 0, 0.0, 1, 2, st::error, err::conflict, "CONFLICT"}},
         2,
         {init3_row, {8, 0, 2, "ERROR", 2, "worker command sequence conflict"}}},
        // Nothing is acknowledged yet, and 0 is not above 0.
        {"sequence 0 first",
         {{0, cmd::init, 0, 0.0, 1, 0, st::error, err::conflict, "CONFLICT"}},
         2,
         {{1, 0, 0, "ERROR", 2, "worker command sequence conflict"}}},
        {"sequence -1 first",
         {{-1, cmd::init, 0, 0.0, 1, -1, st::error, err::conflict, "CONFLICT"}},
         2,
         {{1, 0, -1, "ERROR", 2, "worker command sequence conflict"}}},
        // Codes outside 1 to 8 pass the sequence check and are refused by the state machine.
        {"code 0",
         {{1, 0, 0, 0.0, 1, 1, st::error, err::unknown_command, "UNKNOWN_COMMAND"}},
         2,
         {{0, 0, 1, "ERROR", 6, "worker command rejected by state machine"}}},
        {"code 12 after INIT",
         {init3, {4, 12, 9, 0.0, 1, 4, st::error, err::unknown_command, "UNKNOWN_COMMAND"}},
         2,
         {init3_row, {12, 9, 4, "ERROR", 6, "worker command rejected by state machine"}}},
        {"code -1",
         {{1, -1, 0, 0.0, 1, 1, st::error, err::unknown_command, "UNKNOWN_COMMAND"}},
         2,
         {{-1, 0, 1, "ERROR", 6, "worker command rejected by state machine"}}},
        // Another version is not read at all: the row has no command, and the last
        // sequence acknowledged is answered.
        {"version 2 after INIT",
         {init3, {4, cmd::stop, 0, 0.0, 2, 3, st::error, err::conflict, "CONFLICT"}},
         2,
         {init3_row, {0, 0, 3, "ERROR", 2, "worker command read failed"}}},
        {"version 0 first",
         {{1, cmd::init, 0, 0.0, 0, 0, st::error, err::conflict, "CONFLICT"}},
         2,
         {{0, 0, 0, "ERROR", 2, "worker command read failed"}}},
    });
}

// Step sizes at and beyond the edges: what is not above 0 (NaN is not) takes the stable
// step 2^-10; a positive one is taken as given, even above the default step 2^-8; what
// is not finite is refused by the interface.
TEST_F(WorkerSession, StepSizesOfAdvance) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* what;
        double dt;
        double taken;  // 0: refused
    } cases[] = {
        {"0", 0.0, 0x1p-10},        {"-0", -0.0, 0x1p-10},    {"-1", -1.0, 0x1p-10},
        {"-infinity", -inf, 0x1p-10}, {"2^-12", 0x1p-12, 0x1p-12}, {"2^-6", 0x1p-6, 0x1p-6},
        {"NaN", nan, 0.0},          {"+infinity", inf, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Session& s = session();
        ASSERT_TRUE(s.create());
        ASSERT_TRUE(s.start());
        expect_ready(s.await_ack());
        expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");
        expect_ack(s.command(2, cmd::read_input), 2, st::done, err::ok, "OK", "READ_INPUT");
        expect_ack(s.command(3, cmd::build_model), 3, st::done, err::ok, "OK", "BUILD_MODEL");
        std::vector<std::string> want = s.opening_rows();
        for (const Row& r : {Row{1, 0, 1, "DONE", 0, "ok"}, Row{2, 0, 2, "DONE", 0, "ok"}, Row{3, 0, 3, "DONE", 0, "ok"}})
            want.push_back(s.row(r));
        if (c.taken == 0.0) {
            expect_ack(s.command(4, cmd::advance, 0, c.dt), 4, st::error, err::internal, "INTERNAL", "ADVANCE");
            EXPECT_EQ(s.finish(), 2);
            want.push_back(s.row({6, 0, 4, "ERROR", 7, "worker command failed"}));
        } else {
            expect_ack(s.command(4, cmd::advance, 0, c.dt), 4, st::done, err::ok, "OK", "ADVANCE");
            expect_ack(s.command(5, cmd::write_output), 5, st::done, err::ok, "OK", "WRITE_OUTPUT");
            expect_ack(s.command(6, cmd::stop), 6, st::stopped, err::ok, "OK", "STOP");
            EXPECT_EQ(s.finish(), 0);
            expect_fall(motion_in(s.dir() / "output" / step_file(1)), c.taken, "step 1");
            for (const Row& r : {Row{6, 0, 4, "DONE", 0, "ok"}, Row{7, 0, 5, "DONE", 0, "ok"},
                                 Row{8, 0, 6, "STOPPED", 0, "ok"}})
                want.push_back(s.row(r));
        }
        EXPECT_EQ(s.log_rows(), want);
        EXPECT_EQ(s.host().done_posts(), 0);
    }
}

// The free fall checked step by step: a lone particle under a body force of 8, stepped
// by 2^-12, read back from the particle CSV that WRITE_OUTPUT writes, has z = z0 - 4 t^2
// and vz = -8 t exactly (every value is a short binary fraction).
TEST_F(WorkerSession, LoneParticleFallsFreelyThroughWriteOutput) {
    Session& s = session();
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.start());
    expect_ready(s.await_ack());
    int sequence = 0;
    // The next command in sequence; each is acknowledged DONE (STOP: STOPPED) and OK.
    auto serve = [&](int command, int step_id, double dt, int state, const std::string& what) {
        ++sequence;
        expect_ack(s.command(sequence, command, step_id, dt), sequence, state, err::ok, "OK", what);
    };
    serve(cmd::init, 0, 0.0, st::done, "INIT");
    serve(cmd::read_input, 0, 0.0, st::done, "READ_INPUT");
    serve(cmd::build_model, 0, 0.0, st::done, "BUILD_MODEL");
    const double dt = 0x1p-12;
    const std::vector<int> written = {1, 2, 3, 5, 8, 13};
    for (int step = 1; step <= 13; ++step) {
        serve(cmd::advance, step, dt, st::done, "ADVANCE " + std::to_string(step));
        if (std::find(written.begin(), written.end(), step) != written.end())
            serve(cmd::write_output, 0, 0.0, st::done, "WRITE_OUTPUT " + std::to_string(step));
    }
    serve(cmd::stop, 0, 0.0, st::stopped, "STOP");
    EXPECT_EQ(s.finish(), 0);
    for (int step = 1; step <= 13; ++step) {
        const fs::path csv = s.dir() / "output" / step_file(step);
        const bool want_file = std::find(written.begin(), written.end(), step) != written.end();
        ASSERT_EQ(fs::exists(csv), want_file) << "step " << step;
        if (want_file) expect_fall(motion_in(csv), step * dt, "step " + std::to_string(step));
    }
    // 13 steps: t = 13/4096, z = 2 - 169/4194304, vz = -13/512.
    const Motion last = motion_in(s.dir() / "output" / step_file(13));
    EXPECT_EQ(last.z, 2.0 - 169.0 / 4194304.0);
    EXPECT_EQ(last.vz, -13.0 / 512.0);
}

TEST_F(WorkerSession, TimeOutBeforeAndAfterACommand) {
    const struct {
        const char* what;
        bool init_first;
        int ack;  // the last sequence acknowledged
    } cases[] = {{"before any command", false, 0}, {"after INIT 4", true, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Session& s = session();
        ASSERT_TRUE(s.create());
        Options o;
        o.timeout_ms = short_timeout_ms;
        ASSERT_TRUE(s.start(o));
        expect_ready(s.await_ack());
        auto last_answer = clock_type::now();
        std::vector<std::string> want = s.opening_rows();
        if (c.init_first) {
            expect_ack(s.command(4, cmd::init), 4, st::done, err::ok, "OK", "INIT");
            last_answer = clock_type::now();
            want.push_back(s.row({1, 0, 4, "DONE", 0, "ok"}));
        }
        // The host sends nothing more: one more post, with the TIMEOUT acknowledgement.
        const Ack a = s.await_ack();
        const double waited = ms_since(last_answer);
        expect_ack(a, c.ack, st::error, err::timeout, "TIMEOUT", c.what);
        EXPECT_GE(waited, short_timeout_ms * 0.9);  // the semaphore clock may round
        EXPECT_EQ(s.finish(), 2);
        EXPECT_EQ(s.out(), "");
        EXPECT_EQ(s.err(), "");
        EXPECT_EQ(s.host().done_posts(), 0);
        want.push_back(s.row({0, 0, c.ack, "ERROR", 4, "worker command wait failed"}));
        EXPECT_EQ(s.log_rows(), want);
    }
}

// The host dies after a command: its objects stay (nobody removes them), the worker,
// now nobody's child but ours, answers its own time-out and exits 2. A host that comes
// back reads the TIMEOUT acknowledgement and its post, then removes the objects.
TEST_F(WorkerSession, HostDeathEndsTheWorkerAfterItsTimeOut) {
    Session& s = session();
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    Options o;
    o.timeout_ms = 80;
    s.started_elsewhere(o);
    const std::vector<std::string> args = s.args(o);
    const pid_t host_pid = fork();
    if (host_pid == 0) {
        close(channel[0]);
        Host host(s.host().base());
        if (!host.create()) _exit(10);
        host.set_i32(block::ack_sequence, 77);
        const pid_t worker = spawn_program(s.dir(), args);
        if (write(channel[1], &worker, sizeof worker) != static_cast<ssize_t>(sizeof worker)) _exit(11);
        if (worker < 0 || !host.await_done(host_wait_ms)) _exit(12);  // READY
        host.send(1, cmd::init);
        if (!host.await_done(host_wait_ms) || host.i32(block::error_code) != 0) _exit(13);
        const char answered = 1;
        if (write(channel[1], &answered, 1) != 1) _exit(14);
        pause();
        _exit(15);
    }
    ASSERT_GT(host_pid, 0);
    close(channel[1]);
    pid_t worker = -1;
    char answered = 0;
    const bool told = read(channel[0], &worker, sizeof worker) == static_cast<ssize_t>(sizeof worker) &&
                      read(channel[0], &answered, 1) == 1;
    const auto answer_time = clock_type::now();
    close(channel[0]);
    kill(host_pid, SIGKILL);
    int host_status = 0;
    waitpid(host_pid, &host_status, 0);
    EXPECT_TRUE(WIFSIGNALED(host_status) && WTERMSIG(host_status) == SIGKILL) << "host exited " << host_status;
    ASSERT_TRUE(told && worker > 0);

    EXPECT_EQ(wait_exit(worker, host_wait_ms), 2);
    EXPECT_GE(ms_since(answer_time), 0.9 * o.timeout_ms);
    EXPECT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 0), 0);

    ASSERT_TRUE(s.host().attach_existing());
    EXPECT_EQ(s.host().i32(block::ack_sequence), 1);
    EXPECT_EQ(s.host().i32(block::worker_state), st::error);
    EXPECT_EQ(s.host().i32(block::error_code), err::timeout);
    EXPECT_EQ(s.host().message(), "TIMEOUT");
    EXPECT_EQ(s.host().done_posts(), 1);  // the dead host never took it
    EXPECT_EQ(s.host().command_posts(), 0);
    std::vector<std::string> want = s.opening_rows();
    want.push_back(s.row({1, 0, 1, "DONE", 0, "ok"}));
    want.push_back(s.row({0, 0, 1, "ERROR", 4, "worker command wait failed"}));
    EXPECT_EQ(s.log_rows(), want);
}


// The fourteen lines of a failed attach, with the names as built and the options given.
std::string attach_failure_lines(const Session& s, const Options& o, const std::string& command_block,
                                 const std::string& data_prefix, const std::string& log_path = "") {
    const std::string& base = s.host().base();
    return "worker_state: ERROR\n"
           "solver_id: " + (o.solver_id.empty() ? std::string("SPH") : o.solver_id) + "\n"
           "case: " + o.case_file + "\n"
           "ipc_name: " + base + "\n"
           "command_block: " + command_block + "\n"
           "data_prefix: " + data_prefix + "\n"
           "command_event: " + base + ".command_event\n"
           "done_event: " + base + ".done_event\n"
           "log: " + (log_path.empty() ? s.log_path().string() : log_path) + "\n"
           "timeout_ms: " + std::to_string(o.timeout_ms) + "\n"
           "worker_id: " + (o.worker_id.empty() ? std::string("quorrel") : o.worker_id) + "\n"
           "ipc_platform: WINDOWS\n"
           "error_code: 5\n"
           "error_message: worker IPC attach failed\n";
}

// A missing object, or a mapping too small for its block, fails the attach: the run's
// attach-failure lines, no READY post, exit 2, and nothing created in place of what was
// missing.
TEST_F(WorkerSession, MissingOrShortObjectsFailTheAttach) {
    const struct {
        const char* what;
        Host::Layout layout;
    } cases[] = {
        {"no command mapping", layout_with(false, true, true, true)},
        {"no data mapping", layout_with(true, false, true, true)},
        {"no command event", layout_with(true, true, false, true)},
        {"no done event", layout_with(true, true, true, false)},
        {"nothing at all", layout_with(false, false, false, false)},
        {"command mapping of 175 bytes", layout_with(true, true, true, true, block::bytes - 1)},
        {"data mapping of 1245343 bytes", layout_with(true, true, true, true, block::bytes, data_block_bytes - 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Session& s = session();
        ASSERT_TRUE(s.create(c.layout));
        const Options o;
        ASSERT_TRUE(s.start(o));
        EXPECT_EQ(s.finish(), 2);
        const std::string& base = s.host().base();
        EXPECT_EQ(s.out(), attach_failure_lines(s, o, base + ".command", base + ".data"));
        EXPECT_EQ(s.err(), "");
        if (c.layout.done_event) {
            EXPECT_EQ(s.host().done_posts(), 0);
        }
        if (c.layout.command) {
            EXPECT_EQ(s.host().i32(block::ack_sequence), 77);  // nothing written
            EXPECT_EQ(s.host().i32(block::worker_state), 0);
        }
        EXPECT_EQ(shm_exists(s.host().command_name()), c.layout.command);
        EXPECT_EQ(shm_exists(s.host().data_name()), c.layout.data);
        EXPECT_EQ(sem_exists(s.host().command_event_name()), c.layout.command_event);
        EXPECT_EQ(sem_exists(s.host().done_event_name()), c.layout.done_event);
        EXPECT_EQ(s.log_rows(), (std::vector<std::string>{s.row({0, 0, 0, "CREATED", 0, "worker startup"}),
                                                          s.row({0, 0, 0, "ERROR", 5, "worker IPC attach failed"})}));
    }
}

// --command-block and --data-prefix name the mappings whole; the events keep the base
// name. The solver and worker ids are only recorded.
TEST_F(WorkerSession, OptionsNameTheMappingsAndAreRecorded) {
    {
        Session& s = session();
        Host::Layout layout;
        layout.command_name = s.host().base() + "_blk";
        layout.data_name = s.host().base() + "_payload";
        ASSERT_TRUE(s.create(layout));
        Options o;
        o.command_block = layout.command_name;
        o.data_prefix = layout.data_name;
        o.solver_id = "SPH-2";
        o.worker_id = "w42";
        ASSERT_TRUE(s.start(o));
        expect_ready(s.await_ack());
        expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");
        expect_ack(s.command(2, cmd::stop), 2, st::stopped, err::ok, "OK", "STOP");
        EXPECT_EQ(s.finish(), 0);
        std::vector<std::string> want = s.opening_rows();
        want.push_back(s.row({1, 0, 1, "DONE", 0, "ok"}));
        want.push_back(s.row({8, 0, 2, "STOPPED", 0, "ok"}));
        const std::vector<std::string> rows = s.log_rows();
        EXPECT_EQ(rows, want);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0].rfind("SPH-2," + drop_deck + "," + s.host().base() + "," + layout.command_name + "," +
                                    layout.data_name + "," + s.host().base() + ".command_event," + s.host().base() +
                                    ".done_event,5000,w42,",
                                0),
                  0u)
            << rows[0];
    }
    {
        // The objects carry the derived names, the worker looks for the given ones.
        Session& s = session();
        ASSERT_TRUE(s.create());
        Options o;
        o.command_block = s.host().base() + "_blk";
        o.data_prefix = s.host().base() + "_payload";
        o.worker_id = "w42";
        ASSERT_TRUE(s.start(o));
        EXPECT_EQ(s.finish(), 2);
        EXPECT_EQ(s.out(), attach_failure_lines(s, o, o.command_block, o.data_prefix));
        EXPECT_EQ(s.host().done_posts(), 0);
        EXPECT_FALSE(shm_exists(o.command_block));
        EXPECT_FALSE(shm_exists(o.data_prefix));
    }
}

// Names that cannot be built end the run with 1 before anything is opened: two lines on
// standard error, one log row without names. The limit is the event name, base +
// ".command_event": 113 characters give 127 and work, 114 do not.
TEST_F(WorkerSession, InvalidIpcNamesEndBeforeAnythingIsOpened) {
    const struct {
        const char* what;
        std::string ipc_name, command_block, data_prefix;
    } cases[] = {
        {"slash inside the base", "a/b", "", ""},
        {"leading slash", "/ab", "", ""},
        {"base of 114 characters", std::string(114, 'q'), "", ""},
        {"slash in the command block", "", "x/y", ""},
        {"data prefix of 128 characters", "", "", std::string(128, 'd')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Session& s = session();
        Options o;
        o.ipc_name = c.ipc_name;
        o.command_block = c.command_block;
        o.data_prefix = c.data_prefix;
        ASSERT_TRUE(s.start(o));
        EXPECT_EQ(s.finish(), 1);
        EXPECT_EQ(s.out(), "");
        EXPECT_EQ(s.err(), "error_code: 1\nerror_message: invalid worker IPC names\n");
        EXPECT_EQ(s.log_rows(), std::vector<std::string>{s.row({0, 0, 0, "ERROR", 1, "invalid worker IPC names"},
                                                               false)});
    }
    Session& s = session(113);
    ASSERT_EQ(s.host().base().size(), 113u);
    ASSERT_TRUE(s.create());
    ASSERT_TRUE(s.start());
    expect_ready(s.await_ack());
    expect_ack(s.command(1, cmd::stop), 1, st::stopped, err::ok, "OK", "STOP");
    EXPECT_EQ(s.finish(), 0);
    EXPECT_EQ(s.log_rows(), (std::vector<std::string>{s.opening_rows()[0], s.opening_rows()[1],
                                                      s.row({8, 0, 1, "STOPPED", 0, "ok"})}));
}

// The exchange commands on a model without coupling regions and a block the host left
// zero-filled: EXPORT_INTERFACE has nothing to export and succeeds; IMPORT_LOADS meets a
// force header whose version is 0, not 1, and fails as INTERNAL. The exchange itself is
// tested with regions and written blocks in the exchange tests.
TEST_F(WorkerSession, ExchangeCommandsWithoutRegionsOrAWrittenBlock) {
    const Exchange init{1, cmd::init, 0, 0.0, 1, 1, st::done, err::ok, "OK"};
    const Exchange read{2, cmd::read_input, 0, 0.0, 1, 2, st::done, err::ok, "OK"};
    const Exchange build{3, cmd::build_model, 0, 0.0, 1, 3, st::done, err::ok, "OK"};
    const std::vector<Row> built = {{1, 0, 1, "DONE", 0, "ok"}, {2, 0, 2, "DONE", 0, "ok"}, {3, 0, 3, "DONE", 0, "ok"}};
    auto then = [&](std::vector<Row> rows, const Row& last) {
        rows.push_back(last);
        return rows;
    };
    run({
        {"EXPORT_INTERFACE",
         {init, read, build, {4, cmd::export_interface, 7, 0.0, 1, 4, st::done, err::ok, "OK"},
          {5, cmd::stop, 0, 0.0, 1, 5, st::stopped, err::ok, "OK"}},
         0,
         then(then(built, {4, 7, 4, "DONE", 0, "ok"}), {8, 0, 5, "STOPPED", 0, "ok"})},
        {"IMPORT_LOADS",
         {init, read, build, {4, cmd::import_loads, 7, 0.0, 1, 4, st::error, err::internal, "INTERNAL"}},
         2,
         then(built, {5, 7, 4, "ERROR", 7, "worker command failed"})},
    });
}

// One worker per command block: the first holds a lock on it for the whole session, so a
// second worker on the same names fails its attach as a missing object does and the
// first goes on serving. One object named for both blocks is refused the same way.
TEST_F(WorkerSession, ASecondWorkerOrOneObjectForBothBlocksFailsTheAttach) {
    {
        Session& s = ready_session();
        expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");

        const fs::path second = s.dir() / "second";
        fs::create_directories(second);
        const std::string second_log = (second / "worker.log").string();
        const Options o;
        std::vector<std::string> args = s.args(o);
        const auto log_at = std::find(args.begin(), args.end(), "--log");
        ASSERT_NE(log_at, args.end());
        *(log_at + 1) = second_log;
        const pid_t intruder = spawn_program(second, args);
        ASSERT_GT(intruder, 0);
        EXPECT_EQ(wait_exit(intruder, host_wait_ms), 2);
        const std::string& base = s.host().base();
        EXPECT_EQ(slurp(second / "stdout.txt"),
                  attach_failure_lines(s, o, base + ".command", base + ".data", second_log));
        EXPECT_EQ(slurp(second / "stderr.txt"), "");
        // It wrote nothing into the block and posted nothing.
        EXPECT_EQ(s.host().done_posts(), 0);
        EXPECT_EQ(s.host().i32(block::ack_sequence), 1);

        expect_ack(s.command(2, cmd::read_input), 2, st::done, err::ok, "OK", "READ_INPUT after the intruder");
        expect_ack(s.command(3, cmd::stop), 3, st::stopped, err::ok, "OK", "STOP");
        EXPECT_EQ(s.finish(), 0);
        std::vector<std::string> want = s.opening_rows();
        for (const Row& r : {Row{1, 0, 1, "DONE", 0, "ok"}, Row{2, 0, 2, "DONE", 0, "ok"}, Row{8, 0, 3, "STOPPED", 0, "ok"}})
            want.push_back(s.row(r));
        EXPECT_EQ(s.log_rows(), want);

        // Once the first worker has ended, the same objects take a worker again.
        ASSERT_TRUE(s.start());
        const Ack ready = s.await_ack();
        ASSERT_TRUE(ready.arrived);
        EXPECT_EQ(ready.state, st::ready);
        expect_ack(s.command(1, cmd::stop), 1, st::stopped, err::ok, "OK", "STOP of a later worker");
        EXPECT_EQ(s.finish(), 0);
    }
    {
        // One object of the data block's size, named as both.
        Session& s = session();
        Host::Layout layout = layout_with(true, false, true, true, data_block_bytes);
        layout.command_name = s.host().base() + "_both";
        ASSERT_TRUE(s.create(layout));
        Options o;
        o.command_block = layout.command_name;
        o.data_prefix = layout.command_name;
        ASSERT_TRUE(s.start(o));
        EXPECT_EQ(s.finish(), 2);
        EXPECT_EQ(s.out(), attach_failure_lines(s, o, o.command_block, o.data_prefix));
        EXPECT_EQ(s.err(), "");
        EXPECT_EQ(s.host().done_posts(), 0);
        EXPECT_EQ(s.host().i32(block::worker_state), 0);  // no READY written
        EXPECT_EQ(s.log_rows(), (std::vector<std::string>{s.row({0, 0, 0, "CREATED", 0, "worker startup"}),
                                                          s.row({0, 0, 0, "ERROR", 5, "worker IPC attach failed"})}));
    }
}

// A host that cuts the data object while the worker is attached: the command that would
// touch the block is answered ERROR and IPC, and the worker ends with 2 instead of dying
// of SIGBUS on the first byte past the new end.
TEST_F(WorkerSession, ADataObjectCutAfterTheAttachFailsTheExchangeAsIpc) {
    for (const int command : {cmd::export_interface, cmd::import_loads}) {
        SCOPED_TRACE(command);
        Session& s = ready_session();
        expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");
        expect_ack(s.command(2, cmd::read_input), 2, st::done, err::ok, "OK", "READ_INPUT");
        expect_ack(s.command(3, cmd::build_model), 3, st::done, err::ok, "OK", "BUILD_MODEL");
        ASSERT_TRUE(s.host().cut_data(0));
        expect_ack(s.command(4, command, 2), 4, st::error, 5, "IPC", "the exchange on a cut block");
        EXPECT_EQ(s.finish(), 2);
        EXPECT_EQ(s.err(), "");
        std::vector<std::string> want = s.opening_rows();
        for (const Row& r : {Row{1, 0, 1, "DONE", 0, "ok"}, Row{2, 0, 2, "DONE", 0, "ok"}, Row{3, 0, 3, "DONE", 0, "ok"},
                             Row{command, 2, 4, "ERROR", 5, "worker data block is too short"}})
            want.push_back(s.row(r));
        EXPECT_EQ(s.log_rows(), want);
    }
}

// EXPORT_INTERFACE and IMPORT_LOADS ask the interface first, like every model command:
// sent before INIT or READ_INPUT they fail as INTERNAL. The host's force header is sound
// (version 1, no record), so only the missing model can fail them.
TEST_F(WorkerSession, ExchangeCommandsBeforeTheModelFailAsInternal) {
    for (const int command : {cmd::export_interface, cmd::import_loads}) {
        SCOPED_TRACE(command);
        Session& s = session();
        ASSERT_TRUE(s.create());
        for (const std::size_t header : {std::size_t{0}, std::size_t{622672}}) {
            const std::int32_t fields[3] = {1, 4096, 0};  // version, capacity, count
            std::memcpy(s.host().data_bytes() + header, fields, sizeof fields);
        }
        ASSERT_TRUE(s.start());
        expect_ready(s.await_ack());
        expect_ack(s.command(1, command, 3), 1, st::error, err::internal, "INTERNAL", "first command");
        EXPECT_EQ(s.finish(), 2);
        std::vector<std::string> want = s.opening_rows();
        want.push_back(s.row({command, 3, 1, "ERROR", 7, "worker command failed"}));
        EXPECT_EQ(s.log_rows(), want);
    }
}

// The fields of one CSV row, quoted fields unquoted.
std::vector<std::string> csv_fields(const std::string& row) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const char c = row[i];
        if (quoted) {
            if (c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// A case path and an IPC name with commas stay one column each: every row keeps the
// header's 25 columns.
TEST_F(WorkerSession, LogColumnsHoldingCommasAreQuoted) {
    Session& s = session(0, "_w,c");
    ASSERT_TRUE(s.create());
    const fs::path deck_dir = s.dir() / "a,b";
    fs::create_directories(deck_dir);
    fs::copy_file(drop_deck, deck_dir / "drop.inp");
    Options o;
    o.case_file = (deck_dir / "drop.inp").string();
    o.worker_id = "say \"w\"";
    ASSERT_TRUE(s.start(o));
    expect_ready(s.await_ack());
    expect_ack(s.command(1, cmd::read_input), 1, st::done, err::ok, "OK", "READ_INPUT");
    expect_ack(s.command(2, cmd::stop), 2, st::stopped, err::ok, "OK", "STOP");
    EXPECT_EQ(s.finish(), 0);
    const std::vector<std::string> rows = s.log_rows();
    ASSERT_EQ(rows.size(), 4u);
    for (const std::string& row : rows) {
        const std::vector<std::string> f = csv_fields(row);
        ASSERT_EQ(f.size(), 25u) << row;
        EXPECT_EQ(f[1], o.case_file) << row;
        EXPECT_EQ(f[8], o.worker_id) << row;
    }
    for (const std::string& row : rows) EXPECT_EQ(csv_fields(row)[2], s.host().base()) << row;
    const std::string& b = s.host().base();
    EXPECT_EQ(rows[2].rfind("SPH,\"" + o.case_file + "\",\"" + b + "\",\"" + b + ".command\",\"" + b + ".data\",\"" + b +
                                ".command_event\",\"" + b + ".done_event\",5000,\"say \"\"w\"\"\",2,0,1,DONE,",
                            0),
              0u)
        << rows[2];
}

// A report file planted as a symbolic link (or a FIFO nobody reads) in the log's
// directory is not followed: that report is skipped, the file the link names keeps its
// bytes, and the session runs as before.
TEST_F(WorkerSession, PlantedLinksAndFifosAtTheReportPathsAreNotFollowed) {
    const char* names[] = {"worker.log", "quorrel_zenvik_particle_report.csv", "quorrel_zenvik_force_report.csv"};
    for (const char* name : names)
        for (const bool fifo : {false, true}) {
            SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO" : " as a link"));
            Session& s = session();
            ASSERT_TRUE(s.create());
            const fs::path planted = s.dir() / "reports" / name;
            const fs::path victim = s.dir() / "victim.txt";
            {
                std::ofstream(victim, std::ios::binary) << "precious\n";
            }
            if (fifo)
                ASSERT_EQ(mkfifo(planted.c_str(), 0600), 0);
            else
                fs::create_symlink(victim, planted);
            ASSERT_TRUE(s.start());
            expect_ready(s.await_ack());
            expect_ack(s.command(1, cmd::init), 1, st::done, err::ok, "OK", "INIT");
            expect_ack(s.command(2, cmd::stop), 2, st::stopped, err::ok, "OK", "STOP");
            EXPECT_EQ(s.finish(), 0);
            EXPECT_EQ(slurp(victim), "precious\n");
            EXPECT_EQ(fs::is_symlink(planted), !fifo);
            EXPECT_EQ(fs::is_fifo(fs::symlink_status(planted)), fifo);
            if (std::string(name) != "worker.log") {
                std::vector<std::string> want = s.opening_rows();
                want.push_back(s.row({1, 0, 1, "DONE", 0, "ok"}));
                want.push_back(s.row({8, 0, 2, "STOPPED", 0, "ok"}));
                EXPECT_EQ(s.log_rows(), want);
            }
        }
}
}  // namespace
}  // namespace quorrel::test
