// The worker against what others leave in its way: a second worker naming one of our
// objects, a host that cuts the command object, files planted at the report names, two
// workers sharing one log directory, and a host that stops reading the worker's output.
// Each worker is a child process on objects a test host made, started with SIGPIPE at
// its default as any C host would start it; every wait is bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_worker_data_host.h"

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;

namespace cmd {
constexpr int init = 1, read_input = 2, build_model = 3, export_interface = 4, import_loads = 5, advance = 6,
              stop = 8;
}
constexpr int state_done = 3, state_stopped = 5;
constexpr int session_timeout_ms = 5000;
constexpr int host_wait_ms = 10000;

const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/worker_regions.inp";

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The lines of a report file, split at CR LF.
std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

// A worker process: `quorrel` with `args`, run in `dir`, SIGPIPE at its default.
// Standard output and error go to dir/stdout.txt and dir/stderr.txt, or both to
// `output_fd` when it is given.
class Worker {
public:
    Worker(const fs::path& dir, const std::vector<std::string>& args, int output_fd = -1) : dir_(dir) {
        const std::string out = (dir / "stdout.txt").string(), err = (dir / "stderr.txt").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        if (output_fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, output_fd, 1);
            posix_spawn_file_actions_adddup2(&actions, output_fd, 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> all{QUORREL_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QUORREL_EXE, &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { (void)exit_status(0); }

    bool started() const { return pid_ > 0; }
    // The exit status within `ms`; -1 when a signal ended it, -2 when it was still
    // running (it is then killed).
    int exit_status(int ms = host_wait_ms) {
        if (pid_ <= 0) return -3;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return slurp(dir_ / "stdout.txt"); }
    std::string err() const { return slurp(dir_ / "stderr.txt"); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

// The worker's arguments; the options left empty are not given.
struct Args {
    std::string ipc_name, command_block, data_prefix, log;
    std::string case_file = regions_deck;
    int timeout_ms = session_timeout_ms;

    std::vector<std::string> list() const {
        std::vector<std::string> a{"--zenvik-worker", "--case", case_file, "--ipc-name", ipc_name,
                                   "--timeout-ms", std::to_string(timeout_ms)};
        if (!command_block.empty()) a.insert(a.end(), {"--command-block", command_block});
        if (!data_prefix.empty()) a.insert(a.end(), {"--data-prefix", data_prefix});
        if (!log.empty()) a.insert(a.end(), {"--log", log});
        return a;
    }
};

// The fourteen lines of a failed attach, with the names as the worker builds them.
std::string attach_failure_lines(const Args& a, const std::string& command_block, const std::string& data_prefix) {
    return "worker_state: ERROR\nsolver_id: SPH\ncase: " + a.case_file + "\nipc_name: " + a.ipc_name +
           "\ncommand_block: " + command_block + "\ndata_prefix: " + data_prefix + "\ncommand_event: " + a.ipc_name +
           ".command_event\ndone_event: " + a.ipc_name + ".done_event\nlog: " + a.log +
           "\ntimeout_ms: " + std::to_string(a.timeout_ms) +
           "\nworker_id: quorrel\nipc_platform: WINDOWS\nerror_code: 5\nerror_message: worker IPC attach failed\n";
}

// The arguments of a worker on the derived names of `h`, its log dir/worker.log.
Args args_for(const Host& h, const fs::path& dir) {
    Args a;
    a.ipc_name = h.base();
    a.log = (dir / "worker.log").string();
    return a;
}

// The worker started and posted READY.
::testing::AssertionResult ready(const Worker& w, Host& h) {
    if (!w.started()) return ::testing::AssertionFailure() << "the worker did not start";
    if (!h.await_done(host_wait_ms)) return ::testing::AssertionFailure() << "no READY";
    return ::testing::AssertionSuccess();
}

// One log row of a worker on the derived names of `a`: the data block's columns are all
// 0 but `exported` particles, which a region export leaves in the particle header.
std::string log_row(const Args& a, int command, int step, int ack, const char* state, int error,
                    const char* message, int exported = 0) {
    const std::string& b = a.ipc_name;
    std::string s = "SPH," + a.case_file + "," + b + "," + b + ".command," + b + ".data," + b + ".command_event," + b +
                    ".done_event," + std::to_string(a.timeout_ms) + ",quorrel," + std::to_string(command) + "," +
                    std::to_string(step) + "," + std::to_string(ack) + "," + state + "," + std::to_string(exported) +
                    ",0,0,";
    for (int k = 0; k < 6; ++k) s += "0.0000000000000000e+00,";
    return s + "0," + std::to_string(error) + "," + message;
}

// The acknowledgement fields after one post of the done event; `arrived` false when
// none came in time.
struct Answer {
    bool arrived = false;
    int sequence = -1, state = -1, error = -1;
};
Answer ask(Host& host, int sequence, int command, int step_id = 0, double dt = 0.0) {
    host.send(sequence, command, step_id, dt);
    Answer a;
    a.arrived = host.await_done(host_wait_ms);
    if (a.arrived) {
        a.sequence = host.i32(block::ack_sequence);
        a.state = host.i32(block::worker_state);
        a.error = host.i32(block::error_code);
    }
    return a;
}
::testing::AssertionResult answered(const Answer& a, int sequence, int state = state_done) {
    if (a.arrived && a.sequence == sequence && a.state == state && a.error == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "command " << sequence << ": "
                                         << (a.arrived ? "answered with sequence " + std::to_string(a.sequence) +
                                                             ", state " + std::to_string(a.state) + ", error " +
                                                             std::to_string(a.error)
                                                       : std::string("no answer"));
}

class WorkerTrust : public ::testing::Test {
protected:
    void SetUp() override {
        // Short: a socket's path must fit in 108 bytes.
        root = fs::temp_directory_path() / ("qtrust" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override {
        hosts.clear();
        fs::remove_all(root);
    }
    // A host under a fresh base name, its objects made as `layout` says.
    Host& host(const Host::Layout& layout = Host::Layout()) {
        hosts.push_back(std::make_unique<Host>(unique_ipc_name("_t")));
        EXPECT_TRUE(hosts.back()->create(layout));
        return *hosts.back();
    }
    // A fresh directory for one worker.
    fs::path directory(const std::string& name) {
        const fs::path d = root / name;
        fs::create_directories(d);
        return d;
    }

    fs::path root;
    std::vector<std::unique_ptr<Host>> hosts;
};

// A worker that names another worker's data object, as its own data block or as its
// command block, fails its attach with the fourteen lines and writes nothing into that
// object; the first worker goes on serving.
TEST_F(WorkerTrust, AWorkerNamingAnotherWorkersDataObjectFailsItsAttach) {
    const struct {
        const char* what;
        bool command_is_theirs;  // else the data object is
    } cases[] = {
        {"--data-prefix naming it", false},
        {"--command-block naming it", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Host& first = host();
        const fs::path first_dir = directory(std::string("first_") + (c.command_is_theirs ? "c" : "d"));
        const Args a = args_for(first, first_dir);
        Worker w(first_dir, a.list());
        ASSERT_TRUE(ready(w, first));
        ASSERT_TRUE(answered(ask(first, 1, cmd::init), 1));
        const std::vector<unsigned char> zeros(data_block_bytes, 0);

        // The intruder's own objects: the semaphores and whichever block is not the first's.
        Host& second = host(c.command_is_theirs ? layout_with(false, true, true, true)
                                                : layout_with(true, false, true, true));
        const fs::path second_dir = directory(std::string("second_") + (c.command_is_theirs ? "c" : "d"));
        Args b = args_for(second, second_dir);
        b.timeout_ms = 200;  // should it attach after all, it ends soon
        (c.command_is_theirs ? b.command_block : b.data_prefix) = first.data_name();
        Worker intruder(second_dir, b.list());
        ASSERT_TRUE(intruder.started());
        EXPECT_EQ(intruder.exit_status(), 2);
        EXPECT_EQ(intruder.out(), attach_failure_lines(b, c.command_is_theirs ? first.data_name() : second.command_name(),
                                                       c.command_is_theirs ? second.data_name() : first.data_name()));
        EXPECT_EQ(intruder.err(), "");
        EXPECT_EQ(second.done_posts(), 0);
        if (!c.command_is_theirs) {
            EXPECT_EQ(second.i32(block::worker_state), 0);  // no READY
        }
        // Neither READY nor an acknowledgement landed in the first worker's data block.
        EXPECT_EQ(std::memcmp(first.data_bytes(), zeros.data(), zeros.size()), 0);
        EXPECT_EQ(first.done_posts(), 0);

        EXPECT_TRUE(answered(ask(first, 2, cmd::read_input), 2));
        EXPECT_TRUE(answered(ask(first, 3, cmd::stop), 3, state_stopped));
        EXPECT_EQ(w.exit_status(), 0);
    }
}

// A host that cuts the command object below its 176 bytes and posts: the worker neither
// dies of SIGBUS nor serves from the zeros past the cut. It posts the done event once,
// logs why and exits with 2.
TEST_F(WorkerTrust, ACutCommandObjectEndsTheSession) {
    const struct {
        const char* what;
        off_t bytes;
    } cases[] = {
        {"cut to nothing", 0},
        {"cut to 100 bytes: the acknowledgement fields are gone", 100},
        {"one byte short", 175},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Host& h = host();
        const fs::path dir = directory("cut" + std::to_string(c.bytes));
        const Args a = args_for(h, dir);
        Worker w(dir, a.list());
        ASSERT_TRUE(ready(w, h));
        ASSERT_TRUE(answered(ask(h, 1, cmd::init), 1));

        const int fd = shm_open(("/" + h.command_name()).c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, c.bytes), 0);
        close(fd);
        if (c.bytes >= static_cast<off_t>(block::ack_sequence)) {
            h.send(2, cmd::init);  // the host's fields are still in the object
        } else {
            sem_t* command_event = sem_open(("/" + h.command_event_name()).c_str(), 0);
            ASSERT_NE(command_event, SEM_FAILED);
            sem_post(command_event);
            sem_close(command_event);
        }
        EXPECT_TRUE(h.await_done(host_wait_ms)) << "the host was not woken";
        EXPECT_EQ(w.exit_status(), 2);
        EXPECT_EQ(h.done_posts(), 0);  // one post, not two
        EXPECT_EQ(w.out(), "");
        EXPECT_EQ(w.err(), "");
        const std::vector<std::string> lines = crlf_lines(slurp(dir / "worker.log"));
        ASSERT_FALSE(lines.empty());
        // The command is never read: its columns are 0, the sequence the last one answered.
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
                  (std::vector<std::string>{log_row(a, 0, 0, 0, "CREATED", 0, "worker startup"),
                                            log_row(a, 0, 0, 0, "READY", 0, "worker ready"),
                                            log_row(a, 1, 0, 1, "DONE", 0, "ok"),
                                            log_row(a, 0, 0, 1, "ERROR", 5, "worker command block is too short")}));
    }
}

const char* const report_names[] = {"worker.log", "quorrel_zenvik_particle_report.csv",
                                     "quorrel_zenvik_force_report.csv"};

// Starts a worker on `h` in `dir` (its log dir/worker.log) and serves it the regions
// deck: READY, INIT, READ_INPUT and BUILD_MODEL, then more than 4 KB of rows for each
// report (sixteen ADVANCE for the log, six EXPORT_INTERFACE of five particles each, one
// IMPORT_LOADS of 24 records the export never named), then STOP. Every command must be
// answered OK and the worker must end with 0, silent; `commands` counts the commands.
void serve_the_regions_deck(Host& h, const fs::path& dir, int& commands) {
    const Args a = args_for(h, dir);
    Worker w(dir, a.list());
    ASSERT_TRUE(ready(w, h));
    int sequence = 0;
    const auto serve = [&](int command, int step_id = 0, double dt = 0.0) {
        ++sequence;
        return answered(ask(h, sequence, command, step_id, dt), sequence,
                        command == cmd::stop ? state_stopped : state_done);
    };
    for (const int c : {cmd::init, cmd::read_input, cmd::build_model}) ASSERT_TRUE(serve(c));
    for (int k = 0; k < 16; ++k) ASSERT_TRUE(serve(cmd::advance, 0, 0.0625));
    for (int k = 0; k < 6; ++k) ASSERT_TRUE(serve(cmd::export_interface, 1));
    DataView d(h.data_bytes());
    d.set_force_header(1, 4096, 24);
    ASSERT_TRUE(serve(cmd::import_loads, 1));
    ASSERT_TRUE(serve(cmd::stop));
    commands = sequence;
    EXPECT_EQ(w.exit_status(), 0);
    EXPECT_EQ(w.err(), "");
}

// A FIFO with a reader that never reads, or a socket, at a report's name: the worker
// never opens it, so no write stalls on a full pipe (4 KB here) and nothing reaches the
// reader. The session runs as without that report; the other two are written.
TEST_F(WorkerTrust, AFifoOrSocketAtAReportNameIsLeftOut) {
    for (const bool fifo : {true, false})
        for (int planted_kind = 0; planted_kind < 3; ++planted_kind) {
            const char* name = report_names[planted_kind];
            SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO with a stalled reader" : " as a socket"));
            Host& h = host();
            const fs::path dir = directory((fifo ? "f" : "s") + std::to_string(planted_kind));
            const fs::path planted = dir / name;
            int held = -1;
            if (fifo) {
                ASSERT_EQ(mkfifo(planted.c_str(), 0600), 0);
                held = open(planted.c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(held, 0);
                ASSERT_GE(fcntl(held, F_SETPIPE_SZ, 4096), 0);
            } else {
                held = socket(AF_UNIX, SOCK_STREAM, 0);
                ASSERT_GE(held, 0);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                ASSERT_LT(planted.string().size(), sizeof address.sun_path);
                std::strcpy(address.sun_path, planted.c_str());
                ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
                ASSERT_EQ(listen(held, 1), 0);
            }
            int commands = 0;
            serve_the_regions_deck(h, dir, commands);
            if (fifo) {
                char byte = 0;
                EXPECT_LE(read(held, &byte, 1), 0) << "the worker wrote into the FIFO";
                EXPECT_TRUE(fs::is_fifo(fs::symlink_status(planted)));
            } else {
                EXPECT_TRUE(fs::is_socket(fs::symlink_status(planted)));
            }
            close(held);
            // The reports that were not planted: READY, then a row per command, in the
            // log; five particle rows per export; 24 force rows.
            const std::size_t rows[] = {2 + static_cast<std::size_t>(commands), 6 * 5, 24};
            for (int k = 0; k < 3; ++k)
                if (k != planted_kind) {
                    EXPECT_EQ(crlf_lines(slurp(dir / report_names[k])).size(), 1 + rows[k]) << report_names[k];
                }
        }
}

// A report or log that another user made in the log's directory is not written into,
// not even by a worker running as root: it keeps its bytes and its owner.
TEST_F(WorkerTrust, AReportFileOfAnotherUserIsLeftOut) {
    if (geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
    constexpr uid_t other = 65534;  // nobody
    for (int planted_kind = 0; planted_kind < 3; ++planted_kind) {
        const char* name = report_names[planted_kind];
        SCOPED_TRACE(name);
        Host& h = host();
        const fs::path dir = directory("o" + std::to_string(planted_kind));
        const fs::path planted = dir / name;
        const std::string bytes = "a row of another user's\r\n";
        std::ofstream(planted, std::ios::binary) << bytes;
        ASSERT_EQ(chown(planted.c_str(), other, other), 0);
        int commands = 0;
        serve_the_regions_deck(h, dir, commands);
        EXPECT_EQ(slurp(planted), bytes);
        struct stat info {};
        ASSERT_EQ(stat(planted.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, other);
    }
}

// Two workers with their own objects started in one directory with the default report
// names: the first keeps all three files and its rows stay whole and its own; the second
// serves its host just as well, leaves the files alone and says so once for each.
TEST_F(WorkerTrust, TwoWorkersInOneDirectoryKeepTheirRowsApart) {
    const fs::path dir = directory("shared");
    Host& h1 = host();
    Host& h2 = host();
    Args a1, a2;
    a1.ipc_name = h1.base();
    a2.ipc_name = h2.base();
    Worker w1(dir, a1.list());
    ASSERT_TRUE(ready(w1, h1)) << "the first";
    // The second writes its start-up lines elsewhere, so as not to mix them with the first's.
    const fs::path second_out = directory("second_out");
    const int out = open((second_out / "output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    Worker w2(dir, a2.list(), out);
    close(out);
    ASSERT_TRUE(ready(w2, h2)) << "the second";

    // Command by command, in turns: INIT, READ_INPUT, BUILD_MODEL, EXPORT_INTERFACE (step
    // 1 for the first, 2 for the second), STOP.
    const int commands[] = {cmd::init, cmd::read_input, cmd::build_model, cmd::export_interface, cmd::stop};
    for (int k = 0; k < 5; ++k) {
        const int state = commands[k] == cmd::stop ? state_stopped : state_done;
        EXPECT_TRUE(answered(ask(h1, k + 1, commands[k], 1), k + 1, state)) << "first";
        EXPECT_TRUE(answered(ask(h2, k + 1, commands[k], 2), k + 1, state)) << "second";
    }
    EXPECT_EQ(w1.exit_status(), 0);
    EXPECT_EQ(w2.exit_status(), 0);
    EXPECT_EQ(w1.err(), "");
    EXPECT_EQ(slurp(second_out / "output.txt"),
              "warning: worker report left out, another worker holds it: quorrel_zenvik_worker.log\n"
              "warning: worker report left out, another worker holds it: quorrel_zenvik_particle_report.csv\n"
              "warning: worker report left out, another worker holds it: quorrel_zenvik_force_report.csv\n");

    const std::vector<std::string> log = crlf_lines(slurp(dir / "quorrel_zenvik_worker.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()),
              (std::vector<std::string>{log_row(a1, 0, 0, 0, "CREATED", 0, "worker startup"),
                                        log_row(a1, 0, 0, 0, "READY", 0, "worker ready"),
                                        log_row(a1, 1, 1, 1, "DONE", 0, "ok"), log_row(a1, 2, 1, 2, "DONE", 0, "ok"),
                                        log_row(a1, 3, 1, 3, "DONE", 0, "ok"),
                                        log_row(a1, 4, 1, 4, "DONE", 0, "ok", 5),
                                        log_row(a1, 8, 1, 5, "STOPPED", 0, "ok", 5)}));
    // The first's five particles, all of step 1: First (nodes 2, 4), then Third (5, 3, 1).
    const std::vector<std::string> particles = crlf_lines(slurp(dir / "quorrel_zenvik_particle_report.csv"));
    ASSERT_EQ(particles.size(), 6u);
    const char* starts[] = {"1,1,1,2,2,", "1,1,2,4,4,", "1,3,1,5,5,", "1,3,2,3,3,", "1,3,3,1,1,"};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(particles[k + 1].rfind(starts[k], 0), 0u) << particles[k + 1];
    EXPECT_EQ(crlf_lines(slurp(dir / "quorrel_zenvik_force_report.csv")).size(), 1u);
}

// A host that reads the worker's standard output and error through a pipe and closes its
// end: the worker's lines go nowhere, and it still ends with its own status instead of
// being killed by SIGPIPE.
TEST_F(WorkerTrust, AClosedPipeOnStandardOutputDoesNotKillTheWorker) {
    const struct {
        const char* what;
        bool objects;  // the host made its objects
        std::vector<std::string> extra;
        int status;
    } cases[] = {
        {"the fourteen attach-failure lines", false, {}, 2},
        {"the error lines and the usage of a bad option", true, {"--no-such-option"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Host& h = host(c.objects ? Host::Layout() : layout_with(false, false, false, false));
        const fs::path dir = directory(std::string("pipe") + std::to_string(c.status));
        std::vector<std::string> args = args_for(h, dir).list();
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);  // the host has gone before the first line
        Worker w(dir, args, ends[1]);
        close(ends[1]);
        ASSERT_TRUE(w.started());
        EXPECT_EQ(w.exit_status(), c.status);
    }
}

}  // namespace
}  // namespace quorrel::test
