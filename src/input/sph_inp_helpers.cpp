#include "input/sph_inp_helpers.h"

#include <algorithm>

#include "core/sph_text.h"

namespace quorrel {

std::string sph_inp_clean_line(std::string_view line) {
    // The comment marks are tested on the raw line, so indented ones survive.
    if (sph_is_blank(line)) return {};
    if (line.front() == '!') return {};
    if (line.size() >= 2 && line[0] == '*' && line[1] == '*') return {};
    std::string_view body = sph_trim_left(line);
    return std::string(sph_trim_right(body.substr(0, std::min(body.size(), sph_inp_line_len))));
}

int32_t sph_inp_keyword_id(std::string_view line) {
    const std::string up = sph_upper(sph_trim_left(line));
    struct Prefix {
        std::string_view text;
        int32_t id;
    };
    static constexpr Prefix prefixes[] = {
        {"*NODE", sph_key_node},         {"*ELEMENT", sph_key_element},
        {"*NSET", sph_key_nset},         {"*ELSET", sph_key_elset},
        {"*MATERIAL", sph_key_material}, {"*QUORREL", sph_key_quorrel},
        {"*DENSITY", sph_key_density},   {"*ELASTIC", sph_key_elastic},
        {"*PLASTIC", sph_key_plastic},   {"*DAMAGE INITIATION", sph_key_damage_initiation},
        {"*ORIENTATION", sph_key_orientation},
    };
    for (const Prefix& p : prefixes)
        if (std::string_view(up).starts_with(p.text)) return p.id;
    if (!up.empty() && up.front() == '*' && up.find("SECTION") != std::string::npos) return sph_key_section;
    return sph_key_other;
}

void sph_inp_split_csv(std::string_view line, SphCsvFields& fields) {
    for (std::string& f : fields.field) f.clear();
    fields.count = 0;
    fields.truncated = false;
    line = sph_trim_right(line);
    if (line.empty()) return;
    auto take = [&fields](std::string_view text) {
        text = sph_trim(text);
        if (text.size() > sph_inp_field_len) {
            fields.truncated = true;
            text = sph_trim_right(text.substr(0, sph_inp_field_len));
        }
        fields.field[static_cast<std::size_t>(fields.count)].assign(text);
        ++fields.count;
    };
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != ',') continue;
        if (fields.count < sph_inp_max_fields) take(line.substr(start, i - start));
        start = i + 1;
    }
    if (fields.count < sph_inp_max_fields) take(line.substr(start));
}

bool sph_inp_has_long_field(std::string_view line) {
    line = sph_trim_right(line);
    int32_t count = 0;
    std::size_t start = 0;
    while (count < sph_inp_max_fields) {
        const std::size_t comma = line.find(',', start);
        const std::size_t end = comma == std::string_view::npos ? line.size() : comma;
        if (sph_trim(line.substr(start, end - start)).size() > sph_inp_field_len) return true;
        ++count;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return false;
}

std::string sph_inp_upper(std::string_view line) { return sph_upper(line); }

}  // namespace quorrel
