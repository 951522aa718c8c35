// EXPORT_INTERFACE and IMPORT_LOADS through a real worker process on small decks: the
// particle records and header the worker writes, the reasons and totals of an import,
// where the accepted forces land, the report rows and the log's block columns, the
// headers that fail a command, a contact state opening a new host step, and a constant
// force applied through the exchange cycle after cycle; and in this process, what a
// transport without a data block does and a particle the export check turns away.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_worker_data_host.h"
#include "database/sph_database.h"
#include "quorrel.h"
#include "quorrel_test.h"
#include "sph_worker_cli.h"
#include "sph_worker_runtime.h"
#include "sph_worker_runtime_exchange.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using test::Ack;
using test::DataView;
using test::ForceIn;
using test::Host;
using test::ParticleOut;
using test::WorkerProcess;
namespace data = test::data;
namespace force = test::force;

enum Command { INIT = 1, READ_INPUT = 2, BUILD_MODEL = 3, EXPORT = 4, IMPORT = 5, ADVANCE = 6, WRITE_OUTPUT = 7, STOP = 8 };
constexpr int state_done = 3, state_error = 4, state_stopped = 5;
constexpr int error_internal = 7;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

std::string deck(const char* name) { return std::string(QUORREL_TEST_DECKS) + "/" + name; }

// Reals as the reports print them, by printf's own "%.16e".
std::string real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16e", value);
    return text;
}

std::string reals(const double* values, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += (k > 0 ? "," : "") + real(values[k]);
    return s;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (std::size_t k = 0; k < parts.size(); ++k) s += (k > 0 ? "," : "") + parts[k];
    return s;
}

const char* contact_names[] = {"inactive", "candidate", "active", "released", "tied"};
const char* reason_names[] = {"none",           "unmatched_particle", "nonfinite_force", "nonfinite_contact",
                              "invalid_weight", "stale_epoch",        "repeated_import"};

// An acknowledgement of `sequence` with the state and OK. A command that failed ends the
// worker, so callers stop at the first one that is not.
::testing::AssertionResult acked_ok(const Ack& ack, int sequence, int state = state_done) {
    if (ack.sequence == sequence && ack.state == state && ack.error == 0 && ack.message == "OK")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "command " << sequence << " acknowledged as sequence " << ack.sequence
                                         << ", state " << ack.state << ", error " << ack.error << " \""
                                         << ack.message << "\"";
}

class WorkerExchange : public ::testing::Test {
protected:
    fs::path dir;
    std::unique_ptr<Host> host;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("quorrel_exchange_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        new_host();
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(dir);
    }

    void new_host() {
        host.reset();
        host = std::make_unique<Host>(test::unique_ipc_name("x"));
        ASSERT_TRUE(host->create());
    }
    DataView block() { return DataView(host->data_bytes()); }

    // READY, then INIT, READ_INPUT and BUILD_MODEL as sequences 1 to 3.
    void start(WorkerProcess& w) {
        ASSERT_TRUE(w.started());
        ASSERT_TRUE(w.ready());
        ASSERT_TRUE(acked_ok(w.command(1, INIT), 1));
        ASSERT_TRUE(acked_ok(w.command(2, READ_INPUT), 2));
        ASSERT_TRUE(acked_ok(w.command(3, BUILD_MODEL), 3));
    }
    void stop(WorkerProcess& w, int sequence) {
        ASSERT_TRUE(acked_ok(w.command(sequence, STOP), sequence, state_stopped));
        EXPECT_EQ(w.exit_status(), 0);
    }

    // The first columns of a log row, up to the command's: options and names.
    std::string log_prefix(const std::string& case_file) const {
        const std::string& b = host->base();
        return joined({"SPH", case_file, b, b + ".command", b + ".data", b + ".command_event", b + ".done_event",
                       "10000", "quorrel"});
    }
};

// A force record pointing at an exported particle as the host read it.
ForceIn aimed_at(const ParticleOut& p) {
    ForceIn f;
    f.particle_id_ext = p.particle_id_ext;
    f.export_index = p.export_index;
    f.internal_index = p.internal_index;
    return f;
}

TEST_F(WorkerExchange, ExportWritesEveryFieldOfItsRecordsAndNothingElse) {
    // The particle half holds leftovers, the force half what a host wrote earlier.
    DataView d = block();
    std::memset(d.bytes() + data::particles, 0xEE, data::records * data::record_bytes);
    const std::size_t ph = data::particle_header;
    const std::int32_t leftovers[8] = {9, 7, 99, 5, 6, 11, 12, 13};  // version .. contact_count
    for (int k = 0; k < 8; ++k) d.set(ph + 4 * k, leftovers[k]);
    const double old_totals[6] = {0.5, 0.25, 0.125, 1.0, 2.0, 3.0};
    for (int k = 0; k < 6; ++k) d.set(ph + data::total_force + 8 * k, old_totals[k]);
    std::memset(d.bytes() + data::forces, 0x77, data::records * data::record_bytes);
    d.set_force_header(1, 4096, 3);
    const double force_totals[6] = {1.5, -2.0, 0.25, 0.0, 0.0, 8.0};
    for (int k = 0; k < 6; ++k) d.set(data::force_header + data::total_force + 8 * k, force_totals[k]);
    const std::vector<unsigned char> force_half(d.bytes() + data::force_header,
                                                d.bytes() + test::data_block_bytes);

    const std::string case_file = deck("worker_pair.inp");
    WorkerProcess w(*host, case_file, dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 5), 4));

    // Header: version, capacity and count set, both rejection counts zeroed, the rest kept.
    EXPECT_EQ(d.i32(ph + data::version), 1);
    EXPECT_EQ(d.i32(ph + data::capacity), 4096);
    EXPECT_EQ(d.i32(ph + data::count), 2);
    EXPECT_EQ(d.i32(ph + data::rejected_count), 0);
    EXPECT_EQ(d.i32(ph + data::nonfinite_count), 0);
    EXPECT_EQ(d.i32(ph + data::stale_count), 11);
    EXPECT_EQ(d.i32(ph + data::repeated_count), 12);
    EXPECT_EQ(d.i32(ph + data::contact_count), 13);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(d.f64(ph + data::total_force + 8 * k), old_totals[k]) << k;

    // Export index 1 is node 9 (particle 3), export index 2 node 7 (particle 1): boundary
    // phase 6, active, material and section 1, the particle defaults, contact radius 2h.
    const struct {
        std::int64_t ext;
        int internal;
        double x[3];
    } want[2] = {{9, 3, {-4.0, 0.5, 0.0}}, {7, 1, {1.0, 2.0, 3.0}}};
    for (int k = 0; k < 2; ++k) {
        const ParticleOut p = test::read_particle(d, k);
        EXPECT_EQ(p.particle_id_ext, want[k].ext) << k;
        EXPECT_EQ(p.export_index, k + 1) << k;
        EXPECT_EQ(p.internal_index, want[k].internal) << k;
        EXPECT_EQ(p.phase, 6) << k;
        EXPECT_EQ(p.status, 0) << k;
        EXPECT_EQ(p.material_id, 1) << k;
        EXPECT_EQ(p.section_id, 1) << k;
        EXPECT_EQ(p.body_id, -1) << k;
        EXPECT_EQ(p.padding, 0u) << k;
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(p.x[c], want[k].x[c]) << k << " " << c;
            EXPECT_EQ(p.v[c], 0.0) << k << " " << c;
        }
        EXPECT_EQ(p.mass, 1.0) << k;
        EXPECT_EQ(p.density, 1000.0) << k;
        EXPECT_EQ(p.volume, 1.0) << k;
        EXPECT_EQ(p.h, 1.0) << k;
        EXPECT_EQ(p.contact_radius, 2.0) << k;
        EXPECT_EQ(p.pressure, 0.0) << k;
        EXPECT_EQ(p.sound_speed, 1.0) << k;
        EXPECT_EQ(p.valid_flags, 0x3Bu) << k;
        EXPECT_EQ(p.reject_reason, 0) << k;
    }
    // Nothing past the count, and the force half untouched.
    std::size_t touched = 0;
    for (std::size_t i = DataView::particle_at(2); i < data::force_header; ++i) touched += d.bytes()[i] != 0xEE;
    EXPECT_EQ(touched, 0u);
    EXPECT_TRUE(std::equal(force_half.begin(), force_half.end(), d.bytes() + data::force_header));
    ASSERT_NO_FATAL_FAILURE(stop(w, 5));

    const auto particles = w.report("quorrel_zenvik_particle_report.csv");
    ASSERT_EQ(particles.size(), 3u);
    const double at_rest[3] = {0.0, 0.0, 0.0};
    EXPECT_EQ(particles[1], "5,1,1,3,9,6,0,1,1," + reals(want[0].x, 3) + "," + reals(at_rest, 3) + ",none");
    EXPECT_EQ(particles[2], "5,1,2,1,7,6,0,1,1," + reals(want[1].x, 3) + "," + reals(at_rest, 3) + ",none");
    EXPECT_EQ(w.report("quorrel_zenvik_force_report.csv").size(), 1u);

    // The log's block columns are read from the block at each row: before attaching there
    // is none; then the leftovers (99 exported, 6 non-finite) until the export replaces
    // them; received forces and totals always those of the force header.
    const auto log = w.report("worker.log");
    ASSERT_EQ(log.size(), 8u);
    const std::string zeros = reals(std::vector<double>(6, 0.0).data(), 6);
    const std::string force_columns = reals(force_totals, 6);
    const std::string prefix = log_prefix(case_file);
    EXPECT_EQ(log[1], prefix + ",0,0,0,CREATED,0,0,0," + zeros + ",0,0,worker startup");
    EXPECT_EQ(log[2], prefix + ",0,0,0,READY,99,0,3," + force_columns + ",6,0,worker ready");
    EXPECT_EQ(log[3], prefix + ",1,0,1,DONE,99,0,3," + force_columns + ",6,0,ok");
    EXPECT_EQ(log[6], prefix + ",4,5,4,DONE,2,0,3," + force_columns + ",0,0,ok");
    EXPECT_EQ(log[7], prefix + ",8,0,5,STOPPED,2,0,3," + force_columns + ",0,0,ok");
}

// The twelve records of the import below, for a command step of 10. Export list of the
// deck: 1 = node 23 (particle 3), 2 = node 21 (1), 3 = node 24 (4), 4 = node 22 (2).
struct Planned {
    ForceIn record;
    int reason;
};

std::vector<Planned> dozen() {
    const auto at = [](std::int64_t ext, int export_index, int internal, int step, long long source) {
        ForceIn f;
        f.particle_id_ext = ext;
        f.export_index = export_index;
        f.internal_index = internal;
        f.step_id = step;
        f.source_id = source;
        f.pair_id = 1;
        f.reject_reason = 9;  // the worker overwrites every mark
        return f;
    };
    const auto contact = [](ForceIn& f, int state) {
        f.contact_state = state;
        f.normal[2] = 3.0;
        f.gap = 0.25;
        f.penetration = 0.5;
        f.pressure = 2.0;
        f.valid_flags = 0x5;
    };
    std::vector<Planned> p(12);
    p[0] = {at(23, 1, 3, 10, 1), 0};
    p[0].record.force[0] = 1.0, p[0].record.moment[2] = 1.0;
    p[1] = {at(21, 2, 1, 10, 2), 0};  // an active contact: counted; region Row imports no contact states
    p[1].record.force[1] = 2.0;
    contact(p[1].record, 2);
    p[2] = {at(24, 3, 4, 9, 3), 5};  // an earlier host step
    p[2].record.force[2] = 7.0;
    p[3] = {at(23, 1, 3, 10, 1), 6};  // r0 again, with another force
    p[3].record.force[0] = 50.0;
    p[4] = {at(21, 4, 2, 10, 5), 1};  // export index 4 is node 22, not 21
    p[4].record.force[1] = 9.0;
    p[5] = {at(25, 5, 5, 10, 6), 1};  // beyond the export list
    p[5].record.force[0] = 9.0;
    p[6] = {at(0, 1, 3, 10, 7), 1};  // no node number
    p[7] = {at(21, 2, 1, 10, 8), 2};
    p[7].record.force[0] = nan;
    p[8] = {at(24, 3, 4, 10, 9), 3};
    contact(p[8].record, 1);
    p[8].record.gap = inf;
    p[9] = {at(22, 4, 2, 10, 10), 4};
    p[9].record.valid_flags = 0;
    p[10] = {at(22, 4, 2, 0, 11), 0};  // step 0 is never stale
    p[10].record.force[2] = -4.0, p[10].record.moment[0] = 1.0;
    p[11] = {at(24, 3, 4, 11, 12), 0};  // released: no contact data needed
    p[11].record.force[0] = -0.5, p[11].record.moment[1] = 0.25;
    p[11].record.contact_state = 3;
    return p;
}

TEST_F(WorkerExchange, ImportMarksEveryReasonAndOnlyAcceptedForcesMoveTheirOwnParticles) {
    const std::string case_file = deck("worker_row.inp");
    WorkerProcess w(*host, case_file, dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 10), 4));
    DataView d = block();
    ASSERT_EQ(d.i32(data::particle_header + data::count), 4);
    const std::int64_t ext_by_export[4] = {23, 21, 24, 22};
    for (int k = 0; k < 4; ++k) ASSERT_EQ(test::read_particle(d, k).particle_id_ext, ext_by_export[k]);

    const std::vector<Planned> plan = dozen();
    for (int k = 0; k < 12; ++k) test::write_force(d, k, plan[k].record);
    d.set_force_header(1, 4096, 12);
    const std::size_t fh = data::force_header;
    for (std::size_t field = data::rejected_count; field < data::total_force; field += 4) d.set(fh + field, 77);
    for (int k = 0; k < 6; ++k) d.set(fh + data::total_force + 8 * k, 77.0);
    ASSERT_TRUE(acked_ok(w.command(5, IMPORT, 10), 5));

    for (int k = 0; k < 12; ++k)
        EXPECT_EQ(d.i32(DataView::force_at(k) + force::reject_reason), plan[k].reason) << "record " << k;
    EXPECT_EQ(d.i32(fh + data::version), 1);
    EXPECT_EQ(d.i32(fh + data::capacity), 4096);
    EXPECT_EQ(d.i32(fh + data::count), 12);
    EXPECT_EQ(d.i32(fh + data::rejected_count), 8);   // records 2 to 9
    EXPECT_EQ(d.i32(fh + data::nonfinite_count), 2);  // 7 and 8
    EXPECT_EQ(d.i32(fh + data::stale_count), 1);
    EXPECT_EQ(d.i32(fh + data::repeated_count), 1);
    EXPECT_EQ(d.i32(fh + data::contact_count), 1);
    // Accepted 0, 1, 10, 11: forces (1,0,0) + (0,2,0) + (0,0,-4) + (-0.5,0,0), moments
    // (0,0,1) + 0 + (1,0,0) + (0,0.25,0).
    const double totals[6] = {0.5, 2.0, -4.0, 1.0, 0.25, 1.0};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(d.f64(fh + data::total_force + 8 * k), totals[k]) << k;

    // One step of 1/16 on unit masses: v = F/16, x = x0 + F/512. Rejected records would
    // have pushed particle 3 by 50 more, particle 2 (through export index 4) by 9 in y and
    // particle 4 by 7 in z.
    ASSERT_TRUE(acked_ok(w.command(6, ADVANCE, 10, 0.0625), 6));
    ASSERT_TRUE(acked_ok(w.command(7, EXPORT, 11), 7));
    const struct {
        double x[3], v[3];
    } moved[4] = {
        {{4.0 + 1.0 / 512, 0.0, 0.0}, {1.0 / 16, 0.0, 0.0}},    // export 1, particle 3, F (1,0,0)
        {{0.0, 1.0 / 256, 0.0}, {0.0, 1.0 / 8, 0.0}},          // export 2, particle 1, F (0,2,0)
        {{6.0 - 1.0 / 1024, 0.0, 0.0}, {-1.0 / 32, 0.0, 0.0}},  // export 3, particle 4, F (-0.5,0,0)
        {{2.0, 0.0, -1.0 / 128}, {0.0, 0.0, -0.25}},            // export 4, particle 2, F (0,0,-4)
    };
    for (int k = 0; k < 4; ++k) {
        const ParticleOut p = test::read_particle(d, k);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(p.x[c], moved[k].x[c]) << k << " " << c;
            EXPECT_EQ(p.v[c], moved[k].v[c]) << k << " " << c;
        }
    }
    ASSERT_NO_FATAL_FAILURE(stop(w, 8));

    // A force row for every record, accepted or not, with region index 1.
    const auto forces = w.report("quorrel_zenvik_force_report.csv");
    ASSERT_EQ(forces.size(), 13u);
    for (int k = 0; k < 12; ++k) {
        const ForceIn& f = plan[k].record;
        const std::string row = joined({"10", "1", std::to_string(f.source_id), std::to_string(f.pair_id),
                                        std::to_string(f.particle_id_ext), std::to_string(f.export_index),
                                        std::to_string(f.internal_index), reals(f.force, 3), reals(f.moment, 3),
                                        contact_names[f.contact_state], reason_names[plan[k].reason]});
        EXPECT_EQ(forces[k + 1], row) << "record " << k;
    }
    // Eight particle rows: four per export, the second with the moved particles.
    const auto particles = w.report("quorrel_zenvik_particle_report.csv");
    ASSERT_EQ(particles.size(), 9u);
    EXPECT_EQ(particles[5], "11,1,1,3,23,6,0,1,1," + reals(moved[0].x, 3) + "," + reals(moved[0].v, 3) + ",none");
    EXPECT_EQ(particles[8], "11,1,4,2,22,6,0,1,1," + reals(moved[3].x, 3) + "," + reals(moved[3].v, 3) + ",none");

    const auto log = w.report("worker.log");
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log[7], log_prefix(case_file) + ",5,10,5,DONE,4,0,12," + reals(totals, 6) + ",0,0,ok");
}

TEST_F(WorkerExchange, RegionsFollowOneAnotherAndForcesGoToRegionOneOnly) {
    const std::string case_file = deck("worker_regions.inp");
    WorkerProcess w(*host, case_file, dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 2), 4));
    DataView d = block();
    // First: nodes 2, 4; Off is disabled; Third: nodes 5, 3, 1, export indices from 1 again.
    const struct {
        int region, export_index, internal, material;
    } want[5] = {{1, 1, 2, 1}, {1, 2, 4, 2}, {3, 1, 5, 2}, {3, 2, 3, 2}, {3, 3, 1, 1}};
    ASSERT_EQ(d.i32(data::particle_header + data::count), 5);
    for (int k = 0; k < 5; ++k) {
        const ParticleOut p = test::read_particle(d, k);
        EXPECT_EQ(p.export_index, want[k].export_index) << k;
        EXPECT_EQ(p.internal_index, want[k].internal) << k;
        EXPECT_EQ(p.particle_id_ext, want[k].internal) << k;  // node n is particle n
        EXPECT_EQ(p.material_id, want[k].material) << k;
        EXPECT_EQ(p.section_id, want[k].material) << k;
        EXPECT_EQ(p.x[0], want[k].internal - 1.0) << k;
    }

    // A record exported from Third names a particle region 1 does not list at that index:
    // unmatched. The one exported from First as its second particle is taken.
    ForceIn from_third = aimed_at(test::read_particle(d, 2));
    from_third.force[2] = 1.0;
    ForceIn from_first = aimed_at(test::read_particle(d, 1));
    from_first.force[2] = 2.0;
    test::write_force(d, 0, from_third);
    test::write_force(d, 1, from_first);
    d.set_force_header(1, 4096, 2);
    ASSERT_TRUE(acked_ok(w.command(5, IMPORT, 2), 5));
    EXPECT_EQ(d.i32(DataView::force_at(0) + force::reject_reason), 1);
    EXPECT_EQ(d.i32(DataView::force_at(1) + force::reject_reason), 0);
    ASSERT_TRUE(acked_ok(w.command(6, ADVANCE, 2, 0.0625), 6));
    ASSERT_TRUE(acked_ok(w.command(7, EXPORT, 3), 7));
    // Particle 4 rose by 2/512; particle 5 (Third's first) and particle 2 (region 1's
    // export index 1) did not move.
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(test::read_particle(d, k).x[2], want[k].internal == 4 ? 1.0 / 256 : 0.0) << k;
    ASSERT_NO_FATAL_FAILURE(stop(w, 8));

    const auto particles = w.report("quorrel_zenvik_particle_report.csv");
    ASSERT_EQ(particles.size(), 11u);
    for (int k = 0; k < 5; ++k) {
        const std::string expected = "2," + std::to_string(want[k].region) + "," +
                                     std::to_string(want[k].export_index) + "," + std::to_string(want[k].internal);
        EXPECT_EQ(particles[k + 1].substr(0, expected.size()), expected) << particles[k + 1];
    }
}

TEST_F(WorkerExchange, ImpossibleForceHeadersFailAsInternalWithNoRecordMarked) {
    const struct {
        const char* what;
        int version, capacity, count;
    } cases[] = {
        {"count 4097", 1, 5000, 4097},
        {"count above the capacity", 1, 1, 2},
        {"version 2", 2, 4096, 2},
        {"count -1", 1, 4096, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        new_host();
        const fs::path run = dir / std::to_string(&c - cases);
        fs::create_directories(run);
        WorkerProcess w(*host, deck("worker_row.inp"), run.string());
        ASSERT_NO_FATAL_FAILURE(start(w));
        ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 1), 4));
        DataView d = block();
        for (int k = 0; k < 2; ++k) {
            ForceIn f = aimed_at(test::read_particle(d, k));
            f.force[0] = 1.0;
            f.reject_reason = 9;
            test::write_force(d, k, f);
        }
        d.set_force_header(c.version, c.capacity, c.count);
        d.set(data::force_header + data::rejected_count, 77);
        d.set(data::force_header + data::total_force, 77.0);
        const Ack ack = w.command(5, IMPORT, 1);
        EXPECT_EQ(ack.sequence, 5);
        EXPECT_EQ(ack.state, state_error);
        EXPECT_EQ(ack.error, error_internal);
        EXPECT_EQ(ack.message, "INTERNAL");
        EXPECT_EQ(w.exit_status(), 2);
        for (int k = 0; k < 2; ++k) EXPECT_EQ(d.i32(DataView::force_at(k) + force::reject_reason), 9) << k;
        EXPECT_EQ(d.i32(data::force_header + data::rejected_count), 77);
        EXPECT_EQ(d.f64(data::force_header + data::total_force), 77.0);
        EXPECT_EQ(w.report("quorrel_zenvik_force_report.csv").size(), 1u);
        const auto log = w.report("worker.log");
        ASSERT_FALSE(log.empty());
        EXPECT_NE(log.back().find(",5,1,5,ERROR,"), std::string::npos) << log.back();
        EXPECT_EQ(log.back().substr(log.back().size() - 24), ",7,worker command failed") << log.back();
    }
}

TEST_F(WorkerExchange, CountZeroSucceedsLeavesTheDiagnosticsAndClearsTheImports) {
    WorkerProcess w(*host, deck("worker_row.inp"), dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 1), 4));
    DataView d = block();
    ForceIn f = aimed_at(test::read_particle(d, 0));
    f.force[2] = 1.0;
    test::write_force(d, 0, f);
    d.set_force_header(1, 4096, 1);
    ASSERT_TRUE(acked_ok(w.command(5, IMPORT, 1), 5));
    ASSERT_EQ(d.i32(DataView::force_at(0) + force::reject_reason), 0);

    // The host takes the force back: count 0. Its diagnostics and marks stay as they are.
    d.set_force_header(1, 4096, 0);
    d.set(data::force_header + data::rejected_count, 77);
    d.set(data::force_header + data::total_force + 16, 77.0);
    d.set(DataView::force_at(0) + force::reject_reason, 9);
    ASSERT_TRUE(acked_ok(w.command(6, IMPORT, 1), 6));
    EXPECT_EQ(d.i32(data::force_header + data::rejected_count), 77);
    EXPECT_EQ(d.f64(data::force_header + data::total_force + 16), 77.0);
    EXPECT_EQ(d.i32(DataView::force_at(0) + force::reject_reason), 9);
    // ... and the force imported before is gone: nothing moves.
    ASSERT_TRUE(acked_ok(w.command(7, ADVANCE, 1, 0.0625), 7));
    ASSERT_TRUE(acked_ok(w.command(8, EXPORT, 2), 8));
    EXPECT_EQ(test::read_particle(d, 0).x[2], 0.0);
    EXPECT_EQ(test::read_particle(d, 0).v[2], 0.0);
    ASSERT_NO_FATAL_FAILURE(stop(w, 9));
}

// One cell of the step CSV by particle id and column name; NaN when absent.
double csv_value(const std::string& path, int id, const std::string& column) {
    std::ifstream in(path);
    std::string header;
    if (!std::getline(in, header)) return nan;
    std::vector<std::string> names;
    std::stringstream hs(header);
    for (std::string name; std::getline(hs, name, ',');) names.push_back(name);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::stringstream ls(line);
        for (std::string cell; std::getline(ls, cell, ',');) cells.push_back(cell);
        if (cells.empty() || std::stoi(cells[0]) != id) continue;
        for (std::size_t k = 0; k < names.size() && k < cells.size(); ++k)
            if (names[k] == column) return std::strtod(cells[k].c_str(), nullptr);
    }
    return nan;
}

TEST_F(WorkerExchange, ContactStateOnAShellProxyOpensTheHostStepAndTheForceStillActs) {
    fs::create_directories(dir / "output");  // the deck's step output goes to ./output
    WorkerProcess w(*host, deck("worker_shell.inp"), dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 7), 4));
    DataView d = block();
    const ParticleOut target = test::read_particle(d, 0);
    ASSERT_EQ(target.particle_id_ext, 2);
    ASSERT_EQ(target.phase, 5);
    // Host step 7 is new to the model (the build left it at its first step): the contact
    // import empties the buffers first, so the force must come after it to survive.
    ForceIn f = aimed_at(target);
    f.force[2] = 2.0;
    f.contact_state = 2;
    f.normal[2] = 1.0;
    f.gap = 0.25;
    f.penetration = 0.5;
    f.pressure = 3.0;
    f.valid_flags = 0x5;
    f.step_id = 7;
    test::write_force(d, 0, f);
    d.set_force_header(1, 4096, 1);
    ASSERT_TRUE(acked_ok(w.command(5, IMPORT, 7), 5));
    EXPECT_EQ(d.i32(DataView::force_at(0) + force::reject_reason), 0);
    EXPECT_EQ(d.i32(data::force_header + data::contact_count), 1);

    // Written before the advance, the step file shows both imports on particle 2 only.
    ASSERT_TRUE(acked_ok(w.command(6, WRITE_OUTPUT, 0), 6));
    const std::string csv = (dir / "output" / "quorrel_00000000.csv").string();
    EXPECT_EQ(csv_value(csv, 2, "coupling_force_z"), 2.0);
    EXPECT_EQ(csv_value(csv, 2, "coupling_gap"), 0.25);
    EXPECT_EQ(csv_value(csv, 2, "coupling_penetration"), 0.5);
    EXPECT_EQ(csv_value(csv, 2, "coupling_contact_flag"), 1.0);
    EXPECT_EQ(csv_value(csv, 1, "coupling_force_z"), 0.0);
    EXPECT_EQ(csv_value(csv, 1, "coupling_contact_flag"), 0.0);

    // Unit mass, one step of 1/16: vz = 2/16, z = 2/512.
    ASSERT_TRUE(acked_ok(w.command(7, ADVANCE, 7, 0.0625), 7));
    ASSERT_TRUE(acked_ok(w.command(8, EXPORT, 8), 8));
    const ParticleOut moved = test::read_particle(d, 0), still = test::read_particle(d, 1);
    EXPECT_EQ(moved.x[0], 3.0);
    EXPECT_EQ(moved.x[2], 1.0 / 256);
    EXPECT_EQ(moved.v[2], 0.125);
    EXPECT_EQ(still.x[2], 0.0);
    EXPECT_EQ(still.v[2], 0.0);
    ASSERT_NO_FATAL_FAILURE(stop(w, 9));
}

TEST_F(WorkerExchange, ConstantForceThroughTheExchangeIsAppliedOnceEachStepToItsParticle) {
    // 512 free boundary particles of unit mass on an 8 x 8 x 8 lattice of spacing 2. Each
    // cycle the host answers every exported record with F = (1, -1, 0.5), so a = F, and
    // advances by dt = 2^-10. Leapfrog is exact for a constant acceleration: after n
    // cycles v = a n dt and x = x0 + a (n dt)^2 / 2, here without any rounding.
    const fs::path case_file = dir / "lattice.inp";
    double x0[513][3];
    {
        std::ofstream out(case_file);
        out << "*NODE\n";
        for (int id = 1; id <= 512; ++id) {
            const int i = id - 1;
            x0[id][0] = 2.0 * (i % 8), x0[id][1] = 2.0 * (i / 8 % 8), x0[id][2] = 2.0 * (i / 64);
            out << id << ", " << x0[id][0] << ", " << x0[id][1] << ", " << x0[id][2] << "\n";
        }
        out << "*NSET, NSET=LATTICE\n";
        for (int id = 1; id <= 512; ++id) out << id << (id % 16 == 0 ? "\n" : ", ");
        out << "*MATERIAL, NAME=WALL, TYPE=BOUNDARY\n*DENSITY\n1000.0\n*SECTION, NSET=LATTICE, MATERIAL=WALL\n"
               "*QUORREL, TIME CONTROL, DT=0.0009765625, TIME=1.0, STEPS=1000\n"
               "*QUORREL, COUPLING REGION, NAME=Lattice, NSET=LATTICE\n";
    }
    WorkerProcess w(*host, case_file.string(), dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    DataView d = block();
    const double a[3] = {1.0, -1.0, 0.5};
    const double dt = 0x1p-10;
    const int cycles = 8;
    int sequence = 4;
    for (int n = 1; n <= cycles; ++n) {
        ASSERT_TRUE(acked_ok(w.command(sequence, EXPORT, n), sequence));
        ++sequence;
        ASSERT_EQ(d.i32(data::particle_header + data::count), 512) << n;
        // The ids of the exported record, copied byte for byte into its force record.
        for (int k = 0; k < 512; ++k) {
            const std::size_t from = DataView::particle_at(k), to = DataView::force_at(k);
            ForceIn f;
            f.force[0] = a[0], f.force[1] = a[1], f.force[2] = a[2];
            f.step_id = n;
            test::write_force(d, k, f);
            std::memcpy(d.bytes() + to, d.bytes() + from, 16);  // node number, export and internal index
        }
        d.set_force_header(1, 4096, 512);
        ASSERT_TRUE(acked_ok(w.command(sequence, IMPORT, n), sequence));
        ++sequence;
        ASSERT_EQ(d.i32(data::force_header + data::rejected_count), 0) << n;
        EXPECT_EQ(d.f64(data::force_header + data::total_force), 512.0) << n;
        EXPECT_EQ(d.f64(data::force_header + data::total_force + 8), -512.0) << n;
        EXPECT_EQ(d.f64(data::force_header + data::total_force + 16), 256.0) << n;
        ASSERT_TRUE(acked_ok(w.command(sequence, ADVANCE, n, dt), sequence));
        ++sequence;
    }
    ASSERT_TRUE(acked_ok(w.command(sequence, EXPORT, cycles + 1), sequence));
    ++sequence;
    const double t = cycles * dt;
    int checked = 0;
    for (int k = 0; k < 512; ++k) {
        const ParticleOut p = test::read_particle(d, k);
        ASSERT_GE(p.particle_id_ext, 1);
        ASSERT_LE(p.particle_id_ext, 512);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(p.v[c], a[c] * t) << p.particle_id_ext << " " << c;
            EXPECT_EQ(p.x[c], x0[p.particle_id_ext][c] + a[c] * t * t / 2) << p.particle_id_ext << " " << c;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 512);
    ASSERT_NO_FATAL_FAILURE(stop(w, sequence));
}

// The coupling interface refuses the largest double itself. A force of it (or a contact
// gap of it, on a region that imports contact states) is turned away by the worker's own
// check, counted as non-finite, and the session goes on with the record beside it.
TEST_F(WorkerExchange, LargestDoubleForceOrGapIsRejectedAndTheSessionGoesOn) {
    const double big = std::numeric_limits<double>::max();
    WorkerProcess w(*host, deck("worker_shell.inp"), dir.string());
    ASSERT_NO_FATAL_FAILURE(start(w));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 0), 4));
    DataView d = block();
    // Export index 1 is node 2 (particle 2), 2 is node 1 (particle 1).
    const ParticleOut second = test::read_particle(d, 0), first = test::read_particle(d, 1);
    ASSERT_EQ(second.particle_id_ext, 2);
    ASSERT_EQ(first.particle_id_ext, 1);
    ForceIn huge_force = aimed_at(second);
    huge_force.force[0] = big;
    huge_force.source_id = 1;
    ForceIn huge_gap = aimed_at(second);
    huge_gap.force[2] = 1.0;
    huge_gap.contact_state = 2;
    huge_gap.normal[2] = 1.0;
    huge_gap.gap = big;
    huge_gap.valid_flags = 0x5;
    huge_gap.source_id = 2;
    ForceIn sound = aimed_at(first);
    sound.force[2] = 2.0;
    sound.source_id = 3;
    test::write_force(d, 0, huge_force);
    test::write_force(d, 1, huge_gap);
    test::write_force(d, 2, sound);
    d.set_force_header(1, 4096, 3);
    ASSERT_TRUE(acked_ok(w.command(5, IMPORT, 0), 5));
    EXPECT_EQ(d.i32(DataView::force_at(0) + force::reject_reason), 2);
    EXPECT_EQ(d.i32(DataView::force_at(1) + force::reject_reason), 3);
    EXPECT_EQ(d.i32(DataView::force_at(2) + force::reject_reason), 0);
    EXPECT_EQ(d.i32(data::force_header + data::rejected_count), 2);
    EXPECT_EQ(d.i32(data::force_header + data::nonfinite_count), 2);
    EXPECT_EQ(d.i32(data::force_header + data::contact_count), 0);
    EXPECT_EQ(d.f64(data::force_header + data::total_force + 16), 2.0);
    // Unit mass, one step of 1/16: particle 1 gets vz = 2/16 and z = 2/512; particle 2
    // nothing.
    ASSERT_TRUE(acked_ok(w.command(6, ADVANCE, 0, 0.0625), 6));
    ASSERT_TRUE(acked_ok(w.command(7, EXPORT, 1), 7));
    EXPECT_EQ(test::read_particle(d, 1).v[2], 0.125);
    EXPECT_EQ(test::read_particle(d, 1).x[2], 1.0 / 256);
    EXPECT_EQ(test::read_particle(d, 0).v[0], 0.0);
    EXPECT_EQ(test::read_particle(d, 0).v[2], 0.0);
    ASSERT_NO_FATAL_FAILURE(stop(w, 8));
}

// A host thread rewrites the force header's count and the records' indices without
// pause while IMPORT_LOADS is sent again and again. The worker reads each value once, so
// every session ends with an acknowledgement and exit 0 or 2: no signal, and (in the
// sanitizer build) no report on its standard error.
TEST_F(WorkerExchange, ARacingHostNeverMakesTheWorkerReadPastItsBlock) {
    for (int session = 0; session < 16; ++session) {
        SCOPED_TRACE(session);
        new_host();
        const fs::path run = dir / std::to_string(session);
        fs::create_directories(run);
        WorkerProcess w(*host, deck("worker_row.inp"), run.string());
        ASSERT_NO_FATAL_FAILURE(start(w));
        ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 1), 4));
        DataView d = block();
        // All 4096 records aim at the four exported particles, each with its own source.
        std::vector<std::string> exported;  // "node,export index,internal index"
        for (int k = 0; k < 4; ++k) {
            const ParticleOut p = test::read_particle(d, k);
            exported.push_back(std::to_string(p.particle_id_ext) + "," + std::to_string(p.export_index) + "," +
                               std::to_string(p.internal_index));
        }
        for (int k = 0; k < 4096; ++k) {
            ForceIn f = aimed_at(test::read_particle(d, k % 4));
            f.force[0] = 1.0;
            f.source_id = k;
            test::write_force(d, k, f);
        }
        d.set_force_header(1, 4096, 4096);

        std::atomic<bool> racing{true};
        std::thread racer([&racing, bytes = host->data_bytes()] {
            volatile unsigned char* block = bytes;
            const auto put = [block](std::size_t at, std::int32_t v) {
                unsigned char raw[4];
                std::memcpy(raw, &v, sizeof raw);
                for (int b = 0; b < 4; ++b) block[at + b] = raw[b];
            };
            // The count is the whole half, and an eighth of the time far beyond it: a worker
            // that reads it again after its check runs off the end of the mapping, one that
            // reads it once mostly gets a sound header and serves the import.
            for (std::uint32_t n = 0; racing.load(std::memory_order_relaxed); ++n) {
                put(data::force_header + data::count, n % 8 == 0 ? 0x40000000 : 4096);
                const std::size_t at = DataView::force_at(static_cast<int>(n * 2654435761u % 4096));
                const bool wild = n % 4 < 2;
                put(at + force::export_index, wild ? 0x7fffffff : 1);
                put(at + force::internal_index, wild ? -0x7fffffff : 3);
            }
        });
        int sequence = 5;
        for (; sequence < 45; ++sequence) {
            const Ack ack = w.command(sequence, IMPORT, 1);
            if (ack.sequence != sequence || ack.error != 0) break;
        }
        racing = false;
        racer.join();
        int status = w.exit_status(sequence == 45 ? 0 : 10000);
        if (status < 0) {  // still serving: every import was taken
            ASSERT_TRUE(acked_ok(w.command(sequence, STOP), sequence, state_stopped));
            status = w.exit_status();
        }
        EXPECT_TRUE(status == 0 || status == 2) << status;
        const std::string err = w.file("worker.err");
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
        // The rows come from the records as they were checked: a record taken names an
        // exported particle, whatever the host wrote into the block afterwards.
        const auto rows = w.report("quorrel_zenvik_force_report.csv");
        int taken = 0, wrong = 0;
        for (std::size_t r = 1; r < rows.size(); ++r) {
            std::vector<std::string> f;
            std::stringstream cells(rows[r]);
            for (std::string cell; std::getline(cells, cell, ',');) f.push_back(cell);
            ASSERT_EQ(f.size(), 15u) << rows[r];
            if (f[14] != "none") continue;
            ++taken;
            const std::string target = f[4] + "," + f[5] + "," + f[6];
            if (std::find(exported.begin(), exported.end(), target) == exported.end()) ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "of " << taken << " rows of records taken";
    }
}

// ---- In this process, on the model of the interface ----

class WorkerExchangeInProcess : public test::QuorrelTest {
protected:
    fs::path dir;
    quorrel_worker_options_t options{};
    quorrel_worker_runtime_reports_t reports{};
    std::string log_path;

    void SetUp() override {
        test::QuorrelTest::SetUp();
        dir = fs::temp_directory_path() / ("quorrel_exchange_inprocess_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        quorrel_worker_options_defaults(&options);
        log_path = (dir / "w.log").string();
        options.log_path = log_path.c_str();
        quorrel_worker_runtime_reports_init(&reports, &options);
        quorrel_worker_runtime_reports_prepare(&reports);
        ASSERT_EQ(quorrel_initialize(), 0);
    }
    void TearDown() override {
        quorrel_worker_runtime_reports_close(&reports);
        (void)quorrel_finalize();
        fs::remove_all(dir);
        test::QuorrelTest::TearDown();
    }
    std::vector<std::string> particle_rows() {
        quorrel_worker_runtime_reports_flush(&reports);
        return test::read_lines((dir / "quorrel_zenvik_particle_report.csv").string());
    }
    // Position of particle `index` (from 1).
    static std::vector<double> position(int index) {
        const std::size_t i = static_cast<std::size_t>(index - 1);
        return {sph_database.x[3 * i], sph_database.x[3 * i + 1], sph_database.x[3 * i + 2]};
    }
};

TEST_F(WorkerExchangeInProcess, WithoutADataBlockExportCountsRegionsAndImportClearsTheImports) {
    ASSERT_EQ(quorrel_read_inp(deck("worker_row.inp").c_str()), 0);
    ASSERT_EQ(quorrel_build_model(), 0);
    quorrel_worker_ipc_t ipc;
    std::memset(&ipc, 0, sizeof ipc);  // attached to nothing: no data view
    EXPECT_EQ(quorrel_worker_runtime_exchange_data(&ipc), nullptr);
    EXPECT_EQ(quorrel_worker_runtime_exchange_data(nullptr), nullptr);
    EXPECT_EQ(quorrel_worker_runtime_export_particles(&ipc, &reports, 1), 0);
    EXPECT_EQ(particle_rows().size(), 1u);  // the header only

    // A force buffered on export index 1 (particle 3) is discarded by the import.
    const int export_index = 1;
    const double push[3] = {0.0, 0.0, 1.0};
    ASSERT_EQ(quorrel_coupling_apply_particle_forces(1, 1, &export_index, push), 0);
    EXPECT_EQ(quorrel_worker_runtime_import_forces(&ipc, &reports, 1), 0);
    ASSERT_EQ(quorrel_advance_explicit(0.0625), 0);
    EXPECT_EQ(position(3), (std::vector<double>{4.0, 0.0, 0.0}));
}

TEST_F(WorkerExchangeInProcess, ExchangeCommandsAskTheInterfaceWhetherItIsInitialized) {
    ASSERT_EQ(quorrel_finalize(), 0);
    auto block = std::make_unique<quorrel_worker_data_exchange_t>();
    quorrel_worker_data_exchange_clear(block.get());
    quorrel_worker_ipc_t ipc;
    ASSERT_EQ(quorrel_worker_ipc_init(&ipc, "inprocess", nullptr, nullptr), 0);
    ipc.data_view = block.get();
    quorrel_worker_runtime_t runtime;
    quorrel_worker_runtime_init(&runtime);
    for (const int command : {EXPORT, IMPORT}) {
        int stop_requested = 0;
        EXPECT_NE(quorrel_worker_runtime_execute(&runtime, &ipc, &options, &reports, command, 0.0, 1,
                                                 &stop_requested),
                  0)
            << command;
        int code = 0;
        char message[256] = {};
        ASSERT_EQ(quorrel_get_last_error(&code, message, sizeof message), 0);
        EXPECT_EQ(code, 2) << command;
        EXPECT_STREQ(message, "Quorrel API is not initialized") << command;
        EXPECT_EQ(stop_requested, 0);
    }
    EXPECT_EQ(block->particle_header.count, 0);
    ASSERT_EQ(quorrel_initialize(), 0);  // for the fixture's finalise
}

TEST_F(WorkerExchangeInProcess, AParticleTheCheckTurnsAwayIsCountedAndStillReported) {
    ASSERT_EQ(quorrel_read_inp(deck("worker_pair.inp").c_str()), 0);
    ASSERT_EQ(quorrel_build_model(), 0);
    // Particle 3 (node 9, export index 1) with h = 0: contact radius 0, an invalid weight.
    sph_database.h[2] = 0.0;
    auto block = std::make_unique<quorrel_worker_data_exchange_t>();
    quorrel_worker_data_exchange_clear(block.get());
    quorrel_worker_ipc_t ipc;
    std::memset(&ipc, 0, sizeof ipc);
    ipc.data_view = block.get();
    EXPECT_EQ(quorrel_worker_runtime_export_particles(&ipc, &reports, 3), 0);
    EXPECT_EQ(block->particle_header.count, 1);
    EXPECT_EQ(block->particle_header.rejected_count, 1);
    EXPECT_EQ(block->particle_header.nonfinite_count, 0);
    EXPECT_EQ(block->particles[0].particle_id_ext, 7);
    EXPECT_EQ(block->particles[0].export_index, 2);
    const auto rows = particle_rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].substr(0, 10), "3,1,1,3,9,") << rows[1];
    EXPECT_EQ(rows[2].substr(0, 10), "3,1,2,1,7,") << rows[2];
    // The import side: with no region particle matching, nothing is taken and the
    // imports are cleared, which succeeds.
    block->force_header.count = 1;
    block->forces[0].particle_id_ext = 8;  // node 8 is in no region
    block->forces[0].export_index = 1;
    block->forces[0].internal_index = 2;
    block->forces[0].valid_flags = 1;
    EXPECT_EQ(quorrel_worker_runtime_import_forces(&ipc, &reports, 3), 0);
    EXPECT_EQ(block->forces[0].reject_reason, 1);
}

}  // namespace
}  // namespace quorrel
