#include "core/sph_control.h"

#include "core/sph_error.h"

namespace quorrel {

SphControl sph_control;

void sph_control_reset() { sph_control = SphControl{}; }

int sph_control_validate_time(double dt, double total_time, int32_t steps, double safety) {
    // Written as !(x > 0) so that NaN fails too.
    if (!(dt > 0.0)) return sph_fail(sph_error_argument, "time control DT must be positive");
    if (!(total_time > 0.0)) return sph_fail(sph_error_argument, "time control TIME must be positive");
    if (steps <= 0) return sph_fail(sph_error_argument, "time control STEPS must be positive");
    if (!(safety > 0.0)) return sph_fail(sph_error_argument, "time control SAFETY must be positive");
    return sph_success;
}

void sph_control_set_time(double dt, double total_time, int32_t steps, double safety) {
    if (dt > 0.0) sph_control.dt_default = dt;
    if (total_time > 0.0) sph_control.end_time = total_time;
    if (steps > 0) sph_control.max_steps = steps;
    if (safety > 0.0) sph_control.safety_factor = safety;
}

void sph_control_get_time(double& time, int32_t& step) {
    time = sph_control.current_time;
    step = sph_control.current_step;
}

}  // namespace quorrel
