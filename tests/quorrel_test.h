// The fixture every test derives from: each test starts with every module as the
// interface's initialise leaves it and ends with every module as finalise leaves it, so
// no state passes from one test to the next.
#pragma once

#include <gtest/gtest.h>

#include "core/sph_simd.h"
#include "input/sph_input_reader.h"
#include "interface/sph_lifecycle.h"

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

}  // namespace quorrel::test
