#include "solid/sph_solid_state.h"

#include "database/sph_database.h"
#include "solid/sph_solid_arrays.h"

namespace quorrel {

SphSolidState sph_solid_state;

bool sph_solid_state_present() {
    const int32_t npart = sph_database.npart;
    if (npart <= 0) return false;
    const std::size_t n = static_cast<std::size_t>(npart);
    bool present = true;
    sph_solid_for_each_array(sph_solid_state, [&](auto& values, std::size_t components) {
        present = present && values.size() == components * n;
    });
    return present;
}

}  // namespace quorrel
