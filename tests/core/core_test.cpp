#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_log.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"

using namespace quorrel;

namespace {

std::string get_message(std::size_t len) {
    std::string buf(len, '\0');
    int code = -1;
    sph_error_get(code, buf.data(), buf.size());
    return buf;
}

}  // namespace

TEST(ErrorState, ClearGivesOk) {
    sph_error_set(4, "something");
    sph_error_clear();
    int code = -1;
    char buf[4];
    sph_error_get(code, buf, sizeof buf);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(std::string(buf, 4), "OK  ");
}

TEST(ErrorState, MessagesAreCutAndPadded) {
    const std::string long_text = std::string(250, 'a') + "bcdefghijk";  // 260 characters
    sph_error_set(3, long_text);
    EXPECT_EQ(sph_error_code(), 3);
    const std::string wide = get_message(1024);
    EXPECT_EQ(wide.substr(0, 256), long_text.substr(0, 256));
    EXPECT_EQ(wide.substr(256), std::string(768, ' '));
    EXPECT_EQ(get_message(8), "aaaaaaaa");
    // A later failure overwrites; a success never clears.
    sph_error_set(1, "short");
    EXPECT_EQ(get_message(7), "short  ");
}

TEST(TimeControl, ResetValues) {
    sph_control.current_time = 5.0;
    sph_control.output_enabled = true;
    sph_control_reset();
    EXPECT_EQ(sph_control.current_time, 0.0);
    EXPECT_EQ(sph_control.current_step, 0);
    EXPECT_EQ(sph_control.dt_default, 1.0e-6);
    EXPECT_EQ(sph_control.end_time, 1.0e-6);
    EXPECT_EQ(sph_control.max_steps, 1);
    EXPECT_EQ(sph_control.safety_factor, 1.0);
    EXPECT_EQ(sph_control.output_interval, 1);
    EXPECT_EQ(sph_control.output_directory, "output");
    EXPECT_FALSE(sph_control.output_enabled);
}

TEST(TimeControl, SetKeepsNonPositiveValuesOut) {
    sph_control_reset();
    sph_control_set_time(0.0, 5.0e-3, -1, 0.5);
    EXPECT_EQ(sph_control.dt_default, 1.0e-6);
    EXPECT_EQ(sph_control.max_steps, 1);
    EXPECT_EQ(sph_control.end_time, 5.0e-3);
    EXPECT_EQ(sph_control.safety_factor, 0.5);
    double t = -1;
    int32_t s = -1;
    sph_control_get_time(t, s);
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(s, 0);
}

TEST(TimeControl, ValidateReportsFirstFailureOnly) {
    struct Case {
        double dt, total;
        int32_t steps;
        double safety;
        int code;
        const char* message;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {1e-6, 1e-3, 10, 1.0, 0, "OK"},
        {0.0, 1e-3, 10, 0.0, 1, "time control DT must be positive"},
        {-1.0, -1.0, -1, -1.0, 1, "time control DT must be positive"},
        {nan, 1e-3, 10, 1.0, 1, "time control DT must be positive"},
        {1e-6, 0.0, 0, 1.0, 1, "time control TIME must be positive"},
        {1e-6, 1e-3, 0, 0.0, 1, "time control STEPS must be positive"},
        {1e-6, 1e-3, 5, -0.5, 1, "time control SAFETY must be positive"},
    };
    for (const Case& c : cases) {
        sph_error_clear();
        EXPECT_EQ(sph_control_validate_time(c.dt, c.total, c.steps, c.safety), c.code) << c.message;
        EXPECT_EQ(sph_error_message(), c.message);
    }
}

TEST(Log, ClosedLogIsHarmlessAndOpenLogAppendsCrLf) {
    sph_log_info("nothing happens");
    EXPECT_EQ(sph_log_close(), 0);
    const auto path = std::filesystem::temp_directory_path() /
                      ("quorrel_log_test_" + std::to_string(static_cast<long>(::getpid())) + ".txt");
    std::filesystem::remove(path);
    ASSERT_EQ(sph_log_open(path.string() + "   "), 0);
    sph_log_info("first line   ");
    ASSERT_EQ(sph_log_open(path.string()), 0);  // reopening closes first and appends
    sph_log_info("second");
    ASSERT_EQ(sph_log_close(), 0);
    EXPECT_FALSE(sph_log.sph_log_is_open);
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "first line\r\nsecond\r\n");
    std::filesystem::remove(path);
    sph_error_clear();
    EXPECT_EQ(sph_log_open("/nonexistent-dir/x/log.txt"), 3);
    EXPECT_EQ(sph_error_message(), "failed to open log file");
    EXPECT_FALSE(sph_log.sph_log_is_open);
}

TEST(Text, TrimsTouchOnlyBlanks) {
    struct Case {
        std::string text, left, right, both;
    };
    const Case cases[] = {
        {"  a b  ", "a b  ", "  a b", "a b"},
        {"", "", "", ""},
        {"   ", "", "", ""},
        {"x", "x", "x", "x"},
        // A tab is an ordinary character.
        {"\tx ", "\tx ", "\tx", "\tx"},
        {" \t ", "\t ", " \t", "\t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("[" + c.text + "]");
        EXPECT_EQ(sph_trim_left(c.text), c.left);
        EXPECT_EQ(sph_trim_right(c.text), c.right);
        EXPECT_EQ(sph_trim(c.text), c.both);
    }
}

TEST(Text, CaseFoldingIsAsciiLettersOnly) {
    EXPECT_EQ(sph_upper("ab-z{1`~\xe9"), "AB-Z{1`~\xe9");
    struct Case {
        std::string left, right;
        bool equal;
    };
    const Case cases[] = {
        {"Steel", "sTEEL", true},
        {"inf", "INF", true},
        {"a1_z", "A1_Z", true},
        {"", "", true},
        {"INF", "INFINITY", false},
        {"a ", "a", false},  // no blank is dropped here
        // Characters 32 below or above a letter's neighbours must not fold into them.
        {"{", "[", false},
        {"`", "@", false},
        {"\xe9", "\xc9", false},  // e and E acute in Latin-1: not ASCII letters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left + "|" + c.right);
        EXPECT_EQ(sph_equal_ignore_case(c.left, c.right), c.equal);
        EXPECT_EQ(sph_equal_ignore_case(c.right, c.left), c.equal);
    }
}

TEST(Numeric, HalfMaxBoundIsInclusiveAndRefusesNaN) {
    // Largest double 0x7FEFFFFFFFFFFFFF halved: the exponent drops by one, the mantissa stays.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(sph_half_max_double), 0x7FDFFFFFFFFFFFFFu);
    const double inf = std::numeric_limits<double>::infinity();
    const double above = std::nextafter(sph_half_max_double, inf);
    struct Case {
        double value;
        bool within;
    };
    const Case cases[] = {
        {0.0, true},
        {std::numeric_limits<double>::denorm_min(), true},
        {sph_half_max_double, true},
        {-sph_half_max_double, true},
        {above, false},
        {-above, false},
        {9.0e307, false},
        {std::numeric_limits<double>::max(), false},
        {inf, false},
        {-inf, false},
        {std::nan(""), false},
    };
    for (const Case& c : cases) EXPECT_EQ(sph_within_half_max(c.value), c.within) << c.value;
}
