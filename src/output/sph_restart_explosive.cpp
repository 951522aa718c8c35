// The explosive section of the restart file: the material and ignition tables, the
// reaction step, the conversion totals and balances (long layout only) and a row per
// particle.
#include <algorithm>
#include <array>
#include <string>

#include "core/sph_error.h"
#include "core/sph_restart_io.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_state.h"
#include "output/sph_restart_sections.h"

namespace quorrel {

int sph_restart_write_explosive_state(SphRestartWriter& out) {
    if (int st = sph_explosive_allocate_state()) return st;
    const SphExplosiveState& e = sph_explosive_state;
    out.put_int(e.explosive_material_count);
    out.end_record();
    for (int32_t m = 0; m < e.explosive_material_count; ++m) {
        const SphExplosiveMaterial& s = e.explosive_materials[static_cast<std::size_t>(m)];
        out.put_int(s.explosive_material_id);
        out.put_text(s.explosive_material_name);
        out.put_bool(s.explosive_control_defined);
        out.put_int(s.explosive_product_material_id);
        out.put_text(s.explosive_product_material_name);
        out.put_int(s.explosive_conversion_mode);
        out.end_record();
        put_reals(out, {s.explosive_density0, s.explosive_detonation_velocity, s.explosive_energy_per_mass,
                        s.explosive_burn_time});
        out.end_record();
    }
    out.put_int(e.explosive_ignition_count);
    out.end_record();
    for (int32_t j = 0; j < e.explosive_ignition_count; ++j) {
        const SphExplosiveIgnition& g = e.explosive_ignitions[static_cast<std::size_t>(j)];
        out.put_int(g.explosive_ignition_material_id);
        put_all(out, g.explosive_ignition_x);
        out.put_real(g.explosive_ignition_time);
        out.end_record();
    }
    out.put_real(e.explosive_dt_reaction);
    out.end_record();
    out.put_int(e.explosive_converted_count);
    out.put_int(e.explosive_source_target_count);
    out.end_record();
    put_reals(out, {e.explosive_source_mass_total, e.explosive_source_energy_total});
    put_all(out, e.explosive_source_momentum_total);
    out.end_record();
    put_all(out, e.explosive_release_mass_balance);
    out.end_record();
    put_all(out, e.explosive_release_energy_balance);
    out.end_record();
    put_all(out, e.explosive_release_momentum_balance);
    out.end_record();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        out.put_int(e.explosive_ignition_status[i]);
        put_reals(out, {e.explosive_detonation_time[i], e.explosive_reaction_progress[i], e.explosive_released_mass[i],
                        e.explosive_released_energy[i]});
        put_reals(out, &e.explosive_released_momentum[3 * i], 3);
        out.put_int(e.explosive_initial_material_id[i]);
        put_reals(out, {e.explosive_initial_mass[i], e.explosive_remaining_mass[i]});
        out.end_record();
    }
    return sph_success;
}

namespace {

// What a particle of the short layout lacks: its initial material and mass, and the mass
// that remains.
void seed_explosive_041_defaults(std::size_t i) {
    SphExplosiveState& e = sph_explosive_state;
    const SphDatabase& d = sph_database;
    e.explosive_initial_material_id[i] = d.material_id[i];
    const double released = e.explosive_released_mass[i], progress = e.explosive_reaction_progress[i];
    e.explosive_initial_mass[i] = released > 0.0 && progress > 0.0 ? released / progress : d.mass[i];
    e.explosive_remaining_mass[i] = std::max(e.explosive_initial_mass[i] - released, 0.0);
}

}  // namespace

// An empty table and zeroed per-particle state at this particle count: allocation keeps
// old contents at an equal count, and no file may inherit them.
int sph_restart_clear_explosive_state() {
    sph_explosive_clear_material_table();
    if (int st = sph_explosive_allocate_state()) return st;
    sph_explosive_clear_particle_state();
    return sph_success;
}

int sph_restart_read_explosive_state(SphRestartReader& in, SphRestartVersion version) {
    SphExplosiveState& e = sph_explosive_state;
    const bool long_layout = sph_restart_at_least(version, SphRestartVersion::v0_4_1);
    SphRestartRecord r;
    sph_explosive_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, count)) return sph_restart_input_failure("invalid restart Explosive material count");
    if (count < 0 || count > sph_explosive_max_materials)
        return sph_restart_input_failure("restart Explosive material count is out of range");
    e.explosive_material_count = count;
    e.explosive_material_seen = count > 0;
    for (int32_t m = 0; m < count; ++m) {
        SphExplosiveMaterial& s = e.explosive_materials[static_cast<std::size_t>(m)];
        if (!in.read_record(r) || !r.get(0, s.explosive_material_id) || !r.get(1, s.explosive_material_name) ||
            !r.get(2, s.explosive_control_defined) || !r.get(3, s.explosive_product_material_id) ||
            !r.get(4, s.explosive_product_material_name) || !r.get(5, s.explosive_conversion_mode))
            return sph_restart_input_failure("invalid restart Explosive material row");
        s.explosive_material_name = sph_fixed(s.explosive_material_name, sph_name_len);
        s.explosive_product_material_name = sph_fixed(s.explosive_product_material_name, sph_name_len);
        if (!read_reals(in, r, {&s.explosive_density0, &s.explosive_detonation_velocity, &s.explosive_energy_per_mass,
                                &s.explosive_burn_time}))
            return sph_restart_input_failure("invalid restart Explosive control row");
    }
    int32_t ignitions = 0;
    if (!in.read_record(r) || !r.get(0, ignitions)) return sph_restart_input_failure("invalid restart Explosive ignition count");
    if (ignitions < 0 || ignitions > sph_explosive_max_ignitions)
        return sph_restart_input_failure("restart Explosive ignition count is out of range");
    e.explosive_ignition_count = ignitions;
    for (int32_t j = 0; j < ignitions; ++j) {
        SphExplosiveIgnition& g = e.explosive_ignitions[static_cast<std::size_t>(j)];
        if (!in.read_record(r) || !r.get(0, g.explosive_ignition_material_id) ||
            !r.get_all(1, g.explosive_ignition_x.data(), 3) || !r.get(4, g.explosive_ignition_time))
            return sph_restart_input_failure("invalid restart Explosive ignition row");
    }
    if (!read_reals(in, r, {&e.explosive_dt_reaction})) return sph_restart_input_failure("invalid restart Explosive dt state");
    if (sph_explosive_allocate_state() != 0) return sph_restart_input_failure("failed to allocate restart Explosive state");
    sph_explosive_clear_particle_state();
    if (long_layout) {
        if (!in.read_record(r) || !r.get(0, e.explosive_converted_count) || !r.get(1, e.explosive_source_target_count))
            return sph_restart_input_failure("invalid restart Explosive conversion counts");
        if (!in.read_record(r) || !r.get(0, e.explosive_source_mass_total) ||
            !r.get(1, e.explosive_source_energy_total) || !r.get_all(2, e.explosive_source_momentum_total.data(), 3))
            return sph_restart_input_failure("invalid restart Explosive source totals");
        if (!read_real_array(in, r, e.explosive_release_mass_balance.data(), 4))
            return sph_restart_input_failure("invalid restart Explosive mass balance");
        if (!read_real_array(in, r, e.explosive_release_energy_balance.data(), 2))
            return sph_restart_input_failure("invalid restart Explosive energy balance");
        if (!read_real_array(in, r, e.explosive_release_momentum_balance.data(), 3))
            return sph_restart_input_failure("invalid restart Explosive momentum balance");
    }
    for (std::size_t i = 0; i < npart_of(); ++i) {
        bool ok = in.read_record(r) && r.get(0, e.explosive_ignition_status[i]) &&
                  r.get(1, e.explosive_detonation_time[i]) && r.get(2, e.explosive_reaction_progress[i]) &&
                  r.get(3, e.explosive_released_mass[i]) && r.get(4, e.explosive_released_energy[i]) &&
                  r.get_all(5, &e.explosive_released_momentum[3 * i], 3);
        if (ok && long_layout)
            ok = r.get(8, e.explosive_initial_material_id[i]) && r.get(9, e.explosive_initial_mass[i]) &&
                 r.get(10, e.explosive_remaining_mass[i]);
        if (!ok) return sph_restart_input_failure("invalid restart Explosive particle state");
    }
    return sph_success;
}

void sph_restart_seed_explosive_state(SphRestartVersion version) {
    if (!sph_restart_at_least(version, SphRestartVersion::v0_4_1))
        for (std::size_t i = 0; i < npart_of(); ++i) seed_explosive_041_defaults(i);
    sph_explosive_update_release_balance();
}

}  // namespace quorrel
