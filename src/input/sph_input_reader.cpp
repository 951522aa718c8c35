// Deck reader driver: reset, scan pass, allocation, fill pass, keyword dispatch and build.
#include "input/sph_input_reader.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/sph_error.h"
#include "core/sph_file.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "blast/sph_blast.h"
#include "blast/sph_blast_load.h"
#include "explosive/sph_explosive_state.h"
#include "gas/sph_gas.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_time.h"
#include "lifecycle/sph_lifecycle.h"
#include "particle/sph_neighbor.h"
#include "shell/sph_shell.h"
#include "solid/sph_solid.h"
#include "solid/sph_solid_dynamics.h"
#include "water/sph_water.h"

namespace quorrel {

SphInputReader sph_input_reader;

namespace {

// Physical lines of a deck, with end of file told apart from a read error.
class DeckFile {
public:
    enum Result { line_read, end_of_file, read_error };

    ~DeckFile() { close(); }

    // Regular files only: the deck is read twice, which nothing else (a FIFO, a pipe, a
    // device) can give, and such a name must neither block nor be half read.
    SphFileOutcome open(std::string_view path) {
        SphFileOutcome outcome = SphFileOutcome::failed;
        fd_ = sph_file_open_read(std::string(sph_trim_right(path)), &outcome);
        return outcome;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Reads one line without its LF and without a trailing CR, keeping at most
    // sph_inp_line_len characters. Past that only blanks may follow: the first other
    // character sets `too_long` and ends the read there, so a line that never ends is
    // refused as soon as it is known to be too long.
    Result next(std::string& line, bool& too_long) {
        line.clear();
        too_long = false;
        bool any = false;
        std::size_t length = 0;
        char last = '\0';
        for (;;) {
            if (pos_ == end_ && !fill()) {
                if (failed_) return read_error;
                if (!any) return end_of_file;
                break;
            }
            any = true;
            const char c = buffer_[pos_++];
            if (c == '\n') break;
            ++length;
            if (length <= sph_inp_line_len) {
                line.push_back(c);
            } else if (c != ' ' && c != '\r') {
                too_long = true;
                return line_read;
            }
            last = c;
        }
        if (last == '\r' && line.size() == length) line.pop_back();
        return line_read;
    }

private:
    bool fill() {
        if (failed_ || fd_ < 0) return false;
        ssize_t got;
        do {
            got = ::read(fd_, buffer_, sizeof buffer_);
        } while (got < 0 && errno == EINTR);
        pos_ = 0;
        end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        if (got > 0) return true;
        if (got < 0) failed_ = true;
        return false;
    }

    int fd_ = -1;
    char buffer_[65536];
    std::size_t pos_ = 0, end_ = 0;
    bool failed_ = false;
};

// Code 3 for a deck that could not be opened: `failure`, or the kind of file it is.
int open_failure(SphFileOutcome outcome, std::string_view failure) {
    if (outcome == SphFileOutcome::not_regular) return sph_fail(sph_error_io, "input file is not a regular file");
    return sph_fail(sph_error_io, failure);
}

}  // namespace

void sph_input_reset() {
    sph_input_reader = SphInputReader{};
    // A new deck starts from the phases' default settings, not the last deck's.
    sph_lifecycle_deck_reset();
}

int sph_input_read(std::string_view filename) {
    sph_input_reset();
    sph_input_reader.input_current_file = std::string(sph_trim_right(filename));
    int32_t node_count = 0;
    if (int st = sph_input_scan(sph_input_reader.input_current_file, node_count)) return st;
    if (int st = sph_db_allocate(node_count)) return st;
    return sph_input_fill_model(sph_input_reader.input_current_file, node_count);
}

int sph_input_scan(std::string_view filename, int32_t& node_count) {
    node_count = 0;
    int32_t current_id = sph_key_other;
    DeckFile deck;
    if (const SphFileOutcome opened = deck.open(filename); opened != SphFileOutcome::ok)
        return open_failure(opened, "failed to open input file");
    std::string raw;
    bool too_long = false;
    int32_t line_number = 0;
    for (;;) {
        const DeckFile::Result r = deck.next(raw, too_long);
        if (r == DeckFile::end_of_file) break;
        if (r == DeckFile::read_error) return sph_fail(sph_error_io, "failed to read input file");
        ++line_number;
        if (too_long) {
            const std::string message = sph_input_located_message(filename, line_number, "input line is too long");
            return sph_fail(sph_error_input, message);
        }
        const std::string line = sph_inp_clean_line(raw);
        if (line.empty()) continue;
        if (line.front() == '*')
            current_id = sph_inp_keyword_id(line);
        else if (current_id == sph_key_node)
            ++node_count;
    }
    return sph_success;
}

namespace {

int dispatch_data_line(int32_t current_id, std::string_view line, int32_t& node_index) {
    SphInputReader& r = sph_input_reader;
    switch (current_id) {
        case sph_key_node: {
            const int32_t index = node_index++;
            return sph_input_parse_node(line, index);
        }
        case sph_key_element: return sph_input_parse_element(line);
        case sph_key_nset: return sph_input_parse_set_members(line, r.active_nset_name, true);
        case sph_key_elset: return sph_input_parse_set_members(line, r.active_elset_name, false);
        case sph_key_density: return sph_input_parse_density(line);
        case sph_key_elastic: return sph_input_parse_elastic(line);
        case sph_key_plastic: return sph_input_parse_plastic(line);
        case sph_key_damage_initiation: return sph_input_parse_damage_initiation(line);
        case sph_key_orientation: return sph_input_parse_orientation(line);
        default: return sph_success;  // no block takes data lines here
    }
}

}  // namespace

int sph_input_fill_model(std::string_view filename, int32_t expected_nodes) {
    SphInputReader& r = sph_input_reader;
    int32_t current_id = sph_key_other;
    int32_t node_index = 0;
    int32_t line_count = 0;
    if (expected_nodes == 0) {
        sph_db_free();
        return sph_success;
    }
    DeckFile deck;
    if (const SphFileOutcome opened = deck.open(filename); opened != SphFileOutcome::ok)
        return open_failure(opened, "failed to reopen input file");
    std::string raw;
    bool too_long = false;
    for (;;) {
        const DeckFile::Result res = deck.next(raw, too_long);
        if (res == DeckFile::end_of_file) break;
        if (res == DeckFile::read_error) return sph_fail(sph_error_io, "failed to read input file");
        ++line_count;
        r.input_current_line = line_count;
        // A cut line or field could turn one number into another, so neither is read.
        if (too_long) return sph_input_set_error("input line is too long");
        const std::string line = sph_inp_clean_line(raw);
        if (line.empty()) continue;
        if (sph_inp_has_long_field(line)) return sph_input_set_error("input field is too long");
        int st = 0;
        if (line.front() == '*') {
            current_id = sph_inp_keyword_id(line);
            st = sph_input_record_keyword(current_id, line);
        } else {
            st = dispatch_data_line(current_id, line, node_index);
        }
        if (st != 0) return st;
    }
    deck.close();
    // The file changed between the passes: the particle arrays do not match the deck.
    if (node_index != expected_nodes)
        return sph_fail(sph_error_input, "input *NODE record count changed between reading passes");
    return sph_success;
}

namespace {

int dispatch_quorrel_card(std::string_view line, std::string_view upper_line) {
    SphInputReader& r = sph_input_reader;
    auto has = [upper_line](std::string_view word) { return upper_line.find(word) != std::string_view::npos; };
    if (has("TIME CONTROL")) {
        r.input_has_time_control = true;
        return sph_input_parse_time_control(line, r.input_current_file, r.input_current_line);
    }
    if (has("OUTPUT")) return sph_input_parse_output_control(line);
    if (has("COUPLING REGION")) return sph_input_parse_coupling_region(line);
    if (has("ZENVIK")) return sph_input_parse_zenvik_options(line);
    if (has("EOS")) return sph_input_parse_eos(line);
    if (has("VISCOSITY")) return sph_input_parse_water_viscosity(line);
    if (has("PARTICLE CONTROL")) return sph_input_parse_particle_control(line);
    if (has("BODY FORCE")) return sph_input_parse_body_force(line);
    if (has("BLAST REGION")) return sph_input_parse_blast_region(line);
    if (has("EXPLOSIVE")) return sph_input_parse_explosive_control(line);
    if (has("IGNITION")) return sph_input_parse_ignition(line);
    if (has("SHELL DIRECTOR")) return sph_input_parse_shell_director(line);
    if (has("SHELL ROTATION")) return sph_input_parse_shell_rotation(line);
    if (has("SHELL CONTROL")) return sph_input_parse_shell_control(line);
    if (has("SOLID CONTROL")) return sph_input_parse_solid_control(line);
    ++r.input_warning_count;
    return sph_success;
}

}  // namespace

int sph_input_record_keyword(int32_t key_id, std::string_view line) {
    SphInputReader& r = sph_input_reader;
    const std::string upper_line = sph_inp_upper(line.substr(0, std::min(line.size(), sph_inp_line_len)));
    int st = 0;
    switch (key_id) {
        case sph_key_node:
        case sph_key_density:
        case sph_key_elastic:
        case sph_key_plastic:
        case sph_key_damage_initiation: break;
        case sph_key_element: r.active_element_type = sph_input_first_option(line, {"TYPE"}, "UNKNOWN"); break;
        case sph_key_nset:
            r.active_nset_name = sph_input_first_option(line, {"NSET"}, "NSET");
            st = sph_input_check_names({r.active_nset_name});
            break;
        case sph_key_elset:
            r.active_elset_name = sph_input_first_option(line, {"ELSET"}, "ELSET");
            st = sph_input_check_names({r.active_elset_name});
            break;
        case sph_key_material: st = sph_input_parse_material(line); break;
        case sph_key_section: st = sph_input_parse_section_keyword(line, upper_line); break;
        case sph_key_quorrel: st = dispatch_quorrel_card(line, upper_line); break;
        case sph_key_orientation:
            r.active_orientation_name = sph_input_get_option(line, "NAME");
            if (r.active_orientation_name.empty())
                st = sph_input_set_error("Orientation is missing NAME option");
            else
                st = sph_input_check_names({r.active_orientation_name});
            break;
        default: ++r.input_warning_count; break;
    }
    if (st != 0) return sph_input_prefix_current_error(st);
    return sph_success;
}

int sph_input_build_model() {
    SphInputReader& r = sph_input_reader;
    if (sph_database.npart <= 0) return sph_fail(sph_error_input, "input is missing *NODE particle data");
    if (!r.input_has_material) return sph_fail(sph_error_input, "input is missing *MATERIAL data");
    if (!r.input_has_section) return sph_fail(sph_error_input, "input is missing *SECTION data");
    if (!r.input_has_time_control) return sph_fail(sph_error_input, "input is missing *QUORREL time control data");
    if (int st = sph_db_apply_sections_to_particles()) return st;
    if (int st = sph_db_build_coupling_regions()) return st;
    if (int st = sph_solid_build_state()) return st;
    if (int st = sph_shell_build_state()) return st;
    if (int st = sph_water_apply_initial_conditions()) return st;
    if (int st = sph_gas_apply_initial_conditions()) return st;
    if (int st = sph_explosive_build()) return st;
    if (int st = sph_blast_load_compute()) return st;
    // Materials no section binds, unused orientations and unused blast regions are warnings.
    r.input_warning_count += sph_gas_count_unbound_materials();
    r.input_warning_count += sph_explosive_count_unbound_materials();
    r.input_warning_count += sph_solid_count_unbound_materials();
    r.input_warning_count += sph_shell_count_unbound_materials();
    r.input_warning_count += sph_shell_count_unused_orientations();
    r.input_warning_count += sph_blast_count_unused_regions();
    if (int st = sph_solid_build_reference_state()) return st;
    if (int st = sph_solid_update_diagnostics()) return st;
    return sph_neighbor_rebuild();
}

void sph_input_get_warning_count(int32_t& count) { count = sph_input_reader.input_warning_count; }

}  // namespace quorrel
