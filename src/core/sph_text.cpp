#include "core/sph_text.h"

#include <algorithm>
#include <cstring>

namespace quorrel {

std::string sph_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = sph_ascii_upper(c);
    return out;
}

std::string_view sph_trim_left(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

std::string_view sph_trim_right(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

std::string_view sph_trim(std::string_view text) { return sph_trim_left(sph_trim_right(text)); }

bool sph_equal_ignore_case(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (sph_ascii_upper(left[i]) != sph_ascii_upper(right[i])) return false;
    return true;
}

std::string sph_fixed(std::string_view text, std::size_t len) {
    return std::string(sph_trim_right(text.substr(0, std::min(text.size(), len))));
}

bool sph_contains_upper(std::string_view text, std::string_view word) {
    if (word.empty()) return true;
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < word.size() && sph_ascii_upper(text[i + k]) == word[k]) ++k;
        if (k == word.size()) return true;
    }
    return false;
}

void sph_copy_padded(std::string_view text, char* out, std::size_t out_len) {
    if (out == nullptr) return;
    std::size_t n = std::min(text.size(), out_len);
    std::memcpy(out, text.data(), n);
    std::memset(out + n, ' ', out_len - n);
}

}  // namespace quorrel
