// Helpers the coupling interface's own files share; not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorrel::coupling_detail {

std::size_t npart_of();
bool buffers_present();
bool region_in_range(int region);
// Puts particle `i` on the touched list (the buffers hold data for it).
void touch(std::size_t i);
// A force counts as buffered when a component is non-zero or not a number.
bool force_present(std::size_t i);
bool any_force_buffered();
bool any_positive(const int32_t* flags);
// The buffers a step or a clear reads: those of this model, or none. Only the imports
// allocate, so a model nothing imports into carries no buffers.
[[nodiscard]] int buffers_for_reading();
// The touched particles in ascending order, so that totals sum in index order.
void sort_touched();
// An id counted from `base` as a 0-based index; -1 (never valid) for anything below base.
inline int32_t from_base(int32_t id, int32_t base) {
    const int64_t index = static_cast<int64_t>(id) - base;
    return index < 0 ? -1 : static_cast<int32_t>(index);
}
[[nodiscard]] int record_nonfinite(std::string_view message);
[[nodiscard]] int record_invalid_weight(std::string_view message);

}  // namespace quorrel::coupling_detail
