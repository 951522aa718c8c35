// Restart file write and read of an n^3 water lattice (dx = 0.01 m, h = 1.2 dx) whose
// first 512 particles form one coupling region with a force buffered on every member.
// Every particle's position, velocity, half-step velocity, acceleration, density,
// pressure and energy is set off the lattice values, so the reals are written with all
// their digits, as a running model's are.
// Times: the write of the whole file (temporary file, rename) and the read that replaces
// the model (the neighbour rebuild and the diagnostics refresh included), each the median
// of several runs, writes and reads taking turns; the file size; the time per particle.
// Each read is checked: writing the model it restored gives the same bytes.
// Memory: the peak resident size of a fresh process that only reads the file, against
// that of a fresh process that builds the same model and runs one step of it.
// Printed against the targets: read / write at 64^3, the read's time per particle at
// 64^3 over that at 32^3, and the read's peak memory over the run's at each size.
// Usage: restart_bench              (n = 32 and 64, every part in its own process)
//        restart_bench time n DIR   (writes DIR/model.rst and leaves it)
//        restart_bench read FILE    (reads, prints the peak memory)
//        restart_bench run n        (builds, runs one step, prints the peak memory)
// The files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "gas/sph_gas.h"
#include "interface/sph_api.h"
#include "interface/sph_api_state.h"
#include "solver/sph_solver_explicit.h"
#include "water/sph_water.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double dx = 0.01, h = 1.2 * dx, rho0 = 1000.0, mass = rho0 * dx * dx * dx;
constexpr int members = 512;
constexpr int repeats = 5;

// Targets: the 64^3 read against the write of the same file, the read's time per particle
// at 64^3 against 32^3 (linear), the read's peak memory against running the model.
constexpr double read_over_write_target = 1.5, per_particle_spread = 0.25, memory_target = 2.0;

// A deterministic value in [-1, 1) from an index and a salt (no library generator, so the
// file is the same on every machine).
double jitter(std::size_t i, unsigned salt) {
    std::uint64_t x = (static_cast<std::uint64_t>(i) + 1) * 0x9E3779B97F4A7C15ull + salt * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / 4503599627370496.0 - 1.0;
}

bool build(int n) {
    using namespace quorrel;
    sph_initialize();
    if (!bench::fill_cube(n, dx, h)) return false;
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        d.particle_phase[i] = sph_phase_water;
        d.material_id[i] = 1;
        d.section_id[i] = 1;
        d.mass[i] = mass;
        d.volume[i] = dx * dx * dx;
        d.rho[i] = rho0 * (1.0 + 1e-3 * jitter(i, 1));
        d.pressure[i] = 1.0e5 * jitter(i, 2);
        d.internal_energy[i] = 1.0 + jitter(i, 3);
        d.temperature[i] = 293.15 + jitter(i, 4);
        for (std::size_t k = 0; k < 3; ++k) {
            d.x[3 * i + k] = d.x0[3 * i + k] + 1e-4 * dx * jitter(i, 10 + static_cast<unsigned>(k));
            d.v[3 * i + k] = 0.1 * jitter(i, 20 + static_cast<unsigned>(k));
            d.vhalf[3 * i + k] = 0.1 * jitter(i, 30 + static_cast<unsigned>(k));
            d.a[3 * i + k] = 10.0 * jitter(i, 40 + static_cast<unsigned>(k));
        }
    }
    std::vector<int32_t> nodes(members);
    for (int k = 0; k < members; ++k) nodes[static_cast<std::size_t>(k)] = k + 1;
    if (sph_db_add_nset("PATCH", members, nodes.data()) != 0) return false;
    if (sph_db_add_coupling_region("PATCH", "PATCH", sph_region_coupling_contact, sph_coupling_export_particle,
                                   sph_coupling_import_force, sph_coupling_load_particle_force,
                                   sph_coupling_distribution_uniform, sph_coupling_contact_state_none, true, "", 0,
                                   "", "") != 0 ||
        sph_db_build_coupling_regions() != 0 ||
        static_cast<int>(d.coupling_regions[0].coupling_region_particles.size()) != members)
        return false;
    if (sph_coupling_allocate_imports() != 0) return false;
    std::vector<int32_t> indices(members);
    std::vector<double> forces(3 * members);
    for (int k = 0; k < members; ++k) {
        const std::size_t j = static_cast<std::size_t>(k);
        indices[j] = k;
        for (std::size_t c = 0; c < 3; ++c) forces[3 * j + c] = jitter(j, 50 + static_cast<unsigned>(c));
    }
    if (sph_coupling_apply_particle_forces(0, members, indices.data(), forces.data()) != 0) return false;
    // The neighbour grid and the summaries a built model carries (a read refreshes them).
    if (sph_neighbor_rebuild() != 0 || sph_water_update_diagnostics() != 0 || sph_gas_update_diagnostics() != 0)
        return false;
    // Built by hand rather than from a deck, so the interface is told: it writes only a
    // built model.
    sph_api_state_set_model_built(true);
    return true;
}

// Byte-for-byte equality of two files, read in blocks so that the check holds no file.
bool same_file(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return true;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0) return false;
    }
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Writes and reads DIR/model.rst in turn; prints "n particles bytes write_s read_s".
int time_size(int n, const fs::path& dir) {
    using namespace quorrel;
    if (!build(n)) {
        std::fprintf(stderr, "building the model failed\n");
        return 1;
    }
    const std::string file = (dir / "model.rst").string(), again = (dir / "again.rst").string();
    std::vector<double> writes, reads;
    for (int r = 0; r < repeats; ++r) {
        auto t0 = Clock::now();
        if (sph_write_restart(file) != 0) return 1;
        writes.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        t0 = Clock::now();
        if (sph_read_restart(file) != 0) {
            std::fprintf(stderr, "read failed\n");
            return 1;
        }
        reads.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    // What was read is what was written.
    if (sph_write_restart(again) != 0 || !same_file(file, again)) {
        std::fprintf(stderr, "the model read back does not write the same file\n");
        return 1;
    }
    std::error_code ec;
    const auto bytes = fs::file_size(file, ec);
    fs::remove(again, ec);
    std::printf("%d %d %ju %.6f %.6f\n", n, sph_database.npart, static_cast<std::uintmax_t>(bytes), median(writes),
                median(reads));
    return 0;
}

// A fresh process that reads the file and nothing else; prints its peak memory in MiB.
int read_peak(const char* file) {
    using namespace quorrel;
    sph_initialize();
    if (sph_read_restart(file) != 0) {
        std::fprintf(stderr, "read failed\n");
        return 1;
    }
    std::printf("%.1f\n", bench::peak_rss_mib());
    return 0;
}

// A fresh process that builds the same model and runs one explicit step of it; prints its
// peak memory in MiB.
int run_peak(int n) {
    using namespace quorrel;
    if (!build(n) || sph_solver_advance_explicit(1.0e-6) != 0) {
        std::fprintf(stderr, "running the model failed\n");
        return 1;
    }
    std::printf("%.1f\n", bench::peak_rss_mib());
    return 0;
}

struct Row {
    int n = 0, particles = 0;
    double bytes = 0.0, write_s = 0.0, read_s = 0.0, read_mib = 0.0, run_mib = 0.0;
};

// Runs this program with `args` and scans its one output line with `format`.
template <typename... T>
bool child(const char* self, const std::string& args, const char* format, int expected, T*... values) {
    const std::string cmd = std::string("\"") + self + "\" " + args;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    const int got = std::fscanf(p, format, values...);
    return pclose(p) == 0 && got == expected;
}

bool run_size(const char* self, int n, Row& row) {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path dir = fs::path(tmp && *tmp ? tmp : "/tmp") /
                         ("quorrel_restart_bench_" + std::to_string(static_cast<long>(getpid())));
    std::error_code ec;
    fs::create_directories(dir, ec);
    // The directory goes on every way out.
    struct Remove {
        fs::path dir;
        ~Remove() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{dir};
    const std::string file = (dir / "model.rst").string();
    return child(self, "time " + std::to_string(n) + " \"" + dir.string() + "\"", "%d %d %lf %lf %lf", 5, &row.n,
                 &row.particles, &row.bytes, &row.write_s, &row.read_s) &&
           child(self, "read \"" + file + "\"", "%lf", 1, &row.read_mib) &&
           child(self, "run " + std::to_string(n), "%lf", 1, &row.run_mib);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "time") == 0) return time_size(std::atoi(argv[2]), argv[3]);
    if (argc >= 3 && std::strcmp(argv[1], "read") == 0) return read_peak(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "run") == 0) return run_peak(std::atoi(argv[2]));
    Row rows[2];
    const int sizes[2] = {32, 64};
    for (int k = 0; k < 2; ++k)
        if (!run_size(argv[0], sizes[k], rows[k])) {
            std::fprintf(stderr, "the run of n = %d failed\n", sizes[k]);
            return 1;
        }
    std::printf("restart file of a water lattice with a %d-member coupling region, median of %d\n", members,
                repeats);
    std::printf("%4s %9s %10s %9s %9s %10s %10s %12s %12s %10s %10s\n", "n", "particles", "MB", "write s", "read s",
                "write MB/s", "read MB/s", "write us/p", "read us/p", "read MiB", "run MiB");
    for (const Row& r : rows)
        std::printf("%4d %9d %10.2f %9.3f %9.3f %10.1f %10.1f %12.3f %12.3f %10.1f %10.1f\n", r.n, r.particles,
                    r.bytes / 1e6, r.write_s, r.read_s, r.bytes / 1e6 / r.write_s, r.bytes / 1e6 / r.read_s,
                    r.write_s / r.particles * 1e6, r.read_s / r.particles * 1e6, r.read_mib, r.run_mib);
    const Row &a = rows[0], &b = rows[1];
    const double read_write = b.read_s / b.write_s;
    const double per_particle = (b.read_s / b.particles) / (a.read_s / a.particles);
    const auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    std::printf("64^3 read / write: %.3f (target <= %.2f): %s\n", read_write, read_over_write_target,
                verdict(read_write <= read_over_write_target));
    std::printf("read time per particle 64^3 / 32^3: %.3f (target within %.0f%% of 1): %s\n", per_particle,
                per_particle_spread * 100.0, verdict(std::abs(per_particle - 1.0) <= per_particle_spread));
    for (const Row& r : rows) {
        const double memory = r.read_mib / r.run_mib;
        std::printf("%d^3 read peak memory / run peak memory: %.1f / %.1f MiB = %.3f (target <= %.1f): %s\n", r.n,
                    r.read_mib, r.run_mib, memory, memory_target, verdict(memory <= memory_target));
    }
    return 0;
}
