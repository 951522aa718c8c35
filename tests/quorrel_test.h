// The fixture every test derives from: each test starts with every module as the
// interface's initialise leaves it and ends with every module as finalise leaves it, so
// no state passes from one test to the next.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/sph_simd.h"
#include "input/sph_input_reader.h"
#include "lifecycle/sph_lifecycle.h"

namespace quorrel::test {

class QuorrelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sph_lifecycle_initialize();
        sph_input_reset();  // the deck reader, which only a deck read resets
    }
    void TearDown() override {
        sph_lifecycle_finalize();
        sph_simd_set_cap(SphSimd::avx512);  // tests lower it to run the narrower paths
    }
};

// A fixture run once per vector level of the pair kernels and the neighbour scan: a level
// the CPU lacks is reported as skipped, not passed.
template <class Base>
class AtEveryLevel : public Base, public ::testing::WithParamInterface<SphSimd> {
protected:
    void SetUp() override {
        Base::SetUp();
        sph_simd_set_cap(this->GetParam());
        if (sph_simd_level() != this->GetParam()) GTEST_SKIP() << "this CPU lacks the vector level";
    }
};

inline const auto every_level = ::testing::Values(SphSimd::scalar, SphSimd::avx2, SphSimd::avx512);

inline std::string level_name(const ::testing::TestParamInfo<SphSimd>& info) {
    switch (info.param) {
        case SphSimd::scalar: return "scalar";
        case SphSimd::avx2: return "avx2";
        default: return "avx512";
    }
}

// The physical lines of a text file, without their line ends (LF; a CR stays).
inline std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The comma-separated fields of one CSV line, a CR at its end dropped.
inline std::vector<std::string> csv_fields(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
        fields.push_back(line.substr(start, comma - start));
    fields.push_back(line.substr(start));
    return fields;
}

// The 52 fields of particle i's line (from 0, after the header) of a particle CSV; empty,
// with a failure, when there is no such line or it has another number of fields.
inline std::vector<std::string> particle_csv_fields(const std::vector<std::string>& lines, std::size_t i) {
    if (lines.size() < i + 2) {
        ADD_FAILURE() << "the CSV has no line for particle " << i;
        return {};
    }
    std::vector<std::string> fields = csv_fields(lines[i + 1]);
    if (fields.size() != 52u) {
        ADD_FAILURE() << "the CSV line has " << fields.size() << " fields";
        return {};
    }
    return fields;
}

// A right-aligned real field of the CSV as a number; NaN, with a failure, when it is not one.
inline double csv_real(const std::string& field) {
    const std::size_t first = field.find_first_not_of(' ');
    const char* begin = field.data() + (first == std::string::npos ? field.size() : first);
    double value = std::numeric_limits<double>::quiet_NaN();
    const auto [end, ec] = std::from_chars(begin, field.data() + field.size(), value);
    EXPECT_TRUE(ec == std::errc() && end == field.data() + field.size()) << "real field '" << field << "'";
    return value;
}

// A test that writes decks into a scratch directory of its own.
class DeckTest : public QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process id keeps apart two test runs sharing the temporary directory.
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("quorrel_" + std::string(t->test_suite_name()) + "_" + t->name() + "_" +
                std::to_string(static_cast<long>(::getpid())));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        QuorrelTest::TearDown();
    }

    std::string write_deck(const std::vector<std::string>& lines, const std::string& eol = "\n",
                           const std::string& name = "deck.inp") const {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        for (const std::string& l : lines) out << l << eol;
        return path;
    }

    // A deck of tests/decks with physical lines (from 1) replaced and lines appended.
    std::string edited(const std::string& deck, const std::vector<std::pair<int, std::string>>& edits,
                       const std::vector<std::string>& appended = {}) const {
        std::vector<std::string> lines = read_lines(std::string(QUORREL_TEST_DECKS) + "/" + deck);
        for (const auto& [number, text] : edits) lines.at(static_cast<std::size_t>(number - 1)) = text;
        lines.insert(lines.end(), appended.begin(), appended.end());
        return write_deck(lines);
    }

    std::filesystem::path dir_;
};

}  // namespace quorrel::test
