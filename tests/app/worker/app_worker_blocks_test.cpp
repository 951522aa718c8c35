// The data block in-process, on blocks built by hand: the finiteness tests, both record
// checks row by row, the appends, the repeat test, the force-block analysis and the clears.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "sph_worker_blocks.h"
#include "sph_worker_contract.h"
#include "sph_worker_reports.h"

namespace quorrel {
namespace {

using Block = quorrel_worker_data_exchange_t;
using Particle = quorrel_worker_particle_record_t;
using Force = quorrel_worker_force_record_t;

constexpr double big = std::numeric_limits<double>::max();
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// A block is 1.2 MB: on the heap, cleared as a host would.
std::unique_ptr<Block> cleared_block() {
    auto data = std::make_unique<Block>();
    quorrel_worker_data_exchange_clear(data.get());
    return data;
}

// ---- Finiteness ----

// The coupling interface refuses the largest double itself, so the worker does too: a
// record it took would otherwise fail the whole command there.
TEST(WorkerBlockValues, FiniteMeansBelowTheLargestDouble) {
    const double below = std::nextafter(big, 0.0);
    const struct {
        double value;
        bool finite;
    } cases[] = {
        {0.0, true},  {-0.0, true},  {1.5, true},  {below, true}, {-below, true},
        {4.9e-324, true},  // the smallest subnormal
        {big, false}, {-big, false}, {inf, false}, {-inf, false}, {nan, false},
    };
    for (const auto& c : cases) EXPECT_EQ(quorrel_worker_value_below_max_double(c.value), c.finite) << c.value;

    const double good[3] = {1.0, -below, below};
    EXPECT_TRUE(quorrel_worker_vector_below_max_double(good));
    EXPECT_FALSE(quorrel_worker_vector_below_max_double(nullptr));
    for (int k = 0; k < 3; ++k)
        for (double bad : {nan, inf, -inf}) {
            double v[3] = {1.0, 2.0, 3.0};
            v[k] = bad;
            EXPECT_FALSE(quorrel_worker_vector_below_max_double(v)) << k << " " << bad;
        }

    const double v1[3] = {1.0, 2.0, 3.0}, v2[3] = {3.0, -4.0, 12.0};
    EXPECT_EQ(quorrel_worker_vector_norm2(v1), 14.0);   // 1 + 4 + 9
    EXPECT_EQ(quorrel_worker_vector_norm2(v2), 169.0);  // 9 + 16 + 144
    EXPECT_EQ(quorrel_worker_vector_norm2(nullptr), 0.0);
}

// ---- Record checks ----

Particle good_particle() {
    Particle p;
    quorrel_worker_particle_record_clear(&p);
    p.particle_id_ext = 41;
    p.export_index = 2;
    p.internal_index = 7;
    p.phase = 6;
    p.status = 0;
    p.x[0] = 1.0;
    p.v[2] = -3.0;
    p.mass = 1.0;
    p.density = 1000.0;
    p.volume = 1.0;
    p.h = 0.5;
    p.contact_radius = 1.0;
    p.pressure = 0.0;
    p.sound_speed = 1.0;
    p.valid_flags = 0x3B;
    return p;
}

TEST(WorkerBlockChecks, ParticleRecordEachCheckAndTheFirstFailingWins) {
    const struct {
        const char* what;
        std::function<void(Particle&)> change;
        int reason;
    } cases[] = {
        {"as exported", [](Particle&) {}, 0},
        {"negative external id", [](Particle& p) { p.particle_id_ext = -5; }, 0},
        {"status 3", [](Particle& p) { p.status = 3; }, 0},
        {"negative pressure", [](Particle& p) { p.pressure = -5.0; }, 0},
        {"just below the largest double in x", [](Particle& p) { p.x[0] = std::nextafter(big, 0.0); }, 0},
        {"one valid flag", [](Particle& p) { p.valid_flags = 0x1; }, 0},
        {"external id 0", [](Particle& p) { p.particle_id_ext = 0; }, 1},
        {"internal index 0", [](Particle& p) { p.internal_index = 0; }, 1},
        {"internal index -1", [](Particle& p) { p.internal_index = -1; }, 1},
        {"export index 0", [](Particle& p) { p.export_index = 0; }, 1},
        {"phase 0", [](Particle& p) { p.phase = 0; }, 1},
        {"phase -1", [](Particle& p) { p.phase = -1; }, 1},
        {"status -1", [](Particle& p) { p.status = -1; }, 1},
        {"NaN in x", [](Particle& p) { p.x[1] = nan; }, 3},
        {"infinity in v", [](Particle& p) { p.v[2] = inf; }, 3},
        {"largest double in x", [](Particle& p) { p.x[0] = big; }, 3},
        {"pressure -infinity", [](Particle& p) { p.pressure = -inf; }, 3},
        {"mass 0", [](Particle& p) { p.mass = 0.0; }, 4},
        {"density -1", [](Particle& p) { p.density = -1.0; }, 4},
        {"volume NaN", [](Particle& p) { p.volume = nan; }, 4},  // a weight, not a state value
        {"h infinite", [](Particle& p) { p.h = inf; }, 4},
        {"contact radius 0", [](Particle& p) { p.contact_radius = 0.0; }, 4},
        {"sound speed 0", [](Particle& p) { p.sound_speed = 0.0; }, 4},
        {"no valid flag", [](Particle& p) { p.valid_flags = 0; }, 4},
        // Two faults: the earlier row gives the reason.
        {"external id 0 and NaN x", [](Particle& p) { p.particle_id_ext = 0, p.x[0] = nan; }, 1},
        {"phase 0 and mass 0", [](Particle& p) { p.phase = 0, p.mass = 0.0; }, 1},
        {"NaN x and mass 0", [](Particle& p) { p.x[0] = nan, p.mass = 0.0; }, 3},
        {"infinite v and no flag", [](Particle& p) { p.v[0] = inf, p.valid_flags = 0; }, 3},
    };
    for (const auto& c : cases) {
        Particle p = good_particle();
        c.change(p);
        int reason = 99;
        EXPECT_EQ(quorrel_worker_particle_record_validate(&p, &reason), c.reason == 0 ? 0 : -1) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
        // The reason is optional.
        EXPECT_EQ(quorrel_worker_particle_record_validate(&p, nullptr), c.reason == 0 ? 0 : -1) << c.what;
    }
    int reason = 99;
    EXPECT_EQ(quorrel_worker_particle_record_validate(nullptr, &reason), -1);
    EXPECT_EQ(reason, 1);
}

Force good_force() {
    Force f;
    quorrel_worker_force_record_clear(&f);
    f.particle_id_ext = 12;
    f.export_index = 2;
    f.internal_index = 5;
    f.force[0] = 1.0;
    f.force[1] = 2.0;
    f.force[2] = 3.0;
    f.moment[2] = 1.0;
    f.source_id = 100;
    f.pair_id = 200;
    f.contact_state = 0;
    f.step_id = 3;
    f.valid_flags = 0x1;
    return f;
}

// An active contact with sound contact data.
void make_contact(Force& f, int state = 2) {
    f.contact_state = state;
    f.contact_normal[0] = 0.0;
    f.contact_normal[1] = 0.0;
    f.contact_normal[2] = 1.0;
    f.contact_gap = 0.25;
    f.contact_penetration = 0.5;
    f.contact_pressure = 2.0;
    f.valid_flags = 0x5;
}

TEST(WorkerBlockChecks, ForceRecordEachCheckAndTheFirstFailingWins) {
    const struct {
        const char* what;
        std::function<void(Force&)> change;
        int reason;
    } cases[] = {
        {"plain force", [](Force&) {}, 0},
        {"just below the largest double force", [](Force& f) { f.force[0] = -std::nextafter(big, 0.0); }, 0},
        {"step 0", [](Force& f) { f.step_id = 0; }, 0},
        {"active contact", [](Force& f) { make_contact(f); }, 0},
        {"candidate contact", [](Force& f) { make_contact(f, 1); }, 0},
        {"tied contact, only the contact bit", [](Force& f) { make_contact(f, 4), f.valid_flags = 0x4; }, 0},
        {"contact normal of squared length 4e-24", [](Force& f) { make_contact(f), f.contact_normal[2] = 2e-12; }, 0},
        // Inactive, released and unknown states carry no contact data: none is checked.
        {"inactive, NaN normal, no contact bit", [](Force& f) { f.contact_normal[0] = nan; }, 0},
        {"released, NaN gap, no contact bit",
         [](Force& f) { make_contact(f, 3), f.contact_gap = nan, f.valid_flags = 0x1; }, 0},
        {"unknown state 5, zero normal", [](Force& f) { make_contact(f, 5), f.contact_normal[2] = 0.0; }, 0},
        {"external id 0", [](Force& f) { f.particle_id_ext = 0; }, 1},
        {"export index 0", [](Force& f) { f.export_index = 0; }, 1},
        {"internal index -1", [](Force& f) { f.internal_index = -1; }, 1},
        {"NaN force", [](Force& f) { f.force[1] = nan; }, 2},
        {"infinite moment", [](Force& f) { f.moment[0] = inf; }, 2},
        {"largest double force", [](Force& f) { f.force[0] = -big; }, 2},
        {"largest double moment", [](Force& f) { f.moment[2] = big; }, 2},
        {"load mode -1", [](Force& f) { f.load_mode = -1; }, 4},
        {"contact state -1", [](Force& f) { f.contact_state = -1; }, 4},
        {"step -1", [](Force& f) { f.step_id = -1; }, 4},
        {"no valid flag", [](Force& f) { f.valid_flags = 0; }, 4},
        {"active, NaN normal", [](Force& f) { make_contact(f), f.contact_normal[1] = nan; }, 3},
        {"active, infinite gap", [](Force& f) { make_contact(f), f.contact_gap = inf; }, 3},
        {"active, largest double gap", [](Force& f) { make_contact(f), f.contact_gap = big; }, 3},
        {"tied, largest double normal", [](Force& f) { make_contact(f, 4), f.contact_normal[0] = -big; }, 3},
        {"active, NaN penetration", [](Force& f) { make_contact(f), f.contact_penetration = nan; }, 3},
        {"active, contact pressure -infinity", [](Force& f) { make_contact(f), f.contact_pressure = -inf; }, 3},
        {"candidate without the contact bit", [](Force& f) { make_contact(f, 1), f.valid_flags = 0x3; }, 4},
        // Length 1e-13: squared 1e-26, at or below 1e-24.
        {"active, degenerate normal", [](Force& f) { make_contact(f), f.contact_normal[2] = 1e-13; }, 4},
        {"tied, zero normal", [](Force& f) { make_contact(f, 4), f.contact_normal[2] = 0.0; }, 4},
        // Two faults: the earlier row gives the reason.
        {"external id 0 and NaN force", [](Force& f) { f.particle_id_ext = 0, f.force[0] = nan; }, 1},
        {"NaN force and step -1", [](Force& f) { f.force[0] = nan, f.step_id = -1; }, 2},
        {"NaN moment and active NaN gap", [](Force& f) { make_contact(f), f.moment[0] = nan, f.contact_gap = nan; }, 2},
        {"step -1 and active NaN normal", [](Force& f) { make_contact(f), f.step_id = -1, f.contact_normal[0] = nan; },
         4},
        {"active NaN gap without the contact bit",
         [](Force& f) { make_contact(f), f.contact_gap = nan, f.valid_flags = 0x1; }, 3},
    };
    for (const auto& c : cases) {
        Force f = good_force();
        c.change(f);
        int reason = 99;
        EXPECT_EQ(quorrel_worker_force_record_validate(&f, &reason), c.reason == 0 ? 0 : -1) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
        EXPECT_EQ(quorrel_worker_force_record_validate(&f, nullptr), c.reason == 0 ? 0 : -1) << c.what;
    }
    int reason = 99;
    EXPECT_EQ(quorrel_worker_force_record_validate(nullptr, &reason), -1);
    EXPECT_EQ(reason, 1);
}

// ---- Appends ----

struct Counts {
    int count, rejected, nonfinite;
};

Counts counts_of(const quorrel_worker_block_header_t& h) { return {h.count, h.rejected_count, h.nonfinite_count}; }

TEST(WorkerBlockAppend, ParticlesAreCopiedInOrderAndRejectionsCounted) {
    auto data = cleared_block();
    Particle first = good_particle(), second = good_particle();
    second.export_index = 3;
    second.x[2] = 9.0;
    ASSERT_EQ(quorrel_worker_particle_block_add(data.get(), &first), 0);
    ASSERT_EQ(quorrel_worker_particle_block_add(data.get(), &second), 0);
    EXPECT_EQ(std::memcmp(&data->particles[0], &first, sizeof first), 0);
    EXPECT_EQ(std::memcmp(&data->particles[1], &second, sizeof second), 0);
    const Particle untouched{};
    EXPECT_EQ(std::memcmp(&data->particles[2], &untouched, sizeof untouched), 0);

    // Each rejection counts once; only reason 3 is counted as non-finite.
    const struct {
        const char* what;
        std::function<void(Particle&)> change;
        Counts after;
    } cases[] = {
        {"unmatched", [](Particle& p) { p.phase = 0; }, {2, 1, 0}},
        {"non-finite", [](Particle& p) { p.x[0] = nan; }, {2, 2, 1}},
        {"invalid weight", [](Particle& p) { p.mass = 0.0; }, {2, 3, 1}},
        {"taken", [](Particle&) {}, {3, 3, 1}},
    };
    for (const auto& c : cases) {
        Particle p = good_particle();
        c.change(p);
        const int expected = c.after.count > counts_of(data->particle_header).count ? 0 : -1;
        EXPECT_EQ(quorrel_worker_particle_block_add(data.get(), &p), expected) << c.what;
        const Counts got = counts_of(data->particle_header);
        EXPECT_EQ(got.count, c.after.count) << c.what;
        EXPECT_EQ(got.rejected, c.after.rejected) << c.what;
        EXPECT_EQ(got.nonfinite, c.after.nonfinite) << c.what;
    }
    // The force half is not touched by particle appends.
    EXPECT_EQ(data->force_header.count, 0);
    EXPECT_EQ(data->force_header.rejected_count, 0);
}

TEST(WorkerBlockAppend, ForcesCountReasonsTwoAndThreeAsNonFinite) {
    auto data = cleared_block();
    const struct {
        const char* what;
        std::function<void(Force&)> change;
        Counts after;
    } cases[] = {
        {"taken", [](Force&) {}, {1, 0, 0}},
        {"unmatched", [](Force& f) { f.export_index = 0; }, {1, 1, 0}},
        {"non-finite force", [](Force& f) { f.force[0] = inf; }, {1, 2, 1}},
        {"non-finite contact", [](Force& f) { make_contact(f), f.contact_gap = nan; }, {1, 3, 2}},
        {"invalid weight", [](Force& f) { f.step_id = -1; }, {1, 4, 2}},
        {"taken contact", [](Force& f) { make_contact(f); }, {2, 4, 2}},
    };
    for (const auto& c : cases) {
        Force f = good_force();
        c.change(f);
        const int expected = c.after.count > data->force_header.count ? 0 : -1;
        EXPECT_EQ(quorrel_worker_force_block_add(data.get(), &f), expected) << c.what;
        const Counts got = counts_of(data->force_header);
        EXPECT_EQ(got.count, c.after.count) << c.what;
        EXPECT_EQ(got.rejected, c.after.rejected) << c.what;
        EXPECT_EQ(got.nonfinite, c.after.nonfinite) << c.what;
    }
    EXPECT_EQ(data->forces[1].contact_state, 2);
    EXPECT_EQ(data->particle_header.count, 0);
}

TEST(WorkerBlockAppend, FullHalvesWrongVersionsAndMissingArguments) {
    const Particle p = good_particle();
    const Force f = good_force();
    const struct {
        const char* what;
        int version, capacity, count;
        int result;
        Counts after;
    } cases[] = {
        {"room left", 1, 4096, 4095, 0, {4096, 0, 0}},
        {"at its capacity", 1, 2, 2, -1, {2, 1, 0}},
        {"capacity above 4096, count 4096", 1, 5000, 4096, -1, {4096, 1, 0}},
        {"capacity 0", 1, 0, 0, -1, {0, 1, 0}},
        // Nothing is counted for a block that cannot be written.
        {"version 2", 2, 4096, 0, -1, {0, 0, 0}},
        {"version 0", 0, 4096, 0, -1, {0, 0, 0}},
        {"negative count", 1, 4096, -1, -1, {-1, 0, 0}},
    };
    for (const auto& c : cases) {
        auto data = cleared_block();
        for (quorrel_worker_block_header_t* h : {&data->particle_header, &data->force_header}) {
            h->version = c.version;
            h->capacity = c.capacity;
            h->count = c.count;
        }
        EXPECT_EQ(quorrel_worker_particle_block_add(data.get(), &p), c.result) << c.what;
        EXPECT_EQ(quorrel_worker_force_block_add(data.get(), &f), c.result) << c.what;
        for (const quorrel_worker_block_header_t* h : {&data->particle_header, &data->force_header}) {
            const Counts got = counts_of(*h);
            EXPECT_EQ(got.count, c.after.count) << c.what;
            EXPECT_EQ(got.rejected, c.after.rejected) << c.what;
            EXPECT_EQ(got.nonfinite, c.after.nonfinite) << c.what;
            EXPECT_EQ(h->version, c.version) << c.what;
            EXPECT_EQ(h->capacity, c.capacity) << c.what;
        }
    }
    // Nothing was written past a full half: the force half follows the last particle.
    auto data = cleared_block();
    data->particle_header.count = 4096;
    EXPECT_EQ(quorrel_worker_particle_block_add(data.get(), &p), -1);
    EXPECT_EQ(data->force_header.version, 1);
    EXPECT_EQ(data->force_header.capacity, 4096);
    EXPECT_EQ(data->force_header.count, 0);

    EXPECT_EQ(quorrel_worker_particle_block_add(nullptr, &p), -1);
    EXPECT_EQ(quorrel_worker_force_block_add(nullptr, &f), -1);
    EXPECT_EQ(quorrel_worker_particle_block_add(data.get(), nullptr), -1);
    EXPECT_EQ(quorrel_worker_force_block_add(data.get(), nullptr), -1);
}

// ---- Repeat test ----

TEST(WorkerBlockRepeats, OnlyEarlierAcceptedRecordsWithTheWholeKeyCount) {
    auto data = cleared_block();
    Force* r = data->forces;
    r[0] = good_force();  // key (step 3, internal 5, export 2, source 100, pair 200), accepted
    r[1] = good_force();
    r[1].force[0] = -40.0;  // same key, other force: a repeat
    r[2] = good_force();
    r[2].source_id = 101;
    r[2].reject_reason = 4;  // rejected: it never counts as the first
    r[3] = good_force();
    r[3].source_id = 101;
    // Each key field alone differing from r[0].
    r[4] = good_force(), r[4].step_id = 4;
    r[5] = good_force(), r[5].internal_index = 6;
    r[6] = good_force(), r[6].export_index = 3;
    r[7] = good_force(), r[7].pair_id = 201;
    // Fields outside the key do not matter.
    r[8] = good_force(), r[8].particle_id_ext = 99, r[8].load_mode = 2, make_contact(r[8]);
    data->force_header.count = 9;

    const bool repeat[] = {false, true, false, false, false, false, false, false, true};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(quorrel_worker_force_record_is_duplicate(data.get(), i), repeat[i]) << i;
    // Once r[2] is accepted, r[3] repeats it.
    r[2].reject_reason = 0;
    EXPECT_TRUE(quorrel_worker_force_record_is_duplicate(data.get(), 3));
    // Positions outside 1 .. count - 1.
    r[9] = good_force();
    EXPECT_FALSE(quorrel_worker_force_record_is_duplicate(data.get(), 9));
    EXPECT_FALSE(quorrel_worker_force_record_is_duplicate(data.get(), -1));
    EXPECT_FALSE(quorrel_worker_force_record_is_duplicate(nullptr, 1));
}

// ---- Analysis ----

// Twelve records, one or more for every reason, worked out by hand for a command step of 10.
void fill_dozen(Block& data) {
    Force* r = data.forces;
    const auto record = [](int step, int internal, long long source, double fx, double fy, double fz, double mx,
                           double my, double mz) {
        Force f = good_force();
        f.step_id = step;
        f.internal_index = internal;
        f.source_id = source;
        f.force[0] = fx, f.force[1] = fy, f.force[2] = fz;
        f.moment[0] = mx, f.moment[1] = my, f.moment[2] = mz;
        f.reject_reason = 6;  // left over from an earlier import: the analysis starts afresh
        return f;
    };
    r[0] = record(10, 1, 1, 1, 0, 0, 0, 0, 1);            // accepted
    r[1] = record(9, 2, 1, 8, 8, 8, 8, 8, 8);             // stale at step 10
    r[2] = record(0, 3, 1, 0, 2, 0, 0.5, 0, 0);           // step 0 is never stale: accepted
    r[3] = record(10, 1, 1, 100, 0, 0, 0, 0, 0);          // repeats r0 with another force
    r[4] = record(11, 4, 1, 0, 0, 4, 0, 0.25, 0);         // a later step is no stale one: accepted
    r[5] = record(10, 5, 1, nan, 0, 0, 0, 0, 0);          // non-finite force
    r[6] = record(10, 6, 1, 1, 1, 1, 0, 0, 0);            // active contact, NaN gap: non-finite contact
    make_contact(r[6]), r[6].contact_gap = nan;
    r[7] = record(10, 7, 1, 1, 1, 1, 0, 0, 0);            // external id 0: unmatched
    r[7].particle_id_ext = 0;
    r[8] = record(10, 8, 1, 1, 1, 1, 0, 0, 0);            // no valid flag: invalid weight
    r[8].valid_flags = 0;
    r[9] = record(10, 7, 1, -1, 0, 0, 0, 0, -3);          // r7's key, r7 rejected: accepted, a contact
    make_contact(r[9]);
    r[10] = record(10, 7, 1, 5, 5, 5, 5, 5, 5);           // repeats r9
    r[11] = record(0, 3, 1, 6, 6, 6, 6, 6, 6);            // repeats r2
    data.force_header.count = 12;
    // Diagnostics of an earlier import, to be replaced.
    data.force_header.rejected_count = data.force_header.nonfinite_count = 77;
    data.force_header.stale_count = data.force_header.repeated_count = data.force_header.contact_count = 77;
    for (int k = 0; k < 3; ++k) data.force_header.total_force[k] = data.force_header.total_moment[k] = 77.0;
}

TEST(WorkerBlockAnalysis, ADozenRecordsCoveringEveryReason) {
    auto data = cleared_block();
    fill_dozen(*data);
    int valid = -1, contacts = -1;
    ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), 10, &valid, &contacts), 0);
    const int reasons[12] = {0, 5, 0, 6, 0, 2, 3, 1, 4, 0, 6, 6};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(data->forces[i].reject_reason, reasons[i]) << i;
    const quorrel_worker_block_header_t& h = data->force_header;
    EXPECT_EQ(valid, 4);     // r0, r2, r4, r9
    EXPECT_EQ(contacts, 1);  // r9
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.capacity, 4096);
    EXPECT_EQ(h.count, 12);
    EXPECT_EQ(h.rejected_count, 8);  // r1, r3, r5, r6, r7, r8, r10, r11
    EXPECT_EQ(h.nonfinite_count, 2);  // r5, r6
    EXPECT_EQ(h.stale_count, 1);
    EXPECT_EQ(h.repeated_count, 3);
    EXPECT_EQ(h.contact_count, 1);
    // Forces (1,0,0) + (0,2,0) + (0,0,4) + (-1,0,0); moments (0,0,1) + (0.5,0,0) + (0,0.25,0) + (0,0,-3).
    EXPECT_EQ(h.total_force[0], 0.0);
    EXPECT_EQ(h.total_force[1], 2.0);
    EXPECT_EQ(h.total_force[2], 4.0);
    EXPECT_EQ(h.total_moment[0], 0.5);
    EXPECT_EQ(h.total_moment[1], 0.25);
    EXPECT_EQ(h.total_moment[2], -2.0);
}

TEST(WorkerBlockAnalysis, StaleOnlyBetweenZeroAndTheCommandStep) {
    // r1 has step 9. Stale needs expected > 0 and 0 < step < expected; otherwise r1 is
    // accepted and adds (8, 8, 8) to both totals.
    const struct {
        int expected;
        int r1_reason, stale, valid, rejected;
        double total_fx;
    } cases[] = {
        {10, 5, 1, 4, 8, 0.0}, {9, 0, 0, 5, 7, 8.0}, {1, 0, 0, 5, 7, 8.0},
        {0, 0, 0, 5, 7, 8.0},  {-3, 0, 0, 5, 7, 8.0},
        // At 12 every record of steps 9 to 11 that passes its check is stale, the repeats
        // r3 and r10 included (stale is judged first): r0, r1, r3, r4, r9, r10. Only r2
        // is accepted, and r11 repeats it.
        {12, 5, 6, 1, 11, 0.0},
    };
    for (const auto& c : cases) {
        auto data = cleared_block();
        fill_dozen(*data);
        int valid = -1, contacts = -1;
        ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), c.expected, &valid, &contacts), 0) << c.expected;
        EXPECT_EQ(data->forces[1].reject_reason, c.r1_reason) << c.expected;
        EXPECT_EQ(data->force_header.stale_count, c.stale) << c.expected;
        EXPECT_EQ(valid, c.valid) << c.expected;
        EXPECT_EQ(data->force_header.rejected_count, c.rejected) << c.expected;
        EXPECT_EQ(data->force_header.total_force[0], c.total_fx) << c.expected;
        // Step 0 is never stale.
        EXPECT_EQ(data->forces[2].reject_reason, 0) << c.expected;
    }
}

TEST(WorkerBlockAnalysis, ImpossibleHeadersFailWithNoRecordMarked) {
    const struct {
        const char* what;
        int version, capacity, count;
    } cases[] = {
        {"count 4097", 1, 5000, 4097},
        {"count above the capacity", 1, 11, 12},
        {"version 2", 2, 4096, 12},
        {"count -1", 1, 4096, -1},
    };
    for (const auto& c : cases) {
        auto data = cleared_block();
        fill_dozen(*data);
        data->force_header.version = c.version;
        data->force_header.capacity = c.capacity;
        data->force_header.count = c.count;
        int valid = -1, contacts = -1;
        EXPECT_EQ(quorrel_worker_force_block_analyze(data.get(), 10, &valid, &contacts), -1) << c.what;
        EXPECT_EQ(valid, 0) << c.what;
        EXPECT_EQ(contacts, 0) << c.what;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(data->forces[i].reject_reason, 6) << c.what << " " << i;
        EXPECT_EQ(data->force_header.rejected_count, 77) << c.what;
        EXPECT_EQ(data->force_header.total_force[0], 77.0) << c.what;
    }
    int valid = -1, contacts = -1;
    EXPECT_EQ(quorrel_worker_force_block_analyze(nullptr, 10, &valid, &contacts), -1);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(contacts, 0);

    // Count 0 succeeds and resets the diagnostics; the counts are optional.
    auto data = cleared_block();
    fill_dozen(*data);
    data->force_header.count = 0;
    EXPECT_EQ(quorrel_worker_force_block_analyze(data.get(), 10, nullptr, nullptr), 0);
    EXPECT_EQ(data->force_header.rejected_count, 0);
    EXPECT_EQ(data->force_header.contact_count, 0);
    EXPECT_EQ(data->force_header.total_moment[2], 0.0);
    EXPECT_EQ(data->forces[0].reject_reason, 6);
}

TEST(WorkerBlockAnalysis, RecordsMustNameTheParticleAsExported) {
    // Export list: export index 1 is particle 4 (node 11), 2 is 5 (node 12), 3 is 6 (node 13).
    const int ext_ids[3] = {11, 12, 13}, internal[3] = {4, 5, 6};
    const quorrel_worker_export_list_t exports{3, ext_ids, internal};
    const struct {
        const char* what;
        long long ext;
        int export_index, internal_index, step;
        double fx;
        int reason;
    } cases[] = {
        {"as exported", 12, 2, 5, 10, 1.0, 0},
        {"export index beyond the list", 14, 4, 7, 10, 1.0, 1},
        {"another particle's internal index", 12, 2, 6, 10, 1.0, 1},
        {"another particle's node number", 13, 2, 5, 11, 1.0, 1},
        {"the record check comes first", 14, 4, 7, 10, nan, 2},
        {"the match comes before stale", 11, 1, 5, 9, 1.0, 1},
        {"stale but matched", 11, 1, 4, 9, 1.0, 5},
        // Same key as the unmatched record before it (step 11, internal 5, export 2): judged
        // on its own, and then the first record's repeat only if the key equals r0's.
        {"matched after an unmatched twin", 12, 2, 5, 11, 2.0, 0},
        {"repeat of the first", 12, 2, 5, 10, 4.0, 6},
        {"last in the list", 13, 3, 6, 10, 8.0, 0},
    };
    auto data = cleared_block();
    int n = 0;
    for (const auto& c : cases) {
        Force f = good_force();
        f.particle_id_ext = c.ext;
        f.export_index = c.export_index;
        f.internal_index = c.internal_index;
        f.step_id = c.step;
        f.force[0] = c.fx;
        data->forces[n++] = f;
    }
    data->force_header.count = n;
    int valid = -1, contacts = -1;
    ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), 10, &valid, &contacts, &exports), 0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(data->forces[i].reject_reason, cases[i].reason) << cases[i].what;
    EXPECT_EQ(valid, 3);
    EXPECT_EQ(data->force_header.total_force[0], 11.0);  // 1 + 2 + 8
    // Unmatched records are rejected, not non-finite: 4 unmatched, 1 non-finite, 1 stale, 1 repeat.
    EXPECT_EQ(data->force_header.rejected_count, 7);
    EXPECT_EQ(data->force_header.nonfinite_count, 1);
    EXPECT_EQ(data->force_header.stale_count, 1);
    EXPECT_EQ(data->force_header.repeated_count, 1);

    // Without the list only the record check, stale and repeat apply.
    ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), 10, &valid, &contacts), 0);
    // Now the record before "matched after an unmatched twin" was accepted: it is a repeat.
    const int without[] = {0, 0, 0, 0, 2, 5, 5, 6, 6, 0};
    for (int i = 0; i < n; ++i) EXPECT_EQ(data->forces[i].reject_reason, without[i]) << cases[i].what;
    // An empty list matches nothing.
    const quorrel_worker_export_list_t none{0, ext_ids, internal};
    ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), 0, &valid, &contacts, &none), 0);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(data->force_header.rejected_count, n);
}

TEST(WorkerBlockAnalysis, RepeatMarksAgreeWithTheRecordByRecordTestOnAFullBlock) {
    // 4096 records drawn from few keys, some differing in one field only, some rejected:
    // after the analysis a record that passed its check is marked repeated exactly when an
    // earlier accepted record has its key, which the repeat test finds by scanning.
    auto data = cleared_block();
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    for (int i = 0; i < 4096; ++i) {
        Force f = good_force();
        f.step_id = static_cast<int>(next(3));
        f.internal_index = 1 + static_cast<int>(next(4));
        f.export_index = 1 + static_cast<int>(next(4));
        f.source_id = static_cast<std::int64_t>(next(3)) << 40;  // only high bits differ
        f.pair_id = -static_cast<std::int64_t>(next(3));
        if (next(10) == 0) f.valid_flags = 0;
        data->forces[i] = f;
    }
    data->force_header.count = 4096;
    int valid = 0, contacts = 0;
    ASSERT_EQ(quorrel_worker_force_block_analyze(data.get(), 0, &valid, &contacts), 0);
    int repeats = 0;
    for (int i = 0; i < 4096; ++i) {
        const int reason = data->forces[i].reject_reason;
        if (reason == 4) continue;
        EXPECT_EQ(reason == 6, quorrel_worker_force_record_is_duplicate(data.get(), i)) << i;
        repeats += reason == 6;
    }
    // 3 steps x 4 x 4 x 3 sources x 3 pairs = 432 keys at most are accepted once each.
    EXPECT_LE(valid, 432);
    EXPECT_GT(valid, 300);
    EXPECT_EQ(valid + data->force_header.rejected_count, 4096);
    EXPECT_EQ(repeats, data->force_header.repeated_count);
}

// ---- Clears ----

TEST(WorkerBlockClears, HeaderResetAndRecordAndBlockClears) {
    quorrel_worker_block_header_t h;
    std::memset(&h, 0x5A, sizeof h);
    quorrel_worker_block_header_reset_diagnostics(&h);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&h);
    for (std::size_t i = 0; i < sizeof h; ++i)
        EXPECT_EQ(bytes[i], i < 12 ? 0x5A : 0) << i;  // version, capacity, count kept

    Particle p;
    std::memset(&p, 0xFF, sizeof p);
    quorrel_worker_particle_record_clear(&p);
    const auto* pb = reinterpret_cast<const unsigned char*>(&p);
    for (std::size_t i = 0; i < sizeof p; ++i)
        EXPECT_EQ(pb[i], i >= 32 && i < 36 ? 0xFF : 0) << i;  // body_id -1 is four 0xFF bytes
    EXPECT_EQ(p.body_id, -1);

    Force f;
    std::memset(&f, 0xFF, sizeof f);
    quorrel_worker_force_record_clear(&f);
    const auto* fb = reinterpret_cast<const unsigned char*>(&f);
    for (std::size_t i = 0; i < sizeof f; ++i) EXPECT_EQ(fb[i], 0) << i;

    auto data = std::make_unique<Block>();
    std::memset(data.get(), 0xA5, sizeof *data);
    quorrel_worker_data_exchange_clear(data.get());
    const auto* db = reinterpret_cast<const unsigned char*>(data.get());
    // Version 1 and capacity 4096 (0x1000) little-endian at the start of both headers.
    const unsigned char header_start[8] = {1, 0, 0, 0, 0x00, 0x10, 0, 0};
    std::size_t stray = 0;
    for (std::size_t i = 0; i < sizeof *data; ++i) {
        unsigned char want = 0;
        if (i < 8) want = header_start[i];
        if (i >= 622672 && i < 622680) want = header_start[i - 622672];
        stray += db[i] != want;
    }
    EXPECT_EQ(stray, 0u);
    // Missing arguments are left alone.
    quorrel_worker_block_header_reset_diagnostics(nullptr);
    quorrel_worker_particle_record_clear(nullptr);
    quorrel_worker_force_record_clear(nullptr);
    quorrel_worker_data_exchange_clear(nullptr);
}

// ---- Report rows ----

TEST(WorkerBlockRows, ParticleAndForceRowsInTheirColumnOrder) {
    Particle p = good_particle();
    p.particle_id_ext = 5000000000LL;  // wider than 32 bits
    p.material_id = 3;
    p.section_id = 4;
    p.x[0] = 0.5, p.x[1] = -2.0, p.x[2] = 1.0 / 3.0;
    p.v[0] = 0.0, p.v[1] = 0x1p-10, p.v[2] = -3.0;
    quorrel_worker_line_t line;
    ASSERT_EQ(quorrel_worker_format_particle_record(40, 2, &p, &line), 0);
    EXPECT_EQ(std::string(line.text, line.length),
              "40,2,2,7,5000000000,6,0,3,4,5.0000000000000000e-01,-2.0000000000000000e+00,"
              "3.3333333333333331e-01,0.0000000000000000e+00,9.7656250000000000e-04,-3.0000000000000000e+00,none");

    Force f = good_force();
    make_contact(f, 4);
    f.source_id = -7;
    f.pair_id = 1LL << 40;  // 1099511627776
    f.moment[0] = 0.125;
    f.reject_reason = 6;
    ASSERT_EQ(quorrel_worker_format_force_record(-3, 1, &f, &line), 0);
    EXPECT_EQ(std::string(line.text, line.length),
              "-3,1,-7,1099511627776,12,2,5,1.0000000000000000e+00,2.0000000000000000e+00,3.0000000000000000e+00,"
              "1.2500000000000000e-01,0.0000000000000000e+00,1.0000000000000000e+00,tied,repeated_import");
    // Codes outside their tables print as unknown.
    f.contact_state = 9;
    f.reject_reason = 7;
    ASSERT_EQ(quorrel_worker_format_force_record(0, 1, &f, &line), 0);
    const std::string row(line.text, line.length);
    EXPECT_EQ(row.substr(row.size() - 16), ",unknown,unknown") << row;
    EXPECT_EQ(quorrel_worker_format_particle_record(0, 1, nullptr, &line), -1);
    EXPECT_EQ(quorrel_worker_format_force_record(0, 1, nullptr, &line), -1);
}

// The widest text each column can take: the smallest int64, 32-bit extremes, the largest
// double, the smallest subnormal (2^-1074 = 4.9406564584124654e-324 to 17 digits), -0 and
// three-digit exponents. Rounded to 17 digits from the exact binary values: 1e-300 is
// 1.00000000000000002506e-300 (down), 1e300 is 1.00000000000000005250e300 (up), 0.1 is
// 0.1000000000000000055511 (up).
TEST(WorkerBlockRows, WidestColumnsKeepTheirText) {
    Force f = good_force();
    f.source_id = std::numeric_limits<std::int64_t>::min();
    f.pair_id = std::numeric_limits<std::int64_t>::max();
    f.particle_id_ext = -1;
    f.export_index = std::numeric_limits<std::int32_t>::min();
    f.internal_index = std::numeric_limits<std::int32_t>::max();
    f.force[0] = -big, f.force[1] = 4.9e-324, f.force[2] = -0.0;
    f.moment[0] = 1e-300, f.moment[1] = -1e300, f.moment[2] = 0.1;
    quorrel_worker_line_t line;
    ASSERT_EQ(quorrel_worker_format_force_record(std::numeric_limits<int>::min(), 1, &f, &line), 0);
    EXPECT_EQ(std::string(line.text, line.length),
              "-2147483648,1,-9223372036854775808,9223372036854775807,-1,-2147483648,2147483647,"
              "-1.7976931348623157e+308,4.9406564584124654e-324,-0.0000000000000000e+00,"
              "1.0000000000000000e-300,-1.0000000000000001e+300,1.0000000000000001e-01,inactive,none");
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

std::string c_library_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16e", value);
    return text;
}

std::string line_real_text(double value) {
    quorrel_worker_line_t line;
    quorrel_worker_line_clear(&line);
    quorrel_worker_line_real(&line, value);
    return std::string(line.text, line.length);
}

// The three force columns of a row that carries a, b and c.
std::string row_reals(double a, double b, double c) {
    Force f = good_force();
    f.force[0] = a, f.force[1] = b, f.force[2] = c;
    quorrel_worker_line_t line;
    if (quorrel_worker_format_force_record(1, 1, &f, &line) != 0) return "unformatted";
    const std::string row(line.text, line.length);
    std::size_t start = 0;
    for (int comma = 0; comma < 7; ++comma) start = row.find(',', start) + 1;
    std::size_t end = start;
    for (int comma = 0; comma < 3; ++comma) end = row.find(',', end) + 1;
    return row.substr(start, end - 1 - start);
}

// Awkward doubles for a 17-digit rounding: zeros, every binary exponent (a power of two
// and both neighbours), every power of ten and its neighbours (where the decimal exponent
// changes, and the edges of any short cut a formatter takes), values just below a power
// of ten that round up to it, subnormals, the largest double, exact ties and a spread of
// random bit patterns.
std::vector<double> awkward_doubles() {
    std::vector<double> v = {0.0, -0.0, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::max(), std::ldexp(1.0, -1060), 0.1, 2.0 / 3.0,
                             9.99999999999999999e5, 0.99999999999999999, 99999999999999999.0, 9.999999999999999e-7,
                             9.9999999999999995e-7, 9.99999999999999999e16, 1e17, 1e-6};
    for (int b = -1074; b <= 1023; ++b) {
        const double p = std::ldexp(1.0, b);
        v.insert(v.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY)});
    }
    for (int k = -324; k <= 308; ++k) {
        const double p = std::strtod(("1e" + std::to_string(k)).c_str(), nullptr);
        v.insert(v.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY)});
    }
    // Between 2^40 and 2^53 a double has few enough fraction bits that its exact value can
    // end in a 5 just past the 17th digit: a tie, to be rounded to even.
    for (int b = 40; b <= 53; ++b)
        for (int j = 1; j <= 64; ++j) v.push_back(std::ldexp(1.0, b) + std::ldexp(static_cast<double>(j), b - 52));
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (int k = 0; k < 200000; ++k) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t bits = state ^ (state >> 29);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) v.push_back(d);
    }
    // Common magnitudes, where rows spend their time.
    for (int k = 0; k < 100000; ++k) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        v.push_back((unit - 0.5) * std::pow(10.0, static_cast<int>(state % 30) - 10));
    }
    const std::size_t n = v.size();
    for (std::size_t k = 0; k < n; ++k) v.push_back(-v[k]);
    return v;
}

// The C library's %.16e is the reference, for the slow column path and for the rows.
// Two ties worked by hand: 2^50 + 1/4 = 1125899906842624.25 and 2^50 + 3/4 =
// 1125899906842624.75 have 18 digits ending in 5; to even, the first keeps its 17th digit
// 2 and the second rounds its 7 up to 8.
TEST(WorkerBlockRows, RealsAreTheCLibrarysText) {
    EXPECT_EQ(line_real_text(std::ldexp(1.0, 50) + 0.25), "1.1258999068426242e+15");
    EXPECT_EQ(line_real_text(std::ldexp(1.0, 50) + 0.75), "1.1258999068426248e+15");
    const std::vector<double> values = awkward_doubles();
    for (std::size_t k = 0; k < values.size(); ++k) {
        const double d = values[k];
        ASSERT_EQ(line_real_text(d), c_library_text(d)) << std::hexfloat << d;
        if (k % 3 == 2) {
            const double a = values[k - 2], b = values[k - 1];
            ASSERT_EQ(row_reals(a, b, d), c_library_text(a) + "," + c_library_text(b) + "," + c_library_text(d))
                << std::hexfloat << a << " " << b << " " << d;
        }
    }
    for (double d : {INFINITY, -INFINITY}) EXPECT_EQ(line_real_text(d), c_library_text(d));
}

}  // namespace
}  // namespace quorrel
