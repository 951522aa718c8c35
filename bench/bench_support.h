// Shared pieces of the benchmark programs: a lattice cube, peak memory, and a
// global allocation counter that shows whether a timed loop touches the heap.
#pragma once

#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "database/sph_database.h"

namespace bench {

inline std::atomic<long> heap_allocations{0};

// Peak resident set of this process, in MiB.
inline double peak_rss_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// n^3 particles on a simple cubic lattice of spacing dx, all given smoothing length h.
inline bool fill_cube(int n, double dx, double h) {
    using namespace quorrel;
    const int32_t count = n * n * n;
    if (sph_db_allocate(count) != 0) return false;
    for (int32_t i = 0; i < count; ++i) {
        const double c[3] = {dx * (i % n), dx * ((i / n) % n), dx * (i / (n * n))};
        if (sph_db_set_node(i, i + 1, c) != 0) return false;
        sph_database.h[static_cast<std::size_t>(i)] = h;
    }
    return true;
}

// Each size runs in a fresh process so that its peak memory is its own.
inline int run_sizes_in_children(const char* self, std::initializer_list<int> sizes) {
    for (int n : sizes) {
        const std::string cmd = std::string("\"") + self + "\" " + std::to_string(n);
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
}

}  // namespace bench

// Count every heap allocation of the program.
#define QUORREL_BENCH_COUNT_ALLOCATIONS                                                  \
    void* operator new(std::size_t size) {                                               \
        bench::heap_allocations.fetch_add(1, std::memory_order_relaxed);                 \
        if (void* p = std::malloc(size ? size : 1)) return p;                            \
        throw std::bad_alloc();                                                          \
    }                                                                                    \
    void operator delete(void* p) noexcept { std::free(p); }                             \
    void operator delete(void* p, std::size_t) noexcept { std::free(p); }
