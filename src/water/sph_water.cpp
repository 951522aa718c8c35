#include "water/sph_water.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "particle/sph_particle.h"

namespace quorrel {

SphWater sph_water;

namespace {

bool finite(double v) { return std::isfinite(v); }

inline bool active_water(const SphDatabase& d, std::size_t i) {
    return d.particle_phase[i] == sph_phase_water && d.particle_status[i] == sph_status_active;
}

}  // namespace

void sph_water_reset_state() { sph_water = SphWater{}; }

void sph_water_initialize() {
    sph_water_reset_state();
    sph_water.water_module_initialized = true;
}

void sph_water_reset() {
    sph_water_reset_state();
    sph_water.water_module_initialized = false;
}

bool sph_water_is_active_particle(int i) {
    const SphDatabase& d = sph_database;
    return i >= 0 && i < d.npart && active_water(d, static_cast<std::size_t>(i));
}

bool sph_water_is_material_particle(int i) {
    const SphDatabase& d = sph_database;
    if (i < 0 || i >= d.npart) return false;
    const int32_t m = d.material_id[static_cast<std::size_t>(i)];
    if (m < 1 || m > static_cast<int32_t>(d.materials.size())) return false;
    return sph_contains_upper(d.materials[static_cast<std::size_t>(m - 1)].material_type, "WATER");
}

void sph_water_note_material(std::string_view name, std::string_view material_type) {
    if (!sph_contains_upper(material_type, "WATER")) return;
    sph_water.water_material_seen = true;
    sph_water.water_material_name = sph_fixed(name, sph_name_len);
}

int sph_water_set_eos(std::string_view eos_type, std::string_view material_name, double rho0, double c0,
                      double gamma, double p0, double b_value, bool has_b) {
    if (sph_is_blank(eos_type)) return sph_fail(sph_error_input, "Water EOS TYPE is required");
    if (!sph_contains_upper(eos_type, "TAIT")) return sph_fail(sph_error_input, "Water EOS TYPE must be TAIT");
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Water EOS MATERIAL is required");
    if (!(rho0 > 0.0) || !(c0 > 0.0) || !(gamma > 0.0) || !finite(rho0) || !finite(c0) || !finite(gamma) ||
        !finite(p0))
        return sph_fail(sph_error_argument, "Water Tait EOS parameters must be positive");
    SphWater& w = sph_water;
    w.water_material_seen = true;
    w.water_material_name = sph_fixed(material_name, sph_name_len);
    w.water_rho0 = rho0;
    w.water_c0 = c0;
    w.water_gamma = gamma;
    w.water_p0 = p0;
    if (has_b && (!(b_value > 0.0) || !finite(b_value)))
        return sph_fail(sph_error_argument, "Water Tait EOS B must be positive");
    w.water_b = has_b ? b_value : rho0 * c0 * c0 / gamma;
    w.water_eos_defined = true;
    return sph_success;
}

int sph_water_set_viscosity(std::string_view visc_type, std::string_view material_name, double alpha, double beta,
                            double eta2) {
    if (sph_is_blank(visc_type)) return sph_fail(sph_error_input, "Water viscosity TYPE is required");
    if (!sph_contains_upper(visc_type, "MONAGHAN"))
        return sph_fail(sph_error_input, "Water viscosity TYPE must be MONAGHAN");
    if (sph_is_blank(material_name)) return sph_fail(sph_error_input, "Water viscosity MATERIAL is required");
    if (!(alpha >= 0.0) || !(beta >= 0.0) || !(eta2 > 0.0) || !finite(alpha) || !finite(beta) || !finite(eta2))
        return sph_fail(sph_error_argument, "Water viscosity parameters are invalid");
    SphWater& w = sph_water;
    w.water_material_name = sph_fixed(material_name, sph_name_len);
    w.water_visc_alpha = alpha;
    w.water_visc_beta = beta;
    w.water_visc_eta2 = eta2;
    w.water_viscosity_defined = true;
    return sph_success;
}

int sph_water_set_particle_control(double h_value, double mass_value, double volume_value) {
    if (!(h_value > 0.0) || !(mass_value > 0.0) || !(volume_value > 0.0) || !finite(h_value) ||
        !finite(mass_value) || !finite(volume_value))
        return sph_fail(sph_error_argument, "Water particle control values must be positive");
    SphWater& w = sph_water;
    w.water_default_h = h_value;
    w.water_default_mass = mass_value;
    w.water_default_volume = volume_value;
    w.water_particle_control_defined = true;
    return sph_success;
}

int sph_water_set_body_force(const double force[3]) {
    if (!finite(force[0]) || !finite(force[1]) || !finite(force[2]))
        return sph_fail(sph_error_argument, "Water body force must be finite");
    SphWater& w = sph_water;
    for (int k = 0; k < 3; ++k) w.water_body_force[static_cast<std::size_t>(k)] = force[k];
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * i + k] = w.water_body_force[k];
    }
    return sph_success;
}

int sph_water_validate_input() {
    const SphWater& w = sph_water;
    if (!w.water_material_seen) return sph_success;
    if (!w.water_eos_defined) return sph_fail(sph_error_input, "input is missing *QUORREL EOS for Water");
    if (!w.water_viscosity_defined) return sph_fail(sph_error_input, "input is missing *QUORREL VISCOSITY for Water");
    if (!w.water_particle_control_defined)
        return sph_fail(sph_error_input, "input is missing *QUORREL PARTICLE CONTROL for Water");
    const int m = sph_db_find_material(w.water_material_name);
    if (m < 0 || !(sph_database.materials[static_cast<std::size_t>(m)].material_density > 0.0))
        return sph_fail(sph_error_input, "input is missing *DENSITY for Water material");
    return sph_success;
}

int sph_water_apply_initial_conditions() {
    const SphWater& w = sph_water;
    if (!w.water_material_seen) return sph_success;
    if (int st = sph_water_validate_input()) return st;
    SphDatabase& d = sph_database;
    for (int i = 0; i < d.npart; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (d.particle_status[u] != sph_status_active || !sph_water_is_material_particle(i)) continue;
        d.particle_phase[u] = sph_phase_water;
        d.rho[u] = w.water_rho0;
        d.pressure[u] = w.water_p0;
        d.mass[u] = w.water_default_mass;
        d.volume[u] = w.water_default_volume;
        d.h[u] = w.water_default_h;
        for (std::size_t k = 0; k < 3; ++k) d.acc_body[3 * u + k] = w.water_body_force[k];
    }
    return sph_water_update_diagnostics();
}

int sph_water_tait_pressure(double rho_value, double& pressure_value) {
    pressure_value = 0.0;
    const SphWater& w = sph_water;
    if (!(rho_value > 0.0)) return sph_fail(sph_error_argument, "Water density must be positive");
    if (!(w.water_rho0 > 0.0) || !(w.water_gamma > 0.0))
        return sph_fail(sph_error_argument, "Water Tait EOS parameters are invalid");
    pressure_value = w.water_p0 + w.water_b * (std::pow(rho_value / w.water_rho0, w.water_gamma) - 1.0);
    return sph_success;
}

int sph_water_sound_speed(double& c_value) {
    c_value = sph_water.water_c0;
    if (!(sph_water.water_c0 > 0.0)) return sph_fail(sph_error_argument, "Water sound speed must be positive");
    return sph_success;
}

int sph_water_update_pressure() {
    SphDatabase& d = sph_database;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        if (int st = sph_water_tait_pressure(d.rho[i], d.pressure[i])) return st;
    }
    return sph_success;
}

namespace {

int check_h(double h) {
    if (!(h > 0.0) || !std::isfinite(h)) return sph_fail(sph_error_argument, "kernel smoothing length must be positive");
    return sph_success;
}

// Per-step scratch reused between steps (no allocation once sized).
struct WaterScratch {
    std::vector<int64_t> active;     // all bits set for active water, else 0 (a lane mask as is)
    std::vector<double> p_over_rho2; // p / rho^2 of active water
    std::vector<double> packed;      // per-particle records for the vector kernels
};
WaterScratch scratch;

void mark_active(const SphDatabase& d) {
    const std::size_t n = static_cast<std::size_t>(d.npart);
    scratch.active.resize(n);
    for (std::size_t i = 0; i < n; ++i) scratch.active[i] = active_water(d, i) ? -1 : 0;
}

// Wendland C2 gradient of particle i's kernel: grad W_ij = -c_i (1 - q/2)^3 r_ij,
// c_i = 5 sigma / h_i^2, which is (dW/dq / h) / r with the 1/r cancelled.
struct GradientOfI {
    double inv_h, c;
    explicit GradientOfI(double h) {
        inv_h = 1.0 / h;
        const double sigma = 21.0 / (50.26548245743669 * h * h * h);
        c = 5.0 * sigma / (h * h);
    }
    // Factor f with grad W = f r_ij; 0 at r = 0 and outside the support.
    double factor(double r) const {
        const double q = r * inv_h;
        if (!(q < 2.0) || !(r > 0.0)) return 0.0;
        const double t = 1.0 - 0.5 * q;
        return -c * (t * t * t);
    }
};

// Arrays one pass reads.
struct PairInput {
    const int64_t* act;
    const double* x;
    const double* v;
    const double* m;
    const double* rho;
    const double* h;
    const double* pr2;
    double alpha_c0, beta, eta2;
};

// The particle whose neighbour sums are formed, with its list.
struct Centre {
    std::size_t i;
    const int32_t* nb;
    int32_t cnt;
    GradientOfI grad;
    double xi, yi, zi, vxi, vyi, vzi, hi, rho_i, pri;
};

Centre make_centre(const PairInput& in, std::size_t i, const int32_t* nb, int32_t cnt) {
    return Centre{i,
                  nb,
                  cnt,
                  GradientOfI(in.h[i]),
                  in.x[3 * i],
                  in.x[3 * i + 1],
                  in.x[3 * i + 2],
                  in.v[3 * i],
                  in.v[3 * i + 1],
                  in.v[3 * i + 2],
                  in.h[i],
                  in.rho[i],
                  0.0};
}

double density_sum_scalar(const PairInput& in, const Centre& c) {
    const double* x = in.x;
    const double* v = in.v;
    double sum = 0.0;
    for (int32_t k = 0; k < c.cnt; ++k) {
        const std::size_t j = static_cast<std::size_t>(c.nb[k]);
        if (!in.act[j]) continue;
        const double rx = c.xi - x[3 * j], ry = c.yi - x[3 * j + 1], rz = c.zi - x[3 * j + 2];
        const double f = c.grad.factor(std::sqrt(rx * rx + ry * ry + rz * rz));
        const double vx = c.vxi - v[3 * j], vy = c.vyi - v[3 * j + 1], vz = c.vzi - v[3 * j + 2];
        sum += in.m[j] * (vx * (f * rx) + vy * (f * ry) + vz * (f * rz));
    }
    return sum;
}

// Sums of one particle: pressure (s[0..2]) and viscous (s[3..5]) accelerations, and with
// `want_density` the density rate (s[6], as density_sum_scalar). Returns non-zero on a
// failed check, with the message recorded.
template <bool want_pressure, bool want_viscosity, bool want_density>
int acceleration_sum_scalar(const PairInput& in, const Centre& c, double s_out[7]) {
    const double* x = in.x;
    const double* v = in.v;
    const double* rho = in.rho;
    double px = 0.0, py = 0.0, pz = 0.0, qx = 0.0, qy = 0.0, qz = 0.0, dsum = 0.0;
    for (int32_t k = 0; k < c.cnt; ++k) {
        const std::size_t j = static_cast<std::size_t>(c.nb[k]);
        if (!in.act[j]) continue;
        const double rx = c.xi - x[3 * j], ry = c.yi - x[3 * j + 1], rz = c.zi - x[3 * j + 2];
        const double r2 = rx * rx + ry * ry + rz * rz;
        const double f = c.grad.factor(std::sqrt(r2));
        if (want_density) {
            const double vx = c.vxi - v[3 * j], vy = c.vyi - v[3 * j + 1], vz = c.vzi - v[3 * j + 2];
            dsum += in.m[j] * (vx * (f * rx) + vy * (f * ry) + vz * (f * rz));
        }
        if (want_pressure) {
            if (!(rho[j] > 0.0)) return sph_fail(sph_error_argument, "Water neighbor density must be positive");
            const double s = in.m[j] * (in.pr2[j] + c.pri);
            px -= s * (f * rx);
            py -= s * (f * ry);
            pz -= s * (f * rz);
        }
        if (want_viscosity) {
            const double vr = (c.vxi - v[3 * j]) * rx + (c.vyi - v[3 * j + 1]) * ry + (c.vzi - v[3 * j + 2]) * rz;
            if (vr < 0.0) {
                const double hbar = 0.5 * (c.hi + in.h[j]);
                const double rhobar = 0.5 * (c.rho_i + rho[j]);
                if (!(rhobar > 0.0) || !(hbar > 0.0))
                    return sph_fail(sph_error_argument, "invalid viscosity pair state");
                const double mu = hbar * vr / (r2 + in.eta2 * hbar * hbar);
                const double pi_ij = (in.beta * mu * mu - in.alpha_c0 * mu) / rhobar;
                const double s = -in.m[j] * pi_ij;
                qx += s * (f * rx);
                qy += s * (f * ry);
                qz += s * (f * rz);
            }
        }
    }
    s_out[0] = px;
    s_out[1] = py;
    s_out[2] = pz;
    s_out[3] = qx;
    s_out[4] = qy;
    s_out[5] = qz;
    s_out[6] = dsum;
    return sph_success;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORREL_WATER_AVX2 1

// The AVX2 kernels form the pair terms four neighbours at a time with the same
// operations as the scalar code (no fused multiply-add), then add them one by one in
// list order, so both give the same bits. A term left out (inactive neighbour, no
// viscous interaction) becomes +0: a sum begun at +0 is never -0, so adding +0 leaves
// it unchanged.
//
// Neighbour data comes from a packed copy, one record per particle, so four
// neighbours load as whole records and transpose instead of gathering field by field:
//   [x y z active] [vx vy vz m]                  (density pass, 8 doubles)
//   [x y z active] [vx vy vz m] [rho h p/rho^2 0] (acceleration pass, 12 doubles)
constexpr std::size_t density_record = 8;
constexpr std::size_t acceleration_record = 12;

// `pr2` is null when the pass has no pressure part.
void pack_records(const SphDatabase& d, std::size_t stride, const double* pr2) {
    const std::size_t n = static_cast<std::size_t>(d.npart);
    scratch.packed.resize(n * stride);
    double* p = scratch.packed.data();
    const int64_t* act = scratch.active.data();
    for (std::size_t i = 0; i < n; ++i, p += stride) {
        p[0] = d.x[3 * i];
        p[1] = d.x[3 * i + 1];
        p[2] = d.x[3 * i + 2];
        std::memcpy(&p[3], &act[i], sizeof(double));
        p[4] = d.v[3 * i];
        p[5] = d.v[3 * i + 1];
        p[6] = d.v[3 * i + 2];
        p[7] = d.mass[i];
        if (stride == acceleration_record) {
            p[8] = d.rho[i];
            p[9] = d.h[i];
            p[10] = pr2 != nullptr && act[i] ? pr2[i] : 0.0;
            p[11] = 0.0;
        }
    }
}

// Field c (0..3) of the 4-double chunk at `off` of records r[0..3], one per lane.
struct Chunk {
    __m256d f0, f1, f2, f3;
};

__attribute__((target("avx2"))) inline Chunk load_chunk(const double* const r[4], std::size_t off) {
    const __m256d a =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[0] + off)), _mm_loadu_pd(r[2] + off), 1);
    const __m256d b =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[1] + off)), _mm_loadu_pd(r[3] + off), 1);
    const __m256d c = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[0] + off + 2)),
                                           _mm_loadu_pd(r[2] + off + 2), 1);
    const __m256d e = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[1] + off + 2)),
                                           _mm_loadu_pd(r[3] + off + 2), 1);
    return Chunk{_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b), _mm256_unpacklo_pd(c, e),
                 _mm256_unpackhi_pd(c, e)};
}

// Records of list entries k .. k+3; entries past the end repeat entry k (never added).
inline void block_records(const double* packed, std::size_t stride, const int32_t* nb, int32_t lanes,
                          const double* r[4]) {
    for (int32_t l = 0; l < 4; ++l)
        r[l] = packed + static_cast<std::size_t>(nb[l < lanes ? l : 0]) * stride;
}

struct PairBlock {
    __m256d act, rx, ry, rz, r2, f, vx, vy, vz, m;
};

// Geometry, kernel factor and relative velocity of four pairs.
__attribute__((target("avx2"), always_inline)) inline PairBlock pair_block(const Centre& c, const double* const r[4]) {
    PairBlock b;
    const Chunk p = load_chunk(r, 0);
    const Chunk v = load_chunk(r, 4);
    b.act = p.f3;
    b.m = v.f3;
    b.rx = _mm256_sub_pd(_mm256_set1_pd(c.xi), p.f0);
    b.ry = _mm256_sub_pd(_mm256_set1_pd(c.yi), p.f1);
    b.rz = _mm256_sub_pd(_mm256_set1_pd(c.zi), p.f2);
    b.r2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(b.rx, b.rx), _mm256_mul_pd(b.ry, b.ry)),
                         _mm256_mul_pd(b.rz, b.rz));
    const __m256d rr = _mm256_sqrt_pd(b.r2);
    const __m256d q = _mm256_mul_pd(rr, _mm256_set1_pd(c.grad.inv_h));
    const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(q, _mm256_set1_pd(2.0), _CMP_LT_OQ),
                                         _mm256_cmp_pd(rr, _mm256_setzero_pd(), _CMP_GT_OQ));
    const __m256d t = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(_mm256_set1_pd(0.5), q));
    const __m256d f = _mm256_mul_pd(_mm256_set1_pd(-c.grad.c), _mm256_mul_pd(_mm256_mul_pd(t, t), t));
    b.f = _mm256_and_pd(f, inside);
    b.vx = _mm256_sub_pd(_mm256_set1_pd(c.vxi), v.f0);
    b.vy = _mm256_sub_pd(_mm256_set1_pd(c.vyi), v.f1);
    b.vz = _mm256_sub_pd(_mm256_set1_pd(c.vzi), v.f2);
    return b;
}

__attribute__((target("avx2"), always_inline)) inline __m256d density_terms(const Centre& c, const int32_t* nb,
                                                                           int32_t lanes) {
    const double* r[4];
    block_records(scratch.packed.data(), density_record, nb, lanes, r);
    const PairBlock b = pair_block(c, r);
    const __m256d dot = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(b.vx, _mm256_mul_pd(b.f, b.rx)),
                                                    _mm256_mul_pd(b.vy, _mm256_mul_pd(b.f, b.ry))),
                                      _mm256_mul_pd(b.vz, _mm256_mul_pd(b.f, b.rz)));
    return _mm256_and_pd(_mm256_mul_pd(b.m, dot), b.act);
}

__attribute__((target("avx2"))) double density_sum_avx2(const Centre& c) {
    double sum = 0.0;
    alignas(32) double t[4];
    int32_t k = 0;
    for (; k + 4 <= c.cnt; k += 4) {
        _mm256_store_pd(t, density_terms(c, c.nb + k, 4));
        sum += t[0];
        sum += t[1];
        sum += t[2];
        sum += t[3];
    }
    if (k < c.cnt) {
        const int32_t lanes = c.cnt - k;
        _mm256_store_pd(t, density_terms(c, c.nb + k, lanes));
        for (int32_t l = 0; l < lanes; ++l) sum += t[l];
    }
    return sum;
}

// Four pairs' terms (x, y, z vectors, one pair per lane) as per-pair [x y z 0] vectors.
struct PerPair {
    __m256d t0, t1, t2, t3;
};

__attribute__((target("avx2"))) inline PerPair per_pair(__m256d x, __m256d y, __m256d z) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d a = _mm256_unpacklo_pd(x, y), b = _mm256_unpackhi_pd(x, y);
    const __m256d c = _mm256_unpacklo_pd(z, zero), e = _mm256_unpackhi_pd(z, zero);
    return PerPair{_mm256_permute2f128_pd(a, c, 0x20), _mm256_permute2f128_pd(b, e, 0x20),
                   _mm256_permute2f128_pd(a, c, 0x31), _mm256_permute2f128_pd(b, e, 0x31)};
}

__attribute__((target("avx2"))) inline void subtract_in_order(__m256d& acc, __m256d x, __m256d y, __m256d z,
                                                              int32_t lanes) {
    const PerPair t = per_pair(x, y, z);
    acc = _mm256_sub_pd(acc, t.t0);
    if (lanes > 1) acc = _mm256_sub_pd(acc, t.t1);
    if (lanes > 2) acc = _mm256_sub_pd(acc, t.t2);
    if (lanes > 3) acc = _mm256_sub_pd(acc, t.t3);
}

__attribute__((target("avx2"))) inline void add_in_order(__m256d& acc, __m256d x, __m256d y, __m256d z,
                                                         int32_t lanes) {
    const PerPair t = per_pair(x, y, z);
    acc = _mm256_add_pd(acc, t.t0);
    if (lanes > 1) acc = _mm256_add_pd(acc, t.t1);
    if (lanes > 2) acc = _mm256_add_pd(acc, t.t2);
    if (lanes > 3) acc = _mm256_add_pd(acc, t.t3);
}

// One block of up to four list entries from `nb`: adds the terms to the accumulators in
// list order and marks failed checks in `bad`. With `want_density` the density-rate terms
// (as density_terms, from the same geometry) are added to `dsum` in list order too.
template <bool want_pressure, bool want_viscosity, bool want_density>
__attribute__((target("avx2"), always_inline)) inline void acceleration_block(const PairInput& in, const Centre& c,
                                                                              const int32_t* nb, int32_t lanes,
                                                                              __m256d& acc_p, __m256d& acc_q,
                                                                              __m256d& bad, double& dsum) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d half = _mm256_set1_pd(0.5);
    const double* r[4];
    block_records(scratch.packed.data(), acceleration_record, nb, lanes, r);
    const PairBlock b = pair_block(c, r);
    const Chunk e = load_chunk(r, 8);
    const __m256d rhoj = e.f0;
    __m256d block_bad = zero;
    __m256d tpx = zero, tpy = zero, tpz = zero, tqx = zero, tqy = zero, tqz = zero;
    const __m256d fx = _mm256_mul_pd(b.f, b.rx), fy = _mm256_mul_pd(b.f, b.ry), fz = _mm256_mul_pd(b.f, b.rz);
    if (want_density) {
        const __m256d dot = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(b.vx, fx), _mm256_mul_pd(b.vy, fy)),
                                          _mm256_mul_pd(b.vz, fz));
        alignas(32) double t[4];
        _mm256_store_pd(t, _mm256_and_pd(_mm256_mul_pd(b.m, dot), b.act));
        dsum += t[0];
        if (lanes > 1) dsum += t[1];
        if (lanes > 2) dsum += t[2];
        if (lanes > 3) dsum += t[3];
    }
    if (want_pressure) {
        block_bad = _mm256_andnot_pd(_mm256_cmp_pd(rhoj, zero, _CMP_GT_OQ), b.act);
        const __m256d s = _mm256_and_pd(_mm256_mul_pd(b.m, _mm256_add_pd(e.f2, _mm256_set1_pd(c.pri))), b.act);
        tpx = _mm256_mul_pd(s, fx);
        tpy = _mm256_mul_pd(s, fy);
        tpz = _mm256_mul_pd(s, fz);
    }
    bool use_any = false;
    __m256d vr = zero, use = zero;
    if (want_viscosity) {
        vr = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(b.vx, b.rx), _mm256_mul_pd(b.vy, b.ry)),
                           _mm256_mul_pd(b.vz, b.rz));
        use = _mm256_and_pd(_mm256_cmp_pd(vr, zero, _CMP_LT_OQ), b.act);
        use_any = _mm256_movemask_pd(use) != 0;
    }
    // Approaching pairs only; a block with none (common in expanding or still flow)
    // skips the divisions.
    if (want_viscosity && use_any) {
        const __m256d hbar = _mm256_mul_pd(half, _mm256_add_pd(_mm256_set1_pd(c.hi), e.f1));
        const __m256d rhobar = _mm256_mul_pd(half, _mm256_add_pd(_mm256_set1_pd(c.rho_i), rhoj));
        const __m256d valid = _mm256_and_pd(_mm256_cmp_pd(rhobar, zero, _CMP_GT_OQ),
                                            _mm256_cmp_pd(hbar, zero, _CMP_GT_OQ));
        block_bad = _mm256_or_pd(block_bad, _mm256_andnot_pd(valid, use));
        const __m256d denom =
            _mm256_add_pd(b.r2, _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(in.eta2), hbar), hbar));
        const __m256d mu = _mm256_div_pd(_mm256_mul_pd(hbar, vr), denom);
        const __m256d pi_ij = _mm256_div_pd(
            _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(in.beta), mu), mu),
                          _mm256_mul_pd(_mm256_set1_pd(in.alpha_c0), mu)),
            rhobar);
        const __m256d s = _mm256_and_pd(_mm256_mul_pd(_mm256_xor_pd(b.m, _mm256_set1_pd(-0.0)), pi_ij), use);
        tqx = _mm256_mul_pd(s, fx);
        tqy = _mm256_mul_pd(s, fy);
        tqz = _mm256_mul_pd(s, fz);
    }
    // A failure in lanes past the end of the list is not real.
    if (lanes < 4) {
        const __m256i keep = _mm256_cmpgt_epi64(_mm256_set1_epi64x(lanes), _mm256_setr_epi64x(0, 1, 2, 3));
        block_bad = _mm256_and_pd(block_bad, _mm256_castsi256_pd(keep));
    }
    bad = _mm256_or_pd(bad, block_bad);
    if (want_pressure) subtract_in_order(acc_p, tpx, tpy, tpz, lanes);
    if (want_viscosity && use_any) add_in_order(acc_q, tqx, tqy, tqz, lanes);
}

// As acceleration_sum_scalar; returns 1 (nothing recorded) when some pair fails a check,
// so the caller redoes the particle in scalar form to report the first failure.
template <bool want_pressure, bool want_viscosity, bool want_density>
__attribute__((target("avx2"))) int acceleration_sum_avx2(const PairInput& in, const Centre& c, double s_out[7]) {
    const __m256d zero = _mm256_setzero_pd();
    // Lanes x, y, z of each accumulator are three separate sums, each in list order.
    __m256d acc_p = zero, acc_q = zero, bad = zero;
    double dsum = 0.0;
    int32_t k = 0;
    for (; k + 4 <= c.cnt; k += 4)
        acceleration_block<want_pressure, want_viscosity, want_density>(in, c, c.nb + k, 4, acc_p, acc_q, bad,
                                                                        dsum);
    if (k < c.cnt)
        acceleration_block<want_pressure, want_viscosity, want_density>(in, c, c.nb + k, c.cnt - k, acc_p, acc_q,
                                                                        bad, dsum);
    if (_mm256_movemask_pd(bad) != 0) return 1;
    alignas(32) double p[4], q[4];
    _mm256_store_pd(p, acc_p);
    _mm256_store_pd(q, acc_q);
    s_out[0] = p[0];
    s_out[1] = p[1];
    s_out[2] = p[2];
    s_out[3] = q[0];
    s_out[4] = q[1];
    s_out[5] = q[2];
    s_out[6] = dsum;
    return sph_success;
}

bool use_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2") != 0;
    return yes;
}
#endif

template <bool want_pressure, bool want_viscosity, bool want_density>
int acceleration_sum(const PairInput& in, const Centre& c, double s_out[7]) {
#ifdef QUORREL_WATER_AVX2
    if (use_avx2() && acceleration_sum_avx2<want_pressure, want_viscosity, want_density>(in, c, s_out) == 0)
        return sph_success;
#endif
    return acceleration_sum_scalar<want_pressure, want_viscosity, want_density>(in, c, s_out);
}

PairInput pair_input(const SphDatabase& d) {
    const SphWater& w = sph_water;
    return PairInput{scratch.active.data(), d.x.data(),   d.v.data(), d.mass.data(), d.rho.data(), d.h.data(),
                     scratch.p_over_rho2.data(), w.water_visc_alpha * w.water_c0, w.water_visc_beta,
                     w.water_visc_eta2};
}

}  // namespace

int sph_water_compute_density_rate() {
    SphDatabase& d = sph_database;
    if (d.npart <= 0) return sph_success;
    std::fill(d.drho_dt.begin(), d.drho_dt.end(), 0.0);
    mark_active(d);
    const PairInput in = pair_input(d);
    const int32_t* list = d.neighbor_list.data();
#ifdef QUORREL_WATER_AVX2
    const bool vector = use_avx2();
    if (vector) pack_records(d, density_record, nullptr);
#endif
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!in.act[i]) continue;
        const int32_t cnt = d.neighbor_count[i];
        if (cnt == 0) continue;
        if (int st = check_h(d.h[i])) return st;
        const Centre c = make_centre(in, i, list + d.neighbor_offset[i], cnt);
#ifdef QUORREL_WATER_AVX2
        if (vector) {
            d.drho_dt[i] += density_sum_avx2(c);
            continue;
        }
#endif
        d.drho_dt[i] += density_sum_scalar(in, c);
    }
    return sph_success;
}

namespace {

// After a failed check at particle `from` of the fused pass: the separate density-rate
// pass runs first over every particle and would have stopped at a smoothing length, so
// such a failure at `from` or later is the one to report.
int density_pass_failure_from(const SphDatabase& d, const int64_t* act, std::size_t from) {
    for (std::size_t i = from; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!act[i] || d.neighbor_count[i] == 0) continue;
        if (int st = check_h(d.h[i])) return st;
    }
    return sph_success;
}

// Pressure and viscous accelerations in one pass over each neighbour list (each sum
// keeps its own list-order summation). `want_pressure` / `want_viscosity` select parts;
// `want_density` adds the density rate, giving what the density-rate pass followed by
// the full acceleration pass gives.
template <bool want_pressure, bool want_viscosity, bool want_density = false>
int water_acceleration_pass() {
    SphDatabase& d = sph_database;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    if (want_density) std::fill(d.drho_dt.begin(), d.drho_dt.end(), 0.0);
    mark_active(d);
    const int64_t* act = scratch.active.data();
    if (want_pressure) {
        std::fill(d.acc_pressure.begin(), d.acc_pressure.end(), 0.0);
        scratch.p_over_rho2.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            if (act[i]) scratch.p_over_rho2[i] = d.pressure[i] / (d.rho[i] * d.rho[i]);
    }
    if (want_viscosity) std::fill(d.acc_viscosity.begin(), d.acc_viscosity.end(), 0.0);
#ifdef QUORREL_WATER_AVX2
    if (use_avx2())
        pack_records(d, acceleration_record, want_pressure ? scratch.p_over_rho2.data() : nullptr);
#endif
    const PairInput in = pair_input(d);
    const int32_t* list = d.neighbor_list.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (!act[i]) continue;
        if (want_pressure && !(d.rho[i] > 0.0)) {
            if (want_density)
                if (int st = density_pass_failure_from(d, act, i)) return st;
            return sph_fail(sph_error_argument, "Water density must be positive for pressure force");
        }
        const int32_t cnt = d.neighbor_count[i];
        if (cnt == 0) continue;
        if (int st = check_h(d.h[i])) return st;
        Centre c = make_centre(in, i, list + d.neighbor_offset[i], cnt);
        if (want_pressure) c.pri = in.pr2[i];
        double s[7];
        if (int st = acceleration_sum<want_pressure, want_viscosity, want_density>(in, c, s)) {
            if (want_density)
                if (int st2 = density_pass_failure_from(d, act, i + 1)) return st2;
            return st;
        }
        if (want_density) d.drho_dt[i] += s[6];
        if (want_pressure) {
            d.acc_pressure[3 * i] += s[0];
            d.acc_pressure[3 * i + 1] += s[1];
            d.acc_pressure[3 * i + 2] += s[2];
        }
        if (want_viscosity) {
            d.acc_viscosity[3 * i] += s[3];
            d.acc_viscosity[3 * i + 1] += s[4];
            d.acc_viscosity[3 * i + 2] += s[5];
        }
    }
    return sph_success;
}

}  // namespace

int sph_water_compute_pressure_acceleration() {
    if (sph_database.npart <= 0) return sph_success;
    return water_acceleration_pass<true, false>();
}

int sph_water_pair_viscosity(int i, int j, double contribution[3]) {
    contribution[0] = contribution[1] = contribution[2] = 0.0;
    const SphDatabase& d = sph_database;
    const SphWater& w = sph_water;
    const std::size_t a = static_cast<std::size_t>(i), b = static_cast<std::size_t>(j);
    double rij[3], vr = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        rij[k] = d.x[3 * a + k] - d.x[3 * b + k];
        vr += (d.v[3 * a + k] - d.v[3 * b + k]) * rij[k];
    }
    if (vr >= 0.0) return sph_success;
    const double hbar = 0.5 * (d.h[a] + d.h[b]);
    const double rhobar = 0.5 * (d.rho[a] + d.rho[b]);
    if (!(rhobar > 0.0) || !(hbar > 0.0)) return sph_fail(sph_error_argument, "invalid viscosity pair state");
    const double r2 = rij[0] * rij[0] + rij[1] * rij[1] + rij[2] * rij[2];
    const double mu = hbar * vr / (r2 + w.water_visc_eta2 * hbar * hbar);
    const double pi_ij = (w.water_visc_beta * mu * mu - w.water_visc_alpha * w.water_c0 * mu) / rhobar;
    double grad[3];
    if (int st = sph_kernel_gradient(sph_kernel_wendland_c2, rij, d.h[a], grad)) return st;
    for (int k = 0; k < 3; ++k) contribution[k] = -d.mass[b] * pi_ij * grad[k];
    return sph_success;
}

int sph_water_compute_viscosity_acceleration() {
    if (sph_database.npart <= 0) return sph_success;
    return water_acceleration_pass<false, true>();
}

namespace {

void set_water_acceleration(SphDatabase& d) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        for (std::size_t k = 0; k < 3; ++k)
            d.a[3 * i + k] = (d.acc_pressure[3 * i + k] + d.acc_viscosity[3 * i + k]) + d.acc_body[3 * i + k];
    }
}

}  // namespace

int sph_water_compute_acceleration() {
    SphDatabase& d = sph_database;
    if (d.npart > 0) {
        if (int st = water_acceleration_pass<true, true>()) return st;
    }
    set_water_acceleration(d);
    return sph_success;
}

int sph_water_compute_density_rate_and_acceleration() {
    SphDatabase& d = sph_database;
    if (d.npart > 0) {
        if (int st = water_acceleration_pass<true, true, true>()) return st;
    }
    set_water_acceleration(d);
    return sph_success;
}

int sph_water_estimate_dt_limits(double& dt_cfl, double& dt_accel, double& dt_viscous) {
    constexpr double big = std::numeric_limits<double>::max();
    dt_cfl = dt_accel = dt_viscous = big;
    SphDatabase& d = sph_database;
    const SphWater& w = sph_water;
    const double c0 = w.water_c0;
    const double visc = c0 * (1.0 + w.water_visc_alpha + w.water_visc_beta);
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        const double h = d.h[i];
        if (!(c0 > 0.0) || !(h > 0.0)) return sph_fail(sph_error_argument, "invalid Water state for dt estimate");
        const double* vi = &d.v[3 * i];
        const double* ai = &d.a[3 * i];
        const double vmag = std::sqrt(vi[0] * vi[0] + vi[1] * vi[1] + vi[2] * vi[2]);
        const double amag = std::sqrt(ai[0] * ai[0] + ai[1] * ai[1] + ai[2] * ai[2]);
        dt_cfl = std::min(dt_cfl, h / (c0 + vmag));
        if (amag > 0.0) dt_accel = std::min(dt_accel, std::sqrt(h / amag));
        dt_viscous = std::min(dt_viscous, h / visc);
    }
    if (dt_cfl == big) dt_cfl = 0.0;
    if (dt_accel == big) dt_accel = dt_cfl;
    if (dt_viscous == big) dt_viscous = dt_cfl;
    d.water_dt_cfl = dt_cfl;
    d.water_dt_accel = dt_accel;
    d.water_dt_viscous = dt_viscous;
    return sph_success;
}

int sph_water_update_diagnostics() {
    sph_db_clear_water_diagnostics();
    SphDatabase& d = sph_database;
    bool first = true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        if (!active_water(d, i)) continue;
        const double m = d.mass[i];
        d.water_particle_count += 1;
        d.water_mass += m;
        for (std::size_t k = 0; k < 3; ++k) d.water_momentum[k] += m * d.v[3 * i + k];
        if (first) {
            d.water_max_pressure = d.pressure[i];
            d.water_min_density = d.water_max_density = d.rho[i];
            first = false;
        } else {
            d.water_max_pressure = std::max(d.water_max_pressure, d.pressure[i]);
            d.water_min_density = std::min(d.water_min_density, d.rho[i]);
            d.water_max_density = std::max(d.water_max_density, d.rho[i]);
        }
    }
    return sph_success;
}

int sph_water_get_summary(double& mass_out, double momentum_out[3], double& max_pressure_out,
                          double& min_density_out, double& max_density_out) {
    if (int st = sph_water_update_diagnostics()) return st;
    const SphDatabase& d = sph_database;
    mass_out = d.water_mass;
    for (std::size_t k = 0; k < 3; ++k) momentum_out[k] = d.water_momentum[k];
    max_pressure_out = d.water_max_pressure;
    min_density_out = d.water_min_density;
    max_density_out = d.water_max_density;
    return sph_success;
}

}  // namespace quorrel
