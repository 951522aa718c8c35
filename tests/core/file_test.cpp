#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/sph_error.h"
#include "core/sph_file.h"
#include "core/sph_log.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

class FileOpen : public test::DeckTest {
protected:
    std::string at(const std::string& name) const { return (dir_ / name).string(); }

    void make_regular(const std::string& name, const std::string& text) const {
        std::ofstream(at(name), std::ios::binary) << text;
    }

    std::string contents(const std::string& name) const {
        std::ifstream in(at(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // A bound Unix socket at the name; its descriptor is closed at tear-down.
    void make_socket(const std::string& name) {
        socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = at(name);
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    void TearDown() override {
        if (socket_ >= 0) ::close(socket_);
        test::DeckTest::TearDown();
    }

    int socket_ = -1;
};

const char* name_of(SphFileOutcome outcome) {
    switch (outcome) {
        case SphFileOutcome::ok: return "ok";
        case SphFileOutcome::failed: return "failed";
        case SphFileOutcome::not_regular: return "not_regular";
        case SphFileOutcome::directory: return "directory";
        case SphFileOutcome::locked: return "locked";
        case SphFileOutcome::foreign: return "foreign";
    }
    return "?";
}

}  // namespace

// What is at the name decides the outcome of a write; none of these waits.
TEST_F(FileOpen, WritesTakeRegularFilesAndDevicesOnly) {
    make_regular("old.txt", "old contents");
    make_regular("target.txt", "the link's target");
    std::filesystem::create_symlink(at("target.txt"), at("link.txt"));
    std::filesystem::create_symlink(at("nowhere.txt"), at("dangling.txt"));
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(at("adir"));
    make_socket("sock");

    struct Case {
        std::string path;
        SphFileOutcome expected;
    };
    const Case cases[] = {
        {at("new.txt"), SphFileOutcome::ok},            // created
        {at("old.txt"), SphFileOutcome::ok},            // emptied and written
        {"/dev/null", SphFileOutcome::ok},              // a device, in place
        {at("link.txt"), SphFileOutcome::not_regular},  // a link is never followed
        {at("dangling.txt"), SphFileOutcome::not_regular},  // nor a link to nothing, which would create its target
        {at("fifo"), SphFileOutcome::not_regular},      // no reader: would wait forever
        {at("sock"), SphFileOutcome::not_regular},
        {at("adir"), SphFileOutcome::directory},
        {at("missing/x.txt"), SphFileOutcome::failed},
        {"", SphFileOutcome::failed},
    };
    for (const Case& c : cases) {
        SphFileOutcome outcome = SphFileOutcome::failed;
        const int fd = sph_file_open_write(c.path, SphWriteOptions{}, &outcome);
        EXPECT_EQ(name_of(outcome), std::string(name_of(c.expected))) << c.path;
        EXPECT_EQ(fd >= 0, c.expected == SphFileOutcome::ok) << c.path;
        if (fd >= 0) {
            EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.path;
            EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << c.path;
            EXPECT_EQ(::write(fd, "new", 3), 3) << c.path;
            ::close(fd);
        }
    }
    EXPECT_EQ(contents("old.txt"), "new");
    EXPECT_EQ(contents("target.txt"), "the link's target");
    EXPECT_TRUE(std::filesystem::is_symlink(at("link.txt")));
    EXPECT_FALSE(std::filesystem::exists(at("nowhere.txt")));
}

// A FIFO that has a reader opens without waiting, and is refused all the same: a reader
// that leaves would raise SIGPIPE at the next write.
TEST_F(FileOpen, AFifoWithAReaderIsRefusedToo) {
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    const int reader = ::open(at("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    SphFileOutcome outcome = SphFileOutcome::ok;
    EXPECT_EQ(sph_file_open_write(at("fifo"), SphWriteOptions{}, &outcome), -1);
    EXPECT_STREQ(name_of(outcome), "not_regular");
    ::close(reader);
}

// Reading takes regular files, through links too, and refuses every other kind at once.
TEST_F(FileOpen, ReadsTakeRegularFilesOnly) {
    make_regular("deck.inp", "*NODE\n");
    std::filesystem::create_symlink(at("deck.inp"), at("link.inp"));
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(at("adir"));
    struct Case {
        std::string path;
        SphFileOutcome expected;
    };
    const Case cases[] = {
        {at("deck.inp"), SphFileOutcome::ok},
        {at("link.inp"), SphFileOutcome::ok},
        {at("fifo"), SphFileOutcome::not_regular},  // two passes can never read a FIFO
        {"/dev/zero", SphFileOutcome::not_regular},
        {"/dev/null", SphFileOutcome::not_regular},
        {at("adir"), SphFileOutcome::directory},
        {at("missing.inp"), SphFileOutcome::failed},
    };
    for (const Case& c : cases) {
        SphFileOutcome outcome = SphFileOutcome::failed;
        const int fd = sph_file_open_read(c.path, &outcome);
        EXPECT_STREQ(name_of(outcome), name_of(c.expected)) << c.path;
        EXPECT_EQ(fd >= 0, c.expected == SphFileOutcome::ok) << c.path;
        if (fd >= 0) {
            char first = 0;
            EXPECT_EQ(::read(fd, &first, 1), 1);
            EXPECT_EQ(first, '*');
            ::close(fd);
        }
    }
}

// A locked open empties nothing until the lock is held: a second writer that finds the
// file locked leaves the first one's contents alone.
TEST_F(FileOpen, ALockedFileIsLeftAsItIs) {
    SphWriteOptions locked;
    locked.lock = true;
    const int first = sph_file_open_write(at("log.csv"), locked);
    ASSERT_GE(first, 0);
    ASSERT_EQ(::write(first, "row 1\n", 6), 6);
    SphFileOutcome outcome = SphFileOutcome::ok;
    EXPECT_EQ(sph_file_open_write(at("log.csv"), locked, &outcome), -1);
    EXPECT_STREQ(name_of(outcome), "locked");
    EXPECT_EQ(contents("log.csv"), "row 1\n");
    ::close(first);
    const int again = sph_file_open_write(at("log.csv"), locked);
    EXPECT_GE(again, 0);
    if (again >= 0) ::close(again);
    EXPECT_EQ(contents("log.csv"), "");
}

// Appending keeps what is there; an own-only open leaves out another user's file.
TEST_F(FileOpen, AppendAndOwnerRules) {
    make_regular("log.txt", "first\n");
    SphWriteOptions append;
    append.truncate = false;
    append.append = true;
    const int fd = sph_file_open_write(at("log.txt"), append);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "second\n", 7), 7);
    ::close(fd);
    EXPECT_EQ(contents("log.txt"), "first\nsecond\n");

    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    make_regular("planted.csv", "forged\n");
    ASSERT_EQ(::chown(at("planted.csv").c_str(), 65534, 65534), 0);
    SphWriteOptions own;
    own.own_only = true;
    SphFileOutcome outcome = SphFileOutcome::ok;
    EXPECT_EQ(sph_file_open_write(at("planted.csv"), own, &outcome), -1);
    EXPECT_STREQ(name_of(outcome), "foreign");
    EXPECT_EQ(contents("planted.csv"), "forged\n");
}

// The log keeps the same rule: a regular file is extended, /dev/null written in place, and
// a link, a FIFO (with or without a reader) or a socket at its name is refused at once,
// with the log's message naming the file. The log stays closed then.
TEST_F(FileOpen, TheLogOpensRegularFilesAndDevicesOnly) {
    make_regular("old.log", "kept\r\n");
    make_regular("target.txt", "the link's target");
    std::filesystem::create_symlink(at("target.txt"), at("link.log"));
    ASSERT_EQ(::mkfifo(at("fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(at("read.log").c_str(), 0600), 0);
    const int reader = ::open(at("read.log").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    make_socket("sock.log");
    struct Case {
        std::string path;
        bool opens;
    };
    const Case cases[] = {
        {at("old.log"), true}, {"/dev/null", true},       {at("link.log"), false},
        {at("fifo.log"), false}, {at("read.log"), false}, {at("sock.log"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // A child first, under an alarm: an open that waits for a reader fails here.
        ASSERT_EXIT(
            {
                alarm(10);
                std::_Exit(sph_log_open(c.path) == (c.opens ? sph_success : sph_error_io) ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        sph_error_clear();
        if (c.opens) {
            ASSERT_EQ(sph_log_open(c.path), sph_success) << sph_error_message();
            EXPECT_TRUE(sph_log.sph_log_is_open);
            sph_log_info("added");
            EXPECT_EQ(sph_log_close(), sph_success);
            continue;
        }
        EXPECT_EQ(sph_log_open(c.path), sph_error_io);
        EXPECT_EQ(sph_error_message(), "failed to open log file: " + c.path + " is not a regular file");
        EXPECT_FALSE(sph_log.sph_log_is_open);
    }
    EXPECT_EQ(contents("old.log"), "kept\r\nadded\r\n");
    EXPECT_EQ(contents("target.txt"), "the link's target");
    char byte = 0;
    EXPECT_EQ(::read(reader, &byte, 1), 0) << "something was written into the FIFO";
    ::close(reader);
}
