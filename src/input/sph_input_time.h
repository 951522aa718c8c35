// The time-control card and the two location routines it uses.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorrel {

[[nodiscard]] int sph_input_parse_time_control(std::string_view line, std::string_view filename, int32_t line_number);
// One KEY=value item; `key` is upper-cased without leading blanks, `value` trimmed.
[[nodiscard]] int sph_input_time_parse_item(std::string_view key, std::string_view value, double& dt,
                                            double& total_time, int32_t& steps, double& safety, bool& has_dt,
                                            bool& has_time, bool& has_steps, std::string_view filename,
                                            int32_t line_number);
// Records the located message with code 4 and returns 4.
[[nodiscard]] int sph_input_time_set_error(std::string_view filename, int32_t line_number, std::string_view message);
// Locates the current message under its current code when ierr is not 0; returns ierr.
int sph_input_time_prefix_error(std::string_view filename, int32_t line_number, int ierr);

}  // namespace quorrel
