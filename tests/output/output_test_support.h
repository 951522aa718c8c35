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
#include "water/sph_water.h"

namespace quorrel::test {

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        sph_error_clear();
        sph_control_reset();
        sph_db_free();
        sph_water_reset_state();
        sph_output_reset_pvd();
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() /
               ("quorrel_output_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        sph_db_free();
        sph_output_reset_pvd();
        sph_control_reset();
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

}  // namespace quorrel::test
