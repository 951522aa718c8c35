// An ADVANCE whose step carries a particle beyond the double range is the command that
// fails: the worker answers it with ERROR and INTERNAL and ends the session, rather than
// answering DONE and leaving the next command to meet the infinite position.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app_worker_data_host.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using test::Ack;
using test::Host;
using test::WorkerProcess;

enum Command { INIT = 1, READ_INPUT = 2, BUILD_MODEL = 3, EXPORT = 4, ADVANCE = 6, STOP = 8 };
constexpr int state_done = 3, state_error = 4;
constexpr int error_internal = 7;

// The drop deck: one water particle at z = 2, at rest, under a body force of 8 downwards.
const std::string drop_deck = std::string(QUORREL_TEST_DATA) + "/app/worker/app_worker_drop.inp";

::testing::AssertionResult acked(const Ack& ack, int sequence, int state, int error, const char* message) {
    if (ack.sequence == sequence && ack.state == state && ack.error == error && ack.message == message)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "command " << sequence << " acknowledged as sequence " << ack.sequence
                                         << ", state " << ack.state << ", error " << ack.error << " \""
                                         << ack.message << "\"";
}

class WorkerOverflow : public ::testing::Test {
protected:
    fs::path dir;
    std::unique_ptr<Host> host;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("quorrel_overflow_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "output");
        host = std::make_unique<Host>(test::unique_ipc_name("o"));
        ASSERT_TRUE(host->create());
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(dir);
    }
};

// A step of 1/16 moves the particle by 1/64; one of 1e300 would put it at
// z = 2 + 1e300 (0.5 * 1e300 * -8) = -inf.
TEST_F(WorkerOverflow, AnAdvanceThatSendsAParticleToInfinityIsTheCommandThatFails) {
    WorkerProcess w(*host, drop_deck, dir.string());
    ASSERT_TRUE(w.started());
    ASSERT_TRUE(w.ready());
    int sequence = 0;
    for (const int command : {INIT, READ_INPUT, BUILD_MODEL}) {
        ++sequence;
        ASSERT_TRUE(acked(w.command(sequence, command), sequence, state_done, 0, "OK"));
    }
    ASSERT_TRUE(acked(w.command(4, ADVANCE, 1, 0.0625), 4, state_done, 0, "OK"));
    ASSERT_TRUE(acked(w.command(5, EXPORT, 2), 5, state_done, 0, "OK"));
    EXPECT_TRUE(acked(w.command(6, ADVANCE, 2, 1e300), 6, state_error, error_internal, "INTERNAL"));
    EXPECT_EQ(w.exit_status(), 2);
}

}  // namespace
}  // namespace quorrel
