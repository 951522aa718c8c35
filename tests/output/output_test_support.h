// Shared fixture pieces of the step output tests: a clean model and a
// private scratch directory per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "output/sph_output_vtu.h"
#include "quorrel_test.h"
#include "water/sph_water.h"

namespace quorrel::test {

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OutputTest : public QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() /
               ("quorrel_output_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        QuorrelTest::TearDown();
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

}  // namespace quorrel::test
