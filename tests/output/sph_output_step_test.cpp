#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "output/sph_output.h"
#include "output_test_support.h"

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;

class OutputStepTest : public OutputTest {
protected:
    void use_dir() { ASSERT_EQ(sph_output_set_directory(dir_.string()), 0); }
    bool exists(const std::string& name) const { return fs::exists(dir_ / name); }
};

TEST_F(OutputStepTest, IntervalMustBePositive) {
    const struct {
        int32_t value;
        int expected_status;
        int32_t stored;
    } cases[] = {{3, 0, 3}, {0, 1, 3}, {-5, 1, 3}, {1, 0, 1}};
    for (const auto& c : cases) {
        sph_error_clear();
        EXPECT_EQ(sph_output_set_interval(c.value), c.expected_status) << c.value;
        if (c.expected_status != 0) {
            EXPECT_EQ(sph_error_message(), "output interval must be positive");
        }
        EXPECT_EQ(sph_control.output_interval, c.stored) << c.value;
        EXPECT_FALSE(sph_control.output_enabled) << "the interval never enables output";
    }
}

TEST_F(OutputStepTest, DirectoryRules) {
    const struct {
        const char* what;
        std::string value;
        int expected_status;
        const char* message;
        std::string stored;  // "" when nothing may change
    } cases[] = {
        {"empty", "", 1, "output directory must not be empty", ""},
        {"blanks", "   ", 1, "output directory must not be empty", ""},
        {"too long", std::string(257, 'd'), 1, "output directory must not exceed 256 characters", ""},
        {"too long before its blanks", std::string(257, 'd') + "  ", 1,
         "output directory must not exceed 256 characters", ""},
        {"256 characters", std::string(256, 'd'), 0, "", std::string(256, 'd')},
        {"trailing blanks dropped, leading kept", "  out/run  ", 0, "", "  out/run"},
    };
    for (const auto& c : cases) {
        sph_control_reset();
        sph_output_reset_pvd();
        ASSERT_EQ(sph_pvd_register_entry(5, 1.0, "x.vtu"), 0);
        sph_error_clear();
        EXPECT_EQ(sph_output_set_directory(c.value), c.expected_status) << c.what;
        if (c.expected_status != 0) {
            EXPECT_EQ(sph_error_message(), c.message) << c.what;
            EXPECT_EQ(sph_control.output_directory, "output") << c.what;
            EXPECT_FALSE(sph_control.output_enabled) << c.what;
            EXPECT_EQ(sph_output_vtu.pvd_entry_count, 1) << c.what;
        } else {
            EXPECT_EQ(sph_control.output_directory, c.stored) << c.what;
            EXPECT_TRUE(sph_control.output_enabled) << c.what;
            EXPECT_EQ(sph_output_vtu.pvd_entry_count, 0) << c.what;
        }
    }
}

TEST_F(OutputStepTest, StepNumbersNameTheFiles) {
    use_dir();
    const struct {
        int32_t step;
        const char* stem;
    } cases[] = {{0, "quorrel_00000000"},
                 {123, "quorrel_00000123"},
                 {99999999, "quorrel_99999999"},
                 {100000000, "quorrel_100000000"},
                 {2147483647, "quorrel_2147483647"}};
    for (const auto& c : cases) {
        ASSERT_EQ(sph_output_write_step(c.step, 0.5), 0) << c.step;
        EXPECT_TRUE(exists(std::string(c.stem) + ".csv")) << c.stem;
        EXPECT_TRUE(exists(std::string(c.stem) + ".vtu")) << c.stem;
    }
    const std::string pvd = read_file(path("quorrel.pvd"));
    for (const auto& c : cases)
        EXPECT_NE(pvd.find(std::string("file=\"") + c.stem + ".vtu\"/>"), std::string::npos) << c.stem;
}

TEST_F(OutputStepTest, NegativeStepIsRejected) {
    use_dir();
    EXPECT_EQ(sph_output_write_step(-1, 0.0), sph_error_argument);
    EXPECT_EQ(sph_error_message(), "output step must not be negative");
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_EQ(sph_output_vtu.pvd_entry_count, 0);
}

TEST_F(OutputStepTest, TrailingSlashGivesTwoSlashes) {
    ASSERT_EQ(sph_output_set_directory(dir_.string() + "/"), 0);
    ASSERT_EQ(sph_output_write_step(4, 0.0), 0);
    EXPECT_TRUE(exists("quorrel_00000004.csv"));
    EXPECT_TRUE(exists("quorrel.pvd"));
}

TEST_F(OutputStepTest, MissingDirectoryStopsAtTheParticleCsv) {
    ASSERT_EQ(sph_output_set_directory(path("absent")), 0);
    EXPECT_EQ(sph_output_write_step(1, 0.0), sph_error_io);
    EXPECT_EQ(sph_error_code(), sph_error_io);
    EXPECT_EQ(sph_error_message(), "failed to open CSV output file");
    EXPECT_FALSE(fs::exists(dir_ / "absent"));
    EXPECT_EQ(sph_output_vtu.pvd_entry_count, 0);
}

TEST_F(OutputStepTest, UnwritableFilesStopTheStepWhereTheyFail) {
    // A directory standing where a file should go cannot be opened for writing.
    const struct {
        const char* blocker;
        const char* message;
        bool csv_written;
        bool vtu_written;
        int32_t pvd_entries;
    } cases[] = {
        {"quorrel_00000002.csv", "failed to open CSV output file", false, false, 0},
        {"quorrel_00000002.vtu", "failed to open VTU output file", true, false, 0},
        {"quorrel.pvd", "failed to open PVD output file", true, true, 1},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_);
        fs::create_directories(dir_ / c.blocker);
        use_dir();
        sph_error_clear();
        EXPECT_EQ(sph_output_write_step(2, 1.0), sph_error_io) << c.blocker;
        EXPECT_EQ(sph_error_message(), c.message) << c.blocker;
        EXPECT_EQ(fs::is_regular_file(dir_ / "quorrel_00000002.csv"), c.csv_written) << c.blocker;
        EXPECT_EQ(fs::is_regular_file(dir_ / "quorrel_00000002.vtu"), c.vtu_written) << c.blocker;
        EXPECT_EQ(sph_output_vtu.pvd_entry_count, c.pvd_entries) << c.blocker;
    }
}

// What stands at a step file's name decides whether it is written: a link (to a file or
// to nothing), a FIFO (with or without a reader) or a socket is left as it is and stops
// the step with the file's message and its name, so nothing is written through a planted
// link and nothing waits for a reader. A device is written in place, and the output
// directory may itself be a link.
TEST_F(OutputStepTest, OnlyRegularFilesAndDevicesAreWrittenAtAStepName) {
    const struct {
        const char* name;
        const char* message;
        bool csv_written;
        bool summary_written;
        bool vtu_written;
        int32_t pvd_entries;
    } names[] = {
        {"quorrel_00000002.csv", "failed to open CSV output file", false, false, false, 0},
        {"quorrel_00000002_summary.csv", "failed to open summary output file", true, false, false, 0},
        {"quorrel_00000002.vtu", "failed to open VTU output file", true, true, false, 0},
        {"quorrel.pvd", "failed to open PVD output file", true, true, true, 1},
    };
    enum Kind { link_to_file, dangling_link, fifo, fifo_with_reader, socket_file };
    const struct {
        Kind kind;
        const char* what;
    } kinds[] = {{link_to_file, "a link to a file"},
                 {dangling_link, "a link to nothing"},
                 {fifo, "a FIFO without a reader"},
                 {fifo_with_reader, "a FIFO with a reader"},
                 {socket_file, "a socket"}};
    const fs::path run = dir_ / "run";
    const fs::path elsewhere = dir_ / "elsewhere.txt";
    for (const auto& n : names) {
        for (const auto& k : kinds) {
            SCOPED_TRACE(std::string(n.name) + " is " + k.what);
            fs::remove_all(run);
            fs::remove(elsewhere);
            fs::remove(dir_ / "nowhere.txt");
            fs::create_directories(run);
            const fs::path at = run / n.name;
            int reader = -1, sock = -1;
            switch (k.kind) {
                case link_to_file:
                    std::ofstream(elsewhere) << "not ours";
                    fs::create_symlink(elsewhere, at);
                    break;
                case dangling_link: fs::create_symlink(dir_ / "nowhere.txt", at); break;
                case fifo: ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); break;
                case fifo_with_reader:
                    ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
                    reader = ::open(at.c_str(), O_RDONLY | O_NONBLOCK);
                    ASSERT_GE(reader, 0);
                    break;
                case socket_file: {
                    sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
                    ASSERT_GE(sock, 0);
                    sockaddr_un address{};
                    address.sun_family = AF_UNIX;
                    ASSERT_LT(at.string().size(), sizeof address.sun_path);
                    std::memcpy(address.sun_path, at.c_str(), at.string().size() + 1);
                    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
                    break;
                }
            }
            ASSERT_EQ(sph_output_set_directory(run.string()), 0);
            // A child first, under an alarm: a write that waits for a reader fails here
            // instead of hanging the suite.
            ASSERT_EXIT(
                {
                    alarm(10);
                    std::_Exit(sph_output_write_step(2, 1.0) == sph_error_io ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
            sph_error_clear();
            EXPECT_EQ(sph_output_write_step(2, 1.0), sph_error_io);
            EXPECT_EQ(sph_error_message(), std::string(n.message) + ": " + at.string() + " is not a regular file");
            EXPECT_EQ(fs::is_regular_file(fs::symlink_status(run / "quorrel_00000002.csv")), n.csv_written);
            EXPECT_EQ(fs::is_regular_file(fs::symlink_status(run / "quorrel_00000002_summary.csv")), n.summary_written);
            EXPECT_EQ(fs::is_regular_file(fs::symlink_status(run / "quorrel_00000002.vtu")), n.vtu_written);
            EXPECT_EQ(sph_output_vtu.pvd_entry_count, n.pvd_entries);
            // What was planted is still there, and what a link names is untouched.
            const fs::file_status planted = fs::symlink_status(at);
            EXPECT_EQ(fs::is_symlink(planted), k.kind == link_to_file || k.kind == dangling_link);
            EXPECT_EQ(fs::is_fifo(planted), k.kind == fifo || k.kind == fifo_with_reader);
            EXPECT_EQ(fs::is_socket(planted), k.kind == socket_file);
            if (k.kind == link_to_file) {
                EXPECT_EQ(read_file(elsewhere), "not ours");
            }
            EXPECT_FALSE(fs::exists(dir_ / "nowhere.txt"));
            if (reader >= 0) {
                char byte = 0;
                EXPECT_EQ(::read(reader, &byte, 1), 0) << "something was written into the FIFO";
                ::close(reader);
            }
            if (sock >= 0) ::close(sock);
        }
    }

    // The output directory named through a link, and a character device at a step name
    // (/dev/null's numbers; making one needs root): the step is written as ever.
    fs::remove_all(run);
    fs::create_directories(run);
    fs::create_symlink(run, dir_ / "run_link");
    const bool device = ::geteuid() == 0 && ::mknod((run / "quorrel.pvd").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    ASSERT_EQ(sph_output_set_directory((dir_ / "run_link").string()), 0);
    EXPECT_EQ(sph_output_write_step(2, 1.0), 0) << sph_error_message();
    EXPECT_TRUE(fs::is_regular_file(run / "quorrel_00000002.csv"));
    EXPECT_TRUE(fs::is_regular_file(run / "quorrel_00000002_summary.csv"));
    EXPECT_TRUE(fs::is_regular_file(run / "quorrel_00000002.vtu"));
    EXPECT_EQ(fs::is_character_file(run / "quorrel.pvd"), device);
    EXPECT_EQ(fs::is_regular_file(run / "quorrel.pvd"), !device);
}

TEST_F(OutputStepTest, SameStepTwiceKeepsOneEntry) {
    use_dir();
    ASSERT_EQ(sph_output_write_step(7, 1.0), 0);
    ASSERT_EQ(sph_output_write_step(7, 2.0), 0);
    const std::string pvd = read_file(path("quorrel.pvd"));
    EXPECT_EQ(pvd.find("<DataSet"), pvd.rfind("<DataSet"));
    EXPECT_NE(pvd.find("timestep=\"2.0000000000000000E+00\""), std::string::npos);
}

TEST_F(OutputStepTest, NewDirectoryStartsANewCollection) {
    use_dir();
    ASSERT_EQ(sph_output_write_step(1, 1.0), 0);
    fs::create_directories(dir_ / "second");
    ASSERT_EQ(sph_output_set_directory(path("second")), 0);
    ASSERT_EQ(sph_output_write_step(2, 2.0), 0);
    const std::string pvd = read_file(dir_ / "second" / "quorrel.pvd");
    EXPECT_EQ(pvd.find("quorrel_00000001.vtu"), std::string::npos);
    EXPECT_NE(pvd.find("quorrel_00000002.vtu"), std::string::npos);
}

}  // namespace
}  // namespace quorrel::test
