#include "output/sph_output_file.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quorrel {

namespace {

void right_justify(const char* text, std::size_t len, char* field) {
    const std::size_t pad = sph_output_real_width - len;
    std::memset(field, ' ', pad);
    std::memcpy(field + pad, text, len);
}

}  // namespace

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

#ifdef __SIZEOF_INT128__
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

// The 17 significant digits and decimal exponent of a positive normal double,
// exactly as correctly rounded formatting gives them, for the decimal exponents
// that cover most physical values (10^-6 up to below 10^17). False outside.
bool fast_digits(double value, uint64_t& digits, int& exponent) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0 || biased == 0x7ff) return false;
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int e2 = biased - 1075;
    const int binary_exponent = biased - 1023;  // value in [2^b, 2^(b+1))
    // floor(b * log10 2): the decimal exponent or one below it.
    int e10 = static_cast<int>(std::floor(binary_exponent * 0.30102999566398119521));
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
bool fast_digits(double, uint64_t&, int&) { return false; }
#endif

}  // namespace

namespace {

void format_real(double value, char* field, bool vtk) {
    if (std::isnan(value)) {
        right_justify("NaN", 3, field);
        return;
    }
    if (std::isinf(value)) {
        if (vtk)
            right_justify(value > 0.0 ? "inf" : "-inf", value > 0.0 ? 3 : 4, field);
        else if (value > 0.0)
            right_justify("Infinity", 8, field);
        else
            right_justify("-Infinity", 9, field);
        return;
    }
    if (value == 0.0) {
        // Negative zero too: files diff cleanly whatever sign the arithmetic left.
        std::memcpy(field, "  0.0000000000000000E+00", sph_output_real_width);
        return;
    }
    uint64_t digits = 0;
    int exponent = 0;
    if (fast_digits(std::fabs(value), digits, exponent)) {
        // [blank][-|blank]d.dddddddddddddddd E(+|-)dd : always 24 characters.
        char* p = field;
        *p++ = ' ';
        *p++ = value < 0.0 ? '-' : ' ';
        const uint64_t lead = digits / pow10_u64[16];
        uint64_t rest = digits - lead * pow10_u64[16];
        *p++ = static_cast<char>('0' + lead);
        *p++ = '.';
        for (int k = 14; k >= 0; k -= 2) {
            const uint64_t pair = rest % 100;
            rest /= 100;
            p[k] = digit_pairs[2 * pair];
            p[k + 1] = digit_pairs[2 * pair + 1];
        }
        p += 16;
        *p++ = 'E';
        *p++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        *p++ = static_cast<char>('0' + magnitude / 10);
        *p = static_cast<char>('0' + magnitude % 10);
        return;
    }
    // to_chars gives [-]d.dddddddddddddddde(+|-)dd[d], correctly rounded.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 16);
    const char* end = result.ptr;
    const char* e = static_cast<const char*>(std::memchr(text, 'e', static_cast<std::size_t>(end - text)));
    const std::size_t mantissa_len = static_cast<std::size_t>(e - text);
    const std::size_t exponent_digits = static_cast<std::size_t>(end - e) - 2;
    char out[32];
    std::memcpy(out, text, mantissa_len);
    std::size_t len = mantissa_len;
    if (vtk || exponent_digits <= 2) out[len++] = 'E';
    out[len++] = e[1];
    std::memcpy(out + len, e + 2, exponent_digits);
    len += exponent_digits;
    right_justify(out, len, field);
}

}  // namespace

void sph_output_format_real(double value, char* field) { format_real(value, field, false); }

void sph_output_format_real_vtk(double value, char* field) { format_real(value, field, true); }

SphOutputFile::~SphOutputFile() {
    if (file_ != nullptr) (void)close();
}

bool SphOutputFile::open(const std::string& path) {
    if (path.empty()) {
        (void)adopt(nullptr);
        return false;
    }
    return adopt(std::fopen(path.c_str(), "wb"));
}

bool SphOutputFile::adopt(std::FILE* file) {
    if (file_ != nullptr) (void)close();
    failed_ = false;
    used_ = 0;
    file_ = file;
    if (file_ == nullptr) return false;
    if (!buffer_) buffer_ = std::make_unique<char[]>(capacity_);
    return true;
}

void SphOutputFile::flush() {
    if (file_ != nullptr && used_ > 0) {
        if (std::fwrite(buffer_.get(), 1, used_, file_) != used_) failed_ = true;
    }
    used_ = 0;
}

bool SphOutputFile::close() {
    if (file_ == nullptr) return false;
    flush();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

void SphOutputFile::put(std::string_view text) {
    if (text.size() > capacity_) {
        flush();
        if (file_ != nullptr && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) failed_ = true;
        return;
    }
    ensure(text.size());
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
}

void SphOutputFile::put_char(char c) {
    ensure(1);
    buffer_[used_++] = c;
}

void SphOutputFile::put_int(int64_t value) {
    ensure(24);
    char* p = buffer_.get() + used_;
    const auto result = std::to_chars(p, p + 24, value);
    used_ += static_cast<std::size_t>(result.ptr - p);
}

void SphOutputFile::put_real(double value) {
    ensure(sph_output_real_width);
    format_real(value, buffer_.get() + used_, false);
    used_ += sph_output_real_width;
}

void SphOutputFile::put_real_vtk(double value) {
    ensure(sph_output_real_width);
    format_real(value, buffer_.get() + used_, true);
    used_ += sph_output_real_width;
}

}  // namespace quorrel
