#include "input/sph_input_time.h"

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_text.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_reader.h"

namespace quorrel {

int sph_input_time_set_error(std::string_view filename, int32_t line_number, std::string_view message) {
    sph_error_set(sph_error_input, sph_input_located_message(filename, line_number, message));
    return sph_error_input;
}

int sph_input_time_prefix_error(std::string_view filename, int32_t line_number, int ierr) {
    if (ierr == 0) return ierr;
    const int code = sph_error_code();
    const std::string message(sph_error_message());
    sph_error_set(code, sph_input_located_message(filename, line_number, message));
    return ierr;
}

int sph_input_time_parse_item(std::string_view key, std::string_view value, double& dt, double& total_time,
                              int32_t& steps, double& safety, bool& has_dt, bool& has_time, bool& has_steps,
                              std::string_view filename, int32_t line_number) {
    // Keys match by prefix, so DTMAX counts as DT and TIMESTEP as TIME.
    if (key.starts_with("DT")) {
        if (!sph_input_read_real(value, dt))
            return sph_input_time_set_error(filename, line_number, "invalid QUORREL TIME CONTROL DT");
        has_dt = true;
    } else if (key.starts_with("TIME") || key.starts_with("END TIME")) {
        if (!sph_input_read_real(value, total_time))
            return sph_input_time_set_error(filename, line_number, "invalid QUORREL TIME CONTROL TIME");
        has_time = true;
    } else if (key.starts_with("STEPS") || key.starts_with("MAX STEPS")) {
        if (!sph_input_read_integer(value, steps))
            return sph_input_time_set_error(filename, line_number, "invalid QUORREL TIME CONTROL STEPS");
        has_steps = true;
    } else if (key.starts_with("SAFETY")) {
        if (!sph_input_read_real(value, safety))
            return sph_input_time_set_error(filename, line_number, "invalid QUORREL TIME CONTROL SAFETY");
    }
    return sph_success;
}

int sph_input_parse_time_control(std::string_view line, std::string_view filename, int32_t line_number) {
    double dt = -1.0, total_time = -1.0, safety = 1.0;
    int32_t steps = -1;
    bool has_dt = false, has_time = false, has_steps = false;
    SphCsvFields fields;
    sph_inp_split_csv(line, fields);
    // Every item is read, so a key written twice takes its later value.
    for (int32_t k = 0; k < fields.count; ++k) {
        std::string_view f = fields.field[static_cast<std::size_t>(k)];
        const std::size_t p = f.find('=');
        if (p == std::string_view::npos) continue;
        const std::string upper_key = sph_upper(sph_trim_left(f.substr(0, p)));
        if (int st = sph_input_time_parse_item(upper_key, sph_trim(f.substr(p + 1)), dt, total_time, steps, safety,
                                               has_dt, has_time, has_steps, filename, line_number))
            return st;
    }
    if (!has_dt || !has_time || !has_steps)
        return sph_input_time_set_error(filename, line_number, "missing required QUORREL TIME CONTROL option");
    if (int st = sph_control_validate_time(dt, total_time, steps, safety))
        return sph_input_time_prefix_error(filename, line_number, st);
    sph_control_set_time(dt, total_time, steps, safety);
    return sph_success;
}

}  // namespace quorrel
