// Which vector instructions the pair kernels may use. Every level gives the same bits
// (same operations, same order, no fused multiply-add), so this only changes speed;
// tests lower the cap to run the narrower paths on a wider CPU and compare.
#pragma once

namespace quorrel {

enum class SphSimd { scalar = 0, avx2 = 1, avx512 = 2 };

// The widest level both this CPU and the cap allow.
SphSimd sph_simd_level();
// Highest level the kernels may use from now on (starts at avx512: whatever the CPU has).
void sph_simd_set_cap(SphSimd cap);

}  // namespace quorrel
