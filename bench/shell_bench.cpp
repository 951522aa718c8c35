// Shell build and kinematics on the largest models the record tables hold:
//   plate: a 16 x 16 grid of 4-node quadrilaterals (256 elements, 289 nodes) in one element
//          set, 1 m square, thickness 5 mm, under one shell section;
//   cloud: 512 nodes of a node set (its 512-member limit) on a 32 x 16 lattice of spacing
//          3 cm, each node moved by up to 0.6 cm in the plane, under one shell section.
// Each model is written as a deck (shell_bench_<model>.inp in the working directory), read
// and built once, then timed: the shell build (sph_shell_build_state) on the built model,
// one director update (every particle spins at (0.3, -0.2, 0.1) rad/s, dt 1e-4 s) and one
// strain computation under a smooth displacement field, then the two in turn. Each operation
// runs once untimed, then `repeats` times; the median is printed, with the heap allocations
// per call. The single read+build time includes the neighbour search, in which every shell
// particle keeps the default smoothing length of 1 m (no card sets it).
// Usage: shell_bench [repeats]   (default 51)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/sph_error.h"
#include "input/sph_input_reader.h"
#include "lifecycle/sph_lifecycle.h"
#include "shell/sph_shell.h"

QUORREL_BENCH_COUNT_ALLOCATIONS

namespace {

using Clock = std::chrono::steady_clock;

constexpr double dt = 1.0e-4;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Writes the lines to `name`; false when the file cannot be written.
bool write_lines(const std::string& name, const std::vector<std::string>& lines) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    for (const std::string& l : lines) std::fprintf(f, "%s\n", l.c_str());
    return std::fclose(f) == 0;
}

std::string node_line(int id, double x, double y, double z) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%d, %.17g, %.17g, %.17g", id, x, y, z);
    return buf;
}

// Member lines of a set, 16 numbers to a line.
void append_members(std::vector<std::string>& lines, int first, int last) {
    std::string line;
    for (int id = first; id <= last; ++id) {
        line += (line.empty() ? "" : ", ") + std::to_string(id);
        if ((id - first) % 16 == 15 || id == last) {
            lines.push_back(line);
            line.clear();
        }
    }
}

std::vector<std::string> material_and_controls(const std::string& set_option, const std::string& set_name) {
    return {"*MATERIAL, NAME=SKIN, TYPE=SHELL",
            "*DENSITY",
            "7850.0",
            "*ELASTIC",
            "2.0e11, 0.3",
            "*SHELL SECTION, " + set_option + ", MATERIAL=SKIN, THICKNESS=0.005, POINTS=5",
            "*QUORREL, SHELL ROTATION, SET=" + set_name + ", OX=0.3, OY=-0.2, OZ=0.1",
            "*QUORREL, TIME CONTROL, DT=1.0e-4, TIME=1.0e-3, STEPS=10",
            "** Run with --output, every 2nd step is written: five output steps, not 10.",
            "*QUORREL, OUTPUT, INTERVAL=2"};
}

std::vector<std::string> plate_deck() {
    constexpr int cells = 16, side = cells + 1;
    constexpr double h = 1.0 / cells;
    std::vector<std::string> lines = {"** Shell benchmark plate: 16 x 16 quadrilaterals, 1 m square.", "*NODE"};
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) lines.push_back(node_line(j * side + i + 1, i * h, j * h, 0.0));
    lines.emplace_back("*ELEMENT, TYPE=S4");
    for (int j = 0; j < cells; ++j)
        for (int i = 0; i < cells; ++i) {
            const int n1 = j * side + i + 1;
            lines.push_back(std::to_string(j * cells + i + 1) + ", " + std::to_string(n1) + ", " +
                            std::to_string(n1 + 1) + ", " + std::to_string(n1 + side + 1) + ", " +
                            std::to_string(n1 + side));
        }
    lines.emplace_back("*ELSET, ELSET=PLATE");
    append_members(lines, 1, cells * cells);
    for (const std::string& l : material_and_controls("ELSET=PLATE", "PLATE")) lines.push_back(l);
    return lines;
}

std::vector<std::string> cloud_deck() {
    constexpr int nx = 32, ny = 16;
    constexpr double spacing = 0.03;
    std::vector<std::string> lines = {"** Shell benchmark cloud: 512 nodes, 3 cm lattice moved by up to 0.6 cm.",
                                      "*NODE"};
    std::uint32_t state = 12345u;
    auto jitter = [&state] {  // in [-0.2, 0.2) of the spacing
        state = state * 1664525u + 1013904223u;
        return (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.4;
    };
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const double x = (i + jitter()) * spacing, y = (j + jitter()) * spacing;
            lines.push_back(node_line(j * nx + i + 1, x, y, 0.0));
        }
    lines.emplace_back("*NSET, NSET=CLOUD");
    append_members(lines, 1, nx * ny);
    for (const std::string& l : material_and_controls("NSET=CLOUD", "CLOUD")) lines.push_back(l);
    return lines;
}

// A smooth field: stretch, shear and a bending-like sag, all small.
void displace() {
    using namespace quorrel;
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        const double x = d.x0[3 * i], y = d.x0[3 * i + 1];
        d.x[3 * i] = x + 1e-3 * x + 2e-4 * y;
        d.x[3 * i + 1] = y - 5e-4 * y + 1e-4 * x * y;
        d.x[3 * i + 2] = d.x0[3 * i + 2] + 2e-3 * (x * x + 0.5 * y * y);
    }
}

struct Timing {
    double median_ms = 0.0;
    double allocations = 0.0;  // per call
};

// One untimed call, then `repeats` timed calls; false when a call fails.
bool time_calls(int repeats, const std::function<int()>& call, Timing& out) {
    if (call() != 0) return false;
    std::vector<double> ms(static_cast<std::size_t>(repeats));
    const long before = bench::heap_allocations.load();
    for (double& t : ms) {
        const auto t0 = Clock::now();
        if (call() != 0) return false;
        t = seconds_since(t0) * 1e3;
    }
    out.allocations = static_cast<double>(bench::heap_allocations.load() - before) / repeats;
    std::nth_element(ms.begin(), ms.begin() + repeats / 2, ms.end());
    out.median_ms = ms[static_cast<std::size_t>(repeats / 2)];
    return true;
}

int run(const char* model, const std::vector<std::string>& deck, int repeats) {
    using namespace quorrel;
    const std::string name = std::string("shell_bench_") + model + ".inp";
    if (!write_lines(name, deck)) {
        std::fprintf(stderr, "cannot write %s\n", name.c_str());
        return 1;
    }
    sph_lifecycle_initialize();
    auto t0 = Clock::now();
    if (sph_input_read(name) != 0 || sph_input_build_model() != 0) {
        std::fprintf(stderr, "%s: %s\n", model, sph_error_message().c_str());
        return 1;
    }
    const double read_build_ms = seconds_since(t0) * 1e3;
    Timing build, update, strain, both;
    bool ok = time_calls(repeats, [] { return sph_shell_build_state(); }, build);
    displace();
    ok = ok && time_calls(repeats, [] { return sph_shell_update_directors(dt); }, update);
    ok = ok && time_calls(repeats, [] { return sph_shell_compute_small_strain(); }, strain);
    ok = ok && time_calls(
                   repeats,
                   [] {
                       const int st = sph_shell_update_directors(dt);
                       return st != 0 ? st : sph_shell_compute_small_strain();
                   },
                   both);
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", model, sph_error_message().c_str());
        return 1;
    }
    double max_membrane, max_bending, max_shear, max_ip;
    int32_t points;
    sph_shell_get_kinematic_diagnostics(max_membrane, max_bending, max_shear, max_ip, points);
    std::printf("%6s %9d %8zu %12.3f %10.3f %10.3f %10.3f %12.3f %8.1f %8.1f %8.1f %9d %11.3e\n", model,
                sph_database.npart, sph_database.elements.size(), read_build_ms, build.median_ms, update.median_ms,
                strain.median_ms, both.median_ms, build.allocations, update.allocations, strain.allocations, points,
                max_membrane);
    sph_lifecycle_finalize();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 51;
    if (repeats < 1) return 1;
    std::printf("%6s %9s %8s %12s %10s %10s %10s %12s %8s %8s %8s %9s %11s\n", "model", "particles", "elements",
                "read+build", "build", "update", "strain", "update+strn", "a/build", "a/update", "a/strain",
                "ip points", "max membr");
    std::printf("%6s %9s %8s %12s %10s %10s %10s %12s %8s %8s %8s %9s %11s\n", "", "", "", "ms", "ms (med)",
                "ms (med)", "ms (med)", "ms (med)", "", "", "", "", "");
    if (run("plate", plate_deck(), repeats) != 0) return 1;
    return run("cloud", cloud_deck(), repeats);
}
