// The candidate scan eight candidates at a time in two AVX2 registers, the passing
// indices packed by one permute. This source is compiled for AVX2; it is called only
// where the CPU has it.
#include <immintrin.h>

#include "particle/neighbor_scans/sph_neighbor_lanes.h"

namespace quorrel {
namespace {

struct LaneTables {
    // For each mask, the lanes to gather (ascending) so that the passing ones come first.
    alignas(32) int32_t compact[256][8];
};
constexpr LaneTables make_lane_tables() {
    LaneTables t{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int l = 0; l < 8; ++l)
            if (m & (1 << l)) t.compact[m][k++] = l;
    }
    return t;
}
constexpr LaneTables lane_tables = make_lane_tables();

struct Avx2 : DoubleFields {
    static constexpr int width = 8;
    static constexpr unsigned all_lanes = 0xFF;
    struct V {
        __m256d lo, hi;
    };
    static V set1(double a) { return {_mm256_set1_pd(a), _mm256_set1_pd(a)}; }
    static V load(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
    static V add(V a, V b) { return {_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)}; }
    static V sub(V a, V b) { return {_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)}; }
    static V mul(V a, V b) { return {_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)}; }
    // Same result as a < b ? b : a for the positive, non-NaN squares here.
    static V max(V a, V b) { return {_mm256_max_pd(a.lo, b.lo), _mm256_max_pd(a.hi, b.hi)}; }
    static unsigned le(V a, V b, unsigned lanes) {
        const unsigned lo = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a.lo, b.lo, _CMP_LE_OQ)));
        const unsigned hi = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a.hi, b.hi, _CMP_LE_OQ)));
        return (lo | hi << 4) & lanes;
    }
    static int compress(int32_t* out, const int32_t* idx, unsigned in) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx));
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(lane_tables.compact[in]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(v, order));
        return __builtin_popcount(in);
    }
};

}  // namespace

int64_t sph_neighbor_scan_avx2(const SphNeighborCandidates& c, const SphNeighborProbe& p,
                               const SphNeighborRange* ranges, int nranges, SphNeighborScanMode mode, int32_t* out) {
    return scan_dispatch<Avx2>(c, p, ranges, nranges, mode.own_reach_largest, out);
}

}  // namespace quorrel
