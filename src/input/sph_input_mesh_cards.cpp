// Node, element, set, material, density, elasticity, plasticity, damage,
// orientation and section cards.
#include <algorithm>
#include <array>

#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_reader.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

const std::string& field_at(const SphCsvFields& f, int k) { return f.field[static_cast<std::size_t>(k)]; }

// Reads fields [first, first + n) as reals, failing with `message` at the first that is no number.
int read_reals(const SphCsvFields& f, int first, int n, double* out, std::string_view message) {
    for (int k = 0; k < n; ++k)
        if (int st = sph_input_parse_real_value(field_at(f, first + k), out[k], message)) return st;
    return sph_success;
}

}  // namespace

// ---- Material test helpers ----

int sph_input_find_material(std::string_view name) {
    // A name longer than a record can hold never matches a (cut) record name.
    if (sph_trim_right(name).size() > sph_name_len) return -1;
    return sph_db_find_material(name);
}

bool sph_input_material_type_is_shell(int mat_index) {
    const auto& mats = sph_database.materials;
    if (mat_index < 0 || mat_index >= static_cast<int>(mats.size())) return false;
    return sph_contains_upper(mats[static_cast<std::size_t>(mat_index)].material_type, "SHELL");
}

bool sph_input_active_material_is_shell() {
    return sph_input_material_type_is_shell(sph_input_find_material(sph_input_reader.active_material_name));
}

bool sph_input_is_explicit_non_solid_type(std::string_view type_name) {
    if (sph_is_blank(type_name)) return false;
    if (sph_contains_upper(type_name, "UNSPECIFIED") || sph_contains_upper(type_name, "SOLID")) return false;
    for (std::string_view word : {"WATER", "GAS", "EXPLOSIVE", "SHELL", "BOUNDARY"})
        if (sph_contains_upper(type_name, word)) return true;
    return false;
}

// ---- Data lines ----

int sph_input_parse_node(std::string_view line, int32_t node_index) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 4) return sph_input_set_error("invalid *NODE record");
    int32_t id = 0;
    if (int st = sph_input_parse_integer_value(field_at(f, 0), id, "invalid node id")) return st;
    static constexpr std::array<std::string_view, 3> messages = {
        "invalid node x coordinate", "invalid node y coordinate", "invalid node z coordinate"};
    double xyz[3] = {0.0, 0.0, 0.0};
    for (int k = 0; k < 3; ++k) {
        // A particle position must be a usable number; Infinity or NaN would poison the search grid.
        if (!sph_input_read_real(field_at(f, 1 + k), xyz[k]) || !sph_input_real_is_finite(xyz[k]))
            return sph_input_set_error(messages[static_cast<std::size_t>(k)]);
    }
    return sph_db_set_node(node_index, id, xyz);
}

int sph_input_parse_element(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 2) return sph_input_set_error("invalid *ELEMENT record");
    int32_t id = 0;
    if (int st = sph_input_parse_integer_value(field_at(f, 0), id, "invalid element id")) return st;
    int32_t conn[sph_max_element_nodes] = {};
    const int32_t n = std::min<int32_t>(f.count - 1, sph_max_element_nodes);
    for (int32_t k = 0; k < n; ++k)
        if (int st = sph_input_parse_integer_value(field_at(f, 1 + k), conn[k], "invalid element connectivity"))
            return st;
    return sph_db_add_element(id, sph_input_reader.active_element_type, n, conn);
}

int sph_input_parse_set_members(std::string_view line, std::string_view set_name, bool is_node_set) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    int32_t members[sph_inp_max_fields] = {};
    for (int32_t k = 0; k < f.count; ++k)
        if (int st = sph_input_parse_integer_value(field_at(f, k), members[k], "invalid set member id")) return st;
    return is_node_set ? sph_db_add_nset(set_name, f.count, members) : sph_db_add_elset(set_name, f.count, members);
}

int sph_input_parse_density(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    double density = 0.0;
    if (int st = sph_input_parse_real_value(field_at(f, 0), density, "invalid density value")) return st;
    return sph_db_set_material_density(sph_input_reader.active_material_name, density);
}

// Elastic, plastic and damage values go to the shell table for a shell material (as the
// material stands when the line is read), else to the solid table.

int sph_input_parse_elastic(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 2) return sph_input_set_error("invalid *ELASTIC record");
    double e_value = 0.0, nu_value = 0.0;
    if (int st = sph_input_parse_real_value(field_at(f, 0), e_value, "invalid elastic modulus")) return st;
    if (int st = sph_input_parse_real_value(field_at(f, 1), nu_value, "invalid Poisson ratio")) return st;
    const std::string& name = sph_input_reader.active_material_name;
    if (sph_input_active_material_is_shell()) return sph_shell_set_elastic(name, e_value, nu_value);
    return sph_solid_set_elastic(name, e_value, nu_value);
}

int sph_input_parse_plastic(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 8) return sph_input_set_error("invalid Johnson-Cook plastic record");
    double v[8] = {};
    if (int st = read_reals(f, 0, 8, v, "invalid Johnson-Cook plastic value")) return st;
    const std::string& name = sph_input_reader.active_material_name;
    if (sph_input_active_material_is_shell())
        return sph_shell_set_johnson_cook(name, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    return sph_solid_set_johnson_cook(name, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
}

int sph_input_parse_damage_initiation(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 5) return sph_input_set_error("invalid Johnson-Cook damage record");
    double d_values[5] = {};
    if (int st = read_reals(f, 0, 5, d_values, "invalid Johnson-Cook damage value")) return st;
    const std::string& name = sph_input_reader.active_material_name;
    if (sph_input_active_material_is_shell()) return sph_shell_set_failure(name, d_values);
    return sph_solid_set_failure(name, d_values);
}

int sph_input_parse_orientation(std::string_view line) {
    SphCsvFields f;
    sph_inp_split_csv(line, f);
    if (f.count < 6) return sph_input_set_error("invalid *ORIENTATION record");
    double values[6] = {};  // director, tangent
    if (int st = read_reals(f, 0, 6, values, "invalid *ORIENTATION numeric value")) return st;
    return sph_shell_add_orientation(sph_input_reader.active_orientation_name, values, values + 3);
}

// ---- Keyword lines ----

int sph_input_parse_material(std::string_view line) {
    SphInputReader& r = sph_input_reader;
    r.input_has_material = true;
    const std::string name = sph_input_first_option(line, {"NAME"}, "MATERIAL");
    r.active_material_name = name;
    if (int st = sph_input_check_names({name})) return st;
    const std::string type = sph_input_first_option(line, {"TYPE"}, "UNSPECIFIED");
    const int st = sph_db_add_material(name, type);
    // Every phase notes the material whether or not the record was taken.
    sph_water_note_material(name, type);
    sph_gas_note_material(name, type);
    sph_explosive_note_material(name, type);
    sph_solid_note_material(name, type);
    sph_shell_note_material(name, type);
    return st;
}

int sph_input_validate_solid_section(std::string_view material_value, std::string& section_type_value) {
    section_type_value = "SOLID";
    if (sph_is_blank(material_value)) return sph_input_set_error("Solid section is missing MATERIAL option");
    const int m = sph_input_find_material(material_value);
    if (m >= 0 &&
        sph_input_is_explicit_non_solid_type(sph_database.materials[static_cast<std::size_t>(m)].material_type))
        return sph_input_set_error("Solid section references non-Solid material");
    return sph_success;
}

int sph_input_validate_shell_section(std::string_view material_value, double thickness, int32_t points,
                                     double shear_correction, std::string& section_type_value) {
    section_type_value = "SHELL";
    if (sph_is_blank(material_value)) return sph_input_set_error("Shell section is missing MATERIAL option");
    const int m = sph_input_find_material(material_value);
    if (m < 0) return sph_input_set_error("Shell section references unknown material");
    if (!sph_input_material_type_is_shell(m)) return sph_input_set_error("Shell section references non-Shell material");
    if (!sph_input_real_is_finite(thickness) || !(thickness > 0.0))
        return sph_input_set_error("Shell section THICKNESS must be positive");
    if (points != 3 && points != 5) return sph_input_set_error("Shell section POINTS must be 3 or 5");
    if (!sph_input_real_is_finite(shear_correction) || !(shear_correction > 0.0) || shear_correction > 1.0)
        return sph_input_set_error("Shell section SHEAR_CORRECTION is invalid");
    return sph_success;
}

int sph_input_parse_section_keyword(std::string_view line, std::string_view upper_line) {
    sph_input_reader.input_has_section = true;
    const std::string set_name = sph_input_first_option(line, {"ELSET", "NSET"}, "SECTION");
    std::string material = sph_input_get_option(line, "MATERIAL");
    const std::string orientation = sph_input_get_option(line, "ORIENTATION");
    if (int st = sph_input_check_names({set_name, material, orientation})) return st;
    double thickness = 0.0;
    int32_t points = 3;
    double shear_correction = 5.0 / 6.0;
    const std::string thickness_text = sph_input_get_option(line, "THICKNESS");
    if (!thickness_text.empty())
        if (int st = sph_input_parse_real_value(thickness_text, thickness, "invalid section THICKNESS")) return st;
    const std::string points_text = sph_input_get_option(line, "POINTS");
    if (!points_text.empty())
        if (int st = sph_input_parse_integer_value(points_text, points, "invalid section POINTS")) return st;
    const std::string shear_text = sph_input_first_option(line, {"SHEAR_CORRECTION", "SHEAR"});
    if (!shear_text.empty())
        if (int st = sph_input_parse_real_value(shear_text, shear_correction, "invalid section SHEAR_CORRECTION"))
            return st;
    std::string section_type = "SECTION";
    if (upper_line.starts_with("*SOLID SECTION")) {
        if (int st = sph_input_validate_solid_section(material, section_type)) return st;
    } else if (upper_line.starts_with("*SHELL SECTION")) {
        if (int st = sph_input_validate_shell_section(material, thickness, points, shear_correction, section_type))
            return st;
    } else if (material.empty()) {
        material = "MATERIAL";
    }
    return sph_db_add_section(set_name, section_type, material, thickness, points, shear_correction, orientation);
}

}  // namespace quorrel
