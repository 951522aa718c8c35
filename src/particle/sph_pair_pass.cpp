#include "particle/sph_pair_pass.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_simd.h"
#include "database/sph_database.h"
#include "particle/pair_kernels/sph_pair_kernel.h"
#include "particle/sph_particle.h"

namespace quorrel {

SphPairPass sph_pair_pass;

namespace {

constexpr std::size_t record = sph_pair_record;
constexpr std::size_t line_doubles = 64 / sizeof(double);

// The records start on a cache line, so that no 32-byte field group of a record straddles
// two lines.
double* records_base() {
    double* p = sph_pair_pass.pair_records.data();
    const std::uintptr_t misalign = reinterpret_cast<std::uintptr_t>(p) % 64;
    return misalign == 0 ? p : p + (64 - misalign) / sizeof(double);
}

// The kernel gradient's own check, made once per summed particle with neighbours.
int check_h(double h) {
    if (!(h > 0.0) || !std::isfinite(h)) return sph_fail(sph_error_argument, "kernel smoothing length must be positive");
    return sph_success;
}

bool uses_vector_kernels(SphSimd level) {
#ifdef QUORREL_X86_KERNELS
    return level != SphSimd::scalar;
#else
    (void)level;
    return false;
#endif
}

int pack(const SphDatabase& d) {
    SphPairPass& p = sph_pair_pass;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    const SphSimd level = sph_simd_level();
    try {
        p.pair_key.resize(n);
        p.pair_p_over_rho2.resize(n);
        // One blank record (key 0) follows the last particle's.
        if (uses_vector_kernels(level)) p.pair_records.resize((n + 1) * record + line_doubles);
    } catch (const std::exception&) {
        return sph_fail(sph_error_database, "failed to allocate pair-pass storage");
    }
    p.pair_pack_level = static_cast<int32_t>(level);
    p.pair_phases = 0;
    p.pair_records_packed = false;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t key = d.particle_status[i] == sph_status_active ? d.particle_phase[i] : 0;
        p.pair_key[i] = key;
        if (key > 0 && key < 32) p.pair_phases |= 1u << key;
        // Only a particle that fails the pressure term's density checks lacks the value.
        p.pair_p_over_rho2[i] = key != 0 && d.rho[i] > 0.0 ? d.pressure[i] / (d.rho[i] * d.rho[i]) : 0.0;
    }
    return sph_success;
}

// The vector paths' records, made once per pack by the first pass with particles to sum.
void pack_records(const SphDatabase& d) {
    SphPairPass& p = sph_pair_pass;
    p.pair_records_packed = true;
    if (!uses_vector_kernels(static_cast<SphSimd>(p.pair_pack_level))) return;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    double* r = records_base();
    for (std::size_t i = 0; i < n; ++i, r += record) {
        r[0] = d.x[3 * i];
        r[1] = d.x[3 * i + 1];
        r[2] = d.x[3 * i + 2];
        r[3] = static_cast<double>(p.pair_key[i]);
        r[4] = d.v[3 * i];
        r[5] = d.v[3 * i + 1];
        r[6] = d.v[3 * i + 2];
        r[7] = d.mass[i];
        r[8] = d.rho[i];
        r[9] = d.h[i];
        r[10] = p.pair_p_over_rho2[i];
        r[11] = 0.0;
    }
    std::memset(r, 0, record * sizeof(double));
}

bool pack_is_current(const SphDatabase& d) {
    const SphPairPass& p = sph_pair_pass;
    return p.pair_pack_held && p.pair_key.size() == static_cast<std::size_t>(d.npart);
}

// The arrays one pass reads.
struct PassInput {
    const SphPairPhase* phase;
    const int32_t* key;
    const double *x, *v, *m, *rho, *h, *pr2;
};

// The kernel factors of one smoothing length; neighbouring particles mostly share theirs,
// so the last one is kept.
struct KernelFactors {
    double h = 0.0, inv_h = 0.0, neg_c = 0.0;
    void set(double h_value) {
        if (h_value == h && h != 0.0) return;
        const double sigma = 21.0 / (sph_kernel_16pi * h_value * h_value * h_value);
        h = h_value;
        inv_h = 1.0 / h_value;
        neg_c = -(5.0 * sigma / (h_value * h_value));
    }
};

SphPairCentre make_centre(const PassInput& in, std::size_t i, const int32_t* nb, int32_t cnt, bool with_pressure,
                          KernelFactors& k) {
    k.set(in.h[i]);
    return SphPairCentre{nb,
                         cnt,
                         static_cast<int32_t>(i),
                         in.x[3 * i],
                         in.x[3 * i + 1],
                         in.x[3 * i + 2],
                         in.v[3 * i],
                         in.v[3 * i + 1],
                         in.v[3 * i + 2],
                         in.h[i],
                         in.rho[i],
                         with_pressure ? in.pr2[i] : 0.0,
                         k.inv_h,
                         k.neg_c};
}

// Wendland C2: grad W_ij = f r_ij; f is 0 at r = 0 and outside the support.
inline double gradient_factor(const SphPairCentre& c, double r) {
    const double q = r * c.inv_h;
    if (!(q < 2.0) || !(r > 0.0)) return 0.0;
    const double t = 1.0 - 0.5 * q;
    return c.neg_c * (t * t * t);
}

// |r_ij| from its sum of squares r2: the plain root where r2 is a normal double, else the
// full-range length, so that a pair closer than about 1.5e-154 is not taken as coincident.
// The vector kernels leave such pairs to the scalar path.
inline double pair_distance(double rx, double ry, double rz, double r2) {
    if (r2 >= std::numeric_limits<double>::min()) return std::sqrt(r2);
    const double r[3] = {rx, ry, rz};
    return sph_norm3_full_range(r);
}

// The scalar reference: one particle's sums, pressure (s[0..2]), viscous (s[3..5]) and
// density rate (s[6]). Returns non-zero on a failed check, with the message recorded.
template <bool want_pressure, bool want_viscosity, bool want_density>
int scalar_sum(const PassInput& in, const SphPairCentre& c, double s_out[7]) {
    const int32_t phase = in.phase->phase;
    const double* x = in.x;
    const double* v = in.v;
    const double* rho = in.rho;
    double px = 0.0, py = 0.0, pz = 0.0, qx = 0.0, qy = 0.0, qz = 0.0, dsum = 0.0;
    for (int32_t k = 0; k < c.cnt; ++k) {
        const std::size_t j = static_cast<std::size_t>(c.nb[k]);
        if (in.key[j] != phase) continue;
        const double rx = c.x - x[3 * j], ry = c.y - x[3 * j + 1], rz = c.z - x[3 * j + 2];
        const double r2 = rx * rx + ry * ry + rz * rz;
        const double f = gradient_factor(c, pair_distance(rx, ry, rz, r2));
        if (want_density) {
            const double vx = c.vx - v[3 * j], vy = c.vy - v[3 * j + 1], vz = c.vz - v[3 * j + 2];
            dsum += in.m[j] * (vx * (f * rx) + vy * (f * ry) + vz * (f * rz));
        }
        if (want_pressure) {
            if (!(rho[j] > 0.0)) return sph_fail(sph_error_argument, in.phase->neighbor_density_message);
            const double s = in.m[j] * (in.pr2[j] + c.p_over_rho2);
            px -= s * (f * rx);
            py -= s * (f * ry);
            pz -= s * (f * rz);
        }
        if (want_viscosity) {
            const double vr = (c.vx - v[3 * j]) * rx + (c.vy - v[3 * j + 1]) * ry + (c.vz - v[3 * j + 2]) * rz;
            if (vr < 0.0) {
                const double hbar = 0.5 * (c.h + in.h[j]);
                const double rhobar = 0.5 * (c.rho + rho[j]);
                if (!(rhobar > 0.0) || !(hbar > 0.0))
                    return sph_fail(sph_error_argument, "invalid viscosity pair state");
                const SphPairPhase& ph = *in.phase;
                const double mu = hbar * vr / (r2 + ph.visc_eta2 * hbar * hbar);
                const double pi_ij = (ph.visc_beta * mu * mu - ph.visc_alpha_c0 * mu) / rhobar;
                const double s = -in.m[j] * pi_ij;
                qx += s * (f * rx);
                qy += s * (f * ry);
                qz += s * (f * rz);
            }
        }
    }
    const double sums[7] = {px, py, pz, qx, qy, qz, dsum};
    std::memcpy(s_out, sums, sizeof sums);
    return sph_success;
}

// After a failed check at particle `from` of a pass that also sums the density rate:
// a separate density-rate pass runs first over every particle and would have stopped at
// a smoothing length, so such a failure at `from` or later is the one to report.
int density_pass_failure_from(const SphDatabase& d, const PassInput& in, std::size_t from) {
    for (std::size_t i = from; i < static_cast<std::size_t>(d.npart); ++i) {
        if (in.key[i] != in.phase->phase || d.neighbor_count[i] == 0) continue;
        if (int st = check_h(d.h[i])) return st;
    }
    return sph_success;
}

// One pass over the phase's particles. With more than one term each sum keeps its own
// list-order summation, so the results are those of one pass per term.
template <bool want_pressure, bool want_viscosity, bool want_density>
int pair_pass(const SphPairPhase& phase) {
    SphDatabase& d = sph_database;
    const SphPairPass& pk = sph_pair_pass;
    const std::size_t n = static_cast<std::size_t>(d.npart);
    const PassInput in{&phase,        pk.pair_key.data(), d.x.data(), d.v.data(), d.mass.data(),
                       d.rho.data(),  d.h.data(),         pk.pair_p_over_rho2.data()};
    const SphSimd level = static_cast<SphSimd>(pk.pair_pack_level);
    // The kernels address records by 32-bit offsets; a model too large for them is summed
    // by the scalar path.
    const bool vector = uses_vector_kernels(level) && n < UINT32_MAX / sph_pair_record;
    const int width = level == SphSimd::avx512 ? 8 : 4;
    [[maybe_unused]] const SphPairGroupInput group_in{records_base(),
                                     n,
                                     static_cast<double>(phase.phase),
                                     phase.visc_alpha_c0,
                                     phase.visc_beta,
                                     phase.visc_eta2,
                                     want_density,
                                     want_pressure,
                                     want_viscosity};
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
    auto one = [&](const SphPairCentre& c) {
        double s[7];
        if (int st = scalar_sum<want_pressure, want_viscosity, want_density>(in, c, s)) {
            if (want_density)
                if (int st2 = density_pass_failure_from(d, in, static_cast<std::size_t>(c.index) + 1)) return st2;
            return st;
        }
        store(static_cast<std::size_t>(c.index), s);
        return sph_success;
    };
    // Particles waiting for the vector kernel. Before anything later is reported they are
    // summed, so failures come in particle order.
    SphPairCentre group[sph_pair_max_lanes];
    int waiting = 0;
    auto flush = [&]() {
        const int lanes = waiting;
        waiting = 0;
        if (lanes == 0) return sph_success;
#ifdef QUORREL_X86_KERNELS
        double s[7][sph_pair_max_lanes];
        const int failed = level == SphSimd::avx512 ? sph_pair_group_avx512(group_in, group, lanes, s)
                                                    : sph_pair_group_avx2(group_in, group, lanes, s);
        if (failed == 0) {
            for (int l = 0; l < lanes; ++l) {
                const double sl[7] = {s[0][l], s[1][l], s[2][l], s[3][l], s[4][l], s[5][l], s[6][l]};
                store(static_cast<std::size_t>(group[l].index), sl);
            }
            return sph_success;
        }
#endif
        // Some pair failed a check, or is left to the scalar path: the first failure in
        // particle order is the one to report.
        for (int l = 0; l < lanes; ++l)
            if (int st = one(group[l])) return st;
        return sph_success;
    };
    KernelFactors factors;
    for (std::size_t i = 0; i < n; ++i) {
        if (in.key[i] != phase.phase) continue;
        if (want_pressure && !(d.rho[i] > 0.0)) {
            if (int st = flush()) return st;
            if (want_density)
                if (int st = density_pass_failure_from(d, in, i)) return st;
            return sph_fail(sph_error_argument, phase.own_density_message);
        }
        const int32_t cnt = d.neighbor_count[i];
        if (cnt == 0) continue;
        if (int st = check_h(d.h[i])) {
            if (int st2 = flush()) return st2;
            return st;
        }
        const SphPairCentre c = make_centre(in, i, list + d.neighbor_offset[i], cnt, want_pressure, factors);
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

int sph_pair_pass_sum(const SphPairPhase& phase, SphPairTerms terms) {
    const SphDatabase& d = sph_database;
    if (d.npart <= 0) return sph_success;
    if (phase.phase <= 0) return sph_fail(sph_error_argument, "pair pass needs a phase code");
    if (!pack_is_current(d))
        if (int st = pack(d)) return st;
    // A phase without active particles has nothing to sum (a model of solids only, say).
    const SphPairPass& p = sph_pair_pass;
    if (phase.phase < 32 && (p.pair_phases & (1u << phase.phase)) == 0) return sph_success;
    if (!p.pair_records_packed) pack_records(d);
    const int which = (terms.pressure ? 4 : 0) | (terms.viscosity ? 2 : 0) | (terms.density_rate ? 1 : 0);
    switch (which) {
        case 1: return pair_pass<false, false, true>(phase);
        case 2: return pair_pass<false, true, false>(phase);
        case 3: return pair_pass<false, true, true>(phase);
        case 4: return pair_pass<true, false, false>(phase);
        case 5: return pair_pass<true, false, true>(phase);
        case 6: return pair_pass<true, true, false>(phase);
        case 7: return pair_pass<true, true, true>(phase);
        default: return sph_success;  // no term, nothing to sum
    }
}

int sph_pair_pass_hold_pack() {
    sph_pair_pass.pair_pack_held = false;
    if (sph_database.npart <= 0) return sph_success;
    if (int st = pack(sph_database)) return st;
    sph_pair_pass.pair_pack_held = true;
    return sph_success;
}

void sph_pair_pass_release_pack() { sph_pair_pass.pair_pack_held = false; }

void sph_pair_pass_release_scratch() { sph_pair_pass = SphPairPass{}; }

}  // namespace quorrel
