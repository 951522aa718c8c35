// The worker's --case is read in two passes, so only a regular file can be it. A FIFO
// (with or without a writer) or a pipe is refused when READ_INPUT opens it: the host gets
// its answer, an error, instead of waiting for ever, and the session ends as after any
// failed command. Every wait is bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app_worker_data_host.h"

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;

constexpr int init = 1, read_input = 2;
constexpr int state_done = 3, state_error = 4;
constexpr int error_internal = 7;
constexpr int host_wait_ms = 10000;

const std::string drop_deck = std::string(QUORREL_TEST_DATA) + "/app/worker/app_worker_drop.inp";

TEST(WorkerCase, ACaseThatIsNoRegularFileFailsReadInputAtOnce) {
    const fs::path root = fs::temp_directory_path() / ("qcase" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    std::ifstream source(drop_deck, std::ios::binary);
    const std::string deck((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());

    enum Kind { fifo, fifo_with_writer, pipe_holding_the_deck };
    const struct {
        Kind kind;
        const char* what;
    } cases[] = {{fifo, "a FIFO without a writer"},
                 {fifo_with_writer, "a FIFO whose writer sent the deck and stays"},
                 {pipe_holding_the_deck, "a pipe holding the deck, inherited by the worker"}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = root / std::to_string(++n);
        fs::create_directories(dir);
        std::string case_file = (dir / "deck.fifo").string();
        int end = -1;  // the writer or read end the test holds while the worker runs
        if (c.kind == pipe_holding_the_deck) {
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            ASSERT_EQ(write(ends[1], deck.data(), deck.size()), static_cast<ssize_t>(deck.size()));
            close(ends[1]);
            end = ends[0];
            case_file = "/dev/fd/" + std::to_string(end);
        } else {
            ASSERT_EQ(mkfifo(case_file.c_str(), 0600), 0);
            if (c.kind == fifo_with_writer) {
                end = open(case_file.c_str(), O_RDWR | O_NONBLOCK);
                ASSERT_GE(end, 0);
                ASSERT_EQ(write(end, deck.data(), deck.size()), static_cast<ssize_t>(deck.size()));
            }
        }
        auto host = std::make_unique<Host>(unique_ipc_name("_case"));
        ASSERT_TRUE(host->create());
        {
            WorkerProcess w(*host, case_file, dir.string());
            ASSERT_TRUE(w.started());
            ASSERT_TRUE(w.ready(host_wait_ms));
            const Ack first = w.command(1, init);
            EXPECT_EQ(first.sequence, 1);
            EXPECT_EQ(first.state, state_done);
            const Ack read = w.command(2, read_input, 0, 0.0, host_wait_ms);
            EXPECT_EQ(read.sequence, 2) << "READ_INPUT was not answered";
            EXPECT_EQ(read.state, state_error);
            EXPECT_EQ(read.error, error_internal);
            EXPECT_EQ(read.message, "INTERNAL");
            EXPECT_EQ(w.exit_status(host_wait_ms), 2);
        }
        if (end >= 0) close(end);
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace quorrel::test
