// The worker's transport in-process: the names it builds, the rehearsal platform, and
// attaching to objects a test host made, down to the bytes it writes and the posts it
// takes and gives.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "app_worker_host.h"
#include "sph_worker_ipc.h"
#include "sph_worker_protocol.h"

namespace quorrel {
namespace {

using test::Host;
namespace block = test::block;

struct Names {
    std::string ipc_name, command_block, data_prefix, command_event, done_event;
};

Names names_of(const quorrel_worker_ipc_t& ipc) {
    return {ipc.ipc_name, ipc.command_block, ipc.data_prefix, ipc.command_event, ipc.done_event};
}

TEST(WorkerIpcNames, DerivedAndGivenNames) {
    const struct {
        const char *base, *command_block, *data_prefix;
        Names want;
    } cases[] = {
        {"ab", nullptr, nullptr, {"ab", "ab.command", "ab.data", "ab.command_event", "ab.done_event"}},
        // Empty options count as not given.
        {"ab", "", "", {"ab", "ab.command", "ab.data", "ab.command_event", "ab.done_event"}},
        // The options name the mappings whole, with no suffix; the events keep the base.
        {"ab", "blk", "payload", {"ab", "blk", "payload", "ab.command_event", "ab.done_event"}},
        {"ab", "x.data", nullptr, {"ab", "x.data", "ab.data", "ab.command_event", "ab.done_event"}},
    };
    for (const auto& c : cases) {
        quorrel_worker_ipc_t ipc;
        std::memset(&ipc, 0x5A, sizeof ipc);
        ASSERT_EQ(quorrel_worker_ipc_init(&ipc, c.base, c.command_block, c.data_prefix), 0);
        const Names got = names_of(ipc);
        EXPECT_EQ(got.ipc_name, c.want.ipc_name);
        EXPECT_EQ(got.command_block, c.want.command_block);
        EXPECT_EQ(got.data_prefix, c.want.data_prefix);
        EXPECT_EQ(got.command_event, c.want.command_event);
        EXPECT_EQ(got.done_event, c.want.done_event);
        // A fresh record: nothing open, nothing counted.
        EXPECT_EQ(ipc.platform, QUORREL_WORKER_IPC_PLATFORM_UNSUPPORTED);
        EXPECT_EQ(ipc.opened, 0);
        EXPECT_EQ(ipc.timed_out, 0);
        EXPECT_EQ(ipc.ready_written + ipc.done_written + ipc.command_event_waits + ipc.done_event_signals +
                      ipc.reset_attempts,
                  0);
        EXPECT_EQ(ipc.command_view, nullptr);
        EXPECT_EQ(ipc.data_view, nullptr);
        EXPECT_EQ(ipc.command_event_handle, nullptr);
        EXPECT_EQ(ipc.done_event_handle, nullptr);
        EXPECT_EQ(ipc.command_mapping.fd, -1);
        EXPECT_EQ(ipc.data_mapping.fd, -1);
    }
}

TEST(WorkerIpcNames, LengthLimitsAndRefusedNames) {
    // The longest derived name is base + ".command_event", 14 characters more than the
    // base: 113 + 14 = 127 fits, 114 + 14 = 128 does not.
    const std::string base113(113, 'b'), base114(114, 'b');
    const std::string option127(127, 'o'), option128(128, 'o');
    const struct {
        const char* what;
        const char *base, *command_block, *data_prefix;
        int result;
    } cases[] = {
        {"base of 113", base113.c_str(), nullptr, nullptr, 0},
        {"base of 114", base114.c_str(), nullptr, nullptr, -1},
        {"command block of 127", "ab", option127.c_str(), nullptr, 0},
        {"command block of 128", "ab", option128.c_str(), nullptr, -1},
        {"data prefix of 127", "ab", nullptr, option127.c_str(), 0},
        {"data prefix of 128", "ab", nullptr, option128.c_str(), -1},
        {"missing base", nullptr, nullptr, nullptr, -1},
        {"empty base", "", "blk", "payload", -1},
        {"slash in base", "a/b", nullptr, nullptr, -1},
        {"leading slash", "/ab", nullptr, nullptr, -1},
        {"slash in command block", "ab", "x/y", nullptr, -1},
        {"slash in data prefix", "ab", nullptr, "/payload", -1},
    };
    for (const auto& c : cases) {
        quorrel_worker_ipc_t ipc;
        EXPECT_EQ(quorrel_worker_ipc_init(&ipc, c.base, c.command_block, c.data_prefix), c.result) << c.what;
    }
    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, base113.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(std::strlen(ipc.command_event), 127u);
    EXPECT_EQ(quorrel_worker_ipc_init(nullptr, "ab", nullptr, nullptr), -1);
}

TEST(WorkerIpcMock, AttachWaitAndSignalWithoutObjects) {
    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, "ab", nullptr, nullptr), 0);
    int error = -1;
    ASSERT_EQ(quorrel_worker_ipc_open(&ipc, 1, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ipc.platform, QUORREL_WORKER_IPC_PLATFORM_MOCK);
    EXPECT_EQ(ipc.opened, 1);
    EXPECT_EQ(ipc.command_view, nullptr);
    EXPECT_EQ(ipc.command_event_handle, nullptr);
    EXPECT_STREQ(quorrel_worker_ipc_platform_name(ipc.platform), "MOCK");

    error = -1;
    EXPECT_EQ(quorrel_worker_ipc_write_ready(&ipc, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ipc.ready_written, 1);
    // No command view to read from.
    int sequence = -1, command = -1, step_id = -1;
    double dt = -1.0;
    EXPECT_EQ(quorrel_worker_ipc_read_command(&ipc, &sequence, &command, &dt, &step_id, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_UNSUPPORTED);
    EXPECT_EQ(sequence, -1);
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 10, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(quorrel_worker_ipc_signal_done(&ipc, &error), 0);
    EXPECT_EQ(ipc.done_event_signals, 1);

    // A time-out of 0 or less fails at once and sticks until an acknowledgement that is not
    // a time-out.
    for (int timeout : {0, -5}) {
        ipc.timed_out = 0;
        EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, timeout, &error), -1) << timeout;
        EXPECT_EQ(error, QUORREL_WORKER_ERROR_TIMEOUT) << timeout;
        EXPECT_EQ(ipc.timed_out, 1) << timeout;
    }
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 10, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_TIMEOUT);
    EXPECT_EQ(quorrel_worker_ipc_write_done(&ipc, 4, QUORREL_WORKER_STATE_ERROR, QUORREL_WORKER_ERROR_TIMEOUT), 0);
    EXPECT_EQ(ipc.timed_out, 1);
    EXPECT_EQ(quorrel_worker_ipc_write_done(&ipc, 5, QUORREL_WORKER_STATE_DONE, QUORREL_WORKER_ERROR_OK), 0);
    EXPECT_EQ(ipc.timed_out, 0);
    EXPECT_EQ(ipc.command_sequence, 5);
    EXPECT_EQ(ipc.command_id, QUORREL_WORKER_STATE_DONE);
    EXPECT_EQ(ipc.done_written, 2);
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 10, &error), 0);
    EXPECT_EQ(ipc.command_event_waits, 2);

    // Resetting an event is never done: refused and counted.
    EXPECT_EQ(quorrel_worker_ipc_reset_event(&ipc, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_CONFLICT);
    EXPECT_EQ(ipc.reset_attempts, 1);

    EXPECT_EQ(quorrel_worker_ipc_close(&ipc), 0);
    EXPECT_EQ(ipc.opened, 0);
    EXPECT_EQ(quorrel_worker_ipc_close(nullptr), -1);
}

TEST(WorkerIpcMock, NothingWorksBeforeAttaching) {
    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, "ab", nullptr, nullptr), 0);
    int error = -1;
    EXPECT_EQ(quorrel_worker_ipc_write_ready(&ipc, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_IPC);
    EXPECT_EQ(quorrel_worker_ipc_write_done(&ipc, 1, 3, 0), -1);
    int sequence = 0, command = 0, step_id = 0;
    double dt = 0.0;
    error = -1;
    EXPECT_EQ(quorrel_worker_ipc_read_command(&ipc, &sequence, &command, &dt, &step_id, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_IPC);
    error = -1;
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 10, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_IPC);
    error = -1;
    EXPECT_EQ(quorrel_worker_ipc_signal_done(&ipc, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_IPC);
    EXPECT_EQ(ipc.ready_written + ipc.done_written + ipc.command_event_waits + ipc.done_event_signals, 0);
    const struct {
        int platform;
        const char* name;
    } platforms[] = {{0, "UNSUPPORTED"}, {1, "WINDOWS"}, {2, "MOCK"}, {3, "UNSUPPORTED"}, {-1, "UNSUPPORTED"}};
    for (const auto& p : platforms) EXPECT_STREQ(quorrel_worker_ipc_platform_name(p.platform), p.name) << p.platform;
}

// Open descriptors of this process.
int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

class WorkerIpcAttach : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& base : bases) EXPECT_TRUE(test::shm_entries_with(base).empty()) << base;
    }
    std::string fresh_name() {
        bases.push_back(test::unique_ipc_name("_ipc"));
        return bases.back();
    }
    std::vector<std::string> bases;
};

TEST_F(WorkerIpcAttach, ReadyAcknowledgementsAndCommandsByByteOffset) {
    Host host(fresh_name());
    Host::Layout layout;
    layout.data_bytes = test::data_block_bytes + 4096;  // the whole object is mapped
    ASSERT_TRUE(host.create(layout));
    host.set_i32(block::ack_sequence, 77);
    std::memset(host.command_bytes() + block::message, 'x', block::message_bytes);

    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, host.base().c_str(), nullptr, nullptr), 0);
    int error = -1;
    ASSERT_EQ(quorrel_worker_ipc_open(&ipc, 0, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ipc.platform, QUORREL_WORKER_IPC_PLATFORM_WINDOWS);
    EXPECT_EQ(ipc.opened, 1);
    ASSERT_NE(ipc.data_view, nullptr);
    EXPECT_EQ(ipc.data_mapping.size, test::data_block_bytes + 4096);
    // The data view and the host's mapping are the same bytes, to the last one.
    static_cast<unsigned char*>(ipc.data_view)[test::data_block_bytes + 4095] = 0xC3;
    EXPECT_EQ(host.data_bytes()[test::data_block_bytes + 4095], 0xC3);

    // READY keeps the host's ack_sequence and zero-pads the message.
    ASSERT_EQ(quorrel_worker_ipc_write_ready(&ipc, &error), 0);
    EXPECT_EQ(host.i32(block::version), 1);
    EXPECT_EQ(host.i32(block::ack_sequence), 77);
    EXPECT_EQ(host.i32(block::worker_state), 1);
    EXPECT_EQ(host.i32(block::error_code), 0);
    EXPECT_EQ(host.message(), "READY");
    EXPECT_TRUE(host.message_zero_padded());
    EXPECT_EQ(host.done_posts(), 0);  // writing is not signalling

    // A command as the host writes it; the worker copies the four fields it reads.
    host.send(12, 6, 40, 0.25);
    EXPECT_EQ(host.command_posts(), 1);
    ASSERT_EQ(quorrel_worker_ipc_wait_command(&ipc, 1000, &error), 0);
    EXPECT_EQ(host.command_posts(), 0);  // one post taken
    int sequence = 0, command = 0, step_id = 0;
    double dt = 0.0;
    ASSERT_EQ(quorrel_worker_ipc_read_command(&ipc, &sequence, &command, &dt, &step_id, &error), 0);
    EXPECT_EQ(sequence, 12);
    EXPECT_EQ(command, 6);
    EXPECT_EQ(step_id, 40);
    EXPECT_EQ(dt, 0.25);

    // The acknowledgement touches only the worker's fields.
    ASSERT_EQ(quorrel_worker_ipc_write_done(&ipc, 12, 4, 2), 0);
    EXPECT_EQ(host.i32(block::ack_sequence), 12);
    EXPECT_EQ(host.i32(block::worker_state), 4);
    EXPECT_EQ(host.i32(block::error_code), 2);
    EXPECT_EQ(host.message(), "CONFLICT");
    EXPECT_TRUE(host.message_zero_padded());
    EXPECT_EQ(host.i32(block::version), 1);
    EXPECT_EQ(host.i32(block::sequence), 12);
    EXPECT_EQ(host.i32(block::command), 6);
    EXPECT_EQ(host.i32(block::substep_id), -123456);
    EXPECT_EQ(host.i32(block::iteration_id), 0x7fffffff);
    EXPECT_EQ(host.i32(block::step_id), 40);
    EXPECT_EQ(host.f64(block::dt), 0.25);
    // An error code outside the table still gets a name.
    ASSERT_EQ(quorrel_worker_ipc_write_done(&ipc, 13, 3, 99), 0);
    EXPECT_EQ(host.message(), "UNKNOWN");

    ASSERT_EQ(quorrel_worker_ipc_signal_done(&ipc, &error), 0);
    EXPECT_EQ(host.done_posts(), 1);
    ASSERT_EQ(quorrel_worker_ipc_signal_done(&ipc, &error), 0);
    EXPECT_EQ(host.done_posts(), 2);

    // A block of another version is refused and nothing is copied.
    host.send(14, 1, 0, 0.0, 2);
    ASSERT_EQ(quorrel_worker_ipc_wait_command(&ipc, 1000, &error), 0);
    sequence = -1;
    EXPECT_EQ(quorrel_worker_ipc_read_command(&ipc, &sequence, &command, &dt, &step_id, &error), -1);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_CONFLICT);
    EXPECT_EQ(sequence, -1);

    EXPECT_EQ(quorrel_worker_ipc_close(&ipc), 0);
    EXPECT_EQ(ipc.opened, 0);
    EXPECT_EQ(ipc.command_view, nullptr);
    EXPECT_EQ(ipc.data_view, nullptr);
    EXPECT_EQ(ipc.command_event_handle, nullptr);
    EXPECT_EQ(ipc.done_event_handle, nullptr);
    // The worker removed nothing.
    EXPECT_TRUE(test::shm_exists(host.command_name()));
    EXPECT_TRUE(test::sem_exists(host.done_event_name()));
}

TEST_F(WorkerIpcAttach, TimeOutWaitsItsTimeThenFailsAtOnceWithoutTakingPosts) {
    Host host(fresh_name());
    ASSERT_TRUE(host.create());
    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, host.base().c_str(), nullptr, nullptr), 0);
    int error = -1;
    ASSERT_EQ(quorrel_worker_ipc_open(&ipc, 0, &error), 0);

    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 30, &error), -1);
    const double waited = std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_TIMEOUT);
    EXPECT_EQ(ipc.timed_out, 1);
    EXPECT_GE(waited, 30.0);
    EXPECT_LT(waited, 5000.0);

    // A post now is not taken: the record remembers the time-out.
    host.send(1, 1);
    const auto t1 = clock::now();
    EXPECT_EQ(quorrel_worker_ipc_wait_command(&ipc, 2000, &error), -1);
    const double second_wait = std::chrono::duration<double, std::milli>(clock::now() - t1).count();
    EXPECT_LT(second_wait, 1000.0);
    EXPECT_EQ(error, QUORREL_WORKER_ERROR_TIMEOUT);
    EXPECT_EQ(host.command_posts(), 1);
    EXPECT_EQ(ipc.command_event_waits, 0);
    EXPECT_EQ(quorrel_worker_ipc_close(&ipc), 0);
}

TEST_F(WorkerIpcAttach, MissingOrShortObjectsFailWithNothingLeftOpen) {
    const struct {
        const char* what;
        Host::Layout layout;
    } cases[] = {
        {"no command mapping", test::layout_with(false, true, true, true)},
        {"no data mapping", test::layout_with(true, false, true, true)},
        {"no command event", test::layout_with(true, true, false, true)},
        {"no done event", test::layout_with(true, true, true, false)},
        {"nothing at all", test::layout_with(false, false, false, false)},
        {"command mapping of 175 bytes", test::layout_with(true, true, true, true, block::bytes - 1)},
        {"data mapping of 1245343 bytes",
         test::layout_with(true, true, true, true, block::bytes, test::data_block_bytes - 1)},
    };
    for (const auto& c : cases) {
        Host host(fresh_name());
        ASSERT_TRUE(host.create(c.layout)) << c.what;
        const int descriptors = open_descriptors();
        quorrel_worker_ipc_t ipc;
        ASSERT_EQ(quorrel_worker_ipc_init(&ipc, host.base().c_str(), nullptr, nullptr), 0);
        int error = -1;
        EXPECT_EQ(quorrel_worker_ipc_open(&ipc, 0, &error), -1) << c.what;
        EXPECT_EQ(error, QUORREL_WORKER_ERROR_IPC) << c.what;
        EXPECT_EQ(ipc.opened, 0) << c.what;
        EXPECT_EQ(ipc.platform, QUORREL_WORKER_IPC_PLATFORM_WINDOWS) << c.what;
        EXPECT_EQ(ipc.command_view, nullptr) << c.what;
        EXPECT_EQ(ipc.data_view, nullptr) << c.what;
        EXPECT_EQ(ipc.command_event_handle, nullptr) << c.what;
        EXPECT_EQ(ipc.done_event_handle, nullptr) << c.what;
        EXPECT_EQ(ipc.command_mapping.fd, -1) << c.what;
        EXPECT_EQ(ipc.data_mapping.fd, -1) << c.what;
        EXPECT_EQ(open_descriptors(), descriptors) << c.what;
        // Nothing was created in place of what was missing.
        EXPECT_EQ(test::shm_exists(host.command_name()), c.layout.command) << c.what;
        EXPECT_EQ(test::shm_exists(host.data_name()), c.layout.data) << c.what;
        EXPECT_EQ(test::sem_exists(host.command_event_name()), c.layout.command_event) << c.what;
        EXPECT_EQ(test::sem_exists(host.done_event_name()), c.layout.done_event) << c.what;
    }
}

}  // namespace
}  // namespace quorrel
