// The solid section of the restart file: the material table with its derived values, the
// body force, the diagnostics and, when it exists, the per-particle state.
#include <algorithm>

#include "core/sph_error.h"
#include "core/sph_restart_io.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "output/sph_restart_sections.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_dynamics.h"

namespace quorrel {

int sph_restart_write_solid_state(SphRestartWriter& out) {
    const SphSolid& s = sph_solid;
    const SphSolidState& st = sph_solid_state;
    const SphDatabase& d = sph_database;
    out.put_bool(s.solid_material_seen);
    out.put_int(s.solid_material_count);
    out.end_record();
    for (int32_t m = 0; m < s.solid_material_count; ++m) {
        const SphSolidMaterial& mat = s.solid_materials[static_cast<std::size_t>(m)];
        const std::size_t u = static_cast<std::size_t>(m);
        out.put_int(mat.solid_material_ids);
        out.put_text(mat.solid_material_names);
        for (bool b : {mat.params.elastic_defined, mat.params.johnson_cook_defined, mat.params.failure_defined,
                       mat.params.control_defined})
            out.put_bool(b);
        out.end_record();
        put_reals(out, {mat.params.elastic_e, mat.params.elastic_nu});
        out.end_record();
        put_reals(out, {mat.params.jc_a, mat.params.jc_b, mat.params.jc_n, mat.params.jc_c, mat.params.jc_m,
                        mat.params.jc_epsdot0, mat.params.jc_troom, mat.params.jc_tmelt});
        out.end_record();
        put_reals(out, mat.params.failure_d.data(), 5);
        out.end_record();
        out.put_text(mat.params.softening_type);
        out.put_real(mat.params.softening_width);
        out.end_record();
        put_reals(out, {st.solid_density[u], st.solid_shear_modulus[u], st.solid_bulk_modulus[u], st.solid_wave_speed[u],
                        st.solid_temperature_rise_factor[u]});
        out.end_record();
    }
    put_reals(out, st.solid_body_force.data(), 3);
    out.end_record();
    out.put_int(d.solid_particle_count);
    out.put_int(d.solid_failed_count);
    out.put_real(d.solid_mass);
    out.end_record();
    put_reals(out, d.solid_momentum.data(), 3);
    put_reals(out, {d.solid_kinetic_energy, d.solid_internal_energy_total, d.solid_max_von_mises});
    out.end_record();
    put_reals(out, {d.solid_min_plastic_strain, d.solid_max_plastic_strain, d.solid_min_damage, d.solid_max_damage,
                    d.solid_min_softening, d.solid_max_softening});
    out.end_record();
    put_reals(out, {d.solid_dt_cfl, d.solid_dt_accel, d.solid_dtcrit});
    out.end_record();
    out.put_int(d.solid_reference_neighbor_min);
    out.put_real(d.solid_correction_det_min);
    out.put_int(d.solid_correction_status_max);
    out.end_record();
    put_reals(out, {d.solid_max_strain_rate, d.solid_max_acceleration, d.solid_internal_force_residual});
    out.end_record();
    const bool present = sph_solid_state_present();
    out.put_bool(present);
    out.end_record();
    if (!present) return sph_success;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        put_reals(out, &st.solid_stress[6 * i], 6);
        out.end_record();
        put_reals(out, &st.solid_strain[6 * i], 6);
        out.end_record();
        put_reals(out, {st.solid_plastic_strain[i], st.solid_plastic_strain_rate[i], st.solid_temperature[i],
                        st.solid_damage[i], st.solid_softening[i], st.solid_internal_energy[i],
                        st.solid_reference_volume[i]});
        out.put_int(st.solid_failure_status[i]);
        out.end_record();
        put_reals(out, &st.solid_deformation_gradient[9 * i], 9);
        out.end_record();
        put_reals(out, &st.solid_correction_matrix[9 * i], 9);
        out.end_record();
        put_reals(out, {st.solid_correction_determinant[i], st.solid_strain_rate_eq[i]});
        for (int32_t v : {st.solid_reference_neighbor_count[i], st.solid_reference_degenerate[i],
                          st.solid_correction_status[i]})
            out.put_int(v);
        out.end_record();
        put_reals(out, &st.solid_velocity_gradient[9 * i], 9);
        out.end_record();
        put_reals(out, &st.solid_strain_rate[6 * i], 6);
        out.end_record();
        put_reals(out, &st.solid_acc_internal[3 * i], 3);
        out.end_record();
    }
    return sph_success;
}

namespace {

// What the older layout lacks: the correction and rate summaries and, of the allocated
// arrays, the reference and rate state.
void seed_solid_051_defaults() {
    SphDatabase& d = sph_database;
    SphSolidState& st = sph_solid_state;
    d.solid_reference_neighbor_min = d.solid_correction_status_max = 0;
    d.solid_correction_det_min = d.solid_max_strain_rate = d.solid_max_acceleration = 0.0;
    d.solid_internal_force_residual = 0.0;
    for (auto* values : {&st.solid_correction_determinant, &st.solid_velocity_gradient, &st.solid_strain_rate,
                         &st.solid_strain_rate_eq})
        std::fill(values->begin(), values->end(), 0.0);
    for (auto* values : {&st.solid_reference_neighbor_count, &st.solid_reference_degenerate, &st.solid_correction_status})
        std::fill(values->begin(), values->end(), 0);
}

bool read_solid_records(SphRestartReader& in, SphRestartVersion version) {
    const bool extended = sph_restart_at_least(version, SphRestartVersion::v0_5_1);
    SphSolid& s = sph_solid;
    SphSolidState& st = sph_solid_state;
    SphDatabase& d = sph_database;
    SphRestartRecord r;
    sph_solid_clear_material_table();
    int32_t count = 0;
    if (!in.read_record(r) || !r.get(0, s.solid_material_seen) || !r.get(1, count) || count < 0 ||
        count > sph_solid_max_materials)
        return false;
    s.solid_material_count = count;
    for (int32_t m = 0; m < count; ++m) {
        SphSolidMaterial& mat = s.solid_materials[static_cast<std::size_t>(m)];
        const std::size_t u = static_cast<std::size_t>(m);
        if (!in.read_record(r) || !r.get(0, mat.solid_material_ids) || !r.get(1, mat.solid_material_names) ||
            !r.get(2, mat.params.elastic_defined) || !r.get(3, mat.params.johnson_cook_defined) ||
            !r.get(4, mat.params.failure_defined) || !r.get(5, mat.params.control_defined))
            return false;
        mat.solid_material_names = sph_fixed(mat.solid_material_names, sph_name_len);
        if (!read_reals(in, r, {&mat.params.elastic_e, &mat.params.elastic_nu}) ||
            !read_reals(in, r, {&mat.params.jc_a, &mat.params.jc_b, &mat.params.jc_n, &mat.params.jc_c, &mat.params.jc_m,
                                &mat.params.jc_epsdot0, &mat.params.jc_troom, &mat.params.jc_tmelt}) ||
            !read_real_array(in, r, mat.params.failure_d.data(), 5))
            return false;
        if (!in.read_record(r) || !r.get(0, mat.params.softening_type) || !r.get(1, mat.params.softening_width))
            return false;
        mat.params.softening_type = sph_fixed(mat.params.softening_type, sph_name_len);
        if (!read_reals(in, r, {&st.solid_density[u], &st.solid_shear_modulus[u], &st.solid_bulk_modulus[u],
                                &st.solid_wave_speed[u], &st.solid_temperature_rise_factor[u]}))
            return false;
    }
    if (!read_real_array(in, r, st.solid_body_force.data(), 3)) return false;
    if (!in.read_record(r) || !r.get(0, d.solid_particle_count) || !r.get(1, d.solid_failed_count) ||
        !r.get(2, d.solid_mass))
        return false;
    if (!in.read_record(r) || !r.get_all(0, d.solid_momentum.data(), 3) || !r.get(3, d.solid_kinetic_energy) ||
        !r.get(4, d.solid_internal_energy_total) || !r.get(5, d.solid_max_von_mises))
        return false;
    if (!read_reals(in, r, {&d.solid_min_plastic_strain, &d.solid_max_plastic_strain, &d.solid_min_damage,
                            &d.solid_max_damage, &d.solid_min_softening, &d.solid_max_softening}) ||
        !read_reals(in, r, {&d.solid_dt_cfl, &d.solid_dt_accel, &d.solid_dtcrit}))
        return false;
    if (extended) {
        if (!in.read_record(r) || !r.get(0, d.solid_reference_neighbor_min) || !r.get(1, d.solid_correction_det_min) ||
            !r.get(2, d.solid_correction_status_max))
            return false;
        if (!read_reals(in, r, {&d.solid_max_strain_rate, &d.solid_max_acceleration, &d.solid_internal_force_residual}))
            return false;
    }
    bool present = false;
    if (!in.read_record(r) || !r.get(0, present)) return false;
    if (!present) {
        sph_solid_deallocate_state();
        return true;
    }
    if (sph_solid_allocate_state() != 0) return false;
    for (std::size_t i = 0; i < npart_of(); ++i) {
        if (!read_real_array(in, r, &st.solid_stress[6 * i], 6) || !read_real_array(in, r, &st.solid_strain[6 * i], 6)) return false;
        if (!read_reals(in, r, {&st.solid_plastic_strain[i], &st.solid_plastic_strain_rate[i], &st.solid_temperature[i],
                                &st.solid_damage[i], &st.solid_softening[i], &st.solid_internal_energy[i],
                                &st.solid_reference_volume[i]}) ||
            !r.get(7, st.solid_failure_status[i]))
            return false;
        if (!read_real_array(in, r, &st.solid_deformation_gradient[9 * i], 9) ||
            !read_real_array(in, r, &st.solid_correction_matrix[9 * i], 9))
            return false;
        if (extended) {
            if (!in.read_record(r) || !r.get(0, st.solid_correction_determinant[i]) ||
                !r.get(1, st.solid_strain_rate_eq[i]) || !r.get(2, st.solid_reference_neighbor_count[i]) ||
                !r.get(3, st.solid_reference_degenerate[i]) || !r.get(4, st.solid_correction_status[i]))
                return false;
            if (!read_real_array(in, r, &st.solid_velocity_gradient[9 * i], 9) ||
                !read_real_array(in, r, &st.solid_strain_rate[6 * i], 6))
                return false;
        }
        if (!read_real_array(in, r, &st.solid_acc_internal[3 * i], 3)) return false;
    }
    return true;
}

}  // namespace

int sph_restart_read_solid_state(SphRestartReader& in, SphRestartVersion version) {
    return read_solid_records(in, version) ? sph_success : sph_restart_input_failure("invalid restart Solid state");
}

void sph_restart_seed_solid_state(SphRestartVersion version) {
    if (!sph_restart_at_least(version, SphRestartVersion::v0_5_1)) seed_solid_051_defaults();
    // The pairs follow the restored reference positions and smoothing lengths; the kept
    // force is found anew from the restored stresses.
    if (sph_solid_state_present()) sph_solid_invalidate_pairs();
}

int sph_restart_clear_solid_state() {
    sph_solid_clear_material_table();
    sph_solid_deallocate_state();
    return sph_solid_update_diagnostics();
}

}  // namespace quorrel
