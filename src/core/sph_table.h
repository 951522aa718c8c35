// Fixed tables that fill from slot 0 up, with a count of the slots in use.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace quorrel {

// Slots [0, used) back to a cleared slot's values. A slot past the count is never
// written before the count reaches it, so it is still clean: clearing only the used
// slots leaves the whole table as a full clear would, without touching the tens of
// kilobytes of empty slots on every reset.
template <class T, std::size_t N>
void sph_clear_used_slots(std::array<T, N>& table, int32_t used) {
    const std::size_t n = used > 0 ? std::min(N, static_cast<std::size_t>(used)) : 0;
    const T fresh{};
    std::fill_n(table.begin(), n, fresh);
}

}  // namespace quorrel
