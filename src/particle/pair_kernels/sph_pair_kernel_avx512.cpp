// The pair-sum group kernel with eight particles side by side (AVX-512). This source is
// compiled for AVX-512F/VL; it is called only where the CPU has them. Twice the pairs per
// instruction of the four-lane kernel keeps more pairs in flight, which is what bounds
// that one. The build forbids fused multiply-adds, so every product and sum is rounded
// as in the scalar path.
#include <immintrin.h>

#include <cstdint>

#include "particle/pair_kernels/sph_pair_group.h"

namespace quorrel {
namespace {

// (The all-lanes masked forms of sqrt, insert and unpack: the plain ones trip a
// maybe-uninitialized warning in GCC 12.)
struct Avx512 {
    static constexpr int width = 8;
    using V = __m512d;
    using M = __mmask8;
    struct Fields {
        V f0, f1, f2, f3;
    };

    static V zero() { return _mm512_setzero_pd(); }
    static V set1(double a) { return _mm512_set1_pd(a); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V a) { _mm512_storeu_pd(p, a); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_maskz_sqrt_pd(0xFF, a); }
    static V negate(V a) {
        return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
    }
    static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M gt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static M either(M a, M b) { return static_cast<M>(a | b); }
    static M but_not(M a, M b) { return static_cast<M>(a & ~b); }
    static M none() { return 0; }
    static bool any(M m) { return m != 0; }
    static V keep(M m, V a) { return _mm512_maskz_mov_pd(m, a); }

    // Fields 0..3 of the 4-double chunk at `off` of records r[0..7], one record per lane:
    // [r0 | r4], [r1 | r5], [r2 | r6], [r3 | r7]; the unpacks pair fields of neighbouring
    // records within each 128-bit lane, and the two-source permutes gather the lanes.
    static Fields load_fields(const double* const r[8], std::size_t off) {
        auto pair = [&](int a, int b) {
            const V low = _mm512_maskz_insertf64x4(0xFF, _mm512_setzero_pd(), _mm256_loadu_pd(r[a] + off), 0);
            return _mm512_maskz_insertf64x4(0xFF, low, _mm256_loadu_pd(r[b] + off), 1);
        };
        const V a = pair(0, 4), b = pair(1, 5), c = pair(2, 6), d = pair(3, 7);
        const V t0 = _mm512_maskz_unpacklo_pd(0xFF, a, b), t1 = _mm512_maskz_unpackhi_pd(0xFF, a, b);
        const V t2 = _mm512_maskz_unpacklo_pd(0xFF, c, d), t3 = _mm512_maskz_unpackhi_pd(0xFF, c, d);
        const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        return Fields{_mm512_permutex2var_pd(t0, lo, t2), _mm512_permutex2var_pd(t1, lo, t3),
                      _mm512_permutex2var_pd(t0, hi, t2), _mm512_permutex2var_pd(t1, hi, t3)};
    }
};

}  // namespace

namespace {

// Up to eight lanes of solid particles, each walking its own partner list: `step(r, live)`
// runs once per list position with the partners' records and the lanes still in their list.
template <class Step>
void solid_lanes(const double* records, std::size_t blank, std::size_t stride, const SphSolidLane* const cl[8],
                 const int32_t cnt[8], Step step) {
    const int32_t* nb[Avx512::width];
    for (int l = 0; l < Avx512::width; ++l) nb[l] = cl[l]->partners;
    walk_lists<Avx512::width>(records, stride, blank, nb, cnt, step);
}

// Unused lanes copy lane 0 with an empty list.
void solid_lane_setup(const SphSolidLane* lanes, int count, const SphSolidLane* cl[8], int32_t cnt[8]) {
    for (int l = 0; l < Avx512::width; ++l) {
        cl[l] = &lanes[l < count ? l : 0];
        cnt[l] = l < count ? lanes[l].count : 0;
    }
}

template <class F>
Avx512::V solid_lane_values(const SphSolidLane* const cl[8], F field) {
    double v[Avx512::width];
    for (int l = 0; l < Avx512::width; ++l) v[l] = field(*cl[l]);
    return Avx512::load(v);
}

}  // namespace

void sph_solid_force_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                  double acc[3][sph_pair_max_lanes]) {
    using S = Avx512;
    using V = S::V;
    const SphSolidLane* cl[S::width];
    int32_t cnt[S::width];
    solid_lane_setup(lanes, count, cl, cnt);
    const V xi = solid_lane_values(cl, [](const SphSolidLane& a) { return a.x[0]; });
    const V yi = solid_lane_values(cl, [](const SphSolidLane& a) { return a.x[1]; });
    const V zi = solid_lane_values(cl, [](const SphSolidLane& a) { return a.x[2]; });
    V si[6];
    for (int c = 0; c < 6; ++c) si[c] = solid_lane_values(cl, [c](const SphSolidLane& a) { return a.stress[c]; });
    const V soft_i = solid_lane_values(cl, [](const SphSolidLane& a) { return a.softening; });
    const V v0_i = solid_lane_values(cl, [](const SphSolidLane& a) { return a.volume; });
    const V mass_i = solid_lane_values(cl, [](const SphSolidLane& a) { return a.mass; });
    const V half = S::set1(0.5), one = S::set1(1.0);
    // A lane without positive mass takes no force.
    const __mmask8 massive = S::gt(mass_i, S::zero());
    V ax = S::zero(), ay = S::zero(), az = S::zero();
    solid_lanes(records, blank, sph_solid_force_record, cl, cnt, [&](const double* const r[8]) {
        const S::Fields p = S::load_fields(r, 0);  // x0 y0 z0 V0
        const S::Fields a = S::load_fields(r, 4);  // s1 s2 s3 s4
        const S::Fields b = S::load_fields(r, 8);  // s5 s6 softening take
        const __mmask8 take = S::both(massive, S::eq(b.f3, one));
        const V rx = S::sub(p.f0, xi), ry = S::sub(p.f1, yi), rz = S::sub(p.f2, zi);
        const V dist = S::sqrt(S::add(S::add(S::mul(rx, rx), S::mul(ry, ry)), S::mul(rz, rz)));
        const V ex = S::div(rx, dist), ey = S::div(ry, dist), ez = S::div(rz, dist);
        const V sj[6] = {a.f0, a.f1, a.f2, a.f3, b.f0, b.f1};
        V m[6];
        for (int c = 0; c < 6; ++c) m[c] = S::mul(half, S::add(si[c], sj[c]));
        const V soft_mean = S::mul(half, S::add(soft_i, b.f2));
        // t = mean stress . e, as the scalar traction.
        const V tx = S::add(S::add(S::mul(m[0], ex), S::mul(m[3], ey)), S::mul(m[5], ez));
        const V ty = S::add(S::add(S::mul(m[3], ex), S::mul(m[1], ey)), S::mul(m[4], ez));
        const V tz = S::add(S::add(S::mul(m[5], ex), S::mul(m[4], ey)), S::mul(m[2], ez));
        const V weight = S::div(S::mul(S::mul(v0_i, p.f3), soft_mean), dist);
        ax = _mm512_mask_add_pd(ax, take, ax, S::div(S::mul(tx, weight), mass_i));
        ay = _mm512_mask_add_pd(ay, take, ay, S::div(S::mul(ty, weight), mass_i));
        az = _mm512_mask_add_pd(az, take, az, S::div(S::mul(tz, weight), mass_i));
    });
    S::store(acc[0], ax);
    S::store(acc[1], ay);
    S::store(acc[2], az);
}

void sph_solid_gradient_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                     double g[9][sph_pair_max_lanes]) {
    using S = Avx512;
    using V = S::V;
    const SphSolidLane* cl[S::width];
    int32_t cnt[S::width];
    solid_lane_setup(lanes, count, cl, cnt);
    V xi[3], vi[3];
    for (int k = 0; k < 3; ++k) {
        xi[k] = solid_lane_values(cl, [k](const SphSolidLane& a) { return a.x[k]; });
        vi[k] = solid_lane_values(cl, [k](const SphSolidLane& a) { return a.v[k]; });
    }
    const V one = S::set1(1.0);
    V sum[9];
    for (V& s : sum) s = S::zero();
    solid_lanes(records, blank, sph_solid_gradient_record, cl, cnt, [&](const double* const r[8]) {
        const S::Fields p = S::load_fields(r, 0);  // x0 y0 z0 V0
        const S::Fields w = S::load_fields(r, 4);  // vx vy vz take
        const __mmask8 take = S::eq(w.f3, one);
        const V rr[3] = {S::sub(p.f0, xi[0]), S::sub(p.f1, xi[1]), S::sub(p.f2, xi[2])};
        const V dv[3] = {S::sub(w.f0, vi[0]), S::sub(w.f1, vi[1]), S::sub(w.f2, vi[2])};
        const V vd[3] = {S::mul(p.f3, dv[0]), S::mul(p.f3, dv[1]), S::mul(p.f3, dv[2])};
        for (int l = 0; l < 3; ++l)
            for (int k = 0; k < 3; ++k)
                sum[k + 3 * l] = _mm512_mask_add_pd(sum[k + 3 * l], take, sum[k + 3 * l], S::mul(vd[k], rr[l]));
    });
    for (int c = 0; c < 9; ++c) S::store(g[c], sum[c]);
}

int sph_pair_group_avx512(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                          double out[7][sph_pair_max_lanes]) {
    return pair_group_dispatch<Avx512>(in, centres, lanes, out);
}

}  // namespace quorrel
