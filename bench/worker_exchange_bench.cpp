// The worker's data exchange on lattices of free boundary particles (unit mass, spacing 2).
//  1. Round trip: a worker process on 512 particles in one region, reports on. Each cycle
//     the host writes a force for every exported record (not timed), then times
//     IMPORT_LOADS plus EXPORT_INTERFACE from its first post to the second
//     acknowledgement, then advances (not timed). Median and p99 over the cycles, and the
//     median as a multiple of a bare ping-pong over two named semaphores between this
//     process and a child, measured just before in the same run (the target is at most 10).
//  2. The same two commands in this process, reports on and off, on 512 particles in one
//     region and on 4096 in eight (a region holds at most 512; forces go to region 1):
//     time per pair and heap allocations per command, which grow with the regions, never
//     with the records.
//  3. The force-block analysis alone on 512 and 4096 records, every eighth a repeat: the
//     median time per call and the ratio, which a linear analysis keeps near 8.
// Usage: worker_exchange_bench   (run it pinned, e.g. taskset -c 5; the worker inherits it)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app_worker_data_host.h"
#include "bench_support.h"
#include "quorrel.h"
#include "sph_worker_blocks.h"
#include "sph_worker_cli.h"
#include "sph_worker_runtime_exchange.h"
#include "sph_worker_runtime_reports.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace quorrel;

constexpr int command_export = 4, command_import = 5, command_advance = 6;
constexpr double dt = 0x1p-12;

// n boundary particles of unit mass, spacing 2, in regions of at most 512 particles (the
// most a region holds) named R1, R2, ...
std::string write_lattice(const fs::path& dir, int n) {
    const fs::path path = dir / ("lattice_" + std::to_string(n) + ".inp");
    std::ofstream out(path);
    out << "*NODE\n";
    for (int id = 1; id <= n; ++id) {
        const int i = id - 1;
        out << id << ", " << 2 * (i % 16) << ", " << 2 * (i / 16 % 16) << ", " << 2 * (i / 256) << "\n";
    }
    const int regions = (n + 511) / 512;
    for (int r = 1; r <= regions; ++r) {
        out << "*NSET, NSET=P" << r << "\n";
        const int last = std::min(n, 512 * r);
        for (int id = 512 * (r - 1) + 1; id <= last; ++id) out << id << (id % 16 == 0 || id == last ? "\n" : ", ");
    }
    out << "*MATERIAL, NAME=WALL, TYPE=BOUNDARY\n*DENSITY\n1000.0\n";
    for (int r = 1; r <= regions; ++r) out << "*SECTION, NSET=P" << r << ", MATERIAL=WALL\n";
    out << "*QUORREL, TIME CONTROL, DT=0.000244140625, TIME=1000.0, STEPS=100000000\n";
    for (int r = 1; r <= regions; ++r) out << "*QUORREL, COUPLING REGION, NAME=R" << r << ", NSET=P" << r << "\n";
    return path.string();
}

// A force for every exported record of the block, by byte offset, for host step `step`.
void answer_exports(unsigned char* bytes, int step) {
    quorrel::test::DataView d(bytes);
    const int count = d.i32(quorrel::test::data::particle_header + quorrel::test::data::count);
    for (int k = 0; k < count; ++k) {
        quorrel::test::ForceIn f;
        f.force[0] = 1.0, f.force[1] = -1.0, f.force[2] = 0.5;
        f.step_id = step;
        quorrel::test::write_force(d, k, f);
        std::memcpy(bytes + quorrel::test::DataView::force_at(k), bytes + quorrel::test::DataView::particle_at(k), 16);
    }
    d.set_force_header(1, 4096, count);
}

// One block for the in-process runs, as a host's mapping would hold it.
quorrel_worker_data_exchange_t* shared_block() {
    static quorrel_worker_data_exchange_t block;
    quorrel_worker_data_exchange_clear(&block);
    return &block;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

// The floor of any round trip: the child answers every post of the host's command event
// with a post of its done event, both opened by name as a worker opens them. Median
// microseconds per round trip.
double ping_pong_us() {
    quorrel::test::Host host(quorrel::test::unique_ipc_name("pp"));
    if (!host.create(quorrel::test::layout_with(false, false, true, true))) return -1.0;
    const std::string command_name = "/" + host.command_event_name(), done_name = "/" + host.done_event_name();
    const int warm = 200, rounds = 4000;
    const pid_t child = fork();
    if (child == 0) {
        sem_t* command = sem_open(command_name.c_str(), 0);
        sem_t* done = sem_open(done_name.c_str(), 0);
        if (command == SEM_FAILED || done == SEM_FAILED) _exit(1);
        for (int k = 0; k < warm + rounds; ++k) {
            if (!quorrel::test::Host::wait(command, 10000)) _exit(1);
            sem_post(done);
        }
        _exit(0);
    }
    sem_t* command = sem_open(command_name.c_str(), 0);
    sem_t* done = sem_open(done_name.c_str(), 0);
    std::vector<double> us;
    us.reserve(rounds);
    bool ok = child > 0 && command != SEM_FAILED && done != SEM_FAILED;
    for (int k = 0; ok && k < warm + rounds; ++k) {
        const auto t0 = Clock::now();
        sem_post(command);
        ok = quorrel::test::Host::wait(done, 10000);
        if (k >= warm) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    if (command != SEM_FAILED) sem_close(command);
    if (done != SEM_FAILED) sem_close(done);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1.0;
    return percentile(us, 0.5);
}

int round_trip(const fs::path& dir) {
    const double floor_us = ping_pong_us();
    if (floor_us <= 0.0) {
        std::fprintf(stderr, "semaphore ping-pong failed\n");
        return 1;
    }
    const std::string deck = write_lattice(dir, 512);
    quorrel::test::Host host(quorrel::test::unique_ipc_name("bench"));
    if (!host.create()) {
        std::fprintf(stderr, "cannot create the host objects\n");
        return 1;
    }
    quorrel::test::WorkerProcess worker(host, deck, dir.string());
    if (!worker.started() || !worker.ready()) {
        std::fprintf(stderr, "worker did not start\n");
        return 1;
    }
    int sequence = 0;
    const auto ok = [&](int command, int step, double step_dt = 0.0) {
        ++sequence;
        const quorrel::test::Ack ack = worker.command(sequence, command, step, step_dt);
        return ack.sequence == sequence && ack.error == 0;
    };
    if (!ok(1, 0) || !ok(2, 0) || !ok(3, 0)) {
        std::fprintf(stderr, "worker could not build the model\n");
        return 1;
    }
    const int warm = 20, cycles = 300;
    std::vector<double> ms;
    unsigned char* bytes = host.data_bytes();
    // The first export gives the records the first forces answer.
    if (!ok(command_export, 1)) return 1;
    for (int c = 1; c <= warm + cycles; ++c) {
        answer_exports(bytes, c);
        const auto t0 = Clock::now();
        if (!ok(command_import, c) || !ok(command_export, c + 1)) {
            std::fprintf(stderr, "exchange failed in cycle %d\n", c);
            return 1;
        }
        const auto t1 = Clock::now();
        if (c > warm) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (!ok(command_advance, c, dt)) return 1;
    }
    ++sequence;
    worker.command(sequence, 8, 0);
    worker.exit_status();
    const double median = percentile(ms, 0.5);
    std::printf("round trip, 512 particles, IMPORT_LOADS + EXPORT_INTERFACE: median %.3f ms, p99 %.3f ms "
                "(%d cycles)\n",
                median, percentile(ms, 0.99), cycles);
    std::printf("semaphore ping-pong median %.2f us; the exchange round trip is %.1f times it (target at most 10)\n",
                floor_us, 1000.0 * median / floor_us);
    return 0;
}

int in_process(const fs::path& dir, int n, bool reports_on) {
    const std::string deck = write_lattice(dir, n);
    if (quorrel_initialize() != 0 || quorrel_read_inp(deck.c_str()) != 0 || quorrel_build_model() != 0) {
        std::fprintf(stderr, "model of %d particles did not build\n", n);
        return 1;
    }
    quorrel_worker_data_exchange_t* block = shared_block();
    quorrel_worker_ipc_t ipc;
    std::memset(&ipc, 0, sizeof ipc);
    ipc.data_view = block;
    quorrel_worker_options_t options;
    quorrel_worker_options_defaults(&options);
    const std::string log = (dir / ("inprocess_" + std::to_string(n) + ".log")).string();
    options.log_path = log.c_str();
    quorrel_worker_runtime_reports_t reports;
    quorrel_worker_runtime_reports_init(&reports, &options);
    if (!reports_on) reports.enabled = 0;
    quorrel_worker_runtime_reports_prepare(&reports);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block);

    const int warm = 5, cycles = 101;
    std::vector<double> ms;
    ms.reserve(cycles);
    long export_allocs = 0, import_allocs = 0;
    if (quorrel_worker_runtime_export_particles(&ipc, &reports, 1) != 0) return 1;
    for (int c = 1; c <= warm + cycles; ++c) {
        answer_exports(bytes, c);
        const long a0 = bench::heap_allocations.load();
        const auto t0 = Clock::now();
        if (quorrel_worker_runtime_import_forces(&ipc, &reports, c) != 0) return 1;
        const long a1 = bench::heap_allocations.load();
        if (quorrel_worker_runtime_export_particles(&ipc, &reports, c + 1) != 0) return 1;
        const auto t1 = Clock::now();
        const long a2 = bench::heap_allocations.load();
        quorrel_worker_runtime_reports_flush(&reports);
        if (c > warm) {
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            import_allocs += a1 - a0;
            export_allocs += a2 - a1;
        }
        // Forces go to region 1: only its 512 records are taken.
        if (block->force_header.count - block->force_header.rejected_count != std::min(n, 512)) {
            std::fprintf(stderr, "region 1's records were rejected\n");
            return 1;
        }
        if (quorrel_advance_explicit(dt) != 0) return 1;
    }
    quorrel_worker_runtime_reports_close(&reports);
    (void)quorrel_finalize();
    std::printf("in process, %4d particles in %d regions, reports %s, %d forces taken: IMPORT_LOADS + "
                "EXPORT_INTERFACE median %.3f ms; allocations per IMPORT_LOADS %.1f, per EXPORT_INTERFACE %.1f\n",
                block->particle_header.count, (n + 511) / 512, reports_on ? "on" : "off",
                block->force_header.count - block->force_header.rejected_count, percentile(ms, 0.5), static_cast<double>(import_allocs) / cycles,
                static_cast<double>(export_allocs) / cycles);
    return 0;
}

// Median microseconds per analysis of `n` records: all accepted but every eighth, which
// repeats the record before it.
double analysis_us(int n, long* allocations) {
    quorrel_worker_data_exchange_t* block = shared_block();
    for (int k = 0; k < n; ++k) {
        quorrel_worker_force_record_t& f = block->forces[k];
        const int target = k % 8 == 7 ? k - 1 : k;
        f.particle_id_ext = target + 1;
        f.export_index = target + 1;
        f.internal_index = target + 1;
        f.force[0] = 1.0;
        f.step_id = 5;
        f.source_id = 3;
        f.valid_flags = 1;
    }
    block->force_header.count = n;
    const int calls = 200;
    std::vector<double> us;
    us.reserve(calls);
    const long a0 = bench::heap_allocations.load();
    for (int c = 0; c < calls; ++c) {
        int valid = 0, contacts = 0;
        const auto t0 = Clock::now();
        if (quorrel_worker_force_block_analyze(block, 5, &valid, &contacts) != 0) return -1.0;
        const auto t1 = Clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        if (valid != n - n / 8) return -1.0;
    }
    *allocations = bench::heap_allocations.load() - a0;
    return percentile(us, 0.5);
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("quorrel_worker_exchange_bench_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    int status = round_trip(dir);
    for (int n : {512, 4096})
        for (bool reports_on : {true, false})
            if (status == 0) status = in_process(dir, n, reports_on);
    if (status == 0) {
        long a512 = 0, a4096 = 0;
        const double t512 = analysis_us(512, &a512), t4096 = analysis_us(4096, &a4096);
        if (t512 < 0 || t4096 < 0) {
            status = 1;
        } else {
            std::printf("analysis: 512 records %.2f us, 4096 records %.2f us, ratio %.2f; allocations %ld\n", t512,
                        t4096, t4096 / t512, a512 + a4096);
        }
    }
    fs::remove_all(dir);
    return status;
}
