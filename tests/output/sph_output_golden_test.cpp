#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "input/sph_input_reader.h"
#include "output/sph_output.h"
#include "output_test_support.h"
#include "solver/sph_solver_explicit.h"

namespace quorrel::test {
namespace {

namespace fs = std::filesystem;

class OutputGoldenTest : public OutputTest {
protected:
    void SetUp() override {
        OutputTest::SetUp();
        previous_dir_ = fs::current_path();
        // The deck names its output directory relative to the working directory.
        fs::create_directories(dir_ / "fall");
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_dir_);
        OutputTest::TearDown();
    }
    fs::path previous_dir_;
};

// Two free-falling water particles: the expected files hold the closed-form
// motion (see golden/derive_golden.py), byte for byte.
TEST_F(OutputGoldenTest, FallingParticlesMatchTheExpectedFiles) {
    ASSERT_EQ(sph_input_read(std::string(QUORREL_TEST_DECKS) + "/out_fall.inp"), 0) << sph_error_message();
    ASSERT_EQ(sph_input_build_model(), 0) << sph_error_message();
    EXPECT_TRUE(sph_control.output_enabled);
    EXPECT_EQ(sph_control.output_interval, 2);
    ASSERT_EQ(sph_solver_run_explicit(), 0) << sph_error_message();
    ASSERT_EQ(sph_control.current_step, 4);

    const fs::path expected_dir = fs::path(QUORREL_TEST_DATA) / "output" / "golden" / "fall";
    const char* files[] = {"quorrel_00000002.csv", "quorrel_00000002.vtu", "quorrel_00000004.csv",
                           "quorrel_00000004.vtu", "quorrel.pvd"};
    for (const char* name : files) {
        const std::string expected = read_file(expected_dir / name);
        ASSERT_FALSE(expected.empty()) << name;
        EXPECT_EQ(read_file(dir_ / "fall" / name), expected) << name;
    }
    // Odd steps are not output steps.
    EXPECT_FALSE(fs::exists(dir_ / "fall" / "quorrel_00000001.csv"));
    EXPECT_FALSE(fs::exists(dir_ / "fall" / "quorrel_00000003.vtu"));
}

}  // namespace
}  // namespace quorrel::test
