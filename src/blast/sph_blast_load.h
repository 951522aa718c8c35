// The blast load: each enabled blast region's sources give a pressure, each of its targets
// receives that pressure times its own area V^(2/3), pushing radially away from the
// region's centre. Forces are cached per particle (solid and shell targets apart) and
// added to the accelerations in the step; per-region diagnostics describe the last
// evaluation.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "blast/sph_blast.h"

namespace quorrel {

inline constexpr double sph_blast_load_eps = 1e-12;
inline constexpr int sph_blast_summary_count_size = 12;
inline constexpr int sph_blast_summary_value_size = 26;

// The load of one region in the last evaluation (all zero after a clear).
struct SphBlastLoadRegion {
    int32_t blast_load_target_count = 0;
    int32_t blast_load_zero_weight_count = 0;
    int32_t blast_load_nonfinite_count = 0;
    std::array<double, 3> blast_solid_total_force{};
    std::array<double, 3> blast_shell_total_force{};
    std::array<double, 3> blast_load_total_force{};
    std::array<double, 3> blast_load_impulse{};
    std::array<double, 3> blast_load_momentum_input{};
    double blast_load_work = 0.0;
    double blast_load_energy_input = 0.0;
    double blast_load_max_particle_force = 0.0;
    double blast_load_max_acceleration = 0.0;
    bool projected = false;  // its pair count is the snapshot's candidate pair count
};

struct SphBlastLoad {
    bool blast_load_enabled = true;
    // 3 per particle, present only when sized 3 npart.
    std::vector<double> blast_solid_external_force;
    std::vector<double> blast_shell_external_force;
    std::vector<double> blast_shell_external_moment;  // zero: nothing fills it
    std::array<SphBlastLoadRegion, sph_blast_max_regions> blast_load_regions{};
};
extern SphBlastLoad sph_blast_load;

void sph_blast_load_initialize();
void sph_blast_load_reset();
void sph_blast_load_set_enabled(bool enabled);
void sph_blast_load_deallocate();
void sph_blast_load_clear_diagnostics();
// Caches present at npart and zero, diagnostics cleared.
[[nodiscard]] int sph_blast_load_clear();
// One evaluation at `time_value`: the snapshot, then the forces of every enabled region
// whose time window holds that time.
[[nodiscard]] int sph_blast_load_compute_at(double time_value);
// The build's evaluation at time 0.
[[nodiscard]] int sph_blast_load_compute();
[[nodiscard]] int sph_blast_load_apply_to_acceleration();
// `region` 1-based, as the interface shows it.
[[nodiscard]] int sph_blast_load_get_summary(int32_t region, int32_t counts[sph_blast_summary_count_size],
                                             double values[sph_blast_summary_value_size]);

// The pieces of an evaluation (`r` a 0-based region, `target`, `index` 0-based particles).
double sph_blast_load_pressure(int r);
bool sph_blast_load_in_time_window(int r, double time_value);
void sph_blast_load_direction(int r, int target, double direction[3]);
double sph_blast_load_particle_area(int index);

}  // namespace quorrel
