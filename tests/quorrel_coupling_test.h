// What the coupling tests share: the coupling interface's diagnostics set so that each
// slot of the diagnostics layout shows which field it was read from.
#pragma once

#include "coupling_interface/sph_coupling_interface.h"

namespace quorrel::test {

// Value n (1 to 27) set to n + fraction and count n (1 to 12) to 100 + n, each through the
// field the diagnostics layout names for that slot. Nothing else is touched.
inline void number_coupling_diagnostics(double fraction) {
    SphCouplingInterface& c = sph_coupling;
    const auto n = [fraction](int slot) { return slot + fraction; };
    c.coupling_current_force = {n(1), n(2), n(3)};
    c.coupling_current_moment = {n(4), n(5), n(6)};
    c.coupling_current_impulse = {n(7), n(8), n(9)};
    c.coupling_cumulative_impulse = {n(10), n(11), n(12)};
    c.coupling_momentum_exchange = {n(13), n(14), n(15)};
    c.coupling_current_work = n(16);
    c.coupling_cumulative_work = n(17);
    c.coupling_energy_exchange = n(18);
    c.coupling_max_external_force = n(19);
    c.coupling_max_acceleration = n(20);
    c.coupling_max_velocity_error = n(21);
    c.coupling_max_position_error = n(22);
    c.coupling_facet_force_error = n(23);
    c.coupling_facet_moment_error = n(24);
    c.coupling_max_pressure = n(25);
    c.coupling_max_traction = n(26);
    c.coupling_max_penetration = n(27);
    c.coupling_stale_load_count = 101;
    c.coupling_skipped_particle_count = 102;
    c.coupling_nonfinite_import_count = 103;
    c.coupling_imported_force_count = 104;
    c.coupling_step_load_consumed = 105;
    c.coupling_repeated_import_count = 106;
    c.coupling_duplicate_facet_count = 107;
    c.coupling_invalid_weight_count = 108;
    c.coupling_active_contact_count = 109;
    c.coupling_skipped_contact_count = 110;
    c.coupling_nonfinite_contact_count = 111;
    c.coupling_bad_facet_area_count = 112;
}

}  // namespace quorrel::test
