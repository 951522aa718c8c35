// The explicit run loop, the stable step and one leapfrog step.
#pragma once

namespace quorrel {

[[nodiscard]] int sph_solver_run_explicit();
[[nodiscard]] int sph_solver_advance_explicit(double dt);
[[nodiscard]] int sph_solver_estimate_stable_dt(double& dtcrit);
[[nodiscard]] int sph_solver_phase_dt(double& dtcrit);

}  // namespace quorrel
