// Times one output step (particle CSV, summary CSV, VTU, PVD) of a 64^3 particle block,
// each file on its own and the whole step, and the summary alone over many writes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/sph_control.h"
#include "database/sph_database.h"
#include "output/sph_output.h"
#include "output/sph_output_file.h"
#include "output/sph_output_vtu.h"

// Usage: output_bench [directory]; files go to a scratch directory below it
// (default: the system temporary directory).
int main(int argc, char** argv) {
    using namespace quorrel;
    using clock = std::chrono::steady_clock;
    const int32_t side = 64;
    const int32_t n = side * side * side;
    if (sph_db_allocate(n) != 0) return 1;
    SphDatabase& d = sph_database;
    for (int32_t i = 0; i < n; ++i) {
        const double c[3] = {0.01 * (i % side), 0.01 * ((i / side) % side), 0.01 * (i / (side * side))};
        if (sph_db_set_node(i, i + 1, c) != 0) return 1;
        d.particle_phase[i] = sph_phase_water;
        for (int k = 0; k < 3; ++k) {
            d.v[3 * i + k] = 1.0e-3 * (i % 97) - 0.0371 * k;
            d.a[3 * i + k] = -9.81 * (k == 2) + 1.0e-5 * i;
        }
        d.rho[i] = 1000.0 + 1.0e-4 * i;
        d.pressure[i] = 2.2e5 / (1 + i);
    }

    const std::filesystem::path base = argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
    const std::filesystem::path dir = base / "quorrel_output_bench";
    std::filesystem::create_directories(dir);
    if (sph_output_set_directory(dir.string()) != 0) return 1;

    char field[sph_output_real_width];
    double sink = 0.0;
    const int reals = 10000000;
    auto t0 = clock::now();
    for (int i = 0; i < reals; ++i) {
        sph_output_format_real(1.0e-3 * i + 0.1, field);
        sink += field[3];
    }
    const double format_ns = std::chrono::duration<double, std::nano>(clock::now() - t0).count() / reals;
    std::printf("real field format: %.1f ns per value (%g)\n", format_ns, sink > 0 ? 1.0 : 0.0);

    // Formatting alone: the same files written to the null device.
    for (int rep = 0; rep < 2; ++rep) {
        t0 = clock::now();
        if (sph_output_write_csv("/dev/null") != 0) return 1;
        const auto t1 = clock::now();
        if (sph_output_write_vtu("/dev/null") != 0) return 1;
        const auto t2 = clock::now();
        std::printf("to /dev/null: csv %.3f s, vtu %.3f s\n", std::chrono::duration<double>(t1 - t0).count(),
                    std::chrono::duration<double>(t2 - t1).count());
    }

    std::printf("files in %s\n", dir.string().c_str());
    for (int rep = 0; rep < 3; ++rep) {
        t0 = clock::now();
        if (sph_output_write_csv((dir / "bench.csv").string()) != 0) return 1;
        const auto t1 = clock::now();
        const std::string summary = (dir / ("bench_" + std::to_string(rep) + "_summary.csv")).string();
        if (sph_output_write_summary(summary, rep, 0.5 * rep) != 0) return 1;
        const auto t2 = clock::now();
        if (sph_output_write_vtu((dir / "bench.vtu").string()) != 0) return 1;
        const auto t3 = clock::now();
        if (sph_output_write_step(rep, 0.5 * rep) != 0) return 1;
        const auto t4 = clock::now();
        std::printf("64^3 = %d particles: csv %.3f s, summary %.3f ms, vtu %.3f s, whole step with summary %.3f s\n",
                    n, std::chrono::duration<double>(t1 - t0).count(),
                    std::chrono::duration<double, std::milli>(t2 - t1).count(),
                    std::chrono::duration<double>(t3 - t2).count(), std::chrono::duration<double>(t4 - t3).count());
    }

    // The summary alone, as the step writes it: a new short file each time (rewriting one
    // file is slower on file systems that flush a truncated file at close), and to the
    // null device for the work without the file system. Most of that work is the gas
    // source totals, summed over every particle; the first summary of the run above also
    // allocated the gas source arrays. Best and median of many writes.
    const auto time_summaries = [&](const char* what, bool null_device) {
        const int writes = 400;
        std::vector<double> ms(writes);
        for (int rep = 0; rep < writes; ++rep) {
            char name[64];
            std::snprintf(name, sizeof name, "summary_%04d.csv", rep);
            const std::string path = null_device ? std::string("/dev/null") : (dir / name).string();
            const auto start = clock::now();
            if (sph_output_write_summary(path, rep, 0.5 * rep) != 0) return false;
            ms[static_cast<std::size_t>(rep)] = std::chrono::duration<double, std::milli>(clock::now() - start).count();
        }
        std::sort(ms.begin(), ms.end());
        std::printf("summary alone %s: best %.4f ms, median %.4f ms, slowest %.4f ms over %d writes\n", what, ms.front(),
                    ms[ms.size() / 2], ms.back(), writes);
        return true;
    };
    if (!time_summaries("to /dev/null", true) || !time_summaries("to new files", false)) return 1;
    std::printf("summary file %ju bytes\n", static_cast<std::uintmax_t>(std::filesystem::file_size(dir / "summary_0000.csv")));
    std::printf("csv file %.1f MB\n", std::filesystem::file_size(dir / "bench.csv") / 1.0e6);
    std::filesystem::remove_all(dir);
    return 0;
}
