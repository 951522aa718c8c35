// Helpers the coupling interface's own files share; not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"

namespace quorrel::coupling_detail {

inline bool buffers_present() { return !sph_coupling.coupling_external_force.empty(); }
inline bool region_in_range(int region) {
    return region >= 0 && region < static_cast<int>(sph_database.coupling_regions.size());
}
inline const SphCouplingRegionRecord& region_record(int region) {
    return sph_database.coupling_regions[static_cast<std::size_t>(region)];
}
// Empties a vector and gives its storage back.
template <typename Vector>
void free_vector(Vector& v) {
    Vector().swap(v);
}
// What a touched particle holds, as bits of its mark: only those buffers are zeroed.
inline constexpr uint8_t touched_force = 1, touched_motion = 2, touched_contact = 4;
// Puts particle `i` on the touched list (the buffers hold data of the given kinds for it).
inline void touch(std::size_t i, uint8_t kinds) {
    SphCouplingInterface& c = sph_coupling;
    uint8_t& mark = c.coupling_touched_mark[i];
    if (mark == 0) c.coupling_touched.push_back(static_cast<int32_t>(i));
    mark = static_cast<uint8_t>(mark | kinds);
}
// A force counts as buffered when a component is non-zero or not a number.
inline bool force_present(std::size_t i) {
    const double* f = &sph_coupling.coupling_external_force[3 * i];
    return f[0] != 0.0 || f[1] != 0.0 || f[2] != 0.0;
}
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
// The failure of a force on a particle whose mass is not positive.
[[nodiscard]] int record_nonpositive_mass();

}  // namespace quorrel::coupling_detail
