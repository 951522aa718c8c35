// The candidate scan, written once for every lane type. `S` is an instruction set's lane
// type with its operations (see the scan sources). Included only by those sources, each
// compiled for its own instruction set, so everything here has internal linkage and
// calls nothing from the standard library's headers.
//
// Every scan makes each decision as the scalar test does: the squared distance is formed
// with the same operations in the same order (no fused multiply-add), compared with
// bounds a little below and above the squared reach, and the few candidates between
// those bounds are settled by the exact test. A lane type in single precision widens the
// bounds by its rounding, so it settles more candidates exactly but never decides one
// differently.
#pragma once

#include "particle/neighbor_scans/sph_neighbor_scan.h"

namespace quorrel {
namespace {

// Rounding of the squares could move a pair lying on the boundary across it, so
// within this band around the boundary the distance itself decides.
constexpr double band_low = 1.0 - 1e-12, band_high = 1.0 + 1e-12;

bool within_exactly(double d2, double hi, double hj) { return __builtin_sqrt(d2) <= 2.0 * (hi < hj ? hj : hi); }

// The decision for sorted candidate s.
bool exact_in(const SphNeighborCandidates& c, const SphNeighborProbe& p, int64_t s) {
    const double dx = p.x - c.x[s], dy = p.y - c.y[s], dz = p.z - c.z[s];
    const double d2 = dx * dx + dy * dy + dz * dz;
    // (2 max(h_i, h_j))^2: rounding is monotonic, so the larger rounded square.
    const double r2 = p.reach2 < c.r2[s] ? c.r2[s] : p.reach2;
    const double low = r2 * band_low, high = r2 * band_high;
    bool in = d2 <= low;
    if (d2 > low && d2 <= high) [[unlikely]]
        in = within_exactly(d2, p.h, c.h[c.index[s]]);
    return in;
}

// Lanes of `undecided` (bit l is candidate s + l) settled by the exact test.
__attribute__((noinline)) unsigned settle_exactly(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                                                  int64_t s, unsigned in, unsigned undecided) {
    for (int l = 0; undecided >> l; ++l)
        if (undecided & (1u << l)) in = exact_in(c, p, s + l) ? (in | (1u << l)) : (in & ~(1u << l));
    return in;
}

template <class S, bool own_reach_largest, bool store>
int64_t scan_ranges(const SphNeighborCandidates& c, const SphNeighborProbe& p, const SphNeighborRange* ranges,
                    int nranges, int32_t* out) {
    constexpr int W = S::width;
    using V = typename S::V;
    using Real = typename S::Real;
    // Locals, so the stores to `out` do not force the pointers to be reloaded.
    const Real* __restrict cx = S::xs(c);
    const Real* __restrict cy = S::ys(c);
    const Real* __restrict cz = S::zs(c);
    const Real* __restrict cr2 = S::r2s(c);
    const int32_t* __restrict cidx = c.index;
    int32_t* __restrict o = out;
    const V px = S::set1(S::px(p)), py = S::set1(S::py(p)), pz = S::set1(S::pz(p));
    const V reach2 = S::set1(S::reach2(p));
    const V in_factor = S::set1(S::in_factor(p)), out_factor = S::set1(S::out_factor(p));
    const V own_in = S::mul(reach2, in_factor), own_out = S::mul(reach2, out_factor);
    int64_t k = 0;
    // Tests s .. s+W-1 and appends those passing among the mask bits of `lanes`. Every
    // candidate is written and kept only when it passes, so the loop has no
    // data-dependent branch but the rare settling.
    auto step = [&](int64_t s, unsigned lanes) __attribute__((always_inline)) {
        const V dx = S::sub(px, S::load(cx + s));
        const V dy = S::sub(py, S::load(cy + s));
        const V dz = S::sub(pz, S::load(cz + s));
        V bound_in = own_in, bound_out = own_out;
        if constexpr (!own_reach_largest) {
            const V r2 = S::max(S::load(cr2 + s), reach2);
            bound_in = S::mul(r2, in_factor);
            bound_out = S::mul(r2, out_factor);
        }
        const V d2 = S::add(S::add(S::mul(dx, dx), S::mul(dy, dy)), S::mul(dz, dz));
        unsigned in = S::le(d2, bound_in, lanes);
        const unsigned maybe = S::le(d2, bound_out, lanes);
        if (in != maybe) [[unlikely]]
            in = settle_exactly(c, p, s, in, maybe & ~in);
        if constexpr (store)
            k += S::compress(o + k, cidx + s, in);
        else
            k += __builtin_popcount(in);
    };
    for (int r = 0; r < nranges; ++r) {
        const int64_t e = ranges[r].e;
        int64_t s = ranges[r].b;
        for (; s + W <= e; s += W) step(s, S::all_lanes);
        // The lanes past the end hold the next cell's (or padding) entries.
        if (s < e) step(s, (1u << (e - s)) - 1u);
    }
    return k;
}

template <class S>
int64_t scan_dispatch(const SphNeighborCandidates& c, const SphNeighborProbe& p, const SphNeighborRange* ranges,
                      int nranges, bool own_reach_largest, int32_t* out) {
    if (out == nullptr)
        return own_reach_largest ? scan_ranges<S, true, false>(c, p, ranges, nranges, out)
                                 : scan_ranges<S, false, false>(c, p, ranges, nranges, out);
    return own_reach_largest ? scan_ranges<S, true, true>(c, p, ranges, nranges, out)
                             : scan_ranges<S, false, true>(c, p, ranges, nranges, out);
}

// The double-precision accessors every lane type in double shares.
struct DoubleFields {
    using Real = double;
    static const double* xs(const SphNeighborCandidates& c) { return c.x; }
    static const double* ys(const SphNeighborCandidates& c) { return c.y; }
    static const double* zs(const SphNeighborCandidates& c) { return c.z; }
    static const double* r2s(const SphNeighborCandidates& c) { return c.r2; }
    static double px(const SphNeighborProbe& p) { return p.x; }
    static double py(const SphNeighborProbe& p) { return p.y; }
    static double pz(const SphNeighborProbe& p) { return p.z; }
    static double reach2(const SphNeighborProbe& p) { return p.reach2; }
    static double in_factor(const SphNeighborProbe&) { return band_low; }
    static double out_factor(const SphNeighborProbe&) { return band_high; }
};

}  // namespace
}  // namespace quorrel
