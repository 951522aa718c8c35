#include "explosive/sph_explosive.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <string>
#include <vector>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_sums.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_helpers.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "gas/sph_gas_source.h"

namespace quorrel {

namespace {

// The SOURCE releases of one advance, product by product. Every active gas particle of a
// product receives the same sequence of rates, so they are summed per product in reacting
// order and added to each target once; the targets' rates start at zero (the advance
// clears the sources first), which makes the result the one of adding every release to
// every target in turn, to the bit, at a cost of O(particles + targets) instead of
// O(releases x particles). A particle that becomes gas of a product during the advance
// receives only the releases after it: it starts a group of its own with its own running
// sum (particles joining between the same two releases share one), since splitting an
// earlier group's sum would change its rounding.
struct TargetGroup {
    std::size_t begin = 0;  // its targets run to the next group's begin, or the end
    double mass_rate = 0.0, energy_rate = 0.0;
    std::array<double, 3> momentum_rate{};
    bool fresh = true;  // no release since it started
};

struct ProductTargets {
    int32_t product = 0;
    std::vector<int32_t> targets;  // active gas particles of the product
    std::vector<TargetGroup> groups;
};

struct SourceBatch {
    std::vector<ProductTargets> products;
    std::array<int, sph_explosive_max_materials + 1> entry_of{};  // product number -> entry + 1, 0 none
    bool open = false;
};
SourceBatch batch;

ProductTargets* entry_for(int32_t product) {
    if (product < 1 || product > sph_explosive_max_materials) return nullptr;
    const int e = batch.entry_of[static_cast<std::size_t>(product)];
    return e == 0 ? nullptr : &batch.products[static_cast<std::size_t>(e - 1)];
}

void flush(ProductTargets& p) {
    SphGasSource& g = sph_gas_source;
    for (std::size_t k = 0; k < p.groups.size(); ++k) {
        TargetGroup& group = p.groups[k];
        const std::size_t end = k + 1 < p.groups.size() ? p.groups[k + 1].begin : p.targets.size();
        if (!group.fresh)
            for (std::size_t j = group.begin; j < end; ++j) {
                const std::size_t u = static_cast<std::size_t>(p.targets[j]);
                g.gas_mass_source[u] += group.mass_rate;
                for (std::size_t c = 0; c < 3; ++c) g.gas_momentum_source[3 * u + c] += group.momentum_rate[c];
                g.gas_energy_source[u] += group.energy_rate;
            }
        group = TargetGroup{group.begin};
    }
}

void close_batch() {
    for (ProductTargets& p : batch.products) flush(p);
    batch.open = false;
}

// The products of the SOURCE materials and their active gas particles, in index order.
int open_batch() {
    if (int st = sph_gas_allocate_sources()) return st;
    const SphExplosiveState& s = sph_explosive_state;
    batch.entry_of.fill(0);
    std::size_t used = 0;
    try {
        for (int k = 0; k < s.explosive_material_count; ++k) {
            const SphExplosiveMaterial& slot = s.explosive_materials[static_cast<std::size_t>(k)];
            const int32_t p = slot.explosive_product_material_id;
            if (slot.explosive_conversion_mode != explosive_conversion_source || entry_for(p) != nullptr) continue;
            if (p < 1 || p > sph_explosive_max_materials) continue;
            if (used == batch.products.size()) batch.products.emplace_back();
            ProductTargets& e = batch.products[used++];
            e.product = p;
            e.targets.clear();
            e.groups.assign(1, TargetGroup{});
            batch.entry_of[static_cast<std::size_t>(p)] = static_cast<int>(used);
        }
        batch.products.resize(used);
        if (used > 0) {
            const SphDatabase& d = sph_database;
            for (int i = 0; i < d.npart; ++i) {
                const std::size_t u = static_cast<std::size_t>(i);
                if (d.particle_phase[u] != sph_phase_gas || d.particle_status[u] != sph_status_active) continue;
                if (ProductTargets* e = entry_for(d.material_id[u])) e->targets.push_back(i);
            }
        }
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate Explosive release targets");
    }
    batch.open = true;
    return sph_success;
}

// Table slot of each database material number (-1 none), looked up once per pass instead
// of once per particle.
std::array<int, sph_explosive_max_materials + 1> slot_by_material() {
    std::array<int, sph_explosive_max_materials + 1> slots;
    slots.fill(-1);
    const SphExplosiveState& s = sph_explosive_state;
    for (int k = s.explosive_material_count - 1; k >= 0; --k) {
        const int32_t m = s.explosive_materials[static_cast<std::size_t>(k)].explosive_material_id;
        if (m >= 1 && m <= sph_explosive_max_materials) slots[static_cast<std::size_t>(m)] = k;  // first slot wins
    }
    return slots;
}

int slot_of(const std::array<int, sph_explosive_max_materials + 1>& slots, int32_t m) {
    return m >= 1 && m <= sph_explosive_max_materials ? slots[static_cast<std::size_t>(m)] : -1;
}

// A failure inside the advance hands out what was accumulated before it.
int fail_after_flush(int st) {
    close_batch();
    return st;
}

// The density a converted particle takes: its product's *DENSITY, or, when the database
// no longer holds the material (a resumed run), the density its gas slot was built with.
double product_density(int32_t product) {
    const auto& mats = sph_database.materials;
    if (product >= 1 && product <= static_cast<int32_t>(mats.size()))
        return mats[static_cast<std::size_t>(product - 1)].material_density;
    const int slot = sph_gas_table_index_by_material_id(product);
    return slot < 0 ? 0.0 : sph_gas.gas_materials[static_cast<std::size_t>(slot)].gas_material_density_default;
}

}  // namespace

double sph_explosive_reaction_target(int index, int explosive_index, double time) {
    const SphExplosiveState& s = sph_explosive_state;
    const std::size_t u = static_cast<std::size_t>(index);
    const double detonation = s.explosive_detonation_time[u];
    if (time < detonation) return s.explosive_reaction_progress[u];
    const double burn = s.explosive_materials[static_cast<std::size_t>(explosive_index)].explosive_burn_time;
    if (!(burn > 0.0)) return 1.0;
    return std::clamp((time - detonation) / burn, 0.0, 1.0);
}

int sph_explosive_advance(double dt, double time) {
    SphExplosiveState& s = sph_explosive_state;
    if (!s.explosive_material_seen) return sph_success;
    if (!(dt > 0.0) || !sph_below_max_double(dt)) return sph_fail(sph_error_argument, "Explosive time step must be positive");
    if (int st = sph_explosive_allocate_state()) return st;
    // The sources of the previous step end here.
    if (int st = sph_gas_clear_sources()) return st;
    if (int st = open_batch()) return st;
    SphDatabase& d = sph_database;
    const auto slots = slot_by_material();
    for (int i = 0; i < d.npart; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (d.particle_phase[u] != sph_phase_explosive || d.particle_status[u] != sph_status_active) continue;
        const int k = slot_of(slots, d.material_id[u]);
        if (k < 0) return fail_after_flush(sph_fail(sph_error_input, "Explosive particle material has no control"));
        const SphExplosiveMaterial& slot = s.explosive_materials[static_cast<std::size_t>(k)];
        const double lambda0 = s.explosive_reaction_progress[u];
        const double lambda1 = std::min(1.0, std::max(lambda0, sph_explosive_reaction_target(i, k, time)));
        if (!(lambda1 - lambda0 > 0.0)) continue;
        const double dm = s.explosive_initial_mass[u] * (lambda1 - lambda0);
        const double de = dm * slot.explosive_energy_per_mass;
        const double dp[3] = {dm * d.v[3 * u], dm * d.v[3 * u + 1], dm * d.v[3 * u + 2]};
        s.explosive_reaction_progress[u] = lambda1;
        s.explosive_remaining_mass[u] = std::max(0.0, (1.0 - lambda1) * s.explosive_initial_mass[u]);
        s.explosive_released_mass[u] += dm;
        s.explosive_released_energy[u] += de;
        for (std::size_t c = 0; c < 3; ++c) s.explosive_released_momentum[3 * u + c] += dp[c];
        if (slot.explosive_conversion_mode == explosive_conversion_source) {
            if (int st = sph_explosive_apply_source_release(k, dm, dp, de, dt)) return st;
        } else if (lambda1 >= 1.0) {
            if (int st = sph_explosive_convert_particle_to_gas(i, k)) return fail_after_flush(st);
        }
    }
    close_batch();
    sph_explosive_update_release_balance();
    return sph_explosive_release_balance_in_range();
}

int sph_explosive_apply_source_release(int explosive_index, double release_mass, const double release_momentum[3],
                                       double release_energy, double dt) {
    // Outside an advance a release is handed out at once.
    const bool own_batch = !batch.open;
    if (own_batch)
        if (int st = open_batch()) return st;
    SphExplosiveState& s = sph_explosive_state;
    const int32_t p = s.explosive_materials[static_cast<std::size_t>(explosive_index)].explosive_product_material_id;
    ProductTargets* e = entry_for(p);
    const std::size_t n = e == nullptr ? 0 : e->targets.size();
    if (n == 0)
        return fail_after_flush(sph_fail(sph_error_input, "Explosive SOURCE conversion has no active product Gas target"));
    s.explosive_source_target_count += static_cast<int32_t>(n);
    s.explosive_source_mass_total += release_mass;
    s.explosive_source_energy_total += release_energy;
    for (std::size_t c = 0; c < 3; ++c) s.explosive_source_momentum_total[c] += release_momentum[c];
    const double share = static_cast<double>(n) * dt;
    const double rates[5] = {release_mass / share, release_energy / share, release_momentum[0] / share,
                             release_momentum[1] / share, release_momentum[2] / share};
    if (!std::all_of(rates, rates + 5, sph_below_max_double))
        return fail_after_flush(sph_fail(sph_error_argument, "Gas source value is not finite"));
    for (TargetGroup& group : e->groups) {
        group.mass_rate += rates[0];
        group.energy_rate += rates[1];
        for (std::size_t c = 0; c < 3; ++c) group.momentum_rate[c] += rates[2 + c];
        group.fresh = false;
    }
    if (own_batch) close_batch();
    return sph_success;
}

int sph_explosive_convert_particle_to_gas(int index, int explosive_index) {
    SphExplosiveState& s = sph_explosive_state;
    SphDatabase& d = sph_database;
    const SphExplosiveMaterial& slot = s.explosive_materials[static_cast<std::size_t>(explosive_index)];
    const int32_t p = slot.explosive_product_material_id;
    const bool in_database = p >= 1 && p <= static_cast<int32_t>(d.materials.size());
    if (p < 1 || p > sph_explosive_max_materials || (!in_database && sph_gas_table_index_by_material_id(p) < 0))
        return sph_fail(sph_error_input, "Explosive product material is invalid");
    const std::size_t u = static_cast<std::size_t>(index);
    if (d.particle_phase[u] != sph_phase_gas) ++s.explosive_converted_count;
    d.particle_phase[u] = sph_phase_gas;
    d.material_id[u] = p;
    const double density = product_density(p);
    if (density > 0.0) d.rho[u] = density;
    if (d.rho[u] > 0.0) d.volume[u] = d.mass[u] / d.rho[u];
    d.internal_energy[u] = slot.explosive_energy_per_mass;
    // Product gas falls like the gas set up at build.
    for (std::size_t c = 0; c < 3; ++c) d.acc_body[3 * u + c] = sph_gas.gas_body_force[c];
    if (int st = sph_gas_compute_pressure_for_material(p, d.rho[u], d.internal_energy[u], d.pressure[u])) return st;
    // New gas of a SOURCE product shares the releases from here on.
    if (batch.open && d.particle_status[u] == sph_status_active)
        if (ProductTargets* e = entry_for(p)) {
            try {
                if (!e->groups.back().fresh) e->groups.push_back(TargetGroup{e->targets.size()});
                e->targets.push_back(index);
            } catch (const std::exception&) {
                return sph_fail(sph_error_database, "failed to allocate Explosive release targets");
            }
        }
    return sph_success;
}

int sph_explosive_estimate_dt_limit(double& dt_reaction) {
    SphExplosiveState& s = sph_explosive_state;
    dt_reaction = 0.0;
    if (s.explosive_material_seen) {
        for (int k = 0; k < s.explosive_material_count; ++k) {
            const double burn = s.explosive_materials[static_cast<std::size_t>(k)].explosive_burn_time;
            if (burn > 0.0 && (dt_reaction == 0.0 || burn / 4.0 < dt_reaction)) dt_reaction = burn / 4.0;
        }
    }
    s.explosive_dt_reaction = dt_reaction;
    return sph_success;
}

void sph_explosive_update_release_balance() {
    SphExplosiveState& s = sph_explosive_state;
    s.explosive_release_mass_balance = {};
    s.explosive_release_energy_balance = {};
    s.explosive_release_momentum_balance = {};
    if (!sph_explosive_state_present()) return;
    const auto slots = slot_by_material();
    double expected = 0.0;
    for (std::size_t u = 0; u < static_cast<std::size_t>(sph_database.npart); ++u) {
        // Tracked: a detonation time was assigned, or the particle has reacted.
        if (s.explosive_ignition_status[u] != 1 && !(s.explosive_reaction_progress[u] > 0.0)) continue;
        s.explosive_release_mass_balance[0] += s.explosive_initial_mass[u];
        s.explosive_release_mass_balance[1] += s.explosive_released_mass[u];
        s.explosive_release_mass_balance[2] += s.explosive_remaining_mass[u];
        s.explosive_release_energy_balance[0] += s.explosive_released_energy[u];
        for (std::size_t c = 0; c < 3; ++c) s.explosive_release_momentum_balance[c] += s.explosive_released_momentum[3 * u + c];
        const int k = slot_of(slots, s.explosive_initial_material_id[u]);
        // A material without a slot adds no error.
        expected += k < 0 ? s.explosive_released_energy[u]
                          : s.explosive_released_mass[u] *
                                s.explosive_materials[static_cast<std::size_t>(k)].explosive_energy_per_mass;
    }
    auto& m = s.explosive_release_mass_balance;
    m[3] = m[0] - m[1] - m[2];
    s.explosive_release_energy_balance[1] = s.explosive_release_energy_balance[0] - expected;
}

int sph_explosive_release_balance_in_range() {
    SphExplosiveState& s = sph_explosive_state;
    auto& momentum = s.explosive_release_momentum_balance;
    if (!std::isfinite(momentum[0]) || !std::isfinite(momentum[1]) || !std::isfinite(momentum[2])) {
        // Released momenta of either sign: summed again where opposite terms cancel.
        SphScaledSum again[3];
        for (int i = 0; i < sph_database.npart; ++i)
            if (sph_explosive_is_tracked_particle(i))
                for (std::size_t c = 0; c < 3; ++c)
                    again[c].add(s.explosive_released_momentum[3 * static_cast<std::size_t>(i) + c]);
        for (std::size_t c = 0; c < 3; ++c)
            if (!std::isfinite(momentum[c])) momentum[c] = again[c].value();
    }
    // Masses and energies are sums of terms >= 0: an overflow is a total out of range.
    const struct {
        double value;
        const char* quantity;
    } totals[] = {{s.explosive_release_mass_balance[0], "total initial mass"},
                  {s.explosive_release_mass_balance[1], "total released mass"},
                  {s.explosive_release_mass_balance[2], "total remaining mass"},
                  {s.explosive_release_mass_balance[3], "release mass error"},
                  {s.explosive_release_energy_balance[0], "total released energy"},
                  {s.explosive_release_energy_balance[1], "release energy error"},
                  {momentum[0], "total released momentum"},
                  {momentum[1], "total released momentum"},
                  {momentum[2], "total released momentum"}};
    for (const auto& t : totals)
        if (!std::isfinite(t.value))
            return sph_fail(sph_error_argument,
                            std::string("Explosive diagnostics overflow: ") + t.quantity + " is not finite");
    return sph_success;
}

int sph_explosive_get_release_balance(double mass_values[4], double energy_values[2], double momentum_values[3]) {
    sph_explosive_update_release_balance();
    if (int st = sph_explosive_release_balance_in_range()) return st;
    const SphExplosiveState& s = sph_explosive_state;
    std::copy(s.explosive_release_mass_balance.begin(), s.explosive_release_mass_balance.end(), mass_values);
    std::copy(s.explosive_release_energy_balance.begin(), s.explosive_release_energy_balance.end(), energy_values);
    std::copy(s.explosive_release_momentum_balance.begin(), s.explosive_release_momentum_balance.end(),
              momentum_values);
    return sph_success;
}

int sph_explosive_get_summary(int32_t& particle_count, int32_t& reacted_count, double lambda_range[3],
                              double released_totals[5], double detonation_time_range[2]) {
    particle_count = reacted_count = 0;
    std::fill(lambda_range, lambda_range + 3, 0.0);
    std::fill(released_totals, released_totals + 5, 0.0);
    std::fill(detonation_time_range, detonation_time_range + 2, 0.0);
    if (!sph_explosive_state_present()) return sph_success;
    sph_explosive_update_release_balance();
    if (int st = sph_explosive_release_balance_in_range()) return st;
    const SphExplosiveState& s = sph_explosive_state;
    double lambda_sum = 0.0;
    for (int i = 0; i < sph_database.npart; ++i) {
        if (!sph_explosive_is_tracked_particle(i)) continue;
        const std::size_t u = static_cast<std::size_t>(i);
        const double lambda = s.explosive_reaction_progress[u];
        const double detonation = s.explosive_detonation_time[u];
        if (particle_count == 0) {
            lambda_range[0] = lambda_range[1] = lambda;
            detonation_time_range[0] = detonation_time_range[1] = detonation;
        } else {
            if (lambda < lambda_range[0]) lambda_range[0] = lambda;
            if (lambda > lambda_range[1]) lambda_range[1] = lambda;
            if (detonation < detonation_time_range[0]) detonation_time_range[0] = detonation;
            if (detonation > detonation_time_range[1]) detonation_time_range[1] = detonation;
        }
        ++particle_count;
        if (lambda > 0.0) ++reacted_count;
        lambda_sum += lambda;
        released_totals[0] += s.explosive_released_mass[u];
        released_totals[1] += s.explosive_released_energy[u];
        for (std::size_t c = 0; c < 3; ++c) released_totals[2 + c] += s.explosive_released_momentum[3 * u + c];
    }
    if (particle_count > 0) lambda_range[2] = lambda_sum / particle_count;
    // The same sums as the balance's, which has taken an overflowed momentum again.
    for (std::size_t c = 0; c < 3; ++c)
        if (!std::isfinite(released_totals[2 + c])) released_totals[2 + c] = s.explosive_release_momentum_balance[c];
    return sph_success;
}

int sph_explosive_set_default_ignition_point(const double ignition_x[3], double ignition_time) {
    const SphExplosiveState& s = sph_explosive_state;
    if (s.explosive_material_count <= 0) return sph_fail(sph_error_input, "no Explosive material is available");
    if (int st = sph_explosive_set_ignition(s.explosive_materials[0].explosive_material_name, ignition_x, ignition_time))
        return st;
    // An earlier arrival replaces a later one; progress already made stays.
    if (sph_explosive_state_present()) return sph_explosive_compute_detonation_times();
    return sph_success;
}

int sph_explosive_get_detonation_time_range(double& time_min, double& time_max) {
    time_min = time_max = 0.0;
    if (!sph_explosive_state_present()) return sph_success;
    const SphExplosiveState& s = sph_explosive_state;
    bool first = true;
    for (int i = 0; i < sph_database.npart; ++i) {
        if (!sph_explosive_is_active_particle(i)) continue;
        const double t = s.explosive_detonation_time[static_cast<std::size_t>(i)];
        time_min = first ? t : std::min(time_min, t);
        time_max = first ? t : std::max(time_max, t);
        first = false;
    }
    return sph_success;
}

void sph_explosive_release_scratch() { batch = SourceBatch{}; }

}  // namespace quorrel
