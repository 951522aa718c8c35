// Force records whose acceptance would take a sum past the largest double: the header's
// totals and, with the export list, the force a particle gathers (what the coupling
// interface already buffers for it included). Such a record is rejected as
// nonfinite_force and counted, the totals stay finite and, through a worker process, the
// session goes on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app_worker_data_host.h"
#include "sph_worker_blocks.h"
#include "sph_worker_contract.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
namespace data = test::data;
namespace force = test::force;
using test::DataView;
using test::ForceIn;
using test::ParticleOut;
using test::WorkerProcess;

// ---- The analysis in-process ----

using Force = quorrel_worker_force_record_t;

// A record the check takes, on export index `export_index` (internal index and node
// number alike), with a source of its own.
Force record_on(int export_index, long long source, const double f[3], const double m[3]) {
    Force r;
    quorrel_worker_force_record_clear(&r);
    r.particle_id_ext = export_index;
    r.export_index = r.internal_index = export_index;
    r.source_id = source;
    r.valid_flags = 1;
    std::memcpy(r.force, f, sizeof r.force);
    std::memcpy(r.moment, m, sizeof r.moment);
    return r;
}

TEST(WorkerForceOverflow, ARecordThatWouldOverflowASumIsRejectedAsNonfinite) {
    const double zero[3] = {0, 0, 0}, x[3] = {1e308, 0, 0}, minus_x[3] = {-1e308, 0, 0}, z[3] = {0, 0, 1e308};
    struct Item {
        int export_index;
        const double* force;
        const double* moment;
        int reason;
    };
    const struct {
        const char* what;
        std::vector<Item> records;
        double seed;  // x force export index 1 already holds (with the export list)
        bool with_exports;
        double total_force_x, total_moment_z;
    } cases[] = {
        {"a header force total", {{1, x, zero, 0}, {2, x, zero, 2}, {2, minus_x, zero, 0}}, 0.0, false, 0.0, 0.0},
        {"a header moment total", {{1, zero, z, 0}, {2, zero, z, 2}}, 0.0, false, 0.0, 1e308},
        // Header 1e308, 0, 1e308; index 2 gathers -1e308 + 1e308: no sum leaves the range.
        {"sums that stay in range", {{1, x, zero, 0}, {2, minus_x, zero, 0}, {2, x, zero, 0}}, 0.0, true, 1e308,
         0.0},
        // Export index 1 gathers 1e308 twice; index 2's -1e308 keeps the header total in range.
        {"a particle's sum", {{2, minus_x, zero, 0}, {1, x, zero, 0}, {1, x, zero, 2}}, 0.0, true, 0.0, 0.0},
        {"a particle's sum from what it holds", {{1, x, zero, 2}, {2, x, zero, 0}}, 1e308, true, 1e308, 0.0},
        // Without the list nothing knows what a particle holds.
        {"no list, no particle sum", {{1, x, zero, 0}}, 1e308, false, 1e308, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        quorrel_worker_block_header_t header{};
        header.version = quorrel_worker_data_version;
        header.capacity = quorrel_worker_block_record_capacity;
        header.count = static_cast<std::int32_t>(c.records.size());
        std::vector<Force> records;
        long long source = 0;
        for (const Item& item : c.records)
            records.push_back(record_on(item.export_index, ++source, item.force, item.moment));
        const int ids[2] = {1, 2};
        double sums[6] = {c.seed, 0, 0, 0, 0, 0};
        const quorrel_worker_export_list_t exports{2, ids, ids, sums};
        int valid = -1, contacts = -1;
        ASSERT_EQ(quorrel_worker_force_records_analyze(&header, records.data(), 0, &valid, &contacts,
                                                       c.with_exports ? &exports : nullptr),
                  0);
        int rejected = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].reject_reason, c.records[i].reason) << "record " << i;
            rejected += c.records[i].reason != 0;
        }
        EXPECT_EQ(valid, static_cast<int>(records.size()) - rejected);
        EXPECT_EQ(header.rejected_count, rejected);
        EXPECT_EQ(header.nonfinite_count, rejected);
        EXPECT_EQ(header.total_force[0], c.total_force_x);
        EXPECT_EQ(header.total_moment[2], c.total_moment_z);
    }
}

// ---- Through a worker process ----

enum Command { INIT = 1, READ_INPUT = 2, BUILD_MODEL = 3, EXPORT = 4, IMPORT = 5, ADVANCE = 6, STOP = 8 };
constexpr int state_done = 3, state_stopped = 5;

::testing::AssertionResult acked_ok(const test::Ack& ack, int sequence, int state = state_done) {
    if (ack.sequence == sequence && ack.state == state && ack.error == 0 && ack.message == "OK")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "command " << sequence << " acknowledged as sequence " << ack.sequence
                                         << ", state " << ack.state << ", error " << ack.error << " \""
                                         << ack.message << "\"";
}

// worker_pair.inp: unit masses at rest; export index 1 is node 9 (particle 3), export
// index 2 node 7 (particle 1). Forces of 1e308 along x, steps of 1/16.
TEST(WorkerForceOverflowSession, RecordsThatWouldOverflowAreRejectedAndTheSessionGoesOn) {
    const fs::path dir = fs::temp_directory_path() / ("quorrel_overflow_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto host = std::make_unique<test::Host>(test::unique_ipc_name("o"));
    ASSERT_TRUE(host->create());
    DataView d(host->data_bytes());
    WorkerProcess w(*host, std::string(QUORREL_TEST_DECKS) + "/worker_pair.inp", dir.string());
    ASSERT_TRUE(w.started());
    ASSERT_TRUE(w.ready());
    int sequence = 0;
    for (int command : {INIT, READ_INPUT, BUILD_MODEL, EXPORT}) {
        ++sequence;
        ASSERT_TRUE(acked_ok(w.command(sequence, command), sequence));
    }
    const ParticleOut third = test::read_particle(d, 0), first = test::read_particle(d, 1);
    ASSERT_EQ(third.particle_id_ext, 9);
    ASSERT_EQ(first.particle_id_ext, 7);
    const auto huge_on = [](const ParticleOut& p, long long source) {
        ForceIn f;
        f.particle_id_ext = p.particle_id_ext;
        f.export_index = p.export_index;
        f.internal_index = p.internal_index;
        f.force[0] = 1e308;
        f.source_id = source;
        return f;
    };
    const auto import = [&](const std::vector<ForceIn>& records) {
        for (std::size_t k = 0; k < records.size(); ++k) test::write_force(d, static_cast<int>(k), records[k]);
        d.set_force_header(1, 4096, static_cast<std::int32_t>(records.size()));
        ++sequence;
        return acked_ok(w.command(sequence, IMPORT), sequence);
    };
    const auto reason = [&d](int k) { return d.i32(DataView::force_at(k) + force::reject_reason); };
    const auto header = [&d](std::size_t field) { return d.i32(data::force_header + field); };

    // Two accepted forces of 1e308 on one particle: the second is turned away.
    ASSERT_TRUE(import({huge_on(third, 1), huge_on(third, 2)}));
    EXPECT_EQ(reason(0), 0);
    EXPECT_EQ(reason(1), 2);
    EXPECT_EQ(header(data::rejected_count), 1);
    EXPECT_EQ(header(data::nonfinite_count), 1);
    EXPECT_EQ(d.f64(data::force_header + data::total_force), 1e308);

    // Another import of the same host step: its own header total would be 1e308, but the
    // particle already holds the first. A force of 2 along y on the other particle is
    // taken, so the import keeps what is buffered.
    ForceIn beside;
    beside.particle_id_ext = first.particle_id_ext;
    beside.export_index = first.export_index;
    beside.internal_index = first.internal_index;
    beside.force[1] = 2.0;
    beside.source_id = 4;
    ASSERT_TRUE(import({huge_on(third, 3), beside}));
    EXPECT_EQ(reason(0), 2);
    EXPECT_EQ(reason(1), 0);
    EXPECT_EQ(header(data::rejected_count), 1);
    EXPECT_EQ(header(data::nonfinite_count), 1);
    EXPECT_EQ(d.f64(data::force_header + data::total_force), 0.0);
    EXPECT_EQ(d.f64(data::force_header + data::total_force + 8), 2.0);

    // One step of 1/16 on unit masses: v = F / 16, the halvings exact.
    ++sequence;
    ASSERT_TRUE(acked_ok(w.command(sequence, ADVANCE, 0, 0.0625), sequence));
    ++sequence;
    ASSERT_TRUE(acked_ok(w.command(sequence, EXPORT), sequence));
    EXPECT_EQ(test::read_particle(d, 0).v[0], 1e308 / 16);
    EXPECT_EQ(test::read_particle(d, 1).v[1], 0.125);
    ++sequence;
    ASSERT_TRUE(acked_ok(w.command(sequence, STOP), sequence, state_stopped));
    EXPECT_EQ(w.exit_status(), 0);
    host.reset();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace quorrel
