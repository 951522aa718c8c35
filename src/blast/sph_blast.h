// Blast regions: spheres that turn the pressure of the particles inside them (the
// sources) into a load on selected particles of a target set. The region table, the
// region card's setter, the phase and mode keywords, the selection rules and the
// per-region snapshot that the blast load turns into forces.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {

inline constexpr int32_t sph_blast_mode_radial = 1;
inline constexpr int32_t sph_blast_mode_normal = 2;
inline constexpr int32_t sph_blast_mode_direct = 3;
inline constexpr int32_t sph_blast_phase_none = 0;
inline constexpr int32_t sph_blast_phase_water = 1;
inline constexpr int32_t sph_blast_phase_gas = 2;
inline constexpr int32_t sph_blast_phase_explosive = 3;
inline constexpr int32_t sph_blast_phase_solid = 4;
inline constexpr int32_t sph_blast_phase_shell = 5;
inline constexpr int32_t sph_blast_phase_structure = 6;
inline constexpr int32_t sph_blast_phase_all = 7;
inline constexpr int32_t sph_blast_max_regions = 32;

struct SphBlastRegion {
    std::string blast_region_name;  // as written, "BLAST" when blank; unique without regard to case
    std::array<double, 3> blast_center{0.0, 0.0, 0.0};
    double blast_radius = 0.0;
    int32_t blast_source_phase = sph_blast_phase_none;
    int32_t blast_target_phase = sph_blast_phase_none;
    std::string blast_target_set_name;  // node or element set, or NONE
    double blast_load_scale = 0.0;      // factor on the source pressure (negative pulls)
    double blast_time_window = 0.0;     // loads while time <= window; 0 = always
    int32_t blast_projection_mode = sph_blast_mode_radial;
    bool blast_region_enabled = false;
};

// What one evaluation found in a region (all zero after a clear).
struct SphBlastSnapshot {
    int32_t blast_source_count = 0;
    int32_t blast_target_count = 0;
    int32_t blast_skipped_source_count = 0;
    int32_t blast_skipped_target_count = 0;
    int32_t blast_water_count = 0, blast_gas_count = 0, blast_explosive_count = 0;
    double blast_source_mass = 0.0;
    double blast_source_energy = 0.0;
    double blast_source_pressure_mean = 0.0;
    double blast_gas_volume = 0.0;
    double blast_explosive_progress_mean = 0.0;
    double blast_water_pressure_min = 0.0, blast_water_pressure_max = 0.0;
};

struct SphBlast {
    int32_t blast_region_count = 0;
    std::array<SphBlastRegion, sph_blast_max_regions> blast_regions{};
    std::array<SphBlastSnapshot, sph_blast_max_regions> blast_snapshots{};
};
extern SphBlast sph_blast;

// ---- Lifecycle ----
void sph_blast_initialize();
void sph_blast_reset();
// The set memberships of the regions are rebuilt from the sets at the next use: after the
// particle store was made anew.
void sph_blast_invalidate_membership();

// ---- Keywords ----
int32_t sph_blast_phase_id(std::string_view text);
int32_t sph_blast_mode_id(std::string_view text);
bool sph_blast_phase_matches(int32_t filter_phase, int32_t db_phase);
bool sph_blast_region_name_exists(std::string_view name);

// ---- The region card ----
[[nodiscard]] int sph_blast_add_region(std::string_view name, const double center[3], double radius,
                                       std::string_view source_phase_name, std::string_view target_phase_name,
                                       std::string_view target_set_name, double scale, double time_window,
                                       std::string_view mode_name, bool enabled = true);
int32_t sph_blast_count_unused_regions();

// ---- Selection (`r` a 0-based region, `i`, `source`, `target` 0-based particles) ----
bool sph_blast_is_active(int i);
bool sph_blast_in_region(int r, int i);
bool sph_blast_pair_within(int r, int source, int target);
bool sph_blast_particle_in_target_set(int r, int i);
bool sph_blast_source_accepts(int r, int i);
bool sph_blast_target_accepts(int r, int i);

// ---- Snapshot ----
void sph_blast_refresh_snapshot();
void sph_blast_clear_snapshot();
// (source, target) pairs of the last snapshot, both accepted, at most one radius apart (a
// particle both source and target pairs with itself). Counted when first asked for after
// an evaluation, from the positions that evaluation saw.
int32_t sph_blast_candidate_pair_count(int r);
// The particles the last snapshot accepted as targets of region `r`, in index order.
const std::vector<int32_t>& sph_blast_accepted_targets(int r);

}  // namespace quorrel
