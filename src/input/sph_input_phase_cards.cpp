// Equation-of-state, viscosity, particle-control, body-force, blast, explosive,
// ignition, shell and solid control cards.
//
// Every card reads and checks all its options before it hands any value on.
#include "core/sph_error.h"
#include "core/sph_text.h"
#include "blast/sph_blast.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_input_reader.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_dynamics.h"
#include "water/sph_water.h"

namespace quorrel {

namespace {

int required_reals(std::string_view line, std::initializer_list<std::string_view> names, double* out) {
    std::size_t k = 0;
    for (std::string_view n : names)
        if (int st = sph_input_get_required_real(line, n, out[k++])) return st;
    return sph_success;
}

int optional_reals(std::string_view line, std::initializer_list<std::string_view> names, double* out) {
    std::size_t k = 0;
    for (std::string_view n : names)
        if (int st = sph_input_get_optional_real(line, n, out[k++])) return st;
    return sph_success;
}

// TYPE as written, and the MATERIAL the card applies to.
int type_and_material(std::string_view line, std::string& type, std::string& material) {
    type = sph_input_get_option(line, "TYPE");
    material = sph_input_get_option(line, "MATERIAL");
    return sph_input_check_names({material});
}

// A real that has its own message rather than the generic option messages.
int real_when_given(std::string_view text, double& value, std::string_view message) {
    if (text.empty()) return sph_success;
    return sph_input_parse_real_value(text, value, message);
}

}  // namespace

int sph_input_parse_eos(std::string_view line) {
    if (sph_contains_upper(sph_input_get_option(line, "TYPE"), "TAIT")) return sph_input_parse_water_eos(line);
    return sph_input_parse_gas_eos(line);
}

int sph_input_parse_water_eos(std::string_view line) {
    std::string eos_type, material_name;
    if (int st = type_and_material(line, eos_type, material_name)) return st;
    double v[3] = {};  // rho0, c0, gamma
    if (int st = required_reals(line, {"RHO0", "C0", "GAMMA"}, v)) return st;
    double p0 = 0.0;
    if (int st = sph_input_get_optional_real(line, "P0", p0)) return st;
    double b_value = 0.0;
    const std::string b_text = sph_input_get_option(line, "B");
    const bool has_b = !b_text.empty();
    if (int st = real_when_given(b_text, b_value, "invalid QUORREL EOS B")) return st;
    return sph_water_set_eos(eos_type, material_name, v[0], v[1], v[2], p0, b_value, has_b);
}

int sph_input_parse_gas_eos(std::string_view line) {
    std::string eos_type, material_name;
    if (int st = type_and_material(line, eos_type, material_name)) return st;
    const std::string up = sph_upper(eos_type);
    double rho0 = 0.0, gamma = 0.0, e0 = 0.0, p0 = 0.0, jwl[5] = {}, pinf = 0.0;  // jwl: A, B, R1, R2, OMEGA
    if (up.find("IDEAL_GAS") != std::string::npos || up.empty()) {
        if (int st = sph_input_get_required_real(line, "GAMMA", gamma)) return st;
        if (int st = sph_input_get_required_real(line, "E0", e0)) return st;
        if (int st = sph_input_get_optional_real(line, "P0", p0)) return st;
    } else if (up.find("JWL") != std::string::npos) {
        if (int st = sph_input_get_required_real(line, "RHO0", rho0)) return st;
        if (int st = required_reals(line, {"A", "B", "R1", "R2", "OMEGA"}, jwl)) return st;
        if (int st = sph_input_get_required_real(line, "E0", e0)) return st;
    } else if (up.find("STIFFENED_GAS") != std::string::npos) {
        if (int st = sph_input_get_required_real(line, "RHO0", rho0)) return st;
        if (int st = sph_input_get_required_real(line, "GAMMA", gamma)) return st;
        if (int st = sph_input_get_required_real(line, "E0", e0)) return st;
        if (int st = sph_input_get_required_real(line, "PINF", pinf)) return st;
    }
    // An unrecognised type reads no value; the setter says what it means.
    return sph_gas_set_eos(eos_type, material_name, rho0, gamma, e0, p0, jwl[0], jwl[1], jwl[2], jwl[3], jwl[4],
                           pinf);
}

int sph_input_parse_water_viscosity(std::string_view line) {
    std::string visc_type, material_name;
    if (int st = type_and_material(line, visc_type, material_name)) return st;
    double v[3] = {};  // alpha, beta, eta2
    if (int st = required_reals(line, {"ALPHA", "BETA", "ETA2"}, v)) return st;
    return sph_water_set_viscosity(visc_type, material_name, v[0], v[1], v[2]);
}

int sph_input_parse_particle_control(std::string_view line) {
    double v[3] = {};  // h, mass, volume
    if (int st = required_reals(line, {"H", "MASS", "VOLUME"}, v)) return st;
    if (int st = sph_water_set_particle_control(v[0], v[1], v[2])) return st;
    return sph_gas_set_particle_control(v[0], v[1], v[2]);
}

int sph_input_parse_body_force(std::string_view line) {
    double force[3] = {0.0, 0.0, 0.0};
    if (int st = optional_reals(line, {"X", "Y", "Z"}, force)) return st;
    if (int st = sph_water_set_body_force(force)) return st;
    if (int st = sph_gas_set_body_force(force)) return st;
    return sph_solid_set_body_force(force);
}

int sph_input_parse_blast_region(std::string_view line) {
    const std::string name = sph_input_first_option(line, {"NAME"}, "BLAST");
    if (int st = sph_input_check_names({name})) return st;
    double center[3] = {0.0, 0.0, 0.0};
    if (int st = optional_reals(line, {"X", "Y", "Z"}, center)) return st;
    double radius = 0.0;
    if (int st = sph_input_get_required_real(line, "RADIUS", radius)) return st;
    const std::string source_phase = sph_input_first_option(line, {"SOURCE_PHASE", "SOURCE"}, "GAS");
    const std::string target_phase = sph_input_first_option(line, {"TARGET_PHASE", "TARGET"}, "STRUCTURE");
    // ELSET is tried before NSET for a blast target.
    const std::string target_set_name = sph_input_first_option(line, {"TARGET_SET", "SET", "ELSET", "NSET"});
    if (target_set_name.empty()) return sph_input_set_error("Blast region is missing TARGET_SET option");
    if (int st = sph_input_check_names({target_set_name})) return st;
    double scale = 1.0, time_window = 0.0;
    if (int st = real_when_given(sph_input_first_option(line, {"SCALE", "FACTOR"}), scale, "invalid blast SCALE"))
        return st;
    if (int st = real_when_given(sph_input_first_option(line, {"TIME_WINDOW", "WINDOW"}), time_window,
                                 "invalid blast TIME_WINDOW"))
        return st;
    const std::string mode = sph_input_first_option(line, {"MODE", "PROJECTION"}, "RADIAL");
    bool enabled = true;
    const std::string enabled_text = sph_input_first_option(line, {"ENABLED", "ACTIVE"});
    if (!enabled_text.empty())
        if (int st = sph_input_parse_logical_value(enabled_text, enabled, "invalid blast ENABLED option")) return st;
    return sph_blast_add_region(name, center, radius, source_phase, target_phase, target_set_name, scale, time_window,
                                mode, enabled);
}

int sph_input_parse_explosive_control(std::string_view line) {
    const std::string material_name_in = sph_input_get_option(line, "MATERIAL");
    const std::string model_type = sph_input_get_option(line, "TYPE");
    const std::string product_material_name_in = sph_input_get_option(line, "PRODUCT_MATERIAL");
    const std::string conversion_name = sph_input_get_option(line, "CONVERSION");
    if (int st = sph_input_check_names({material_name_in, product_material_name_in})) return st;
    double v[3] = {};  // detonation velocity, energy per mass, burn time
    if (int st = required_reals(line, {"DETONATION_VELOCITY", "ENERGY", "BURN_TIME"}, v)) return st;
    return sph_explosive_set_control(material_name_in, model_type, v[0], v[1], v[2], product_material_name_in,
                                     conversion_name);
}

int sph_input_parse_ignition(std::string_view line) {
    const std::string material_name_in = sph_input_get_option(line, "MATERIAL");
    if (int st = sph_input_check_names({material_name_in})) return st;
    double v[4] = {};  // x, y, z, time
    if (int st = required_reals(line, {"X", "Y", "Z", "TIME"}, v)) return st;
    return sph_explosive_set_ignition(material_name_in, v, v[3]);
}

int sph_input_parse_shell_director(std::string_view line) {
    const std::string set_name = sph_input_first_option(line, {"SET", "NSET", "ELSET"});
    if (set_name.empty()) return sph_input_set_error("Shell director is missing SET option");
    if (int st = sph_input_check_names({set_name})) return st;
    double director[3] = {};
    if (int st = required_reals(line, {"NX", "NY", "NZ"}, director)) return st;
    return sph_shell_set_director_for_set(set_name, director);
}

int sph_input_parse_shell_rotation(std::string_view line) {
    const std::string set_name = sph_input_first_option(line, {"SET", "NSET", "ELSET"});
    if (set_name.empty()) return sph_input_set_error("Shell rotation is missing SET option");
    if (int st = sph_input_check_names({set_name})) return st;
    double omega_value[3] = {};
    if (int st = required_reals(line, {"OX", "OY", "OZ"}, omega_value)) return st;
    double alpha_value[3] = {0.0, 0.0, 0.0};
    if (int st = optional_reals(line, {"AX", "AY", "AZ"}, alpha_value)) return st;
    return sph_shell_set_rotation_for_set(set_name, omega_value, alpha_value);
}

int sph_input_parse_shell_control(std::string_view line) {
    const std::string material_name_in = sph_input_get_option(line, "MATERIAL");
    if (int st = sph_input_check_names({material_name_in})) return st;
    const std::string softening_name = sph_input_get_option(line, "SOFTENING");
    double softening_width_value = 1.0;
    if (int st = sph_input_get_optional_real(line, "WIDTH", softening_width_value)) return st;
    return sph_shell_set_control(material_name_in, softening_name, softening_width_value);
}

int sph_input_parse_solid_control(std::string_view line) {
    const std::string material_name_in = sph_input_get_option(line, "MATERIAL");
    if (int st = sph_input_check_names({material_name_in})) return st;
    const std::string softening_name = sph_input_get_option(line, "SOFTENING");
    double softening_width_value = 1.0;
    if (int st = sph_input_get_optional_real(line, "WIDTH", softening_width_value)) return st;
    return sph_solid_set_control(material_name_in, softening_name, softening_width_value);
}

}  // namespace quorrel
