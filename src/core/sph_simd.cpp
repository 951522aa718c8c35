#include "core/sph_simd.h"

#include <algorithm>

namespace quorrel {

namespace {

SphSimd cpu_level() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return SphSimd::avx512;
    if (__builtin_cpu_supports("avx2")) return SphSimd::avx2;
#endif
    return SphSimd::scalar;
}

SphSimd cap = SphSimd::avx512;

}  // namespace

SphSimd sph_simd_level() {
    static const SphSimd cpu = cpu_level();
    return std::min(cpu, cap);
}

void sph_simd_set_cap(SphSimd level) { cap = level; }

}  // namespace quorrel
