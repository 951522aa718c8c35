// What the operating system tells us about the machine.
#pragma once

#include <cstdint>

namespace quorrel {

// Bytes of physical memory installed, or 0 when the system does not say.
std::uint64_t sph_platform_physical_memory();

}  // namespace quorrel
