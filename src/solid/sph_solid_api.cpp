#include "solid/sph_solid_api.h"

#include <algorithm>

#include "core/sph_error.h"
#include "database/sph_database.h"
#include "solid/sph_solid_dynamics.h"
#include "solid/sph_solid_state.h"

namespace quorrel {

namespace {

// Copies `components` values per particle into rows [row, row + components) when the
// array belongs to this model; otherwise the rows stay 0.
void copy_rows(const std::vector<double>& source, std::size_t components, std::size_t n, std::size_t row,
               std::size_t capacity, double* values) {
    if (source.size() != n * components) return;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < components; ++c) values[capacity * i + row + c] = source[components * i + c];
}

void copy_column(const std::vector<int32_t>& source, std::size_t n, int32_t* out) {
    if (source.size() != n) return;
    std::copy(source.begin(), source.end(), out);
}

}  // namespace

int sph_solid_get_reference_quality(int32_t& reference_neighbor_min_out, double& correction_det_min_out,
                                    int32_t& correction_status_out) {
    reference_neighbor_min_out = 0;
    correction_det_min_out = 0.0;
    correction_status_out = 0;
    if (int st = sph_solid_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    reference_neighbor_min_out = d.solid_reference_neighbor_min;
    correction_det_min_out = d.solid_correction_det_min;
    correction_status_out = d.solid_correction_status_max;
    return sph_success;
}

int sph_solid_get_diagnostics(int32_t value_capacity, double* values) {
    if (value_capacity < sph_solid_diagnostic_value_count)
        return sph_fail(sph_error_argument, "Solid diagnostic buffer is too small");
    std::fill(values, values + value_capacity, 0.0);
    if (int st = sph_solid_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    values[0] = d.solid_max_strain_rate;
    values[1] = d.solid_max_acceleration;
    values[2] = d.solid_internal_force_residual;
    return sph_success;
}

int sph_solid_get_state(int32_t max_particles, int32_t value_capacity, double* values, int32_t* failure_status_out,
                        int32_t* reference_neighbor_count_out, int32_t* reference_degenerate_out,
                        int32_t* correction_status_out, int32_t& count) {
    count = 0;
    if (value_capacity < sph_solid_state_value_count || max_particles <= 0)
        return sph_fail(sph_error_argument, "Solid state buffer is too small");
    const std::size_t capacity = static_cast<std::size_t>(value_capacity);
    const std::size_t columns = static_cast<std::size_t>(max_particles);
    std::fill(values, values + capacity * columns, 0.0);
    for (int32_t* column :
         {failure_status_out, reference_neighbor_count_out, reference_degenerate_out, correction_status_out})
        std::fill(column, column + columns, 0);
    const SphDatabase& d = sph_database;
    if (max_particles < d.npart) return sph_fail(sph_error_argument, "Solid state particle buffer is too small");
    count = d.npart;
    const std::size_t n = static_cast<std::size_t>(std::max(d.npart, 0));
    const SphSolidState& s = sph_solid_state;
    if (n == 0 || s.solid_stress.size() != 6 * n) return sph_success;
    copy_rows(s.solid_stress, 6, n, 0, capacity, values);
    copy_rows(s.solid_strain, 6, n, 6, capacity, values);
    copy_rows(s.solid_strain_rate, 6, n, 12, capacity, values);
    copy_rows(s.solid_plastic_strain, 1, n, 18, capacity, values);
    copy_rows(s.solid_damage, 1, n, 19, capacity, values);
    copy_rows(s.solid_softening, 1, n, 20, capacity, values);
    copy_rows(s.solid_strain_rate_eq, 1, n, 21, capacity, values);
    copy_column(s.solid_failure_status, n, failure_status_out);
    copy_column(s.solid_reference_neighbor_count, n, reference_neighbor_count_out);
    copy_column(s.solid_reference_degenerate, n, reference_degenerate_out);
    copy_column(s.solid_correction_status, n, correction_status_out);
    return sph_success;
}

}  // namespace quorrel
