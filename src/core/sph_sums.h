// Totals and means over many particles whose plain running sums can overflow although
// every term was accepted. The diagnostics keep their plain sums, which decide every
// ordinary result bit for bit; only a sum that ends non-finite is taken again with these.
#pragma once

#include <cmath>
#include <cstddef>

namespace quorrel {

// A sum of products a·b with both factors scaled by 2^-544 (exact for normal values): a
// term whose factors reach the largest double, and a sum of up to 2^60 such terms, stay
// finite, and terms of opposite sign cancel instead of meeting as inf - inf. Terms below
// about 1e-300 vanish, which cannot matter beside terms large enough to have overflowed.
// value() scales back: +-inf exactly when the total itself is not representable.
class SphScaledSum {
public:
    void add(double a, double b = 1.0) { scaled_ += (a * 0x1p-544) * (b * 0x1p-544); }
    double value() const { return std::ldexp(scaled_, 1088); }

private:
    double scaled_ = 0.0;
};

// Sum of m_i v_i over the particles i < n that `take(i)` accepts, taken at the scale of
// SphScaledSum: for a momentum whose plain sum overflowed. `out` is +-inf only where the
// total is not representable.
template <typename Take>
void sph_scaled_momentum(std::size_t n, const double* mass, const double* v, Take take, double out[3]) {
    SphScaledSum sums[3];
    for (std::size_t i = 0; i < n; ++i)
        if (take(i))
            for (std::size_t k = 0; k < 3; ++k) sums[k].add(mass[i], v[3 * i + k]);
    for (std::size_t k = 0; k < 3; ++k) out[k] = sums[k].value();
}

}  // namespace quorrel
