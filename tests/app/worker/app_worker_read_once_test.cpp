// The worker reads each force record once, into a copy, and takes the particle, the force
// and the contact values it imports from that copy alone. A host thread keeps switching
// every record between two states, each of them a sound record, while IMPORT_LOADS runs:
// whatever the copy caught, the force report names it, and the forces and contacts the
// model received must be exactly those of the rows the report marks accepted. A worker
// that went back to the block for a value after its checks would take it from another
// state: a force sent to another particle, or a contact value the check never saw.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app_worker_data_host.h"
#include "quorrel_test.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using test::Ack;
using test::DataView;
using test::Host;
using test::ParticleOut;
using test::WorkerProcess;
namespace data = test::data;
namespace force = test::force;

enum Command { INIT = 1, READ_INPUT = 2, BUILD_MODEL = 3, EXPORT = 4, IMPORT = 5, ADVANCE = 6, WRITE_OUTPUT = 7, STOP = 8 };
constexpr int state_done = 3, state_stopped = 5;

::testing::AssertionResult acked_ok(const Ack& ack, int sequence, int state = state_done) {
    if (ack.sequence == sequence && ack.state == state && ack.error == 0 && ack.message == "OK")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "command " << sequence << " acknowledged as sequence " << ack.sequence
                                         << ", state " << ack.state << ", error " << ack.error << " \""
                                         << ack.message << "\"";
}

// 32 shell particles of unit mass, 3 apart on the x axis, with nothing in the step but
// what is imported (nodes 101 to 132 are particles 1 to 32). The region lists them
// backwards, so export index e is node 133 - e, and takes contact states.
constexpr int particles = 32;
constexpr double dt = 0.0625;

void write_deck(const fs::path& path) {
    std::ofstream out(path);
    out << "*NODE\n";
    for (int k = 0; k < particles; ++k) out << 101 + k << ", " << 3 * k << ".0, 0.0, 0.0\n";
    out << "*NSET, NSET=SKIN\n";
    for (int k = particles - 1; k >= 0; --k) out << 101 + k << (k % 8 == 0 ? "\n" : ", ");
    out << "*MATERIAL, NAME=PLATE, TYPE=SHELL\n*DENSITY\n7800.0\n*ELASTIC\n2.0e11, 0.3\n"
           "*SHELL SECTION, NSET=SKIN, MATERIAL=PLATE, THICKNESS=0.5, POINTS=3\n"
           "*QUORREL, SHELL DIRECTOR, NSET=SKIN, NX=0.0, NY=0.0, NZ=1.0\n"
           "*QUORREL, TIME CONTROL, DT=0.0625, TIME=100.0, STEPS=1000\n"
           "*QUORREL, COUPLING REGION, NAME=Skin, NSET=SKIN, EXPORT=BOTH, CONTACT_STATE=YES\n";
}

// The two states of a record, as the words the host thread stores. Records 0 to 31 each
// keep one particle and switch between an active contact (gap 0.25, penetration 0.5,
// pressure 3, unit normal) and a released one, whose contact values the host leaves unset
// (NaN, a zero normal): the worker checks contact values only for an imported state, so
// both are sound. Every other record keeps no contact and switches between two particles,
// a force along y for the first and along z for the second, of a size no other record has
// (record / 1024): a force that went astray cannot be made up for by another one.
constexpr int contact_records = particles;
const double unset = std::numeric_limits<double>::quiet_NaN();

struct RecordState {
    std::int64_t particle_id_ext;
    std::int32_t export_index, internal_index;
    double force[3];
    double normal[3];
    double gap, penetration, pressure;
    std::int32_t contact_state;
};

struct Target {
    std::int64_t particle_id_ext;
    std::int32_t export_index, internal_index;
};

RecordState state_of(int record, int state, const std::vector<Target>& exported) {
    RecordState s{};
    if (record < contact_records) {
        const Target& t = exported[static_cast<std::size_t>(record)];
        s.particle_id_ext = t.particle_id_ext, s.export_index = t.export_index, s.internal_index = t.internal_index;
        if (state == 0) {
            s.force[0] = 1.0;
            s.normal[2] = 1.0;
            s.gap = 0.25, s.penetration = 0.5, s.pressure = 3.0;
            s.contact_state = 2;  // active
        } else {
            s.force[0] = 2.0;
            s.gap = s.penetration = s.pressure = unset;
            s.contact_state = 3;  // released
        }
        return s;
    }
    // The second particle is never the first: 1 to 31 export positions further on.
    const int first = record % particles;
    const int second = (first + 1 + record / particles % (particles - 1)) % particles;
    const Target& t = exported[static_cast<std::size_t>(state == 0 ? first : second)];
    s.particle_id_ext = t.particle_id_ext, s.export_index = t.export_index, s.internal_index = t.internal_index;
    s.force[state == 0 ? 1 : 2] = record / 1024.0;
    return s;
}

// The whole record as the host first writes it.
void write_record(DataView& d, int record, const RecordState& s) {
    test::ForceIn f;
    f.particle_id_ext = s.particle_id_ext;
    f.export_index = s.export_index;
    f.internal_index = s.internal_index;
    for (int c = 0; c < 3; ++c) f.force[c] = s.force[c], f.normal[c] = s.normal[c];
    f.gap = s.gap, f.penetration = s.penetration, f.pressure = s.pressure;
    f.contact_state = s.contact_state;
    f.source_id = record + 1;  // no record repeats another
    f.valid_flags = 0x5;       // contact data valid
    test::write_force(d, record, f);
}

// A record's changing fields rewritten in place, each 8-byte word (and the 4-byte contact
// state) in one store, so that a word the worker reads is always one the host wrote.
void store_state(unsigned char* bytes, int record, const RecordState& s) {
    const std::size_t at = DataView::force_at(record);
    const auto put64 = [bytes](std::size_t offset, const void* value) {
        std::uint64_t word;
        std::memcpy(&word, value, sizeof word);
        *reinterpret_cast<volatile std::uint64_t*>(bytes + offset) = word;
    };
    put64(at + force::particle_id_ext, &s.particle_id_ext);
    std::int32_t indices[2] = {s.export_index, s.internal_index};  // export_index and internal_index: one word
    put64(at + force::export_index, indices);
    for (int c = 0; c < 3; ++c) put64(at + force::force + 8 * c, &s.force[c]);
    for (int c = 0; c < 3; ++c) put64(at + force::contact_normal + 8 * c, &s.normal[c]);
    put64(at + force::contact_gap, &s.gap);
    put64(at + force::contact_penetration, &s.penetration);
    put64(at + force::contact_pressure, &s.pressure);
    *reinterpret_cast<volatile std::int32_t*>(bytes + at + force::contact_state) = s.contact_state;
}

// What one IMPORT_LOADS left in the buffers of one particle, from the force report.
struct Expected {
    double force[3] = {0, 0, 0};
    bool contact = false;
};

// A named column of a particle CSV.
std::size_t column(const std::vector<std::string>& header, const std::string& name) {
    for (std::size_t k = 0; k < header.size(); ++k)
        if (header[k] == name) return k;
    ADD_FAILURE() << "no column " << name;
    return 0;
}

class WorkerReadOnce : public ::testing::Test {
protected:
    fs::path dir;
    std::unique_ptr<Host> host;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("quorrel_read_once_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "output");  // the deck's step output goes to ./output
        host = std::make_unique<Host>(test::unique_ipc_name("r"));
        ASSERT_TRUE(host->create());
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(dir);
    }
};

TEST_F(WorkerReadOnce, EveryForceAndContactTheModelTakesIsOneTheForceReportAccepted) {
    write_deck(dir / "skin.inp");
    WorkerProcess w(*host, (dir / "skin.inp").string(), dir.string());
    ASSERT_TRUE(w.started());
    ASSERT_TRUE(w.ready());
    ASSERT_TRUE(acked_ok(w.command(1, INIT), 1));
    ASSERT_TRUE(acked_ok(w.command(2, READ_INPUT), 2));
    ASSERT_TRUE(acked_ok(w.command(3, BUILD_MODEL), 3));
    ASSERT_TRUE(acked_ok(w.command(4, EXPORT, 1), 4));
    DataView d(host->data_bytes());
    ASSERT_EQ(d.i32(data::particle_header + data::count), particles);
    std::vector<Target> exported;
    for (int k = 0; k < particles; ++k) {
        const ParticleOut p = test::read_particle(d, k);
        ASSERT_EQ(p.particle_id_ext, 132 - k);  // the region's order, backwards
        exported.push_back({p.particle_id_ext, p.export_index, p.internal_index});
    }

    const int records = data::records;
    std::vector<RecordState> states[2];
    for (int r = 0; r < records; ++r)
        for (int s = 0; s < 2; ++s) states[s].push_back(state_of(r, s, exported));
    for (int r = 0; r < records; ++r) write_record(d, r, states[0][static_cast<std::size_t>(r)]);
    d.set_force_header(1, records, records);

    // The host thread rewrites every record, sweep after sweep, each time into a state that
    // a hash of the sweep and the record picks: any two sweeps leave about half of the
    // records in different states, so a value read again later differs from the copy's in
    // about half of the records, whenever that is. The first sweep is done before the
    // first import.
    std::atomic<bool> racing{true};
    std::atomic<int> sweeps{0};
    std::thread racer([&, bytes = host->data_bytes()] {
        for (std::uint32_t sweep = 1; racing.load(std::memory_order_relaxed); ++sweep) {
            for (int r = 0; r < records; ++r) {
                std::uint32_t h = sweep * 2654435761u ^ static_cast<std::uint32_t>(r) * 2246822519u;
                h ^= h >> 15;
                h *= 2654435761u;
                store_state(bytes, r, states[h >> 31][static_cast<std::size_t>(r)]);
            }
            sweeps.store(static_cast<int>(sweep), std::memory_order_release);
        }
    });
    while (sweeps.load(std::memory_order_acquire) == 0) std::this_thread::yield();

    // Each cycle: import, write the step files (the buffers still hold the imports), and
    // advance by 1/16, which applies the buffered forces and empties the buffers. On a busy
    // machine the host thread may stand still through an import; the cycles go on until
    // eight imports saw it sweep the records at least twice (the import's own reading takes
    // dozens of sweeps), or 32 cycles have passed.
    int cycles = 0, raced = 0, sequence = 5;
    std::string failed;
    while (failed.empty() && raced < 8 && cycles < 32) {
        ++cycles;
        for (const int command : {IMPORT, WRITE_OUTPUT, ADVANCE}) {
            const int before = sweeps.load(std::memory_order_acquire);
            const ::testing::AssertionResult ok =
                acked_ok(w.command(sequence, command, cycles, command == ADVANCE ? dt : 0.0), sequence);
            if (command == IMPORT && sweeps.load(std::memory_order_acquire) - before >= 2) ++raced;
            ++sequence;
            if (!ok) {
                failed = ok.message();
                break;
            }
        }
    }
    racing = false;
    racer.join();
    // A failed import took a contact value its checks had not seen.
    ASSERT_TRUE(failed.empty()) << failed;
    ASSERT_TRUE(acked_ok(w.command(sequence, EXPORT, cycles + 1), sequence));
    std::vector<ParticleOut> last;
    for (int k = 0; k < particles; ++k) last.push_back(test::read_particle(d, k));
    ASSERT_TRUE(acked_ok(w.command(sequence + 1, STOP), sequence + 1, state_stopped));
    EXPECT_EQ(w.exit_status(), 0);

    // The accepted rows of each cycle, summed per particle (by node number). Forces are
    // multiples of 1/1024 below 4, so every sum is exact in any order.
    std::vector<std::map<std::int64_t, Expected>> expected(static_cast<std::size_t>(cycles) + 1);
    int accepted_by_state[2] = {0, 0};  // rows whose force is of the first or second state
    const auto rows = w.report("quorrel_zenvik_force_report.csv");
    ASSERT_EQ(rows.size(), 1u + static_cast<std::size_t>(cycles * records));
    for (std::size_t k = 1; k < rows.size(); ++k) {
        // step, region, source, pair, node, export index, internal index, force, moment,
        // contact state, reason
        const std::vector<std::string> f = test::csv_fields(rows[k]);
        ASSERT_EQ(f.size(), 15u) << rows[k];
        if (f[14] != "none") continue;
        const int n = std::atoi(f[0].c_str());
        ASSERT_TRUE(n >= 1 && n <= cycles) << rows[k];
        const std::int64_t node = std::atoll(f[4].c_str());
        const int e = std::atoi(f[5].c_str());
        ASSERT_TRUE(e >= 1 && e <= particles) << rows[k];
        // An accepted row names an exported particle whole.
        ASSERT_EQ(node, exported[static_cast<std::size_t>(e - 1)].particle_id_ext) << rows[k];
        ASSERT_EQ(std::atoi(f[6].c_str()), exported[static_cast<std::size_t>(e - 1)].internal_index) << rows[k];
        Expected& x = expected[static_cast<std::size_t>(n)][node];
        double row_force[3];
        for (int c = 0; c < 3; ++c) x.force[c] += row_force[c] = std::strtod(f[7 + c].c_str(), nullptr);
        ++accepted_by_state[row_force[0] == 2.0 || row_force[2] != 0.0 ? 1 : 0];
        if (f[13] == "active") x.contact = true;
    }
    // The copies caught both states: the host thread did race the imports.
    EXPECT_GT(accepted_by_state[0], 0);
    EXPECT_GT(accepted_by_state[1], 0);

    // The step files: each particle's buffered force is the sum of its accepted rows, and
    // it holds a contact, with the active state's values, exactly when one was accepted.
    double velocity[particles + 1][3] = {};
    for (int n = 1; n <= cycles; ++n) {
        SCOPED_TRACE("cycle " + std::to_string(n));
        char name[32];
        std::snprintf(name, sizeof name, "quorrel_%08d.csv", n);
        const std::vector<std::string> lines = test::read_lines((dir / "output" / name).string());
        ASSERT_EQ(lines.size(), 1u + particles);
        const std::vector<std::string> header = test::csv_fields(lines[0]);
        const std::size_t id = column(header, "id"), fx = column(header, "coupling_force_x"),
                          gap = column(header, "coupling_gap"), penetration = column(header, "coupling_penetration"),
                          flag = column(header, "coupling_contact_flag");
        for (int k = 1; k <= particles; ++k) {
            const std::vector<std::string> cells = test::csv_fields(lines[static_cast<std::size_t>(k)]);
            ASSERT_EQ(cells.size(), header.size());
            const std::int64_t node = std::atoll(cells[id].c_str());
            ASSERT_TRUE(node >= 101 && node <= 132) << node;
            const std::map<std::int64_t, Expected>& cycle = expected[static_cast<std::size_t>(n)];
            const Expected x = cycle.count(node) ? cycle.at(node) : Expected{};
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(test::csv_real(cells[fx + static_cast<std::size_t>(c)]), x.force[c]) << node << " " << c;
                velocity[node - 100][c] += x.force[c] * dt;  // unit mass
            }
            EXPECT_EQ(std::atoi(cells[flag].c_str()), x.contact ? 1 : 0) << node;
            EXPECT_EQ(test::csv_real(cells[gap]), x.contact ? 0.25 : 0.0) << node;
            EXPECT_EQ(test::csv_real(cells[penetration]), x.contact ? 0.5 : 0.0) << node;
        }
    }
    // And the steps applied those forces: v = sum of F dt over the cycles, exact in binary.
    for (const ParticleOut& p : last)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(p.v[c], velocity[p.particle_id_ext - 100][c]) << p.particle_id_ext << " " << c;
}

}  // namespace
}  // namespace quorrel
