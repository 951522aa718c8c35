// The module's state: the import buffers, the totals and counters, and their allocation,
// zeroing, clearing, release and reset; with the numeric helpers every coupling file uses.
#include "coupling_interface/sph_coupling_interface.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "core/sph_error.h"
#include "coupling_interface/sph_coupling_internal.h"
#include "database/sph_database.h"

namespace quorrel {

SphCouplingInterface sph_coupling;

namespace {

template <typename Visit>
void for_each_buffer(SphCouplingInterface& c, Visit&& visit) {
    visit(c.coupling_external_force, std::size_t{3});
    visit(c.coupling_motion_velocity, std::size_t{3});
    visit(c.coupling_motion_position, std::size_t{3});
    visit(c.coupling_motion_flag, std::size_t{1});
    visit(c.coupling_motion_mode, std::size_t{1});
    visit(c.coupling_contact_flag, std::size_t{1});
    visit(c.coupling_contact_normal, std::size_t{3});
    visit(c.coupling_contact_gap, std::size_t{1});
    visit(c.coupling_contact_penetration, std::size_t{1});
    visit(c.coupling_contact_pressure, std::size_t{1});
    // Bookkeeping sized with the buffers.
    visit(c.coupling_touched_mark, std::size_t{1});
    visit(c.coupling_facet_stamp, std::size_t{1});
}

void zero3(SphCouplingVec& v) { v = {0.0, 0.0, 0.0}; }

// The epoch after `epoch`: past the largest 32-bit value it wraps to the smallest, which
// no valid (non-negative) host step equals.
int32_t next_epoch(int32_t epoch) {
    return epoch == std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::min() : epoch + 1;
}

}  // namespace

namespace coupling_detail {

bool any_force_buffered() {
    for (int32_t p : sph_coupling.coupling_touched)
        if (force_present(static_cast<std::size_t>(p))) return true;
    return false;
}

bool any_positive(const int32_t* flags) {
    for (int32_t p : sph_coupling.coupling_touched)
        if (flags[p] > 0) return true;
    return false;
}

int buffers_for_reading() {
    if (npart_of() == 0 || buffers_present()) return sph_coupling_allocate_imports();
    return sph_success;
}

void sort_touched() {
    auto& t = sph_coupling.coupling_touched;
    if (!std::is_sorted(t.begin(), t.end())) std::sort(t.begin(), t.end());
}

int record_nonfinite(std::string_view message) {
    sph_coupling.coupling_nonfinite_import_count += 1;
    return sph_fail(sph_error_argument, std::string(message));
}

int record_invalid_weight(std::string_view message) {
    sph_coupling.coupling_invalid_weight_count += 1;
    return sph_fail(sph_error_argument, std::string(message));
}

int record_nonpositive_mass() {
    return sph_fail(sph_error_argument, "coupling force particle mass must be positive");
}

}  // namespace coupling_detail

using namespace coupling_detail;

// ---- Numeric helpers ----

bool sph_coupling_vector_is_degenerate(const double* v) {
    return !(sph_coupling_vector_norm(v) > sph_coupling_degenerate_length);
}

bool sph_coupling_particle_should_skip(int32_t index) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return true;
    const std::size_t i = static_cast<std::size_t>(index);
    const int32_t phase = d.particle_phase[i];
    return d.particle_status[i] != sph_status_active || phase == sph_phase_solid_failed || phase == 9;
}

bool sph_coupling_particle_state_is_finite(int32_t index) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return false;
    const std::size_t i = static_cast<std::size_t>(index);
    for (double value : {d.mass[i], d.volume[i], d.rho[i], d.pressure[i], d.internal_energy[i], d.temperature[i], d.h[i]})
        if (!sph_below_max_double(value)) return false;
    return sph_coupling_vector_is_finite(&d.x[3 * i]) && sph_coupling_vector_is_finite(&d.v[3 * i]) &&
           sph_coupling_vector_is_finite(&d.a[3 * i]);
}

// ---- State ----

int sph_coupling_allocate_imports() {
    SphCouplingInterface& c = sph_coupling;
    const std::size_t n = npart_of();
    if (n == 0) {
        sph_coupling_release_imports();
        return sph_success;
    }
    if (buffers_present()) {
        // Checked on every import and step call: plain comparisons.
        const bool all = c.coupling_external_force.size() == 3 * n && c.coupling_motion_velocity.size() == 3 * n &&
                         c.coupling_motion_position.size() == 3 * n && c.coupling_motion_flag.size() == n &&
                         c.coupling_motion_mode.size() == n && c.coupling_contact_flag.size() == n &&
                         c.coupling_contact_normal.size() == 3 * n && c.coupling_contact_gap.size() == n &&
                         c.coupling_contact_penetration.size() == n && c.coupling_contact_pressure.size() == n &&
                         c.coupling_touched_mark.size() == n && c.coupling_facet_stamp.size() == n;
        if (all) return sph_success;
        sph_coupling_release_imports();
    }
    try {
        for_each_buffer(c, [n](auto& values, std::size_t components) { values.assign(components * n, {}); });
        c.coupling_touched.clear();
        c.coupling_touched.reserve(std::min<std::size_t>(n, 4096));
    } catch (const std::exception&) {
        sph_coupling_release_imports();
        return sph_fail(sph_error_argument, "failed to allocate coupling imports");
    }
    c.coupling_facet_call = 0;
    sph_coupling_zero_import_buffers();
    return sph_success;
}

// Only the particles on the touched list hold data, so only they are zeroed.
void sph_coupling_zero_import_buffers() {
    SphCouplingInterface& c = sph_coupling;
    if (buffers_present()) {
        for (int32_t p : c.coupling_touched) {
            const std::size_t i = static_cast<std::size_t>(p);
            const uint8_t kinds = c.coupling_touched_mark[i];
            if (kinds & touched_force) std::fill_n(&c.coupling_external_force[3 * i], 3, 0.0);
            if (kinds & touched_motion) {
                std::fill_n(&c.coupling_motion_velocity[3 * i], 3, 0.0);
                std::fill_n(&c.coupling_motion_position[3 * i], 3, 0.0);
                c.coupling_motion_flag[i] = c.coupling_motion_mode[i] = 0;
            }
            if (kinds & touched_contact) {
                std::fill_n(&c.coupling_contact_normal[3 * i], 3, 0.0);
                c.coupling_contact_flag[i] = 0;
                c.coupling_contact_gap[i] = c.coupling_contact_penetration[i] = c.coupling_contact_pressure[i] = 0.0;
            }
            c.coupling_touched_mark[i] = 0;
        }
    }
    c.coupling_touched.clear();
    c.coupling_imported_force_count = 0;
    c.coupling_active_contact_count = 0;
    c.coupling_max_penetration = 0.0;
}

void sph_coupling_rebuild_touched() {
    SphCouplingInterface& c = sph_coupling;
    c.coupling_touched.clear();
    if (!buffers_present()) return;
    const auto any3 = [](const std::vector<double>& v, std::size_t i) {
        return v[3 * i] != 0.0 || v[3 * i + 1] != 0.0 || v[3 * i + 2] != 0.0;
    };
    for (std::size_t i = 0; i < npart_of(); ++i) {
        uint8_t kinds = 0;
        if (any3(c.coupling_external_force, i)) kinds |= touched_force;
        if (c.coupling_motion_flag[i] != 0 || c.coupling_motion_mode[i] != 0 || any3(c.coupling_motion_velocity, i) ||
            any3(c.coupling_motion_position, i))
            kinds |= touched_motion;
        if (c.coupling_contact_flag[i] != 0 || c.coupling_contact_gap[i] != 0.0 ||
            c.coupling_contact_penetration[i] != 0.0 || c.coupling_contact_pressure[i] != 0.0 ||
            any3(c.coupling_contact_normal, i))
            kinds |= touched_contact;
        c.coupling_touched_mark[i] = kinds;
        if (kinds != 0) c.coupling_touched.push_back(static_cast<int32_t>(i));
    }
}

void sph_coupling_reset_load_balance() {
    SphCouplingInterface& c = sph_coupling;
    zero3(c.coupling_facet_input_force);
    zero3(c.coupling_facet_distributed_force);
    zero3(c.coupling_facet_input_moment);
    zero3(c.coupling_facet_distributed_moment);
    c.coupling_facet_force_error = c.coupling_facet_moment_error = 0.0;
    c.coupling_max_pressure = c.coupling_max_traction = c.coupling_max_penetration = 0.0;
}

void sph_coupling_reset_step_diagnostics() {
    SphCouplingInterface& c = sph_coupling;
    zero3(c.coupling_current_force);
    zero3(c.coupling_current_moment);
    zero3(c.coupling_current_impulse);
    c.coupling_current_work = c.coupling_max_external_force = c.coupling_max_acceleration = 0.0;
    c.coupling_max_velocity_error = c.coupling_max_position_error = 0.0;
}

int sph_coupling_clear_imports() {
    SphCouplingInterface& c = sph_coupling;
    if (int st = buffers_for_reading()) return st;
    if (buffers_present()) {
        if (any_force_buffered() || any_positive(c.coupling_motion_flag.data()))
            c.coupling_stale_load_count += 1;
        else if (any_positive(c.coupling_contact_flag.data()))
            c.coupling_stale_load_count += 1;
    }
    sph_coupling_zero_import_buffers();
    sph_coupling_reset_load_balance();
    c.coupling_epoch = next_epoch(c.coupling_epoch);
    return sph_success;
}

void sph_coupling_release_imports() {
    SphCouplingInterface& c = sph_coupling;
    for_each_buffer(c, [](auto& values, std::size_t) { free_vector(values); });
    free_vector(c.coupling_touched);
    c.coupling_facet_call = 0;
    c.coupling_epoch = c.coupling_step_load_consumed = c.coupling_stale_load_count = 0;
    c.coupling_skipped_particle_count = c.coupling_nonfinite_import_count = c.coupling_imported_force_count = 0;
    c.coupling_repeated_import_count = c.coupling_duplicate_facet_count = c.coupling_invalid_weight_count = 0;
    c.coupling_active_contact_count = c.coupling_skipped_contact_count = c.coupling_nonfinite_contact_count = 0;
    c.coupling_bad_facet_area_count = 0;
    sph_coupling_reset_step_diagnostics();
    sph_coupling_reset_load_balance();
    zero3(c.coupling_cumulative_impulse);
    zero3(c.coupling_momentum_exchange);
    c.coupling_cumulative_work = c.coupling_energy_exchange = 0.0;
}

void sph_coupling_reset() {
    SphCouplingInterface& c = sph_coupling;
    c.coupling_work = c.coupling_energy = 0.0;
    zero3(c.coupling_momentum);
    c.coupling_step_load_consumed = 0;
    sph_coupling_release_imports();
    free_vector(c.coupling_region_bits);
    c.coupling_region_bits_revision = -1;
}

}  // namespace quorrel
