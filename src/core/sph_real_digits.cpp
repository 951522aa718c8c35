#include "core/sph_real_digits.h"

#include <bit>
#include <cstring>

namespace quorrel {

namespace {

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr uint64_t pow10_u64[] = {1ull,
                                  10ull,
                                  100ull,
                                  1000ull,
                                  10000ull,
                                  100000ull,
                                  1000000ull,
                                  10000000ull,
                                  100000000ull,
                                  1000000000ull,
                                  10000000000ull,
                                  100000000000ull,
                                  1000000000000ull,
                                  10000000000000ull,
                                  100000000000000ull,
                                  1000000000000000ull,
                                  10000000000000000ull,
                                  100000000000000000ull,
                                  1000000000000000000ull,
                                  10000000000000000000ull};

}  // namespace

#ifdef __SIZEOF_INT128__

namespace {

using u128 = unsigned __int128;

// round(m * 2^e2 * 10^p) to nearest, ties to even, computed exactly; p in 0..22.
uint64_t scaled_round(uint64_t m, int e2, int p) {
    u128 scaled = m;
    if (p > 19) scaled *= pow10_u64[19], p -= 19;
    scaled *= pow10_u64[p];
    if (e2 >= 0) return static_cast<uint64_t>(scaled << e2);
    const int s = -e2;
    const u128 q = scaled >> s;
    const u128 rem = scaled & ((u128{1} << s) - 1);
    const u128 half = u128{1} << (s - 1);
    const bool up = rem > half || (rem == half && (q & 1) != 0);
    return static_cast<uint64_t>(q) + (up ? 1 : 0);
}

}  // namespace

bool sph_real_digits17(double value, uint64_t& digits, int& exponent) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0 || biased == 0x7ff) return false;
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int e2 = biased - 1075;
    const int binary_exponent = biased - 1023;  // value in [2^b, 2^(b+1))
    // floor(b * log10 2), the decimal exponent or one below it, in integers: 78913 / 2^18
    // is close enough to log10 2 for every |b| up to 1100 (the shift floors negatives).
    int e10 = (binary_exponent * 78913) >> 18;
    if (e10 < -6 || e10 > 16) return false;
    uint64_t q = scaled_round(m, e2, 16 - e10);
    if (q >= pow10_u64[17]) {
        ++e10;
        if (e10 > 16) return false;
        q = scaled_round(m, e2, 16 - e10);
    }
    if (q >= pow10_u64[17]) {  // rounded up to the next power of ten
        q /= 10;
        ++e10;
    }
    digits = q;
    exponent = e10;
    return true;
}

#else
bool sph_real_digits17(double, uint64_t&, int&) { return false; }
#endif

namespace {

// The eight decimal digits of v < 10^8, leading zeros included. On a little-endian
// machine all eight at once in one 64-bit word: v splits into two 4-digit lanes, each into
// two 2-digit lanes, each into two digits, by multiplications that divide exactly in that
// range (x * 10486 >> 20 is x / 100 below 10^4, y * 103 >> 10 is y / 10 below 100; every
// v below 10^8 was checked), and the lowest byte is the first digit.
inline void put_eight(char* out, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t high = v / 10000, low = v - high * 10000;
        const uint64_t quads = high | (low << 32);
        const uint64_t pairs_high = ((quads * 10486) >> 20) & 0x0000007F0000007Full;
        const uint64_t pairs = ((quads - 100 * pairs_high) << 16) + pairs_high;
        const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
        const uint64_t text = tens + ((pairs - 10 * tens) << 8) + 0x3030303030303030ull;
        std::memcpy(out, &text, 8);
    } else {
        for (int k = 6; k >= 0; k -= 2) {
            const uint32_t pair = v % 100;
            v /= 100;
            out[k] = digit_pairs[2 * pair];
            out[k + 1] = digit_pairs[2 * pair + 1];
        }
    }
}

}  // namespace

char* sph_write_digits17(char* out, uint64_t digits) {
    const uint64_t lead = digits / pow10_u64[16];
    const uint64_t rest = digits - lead * pow10_u64[16];  // below 10^16: two halves of eight
    const uint32_t high = static_cast<uint32_t>(rest / pow10_u64[8]);
    const uint32_t low = static_cast<uint32_t>(rest - high * pow10_u64[8]);
    out[0] = static_cast<char>('0' + lead);
    out[1] = '.';
    put_eight(out + 2, high);
    put_eight(out + 10, low);
    return out + 18;
}

}  // namespace quorrel
