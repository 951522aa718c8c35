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

// The length over the whole double range: bit for bit the plain one wherever the sum of
// squares is a normal double; scaled by the largest component where the squares overflow
// (as sph_norm3) or underflow, so that a nonzero vector is never given length 0 because
// its components are below about 1.5e-154.
inline double sph_norm3_full_range(const double* v) {
    const double squares = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    if (squares >= std::numeric_limits<double>::min() && squares <= std::numeric_limits<double>::max())
        return std::sqrt(squares);
    if (v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0) return 0.0;
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

// x / (a b 2^k) for positive x, a and b, also where a b, or a quotient on the way,
// leaves the double range: mantissas and exponents apart, so that only the result is
// rounded (twice, where it is below the normal range).
inline double sph_scaled_quotient(double x, double a, double b, int k) {
    int ex = 0, ea = 0, eb = 0;
    const double mx = std::frexp(x, &ex), ma = std::frexp(a, &ea), mb = std::frexp(b, &eb);
    return std::ldexp(mx / (ma * mb), ex - ea - eb - k);
}

// The speed step limit h / (c + |v|), for h > 0 and c > 0: the plain quotient whenever
// c + |v| is finite, else h / (2 (c/2 + |v/2|)) with the factor 2 kept out of the sum,
// so that a large finite speed does not make the limit 0, which would read as "no limit".
// It is 0 only where the limit itself is below the double range (or v is infinite).
inline double sph_speed_step(double h, double c, const double* v) {
    const double speed = c + sph_norm3(v);
    if (speed <= std::numeric_limits<double>::max()) return h / speed;
    const double half_v[3] = {0.5 * v[0], 0.5 * v[1], 0.5 * v[2]};
    return sph_scaled_quotient(h, 0.5 * c + sph_norm3(half_v), 1.0, 1);
}

// sph_acceleration_step of the acceleration vector a of length sph_norm3(a) > 0, also where
// that length overflows: then sqrt(h / |a/2|) / sqrt 2.
inline double sph_acceleration_step3(double h, const double* a, double length) {
    if (length <= std::numeric_limits<double>::max()) return sph_acceleration_step(h, length);
    const double half_a[3] = {0.5 * a[0], 0.5 * a[1], 0.5 * a[2]};
    return sph_acceleration_step(h, sph_norm3(half_a)) / std::sqrt(2.0);
}

}  // namespace quorrel
