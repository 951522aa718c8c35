#include "output/sph_output.h"

#include <charconv>
#include <string>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "core/sph_text.h"
#include "output/sph_output_vtu.h"

namespace quorrel {

int sph_output_set_interval(int32_t interval) {
    if (interval <= 0) return sph_fail(sph_error_argument, "output interval must be positive");
    sph_control.output_interval = interval;
    return sph_success;
}

int sph_output_set_directory(std::string_view directory) {
    const std::string_view value = sph_trim_right(directory);
    if (value.empty()) return sph_fail(sph_error_argument, "output directory must not be empty");
    // Cutting a longer path would silently write somewhere else.
    if (value.size() > sph_output_directory_len)
        return sph_fail(sph_error_argument, "output directory must not exceed 256 characters");
    sph_output_reset_pvd();
    sph_control.output_directory = std::string(value);
    sph_control.output_enabled = true;
    return sph_success;
}

namespace {

// "quorrel_" and the step as at least eight digits with leading zeros.
std::string step_stem(int32_t step) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, step);
    const std::size_t n = static_cast<std::size_t>(result.ptr - digits);
    std::string stem = "quorrel_";
    if (n < 8) stem.append(8 - n, '0');
    stem.append(digits, n);
    return stem;
}

}  // namespace

int sph_output_write_step(int32_t step, double time) {
    if (step < 0) return sph_fail(sph_error_argument, "output step must not be negative");
    const std::string directory(sph_trim_right(sph_control.output_directory));
    const std::string stem = step_stem(step);

    if (int st = sph_output_write_csv(directory + "/" + stem + ".csv")) return st;
    if (int st = sph_output_write_summary(directory + "/" + stem + "_summary.csv", step, time)) return st;
    const std::string vtu_name = stem + ".vtu";
    if (int st = sph_output_write_vtu(directory + "/" + vtu_name)) return st;
    return sph_output_write_pvd_step(directory, step, time, vtu_name);
}

}  // namespace quorrel
