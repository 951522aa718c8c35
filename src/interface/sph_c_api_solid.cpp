// The solid queries of the C interface: argument checks, then one Fortran-callable entry.
// The summary's reals are packed into one array here; a rejected call (-1) has called
// nothing and left the error state alone.
#include <cstdint>

#include "interface/sph_api.h"
#include "quorrel.h"

namespace {

constexpr int quorrel_rejected = -1;
// Reals of the packed summary and per particle of the state table.
constexpr int quorrel_solid_summary_values = 16;
constexpr int32_t quorrel_solid_state_rows = 22;
constexpr int quorrel_solid_diagnostic_values = 3;

}  // namespace

extern "C" {

int quorrel_get_solid_summary(int* active_count, int* failed_count, double* values, int value_capacity) {
    if (!active_count || !failed_count || !values || value_capacity < quorrel_solid_summary_values)
        return quorrel_rejected;
    double mass = 0.0, max_von_mises = 0.0;
    double momentum[3] = {}, energy[2] = {}, plastic[2] = {}, damage[2] = {}, softening[2] = {}, dt_limits[3] = {};
    int32_t ierr = 0;
    sphft_get_solid_summary_(active_count, failed_count, &mass, momentum, energy, &max_von_mises, plastic, damage,
                             softening, dt_limits, &ierr);
    if (ierr != 0) return ierr;
    const double packed[quorrel_solid_summary_values] = {
        mass,         momentum[0],  momentum[1],  momentum[2],  energy[0],    energy[1],
        max_von_mises, plastic[0],  plastic[1],   damage[0],    damage[1],    softening[0],
        softening[1], dt_limits[0], dt_limits[1], dt_limits[2],
    };
    for (int k = 0; k < quorrel_solid_summary_values; ++k) values[k] = packed[k];
    return 0;
}

int quorrel_get_solid_particle_state(int max_particles, double* values, int value_capacity, int* failure_status,
                                     int* reference_neighbor_count, int* reference_degenerate,
                                     int* correction_status, int* count) {
    if (max_particles < 1) return quorrel_rejected;
    if (!values || !failure_status || !reference_neighbor_count || !reference_degenerate || !correction_status ||
        !count)
        return quorrel_rejected;
    // In 64 bits: 22 rows of a large particle capacity do not fit an int.
    if (static_cast<int64_t>(value_capacity) < static_cast<int64_t>(quorrel_solid_state_rows) * max_particles)
        return quorrel_rejected;
    const int32_t rows = quorrel_solid_state_rows;
    int32_t ierr = 0;
    sphft_get_solid_state_(&max_particles, &rows, values, failure_status, reference_neighbor_count,
                           reference_degenerate, correction_status, count, &ierr);
    return ierr;
}

int quorrel_get_solid_diagnostics(double* values, int value_capacity) {
    if (!values || value_capacity < quorrel_solid_diagnostic_values) return quorrel_rejected;
    int32_t ierr = 0;
    sphft_get_solid_diagnostics_(&value_capacity, values, &ierr);
    return ierr;
}

int quorrel_get_solid_reference_quality(int* reference_neighbor_min, int* correction_status, double* values,
                                        int value_capacity) {
    if (!reference_neighbor_min || !correction_status || !values || value_capacity < 1) return quorrel_rejected;
    int32_t ierr = 0;
    // The entry's order: neighbour minimum, determinant minimum, status maximum.
    sphft_get_solid_reference_quality_(reference_neighbor_min, values, correction_status, &ierr);
    return ierr;
}

}  // extern "C"
