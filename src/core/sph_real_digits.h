// The 17 significant digits of a double, as correctly rounded scientific formatting
// with 16 decimals ("%.16e") gives them, worked out exactly in integers where that is
// cheap. Formatters take this path first and fall back to std::to_chars outside it.
#pragma once

#include <cstdint>

namespace quorrel {

// For a positive normal double from about 1e-6 up to 1e17: digits in [1e16, 1e17) and the
// decimal exponent (-6 to 17), value ~ digits * 10^(exponent - 16). False for the rest.
bool sph_real_digits17(double value, uint64_t& digits, int& exponent);

// "d.dddddddddddddddd" (18 characters) from digits in [1e16, 1e17); the end.
char* sph_write_digits17(char* out, uint64_t digits);

}  // namespace quorrel
