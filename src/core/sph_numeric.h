// Numeric bounds shared by the readers and setters, and the one vector length of the code.
#pragma once

#include <algorithm>
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

// The length of a 3-vector whose squares overflow: scaled by its largest component first.
// A NaN or infinite component gives what the plain formula gives.
inline double sph_norm3_scaled(const double* v) {
    const double s = std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
    if (!(s <= std::numeric_limits<double>::max())) return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double a = v[0] / s, b = v[1] / s, c = v[2] / s;
    return s * std::sqrt(a * a + b * b + c * c);
}

// The Euclidean length of a 3-vector: the plain formula whenever the sum of squares is
// finite, so every ordinary length is bit for bit the plain one; the scaled one only when a
// square overflows (a component above about 1.34e154), so that a representable length of
// finite components is never reported as infinite.
inline double sph_norm3(const double* v) {
    const double squares = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    if (squares <= std::numeric_limits<double>::max()) return std::sqrt(squares);
    return sph_norm3_scaled(v);
}

// |a - b|, also when a difference of finite coordinates overflows: then it is twice the
// length between the halved points (halving is exact).
inline double sph_distance3(const double* a, const double* b) {
    const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    const double length = sph_norm3(d);
    if (!std::isinf(length)) return length;
    const double h[3] = {0.5 * a[0] - 0.5 * b[0], 0.5 * a[1] - 0.5 * b[1], 0.5 * a[2] - 0.5 * b[2]};
    return 2.0 * sph_norm3(h);
}

// The acceleration step limit sqrt(h / |a|), for |a| > 0. When h / |a| underflows to zero
// the limit itself is still representable (above about 2e-162), and it is taken as
// sqrt(h) / sqrt(|a|): a zero limit would read as "no limit".
inline double sph_acceleration_step(double h, double acceleration) {
    const double ratio = h / acceleration;
    return ratio > 0.0 ? std::sqrt(ratio) : std::sqrt(h) / std::sqrt(acceleration);
}

}  // namespace quorrel
