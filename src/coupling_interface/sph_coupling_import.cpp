// Facet proxies and load imports: the region and facet checks, the force entry point, the
// imports without an epoch (particle forces, facet loads), the epoch rule and the facet
// imports under it (resultants, tractions, pressures), and the facet force distribution
// with its load balance.
#include <algorithm>
#include <cmath>
#include <exception>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_interface/sph_coupling_internal.h"
#include "database/sph_database.h"
#include "shell/sph_shell_state.h"

namespace quorrel {

using namespace coupling_detail;

namespace {

void add_cross(SphCouplingVec& sum, const double* left, const double* right) {
    double c[3];
    sph_coupling_cross(left, right, c);
    for (std::size_t k = 0; k < 3; ++k) sum[k] += c[k];
}

double difference_norm(const SphCouplingVec& a, const SphCouplingVec& b) {
    const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    return sph_coupling_vector_norm(d);
}

// One bit per region and particle, rebuilt when the region lists changed.
int ensure_region_bits() {
    SphCouplingInterface& c = sph_coupling;
    const SphDatabase& d = sph_database;
    const std::size_t n = npart_of();
    if (c.coupling_region_bits_revision == d.coupling_region_revision && c.coupling_region_bits.size() == n)
        return sph_success;
    try {
        c.coupling_region_bits.assign(n, 0u);
    } catch (const std::exception&) {
        free_vector(c.coupling_region_bits);
        c.coupling_region_bits_revision = -1;
        return sph_fail(sph_error_argument, "failed to allocate coupling imports");
    }
    for (std::size_t r = 0; r < d.coupling_regions.size() && r < 32; ++r)
        for (int32_t p : d.coupling_regions[r].coupling_region_particles)
            if (p >= 0 && static_cast<std::size_t>(p) < n) c.coupling_region_bits[static_cast<std::size_t>(p)] |= 1u << r;
    c.coupling_region_bits_revision = d.coupling_region_revision;
    return sph_success;
}

}  // namespace

// ---- Region and facet checks ----

bool sph_coupling_region_holds(int region, int32_t index) {
    if (!region_in_range(region)) return false;
    // A member outside the model (a list that does not match the particles) has no bit:
    // look it up in the list itself.
    if (region >= 32 || index < 0 || index >= sph_database.npart) {
        const auto& members = sph_database.coupling_regions[static_cast<std::size_t>(region)].coupling_region_particles;
        return std::find(members.begin(), members.end(), index) != members.end();
    }
    if (ensure_region_bits() != 0) return false;
    return (sph_coupling.coupling_region_bits[static_cast<std::size_t>(index)] >> region) & 1u;
}

int sph_coupling_find_region(std::string_view region_name, int& region) {
    const auto& regions = sph_database.coupling_regions;
    for (std::size_t r = 0; r < regions.size(); ++r)
        if (sph_db_name_equal(regions[r].coupling_region_name, region_name)) {
            region = static_cast<int>(r);
            return sph_success;
        }
    region = -1;
    return sph_fail(sph_error_argument, "coupling region name is invalid");
}

int sph_coupling_require_enabled_region(int region) {
    if (!region_in_range(region)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (region_record(region).coupling_region_enabled == 0)
        return sph_fail(sph_error_argument, "coupling region is disabled");
    return sph_success;
}


namespace {

// The shell check, handing on the director and area it read.
int check_shell_facet_values(int32_t index, double director[3], double& area) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "coupling facet particle is invalid");
    if (d.particle_phase[static_cast<std::size_t>(index)] != sph_phase_shell)
        return sph_fail(sph_error_argument, "coupling facet proxy requires Shell particles");
    // Shell arrays of an earlier model count as absent.
    if (!sph_shell_facet_geometry(index, director, area))
        return sph_fail(sph_error_argument, "Shell facet proxy state is unavailable");
    if (!sph_coupling_vector_is_finite(director)) return record_nonfinite("Shell facet normal is not finite");
    if (!sph_below_max_double(area) || !(area > 0.0)) {
        sph_coupling.coupling_bad_facet_area_count += 1;
        return record_invalid_weight("Shell facet area is invalid");
    }
    return sph_success;
}

int require_facet_values(int region, int32_t facet_id, double director[3], double& area) {
    if (region_record(region).coupling_region_export_mode == sph_coupling_export_particle)
        return sph_fail(sph_error_argument, "coupling region does not export facet proxies");
    if (!sph_coupling_region_holds(region, facet_id)) return sph_fail(sph_error_argument, "coupling facet id is invalid");
    return check_shell_facet_values(facet_id, director, area);
}

}  // namespace

int sph_coupling_check_shell_facet(int32_t index) {
    double director[3], area = 0.0;
    return check_shell_facet_values(index, director, area);
}

int sph_coupling_require_facet(int region, int32_t facet_id) {
    double director[3], area = 0.0;
    return require_facet_values(region, facet_id, director, area);
}

int sph_coupling_get_facet_geometry(int region, int32_t facet_id, double& area, double normal[3], double center[3]) {
    area = 0.0;
    std::fill(normal, normal + 3, 0.0);
    std::fill(center, center + 3, 0.0);
    if (int st = sph_coupling_require_enabled_region(region)) return st;
    double director[3];
    if (int st = require_facet_values(region, facet_id, director, area)) return st;
    const double length = sph_coupling_vector_norm(director);
    if (!(length > sph_coupling_degenerate_length))
        return record_invalid_weight("coupling facet normal is degenerate");
    for (std::size_t k = 0; k < 3; ++k) normal[k] = director[k] / length;
    std::copy_n(&sph_database.x[3 * static_cast<std::size_t>(facet_id)], 3, center);
    if (!sph_coupling_vector_is_finite(center)) return record_nonfinite("coupling facet center is not finite");
    return sph_success;
}

int sph_coupling_count_shell_facets(int region, int32_t& count) {
    count = 0;
    const SphDatabase& d = sph_database;
    for (int32_t p : region_record(region).coupling_region_particles)
        if (p >= 0 && p < d.npart && d.particle_phase[static_cast<std::size_t>(p)] == sph_phase_shell) ++count;
    if (count == 0) return sph_fail(sph_error_argument, "coupling region has no Shell facet proxy");
    return sph_success;
}

void sph_coupling_begin_facet_call() {
    SphCouplingInterface& c = sph_coupling;
    if (++c.coupling_facet_call == 0) {
        // The stamp wrapped: forget every earlier call.
        std::fill(c.coupling_facet_stamp.begin(), c.coupling_facet_stamp.end(), 0u);
        c.coupling_facet_call = 1;
    }
}

int sph_coupling_check_duplicate_facet(int32_t facet_id) {
    SphCouplingInterface& c = sph_coupling;
    // An id outside the model cannot repeat a taken one: the facet check refuses it.
    if (facet_id < 0 || static_cast<std::size_t>(facet_id) >= c.coupling_facet_stamp.size()) return sph_success;
    uint32_t& stamp = c.coupling_facet_stamp[static_cast<std::size_t>(facet_id)];
    if (stamp == c.coupling_facet_call) {
        c.coupling_duplicate_facet_count += 1;
        return sph_fail(sph_error_argument, "coupling facet id is duplicated");
    }
    stamp = c.coupling_facet_call;
    return sph_success;
}

bool sph_coupling_distribution_is_valid(int32_t distribution_mode) {
    return distribution_mode >= sph_coupling_distribution_uniform && distribution_mode <= sph_coupling_distribution_mass;
}

// ---- Imports ----

namespace {

// A force on a particle, checked before anything changes: `skipped` when the particle
// takes no load, else `buffered` is what its buffer would hold afterwards.
struct PendingForce {
    std::size_t i = 0;
    bool skipped = false;
    double buffered[3] = {0.0, 0.0, 0.0};
};

int check_force(int32_t index, const double force[3], PendingForce& pending) {
    if (int st = sph_coupling_allocate_imports()) return st;
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "coupling force particle index is invalid");
    if (!sph_coupling_vector_is_finite(force)) return record_nonfinite("coupling force is not finite");
    pending.i = static_cast<std::size_t>(index);
    if (!(d.mass[pending.i] > 0.0)) return record_nonpositive_mass();
    pending.skipped = sph_coupling_particle_should_skip(index);
    if (pending.skipped) return sph_success;
    for (std::size_t k = 0; k < 3; ++k)
        pending.buffered[k] = sph_coupling.coupling_external_force[3 * pending.i + k] + force[k];
    // Two forces each below the largest double can sum beyond it.
    if (!sph_coupling_vector_is_finite(pending.buffered))
        return record_nonfinite("coupling buffered force is not finite");
    return sph_success;
}

void commit_force(const PendingForce& pending) {
    SphCouplingInterface& c = sph_coupling;
    if (pending.skipped) {
        c.coupling_skipped_particle_count += 1;
        return;
    }
    std::copy_n(pending.buffered, 3, &c.coupling_external_force[3 * pending.i]);
    touch(pending.i, touched_force);
    c.coupling_imported_force_count += 1;
}

}  // namespace

int sph_coupling_add_force_to_particle(int32_t index, const double force[3]) {
    PendingForce pending;
    if (int st = check_force(index, force, pending)) return st;
    commit_force(pending);
    return sph_success;
}

namespace {

void update_balance_errors() {
    SphCouplingInterface& c = sph_coupling;
    c.coupling_facet_force_error = difference_norm(c.coupling_facet_input_force, c.coupling_facet_distributed_force);
    c.coupling_facet_moment_error = difference_norm(c.coupling_facet_input_moment, c.coupling_facet_distributed_moment);
}

// The distribution with the facet's area already read (negative: read it here); the two
// balance errors are left to the caller.
int distribute(int region, int32_t facet_id, const double force[3], int32_t distribution_mode, const double center[3],
               double known_area) {
    SphCouplingInterface& c = sph_coupling;
    const SphDatabase& d = sph_database;
    if (!region_in_range(region)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (!sph_coupling_distribution_is_valid(distribution_mode))
        return record_invalid_weight("coupling distribution mode is invalid");
    if (!sph_coupling_vector_is_finite(force)) return record_nonfinite("coupling facet force is not finite");
    if (facet_id < 0 || facet_id >= d.npart) return sph_fail(sph_error_argument, "coupling facet particle is invalid");
    const std::size_t i = static_cast<std::size_t>(facet_id);
    double weight = 1.0;
    if (distribution_mode == sph_coupling_distribution_area) {
        weight = known_area;
        if (known_area < 0.0) {
            double director[3];
            weight = 0.0;
            (void)sph_shell_facet_geometry(facet_id, director, weight);
        }
    } else if (distribution_mode == sph_coupling_distribution_mass) {
        weight = d.mass[i];
    }
    // One particle carries the facet: the normalised weight is 1, it only has to be valid.
    if (!sph_below_max_double(weight) || !(weight > 0.0))
        return record_invalid_weight("coupling distribution weight is invalid");
    PendingForce pending;
    if (int st = check_force(facet_id, force, pending)) return st;
    // What the buffer gains, zero on a skipped proxy.
    double distributed[3] = {0.0, 0.0, 0.0};
    if (!pending.skipped)
        for (std::size_t k = 0; k < 3; ++k) distributed[k] = pending.buffered[k] - c.coupling_external_force[3 * i + k];
    SphCouplingVec input_force = c.coupling_facet_input_force, distributed_force = c.coupling_facet_distributed_force;
    SphCouplingVec input_moment = c.coupling_facet_input_moment;
    SphCouplingVec distributed_moment = c.coupling_facet_distributed_moment;
    for (std::size_t k = 0; k < 3; ++k) {
        input_force[k] += force[k];
        distributed_force[k] += distributed[k];
    }
    add_cross(input_moment, center, force);
    add_cross(distributed_moment, &d.x[3 * i], distributed);
    const struct {
        const SphCouplingVec& total;
        const char* message;
    } totals[] = {{input_force, "coupling facet input force total is not finite"},
                  {distributed_force, "coupling facet distributed force total is not finite"},
                  {input_moment, "coupling facet input moment total is not finite"},
                  {distributed_moment, "coupling facet distributed moment total is not finite"}};
    for (const auto& t : totals)
        if (!sph_coupling_vector_is_finite(t.total.data())) return record_nonfinite(t.message);
    commit_force(pending);
    c.coupling_facet_input_force = input_force;
    c.coupling_facet_distributed_force = distributed_force;
    c.coupling_facet_input_moment = input_moment;
    c.coupling_facet_distributed_moment = distributed_moment;
    return sph_success;
}

}  // namespace

namespace {

int import_force_in_region(int region, int32_t export_index, const double force[3]) {
    if (int st = sph_coupling_require_enabled_region(region)) return st;
    const SphCouplingRegionRecord& rec = region_record(region);
    if (rec.coupling_region_export_mode == sph_coupling_export_facet)
        return sph_fail(sph_error_argument, "coupling region has no particle export index");
    if (export_index < 0 || export_index >= static_cast<int32_t>(rec.coupling_region_particles.size()))
        return sph_fail(sph_error_argument, "coupling force export index is invalid");
    return sph_coupling_add_force_to_particle(rec.coupling_region_particles[static_cast<std::size_t>(export_index)],
                                              force);
}

int import_facet_load_in_region(int region, int32_t facet_id, const double load[3]) {
    if (int st = sph_coupling_require_enabled_region(region)) return st;
    if (int st = sph_coupling_require_facet(region, facet_id)) return st;
    return sph_coupling_add_force_to_particle(facet_id, load);
}

enum class FacetValue { resultant, traction, pressure };

struct FacetValueText {
    const char* count_message;
    const char* value_message;
};

FacetValueText facet_value_text(FacetValue kind) {
    switch (kind) {
        case FacetValue::resultant: return {"coupling resultant count is invalid", "coupling resultant is not finite"};
        case FacetValue::traction: return {"coupling traction count is invalid", "coupling traction is not finite"};
        case FacetValue::pressure: break;
    }
    return {"coupling pressure count is invalid", "coupling pressure is not finite"};
}

// The three imports under the epoch rule differ only in the value per facet and the force
// it puts on the facet.
int apply_facet_values(FacetValue kind, int region_index, int32_t load_count, const int32_t* facet_ids,
                       const double* values, int32_t distribution_mode, int32_t coupling_step, int32_t id_base) {
    SphCouplingInterface& c = sph_coupling;
    const FacetValueText text = facet_value_text(kind);
    if (int st = sph_coupling_prepare_import_epoch(coupling_step)) return st;
    if (!sph_coupling_distribution_is_valid(distribution_mode))
        return record_invalid_weight("coupling distribution mode is invalid");
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (load_count < 0) return sph_fail(sph_error_argument, text.count_message);
    sph_coupling_begin_facet_call();
    // The balance errors follow the sums; found once at the end of the call, as the last
    // distribution would leave them.
    struct ErrorsAtExit {
        ~ErrorsAtExit() { update_balance_errors(); }
    } errors_at_exit;
    for (int32_t k = 0; k < load_count; ++k) {
        const int32_t id = from_base(facet_ids[k], id_base);
        if (int st = sph_coupling_check_duplicate_facet(id)) return st;
        const double* value = kind == FacetValue::pressure ? &values[k] : &values[3 * static_cast<std::size_t>(k)];
        const bool finite = kind == FacetValue::pressure ? sph_below_max_double(*value)
                                                         : sph_coupling_vector_is_finite(value);
        if (!finite) return record_nonfinite(text.value_message);
        double area = 0.0, normal[3], center[3];
        if (int st = sph_coupling_get_facet_geometry(region_index, id, area, normal, center)) return st;
        double force[3];
        switch (kind) {
            case FacetValue::resultant:
                std::copy_n(value, 3, force);
                break;
            case FacetValue::traction:
                for (std::size_t j = 0; j < 3; ++j) force[j] = area * value[j];
                c.coupling_max_traction = std::max(c.coupling_max_traction, sph_coupling_vector_norm(value));
                break;
            case FacetValue::pressure:
                // A positive pressure pushes along the director.
                for (std::size_t j = 0; j < 3; ++j) force[j] = *value * area * normal[j];
                c.coupling_max_pressure = std::max(c.coupling_max_pressure, std::fabs(*value));
                break;
        }
        if (int st = distribute(region_index, id, force, distribution_mode, center, area)) return st;
    }
    return sph_success;
}

}  // namespace

int sph_coupling_apply_particle_forces(int region_index, int32_t force_count, const int32_t* export_indices,
                                       const double* forces, int32_t id_base) {
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (force_count < 0) return sph_fail(sph_error_argument, "coupling force count is invalid");
    // Region names are unique, so the region of the index is the one its name finds.
    for (int32_t k = 0; k < force_count; ++k)
        if (int st = import_force_in_region(region_index, from_base(export_indices[k], id_base),
                                            &forces[3 * static_cast<std::size_t>(k)]))
            return st;
    return sph_success;
}

int sph_coupling_import_force_by_region_index(std::string_view region_name, int32_t export_index, const double force[3]) {
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    return import_force_in_region(region, export_index, force);
}

int sph_coupling_apply_facet_loads(int region_index, int32_t load_count, const int32_t* facet_ids, const double* loads,
                                   int32_t id_base) {
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (load_count < 0) return sph_fail(sph_error_argument, "coupling facet load count is invalid");
    for (int32_t k = 0; k < load_count; ++k)
        if (int st = import_facet_load_in_region(region_index, from_base(facet_ids[k], id_base),
                                                 &loads[3 * static_cast<std::size_t>(k)]))
            return st;
    return sph_success;
}

int sph_coupling_import_region_facet_load(std::string_view region_name, int32_t facet_id, const double load[3]) {
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    return import_facet_load_in_region(region, facet_id, load);
}

int sph_coupling_prepare_import_epoch(int32_t coupling_step) {
    SphCouplingInterface& c = sph_coupling;
    if (coupling_step < 0) return sph_fail(sph_error_argument, "coupling step is invalid");
    if (int st = sph_coupling_allocate_imports()) return st;
    if (coupling_step != c.coupling_epoch) {
        sph_coupling_zero_import_buffers();
        sph_coupling_reset_load_balance();
        c.coupling_epoch = coupling_step;
        return sph_success;
    }
    // The same host step again: the new data go on top of what is buffered.
    if (buffers_present() && (any_force_buffered() || any_positive(c.coupling_contact_flag.data())))
        c.coupling_repeated_import_count += 1;
    return sph_success;
}

int sph_coupling_apply_facet_resultants(int region_index, int32_t load_count, const int32_t* facet_ids,
                                        const double* resultants, int32_t distribution_mode, int32_t coupling_step,
                                        int32_t id_base) {
    return apply_facet_values(FacetValue::resultant, region_index, load_count, facet_ids, resultants,
                              distribution_mode, coupling_step, id_base);
}

int sph_coupling_apply_facet_tractions(int region_index, int32_t load_count, const int32_t* facet_ids,
                                       const double* tractions, int32_t distribution_mode, int32_t coupling_step,
                                        int32_t id_base) {
    return apply_facet_values(FacetValue::traction, region_index, load_count, facet_ids, tractions, distribution_mode,
                              coupling_step, id_base);
}

int sph_coupling_apply_facet_pressures(int region_index, int32_t load_count, const int32_t* facet_ids,
                                       const double* pressures, int32_t distribution_mode, int32_t coupling_step,
                                        int32_t id_base) {
    return apply_facet_values(FacetValue::pressure, region_index, load_count, facet_ids, pressures, distribution_mode,
                              coupling_step, id_base);
}


int sph_coupling_distribute_facet_force(int region, int32_t facet_id, const double force[3], int32_t distribution_mode,
                                        const double center[3]) {
    const int st = distribute(region, facet_id, force, distribution_mode, center, -1.0);
    if (st == sph_success) update_balance_errors();
    return st;
}

void sph_coupling_get_load_balance(double input_force[3], double distributed_force[3], double& force_error,
                                   double input_moment[3], double distributed_moment[3], double& moment_error) {
    const SphCouplingInterface& c = sph_coupling;
    std::copy(c.coupling_facet_input_force.begin(), c.coupling_facet_input_force.end(), input_force);
    std::copy(c.coupling_facet_distributed_force.begin(), c.coupling_facet_distributed_force.end(), distributed_force);
    force_error = c.coupling_facet_force_error;
    std::copy(c.coupling_facet_input_moment.begin(), c.coupling_facet_input_moment.end(), input_moment);
    std::copy(c.coupling_facet_distributed_moment.begin(), c.coupling_facet_distributed_moment.end(), distributed_moment);
    moment_error = c.coupling_facet_moment_error;
}

}  // namespace quorrel
