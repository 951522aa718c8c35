#include "solid/sph_solid_dynamics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_simd.h"
#include "core/sph_sums.h"
#include "database/sph_database.h"
#include "particle/pair_kernels/sph_pair_kernel.h"
#include "particle/sph_neighbor.h"
#include "solid/sph_solid.h"

namespace quorrel {

SphSolidDynamics sph_solid_dynamics;

namespace {

constexpr double largest_double = std::numeric_limits<double>::max();

inline bool active_at(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_solid && d.particle_status[i] == sph_status_active;
}

bool sized(const std::vector<double>& values, std::size_t n, std::size_t components) {
    return n > 0 && values.size() == n * components;
}

// Column-by-column 3 x 3 entry (k, l), 0-based.
inline double& at(double* m, int k, int l) { return m[k + 3 * l]; }
inline double at(const double* m, int k, int l) { return m[k + 3 * l]; }

int allocation_failure() { return sph_fail(sph_error_input, "failed to allocate Solid state"); }

// The vector kernels serve CPUs with AVX2 or AVX-512; the loops here are the reference.
bool vector_kernels() {
#ifdef QUORREL_X86_KERNELS
    // The kernels address records by 32-bit offsets.
    return sph_simd_level() != SphSimd::scalar && npart_of(sph_database) < UINT32_MAX / sph_solid_force_record;
#else
    return false;
#endif
}

int ensure_pairs() {
    if (sph_solid_dynamics.solid_pairs_current) return sph_success;
    return sph_solid_build_pairs();
}

}  // namespace

// ---- Helpers ----

int sph_solid_table_index(int32_t mat_number) { return sph_solid_table_index_by_material_id(mat_number); }

bool sph_solid_is_active(int32_t index) {
    const SphDatabase& d = sph_database;
    return index >= 0 && index < d.npart && active_at(d, static_cast<std::size_t>(index));
}

bool sph_solid_is_failed(int32_t index) {
    const SphDatabase& d = sph_database;
    if (index < 0 || index >= d.npart) return false;
    const std::size_t i = static_cast<std::size_t>(index);
    return d.particle_phase[i] == sph_phase_solid_failed || d.particle_status[i] == sph_status_failed;
}

void sph_solid_update_range(double value, double& min_value, double& max_value) {
    if (value < min_value) min_value = value;
    if (value > max_value) max_value = value;
}

void sph_solid_set_identity(double* matrix) {
    std::fill(matrix, matrix + 9, 0.0);
    matrix[0] = matrix[4] = matrix[8] = 1.0;
}

bool sph_solid_matrix_is_finite(const double* matrix) {
    return std::all_of(matrix, matrix + 9, sph_within_half_max);
}

namespace {

// A matrix counts as singular when its determinant is at most 1000 epsilon of its largest
// entry cubed: the rounding of the determinant's products and sums grows with that size,
// and the adjugate's entries are of the same size. The cube is taken as at least the
// smallest normal double, so that a determinant that underflowed is never trusted.
constexpr double singular_det_tolerance = 1000.0 * std::numeric_limits<double>::epsilon();
constexpr double smallest_normal = std::numeric_limits<double>::min();
static_assert(singular_det_tolerance == 2.220446049250313e-13 && smallest_normal == 2.2250738585072014e-308);

}  // namespace

double sph_solid_det3(const double* m) {
    return at(m, 0, 0) * (at(m, 1, 1) * at(m, 2, 2) - at(m, 1, 2) * at(m, 2, 1)) -
           at(m, 0, 1) * (at(m, 1, 0) * at(m, 2, 2) - at(m, 1, 2) * at(m, 2, 0)) +
           at(m, 0, 2) * (at(m, 1, 0) * at(m, 2, 1) - at(m, 1, 1) * at(m, 2, 0));
}

void sph_solid_invert_3x3(const double* m, double* inverse, double& det_value, bool& invertible) {
    std::fill(inverse, inverse + 9, 0.0);
    invertible = false;
    det_value = sph_solid_det3(m);
    if (!sph_solid_matrix_is_finite(m) || std::isnan(det_value)) return;
    double s = 0.0;
    for (int k = 0; k < 9; ++k) s = std::max(s, std::fabs(m[k]));
    if (!(s > 0.0)) return;
    if (std::fabs(det_value) <= singular_det_tolerance * std::max(smallest_normal, s * s * s)) return;
    const double det = det_value;
    double adj[9];
    at(adj, 0, 0) = at(m, 1, 1) * at(m, 2, 2) - at(m, 1, 2) * at(m, 2, 1);
    at(adj, 0, 1) = at(m, 0, 2) * at(m, 2, 1) - at(m, 0, 1) * at(m, 2, 2);
    at(adj, 0, 2) = at(m, 0, 1) * at(m, 1, 2) - at(m, 0, 2) * at(m, 1, 1);
    at(adj, 1, 0) = at(m, 1, 2) * at(m, 2, 0) - at(m, 1, 0) * at(m, 2, 2);
    at(adj, 1, 1) = at(m, 0, 0) * at(m, 2, 2) - at(m, 0, 2) * at(m, 2, 0);
    at(adj, 1, 2) = at(m, 0, 2) * at(m, 1, 0) - at(m, 0, 0) * at(m, 1, 2);
    at(adj, 2, 0) = at(m, 1, 0) * at(m, 2, 1) - at(m, 1, 1) * at(m, 2, 0);
    at(adj, 2, 1) = at(m, 0, 1) * at(m, 2, 0) - at(m, 0, 0) * at(m, 2, 1);
    at(adj, 2, 2) = at(m, 0, 0) * at(m, 1, 1) - at(m, 0, 1) * at(m, 1, 0);
    for (int k = 0; k < 9; ++k) inverse[k] = adj[k] / det;
    invertible = std::all_of(inverse, inverse + 9, [](double v) { return std::isfinite(v); });
}

// ---- Caches ----

void sph_solid_invalidate_pairs() {
    sph_solid_dynamics.solid_pairs_current = false;
    sph_solid_dynamics.solid_forces_current = false;
}

void sph_solid_invalidate_forces() { sph_solid_dynamics.solid_forces_current = false; }

void sph_solid_release_pairs() { sph_solid_dynamics = SphSolidDynamics{}; }

int sph_solid_build_pairs() {
    SphSolidDynamics& dyn = sph_solid_dynamics;
    const SphDatabase& d = sph_database;
    const std::size_t n = npart_of(d);
    dyn.solid_pairs_current = false;
    dyn.solid_forces_current = false;
    std::vector<uint8_t> takes_part;
    std::size_t active = 0;
    try {
        dyn.solid_pair_offset.assign(n + 1, 0);
        dyn.solid_pair_lower.assign(n, 0);
        dyn.solid_pair_list.clear();
        takes_part.assign(n, 0);
    } catch (const std::exception&) {
        sph_solid_release_pairs();
        return allocation_failure();
    }
    for (std::size_t i = 0; i < n; ++i) {
        takes_part[i] = active_at(d, i) ? 1 : 0;
        active += takes_part[i];
    }
    if (active > 0) {
        SphNeighborList found;
        SphNeighborPoints points;
        points.x = d.x0.data();
        points.h = d.h.data();
        points.count = d.npart;
        points.takes_part = takes_part.data();
        points.ids = d.particle_id_ext.data();
        if (int st = sph_neighbor_search(points, std::numeric_limits<int32_t>::max(), found)) {
            sph_solid_release_pairs();
            return st == sph_error_database ? allocation_failure() : st;
        }
        // Coincident particles are no pair; the partners go in ascending order, so the
        // sums over them run as a loop over all particles would.
        try {
            dyn.solid_pair_list.reserve(static_cast<std::size_t>(found.total_links));
        } catch (const std::exception&) {
            sph_solid_release_pairs();
            return allocation_failure();
        }
        const double* x0 = d.x0.data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t begin = dyn.solid_pair_list.size();
            if (takes_part[i]) {
                const int32_t* links = found.neighbor_list.data() + found.neighbor_offset[i];
                for (int32_t k = 0; k < found.neighbor_count[i]; ++k) {
                    const std::size_t j = static_cast<std::size_t>(links[k]);
                    const double rx = x0[3 * j] - x0[3 * i], ry = x0[3 * j + 1] - x0[3 * i + 1],
                                 rz = x0[3 * j + 2] - x0[3 * i + 2];
                    if (std::sqrt(rx * rx + ry * ry + rz * rz) > 0.0) dyn.solid_pair_list.push_back(links[k]);
                }
                std::sort(dyn.solid_pair_list.begin() + static_cast<std::ptrdiff_t>(begin), dyn.solid_pair_list.end());
                const auto first_above =
                    std::upper_bound(dyn.solid_pair_list.begin() + static_cast<std::ptrdiff_t>(begin),
                                     dyn.solid_pair_list.end(), static_cast<int32_t>(i));
                dyn.solid_pair_lower[i] = static_cast<int32_t>(
                    first_above - (dyn.solid_pair_list.begin() + static_cast<std::ptrdiff_t>(begin)));
            }
            dyn.solid_pair_offset[i + 1] = static_cast<int64_t>(dyn.solid_pair_list.size());
        }
    }
    dyn.solid_pairs_current = true;
    return sph_success;
}

// ---- Reference state ----

void sph_solid_clear_reference_state() {
    SphSolidState& s = sph_solid_state;
    for (auto* values : {&s.solid_reference_volume, &s.solid_deformation_gradient, &s.solid_correction_matrix,
                         &s.solid_correction_determinant})
        std::fill(values->begin(), values->end(), 0.0);
    for (auto* values : {&s.solid_reference_neighbor_count, &s.solid_reference_degenerate, &s.solid_correction_status})
        std::fill(values->begin(), values->end(), 0);
    sph_solid_invalidate_pairs();
}

int sph_solid_build_reference_state() {
    SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_correction_matrix, n, 9) || !sph_solid_state_present()) return sph_success;
    sph_solid_clear_reference_state();
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_at(d, i)) continue;
        // NaN and infinity are no usable length or volume either.
        if (!(d.h[i] > 0.0) || !std::isfinite(d.h[i]))
            return sph_fail(sph_error_argument, "Solid reference state requires positive h");
        double v0 = d.volume[i];
        if (!(v0 > 0.0) && d.rho[i] > 0.0) v0 = d.mass[i] / d.rho[i];
        if (!(v0 > 0.0) || !std::isfinite(v0))
            return sph_fail(sph_error_argument, "Solid reference state requires positive volume");
        s.solid_reference_volume[i] = v0;
        sph_solid_set_identity(&s.solid_deformation_gradient[9 * i]);
    }
    if (int st = sph_solid_build_pairs()) return st;
    for (std::size_t i = 0; i < n; ++i)
        if (active_at(d, i))
            if (int st = sph_solid_build_particle_reference(static_cast<int32_t>(i))) return st;
    return sph_success;
}

int sph_solid_build_particle_reference(int32_t index) {
    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const SphSolidDynamics& dyn = sph_solid_dynamics;
    if (!sph_solid_is_active(index)) return sph_success;
    if (int st = ensure_pairs()) return st;
    const std::size_t i = static_cast<std::size_t>(index);
    const double* x0 = d.x0.data();
    const double* v0 = s.solid_reference_volume.data();
    double m[9] = {};
    int32_t count = 0;
    for (int64_t p = dyn.solid_pair_offset[i]; p < dyn.solid_pair_offset[i + 1]; ++p) {
        const std::size_t j = static_cast<std::size_t>(dyn.solid_pair_list[static_cast<std::size_t>(p)]);
        if (!active_at(d, j)) continue;
        const double r[3] = {x0[3 * j] - x0[3 * i], x0[3 * j + 1] - x0[3 * i + 1], x0[3 * j + 2] - x0[3 * i + 2]};
        ++count;
        for (int l = 0; l < 3; ++l)
            for (int k = 0; k < 3; ++k) at(m, k, l) += v0[j] * r[k] * r[l];
    }
    s.solid_reference_neighbor_count[i] = count;
    // Two neighbours, not three, are still too few to span the space.
    if (count <= 2) {
        sph_solid_reference_fallback(index, sph_solid_correction_underconstrained, 0.0);
        return sph_success;
    }
    double inverse[9];
    double det = 0.0;
    bool invertible = false;
    sph_solid_invert_3x3(m, inverse, det, invertible);
    s.solid_correction_determinant[i] = det;
    if (!invertible) {
        sph_solid_reference_fallback(index, sph_solid_correction_singular, det);
        return sph_success;
    }
    std::copy(inverse, inverse + 9, &s.solid_correction_matrix[9 * i]);
    s.solid_correction_status[i] = sph_solid_correction_ok;
    s.solid_reference_degenerate[i] = 0;
    return sph_success;
}

void sph_solid_reference_fallback(int32_t index, int32_t status, double det_value) {
    SphSolidState& s = sph_solid_state;
    const std::size_t i = static_cast<std::size_t>(index);
    sph_solid_set_identity(&s.solid_correction_matrix[9 * i]);
    s.solid_correction_determinant[i] = det_value;
    s.solid_correction_status[i] = status;
    s.solid_reference_degenerate[i] = sph_solid_reference_degenerate;
}

// ---- Kinematics and material advance ----

namespace {

// L = G C of particle i, then its strain rate.
void store_gradient(std::size_t i, const double* g) {
    SphSolidState& s = sph_solid_state;
    const double* c = &s.solid_correction_matrix[9 * i];
    double* lgrad = &s.solid_velocity_gradient[9 * i];
    for (int l = 0; l < 3; ++l)
        for (int k = 0; k < 3; ++k)
            at(lgrad, k, l) = at(g, k, 0) * at(c, 0, l) + at(g, k, 1) * at(c, 1, l) + at(g, k, 2) * at(c, 2, l);
    sph_solid_store_strain_rate(static_cast<int32_t>(i));
}

// The pair records the vector kernels read: one per particle and a blank one after them,
// kept from step to step (the first pass allocates, later ones reuse).
int size_records(std::size_t n) {
    try {
        sph_solid_dynamics.solid_pair_records.resize((n + 1) * sph_solid_force_record + 8);
    } catch (const std::exception&) {
        return allocation_failure();
    }
    return sph_success;
}

// The records start on a cache line, so that a gradient record is one line.
double* records_base() {
    double* p = sph_solid_dynamics.solid_pair_records.data();
    const std::uintptr_t misalign = reinterpret_cast<std::uintptr_t>(p) % 64;
    return misalign == 0 ? p : p + (64 - misalign) / sizeof(double);
}

// Runs `kernel` over the particles that `takes` accepts, in groups of eight, each over
// its full partner list; `fill` sets a lane's own values and `store` takes its results.
template <class Takes, class Fill, class Kernel, class Store>
void solid_groups(Takes takes, Fill fill, Kernel kernel, Store store) {
    const SphSolidDynamics& dyn = sph_solid_dynamics;
    const std::size_t n = npart_of(sph_database);
    SphSolidLane lanes[sph_pair_max_lanes];
    std::size_t index[sph_pair_max_lanes];
    int waiting = 0;
    auto flush = [&]() {
        double out[9][sph_pair_max_lanes];
        kernel(lanes, waiting, out);
        for (int l = 0; l < waiting; ++l) {
            double values[9];
            for (int c = 0; c < 9; ++c) values[c] = out[c][l];
            store(index[l], values);
        }
        waiting = 0;
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (!takes(i)) continue;
        SphSolidLane& lane = lanes[waiting];
        const int64_t begin = dyn.solid_pair_offset[i];
        lane.partners = dyn.solid_pair_list.data() + begin;
        lane.count = static_cast<int32_t>(dyn.solid_pair_offset[i + 1] - begin);
        fill(i, lane);
        index[waiting++] = i;
        if (waiting == sph_pair_max_lanes) flush();
    }
    if (waiting > 0) flush();
}

int vector_velocity_gradient() {
    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    double* rec = records_base();
    for (std::size_t i = 0; i < n; ++i, rec += sph_solid_gradient_record) {
        std::copy_n(&d.x0[3 * i], 3, rec);
        rec[3] = s.solid_reference_volume[i];
        std::copy_n(&d.v[3 * i], 3, rec + 4);
        rec[7] = active_at(d, i) ? 1.0 : 0.0;
        // Particles without a summed gradient (not active, or fallen back to the identity).
        if (!active_at(d, i) || s.solid_correction_status[i] != sph_solid_correction_ok) {
            std::fill_n(&s.solid_velocity_gradient[9 * i], 9, 0.0);
            std::fill_n(&s.solid_strain_rate[6 * i], 6, 0.0);
            s.solid_strain_rate_eq[i] = 0.0;
        }
    }
    std::fill_n(rec, sph_solid_gradient_record, 0.0);  // the blank record
    const double* records = records_base();
    auto* const kernel =
        sph_simd_level() == SphSimd::avx512 ? sph_solid_gradient_group_avx512 : sph_solid_gradient_group_avx2;
    solid_groups(
        [&](std::size_t i) { return active_at(d, i) && s.solid_correction_status[i] == sph_solid_correction_ok; },
        [&](std::size_t i, SphSolidLane& lane) {
            std::copy_n(&d.x0[3 * i], 3, lane.x);
            std::copy_n(&d.v[3 * i], 3, lane.v);
        },
        [&](const SphSolidLane* lanes, int count, double out[9][sph_pair_max_lanes]) {
            kernel(records, n, lanes, count, out);
        },
        [](std::size_t i, const double* g) { store_gradient(i, g); });
    return sph_success;
}

int vector_internal_acceleration() {
    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    if (int st = size_records(n)) return st;
    double* rec = records_base();
    for (std::size_t i = 0; i < n; ++i, rec += sph_solid_force_record) {
        std::copy_n(&d.x0[3 * i], 3, rec);
        rec[3] = s.solid_reference_volume[i];
        std::copy_n(&s.solid_stress[6 * i], 6, rec + 4);
        rec[10] = s.solid_softening[i];
        rec[11] = active_at(d, i) ? 1.0 : 0.0;
    }
    std::fill_n(rec, sph_solid_force_record, 0.0);  // the blank record
    const double* records = records_base();
    auto* const kernel = sph_simd_level() == SphSimd::avx512 ? sph_solid_force_group_avx512 : sph_solid_force_group_avx2;
    solid_groups([&](std::size_t i) { return active_at(d, i); },
                 [&](std::size_t i, SphSolidLane& lane) {
                     std::copy_n(&d.x0[3 * i], 3, lane.x);
                     std::copy_n(&s.solid_stress[6 * i], 6, lane.stress);
                     lane.softening = s.solid_softening[i];
                     lane.volume = s.solid_reference_volume[i];
                     lane.mass = d.mass[i];
                 },
                 [&](const SphSolidLane* lanes, int count, double out[9][sph_pair_max_lanes]) {
                     kernel(records, n, lanes, count, out);
                 },
                 [&](std::size_t i, const double* a) { std::copy_n(a, 3, &s.solid_acc_internal[3 * i]); });
    return sph_success;
}

}  // namespace

int sph_solid_compute_velocity_gradient() {
    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_velocity_gradient, n, 9)) return sph_success;
    auto clear_all = [&]() {
        std::fill(s.solid_velocity_gradient.begin(), s.solid_velocity_gradient.end(), 0.0);
        std::fill(s.solid_strain_rate.begin(), s.solid_strain_rate.end(), 0.0);
        std::fill(s.solid_strain_rate_eq.begin(), s.solid_strain_rate_eq.end(), 0.0);
    };
    // The vector path writes every particle itself, zero where no gradient is summed.
    if (vector_kernels()) {
        int st = ensure_pairs();
        if (st == sph_success) st = size_records(n);
        if (st == sph_success) return vector_velocity_gradient();
        clear_all();
        return st;
    }
    clear_all();
    if (int st = ensure_pairs()) return st;
    const SphSolidDynamics& dyn = sph_solid_dynamics;
    const double* x0 = d.x0.data();
    const double* v = d.v.data();
    const double* v0 = s.solid_reference_volume.data();
    for (std::size_t i = 0; i < n; ++i) {
        // Particles that fell back to the identity keep L = 0.
        if (!active_at(d, i) || s.solid_correction_status[i] != sph_solid_correction_ok) continue;
        double g[9] = {};
        for (int64_t p = dyn.solid_pair_offset[i]; p < dyn.solid_pair_offset[i + 1]; ++p) {
            const std::size_t j = static_cast<std::size_t>(dyn.solid_pair_list[static_cast<std::size_t>(p)]);
            if (!active_at(d, j)) continue;
            const double r[3] = {x0[3 * j] - x0[3 * i], x0[3 * j + 1] - x0[3 * i + 1], x0[3 * j + 2] - x0[3 * i + 2]};
            const double dv[3] = {v[3 * j] - v[3 * i], v[3 * j + 1] - v[3 * i + 1], v[3 * j + 2] - v[3 * i + 2]};
            for (int l = 0; l < 3; ++l)
                for (int k = 0; k < 3; ++k) at(g, k, l) += v0[j] * dv[k] * r[l];
        }
        store_gradient(i, g);
    }
    return sph_success;
}

void sph_solid_store_strain_rate(int32_t index) {
    SphSolidState& s = sph_solid_state;
    const std::size_t i = static_cast<std::size_t>(index);
    const double* l = &s.solid_velocity_gradient[9 * i];
    double* rate = &s.solid_strain_rate[6 * i];
    rate[0] = at(l, 0, 0);
    rate[1] = at(l, 1, 1);
    rate[2] = at(l, 2, 2);
    rate[3] = 0.5 * (at(l, 0, 1) + at(l, 1, 0));
    rate[4] = 0.5 * (at(l, 1, 2) + at(l, 2, 1));
    rate[5] = 0.5 * (at(l, 0, 2) + at(l, 2, 0));
    const double mean = (rate[0] + rate[1] + rate[2]) / 3.0;
    const double d1 = rate[0] - mean, d2 = rate[1] - mean, d3 = rate[2] - mean;
    const double sum = d1 * d1 + d2 * d2 + d3 * d3 + 2.0 * (rate[3] * rate[3] + rate[4] * rate[4] + rate[5] * rate[5]);
    s.solid_strain_rate_eq[i] = std::sqrt(std::max(0.0, (2.0 / 3.0) * sum));
}

int sph_solid_compute_particle_strain_increment(int32_t index, double dt, SphSymTensor& strain_inc) {
    strain_inc.fill(0.0);
    const SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    if (index < 0 || index >= d.npart) return sph_fail(sph_error_argument, "Solid strain particle index is out of range");
    if (!(dt > 0.0)) return sph_fail(sph_error_argument, "Solid strain update requires positive dt");
    if (!sized(s.solid_strain_rate, npart_of(d), 6) || !sph_solid_is_active(index)) return sph_success;
    const double* rate = &s.solid_strain_rate[6 * static_cast<std::size_t>(index)];
    for (std::size_t c = 0; c < 6; ++c) strain_inc[c] = rate[c] * dt;
    return sph_success;
}

int sph_solid_update_deformation_gradient(int32_t index, double dt) {
    SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(sph_database);
    if (!sized(s.solid_deformation_gradient, n, 9) || !sized(s.solid_velocity_gradient, n, 9) ||
        !sph_solid_is_active(index))
        return sph_success;
    const std::size_t i = static_cast<std::size_t>(index);
    const double* l = &s.solid_velocity_gradient[9 * i];
    double* f = &s.solid_deformation_gradient[9 * i];
    double step[9];  // I + dt L
    for (int q = 0; q < 9; ++q) step[q] = dt * l[q];
    for (int k = 0; k < 3; ++k) at(step, k, k) += 1.0;
    double updated[9];
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k)
            at(updated, k, c) = at(step, k, 0) * at(f, 0, c) + at(step, k, 1) * at(f, 1, c) + at(step, k, 2) * at(f, 2, c);
    std::copy(updated, updated + 9, f);
    return sph_success;
}

int sph_solid_advance_material(double dt) {
    const SphDatabase& d = sph_database;
    if (!sized(sph_solid_state.solid_stress, npart_of(d), 6)) return sph_success;
    if (int st = sph_solid_compute_velocity_gradient()) return st;
    for (int32_t i = 0; i < d.npart; ++i) {
        if (!active_at(d, static_cast<std::size_t>(i))) continue;
        SphSymTensor strain_inc{};
        if (int st = sph_solid_compute_particle_strain_increment(i, dt, strain_inc)) return st;
        if (int st = sph_solid_update_deformation_gradient(i, dt)) return st;
        if (int st = sph_solid_update_particle_material(i, strain_inc, dt)) return st;
    }
    return sph_success;
}

// ---- Forces ----

int sph_solid_compute_internal_acceleration() {
    const SphDatabase& d = sph_database;
    SphSolidState& s = sph_solid_state;
    SphSolidDynamics& dyn = sph_solid_dynamics;
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_acc_internal, n, 3)) return sph_success;
    if (dyn.solid_forces_current) return sph_success;
    std::fill(s.solid_acc_internal.begin(), s.solid_acc_internal.end(), 0.0);
    if (int st = ensure_pairs()) return st;
    if (vector_kernels()) {
        if (int st = vector_internal_acceleration()) return st;
        dyn.solid_forces_current = true;
        return sph_success;
    }
    const double* x0 = d.x0.data();
    const double* mass = d.mass.data();
    const double* stress = s.solid_stress.data();
    const double* soft = s.solid_softening.data();
    const double* v0 = s.solid_reference_volume.data();
    double* acc = s.solid_acc_internal.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_at(d, i)) continue;
        const int64_t end = dyn.solid_pair_offset[i + 1];
        // Particle i's values in registers: the writes to acc could alias them otherwise.
        const double xi[3] = {x0[3 * i], x0[3 * i + 1], x0[3 * i + 2]};
        double si[6];
        std::copy_n(&stress[6 * i], 6, si);
        const double soft_i = soft[i], v0_i = v0[i], mass_i = mass[i];
        // Partners lie above i, so nothing else writes acc_i while its pairs run: it can
        // stay in registers, summed in the same order.
        double acc_i[3] = {acc[3 * i], acc[3 * i + 1], acc[3 * i + 2]};
        for (int64_t p = dyn.solid_pair_offset[i] + dyn.solid_pair_lower[i]; p < end; ++p) {
            const std::size_t j = static_cast<std::size_t>(dyn.solid_pair_list[static_cast<std::size_t>(p)]);
            if (!active_at(d, j)) continue;
            const double r[3] = {x0[3 * j] - xi[0], x0[3 * j + 1] - xi[1], x0[3 * j + 2] - xi[2]};
            const double dist = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
            const double e[3] = {r[0] / dist, r[1] / dist, r[2] / dist};
            double mean[6];
            for (std::size_t c = 0; c < 6; ++c) mean[c] = 0.5 * (si[c] + stress[6 * j + c]);
            const double soft_mean = 0.5 * (soft_i + soft[j]);
            double t[3];
            sph_solid_stress_times_vector(mean, e, t);
            // f = t V0_i V0_j s / d, no kernel: the reference volumes, the mean softening and 1/d.
            const double weight = v0_i * v0[j] * soft_mean / dist;
            const double f[3] = {t[0] * weight, t[1] * weight, t[2] * weight};
            if (mass_i > 0.0)
                for (std::size_t k = 0; k < 3; ++k) acc_i[k] += f[k] / mass_i;
            const double mass_j = mass[j];
            if (mass_j > 0.0)
                for (std::size_t k = 0; k < 3; ++k) acc[3 * j + k] -= f[k] / mass_j;
        }
        std::copy_n(acc_i, 3, &acc[3 * i]);
    }
    dyn.solid_forces_current = true;
    return sph_success;
}

int sph_solid_compute_acceleration() {
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    if (int st = sph_solid_compute_internal_acceleration()) return st;
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_acc_internal, n, 3)) return sph_success;
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_at(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.a[3 * i + k] = s.solid_acc_internal[3 * i + k] + s.solid_body_force[k];
    }
    return sph_success;
}

int sph_solid_set_body_force(const double force[3]) {
    // Half the largest double, as every solid value: an acceleration of 1e308 would give
    // an infinite largest acceleration.
    if (!sph_solid_vector_is_finite(force, 3))
        return sph_fail(sph_error_argument, "Solid body force must be finite");
    for (std::size_t k = 0; k < 3; ++k) sph_solid_state.solid_body_force[k] = force[k];
    return sph_success;
}

// ---- Step limits and diagnostics ----

int sph_solid_estimate_dt_limits(double& dt_cfl, double& dt_accel, double& dt_limit) {
    dt_cfl = dt_accel = largest_double;
    dt_limit = 0.0;
    const SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_stress, n, 6)) {
        sph_solid_store_dt(0.0, 0.0, 0.0);
        return sph_success;
    }
    if (int st = sph_solid_compute_acceleration()) return st;
    for (std::size_t i = 0; i < n; ++i) {
        if (!active_at(d, i)) continue;
        const int k = sph_solid_table_index(d.material_id[i]);
        if (k < 0) continue;
        const double c = s.solid_wave_speed[static_cast<std::size_t>(k)];
        const double h = d.h[i];
        if (!(h > 0.0) || !(c > 0.0)) return sph_fail(sph_error_argument, "invalid Solid state for dt estimate");
        // A limit of 0 would read as "no solid limit" and drop dt_accel with it: one that
        // rounds to zero fails the estimate instead.
        const double cfl = sph_speed_step(h, c, &d.v[3 * i]);
        if (cfl == 0.0) return sph_fail(sph_error_argument, "Solid CFL step limit rounds to zero");
        dt_cfl = std::min(dt_cfl, cfl);
        const double* ai = &d.a[3 * i];
        const double a = sph_norm3(ai);
        if (a > 0.0) {
            const double accel = sph_acceleration_step3(h, ai, a);
            if (accel == 0.0) return sph_fail(sph_error_argument, "Solid acceleration step limit rounds to zero");
            dt_accel = std::min(dt_accel, accel);
        }
    }
    if (dt_cfl == largest_double) dt_cfl = 0.0;
    if (dt_accel == largest_double) dt_accel = dt_cfl;
    dt_limit = dt_cfl;
    if (dt_accel > 0.0 && dt_accel < dt_cfl) dt_limit = dt_accel;
    sph_solid_store_dt(dt_cfl, dt_accel, dt_limit);
    return sph_success;
}

void sph_solid_store_dt(double dt_cfl, double dt_accel, double dt_limit) {
    SphDatabase& d = sph_database;
    d.solid_dt_cfl = dt_cfl;
    d.solid_dt_accel = dt_accel;
    d.solid_dtcrit = dt_limit;
}

namespace {

int diagnostics_overflow(const char* quantity) {
    return sph_fail(sph_error_argument, std::string("Solid diagnostics overflow: ") + quantity + " is not finite");
}

// After the plain sums of a refresh. The mass and the kinetic energy have positive terms:
// an overflowed total is not representable, unless only a speed's square overflowed, so
// the energy is summed again with each term as (m/2 |v|) |v|. Momentum, internal energy
// and the residual are summed again where opposite terms cancel. A total still out of
// range fails the refresh. Whatever summed plainly to a finite value keeps that value.
int solid_totals_in_range(double residual[3]) {
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t n = npart_of(d);
    const auto active = [](std::size_t i) { return active_at(sph_database, i); };
    if (!std::isfinite(d.solid_mass)) return diagnostics_overflow("total mass");
    if (!std::isfinite(d.solid_momentum[0]) || !std::isfinite(d.solid_momentum[1]) ||
        !std::isfinite(d.solid_momentum[2])) {
        double momentum[3];
        sph_scaled_momentum(n, d.mass.data(), d.v.data(), active, momentum);
        for (std::size_t k = 0; k < 3; ++k) {
            if (!std::isfinite(d.solid_momentum[k])) d.solid_momentum[k] = momentum[k];
            if (!std::isfinite(d.solid_momentum[k])) return diagnostics_overflow("total momentum");
        }
    }
    if (!std::isfinite(d.solid_kinetic_energy) || !std::isfinite(d.solid_internal_energy_total)) {
        double kinetic = 0.0;
        SphScaledSum internal;
        for (std::size_t i = 0; i < n; ++i) {
            if (!active(i)) continue;
            const double speed = sph_norm3(&d.v[3 * i]);
            kinetic += 0.5 * d.mass[i] * speed * speed;
            internal.add(d.mass[i], s.solid_internal_energy[i]);
        }
        if (!std::isfinite(d.solid_kinetic_energy)) d.solid_kinetic_energy = kinetic;
        if (!std::isfinite(d.solid_kinetic_energy)) return diagnostics_overflow("total kinetic energy");
        if (!std::isfinite(d.solid_internal_energy_total)) d.solid_internal_energy_total = internal.value();
        if (!std::isfinite(d.solid_internal_energy_total)) return diagnostics_overflow("total internal energy");
    }
    if (!std::isfinite(residual[0]) || !std::isfinite(residual[1]) || !std::isfinite(residual[2])) {
        double again[3];
        sph_scaled_momentum(n, d.mass.data(), s.solid_acc_internal.data(), active, again);
        for (std::size_t k = 0; k < 3; ++k)
            if (!std::isfinite(residual[k])) residual[k] = again[k];
    }
    d.solid_internal_force_residual = sph_norm3(residual);
    if (!std::isfinite(d.solid_internal_force_residual)) return diagnostics_overflow("internal force residual");
    return sph_success;
}

}  // namespace

int sph_solid_update_diagnostics() {
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const double kept[3] = {d.solid_dt_cfl, d.solid_dt_accel, d.solid_dtcrit};
    sph_db_clear_solid_diagnostics();
    const std::size_t n = npart_of(d);
    if (!sized(s.solid_stress, n, 6)) return sph_success;
    sph_solid_store_dt(kept[0], kept[1], kept[2]);
    double residual[3] = {0.0, 0.0, 0.0};
    bool seeded = false;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t index = static_cast<int32_t>(i);
        if (sph_solid_is_failed(index)) d.solid_failed_count += 1;
        if (!active_at(d, i)) continue;
        const double m = d.mass[i];
        const double* v = &d.v[3 * i];
        d.solid_particle_count += 1;
        d.solid_mass += m;
        for (std::size_t k = 0; k < 3; ++k) d.solid_momentum[k] += m * v[k];
        d.solid_kinetic_energy += 0.5 * m * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        d.solid_internal_energy_total += m * s.solid_internal_energy[i];
        d.solid_max_acceleration = std::max(d.solid_max_acceleration, sph_norm3(&d.a[3 * i]));
        d.solid_max_strain_rate = std::max(d.solid_max_strain_rate, s.solid_strain_rate_eq[i]);
        for (std::size_t k = 0; k < 3; ++k) residual[k] += m * s.solid_acc_internal[3 * i + k];
        SphSymTensor stress{};
        std::copy_n(&s.solid_stress[6 * i], 6, stress.begin());
        const double q = sph_solid_von_mises(stress);
        if (!seeded) {
            seeded = true;
            d.solid_max_von_mises = q;
            d.solid_min_plastic_strain = d.solid_max_plastic_strain = s.solid_plastic_strain[i];
            d.solid_min_damage = d.solid_max_damage = s.solid_damage[i];
            d.solid_min_softening = d.solid_max_softening = s.solid_softening[i];
            sph_solid_set_reference_diagnostics(index);
        } else {
            d.solid_max_von_mises = std::max(d.solid_max_von_mises, q);
            sph_solid_update_range(s.solid_plastic_strain[i], d.solid_min_plastic_strain, d.solid_max_plastic_strain);
            sph_solid_update_range(s.solid_damage[i], d.solid_min_damage, d.solid_max_damage);
            sph_solid_update_range(s.solid_softening[i], d.solid_min_softening, d.solid_max_softening);
            sph_solid_update_reference_diagnostics(index);
        }
    }
    return solid_totals_in_range(residual);
}

void sph_solid_set_reference_diagnostics(int32_t index) {
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t i = static_cast<std::size_t>(index);
    d.solid_reference_neighbor_min = s.solid_reference_neighbor_count[i];
    d.solid_correction_det_min = s.solid_correction_determinant[i];
    d.solid_correction_status_max = s.solid_correction_status[i];
}

void sph_solid_update_reference_diagnostics(int32_t index) {
    SphDatabase& d = sph_database;
    const SphSolidState& s = sph_solid_state;
    const std::size_t i = static_cast<std::size_t>(index);
    d.solid_reference_neighbor_min = std::min(d.solid_reference_neighbor_min, s.solid_reference_neighbor_count[i]);
    d.solid_correction_det_min = std::min(d.solid_correction_det_min, s.solid_correction_determinant[i]);
    d.solid_correction_status_max = std::max(d.solid_correction_status_max, s.solid_correction_status[i]);
}

// ---- Queries ----

int sph_solid_get_summary(int32_t& active_count, int32_t& failed_count, double& mass_out, double momentum_out[3],
                          double energy_out[2], double& max_von_mises_out, double plastic_range_out[2],
                          double damage_range_out[2], double softening_range_out[2], double dt_limits_out[3]) {
    active_count = failed_count = 0;
    mass_out = max_von_mises_out = 0.0;
    std::fill(momentum_out, momentum_out + 3, 0.0);
    std::fill(dt_limits_out, dt_limits_out + 3, 0.0);
    for (double* pair : {energy_out, plastic_range_out, damage_range_out, softening_range_out})
        std::fill(pair, pair + 2, 0.0);
    if (int st = sph_solid_update_diagnostics()) return st;
    // Accelerations recomputed now, not those of the last step.
    if (int st = sph_solid_estimate_dt_limits(dt_limits_out[0], dt_limits_out[1], dt_limits_out[2])) return st;
    const SphDatabase& d = sph_database;
    active_count = d.solid_particle_count;
    failed_count = d.solid_failed_count;
    mass_out = d.solid_mass;
    std::copy(d.solid_momentum.begin(), d.solid_momentum.end(), momentum_out);
    energy_out[0] = d.solid_kinetic_energy;
    energy_out[1] = d.solid_internal_energy_total;
    max_von_mises_out = d.solid_max_von_mises;
    plastic_range_out[0] = d.solid_min_plastic_strain;
    plastic_range_out[1] = d.solid_max_plastic_strain;
    damage_range_out[0] = d.solid_min_damage;
    damage_range_out[1] = d.solid_max_damage;
    softening_range_out[0] = d.solid_min_softening;
    softening_range_out[1] = d.solid_max_softening;
    return sph_success;
}

void sph_solid_get_counts(int32_t& active_count, int32_t& failed_count) {
    active_count = failed_count = 0;
    const SphDatabase& d = sph_database;
    for (int32_t i = 0; i < d.npart; ++i) {
        if (sph_solid_is_active(i)) ++active_count;
        if (sph_solid_is_failed(i)) ++failed_count;
    }
}

}  // namespace quorrel
