// Deck lexer: line cleaning, keyword recognition, comma splitting, upper-casing.
// Stateless; lines and fields are held without their blank padding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorrel {

inline constexpr std::size_t sph_inp_line_len = 1024;
inline constexpr std::size_t sph_inp_field_len = 256;
inline constexpr int32_t sph_inp_max_fields = 64;

// Keyword ids.
inline constexpr int32_t sph_key_node = 1;
inline constexpr int32_t sph_key_element = 2;
inline constexpr int32_t sph_key_nset = 3;
inline constexpr int32_t sph_key_elset = 4;
inline constexpr int32_t sph_key_material = 5;
inline constexpr int32_t sph_key_section = 6;
inline constexpr int32_t sph_key_quorrel = 7;
inline constexpr int32_t sph_key_density = 8;
inline constexpr int32_t sph_key_elastic = 9;
inline constexpr int32_t sph_key_plastic = 10;
inline constexpr int32_t sph_key_damage_initiation = 11;
inline constexpr int32_t sph_key_orientation = 12;
inline constexpr int32_t sph_key_other = 99;

struct SphCsvFields {
    std::array<std::string, sph_inp_max_fields> field;
    int32_t count = 0;
    // A field held more than sph_inp_field_len characters and was cut.
    bool truncated = false;
};

// Empty when the line is skipped (blank, "!" in column 1, "**" in columns 1-2);
// otherwise the line without leading blanks, cut to 1024 characters, trailing blanks dropped.
std::string sph_inp_clean_line(std::string_view line);
int32_t sph_inp_keyword_id(std::string_view line);
void sph_inp_split_csv(std::string_view line, SphCsvFields& fields);
// True when one of the fields the split keeps holds more than sph_inp_field_len characters.
bool sph_inp_has_long_field(std::string_view line);
std::string sph_inp_upper(std::string_view line);

}  // namespace quorrel
