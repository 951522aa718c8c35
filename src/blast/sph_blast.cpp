#include "blast/sph_blast.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "core/sph_error.h"
#include "core/sph_numeric.h"
#include "core/sph_table.h"
#include "core/sph_text.h"
#include "database/sph_database.h"
#include "explosive/sph_explosive_state.h"

namespace quorrel {

SphBlast sph_blast;

namespace {

// What a region keeps besides its snapshot: which particles its target set holds (built
// once from the sets, which do not change after the read), and the positions of the
// particles the last evaluation accepted, from which the candidate pairs are counted when
// they are asked for.
struct RegionScratch {
    std::vector<uint8_t> member;
    std::vector<double> source_xyz, target_xyz;
    std::vector<int32_t> target_index;
    int32_t pairs = 0;
    bool pairs_known = true;
};

struct BlastScratch {
    std::array<RegionScratch, sph_blast_max_regions> regions;
    bool membership_valid = false;
    int32_t membership_npart = -1;
};
BlastScratch scratch;

std::string_view keyword_text(std::string_view text) { return text.substr(0, std::min(text.size(), sph_name_len)); }

bool is_none(std::string_view set_name) { return sph_equal_ignore_case(sph_trim(set_name), "NONE"); }

// The node numbers a target set names: a node set's members, or the nodes of an element
// set's elements (unknown element numbers skipped); sorted.
std::vector<int32_t> target_node_numbers(std::string_view set_name) {
    std::vector<int32_t> numbers;
    const SphDatabase& d = sph_database;
    if (is_none(set_name)) return numbers;
    if (const int ns = sph_db_find_nset(set_name); ns >= 0) {
        numbers = d.nsets[static_cast<std::size_t>(ns)].members;
    } else if (const int es = sph_db_find_elset(set_name); es >= 0) {
        for (int32_t element : d.elsets[static_cast<std::size_t>(es)].members) {
            const int e = sph_db_find_element(element);
            if (e < 0) continue;
            const auto& conn = d.elements[static_cast<std::size_t>(e)].element_conn;
            numbers.insert(numbers.end(), conn.begin(), conn.end());
        }
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Membership of every particle in every region's target set, by its node number.
void ensure_membership() {
    const SphDatabase& d = sph_database;
    if (scratch.membership_valid && scratch.membership_npart == d.npart) return;
    for (int r = 0; r < sph_blast.blast_region_count; ++r) {
        const std::vector<int32_t> numbers =
            target_node_numbers(sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_target_set_name);
        std::vector<uint8_t>& member = scratch.regions[static_cast<std::size_t>(r)].member;
        member.assign(static_cast<std::size_t>(std::max(d.npart, 0)), 0);
        if (numbers.empty()) continue;
        for (std::size_t i = 0; i < member.size(); ++i)
            member[i] = std::binary_search(numbers.begin(), numbers.end(), d.particle_id_ext[i]) ? 1 : 0;
    }
    scratch.membership_valid = true;
    scratch.membership_npart = d.npart;
}

// The one sphere test of the blast regions: is `p` within `radius` of `c`? Squared
// distances are compared only while both squares are finite; beyond that (a centre at
// 2e200 would put the origin "inside" a sphere of radius 1e200) the lengths are.
inline bool within_sphere(const double* p, const double* c, double radius) {
    const double dx = p[0] - c[0], dy = p[1] - c[1], dz = p[2] - c[2];
    const double d2 = dx * dx + dy * dy + dz * dz, r2 = radius * radius;
    if (std::isfinite(d2) && std::isfinite(r2)) return d2 <= r2;
    return sph_distance3(p, c) <= radius;
}

void accumulate_region(int r) {
    const SphDatabase& d = sph_database;
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    SphBlastSnapshot& s = sph_blast.blast_snapshots[static_cast<std::size_t>(r)];
    RegionScratch& rs = scratch.regions[static_cast<std::size_t>(r)];
    const std::vector<double>& progress = sph_explosive_state.explosive_reaction_progress;
    const bool explosive_state = progress.size() == static_cast<std::size_t>(d.npart);
    double pressure_sum = 0.0, progress_sum = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i) {
        const double* xi = &d.x[3 * i];
        const int32_t phase = d.particle_phase[i];
        const bool active = d.particle_status[i] == sph_status_active;
        const bool inside = active && within_sphere(xi, reg.blast_center.data(), reg.blast_radius);
        const bool in_set = rs.member[i] != 0;
        if (sph_blast_phase_matches(reg.blast_source_phase, phase)) {
            if (inside) {
                ++s.blast_source_count;
                s.blast_source_mass += d.mass[i];
                s.blast_source_energy += d.internal_energy[i] * d.mass[i];
                pressure_sum += d.pressure[i];
                rs.source_xyz.insert(rs.source_xyz.end(), xi, xi + 3);
            } else {
                ++s.blast_skipped_source_count;
            }
        } else if (inside) {
            ++s.blast_skipped_source_count;
        }
        if (sph_blast_phase_matches(reg.blast_target_phase, phase)) {
            if (inside && in_set) {
                ++s.blast_target_count;
                rs.target_xyz.insert(rs.target_xyz.end(), xi, xi + 3);
                rs.target_index.push_back(static_cast<int32_t>(i));
            } else {
                ++s.blast_skipped_target_count;
            }
        } else if (inside && in_set) {
            ++s.blast_skipped_target_count;
        }
        if (!inside) continue;
        if (phase == sph_phase_water) {
            const double p = d.pressure[i];
            s.blast_water_pressure_min = s.blast_water_count == 0 ? p : std::min(s.blast_water_pressure_min, p);
            s.blast_water_pressure_max = s.blast_water_count == 0 ? p : std::max(s.blast_water_pressure_max, p);
            ++s.blast_water_count;
        } else if (phase == sph_phase_gas) {
            ++s.blast_gas_count;
            s.blast_gas_volume += d.volume[i];
        } else if (phase == sph_phase_explosive && explosive_state) {
            ++s.blast_explosive_count;
            progress_sum += progress[i];
        }
    }
    if (s.blast_source_count > 0) s.blast_source_pressure_mean = pressure_sum / s.blast_source_count;
    if (s.blast_source_count > 0 && !std::isfinite(pressure_sum)) {
        // Finite pressures whose sum overflowed: each is divided by the count first, so the
        // mean stays within the range of the pressures.
        double mean = 0.0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(d.npart); ++i)
            if (sph_blast_source_accepts(r, static_cast<int>(i))) mean += d.pressure[i] / s.blast_source_count;
        s.blast_source_pressure_mean = mean;
    }
    if (s.blast_explosive_count > 0) s.blast_explosive_progress_mean = progress_sum / s.blast_explosive_count;
    rs.pairs_known = false;
}

}  // namespace

// ---- Lifecycle ----

// In place: a whole fresh table built on the stack and moved in cost more than the rest
// of a worker's INIT. Regions are added at the count and evaluated below it, so the slots
// past it are clean. The names keep their buffers, as a move from a short empty string
// leaves them; the scratch vectors give theirs back.
void sph_blast_reset() {
    SphBlast& b = sph_blast;
    sph_clear_used_slots(b.blast_regions, b.blast_region_count);
    sph_clear_used_slots(b.blast_snapshots, b.blast_region_count);
    b.blast_region_count = 0;
    for (RegionScratch& rs : scratch.regions) {
        std::vector<uint8_t>().swap(rs.member);
        std::vector<double>().swap(rs.source_xyz);
        std::vector<double>().swap(rs.target_xyz);
        std::vector<int32_t>().swap(rs.target_index);
        rs.pairs = 0;
        rs.pairs_known = true;
    }
    scratch.membership_valid = false;
    scratch.membership_npart = -1;
}

void sph_blast_initialize() { sph_blast_reset(); }

void sph_blast_invalidate_membership() { scratch.membership_valid = false; }

// ---- Keywords ----

int32_t sph_blast_phase_id(std::string_view text) {
    const std::string_view t = keyword_text(text);
    if (sph_is_blank(t)) return sph_blast_phase_none;
    if (sph_contains_upper(t, "WATER")) return sph_blast_phase_water;
    if (sph_contains_upper(t, "GAS")) return sph_blast_phase_gas;
    if (sph_contains_upper(t, "EXPLOSIVE")) return sph_blast_phase_explosive;
    const std::string_view word = sph_trim(t);
    if (sph_equal_ignore_case(word, "SOLID")) return sph_blast_phase_solid;
    if (sph_equal_ignore_case(word, "SHELL")) return sph_blast_phase_shell;
    if (sph_contains_upper(t, "STRUCTURE")) return sph_blast_phase_structure;
    if (sph_equal_ignore_case(word, "ALL") || sph_equal_ignore_case(word, "ANY")) return sph_blast_phase_all;
    return sph_blast_phase_none;
}

int32_t sph_blast_mode_id(std::string_view text) {
    const std::string_view t = keyword_text(text);
    if (sph_is_blank(t) || sph_contains_upper(t, "RADIAL")) return sph_blast_mode_radial;
    if (sph_contains_upper(t, "NORMAL")) return sph_blast_mode_normal;
    if (sph_contains_upper(t, "DIRECT")) return sph_blast_mode_direct;
    return 0;
}

bool sph_blast_phase_matches(int32_t filter_phase, int32_t db_phase) {
    switch (filter_phase) {
        case sph_blast_phase_all: return true;
        case sph_blast_phase_water:
        case sph_blast_phase_gas:
        case sph_blast_phase_explosive:
        case sph_blast_phase_solid:
        case sph_blast_phase_shell: return db_phase == filter_phase;
        case sph_blast_phase_structure: return db_phase == sph_phase_solid || db_phase == sph_phase_shell;
        default: return false;
    }
}

bool sph_blast_region_name_exists(std::string_view name) {
    for (int r = 0; r < sph_blast.blast_region_count; ++r)
        if (sph_db_name_equal(sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_name, name)) return true;
    return false;
}

// ---- The region card ----

int sph_blast_add_region(std::string_view name, const double center[3], double radius,
                         std::string_view source_phase_name, std::string_view target_phase_name,
                         std::string_view target_set_name, double scale, double time_window,
                         std::string_view mode_name, bool enabled) {
    SphBlast& b = sph_blast;
    if (b.blast_region_count >= sph_blast_max_regions) return sph_fail(sph_error_database, "too many Blast region records");
    std::string stored_name = sph_fixed(name, sph_name_len);
    if (sph_is_blank(stored_name)) stored_name = "BLAST";
    if (sph_blast_region_name_exists(stored_name)) return sph_fail(sph_error_input, "Blast region NAME is duplicated");
    if (!sph_within_half_max(radius) || !(radius > 0.0))
        return sph_fail(sph_error_input, "Blast region RADIUS must be positive");
    if (!sph_within_half_max(scale)) return sph_fail(sph_error_input, "Blast region SCALE must be finite");
    if (!sph_within_half_max(time_window) || !(time_window >= 0.0))
        return sph_fail(sph_error_input, "Blast region TIME_WINDOW must be non-negative");
    for (int k = 0; k < 3; ++k)
        if (!sph_within_half_max(center[k])) return sph_fail(sph_error_input, "Blast region center must be finite");
    const int32_t source = sph_blast_phase_id(source_phase_name);
    if (source == sph_blast_phase_none) return sph_fail(sph_error_input, "Blast region SOURCE_PHASE is invalid");
    const int32_t target = sph_blast_phase_id(target_phase_name);
    if (target == sph_blast_phase_none) return sph_fail(sph_error_input, "Blast region TARGET_PHASE is invalid");
    const int32_t mode = sph_blast_mode_id(mode_name);
    if (mode == 0) return sph_fail(sph_error_input, "Blast region MODE is invalid");
    if (sph_is_blank(target_set_name)) return sph_fail(sph_error_input, "Blast region is missing TARGET_SET");
    const bool none = is_none(target_set_name);
    if (!none && sph_db_find_nset(target_set_name) < 0 && sph_db_find_elset(target_set_name) < 0)
        return sph_fail(sph_error_input, "Blast region TARGET_SET is unknown");
    SphBlastRegion& reg = b.blast_regions[static_cast<std::size_t>(b.blast_region_count++)];
    reg.blast_region_name = std::move(stored_name);
    for (std::size_t k = 0; k < 3; ++k) reg.blast_center[k] = center[k];
    reg.blast_radius = radius;
    reg.blast_source_phase = source;
    reg.blast_target_phase = target;
    reg.blast_target_set_name = sph_fixed(target_set_name, sph_name_len);
    reg.blast_load_scale = scale;
    reg.blast_time_window = time_window;
    reg.blast_projection_mode = mode;
    // A region without targets is kept, switched off.
    reg.blast_region_enabled = !none && enabled;
    scratch.membership_valid = false;
    return sph_success;
}

int32_t sph_blast_count_unused_regions() {
    int32_t count = 0;
    for (int r = 0; r < sph_blast.blast_region_count; ++r)
        if (!sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_enabled) ++count;
    return count;
}

// ---- Selection ----

bool sph_blast_is_active(int i) {
    return i >= 0 && i < sph_database.npart && sph_database.particle_status[static_cast<std::size_t>(i)] == sph_status_active;
}

bool sph_blast_in_region(int r, int i) {
    if (r < 0 || r >= sph_blast.blast_region_count || i < 0 || i >= sph_database.npart) return false;
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    return within_sphere(&sph_database.x[3 * static_cast<std::size_t>(i)], reg.blast_center.data(), reg.blast_radius);
}

bool sph_blast_pair_within(int r, int source, int target) {
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    return within_sphere(&sph_database.x[3 * static_cast<std::size_t>(target)],
                         &sph_database.x[3 * static_cast<std::size_t>(source)], reg.blast_radius);
}

bool sph_blast_particle_in_target_set(int r, int i) {
    if (r < 0 || r >= sph_blast.blast_region_count || i < 0 || i >= sph_database.npart) return false;
    ensure_membership();
    return scratch.regions[static_cast<std::size_t>(r)].member[static_cast<std::size_t>(i)] != 0;
}

bool sph_blast_source_accepts(int r, int i) {
    if (r < 0 || r >= sph_blast.blast_region_count || i < 0 || i >= sph_database.npart) return false;
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    return sph_blast_phase_matches(reg.blast_source_phase, sph_database.particle_phase[static_cast<std::size_t>(i)]) &&
           sph_blast_is_active(i) && sph_blast_in_region(r, i);
}

bool sph_blast_target_accepts(int r, int i) {
    if (r < 0 || r >= sph_blast.blast_region_count || i < 0 || i >= sph_database.npart) return false;
    const SphBlastRegion& reg = sph_blast.blast_regions[static_cast<std::size_t>(r)];
    return sph_blast_phase_matches(reg.blast_target_phase, sph_database.particle_phase[static_cast<std::size_t>(i)]) &&
           sph_blast_is_active(i) && sph_blast_particle_in_target_set(r, i) && sph_blast_in_region(r, i);
}

// ---- Snapshot ----

void sph_blast_clear_snapshot() {
    sph_blast.blast_snapshots.fill(SphBlastSnapshot{});
    for (RegionScratch& rs : scratch.regions) {
        rs.source_xyz.clear();
        rs.target_xyz.clear();
        rs.target_index.clear();
        rs.pairs = 0;
        rs.pairs_known = true;
    }
}

void sph_blast_refresh_snapshot() {
    sph_blast_clear_snapshot();
    if (sph_database.npart <= 0) return;
    ensure_membership();
    for (int r = 0; r < sph_blast.blast_region_count; ++r)
        if (sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_region_enabled) accumulate_region(r);
}

int32_t sph_blast_candidate_pair_count(int r) {
    if (r < 0 || r >= sph_blast_max_regions) return 0;
    RegionScratch& rs = scratch.regions[static_cast<std::size_t>(r)];
    if (rs.pairs_known) return rs.pairs;
    const double radius = sph_blast.blast_regions[static_cast<std::size_t>(r)].blast_radius;
    int32_t pairs = 0;
    for (std::size_t s = 0; s < rs.source_xyz.size(); s += 3) {
        for (std::size_t t = 0; t < rs.target_xyz.size(); t += 3)
            if (within_sphere(&rs.target_xyz[t], &rs.source_xyz[s], radius)) ++pairs;
    }
    rs.pairs = pairs;
    rs.pairs_known = true;
    return pairs;
}

const std::vector<int32_t>& sph_blast_accepted_targets(int r) {
    return scratch.regions[static_cast<std::size_t>(r)].target_index;
}

}  // namespace quorrel
