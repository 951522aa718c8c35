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
#include "core/sph_simd.h"
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
    double inv_h = 0.0, c = 0.0;
    GradientOfI() = default;
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

// Sums of one particle: pressure (s[0..2]) and viscous (s[3..5]) accelerations, and with
// `want_density` the density rate (s[6]). Returns non-zero on a
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

// Neighbour data for the vector kernel comes from a packed copy, one record per
// particle, so four neighbours load as whole records and transpose instead of
// gathering field by field: [x y z active] [vx vy vz m] [rho h p/rho^2 0].
constexpr std::size_t record = 12;

// `pr2` is null when the pass has no pressure part.
void pack_records(const SphDatabase& d, const double* pr2) {
    constexpr std::size_t stride = record;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    // One blank record (active mask clear) follows the last particle's.
    scratch.packed.resize((n + 1) * stride);
    std::fill(scratch.packed.end() - static_cast<std::ptrdiff_t>(stride), scratch.packed.end(), 0.0);
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
        p[8] = d.rho[i];
        p[9] = d.h[i];
        p[10] = pr2 != nullptr && act[i] ? pr2[i] : 0.0;
        p[11] = 0.0;
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

// The lists of a group of up to W particles, one per lane. Unused lanes copy lane 0
// with an empty list. Every lane has an entry below kmin; from there on a lane past the
// end of its list takes the blank record.
template <int W>
struct GroupLists {
    const Centre* cl[W];
    int32_t cnt[W];
    const int32_t* nb[W];
    int32_t kmin, kmax;
    GroupLists(const Centre* c, int lanes) {
        for (int l = 0; l < W; ++l) {
            cl[l] = &c[l < lanes ? l : 0];
            cnt[l] = l < lanes ? c[l].cnt : 0;
            nb[l] = cl[l]->nb;
        }
        kmin = *std::min_element(cnt, cnt + W);
        kmax = *std::max_element(cnt, cnt + W);
    }
    // Records of the lanes' entries at list position k.
    void records(const double* packed, std::size_t blank, int32_t k, const double* r[W]) const {
        for (int l = 0; l < W; ++l)
            r[l] = packed + (k < cnt[l] ? static_cast<std::size_t>(nb[l][k]) : blank) * record;
    }
    void records_all(const double* packed, int32_t k, const double* r[W]) const {
        for (int l = 0; l < W; ++l) r[l] = packed + static_cast<std::size_t>(nb[l][k]) * record;
    }
};

// Four particles side by side, one per lane, each lane walking its own list: the sums
// are plain vertical adds (each lane's sum in its list order, one add per step, no
// transposes), and the terms are the per-particle kernel's own operations, so the bits
// are the same. A lane past the end of its list reads the blank record after the last
// particle, whose active mask is clear, so it adds +0. Returns 1 (nothing recorded) when
// some pair fails a check.
template <bool want_pressure, bool want_viscosity, bool want_density>
__attribute__((target("avx2"))) int group_sum_avx2(const PairInput& in, const Centre* c, int lanes,
                                                   double s_out[7][8]) {
    const double* packed = scratch.packed.data();
    const std::size_t blank = scratch.packed.size() / record - 1;
    const GroupLists<4> g(c, lanes);
    const Centre* const* cl = g.cl;
    auto lane_values = [&](auto field) __attribute__((target("avx2"), always_inline)) {
        return _mm256_setr_pd(field(*cl[0]), field(*cl[1]), field(*cl[2]), field(*cl[3]));
    };
    const __m256d xi = lane_values([](const Centre& e) { return e.xi; });
    const __m256d yi = lane_values([](const Centre& e) { return e.yi; });
    const __m256d zi = lane_values([](const Centre& e) { return e.zi; });
    const __m256d vxi = lane_values([](const Centre& e) { return e.vxi; });
    const __m256d vyi = lane_values([](const Centre& e) { return e.vyi; });
    const __m256d vzi = lane_values([](const Centre& e) { return e.vzi; });
    const __m256d hi = lane_values([](const Centre& e) { return e.hi; });
    const __m256d rhoi = lane_values([](const Centre& e) { return e.rho_i; });
    const __m256d pri = lane_values([](const Centre& e) { return e.pri; });
    const __m256d inv_h = lane_values([](const Centre& e) { return e.grad.inv_h; });
    const __m256d neg_c = lane_values([](const Centre& e) { return -e.grad.c; });
    const __m256d zero = _mm256_setzero_pd(), half = _mm256_set1_pd(0.5), two = _mm256_set1_pd(2.0);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d eta2 = _mm256_set1_pd(in.eta2), beta = _mm256_set1_pd(in.beta);
    const __m256d alpha_c0 = _mm256_set1_pd(in.alpha_c0), sign = _mm256_set1_pd(-0.0);
    __m256d px = zero, py = zero, pz = zero, qx = zero, qy = zero, qz = zero, ds = zero, bad = zero;

    auto step = [&](const double* const r[4]) __attribute__((target("avx2"), always_inline)) {
        const Chunk p = load_chunk(r, 0);
        const Chunk v = load_chunk(r, 4);
        const Chunk e = load_chunk(r, 8);
        const __m256d act = p.f3, m = v.f3, rhoj = e.f0;
        const __m256d rx = _mm256_sub_pd(xi, p.f0), ry = _mm256_sub_pd(yi, p.f1), rz = _mm256_sub_pd(zi, p.f2);
        const __m256d r2 =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_mul_pd(ry, ry)), _mm256_mul_pd(rz, rz));
        const __m256d rr = _mm256_sqrt_pd(r2);
        const __m256d q = _mm256_mul_pd(rr, inv_h);
        const __m256d inside =
            _mm256_and_pd(_mm256_cmp_pd(q, two, _CMP_LT_OQ), _mm256_cmp_pd(rr, zero, _CMP_GT_OQ));
        const __m256d t = _mm256_sub_pd(one, _mm256_mul_pd(half, q));
        const __m256d f = _mm256_and_pd(_mm256_mul_pd(neg_c, _mm256_mul_pd(_mm256_mul_pd(t, t), t)), inside);
        const __m256d fx = _mm256_mul_pd(f, rx), fy = _mm256_mul_pd(f, ry), fz = _mm256_mul_pd(f, rz);
        const __m256d vx = _mm256_sub_pd(vxi, v.f0), vy = _mm256_sub_pd(vyi, v.f1), vz = _mm256_sub_pd(vzi, v.f2);
        if (want_density) {
            const __m256d dot = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(vx, fx), _mm256_mul_pd(vy, fy)),
                                              _mm256_mul_pd(vz, fz));
            ds = _mm256_add_pd(ds, _mm256_and_pd(_mm256_mul_pd(m, dot), act));
        }
        if (want_pressure) {
            bad = _mm256_or_pd(bad, _mm256_andnot_pd(_mm256_cmp_pd(rhoj, zero, _CMP_GT_OQ), act));
            const __m256d s = _mm256_and_pd(_mm256_mul_pd(m, _mm256_add_pd(e.f2, pri)), act);
            px = _mm256_sub_pd(px, _mm256_mul_pd(s, fx));
            py = _mm256_sub_pd(py, _mm256_mul_pd(s, fy));
            pz = _mm256_sub_pd(pz, _mm256_mul_pd(s, fz));
        }
        if (want_viscosity) {
            const __m256d vr =
                _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(vx, rx), _mm256_mul_pd(vy, ry)), _mm256_mul_pd(vz, rz));
            const __m256d use = _mm256_and_pd(_mm256_cmp_pd(vr, zero, _CMP_LT_OQ), act);
            // Approaching pairs only; a step with none skips the divisions.
            if (_mm256_movemask_pd(use) != 0) {
                const __m256d hbar = _mm256_mul_pd(half, _mm256_add_pd(hi, e.f1));
                const __m256d rhobar = _mm256_mul_pd(half, _mm256_add_pd(rhoi, rhoj));
                const __m256d valid = _mm256_and_pd(_mm256_cmp_pd(rhobar, zero, _CMP_GT_OQ),
                                                    _mm256_cmp_pd(hbar, zero, _CMP_GT_OQ));
                bad = _mm256_or_pd(bad, _mm256_andnot_pd(valid, use));
                const __m256d denom = _mm256_add_pd(r2, _mm256_mul_pd(_mm256_mul_pd(eta2, hbar), hbar));
                const __m256d mu = _mm256_div_pd(_mm256_mul_pd(hbar, vr), denom);
                const __m256d pi_ij = _mm256_div_pd(
                    _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(beta, mu), mu), _mm256_mul_pd(alpha_c0, mu)), rhobar);
                const __m256d s = _mm256_and_pd(_mm256_mul_pd(_mm256_xor_pd(m, sign), pi_ij), use);
                qx = _mm256_add_pd(qx, _mm256_mul_pd(s, fx));
                qy = _mm256_add_pd(qy, _mm256_mul_pd(s, fy));
                qz = _mm256_add_pd(qz, _mm256_mul_pd(s, fz));
            }
        }
    };

    const double* r[4];
    int32_t k = 0;
    for (; k < g.kmin; ++k) {
        g.records_all(packed, k, r);
        step(r);
    }
    for (; k < g.kmax; ++k) {
        g.records(packed, blank, k, r);
        step(r);
    }
    if (_mm256_movemask_pd(bad) != 0) return 1;
    const __m256d sums[7] = {px, py, pz, qx, qy, qz, ds};
    for (int s = 0; s < 7; ++s) _mm256_storeu_pd(s_out[s], sums[s]);
    return sph_success;
}

#define QUORREL_AVX512 __attribute__((target("avx512f,avx512vl"), always_inline))

// Field c (0..3) of the 4-double chunk at `off` of records r[0..7], one per lane.
struct Chunk8 {
    __m512d f0, f1, f2, f3;
};

QUORREL_AVX512 inline Chunk8 load_chunk8(const double* const r[8], std::size_t off) {
    auto pair = [&](int a, int b) QUORREL_AVX512 {
        const __m512d low = _mm512_maskz_insertf64x4(0xFF, _mm512_setzero_pd(), _mm256_loadu_pd(r[a] + off), 0);
        return _mm512_maskz_insertf64x4(0xFF, low, _mm256_loadu_pd(r[b] + off), 1);
    };
    // [r0 | r4], [r1 | r5], [r2 | r6], [r3 | r7]; the unpacks pair fields of neighbouring
    // records within each 128-bit lane, and the two-source permutes gather the lanes.
    // (The all-lanes masked forms: the plain ones trip a maybe-uninitialized warning in GCC 12.)
    const __m512d a = pair(0, 4), b = pair(1, 5), c = pair(2, 6), d = pair(3, 7);
    const __m512d t0 = _mm512_maskz_unpacklo_pd(0xFF, a, b), t1 = _mm512_maskz_unpackhi_pd(0xFF, a, b);
    const __m512d t2 = _mm512_maskz_unpacklo_pd(0xFF, c, d), t3 = _mm512_maskz_unpackhi_pd(0xFF, c, d);
    const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13), hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    return Chunk8{_mm512_permutex2var_pd(t0, lo, t2), _mm512_permutex2var_pd(t1, lo, t3),
                  _mm512_permutex2var_pd(t0, hi, t2), _mm512_permutex2var_pd(t1, hi, t3)};
}

// As group_sum_avx2 with eight particles side by side. The same operations per lane
// (masks select +0 where the four-lane code ands with a mask), so the same bits; the
// build forbids fused multiply-adds. Twice the pairs per instruction keeps more pairs
// in flight, which is what bounds the four-lane code.
template <bool want_pressure, bool want_viscosity, bool want_density>
__attribute__((target("avx512f,avx512vl"))) int group_sum_avx512(const PairInput& in, const Centre* c, int lanes,
                                                                  double s_out[7][8]) {
    const double* packed = scratch.packed.data();
    const std::size_t blank = scratch.packed.size() / record - 1;
    const GroupLists<8> g(c, lanes);
    const Centre* const* cl = g.cl;
    auto lane_values = [&](auto field) QUORREL_AVX512 {
        return _mm512_setr_pd(field(*cl[0]), field(*cl[1]), field(*cl[2]), field(*cl[3]), field(*cl[4]),
                              field(*cl[5]), field(*cl[6]), field(*cl[7]));
    };
    const __m512d xi = lane_values([](const Centre& e) { return e.xi; });
    const __m512d yi = lane_values([](const Centre& e) { return e.yi; });
    const __m512d zi = lane_values([](const Centre& e) { return e.zi; });
    const __m512d vxi = lane_values([](const Centre& e) { return e.vxi; });
    const __m512d vyi = lane_values([](const Centre& e) { return e.vyi; });
    const __m512d vzi = lane_values([](const Centre& e) { return e.vzi; });
    const __m512d hi = lane_values([](const Centre& e) { return e.hi; });
    const __m512d rhoi = lane_values([](const Centre& e) { return e.rho_i; });
    const __m512d pri = lane_values([](const Centre& e) { return e.pri; });
    const __m512d inv_h = lane_values([](const Centre& e) { return e.grad.inv_h; });
    const __m512d neg_c = lane_values([](const Centre& e) { return -e.grad.c; });
    const __m512d zero = _mm512_setzero_pd(), half = _mm512_set1_pd(0.5), two = _mm512_set1_pd(2.0);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d eta2 = _mm512_set1_pd(in.eta2), beta = _mm512_set1_pd(in.beta);
    const __m512d alpha_c0 = _mm512_set1_pd(in.alpha_c0);
    const __m512i sign = _mm512_set1_epi64(INT64_MIN);
    __m512d px = zero, py = zero, pz = zero, qx = zero, qy = zero, qz = zero, ds = zero;
    __mmask8 bad = 0;

    auto step = [&](const double* const r[8]) QUORREL_AVX512 {
        const Chunk8 p = load_chunk8(r, 0);
        const Chunk8 v = load_chunk8(r, 4);
        const Chunk8 e = load_chunk8(r, 8);
        const __m512i act_bits = _mm512_castpd_si512(p.f3);
        const __mmask8 act = _mm512_test_epi64_mask(act_bits, act_bits);
        const __m512d m = v.f3, rhoj = e.f0;
        const __m512d rx = _mm512_sub_pd(xi, p.f0), ry = _mm512_sub_pd(yi, p.f1), rz = _mm512_sub_pd(zi, p.f2);
        const __m512d r2 =
            _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_mul_pd(ry, ry)), _mm512_mul_pd(rz, rz));
        const __m512d rr = _mm512_maskz_sqrt_pd(0xFF, r2);
        const __m512d q = _mm512_mul_pd(rr, inv_h);
        const __mmask8 inside = _mm512_cmp_pd_mask(q, two, _CMP_LT_OQ) & _mm512_cmp_pd_mask(rr, zero, _CMP_GT_OQ);
        const __m512d t = _mm512_sub_pd(one, _mm512_mul_pd(half, q));
        const __m512d f = _mm512_maskz_mov_pd(inside, _mm512_mul_pd(neg_c, _mm512_mul_pd(_mm512_mul_pd(t, t), t)));
        const __m512d fx = _mm512_mul_pd(f, rx), fy = _mm512_mul_pd(f, ry), fz = _mm512_mul_pd(f, rz);
        const __m512d vx = _mm512_sub_pd(vxi, v.f0), vy = _mm512_sub_pd(vyi, v.f1), vz = _mm512_sub_pd(vzi, v.f2);
        if (want_density) {
            const __m512d dot = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(vx, fx), _mm512_mul_pd(vy, fy)),
                                              _mm512_mul_pd(vz, fz));
            ds = _mm512_add_pd(ds, _mm512_maskz_mov_pd(act, _mm512_mul_pd(m, dot)));
        }
        if (want_pressure) {
            bad |= static_cast<__mmask8>(act & ~_mm512_cmp_pd_mask(rhoj, zero, _CMP_GT_OQ));
            const __m512d s = _mm512_maskz_mov_pd(act, _mm512_mul_pd(m, _mm512_add_pd(e.f2, pri)));
            px = _mm512_sub_pd(px, _mm512_mul_pd(s, fx));
            py = _mm512_sub_pd(py, _mm512_mul_pd(s, fy));
            pz = _mm512_sub_pd(pz, _mm512_mul_pd(s, fz));
        }
        if (want_viscosity) {
            const __m512d vr =
                _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(vx, rx), _mm512_mul_pd(vy, ry)), _mm512_mul_pd(vz, rz));
            const __mmask8 use = act & _mm512_cmp_pd_mask(vr, zero, _CMP_LT_OQ);
            if (use != 0) {
                const __m512d hbar = _mm512_mul_pd(half, _mm512_add_pd(hi, e.f1));
                const __m512d rhobar = _mm512_mul_pd(half, _mm512_add_pd(rhoi, rhoj));
                const __mmask8 valid =
                    _mm512_cmp_pd_mask(rhobar, zero, _CMP_GT_OQ) & _mm512_cmp_pd_mask(hbar, zero, _CMP_GT_OQ);
                bad |= static_cast<__mmask8>(use & ~valid);
                const __m512d denom = _mm512_add_pd(r2, _mm512_mul_pd(_mm512_mul_pd(eta2, hbar), hbar));
                const __m512d mu = _mm512_div_pd(_mm512_mul_pd(hbar, vr), denom);
                const __m512d pi_ij = _mm512_div_pd(
                    _mm512_sub_pd(_mm512_mul_pd(_mm512_mul_pd(beta, mu), mu), _mm512_mul_pd(alpha_c0, mu)), rhobar);
                const __m512d neg_m = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(m), sign));
                const __m512d s = _mm512_maskz_mov_pd(use, _mm512_mul_pd(neg_m, pi_ij));
                qx = _mm512_add_pd(qx, _mm512_mul_pd(s, fx));
                qy = _mm512_add_pd(qy, _mm512_mul_pd(s, fy));
                qz = _mm512_add_pd(qz, _mm512_mul_pd(s, fz));
            }
        }
    };

    const double* r[8];
    int32_t k = 0;
    for (; k < g.kmin; ++k) {
        g.records_all(packed, k, r);
        step(r);
    }
    for (; k < g.kmax; ++k) {
        g.records(packed, blank, k, r);
        step(r);
    }
    if (bad != 0) return 1;
    const __m512d sums[7] = {px, py, pz, qx, qy, qz, ds};
    for (int j = 0; j < 7; ++j) _mm512_storeu_pd(s_out[j], sums[j]);
    return sph_success;
}
#undef QUORREL_AVX512

// Particles per group of the vector kernel at this level.
int group_width(SphSimd level) { return level == SphSimd::avx512 ? 8 : 4; }

template <bool want_pressure, bool want_viscosity, bool want_density>
int group_sum(SphSimd level, const PairInput& in, const Centre* c, int lanes, double s_out[7][8]) {
    if (level == SphSimd::avx512)
        return group_sum_avx512<want_pressure, want_viscosity, want_density>(in, c, lanes, s_out);
    return group_sum_avx2<want_pressure, want_viscosity, want_density>(in, c, lanes, s_out);
}
#endif

PairInput pair_input(const SphDatabase& d) {
    const SphWater& w = sph_water;
    return PairInput{scratch.active.data(), d.x.data(),   d.v.data(), d.mass.data(), d.rho.data(), d.h.data(),
                     scratch.p_over_rho2.data(), w.water_visc_alpha * w.water_c0, w.water_visc_beta,
                     w.water_visc_eta2};
}

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
    const SphSimd level = sph_simd_level();
    const bool vector = level != SphSimd::scalar;
    if (vector) pack_records(d, want_pressure ? scratch.p_over_rho2.data() : nullptr);
#else
    constexpr bool vector = false;
#endif
    const PairInput in = pair_input(d);
    const int32_t* list = d.neighbor_list.data();
    auto store = [&](std::size_t i, const double s[7]) {
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
    };
    // One particle's sums, in its turn; a failed check reports as the separate passes would.
    auto one = [&](const Centre& c) {
        double s[7];
        if (int st = acceleration_sum_scalar<want_pressure, want_viscosity, want_density>(in, c, s)) {
            if (want_density)
                if (int st2 = density_pass_failure_from(d, act, c.i + 1)) return st2;
            return st;
        }
        store(c.i, s);
        return sph_success;
    };
    // Particles waiting for the vector kernel. Before anything later is reported they
    // are summed, so failures come in particle order.
#ifdef QUORREL_WATER_AVX2
    const int width = group_width(level);
#else
    constexpr int width = 1;
#endif
    Centre group[8];
    int waiting = 0;
    auto flush = [&]() {
        const int lanes = waiting;
        waiting = 0;
#ifdef QUORREL_WATER_AVX2
        if (lanes == 0) return sph_success;
        double s[7][8];
        if (group_sum<want_pressure, want_viscosity, want_density>(level, in, group, lanes, s) == 0) {
            for (int l = 0; l < lanes; ++l) {
                const double sl[7] = {s[0][l], s[1][l], s[2][l], s[3][l], s[4][l], s[5][l], s[6][l]};
                store(group[l].i, sl);
            }
            return sph_success;
        }
#endif
        // Some pair failed a check: the first failure in particle order is the one to report.
        for (int l = 0; l < lanes; ++l)
            if (int st = one(group[l])) return st;
        return sph_success;
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (!act[i]) continue;
        if (want_pressure && !(d.rho[i] > 0.0)) {
            if (int st = flush()) return st;
            if (want_density)
                if (int st = density_pass_failure_from(d, act, i)) return st;
            return sph_fail(sph_error_argument, "Water density must be positive for pressure force");
        }
        const int32_t cnt = d.neighbor_count[i];
        if (cnt == 0) continue;
        if (int st = check_h(d.h[i])) {
            if (int st2 = flush()) return st2;
            return st;
        }
        Centre c = make_centre(in, i, list + d.neighbor_offset[i], cnt);
        if (want_pressure) c.pri = in.pr2[i];
        if (!vector) {
            if (int st = one(c)) return st;
            continue;
        }
        group[waiting++] = c;
        if (waiting == width)
            if (int st = flush()) return st;
    }
    return flush();
}

}  // namespace

int sph_water_compute_density_rate() {
    if (sph_database.npart <= 0) return sph_success;
    return water_acceleration_pass<false, false, true>();
}

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
