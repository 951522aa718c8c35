// The candidate scan with AVX-512: eight doubles per register, or, with the prefilter,
// sixteen single-precision positions per register whose bounds are widened by their
// rounding; compare masks and a compressing store pack the passing indices. This source
// is compiled for AVX-512F/VL; it is called only where the CPU has them. The build
// forbids fused multiply-adds, so every square and sum is rounded as in the scalar scan.
#include <immintrin.h>

#include "particle/neighbor_scans/sph_neighbor_lanes.h"

namespace quorrel {
namespace {

// (The all-lanes masked form of max: the plain one trips a maybe-uninitialized warning
// in GCC 12.)
struct Avx512 : DoubleFields {
    static constexpr int width = 8;
    static constexpr unsigned all_lanes = 0xFF;
    using V = __m512d;
    static V set1(double a) { return _mm512_set1_pd(a); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V max(V a, V b) { return _mm512_maskz_max_pd(0xFF, a, b); }
    static unsigned le(V a, V b, unsigned lanes) {
        return _mm512_mask_cmp_pd_mask(static_cast<__mmask8>(lanes), a, b, _CMP_LE_OQ);
    }
    static int compress(int32_t* out, const int32_t* idx, unsigned in) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi32(static_cast<__mmask8>(in), v));
        return __builtin_popcount(in);
    }
};

// Positions relative to the box centre in single precision, the bounds widened by the
// worst rounding of those positions and of the arithmetic (the probe's factors): a pair
// inside the lower bound is certainly within reach, one above the upper bound certainly
// not, and the few between are settled exactly.
struct Avx512Prefilter {
    using Real = float;
    static constexpr int width = 16;
    static constexpr unsigned all_lanes = 0xFFFF;
    using V = __m512;
    static const float* xs(const SphNeighborCandidates& c) { return c.fx; }
    static const float* ys(const SphNeighborCandidates& c) { return c.fy; }
    static const float* zs(const SphNeighborCandidates& c) { return c.fz; }
    static const float* r2s(const SphNeighborCandidates& c) { return c.fr2; }
    static float px(const SphNeighborProbe& p) { return p.fx; }
    static float py(const SphNeighborProbe& p) { return p.fy; }
    static float pz(const SphNeighborProbe& p) { return p.fz; }
    static float reach2(const SphNeighborProbe& p) { return p.freach2; }
    static float in_factor(const SphNeighborProbe& p) { return p.in_factor; }
    static float out_factor(const SphNeighborProbe& p) { return p.out_factor; }
    static V set1(float a) { return _mm512_set1_ps(a); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V max(V a, V b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
    static unsigned le(V a, V b, unsigned lanes) {
        return _mm512_mask_cmp_ps_mask(static_cast<__mmask16>(lanes), a, b, _CMP_LE_OQ);
    }
    static int compress(int32_t* out, const int32_t* idx, unsigned in) {
        const __m512i v = _mm512_loadu_si512(idx);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi32(static_cast<__mmask16>(in), v));
        return __builtin_popcount(in);
    }
};

}  // namespace

int64_t sph_neighbor_scan_avx512(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                                 const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out) {
    if (mode.prefilter) return scan_dispatch<Avx512Prefilter>(c, p, ranges, nranges, mode.own_reach_largest, out);
    return scan_dispatch<Avx512>(c, p, ranges, nranges, mode.own_reach_largest, out);
}

}  // namespace quorrel
