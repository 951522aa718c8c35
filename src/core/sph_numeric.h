// Numeric bounds shared by the readers and setters.
#pragma once

#include <cmath>
#include <limits>

namespace quorrel {

// Half the largest double (bit pattern 0x7FDFFFFFFFFFFFFF): the largest magnitude taken as a
// usable value, so that the sum or difference of two usable values cannot overflow.
inline constexpr double sph_half_max_double = 8.988465674311579e307;
static_assert(sph_half_max_double == std::numeric_limits<double>::max() / 2);

// Not a NaN and of magnitude at most sph_half_max_double.
inline bool sph_within_half_max(double value) { return value == value && std::fabs(value) <= sph_half_max_double; }

// Not a NaN and of magnitude below the largest double: the largest double itself counts
// as an overflow, as the infinities do.
inline bool sph_below_max_double(double value) {
    return value == value && std::fabs(value) < std::numeric_limits<double>::max();
}

}  // namespace quorrel
