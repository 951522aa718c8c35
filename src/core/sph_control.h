// Time-control values and step-output settings consulted by the explicit loop.
#pragma once

#include <cstdint>
#include <string>

namespace quorrel {

inline constexpr double sph_default_dt = 1.0e-6;
inline constexpr double sph_default_end_time = 1.0e-6;
inline constexpr int sph_default_max_steps = 1;
inline constexpr int sph_default_output_interval = 1;

struct SphControl {
    double current_time = 0.0;
    int32_t current_step = 0;
    double dt_default = sph_default_dt;
    double end_time = sph_default_end_time;
    int32_t max_steps = sph_default_max_steps;
    double safety_factor = 1.0;
    int32_t output_interval = sph_default_output_interval;
    std::string output_directory = "output";
    bool output_enabled = false;
};

extern SphControl sph_control;

void sph_control_reset();
[[nodiscard]] int sph_control_validate_time(double dt, double total_time, int32_t steps, double safety);
// Stores each value only when it is greater than zero.
void sph_control_set_time(double dt, double total_time, int32_t steps, double safety);
void sph_control_get_time(double& time, int32_t& step);

}  // namespace quorrel
