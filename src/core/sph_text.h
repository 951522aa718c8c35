// Text helpers shared by every module: ASCII-only case folding, blank trimming,
// blank padding for fixed-width boundaries, locale-independent number formatting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorrel {

inline constexpr std::size_t sph_name_len = 64;

inline char sph_ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string sph_upper(std::string_view text);
// Only the blank (code 32) is trimmed; a tab is an ordinary character.
std::string_view sph_trim_left(std::string_view text);
std::string_view sph_trim_right(std::string_view text);
std::string_view sph_trim(std::string_view text);
// Equal when every byte matches after ASCII upper-casing; lengths must match.
bool sph_equal_ignore_case(std::string_view left, std::string_view right);
// Empty once trailing blanks are dropped.
inline bool sph_is_blank(std::string_view text) { return sph_trim_right(text).empty(); }
// The text cut to `len` characters, trailing blanks dropped (the blank-padded field's content).
std::string sph_fixed(std::string_view text, std::size_t len);
// True when the upper-cased text contains `word` (which must already be upper case).
bool sph_contains_upper(std::string_view text, std::string_view word);
// Copies text into a caller's fixed buffer, blank-padded or cut.
void sph_copy_padded(std::string_view text, char* out, std::size_t out_len);

}  // namespace quorrel
