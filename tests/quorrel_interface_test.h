// What the tests that drive the model through the interface share: the error state as a
// C caller reads it, a fixture whose interface flags start and end closed, and one that
// opens the interface in-process around each deck test.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "interface/sph_api.h"
#include "quorrel.h"
#include "quorrel_test.h"

namespace quorrel::test {

struct LastError {
    int code = -99;
    std::string message;
    bool operator==(const LastError&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const LastError& e) {
        return out << e.code << " \"" << e.message << "\"";
    }
};

// The code and message through quorrel_get_last_error, which must succeed.
inline LastError last_error() {
    int code = -99;
    char message[256];
    EXPECT_EQ(quorrel_get_last_error(&code, message, static_cast<int>(sizeof message)), 0);
    return {code, message};
}

class InterfaceTest : public QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        (void)quorrel_finalize();  // the interface's own flags start closed
    }
    void TearDown() override {
        (void)quorrel_finalize();
        QuorrelTest::TearDown();
    }

    // Initialises, reads the deck and builds it; each must succeed.
    void build(const std::string& deck) {
        ASSERT_EQ(quorrel_initialize(), 0);
        ASSERT_EQ(quorrel_read_inp(deck.c_str()), 0) << last_error().message;
        ASSERT_EQ(quorrel_build_model(), 0) << last_error().message;
    }
};

// A deck test that drives the interface's own operations: opened before each test, closed
// after it.
class ApiDeckTest : public DeckTest {
protected:
    void SetUp() override {
        DeckTest::SetUp();
        sph_initialize();
    }
    void TearDown() override {
        sph_finalize();
        DeckTest::TearDown();
    }
};

}  // namespace quorrel::test
