// Allocation failures and stray exceptions at the C and Fortran boundary. This program
// replaces the global operator new so that a test can make one chosen allocation fail
// (or every allocation, or the next nothrow one), then drives the real entry points:
// the failure must come back as a status with a message, never as an exception, and
// the interface must work again once memory is back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/sph_error.h"
#include "quorrel.h"
#include "quorrel_interface_test.h"

namespace {

enum class Throw { bad_alloc, length_error, runtime_error, not_a_std_exception };

// The plan lives in static storage: arming and checking it never allocates.
struct FaultPlan {
    long countdown = 0;         // the countdown-th throwing allocation from now fails; 0 = none
    bool persistent = false;    // once reached, every later throwing allocation fails too
    Throw kind = Throw::bad_alloc;
    bool fail_next_nothrow = false;
    bool fired = false;
};

FaultPlan plan;

void arm(long nth, Throw kind = Throw::bad_alloc, bool persistent = false) {
    plan = FaultPlan{};
    plan.countdown = nth;
    plan.kind = kind;
    plan.persistent = persistent;
}

void arm_nothrow() {
    plan = FaultPlan{};
    plan.fail_next_nothrow = true;
}

// Disarms and says whether the planned failure happened.
bool disarm() {
    const bool fired = plan.fired;
    plan = FaultPlan{};
    return fired;
}

void* allocate(std::size_t size) {
    if (plan.countdown > 0 && --plan.countdown == 0) {
        plan.fired = true;
        if (plan.persistent && plan.kind == Throw::bad_alloc) plan.countdown = 1;
        switch (plan.kind) {
        case Throw::bad_alloc:
            throw std::bad_alloc();
        case Throw::length_error:
            throw std::length_error("vector too long");
        case Throw::runtime_error:
            throw std::runtime_error("disk on fire");  // its text allocates: the plan is spent by now
        case Throw::not_a_std_exception:
            throw 42;
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* allocate_nothrow(std::size_t size) noexcept {
    if (plan.fail_next_nothrow) {
        plan.fail_next_nothrow = false;
        plan.fired = true;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

const std::string water_deck = std::string(QUORREL_TEST_DECKS) + "/app_water.inp";
const std::string regions_deck = std::string(QUORREL_TEST_DECKS) + "/app_regions.inp";
constexpr double deck_dt = 0.0009765625;  // the deck's step, 2^-10

using quorrel::test::LastError;
using quorrel::test::last_error;

// Read, build and one step of the four-particle water deck; the first non-zero status.
int read_build_advance(const std::string& deck) {
    if (int st = quorrel_read_inp(deck.c_str())) return st;
    if (int st = quorrel_build_model()) return st;
    return quorrel_advance_explicit(deck_dt);
}

// With memory back, the same interface reads, builds and steps the deck.
void expect_interface_works_again() {
    ASSERT_EQ(quorrel_initialize(), 0);
    ASSERT_EQ(read_build_advance(water_deck), 0) << last_error().message;
    int count = -1;
    ASSERT_EQ(quorrel_get_particle_count(&count), 0);
    EXPECT_EQ(count, 4);
    double time = -1.0;
    int step = -1;
    ASSERT_EQ(quorrel_get_current_time(&time, &step), 0);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(time, deck_dt);
}

class AllocFault : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(quorrel_finalize(), 0); }
    void TearDown() override {
        (void)disarm();
        (void)quorrel_finalize();
    }
};

// The deck path is longer than any string's inline room, so the first allocation under
// the read entry point is the path's own text.
TEST_F(AllocFault, ExceptionsAtTheFirstAllocationOfAReadBecomeStatuses) {
    ASSERT_GT(water_deck.size(), 32u);
    const struct {
        const char* name;
        Throw kind;
        const char* message;
    } cases[] = {
        {"bad_alloc", Throw::bad_alloc, "failed to allocate memory"},
        {"length_error", Throw::length_error, "failed to allocate memory"},
        {"another standard exception", Throw::runtime_error, "unexpected failure: disk on fire"},
        {"not a standard exception", Throw::not_a_std_exception, "unexpected failure"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(quorrel_initialize(), 0) << c.name;
        arm(1, c.kind);
        const int status = quorrel_read_inp(water_deck.c_str());
        EXPECT_TRUE(disarm()) << c.name;
        EXPECT_EQ(status, 5) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 5) << c.name;
        EXPECT_EQ(e.message, c.message) << c.name;
        expect_interface_works_again();
    }
}

// Every allocation of a read, build and step fails in turn, one per pass: each pass
// must stop with code 5 and an allocation message, and leave an interface that works.
TEST_F(AllocFault, EveryAllocationOfReadBuildAndStepFailsCleanly) {
    long nth = 1;
    for (;; ++nth) {
        ASSERT_EQ(quorrel_initialize(), 0);
        arm(nth);
        const int status = read_build_advance(water_deck);
        if (!disarm()) {
            // Past the last allocation: the whole sequence ran.
            EXPECT_EQ(status, 0) << last_error().message;
            break;
        }
        ASSERT_EQ(status, 5) << "allocation " << nth << ": " << last_error().message;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 5) << "allocation " << nth;
        EXPECT_TRUE(std::string_view(e.message).starts_with("failed to allocate")) << "allocation " << nth << ": " << e.message;
        expect_interface_works_again();
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(nth, 1);
}

// When memory stays short even the message may not fit: the code is still 5 and the
// message is whichever of the two the stored text has room for.
TEST_F(AllocFault, MessageIsStillRecordedWhileEveryAllocationFails) {
    const struct {
        const char* name;
        bool roomy_message_store;
        const char* message;
    } cases[] = {
        {"store holds the full message", true, "failed to allocate memory"},
        {"store holds only its inline text", false, "out of memory"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(quorrel_initialize(), 0) << c.name;
        std::string& stored = quorrel::sph_error.last_error_message;
        if (c.roomy_message_store) {
            stored.reserve(quorrel::sph_error_message_len);
        } else {
            stored.shrink_to_fit();
            ASSERT_LT(stored.capacity(), std::string_view("failed to allocate memory").size()) << c.name;
        }
        arm(1, Throw::bad_alloc, /*persistent=*/true);
        const int status = quorrel_read_inp(water_deck.c_str());
        EXPECT_TRUE(disarm()) << c.name;
        EXPECT_EQ(status, 5) << c.name;
        const LastError e = last_error();
        EXPECT_EQ(e.code, 5) << c.name;
        EXPECT_EQ(e.message, c.message) << c.name;
        expect_interface_works_again();
    }
}

// A region name buffer larger than the C layer keeps on its stack is allocated; when
// that fails the call records code 5, leaves an empty name and returns 5.
TEST_F(AllocFault, OutsizedRegionNameBufferThatCannotBeHadIsCode5) {
    ASSERT_EQ(quorrel_initialize(), 0);
    ASSERT_EQ(quorrel_read_inp(regions_deck.c_str()), 0);
    ASSERT_EQ(quorrel_build_model(), 0);
    static char name[4096];
    name[0] = 'x';
    int type = -1, ex = -1, im = -1, en = -1, pc = -1, fc = -1;
    arm_nothrow();
    const int status = quorrel_coupling_get_region_info(1, name, static_cast<int>(sizeof name), &type, &ex, &im,
                                                        &en, &pc, &fc);
    EXPECT_TRUE(disarm());
    EXPECT_EQ(status, 5);
    EXPECT_EQ(name[0], '\0');
    const LastError e = last_error();
    EXPECT_EQ(e.code, 5);
    EXPECT_EQ(e.message, "failed to allocate memory");

    ASSERT_EQ(quorrel_coupling_get_region_info(1, name, static_cast<int>(sizeof name), &type, &ex, &im, &en, &pc,
                                               &fc),
              0);
    EXPECT_STREQ(name, "Side");
    EXPECT_EQ(pc, 4);
}

}  // namespace
