// The summary CSV of an output step: "metric,value", then the general, solid, blast and
// coupling blocks.
#include <algorithm>
#include <charconv>
#include <string>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "blast/sph_blast_load.h"
#include "explosive/sph_explosive.h"
#include "gas/sph_gas.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "output/sph_output.h"
#include "output/sph_output_file.h"

namespace quorrel {

namespace {

void summary_int(SphOutputFile& file, std::string_view name, int64_t value) {
    file.put(name);
    file.put_char(',');
    file.put_int(value);
    file.end_line();
}

void summary_real(SphOutputFile& file, std::string_view name, double value) {
    file.put(name);
    file.put_char(',');
    file.put_real(value);
    file.end_line();
}

void summary_vector(SphOutputFile& file, std::string_view base, const double* v) {
    static constexpr std::string_view axes[3] = {"_x", "_y", "_z"};
    char name[128];
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t n = std::min(base.size(), sizeof name - 3);
        std::copy_n(base.data(), n, name);
        std::copy_n(axes[k].data(), 2, name + n);
        summary_real(file, std::string_view(name, n + 2), v[k]);
    }
}

// The combined water limit: the CFL limit, replaced by a smaller positive acceleration
// limit, then by a smaller positive viscous one. A CFL limit of 0 gives 0.
double water_dtcrit() {
    const SphDatabase& d = sph_database;
    double dt = d.water_dt_cfl;
    if (d.water_dt_accel > 0.0 && d.water_dt_accel < dt) dt = d.water_dt_accel;
    if (d.water_dt_viscous > 0.0 && d.water_dt_viscous < dt) dt = d.water_dt_viscous;
    return dt;
}

struct SummaryGather {
    double source_mass = 0.0, source_momentum[3] = {}, source_energy = 0.0;
    int32_t explosive_particles = 0, explosive_reacted = 0;
    double lambda_range[3] = {}, released_totals[5] = {}, detonation_range[2] = {};
    double mass_balance[4] = {}, energy_balance[2] = {}, momentum_balance[3] = {};
};

}  // namespace

std::size_t sph_output_blast_metric_name(std::string_view base, int32_t region, char* name, std::size_t capacity) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, region);
    const std::size_t nd = static_cast<std::size_t>(result.ptr - digits);
    const std::size_t nb = std::min(base.size(), capacity > nd + 1 ? capacity - nd - 1 : 0);
    std::copy_n(base.data(), nb, name);
    name[nb] = '_';
    std::copy_n(digits, nd, name + nb + 1);
    return nb + 1 + nd;
}

void sph_output_write_blast_real(SphOutputFile& file, std::string_view base, int32_t region, double value) {
    char name[128];
    const std::size_t n = sph_output_blast_metric_name(base, region, name, sizeof name);
    summary_real(file, std::string_view(name, n), value);
}

void sph_output_write_blast_vector(SphOutputFile& file, std::string_view base, int32_t region, const double* values) {
    static constexpr std::string_view axes[3] = {"_x", "_y", "_z"};
    char with_axis[128];
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t nb = std::min(base.size(), sizeof with_axis - 2);
        std::copy_n(base.data(), nb, with_axis);
        std::copy_n(axes[k].data(), 2, with_axis + nb);
        sph_output_write_blast_real(file, std::string_view(with_axis, nb + 2), region, values[k]);
    }
}

void sph_output_write_blast_reals(SphOutputFile& file, int32_t region, const int32_t counts[12], const double values[26]) {
    // The getter's counts: sources, targets, pairs, skipped sources, skipped targets, load
    // targets, load pairs, zero weight, non-finite, water, gas, explosive.
    static constexpr struct {
        std::string_view base;
        int slot;
    } integers[12] = {{"blast_source_count", 0},   {"blast_target_count", 1},    {"blast_pair_count", 2},
                      {"blast_water_count", 9},    {"blast_gas_count", 10},      {"blast_explosive_count", 11},
                      {"blast_skipped_sources", 3}, {"blast_skipped_targets", 4}, {"blast_load_targets", 5},
                      {"blast_load_pairs", 6},     {"blast_zero_weight", 7},     {"blast_nonfinite_loads", 8}};
    char name[128];
    for (const auto& row : integers) {
        const std::size_t n = sph_output_blast_metric_name(row.base, region, name, sizeof name);
        summary_int(file, std::string_view(name, n), counts[row.slot]);
    }
    static constexpr std::string_view scalars[7] = {
        "blast_source_mass",        "blast_source_energy",      "blast_source_pressure_mean",
        "blast_gas_volume",         "blast_explosive_progress_mean", "blast_water_pressure_min",
        "blast_water_pressure_max"};
    for (std::size_t k = 0; k < 7; ++k) sph_output_write_blast_real(file, scalars[k], region, values[k]);
    static constexpr std::string_view vectors[5] = {"blast_solid_force", "blast_shell_force", "blast_total_force",
                                                    "blast_impulse", "blast_momentum_input"};
    for (std::size_t k = 0; k < 5; ++k) sph_output_write_blast_vector(file, vectors[k], region, &values[7 + 3 * k]);
    static constexpr std::string_view tail[4] = {"blast_work", "blast_energy_input", "blast_max_particle_force",
                                                 "blast_max_acceleration"};
    for (std::size_t k = 0; k < 4; ++k) sph_output_write_blast_real(file, tail[k], region, values[22 + k]);
}

int sph_output_write_blast_summary(SphOutputFile& file) {
    const int32_t count = sph_blast.blast_region_count;
    summary_int(file, "blast_regions", count);
    for (int32_t region = 1; region <= count; ++region) {
        int32_t counts[sph_blast_summary_count_size];
        double values[sph_blast_summary_value_size];
        if (int st = sph_blast_load_get_summary(region, counts, values)) return st;
        sph_output_write_blast_reals(file, region, counts, values);
    }
    return sph_success;
}

void sph_output_write_solid_summary(SphOutputFile& file) {
    const SphDatabase& d = sph_database;
    summary_int(file, "solid_particles", d.solid_particle_count);
    summary_int(file, "solid_failed_particles", d.solid_failed_count);
    summary_real(file, "solid_mass", d.solid_mass);
    summary_vector(file, "solid_momentum", d.solid_momentum.data());
    summary_real(file, "solid_kinetic_energy", d.solid_kinetic_energy);
    summary_real(file, "solid_internal_energy", d.solid_internal_energy_total);
    summary_real(file, "solid_max_von_mises", d.solid_max_von_mises);
    summary_real(file, "solid_plastic_strain_min", d.solid_min_plastic_strain);
    summary_real(file, "solid_plastic_strain_max", d.solid_max_plastic_strain);
    summary_real(file, "solid_damage_min", d.solid_min_damage);
    summary_real(file, "solid_damage_max", d.solid_max_damage);
    summary_real(file, "solid_softening_min", d.solid_min_softening);
    summary_real(file, "solid_softening_max", d.solid_max_softening);
    summary_real(file, "solid_max_strain_rate", d.solid_max_strain_rate);
    summary_real(file, "solid_max_acceleration", d.solid_max_acceleration);
    summary_real(file, "solid_internal_force_residual", d.solid_internal_force_residual);
    summary_int(file, "solid_reference_neighbor_min", d.solid_reference_neighbor_min);
    summary_real(file, "solid_correction_det_min", d.solid_correction_det_min);
    summary_int(file, "solid_correction_status", d.solid_correction_status_max);
    summary_real(file, "solid_dt_cfl", d.solid_dt_cfl);
    summary_real(file, "solid_dt_accel", d.solid_dt_accel);
    summary_real(file, "solid_dtcrit", d.solid_dtcrit);
}

void sph_output_coupling_counts(int32_t& particle_total, int32_t& facet_total) {
    particle_total = facet_total = 0;
    const SphDatabase& d = sph_database;
    for (const SphCouplingRegionRecord& rec : d.coupling_regions) {
        if (rec.coupling_region_enabled == 0) continue;
        if (rec.coupling_region_export_mode != sph_coupling_export_particle)
            for (int32_t p : rec.coupling_region_particles)
                if (p >= 0 && p < d.npart && d.particle_phase[static_cast<std::size_t>(p)] == sph_phase_shell)
                    ++facet_total;
        if (rec.coupling_region_export_mode != sph_coupling_export_facet)
            particle_total += static_cast<int32_t>(rec.coupling_region_particles.size());
    }
}

void sph_output_write_coupling_summary(SphOutputFile& file) {
    const SphCouplingInterface& c = sph_coupling;
    int32_t particle_total = 0, facet_total = 0;
    sph_output_coupling_counts(particle_total, facet_total);
    summary_int(file, "coupling_regions", static_cast<int64_t>(sph_database.coupling_regions.size()));
    summary_int(file, "coupling_particles", particle_total);
    summary_int(file, "coupling_facets", facet_total);
    summary_vector(file, "coupling_force", c.coupling_current_force.data());
    summary_vector(file, "coupling_impulse", c.coupling_current_impulse.data());
    summary_real(file, "coupling_work", c.coupling_current_work);
    summary_real(file, "coupling_energy_exchange", c.coupling_energy_exchange);
    summary_int(file, "coupling_nonfinite_imports", c.coupling_nonfinite_import_count);
    summary_int(file, "coupling_stale_loads", c.coupling_stale_load_count);
    summary_int(file, "coupling_active_contacts", c.coupling_active_contact_count);
    summary_int(file, "coupling_skipped_contacts", c.coupling_skipped_contact_count);
    summary_real(file, "coupling_max_pressure", c.coupling_max_pressure);
    summary_real(file, "coupling_max_traction", c.coupling_max_traction);
    summary_real(file, "coupling_max_penetration", c.coupling_max_penetration);
    summary_real(file, "coupling_force_balance_error", c.coupling_facet_force_error);
    summary_real(file, "coupling_moment_balance_error", c.coupling_facet_moment_error);
}

int sph_output_write_summary(std::string_view filename, int32_t step, double time) {
    // Gathered before the file is opened: the release balance is recomputed either way.
    SummaryGather g;
    if (int st = sph_gas_get_source_summary(g.source_mass, g.source_momentum, g.source_energy)) return st;
    if (int st = sph_explosive_get_summary(g.explosive_particles, g.explosive_reacted, g.lambda_range,
                                           g.released_totals, g.detonation_range))
        return st;
    if (int st = sph_explosive_get_release_balance(g.mass_balance, g.energy_balance, g.momentum_balance)) return st;
    const double dtcrit = water_dtcrit();

    SphOutputFile file;
    if (int st = sph_output_open_file(file, filename, "failed to open summary output file")) return st;
    const SphDatabase& d = sph_database;
    const SphExplosiveState& e = sph_explosive_state;
    file.put("metric,value");
    file.end_line();
    summary_int(file, "step", step);
    summary_real(file, "time", time);
    summary_real(file, "water_mass", d.water_mass);
    summary_vector(file, "water_momentum", d.water_momentum.data());
    summary_real(file, "max_pressure", d.water_max_pressure);
    summary_real(file, "min_density", d.water_min_density);
    summary_real(file, "max_density", d.water_max_density);
    summary_real(file, "dtcrit", dtcrit);
    summary_int(file, "gas_particles", d.gas_particle_count);
    summary_real(file, "gas_mass", d.gas_mass);
    summary_real(file, "gas_volume", d.gas_volume);
    summary_vector(file, "gas_center", d.gas_center.data());
    summary_real(file, "gas_mean_pressure", d.gas_mean_pressure);
    summary_real(file, "gas_max_pressure", d.gas_max_pressure);
    summary_vector(file, "gas_momentum", d.gas_momentum.data());
    summary_real(file, "gas_min_density", d.gas_min_density);
    summary_real(file, "gas_max_density", d.gas_max_density);
    summary_real(file, "gas_equivalent_radius", d.gas_equivalent_radius);
    summary_real(file, "gas_radius_rate", d.gas_radius_rate);
    summary_real(file, "gas_dt_cfl", d.gas_dt_cfl);
    summary_real(file, "gas_dt_accel", d.gas_dt_accel);
    summary_real(file, "gas_dtcrit", d.gas_dtcrit);
    summary_real(file, "gas_source_mass", g.source_mass);
    summary_real(file, "gas_source_energy", g.source_energy);
    summary_vector(file, "gas_source_momentum", g.source_momentum);
    summary_int(file, "explosive_particles", g.explosive_particles);
    summary_int(file, "explosive_reacted_particles", g.explosive_reacted);
    summary_real(file, "explosive_lambda_min", g.lambda_range[0]);
    summary_real(file, "explosive_lambda_max", g.lambda_range[1]);
    summary_real(file, "explosive_lambda_mean", g.lambda_range[2]);
    summary_real(file, "explosive_released_mass", g.released_totals[0]);
    summary_real(file, "explosive_released_energy", g.released_totals[1]);
    summary_vector(file, "explosive_released_momentum", &g.released_totals[2]);
    summary_real(file, "explosive_detonation_time_min", g.detonation_range[0]);
    summary_real(file, "explosive_detonation_time_max", g.detonation_range[1]);
    summary_real(file, "explosive_initial_mass", g.mass_balance[0]);
    summary_real(file, "explosive_remaining_mass", g.mass_balance[2]);
    summary_real(file, "explosive_release_mass_error", g.mass_balance[3]);
    summary_real(file, "explosive_release_energy_error", g.energy_balance[1]);
    summary_int(file, "explosive_converted_particles", e.explosive_converted_count);
    summary_int(file, "explosive_source_particles", e.explosive_source_target_count);
    summary_real(file, "explosive_source_mass_total", e.explosive_source_mass_total);
    summary_real(file, "explosive_source_energy_total", e.explosive_source_energy_total);
    summary_vector(file, "explosive_source_momentum", e.explosive_source_momentum_total.data());
    sph_output_write_solid_summary(file);
    if (int st = sph_output_write_blast_summary(file)) return st;
    sph_output_write_coupling_summary(file);
    if (!file.close()) return sph_fail(sph_error_io, "failed to write summary output file");
    return sph_success;
}

}  // namespace quorrel
