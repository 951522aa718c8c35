#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "core/sph_platform.h"

using namespace quorrel;

namespace {

// The kernel's own count of usable physical memory, "MemTotal: <n> kB"; 0 when not found.
std::uint64_t meminfo_total_bytes() {
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string key, unit;
        std::uint64_t kib = 0;
        if (fields >> key >> kib >> unit && key == "MemTotal:" && unit == "kB") return kib * 1024;
    }
    return 0;
}

}  // namespace

// Pages times page size, not the page count alone or bytes cut to 32 bits: the total
// agrees with the kernel's MemTotal to within the largest page size.
TEST(Platform, PhysicalMemoryIsTheKernelsTotalInBytes) {
    const std::uint64_t expected = meminfo_total_bytes();
    if (expected == 0) GTEST_SKIP() << "no /proc/meminfo";
    const std::uint64_t physical = sph_platform_physical_memory();
    const std::uint64_t difference = physical > expected ? physical - expected : expected - physical;
    EXPECT_LE(difference, 65536u) << "physical " << physical << ", MemTotal " << expected;
}
