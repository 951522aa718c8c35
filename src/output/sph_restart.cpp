#include "output/sph_restart.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_text.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"
#include "output/sph_restart_io.h"
#include "particle/sph_neighbor.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid_dynamics.h"
#include "solid/sph_solid_restart.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

constexpr std::string_view restart_magic = "QUORREL_RESTART";
constexpr std::string_view coupling_mark = "QUORREL_COUPLING_STATE";
constexpr std::array<std::string_view, 9> tags = {"STATE_0_2", "STATE_0_3",   "STATE_0_3_1",
                                                   "STATE_0_4", "STATE_0_4_1", "STATE_0_5",
                                                   "STATE_0_5_1", "STATE_0_8", "STATE_0_8_1"};

bool at_least(SphRestartVersion version, SphRestartVersion since) {
    return static_cast<int32_t>(version) >= static_cast<int32_t>(since);
}

int input_failure(std::string_view message) { return sph_fail(sph_error_input, std::string(message)); }

template <typename T, std::size_t N>
void put_all(SphRestartWriter& out, const std::array<T, N>& values) {
    for (const T& v : values) {
        if constexpr (std::is_integral_v<T>) out.put_int(v);
        else out.put_real(v);
    }
}

void put_reals(SphRestartWriter& out, const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) out.put_real(values[k]);
}

void put_reals(SphRestartWriter& out, std::initializer_list<double> values) {
    for (double v : values) out.put_real(v);
}

// Reads one record of exactly the listed reals (further values ignored).
bool read_reals(SphRestartReader& in, SphRestartRecord& r, std::initializer_list<double*> targets) {
    if (!in.read_record(r)) return false;
    std::size_t k = 0;
    for (double* t : targets)
        if (!r.get(k++, *t)) return false;
    return true;
}

bool read_real_array(SphRestartReader& in, SphRestartRecord& r, double* values, std::size_t count) {
    return in.read_record(r) && r.get_all(0, values, count);
}

// ---- Main records ----

void write_main_records(SphRestartWriter& out) {
    const SphControl& c = sph_control;
    const SphDatabase& d = sph_database;
    const SphWater& w = sph_water;
    const SphGas& g = sph_gas;
    const SphNeighbor& nb = sph_neighbor;
    out.put_line(std::string(restart_magic) + " 0 8 3 " + std::string(tags.back()));
    out.put_real(c.current_time);
    out.put_int(c.current_step);
    out.put_int(d.npart);
    out.end_record();
    out.put_int(c.output_interval);
    out.put_bool(c.output_enabled);
    out.put_real(c.safety_factor);
    out.end_record();
    out.put_line(sph_trim_right(c.output_directory));
    put_reals(out, {w.water_rho0, w.water_c0, w.water_gamma, w.water_p0, w.water_b});
    out.end_record();
    put_reals(out, {w.water_visc_alpha, w.water_visc_beta, w.water_visc_eta2});
    out.end_record();
    put_all(out, w.water_body_force);
    out.end_record();
    out.put_real(nb.neighbor_cell_size);
    put_all(out, nb.neighbor_cell_dims);
    out.put_int(nb.neighbor_num_cells);
    out.end_record();
    out.put_int(d.water_particle_count);
    out.put_real(d.water_mass);
    out.end_record();
    put_all(out, d.water_momentum);
    put_reals(out, {d.water_max_pressure, d.water_min_density, d.water_max_density, d.water_pressure_impulse});
    out.end_record();
    put_reals(out, {d.water_dt_cfl, d.water_dt_accel, d.water_dt_viscous});
    out.end_record();
    out.put_int(g.gas_eos_type);
    put_reals(out, {g.gas_rho0, g.gas_gamma, g.gas_e0, g.gas_p0, g.gas_jwl_a, g.gas_jwl_b, g.gas_jwl_r1, g.gas_jwl_r2,
                    g.gas_jwl_omega, g.gas_pinf});
    out.end_record();
    put_reals(out, {g.gas_default_h, g.gas_default_mass, g.gas_default_volume});
    out.end_record();
    put_all(out, g.gas_body_force);
    out.end_record();
    out.put_int(d.gas_particle_count);
    put_reals(out, {d.gas_mass, d.gas_volume});
    out.end_record();
    put_all(out, d.gas_momentum);
    put_all(out, d.gas_center);
    put_reals(out, {d.gas_mean_pressure, d.gas_max_pressure, d.gas_min_density, d.gas_max_density});
    out.end_record();
    put_reals(out, {d.gas_equivalent_radius, d.gas_previous_equivalent_radius, d.gas_radius_rate});
    put_all(out, d.gas_previous_center);
    out.put_real(d.gas_center_shift);
    out.end_record();
    put_reals(out, {d.gas_dt_cfl, d.gas_dt_accel, d.gas_dtcrit});
    out.end_record();
    out.put_int(g.gas_material_count);
    out.end_record();
    for (int32_t m = 0; m < g.gas_material_count; ++m) {
        const SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(m)];
        out.put_int(s.gas_material_ids);
        out.put_text(s.gas_material_names);
        out.put_bool(s.gas_material_eos_defined);
        out.put_int(s.gas_material_eos_type);
        out.end_record();
        put_reals(out, {s.gas_material_density_default, s.gas_material_energy_default,
                        s.gas_material_temperature_default});
        out.end_record();
        put_reals(out, {s.gas_material_rho0, s.gas_material_gamma, s.gas_material_p0, s.gas_material_pinf});
        out.end_record();
        put_reals(out, {s.gas_material_jwl_a, s.gas_material_jwl_b, s.gas_material_jwl_r1, s.gas_material_jwl_r2,
                        s.gas_material_jwl_omega});
        out.end_record();
        put_reals(out, {s.gas_material_default_h, s.gas_material_default_mass, s.gas_material_default_volume});
        out.end_record();
    }
    for (std::size_t i = 0; i < npart_of(); ++i) {
        for (int32_t v : {d.particle_id_ext[i], d.particle_phase[i], d.particle_status[i], d.material_id[i],
                          d.section_id[i]})
            out.put_int(v);
        out.end_record();
        for (const std::vector<double>* v : {&d.x0, &d.x, &d.v, &d.a, &d.vhalf}) put_reals(out, &(*v)[3 * i], 3);
        out.end_record();
        put_reals(out, {d.mass[i], d.rho[i], d.volume[i], d.pressure[i], d.internal_energy[i], d.temperature[i], d.h[i]});
        out.end_record();
    }
    const SphGasSource& src = sph_gas_source;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        out.put_real(src.gas_mass_source[i]);
        out.put_real(src.gas_energy_source[i]);
        put_reals(out, &src.gas_momentum_source[3 * i], 3);
        out.end_record();
    }
}

bool read_gas_records(SphRestartReader& in, SphRestartRecord& r, std::string_view& message) {
    SphGas& g = sph_gas;
    SphDatabase& d = sph_database;
    message = "invalid restart Gas EOS state";
    if (!in.read_record(r) || !r.get(0, g.gas_eos_type)) return false;
    {
        double* t[10] = {&g.gas_rho0,  &g.gas_gamma, &g.gas_e0,    &g.gas_p0,      &g.gas_jwl_a,
                         &g.gas_jwl_b, &g.gas_jwl_r1, &g.gas_jwl_r2, &g.gas_jwl_omega, &g.gas_pinf};
        for (std::size_t k = 0; k < 10; ++k)
            if (!r.get(1 + k, *t[k])) return false;
    }
    message = "invalid restart Gas particle control state";
    if (!read_reals(in, r, {&g.gas_default_h, &g.gas_default_mass, &g.gas_default_volume})) return false;
    message = "invalid restart Gas body force state";
    if (!read_real_array(in, r, g.gas_body_force.data(), 3)) return false;
    message = "invalid restart Gas summary state";
    if (!in.read_record(r) || !r.get(0, d.gas_particle_count) || !r.get(1, d.gas_mass) || !r.get(2, d.gas_volume))
        return false;
    message = "invalid restart Gas diagnostic state";
    if (!in.read_record(r) || !r.get_all(0, d.gas_momentum.data(), 3) || !r.get_all(3, d.gas_center.data(), 3) ||
        !r.get(6, d.gas_mean_pressure) || !r.get(7, d.gas_max_pressure) || !r.get(8, d.gas_min_density) ||
        !r.get(9, d.gas_max_density))
        return false;
    message = "invalid restart Gas bubble state";
    if (!in.read_record(r) || !r.get(0, d.gas_equivalent_radius) || !r.get(1, d.gas_previous_equivalent_radius) ||
        !r.get(2, d.gas_radius_rate) || !r.get_all(3, d.gas_previous_center.data(), 3) || !r.get(6, d.gas_center_shift))
        return false;
    message = "invalid restart Gas dt state";
    if (!read_reals(in, r, {&d.gas_dt_cfl, &d.gas_dt_accel, &d.gas_dtcrit})) return false;
    g.gas_bubble_history_valid = d.gas_particle_count > 0;
    return true;
}

bool read_particles(SphRestartReader& in, SphRestartRecord& r) {
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!in.read_record(r) || !r.get(0, d.particle_id_ext[i]) || !r.get(1, d.particle_phase[i]) ||
            !r.get(2, d.particle_status[i]) || !r.get(3, d.material_id[i]) || !r.get(4, d.section_id[i]))
            return false;
        if (!in.read_record(r)) return false;
        std::size_t k = 0;
        for (std::vector<double>* v : {&d.x0, &d.x, &d.v, &d.a, &d.vhalf}) {
            if (!r.get_all(k, &(*v)[3 * i], 3)) return false;
            k += 3;
        }
        if (!in.read_record(r)) return false;
        k = 0;
        for (std::vector<double>* v : {&d.mass, &d.rho, &d.volume, &d.pressure, &d.internal_energy, &d.temperature, &d.h})
            if (!r.get(k++, (*v)[i])) return false;
    }
    d.node_index_stale = true;
    return true;
}

// The constant accelerations a build leaves: the water body force on active water, the gas
// body force on active gas (converted products included, as the burn sets them).
void rebuild_body_accelerations() {
    SphDatabase& d = sph_database;
    std::fill(d.acc_body.begin(), d.acc_body.end(), 0.0);
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (d.particle_status[i] != sph_status_active) continue;
        const std::array<double, 3>* force = nullptr;
        if (d.particle_phase[i] == sph_phase_water) force = &sph_water.water_body_force;
        if (d.particle_phase[i] == sph_phase_gas) force = &sph_gas.gas_body_force;
        if (force)
            for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * i + k] = (*force)[k];
    }
}

}  // namespace

bool sph_restart_version_of(std::string_view tag, SphRestartVersion& version) {
    tag = sph_trim_right(tag);
    for (std::size_t k = 0; k < tags.size(); ++k)
        if (tag == tags[k]) {
            version = static_cast<SphRestartVersion>(k);
            return true;
        }
    return false;
}

// ---- Gas table and sources ----

bool sph_restart_read_gas_material_table(SphRestartReader& in) {
    SphGas& g = sph_gas;
    SphRestartRecord r;
    sph_gas_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, count) || count < 0 || count > sph_gas_max_materials) return false;
    g.gas_material_count = count;
    for (int32_t m = 0; m < count; ++m) {
        SphGasMaterial& s = g.gas_materials[static_cast<std::size_t>(m)];
        if (!in.read_record(r) || !r.get(0, s.gas_material_ids) || !r.get(1, s.gas_material_names) ||
            !r.get(2, s.gas_material_eos_defined) || !r.get(3, s.gas_material_eos_type))
            return false;
        s.gas_material_names = sph_fixed(s.gas_material_names, sph_name_len);
        if (!read_reals(in, r, {&s.gas_material_density_default, &s.gas_material_energy_default,
                                &s.gas_material_temperature_default}) ||
            !read_reals(in, r, {&s.gas_material_rho0, &s.gas_material_gamma, &s.gas_material_p0, &s.gas_material_pinf}) ||
            !read_reals(in, r, {&s.gas_material_jwl_a, &s.gas_material_jwl_b, &s.gas_material_jwl_r1,
                                &s.gas_material_jwl_r2, &s.gas_material_jwl_omega}) ||
            !read_reals(in, r, {&s.gas_material_default_h, &s.gas_material_default_mass,
                                &s.gas_material_default_volume}))
            return false;
    }
    return true;
}

bool sph_restart_read_gas_sources(SphRestartReader& in) {
    SphGasSource& src = sph_gas_source;
    SphRestartRecord r;
    for (std::size_t i = 0; i < npart_of(); ++i)
        if (!in.read_record(r) || !r.get(0, src.gas_mass_source[i]) || !r.get(1, src.gas_energy_source[i]) ||
            !r.get_all(2, &src.gas_momentum_source[3 * i], 3))
            return false;
    return true;
}

// ---- Explosive section ----

void sph_restart_write_explosive_state(SphRestartWriter& out) {
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
}

void sph_restart_seed_explosive_041_defaults(int32_t index) {
    SphExplosiveState& e = sph_explosive_state;
    const SphDatabase& d = sph_database;
    const std::size_t i = static_cast<std::size_t>(index);
    e.explosive_initial_material_id[i] = d.material_id[i];
    const double released = e.explosive_released_mass[i], progress = e.explosive_reaction_progress[i];
    e.explosive_initial_mass[i] = released > 0.0 && progress > 0.0 ? released / progress : d.mass[i];
    e.explosive_remaining_mass[i] = std::max(e.explosive_initial_mass[i] - released, 0.0);
}

namespace {

// An empty table and zeroed per-particle state at this particle count: allocation keeps
// old contents at an equal count, and no file may inherit them.
int fresh_explosive_state() {
    sph_explosive_clear_material_table();
    if (int st = sph_explosive_allocate_state()) return st;
    sph_explosive_clear_particle_state();
    return sph_success;
}

}  // namespace

int sph_restart_clear_explosive_state() { return fresh_explosive_state(); }

int sph_restart_read_explosive_state(SphRestartReader& in, SphRestartVersion version) {
    SphExplosiveState& e = sph_explosive_state;
    const bool long_layout = at_least(version, SphRestartVersion::v0_4_1);
    SphRestartRecord r;
    sph_explosive_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, count)) return input_failure("invalid restart Explosive material count");
    if (count < 0 || count > sph_explosive_max_materials)
        return input_failure("restart Explosive material count is out of range");
    e.explosive_material_count = count;
    e.explosive_material_seen = count > 0;
    for (int32_t m = 0; m < count; ++m) {
        SphExplosiveMaterial& s = e.explosive_materials[static_cast<std::size_t>(m)];
        if (!in.read_record(r) || !r.get(0, s.explosive_material_id) || !r.get(1, s.explosive_material_name) ||
            !r.get(2, s.explosive_control_defined) || !r.get(3, s.explosive_product_material_id) ||
            !r.get(4, s.explosive_product_material_name) || !r.get(5, s.explosive_conversion_mode))
            return input_failure("invalid restart Explosive material row");
        s.explosive_material_name = sph_fixed(s.explosive_material_name, sph_name_len);
        s.explosive_product_material_name = sph_fixed(s.explosive_product_material_name, sph_name_len);
        if (!read_reals(in, r, {&s.explosive_density0, &s.explosive_detonation_velocity, &s.explosive_energy_per_mass,
                                &s.explosive_burn_time}))
            return input_failure("invalid restart Explosive control row");
    }
    int32_t ignitions = 0;
    if (!in.read_record(r) || !r.get(0, ignitions)) return input_failure("invalid restart Explosive ignition count");
    if (ignitions < 0 || ignitions > sph_explosive_max_ignitions)
        return input_failure("restart Explosive ignition count is out of range");
    e.explosive_ignition_count = ignitions;
    for (int32_t j = 0; j < ignitions; ++j) {
        SphExplosiveIgnition& g = e.explosive_ignitions[static_cast<std::size_t>(j)];
        if (!in.read_record(r) || !r.get(0, g.explosive_ignition_material_id) ||
            !r.get_all(1, g.explosive_ignition_x.data(), 3) || !r.get(4, g.explosive_ignition_time))
            return input_failure("invalid restart Explosive ignition row");
    }
    if (!read_reals(in, r, {&e.explosive_dt_reaction})) return input_failure("invalid restart Explosive dt state");
    if (sph_explosive_allocate_state() != 0) return input_failure("failed to allocate restart Explosive state");
    sph_explosive_clear_particle_state();
    if (long_layout) {
        if (!in.read_record(r) || !r.get(0, e.explosive_converted_count) || !r.get(1, e.explosive_source_target_count))
            return input_failure("invalid restart Explosive conversion counts");
        if (!in.read_record(r) || !r.get(0, e.explosive_source_mass_total) ||
            !r.get(1, e.explosive_source_energy_total) || !r.get_all(2, e.explosive_source_momentum_total.data(), 3))
            return input_failure("invalid restart Explosive source totals");
        if (!read_real_array(in, r, e.explosive_release_mass_balance.data(), 4))
            return input_failure("invalid restart Explosive mass balance");
        if (!read_real_array(in, r, e.explosive_release_energy_balance.data(), 2))
            return input_failure("invalid restart Explosive energy balance");
        if (!read_real_array(in, r, e.explosive_release_momentum_balance.data(), 3))
            return input_failure("invalid restart Explosive momentum balance");
    }
    for (std::size_t i = 0; i < npart_of(); ++i) {
        bool ok = in.read_record(r) && r.get(0, e.explosive_ignition_status[i]) &&
                  r.get(1, e.explosive_detonation_time[i]) && r.get(2, e.explosive_reaction_progress[i]) &&
                  r.get(3, e.explosive_released_mass[i]) && r.get(4, e.explosive_released_energy[i]) &&
                  r.get_all(5, &e.explosive_released_momentum[3 * i], 3);
        if (ok && long_layout)
            ok = r.get(8, e.explosive_initial_material_id[i]) && r.get(9, e.explosive_initial_mass[i]) &&
                 r.get(10, e.explosive_remaining_mass[i]);
        if (!ok) return input_failure("invalid restart Explosive particle state");
        if (!long_layout) sph_restart_seed_explosive_041_defaults(static_cast<int32_t>(i));
    }
    sph_explosive_update_release_balance();
    return sph_success;
}

// ---- Coupling section ----

void sph_restart_set_legacy_coupling_modes(int region) {
    SphCouplingRegionRecord& rec = sph_database.coupling_regions[static_cast<std::size_t>(region)];
    rec.coupling_region_load_mode = rec.coupling_region_import_mode == sph_coupling_import_facet_load
                                        ? sph_coupling_load_facet_force
                                        : sph_coupling_load_particle_force;
    rec.coupling_region_distribution_mode = sph_coupling_distribution_uniform;
    rec.coupling_region_contact_state_mode = sph_coupling_contact_state_none;
}

void sph_restart_clear_coupling_state() {
    sph_coupling_reset();
    sph_db_clear_coupling_regions();
}

int sph_restart_write_coupling_state(SphRestartWriter& out) {
    const SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    // Buffers of an earlier particle count are released first; absent ones are written as zeros.
    if (!c.coupling_external_force.empty() || d.npart < 1)
        if (int st = sph_coupling_allocate_imports()) return st;
    out.put_line(coupling_mark);
    out.put_int(static_cast<int64_t>(d.coupling_regions.size()));
    out.put_int(d.coupling_region_disabled_count);
    out.end_record();
    for (const SphCouplingRegionRecord& rec : d.coupling_regions) {
        for (const std::string* name : {&rec.coupling_region_name, &rec.coupling_region_set_name,
                                        &rec.coupling_region_surface_name, &rec.coupling_region_material_name,
                                        &rec.coupling_region_section_name})
            out.put_line(sph_trim_right(*name));
        for (int32_t v : {rec.coupling_region_type, rec.coupling_region_export_mode, rec.coupling_region_import_mode,
                          rec.coupling_region_load_mode, rec.coupling_region_distribution_mode,
                          rec.coupling_region_contact_state_mode, rec.coupling_region_enabled,
                          rec.coupling_region_phase_filter, rec.coupling_region_material_filter,
                          rec.coupling_region_section_filter, rec.coupling_region_internal_id,
                          static_cast<int32_t>(rec.coupling_region_particles.size())})
            out.put_int(v);
        out.end_record();
        if (!rec.coupling_region_particles.empty()) {
            for (int32_t p : rec.coupling_region_particles) out.put_int(static_cast<int64_t>(p) + 1);
            out.end_record();
        }
    }
    put_all(out, c.coupling_cumulative_impulse);
    put_all(out, c.coupling_momentum_exchange);
    out.end_record();
    put_reals(out, {c.coupling_cumulative_work, c.coupling_energy_exchange});
    out.end_record();
    for (int32_t v : {c.coupling_stale_load_count, c.coupling_skipped_particle_count, c.coupling_nonfinite_import_count,
                      c.coupling_imported_force_count})
        out.put_int(v);
    out.end_record();
    for (int32_t v : {c.coupling_epoch, c.coupling_repeated_import_count, c.coupling_duplicate_facet_count,
                      c.coupling_invalid_weight_count, c.coupling_active_contact_count, c.coupling_skipped_contact_count,
                      c.coupling_nonfinite_contact_count, c.coupling_bad_facet_area_count, 0})
        out.put_int(v);
    out.end_record();
    put_all(out, c.coupling_facet_input_force);
    put_all(out, c.coupling_facet_distributed_force);
    out.put_real(c.coupling_facet_force_error);
    out.end_record();
    put_all(out, c.coupling_facet_input_moment);
    put_all(out, c.coupling_facet_distributed_moment);
    out.put_real(c.coupling_facet_moment_error);
    out.end_record();
    put_reals(out, {c.coupling_max_pressure, c.coupling_max_traction, c.coupling_max_penetration});
    out.end_record();
    out.put_int(d.npart);
    out.end_record();
    const bool present = !c.coupling_external_force.empty();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (present) {
            for (const std::vector<double>* v : {&c.coupling_external_force, &c.coupling_motion_velocity,
                                                 &c.coupling_motion_position, &c.coupling_contact_normal})
                put_reals(out, &(*v)[3 * i], 3);
            put_reals(out, {c.coupling_contact_gap[i], c.coupling_contact_penetration[i], c.coupling_contact_pressure[i]});
            for (int32_t v : {c.coupling_motion_flag[i], c.coupling_motion_mode[i], c.coupling_contact_flag[i]})
                out.put_int(v);
        } else {
            for (int k = 0; k < 15; ++k) out.put_real(0.0);
            for (int k = 0; k < 3; ++k) out.put_int(0);
        }
        out.end_record();
    }
    return sph_success;
}

bool sph_restart_read_coupling_state(SphRestartReader& in, SphRestartVersion version) {
    const bool full = version == SphRestartVersion::v0_8_1;
    SphDatabase& d = sph_database;
    SphCouplingInterface& c = sph_coupling;
    SphRestartRecord r;
    sph_restart_clear_coupling_state();
    std::string_view line;
    if (!in.read_line(line) || sph_trim(line) != coupling_mark) return false;
    int32_t count = 0, disabled = 0;
    if (!in.read_record(r) || !r.get(0, count) || !r.get(1, disabled) || count < 0 || count > sph_max_regions)
        return false;
    ++d.coupling_region_revision;
    d.coupling_regions.resize(static_cast<std::size_t>(count));
    d.coupling_region_disabled_count = disabled;
    for (int32_t k = 0; k < count; ++k) {
        SphCouplingRegionRecord& rec = d.coupling_regions[static_cast<std::size_t>(k)];
        for (std::string* name : {&rec.coupling_region_name, &rec.coupling_region_set_name,
                                  &rec.coupling_region_surface_name, &rec.coupling_region_material_name,
                                  &rec.coupling_region_section_name}) {
            if (!in.read_line(line)) return false;
            *name = sph_fixed(line, sph_name_len);
        }
        if (!in.read_record(r)) return false;
        int32_t members = 0;
        if (full) {
            int32_t* v[12] = {&rec.coupling_region_type,          &rec.coupling_region_export_mode,
                              &rec.coupling_region_import_mode,   &rec.coupling_region_load_mode,
                              &rec.coupling_region_distribution_mode, &rec.coupling_region_contact_state_mode,
                              &rec.coupling_region_enabled,       &rec.coupling_region_phase_filter,
                              &rec.coupling_region_material_filter, &rec.coupling_region_section_filter,
                              &rec.coupling_region_internal_id,   &members};
            for (std::size_t j = 0; j < 12; ++j)
                if (!r.get(j, *v[j])) return false;
        } else {
            int32_t* v[9] = {&rec.coupling_region_type,          &rec.coupling_region_export_mode,
                             &rec.coupling_region_import_mode,   &rec.coupling_region_enabled,
                             &rec.coupling_region_phase_filter,  &rec.coupling_region_material_filter,
                             &rec.coupling_region_section_filter, &rec.coupling_region_internal_id, &members};
            for (std::size_t j = 0; j < 9; ++j)
                if (!r.get(j, *v[j])) return false;
            sph_restart_set_legacy_coupling_modes(k);
        }
        if (members < 0 || members > sph_max_region_particles) return false;
        if (members > 0) {
            if (!in.read_record(r)) return false;
            rec.coupling_region_particles.resize(static_cast<std::size_t>(members));
            for (int32_t j = 0; j < members; ++j) {
                int32_t p = 0;
                // Members are particle numbers of this model.
                if (!r.get(static_cast<std::size_t>(j), p) || p < 1 || p > d.npart) return false;
                rec.coupling_region_particles[static_cast<std::size_t>(j)] = p - 1;
            }
        }
    }
    if (sph_coupling_allocate_imports() != 0) return false;
    if (!read_real_array(in, r, c.coupling_cumulative_impulse.data(), 3) ||
        !r.get_all(3, c.coupling_momentum_exchange.data(), 3))
        return false;
    if (!read_reals(in, r, {&c.coupling_cumulative_work, &c.coupling_energy_exchange})) return false;
    // Four counters, or three in files that predate the imported-force count.
    if (!in.read_record(r) || !r.get(0, c.coupling_stale_load_count) || !r.get(1, c.coupling_skipped_particle_count) ||
        !r.get(2, c.coupling_nonfinite_import_count))
        return false;
    int32_t imported = 0;
    if (!r.get(3, imported)) imported = 0;
    if (full) {
        if (!in.read_record(r)) return false;
        int32_t* v[8] = {&c.coupling_epoch,                &c.coupling_repeated_import_count,
                         &c.coupling_duplicate_facet_count, &c.coupling_invalid_weight_count,
                         &c.coupling_active_contact_count, &c.coupling_skipped_contact_count,
                         &c.coupling_nonfinite_contact_count, &c.coupling_bad_facet_area_count};
        for (std::size_t j = 0; j < 8; ++j)
            if (!r.get(j, *v[j])) return false;
        if (!in.read_record(r) || !r.get_all(0, c.coupling_facet_input_force.data(), 3) ||
            !r.get_all(3, c.coupling_facet_distributed_force.data(), 3) || !r.get(6, c.coupling_facet_force_error))
            return false;
        if (!in.read_record(r) || !r.get_all(0, c.coupling_facet_input_moment.data(), 3) ||
            !r.get_all(3, c.coupling_facet_distributed_moment.data(), 3) || !r.get(6, c.coupling_facet_moment_error))
            return false;
        if (!read_reals(in, r, {&c.coupling_max_pressure, &c.coupling_max_traction, &c.coupling_max_penetration}))
            return false;
    }
    int32_t n = 0;
    if (!in.read_record(r) || !r.get(0, n) || n != d.npart) return false;
    c.coupling_imported_force_count = imported;
    const bool present = !c.coupling_external_force.empty();
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!in.read_record(r)) return false;
        if (!present) continue;
        if (!r.get_all(0, &c.coupling_external_force[3 * i], 3) || !r.get_all(3, &c.coupling_motion_velocity[3 * i], 3) ||
            !r.get_all(6, &c.coupling_motion_position[3 * i], 3))
            return false;
        if (full) {
            if (!r.get_all(9, &c.coupling_contact_normal[3 * i], 3) || !r.get(12, c.coupling_contact_gap[i]) ||
                !r.get(13, c.coupling_contact_penetration[i]) || !r.get(14, c.coupling_contact_pressure[i]) ||
                !r.get(15, c.coupling_motion_flag[i]) || !r.get(16, c.coupling_motion_mode[i]) ||
                !r.get(17, c.coupling_contact_flag[i]))
                return false;
        } else if (!r.get(9, c.coupling_motion_flag[i]) || !r.get(10, c.coupling_motion_mode[i])) {
            return false;
        }
    }
    sph_coupling_rebuild_touched();
    return true;
}

// ---- The file ----

int sph_restart_write(std::string_view filename) {
    if (int st = sph_gas_allocate_sources()) return st;
    SphRestartWriter out;
    if (!out.open(std::string(sph_trim_right(filename))))
        return sph_fail(sph_error_io, "failed to open restart file for writing");
    write_main_records(out);
    if (int st = sph_explosive_allocate_state()) return st;
    sph_restart_write_explosive_state(out);
    sph_solid_restart_write(out);
    if (int st = sph_restart_write_coupling_state(out)) return st;
    if (!out.commit()) return sph_fail(sph_error_io, "failed to write restart file");
    return sph_success;
}

int sph_restart_read(std::string_view filename, bool& model_replaced) {
    model_replaced = false;
    SphRestartReader in;
    if (!in.open(std::string(sph_trim_right(filename))))
        return sph_fail(sph_error_io, "failed to open restart file for reading");
    SphRestartRecord r;
    std::string magic, tag;
    int32_t version_numbers[3] = {};
    if (!in.read_record(r) || !r.get(0, magic) || !r.get_all(1, version_numbers, 3) || !r.get(4, tag) ||
        magic.size() > 64 || sph_trim_right(magic) != restart_magic)
        return input_failure("invalid restart header");
    if (tag.size() > 32) tag.resize(32);
    model_replaced = true;

    SphControl& c = sph_control;
    int32_t n = 0;
    {
        double time = 0.0;
        int32_t step = 0;
        if (!in.read_record(r) || !r.get(0, time) || !r.get(1, step) || !r.get(2, n) || n < 0)
            return input_failure("invalid restart state");
        // Every particle takes three lines of at least two values each.
        if (in.file_size() > 0 && static_cast<uint64_t>(n) > in.file_size() / 6)
            return input_failure("invalid restart state");
        c.current_time = time;
        c.current_step = step;
    }
    if (!in.read_record(r) || !r.get(0, c.output_interval) || !r.get(1, c.output_enabled) || !r.get(2, c.safety_factor))
        return input_failure("invalid restart output interval");
    std::string_view line;
    if (!in.read_line(line)) return input_failure("invalid restart output directory");
    c.output_directory = std::string(sph_trim_right(line));
    SphWater& w = sph_water;
    if (!read_reals(in, r, {&w.water_rho0, &w.water_c0, &w.water_gamma, &w.water_p0, &w.water_b}))
        return input_failure("invalid restart Water EOS state");
    if (!read_reals(in, r, {&w.water_visc_alpha, &w.water_visc_beta, &w.water_visc_eta2}))
        return input_failure("invalid restart Water viscosity state");
    if (!read_real_array(in, r, w.water_body_force.data(), 3)) return input_failure("invalid restart body force state");
    SphNeighbor& nb = sph_neighbor;
    if (!in.read_record(r) || !r.get(0, nb.neighbor_cell_size) || !r.get_all(1, nb.neighbor_cell_dims.data(), 3) ||
        !r.get(4, nb.neighbor_num_cells))
        return input_failure("invalid restart neighbor state");
    {
        // Records 9 to 11 are replaced by the diagnostics of the restored particles.
        int32_t count = 0;
        double values[7] = {};
        if (!in.read_record(r) || !r.get(0, count) || !r.get(1, values[0]))
            return input_failure("invalid restart Water summary state");
        if (!read_real_array(in, r, values, 7)) return input_failure("invalid restart Water diagnostic state");
        if (!read_real_array(in, r, values, 3)) return input_failure("invalid restart Water dt state");
    }
    if (int st = sph_db_allocate(n)) return st;
    // What the file does not hold starts empty, as a deck read leaves it.
    sph_shell_reset_particle_state();
    sph_blast_reset();
    sph_blast_load_reset();

    SphRestartVersion version{};
    if (!sph_restart_version_of(tag, version)) return input_failure("unsupported restart state version");
    if (at_least(version, SphRestartVersion::v0_3)) {
        std::string_view message;
        if (!read_gas_records(in, r, message)) return input_failure(message);
    }
    if (at_least(version, SphRestartVersion::v0_3_1))
        if (!sph_restart_read_gas_material_table(in)) return input_failure("invalid restart Gas material table");
    if (!read_particles(in, r)) return input_failure("restart file ended unexpectedly");
    rebuild_body_accelerations();
    if (at_least(version, SphRestartVersion::v0_3_1)) {
        if (int st = sph_gas_allocate_sources()) return st;
        if (!sph_restart_read_gas_sources(in)) return input_failure("invalid restart Gas source state");
    } else if (version == SphRestartVersion::v0_3) {
        if (int st = sph_gas_rebuild_legacy_restart_state()) return st;
    } else {
        if (int st = sph_gas_clear_sources()) return st;
    }
    if (at_least(version, SphRestartVersion::v0_4)) {
        if (int st = sph_restart_read_explosive_state(in, version)) return st;
    } else if (int st = sph_restart_clear_explosive_state()) {
        return st;
    }
    if (at_least(version, SphRestartVersion::v0_5)) {
        if (!sph_solid_restart_read(in, version)) return input_failure("invalid restart Solid state");
    } else if (int st = sph_solid_restart_clear()) {
        return st;
    }
    if (at_least(version, SphRestartVersion::v0_8)) {
        if (!sph_restart_read_coupling_state(in, version)) return input_failure("invalid restart Coupling state");
    } else {
        sph_restart_clear_coupling_state();
    }
    if (int st = sph_neighbor_rebuild()) return st;
    if (int st = sph_water_update_diagnostics()) return st;
    // The refresh compares the restored bubble with the restored history, which is that same
    // bubble: the radius rate and centre shift of the file are the ones of this state.
    const double radius_rate = sph_database.gas_radius_rate, center_shift = sph_database.gas_center_shift;
    if (int st = sph_gas_update_diagnostics()) return st;
    if (at_least(version, SphRestartVersion::v0_3)) {
        sph_database.gas_radius_rate = radius_rate;
        sph_database.gas_center_shift = center_shift;
    }
    return sph_solid_update_diagnostics();
}

}  // namespace quorrel
