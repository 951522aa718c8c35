// The pair-sum and solid group kernels with eight particles side by side (AVX-512). This source is
// compiled for AVX-512F/VL; it is called only where the CPU has them. Twice the pairs per
// instruction of the four-lane kernel keeps more pairs in flight, which is what bounds
// that one. The build forbids fused multiply-adds, so every product and sum is rounded
// as in the scalar path.
#include <immintrin.h>

#include <cstdint>

#include "particle/pair_kernels/sph_pair_group.h"
#include "particle/pair_kernels/sph_solid_group.h"

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
    static V add_where(M m, V a, V b) { return _mm512_mask_add_pd(a, m, a, b); }

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

void sph_solid_force_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                  double acc[3][sph_pair_max_lanes]) {
    solid_force_group<Avx512>(records, blank, lanes, count, acc);
}

void sph_solid_gradient_group_avx512(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                     double g[9][sph_pair_max_lanes]) {
    solid_gradient_group<Avx512>(records, blank, lanes, count, g);
}

int sph_pair_group_avx512(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                          double out[7][sph_pair_max_lanes]) {
    return pair_group_dispatch<Avx512>(in, centres, lanes, out);
}

}  // namespace quorrel
