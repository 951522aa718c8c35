// Motion and contact imports, and the four operations the explicit step calls to consume
// the buffers: forces into the accelerations, motion targets before and after the update,
// and the end of the step, which empties the buffers.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/sph_error.h"
#include "core/sph_sums.h"
#include "coupling_interface/sph_coupling_interface.h"
#include "coupling_interface/sph_coupling_internal.h"
#include "database/sph_database.h"

namespace quorrel {

using namespace coupling_detail;

namespace {

int diagnostics_overflow(const char* quantity) {
    return sph_fail(sph_error_argument, std::string("Coupling diagnostics overflow: ") + quantity + " is not finite");
}

// The largest distance of a motion target from where the particle was: beyond the range
// only when the distance itself is.
int take_target_error(double& largest, const double* from, const double* target, const char* quantity) {
    const double distance = sph_distance3(from, target);
    if (!std::isfinite(distance)) return diagnostics_overflow(quantity);
    largest = std::max(largest, distance);
    return sph_success;
}

}  // namespace

// ---- Motion ----

int sph_coupling_apply_motion_boundary(int region_index, int32_t export_index, int32_t target_kind, int32_t mode,
                                       const double target[3]) {
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    const std::string_view name = region_record(region_index).coupling_region_name;
    if (target_kind == sph_coupling_motion_velocity)
        return sph_coupling_import_motion_velocity(name, export_index, mode, target);
    if (target_kind == sph_coupling_motion_position)
        return sph_coupling_import_motion_position(name, export_index, mode, target);
    return sph_fail(sph_error_argument, "coupling motion target kind is invalid");
}

int sph_coupling_import_motion_velocity(std::string_view region_name, int32_t export_index, int32_t mode,
                                        const double target_velocity[3]) {
    int32_t index = -1;
    if (int st = sph_coupling_motion_index(region_name, export_index, index)) return st;
    return sph_coupling_set_motion(index, mode, sph_coupling_motion_velocity, target_velocity);
}

int sph_coupling_import_motion_position(std::string_view region_name, int32_t export_index, int32_t mode,
                                        const double target_position[3]) {
    int32_t index = -1;
    if (int st = sph_coupling_motion_index(region_name, export_index, index)) return st;
    return sph_coupling_set_motion(index, mode, sph_coupling_motion_position, target_position);
}

int sph_coupling_motion_index(std::string_view region_name, int32_t export_index, int32_t& node_index) {
    node_index = -1;
    int region = -1;
    if (int st = sph_coupling_find_region(region_name, region)) return st;
    if (int st = sph_coupling_require_enabled_region(region)) return st;
    const SphCouplingRegionRecord& rec = region_record(region);
    if (rec.coupling_region_export_mode == sph_coupling_export_facet)
        return sph_fail(sph_error_argument, "coupling motion requires particle export index");
    if (export_index < 0 || export_index >= static_cast<int32_t>(rec.coupling_region_particles.size()))
        return sph_fail(sph_error_argument, "coupling motion export index is invalid");
    node_index = rec.coupling_region_particles[static_cast<std::size_t>(export_index)];
    return sph_success;
}

int sph_coupling_set_motion(int32_t index, int32_t mode, int32_t target_kind, const double target[3]) {
    if (int st = sph_coupling_allocate_imports()) return st;
    SphCouplingInterface& c = sph_coupling;
    if (index < 0 || index >= sph_database.npart)
        return sph_fail(sph_error_argument, "coupling motion particle index is invalid");
    if (mode == sph_coupling_motion_penalty) return sph_fail(sph_error_argument, "coupling penalty motion mode is reserved");
    if (mode != sph_coupling_motion_direct) return sph_fail(sph_error_argument, "coupling motion mode is invalid");
    if (!sph_coupling_vector_is_finite(target)) return record_nonfinite("coupling motion target is not finite");
    if (sph_coupling_particle_should_skip(index)) {
        c.coupling_skipped_particle_count += 1;
        return sph_success;
    }
    const std::size_t i = static_cast<std::size_t>(index);
    if (target_kind == sph_coupling_motion_velocity)
        std::copy_n(target, 3, &c.coupling_motion_velocity[3 * i]);
    else if (target_kind == sph_coupling_motion_position)
        std::copy_n(target, 3, &c.coupling_motion_position[3 * i]);
    else
        return sph_fail(sph_error_argument, "coupling motion target kind is invalid");
    c.coupling_motion_flag[i] = target_kind;
    c.coupling_motion_mode[i] = mode;
    touch(i, touched_motion);
    return sph_success;
}

// ---- Contact ----

int sph_coupling_apply_contact_state(int region_index, int32_t contact_count, const int32_t* facet_ids,
                                     const double* normals, const double* gaps, const double* penetrations,
                                     const double* contact_pressures, int32_t coupling_step, int32_t id_base) {
    SphCouplingInterface& c = sph_coupling;
    if (int st = sph_coupling_prepare_import_epoch(coupling_step)) return st;
    if (!region_in_range(region_index)) return sph_fail(sph_error_argument, "coupling region index is invalid");
    if (int st = sph_coupling_require_enabled_region(region_index)) return st;
    if (region_record(region_index).coupling_region_contact_state_mode != sph_coupling_contact_state_import)
        return sph_fail(sph_error_argument, "coupling region does not import contact state");
    if (contact_count < 0) return sph_fail(sph_error_argument, "coupling contact count is invalid");
    sph_coupling_begin_facet_call();
    for (int32_t k = 0; k < contact_count; ++k) {
        const int32_t id = from_base(facet_ids[k], id_base);
        if (int st = sph_coupling_check_duplicate_facet(id)) return st;
        const double* normal = &normals[3 * static_cast<std::size_t>(k)];
        if (!sph_coupling_vector_is_finite(normal) || !sph_below_max_double(gaps[k]) ||
            !sph_below_max_double(penetrations[k]) || !sph_below_max_double(contact_pressures[k])) {
            c.coupling_nonfinite_contact_count += 1;
            return record_nonfinite("coupling contact state contains nonfinite values");
        }
        const double length = sph_coupling_vector_norm(normal);
        if (!(length > sph_coupling_degenerate_length))
            return record_invalid_weight("coupling contact normal is degenerate");
        double area = 0.0, facet_normal[3], center[3];
        if (int st = sph_coupling_get_facet_geometry(region_index, id, area, facet_normal, center)) return st;
        if (sph_coupling_particle_should_skip(id)) {
            c.coupling_skipped_particle_count += 1;
            c.coupling_skipped_contact_count += 1;
            continue;
        }
        const std::size_t p = static_cast<std::size_t>(id);
        c.coupling_contact_flag[p] = 1;
        for (std::size_t j = 0; j < 3; ++j) c.coupling_contact_normal[3 * p + j] = normal[j] / length;
        c.coupling_contact_gap[p] = gaps[k];
        c.coupling_contact_penetration[p] = penetrations[k];
        c.coupling_contact_pressure[p] = contact_pressures[k];
        touch(p, touched_contact);
        c.coupling_active_contact_count += 1;
        c.coupling_max_penetration = std::max(c.coupling_max_penetration, penetrations[k]);
    }
    return sph_success;
}

// ---- Step operations ----

namespace {

// The totals the force application adds to, kept in locals while it runs (the writes to
// the accelerations could alias the module's fields) and stored back however it ends,
// except after an overflow: then the module keeps what it held before the step.
struct AppliedTotals {
    SphCouplingVec force{}, moment{}, impulse{}, cumulative_impulse{}, momentum_exchange{};
    double work = 0.0, cumulative_work = 0.0, energy_exchange = 0.0, max_force = 0.0, max_acceleration = 0.0;
    bool applied = false, overflowed = false;
    AppliedTotals() {
        const SphCouplingInterface& c = sph_coupling;
        force = c.coupling_current_force;
        moment = c.coupling_current_moment;
        impulse = c.coupling_current_impulse;
        cumulative_impulse = c.coupling_cumulative_impulse;
        momentum_exchange = c.coupling_momentum_exchange;
        work = c.coupling_current_work;
        cumulative_work = c.coupling_cumulative_work;
        energy_exchange = c.coupling_energy_exchange;
        max_force = c.coupling_max_external_force;
        max_acceleration = c.coupling_max_acceleration;
    }
    AppliedTotals(const AppliedTotals&) = delete;
    AppliedTotals& operator=(const AppliedTotals&) = delete;
    ~AppliedTotals() {
        if (overflowed) return;
        SphCouplingInterface& c = sph_coupling;
        c.coupling_current_force = force;
        c.coupling_current_moment = moment;
        c.coupling_current_impulse = impulse;
        c.coupling_cumulative_impulse = cumulative_impulse;
        c.coupling_momentum_exchange = momentum_exchange;
        c.coupling_current_work = work;
        c.coupling_cumulative_work = cumulative_work;
        c.coupling_energy_exchange = energy_exchange;
        c.coupling_max_external_force = max_force;
        c.coupling_max_acceleration = max_acceleration;
        if (applied) {
            c.coupling_momentum = momentum_exchange;
            c.coupling_work = cumulative_work;
            c.coupling_energy = energy_exchange;
        }
    }
};

// The particles whose buffered force the application took, in its order.
template <typename Visit>
void for_each_applied(Visit&& visit) {
    for (int32_t index : sph_coupling.coupling_touched) {
        const std::size_t i = static_cast<std::size_t>(index);
        if (force_present(i) && !sph_coupling_particle_should_skip(index)) visit(i);
    }
}

bool all_finite(const SphCouplingVec& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// The sums of `t` that overflowed, taken again where opposite terms cancel: the step's
// own from 0, the cumulative ones from the module's values, which the step has not yet
// replaced. The terms are those of the plain sums; only the scale differs.
void sum_again(AppliedTotals& t, double dt) {
    const SphDatabase& d = sph_database;
    const SphCouplingInterface& start = sph_coupling;
    SphScaledSum force[3], moment[3], impulse[3], cumulative[3], exchange[3], work, cumulative_work, energy;
    for (std::size_t k = 0; k < 3; ++k) {
        cumulative[k].add(start.coupling_cumulative_impulse[k]);
        exchange[k].add(start.coupling_momentum_exchange[k]);
    }
    cumulative_work.add(start.coupling_cumulative_work);
    energy.add(start.coupling_energy_exchange);
    for_each_applied([&](std::size_t i) {
        const double* f = &sph_coupling.coupling_external_force[3 * i];
        const double* x = &d.x[3 * i];
        const double* v = &d.v[3 * i];
        for (std::size_t k = 0; k < 3; ++k) {
            const std::size_t k1 = (k + 1) % 3, k2 = (k + 2) % 3;
            force[k].add(f[k]);
            moment[k].add(x[k1], f[k2]);
            moment[k].add(-x[k2], f[k1]);
            for (SphScaledSum* sum : {&impulse[k], &cumulative[k], &exchange[k]}) sum->add(f[k], dt);
            for (SphScaledSum* sum : {&work, &cumulative_work, &energy}) sum->add(v[k] * dt, f[k]);
        }
    });
    const auto again = [](double& plain, const SphScaledSum& sum) {
        if (!std::isfinite(plain)) plain = sum.value();
    };
    for (std::size_t k = 0; k < 3; ++k) {
        again(t.force[k], force[k]);
        again(t.moment[k], moment[k]);
        again(t.impulse[k], impulse[k]);
        again(t.cumulative_impulse[k], cumulative[k]);
        again(t.momentum_exchange[k], exchange[k]);
    }
    again(t.work, work);
    again(t.cumulative_work, cumulative_work);
    again(t.energy_exchange, energy);
}

// After the plain sums of the application: a sum that overflowed is taken again; a total
// still out of range fails the step, naming it. Whatever summed plainly to a finite value
// keeps that value.
int applied_totals_in_range(AppliedTotals& t, double dt) {
    const auto sums_finite = [&t] {
        return all_finite(t.force) && all_finite(t.moment) && all_finite(t.impulse) &&
               all_finite(t.cumulative_impulse) && all_finite(t.momentum_exchange) && std::isfinite(t.work) &&
               std::isfinite(t.cumulative_work) && std::isfinite(t.energy_exchange);
    };
    if (!sums_finite()) sum_again(t, dt);
    const struct {
        bool finite;
        const char* quantity;
    } totals[] = {{all_finite(t.force), "step force"},
                  {all_finite(t.moment), "step moment"},
                  {all_finite(t.impulse), "step impulse"},
                  {all_finite(t.cumulative_impulse), "cumulative impulse"},
                  {all_finite(t.momentum_exchange), "momentum exchange"},
                  {std::isfinite(t.work), "step work"},
                  {std::isfinite(t.cumulative_work), "cumulative work"},
                  {std::isfinite(t.energy_exchange), "energy exchange"},
                  {std::isfinite(t.max_force), "largest force"},
                  {std::isfinite(t.max_acceleration), "largest acceleration"}};
    for (const auto& total : totals)
        if (!total.finite) {
            t.overflowed = true;
            return diagnostics_overflow(total.quantity);
        }
    return sph_success;
}

}  // namespace

int sph_coupling_apply_imports_to_acceleration(double dt) {
    SphCouplingInterface& c = sph_coupling;
    sph_coupling_reset_step_diagnostics();
    c.coupling_step_load_consumed = 0;
    if (!sph_below_max_double(dt) || dt < 0.0) return sph_fail(sph_error_argument, "coupling step dt is invalid");
    if (int st = buffers_for_reading()) return st;
    if (!buffers_present()) return sph_success;
    SphDatabase& d = sph_database;
    sort_touched();
    AppliedTotals t;
    for (int32_t index : c.coupling_touched) {
        const std::size_t i = static_cast<std::size_t>(index);
        if (!force_present(i)) continue;
        const double* f = &c.coupling_external_force[3 * i];
        if (!sph_coupling_vector_is_finite(f)) return record_nonfinite("coupling cached force is not finite");
        if (sph_coupling_particle_should_skip(index)) {
            c.coupling_skipped_particle_count += 1;
            continue;
        }
        const double m = d.mass[i];
        if (!(m > 0.0)) return record_nonpositive_mass();
        const double contribution[3] = {f[0] / m, f[1] / m, f[2] / m};
        if (!sph_coupling_vector_is_finite(contribution))
            return record_nonfinite("coupling acceleration contribution is not finite");
        for (std::size_t k = 0; k < 3; ++k) d.a[3 * i + k] += contribution[k];
        double moment[3];
        sph_coupling_cross(&d.x[3 * i], f, moment);
        for (std::size_t k = 0; k < 3; ++k) {
            t.force[k] += f[k];
            t.moment[k] += moment[k];
            const double impulse = f[k] * dt;
            t.impulse[k] += impulse;
            t.cumulative_impulse[k] += impulse;
            t.momentum_exchange[k] += impulse;
        }
        // Work with the velocity at the start of the step.
        const double* v = &d.v[3 * i];
        const double work = (v[0] * f[0] + v[1] * f[1] + v[2] * f[2]) * dt;
        t.work += work;
        t.cumulative_work += work;
        t.energy_exchange += work;
        t.applied = true;
        t.max_force = std::max(t.max_force, sph_coupling_vector_norm(f));
        t.max_acceleration = std::max(t.max_acceleration, sph_coupling_vector_norm(contribution));
    }
    return applied_totals_in_range(t, dt);
}

int sph_coupling_apply_motion_before_step() { return sph_coupling_apply_motion_targets(true); }

int sph_coupling_apply_motion_after_step() { return sph_coupling_apply_motion_targets(true); }

int sph_coupling_apply_motion_targets(bool track_error) {
    SphCouplingInterface& c = sph_coupling;
    if (int st = buffers_for_reading()) return st;
    if (!buffers_present()) return sph_success;
    SphDatabase& d = sph_database;
    sort_touched();
    for (int32_t index : c.coupling_touched) {
        const std::size_t i = static_cast<std::size_t>(index);
        const int32_t flag = c.coupling_motion_flag[i];
        if (flag == sph_coupling_motion_none) continue;
        if (c.coupling_motion_mode[i] != sph_coupling_motion_direct)
            return sph_fail(sph_error_argument, "coupling motion mode is invalid during apply");
        if (sph_coupling_particle_should_skip(index)) {
            c.coupling_skipped_particle_count += 1;
            continue;
        }
        if (flag == sph_coupling_motion_velocity) {
            const double* target = &c.coupling_motion_velocity[3 * i];
            if (!sph_coupling_vector_is_finite(target))
                return record_nonfinite("coupling velocity target is not finite during apply");
            if (track_error)
                if (int st = take_target_error(c.coupling_max_velocity_error, &d.v[3 * i], target, "velocity error"))
                    return st;
            std::copy_n(target, 3, &d.v[3 * i]);
        } else if (flag == sph_coupling_motion_position) {
            const double* target = &c.coupling_motion_position[3 * i];
            if (!sph_coupling_vector_is_finite(target))
                return record_nonfinite("coupling position target is not finite during apply");
            if (track_error)
                if (int st = take_target_error(c.coupling_max_position_error, &d.x[3 * i], target, "position error"))
                    return st;
            std::copy_n(target, 3, &d.x[3 * i]);
        } else {
            return sph_fail(sph_error_argument, "coupling motion target kind is invalid during apply");
        }
    }
    return sph_success;
}

int sph_coupling_finalize_step_imports() {
    SphCouplingInterface& c = sph_coupling;
    if (int st = buffers_for_reading()) return st;
    if (!buffers_present()) return sph_success;
    for (int32_t index : c.coupling_touched) {
        const std::size_t i = static_cast<std::size_t>(index);
        if (force_present(i) || c.coupling_motion_flag[i] > 0 || c.coupling_contact_flag[i] > 0) {
            c.coupling_step_load_consumed = 1;
            break;
        }
    }
    sph_coupling_zero_import_buffers();
    return sph_success;
}

}  // namespace quorrel
