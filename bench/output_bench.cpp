// Times one output step (particle CSV, VTU, PVD) of a 64^3 particle block.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

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
        if (sph_output_write_vtu((dir / "bench.vtu").string()) != 0) return 1;
        const auto t2 = clock::now();
        if (sph_output_write_step(rep, 0.5 * rep) != 0) return 1;
        const auto t3 = clock::now();
        std::printf("64^3 = %d particles: csv %.3f s, vtu %.3f s, whole step %.3f s\n", n,
                    std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
                    std::chrono::duration<double>(t3 - t2).count());
    }
    std::printf("csv file %.1f MB\n", std::filesystem::file_size(dir / "bench.csv") / 1.0e6);
    std::filesystem::remove_all(dir);
    return 0;
}
