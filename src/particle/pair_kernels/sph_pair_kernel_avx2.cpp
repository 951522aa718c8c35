// The pair-sum and solid group kernels with four particles side by side (AVX2). This source is
// compiled for AVX2; it is called only where the CPU has it.
#include <immintrin.h>

#include "particle/pair_kernels/sph_pair_group.h"
#include "particle/pair_kernels/sph_solid_group.h"

namespace quorrel {
namespace {

struct Avx2 {
    static constexpr int width = 4;
    using V = __m256d;
    using M = __m256d;  // all bits set in a lane that is in
    struct Fields {
        V f0, f1, f2, f3;
    };

    static V zero() { return _mm256_setzero_pd(); }
    static V set1(double a) { return _mm256_set1_pd(a); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V a) { _mm256_storeu_pd(p, a); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static V negate(V a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M gt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static M either(M a, M b) { return _mm256_or_pd(a, b); }
    static M but_not(M a, M b) { return _mm256_andnot_pd(b, a); }
    static M none() { return _mm256_setzero_pd(); }
    static bool any(M m) { return _mm256_movemask_pd(m) != 0; }
    static V keep(M m, V a) { return _mm256_and_pd(a, m); }
    // No masked add at this width: +0 where m is out.
    static V add_where(M m, V a, V b) { return add(a, keep(m, b)); }

    // Fields 0..3 of the 4-double chunk at `off` of records r[0..3], one record per lane:
    // two 128-bit loads per record pair and unpacks, instead of a gather per field.
    static Fields load_fields(const double* const r[4], std::size_t off) {
        const V a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[0] + off)), _mm_loadu_pd(r[2] + off), 1);
        const V b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[1] + off)), _mm_loadu_pd(r[3] + off), 1);
        const V c = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[0] + off + 2)),
                                         _mm_loadu_pd(r[2] + off + 2), 1);
        const V e = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r[1] + off + 2)),
                                         _mm_loadu_pd(r[3] + off + 2), 1);
        return Fields{_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b), _mm256_unpacklo_pd(c, e),
                      _mm256_unpackhi_pd(c, e)};
    }
};

}  // namespace

int sph_pair_group_avx2(const SphPairGroupInput& in, const SphPairCentre* centres, int lanes,
                        double out[7][sph_pair_max_lanes]) {
    return pair_group_dispatch<Avx2>(in, centres, lanes, out);
}

void sph_solid_force_group_avx2(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                double acc[3][sph_pair_max_lanes]) {
    solid_force_group<Avx2>(records, blank, lanes, count, acc);
}

void sph_solid_gradient_group_avx2(const double* records, std::size_t blank, const SphSolidLane* lanes, int count,
                                   double g[9][sph_pair_max_lanes]) {
    solid_gradient_group<Avx2>(records, blank, lanes, count, g);
}

}  // namespace quorrel
