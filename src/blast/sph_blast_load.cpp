#include "blast/sph_blast_load.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "database/sph_database.h"

namespace quorrel {

SphBlastLoad sph_blast_load;

namespace {

// A particle's loaded area is the face of the cube of its volume, A = V^(2/3); the
// literal is the double nearest 2/3.
constexpr double area_exponent = 0.6666666666666666;

// Particles whose solid or shell cache holds a force: clearing and applying the caches
// touch only them, so neither costs a pass over every particle.
struct LoadScratch {
    std::vector<int32_t> loaded;
    std::vector<uint8_t> is_loaded;
};
LoadScratch scratch;

bool caches_present() {
    const SphBlastLoad& b = sph_blast_load;
    const std::size_t n3 = 3 * static_cast<std::size_t>(std::max(sph_database.npart, 0));
    return sph_database.npart > 0 && b.blast_solid_external_force.size() == n3 &&
           b.blast_shell_external_force.size() == n3 && b.blast_shell_external_moment.size() == n3 &&
           scratch.is_loaded.size() == n3 / 3;
}

bool any_region_enabled() {
    for (int r = 0; r < sph_blast.blast_region_count; ++r)
        if (sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_enabled) return true;
    return false;
}

// A model without an enabled region can hold no force and needs no caches (its CSV
// columns read 0 either way).
int prepare_storage() {
    if (sph_database.npart <= 0 || caches_present() || !any_region_enabled()) return sph_success;
    sph_blast_load_deallocate();
    SphBlastLoad& b = sph_blast_load;
    const std::size_t n = static_cast<std::size_t>(sph_database.npart);
    try {
        b.blast_solid_external_force.assign(3 * n, 0.0);
        b.blast_shell_external_force.assign(3 * n, 0.0);
        b.blast_shell_external_moment.assign(3 * n, 0.0);
        scratch.is_loaded.assign(n, 0);
        scratch.loaded.reserve(n);
    } catch (const std::exception&) {
        sph_blast_load_deallocate();
        return sph_fail(sph_error_database, "failed to allocate Blast load cache");
    }
    return sph_success;
}

void zero_caches() {
    SphBlastLoad& b = sph_blast_load;
    for (int32_t i : scratch.loaded) {
        const std::size_t u = static_cast<std::size_t>(i);
        for (std::size_t k = 0; k < 3; ++k) b.blast_solid_external_force[3 * u + k] = b.blast_shell_external_force[3 * u + k] = 0.0;
        scratch.is_loaded[u] = 0;
    }
    scratch.loaded.clear();
}

bool finite3(const double v[3]) {
    return sph_within_half_max(v[0]) && sph_within_half_max(v[1]) && sph_within_half_max(v[2]);
}

void store_force(int r, int target, const double force[3]) {
    SphBlastLoad& b = sph_blast_load;
    const SphDatabase& d = sph_database;
    SphBlastLoadRegion& diag = b.blast_load_regions[static_cast<std::size_t>(r)];
    const std::size_t u = static_cast<std::size_t>(target);
    std::vector<double>* cache = nullptr;
    std::array<double, 3>* total = nullptr;
    if (d.particle_phase[u] == sph_phase_solid) {
        cache = &b.blast_solid_external_force;
        total = &diag.blast_solid_total_force;
    } else if (d.particle_phase[u] == sph_phase_shell) {
        cache = &b.blast_shell_external_force;
        total = &diag.blast_shell_total_force;
    } else {
        return;  // a water, gas or explosive target takes no force
    }
    for (std::size_t k = 0; k < 3; ++k) {
        (*cache)[3 * u + k] += force[k];
        (*total)[k] += force[k];
    }
    if (!scratch.is_loaded[u]) {
        scratch.is_loaded[u] = 1;
        scratch.loaded.push_back(target);
    }
    const double window = sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_time_window;
    ++diag.blast_load_target_count;
    double power = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        diag.blast_load_total_force[k] += force[k];
        diag.blast_load_impulse[k] += force[k] * window;
        power += d.v[3 * u + k] * force[k];
    }
    diag.blast_load_momentum_input = diag.blast_load_impulse;
    diag.blast_load_work += power * window;
    if (d.mass[u] > 0.0)
        diag.blast_load_max_acceleration = std::max(diag.blast_load_max_acceleration, sph_norm3(force) / d.mass[u]);
}

void apply_target(int r, int target, double pressure) {
    SphBlastLoadRegion& diag = sph_blast_load.blast_load_regions[static_cast<std::size_t>(r)];
    double n[3];
    sph_blast_load_direction(r, target, n);
    if (n[0] == 0.0 && n[1] == 0.0 && n[2] == 0.0) {
        ++diag.blast_load_zero_weight_count;
        return;
    }
    const double area = sph_blast_load_particle_area(target);
    if (area <= sph_blast_load_eps) {
        ++diag.blast_load_zero_weight_count;
        return;
    }
    const double force[3] = {pressure * area * n[0], pressure * area * n[1], pressure * area * n[2]};
    if (!finite3(force)) {
        ++diag.blast_load_nonfinite_count;
        return;
    }
    store_force(r, target, force);
    diag.blast_load_max_particle_force = std::max(diag.blast_load_max_particle_force, sph_norm3(force));
}

void project_region(int r) {
    const SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
    SphBlastLoadRegion& diag = sph_blast_load.blast_load_regions[static_cast<std::size_t>(r)];
    if (s.blast_source_count <= 0 || s.blast_target_count <= 0) return;
    const double pressure = sph_blast_load_pressure(r);
    if (!sph_within_half_max(pressure)) {
        ++diag.blast_load_nonfinite_count;
        return;
    }
    // The total area only guards the projection: each target takes P times its own area.
    const std::vector<int32_t>& targets = sph_blast_accepted_targets(r);
    double total_area = 0.0;
    for (int32_t t : targets) total_area += sph_blast_load_particle_area(t);
    if (total_area <= sph_blast_load_eps) {
        ++diag.blast_load_zero_weight_count;
        return;
    }
    for (int32_t t : targets) apply_target(r, t, pressure);
    diag.projected = true;
    if (diag.blast_load_target_count >= 1)
        diag.blast_load_energy_input += s.blast_source_energy * s.blast_explosive_progress_mean;
}

}  // namespace

void sph_blast_load_reset() {
    sph_blast_load_deallocate();
    sph_blast_load.blast_load_enabled = true;
    sph_blast_load_clear_diagnostics();
}

void sph_blast_load_initialize() { sph_blast_load_reset(); }

void sph_blast_load_set_enabled(bool enabled) { sph_blast_load.blast_load_enabled = enabled; }

void sph_blast_load_deallocate() {
    SphBlastLoad& b = sph_blast_load;
    b.blast_solid_external_force = {};
    b.blast_shell_external_force = {};
    b.blast_shell_external_moment = {};
    scratch = LoadScratch{};
}

void sph_blast_load_clear_diagnostics() { sph_blast_load.blast_load_regions.fill(SphBlastLoadRegion{}); }

int sph_blast_load_clear() {
    if (int st = prepare_storage()) return st;
    zero_caches();
    sph_blast_load_clear_diagnostics();
    return sph_success;
}

namespace {

// The values the region summaries report, after an evaluation: a sum or product of
// accepted values that left the double range fails the evaluation, naming it. A pressure
// that is not finite is counted and skipped by the projection instead, and the largest
// acceleration of a stored force on a particle of mass 1e-308 is meant to show as inf.
int values_in_range() {
    for (int r = 0; r < sph_blast.blast_region_count; ++r) {
        const SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
        const SphBlastLoadRegion& g = sph_blast_load.blast_load_regions[static_cast<std::size_t>(r)];
        const struct {
            const double* values;
            std::size_t count;
            const char* quantity;
        } reported[] = {{&s.blast_source_mass, 1, "source mass"},
                        {&s.blast_source_energy, 1, "source energy"},
                        {&s.blast_gas_volume, 1, "gas volume"},
                        {g.blast_solid_total_force.data(), 3, "solid total force"},
                        {g.blast_shell_total_force.data(), 3, "shell total force"},
                        {g.blast_load_total_force.data(), 3, "total force"},
                        {g.blast_load_impulse.data(), 3, "impulse"},
                        {&g.blast_load_work, 1, "work"},
                        {&g.blast_load_energy_input, 1, "energy input"},
                        {&g.blast_load_max_particle_force, 1, "largest particle force"}};
        for (const auto& v : reported)
            for (std::size_t k = 0; k < v.count; ++k)
                if (!std::isfinite(v.values[k])) {
                    const std::string& name = sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_name;
                    return sph_fail(sph_error_argument, "Blast diagnostics overflow: " + std::string(v.quantity) +
                                                            " of region " + std::string(sph_trim_right(name)) +
                                                            " is not finite");
                }
    }
    return sph_success;
}

}  // namespace

int sph_blast_load_compute_at(double time_value) {
    sph_blast_refresh_snapshot();
    if (int st = sph_blast_load_clear()) return st;
    if (sph_blast_load.blast_load_enabled)
        for (int r = 0; r < sph_blast.blast_region_count; ++r)
            if (sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_enabled &&
                sph_blast_load_in_time_window(r, time_value))
                project_region(r);
    return values_in_range();
}

int sph_blast_load_compute() {
    // A build: the target sets are read afresh.
    sph_blast_invalidate_membership();
    return sph_blast_load_compute_at(0.0);
}

int sph_blast_load_apply_to_acceleration() {
    const SphBlastLoad& b = sph_blast_load;
    if (!b.blast_load_enabled || !caches_present()) return sph_success;
    SphDatabase& d = sph_database;
    // Only the particles that hold a force can change.
    for (int32_t i : scratch.loaded) {
        const std::size_t u = static_cast<std::size_t>(i);
        const double m = d.mass[u];
        if (!(m > 0.0)) continue;
        const std::vector<double>* cache = d.particle_phase[u] == sph_phase_solid   ? &b.blast_solid_external_force
                                           : d.particle_phase[u] == sph_phase_shell ? &b.blast_shell_external_force
                                                                                    : nullptr;
        if (cache == nullptr) continue;
        const double contribution[3] = {(*cache)[3 * u] / m, (*cache)[3 * u + 1] / m, (*cache)[3 * u + 2] / m};
        if (!finite3(contribution)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.a[3 * u + k] += contribution[k];
        if (!(std::max({std::fabs(contribution[0]), std::fabs(contribution[1]), std::fabs(contribution[2])}) > 0.0))
            continue;
        const double magnitude = sph_norm3(contribution);
        for (int r = 0; r < sph_blast.blast_region_count; ++r)
            if (sph_blast_target_accepts(r, i)) {
                double& top = sph_blast_load.blast_load_regions[static_cast<std::size_t>(r)].blast_load_max_acceleration;
                top = std::max(top, magnitude);
            }
    }
    return sph_success;
}

int sph_blast_load_get_summary(int32_t region, int32_t counts[sph_blast_summary_count_size],
                               double values[sph_blast_summary_value_size]) {
    std::fill(counts, counts + sph_blast_summary_count_size, 0);
    std::fill(values, values + sph_blast_summary_value_size, 0.0);
    if (region < 1 || region > sph_blast_max_regions)
        return sph_fail(sph_error_argument, "Blast summary region is out of range");
    if (region > sph_blast.blast_region_count) return sph_success;
    const int r = region - 1;
    const SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
    const SphBlastLoadRegion& l = sph_blast_load.blast_load_regions[static_cast<std::size_t>(r)];
    const int32_t pairs = sph_blast_candidate_pair_count(r);
    const int32_t c[sph_blast_summary_count_size] = {s.blast_source_count,
                                                     s.blast_target_count,
                                                     pairs,
                                                     s.blast_skipped_source_count,
                                                     s.blast_skipped_target_count,
                                                     l.blast_load_target_count,
                                                     l.projected ? pairs : 0,
                                                     l.blast_load_zero_weight_count,
                                                     l.blast_load_nonfinite_count,
                                                     s.blast_water_count,
                                                     s.blast_gas_count,
                                                     s.blast_explosive_count};
    std::copy(c, c + sph_blast_summary_count_size, counts);
    double* v = values;
    for (double x : {s.blast_source_mass, s.blast_source_energy, s.blast_source_pressure_mean, s.blast_gas_volume,
                     s.blast_explosive_progress_mean, s.blast_water_pressure_min, s.blast_water_pressure_max})
        *v++ = x;
    for (const std::array<double, 3>* a : {&l.blast_solid_total_force, &l.blast_shell_total_force,
                                           &l.blast_load_total_force, &l.blast_load_impulse,
                                           &l.blast_load_momentum_input})
        v = std::copy(a->begin(), a->end(), v);
    for (double x : {l.blast_load_work, l.blast_load_energy_input, l.blast_load_max_particle_force,
                     l.blast_load_max_acceleration})
        *v++ = x;
    return sph_success;
}

double sph_blast_load_pressure(int r) {
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    const SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
    // With water in the sphere its pressure enters twice: as the source mean when water
    // is the source, and as the midrange.
    const double water = s.blast_water_count > 0 ? 0.5 * (s.blast_water_pressure_min + s.blast_water_pressure_max) : 0.0;
    return (s.blast_source_pressure_mean + water) * reg.blast_load_scale;
}

bool sph_blast_load_in_time_window(int r, double time_value) {
    const double window = sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_time_window;
    return window <= 0.0 || time_value <= window;
}

void sph_blast_load_direction(int r, int target, double direction[3]) {
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    const double* x = &sph_database.x[3 * static_cast<std::size_t>(target)];
    const double d[3] = {x[0] - reg.blast_center[0], x[1] - reg.blast_center[1], x[2] - reg.blast_center[2]};
    const double length = sph_norm3(d);
    for (int k = 0; k < 3; ++k) direction[k] = length <= sph_blast_load_eps ? 0.0 : d[k] / length;
}

double sph_blast_load_particle_area(int index) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return 0.0;
    const double v = d.volume[static_cast<std::size_t>(index)];
    return v > 0.0 ? std::pow(v, area_exponent) : 0.0;
}

}  // namespace quorrel
