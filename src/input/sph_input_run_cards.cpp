// Output, coupling-region and coupling-host option cards.
#include "core/sph_error.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "input/sph_input_reader.h"
#include "output/sph_output.h"

namespace quorrel {

namespace {

struct Word {
    std::string_view text;
    int32_t code;
};

// Matches the upper-cased value (leading and trailing blanks dropped) against a word table.
template <std::size_t N>
int parse_word(std::string_view text, const Word (&words)[N], int32_t& code, std::string_view message) {
    const std::string up = sph_upper(sph_trim(text));
    for (const Word& w : words)
        if (up == w.text) {
            code = w.code;
            return sph_success;
        }
    return sph_input_set_error(message);
}

}  // namespace

int sph_input_parse_output_control(std::string_view line) {
    const std::string directory = sph_input_first_option(line, {"DIRECTORY", "DIR"});
    if (!directory.empty())
        if (int st = sph_output_set_directory(directory)) return st;
    const std::string interval_text = sph_input_get_option(line, "INTERVAL");
    int32_t interval = 0;
    if (!interval_text.empty() && sph_input_read_integer(interval_text, interval))
        if (int st = sph_output_set_interval(interval)) return st;
    return sph_success;
}

int sph_input_parse_coupling_type(std::string_view text, int32_t& region_type) {
    static constexpr Word words[] = {{"CONTACT", sph_region_coupling_contact},
                                     {"CONTINUUM", sph_region_coupling_continuum}};
    return parse_word(text, words, region_type, "invalid coupling region TYPE option");
}

int sph_input_parse_coupling_export(std::string_view text, int32_t& mode) {
    static constexpr Word words[] = {{"PARTICLE", sph_coupling_export_particle},
                                     {"FACET", sph_coupling_export_facet},
                                     {"BOTH", sph_coupling_export_both}};
    return parse_word(text, words, mode, "invalid coupling region EXPORT option");
}

int sph_input_parse_coupling_import(std::string_view text, int32_t& mode) {
    static constexpr Word words[] = {{"FORCE", sph_coupling_import_force},
                                     {"FACET_LOAD", sph_coupling_import_facet_load},
                                     {"MOTION", sph_coupling_import_motion}};
    return parse_word(text, words, mode, "invalid coupling region IMPORT option");
}

int sph_input_parse_coupling_load_mode(std::string_view text, int32_t& mode) {
    static constexpr Word words[] = {{"PARTICLE_FORCE", sph_coupling_load_particle_force},
                                     {"FACET_FORCE", sph_coupling_load_facet_force},
                                     {"PRESSURE", sph_coupling_load_pressure},
                                     {"TRACTION", sph_coupling_load_traction}};
    return parse_word(text, words, mode, "invalid coupling region LOAD_MODE option");
}

int sph_input_parse_coupling_distribution(std::string_view text, int32_t& mode) {
    static constexpr Word words[] = {{"UNIFORM", sph_coupling_distribution_uniform},
                                     {"AREA", sph_coupling_distribution_area},
                                     {"MASS", sph_coupling_distribution_mass}};
    return parse_word(text, words, mode, "invalid coupling region DISTRIBUTION option");
}

int sph_input_parse_coupling_contact_state(std::string_view text, int32_t& mode) {
    static constexpr Word words[] = {
        {"NONE", sph_coupling_contact_state_none},  {"NO", sph_coupling_contact_state_none},
        {"OFF", sph_coupling_contact_state_none},   {"IMPORT", sph_coupling_contact_state_import},
        {"YES", sph_coupling_contact_state_import}, {"ON", sph_coupling_contact_state_import}};
    return parse_word(text, words, mode, "invalid coupling region CONTACT_STATE option");
}

int sph_input_parse_coupling_phase(std::string_view text, int32_t& phase_id) {
    static constexpr Word words[] = {{"WATER", sph_phase_water},
                                     {"GAS", sph_phase_gas},
                                     {"EXPLOSIVE", sph_phase_explosive},
                                     {"SOLID", sph_phase_solid},
                                     {"SHELL", sph_phase_shell},
                                     {"BOUNDARY", sph_phase_boundary},
                                     {"COUPLING", sph_phase_coupling},
                                     {"SOLID_FAILED", sph_phase_solid_failed},
                                     {"SHELL_FAILED", sph_phase_shell_failed}};
    return parse_word(text, words, phase_id, "invalid coupling region PHASE option");
}

int sph_input_parse_coupling_modes(std::string_view line, int32_t import_mode, int32_t& load_mode,
                                   int32_t& distribution_mode, int32_t& contact_state_mode) {
    load_mode = import_mode == sph_coupling_import_facet_load ? sph_coupling_load_facet_force
                                                              : sph_coupling_load_particle_force;
    distribution_mode = sph_coupling_distribution_uniform;
    contact_state_mode = sph_coupling_contact_state_none;
    const std::string load_text = sph_input_get_option(line, "LOAD_MODE");
    if (!load_text.empty())
        if (int st = sph_input_parse_coupling_load_mode(load_text, load_mode)) return st;
    const std::string distribution_text = sph_input_get_option(line, "DISTRIBUTION");
    if (!distribution_text.empty())
        if (int st = sph_input_parse_coupling_distribution(distribution_text, distribution_mode)) return st;
    const std::string contact_text = sph_input_get_option(line, "CONTACT_STATE");
    if (!contact_text.empty())
        if (int st = sph_input_parse_coupling_contact_state(contact_text, contact_state_mode)) return st;
    return sph_success;
}

int sph_input_parse_coupling_region(std::string_view line) {
    const std::string name = sph_input_get_option(line, "NAME");
    if (name.empty()) return sph_input_set_error("Coupling region is missing NAME option");
    if (int st = sph_input_check_names({name})) return st;
    const std::string set_name = sph_input_first_option(line, {"SET", "NSET", "ELSET"});
    if (set_name.empty()) return sph_input_set_error("Coupling region is missing SET option");
    if (int st = sph_input_check_names({set_name})) return st;
    int32_t region_type = sph_region_coupling_contact;
    const std::string type_text = sph_input_get_option(line, "TYPE");
    if (!type_text.empty())
        if (int st = sph_input_parse_coupling_type(type_text, region_type)) return st;
    const std::string surface_name = sph_input_get_option(line, "SURFACE");
    const std::string phase_text = sph_input_get_option(line, "PHASE");
    const std::string material_filter = sph_input_get_option(line, "MATERIAL");
    const std::string section_filter = sph_input_get_option(line, "SECTION");
    if (int st = sph_input_check_names({surface_name, material_filter, section_filter})) return st;
    int32_t export_mode = sph_coupling_export_particle;
    const std::string export_text = sph_input_get_option(line, "EXPORT");
    if (!export_text.empty())
        if (int st = sph_input_parse_coupling_export(export_text, export_mode)) return st;
    int32_t import_mode = sph_coupling_import_force;
    const std::string import_text = sph_input_get_option(line, "IMPORT");
    if (!import_text.empty())
        if (int st = sph_input_parse_coupling_import(import_text, import_mode)) return st;
    int32_t load_mode = 0, distribution_mode = 0, contact_state_mode = 0;
    if (int st = sph_input_parse_coupling_modes(line, import_mode, load_mode, distribution_mode, contact_state_mode))
        return st;
    bool enabled = true;
    const std::string enabled_text = sph_input_get_option(line, "ENABLED");
    if (!enabled_text.empty())
        if (int st = sph_input_parse_logical_value(enabled_text, enabled, "invalid coupling region ENABLED option"))
            return st;
    int32_t phase_filter = 0;
    if (!phase_text.empty())
        if (int st = sph_input_parse_coupling_phase(phase_text, phase_filter)) return st;
    if (region_type == sph_region_coupling_continuum) {
        // Continuum coupling takes no settings yet; a bare region is kept, switched off.
        for (std::string_view opt : {"SURFACE", "PHASE", "MATERIAL", "SECTION", "EXPORT", "IMPORT", "LOAD_MODE",
                                     "DISTRIBUTION", "CONTACT_STATE", "ENABLED"})
            if (sph_input_option_present(line, opt))
                return sph_input_set_error("TYPE=CONTINUUM is reserved for a later version");
        enabled = false;
    }
    const bool facet_load = load_mode == sph_coupling_load_facet_force || load_mode == sph_coupling_load_pressure ||
                            load_mode == sph_coupling_load_traction;
    if (facet_load && enabled && export_mode == sph_coupling_export_particle)
        return sph_input_set_error("facet coupling load requires facet export");
    return sph_db_add_coupling_region(name, set_name, region_type, export_mode, import_mode, load_mode,
                                      distribution_mode, contact_state_mode, enabled, surface_name, phase_filter,
                                      material_filter, section_filter);
}

int sph_input_parse_zenvik_options(std::string_view line) {
    struct Flag {
        std::string_view option;
        bool value;
        std::string_view message;
    };
    Flag flags[] = {{"WORKER", true, "invalid Zenvik WORKER option"},
                    {"EXPORT_RADIUS", true, "invalid Zenvik EXPORT_RADIUS option"},
                    {"EXPORT_SOUND_SPEED", true, "invalid Zenvik EXPORT_SOUND_SPEED option"},
                    {"ACCEPT_CONTACT_STATE", true, "invalid Zenvik ACCEPT_CONTACT_STATE option"},
                    {"ACCEPT_BOUNDARY_STATE", false, "invalid Zenvik ACCEPT_BOUNDARY_STATE option"}};
    std::string region;
    for (std::size_t k = 0; k < 5; ++k) {
        // REGION is read right after WORKER.
        if (k == 1) {
            region = sph_input_first_option(line, {"REGION"}, "ALL");
            if (int st = sph_input_check_names({region})) return st;
        }
        const std::string text = sph_input_get_option(line, flags[k].option);
        if (!text.empty())
            if (int st = sph_input_parse_logical_value(text, flags[k].value, flags[k].message)) return st;
    }
    auto as_int = [](bool b) { return b ? 1 : 0; };
    return sph_db_set_zenvik_options(as_int(flags[0].value), region, as_int(flags[1].value), as_int(flags[2].value),
                                     as_int(flags[3].value), as_int(flags[4].value));
}

}  // namespace quorrel
