// Option lookup, number and logical reading, and located messages of the deck reader.
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_text.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_reader.h"
#include "input/sph_input_time.h"

namespace quorrel {

namespace {

// The first blank-separated token of the text; empty when there is none.
std::string_view first_token(std::string_view text) {
    text = sph_trim_left(text);
    const std::size_t end = text.find(' ');
    return end == std::string_view::npos ? text : text.substr(0, end);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Finds the value of the first field whose key equals the option name.
bool find_option(std::string_view line, std::string_view option_name, std::string* value) {
    SphCsvFields fields;
    sph_inp_split_csv(line, fields);
    const std::string wanted = sph_upper(sph_trim_right(option_name));
    for (int32_t k = 0; k < fields.count; ++k) {
        std::string_view f = sph_trim_left(fields.field[static_cast<std::size_t>(k)]);
        const std::size_t p = f.find('=');
        if (p == std::string_view::npos) continue;
        const std::string key = sph_upper(sph_trim(f.substr(0, p)));
        if (key != wanted) continue;
        if (value != nullptr) {
            std::string_view v = sph_trim(f.substr(p + 1));
            value->assign(v.substr(0, std::min(v.size(), sph_inp_field_len)));
        }
        return true;
    }
    return false;
}

}  // namespace

std::string sph_input_get_option(std::string_view line, std::string_view option_name) {
    std::string value;
    find_option(line, option_name, &value);
    return value;
}

bool sph_input_option_present(std::string_view line, std::string_view option_name) {
    return find_option(line, option_name, nullptr);
}

std::string sph_input_first_option(std::string_view line, std::initializer_list<std::string_view> option_names,
                                   std::string_view fallback) {
    for (std::string_view name : option_names) {
        std::string value = sph_input_get_option(line, name);
        if (!value.empty()) return value;
    }
    return std::string(fallback);
}

int sph_input_check_names(std::initializer_list<std::string_view> names) {
    for (std::string_view name : names)
        if (sph_trim_right(name).size() > sph_name_len) return sph_input_set_error("name is too long");
    return sph_success;
}

bool sph_input_read_real(std::string_view text, double& value) {
    std::string_view tok = first_token(text);
    if (tok.empty()) return false;
    bool negative = false;
    if (tok.front() == '+' || tok.front() == '-') {
        negative = tok.front() == '-';
        tok.remove_prefix(1);
    }
    if (sph_equal_ignore_case(tok, "INF") || sph_equal_ignore_case(tok, "INFINITY")) {
        value = negative ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    if (sph_equal_ignore_case(tok, "NAN")) {
        value = std::nan("");
        return true;
    }
    // Mantissa: digits with at most one point, at least one digit; then an optional
    // exponent letter E or D with an optional sign and at least one digit.
    char buf[sph_inp_field_len + 8];
    std::size_t n = 0;
    if (tok.size() > sph_inp_field_len) return false;
    if (negative) buf[n++] = '-';
    std::size_t i = 0;
    int mantissa_digits = 0;
    int integer_order = 0;      // significant digits before the point
    int fraction_zeros = 0;     // zeros after the point before the first significant digit
    bool seen_point = false, seen_significant = false;
    for (; i < tok.size(); ++i) {
        const char c = tok[i];
        if (is_digit(c)) {
            ++mantissa_digits;
            if (c != '0') seen_significant = true;
            if (!seen_point && seen_significant) ++integer_order;
            if (seen_point && !seen_significant) ++fraction_zeros;
            buf[n++] = c;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
            buf[n++] = c;
        } else {
            break;
        }
    }
    if (mantissa_digits == 0) return false;
    long exponent = 0;
    if (i < tok.size()) {
        const char e = sph_ascii_upper(tok[i]);
        if (e != 'E' && e != 'D') return false;
        ++i;
        buf[n++] = 'e';
        bool exp_negative = false;
        if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) {
            exp_negative = tok[i] == '-';
            buf[n++] = tok[i];
            ++i;
        }
        const std::size_t digits_start = i;
        for (; i < tok.size() && is_digit(tok[i]); ++i) {
            buf[n++] = tok[i];
            if (exponent < 100000) exponent = exponent * 10 + (tok[i] - '0');
        }
        if (i == digits_start || i != tok.size()) return false;
        if (exp_negative) exponent = -exponent;
    }
    double parsed = 0.0;
    const auto res = std::from_chars(buf, buf + n, parsed, std::chars_format::general);
    if (res.ptr != buf + n) return false;
    if (res.ec == std::errc::result_out_of_range) {
        // Too small to represent reads as zero; too large is no number we can hold.
        const long order = seen_significant ? (integer_order > 0 ? integer_order : -fraction_zeros) + exponent : 0;
        if (order > 0) return false;
        value = negative ? -0.0 : 0.0;
        return true;
    }
    if (res.ec != std::errc()) return false;
    value = parsed;
    return true;
}

bool sph_input_read_integer(std::string_view text, int32_t& value) {
    std::string_view tok = first_token(text);
    if (!tok.empty() && tok.front() == '+') tok.remove_prefix(1);
    if (tok.empty()) return false;
    std::size_t start = tok.front() == '-' ? 1 : 0;
    if (start == tok.size()) return false;
    for (std::size_t i = start; i < tok.size(); ++i)
        if (!is_digit(tok[i])) return false;
    int32_t parsed = 0;
    const auto res = std::from_chars(tok.data(), tok.data() + tok.size(), parsed);
    if (res.ec != std::errc() || res.ptr != tok.data() + tok.size()) return false;
    value = parsed;
    return true;
}

int sph_input_parse_logical_value(std::string_view text, bool& value, std::string_view message) {
    const std::string word = sph_upper(sph_trim(text));
    if (word == "TRUE" || word == "YES" || word == "ON" || word == "1") {
        value = true;
        return sph_success;
    }
    if (word == "FALSE" || word == "NO" || word == "OFF" || word == "0") {
        value = false;
        return sph_success;
    }
    return sph_input_set_error(message);
}

int sph_input_parse_real_value(std::string_view text, double& value, std::string_view message) {
    double v = 0.0;
    if (!sph_input_read_real(text, v)) return sph_input_set_error(message);
    value = v;
    return sph_success;
}

int sph_input_parse_integer_value(std::string_view text, int32_t& value, std::string_view message) {
    int32_t v = 0;
    if (!sph_input_read_integer(text, v)) return sph_input_set_error(message);
    value = v;
    return sph_success;
}

int sph_input_get_required_real(std::string_view line, std::string_view option_name, double& value) {
    value = 0.0;
    const std::string text = sph_input_get_option(line, option_name);
    if (text.empty()) return sph_input_set_error(std::string("missing required option ").append(option_name));
    return sph_input_parse_real_value(text, value, std::string("invalid numeric option ").append(option_name));
}

int sph_input_get_optional_real(std::string_view line, std::string_view option_name, double& value) {
    const std::string text = sph_input_get_option(line, option_name);
    if (text.empty()) return sph_success;
    return sph_input_parse_real_value(text, value, std::string("invalid numeric option ").append(option_name));
}

bool sph_input_real_is_finite(double value) {
    return sph_within_half_max(value);
}

std::string sph_input_located_message(std::string_view filename, int32_t line_number, std::string_view message) {
    std::string out(sph_trim_right(filename));
    out.push_back(':');
    char digits[16];
    const auto res = std::to_chars(digits, digits + sizeof digits, line_number);
    out.append(digits, res.ptr);
    out.append(": ");
    out.append(sph_trim_right(message));
    if (out.size() > sph_inp_line_len) out.resize(sph_inp_line_len);
    return out;
}

int sph_input_set_error(std::string_view message) {
    const SphInputReader& r = sph_input_reader;
    sph_error_set(sph_error_input, sph_input_located_message(r.input_current_file, r.input_current_line, message));
    return sph_error_input;
}

int sph_input_prefix_current_error(int ierr) {
    if (ierr == 0) return ierr;
    const int code = sph_error_code();
    const std::string message(sph_trim_right(sph_error_message()));
    const std::string prefix = std::string(sph_trim_right(sph_input_reader.input_current_file)) + ':';
    if (std::string_view(message).starts_with(prefix)) return ierr;
    sph_error_set(code, sph_input_located_message(sph_input_reader.input_current_file,
                                                  sph_input_reader.input_current_line, message));
    return ierr;
}

}  // namespace quorrel
