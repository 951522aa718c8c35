#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <limits>
#include <string>

#include "output/sph_output_file.h"

namespace quorrel {
namespace {

std::string field_of(double value) {
    char field[sph_output_real_width];
    sph_output_format_real(value, field);
    return std::string(field, sizeof field);
}

struct RealCase {
    const char* what;
    double value;
    const char* expected;
};

// Expected fields worked out from the exact binary value of each double,
// rounded to 17 significant digits.
const RealCase real_cases[] = {
    {"zero", 0.0, "  0.0000000000000000E+00"},
    {"negative zero", -0.0, "  0.0000000000000000E+00"},
    {"one", 1.0, "  1.0000000000000000E+00"},
    {"minus one", -1.0, " -1.0000000000000000E+00"},
    {"minus two and a half", -2.5, " -2.5000000000000000E+00"},
    {"large integer", 123456789.0, "  1.2345678900000000E+08"},
    {"one tenth rounds up", 0.1, "  1.0000000000000001E-01"},
    {"two thirds rounds up", 2.0 / 3.0, "  6.6666666666666663E-01"},
    {"just below one", 0.99999999999999988898, "  9.9999999999999989E-01"},
    {"1e99 stays two-digit", 1e99, "  9.9999999999999997E+98"},
    {"1e100 three-digit", 1e100, "  1.0000000000000000+100"},
    {"1e-100 three-digit", 1e-100, "  1.0000000000000000-100"},
    {"1e-300", 1.0e-300, "  1.0000000000000000-300"},
    {"largest normal", std::numeric_limits<double>::max(), "  1.7976931348623157+308"},
    {"minus largest normal", -std::numeric_limits<double>::max(), " -1.7976931348623157+308"},
    {"smallest normal", std::numeric_limits<double>::min(), "  2.2250738585072014-308"},
    {"smallest subnormal", std::numeric_limits<double>::denorm_min(), "  4.9406564584124654-324"},
    {"subnormal 2^-1060", std::ldexp(1.0, -1060), "  8.0947715414629834-320"},
    {"positive infinity", std::numeric_limits<double>::infinity(), "                Infinity"},
    {"negative infinity", -std::numeric_limits<double>::infinity(), "               -Infinity"},
    {"not a number", std::numeric_limits<double>::quiet_NaN(), "                     NaN"},
};

TEST(OutputRealFormat, TableOfValues) {
    for (const RealCase& c : real_cases) {
        const std::string got = field_of(c.value);
        EXPECT_EQ(got.size(), sph_output_real_width) << c.what;
        EXPECT_EQ(got, c.expected) << c.what;
    }
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

// The C library's %.16E, with the letter dropped before a three-digit exponent.
std::string reference_field(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16E", value);
    std::string s(text);
    const std::size_t e = s.find('E');
    if (s.size() - e - 2 == 3) s.erase(e, 1);
    return std::string(sph_output_real_width - s.size(), ' ') + s;
}

TEST(OutputRealFormat, AgreesWithTheCLibraryAcrossMagnitudes) {
    std::mt19937_64 random(12345);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int e10 = -12; e10 <= 20; ++e10) {
        const double scale = std::pow(10.0, e10);
        // Powers of ten and their neighbours, where the decimal exponent changes.
        for (double v : {scale, std::nextafter(scale, 0.0), std::nextafter(scale, 1e300)}) {
            EXPECT_EQ(field_of(v), reference_field(v)) << v;
            EXPECT_EQ(field_of(-v), reference_field(-v)) << -v;
        }
        for (int k = 0; k < 2000; ++k) {
            const double v = mantissa(random) * scale;
            ASSERT_EQ(field_of(v), reference_field(v)) << v;
        }
    }
    // Values just below a power of ten that round up to it.
    for (double v : {9.99999999999999999e5, 0.99999999999999999, 99999999999999999.0, 9.999999999999999e-7})
        EXPECT_EQ(field_of(v), reference_field(v)) << v;
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

TEST(OutputRealFormat, VtkFormKeepsTheExponentLetterAndReadableInfinities) {
    const RealCase cases[] = {
        {"two-digit exponent unchanged", -2.5, " -2.5000000000000000E+00"},
        {"zero unchanged", -0.0, "  0.0000000000000000E+00"},
        {"three-digit exponent", 1.0e-300, " 1.0000000000000000E-300"},
        {"negative three-digit exponent", -std::numeric_limits<double>::max(), "-1.7976931348623157E+308"},
        {"subnormal", std::numeric_limits<double>::denorm_min(), " 4.9406564584124654E-324"},
        {"positive infinity", std::numeric_limits<double>::infinity(), "                     inf"},
        {"negative infinity", -std::numeric_limits<double>::infinity(), "                    -inf"},
        {"not a number", std::numeric_limits<double>::quiet_NaN(), "                     NaN"},
    };
    for (const RealCase& c : cases) {
        char field[sph_output_real_width];
        sph_output_format_real_vtk(c.value, field);
        EXPECT_EQ(std::string(field, sizeof field), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace quorrel
