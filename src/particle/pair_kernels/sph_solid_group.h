// The solid group kernels, written once for every vector width: the internal force and the
// velocity-gradient sums of up to sph_pair_max_lanes particles, W side by side. `S` is an
// instruction set's lane type (see the kernel sources); beside the fluid kernel's
// operations it has add_where(m, a, b): a + b in the lanes of m, a in the others. Included
// only by those sources, each compiled for its own instruction set, so everything here has
// internal linkage.
//
// Each lane adds its partners' terms in its list order with the scalar path's operations
// in the scalar path's order. A partner that takes no part (not active, or the blank record
// past a list's end) leaves the sum as it is: masked out where the lanes have masks, +0
// added where they do not, which is the same since a sum that starts at +0 never becomes -0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "particle/pair_kernels/sph_pair_group.h"
#include "particle/pair_kernels/sph_pair_kernel.h"

namespace quorrel {
namespace {

// The group's lanes W at a time, from lane `first` on: `cl` the lanes' particles (unused
// lanes copy the first with an empty list), `cnt` their list lengths.
template <int W>
struct SolidBlock {
    const SphSolidLane* cl[W];
    int32_t cnt[W];
    const int32_t* nb[W];

    SolidBlock(const SphSolidLane* lanes, int count, int first) {
        for (int l = 0; l < W; ++l) {
            const bool used = first + l < count;
            cl[l] = &lanes[used ? first + l : first];
            cnt[l] = used ? cl[l]->count : 0;
            nb[l] = cl[l]->partners;
        }
    }

    template <class S, class F>
    typename S::V values(F field) const {
        double v[W];
        for (int l = 0; l < W; ++l) v[l] = field(*cl[l]);
        return S::load(v);
    }
};

// Runs `block(b, first)` over the `count` lanes W at a time; `block` stores its sums from
// column `first` on.
template <int W, class Block>
void solid_blocks(const SphSolidLane* lanes, int count, Block&& block) {
    static_assert(sph_pair_max_lanes % W == 0, "a block's columns lie inside the group's");
    for (int first = 0; first < count; first += W) block(SolidBlock<W>(lanes, count, first), first);
}

template <class S>
void solid_force_group(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                       double acc[3][sph_pair_max_lanes]) {
    constexpr int W = S::width;
    using V = typename S::V;
    using M = typename S::M;
    solid_blocks<W>(lanes, count, [&](const SolidBlock<W>& b, int first) {
        const V xi = b.template values<S>([](const SphSolidLane& a) { return a.x[0]; });
        const V yi = b.template values<S>([](const SphSolidLane& a) { return a.x[1]; });
        const V zi = b.template values<S>([](const SphSolidLane& a) { return a.x[2]; });
        V si[6];
        for (int c = 0; c < 6; ++c) si[c] = b.template values<S>([c](const SphSolidLane& a) { return a.stress[c]; });
        const V soft_i = b.template values<S>([](const SphSolidLane& a) { return a.softening; });
        const V v0_i = b.template values<S>([](const SphSolidLane& a) { return a.volume; });
        const V mass_i = b.template values<S>([](const SphSolidLane& a) { return a.mass; });
        const V half = S::set1(0.5), one = S::set1(1.0);
        // A lane without positive mass takes no force.
        const M massive = S::gt(mass_i, S::zero());
        V ax = S::zero(), ay = S::zero(), az = S::zero();
        walk_lists<W>(records, sph_solid_force_record, blank, b.nb, b.cnt, [&](const double* const* r) {
            const typename S::Fields p = S::load_fields(r, 0);  // x0 y0 z0 V0
            const typename S::Fields a = S::load_fields(r, 4);  // s1 s2 s3 s4
            const typename S::Fields e = S::load_fields(r, 8);  // s5 s6 softening take
            const M take = S::both(massive, S::eq(e.f3, one));
            const V rx = S::sub(p.f0, xi), ry = S::sub(p.f1, yi), rz = S::sub(p.f2, zi);
            const V dist = S::sqrt(S::add(S::add(S::mul(rx, rx), S::mul(ry, ry)), S::mul(rz, rz)));
            const V ex = S::div(rx, dist), ey = S::div(ry, dist), ez = S::div(rz, dist);
            const V sj[6] = {a.f0, a.f1, a.f2, a.f3, e.f0, e.f1};
            V m[6];
            for (int c = 0; c < 6; ++c) m[c] = S::mul(half, S::add(si[c], sj[c]));
            const V soft_mean = S::mul(half, S::add(soft_i, e.f2));
            // t = mean stress . e, as the scalar traction.
            const V tx = S::add(S::add(S::mul(m[0], ex), S::mul(m[3], ey)), S::mul(m[5], ez));
            const V ty = S::add(S::add(S::mul(m[3], ex), S::mul(m[1], ey)), S::mul(m[4], ez));
            const V tz = S::add(S::add(S::mul(m[5], ex), S::mul(m[4], ey)), S::mul(m[2], ez));
            const V weight = S::div(S::mul(S::mul(v0_i, p.f3), soft_mean), dist);
            ax = S::add_where(take, ax, S::div(S::mul(tx, weight), mass_i));
            ay = S::add_where(take, ay, S::div(S::mul(ty, weight), mass_i));
            az = S::add_where(take, az, S::div(S::mul(tz, weight), mass_i));
        });
        S::store(acc[0] + first, ax);
        S::store(acc[1] + first, ay);
        S::store(acc[2] + first, az);
    });
}

template <class S>
void solid_gradient_group(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                          double g[9][sph_pair_max_lanes]) {
    constexpr int W = S::width;
    using V = typename S::V;
    using M = typename S::M;
    solid_blocks<W>(lanes, count, [&](const SolidBlock<W>& b, int first) {
        V xi[3], vi[3];
        for (int k = 0; k < 3; ++k) {
            xi[k] = b.template values<S>([k](const SphSolidLane& a) { return a.x[k]; });
            vi[k] = b.template values<S>([k](const SphSolidLane& a) { return a.v[k]; });
        }
        const V one = S::set1(1.0);
        V sum[9];
        for (V& s : sum) s = S::zero();
        walk_lists<W>(records, sph_solid_gradient_record, blank, b.nb, b.cnt, [&](const double* const* r) {
            const typename S::Fields p = S::load_fields(r, 0);  // x0 y0 z0 V0
            const typename S::Fields w = S::load_fields(r, 4);  // vx vy vz take
            const M take = S::eq(w.f3, one);
            const V rr[3] = {S::sub(p.f0, xi[0]), S::sub(p.f1, xi[1]), S::sub(p.f2, xi[2])};
            const V dv[3] = {S::sub(w.f0, vi[0]), S::sub(w.f1, vi[1]), S::sub(w.f2, vi[2])};
            const V vd[3] = {S::mul(p.f3, dv[0]), S::mul(p.f3, dv[1]), S::mul(p.f3, dv[2])};
            for (int l = 0; l < 3; ++l)
                for (int k = 0; k < 3; ++k) sum[k + 3 * l] = S::add_where(take, sum[k + 3 * l], S::mul(vd[k], rr[l]));
        });
        for (int c = 0; c < 9; ++c) S::store(g[c] + first, sum[c]);
    });
}

}  // namespace
}  // namespace quorrel
