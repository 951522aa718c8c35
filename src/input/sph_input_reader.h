// Deck reader: option and value reading, located messages, the scan and fill
// passes, keyword dispatch, the card parsers and the model build.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorrel {

// Unit number of the two reading passes.
inline constexpr int sph_input_unit = 31;

struct SphInputReader {
    std::string input_current_file;  // the deck path as given, trailing blanks dropped
    int32_t input_current_line = 0;  // physical line handled last in the fill pass, from 1
    bool input_has_material = false;
    bool input_has_section = false;
    bool input_has_time_control = false;
    int32_t input_warning_count = 0;
    std::string active_element_type = "UNKNOWN";
    std::string active_nset_name = "NSET";
    std::string active_elset_name = "ELSET";
    std::string active_material_name = "MATERIAL";
    std::string active_orientation_name = "ORIENTATION";
};

extern SphInputReader sph_input_reader;

// ---- Driver ----
void sph_input_reset();
[[nodiscard]] int sph_input_read(std::string_view filename);
[[nodiscard]] int sph_input_build_model();
void sph_input_get_warning_count(int32_t& count);
[[nodiscard]] int sph_input_scan(std::string_view filename, int32_t& node_count);
[[nodiscard]] int sph_input_fill_model(std::string_view filename, int32_t expected_nodes);
[[nodiscard]] int sph_input_record_keyword(int32_t key_id, std::string_view line);

// ---- Options and values ----
// Value of the first field whose key (text before "=") equals the name, trimmed; empty when absent.
std::string sph_input_get_option(std::string_view line, std::string_view option_name);
bool sph_input_option_present(std::string_view line, std::string_view option_name);
// The value of the first listed option that is not blank; `fallback` when every one is.
std::string sph_input_first_option(std::string_view line, std::initializer_list<std::string_view> option_names,
                                   std::string_view fallback = {});
// Refuses, located with code 4, the first name longer than a record holds (trailing blanks
// not counted): a cut name could match, or merge with, another record.
[[nodiscard]] int sph_input_check_names(std::initializer_list<std::string_view> names);
// Free-format reads of the first blank-separated token; false when it is no number of the kind.
bool sph_input_read_real(std::string_view text, double& value);
bool sph_input_read_integer(std::string_view text, int32_t& value);
[[nodiscard]] int sph_input_parse_logical_value(std::string_view text, bool& value, std::string_view message);
[[nodiscard]] int sph_input_parse_real_value(std::string_view text, double& value, std::string_view message);
[[nodiscard]] int sph_input_parse_integer_value(std::string_view text, int32_t& value, std::string_view message);
[[nodiscard]] int sph_input_get_required_real(std::string_view line, std::string_view option_name, double& value);
// `value` holds the caller's default and keeps it when the option is absent.
[[nodiscard]] int sph_input_get_optional_real(std::string_view line, std::string_view option_name, double& value);
bool sph_input_real_is_finite(double value);

// ---- Located messages ----
// "path:line: message", cut to 1024 characters.
std::string sph_input_located_message(std::string_view filename, int32_t line_number, std::string_view message);
// Records the message at the current location with code 4 and returns 4.
[[nodiscard]] int sph_input_set_error(std::string_view message);
// Locates the message in the error state (unless it already is), keeping its code; returns ierr.
int sph_input_prefix_current_error(int ierr);

// ---- Material test helpers (indices 0-based, -1 when none) ----
int sph_input_find_material(std::string_view name);
bool sph_input_material_type_is_shell(int mat_index);
bool sph_input_active_material_is_shell();
bool sph_input_is_explicit_non_solid_type(std::string_view type_name);

// ---- Mesh, material and section cards ----
// `node_index` is the 0-based running count of node lines.
[[nodiscard]] int sph_input_parse_node(std::string_view line, int32_t node_index);
[[nodiscard]] int sph_input_parse_element(std::string_view line);
[[nodiscard]] int sph_input_parse_set_members(std::string_view line, std::string_view set_name, bool is_node_set);
[[nodiscard]] int sph_input_parse_density(std::string_view line);
[[nodiscard]] int sph_input_parse_elastic(std::string_view line);
[[nodiscard]] int sph_input_parse_plastic(std::string_view line);
[[nodiscard]] int sph_input_parse_damage_initiation(std::string_view line);
[[nodiscard]] int sph_input_parse_orientation(std::string_view line);
[[nodiscard]] int sph_input_parse_material(std::string_view line);
[[nodiscard]] int sph_input_parse_section_keyword(std::string_view line, std::string_view upper_line);
[[nodiscard]] int sph_input_validate_solid_section(std::string_view material_value, std::string& section_type_value);
[[nodiscard]] int sph_input_validate_shell_section(std::string_view material_value, double thickness, int32_t points,
                                                   double shear_correction, std::string& section_type_value);

// ---- Run settings cards ----
[[nodiscard]] int sph_input_parse_output_control(std::string_view line);
[[nodiscard]] int sph_input_parse_coupling_region(std::string_view line);
[[nodiscard]] int sph_input_parse_coupling_type(std::string_view text, int32_t& region_type);
[[nodiscard]] int sph_input_parse_coupling_export(std::string_view text, int32_t& mode);
[[nodiscard]] int sph_input_parse_coupling_import(std::string_view text, int32_t& mode);
[[nodiscard]] int sph_input_parse_coupling_load_mode(std::string_view text, int32_t& mode);
[[nodiscard]] int sph_input_parse_coupling_distribution(std::string_view text, int32_t& mode);
[[nodiscard]] int sph_input_parse_coupling_contact_state(std::string_view text, int32_t& mode);
[[nodiscard]] int sph_input_parse_coupling_phase(std::string_view text, int32_t& phase_id);
[[nodiscard]] int sph_input_parse_coupling_modes(std::string_view line, int32_t import_mode, int32_t& load_mode,
                                                 int32_t& distribution_mode, int32_t& contact_state_mode);
[[nodiscard]] int sph_input_parse_zenvik_options(std::string_view line);

// ---- Phase settings cards ----
[[nodiscard]] int sph_input_parse_eos(std::string_view line);
[[nodiscard]] int sph_input_parse_water_eos(std::string_view line);
[[nodiscard]] int sph_input_parse_gas_eos(std::string_view line);
[[nodiscard]] int sph_input_parse_water_viscosity(std::string_view line);
[[nodiscard]] int sph_input_parse_particle_control(std::string_view line);
[[nodiscard]] int sph_input_parse_body_force(std::string_view line);
[[nodiscard]] int sph_input_parse_blast_region(std::string_view line);
[[nodiscard]] int sph_input_parse_explosive_control(std::string_view line);
[[nodiscard]] int sph_input_parse_ignition(std::string_view line);
[[nodiscard]] int sph_input_parse_shell_director(std::string_view line);
[[nodiscard]] int sph_input_parse_shell_rotation(std::string_view line);
[[nodiscard]] int sph_input_parse_shell_control(std::string_view line);
[[nodiscard]] int sph_input_parse_solid_control(std::string_view line);

}  // namespace quorrel
