// The group kernel of the pair sums, written once for every vector width. `S` is an
// instruction set's lane type with its operations (see the kernel sources). Included only
// by those sources, each compiled for its own instruction set, so everything here has
// internal linkage.
//
// Lanes add plain vertical sums: each lane's sums in its list order, one add per list
// position, and each term uses the scalar path's operations in the scalar path's order,
// so the bits are the scalar bits. A lane past the end of its list reads the blank record,
// whose key matches no phase, and adds +0 (a sum that starts at +0 never becomes -0, so
// adding +0 changes nothing). A pair whose sum of squares is below the normal range (a
// coincident one too) makes the group fail, so that the scalar path, which takes such a
// pair's length without the underflow, sums the group instead.
#pragma once

#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "particle/pair_kernels/sph_pair_kernel.h"

namespace quorrel {
namespace {

// Walks W neighbour lists side by side: `step(r)` runs once per list position with the
// records of the lanes' neighbours there, the blank record for a lane past its list's end.
// The lanes' record offsets are laid out a block of positions at a time, so one cursor
// serves all lanes instead of one per lane.
template <int W, class Step>
void walk_lists(const double* records, std::size_t stride, std::size_t blank, const int32_t* const nb[W],
                const int32_t cnt[W], Step&& step) {
    int32_t kmax = 0;
    for (int l = 0; l < W; ++l) kmax = cnt[l] > kmax ? cnt[l] : kmax;
    constexpr int32_t block = 64;
    uint32_t offsets[W][block];
    const uint32_t blank_offset = static_cast<uint32_t>(blank * stride);
    const double* r[W];
    for (int32_t k0 = 0; k0 < kmax; k0 += block) {
        const int32_t len = kmax - k0 < block ? kmax - k0 : block;
        for (int l = 0; l < W; ++l) {
            const int32_t have = cnt[l] - k0 < 0 ? 0 : (cnt[l] - k0 < len ? cnt[l] - k0 : len);
            const int32_t* from = nb[l] + k0;
            // The next block of the list is read ahead: the hardware does not see W
            // streams coming.
            for (int32_t c = 0; c < block; c += 16)
                _mm_prefetch(reinterpret_cast<const char*>(from + block + c), _MM_HINT_T0);
            uint32_t* to = offsets[l];
            for (int32_t k = 0; k < have; ++k) to[k] = static_cast<uint32_t>(from[k]) * static_cast<uint32_t>(stride);
            for (int32_t k = have; k < len; ++k) to[k] = blank_offset;
        }
        for (int32_t k = 0; k < len; ++k) {
            for (int l = 0; l < W; ++l) r[l] = records + offsets[l][k];
            step(r);
        }
    }
}

template <class S, bool want_pressure, bool want_viscosity, bool want_density>
int pair_group_sum(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                   double out[7][sph_pair_max_lanes]) {
    constexpr int W = S::width;
    using V = typename S::V;
    using M = typename S::M;

    // Unused lanes copy lane 0 with an empty list; a lane past the end of its list takes
    // the blank record.
    const SphPairCentre* cl[W];
    int32_t cnt[W];
    const int32_t* nb[W];
    for (int l = 0; l < W; ++l) {
        cl[l] = &centres[l < lanes ? l : 0];
        cnt[l] = l < lanes ? centres[l].cnt : 0;
        nb[l] = cl[l]->nb;
    }
    auto lane_values = [&](double SphPairCentre::*field) {
        double v[W];
        for (int l = 0; l < W; ++l) v[l] = cl[l]->*field;
        return S::load(v);
    };
    const V xi = lane_values(&SphPairCentre::x), yi = lane_values(&SphPairCentre::y);
    const V zi = lane_values(&SphPairCentre::z);
    const V vxi = lane_values(&SphPairCentre::vx), vyi = lane_values(&SphPairCentre::vy);
    const V vzi = lane_values(&SphPairCentre::vz);
    const V hi = lane_values(&SphPairCentre::h), rhoi = lane_values(&SphPairCentre::rho);
    const V pri = lane_values(&SphPairCentre::p_over_rho2);
    const V inv_h = lane_values(&SphPairCentre::inv_h), neg_c = lane_values(&SphPairCentre::neg_c);
    const V zero = S::zero(), half = S::set1(0.5), two = S::set1(2.0), one = S::set1(1.0);
    const V key = S::set1(in.key);
    const V smallest_normal = S::set1(std::numeric_limits<double>::min());
    const V eta2 = S::set1(in.eta2), beta = S::set1(in.beta), alpha_c0 = S::set1(in.alpha_c0);
    V px = zero, py = zero, pz = zero, qx = zero, qy = zero, qz = zero, ds = zero;
    M bad = S::none();

    auto step = [&](const double* const* r) {
        const typename S::Fields p = S::load_fields(r, 0);  // x y z key
        const typename S::Fields w = S::load_fields(r, 4);  // vx vy vz m
        const typename S::Fields e = S::load_fields(r, 8);  // rho h p/rho^2 -
        const M act = S::eq(p.f3, key);
        const V m = w.f3, rhoj = e.f0;
        const V rx = S::sub(xi, p.f0), ry = S::sub(yi, p.f1), rz = S::sub(zi, p.f2);
        const V r2 = S::add(S::add(S::mul(rx, rx), S::mul(ry, ry)), S::mul(rz, rz));
        bad = S::either(bad, S::both(act, S::lt(r2, smallest_normal)));
        const V rr = S::sqrt(r2);
        const V q = S::mul(rr, inv_h);
        const M inside = S::both(S::lt(q, two), S::gt(rr, zero));
        const V t = S::sub(one, S::mul(half, q));
        const V f = S::keep(inside, S::mul(neg_c, S::mul(S::mul(t, t), t)));
        const V fx = S::mul(f, rx), fy = S::mul(f, ry), fz = S::mul(f, rz);
        const V vx = S::sub(vxi, w.f0), vy = S::sub(vyi, w.f1), vz = S::sub(vzi, w.f2);
        if constexpr (want_density) {
            const V dot = S::add(S::add(S::mul(vx, fx), S::mul(vy, fy)), S::mul(vz, fz));
            ds = S::add(ds, S::keep(act, S::mul(m, dot)));
        }
        if constexpr (want_pressure) {
            bad = S::either(bad, S::but_not(act, S::gt(rhoj, zero)));
            const V s = S::keep(act, S::mul(m, S::add(e.f2, pri)));
            px = S::sub(px, S::mul(s, fx));
            py = S::sub(py, S::mul(s, fy));
            pz = S::sub(pz, S::mul(s, fz));
        }
        if constexpr (want_viscosity) {
            const V vr = S::add(S::add(S::mul(vx, rx), S::mul(vy, ry)), S::mul(vz, rz));
            const M use = S::both(S::lt(vr, zero), act);
            // Approaching pairs only; a position with none skips the divisions.
            if (S::any(use)) {
                const V hbar = S::mul(half, S::add(hi, e.f1));
                const V rhobar = S::mul(half, S::add(rhoi, rhoj));
                const M valid = S::both(S::gt(rhobar, zero), S::gt(hbar, zero));
                bad = S::either(bad, S::but_not(use, valid));
                const V denom = S::add(r2, S::mul(S::mul(eta2, hbar), hbar));
                const V mu = S::div(S::mul(hbar, vr), denom);
                const V pi_ij = S::div(S::sub(S::mul(S::mul(beta, mu), mu), S::mul(alpha_c0, mu)), rhobar);
                const V s = S::keep(use, S::mul(S::negate(m), pi_ij));
                qx = S::add(qx, S::mul(s, fx));
                qy = S::add(qy, S::mul(s, fy));
                qz = S::add(qz, S::mul(s, fz));
            }
        }
    };

    walk_lists<W>(in.records, sph_pair_record, in.blank, nb, cnt, step);
    if (S::any(bad)) return 1;
    const V sums[7] = {px, py, pz, qx, qy, qz, ds};
    for (int j = 0; j < 7; ++j) S::store(out[j], sums[j]);
    return 0;
}

// The pass's terms as compile-time choices.
template <class S>
int pair_group_dispatch(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                        double out[7][sph_pair_max_lanes]) {
    const int terms = (in.pressure ? 4 : 0) | (in.viscosity ? 2 : 0) | (in.density_rate ? 1 : 0);
    switch (terms) {
        case 1: return pair_group_sum<S, false, false, true>(in, centres, lanes, out);
        case 2: return pair_group_sum<S, false, true, false>(in, centres, lanes, out);
        case 3: return pair_group_sum<S, false, true, true>(in, centres, lanes, out);
        case 4: return pair_group_sum<S, true, false, false>(in, centres, lanes, out);
        case 5: return pair_group_sum<S, true, false, true>(in, centres, lanes, out);
        case 6: return pair_group_sum<S, true, true, false>(in, centres, lanes, out);
        case 7: return pair_group_sum<S, true, true, true>(in, centres, lanes, out);
        default: return pair_group_sum<S, false, false, false>(in, centres, lanes, out);
    }
}

}  // namespace
}  // namespace quorrel
